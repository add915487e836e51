// SNMP traps of the notification task: SNMPv1 receivers get an enterprise-specific trap
// (enterprise ENT.2.51, specific code 51, the trap number in .1), SNMPv3 receivers a
// notification whose snmpTrapOID is ENT.2.51.1. The requests go to the SNMP agent's
// thread, which sends each to the trap targets of the request's version.

#include "notify/traps.h"

#include "core/monilog.h"
#include "core/ptable.h"
#include "core/ticks.h"
#include "notify/notify_internal.h"
#include "param_catalogue.h"

#include <arpa/inet.h>
#include <cstdio>
#include <mutex>

namespace {

TrapPoster poster = nullptr;

const std::vector<uint32_t> SysUpTime = {1, 3, 6, 1, 2, 1, 1, 3, 0};
const std::vector<uint32_t> SnmpTrapOid = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
const std::vector<uint32_t> SnmpTrapAddress = {1, 3, 6, 1, 6, 3, 18, 1, 3, 0};
const std::vector<uint32_t> SysLocation = {1, 3, 6, 1, 2, 1, 1, 6, 0};

int postTrap(SnmpTrapRequest request) {
    return poster ? poster(std::move(request)) : snmpPostTrap(std::move(request));
}

bool versionConfigured(const char *version) {
    return p_trapversion_1->equals(version) || p_trapversion_2->equals(version);
}

SnmpTrapVar integerVar(std::vector<uint32_t> name, int64_t value,
                       SnmpTrapVar::Type type = SnmpTrapVar::Integer) {
    SnmpTrapVar v;
    v.name = std::move(name);
    v.type = type;
    v.integer = value;
    return v;
}

SnmpTrapVar textVar(std::vector<uint32_t> name, const std::string &text) {
    SnmpTrapVar v;
    v.name = std::move(name);
    v.type = SnmpTrapVar::OctetString;
    v.text = text;
    return v;
}

std::vector<uint32_t> arcVar(uint32_t n) {
    std::vector<uint32_t> oid = trapArc();
    oid.push_back(n);
    return oid;
}

} // namespace

void setTrapPoster(TrapPoster p) {
    poster = p;
}

std::vector<uint32_t> trapArc() {
    return {1, 3, 6, 1, 4, 1, EnterpriseNumber, 2, 51};
}

uint32_t trapMask() {
    uint32_t mask = NotifyWarning | NotifyPowerLimit;
    if (p_trapusb->isOn()) mask |= 0xf00;
    if (p_trapsys->isOn()) mask |= NotifyLinkChanged | NotifyPowerInput;
    if ((p_sw_features->value() & 0x200000) && p_trap_sdcard->isOn()) mask |= NotifyCardEvents;
    return mask;
}

int trapNumber(uint32_t event) {
    switch (event) {
    case NotifyUsbConnected:
        return 5;
    case NotifyUsbDisconnected:
        return 6;
    case NotifyUsbAttached:
        return 3;
    case NotifyUsbDetached:
        return 4;
    case NotifyPowerLimit:
        return 19;
    case NotifyPowerInput:
        return 11;
    case NotifyCardReady:
        return 12;
    case NotifyCardOut:
        return 13;
    case NotifyCardMissing:
        return 14;
    case NotifyCardUnusable:
        return 15;
    case NotifyCardProtected:
        return 16;
    case NotifyLinkChanged:
        return 17;
    case NotifyWarning:
        return 18;
    default:
        return 1;
    }
}

std::string trapText(const NotifyEvent &e) {
    char buf[160];
    switch (e.event) {
    case NotifyUsbConnected:
        std::snprintf(buf, sizeof buf, "device connected: %.126s", e.text4);
        return buf;
    case NotifyUsbDisconnected:
        std::snprintf(buf, sizeof buf, "device disconnected: %.126s", e.text4);
        return buf;
    case NotifyUsbAttached:
        return "device attached";
    case NotifyUsbDetached:
        return "device detached";
    case NotifyPowerLimit:
        return "USB power consumption is over limit";
    case NotifyPowerInput:
        return "power supply event";
    case NotifyCardReady:
        return " SDCard is plugged in";
    case NotifyCardOut:
        return " SDCard is plugged out";
    case NotifyCardMissing:
        return " SDCard is missing";
    case NotifyCardUnusable:
        return " SDCard is unusable";
    case NotifyCardProtected:
        return " SDCard is write protected";
    case NotifyLinkChanged:
        return "network link event";
    case NotifyWarning:
        return "Device warning overheating";
    default:
        return "device unknown event";
    }
}

