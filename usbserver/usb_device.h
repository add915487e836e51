// The USB device table: one entry per USB device plugged into the appliance's ports,
// filled and cleared by the hot-plug listener (usb_udev.cpp) and used by the protocol
// and the transfer layer. An entry holds what sysfs told about the device, its cached
// configuration and string descriptors, its usbfs file and the pool of transfer buffers
// mapped from that file.
#pragma once

#include <pthread.h>
#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <utility>
#include <vector>

struct sUrb;         // one forwarded transfer (the transfer layer)
struct UsbSrvClient; // a task's epoll registration of a client connection or usbfs file (core/tcp.h)

// Size of the table; only the first usbDeviceCount entries are used.
constexpr int UsbDeviceTableSize = 40;
// Highest port number of any product.
constexpr int UsbMaxPorts = 20;
// Capacity of an entry's pool of mapped transfer buffers (63 are kept).
constexpr int MaxMaps = 64;
// Bytes in front of a mapped transfer buffer: region length and use count.
constexpr size_t MappedBufferHeader = 8;
// Most bytes of freed heap transfer buffers an opened entry keeps for its next URBs, and
// the smallest buffer worth keeping (smaller ones are cheap to get from the heap).
constexpr size_t KeptBufferBytes = 4u << 20;
constexpr int KeptBufferMin = 4096;

// Entry states.
enum : int32_t {
    UsbEntryEmpty = 0,
    UsbEntryPresent = 2,
    UsbEntryOpened = 3,
};

// Speed codes.
enum : int32_t {
    UsbSpeedLow = 1,
    UsbSpeedFull = 2,
    UsbSpeedHigh = 3,
    UsbSpeedSuper = 5,
};

// Endpoint counters by transfer type (bmAttributes bits 0..1).
enum { UsbEpControl = 0, UsbEpIsochronous = 1, UsbEpBulk = 2, UsbEpInterrupt = 3 };

// One configuration of a device: its full descriptor (wTotalLength bytes) and the
// interface numbers met while parsing it.
struct UsbConfiguration {
    std::vector<uint8_t> descriptor;
    uint8_t interfaces[64] = {};
    int interfaceCount = 0;
};

// One cached string descriptor; an empty one records that the device had none.
struct UsbStringDescriptor {
    int index = 0;
    uint16_t language = 0;
    std::vector<uint8_t> bytes;
};

class UsbDevice {
public:
    UsbDevice();
    ~UsbDevice();
    UsbDevice(const UsbDevice &) = delete;
    UsbDevice &operator=(const UsbDevice &) = delete;

    // Sets the state and clears the entry (file closed, no caches, no owner). The
    // mutexes and lists stay.
    void init(int32_t newState);
    // Under the entry lock: frees the caches, zeroes the device descriptor, unmaps the
    // pooled buffers, then init(0). The usbfs descriptor is not closed here.
    void clear();
    // Copies what the hot-plug listener gathered into this (empty) entry.
    void fillFrom(const UsbDevice &scratch);

    // The entry lock: on failure "%s(%s) error:0x%x" on standard output and the caller
    // goes on without it. True when the lock was taken (only then muxOut).
    bool muxIn(const char *caller);
    void muxOut();

    // Opens "/dev/bus/usb/BBB/DDD" when closed: 1 opened, 0 already open. On failure a
    // present or opened entry counts as unplugged (disconnected event) and is cleared:
    // -1 with errno of the open.
    int openFile(int flags);
    // Unmaps the pooled buffers and closes the usbfs file; 1 when a file was closed.
    int closeFile();

    // Transfer buffers: from the heap below MinMMap (or with the pool off), else mapped
    // from the usbfs file and pooled. Null when the file is closed or size < 1. Freed
    // heap buffers of at least KeptBufferMin bytes are kept (KeptBufferBytes at most)
    // while the file is open and handed out again for the same size: fresh heap pages
    // fault in on every first touch, which slows reading a transfer's data into them
    // far below the network's rate.
    void *allocBuffer(int size);
    void freeBuffer(void *buffer, int size);
    // Number of pooled mappings.
    int poolSize();
    // Bytes of kept heap buffers.
    size_t keptBytes();

    // String descriptor index as Latin-1 text into buf (at most size - 1 characters):
    // characters above U+00FF and control characters become '?'. The character count,
    // or -1.
    int stringToText(int index, char *buf, size_t size);
    // Fetches string descriptor index from the device on the given usbfs descriptor
    // (GET_DESCRIPTOR, 1000 ms) into buf and the cache; its length or a negative error.
    int fetchString(int file, uint16_t language, int index, uint8_t *buf, int length);
    void cacheString(uint16_t language, int index, const uint8_t *bytes, int length);
    // The cached descriptor of that index (language 0 matches any): bytes copied, 0 for
    // a cached empty one, -1 when not cached.
    int lookupString(uint16_t language, int index, uint8_t *buf, size_t size);

    // Walks the cached configurations: counts configurations, interfaces and endpoints,
    // fetches their strings, notes UAS and video interfaces. False when the probe fails.
    bool parseConfigurations(int entryNumber);

    uint16_t descriptorVendorId() const {
        return static_cast<uint16_t>(deviceDescriptor[8] | deviceDescriptor[9] << 8);
    }
    uint16_t descriptorProductId() const {
        return static_cast<uint16_t>(deviceDescriptor[10] | deviceDescriptor[11] << 8);
    }
    int numConfigurations() const { return deviceDescriptor[17]; }

