// The usbfs device files of the simulated kernel: claims, configuration and interface
// changes, control transfers, URBs (submit, reap, discard) with the kernel's checks and
// error codes, the usbfs memory budget, mmap'ed buffers, resets, and readiness for
// epoll: the descriptor handed out is one end of a unix stream socket pair whose send
// buffer is kept full while no completion waits (not writable) and drained while one
// waits (writable); closing the other end on unplug makes it hang up. Completions
// come at once, or, for paced devices and devices that take time to answer control
// requests, from the pacer thread when their time has come.
#include "sim/usb_internal.h"

#include "core/sysroot.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace sim::usb {

namespace {

// Requests the board kernel adds: reset of the device behind the file.
constexpr unsigned long BoardResetRequest = 0x5520;
// What the kernel charges per URB besides its buffer (its own records).
constexpr uint64_t UrbOverhead = 256;
// Largest data stage of a control transfer.
constexpr int MaxControlLength = 4096;
// Trace lines kept per device.
constexpr size_t MaxTrace = 4096;

const char *ioctlName(unsigned long request) {
    switch (request) {
    case USBDEVFS_CONTROL:
        return "CONTROL";
    case USBDEVFS_BULK:
        return "BULK";
    case USBDEVFS_RESETEP:
        return "RESETEP";
    case USBDEVFS_SETINTERFACE:
        return "SETINTERFACE";
    case USBDEVFS_SETCONFIGURATION:
        return "SETCONFIGURATION";
    case USBDEVFS_GETDRIVER:
        return "GETDRIVER";
    case USBDEVFS_SUBMITURB:
        return "SUBMITURB";
    case USBDEVFS_DISCARDURB:
        return "DISCARDURB";
    case USBDEVFS_REAPURB:
        return "REAPURB";
    case USBDEVFS_REAPURBNDELAY:
        return "REAPURBNDELAY";
    case USBDEVFS_CLAIMINTERFACE:
        return "CLAIMINTERFACE";
    case USBDEVFS_RELEASEINTERFACE:
        return "RELEASEINTERFACE";
    case USBDEVFS_CONNECTINFO:
        return "CONNECTINFO";
    case USBDEVFS_RESET:
        return "RESET";
    case USBDEVFS_CLEAR_HALT:
        return "CLEAR_HALT";
    case USBDEVFS_GET_CAPABILITIES:
        return "GET_CAPABILITIES";
    case USBDEVFS_GET_SPEED:
        return "GET_SPEED";
    case BoardResetRequest:
        return "RESET5520";
    default:
        return nullptr;
    }
}

std::string errnoText(int err) {
    switch (err) {
    case EPIPE:
        return "EPIPE";
    case ENODEV:
        return "ENODEV";
    case ENOENT:
        return "ENOENT";
    case EINVAL:
        return "EINVAL";
    case EBUSY:
        return "EBUSY";
    case ENOMEM:
        return "ENOMEM";
    case EAGAIN:
        return "EAGAIN";
    case ETIMEDOUT:
        return "ETIMEDOUT";
    case ENOTTY:
        return "ENOTTY";
    case EFAULT:
        return "EFAULT";
    case EIO:
        return "EIO";
    case EPERM:
        return "EPERM";
    case EPROTO:
        return "EPROTO";
    case EILSEQ:
        return "EILSEQ";
    case ETIME:
        return "ETIME";
    case EOVERFLOW:
        return "EOVERFLOW";
    case EXDEV:
        return "EXDEV";
    case EREMOTEIO:
        return "EREMOTEIO";
    case ESHUTDOWN:
        return "ESHUTDOWN";
    case EMSGSIZE:
        return "EMSGSIZE";
    case ECONNRESET:
        return "ECONNRESET";
    default:
        return "E" + std::to_string(err);
    }
}

// The module parameter; 0 means no limit. Read when a device file opens, not at
// every submit: the daemon sets it at start-up, before any client opens a device.
uint64_t readMemoryLimit() {
    std::string path = sysPath("/sys/module/usbcore/parameters/usbfs_memory_mb");
    FILE *f = std::fopen(path.c_str(), "re");
    unsigned long mb = 16;
    if (f) {
        if (std::fscanf(f, "%lu", &mb) != 1) mb = 16;
        std::fclose(f);
    }
    mb = std::min(mb, 1ul << 20);
    return static_cast<uint64_t>(mb) << 20;
}

bool charge(World &w, uint64_t amount) {
    if (w.memoryLimit > 0 && w.memoryInUse + amount > w.memoryLimit) return false;
    w.memoryInUse += amount;
    return true;
}

void uncharge(World &w, uint64_t amount) {
    w.memoryInUse -= std::min(amount, w.memoryInUse);
}

// Whether the active configuration has an interface of that number.
bool hasInterface(const SimDevice &d, int number) {
    const auto *c = d.desc.config(d.config);
    if (!c || d.config == 0) return false;
    for (size_t at = 9; at + 2 <= c->size() && (*c)[at] >= 2; at += (*c)[at])
        if ((*c)[at + 1] == USB_DT_INTERFACE && at + 9 <= c->size() && (*c)[at + 2] == number) return true;
    return false;
}

bool hasAlternate(const SimDevice &d, int number, int alternate) {
    const auto *c = d.desc.config(d.config);
    if (!c || d.config == 0) return false;
    for (size_t at = 9; at + 2 <= c->size() && (*c)[at] >= 2; at += (*c)[at])
        if ((*c)[at + 1] == USB_DT_INTERFACE && at + 9 <= c->size() && (*c)[at + 2] == number &&
            (*c)[at + 3] == alternate)
            return true;
    return false;
}

// The bytes an endpoint carries in one packet; a high-speed periodic endpoint's
// (micro)frame may hold up to three such transactions.
int packetSize(const SimDevice &d, const usb_endpoint_descriptor *ep, bool periodic) {
    if (!ep) return d.desc.device.size() > 7 ? std::max<int>(8, d.desc.device[7]) : 64;
    int raw = ep->wMaxPacketSize;
    int size = raw & 0x7FF;
    if (periodic && d.desc.speed == UsbSpeed::High) size *= 1 + ((raw >> 11) & 3);
    return std::max(size, 1);
}

// One use of an injected completion status of the endpoint; 0 when there is none.
int takeFault(std::map<uint8_t, SimDevice::Injection> &faults, uint8_t endpoint) {
    auto it = faults.find(endpoint);
    if (it == faults.end()) return 0;
    int err = it->second.err;
    if (it->second.count > 0 && --it->second.count == 0) faults.erase(it);
    return err;
}

void failPacket(usbdevfs_iso_packet_desc &p, int err) {
    p.status = static_cast<unsigned>(-err);
    if (err != EOVERFLOW) p.actual_length = 0; // babble keeps what came
}

// The injected packet statuses of an isochronous URB the device answered.
void applyIsoFaults(SimDevice &d, Urb &u) {
    if (int all = takeFault(d.endpointFaults, u.endpoint))
        for (auto &p : u.packets)
            failPacket(p, all);
    auto it = d.isoFaults.find(u.endpoint);
    if (it != d.isoFaults.end()) {
        auto &list = it->second;
        for (auto f = list.begin(); f != list.end();) {
            if (f->packet < static_cast<int>(u.packets.size())) failPacket(u.packets[f->packet], f->err);
            f = f->count > 0 && --f->count == 0 ? list.erase(f) : std::next(f);
        }
        if (list.empty()) d.isoFaults.erase(it);
    }
    u.actual = 0;
    for (const auto &p : u.packets)
        u.actual += static_cast<int>(p.actual_length);
}

// An IN transfer that ends short where the caller asked for all of it.
void checkShort(Urb &u, int length) {
    if (u.in && u.status == 0 && u.actual < length && (u.flags & USBDEVFS_URB_SHORT_NOT_OK))
        u.status = -EREMOTEIO;
}

std::chrono::steady_clock::time_point clockAt(int64_t ns) {
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ns));
}

