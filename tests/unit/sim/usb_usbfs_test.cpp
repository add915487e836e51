// The USB stand-in against the kernel's usbfs behaviour: device files opened through
// sim::devOpen, their ioctls and error codes, epoll readiness, unplug, the memory
// budget, isochronous limits, fault injection and the trace.
#include "usb_fixture.h"

#include "sim/usb.h"
#include "sim/usb_internal.h"

#include "core/gpio.h"
#include "core/platform.h"
#include "core/sysroot.h"
#include "sim/board.h"
#include "sim/control.h"
#include "sim/devfile.h"
#include "sim/sim_platform.h"
#include "sim/standins.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace usbtest;

TEST_F(UsbStandIn, PlugWritesSysfsAndUeventsInTheKernelsFormats) {
    int ue = sim::usbUeventOpen();
    ASSERT_GE(ue, 0);
    // Port 6 of a 294 is bus 3, behind the board's hub at "1".
    int bus = 0;
    std::string devpath;
    ASSERT_TRUE(sim::usbPortLocation(6, bus, devpath));
    EXPECT_EQ(bus, 3);
    EXPECT_EQ(devpath, "1.2");
    std::string name = plug("3-1.2", "loopback", {{"bcd", "0123"}});
    EXPECT_EQ(name, "3-1.2");
    ASSERT_EQ(sim::usbDevices(), (std::vector<std::string>{"3-1", "3-1.2"}));

    std::string dir = sysPath("/sys/bus/usb/devices/3-1.2/");
    EXPECT_EQ(readFile(dir + "speed"), "480\n");
    EXPECT_EQ(readFile(dir + "version"), " 2.00\n");
    EXPECT_EQ(readFile(dir + "bMaxPower"), "100mA\n");
    EXPECT_EQ(readFile(dir + "bcdDevice"), "0123\n");
    EXPECT_EQ(readFile(dir + "idVendor"), "1d6b\n");
    EXPECT_EQ(readFile(dir + "devpath"), "1.2\n");
    EXPECT_EQ(readFile(dir + "busnum"), "3\n");
    EXPECT_EQ(readFile(dir + "manufacturer"), "Simulated Devices\n");
    EXPECT_EQ(readFile(dir + "product"), "Loopback\n");
    int devnum = std::stoi(readFile(dir + "devnum"));
    EXPECT_EQ(readFile(dir + "dev"), "189:" + std::to_string(256 + devnum - 1) + "\n");
    std::string raw = readFile(dir + "descriptors");
    ASSERT_GE(raw.size(), 18u + 9u);
    EXPECT_EQ(raw[1], USB_DT_DEVICE);
    EXPECT_EQ(raw[17], 2); // two configurations follow
    EXPECT_EQ(raw[18 + 1], USB_DT_CONFIG);
    EXPECT_TRUE(fs::exists(sim::usbNodePath(name)));

    auto events = drainUevents(ue);
    // hub device, hub interface, device, its interface
    ASSERT_EQ(events.size(), 4u);
    const auto &add = events[2];
    EXPECT_EQ(add[0].substr(0, 4), "add@");
    EXPECT_TRUE(has(add, "ACTION=add"));
    EXPECT_TRUE(has(add, "SUBSYSTEM=usb"));
    EXPECT_TRUE(has(add, "DEVTYPE=usb_device"));
    EXPECT_TRUE(has(add, "MAJOR=189"));
    EXPECT_TRUE(has(add, "PRODUCT=1d6b/104/123"));
    EXPECT_TRUE(has(add, "TYPE=0/0/0"));
    EXPECT_TRUE(has(add, "BUSNUM=003"));
    char devname[40];
    std::snprintf(devname, sizeof devname, "DEVNAME=bus/usb/003/%03d", devnum);
    EXPECT_TRUE(has(add, devname));
    std::string devpathVar = "DEVPATH=" + add[0].substr(4);
    EXPECT_TRUE(has(add, devpathVar));
    EXPECT_NE(devpathVar.find("/usb3/3-1/3-1.2"), std::string::npos);
    EXPECT_TRUE(has(events[3], "DEVTYPE=usb_interface"));
    EXPECT_TRUE(has(events[1], "TYPE=9/0/1")); // the hub: the daemon ignores it

    // A socket opened later gets the devices present replayed.
    int late = sim::usbUeventOpen();
    EXPECT_EQ(drainUevents(late).size(), 4u);

    EXPECT_EQ(sim::usbUnplug(name), 0);
    events = drainUevents(ue);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0][0].substr(0, 7), "remove@");
    EXPECT_TRUE(has(events[1], "ACTION=remove"));
    EXPECT_TRUE(has(events[1], "DEVTYPE=usb_device"));
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_EQ(sim::usbUnplug(name), -1);
    ::close(ue);
    ::close(late);
}

