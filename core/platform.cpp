#include "core/platform.h"

#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/time.h>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

class LinuxPlatform : public Platform {
public:
    const char *name() const override { return "linux"; }
    int start() override { return 0; }
    void stop() override {}
    int open(const char *path, int flags, mode_t mode) override { return ::open(path, flags, mode); }
    int close(int fd) override { return ::close(fd); }
    int ioctl(int fd, unsigned long request, void *arg) override { return ::ioctl(fd, request, arg); }
    ssize_t read(int fd, void *buf, size_t n) override { return ::read(fd, buf, n); }
    ssize_t write(int fd, const void *buf, size_t n) override { return ::write(fd, buf, n); }
    void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) override
    {
        return ::mmap(addr, length, prot, flags, fd, offset);
    }
    int munmap(void *addr, size_t length) override { return ::munmap(addr, length); }
    int mount(const char *source, const char *target, const char *fstype, unsigned long flags,
              const void *data) override
    {
        return ::mount(source, target, fstype, flags, data);
    }
    int umount(const char *target) override { return ::umount(target); }
    int setTimeOfDay(const struct timeval *tv) override { return ::settimeofday(tv, nullptr); }
};

std::atomic<Platform *> current{nullptr};

} // namespace

Platform &linuxPlatform()
{
    static LinuxPlatform instance;
    return instance;
}

Platform &platform()
{
    Platform *p = current.load(std::memory_order_acquire);
    return p ? *p : linuxPlatform();
}

void setPlatform(Platform &p) { current.store(&p, std::memory_order_release); }

bool simPlatformWanted()
{
    const char *env = std::getenv("QMR_PLATFORM");
    return env && std::strcmp(env, "sim") == 0;
}
