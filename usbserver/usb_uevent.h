// The kernel's uevent datagrams as the hot-plug listener reads them: a header
// "ACTION@DEVPATH" and zero-separated "KEY=value" variables. The parser is bounded by
// the datagram's length and takes only what the listener needs.
#pragma once

#include <cstddef>
#include <cstdint>

// The longest uevent datagram the listener reads.
constexpr size_t UeventMaxLength = 4096;

struct Uevent {
    enum Action { Other, Add, Remove };
    Action action = Other;
    int32_t major = 0;
    int32_t minor = 0;
    int32_t busNumber = 0;
    int32_t deviceNumber = 0;
    int32_t vendorId = 0; // PRODUCT=vendor/product/release (hexadecimal ids)
    int32_t productId = 0;
    int32_t release = 0;
    int32_t deviceClass = 0; // TYPE=class/subclass/protocol
    int32_t deviceSubclass = 0;
    int32_t deviceProtocol = 0;
    bool usbDevice = false;   // DEVTYPE=usb_device
    bool storageSlot = false; // DEVNAME=mmcblk0...
    bool hasDevpath = false;  // DEVPATH= present and acceptable
    char devpath[256] = {};   // below "/sys"; no "..", no control characters
};

// True for a datagram the listener looks at: longer than 16 bytes and without "kernel"
// in its first line.
bool ueventWanted(const char *data, size_t length);

// Parses an "add@" or "remove@" message; false (out reset) for any other.
bool parseUevent(const char *data, size_t length, Uevent &out);
