#include "sim/slot.h"

#include "core/sysroot.h"
#include "sim/devfile.h"
#include "usb_fixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

std::string run(const std::string &cmd) {
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

class SlotStandIn : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::path(usbtest::sandbox.path) / ("cards" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        fs::create_directories(sysPath("/var/slot1"));
        fat_ = (dir_ / "fat.img").string();
        ASSERT_EQ(std::system(("mkfs.fat -C -F 16 " + fat_ + " 32768 >/dev/null").c_str()), 0);
        std::ofstream(dir_ / "old.txt") << "on the card before\n";
        run("mcopy -i " + fat_ + " " + (dir_ / "old.txt").string() + " ::/old.txt");
        plain_ = (dir_ / "plain.img").string();
        std::ofstream(plain_) << std::string(1 << 20, '\xa5');
    }
    void TearDown() override {
        sim::slotRemove();
        EXPECT_EQ(sim::openDeviceFiles(), 0);
        fs::remove_all(dir_);
    }
    static int open(const char *path, int flags) { return sim::devOpen(sysPath(path).c_str(), flags, 0); }

    fs::path dir_;
    std::string fat_, plain_;
};

TEST_F(SlotStandIn, InsertAndRemoveRefuseWhatCannotBe) {
    EXPECT_NE(sim::slotInsert((dir_ / "none.img").string(), false, "c", "n"), "");
    EXPECT_NE(sim::slotInsert(dir_.string(), false, "c", "n"), "") << "a directory";
    EXPECT_NE(sim::slotInsert(fat_, false, std::string(33, 'c'), "n"), "");
    EXPECT_NE(sim::slotInsert(fat_, false, "c", "bad\nname"), "");
    EXPECT_NE(sim::slotRemove(), "");
    ASSERT_EQ(sim::slotInsert(fat_, false, "0123", "SD8G"), "");
    EXPECT_NE(sim::slotInsert(fat_, false, "c", "n"), "") << "one card at a time";
    EXPECT_EQ(slurp(sysPath("/sys/block/mmcblk0/device/cid")), "0123\n");
    EXPECT_EQ(slurp(sysPath("/sys/block/mmcblk0/device/name")), "SD8G\n");
    EXPECT_NE(slurp(sysPath("/proc/partitions")).find(" mmcblk0\n"), std::string::npos);
    EXPECT_EQ(slurp(sysPath("/proc/partitions")).find("mmcblk0p1"), std::string::npos);
    EXPECT_EQ(sim::slotRemove(), "");
    EXPECT_FALSE(fs::exists(sysPath("/sys/block/mmcblk0")));
    EXPECT_EQ(slurp(sysPath("/proc/partitions")).find("mmcblk0"), std::string::npos);
}