TEST_F(UsbStandIn, ClaimsAreExclusivePerFileAndImplicitOnFirstUse) {
    std::string name = plug("1-1", "loopback");
    int a = open(name), b = open(name);
    unsigned number = 0, missing = 5, huge = 40;
    EXPECT_EQ(call(a, USBDEVFS_CLAIMINTERFACE, &missing), -ENOENT);
    EXPECT_EQ(call(a, USBDEVFS_CLAIMINTERFACE, &huge), -EINVAL);
    EXPECT_EQ(call(b, USBDEVFS_RELEASEINTERFACE, &number), -EINVAL); // not claimed by b
    uint8_t buf[64] = {1, 2, 3};
    usbdevfs_urb u;
    EXPECT_EQ(submit(a, u, USBDEVFS_URB_TYPE_BULK, 0x01, buf, 3), 0); // claims interface 0 for a
    EXPECT_EQ(call(b, USBDEVFS_CLAIMINTERFACE, &number), -EBUSY);
    usbdevfs_urb v;
    EXPECT_EQ(submit(b, v, USBDEVFS_URB_TYPE_BULK, 0x01, buf, 3), -EBUSY);
    EXPECT_EQ(call(a, USBDEVFS_CLAIMINTERFACE, &number), 0); // already ours
    EXPECT_EQ(call(a, USBDEVFS_RELEASEINTERFACE, &number), 0);
    EXPECT_EQ(call(b, USBDEVFS_CLAIMINTERFACE, &number), 0);
    ASSERT_EQ(reap(a), &u);
    // Closing the file drops its claim.
    close(b);
    EXPECT_EQ(call(a, USBDEVFS_CLAIMINTERFACE, &number), 0);
}

TEST_F(UsbStandIn, FileIsWritableExactlyWhileCompletionsWait) {
    std::string name = plug("1-1", "loopback");
    int fd = open(name);
    EXPECT_EQ(events(fd), 0u);
    uint8_t in[512] = {}, out[5] = {'h', 'e', 'l', 'l', 'o'};
    usbdevfs_urb ui, uo;
    ASSERT_EQ(submit(fd, ui, USBDEVFS_URB_TYPE_BULK, 0x81, in, sizeof in), 0);
    EXPECT_EQ(events(fd), 0u) << "an IN transfer without data stays in flight";
    int err = 0;
    EXPECT_EQ(reap(fd, &err), nullptr);
    EXPECT_EQ(err, -EAGAIN);
    ASSERT_EQ(submit(fd, uo, USBDEVFS_URB_TYPE_BULK, 0x01, out, sizeof out), 0);
    EXPECT_EQ(events(fd), static_cast<uint32_t>(EPOLLOUT));
    // The device takes the OUT data, then sends it back on the IN endpoint.
    ASSERT_EQ(reap(fd), &uo);
    EXPECT_EQ(uo.actual_length, 5);
    EXPECT_EQ(events(fd), static_cast<uint32_t>(EPOLLOUT));
    ASSERT_EQ(reap(fd), &ui);
    EXPECT_EQ(ui.status, 0);
    EXPECT_EQ(ui.actual_length, 5);
    EXPECT_EQ(std::memcmp(in, "hello", 5), 0);
    EXPECT_EQ(events(fd), 0u);

    // A discarded URB completes with -ECONNRESET; an unknown one is EINVAL.
    ASSERT_EQ(submit(fd, ui, USBDEVFS_URB_TYPE_BULK, 0x81, in, sizeof in), 0);
    EXPECT_EQ(call(fd, USBDEVFS_DISCARDURB, &ui), 0);
    EXPECT_EQ(call(fd, USBDEVFS_DISCARDURB, &ui), -EINVAL);
    ASSERT_EQ(reap(fd), &ui);
    EXPECT_EQ(ui.status, -ECONNRESET);
}

