// Where the monitoring log's inputs come from. The parameter store and the product
// description are read here and nowhere else in the log's code.
#include "core/monilog.h"
#include "core/monilog_internal.h"
#include "core/platform.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "param_catalogue.h"

#include <atomic>
#include <ctime>

namespace moni {

// Each reader makes sure the table is built (ptable() does that once), then reads the
// parameter's global.

// "monitoring", default off.
bool monitoringOn() {
    ptable();
    return p_monitoring->isOn();
}

// "moniflags", default 1 (errors only).
unsigned moniFlags() {
    ptable();
    return static_cast<unsigned>(p_moniflags->value());
}

// "syslogng", default off.
bool syslogngOn() {
    ptable();
    return p_syslogng->isOn();
}

// "wdav_monion", default off.
bool wdavMoniOn() {
    ptable();
    return p_wdav_monion->isOn();
}

// "monimail", default off.
bool moniMailOn() {
    ptable();
    return p_monimail->isOn();
}

// "monimailto", default empty.
bool moniMailToSet() {
    ptable();
    return p_monimailto->hasValue();
}

// "monibupdaily", default off.
bool moniBupDailyOn() {
    ptable();
    return p_monibupdaily->isOn();
}

// "life", default 0.
int life() {
    ptable();
    return p_life->value();
}

// The product description: the appliance's default name names the files.
const char *deviceName() {
    return productParams().defaultName;
}

int hardwareMajor() {
    return (int)productParams().hwMajor;
}

int hardwareMinor() {
    return (int)productParams().hwMinor;
}

// Software 20.1.22.
uint32_t softwareVersionWord() {
    return SoftwareVersionWord;
}

namespace {

bool systemLocalTime(struct tm *out) {
    time_t now = applianceTime();
    return now != (time_t)-1 && localtime_r(&now, out) != nullptr;
}

std::atomic<MoniClock> installedClock{nullptr};

} // namespace

bool localTime(struct tm *out) {
    MoniClock clock = installedClock.load();
    return clock ? clock(out) : systemLocalTime(out);
}

} // namespace moni

void setMoniClock(MoniClock clock) {
    moni::installedClock.store(clock);
}

MoniLogHooks &moniLogHooks() {
    static MoniLogHooks hooks;
    return hooks;
}

// The log is off as a whole while "monitoring" is off, whatever "moniflags" holds.
bool moniEnabled(unsigned mask) {
    return moni::monitoringOn() && (moni::moniFlags() & mask) != 0;
}
