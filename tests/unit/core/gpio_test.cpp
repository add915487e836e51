// The board device, the display and the "GPio" task against the simulated board.
#include "core/gpio.h"
#include "core/monilog.h"

#include "core/platform.h"
#include "core/ptable.h"
#include "core/ptable_hooks.h"
#include "core/ticks.h"
#include "param_catalogue.h"
#include "sim/board.h"
#include "sim/control.h"
#include "sim/devfile.h"
#include "sim/sim_platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace gpio_abi;
namespace board = sim::board;

namespace {

// Saves parameter values and puts them back.
class ParamRestore {
public:
    explicit ParamRestore(std::initializer_list<Param *> params) {
        for (Param *p : params) {
            char text[256] = {};
            p->toText(text, sizeof text, false);
            saved_.emplace_back(p, text);
        }
    }
    ~ParamRestore() {
        for (auto &[p, text] : saved_)
            p->setText(text.c_str(), -1);
    }

private:
    std::vector<std::pair<Param *, std::string>> saved_;
};

// Polls until the condition holds; false when it never did within a generous bound.
bool eventually(const std::function<bool()> &condition) {
    for (int i = 0; i < 2000; i++) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

std::vector<board::Request> requestsOf(unsigned long request) {
    std::vector<board::Request> out;
    for (const auto &r : board::requests())
        if (r.request == request) out.push_back(r);
    return out;
}

std::vector<uint32_t> words(const board::Request &r) {
    return {r.words, r.words + r.wordCount};
}

// The display's characters without their decimal points.
std::string shown() {
    std::string text = board::displayText();
    std::string out;
    for (char c : text)
        if (c != '.') out += c;
    return out;
}

// Runs a function on a task thread and waits until the task is gone.
class FnTask : public Task {
public:
    FnTask(std::function<void()> body, std::atomic<int> &ended)
        : Task("GpioTest"), body_(std::move(body)), ended_(ended) {}
    ~FnTask() override { ++ended_; }
    void run() override { body_(); }

private:
    std::function<void()> body_;
    std::atomic<int> &ended_;
};

void runInTask(std::function<void()> body) {
    std::atomic<int> ended{0};
    auto *task = new FnTask(std::move(body), ended);
    ASSERT_GT(task->start(0x8000), 0);
    ASSERT_TRUE(eventually([&] { return ended.load() == 1; }));
}

class BoardTest : public ::testing::Test {
protected:
    void SetUp() override {
        setPlatform(simPlatform());
        board::install();
        board::reset();
    }
    void TearDown() override {
        board::uninstall();
        board::reset();
        setPlatform(linuxPlatform());
    }
};

TEST_F(BoardTest, PortPowerAndLedsReadBack) {
    GpioDevice dev(305, 2);
    ASSERT_TRUE(dev.open());
    dev.ledMask = 0x00FFFF0F;

    EXPECT_TRUE(dev.setPortPower(1, true));
    EXPECT_EQ(board::lines(), 0x2u);
    EXPECT_TRUE(dev.setPortPower(0, true));
    EXPECT_TRUE(dev.setPortPower(1, false));
    EXPECT_EQ(board::lines(), 0x1u);
    board::clearRequests();
    EXPECT_FALSE(dev.setPortPower(-1, true));
    EXPECT_TRUE(board::requests().empty());

    EXPECT_TRUE(dev.setPortLed(0, 1, 0));
    EXPECT_EQ(board::led(0, 8).mode, board::LedOn);
    EXPECT_EQ(board::led(0, 16).mode, board::LedOff);
    EXPECT_TRUE(dev.setPortLed(1, 2, 4));
    EXPECT_EQ(board::led(0, 17).mode, board::LedBlink);
    EXPECT_EQ(board::led(0, 17).stepMs, 250u);
    EXPECT_TRUE(dev.setPortLed(0, 0, 0));
    EXPECT_EQ(board::led(0, 8).mode, board::LedOff);

    EXPECT_TRUE(dev.close());
    EXPECT_EQ(board::lines(), 0u) << "closing switches every port off";
    EXPECT_FALSE(dev.close());
}

TEST_F(BoardTest, PortLedRecordsByProduct) {
    struct Case {
        unsigned product;
        int port, colour, hz;
        uint32_t ledMask;
        std::vector<uint32_t> record; // empty: nothing sent
    };
    const Case cases[] = {
        {305, 2, 1, 0, 0x00FFFF00, {0x00040400, 0x400, 0, 0, 0}},
        {305, 2, 3, 2, 0x00FFFF00, {0x00040400, 1, 3, 1, 500}},
        {305, 31, 1, 0, 0xFFFFFFFF, {}}, // both masks fall outside the word
        {305, 3, 1, 0, 0x0000000F, {}},  // the board has no LED for the port
        {267, 1, 1, 0, 0xFFFFFFFF, {0x0A, 0x02, 0, 0, 0}},
        {267, 2, 2, 0, 0xFFFFFFFF, {0x30, 0x20, 0, 0, 0}},
        {267, 2, 2, 0, 0x00000010, {0x10, 0x00, 0, 0, 0}},
        {271, 0, 1, 0, 0xFFFFFFFF, {0x2, 0x2, 0, 0, 0}},
        {283, 1, 1, 0, 0xFFFFFFFF, {}},
        {317, 5, 2, 0, 0x5, {0x5, 0x1, 0, 0, 0}},
        {305, -1, 1, 0, 0xFFFFFFFF, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("product " + std::to_string(c.product) + " port " + std::to_string(c.port));
        GpioDevice dev(c.product, 8);
        ASSERT_TRUE(dev.open());
        dev.ledMask = c.ledMask;
        board::clearRequests();
        EXPECT_EQ(dev.setPortLed(c.port, c.colour, c.hz), !c.record.empty());
        auto sent = requestsOf(SetLeds);
        if (c.record.empty()) {
            EXPECT_TRUE(sent.empty());
        } else {
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(words(sent[0]), c.record);
        }
    }

    // Product 295's nine-word record.
    GpioDevice dev(295, 8);
    ASSERT_TRUE(dev.open());
    board::clearRequests();
    EXPECT_TRUE(dev.setPortLed(2, 1, 0));
    EXPECT_TRUE(dev.setPortLed(6, 2, 2));
    auto wide = requestsOf(SetLedsWide);
    ASSERT_EQ(wide.size(), 2u);
    EXPECT_EQ(words(wide[0]), (std::vector<uint32_t>{0x40400, 0, 0, 0x400, 0, 0, 0, 0, 0}));
    EXPECT_EQ(words(wide[1]), (std::vector<uint32_t>{0, 1u << 17, 0, 0, 0, 0, 1, 0x30001, 500}));
    EXPECT_EQ(board::led(1, 10).mode, board::LedOn);
    EXPECT_EQ(board::led(2, 17).mode, board::LedBlink);
}

TEST_F(BoardTest, ClosedDeviceSendsNothing) {
    GpioDevice dev(305, 2);
    uint32_t word = 1;
    EXPECT_EQ(dev.ioctl(LinesOn, &word), -1);
    EXPECT_FALSE(dev.setPortPower(0, true));
    EXPECT_FALSE(dev.setPortLed(0, 1, 0));
    EXPECT_EQ(dev.readInputs(), -1);
    EXPECT_EQ(dev.fanControl(1), 0);
    dev.updateStatusLed();
    dev.setWlanLed(3);
    EXPECT_TRUE(board::requests().empty());
    EXPECT_EQ(board::lines(), 0u);
}

TEST_F(BoardTest, InjectedFailuresReachTheCaller) {
    GpioDevice dev(305, 2);
    ASSERT_TRUE(dev.open());
    EXPECT_EQ(sim::execute("inject gpio on 5"), "OK\n");
    EXPECT_FALSE(dev.setPortPower(0, true));
    uint32_t word = 1;
    errno = 0;
    EXPECT_EQ(dev.ioctl(LinesOn, &word), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(board::lines(), 0u);
    EXPECT_EQ(sim::execute("inject gpio 0x40040AC2 0"), "OK\n");
    EXPECT_TRUE(dev.setPortPower(0, true));
    EXPECT_EQ(board::lines(), 1u);

    // A failed LED description read ends the start-up sequence at once: no lights, no
    // buttons.
    board::inject("gpio", GetLedInfo, EIO);
    board::clearRequests();
    runInTask([&] { dev.init(); });
    EXPECT_TRUE(requestsOf(SetLeds).empty());
    EXPECT_EQ(dev.buttonMask.load(), 0u);
    EXPECT_EQ(dev.initialised.load(), 0);
}

TEST_F(BoardTest, StartUpSequenceLightsPortsFromTheMiddleAndEndsDark) {
    ParamRestore restore{p_sw_features, p_fan_on};
    p_sw_features->set(0);
    board::setLedInfo(0x00FFFF07, 0x55);
    board::setButtonMask(0);
    GpioDevice dev(305, 4);
    ASSERT_TRUE(dev.open());
    runInTask([&] { dev.init(); });
    EXPECT_EQ(dev.initialised.load(), 1);
    EXPECT_EQ(dev.ledMask.load(), 0x00FFFF07u);
    EXPECT_EQ(dev.capabilityWord.load(), 0x55u);
    EXPECT_EQ(dev.buttonMask.load(), 0xFFFFFFFFu) << "no button driver: every button is tried";
    EXPECT_EQ(dev.display(), nullptr);

    std::vector<std::vector<uint32_t>> leds;
    for (const auto &r : requestsOf(SetLeds))
        leds.push_back(words(r));
    const std::vector<std::vector<uint32_t>> expected = {
        // First colour from the middle outwards: ports 1 and 2, then 0 and 3.
        {0x00020200, 0x200, 0, 0, 0},
        {0x00040400, 0x400, 0, 0, 0},
        {0x00010100, 0x100, 0, 0, 0},
        {0x00080800, 0x800, 0, 0, 0},
        // Status lines on, then the second colour from the last port down.
        {7, 1, 1, 0, 0},
        {0x00080800, 0x80000, 0, 0, 0},
        {0x00040400, 0x40000, 0, 0, 0},
        {0x00020200, 0x20000, 0, 0, 0},
        {0x00010100, 0x10000, 0, 0, 0},
        // Off again from the middle outwards.
        {0x00020200, 0, 0, 0, 0},
        {0x00040400, 0, 0, 0, 0},
        {0x00010100, 0, 0, 0, 0},
        {0x00080800, 0, 0, 0, 0},
    };
    EXPECT_EQ(leds, expected);
}

TEST_F(BoardTest, TickClockFollowsTheBoardAndNeverGoesBack) {
    GpioDevice dev(305, 2);
    int64_t before = sysTicks();
    ASSERT_TRUE(dev.open());
    int64_t opened = sysTicks();
    EXPECT_GE(opened, before);

    board::advanceTicks(1000000000);
    int64_t advanced = sysTicks();
    EXPECT_GE(advanced, opened + 1000000000);

    // A failing counter: the system clock from here on, continuing from where it stood.
    EXPECT_EQ(sim::execute("inject gpio ticks 5"), "OK\n");
    int64_t fallen = sysTicks();
    EXPECT_GE(fallen, advanced);
    board::inject("gpio", GetTicks, 0);
    board::advanceTicks(1000000000);
    int64_t later = sysTicks();
    EXPECT_GE(later, fallen);
    EXPECT_LT(later, fallen + 100000000) << "the board's counter is not used again";

    dev.close();
    EXPECT_GE(sysTicks(), later);
}

TEST_F(BoardTest, TicksReadBeforeOpenStayOnTheSystemClock) {
    GpioDevice dev(305, 2);
    dev.ticks();
    ASSERT_TRUE(dev.open());
    int64_t opened = sysTicks();
    board::advanceTicks(1000000000);
    int64_t after = sysTicks();
    EXPECT_GE(after, opened);
    EXPECT_LT(after, opened + 100000000);
}

TEST_F(BoardTest, DisplayCodesAddRemoveAndLock) {
    ParamRestore restore{p_disp_erVals};
    GpioDevice dev(295, 2);
    ASSERT_TRUE(dev.open());
    Display display(dev);

    EXPECT_EQ(display.show('E', '5', 0x24), 1);
    EXPECT_EQ(display.show('E', '5', 0x24), 1);
    EXPECT_EQ(display.activeCount(), 1);
    EXPECT_EQ(shown(), "E5");
    EXPECT_EQ(board::display().blink, 1u);
    EXPECT_EQ(board::display().stepMs, 200u);
    EXPECT_EQ(display.show('E', '1', 0x44), 1);
    EXPECT_EQ(p_disp_erVals->getText(), "E5, E1");
    EXPECT_EQ(board::display().stepMs, 50u);

    board::clearRequests();
    EXPECT_EQ(display.show('E', '5', 8), 1);
    EXPECT_EQ(display.show('E', '5', 8), 0) << "no such code any more";
    EXPECT_TRUE(requestsOf(SetDisplay).empty()) << "a removal shows nothing";
    EXPECT_EQ(display.activeCount(), 1);

    // Eight entries at most: a ninth code is refused.
    for (char c = 'A'; c < 'A' + 7; c++)
        EXPECT_EQ(display.show('X', c, 0x24), 1);
    EXPECT_EQ(display.activeCount(), 8);
    EXPECT_EQ(display.show('E', '9', 0x24), 0);

    // Decimal points: bit 0 after the first character, bit 1 after the second.
    display.show('D', 'S', 0x3);
    EXPECT_EQ(board::display().code, uint32_t('D') << 24 | uint32_t('.') << 16 | uint32_t('S') << 8 | '.');

    // Locked after "RS": every later show without the lock flag is ignored.
    EXPECT_EQ(display.show('R', 'S', 0x30), 1);
    EXPECT_EQ(shown(), "RS");
    EXPECT_EQ(display.show('D', 'S', 0), 1);
    EXPECT_EQ(display.show('E', '2', 0x24), 1);
    EXPECT_EQ(shown(), "RS");
    EXPECT_EQ(display.activeCount(), 8);

    // Other products have no display.
    GpioDevice other(305, 2);
    ASSERT_TRUE(other.open());
    Display none(other);
    board::clearRequests();
    EXPECT_EQ(none.show('E', '5', 8), 1);
    EXPECT_EQ(none.show('E', '5', 0x24), 1);
    none.refresh();
    EXPECT_TRUE(board::requests().empty());
}

TEST_F(BoardTest, DisplayRefreshCyclesCodesThenTheDefault) {
    ParamRestore restore{p_disp_erVals, p_disp_def, p_sw_features};
    p_disp_def->setText("DS", -1);
    p_sw_features->set(0);
    GpioDevice dev(295, 2);
    ASSERT_TRUE(dev.open());
    Display display(dev);
    display.show('E', '2', 0x24);
    display.show('E', '3', 0x24);
    display.show('E', '4', 0x24);

    std::vector<std::string> seen;
    for (int i = 0; i < 5; i++) {
        display.refresh();
        seen.push_back(shown());
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"E2", "E3", "E4", "DS", "E2"}));
    // Both power inputs good: both decimal points.
    EXPECT_EQ(display.stateWord() & 3, 3u);
    EXPECT_EQ(board::displayText(), "E.2.");

    // The code shown last goes (a removal sends nothing): the next refresh shows the
    // default instead of leaving the removed code on the display.
    display.show('E', '3', 0x8);
    display.show('E', '4', 0x8);
    display.show('E', '2', 0x8);
    EXPECT_EQ(shown(), "E2");
    display.refresh();
    EXPECT_EQ(shown(), "DS");
}

TEST_F(BoardTest, PowerInputFailureShowsE1AndNotifies) {
    ParamRestore restore{p_disp_erVals, p_disp_pwr, p_sw_features};
    p_disp_pwr->setText("on", -1);
    p_sw_features->set(0);
    static std::vector<std::pair<uint32_t, int>> events;
    events.clear();
    PtableHooks saved = ptableHooks();
    ptableHooks().notifyAddEvent = [](uint32_t bits, int value) {
        events.emplace_back(bits, value);
        return 1;
    };
    GpioDevice dev(295, 2);
    ASSERT_TRUE(dev.open());
    Display display(dev);
    display.refresh();
    EXPECT_EQ(display.activeCount(), 0);

    EXPECT_EQ(sim::execute("power-input 1 off"), "OK\n");
    display.refresh();
    EXPECT_EQ(display.stateWord() & 3, 2u);
    EXPECT_EQ(display.activeCount(), 1);
    EXPECT_EQ(p_disp_erVals->getText(), "E1");

    board::setPowerInput(1, true);
    display.refresh();
    EXPECT_EQ(display.activeCount(), 0);
    ptableHooks() = saved;
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1], std::make_pair(0x200000u, 2));
    EXPECT_EQ(events[2], std::make_pair(0x200000u, 3));
}

