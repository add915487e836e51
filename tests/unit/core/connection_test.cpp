#include "core/connection.h"

#include "conn_fixture.h"
#include "core/ptable.h"
#include "core/sysroot.h"
#include "core/task.h"
#include "param_catalogue.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <memory>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace conntest;

namespace {

// A bound unix datagram socket at path (the "server" of a unix client).
int unixServer(const std::string &path) {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    std::snprintf(sun.sun_path, sizeof sun.sun_path, "%s", path.c_str());
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&sun), sizeof sun) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

// A connected stream pair whose first end is wrapped by the connection.
struct StreamPair {
    Connection conn{nullptr, nullptr, -1};
    int other = -1;
    explicit StreamPair(Task *owner = nullptr) {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0) {
            conn.socket = sv[0];
            conn.family = Connection::FamilyUnix;
            conn.type = Connection::TypeStream;
            other = sv[1];
        }
        conn.owner = owner;
    }
    ~StreamPair() {
        if (other >= 0) ::close(other);
    }
};

// Fills the socket's send queue until it takes nothing more.
void fillSendQueue(int fd) {
    int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    char block[4096] = {};
    setFdNonBlocking(fd, true);
    while (::send(fd, block, sizeof block, MSG_DONTWAIT) > 0) {
    }
}

} // namespace

TEST(Connection, StartsClosedWithEmptyIpv4AddressesAndClosesWhatItOpened) {
    auto *c = new Connection(nullptr, nullptr, 7);
    EXPECT_EQ(c->socket, -1);
    EXPECT_EQ(c->vlan, 7);
    EXPECT_EQ(c->local.family(), AF_INET);
    EXPECT_FALSE(c->local.isSet());
    EXPECT_EQ(c->peer.family(), AF_INET);
    EXPECT_FALSE(c->close()) << "nothing open";

    ASSERT_TRUE(c->open(AF_INET, SOCK_DGRAM, 0));
    EXPECT_EQ(c->family, Connection::FamilyIpv4);
    EXPECT_EQ(c->type, Connection::TypeDatagram);
    ASSERT_TRUE(c->bind(0, true, 0));
    const uint16_t firstPort = c->local.port();
    ASSERT_TRUE(c->open(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0)) << "a second open replaces the socket";
    EXPECT_EQ(c->type, Connection::TypeStream);
    EXPECT_EQ(c->family, Connection::FamilyIpv6);
    Connection again(nullptr, nullptr, -1);
    ASSERT_TRUE(again.open(AF_INET, SOCK_DGRAM, 0));
    EXPECT_TRUE(again.bind(firstPort, true, 0)) << "the first socket was closed, its port is free";
    int fd = c->socket;
    deleteConnection(c);
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "deleting closes";
    deleteConnection(nullptr);
}

TEST(Connection, BlockingModeOfDescriptors) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    EXPECT_TRUE(isFdBlocking(sv[0]));
    EXPECT_TRUE(setFdNonBlocking(sv[0], true));
    EXPECT_FALSE(isFdBlocking(sv[0]));
    EXPECT_TRUE(setFdNonBlocking(sv[0], true)) << "already in the wanted state";
    EXPECT_TRUE(setFdNonBlocking(sv[0], false));
    EXPECT_TRUE(isFdBlocking(sv[0]));
    ::close(sv[0]);
    ::close(sv[1]);
    for (int bad : {-1, sv[0]}) {
        EXPECT_FALSE(setFdNonBlocking(bad, true)) << bad;
        EXPECT_FALSE(isFdBlocking(bad)) << bad;
    }
}

