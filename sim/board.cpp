// The simulated board driver behind "/dev/gpio" and the button devices.
#include "sim/board.h"

#include "core/sysroot.h"
#include "sim/control.h"
#include "sim/devfile.h"
#include "sim/standins.h"
#include "sim/usb.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <set>
#include <sys/eventfd.h>
#include <unistd.h>

using namespace gpio_abi;

namespace sim::board {
namespace {

constexpr int LedGroups = 4;
constexpr size_t RequestLogSize = 1024;
// The board's LEDs unless set otherwise: status lines 0-2, the Wi-Fi LED (3) and two
// colours for eight ports (8-15, 16-23).
constexpr uint32_t DefaultLedMask = 0x00FFFF0F;

class ButtonFile;

int64_t realTicks() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 100 + ts.tv_nsec / 10000000;
}

struct Board {
    uint32_t lines = 0;
    Led leds[LedGroups][32];
    DisplayRecord display{};
    uint32_t powerFail = 0;
    bool fanBroken = false;
    // The counter reads real time plus this offset: a board counts from its power-up,
    // when it is installed with the daemon (or first used without that).
    int64_t tickOffset = -realTicks();
    uint32_t ledMask = DefaultLedMask;
    uint32_t capability = 0;
    uint32_t buttonMask = 1;
    ButtonRecord buttonSettings{};
    int activity = 0;
    std::map<unsigned long, int> gpioFailures;
    std::map<unsigned long, int> buttonFailures;
    std::deque<Request> log;
    std::set<ButtonFile *> buttons;
};

std::mutex lock;
Board &board() {
    static Board b;
    return b;
}

unsigned recordSize(unsigned long request) {
    return static_cast<unsigned>((request >> 16) & 0x3fff);
}

void logRequest(Board &b, unsigned long request, const void *arg) {
    Request r;
    r.request = request;
    unsigned size = recordSize(request);
    if (size > sizeof r.words) size = sizeof r.words;
    std::memcpy(r.words, arg, size);
    r.wordCount = size / 4;
    b.log.push_back(r);
    while (b.log.size() > RequestLogSize)
        b.log.pop_front();
}

void setLeds(Board &b, int group, uint32_t mask, bool blink, uint32_t stepMs, uint32_t litBits, bool allLit,
             bool useAll) {
    for (int i = 0; i < 32; i++) {
        if ((mask & (1u << i)) == 0) continue;
        Led &led = b.leds[group][i];
        if (blink) {
            led.mode = LedBlink;
            led.stepMs = stepMs;
        } else {
            bool lit = useAll ? allLit : (litBits & (1u << i)) != 0;
            led.mode = lit ? LedOn : LedOff;
            led.stepMs = 0;
        }
    }
}

void applyLedRecord(Board &b, const LedRecord &r) {
    // Steady: with a pattern mask every line follows pattern bit 0, without one each
    // line its own pattern bit.
    setLeds(b, 0, r.lineMask, r.blink != 0, r.stepMs, r.pattern, (r.pattern & 1) != 0, r.patternMask != 0);
    for (int i = 0; i < 32; i++) {
        if ((r.lineMask & (1u << i)) == 0) continue;
        Led &led = b.leds[0][i];
        led.pattern = r.blink != 0 ? r.pattern : 0;
        led.patternMask = r.blink != 0 ? r.patternMask : 0;
    }
}

void applyWideRecord(Board &b, const WideLedRecord &r) {
    for (int g = 0; g < 3; g++) {
        // The LED bar (group 2) lights while its colour bit is clear.
        uint32_t lit = g == 2 ? ~r.colour[g] : r.colour[g];
        setLeds(b, g + 1, r.mask[g], r.blink != 0, r.stepMs, lit, false, false);
    }
}

uint32_t inputBits(const Board &b) {
    // The fan of product 295 runs while line 30 is switched off.
    bool fanRunning = !b.fanBroken && (b.lines & (1u << LineFan1)) == 0;
    return b.powerFail | (fanRunning ? InputFan : 0);
}

int failWith(int error) {
    errno = error;
    return -1;
}

class GpioFile : public DeviceFile {
public:
    explicit GpioFile(int fd) : fd_(fd) {}
    ~GpioFile() override { ::close(fd_); }