TEST_F(BoardTest, FanAlarmAfterThreeFailedChecks) {
    ParamRestore restore{p_fan_on};
    p_fan_on->setText("off", -1);
    static std::vector<std::string> alarms;
    alarms.clear();
    GpioHooks saved = gpioHooks();
    gpioHooks().notifyAddText = [](uint32_t bits, const char *text) {
        alarms.push_back(std::to_string(bits) + " " + text);
        return 1;
    };
    GpioDevice dev(295, 2);
    ASSERT_TRUE(dev.open());

    // Off: line 30 switched on, nothing counted.
    EXPECT_EQ(dev.fanControl(0), 0);
    EXPECT_EQ(board::lines() & (1u << 30), 1u << 30);
    EXPECT_EQ(dev.fanFailCount.load(), 0);
    // On and turning.
    EXPECT_EQ(dev.fanControl(1), 1);
    EXPECT_EQ(board::lines() & (1u << 30), 0u);

    board::setFanBroken(true);
    for (int i = 1; i <= 3; i++) {
        EXPECT_EQ(dev.fanControl(2), 0);
        EXPECT_EQ(dev.fanFailCount.load(), i);
    }
    EXPECT_TRUE(alarms.empty());
    dev.fanControl(2);
    EXPECT_EQ(dev.fanFailCount.load(), 4);
    dev.fanControl(2);
    EXPECT_EQ(dev.fanFailCount.load(), 4);
    ASSERT_EQ(alarms.size(), 1u) << "one alarm per failure";
    EXPECT_EQ(alarms[0], std::to_string(0x20000000) + " ALARM: fan is not working!");

    board::setFanBroken(false);
    EXPECT_EQ(dev.fanControl(2), 1);
    EXPECT_EQ(dev.fanFailCount.load(), 0);
    dev.waitBeeps();
    gpioHooks() = saved;

    // No fan check on other products.
    GpioDevice other(305, 2);
    ASSERT_TRUE(other.open());
    board::clearRequests();
    EXPECT_EQ(other.fanControl(1), 0);
    EXPECT_TRUE(board::requests().empty());
}

