#include "core/sysinfo.h"

#include "core/catalogue.h"

#include "core/platform.h"
#include "core/sysroot.h"
#include "core/task.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libintl.h>
#include <linux/rtc.h>
#include <memory>
#include <sys/statfs.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// A descriptor closed when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }

private:
    int fd_;
};

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

FilePtr openRead(const std::string &path) {
    return FilePtr(std::fopen(path.c_str(), "re"));
}

// Reads at most max bytes of a file into buf (not terminated); -1 when it cannot be
// opened. Short reads of proc and sysfs files are continued until the end or max.
ssize_t readSome(const std::string &path, int flags, char *buf, size_t max) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | flags));
    if (!fd.ok()) return -1;
    size_t n = 0;
    while (n < max) {
        ssize_t r = ::read(fd.get(), buf + n, max - n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        n += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(n);
}

// Splits a small text file into lines with bounded buffers. A line longer than the
// buffer keeps its first size - 1 characters and loses the rest, so the tail of an
// over-long line is never taken for a line of its own; reading stops after a byte
// budget, so a runaway file cannot keep the reader busy.
class LineReader {
public:
    LineReader(FILE *in, size_t budget) : in_(in), budget_(budget) {}

    // The next line without its newline; false at the end of the input.
    bool next(char *buf, size_t size) {
        if (size == 0) return false;
        size_t n = 0;
        bool any = false;
        int c;
        while (budget_ > 0 && (c = std::getc(in_)) != EOF) {
            budget_--;
            any = true;
            if (c == '\n') break;
            if (n + 1 < size) buf[n++] = static_cast<char>(c);
        }
        buf[n] = '\0';
        return any;
    }

private:
    FILE *in_;
    size_t budget_;
};

// The product description and /proc/meminfo are a few hundred bytes.
constexpr size_t SmallFileBudget = 64 * 1024;

bool startsWith(const char *s, const char *prefix) {
    return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

// An unsigned decimal number that fits 32 bits, leading blanks allowed, the text after
// the digits ignored. No digits, a sign or an overflow: false.
bool parseU32(const char *s, uint32_t &out) {
    while (std::isspace(static_cast<unsigned char>(*s)))
        s++;
    if (!std::isdigit(static_cast<unsigned char>(*s))) return false;
    errno = 0;
    char *end = nullptr;
    unsigned long v = std::strtoul(s, &end, 10);
    if (errno == ERANGE || v > UINT32_MAX) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Copies at most 128 characters of the value into a 129-byte text field.
void copyText(char (&field)[128 + 1], const char *value) {
    size_t n = strnlen(value, 128);
    std::memcpy(field, value, n);
    field[n] = '\0';
}

// Byte i of "ethaddr0" is the hexadecimal number of one or two digits at character 3 × i;
// a byte whose place holds no digit keeps 0.
void parseMac(uint8_t (&mac)[8], const char *value) {
    size_t len = std::strlen(value);
    for (size_t i = 0; i < sizeof mac; i++) {
        size_t at = 3 * i;
        if (at >= len) break;
        int hi = hexDigit(value[at]);
        if (hi < 0) continue;
        int lo = at + 1 < len ? hexDigit(value[at + 1]) : -1;
        mac[i] = static_cast<uint8_t>(lo < 0 ? hi : hi * 16 + lo);
    }
}

// One line of the product description; lines without '=' are ignored. The tests run in
// this order and the first that matches takes the line.
void productLine(ProductParams &p, const char *line) {
    const char *eq = std::strchr(line, '=');
    if (eq == nullptr) return;
    const char *value = eq + 1;

    struct NumberKey {
        const char *key;
        uint32_t ProductParams::*field;
    };
    static const NumberKey numberKeys[] = {
        {"network_type", &ProductParams::networkType},
        {"phy0_addr", &ProductParams::phy0Address},
        {"phy1_addr", &ProductParams::phy1Address},
        {"printer_ports", nullptr}, // a signed field, stored below
        {"usb_ports_phy", &ProductParams::usbPorts},
        {"hw_major", &ProductParams::hwMajor},
        {"hw_minor", &ProductParams::hwMinor},
        {"hw_project", &ProductParams::productId},
        {"year", &ProductParams::year},
        {"month", &ProductParams::month},
        {"serial_no", &ProductParams::serialNo},
        {"creation_time", &ProductParams::creationTime},
    };

    if (startsWith(line, "product_name")) {
        copyText(p.productName, value);
        return;
    }
    if (startsWith(line, "default_name")) {
        copyText(p.defaultName, value);
        return;
    }
    if (std::strstr(line, "ethaddr0") != nullptr) {
        parseMac(p.factoryMac, value);
        return;
    }
    for (const auto &k : numberKeys) {
        if (!startsWith(line, k.key)) continue;
        // A value that is not a 32-bit number leaves the field as it was.
        uint32_t v;
        if (parseU32(value, v)) {
            if (k.field != nullptr)
                p.*k.field = v;
            else
                p.printerPorts = v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v);
        }
        return;
    }
    if (std::strstr(line, "device_types") != nullptr) {
        copyText(p.deviceTypes, value);
        size_t len = std::strlen(value);
        p.printerPorts = static_cast<int32_t>(len);
        int32_t usb = 0;
        for (size_t i = 0; i < len; i++)
            usb += value[i] == 'U';
        p.usbTypeCount += usb;
    }
}

std::atomic<long> referenceSecond{0};

pthread_mutex_t catalogueMutex = PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP;

} // namespace

// ---------------------------------------------------------------- product description

void readProductParamsStream(ProductParams &record, FILE *in) {
    record = ProductParams{};
    if (in == nullptr) return;
    LineReader lines(in, SmallFileBudget);
    char line[1024];
    while (lines.next(line, sizeof line))
        productLine(record, line);
}

bool readProductParamsFile(ProductParams &record, const std::string &path) {
    record = ProductParams{};
    FilePtr f = openRead(path);
    if (!f) return false;
    readProductParamsStream(record, f.get());
    return true;
}

bool readProductParams(ProductParams &record) {
    return readProductParamsFile(record, sysPath("/proc/product_params"));
}

const ProductParams &productParams() {
    // Read on first use rather than at static initialisation, so that QMR_ROOT is
    // honoured whatever the order in which global objects are built.
    static const ProductParams params = [] {
        ProductParams p;
        readProductParams(p);
        return p;
    }();
    return params;
}

std::string serialNumberText(const ProductParams &record) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%03d%04d%02d%05d", static_cast<int>(record.productId),
                  static_cast<int>(record.year), static_cast<int>(record.month),
                  static_cast<int>(record.serialNo));
    return buf;
}

