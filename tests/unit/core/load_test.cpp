#include "core/load.h"

#include "core/monilog.h"
#include "core/ptable.h"
#include "param_catalogue.h"

#include "param_guard.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {


std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A sandbox root holding the kernel's figures and the board's sensor files.
class Sandbox {
public:
    Sandbox() {
        char pattern[] = "/tmp/load_test.XXXXXX";
        root = mkdtemp(pattern) ? pattern : "";
    }
    ~Sandbox() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    void put(const std::string &path, const std::string &text) const {
        fs::create_directories(fs::path(root + path).parent_path());
        std::ofstream(root + path, std::ios::binary | std::ios::trunc) << text;
    }
    void remove(const std::string &path) const { ::unlink((root + path).c_str()); }
    std::string stat() const { return root + "/stat"; }
    std::string meminfo() const { return root + "/meminfo"; }

    // A /proc/stat with the given busy (user) and idle jiffies of each core.
    void cpu(long busy0, long idle0, long busy1 = -1, long idle1 = 0) const {
        std::string text = "cpu  1 2 3 4 5 6 7 0 0 0\n";
        text += "cpu0 " + std::to_string(busy0) + " 0 0 " + std::to_string(idle0) + " 0 0 0 0 0 0\n";
        if (busy1 >= 0)
            text += "cpu1 " + std::to_string(busy1) + " 0 0 " + std::to_string(idle1) + " 0 0 0 0 0 0\n";
        text += "intr 12345\n";
        put("/stat", text);
    }
    void memory(long total, long free, long cached) const {
        put("/meminfo", "MemTotal: " + std::to_string(total) + " kB\nMemFree: " + std::to_string(free) +
                            " kB\nMemAvailable: 1 kB\nBuffers: 0 kB\nCached: " + std::to_string(cached) +
                            " kB\n");
    }

    std::string root;
};

int64_t fakeNow = 0;
int64_t fakeTicks() {
    return fakeNow;
}

int fanRunning = 0;
int fanControl(int) {
    return fanRunning;
}

std::unique_ptr<LoadHistory> history(const Sandbox &box, unsigned product = 0, unsigned hwMajor = 0) {
    SensorSetup setup;
    setup.productId = product;
    setup.hwMajor = hwMajor;
    setup.root = box.root;
    auto h = std::make_unique<LoadHistory>(setup, box.stat(), box.meminfo());
    h->setTickSource(fakeTicks);
    return h;
}

class LoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ptable();
        fakeNow = 100000;
        fanRunning = 0;
        box.cpu(100, 100, 100, 100);
        box.memory(1000, 500, 250);
    }
    void TearDown() override { sensorHooks() = SensorHooks{}; }
    Sandbox box;
    ParamGuard params{{p_monitoring, p_moniflags, p_wl_filter, p_deltaload}};
};

