// Station management for back ends that leave the two steps of joining an access point to
// us: IEEE 802.11 authentication and then (re)association, each a driver request guarded
// by a 5-second timer, with the fall-back from OPEN to SHARED to LEAP when the AP says it
// does not support the algorithm.
#include "wireless/core/association.h"

#include "wireless/common/ieee802_11_common.h"
#include "wireless/core/bss.h"
#include "wireless/core/connection_state.h"
#include "wireless/core/eloop.h"
#include "wireless/core/radio_work.h"
#include "wireless/core/scan.h"
#include "wireless/core/sched_scan.h"
#include "wireless/core/text.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/core/wpabuf.h"
#include "wireless/eap/eapol_supp_sm.h"
#include "wireless/rsn/pmksa_cache.h"
#include "wireless/rsn/wpa.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int SME_AUTH_TIMEOUT = 5;
constexpr int SME_ASSOC_TIMEOUT = 5;
constexpr uint16_t WLAN_STATUS_NOT_SUPPORTED_AUTH_ALG = 13;
constexpr uint16_t WLAN_REASON_DEAUTH_LEAVING = 3;
constexpr uint8_t WLAN_EID_RRM_ENABLED_CAPABILITIES = 70;
constexpr uint16_t IEEE80211_CAP_RRM = 0x1000;

void auth_timer(void *eloop_ctx, void *timeout_ctx);
void assoc_timer(void *eloop_ctx, void *timeout_ctx);

void fmt_event(wpa_iface *iface, int level, const char *what, const uint8_t *b, const uint8_t *ssid,
               size_t ssid_len, int freq) {
    wpa_msg_iface(iface, level, "%s%02x:%02x:%02x:%02x:%02x:%02x (SSID='%s' freq=%d MHz)", what, b[0], b[1],
                  b[2], b[3], b[4], b[5], wpa_ssid_txt(ssid, ssid_len), freq);
}

// The first security element of the association elements: RSN, else WPA, else OSEN.
const uint8_t *own_security_ie(const uint8_t *ies, size_t len, int *proto) {
    const uint8_t *rsn = wpa_ies_find(ies, len, WLAN_EID_RSN);
    if (rsn) {
        *proto = WPA_PROTO_RSN;
        return rsn;
    }
    const uint8_t *wpa = wpa_ies_find_vendor(ies, len, WPA_IE_VENDOR_TYPE);
    if (wpa) {
        *proto = WPA_PROTO_WPA;
        return wpa;
    }
    const uint8_t *osen = wpa_ies_find_vendor(ies, len, OSEN_IE_VENDOR_TYPE);
    if (osen) *proto = WPA_PROTO_OSEN;
    return osen;
}

// What an attempt that failed in station management leaves behind.
// The radio is free again once an attempt has failed.
void attempt_failed(wpa_iface *iface, const uint8_t *bssid) {
    supp_connection_failed(iface, bssid);
    supplicant_mark_disassociated(iface);
    supp_connect_work_done(iface);
}