TEST_F(BoardTest, BeepsSwitchTheBeeperLine) {
    GpioDevice p278(278, 2);
    ASSERT_TRUE(p278.open());
    board::clearRequests();
    ASSERT_TRUE(p278.beep(2));
    p278.waitBeeps();
    std::vector<std::pair<unsigned long, uint32_t>> seen;
    for (const auto &r : board::requests())
        seen.emplace_back(r.request, r.words[0]);
    const uint32_t l31 = 1u << 31;
    EXPECT_EQ(seen, (std::vector<std::pair<unsigned long, uint32_t>>{
                        {LinesOn, l31}, {LinesOff, l31}, {LinesOn, l31}, {LinesOff, l31}}));

    // Product 295 sounds while line 29 is switched off.
    GpioDevice p295(295, 2);
    ASSERT_TRUE(p295.open());
    board::clearRequests();
    ASSERT_TRUE(p295.beep(1));
    p295.waitBeeps();
    auto log = board::requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].request, LinesOff);
    EXPECT_EQ(log[1].request, LinesOn);
    EXPECT_EQ(log[0].words[0], 1u << 29);

    GpioDevice silent(305, 2);
    ASSERT_TRUE(silent.open());
    EXPECT_FALSE(silent.beep(0));
}

TEST_F(BoardTest, StatusAndWlanLeds) {
    ParamRestore restore{p_ip_addr, p_http_allowed, p_snmpv1, p_zqn_sec, p_sessKeys, p_wifi, p_wifi_mode};
    GpioDevice dev(305, 2);
    ASSERT_TRUE(dev.open());

    p_ip_addr->setText("192.0.2.7", -1);
    board::clearRequests();
    dev.updateStatusLed();
    auto sent = requestsOf(SetLeds);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(words(sent[0]), (std::vector<uint32_t>{7, 0, 1, 0, 0})) << "status lines off on 305";
    EXPECT_EQ(words(sent[1]), (std::vector<uint32_t>{2, 5, 1023, 1, 250}));

    p_ip_addr->setText("169.254.3.4", -1);
    p_http_allowed->setText("off", -1);
    p_snmpv1->setText("off", -1);
    p_zqn_sec->setText("on", -1);
    p_sessKeys->setText("on", -1);
    board::clearRequests();
    dev.updateStatusLed();
    sent = requestsOf(SetLeds);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(words(sent[1]), (std::vector<uint32_t>{5, 21, 1023, 1, 250}));

    GpioDevice wifi(283, 1);
    ASSERT_TRUE(wifi.open());
    EXPECT_EQ(wifi.statusCode(), 2);
    p_wifi->setText("on", -1);
    p_wifi_mode->setText("infra", -1);
    EXPECT_EQ(wifi.statusCode(), 4);
    p_wifi_mode->setText("softap", -1);
    EXPECT_EQ(wifi.statusCode(), 1);

    struct Mode {
        int mode;
        std::vector<uint32_t> record;
    };
    const Mode modes[] = {
        {0, {8, 0, 1, 0, 0}},
        {3, {8, 1, 1, 0, 0}},
        {1, {8, 0xCC, 0xFF, 1, 0}},
        {2, {8, 0x33333333, 0xFFFFFFFF, 1, 0}},
        {6, {8, 0x7F7F7F7F, 0xFFFFFFFF, 1, 0}},
        {7, {}},
    };
    for (const Mode &m : modes) {
        board::clearRequests();
        dev.setWlanLed(m.mode);
        sent = requestsOf(SetLeds);
        if (m.record.empty()) {
            EXPECT_TRUE(sent.empty()) << m.mode;
        } else {
            ASSERT_EQ(sent.size(), 1u) << m.mode;
            EXPECT_EQ(words(sent[0]), m.record) << m.mode;
        }
    }
    dev.setWlanLed(3);
    EXPECT_EQ(board::led(0, 3).mode, board::LedOn);
    dev.setWlanLed(0);
    EXPECT_EQ(board::led(0, 3).mode, board::LedOff);
}

