// The stand-in's transfers as devices and a host controller make them: packets of the
// endpoints' size, injected completion statuses, control answer times and time-outs,
// resets, the caller's URB records, and the timing of paced buses.
#include "usb_fixture.h"

#include "core/crc32.h"

#include <sys/mman.h>
#include <thread>

namespace {

using namespace usbtest;
using sim::usb::Urb;

// Byte k of the OUT data of a test: a pattern that shows misplaced bytes.
uint8_t pattern(size_t k) {
    return static_cast<uint8_t>(k * 7 + k / 251);
}

TEST_F(UsbStandIn, LoopbackSendsBackInPacketsAndEndsInTransfersWhereOutOnesEnded) {
    const unsigned Zlp = USBDEVFS_URB_ZERO_PACKET, ShortNotOk = USBDEVFS_URB_SHORT_NOT_OK;
    struct Case {
        const char *what;
        const char *speed;
        std::vector<int> outs;
        unsigned outFlags;
        std::vector<int> ins;
        unsigned inFlags;
        std::vector<std::pair<int, int>> results; // (actual, status) of each IN
        bool lastWaits;                           // the last IN stays in flight
    } cases[] = {
        {"a short packet ends the IN", "high", {1000}, 0, {4096}, 0, {{1000, 0}}, false},
        {"full packets end nothing", "high", {512}, 0, {1024}, 0, {{512, -ECONNRESET}}, true},
        {"a zero-length packet after full ones", "high", {512}, Zlp, {1024}, 0, {{512, 0}}, false},
        {"an empty OUT is a zero-length packet", "high", {0}, 0, {512}, 0, {{0, 0}}, false},
        {"babble when a packet does not fit", "high", {1000}, 0, {700}, 0, {{700, -EOVERFLOW}}, false},
        {"a full buffer ends the IN", "high", {1024}, 0, {512, 512}, 0, {{512, 0}, {512, 0}}, false},
        {"each OUT's short packet stays", "high", {511, 1}, 0, {512, 512}, 0, {{511, 0}, {1, 0}}, false},
        {"full speed: 64-byte packets", "full", {100}, 0, {64, 64}, 0, {{64, 0}, {36, 0}}, false},
        {"a short IN that must not be", "high", {100}, 0, {512}, ShortNotOk, {{100, -EREMOTEIO}}, false},
        {"a full IN that may not be short", "high", {512, 0}, 0, {512}, ShortNotOk, {{512, 0}}, false},
    };
    int slot = 1;
    for (const auto &c : cases) {
        std::string name = plug("1-" + std::to_string(slot++), "loopback", {{"speed", c.speed}});
        int fd = open(name);
        std::vector<uint8_t> stream;
        for (int length : c.outs) {
            std::vector<uint8_t> out(static_cast<size_t>(std::max(length, 1)));
            for (size_t k = 0; k < out.size(); k++)
                out[k] = pattern(stream.size() + k);
            stream.insert(stream.end(), out.begin(), out.begin() + length);
            usbdevfs_urb u{};
            u.type = USBDEVFS_URB_TYPE_BULK;
            u.endpoint = 0x01;
            u.flags = c.outFlags;
            u.buffer = out.data();
            u.buffer_length = length;
            ASSERT_EQ(call(fd, USBDEVFS_SUBMITURB, &u), 0) << c.what;
            ASSERT_EQ(reap(fd), &u) << c.what;
            EXPECT_EQ(u.actual_length, length) << c.what;
        }
        size_t at = 0;
        for (size_t i = 0; i < c.ins.size(); i++) {
            std::vector<uint8_t> in(static_cast<size_t>(std::max(c.ins[i], 1)), 0xEE);
            usbdevfs_urb u{};
            u.type = USBDEVFS_URB_TYPE_BULK;
            u.endpoint = 0x81;
            u.flags = c.inFlags;
            u.buffer = in.data();
            u.buffer_length = c.ins[i];
            ASSERT_EQ(call(fd, USBDEVFS_SUBMITURB, &u), 0) << c.what;
            if (c.lastWaits && i + 1 == c.ins.size()) {
                EXPECT_EQ(reap(fd), nullptr) << c.what << ": the IN waits for its end";
                ASSERT_EQ(call(fd, USBDEVFS_DISCARDURB, &u), 0);
            }
            ASSERT_EQ(reap(fd), &u) << c.what;
            EXPECT_EQ(u.actual_length, c.results[i].first) << c.what;
            EXPECT_EQ(u.status, c.results[i].second) << c.what;
            ASSERT_LE(at + static_cast<size_t>(u.actual_length), stream.size()) << c.what;
            EXPECT_TRUE(std::equal(in.begin(), in.begin() + u.actual_length, stream.begin() + at)) << c.what;
            at += static_cast<size_t>(u.actual_length);
        }
    }
}

TEST_F(UsbStandIn, ContinuationUrbsBehindAShortInAreUnlinkedBeforeTheyReadTheNextTransfer) {
    // Two OUT transfers in the loopback, each ending in a short packet; then one IN
    // transfer cut into three URBs that must not be short, the second and third
    // continuing the first. The first ends short: the others read nothing (unlinked
    // when they were queued behind it, refused when it had completed already), the
    // endpoint refuses further continuations, and the second transfer's bytes wait for
    // the next IN that starts a transfer. The paced device answers late enough for all
    // three to be queued.
    const unsigned ShortNotOk = USBDEVFS_URB_SHORT_NOT_OK, Continue = USBDEVFS_URB_BULK_CONTINUATION;
    auto submitIn = [](int fd, usbdevfs_urb &u, uint8_t *buf, unsigned flags) {
        u = {};
        u.type = USBDEVFS_URB_TYPE_BULK;
        u.endpoint = 0x81;
        u.flags = flags;
        u.buffer = buf;
        u.buffer_length = 1024;
        return call(fd, USBDEVFS_SUBMITURB, &u);
    };
    auto waitReap = [](int fd) {
        for (int n = 0; n < 20000; n++) {
            if (usbdevfs_urb *u = reap(fd)) return u;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        return static_cast<usbdevfs_urb *>(nullptr);
    };
    for (bool paced : {false, true}) {
        SCOPED_TRACE(paced ? "paced" : "unpaced");
        std::string name = paced ? plug("1-2", "loopback", {{"pace", "usb2"}, {"latency", "300000"}})
                                 : plug("1-1", "loopback");
        int fd = open(name);
        std::vector<uint8_t> stream(1600);
        for (size_t k = 0; k < stream.size(); k++)
            stream[k] = pattern(k);
        usbdevfs_urb out;
        for (auto [from, length] : {std::pair<int, int>{0, 1000}, {1000, 600}}) {
            ASSERT_EQ(submit(fd, out, USBDEVFS_URB_TYPE_BULK, 0x01, stream.data() + from, length), 0);
            ASSERT_EQ(waitReap(fd), &out);
            EXPECT_EQ(out.actual_length, length);
        }
        std::vector<uint8_t> in(4096, 0xEE);
        usbdevfs_urb urbs[3];
        const unsigned flags[3] = {ShortNotOk, ShortNotOk | Continue, Continue};
        ASSERT_EQ(submitIn(fd, urbs[0], in.data(), flags[0]), 0);
        if (paced) {
            for (int i = 1; i < 3; i++)
                ASSERT_EQ(submitIn(fd, urbs[i], in.data() + 1024 * i, flags[i]), 0);
        } else {
            EXPECT_EQ(submitIn(fd, urbs[1], in.data() + 1024, flags[1]), -EREMOTEIO);
        }
        ASSERT_EQ(waitReap(fd), &urbs[0]);
        EXPECT_EQ(urbs[0].status, -EREMOTEIO);
        EXPECT_EQ(urbs[0].actual_length, 1000);
        EXPECT_TRUE(std::equal(in.begin(), in.begin() + 1000, stream.begin()));
        for (int i = 1; i < 3 && paced; i++) {
            ASSERT_EQ(waitReap(fd), &urbs[i]);
            EXPECT_EQ(urbs[i].status, -ECONNRESET);
            EXPECT_EQ(urbs[i].actual_length, 0);
        }
        EXPECT_EQ(in[1024], 0xEE) << "the unlinked URBs read nothing";

        usbdevfs_urb late;
        EXPECT_EQ(submitIn(fd, late, in.data(), Continue), -EREMOTEIO);
        ASSERT_EQ(submitIn(fd, late, in.data(), 0), 0) << "a new transfer starts";
        ASSERT_EQ(waitReap(fd), &late);
        EXPECT_EQ(late.status, 0);
        ASSERT_EQ(late.actual_length, 600);
        EXPECT_TRUE(std::equal(in.begin(), in.begin() + 600, stream.begin() + 1000));
        ASSERT_EQ(submitIn(fd, late, in.data(), Continue), 0) << "continuations are taken again";
        ASSERT_EQ(call(fd, USBDEVFS_DISCARDURB, &late), 0);
        ASSERT_EQ(waitReap(fd), &late);
    }
}

TEST_F(UsbStandIn, SourceSinkStreamsAPatternAndCountsWhatItTakes) {
    std::string name = plug("1-1", "sourcesink");
    int fd = open(name);
    static uint8_t buf[8192];
    usbdevfs_urb u;
    ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x81, buf, 4096), 0);
    ASSERT_EQ(reap(fd), &u);
    EXPECT_EQ(u.status, 0);
    EXPECT_EQ(u.actual_length, 4096);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(buf[4095], 0xFF);
    ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x81, buf, 1000), 0);
    ASSERT_EQ(reap(fd), &u);
    EXPECT_EQ(u.status, -EOVERFLOW) << "the second 512-byte packet does not fit";
    EXPECT_EQ(u.actual_length, 1000);
    EXPECT_EQ(buf[999], static_cast<uint8_t>(4096 + 999)) << "the stream goes on";
    ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x81, buf, 512), 0);
    ASSERT_EQ(reap(fd), &u);
    EXPECT_EQ(buf[1], static_cast<uint8_t>(4096 + 1024 + 1))
        << "the rest of the packet that overflowed is gone";

    std::memcpy(buf, "abc", 3);
    ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x01, buf, 3), 0);
    ASSERT_EQ(reap(fd), &u);
    std::string state;
    sim::usbStateLines(state);
    EXPECT_NE(state.find("usb_sink_bytes 3\nusb_sink_crc 0x352441c2\n"), std::string::npos) << state;
}

