// SNMP traps of the notification task: the trap mask, the variables of each event and
// the restart traps, built as requests for the SNMP agent's thread, which alone calls
// the SNMP library.
#pragma once

#include "notify/notify.h"
#include "snmp/snmpd.h"

#include <cstdint>
#include <vector>

// The device's notification arc ENT.2.51.
std::vector<uint32_t> trapArc();
// The events trapped with the current parameters.
uint32_t trapMask();
// The trap number (.1 of SNMPv1 traps) and the text of an event.
int trapNumber(uint32_t event);
std::string trapText(const NotifyEvent &e);
// The head of an SNMPv3 notification: sysUpTime.0, snmpTrapOID.0, snmpTrapAddress.0 and
// sysLocation.0 (when "sys_descr" is set).
std::vector<SnmpTrapVar> trap_standard_vars(const std::vector<uint32_t> &trapOid);
// The request for one event in one version.
SnmpTrapRequest buildTrapRequest(const NotifyEvent &e, bool v3);
// The restart notifications (coldStart or warmStart) of the configured versions.
std::vector<SnmpTrapRequest> restartTrapRequests(int warmStarts, int life);

// Where requests go: the SNMP agent (tests install their own); 1 when taken.
using TrapPoster = int (*)(SnmpTrapRequest request);
void setTrapPoster(TrapPoster poster);
