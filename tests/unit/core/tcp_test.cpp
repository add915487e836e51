#include "core/tcp.h"

#include "conn_fixture.h"
#include "core/buffer.h"
#include "core/ptable.h"
#include "core/tcp_internal.h"
#include "core/tls.h"
#include "core/tls_internal.h"
#include "param_catalogue.h"
#include "test_keypair.h"

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <linux/if_packet.h>
#include <memory>
#include <net/if.h>
#include <netinet/in.h>
#include <optional>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace conntest;

namespace {

// A client socket connected to the port on the loopback address of the family.
int connectTo(uint16_t port, bool ipv6 = false) {
    int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    InetAddress to = InetAddress::fromText(ipv6 ? "::1" : "127.0.0.1");
    to.setPort(port);
    if (fd >= 0 && ::connect(fd, to.sockAddr(), to.sockLen()) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245u + 12345u;
        s[i] = static_cast<char>(seed >> 16);
    }
    return s;
}

// Reads from fd until the end of the stream (or an error).
std::string drain(int fd) {
    std::string out;
    char block[8192];
    for (;;) {
        ssize_t n = ::recv(fd, block, sizeof block, 0);
        if (n <= 0) return out;
        out.append(block, static_cast<size_t>(n));
    }
}

int64_t threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A port that is free at the moment (listen refuses port 0).
uint16_t freePort(int family = AF_INET) {
    int fd = ::socket(family, SOCK_STREAM, 0);
    InetAddress any;
    any.reset(family == AF_INET6);
    ::bind(fd, any.sockAddr(), any.sockLen());
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len);
    InetAddress a;
    a.setSockAddr(reinterpret_cast<sockaddr *>(&ss), len);
    ::close(fd);
    return a.port();
}

// The TCP tests work on the loopback interface, with "ipv6" off unless they say so.
class TcpTest : public ::testing::Test {
protected:
    void SetUp() override {
        ptable();
        savedIpv6_ = p_ipv6->value();
        savedMaxseg_ = p_tcp_maxseg->value();
        p_ipv6->set(0);
    }
    void TearDown() override {
        p_ipv6->set(savedIpv6_);
        p_tcp_maxseg->set(savedMaxseg_);
    }

    // A listener on lo and one accepted client; the client's raw socket in clientFd.
    std::unique_ptr<TcpConnection> acceptOne(int &clientFd, bool ipv6Client = false) {
        if (!listener_) listener_.reset(TcpConnection::listen(nullptr, freePort(), asInterface(lo), 0));
        clientFd = listener_ ? connectTo(listener_->local.port(), ipv6Client) : -1;
        if (clientFd < 0) return nullptr;
        return std::unique_ptr<TcpConnection>(listener_->accept(false));
    }

    FakeInterface lo;
    InterfaceHooksGuard hooks{&lo};
    std::unique_ptr<TcpConnection> listener_;
    int savedIpv6_ = 0;
    int savedMaxseg_ = 0;
};

} // namespace

TEST_F(TcpTest, ListenRefusesBadArgumentsAndFollowsTheIpv6Setting) {
    EXPECT_EQ(TcpConnection::listen(nullptr, 0, asInterface(lo), 0), nullptr);
    EXPECT_EQ(TcpConnection::listen(nullptr, -80, asInterface(lo), 0), nullptr);
    EXPECT_EQ(TcpConnection::listen(nullptr, freePort(), nullptr, 0), nullptr);

    struct Case {
        bool ipv6;
        uint32_t family;
        int maxseg;
    } cases[] = {{false, Connection::FamilyIpv4, 0}, {true, Connection::FamilyIpv6, 1000}};
    for (const Case &k : cases) {
        p_ipv6->set(k.ipv6 ? 1 : 0);
        p_tcp_maxseg->set(k.maxseg);
        std::unique_ptr<TcpConnection> l(TcpConnection::listen(nullptr, freePort(), asInterface(lo), 0));
        ASSERT_NE(l, nullptr) << k.ipv6;
        EXPECT_EQ(l->family, k.family);
        EXPECT_EQ(l->state, Connection::StateListening);
        EXPECT_EQ(l->vlan, -1);
        EXPECT_FALSE(isFdBlocking(l->socket));
        EXPECT_EQ(l->bytesSent + l->bytesReceived, 0u);
        EXPECT_EQ(l->tls, nullptr);
        char device[IFNAMSIZ] = {};
        socklen_t len = sizeof device;
        ::getsockopt(l->socket, SOL_SOCKET, SO_BINDTODEVICE, device, &len);
        EXPECT_STREQ(device, "lo");
        if (k.maxseg > 0) {
            EXPECT_EQ(l->get_maxseg(), k.maxseg);
        }
        // A client of the family gets through.
        int fd = connectTo(l->local.port(), k.ipv6);
        ASSERT_GE(fd, 0);
        std::unique_ptr<TcpConnection> c(l->accept(false));
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->state, Connection::StateConnected);
        ::close(fd);
    }
}

