// The supervisor task "LazyHubWatcher": the slow periodic work of the appliance. It
// wakes every 6 seconds; after a configuration change it regenerates the resolver
// configuration and brings the multicast-DNS task back when that one has ended;
// otherwise, on the products with the extra duties, it runs the daily WebDAV backup
// check and the port-key expiry check; and at the hours named by "dailyrestart" and
// "snmprestart" it restarts the appliance or has the SNMP agent re-read its
// configuration.
#pragma once

#include "core/task.h"

#include <atomic>
#include <cstdint>
#include <ctime>

class IntParam;

// The calls of the supervisor into other subsystems, and its clocks. Each hook is null
// until its owner installs it at start; tests install their own.
struct SupervisorHooks {
    // The multicast-DNS task's number, negative when none runs.
    int (*bonjourTaskNumber)() = nullptr;
    // Constructs and starts a "Bonjour" task as start-up does (UDP port 5353, groups
    // ff02::fb and 224.0.0.251, the main interface, names reset, 32 KiB stack).
    void (*startBonjour)() = nullptr;
    // The daily WebDAV backup check and the port-key expiry check.
    void (*webdavDailyBackup)() = nullptr;
    void (*checkPortKeyExpiry)() = nullptr;

    // Regenerates the resolver file and has the C library re-read it (null:
    // writeResolvConf and res_init).
    void (*refreshResolver)() = nullptr;
    // Starts a "ShutDown" task with the delay in seconds (null: requestStop).
    void (*startShutDown)(int delaySeconds) = nullptr;
    // The tick clock (null: sysTicks) and the local time (null: the system's; false
    // when it cannot be had).
    int64_t (*ticks)() = nullptr;
    bool (*localTime)(struct tm *out) = nullptr;
};
SupervisorHooks &supervisorHooks();

// Products with the daily WebDAV backup and port-key expiry duties.
bool hasSupervisorDuties(unsigned productId);

class LazyHubWatcher : public Task {
public:
    // Wake-up period and the uptime before any restart may happen.
    static constexpr int WakeMs = 6000;
    static constexpr int64_t MinUptimeTicks = 366000;
    // Local years before this mean a clock that was never set.
    static constexpr int FirstSetYear = 2022;

    LazyHubWatcher();
    explicit LazyHubWatcher(unsigned productId);

    void run() override;
    // A configuration change asks for the refresh at the next wake-up.
    uint32_t onMessage(const TaskMsg &msg) override;

    // What a wake-up decided.
    enum Wake { Continue, DailyRestart };
    // One wake-up's work after the wait; DailyRestart when the task must end.
    Wake wake();

    // Looks "dailyrestart" and "snmprestart" up in the parameter table (run does it
    // once; wake does it when nobody did).
    void lookUpHours();

    std::atomic<uint32_t> refreshRequested{0};
    int lastHour = 24;

private:
    void refresh();
    int64_t ticks() const;
    bool localTime(struct tm &out) const;

    unsigned productId_;
    bool lookedUp_ = false;
    IntParam *dailyRestart_ = nullptr;
    IntParam *snmpRestart_ = nullptr;
};
