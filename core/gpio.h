// Board I/O: the one object that owns the board driver "/dev/gpio" (USB port power,
// port and status LEDs, Wi-Fi LED, relay, beeper, fans, power-off line, input bits, the
// status display of product 295 and the tick counter), the two-character display, and
// the "GPio" task that runs the start-up light sequence, watches the buttons and
// switches the ports on in groups when the USB server asks.
#pragma once

#include "core/gpio_abi.h"
#include "core/task.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

// Products with current and temperature sensors: 287, 294, 295 and 307.
bool hasExtendedBoard(unsigned productId);

class GpioDevice;

// The two-character status display of product 295. On other products every call does
// nothing and answers 1.
class Display {
public:
    // Show flags.
    enum : uint32_t {
        Dot1 = 0x1,       // decimal point after the first character
        Dot2 = 0x2,       // decimal point after the second character
        Add = 0x4,        // add the code to the active list (or update its flags)
        Remove = 0x8,     // remove the code from the active list; nothing is shown
        Lock = 0x10,      // lock the display: later shows without Lock are ignored
        SlowBlink = 0x20, // blink slowly
        FastBlink = 0x40, // blink fast (wins over SlowBlink)
    };
    static constexpr int EntryCount = 8;

    explicit Display(GpioDevice &device);

    // Shows (and adds or removes) a code; 1, or 0 when a removal finds no such code or
    // an addition finds no free entry.
    int show(char first, char second, uint32_t flags);
    // One step of the display cycle (every 2 s from the supervision loop): follows the
    // power inputs and shows the next active code, or the default text "disp_def".
    void refresh();
    // Start-up light step on the LED bar; -1 switches the bar off.
    void startStep(int step);

    // The state word: bits 0 and 1 set while power input 1 / 2 is good, 0x10 locked.
    uint32_t stateWord() const { return state_.load(); }
    int activeCount();

    struct Entry {
        char first = 0; // 0: free
        char second = 0;
        uint32_t flags = 0;
    };

private:
    void publishList();

    GpioDevice &device_;
    std::recursive_mutex mutex_;
    Entry entries_[EntryCount];
    std::atomic<uint32_t> state_{0};
    int current_ = -1;
    int count_ = 0;
};

class GpioDevice {
public:
    // The device of the product this daemon runs on (product description).
    GpioDevice();
    // A device for a given product and port count (tests, tools).
    GpioDevice(unsigned productId, int portCount);
    ~GpioDevice();
    GpioDevice(const GpioDevice &) = delete;
    GpioDevice &operator=(const GpioDevice &) = delete;

    // Opens sysPath("/dev/gpio") read-write; true when open. From then on the tick clock
    // counts the board's counter (continuing from where it stood).
    bool open();
    // All ports off, 0.5 s, LEDs to their closing pattern, the device closed; true
    // when it was open.
    bool close();
    bool isOpen() const { return fd_.load() >= 0; }

    // One driver request under the request lock: the driver's result, -1 when closed.
    int ioctl(unsigned long request, void *record);
    // The input bits (power inputs, fan), -1 when they cannot be read.
    int readInputs();

    // 10-ms ticks: the board's counter while it answers, else the system's monotonic
    // clock for the rest of the run; never goes backwards.
    int64_t ticks();

    bool setPortPower(int line, bool on);
    // colour 0 off, 1 first colour, 2 second colour, 3 both; blinkHz 0 steady.
    bool setPortLed(int port, int colour, int blinkHz);
    void pulseActivity();
    void setStatusLines(uint32_t mask, uint32_t pattern);
    int statusCode();
    void updateStatusLed();
    void setWlanLed(int mode);
    void setRelay(bool on);
    void setFanLevel(char letter);
    char fanLevel() const { return fanLevel_.load(); }
    // Kind 1: one 400-ms beep; kind 2: two 100-ms beeps; else one 100-ms beep. True
    // when the beep job started (only products 278 and 295 have a beeper).
    bool beep(int kind);
    // Product 295: mode 1 fan on, 0 off unless "fan_on", other modes only check; then
    // checks the fan-running bit and raises the fan alarm. The fan-running bit.
    int fanControl(int mode);
    void powerOff();

