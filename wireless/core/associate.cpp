// Starting an association: the "connect" radio work for back ends that join on their own,
// the security suites and the association-request elements (at most 200 bytes), static
// keys and the driver's association parameters. Back ends that leave authentication and
// association to us go through station management (sme.cpp).
#include "wireless/core/association.h"

#include "wireless/core/bss.h"
#include "wireless/core/connection_state.h"
#include "wireless/core/eloop.h"
#include "wireless/core/radio_work.h"
#include "wireless/core/scan.h"
#include "wireless/core/sched_scan.h"
#include "wireless/core/text.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/core/wpabuf.h"
#include "wireless/crypto/crypto.h"
#include "wireless/eap/eapol_supp_sm.h"
#include "wireless/rsn/pmksa_cache.h"
#include "wireless/rsn/wpa.h"

#include <cstdlib>
#include <cstring>

namespace {

// The element the BSS announces for WPA (vendor 00-50-F2:01) or RSN (48), with header.
const uint8_t *bss_wpa_ie(const wpa_bss *bss) {
    return bss ? wpa_bss_get_vendor_ie(bss, WPA_IE_VENDOR_TYPE) : nullptr;
}
const uint8_t *bss_rsn_ie(const wpa_bss *bss) {
    return bss ? wpa_bss_get_ie(bss, WLAN_EID_RSN) : nullptr;
}

bool has_leap(const wpa_network *ssid, bool *others) {
    bool leap = false;
    *others = false;
    for (const eap_method_type *m = ssid->eap_methods; m && !(m->vendor == EAP_VENDOR_IETF && m->method == 0);
         m++) {
        if (m->vendor == EAP_VENDOR_IETF && m->method == 17)
            leap = true;
        else
            *others = true;
    }
    return leap;
}

int proactive_key_caching(wpa_iface *iface, const wpa_network *ssid) {
    return ssid->proactive_key_caching < 0 ? iface->conf->okc : ssid->proactive_key_caching;
}

void connect_work_cb(radio_work *work, int deinit);

} // namespace

// ------------------------------------------------------------------ element buffer

int supp_ies_append(uint8_t *buf, size_t *len, size_t size, const uint8_t *ie, size_t ie_len) {
    if (*len > size || ie_len > size - *len) return -1;
    if (ie_len) memcpy(buf + *len, ie, ie_len);
    *len += ie_len;
    return 0;
}

int supp_ies_insert(uint8_t *buf, size_t *len, size_t size, size_t pos, const uint8_t *ie, size_t ie_len) {
    if (pos > *len || *len > size || ie_len > size - *len) return -1;
    memmove(buf + pos + ie_len, buf + pos, *len - pos);
    memcpy(buf + pos, ie, ie_len);
    *len += ie_len;
    return 0;
}

void supp_ies_insert_ext_capab(wpa_iface *iface, uint8_t *buf, size_t *len, size_t size) {
    uint8_t ext[257];
    int ext_len = wpa_build_ext_capab(iface, ext, sizeof(ext));
    if (ext_len <= 0) return;
    size_t pos = 0;
    if (*len >= 2 && buf[0] == WLAN_EID_RSN && static_cast<size_t>(buf[1]) + 2 <= *len) pos = buf[1] + 2u;
    supp_ies_insert(buf, len, size, pos, ext, static_cast<size_t>(ext_len));
}

// ------------------------------------------------------------------ key management kinds

bool supp_key_mgmt_psk_like(int key_mgmt) {
    return (static_cast<uint32_t>(key_mgmt) & WPA_KEY_MGMT_MASK_PSK_LIKE) != 0;
}

bool supp_key_mgmt_8021x(int key_mgmt) {
    return (static_cast<uint32_t>(key_mgmt) & WPA_KEY_MGMT_MASK_8021X) != 0;
}

bool supp_key_mgmt_wpa_any(int key_mgmt) {
    return supp_key_mgmt_psk_like(key_mgmt) || supp_key_mgmt_8021x(key_mgmt) ||
           (key_mgmt & WPA_KEY_MGMT_WPA_NONE) != 0;
}