TEST(CpuStat, ParsesTheTwoCoresAndStopsAtTheRest) {
    struct Case {
        const char *name;
        const char *text;
        bool ok;
        long total0, busy0, total1, busy1;
    } cases[] = {
        {"two cores", "cpu  9 9 9 9 9 9 9\ncpu0 1 2 3 4 5 6 7 8\ncpu1 10 0 0 20 30 0 5\ncpu2 1 1 1 1 1 1 1\n",
         true, 28, 19, 65, 15},
        {"single core", "cpu  1 1 1 1 1 1 1\ncpu0 1 0 0 1 0 0 0\nintr 5\n", true, 2, 1, -1, 0},
        {"short line ignored", "cpu0 1 2 3\ncpu1 1 0 0 1 0 0 0\n", false, 0, 0, 2, 1},
        {"other line ends the scan", "cpu0 1 0 0 1 0 0 0\nintr 1\ncpu1 1 0 0 1 0 0 0\n", true, 2, 1, -1, 0},
        {"no core 0", "intr 1\ncpu0 1 0 0 1 0 0 0\n", false, 0, 0, -1, 0},
        {"garbage", "cpu0 x y z\n\x01\x02", false, 0, 0, -1, 0},
        {"counter out of bounds", "cpu0 99999999999999999999 0 0 1 0 0 0\n", false, 0, 0, -1, 0},
        {"empty", "", false, 0, 0, -1, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<FILE, int (*)(FILE *)> in(
            fmemopen(const_cast<char *>(c.text), std::strlen(c.text), "r"), std::fclose);
        if (std::strlen(c.text) == 0) in.reset(std::fopen("/dev/null", "r"));
        ASSERT_TRUE(in);
        CpuCounters out;
        EXPECT_EQ(parseCpuStat(in.get(), out), c.ok);
        EXPECT_EQ(out.total0, c.total0);
        EXPECT_EQ(out.busy0, c.busy0);
        EXPECT_EQ(out.total1, c.total1);
        EXPECT_EQ(out.busy1, c.busy1);
    }
}

// After a long uptime the aggregate line of a busy machine is longer than 95
// characters; its tail must not be taken for a line that ends the scan.
TEST(CpuStat, LongAggregateLineDoesNotHideTheCores) {
    std::string text = "cpu ";
    for (int i = 0; i < 10; i++)
        text += " 123456789012";
    text += "\ncpu0 5 0 0 5 0 0 0\ncpu1 3 0 0 7 0 0 0\n";
    ASSERT_GT(text.find('\n'), 95u);
    std::unique_ptr<FILE, int (*)(FILE *)> in(fmemopen(text.data(), text.size(), "r"), std::fclose);
    CpuCounters out;
    ASSERT_TRUE(parseCpuStat(in.get(), out));
    EXPECT_EQ(out.total0, 10);
    EXPECT_EQ(out.total1, 10);
    EXPECT_EQ(out.busy1, 3);

    CpuCounters none;
    EXPECT_FALSE(readCpuStatFile("/nonexistent/stat", none));
    EXPECT_EQ(none.total1, -1);
}

TEST_F(LoadTest, FirstSampleOnlyStartsTheHistorySecondStoresOne) {
    auto h = history(box);
    h->sample();
    EXPECT_EQ(h->writeIndex(), 0);
    for (int s = 0; s < LoadSeriesCount; s++)
        EXPECT_EQ(h->value(s, 0), 0) << "series " << s;

    box.cpu(100 + 75, 100 + 25, 100 + 10, 100 + 90);
    fakeNow += 500;
    h->sample();
    EXPECT_EQ(h->writeIndex(), 1);
    EXPECT_EQ(h->value(LoadCpu0, 0), 96); // 75 of 100 jiffies
    EXPECT_EQ(h->value(LoadCpu1, 0), 12);
    EXPECT_EQ(h->value(LoadMemFree, 0), 64);      // 128 - 500 × 128 / 1000
    EXPECT_EQ(h->value(LoadMemAvailable, 0), 32); // 128 - 750 × 128 / 1000
    EXPECT_EQ(h->cpuPercent(0), 75);
    EXPECT_EQ(h->cpuPercent(1), 10);

    LoadSample s;
    EXPECT_EQ(h->newest(s), 1);
    EXPECT_EQ(s.idle0, 25);
    EXPECT_EQ(s.idle1, 91); // 100 - (12 × 100 >> 7)
    EXPECT_EQ(s.mfree, 50);
    EXPECT_EQ(s.mavail, 75);

    // No jiffies passed on either core: both hold 255, shown as no idle time and none.
    fakeNow += 500;
    h->sample();
    EXPECT_EQ(h->value(LoadCpu0, 1), LoadNoCpu);
    EXPECT_EQ(h->value(LoadCpu1, 1), LoadNoCpu);
    EXPECT_EQ(h->cpuPercent(0), -1);
    h->newest(s);
    EXPECT_EQ(s.idle0, 0);
    EXPECT_EQ(s.idle1, -1);
}

TEST_F(LoadTest, SingleCoreHoldsNoSecondCore) {
    box.cpu(10, 10);
    auto h = history(box);
    h->sample();
    box.cpu(20, 20);
    h->sample();
    EXPECT_EQ(h->value(LoadCpu0, 0), 64);
    EXPECT_EQ(h->value(LoadCpu1, 0), LoadNoCpu);
    EXPECT_EQ(h->cpuPercent(1), 0);
    LoadSample s;
    h->newest(s);
    EXPECT_EQ(s.idle1, -1);
}

// Without a usable memory total nothing is divided: the memory series keep their slot,
// the rest of the sample is taken.
TEST_F(LoadTest, UnreadableOrZeroMemoryTotalSkipsTheMemorySeries) {
    struct Case {
        const char *name;
        const char *meminfo; // null: no file
    } cases[] = {
        {"zero total", "MemTotal: 0 kB\nMemFree: 5 kB\nMemAvailable: 5 kB\nBuffers: 0 kB\nCached: 1 kB\n"},
        {"no total", "MemFree: 5 kB\nMemAvailable: 5 kB\nBuffers: 0 kB\nCached: 1 kB\n"},
        {"garbage", "MemTotal: lots\n\xff\xfe"},
        {"no file", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        box.memory(1000, 500, 250);
        box.cpu(100, 100);
        auto h = history(box);
        h->sample();
        box.cpu(150, 150);
        h->sample(); // slot 0: a good memory sample
        ASSERT_EQ(h->value(LoadMemFree, 0), 64);
        for (int i = 1; i < LoadSampleCount; i++)
            h->sample(); // around the ring back to slot 0
        ASSERT_EQ(h->writeIndex(), 0);

        if (c.meminfo)
            box.put("/meminfo", c.meminfo);
        else
            box.remove("/meminfo");
        box.cpu(200, 200);
        h->sample();
        EXPECT_EQ(h->writeIndex(), 1);
        EXPECT_EQ(h->value(LoadMemFree, 0), 64);
        EXPECT_EQ(h->value(LoadMemAvailable, 0), 32);
        EXPECT_EQ(h->value(LoadCpu0, 0), 64); // the rest was sampled
    }
}

// Each product's sensors land in their series, converted and clamped.
TEST_F(LoadTest, SensorsOfEachProductLandInTheirSeries) {
    struct File {
        const char *path;
        const char *text;
    };
    struct Expect {
        int series;
        int value;
    };
    const File all[] = {
        {"/sys/class/hwmon/hwmon0/temp1_input", "45400"}, // 45 °C
        {"/sys/class/hwmon/hwmon1/temp1_input", "60500"}, // 61 °C
        {"/sys/class/hwmon/hwmon2/temp1_input", "30000"},
        {"/sys/class/hwmon/hwmon3/temp1_input", "52000"},
        {"/sys/devices/virtual/thermal/thermal_zone0/temp", "71000"},
        {"/sys/class/hwmon/hwmon4/current_c1", "254999"},  // 25
        {"/sys/class/hwmon/hwmon4/current_c2", "2000000"}, // 200: held at 127
        {"/sys/class/hwmon/hwmon1/current_c1", "900000"},
        {"/sys/class/hwmon/hwmon1/current_c2", "-50000"},
        {"/sys/class/hwmon/hwmon5/current_c1", "105000"},
        {"/sys/class/hwmon/hwmon5/current_c2", "garbage"},
        {PhyTemperatureFile, "66"},
    };
    struct Case {
        unsigned product, hwMajor;
        std::vector<Expect> expect;
    } cases[] = {
        {295, 0, {{4, 30}, {5, 23}, {6, 25}, {7, 127}, {8, 39}, {9, 8}, {10, 11}, {11, 0}, {14, 1}}},
        {294, 0, {{4, 30}, {5, 23}, {6, 127}, {7, 25}, {8, 0}, {9, 0}, {10, 0}, {14, 0}}},
        {307, 0, {{4, 23}, {5, 23}, {6, 0}, {7, 30}, {9, 44}, {14, 0}}},
        {287, 0, {{4, 49}, {5, 23}, {6, 25}, {7, 127}}},
        {317, 0, {{4, 0}, {5, 77}, {6, 25}, {8, 93}, {9, 0}}},
        {305, 3, {{4, 49}, {5, 0}}},
        {305, 2, {{4, 0}, {5, 0}, {6, 25}}},
        {278, 0, {{4, 0}, {5, 0}, {6, 25}, {7, 127}, {8, 0}}},
    };
    for (const File &f : all)
        box.put(f.path, f.text);
    sensorHooks().fanControl = fanControl;
    fanRunning = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.product);
        auto h = history(box, c.product, c.hwMajor);
        h->sample();
        h->sample();
        for (const Expect &e : c.expect)
            EXPECT_EQ(h->value(e.series, 0), e.value) << "series " << e.series;
    }

    // The conversions for display.
    auto h = history(box, 295);
    h->sample();
    h->sample();
    LoadSample s;
    h->newest(s);
    EXPECT_EQ(s.tcpu, 52);
    EXPECT_EQ(s.tbox, 45);
    EXPECT_EQ(s.tbx2, 61);
    EXPECT_EQ(s.tbx3, 30);
    EXPECT_EQ(s.pg1, 500); // × 20 on 295
    EXPECT_EQ(s.pg2, 1270);
    EXPECT_EQ(s.pg3, 110);
    EXPECT_EQ(s.pg4, 0);
    auto h317 = history(box, 317);
    h317->sample();
    h317->sample();
    h317->newest(s);
    EXPECT_EQ(s.tbox, 45);
    EXPECT_EQ(s.tbx2, 61);
    auto h307 = history(box, 307);
    h307->sample();
    h307->sample();
    h307->newest(s);
    EXPECT_EQ(s.pg2, 900); // × 30 on 307
    EXPECT_EQ(s.tbx3, 66);
}