void sme_associate(wpa_iface *iface, int mode, const uint8_t *bssid, int auth_alg) {
    wpa_driver_associate_params params{};
    params.bssid = bssid;
    params.ssid = iface->sme.ssid;
    params.ssid_len = iface->sme.ssid_len;
    params.freq.freq = iface->sme.freq;
    params.bg_scan_period = iface->current_ssid ? iface->current_ssid->bg_scan_period : -1;
    params.wpa_ie = iface->sme.assoc_req_ie_len ? iface->sme.assoc_req_ie : nullptr;
    params.wpa_ie_len = iface->sme.assoc_req_ie_len;
    params.pairwise_suite = static_cast<unsigned int>(iface->pairwise_cipher);
    params.group_suite = static_cast<unsigned int>(iface->group_cipher);
    params.key_mgmt_suite = static_cast<unsigned int>(iface->key_mgmt);
    params.wpa_proto = static_cast<unsigned int>(iface->wpa_proto);
    params.auth_alg = auth_alg;
    params.mode = mode;
    params.rrm_used = iface->sme.rrm_used;
    if (iface->sme.prev_bssid_set) params.prev_bssid = iface->sme.prev_bssid;
    params.p2p = iface->current_ssid ? iface->current_ssid->p2p_group : 0;
    params.uapsd = iface->parent->set_uapsd ? iface->parent->sta_uapsd : -1;

    fmt_event(iface, MSG_INFO, "Trying to associate with ", bssid, params.ssid, params.ssid_len,
              params.freq.freq);
    supplicant_set_state(iface, WPA_ASSOCIATING);

    int proto = 0;
    const uint8_t *own = own_security_ie(iface->sme.assoc_req_ie, iface->sme.assoc_req_ie_len, &proto);
    if (own) {
        wpa_sm_configure_param(iface->wpa, WPA_PARAM_PROTO, static_cast<unsigned int>(proto));
        wpa_sm_store_own_ie(iface->wpa, own, 2u + own[1]);
    } else {
        wpa_sm_store_own_ie(iface->wpa, nullptr, 0);
    }

    const int ret =
        iface->driver && iface->driver->associate ? iface->driver->associate(iface->drv_priv, &params) : -1;
    if (ret < 0) {
        wpa_msg_iface(iface, MSG_INFO, "SME: Association request to the driver failed");
        supp_connection_failed(iface, iface->pending_bssid);
        supplicant_set_state(iface, WPA_DISCONNECTED);
        memset(iface->pending_bssid, 0, 6);
        supp_connect_work_done(iface);
        return;
    }
    eloop_register_timeout(SME_ASSOC_TIMEOUT, 0, assoc_timer, iface, nullptr);
}

// Builds the association elements of an attempt into the station-management buffer; -1
// when the suites cannot be chosen (the event is sent).
int build_assoc_ies(wpa_iface *iface, wpa_bss *bss, wpa_network *ssid) {
    uint8_t *buf = iface->sme.assoc_req_ie;
    const size_t size = sizeof(iface->sme.assoc_req_ie);
    size_t len = 0;
    iface->sme.assoc_req_ie_len = 0;
    const bool bss_sec = wpa_bss_get_vendor_ie(bss, WPA_IE_VENDOR_TYPE) || wpa_bss_get_ie(bss, WLAN_EID_RSN);
    if (bss_sec && supp_key_mgmt_wpa_any(ssid->key_mgmt) && ssid->key_mgmt != WPA_KEY_MGMT_WPA_NONE) {
        const int okc = ssid->proactive_key_caching < 0 ? iface->conf->okc : ssid->proactive_key_caching;
        if (iface->wpa &&
            wpa_sm_select_pmksa(iface->wpa, nullptr, bss->bssid, ssid,
                                okc && (ssid->proto & WPA_PROTO_RSN)) == 0 &&
            iface->eapol)
            eapol_supp_note_pmksa_attempt(iface->eapol, true);
        len = size;
        if (supplicant_set_suites(iface, bss, ssid, buf, &len) < 0) {
            wpa_msg_iface(iface, MSG_WARNING, "SME: Failed to set WPA key management and encryption suites");
            return -1;
        }
    } else if (ssid->key_mgmt & WPA_KEY_MGMT_IEEE8021X_NO_WPA) {
        // Dynamic WEP: no element.
        supplicant_set_non_wpa_policy(iface, ssid);
    } else if (supp_key_mgmt_wpa_any(ssid->key_mgmt)) {
        len = size;
        if (supplicant_set_suites(iface, nullptr, ssid, buf, &len) < 0) {
            wpa_msg_iface(iface, MSG_WARNING,
                          "SME: Failed to set WPA key management and encryption suites (no scan results)");
            return -1;
        }
    } else {
        supplicant_set_non_wpa_policy(iface, ssid);
    }

    // Radio measurement, when both sides support it.
    iface->sme.rrm_used = 0;
    const uint8_t *rrm = wpa_bss_get_ie(bss, WLAN_EID_RRM_ENABLED_CAPABILITIES);
    const unsigned int rf = iface->drv_capa.rrm_flags;
    if (rrm && (bss->caps & IEEE80211_CAP_RRM) && ((rf & 0x3) == 0x3 || (rf & 0x4))) {
        uint8_t el[7] = {WLAN_EID_RRM_ENABLED_CAPABILITIES, 5, 0, 0, 0, 0, 0};
        if (rf & 0x8) el[2] = 0x01;
        if (iface->lci) el[3] = 0x10;
        if (supp_ies_append(buf, &len, size, el, sizeof(el)) == 0) iface->sme.rrm_used = 1;
    }

    supp_ies_insert_ext_capab(iface, buf, &len, size);
    if (wpa_buf *v = iface->vendor_elem[13])
        supp_ies_append(buf, &len, size, wpa_buf_head(v), wpa_buf_len(v));
    iface->sme.assoc_req_ie_len = len;
    return 0;
}

