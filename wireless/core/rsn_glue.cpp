// What the core does behind the RSN supplicant's callbacks, and the per-network settings
// it hands the RSN supplicant. The RSN supplicant knows nothing of interfaces, drivers
// or sockets; it reaches them only through this record.
#include "wireless/core/association.h"

#include "wireless/core/bss.h"
#include "wireless/core/l2_packet.h"
#include "wireless/core/preauth_glue.h"
#include "wireless/core/scan.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/eap/eapol_supp_sm.h"
#include "wireless/rsn/pmksa_cache.h"
#include "wireless/rsn/wpa.h"

#include <cstdlib>
#include <cstring>

namespace {

wpa_iface *iface_of(void *ctx) {
    return static_cast<wpa_iface *>(ctx);
}

void rsn_set_state(void *ctx, int state) {
    supplicant_set_state(iface_of(ctx), state);
}

int rsn_get_state(void *ctx) {
    return iface_of(ctx)->wpa_state;
}

void rsn_deauthenticate(void *ctx, int reason_code) {
    wpa_iface *iface = iface_of(ctx);
    supplicant_deauthenticate(iface, static_cast<uint16_t>(reason_code));
    supplicant_req_scan(iface, 5, 0);
}

int rsn_set_key(void *ctx, int alg, const uint8_t *addr, int key_idx, int set_tx, const uint8_t *seq,
                size_t seq_len, const uint8_t *key, size_t key_len) {
    wpa_iface *iface = iface_of(ctx);
    // A new TKIP pairwise key starts the Michael MIC failure count again.
    if (alg == WPA_ALG_TKIP && key_idx == 0 && key_len == 32) iface->pending_mic_errors = 0;
    if (alg != WPA_ALG_NONE && key_idx >= 0 && key_idx < 7) iface->keys_cleared &= ~(1u << key_idx);
    if (iface->driver == nullptr || iface->driver->set_key == nullptr) return -1;
    return iface->driver->set_key(iface->drv_priv, iface->ifname, static_cast<wpa_alg>(alg), addr, key_idx,
                                  set_tx, seq, seq_len, key, key_len);
}

void *rsn_get_network_ctx(void *ctx) {
    return supplicant_get_ssid(iface_of(ctx));
}

int rsn_get_bssid(void *ctx, uint8_t *bssid) {
    return wpa_drv_get_bssid(iface_of(ctx), bssid);
}

int rsn_ether_send(void *ctx, const uint8_t *dest, uint16_t proto, const uint8_t *buf, size_t len) {
    wpa_iface *iface = iface_of(ctx);
    if (iface->l2 == nullptr) return -1;
    return l2_packet_send(iface->l2, dest, proto, buf, len);
}

// The AP's WPA and RSN elements from the BSS table entry of the current BSSID (and SSID).
int ap_ies_from_table(wpa_iface *iface) {
    wpa_network *ssid = iface->current_ssid;
    wpa_bss *bss = nullptr;
    if (ssid && ssid->ssid.len)
        bss = wpa_bss_get(iface, iface->bssid, ssid->ssid.data, ssid->ssid.len);
    else
        bss = wpa_bss_get_bssid(iface, iface->bssid);
    if (bss == nullptr) return -1;
    const uint8_t *wpa = wpa_bss_get_vendor_ie(bss, WPA_IE_VENDOR_TYPE);
    const uint8_t *rsn = wpa_bss_get_ie(bss, WLAN_EID_RSN);
    if (wpa_sm_store_ap_wpa_ie(iface->wpa, wpa, wpa ? 2u + wpa[1] : 0) < 0) return -1;
    if (wpa_sm_store_ap_rsn_ie(iface->wpa, rsn, rsn ? 2u + rsn[1] : 0) < 0) return -1;
    return 0;
}

int rsn_get_beacon_ie(void *ctx) {
    wpa_iface *iface = iface_of(ctx);
    if (ap_ies_from_table(iface) == 0) return 0;
    if (supplicant_update_scan_results(iface) < 0) return -1;
    return ap_ies_from_table(iface);
}

void rsn_cancel_auth_timeout(void *ctx) {
    supplicant_cancel_auth_timeout(iface_of(ctx));
}

uint8_t *rsn_alloc_eapol(void *ctx, uint8_t type, const void *data, uint16_t data_len, size_t *msg_len,
                         void **data_pos) {
    wpa_iface *iface = iface_of(ctx);
    auto *frame = static_cast<uint8_t *>(malloc(4u + data_len));
    if (frame == nullptr) return nullptr;
    frame[0] = static_cast<uint8_t>(iface->conf->eapol_version);
    frame[1] = type;
    frame[2] = static_cast<uint8_t>(data_len >> 8);
    frame[3] = static_cast<uint8_t>(data_len);
    if (data)
        memcpy(frame + 4, data, data_len);
    else
        memset(frame + 4, 0, data_len);
    *msg_len = 4u + data_len;
    if (data_pos) *data_pos = frame + 4;
    return frame;
}

int rsn_add_pmkid(void *ctx, const uint8_t *bssid, const uint8_t *pmkid) {
    wpa_iface *iface = iface_of(ctx);
    if (iface->driver == nullptr || iface->driver->add_pmkid == nullptr) return -1;
    return iface->driver->add_pmkid(iface->drv_priv, bssid, pmkid);
}

int rsn_remove_pmkid(void *ctx, const uint8_t *bssid, const uint8_t *pmkid) {
    wpa_iface *iface = iface_of(ctx);
    if (iface->driver == nullptr || iface->driver->remove_pmkid == nullptr) return -1;
    return iface->driver->remove_pmkid(iface->drv_priv, bssid, pmkid);
}

void rsn_set_config_blob(void *ctx, void *blob) {
    wpa_config_set_blob(iface_of(ctx)->conf, static_cast<wpa_config_blob *>(blob));
}

const void *rsn_get_config_blob(void *ctx, const char *name) {
    return wpa_config_get_blob(iface_of(ctx)->conf, name);
}

void rsn_set_rekey_offload(void *ctx, const uint8_t *kek, size_t kek_len, const uint8_t *kck, size_t kck_len,
                           const uint8_t *replay_ctr) {
    wpa_iface *iface = iface_of(ctx);
    if (iface->driver && iface->driver->set_rekey_info)
        iface->driver->set_rekey_info(iface->drv_priv, kek, kek_len, kck, kck_len, replay_ctr);
}

int rsn_key_mgmt_set_pmk(void *ctx, const uint8_t *pmk, size_t pmk_len) {
    wpa_iface *iface = iface_of(ctx);
    if (!iface->conf->key_mgmt_offload || !(iface->drv_flags & WPA_DRIVER_FLAGS_KEY_MGMT_OFFLOAD)) return 0;
    return wpa_drv_set_key(iface, WPA_ALG_PMK, nullptr, 0, 0, nullptr, 0, pmk, pmk_len);
}

// The EAPOL supplicant as the RSN supplicant uses it.
void eo_lower_layer_success(eapol_supp_sm *sm, int no_run) {
    eapol_supp_lower_layer_success(sm, no_run != 0);
}
int eo_status_text(eapol_supp_sm *sm, char *buf, size_t size, int verbose) {
    return eapol_supp_status_text(sm, buf, size, verbose);
}

} // namespace