TEST_F(BoardTest, RelayFansAndActivity) {
    ParamRestore restore{p_sw_features};
    GpioDevice dev(307, 2);
    ASSERT_TRUE(dev.open());

    p_sw_features->set(0);
    dev.setRelay(true);
    EXPECT_TRUE(board::requests().empty()) << "no relay on this product";
    p_sw_features->set(0x400000);
    dev.setRelay(false);
    EXPECT_EQ(board::lines(), 1u << 29);
    dev.setRelay(true);
    EXPECT_EQ(board::lines(), 0u);

    dev.setFanLevel('H');
    EXPECT_EQ(board::lines(), 1u << 31);
    dev.setFanLevel('L');
    EXPECT_EQ(board::lines(), 1u << 30);
    dev.setFanLevel('?');
    EXPECT_EQ(board::lines(), 0u);
    EXPECT_EQ(dev.fanLevel(), '?');

    board::clearRequests();
    dev.pulseActivity();
    auto pulses = requestsOf(Activity);
    ASSERT_EQ(pulses.size(), 1u);
    EXPECT_EQ(pulses[0].words[0], 7u);
}

// A stop task that only records that it ran.
std::atomic<int> stopsStarted{0};
class FakeStop : public Task {
public:
    FakeStop() : Task("FakeStop") {}
    void run() override { ++stopsStarted; }
};

