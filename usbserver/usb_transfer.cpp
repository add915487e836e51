// Transfer forwarding. A transfer is cut into URBs: bulk transfers into chunks of
// MaxUrbIn/MaxUrbOut, isochronous transfers of a device opened with the split flag into
// URBs of at most 32 packets, everything else into one URB. OUT transfers submit all
// their URBs at once, reading each URB's data from the client straight into its
// buffer; a bulk IN transfer keeps two URBs in flight, submitting the next one before
// it answers the last, so the device is never idle while a completion is reaped and
// the reply goes out. A short packet ends the transfer, and the data after it belongs
// to the next one: every URB but the last must not be short, and every URB but the
// first continues the one before it, so the kernel stops the endpoint's queue at a
// short URB (-EREMOTEIO) and unlinks the URBs behind it (-ECONNRESET) before they read
// anything. An isochronous IN endpoint keeps two URBs in flight.
//
// Every transfer gets exactly one final reply (or none when the client discarded it),
// and its memory goes only when the kernel gave back every URB submitted for it, or
// the usbfs file was closed (the kernel then kills them).
#include "usbserver/usb_transfer.h"

#include "core/load.h"
#include "core/platform.h"
#include "core/tcp.h"
#include "usbserver/usb_device.h"
#include "usbserver/usb_quirks.h"
#include "usbserver/usb_server.h"

#include <sys/epoll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <vector>

using namespace usbwire;

