// The parts of the connection state that the 802.1X road needs: the EAPOL socket and
// own address, the hand-over of a network's settings to the EAPOL supplicant, the
// reception of EAPOL frames, and the connection of a wired port (ap_scan 0: the
// "driver" selects the network).
#pragma once

#include "wireless/core/supplicant.h"

#include <cstddef>
#include <cstdint>

int supplicant_update_mac_addr(wpa_iface *iface);
void supplicant_initiate_eapol(wpa_iface *iface);
void supplicant_rx_eapol(void *ctx, const uint8_t *src_addr, const uint8_t *buf, size_t len);
// The receive callback of the bridge's socket (frames with their Ethernet header).
void supplicant_rx_eapol_bridge(void *ctx, const uint8_t *src_addr, const uint8_t *buf, size_t len);
// With ap_scan 0 (always on a wired interface): the enabled network becomes current,
// EAPOL is initiated and the port is associated.
void supplicant_ap_scan0_connect(wpa_iface *iface);
// Drops the current connection (state, network, EAPOL port).
void supplicant_clear_connection(wpa_iface *iface);