// A sensor that cannot be read leaves its series' slot as it was.
TEST_F(LoadTest, UnreadableSensorLeavesItsSlot) {
    box.put("/sys/class/hwmon/hwmon3/temp1_input", "50000");
    auto h = history(box, 294);
    h->sample();
    for (int i = 0; i < LoadSampleCount; i++)
        h->sample();
    ASSERT_EQ(h->value(LoadMainTemperature, 0), 28);
    box.put("/sys/class/hwmon/hwmon3/temp1_input", "not a number");
    h->sample();
    EXPECT_EQ(h->value(LoadMainTemperature, 0), 28);
}

TEST_F(LoadTest, UsbRatesAreMegabytesPerSecondScaledTo200) {
    auto h = history(box);
    h->sample();
    h->addUsbIn(102400);
    h->addUsbOut(1024);
    fakeNow += 100;
    h->sample();
    EXPECT_EQ(h->value(LoadUsbIn, 0), 64); // 100 MiB/s
    EXPECT_EQ(h->value(LoadUsbOut, 0), 0); // 1 MiB/s
    EXPECT_EQ(h->usbInMax(), 100);
    EXPECT_EQ(h->usbOutMax(), 1);

    // The counters start again from zero; the maxima stay.
    h->addUsbIn(1024 * 500);
    fakeNow += 100;
    h->sample();
    EXPECT_EQ(h->value(LoadUsbIn, 1), 127); // 500 MiB/s, held at 127
    EXPECT_EQ(h->usbInMax(), 500);
    fakeNow += 100;
    h->sample();
    EXPECT_EQ(h->value(LoadUsbIn, 2), 0);
    EXPECT_EQ(h->usbInMax(), 500);

    h->reset();
    EXPECT_EQ(h->usbInMax(), 0);
    EXPECT_EQ(h->writeIndex(), 0);
    EXPECT_EQ(h->value(LoadUsbIn, 1), 0);
}