    // The start-up light sequence and the button set-up; on the "GPio" task.
    void init();
    // Switches the ports on in groups as "zqn_ppwr_<n>" says; on the "GPio" task.
    void portsOn();

    unsigned productId() const { return productId_; }
    int portCount() const { return portCount_; }
    // The display, null until the start-up sequence made it (or on products without
    // one); any thread may ask.
    Display *display() const { return display_.load(std::memory_order_acquire); }
    // Blocks until no beep job of this device runs any more (tests, destruction).
    void waitBeeps();

    std::atomic<uint32_t> ledMask{0};
    std::atomic<uint32_t> capabilityWord{0};
    std::atomic<uint32_t> buttonMask{0};
    std::atomic<uint8_t> initialised{0};
    std::atomic<int> releaseCount[4] = {};
    std::atomic<int> pressCount[4] = {};
    std::atomic<int> fanFailCount{0};
    std::atomic<bool> fanOn{false};

private:
    bool switchLines(uint32_t mask, bool on);
    bool switchLine(int line, bool on);
    bool sendLeds(uint32_t lineMask, uint32_t pattern, uint32_t patternMask, uint32_t blink, uint32_t stepMs);
    void beepJob();
    void releaseTicks();

    unsigned productId_;
    int portCount_;
    std::atomic<int> fd_{-1};
    std::mutex ioctlMutex_;
    // Made once on the "GPio" task and published through display_ to the other threads.
    std::unique_ptr<Display> displayOwner_;
    std::atomic<Display *> display_{nullptr};
    std::atomic<char> fanLevel_{0};

    // Beep job: shared by every beep thread, as the driver has one beeper.
    std::atomic<int> beepMs_{0};
    std::atomic<int> beepCount_{0};
    std::mutex beepMutex_;
    std::condition_variable beepDone_;
    int beepThreads_ = 0;

    // Tick clock state.
    std::mutex tickMutex_;
    bool tickFallback_ = false;
    bool tickZeroSet_ = false;
    int64_t tickZero_ = 0;
    int64_t tickBase_ = 0;
    int64_t lastTicks_ = 0;
    int64_t fallbackOffset_ = 0;
};

// The process-wide board device.
GpioDevice &gpioDevice();

// What the board I/O needs from other subsystems; each is null until its owner installs
// it at start. startShutDown has the real stop as its default (tests replace it).
struct GpioHooks {
    // True while the wired interface is RUNNING; null counts as running.
    bool (*wiredRunning)() = nullptr;
    // Starts the "WpaWps" task with the PIN derived from the MAC (Wi-Fi manager).
    int (*startWps)() = nullptr;
    // Sets start-up's shutdown type, the exit status (2: cold restart).
    void (*setShutdownType)(int type) = nullptr;
    // Records a notification event with a text; > 0 when recorded.
    int (*notifyAddText)(uint32_t eventBits, const char *text) = nullptr;
    // Constructs and starts the stop task with the delay in seconds.
    int (*startShutDown)(int delaySeconds) = nullptr;
};
GpioHooks &gpioHooks();

// Points the parameter table's board hooks, the monitoring log's board hooks and the
// shutdown's display hook at the device.
void installGpioHooks(GpioDevice &device);
// The hooks stop reaching the device (its destruction calls this).
void releaseGpioHooks(GpioDevice &device);

// The "GPio" task.
class GPio : public Task {
public:
    explicit GPio(GpioDevice &device);
    ~GPio() override;
    void run() override;
    uint32_t onMessage(const TaskMsg &msg) override;

    // Handles the bytes read from button device index (4: unknown device).
    void handleButtonBytes(int index, const char *bytes, size_t length);
    static int onButton(EpollRecord *record, uint32_t events);

    int buttonFds[4] = {-1, -1, -1, -1};
    EpollRecord buttonRecords[4];
    std::atomic<bool> portsOnRequested{false};
    GpioDevice &device;
};
