// The rolling history of the appliance's own load: CPU use of both cores, memory use,
// board temperatures, the currents of the USB ports, the USB transfer rates and the
// fan, one byte per sample in 15 series of 768 samples; and the chart of it written as
// a 4-bit BMP file.
#pragma once

#include "core/sensors.h"
#include "core/ticks.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

constexpr int LoadSeriesCount = 15;
constexpr int LoadSampleCount = 768;

// The series.
enum LoadSeries : int {
    LoadCpu0 = 0,
    LoadCpu1 = 1,
    LoadMemFree = 2,
    LoadMemAvailable = 3,
    LoadMainTemperature = 4,
    LoadTemperature2 = 5,
    LoadCurrentA = 6,
    LoadCurrentB = 7,
    LoadTemperature3 = 8,
    LoadPhyTemperature = 9,
    LoadCurrentC = 10,
    LoadCurrentD = 11,
    LoadUsbIn = 12,
    LoadUsbOut = 13,
    LoadFan = 14,
};

// A CPU sample when no jiffies passed, and the second core's sample without one.
constexpr uint8_t LoadNoCpu = 255;
// Temperatures are stored as degrees minus this (product 317: plus 32).
constexpr int LoadTemperatureOffset = 22;

// The newest sample, converted for display.
struct LoadSample {
    int idle0 = 0;  // idle share of core 0 in percent
    int idle1 = -1; // the same for core 1; -1 without a second core
    int mavail = 0; // memory available in percent
    int mfree = 0;  // memory free in percent
    int tcpu = 0;   // main board temperature
    int tbox = 0;   // second temperature
    int tbx2 = 0;   // third temperature
    int tbx3 = 0;   // PHY temperature
    int pg1 = 0;    // currents in milliamperes
    int pg2 = 0;
    int pg3 = 0;
    int pg4 = 0;
};

// The CPU counters of /proc/stat: busy and total jiffies of cores 0 and 1; the second
// core's total is -1 when there is none.
struct CpuCounters {
    long total0 = 0;
    long busy0 = 0;
    long total1 = -1;
    long busy1 = 0;
};

// Reads the counters from "/proc/stat" (or the given file); false when it cannot be
// opened or has no line for core 0.
bool readCpuStat(long &total0, long &busy0, long &total1, long &busy1);
bool readCpuStatFile(const std::string &path, CpuCounters &out);
// The parser behind both, over an open stream.
bool parseCpuStat(FILE *in, CpuCounters &out);

class LoadHistory {
public:
    // The history of the sensors of setup, reading the CPU and memory figures from the
    // given files.
    LoadHistory(SensorSetup setup, std::string statPath, std::string meminfoPath);
    LoadHistory(const LoadHistory &) = delete;
    LoadHistory &operator=(const LoadHistory &) = delete;

    // resetLoadStats: clears every sample, index 0, the rates start now, the USB
    // counters and their maxima are zero.
    void reset();
    // sampleLoad: takes one sample; 1.
    int sample();
    // getLoadSample: the newest sample for display; 1.
    int newest(LoadSample &out) const;

    // Transfer volume in KiB, added by the USB server's tasks.
    void addUsbIn(uint32_t kib) { usbInKiB_.fetch_add(kib, std::memory_order_relaxed); }
    void addUsbOut(uint32_t kib) { usbOutKiB_.fetch_add(kib, std::memory_order_relaxed); }
    // The volume added since the last sample took it.
    uint64_t usbInKiB() const { return usbInKiB_.load(std::memory_order_relaxed); }
    uint64_t usbOutKiB() const { return usbOutKiB_.load(std::memory_order_relaxed); }
    // The highest rates in MiB/s since the last reset.
    int usbInMax() const { return usbInMax_.load(std::memory_order_relaxed); }
    int usbOutMax() const { return usbOutMax_.load(std::memory_order_relaxed); }

    uint8_t value(int series, int slot) const;
    // The slot the next sample goes to (also the oldest sample).
    int writeIndex() const { return writeIndex_.load(std::memory_order_relaxed); }
    const SensorSetup &setup() const { return setup_; }
    // The CPU percentages and the main temperature in tenths of the last status line.
    int cpuPercent(int core) const { return core == 0 ? cpuPercent0_ : cpuPercent1_; }
    int mainTenths() const { return mainTenths_; }

    // The tick clock of the rates and the status lines (null: sysTicks).
    void setTickSource(TickSource source) { ticks_ = source; }

private:
    int64_t now() const { return ticks_ ? ticks_() : sysTicks(); }
    void store(int series, int slot, long v);
    void sampleCpu(int slot, const CpuCounters *cpu);
    void sampleMemory(int slot, unsigned long &free, unsigned long &available, unsigned long &total);
    void sampleSensors(int slot);
    void sampleRates(int slot);
    void statusLines(unsigned long free, unsigned long available, unsigned long total);
    bool readSensor(const char *file, long &value) const;

    SensorSetup setup_;
    std::string statPath_;
    std::string meminfoPath_;
    TickSource ticks_ = nullptr;

    // Read by web tasks without a lock while the main thread writes the next sample.
    std::atomic<uint8_t> samples_[LoadSeriesCount][LoadSampleCount];
    std::atomic<int> writeIndex_{0};

    bool havePrevious_ = false;
    CpuCounters previous_;
    int64_t rateTick_ = 0;
    std::atomic<uint64_t> usbInKiB_{0};
    std::atomic<uint64_t> usbOutKiB_{0};
    std::atomic<int> usbInMax_{0};
    std::atomic<int> usbOutMax_{0};
    int64_t statusTick_ = 0;
    int cpuPercent0_ = -1;
    int cpuPercent1_ = 0;
    int mainTenths_ = 0;
};

// The process-wide history over the appliance's sensors and the kernel's figures.
LoadHistory &loadHistory();
void resetLoadStats();
int sampleLoad();
int getLoadSample(LoadSample &out);

// The chart writer: a 4-bit BMP of the whole history, oldest sample on the left.
class LoadGraph {
public:
    LoadGraph(int width, int height);

    // Draws the chart of the process-wide history and writes it to path, run-length
    // coded when asked; 1, or 0 when the file could not be written.
    int write(bool runLength, const char *path);
    int write(const LoadHistory &history, bool runLength, const char *path);

    // The image of the last write (rows bottom-up, left pixel in the high nibble; kept
    // until the next write or the end of the object) and its bytes per row.
    const uint8_t *pixels() const { return image_.data(); }
    size_t rowBytes() const { return rowBytes_; }

private:
    void draw(const LoadHistory &history);
    void setPixel(int x, int row, int colour);
    void bar(int x, int value, int colour);
    void point(int x, int value, int colour);
    size_t encode(std::string &out) const;

    int width_;
    int height_;
    size_t rowBytes_;
    std::vector<uint8_t> image_;
    uint8_t headers_[54];
    uint8_t palette_[64];
};