TEST_F(LoadTest, StatusLinesGoToTheLogAtMostEverySixtySeconds) {
    char pattern[] = "/tmp/load_moni.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string base = pattern;
    moniLog.init(base);
    p_monitoring->set(1);
    p_moniflags->set(MoniSta);
    box.put("/sys/class/hwmon/hwmon3/temp1_input", "47260");

    auto h = history(box, 294);
    h->sample();
    box.cpu(175, 125, 110, 190);
    fakeNow += 7000;
    h->sample();
    fakeNow += 100;
    h->sample(); // too soon for more lines

    std::string text;
    for (const auto &entry : fs::recursive_directory_iterator(base))
        if (entry.is_regular_file() && entry.path().extension() == ".log") text += slurp(entry.path());
    moniLog.init(base);
    fs::remove_all(base);

    EXPECT_NE(text.find("System Status: CPU is 75%,10% busy at 47.3 degrees C."), std::string::npos) << text;
    EXPECT_NE(text.find("System Status: memory usage is 25%. Total:1000kB Free:500kB Available:750kB."),
              std::string::npos)
        << text;
    size_t first = text.find("System Status: CPU");
    EXPECT_EQ(text.find("System Status: CPU", first + 1), std::string::npos);
}

// Decodes a 4-bit BMP (plain or run-length coded) the way image readers do.
struct Bmp {
    bool ok = false;
    std::string why;
    uint32_t fileSize = 0, offset = 0, compression = 0, imageSize = 0, colours = 0;
    int32_t width = 0, height = 0;
    uint16_t bits = 0;
    std::vector<uint8_t> palette;
    std::vector<std::vector<int>> rows; // bottom-up
};