    // A USB port's power line (bit = port index: line 0 powers port 1, as the daemon
    // switches "zqn_ppwr_<n>" on line n - 1) switched off unplugs the devices of that
    // port in the USB stand-in, switched on plugs them again. Every line a request
    // names counts, changed or not: the ports are powered until the first request, so
    // an "off" for a line that reads off still takes the port's devices away.
    int ioctl(unsigned long request, void *arg) override {
        int rc = handle(request, arg);
        if (rc == 0 && (request == LinesOn || request == LinesOff)) {
            uint32_t named = *static_cast<uint32_t *>(arg) & UsbPortLineMask;
            for (int line = 0; named != 0 && line < 29; line++)
                if (named & (1u << line)) usbPortPower(line + 1, request == LinesOn);
        }
        return rc;
    }

private:
    // Lines 0-28 carry the power of USB ports 1-29; 29-31 are relay, beeper, fans.
    static constexpr uint32_t UsbPortLineMask = 0x1fffffff;

    int handle(unsigned long request, void *arg) {
        std::lock_guard<std::mutex> guard(lock);
        Board &b = board();
        auto failure = b.gpioFailures.find(request);
        if (failure != b.gpioFailures.end()) return failWith(failure->second);
        if (arg == nullptr) return failWith(EFAULT);
        switch (request) {
        case LinesOn:
            b.lines |= *static_cast<uint32_t *>(arg);
            break;
        case LinesOff:
            b.lines &= ~*static_cast<uint32_t *>(arg);
            break;
        case SetLeds:
            applyLedRecord(b, *static_cast<LedRecord *>(arg));
            break;
        case SetLedsWide:
            applyWideRecord(b, *static_cast<WideLedRecord *>(arg));
            break;
        case SetDisplay:
            b.display = *static_cast<DisplayRecord *>(arg);
            break;
        case Activity:
            b.activity++;
            break;
        case GetLedInfo: {
            LedRecord info{b.ledMask, 0, 0, 0, 0};
            std::memcpy(arg, &info, sizeof info);
            break;
        }
        case GetCapability:
            *static_cast<uint32_t *>(arg) = b.capability;
            break;
        case GetInputs:
            *static_cast<uint32_t *>(arg) = inputBits(b);
            break;
        case GetTicks:
            *static_cast<int64_t *>(arg) = realTicks() + b.tickOffset;
            return 0; // read many times a second: kept out of the log
        default:
            return failWith(ENOTTY);
        }
        logRequest(b, request, arg);
        return 0;
    }

public:
    ssize_t read(void *, size_t) override {
        errno = EINVAL;
        return -1;
    }

private:
    int fd_;
};

// One open button device: a pipe whose read end the daemon holds; events are written
// into its other end. index -1 is the button driver's control device "/dev/button".
class ButtonFile : public DeviceFile {
public:
    ButtonFile(int index, int readFd, int writeFd) : index_(index), readFd_(readFd), writeFd_(writeFd) {}
    ~ButtonFile() override {
        {
            std::lock_guard<std::mutex> guard(lock);
            board().buttons.erase(this);
        }
        ::close(readFd_);
        ::close(writeFd_);
    }

    int ioctl(unsigned long request, void *arg) override {
        std::lock_guard<std::mutex> guard(lock);
        Board &b = board();
        auto failure = b.buttonFailures.find(request);
        if (failure != b.buttonFailures.end()) return failWith(failure->second);
        if (arg == nullptr) return failWith(EFAULT);
        if (request == ButtonGetInfo) {
            ButtonRecord record = b.buttonSettings;
            record.buttonMask = b.buttonMask;
            std::memcpy(arg, &record, sizeof record);
        } else if (request == ButtonSetInfo) {
            std::memcpy(&b.buttonSettings, arg, sizeof b.buttonSettings);
        } else {
            return failWith(ENOTTY);
        }
        logRequest(b, request, arg);
        return 0;
    }
    ssize_t read(void *buf, size_t n) override { return ::read(readFd_, buf, n); }

