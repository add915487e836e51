#include "wireless/core/connection_state.h"

#include "wireless/core/cipher_text.h"
#include "wireless/core/l2_packet.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/eap/eapol_supp_sm.h"

#include <cstring>

namespace {

constexpr uint16_t ETH_P_EAPOL = 0x888e;

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
    iface->l2 = l2_packet_init(iface->ifname, nullptr, ETH_P_EAPOL, supplicant_rx_eapol, iface, 0);
    if (iface->l2 == nullptr || l2_packet_get_own_addr(iface->l2, iface->own_addr) < 0) {
        wpa_msg_iface(iface, MSG_ERROR, "Failed to get own L2 address");
        return -1;
    }
    return 0;
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
    if (iface->wpa_state < WPA_ASSOCIATED) return; // no association: nothing to answer
    iface->eapol_received++;
    memcpy(iface->last_eapol_src, src_addr, 6);
    if (iface->key_mgmt != WPA_KEY_MGMT_PSK && iface->key_mgmt != WPA_KEY_MGMT_SAE &&
        iface->eapol != nullptr && eapol_supp_rx_frame(iface->eapol, src_addr, buf, len) > 0)
        return;
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
    supplicant_set_state(iface, WPA_DISCONNECTED);
    memset(iface->bssid, 0, 6);
    memset(iface->pending_bssid, 0, 6);
    iface->current_ssid = nullptr;
    iface->key_mgmt = 0;
    if (iface->eapol != nullptr) {
        eapol_supp_set_port_enabled(iface->eapol, false);
        eapol_supp_set_port_valid(iface->eapol, false);
        eapol_supp_apply_config(iface->eapol, nullptr, nullptr);
    }
}
