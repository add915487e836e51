// Enabling, disabling, selecting and removing networks, temporary disabling and the
// back-off after failed connections.
#include "wireless/core/network_enable.h"

#include "wireless/core/bss.h"
#include "wireless/core/config.h"
#include "wireless/core/connection_state.h"
#include "wireless/core/eloop.h"
#include "wireless/core/radio_work.h"
#include "wireless/core/scan.h"
#include "wireless/core/sched_scan.h"
#include "wireless/core/supplicant_hooks.h"
#include "wireless/core/text.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/eap/eapol_supp_sm.h"
#include "wireless/rsn/wpa.h"
#include "wireless/rsn/wpa_common.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

bool temp_disable_set(const wpa_network *ssid) {
    return ssid->disabled_until.sec != 0 || ssid->disabled_until.usec != 0;
}

// A stopped scheduled scan gives way to a scan at once.
void sched_scan_to_scan(wpa_iface *iface) {
    if (!iface->sched_scanning) return;
    supplicant_cancel_sched_scan(iface);
    supplicant_req_scan(iface, 0, 0);
}

// No interface field may keep pointing at a block that is about to go.
void forget_network(wpa_iface *iface, wpa_network *ssid) {
    if (iface->next_ssid == ssid) iface->next_ssid = nullptr;
    if (iface->last_ssid == ssid) iface->last_ssid = nullptr;
    if (iface->connect_without_scan == ssid) iface->connect_without_scan = nullptr;
    if (iface->prev_ssid == ssid) iface->prev_ssid = nullptr;
    if (iface->prev_sched_ssid == ssid) iface->prev_sched_ssid = nullptr;
    if (iface->prev_scan_ssid == ssid) iface->prev_scan_ssid = WILDCARD_SSID_SCAN;
}

// The current network leaves: its settings leave the RSN and EAPOL supplicants and the
// interface deauthenticates, which the supplicant itself asked for.
void leave_current(wpa_iface *iface) {
    if (rsn_supplicant *sm = supplicant_rsn_sm(iface)) wpa_sm_set_network_config(sm, nullptr);
    if (iface->eapol) eapol_supp_apply_config(iface->eapol, nullptr, nullptr);
    if (iface->wpa_state >= WPA_AUTHENTICATING) iface->own_disconnect_req = 1;
    supplicant_deauthenticate(iface, 3);
}

void enable_one(wpa_iface *iface, wpa_network *ssid) {
    if (ssid->disabled != 1) return;
    ssid->disabled = 0;
    supplicant_reenable_network(iface, ssid, 1);
    if (iface->current_ssid == nullptr && !iface->disconnected) iface->reassociate = 1;
}

} // namespace

// ------------------------------------------------------------------ usable networks

int supp_temp_disabled(wpa_iface *iface, wpa_network *ssid) {
    if (!temp_disable_set(ssid)) return 0;
    os_reltime now;
    os_get_reltime(&now);
    if (!os_reltime_before(&now, &ssid->disabled_until)) {
        supplicant_reenable_network(iface, ssid, 0);
        return 0;
    }
    os_reltime left;
    os_reltime_sub(&ssid->disabled_until, &now, &left);
    int64_t secs = left.sec + (left.usec ? 1 : 0);
    return secs > INT_MAX ? INT_MAX : static_cast<int>(secs);
}

// The 128-bit WEP bit of the driver's cipher set (only the wireless-extensions back end
// sets it).
constexpr uint32_t DriverEncWep128 = 0x10;

int supp_network_disabled(wpa_iface *iface, wpa_network *ssid) {
    if (iface->p2p_mgmt || ssid == nullptr || ssid->disabled) return 1;
    for (int i = 0; i < 4; i++) {
        size_t len = ssid->wep_key[i].len;
        if (len == 0) continue;
        if (len != 5 && len != 13 && len != 16) return 1;
        if (!iface->drv_capa_known) continue;
        uint32_t enc = iface->drv_capa.enc;
        if (len == 5 && !(enc & WPA_DRIVER_CAPA_ENC_WEP40)) return 1;
        if (len == 13 && !(enc & WPA_DRIVER_CAPA_ENC_WEP104)) return 1;
        if (len == 16 && !(enc & DriverEncWep128)) return 1;
    }
    if (ssid->key_mgmt & WPA_KEY_MGMT_MASK_PSK_LIKE) {
        bool have = ssid->psk_set ||
                    (ssid->passphrase && (ssid->ssid.data == nullptr || ssid->ssid.len == 0)) ||
                    ssid->mem_only_psk;
        if (!have) return 1;
    }
    return 0;
}

