// What the core and the servers call of the notification, remote-logging, WebDAV and
// storage-slot services. The notification task (notify/notify.h), the relay
// (notify/relay.h) and the remote syslog client (notify/syslog.h) are here; the WebDAV
// client and the storage-slot manager are not part of this build yet: these calls
// answer as they do on a product where those services are absent (no WebDAV job, no
// storage slot).
#pragma once

#include <cstdint>
#include <ctime>

#include "notify/notify.h"
#include "notify/relay.h"
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

// The storage slot: its task (null when absent) and its state (0 no card, 1 formatting
// required, 2 write protected, 3 ready); -1 when the slot task does not exist.
extern Task *storageSlot;
int storageSlotState();

// Installs these services where the parameter table and the monitoring log call them.
void installServiceHooks();