TEST(Connection, UnixClientBindsReplacesStaleFilesAndSendsToItsServer) {
    TempDir dir;
    const std::string own = dir.file("client.sock"), server = dir.file("server.sock");

    // A file left in the way of the own path is replaced.
    {
        std::FILE *f = std::fopen(own.c_str(), "w");
        std::fclose(f);
    }
    Connection c(nullptr, nullptr, -1);
    ASSERT_TRUE(c.bindUnix(own.c_str()));
    EXPECT_EQ(c.family, Connection::FamilyUnix);
    EXPECT_EQ(c.type, Connection::TypeDatagram);
    struct stat st {};
    ASSERT_EQ(::stat(own.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));

    // Nobody serves the path yet: the connect fails and leaves the path alone.
    EXPECT_FALSE(c.connectPath(server.c_str()));

    // A stale socket file (its server ended) is removed by the refused connect.
    int stale = unixServer(server);
    ASSERT_GE(stale, 0);
    ::close(stale);
    EXPECT_FALSE(c.connectPath(server.c_str()));
    EXPECT_NE(::access(server.c_str(), F_OK), 0) << "stale socket file removed";

    // A live server: connected, and send writes to it.
    int live = unixServer(server);
    ASSERT_GE(live, 0);
    ASSERT_TRUE(c.connectPath(server.c_str()));
    EXPECT_EQ(c.state, Connection::StateConnected);
    EXPECT_EQ(c.send("PING", 4, false), 4);
    char got[16] = {};
    EXPECT_EQ(::recv(live, got, sizeof got, 0), 4);
    EXPECT_STREQ(got, "PING");
    ::close(live);

    // The own path goes with the socket; the server's path is not the client's to take.
    EXPECT_TRUE(c.close());
    EXPECT_NE(::access(own.c_str(), F_OK), 0) << "own socket file removed with the socket";
    EXPECT_EQ(::access(server.c_str(), F_OK), 0);
    ASSERT_TRUE(c.bindUnix(own.c_str()));

    // Paths the socket address cannot hold are refused.
    EXPECT_FALSE(c.connectPath(("/tmp/" + std::string(101, 'x')).c_str()));
    Connection longPath(nullptr, nullptr, -1);
    EXPECT_FALSE(longPath.bindUnix(("/tmp/" + std::string(103, 'y')).c_str()));
    EXPECT_EQ(longPath.socket, -1);
}

TEST(Connection, ConnectUnixWaitsForTheServerFromInsideATask) {
    EXPECT_EQ(Connection::connectUnix("/tmp/none"), nullptr) << "only from inside a task";

    TempDir dir;
    const std::string server = dir.file("late.sock");
    std::atomic<bool> connected{false};
    std::thread starter([&] {
        // The server appears after the first attempts failed.
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        int fd = unixServer(server);
        char got[8] = {};
        if (fd >= 0 && ::recv(fd, got, sizeof got, 0) == 2 && std::strcmp(got, "hi") == 0) connected = true;
        if (fd >= 0) ::close(fd);
    });
    ASSERT_TRUE(runInTask([&](FnTask &self) {
        Connection *c = Connection::connectUnix(server.c_str());
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->owner, &self);
        EXPECT_EQ(c->send("hi", 2, false), 2);
        deleteConnection(c);
    }));
    starter.join();
    EXPECT_TRUE(connected);
}

// The own path of a unix client lies in the sandbox root, numbered from 1 per process.
TEST(ConnectionDeathTest, UnixClientPathUnderTheSandboxRoot) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const bool child = std::getenv("QMR_ROOT") != nullptr;
    std::optional<TempDir> root;
    if (!child) {
        root.emplace();
        ::mkdir(root->file("var").c_str(), 0755);
        setenv("QMR_ROOT", root->path().c_str(), 1);
    }
    EXPECT_EXIT(
        {
            Connection c(nullptr, nullptr, -1);
            bool ok = c.bindUnix(nullptr);
            std::string expected = sysPath("/var/unixsock_" + std::to_string(::getpid()) + "-1");
            struct stat st {};
            ok = ok && ::stat(expected.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) &&
                 expected.rfind(std::getenv("QMR_ROOT"), 0) == 0;
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    if (!child) unsetenv("QMR_ROOT");
}

TEST(Connection, ReadWaitsReportTimeOutsDataAndMissingSockets) {
    Connection none(nullptr, nullptr, -1);
    int err = 0;
    EXPECT_FALSE(none.wait4read(10, &err, true));
    EXPECT_EQ(err, Connection::WaitNoSocket);
    EXPECT_FALSE(none.wait4write(0, &err, true));
    EXPECT_EQ(err, Connection::WaitNoSocket);

    StreamPair p;
    err = 0;
    EXPECT_FALSE(p.conn.wait4read(0, &err, true)) << "a time-out of 0 looks once";
    EXPECT_EQ(err, Connection::WaitTimedOut);
    EXPECT_EQ(p.conn.error, Connection::ErrorTimeout);
    EXPECT_FALSE(p.conn.wait4read(3, nullptr, true)) << "no error output needed";

    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ::send(p.other, "x", 1, 0);
    });
    EXPECT_TRUE(p.conn.wait4read(-1, &err, true)) << "no limit: waits for the data";
    writer.join();
    EXPECT_TRUE(p.conn.wait4read(0, &err, true));

    // The end of the stream counts as readable (the read then tells).
    char c;
    ::recv(p.conn.socket, &c, 1, 0);
    ::shutdown(p.other, SHUT_WR);
    EXPECT_TRUE(p.conn.wait4read(100, &err, true));
}

