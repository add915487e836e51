// The "GPio" task: the board's start-up light sequence, the buttons (a long press
// resets the parameters and restarts, a short one starts the Wi-Fi push-button set-up)
// and switching the ports on in groups; and the hooks through which other subsystems
// reach the board.
#include "core/gpio.h"
#include "core/sysinfo.h"

#include "core/monilog.h"
#include "core/platform.h"
#include "core/ptable.h"
#include "core/ptable_hooks.h"
#include "core/sysroot.h"
#include "param_catalogue.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/epoll.h>
#include <unistd.h>

using namespace gpio_abi;

namespace {

// The device the installed hooks act on.
std::atomic<GpioDevice *> hookDevice{nullptr};

GpioDevice *hooked() {
    return hookDevice.load(std::memory_order_acquire);
}

// Waits on the calling task; false (and a note) outside a task.
Task *taskContext(const char *what) {
    Task *task = Task::current();
    if (task == nullptr) std::printf("%s ERROR no Task context?! STOP\n", what);
    return task;
}

} // namespace

GpioHooks &gpioHooks() {
    static GpioHooks hooks{nullptr, nullptr, nullptr, nullptr, startShutDown};
    return hooks;
}

void installGpioHooks(GpioDevice &device) {
    hookDevice.store(&device, std::memory_order_release);
    PtableHooks &p = ptableHooks();
    p.setPortPower = [](int port, bool on) {
        if (GpioDevice *d = hooked()) d->setPortPower(port, on);
    };
    p.setPortLed = [](int port, int colour, int blinkHz) {
        if (GpioDevice *d = hooked()) d->setPortLed(port, colour, blinkHz);
    };
    p.setRelay = [](bool on) {
        if (GpioDevice *d = hooked()) d->setRelay(on);
    };
    p.fanControl = [](int mode) {
        if (GpioDevice *d = hooked()) d->fanControl(mode);
    };
    p.updateStatusLed = [] {
        if (GpioDevice *d = hooked()) d->updateStatusLed();
    };
    p.displayPresent = [] {
        GpioDevice *d = hooked();
        return d != nullptr && d->display() != nullptr;
    };
    p.displayShow = [](char first, char second, uint32_t flags) {
        GpioDevice *d = hooked();
        return d && d->display() ? d->display()->show(first, second, flags) : 1;
    };
    p.displayPowerFaultState = []() -> uint32_t {
        GpioDevice *d = hooked();
        if (d == nullptr || d->display() == nullptr) return 0;
        uint32_t good = d->display()->stateWord() & 3;
        return good == 3 ? 0 : good;
    };

    MoniLogHooks &m = moniLogHooks();
    m.boardInputBits = []() -> uint32_t {
        GpioDevice *d = hooked();
        int bits = d ? d->readInputs() : -1;
        return bits < 0 ? 0 : static_cast<uint32_t>(bits);
    };
    m.fanFailCount = [] {
        GpioDevice *d = hooked();
        return d ? d->fanFailCount.load() : 0;
    };

    shutdownDisplayHook = [] {
        GpioDevice *d = hooked();
        if (d && d->display()) d->display()->show('R', 'S', Display::Lock | Display::SlowBlink);
    };
}

void releaseGpioHooks(GpioDevice &device) {
    GpioDevice *expected = &device;
    hookDevice.compare_exchange_strong(expected, nullptr);
}

