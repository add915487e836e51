// The board driver's interface as the daemon and the simulated board both see it: the
// request numbers of "/dev/gpio" and of the button devices, and the records they carry.
// Every record is made of 32-bit words in the machine's own byte order.
#pragma once

#include <cstdint>

namespace gpio_abi {

// "/dev/gpio"
constexpr unsigned long LinesOn = 0x40040AC2;       // write uint32_t: switch on the lines of the mask
constexpr unsigned long LinesOff = 0x40040AC3;      // write uint32_t: switch off the lines of the mask
constexpr unsigned long SetLeds = 0x40140ACA;       // write LedRecord
constexpr unsigned long SetLedsWide = 0x40240ACE;   // write WideLedRecord (product 295)
constexpr unsigned long GetLedInfo = 0x80140AC9;    // read LedRecord: word 0 = the board's LED lines
constexpr unsigned long GetCapability = 0x80040AC1; // read uint32_t
constexpr unsigned long GetInputs = 0x80040AAE;     // read uint32_t: InputPower1 | InputPower2 | InputFan
constexpr unsigned long GetTicks = 0x80080ACB;      // read int64_t: 10-ms tick counter
constexpr unsigned long Activity = 0x40040AC8;      // write uint32_t: activity pulse
constexpr unsigned long SetDisplay = 0x80140ACC;    // write DisplayRecord

// Button devices ("/dev/button", "/dev/button0" .. "/dev/button3")
constexpr unsigned long ButtonGetInfo = 0x80145C00; // read ButtonRecord
constexpr unsigned long ButtonSetInfo = 0x40145C01; // write ButtonRecord

// Input bits (GetInputs).
constexpr uint32_t InputPower1 = 0x1; // set: power input 1 failed
constexpr uint32_t InputPower2 = 0x2; // set: power input 2 failed
constexpr uint32_t InputFan = 0x4;    // set: the fan is running

// Lines beside the port power lines (bit = port index).
constexpr int LineRelay = 29; // relay; beeper of product 295 (switched off = sounding)
constexpr int LineFan1 = 30;  // fan (product 295: switched on = fan off) / fan level
constexpr int LineFan2 = 31;  // fan level; beeper of product 278; power-off line

// LED record: the lines of lineMask follow the pattern. Steady (blink 0): with a
// patternMask of 0 each line takes its own bit of pattern; otherwise every line is lit
// when pattern bit 0 is set. Blinking (blink 1): the lines step through the bits of
// pattern under patternMask, one bit every stepMs milliseconds, lit while the bit is set.
struct LedRecord {
    uint32_t lineMask;
    uint32_t pattern;
    uint32_t patternMask;
    uint32_t blink;
    uint32_t stepMs;
};
static_assert(sizeof(LedRecord) == 20, "the driver's LED record has five words");

// Product 295's LED record: three groups of 32 lines (group 0: port LEDs of ports 0-4,
// group 1: ports 5 and up, group 2: the LED bar, whose lines light while their colour
// bit is clear). Steady: the lines of mask[g] take their bits of colour[g]. Blinking:
// the lines of mask[g] step through the pattern as in LedRecord; the pattern word holds
// the pattern in its low 16 bits and the pattern mask in its high 16 bits.
struct WideLedRecord {
    uint32_t mask[3];
    uint32_t colour[3];
    uint32_t blink;
    uint32_t pattern;
    uint32_t stepMs;
};
static_assert(sizeof(WideLedRecord) == 36, "product 295's LED record has nine words");

// Display record: code word = first char << 24 | (dot 2 ? '.' << 16 : 0) |
// second char << 8 | (dot 1 ? '.' : 0); blinking as in LedRecord.
struct DisplayRecord {
    uint32_t code;
    uint32_t pattern;
    uint32_t patternMask;
    uint32_t blink;
    uint32_t stepMs;
};
static_assert(sizeof(DisplayRecord) == 20, "the display record has five words");

// Button record: word 0 the mask of present button devices, words 2 and 3 the press
// times in ms that separate a short press ("0") from a long one ("1").
struct ButtonRecord {
    uint32_t buttonMask;
    uint32_t reserved1;
    uint32_t shortPressMs;
    uint32_t longPressMs;
    uint32_t reserved4;
};
static_assert(sizeof(ButtonRecord) == 20, "the button record has five words");

// Largest record of any request.
constexpr unsigned MaxRecordWords = 9;

} // namespace gpio_abi
