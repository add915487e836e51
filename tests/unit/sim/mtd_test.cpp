// The flash stand-in, driven as the daemon drives it: through the simulated device
// files, and as the boot loader and the tests do: through its functions and commands.
#include "sim/mtd.h"

#include "usb_fixture.h" // the sandbox root of this test process

#include "sim/control.h"
#include "sim/devfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <linux/fs.h>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint64_t Block = sim::mtd::EraseBlockSize;

class Flash : public ::testing::Test {
protected:
    void SetUp() override {
        std::string params = usbtest::sandbox.path + "/proc/product_params";
        std::ifstream in(params);
        std::stringstream text;
        text << in.rdbuf();
        if (text.str().find("mtd0_part") == std::string::npos) {
            // Partition 1 ends in half a block; partition 3 has a size of 0 and is left out.
            std::ofstream(params, std::ios::app) << "mtd0_part0_name=boot\nmtd0_part0_size=00020000\n"
                                                    "mtd0_part1_name=kernel\nmtd0_part1_size=00038000\n"
                                                    "mtd0_part3_name=none\nmtd0_part3_size=00000000\n";
        }
        ::unlink(sim::mtd::backingPath(0).c_str());
        ::unlink(sim::mtd::backingPath(1).c_str());
        sim::mtd::install();
    }
    void TearDown() override {
        for (int fd : fds_)
            sim::devClose(fd);
        sim::mtd::uninstall();
        EXPECT_EQ(sim::openDeviceFiles(), 0);
    }
    int open(int n, int flags) {
        int fd = sim::devOpen(sysPath("/dev/mtdblock" + std::to_string(n)).c_str(), flags, 0);
        if (fd >= 0) fds_.push_back(fd);
        return fd;
    }
    static std::vector<uint8_t> backing(int n) {
        std::ifstream in(sim::mtd::backingPath(n), std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }
    std::vector<int> fds_;
};

} // namespace