void GpioDevice::init() {
    Task *task = taskContext("init");
    if (task == nullptr || !isOpen()) return;

    if ((static_cast<uint32_t>(p_sw_features->value()) & 0x40000) != 0 && !displayOwner_) {
        displayOwner_ = std::make_unique<Display>(*this);
        display_.store(displayOwner_.get(), std::memory_order_release);
    }
    Display *disp = display();

    if (productId_ != 295) {
        LedRecord info{};
        uint32_t capability = 0;
        if (ioctl(GetLedInfo, &info) != 0 || ioctl(GetCapability, &capability) != 0) return;
        ledMask.store(info.lineMask);
        capabilityWord.store(capability);
    }

    // A cold start (start-up's warm-start count 0) beeps once on product 295.
    auto warmStarts = moniLogHooks().warmStarts;
    if (productId_ == 295 && warmStarts && warmStarts() == 0) beep(0);

    const int n = portCount_;
    const int half = n / 2;
    const int even = n & ~1;
    for (int round = 0; round < 10; round++) {
        if (disp) disp->startStep(round);
        task->wait(10);
    }
    // From the middle outwards.
    for (int e = half; e >= 1; e--) {
        setPortLed(e - 1, 1, 0);
        setPortLed(even - e, 1, 0);
        if (disp) disp->startStep(half + 10 - e);
        task->wait(10);
    }
    switch (productId_) {
    case 1000:
    case 1001:
    case 287:
    case 296:
    case 303:
    case 304:
    case 305:
    case 306:
    case 307:
    case 315:
    case 317:
        setStatusLines(7, 1);
        task->wait(100);
        for (int port = n - 1; port >= 0; port--)
            setPortLed(port, 2, 0);
        break;
    default:
        for (int round = 0; round < 15; round++) {
            if (disp) disp->startStep(half + 10 + round);
            task->wait(10);
        }
        break;
    }
    if (disp) disp->startStep(-1);
    task->wait(200);
    for (int e = half; e >= 1; e--) {
        setPortLed(e - 1, 0, 0);
        setPortLed(even - e, 0, 0);
        task->wait(10);
    }
    if (productId_ == 307) setStatusLines(7, 0);
    if (disp) {
        const std::string def = p_disp_def->getText();
        disp->show(def.size() > 0 ? def[0] : ' ', def.size() > 1 ? def[1] : ' ', 0);
    }

    // Buttons: the button driver tells which button devices exist and takes the
    // press times.
    int buttonFd = platform().open(sysPath("/dev/button").c_str(), O_RDWR | O_CLOEXEC);
    if (buttonFd < 0) buttonFd = platform().open(sysPath("/dev/button0").c_str(), O_RDWR | O_CLOEXEC);
    if (buttonFd > 0) {
        ButtonRecord record{0xFFFFFFFFu, 0, 0, 0, 0};
        if (platform().ioctl(buttonFd, ButtonGetInfo, &record) == 0) buttonMask.store(record.buttonMask);
        record.shortPressMs = 5000;
        record.longPressMs = 5050;
        platform().ioctl(buttonFd, ButtonSetInfo, &record);
        platform().close(buttonFd);
    } else {
        if (buttonFd == 0) platform().close(buttonFd);
        buttonMask.store(0xFFFFFFFFu);
    }

    if ((static_cast<uint32_t>(p_sw_features->value()) & 0x400000) != 0 && p_relay_ctrl->equals("fix"))
        setRelay(p_relay_on->isOn());

    std::printf("no A3700_BOARDS Reset USB HUBs\n");
    std::fflush(stdout);

    initialised.store(1);
    fanControl(p_fan_on->isOn() ? 1 : 0);

    auto running = gpioHooks().wiredRunning;
    if (disp && running && !running()) {
        disp->show('E', '5', Display::Add | Display::SlowBlink);
        while (!running()) {
            disp->refresh();
            task->wait(100);
        }
        disp->show('E', '5', Display::Remove);
    }
}

void GpioDevice::portsOn() {
    Task *task = taskContext("portsOn");
    if (task == nullptr) return;
    const int n = portCount_;
    const int group = productId_ == 294 ? 4 : (productId_ == 295 ? 5 : n);
    if (group <= 0) return;
    for (int i = 0; i < group; i++) {
        for (int port = i; port < n; port += group) {
            auto *setting = dynamic_cast<P3List *>(ptable().find("zqn_ppwr_", 9, port + 1));
            // Without port power switching there is no setting: the port stays powered.
            const bool on = setting == nullptr || setting->equals("on");
            setPortPower(port, on);
            if (setting != nullptr && setting->equals("fail")) setPortLed(port, 2, 2);
        }
        task->wait(50);
    }
}