class ButtonTest : public BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        dir_ = std::filesystem::temp_directory_path() / ("gpio_test_" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
        ptable().setPaths((dir_ / "params.dat").string(), (dir_ / "slot1").string());
        std::ofstream(dir_ / "params.dat") << "life=3\n";
        savedHooks_ = gpioHooks();
        stopsStarted = 0;
        shutdownTypes.clear();
        wpsStarts = 0;
        gpioHooks().startShutDown = [](int) { return (new FakeStop())->start(0x8000); };
        // A stop that runs while the button resets the parameters deletes every
        // registered task without a thread: the button's stop task must not be one.
        gpioHooks().setShutdownType = [](int type) {
            shutdownTypes.push_back(type);
            Task::kill("FakeStop", 0);
        };
        gpioHooks().startWps = [] { return ++wpsStarts; };
    }
    void TearDown() override {
        gpioHooks() = savedHooks_;
        ptable().setPaths("", "");
        std::filesystem::remove_all(dir_);
        BoardTest::TearDown();
    }
    bool paramsFileExists() const { return std::filesystem::exists(dir_ / "params.dat"); }

    static inline std::vector<int> shutdownTypes;
    static inline std::atomic<int> wpsStarts{0};
    std::filesystem::path dir_;
    GpioHooks savedHooks_;
};