TEST_F(UsbStandIn, SourceSinkChecksEveryByteInTheOrderTaken) {
    std::string name = plug("1-1", "sourcesink");
    int fd = open(name);
    // Many URBs of sizes that differ, each reaped at once and its buffer reused for
    // the next: the check works on the stand-in's own copy, after the URB completed.
    std::vector<uint8_t> buf(100000);
    std::vector<uint8_t> all;
    for (int k = 0; k < 40; k++) {
        const size_t n = k % 3 == 0 ? 100000 : k % 3 == 1 ? 4096 : 1 + k;
        for (size_t i = 0; i < n; i++)
            buf[i] = static_cast<uint8_t>(i * 31 + k);
        all.insert(all.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
        usbdevfs_urb u;
        ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x01, buf.data(), static_cast<int>(n)), 0);
        ASSERT_EQ(reap(fd), &u) << "an OUT URB completes as soon as the sink took its data";
        EXPECT_EQ(u.actual_length, static_cast<int>(n));
        std::fill(buf.begin(), buf.end(), 0xEE);
    }
    char expect[96];
    std::snprintf(expect, sizeof expect, "usb_sink_bytes %zu\nusb_sink_crc 0x%08x\n", all.size(),
                  crc32Update(0xFFFFFFFFu, all.data(), all.size()) ^ 0xFFFFFFFFu); // zlib's CRC-32
    std::string state;
    sim::usbStateLines(state);
    EXPECT_NE(state.find(expect), std::string::npos) << state;
}