namespace {

// Per-URB flags of a transfer, kept beside the URB records.
enum : uint8_t { ItemIdle = 0, ItemInFlight = 1, ItemFinished = 2 };

// Reaps handled per wake-up before the client socket gets its turn again.
constexpr int ReapBatch = 64;
// Largest control data stage.
constexpr uint32_t MaxControlData = 65535;

struct UrbExtra {
    uint8_t *flags = nullptr;     // ItemIdle / ItemInFlight / ItemFinished per URB
    int32_t *allocated = nullptr; // the size each URB's buffer was allocated with
    bool reading = false;         // an OUT transfer whose data is still read: not freed yet
};

// The URB records, their flags and buffer sizes live in one zeroed block after the
// transfer header.
struct UrbBlock {
    sUrb urb;
    UrbExtra extra;
};

UrbExtra &extraOf(sUrb *t) {
    return reinterpret_cast<UrbBlock *>(t)->extra;
}

size_t alignUp(size_t n, size_t a) {
    return (n + a - 1) / a * a;
}

uint32_t errnoOr(int fallback) {
    return static_cast<uint32_t>(errno != 0 ? errno : fallback);
}

// The owner's entry of the transfer's request, or null.
UsbDevice *ownedEntry(UsbSrvdPrcs &client, int entryNumber) {
    UsbDevice *e = usbEntry(entryNumber);
    if (e == nullptr || e->state.load() != UsbEntryOpened || e->owner != client.record) return nullptr;
    return e;
}

int sendHeader(UsbSrvdPrcs &client, uint32_t word0, uint32_t code, uint32_t tag, uint32_t length,
               uint32_t status, uint32_t error) {
    Reply r(word0, code, tag, length, status, error);
    return client.sendAll(r.bytes, sizeof r.bytes) == static_cast<int>(ReplySize) ? 0 : -1;
}

void linkUrb(UsbDevice &e, sUrb *t) {
    bool locked = e.muxIn("submitUrb");
    e.urbs.push_back(t);
    if (locked) e.muxOut();
}

// Returns every buffer and the records; the transfer leaves the entry's list.
void freeUrb(UsbDevice &e, sUrb *t) {
    bool locked = e.muxIn("freeUrb");
    e.urbs.remove(t);
    if (locked) e.muxOut();
    UrbExtra &x = extraOf(t);
    for (int i = 0; i < t->count; i++) {
        usbdevfs_urb *u = t->item(i);
        if (u->buffer != nullptr) e.freeBuffer(u->buffer, x.allocated[i]);
        u->buffer = nullptr;
    }
    std::free(t->isoLengths);
    std::free(t->items);
    std::free(x.flags);
    std::free(x.allocated);
    reinterpret_cast<UrbBlock *>(t)->~UrbBlock();
    ::operator delete(reinterpret_cast<UrbBlock *>(t));
    usbUrbsInFlight--;
}

void freeItemBuffer(UsbDevice &e, sUrb *t, int i) {
    usbdevfs_urb *u = t->item(i);
    if (u->buffer != nullptr) e.freeBuffer(u->buffer, extraOf(t).allocated[i]);
    u->buffer = nullptr;
}

bool finished(const sUrb *t) {
    return (t->state & (UrbDone | UrbDiscarded)) != 0;
}

// Frees the transfer when it is answered (or discarded) and the kernel holds none of
// its URBs. True when it was freed.
bool maybeFree(UsbDevice &e, sUrb *t) {
    if (!finished(t) || t->inFlight > 0 || extraOf(t).reading) return false;
    freeUrb(e, t);
    return true;
}

// Asks the kernel to give back every URB of the transfer it still holds.
void discardInFlight(UsbDevice &e, sUrb *t) {
    UrbExtra &x = extraOf(t);
    for (int i = 0; i < t->count && e.fd >= 0; i++) {
        if (x.flags[i] != ItemInFlight) continue;
        platform().ioctl(e.fd, USBDEVFS_DISCARDURB, t->item(i));
    }
    t->next = t->count; // nothing more goes out
}

// The final reply of a transfer that ends without data; Done afterwards.
void finishTransfer(UsbSrvdPrcs &client, UsbDevice &e, sUrb *t, uint32_t status, uint32_t error) {
    if (!finished(t)) {
        sendHeader(client, t->word0 & 0xFF, ReplyBase + CmdSubmit, t->tag, 0, status, error);
        t->state = (t->state & ~(UrbBusy | UrbPrepared)) | UrbDone;
    }
    discardInFlight(e, t);
}

// Submits URB i: its buffer (IN: allocated here; OUT: filled by the caller). 0, the
// negative error number, or 1 when the kernel refused a continuation URB because an
// earlier URB of the transfer ended short (or failed) already: not submitted, and no
// error of its own (that earlier URB's completion ends the transfer).
int submitItem(UsbDevice &e, sUrb *t, int i) {
    usbdevfs_urb *u = t->item(i);
    UrbExtra &x = extraOf(t);
    if (u->buffer == nullptr && u->buffer_length > 0) {
        u->buffer = e.allocBuffer(u->buffer_length);
        x.allocated[i] = u->buffer_length;
        if (u->buffer == nullptr) return -ENOMEM;
    }
    if (e.fd < 0) return -ENODEV;
    errno = 0;
    if (platform().ioctl(e.fd, USBDEVFS_SUBMITURB, u) != 0) {
        if (errno == EREMOTEIO && (u->flags & USBDEVFS_URB_BULK_CONTINUATION)) return 1;
        return errno != 0 ? -errno : -1;
    }
    if (!t->in() && u->buffer_length > 512)
        loadHistory().addUsbOut(static_cast<uint32_t>((u->buffer_length + 512) / 1024));
    x.flags[i] = ItemInFlight;
    t->inFlight++;
    return 0;
}

// Submits the transfer's next URB; on failure the transfer ends with its error reply.
bool submitNext(UsbSrvdPrcs &client, UsbDevice &e, sUrb *t) {
    int i = t->next;
    if (i >= t->count) return false;
    int err = submitItem(e, t, i);
    if (err == 0) {
        t->next++;
        return true;
    }
    if (err > 0) return false;
    extraOf(t).flags[i] = ItemFinished;
    t->next++;
    t->completed++;
    t->state |= err == -ENODEV ? (UrbError | UrbAbort) : UrbError;
    finishTransfer(client, e, t, err == -ENODEV ? StatusAborted : StatusFailed, static_cast<uint32_t>(err));
    return false;
}

// Whether the device's descriptors declare the endpoint bulk, and only bulk: the kernel
// stops a queue at a short URB and unlinks the continuation URBs behind it only on a
// bulk endpoint, so only there may two URBs of a transfer be in flight.
bool bulkEndpoint(UsbDevice &e, uint8_t endpoint) {
    bool locked = e.muxIn("bulkEndpoint");
    bool bulk = false, other = false;
    for (const UsbConfiguration &c : e.configurations) {
        const std::vector<uint8_t> &d = c.descriptor;
        for (size_t at = 0; at + 2 <= d.size() && d[at] >= 2; at += d[at]) {
            if (d[at + 1] != 5 || d[at] < 7 || at + 7 > d.size() || d[at + 2] != endpoint) continue;
            ((d[at + 3] & 3) == 2 ? bulk : other) = true;
        }
    }
    if (locked) e.muxOut();
    return bulk && !other;
}

// Starts an IN transfer: its first URB, and a pipelined bulk transfer's second one
// behind it.
bool startIn(UsbSrvdPrcs &client, UsbDevice &e, sUrb *t) {
    if (!submitNext(client, e, t)) return false;
    if (t->count > 1 && (t->item(1)->flags & USBDEVFS_URB_BULK_CONTINUATION) && t->next < t->count &&
        !finished(t))
        submitNext(client, e, t);
    return true;
}

bool sameEndpoint(const sUrb *a, uint8_t endpoint, uint8_t type) {
    return a->endpoint == endpoint && ((a->type == UrbTypeIso) == (type == UrbTypeIso));
}

int inFlightOn(UsbDevice &e, uint8_t endpoint, uint8_t type) {
    int n = 0;
    for (sUrb *t : e.urbs)
        if (sameEndpoint(t, endpoint, type)) n += t->inFlight;
    return n;
}

// Keeps an IN endpoint busy: a bulk or interrupt endpoint runs one transfer at a time
// (the first queued one starts when none is busy); an isochronous one keeps two URBs
// in flight, from its transfers in order.
void pumpEndpoint(UsbSrvdPrcs &client, UsbDevice &e, uint8_t endpoint, uint8_t type) {
    if (!(endpoint & 0x80) || e.fd < 0) return;
    if (type != UrbTypeIso) {
        for (sUrb *t : e.urbs)
            if (sameEndpoint(t, endpoint, type) && !finished(t) && (t->state & UrbBusy)) return;
        for (sUrb *t : std::vector<sUrb *>(e.urbs.begin(), e.urbs.end())) {
            if (!sameEndpoint(t, endpoint, type) || finished(t) || t->next >= t->count) continue;
            t->state = UrbBusy;
            if (startIn(client, e, t)) return;
            if (!maybeFree(e, t)) continue;
        }
        return;
    }
    while (inFlightOn(e, endpoint, type) < 2) {
        sUrb *pick = nullptr;
        for (sUrb *t : e.urbs)
            if (sameEndpoint(t, endpoint, type) && !finished(t) && t->next < t->count) {
                pick = t;
                break;
            }
        if (pick == nullptr) return;
        pick->state = (pick->state & ~UrbPrepared) | UrbBusy;
        if (!submitNext(client, e, pick)) maybeFree(e, pick);
    }
}

// The reply of one completed IN URB: its data (bulk, interrupt), or its packet
// descriptors followed by the packets' data packed together (isochronous).
int replyIn(UsbSrvdPrcs &client, sUrb *t, int i, bool final) {
    usbdevfs_urb *u = t->item(i);
    const uint32_t code = final ? ReplyBase + CmdSubmit : ReplyPartial;
    if (u->actual_length > 512)
        loadHistory().addUsbIn(static_cast<uint32_t>((u->actual_length + 512) / 1024));
    if (t->type != UrbTypeIso) {
        const uint32_t n = static_cast<uint32_t>(std::max(0, u->actual_length));
        Reply r(t->word0 & 0xFF, code, t->tag, n, StatusDone, ErrNone);
        iovec iov[2] = {{r.bytes, ReplySize}, {u->buffer, n}};
        return client.sendAll(iov, n > 0 ? 2 : 1) >= 0 ? 0 : -1;
    }
    const int packets = u->number_of_packets;
    std::unique_ptr<uint8_t[]> desc(new (std::nothrow) uint8_t[static_cast<size_t>(packets) * 16]);
    if (!desc) return sendHeader(client, t->word0 & 0xFF, code, t->tag, 0, StatusAborted, ErrAborted);
    auto *data = static_cast<uint8_t *>(u->buffer);
    uint32_t from = 0, to = 0;
    for (int k = 0; k < packets; k++) {
        const usbdevfs_iso_packet_desc &p = u->iso_frame_desc[k];
        uint32_t actual = std::min(p.actual_length, p.length);
        putLe32(&desc[k * 16], static_cast<uint32_t>(p.status));
        putLe32(&desc[k * 16 + 4], to);
        putLe32(&desc[k * 16 + 8], actual);
        putLe32(&desc[k * 16 + 12], 0x12345678);
        if (actual > 0 && from != to) std::memmove(data + to, data + from, actual);
        from += p.length;
        to += actual;
    }
    const uint32_t total = to + 16 * static_cast<uint32_t>(packets);
    Reply r((t->word0 & 0xFF) | static_cast<uint32_t>(packets) << 8, code, t->tag, total, StatusDone,
            ErrNone);
    iovec iov[3] = {{r.bytes, ReplySize}, {desc.get(), static_cast<size_t>(packets) * 16}, {data, to}};
    return client.sendAll(iov, to > 0 ? 3 : 2) >= 0 ? 0 : -1;
}

// One URB came back. May free the transfer.
void reaped(UsbSrvdPrcs &client, UsbDevice &e, sUrb *t, int i) {
    UrbExtra &x = extraOf(t);
    usbdevfs_urb *u = t->item(i);
    x.flags[i] = ItemFinished;
    t->inFlight--;
    t->completed++;
    const uint8_t endpoint = t->endpoint, type = t->type;

    if (finished(t)) {
        // Answered or discarded already: only waiting for its URBs.
        if (maybeFree(e, t)) pumpEndpoint(client, e, endpoint, type);
        return;
    }
    if (t->state & UrbAbort) {
        finishTransfer(client, e, t, StatusAborted, ErrAborted);
        if (maybeFree(e, t)) pumpEndpoint(client, e, endpoint, type);
        return;
    }
    // A bulk URB that had to be full ended short: the normal end of the transfer.
    const bool cutShort = u->status == -EREMOTEIO && (u->flags & USBDEVFS_URB_SHORT_NOT_OK) &&
                          u->actual_length < u->buffer_length;
    if (u->status != 0 && !cutShort) {
        // Every type, interrupt too: a failed URB is a failed transfer.
        t->state |= UrbError;
        finishTransfer(client, e, t, StatusFailed, static_cast<uint32_t>(u->status));
        if (maybeFree(e, t)) pumpEndpoint(client, e, endpoint, type);
        return;
    }
    if (!t->in()) {
        t->remaining -= u->buffer_length;
        freeItemBuffer(e, t, i);
        if (t->completed == t->count) {
            sendHeader(client, t->word0 & 0xFF, ReplyBase + CmdSubmit, t->tag, 0, StatusDone, ErrNone);
            t->state = UrbDone;
        }
        maybeFree(e, t);
        return;
    }

    t->remaining -= u->actual_length;
    bool final;
    int err = 0;
    if (type == UrbTypeIso) {
        final = t->completed == t->count;
    } else {
        const bool shortUrb = u->actual_length < u->buffer_length;
        if (shortUrb) {
            // A short packet ends the transfer: the rest is never asked for, and a URB
            // already behind it comes back unlinked, to be reaped and dropped.
            t->completed += t->count - t->next;
            t->next = t->count;
        } else if (t->next < t->count) {
            // The next URB goes out before this one is answered.
            int j = t->next;
            err = submitItem(e, t, j);
            if (err > 0) {
                err = 0; // the URB in flight ended the transfer
            } else {
                t->next++;
                if (err != 0) {
                    x.flags[j] = ItemFinished;
                    t->completed++;
                }
            }
        }
        final = err == 0 && (shortUrb || t->completed == t->count);
    }
    if (replyIn(client, t, i, final) != 0) client.ending = true;
    freeItemBuffer(e, t, i);
    if (err != 0) {
        t->state |= err == -ENODEV ? (UrbError | UrbAbort) : UrbError;
        finishTransfer(client, e, t, err == -ENODEV ? StatusAborted : StatusFailed,
                       static_cast<uint32_t>(err));
    } else if (final) {
        t->state = UrbDone;
    }
    if (maybeFree(e, t)) {
        pumpEndpoint(client, e, endpoint, type);
    } else if (type == UrbTypeIso) {
        pumpEndpoint(client, e, endpoint, type);
    }
}

// Builds the transfer's URB records (no buffers yet). Null without memory, or for
// packet lengths that do not fit the request.
sUrb *buildUrb(UsbDevice &e, int entryNumber, const Request &request, uint8_t endpoint, uint8_t type,
               uint32_t length, const std::vector<uint32_t> &isoLengths) {
    const bool in = (endpoint & 0x80) != 0;
    const bool pipelined = type == UrbTypeBulk && in && bulkEndpoint(e, endpoint);
    int64_t count = 1;
    int64_t chunk = length;
    int packetsPerUrb = 0;
    const uint32_t packets = static_cast<uint32_t>(isoLengths.size());
    if (type == UrbTypeBulk && !e.video) {
        chunk = in ? MaxUrbIn.load() : MaxUrbOut.load();
        if (chunk <= 0) chunk = 65536;
        count = (length % chunk != 0 || length == 0) ? length / chunk + 1 : length / chunk;
    } else if (type == UrbTypeIso) {
        packetsPerUrb = static_cast<int>(packets);
        if (e.isoSplit && packets > IsoSplitPackets) {
            packetsPerUrb = IsoSplitPackets;
            count = (packets + IsoSplitPackets - 1) / IsoSplitPackets;
        }
    }
    const size_t itemSize = alignUp(sizeof(usbdevfs_urb) + sizeof(usbdevfs_iso_packet_desc) * packetsPerUrb,
                                    alignof(usbdevfs_urb));
    void *raw = ::operator new(sizeof(UrbBlock), std::nothrow);
    if (raw == nullptr) return nullptr;
    auto *block = new (raw) UrbBlock();
    sUrb *t = &block->urb;
    t->items = static_cast<uint8_t *>(std::calloc(static_cast<size_t>(count), itemSize));
    block->extra.flags = static_cast<uint8_t *>(std::calloc(static_cast<size_t>(count), 1));
    block->extra.allocated = static_cast<int32_t *>(std::calloc(static_cast<size_t>(count), sizeof(int32_t)));
    usbUrbsInFlight++;
    t->entry = entryNumber;
    t->endpoint = endpoint;
    t->type = type;
    t->count = static_cast<int32_t>(count);
    t->itemSize = static_cast<int32_t>(itemSize);
    t->word0 = request.word0;
    t->tag = request.tag;
    t->remaining = length;
    t->length = length;
    t->packets = packets;
    if (t->items == nullptr || block->extra.flags == nullptr || block->extra.allocated == nullptr) {
        t->count = 0;
        return t;
    }
    int64_t left = length;
    uint32_t packet = 0;
    for (int i = 0; i < t->count; i++) {
        usbdevfs_urb *u = t->item(i);
        u->type = type;
        u->endpoint = endpoint;
        u->usercontext = t;
        if (type == UrbTypeIso) {
            u->flags = USBDEVFS_URB_ISO_ASAP;
            int n = static_cast<int>(std::min<uint32_t>(packetsPerUrb, packets - packet));
            u->number_of_packets = n;
            int64_t bytes = 0;
            for (int k = 0; k < n; k++, packet++) {
                u->iso_frame_desc[k].length = isoLengths[packet];
                bytes += isoLengths[packet];
            }
            u->buffer_length = static_cast<int>(bytes);
            left -= bytes;
        } else {
            u->buffer_length = static_cast<int>(std::min<int64_t>(left, chunk));
            left -= u->buffer_length;
            if (pipelined && t->count > 1) {
                if (i + 1 < t->count) u->flags |= USBDEVFS_URB_SHORT_NOT_OK;
                if (i > 0) u->flags |= USBDEVFS_URB_BULK_CONTINUATION;
            }
        }
    }
    if (type == UrbTypeIso && left < 0) {
        // The packets ask for more than the request's length.
        std::printf("%s Error odd rest:%d/%d/%d urb:%d/%d?!\n", "sUrb", static_cast<int>(left),
                    static_cast<int>(length), static_cast<int>(packets), t->count, t->count);
        std::free(t->items);
        t->items = nullptr;
        t->count = 0;
    }
    return t;
}

// Reaps one completion of the entry's file: 1 when one was handled, 0 when none was
// given back (errno tells why), -1 when the kernel gave back a URB that is none of the
// entry's transfers'.
int reapOne(UsbSrvdPrcs &client, UsbDevice &e) {
    void *ptr = nullptr;
    errno = 0;
    if (platform().ioctl(e.fd, USBDEVFS_REAPURBNDELAY, &ptr) != 0) return 0;
    auto *urb = static_cast<usbdevfs_urb *>(ptr);
    auto *t = urb != nullptr ? static_cast<sUrb *>(urb->usercontext) : nullptr;
    if (t == nullptr || std::find(e.urbs.begin(), e.urbs.end(), t) == e.urbs.end()) return -1;
    int i = t->indexOf(urb);
    if (i < 0 || extraOf(t).flags[i] != ItemInFlight) return -1;
    reaped(client, e, t, i);
    return 1;
}

// What the device finished while an OUT transfer's data is still read: its buffers go
// back to the entry and carry the next URBs' data while their pages are still mapped,
// instead of the transfer holding its whole length in fresh memory. A failure (the
// device gone too) is left to the file's epoll callback.
void reapWhileReading(UsbSrvdPrcs &client, UsbDevice &e) {
    for (int n = 0; n < ReapBatch && e.fd >= 0 && !client.ending; n++) {
        int r = reapOne(client, e);
        if (r < 0) client.ending = true;
        if (r <= 0) return;
    }
}

// A request whose own bytes stopped coming within the time-out cannot be told apart
// from the next one: it is answered and the session ends instead of reading on out of
// step.
int cutShort(UsbSrvdPrcs &client, const Request &request, uint32_t error) {
    sendHeader(client, request.word0 & 0xFF, ReplyBase + CmdSubmit, request.tag, 0, StatusFailed, error);
    return -1;
}

// Drops the rest of a request's OUT data and answers with a bare header.
int refuse(UsbSrvdPrcs &client, const Request &request, uint64_t drop, uint32_t status, uint32_t error) {
    if (client.skip(drop) != 0) return -1;
    return sendHeader(client, request.word0 & 0xFF, ReplyBase + CmdSubmit, request.tag, 0, status, error);
}

} // namespace

