#include "wireless/core/connection_state.h"

#include "wireless/core/association.h"
#include "wireless/core/cipher_text.h"
#include "wireless/core/eloop.h"
#include "wireless/core/l2_packet.h"
#include "wireless/core/radio_work.h"
#include "wireless/core/scan.h"
#include "wireless/core/text.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/core/wpabuf.h"
#include "wireless/eap/eapol_supp_sm.h"
#include "wireless/rsn/wpa.h"

#include <cstring>

namespace {

bool wired(wpa_iface *iface) {
    return (iface->drv_flags & WPA_DRIVER_FLAGS_WIRED) != 0 ||
           (iface->driver != nullptr && iface->driver->name != nullptr &&
            strcmp(iface->driver->name, "wired") == 0);
}

bool ieee8021x_kind(int key_mgmt) {
    return (key_mgmt & (WPA_KEY_MGMT_IEEE8021X | WPA_KEY_MGMT_IEEE8021X_NO_WPA)) != 0;
}

} // namespace

int supplicant_update_mac_addr(wpa_iface *iface) {
    l2_packet_deinit(iface->l2);
    iface->l2 = l2_packet_init(iface->ifname, nullptr, 0x888e, supplicant_rx_eapol, iface, 0);
    if (iface->l2 == nullptr || l2_packet_get_own_addr(iface->l2, iface->own_addr) < 0) {
        wpa_msg_iface(iface, MSG_ERROR, "Failed to get own L2 address");
        return -1;
    }
    wpa_sm_store_own_addr(iface->wpa, iface->own_addr);
    return 0;
}

int supp_update_random_addr(wpa_iface *iface, int style) {
    os_reltime now;
    os_get_reltime(&now);
    if (iface->mac_addr_changed && iface->last_mac_addr_style == style) {
        os_reltime age;
        os_reltime_sub(&now, &iface->last_mac_addr_change, &age);
        const int64_t lifetime = iface->conf->rand_addr_lifetime;
        if (age.sec < lifetime || (age.sec == lifetime && age.usec == 0)) {
            wpa_msg_iface(iface, MSG_DEBUG, "Previously selected random MAC address has not yet expired");
            return 0;
        }
    }
    uint8_t addr[6];
    if (style == 1) {
        if (random_mac_addr(addr) < 0) return -1;
    } else if (style == 2) {
        memcpy(addr, iface->perm_addr, 6);
        if (random_mac_addr_keep_oui(addr) < 0) return -1;
    } else {
        return -1;
    }
    if (iface->driver == nullptr || iface->driver->set_mac_addr == nullptr ||
        iface->driver->set_mac_addr(iface->drv_priv, addr) < 0) {
        wpa_msg_iface(iface, MSG_INFO, "Failed to set random MAC address");
        return -1;
    }
    iface->last_mac_addr_change = now;
    iface->last_mac_addr_style = style;
    iface->mac_addr_changed = 1;
    if (supplicant_update_mac_addr(iface) < 0) {
        wpa_msg_iface(iface, MSG_INFO, "Could not update MAC address information");
        return -1;
    }
    wpa_msg_iface(iface, MSG_DEBUG, "Using random MAC address %02x:%02x:%02x:%02x:%02x:%02x", addr[0],
                  addr[1], addr[2], addr[3], addr[4], addr[5]);
    return 0;
}

int supp_update_random_addr_before_scan(wpa_iface *iface) {
    if (iface->wpa_state > WPA_SCANNING || iface->conf->preassoc_mac_addr == 0) return 0;
    return supp_update_random_addr(iface, iface->conf->preassoc_mac_addr);
}

int supp_restore_permanent_addr(wpa_iface *iface) {
    if (!iface->mac_addr_changed) return 0;
    if (iface->driver == nullptr || iface->driver->set_mac_addr == nullptr ||
        iface->driver->set_mac_addr(iface->drv_priv, nullptr) < 0) {
        wpa_msg_iface(iface, MSG_INFO, "Could not restore permanent MAC address");
        return -1;
    }
    iface->mac_addr_changed = 0;
    if (supplicant_update_mac_addr(iface) < 0) {
        wpa_msg_iface(iface, MSG_INFO, "Could not update MAC address information");
        return -1;
    }
    wpa_msg_iface(iface, MSG_DEBUG, "Using permanent MAC address");
    return 0;
}