TEST_F(UsbStandIn, CompletionStatusesAreInjectedPerEndpoint) {
    std::string name = plug("1-1", "loopback");
    int fd = open(name);
    uint8_t buf[512] = {1, 2, 3};
    for (int err : {EPIPE, EPROTO, EILSEQ, ETIME, EOVERFLOW, EXDEV}) {
        for (uint8_t ep : {0x01, 0x81}) {
            SCOPED_TRACE(std::to_string(err) + " on " + std::to_string(ep));
            ASSERT_EQ(sim::usbEndpointStatus(name, ep, err, 1), 0);
            usbdevfs_urb u;
            if (ep == 0x81) { // something to send back, so the fault is not waiting for data
                ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x01, buf, 3), 0);
                ASSERT_EQ(reap(fd), &u);
            }
            ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, ep, buf, ep == 0x81 ? 512 : 3), 0);
            ASSERT_EQ(reap(fd), &u);
            EXPECT_EQ(u.status, -err);
            EXPECT_EQ(u.actual_length, 0);
            if (err == EPIPE) { // a stall halts the endpoint until it is cleared
                ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, ep, buf, ep == 0x81 ? 512 : 3), 0);
                ASSERT_EQ(reap(fd), &u);
                EXPECT_EQ(u.status, -EPIPE);
                unsigned e = ep;
                ASSERT_EQ(call(fd, USBDEVFS_CLEAR_HALT, &e), 0);
            }
            // Used up: the next one is the device's answer again.
            if (ep == 0x81) {
                ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x01, buf, 3), 0);
                ASSERT_EQ(reap(fd), &u);
            }
            ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, ep, buf, ep == 0x81 ? 512 : 3), 0);
            ASSERT_EQ(reap(fd), &u);
            EXPECT_EQ(u.status, 0);
            EXPECT_EQ(u.actual_length, 3);
        }
    }
    // Endpoint 0: control URBs and the CONTROL ioctl, until cleared.
    ASSERT_EQ(sim::usbEndpointStatus(name, 0, EPROTO, -1), 0);
    uint8_t setup[8 + 18] = {0x80, USB_REQ_GET_DESCRIPTOR, 0, USB_DT_DEVICE, 0, 0, 18, 0};
    usbdevfs_urb u;
    ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_CONTROL, 0, setup, sizeof setup), 0);
    ASSERT_EQ(reap(fd), &u);
    EXPECT_EQ(u.status, -EPROTO);
    uint8_t data[18];
    usbdevfs_ctrltransfer c{0x80, USB_REQ_GET_DESCRIPTOR, USB_DT_DEVICE << 8, 0, 18, 1000, data};
    EXPECT_EQ(call(fd, USBDEVFS_CONTROL, &c), -EPROTO);
    ASSERT_EQ(sim::usbEndpointStatus(name, 0, 0, 0), 0);
    EXPECT_EQ(call(fd, USBDEVFS_CONTROL, &c), 18);
    EXPECT_EQ(sim::usbEndpointStatus("9-9", 0, EPROTO, 1), -1);
}

