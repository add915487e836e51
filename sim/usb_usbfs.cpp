// The usbfs device files of the simulated kernel: claims, configuration and interface
// changes, control transfers, URBs (submit, reap, discard) with the kernel's checks and
// error codes, the usbfs memory budget, mmap'ed buffers, resets, and readiness for
// epoll: the descriptor handed out is one end of a unix stream socket pair whose send
// buffer is kept full while no completion waits (not writable) and drained while one
// waits (writable); closing the other end on unplug makes it hang up.
#include "sim/usb_internal.h"

#include "core/sysroot.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
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
    default:
        return "E" + std::to_string(err);
    }
}

uint64_t memoryLimit() {
    // Read at every use, as the kernel reads its module parameter; 0 means no limit.
    std::string path = sysPath("/sys/module/usbcore/parameters/usbfs_memory_mb");
    FILE *f = std::fopen(path.c_str(), "re");
    unsigned long mb = 16;
    if (f) {
        if (std::fscanf(f, "%lu", &mb) != 1) mb = 16;
        std::fclose(f);
    }
    return static_cast<uint64_t>(mb) << 20;
}

bool charge(World &w, uint64_t amount) {
    uint64_t limit = memoryLimit();
    if (limit > 0 && w.memoryInUse + amount > limit) return false;
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

} // namespace

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

    // Keeps the daemon's descriptor writable exactly while completions wait.
    void updateReadiness() {
        if (peer_ < 0) return;
        if (!completed.empty() && filled_) {
            char sink[4096];
            while (::recv(peer_, sink, sizeof sink, MSG_DONTWAIT) > 0) {
            }
            filled_ = false;
        } else if (completed.empty() && !filled_) {
            static const char block[4096] = {};
            while (::send(fd_, block, sizeof block, MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
            }
            filled_ = true;
        }
    }

    void hangUp() {
        for (auto &u : pending) {
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
        completed.push_back(std::move(*it));
        pending.erase(it);
        updateReadiness();
        world().changed.notify_all();
    }

    // Completes the in-flight URBs of the given endpoints (all when empty) with status.
    void flush(const std::vector<uint8_t> &endpoints, int status) {
        for (auto it = pending.begin(); it != pending.end();) {
            auto next = std::next(it);
            if (endpoints.empty() ||
                std::find(endpoints.begin(), endpoints.end(), (*it)->endpoint) != endpoints.end()) {
                (*it)->status = status;
                (*it)->actual = 0;
                complete(it);
            }
            it = next;
        }
    }

    std::shared_ptr<SimDevice> dev;
    bool writable = true; // opened for writing: usbfs takes ioctls only then
    std::list<std::unique_ptr<Urb>> pending;
    std::deque<std::unique_ptr<Urb>> completed;

private:
    int dispatch(unsigned long request, void *arg, std::unique_lock<std::mutex> &lk, std::string &detail);
    int claim(int number);
    int checkInterface(int number);
    int controlRecipient(const usb_ctrlrequest &s);
    int submit(usbdevfs_urb *u, std::string &detail);
    int reap(void **arg, bool wait, std::unique_lock<std::mutex> &lk);
    std::vector<uint8_t> interfaceEndpoints(int number);
    void resetDevice();

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

void answer(SimDevice &dev, UsbFile &file, std::list<std::unique_ptr<Urb>>::iterator it) {
    Urb &u = **it;
    if (dev.bytesPerSecond == 0) {
        file.complete(it);
        return;
    }
    // Paced: the transfer takes its bytes' time on the endpoint (an isochronous one a
    // (micro)frame per packet), then the latency.
    int64_t now = monotonicUs();
    int64_t start = std::max(now, dev.busyUntilUs[u.endpoint]);
    int64_t frameUs = dev.desc.speed == UsbSpeed::High || dev.desc.speed == UsbSpeed::Super ? 125 : 1000;
    int64_t takes =
        u.type == USBDEVFS_URB_TYPE_ISO
            ? static_cast<int64_t>(u.packets.size()) * frameUs
            : static_cast<int64_t>(static_cast<uint64_t>(u.actual) * 1000000 / dev.bytesPerSecond);
    int64_t done = start + takes;
    dev.busyUntilUs[u.endpoint] = done;
    u.dueUs = done + dev.latencyUs;
    u.answered = true;
    world().changed.notify_all();
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

std::vector<uint8_t> UsbFile::interfaceEndpoints(int number) {
    std::vector<uint8_t> out;
    for (int ep = 1; ep < 16; ep++)
        for (uint8_t address : {static_cast<uint8_t>(ep), static_cast<uint8_t>(ep | USB_DIR_IN)})
            if (interfaceOfEndpoint(*dev, address) == number) out.push_back(address);
    return out;
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

void UsbFile::resetDevice() {
    // The kernel unbinds usbfs from the interfaces before a reset: the claims go and
    // their transfers are killed (-ENOENT); the reset then ends what is left on
    // endpoint 0, and halts and alternate settings go back.
    for (const auto &[number, file] : std::map<int, UsbFile *>(dev->claims))
        file->flush(interfaceEndpoints(number), -ENOENT);
    dev->claims.clear();
    for (auto *f : dev->files)
        f->flush({}, -ESHUTDOWN);
    dev->halted.clear();
    dev->altsetting.clear();
    dev->busyUntilUs.clear();
    dev->model->reset(*dev);
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
    auto urb = std::make_unique<Urb>();
    urb->user = u;
    urb->type = u->type;
    urb->endpoint = u->endpoint;
    urb->in = (u->endpoint & USB_DIR_IN) != 0;
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
        if (epType == USB_ENDPOINT_XFER_INT) urb->type = USBDEVFS_URB_TYPE_INTERRUPT;
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
            urb->packets.push_back({u->iso_frame_desc[k].length, 0, 0});
        }
        if (total > 0 && u->buffer == nullptr) return -EINVAL;
        length = total;
        u->buffer_length = total; // as the kernel does
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
    urb->buffer.assign(length, 0);
    if (length > 0 && (u->type == USBDEVFS_URB_TYPE_CONTROL || !urb->in))
        std::memcpy(urb->buffer.data(), u->buffer, urb->in ? 8 : length);
    u->status = -EINPROGRESS;
    u->actual_length = 0;
    if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
        usb_ctrlrequest s;
        std::memcpy(&s, urb->buffer.data(), 8);
        int r = deviceControl(*dev, s, urb->buffer.data() + 8);
        urb->status = r < 0 ? r : 0;
        urb->actual = r < 0 ? 0 : (urb->in ? r : s.wLength);
        if (r == -ETIMEDOUT) {
            // A device that does not answer: the URB stays until discarded.
            urb->status = 0;
            pending.push_back(std::move(urb));
            pending.back()->answered = true;
            pending.back()->dueUs = INT64_MAX;
            return 0;
        }
        pending.push_back(std::move(urb));
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
    usbdevfs_urb *user = u->user;
    user->status = u->status;
    user->actual_length = u->actual;
    user->error_count = 0;
    user->start_frame = 0;
    if (u->type == USBDEVFS_URB_TYPE_ISO) {
        size_t offset = 0;
        int errors = 0;
        for (size_t k = 0; k < u->packets.size(); k++) {
            user->iso_frame_desc[k].actual_length = u->packets[k].actual_length;
            user->iso_frame_desc[k].status = u->packets[k].status;
            if (u->packets[k].status != 0) errors++;
            if (u->in && u->status != -ESHUTDOWN && u->packets[k].actual_length > 0)
                std::memcpy(static_cast<char *>(user->buffer) + offset, u->buffer.data() + offset,
                            u->packets[k].actual_length);
            offset += u->packets[k].length;
        }
        user->error_count = errors;
    } else if (u->in && u->actual > 0) {
        size_t skip = u->type == USBDEVFS_URB_TYPE_CONTROL ? 8 : 0;
        std::memcpy(static_cast<char *>(user->buffer) + skip, u->buffer.data() + skip, u->actual);
    }
    uncharge(world(), u->charge);
    *arg = user;
    updateReadiness();
    return 0;
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
        dev->claims.erase(it);
        flush(interfaceEndpoints(static_cast<int>(number)), -ENOENT);
        return 0;
    }
    case USBDEVFS_SETINTERFACE: {
        auto *s = static_cast<usbdevfs_setinterface *>(arg);
        std::snprintf(text, sizeof text, " %u/%u", s->interface, s->altsetting);
        detail = text;
        if (int r = checkInterface(static_cast<int>(std::min(s->interface, 1000u))); r != 0) return r;
        if (!hasAlternate(*dev, static_cast<int>(s->interface), static_cast<int>(s->altsetting)))
            return -EINVAL;
        auto endpoints = interfaceEndpoints(static_cast<int>(s->interface));
        flush(endpoints, -ENOENT); // the file's transfers on the interface are killed
        dev->altsetting[static_cast<int>(s->interface)] = static_cast<int>(s->altsetting);
        for (uint8_t e : interfaceEndpoints(static_cast<int>(s->interface)))
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
        resetDevice();
        return 0;
    case USBDEVFS_CONTROL: {
        auto *c = static_cast<usbdevfs_ctrltransfer *>(arg);
        std::snprintf(text, sizeof text, " %02x %02x %04x %04x %u", c->bRequestType, c->bRequest, c->wValue,
                      c->wIndex, c->wLength);
        detail = text;
        if (c->wLength > MaxControlLength) return -EINVAL;
        if (c->wLength > 0 && c->data == nullptr) return -EFAULT;
        usb_ctrlrequest s{c->bRequestType, c->bRequest, c->wValue, c->wIndex, c->wLength};
        if (int r = controlRecipient(s); r != 0) return r;
        std::vector<uint8_t> data(std::max<size_t>(1, c->wLength)); // never null, even for 0 bytes
        bool in = c->bRequestType & USB_DIR_IN;
        if (!in && c->wLength) std::memcpy(data.data(), c->data, c->wLength);
        int r = deviceControl(*dev, s, data.data());
        if (r < 0) return r;
        if (in) {
            std::memcpy(c->data, data.data(), r);
            return r;
        }
        return c->wLength;
    }
    case USBDEVFS_SUBMITURB:
        return submit(static_cast<usbdevfs_urb *>(arg), detail);
    case USBDEVFS_DISCARDURB: {
        for (auto it = pending.begin(); it != pending.end(); ++it)
            if ((*it)->user == arg) {
                (*it)->status = -ECONNRESET;
                if (!(*it)->answered) (*it)->actual = 0;
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
    char unknown[32];
    std::snprintf(unknown, sizeof unknown, "0x%lx", request);
    std::string name = known ? known : unknown;
    std::string detail;
    int r;
    auto inj = dev->injections.find(name);
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
    if (dev->trace.size() >= MaxTrace) dev->trace.pop_front();
    dev->trace.push_back(name + detail + " -> " + (r < 0 ? errnoText(-r) : std::to_string(r)));
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
    for (auto it = dev->claims.begin(); it != dev->claims.end();)
        it = it->second == this ? dev->claims.erase(it) : std::next(it);
    for (auto &u : pending)
        uncharge(w, u->charge);
    for (auto &u : completed)
        uncharge(w, u->charge);
    pending.clear();
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
        errno = ENOENT;
        return nullptr;
    }
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
                if (dev.halted.count(u.endpoint)) {
                    u.status = -EPIPE;
                    u.actual = 0;
                } else {
                    UsbTransfer t;
                    t.endpoint = u.endpoint;
                    t.type = u.type;
                    t.data = u.buffer.empty() ? &noData : u.buffer.data(); // never null, even for 0 bytes
                    t.length = static_cast<int>(u.buffer.size());
                    t.packets = u.type == USBDEVFS_URB_TYPE_ISO ? &u.packets : nullptr;
                    if (!dev.model->transfer(dev, t)) {
                        blocked.insert(u.endpoint);
                        continue;
                    }
                    u.status = t.status;
                    u.actual = std::min(t.actual, t.length);
                    if (t.status == -EPIPE) dev.halted.insert(u.endpoint);
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
    World &w = world();
    std::unique_lock<std::mutex> lk(w.lock);
    while (!pacerStop) {
        int64_t now = monotonicUs();
        int64_t next = INT64_MAX;
        std::vector<std::shared_ptr<SimDevice>> devices;
        for (const auto &[name, d] : w.devices)
            devices.push_back(d);
        for (const auto &d : devices) {
            for (auto *f : d->files)
                for (auto it = f->pending.begin(); it != f->pending.end();) {
                    auto next2 = std::next(it);
                    if ((*it)->answered && (*it)->dueUs <= now)
                        f->complete(it);
                    else if ((*it)->answered)
                        next = std::min(next, (*it)->dueUs);
                    it = next2;
                }
            if (d->vanishing && d->connected) unplugLocked(w, d->name_);
        }
        if (next == INT64_MAX)
            w.changed.wait_for(lk, std::chrono::milliseconds(100));
        else
            w.changed.wait_for(lk, std::chrono::microseconds(std::min<int64_t>(next - now, 100000)));
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
        world().changed.notify_all();
    }
    pacer.join();
}

} // namespace sim::usb
