// The driver events of the station's own connection: association and its information,
// disassociation and deauthentication with the reconnect policy, association rejection,
// Michael MIC failures with TKIP countermeasures, and the interface coming and going.
#include "wireless/core/association.h"

#include "wireless/core/bss.h"
#include "wireless/core/connection_state.h"
#include "wireless/core/eloop.h"
#include "wireless/core/l2_packet.h"
#include "wireless/core/network_enable.h"
#include "wireless/core/radio_work.h"
#include "wireless/core/scan.h"
#include "wireless/core/sched_scan.h"
#include "wireless/core/supplicant_hooks.h"
#include "wireless/core/text.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/core/wpabuf.h"
#include "wireless/crypto/random_pool.h"
#include "wireless/eap/eapol_supp_sm.h"
#include "wireless/rsn/pmksa_cache.h"
#include "wireless/rsn/wpa.h"

#include <cstring>

namespace {

constexpr int COUNTERMEASURES_SECS = 60;
constexpr int64_t EARLY_EAPOL_MAX_USEC = 100000; // an early frame must be younger than this

// Key managements whose keys come from EAPOL, so an association starts without them.
bool dynamic_keys(wpa_iface *iface) {
    const int km = iface->key_mgmt;
    if (km == WPA_KEY_MGMT_NONE || km == WPA_KEY_MGMT_WPA_NONE) return false;
    if (km == WPA_KEY_MGMT_IEEE8021X_NO_WPA)
        return iface->current_ssid == nullptr || (iface->current_ssid->eapol_flags & 3) != 0;
    return true;
}

// Walks elements that fit the range; the first for which `match` holds, or none.
template <typename Match> const uint8_t *find_ie(const uint8_t *ies, size_t len, Match match) {
    size_t pos = 0;
    while (ies != nullptr && pos + 2 <= len) {
        const size_t elen = ies[pos + 1];
        if (pos + 2 + elen > len) break;
        if (match(ies + pos)) return ies + pos;
        pos += 2 + elen;
    }
    return nullptr;
}

bool is_wpa_v1(const uint8_t *e) {
    return e[0] == WLAN_EID_VENDOR_SPECIFIC && e[1] >= 6 && wpa_get_be32(e + 2) == WPA_OUI_TYPE_WPA &&
           e[6] == 1 && e[7] == 0;
}

bool is_own_security_ie(const uint8_t *e) {
    if (e[0] == WLAN_EID_RSN) return e[1] >= 2;
    if (e[0] != WLAN_EID_VENDOR_SPECIFIC) return false;
    if (is_wpa_v1(e)) return true;
    return e[1] >= 4 && wpa_get_be32(e + 2) == OSEN_IE_VENDOR_TYPE;
}

void fill_current_bss(wpa_iface *iface, const uint8_t *bssid) {
    wpa_network *ssid = iface->current_ssid;
    for (int attempt = 0; attempt < 2; attempt++) {
        wpa_bss *bss = nullptr;
        if (ssid->ssid.len) bss = wpa_bss_get(iface, bssid, ssid->ssid.data, ssid->ssid.len);
        if (bss == nullptr) bss = wpa_bss_get_bssid_latest(iface, bssid);
        if (bss) {
            iface->current_bss = bss;
            return;
        }
        if (attempt == 0 && supplicant_update_scan_results(iface) < 0) return;
    }
}

bool disallowed_by_driver_report(const wpa_iface *iface, const uint8_t *bssid, const uint8_t *ssid,
                                 size_t ssid_len) {
    for (size_t i = 0; iface->disallow_aps_bssid && i < iface->disallow_aps_bssid_count; i++)
        if (memcmp(iface->disallow_aps_bssid + 6 * i, bssid, 6) == 0) return true;
    for (size_t i = 0; iface->disallow_aps_ssid && i < iface->disallow_aps_ssid_count; i++) {
        const wpa_ssid_value &v = iface->disallow_aps_ssid[i];
        if (v.ssid_len == ssid_len && memcmp(v.ssid, ssid, ssid_len) == 0) return true;
    }
    return false;
}

// The driver chose the BSS (ap_scan 2, or no network of ours is current): the SSID it
// joined decides the network. 0 to go on, -1 when the association is to be left: the SSID
// cannot be read, or no usable network of ours has it (staying would run the current
// network's keys, or none, on a network nobody configured).
int select_network_by_driver(wpa_iface *iface, const uint8_t *bssid) {
    uint8_t ssid[32];
    int len = iface->driver && iface->driver->get_ssid ? iface->driver->get_ssid(iface->drv_priv, ssid) : -1;
    if (len < 0) {
        wpa_msg_iface(iface, MSG_INFO, "Failed to read SSID from driver");
        return -1;
    }
    if (len > 32) len = 32;
    const size_t n = static_cast<size_t>(len);
    wpa_network *cur = iface->current_ssid;
    if (cur && cur->ssid.data && cur->ssid.len == n && memcmp(cur->ssid.data, ssid, n) == 0) return 0;
    wpa_msg_iface(iface, MSG_DEBUG, "Driver-initiated BSS selection changed the SSID to %s",
                  wpa_ssid_txt(ssid, n));
    wpa_network *s = supplicant_get_ssid(iface);
    if (s == nullptr) {
        wpa_msg_iface(iface, MSG_INFO, "No network configuration found for the current AP");
        return -1;
    }
    if (disallowed_by_driver_report(iface, bssid, ssid, n) || supp_temp_disabled(iface, s) > 0) return -1;
    if (supp_key_mgmt_wpa_any(s->key_mgmt)) {
        uint8_t ie[80];
        size_t ie_len = sizeof(ie);
        supplicant_set_suites(iface, nullptr, s, ie, &ie_len);
    } else {
        supplicant_set_non_wpa_policy(iface, s);
    }
    iface->current_ssid = s;
    fill_current_bss(iface, bssid);
    supplicant_rsn_supp_set_config(iface, s);
    supplicant_initiate_eapol(iface);
    return 0;
}

void deliver_early_eapol(wpa_iface *iface) {
    wpa_buf *frame = iface->pending_eapol_rx;
    if (frame == nullptr) return;
    iface->pending_eapol_rx = nullptr;
    os_reltime now, age;
    supplicant_conn_clock(&now);
    os_reltime_sub(&now, &iface->pending_eapol_rx_time, &age);
    if (age.sec == 0 && age.usec >= 0 && age.usec < EARLY_EAPOL_MAX_USEC &&
        memcmp(iface->pending_eapol_rx_src, iface->bssid, 6) == 0)
        supplicant_rx_eapol(iface, iface->pending_eapol_rx_src, wpa_buf_head(frame), wpa_buf_len(frame));
    wpa_buf_free(frame);
}

} // namespace

