// The relay output driven by device events.
#pragma once

#include <cstdint>
#include <ctime>

// Device event bits (the relay logic's inputs).
enum : uint32_t {
    DevEventStart = 0x1,
    DevEventLinkDown = 0x2,
    DevEventLinkUp = 0x4,
    DevEventPower1Good = 0x10,
    DevEventPower2Good = 0x20,
    DevEventPower1Failed = 0x40,
    DevEventPower2Failed = 0x80,
    DevEventCardIn = 0x100,
    DevEventCardOut = 0x200,
    DevEventCardError = 0x400,
};

// One device event: switches the relay when the product has one and "relay_ctrl" is
// not "fix". The latched bits ("relay_eves"), or 0 without relay or with "fix".
int handle_relay_event(uint32_t eventBit);

// The device event table read by the relay page: {bit, time of last occurrence, name};
// an entry with bit 0 ends it.
struct DeviceEventEntry {
    uint32_t bit;
    time_t last;
    const char *name;
};
const DeviceEventEntry *deviceEventTable();