bool readMtdPartitionStream(FILE *in, int partition, uint32_t &sizeKiB, std::string &name) {
    sizeKiB = 0;
    name.clear();
    if (in == nullptr) return false;
    LineReader lines(in, SmallFileBudget);
    char line[64];
    while (lines.next(line, sizeof line)) {
        int n = 0;
        char text[32];
        unsigned size = 0;
        if (std::sscanf(line, "mtd0_part%9d_name=%31[^\n]", &n, text) == 2) {
            if (n == partition) name = text;
        } else if (std::sscanf(line, "mtd0_part%9d_size=%8x", &n, &size) == 2) {
            if (n == partition) sizeKiB = size / 1024;
        }
    }
    return true;
}

bool readMtdPartition(int partition, uint32_t &sizeKiB, std::string &name) {
    FilePtr f = openRead(sysPath("/proc/product_params"));
    if (!f) {
        sizeKiB = 0;
        name.clear();
        return false;
    }
    return readMtdPartitionStream(f.get(), partition, sizeKiB, name);
}

// ---------------------------------------------------------------- time texts and clocks

static int clipped(int n, size_t size) {
    if (n < 0) return 0;
    return static_cast<size_t>(n) < size ? n : static_cast<int>(size - 1);
}

int formatUptime(int64_t ticks, char *buf, size_t size, bool withSeconds) {
    if (buf == nullptr || size == 0) return 0;
    long long days = ticks / 8640000;
    long long hours = ticks / 360000 % 24;
    long long minutes = ticks / 6000 % 60;
    int n = std::snprintf(buf, size, "%3lld/%02lld/%02lld", days, hours, minutes);
    n = clipped(n, size);
    if (withSeconds)
        n += clipped(std::snprintf(buf + n, size - n, ".%02lld", static_cast<long long>(ticks / 100 % 60)),
                     size - n);
    return n;
}

