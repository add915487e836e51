// What the core and the servers call of the notification, remote-logging, WebDAV and
// storage-slot services. The notification task (notify/notify.h), the relay
// (notify/relay.h), the remote syslog client (notify/syslog.h) and the storage slot
// (notify/slot.h) are here; the WebDAV client is not part of this build yet: these
// calls answer as they do on a product where it is absent (no WebDAV job).
#pragma once

#include <cstdint>
#include <ctime>

#include "notify/notify.h"
#include "notify/relay.h"
#include "notify/slot.h"
#include "notify/syslog.h"

class Task;

// Starts the notification task on products with the mail feature, with the flag the
// SNMP configuration writer set when trap targets exist.
void startNotify(uint8_t trapsConfigured);

// WebDAV: the parameter backup (0 when none was started), the daily backup check of
// the supervisor, and the process-wide count of running WebDAV jobs.
int start_webdav_backup();
void webdav_daily_backup();
extern int webdavJobWord;

// Installs these services where the parameter table and the monitoring log call them.
void installServiceHooks();
