// UdpServerTask: which sockets each set gets from the parameters, which socket a
// datagram comes in on and where its answer goes, and the reopening on messages. Each
// case runs in a child process moved into a network namespace of its own with a veth
// "eth0" whose peer sits in a second, named namespace that plays the client.

#include "core/buffer.h"
#include "core/connection.h"
#include "core/ptable.h"
#include "net/netif.h"
#include "net/udpserver.h"

#include "param_catalogue.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sched.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class Service : public UdpServerTask {
public:
    Service(uint16_t port, const char *g6, const char *g4, const char *e1, const char *e2)
        : UdpServerTask("UdpTest", port, InetAddress::fromText(g6), InetAddress::fromText(g4),
                        e1 ? &extraStore1 : nullptr, e2 ? &extraStore2 : nullptr) {
        // The base copies the extras in its constructor; keep them valid for it.
        (void)e1;
        (void)e2;
    }
    void run() override {}
    static InetAddress extraStore1;
    static InetAddress extraStore2;
};
InetAddress Service::extraStore1 = InetAddress::fromText("224.0.0.1");
InetAddress Service::extraStore2 = InetAddress::fromText("224.0.2.3");

// "1" for each socket slot of the set that is open.
std::string setMap(const UdpServerTask &t, int set) {
    std::string m;
    for (int j = 0; j < UdpServerTask::SocketsPerSet; ++j)
        m += t.sets[set][j] ? '1' : '0';
    return m;
}

// Runs the body in a child in a fresh network namespace: "eth0" 198.18.0.5/24 and
// 2001:db8::5/64, its peer "peer0" 198.18.0.9/24 in the namespace named client.
std::string inNamespace(const std::string &client, const std::function<std::string()> &body) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (unshare(CLONE_NEWNET) != 0) _exit(3);
        std::string setup =
            "ip netns add " + client + " && ip link set lo up && " +
            "ip link add eth0 type veth peer name peer0 && ip link set peer0 netns " + client +
            " && ip addr add 198.18.0.5/24 dev eth0 && ip addr add 2001:db8::5/64 dev eth0 nodad" +
            " && ip link set eth0 up && ip netns exec " + client +
            " sh -c 'ip link set lo up && ip addr add 198.18.0.9/24 dev peer0 && ip link set peer0 up'";
        std::string out = system(setup.c_str()) == 0 ? body() : "setup failed";
        system(("ip netns del " + client).c_str());
        if (write(fds[1], out.data(), out.size()) != static_cast<ssize_t>(out.size())) _exit(5);
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char chunk[512];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof(chunk))) > 0)
        out.append(chunk, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    // Also when the child died before it could.
    system(("ip netns del " + client + " 2>/dev/null").c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed";
    return out;
}

// Sends one datagram from the client namespace.
bool sendFromClient(const std::string &client, const char *address, int port, const char *text) {
    std::string cmd =
        "ip netns exec " + client +
        " python3 -c \"import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); "
        "s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton('198.18.0.9')); "
        "s.sendto(b'" +
        std::string(text) + "', ('" + address + "', " + std::to_string(port) + "))\"";
    return system(cmd.c_str()) == 0;
}

void installHooks() {
    interfaceHooks().name = [](const NetInterface *i) { return i->name(); };
    interfaceHooks().getAddress = [](NetInterface *i, InetAddress &a, int vlan) {
        return i->getAddress(a, vlan);
    };
}

// A parameter by name, also while it is marked absent.
Param *anyParam(const char *name) {
    int count = 0;
    Param **items = ptable().getItems(count);
    for (int i = 0; i < count; ++i)
        if (strcmp(items[i]->name(), name) == 0) return items[i];
    return nullptr;
}

void setParam(const char *name, const char *text) {
    Param *p = ptable().find(name);
    if (p) p->setText(text, -1);
}

class UdpServer : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
        client_ = "qmr_udp_" + std::to_string(getpid());
    }
    std::string client_;
};

