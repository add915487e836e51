// IPv4 set-up of the interfaces from the parameters: address with netmask, default
// gateway, the ZeroConf link-local pick, the gratuitous ARP announcement and the IP VLAN
// sub-interfaces. The operations on InetAddress and NetInterface are declared with their
// classes (core/address.h, net/netif.h); this header holds the helpers they are built
// from.
#pragma once

#include "core/address.h"

#include <cstddef>
#include <cstdint>

// The next ZeroConf address (host byte order, 169.254.x.y with x and y in 1..253) after
// the previous pick (host byte order, 0 before the first) for the hardware address.
uint32_t zeroconfPick(uint32_t previous, const MacAddress &mac);

// The previous pick of the process (host byte order), 0 before the first; the setter
// exists for tests.
uint32_t lastZeroconfPick();
void setLastZeroconfPick(uint32_t pick);

// The Ethernet frame of a gratuitous ARP: a broadcast ARP reply that announces the
// address (network byte order) as held by the hardware address.
constexpr size_t GratuitousArpSize = 42;
void buildGratuitousArp(uint8_t (&frame)[GratuitousArpSize], const MacAddress &mac, uint32_t address);

// The VLAN id of the management VLAN: "ipvlan_id_"n when "ipvlan_mgmt" is on,
// "ipvlan_mgmt_idx" is n in 1..21 and "ipvlan_on_"n is on; else -1.
int getMgmtVlanId();
