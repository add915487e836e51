// The load history: sampling the CPU counters, the memory figures, the sensors and the
// USB transfer counters into one byte per series and sample.
#include "core/load.h"

#include "core/monilog.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/sysroot.h"
#include "param_catalogue.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// A /proc/stat line is read whole up to this length; the rest of a longer line is
// skipped, so that its tail is never taken for a line of its own.
constexpr size_t CpuStatLineMax = 512;
// Jiffy counts above this are not believed (about 89,000 years at 100 Hz); the bound
// keeps every sum and product of the sampler within 64 bits.
constexpr unsigned long JiffyLimit = 1ul << 48;

constexpr int64_t StatusInterval = 6000;

// One line of the stream into buf (at most size - 1 characters, newline dropped); a
// longer line is cut and its remainder skipped. False at the end of the stream.
bool readLine(FILE *in, char *buf, size_t size) {
    if (std::fgets(buf, static_cast<int>(size), in) == nullptr) return false;
    size_t n = std::strlen(buf);
    if (n > 0 && buf[n - 1] == '\n') {
        buf[n - 1] = '\0';
        return true;
    }
    int c;
    while ((c = std::fgetc(in)) != EOF && c != '\n') {
    }
    return true;
}

// Seven counters after the line's name: user, nice, system, idle, iowait, irq and
// softirq. False when fewer are there or one is out of bounds.
bool scanCounters(const char *p, unsigned long (&v)[7]) {
    for (unsigned long &value : v) {
        while (*p == ' ' || *p == '\t')
            p++;
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
        errno = 0;
        char *end = nullptr;
        unsigned long long n = std::strtoull(p, &end, 10);
        if (errno == ERANGE || n > JiffyLimit) return false;
        value = static_cast<unsigned long>(n);
        p = end;
    }
    return true;
}

long clampSample(long v) {
    return std::clamp(v, 0L, 127L);
}

// share × 128 / whole, of two counts within the jiffy bound.
long share128(long part, long whole) {
    return part * 128 / whole;
}

// 128 minus part × 128 / whole, for memory figures that may be anything.
long usedShare(unsigned long part, unsigned long whole) {
    unsigned __int128 scaled = static_cast<unsigned __int128>(part) * 128 / whole;
    return scaled >= 128 ? 0 : 128 - static_cast<long>(scaled);
}

// KiB over ticks of 10 ms, in MiB/s.
long rateOf(uint64_t kib, int64_t elapsed) {
    if (elapsed <= 0) return 0;
    unsigned __int128 rate =
        static_cast<unsigned __int128>(kib) * 100 / (static_cast<uint64_t>(elapsed) * 1024);
    return rate > INT_MAX ? INT_MAX : static_cast<long>(rate);
}

} // namespace

bool parseCpuStat(FILE *in, CpuCounters &out) {
    out = CpuCounters{};
    bool haveCore0 = false;
    char line[CpuStatLineMax];
    while (readLine(in, line, sizeof line)) {
        if (std::strncmp(line, "cpu", 3) != 0) break;
        if (line[3] == ' ') continue; // the aggregate of all cores
        int core = line[3] - '0';
        if ((core != 0 && core != 1) || (line[4] != ' ' && line[4] != '\t'))
            break; // another core: the two that count came first
        unsigned long v[7];
        if (!scanCounters(line + 4, v)) continue;
        long busy = static_cast<long>(v[0] + v[1] + v[2] + v[5] + v[6]);
        long total = busy + static_cast<long>(v[3] + v[4]);
        if (core == 0) {
            out.busy0 = busy;
            out.total0 = total;
            haveCore0 = true;
        } else {
            out.busy1 = busy;
            out.total1 = total;
        }
    }
    return haveCore0;
}

bool readCpuStatFile(const std::string &path, CpuCounters &out) {
    out = CpuCounters{};
    std::unique_ptr<FILE, int (*)(FILE *)> in(std::fopen(path.c_str(), "re"), std::fclose);
    if (!in) return false;
    return parseCpuStat(in.get(), out);
}

bool readCpuStat(long &total0, long &busy0, long &total1, long &busy1) {
    CpuCounters c;
    total1 = -1;
    bool ok = readCpuStatFile(sysPath("/proc/stat"), c);
    total0 = c.total0;
    busy0 = c.busy0;
    total1 = c.total1;
    busy1 = c.busy1;
    return ok;
}

LoadHistory::LoadHistory(SensorSetup setup, std::string statPath, std::string meminfoPath)
    : setup_(std::move(setup)), statPath_(std::move(statPath)), meminfoPath_(std::move(meminfoPath)) {
    for (auto &series : samples_)
        for (auto &s : series)
            s.store(0, std::memory_order_relaxed);
}

uint8_t LoadHistory::value(int series, int slot) const {
    if (series < 0 || series >= LoadSeriesCount || slot < 0 || slot >= LoadSampleCount) return 0;
    return samples_[series][slot].load(std::memory_order_relaxed);
}