TEST_F(UsbStandIn, SubmitChecksTypeDirectionAndLimits) {
    std::string lb = plug("1-1", "loopback");
    std::string iso = plug("1-2", "iso");
    int fd = open(lb), fi = open(iso);
    usbdevfs_setinterface alt{0, 1};
    ASSERT_EQ(call(fi, USBDEVFS_SETINTERFACE, &alt), 0);
    static uint8_t buf[128 * 3072];
    struct Case {
        const char *what;
        int file;
        int type;
        uint8_t ep;
        int len;
        unsigned flags;
        int packets;
        unsigned packetLength;
        int expect;
    } cases[] = {
        {"unknown type", fd, 7, 0x01, 8, 0, 0, 0, -EINVAL},
        {"unknown flag", fd, USBDEVFS_URB_TYPE_BULK, 0x01, 8, 0x100, 0, 0, -EINVAL},
        {"endpoint not in the interface", fd, USBDEVFS_URB_TYPE_BULK, 0x05, 8, 0, 0, 0, -ENOENT},
        {"interrupt on a bulk endpoint", fd, USBDEVFS_URB_TYPE_INTERRUPT, 0x01, 8, 0, 0, 0, -EINVAL},
        {"control shorter than its setup", fd, USBDEVFS_URB_TYPE_CONTROL, 0x00, 4, 0, 0, 0, -EINVAL},
        {"negative length", fd, USBDEVFS_URB_TYPE_BULK, 0x01, -1, 0, 0, 0, -EINVAL},
        {"bulk on an isochronous endpoint", fi, USBDEVFS_URB_TYPE_BULK, 0x81, 8, 0, 0, 0, -EINVAL},
        {"no packets", fi, USBDEVFS_URB_TYPE_ISO, 0x81, 0, 2, 0, 0, -EINVAL},
        {"129 packets", fi, USBDEVFS_URB_TYPE_ISO, 0x81, 0, 2, 129, 8, -EINVAL},
        {"packet above 8192 bytes", fi, USBDEVFS_URB_TYPE_ISO, 0x81, 0, 2, 1, 8193, -EINVAL},
        {"packet above three transactions", fi, USBDEVFS_URB_TYPE_ISO, 0x81, 0, 2, 1, 3073, -EMSGSIZE},
        {"packet above the OUT endpoint's size", fi, USBDEVFS_URB_TYPE_ISO, 0x02, 0, 2, 1, 1025, -EMSGSIZE},
        {"128 packets of three transactions", fi, USBDEVFS_URB_TYPE_ISO, 0x81, 0, 2, 128, 3072, 0},
    };
    for (const auto &c : cases) {
        std::vector<uint64_t> storage((sizeof(usbdevfs_urb) + 130 * sizeof(usbdevfs_iso_packet_desc)) / 8 +
                                      1);
        auto *u = reinterpret_cast<usbdevfs_urb *>(storage.data());
        u->type = static_cast<unsigned char>(c.type);
        u->endpoint = c.ep;
        u->flags = c.flags;
        u->buffer = buf;
        u->buffer_length = c.len;
        u->number_of_packets = c.packets;
        for (int k = 0; k < c.packets; k++)
            u->iso_frame_desc[k].length = c.packetLength;
        EXPECT_EQ(call(c.file, USBDEVFS_SUBMITURB, u), c.expect) << c.what;
        if (c.expect == 0) {
            ASSERT_EQ(reap(c.file), u) << c.what;
        }
    }
}

TEST_F(UsbStandIn, IsochronousInDeliversVaryingPacketLengthsAtTheirOffsets) {
    std::string name = plug("1-1", "iso", {{"lengths", "100,0,7"}});
    int fd = open(name);
    std::vector<uint64_t> storage((sizeof(usbdevfs_urb) + 4 * sizeof(usbdevfs_iso_packet_desc)) / 8 + 1);
    auto *u = reinterpret_cast<usbdevfs_urb *>(storage.data());
    uint8_t buf[4 * 64];
    std::memset(buf, 0xEE, sizeof buf);
    u->type = USBDEVFS_URB_TYPE_ISO;
    u->endpoint = 0x81;
    u->flags = USBDEVFS_URB_ISO_ASAP;
    u->buffer = buf;
    u->number_of_packets = 4;
    for (int k = 0; k < 4; k++)
        u->iso_frame_desc[k].length = 64;
    // Alternate setting 0 has no endpoints: as on a camera, the host selects 1 first.
    EXPECT_EQ(call(fd, USBDEVFS_SUBMITURB, u), -ENOENT);
    usbdevfs_setinterface bad{0, 3}, alt{0, 1};
    EXPECT_EQ(call(fd, USBDEVFS_SETINTERFACE, &bad), -EINVAL);
    ASSERT_EQ(call(fd, USBDEVFS_SETINTERFACE, &alt), 0);
    ASSERT_EQ(call(fd, USBDEVFS_SUBMITURB, u), 0);
    ASSERT_EQ(reap(fd), u);
    // 100 bytes into a 64-byte packet: babble, the packet keeps what fitted.
    unsigned expect[4] = {64, 0, 7, 64};
    int status[4] = {-EOVERFLOW, 0, 0, -EOVERFLOW};
    for (int k = 0; k < 4; k++) {
        EXPECT_EQ(u->iso_frame_desc[k].actual_length, expect[k]) << k;
        EXPECT_EQ(static_cast<int>(u->iso_frame_desc[k].status), status[k]) << k;
    }
    EXPECT_EQ(u->status, 0) << "packet errors are the packets' own";
    EXPECT_EQ(u->error_count, 2);
    EXPECT_EQ(u->actual_length, 135);
    EXPECT_EQ(buf[64], 0xEE) << "an empty packet leaves its place alone";
    EXPECT_EQ(buf[128], 64) << "the third packet's data starts at its own offset";
    EXPECT_EQ(buf[128 + 7], 0xEE);
}

