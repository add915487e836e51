// The port access checks and the port events as the protocol calls them: port keys,
// vendor/product lists and VLAN binding decide which client sees and opens which
// device; activation and deactivation of a device drive the port LEDs, the owner
// parameters, the notifications and the timed power cycles. The protocol and the
// transfer layer call only these functions, so that the rules live in one place.
// The checks are in usb_portkey.cpp, the events and power cycles in usb_events.cpp.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

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
// the port needs a key that the block does not prove; 1 to 2 x ports the number of the
// key that matched when its validity is limited in time.
int usbPortKeyCheck(int port, uint32_t challenge, const uint8_t *block, size_t length);

// The proofs of a key text for a challenge: the 11 characters that DES crypt gives
// after its two salt characters, and the SHA-1 digest of the four challenge characters
// followed by the key. False when the key is empty or the proof cannot be made.
bool usbKeyProofDes(const char *key, uint32_t challenge, char out[11]);
bool usbKeyProofSha1(const char *key, uint32_t challenge, uint8_t out[20]);

// Seconds a key schedule ("sMtWTFS:F:T:YY:MM:DD:HH") leaves at that local time: the
// weekly window or the expiry date; 86400 for a whole day or more, 0 when not valid.
int usbKeyValidityLeft(const char *schedule, bool weekly, const struct tm &local);
// The same for key number k at the appliance's local time now (0 without a schedule).
int usbKeyValidityNow(int k, bool weekly);

// True when "vendor:product" of the entry's device parameters occurs in the port's
// list of allowed devices; false when one of them is missing.
bool match_vendprod_ids(int entryNumber, int port);
// Whether the device of the entry may be used on its port (vendor/product list).
bool check_device_assignment(int entryNumber, int port);

// Whether the port's VLAN binding admits the client (its connection's VLAN).
bool usbVlanAdmits(int port, const UsbSrvClient *client);

// The minute check of time-limited keys: warns the owners of devices whose key ends
// within 5 minutes (notice 132) and releases the port when it has ended (reason 4).
void check_port_key_expiry();

// Port events of a device entry. Connected and disconnected come from the hot-plug
// listener (installed as the device table's hooks); activation with the user name of
// the open request (null when none), deactivation when the client gives it up or
// loses it. A deactivation without a counted activation does nothing, so that an
// entry released by the port is not deactivated again when its client closes it.
int usbDeviceConnected(UsbDevice &entry);
int usbDeviceDisconnected(UsbDevice &entry);
void usbDeviceActivated(UsbDevice &entry, const char *user);
void usbDeviceDeactivated(UsbDevice &entry);
// Installs the connected and disconnected events as the device table's hooks.
void usbInstallEventHooks();

// The per-port device counters of the port events (100 per device present plus one
// per activation), index port - 1.
extern std::atomic<int> usbPortCounter[20];

// Switches the port off for that many ticks; the main loop switches it on again
// (usbCheckPowerCycles) while the port's power setting is on.
void usbPortPowerCycle(int port, int ticks);
// The main loop's pass over the timed power cycles whose time is up.
void usbCheckPowerCycles();