// ------------------------------------------------------------------ connect work context

void supp_connect_work_bss_removed(wpa_iface *iface, const wpa_bss *bss) {
    if (iface->radio == nullptr) return;
    for (radio_work *w = iface->radio->works; w; w = w->next) {
        if (w->iface != iface || w->ctx == nullptr) continue;
        if (strcmp(w->type, "connect") != 0 && strcmp(w->type, "sme-connect") != 0) continue;
        auto *cwork = static_cast<wpa_connect_work *>(w->ctx);
        if (cwork->bss == bss) {
            cwork->bss = nullptr;
            cwork->bss_removed = 1;
        }
    }
}

bool supp_connect_work_usable(wpa_iface *iface, const wpa_connect_work *cwork) {
    if (cwork->bss_removed) return false;
    bool found = false;
    for (wpa_network *s = iface->conf->ssid; s; s = s->next)
        if (s == cwork->ssid) found = true;
    if (!found) return false;
    if (cwork->bss) {
        found = false;
        for (wpa_bss *b = iface->bss_first; b; b = b->next)
            if (b == cwork->bss) found = true;
        if (!found) return false;
    }
    return supp_network_disabled(iface, cwork->ssid) == 0;
}

// ------------------------------------------------------------------ policies and suites

int supp_auth_alg_for(wpa_network *ssid) {
    if (ssid->auth_alg) return ssid->auth_alg;
    bool others = false;
    if ((ssid->key_mgmt & WPA_KEY_MGMT_IEEE8021X_NO_WPA) && has_leap(ssid, &others))
        return others ? WPA_AUTH_ALG_OPEN | WPA_AUTH_ALG_LEAP : WPA_AUTH_ALG_LEAP;
    return WPA_AUTH_ALG_OPEN;
}

void supplicant_set_non_wpa_policy(wpa_iface *iface, wpa_network *ssid) {
    int key_mgmt = WPA_KEY_MGMT_NONE;
    if (ssid->key_mgmt & WPA_KEY_MGMT_WPS)
        key_mgmt = WPA_KEY_MGMT_WPS;
    else if (ssid->key_mgmt & WPA_KEY_MGMT_IEEE8021X_NO_WPA)
        key_mgmt = WPA_KEY_MGMT_IEEE8021X_NO_WPA;
    wpa_sm_store_ap_wpa_ie(iface->wpa, nullptr, 0);
    wpa_sm_store_ap_rsn_ie(iface->wpa, nullptr, 0);
    wpa_sm_store_own_ie(iface->wpa, nullptr, 0);
    iface->pairwise_cipher = WPA_CIPHER_NONE;
    iface->group_cipher = WPA_CIPHER_NONE;
    iface->mgmt_group_cipher = 0;
    for (const wpa_text &k : ssid->wep_key) {
        if (k.len == 0) continue;
        iface->pairwise_cipher = iface->group_cipher = k.len <= 5 ? WPA_CIPHER_WEP40 : WPA_CIPHER_WEP104;
        break;
    }
    iface->key_mgmt = key_mgmt;
    wpa_sm_configure_param(iface->wpa, WPA_PARAM_RSN_ENABLED, 0);
    wpa_sm_configure_param(iface->wpa, WPA_PARAM_KEY_MGMT, static_cast<unsigned int>(key_mgmt));
    wpa_sm_configure_param(iface->wpa, WPA_PARAM_PAIRWISE, static_cast<unsigned int>(iface->pairwise_cipher));
    wpa_sm_configure_param(iface->wpa, WPA_PARAM_GROUP, static_cast<unsigned int>(iface->group_cipher));
    if (iface->wpa) wpa_sm_clear_current_pmksa(iface->wpa);
}