TEST_F(TcpTest, ListenOnAnIpVlanNeedsItsParameters) {
    Param *on = ptable().find("ipvlan_on_", 10, 2);
    auto *id = dynamic_cast<IntParam *>(ptable().find("ipvlan_id_", 10, 2));
    Param *addr = ptable().find("ipvlan_addr_", 12, 2);
    ASSERT_TRUE(on && id && addr);
    struct Case {
        const char *what;
        bool on;
        const char *address;
        bool ipv6;
    } cases[] = {
        {"VLAN off", false, "127.0.0.1", false},
        {"IPv4 VLAN without its sub-interface lo.5", true, "127.0.0.1", false},
        {"IPv6 VLAN while IPv6 is off", true, "::1", false},
        {"an index beyond the parameters", true, "127.0.0.1", false},
    };
    for (const Case &k : cases) {
        on->setText(k.on ? "on" : "off", -1);
        id->set(5);
        addr->setText(k.address, -1);
        p_ipv6->set(k.ipv6 ? 1 : 0);
        int index = std::strstr(k.what, "beyond") ? 99 : 2;
        EXPECT_EQ(TcpConnection::listen(nullptr, freePort(), asInterface(lo), index), nullptr) << k.what;
    }
    on->setText("off", -1);
    addr->setText("192.168.0.0", -1);
}

