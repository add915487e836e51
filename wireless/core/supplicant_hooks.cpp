#include "wireless/core/supplicant_hooks.h"

#include "wireless/core/association.h"
#include "wireless/core/connection_state.h"
#include "wireless/core/eapol_glue.h"
#include "wireless/core/l2_packet.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/core/wpabuf.h"
#include "wireless/rsn/pmksa_cache.h"
#include "wireless/rsn/wpa.h"

#include <cstring>

// Empty steps of modules not built yet; see the header.

int supp_rsn_sm_create(wpa_iface *iface) {
    return supplicant_init_wpa(iface);
}

int supp_wps_context_init(wpa_iface *) {
    return 0;
}

int supp_eapol_sm_create(wpa_iface *iface) {
    return supplicant_init_eapol(iface);
}

void supp_rsn_sm_set_eapol(wpa_iface *iface) {
    supplicant_attach_eapol_to_wpa(iface);
}

int supp_gas_query_init(wpa_iface *) {
    return 0;
}

int supp_p2p_init(wpa_global *, wpa_iface *) {
    return 0;
}

int supp_wowlan_apply(wpa_iface *) {
    return 0;
}

void supp_ext_password_init(wpa_iface *) {}

void supp_rrm_reset(wpa_iface *) {}

void supp_notify_iface_added(wpa_iface *) {}

void supp_notify_network_added(wpa_iface *, wpa_network *) {}

int supp_p2p_create_device_iface(wpa_iface *, const char *) {
    return 0;
}

void supp_p2p_remove_group_by_name(wpa_iface *, const char *) {}

void supp_clear_keys(wpa_iface *iface) {
    wpa_clear_keys(iface, nullptr);
}

void supp_scard_deinit(wpa_iface *) {}

void supp_l2_close(wpa_iface *iface) {
    l2_packet_deinit(iface->l2);
    iface->l2 = nullptr;
    l2_packet_deinit(iface->l2_br);
    iface->l2_br = nullptr;
}

void supp_notify_network_removed(wpa_iface *, wpa_network *) {}

void supp_eapol_rsn_free(wpa_iface *iface) {
    if (iface->wpa) wpa_sm_attach_eapol(iface->wpa, nullptr, nullptr);
    supplicant_deinit_eapol(iface);
    if (iface->wpa) rsn_preauth_clear_candidates(iface->wpa);
    supplicant_deinit_wpa(iface);
}

void supp_pending_eapol_free(wpa_iface *iface) {
    wpa_buf_free(iface->pending_eapol_rx);
    iface->pending_eapol_rx = nullptr;
}

void supp_sme_ap_offchannel_deinit(wpa_iface *iface) {
    sme_deinit(iface);
}

void supp_gas_query_deinit(wpa_iface *) {}

void supp_p2p_wmm_ac_deinit(wpa_iface *) {}

void supp_notify_iface_removed(wpa_iface *) {}

int supp_wps_exit_must_wait(wpa_iface *) {
    return 0;
}

void supp_p2p_group_remove_on_exit(wpa_iface *) {}

void supp_p2p_expire_peers(wpa_global *) {}

void supp_ap_periodic(wpa_iface *) {}
