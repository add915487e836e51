#include "sim/devfile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// A device with one ioctl (request 7 doubles an int) and a mappable page.
class Doubler : public sim::DeviceFile {
public:
    explicit Doubler(int fd, int *closedCount) : fd_(fd), closedCount_(closedCount) {}
    ~Doubler() override { ::close(fd_); }
    int ioctl(unsigned long request, void *arg) override {
        if (request != 7) {
            errno = ENOTTY;
            return -1;
        }
        *static_cast<int *>(arg) *= 2;
        return 0;
    }
    void *mmap(size_t length, int prot, int, off_t) override {
        return ::mmap(nullptr, length, prot, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    }
    int munmap(void *addr, size_t length) override {
        unmapped++;
        return ::munmap(addr, length);
    }
    void closed() override { ++*closedCount_; }
    static inline int unmapped = 0;

private:
    int fd_;
    int *closedCount_;
};

TEST(DeviceFiles, OpenDispatchesByPathAndPrefix) {
    int closedCount = 0;
    auto opener = [&](const std::string &path, int, int &fd) -> std::unique_ptr<sim::DeviceFile> {
        if (path.find("missing") != std::string::npos) {
            errno = ENOENT;
            return nullptr;
        }
        fd = eventfd(0, EFD_CLOEXEC);
        return std::make_unique<Doubler>(fd, &closedCount);
    };
    sim::registerDevicePath("/sim-test/dev/gpio", opener);
    sim::registerDevicePath("/sim-test/dev/bus/", opener);

    int fd = sim::devOpen("/sim-test/dev/gpio", O_RDWR, 0);
    ASSERT_GE(fd, 0);
    int v = 21;
    EXPECT_EQ(sim::devIoctl(fd, 7, &v), 0);
    EXPECT_EQ(v, 42);
    EXPECT_EQ(sim::devIoctl(fd, 8, &v), -1);
    EXPECT_EQ(errno, ENOTTY);

    int fd2 = sim::devOpen("/sim-test/dev/bus/001/002", O_RDWR, 0);
    ASSERT_GE(fd2, 0);
    EXPECT_EQ(sim::openDeviceFiles(), 2);
    void *page = sim::devMmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd2, 0);
    ASSERT_NE(page, MAP_FAILED);
    EXPECT_EQ(sim::devMunmap(page, 4096), 0);
    EXPECT_EQ(Doubler::unmapped, 1);

    EXPECT_EQ(sim::devOpen("/sim-test/dev/bus/missing", O_RDWR, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(sim::devOpen("/sim-test/dev/gpio2", O_RDWR, 0), -1); // not served: a plain file that is absent

    EXPECT_EQ(sim::devClose(fd), 0);
    EXPECT_EQ(sim::devClose(fd2), 0);
    EXPECT_EQ(closedCount, 2);
    EXPECT_EQ(sim::openDeviceFiles(), 0);
    sim::unregisterDevicePath("/sim-test/dev/gpio");
    sim::unregisterDevicePath("/sim-test/dev/bus/");
}

} // namespace
