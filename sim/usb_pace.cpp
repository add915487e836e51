// Paced mode of the USB stand-in: the time a USB 2.0 host controller's bus takes to
// carry what the paced devices answer. One budget per bus, half duplex: IN and OUT,
// every endpoint and every paced device of the bus share it. The asynchronous
// transfers (control, bulk) get the bus round robin: each endpoint with work has an
// equal share, its own transfers one after the other. Interrupt and isochronous
// transfers take one packet per interval in their (micro)frame slots; their time is
// owed by the asynchronous share. A transfer's data costs its packets with their
// overhead, so high-speed bulk moves at most 13 packets of 512 bytes per microframe
// (53,248,000 bytes a second). Completions are delivered at the end of the
// (micro)frame in which the bus finished them, as the host controller interrupts.
#include "sim/usb_internal.h"

#include <algorithm>

namespace sim::usb {

namespace {

// The bus at a device's speed: its (micro)frame, the bytes it carries in one, and
// what a packet costs besides its data (token, handshake, gaps), in bytes.
struct Timing {
    int64_t frameNs;
    int64_t bytesPerFrame;
    int64_t packetOverhead;
};

Timing timing(UsbSpeed s) {
    switch (s) {
    case UsbSpeed::Low:
        return {1000000, 187, 14};
    case UsbSpeed::Full:
        return {1000000, 1500, 14}; // 19 bulk packets of 64 bytes a frame
    case UsbSpeed::High:
        return {125000, 7501, 65}; // 13 bulk packets of 512 bytes a microframe
    case UsbSpeed::Super:
        break;
    }
    return {125000, 62500, 256};
}

int64_t busTime(const Timing &t, int64_t bytes) {
    return bytes * t.frameNs / t.bytesPerFrame;
}

// Bytes sent in packets of maxPacket: full ones, then a short one; nothing is one
// zero-length packet, and a zero-length packet follows full ones when asked.
int64_t dataTime(const Timing &t, int64_t bytes, int maxPacket, bool zeroPacket) {
    int64_t mps = std::max(1, maxPacket);
    int64_t packets = bytes / mps + (bytes % mps ? 1 : 0);
    if (bytes == 0 || (zeroPacket && bytes % mps == 0)) packets++;
    return busTime(t, bytes + packets * t.packetOverhead);
}

int64_t roundUp(int64_t ns, int64_t step) {
    return (ns + step - 1) / step * step;
}

// A periodic endpoint's interval: 2^(bInterval-1) (micro)frames, or bInterval frames
// for interrupt endpoints below high speed.
int64_t intervalNs(const SimDevice &dev, uint8_t endpoint, int type) {
    const usb_endpoint_descriptor *ep = endpointDescriptor(dev, endpoint);
    int b = ep ? ep->bInterval : 1;
    bool fast = dev.desc.speed == UsbSpeed::High || dev.desc.speed == UsbSpeed::Super;
    if (fast || type == USBDEVFS_URB_TYPE_ISO)
        return (fast ? int64_t{125000} : int64_t{1000000}) << (std::clamp(b, 1, 16) - 1);
    return int64_t{std::clamp(b, 1, 255)} * 1000000;
}

void finish(Urb &u, int64_t at) {
    u.onBus = false;
    u.dueNs = roundUp(at, u.frameNs) + u.extraNs;
}

// Gives the bus's time from lastNs to now: first to the periodic transfers it owes,
// then in equal shares to the head transfer of every endpoint queue. Returns the
// number of transfers that got all their time.
int advance(Bus &bus, int64_t now) {
    if (now <= bus.lastNs) return 0;
    int64_t at = bus.lastNs, left = now - bus.lastNs;
    bus.lastNs = now;
    int64_t pay = std::min(left, bus.debtNs);
    bus.debtNs -= pay;
    at += pay;
    left -= pay;
    int done = 0;
    while (left > 0 && !bus.queues.empty()) {
        auto n = static_cast<int64_t>(bus.queues.size());
        int64_t least = INT64_MAX;
        for (const auto &q : bus.queues)
            least = std::min(least, q.urbs.front()->leftNs);
        int64_t whole = least * n;
        int64_t step = std::min(left, whole);
        int64_t each = step == whole ? least : step / n;
        if (each <= 0) break;
        at += step;
        left -= step;
        for (auto it = bus.queues.begin(); it != bus.queues.end();) {
            Urb *u = it->urbs.front();
            u->leftNs -= each;
            if (u->leftNs <= 0) {
                finish(*u, at);
                it->urbs.pop_front();
                done++;
            }
            it = it->urbs.empty() ? bus.queues.erase(it) : std::next(it);
        }
    }
    return done;
}

// When the bus next finishes a transfer, taken to the end of that microframe: the
// pacer then finishes and delivers it in one pass.
int64_t nextEnd(const Bus &bus) {
    if (bus.queues.empty()) return INT64_MAX;
    int64_t least = INT64_MAX;
    for (const auto &q : bus.queues)
        least = std::min(least, q.urbs.front()->leftNs);
    return roundUp(bus.lastNs + bus.debtNs + least * static_cast<int64_t>(bus.queues.size()), 125000);
}

} // namespace

void paceUrb(SimDevice &dev, Urb &u, int64_t now) {
    World &w = world();
    const Timing t = timing(dev.desc.speed);
    Bus &bus = w.buses[dev.bus];
    advance(bus, now);
    u.answered = true;
    u.frameNs = t.frameNs;
    u.extraNs = dev.latencyNs;
    if (u.type == USBDEVFS_URB_TYPE_ISO || u.type == USBDEVFS_URB_TYPE_INTERRUPT) {
        // One packet of up to maxPacket bytes per interval, from the endpoint's next
        // slot (a stream that ran dry starts again at the next slot).
        int64_t interval = intervalNs(dev, u.endpoint, u.type);
        int64_t slots = 0, time = 0;
        if (u.type == USBDEVFS_URB_TYPE_ISO) {
            for (const auto &p : u.packets)
                time += busTime(t, (u.in ? p.actual_length : p.length) + t.packetOverhead);
            slots = std::max<int64_t>(1, static_cast<int64_t>(u.packets.size()));
        } else {
            int64_t per = std::max(1, u.maxPacket);
            slots = std::max<int64_t>(1, (u.actual + per - 1) / per);
            time = dataTime(t, u.actual, u.maxPacket, false);
        }
        int64_t &next = dev.nextSlotNs[u.endpoint];
        int64_t first = roundUp(std::max(now, next), interval);
        next = first + slots * interval;
        u.dueNs = first + (slots - 1) * interval + t.frameNs + u.extraNs;
        bus.debtNs += time;
        w.pacing.notify_all();
        return;
    }
    int64_t time;
    if (u.type == USBDEVFS_URB_TYPE_CONTROL) {
        // Setup, the data stage in packets of endpoint 0's size, the status stage.
        const auto &d = dev.desc.device;
        int mps0 =
            d.size() > 7 ? (dev.desc.speed == UsbSpeed::Super ? 1 << std::min<int>(d[7], 9) : d[7]) : 64;
        int wLength = u.buffer.size() >= 8 ? (u.buffer[6] | u.buffer[7] << 8) : 0;
        time = busTime(t, 8 + t.packetOverhead) + busTime(t, t.packetOverhead) +
               (wLength > 0 ? dataTime(t, u.actual, mps0, false) : 0);
        if (dev.controlDelayNs > 0) u.extraNs += dev.controlDelayNs;
    } else {
        time = dataTime(t, u.actual, u.maxPacket, !u.in && (u.flags & USBDEVFS_URB_ZERO_PACKET));
    }
    if (dev.bytesPerSecond > 0)
        time = std::max(
            time, static_cast<int64_t>(static_cast<uint64_t>(u.actual) * 1000000000 / dev.bytesPerSecond));
    u.leftNs = std::max<int64_t>(1, time);
    u.onBus = true;
    // Endpoint 0 is one queue for both directions.
    uint8_t endpoint = u.type == USBDEVFS_URB_TYPE_CONTROL ? 0 : u.endpoint;
    auto q = std::find_if(bus.queues.begin(), bus.queues.end(),
                          [&](const BusQueue &b) { return b.key == &dev && b.endpoint == endpoint; });
    if (q == bus.queues.end()) {
        bus.queues.push_back({&dev, endpoint, {}});
        q = std::prev(bus.queues.end());
    }
    q->urbs.push_back(&u);
    w.pacing.notify_all();
}

void unpaceUrb(SimDevice &dev, Urb &u) {
    if (!u.onBus) return;
    World &w = world();
    Bus &bus = w.buses[dev.bus];
    advance(bus, monotonicNs());
    u.onBus = false;
    for (auto it = bus.queues.begin(); it != bus.queues.end(); ++it) {
        auto found = std::find(it->urbs.begin(), it->urbs.end(), &u);
        if (found == it->urbs.end()) continue;
        it->urbs.erase(found);
        if (it->urbs.empty()) bus.queues.erase(it);
        break;
    }
    // The others of the bus get their time sooner.
    w.pacing.notify_all();
}

int64_t advanceBuses(int64_t now) {
    World &w = world();
    int64_t next = INT64_MAX;
    int done = 0;
    for (auto &[number, bus] : w.buses) {
        done += advance(bus, now);
        next = std::min(next, nextEnd(bus));
    }
    if (done > 0) w.changed.notify_all();
    return next;
}

} // namespace sim::usb