// On an IP VLAN the listener binds to the VLAN's sub-interface and, for IPv4, to the
// VLAN's address. The sub-interface is a veth end named like a VLAN device, made in a
// network namespace of a child process.
TEST(TcpDeathTest, ListenOnAnIpVlanBindsItsSubInterface) {
    if (::geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            bool ok = ::unshare(CLONE_NEWNET) == 0 &&
                      std::system("ip link add tst0 type veth peer name tst0.5 && ip link set tst0 up && "
                                  "ip link set tst0.5 up && ip addr add 198.18.5.1/24 dev tst0.5 && "
                                  "ip -6 addr add fd00:5::1/64 dev tst0.5 nodad") == 0;
            ptable();
            FakeInterface tst;
            tst.name = "tst0";
            InterfaceHooksGuard hooks(&tst);
            ptable().find("ipvlan_on_", 10, 2)->setText("on", -1);
            dynamic_cast<IntParam *>(ptable().find("ipvlan_id_", 10, 2))->set(5);
            ptable().find("ipvlan_addr_", 12, 2)->setText("198.18.5.1", -1);
            p_ipv6->set(1);
            std::unique_ptr<TcpConnection> v4(TcpConnection::listen(nullptr, 8080, asInterface(tst), 2));
            char device[IFNAMSIZ] = {};
            socklen_t len = sizeof device;
            ok = ok && v4 && v4->family == Connection::FamilyIpv4 && v4->vlan == 5 &&
                 std::strcmp(v4->local.toText(), "198.18.5.1") == 0 &&
                 ::getsockopt(v4->socket, SOL_SOCKET, SO_BINDTODEVICE, device, &len) == 0 &&
                 std::strcmp(device, "tst0.5") == 0;
            ptable().find("ipvlan_addr_", 12, 2)->setText("fd00:5::1", -1);
            std::unique_ptr<TcpConnection> v6(TcpConnection::listen(nullptr, 8081, asInterface(tst), 2));
            ok = ok && v6 && v6->family == Connection::FamilyIpv6;
            p_ipv6->set(0);
            std::unique_ptr<TcpConnection> off(TcpConnection::listen(nullptr, 8082, asInterface(tst), 2));
            ok = ok && off == nullptr;
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(TcpTest, ReadsReportDataNothingTimeOutsAndClosedPeers) {
    int client = -1;
    std::unique_ptr<TcpConnection> c = acceptOne(client);
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c->peer.toText(), "127.0.0.1");

    Buffer b;
    EXPECT_EQ(c->readBuffer(b, 0), 0) << "nothing there, no waiting";
    EXPECT_EQ(b.base, nullptr);
    EXPECT_EQ(c->readBuffer(b, 3), TcpReadTimedOut);
    EXPECT_EQ(c->error, Connection::ErrorTimeout);
    EXPECT_EQ(b.base, nullptr) << "released on failure";

    ASSERT_EQ(::send(client, "hello", 5, 0), 5);
    ASSERT_EQ(c->readBuffer(b, 100), 5);
    EXPECT_EQ(std::string(b.cursor, 5), "hello");
    EXPECT_EQ(b.size, 5) << "grown to what arrived";
    EXPECT_EQ(c->bytesReceived, 5u);

    // Borrowed memory limits the read; the rest stays for the next one.
    ASSERT_EQ(::send(client, "0123456789", 10, 0), 10);
    ASSERT_TRUE(eventually([&] { return c->wait4read(0, nullptr, true); }));
    char mem[4];
    EXPECT_EQ(c->read(mem, sizeof mem, 100), 4);
    EXPECT_EQ(std::string(mem, 4), "0123");
    char rest[32];
    Buffer borrowed(rest, sizeof rest);
    EXPECT_EQ(c->readBuffer(borrowed, 100), 6);
    EXPECT_EQ(std::string(borrowed.cursor, 6), "456789");
    EXPECT_EQ(c->read(mem, 0, 100), 0) << "no room, no read";

    // Arbitrary bytes in many pieces arrive whole.
    const std::string garbage = pattern(200000, 7);
    std::thread writer([&] {
        size_t off = 0;
        while (off < garbage.size()) {
            size_t n = std::min<size_t>(garbage.size() - off, 1 + off % 9000);
            ssize_t w = ::send(client, garbage.data() + off, n, 0);
            if (w <= 0) break;
            off += static_cast<size_t>(w);
        }
    });
    std::string got;
    while (got.size() < garbage.size()) {
        int n = c->readBuffer(b, 500);
        ASSERT_GT(n, 0);
        got.append(b.cursor, static_cast<size_t>(n));
    }
    writer.join();
    EXPECT_EQ(got, garbage);

    ::close(client);
    EXPECT_EQ(c->readBuffer(b, 100), TcpPeerClosed);
    EXPECT_EQ(b.base, nullptr);
}

TEST_F(TcpTest, WritesOnAFullSocket) {
    int client = -1;
    std::unique_ptr<TcpConnection> c = acceptOne(client);
    ASSERT_NE(c, nullptr);
    int small = 4096;
    ::setsockopt(c->socket, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(client, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const std::string big = pattern(1 << 20, 3);

    int first = c->writeAll(big.data(), static_cast<int>(big.size()), 100, true);
    EXPECT_GT(first, 0);
    EXPECT_LT(first, static_cast<int>(big.size())) << "stopped where the socket was full";
    EXPECT_EQ(c->writeAll(big.data(), 100, 100, true), 0) << "nothing fits any more";
    EXPECT_EQ(c->writeAll(big.data(), 100, 5, false), TcpWriteTimedOut);
    EXPECT_EQ(c->bytesSent, static_cast<uint64_t>(first));

    // No time-out: the write waits for the reader in poll, without spinning.
    const std::string rest = big.substr(0, 100000);
    std::string received;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        received = drain(client);
    });
    const int64_t cpuBefore = threadCpuMs();
    EXPECT_EQ(c->writeAll(rest.data(), static_cast<int>(rest.size()), 0, false),
              static_cast<int>(rest.size()));
    const int64_t cpuUsed = threadCpuMs() - cpuBefore;
    EXPECT_LT(cpuUsed, 400) << "a write that waits for the peer does not spin";
    ::shutdown(c->socket, SHUT_WR);
    reader.join();
    EXPECT_EQ(received.size(), static_cast<size_t>(first) + rest.size());
    EXPECT_EQ(received.substr(static_cast<size_t>(first)), rest);

    // A peer that is gone: the write fails hard.
    ::close(client);
    int result = 0;
    for (int i = 0; i < 50 && result >= 0; i++)
        result = c->writeAll(big.data(), 65536, 100, false);
    EXPECT_EQ(result, TcpHardError);
    EXPECT_EQ(c->error, Connection::ErrorHard);
}

TEST_F(TcpTest, WritevAndSendFile) {
    int client = -1;
    std::unique_ptr<TcpConnection> c = acceptOne(client);
    ASSERT_NE(c, nullptr);
    char a[] = "abc", b[] = "defgh";
    iovec iov[2] = {{a, 3}, {b, 5}};
    EXPECT_EQ(c->writev(iov, 2), 8);
    EXPECT_EQ(c->bytesSent, 8u);
    char got[16] = {};
    ASSERT_EQ(::recv(client, got, 8, MSG_WAITALL), 8);
    EXPECT_STREQ(got, "abcdefgh");
    ::close(client);

    TempDir dir;
    for (size_t size : {size_t{0}, size_t{100}, size_t{7300}, size_t{7301}, size_t{50000}}) {
        std::unique_ptr<TcpConnection> s = acceptOne(client);
        ASSERT_NE(s, nullptr);
        const std::string content = pattern(size, static_cast<unsigned>(size));
        std::ofstream(dir.file("f")) << content;
        int fd = ::open(dir.file("f").c_str(), O_RDONLY);
        std::string received;
        std::thread reader([&] { received = drain(client); });
        EXPECT_TRUE(s->sendFile(fd)) << size;
        ::shutdown(s->socket, SHUT_WR);
        reader.join();
        EXPECT_EQ(received, content) << size;
        ::close(fd);
        ::close(client);
    }

    // A pipe delivers in pieces: its short reads are not its end.
    std::unique_ptr<TcpConnection> s = acceptOne(client);
    ASSERT_NE(s, nullptr);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    std::thread producer([&] {
        for (int i = 0; i < 3; i++) {
            ::write(pipeFds[1], "piece", 5);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        ::close(pipeFds[1]);
    });
    std::string received;
    std::thread reader([&] { received = drain(client); });
    EXPECT_TRUE(s->sendFile(pipeFds[0]));
    ::shutdown(s->socket, SHUT_WR);
    producer.join();
    reader.join();
    EXPECT_EQ(received, "piecepiecepiece");
    ::close(pipeFds[0]);
    ::close(client);
    EXPECT_FALSE(s->sendFile(-1)) << "a read error";
}

TEST_F(TcpTest, ClientRecordsDispatchReadAndDescribeThePeer) {
    int client = -1;
    std::unique_ptr<TcpConnection> c = acceptOne(client);
    ASSERT_NE(c, nullptr);

    // Without a record nothing happens.
    char mem[32];
    EXPECT_EQ(UsbSrvClient::recv(nullptr, mem, 4, 100), 0);
    EXPECT_EQ(UsbSrvClient::send(nullptr, mem, 4, 100), -1);
    EXPECT_EQ(UsbSrvClient::sendv(nullptr, nullptr, 0), 0);
    EXPECT_EQ(UsbSrvClient::sendv(nullptr, nullptr, 1), -1);
    EXPECT_FALSE(UsbSrvClient::isTls(nullptr));
    EXPECT_EQ(UsbSrvClient::wantRead(nullptr), 0);
    EXPECT_EQ(UsbSrvClient::dispatch(nullptr, EPOLLIN), -3);
    char text[32];
    EXPECT_STREQ(UsbSrvClient::peerText(nullptr, text, sizeof text), "--");

    struct Seen {
        std::atomic<int> calls{0};
        std::atomic<uint32_t> events{0};
        std::atomic<bool> removed{false};
        std::atomic<int> recvResult{0}, closedResult{0};
        std::string data;
    } seen;
    static Seen *current;
    current = &seen;
    ASSERT_TRUE(runInTask([&](FnTask &self) {
        UsbSrvClient *r = UsbSrvClient::create(self.epollFd, &self, c.get(), -1, 17);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->descriptor, c->socket);
        EXPECT_EQ(r->owner, r);
        EXPECT_EQ(r->userValue, 17);
        EXPECT_EQ(r->ownerTask, &self);
        UsbSrvClient::setCallback(r, [](UsbSrvClient *rec, uint32_t events) {
            current->calls++;
            current->events = events;
            char buf[16];
            current->recvResult = UsbSrvClient::recv(rec, buf, 16, 1000);
            current->data.assign(buf, 16);
            return -2; // done with this client
        });
        EXPECT_EQ(self.epollWait(50), 0) << "unarmed: nothing reported";
        EXPECT_EQ(UsbSrvClient::wantRead(r), 0);
        EXPECT_EQ(r->eventMask, static_cast<uint32_t>(EPOLLIN | EPOLLHUP));
        ::send(client, "0123456789", 10, 0);
        std::thread late([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ::send(client, "abcdef", 6, 0);
        });
        int rc = self.epollWait(1000);
        late.join();
        // A failed callback (the record already took its descriptor out of the set).
        EXPECT_LT(rc, 0);
        EXPECT_EQ(r->lastEvents & EPOLLIN, static_cast<uint32_t>(EPOLLIN));
        // The descriptor left the task's set: arming it again finds nothing.
        EXPECT_NE(UsbSrvClient::wantWrite(r), 0);
        // A voided record ignores its events.
        r->owner = nullptr;
        EXPECT_EQ(UsbSrvClient::dispatch(r, EPOLLIN), -3);
        r->owner = r;
        delete r; // its registration is gone already
    }));
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.recvResult, 16) << "10 and 6 bytes make one record";
    EXPECT_EQ(seen.data, "0123456789abcdef");

    // A record in a plain epoll set; the peer's text and address; a closed peer.
    int ep = ::epoll_create1(0);
    UsbSrvClient *r = UsbSrvClient::create(ep, nullptr, c.get(), -1, 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->ownerTask, nullptr);
    char expected[32];
    std::snprintf(expected, sizeof expected, "127.000.000.001:%d",
                  ntohs(reinterpret_cast<sockaddr_in *>(c->peer.sockAddr())->sin_port));
    EXPECT_STREQ(UsbSrvClient::peerText(r, text, sizeof text), expected);
    EXPECT_STREQ(UsbSrvClient::peerText(r, text, 16), "--") << "needs more than 16 bytes";
    EXPECT_EQ(UsbSrvClient::send(r, "xy", 2, 100), 2);
    EXPECT_EQ(::recv(client, mem, 2, 0), 2);
    ::close(client);
    EXPECT_EQ(UsbSrvClient::recv(r, mem, 4, 1000), TcpPeerClosed);
    UsbSrvClient::destroy(&r);
    EXPECT_EQ(r, nullptr);
    UsbSrvClient::destroy(&r);
    ::close(ep);

    // A descriptor that is no socket can be registered too; a bad one cannot.
    int ep2 = ::epoll_create1(0);
    int pfd[2];
    ASSERT_EQ(::pipe(pfd), 0);
    UsbSrvClient *plain = UsbSrvClient::create(ep2, nullptr, nullptr, pfd[0], 3);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->descriptor, pfd[0]);
    EXPECT_EQ(UsbSrvClient::create(ep2, nullptr, nullptr, -1, 3), nullptr);
    UsbSrvClient::destroy(&plain);
    ::close(pfd[0]);
    ::close(pfd[1]);
    ::close(ep2);
}