TEST_F(UsbStandIn, UsbfsMemoryBudgetRefusesWithEnomem) {
    setMemoryLimit("1");
    std::string name = plug("1-1", "loopback");
    int fd = open(name);
    static uint8_t bufs[4][256 * 1024];
    usbdevfs_urb u[4];
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(submit(fd, u[i], USBDEVFS_URB_TYPE_BULK, 0x81, bufs[i], sizeof bufs[i]), 0) << i;
    EXPECT_EQ(submit(fd, u[3], USBDEVFS_URB_TYPE_BULK, 0x81, bufs[3], sizeof bufs[3]), -ENOMEM);
    // Memory comes back once a URB is reaped.
    ASSERT_EQ(call(fd, USBDEVFS_DISCARDURB, &u[0]), 0);
    EXPECT_EQ(submit(fd, u[3], USBDEVFS_URB_TYPE_BULK, 0x81, bufs[3], sizeof bufs[3]), -ENOMEM);
    ASSERT_EQ(reap(fd), &u[0]);
    EXPECT_EQ(submit(fd, u[3], USBDEVFS_URB_TYPE_BULK, 0x81, bufs[3], sizeof bufs[3]), 0);
    // A buffer mmap'ed from the file was charged when mapped.
    void *map = sim::devMmap(nullptr, 300 * 1024, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    EXPECT_EQ(map, MAP_FAILED);
    EXPECT_EQ(errno, ENOMEM);
    // The limit is read when a file opens, not at every submit.
    setMemoryLimit("0"); // no limit
    EXPECT_EQ(sim::devMmap(nullptr, 300 * 1024, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0), MAP_FAILED);
    open(name);
    map = sim::devMmap(nullptr, 300 * 1024, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(map, MAP_FAILED);
    uint64_t before = sim::usbMemoryInUse();
    ASSERT_EQ(submit(fd, u[0], USBDEVFS_URB_TYPE_BULK, 0x81, map, 300 * 1024), 0);
    EXPECT_LT(sim::usbMemoryInUse() - before, 1024u);
    for (int i = 0; i < 4; i++)
        call(fd, USBDEVFS_DISCARDURB, &u[i]);
    while (reap(fd)) {
    }
    EXPECT_EQ(sim::devMunmap(map, 300 * 1024), 0);
}

TEST_F(UsbStandIn, UnplugCompletesInFlightUrbsHangsUpThenReapSaysEnodev) {
    for (bool removeFirst : {false, true}) {
        sim::usbSetRemoveFirst(removeFirst);
        int ue = sim::usbUeventOpen();
        std::string name = plug("1-1", "loopback");
        int fd = open(name);
        drainUevents(ue);
        uint8_t in[64];
        usbdevfs_urb u;
        ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x81, in, sizeof in), 0);
        std::string node = sim::usbNodePath(name);
        ASSERT_EQ(sim::usbUnplug(name), 0);
        expectGone(fd, &u);
        unsigned number = 0;
        EXPECT_EQ(call(fd, USBDEVFS_CLAIMINTERFACE, &number), -ENODEV);
        EXPECT_EQ(call(fd, USBDEVFS_RESET, nullptr), -ENODEV);
        auto events = drainUevents(ue);
        ASSERT_FALSE(events.empty());
        EXPECT_TRUE(has(events.back(), "ACTION=remove"));
        // The order of the hang-up and the uevent as chosen.
        auto trace = sim::usbTrace(name);
        ASSERT_GE(trace.size(), 2u);
        std::vector<std::string> last(trace.end() - 2, trace.end());
        std::vector<std::string> expect = {"HANGUP", "UEVENT remove"};
        if (removeFirst) std::swap(expect[0], expect[1]);
        EXPECT_EQ(last, expect);
        // The node stays without its device: a new open finds no device.
        EXPECT_EQ(sim::devOpen(node.c_str(), O_RDWR, 0), -1);
        EXPECT_EQ(errno, ENODEV);
        fs::remove(node);
        EXPECT_EQ(sim::devOpen(node.c_str(), O_RDWR, 0), -1);
        EXPECT_EQ(errno, ENOENT) << "no node at all";
        close(fd);
        ::close(ue);
    }
}

