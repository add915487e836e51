#include "core/sysinfo.h"

#include "core/platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/rtc.h>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A temporary directory removed with everything in it.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/qmr_sysinfo_XXXXXX";
        const char *p = mkdtemp(tmpl);
        path_ = p ? p : "";
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    const std::string &path() const { return path_; }
    std::string file(const std::string &name, const std::string &content) const {
        std::string p = path_ + "/" + name;
        fs::create_directories(fs::path(p).parent_path());
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }

private:
    std::string path_;
};

std::string fixture(const std::string &rel) {
    return std::string(QMR_FIXTURES) + "/" + rel;
}

ProductParams parseText(const std::string &text) {
    ProductParams p;
    FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    readProductParamsStream(p, f);
    if (f) std::fclose(f);
    return p;
}

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value) : name_(name) {
        const char *old = std::getenv(name);
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv(name, value, 1);
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char *name_;
    bool had_;
    std::string old_;
};

} // namespace

// ---------------------------------------------------------------- product description

TEST(ProductParams, ReadsEveryFieldOfAProductDescription) {
    ProductParams p;
    ASSERT_TRUE(readProductParamsFile(p, fixture("products/p287_4port")));
    EXPECT_EQ(p.productId, 287u); // written "0287"
    EXPECT_EQ(p.hwMajor, 2u);
    EXPECT_EQ(p.hwMinor, 1u);
    EXPECT_STREQ(p.productName, "qmr USB Server 4-port");
    EXPECT_STREQ(p.defaultName, "QMR-0287A1");
    const uint8_t mac[8] = {0x00, 0xc0, 0xeb, 0x12, 0x34, 0x56, 0, 0};
    EXPECT_EQ(std::memcmp(p.factoryMac, mac, 8), 0);
    EXPECT_EQ(p.networkType, 1u);
    EXPECT_EQ(p.phy0Address, 1u);
    EXPECT_EQ(p.phy1Address, 0u);
    EXPECT_EQ(p.usbPorts, 4u);
    EXPECT_STREQ(p.deviceTypes, "UUUU");
    EXPECT_EQ(p.printerPorts, 4); // printer_ports=0 is overwritten by device_types
    EXPECT_EQ(p.usbTypeCount, 4);
    EXPECT_EQ(p.year, 2026u);
    EXPECT_EQ(p.month, 11u);
    EXPECT_EQ(p.serialNo, 4711u);
    EXPECT_EQ(p.creationTime, 1793577600u);
    EXPECT_EQ(serialNumberText(p), "28720261104711");
}

TEST(ProductParams, AMissingFileGivesAZeroRecord) {
    ProductParams p;
    p.productId = 7;
    EXPECT_FALSE(readProductParamsFile(p, "/nonexistent/product_params"));
    EXPECT_EQ(p.productId, 0u);
    EXPECT_EQ(p.productName[0], '\0');
}

TEST(ProductParams, LinesAreReadByTheirKeys) {
    struct Case {
        const char *what;
        std::string text;
        uint32_t productId, usbPorts;
        int32_t printerPorts, usbTypeCount;
        const char *productName;
    } cases[] = {
        {"last line without newline", "usb_ports_phy=2\nhw_project=305", 305, 2, 0, 0, ""},
        {"printer ports before device types", "printer_ports=3\ndevice_types=UUP\n", 0, 0, 3, 2, ""},
        {"printer ports after device types", "device_types=UUP\nprinter_ports=1\n", 0, 0, 1, 2, ""},
        {"the 'U' count adds up over lines", "device_types=UU\ndevice_types=U\n", 0, 0, 1, 3, ""},
        {"only the first '=' splits", "product_name=a=b\n", 0, 0, 0, 0, "a=b"},
        {"lines without '=' are ignored", "hw_project 295\nusb_ports_phy\n", 0, 0, 0, 0, ""},
        {"text after the digits is ignored", "hw_project=295 rev B\n", 295, 0, 0, 0, ""},
        {"empty value leaves zero", "hw_project=\n", 0, 0, 0, 0, ""},
        {"a CRLF line keeps its carriage return", "product_name=x\r\n", 0, 0, 0, 0, "x\r"},
    };
    for (const auto &c : cases) {
        ProductParams p = parseText(c.text);
        EXPECT_EQ(p.productId, c.productId) << c.what;
        EXPECT_EQ(p.usbPorts, c.usbPorts) << c.what;
        EXPECT_EQ(p.printerPorts, c.printerPorts) << c.what;
        EXPECT_EQ(p.usbTypeCount, c.usbTypeCount) << c.what;
        EXPECT_STREQ(p.productName, c.productName) << c.what;
    }
}