int sUrb::indexOf(const usbdevfs_urb *urb) const {
    const auto *p = reinterpret_cast<const uint8_t *>(urb);
    if (items == nullptr || p < items || itemSize <= 0) return -1;
    size_t off = static_cast<size_t>(p - items);
    if (off % static_cast<size_t>(itemSize) != 0) return -1;
    size_t i = off / static_cast<size_t>(itemSize);
    return i < static_cast<size_t>(count) ? static_cast<int>(i) : -1;
}

void usbSetChunkSizes(int linkMbps) {
    MaxUrbIn = linkMbps > 1000 ? 131072 : 65536;
    MaxUrbOut = linkMbps > 1000 ? 98304 : 65536;
}

int usbSubmit(UsbSrvdPrcs &client, const Request &request) {
    uint8_t p[12];
    if (client.readExact(p, sizeof p) != static_cast<int>(sizeof p))
        return cutShort(client, request, ErrState);
    const int entryNumber = p[0];
    const int port = p[1];
    const uint8_t endpoint = p[2];
    const uint8_t type = p[3];
    const uint32_t inLength = getBe32(p + 4);
    const uint32_t outLength = getBe32(p + 8);

    std::vector<uint32_t> isoLengths;
    if (type == UrbTypeIso) {
        const uint32_t packets = request.count();
        if (packets > MaxIsoPackets)
            return refuse(client, request, static_cast<uint64_t>(packets) * 16 + outLength, StatusFailed,
                          EINVAL);
        std::vector<uint8_t> raw(static_cast<size_t>(packets) * 16);
        if (packets > 0 && client.readExact(raw.data(), raw.size()) != static_cast<int>(raw.size()))
            return cutShort(client, request, ErrState);
        isoLengths.resize(packets);
        for (uint32_t k = 0; k < packets; k++)
            isoLengths[k] = getLe32(&raw[k * 16 + 8]);
    }

    UsbDevice *e = usbEntry(entryNumber);
    if (e == nullptr || e->port != port || e->state.load() < UsbEntryPresent)
        return refuse(client, request, outLength, StatusFailed, ErrInvalid);

    if (type == UrbTypeControl) {
        // The setup packet and its data; more than a control transfer can carry is
        // dropped and refused.
        if (outLength < 8 || outLength > 8 + MaxControlData)
            return refuse(client, request, outLength, StatusFailed, EINVAL);
        std::vector<uint8_t> out(outLength);
        if (client.readExact(out.data(), outLength) != static_cast<int>(outLength))
            return cutShort(client, request, ErrMemory);
        std::vector<uint8_t> in(std::min(inLength, MaxControlData));
        uint32_t status = StatusRefused, error = ErrMemory;
        int n = usbControl(client, entryNumber, out.data(), outLength, inLength, in.data(), status, error);
        Reply r(request.word0 & 0xFF, ReplyBase + CmdSubmit, request.tag,
                n > 0 ? static_cast<uint32_t>(n) : 0, status, error);
        iovec iov[2] = {{r.bytes, ReplySize}, {in.data(), n > 0 ? static_cast<size_t>(n) : 0}};
        return client.sendAll(iov, n > 0 ? 2 : 1) >= 0 ? 0 : -1;
    }

    if (ownedEntry(client, entryNumber) == nullptr)
        return refuse(client, request, outLength, StatusRefused, ErrMemory);
    if (type > UrbTypeBulk) return refuse(client, request, outLength, StatusFailed, EINVAL);
    if (e->fd < 0) return refuse(client, request, outLength, StatusFailed, ErrInvalid);

    const bool in = (endpoint & 0x80) != 0;
    const uint32_t length = in ? inLength : outLength;
    sUrb *t = buildUrb(*e, entryNumber, request, endpoint, type, length, isoLengths);
    if (t == nullptr || t->count == 0) {
        std::printf("%s Error: new purb:%p mem fault!?\n", "submitUrb", static_cast<void *>(t));
        if (t != nullptr) {
            t->state = UrbDone;
            freeUrb(*e, t);
        }
        return refuse(client, request, in ? outLength : outLength, StatusFailed, ErrInvalid);
    }
    t->state = UrbPrepared;
    linkUrb(*e, t);

    if (in) {
        // IN transfers never carry data from the client; any announced is dropped.
        if (outLength > 0 && client.skip(outLength) != 0) return -1;
        bool queue = false;
        for (sUrb *o : e->urbs)
            if (o != t && sameEndpoint(o, endpoint, type) && !finished(o) &&
                (type == UrbTypeIso || (o->state & UrbBusy)))
                queue = true;
        if (type == UrbTypeIso) queue = queue && inFlightOn(*e, endpoint, type) > 1;
        if (queue) return 0; // the completion path starts it
        t->state = UrbBusy;
        if (type == UrbTypeIso) {
            pumpEndpoint(client, *e, endpoint, type);
        } else if (!startIn(client, *e, t)) {
            maybeFree(*e, t);
        }
        return client.ending ? -1 : 0;
    }

    // OUT: every URB's data is read into its buffer and the URB submitted at once;
    // completions are reaped in between, the transfer staying until its data is read.
    t->state = UrbBusy;
    uint64_t consumed = 0;
    UrbExtra &x = extraOf(t);
    x.reading = true;
    for (int i = 0; i < t->count; i++) {
        usbdevfs_urb *u = t->item(i);
        if (u->buffer_length > 0) {
            u->buffer = e->allocBuffer(u->buffer_length);
            x.allocated[i] = u->buffer_length;
            if (u->buffer == nullptr) {
                t->next = i;
                submitNext(client, *e, t); // fails for want of memory and answers
                break;
            }
            int r = client.readExact(u->buffer, static_cast<size_t>(u->buffer_length));
            if (r != u->buffer_length) {
                // The stream broke in the middle of the data: nothing more can be read.
                t->state |= UrbError | UrbDone;
                x.reading = false;
                discardInFlight(*e, t);
                maybeFree(*e, t);
                return -1;
            }
            consumed += static_cast<uint64_t>(u->buffer_length);
        }
        if (!submitNext(client, *e, t)) break;
        reapWhileReading(client, *e);
        if (finished(t)) break; // a URB failed: the rest of the data is dropped
    }
    x.reading = false;
    // Whatever happened, the stream goes on after the announced bytes.
    if (consumed < outLength && client.skip(outLength - consumed) != 0) {
        maybeFree(*e, t);
        return -1;
    }
    maybeFree(*e, t);
    return client.ending ? -1 : 0;
}

