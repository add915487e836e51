// The "NTP" task: time zone, synchronisation schedule and the clock set.

#include "net/ntp.h"

#include "core/param.h"
#include "core/platform.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/sysroot.h"
#include "core/ticks.h"
#include "net/dhcp_client.h"
#include "net/ntp_network.h"
#include "param_catalogue.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace {

std::mutex serverLock;
InetAddress lastServer;

constexpr uint16_t NtpPort = 123;

} // namespace

InetAddress ntpServerAddress() {
    std::lock_guard<std::mutex> guard(serverLock);
    return lastServer;
}

void applyTimeZone() {
    std::lock_guard<std::mutex> env(environmentLock());
    // "TZ" is only overwritten, never removed: other threads' time conversions read it.
    const char *zone = SystemTimeZone;
    char tz[128];
    int32_t index = p_ntp_tzone->current();
    if (p_ntp_tzone->hasValue()) {
        // A choice outside the list gives empty texts.
        const char *value = "", *description = "";
        if (index >= 0 && index < p_ntp_tzone->optionCount()) {
            value = p_ntp_tzone->options()[index].keyword;
            description = p_ntp_tzone->options()[index].code;
        }
        buildTimeZone(value, description, tz, sizeof tz);
        zone = tz;
    }
    if (setenv("TZ", zone, 1) != 0) std::printf("setenv(TZ,%s): %m\n", zone);
    tzset();
}

NtpClient::NtpClient(NetInterface &netif, NtpNetwork *network)
    : Task("NTP"), iface(&netif), network_(network ? network : newNtpNetwork()) {}

NtpClient::~NtpClient() = default;

uint32_t NtpClient::onMessage(const TaskMsg &msg) {
    if (msg.flags & MsgConfigChanged) reconfigure = true;
    return msg.flags;
}

bool NtpClient::sync() {
    if (!p_ntp->isOn() || !p_ntp_server->hasValue()) return false;
    InetAddress server;
    if (!server.resolve(p_ntp_server->getText().c_str())) return false;
    server.setPort(NtpPort);
    {
        std::lock_guard<std::mutex> guard(serverLock);
        lastServer = server;
    }
    buildNtpRequest(request);
    uint8_t reply[NtpMessageSize + 1];
    int64_t ticks = receiveTimeout > 0 ? receiveTimeout : ReplyTicks;
    int n = network_->exchange(*this, iface, server, request, sizeof request, reply, sizeof reply, ticks);
    if (n < 0 || !parseNtpReply(reply, static_cast<size_t>(n), time)) return false;
    return setClock() == 0;
}

int NtpClient::setClock() {
    int64_t before = sysTicks();
    if (platform().setTimeOfDay(&time) != 0) return -1;
    int64_t after = sysTicks();

    if (p_ntp_done->range() == nullptr || p_ntp_done->range()[1] >= 1) p_ntp_done->set(1);
    ptable().saveIfChanged();

    if (after != before) {
        int64_t delta = after - before;
        msSinceStart(true);
        Task::shiftStartTimes(delta);
        // A lease start of 0 means "no lease yet" and stays so.
        int64_t start = dhcpLeaseStart.load();
        if (start != 0) dhcpLeaseStart.compare_exchange_strong(start, start + delta);
    }

    struct tm local {};
    time_t seconds = time.tv_sec;
    if (localtime_r(&seconds, &local) != nullptr) writeRtc(local);
    return 0;
}

void NtpClient::run() {
    bool ok = false;
    for (;;) {
        while (reconfigure.exchange(false)) {
            if (p_ntp->isOn() && p_ntp_server->hasValue()) {
                applyTimeZone();
                ok = sync();
            }
        }
        int64_t ticks = ok ? static_cast<int64_t>(p_ntp_update->value()) * 100 : RetryTicks;
        // A message of interest (a configuration change) goes back to the top.
        if (wait(ticks) == 1) ok = sync();
    }
}