int supplicant_enabled_networks(wpa_iface *iface) {
    if (iface->p2p_mgmt) return 0;
    int count = 0;
    for (wpa_network *s = iface->conf->ssid; s; s = s->next)
        if (!supp_network_disabled(iface, s)) count++;
    if (iface->conf->cred && iface->conf->interworking && iface->conf->auto_interworking) count++;
    return count;
}

// ------------------------------------------------------------------ the set of networks

wpa_network *supplicant_add_network(wpa_iface *iface) {
    wpa_network *ssid = wpa_config_add_network(iface->conf);
    if (ssid == nullptr) return nullptr;
    supp_notify_network_added(iface, ssid);
    wpa_config_set_network_defaults(ssid);
    ssid->disabled = 1;
    return ssid;
}

int supplicant_remove_network(wpa_iface *iface, int id) {
    wpa_network *ssid = wpa_config_get_network(iface->conf, id);
    if (ssid == nullptr) return -1;
    supp_notify_network_removed(iface, ssid);
    forget_network(iface, ssid);
    bool current = ssid == iface->current_ssid;
    if (current || iface->current_ssid == nullptr) eapol_supp_invalidate_cached_session(iface->eapol);
    if (current) {
        leave_current(iface);
        // However the deauthentication went, the connection must not outlive its block.
        if (iface->current_ssid == ssid) supplicant_clear_connection(iface);
    }
    if (iface->bgscan_ssid == ssid) supp_bgscan_deinit(iface);
    bool was_enabled = ssid->disabled == 0;
    if (wpa_config_remove_network(iface->conf, id) < 0) return -2;
    if (was_enabled) sched_scan_to_scan(iface);
    return 0;
}

void supplicant_remove_all_networks(wpa_iface *iface) {
    if (iface->sched_scanning) supplicant_cancel_sched_scan(iface);
    eapol_supp_invalidate_cached_session(iface->eapol);
    if (wpa_network *current = iface->current_ssid) {
        leave_current(iface);
        if (iface->current_ssid == current) supplicant_clear_connection(iface);
    }
    while (wpa_network *s = iface->conf->ssid) {
        supp_notify_network_removed(iface, s);
        forget_network(iface, s);
        if (iface->bgscan_ssid == s) supp_bgscan_deinit(iface);
        if (wpa_config_remove_network(iface->conf, s->id) < 0) break;
    }
}

void supplicant_disable_network(wpa_iface *iface, wpa_network *ssid) {
    if (ssid == nullptr) {
        if (iface->sched_scanning) supplicant_cancel_sched_scan(iface);
        for (wpa_network *s = iface->conf->ssid; s; s = s->next)
            if (s->disabled != 2) s->disabled = 1;
        if (iface->current_ssid) supplicant_deauthenticate(iface, 3);
        return;
    }
    if (ssid->disabled == 2) return;
    if (ssid == iface->current_ssid) supplicant_deauthenticate(iface, 3);
    bool changed = ssid->disabled != 1;
    ssid->disabled = 1;
    if (changed) sched_scan_to_scan(iface);
}

void supplicant_enable_network(wpa_iface *iface, wpa_network *ssid) {
    if (ssid == nullptr) {
        for (wpa_network *s = iface->conf->ssid; s; s = s->next)
            enable_one(iface, s);
    } else {
        enable_one(iface, ssid);
    }
    bool idle = iface->current_ssid == nullptr || iface->wpa_state == WPA_DISCONNECTED ||
                iface->wpa_state == WPA_SCANNING;
    if (!iface->reassociate || iface->disconnected || !idle) return;
    if (iface->sched_scanning) supplicant_cancel_sched_scan(iface);
    if (supplicant_fast_associate(iface) == 1) return;
    iface->scan_req = NORMAL_SCAN_REQ;
    supplicant_req_scan(iface, 0, 0);
}