int usbCompletion(UsbSrvClient *record, uint32_t events) {
    (void)events;
    auto *client = dynamic_cast<UsbSrvdPrcs *>(Task::current());
    UsbDevice *e = usbEntry(record->userValue);
    if (client == nullptr || e == nullptr || e->waitRecord != record) return -1;
    for (int n = 0; n < ReapBatch && e->fd >= 0 && !client->ending; n++) {
        int r = reapOne(*client, *e);
        if (r < 0) return -1;
        if (r == 0) {
            if (errno == EAGAIN) break;
            if (errno == EINTR) {
                std::printf("%s% d EINTR\n", "cb_usbSrv", 2284);
                continue;
            }
            if (errno == ENODEV) {
                // The device is gone: its client loses it.
                client->takeDevice(record->userValue, false);
                return 0;
            }
            break;
        }
    }
    return client->ending ? -1 : 0;
}

int usbDiscard(UsbSrvdPrcs &client, const Request &request) {
    uint8_t p[4];
    if (client.readExact(p, sizeof p) != static_cast<int>(sizeof p)) {
        sendHeader(client, request.word0, ReplyBase + CmdDiscard, request.tag, 0, StatusFailed, ErrState);
        return -1; // the stream has lost its framing
    }
    uint32_t tag;
    std::memcpy(&tag, p, 4); // as it was sent: the bytes are compared, not the number
    const uint32_t wireTag = getBe32(p);
    (void)tag;
    for (auto it = client.owned.rbegin(); it != client.owned.rend(); ++it) {
        UsbDevice *e = ownedEntry(client, *it);
        if (e == nullptr) continue;
        sUrb *found = nullptr;
        for (sUrb *t : e->urbs)
            if (t->tag == wireTag && !finished(t)) {
                found = t;
                break;
            }
        if (found == nullptr) continue;
        found->state |= UrbDiscarded;
        discardInFlight(*e, found);
        const uint8_t endpoint = found->endpoint, type = found->type;
        if (maybeFree(*e, found)) pumpEndpoint(client, *e, endpoint, type);
        break;
    }
    return sendHeader(client, request.word0, ReplyBase + CmdDiscard, request.tag, 0, StatusDone, ErrNone);
}