// Blocks of URB data kept for reuse, per thread (submit and reap run on the caller's
// thread): at most SpareBlocks of them and SpareBytes in all.
constexpr size_t SpareBlocks = 64;
constexpr size_t SpareBytes = 8u << 20;
constexpr size_t SpareMinimum = 4096;

thread_local bool sparesGone = false; // the thread's list is destroyed: plain allocations
struct Spares {
    std::vector<std::pair<uint8_t *, size_t>> blocks;
    size_t bytes = 0;
    ~Spares() {
        for (auto &b : blocks)
            delete[] b.first;
        sparesGone = true;
    }
};
thread_local Spares spares;

} // namespace

void UrbData::resize(size_t n) {
    if (n <= capacity_) {
        size_ = n;
        return;
    }
    release();
    if (!sparesGone) {
        auto &list = spares.blocks;
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (it->second < n || it->second / 2 > n) continue;
            data_ = it->first;
            capacity_ = it->second;
            spares.bytes -= capacity_;
            list.erase(it);
            size_ = n;
            return;
        }
    }
    data_ = new uint8_t[n];
    capacity_ = size_ = n;
}

void UrbData::assign(size_t n, uint8_t value) {
    resize(n);
    if (n > 0) std::memset(data_, value, n);
}

void UrbData::release() {
    if (data_ == nullptr) return;
    if (!sparesGone && capacity_ >= SpareMinimum && spares.blocks.size() < SpareBlocks &&
        spares.bytes + capacity_ <= SpareBytes) {
        spares.blocks.emplace_back(data_, capacity_);
        spares.bytes += capacity_;
    } else {
        delete[] data_;
    }
    data_ = nullptr;
    size_ = capacity_ = 0;
}

class UsbFile : public DeviceFile {
public:
    UsbFile(std::shared_ptr<SimDevice> d, int fd, int peer) : dev(std::move(d)), fd_(fd), peer_(peer) {}
    ~UsbFile() override {
        if (fd_ >= 0) ::close(fd_);
        if (peer_ >= 0) ::close(peer_);
    }

    int ioctl(unsigned long request, void *arg) override;
    ssize_t read(void *buf, size_t n) override;
    void *mmap(size_t length, int prot, int flags, off_t offset) override;
    int munmap(void *addr, size_t length) override;
    void closed() override;

    // Keeps the daemon's descriptor writable exactly while completions wait. The send
    // buffer is at its minimum, below one block: a send that takes less than the
    // block has filled it, and one receive of a block empties it, so each change
    // costs one system call (the kernel's own wake-up costs none).
    void updateReadiness() {
        if (peer_ < 0) return;
        if (!completed.empty() && filled_) {
            char sink[Block];
            while (::recv(peer_, sink, sizeof sink, MSG_DONTWAIT) == static_cast<ssize_t>(sizeof sink)) {
            }
            filled_ = false;
        } else if (completed.empty() && !filled_) {
            static const char block[Block] = {};
            while (::send(fd_, block, sizeof block, MSG_DONTWAIT | MSG_NOSIGNAL) ==
                   static_cast<ssize_t>(sizeof block)) {
            }
            filled_ = true;
        }
    }

    void hangUp() {
        for (auto &u : pending) {
            unpaceUrb(*dev, *u);
            u->status = -ESHUTDOWN;
            u->actual = 0;
            completed.push_back(std::move(u));
        }
        pending.clear();
        if (peer_ >= 0) {
            ::close(peer_);
            peer_ = -1;
        }
    }

    void complete(std::list<std::unique_ptr<Urb>>::iterator it) {
        unpaceUrb(*dev, **it);
        const Urb &u = **it;
        const bool cancelRest = u.type == USBDEVFS_URB_TYPE_BULK && u.status < 0 && u.status != -ECONNRESET &&
                                u.status != -ENOENT && u.status != -ESHUTDOWN;
        const uint8_t endpoint = u.endpoint;
        completed.push_back(std::move(*it));
        pending.erase(it);
        if (cancelRest) cancelContinuations(endpoint);
        updateReadiness();
        world().changed.notify_all();
    }

    // A bulk URB failed (a short IN that must not be short counts): the URBs queued
    // behind it that continue its transfer are unlinked (-ECONNRESET). When no URB of a
    // new transfer follows them, the endpoint takes no continuation URB until one
    // comes, as usbfs does, so that none of them reads the next transfer's data.
    void cancelContinuations(uint8_t endpoint) {
        bool newTransfer = false;
        std::vector<std::list<std::unique_ptr<Urb>>::iterator> unlink;
        for (auto it = pending.begin(); it != pending.end(); ++it) {
            if ((*it)->endpoint != endpoint || (*it)->type != USBDEVFS_URB_TYPE_BULK) continue;
            if (!(*it)->continuation) {
                newTransfer = true;
                break;
            }
            unlink.push_back(it);
        }
        if (!newTransfer) disabledBulk.insert(endpoint);
        for (auto it : unlink) {
            (*it)->status = -ECONNRESET;
            complete(it);
        }
    }