void supplicant_select_network(wpa_iface *iface, wpa_network *ssid) {
    bool deauthenticated = false;
    if (ssid && ssid != iface->current_ssid) {
        if (iface->wpa_state >= WPA_AUTHENTICATING) iface->own_disconnect_req = 1;
        if (iface->current_ssid) {
            supplicant_deauthenticate(iface, 3);
            deauthenticated = true;
        }
        supplicant_reenable_network(iface, ssid, 1);
    }
    for (wpa_network *s = iface->conf->ssid; s; s = s->next) {
        if (s->disabled == 2) continue;
        int was = s->disabled;
        s->disabled = ssid == nullptr || s == ssid ? 0 : 1;
        if (was && !s->disabled) supplicant_reenable_network(iface, s, 0);
    }
    if (ssid && ssid == iface->current_ssid && iface->wpa_state >= WPA_AUTHENTICATING) return;

    if (ssid) {
        iface->current_ssid = ssid;
        iface->next_ssid = ssid;
        iface->last_ssid = ssid;
        if (iface->eapol) eapol_supp_apply_config(iface->eapol, nullptr, nullptr);
        if (ssid->mode == SUPP_MODE_MESH) iface->connect_without_scan = ssid;
        free(iface->next_scan_freqs);
        iface->next_scan_freqs = nullptr;
    } else {
        iface->connect_without_scan = nullptr;
    }

    iface->disconnected = 0;
    iface->reassociate = 1;
    if (iface->connect_without_scan == nullptr && supplicant_fast_associate(iface) == 1) return;
    iface->scan_req = NORMAL_SCAN_REQ;
    iface->normal_scans = 0;
    if (iface->sched_scanning) supplicant_cancel_sched_scan(iface);
    supplicant_req_scan(iface, 0, deauthenticated ? 100000 : 0);
}

void supplicant_reconnect(wpa_iface *iface) {
    iface->normal_scans = 0;
    iface->extra_blacklist_count = 0;
    iface->scan_req = NORMAL_SCAN_REQ;
    iface->disconnected = 0;
    iface->reassociate = 1;
    if (supplicant_fast_associate(iface) == 1)
        iface->reattach = 0;
    else
        supplicant_req_scan(iface, 0, 0);
}

void supplicant_disconnect(wpa_iface *iface) {
    iface->disconnected = 1;
    if (iface->eapol) eapol_supp_note_pmksa_attempt(iface->eapol, false);
    iface->reassociate = 0;
    if (iface->sched_scanning) supplicant_cancel_sched_scan(iface);
    supplicant_cancel_scan(iface);
    supplicant_deauthenticate(iface, 3);
    eloop_cancel_timeout(supplicant_network_reenable_timer, iface, nullptr);
}

// ------------------------------------------------------------------ temporary disable

int supp_temp_disable_base(unsigned int n) {
    if (n <= 1) return 10;
    if (n == 2) return 20;
    if (n == 3) return 30;
    if (n <= 5) return 60;
    if (n <= 10) return 90;
    if (n <= 50) return 120;
    return 300;
}

void supp_auth_failed(wpa_iface *iface, const char *reason) {
    wpa_network *ssid = iface->current_ssid;
    if (ssid == nullptr || ssid->key_mgmt == WPA_KEY_MGMT_WPS) return;
    if (ssid->auth_failures < INT_MAX) ssid->auth_failures++;
    unsigned int n = static_cast<unsigned int>(ssid->auth_failures);
    // A group being provisioned counts its failures elsewhere.
    if (ssid->p2p_group && iface->global && iface->global->p2p_group_formation == iface) return;

    int duration = supp_temp_disable_base(n);
    if (n >= 2 && (static_cast<uint32_t>(ssid->key_mgmt) & WPA_KEY_MGMT_MASK_8021X))
        duration += static_cast<int>(os_random() % (10ul * n));
    os_reltime now, until;
    os_get_reltime(&now);
    os_reltime_add_sat(&now, duration, 0, &until);
    if (!os_reltime_before(&ssid->disabled_until, &until)) return;
    ssid->disabled_until = until;
    wpa_msg_iface(iface, MSG_INFO,
                  "CTRL-EVENT-SSID-TEMP-DISABLED id=%d ssid=\"%s\" auth_failures=%u duration=%d reason=%s",
                  ssid->id, wpa_ssid_txt(ssid->ssid.data, ssid->ssid.len), n, duration, reason ? reason : "");
}

void supplicant_reenable_network(wpa_iface *iface, wpa_network *ssid, int clear_failures) {
    if (ssid == nullptr) return;
    if (temp_disable_set(ssid))
        wpa_msg_iface(iface, MSG_INFO, "CTRL-EVENT-SSID-REENABLED id=%d ssid=\"%s\"", ssid->id,
                      wpa_ssid_txt(ssid->ssid.data, ssid->ssid.len));
    ssid->disabled_until = {0, 0};
    if (clear_failures) ssid->auth_failures = 0;
}

