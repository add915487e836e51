// UdpServerTask: which sockets each set gets from the parameters, which socket a
// datagram comes in on and where its answer goes, and the reopening on messages (also
// on a running task, with messages through its pipe while it waits for an address or
// for datagrams). Each case runs in a child process moved into a network namespace of
// its own with a veth "eth0" whose peer sits in a second, named namespace that plays
// the client.

#include "core/buffer.h"
#include "core/connection.h"
#include "core/ptable.h"
#include "net/netif.h"
#include "net/udpserver.h"

#include "param_catalogue.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <netinet/in.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
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

// Sends datagrams from the client namespace on a thread of its own until destroyed,
// by turns to the group 224.0.0.251 and to the unicast address.
class ClientSender {
public:
    ClientSender(const std::string &client, int port)
        : thread_([this, client, port] { run(client, port); }) {}
    ~ClientSender() {
        stop_ = true;
        thread_.join();
    }
    int sent() const { return sent_.load(); }

private:
    void run(const std::string &client, int port) {
        // The namespace of this thread only.
        int ns = open(("/var/run/netns/" + client).c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0) return;
        int rc = setns(ns, CLONE_NEWNET);
        close(ns);
        if (rc != 0) return;
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return;
        in_addr own{};
        inet_pton(AF_INET, "198.18.0.9", &own);
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &own, sizeof own);
        sockaddr_in to[2] = {};
        for (sockaddr_in &a : to) {
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port));
        }
        inet_pton(AF_INET, "224.0.0.251", &to[0].sin_addr);
        inet_pton(AF_INET, "198.18.0.5", &to[1].sin_addr);
        for (int i = 0; !stop_.load(); ++i) {
            const sockaddr_in &a = to[i % 2];
            if (sendto(fd, "stress", 6, 0, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 6) ++sent_;
            usleep(50);
        }
        close(fd);
    }
    std::atomic<bool> stop_{false};
    std::atomic<int> sent_{0};
    std::thread thread_;
};

// What a running service reports; it outlives the task, which the framework deletes
// when its thread ends.
struct LiveState {
    std::atomic<int> opened{-1};
    std::atomic<int> received{0};
    std::atomic<int> rebuilt{-1};
    std::atomic<bool> stop{false};
};

// A service on a thread of its own as SLP and multicast DNS run: open the sockets, then
// receive until told to stop.
class LiveService : public UdpServerTask {
public:
    LiveService(NetInterface *iface, LiveState &state)
        : UdpServerTask("UdpLive", 5353, InetAddress::fromText("ff02::fb"),
                        InetAddress::fromText("224.0.0.251"), nullptr, nullptr),
          iface_(iface), state_(state) {}
    void run() override {
        state_.opened = openSockets(iface_, true) ? 1 : 0;
        Buffer buffer;
        while (!state_.stop.load()) {
            Connection *in = nullptr, *reply = nullptr;
            if (receive(buffer, 2, &in, &reply) > 0 && in != nullptr && reply != nullptr) ++state_.received;
        }
        state_.rebuilt = reopened;
    }

private:
    NetInterface *iface_;
    LiveState &state_;
};

// Polls the condition for at most about ten seconds.
bool eventually(const std::function<bool()> &condition) {
    for (int i = 0; i < 2000; ++i) {
        if (condition()) return true;
        usleep(5000);
    }
    return condition();
}

// Starts the service joinable; its thread, or a null one when it did not start.
pthread_t startLive(LiveService *task) {
    if (task->start(0x20000, true) < 0) {
        delete task;
        return pthread_t{};
    }
    // The thread waits for the registry lock that start held, so the task is alive here.
    return task->thread;
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

// Messages through the task's pipe: the handler only notes them, the next receive
// rebuilds (configuration changed) or reopens the sockets 0 (address changed).
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
        Buffer buffer;
        Connection *in = nullptr, *reply = nullptr;
        // While the sockets are being rebuilt a message loses its flags.
        pthread_mutex_lock(&s.lock);
        s.post(TaskMsg{0, MsgConfigChanged | MsgNotifyEvent, 0, 0});
        r += std::to_string(s.receive(buffer, 5, &in, &reply)) + " ";
        pthread_mutex_unlock(&s.lock);
        s.receive(buffer, 5, &in, &reply);
        r += std::to_string(s.reopened) + "\n";
        // The handler leaves the sockets alone and passes the other flags on.
        Connection *group = s.sets[0][1];
        int groupSocket = group->socket;
        r += std::to_string(s.onMessage(TaskMsg{0, MsgConfigChanged | MsgNotifyEvent, 0, 0})) + " ";
        r += std::to_string(s.reopened) +
             (s.sets[0][1] == group && group->socket == groupSocket ? " kept\n" : " gone\n");
        // Configuration changed: everything rebuilt on the interface of set 0.
        s.post(configChangedMsg);
        s.receive(buffer, 5, &in, &reply);
        r += std::to_string(s.reopened) + " " + setMap(s, 0) + " ";
        r += s.sets[0][0]->interface == &iface ? "same interface\n" : "other interface\n";
        // Address changed: the unicast sockets are reopened in place.
        Connection *unicast = s.sets[0][0];
        s.post(TaskMsg{0, MsgAddressChanged, 0, 0});
        s.receive(buffer, 5, &in, &reply);
        r += s.sets[0][0] == unicast && unicast->socket >= 0 ? "reopened\n" : "lost\n";
        return r;
    });
    EXPECT_EQ(out, "-1 0\n"
                   "16 0 kept\n"
                   "1 11000 same interface\n"
                   "reopened\n");
}

