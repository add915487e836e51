// Device models of the USB stand-in: what each simulated device answers.
//   loopback  bulk OUT 0x01 -> bulk IN 0x81 (two configurations, alternate settings),
//             in packets of the endpoints' size, ending an IN where the OUT ended
//   sourcesink bulk OUT 0x01 takes everything, bulk IN 0x81 sends a counting pattern
//   vanish    a loopback that leaves the bus after "bytes" bytes (default 4096)
//   stall     a loopback whose IN endpoint stalls every transfer
//   storage   Bulk-Only mass storage (SCSI) over an image file ("image=") or memory ("size=")
//   hid       a boot keyboard: interrupt IN 0x81, reports queued with "usb poke <dev> report <hex>"
//   iso       isochronous IN 0x81 with varying packet lengths and OUT 0x02 into a sink
//             (interface 0, alternate 1)
//   hub       a hub: class 9, its status endpoint never reports
//   dongle    a licence dongle: control only, vendor request 1 answers (ids 0529:0001)
// Options of every kind: vid, pid, bcd (hex), speed (low|full|high|super), strings
// (normal|cjk|broken), pace (usb2 or bytes per second), latency (microseconds), bytes.
#include "sim/usb.h"

#include "core/crc32.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace sim {

namespace {

constexpr uint16_t LangEnglish = 0x0409;
constexpr uint16_t LangGerman = 0x0407;
constexpr uint16_t LangChinese = 0x0804;

uint16_t bulkPacket(UsbSpeed s) {
    return s == UsbSpeed::Super ? 1024 : s == UsbSpeed::High ? 512 : 64;
}

// ---- loopback ------------------------------------------------------------------

// A FIFO device: what the host sends on the OUT endpoint comes back on the IN one,
// in packets of the IN endpoint's size. Where an OUT transfer ended with a short or
// zero-length packet the IN side sends a short (or zero-length) packet too, so an IN
// transfer ends where the OUT one did; full packets alone end nothing, and an IN
// transfer waits (NAK) until it is full or such a packet comes. A packet that does
// not fit the rest of the IN buffer is babble (-EOVERFLOW).
class Loopback : public UsbModel {
public:
    explicit Loopback(bool stalling) : stalling_(stalling) {}
    const char *kind() const override { return stalling_ ? "stall" : "loopback"; }
    bool transfer(UsbDevice &, UsbTransfer &t) override {
        if (t.endpoint & USB_DIR_IN) {
            if (stalling_ && t.endpoint == 0x81) {
                t.status = -EPIPE;
                return true;
            }
            return send(t);
        }
        return receive(t);
    }
    void reset(UsbDevice &) override {
        fifo_.clear();
        queued_ = 0;
    }
    void state(std::string &out) override { out += "usb_loopback_queued " + std::to_string(queued_) + "\n"; }

private:
    static constexpr size_t Capacity = 1 << 20;
    static constexpr size_t MaxChunks = 4096;
    struct Chunk {
        std::vector<uint8_t> bytes;
        size_t at = 0;
        bool end = false; // the OUT transfer ended here (short or zero-length packet)
    };

    // Takes whole packets while there is room; the rest of the transfer waits.
    bool receive(UsbTransfer &t) {
        size_t mps = static_cast<size_t>(std::max(1, t.maxPacket));
        size_t done = static_cast<size_t>(t.actual), length = static_cast<size_t>(t.length);
        size_t room = Capacity - std::min(Capacity, queued_);
        size_t take = length - done <= room ? length - done : room / mps * mps;
        if ((take == 0 && length > done) || fifo_.size() >= MaxChunks) return false;
        bool last = done + take == length;
        bool zeroPacket = (t.flags & USBDEVFS_URB_ZERO_PACKET) && length % mps == 0;
        fifo_.push_back({std::vector<uint8_t>(t.data + done, t.data + done + take), 0,
                         last && (length % mps != 0 || length == 0 || zeroPacket)});
        queued_ += take;
        t.actual = static_cast<int>(done + take);
        return last;
    }

    // The bytes of the next packet (up to mps, not beyond an end mark); false when no
    // packet can go yet: less than a full one waits without an end mark.
    bool nextPacket(size_t mps, size_t &size, bool &endsAtMark) const {
        size = 0;
        for (const auto &c : fifo_) {
            size_t avail = c.bytes.size() - c.at;
            size_t n = std::min(avail, mps - size);
            size += n;
            if (size == mps) {
                endsAtMark = false;
                return true;
            }
            if (c.end) {
                endsAtMark = true;
                return true;
            }
        }
        return false;
    }