std::vector<SnmpTrapVar> trap_standard_vars(const std::vector<uint32_t> &trapOid) {
    std::vector<SnmpTrapVar> vars;
    vars.push_back(integerVar(SysUpTime, sysTicks() & 0xffffffff, SnmpTrapVar::TimeTicks));
    SnmpTrapVar oid;
    oid.name = SnmpTrapOid;
    oid.type = SnmpTrapVar::ObjectId;
    oid.oidValue = trapOid;
    vars.push_back(oid);
    InetAddress own = InetAddress::fromText(notify::ipText().c_str());
    uint32_t address = own.family() == AF_INET ? own.ipv4() : 0; // network order
    vars.push_back(integerVar(SnmpTrapAddress, address, SnmpTrapVar::IpAddress));
    if (notify::isSet(p_sys_descr)) vars.push_back(textVar(SysLocation, notify::text(p_sys_descr)));
    return vars;
}

SnmpTrapRequest buildTrapRequest(const NotifyEvent &e, bool v3) {
    SnmpTrapRequest r;
    if (v3) {
        r.kind = SnmpTrapRequest::V3;
        r.vars = trap_standard_vars(arcVar(1));
    } else {
        r.kind = SnmpTrapRequest::V1Vars;
        r.generic = 6;
        r.specific = 51;
        r.enterprise = trapArc();
        r.vars.push_back(integerVar(arcVar(1), trapNumber(e.event)));
    }
    r.vars.push_back(integerVar(arcVar(2), e.aux));
    r.vars.push_back(textVar(arcVar(3), trapText(e)));
    bool noTexts =
        e.event == NotifyPowerInput || (e.event & NotifyCardEvents) || e.event == NotifyLinkChanged;
    if (!noTexts) {
        r.vars.push_back(textVar(arcVar(4), e.text1));
        r.vars.push_back(textVar(arcVar(6), e.text2));
        r.vars.push_back(textVar(arcVar(8), e.text3));
    }
    return r;
}

std::vector<SnmpTrapRequest> restartTrapRequests(int warmStarts, int life) {
    std::vector<SnmpTrapRequest> out;
    bool warm = warmStarts > 0;
    // One request per version: each reaches the receivers of its own version only.
    if (versionConfigured("v1")) {
        SnmpTrapRequest r;
        r.kind = SnmpTrapRequest::Easy;
        r.generic = warm ? 1 : 0;
        r.specific = life;
        out.push_back(r);
    }
    if (versionConfigured("v3")) {
        SnmpTrapRequest r;
        r.kind = SnmpTrapRequest::V3;
        r.vars = trap_standard_vars({1, 3, 6, 1, 6, 3, 1, 1, 5, warm ? 2u : 1u});
        out.push_back(r);
    }
    return out;
}

void Notify::sendTraps(uint32_t bits) {
    std::vector<SnmpTrapRequest> requests;
    int count = 0;
    if (!trapsConfigured) {
        std::lock_guard<std::mutex> lock(notifyRingMutex());
        trapPending = 0;
        return;
    }
    ptable();
    if ((bits & NotifyRestart) && p_trapsys->isOn()) {
        auto warm = moniLogHooks().warmStarts;
        requests = restartTrapRequests(warm ? warm() : -1, p_life->value());
        if (!requests.empty()) count++;
    }
    const uint32_t mask = trapMask();
    const bool v1 = versionConfigured("v1"), v3 = versionConfigured("v3");
    {
        std::lock_guard<std::mutex> lock(notifyRingMutex());
        for (int i = 0; i < NotifyRingSize; i++) {
            uint32_t bit = 1u << i;
            if (!(trapPending & bit) || !(ring[i].event & mask)) continue;
            if (v1) requests.push_back(buildTrapRequest(ring[i], false));
            if (v3) requests.push_back(buildTrapRequest(ring[i], true));
            trapPending &= ~bit;
            count++;
        }
    }
    // Posted without the ring lock: the agent's queue has its own.
    for (SnmpTrapRequest &r : requests)
        postTrap(std::move(r));
    if (count > 0) addTrapsOut(count);
}