// A configuration change every half millisecond while datagrams stream in: each message
// may come between the poll of receive and the read of the datagram, and no socket in use
// may go away under it. Afterwards the rebuilt sockets still get datagrams.
TEST_F(UdpServer, MessagesWhileDatagramsStreamInFreeNoSocketInUse) {
    std::string client = client_;
    std::string out = inNamespace(client, [client] {
        installHooks();
        NetInterface iface;
        iface.setName("eth0");
        iface.openSocket();
        setParam("ipv6", "off");
        LiveState state;
        auto *task = new LiveService(&iface, state);
        pthread_t thread = startLive(task);
        if (thread == pthread_t{}) return std::string("not started");
        std::string r;
        if (!eventually([&] { return state.opened.load() >= 0; })) return std::string("never opened");
        r += "opened " + std::to_string(state.opened.load()) + "\n";
        {
            ClientSender sender(client, 5353);
            if (!eventually([&] { return sender.sent() > 0; })) r += "client sends nothing\n";
            for (int i = 0; i < 4000; ++i) {
                task->post(configChangedMsg);
                usleep(500);
            }
            // Messages over: the datagrams that keep coming are received.
            int before = state.received.load();
            r += eventually([&] { return state.received.load() > before + 10; }) ? "receiving\n" : "deaf\n";
        }
        state.stop = true;
        pthread_join(thread, nullptr);
        r += "rebuilt " + std::to_string(state.rebuilt.load()) + "\n";
        return r;
    });
    EXPECT_EQ(out, "opened 1\n"
                   "receiving\n"
                   "rebuilt 1\n");
}

// The interface gets its address late: the group socket waits for it inside
// joinMulticast, where the task's messages are read. A configuration change that comes
// then is done once the sockets are open, and the group socket is not freed under the
// wait.
TEST_F(UdpServer, MessageWhileWaitingForAnAddressFreesNoSocketInUse) {
    std::string client = client_;
    std::string out = inNamespace(client, [client] {
        installHooks();
        if (system("ip -4 addr del 198.18.0.5/24 dev eth0") != 0) return std::string("address stays");
        NetInterface iface;
        iface.setName("eth0");
        iface.openSocket();
        setParam("ipv6", "off");
        LiveState state;
        auto *task = new LiveService(&iface, state);
        // The message is waiting before the task starts: its first read is in the wait
        // for the address.
        task->post(configChangedMsg);
        int pipe = task->pipeRead;
        pthread_t thread = startLive(task);
        if (thread == pthread_t{}) return std::string("not started");
        std::string r;
        bool read = eventually([&] {
            int pending = 0;
            return ioctl(pipe, FIONREAD, &pending) == 0 && pending == 0;
        });
        r += read ? "message read\n" : "message unread\n";
        // The wait for the address sees it on its next round.
        usleep(100000);
        r += state.opened.load() < 0 ? "waiting\n" : "not waiting\n";
        if (system("ip addr add 198.18.0.5/24 dev eth0") != 0) return std::string("no address");
        if (!eventually([&] { return state.opened.load() >= 0; })) return std::string("never opened");
        r += "opened " + std::to_string(state.opened.load()) + "\n";
        // A datagram to the group comes in on the rebuilt sockets.
        bool got = false;
        for (int i = 0; i < 50 && !got; ++i) {
            sendFromClient(client, "224.0.0.251", 5353, "late");
            usleep(20000);
            got = state.received.load() > 0;
        }
        r += got ? "received\n" : "nothing\n";
        state.stop = true;
        pthread_join(thread, nullptr);
        r += "rebuilt " + std::to_string(state.rebuilt.load()) + "\n";
        return r;
    });
    EXPECT_EQ(out, "message read\n"
                   "waiting\n"
                   "opened 1\n"
                   "received\n"
                   "rebuilt 1\n");
}

} // namespace