TEST_F(ButtonTest, ButtonBytesCountAndAct) {
    ParamRestore restore{p_wifi, p_wifi_mode, p_button_cnt};
    struct Case {
        unsigned product;
        int index;
        std::string bytes;
        bool wifiOn;
        const char *mode;
        int releases, presses, wps;
        bool restart;
    };
    const Case cases[] = {
        {283, 0, "000", true, "softap", 3, 0, 1, false},
        {283, 0, "000", false, "softap", 3, 0, 0, false},
        {283, 1, "0", true, "infra", 1, 0, 0, false},
        {305, 0, "0", true, "softap", 1, 0, 0, false}, // no Wi-Fi hardware
        {283, 2, "01", true, "softap", 1, 1, 0, true},
        {305, 0,
         std::string("0\0"
                     "1",
                     3),
         false, "softap", 1, 0, 0, false},
        {305, 4, "1x", false, "softap", 0, 0, 0, true}, // unknown device: counted nowhere
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.product * 100 + c.index);
        std::ofstream(dir_ / "params.dat") << "life=3\n";
        stopsStarted = 0;
        shutdownTypes.clear();
        wpsStarts = 0;
        p_wifi->setText(c.wifiOn ? "on" : "off", -1);
        p_wifi_mode->setText(c.mode, -1);
        p_button_cnt->set(0);
        GpioDevice dev(c.product, 2);
        ASSERT_TRUE(dev.open());
        auto *task = new GPio(dev);
        task->handleButtonBytes(c.index, c.bytes.data(), c.bytes.size());
        int releases = 0, presses = 0;
        for (int i = 0; i < 4; i++) {
            releases += dev.releaseCount[i].load();
            presses += dev.pressCount[i].load();
        }
        EXPECT_EQ(releases, c.releases);
        EXPECT_EQ(presses, c.presses);
        EXPECT_EQ(p_button_cnt->value(), static_cast<int>(std::strlen(c.bytes.c_str())));
        EXPECT_EQ(wpsStarts.load(), c.wps);
        EXPECT_EQ(!paramsFileExists(), c.restart) << "a long press resets the parameters";
        if (c.restart) {
            EXPECT_TRUE(eventually([] { return stopsStarted.load() == 1; }));
            EXPECT_EQ(shutdownTypes, std::vector<int>{2});
        } else {
            EXPECT_TRUE(shutdownTypes.empty());
        }
        dev.waitBeeps();
        delete task;
    }

    // Product 278 restarts without the cold flag.
    GpioDevice p278(278, 2);
    ASSERT_TRUE(p278.open());
    auto *task = new GPio(p278);
    shutdownTypes.clear();
    task->handleButtonBytes(0, "1", 1);
    EXPECT_TRUE(shutdownTypes.empty());
    p278.waitBeeps();
    delete task;
}

