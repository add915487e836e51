// The board device: driver requests, port power and LEDs, status and Wi-Fi LEDs, relay,
// fans, beeper, power-off and the tick clock.
#include "core/gpio.h"

#include "core/monilog.h"
#include "core/platform.h"
#include "core/ptable_hooks.h"
#include "core/sysinfo.h"
#include "core/sysroot.h"
#include "core/ticks.h"
#include "param_catalogue.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

using namespace gpio_abi;

bool hasExtendedBoard(unsigned productId) {
    return productId == 287 || productId == 294 || productId == 295 || productId == 307;
}

namespace {

int64_t monotonicTicks() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 100 + ts.tv_nsec / 10000000;
}

// The device whose counter the tick clock reads, and the offset to the monotonic clock
// once no device counts any more (so that the clock goes on from where it stood).
std::atomic<GpioDevice *> tickDevice{nullptr};
std::atomic<int64_t> afterBoardOffset{0};

int64_t boardTickSource() {
    GpioDevice *device = tickDevice.load(std::memory_order_acquire);
    return device ? device->ticks() : monotonicTicks() + afterBoardOffset.load();
}

int64_t afterBoardTickSource() {
    return monotonicTicks() + afterBoardOffset.load();
}

// A 32-bit line mask of a bit number that may lie outside the word: 0 then.
uint32_t bit(long n) {
    return n >= 0 && n < 32 ? 1u << n : 0;
}

} // namespace

GpioDevice::GpioDevice()
    : GpioDevice(productParams().productId, static_cast<int>(productParams().usbPorts)) {}

GpioDevice::GpioDevice(unsigned productId, int portCount)
    : productId_(productId), portCount_(portCount < 0 ? 0 : (portCount > 32 ? 32 : portCount)) {}

GpioDevice::~GpioDevice() {
    waitBeeps();
    releaseGpioHooks(*this);
    releaseTicks();
    int fd = fd_.exchange(-1);
    if (fd >= 0) platform().close(fd);
}