int usbAbort(UsbSrvdPrcs &client, const Request &request) {
    uint8_t p[3];
    if (client.readExact(p, sizeof p) != static_cast<int>(sizeof p)) return -1;
    UsbDevice *e = usbEntry(p[0]);
    if (e == nullptr || e->port != p[1] || e->state.load() < UsbEntryPresent)
        return sendHeader(client, request.word0, ReplyBase + CmdAbort, request.tag, 0, StatusFailed,
                          ErrInvalid);
    if (ownedEntry(client, p[0]) == nullptr || e->fd < 0)
        return sendHeader(client, request.word0, ReplyBase + CmdAbort, request.tag, 0, StatusFailed,
                          ErrState);
    const uint8_t endpoint = p[2];
    for (sUrb *t : std::vector<sUrb *>(e->urbs.begin(), e->urbs.end())) {
        if (t->endpoint != endpoint || finished(t)) continue;
        t->state = (t->state & ~UrbDiscarded) | UrbAbort;
        discardInFlight(*e, t);
        if (t->inFlight == 0) {
            finishTransfer(client, *e, t, StatusAborted, ErrAborted);
            maybeFree(*e, t);
        }
    }
    return sendHeader(client, request.word0, ReplyBase + CmdAbort, request.tag, 0, StatusDone, ErrNone);
}