int supplicant_init_wpa(wpa_iface *iface) {
    auto *ops = static_cast<rsn_supplicant_ops *>(calloc(1, sizeof(rsn_supplicant_ops)));
    if (ops == nullptr) return -1;
    ops->ctx = iface;
    ops->msg_ctx = iface;
    ops->set_state = rsn_set_state;
    ops->get_state = rsn_get_state;
    ops->deauthenticate = rsn_deauthenticate;
    ops->set_key = rsn_set_key;
    ops->get_network_ctx = rsn_get_network_ctx;
    ops->get_bssid = rsn_get_bssid;
    ops->ether_send = rsn_ether_send;
    ops->get_beacon_ie = rsn_get_beacon_ie;
    ops->cancel_auth_timeout = rsn_cancel_auth_timeout;
    ops->alloc_eapol = rsn_alloc_eapol;
    ops->add_pmkid = rsn_add_pmkid;
    ops->remove_pmkid = rsn_remove_pmkid;
    ops->set_config_blob = rsn_set_config_blob;
    ops->get_config_blob = rsn_get_config_blob;
    ops->set_rekey_offload = rsn_set_rekey_offload;
    ops->key_mgmt_set_pmk = rsn_key_mgmt_set_pmk;
    iface->wpa = wpa_sm_create(ops);
    if (iface->wpa == nullptr) return -1;
    wpa_sm_store_own_addr(iface->wpa, iface->own_addr);
    wpa_sm_store_ifnames(iface->wpa, iface->ifname, iface->bridge_ifname[0] ? iface->bridge_ifname : nullptr);
    wpa_sm_store_fast_reauth(iface->wpa, iface->conf->fast_reauth);
    struct {
        int value;
        rsn_sm_param param;
        const char *name;
    } const params[] = {
        {iface->conf->dot11RSNAConfigPMKLifetime, RSNA_PMK_LIFETIME, "dot11RSNAConfigPMKLifetime"},
        {iface->conf->dot11RSNAConfigPMKReauthThreshold, RSNA_PMK_REAUTH_THRESHOLD,
         "dot11RSNAConfigPMKReauthThreshold"},
        {iface->conf->dot11RSNAConfigSATimeout, RSNA_SA_TIMEOUT, "dot11RSNAConfigSATimeout"},
    };
    for (const auto &p : params) {
        if (p.value == 0) continue;
        if (p.value < 0 ||
            wpa_sm_configure_param(iface->wpa, p.param, static_cast<unsigned int>(p.value)) < 0) {
            wpa_msg_iface(iface, MSG_ERROR, "Invalid WPA parameter value for %s", p.name);
            return -1;
        }
    }
    return 0;
}