TEST_F(TcpTest, ClientRecordKeepsAPartReadAcrossAConfigurationChange) {
    int client = -1;
    std::unique_ptr<TcpConnection> c = acceptOne(client);
    ASSERT_NE(c, nullptr);
    std::atomic<Task *> task{nullptr};
    std::atomic<int> result{1};
    std::atomic<bool> peerDone{false};
    std::string data;
    std::thread peer([&] {
        struct Done {
            std::atomic<bool> &flag;
            ~Done() { flag = true; }
        } done{peerDone};
        ASSERT_TRUE(eventually([&] { return task.load() != nullptr; }));
        ::send(client, "0123456789", 10, 0);
        // The task took the first part and waits for the rest when the message comes.
        int queued = -1;
        ASSERT_TRUE(eventually([&] { return ::ioctl(c->socket, FIONREAD, &queued) == 0 && queued == 0; }));
        task.load()->post(configChangedMsg);
        ASSERT_TRUE(eventually(
            [&] { return ::ioctl(task.load()->pipeRead, FIONREAD, &queued) == 0 && queued == 0; }));
        ::send(client, "abcdef", 6, 0);
    });
    ASSERT_TRUE(runInTask([&](FnTask &self) {
        c->owner = &self; // its waits take this task's messages
        UsbSrvClient *r = UsbSrvClient::create(self.epollFd, &self, c.get(), -1, 0);
        ASSERT_NE(r, nullptr);
        task = &self;
        char buf[16];
        result = UsbSrvClient::recv(r, buf, 16, 5000);
        data.assign(buf, 16);
        UsbSrvClient::destroy(&r);
        // The peer thread still looks at this task's pipe.
        eventually([&] { return peerDone.load(); });
    }));
    peer.join();
    EXPECT_EQ(result, 16) << "the first 10 bytes must not be dropped";
    EXPECT_EQ(data, "0123456789abcdef");
    ::close(client);
}

