// What the monitoring log reads from the rest of the daemon: its parameters, the
// product description and the local time. Each value is read through one function
// here, so the log has a single place that knows where it comes from.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace moni {

// Parameters.
bool monitoringOn();   // "monitoring"
unsigned moniFlags();  // "moniflags": the enabled categories
bool syslogngOn();     // "syslogng"
bool wdavMoniOn();     // "wdav_monion"
bool moniMailOn();     // "monimail"
bool moniMailToSet();  // "monimailto" has a value
bool moniBupDailyOn(); // "monibupdaily"
int life();            // "life": the restart counter

// The product description.
const char *deviceName(); // the appliance's default name
int hardwareMajor();
int hardwareMinor();
uint32_t softwareVersionWord(); // major, minor and build in bits 24-31, 16-23, 0-15

// The local time through the installed clock; false when it cannot be had.
bool localTime(struct tm *out);

// Makes the directory (mode 0755) when it is not one; false when that fails.
bool ensureDir(const std::string &path);

} // namespace moni
