// The simulated USB side of the kernel: host controllers with their buses, hubs and
// devices, the sysfs directories and uevents the kernel produces when a device comes
// and goes, and the usbfs device files (sysPath("/dev/bus/usb/BBB/DDD")) through which
// the daemon claims interfaces and moves data. Each device runs a model (a loopback,
// a mass-storage stick over an image file, a keyboard, ...) that answers its transfers.
//
// Everything here runs under one lock; models are called with it held and must not
// call back into the public functions below.
#pragma once

#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// Device speeds as the kernel reports them in sysfs ("1.5", "12", "480", "5000").
enum class UsbSpeed { Low, Full, High, Super };

// The descriptors and strings of one device as it presents them on the wire.
struct UsbDescription {
    std::vector<uint8_t> device;                      // the 18-byte device descriptor
    std::vector<std::vector<uint8_t>> configs;        // each configuration with all its descriptors
    std::map<uint32_t, std::vector<uint8_t>> strings; // (language << 8 | index) -> descriptor bytes
    UsbSpeed speed = UsbSpeed::High;

    // Builds the device descriptor.
    void setDevice(uint16_t bcdUsb, uint8_t cls, uint8_t subClass, uint8_t protocol, uint8_t maxPacket0,
                   uint16_t vendor, uint16_t product, uint16_t bcdDevice, uint8_t iManufacturer,
                   uint8_t iProduct, uint8_t iSerial);
    // Starts a configuration; the interface and endpoint calls append to the last one,
    // which keeps its wTotalLength and bNumInterfaces up to date.
    void addConfig(uint8_t value, uint8_t attributes, uint8_t maxPower, uint8_t iConfiguration = 0);
    void addInterface(uint8_t number, uint8_t alternate, uint8_t cls, uint8_t subClass, uint8_t protocol,
                      uint8_t iInterface = 0);
    void addEndpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval = 0);
    // Appends any other descriptor (class-specific ones such as the HID descriptor).
    void addRaw(const std::vector<uint8_t> &bytes);
    // The language list (string descriptor 0).
    void setLanguages(const std::vector<uint16_t> &languages);
    // A string in one language, from UTF-8 text (coded as UTF-16 on the wire).
    void setString(uint16_t language, uint8_t index, const std::string &utf8);
    // A string descriptor given byte by byte (for broken descriptors).
    void setRawString(uint16_t language, uint8_t index, const std::vector<uint8_t> &bytes);

    uint16_t vendor() const;
    uint16_t product() const;
    // The configuration whose bConfigurationValue is value, or null.
    const std::vector<uint8_t> *config(int value) const;
};

// One transfer handed to a model. For OUT the data holds length bytes; for IN the
// model fills up to length bytes. actual comes in as the bytes already moved by
// earlier offers of the same transfer (a device may take or send part of it and then
// NAK) and goes out as the bytes moved so far. An isochronous transfer has its
// packets (length, actual length, status each) laid one after the other in data.
struct UsbTransfer {
    uint8_t endpoint = 0;
    int type = 0; // USBDEVFS_URB_TYPE_*
    uint8_t *data = nullptr;
    int length = 0;
    int actual = 0;
    int status = 0;     // 0 or a negative errno
    int maxPacket = 0;  // the endpoint's packet size (isochronous: bytes per interval)
    unsigned flags = 0; // USBDEVFS_URB_* flags of the URB (ZERO_PACKET, SHORT_NOT_OK, ...)
    std::vector<usbdevfs_iso_packet_desc> *packets = nullptr;
    // Set by a model that completes an OUT transfer at once but goes on working on its
    // data afterwards, as a device does beside the host: the stand-in then hands the
    // data to the model's takeData instead of dropping it at the reap.
    bool keepsData = false;
};

class UsbDevice;

// What a device does with the requests the host sends it. The stand-in itself answers
// the standard requests (descriptors, configuration, interface, status, halt).
class UsbModel {
public:
    virtual ~UsbModel() = default;
    virtual const char *kind() const = 0;
    // A control request the standard handling did not answer: the number of bytes of
    // the data stage (IN: written into data, at most wLength), or -EPIPE to stall, or
    // -ETIMEDOUT when the device does not answer.
    virtual int control(UsbDevice &dev, const usb_ctrlrequest &setup, uint8_t *data);
    // A transfer on a bulk, interrupt or isochronous endpoint: true when it completed
    // (actual and status set), false when the device has nothing (more) yet (NAK; it
    // is offered again, with the bytes moved so far in actual, after every other
    // completion on the device and on pokes).
    virtual bool transfer(UsbDevice &dev, UsbTransfer &t);
    // Bus reset, configuration and interface changes.
    virtual void reset(UsbDevice &) {}
    virtual void setInterface(UsbDevice &, int, int) {}
    // A model's own control command ("usb poke <device> <words...>"); empty text on success.
    virtual std::string command(UsbDevice &, const std::vector<std::string> &) { return "not supported"; }
    // Extra "state" text.
    virtual void state(std::string &) {}
    // The data of an OUT transfer the model completed with keepsData set, in the order
    // of the transfers; the block goes when the last reference to it does.
    virtual void takeData(std::shared_ptr<const uint8_t> data, size_t length) {
        (void)data;
        (void)length;
    }
};