    // Moves n bytes into out (null: drops them); with consumeMark, also the end mark
    // the packet reached (a mark after a full packet stays for a zero-length one).
    void take(size_t n, uint8_t *out, bool consumeMark) {
        while (!fifo_.empty() && (n > 0 || consumeMark)) {
            Chunk &c = fifo_.front();
            size_t k = std::min(n, c.bytes.size() - c.at);
            if (out && k) {
                std::memcpy(out, c.bytes.data() + c.at, k);
                out += k;
            }
            c.at += k;
            n -= k;
            queued_ -= k;
            if (c.at < c.bytes.size()) break;
            if (c.end) {
                if (consumeMark) fifo_.pop_front();
                break;
            }
            fifo_.pop_front();
        }
    }

    bool send(UsbTransfer &t) {
        size_t mps = static_cast<size_t>(std::max(1, t.maxPacket));
        size_t got = static_cast<size_t>(t.actual), length = static_cast<size_t>(t.length);
        for (;;) {
            if (got == length && length > 0) break; // full
            // Whole packets straight from the front chunk.
            if (!fifo_.empty()) {
                Chunk &c = fifo_.front();
                size_t n = std::min(c.bytes.size() - c.at, length - got) / mps * mps;
                if (n > 0) {
                    std::memcpy(t.data + got, c.bytes.data() + c.at, n);
                    c.at += n;
                    queued_ -= n;
                    got += n;
                    if (c.at == c.bytes.size() && !c.end) fifo_.pop_front();
                    continue;
                }
            }
            size_t size = 0;
            bool mark = false;
            if (!nextPacket(mps, size, mark)) {
                t.actual = static_cast<int>(got);
                return false; // NAK: the bytes so far stay in the host's buffer
            }
            size_t room = length - got;
            if (size > room) { // babble: more than the buffer holds
                take(room, t.data + got, false);
                take(size - room, nullptr, mark && size < mps);
                got = length;
                t.status = -EOVERFLOW;
                break;
            }
            take(size, t.data + got, mark && size < mps);
            got += size;
            if (size < mps) break; // a short or zero-length packet ends the transfer
        }
        t.actual = static_cast<int>(got);
        return true;
    }

    bool stalling_;
    std::deque<Chunk> fifo_;
    size_t queued_ = 0;
};

// Fills n bytes with the counting pattern from stream position at (byte k of the stream
// is k mod 256), copied in blocks: the pattern repeats every 256 bytes, so every block
// starts at the same place of it.
void fillPattern(uint8_t *data, size_t n, uint64_t at) {
    static const auto pattern = [] {
        std::array<uint8_t, 4096 + 256> p{};
        for (size_t k = 0; k < p.size(); k++)
            p[k] = static_cast<uint8_t>(k);
        return p;
    }();
    const uint8_t *from = pattern.data() + (at & 0xFF);
    for (size_t done = 0; done < n; done += 4096)
        std::memcpy(data + done, from, std::min<size_t>(4096, n - done));
}

// A source and sink, as the speed-test configuration of a test device: the OUT
// endpoint takes everything, the IN endpoint sends full packets of a counting pattern
// (byte k of the stream is k mod 256) without end, so an IN buffer that is not a
// multiple of the packet size ends in babble. The sink checks what it took (a CRC-32
// of the stream) on a thread of its own, as a device works beside the host: an OUT
// URB completes as soon as its data is taken, and the check never costs the thread
// that submitted it. The state waits for the check to catch up.
class SourceSink : public UsbModel {
public:
    SourceSink() : checker_([this] { check(); }) {}
    ~SourceSink() override {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            stop_ = true;
        }
        work_.notify_all();
        checker_.join();
    }
    const char *kind() const override { return "sourcesink"; }
    bool transfer(UsbDevice &, UsbTransfer &t) override {
        if (!(t.endpoint & USB_DIR_IN)) {
            sunk_ += static_cast<uint64_t>(t.length);
            t.actual = t.length;
            t.keepsData = true;
            return true;
        }
        int mps = std::max(1, t.maxPacket);
        int n = t.length / mps * mps; // the full packets that fit
        bool babble = n < t.length || t.length == 0;
        if (babble) n = t.length; // the packet that did not fit fills the rest, and is gone
        fillPattern(t.data, static_cast<size_t>(n), sourced_);
        sourced_ += static_cast<uint64_t>(babble ? (t.length / mps + 1) * mps : n);
        t.actual = n;
        if (babble) t.status = -EOVERFLOW;
        return true;
    }
    void takeData(std::shared_ptr<const uint8_t> data, size_t length) override {
        std::vector<Block> checked;
        std::unique_lock<std::mutex> lk(mutex_);
        // A device's buffer is finite: a host far ahead waits for it.
        if (queuedBytes_ >= MaxQueuedBytes) {
            waiters_++;
            idle_.wait(lk, [this] { return queuedBytes_ < MaxQueuedBytes; });
            waiters_--;
        }
        queue_.push_back({std::move(data), length});
        queuedBytes_ += length;
        // Blocks checked meanwhile go back here, on the submitting thread, whose
        // allocator keeps them for its next URBs.
        checked.swap(checked_);
        // The checker is woken only when it sleeps: a busy one finds the block itself.
        const bool wake = sleeping_;
        lk.unlock();
        if (wake) work_.notify_one();
    }
    void reset(UsbDevice &) override { sourced_ = 0; }
    void state(std::string &out) override {
        uint32_t crc;
        {
            std::unique_lock<std::mutex> lk(mutex_);
            waiters_++;
            idle_.wait(lk, [this] { return queue_.empty() && !checking_; });
            waiters_--;
            crc = sinkCrc_;
        }
        char text[128];
        std::snprintf(text, sizeof text, "usb_sink_bytes %llu\nusb_sink_crc 0x%08x\nusb_source_bytes %llu\n",
                      static_cast<unsigned long long>(sunk_), crc ^ 0xFFFFFFFFu,
                      static_cast<unsigned long long>(sourced_));
        out += text;
    }

private:
    struct Block {
        std::shared_ptr<const uint8_t> data;
        size_t length = 0;
    };
    // What the device holds unchecked at most (about 85 URBs of 96 KiB).
    static constexpr size_t MaxQueuedBytes = 8u << 20;