int supplicant_set_suites(wpa_iface *iface, wpa_bss *bss, wpa_network *ssid, uint8_t *wpa_ie,
                          size_t *wpa_ie_len) {
    wpa_ie_info ie{};
    int proto = 0;
    const uint8_t *bss_wpa = bss_wpa_ie(bss);
    const uint8_t *bss_rsn = bss_rsn_ie(bss);
    auto compatible = [&](const wpa_ie_info &i) {
        return (i.group_cipher & static_cast<uint32_t>(ssid->group_cipher)) &&
               (i.pairwise_cipher & static_cast<uint32_t>(ssid->pairwise_cipher)) &&
               (i.key_mgmt & static_cast<uint32_t>(ssid->key_mgmt));
    };
    if (bss) {
        if (bss_rsn && (ssid->proto & WPA_PROTO_RSN) &&
            wpa_decode_rsn_ie(bss_rsn, 2u + bss_rsn[1], &ie) == 0 && compatible(ie)) {
            proto = WPA_PROTO_RSN;
        } else if (bss_wpa && (ssid->proto & WPA_PROTO_WPA) &&
                   wpa_decode_wpa1_ie(bss_wpa, 2u + bss_wpa[1], &ie) == 0 && compatible(ie)) {
            proto = WPA_PROTO_WPA;
        } else {
            wpa_msg_iface(iface, MSG_WARNING, "WPA: Failed to select WPA/RSN");
            return -1;
        }
    } else {
        bool use_own = false;
        if (iface->wpa && iface->wpa->assoc_wpa_ie) {
            const int r = wpa_sm_decode_own_ie(iface->wpa, &ie);
            if (r < 0) {
                wpa_msg_iface(iface, MSG_INFO, "WPA: Failed to parse WPA IE from association info");
            } else if (ie.group_cipher & ~static_cast<uint32_t>(ssid->group_cipher)) {
                wpa_msg_iface(iface, MSG_INFO,
                              "WPA: Driver used disabled group cipher 0x%x (mask 0x%x) - reject",
                              ie.group_cipher, ssid->group_cipher);
            } else if (ie.pairwise_cipher & ~static_cast<uint32_t>(ssid->pairwise_cipher)) {
                wpa_msg_iface(iface, MSG_INFO,
                              "WPA: Driver used disabled pairwise cipher 0x%x (mask 0x%x) - reject",
                              ie.pairwise_cipher, ssid->pairwise_cipher);
            } else if (ie.key_mgmt & ~static_cast<uint32_t>(ssid->key_mgmt)) {
                wpa_msg_iface(iface, MSG_INFO,
                              "WPA: Driver used disabled key management 0x%x (mask 0x%x) - reject",
                              ie.key_mgmt, ssid->key_mgmt);
            } else {
                use_own = true;
                proto = static_cast<int>(ie.proto);
            }
        }
        if (!use_own) {
            ie = {};
            if (ssid->proto & WPA_PROTO_OSEN)
                proto = WPA_PROTO_OSEN;
            else if (ssid->proto & WPA_PROTO_RSN)
                proto = WPA_PROTO_RSN;
            else
                proto = WPA_PROTO_WPA;
            ie.group_cipher = static_cast<uint32_t>(ssid->group_cipher);
            ie.pairwise_cipher = static_cast<uint32_t>(ssid->pairwise_cipher);
            ie.key_mgmt = static_cast<uint32_t>(ssid->key_mgmt);
        }
    }

    wpa_sm_configure_param(iface->wpa, WPA_PARAM_PROTO, static_cast<unsigned int>(proto));
    wpa_sm_configure_param(iface->wpa, WPA_PARAM_RSN_ENABLED,
                           (ssid->proto & (WPA_PROTO_RSN | WPA_PROTO_OSEN)) ? 1 : 0);
    if (!iface->ap_ies_from_associnfo) {
        if (wpa_sm_store_ap_wpa_ie(iface->wpa, bss_wpa, bss_wpa ? 2u + bss_wpa[1] : 0) < 0 ||
            wpa_sm_store_ap_rsn_ie(iface->wpa, bss_rsn, bss_rsn ? 2u + bss_rsn[1] : 0) < 0)
            return -1;
    }

    const int group = wpa_choose_group_cipher(ie.group_cipher & static_cast<uint32_t>(ssid->group_cipher));
    if (group < 0) {
        wpa_msg_iface(iface, MSG_WARNING, "WPA: Failed to select group cipher");
        return -1;
    }
    const int pairwise =
        wpa_choose_pairwise_cipher(ie.pairwise_cipher & static_cast<uint32_t>(ssid->pairwise_cipher), 1);
    if (pairwise < 0) {
        wpa_msg_iface(iface, MSG_WARNING, "WPA: Failed to select pairwise cipher");
        return -1;
    }
    const uint32_t km = ie.key_mgmt & static_cast<uint32_t>(ssid->key_mgmt);
    int key_mgmt;
    if (km & WPA_KEY_MGMT_IEEE8021X)
        key_mgmt = WPA_KEY_MGMT_IEEE8021X;
    else if (km & WPA_KEY_MGMT_PSK)
        key_mgmt = WPA_KEY_MGMT_PSK;
    else if (km & WPA_KEY_MGMT_WPA_NONE)
        key_mgmt = WPA_KEY_MGMT_WPA_NONE;
    else {
        wpa_msg_iface(iface, MSG_WARNING, "WPA: Failed to select authenticated key management type");
        return -1;
    }
    iface->group_cipher = group;
    iface->pairwise_cipher = pairwise;
    iface->key_mgmt = key_mgmt;
    iface->wpa_proto = proto;
    iface->mgmt_group_cipher = 0;
    wpa_sm_configure_param(iface->wpa, WPA_PARAM_KEY_MGMT, static_cast<unsigned int>(key_mgmt));
    wpa_sm_configure_param(iface->wpa, WPA_PARAM_PAIRWISE, static_cast<unsigned int>(pairwise));
    wpa_sm_configure_param(iface->wpa, WPA_PARAM_GROUP, static_cast<unsigned int>(group));

    if (iface->wpa == nullptr || wpa_sm_set_default_own_ie(iface->wpa, wpa_ie, wpa_ie_len) < 0) {
        wpa_msg_iface(iface, MSG_WARNING, "WPA: Failed to generate WPA IE");
        return -1;
    }

    if (!supp_key_mgmt_psk_like(key_mgmt)) {
        wpa_sm_pmk_from_pmksa(iface->wpa);
        return 0;
    }
    bool psk_set = false;
    if (ssid->psk_set) {
        wpa_sm_store_pmk(iface->wpa, ssid->psk, 32, nullptr, nullptr);
        psk_set = true;
    }
    if (!psk_set && bss && ssid->bssid_set && ssid->ssid.len == 0 && ssid->passphrase) {
        uint8_t psk[32];
        if (crypto_pbkdf2_sha1(ssid->passphrase, bss->ssid, bss->ssid_len, 4096, psk, sizeof(psk)) == 0) {
            wpa_sm_store_pmk(iface->wpa, psk, 32, nullptr, nullptr);
            psk_set = true;
        }
        explicit_bzero(psk, sizeof(psk));
    }
    if (!psk_set) {
        wpa_msg_iface(iface, MSG_INFO, "No PSK available for association");
        return -1;
    }
    return 0;
}