// ------------------------------------------------------------------ association

void supplicant_event_associnfo(wpa_iface *iface, const wpa_event_data *data) {
    const auto &ai = data->assoc_info;
    const uint8_t *own = find_ie(ai.req_ies, ai.req_ies_len, is_own_security_ie);
    if (own) {
        wpa_sm_store_own_ie(iface->wpa, own, 2u + own[1]);
        wpa_ie_info info{};
        if (iface->wpa && wpa_decode_security_ie(own, 2u + own[1], &info) == 0) {
            const uint8_t *bssid = ai.addr ? ai.addr : iface->bssid;
            for (size_t i = 0; i < info.num_pmkid; i++) {
                if (wpa_sm_select_pmksa(iface->wpa, info.pmkid + i * PMKID_LEN, bssid, iface->current_ssid,
                                        0) == 0) {
                    if (iface->eapol) eapol_supp_note_pmksa_attempt(iface->eapol, true);
                    break;
                }
            }
        }
    } else if (ai.req_ies != nullptr) {
        // Request elements without one; without any (a back end that saw only the
        // response) the element the station sent stays.
        wpa_sm_store_own_ie(iface->wpa, nullptr, 0);
    }
    if (ai.beacon_ies) {
        const uint8_t *wpa = find_ie(ai.beacon_ies, ai.beacon_ies_len, is_wpa_v1);
        const uint8_t *rsn =
            find_ie(ai.beacon_ies, ai.beacon_ies_len, [](const uint8_t *e) { return e[0] == WLAN_EID_RSN; });
        if (wpa || rsn) iface->ap_ies_from_associnfo = 1;
        wpa_sm_store_ap_wpa_ie(iface->wpa, wpa, wpa ? 2u + wpa[1] : 0);
        wpa_sm_store_ap_rsn_ie(iface->wpa, rsn, rsn ? 2u + rsn[1] : 0);
    }
    if (ai.freq && iface->assoc_freq != static_cast<int>(ai.freq)) {
        supplicant_update_scan_results(iface);
        iface->assoc_freq = static_cast<int>(ai.freq);
    }
}

