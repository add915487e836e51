// Trap requests: any task may ask for a notification, but only the agent's thread calls
// the library (it is not reentrant). A request is queued here and the agent is woken
// through its pipe; its loop sends what waits after each pass.

#include "snmp/snmp_internal.h"
#include "snmp/snmp_lib.h"

#include <deque>
#include <mutex>

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

void send(const SnmpTrapRequest &r) {
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
