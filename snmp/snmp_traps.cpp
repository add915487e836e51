// Trap requests: any task may ask for a notification, but only the agent's thread calls
// the library (it is not reentrant). A request is queued here and the agent is woken
// through its pipe; its loop sends what waits after each pass.
//
// Each request is meant for the receivers of its own version. The library sends every
// notification to all of its receivers, in the form of each one's version, so one call
// per version gave each receiver every event twice. Instead the receivers' sessions that
// the configuration file opens ("trapsink", "trapsess") are taken over here, and the
// forms the library builds of a request are handed only to the receivers of the
// request's version.

#include "snmp/snmp_internal.h"
#include "snmp/snmp_lib.h"

#include <deque>
#include <mutex>
#include <vector>

namespace {

// Bounds of one request and of the queue: a request beyond them is refused whole.
constexpr size_t MaxQueued = 32;
constexpr size_t MaxVars = 16;
constexpr size_t MaxOidLength = MAX_OID_LEN;
constexpr size_t MaxText = 1024;

std::mutex queueMutex;
std::deque<SnmpTrapRequest> queue;
int agentTask = -1; // under queueMutex

bool withinBounds(const SnmpTrapRequest &r) {
    if (r.vars.size() > MaxVars || r.enterprise.size() > MaxOidLength) return false;
    for (const SnmpTrapVar &v : r.vars) {
        if (v.name.empty() || v.name.size() > MaxOidLength || v.oidValue.size() > MaxOidLength ||
            v.text.size() > MaxText)
            return false;
        switch (v.type) {
        case SnmpTrapVar::Integer:
        case SnmpTrapVar::OctetString:
        case SnmpTrapVar::IpAddress:
        case SnmpTrapVar::TimeTicks:
            break;
        case SnmpTrapVar::ObjectId:
            if (v.oidValue.empty()) return false;
            break;
        default:
            return false;
        }
    }
    return true;
}

// The library's variable list of a request; null for none (or no memory).
netsnmp_variable_list *buildVars(const SnmpTrapRequest &r) {
    netsnmp_variable_list *vars = nullptr;
    for (const SnmpTrapVar &v : r.vars) {
        oid name[MAX_OID_LEN];
        for (size_t i = 0; i < v.name.size(); i++)
            name[i] = v.name[i];
        netsnmp_variable_list *added = nullptr;
        switch (v.type) {
        case SnmpTrapVar::Integer: {
            long value = static_cast<long>(v.integer);
            added = snmp_varlist_add_variable(&vars, name, v.name.size(), ASN_INTEGER, &value, sizeof value);
            break;
        }
        case SnmpTrapVar::TimeTicks: {
            u_long value = static_cast<u_long>(v.integer);
            added =
                snmp_varlist_add_variable(&vars, name, v.name.size(), ASN_TIMETICKS, &value, sizeof value);
            break;
        }
        case SnmpTrapVar::IpAddress: {
            uint32_t value = static_cast<uint32_t>(v.integer);
            added =
                snmp_varlist_add_variable(&vars, name, v.name.size(), ASN_IPADDRESS, &value, sizeof value);
            break;
        }
        case SnmpTrapVar::OctetString:
            added = snmp_varlist_add_variable(&vars, name, v.name.size(), ASN_OCTET_STR, v.text.data(),
                                              v.text.size());
            break;
        case SnmpTrapVar::ObjectId: {
            oid value[MAX_OID_LEN];
            for (size_t i = 0; i < v.oidValue.size(); i++)
                value[i] = v.oidValue[i];
            added = snmp_varlist_add_variable(&vars, name, v.name.size(), ASN_OBJECT_ID, value,
                                              v.oidValue.size() * sizeof(oid));
            break;
        }
        }
        if (added == nullptr) {
            snmp_free_varbind(vars);
            return nullptr;
        }
    }
    return vars;
}

// The receivers' sessions, taken over from the library as it reads the configuration
// file; on the agent's thread only.
struct TrapTarget {
    netsnmp_session *session;
    bool v1;
};
std::vector<TrapTarget> targets;
// The form the request being sent goes out in: SNMPv1 (true) or SNMPv2/v3.
bool sendingV1 = false;

int takeTarget(int, int, void *serverArg, void *) {
    auto *args = static_cast<agent_add_trap_args *>(serverArg);
    if (args == nullptr || args->ss == nullptr) return SNMPERR_GENERR;
    targets.push_back(TrapTarget{args->ss, args->ss->version == SNMP_VERSION_1});
    args->rc = SNMPERR_SUCCESS;
    return SNMPERR_SUCCESS;
}

// The library's SNMPv1 form of the request being sent: to the SNMPv1 receivers, when the
// request is an SNMPv1 trap.
int sendV1Form(int, int, void *serverArg, void *) {
    auto *pdu = static_cast<netsnmp_pdu *>(serverArg);
    if (pdu == nullptr || !sendingV1) return SNMPERR_SUCCESS;
    for (const TrapTarget &t : targets)
        if (t.v1) send_trap_to_sess(t.session, pdu);
    return SNMPERR_SUCCESS;
}

// The library's SNMPv2 form: to the other receivers, when the request is an SNMPv2/v3
// notification.
int sendV2Form(int, int, void *serverArg, void *) {
    auto *pdu = static_cast<netsnmp_pdu *>(serverArg);
    if (pdu == nullptr || sendingV1) return SNMPERR_SUCCESS;
    pdu->command = SNMP_MSG_TRAP2;
    for (const TrapTarget &t : targets)
        if (!t.v1) send_trap_to_sess(t.session, pdu);
    return SNMPERR_SUCCESS;
}

void send(const SnmpTrapRequest &r) {
    sendingV1 = r.kind != SnmpTrapRequest::V3;
    if (r.kind == SnmpTrapRequest::Easy) {
        send_easy_trap(r.generic, r.specific);
        return;
    }
    netsnmp_variable_list *vars = buildVars(r);
    if (vars == nullptr && !r.vars.empty()) return;
    if (r.kind == SnmpTrapRequest::V1Vars && !r.enterprise.empty()) {
        oid enterprise[MAX_OID_LEN];
        for (size_t i = 0; i < r.enterprise.size(); i++)
            enterprise[i] = r.enterprise[i];
        send_enterprise_trap_vars(r.generic, r.specific, enterprise, static_cast<int>(r.enterprise.size()),
                                  vars);
    } else if (r.kind == SnmpTrapRequest::V1Vars)
        send_trap_vars(r.generic, r.specific, vars);
    else
        send_v3trap(vars, nullptr);
    snmp_free_varbind(vars);
}

} // namespace