    // The checking thread: folds each block into the CRC, in the order taken.
    void check() {
        std::unique_lock<std::mutex> lk(mutex_);
        for (;;) {
            if (queue_.empty() && !stop_) {
                sleeping_ = true;
                work_.wait(lk, [this] { return stop_ || !queue_.empty(); });
                sleeping_ = false;
            }
            if (queue_.empty()) return;
            Block b = std::move(queue_.front());
            queue_.pop_front();
            checking_ = true;
            uint32_t crc = sinkCrc_;
            lk.unlock();
            crc = crc32Update(crc, b.data.get(), b.length);
            lk.lock();
            sinkCrc_ = crc;
            checking_ = false;
            queuedBytes_ -= b.length;
            checked_.push_back(std::move(b));
            if (waiters_ > 0) idle_.notify_all();
        }
    }

    uint64_t sunk_ = 0, sourced_ = 0;
    std::mutex mutex_;
    std::condition_variable work_, idle_;
    std::deque<Block> queue_;
    std::vector<Block> checked_;
    size_t queuedBytes_ = 0; // taken and not yet checked
    int waiters_ = 0;        // threads waiting for the check to catch up
    bool checking_ = false;
    bool sleeping_ = false;
    bool stop_ = false;
    uint32_t sinkCrc_ = 0xFFFFFFFFu; // reported as the usual CRC-32 (zlib's)
    std::thread checker_;            // last: starts when the rest is ready
};

void describeLoopback(UsbDescription &d) {
    uint16_t mps = bulkPacket(d.speed);
    d.addConfig(1, 0x80, 50, 4);
    d.addInterface(0, 0, 0xFF, 0, 0, 5);
    d.addEndpoint(0x01, USB_ENDPOINT_XFER_BULK, mps);
    d.addEndpoint(0x81, USB_ENDPOINT_XFER_BULK, mps);
    d.addInterface(0, 1, 0xFF, 0, 0);
    d.addEndpoint(0x01, USB_ENDPOINT_XFER_BULK, mps);
    d.addEndpoint(0x81, USB_ENDPOINT_XFER_BULK, mps);
    d.addEndpoint(0x83, USB_ENDPOINT_XFER_INT, 64, 4);
    d.addConfig(2, 0xC0, 25);
    d.addInterface(0, 0, 0xFF, 0, 0);
    d.addEndpoint(0x02, USB_ENDPOINT_XFER_BULK, mps);
    d.addEndpoint(0x82, USB_ENDPOINT_XFER_BULK, mps);
}

// One configuration with one interface of a bulk IN and a bulk OUT endpoint.
void describeBulkPair(UsbDescription &d, uint8_t maxPower, uint8_t cls, uint8_t subClass, uint8_t protocol,
                      uint8_t in, uint8_t out) {
    uint16_t mps = bulkPacket(d.speed);
    d.addConfig(1, 0x80, maxPower);
    d.addInterface(0, 0, cls, subClass, protocol);
    d.addEndpoint(in, USB_ENDPOINT_XFER_BULK, mps);
    d.addEndpoint(out, USB_ENDPOINT_XFER_BULK, mps);
}

// ---- mass storage ----------------------------------------------------------------

class Storage : public UsbModel {
public:
    Storage(int fd, uint64_t bytes) : fd_(fd), memory_(fd < 0 ? bytes : 0), blocks_(bytes / Block) {}
    ~Storage() override {
        if (fd_ >= 0) ::close(fd_);
    }
    const char *kind() const override { return "storage"; }

