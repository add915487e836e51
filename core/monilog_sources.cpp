// Where the monitoring log's inputs come from. The parameter store and the product
// description are read here and nowhere else in the log's code.
#include "core/monilog.h"
#include "core/monilog_internal.h"

#include <atomic>
#include <ctime>

namespace moni {

// The parameter store is not wired to the log yet: each reader answers the
// parameter's catalogue default until it reads the parameter's global.
bool monitoringOn() {
    return false;
} // "monitoring", default off
unsigned moniFlags() {
    return 1;
} // "moniflags", default 1 (errors only)
bool syslogngOn() {
    return false;
} // "syslogng", default off
bool wdavMoniOn() {
    return false;
} // "wdav_monion", default off
bool moniMailOn() {
    return false;
} // "monimail", default off
bool moniMailToSet() {
    return false;
} // "monimailto", default empty
bool moniBupDailyOn() {
    return false;
} // "monibupdaily", default off
int life() {
    return 0;
} // "life", default 0

// The product description is not wired to the log yet: the appliance's default name,
// hardware version of a zero record.
const char *deviceName() {
    return "";
}
int hardwareMajor() {
    return 0;
}
int hardwareMinor() {
    return 0;
}

// Software 20.1.22.
uint32_t softwareVersionWord() {
    return 0x14010016u;
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
