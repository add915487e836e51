// Network selection after a scan, the roaming and connect decisions, the blacklist and
// the fast associate.
#include "wireless/core/network_select.h"

#include "wireless/common/ieee802_11_common.h"
#include "wireless/core/bss.h"
#include "wireless/core/config.h"
#include "wireless/core/eapol_glue.h"
#include "wireless/core/eloop.h"
#include "wireless/core/network_enable.h"
#include "wireless/core/scan.h"
#include "wireless/core/sched_scan.h"
#include "wireless/core/supplicant_hooks.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/rsn/pmksa_cache.h"
#include "wireless/rsn/wpa_common.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#define MACSTR "%02x:%02x:%02x:%02x:%02x:%02x"
#define MAC2STR(a) (a)[0], (a)[1], (a)[2], (a)[3], (a)[4], (a)[5]

namespace {

// Key managements that need a WPA or RSN element.
constexpr int WpaKeyMgmts = WPA_KEY_MGMT_IEEE8021X | WPA_KEY_MGMT_PSK | WPA_KEY_MGMT_FT_IEEE8021X |
                            WPA_KEY_MGMT_FT_PSK | WPA_KEY_MGMT_IEEE8021X_SHA256 | WPA_KEY_MGMT_PSK_SHA256 |
                            WPA_KEY_MGMT_SAE | WPA_KEY_MGMT_FT_SAE | WPA_KEY_MGMT_CCKM |
                            WPA_KEY_MGMT_IEEE8021X_SUITE_B | WPA_KEY_MGMT_IEEE8021X_SUITE_B_192;

constexpr uint16_t CapPrivacy = 0x0010;
constexpr uint16_t RsnCapMfpRequired = 0x0040;

bool same_addr(const uint8_t *a, const uint8_t *b) {
    return memcmp(a, b, 6) == 0;
}

bool static_wep(const wpa_network *s) {
    for (const wpa_text &k : s->wep_key)
        if (k.len) return true;
    return false;
}

bool in_config(wpa_iface *iface, const wpa_network *ssid) {
    for (wpa_network *s = iface->conf->ssid; s; s = s->next)
        if (s == ssid) return true;
    return false;
}

bool addr_list_match(const wpa_addr_list &list, const uint8_t *addr) {
    for (size_t i = 0; i < list.count; i++) {
        const wpa_addr_mask &e = list.entries[i];
        bool match = true;
        for (int b = 0; b < 6 && match; b++)
            match = ((addr[b] ^ e.addr[b]) & e.mask[b]) == 0;
        if (match) return true;
    }
    return false;
}

bool disallowed(wpa_iface *iface, const wpa_bss *bss) {
    for (size_t i = 0; iface->disallow_aps_bssid && i < iface->disallow_aps_bssid_count; i++)
        if (same_addr(iface->disallow_aps_bssid + 6 * i, bss->bssid)) return true;
    for (size_t i = 0; iface->disallow_aps_ssid && i < iface->disallow_aps_ssid_count; i++) {
        const wpa_ssid_value &v = iface->disallow_aps_ssid[i];
        if (v.ssid_len == bss->ssid_len && memcmp(v.ssid, bss->ssid, v.ssid_len) == 0) return true;
    }
    return false;
}

// Whether a WPA or RSN element offers what the network allows.
bool element_fits(const wpa_network *s, const uint8_t *ie, bool rsn) {
    wpa_ie_info info{};
    if (wpa_decode_security_ie(ie, 2u + ie[1], &info) != 0) return false;
    bool wep_group_ok = static_wep(s) || (s->key_mgmt & WPA_KEY_MGMT_IEEE8021X_NO_WPA);
    if (!(info.proto & static_cast<uint32_t>(s->proto))) return false;
    if (!(info.pairwise_cipher & static_cast<uint32_t>(s->pairwise_cipher))) return false;
    if (!(info.group_cipher & static_cast<uint32_t>(s->group_cipher)) &&
        !(wep_group_ok && (info.group_cipher & (WPA_CIPHER_WEP40 | WPA_CIPHER_WEP104))))
        return false;
    if (!(info.key_mgmt & static_cast<uint32_t>(s->key_mgmt))) return false;
    if (rsn && (info.capabilities & RsnCapMfpRequired)) return false;
    return true;
}

bool security_fits(wpa_iface *iface, wpa_network *s, wpa_bss *bss, const uint8_t *wpa_ie,
                   const uint8_t *rsn_ie, const uint8_t *osen_ie) {
    if (s->key_mgmt & WPA_KEY_MGMT_WPS) return supp_wps_ssid_bss_match(iface, s, bss) > 0;
    bool fits = false;
    if ((s->proto & WPA_PROTO_RSN) && rsn_ie) fits = element_fits(s, rsn_ie, true);
    if (!fits && (s->proto & WPA_PROTO_WPA) && wpa_ie) fits = element_fits(s, wpa_ie, false);
    if (!fits && (s->key_mgmt & WpaKeyMgmts)) return false;
    if ((s->key_mgmt & WPA_KEY_MGMT_OSEN) && osen_ie == nullptr) return false;
    return true;
}

bool privacy_fits(const wpa_network *s, const wpa_bss *bss, bool has_wpa) {
    bool wep = static_wep(s);
    if (has_wpa && !(s->key_mgmt & WpaKeyMgmts) && wep) return false;
    if (!has_wpa && !(s->key_mgmt & (WPA_KEY_MGMT_NONE | WPA_KEY_MGMT_IEEE8021X_NO_WPA | WPA_KEY_MGMT_WPS)))
        return false;
    if ((s->key_mgmt & WPA_KEY_MGMT_WPS) || s->mixed_cell) return true;
    bool need = wep || ((s->key_mgmt & WPA_KEY_MGMT_IEEE8021X_NO_WPA) && (s->eapol_flags & 0x3)) ||
                (s->key_mgmt & (WpaKeyMgmts | WPA_KEY_MGMT_OSEN));
    return need == ((bss->caps & CapPrivacy) != 0);
}

bool type_fits(const wpa_network *s, const wpa_bss *bss) {
    bool dmg = bss->freq >= 45001;
    if (s->mode != SUPP_MODE_MESH) {
        if (!dmg && (bss->caps & 0x3) != 0x1) return false;
        if (dmg && !(bss->caps & 0x2)) return false;
    }
    bool pbss = dmg && (bss->caps & 0x3) == 0x2;
    if (s->pbss == 0 && pbss) return false;
    if (s->pbss == 1 && !pbss) return false;
    return true;
}

// Every basic rate of the BSS must be one the radio's mode for its channel can do.
bool rates_fit(wpa_iface *iface, const wpa_bss *bss) {
    // A driver that reports no modes at all gives nothing to check against.
    if (iface->hw_modes == nullptr || iface->num_hw_modes == 0) return true;
    const hw_mode_info *mode = nullptr;
    for (unsigned int m = 0; m < iface->num_hw_modes; m++) {
        const hw_mode_info *cand = &iface->hw_modes[m];
        bool has = false;
        for (int c = 0; c < cand->num_channels && !has; c++)
            has = cand->channels[c].freq == bss->freq;
        if (!has) continue;
        if (mode == nullptr || cand->mode == HW_MODE_IEEE80211G) mode = cand;
    }
    if (mode == nullptr) return false;
    for (uint8_t id : {uint8_t(1), uint8_t(50)}) {
        const uint8_t *ie = wpa_bss_get_ie(bss, id);
        for (int i = 0; ie && i < ie[1]; i++) {
            uint8_t r = ie[2 + i];
            if (!(r & 0x80)) continue;
            int v = r & 0x7f;
            if (v == 127) {
                if (!mode->ht_capab) return false;
                continue;
            }
            if (v == 126) {
                if (!mode->vht_capab) return false;
                continue;
            }
            bool ok = false;
            for (int k = 0; k < mode->num_rates && !ok; k++)
                ok = mode->rates[k] == v * 5;
            if (!ok) return false;
        }
    }
    return true;
}

bool freq_listed(const int *list, int freq) {
    for (const int *f = list; f && *f; f++)
        if (*f == freq) return true;
    return false;
}

} // namespace