int formatDateTime(time_t t, char *buf, size_t size) {
    if (buf == nullptr || size == 0) return 0;
    struct tm tm;
    if (localtime_r(&t, &tm) == nullptr) return 0;
    int year = tm.tm_year + 1900;
    int month = tm.tm_mon + 1;
    int day = tm.tm_mday;
    int hour = tm.tm_hour;
    if (year <= 2015) {
        // The clock was never set: show the time elapsed since 1970.
        year -= 1970;
        month -= 1;
        day -= 1;
        hour = hour == 0 ? 23 : hour - 1;
    }
    int n = std::snprintf(buf, size, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, tm.tm_min,
                          tm.tm_sec);
    return clipped(n, size);
}

int64_t msSinceStart(bool reset) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    if (reset) referenceSecond.store(tv.tv_sec, std::memory_order_relaxed);
    long ref = referenceSecond.load(std::memory_order_relaxed);
    uint32_t ms = static_cast<uint32_t>(tv.tv_sec - ref) * 1000u + static_cast<uint32_t>(tv.tv_usec / 1000);
    return static_cast<int32_t>(ms);
}

bool writeRtc(const struct tm &time) {
    std::string dev = sysPath("/dev/rtc0");
    Platform &pf = platform();
    int fd = pf.open(dev.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct rtc_time rt;
    std::memset(&rt, 0, sizeof rt);
    rt.tm_sec = time.tm_sec;
    rt.tm_min = time.tm_min;
    rt.tm_hour = time.tm_hour;
    rt.tm_mday = time.tm_mday;
    rt.tm_mon = time.tm_mon;
    rt.tm_year = time.tm_year;
    int r = pf.ioctl(fd, RTC_SET_TIME, &rt);
    pf.close(fd);
    return r == 0;
}

// ---------------------------------------------------------------- small system files

bool readIntFile(long &value, const std::string &path, bool hex) {
    // One byte more than the 128 that count: a longer text would be cut inside its number.
    char buf[128 + 2];
    ssize_t n = readSome(path, 0, buf, 128 + 1);
    if (n <= 0 || n > 128) return false;
    if (n > 1 && buf[n - 1] == '\n') n--;
    buf[n] = '\0';
    // Text that is not a number (or does not fit) is refused rather than read as 0.
    errno = 0;
    char *end = nullptr;
    long v = std::strtol(buf, &end, hex ? 16 : 10);
    if (end == buf || errno == ERANGE) return false;
    while (std::isspace(static_cast<unsigned char>(*end)))
        end++;
    if (*end != '\0') return false;
    value = v;
    return true;
}

bool readSysfsInt(long &value, const std::string &path, bool hex) {
    return readIntFile(value, path, hex);
}

bool writeFile(const std::string &path, const char *text) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.ok()) {
        std::perror(path.c_str());
        return false;
    }
    size_t len = text ? std::strlen(text) : 0;
    size_t done = 0;
    while (done < len) {
        ssize_t w = ::write(fd.get(), text + done, len - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            std::perror(path.c_str());
            return false;
        }
        done += static_cast<size_t>(w);
    }
    return true;
}

bool readFileLine(char *buf, size_t size, const std::string &path) {
    if (buf == nullptr || size == 0) return false;
    ssize_t n = readSome(path, O_NONBLOCK, buf, size - 1);
    if (n <= 0) {
        buf[0] = '\0';
        return false;
    }
    buf[n] = '\0';
    if (char *nl = static_cast<char *>(std::memchr(buf, '\n', static_cast<size_t>(n)))) *nl = '\0';
    return true;
}

int cpuMhzFrom(const std::string &curFreqPath, const std::string &cpuinfoPath) {
    long kHz;
    if (readIntFile(kHz, curFreqPath, false)) return static_cast<int>((kHz + 500) / 1000);
    FilePtr f = openRead(cpuinfoPath);
    if (!f) return 0;
    LineReader lines(f.get(), SmallFileBudget);
    char line[256];
    while (lines.next(line, sizeof line)) {
        if (!startsWith(line, "BogoMIPS")) continue;
        const char *colon = std::strchr(line, ':');
        if (colon == nullptr) return 0;
        errno = 0;
        long v = std::strtol(colon + 1, nullptr, 10);
        if (errno == ERANGE || v < INT_MIN || v > INT_MAX) return 0;
        return static_cast<int>(v);
    }
    return 0;
}

