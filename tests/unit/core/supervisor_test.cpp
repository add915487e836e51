#include "core/supervisor.h"

#include "core/master.h"
#include "core/monilog.h"
#include "core/ptable.h"
#include "param_catalogue.h"

#include "param_guard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {


constexpr int64_t Minute = 6000; // ticks

std::atomic<int64_t> fakeTicks{0};
struct tm fakeTime {};
std::atomic<bool> timeKnown{true};
std::atomic<int> timeReads{0};
std::atomic<int> refreshes{0};
std::atomic<int> bonjourStarts{0};
std::atomic<int> bonjourNumber{-1};
std::atomic<int> backups{0};
std::atomic<int> keyChecks{0};
std::atomic<int> shutdowns{0};
std::atomic<int> shutdownDelay{0};

int64_t ticks() {
    return fakeTicks;
}
bool localTime(struct tm *out) {
    ++timeReads;
    if (!timeKnown) return false;
    *out = fakeTime;
    return true;
}
void refresh() {
    ++refreshes;
}
int bonjourTask() {
    return bonjourNumber;
}
void startBonjour() {
    ++bonjourStarts;
}
void backup() {
    ++backups;
}
void keyCheck() {
    ++keyChecks;
}
void startShutDown(int delay) {
    shutdownDelay = delay;
    ++shutdowns;
}

void setTime(int year, int hour, int minute, int second = 0) {
    fakeTime = {};
    fakeTime.tm_year = year - 1900;
    fakeTime.tm_mon = 11;
    fakeTime.tm_mday = 10;
    fakeTime.tm_hour = hour;
    fakeTime.tm_min = minute;
    fakeTime.tm_sec = second;
}

bool eventually(const std::function<bool()> &pred) {
    for (int i = 0; i < 500; i++) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

// Stands in for the SNMP agent: counts the messages posted to it.
class SnmpAgent : public Task {
public:
    SnmpAgent() : Task("NET-SNMPD") {}
    void run() override {}
    int pending() const {
        int bytes = 0;
        ioctl(pipeRead, FIONREAD, &bytes);
        return bytes / static_cast<int>(sizeof(TaskMsg));
    }
};

class SupervisorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ptable();
        base = countTasks();
        fakeTicks = 0;
        timeKnown = true;
        timeReads = refreshes = bonjourStarts = backups = keyChecks = shutdowns = shutdownDelay = 0;
        bonjourNumber = -1;
        setTime(2026, 12, 0);
        SupervisorHooks &h = supervisorHooks();
        h.ticks = ticks;
        h.localTime = localTime;
        h.refreshResolver = refresh;
        h.bonjourTaskNumber = bonjourTask;
        h.startBonjour = startBonjour;
        h.webdavDailyBackup = backup;
        h.checkPortKeyExpiry = keyCheck;
        h.startShutDown = startShutDown;
        shutdownType = ShutdownPlain;
    }
    void TearDown() override {
        supervisorHooks() = SupervisorHooks{};
        shutdownType = ShutdownPlain;
        EXPECT_TRUE(eventually([&] { return countTasks() == base; }));
    }
    int base = 0;
    ParamGuard params{
        {p_dailyrestart, p_snmprestart, p_snmpv1, p_snmpv3, p_bonjour, p_monitoring, p_moniflags}};
};

// One wake-up of a scenario: uptime, local time and what must have happened by then.
struct Wake {
    int64_t uptime; // ticks since the run started
    int year, hour, minute;
    bool restart;  // this wake-up restarts the appliance
    int snmpTotal; // SNMP reconfiguration messages so far
};

struct Scenario {
    const char *name;
    int daily, snmp; // 24 or above: off; -1: the parameter is absent
    bool snmpOn;     // "snmpv1" on
    std::vector<Wake> wakes;
};