void send_authentication(wpa_iface *iface, wpa_bss *bss, wpa_network *ssid) {
    iface->current_bss = bss;
    iface->reassociate = 0;
    if (bss->ssid_len != iface->sme.ssid_len || memcmp(bss->ssid, iface->sme.ssid, bss->ssid_len) != 0)
        iface->sme.prev_bssid_set = 0;
    memcpy(iface->sme.ssid, bss->ssid, bss->ssid_len);
    iface->sme.ssid_len = bss->ssid_len;
    iface->sme.freq = bss->freq;

    wpa_driver_auth_params params{};
    params.freq = bss->freq;
    params.bssid = bss->bssid;
    params.ssid = bss->ssid;
    params.ssid_len = bss->ssid_len;
    params.auth_alg = supp_auth_alg_for(ssid);
    for (int i = 0; i < 4; i++) {
        if (ssid->wep_key[i].len) {
            params.wep_key[i] = ssid->wep_key[i].data;
            params.wep_key_len[i] = ssid->wep_key[i].len;
        }
    }
    params.wep_tx_keyidx = ssid->wep_tx_keyidx;
    params.p2p = ssid->p2p_group;

    memset(iface->bssid, 0, 6);
    memcpy(iface->pending_bssid, bss->bssid, 6);

    if (build_assoc_ies(iface, bss, ssid) < 0) {
        supp_connect_work_done(iface);
        return;
    }

    if (!iface->pno) supplicant_cancel_sched_scan(iface);
    supplicant_cancel_scan(iface);
    fmt_event(iface, MSG_INFO, "SME: Trying to authenticate with ", bss->bssid, bss->ssid, bss->ssid_len,
              bss->freq);
    wpa_clear_keys(iface, bss->bssid);
    supplicant_set_state(iface, WPA_AUTHENTICATING);
    if (iface->current_ssid && iface->current_ssid != ssid && iface->eapol)
        eapol_supp_invalidate_cached_session(iface->eapol);
    iface->current_ssid = ssid;
    supplicant_rsn_supp_set_config(iface, ssid);
    supplicant_initiate_eapol(iface);

    if (iface->conf->reassoc_same_bss_optim && iface->reassoc_same_bss) {
        wpa_msg_iface(iface, MSG_DEBUG, "SME: Skip authentication step on reassoc-to-same-BSS");
        sme_associate(iface, ssid->mode, bss->bssid, params.auth_alg);
        return;
    }

    iface->sme.auth_alg = params.auth_alg;
    const int ret = iface->driver && iface->driver->authenticate
                        ? iface->driver->authenticate(iface->drv_priv, &params)
                        : -1;
    if (ret < 0) {
        wpa_msg_iface(iface, MSG_INFO, "SME: Authentication request to the driver failed");
        attempt_failed(iface, bss->bssid);
        supp_connect_work_done(iface);
        return;
    }
    eloop_register_timeout(SME_AUTH_TIMEOUT, 0, auth_timer, iface, nullptr);
}

void auth_start_cb(radio_work *work, int deinit) {
    wpa_iface *iface = work->iface;
    auto *cwork = static_cast<wpa_connect_work *>(work->ctx);
    if (deinit) {
        free(cwork);
        work->ctx = nullptr;
        return;
    }
    iface->connect_work = work;
    if (!supp_connect_work_usable(iface, cwork) || cwork->bss == nullptr) {
        supp_connect_work_done(iface);
        return;
    }
    send_authentication(iface, cwork->bss, cwork->ssid);
}

// What a rejection and both timers leave behind.
void assoc_failed(wpa_iface *iface) {
    if (wpa_drv_deauthenticate(iface, iface->pending_bssid, WLAN_REASON_DEAUTH_LEAVING) < 0)
        wpa_msg_iface(iface, MSG_INFO, "SME: Deauth request to the driver failed");
    iface->sme.prev_bssid_set = 0;
    supp_connection_failed(iface, iface->pending_bssid);
    supplicant_set_state(iface, WPA_DISCONNECTED);
    memset(iface->bssid, 0, 6);
    memset(iface->pending_bssid, 0, 6);
    supp_connect_work_done(iface);
}

