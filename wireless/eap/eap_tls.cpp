// EAP-TLS: a TLS handshake with client certificate inside EAP; MSK and EMSK are exported
// from the TLS session.
#include "wireless/core/config.h"
#include "wireless/core/wpabuf.h"
#include "wireless/crypto/tls.h"
#include "wireless/eap/eap_tls_common.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t KEY_MATERIAL_LEN = 128;

struct tls_method_data {
    eap_tls_data ssl;
    uint8_t *key_data;
    uint8_t *session_id;
    size_t id_len;
    wpa_buf *pending_resp;
};

void *tls_init(eap_peer_sm *sm) {
    eap_peer_config *config = eap_get_config(sm);
    if (config == nullptr) return nullptr;
    const bool phase2 = sm->init_phase2 != 0;
    const wpa_text &key = phase2 ? config->private_key2 : config->private_key;
    const int engine = phase2 ? config->engine2 : config->engine;
    if (key.data == nullptr && !engine) return nullptr;
    auto *data = static_cast<tls_method_data *>(calloc(1, sizeof(tls_method_data)));
    if (data == nullptr) return nullptr;
    if (eap_tls_conn_setup(sm, &data->ssl, config, EAP_TYPE_TLS)) {
        const wpa_text &passwd = phase2 ? config->private_key2_passwd : config->private_key_passwd;
        if (engine) {
            eap_sm_request_pin(sm);
            sm->ignore = true;
        } else if (key.data != nullptr && passwd.data == nullptr) {
            eap_sm_request_passphrase(sm);
            sm->ignore = true;
        }
        free(data);
        return nullptr;
    }
    return data;
}

void free_key(tls_method_data *data) {
    if (data->key_data != nullptr) {
        explicit_bzero(data->key_data, KEY_MATERIAL_LEN);
        free(data->key_data);
    }
    data->key_data = nullptr;
    free(data->session_id);
    data->session_id = nullptr;
    data->id_len = 0;
}

void tls_deinit(eap_peer_sm *sm, void *priv) {
    auto *data = static_cast<tls_method_data *>(priv);
    eap_tls_conn_release(sm, &data->ssl);
    free_key(data);
    wpa_buf_free(data->pending_resp);
    free(data);
}

wpa_buf *tls_process(eap_peer_sm *sm, void *priv, eap_method_ret *ret, const wpa_buf *req) {
    auto *data = static_cast<tls_method_data *>(priv);
    wpa_buf *held;
    if (eap_tls_ext_cert_check_wait(sm, &data->pending_resp, ret, &held)) return held;
    size_t left;
    uint8_t flags;
    const uint8_t *pos = eap_tls_parse_request(sm, &data->ssl, EAP_TYPE_TLS, ret, req, &left, &flags);
    if (pos == nullptr) return nullptr;
    const uint8_t id = eap_get_id(req);
    if (flags & EAP_TLS_FLAGS_START) left = 0;
    wpa_buf msg;
    wpa_buf_set(&msg, pos, left);
    wpa_buf *resp = nullptr;
    int res = eap_tls_process_handshake(sm, &data->ssl, EAP_TYPE_TLS, 0, id, &msg, &resp);
    if (res < 0) {
        ret->methodState = METHOD_DONE;
        ret->decision = DECISION_FAIL;
        if (resp != nullptr) return resp;
        return eap_tls_build_ack(id, EAP_TYPE_TLS, 0);
    }
    if (sm->flags & EAP_FLAG_WAIT_EXT_CERT_CHECK) {
        wpa_buf_free(data->pending_resp);
        data->pending_resp = resp != nullptr ? resp : eap_tls_build_ack(id, EAP_TYPE_TLS, 0);
        return nullptr;
    }
    if (tls_conn_established(data->ssl.ssl_ctx, data->ssl.conn)) {
        ret->methodState = METHOD_DONE;
        ret->decision = DECISION_UNCOND_SUCC;
        free_key(data);
        data->key_data = eap_tls_export_key(sm, &data->ssl, "client EAP encryption", KEY_MATERIAL_LEN);
        data->session_id = eap_tls_session_id(sm, &data->ssl, EAP_TYPE_TLS, &data->id_len);
    }
    if (res == 1) {
        wpa_buf_free(resp);
        return eap_tls_build_ack(id, EAP_TYPE_TLS, 0);
    }
    return resp;
}

bool tls_key_available(eap_peer_sm *, void *priv) {
    return static_cast<tls_method_data *>(priv)->key_data != nullptr;
}

uint8_t *copy_of(const uint8_t *src, size_t len) {
    auto *out = static_cast<uint8_t *>(malloc(len));
    if (out != nullptr) memcpy(out, src, len);
    return out;
}

uint8_t *tls_get_key(eap_peer_sm *, void *priv, size_t *len) {
    auto *data = static_cast<tls_method_data *>(priv);
    if (data->key_data == nullptr) return nullptr;
    *len = 64;
    return copy_of(data->key_data, 64);
}

uint8_t *tls_get_emsk(eap_peer_sm *, void *priv, size_t *len) {
    auto *data = static_cast<tls_method_data *>(priv);
    if (data->key_data == nullptr) return nullptr;
    *len = 64;
    return copy_of(data->key_data + 64, 64);
}

uint8_t *tls_get_session_id(eap_peer_sm *, void *priv, size_t *len) {
    auto *data = static_cast<tls_method_data *>(priv);
    if (data->session_id == nullptr) return nullptr;
    *len = data->id_len;
    return copy_of(data->session_id, data->id_len);
}

int tls_get_status(eap_peer_sm *sm, void *priv, char *buf, size_t buflen, int verbose) {
    return eap_tls_status_text(sm, &static_cast<tls_method_data *>(priv)->ssl, buf, buflen, verbose);
}

bool tls_has_reauth_data(eap_peer_sm *, void *priv) {
    auto *data = static_cast<tls_method_data *>(priv);
    return tls_conn_established(data->ssl.ssl_ctx, data->ssl.conn);
}

void tls_deinit_for_reauth(eap_peer_sm *, void *priv) {
    auto *data = static_cast<tls_method_data *>(priv);
    wpa_buf_free(data->pending_resp);
    data->pending_resp = nullptr;
}

void *tls_init_for_reauth(eap_peer_sm *sm, void *priv) {
    auto *data = static_cast<tls_method_data *>(priv);
    free_key(data);
    if (eap_tls_prepare_reauth(sm, &data->ssl)) {
        tls_deinit(sm, data);
        return nullptr;
    }
    return data;
}

} // namespace

int eap_peer_tls_register() {
    eap_peer_method *m =
        eap_peer_method_new(EAP_PEER_METHOD_INTERFACE_VERSION, EAP_VENDOR_IETF, EAP_TYPE_TLS, "TLS");
    if (m == nullptr) return -1;
    m->init = tls_init;
    m->deinit = tls_deinit;
    m->process = tls_process;
    m->isKeyAvailable = tls_key_available;
    m->getKey = tls_get_key;
    m->get_emsk = tls_get_emsk;
    m->getSessionId = tls_get_session_id;
    m->get_status = tls_get_status;
    m->has_reauth_data = tls_has_reauth_data;
    m->deinit_for_reauth = tls_deinit_for_reauth;
    m->init_for_reauth = tls_init_for_reauth;
    return eap_peer_method_add(m);
}
