// The steps of the supplicant's life that belong to other modules: the RSN and EAPOL
// supplicants, WPS, P2P, GAS and the AP side, not built yet, and the BSS table and
// scanning (scan_hooks.cpp). Each step is a named function called in its place, so the
// module that owns it fills in the body when it lands and the order of creation and
// teardown stays as it is. Until then a step does nothing; those that can fail succeed.
#pragma once

#include "wireless/core/supplicant.h"

// ------------------------------------------------------------------ interface creation

int supp_rsn_sm_create(wpa_iface *iface);     // RSN supplicant, its callbacks and timers
int supp_hw_modes_read(wpa_iface *iface);     // hardware modes, channel-width capability
int supplicant_driver_init(wpa_iface *iface); // layer-2 sockets, key clearing, first scan
int supp_wps_context_init(wpa_iface *iface);  // WPS context
int supp_eapol_sm_create(wpa_iface *iface);   // EAPOL supplicant
void supp_rsn_sm_set_eapol(wpa_iface *iface); // RSN supplicant -> EAPOL supplicant
int supp_gas_query_init(wpa_iface *iface);    // GAS query state
int supp_p2p_init(wpa_global *global, wpa_iface *iface);
int supp_bss_init(wpa_iface *iface);           // BSS table
int supp_wowlan_apply(wpa_iface *iface);       // "wowlan_triggers" against the driver
void supp_ext_password_init(wpa_iface *iface); // external password backend
void supp_rrm_reset(wpa_iface *iface);         // radio-measurement state
int supp_sched_scan_plans_parse(wpa_iface *iface);
void supp_scan_set_default_ies(wpa_iface *iface);
void supp_notify_iface_added(wpa_iface *iface);
void supp_notify_network_added(wpa_iface *iface, wpa_network *ssid);
int supp_p2p_create_device_iface(wpa_iface *iface, const char *conf_p2p_dev);

// ------------------------------------------------------------------ interface teardown
// A failed creation tears the half-built interface down through these same steps, so
// each must accept a state that was never created.

void supp_p2p_remove_group_by_name(wpa_iface *iface, const char *name);
void supp_clear_keys(wpa_iface *iface);
void supp_bgscan_deinit(wpa_iface *iface);
void supp_scard_deinit(wpa_iface *iface);
void supp_l2_close(wpa_iface *iface);
void supp_notify_network_removed(wpa_iface *iface, wpa_network *ssid);
void supp_eapol_rsn_free(wpa_iface *iface); // EAPOL, PMKSA candidates, RSN supplicant
void supp_blacklist_clear(wpa_iface *iface);
void supp_bss_deinit(wpa_iface *iface);
void supp_iface_cancel_timeouts(wpa_iface *iface); // scans, authentication, countermeasures
void supp_pending_eapol_free(wpa_iface *iface);
void supp_sme_ap_offchannel_deinit(wpa_iface *iface);
void supp_sched_scan_stop(wpa_iface *iface);
void supp_scan_settings_free(wpa_iface *iface); // frequency lists, random-address settings
void supp_gas_query_deinit(wpa_iface *iface);
void supp_iface_buffers_free(wpa_iface *iface); // modes, filters, vendor elements, plans
void supp_p2p_wmm_ac_deinit(wpa_iface *iface);
void supp_radio_remove_works(wpa_iface *iface);
void supp_notify_iface_removed(wpa_iface *iface);

// ------------------------------------------------------------------ running

int supp_wps_exit_must_wait(wpa_iface *iface); // 1: delay the exit for a WPS run
void supp_p2p_group_remove_on_exit(wpa_iface *iface);
void supp_p2p_expire_peers(wpa_global *global);
void supp_bss_flush_by_age(wpa_iface *iface, int age);
void supp_ap_periodic(wpa_iface *iface);
void supp_config_changes_later(wpa_iface *iface); // external password, scan plans, WPS, P2P