void auth_timer(void *eloop_ctx, void *) {
    auto *iface = static_cast<wpa_iface *>(eloop_ctx);
    if (iface->wpa_state != WPA_AUTHENTICATING) return;
    wpa_msg_iface(iface, MSG_DEBUG, "SME: Authentication timeout");
    assoc_failed(iface);
}

void assoc_timer(void *eloop_ctx, void *) {
    auto *iface = static_cast<wpa_iface *>(eloop_ctx);
    if (iface->wpa_state != WPA_ASSOCIATING) return;
    wpa_msg_iface(iface, MSG_DEBUG, "SME: Association timeout");
    assoc_failed(iface);
}

} // namespace

void sme_authenticate(wpa_iface *iface, wpa_bss *bss, wpa_network *ssid) {
    if (ssid == nullptr || iface->connect_work) return;
    if (bss == nullptr) {
        wpa_msg_iface(iface, MSG_ERROR, "SME: No scan result available for the network");
        return;
    }
    radio_remove_works(iface, "sme-connect", 0);
    if (iface->own_scan_running) supplicant_abort_scan(iface);
    auto *cwork = static_cast<wpa_connect_work *>(calloc(1, sizeof(wpa_connect_work)));
    if (cwork == nullptr) return;
    cwork->bss = bss;
    cwork->ssid = ssid;
    cwork->sme = 1;
    if (radio_add_work(iface, static_cast<unsigned int>(bss->freq), "sme-connect", 1, auth_start_cb, cwork) <
        0)
        free(cwork);
}

void sme_event_auth(wpa_iface *iface, const wpa_event_data *data) {
    wpa_network *ssid = iface->current_ssid;
    if (data == nullptr || ssid == nullptr || iface->wpa_state != WPA_AUTHENTICATING ||
        memcmp(iface->pending_bssid, data->auth.peer, 6) != 0)
        return;
    eloop_cancel_timeout(auth_timer, iface, nullptr);
    const auto &a = data->auth;
    if (a.status_code == 0) {
        sme_associate(iface, ssid->mode, a.peer, iface->sme.auth_alg);
        return;
    }
    std::string hex;
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; a.ies != nullptr && i < a.ies_len; i++) {
        hex += digits[a.ies[i] >> 4];
        hex += digits[a.ies[i] & 15];
    }
    const uint8_t *p = a.peer;
    wpa_msg_iface(iface, MSG_INFO,
                  "CTRL-EVENT-AUTH-REJECT %02x:%02x:%02x:%02x:%02x:%02x auth_type=%u auth_transaction=%u "
                  "status_code=%u ie=%s",
                  p[0], p[1], p[2], p[3], p[4], p[5], a.auth_type, a.auth_transaction, a.status_code,
                  hex.c_str());
    if (a.status_code != WLAN_STATUS_NOT_SUPPORTED_AUTH_ALG || a.auth_type == iface->sme.auth_alg ||
        ssid->auth_alg == WPA_AUTH_ALG_LEAP) {
        supp_connection_failed(iface, iface->pending_bssid);
        supplicant_set_state(iface, WPA_DISCONNECTED);
        supp_connect_work_done(iface);
        return;
    }
    // The AP does not know the algorithm: a new attempt with the next one.
    supp_connect_work_done(iface);
    if (a.auth_type == 0)
        ssid->auth_alg = WPA_AUTH_ALG_SHARED;
    else if (a.auth_type == 1)
        ssid->auth_alg = WPA_AUTH_ALG_LEAP;
    else
        return;
    supplicant_associate(iface, iface->current_bss, ssid);
}

void sme_event_assoc_reject(wpa_iface *iface, const wpa_event_data *) {
    eloop_cancel_timeout(assoc_timer, iface, nullptr);
    assoc_failed(iface);
}

void sme_event_auth_timed_out(wpa_iface *iface, const wpa_event_data *) {
    attempt_failed(iface, iface->pending_bssid);
}

void sme_event_assoc_timed_out(wpa_iface *iface, const wpa_event_data *) {
    attempt_failed(iface, iface->pending_bssid);
}

