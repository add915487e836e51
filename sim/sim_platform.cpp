#include "sim/sim_platform.h"

#include "core/sysroot.h"
#include "sim/control.h"
#include "sim/devfile.h"
#include "sim/slot.h"
#include "sim/standins.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// Device files are served by the stand-ins registered with sim/devfile.h (the plain
// files of the sandbox root otherwise), the storage slot's vfat mount is the card of
// sim/slot.h, and a clock set is recorded but never applied to the host.
class SimPlatform : public Platform {
public:
    const char *name() const override { return "sim"; }

    int start() override {
        std::string run = sysPath("/run");
        ::mkdir(run.c_str(), 0755);
        if (sim::startControl(run + "/sim.sock") != 0) return -1;
        // A failed start gives back what it started: the daemon then returns from main,
        // and a control thread still running would end it in std::terminate.
        if (sim::startStandIns() != 0) {
            stop();
            return -1;
        }
        return 0;
    }

    void stop() override {
        sim::stopStandIns();
        sim::stopControl();
    }

    int open(const char *path, int flags, mode_t mode) override { return sim::devOpen(path, flags, mode); }
    int close(int fd) override { return sim::devClose(fd); }
    int ioctl(int fd, unsigned long request, void *arg) override { return sim::devIoctl(fd, request, arg); }
    ssize_t read(int fd, void *buf, size_t n) override { return sim::devRead(fd, buf, n); }
    ssize_t write(int fd, const void *buf, size_t n) override { return sim::devWrite(fd, buf, n); }
    off_t lseek(int fd, off_t offset, int whence) override { return sim::devLseek(fd, offset, whence); }
    void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) override {
        return sim::devMmap(addr, length, prot, flags, fd, offset);
    }
    int munmap(void *addr, size_t length) override { return sim::devMunmap(addr, length); }
    int mount(const char *source, const char *target, const char *fstype, unsigned long flags,
              const void *) override {
        // The sandbox's /sys is the stand-ins' sysfs already: mounting sysfs there is
        // a success without effect. A vfat is the storage slot's card; anything else
        // fails as on a board without it.
        if (fstype != nullptr && std::strcmp(fstype, "sysfs") == 0) return 0;
        if (fstype != nullptr && std::strcmp(fstype, "vfat") == 0)
            return sim::slotMount(source, target, flags);
        errno = ENODEV;
        return -1;
    }
    int umount2(const char *target, int flags) override { return sim::slotUmount2(target, flags); }
    void sync() override { sim::slotSync(); }
    int setTimeOfDay(const struct timeval *tv) override {
        if (tv == nullptr) {
            errno = EFAULT;
            return -1;
        }
        return sim::clockSet(tv);
    }
    int wallClock(struct timeval *tv) override { return sim::clockRead(tv); }

    int vlanAdd(const char *ifname, int vlanId) override { return sim::netVlanAdd(ifname, vlanId); }
    int vlanDel(const char *vlanIfname) override { return sim::netVlanDel(vlanIfname); }
    int phyRead(const char *ifname, int phyAddress, int reg, int *value) override {
        return sim::netPhyRead(ifname, phyAddress, reg, value);
    }
    int ueventOpen() override { return sim::usbUeventOpen(); }
    // The nl80211 family is nlsim's when the sandbox simulates a radio.
    uint32_t nl80211Port() override { return sim::nlsimPort(); }
    // Device nodes of the sandbox are plain files: the stand-ins serve their paths.
    int mknodChar(const char *path, mode_t mode, dev_t) override {
        int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & 0777);
        if (fd < 0) return -1;
        int rc = ::fchmod(fd, mode & 0777);
        int saved = errno;
        ::close(fd);
        errno = saved;
        return rc;
    }
};

} // namespace

Platform &simPlatform() {
    static SimPlatform instance;
    return instance;
}
