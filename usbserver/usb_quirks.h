// The quirk table: USB devices that misbehave when they are reset, reconfigured, asked
// for certain descriptors or left powered after use, each with its set of quirk flags.
// The device commands, the transfer layer, the device table and the deactivation event
// ask it whether a device has one given quirk.
#pragma once

#include <cstddef>
#include <cstdint>

class UsbDevice;

// Quirk flags and what each one changes.
enum : uint32_t {
    QuirkNoQualifier = 0x00000200,        // GET_DESCRIPTOR for the device qualifier is refused (3/3)
    QuirkStringOnOpenFile = 0x00000400,   // an uncached string is fetched on the owner's open file
    QuirkNoEffect800 = 0x00000800,        // no effect
    QuirkNoResetCommand = 0x00001000,     // the reset command does nothing
    QuirkNoEffect2000 = 0x00002000,       // no effect
    QuirkCloseUsbfsReset = 0x00004000,    // closing resets with usbfs RESET instead of request 0x5520
    QuirkFirstConfig = 0x00008000,        // after enumeration configuration index 0 is current
    QuirkNoClearHalt = 0x00010000,        // clear halt does nothing and succeeds
    QuirkResetEndpoint = 0x00020000,      // clear halt uses usbfs RESETEP
    QuirkConfigOneLocal = 0x00040000,     // set configuration 1 only makes index 0 current
    QuirkPowerCycle1s = 0x00080000,       // a 1-s power cycle follows each deactivation
    QuirkNoString238 = 0x00100000,        // string descriptor 238 is never fetched
    QuirkCloseSkipReset = 0x00200000,     // closing skips the first reset request
    QuirkClosePowerCycle = 0x00400000,    // closing power-cycles the port for 4 s
    QuirkAlwaysSetConfig = 0x00800000,    // set configuration always releases, sets and claims
    QuirkConfigBoardReset = 0x01000000,   // set configuration above 1 first issues request 0x5520
    QuirkConfigZeroFirst = 0x02000000,    // set configuration first sets configuration 0
    QuirkTimeoutReset = 0x04000000,       // a timed-out control transfer resets the device
    QuirkUnconfigBoardReset = 0x08000000, // set configuration 0 uses request 0x5520
    QuirkCloseNoDevice = 0x10000000,      // closing: ENODEV from the reset just closes the file
    QuirkResetBoardRequest = 0x20000000,  // the reset command uses request 0x5520, failures unreported
    QuirkPowerCycle2s = 0x40000000,       // a 2-s power cycle follows each deactivation
    QuirkPowerCycle3s = 0x80000000,       // a 3-s power cycle follows each deactivation
};

// One row: product id 0 matches every product of the vendor. The note is for people.
struct UsbQuirkRow {
    uint16_t vendorId;
    uint16_t productId;
    uint32_t flags;
    const char *note;
};

// The rows, in the order they are scanned.
const UsbQuirkRow *usbQuirkRows(size_t &count);

// True when the first row that has the flag set and matches the ids exists.
bool hasQuirk(uint16_t vendorId, uint16_t productId, uint32_t flag);
// The same for a table entry, by idVendor and idProduct of its device descriptor.
bool hasQuirk(const UsbDevice &device, uint32_t flag);
