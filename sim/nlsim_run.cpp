// Starts and stops nlsim, the stand-in for the kernel's nl80211 family and the air.
// It runs as its own process (built beside qmr) in the daemon's network namespace
// when the sandbox holds <root>/run/nlsim.conf; the daemon's generic-netlink sockets
// then talk to its port (Platform::nl80211Port). Without the file the radio stays
// the kernel's and the manager's veth "wlan0" stays usable.
#include "core/sysroot.h"
#include "sim/control.h"
#include "sim/standins.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sim {
namespace {

std::atomic<uint32_t> runningPort{0};
pid_t child = -1;

constexpr int ReadyTimeoutMs = 5000;

// nlsim lies beside the daemon's executable.
std::string nlsimPath() {
    char self[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "nlsim";
    self[n] = '\0';
    std::string dir(self);
    size_t slash = dir.rfind('/');
    return (slash == std::string::npos ? std::string(".") : dir.substr(0, slash)) + "/nlsim";
}

// Reads "ready <port>\n" from fd within the time-out; 0 when it does not come.
uint32_t awaitReady(int fd) {
    std::string line;
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        long spent = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (spent >= ReadyTimeoutMs) return 0;
        pollfd p{fd, POLLIN, 0};
        int rc = ::poll(&p, 1, static_cast<int>(ReadyTimeoutMs - spent));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return 0;
        char c;
        ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        if (c == '\n') break;
        if (line.size() > 64) return 0;
        line += c;
    }
    unsigned long port = 0;
    if (std::sscanf(line.c_str(), "ready %lu", &port) != 1 || port == 0 || port > UINT32_MAX) return 0;
    return static_cast<uint32_t>(port);
}

void stopNlsim() {
    runningPort.store(0);
    if (child <= 0) return;
    ::kill(child, SIGTERM);
    for (int i = 0; i < 300; i++) {
        pid_t r = ::waitpid(child, nullptr, WNOHANG);
        if (r == child || (r < 0 && errno == ECHILD)) {
            child = -1;
            return;
        }
        ::usleep(10000);
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    child = -1;
}

int startNlsim() {
    std::string conf = sysPath("/run/nlsim.conf");
    struct stat st {};
    if (::stat(conf.c_str(), &st) != 0) return 0;
    std::string exe = nlsimPath();
    std::string root = sysRoot().empty() ? std::string("/") : sysRoot();
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) < 0) {
        std::perror("sim: nlsim pipe");
        return -1;
    }
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) {
        std::perror("sim: nlsim fork");
        ::close(ready[0]);
        ::close(ready[1]);
        return -1;
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec: the daemon may have threads.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        int fd = ::dup(ready[1]); // without close-on-exec
        char fdText[16];
        int len = 0;
        for (int v = fd, div = 1000000; div > 0; div /= 10)
            if (v / div || len || div == 1) fdText[len++] = static_cast<char>('0' + (v / div) % 10);
        fdText[len] = '\0';
        const char *argv[] = {exe.c_str(),  "--root",     root.c_str(), "--conf",
                              conf.c_str(), "--ready-fd", fdText,       nullptr};
        ::execv(exe.c_str(), const_cast<char *const *>(argv));
        ::_exit(127);
    }
    ::close(ready[1]);
    child = pid;
    uint32_t port = awaitReady(ready[0]);
    ::close(ready[0]);
    if (port == 0) {
        std::fprintf(stderr, "sim: nlsim (%s) did not report ready\n", exe.c_str());
        stopNlsim();
        return -1;
    }
    runningPort.store(port);
    return 0;
}

// "air ..." on sim.sock goes on, as one line, to nlsim's own control socket.
std::string airCommand(const std::vector<std::string> &args, std::string &out) {
    if (runningPort.load() == 0) return "no radio simulated (no run/nlsim.conf)";
    std::string line;
    for (size_t i = 1; i < args.size(); i++) {
        if (i > 1) line += ' ';
        bool quote = args[i].empty() || args[i].find_first_of(" \t") != std::string::npos;
        line += quote ? "\"" + args[i] + "\"" : args[i];
    }
    if (line.empty()) return "usage: air COMMAND [ARG...]";
    std::string path = sysPath("/run/nlsim.sock");
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) return "nlsim socket path too long";
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::strerror(errno);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        std::string why = std::strerror(errno);
        ::close(fd);
        return "nlsim: " + why;
    }
    line += '\n';
    if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        ::close(fd);
        return "nlsim: send failed";
    }
    // nlsim answers like sim.sock: lines, then "OK" or "ERR reason".
    std::string got;
    std::string failure = "nlsim: no answer";
    char buf[1024];
    for (;;) {
        size_t nl;
        while ((nl = got.find('\n')) != std::string::npos) {
            std::string text = got.substr(0, nl);
            got.erase(0, nl + 1);
            if (text == "OK") {
                ::close(fd);
                return "";
            }
            if (text.compare(0, 4, "ERR ") == 0) {
                ::close(fd);
                return text.substr(4);
            }
            out += text + "\n";
        }
        if (got.size() > 1 << 20) break;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return failure;
}

StandIn nlsimStandIn(
    "nlsim",
    [] {
        addCommand("air",
                   "air COMMAND [ARG...]  (nlsim: ap add|set|del|deauth|disassoc|frame|key|michael, errno, "
                   "event, raw, set, news, keys, state)",
                   airCommand);
        return startNlsim();
    },
    stopNlsim);

} // namespace

uint32_t nlsimPort() {
    return runningPort.load();
}

} // namespace sim