TEST_F(UsbStandIn, IsochronousPacketStatusesAndTheSink) {
    std::string name = plug("1-1", "iso", {{"lengths", "8"}});
    int fd = openIso(name);
    uint8_t buf[4 * 16];
    IsoUrb in(0x81, buf, 4, 16);
    ASSERT_EQ(sim::usbIsoPacketStatus(name, 0x81, 2, EXDEV, 1), 0);
    ASSERT_EQ(sim::usbIsoPacketStatus(name, 0x81, 3, EOVERFLOW, 1), 0);
    ASSERT_EQ(call(fd, USBDEVFS_SUBMITURB, in.u), 0);
    ASSERT_EQ(reap(fd), in.u);
    EXPECT_EQ(in.u->status, 0);
    EXPECT_EQ(in.u->error_count, 2);
    int status[4] = {0, 0, -EXDEV, -EOVERFLOW};
    unsigned actual[4] = {8, 8, 0, 8}; // babble keeps its bytes
    for (int k = 0; k < 4; k++) {
        EXPECT_EQ(static_cast<int>(in.u->iso_frame_desc[k].status), status[k]) << k;
        EXPECT_EQ(in.u->iso_frame_desc[k].actual_length, actual[k]) << k;
    }
    EXPECT_EQ(in.u->actual_length, 24);
    // An endpoint status reaches every packet; then the device's answers again.
    ASSERT_EQ(sim::usbEndpointStatus(name, 0x81, EPROTO, 1), 0);
    ASSERT_EQ(call(fd, USBDEVFS_SUBMITURB, in.u), 0);
    ASSERT_EQ(reap(fd), in.u);
    EXPECT_EQ(in.u->error_count, 4);
    EXPECT_EQ(in.u->actual_length, 0);
    ASSERT_EQ(call(fd, USBDEVFS_SUBMITURB, in.u), 0);
    ASSERT_EQ(reap(fd), in.u);
    EXPECT_EQ(in.u->error_count, 0);
    EXPECT_EQ(in.u->actual_length, 32);

    // The OUT endpoint takes its packets whole.
    uint8_t out[3 * 4] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    IsoUrb o(0x02, out, 3, 3);
    ASSERT_EQ(call(fd, USBDEVFS_SUBMITURB, o.u), 0);
    ASSERT_EQ(reap(fd), o.u);
    EXPECT_EQ(o.u->actual_length, 9);
    std::string state;
    sim::usbStateLines(state);
    EXPECT_NE(state.find("usb_iso_out_packets 3\nusb_iso_out_bytes 9\nusb_iso_out_crc 0xcbf43926\n"),
              std::string::npos)
        << state;
}

