#include "notify/services.h"

#include "core/monilog.h"
#include "core/ptable_hooks.h"
#include "core/task.h"
#include "param_catalogue.h"

void startNotify(uint8_t trapsConfigured) {
    if ((p_sw_features->value() & 0x1000) == 0) return;
    auto *task = new Notify(trapsConfigured);
    if (task->start(0x8000) < 0) delete task;
}

void installServiceHooks() {
    PtableHooks &h = ptableHooks();
    h.notifyPresent = [] { return notifyInstance.load() != nullptr; };
    h.notifyAddEvent = [](uint32_t bits, int value) { return notifyAddEvent(bits, value); };
    h.notifyPostEvent = notify_post_event;
    h.startSyslogng = start_syslogng;
    h.startWebdavBackup = start_webdav_backup;
    h.storageSlotState = storageSlotState;
    notifyHooks().announceSlot = [] {
        if (StorageSlot *slot = storageSlot.load()) slot->announce();
    };
    moniLogHooks().notifyPostEvent = notify_post_event;
    moniLogHooks().syslogSend = syslogSend;
    moniLogHooks().startWDavMoni = startWDavMoni;
}