TEST_F(UsbStandIn, ControlCopiesExactlyWhatTheDeviceSendsAndStalls) {
    std::string name = plug("1-1", "loopback");
    int fd = open(name);
    uint8_t data[300];
    std::memset(data, 0xAA, sizeof data);
    usbdevfs_ctrltransfer c{0x80, USB_REQ_GET_DESCRIPTOR, USB_DT_DEVICE << 8, 0, 8, 1000, data};
    EXPECT_EQ(call(fd, USBDEVFS_CONTROL, &c), 8);
    EXPECT_EQ(data[0], 18);
    EXPECT_EQ(data[8], 0xAA) << "nothing beyond wLength";
    c.wLength = 255;
    EXPECT_EQ(call(fd, USBDEVFS_CONTROL, &c), 18);
    // A string in German, and the language list.
    c = {0x80, USB_REQ_GET_DESCRIPTOR, USB_DT_STRING << 8 | 1, 0x0407, 255, 1000, data};
    int n = call(fd, USBDEVFS_CONTROL, &c);
    ASSERT_GT(n, 2);
    EXPECT_EQ(data[0], n);
    EXPECT_EQ(data[2 + 2 * 14], 0xE4) << "a Latin-1 letter in one unit";
    c = {0x80, USB_REQ_GET_DESCRIPTOR, USB_DT_STRING << 8, 0, 255, 1000, data};
    EXPECT_EQ(call(fd, USBDEVFS_CONTROL, &c), 6);
    // A request the device does not know stalls; a data stage above a page is refused.
    c = {0xC0, 0x33, 0, 0, 4, 1000, data};
    EXPECT_EQ(call(fd, USBDEVFS_CONTROL, &c), -EPIPE);
    c.wLength = 4097;
    EXPECT_EQ(call(fd, USBDEVFS_CONTROL, &c), -EINVAL);
    // An interface request on an interface that does not exist.
    c = {0x81, USB_REQ_GET_INTERFACE, 0, 9, 1, 1000, data};
    EXPECT_EQ(call(fd, USBDEVFS_CONTROL, &c), -ENOENT);

    // A file opened read-only gives the descriptors to read() but takes no ioctl.
    int ro = sim::devOpen(sim::usbNodePath(name).c_str(), O_RDONLY, 0);
    ASSERT_GE(ro, 0);
    fds_.push_back(ro);
    c = {0x80, USB_REQ_GET_DESCRIPTOR, USB_DT_DEVICE << 8, 0, 18, 1000, data};
    EXPECT_EQ(call(ro, USBDEVFS_CONTROL, &c), -EPERM);
    uint8_t raw[18 + 9];
    EXPECT_EQ(sim::devRead(ro, raw, sizeof raw), static_cast<ssize_t>(sizeof raw));
    EXPECT_EQ(raw[0], 18);
    EXPECT_EQ(raw[18 + 1], USB_DT_CONFIG);

    std::string dongle = plug("1-2", "dongle");
    int fdd = open(dongle);
    c = {0xC0, 1, 0, 0, 64, 1000, data};
    EXPECT_EQ(call(fdd, USBDEVFS_CONTROL, &c), 8);
    c = {0xC0, 3, 0, 0, 4, 20, data}; // never answered: the time-out
    EXPECT_EQ(call(fdd, USBDEVFS_CONTROL, &c), -ETIMEDOUT);
}

TEST_F(UsbStandIn, StallingEndpointNeedsClearHaltNotResetEp) {
    std::string name = plug("1-1", "loopback");
    int fd = open(name);
    ASSERT_EQ(sim::usbStall(name, 0x01), 0);
    uint8_t buf[8] = {};
    usbdevfs_urb u;
    ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x01, buf, 8), 0);
    ASSERT_EQ(reap(fd), &u);
    EXPECT_EQ(u.status, -EPIPE);
    uint8_t status[2];
    usbdevfs_ctrltransfer c{0x82, USB_REQ_GET_STATUS, 0, 0x01, 2, 1000, status};
    ASSERT_EQ(call(fd, USBDEVFS_CONTROL, &c), 2);
    EXPECT_EQ(status[0], 1);
    unsigned ep = 0x01, bad = 0x07;
    EXPECT_EQ(call(fd, USBDEVFS_RESETEP, &ep), 0);
    ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x01, buf, 8), 0);
    ASSERT_EQ(reap(fd), &u);
    EXPECT_EQ(u.status, -EPIPE) << "RESETEP resets only the host's side";
    EXPECT_EQ(call(fd, USBDEVFS_CLEAR_HALT, &bad), -ENOENT);
    EXPECT_EQ(call(fd, USBDEVFS_CLEAR_HALT, &ep), 0);
    ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x01, buf, 8), 0);
    ASSERT_EQ(reap(fd), &u);
    EXPECT_EQ(u.status, 0);

    // The stalling model stalls its IN endpoint on every transfer.
    std::string stall = plug("1-2", "stall");
    int fs2 = open(stall);
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(submit(fs2, u, USBDEVFS_URB_TYPE_BULK, 0x81, buf, 8), 0);
        ASSERT_EQ(reap(fs2), &u);
        EXPECT_EQ(u.status, -EPIPE);
        unsigned in = 0x81;
        EXPECT_EQ(call(fs2, USBDEVFS_CLEAR_HALT, &in), 0);
    }
}

TEST_F(UsbStandIn, ConfigurationChangesNeedReleasedInterfacesAndResetsEndTransfers) {
    std::string name = plug("1-1", "loopback");
    int fd = open(name);
    unsigned number = 0;
    ASSERT_EQ(call(fd, USBDEVFS_CLAIMINTERFACE, &number), 0);
    int config = 2, missing = 7;
    EXPECT_EQ(call(fd, USBDEVFS_SETCONFIGURATION, &config), -EBUSY);
    ASSERT_EQ(call(fd, USBDEVFS_RELEASEINTERFACE, &number), 0);
    EXPECT_EQ(call(fd, USBDEVFS_SETCONFIGURATION, &missing), -EINVAL);
    ASSERT_EQ(call(fd, USBDEVFS_SETCONFIGURATION, &config), 0);
    uint8_t buf[8] = {};
    usbdevfs_urb u;
    EXPECT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x01, buf, 8), -ENOENT);
    ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x82, buf, 8), 0);
    // A reset (usbfs or the board's request) kills what is in flight and drops the
    // claims, as the kernel unbinds usbfs for it.
    ASSERT_EQ(call(fd, USBDEVFS_RESET, nullptr), 0);
    ASSERT_EQ(reap(fd), &u);
    EXPECT_EQ(u.status, -ENOENT);
    int other = open(name);
    EXPECT_EQ(call(other, USBDEVFS_CLAIMINTERFACE, &number), 0);
    close(other);
    EXPECT_EQ(call(fd, 0x5520, nullptr), 0);
    auto trace = sim::usbTrace(name);
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.back(), "RESET5520 -> 0");
}

