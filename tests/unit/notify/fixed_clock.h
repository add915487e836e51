// Test helper: the appliance's wall clock stopped at a given time (UTC) while the object
// lives; every other platform call goes to the real system calls.
#pragma once

#include "core/platform.h"

#include <cstdlib>
#include <sys/time.h>

class FixedClock : public Platform {
public:
    explicit FixedClock(time_t at) : at_(at), real_(linuxPlatform()) {
        setenv("TZ", "UTC0", 1);
        tzset();
        setPlatform(*this);
    }
    ~FixedClock() override { setPlatform(real_); }
    void set(time_t at) { at_ = at; }

    int wallClock(struct timeval *tv) override {
        tv->tv_sec = at_;
        tv->tv_usec = 0;
        return 0;
    }
    const char *name() const override { return "fixed-clock"; }
    int start() override { return 0; }
    void stop() override {}
    int open(const char *path, int flags, mode_t mode) override { return real_.open(path, flags, mode); }
    int close(int fd) override { return real_.close(fd); }
    int ioctl(int fd, unsigned long request, void *arg) override { return real_.ioctl(fd, request, arg); }
    ssize_t read(int fd, void *buf, size_t n) override { return real_.read(fd, buf, n); }
    ssize_t write(int fd, const void *buf, size_t n) override { return real_.write(fd, buf, n); }
    off_t lseek(int fd, off_t offset, int whence) override { return real_.lseek(fd, offset, whence); }
    void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) override {
        return real_.mmap(addr, length, prot, flags, fd, offset);
    }
    int munmap(void *addr, size_t length) override { return real_.munmap(addr, length); }
    int mount(const char *, const char *, const char *, unsigned long, const void *) override { return -1; }
    int umount2(const char *, int) override { return -1; }
    int setTimeOfDay(const struct timeval *) override { return -1; }

private:
    time_t at_;
    Platform &real_;
};