void LoadHistory::store(int series, int slot, long v) {
    samples_[series][slot].store(static_cast<uint8_t>(v), std::memory_order_relaxed);
}

void LoadHistory::reset() {
    for (auto &series : samples_)
        for (auto &s : series)
            s.store(0, std::memory_order_relaxed);
    writeIndex_.store(0, std::memory_order_relaxed);
    rateTick_ = now();
    usbInKiB_.store(0, std::memory_order_relaxed);
    usbOutKiB_.store(0, std::memory_order_relaxed);
    usbInMax_.store(0, std::memory_order_relaxed);
    usbOutMax_.store(0, std::memory_order_relaxed);
}

void LoadHistory::sampleCpu(int slot, const CpuCounters *cpu) {
    // Core 0.
    long total = cpu ? cpu->total0 - previous_.total0 : 0;
    long busy = cpu ? std::clamp(cpu->busy0 - previous_.busy0, 0L, std::max(total, 0L)) : 0;
    if (total <= 0) {
        store(LoadCpu0, slot, LoadNoCpu);
        cpuPercent0_ = -1;
    } else {
        store(LoadCpu0, slot, clampSample(share128(busy, total)));
        cpuPercent0_ = static_cast<int>(busy * 100 / total);
    }

    // Core 1: none at all, or none at the previous sample.
    if (cpu == nullptr || cpu->total1 < 0) {
        store(LoadCpu1, slot, LoadNoCpu);
        cpuPercent1_ = 0;
        return;
    }
    total = previous_.total1 < 0 ? 0 : cpu->total1 - previous_.total1;
    busy = std::clamp(cpu->busy1 - previous_.busy1, 0L, std::max(total, 0L));
    if (total <= 0) {
        store(LoadCpu1, slot, LoadNoCpu);
        cpuPercent1_ = -1;
    } else {
        store(LoadCpu1, slot, clampSample(share128(busy, total)));
        cpuPercent1_ = static_cast<int>(busy * 100 / total);
    }
}

void LoadHistory::sampleMemory(int slot, unsigned long &free, unsigned long &available,
                               unsigned long &total) {
    // Without a total there is nothing to divide by: the memory series keep their
    // slot as it was.
    if (!readMemInfoFile(meminfoPath_, free, available, total) || total == 0) {
        free = available = total = 0;
        return;
    }
    store(LoadMemFree, slot, clampSample(usedShare(free, total)));
    store(LoadMemAvailable, slot, clampSample(usedShare(available, total)));
}

bool LoadHistory::readSensor(const char *file, long &value) const {
    return file != nullptr && readIntFile(value, setup_.path(file), false);
}

void LoadHistory::sampleSensors(int slot) {
    const unsigned product = setup_.productId;
    const bool extended = hasExtendedSensorBoard(product);
    const LoadSensorFiles files = loadSensorFiles(setup_);
    auto temperature = [&](int series, long degrees) {
        long v = product == 317 ? degrees + 32 : degrees - LoadTemperatureOffset;
        store(series, slot, clampSample(v));
    };
    auto current = [&](int series, long microamperes, long divider) {
        long ua = std::clamp(microamperes, -1000000000L, 1000000000L);
        store(series, slot, clampSample((ua + 5000) / divider));
    };
    long v;

    if (readSensor(files.mainTemperature, v)) {
        store(LoadMainTemperature, slot, clampSample(milliToDegrees(v) - LoadTemperatureOffset));
        mainTenths_ = static_cast<int>((std::clamp(v, -1000000000L, 1000000000L) + 50) / 100);
    }
    if ((extended || product == 317) && readSensor("/sys/class/hwmon/hwmon0/temp1_input", v))
        temperature(LoadTemperature2, milliToDegrees(v));

    // Product 294 has its two current sensors the other way round.
    const int seriesA = product == 294 ? LoadCurrentB : LoadCurrentA;
    const int seriesB = product == 294 ? LoadCurrentA : LoadCurrentB;
    if (readSensor(files.currentA, v)) current(seriesA, v, 10000);
    if (readSensor(files.currentB, v)) current(seriesB, v, product == 307 ? 30000 : 10000);

    if ((product == 295 || product == 317) && readSensor("/sys/class/hwmon/hwmon1/temp1_input", v))
        temperature(LoadTemperature3, milliToDegrees(v));
    if (product == 295 && readSensor("/sys/class/hwmon/hwmon2/temp1_input", v))
        store(LoadPhyTemperature, slot, clampSample(milliToDegrees(v) - LoadTemperatureOffset));
    if (product == 307 && readSensor(PhyTemperatureFile, v))
        store(LoadPhyTemperature, slot, clampSample(boundDegrees(v) - LoadTemperatureOffset));
    if (product == 295) {
        if (readSensor("/sys/class/hwmon/hwmon5/current_c1", v)) current(LoadCurrentC, v, 10000);
        if (readSensor("/sys/class/hwmon/hwmon5/current_c2", v)) current(LoadCurrentD, v, 10000);
        if (auto fan = sensorHooks().fanControl) store(LoadFan, slot, fan(-1) != 0 ? 1 : 0);
    }
}