void supplicant_event_assoc(wpa_iface *iface, const wpa_event_data *data) {
    if (data) supplicant_event_associnfo(iface, data);
    uint8_t bssid[6];
    if (wpa_drv_get_bssid(iface, bssid) < 0) {
        supplicant_deauthenticate(iface, 3);
        return;
    }
    supplicant_set_state(iface, WPA_ASSOCIATED);
    if (memcmp(bssid, iface->bssid, 6) != 0) {
        random_pool_add_entropy(bssid, 6);
        memcpy(iface->bssid, bssid, 6);
        memset(iface->pending_bssid, 0, 6);
        if (dynamic_keys(iface)) wpa_clear_keys(iface, bssid);
        if (iface->conf->ap_scan == 1 && iface->current_ssid) {
            fill_current_bss(iface, bssid);
        } else if (select_network_by_driver(iface, bssid) < 0) {
            supplicant_deauthenticate(iface, 3);
            return;
        }
    }
    wpa_msg_iface(iface, MSG_INFO, "Associated with %02x:%02x:%02x:%02x:%02x:%02x", bssid[0], bssid[1],
                  bssid[2], bssid[3], bssid[4], bssid[5]);
    wpa_sm_on_associated(iface->wpa, bssid);
    // A later roam within the network reassociates naming this AP.
    memcpy(iface->sme.prev_bssid, bssid, 6);
    iface->sme.prev_bssid_set = 1;

    if (iface->eapol) {
        eapol_supp_set_port_enabled(iface->eapol, false);
        eapol_supp_set_port_valid(iface->eapol, false);
        if (supp_key_mgmt_psk_like(iface->key_mgmt)) eapol_supp_set_eap_success(iface->eapol, false);
        eapol_supp_set_port_enabled(iface->eapol, true);
    }
    iface->eapol_received = 0;

    wpa_network *ssid = iface->current_ssid;
    if (iface->key_mgmt == WPA_KEY_MGMT_NONE || iface->key_mgmt == WPA_KEY_MGMT_WPA_NONE ||
        (ssid && ssid->mode == SUPP_MODE_IBSS)) {
        if (iface->key_mgmt == WPA_KEY_MGMT_WPA_NONE && ssid &&
            (iface->drv_flags & WPA_DRIVER_FLAGS_SET_KEYS_AFTER_ASSOC_DONE))
            supplicant_set_wpa_none_key(iface, ssid);
        supplicant_cancel_auth_timeout(iface);
        supplicant_set_state(iface, WPA_COMPLETED);
    } else {
        supplicant_req_auth_timeout(iface, 10, 0);
    }
    supplicant_cancel_scan(iface);

    iface->last_eapol_matches_bssid = 0;
    deliver_early_eapol(iface);

    if ((iface->key_mgmt == WPA_KEY_MGMT_NONE || iface->key_mgmt == WPA_KEY_MGMT_IEEE8021X_NO_WPA) && ssid &&
        (iface->drv_flags & WPA_DRIVER_FLAGS_SET_KEYS_AFTER_ASSOC_DONE))
        wpa_set_wep_keys(iface, ssid);
    if (data == nullptr) return;
    wpa_msg_iface(iface, MSG_INFO, "CTRL-EVENT-SUBNET-STATUS-UPDATE status=%u",
                  static_cast<unsigned int>(data->assoc_info.subnet_status));
}

// ------------------------------------------------------------------ disconnection

void supplicant_event_disconnect_line(wpa_iface *iface, int reason_code, int locally_generated) {
    if (iface->key_mgmt == WPA_KEY_MGMT_WPA_NONE) return;
    const uint8_t *b = !is_zero_ether_addr(iface->bssid) ? iface->bssid : iface->pending_bssid;
    if (is_zero_ether_addr(b) && iface->wpa_state < WPA_AUTHENTICATING) return;
    wpa_msg_iface(iface, MSG_INFO, "CTRL-EVENT-DISCONNECTED bssid=%02x:%02x:%02x:%02x:%02x:%02x reason=%d%s",
                  b[0], b[1], b[2], b[3], b[4], b[5], reason_code,
                  locally_generated ? " locally_generated=1" : "");
}