TEST_F(UsbStandIn, InjectedErrorsAndTheTrace) {
    std::string name = plug("1-1", "loopback");
    int fd = open(name);
    EXPECT_EQ(sim::usbInject(name, "SUBMITURB", EIO, 1), 0);
    EXPECT_EQ(sim::usbInject("9-9", "SUBMITURB", EIO, 1), -1);
    uint8_t buf[4] = {};
    usbdevfs_urb u;
    EXPECT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x01, buf, 4), -EIO);
    EXPECT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x01, buf, 4), 0);
    ASSERT_EQ(reap(fd), &u);
    EXPECT_EQ(sim::usbInject(name, "CLAIMINTERFACE", ENODEV, -1), 0);
    unsigned number = 0;
    EXPECT_EQ(call(fd, USBDEVFS_CLAIMINTERFACE, &number), -ENODEV);
    EXPECT_EQ(call(fd, USBDEVFS_CLAIMINTERFACE, &number), -ENODEV);
    EXPECT_EQ(sim::usbInject(name, "CLAIMINTERFACE", 0, 0), 0);
    EXPECT_EQ(call(fd, USBDEVFS_CLAIMINTERFACE, &number), 0);
    auto trace = sim::usbTrace(name);
    std::vector<std::string> expect = {"OPEN -> 0",
                                       "SUBMITURB (injected) -> EIO",
                                       "SUBMITURB type=3 ep=0x01 len=4 -> 0",
                                       "REAPURBNDELAY -> 0",
                                       "CLAIMINTERFACE (injected) -> ENODEV",
                                       "CLAIMINTERFACE (injected) -> ENODEV",
                                       "CLAIMINTERFACE 0 -> 0"};
    EXPECT_EQ(trace, expect);
    sim::usbClearTrace(name);
    EXPECT_TRUE(sim::usbTrace(name).empty());
}

TEST_F(UsbStandIn, VanishingDeviceLeavesAfterItsBytes) {
    std::string name = plug("1-1", "vanish", {{"bytes", "1000"}});
    int fd = open(name);
    uint8_t buf[600] = {};
    usbdevfs_urb a, b;
    ASSERT_EQ(submit(fd, a, USBDEVFS_URB_TYPE_BULK, 0x01, buf, 600), 0);
    ASSERT_EQ(submit(fd, b, USBDEVFS_URB_TYPE_BULK, 0x01, buf, 600), 0);
    EXPECT_TRUE(sim::usbDevices().empty());
    EXPECT_TRUE(events(fd) & EPOLLHUP);
    ASSERT_EQ(reap(fd), &a);
    ASSERT_EQ(reap(fd), &b);
    int err = 0;
    EXPECT_EQ(reap(fd, &err), nullptr);
    EXPECT_EQ(err, -ENODEV);
}

TEST_F(UsbStandIn, MassStorageRoundTripsBlocksThroughTheImage) {
    std::string image = sandbox.path + "/disk.img";
    {
        std::ofstream f(image, std::ios::binary);
        std::string zeros(64 * 512, '\0');
        f << zeros;
    }
    std::string name = plug("1-1", "storage", {{"image", image}});
    int fd = open(name);
    uint32_t tag = 1;
    // One Bulk-Only command: CBW, data, CSW; returns the CSW status, or -1.
    auto command = [&](std::vector<uint8_t> cb, bool in, uint8_t *data, uint32_t length) {
        uint8_t cbw[31] = {'U', 'S', 'B', 'C'};
        std::memcpy(cbw + 4, &tag, 4);
        std::memcpy(cbw + 8, &length, 4);
        cbw[12] = in ? 0x80 : 0;
        cbw[14] = static_cast<uint8_t>(cb.size());
        std::memcpy(cbw + 15, cb.data(), cb.size());
        usbdevfs_urb u;
        if (submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x02, cbw, 31) != 0 || reap(fd) != &u) return -1;
        if (length > 0) {
            if (submit(fd, u, USBDEVFS_URB_TYPE_BULK, in ? 0x81 : 0x02, data, static_cast<int>(length)) !=
                    0 ||
                reap(fd) != &u || u.status != 0)
                return -1;
        }
        uint8_t csw[13] = {};
        if (submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x81, csw, 13) != 0 || reap(fd) != &u ||
            u.actual_length != 13)
            return -1;
        uint32_t echoed;
        std::memcpy(&echoed, csw + 4, 4);
        if (std::memcmp(csw, "USBS", 4) != 0 || echoed != tag++) return -1;
        return static_cast<int>(csw[12]);
    };
    uint8_t inquiry[36];
    EXPECT_EQ(command({0x12, 0, 0, 0, 36, 0}, true, inquiry, 36), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(inquiry) + 8, 6), "QMRSIM");
    uint8_t capacity[8];
    EXPECT_EQ(command({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, capacity, 8), 0);
    EXPECT_EQ(capacity[3], 63);
    uint8_t block[1024];
    for (int i = 0; i < 1024; i++)
        block[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(command({0x2A, 0, 0, 0, 0, 10, 0, 0, 2, 0}, false, block, 1024), 0);
    uint8_t back[1024] = {};
    EXPECT_EQ(command({0x28, 0, 0, 0, 0, 10, 0, 0, 2, 0}, true, back, 1024), 0);
    EXPECT_EQ(std::memcmp(block, back, 1024), 0);
    std::string onDisk = readFile(image).substr(10 * 512, 1024);
    EXPECT_EQ(std::memcmp(onDisk.data(), block, 1024), 0);
    // Beyond the end: the command fails without data.
    EXPECT_EQ(command({0x2A, 0, 0, 0, 0, 64, 0, 0, 1, 0}, false, block, 0), 1);
}

TEST_F(UsbStandIn, PacedDeviceCompletesLater) {
    std::string name = plug("1-1", "loopback", {{"pace", "1000000"}});
    int fd = open(name);
    static uint8_t buf[500000];
    usbdevfs_urb u;
    ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x01, buf, sizeof buf), 0);
    int err = 0;
    EXPECT_EQ(reap(fd, &err), nullptr);
    EXPECT_EQ(err, -EAGAIN);
    void *p = nullptr;
    ASSERT_EQ(call(fd, USBDEVFS_REAPURB, &p), 0); // waits for it
    EXPECT_EQ(p, &u);
    EXPECT_EQ(u.actual_length, static_cast<int>(sizeof buf));
}