TEST_F(UsbStandIn, ControlTakesTheDevicesTimeUpToItsTimeOut) {
    std::string name = plug("1-1", "loopback");
    std::string dongle = plug("1-2", "dongle");
    int fd = open(name), fdd = open(dongle);
    struct Case {
        const char *what;
        int file;
        int64_t delayUs; // -1: never answers
        uint8_t requestType, request;
        unsigned timeoutMs;
        int expect;
    } cases[] = {
        {"an answer within the time-out", fd, 20000, 0x80, USB_REQ_GET_DESCRIPTOR, 2000, 18},
        {"an answer after the time-out", fd, 500000, 0x80, USB_REQ_GET_DESCRIPTOR, 10, -ETIMEDOUT},
        {"a device that never answers", fd, -1, 0x80, USB_REQ_GET_DESCRIPTOR, 20, -ETIMEDOUT},
        {"a request the dongle never answers", fdd, 0, 0xC0, 3, 20, -ETIMEDOUT},
        {"a stall takes its time too", fd, 1000, 0xC0, 0x33, 2000, -EPIPE},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(sim::usbControlDelay(c.file == fd ? name : dongle, c.delayUs), 0);
        uint8_t data[64];
        usbdevfs_ctrltransfer t{c.requestType, c.request, USB_DT_DEVICE << 8, 0, 18, c.timeoutMs, data};
        EXPECT_EQ(call(c.file, USBDEVFS_CONTROL, &t), c.expect) << c.what;
    }

    // A control URB comes when the device answered; one never answered stays until
    // discarded.
    uint8_t setup[8 + 18] = {0x80, USB_REQ_GET_DESCRIPTOR, 0, USB_DT_DEVICE, 0, 0, 18, 0};
    usbdevfs_urb u;
    ASSERT_EQ(sim::usbControlDelay(name, 20000), 0);
    ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_CONTROL, 0, setup, sizeof setup), 0);
    void *p = nullptr;
    ASSERT_EQ(call(fd, USBDEVFS_REAPURB, &p), 0);
    EXPECT_EQ(p, &u);
    EXPECT_EQ(u.actual_length, 18);
    EXPECT_EQ(setup[8 + 1], USB_DT_DEVICE);
    ASSERT_EQ(sim::usbControlDelay(name, -1), 0);
    ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_CONTROL, 0, setup, sizeof setup), 0);
    EXPECT_EQ(reap(fd), nullptr);
    ASSERT_EQ(call(fd, USBDEVFS_DISCARDURB, &u), 0);
    ASSERT_EQ(reap(fd), &u);
    EXPECT_EQ(u.status, -ECONNRESET);
}

TEST_F(UsbStandIn, ControlWaitsOutsideTheLockAndEndsWithAResetOrUnplug) {
    std::string name = plug("1-1", "loopback");
    int fd = open(name), other = open(name);
    ASSERT_EQ(sim::usbControlDelay(name, -1), 0);
    auto waiting = [&] {
        std::lock_guard<std::mutex> guard(sim::usb::world().lock);
        auto it = sim::usb::world().devices.find(name);
        return it != sim::usb::world().devices.end() && it->second->controlsWaiting > 0;
    };
    for (bool unplug : {false, true}) {
        int result = 0;
        std::thread waiter([&] {
            uint8_t data[18];
            usbdevfs_ctrltransfer c{0x80, USB_REQ_GET_DESCRIPTOR, USB_DT_DEVICE << 8, 0, 18, 20000, data};
            result = call(fd, USBDEVFS_CONTROL, &c);
        });
        for (int i = 0; i < 10000 && !waiting(); i++)
            ::usleep(1000);
        // Meanwhile the device's other endpoints work, from another file.
        uint8_t buf[4] = {1, 2, 3, 4};
        usbdevfs_urb u;
        ASSERT_EQ(submit(other, u, USBDEVFS_URB_TYPE_BULK, 0x01, buf, 4), 0);
        ASSERT_EQ(reap(other), &u);
        ASSERT_EQ(submit(other, u, USBDEVFS_URB_TYPE_BULK, 0x81, buf, 4), 0);
        ASSERT_EQ(reap(other), &u);
        EXPECT_EQ(u.actual_length, 4);
        if (unplug)
            ASSERT_EQ(sim::usbUnplug(name), 0);
        else
            ASSERT_EQ(call(other, USBDEVFS_RESET, nullptr), 0);
        waiter.join();
        EXPECT_EQ(result, -ESHUTDOWN) << (unplug ? "unplug" : "reset");
    }
}

