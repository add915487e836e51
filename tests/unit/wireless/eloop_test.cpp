// The supplicant's event loop: timeout order and one timeout per pass, cancelling,
// shortening, dispatch that stops when a handler changes its table, descriptors above
// the select() ceiling, and delays too large for the clock.
#include "wireless/core/eloop.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

std::vector<std::string> trace;

void record(void *eloop_data, void *user_data) {
    trace.push_back(static_cast<const char *>(user_data));
    (void)eloop_data;
}

void stop(void *, void *) {
    trace.push_back("stop");
    eloop_terminate();
}

struct Loop : ::testing::Test {
    void SetUp() override {
        trace.clear();
        eloop_init();
    }
    void TearDown() override { eloop_destroy(); }
};

TEST_F(Loop, TimeoutsRunInExpiryThenRegistrationOrder) {
    static char a[] = "a", b[] = "b", c[] = "c", d[] = "d";
    eloop_register_timeout(0, 20000, record, nullptr, c);
    eloop_register_timeout(0, 0, record, nullptr, a);
    eloop_register_timeout(0, 0, record, nullptr, b);
    eloop_register_timeout(0, 1500000, record, nullptr, d); // microseconds carry into seconds
    eloop_run();                                            // ends by itself once nothing is left
    EXPECT_EQ(trace, (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST_F(Loop, CancelMatchesWildcardsOnlyWhereAsked) {
    static char a[] = "a", b[] = "b";
    int x = 0, y = 0;
    eloop_register_timeout(10, 0, record, &x, a);
    eloop_register_timeout(10, 0, record, &y, a);
    eloop_register_timeout(10, 0, record, &x, b);
    EXPECT_EQ(eloop_cancel_timeout(record, &x, ELOOP_ALL_CTX), 2);
    EXPECT_EQ(eloop_is_timeout_registered(record, &y, a), 1);
    EXPECT_EQ(eloop_is_timeout_registered(record, &x, a), 0);

    os_time rem{};
    // The exact variant never treats the all-ones value as a wildcard.
    EXPECT_EQ(eloop_cancel_timeout_one(record, ELOOP_ALL_CTX, ELOOP_ALL_CTX, &rem), 0);
    EXPECT_EQ(rem.sec, 0);
    EXPECT_EQ(eloop_cancel_timeout_one(record, &y, a, &rem), 1);
    EXPECT_GE(rem.sec, 8);
    EXPECT_LE(rem.sec, 10);
    EXPECT_EQ(eloop_cancel_timeout(record, ELOOP_ALL_CTX, ELOOP_ALL_CTX), 0);
}

TEST_F(Loop, ShortenOnlyMovesATimeoutEarlier) {
    static char a[] = "a";
    EXPECT_EQ(eloop_shorten_timeout(1, 0, record, nullptr, a), -1);
    eloop_register_timeout(5, 0, record, nullptr, a);
    EXPECT_EQ(eloop_shorten_timeout(60, 0, record, nullptr, a), 0);
    EXPECT_EQ(eloop_shorten_timeout(0, 0, record, nullptr, a), 1);
    eloop_register_timeout(30, 0, stop, nullptr, nullptr);
    eloop_register_timeout(0, 1000, stop, nullptr, nullptr);
    eloop_run();
    EXPECT_EQ(trace, (std::vector<std::string>{"a", "stop"}));
}

TEST_F(Loop, OversizedDelaySaturatesAndStaysPending) {
    static char a[] = "a";
    EXPECT_EQ(eloop_register_timeout(INT64_MAX, 999999999, record, nullptr, a), 0);
    EXPECT_EQ(eloop_is_timeout_registered(record, nullptr, a), 1);
    os_time rem{};
    EXPECT_EQ(eloop_cancel_timeout_one(record, nullptr, a, &rem), 1);
    EXPECT_GT(rem.sec, INT64_MAX / 2);
}

struct Pair {
    int fd[2];
    Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fd), 0); }
    ~Pair() {
        close(fd[0]);
        close(fd[1]);
    }
};

int other_sock = -1;

void reader(int sock, void *, void *user) {
    char buf[16];
    (void)!read(sock, buf, sizeof(buf));
    trace.push_back(static_cast<const char *>(user));
    if (other_sock >= 0) {
        eloop_unregister_read_sock(other_sock);
        other_sock = -1;
    }
}

void writer(int, void *, void *) {
    trace.push_back("w");
    eloop_terminate();
}

TEST_F(Loop, HandlerThatChangesTheReadTableEndsOnlyThatTablesDispatch) {
    Pair p1, p2, p3;
    static char r1[] = "r1", r2[] = "r2";
    ASSERT_EQ(write(p1.fd[1], "x", 1), 1);
    ASSERT_EQ(write(p2.fd[1], "x", 1), 1);
    eloop_register_read_sock(p1.fd[0], reader, nullptr, r1);
    eloop_register_read_sock(p2.fd[0], reader, nullptr, r2);
    eloop_register_sock(p3.fd[0], EVENT_TYPE_WRITE, writer, nullptr, nullptr);
    other_sock = p2.fd[0];
    eloop_run();
    // r1 removed r2's entry: r2 is not dispatched although it was ready, the write table is.
    EXPECT_EQ(trace, (std::vector<std::string>{"r1", "w"}));
}

void reader_then_stop(int sock, void *, void *) {
    char buf[16];
    (void)!read(sock, buf, sizeof(buf));
    trace.push_back("high");
    eloop_terminate();
}

TEST_F(Loop, DescriptorsAbove1023AreServed) {
    rlimit rl;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    if (rl.rlim_cur < 2100) {
        rlimit more = rl;
        more.rlim_cur = rl.rlim_max < 4096 ? rl.rlim_max : 4096;
        if (more.rlim_cur < 2100 || setrlimit(RLIMIT_NOFILE, &more) != 0)
            GTEST_SKIP() << "descriptor limit too low";
    }
    Pair p;
    int high = fcntl(p.fd[0], F_DUPFD, 2000);
    ASSERT_GE(high, 2000);
    ASSERT_EQ(write(p.fd[1], "x", 1), 1);
    eloop_register_read_sock(high, reader_then_stop, nullptr, nullptr);
    eloop_register_timeout(60, 0, stop, nullptr, nullptr); // guard only
    eloop_run();
    close(high);
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.front(), "high");
}

TEST_F(Loop, ZeroDelayTimeoutRunsOnThePassAfterRegistration) {
    static char a[] = "a";
    Pair p;
    eloop_register_timeout(0, 0, record, nullptr, a);
    eloop_register_sock(p.fd[1], EVENT_TYPE_WRITE, writer, nullptr, nullptr);
    eloop_run();
    // One pass: the due timeout runs, then the ready socket.
    EXPECT_EQ(trace, (std::vector<std::string>{"a", "w"}));
}

void never(int, void *, void *) {
    trace.push_back("never");
}

TEST_F(Loop, ClosedDescriptorIsDroppedNotSpunOn) {
    int fd[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fd), 0);
    eloop_register_read_sock(fd[0], never, nullptr, nullptr);
    close(fd[0]);
    close(fd[1]);
    eloop_run(); // ends once the invalid entry is gone and nothing else is left
    EXPECT_TRUE(trace.empty());
}

} // namespace