    // Whether an earlier URB of the endpoint failed and waits to be delivered: the
    // host controller stopped the endpoint's queue there, so a continuation URB
    // behind it is not offered to the device.
    bool stoppedBefore(const Urb &u) const {
        for (const auto &p : pending) {
            if (p.get() == &u) return false;
            if (p->endpoint == u.endpoint && p->type == USBDEVFS_URB_TYPE_BULK && p->answered &&
                p->status < 0)
                return true;
        }
        return false;
    }

    // Kills the in-flight URBs of the given endpoints (all when empty) with status;
    // they keep the bytes moved so far.
    void flush(const std::vector<uint8_t> &endpoints, int status) {
        for (auto it = pending.begin(); it != pending.end();) {
            auto next = std::next(it);
            if (endpoints.empty() ||
                std::find(endpoints.begin(), endpoints.end(), (*it)->endpoint) != endpoints.end()) {
                (*it)->status = status;
                complete(it);
            }
            it = next;
        }
    }

    // The completions whose time has come. A completion may unlink others of the
    // list (cancelContinuations), so they are picked first and completed after.
    void deliver(int64_t now, int64_t &next) {
        std::vector<Urb *> due;
        for (const auto &p : pending) {
            if (!p->answered || p->onBus) continue;
            if (p->dueNs <= now)
                due.push_back(p.get());
            else
                next = std::min(next, p->dueNs);
        }
        for (Urb *u : due) {
            auto it =
                std::find_if(pending.begin(), pending.end(), [u](const auto &p) { return p.get() == u; });
            if (it != pending.end()) complete(it);
        }
    }

    std::shared_ptr<SimDevice> dev;
    bool writable = true;           // opened for writing: usbfs takes ioctls only then
    std::set<uint8_t> disabledBulk; // bulk endpoints refusing continuation URBs
    std::list<std::unique_ptr<Urb>> pending;
    std::deque<std::unique_ptr<Urb>> completed;

private:
    int dispatch(unsigned long request, void *arg, std::unique_lock<std::mutex> &lk, std::string &detail);
    int claim(int number);
    int checkInterface(int number);
    int controlRecipient(const usb_ctrlrequest &s);
    int control(usbdevfs_ctrltransfer *c, std::unique_lock<std::mutex> &lk, std::string &detail);
    int submit(usbdevfs_urb *u, std::string &detail);
    int reap(void **arg, bool wait, std::unique_lock<std::mutex> &lk);
    int reset();

    static constexpr size_t Block = 16384;
    int fd_;
    int peer_;
    bool filled_ = false;
    size_t readPos_ = 0;
    std::map<void *, size_t> maps_;
};

void SimDevice::poke() {
    pumpDevice(*this);
}

namespace {

std::vector<uint8_t> endpointsOf(const SimDevice &dev, int number) {
    std::vector<uint8_t> out;
    for (int ep = 1; ep < 16; ep++)
        for (uint8_t address : {static_cast<uint8_t>(ep), static_cast<uint8_t>(ep | USB_DIR_IN)})
            if (interfaceOfEndpoint(dev, address) == number) out.push_back(address);
    return out;
}

// An interface whose usbfs claim ends (release, close, the unbinding of a reset) goes
// back to alternate setting 0, as the kernel does when a driver lets an interface go:
// its transfers are killed first.
void releaseInterface(SimDevice &dev, int number, UsbFile *owner) {
    auto endpoints = endpointsOf(dev, number);
    if (owner) owner->flush(endpoints, -ENOENT);
    dev.claims.erase(number);
    auto alt = dev.altsetting.find(number);
    if (alt == dev.altsetting.end() || alt->second == 0) return;
    dev.altsetting.erase(alt);
    for (uint8_t e : endpoints)
        dev.halted.erase(e);
    dev.model->setInterface(dev, number, 0);
}

// A completed answer: delivered now, or when its time has come.
void answer(SimDevice &dev, UsbFile &file, std::list<std::unique_ptr<Urb>>::iterator it) {
    Urb &u = **it;
    bool control = u.type == USBDEVFS_URB_TYPE_CONTROL;
    if (!dev.paced && !(control && dev.controlDelayNs != 0)) {
        file.complete(it);
        return;
    }
    u.answered = true;
    if (control && dev.controlDelayNs < 0) {
        u.dueNs = INT64_MAX; // it stays until discarded
    } else if (!dev.paced) {
        u.dueNs = monotonicNs() + dev.controlDelayNs;
        world().pacing.notify_all();
    } else {
        paceUrb(dev, u, monotonicNs());
    }
}

} // namespace