// Frames of the bridge's socket come with their Ethernet header: those addressed to us or
// to a group go on without it.
void supplicant_rx_eapol_bridge(void *ctx, const uint8_t *src_addr, const uint8_t *buf, size_t len) {
    auto *iface = static_cast<wpa_iface *>(ctx);
    if (len < 14) return;
    if (memcmp(buf, iface->own_addr, 6) != 0 && !(buf[0] & 0x01)) return;
    supplicant_rx_eapol(iface, src_addr, buf + 14, len - 14);
}

void supplicant_initiate_eapol(wpa_iface *iface) {
    wpa_network *ssid = iface->current_ssid;
    if (iface->eapol == nullptr) return;
    eapol_supp_set_eap_success(iface->eapol, false);
    eapol_supp_set_eap_fail(iface->eapol, false);
    const int key_mgmt = iface->key_mgmt;
    eapol_supp_set_port_control(iface->eapol,
                                key_mgmt == WPA_KEY_MGMT_NONE || key_mgmt == WPA_KEY_MGMT_WPA_NONE
                                    ? EAPOL_ForceAuthorized
                                    : EAPOL_Auto);
    eapol_supp_config conf{};
    if (ssid != nullptr) {
        if (key_mgmt == WPA_KEY_MGMT_IEEE8021X_NO_WPA) {
            conf.accept_802_1x_keys = 1;
            // A wired port needs no keys.
            if (!wired(iface)) {
                if (ssid->eapol_flags & 1) conf.required_keys |= EAPOL_REQUIRE_KEY_UNICAST;
                if (ssid->eapol_flags & 2) conf.required_keys |= EAPOL_REQUIRE_KEY_BROADCAST;
            }
        }
        conf.fast_reauth = iface->conf->fast_reauth;
        conf.workaround = static_cast<unsigned int>(ssid->eap_workaround);
        conf.eap_disabled = !ieee8021x_kind(key_mgmt) && key_mgmt != WPA_KEY_MGMT_WPS;
        conf.external_sim = iface->conf->external_sim;
    }
    eapol_supp_apply_config(iface->eapol, ssid, ssid != nullptr ? &conf : nullptr);
}

void supplicant_rx_eapol(void *ctx, const uint8_t *src_addr, const uint8_t *buf, size_t len) {
    auto *iface = static_cast<wpa_iface *>(ctx);
    // A frame before the association event (or from another address once the AP has
    // spoken) is kept: the association event delivers it when it is recent and came
    // from the BSSID just associated.
    if (iface->wpa_state < WPA_ASSOCIATED ||
        (iface->last_eapol_matches_bssid && memcmp(src_addr, iface->bssid, 6) != 0)) {
        wpa_buf_free(iface->pending_eapol_rx);
        iface->pending_eapol_rx = wpa_buf_alloc_copy(buf, len);
        if (iface->pending_eapol_rx != nullptr) {
            supplicant_conn_clock(&iface->pending_eapol_rx_time);
            memcpy(iface->pending_eapol_rx_src, src_addr, 6);
        }
        return;
    }
    iface->last_eapol_matches_bssid = memcmp(src_addr, iface->bssid, 6) == 0;
    if (iface->key_mgmt == WPA_KEY_MGMT_WPA_NONE) return;

    if (iface->eapol_received == 0 && !wired(iface) &&
        !(iface->current_ssid != nullptr && iface->current_ssid->mode == SUPP_MODE_IBSS)) {
        const int km = iface->key_mgmt;
        const bool long_run =
            supp_key_mgmt_8021x(km) || km == WPA_KEY_MGMT_IEEE8021X_NO_WPA || km == WPA_KEY_MGMT_WPS;
        supplicant_req_auth_timeout(iface, long_run ? 70 : 10, 0);
    }
    iface->eapol_received++;
    if (iface->countermeasures) {
        wpa_msg_iface(iface, MSG_INFO, "WPA: Countermeasures - dropped EAPOL packet");
        return;
    }
    memcpy(iface->last_eapol_src, src_addr, 6);
    if (!supp_key_mgmt_psk_like(iface->key_mgmt) && iface->eapol != nullptr &&
        eapol_supp_rx_frame(iface->eapol, src_addr, buf, len) > 0)
        return;
    if (iface->wpa != nullptr) wpa_sm_process_eapol_key(iface->wpa, src_addr, buf, len);
}