// ------------------------------------------------------------------ blacklist

wpa_blacklist *wpa_blacklist_get(wpa_iface *iface, const uint8_t *bssid) {
    if (iface == nullptr || bssid == nullptr) return nullptr;
    for (wpa_blacklist *e = iface->blacklist; e; e = e->next)
        if (same_addr(e->bssid, bssid)) return e;
    return nullptr;
}

int wpa_blacklist_add(wpa_iface *iface, const uint8_t *bssid) {
    if (iface == nullptr || bssid == nullptr) return -1;
    if (wpa_blacklist *e = wpa_blacklist_get(iface, bssid)) {
        if (e->count < INT_MAX) e->count++;
        return e->count;
    }
    auto *e = static_cast<wpa_blacklist *>(calloc(1, sizeof(wpa_blacklist)));
    if (e == nullptr) return -1;
    memcpy(e->bssid, bssid, 6);
    e->count = 1;
    e->next = iface->blacklist;
    iface->blacklist = e;
    return 1;
}

int wpa_blacklist_del(wpa_iface *iface, const uint8_t *bssid) {
    if (iface == nullptr || bssid == nullptr) return -1;
    for (wpa_blacklist **p = &iface->blacklist; *p; p = &(*p)->next) {
        if (!same_addr((*p)->bssid, bssid)) continue;
        wpa_blacklist *e = *p;
        *p = e->next;
        free(e);
        return 0;
    }
    return -1;
}