int snmpPostTrap(SnmpTrapRequest request) {
    if (!withinBounds(request)) return 0;
    int task;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (agentTask < 0 || queue.size() >= MaxQueued) return 0;
        queue.push_back(std::move(request));
        task = agentTask;
    }
    Task::postTo(task, TaskMsg{0, MsgSnmpTrap, 0, 0});
    return 1;
}

void setTrapAgentRunning(int taskNumber) {
    std::lock_guard<std::mutex> lock(queueMutex);
    agentTask = taskNumber;
    if (taskNumber < 0) queue.clear();
}

void sendQueuedTraps() {
    for (;;) {
        SnmpTrapRequest r;
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            if (queue.empty()) return;
            r = std::move(queue.front());
            queue.pop_front();
        }
        send(r);
    }
}

void takeOverTrapTargets() {
    struct Hook {
        int minor;
        SNMPCallback *callback;
    };
    const Hook hooks[] = {{SNMPD_CALLBACK_REGISTER_NOTIFICATIONS, takeTarget},
                          {SNMPD_CALLBACK_SEND_TRAP1, sendV1Form},
                          {SNMPD_CALLBACK_SEND_TRAP2, sendV2Form}};
    for (const Hook &h : hooks) {
        // Once only, also when the agent is set up again.
        snmp_unregister_callback(SNMP_CALLBACK_APPLICATION, h.minor, h.callback, nullptr, 1);
        if (snmp_register_callback(SNMP_CALLBACK_APPLICATION, h.minor, h.callback, nullptr) !=
            SNMPERR_SUCCESS)
            snmp_log(LOG_ERR, "cannot take over the trap receivers\n");
    }
}

void closeTrapTargets() {
    for (const TrapTarget &t : targets)
        snmp_close(t.session);
    targets.clear();
}