int deviceControl(SimDevice &dev, const usb_ctrlrequest &s, uint8_t *data) {
    const auto &d = dev.desc;
    int length = s.wLength;
    auto give = [&](const std::vector<uint8_t> &bytes) {
        int n = std::min<int>(length, static_cast<int>(bytes.size()));
        std::memcpy(data, bytes.data(), n);
        return n;
    };
    uint8_t type = s.bRequestType & USB_TYPE_MASK;
    uint8_t recipient = s.bRequestType & USB_RECIP_MASK;
    if (type == USB_TYPE_STANDARD) {
        bool in = s.bRequestType & USB_DIR_IN;
        if (in && recipient == USB_RECIP_DEVICE && s.bRequest == USB_REQ_GET_DESCRIPTOR) {
            int kind = s.wValue >> 8, index = s.wValue & 0xFF;
            switch (kind) {
            case USB_DT_DEVICE:
                return give(d.device);
            case USB_DT_CONFIG:
                return index < static_cast<int>(d.configs.size()) ? give(d.configs[index]) : -EPIPE;
            case USB_DT_STRING: {
                if (index == 0) {
                    auto it = d.strings.find(0);
                    return it == d.strings.end() ? -EPIPE : give(it->second);
                }
                auto it = d.strings.find(static_cast<uint32_t>(s.wIndex) << 8 | index);
                if (it == d.strings.end()) {
                    // Many devices answer any language with their first one.
                    auto langs = d.strings.find(0);
                    if (langs != d.strings.end() && langs->second.size() >= 4)
                        it = d.strings.find(
                            static_cast<uint32_t>(langs->second[2] | langs->second[3] << 8) << 8 | index);
                }
                return it == d.strings.end() ? -EPIPE : give(it->second);
            }
            case USB_DT_DEVICE_QUALIFIER:
                if (d.speed != UsbSpeed::High) return -EPIPE;
                return give({10, USB_DT_DEVICE_QUALIFIER, d.device[2], d.device[3], d.device[4], d.device[5],
                             d.device[6], 64, d.device[17], 0});
            default:
                break;
            }
        } else if (in && s.bRequest == USB_REQ_GET_STATUS && length >= 2) {
            uint8_t status = 0;
            if (recipient == USB_RECIP_ENDPOINT)
                status = dev.halted.count(s.wIndex & 0xFF) ? 1 : 0;
            else if (recipient == USB_RECIP_DEVICE && d.config(dev.config))
                status = ((*d.config(dev.config))[7] & 0x40) ? 1 : 0;
            return give({status, 0});
        } else if (in && recipient == USB_RECIP_DEVICE && s.bRequest == USB_REQ_GET_CONFIGURATION) {
            return give({static_cast<uint8_t>(dev.config)});
        } else if (in && recipient == USB_RECIP_INTERFACE && s.bRequest == USB_REQ_GET_INTERFACE) {
            if (!hasInterface(dev, s.wIndex & 0xFF)) return -EPIPE;
            return give({static_cast<uint8_t>(dev.altsetting[s.wIndex & 0xFF])});
        } else if (!in && recipient == USB_RECIP_ENDPOINT &&
                   (s.bRequest == USB_REQ_CLEAR_FEATURE || s.bRequest == USB_REQ_SET_FEATURE) &&
                   s.wValue == USB_ENDPOINT_HALT) {
            if (s.bRequest == USB_REQ_CLEAR_FEATURE)
                dev.halted.erase(s.wIndex & 0xFF);
            else
                dev.halted.insert(s.wIndex & 0xFF);
            return 0;
        } else if (!in && recipient == USB_RECIP_INTERFACE && s.bRequest == USB_REQ_SET_INTERFACE) {
            if (!hasAlternate(dev, s.wIndex & 0xFF, s.wValue)) return -EPIPE;
            dev.altsetting[s.wIndex & 0xFF] = s.wValue;
            dev.model->setInterface(dev, s.wIndex & 0xFF, s.wValue);
            return 0;
        } else if (!in && recipient == USB_RECIP_DEVICE && s.bRequest == USB_REQ_SET_CONFIGURATION) {
            if (s.wValue != 0 && !d.config(s.wValue)) return -EPIPE;
            dev.config = s.wValue;
            dev.altsetting.clear();
            return 0;
        } else if (!in && recipient == USB_RECIP_DEVICE && s.bRequest == USB_REQ_SET_ADDRESS) {
            return -EPIPE;
        }
    }
    int r = dev.model->control(dev, s, data);
    return r > length ? length : r;
}

int UsbFile::claim(int number) {
    if (number < 0 || number >= 32) return -EINVAL;
    auto it = dev->claims.find(number);
    if (it != dev->claims.end()) return it->second == this ? 0 : -EBUSY;
    if (!hasInterface(*dev, number)) return -ENOENT;
    dev->claims[number] = this;
    return 0;
}

// The kernel claims an interface on first use when the file has not claimed it.
int UsbFile::checkInterface(int number) {
    return claim(number);
}

int UsbFile::controlRecipient(const usb_ctrlrequest &s) {
    if ((s.bRequestType & USB_TYPE_MASK) == USB_TYPE_VENDOR || dev->config == 0) return 0;
    int index = s.wIndex & 0xFF;
    switch (s.bRequestType & USB_RECIP_MASK) {
    case USB_RECIP_ENDPOINT: {
        if ((index & ~USB_DIR_IN) == 0) return 0;
        int number = interfaceOfEndpoint(*dev, static_cast<uint8_t>(index));
        if (number < 0) number = interfaceOfEndpoint(*dev, static_cast<uint8_t>(index ^ USB_DIR_IN));
        return number < 0 ? -ENOENT : checkInterface(number);
    }
    case USB_RECIP_INTERFACE:
        return hasInterface(*dev, index) ? checkInterface(index) : -ENOENT;
    default:
        return 0;
    }
}

int UsbFile::reset() {
    World &w = world();
    if (dev->reenumerateOnReset) {
        // The device came back from the reset with other descriptors: the kernel
        // disconnects it and enumerates it afresh, with a new device number.
        std::shared_ptr<SimDevice> old = dev;
        int bus = old->bus;
        std::string devpath = old->devpath, kind = old->kind, name = old->name_;
        UsbOptions options = old->options;
        unplugLocked(w, name);
        std::string error;
        plugLocked(w, bus, devpath, kind, options, false, error);
        auto it = w.devices.find(name);
        if (it != w.devices.end()) {
            it->second->trace.assign(old->trace.begin(), old->trace.end());
            old->successor = it->second;
        }
        return -ENODEV;
    }
    // The kernel unbinds usbfs from the interfaces before a reset: the claims go, their
    // transfers are killed (-ENOENT) and they return to alternate setting 0. The reset
    // ends what is left on endpoint 0 and clears the halts; then the kernel restores
    // the configuration and every interface's alternate setting on the device, which
    // forgot them.
    for (const auto &[number, file] : std::map<int, UsbFile *>(dev->claims))
        releaseInterface(*dev, number, file);
    for (auto *f : dev->files)
        f->flush({}, -ESHUTDOWN);
    dev->halted.clear();
    dev->nextSlotNs.clear();
    dev->resets++;
    dev->model->reset(*dev);
    for (const auto &[number, alternate] : dev->altsetting)
        if (alternate != 0) dev->model->setInterface(*dev, number, alternate);
    w.changed.notify_all();
    return 0;
}