// ------------------------------------------------------------------ association start

int supplicant_create_ap(wpa_iface *, wpa_network *) {
    return -1;
}

void supplicant_associate(wpa_iface *iface, wpa_bss *bss, wpa_network *ssid) {
    if (ssid == nullptr) return;
    iface->own_disconnect_req = 0;
    wpa_buf_free(iface->pending_eapol_rx);
    iface->pending_eapol_rx = nullptr;

    iface->reassoc_same_bss = iface->reassoc_same_ess = 0;
    if (ssid == iface->prev_ssid) {
        iface->reassoc_same_ess = 1;
        if (bss && bss == iface->current_bss) iface->reassoc_same_bss = 1;
    } else {
        // A new network gets the address its setting asks for: a random one (the old
        // PMKSA entries name the old address) or the permanent one back.
        const int style = ssid->mac_addr == -1 ? iface->conf->mac_addr : ssid->mac_addr;
        if (style > 0) {
            if (supp_update_random_addr(iface, style) < 0) return;
            wpa_sm_flush_pmksa(iface->wpa, ssid);
        } else if (iface->mac_addr_changed && supp_restore_permanent_addr(iface) < 0) {
            return;
        }
    }
    iface->prev_ssid = ssid;

    if (ssid->mode == SUPP_MODE_AP || ssid->mode == SUPP_MODE_P2P_GO ||
        ssid->mode == SUPP_MODE_P2P_GROUP_FORMATION) {
        if (!(iface->drv_flags & WPA_DRIVER_FLAGS_AP)) {
            wpa_msg_iface(iface, MSG_INFO, "Driver does not support AP mode");
            return;
        }
        if (supplicant_create_ap(iface, ssid) < 0) {
            supplicant_set_state(iface, WPA_DISCONNECTED);
            return;
        }
        iface->current_bss = bss;
        return;
    }
    if (ssid->mode == SUPP_MODE_MESH) {
        wpa_msg_iface(iface, MSG_ERROR, "mesh mode support not included in the build");
        return;
    }
    if ((iface->drv_flags & WPA_DRIVER_FLAGS_SME) && ssid->mode == SUPP_MODE_INFRA) {
        sme_authenticate(iface, bss, ssid);
        return;
    }
    if (iface->connect_work || radio_work_pending(iface, "connect")) return;
    if (iface->own_scan_running) supplicant_abort_scan(iface);
    auto *cwork = static_cast<wpa_connect_work *>(calloc(1, sizeof(wpa_connect_work)));
    if (cwork == nullptr) return;
    cwork->bss = bss;
    cwork->ssid = ssid;
    if (radio_add_work(iface, bss ? static_cast<unsigned int>(bss->freq) : 0, "connect", 1, connect_work_cb,
                       cwork) < 0)
        free(cwork);
}

