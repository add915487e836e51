// Which networks may be used, and how the set changes: adding, removing, enabling,
// disabling and selecting network blocks, reconnecting and disconnecting, temporary
// disabling after authentication failures and the back-off after a failed connection.
// The entry points shared with association are declared in connect.h.
#pragma once

#include "wireless/core/connect.h"

// 0 when the network may be used: it exists and is enabled, its WEP keys suit the driver
// and a PSK-like network has its key material.
int supp_network_disabled(wpa_iface *iface, wpa_network *ssid);
// The usable networks, plus one for automatic interworking with credentials.
int supplicant_enabled_networks(wpa_iface *iface);
// Seconds of temporary disable left (rounded up); a network whose end has passed is
// re-enabled here, its failure count kept.
int supp_temp_disabled(wpa_iface *iface, wpa_network *ssid);

// REMOVE_NETWORK all: the current network is left and every block removed.
void supplicant_remove_all_networks(wpa_iface *iface);

// The timeout that wakes the interface when every enabled network was temporarily
// disabled (keyed by the interface).
void supplicant_network_reenable_timer(void *eloop_ctx, void *timeout_ctx);

// Seconds a network stays disabled after its n-th authentication failure, without the
// random part that 802.1X networks add.
int supp_temp_disable_base(unsigned int failures);
// Milliseconds until the next scan after a connection failure, by the total failure count.
int supp_conn_failed_delay_ms(int total);
