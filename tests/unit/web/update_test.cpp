#include "web/update.h"

#include "core/crc32.h"
#include "core/platform.h"
#include "core/utils_file.h"
#include "sim/mtd.h"
#include "sim/sim_platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t Product = 287;
constexpr uint8_t Hardware = 0x21;

void putBe(std::vector<uint8_t> &b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v >> 24);
    b[at + 1] = static_cast<uint8_t>(v >> 16);
    b[at + 2] = static_cast<uint8_t>(v >> 8);
    b[at + 3] = static_cast<uint8_t>(v);
}

void putLe(std::vector<uint8_t> &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// An image of the data for the product, with its header fields as given.
std::vector<uint8_t> image(const std::string &data, const char *magic = "ZOHK", const char *type = "RTFS",
                           uint32_t word = Product | uint32_t(Hardware) << 24, int wordIndex = 0) {
    std::vector<uint8_t> b(128, 0);
    std::memcpy(b.data(), magic, 4);
    std::memcpy(b.data() + 4, type, 4);
    putBe(b, 8, crc32(data.data(), data.size()));
    putBe(b, 12, static_cast<uint32_t>(data.size()));
    putLe(b, 68 + 4 * static_cast<size_t>(wordIndex), word);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

ImageHeader headerOf(const std::vector<uint8_t> &b) {
    ImageHeader h;
    std::memcpy(h.bytes, b.data(), 128);
    return h;
}

int fileWith(const std::vector<uint8_t> &b) {
    int fd = tempFile();
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    return fd;
}

class UpdateStatusTest : public ::testing::Test {
protected:
    void SetUp() override { update_testing::setStatus(UpdatePrenatal, 0, 0, ""); }
    void TearDown() override { update_testing::setStatus(UpdatePrenatal, 0, 0, ""); }
};

} // namespace

TEST(ImageCheck, TheChecksumIsTheUninvertedReflectedCrc) {
    EXPECT_EQ(crc32("abc", 3), 0xCA6598D0u);
    EXPECT_EQ(crc32("", 0), 0u);
}

TEST(ImageCheck, CompatibilityVerdictsAndTexts) {
    struct Case {
        const char *name;
        std::vector<uint8_t> img;
        int verdict;
        const char *text;
    } cases[] = {
        {"match", image("x"), 0, "Version: 20.1.22  &#10143; "},
        {"match in word 15", image("x", "ZOHK", "RTFS", Product | 0x21u << 24, 14), 0, "Version: 20.1.22"},
        {"wrong magic", image("x", "ZOHX"), 255, "incompatible"},
        {"other type", image("x", "ZOHK", "KERN"), 255, "incompatible type:1262834254"},
        {"other hardware", image("x", "ZOHK", "RTFS", Product | 0x22u << 24), 255, "incompatible software"},
        {"other product", image("x", "ZOHK", "RTFS", 288 | 0x21u << 24), 255, "incompatible software"},
        {"product in the top byte", image("x", "ZOHK", "RTFS", Product << 24 | 0x21), 255,
         "incompatible software"},
    };
    for (const Case &c : cases) {
        char text[256];
        ImageHeader h = headerOf(c.img);
        EXPECT_EQ(h.check(text, sizeof text, Product, Hardware), c.verdict) << c.name;
        EXPECT_EQ(std::string(text).rfind(c.text, 0), 0u) << c.name << ": " << text;
    }
    // A tiny text buffer is filled as far as it goes, never past it.
    char tiny[4] = {'z', 'z', 'z', 'z'};
    EXPECT_EQ(headerOf(image("x", "ZOHK", "KERN")).check(tiny, 3, Product, Hardware), 255);
    EXPECT_STREQ(tiny, "in");
}

TEST_F(UpdateStatusTest, PrecheckCodes) {
    const std::string data(1000, 'd');
    std::vector<uint8_t> good = image(data);
    std::vector<uint8_t> shortByOne(good.begin(), good.end() - 1);
    std::vector<uint8_t> headerOnly(good.begin(), good.begin() + 100);
    std::vector<uint8_t> wrongMagic = image(data, "KOHZ");
    std::vector<uint8_t> longer = good;
    longer.push_back(0);
    struct Case {
        const char *name;
        const std::vector<uint8_t> *file;
        int code;
    } cases[] = {
        {"exactly 128 + length", &good, 0},   {"one byte more", &longer, 0},
        {"one byte short", &shortByOne, -11}, {"no whole header", &headerOnly, -10},
        {"wrong magic", &wrongMagic, -12},
    };
    for (const Case &c : cases) {
        int fd = fileWith(*c.file);
        update_testing::setStatus(UpdateError, 40, 7, "old");
        EXPECT_EQ(precheck_update_file(fd), c.code) << c.name;
        // The status was reset and the file rewound.
        UpdateStatus s = updateStatus();
        EXPECT_EQ(s.state, UpdatePrenatal) << c.name;
        EXPECT_EQ(s.error, 0);
        EXPECT_EQ(s.info, "");
        EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 0) << c.name;
        ::close(fd);
    }
    EXPECT_EQ(precheck_update_file(0), -9);
    EXPECT_EQ(precheck_update_file(-1), -9);
    int fd = fileWith(good);
    for (int busy : {UpdateAlive, UpdateVerifying, UpdateWorking, UpdateWaitingForRestart, UpdateRestart}) {
        update_testing::setStatus(busy, 50, 0, "running");
        EXPECT_EQ(precheck_update_file(fd), -7) << busy;
        EXPECT_EQ(updateStatus().info, "running");
    }
    ::close(fd);
}

