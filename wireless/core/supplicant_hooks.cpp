#include "wireless/core/supplicant_hooks.h"

#include "wireless/core/connection_state.h"
#include "wireless/core/eapol_glue.h"
#include "wireless/core/l2_packet.h"
#include "wireless/core/wpa_msg.h"

#include <cstring>

// Empty steps of modules not built yet; see the header.

int supp_rsn_sm_create(wpa_iface *) {
    return 0;
}

int supp_hw_modes_read(wpa_iface *) {
    return 0;
}

int supplicant_driver_init(wpa_iface *iface) {
    // The EAPOL socket and the own address. An interface without one still runs (it
    // cannot take part in 802.1X): back ends without a network device have none.
    if (supplicant_update_mac_addr(iface) < 0) return 0;
    memcpy(iface->perm_addr, iface->own_addr, 6);
    return 0;
}

int supp_wps_context_init(wpa_iface *) {
    return 0;
}

int supp_eapol_sm_create(wpa_iface *iface) {
    return supplicant_init_eapol(iface);
}

void supp_rsn_sm_set_eapol(wpa_iface *) {}

int supp_gas_query_init(wpa_iface *) {
    return 0;
}

int supp_p2p_init(wpa_global *, wpa_iface *) {
    return 0;
}

int supp_bss_init(wpa_iface *) {
    return 0;
}

int supp_wowlan_apply(wpa_iface *) {
    return 0;
}

void supp_ext_password_init(wpa_iface *) {}

void supp_rrm_reset(wpa_iface *) {}

int supp_sched_scan_plans_parse(wpa_iface *) {
    return 0;
}

void supp_scan_set_default_ies(wpa_iface *) {}

void supp_notify_iface_added(wpa_iface *) {}

void supp_notify_network_added(wpa_iface *, wpa_network *) {}

int supp_p2p_create_device_iface(wpa_iface *, const char *) {
    return 0;
}

void supp_p2p_remove_group_by_name(wpa_iface *, const char *) {}

void supp_clear_keys(wpa_iface *) {}

void supp_bgscan_deinit(wpa_iface *) {}

void supp_scard_deinit(wpa_iface *) {}

void supp_l2_close(wpa_iface *iface) {
    l2_packet_deinit(iface->l2);
    iface->l2 = nullptr;
}

void supp_notify_network_removed(wpa_iface *, wpa_network *) {}

void supp_eapol_rsn_free(wpa_iface *iface) {
    // The RSN supplicant and the PMKSA candidates join here when they land.
    supplicant_deinit_eapol(iface);
}

void supp_blacklist_clear(wpa_iface *) {}

void supp_bss_deinit(wpa_iface *) {}

void supp_iface_cancel_timeouts(wpa_iface *) {}

void supp_pending_eapol_free(wpa_iface *) {}

void supp_sme_ap_offchannel_deinit(wpa_iface *) {}

void supp_sched_scan_stop(wpa_iface *) {}

void supp_scan_settings_free(wpa_iface *) {}

void supp_gas_query_deinit(wpa_iface *) {}

void supp_iface_buffers_free(wpa_iface *) {}

void supp_p2p_wmm_ac_deinit(wpa_iface *) {}

void supp_radio_remove_works(wpa_iface *) {}

void supp_notify_iface_removed(wpa_iface *) {}

int supp_wps_exit_must_wait(wpa_iface *) {
    return 0;
}

void supp_p2p_group_remove_on_exit(wpa_iface *) {}

void supp_p2p_expire_peers(wpa_global *) {}

void supp_bss_flush_by_age(wpa_iface *, int) {}

void supp_ap_periodic(wpa_iface *) {}

void supp_config_changes_later(wpa_iface *) {}