TEST_F(SlotStandIn, BlockDevicesHaveTheCardsSizeAndFailOnceItIsGone) {
    ASSERT_EQ(sim::slotInsert(fat_, false, "c", "n"), "");
    errno = 0;
    EXPECT_EQ(open("/dev/mmcblk0p1", O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT) << "no partition table, no partition";
    int fd = open("/dev/mmcblk0", O_RDWR);
    ASSERT_GE(fd, 0);
    const off_t size = 32768 * 1024;
    EXPECT_EQ(sim::devLseek(fd, 0, SEEK_END), size);
    char buf[16];
    EXPECT_EQ(sim::devRead(fd, buf, sizeof buf), 0);
    errno = 0;
    EXPECT_EQ(sim::devWrite(fd, "x", 1), -1);
    EXPECT_EQ(errno, ENOSPC);
    errno = 0;
    EXPECT_EQ(sim::devLseek(fd, size + 1, SEEK_SET), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(sim::devLseek(fd, -1, SEEK_SET), -1);
    EXPECT_EQ(sim::devLseek(fd, -2, SEEK_END), size - 2);
    EXPECT_EQ(sim::devRead(fd, buf, sizeof buf), 2);
    EXPECT_EQ(sim::devLseek(fd, 510, SEEK_SET), 510);
    ASSERT_EQ(sim::devRead(fd, buf, 2), 2);
    EXPECT_EQ(std::string(buf, 2), "\x55\xaa");

    ASSERT_EQ(sim::slotRemove(), "");
    errno = 0;
    EXPECT_EQ(sim::devRead(fd, buf, 2), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(sim::devLseek(fd, 0, SEEK_SET), -1);
    EXPECT_EQ(sim::devWrite(fd, "x", 1), -1);
    EXPECT_EQ(errno, EIO);
    sim::devClose(fd);
    EXPECT_EQ(open("/dev/mmcblk0", O_RDONLY), -1);
}

TEST_F(SlotStandIn, ProtectedCardRefusesWriting) {
    ASSERT_EQ(sim::slotInsert(fat_, true, "c", "n"), "");
    errno = 0;
    EXPECT_EQ(open("/dev/mmcblk0", O_RDWR), -1);
    EXPECT_EQ(errno, EROFS);
    int fd = open("/dev/mmcblk0", O_RDONLY);
    ASSERT_GE(fd, 0);
    errno = 0;
    EXPECT_EQ(sim::devWrite(fd, "x", 1), -1);
    EXPECT_EQ(errno, EBADF);
    sim::devClose(fd);
    const std::string target = sysPath("/var/slot1");
    errno = 0;
    EXPECT_EQ(sim::slotMount(sysPath("/dev/mmcblk0").c_str(), target.c_str(), 0), -1);
    EXPECT_EQ(errno, EROFS);
}

TEST_F(SlotStandIn, MountAndUnmountErrors) {
    const std::string target = sysPath("/var/slot1");
    const std::string whole = sysPath("/dev/mmcblk0");
    errno = 0;
    EXPECT_EQ(sim::slotMount(whole.c_str(), target.c_str(), 0), -1);
    EXPECT_EQ(errno, ENOENT) << "no card";
    errno = 0;
    EXPECT_EQ(sim::slotUmount2(target.c_str(), MNT_FORCE), -1);
    EXPECT_EQ(errno, EINVAL) << "nothing mounted";
    ASSERT_EQ(sim::slotInsert(plain_, false, "c", "n"), "");
    errno = 0;
    EXPECT_EQ(sim::slotMount(sysPath("/dev/mmcblk0p1").c_str(), target.c_str(), 0), -1);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(sim::slotMount(whole.c_str(), target.c_str(), MS_RDONLY), -1);
    EXPECT_EQ(errno, EINVAL) << "no FAT on the card";
}

TEST_F(SlotStandIn, PartitionedCardServesItsFirstPartition) {
    std::string path = (dir_ / "parted.img").string();
    std::ofstream(path).close();
    fs::resize_file(path, 40 << 20);
    ASSERT_EQ(std::system(("echo 2048,,c | sfdisk -q " + path + " >/dev/null").c_str()), 0);
    ASSERT_EQ(std::system(("mkfs.fat -F 16 --offset 2048 " + path + " 39936 >/dev/null").c_str()), 0);
    ASSERT_EQ(sim::slotInsert(path, false, "c", "n"), "");
    EXPECT_NE(slurp(sysPath("/proc/partitions")).find(" mmcblk0p1\n"), std::string::npos);
    int fd = open("/dev/mmcblk0p1", O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(sim::devLseek(fd, 0, SEEK_END), off_t{39936} * 1024);
    EXPECT_EQ(sim::devLseek(fd, 0, SEEK_SET), 0);
    char boot[3];
    ASSERT_EQ(sim::devRead(fd, boot, 3), 3);
    EXPECT_EQ(static_cast<unsigned char>(boot[0]), 0xeb) << "the FAT's boot sector, not the MBR";
    sim::devClose(fd);
}

// Runs body in a child process with a mount namespace of its own, so that the tmpfs
// of the stand-in never shows outside; the child's exit status is body's result.
int inOwnMountNamespace(int (*body)(const std::string &, const std::string &), const std::string &image) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            ::_exit(100);
        ::_exit(body(image, sysPath("/var/slot1")));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}

// Mounted read-write: the tree holds the card's files; sync and umount2 write back new,
// changed and removed files; raw writes under the mount are counted.
int mountedReadWrite(const std::string &image, const std::string &target) {
    const std::string whole = sysPath("/dev/mmcblk0");
    if (sim::slotMount(whole.c_str(), target.c_str(), 0) != 0) return 1;
    if (sim::slotMount(whole.c_str(), target.c_str(), 0) == 0 || errno != EBUSY) return 2;
    if (!fs::exists(target + "/old.txt")) return 3;
    std::ofstream(target + "/A long name.txt") << "written\n";
    fs::create_directories(target + "/802.1x");
    std::ofstream(target + "/802.1x/abcdef01.0") << "ca\n";
    sim::slotSync();
    if (run("mtype -i " + image + " \"::/A long name.txt\"") != "written\n") return 4;
    fs::remove(target + "/old.txt");
    int fd = sim::devOpen(whole.c_str(), O_RDWR, 0);
    char sector[512];
    sim::devRead(fd, sector, sizeof sector);
    sim::devLseek(fd, 0, SEEK_SET);
    sim::devWrite(fd, sector, sizeof sector);
    sim::devClose(fd);
    std::string state;
    sim::slotDescribe(state);
    if (state.find("raw_writes 1\n") == std::string::npos) return 5;
    if (sim::slotUmount2(target.c_str(), MNT_FORCE) != 0) return 6;
    std::string dir = run("mdir -b -i " + image + " ::");
    if (dir.find("old.txt") != std::string::npos || dir.find("802.1x") == std::string::npos) return 7;
    if (run("mtype -i " + image + " ::/802.1x/abcdef01.0") != "ca\n") return 8;
    if (std::system(("fsck.fat -n " + image + " >/dev/null 2>&1").c_str()) != 0) return 9;
    return 0;
}

// Mounted read-only: writing fails; a card pulled while mounted gets nothing more.
int mountedThenPulled(const std::string &image, const std::string &target) {
    const std::string whole = sysPath("/dev/mmcblk0");
    if (sim::slotMount(whole.c_str(), target.c_str(), MS_RDONLY) != 0) return 1;
    if (std::ofstream(target + "/new.txt") << "x") return 2;
    if (sim::slotUmount2(target.c_str(), 0) != 0) return 3;
    if (sim::slotMount(whole.c_str(), target.c_str(), 0) != 0) return 4;
    std::ofstream(target + "/late.txt") << "never on the card\n";
    if (sim::slotRemove() != "") return 5;
    sim::slotSync();
    if (sim::slotUmount2(target.c_str(), 0) != 0) return 6;
    if (run("mdir -b -i " + image + " ::").find("late.txt") != std::string::npos) return 7;
    return 0;
}

TEST_F(SlotStandIn, MountedTreeGoesBackToTheCard) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting needs root";
    ASSERT_EQ(sim::slotInsert(fat_, false, "c", "n"), "");
    EXPECT_EQ(inOwnMountNamespace(mountedReadWrite, fat_), 0);
}

TEST_F(SlotStandIn, ReadOnlyMountAndAPulledCard) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting needs root";
    ASSERT_EQ(sim::slotInsert(fat_, false, "c", "n"), "");
    std::string before = slurp(fat_);
    EXPECT_EQ(inOwnMountNamespace(mountedThenPulled, fat_), 0);
    EXPECT_EQ(slurp(fat_), before);
}

} // namespace
