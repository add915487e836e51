// The parts of the connection state that the 802.1X road needs: the EAPOL socket and
// own address, the hand-over of a network's settings to the EAPOL supplicant, the
// reception of EAPOL frames, and the connection of a wired port (ap_scan 0: the
// "driver" selects the network).
#pragma once

#include "wireless/core/supplicant.h"

#include <cstddef>
#include <cstdint>

int supplicant_update_mac_addr(wpa_iface *iface);
// Gives the interface a random address: style 1 fully random, style 2 with the permanent
// OUI kept. An address of the same style younger than rand_addr_lifetime stays. 0 or -1.
int supp_update_random_addr(wpa_iface *iface, int style);
// Before a scan, while not past SCANNING: the preassoc_mac_addr style, when set.
int supp_update_random_addr_before_scan(wpa_iface *iface);
// Puts the permanent address back when a random one is in use: 0 or -1.
int supp_restore_permanent_addr(wpa_iface *iface);
void supplicant_initiate_eapol(wpa_iface *iface);
void supplicant_rx_eapol(void *ctx, const uint8_t *src_addr, const uint8_t *buf, size_t len);
// The receive callback of the bridge's socket (frames with their Ethernet header).
void supplicant_rx_eapol_bridge(void *ctx, const uint8_t *src_addr, const uint8_t *buf, size_t len);
// With ap_scan 0 (always on a wired interface): the enabled network becomes current,
// EAPOL is initiated and the port is associated.
void supplicant_ap_scan0_connect(wpa_iface *iface);
// Drops the current connection (state, network, EAPOL port).
void supplicant_clear_connection(wpa_iface *iface);