void supplicant_network_reenable_timer(void *eloop_ctx, void *) {
    auto *iface = static_cast<wpa_iface *>(eloop_ctx);
    if (iface->disconnected || iface->wpa_state != WPA_SCANNING) return;
    if (supplicant_fast_associate(iface) == 1) return;
    if (iface->sched_scanning) supplicant_cancel_sched_scan(iface);
    supplicant_req_scan(iface, 0, 0);
}

// ------------------------------------------------------------------ connection failure

int supp_conn_failed_delay_ms(int total) {
    switch (total) {
    case 1:
        return 100;
    case 2:
        return 500;
    case 3:
        return 1000;
    case 4:
        return 5000;
    default:
        return 10000;
    }
}

void supp_connection_failed(wpa_iface *iface, const uint8_t *bssid) {
    supp_connect_work_done(iface);
    supplicant_cancel_auth_timeout(iface);
    if (iface->own_disconnect_req) {
        iface->own_disconnect_req = 0;
        return;
    }
    if (iface->disconnected) return;

    int count = wpa_blacklist_add(iface, bssid);
    if (count < 0) count = 0; // not blacklisted: nothing to count
    if (count == 1 && iface->current_bss) {
        // Another AP of the same network may do better: the next scan covers only their
        // channels, and this one is passed over once more meanwhile.
        const wpa_bss *cur = iface->current_bss;
        int *freqs = nullptr;
        size_t n = 0;
        for (wpa_bss *b = iface->bss_first; b && n < 10; b = b->next) {
            if (memcmp(b->bssid, bssid, 6) == 0 || b->ssid_len != cur->ssid_len ||
                memcmp(b->ssid, cur->ssid, cur->ssid_len) != 0 || wpa_blacklist_get(iface, b->bssid))
                continue;
            size_t before = freqs ? int_array_len(freqs) : 0;
            if (int_array_add_unique(&freqs, b->freq) < 0) break;
            if (int_array_len(freqs) > before) n++;
        }
        if (freqs && freqs[0]) {
            wpa_blacklist_add(iface, bssid);
            free(iface->next_scan_freqs);
            iface->next_scan_freqs = freqs;
        } else {
            free(freqs);
        }
    }

    int total = count;
    if (iface->extra_blacklist_count > INT_MAX - total)
        total = INT_MAX;
    else
        total += iface->extra_blacklist_count;
    if (total > 3 && iface->current_ssid) supp_auth_failed(iface, "CONN_FAILED");
    int ms = supp_conn_failed_delay_ms(total);
    supplicant_req_scan(iface, ms / 1000, (ms % 1000) * 1000);
}

// ------------------------------------------------------------------ driver's current network

wpa_network *supplicant_get_ssid(wpa_iface *iface) {
    uint8_t ssid[32];
    uint8_t bssid[6];
    int len = iface->driver && iface->driver->get_ssid ? iface->driver->get_ssid(iface->drv_priv, ssid) : -1;
    if (len < 0) {
        wpa_msg_iface(iface, MSG_WARNING, "Could not read SSID from driver");
        return nullptr;
    }
    if (len > 32) len = 32;
    if (iface->driver->get_bssid == nullptr || iface->driver->get_bssid(iface->drv_priv, bssid) < 0) {
        wpa_msg_iface(iface, MSG_WARNING, "Could not read BSSID from driver");
        return nullptr;
    }
    bool wired = iface->conf->ap_scan == 0 && (iface->drv_flags & WPA_DRIVER_FLAGS_WIRED);
    for (wpa_network *s = iface->conf->ssid; s; s = s->next) {
        if (supp_network_disabled(iface, s)) continue;
        bool bssid_ok = !s->bssid_set || memcmp(bssid, s->bssid, 6) == 0;
        bool has_ssid = s->ssid.data && s->ssid.len;
        if (has_ssid) {
            bool same =
                s->ssid.len == static_cast<size_t>(len) && memcmp(ssid, s->ssid.data, s->ssid.len) == 0;
            if ((same || wired) && bssid_ok) return s;
            continue;
        }
        if (s->bssid_set && bssid_ok) return s;
        if ((s->key_mgmt & WPA_KEY_MGMT_WPS) && bssid_ok) return s;
    }
    return nullptr;
}