TEST_F(ButtonTest, GpioTaskRunsStartUpButtonsAndPortsOn) {
    ParamRestore restore{p_sw_features, p_disp_def, p_disp_erVals, p_fan_on, p_zqn_ppwr_1, p_zqn_ppwr_2};
    p_sw_features->set(0x40000);
    p_disp_def->setText("DS", -1);
    p_fan_on->setText("off", -1);
    p_zqn_ppwr_1->setAbsent(false);
    p_zqn_ppwr_2->setAbsent(false);
    p_zqn_ppwr_1->setText("fail", -1);
    p_zqn_ppwr_2->setText("on", -1);
    board::setButtonMask(0x3);
    PtableHooks savedPtable = ptableHooks();
    void (*savedShutdownDisplay)() = shutdownDisplayHook;

    GpioDevice dev(295, 2);
    ASSERT_TRUE(dev.open());
    const int filesBefore = sim::openDeviceFiles();
    auto *task = new GPio(dev);
    int number = task->start(0x8000);
    ASSERT_GT(number, 0);
    ASSERT_TRUE(eventually([&] { return sim::openDeviceFiles() == filesBefore + 2; }))
        << "both button devices watched";

    EXPECT_EQ(dev.initialised.load(), 1);
    EXPECT_EQ(dev.buttonMask.load(), 0x3u);
    EXPECT_EQ(board::buttonSettings().shortPressMs, 5000u);
    EXPECT_EQ(board::buttonSettings().longPressMs, 5050u);
    ASSERT_NE(dev.display(), nullptr);
    EXPECT_EQ(shown(), "DS");
    EXPECT_EQ(board::led(3, 9).mode, board::LedOff) << "the LED bar is dark after the sequence";
    EXPECT_EQ(board::lines() & (1u << 30), 1u << 30) << "fan off unless fan_on";

    // The board hooks now reach this device.
    ASSERT_NE(ptableHooks().setPortPower, nullptr);
    ptableHooks().setPortPower(1, true);
    EXPECT_EQ(board::lines() & 0x3u, 0x2u);
    ptableHooks().setPortPower(1, false);

    EXPECT_EQ(sim::execute("button press 1"), "delivered 1\nOK\n");
    EXPECT_TRUE(eventually([&] { return dev.releaseCount[1].load() == 1; }));
    EXPECT_EQ(sim::execute("button long 0"), "delivered 1\nOK\n");
    EXPECT_TRUE(eventually([&] { return dev.pressCount[0].load() == 1; }));
    EXPECT_TRUE(eventually([] { return stopsStarted.load() == 1; }));
    EXPECT_EQ(shutdownTypes, std::vector<int>{2});
    EXPECT_FALSE(paramsFileExists());

    // The USB server's ports-on message: "fail" leaves the port off and blinks its
    // second colour at 2 Hz.
    EXPECT_EQ(Task::postTo(number, portsOnMsg), 0);
    EXPECT_TRUE(eventually([] { return (board::lines() & 0x3u) == 0x2u; }));
    EXPECT_TRUE(eventually([] { return board::led(1, 16).stepMs == 500u; }));

    EXPECT_EQ(Task::postTo(number, exitMsg), 0);
    EXPECT_TRUE(eventually([&] { return sim::openDeviceFiles() == filesBefore; }))
        << "the task closes its button devices";
    dev.waitBeeps();
    ptableHooks() = savedPtable;
    shutdownDisplayHook = savedShutdownDisplay;
}