TEST(ProductParams, GarbageIsBoundedAndLosesNothingElse) {
    // Numbers that do not fit 32 bits, signs and non-digits leave the field as it was;
    // the good lines around them are still read.
    ProductParams p = parseText("hw_project=295\n"
                                "hw_project=99999999999999999999999\n"
                                "hw_major=4294967296\n"
                                "hw_minor=-1\n"
                                "usb_ports_phy=junk\n"
                                "year=4294967295\n"
                                "serial_no=12\n");
    EXPECT_EQ(p.productId, 295u);
    EXPECT_EQ(p.hwMajor, 0u);
    EXPECT_EQ(p.hwMinor, 0u);
    EXPECT_EQ(p.usbPorts, 0u);
    EXPECT_EQ(p.year, 4294967295u);
    EXPECT_EQ(p.serialNo, 12u);

    // Text fields keep at most 128 characters and stay terminated.
    std::string longName(300, 'n');
    p = parseText("product_name=" + longName + "\ndefault_name=" + longName +
                  "\ndevice_types=" + std::string(200, 'U') + "\n");
    EXPECT_EQ(std::strlen(p.productName), 128u);
    EXPECT_EQ(std::strlen(p.defaultName), 128u);
    EXPECT_EQ(std::strlen(p.deviceTypes), 128u);
    EXPECT_EQ(p.printerPorts, 200);
    EXPECT_EQ(p.usbTypeCount, 200);

    // The tail of an over-long line is not a line of its own.
    p = parseText("product_name=" + std::string(1100, 'x') + "hw_project=666\nhw_minor=3\n");
    EXPECT_EQ(p.productId, 0u);
    EXPECT_EQ(p.hwMinor, 3u);

    // Binary bytes, NULs and a partial MAC address.
    static const char raw[] = "\xff\xfe=\x01\n\0hw_project=1\nethaddr0=0a:zz:c\n\x80\x80\x80";
    std::string bin(raw, sizeof raw - 1);
    p = parseText(bin);
    EXPECT_EQ(p.productId, 0u); // the line is cut at its NUL
    const uint8_t mac[8] = {0x0a, 0, 0x0c, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(p.factoryMac, mac, 8), 0);
}

TEST(ProductParams, SerialNumberTextPadsEachPart) {
    ProductParams p;
    p.productId = 5;
    p.year = 2025;
    p.month = 3;
    p.serialNo = 12;
    EXPECT_EQ(serialNumberText(p), "00520250300012");
}