TEST_F(UsbStandIn, BlockingReapWakesWithEnodevOnUnplug) {
    std::string name = plug("1-1", "loopback");
    int fd = open(name);
    int result = 0;
    std::thread reaper([&] {
        void *p = nullptr;
        result = call(fd, USBDEVFS_REAPURB, &p);
    });
    // Whenever the reaper got to wait, the unplug ends its wait.
    ASSERT_EQ(sim::usbUnplug(name), 0);
    reaper.join();
    EXPECT_EQ(result, -ENODEV);
}

TEST_F(UsbStandIn, PortPowerUnplugsAndReplugsThePortsDevices) {
    std::string name = plug("3-1.2", "hid");
    ASSERT_EQ(sim::usbDevices().size(), 2u);
    std::string before = readFile(sysPath("/sys/bus/usb/devices/3-1.2/devnum"));
    sim::usbPortPower(6, false);
    EXPECT_EQ(sim::usbDevices(), std::vector<std::string>{"3-1"}) << "the board's hub stays";
    // A device plugged while the power is off waits for it.
    plug("3-1.2", "hid");
    EXPECT_EQ(sim::usbDevices().size(), 1u);
    sim::usbPortPower(6, true);
    EXPECT_EQ(sim::usbDevices(), (std::vector<std::string>{"3-1", "3-1.2"}));
    EXPECT_NE(readFile(sysPath("/sys/bus/usb/devices/3-1.2/devnum")), before) << "a new device number";
    EXPECT_EQ(readFile(sysPath("/sys/bus/usb/devices/3-1.2/speed")), "1.5\n");
}

// The daemon switches port n ("zqn_ppwr_<n>") on the board's line n - 1; that line
// takes the devices of port n away and brings them back, whatever it read before.
TEST_F(UsbStandIn, BoardPowerLinesSwitchThePortsTheDaemonNames) {
    setPlatform(simPlatform());
    sim::board::install();
    sim::board::reset();
    plug("1-1.1", "hid"); // port 1 of the 294
    plug("1-1.2", "hid"); // port 2
    {
        GpioDevice dev(294, 8);
        ASSERT_TRUE(dev.open());
        // Line 0 reads off on a fresh board, yet port 1 is powered until switched off.
        EXPECT_TRUE(dev.setPortPower(0, false));
        EXPECT_EQ(sim::usbDevices(), (std::vector<std::string>{"1-1", "1-1.2"}));
        EXPECT_TRUE(dev.setPortPower(1, false));
        EXPECT_EQ(sim::usbDevices(), std::vector<std::string>{"1-1"});
        EXPECT_TRUE(dev.setPortPower(0, true));
        EXPECT_EQ(sim::usbDevices(), (std::vector<std::string>{"1-1", "1-1.1"}));
        EXPECT_TRUE(dev.close());
    }
    EXPECT_EQ(sim::usbDevices(), std::vector<std::string>{"1-1"}) << "closing switches every port off";
    sim::board::reset();
    EXPECT_EQ(sim::usbDevices().size(), 3u) << "a fresh board powers every port";
    sim::board::uninstall();
    setPlatform(linuxPlatform());
}