TEST_F(SupervisorTest, RestartHoursFollowTheClockRules) {
    const int64_t H = 60 * Minute;
    const Scenario scenarios[] = {
        {"restart at its hour after two hours", 3, 24, true, {{2 * H, 2026, 3, 0, true, 0}}},
        {"start at 02:50: not before 61 minutes of uptime",
         3,
         24,
         true,
         {{0, 2026, 2, 50, false, 0},
          {10 * Minute, 2026, 3, 0, false, 0},
          {61 * Minute, 2026, 3, 51, false, 0},
          {61 * Minute + 100, 2026, 3, 51, true, 0}}},
        {"restarted at 03:00 and running from 03:01: not again that day",
         3,
         24,
         true,
         {{29 * Minute, 2026, 3, 30, false, 0},
          {58 * Minute, 2026, 3, 59, false, 0},
          {61 * Minute + 100, 2026, 4, 2, false, 0},
          {23 * H, 2026, 2, 1, false, 0},
          {24 * H, 2026, 3, 0, true, 0}}},
        {"SNMP reconfiguration once in its hour",
         24,
         4,
         true,
         {{2 * H, 2026, 4, 0, false, 1},
          {2 * H + 1, 2026, 4, 0, false, 1},
          {2 * H + 30 * Minute, 2026, 4, 30, false, 1},
          {3 * H, 2026, 5, 0, false, 1},
          {26 * H, 2026, 4, 0, false, 2}}},
        {"equal hours: only the daily restart", 5, 5, true, {{2 * H, 2026, 5, 0, true, 0}}},
        {"SNMP switched off: no reconfiguration", 24, 4, false, {{2 * H, 2026, 4, 0, false, 0}}},
        {"no daily restart parameter",
         -1,
         4,
         true,
         {{2 * H, 2026, 3, 0, false, 0}, {3 * H, 2026, 4, 0, false, 1}}},
        {"no SNMP restart parameter",
         3,
         -1,
         true,
         {{2 * H, 2026, 4, 0, false, 0}, {25 * H, 2026, 3, 0, true, 0}}},
        {"clock never set", 3, 4, true, {{2 * H, 2021, 3, 0, false, 0}, {3 * H, 2021, 4, 0, false, 0}}},
    };
    for (const Scenario &sc : scenarios) {
        SCOPED_TRACE(sc.name);
        p_dailyrestart->setAbsent(sc.daily < 0);
        p_snmprestart->setAbsent(sc.snmp < 0);
        if (sc.daily >= 0) p_dailyrestart->set(sc.daily);
        if (sc.snmp >= 0) p_snmprestart->set(sc.snmp);
        p_snmpv1->set(sc.snmpOn ? 1 : 0);
        p_snmpv3->set(0);

        auto *agent = new SnmpAgent;
        auto *watcher = new LazyHubWatcher(0);
        watcher->startTick = 0;
        shutdowns = 0;
        shutdownType = ShutdownPlain;
        for (const Wake &w : sc.wakes) {
            SCOPED_TRACE(std::to_string(w.hour) + ":" + std::to_string(w.minute));
            fakeTicks = w.uptime;
            setTime(w.year, w.hour, w.minute, 5);
            LazyHubWatcher::Wake result = watcher->wake();
            EXPECT_EQ(result == LazyHubWatcher::DailyRestart, w.restart);
            EXPECT_EQ(agent->pending(), w.snmpTotal);
            if (result == LazyHubWatcher::DailyRestart) {
                EXPECT_EQ(shutdowns.load(), 1);
                EXPECT_EQ(shutdownDelay.load(), 1);
                EXPECT_EQ(shutdownType.load(), ShutdownCold);
                break;
            }
            EXPECT_EQ(shutdowns.load(), 0);
            EXPECT_EQ(shutdownType.load(), ShutdownPlain);
        }
        delete watcher;
        delete agent;
    }
}

// With both hours off nothing reads the time; with the clock unavailable nothing happens.
TEST_F(SupervisorTest, NoTimeIsReadWhileBothRestartsAreOff) {
    auto *watcher = new LazyHubWatcher(0);
    watcher->startTick = 0;
    fakeTicks = 100 * 60 * Minute;
    setTime(2026, 3, 0);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(watcher->wake(), LazyHubWatcher::Continue);
    EXPECT_EQ(timeReads.load(), 0);

    p_dailyrestart->set(3);
    timeKnown = false;
    EXPECT_EQ(watcher->wake(), LazyHubWatcher::Continue);
    EXPECT_EQ(timeReads.load(), 1);
    timeKnown = true;
    EXPECT_EQ(watcher->wake(), LazyHubWatcher::DailyRestart);
    delete watcher;
}

