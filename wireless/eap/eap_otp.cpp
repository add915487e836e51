// EAP-OTP and EAP-GTC: the one-time password (or the password) sent as the answer. GTC
// inside EAP-FAST uses the "CHALLENGE=" / "RESPONSE=" prefixes.
#include "wireless/core/wpabuf.h"
#include "wireless/eap/eap_i.h"

#include <cstdlib>
#include <cstring>

namespace {

int otp_marker;

struct gtc_data {
    bool prefix;
};

void *otp_init(eap_peer_sm *) {
    return &otp_marker;
}

void otp_deinit(eap_peer_sm *, void *) {}

// The secret: the configured one-time password, else the password; null after asking
// the user for an OTP with the request's text.
const uint8_t *secret_or_request(eap_peer_sm *sm, const uint8_t *text, size_t text_len, size_t *len,
                                 bool *otp) {
    const uint8_t *secret = eap_get_config_otp(sm, len);
    *otp = secret != nullptr;
    if (secret == nullptr) secret = eap_get_config_password(sm, len);
    if (secret == nullptr) eap_sm_request_otp(sm, reinterpret_cast<const char *>(text), text_len);
    return secret;
}

wpa_buf *otp_process(eap_peer_sm *sm, void *, eap_method_ret *ret, const wpa_buf *req) {
    size_t len;
    const uint8_t *pos = eap_hdr_validate(EAP_VENDOR_IETF, EAP_TYPE_OTP, req, &len);
    if (pos == nullptr) {
        ret->ignore = true;
        return nullptr;
    }
    size_t secret_len;
    bool otp;
    const uint8_t *secret = secret_or_request(sm, pos, len, &secret_len, &otp);
    if (secret == nullptr) {
        ret->ignore = true;
        return nullptr;
    }
    ret->ignore = false;
    ret->methodState = METHOD_DONE;
    ret->decision = DECISION_COND_SUCC;
    ret->allowNotifications = false;
    wpa_buf *resp =
        eap_msg_alloc(EAP_VENDOR_IETF, EAP_TYPE_OTP, secret_len, EAP_CODE_RESPONSE, eap_get_id(req));
    if (resp != nullptr) wpa_buf_put_data(resp, secret, secret_len);
    if (otp) eap_clear_config_otp(sm);
    return resp;
}

void *gtc_init(eap_peer_sm *sm) {
    auto *data = static_cast<gtc_data *>(calloc(1, sizeof(gtc_data)));
    if (data == nullptr) return nullptr;
    data->prefix = sm->outer_vendor == EAP_VENDOR_IETF && sm->outer_method == EAP_TYPE_FAST;
    return data;
}

void gtc_deinit(eap_peer_sm *, void *priv) {
    free(priv);
}

wpa_buf *gtc_process(eap_peer_sm *sm, void *priv, eap_method_ret *ret, const wpa_buf *req) {
    auto *data = static_cast<gtc_data *>(priv);
    size_t len;
    const uint8_t *pos = eap_hdr_validate(EAP_VENDOR_IETF, EAP_TYPE_GTC, req, &len);
    if (pos == nullptr) {
        ret->ignore = true;
        return nullptr;
    }
    const uint8_t id = eap_get_id(req);
    if (data->prefix && (len < 10 || memcmp(pos, "CHALLENGE=", 10) != 0)) {
        // Not the challenge format of EAP-FAST: answer empty.
        ret->ignore = false;
        return eap_msg_alloc(EAP_VENDOR_IETF, EAP_TYPE_GTC, 0, EAP_CODE_RESPONSE, id);
    }
    size_t secret_len;
    bool otp;
    const uint8_t *secret = secret_or_request(sm, pos, len, &secret_len, &otp);
    if (secret == nullptr) {
        ret->ignore = true;
        return nullptr;
    }
    ret->ignore = false;
    ret->methodState = data->prefix ? METHOD_MAY_CONT : METHOD_DONE;
    ret->decision = DECISION_COND_SUCC;
    ret->allowNotifications = false;
    size_t plen = secret_len;
    const uint8_t *identity = nullptr;
    size_t identity_len = 0;
    if (data->prefix) {
        identity = eap_get_config_identity(sm, &identity_len);
        if (identity == nullptr) return nullptr;
        plen += 9 + identity_len + 1;
    }
    wpa_buf *resp = eap_msg_alloc(EAP_VENDOR_IETF, EAP_TYPE_GTC, plen, EAP_CODE_RESPONSE, id);
    if (resp == nullptr) return nullptr;
    if (data->prefix) {
        wpa_buf_put_data(resp, "RESPONSE=", 9);
        wpa_buf_put_data(resp, identity, identity_len);
        wpa_buf_put_u8(resp, 0);
    }
    wpa_buf_put_data(resp, secret, secret_len);
    if (otp) eap_clear_config_otp(sm);
    return resp;
}

} // namespace

int eap_peer_otp_register() {
    eap_peer_method *m =
        eap_peer_method_new(EAP_PEER_METHOD_INTERFACE_VERSION, EAP_VENDOR_IETF, EAP_TYPE_OTP, "OTP");
    if (m == nullptr) return -1;
    m->init = otp_init;
    m->deinit = otp_deinit;
    m->process = otp_process;
    return eap_peer_method_add(m);
}

int eap_peer_gtc_register() {
    eap_peer_method *m =
        eap_peer_method_new(EAP_PEER_METHOD_INTERFACE_VERSION, EAP_VENDOR_IETF, EAP_TYPE_GTC, "GTC");
    if (m == nullptr) return -1;
    m->init = gtc_init;
    m->deinit = gtc_deinit;
    m->process = gtc_process;
    return eap_peer_method_add(m);
}
