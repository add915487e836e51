// The fixture of the USB stand-in's tests: a sandbox root of the test process (a
// product 294), a fresh bus per test, device files opened through sim::devOpen and
// the ioctls as the daemon issues them.
#pragma once

#include "sim/usb.h"
#include "sim/usb_internal.h"

#include "core/sysroot.h"
#include "sim/control.h"
#include "sim/devfile.h"
#include "sim/standins.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace usbtest {

namespace fs = std::filesystem;

// Every test process gets its own sandbox root, set before anything reads it. The
// product is a 294 (ports behind the board's hubs, bus 3 for ports 5 to 8).
struct SandboxRoot {
    std::string path;
    SandboxRoot() {
        char tmpl[] = "/tmp/qmr-usb-XXXXXX";
        path = mkdtemp(tmpl);
        setenv("QMR_ROOT", path.c_str(), 1);
        fs::create_directories(path + "/proc");
        fs::create_directories(path + "/sys/module/usbcore/parameters");
        std::ofstream(path + "/proc/product_params") << "hw_project=294\nhw_major=2\nusb_ports_phy=8\n";
    }
    ~SandboxRoot() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};
inline SandboxRoot sandbox;

inline void setMemoryLimit(const char *mb) {
    std::ofstream(sandbox.path + "/sys/module/usbcore/parameters/usbfs_memory_mb") << mb << "\n";
}

class UsbStandIn : public ::testing::Test {
protected:
    void SetUp() override {
        sim::registerDevicePath(sysPath("/dev/bus/usb/"), sim::usb::openUsbFile);
        setMemoryLimit("16");
    }
    void TearDown() override {
        for (int fd : fds_)
            sim::devClose(fd);
        sim::usbUnplugAll();
        sim::usbSetRemoveFirst(false);
        EXPECT_EQ(sim::openDeviceFiles(), 0);
        EXPECT_EQ(sim::usbMemoryInUse(), 0u);
    }
    std::string plug(const std::string &where, const std::string &kind, const sim::UsbOptions &options = {}) {
        std::string error;
        size_t dash = where.find('-');
        std::string name =
            sim::usbPlug(std::stoi(where.substr(0, dash)), where.substr(dash + 1), kind, options, error);
        EXPECT_EQ(error, "");
        return name;
    }
    int open(const std::string &name) {
        int fd = sim::devOpen(sim::usbNodePath(name).c_str(), O_RDWR, 0);
        EXPECT_GE(fd, 0) << strerror(errno);
        fds_.push_back(fd);
        return fd;
    }
    void close(int fd) {
        fds_.erase(std::remove(fds_.begin(), fds_.end(), fd), fds_.end());
        sim::devClose(fd);
    }
    // An isochronous device's file with the alternate setting of its endpoints.
    int openIso(const std::string &name) {
        int fd = open(name);
        usbdevfs_setinterface alt{0, 1};
        EXPECT_EQ(call(fd, USBDEVFS_SETINTERFACE, &alt), 0);
        return fd;
    }
    // A file whose device went: it hangs up, u comes back with -ESHUTDOWN, then every
    // reap says ENODEV.
    void expectGone(int fd, usbdevfs_urb *u) {
        EXPECT_TRUE(events(fd) & EPOLLHUP);
        EXPECT_EQ(reap(fd), u);
        EXPECT_EQ(u->status, -ESHUTDOWN);
        int err = 0;
        EXPECT_EQ(reap(fd, &err), nullptr);
        EXPECT_EQ(err, -ENODEV);
    }
    // Runs a "usb" control command line; its answer lines in out_.
    std::string command(const std::string &line) {
        out_.clear();
        return sim::usbControl(sim::splitWords(line), out_);
    }
    // -errno or the result of the ioctl.
    static int call(int fd, unsigned long request, void *arg) {
        int r = sim::devIoctl(fd, request, arg);
        return r < 0 ? -errno : r;
    }
    static int submit(int fd, usbdevfs_urb &u, int type, uint8_t ep, void *buf, int len) {
        u = {};
        u.type = static_cast<unsigned char>(type);
        u.endpoint = ep;
        u.buffer = buf;
        u.buffer_length = len;
        return call(fd, USBDEVFS_SUBMITURB, &u);
    }
    static usbdevfs_urb *reap(int fd, int *err = nullptr) {
        void *p = nullptr;
        int r = call(fd, USBDEVFS_REAPURBNDELAY, &p);
        if (err) *err = r;
        return r == 0 ? static_cast<usbdevfs_urb *>(p) : nullptr;
    }
    // The epoll events the daemon would see on the file (EPOLLOUT | EPOLLHUP armed).
    static uint32_t events(int fd) {
        int ep = epoll_create1(EPOLL_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLOUT | EPOLLHUP;
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
        epoll_event out{};
        int n = epoll_wait(ep, &out, 1, 0);
        ::close(ep);
        return n > 0 ? out.events : 0;
    }
    std::vector<int> fds_;
    std::string out_;
};

// An isochronous URB with room for its packet descriptors.
struct IsoUrb {
    std::vector<uint64_t> storage;
    usbdevfs_urb *u;
    IsoUrb(uint8_t endpoint, void *buffer, int packets, unsigned length)
        : storage((sizeof(usbdevfs_urb) + static_cast<size_t>(packets) * sizeof(usbdevfs_iso_packet_desc)) /
                      8 +
                  1),
          u(reinterpret_cast<usbdevfs_urb *>(storage.data())) {
        u->type = USBDEVFS_URB_TYPE_ISO;
        u->endpoint = endpoint;
        u->flags = USBDEVFS_URB_ISO_ASAP;
        u->buffer = buffer;
        u->buffer_length = packets * static_cast<int>(length);
        u->number_of_packets = packets;
        for (int k = 0; k < packets; k++)
            u->iso_frame_desc[k].length = length;
    }
};

inline std::string readFile(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Splits a uevent datagram into its zero-terminated texts.
inline std::vector<std::string> fields(const char *buf, ssize_t n) {
    std::vector<std::string> out;
    for (ssize_t at = 0; at < n;) {
        std::string s(buf + at);
        at += static_cast<ssize_t>(s.size()) + 1;
        out.push_back(s);
    }
    return out;
}

inline std::vector<std::vector<std::string>> drainUevents(int fd) {
    std::vector<std::vector<std::string>> out;
    char buf[4096];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
        out.push_back(fields(buf, n));
    return out;
}

inline bool has(const std::vector<std::string> &v, const std::string &s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

} // namespace usbtest
