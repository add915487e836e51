// A platform for the USB unit tests: usbfs files below a test directory answer string
// descriptor requests from a table, mappings are anonymous shared memory, device nodes
// are plain files. Installed for the lifetime of the object.
#pragma once

#include "core/platform.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

class FakeUsbPlatform : public Platform {
public:
    FakeUsbPlatform() { setPlatform(*this); }
    ~FakeUsbPlatform() override { setPlatform(linuxPlatform()); }

    const char *name() const override { return "fake-usb"; }
    int start() override { return 0; }
    void stop() override {}

    int open(const char *path, int flags, mode_t mode) override {
        std::lock_guard<std::mutex> g(lock);
        opens.push_back(path);
        if (failOpen) {
            errno = ENOENT;
            return -1;
        }
        int fd = ::open("/dev/null", flags & (O_RDWR | O_CLOEXEC), mode);
        if (fd >= 0) openFds.insert(fd);
        return fd;
    }
    int close(int fd) override {
        std::lock_guard<std::mutex> g(lock);
        openFds.erase(fd);
        return ::close(fd);
    }
    int ioctl(int fd, unsigned long request, void *arg) override {
        std::lock_guard<std::mutex> g(lock);
        if (request != USBDEVFS_CONTROL || openFds.count(fd) == 0) {
            errno = ENOTTY;
            return -1;
        }
        auto *c = static_cast<usbdevfs_ctrltransfer *>(arg);
        controls.push_back(c->wValue & 0xFF);
        if (c->bRequestType != 0x80 || c->bRequest != 6 || (c->wValue >> 8) != 3) {
            errno = EPIPE;
            return -1;
        }
        int index = c->wValue & 0xFF;
        auto it = strings.find(index == 0 ? 0 : (c->wIndex << 8 | index));
        if (it == strings.end()) {
            errno = EPIPE;
            return -1;
        }
        size_t n = std::min<size_t>(it->second.size(), c->wLength);
        std::memcpy(c->data, it->second.data(), n);
        return static_cast<int>(n);
    }
    ssize_t read(int fd, void *buf, size_t n) override { return ::read(fd, buf, n); }
    ssize_t write(int fd, const void *buf, size_t n) override { return ::write(fd, buf, n); }
    off_t lseek(int fd, off_t offset, int whence) override { return ::lseek(fd, offset, whence); }
    void *mmap(void *, size_t length, int prot, int flags, int, off_t) override {
        std::lock_guard<std::mutex> g(lock);
        if (failMmap) {
            errno = ENOMEM;
            return MAP_FAILED;
        }
        void *p = ::mmap(nullptr, length, prot, (flags & ~MAP_SHARED) | MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED) mappings[p] = length;
        return p;
    }
    int munmap(void *addr, size_t length) override {
        std::lock_guard<std::mutex> g(lock);
        auto it = mappings.find(addr);
        if (it == mappings.end() || it->second != length) {
            badUnmaps++;
            errno = EINVAL;
            return -1;
        }
        mappings.erase(it);
        return ::munmap(addr, length);
    }
    int mount(const char *, const char *target, const char *fstype, unsigned long, const void *) override {
        mounts.push_back(std::string(fstype ? fstype : "") + " " + (target ? target : ""));
        return mountResult;
    }
    int umount2(const char *, int) override { return 0; }
    int setTimeOfDay(const struct timeval *) override { return 0; }
    int mknodChar(const char *path, mode_t mode, dev_t) override {
        int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0) return -1;
        ::fchmod(fd, mode);
        ::close(fd);
        nodes.push_back(path);
        return 0;
    }

    // String descriptors by (language << 8 | index); index 0 under key 0.
    void setString(uint16_t language, int index, const std::vector<uint8_t> &bytes) {
        strings[index == 0 ? 0 : (language << 8 | index)] = bytes;
    }
    // A string descriptor of UTF-16 units.
    static std::vector<uint8_t> utf16(const std::u16string &text) {
        std::vector<uint8_t> d{static_cast<uint8_t>(2 + 2 * text.size()), 3};
        for (char16_t c : text) {
            d.push_back(static_cast<uint8_t>(c & 0xFF));
            d.push_back(static_cast<uint8_t>(c >> 8));
        }
        return d;
    }

    std::mutex lock;
    std::map<int, std::vector<uint8_t>> strings;
    std::vector<std::string> opens;
    std::vector<int> controls;
    std::set<int> openFds;
    std::map<void *, size_t> mappings;
    std::vector<std::string> mounts;
    std::vector<std::string> nodes;
    int badUnmaps = 0;
    int mountResult = 0;
    bool failOpen = false;
    bool failMmap = false;
};
