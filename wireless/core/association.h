// The association half of the connection road: starting an attempt (the connect work,
// security suites, the association-request elements), station management (802.11
// authentication and association through the driver, with their timers and fall-backs),
// keys, the RSN supplicant's callbacks, and the driver events of the station's own
// connection. The shared entry points are in connect.h.
#pragma once

#include "wireless/core/connect.h"
#include "wireless/core/driver.h"
#include "wireless/core/supplicant.h"

#include <cstddef>
#include <cstdint>

struct wpa_bss;
struct radio_work;

// Context of a queued "connect" or "sme-connect" work (freed with free()).
struct wpa_connect_work {
    wpa_bss *bss; // may be none
    wpa_network *ssid;
    int sme;         // queued by station management
    int bss_removed; // the BSS entry went away while the work was queued
};

// The BSS table tells the queued connect works that an entry goes away.
void supp_connect_work_bss_removed(wpa_iface *iface, const wpa_bss *bss);
// Whether the BSS and the network may still be used together by a starting work.
bool supp_connect_work_usable(wpa_iface *iface, const wpa_connect_work *cwork);

// The most bytes of association-request elements an attempt builds.
constexpr size_t SUPP_ASSOC_IE_MAX = 200;

// Element buffer helpers: an element enters only when it fits the buffer whole. 0, or
// -1 when it does not fit (the buffer is then unchanged).
int supp_ies_append(uint8_t *buf, size_t *len, size_t size, const uint8_t *ie, size_t ie_len);
int supp_ies_insert(uint8_t *buf, size_t *len, size_t size, size_t pos, const uint8_t *ie, size_t ie_len);
// Inserts the station's Extended Capabilities element in front of the elements, or
// behind a leading RSN element; nothing when it does not fit.
void supp_ies_insert_ext_capab(wpa_iface *iface, uint8_t *buf, size_t *len, size_t size);

// Association start and suites.
int supplicant_set_suites(wpa_iface *iface, wpa_bss *bss, wpa_network *ssid, uint8_t *wpa_ie,
                          size_t *wpa_ie_len);
void supplicant_set_non_wpa_policy(wpa_iface *iface, wpa_network *ssid);
// The authentication algorithms of an attempt with the network.
int supp_auth_alg_for(wpa_network *ssid);
// The AP side of the road is not built: starting it fails.
int supplicant_create_ap(wpa_iface *iface, wpa_network *ssid);

// Keys.
int wpa_set_wep_keys(wpa_iface *iface, wpa_network *ssid);
int supplicant_set_wpa_none_key(wpa_iface *iface, wpa_network *ssid);
void wpa_clear_keys(wpa_iface *iface, const uint8_t *addr);
int wpa_drv_set_key(wpa_iface *iface, wpa_alg alg, const uint8_t *addr, int key_idx, int set_tx,
                    const uint8_t *seq, size_t seq_len, const uint8_t *key, size_t key_len);
int wpa_drv_get_bssid(wpa_iface *iface, uint8_t *bssid);

// Connection state.
void supplicant_clear_connection(wpa_iface *iface);
int supplicant_set_ap_scan(wpa_iface *iface, int ap_scan);
// Key management kinds.
bool supp_key_mgmt_psk_like(int key_mgmt);
bool supp_key_mgmt_8021x(int key_mgmt);
bool supp_key_mgmt_wpa_any(int key_mgmt);

// The clock of the early-EAPOL age and the Michael MIC failure window; the unit tests
// replace it.
extern int (*supplicant_conn_clock)(os_reltime *now);

// Station management.
void sme_authenticate(wpa_iface *iface, wpa_bss *bss, wpa_network *ssid);
void sme_event_auth(wpa_iface *iface, const wpa_event_data *data);
void sme_event_assoc_reject(wpa_iface *iface, const wpa_event_data *data);
void sme_event_auth_timed_out(wpa_iface *iface, const wpa_event_data *data);
void sme_event_assoc_timed_out(wpa_iface *iface, const wpa_event_data *data);
void sme_event_disassoc(wpa_iface *iface, const wpa_event_data *data);
void sme_disassoc_while_authenticating(wpa_iface *iface, const uint8_t *prev_pending_bssid);
void sme_state_changed(wpa_iface *iface);
void sme_clear_on_disassoc(wpa_iface *iface);
void sme_sched_obss_scan(wpa_iface *iface, int enable);
int sme_proc_obss_scan(wpa_iface *iface);
void sme_deinit(wpa_iface *iface);

// The RSN supplicant and its callbacks.
int supplicant_init_wpa(wpa_iface *iface);
void supplicant_deinit_wpa(wpa_iface *iface);
void supplicant_rsn_supp_set_config(wpa_iface *iface, wpa_network *ssid);
// The RSN supplicant reaches the EAPOL supplicant through these.
void supplicant_attach_eapol_to_wpa(wpa_iface *iface);

// Driver events of the station's own connection.
void supplicant_event_assoc(wpa_iface *iface, const wpa_event_data *data);
void supplicant_event_associnfo(wpa_iface *iface, const wpa_event_data *data);
void supplicant_event_disconnect(wpa_iface *iface, uint16_t reason_code, const uint8_t *addr,
                                 int locally_generated, int deauth);
void supplicant_event_assoc_reject(wpa_iface *iface, const wpa_event_data *data);
void supplicant_event_michael_mic_failure(wpa_iface *iface, const wpa_event_data *data);
void supplicant_event_interface_status(wpa_iface *iface, const wpa_event_data *data);
void supplicant_event_interface_disabled(wpa_iface *iface);
void supplicant_event_interface_enabled(wpa_iface *iface);
void supplicant_event_disconnect_line(wpa_iface *iface, int reason_code, int locally_generated);
// Ends TKIP countermeasures (the 60-s timeout).
void supplicant_countermeasures_stop(void *eloop_ctx, void *timeout_ctx);
