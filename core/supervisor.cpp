// The supervisor task.
#include "core/supervisor.h"
#include "core/platform.h"

#include "core/master.h"
#include "core/monilog.h"
#include "core/param.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/ticks.h"
#include "param_catalogue.h"

#include <resolv.h>

namespace {

void refreshResolverDefault() {
    writeResolvConf();
    res_init();
}

// The hour a restart parameter names; 24 (never) when it is absent.
int hourOf(IntParam *p) {
    return p ? p->value() : 24;
}

} // namespace

SupervisorHooks &supervisorHooks() {
    static SupervisorHooks hooks;
    return hooks;
}

bool hasSupervisorDuties(unsigned productId) {
    return productId == 287 || productId == 294 || productId == 295 || productId == 307;
}

LazyHubWatcher::LazyHubWatcher() : LazyHubWatcher(productParams().productId) {}

LazyHubWatcher::LazyHubWatcher(unsigned productId) : Task("LazyHubWatcher"), productId_(productId) {}

uint32_t LazyHubWatcher::onMessage(const TaskMsg &msg) {
    if (msg.flags & MsgConfigChanged) refreshRequested = 1;
    return msg.flags;
}

int64_t LazyHubWatcher::ticks() const {
    auto clock = supervisorHooks().ticks;
    return clock ? clock() : sysTicks();
}

bool LazyHubWatcher::localTime(struct tm &out) const {
    if (auto clock = supervisorHooks().localTime) return clock(&out);
    time_t now = applianceTime();
    return now != static_cast<time_t>(-1) && localtime_r(&now, &out) != nullptr;
}

void LazyHubWatcher::lookUpHours() {
    Ptable &table = ptable();
    dailyRestart_ = dynamic_cast<IntParam *>(table.find("dailyrestart"));
    snmpRestart_ = dynamic_cast<IntParam *>(table.find("snmprestart"));
    lookedUp_ = true;
}

void LazyHubWatcher::refresh() {
    SupervisorHooks &hooks = supervisorHooks();
    (hooks.refreshResolver ? hooks.refreshResolver : refreshResolverDefault)();
    ptable();
    if (p_bonjour->isOn() && hooks.startBonjour &&
        (hooks.bonjourTaskNumber == nullptr || hooks.bonjourTaskNumber() < 0))
        hooks.startBonjour();
}

LazyHubWatcher::Wake LazyHubWatcher::wake() {
    if (!lookedUp_) lookUpHours();
    SupervisorHooks &hooks = supervisorHooks();

    if (refreshRequested.exchange(0) != 0) {
        refresh();
    } else if (hasSupervisorDuties(productId_)) {
        if (hooks.webdavDailyBackup) hooks.webdavDailyBackup();
        if (hooks.checkPortKeyExpiry) hooks.checkPortKeyExpiry();
    }

    // The restart hours; above 23 means off. The SNMP agent is restarted only while
    // one of its protocol versions is on.
    const bool haveDaily = dailyRestart_ != nullptr;
    const int d = hourOf(dailyRestart_);
    ptable();
    const int s = (snmpRestart_ && (p_snmpv1->isOn() || p_snmpv3->isOn())) ? hourOf(snmpRestart_) : 24;
    if ((!haveDaily || d > 23) && s > 23) return Continue;

    // Not within the first 61 minutes of this run: a run that began in the restart
    // hour must not restart again in the same hour.
    if (ticks() - startTick.load() <= MinUptimeTicks) return Continue;

    // Only with a clock that was set.
    struct tm now {};
    if (!localTime(now) || now.tm_year + 1900 < FirstSetYear) return Continue;

    const int h = now.tm_hour;
    if (h == lastHour) return Continue;

    if (haveDaily && h == d) {
        if (moniEnabled(MoniSta))
            mprintf(MoniSta, __FILE__, __LINE__,
                    "System will reboot initialized by dailyrestart (=%d) parameter...", d);
        shutdownType = ShutdownCold;
        if (hooks.startShutDown)
            hooks.startShutDown(1);
        else
            requestStop(1);
        return DailyRestart;
    }
    if (h == s) {
        if (moniEnabled(MoniSta))
            mprintf(MoniSta, __FILE__, __LINE__,
                    "Snmp daemon will restart initialized by snmprestart (=%d) parameter...", s);
        Task::postByName("NET-SNMPD", configChangedMsg);
    }
    lastHour = h;
    return Continue;
}

void LazyHubWatcher::run() {
    lookUpHours();
    lastHour = 24;
    for (;;) {
        // The pipe is in the epoll set: an exit message ends the task inside the wait,
        // a configuration change sets refreshRequested.
        epollWait(WakeMs);
        if (wake() == DailyRestart) exit();
    }
}
