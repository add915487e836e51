#include "wireless/core/preauth_glue.h"

#include "wireless/core/l2_packet.h"
#include "wireless/eap/eapol_supp_sm.h"
#include "wireless/rsn/pmksa_cache.h"
#include "wireless/rsn/wpa.h"

#include <cstdlib>

namespace {

rsn_supplicant *sm_of(void *ctx) {
    return static_cast<rsn_supplicant *>(ctx);
}

void close_sockets(rsn_supplicant *sm) {
    l2_packet_deinit(sm->l2_preauth);
    l2_packet_deinit(sm->l2_preauth_br);
    sm->l2_preauth = nullptr;
    sm->l2_preauth_br = nullptr;
}

// EAPOL frames of the pre-authentication supplicant go to the pre-authentication BSSID.
int preauth_send(void *ctx, int type, const uint8_t *buf, size_t len) {
    rsn_supplicant *sm = sm_of(ctx);
    l2_packet_data *l2 = sm->l2_preauth != nullptr ? sm->l2_preauth : sm->l2_preauth_br;
    if (l2 == nullptr || len > 0xffff || sm->ops == nullptr || sm->ops->alloc_eapol == nullptr) return -1;
    size_t msg_len = 0;
    uint8_t *msg = sm->ops->alloc_eapol(sm->ops->ctx, static_cast<uint8_t>(type), buf,
                                        static_cast<uint16_t>(len), &msg_len, nullptr);
    if (msg == nullptr) return -1;
    const int ret = l2_packet_send(l2, sm->preauth_bssid, ETH_P_RSN_PREAUTH, msg, msg_len);
    free(msg);
    return ret < 0 ? -1 : 0;
}

void preauth_result(eapol_supp_sm *, eapol_supp_result result, void *ctx) {
    rsn_preauth_result(sm_of(ctx), result == EAPOL_SUPP_RESULT_SUCCESS ? 1 : 0);
}

void preauth_set_config_blob(void *ctx, wpa_config_blob *blob) {
    rsn_supplicant *sm = sm_of(ctx);
    if (sm->ops != nullptr && sm->ops->set_config_blob != nullptr)
        sm->ops->set_config_blob(sm->ops->ctx, blob);
}

const wpa_config_blob *preauth_get_config_blob(void *ctx, const char *name) {
    rsn_supplicant *sm = sm_of(ctx);
    if (sm->ops == nullptr || sm->ops->get_config_blob == nullptr) return nullptr;
    return static_cast<const wpa_config_blob *>(sm->ops->get_config_blob(sm->ops->ctx, name));
}

} // namespace

int supplicant_preauth_begin(rsn_supplicant *sm, const uint8_t *, void *eap_config, eapol_supp_sm **out) {
    if (sm == nullptr || out == nullptr) return -1;
    sm->l2_preauth =
        l2_packet_init(sm->ifname, sm->own_addr, ETH_P_RSN_PREAUTH, supplicant_preauth_rx, sm, 0);
    if (sm->l2_preauth == nullptr) return -2;
    if (sm->bridge_ifname[0] != '\0') {
        sm->l2_preauth_br =
            l2_packet_init(sm->bridge_ifname, sm->own_addr, ETH_P_RSN_PREAUTH, supplicant_preauth_rx, sm, 0);
        if (sm->l2_preauth_br == nullptr) {
            close_sockets(sm);
            return -2;
        }
    }

    auto *cb = static_cast<eapol_supp_callbacks *>(calloc(1, sizeof(eapol_supp_callbacks)));
    if (cb == nullptr) {
        close_sockets(sm);
        return -4;
    }
    cb->ctx = sm;
    cb->preauth = 1;
    cb->cb = preauth_result;
    cb->cb_ctx = sm;
    cb->msg_ctx = sm->ops != nullptr ? sm->ops->msg_ctx : nullptr;
    cb->scard_ctx = sm->scard_ctx;
    cb->eapol_send_ctx = sm;
    cb->eapol_send = preauth_send;
    cb->set_config_blob = preauth_set_config_blob;
    cb->get_config_blob = preauth_get_config_blob;
    eapol_supp_sm *eapol = eapol_supp_create(cb);
    if (eapol == nullptr) {
        free(cb);
        close_sockets(sm);
        return -3;
    }

    eapol_supp_config conf{};
    conf.fast_reauth = sm->fast_reauth;
    conf.workaround = static_cast<unsigned int>(sm->net.eap_workaround);
    eapol_supp_apply_config(eapol, static_cast<wpa_network *>(eap_config), &conf);
    eapol_supp_set_pae_params(eapol, -1, -1, 5, 6);
    eapol_supp_set_port_valid(eapol, true);
    eapol_supp_set_port_enabled(eapol, true);
    *out = eapol;
    return 0;
}

void supplicant_preauth_end(rsn_supplicant *sm, eapol_supp_sm *preauth_eapol) {
    eapol_supp_destroy(preauth_eapol);
    if (sm != nullptr) close_sockets(sm);
}

void supplicant_preauth_rx(void *ctx, const uint8_t *src_addr, const uint8_t *buf, size_t len) {
    rsn_supplicant *sm = sm_of(ctx);
    if (!rsn_preauth_accepts(sm, src_addr)) return;
    eapol_supp_rx_frame(sm->preauth_eapol, src_addr, buf, len);
}