TEST(UsbPorts, DerivationFollowsTheProducts) {
    struct Case {
        uint32_t product, hw;
        int bus;
        const char *devpath;
        bool pci;
        int port;
    } cases[] = {
        {294, 2, 3, "1.2", false, 6},    {294, 2, 1, "1.3", false, 3}, {294, 2, 4, "1.1", false, -1},
        {287, 2, 1, "1", false, 1},      {287, 2, 4, "1.3", false, 2}, {287, 2, 5, "1", false, -1},
        {295, 1, 3, "1.6.2", false, 12}, {278, 1, 1, "2.3", false, 8}, {282, 1, 1, "1.7.2", false, 8},
        {305, 1, 3, "1", true, 2},       {305, 1, 2, "1", false, 1},   {305, 1, 1, "1", false, -1},
        {305, 4, 3, "2", true, 1},       {305, 3, 3, "1", true, 2},    {303, 4, 3, "1", false, -1},
        {999, 1, 1, "1", false, -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(sim::usbPortOf(c.product, c.hw, c.bus, c.devpath, c.pci), c.port)
            << c.product << " " << c.bus << "-" << c.devpath;
}

TEST_F(UsbStandIn, StringsBeyondLatin1AndBrokenDescriptorsReachTheHost) {
    std::string cjk = plug("1-1", "loopback", {{"strings", "cjk"}});
    EXPECT_EQ(readFile(sysPath("/sys/bus/usb/devices/1-1/product")), "Loopback \xE4\xB8\xAD\xE6\x96\x87\n");
    std::string broken = plug("1-2", "loopback", {{"strings", "broken"}});
    int fd = open(broken);
    uint8_t data[255];
    usbdevfs_ctrltransfer c{0x80, USB_REQ_GET_DESCRIPTOR, USB_DT_STRING << 8 | 2, 0x0409, 255, 1000, data};
    EXPECT_EQ(call(fd, USBDEVFS_CONTROL, &c), 6) << "bLength says 40, six bytes come";
    EXPECT_EQ(data[0], 40);
    std::string error;
    EXPECT_EQ(sim::usbPlug(1, "1-3", "loopback", {}, error), "");
    EXPECT_EQ(sim::usbPlug(1, "3", "toaster", {}, error), "");
    EXPECT_EQ(error, "unknown kind toaster");
    EXPECT_EQ(sim::usbPlug(1, "1.1", "loopback", {}, error), "");
    EXPECT_EQ(error, "not behind a hub");
}

} // namespace

namespace {

TEST_F(UsbStandIn, ControlCommandsDriveTheDevices) {
    std::string &out = out_;
    auto run = [&](const std::string &line) { return command(line); };
    EXPECT_EQ(run("usb plug port:2 hid"), "");
    EXPECT_EQ(out, "1-1.2\n");
    int fd = open("1-1.2");
    uint8_t report[8] = {};
    usbdevfs_urb u;
    ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_INTERRUPT, 0x81, report, 8), 0);
    EXPECT_EQ(reap(fd), nullptr) << "no key pressed yet";
    EXPECT_EQ(run("usb poke 1-1.2 report 0000040000000000"), "");
    ASSERT_EQ(reap(fd), &u);
    EXPECT_EQ(u.actual_length, 8);
    EXPECT_EQ(report[2], 4);

    EXPECT_EQ(run("usb inject 1-1.2 RESET EPIPE 1"), "");
    EXPECT_EQ(call(fd, USBDEVFS_RESET, nullptr), -EPIPE);
    EXPECT_EQ(run("usb trace 1-1.2"), "");
    EXPECT_NE(out.find("RESET (injected) -> EPIPE\n"), std::string::npos);
    EXPECT_EQ(run("usb stall 1-1.2 81"), "");
    ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_INTERRUPT, 0x81, report, 8), 0);
    ASSERT_EQ(reap(fd), &u);
    EXPECT_EQ(u.status, -EPIPE);

    out.clear();
    sim::usbStateLines(out);
    EXPECT_NE(out.find("usb 1-1.2 bus 1 dev "), std::string::npos);
    EXPECT_NE(out.find("port 2 kind hid id 046d:c31c"), std::string::npos);
    EXPECT_NE(out.find("usb 1-1 bus 1"), std::string::npos);

    // Bad input gets a reason and changes nothing.
    const char *bad[] = {"usb",
                         "usb plug",
                         "usb plug 1-1.2 hid",
                         "usb plug port:99 hid",
                         "usb plug 1-0 hid",
                         "usb plug 17-1 hid",
                         "usb plug 1-1.1.1.1.1.1 hid",
                         "usb plug 1-3 hid speed=warp",
                         "usb plug 1-3 hid colour=red",
                         "usb plug 1-3 hid =x",
                         "usb plug 1-3 storage image=/nonexistent",
                         "usb plug 1-3 iso lengths=1,,2",
                         "usb plug 1-3 loopback vid=12345",
                         "usb unplug 9-9",
                         "usb inject 1-1.2 RESET EWHAT",
                         "usb poke 1-1.2 report 0",
                         "usb poke 1-1.2 report zz",
                         "usb order sideways",
                         "usb dance"};
    for (const char *line : bad)
        EXPECT_NE(run(line), "") << line;
    EXPECT_EQ(sim::usbDevices(), (std::vector<std::string>{"1-1", "1-1.2"}));
    EXPECT_EQ(run("usb unplug 1-1"), "");
    EXPECT_TRUE(sim::usbDevices().empty()) << "the hub takes its device along";
}

} // namespace