int UsbFile::submit(usbdevfs_urb *u, std::string &detail) {
    World &w = world();
    char text[96];
    std::snprintf(text, sizeof text, " type=%d ep=0x%02x len=%d", u->type, u->endpoint, u->buffer_length);
    detail = text;
    constexpr unsigned AllowedFlags = USBDEVFS_URB_SHORT_NOT_OK | USBDEVFS_URB_BULK_CONTINUATION |
                                      USBDEVFS_URB_NO_FSBR | USBDEVFS_URB_ZERO_PACKET |
                                      USBDEVFS_URB_NO_INTERRUPT | USBDEVFS_URB_ISO_ASAP;
    if (u->flags & ~AllowedFlags) return -EINVAL;
    if (u->buffer_length < 0 || (u->buffer_length > 0 && u->buffer == nullptr)) return -EINVAL;
    if (u->type == USBDEVFS_URB_TYPE_CONTROL && (u->endpoint & ~USB_ENDPOINT_DIR_MASK) == 0) {
        // endpoint 0: no interface
    } else {
        int number = interfaceOfEndpoint(*dev, u->endpoint);
        if (number < 0) return -ENOENT;
        if (int r = checkInterface(number); r != 0) return r;
    }
    const usb_endpoint_descriptor *ep = endpointDescriptor(*dev, u->endpoint);
    int epType = (u->endpoint & ~USB_ENDPOINT_DIR_MASK) == 0 ? USB_ENDPOINT_XFER_CONTROL
                 : ep                                        ? (ep->bmAttributes & USB_ENDPOINT_XFERTYPE_MASK)
                                                             : -1;
    if (epType < 0) return -ENOENT;
    // The kernel works on its own copy of the record; the caller's is written at reap.
    auto urb = std::make_unique<Urb>();
    urb->user = u;
    urb->userBuffer = u->buffer;
    urb->type = u->type;
    urb->endpoint = u->endpoint;
    urb->in = (u->endpoint & USB_DIR_IN) != 0;
    urb->flags = u->flags;
    urb->maxPacket =
        packetSize(*dev, ep, epType == USB_ENDPOINT_XFER_INT || epType == USB_ENDPOINT_XFER_ISOC);
    int length = u->buffer_length;
    switch (u->type) {
    case USBDEVFS_URB_TYPE_CONTROL: {
        if (epType != USB_ENDPOINT_XFER_CONTROL || length < 8) return -EINVAL;
        usb_ctrlrequest s;
        std::memcpy(&s, u->buffer, 8);
        if (length < s.wLength + 8) return -EINVAL;
        if (int r = controlRecipient(s); r != 0) return r;
        urb->in = (s.bRequestType & USB_DIR_IN) != 0;
        length = s.wLength + 8;
        break;
    }
    case USBDEVFS_URB_TYPE_BULK:
        if (epType == USB_ENDPOINT_XFER_CONTROL || epType == USB_ENDPOINT_XFER_ISOC) return -EINVAL;
        if (epType == USB_ENDPOINT_XFER_INT) {
            urb->type = USBDEVFS_URB_TYPE_INTERRUPT;
        } else if (u->flags & USBDEVFS_URB_BULK_CONTINUATION) {
            // After a failed URB of the transfer the endpoint refuses the rest of it.
            if (disabledBulk.count(u->endpoint)) return -EREMOTEIO;
            urb->continuation = true;
        } else {
            disabledBulk.erase(u->endpoint);
        }
        break;
    case USBDEVFS_URB_TYPE_INTERRUPT:
        if (epType != USB_ENDPOINT_XFER_INT) return -EINVAL;
        break;
    case USBDEVFS_URB_TYPE_ISO: {
        if (u->number_of_packets < 1 || u->number_of_packets > 128) return -EINVAL;
        if (epType != USB_ENDPOINT_XFER_ISOC) return -EINVAL;
        int frame = dev->desc.speed == UsbSpeed::Super ? 49152 : 8192;
        int total = 0;
        for (int k = 0; k < u->number_of_packets; k++) {
            if (u->iso_frame_desc[k].length > static_cast<unsigned>(frame)) return -EINVAL;
            total += static_cast<int>(u->iso_frame_desc[k].length);
        }
        if (total > 0 && u->buffer == nullptr) return -EINVAL;
        // The USB core then refuses a packet the endpoint cannot carry in one interval;
        // a packet not yet transferred reads -EXDEV.
        for (int k = 0; k < u->number_of_packets; k++) {
            if (u->iso_frame_desc[k].length > static_cast<unsigned>(urb->maxPacket)) return -EMSGSIZE;
            urb->packets.push_back({u->iso_frame_desc[k].length, 0, static_cast<unsigned>(-EXDEV)});
        }
        length = total;
        break;
    }
    default:
        return -EINVAL;
    }
    // Buffers inside an mmap of this file were charged when mapped.
    bool mapped = false;
    for (const auto &[addr, size] : maps_)
        if (u->buffer >= addr && static_cast<char *>(u->buffer) + length <= static_cast<char *>(addr) + size)
            mapped = true;
    urb->charge =
        UrbOverhead + urb->packets.size() * sizeof(usbdevfs_iso_packet_desc) + (mapped ? 0 : length);
    if (!charge(w, urb->charge)) return -ENOMEM;
    urb->buffer.resize(length);
    if (length > 0 && (u->type == USBDEVFS_URB_TYPE_CONTROL || !urb->in))
        std::memcpy(urb->buffer.data(), u->buffer, urb->in ? 8 : length);
    if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
        usb_ctrlrequest s;
        std::memcpy(&s, urb->buffer.data(), 8);
        int r = -takeFault(dev->endpointFaults, 0);
        if (r == 0) r = deviceControl(*dev, s, urb->buffer.data() + 8);
        urb->status = r < 0 ? r : 0;
        urb->actual = r < 0 ? 0 : (urb->in ? r : s.wLength);
        checkShort(*urb, s.wLength);
        pending.push_back(std::move(urb));
        if (r == -ETIMEDOUT) {
            // A device that does not answer: the URB stays until discarded.
            pending.back()->status = 0;
            pending.back()->answered = true;
            return 0;
        }
        answer(*dev, *this, std::prev(pending.end()));
        return 0;
    }
    pending.push_back(std::move(urb));
    pumpDevice(*dev);
    return 0;
}