void LoadHistory::sampleRates(int slot) {
    const int64_t t = now();
    const int64_t elapsed = t - rateTick_;
    if (elapsed == 0) return;
    // Taking a counter and zeroing it is one step: a transfer added meanwhile counts
    // in the next sample instead of being lost.
    long in = rateOf(usbInKiB_.exchange(0, std::memory_order_relaxed), elapsed);
    long out = rateOf(usbOutKiB_.exchange(0, std::memory_order_relaxed), elapsed);
    store(LoadUsbIn, slot, clampSample(in * 128 / 200));
    store(LoadUsbOut, slot, clampSample(out * 128 / 200));
    if (in > usbInMax_.load(std::memory_order_relaxed))
        usbInMax_.store(static_cast<int>(in), std::memory_order_relaxed);
    if (out > usbOutMax_.load(std::memory_order_relaxed))
        usbOutMax_.store(static_cast<int>(out), std::memory_order_relaxed);
    rateTick_ = t;
}

void LoadHistory::statusLines(unsigned long free, unsigned long available, unsigned long total) {
    const int64_t t = now();
    if (t - statusTick_ <= StatusInterval) return;
    statusTick_ = t;
    if (!moniEnabled(MoniSta)) return;
    int tenths = mainTenths_;
    mprintf(MoniSta, __FILE__, __LINE__, "System Status: CPU is %d%%,%d%% busy at %d.%d degrees C.",
            cpuPercent0_, cpuPercent1_, tenths / 10, std::abs(tenths % 10));
    if (total == 0) return;
    long used = static_cast<long>((static_cast<__int128>(total) - static_cast<__int128>(available)) * 100 /
                                  static_cast<__int128>(total));
    mprintf(MoniSta, __FILE__, __LINE__,
            "System Status: memory usage is %d%%. Total:%ldkB Free:%ldkB Available:%ldkB.",
            static_cast<int>(std::clamp(used, -1000L, 1000L)), static_cast<long>(total),
            static_cast<long>(free), static_cast<long>(available));
}

int LoadHistory::sample() {
    CpuCounters cpu;
    const bool cpuOk = readCpuStatFile(statPath_, cpu);
    if (!havePrevious_) {
        // The first sample only sets the history up and keeps the counters to compare with.
        reset();
        if (cpuOk) {
            previous_ = cpu;
            havePrevious_ = true;
        }
        return 1;
    }

    const int slot = writeIndex_.load(std::memory_order_relaxed);
    sampleCpu(slot, cpuOk ? &cpu : nullptr);
    unsigned long free = 0, available = 0, total = 0;
    sampleMemory(slot, free, available, total);
    sampleSensors(slot);
    sampleRates(slot);
    statusLines(free, available, total);

    writeIndex_.store(slot + 1 >= LoadSampleCount ? 0 : slot + 1, std::memory_order_relaxed);
    if (cpuOk) previous_ = cpu;
    return 1;
}

int LoadHistory::newest(LoadSample &out) const {
    const int index = writeIndex();
    const int slot = index == 0 ? LoadSampleCount - 1 : index - 1;
    auto s = [&](int series) { return static_cast<int>(value(series, slot)); };
    auto percentLeft = [](int v) { return std::max(0, 100 - ((v * 100) >> 7)); };
    const unsigned product = setup_.productId;

    out.idle0 = percentLeft(s(LoadCpu0));
    out.idle1 = s(LoadCpu1) == LoadNoCpu ? -1 : percentLeft(s(LoadCpu1));
    out.mavail = percentLeft(s(LoadMemAvailable));
    out.mfree = percentLeft(s(LoadMemFree));
    out.tcpu = s(LoadMainTemperature) + LoadTemperatureOffset;
    out.tbox = product == 317 ? s(LoadTemperature2) - 32 : s(LoadTemperature2) + LoadTemperatureOffset;
    out.tbx2 = product == 317 ? s(LoadTemperature3) - 32 : s(LoadTemperature3) + LoadTemperatureOffset;
    out.tbx3 = s(LoadPhyTemperature) + LoadTemperatureOffset;
    out.pg1 = s(LoadCurrentA) * (product == 295 ? 20 : 10);
    out.pg2 = s(LoadCurrentB) * (product == 307 ? 30 : 10);
    out.pg3 = s(LoadCurrentC) * 10;
    out.pg4 = s(LoadCurrentD) * 10;
    return 1;
}

LoadHistory &loadHistory() {
    static LoadHistory history(applianceSensorSetup(), sysPath("/proc/stat"), sysPath("/proc/meminfo"));
    return history;
}

void resetLoadStats() {
    loadHistory().reset();
}

int sampleLoad() {
    return loadHistory().sample();
}

int getLoadSample(LoadSample &out) {
    return loadHistory().newest(out);
}