// The process-wide record honours QMR_ROOT, which a process reads only once: the check
// runs in a fresh child process that gets the root from the environment.
TEST(ProductParamsDeathTest, TheProcessRecordIsReadUnderTheSandboxRoot) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const bool child = std::getenv("QMR_ROOT") != nullptr;
    std::optional<TempDir> root; // made by the parent only: the child ends without cleaning up
    if (!child) {
        root.emplace();
        std::ifstream in(fixture("products/p305_2port"));
        std::stringstream text;
        text << in.rdbuf();
        root->file("proc/product_params", text.str());
        setenv("QMR_ROOT", root->path().c_str(), 1);
    }
    EXPECT_EXIT(
        {
            const ProductParams &p = productParams();
            bool ok = p.productId == 305 && p.usbPorts == 2 && &p == &productParams() &&
                      std::strcmp(p.defaultName, "QMR-0305B2") == 0;
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    if (!child) unsetenv("QMR_ROOT");
}

TEST(MtdPartition, NamesAndSizesOfTheFlashPartitions) {
    FILE *f = std::fopen(fixture("products/p287_4port").c_str(), "r");
    ASSERT_NE(f, nullptr);
    struct Case {
        int partition;
        uint32_t sizeKiB;
        const char *name;
    } cases[] = {{0, 256, "boot"}, {1, 4096, "kernel"}, {2, 16384, "rootfs"}, {3, 0, ""}};
    for (const auto &c : cases) {
        std::rewind(f);
        uint32_t size = 99;
        std::string name = "stale";
        EXPECT_TRUE(readMtdPartitionStream(f, c.partition, size, name));
        EXPECT_EQ(size, c.sizeKiB) << c.partition;
        EXPECT_EQ(name, c.name) << c.partition;
    }
    std::fclose(f);
}

TEST(MtdPartition, LongNamesAndGarbageStayBounded) {
    std::string text = "mtd0_part1_name=" + std::string(60, 'k') + "\n" +
                       "mtd0_part99999999999_size=00001000\n" + "mtd0_part1_size=zz\n" +
                       "mtd0_part2_size=ffffffffff\n" + std::string(500, 'm') + "mtd0_part2_name=tail\n";
    FILE *f = fmemopen(text.data(), text.size(), "r");
    ASSERT_NE(f, nullptr);
    uint32_t size;
    std::string name;
    EXPECT_TRUE(readMtdPartitionStream(f, 1, size, name));
    EXPECT_EQ(name, std::string(31, 'k'));
    EXPECT_EQ(size, 0u);
    std::rewind(f);
    EXPECT_TRUE(readMtdPartitionStream(f, 2, size, name));
    EXPECT_EQ(size, 0xffffffffu / 1024); // eight hex digits at most
    EXPECT_EQ(name, "");                 // the tail of an over-long line is no line
    std::fclose(f);
}

// ---------------------------------------------------------------- time texts and clocks

TEST(TimeTexts, UptimeInDaysHoursMinutesAndSeconds) {
    char buf[32];
    int64_t t = 8640000 + 360000 + 6000 + 100;
    EXPECT_EQ(formatUptime(t, buf, sizeof buf, false), 9);
    EXPECT_STREQ(buf, "  1/01/01");
    EXPECT_EQ(formatUptime(t, buf, sizeof buf, true), 12);
    EXPECT_STREQ(buf, "  1/01/01.01");
    EXPECT_EQ(formatUptime(0, buf, sizeof buf, true), 12);
    EXPECT_STREQ(buf, "  0/00/00.00");
    EXPECT_EQ(
        formatUptime(int64_t(1234) * 8640000 + 23 * 360000 + 59 * 6000 + 59 * 100, buf, sizeof buf, true),
        13);
    EXPECT_STREQ(buf, "1234/23/59.59");
    // A short buffer gets a terminated prefix.
    char small[6];
    EXPECT_EQ(formatUptime(t, small, sizeof small, true), 5);
    EXPECT_STREQ(small, "  1/0");
}

TEST(TimeTexts, DateTimeShowsElapsedTimeWhileTheClockIsUnset) {
    ScopedEnv tz("TZ", "UTC");
    tzset();
    struct Case {
        time_t t;
        const char *text;
    } cases[] = {
        {0, "0000-00-00 23:00:00"}, // hour 0 is shown as 23
        {86400 * 40 + 3 * 3600 + 61, "0000-01-09 02:01:01"},
        {1450000000, "0045-11-12 08:46:40"}, // 2015-12-13 09:46:40
        {1796913723, "2026-12-10 14:42:03"},
    };
    char buf[32];
    for (const auto &c : cases) {
        EXPECT_EQ(formatDateTime(c.t, buf, sizeof buf), 19) << c.t;
        EXPECT_STREQ(buf, c.text) << c.t;
    }
    EXPECT_EQ(formatDateTime(0, buf, 0), 0);
    unsetenv("TZ");
    tzset();
}

TEST(Clock, MsSinceStartCountsFromTheReferenceSecond) {
    // Right after a reset only the milliseconds of the current second remain.
    int64_t ms = msSinceStart(true);
    EXPECT_GE(ms, 0);
    EXPECT_LT(ms, 1000);
    EXPECT_GE(msSinceStart(false), ms);
}

namespace {

// Records what writeRtc asks of the platform.
class RtcPlatform : public Platform {
public:
    const char *name() const override { return "rtc-test"; }
    int start() override { return 0; }
    void stop() override {}
    int open(const char *path, int flags, mode_t) override {
        openedPath = path;
        openFlags = flags;
        return failOpen ? (errno = ENOENT, -1) : 42;
    }
    int close(int fd) override {
        closed = fd;
        return 0;
    }
    int ioctl(int fd, unsigned long request, void *arg) override {
        ioctlFd = fd;
        this->request = request;
        rtc = *static_cast<struct rtc_time *>(arg);
        return ioctlResult;
    }
    ssize_t read(int, void *, size_t) override { return -1; }
    ssize_t write(int, const void *, size_t) override { return -1; }
    off_t lseek(int, off_t, int) override { return -1; }
    void *mmap(void *, size_t, int, int, int, off_t) override { return nullptr; }
    int munmap(void *, size_t) override { return -1; }
    int mount(const char *, const char *, const char *, unsigned long, const void *) override { return -1; }
    int umount2(const char *, int) override { return -1; }
    int setTimeOfDay(const struct timeval *) override { return -1; }

    bool failOpen = false;
    int ioctlResult = 0;
    std::string openedPath;
    int openFlags = -1;
    int closed = -1;
    int ioctlFd = -1;
    unsigned long request = 0;
    struct rtc_time rtc {};
};

} // namespace

TEST(Clock, WriteRtcSetsTheRealTimeClockThroughThePlatform) {
    RtcPlatform pf;
    setPlatform(pf);
    struct tm tm {};
    tm.tm_sec = 5;
    tm.tm_min = 4;
    tm.tm_hour = 3;
    tm.tm_mday = 10;
    tm.tm_mon = 11;
    tm.tm_year = 126;
    tm.tm_wday = 4;
    EXPECT_TRUE(writeRtc(tm));
    EXPECT_EQ(pf.openedPath, "/dev/rtc0");
    EXPECT_EQ(pf.openFlags & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(pf.request, static_cast<unsigned long>(RTC_SET_TIME));
    EXPECT_EQ(pf.ioctlFd, 42);
    EXPECT_EQ(pf.closed, 42);
    EXPECT_EQ(pf.rtc.tm_sec, 5);
    EXPECT_EQ(pf.rtc.tm_min, 4);
    EXPECT_EQ(pf.rtc.tm_hour, 3);
    EXPECT_EQ(pf.rtc.tm_mday, 10);
    EXPECT_EQ(pf.rtc.tm_mon, 11);
    EXPECT_EQ(pf.rtc.tm_year, 126);

    pf.ioctlResult = -1;
    EXPECT_FALSE(writeRtc(tm));

    RtcPlatform missing;
    missing.failOpen = true;
    setPlatform(missing);
    EXPECT_FALSE(writeRtc(tm));
    EXPECT_EQ(missing.ioctlFd, -1);
    setPlatform(linuxPlatform());
}

// ---------------------------------------------------------------- small system files

TEST(SystemFiles, ReadIntFileTakesOneNumber) {
    TempDir dir;
    struct Case {
        const char *content;
        bool hex, ok;
        long value;
    } cases[] = {
        {"0x1f\n", true, true, 31},       {"1f", true, true, 31},
        {"42\n", false, true, 42},        {"-5\n", false, true, -5},
        {"45000 \n", false, true, 45000}, {"", false, false, 0},
        {"\n", false, false, 0},          {"abc\n", false, false, 0},
        {"12ab\n", false, false, 0},      {"99999999999999999999999\n", false, false, 0},
        {"1f\n", false, false, 0},
    };
    for (const auto &c : cases) {
        std::string p = dir.file("v", c.content);
        long v = 77;
        EXPECT_EQ(readIntFile(v, p, c.hex), c.ok) << c.content;
        EXPECT_EQ(v, c.ok ? c.value : 77) << c.content;
    }
    long v = 0;
    EXPECT_FALSE(readIntFile(v, dir.path() + "/missing", false));
    EXPECT_TRUE(readSysfsInt(v, dir.file("s", "3\n"), false));
    EXPECT_EQ(v, 3);
    // A text longer than 128 bytes is refused rather than cut inside its number.
    EXPECT_FALSE(readIntFile(v, dir.file("big", std::string(127, ' ') + "12"), false));
}

TEST(SystemFiles, WriteFileReplacesTheContentOrReportsThePath) {
    TempDir dir;
    std::string p = dir.file("w", "old content that is longer");
    EXPECT_TRUE(writeFile(p, "512\n"));
    char buf[64];
    ASSERT_TRUE(readFileLine(buf, sizeof buf, p));
    EXPECT_STREQ(buf, "512");
    EXPECT_EQ(fs::file_size(p), 4u);

    std::string bad = dir.path() + "/no/such/dir";
    testing::internal::CaptureStderr();
    EXPECT_FALSE(writeFile(bad, "x"));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(bad), std::string::npos);
    EXPECT_NE(err.find(std::strerror(ENOENT)), std::string::npos);
}

TEST(SystemFiles, ReadFileLineCutsAtNewlineOrBufferSize) {
    TempDir dir;
    char buf[8];
    EXPECT_TRUE(readFileLine(buf, sizeof buf, dir.file("a", "up\ndown\n")));
    EXPECT_STREQ(buf, "up");
    EXPECT_TRUE(readFileLine(buf, sizeof buf, dir.file("b", "0123456789")));
    EXPECT_STREQ(buf, "0123456");
    EXPECT_FALSE(readFileLine(buf, sizeof buf, dir.file("c", "")));
    EXPECT_FALSE(readFileLine(buf, sizeof buf, dir.path() + "/missing"));
}

TEST(SystemFiles, CpuMhzFromCpufreqElseBogoMips) {
    TempDir dir;
    std::string none = dir.path() + "/missing";
    std::string freq = dir.file("freq", "1199500\n");
    std::string arm = dir.file("cpuinfo", "processor\t: 0\nBogoMIPS\t: 48.00\nFeatures\t: fp\n"
                                          "BogoMIPS\t: 99.00\n");
    std::string x86 = dir.file("cpuinfo86", "processor\t: 0\nbogomips\t: 5000.00\n");
    EXPECT_EQ(cpuMhzFrom(freq, arm), 1200);
    EXPECT_EQ(cpuMhzFrom(none, arm), 48);
    EXPECT_EQ(cpuMhzFrom(dir.file("badfreq", "fast\n"), arm), 48);
    EXPECT_EQ(cpuMhzFrom(none, x86), 0);
    EXPECT_EQ(cpuMhzFrom(none, none), 0);
    EXPECT_EQ(cpuMhzFrom(none, dir.file("junk", std::string(5000, '\xff') + "\nBogoMIPS no colon\n")), 0);
}

TEST(SystemFiles, MemInfoNeedsAllFiveLines) {
    TempDir dir;
    const std::string full = "MemTotal:        2014744 kB\n"
                             "MemFree:          123456 kB\n"
                             "MemAvailable:    1500000 kB\n"
                             "Buffers:           65432 kB\n"
                             "Cached:           700000 kB\n"
                             "SwapCached:            0 kB\n";
    unsigned long freeKiB, avail, total;
    ASSERT_TRUE(readMemInfoFile(dir.file("m", full), freeKiB, avail, total));
    EXPECT_EQ(total, 2014744u);
    EXPECT_EQ(freeKiB, 123456u);
    EXPECT_EQ(avail, 123456u + 700000u); // free + Cached, not the kernel's estimate

    const char *broken[] = {
        "MemTotal: 100 kB\nMemFree: 50 kB\nBuffers: 1 kB\nCached: 2 kB\n", // no MemAvailable
        "MemTotal: 100 kB\nMemFree: x kB\nMemAvailable: 1 kB\nBuffers: 1 kB\nCached: 2 kB\n",
        "MemTotal: 99999999999999999999999 kB\nMemFree: 5 kB\nMemAvailable: 1 kB\nBuffers: 1 kB\nCached: 2 "
        "kB\n",
        "\xff\xfe\x00garbage",
    };
    for (const char *text : broken)
        EXPECT_FALSE(readMemInfoFile(dir.file("b", text), freeKiB, avail, total)) << text;
    EXPECT_FALSE(readMemInfoFile(dir.path() + "/missing", freeKiB, avail, total));
    EXPECT_EQ(total, 0u);
}

TEST(SystemFiles, WirelessPresentWhenWlan0IsListed) {
    TempDir dir;
    const std::string header =
        "Inter-| sta-|   Quality        |   Discarded packets               | Missed | WE\n"
        " face | tus | link level noise |  nwid  crypt   frag  retry   misc | beacon | 22\n";
    const std::string wlan = " wlan0: 0000   70.  -40.  -256        0      0      0      0      0        0\n";
    EXPECT_TRUE(wirelessPresentFile(dir.file("a", header + wlan)));
    EXPECT_FALSE(wirelessPresentFile(dir.file("b", header)));
    EXPECT_FALSE(wirelessPresentFile(dir.file("c", "wlan0"))); // 5 bytes
    EXPECT_TRUE(wirelessPresentFile(dir.file("d", "wlan0:"))); // 6 bytes
    EXPECT_FALSE(wirelessPresentFile(dir.file("e", header + std::string(1000, ' ') + wlan)));
    EXPECT_FALSE(wirelessPresentFile(dir.path() + "/missing"));
}

TEST(SystemFiles, DiskSpaceInKiB) {
    uint64_t total = 1, freeKiB = 1;
    ASSERT_TRUE(diskSpace("/tmp", total, freeKiB));
    EXPECT_GT(total, 0u);
    EXPECT_LE(freeKiB, total);
    EXPECT_FALSE(diskSpace("/nonexistent/dir", total, freeKiB));
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(freeKiB, 0u);
}

// ---------------------------------------------------------------- message catalogue

TEST(MessageCatalogue, TranslatesThroughTheBoundCatalogue) {
    TempDir dir;
    std::string mo = dir.path() + "/de/LC_MESSAGES/qmr.mo";
    fs::create_directories(fs::path(mo).parent_path());
    std::string cmd = "msgfmt -o '" + mo + "' '" + fixture("locale/de/LC_MESSAGES/qmr.po") + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;

    // The language comes from LANGUAGE, which the C library honours in any locale but "C".
    ScopedEnv language("LANGUAGE", "de");
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    ASSERT_TRUE(bindMessageCatalogue(dir.path()));

    EXPECT_STREQ(getmuText("Access denied"), "Zugriff verweigert");
    EXPECT_STREQ(getmuText("Device warning overheating %d°C limit:%d°C"),
                 "Gerätewarnung Überhitzung %d°C Grenze:%d°C");
    // Without a translation the message itself comes back.
    const char *untranslated = "No such text in the catalogue";
    EXPECT_EQ(getmuText(untranslated), untranslated);
    // The empty text is not looked up (it would give the catalogue's header).
    EXPECT_STREQ(getmuText(""), "");
    EXPECT_STREQ(getmuText(nullptr), "");

    std::setlocale(LC_ALL, "C");
}

TEST(MessageCatalogue, UntranslatedWithoutCatalogue) {
    const char *msg = "SD card found.";
    EXPECT_STREQ(getmuText(msg), msg);
}

TEST(MessageCatalogue, AFailedLockGivesTheMessageUntranslated) {
    // The mutex checks its owner: a second lock from the same thread fails at once.
    pthread_mutex_t &m = messageCatalogueMutex();
    ASSERT_EQ(pthread_mutex_lock(&m), 0);
    testing::internal::CaptureStdout();
    const char *msg = "Access denied";
    const char *text = getmuText(msg);
    std::string out = testing::internal::GetCapturedStdout();
    pthread_mutex_unlock(&m);
    EXPECT_EQ(text, msg);
    EXPECT_EQ(out, "getmuText(Access denied) task:NoTask tryLocking....\n");
}
