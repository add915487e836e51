// Choosing where to connect after a scan: matching the networks of each priority group
// against the BSSes of the last scan, the roaming decision, the connect decision, the
// blacklist of BSSIDs that failed recently, and the fast associate from recent results.
// The entry points shared with association are declared in connect.h.
#pragma once

#include "wireless/core/connect.h"

// The first network of the group (or only the group's first network) that the BSS at
// index i of the last scan satisfies; none when the BSS fits no network.
wpa_network *wpa_scan_res_match(wpa_iface *iface, int i, wpa_bss *bss, wpa_network *group,
                                int only_first_ssid);
// The best BSS of the last scan that matches the group, and its network.
wpa_bss *supplicant_select_bss(wpa_iface *iface, wpa_network *group, wpa_network **selected_ssid,
                               int only_first_ssid);
// 1 when the station should move from its current BSS to the selected one of the same
// network, 0 when it stays.
int supplicant_need_to_roam(wpa_iface *iface, wpa_bss *selected, wpa_network *ssid);

// Steps of WPS and P2P that selection calls; they do nothing (and match nothing) until
// those subsystems exist.
int supp_wps_ssid_wildcard_ok(wpa_iface *iface, wpa_network *ssid, wpa_bss *bss);
int supp_wps_ssid_bss_match(wpa_iface *iface, wpa_network *ssid, wpa_bss *bss); // 1 match
int supp_wps_scan_pbc_overlap(wpa_iface *iface, wpa_bss *bss, wpa_network *ssid);
void supp_wps_pbc_overlap_failure(wpa_iface *iface);
int supp_wps_searching(wpa_iface *iface);
int supp_p2p_group_dev_addr_match(wpa_bss *bss, const uint8_t *dev_addr); // 1 match
int supp_p2p_scan_res_join_fallback(wpa_iface *iface);                    // 1 when P2P took over