int UsbFile::reap(void **arg, bool wait, std::unique_lock<std::mutex> &lk) {
    while (completed.empty()) {
        if (!dev->connected || peer_ < 0) return -ENODEV;
        if (!wait) return -EAGAIN;
        world().changed.wait(lk);
    }
    std::unique_ptr<Urb> u = std::move(completed.front());
    completed.pop_front();
    // What the kernel writes back: the data, status, lengths and error count (and the
    // packets of an isochronous URB); nothing else of the caller's record changes.
    usbdevfs_urb *user = u->user;
    auto *into = static_cast<char *>(u->userBuffer);
    user->status = u->status;
    user->actual_length = u->actual;
    if (u->type == USBDEVFS_URB_TYPE_ISO) {
        size_t offset = 0;
        int errors = 0;
        for (size_t k = 0; k < u->packets.size(); k++) {
            user->iso_frame_desc[k].actual_length = u->packets[k].actual_length;
            user->iso_frame_desc[k].status = u->packets[k].status;
            if (u->packets[k].status != 0) errors++;
            if (u->in && u->status != -ESHUTDOWN && u->packets[k].actual_length > 0)
                std::memcpy(into + offset, u->buffer.data() + offset, u->packets[k].actual_length);
            offset += u->packets[k].length;
        }
        user->error_count = errors;
    } else {
        user->error_count = 0;
        if (u->in && u->actual > 0) {
            size_t skip = u->type == USBDEVFS_URB_TYPE_CONTROL ? 8 : 0;
            std::memcpy(into + skip, u->buffer.data() + skip, u->actual);
        }
    }
    uncharge(world(), u->charge);
    *arg = user;
    updateReadiness();
    return 0;
}

// The CONTROL ioctl: the device answers under the lock; the caller then waits, outside
// it, for the answer's time (the bus in paced mode, the device's answer time) up to
// the request's time-out (0: no limit). A device that never answers ends in
// ETIMEDOUT; a reset or unplug meanwhile ends the request with ESHUTDOWN.
int UsbFile::control(usbdevfs_ctrltransfer *c, std::unique_lock<std::mutex> &lk, std::string &detail) {
    World &w = world();
    char text[64];
    std::snprintf(text, sizeof text, " %02x %02x %04x %04x %u", c->bRequestType, c->bRequest, c->wValue,
                  c->wIndex, c->wLength);
    detail = text;
    if (c->wLength > MaxControlLength) return -EINVAL;
    if (c->wLength > 0 && c->data == nullptr) return -EFAULT;
    usb_ctrlrequest s{c->bRequestType, c->bRequest, c->wValue, c->wIndex, c->wLength};
    if (int r = controlRecipient(s); r != 0) return r;
    const int64_t start = monotonicNs();
    const int64_t deadline = c->timeout ? start + int64_t{c->timeout} * 1000000 : INT64_MAX;
    void *userData = c->data;
    const uint16_t wLength = c->wLength;
    const bool in = c->bRequestType & USB_DIR_IN;
    Urb u;
    u.type = USBDEVFS_URB_TYPE_CONTROL;
    u.in = in;
    u.buffer.assign(8 + std::max<size_t>(1, wLength), 0); // never null, even for 0 bytes
    std::memcpy(u.buffer.data(), &s, 8);
    if (!in && wLength) std::memcpy(u.buffer.data() + 8, userData, wLength);
    if (int err = takeFault(dev->endpointFaults, 0)) return -err;
    int r = deviceControl(*dev, s, u.buffer.data() + 8);
    bool never = r == -ETIMEDOUT || dev->controlDelayNs < 0;
    int64_t due = start;
    if (never) {
        due = INT64_MAX;
    } else if (dev->paced) {
        u.actual = r < 0 ? 0 : in ? r : wLength;
        paceUrb(*dev, u, start);
    } else {
        due = start + dev->controlDelayNs;
    }
    std::shared_ptr<SimDevice> keep = dev;
    const uint64_t resets = dev->resets;
    int ended = 0;
    keep->controlsWaiting++;
    for (;;) {
        if (u.onBus) advanceBuses(monotonicNs()); // the bus's time, not the pacer's wake-up
        if (u.answered) due = u.onBus ? INT64_MAX : u.dueNs;
        if (!keep->connected || keep->resets != resets) {
            ended = -ESHUTDOWN;
            break;
        }
        // Whichever comes first, however late this thread looks.
        if (std::min(due, deadline) <= monotonicNs()) {
            if (deadline < due) ended = -ETIMEDOUT;
            break;
        }
        w.changed.wait_until(lk, clockAt(std::min(due, deadline)));
    }
    keep->controlsWaiting--;
    unpaceUrb(*keep, u);
    if (ended) return ended;
    if (r < 0) return r;
    if (in) {
        std::memcpy(userData, u.buffer.data() + 8, r);
        return r;
    }
    return wLength;
}