TEST_F(SupervisorTest, RestartsAreLoggedWhenStatusLinesAreOn) {
    char pattern[] = "/tmp/supervisor_moni.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string dir = pattern;
    moniLog.init(dir);
    p_monitoring->set(1);
    p_moniflags->set(MoniSta);
    p_dailyrestart->set(3);
    p_snmprestart->set(4);

    auto *agent = new SnmpAgent;
    auto *watcher = new LazyHubWatcher(0);
    watcher->startTick = 0;
    fakeTicks = 5 * 60 * Minute;
    setTime(2026, 4, 0, 5);
    EXPECT_EQ(watcher->wake(), LazyHubWatcher::Continue);
    setTime(2026, 3, 0, 5);
    EXPECT_EQ(watcher->wake(), LazyHubWatcher::DailyRestart);
    delete watcher;
    delete agent;

    std::string text;
    for (const auto &entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file()) {
            std::ifstream in(entry.path());
            std::stringstream s;
            s << in.rdbuf();
            text += s.str();
        }
    moniLog.init(dir);
    fs::remove_all(dir);
    EXPECT_NE(text.find("Snmp daemon will restart initialized by snmprestart (=4) parameter..."),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("System will reboot initialized by dailyrestart (=3) parameter..."),
              std::string::npos)
        << text;
}

// A wake-up after a configuration change refreshes the resolver and brings the
// multicast-DNS task back; the other wake-ups of the products with extra duties run
// the backup and port-key checks instead.
TEST_F(SupervisorTest, ConfigurationChangeRefreshesOtherwiseDutiesRun) {
    struct Case {
        const char *name;
        unsigned product;
        bool changed, bonjourOn;
        int bonjourTask;
        int refreshes, bonjourStarts, duties;
    } cases[] = {
        {"change, no Bonjour task", 0, true, true, -1, 1, 1, 0},
        {"change, Bonjour task running", 0, true, true, 7, 1, 0, 0},
        {"change, Bonjour off", 0, true, false, -1, 1, 0, 0},
        {"change on a product with duties", 295, true, true, 7, 1, 0, 0},
        {"quiet, product with duties", 307, false, true, -1, 0, 0, 1},
        {"quiet, product without", 317, false, true, -1, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        refreshes = bonjourStarts = backups = keyChecks = 0;
        p_bonjour->set(c.bonjourOn ? 1 : 0);
        bonjourNumber = c.bonjourTask;
        LazyHubWatcher watcher(c.product);
        if (c.changed) watcher.onMessage(configChangedMsg);
        EXPECT_EQ(watcher.onMessage(portsOnMsg), MsgPortsOn);
        watcher.wake();
        EXPECT_EQ(refreshes.load(), c.refreshes);
        EXPECT_EQ(bonjourStarts.load(), c.bonjourStarts);
        EXPECT_EQ(backups.load(), c.duties);
        EXPECT_EQ(keyChecks.load(), c.duties);
        EXPECT_EQ(watcher.refreshRequested.load(), 0u);
    }
}

// The running task: a configuration-changed message wakes it at once, the exit message
// ends it, and so does its own daily restart.
TEST_F(SupervisorTest, RunningTaskWakesOnChangesAndEnds) {
    auto *watcher = new LazyHubWatcher(0);
    watcher->startTick = 0;
    ASSERT_GT(watcher->start(0x8000), 0);
    const int number = watcher->taskNumber;
    EXPECT_EQ(Task::postTo(number, configChangedMsg), 0);
    EXPECT_TRUE(eventually([] { return refreshes == 1 && bonjourStarts == 1; }));
    EXPECT_EQ(Task::postTo(number, exitMsg), 0);
    EXPECT_TRUE(eventually([&] { return countTasks() == base; }));

    p_dailyrestart->set(3);
    fakeTicks = 2 * 60 * 60 * Minute;
    setTime(2026, 3, 0, 5);
    watcher = new LazyHubWatcher(0);
    watcher->startTick = 0;
    ASSERT_GT(watcher->start(0x8000), 0);
    Task::postTo(watcher->taskNumber, configChangedMsg);
    EXPECT_TRUE(eventually([&] { return countTasks() == base; }));
    EXPECT_EQ(shutdowns.load(), 1);
    EXPECT_EQ(shutdownType.load(), ShutdownCold);
}

} // namespace
