// The platform layer: the few kernel and board interfaces that this daemon needs and
// that a development machine lacks (board GPIO device, usbfs device files, MTD, the
// storage slot's mount, the clock). The daemon calls them only through platform();
// QMR_PLATFORM=sim selects the stand-ins of sim/ at start, anything else the real
// system calls.
#pragma once

#include <cstdint>
#include <ctime>
#include <sys/types.h>

class Platform {
public:
    virtual ~Platform() = default;

    virtual const char *name() const = 0;

    // Called once at start and once at the end of the run.
    virtual int start() = 0;
    virtual void stop() = 0;

    // Device files of the board and of usbfs: the same contracts as the system calls
    // of the same name (-1 and errno on failure).
    virtual int open(const char *path, int flags, mode_t mode = 0) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void *arg) = 0;
    virtual ssize_t read(int fd, void *buf, size_t n) = 0;
    virtual ssize_t write(int fd, const void *buf, size_t n) = 0;
    // Moves the file position (the system call's contract; the base is the system call).
    virtual off_t lseek(int fd, off_t offset, int whence);
    virtual void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) = 0;
    virtual int munmap(void *addr, size_t length) = 0;

    // Mounting the storage slot: mount and umount2 as the system calls.
    virtual int mount(const char *source, const char *target, const char *fstype, unsigned long flags,
                      const void *data) = 0;
    virtual int umount2(const char *target, int flags) = 0;
    // Writes what mounted file systems hold back to their media (sync on the board).
    virtual void sync();

    // The appliance's wall clock: setTimeOfDay sets it (settimeofday on the board),
    // wallClock reads it (gettimeofday on the board). Every reader of the date and time
    // of day goes through wallClock, so that a clock set by the daemon is the clock
    // the whole appliance sees. 0, or -1 with errno.
    virtual int setTimeOfDay(const struct timeval *tv) = 0;
    virtual int wallClock(struct timeval *tv);

    // VLAN sub-interfaces "<ifname>.<id>" of a wired interface (802.1Q on the board).
    // 0, or -1 with errno as the kernel's VLAN ioctl gives it.
    virtual int vlanAdd(const char *ifname, int vlanId);
    virtual int vlanDel(const char *vlanIfname);

    // Reads one MII register of the PHY at phyAddress behind ifname (SIOCGMIIREG).
    virtual int phyRead(const char *ifname, int phyAddress, int reg, int *value);

    // A descriptor from which the kernel's uevent datagrams are read (the netlink
    // uevent socket on the board), -1 with errno on failure.
    virtual int ueventOpen();

    // Creates the character-device node path for the device number with exactly the
    // permission bits of mode (whatever the process's creation mask); 0, or -1 with
    // errno (EEXIST when the path exists).
    virtual int mknodChar(const char *path, mode_t mode, dev_t device);

    // (The five above answer ENOSYS unless the platform has them.)

    // The netlink port that answers the nl80211 back end's generic-netlink sockets: the
    // kernel (0) unless QMR_NL80211_PORT names another; the stand-ins answer their own.
    virtual uint32_t nl80211Port();
};

// The platform chosen at start (the real one until setPlatform ran).
Platform &platform();
void setPlatform(Platform &p);

// The appliance's wall clock in seconds since 1970 (platform().wallClock), -1 when it
// cannot be read.
time_t applianceTime();

// True when QMR_PLATFORM asks for the stand-ins.
bool simPlatformWanted();

// The real system calls.
Platform &linuxPlatform();