    int control(UsbDevice &, const usb_ctrlrequest &s, uint8_t *data) override {
        if (s.bRequestType == 0xA1 && s.bRequest == 0xFE && s.wLength >= 1) { // Get Max LUN
            data[0] = 0;
            return 1;
        }
        if (s.bRequestType == 0x21 && s.bRequest == 0xFF) { // Bulk-Only reset
            phase_ = Phase::Command;
            return 0;
        }
        return -EPIPE;
    }

    bool transfer(UsbDevice &dev, UsbTransfer &t) override {
        if (t.endpoint & USB_DIR_IN) return transferIn(dev, t);
        if (phase_ == Phase::Command) {
            commandBlock(dev, t);
            t.actual = t.length;
            return true;
        }
        if (phase_ != Phase::DataOut) return false;
        int n = std::min<int>(t.length, static_cast<int>(left_));
        int keep = std::min<int>(n, static_cast<int>(toMove_));
        if (writing_ && keep > 0 && !io(false, t.data, keep)) failed_ = true;
        offset_ += static_cast<uint64_t>(keep);
        toMove_ -= static_cast<uint32_t>(keep);
        left_ -= static_cast<uint32_t>(n);
        t.actual = n;
        if (left_ == 0) phase_ = Phase::Status;
        return true;
    }

    void reset(UsbDevice &) override { phase_ = Phase::Command; }
    void state(std::string &out) override { out += "usb_storage_blocks " + std::to_string(blocks_) + "\n"; }

private:
    enum class Phase { Command, DataIn, DataOut, Status };
    static constexpr uint32_t Block = 512;

    bool io(bool read, uint8_t *buf, int n) {
        if (fd_ < 0) {
            if (offset_ + static_cast<uint64_t>(n) > memory_.size()) return false;
            if (read)
                std::memcpy(buf, memory_.data() + offset_, n);
            else
                std::memcpy(memory_.data() + offset_, buf, n);
            return true;
        }
        ssize_t r = read ? ::pread(fd_, buf, n, static_cast<off_t>(offset_))
                         : ::pwrite(fd_, buf, n, static_cast<off_t>(offset_));
        return r == n;
    }

    bool transferIn(UsbDevice &, UsbTransfer &t) {
        if (phase_ == Phase::DataIn) {
            int n = std::min<int>(t.length, static_cast<int>(toMove_));
            if (reading_) {
                if (n > 0 && !io(true, t.data, n)) {
                    failed_ = true;
                    std::memset(t.data, 0, n);
                }
                offset_ += static_cast<uint64_t>(n);
            } else {
                std::memcpy(t.data, reply_.data() + replyAt_, n);
                replyAt_ += static_cast<size_t>(n);
            }
            toMove_ -= static_cast<uint32_t>(n);
            left_ -= static_cast<uint32_t>(n);
            t.actual = n;
            // The data stage ends with its last byte or a short packet; what the host
            // expected beyond it is the residue.
            if (toMove_ == 0 || n < t.length) phase_ = Phase::Status;
            return true;
        }
        if (phase_ != Phase::Status) return false;
        uint8_t csw[13] = {'U', 'S', 'B', 'S'};
        std::memcpy(csw + 4, &tag_, 4);
        std::memcpy(csw + 8, &left_, 4);
        csw[12] = failed_ ? 1 : 0;
        int n = std::min(t.length, 13);
        std::memcpy(t.data, csw, n);
        t.actual = n;
        phase_ = Phase::Command;
        return true;
    }

    void fail(uint8_t key, uint8_t asc) {
        failed_ = true;
        senseKey_ = key;
        asc_ = asc;
    }