TEST_F(TcpTest, PeerAddressGivesIpv4ForMappedClients) {
    p_ipv6->set(1);
    struct Case {
        bool ipv6Client;
        int capacity;
        int expected;
        int family;
    } cases[] = {
        {false, 28, 16, AF_INET}, {false, 16, 16, AF_INET}, {false, 8, 0, 0},
        {true, 28, 28, AF_INET6}, {true, 16, 0, 0},
    };
    for (const Case &k : cases) {
        int client = -1;
        std::unique_ptr<TcpConnection> c = acceptOne(client, k.ipv6Client);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(listener_->family, Connection::FamilyIpv6);
        int ep = ::epoll_create1(0);
        UsbSrvClient *r = UsbSrvClient::create(ep, nullptr, c.get(), -1, 0);
        sockaddr_storage out{};
        EXPECT_EQ(UsbSrvClient::peerAddress(r, reinterpret_cast<sockaddr *>(&out), k.capacity), k.expected);
        if (k.expected > 0) {
            EXPECT_EQ(out.ss_family, k.family);
        }
        if (k.family == AF_INET) {
            auto *v4 = reinterpret_cast<sockaddr_in *>(&out);
            EXPECT_EQ(v4->sin_addr.s_addr, htonl(INADDR_LOOPBACK));
        }
        UsbSrvClient::destroy(&r);
        ::close(ep);
        ::close(client);
    }
}

TEST(Datagram, OneDatagramPerReadAndCutOnesRefused) {
    Connection rx(nullptr, nullptr, -1), tx(nullptr, nullptr, -1);
    ASSERT_TRUE(rx.open(AF_INET, SOCK_DGRAM, 0));
    ASSERT_TRUE(rx.bindUdp(0, false, false, true));
    ASSERT_TRUE(tx.open(AF_INET, SOCK_DGRAM, 0));
    ASSERT_TRUE(tx.bind(0, true, 0));
    tx.peer = InetAddress::fromText("127.0.0.1");
    tx.peer.setPort(rx.local.port());

    Buffer b;
    EXPECT_EQ(rx.recv(b, 3), -1) << "time-out";
    EXPECT_EQ(b.base, nullptr);

    struct Case {
        size_t size;
        int expected;
    } cases[] = {{1, 1}, {100, 100}, {3999, 3999}, {4000, -1}, {9000, -1}};
    for (const Case &k : cases) {
        const std::string d = pattern(k.size, static_cast<unsigned>(k.size));
        ASSERT_EQ(tx.send(d.data(), static_cast<int>(d.size()), true), static_cast<int>(d.size()));
        int n = rx.recv(b, 100);
        EXPECT_EQ(n, k.expected) << k.size;
        if (n > 0) {
            EXPECT_EQ(std::string(b.cursor, static_cast<size_t>(n)), d);
            EXPECT_EQ(b.size, 4000);
            EXPECT_EQ(rx.peer.port(), tx.local.port()) << "the sender became the peer";
        } else {
            EXPECT_EQ(b.base, nullptr) << "released";
        }
    }

    // Borrowed storage is swapped for an owned buffer; the buffer is reused.
    char mine[16];
    Buffer borrowed(mine, sizeof mine);
    tx.send("x", 1, false);
    EXPECT_EQ(rx.recv(borrowed, 100), 1);
    EXPECT_EQ(borrowed.owned, 1);
    char *block = borrowed.base;
    tx.send("yz", 2, false);
    EXPECT_EQ(rx.recv(borrowed, 100), 2);
    EXPECT_EQ(borrowed.base, block);

    // Sending to nowhere reports the error.
    Connection bad(nullptr, nullptr, -1);
    EXPECT_LT(bad.send("x", 1, false), 0);
}