// The board hooks are in place once the task is made, before its thread runs, so no
// other thread reads them while the task writes them.
TEST_F(ButtonTest, HooksReachTheDeviceBeforeTheTaskRuns) {
    PtableHooks savedPtable = ptableHooks();
    MoniLogHooks savedMoni = moniLogHooks();
    void (*savedShutdownDisplay)() = shutdownDisplayHook;
    ptableHooks().setPortPower = nullptr;
    {
        GpioDevice dev(295, 2);
        ASSERT_TRUE(dev.open());
        auto *task = new GPio(dev);
        ASSERT_NE(ptableHooks().setPortPower, nullptr);
        ptableHooks().setPortPower(1, true);
        EXPECT_EQ(board::lines() & 0x3u, 0x2u);
        ptableHooks().setPortPower(1, false);
        delete task;
    }
    ptableHooks() = savedPtable;
    moniLogHooks() = savedMoni;
    shutdownDisplayHook = savedShutdownDisplay;
}

// The main loop and the hooks ask for the display while the "GPio" task makes it at
// start; under ThreadSanitizer an unpublished pointer shows as a race.
TEST_F(ButtonTest, TheDisplayMadeByTheTaskReachesOtherThreadsWhole) {
    ParamRestore restore{p_sw_features, p_disp_def};
    p_sw_features->set(0x40000);
    PtableHooks savedPtable = ptableHooks();
    void (*savedShutdownDisplay)() = shutdownDisplayHook;
    GpioDevice dev(295, 2);
    ASSERT_TRUE(dev.open());
    const int tasksBefore = countTasks();
    int number = (new GPio(dev))->start(0x8000);
    ASSERT_GT(number, 0);
    Display *seen = nullptr;
    EXPECT_TRUE(eventually([&] {
        seen = dev.display();
        return seen != nullptr;
    }));
    if (seen != nullptr) {
        EXPECT_EQ(seen->activeCount(), 0);
    }
    EXPECT_EQ(Task::postTo(number, exitMsg), 0);
    EXPECT_TRUE(eventually([&] { return countTasks() == tasksBefore; }));
    dev.waitBeeps();
    ptableHooks() = savedPtable;
    shutdownDisplayHook = savedShutdownDisplay;
}

TEST_F(BoardTest, ControlCommandsRefuseGarbage) {
    const char *bad[] = {
        "button",
        "button press",
        "button press 4",
        "button bytes 0",
        "button hold 0",
        "power-input 3 on",
        "power-input 1 maybe",
        "ticks advance -5",
        "ticks advance x",
        "inject gpio",
        "inject radio on 5",
        "inject gpio nosuch 5",
        "inject gpio on 99999",
        "fan spinning",
        "board-setup leds -1",
        "board-setup buttons 99",
    };
    for (const char *line : bad) {
        std::string answer = sim::execute(line);
        EXPECT_EQ(answer.rfind("ERR", 0) == 0 || answer.find("\nERR") != std::string::npos, true) << line;
    }
    EXPECT_EQ(sim::execute("button press 0"), "ERR button 0 is not open\n");
    std::string state = sim::execute("board");
    EXPECT_NE(state.find("board_lines 0x00000000"), std::string::npos);
    EXPECT_NE(state.find("board_inputs 0x4"), std::string::npos);
}

} // namespace