    void commandBlock(UsbDevice &dev, UsbTransfer &t) {
        const uint8_t *c = t.data;
        if (t.length != 31 || std::memcmp(c, "USBC", 4) != 0 || c[14] < 1 || c[14] > 16) {
            // An invalid command block: both pipes stall until a reset recovery.
            dev.halt(0x81);
            dev.halt(0x02);
            return;
        }
        std::memcpy(&tag_, c + 4, 4);
        uint32_t expected;
        std::memcpy(&expected, c + 8, 4);
        bool in = c[12] & 0x80;
        const uint8_t *cb = c + 15;
        failed_ = reading_ = writing_ = false;
        reply_.clear();
        replyAt_ = 0;
        left_ = expected;
        toMove_ = 0;
        auto be32 = [](const uint8_t *p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; };
        switch (cb[0]) {
        case 0x00: // TEST UNIT READY
        case 0x1E: // PREVENT ALLOW MEDIUM REMOVAL
            break;
        case 0x35: // SYNCHRONIZE CACHE
            if (fd_ >= 0) ::fsync(fd_);
            break;
        case 0x03: // REQUEST SENSE
            reply_ = {0x70, 0, senseKey_, 0, 0, 0, 0, 10, 0, 0, 0, 0, asc_, 0, 0, 0, 0, 0};
            senseKey_ = asc_ = 0;
            break;
        case 0x12: { // INQUIRY
            reply_ = {0, 0x80, 4, 2, 31, 0, 0, 0};
            const char *ids = "QMRSIM  Simulated Disk  1.00";
            reply_.insert(reply_.end(), ids, ids + 28);
            break;
        }
        case 0x1A: // MODE SENSE(6)
            reply_ = {3, 0, 0, 0};
            break;
        case 0x23: { // READ FORMAT CAPACITIES
            uint32_t b = static_cast<uint32_t>(blocks_);
            reply_ = {0, 0, 0, 8, uint8_t(b >> 24), uint8_t(b >> 16), uint8_t(b >> 8), uint8_t(b),
                      2, 0, 2, 0};
            break;
        }
        case 0x25: { // READ CAPACITY(10)
            uint32_t last = blocks_ ? static_cast<uint32_t>(blocks_ - 1) : 0;
            reply_ = {
                uint8_t(last >> 24), uint8_t(last >> 16), uint8_t(last >> 8), uint8_t(last), 0, 0, 2, 0};
            break;
        }
        case 0x28:   // READ(10)
        case 0x2A: { // WRITE(10)
            uint64_t lba = be32(cb + 2);
            uint32_t count = static_cast<uint32_t>(cb[7] << 8 | cb[8]);
            if (lba + count > blocks_) {
                fail(5, 0x21); // LOGICAL BLOCK ADDRESS OUT OF RANGE
                break;
            }
            offset_ = lba * Block;
            toMove_ = std::min<uint32_t>(expected, count * Block);
            (cb[0] == 0x28 ? reading_ : writing_) = true;
            break;
        }
        default:
            fail(5, 0x20); // INVALID COMMAND OPERATION CODE
            break;
        }
        if ((reading_ && !in) || (writing_ && in)) {
            // The host's direction disagrees with the command's: a phase error, no data
            // moves (a device never reads a WRITE's data out of thin air).
            reading_ = writing_ = false;
            toMove_ = 0;
            failed_ = true;
        }
        if (!reading_ && !writing_)
            toMove_ = std::min<uint32_t>(expected, static_cast<uint32_t>(reply_.size()));
        if (failed_ || (in && expected > 0 && toMove_ == 0)) {
            // The data stage the host expects stalls; it then reads the status.
            if (expected > 0) dev.halt(in ? 0x81 : 0x02);
            phase_ = Phase::Status;
            return;
        }
        phase_ = expected == 0 ? Phase::Status : in ? Phase::DataIn : Phase::DataOut;
    }

    int fd_;
    std::vector<uint8_t> memory_;
    uint64_t blocks_;
    Phase phase_ = Phase::Command;
    uint32_t tag_ = 0;
    uint32_t left_ = 0;   // bytes the host expects that were not moved (the residue)
    uint32_t toMove_ = 0; // bytes the device moves in the data stage
    uint64_t offset_ = 0;
    bool reading_ = false, writing_ = false, failed_ = false;
    std::vector<uint8_t> reply_;
    size_t replyAt_ = 0;
    uint8_t senseKey_ = 0, asc_ = 0;
};

// ---- HID keyboard ----------------------------------------------------------------

const std::vector<uint8_t> keyboardReport = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};

class Keyboard : public UsbModel {
public:
    const char *kind() const override { return "hid"; }
    int control(UsbDevice &, const usb_ctrlrequest &s, uint8_t *data) override {
        if (s.bRequestType == 0x81 && s.bRequest == USB_REQ_GET_DESCRIPTOR && (s.wValue >> 8) == 0x22) {
            int n = std::min<int>(s.wLength, static_cast<int>(keyboardReport.size()));
            std::memcpy(data, keyboardReport.data(), n);
            return n;
        }
        if (s.bRequestType == 0x21 && (s.bRequest == 0x09 || s.bRequest == 0x0A || s.bRequest == 0x0B))
            return s.wLength;                               // SET_REPORT, SET_IDLE, SET_PROTOCOL
        if (s.bRequestType == 0xA1 && s.bRequest == 0x01) { // GET_REPORT
            int n = std::min<int>(s.wLength, 8);
            std::memset(data, 0, n);
            return n;
        }
        return -EPIPE;
    }
    bool transfer(UsbDevice &, UsbTransfer &t) override {
        if (!(t.endpoint & USB_DIR_IN) || reports_.empty()) return false;
        auto &r = reports_.front();
        int n = std::min<int>(t.length, static_cast<int>(r.size()));
        std::memcpy(t.data, r.data(), n);
        t.actual = n;
        reports_.pop_front();
        return true;
    }
    std::string command(UsbDevice &, const std::vector<std::string> &w) override {
        if (w.size() != 2 || w[0] != "report" || w[1].empty() || w[1].size() > 128 || w[1].size() % 2)
            return "usage: report <hex bytes>";
        std::vector<uint8_t> r;
        for (size_t i = 0; i < w[1].size(); i += 2) {
            char *end = nullptr;
            std::string pair = w[1].substr(i, 2);
            unsigned long v = std::strtoul(pair.c_str(), &end, 16);
            if (*end != 0) return "bad hex";
            r.push_back(static_cast<uint8_t>(v));
        }
        if (reports_.size() >= 256) return "queue full";
        reports_.push_back(r);
        return "";
    }
    void state(std::string &out) override {
        out += "usb_hid_queued " + std::to_string(reports_.size()) + "\n";
    }

private:
    std::deque<std::vector<uint8_t>> reports_;
};