void wpa_blacklist_clear(wpa_iface *iface) {
    int max = 0;
    for (wpa_blacklist *e = iface->blacklist, *next; e; e = next) {
        next = e->next;
        if (e->count > max) max = e->count;
        free(e);
    }
    iface->blacklist = nullptr;
    if (iface->extra_blacklist_count > INT_MAX - max)
        iface->extra_blacklist_count = INT_MAX;
    else
        iface->extra_blacklist_count += max;
}

// Interface teardown: the selection state goes with the interface.
void supp_blacklist_clear(wpa_iface *iface) {
    wpa_blacklist_clear(iface);
    eloop_cancel_timeout(supplicant_network_reenable_timer, iface, nullptr);
}

// ------------------------------------------------------------------ matching

wpa_network *wpa_scan_res_match(wpa_iface *iface, int, wpa_bss *bss, wpa_network *group,
                                int only_first_ssid) {
    wpa_blacklist *e = wpa_blacklist_get(iface, bss->bssid);
    int limit = supplicant_enabled_networks(iface) == 1 ? 0 : 1;
    if (e && e->count > limit) return nullptr;
    if (bss->ssid_len == 0 || disallowed(iface, bss)) return nullptr;

    const uint8_t *wpa_ie = wpa_bss_get_vendor_ie(bss, WPA_IE_VENDOR_TYPE);
    const uint8_t *rsn_ie = wpa_bss_get_ie(bss, WLAN_EID_RSN);
    const uint8_t *osen_ie = wpa_bss_get_vendor_ie(bss, OSEN_IE_VENDOR_TYPE);
    bool secured = wpa_ie || rsn_ie;

    for (wpa_network *s = group; s; s = only_first_ssid ? nullptr : s->pnext) {
        if (supp_network_disabled(iface, s) || supp_temp_disabled(iface, s) > 0) continue;
        bool wps = s->key_mgmt & WPA_KEY_MGMT_WPS;
        bool has_ssid = s->ssid.data && s->ssid.len;
        if (wps && e) continue;

        bool check_ssid = secured || has_ssid;
        if (wps && !has_ssid && supp_wps_ssid_wildcard_ok(iface, s, bss)) check_ssid = false;
        if (s->bssid_set && !same_addr(s->bssid, bss->bssid)) continue;
        bool by_bssid = s->bssid_set && !has_ssid;
        if (check_ssid && !by_bssid &&
            (bss->ssid_len != s->ssid.len ||
             (s->ssid.len && memcmp(bss->ssid, s->ssid.data, s->ssid.len) != 0)))
            continue;

        if (addr_list_match(s->bssid_blacklist, bss->bssid)) continue;
        if (s->bssid_whitelist.count && !addr_list_match(s->bssid_whitelist, bss->bssid)) continue;

        if (!security_fits(iface, s, bss, wpa_ie, rsn_ie, osen_ie)) continue;
        if (!privacy_fits(s, bss, secured || osen_ie)) continue;
        if (!type_fits(s, bss)) continue;
        if (s->freq_list && s->freq_list[0] && !freq_listed(s->freq_list, bss->freq)) continue;
        if (!rates_fit(iface, bss)) continue;

        if (s->p2p_group && !wpa_bss_get_vendor_ie(bss, P2P_IE_VENDOR_TYPE) &&
            !wpa_bss_get_vendor_ie_beacon(bss, P2P_IE_VENDOR_TYPE))
            continue;
        if (!is_zero_ether_addr(s->go_p2p_dev_addr) &&
            !supp_p2p_group_dev_addr_match(bss, s->go_p2p_dev_addr))
            continue;
        return s;
    }
    return nullptr;
}

wpa_bss *supplicant_select_bss(wpa_iface *iface, wpa_network *group, wpa_network **selected_ssid,
                               int only_first_ssid) {
    *selected_ssid = nullptr;
    if (iface->last_scan_res == nullptr) return nullptr;
    for (unsigned int i = 0; i < iface->last_scan_res_used; i++) {
        wpa_bss *bss = iface->last_scan_res[i];
        if (bss == nullptr) continue;
        wpa_network *s = wpa_scan_res_match(iface, static_cast<int>(i), bss, group, only_first_ssid);
        if (s) {
            *selected_ssid = s;
            return bss;
        }
    }
    return nullptr;
}