void supplicant_event_disconnect(wpa_iface *iface, uint16_t reason_code, const uint8_t *,
                                 int locally_generated, int) {
    if (!locally_generated) iface->own_disconnect_req = 0;
    supplicant_event_disconnect_line(iface, reason_code, locally_generated);

    const int state = iface->wpa_state;
    const int km = iface->key_mgmt;
    if ((reason_code == 23 || (static_cast<uint32_t>(km) & 0x3c0a9)) && iface->eapol &&
        eapol_supp_has_failed(iface->eapol) && !iface->eapol_failed)
        supp_auth_failed(iface, "AUTH_FAILED");
    if (km == WPA_KEY_MGMT_WPA_NONE) return;

    if (state == WPA_4WAY_HANDSHAKE && supp_key_mgmt_psk_like(km) &&
        !(locally_generated && reason_code == 17)) {
        wpa_msg_iface(iface, MSG_INFO, "WPA: 4-Way Handshake failed - pre-shared key may be incorrect");
        supp_auth_failed(iface, "WRONG_KEY");
    }
    wpa_bss *remove_bss =
        locally_generated && reason_code == 4 && state > WPA_ASSOCIATING ? iface->current_bss : nullptr;

    wpa_bss *retry_bss = nullptr;
    wpa_network *retry_ssid = nullptr;
    if (iface->disconnected || iface->auto_reconnect_disabled) {
        iface->reassociate = 0;
        iface->disconnected = 1;
        if (!iface->pno) supplicant_cancel_sched_scan(iface);
    } else if (state == WPA_COMPLETED && iface->current_ssid &&
               iface->current_ssid->mode == SUPP_MODE_INFRA && !locally_generated &&
               (reason_code == 4 || reason_code == 6 || reason_code == 7)) {
        retry_bss = iface->current_bss;
        retry_ssid = iface->current_ssid;
    } else if (state > WPA_ASSOCIATING) {
        supplicant_req_scan(iface, 0, 100000);
    }

    if (state > WPA_SCANNING)
        supp_connection_failed(iface,
                               !is_zero_ether_addr(iface->bssid) ? iface->bssid : iface->pending_bssid);
    wpa_sm_on_disassociated(iface->wpa);
    iface->disconnect_reason = locally_generated ? -static_cast<int>(reason_code) : reason_code;
    if (dynamic_keys(iface)) wpa_clear_keys(iface, iface->bssid);
    uint8_t prev_pending[6];
    memcpy(prev_pending, iface->pending_bssid, 6);
    wpa_network *keep_ssid = iface->current_ssid;
    supplicant_clear_connection(iface);
    if (remove_bss) {
        if (retry_bss == remove_bss) retry_bss = nullptr;
        wpa_bss_remove(iface, remove_bss, "Connection to AP lost");
    }
    if (state == WPA_AUTHENTICATING && (iface->drv_flags & WPA_DRIVER_FLAGS_SME)) {
        sme_disassoc_while_authenticating(iface, prev_pending);
        iface->current_ssid = keep_ssid;
    }

    if (retry_ssid) {
        if (retry_bss && supp_network_disabled(iface, retry_ssid) == 0 &&
            !supp_temp_disabled(iface, retry_ssid)) {
            supplicant_connect(iface, retry_bss, retry_ssid);
        } else {
            supplicant_req_scan(iface, 0, 100000);
        }
    }
}

void supplicant_event_assoc_reject(wpa_iface *iface, const wpa_event_data *data) {
    const auto &r = data->assoc_reject;
    const char *suffix = r.timed_out ? " timeout" : "";
    if (r.bssid) {
        const uint8_t *b = r.bssid;
        wpa_msg_iface(iface, MSG_INFO,
                      "CTRL-EVENT-ASSOC-REJECT bssid=%02x:%02x:%02x:%02x:%02x:%02x status_code=%u%s", b[0],
                      b[1], b[2], b[3], b[4], b[5], r.status_code, suffix);
    } else {
        wpa_msg_iface(iface, MSG_INFO, "CTRL-EVENT-ASSOC-REJECT status_code=%u%s", r.status_code, suffix);
    }
    iface->assoc_status_code = r.status_code;
    if (iface->drv_flags & WPA_DRIVER_FLAGS_SME) {
        sme_event_assoc_reject(iface, data);
        return;
    }
    supp_connection_failed(iface, r.bssid ? r.bssid : iface->pending_bssid);
    supplicant_clear_connection(iface);
}