    // Fields, in the order of the entry's data model.
    std::atomic<int32_t> state{0};
    int32_t speed = 0;
    int32_t busNumber = 0;
    int32_t level = 0;
    uint32_t topologyHash = 0;
    int32_t deviceNumber = 0;
    int32_t versionMajor = 0;
    int32_t versionMinor = 0;
    int32_t deviceClass = 0;
    int32_t deviceSubclass = 0;
    int32_t vendorId = 0;
    int32_t productId = 0;
    int32_t releaseHigh = 0;
    int32_t releaseLow = 0;
    int32_t keyIndex = 0;
    int32_t keyExpiryState = -1;
    char manufacturer[64] = {};
    char product[64] = {};
    char serial[64] = {};
    char devpath[64] = {};
    int32_t maxPower = 0;
    int32_t major = 0;
    int32_t minor = 0;
    int32_t fd = -1;
    uint8_t resetPending = 0;
    uint32_t connectTick = 0;
    int32_t port = 0;
    pthread_mutex_t mutex;
    uint8_t languageRead = 0;
    uint16_t language = 0;
    uint8_t deviceDescriptor[18] = {};
    int32_t currentConfiguration = -1;
    std::vector<UsbConfiguration> configurations;
    std::list<UsbStringDescriptor> strings;
    uint8_t endpointsIn[4] = {1, 0, 0, 0};
    uint8_t endpointsOut[4] = {};
    uint8_t configurationCount = 0;
    uint8_t interfaceCount = 0;
    UsbSrvClient *waitRecord = nullptr;
    UsbSrvClient *owner = nullptr;
    std::list<sUrb *> urbs;
    pthread_mutex_t poolMutex;
    std::list<uint8_t *> pool;
    std::vector<std::pair<void *, int>> kept; // freed heap buffers and their sizes, oldest first
    size_t keptSize = 0;
    int32_t uasInterface = -1;
    int32_t uasAlternate = -1;
    uint8_t video = 0;
    uint8_t isoSplit = 0;
    uint8_t removed = 0;
    // Which plug of a device this entry holds: a new value at every fill, so that work
    // begun for a device (a usbfs record, a pending ENODEV) can tell that its entry was
    // cleared or reused meanwhile.
    std::atomic<uint32_t> identity{0};

private:
    void dropPool();
    bool keep(void *buffer, int size);
};

// The table and its size for the product (set by the server task).
extern UsbDevice usbDeviceTable[UsbDeviceTableSize];
extern std::atomic<int> usbDeviceCount;

// Server-wide values the table, the transfer layer and the status block share.
extern std::atomic<int> MinMMap;         // smallest pooled buffer; 0 switches the pool off
extern std::atomic<int> MaxUrbIn;        // bulk chunk IN
extern std::atomic<int> MaxUrbOut;       // bulk chunk OUT
extern std::atomic<int> usbUrbsInFlight; // transfers in flight
extern std::atomic<int> usbLiveClients;  // client tasks alive

// The appliance paths the table and the listener use: sysPath() of "/dev/bus/usb",
// "/sys", "/romfs/usb.ids" and "/proc/mounts" until a test points them elsewhere.
struct UsbPaths {
    std::string devBusUsb;
    std::string sys;
    std::string usbIds;
    std::string procMounts;
};
UsbPaths &usbPaths();

// False when the port's zqn_hid_ parameter is off (HID devices refused there).
bool usbHidAllowed(int port);

// Opens the entry's usbfs device file with the flags, as a descriptor of the caller's
// own (the entry's file is left alone): the descriptor, or -1 with errno.
int usbOpenDeviceFile(const UsbDevice &entry, int flags);

// The entry of that number when it is within the table's device count, else null.
UsbDevice *usbEntry(int entryNumber);

// True when the entry still holds the device of that identity (not emptied or reused).
bool usbEntryIsSame(int entryNumber, uint32_t identity);
// For the completion path's ENODEV: marks the entry removed when it still holds that
// device; false (nothing touched) when the entry was cleared or refilled meanwhile.
bool usbMarkRemovedIfSame(int entryNumber, uint32_t identity);

// The calls of the device table into the parts of the USB server that own the events,
// the clients and the transfers. Null until those parts install them; a null hook does
// nothing.
struct UsbDeviceHooks {
    // Port events of a device entry.
    int (*connected)(UsbDevice &entry) = nullptr;
    int (*disconnected)(UsbDevice &entry) = nullptr;
    // An unplugged device that a client still holds: asks the client's task to take
    // it from the client (its usbfs file, transfers and epoll record belong to that
    // task). True when the task does so and then finishes the removal itself (the
    // disconnected event and the clearing); false when the entry was not held (any
    // more), and the caller goes on.
    bool (*takeFromClient)(UsbDevice &entry) = nullptr;
    // The transfer rows of the status block for an entry with transfers.
    void (*writeUrbList)(UsbDevice &entry, const std::function<bool(const char *, size_t)> &write) = nullptr;
};
UsbDeviceHooks &usbDeviceHooks();

// The field read-out for the web pages and the status mail: kinds 1 manufacturer,
// 2 product, 3 serial, 4 owner address ("----" when none), 5 "1" when opened, 6 product
// id and 7 vendor id ("0x%04X"), others "id err !!". The length, -1 for an entry out of
// range or empty.
int query_usb_device_info(int entryNumber, int kind, char *buffer, size_t size);

// The HTML status block of the USB server, written piece by piece.
using UsbStatusWrite = std::function<bool(const char *data, size_t length)>;
void usb_srv_status(const UsbStatusWrite &write);
// The speed name of the status block.
const char *usbSpeedName(int speed);

// Converts a string descriptor to text as stringToText does; the character count.
int usbStringDescriptorText(const uint8_t *descriptor, int length, char *buf, size_t size);