void supplicant_deinit_wpa(wpa_iface *iface) {
    wpa_sm_destroy(iface->wpa);
    iface->wpa = nullptr;
}

void supplicant_attach_eapol_to_wpa(wpa_iface *iface) {
    if (iface->wpa == nullptr) return;
    rsn_eapol_ops ops{};
    ops.lower_layer_success = eo_lower_layer_success;
    ops.note_cached_success = eapol_supp_note_cached_success;
    ops.get_key = eapol_supp_get_key;
    ops.set_port_valid = eapol_supp_set_port_valid;
    ops.set_eap_success = eapol_supp_set_eap_success;
    ops.count_tx = eapol_supp_count_tx;
    ops.reauthenticate = eapol_supp_reauthenticate;
    ops.status_text = eo_status_text;
    ops.preauth_begin = supplicant_preauth_begin;
    ops.preauth_end = supplicant_preauth_end;
    wpa_sm_attach_eapol(iface->wpa, iface->eapol, &ops);
}

void supplicant_rsn_supp_set_config(wpa_iface *iface, wpa_network *ssid) {
    if (iface->wpa == nullptr) return;
    if (ssid == nullptr) {
        wpa_sm_set_network_config(iface->wpa, nullptr);
        return;
    }
    rsn_network_settings conf{};
    conf.network_ctx = ssid;
    conf.peerkey_enabled = ssid->peerkey;
    conf.allowed_pairwise_cipher = static_cast<uint32_t>(ssid->pairwise_cipher);
    conf.proactive_key_caching =
        ssid->proactive_key_caching < 0 ? iface->conf->okc : ssid->proactive_key_caching;
    conf.eap_workaround = ssid->eap_workaround;
    conf.eap_conf_ctx = ssid;
    if (ssid->ssid.data) {
        conf.ssid_len = ssid->ssid.len < sizeof(conf.ssid) ? ssid->ssid.len : sizeof(conf.ssid);
        memcpy(conf.ssid, ssid->ssid.data, conf.ssid_len);
    }
    conf.wpa_ptk_rekey = ssid->wpa_ptk_rekey;
    conf.p2p = ssid->p2p_group;
    conf.wpa_rsc_relaxation = iface->conf->wpa_rsc_relaxation;
    wpa_sm_set_network_config(iface->wpa, &conf);
}

rsn_supplicant *supplicant_rsn_sm(wpa_iface *iface) {
    return iface->wpa;
}
