// Arbitrary datagrams into the SNMP agent's receive path: the agent runs in-process with
// the device MIB on a loopback UDP port; each input is sent to it and read through the
// library's packet entry (snmp_read2), which parses, authenticates and dispatches it to
// the MIB handlers and sends the answer back.
#include "snmp/snmp_internal.h"
#include "snmp/snmp_lib.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

char rootDir[] = "/tmp/qmr-snmpfuzz-XXXXXX";
int client = -1;
sockaddr_in agent{};
int agentFd = -1;

int freePort() {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

// The agent's one socket: the highest descriptor of its sessions.
int agentSocket() {
    netsnmp_large_fd_set set;
    netsnmp_large_fd_set_init(&set, FD_SETSIZE);
    NETSNMP_LARGE_FD_ZERO(&set);
    int numfds = 0, block = 0;
    struct timeval tv {};
    snmp_select_info2(&numfds, &set, &tv, &block);
    int fd = -1;
    for (int i = 0; i < numfds; i++)
        if (NETSNMP_LARGE_FD_ISSET(i, &set)) fd = i;
    netsnmp_large_fd_set_cleanup(&set);
    return fd;
}

// The sandbox root of the run (the library's persistent state) goes with the process.
void removeRoot() {
    nftw(
        rootDir, [](const char *path, const struct stat *, int, struct FTW *) { return remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char *dir = mkdtemp(rootDir);
    if (!dir) abort();
    atexit(removeRoot);
    setenv("QMR_ROOT", dir, 1);
    int port = freePort();
    std::string conf = std::string(dir) + "/snmpd.conf";
    FILE *f = fopen(conf.c_str(), "w");
    if (!f) abort();
    // A community with write access and a user without authentication, so that requests
    // reach the MIB handlers, SETs included.
    fprintf(f,
            "agentaddress udp:127.0.0.1:%d\nengineID KVXF0221\nrwcommunity  public\n"
            "createUser fuzz\nrwuser \"fuzz\" noauth\n",
            port);
    fclose(f);
    snmp_disable_log();
    if (!snmpdStart(conf)) abort();
    agentFd = agentSocket();
    client = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    agent.sin_family = AF_INET;
    agent.sin_port = htons(static_cast<uint16_t>(port));
    agent.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (agentFd < 0 || client < 0) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096) return 0;
    if (sendto(client, data, size, 0, reinterpret_cast<sockaddr *>(&agent), sizeof agent) < 0) return 0;
    netsnmp_large_fd_set set;
    netsnmp_large_fd_set_init(&set, FD_SETSIZE);
    NETSNMP_LARGE_FD_ZERO(&set);
    NETSNMP_LARGE_FD_SET(agentFd, &set);
    snmp_read2(&set);
    netsnmp_large_fd_set_cleanup(&set);
    netsnmp_check_outstanding_agent_requests();
    // Drop whatever answer came back.
    char answer[65536];
    while (recv(client, answer, sizeof answer, 0) > 0) {
    }
    return 0;
}
