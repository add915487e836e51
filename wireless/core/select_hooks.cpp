// The steps of WPS and P2P in network selection. Until those subsystems exist a WPS
// network and a group named by its owner's device address match no BSS, no overlap is
// seen and no P2P join is pending.
#include "wireless/core/network_select.h"

int supp_wps_ssid_wildcard_ok(wpa_iface *, wpa_network *, wpa_bss *) {
    return 0;
}

int supp_wps_ssid_bss_match(wpa_iface *, wpa_network *, wpa_bss *) {
    return 0;
}

int supp_wps_scan_pbc_overlap(wpa_iface *, wpa_bss *, wpa_network *) {
    return 0;
}

void supp_wps_pbc_overlap_failure(wpa_iface *) {}

int supp_wps_searching(wpa_iface *) {
    return 0;
}

int supp_p2p_group_dev_addr_match(wpa_bss *, const uint8_t *) {
    return 0;
}

int supp_p2p_scan_res_join_fallback(wpa_iface *) {
    return 0;
}