// ---- isochronous -------------------------------------------------------------

// A camera-like source on 0x81 (each packet's length from the "lengths" list in turn,
// the data a counting sequence; a packet longer than the host asked for is babble)
// and an audio-like sink on 0x02 (takes every packet; counts them with their CRC-32).
class IsoDevice : public UsbModel {
public:
    explicit IsoDevice(std::vector<int> lengths) : lengths_(std::move(lengths)) {}
    const char *kind() const override { return "iso"; }
    bool transfer(UsbDevice &, UsbTransfer &t) override {
        if (t.type != USBDEVFS_URB_TYPE_ISO || !t.packets) {
            t.status = -EPIPE;
            return true;
        }
        bool in = t.endpoint & USB_DIR_IN;
        int offset = 0, total = 0;
        for (auto &p : *t.packets) {
            int length = static_cast<int>(p.length), n = length;
            p.status = 0;
            if (in) {
                int want = lengths_[next_++ % lengths_.size()];
                n = std::min(want, length);
                if (want > length) p.status = static_cast<unsigned>(-EOVERFLOW);
                for (int k = 0; k < n; k++)
                    t.data[offset + k] = static_cast<uint8_t>(sequence_++);
            } else {
                sinkCrc_ = crc32Update(sinkCrc_, t.data + offset, static_cast<size_t>(n));
                sinkBytes_ += static_cast<uint64_t>(n);
                sinkPackets_++;
            }
            p.actual_length = static_cast<unsigned>(n);
            offset += length;
            total += n;
        }
        t.actual = total;
        return true;
    }
    void reset(UsbDevice &) override { next_ = 0; }
    void state(std::string &out) override {
        char text[160];
        std::snprintf(text, sizeof text,
                      "usb_iso_out_packets %llu\nusb_iso_out_bytes %llu\nusb_iso_out_crc 0x%08x\n",
                      static_cast<unsigned long long>(sinkPackets_),
                      static_cast<unsigned long long>(sinkBytes_), sinkCrc_ ^ 0xFFFFFFFFu);
        out += text;
    }

private:
    std::vector<int> lengths_;
    size_t next_ = 0;
    uint32_t sequence_ = 0;
    uint64_t sinkPackets_ = 0, sinkBytes_ = 0;
    uint32_t sinkCrc_ = 0xFFFFFFFFu; // reported as the usual CRC-32 (zlib's)
};

// ---- hub and dongle ------------------------------------------------------------

class Hub : public UsbModel {
public:
    const char *kind() const override { return "hub"; }
    int control(UsbDevice &, const usb_ctrlrequest &s, uint8_t *data) override {
        if (s.bRequestType == 0xA0 && s.bRequest == USB_REQ_GET_DESCRIPTOR) {
            uint8_t d[9] = {9, 0x29, 7, 0x09, 0, 50, 100, 0, 0xFF};
            int n = std::min<int>(s.wLength, 9);
            std::memcpy(data, d, n);
            return n;
        }
        if ((s.bRequestType == 0xA0 || s.bRequestType == 0xA3) && s.bRequest == USB_REQ_GET_STATUS) {
            int n = std::min<int>(s.wLength, 4);
            std::memset(data, 0, n);
            return n;
        }
        if (s.bRequestType == 0x23 || s.bRequestType == 0x20) return 0; // port and hub features
        return -EPIPE;
    }
    bool transfer(UsbDevice &, UsbTransfer &) override { return false; } // no port changes to report
};

class Dongle : public UsbModel {
public:
    const char *kind() const override { return "dongle"; }
    int control(UsbDevice &, const usb_ctrlrequest &s, uint8_t *data) override {
        if (s.bRequestType == 0xC0 && s.bRequest == 1) {
            static const uint8_t answer[8] = {'Q', 'M', 'R', 'K', 'E', 'Y', 0, 1};
            int n = std::min<int>(s.wLength, 8);
            std::memcpy(data, answer, n);
            return n;
        }
        if (s.bRequestType == 0x40 && s.bRequest == 2) return s.wLength;
        if (s.bRequestType == 0xC0 && s.bRequest == 3)
            return -ETIMEDOUT; // a request the dongle never answers
        return -EPIPE;
    }
};