TEST(Connection, WriteWaitOfZeroOnAFullSocketLetsTheCallerTry) {
    StreamPair p;
    fillSendQueue(p.conn.socket);
    int err = 0;
    EXPECT_TRUE(p.conn.wait4write(0, &err, true));
    EXPECT_EQ(err, Connection::WaitTimedOut);
    EXPECT_EQ(p.conn.error, Connection::ErrorTimeout);
    err = 0;
    EXPECT_FALSE(p.conn.wait4write(5, &err, true)) << "a real time-out fails";
    EXPECT_EQ(err, Connection::WaitTimedOut);

    // Once the peer reads, the socket is writable again.
    std::thread reader([&] {
        char sink[65536];
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        while (::recv(p.other, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
    });
    EXPECT_TRUE(p.conn.wait4write(500, &err, true));
    reader.join();
}

// The waits take the owning task's messages: a configuration change ends a read or
// write wait (false, error 0, when the socket is not ready), other messages do not, and
// an exit message ends the task from inside the wait.
TEST(Connection, WaitsTakeTaskMessages) {
    struct Seen {
        std::atomic<int> phase{0};
        std::atomic<bool> configEnded{false}, dataAfterOther{false}, writeAfterConfig{false};
        std::atomic<int> unwound{0};
    } seen;
    struct Unwind {
        std::atomic<int> &flag;
        ~Unwind() { ++flag; }
    };
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    std::atomic<int> ended{0};
    auto *t = new FnTask(
        "WaitMsgs",
        [&](FnTask &self) {
            Unwind guard{seen.unwound};
            Connection c(&self, nullptr, -1);
            c.socket = ::dup(sv[0]);
            int err = -99;
            seen.phase = 1;
            seen.configEnded = !c.wait4read(-1, &err, true) && err == 0;
            seen.phase = 2;
            seen.dataAfterOther = c.wait4read(-1, &err, true);
            char buf[4];
            ::recv(c.socket, buf, sizeof buf, 0);
            fillSendQueue(c.socket);
            seen.phase = 3;
            seen.writeAfterConfig = !c.wait4write(-1, &err, true) && err == 0;
            seen.phase = 4;
            c.wait4read(-1, &err, true); // ended by the exit message
            seen.phase = 5;
        },
        &ended);
    ASSERT_GE(t->start(0x10000), 0);
    const int number = t->taskNumber;
    ASSERT_TRUE(eventually([&] { return seen.phase == 1; }));
    Task::postTo(number, configChangedMsg);
    ASSERT_TRUE(eventually([&] { return seen.phase == 2; }));
    EXPECT_TRUE(seen.configEnded);
    Task::postTo(number, TaskMsg{0, 0x20, 0, 0});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(seen.phase, 2) << "a message without the configuration flag does not end the wait";
    ::send(sv[1], "ab", 2, 0);
    ASSERT_TRUE(eventually([&] { return seen.phase == 3; }));
    EXPECT_TRUE(seen.dataAfterOther);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Task::postTo(number, configChangedMsg);
    ASSERT_TRUE(eventually([&] { return seen.phase == 4; }));
    EXPECT_TRUE(seen.writeAfterConfig);
    Task::postTo(number, exitMsg);
    ASSERT_TRUE(eventually([&] { return ended == 1; }));
    EXPECT_EQ(seen.phase, 4) << "the exit message ended the thread inside the wait";
    EXPECT_EQ(seen.unwound, 1);
    ::close(sv[0]);
    ::close(sv[1]);
}

TEST(Connection, BindChoosesTheAddressByFamilyClearFlagAndVlan) {
    ptable();
    FakeInterface lo;
    InterfaceHooksGuard hooks;
    struct Case {
        const char *what;
        int family;
        bool clear;
        int vlanIndex;
        const char *expected;
    } cases[] = {
        {"IPv4 clear: any address", AF_INET, true, 0, "0.0.0.0"},
        {"IPv4 without clear: the interface's address", AF_INET, false, 0, "127.0.0.1"},
        {"IPv4 with an IP VLAN: its parameter's address", AF_INET, false, 3, "127.0.0.3"},
        {"IPv6 clear: any address", AF_INET6, true, 0, "::"},
    };
    Param *vlanAddr = ptable().find("ipvlan_addr_", 12, 3);
    ASSERT_NE(vlanAddr, nullptr);
    ASSERT_TRUE(vlanAddr->setText("127.0.0.3", -1));
    for (const Case &k : cases) {
        Connection c(nullptr, asInterface(lo), -1);
        ASSERT_TRUE(c.open(k.family, SOCK_DGRAM, 0)) << k.what;
        ASSERT_TRUE(c.bind(0, k.clear, k.vlanIndex)) << k.what;
        EXPECT_STREQ(c.local.toText(), k.expected) << k.what;
        EXPECT_GT(c.local.port(), 0) << k.what << ": the ephemeral port is read back";
        InetAddress own;
        if (std::strcmp(k.expected, "0.0.0.0") != 0 && std::strcmp(k.expected, "::") != 0) {
            ASSERT_TRUE(c.localAddress(own)) << k.what;
            EXPECT_STREQ(own.toText(), k.expected) << k.what;
        }
    }
    vlanAddr->setText("::", -1);

    // A bound any-address is not an own address: ask the interface, on its VLAN.
    FakeInterface lo2;
    Connection c(nullptr, asInterface(lo2), 4);
    ASSERT_TRUE(c.open(AF_INET6, SOCK_DGRAM, 0));
    ASSERT_TRUE(c.bind(0, true, 0));
    InetAddress own;
    ASSERT_TRUE(c.localAddress(own));
    EXPECT_STREQ(own.toText(), "::1");
    EXPECT_EQ(lo2.lastVlan, 4);
    Connection alone(nullptr, nullptr, -1);
    EXPECT_FALSE(alone.localAddress(own)) << "no interface to ask";
}

TEST(Connection, TcpOptionsAndDeviceBinding) {
    FakeInterface lo;
    InterfaceHooksGuard hooks(&lo);
    Connection c(nullptr, asInterface(lo), -1);
    ASSERT_TRUE(c.open(AF_INET, SOCK_STREAM, 0));
    EXPECT_TRUE(c.setReuseAddr());
    EXPECT_TRUE(c.set_maxseg(1200));
    EXPECT_GT(c.get_maxseg(), 0);
    EXPECT_TRUE(c.set_nagleon());
    int on = 0;
    socklen_t len = sizeof on;
    ::getsockopt(c.socket, IPPROTO_TCP, TCP_NODELAY, &on, &len);
    EXPECT_EQ(on, 1);

    ASSERT_TRUE(c.bindToDevice());
    char device[IFNAMSIZ] = {};
    len = sizeof device;
    ASSERT_EQ(::getsockopt(c.socket, SOL_SOCKET, SO_BINDTODEVICE, device, &len), 0);
    EXPECT_STREQ(device, "lo");

    struct Case {
        const char *name;
        int vlan;
        const char *expected;
    } names[] = {
        {"eth0", -1, "eth0"},
        {"eth0", 7, "eth0.7"},
        {"wlan0", 4094, "wlan0.4094"},
        {"averyveryverylongname", -1, "averyveryverylo"},
        {"eth0123456789", 4094, "eth0123456789.4"},
    };
    for (const Case &k : names) {
        FakeInterface f;
        f.name = k.name;
        Connection n(nullptr, asInterface(f), k.vlan);
        char text[32];
        n.deviceName(text, sizeof text);
        EXPECT_STREQ(text, k.expected);
    }
    Connection noIface(nullptr, nullptr, -1);
    char text[32];
    noIface.deviceName(text, sizeof text);
    EXPECT_STREQ(text, "NoIFace");
    EXPECT_FALSE(noIface.bindToDevice()) << "no socket";
    ASSERT_TRUE(noIface.open(AF_INET, SOCK_DGRAM, 0));
    EXPECT_FALSE(noIface.bindToDevice()) << "no such device";
    Connection vlanOfLo(nullptr, asInterface(lo), 5);
    ASSERT_TRUE(vlanOfLo.open(AF_INET, SOCK_DGRAM, 0));
    EXPECT_FALSE(vlanOfLo.bindToDevice()) << "lo.5 does not exist";

    // A bare descriptor to the main interface.
    EXPECT_EQ(bindToMgmtInterface(0), 0);
    EXPECT_EQ(bindToMgmtInterface(-3), 0);
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_EQ(bindToMgmtInterface(fd), 0);
    len = sizeof device;
    ::getsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device, &len);
    EXPECT_STREQ(device, "lo");
    ::close(fd);
}

TEST(Connection, ManagementVlanNamesTheSubInterface) {
    FakeInterface lo;
    {
        InterfaceHooksGuard hooks(&lo, 9);
        int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        EXPECT_EQ(bindToMgmtInterface(fd), -1) << "lo.9 does not exist";
        ::close(fd);
    }
    {
        InterfaceHooksGuard hooks(nullptr);
        int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        EXPECT_EQ(bindToMgmtInterface(fd), -1) << "no main interface";
        ::close(fd);
    }
}

TEST(Connection, ListeningAcceptingAndConnecting) {
    Connection server(nullptr, nullptr, -1);
    ASSERT_TRUE(server.open(AF_INET, SOCK_STREAM, 0));
    ASSERT_TRUE(server.bind(0, true, 0));
    ASSERT_TRUE(server.startListening(4));
    EXPECT_EQ(server.state, Connection::StateListening);

    struct Case {
        const char *what;
        bool nonBlocking;
        int timeout;
    } cases[] = {{"blocking, no limit", false, 0},
                 {"non-blocking, no limit", true, 0},
                 {"non-blocking with a limit", true, 500},
                 {"blocking with a limit", false, 500},
                 {"one plain connect", false, -1}};
    for (const Case &k : cases) {
        Connection client(nullptr, nullptr, -1);
        ASSERT_TRUE(client.open(AF_INET, SOCK_STREAM, 0));
        if (k.nonBlocking) client.setNonBlocking();
        client.peer = InetAddress::fromText("127.0.0.1");
        client.peer.setPort(server.local.port());
        ASSERT_TRUE(client.connect(k.timeout)) << k.what;
        EXPECT_EQ(client.state, Connection::StateConnected);
        EXPECT_EQ(isFdBlocking(client.socket), !k.nonBlocking) << k.what << ": blocking mode kept";
        Connection accepted(nullptr, nullptr, -1);
        ASSERT_TRUE(accepted.acceptFrom(server.socket)) << k.what;
        EXPECT_EQ(accepted.family, Connection::FamilyIpv4);
        EXPECT_STREQ(accepted.peer.toText(), "127.0.0.1");
        EXPECT_EQ(accepted.local.port(), server.local.port());
    }

    // Refused: a port where nobody listens.
    Connection closedPort(nullptr, nullptr, -1);
    ASSERT_TRUE(closedPort.open(AF_INET, SOCK_STREAM, 0));
    ASSERT_TRUE(closedPort.bind(0, true, 0));
    int unusedPort = closedPort.local.port();
    closedPort.close();
    for (bool nonBlocking : {false, true}) {
        Connection client(nullptr, nullptr, -1);
        ASSERT_TRUE(client.open(AF_INET, SOCK_STREAM, 0));
        if (nonBlocking) client.setNonBlocking();
        client.peer = InetAddress::fromText("127.0.0.1");
        client.peer.setPort(static_cast<uint16_t>(unusedPort));
        EXPECT_FALSE(client.connect(0));
        EXPECT_NE(client.state, Connection::StateConnected);
    }

    Connection failedAccept(nullptr, nullptr, -1);
    EXPECT_FALSE(failedAccept.acceptFrom(-1));
    EXPECT_EQ(failedAccept.socket, -1);

    Connection udp(nullptr, nullptr, -1);
    ASSERT_TRUE(udp.open(AF_INET, SOCK_DGRAM, 0));
    EXPECT_FALSE(udp.startListening(4)) << "only stream sockets listen";
}

// A server whose accept queue is full drops the handshake: the connect gives up at its
// time-out, also on a blocking socket.
TEST(Connection, ConnectGivesUpAtItsTimeOut) {
    Connection server(nullptr, nullptr, -1);
    ASSERT_TRUE(server.open(AF_INET, SOCK_STREAM, 0));
    ASSERT_TRUE(server.bind(0, true, 0));
    ASSERT_TRUE(server.startListening(0));
    std::vector<std::unique_ptr<Connection>> fillers;
    bool sawTimeout = false;
    for (int i = 0; i < 8 && !sawTimeout; i++) {
        auto c = std::make_unique<Connection>(nullptr, nullptr, -1);
        ASSERT_TRUE(c->open(AF_INET, SOCK_STREAM, 0));
        c->peer = InetAddress::fromText("127.0.0.1");
        c->peer.setPort(server.local.port());
        if (!c->connect(20)) {
            sawTimeout = true;
            EXPECT_TRUE(isFdBlocking(c->socket)) << "blocking mode restored";
        }
        fillers.push_back(std::move(c));
    }
    EXPECT_TRUE(sawTimeout);
}
