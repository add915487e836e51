// The hot-plug listener: the task "Listen2Udev" reads the kernel's uevents and enters
// every USB device that is plugged into a port into the device table (with its
// descriptors and strings), and clears the entry when the device goes. Also the pieces
// it is made of, which the server task and the tests use on their own.
#pragma once

#include "core/task.h"

#include <cstddef>
#include <cstdint>
#include <string>

class Listen2Udev : public Task {
public:
    Listen2Udev() : Task("Listen2Udev") {}
    void run() override;
};

// Handles one uevent datagram for the given product and board version. Returns the
// table entry that was filled or cleared, -1 when nothing changed.
int usbHandleUevent(const char *data, size_t length, unsigned productId, unsigned hwMajor);
// The same with the product description of the appliance.
int usbHandleUevent(const char *data, size_t length);

// The port of a device for the product (table of the products), -1 when the device is
// not on one of its ports. sysDir: the device's sysfs directory (the "pci" test).
int usbPortOf(unsigned productId, unsigned hwMajor, int bus, const char *devpath, const char *sysDir);
// The speed code of the sysfs "speed" text.
int usbSpeedCode(const char *text);
// Level (elements of the path) and topology hash of a sysfs "devpath" text.
void usbTopology(const char *devpath, int32_t &level, uint32_t &hash);
// The manufacturer and product names of the ids from a usb.ids file; each buffer is
// left unchanged when not found. False when the file cannot be read.
bool usbIdsLookup(const std::string &path, int vendorId, int productId, char *manufacturer,
                  size_t manufacturerSize, char *product, size_t productSize);
// Mounts sysfs when "/proc/mounts" shows none and creates "/dev/bus/usb" (modes set
// explicitly; the process's creation mask is left alone). 0, or -1 when a step failed.
int prepareUsbfsTree();