wpa_bss *supplicant_pick_network(wpa_iface *iface, wpa_network **selected_ssid) {
    if (selected_ssid) *selected_ssid = nullptr;
    if (iface->last_scan_res == nullptr || iface->last_scan_res_used == 0) return nullptr;

    wpa_network *next = iface->next_ssid;
    if (next && !in_config(iface, next)) next = nullptr;
    iface->next_ssid = nullptr;

    wpa_bss *bss = nullptr;
    wpa_network *ssid = nullptr;
    for (;;) {
        for (size_t prio = 0; bss == nullptr && prio < iface->conf->num_prio; prio++) {
            wpa_network *group = iface->conf->pssid[prio];
            if (next && next->priority == group->priority) bss = supplicant_select_bss(iface, next, &ssid, 1);
            if (bss == nullptr) bss = supplicant_select_bss(iface, group, &ssid, 0);
        }
        // Nothing but blacklisted APs: forget the blacklist and take the best anyway.
        if (bss == nullptr && iface->blacklist && !supplicant_tkip_countermeasures(iface)) {
            wpa_blacklist_clear(iface);
            iface->blacklist_cleared++;
            continue;
        }
        break;
    }
    if (bss == nullptr) return nullptr;
    if (ssid->mem_only_psk && !ssid->psk_set && ssid->passphrase == nullptr) {
        supp_send_ctrl_req(iface, ssid, "PSK_PASSPHRASE", "PSK or passphrase");
        return nullptr;
    }
    if (selected_ssid) *selected_ssid = ssid;
    return bss;
}

// ------------------------------------------------------------------ decisions

int supplicant_need_to_roam(wpa_iface *iface, wpa_bss *selected, wpa_network *ssid) {
    if (iface->conf->ap_scan == 2 || (iface->drv_flags & WPA_DRIVER_FLAGS_BSS_SELECTION)) return 0;
    wpa_bss *cur = wpa_bss_get(iface, iface->bssid, ssid->ssid.data, ssid->ssid.len);
    if (cur == nullptr) cur = wpa_bss_get_bssid_latest(iface, iface->bssid);
    if (cur == nullptr) return 1;
    if (cur == selected) return 0;
    if (cur->last_update_idx < selected->last_update_idx) return 1;
    if (ssid->bssid_set && same_addr(ssid->bssid, selected->bssid)) return 1;
    if (selected->est_throughput > cur->est_throughput &&
        selected->est_throughput - cur->est_throughput > 5000)
        return 1;

    bool to_5ghz = selected->freq > 4000 && cur->freq < 4000;
    int cur_level = cur->level, sel_level = selected->level;
    int min_diff;
    if (cur_level < 0) {
        if (cur_level > sel_level + (to_5ghz ? 2 : 0)) return 0;
        if (cur_level < -85) {
            if (to_5ghz) return 1;
            min_diff = 1;
        } else if (cur_level < -80) {
            if (to_5ghz) return 1;
            min_diff = 2;
        } else {
            min_diff = cur_level < -75 ? 3 : cur_level < -70 ? 4 : 5;
            if (to_5ghz) min_diff -= 2;
        }
    } else {
        if (to_5ghz) return 1;
        min_diff = 2;
    }
    return abs(cur_level - sel_level) >= min_diff ? 1 : 0;
}

int supplicant_connect(wpa_iface *iface, wpa_bss *bss, wpa_network *ssid) {
    if (supp_wps_scan_pbc_overlap(iface, bss, ssid)) {
        wpa_msg_iface(iface, MSG_INFO, "WPS-OVERLAP-DETECTED PBC session overlap");
        supp_wps_pbc_overlap_failure(iface);
        return -1;
    }
    wpa_msg_iface(iface, MSG_DEBUG,
                  "Considering connect request: reassociate: %d  selected: " MACSTR "  bssid: " MACSTR
                  "  pending: " MACSTR "  wpa_state: %s  ssid=%p  current_ssid=%p",
                  iface->reassociate, MAC2STR(bss->bssid), MAC2STR(iface->bssid),
                  MAC2STR(iface->pending_bssid), supplicant_state_txt(iface->wpa_state),
                  static_cast<void *>(ssid), static_cast<void *>(iface->current_ssid));
    if (!iface->reassociate) {
        if (same_addr(bss->bssid, iface->bssid)) return 0;
        if (iface->wpa_state == WPA_AUTHENTICATING || iface->wpa_state == WPA_ASSOCIATING) {
            bool pending = !is_zero_ether_addr(iface->pending_bssid);
            if (pending && same_addr(bss->bssid, iface->pending_bssid)) return 0;
            if (!pending && ssid == iface->current_ssid) return 0;
        }
    }
    wpa_msg_iface(iface, MSG_DEBUG, "Request association with " MACSTR, MAC2STR(bss->bssid));
    supplicant_associate(iface, bss, ssid);
    return 0;
}