TEST_F(UsbStandIn, ResetKeepsTheConfigurationAndReleasesTheClaimedInterfaces) {
    std::string name = plug("1-1", "loopback");
    int fd = open(name), other = open(name);
    int config = 2;
    ASSERT_EQ(call(fd, USBDEVFS_SETCONFIGURATION, &config), 0);
    ASSERT_EQ(sim::usbStall(name, 0x82), 0);
    ASSERT_EQ(call(fd, USBDEVFS_RESET, nullptr), 0);
    uint8_t data[2];
    usbdevfs_ctrltransfer get{0x80, USB_REQ_GET_CONFIGURATION, 0, 0, 1, 1000, data};
    ASSERT_EQ(call(fd, USBDEVFS_CONTROL, &get), 1);
    EXPECT_EQ(data[0], 2) << "the kernel restores the configuration";
    uint8_t buf[8] = {};
    usbdevfs_urb u;
    ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x02, buf, 8), 0);
    ASSERT_EQ(reap(fd), &u);
    ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x82, buf, 8), 0);
    ASSERT_EQ(reap(fd), &u);
    EXPECT_EQ(u.status, 0) << "the halt is gone with the reset";
    EXPECT_EQ(u.actual_length, 8);

    // An interface claimed through usbfs at alternate setting 1: the reset unbinds
    // usbfs, which puts it back to setting 0 and lets the claim go.
    config = 1;
    unsigned number = 0;
    ASSERT_EQ(call(fd, USBDEVFS_RELEASEINTERFACE, &number), 0);
    ASSERT_EQ(call(fd, USBDEVFS_SETCONFIGURATION, &config), 0);
    usbdevfs_setinterface alt{0, 1};
    ASSERT_EQ(call(fd, USBDEVFS_SETINTERFACE, &alt), 0);
    ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_INTERRUPT, 0x83, buf, 8), 0);
    ASSERT_EQ(call(fd, 0x5520, nullptr), 0); // the board's reset request does the same
    ASSERT_EQ(reap(fd), &u);
    EXPECT_EQ(u.status, -ENOENT) << "killed by the unbinding";
    usbdevfs_ctrltransfer getAlt{0x81, USB_REQ_GET_INTERFACE, 0, 0, 1, 1000, data};
    ASSERT_EQ(call(other, USBDEVFS_CONTROL, &getAlt), 1);
    EXPECT_EQ(data[0], 0);
    EXPECT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_INTERRUPT, 0x83, buf, 8), -ENOENT);
    ASSERT_EQ(call(other, USBDEVFS_RELEASEINTERFACE, &number), 0);

    // Releasing the interface, or closing the file that claimed it, does the same.
    for (bool byClose : {false, true}) {
        ASSERT_EQ(call(fd, USBDEVFS_SETINTERFACE, &alt), 0);
        if (byClose) {
            close(fd);
            fd = open(name);
        } else {
            ASSERT_EQ(call(fd, USBDEVFS_RELEASEINTERFACE, &number), 0);
        }
        ASSERT_EQ(call(other, USBDEVFS_CONTROL, &getAlt), 1);
        EXPECT_EQ(data[0], 0) << (byClose ? "close" : "release");
        ASSERT_EQ(call(other, USBDEVFS_RELEASEINTERFACE, &number), 0);
    }
}

TEST_F(UsbStandIn, AResetThatReenumeratesSaysEnodevAndTheDeviceComesBackRenumbered) {
    std::string name = plug("1-1", "loopback");
    int ue = sim::usbUeventOpen();
    drainUevents(ue);
    std::string node = sim::usbNodePath(name);
    int fd = open(name);
    uint8_t buf[8];
    usbdevfs_urb u;
    ASSERT_EQ(submit(fd, u, USBDEVFS_URB_TYPE_BULK, 0x81, buf, 8), 0);
    ASSERT_EQ(sim::usbResetReenumerates(name, true), 0);
    EXPECT_EQ(call(fd, USBDEVFS_RESET, nullptr), -ENODEV);
    expectGone(fd, &u);
    auto uevents = drainUevents(ue);
    ASSERT_EQ(uevents.size(), 4u) << "the device and its interface go and come";
    EXPECT_TRUE(has(uevents[1], "ACTION=remove"));
    EXPECT_TRUE(has(uevents[2], "ACTION=add"));
    EXPECT_EQ(sim::usbDevices(), std::vector<std::string>{name});
    std::string renumbered = sim::usbNodePath(name);
    EXPECT_NE(renumbered, node);
    EXPECT_EQ(sim::devOpen(node.c_str(), O_RDWR, 0), -1);
    EXPECT_EQ(errno, ENODEV) << "the old number has no device";
    auto trace = sim::usbTrace(name);
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.back(), "RESET -> ENODEV");
    // The device that came back resets as usual.
    int again = open(name);
    EXPECT_EQ(call(again, USBDEVFS_RESET, nullptr), 0);
    ::close(ue);
}

