// The board's sensors: which temperature and current files a product has, how their
// readings become degrees and sample bytes, and the heat control that watches the
// temperatures against their limits, warns about overheating and, on product 295,
// switches the fan with hysteresis.
#pragma once

#include <cstdint>
#include <string>

// What selects the sensors: the product, its hardware major version and the root the
// appliance paths live under ("" for the real root).
struct SensorSetup {
    unsigned productId = 0;
    unsigned hwMajor = 0;
    std::string root;

    // The appliance path under the root.
    std::string path(const char *appliancePath) const;
};

// The setup of the running appliance: productParams() and sysRoot().
SensorSetup applianceSensorSetup();

// Products with the extended sensor board: 287, 294, 295 and 307.
bool hasExtendedSensorBoard(unsigned productId);
// Products whose main board temperature is sampled: the extended board, 315, and 305
// with hardware major 3 or more.
bool hasMainTemperature(const SensorSetup &setup);
// 315, and 305 with hardware major 3 or more: the main temperature is the thermal zone.
bool usesThermalZone(const SensorSetup &setup);

// The sensor files of the load sampler; null where the product has none.
struct LoadSensorFiles {
    const char *mainTemperature = nullptr; // series 4, millidegrees
    const char *currentA = nullptr;        // series 6, microamperes
    const char *currentB = nullptr;        // series 7, microamperes
};
LoadSensorFiles loadSensorFiles(const SensorSetup &setup);

// The PHY's own temperature attribute of product 307 (already in degrees).
extern const char *const PhyTemperatureFile;

// Whole degrees from millidegrees, rounded; a reading far outside any real temperature
// is held at +-1,000,000 degrees first, so that no garbage value overflows.
long milliToDegrees(long milli);
// The same limit for readings already in degrees.
long boundDegrees(long degrees);

// The calls of the sensors into the board and the notification task: null until the
// owner installs them at start; a null hook reads as absent.
struct SensorHooks {
    // GpioDevice::fanControl: mode 1 switches the fan on, 0 off (unless "fan_on" is
    // on), any other mode only checks; answers the fan-running bit.
    int (*fanControl)(int mode) = nullptr;
    // Notify::addEvent with one text: 1 when recorded, 0 when the task takes no events.
    int (*notifyAddEvent)(uint32_t event, int aux, const char *text) = nullptr;
};
SensorHooks &sensorHooks();

// Notification event of overheating and fan failure.
constexpr uint32_t NotifySystemWarning = 0x20000000u;

constexpr int HeatSensorCount = 4;

// The overheating watch of four sensors. The process has one (heatControl()); tests
// build their own over a sandbox.
class HeatControl {
public:
    explicit HeatControl(SensorSetup setup);

    // Reads the sensors, warns and gives the all-clear, and on product 295 switches the
    // fan. values (when given) receives the degrees of each sensor read; entries of
    // sensors that could not be read stay as the caller filled them. Answers 1.
    int run(int *values);

    // The limit of sensor i in degrees, and its file (null when the product has none).
    int limit(int i) const;
    const char *file(int i) const;
    bool overheated(int i) const { return overheatedSince_[i] != 0; }

private:
    void report(int sensor, const char *message);

    SensorSetup setup_;
    // The tick at which each sensor went above its limit; 0 while it is not.
    int64_t overheatedSince_[HeatSensorCount] = {};
};

// The process-wide heat control over the appliance's sensors; 1.
int heatControl(int *values);
