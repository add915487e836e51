// What the core and the servers call of the notification, remote-logging, WebDAV and
// storage-slot services. The notification task (notify/notify.h), the relay
// (notify/relay.h), the remote syslog client (notify/syslog.h), the WebDAV jobs
// (notify/webdav_jobs.h) and the storage slot (notify/slot.h) are here.
#pragma once

#include <cstdint>
#include <ctime>

#include "notify/notify.h"
#include "notify/relay.h"
#include "notify/slot.h"
#include "notify/syslog.h"
#include "notify/webdav_jobs.h"

class Task;

// Starts the notification task on products with the mail feature, with the flag the
// SNMP configuration writer set when trap targets exist.
void startNotify(uint8_t trapsConfigured);

// Installs these services where the parameter table and the monitoring log call them.
void installServiceHooks();