void supplicant_ap_scan0_connect(wpa_iface *iface) {
    if (iface->current_ssid == nullptr) {
        for (wpa_network *s = iface->conf->ssid; s != nullptr; s = s->next) {
            if (s->disabled) continue;
            iface->current_ssid = s;
            break;
        }
    }
    wpa_network *ssid = iface->current_ssid;
    if (ssid == nullptr) return;
    iface->key_mgmt = ssid->key_mgmt;
    if (iface->driver != nullptr && iface->driver->get_bssid != nullptr)
        iface->driver->get_bssid(iface->drv_priv, iface->bssid);
    supplicant_initiate_eapol(iface);
    // The association event of a wired port: associated at once, the port enabled.
    iface->eapol_received = 0;
    supplicant_set_state(iface, WPA_ASSOCIATED);
    if (iface->eapol != nullptr) {
        eapol_supp_set_port_valid(iface->eapol, false);
        eapol_supp_set_port_enabled(iface->eapol, true);
    }
}

void supplicant_clear_connection(wpa_iface *iface) {
    const int old_key_mgmt = iface->key_mgmt;
    // A lost or failed connection ends its attempt: the radio is free again.
    supp_connect_work_done(iface);
    if (iface->wpa_state != WPA_INTERFACE_DISABLED) supplicant_set_state(iface, WPA_DISCONNECTED);
    memset(iface->bssid, 0, 6);
    memset(iface->pending_bssid, 0, 6);
    sme_clear_on_disassoc(iface);
    iface->current_bss = nullptr;
    iface->assoc_freq = 0;
    iface->current_ssid = nullptr;
    iface->key_mgmt = 0;
    if (iface->eapol != nullptr) {
        eapol_supp_set_port_enabled(iface->eapol, false);
        eapol_supp_set_port_valid(iface->eapol, false);
        if (supp_key_mgmt_psk_like(old_key_mgmt)) eapol_supp_set_eap_success(iface->eapol, false);
        eapol_supp_apply_config(iface->eapol, nullptr, nullptr);
    }
}

// ------------------------------------------------------------------ keys

int (*supplicant_conn_clock)(os_reltime *now) = os_get_reltime;

int wpa_drv_set_key(wpa_iface *iface, wpa_alg alg, const uint8_t *addr, int key_idx, int set_tx,
                    const uint8_t *seq, size_t seq_len, const uint8_t *key, size_t key_len) {
    if (alg != WPA_ALG_NONE && key_idx >= 0 && key_idx < 32) iface->keys_cleared &= ~(1u << key_idx);
    if (iface->driver == nullptr || iface->driver->set_key == nullptr) return -1;
    return iface->driver->set_key(iface->drv_priv, iface->ifname, alg, addr, key_idx, set_tx, seq, seq_len,
                                  key, key_len);
}

int wpa_drv_get_bssid(wpa_iface *iface, uint8_t *bssid) {
    if (iface->driver == nullptr || iface->driver->get_bssid == nullptr) return -1;
    return iface->driver->get_bssid(iface->drv_priv, bssid);
}

int wpa_set_wep_keys(wpa_iface *iface, wpa_network *ssid) {
    int set = 0;
    for (int i = 0; i < 4; i++) {
        if (ssid->wep_key[i].len == 0) continue;
        set = 1;
        wpa_drv_set_key(iface, WPA_ALG_WEP, nullptr, i, i == ssid->wep_tx_keyidx, nullptr, 0,
                        ssid->wep_key[i].data, ssid->wep_key[i].len);
    }
    return set;
}

int supplicant_set_wpa_none_key(wpa_iface *iface, wpa_network *ssid) {
    if (ssid->mode != SUPP_MODE_IBSS) {
        wpa_msg_iface(iface, MSG_INFO, "WPA: Invalid mode %d (not IBSS/ad-hoc) for WPA-None", ssid->mode);
        return -1;
    }
    if (!ssid->psk_set) {
        wpa_msg_iface(iface, MSG_INFO, "WPA: No PSK configured for WPA-None");
        return -1;
    }
    uint8_t key[32];
    size_t keylen;
    wpa_alg alg;
    switch (iface->group_cipher) {
    case WPA_CIPHER_CCMP:
    case WPA_CIPHER_GCMP:
        memcpy(key, ssid->psk, 16);
        keylen = 16;
        alg = iface->group_cipher == WPA_CIPHER_CCMP ? WPA_ALG_CCMP : WPA_ALG_GCMP;
        break;
    case WPA_CIPHER_TKIP:
        // The same MIC key both ways.
        memcpy(key, ssid->psk, 16 + 8);
        memcpy(key + 16 + 8, ssid->psk + 16, 8);
        keylen = 32;
        alg = WPA_ALG_TKIP;
        break;
    default:
        wpa_msg_iface(iface, MSG_INFO, "WPA: Invalid group cipher %d for WPA-None", iface->group_cipher);
        return -1;
    }
    static const uint8_t seq[6] = {0, 0, 0, 0, 0, 0};
    int ret = wpa_drv_set_key(iface, alg, nullptr, 0, 1, seq, 6, key, keylen);
    explicit_bzero(key, sizeof(key));
    return ret;
}

