#include "core/sensors.h"

#include "core/monilog.h"
#include "core/ptable.h"
#include "core/ptable_hooks.h"
#include "param_catalogue.h"

#include "param_guard.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {


const char *const Hwmon[] = {"/sys/class/hwmon/hwmon0/temp1_input", "/sys/class/hwmon/hwmon1/temp1_input",
                             "/sys/class/hwmon/hwmon2/temp1_input", "/sys/class/hwmon/hwmon3/temp1_input"};
const char *const ThermalZone = "/sys/devices/virtual/thermal/thermal_zone0/temp";

struct Event {
    uint32_t event;
    int aux;
    std::string text;
};
std::vector<Event> events;
std::vector<std::string> display;
std::vector<int> posts;
std::vector<int> fanCalls;
bool accepting = true;
int fanRunning = 0;

bool displayPresent() {
    return true;
}
int displayShow(char a, char b, uint32_t flags) {
    display.push_back(std::string{a, b} + "/" + std::to_string(flags));
    return 0;
}
int addEvent(uint32_t event, int aux, const char *text) {
    if (!accepting) return 0;
    events.push_back({event, aux, text});
    return 1;
}
int postEvent(uint32_t event, int value) {
    posts.push_back(static_cast<int>(event) + value);
    return 1;
}
int fanControl(int mode) {
    fanCalls.push_back(mode);
    if (mode == 0 || mode == 1) fanRunning = mode;
    return fanRunning;
}

class HeatTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/heat_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
        events.clear();
        display.clear();
        posts.clear();
        fanCalls.clear();
        accepting = true;
        fanRunning = 0;
        ptableHooks().displayPresent = displayPresent;
        ptableHooks().displayShow = displayShow;
        ptableHooks().notifyPostEvent = postEvent;
        sensorHooks().notifyAddEvent = addEvent;
        sensorHooks().fanControl = fanControl;
    }
    void TearDown() override {
        ptableHooks() = PtableHooks{};
        sensorHooks() = SensorHooks{};
        fs::remove_all(root);
    }
    ParamGuard params{{p_monitoring, p_moniflags}};
    void put(const char *path, long value) {
        fs::create_directories(fs::path(root + path).parent_path());
        std::ofstream(root + path, std::ios::trunc) << value << "\n";
    }
    SensorSetup setup(unsigned product, unsigned hwMajor = 0) {
        SensorSetup s;
        s.productId = product;
        s.hwMajor = hwMajor;
        s.root = root;
        return s;
    }
    std::string root;
};

// The limit itself changes nothing; above it warns once, below it gives the all-clear.
TEST_F(HeatTest, WarnsOnceAboveTheLimitAndClearsBelowIt) {
    HeatControl heat(setup(294));
    ASSERT_EQ(heat.limit(0), 115);
    struct Step {
        long milli;
        bool overheated;
        size_t events;
    } steps[] = {
        {115000, false, 0}, {115499, false, 0}, {116000, true, 1},  {130000, true, 1},
        {115000, true, 1},  {114000, false, 2}, {114000, false, 2},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.milli);
        put(Hwmon[3], s.milli);
        int values[HeatSensorCount] = {-1, -1, -1, -1};
        EXPECT_EQ(heat.run(values), 1);
        EXPECT_EQ(values[0], static_cast<int>((s.milli + 500) / 1000));
        EXPECT_EQ(heat.overheated(0), s.overheated);
        EXPECT_EQ(events.size(), s.events);
    }
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].event, NotifySystemWarning);
    EXPECT_EQ(events[0].aux, 0);
    EXPECT_EQ(events[0].text, "Device warning overheating 116°C limit:115°C");
    EXPECT_EQ(events[1].text, "Device cool down, now 114°C limit:115°C");
    EXPECT_EQ(posts, (std::vector<int>{0x20000000 - 1, 0x20000000 - 1}));
    EXPECT_EQ(display, (std::vector<std::string>{"E6/36", "E6/8"}));
}

// A sensor's warning names it; an event the notification task does not take is not
// posted; the log line goes out in the error category.
TEST_F(HeatTest, EventsCarryTheSensorAndLogInTheErrorCategory) {
    char pattern[] = "/tmp/heat_moni.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string base = pattern;
    moniLog.init(base);
    p_monitoring->set(1);
    p_moniflags->set(MoniErr);

    HeatControl heat(setup(294));
    put(Hwmon[1], 71000); // sensor 2 of 4, limit 70
    accepting = false;
    heat.run(nullptr);
    EXPECT_TRUE(heat.overheated(2));
    EXPECT_TRUE(posts.empty());
    accepting = true;
    put(Hwmon[1], 20000);
    heat.run(nullptr);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].aux, 2);
    EXPECT_EQ(posts.size(), 1u);
    // Without values the fan is left alone.
    EXPECT_TRUE(fanCalls.empty());

    std::string text;
    for (const auto &entry : fs::recursive_directory_iterator(base))
        if (entry.is_regular_file()) {
            std::ifstream in(entry.path());
            std::stringstream s;
            s << in.rdbuf();
            text += s.str();
        }
    moniLog.init(base);
    fs::remove_all(base);
    EXPECT_NE(text.find("Heat control: Device warning overheating 71°C limit:70°C"), std::string::npos)
        << text;
    EXPECT_NE(text.find("Heat control: Device cool down, now 20°C limit:70°C"), std::string::npos) << text;
}