uint32_t le32(const std::string &b, size_t at) {
    return static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8 |
           static_cast<uint8_t>(b[at + 2]) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}

Bmp decodeBmp(const std::string &b) {
    Bmp bmp;
    if (b.size() < 118 || b.compare(0, 2, "BM") != 0) {
        bmp.why = "header";
        return bmp;
    }
    bmp.fileSize = le32(b, 2);
    bmp.offset = le32(b, 10);
    bmp.width = static_cast<int32_t>(le32(b, 18));
    bmp.height = static_cast<int32_t>(le32(b, 22));
    bmp.bits = static_cast<uint16_t>(le32(b, 28) & 0xffff);
    bmp.compression = le32(b, 30);
    bmp.imageSize = le32(b, 34);
    bmp.colours = le32(b, 46);
    bmp.palette.assign(b.begin() + 54, b.begin() + 118);
    if (le32(b, 14) != 40 || bmp.bits != 4 || bmp.fileSize != b.size() || bmp.offset != 118) {
        bmp.why = "fields";
        return bmp;
    }
    bmp.rows.assign(static_cast<size_t>(bmp.height), std::vector<int>(static_cast<size_t>(bmp.width), 0));
    size_t p = bmp.offset;
    if (bmp.compression == 0) {
        size_t stride = (static_cast<size_t>(bmp.width) * 4 + 31) / 32 * 4;
        if (b.size() - p < stride * static_cast<size_t>(bmp.height)) {
            bmp.why = "short image";
            return bmp;
        }
        for (int y = 0; y < bmp.height; y++)
            for (int x = 0; x < bmp.width; x++) {
                uint8_t v =
                    static_cast<uint8_t>(b[p + static_cast<size_t>(y) * stride + static_cast<size_t>(x) / 2]);
                bmp.rows[static_cast<size_t>(y)][static_cast<size_t>(x)] = x % 2 ? v & 15 : v >> 4;
            }
        bmp.ok = true;
        return bmp;
    }
    if (bmp.compression != 2 || bmp.imageSize != b.size() - bmp.offset) {
        bmp.why = "compression";
        return bmp;
    }
    int x = 0, y = 0;
    while (p + 1 < b.size()) {
        uint8_t count = static_cast<uint8_t>(b[p]), value = static_cast<uint8_t>(b[p + 1]);
        p += 2;
        if (count > 0) {
            for (int i = 0; i < count; i++, x++) {
                if (x >= bmp.width || y >= bmp.height) {
                    bmp.why = "run outside the image";
                    return bmp;
                }
                bmp.rows[static_cast<size_t>(y)][static_cast<size_t>(x)] = i % 2 ? value & 15 : value >> 4;
            }
        } else if (value == 0) {
            x = 0;
            y++;
        } else if (value == 1) {
            bmp.ok = p == b.size() && y == bmp.height;
            if (!bmp.ok) bmp.why = "end of bitmap misplaced";
            return bmp;
        } else {
            bmp.why = "escape not written by the chart";
            return bmp;
        }
    }
    bmp.why = "no end of bitmap";
    return bmp;
}