bool GpioDevice::open() {
    if (fd_.load() >= 0) return true;
    int fd = platform().open(sysPath("/dev/gpio").c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    {
        std::lock_guard<std::mutex> guard(tickMutex_);
        // The board's counter continues the clock where it stands now.
        tickBase_ = sysTicks();
        lastTicks_ = tickBase_;
        fallbackOffset_ = tickBase_ - monotonicTicks();
    }
    fd_.store(fd);
    tickDevice.store(this, std::memory_order_release);
    setTickSource(boardTickSource);
    return true;
}

// Leaves the board's counter: the clock goes on from its last value on the monotonic
// clock.
void GpioDevice::releaseTicks() {
    if (tickDevice.load() != this) return;
    int64_t last = ticks();
    afterBoardOffset.store(last - monotonicTicks());
    setTickSource(afterBoardTickSource);
    tickDevice.store(nullptr, std::memory_order_release);
}

bool GpioDevice::close() {
    if (fd_.load() < 0) return false;
    for (int port = portCount_ - 1; port >= 0; port--)
        setPortPower(port, false);
    usleep(500000);
    sendLeds(ledMask.load(), 1, 3, 0, 300);
    releaseTicks();
    int fd;
    {
        std::lock_guard<std::mutex> guard(ioctlMutex_);
        fd = fd_.exchange(-1);
    }
    if (fd >= 0) platform().close(fd);
    return true;
}

int GpioDevice::ioctl(unsigned long request, void *record) {
    std::lock_guard<std::mutex> guard(ioctlMutex_);
    int fd = fd_.load();
    if (fd < 0) return -1;
    return platform().ioctl(fd, request, record);
}

int GpioDevice::readInputs() {
    uint32_t bits = 0;
    if (ioctl(GetInputs, &bits) != 0) return -1;
    return static_cast<int>(bits & 0x7fffffff);
}

int64_t GpioDevice::ticks() {
    std::lock_guard<std::mutex> guard(tickMutex_);
    if (!tickFallback_) {
        int64_t raw = 0;
        if (ioctl(GetTicks, &raw) == 0) {
            if (!tickZeroSet_) {
                tickZero_ = raw;
                tickZeroSet_ = true;
            }
            int64_t now = raw - tickZero_ + tickBase_;
            if (now > lastTicks_) lastTicks_ = now;
            return lastTicks_;
        }
        // Closed or failing: the system clock from here on, continuing the count.
        tickFallback_ = true;
        fallbackOffset_ = lastTicks_ - monotonicTicks();
    }
    int64_t now = monotonicTicks() + fallbackOffset_;
    if (now > lastTicks_) lastTicks_ = now;
    return lastTicks_;
}

bool GpioDevice::switchLines(uint32_t mask, bool on) {
    return ioctl(on ? LinesOn : LinesOff, &mask) == 0;
}

bool GpioDevice::switchLine(int line, bool on) {
    return switchLines(bit(line), on);
}

bool GpioDevice::sendLeds(uint32_t lineMask, uint32_t pattern, uint32_t patternMask, uint32_t blink,
                          uint32_t stepMs) {
    LedRecord record{lineMask, pattern, patternMask, blink, stepMs};
    return ioctl(SetLeds, &record) == 0;
}

bool GpioDevice::setPortPower(int line, bool on) {
    if (fd_.load() < 0 || line < 0 || line > 31) return false;
    bool ok = switchLine(line, on);
    if (moniEnabled(MoniSta))
        mprintf(MoniSta, __FILE__, __LINE__, "USB port:%d is switched %s", line, on ? "on" : "off");
    return ok;
}

bool GpioDevice::setPortLed(int port, int colour, int blinkHz) {
    if (port < 0 || fd_.load() < 0) return false;
    const bool blinking = blinkHz > 0;
    const uint32_t step = blinking ? static_cast<uint32_t>(1000 / blinkHz) : 0;

    if (productId_ == 295) {
        WideLedRecord record{};
        uint32_t a, b;
        int word;
        if (port <= 4) {
            word = 0;
            a = bit(port + 8);
            b = bit(port + 16);
        } else {
            word = 1;
            a = bit(port - 5);
            b = bit(port + 11);
        }
        if ((a | b) == 0) return false;
        uint32_t selected = ((colour & 1) ? a : 0) | ((colour & 2) ? b : 0);
        if (blinking) {
            if (selected == 0) return false;
            record.mask[word] = selected;
            record.blink = 1;
            record.pattern = 1 | (3u << 16);
            record.stepMs = step;
        } else {
            record.mask[word] = a | b;
            record.colour[word] = selected;
        }
        return ioctl(SetLedsWide, &record) == 0;
    }

    const uint32_t leds = ledMask.load();
    uint32_t a, b;
    switch (productId_) {
    case 267:
        a = port == 1 ? 2 : bit(2L * port);
        b = bit(2L * port + 1);
        a &= leds;
        b &= leds;
        break;
    case 271:
    case 283:
        a = port == 0 ? 2 : 0;
        b = 0;
        break;
    case 317:
        a = 4;
        b = 1;
        break;
    default:
        a = bit(8L + port);
        b = bit(16L + port);
        break;
    }
    if (((a | b) & leds) == 0) return false;
    uint32_t selected = ((colour & 1) ? a : 0) | ((colour & 2) ? b : 0);
    if (blinking) {
        // A blinking record drives only the lines it names.
        if ((selected & leds) == 0) return false;
        return sendLeds(selected, 1, 3, 1, step);
    }
    return sendLeds(a | b, selected, 0, 0, 0);
}

void GpioDevice::pulseActivity() {
    uint32_t value = productId_ == 307 ? 7 : 1;
    ioctl(Activity, &value);
}

void GpioDevice::setStatusLines(uint32_t mask, uint32_t pattern) {
    sendLeds(mask, pattern, 1, 0, 0);
}

int GpioDevice::statusCode() {
    int code = 2;
    if (isWifiProduct(productId_) && p_wifi->isOn()) code = p_wifi_mode->equals("infra") ? 4 : 1;
    if (productId_ == 305 || productId_ == 306 || productId_ == 307 || productId_ == 315) {
        setStatusLines(7, 0);
        if (!p_http_allowed->isOn() && !p_snmpv1->isOn() && p_zqn_sec->isOn() && p_sessKeys->isOn()) code = 5;
    }
    return code;
}

void GpioDevice::updateStatusLed() {
    uint32_t code = static_cast<uint32_t>(statusCode());
    uint32_t pattern = 21;
    if (p_ip_addr->hasValue() && !p_ip_addr->isLinkLocal4()) pattern = 5;
    sendLeds(code, pattern, 1023, 1, 250);
}

void GpioDevice::setWlanLed(int mode) {
    switch (mode) {
    case 0:
        sendLeds(8, 0, 1, 0, 0);
        break;
    case 3:
        sendLeds(8, 1, 1, 0, 0);
        break;
    case 1:
        sendLeds(8, 0xCC, 0xFF, 1, 0);
        break;
    case 2:
        sendLeds(8, 0x33333333, 0xFFFFFFFF, 1, 0);
        break;
    case 4:
        sendLeds(8, 0xAA, 0xFF, 1, 0);
        break;
    case 5:
        sendLeds(8, 0x80808080, 0xFFFFFFFF, 1, 0);
        break;
    case 6:
        sendLeds(8, 0x7F7F7F7F, 0xFFFFFFFF, 1, 0);
        break;
    default:
        break;
    }
}

void GpioDevice::setRelay(bool on) {
    // The relay closes while its line is switched off.
    if ((static_cast<uint32_t>(p_sw_features->value()) & 0x400000) != 0) switchLine(LineRelay, !on);
}

void GpioDevice::setFanLevel(char letter) {
    switch (letter) {
    case 'H':
        switchLine(LineFan1, false);
        switchLine(LineFan2, true);
        break;
    case 'L':
        switchLine(LineFan1, true);
        switchLine(LineFan2, false);
        break;
    default:
        switchLine(LineFan1, false);
        switchLine(LineFan2, false);
        break;
    }
    fanLevel_.store(letter);
}

bool GpioDevice::beep(int kind) {
    if (productId_ != 278 && productId_ != 295) return false;
    beepMs_.store(kind == 1 ? 400 : 100);
    beepCount_.store(kind == 2 ? 2 : 1);
    {
        std::lock_guard<std::mutex> guard(beepMutex_);
        beepThreads_++;
    }
    pthread_t thread;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    auto entry = [](void *self) -> void * {
        static_cast<GpioDevice *>(self)->beepJob();
        return nullptr;
    };
    int rc = pthread_create(&thread, &attr, entry, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        std::lock_guard<std::mutex> guard(beepMutex_);
        beepThreads_--;
        beepDone_.notify_all();
        return false;
    }
    return true;
}

void GpioDevice::beepJob() {
    // Product 278 sounds while line 31 is switched on, product 295 while line 29 is off.
    const int line = productId_ == 278 ? LineFan2 : LineRelay;
    const bool sounding = productId_ == 278;
    for (;;) {
        switchLine(line, sounding);
        usleep(static_cast<useconds_t>(beepMs_.load()) * 1000);
        switchLine(line, !sounding);
        if (beepCount_.fetch_sub(1) <= 1) break;
        usleep(250000);
    }
    std::lock_guard<std::mutex> guard(beepMutex_);
    beepThreads_--;
    beepDone_.notify_all();
}

void GpioDevice::waitBeeps() {
    std::unique_lock<std::mutex> lock(beepMutex_);
    beepDone_.wait(lock, [this] { return beepThreads_ == 0; });
}

int GpioDevice::fanControl(int mode) {
    if (productId_ != 295) return 0;
    if (mode == 1 || (mode == 0 && !p_fan_on->isOn())) {
        const bool on = mode == 1;
        fanOn.store(on);
        switchLine(LineFan1, !on); // switched on = fan off
        if (moniEnabled(MoniSta))
            mprintf(MoniSta, __FILE__, __LINE__, "Fan is switched %s (parameter fan_on:%s)",
                    on ? "on" : "off", p_fan_on->isOn() ? "on" : "off");
    }
    int inputs = readInputs();
    if (inputs < 0) return 0; // an unreadable input word says nothing about the fan
    if ((inputs & InputFan) != 0) {
        Display *disp = display();
        if (fanFailCount.load() > 2 && disp) disp->show('E', '7', Display::Remove | Display::FastBlink);
        fanFailCount.store(0);
        return 1;
    }
    if (!fanOn.load()) return 0;
    int count = fanFailCount.load();
    if (count <= 2) {
        fanFailCount.store(count + 1);
        return 0;
    }
    beep(2);
    if (count == 3) {
        const char *text = getmuText("ALARM: fan is not working!");
        GpioHooks &hooks = gpioHooks();
        if (hooks.notifyAddText) hooks.notifyAddText(0x20000000, text);
        if (auto post = ptableHooks().notifyPostEvent) post(0x20000000, -1);
        if (moniEnabled(MoniErr)) mprintf(MoniErr, __FILE__, __LINE__, "Heat control: %s", text);
        if (Display *disp = display()) disp->show('E', '7', Display::Add | Display::FastBlink);
        fanFailCount.store(4);
    }
    return 0;
}

void GpioDevice::powerOff() {
    std::printf("\n+++ GlobalReturnPOff +++\n");
    std::fflush(stdout);
    switchLine(LineFan2, true);
    switchLine(LineFan2, false);
}

GpioDevice &gpioDevice() {
    static GpioDevice device;
    return device;
}
