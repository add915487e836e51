// Sensor files by product, and the heat control.
#include "core/sensors.h"

#include "core/monilog.h"
#include "core/ptable.h"
#include "core/ptable_hooks.h"
#include "core/sysinfo.h"
#include "core/sysroot.h"
#include "core/ticks.h"
#include "param_catalogue.h"

#include <algorithm>
#include <cstdio>

const char *const PhyTemperatureFile = "/sys/devices/platform/soc/soc:internal-regs/f1072004.mdio/mdio_bus/"
                                       "f1072004.mdio-mii/f1072004.mdio-mii:00/kvx_gpy211_temp";

namespace {

const char *const ThermalZone0 = "/sys/devices/virtual/thermal/thermal_zone0/temp";
const char *const Hwmon0Temp = "/sys/class/hwmon/hwmon0/temp1_input";
const char *const Hwmon1Temp = "/sys/class/hwmon/hwmon1/temp1_input";
const char *const Hwmon2Temp = "/sys/class/hwmon/hwmon2/temp1_input";
const char *const Hwmon3Temp = "/sys/class/hwmon/hwmon3/temp1_input";

// The overheating limits in degrees.
constexpr int HeatLimits[HeatSensorCount] = {115, 70, 70, 70};
// The fan goes off when every sensor is this far below its limit, and on when any
// sensor comes this close to it.
constexpr int FanOffMargin = 14;
constexpr int FanOnMargin = 9;

bool displayPresent() {
    auto present = ptableHooks().displayPresent;
    return present && present() && ptableHooks().displayShow;
}

} // namespace

long boundDegrees(long degrees) {
    return std::clamp(degrees, -1000000L, 1000000L);
}

long milliToDegrees(long milli) {
    return (std::clamp(milli, -1000000000L, 1000000000L) + 500) / 1000;
}

std::string SensorSetup::path(const char *appliancePath) const {
    return joinRoot(root, appliancePath);
}

SensorSetup applianceSensorSetup() {
    const ProductParams &product = productParams();
    SensorSetup setup;
    setup.productId = product.productId;
    setup.hwMajor = product.hwMajor;
    setup.root = sysRoot();
    return setup;
}

bool hasExtendedSensorBoard(unsigned productId) {
    return productId == 287 || productId == 294 || productId == 295 || productId == 307;
}

bool usesThermalZone(const SensorSetup &setup) {
    return setup.productId == 315 || (setup.productId == 305 && setup.hwMajor >= 3);
}

bool hasMainTemperature(const SensorSetup &setup) {
    return hasExtendedSensorBoard(setup.productId) || usesThermalZone(setup);
}

LoadSensorFiles loadSensorFiles(const SensorSetup &setup) {
    LoadSensorFiles files;
    if (setup.productId == 307) {
        files.mainTemperature = Hwmon0Temp;
        files.currentA = "/sys/class/hwmon/hwmon1/current_c2";
        files.currentB = "/sys/class/hwmon/hwmon1/current_c1";
    } else {
        files.mainTemperature =
            (setup.productId == 287 || usesThermalZone(setup)) ? ThermalZone0 : Hwmon3Temp;
        files.currentA = "/sys/class/hwmon/hwmon4/current_c1";
        files.currentB = "/sys/class/hwmon/hwmon4/current_c2";
    }
    if (!hasMainTemperature(setup)) files.mainTemperature = nullptr;
    return files;
}

SensorHooks &sensorHooks() {
    static SensorHooks hooks;
    return hooks;
}

HeatControl::HeatControl(SensorSetup setup) : setup_(std::move(setup)) {}

int HeatControl::limit(int i) const {
    if (i < 0 || i >= HeatSensorCount) return 0;
    if (i == 3 && setup_.productId == 307) return 115;
    return HeatLimits[i];
}

const char *HeatControl::file(int i) const {
    static const char *const thermal[HeatSensorCount] = {ThermalZone0, Hwmon0Temp, Hwmon1Temp, Hwmon2Temp};
    static const char *const p317[HeatSensorCount] = {nullptr, Hwmon0Temp, Hwmon1Temp, nullptr};
    static const char *const p307[HeatSensorCount] = {Hwmon0Temp, nullptr, nullptr, PhyTemperatureFile};
    static const char *const others[HeatSensorCount] = {Hwmon3Temp, Hwmon0Temp, Hwmon1Temp, Hwmon2Temp};
    if (i < 0 || i >= HeatSensorCount) return nullptr;
    if (usesThermalZone(setup_)) return thermal[i];
    if (setup_.productId == 317) return p317[i];
    if (setup_.productId == 307) return p307[i];
    return others[i];
}

void HeatControl::report(int sensor, const char *message) {
    SensorHooks &hooks = sensorHooks();
    if (hooks.notifyAddEvent && hooks.notifyAddEvent(NotifySystemWarning, sensor, message) == 1) {
        if (auto post = ptableHooks().notifyPostEvent) post(NotifySystemWarning, -1);
    }
    if (moniEnabled(MoniErr)) mprintf(MoniErr, __FILE__, __LINE__, "Heat control: %s", message);
}

int HeatControl::run(int *values) {
    for (int i = 0; i < HeatSensorCount; i++) {
        const char *name = file(i);
        long reading = 0;
        if (name == nullptr || !readIntFile(reading, setup_.path(name), false)) continue;
        // The PHY attribute is in degrees already; the others in millidegrees.
        long degrees = name == PhyTemperatureFile ? boundDegrees(reading) : milliToDegrees(reading);
        if (values) values[i] = static_cast<int>(degrees);

        const int lim = limit(i);
        char message[128];
        message[0] = '\0';
        if (overheatedSince_[i] == 0 && degrees > lim) {
            int64_t now = sysTicks();
            overheatedSince_[i] = now != 0 ? now : 1;
            if (displayPresent()) ptableHooks().displayShow('E', '6', 0x24);
            std::snprintf(message, sizeof message, getmuText("Device warning overheating %d°C limit:%d°C"),
                          static_cast<int>(degrees), lim);
        } else if (overheatedSince_[i] != 0 && degrees < lim) {
            std::snprintf(message, sizeof message, getmuText("Device cool down, now %d°C limit:%d°C"),
                          static_cast<int>(degrees), lim);
            overheatedSince_[i] = 0;
            if (displayPresent()) ptableHooks().displayShow('E', '6', 0x08);
        }
        if (message[0] != '\0') report(i, message);
    }

    // The fan of product 295 follows the readings with hysteresis.
    if (setup_.productId == 295 && values && sensorHooks().fanControl) {
        auto fan = sensorHooks().fanControl;
        if (fan(-1) != 0) {
            bool allCool = true;
            for (int i = 0; i < HeatSensorCount; i++)
                if (values[i] >= limit(i) - FanOffMargin) allCool = false;
            if (allCool) fan(0);
        } else {
            bool anyWarm = false;
            for (int i = 0; i < HeatSensorCount; i++)
                if (values[i] >= limit(i) - FanOnMargin) anyWarm = true;
            if (anyWarm) fan(1);
        }
    }
    return 1;
}

int heatControl(int *values) {
    static HeatControl control(applianceSensorSetup());
    return control.run(values);
}
