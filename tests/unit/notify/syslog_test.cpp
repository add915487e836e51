// The remote syslog client: its two line forms byte for byte, its states, and the
// client against a real TCP peer on the loopback interface: banners, lines, a peer
// that goes away and a peer that stops reading.

#include "core/monilog.h"
#include "notify/services.h"
#include "notify/syslog.h"
#include "param_catalogue.h"
#include "tests/unit/core/param_guard.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct tm at(int year, int month, int day, int hour, int minute, int second) {
    struct tm t {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    time_t stamp = timegm(&t);
    gmtime_r(&stamp, &t); // fills the weekday and the day of the year
    return t;
}

TEST(SyslogLine, BothFormsByteForByte) {
    struct Case {
        bool ietf;
        bool haveTime;
        struct tm time;
        int priority;
        const char *source;
        int task;
        int64_t ticks;
        uint32_t linesSent;
        int sourceLine;
        const char *text;
        const char *expected;
    };
    const Case cases[] = {
        // BSD form: a day of one digit is padded with a blank; a line outside tasks
        // shows task 0.
        {false, true, at(2026, 3, 7, 9, 5, 1), 13, "QMR-0287A1", 12, 123456, 0, 77,
         " 07 09:05:01 | STA     | up\r\n",
         "<13>Mar  7 09:05:01 QMR-0287A1 QMR-0287A1: 12:   1234.56| 56   77:  07 09:05:01 | STA     | "
         "up\r\n"},
        {false, true, at(2026, 11, 24, 23, 59, 58), 13, "QMR-0287A1", -1, 7, 5, 1234, "x\r\n",
         "<13>Nov 24 23:59:58 QMR-0287A1 QMR-0287A1:  0:      0.07| 07  1234: x\r\n"},
        {false, true, at(2026, 1, 2, 3, 4, 5), 45, "QMR-0287A1", 123, 100, 0, 0, "### b\r\n",
         "<45>Jan  2 03:04:05 QMR-0287A1 QMR-0287A1: 123:      1.00| 00    0: ### b\r\n"},
        // RFC 5424 form: UTC time, the address as host, "-" for no task.
        {true, true, at(2026, 3, 7, 9, 5, 1), 13, "QMR-0287A1", 12, 123456, 41, 77, "up\r\n",
         "<13>1 2026-03-07T09:05:01Z 198.18.1.1 QMR-0287A1 12 ID41 - 56   77: up\r\n"},
        {true, true, at(2026, 3, 7, 9, 5, 1), 13, "mdump", -1, 99, 0, 0, "0x0 41 42\n",
         "<13>1 2026-03-07T09:05:01Z 198.18.1.1 mdump - ID0 - 99    0: 0x0 41 42\n"},
        {true,
         false,
         {},
         45,
         "QMR-0287A1",
         0,
         0,
         3,
         0,
         "### c\r\n",
         "<45>1 - 198.18.1.1 QMR-0287A1 0 ID3 - 00    0: ### c\r\n"},
    };
    for (const Case &c : cases) {
        SyslogLineFields f;
        f.ietf = c.ietf;
        f.priority = c.priority;
        f.haveTime = c.haveTime;
        f.time = c.time;
        f.deviceName = "QMR-0287A1";
        f.address = "198.18.1.1";
        f.source = c.source;
        f.taskNumber = c.task;
        f.ticks = c.ticks;
        f.linesSent = c.linesSent;
        f.sourceLine = c.sourceLine;
        f.text = c.text;
        char out[SyslogLineMax + 1];
        int n = formatSyslogLine(out, sizeof out, f);
        EXPECT_EQ(std::string(out, static_cast<size_t>(n)), c.expected);
    }
}

TEST(SyslogLine, TooLongALineIsCutAndStillEndsItsRecord) {
    std::string text(2000, 'a');
    text += "\r\n";
    SyslogLineFields f;
    f.address = "198.18.1.1";
    f.source = "QMR-0287A1";
    f.text = text.c_str();
    char out[SyslogLineMax + 1];
    int n = formatSyslogLine(out, sizeof out, f);
    ASSERT_EQ(n, SyslogLineMax);
    EXPECT_EQ(std::strlen(out), static_cast<size_t>(SyslogLineMax));
    EXPECT_EQ(std::string(out + n - 3), "a\r\n");
}

