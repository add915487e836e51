// What the core and the servers call of the notification, remote-logging, WebDAV and
// storage-slot services. The notification task (notify/notify.h), the relay
// (notify/relay.h), the remote syslog client (notify/syslog.h) and the WebDAV jobs
// (notify/webdav_jobs.h) are here; the storage-slot manager is not part of this build
// yet: its calls answer as they do on a product without a storage slot.
#pragma once

#include <cstdint>
#include <ctime>

#include "notify/notify.h"
#include "notify/relay.h"
#include "notify/syslog.h"
#include "notify/webdav_jobs.h"

class Task;

// Starts the notification task on products with the mail feature, with the flag the
// SNMP configuration writer set when trap targets exist.
void startNotify(uint8_t trapsConfigured);

// The storage slot: its task (null when absent) and its state (0 no card, 1 formatting
// required, 2 write protected, 3 ready); -1 when the slot task does not exist.
extern Task *storageSlot;
int storageSlotState();

// Installs these services where the parameter table and the monitoring log call them.
void installServiceHooks();