std::vector<int> parseLengths(const std::string &text) {
    std::vector<int> out;
    size_t at = 0;
    while (at < text.size() && out.size() < 256) {
        size_t comma = text.find(',', at);
        std::string part = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        char *end = nullptr;
        long v = std::strtol(part.c_str(), &end, 10);
        if (part.empty() || *end != 0 || v < 0 || v > 49152) return {};
        out.push_back(static_cast<int>(v));
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    return out;
}

bool parseHex16(const std::string &text, uint16_t &out) {
    char *end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 16);
    if (text.empty() || *end != 0 || v > 0xFFFF) return false;
    out = static_cast<uint16_t>(v);
    return true;
}

void setStrings(UsbDescription &d, const std::string &style, const std::string &product,
                const std::string &serial) {
    if (style == "cjk") {
        // Text beyond Latin-1 in every language the device offers.
        d.setLanguages({LangEnglish, LangChinese});
        d.setString(LangEnglish, 1, "Simulated Devices \xE2\x84\xA2");
        d.setString(LangEnglish, 2, product + " \xE4\xB8\xAD\xE6\x96\x87");
        d.setString(LangChinese, 1, "\xE6\xA8\xA1\xE6\x8B\x9F\xE8\xAE\xBE\xE5\xA4\x87");
        d.setString(LangChinese, 2, "\xE4\xB8\xAD\xE6\x96\x87 " + product);
        d.setString(LangEnglish, 3, serial);
    } else if (style == "broken") {
        // Odd length, a length beyond the bytes sent, and a wrong descriptor type.
        d.setLanguages({LangEnglish});
        d.setRawString(LangEnglish, 1, {7, 3, 'B', 0, 'a', 0, 'd'});
        d.setRawString(LangEnglish, 2, {40, 3, 'S', 0, 'h', 0});
        d.setRawString(LangEnglish, 3, {6, 2, '1', 0, '2', 0});
    } else {
        d.setLanguages({LangEnglish, LangGerman});
        d.setString(LangEnglish, 1, "Simulated Devices");
        d.setString(LangGerman, 1, "Simulierte Ger\xC3\xA4te");
        d.setString(LangEnglish, 2, product);
        d.setString(LangGerman, 2, product + " (deutsch)");
        d.setString(LangEnglish, 3, serial);
        d.setString(LangGerman, 3, serial);
    }
    d.setString(LangEnglish, 4, "Default configuration");
    d.setString(LangEnglish, 5, "Data interface");
}

} // namespace

const char *usbModelKinds() {
    return "loopback sourcesink vanish stall storage hid iso hub dongle";
}

