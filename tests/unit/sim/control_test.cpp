#include "sim/control.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

TEST(SimControl, SplitsWordsWithQuotes) {
    EXPECT_EQ(sim::splitWords("  plug  1 \"a b\"\t\"\" x"),
              (std::vector<std::string>{"plug", "1", "a b", "", "x"}));
    EXPECT_TRUE(sim::splitWords("   ").empty());
    EXPECT_EQ(sim::splitWords("\"open"), (std::vector<std::string>{"open"}));
}

TEST(SimControl, BuiltinsAndErrors) {
    EXPECT_EQ(sim::execute("ping"), "pong\nOK\n");
    EXPECT_EQ(sim::execute(""), "ERR empty command\n");
    EXPECT_EQ(sim::execute("frobnicate 1"), "ERR unknown command (try help)\n");
    sim::addCommand("echo", "echo WORD...", [](const std::vector<std::string> &a, std::string &out) {
        if (a.size() < 2) return std::string("usage: echo WORD...");
        for (size_t i = 1; i < a.size(); i++)
            out += a[i] + "\n";
        return std::string();
    });
    EXPECT_EQ(sim::execute("echo a b"), "a\nb\nOK\n");
    EXPECT_EQ(sim::execute("echo"), "ERR usage: echo WORD...\n");
    EXPECT_NE(sim::execute("help").find("echo WORD...\n"), std::string::npos);
    EXPECT_NE(sim::execute("state").find("platform sim\n"), std::string::npos);
}

std::string roundTrip(int fd, const std::string &text) {
    EXPECT_EQ(send(fd, text.data(), text.size(), 0), ssize_t(text.size()));
    std::string got;
    char buf[4096];
    // Reads until the closing line of the last answer.
    while (got.size() < 3 || (got.rfind("OK\n") != got.size() - 3 && got.find("ERR") == std::string::npos)) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, size_t(n));
    }
    return got;
}

TEST(SimControl, SocketServesLinesAndSurvivesGarbage) {
    char dir[] = "/tmp/qmrsimXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/sim.sock";
    ASSERT_EQ(sim::startControl(path), 0);

    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);

    EXPECT_EQ(roundTrip(fd, "ping\r\n"), "pong\nOK\n");
    std::string garbage(5000, '\x01');
    garbage += "\n";
    EXPECT_EQ(roundTrip(fd, garbage), "ERR line too long\n");
    std::string binary("\xff\xfe\0zz\n", 6);
    EXPECT_EQ(roundTrip(fd, binary).substr(0, 4), "ERR ");
    EXPECT_EQ(roundTrip(fd, "ping\n"), "pong\nOK\n");
    close(fd);

    // A second start while the socket is served is refused (and keeps it served).
    EXPECT_EQ(sim::startControl(path), -1);
    EXPECT_EQ(access(path.c_str(), F_OK), 0);

    sim::stopControl();
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    rmdir(dir);
}

size_t openDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        n++;
    return n;
}

TEST(SimControl, FailedStartLeavesNoDescriptorAndAllowsANewStart) {
    size_t before = openDescriptors();
    EXPECT_EQ(sim::startControl("/nonexistent-qmr-dir/sim.sock"), -1);
    EXPECT_EQ(sim::startControl("/nonexistent-qmr-dir/sim.sock"), -1);
    EXPECT_EQ(openDescriptors(), before);
    sim::stopControl(); // nothing to stop

    char dir[] = "/tmp/qmrsimXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/sim.sock";
    ASSERT_EQ(sim::startControl(path), 0);
    sim::stopControl();
    EXPECT_EQ(openDescriptors(), before);
    rmdir(dir);
}

} // namespace