void usbEndTransfers(UsbSrvdPrcs &client, UsbDevice &e, bool reply) {
    for (sUrb *t : std::vector<sUrb *>(e.urbs.begin(), e.urbs.end())) {
        if (!finished(t)) {
            if (reply) {
                t->state |= UrbAbort;
                finishTransfer(client, e, t, StatusAborted, ErrAborted);
            } else {
                t->state |= UrbDiscarded;
                discardInFlight(e, t);
            }
        } else {
            discardInFlight(e, t);
        }
        if (e.fd < 0) t->inFlight = 0; // the closed file took its URBs with it
        maybeFree(e, t);
    }
}

void usbFreeTransfers(UsbDevice &e) {
    for (sUrb *t : std::vector<sUrb *>(e.urbs.begin(), e.urbs.end())) {
        t->state |= UrbDone;
        t->inFlight = 0;
        freeUrb(e, t);
    }
}

int usbControl(UsbSrvdPrcs &client, int entryNumber, const uint8_t *out, uint32_t outLength,
               uint32_t inLength, uint8_t *in, uint32_t &status, uint32_t &error) {
    status = StatusRefused;
    error = ErrMemory;
    UsbDevice *e = usbEntry(entryNumber);
    if (e == nullptr || outLength < 8) return 0;
    const uint8_t requestType = out[0], req = out[1];
    const uint16_t value = getBe16(out + 2), index = getBe16(out + 4), wLength = getBe16(out + 6);
    const bool owner = e->state.load() == UsbEntryOpened && e->owner == client.record;
    const uint32_t inCapacity = std::min(inLength, MaxControlData);
    // What the device may write or read: never more than the client gave room or data for.
    auto lengthFits = [&] { return (requestType & 0x80) ? wLength <= inCapacity : wLength <= outLength - 8; };

    if (owner && requestType == 0x01 && req == 11) { // SET_INTERFACE
        if (value == e->uasAlternate && index == e->uasInterface) {
            status = StatusRefused;
            error = ErrNoConfig;
            return 0;
        }
        usbdevfs_setinterface si{index, value};
        bool ok = e->fd >= 0 && platform().ioctl(e->fd, USBDEVFS_SETINTERFACE, &si) == 0;
        status = ok ? StatusDone : StatusRefused;
        error = ok ? ErrNone : ErrNoConfig;
        return 0;
    }
    if (owner && requestType == 0x02 && req == 1) { // CLEAR_FEATURE of an endpoint
        unsigned int ep = index;
        bool ok = e->fd >= 0 && platform().ioctl(e->fd, USBDEVFS_RESETEP, &ep) == 0;
        status = ok ? StatusDone : StatusRefused;
        error = ok ? ErrNone : ErrNoConfig;
        return 0;
    }

    if (e->state.load() == UsbEntryPresent && requestType == 0xC0 && req == 1) {
        // Vendor request 1 of a device nobody opened, on a file of its own. usbfs
        // takes requests only on a file opened for writing.
        if (!lengthFits()) {
            status = StatusFailed;
            error = EINVAL;
            return 0;
        }
        int fd = usbOpenDeviceFile(*e, O_RDWR);
        if (fd < 0) {
            status = StatusFailed;
            error = errnoOr(ENODEV);
            return 0;
        }
        usbdevfs_ctrltransfer c{requestType, req, value, index, wLength, 1000, in};
        errno = 0;
        int r = platform().ioctl(fd, USBDEVFS_CONTROL, &c);
        int err = errno;
        platform().close(fd);
        if (r < 0) {
            status = StatusFailed;
            error = static_cast<uint32_t>(err != 0 ? err : EIO);
            return 0;
        }
        status = StatusDone;
        error = ErrNone;
        return r;
    }

    if (requestType == 0x80 && req == 6) { // GET_DESCRIPTOR
        const int kind = value >> 8, descIndex = value & 0xFF;
        const uint32_t length = std::min<uint32_t>(inCapacity, wLength);
        switch (kind) {
        case 1: {
            uint32_t n = std::min<uint32_t>(length, sizeof e->deviceDescriptor);
            if (n > 0) std::memcpy(in, e->deviceDescriptor, n);
            status = StatusDone;
            error = ErrNone;
            return static_cast<int>(n);
        }
        case 2: {
            bool locked = e->muxIn("processCtrlReq");
            int n = -1;
            if (descIndex < static_cast<int>(e->configurations.size())) {
                const std::vector<uint8_t> &d = e->configurations[static_cast<size_t>(descIndex)].descriptor;
                n = static_cast<int>(std::min<size_t>(d.size(), length));
                if (n > 0) std::memcpy(in, d.data(), static_cast<size_t>(n));
            }
            if (locked) e->muxOut();
            status = n < 0 ? StatusFailed : StatusDone;
            error = n < 0 ? ErrNoConfig : ErrNone;
            return std::max(n, 0);
        }
        case 3: {
            uint8_t d[256];
            bool locked = e->muxIn("processCtrlReq");
            int n = e->lookupString(index, descIndex, d, sizeof d);
            bool failed = false;
            int err = 0;
            if (n < 0 && descIndex <= 237) {
                if (e->state.load() == UsbEntryPresent) {
                    int fd = usbOpenDeviceFile(*e, O_RDWR);
                    if (fd >= 0) {
                        n = e->fetchString(fd, index, descIndex, d, 255);
                        platform().close(fd);
                    }
                } else if (owner && hasQuirk(*e, QuirkStringOnOpenFile) && e->fd >= 0) {
                    n = e->fetchString(e->fd, index, descIndex, d, 255);
                } else {
                    failed = true;
                    err = errno != 0 ? errno : EBUSY;
                }
            }
            if (locked) e->muxOut();
            if (failed) {
                status = StatusFailed;
                error = static_cast<uint32_t>(err);
                return 0;
            }
            if (n > 0) {
                uint32_t k = std::min<uint32_t>(static_cast<uint32_t>(n), length);
                if (k > 0) std::memcpy(in, d, k);
                status = StatusDone;
                error = ErrNone;
                return static_cast<int>(k);
            }
            if (length >= 2) {
                in[0] = 2;
                in[1] = 3;
                status = StatusDone;
                error = ErrNone;
                return 2;
            }
            status = StatusRefused;
            error = ErrFixed;
            return 0;
        }
        case 6:
            if (hasQuirk(*e, QuirkNoQualifier)) {
                status = StatusFailed;
                error = ErrFixed;
                return 0;
            }
            break;
        default:
            break;
        }
    }

    if (!owner) return 0; // 5/12
    if (!lengthFits()) {
        status = StatusFailed;
        error = EINVAL;
        return 0;
    }
    if (e->fd < 0) {
        status = StatusFailed;
        error = ErrState;
        return 0;
    }
    usbdevfs_ctrltransfer c{requestType,
                            req,
                            value,
                            index,
                            wLength,
                            1000,
                            (requestType & 0x80) ? static_cast<void *>(in) : const_cast<uint8_t *>(out + 8)};
    errno = 0;
    int r = platform().ioctl(e->fd, USBDEVFS_CONTROL, &c);
    if (r < 0) {
        int err = errno != 0 ? errno : EIO;
        status = StatusFailed;
        error = static_cast<uint32_t>(err);
        if (err == ETIMEDOUT && hasQuirk(*e, QuirkTimeoutReset))
            platform().ioctl(e->fd, USBDEVFS_RESET, nullptr);
        return 0;
    }
    status = StatusDone;
    error = ErrNone;
    return (requestType & 0x80) ? std::min<int>(r, static_cast<int>(inCapacity)) : 0;
}