TEST_F(UdpServer, SocketsPerSetFollowTheParameters) {
    std::string out = inNamespace(client_, [] {
        installHooks();
        NetInterface iface;
        iface.setName("eth0");
        iface.openSocket();
        std::string r;

        // IPv6 off, no extra groups: the unicast and the group socket only.
        setParam("ipv6", "off");
        {
            Service s(5353, "ff02::fb", "224.0.0.251", nullptr, nullptr);
            r += s.openSockets(&iface, true) ? "1 " : "0 ";
            r += setMap(s, 0) + " " + std::to_string(s.setCount) + "\n";
        }
        // IPv6 on and both extras: all five.
        setParam("ipv6", "on");
        {
            Service s(427, "ff05::116", "224.0.1.22", "x", "x");
            r += s.openSockets(&iface, true) ? "1 " : "0 ";
            r += setMap(s, 0) + "\n";
        }
        // IP VLAN 2 with an IPv6 address: only its IPv6 socket.
        if (system("ip link add link eth0 name eth0.102 type macvlan && "
                   "ip addr add 2001:db8:2::5/64 dev eth0.102 nodad && ip link set eth0.102 up") != 0)
            return std::string("no VLAN device");
        setParam("ipvlan_on_2", "on");
        setParam("ipvlan_addr_2", "2001:db8:2::5");
        setParam("ipvlan_pfxlen_2", "64");
        setParam("ipvlan_id_2", "102");
        {
            Service s(5353, "ff02::fb", "224.0.0.251", nullptr, nullptr);
            r += s.openSockets(&iface, true) ? "1 " : "0 ";
            r += setMap(s, 1) + " " + setMap(s, 2) + " " + setMap(s, 3) + "\n";
        }
        // A missing "ipvlan_id_5" ends the sets: IP VLAN 6 (no device) is never tried.
        setParam("ipvlan_on_6", "on");
        setParam("ipvlan_addr_6", "198.18.6.5");
        setParam("ipvlan_pfxlen_6", "24");
        anyParam("ipvlan_id_5")->setAbsent(true);
        {
            Service s(5353, "ff02::fb", "224.0.0.251", nullptr, nullptr);
            r += s.openSockets(&iface, true) ? "1 " : "0 ";
            r += setMap(s, 0) + " " + setMap(s, 2) + " " + setMap(s, 6) + "\n";
        }
        // Once it is there, the socket 0 of IP VLAN 6 fails and takes every socket with it.
        anyParam("ipvlan_id_5")->setAbsent(false);
        {
            Service s(5353, "ff02::fb", "224.0.0.251", nullptr, nullptr);
            r += s.openSockets(&iface, true) ? "1 " : "0 ";
            r += setMap(s, 0) + " " + setMap(s, 2) + "\n";
        }
        setParam("ipvlan_on_6", "off");
        // The management VLAN without untagged management: nothing on the base interface.
        setParam("ipvlan_mgmt", "on");
        setParam("ipvlan_mgmt_untag", "off");
        {
            Service s(5353, "ff02::fb", "224.0.0.251", nullptr, nullptr);
            r += s.openSockets(&iface, true) ? "1 " : "0 ";
            r += setMap(s, 0) + " " + setMap(s, 2) + "\n";
        }
        return r;
    });
    EXPECT_EQ(out, "1 11000 22\n"
                   "1 11111\n"
                   "1 00000 00001 00000\n"
                   "1 11001 00001 00000\n"
                   "0 00000 00000\n"
                   "1 00000 00001\n");
}

// A datagram to the group comes in once, on the group socket, with the unicast socket
// for the answer; a unicast one on the unicast socket.
TEST_F(UdpServer, EachDatagramOnceOnItsSocket) {
    std::string client = client_;
    std::string out = inNamespace(client, [client] {
        installHooks();
        NetInterface iface;
        iface.setName("eth0");
        iface.openSocket();
        setParam("ipv6", "off");
        Service s(5353, "ff02::fb", "224.0.0.251", nullptr, nullptr);
        if (!s.openSockets(&iface, true)) return std::string("not opened");
        std::string r;
        Buffer buffer;
        Connection *in = nullptr, *reply = nullptr;

        if (!sendFromClient(client, "224.0.0.251", 5353, "group")) return std::string("not sent");
        int n = s.receive(buffer, 500, &in, &reply);
        r += std::to_string(n) + (in == s.sets[0][1] ? " group" : " other") +
             (reply == s.sets[0][0] ? " unicast\n" : " other\n");
        // Nothing more: the wildcard-bound unicast socket did not get a copy.
        n = s.receive(buffer, 30, &in, &reply);
        r += std::to_string(n) + (in == nullptr && reply == nullptr ? " none\n" : " something\n");

        if (!sendFromClient(client, "198.18.0.5", 5353, "direct!")) return std::string("not sent");
        n = s.receive(buffer, 500, &in, &reply);
        r += std::to_string(n) + (in == s.sets[0][0] && reply == in ? " unicast\n" : " other\n");
        r += std::string(in ? in->peer.toText() : "-") + "\n";
        return r;
    });
    EXPECT_EQ(out, "5 group unicast\n"
                   "-1 none\n"
                   "7 unicast\n"
                   "198.18.0.9\n");
}

TEST_F(UdpServer, MessagesRebuildTheSockets) {
    std::string out = inNamespace(client_, [] {
        installHooks();
        NetInterface iface;
        iface.setName("eth0");
        iface.openSocket();
        setParam("ipv6", "off");
        Service s(5353, "ff02::fb", "224.0.0.251", nullptr, nullptr);
        if (!s.openSockets(&iface, true)) return std::string("not opened");
        std::string r;
        // While the sockets are being rebuilt a message loses its flags.
        pthread_mutex_lock(&s.lock);
        r += std::to_string(s.onMessage(TaskMsg{0, MsgConfigChanged | MsgNotifyEvent, 0, 0})) + " ";
        pthread_mutex_unlock(&s.lock);
        r += std::to_string(s.reopened) + "\n";
        // Configuration changed: everything rebuilt on the interface of set 0.
        Connection *before = s.sets[0][1];
        int oldSocket = before->socket;
        r += std::to_string(s.onMessage(TaskMsg{0, MsgConfigChanged | MsgNotifyEvent, 0, 0})) + " ";
        r += std::to_string(s.reopened) + " " + setMap(s, 0) + " ";
        r += s.sets[0][0]->interface == &iface ? "same interface\n" : "other interface\n";
        (void)oldSocket;
        // Address changed: the unicast sockets are reopened in place.
        Connection *unicast = s.sets[0][0];
        r += std::to_string(s.onMessage(TaskMsg{0, MsgAddressChanged, 0, 0})) + " ";
        r += s.sets[0][0] == unicast && unicast->socket >= 0 ? "reopened\n" : "lost\n";
        return r;
    });
    EXPECT_EQ(out, "0 0\n"
                   "16 1 11000 same interface\n"
                   "0 reopened\n");
}

} // namespace