namespace {

// When every enabled network is temporarily disabled: the seconds until the first of
// them comes back, else -1.
int all_temp_disabled(wpa_iface *iface) {
    int shortest = -1;
    for (wpa_network *s = iface->conf->ssid; s; s = s->next) {
        if (supp_network_disabled(iface, s)) continue;
        int left = supp_temp_disabled(iface, s);
        if (left <= 0) return -1;
        if (shortest < 0 || left < shortest) shortest = left;
    }
    return shortest;
}

} // namespace

int supp_select_network_from_last_scan(wpa_iface *iface, int new_scan, int) {
    int wait = all_temp_disabled(iface);
    if (wait > 0) {
        eloop_cancel_timeout(supplicant_network_reenable_timer, iface, nullptr);
        eloop_register_timeout(wait, 0, supplicant_network_reenable_timer, iface, nullptr);
        return 0;
    }
    if (iface->p2p_mgmt) return 0;

    wpa_network *ssid = nullptr;
    wpa_bss *selected = supplicant_pick_network(iface, &ssid);
    if (selected) {
        if (iface->current_ssid && iface->current_ssid != ssid && iface->wpa_state >= WPA_ASSOCIATED &&
            !iface->reassociate) {
            iface->own_disconnect_req = 1;
            supplicant_deauthenticate(iface, 3);
        } else {
            if (ssid == iface->current_ssid && !supplicant_need_to_roam(iface, selected, ssid)) {
                if (new_scan) supplicant_rsn_preauth_scan_results(iface);
                return 0;
            }
            if (iface->current_ssid && ssid != iface->current_ssid &&
                iface->wpa_state >= WPA_AUTHENTICATING) {
                iface->own_disconnect_req = 1;
                supplicant_deauthenticate(iface, 3);
            }
        }
        if (supplicant_connect(iface, selected, ssid) < 0) return -1;
        if (new_scan) supplicant_rsn_preauth_scan_results(iface);
        return 1;
    }

    // Nothing to join: a network of our own (IBSS, AP, mesh) starts without a BSS.
    for (size_t prio = 0; prio < iface->conf->num_prio; prio++) {
        for (wpa_network *s = iface->conf->pssid[prio]; s; s = s->pnext) {
            if (supp_network_disabled(iface, s)) continue;
            if (s->mode == SUPP_MODE_IBSS || s->mode == SUPP_MODE_AP || s->mode == SUPP_MODE_MESH) {
                supplicant_associate(iface, nullptr, s);
                return 1;
            }
        }
    }

    if (!new_scan) return 0;
    if (supp_p2p_scan_res_join_fallback(iface)) return 2;
    if (iface->global && iface->global->p2p_group_formation == iface) {
        supplicant_req_new_scan(iface, 0, 250000);
    } else if (iface->next_scan_freq_count > 0 || supp_wps_searching(iface)) {
        supplicant_req_new_scan(iface, 0, 500000);
    } else if (supp_sched_scan_start_if_possible(iface) != 0) {
        supplicant_req_new_scan(iface, iface->scan_interval, 0);
        wpa_msg_iface_ctrl(iface, MSG_INFO, "CTRL-EVENT-NETWORK-NOT-FOUND ");
    }
    return 0;
}

int supplicant_fast_associate(wpa_iface *iface) {
    if (iface->last_scan_res == nullptr) return -1;
    os_reltime now, age;
    os_get_reltime(&now);
    os_reltime_sub(&now, &iface->last_scan, &age);
    if (age.sec < 5 || (age.sec == 5 && age.usec == 0))
        return supp_select_network_from_last_scan(iface, 0, 1);
    return -1;
}

void supplicant_rsn_preauth_scan_results(wpa_iface *iface) {
    rsn_supplicant *sm = supplicant_rsn_sm(iface);
    if (sm == nullptr || rsn_preauth_begin_scan_results(sm) != 0) return;
    for (wpa_bss *bss = iface->bss_first; bss; bss = bss->next) {
        const uint8_t *ssid_ie = wpa_bss_get_ie(bss, 0);
        const uint8_t *rsn_ie = wpa_bss_get_ie(bss, WLAN_EID_RSN);
        if (ssid_ie && rsn_ie) rsn_preauth_check_bss(sm, bss->bssid, ssid_ie, rsn_ie);
    }
}