// The hooks are installed by the thread that makes the task, before the task's own
// thread runs: other tasks read them from then on without a lock.
GPio::GPio(GpioDevice &dev) : Task("GPio"), device(dev) {
    for (EpollRecord &r : buttonRecords)
        r = EpollRecord{};
    installGpioHooks(device);
}

GPio::~GPio() {
    for (int i = 0; i < 4; i++) {
        if (buttonFds[i] < 0) continue;
        epollDel(buttonFds[i]);
        platform().close(buttonFds[i]);
        buttonFds[i] = -1;
        buttonRecords[i] = EpollRecord{};
    }
}

uint32_t GPio::onMessage(const TaskMsg &msg) {
    if ((msg.flags & MsgPortsOn) != 0) portsOnRequested.store(true);
    return msg.flags;
}

void GPio::run() {
    device.init();
    device.updateStatusLed();
    const uint32_t mask = device.buttonMask.load();
    if (mask == 0) return;
    for (int i = 0; i < 4; i++) {
        if ((mask & (1u << i)) == 0) continue;
        std::string path = sysPath("/dev/button") + std::to_string(i);
        int fd = platform().open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        buttonFds[i] = fd;
        buttonRecords[i] = EpollRecord{this, &GPio::onButton, fd};
        if (epollAdd(&buttonRecords[i], EPOLLIN) != 0) {
            platform().close(fd);
            buttonFds[i] = -1;
            buttonRecords[i] = EpollRecord{};
        }
    }
    for (;;) {
        epollWait(6000);
        if (portsOnRequested.exchange(false)) device.portsOn();
    }
}

int GPio::onButton(EpollRecord *record, uint32_t events) {
    (void)events;
    if (record == nullptr || record->owner == nullptr) return 0;
    auto *self = static_cast<GPio *>(record->owner);
    char bytes[32];
    ssize_t n = platform().read(record->descriptor, bytes, sizeof bytes);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    if (n <= 0) {
        // The button device went away: stop watching it (it is closed with the task).
        return -1;
    }
    int index = 4;
    for (int i = 0; i < 4; i++)
        if (self->buttonFds[i] == record->descriptor) index = i;
    self->handleButtonBytes(index, bytes, static_cast<size_t>(n));
    return 0;
}

void GPio::handleButtonBytes(int index, const char *bytes, size_t length) {
    bool pressed = false, released = false;
    size_t examined = 0;
    for (; examined < length && bytes[examined] != '\0'; examined++) {
        if (bytes[examined] == '0') {
            released = true;
            if (index >= 0 && index < 4) device.releaseCount[index]++;
        } else if (bytes[examined] == '1') {
            pressed = true;
            if (index >= 0 && index < 4) device.pressCount[index]++;
        }
    }
    int64_t count = static_cast<int64_t>(p_button_cnt->value()) + static_cast<int64_t>(examined);
    p_button_cnt->set(count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count));

    const unsigned product = device.productId();
    GpioHooks &hooks = gpioHooks();
    if (pressed) {
        // Reset to the defaults and restart.
        device.beep(0);
        for (int port = 0; port < 32; port++)
            device.setPortLed(port, 2, 6);
        // The stop task is made and started in one go after the reset (which may take
        // a while to reach the disk): a stop that runs meanwhile would delete a task
        // that was made but not yet started.
        ptable().reset();
        if (product != 278 && hooks.setShutdownType) hooks.setShutdownType(2);
        if (hooks.startShutDown) hooks.startShutDown(1);
    } else if (released && isWifiProduct(product) && p_wifi->isOn() && p_wifi_mode->equals("softap")) {
        if (hooks.startWps) hooks.startWps();
    }
}