TEST_F(Flash, PartitionsComeFromTheProductDescriptionErased) {
    std::ifstream in(sysPath("/proc/mtd"));
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "dev:    size   erasesize  name\n"
                          "mtd0: 00020000 00010000 \"boot\"\n"
                          "mtd1: 00038000 00010000 \"kernel\"\n");
    EXPECT_EQ(sim::mtd::size(1), 0x38000u);
    EXPECT_EQ(sim::mtd::size(3), 0u);
    std::vector<uint8_t> flash = backing(1);
    ASSERT_EQ(flash.size(), 0x38000u);
    EXPECT_EQ(std::count(flash.begin(), flash.end(), 0xFF), 0x38000);
    int fd = open(1, O_RDWR);
    ASSERT_GE(fd, 0);
    uint64_t size = 0;
    EXPECT_EQ(sim::devIoctl(fd, BLKGETSIZE64, &size), 0);
    EXPECT_EQ(size, 0x38000u);
    EXPECT_EQ(open(3, O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(Flash, WritesRewriteWholeBlocksAndStopAtTheEnd) {
    int fd = open(1, O_RDWR | O_SYNC);
    ASSERT_GE(fd, 0);
    // Across a block boundary: two blocks erased and programmed, one write.
    std::vector<uint8_t> data(100, 0x5A);
    EXPECT_EQ(sim::devLseek(fd, Block - 50, SEEK_SET), static_cast<off_t>(Block - 50));
    EXPECT_EQ(sim::devWrite(fd, data.data(), data.size()), 100);
    EXPECT_EQ(sim::mtd::counters(1).erases, 2);
    EXPECT_EQ(sim::mtd::counters(1).writes, 1);
    // Rewriting bytes with ones needs the erase the emulation does: the result is the data.
    std::vector<uint8_t> other(100, 0xA5);
    EXPECT_EQ(sim::devLseek(fd, -100, SEEK_CUR), static_cast<off_t>(Block - 50));
    EXPECT_EQ(sim::devWrite(fd, other.data(), other.size()), 100);
    std::vector<uint8_t> flash = backing(1);
    EXPECT_EQ(std::vector<uint8_t>(flash.begin() + Block - 50, flash.begin() + Block + 50), other);
    EXPECT_EQ(flash[Block - 51], 0xFF);
    EXPECT_EQ(flash[Block + 50], 0xFF);
    // A read gives the bytes back; at the end it gives 0.
    std::vector<uint8_t> got(100);
    EXPECT_EQ(sim::devLseek(fd, Block - 50, SEEK_SET), static_cast<off_t>(Block - 50));
    EXPECT_EQ(sim::devRead(fd, got.data(), got.size()), 100);
    EXPECT_EQ(got, other);
    // Across the end a write is cut short, at the end it fails with ENOSPC.
    EXPECT_EQ(sim::devLseek(fd, -10, SEEK_END), 0x38000 - 10);
    EXPECT_EQ(sim::devWrite(fd, data.data(), data.size()), 10);
    EXPECT_EQ(sim::devWrite(fd, data.data(), data.size()), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(sim::devRead(fd, got.data(), got.size()), 0);
    EXPECT_EQ(sim::devLseek(fd, -1, SEEK_SET), -1);
    EXPECT_EQ(errno, EINVAL);
    // The access mode of the open counts.
    int ro = open(1, O_RDONLY);
    EXPECT_EQ(sim::devWrite(ro, data.data(), 1), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(Flash, StatusWordsAsTheBootLoaderSetsThem) {
    int fd = open(0, O_RDWR);
    std::vector<uint8_t> data(1000, 0x11);
    ASSERT_EQ(sim::devLseek(fd, 4, SEEK_SET), 4);
    ASSERT_EQ(sim::devWrite(fd, data.data(), data.size()), 1000);
    sim::mtd::resetCounters();
    EXPECT_EQ(sim::execute("mtd word 0 BS_FAIL"), "mtd_word 0 a0ffff00\nOK\n");
    EXPECT_EQ(sim::execute("mtd word 0 a0fff000"), "mtd_word 0 a0fff000\nOK\n");
    uint32_t word = 0;
    EXPECT_TRUE(sim::mtd::word(0, word));
    EXPECT_EQ(word, 0xA0FFF000u);
    // The rest of the block is kept, and the boot loader's writes are not the daemon's.
    EXPECT_EQ(backing(0)[4], 0x11);
    EXPECT_EQ(backing(0)[1003], 0x11);
    EXPECT_EQ(sim::mtd::counters(0).writes, 0);
    EXPECT_EQ(sim::execute("mtd word 0 BS_MAYBE").rfind("ERR", 0), 0u);
    EXPECT_EQ(sim::execute("mtd word 9").rfind("ERR", 0), 0u);
}

TEST_F(Flash, InjectedErrorsAfterSomeBytes) {
    std::vector<uint8_t> data(Block, 0x42);
    ASSERT_EQ(sim::execute("mtd inject 1 write EIO 1000"), "OK\n");
    int fd = open(1, O_WRONLY);
    EXPECT_EQ(sim::devWrite(fd, data.data(), 600), 600);
    EXPECT_EQ(sim::devWrite(fd, data.data(), 600), 400); // cut at the mark
    EXPECT_EQ(sim::devWrite(fd, data.data(), 600), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(backing(1)[999], 0x42);
    EXPECT_EQ(backing(1)[1000], 0xFF);
    ASSERT_EQ(sim::execute("mtd inject 1 write 0"), "OK\n");
    EXPECT_EQ(sim::devWrite(fd, data.data(), 10), 10);

    ASSERT_EQ(sim::execute("mtd inject 1 read ENXIO 3"), "OK\n");
    int rd = open(1, O_RDONLY);
    uint8_t buf[8];
    EXPECT_EQ(sim::devRead(rd, buf, 8), 3);
    EXPECT_EQ(sim::devRead(rd, buf, 8), -1);
    EXPECT_EQ(errno, ENXIO);

    ASSERT_EQ(sim::execute("mtd inject 0 open EROFS"), "OK\n");
    EXPECT_EQ(open(0, O_RDWR), -1);
    EXPECT_EQ(errno, EROFS);
    EXPECT_EQ(sim::execute("mtd inject 0 open EWHAT").rfind("ERR", 0), 0u);
}

TEST_F(Flash, APowerCutLeavesTheBlockInProgressErased) {
    int fd = open(1, O_WRONLY);
    std::vector<uint8_t> data(3 * Block, 0x00);
    ASSERT_EQ(sim::devWrite(fd, data.data(), Block), static_cast<ssize_t>(Block));
    // The earlier contents of block 1 were programmed; the cut falls in block 1 again.
    ASSERT_EQ(sim::devWrite(fd, data.data(), 100), 100);
    ASSERT_EQ(sim::devLseek(fd, 0, SEEK_SET), 0);
    ASSERT_EQ(sim::execute("mtd power-cut 1 " + std::to_string(Block + 10)), "OK\n");
    EXPECT_EQ(sim::devWrite(fd, data.data(), 2 * Block), -1);
    EXPECT_EQ(errno, EIO);
    std::vector<uint8_t> flash = backing(1);
    EXPECT_EQ(std::count(flash.begin(), flash.begin() + Block, 0x00), static_cast<long>(Block));
    EXPECT_EQ(std::count(flash.begin() + Block, flash.begin() + 2 * Block, 0xFF), static_cast<long>(Block));
    EXPECT_FALSE(sim::mtd::powered(1));
    EXPECT_EQ(sim::devWrite(fd, data.data(), 1), -1);
    EXPECT_EQ(open(1, O_RDONLY), -1);
    EXPECT_NE(sim::execute("mtd").find("unpowered"), std::string::npos);
    ASSERT_EQ(sim::execute("mtd power-on 1"), "OK\n");
    EXPECT_EQ(sim::devWrite(fd, data.data(), 1), 1);
}

TEST_F(Flash, CommandsRefuseGarbage) {
    for (const char *line : {"mtd word", "mtd word -1", "mtd word 99 BS_OK", "mtd word 0 1ffffffff",
                             "mtd inject 0 seek EIO", "mtd inject 0 write EIO -5", "mtd power-cut 0 soon",
                             "mtd pace 1", "mtd pace -1 2", "mtd nonsense", "mtd power-on 7"})
        EXPECT_EQ(sim::execute(line).rfind("ERR", 0), 0u) << line;
    EXPECT_EQ(sim::execute("mtd pace 0 0"), "OK\n");
}
