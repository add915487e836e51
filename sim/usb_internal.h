// Internals shared by the bus (sim/usb_bus.cpp), the usbfs files (sim/usb_usbfs.cpp)
// and the uevent socket (sim/uevent.cpp) of the USB stand-in.
#pragma once

#include "sim/devfile.h"
#include "sim/usb.h"

#include <condition_variable>
#include <cstdint>
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

// One URB in the stand-in: submitted by a file, answered by the model.
struct Urb {
    usbdevfs_urb *user = nullptr; // the caller's record, updated at reap
    int type = 0;
    uint8_t endpoint = 0;
    bool in = false;
    std::vector<uint8_t> buffer; // control: setup + data; others: data
    std::vector<usbdevfs_iso_packet_desc> packets;
    int status = 0;
    int actual = 0;
    uint64_t charge = 0;   // bytes charged against the usbfs memory budget
    int64_t dueUs = 0;     // paced mode: when the completion is delivered
    bool answered = false; // the model completed it (paced: waiting for its time)
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
    // Paced mode: bytes per second (0: immediate mode) and latency of each endpoint.
    uint64_t bytesPerSecond = 0;
    int64_t latencyUs = 0;
    std::map<uint8_t, int64_t> busyUntilUs;
};

// The stand-in's global state, under one lock.
struct World {
    std::mutex lock;
    std::condition_variable changed; // completions, unplugs: blocking reaps wait on it
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
};
World &world();

// The interface that holds an endpoint in the active configuration (current
// alternate settings), -1 when none.
int interfaceOfEndpoint(const SimDevice &dev, uint8_t endpoint);
// The endpoint descriptor of an address in the current settings, or null.
const usb_endpoint_descriptor *endpointDescriptor(const SimDevice &dev, uint8_t endpoint);

// usbfs: the device file opener, and what an unplug does to the open files.
std::unique_ptr<DeviceFile> openUsbFile(const std::string &path, int flags, int &fd);
void hangUpFiles(SimDevice &dev); // in-flight URBs complete with -ESHUTDOWN, the files hang up
void pumpDevice(SimDevice &dev);  // offers waiting URBs to the model
// Answers a control request as the device would (standard requests, then the model):
// bytes of the data stage or a negative errno.
int deviceControl(SimDevice &dev, const usb_ctrlrequest &setup, uint8_t *data);
// Starts the paced-mode worker when a paced device appears; stops it at the end.
void startPacer();
void stopPacer();

// Unplugs with the lock held (vanishing devices end their request this way).
void unplugLocked(World &w, const std::string &name);

// uevents: sends one message to every open uevent socket; the coldplug list replays
// the "add" messages of the devices present to a socket that has just opened.
void sendUevent(const std::string &message);
std::vector<std::string> coldplugUevents();

int64_t monotonicUs();

} // namespace sim::usb
