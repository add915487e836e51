#include "notify/fatcheck.h"

#include "fixed_clock.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<uint8_t>;

// 2026-12-11 02:17:14 UTC: the time stamp of a label entry written by the tests.
constexpr time_t TestTime = 1796955434;

class FatCheck : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("qmr_fatcheck_" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // mkfs.fat with the options, over a new image of kib KiB.
    std::string image(const std::string &options, int kib) {
        std::string path = (dir_ / ("card" + std::to_string(count_++) + ".img")).string();
        std::string cmd =
            "mkfs.fat -C " + options + " " + path + " " + std::to_string(kib) + " >/dev/null 2>&1";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        return path;
    }
    static Bytes bytes(const std::string &path) {
        std::error_code ec;
        auto size = fs::file_size(path, ec);
        if (ec) return {};
        Bytes out(static_cast<size_t>(size));
        std::ifstream f(path, std::ios::binary);
        f.read(reinterpret_cast<char *>(out.data()), static_cast<std::streamsize>(out.size()));
        return out;
    }
    static void put(const std::string &path, long offset, const Bytes &data) {
        std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(offset);
        f.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    static std::string run(const std::string &cmd) {
        std::string out;
        FILE *p = ::popen(("MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null " + cmd + " 2>&1").c_str(), "r");
        if (p == nullptr) return out;
        char buf[512];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        ::pclose(p);
        return out;
    }
    // Runs the check with standard output captured.
    static int check(const std::string &path, char *label, std::string &output) {
        testing::internal::CaptureStdout();
        int rc = fat_check_label(path.c_str(), label);
        std::fflush(stdout);
        output = testing::internal::GetCapturedStdout();
        return rc;
    }
    static std::string readLabel(const std::string &path) {
        char label[16] = {};
        std::string out;
        return check(path, label, out) == 1 ? std::string(label) : std::string("(failed)");
    }

    fs::path dir_;
    int count_ = 0;
};

TEST_F(FatCheck, WritesTheLabelThatMtoolsAndFsckAccept) {
    FixedClock clock(TestTime);
    const struct {
        const char *options;
        int kib;
        const char *output; // what the check prints
    } cases[] = {
        {"-F 12", 4096, ""},
        {"-F 16", 32768, ""},
        {"-F 32 -s 1", 40960, ""},
        {"-F 16 -n OLDNAME", 32768, ""},
        {"-F 32 -R 6 -b 0 -s 1", 40960,
         "There is no backup boot sector.\n  Auto-creating backup boot block.\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options);
        std::string path = image(c.options, c.kib);
        int fsckBefore = std::system(("fsck.fat -n " + path + " >/dev/null 2>&1").c_str());
        char label[16] = "DEVICE_SD";
        std::string output;
        EXPECT_EQ(check(path, label, output), 1);
        EXPECT_EQ(output, c.output);
        EXPECT_EQ(readLabel(path), "DEVICE_SD  ");
        EXPECT_NE(run("mlabel -s -i " + path + " ::").find("Volume label is DEVICE_SD"), std::string::npos);
        EXPECT_EQ(std::system(("fsck.fat -n " + path + " >/dev/null 2>&1").c_str()), fsckBefore);
        // mdir reads the label from the root directory's entry.
        EXPECT_NE(run("mdir -a -i " + path + " ::").find("Volume in drive : is DEVICE_SD"),
                  std::string::npos);
    }
}

TEST_F(FatCheck, LabelEntryHasTheTimeAndDateOfTheClock) {
    FixedClock clock(TestTime);
    std::string path = image("-F 16", 32768);
    char label[16] = "STAMP";
    std::string output;
    ASSERT_EQ(check(path, label, output), 1);
    Bytes b = bytes(path);
    // The root directory's entry, found by its name.
    const char name[] = "STAMP      ";
    auto it = std::search(b.begin() + 512, b.end(), name, name + 11);
    ASSERT_NE(it, b.end());
    size_t at = static_cast<size_t>(it - b.begin());
    EXPECT_EQ(b[at + 11], 0x08);
    EXPECT_EQ(b[at + 22] | b[at + 23] << 8, 2 * 2048 + 17 * 32 + 14 / 2);
    EXPECT_EQ(b[at + 24] | b[at + 25] << 8, (2026 - 1980) * 512 + 12 * 32 + 11);
}

TEST_F(FatCheck, AddsTheExtendedSignatureToAFat16WithoutOne) {
    std::string path = image("-F 16", 32768);
    put(path, 38, {0});
    char label[16] = "ABC";
    std::string output;
    ASSERT_EQ(check(path, label, output), 1);
    Bytes b = bytes(path);
    EXPECT_EQ(b[38], 0x29);
    EXPECT_EQ(Bytes(b.begin() + 39, b.begin() + 43), Bytes(4, 0));
    EXPECT_EQ(std::string(b.begin() + 43, b.begin() + 62), "ABC        FAT16   ");
    EXPECT_EQ(std::system(("fsck.fat -n " + path + " >/dev/null 2>&1").c_str()), 0);
}

TEST_F(FatCheck, RefusesWithoutWritingAnything) {
    std::string good = image("-F 16 -s 1", 8192);
    std::string zeroSector = image("-F 16 -s 1", 8192);
    put(zeroSector, 11, {0, 0});
    std::string oneFatTooMany = image("-F 16 -s 1", 8192);
    put(oneFatTooMany, 16, {3});
    std::string tiny = (dir_ / "tiny.img").string();
    { std::ofstream(tiny) << "not a file system"; }
    const struct {
        std::string path;
        const char *label;
        const char *output;
    } cases[] = {
        {good, "TWELVE_CHARS", "makelabel: labels can be no longer than 11 characters\n"},
        {(dir_ / "missing").string(), "TWELVE_CHARS",
         "makelabel: labels can be no longer than 11 characters\n"},
        {zeroSector, "X", ""},
        {zeroSector, "", ""},
        {oneFatTooMany, "X", ""},
        {tiny, "X", ""},
        {(dir_ / "missing").string(), "X", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path + " " + c.label);
        Bytes before = bytes(c.path);
        char label[16] = {};
        std::strcpy(label, c.label);
        std::string output;
        EXPECT_EQ(check(c.path, label, output), 0);
        EXPECT_EQ(output, c.output);
        EXPECT_EQ(bytes(c.path), before);
    }
}

TEST_F(FatCheck, ReadsTheLabelOrNoName) {
    EXPECT_EQ(readLabel(image("-F 12", 4096)), "NO NAME    ");
    EXPECT_EQ(readLabel(image("-F 12 -n CAMERA", 4096)), "CAMERA     ");
    // The root directory's entry wins over the boot sector.
    std::string path = image("-F 32 -s 1 -n BOOTNAME", 40960);
    run("mlabel -i " + path + " ::ROOTNAME");
    Bytes b = bytes(path);
    std::memcpy(&b[71], "BOOTNAME   ", 11);
    put(path, 71, Bytes(b.begin() + 71, b.begin() + 82));
    EXPECT_EQ(readLabel(path), "ROOTNAME   ");
}

TEST_F(FatCheck, CorrectsABadFsinfoAndReportsADifferingBackup) {
    std::string path = image("-F 32 -s 1", 40960);
    put(path, 512, {0, 0, 0, 0});  // FSINFO's first signature
    put(path, 6 * 512 + 3, {'X'}); // a byte of the backup boot sector
    char label[16] = "NEW";
    std::string output;
    ASSERT_EQ(check(path, label, output), 1);
    Bytes b = bytes(path);
    EXPECT_NE(
        output.find("There are differences between boot sector and its backup.\n"
                    "Differences: (offset:original/backup)\n  3:6d/58\n  Not automatically fixing this.\n"),
        std::string::npos)
        << output;
    EXPECT_NE(output.find("FSINFO sector has bad magic number(s):\n"
                          "  Offset 0: 0x00000000 != expected 0x41615252\n  Auto-correcting it.\n"),
              std::string::npos)
        << output;
    EXPECT_EQ(Bytes(b.begin() + 512, b.begin() + 516), Bytes({0x52, 0x52, 0x61, 0x41}));
    EXPECT_EQ(Bytes(b.begin() + 512 + 488, b.begin() + 512 + 496),
              Bytes({0xff, 0xff, 0xff, 0xff, 2, 0, 0, 0}));
    // The label goes into the backup too.
    EXPECT_EQ(std::string(b.begin() + 6 * 512 + 71, b.begin() + 6 * 512 + 82), "NEW        ");
}

// The real system calls, but every write fails.
class FailingWrites : public FixedClock {
public:
    FailingWrites() : FixedClock(TestTime) {}
    ssize_t write(int, const void *, size_t) override {
        errno = EIO;
        return -1;
    }
};

TEST_F(FatCheck, AFailedWriteIsAFailure) {
    std::string path = image("-F 16", 32768);
    FailingWrites platform;
    char label[16] = "LOST";
    std::string output;
    EXPECT_EQ(check(path, label, output), 0);
    EXPECT_NE(output.find("Writing 512 bytes at 0 ret:-1 failed:Input/output error\n"), std::string::npos)
        << output;
}

} // namespace