void wpa_clear_keys(wpa_iface *iface, const uint8_t *addr) {
    for (int i = 0; i < 4; i++)
        if (!(iface->keys_cleared & (1u << i)))
            wpa_drv_set_key(iface, WPA_ALG_NONE, nullptr, i, 0, nullptr, 0, nullptr, 0);
    if (!(iface->keys_cleared & 1u) && addr != nullptr && !is_zero_ether_addr(addr))
        wpa_drv_set_key(iface, WPA_ALG_NONE, addr, 0, 0, nullptr, 0, nullptr, 0);
    iface->keys_cleared = ~0u;
}

// ------------------------------------------------------------------ disassociation

void supplicant_mark_disassociated(wpa_iface *iface) {
    iface->pairwise_cipher = 0;
    iface->group_cipher = 0;
    iface->mgmt_group_cipher = 0;
    iface->key_mgmt = 0;
    if (iface->wpa_state != WPA_INTERFACE_DISABLED) supplicant_set_state(iface, WPA_DISCONNECTED);
}

int supplicant_set_ap_scan(wpa_iface *iface, int ap_scan) {
    if (ap_scan < 0 || ap_scan > 2) return -1;
    iface->conf->ap_scan = ap_scan;
    return 0;
}

// ------------------------------------------------------------------ authentication timeout

namespace {

void auth_timeout(void *eloop_ctx, void *) {
    auto *iface = static_cast<wpa_iface *>(eloop_ctx);
    const bool pending = (iface->wpa_state == WPA_AUTHENTICATING || iface->wpa_state == WPA_ASSOCIATING) &&
                         !is_zero_ether_addr(iface->pending_bssid);
    uint8_t addr[6];
    memcpy(addr, pending ? iface->pending_bssid : iface->bssid, 6);
    wpa_msg_iface(iface, MSG_INFO, "Authentication with %02x:%02x:%02x:%02x:%02x:%02x timed out.", addr[0],
                  addr[1], addr[2], addr[3], addr[4], addr[5]);
    wpa_blacklist_add(iface, addr);
    wpa_sm_on_disassociated(iface->wpa);
    supplicant_deauthenticate(iface, 3);
    iface->reassociate = 1;
    supplicant_req_scan(iface, 1, 0);
}

} // namespace

void supplicant_req_auth_timeout(wpa_iface *iface, int sec, int usec) {
    if (iface->conf->ap_scan == 0 && wired(iface)) return;
    eloop_cancel_timeout(auth_timeout, iface, nullptr);
    eloop_register_timeout(sec, usec, auth_timeout, iface, nullptr);
}

void supplicant_cancel_auth_timeout(wpa_iface *iface) {
    eloop_cancel_timeout(auth_timeout, iface, nullptr);
}

// ------------------------------------------------------------------ deauthentication

void supplicant_deauthenticate(wpa_iface *iface, uint16_t reason_code) {
    static const uint8_t zero[6] = {0, 0, 0, 0, 0, 0};
    const uint8_t *addr = nullptr;
    uint8_t used[6];
    if ((iface->wpa_state == WPA_AUTHENTICATING || iface->wpa_state == WPA_ASSOCIATING) &&
        !is_zero_ether_addr(iface->pending_bssid))
        addr = iface->pending_bssid;
    else if (!is_zero_ether_addr(iface->bssid))
        addr = iface->bssid;
    else if (iface->wpa_state == WPA_ASSOCIATING)
        addr = zero;
    if (addr != nullptr) {
        memcpy(used, addr, 6);
        wpa_drv_deauthenticate(iface, used, reason_code);
        wpa_event_data event{};
        event.deauth_info.addr = used;
        event.deauth_info.reason_code = reason_code;
        event.deauth_info.locally_generated = 1;
        supplicant_event(iface, EVENT_DEAUTH, &event);
    }
    supp_connect_work_done(iface);
    wpa_clear_keys(iface, addr != nullptr && !is_zero_ether_addr(used) ? used : nullptr);
    supplicant_clear_connection(iface);
    wpa_sm_set_network_config(iface->wpa, nullptr);
    if (iface->eapol != nullptr) eapol_supp_apply_config(iface->eapol, nullptr, nullptr);
    supplicant_cancel_auth_timeout(iface);
}
