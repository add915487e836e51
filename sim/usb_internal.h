// Internals shared by the bus (sim/usb_bus.cpp), the usbfs files (sim/usb_usbfs.cpp)
// and the uevent socket (sim/uevent.cpp) of the USB stand-in.
#pragma once

#include "sim/devfile.h"
#include "sim/usb.h"

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace sim::usb {

class UsbFile;

// The data of a URB: the kernel's own copy of the caller's buffer. Its bytes start
// undefined, as the kernel's allocation does (only what the caller gave or the device
// wrote is ever copied out), and large blocks are kept for the thread's next URB, as
// the kernel's allocator keeps its pages: the stand-in runs on the daemon's thread and
// must not fault in fresh memory for every URB.
class UrbData {
public:
    UrbData() = default;
    ~UrbData() { release(); }
    UrbData(const UrbData &other) { *this = other; }
    UrbData &operator=(const UrbData &other) {
        if (this != &other) {
            resize(other.size_);
            if (size_ > 0) std::memcpy(data_, other.data_, size_);
        }
        return *this;
    }

    void swap(UrbData &other) {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }
    void resize(size_t n); // the contents are undefined afterwards
    void assign(size_t n, uint8_t value);
    uint8_t *data() { return data_; }
    const uint8_t *data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    uint8_t &operator[](size_t i) { return data_[i]; }
    uint8_t operator[](size_t i) const { return data_[i]; }

private:
    void release();
    uint8_t *data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
};

// One URB in the stand-in: submitted by a file (or made by the CONTROL ioctl),
// answered by the model, then completed (at once, or in paced mode when the bus has
// carried it).
struct Urb {
    usbdevfs_urb *user = nullptr; // the caller's record: written only at reap
    void *userBuffer = nullptr;   // the caller's buffer as it stood at submit
    int type = 0;
    uint8_t endpoint = 0;
    bool in = false;
    unsigned flags = 0;
    bool continuation = false; // bulk: continues the transfer of the URB before it
    int maxPacket = 0;         // of the endpoint (isochronous: bytes per interval)
    UrbData buffer;            // control: setup + data; others: data
    std::vector<usbdevfs_iso_packet_desc> packets;
    int status = 0;
    int actual = 0;        // bytes moved (so far, while the device NAKs)
    uint64_t charge = 0;   // bytes charged against the usbfs memory budget
    bool answered = false; // the model answered it; delivered at dueNs
    int64_t dueNs = INT64_MAX;
    // Paced mode: the bus time still to carry while it waits in its endpoint's queue
    // on the bus, and what is added when it is done (device latency).
    bool onBus = false;
    int64_t leftNs = 0;
    int64_t extraNs = 0;
    int64_t frameNs = 0;
};

// Paced mode (sim/usb_pace.cpp). The async transfers (control, bulk) of a bus share
// its time: every endpoint with work gets an equal share of the bus (round robin, as
// a host controller's asynchronous schedule), its transfers one after the other.
// Periodic transfers (interrupt, isochronous) take their (micro)frame slots and their
// time is taken from the async share.
struct BusQueue {
    const void *key = nullptr;
    uint8_t endpoint = 0;
    std::deque<Urb *> urbs;
};
struct Bus {
    int64_t lastNs = 0; // time up to which the bus's work is accounted
    int64_t debtNs = 0; // bus time owed to periodic transfers
    std::vector<BusQueue> queues;
};

// A simulated device on a bus.
class SimDevice : public UsbDevice {
public:
    const std::string &name() const override { return name_; }
    const UsbDescription &description() const override { return desc; }
    int configuration() const override { return config; }
    void halt(uint8_t endpoint) override { halted.insert(endpoint); }
    void poke() override;
    void vanish() override { vanishing = true; }

    std::string name_; // "1-1.3"
    int bus = 0;
    int devnum = 0;
    std::string devpath; // "1.3"
    std::string kobject; // "/devices/.../usb1/1-1/1-1.3" (the uevent DEVPATH)
    std::string kind;
    UsbOptions options;
    UsbDescription desc;
    std::unique_ptr<UsbModel> model;
    bool boardHub = false; // one of the board's own hubs, plugged for the topology
    bool connected = true;
    bool vanishing = false;
    uint64_t vanishAfter = 0; // bytes moved after which the device leaves (0: never)
    uint64_t moved = 0;
    int config = 0;
    std::map<int, int> altsetting;   // interface -> alternate setting
    std::map<int, UsbFile *> claims; // interface -> file that claimed it
    std::set<uint8_t> halted;
    std::vector<UsbFile *> files;
    std::deque<std::string> trace;
    struct Injection {
        int err = 0;
        int count = 0;
    };
    std::map<std::string, Injection> injections;
    std::map<uint8_t, Injection> endpointFaults; // completion statuses by endpoint
    struct IsoFault {
        int packet = 0;
        int err = 0;
        int count = 0;
    };
    std::map<uint8_t, std::vector<IsoFault>> isoFaults;
    int64_t controlDelayNs = 0; // the device's answer time for control requests (-1: never)
    bool reenumerateOnReset = false;
    std::weak_ptr<SimDevice> successor; // the device that came back after a re-enumeration
    uint64_t resets = 0;                // raised by every reset: ends control requests in flight
    int controlsWaiting = 0;            // CONTROL requests waiting for their answer
    // Paced mode: timed on the bus, below the device's own rate (0: the bus's only),
    // with a latency added to each completion; where each periodic endpoint's next
    // (micro)frame slot is.
    bool paced = false;
    uint64_t bytesPerSecond = 0;
    int64_t latencyNs = 0;
    std::map<uint8_t, int64_t> nextSlotNs;
};

// The stand-in's global state, under one lock.
struct World {
    std::mutex lock;
    std::condition_variable changed; // completions, unplugs: blocking reaps wait on it
    std::condition_variable pacing;  // timed work came or went: the pacer looks again
    std::map<std::string, std::shared_ptr<SimDevice>> devices;
    std::vector<std::string> order;       // plug order
    std::map<int, std::set<int>> devnums; // bus -> numbers in use
    std::map<int, int> lastDevnum;
    uint64_t seqnum = 0;
    bool removeFirst = false;
    uint64_t memoryInUse = 0;
    std::set<int> poweredOff;
    struct Held {
        int bus;
        std::string devpath;
        std::string kind;
        UsbOptions options;
    };
    std::map<int, std::vector<Held>> held;                      // port -> devices waiting for power
    std::map<std::string, std::vector<std::string>> goneTraces; // traces of unplugged devices
    uint64_t memoryLimit = 16u << 20; // usbfs budget, read when a device file opens (0: none)
    std::map<int, Bus> buses;         // paced mode: by bus number
};
World &world();

// The interface that holds an endpoint in the active configuration (current
// alternate settings), -1 when none.
int interfaceOfEndpoint(const SimDevice &dev, uint8_t endpoint);
// The endpoint descriptor of an address in the current settings, or null.
const usb_endpoint_descriptor *endpointDescriptor(const SimDevice &dev, uint8_t endpoint);

// Times an URB of a paced device that the device answered at now: sets dueNs
// (periodic) or puts it in its endpoint's queue on the bus.
void paceUrb(SimDevice &dev, Urb &u, int64_t now);
// Takes a URB off the bus (completed early: discard, reset, unplug, close, time-out).
void unpaceUrb(SimDevice &dev, Urb &u);
// Accounts every bus up to now: URBs that got their time there get their dueNs.
// Returns when to look again for the next such end (INT64_MAX: none).
int64_t advanceBuses(int64_t now);
// Delivers the URBs of the device whose time has come; lowers next to the earliest
// one still waiting (sim/usb_usbfs.cpp).
void deliverDue(SimDevice &dev, int64_t now, int64_t &next);

// usbfs: the device file opener, and what an unplug does to the open files.
std::unique_ptr<DeviceFile> openUsbFile(const std::string &path, int flags, int &fd);
void hangUpFiles(SimDevice &dev); // in-flight URBs complete with -ESHUTDOWN, the files hang up
void pumpDevice(SimDevice &dev);  // offers waiting URBs to the model
// Answers a control request as the device would (standard requests, then the model):
// bytes of the data stage or a negative errno.
int deviceControl(SimDevice &dev, const usb_ctrlrequest &setup, uint8_t *data);
// Starts the worker that delivers timed completions (paced devices, control answer
// times) when the first such device appears; stops it at the end.
void startPacer();
void stopPacer();

// Plugs and unplugs with the lock held (vanishing devices end their request this
// way; a reset that re-enumerates does both).
std::string plugLocked(World &w, int bus, const std::string &devpath, const std::string &kind,
                       const UsbOptions &options, bool boardHub, std::string &error);
void unplugLocked(World &w, const std::string &name);

// uevents: sends one message to every open uevent socket; the coldplug list replays
// the "add" messages of the devices present to a socket that has just opened.
void sendUevent(const std::string &message);
std::vector<std::string> coldplugUevents();

int64_t monotonicNs();

} // namespace sim::usb
