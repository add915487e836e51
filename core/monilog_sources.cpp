// Where the monitoring log's inputs come from. The parameter store and the product
// description are read here and nowhere else in the log's code.
#include "core/monilog.h"
#include "core/monilog_internal.h"
#include "core/ptable.h"
#include "core/sysinfo.h"

#include <atomic>
#include <ctime>

namespace moni {

// The parameter store is not wired to the log yet: each reader answers the
// parameter's catalogue default until it reads the parameter's global.

// "monitoring", default off.
bool monitoringOn() {
    return false;
}

// "moniflags", default 1 (errors only).
unsigned moniFlags() {
    return 1;
}

// "syslogng", default off.
bool syslogngOn() {
    return false;
}

// "wdav_monion", default off.
bool wdavMoniOn() {
    return false;
}

// "monimail", default off.
bool moniMailOn() {
    return false;
}

// "monimailto", default empty.
bool moniMailToSet() {
    return false;
}

// "monibupdaily", default off.
bool moniBupDailyOn() {
    return false;
}

// "life", default 0.
int life() {
    return 0;
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
    time_t now = time(nullptr);
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