int cpuMhz() {
    return cpuMhzFrom(sysPath("/sys/devices/system/cpu/cpufreq/policy0/cpuinfo_cur_freq"),
                      sysPath("/proc/cpuinfo"));
}

bool readMemInfoFile(const std::string &path, unsigned long &free, unsigned long &available,
                     unsigned long &total) {
    free = available = total = 0;
    FilePtr f = openRead(path);
    if (!f) return false;
    enum { Total, Free, Available, Buffers, Cached, Count };
    static const char *const keys[Count] = {"MemTotal:", "MemFree:", "MemAvailable:", "Buffers:", "Cached:"};
    unsigned long values[Count] = {};
    bool found[Count] = {};
    LineReader lines(f.get(), SmallFileBudget);
    char line[256];
    while (lines.next(line, sizeof line)) {
        for (int k = 0; k < Count; k++) {
            if (found[k] || !startsWith(line, keys[k])) continue;
            const char *p = line + std::strlen(keys[k]);
            while (*p == ' ' || *p == '\t')
                p++;
            if (!std::isdigit(static_cast<unsigned char>(*p))) break;
            errno = 0;
            unsigned long v = std::strtoul(p, nullptr, 10);
            if (errno == ERANGE) break;
            values[k] = v;
            found[k] = true;
            break;
        }
    }
    total = values[Total];
    free = values[Free];
    available = values[Free] + values[Cached];
    for (bool b : found)
        if (!b) return false;
    return true;
}

bool readMemInfo(unsigned long &free, unsigned long &available, unsigned long &total) {
    return readMemInfoFile(sysPath("/proc/meminfo"), free, available, total);
}

bool wirelessPresentFile(const std::string &path) {
    char buf[1024];
    ssize_t n = readSome(path, 0, buf, sizeof buf);
    return n > 5 && n < 1022 && memmem(buf, static_cast<size_t>(n), "wlan0:", 6) != nullptr;
}

bool wirelessPresent() {
    return wirelessPresentFile(sysPath("/proc/net/wireless"));
}

bool diskSpace(const std::string &path, uint64_t &totalKiB, uint64_t &freeKiB) {
    totalKiB = freeKiB = 0;
    struct statfs st;
    if (statfs(path.c_str(), &st) != 0) return false;
    // Multiplied before dividing, so that blocks smaller than 1 KiB still count.
    auto kib = [&](unsigned long long blocks) {
        unsigned __int128 v =
            static_cast<unsigned __int128>(blocks) * static_cast<unsigned long>(st.f_bsize) / 1024;
        return v > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(v);
    };
    totalKiB = kib(st.f_blocks);
    freeKiB = kib(st.f_bfree);
    return true;
}

// ---------------------------------------------------------------- message catalogue

bool bindMessageCatalogue(const std::string &localeDir) {
    setCatalogueDirectory(localeDir);
    if (bindtextdomain(MessageDomain, localeDir.c_str()) == nullptr) return false;
    if (bind_textdomain_codeset(MessageDomain, "UTF-8") == nullptr) return false;
    return textdomain(MessageDomain) != nullptr;
}

pthread_mutex_t &messageCatalogueMutex() {
    return catalogueMutex;
}

const char *getmuText(const char *message) {
    // The empty text would give the catalogue's header entry.
    if (message == nullptr || message[0] == '\0') return message ? message : "";
    // A thread that chose its language (a web request) reads its own catalogue.
    const MessageCatalogue *own = nullptr;
    if (threadLanguage(own)) return own ? own->translate(message) : message;
    if (pthread_mutex_lock(&catalogueMutex) != 0) {
        std::printf("%s(%s) task:%s tryLocking....\n", "getmuText", message, Task::currentName());
        std::fflush(stdout);
        return message;
    }
    const char *text = dgettext(MessageDomain, message);
    pthread_mutex_unlock(&catalogueMutex);
    return text;
}

bool isWifiProduct(unsigned productId) {
    switch (productId) {
    case 283:
    case 284:
    case 297:
    case 298:
    case 302:
    case 304:
    case 306:
    case 314:
    case 1001:
        return true;
    default:
        return false;
    }
}