TEST_F(UpdateStatusTest, OnlyAnIdleOrFailedUpdateCanBeClaimed) {
    for (int state : {UpdatePrenatal, UpdateError}) {
        update_testing::setStatus(state, 30, 7, "old");
        EXPECT_TRUE(claimUpdate("new.img")) << state;
        UpdateStatus s = updateStatus();
        EXPECT_EQ(s.state, UpdateAlive);
        EXPECT_EQ(s.progress, 0);
        EXPECT_EQ(s.error, 0);
        EXPECT_EQ(s.info, "");
        EXPECT_EQ(s.fileName, "new.img");
    }
    for (int state : {UpdateAlive, UpdateVerifying, UpdateWorking, UpdateWaitingForRestart, UpdateRestart}) {
        update_testing::setStatus(state, 30, 0, "busy");
        EXPECT_FALSE(claimUpdate("other.img")) << state;
        EXPECT_FALSE(startUpdate(5, "other.img")) << state;
        EXPECT_EQ(updateStatus().state, state);
    }
}

TEST_F(UpdateStatusTest, StatusTextsAndValues) {
    struct Case {
        int state, progress, error;
        const char *info;
        const char *answer;
        int value;
    } cases[] = {
        {UpdatePrenatal, 0, 0, "", "Idle (ready for update)|1|0|", 0},
        {UpdateAlive, 0, 0, "", "Update is starting. Please wait...|1|0|", 0},
        {UpdateVerifying, 0, 0, "", "Update in progress: 0&#37; done. Please wait...|1|0|", 0},
        {UpdateWorking, 57, 0, "", "Update in progress: 57&#37; done. Please wait...|1|57|", 57},
        {UpdateWorking, 100, 0, "", "Update in progress: 98&#37; done. Please wait...|1|98|", 98},
        {UpdateWaitingForRestart, 100, 0, "", "Update in progress: 99&#37; done. Please wait...|1|99|", 99},
        {UpdateRestart, 100, 0, "", "The device is restarting.|18|100|", 100},
        {UpdateError, 0, 255, "incompatible software", "Update incompatible software: Error:255 Done:0|1|0|",
         0},
        {UpdateError, 42, 102, "x", "Update x: Error:102 Done:42|1|42|", 42},
    };
    for (const Case &c : cases) {
        update_testing::setStatus(c.state, c.progress, c.error, c.info);
        char text[512];
        EXPECT_EQ(updateStatusText(text, sizeof text, nullptr), c.value) << c.answer;
        EXPECT_STREQ(text, c.answer);
    }
}

TEST_F(UpdateStatusTest, StateNamesForLogs) {
    struct Case {
        int state;
        size_t size;
        const char *name;
    } cases[] = {
        {UpdatePrenatal, 64, "Prenatal"},
        {UpdateAlive, 64, "Alive"},
        {UpdateVerifying, 64, "Verifying"},
        {UpdateWorking, 64, "Working"},
        {UpdateWaitingForRestart, 64, "Waiting for Restart"},
        {UpdateRestart, 64, "Restart"},
        {UpdateError, 33, "Error:7 Done:12"},
        {UpdateError, 32, ""}, // too small for the error's name: nothing written
        {UpdatePrenatal, 8, ""},
        {UpdatePrenatal, 9, "Prenatal"},
        {17, 64, "Unexpected!?"},
    };
    for (const Case &c : cases) {
        update_testing::setStatus(c.state, 12, 7, "");
        char name[64] = "";
        int n = updateStateName(name, c.size);
        EXPECT_STREQ(name, c.name) << c.state << " " << c.size;
        EXPECT_EQ(n, static_cast<int>(std::strlen(c.name)));
    }
}