// Options of a plug: "key=value" words (vid, pid, speed, image, bytes, pace, ...).
// pace=usb2 times the device's transfers on its bus as a USB 2.0 host controller
// does (one budget per bus shared by its paced devices, half duplex, packets with
// their overhead, interrupt and isochronous endpoints at their intervals,
// completions at (micro)frame ends); pace=<bytes per second> does the same and
// holds the device below that rate.
using UsbOptions = std::map<std::string, std::string>;

// Builds the model and fills the description; null with a reason when the kind or an
// option is unknown.
std::unique_ptr<UsbModel> makeUsbModel(const std::string &kind, const UsbOptions &options,
                                       UsbDescription &desc, std::string &error);
// The model kinds known, for the help text.
const char *usbModelKinds();

// A device on a simulated bus, as the models and tests see it.
class UsbDevice {
public:
    virtual ~UsbDevice() = default;
    virtual const std::string &name() const = 0; // sysfs name: "1-1.3"
    virtual const UsbDescription &description() const = 0;
    virtual int configuration() const = 0; // bConfigurationValue, 0 when unconfigured
    // Marks an endpoint halted (transfers on it stall until a clear halt).
    virtual void halt(uint8_t endpoint) = 0;
    // Asks the stand-in to offer the waiting transfers to the model again.
    virtual void poke() = 0;
    // The device leaves the bus once the current request is done (a vanishing device).
    virtual void vanish() = 0;
};

// Plugs a device at the topology path devpath ("1", "1.3", ...) of a bus. A missing
// hub on the way is plugged first as one of the board's own hubs. Returns the sysfs
// name, or an empty text with the reason.
std::string usbPlug(int bus, const std::string &devpath, const std::string &kind, const UsbOptions &options,
                    std::string &error);
// Unplugs a device (and what hangs behind it, when a hub); -1 when there is none.
int usbUnplug(const std::string &name);
// Unplugs every device and forgets held ones: a fresh bus (tests).
void usbUnplugAll();
// Names of the devices present, in plug order.
std::vector<std::string> usbDevices();
// usbfs device file path of a device ("/dev/bus/usb/001/002" inside the sandbox root).
std::string usbNodePath(const std::string &name);

// Port power from the simulated board: off unplugs the devices of that USB port and
// holds them; on plugs them again (with new device numbers, as the kernel gives).
void usbPortPower(int port, bool on);
// The product's port of a device, as the daemon derives it (-1: not a port). pciPath:
// the controller's sysfs path contains "pci".
int usbPortOf(uint32_t product, uint32_t hwMajor, int bus, const std::string &devpath, bool pciPath);
// Where a device must be plugged to land on the port for the current product.
bool usbPortLocation(int port, int &bus, std::string &devpath);

// Ordering of an unplug: the "remove@" uevent after the usbfs files hung up (the
// kernel's order, default) or before it.
void usbSetRemoveFirst(bool removeFirst);

// Completion faults: the next count URBs (-1: every one until err 0 clears it) that
// complete on the endpoint end with -err instead of the device's answer (on endpoint
// 0 also the CONTROL ioctl; on an isochronous endpoint every packet of the URB gets
// it). -EPIPE also halts the endpoint, as a stall does. -1 when the device is not there.
int usbEndpointStatus(const std::string &name, uint8_t endpoint, int err, int count);
// Packet `packet` of the next count isochronous URBs on the endpoint ends with -err
// (the URB itself completes with 0, as the kernel reports packet errors).
int usbIsoPacketStatus(const std::string &name, uint8_t endpoint, int packet, int err, int count);
// The time the device takes to answer a control request (microseconds; -1: it never
// answers). CONTROL waits for it up to its time-out, outside the stand-in's lock.
int usbControlDelay(const std::string &name, int64_t microseconds);
// With on, the next reset of the device fails as when its descriptors changed: the
// kernel re-enumerates it (it leaves the bus and comes back with a new device
// number) and the reset says ENODEV.
int usbResetReenumerates(const std::string &name, bool on);

// Fault injection: the next count calls (-1: all) of the ioctl with the given name
// ("SUBMITURB", "CONTROL", "CLAIMINTERFACE", "RESET", "RESET5520", ...) fail with err;
// err 0 removes the injection. -1 when the device is not there.
int usbInject(const std::string &name, const std::string &ioctl, int err, int count);
// The trace of usbfs calls on the device: one line per ioctl, "NAME args -> result",
// and the unplug's "HANGUP" and "UEVENT remove" in their order. Kept after an unplug
// until the name is plugged again.
std::vector<std::string> usbTrace(const std::string &name);
void usbClearTrace(const std::string &name);
// Halts an endpoint of a device; -1 when there is none.
int usbStall(const std::string &name, uint8_t endpoint);
// Runs a model command on a device.
std::string usbPoke(const std::string &name, const std::vector<std::string> &words);

// The "usb" control command: the words of the line, the command word first; appends
// its answer lines and returns an empty text or the reason of a failure.
std::string usbControl(const std::vector<std::string> &args, std::string &out);
// The stand-in's lines of the "state" dump.
void usbStateLines(std::string &out);

// Bytes charged against the usbfs memory budget now.
uint64_t usbMemoryInUse();

} // namespace sim