    int index() const { return index_; }
    bool deliver(const std::string &bytes) {
        return ::write(writeFd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

private:
    int index_;
    int readFd_;
    int writeFd_;
};

std::unique_ptr<DeviceFile> openGpio(const std::string &, int, int &fd) {
    fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return nullptr;
    return std::make_unique<GpioFile>(fd);
}

DeviceOpener buttonOpener(int index) {
    return [index](const std::string &, int flags, int &fd) -> std::unique_ptr<DeviceFile> {
        {
            std::lock_guard<std::mutex> guard(lock);
            uint32_t mask = board().buttonMask;
            // The control device exists with any button; a button device with its bit.
            bool present = index < 0 ? mask != 0 : (mask & (1u << index)) != 0;
            if (!present) {
                errno = ENOENT;
                return nullptr;
            }
        }
        int ends[2];
        if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
        (void)flags;
        auto file = std::make_unique<ButtonFile>(index, ends[0], ends[1]);
        {
            std::lock_guard<std::mutex> guard(lock);
            board().buttons.insert(file.get());
        }
        fd = ends[0];
        return file;
    };
}

std::vector<std::string> servedPaths() {
    std::vector<std::string> paths{sysPath("/dev/gpio"), sysPath("/dev/button")};
    for (int i = 0; i < 4; i++)
        paths.push_back(sysPath("/dev/button") + std::to_string(i));
    return paths;
}

// Request names the commands accept beside numbers.
const std::map<std::string, unsigned long> &requestNames() {
    static const std::map<std::string, unsigned long> names{
        {"on", LinesOn},
        {"off", LinesOff},
        {"leds", SetLeds},
        {"leds-wide", SetLedsWide},
        {"led-info", GetLedInfo},
        {"capability", GetCapability},
        {"inputs", GetInputs},
        {"ticks", GetTicks},
        {"activity", Activity},
        {"display", SetDisplay},
        {"button-get", ButtonGetInfo},
        {"button-set", ButtonSetInfo},
    };
    return names;
}

bool parseNumber(const std::string &text, long long &value) {
    if (text.empty() || text.size() > 24) return false;
    errno = 0;
    char *end = nullptr;
    value = std::strtoll(text.c_str(), &end, 0);
    return errno == 0 && end != nullptr && *end == '\0';
}

bool parseRequest(const std::string &text, unsigned long &request) {
    auto it = requestNames().find(text);
    if (it != requestNames().end()) {
        request = it->second;
        return true;
    }
    long long value;
    if (!parseNumber(text, value) || value < 0 || value > 0xFFFFFFFFLL) return false;
    request = static_cast<unsigned long>(value);
    return true;
}

bool parseIndex(const std::string &text, int low, int high, int &out) {
    long long v;
    if (!parseNumber(text, v) || v < low || v > high) return false;
    out = static_cast<int>(v);
    return true;
}

const char *modeText(const Led &led) {
    return led.mode == LedOn ? "on" : (led.mode == LedBlink ? "blink" : "off");
}

std::string cmdBoard(const std::vector<std::string> &, std::string &out) {
    describe(out);
    return "";
}

std::string cmdButton(const std::vector<std::string> &args, std::string &out) {
    // button press|long N  |  button bytes N TEXT
    int index;
    if (args.size() < 3 || !parseIndex(args[2], 0, 3, index))
        return "usage: button press|long N | button bytes N TEXT";
    std::string bytes;
    if (args[1] == "press")
        bytes = "0";
    else if (args[1] == "long")
        bytes = "1";
    else if (args[1] == "bytes" && args.size() == 4 && !args[3].empty() && args[3].size() <= 64)
        bytes = args[3];
    else
        return "usage: button press|long N | button bytes N TEXT";
    int reached = buttonEvent(index, bytes);
    if (reached == 0) return "button " + std::to_string(index) + " is not open";
    out += "delivered " + std::to_string(reached) + "\n";
    return "";
}

std::string cmdPowerInput(const std::vector<std::string> &args, std::string &) {
    int input;
    if (args.size() != 3 || !parseIndex(args[1], 1, 2, input) || (args[2] != "on" && args[2] != "off"))
        return "usage: power-input 1|2 on|off";
    setPowerInput(input, args[2] == "on");
    return "";
}

std::string cmdFan(const std::vector<std::string> &args, std::string &) {
    if (args.size() != 2 || (args[1] != "ok" && args[1] != "broken")) return "usage: fan ok|broken";
    setFanBroken(args[1] == "broken");
    return "";
}

std::string cmdTicks(const std::vector<std::string> &args, std::string &out) {
    long long n;
    if (args.size() == 3 && args[1] == "advance" && parseNumber(args[2], n) && n >= 0 && n <= (1LL << 40)) {
        advanceTicks(n);
        out += "ticks " + std::to_string(counter()) + "\n";
        return "";
    }
    if (args.size() == 1) {
        out += "ticks " + std::to_string(counter()) + "\n";
        return "";
    }
    return "usage: ticks [advance N]";
}

std::string cmdInject(const std::vector<std::string> &args, std::string &) {
    unsigned long request;
    long long error;
    if (args.size() != 4 || (args[1] != "gpio" && args[1] != "button") || !parseRequest(args[2], request) ||
        !parseNumber(args[3], error) || error < 0 || error > 4095)
        return "usage: inject gpio|button REQUEST ERRNO (REQUEST a number or a name, ERRNO 0 clears)";
    inject(args[1], request, static_cast<int>(error));
    return "";
}

std::string cmdSetup(const std::vector<std::string> &args, std::string &) {
    // board-setup leds MASK [CAPABILITY] | board-setup buttons MASK | board-setup reset
    long long a, c = 0;
    if (args.size() == 2 && args[1] == "reset") {
        reset();
        return "";
    }
    if (args.size() >= 3 && args[1] == "leds" && parseNumber(args[2], a) && a >= 0 && a <= 0xFFFFFFFFLL &&
        (args.size() == 3 || (args.size() == 4 && parseNumber(args[3], c) && c >= 0 && c <= 0xFFFFFFFFLL))) {
        setLedInfo(static_cast<uint32_t>(a), static_cast<uint32_t>(c));
        return "";
    }
    if (args.size() == 3 && args[1] == "buttons" && parseNumber(args[2], a) && a >= 0 && a <= 15) {
        setButtonMask(static_cast<uint32_t>(a));
        return "";
    }
    return "usage: board-setup leds MASK [CAPABILITY] | board-setup buttons MASK | board-setup reset";
}

void addCommands() {
    static std::once_flag once;
    std::call_once(once, [] {
        addCommand("board", "board: the board's lines, LEDs, display, inputs and ticks", cmdBoard);
        addCommand("button", "button press|long N | button bytes N TEXT: events of button N (0-3)",
                   cmdButton);
        addCommand("power-input", "power-input 1|2 on|off: a power input good or failed", cmdPowerInput);
        addCommand("fan", "fan ok|broken: whether the fan turns when switched on", cmdFan);
        addCommand("ticks", "ticks [advance N]: the board's tick counter", cmdTicks);
        addCommand("inject", "inject gpio|button REQUEST ERRNO: fail a board request (ERRNO 0 clears)",
                   cmdInject);
        addCommand("board-setup", "board-setup leds MASK [CAP] | buttons MASK | reset: the board's make-up",
                   cmdSetup);
        addState([](std::string &out) { describe(out); });
    });
}

StandIn boardStandIn(
    "board",
    [] {
        install();
        return 0;
    },
    [] { uninstall(); });

} // namespace

void install() {
    {
        // The board powers up with the daemon: its counter starts at 0.
        std::lock_guard<std::mutex> guard(lock);
        board().tickOffset = -realTicks();
    }
    std::vector<std::string> paths = servedPaths();
    registerDevicePath(paths[0], openGpio);
    registerDevicePath(paths[1], buttonOpener(-1));
    for (int i = 0; i < 4; i++)
        registerDevicePath(paths[2 + i], buttonOpener(i));
    addCommands();
}

void uninstall() {
    for (const std::string &path : servedPaths())
        unregisterDevicePath(path);
}

void reset() {
    {
        std::lock_guard<std::mutex> guard(lock);
        Board &b = board();
        std::set<ButtonFile *> open = std::move(b.buttons);
        // The counter runs on: a daemon that reads it never sees it go back.
        int64_t tickOffset = b.tickOffset;
        b = Board{};
        b.buttons = std::move(open);
        b.tickOffset = tickOffset;
    }
    // A fresh board has not switched any port off yet: every USB port is powered.
    for (int port = 1; port <= 29; port++)
        usbPortPower(port, true);
}

Led led(int group, int line) {
    if (group < 0 || group >= LedGroups || line < 0 || line > 31) return Led{};
    std::lock_guard<std::mutex> guard(lock);
    return board().leds[group][line];
}

uint32_t lines() {
    std::lock_guard<std::mutex> guard(lock);
    return board().lines;
}

DisplayRecord display() {
    std::lock_guard<std::mutex> guard(lock);
    return board().display;
}

std::string displayText() {
    DisplayRecord r = display();
    std::string text;
    auto put = [&text](uint32_t c) {
        if (c >= 0x20 && c < 0x7f) text += static_cast<char>(c);
    };
    put(r.code >> 24);
    put((r.code >> 16) & 0xff);
    put((r.code >> 8) & 0xff);
    put(r.code & 0xff);
    return text;
}

uint32_t inputs() {
    std::lock_guard<std::mutex> guard(lock);
    return inputBits(board());
}

int activityPulses() {
    std::lock_guard<std::mutex> guard(lock);
    return board().activity;
}

void setLedInfo(uint32_t ledMask, uint32_t capability) {
    std::lock_guard<std::mutex> guard(lock);
    board().ledMask = ledMask;
    board().capability = capability;
}

void setButtonMask(uint32_t mask) {
    std::lock_guard<std::mutex> guard(lock);
    board().buttonMask = mask & 0xF;
}

ButtonRecord buttonSettings() {
    std::lock_guard<std::mutex> guard(lock);
    return board().buttonSettings;
}

bool setPowerInput(int input, bool good) {
    if (input != 1 && input != 2) return false;
    std::lock_guard<std::mutex> guard(lock);
    uint32_t bitOf = input == 1 ? InputPower1 : InputPower2;
    if (good)
        board().powerFail &= ~bitOf;
    else
        board().powerFail |= bitOf;
    return true;
}

void setFanBroken(bool broken) {
    std::lock_guard<std::mutex> guard(lock);
    board().fanBroken = broken;
}

void advanceTicks(int64_t ticks) {
    std::lock_guard<std::mutex> guard(lock);
    board().tickOffset += ticks;
}

int64_t counter() {
    std::lock_guard<std::mutex> guard(lock);
    return realTicks() + board().tickOffset;
}

void inject(const std::string &device, unsigned long request, int error) {
    std::lock_guard<std::mutex> guard(lock);
    auto &table = device == "button" ? board().buttonFailures : board().gpioFailures;
    if (error == 0)
        table.erase(request);
    else
        table[request] = error;
}

int buttonEvent(int index, const std::string &bytes) {
    std::lock_guard<std::mutex> guard(lock);
    int reached = 0;
    for (ButtonFile *file : board().buttons)
        if (file->index() == index && file->deliver(bytes)) reached++;
    return reached;
}

std::vector<Request> requests() {
    std::lock_guard<std::mutex> guard(lock);
    return {board().log.begin(), board().log.end()};
}

void clearRequests() {
    std::lock_guard<std::mutex> guard(lock);
    board().log.clear();
}

void describe(std::string &out) {
    std::lock_guard<std::mutex> guard(lock);
    const Board &b = board();
    char line[96];
    std::snprintf(line, sizeof line, "board_lines 0x%08x\n", b.lines);
    out += line;
    for (int g = 0; g < LedGroups; g++) {
        for (int i = 0; i < 32; i++) {
            const Led &led = b.leds[g][i];
            if (led.mode == LedOff) continue;
            if (led.mode == LedBlink) {
                std::snprintf(line, sizeof line, "board_led %d.%d blink %u\n", g, i, led.stepMs);
                if (g == 0) {
                    out += line;
                    std::snprintf(line, sizeof line, "board_led_pattern %d.%d 0x%x 0x%x\n", g, i, led.pattern,
                                  led.patternMask);
                }
            } else
                std::snprintf(line, sizeof line, "board_led %d.%d %s\n", g, i, modeText(led));
            out += line;
        }
    }
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        uint32_t c = (b.display.code >> shift) & 0xff;
        if (c >= 0x20 && c < 0x7f) text += static_cast<char>(c);
    }
    out += "board_display " + (text.empty() ? std::string("-") : text) +
           (b.display.blink ? " blink " + std::to_string(b.display.stepMs) : std::string()) + "\n";
    std::snprintf(line, sizeof line, "board_inputs 0x%x\n", inputBits(b));
    out += line;
    out += "board_ticks " + std::to_string(realTicks() + b.tickOffset) + "\n";
    std::snprintf(line, sizeof line, "board_buttons 0x%x press_ms %u %u\n", b.buttonMask,
                  b.buttonSettings.shortPressMs, b.buttonSettings.longPressMs);
    out += line;
    out += "board_activity " + std::to_string(b.activity) + "\n";
}

} // namespace sim::board