TEST_F(UsbStandIn, TheCallersRecordIsWrittenOnlyAtReap) {
    std::string name = plug("1-1", "iso", {{"lengths", "1024,50"}});
    int fd = openIso(name);
    uint8_t buf[2 * 100];
    IsoUrb in(0x81, buf, 2, 100);
    in.u->buffer_length = 7; // the kernel sums the packets for its own copy only
    in.u->status = 55;
    in.u->actual_length = 66;
    in.u->error_count = 77;
    in.u->start_frame = 88;
    in.u->iso_frame_desc[1].status = 99;
    usbdevfs_urb before = *in.u;
    ASSERT_EQ(call(fd, USBDEVFS_SUBMITURB, in.u), 0);
    EXPECT_EQ(std::memcmp(&before, in.u, sizeof before), 0);
    EXPECT_EQ(in.u->iso_frame_desc[1].status, 99u);
    ASSERT_EQ(reap(fd), in.u);
    EXPECT_EQ(in.u->status, 0);
    EXPECT_EQ(in.u->error_count, 1) << "1024 bytes into a 100-byte packet";
    EXPECT_EQ(in.u->buffer_length, 7);
    EXPECT_EQ(in.u->start_frame, 88);
    EXPECT_EQ(in.u->iso_frame_desc[1].status, 0u);
}

// The schedule a paced bus makes, read off the URBs' due times (the model's own
// arithmetic, not measured time): 13 packets of 512 bytes take one microframe alone.
TEST_F(UsbStandIn, PacedBusSharesOneBudgetHalfDuplexAndKeepsPeriodicSlots) {
    using sim::usb::world;
    const int64_t Microframe = 125000;
    plug("1-1", "loopback", {{"pace", "usb2"}});
    plug("1-2", "hid", {{"pace", "usb2"}});
    plug("2-1", "loopback", {{"pace", "usb2"}});
    std::lock_guard<std::mutex> guard(world().lock);
    auto dev = [&](const char *n) { return world().devices.at(n); };
    auto bulk = [](uint8_t ep) {
        auto u = std::make_unique<Urb>();
        u->type = USBDEVFS_URB_TYPE_BULK;
        u->endpoint = ep;
        u->in = ep & USB_DIR_IN;
        u->maxPacket = 512;
        u->actual = 13 * 512;
        return u;
    };
    // OUT and IN of one device on bus 1, OUT of another device on bus 2.
    auto out = bulk(0x01), in = bulk(0x81), other = bulk(0x01);
    // All at one moment, ahead of what the buses have accounted.
    const int64_t start = sim::usb::monotonicNs() + 1000000000;
    sim::usb::paceUrb(*dev("1-1"), *out, start);
    sim::usb::paceUrb(*dev("1-1"), *in, start);
    sim::usb::paceUrb(*dev("2-1"), *other, start);
    int64_t next = sim::usb::advanceBuses(start + Microframe + Microframe / 2);
    EXPECT_TRUE(in->onBus && out->onBus) << "IN and OUT share the bus: each has half of it";
    EXPECT_FALSE(other->onBus) << "the other bus is free";
    EXPECT_GE(next, start + 2 * Microframe);
    EXPECT_LT(next, start + 3 * Microframe) << "the end of that microframe";
    sim::usb::advanceBuses(next);
    ASSERT_FALSE(in->onBus || out->onBus);
    // Delivered at the end of the microframe in which the bus finished them.
    for (const Urb *u : {out.get(), in.get(), other.get()})
        EXPECT_EQ(u->dueNs % Microframe, 0);
    EXPECT_EQ(out->dueNs, (start + 2 * Microframe + Microframe - 1) / Microframe * Microframe);
    EXPECT_EQ(in->dueNs, out->dueNs);
    EXPECT_EQ(other->dueNs, (start + Microframe + Microframe - 1) / Microframe * Microframe);

    // The keyboard's interrupt endpoint (low speed, 10 ms): one report per interval,
    // in the endpoint's next slot; the slots go on from there.
    auto report = std::make_unique<Urb>();
    report->type = USBDEVFS_URB_TYPE_INTERRUPT;
    report->endpoint = 0x81;
    report->in = true;
    report->maxPacket = 8;
    report->actual = 8;
    auto second = std::make_unique<Urb>(*report);
    sim::usb::paceUrb(*dev("1-2"), *report, next);
    sim::usb::paceUrb(*dev("1-2"), *second, next);
    EXPECT_FALSE(report->onBus);
    EXPECT_EQ((report->dueNs - 1000000) % 10000000, 0) << "the end of the slot's frame";
    EXPECT_EQ(second->dueNs - report->dueNs, 10000000);
    EXPECT_GT(world().buses[1].debtNs, 0) << "their time is owed by the bulk share";
    world().buses.clear(); // nothing is left on them; the next tests start on idle buses
}