// A TCP peer on the loopback interface.
class Peer {
public:
    explicit Peer(int receiveBuffer = 0) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0)
            setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        ::listen(listener_, 4);
        socklen_t len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Peer() {
        if (conn_ >= 0) ::close(conn_);
        if (listener_ >= 0) ::close(listener_);
    }
    int port() const { return port_; }
    std::string portText() const { return std::to_string(port_); }
    void closeListener() {
        ::close(listener_);
        listener_ = -1;
    }

    // Reads until the text holds count line ends or a second passes without data.
    std::string lines(int count) {
        if (conn_ < 0) conn_ = ::accept(listener_, nullptr, nullptr);
        while (countLines() < count) {
            pollfd p{conn_, POLLIN, 0};
            if (::poll(&p, 1, 1000) <= 0) break;
            char buf[4096];
            ssize_t n = ::read(conn_, buf, sizeof buf);
            if (n <= 0) break;
            got_.append(buf, static_cast<size_t>(n));
        }
        return got_;
    }
    void hangUp() {
        if (conn_ < 0) conn_ = ::accept(listener_, nullptr, nullptr);
        // A reset, not an orderly close: the very next write fails.
        linger l{1, 0};
        setsockopt(conn_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(conn_);
        conn_ = -1;
    }

private:
    int countLines() const {
        int n = 0;
        for (char c : got_)
            n += c == '\n';
        return n;
    }
    int listener_ = -1;
    int conn_ = -1;
    int port_ = 0;
    std::string got_;
};

class SyslogClient : public ::testing::Test {
protected:
    void SetUp() override {
        guard.set(p_syslogng, "on");
        guard.set(p_syslogngdbg, "off");
        guard.set(p_syslogng_srv, "127.0.0.1");
        guard.set(p_syslogng_ssl, "off");
        guard.set(p_syslogng_ietf, "on");
        guard.set(p_ip_addr, "198.18.1.1");
        guard.set(p_dns, "off");
    }
    void TearDown() override { syslogTarget = nullptr; }
    ParamGuard guard;
};

TEST_F(SyslogClient, BannersThenLinesWithRunningIds) {
    Peer peer;
    guard.set(p_syslogng_port, peer.portText().c_str());
    SysLogNg client;
    ASSERT_TRUE(client.connect());
    EXPECT_EQ(syslogTarget.load(), &client);
    EXPECT_EQ(syslogngState(), SyslogWorking);
    EXPECT_STREQ(syslogng_state_text(nullptr), "working");
    EXPECT_GT(syslogSend(13, "QMR", 42, "one\r\n"), 0);
    guard.set(p_syslogng_ietf, "off");
    EXPECT_GT(syslogSend(13, "QMR", 43, "two\r\n"), 0);

    std::string got = peer.lines(4);
    size_t first = got.find("\r\n");
    ASSERT_NE(first, std::string::npos);
    std::string banner1 = got.substr(0, first + 2);
    EXPECT_EQ(banner1.rfind("<45>1 ", 0), 0u) << banner1;
    EXPECT_NE(banner1.find(" ID0 - "), std::string::npos) << banner1;
    EXPECT_NE(banner1.find(": ### SysLogNg  198.18.1.1 alive:"), std::string::npos) << banner1;
    EXPECT_NE(got.find(" ID1 - "), std::string::npos);
    EXPECT_NE(got.find(" SW:20.1.22\r\n"), std::string::npos) << got;
    EXPECT_NE(got.find(" ID2 - "), std::string::npos);
    EXPECT_NE(got.find(" 198.18.1.1 QMR - ID2 - "), std::string::npos) << got;
    EXPECT_NE(got.find("   42: one\r\n"), std::string::npos);
    // The BSD line of the second text.
    EXPECT_NE(got.find(" QMR:  0:"), std::string::npos) << got;
    EXPECT_NE(got.find("   43: two\r\n"), std::string::npos);
    EXPECT_EQ(client.linesSent(), 4u);
}