TEST(Multicast, JoinsOnTheInterfaceAndLeavesWithTheSocket) {
    FakeInterface lo;
    InterfaceHooksGuard hooks(&lo);
    auto igmpHasGroup = [] {
        std::ifstream in("/proc/net/igmp");
        std::string line, device;
        while (std::getline(in, line)) {
            if (line.find(':') != std::string::npos && line[0] != '\t')
                device = line.substr(line.find('\t') + 1, 2);
            if (device == "lo" && line.find("030201EF") != std::string::npos) return true;
        }
        return false;
    };

    Connection none(nullptr, nullptr, -1);
    ASSERT_TRUE(none.open(AF_INET, SOCK_DGRAM, 0));
    EXPECT_FALSE(none.joinMulticast(0, InetAddress::fromText("239.1.2.3"), false)) << "no interface";

    {
        lo.addressFailures = 2; // the address comes with the third query
        Connection m(nullptr, asInterface(lo), -1);
        ASSERT_TRUE(m.open(AF_INET, SOCK_DGRAM, 0));
        ASSERT_TRUE(m.joinMulticast(0, InetAddress::fromText("239.1.2.3"), false));
        EXPECT_EQ(lo.addressQueries, 3);
        EXPECT_STREQ(m.local.toText(), "239.1.2.3");
        EXPECT_TRUE(igmpHasGroup());
        EXPECT_TRUE(m.setMulticastLoopOff());
        unsigned char loop = 1, ttl = 0;
        socklen_t len = 1;
        ::getsockopt(m.socket, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, &len);
        ::getsockopt(m.socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &len);
        EXPECT_EQ(loop, 0);
        EXPECT_EQ(ttl, 1);
    }
    EXPECT_FALSE(igmpHasGroup()) << "the membership ends with the socket";

    // Broadcast: bound to the any-address, no membership.
    Connection bc(nullptr, asInterface(lo), -1);
    ASSERT_TRUE(bc.open(AF_INET, SOCK_DGRAM, 0));
    ASSERT_TRUE(bc.bindUdp(0, true, true, false));
    EXPECT_STREQ(bc.local.toText(), "0.0.0.0");
    int dontRoute = 0;
    socklen_t len = sizeof dontRoute;
    ::getsockopt(bc.socket, SOL_SOCKET, SO_DONTROUTE, &dontRoute, &len);
    EXPECT_EQ(dontRoute, 1);
}

// An interface still without an address is asked 21 times, about 10 s in all.
TEST(Multicast, GivesUpWhenTheInterfaceNeverGetsAnAddress) {
    InterfaceHooksGuard hooks;
    FakeInterface silent;
    silent.ipv4 = "0.0.0.0";
    Connection never(nullptr, asInterface(silent), -1);
    ASSERT_TRUE(never.open(AF_INET, SOCK_DGRAM, 0));
    EXPECT_FALSE(never.joinMulticast(0, InetAddress::fromText("239.1.2.4"), false));
    EXPECT_EQ(silent.addressQueries, 21);
}

TEST(Multicast, Ipv6GroupOnTheInterface) {
    FakeInterface lo;
    InterfaceHooksGuard hooks(&lo);
    Connection m(nullptr, asInterface(lo), -1);
    ASSERT_TRUE(m.open(AF_INET6, SOCK_DGRAM, 0));
    if (m.family != Connection::FamilyIpv6) GTEST_SKIP() << "no IPv6 here";
    ASSERT_TRUE(m.joinMulticast(0, InetAddress::fromText("ff02::1:3"), false));
    std::ifstream in("/proc/net/igmp6");
    std::stringstream all;
    all << in.rdbuf();
    EXPECT_NE(all.str().find("ff020000000000000000000000010003"), std::string::npos);
    EXPECT_TRUE(m.setMulticastLoopOff());
}