TEST_F(UsbStandIn, PacedTransfersKeepTheirDataOrderAndControlAnswers) {
    std::string name = plug("1-1", "loopback", {{"pace", "usb2"}});
    std::string iso = plug("1-2", "iso", {{"pace", "usb2"}, {"lengths", "100"}});
    int fd = open(name), fi = openIso(iso);
    static uint8_t out[3 * 65536], in[3 * 65536];
    for (size_t k = 0; k < sizeof out; k++)
        out[k] = pattern(k);
    usbdevfs_urb o[3], i[3];
    for (int k = 0; k < 3; k++)
        ASSERT_EQ(submit(fd, o[k], USBDEVFS_URB_TYPE_BULK, 0x01, out + k * 65536, 65536), 0);
    for (int k = 0; k < 3; k++)
        ASSERT_EQ(submit(fd, i[k], USBDEVFS_URB_TYPE_BULK, 0x81, in + k * 65536, 65536), 0);
    uint8_t data[18];
    usbdevfs_ctrltransfer c{0x80, USB_REQ_GET_DESCRIPTOR, USB_DT_DEVICE << 8, 0, 18, 5000, data};
    EXPECT_EQ(call(fd, USBDEVFS_CONTROL, &c), 18) << "control gets its share amid bulk";
    std::vector<usbdevfs_urb *> reaped;
    while (reaped.size() < 6) {
        void *p = nullptr;
        ASSERT_EQ(call(fd, USBDEVFS_REAPURB, &p), 0);
        reaped.push_back(static_cast<usbdevfs_urb *>(p));
    }
    std::vector<usbdevfs_urb *> outs, ins;
    for (auto *u : reaped) {
        EXPECT_EQ(u->status, 0);
        EXPECT_EQ(u->actual_length, 65536);
        (u->endpoint == 0x01 ? outs : ins).push_back(u);
    }
    EXPECT_EQ(outs, (std::vector<usbdevfs_urb *>{&o[0], &o[1], &o[2]}));
    EXPECT_EQ(ins, (std::vector<usbdevfs_urb *>{&i[0], &i[1], &i[2]}));
    EXPECT_EQ(std::memcmp(out, in, sizeof out), 0);

    static uint8_t frames[8 * 200];
    IsoUrb a(0x81, frames, 8, 200);
    ASSERT_EQ(call(fi, USBDEVFS_SUBMITURB, a.u), 0);
    void *p = nullptr;
    ASSERT_EQ(call(fi, USBDEVFS_REAPURB, &p), 0);
    EXPECT_EQ(p, a.u);
    EXPECT_EQ(a.u->actual_length, 800);
}

TEST_F(UsbStandIn, FaultCommandsTakeTheirWordsOrSayWhy) {
    ASSERT_EQ(command("usb plug 1-1 iso"), "");
    const char *good[] = {"usb status 1-1 81 EPROTO",
                          "usb status 1-1 0x02 EXDEV 3",
                          "usb status 1-1 0 ETIME -1",
                          "usb status 1-1 81 0",
                          "usb iso-status 1-1 81 5 EILSEQ 2",
                          "usb iso-status 1-1 81 5 0",
                          "usb control-delay 1-1 1500",
                          "usb control-delay 1-1 never",
                          "usb control-delay 1-1 0",
                          "usb reset-fault 1-1 reenumerate",
                          "usb reset-fault 1-1 none",
                          "usb plug 1-2 loopback pace=usb2 latency=100",
                          "usb plug 1-3 sourcesink pace=40000000"};
    for (const char *line : good)
        EXPECT_EQ(command(line), "") << line;
    const char *bad[] = {"usb status 1-1 181 EPROTO",
                         "usb status 1-1 zz EPROTO",
                         "usb status 1-1 81 EWHAT",
                         "usb status 1-1 81 EPROTO -2",
                         "usb status 1-1 81 EPROTO 1x",
                         "usb status 9-9 81 EPROTO",
                         "usb status 1-1 81",
                         "usb iso-status 1-1 81 128 EXDEV",
                         "usb iso-status 1-1 81 -1 EXDEV",
                         "usb control-delay 1-1 soon",
                         "usb control-delay 1-1 -5",
                         "usb control-delay 1-1 60000001",
                         "usb reset-fault 1-1 sometimes",
                         "usb reset-fault 9-9 none",
                         "usb stall 1-1 812",
                         "usb plug 1-4 loopback pace=fast",
                         "usb plug 1-4 loopback pace=0",
                         "usb plug 1-4 loopback latency=-1",
                         "usb plug 1-4 vanish bytes=many"};
    for (const char *line : bad)
        EXPECT_NE(command(line), "") << line;
    EXPECT_EQ(sim::usbDevices(), (std::vector<std::string>{"1-1", "1-2", "1-3"}));
    std::string state;
    sim::usbStateLines(state);
    EXPECT_NE(state.find("kind loopback id 1d6b:0104 config 1 files 0 paced\n"), std::string::npos) << state;
}

} // namespace