const char *usbUrbStateText(const sUrb *urb) {
    static thread_local char texts[2][97];
    static thread_local int which = 0;
    if (urb == nullptr) return "Error!";
    char *out = texts[which];
    which ^= 1;
    out[0] = '\0';
    static const char *const names[] = {"Prepared ", "Busy ", "Discarded ", "Done ", "Error ", "Abort "};
    static const uint32_t bits[] = {UrbPrepared, UrbBusy, UrbDiscarded, UrbDone, UrbError, UrbAbort};
    uint32_t rest = urb->state;
    size_t len = 0;
    for (int b = 0; b < 32; b++) {
        uint32_t bit = 1u << b;
        if (!(rest & bit)) continue;
        const char *name = "Unknown ";
        for (size_t k = 0; k < 6; k++)
            if (bits[k] == bit) name = names[k];
        size_t n = std::strlen(name);
        if (len + n > 96) break;
        std::memcpy(out + len, name, n + 1);
        len += n;
    }
    return out;
}

void usbInstallTransferHooks() {
    usbDeviceHooks().writeUrbList = [](UsbDevice &e, const std::function<bool(const char *, size_t)> &write) {
        for (sUrb *t : e.urbs) {
            char line[256];
            int n = std::snprintf(line, sizeof line,
                                  "<TR><TD> urb %p edp:%02X</TD><TD>left:%lld urbs:%d/%d %s</TD></TR>\n",
                                  static_cast<void *>(t), t->endpoint, static_cast<long long>(t->remaining),
                                  t->completed, t->count, usbUrbStateText(t));
            if (n > 0) write(line, std::min<size_t>(static_cast<size_t>(n), sizeof line - 1));
        }
    };
}
