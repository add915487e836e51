// The port access checks and the port events as the protocol calls them: port keys,
// vendor/product lists and VLAN binding decide which client sees and opens which
// device; activation and deactivation of a device drive the port LEDs, the owner
// parameters, the notifications and the timed power cycles. The protocol and the
// transfer layer call only these functions, so that the rules live in one place.
// Until the port configuration is built, every check admits and the events do nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

class UsbDevice;
struct UsbSrvClient;

// Key results of the port-key check.
enum : int {
    UsbKeyFailed = -1,
    UsbKeyNotNeeded = 0,
    UsbKeyUnlimited = 1000,
};

// The port-key check of a port with the client's challenge and a key block ("KVX" or
// "KVx", a count and the entries; null or empty for none): a key result, below 0 when
// the port needs a key that the block does not prove.
int usbPortKeyCheck(int port, uint32_t challenge, const uint8_t *block, size_t length);

// Whether the device of the entry may be used on its port (vendor/product list).
bool check_device_assignment(int entryNumber, int port);

// Whether the port's VLAN binding admits the client (its connection's VLAN).
bool usbVlanAdmits(int port, const UsbSrvClient *client);

// Port events of an opened device: activation with the user name of the open request
// (null when none), deactivation when the client gives it up or loses it.
void usbDeviceActivated(UsbDevice &entry, const char *user);
void usbDeviceDeactivated(UsbDevice &entry);

// The per-port device counters of the port events (100 per device present plus one
// per activation), index port - 1.
extern std::atomic<int> usbPortCounter[20];

// Switches the port off for that many ticks and on again (a timed power cycle).
void usbPortPowerCycle(int port, int ticks);