// Which file each sensor reads on each product; a sensor the product lacks leaves the
// caller's value.
TEST_F(HeatTest, SensorFilesFollowTheProduct) {
    put(ThermalZone, 40000);
    put(Hwmon[0], 41000);
    put(Hwmon[1], 42000);
    put(Hwmon[2], 43000);
    put(Hwmon[3], 44000);
    put(PhyTemperatureFile, 45);
    struct Case {
        unsigned product, hwMajor;
        int values[HeatSensorCount];
        int lastLimit;
    } cases[] = {
        {315, 0, {40, 41, 42, 43}, 70}, {305, 3, {40, 41, 42, 43}, 70},  {305, 1, {44, 41, 42, 43}, 70},
        {317, 0, {-9, 41, 42, -9}, 70}, {307, 0, {41, -9, -9, 45}, 115}, {295, 0, {44, 41, 42, 43}, 70},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.product);
        HeatControl heat(setup(c.product, c.hwMajor));
        int values[HeatSensorCount] = {-9, -9, -9, -9};
        heat.run(values);
        for (int i = 0; i < HeatSensorCount; i++)
            EXPECT_EQ(values[i], c.values[i]) << "sensor " << i;
        EXPECT_EQ(heat.limit(3), c.lastLimit);
    }
    EXPECT_TRUE(events.empty());
}

// Product 295: the fan goes on when a sensor comes within 9 degrees of its limit and
// off only when all four are more than 14 below theirs.
TEST_F(HeatTest, FanOfProduct295FollowsTheReadingsWithHysteresis) {
    HeatControl heat(setup(295));
    auto run = [&](int t0, int t1, int t2, int t3) {
        put(Hwmon[3], t0 * 1000L);
        put(Hwmon[0], t1 * 1000L);
        put(Hwmon[1], t2 * 1000L);
        put(Hwmon[2], t3 * 1000L);
        int values[HeatSensorCount] = {0, 0, 0, 0};
        fanCalls.clear();
        heat.run(values);
        return fanRunning;
    };
    EXPECT_EQ(run(40, 60, 40, 40), 0);
    EXPECT_EQ(fanCalls, (std::vector<int>{-1}));
    EXPECT_EQ(run(40, 61, 40, 40), 1);
    EXPECT_EQ(fanCalls, (std::vector<int>{-1, 1}));
    EXPECT_EQ(run(101, 55, 55, 55), 1); // 101 is not below 115 - 14
    EXPECT_EQ(run(100, 55, 55, 56), 1);
    EXPECT_EQ(run(100, 55, 55, 55), 0);
    EXPECT_EQ(fanCalls.back(), 0);
    EXPECT_EQ(run(106, 20, 20, 20), 1); // 106 is within 9 of 115

    // Other products never touch the fan.
    HeatControl other(setup(294));
    int values[HeatSensorCount] = {};
    fanCalls.clear();
    other.run(values);
    EXPECT_TRUE(fanCalls.empty());
}

TEST(SensorFiles, ProductClasses) {
    SensorSetup s;
    struct Case {
        unsigned product, hwMajor;
        bool extended, main;
        const char *mainFile;
    } cases[] = {
        {287, 0, true, true, "/sys/devices/virtual/thermal/thermal_zone0/temp"},
        {294, 0, true, true, "/sys/class/hwmon/hwmon3/temp1_input"},
        {307, 0, true, true, "/sys/class/hwmon/hwmon0/temp1_input"},
        {315, 0, false, true, "/sys/devices/virtual/thermal/thermal_zone0/temp"},
        {305, 3, false, true, "/sys/devices/virtual/thermal/thermal_zone0/temp"},
        {305, 2, false, false, nullptr},
        {317, 0, false, false, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.product);
        s.productId = c.product;
        s.hwMajor = c.hwMajor;
        EXPECT_EQ(hasExtendedSensorBoard(c.product), c.extended);
        EXPECT_EQ(hasMainTemperature(s), c.main);
        const char *file = loadSensorFiles(s).mainTemperature;
        EXPECT_EQ(file ? std::string(file) : "", c.mainFile ? std::string(c.mainFile) : "");
    }
    // Garbage readings far outside any temperature do not overflow.
    EXPECT_EQ(milliToDegrees(9223372036854775807L), 1000000);
    EXPECT_EQ(milliToDegrees(-9223372036854775807L), -999999);
    EXPECT_EQ(milliToDegrees(45499), 45);
}

} // namespace