TEST_F(LoadTest, ChartIsAValidBmpPlainAndRunLengthCoded) {
    box.put("/sys/class/hwmon/hwmon3/temp1_input", "72000"); // row 50
    box.memory(1000, 100, 100);                              // points at rows 116 and 103
    auto h = history(box, 295);
    h->sample();
    sensorHooks().fanControl = fanControl;
    fanRunning = 1;
    for (int i = 0; i < 10; i++) {
        box.cpu(100 + 100 * (i + 1), 100 + 100 * (i + 1)); // half busy: row 64
        h->sample();
    }
    p_deltaload->setText("1h", -1);

    LoadGraph graph(768, 128);
    const std::string plainPath = box.root + "/plain.bmp", rlePath = box.root + "/workload.bmp";
    ASSERT_EQ(graph.write(*h, false, plainPath.c_str()), 1);
    ASSERT_EQ(graph.write(*h, true, rlePath.c_str()), 1);
    Bmp plain = decodeBmp(slurp(plainPath));
    Bmp rle = decodeBmp(slurp(rlePath));
    ASSERT_TRUE(plain.ok) << plain.why;
    ASSERT_TRUE(rle.ok) << rle.why;
    EXPECT_EQ(plain.width, 768);
    EXPECT_EQ(plain.height, 128);
    EXPECT_EQ(plain.fileSize, 768u * 128 / 2 + 118);
    EXPECT_EQ(plain.colours, 16u);
    EXPECT_EQ(rle.compression, 2u);
    EXPECT_LT(rle.fileSize, plain.fileSize);
    EXPECT_EQ(rle.rows, plain.rows);
    // Palette entry 1 (FF FF A2) is stored blue, green, red, 0.
    EXPECT_EQ(std::vector<uint8_t>(plain.palette.begin() + 4, plain.palette.begin() + 8),
              (std::vector<uint8_t>{0xA2, 0xFF, 0xFF, 0}));

    struct stat st;
    ASSERT_EQ(::stat(rlePath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0744u);

    const auto &rows = plain.rows;
    // The ten samples are the newest, at the right edge: CPU bars up to row 64, the main
    // temperature point at row 50, the fan mark in the top row.
    for (int x = 758; x < 768; x++) {
        EXPECT_EQ(rows[64][x], 1) << x;
        EXPECT_EQ(rows[116][x], 11) << x;
        EXPECT_EQ(rows[103][x], 15) << x;
        EXPECT_EQ(rows[1][x], 1) << x;
        EXPECT_EQ(rows[50][x], 6) << x;
        EXPECT_EQ(rows[127][x], 5) << x;
        EXPECT_EQ(rows[65][x], 0) << x;
    }
    // Older slots are empty but for the grid rows and the "1h" time marks.
    std::vector<int> marks;
    for (int x = 0; x < 758; x++)
        if (rows[10][x] == 12) marks.push_back(x);
    EXPECT_EQ(marks, (std::vector<int>{48, 168, 288, 408, 528, 648}));
    for (int row : {32, 64, 96})
        EXPECT_EQ(rows[row][5], 12) << row;
    EXPECT_EQ(rows[33][5], 0);

    // With the filter clear only the grid and marks remain.
    p_wl_filter->set(0);
    ASSERT_EQ(graph.write(*h, false, plainPath.c_str()), 1);
    Bmp bare = decodeBmp(slurp(plainPath));
    ASSERT_TRUE(bare.ok);
    EXPECT_EQ(bare.rows[50][760], 0);
    EXPECT_EQ(bare.rows[1][760], 0);

    // An image reader that knows BMP takes the file as one.
    if (::access("/usr/bin/file", X_OK) == 0) {
        std::string cmd = "/usr/bin/file -b " + rlePath;
        std::unique_ptr<FILE, int (*)(FILE *)> out(popen(cmd.c_str(), "r"), pclose);
        char line[256] = "";
        ASSERT_TRUE(out && std::fgets(line, sizeof line, out.get()));
        EXPECT_NE(std::strstr(line, "PC bitmap"), nullptr) << line;
        EXPECT_NE(std::strstr(line, "768 x 128 x 4"), nullptr) << line;
    }
}

// After the sample at slot 767 the next one goes to slot 0, which the chart then shows
// at its right edge.
TEST_F(LoadTest, WriteIndexWrapsAndTheChartEndsWithTheNewest) {
    p_deltaload->setText("---", -1);
    box.memory(1000, 100, 100);
    auto h = history(box);
    h->sample();
    long busy = 100, idle = 100;
    for (int i = 0; i < LoadSampleCount - 1; i++) {
        busy += 10;
        idle += 90; // 10 % busy: 12
        box.cpu(busy, idle);
        h->sample();
    }
    ASSERT_EQ(h->writeIndex(), LoadSampleCount - 1);
    busy += 100; // fully busy: held at 127
    box.cpu(busy, idle);
    h->sample();
    EXPECT_EQ(h->writeIndex(), 0);
    EXPECT_EQ(h->value(LoadCpu0, 767), 127);
    busy += 50;
    idle += 50; // half busy: 64
    box.cpu(busy, idle);
    h->sample();
    EXPECT_EQ(h->writeIndex(), 1);
    EXPECT_EQ(h->value(LoadCpu0, 0), 64);
    LoadSample s;
    h->newest(s);
    EXPECT_EQ(s.idle0, 50);

    LoadGraph graph(768, 128);
    const std::string path = box.root + "/w.bmp";
    ASSERT_EQ(graph.write(*h, true, path.c_str()), 1);
    Bmp bmp = decodeBmp(slurp(path));
    ASSERT_TRUE(bmp.ok) << bmp.why;
    EXPECT_EQ(bmp.rows[64][767], 1); // slot 0
    EXPECT_EQ(bmp.rows[65][767], 0);
    EXPECT_EQ(bmp.rows[120][766], 1); // slot 767
    EXPECT_EQ(bmp.rows[12][0], 1);    // slot 1, the oldest
    EXPECT_EQ(bmp.rows[13][0], 0);
}

// The chart file is created afresh: a link standing at its path is replaced, not
// followed, and a path that cannot be written gives 0.
TEST_F(LoadTest, ChartReplacesALinkAndReportsFailure) {
    auto h = history(box);
    const std::string target = box.root + "/target", path = box.root + "/link.bmp";
    box.put("/target", "keep");
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    LoadGraph graph(768, 128);
    ASSERT_EQ(graph.write(*h, true, path.c_str()), 1);
    EXPECT_EQ(slurp(target), "keep");
    EXPECT_TRUE(decodeBmp(slurp(path)).ok);
    EXPECT_EQ(graph.write(*h, true, (box.root + "/missing/dir/w.bmp").c_str()), 0);
}

} // namespace
