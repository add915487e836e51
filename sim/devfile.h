// Simulated device files. A stand-in registers the paths it serves (a file such as
// "/dev/gpio" or a directory prefix such as "/dev/bus/usb/"); when the daemon opens
// such a path through platform().open, the stand-in creates one DeviceFile for that
// open and hands back a real descriptor of its own choosing (an eventfd, one end of a
// socket pair, ...) whose readiness it drives, so that poll and epoll on it behave as
// they would on the real device. ioctl, read, write, lseek, mmap, munmap and close on that
// descriptor then land in the DeviceFile.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>

namespace sim {

class DeviceFile {
public:
    virtual ~DeviceFile() = default;
    // Results and errno as the system calls of the same name.
    virtual int ioctl(unsigned long request, void *arg);
    virtual ssize_t read(void *buf, size_t n);
    virtual ssize_t write(const void *buf, size_t n);
    virtual off_t lseek(off_t offset, int whence);
    virtual void *mmap(size_t length, int prot, int flags, off_t offset);
    virtual int munmap(void *addr, size_t length);
    // The daemon closed the descriptor; the DeviceFile is destroyed right after.
    virtual void closed() {}
};

// Opens one device file: returns the DeviceFile and sets fd to the descriptor handed
// to the daemon (owned by the DeviceFile until closed). On failure returns null with
// errno set.
using DeviceOpener = std::function<std::unique_ptr<DeviceFile>(const std::string &path, int flags, int &fd)>;

// Serves every path equal to `path`, or below it when it ends in '/'. The path is the
// one the daemon opens, that is with the sandbox root in front.
void registerDevicePath(const std::string &path, DeviceOpener opener);
void unregisterDevicePath(const std::string &path);

// The platform calls, dispatched to a DeviceFile when the descriptor or path is
// simulated, else to the system.
int devOpen(const char *path, int flags, mode_t mode);
int devClose(int fd);
int devIoctl(int fd, unsigned long request, void *arg);
ssize_t devRead(int fd, void *buf, size_t n);
ssize_t devWrite(int fd, const void *buf, size_t n);
off_t devLseek(int fd, off_t offset, int whence);
void *devMmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset);
int devMunmap(void *addr, size_t length);

// Number of simulated device files open now (for leak checks in tests).
int openDeviceFiles();

} // namespace sim