std::unique_ptr<UsbModel> makeUsbModel(const std::string &kind, const UsbOptions &options, UsbDescription &d,
                                       std::string &error) {
    auto opt = [&](const char *key, const std::string &def) {
        auto it = options.find(key);
        return it == options.end() ? def : it->second;
    };
    static const std::vector<std::string> known = {"vid",     "pid",   "bcd",   "speed", "strings", "pace",
                                                   "latency", "bytes", "image", "size",  "lengths", "serial"};
    for (const auto &[key, value] : options)
        if (std::find(known.begin(), known.end(), key) == known.end()) {
            error = "unknown option " + key;
            return nullptr;
        }
    // Per kind: ids, speed, device class and the product name.
    uint16_t vid = 0x1D6B, pid = 0x0104;
    std::string speed = "high", product;
    uint8_t cls = 0;
    if (kind == "loopback" || kind == "vanish" || kind == "stall") {
        pid = kind == "loopback" ? 0x0104 : kind == "vanish" ? 0x0105 : 0x0106;
        product = kind == "loopback" ? "Loopback"
                  : kind == "vanish" ? "Vanishing loopback"
                                     : "Stalling loopback";
    } else if (kind == "sourcesink") {
        pid = 0x0108;
        product = "Source and sink";
    } else if (kind == "storage") {
        vid = 0x0781;
        pid = 0x5567;
        product = "Simulated Disk";
    } else if (kind == "hid") {
        vid = 0x046D;
        pid = 0xC31C;
        speed = "low";
        product = "Keyboard";
    } else if (kind == "iso") {
        pid = 0x0107;
        product = "Isochronous source";
    } else if (kind == "hub") {
        vid = 0x0424;
        pid = 0x2514;
        cls = USB_CLASS_HUB;
        product = "Hub";
    } else if (kind == "dongle") {
        vid = 0x0529;
        pid = 0x0001;
        speed = "full";
        product = "Licence dongle";
    } else {
        error = "unknown kind " + kind;
        return nullptr;
    }
    uint16_t bcd = 0x0100;
    if ((options.count("vid") && !parseHex16(opt("vid", ""), vid)) ||
        (options.count("pid") && !parseHex16(opt("pid", ""), pid)) ||
        (options.count("bcd") && !parseHex16(opt("bcd", ""), bcd))) {
        error = "bad id";
        return nullptr;
    }
    speed = opt("speed", speed);
    if (speed == "low")
        d.speed = UsbSpeed::Low;
    else if (speed == "full")
        d.speed = UsbSpeed::Full;
    else if (speed == "high")
        d.speed = UsbSpeed::High;
    else if (speed == "super")
        d.speed = UsbSpeed::Super;
    else {
        error = "bad speed";
        return nullptr;
    }
    std::string style = opt("strings", "normal");
    if (style != "normal" && style != "cjk" && style != "broken") {
        error = "bad strings";
        return nullptr;
    }
    uint16_t bcdUsb = d.speed == UsbSpeed::Super ? 0x0300 : d.speed == UsbSpeed::High ? 0x0200 : 0x0110;
    setStrings(d, style, product, opt("serial", "SIM" + std::to_string(pid)));

    std::unique_ptr<UsbModel> model;
    if (kind == "loopback" || kind == "vanish" || kind == "stall") {
        describeLoopback(d);
        model = std::make_unique<Loopback>(kind == "stall");
    } else if (kind == "sourcesink") {
        describeBulkPair(d, 50, 0xFF, 0, 0, 0x81, 0x01);
        model = std::make_unique<SourceSink>();
    } else if (kind == "storage") {
        describeBulkPair(d, 100, 8, 6, 0x50, 0x81, 0x02);
        std::string image = opt("image", "");
        if (!image.empty()) {
            int fd = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
            struct stat st {};
            if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size < 512) {
                if (fd >= 0) ::close(fd);
                error = "cannot use image " + image;
                return nullptr;
            }
            model = std::make_unique<Storage>(fd, static_cast<uint64_t>(st.st_size));
        } else {
            uint64_t size = std::strtoull(opt("size", "1048576").c_str(), nullptr, 10);
            if (size < 512 || size > (64u << 20)) {
                error = "bad size";
                return nullptr;
            }
            model = std::make_unique<Storage>(-1, size);
        }
    } else if (kind == "hid") {
        d.addConfig(1, 0xA0, 50);
        d.addInterface(0, 0, 3, 1, 1);
        uint16_t rl = static_cast<uint16_t>(keyboardReport.size());
        d.addRaw({9, 0x21, 0x11, 0x01, 0, 1, 0x22, static_cast<uint8_t>(rl), static_cast<uint8_t>(rl >> 8)});
        d.addEndpoint(0x81, USB_ENDPOINT_XFER_INT, 8, 10);
        model = std::make_unique<Keyboard>();
    } else if (kind == "iso") {
        auto lengths = parseLengths(opt("lengths", "1024,512,0,3,1024,100"));
        if (lengths.empty()) {
            error = "bad lengths";
            return nullptr;
        }
        d.addConfig(1, 0x80, 200);
        d.addInterface(0, 0, 0xFF, 0, 0);
        d.addInterface(0, 1, 0xFF, 0, 0);
        // High speed: up to three 1024-byte transactions a microframe on the source.
        bool fast = d.speed == UsbSpeed::High || d.speed == UsbSpeed::Super;
        d.addEndpoint(0x81, USB_ENDPOINT_XFER_ISOC | USB_ENDPOINT_SYNC_ASYNC, fast ? (2 << 11) | 1024 : 1023,
                      1);
        d.addEndpoint(0x02, USB_ENDPOINT_XFER_ISOC | USB_ENDPOINT_SYNC_ASYNC, fast ? 1024 : 1023, 1);
        model = std::make_unique<IsoDevice>(lengths);
    } else if (kind == "hub") {
        d.addConfig(1, 0xE0, 0);
        d.addInterface(0, 0, USB_CLASS_HUB, 0, 0);
        d.addEndpoint(0x81, USB_ENDPOINT_XFER_INT, 1, 12);
        model = std::make_unique<Hub>();
    } else {
        d.addConfig(1, 0x80, 50);
        d.addInterface(0, 0, 0xFF, 0, 0);
        model = std::make_unique<Dongle>();
    }
    uint8_t protocol = kind == "hub" && d.speed == UsbSpeed::High ? 1 : 0;
    d.setDevice(bcdUsb, cls, 0, protocol, d.speed == UsbSpeed::Super ? 9 : 64, vid, pid, bcd, 1, 2, 3);
    return model;
}

} // namespace sim
