#include "notify/services.h"

#include "core/monilog.h"
#include "core/ptable_hooks.h"
#include "core/task.h"

#include <atomic>
#include <mutex>

Task *notifyInstance = nullptr;
int notifyTaskNumber = -1;
int webdavJobWord = 0;
Task *storageSlot = nullptr;

namespace {

std::mutex eventLock;
DeviceEventEntry eventTable[] = {
    {0x1, 0, "Restart"},
    {0x2, 0, "Network connection interrupted"},
    {0x4, 0, "Network connection established"},
    {0x10, 0, "Power supply 1 established"},
    {0x20, 0, "Power supply 2 established"},
    {0x40, 0, "Power supply 1 interrupted"},
    {0x80, 0, "Power supply 2 interrupted"},
    {0x100, 0, "SD card connected"},
    {0x200, 0, "SD card disconnected"},
    {0x400, 0, "SD card cannot be used"},
    {0x1000, 0, "USB device connected (port 1)"},
    {0x2000, 0, "USB device disconnected (port 1)"},
    {0x4000, 0, "USB device activated (port 1)"},
    {0x8000, 0, "USB device deactivated (port 1)"},
    {0x10000, 0, "USB device connected (port 2)"},
    {0x20000, 0, "USB device disconnected (port 2)"},
    {0x40000, 0, "USB device activated (port 2)"},
    {0x80000, 0, "USB device deactivated (port 2)"},
    {0, 0, nullptr},
};

} // namespace

int notifyAddEvent(uint32_t, int, const char *, const char *, const char *, const char *) {
    return notifyInstance ? 1 : 0;
}

int notify_post_event(uint32_t eventBits, int value) {
    if (notifyInstance == nullptr || notifyTaskNumber < 0) return 0;
    TaskMsg msg{0, MsgNotifyEvent, eventBits, static_cast<uint32_t>(value)};
    Task::postTo(notifyTaskNumber, msg);
    return 1;
}

int handle_relay_event(uint32_t eventBit) {
    std::lock_guard<std::mutex> guard(eventLock);
    for (auto &e : eventTable)
        if (e.bit && e.bit == eventBit) e.last = time(nullptr);
    return 0;
}

const DeviceEventEntry *deviceEventTable() {
    return eventTable;
}

int start_syslogng(int) {
    return 0;
}
int start_webdav_backup() {
    return 0;
}
void webdav_daily_backup() {}
int storageSlotState() {
    return storageSlot ? 0 : -1;
}

void installServiceHooks() {
    PtableHooks &h = ptableHooks();
    h.notifyPresent = [] { return notifyInstance != nullptr; };
    h.notifyAddEvent = [](uint32_t bits, int value) { return notifyAddEvent(bits, value); };
    h.notifyPostEvent = notify_post_event;
    h.startSyslogng = start_syslogng;
    h.startWebdavBackup = start_webdav_backup;
    h.storageSlotState = [] { return storageSlot ? storageSlotState() : -1; };
    moniLogHooks().notifyPostEvent = notify_post_event;
}