TEST_F(SyslogClient, APeerThatGoesAwayDropsTheTargetAndLocalLoggingGoesOn) {
    Peer peer;
    guard.set(p_syslogng_port, peer.portText().c_str());
    SysLogNg client;
    ASSERT_TRUE(client.connect());
    peer.lines(2);
    peer.hangUp();
    // The reset arrives with the first write after it at the latest.
    int sent = 1;
    for (int i = 0; i < 50 && sent > 0; i++) {
        sent = syslogSend(13, "QMR", i, "line\r\n");
        if (sent > 0) usleep(10000);
    }
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(syslogngState(), SyslogConnectionLost);
    EXPECT_STREQ(syslogng_state_text(nullptr), "Error connection lost");
    EXPECT_EQ(syslogTarget.load(), nullptr);
    // Nothing is sent until the task connects again.
    EXPECT_EQ(syslogSend(13, "QMR", 1, "later\r\n"), 0);
    EXPECT_EQ(client.send(13, "QMR", 1, "later\r\n"), 0);
}

TEST_F(SyslogClient, APeerThatStopsReadingIsGivenUpInsteadOfHoldingTheSender) {
    Peer peer(4096);
    guard.set(p_syslogng_port, peer.portText().c_str());
    SysLogNg client;
    ASSERT_TRUE(client.connect());
    // The peer never reads: once its window and our buffer are full a write cannot
    // finish, and the sender gives the connection up instead of waiting on.
    std::string text(400, 'x');
    text += "\r\n";
    int i = 0;
    while (i < 100000 && syslogSend(13, "QMR", i, text.c_str()) > 0)
        i++;
    EXPECT_LT(i, 100000);
    EXPECT_EQ(syslogngState(), SyslogConnectionLost);
    EXPECT_EQ(syslogTarget.load(), nullptr);
}

TEST_F(SyslogClient, ConnectFailuresLeaveTheirState) {
    {
        Peer peer;
        guard.set(p_syslogng_port, peer.portText().c_str());
        peer.closeListener(); // nobody listens on the port any more: refused
        SysLogNg client;
        EXPECT_FALSE(client.connect());
        EXPECT_EQ(syslogngState(), SyslogConnectFailed);
        EXPECT_STREQ(syslogng_state_text(nullptr), "Error connect to host");
    }
    {
        // DNS is off: a name cannot be resolved.
        guard.set(p_syslogng_srv, "syslog.example.invalid");
        SysLogNg client;
        time_t when = -1;
        EXPECT_FALSE(client.connect());
        EXPECT_EQ(syslogngState(), SyslogResolveFailed);
        EXPECT_STREQ(syslogng_state_text(&when), "Error resolve server");
        EXPECT_NE(when, -1);
    }
    EXPECT_EQ(syslogTarget.load(), nullptr);
    EXPECT_EQ(syslogSend(13, "QMR", 1, "x\r\n"), 0);
}

// Each test runs in a process of its own: the client never ran here.
TEST_F(SyslogClient, WithoutForceNothingStartsBeforeTheClientEverRan) {
    EXPECT_EQ(syslogngState(), SyslogPreInit);
    EXPECT_STREQ(syslogng_state_text(nullptr), "PreInit");
    EXPECT_EQ(start_syslogng(0), 0);
    EXPECT_EQ(syslogngState(), SyslogPreInit);
    guard.set(p_syslogng, "off");
    EXPECT_EQ(start_syslogng(1), 0);
    guard.set(p_syslogng, "on");
    guard.set(p_syslogng_srv, "");
    EXPECT_EQ(start_syslogng(1), 0);
    EXPECT_EQ(syslogngState(), SyslogPreInit);
}

TEST(SyslogHooks, TheMonitoringLogSendsThroughTheClient) {
    installServiceHooks();
    EXPECT_EQ(moniLogHooks().syslogSend, &syslogSend);
}

} // namespace