// ------------------------------------------------------------------ Michael MIC failures

void supplicant_countermeasures_stop(void *eloop_ctx, void *) {
    auto *iface = static_cast<wpa_iface *>(eloop_ctx);
    if (!iface->countermeasures) return;
    iface->countermeasures = 0;
    wpa_drv_set_countermeasures(iface, 0);
    wpa_msg_iface(iface, MSG_INFO, "WPA: TKIP countermeasures stopped");
    supplicant_cancel_sched_scan(iface);
    supplicant_req_scan(iface, 0, 0);
}

void supplicant_event_michael_mic_failure(wpa_iface *iface, const wpa_event_data *data) {
    wpa_msg_iface(iface, MSG_WARNING, "Michael MIC failure detected");
    const int pairwise = data && data->michael_mic_failure.unicast;
    wpa_sm_send_key_request(iface->wpa, 1, pairwise);
    os_reltime now;
    supplicant_conn_clock(&now);
    // Only a failure that follows an earlier one within 60 s starts countermeasures; before
    // the first failure there is no earlier one, whatever the clock says.
    bool second = false;
    if (iface->mic_failure_seen) {
        os_reltime since;
        os_reltime_sub(&now, &iface->last_michael_mic_error, &since);
        second = since.sec < COUNTERMEASURES_SECS || (since.sec == COUNTERMEASURES_SECS && since.usec == 0);
    }
    if (second) {
        iface->countermeasures = 1;
        uint8_t bssid[6];
        memcpy(bssid, iface->bssid, 6);
        wpa_blacklist_add(iface, bssid);
        wpa_msg_iface(iface, MSG_WARNING, "TKIP countermeasures started");
        // The report above must leave before the deauthentication.
        os_sleep(0, 10000);
        wpa_drv_set_countermeasures(iface, 1);
        supplicant_deauthenticate(iface, 14);
        eloop_cancel_timeout(supplicant_countermeasures_stop, iface, nullptr);
        eloop_register_timeout(COUNTERMEASURES_SECS, 0, supplicant_countermeasures_stop, iface, nullptr);
    }
    iface->last_michael_mic_error = now;
    iface->mic_failure_seen = 1;
    iface->pending_mic_errors++;
}

// ------------------------------------------------------------------ interface news

void supplicant_event_interface_status(wpa_iface *iface, const wpa_event_data *data) {
    const auto &st = data->interface_status;
    if (strncmp(st.ifname, iface->ifname, sizeof(st.ifname)) != 0) return;
    if (st.ievent == decltype(data->interface_status)::EVENT_INTERFACE_REMOVED) {
        iface->interface_removed = 1;
        supplicant_clear_connection(iface);
        supplicant_set_state(iface, WPA_INTERFACE_DISABLED);
        supp_l2_close(iface);
        return;
    }
    if (!iface->interface_removed) return;
    iface->interface_removed = 0;
    if (supplicant_driver_init(iface) < 0)
        wpa_msg_iface(iface, MSG_INFO, "Failed to initialize the driver after interface was added");
}

void supplicant_event_interface_disabled(wpa_iface *iface) {
    if (iface->wpa_state > WPA_SCANNING) supplicant_event_disconnect_line(iface, 3, 1);
    supplicant_clear_connection(iface);
    wpa_bss_flush(iface);
    radio_remove_works(iface, nullptr, 0);
    supplicant_set_state(iface, WPA_INTERFACE_DISABLED);
}

void supplicant_event_interface_enabled(wpa_iface *iface) {
    supplicant_update_mac_addr(iface);
    supplicant_set_state(iface, WPA_DISCONNECTED);
    iface->scan_req = NORMAL_SCAN_REQ;
    supplicant_req_scan(iface, 0, 0);
}

int supplicant_tkip_countermeasures(wpa_iface *iface) {
    return iface->countermeasures;
}
