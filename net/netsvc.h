// Start of the network services of start-up: the time client, the DHCP/BOOTP client,
// the SLP responder and the multicast-DNS responder, all on the main interface.
#pragma once

class NetInterface;

// Starts "NTP" always; "Bootp" when "ip_dhcp" is on, once the interface is running
// (looked at once a second, given up when stopRequested says so); "SLP" always;
// "Bonjour" when "bonjour" is on. Installs the supervisor's way to start the
// multicast-DNS responder again.
void startNetServices(NetInterface &iface, bool (*stopRequested)());