int UsbFile::dispatch(unsigned long request, void *arg, std::unique_lock<std::mutex> &lk,
                      std::string &detail) {
    char text[64];
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        if (arg == nullptr) return -EFAULT;
        return reap(static_cast<void **>(arg), request == USBDEVFS_REAPURB, lk);
    }
    if (!dev->connected) return -ENODEV;
    bool needsArg = request != USBDEVFS_RESET && request != BoardResetRequest &&
                    request != USBDEVFS_GET_SPEED && request != USBDEVFS_DISCARDURB;
    if (needsArg && arg == nullptr) return -EFAULT;
    switch (request) {
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        unsigned number = *static_cast<unsigned *>(arg);
        detail = " " + std::to_string(number);
        if (request == USBDEVFS_CLAIMINTERFACE) return claim(static_cast<int>(std::min(number, 1000u)));
        if (number >= 32) return -EINVAL;
        auto it = dev->claims.find(static_cast<int>(number));
        if (it == dev->claims.end() || it->second != this) return -EINVAL;
        releaseInterface(*dev, static_cast<int>(number), this);
        return 0;
    }
    case USBDEVFS_SETINTERFACE: {
        auto *s = static_cast<usbdevfs_setinterface *>(arg);
        std::snprintf(text, sizeof text, " %u/%u", s->interface, s->altsetting);
        detail = text;
        if (int r = checkInterface(static_cast<int>(std::min(s->interface, 1000u))); r != 0) return r;
        if (!hasAlternate(*dev, static_cast<int>(s->interface), static_cast<int>(s->altsetting)))
            return -EINVAL;
        auto endpoints = endpointsOf(*dev, static_cast<int>(s->interface));
        flush(endpoints, -ENOENT); // the file's transfers on the interface are killed
        dev->altsetting[static_cast<int>(s->interface)] = static_cast<int>(s->altsetting);
        for (uint8_t e : endpointsOf(*dev, static_cast<int>(s->interface)))
            dev->halted.erase(e);
        dev->model->setInterface(*dev, static_cast<int>(s->interface), static_cast<int>(s->altsetting));
        return 0;
    }
    case USBDEVFS_SETCONFIGURATION: {
        int value = *static_cast<int *>(arg);
        detail = " " + std::to_string(value);
        // The kernel refuses while any interface of the active configuration is claimed.
        if (!dev->claims.empty()) return -EBUSY;
        if (value == -1) value = 0;
        if (value != 0 && !dev->desc.config(value)) return -EINVAL;
        for (auto *f : dev->files)
            f->flush({}, -ESHUTDOWN);
        dev->config = value;
        dev->altsetting.clear();
        dev->halted.clear();
        return 0;
    }
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP: {
        unsigned endpoint = *static_cast<unsigned *>(arg);
        std::snprintf(text, sizeof text, " 0x%02x", endpoint);
        detail = text;
        int number = interfaceOfEndpoint(*dev, static_cast<uint8_t>(endpoint));
        if (endpoint > 0xFF || number < 0) return -ENOENT;
        if (int r = checkInterface(number); r != 0) return r;
        // RESETEP only resets the host's side (data toggle); a halted device stays halted.
        if (request == USBDEVFS_CLEAR_HALT) {
            dev->halted.erase(static_cast<uint8_t>(endpoint));
            pumpDevice(*dev);
        }
        return 0;
    }
    case USBDEVFS_RESET:
    case BoardResetRequest:
        return reset();
    case USBDEVFS_CONTROL:
        return control(static_cast<usbdevfs_ctrltransfer *>(arg), lk, detail);
    case USBDEVFS_SUBMITURB:
        return submit(static_cast<usbdevfs_urb *>(arg), detail);
    case USBDEVFS_DISCARDURB: {
        for (auto it = pending.begin(); it != pending.end(); ++it)
            if ((*it)->user == arg) {
                (*it)->status = -ECONNRESET; // with the bytes moved so far
                complete(it);
                return 0;
            }
        return -EINVAL;
    }
    case USBDEVFS_CONNECTINFO: {
        auto *ci = static_cast<usbdevfs_connectinfo *>(arg);
        ci->devnum = static_cast<unsigned>(dev->devnum);
        ci->slow = dev->desc.speed == UsbSpeed::Low;
        return 0;
    }
    case USBDEVFS_GETDRIVER:
        return -ENODATA; // no kernel driver is bound to the board's USB interfaces
    case USBDEVFS_GET_CAPABILITIES:
        *static_cast<uint32_t *>(arg) = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                        USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT |
                                        USBDEVFS_CAP_MMAP;
        return 0;
    case USBDEVFS_GET_SPEED:
        switch (dev->desc.speed) {
        case UsbSpeed::Low:
            return USB_SPEED_LOW;
        case UsbSpeed::Full:
            return USB_SPEED_FULL;
        case UsbSpeed::High:
            return USB_SPEED_HIGH;
        case UsbSpeed::Super:
            return USB_SPEED_SUPER;
        }
        return USB_SPEED_UNKNOWN;
    default:
        return -ENOTTY;
    }
}

int UsbFile::ioctl(unsigned long request, void *arg) {
    World &w = world();
    std::unique_lock<std::mutex> lk(w.lock);
    std::shared_ptr<SimDevice> keep = dev;
    const char *known = ioctlName(request);
    char unknown[32] = "";
    if (known == nullptr) std::snprintf(unknown, sizeof unknown, "0x%lx", request);
    std::string name = known ? known : unknown;
    std::string detail;
    int r;
    auto inj = dev->injections.find(name);
    const bool hadSuccessor = !dev->successor.expired();
    if (!writable) {
        // The kernel refuses every ioctl on a usbfs file opened read-only; reading
        // the descriptors is all such a file does.
        r = -EPERM;
    } else if (inj != dev->injections.end() && dev->connected) {
        r = -inj->second.err;
        if (inj->second.count > 0 && --inj->second.count == 0) dev->injections.erase(inj);
        detail = " (injected)";
    } else {
        r = dispatch(request, arg, lk, detail);
    }
    // A reset that re-enumerated the device: its trace goes on in the device that came back.
    std::shared_ptr<SimDevice> traced = hadSuccessor ? nullptr : dev->successor.lock();
    if (!traced) traced = dev;
    if (traced->trace.size() >= MaxTrace) traced->trace.pop_front();
    traced->trace.push_back(name + detail + " -> " + (r < 0 ? errnoText(-r) : std::to_string(r)));
    if (dev->vanishing && dev->connected) unplugLocked(w, dev->name_);
    if (r < 0) {
        errno = -r;
        return -1;
    }
    return r;
}

ssize_t UsbFile::read(void *buf, size_t n) {
    // As usbfs: the device descriptor and the configurations, raw.
    World &w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    if (!dev->connected) {
        errno = ENODEV;
        return -1;
    }
    std::vector<uint8_t> all(dev->desc.device);
    for (const auto &c : dev->desc.configs)
        all.insert(all.end(), c.begin(), c.end());
    if (readPos_ >= all.size()) return 0;
    size_t k = std::min(n, all.size() - readPos_);
    std::memcpy(buf, all.data() + readPos_, k);
    readPos_ += k;
    return static_cast<ssize_t>(k);
}

void *UsbFile::mmap(size_t length, int prot, int, off_t) {
    World &w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    if (!dev->connected) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    if (length == 0) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    if (!charge(w, length + UrbOverhead)) {
        errno = ENOMEM;
        return MAP_FAILED;
    }
    void *p = ::mmap(nullptr, length, prot, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        uncharge(w, length + UrbOverhead);
        errno = ENOMEM;
        return MAP_FAILED;
    }
    maps_[p] = length;
    return p;
}

int UsbFile::munmap(void *addr, size_t length) {
    World &w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    auto it = maps_.find(addr);
    if (it != maps_.end()) {
        uncharge(w, it->second + UrbOverhead);
        maps_.erase(it);
    }
    return ::munmap(addr, length);
}