void sme_event_disassoc(wpa_iface *iface, const wpa_event_data *) {
    if (iface->sme.prev_bssid_set)
        wpa_drv_deauthenticate(iface, iface->sme.prev_bssid, WLAN_REASON_DEAUTH_LEAVING);
}

void sme_disassoc_while_authenticating(wpa_iface *iface, const uint8_t *prev_pending_bssid) {
    supplicant_set_state(iface, WPA_AUTHENTICATING);
    memcpy(iface->pending_bssid, prev_pending_bssid, 6);
    eloop_cancel_timeout(auth_timer, iface, nullptr);
    eloop_register_timeout(SME_AUTH_TIMEOUT, 0, auth_timer, iface, nullptr);
}

void sme_state_changed(wpa_iface *iface) {
    if (iface->wpa_state != WPA_ASSOCIATING) eloop_cancel_timeout(assoc_timer, iface, nullptr);
    if (iface->wpa_state != WPA_AUTHENTICATING) eloop_cancel_timeout(auth_timer, iface, nullptr);
}

void sme_clear_on_disassoc(wpa_iface *iface) {
    iface->sme.prev_bssid_set = 0;
}

void sme_deinit(wpa_iface *iface) {
    iface->sme.assoc_req_ie_len = 0;
    iface->sme.prev_bssid_set = 0;
    eloop_cancel_timeout(auth_timer, iface, nullptr);
    eloop_cancel_timeout(assoc_timer, iface, nullptr);
    sme_sched_obss_scan(iface, 0);
}

// ------------------------------------------------------------------ 20/40 MHz coexistence

namespace {

constexpr uint8_t WLAN_EID_HT_CAP = 45;
constexpr uint8_t WLAN_EID_HT_OPERATION = 61;
constexpr uint8_t WLAN_EID_OVERLAPPING_BSS_SCAN_PARAMS = 74;
constexpr uint8_t WLAN_EID_COUNTRY = 7;
constexpr uint16_t HT_CAP_SUP_WIDTH_20_40 = 0x0002;
constexpr uint16_t HT_CAP_40MHZ_INTOLERANT = 0x4000;

const hw_mode_info *mode_g(const wpa_iface *iface) {
    for (unsigned int i = 0; iface->hw_modes && i < iface->num_hw_modes; i++)
        if (iface->hw_modes[i].mode == HW_MODE_IEEE80211G) return &iface->hw_modes[i];
    return nullptr;
}

// The frame goes to the AP on the channel of the association, at once and without a wait
// for a reply.
int send_public_action(wpa_iface *iface, const uint8_t *bssid, const uint8_t *body, size_t len) {
    if (iface->driver == nullptr || iface->driver->send_action == nullptr) return -1;
    return iface->driver->send_action(iface->drv_priv, static_cast<unsigned int>(iface->assoc_freq), 0, bssid,
                                      iface->own_addr, bssid, body, len, 0);
}

uint16_t ht_caps(const uint8_t *ht) {
    return static_cast<uint16_t>(ht[2] | (ht[3] << 8));
}

void obss_timer(void *eloop_ctx, void *) {
    auto *iface = static_cast<wpa_iface *>(eloop_ctx);
    wpa_bss *bss = iface->current_bss;
    if (bss == nullptr) return;
    if (iface->sme.sec_chan == 0) {
        const uint8_t *op = wpa_bss_get_ie(bss, WLAN_EID_HT_OPERATION);
        if (op && op[1] >= 2) {
            const int off = op[3] & 0x3;
            iface->sme.sec_chan = off == 1 ? 1 : off == 3 ? 2 : 0;
        }
    }
    const int f = iface->assoc_freq ? iface->assoc_freq : bss->freq;
    int start = f - 10, end = f + 10;
    if (iface->sme.sec_chan == 1) {
        end = f + 30;
    } else if (iface->sme.sec_chan == 2) {
        start = f - 30;
    } else {
        if (f <= 2452) start = f - 30;
        if (f >= 2432) end = f + 30;
    }
    int freqs[64];
    size_t n = 0;
    if (const hw_mode_info *g = mode_g(iface)) {
        for (int i = 0; i < g->num_channels && n + 1 < sizeof(freqs) / sizeof(freqs[0]); i++) {
            const hw_channel_info &c = g->channels[i];
            if (c.flag & 0x1) continue; // disabled
            if (c.freq - 10 < end && c.freq + 10 > start) freqs[n++] = c.freq;
        }
    }
    freqs[n] = 0;
    wpa_driver_scan_params params{};
    params.freqs = freqs;
    params.low_priority = 1;
    if (supplicant_trigger_scan(iface, &params) == 0) iface->sme.obss_scan_in_progress = 1;
    eloop_register_timeout(iface->sme.obss_scan_int, 0, obss_timer, iface, nullptr);
}

} // namespace

