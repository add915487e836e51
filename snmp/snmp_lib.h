// The SNMP library's headers, and what this agent takes from the library without a
// header of its own (the MIB modules' initialisers). Included only by the files that
// call the library.
#pragma once

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/agent_callbacks.h>
#include <net-snmp/agent/util_funcs/header_generic.h>
#include <net-snmp/agent/util_funcs/header_simple_table.h>
#include <net-snmp/library/large_fd_set.h>
// clang-format on

#include "snmp/snmpd.h"

// 1.3.6.1.4.1.EnterpriseNumber: the device MIB's base.
inline oid EnterpriseArc[] = {1, 3, 6, 1, 4, 1, EnterpriseNumber};
constexpr size_t EnterpriseArcLength = 7;

// The library's MIB modules the agent runs (MIB-II and the SNMPv3 modules).
extern "C" {
void init_icmp(void);
void init_ifTable(void);
void init_ifXTable(void);
void shutdown_ifTable(void);
void shutdown_ifXTable(void);
void init_ip(void);
void init_system_mib(void);
void init_tcp(void);
void init_udp(void);
void init_snmp_mib(void);
void init_sysORTable(void);
void shutdown_sysORTable(void);
void init_vacm_vars(void);
void init_interface(void);
void init_var_route(void);
void init_at(void);
void init_tcpTable(void);
void init_udpTable(void);
void init_snmpEngine(void);
void init_snmpMPDStats(void);
void shutdown_snmpMPDStats(void);
void init_usmStats(void);
void shutdown_usmStats(void);
void init_usmUser(void);
void init_vacm_context(void);
}