void UsbFile::closed() {
    World &w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    for (auto &u : pending) {
        unpaceUrb(*dev, *u);
        uncharge(w, u->charge);
    }
    pending.clear();
    for (const auto &[number, file] : std::map<int, UsbFile *>(dev->claims)) {
        if (file != this) continue;
        if (dev->connected)
            releaseInterface(*dev, number, nullptr);
        else
            dev->claims.erase(number);
    }
    for (auto &u : completed)
        uncharge(w, u->charge);
    completed.clear();
    dev->files.erase(std::remove(dev->files.begin(), dev->files.end(), this), dev->files.end());
    if (peer_ >= 0) ::close(peer_);
    if (fd_ >= 0) ::close(fd_);
    peer_ = fd_ = -1;
    w.changed.notify_all();
}

std::unique_ptr<DeviceFile> openUsbFile(const std::string &path, int flags, int &fd) {
    World &w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    std::string prefix = sysPath("/dev/bus/usb/");
    int bus = 0, devnum = 0;
    char extra = 0;
    if (path.size() <= prefix.size() ||
        std::sscanf(path.c_str() + prefix.size(), "%3d/%3d%c", &bus, &devnum, &extra) != 2) {
        errno = ENOENT;
        return nullptr;
    }
    std::shared_ptr<SimDevice> dev;
    for (const auto &[name, d] : w.devices)
        if (d->bus == bus && d->devnum == devnum && d->connected) dev = d;
    if (!dev) {
        // The node stays when its device goes (the daemon made it); opening it then
        // finds no device.
        struct stat st {};
        errno = ::stat(path.c_str(), &st) == 0 ? ENODEV : ENOENT;
        return nullptr;
    }
    w.memoryLimit = readMemoryLimit();
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return nullptr;
    int small = 1; // the kernel rounds this up to its minimum
    ::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    auto file = std::make_unique<UsbFile>(dev, pair[0], pair[1]);
    file->writable = (flags & O_ACCMODE) != O_RDONLY;
    file->updateReadiness();
    dev->files.push_back(file.get());
    if (dev->trace.size() < MaxTrace) dev->trace.push_back("OPEN -> 0");
    fd = pair[0];
    return file;
}

void hangUpFiles(SimDevice &dev) {
    dev.trace.push_back("HANGUP");
    dev.claims.clear();
    for (auto *f : dev.files)
        f->hangUp();
    world().changed.notify_all();
}

void pumpDevice(SimDevice &dev) {
    static uint8_t noData = 0;
    if (!dev.connected) return;
    for (bool progress = true; progress && !dev.vanishing;) {
        progress = false;
        std::set<uint8_t> blocked;
        for (auto *f : dev.files) {
            for (auto it = f->pending.begin(); it != f->pending.end() && !progress; ++it) {
                Urb &u = **it;
                if (u.answered || u.type == USBDEVFS_URB_TYPE_CONTROL || blocked.count(u.endpoint)) continue;
                if (u.continuation && f->stoppedBefore(u)) continue;
                bool iso = u.type == USBDEVFS_URB_TYPE_ISO;
                int length = static_cast<int>(u.buffer.size());
                int err = 0;
                if (dev.halted.count(u.endpoint)) {
                    u.status = -EPIPE;
                } else if (!iso && (err = takeFault(dev.endpointFaults, u.endpoint)) != 0) {
                    u.status = -err; // the transaction failed: the device's answer is lost
                    if (err == EPIPE) dev.halted.insert(u.endpoint);
                } else {
                    UsbTransfer t;
                    t.endpoint = u.endpoint;
                    t.type = u.type;
                    t.data = u.buffer.empty() ? &noData : u.buffer.data(); // never null, even for 0 bytes
                    t.length = length;
                    t.actual = u.actual;
                    t.maxPacket = u.maxPacket;
                    t.flags = u.flags;
                    t.packets = iso ? &u.packets : nullptr;
                    bool done = dev.model->transfer(dev, t);
                    u.actual = std::clamp(t.actual, 0, t.length);
                    if (!done) {
                        blocked.insert(u.endpoint);
                        continue;
                    }
                    if (t.keepsData && !u.in && length > 0) {
                        // The device works on its copy of the data after the URB
                        // completed: the block is the model's now (an OUT URB's data
                        // is never copied back to the caller).
                        auto held = std::make_shared<UrbData>();
                        held->swap(u.buffer);
                        const uint8_t *bytes = held->data();
                        dev.model->takeData(std::shared_ptr<const uint8_t>(held, bytes),
                                            static_cast<size_t>(length));
                    }
                    u.status = t.status;
                    if (iso) applyIsoFaults(dev, u);
                    if (t.status == -EPIPE) dev.halted.insert(u.endpoint);
                    if (!iso) checkShort(u, length);
                }
                dev.moved += static_cast<uint64_t>(u.actual);
                if (dev.vanishAfter && dev.moved >= dev.vanishAfter) dev.vanishing = true;
                answer(dev, *f, it);
                progress = true;
                break;
            }
            if (progress) break;
        }
    }
}

void deliverDue(SimDevice &dev, int64_t now, int64_t &next) {
    for (auto *f : dev.files)
        f->deliver(now, next);
}

// ---- paced mode -----------------------------------------------------------------

void stopPacer();

namespace {

std::thread pacer;
bool pacerStop = false;
// Ends the pacer when the process ends without a stop.
struct PacerJoiner {
    ~PacerJoiner() { stopPacer(); }
} pacerJoiner;

void pacerLoop() {
    // Completions are due to the microsecond; the default timer slack would add tens.
    ::prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    World &w = world();
    std::unique_lock<std::mutex> lk(w.lock);
    while (!pacerStop) {
        int64_t now = monotonicNs();
        int64_t next = advanceBuses(now);
        std::vector<std::shared_ptr<SimDevice>> devices;
        for (const auto &[name, d] : w.devices)
            devices.push_back(d);
        for (const auto &d : devices) {
            deliverDue(*d, now, next);
            if (d->vanishing && d->connected) unplugLocked(w, d->name_);
        }
        w.pacing.wait_until(lk, clockAt(std::min(next, monotonicNs() + 100000000)));
    }
}

} // namespace

void startPacer() {
    if (pacer.joinable()) return;
    pacerStop = false;
    pacer = std::thread(pacerLoop);
}

void stopPacer() {
    if (!pacer.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(world().lock);
        pacerStop = true;
        world().pacing.notify_all();
    }
    pacer.join();
}

} // namespace sim::usb