void sme_sched_obss_scan(wpa_iface *iface, int enable) {
    eloop_cancel_timeout(obss_timer, iface, nullptr);
    iface->sme.obss_scan_in_progress = 0;
    iface->sme.sec_chan = 0;
    if (!enable) return;
    if (!(iface->drv_flags & (WPA_DRIVER_FLAGS_SME | WPA_DRIVER_FLAGS_OBSS_SCAN))) return;
    wpa_network *ssid = iface->current_ssid;
    wpa_bss *bss = iface->current_bss;
    if (ssid == nullptr || ssid->mode != SUPP_MODE_INFRA || bss == nullptr) return;
    const hw_mode_info *g = mode_g(iface);
    if (g == nullptr || !(g->ht_capab & HT_CAP_SUP_WIDTH_20_40)) return;
    if (bss->freq < 2400 || bss->freq > 2500) return;
    const uint8_t *ht = wpa_bss_get_ie(bss, WLAN_EID_HT_CAP);
    if (ht == nullptr || ht[1] < 2 || !(ht_caps(ht) & HT_CAP_SUP_WIDTH_20_40)) return;
    const uint8_t *ie = wpa_bss_get_ie(bss, WLAN_EID_OVERLAPPING_BSS_SCAN_PARAMS);
    if (ie == nullptr || ie[1] < 14) return;
    int interval = ie[6] | (ie[7] << 8);
    if (interval < 10) interval = 10;
    iface->sme.obss_scan_int = interval;
    eloop_register_timeout(interval, 0, obss_timer, iface, nullptr);
}

int sme_proc_obss_scan(wpa_iface *iface) {
    if (!iface->sme.obss_scan_in_progress) return 0;
    iface->sme.obss_scan_in_progress = 0;
    wpa_bss *cur = iface->current_bss;
    if (cur == nullptr || iface->wpa_state != WPA_COMPLETED) return 1;
    const uint8_t *country = wpa_bss_get_ie(cur, WLAN_EID_COUNTRY);
    if (country && country[1] >= 6 && country[5] > 200) return 1;

    uint8_t chans[14];
    size_t num = 0;
    int intolerant = 0;
    for (wpa_bss *b = iface->bss_first; b; b = b->next) {
        if (b->freq < 2412 || b->freq > 2484) continue;
        const uint8_t *ht = wpa_bss_get_ie(b, WLAN_EID_HT_CAP);
        const bool intol = ht && ht[1] == 26 && (ht_caps(ht) & HT_CAP_40MHZ_INTOLERANT);
        if (ht && ht[1] == 26 && !intol) continue;
        if (intol) intolerant++;
        const uint8_t chan = static_cast<uint8_t>(b->freq == 2484 ? 14 : (b->freq - 2407) / 5);
        if (memchr(chans, chan, num) == nullptr && num < sizeof(chans)) chans[num++] = chan;
    }
    uint8_t frame[2 + 3 + 3 + sizeof(chans)];
    size_t len = 0;
    frame[len++] = 4; // public action
    frame[len++] = 0; // 20/40 BSS Coexistence Management
    frame[len++] = 72;
    frame[len++] = 1;
    frame[len++] = intolerant ? 0x04 : 0x00; // 20 MHz width request
    if (num) {
        frame[len++] = 73;
        frame[len++] = static_cast<uint8_t>(1 + num);
        frame[len++] = 0; // operating class
        memcpy(frame + len, chans, num);
        len += num;
    }
    if (send_public_action(iface, cur->bssid, frame, len) < 0)
        wpa_msg_iface(iface, MSG_INFO, "SME: Failed to send 20/40 BSS Coexistence frame");
    return 1;
}