namespace {

void connect_work_cb(radio_work *work, int deinit) {
    wpa_iface *iface = work->iface;
    auto *cwork = static_cast<wpa_connect_work *>(work->ctx);
    if (deinit) {
        if (work->started) supplicant_cancel_auth_timeout(iface);
        free(cwork);
        work->ctx = nullptr;
        return;
    }
    iface->connect_work = work;
    if (!supp_connect_work_usable(iface, cwork)) {
        supp_connect_work_done(iface);
        return;
    }
    wpa_bss *bss = cwork->bss;
    wpa_network *ssid = cwork->ssid;
    iface->reassociate = 0;

    const bool driver_selects =
        iface->conf->ap_scan == 2 || (iface->drv_flags & WPA_DRIVER_FLAGS_BSS_SELECTION);
    if (bss == nullptr || driver_selects) {
        if (iface->conf->ap_scan == 2 && ssid->ssid.len == 0 && (ssid->key_mgmt & WPA_KEY_MGMT_WPS)) {
            supp_connect_work_done(iface);
            iface->scan_req = MANUAL_SCAN_REQ;
            iface->reassociate = 1;
            supplicant_req_scan(iface, 0, 0);
            return;
        }
        wpa_msg_iface(iface, MSG_INFO, "Trying to associate with SSID '%s'",
                      wpa_ssid_txt(ssid->ssid.data, ssid->ssid.len));
        if (bss)
            memcpy(iface->pending_bssid, bss->bssid, 6);
        else
            memset(iface->pending_bssid, 0, 6);
    } else {
        const uint8_t *b = bss->bssid;
        wpa_msg_iface(iface, MSG_INFO,
                      "Trying to associate with %02x:%02x:%02x:%02x:%02x:%02x (SSID='%s' freq=%d MHz)", b[0],
                      b[1], b[2], b[3], b[4], b[5], wpa_ssid_txt(bss->ssid, bss->ssid_len), bss->freq);
        memset(iface->bssid, 0, 6);
        memcpy(iface->pending_bssid, bss->bssid, 6);
    }
    if (!iface->pno) supplicant_cancel_sched_scan(iface);
    supplicant_cancel_scan(iface);
    wpa_sm_store_own_ie(iface->wpa, nullptr, 0);

    const int algs = supp_auth_alg_for(ssid);
    uint8_t wpa_ie[SUPP_ASSOC_IE_MAX];
    size_t wpa_ie_len = 0;
    const bool bss_has_sec = bss && (bss_wpa_ie(bss) || bss_rsn_ie(bss));
    if (bss_has_sec && supp_key_mgmt_wpa_any(ssid->key_mgmt) && !(ssid->key_mgmt == WPA_KEY_MGMT_WPA_NONE)) {
        const int okc = proactive_key_caching(iface, ssid);
        if (iface->wpa &&
            wpa_sm_select_pmksa(iface->wpa, nullptr, bss->bssid, ssid,
                                okc && (ssid->proto & WPA_PROTO_RSN)) == 0 &&
            iface->eapol)
            eapol_supp_note_pmksa_attempt(iface->eapol, true);
        wpa_ie_len = sizeof(wpa_ie);
        if (supplicant_set_suites(iface, bss, ssid, wpa_ie, &wpa_ie_len) < 0) {
            wpa_msg_iface(iface, MSG_WARNING, "WPA: Failed to set WPA key management and encryption suites");
            supp_connect_work_done(iface);
            return;
        }
    } else if ((ssid->key_mgmt & WPA_KEY_MGMT_IEEE8021X_NO_WPA) &&
               (ssid->key_mgmt & WPA_KEY_MGMT_IEEE8021X) && bss) {
        supplicant_set_non_wpa_policy(iface, ssid);
    } else if (supp_key_mgmt_wpa_any(ssid->key_mgmt)) {
        wpa_ie_len = sizeof(wpa_ie);
        if (supplicant_set_suites(iface, nullptr, ssid, wpa_ie, &wpa_ie_len) < 0) {
            wpa_msg_iface(iface, MSG_WARNING,
                          "WPA: Failed to set WPA key management and encryption suites (no scan results)");
            supp_connect_work_done(iface);
            return;
        }
    } else {
        supplicant_set_non_wpa_policy(iface, ssid);
    }

    if (!bss || wpa_bss_get_ie(bss, 127))
        supp_ies_insert_ext_capab(iface, wpa_ie, &wpa_ie_len, sizeof(wpa_ie));
    if (wpa_buf *v = iface->vendor_elem[13])
        supp_ies_append(wpa_ie, &wpa_ie_len, sizeof(wpa_ie), wpa_buf_head(v), wpa_buf_len(v));

    wpa_clear_keys(iface, bss ? bss->bssid : nullptr);

    int use_crypt = 1;
    bool wep_keys_set = false;
    if (iface->key_mgmt == WPA_KEY_MGMT_NONE) {
        wep_keys_set = wpa_set_wep_keys(iface, ssid) > 0;
        use_crypt = wep_keys_set ? 1 : 0;
    } else if (iface->key_mgmt == WPA_KEY_MGMT_IEEE8021X_NO_WPA) {
        wep_keys_set = wpa_set_wep_keys(iface, ssid) > 0;
        if (wep_keys_set || (ssid->eapol_flags & 3)) {
            use_crypt = 1;
            iface->pairwise_cipher = iface->group_cipher = WPA_CIPHER_WEP104;
        } else {
            use_crypt = 0;
        }
    } else if (iface->key_mgmt == WPA_KEY_MGMT_WPS) {
        use_crypt = 0;
    }
    (void)use_crypt;

    supplicant_set_state(iface, WPA_ASSOCIATING);

    wpa_driver_associate_params params{};
    params.bg_scan_period = ssid->bg_scan_period;
    if (bss) {
        params.ssid = bss->ssid;
        params.ssid_len = bss->ssid_len;
        if (!driver_selects || ssid->bssid_set) {
            params.bssid = bss->bssid;
            params.freq.freq = bss->freq;
        }
        params.bssid_hint = bss->bssid;
        params.freq_hint = bss->freq;
    } else {
        params.ssid = ssid->ssid.data;
        params.ssid_len = ssid->ssid.len;
        params.pbss = ssid->pbss == 2 ? 0 : ssid->pbss;
    }
    if (ssid->mode == SUPP_MODE_IBSS) {
        if (ssid->bssid_set && iface->conf->ap_scan == 2) {
            params.bssid = ssid->bssid;
            params.fixed_bssid = 1;
        }
        params.fixed_freq = ssid->fixed_freq;
        params.beacon_int = ssid->beacon_int ? ssid->beacon_int : iface->conf->beacon_int;
        if (ssid->frequency > 0 && params.freq.freq == 0) params.freq.freq = ssid->frequency;
    }
    params.wpa_ie = wpa_ie;
    params.wpa_ie_len = wpa_ie_len;
    params.pairwise_suite = static_cast<unsigned int>(iface->pairwise_cipher);
    params.group_suite = static_cast<unsigned int>(iface->group_cipher);
    params.key_mgmt_suite = static_cast<unsigned int>(iface->key_mgmt);
    params.wpa_proto = static_cast<unsigned int>(iface->wpa_proto);
    params.auth_alg = algs;
    params.mode = ssid->mode;
    for (int i = 0; i < 4; i++) {
        if (ssid->wep_key[i].len) {
            params.wep_key[i] = ssid->wep_key[i].data;
            params.wep_key_len[i] = ssid->wep_key[i].len;
        }
    }
    params.wep_tx_keyidx = ssid->wep_tx_keyidx;
    params.drop_unencrypted = use_crypt;
    if (iface->key_mgmt == WPA_KEY_MGMT_WPS)
        params.wps = (!bss || (bss->caps & 0x0010)) ? WPS_MODE_PRIVACY : WPS_MODE_OPEN;
    params.p2p = ssid->p2p_group;
    params.uapsd = iface->parent->set_uapsd ? iface->parent->sta_uapsd : -1;
    if (iface->reassoc_same_ess && !is_zero_ether_addr(iface->bssid) && iface->current_bss)
        params.prev_bssid = iface->bssid;

    const int ret =
        iface->driver && iface->driver->associate ? iface->driver->associate(iface->drv_priv, &params) : -1;
    if (ret < 0) {
        wpa_msg_iface(iface, MSG_INFO, "Association request to the driver failed");
        if (iface->drv_flags & WPA_DRIVER_FLAGS_SANE_ERROR_CODES) {
            supp_connection_failed(iface, iface->pending_bssid);
            supplicant_set_state(iface, WPA_DISCONNECTED);
            memset(iface->pending_bssid, 0, 6);
            supp_connect_work_done(iface);
            return;
        }
    }

    if (iface->key_mgmt == WPA_KEY_MGMT_WPA_NONE) {
        supplicant_set_wpa_none_key(iface, ssid);
        supplicant_cancel_auth_timeout(iface);
        supplicant_set_state(iface, WPA_COMPLETED);
    } else {
        int timeout;
        if (ret < 0)
            timeout = ssid->mode == SUPP_MODE_IBSS ? 10 : 5;
        else if (iface->conf->ap_scan == 1)
            timeout = ssid->mode == SUPP_MODE_IBSS ? 20 : 10;
        else
            timeout = 60;
        supplicant_req_auth_timeout(iface, timeout, 0);
    }
    if (wep_keys_set && (iface->drv_flags & WPA_DRIVER_FLAGS_SET_KEYS_AFTER_ASSOC_DONE))
        wpa_set_wep_keys(iface, ssid);

    if (iface->current_ssid && iface->current_ssid != ssid && iface->eapol)
        eapol_supp_invalidate_cached_session(iface->eapol);
    iface->current_ssid = ssid;
    if (!driver_selects || ssid->bssid_set) iface->current_bss = bss;
    supplicant_rsn_supp_set_config(iface, ssid);
    supplicant_initiate_eapol(iface);
}

} // namespace
