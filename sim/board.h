// The simulated board driver: "/dev/gpio" and the button devices "/dev/button",
// "/dev/button0" .. "/dev/button3" under the sandbox root. It keeps the state of every
// output line, LED, the display and the input bits, counts ticks (from 0 at its
// power-up, in real time, and advanced on request), delivers injected button events,
// and fails chosen requests with a chosen errno. The daemon reaches it through the
// platform layer; tests and simctl drive it through the functions below and the
// control socket.
#pragma once

#include "core/gpio_abi.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim::board {

// Serves the board's device paths (with the sandbox root in front) and adds the
// control commands; the board powers up: its tick counter starts at 0. uninstall
// stops serving them (open files keep working).
void install();
void uninstall();
// A fresh board: all lines off, all LEDs dark, display blank, both power inputs good,
// fan working, one button, no injected failures, empty request log; the USB ports
// powered (devices held by a switched-off port come back). The tick counter runs on.
void reset();

// LED groups: 0 the lines of the five-word LED record, 1 to 3 the three groups of the
// nine-word record (3: the LED bar).
enum LedMode { LedOff = 0, LedOn = 1, LedBlink = 2 };
struct Led {
    LedMode mode = LedOff;
    uint32_t stepMs = 0;
    // The blink pattern and its mask of the record that set a blinking line of group 0
    // (blink states differ only there).
    uint32_t pattern = 0;
    uint32_t patternMask = 0;
};
Led led(int group, int line);
// The switched-on output lines (port power: bit = port index, line 0 = port 1).
uint32_t lines();
// The last display record and its text: the two characters with their decimal points,
// e.g. "E5" or "D.S.".
gpio_abi::DisplayRecord display();
std::string displayText();
// The input bits the driver reports now.
uint32_t inputs();
int activityPulses();

// Board set-up.
void setLedInfo(uint32_t ledMask, uint32_t capability);
void setButtonMask(uint32_t mask);
// The button record last written by the daemon.
gpio_abi::ButtonRecord buttonSettings();
// Power input 1 or 2 good (true) or failed.
bool setPowerInput(int input, bool good);
void setFanBroken(bool broken);

// Tick counter: 10-ms ticks since install or the last reset, plus every advance.
void advanceTicks(int64_t ticks);
int64_t counter();

// Failure injection: requests on "gpio" or "button" devices fail with the errno (0
// clears it).
void inject(const std::string &device, unsigned long request, int error);

// Writes the bytes to every open instance of button device index; the number of
// instances reached.
int buttonEvent(int index, const std::string &bytes);

// Log of the requests the board accepted (at most the last 1024).
struct Request {
    unsigned long request = 0;
    uint32_t words[gpio_abi::MaxRecordWords] = {};
    unsigned wordCount = 0;
};
std::vector<Request> requests();
void clearRequests();

// The lines of the "state" dump.
void describe(std::string &out);

} // namespace sim::board
