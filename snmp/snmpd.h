// The SNMP agent "NET-SNMPD": net-snmp's agent library inside the daemon, on a task of
// its own. Its configuration file "/var/snmpd.conf" is written from the parameters; the
// task's select loop serves SNMP requests and its own message pipe (0x4000 rewrites the
// file and has the library re-read it, 0x2 ends the agent). The device MIB (scalars, six
// tables, the system group, the restart action and prtGeneralReset) answers from the
// parameter store. Traps leave from the agent's thread only: other tasks post them.
#pragma once

#include "core/task.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// The device MIB's enterprise arc 1.3.6.1.4.1.EnterpriseNumber (ENT).
constexpr uint32_t EnterpriseNumber = 32473;

// Message flag of a trap request waiting for the agent (see snmpPostTrap).
constexpr uint32_t MsgSnmpTrap = 0x20000;

// Notifications sent per trap target 1 and 2 since the configuration file was last
// written; -1 for a target that is not configured.
extern std::atomic<int32_t> trapsOut[2];
// Adds count to every counter of trapsOut that is not -1.
void addTrapsOut(int count);

// What the configuration writer decided besides the file's text.
struct SnmpdConfig {
    std::string text;
    // At least one trap target is configured.
    bool trapsConfigured = false;
    // trapsOut per target: 0 configured, -1 not.
    int32_t trapsOut[2] = {-1, -1};
    // The SNMPv3 user names the file creates (their keys come from the file alone).
    std::vector<std::string> users;
};

// The text of "/var/snmpd.conf" from the current parameters and the product description.
struct ProductParams;
SnmpdConfig snmpdConfigText();
SnmpdConfig snmpdConfigText(const ProductParams &product);

// Writes "/var/snmpd.conf" (mode 0600) from the parameters; sets trapsConfigured to 1
// when a trap target is configured (never back to 0) and resets trapsOut. 1 when
// written, 0 when the file could not be written (an older file stays as it was).
int write_snmpd_conf(Task *task, uint8_t &trapsConfigured);

// The configuration file and the library's persistent directory (engine boots, keys).
std::string snmpdConfPath();
std::string snmpdPersistentDir();

// The SNMPv3 engine ID of the running agent in lower-case hex digits ("" before the
// agent has started).
std::string snmpEngineIdHex();

// The SNMP agent task.
class SnmpdTask : public Task {
public:
    static constexpr uint32_t StackSize = 65536;

    SnmpdTask() : Task("NET-SNMPD") {}
    void run() override;
    // 0x4000 rewrites the configuration file; the flags come back unchanged.
    uint32_t onMessage(const TaskMsg &msg) override;
};

// One variable of a trap request.
struct SnmpTrapVar {
    enum Type : uint8_t {
        Integer = 0x02,
        OctetString = 0x04,
        ObjectId = 0x06,
        IpAddress = 0x40,
        TimeTicks = 0x43,
    };
    std::vector<uint32_t> name; // the variable's OID
    Type type = Integer;
    int64_t integer = 0;            // Integer, TimeTicks; IpAddress in network order
    std::string text;               // OctetString
    std::vector<uint32_t> oidValue; // ObjectId
};

// One notification for the agent to send to the trap targets of its configuration that
// have the request's version: the SNMPv1 kinds go to the SNMPv1 targets only, V3 to the
// others.
struct SnmpTrapRequest {
    enum Kind : uint8_t {
        Easy,   // an SNMPv1 generic trap (generic, specific) without variables
        V1Vars, // an SNMPv1 trap (generic, specific) with the variables
        V3,     // an SNMPv2/v3 notification: the variables (snmpTrapOID.0 among them)
    };
    Kind kind = Easy;
    int generic = 0;
    int specific = 0;
    // The enterprise of an SNMPv1 trap with variables; empty: the library's own.
    std::vector<uint32_t> enterprise;
    std::vector<SnmpTrapVar> vars;
};

// Hands a trap request to the agent's thread (the library is not reentrant, so no
// other thread calls it). 1 when queued, 0 when no agent runs, the queue is full or
// the request is out of bounds.
int snmpPostTrap(SnmpTrapRequest request);
