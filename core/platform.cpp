#include "core/platform.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/if_vlan.h>
#include <linux/mii.h>
#include <linux/netlink.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
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
    off_t lseek(int fd, off_t offset, int whence) override { return ::lseek(fd, offset, whence); }
    void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) override {
        return ::mmap(addr, length, prot, flags, fd, offset);
    }
    int munmap(void *addr, size_t length) override { return ::munmap(addr, length); }
    int mount(const char *source, const char *target, const char *fstype, unsigned long flags,
              const void *data) override {
        return ::mount(source, target, fstype, flags, data);
    }
    int umount2(const char *target, int flags) override { return ::umount2(target, flags); }
    int setTimeOfDay(const struct timeval *tv) override { return ::settimeofday(tv, nullptr); }

    int vlanAdd(const char *ifname, int vlanId) override {
        vlan_ioctl_args args{};
        args.cmd = ADD_VLAN_CMD;
        std::strncpy(args.device1, ifname, sizeof args.device1 - 1);
        args.u.VID = vlanId;
        return vlanIoctl(args);
    }

    int vlanDel(const char *vlanIfname) override {
        vlan_ioctl_args args{};
        args.cmd = DEL_VLAN_CMD;
        std::strncpy(args.device1, vlanIfname, sizeof args.device1 - 1);
        return vlanIoctl(args);
    }

    int phyRead(const char *ifname, int phyAddress, int reg, int *value) override {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
        auto *mii = reinterpret_cast<mii_ioctl_data *>(&ifr.ifr_data);
        mii->phy_id = static_cast<__u16>(phyAddress);
        mii->reg_num = static_cast<__u16>(reg);
        int rc = ::ioctl(fd, SIOCGMIIREG, &ifr);
        if (rc == 0 && value) *value = mii->val_out;
        ::close(fd);
        return rc;
    }

    int ueventOpen() override {
        int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
        if (fd < 0) return -1;
        sockaddr_nl addr{};
        addr.nl_family = AF_NETLINK;
        addr.nl_groups = 1; // the kernel's broadcast group
        if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    int mknodChar(const char *path, mode_t mode, dev_t device) override {
        if (::mknod(path, S_IFCHR | (mode & 07777), device) < 0) return -1;
        // The creation mask may have taken bits away: set the mode asked for.
        if (::chmod(path, mode & 07777) < 0) {
            int saved = errno;
            ::unlink(path);
            errno = saved;
            return -1;
        }
        return 0;
    }

private:
    static int vlanIoctl(vlan_ioctl_args &args) {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        int rc = ::ioctl(fd, SIOCSIFVLAN, &args);
        int saved = errno;
        ::close(fd);
        errno = saved;
        return rc;
    }
};

std::atomic<Platform *> current{nullptr};

} // namespace

static int notHere() {
    errno = ENOSYS;
    return -1;
}

void Platform::sync() {
    ::sync();
}

int Platform::wallClock(struct timeval *tv) {
    return ::gettimeofday(tv, nullptr);
}

time_t applianceTime() {
    struct timeval tv {};
    return platform().wallClock(&tv) == 0 ? tv.tv_sec : static_cast<time_t>(-1);
}

off_t Platform::lseek(int fd, off_t offset, int whence) {
    return ::lseek(fd, offset, whence);
}

int Platform::vlanAdd(const char *, int) {
    return notHere();
}
int Platform::vlanDel(const char *) {
    return notHere();
}
int Platform::phyRead(const char *, int, int, int *) {
    return notHere();
}
int Platform::ueventOpen() {
    return notHere();
}
int Platform::mknodChar(const char *, mode_t, dev_t) {
    return notHere();
}

Platform &linuxPlatform() {
    static LinuxPlatform instance;
    return instance;
}

Platform &platform() {
    Platform *p = current.load(std::memory_order_acquire);
    return p ? *p : linuxPlatform();
}

void setPlatform(Platform &p) {
    current.store(&p, std::memory_order_release);
}

uint32_t Platform::nl80211Port() {
    const char *env = std::getenv("QMR_NL80211_PORT");
    if (env == nullptr || *env == '\0') return 0;
    char *end = nullptr;
    errno = 0;
    unsigned long port = std::strtoul(env, &end, 10);
    if (errno != 0 || *end != '\0' || port > UINT32_MAX) return 0;
    return static_cast<uint32_t>(port);
}

bool simPlatformWanted() {
    const char *env = std::getenv("QMR_PLATFORM");
    return env && std::strcmp(env, "sim") == 0;
}
