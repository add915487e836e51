// What the core and the servers call of the notification, remote-logging, WebDAV and
// storage-slot services. The notification task, the syslog and WebDAV clients and the
// storage-slot manager are not part of this build yet: these calls answer as they do
// on a product where those services are absent (no notification task, no syslog task,
// no WebDAV job, no storage slot), and the device events are recorded for the relay.
#pragma once

#include <cstdint>
#include <ctime>

class Task;

// Device event bits (the relay logic's inputs).
enum : uint32_t {
    DevEventStart = 0x1,
    DevEventLinkDown = 0x2,
    DevEventLinkUp = 0x4,
    DevEventPower1Good = 0x10,
    DevEventPower2Good = 0x20,
    DevEventPower1Failed = 0x40,
    DevEventPower2Failed = 0x80,
};

// The notification task: null while it does not exist, as now.
extern Task *notifyInstance;
extern int notifyTaskNumber;

// Records a notification event; 0 when the notification task does not exist.
int notifyAddEvent(uint32_t eventBits, int value, const char *text1 = nullptr, const char *text2 = nullptr,
                   const char *text3 = nullptr, const char *text4 = nullptr);
// Posts {0, 0x10, eventBits, value} to the notification task; 0 when it does not exist.
int notify_post_event(uint32_t eventBits, int value);

// One device event: records its time in the device event table and drives the relay
// when the product has one and "relay_ctrl" is not "fix". Callers ignore the result.
int handle_relay_event(uint32_t eventBit);

// The device event table read by the relay page: {bit, time of last occurrence, name};
// an entry with bit 0 ends it.
struct DeviceEventEntry {
    uint32_t bit;
    time_t last;
    const char *name;
};
const DeviceEventEntry *deviceEventTable();

// Remote syslog: starts the "SysLogNg" task when its settings ask for it; 0 when none
// was started.
int start_syslogng(int force);

// WebDAV: the parameter backup (0 when none was started), the daily backup check of
// the supervisor, and the process-wide count of running WebDAV jobs.
int start_webdav_backup();
void webdav_daily_backup();
extern int webdavJobWord;

// The storage slot: its task (null when absent) and its state (0 no card, 1 formatting
// required, 2 write protected, 3 ready); -1 when the slot task does not exist.
extern Task *storageSlot;
int storageSlotState();

// Installs these services where the parameter table and the monitoring log call them.
void installServiceHooks();