TEST_F(UpdateStatusTest, TheTaskStopsAtAFileItCannotUseAndKeepsTheError) {
    // Only what ends before the flash is run here: the update's checks.
    ASSERT_TRUE(claimUpdate("gone.img"));
    EXPECT_EQ(update_testing::runUpdate(-1), UpdateError);
    UpdateStatus s = updateStatus();
    EXPECT_EQ(s.error, UpdateErrorUnexaminable);
    EXPECT_EQ(s.info, "Bad file descriptor");

    std::vector<uint8_t> flipped = image(std::string(5000, 'f'));
    flipped[128 + 4000] ^= 0x10;
    std::vector<uint8_t> kern = image("data", "ZOHK", "KERN");
    struct Case {
        const std::vector<uint8_t> *file;
        int error;
        const char *info;
    } cases[] = {{&flipped, UpdateErrorImage, ""},
                 {&kern, UpdateErrorIncompatible, "incompatible type:1262834254"}};
    for (const Case &c : cases) {
        int fd = fileWith(*c.file);
        ASSERT_EQ(precheck_update_file(fd), 0);
        ASSERT_TRUE(claimUpdate("x.img"));
        EXPECT_EQ(update_testing::runUpdate(fd), UpdateError);
        s = updateStatus();
        EXPECT_EQ(s.state, UpdateError);
        EXPECT_EQ(s.error, c.error);
        EXPECT_EQ(s.info, c.info);
        // After an error the next update may start.
        EXPECT_EQ(precheck_update_file(fd), 0);
        ::close(fd);
    }
    // A task that finds the update not claimed for it does nothing.
    update_testing::setStatus(UpdatePrenatal, 0, 0, "");
    EXPECT_EQ(update_testing::runUpdate(-1), UpdatePrenatal);
}

// Page and mail command may claim the update at the same moment: one of them gets it.
TEST_F(UpdateStatusTest, ConcurrentClaimsLetOneUpdateRun) {
    for (int round = 0; round < 20; round++) {
        update_testing::setStatus(round % 2 ? UpdateError : UpdatePrenatal, 0, 0, "");
        std::atomic<bool> go{false};
        std::atomic<int> won{0};
        std::vector<std::thread> claimants;
        for (int i = 0; i < 6; i++)
            claimants.emplace_back([&] {
                while (!go.load())
                    std::this_thread::yield();
                if (claimUpdate("race.img")) won++;
            });
        go = true;
        for (std::thread &t : claimants)
            t.join();
        EXPECT_EQ(won.load(), 1) << round;
        EXPECT_EQ(updateStatus().state, UpdateAlive);
    }
}

namespace {

// The child's part of the boot confirmation test: 0 when all went as it should, else
// the number of the check that failed.
int confirmInSandbox() {
    sim::mtd::install();
    setPlatform(simPlatform());
    if (!sim::mtd::setWord(0, BootFail) || !sim::mtd::setWord(1, BootOk)) return 2;
    sim::mtd::resetCounters();
    update_testing::rearmBootConfirmation();
    // The first connections of a start may be accepted on several threads at once.
    std::atomic<bool> go{false};
    std::atomic<int> failed{0};
    std::vector<std::thread> accepts;
    for (int i = 0; i < 6; i++)
        accepts.emplace_back([&] {
            while (!go.load())
                std::this_thread::yield();
            if (confirm_boot_status() != 0) failed++;
        });
    go = true;
    for (std::thread &t : accepts)
        t.join();
    if (failed.load() != 0) return 3;
    uint32_t word0 = 0, word1 = 0;
    if (!sim::mtd::word(0, word0) || !sim::mtd::word(1, word1)) return 4;
    if (word0 != BootOk || word1 != BootBackup) return 5;
    // Each word was written once, by one of them.
    if (sim::mtd::counters(0).writes != 1 || sim::mtd::counters(1).writes != 1) return 6;
    if (confirm_boot_status() != 0 || sim::mtd::counters(0).writes != 1) return 7;
    sim::mtd::uninstall();
    return 0;
}

} // namespace

// The boot confirmation runs on the flash stand-in under a sandbox root, which a
// process reads once: in a fresh child that gets the root from the environment.
TEST(UpdateBootDeathTest, ConcurrentFirstConnectionsConfirmTheBootOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char *env = std::getenv("QMR_ROOT");
    std::string root;
    bool made = false;
    if (env == nullptr || *env == '\0') {
        char tmpl[] = "/tmp/qmr_boot_XXXXXX";
        root = ::mkdtemp(tmpl);
        std::system(("mkdir -p '" + root + "/proc' '" + root + "/sim'").c_str());
        std::ofstream(root + "/proc/product_params") << "hw_project=287\nhw_major=2\nhw_minor=1\n"
                                                        "mtd0_part0_name=boot\nmtd0_part0_size=00020000\n"
                                                        "mtd0_part1_name=kernel\nmtd0_part1_size=00040000\n";
        setenv("QMR_ROOT", root.c_str(), 1);
        made = true;
    }
    EXPECT_EXIT(std::_Exit(confirmInSandbox()), ::testing::ExitedWithCode(0), "");
    if (made) {
        unsetenv("QMR_ROOT");
        std::system(("rm -rf '" + root + "'").c_str());
    }
}