TEST(PacketSocket, SendsAndReceivesFramesOnTheInterface) {
    FakeInterface lo;
    InterfaceHooksGuard hooks(&lo);
    Connection tx(nullptr, asInterface(lo), -1), rx(nullptr, asInterface(lo), -1);
    EXPECT_EQ(tx.ifIndex(), static_cast<int>(if_nametoindex("lo")));
    Connection noIface(nullptr, nullptr, -1);
    EXPECT_EQ(noIface.ifIndex(), 0);
    if (!tx.open(AF_PACKET, SOCK_DGRAM, htons(0x0800))) GTEST_SKIP() << "packet sockets need CAP_NET_RAW";
    ASSERT_TRUE(rx.open(AF_PACKET, SOCK_DGRAM, htons(0x0800)));
    const uint8_t mac[6] = {0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(tx.bindPacket(tx.ifIndex(), mac));
    ASSERT_TRUE(rx.bindPacket(rx.ifIndex(), mac));

    // An IPv4 header the stack drops (bad checksum), carrying a marker.
    std::string frame(20, '\0');
    frame[0] = 0x45;
    frame[2] = 0;
    frame[3] = 40;
    frame[8] = 1;
    frame[9] = 253; // experimental protocol
    frame += "qmr-packet-marker-01";
    ASSERT_EQ(tx.sendPacket(frame.data(), static_cast<int>(frame.size()), false),
              static_cast<int>(frame.size()));
    Buffer b;
    bool found = false;
    for (int i = 0; i < 200 && !found; i++) {
        int n = rx.recvPacket(b, 100);
        if (n <= 0) break;
        found =
            std::string(b.cursor, static_cast<size_t>(n)).find("qmr-packet-marker-01") != std::string::npos;
    }
    EXPECT_TRUE(found);
    Connection closed(nullptr, nullptr, -1);
    EXPECT_EQ(closed.sendPacket("x", 1, true), -4);
}

// TLS: sessions from a certificate made for the tests, through the session seam.
namespace {

TempDir *certDir = nullptr;
TempDir *emptyDir = nullptr;

SSL *testSession(bool server) {
    return tlsNewSessionWith(server, TlsSettings{}, certDir->path());
}
SSL *noCertificate(bool server) {
    return tlsNewSessionWith(server, TlsSettings{}, emptyDir->path());
}

// A plain OpenSSL client on a blocking socket: handshake, send, read the answer.
struct RawTlsClient {
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    SSL *ssl = nullptr;
    int fd = -1;
    bool handshake(uint16_t port) {
        fd = connectTo(port);
        ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        return SSL_connect(ssl) == 1;
    }
    ~RawTlsClient() {
        if (ssl) SSL_free(ssl);
        SSL_CTX_free(ctx);
        if (fd >= 0) ::close(fd);
    }
};

class TlsTest : public TcpTest {
protected:
    static void SetUpTestSuite() {
        std::signal(SIGPIPE, SIG_IGN); // as the daemon does: a gone peer is an error result
        certDir = new TempDir;
        emptyDir = new TempDir;
        generated = makeTestKeyPair("TestDevice", 2048, certDir->file("cert_pkey.pem"),
                                    certDir->file("cert_srv.pem"));
    }
    static void TearDownTestSuite() {
        setTlsSessionMaker(nullptr);
        delete certDir;
        delete emptyDir;
    }
    void SetUp() override {
        TcpTest::SetUp();
        ASSERT_TRUE(generated);
        setTlsSessionMaker(&testSession);
        listener_.reset(TcpConnection::listen(nullptr, freePort(), asInterface(lo), 0));
        ASSERT_NE(listener_, nullptr);
    }
    static inline bool generated = false;
};

} // namespace

// The listener only accepts: a client that never starts its handshake holds up nobody,
// and each connection's task runs its own handshake.
TEST_F(TlsTest, HandshakesRunOnTheConnectionsOwnTask) {
    const uint16_t port = listener_->local.port();
    int silent = connectTo(port);
    ASSERT_GE(silent, 0);
    std::unique_ptr<TcpConnection> idle(listener_->accept(true));
    ASSERT_NE(idle, nullptr) << "accepted at once, without a handshake";
    EXPECT_TRUE(idle->handshakePending());
    EXPECT_TRUE(UsbSrvClient::isTls(nullptr) == false);

    std::string answer;
    std::thread clientThread([&] {
        RawTlsClient client;
        if (!client.handshake(port)) return;
        SSL_write(client.ssl, "ping", 4);
        char buf[16] = {};
        int n = SSL_read(client.ssl, buf, sizeof buf);
        if (n > 0) answer.assign(buf, static_cast<size_t>(n));
        // Wait for the server's close notification.
        SSL_read(client.ssl, buf, sizeof buf);
    });
    TcpConnection *active = listener_->accept(true);
    ASSERT_NE(active, nullptr);
    ASSERT_TRUE(runInTask([&](FnTask &self) {
        active->owner = &self;
        EXPECT_TRUE(active->finishAccept());
        EXPECT_FALSE(active->handshakePending());
        EXPECT_FALSE(isFdBlocking(active->socket));
        Buffer b;
        EXPECT_EQ(active->readBuffer(b, 500), 4);
        EXPECT_EQ(std::string(b.cursor, 4), "ping");
        EXPECT_EQ(active->writeAll("pong", 4, 500, false), 4);
        char desc[256];
        EXPECT_TRUE(active->cipherDescription(desc, sizeof desc));
        EXPECT_FALSE(active->cipherDescription(desc, 8)) << "too small for the description";
        char subject[128] = "x";
        EXPECT_STREQ(active->peerSubject(subject, sizeof subject), "") << "the client sent no certificate";
        delete active;
    }));
    clientThread.join();
    EXPECT_EQ(answer, "pong");
    idle.reset(); // dropped without any wait
    ::close(silent);
}

TEST_F(TlsTest, AClientThatIsNoTlsClientIsRefused) {
    int client = connectTo(listener_->local.port());
    ASSERT_GE(client, 0);
    std::unique_ptr<TcpConnection> c(listener_->accept(true));
    ASSERT_NE(c, nullptr);
    const char request[] = "GET / HTTP/1.0\r\n\r\n";
    ::send(client, request, sizeof request - 1, 0);
    Buffer b;
    EXPECT_EQ(c->readBuffer(b, 500), TcpHardError) << "the handshake runs first and fails";
    EXPECT_EQ(c->tls, nullptr);
    EXPECT_EQ(c->error, Connection::ErrorHard);
    EXPECT_EQ(c->writeAll("plain", 5, 100, false), TcpHardError) << "never plain bytes instead";
    EXPECT_EQ(drain(client), "") << "the client got nothing but the end of the stream";
    ::close(client);

    // Without any certificate no TLS client is taken.
    setTlsSessionMaker(&noCertificate);
    client = connectTo(listener_->local.port());
    EXPECT_EQ(listener_->accept(true), nullptr);
    ::close(client);
}

TEST_F(TlsTest, ClientSessionsCarryLargeTransfersBothWays) {
    const std::string up = pattern(300000, 11), down = pattern(500000, 12);
    std::string gotUp;
    int client = -1;
    TcpConnection *server = nullptr;
    std::thread serverThread([&] {
        server = listener_->accept(true);
        if (server == nullptr) return;
        Buffer b;
        while (gotUp.size() < up.size()) {
            int n = server->readBuffer(b, 1000);
            if (n <= 0) return;
            gotUp.append(b.cursor, static_cast<size_t>(n));
        }
        server->writeAll(down.data(), static_cast<int>(down.size()), 0, false);
    });
    (void)client;
    TcpConnection c(nullptr, asInterface(lo), -1);
    ASSERT_TRUE(c.open(AF_INET, SOCK_STREAM, 0));
    c.peer = InetAddress::fromText("127.0.0.1");
    c.peer.setPort(listener_->local.port());
    ASSERT_TRUE(c.connect(500, true));
    ASSERT_NE(c.tls, nullptr);
    EXPECT_EQ(c.lastTlsResult, 1);
    char subject[128];
    EXPECT_NE(std::string(c.peerSubject(subject, sizeof subject)).find("CN=TestDevice"), std::string::npos);
    EXPECT_EQ(c.writeAll(up.data(), static_cast<int>(up.size()), 500, false), static_cast<int>(up.size()));
    std::string gotDown;
    Buffer b;
    while (gotDown.size() < down.size()) {
        int n = c.readBuffer(b, 1000);
        ASSERT_GT(n, 0);
        gotDown.append(b.cursor, static_cast<size_t>(n));
    }
    serverThread.join();
    EXPECT_EQ(gotUp, up);
    EXPECT_EQ(gotDown, down);
    EXPECT_EQ(c.bytesSent, up.size());
    EXPECT_EQ(c.bytesReceived, down.size());
    iovec iov[2] = {{const_cast<char *>("ab"), 2}, {const_cast<char *>("cde"), 3}};
    EXPECT_EQ(c.writev(iov, 2), 5);
    delete server; // sends its close notification
    EXPECT_EQ(c.readBuffer(b, 500), TcpPeerClosed);
}

TEST_F(TlsTest, VerificationRefusesTheSelfSignedServer) {
    std::thread serverThread([&] {
        std::unique_ptr<TcpConnection> s(listener_->accept(true));
        if (s) s->finishAccept();
    });
    TcpConnection c(nullptr, asInterface(lo), -1);
    ASSERT_TRUE(c.open(AF_INET, SOCK_STREAM, 0));
    c.peer = InetAddress::fromText("127.0.0.1");
    c.peer.setPort(listener_->local.port());
    ASSERT_TRUE(c.connect(500, false));
    EXPECT_EQ(c.tlsConnect(true), nullptr);
    EXPECT_EQ(c.lastTlsResult, X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT);
    EXPECT_EQ(c.tls, nullptr);
    serverThread.join();

    // A server that answers with garbage ends the handshake at once.
    Connection rawServer(nullptr, nullptr, -1);
    ASSERT_TRUE(rawServer.open(AF_INET, SOCK_STREAM, 0));
    ASSERT_TRUE(rawServer.bind(0, true, 0));
    ASSERT_TRUE(rawServer.startListening(2));
    std::thread garbage([&] {
        int fd = ::accept(rawServer.socket, nullptr, nullptr);
        const std::string junk = pattern(300, 5);
        ::send(fd, junk.data(), junk.size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ::close(fd);
    });
    TcpConnection g(nullptr, nullptr, -1);
    ASSERT_TRUE(g.open(AF_INET, SOCK_STREAM, 0));
    g.peer = InetAddress::fromText("127.0.0.1");
    g.peer.setPort(rawServer.local.port());
    EXPECT_FALSE(g.connect(500, true));
    garbage.join();
}

// Neither side waits for ever for a silent peer: both handshakes end at their limit.
TEST_F(TlsTest, SilentPeersAreGivenUpAtTheHandshakeLimit) {
    int silentClient = connectTo(listener_->local.port());
    std::unique_ptr<TcpConnection> s(listener_->accept(true));
    ASSERT_NE(s, nullptr);
    Connection rawServer(nullptr, nullptr, -1);
    ASSERT_TRUE(rawServer.open(AF_INET, SOCK_STREAM, 0));
    ASSERT_TRUE(rawServer.bind(0, true, 0));
    ASSERT_TRUE(rawServer.startListening(2));

    std::atomic<int> serverSide{-1};
    std::thread serverThread([&] { serverSide = s->finishAccept() ? 1 : 0; });
    TcpConnection c(nullptr, nullptr, -1);
    ASSERT_TRUE(c.open(AF_INET, SOCK_STREAM, 0));
    c.peer = InetAddress::fromText("127.0.0.1");
    c.peer.setPort(rawServer.local.port());
    EXPECT_FALSE(c.connect(500, true)) << "the server took the connection but never answered";
    EXPECT_EQ(c.tls, nullptr);
    serverThread.join();
    EXPECT_EQ(serverSide, 0);
    EXPECT_EQ(s->socket, -1);
    ::close(silentClient);
}
