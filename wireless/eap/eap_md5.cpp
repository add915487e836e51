// EAP-MD5: the CHAP-MD5 answer to a challenge; no key material.
#include "wireless/core/wpabuf.h"
#include "wireless/eap/eap_i.h"
#include "wireless/eap/ms_funcs.h"

namespace {

int marker;

void *md5_init(eap_peer_sm *) {
    return &marker;
}

void md5_deinit(eap_peer_sm *, void *) {}

wpa_buf *md5_process(eap_peer_sm *sm, void *, eap_method_ret *ret, const wpa_buf *req) {
    size_t password_len;
    const uint8_t *password = eap_get_config_password(sm, &password_len);
    if (password == nullptr) {
        eap_sm_request_password(sm);
        ret->ignore = true;
        return nullptr;
    }
    size_t len;
    const uint8_t *pos = eap_hdr_validate(EAP_VENDOR_IETF, EAP_TYPE_MD5, req, &len);
    if (pos == nullptr || len == 0) {
        ret->ignore = true;
        return nullptr;
    }
    const size_t challenge_len = pos[0];
    if (challenge_len == 0 || challenge_len > len - 1) {
        ret->ignore = true;
        return nullptr;
    }
    ret->ignore = false;
    ret->methodState = METHOD_DONE;
    ret->decision = DECISION_COND_SUCC;
    ret->allowNotifications = true;
    wpa_buf *resp = eap_msg_alloc(EAP_VENDOR_IETF, EAP_TYPE_MD5, 1 + 16, EAP_CODE_RESPONSE, eap_get_id(req));
    if (resp == nullptr) return nullptr;
    wpa_buf_put_u8(resp, 16);
    uint8_t *rpos = static_cast<uint8_t *>(wpa_buf_put(resp, 16));
    if (chap_md5(eap_get_id(req), password, password_len, pos + 1, challenge_len, rpos)) {
        ret->ignore = true;
        wpa_buf_free(resp);
        return nullptr;
    }
    return resp;
}

} // namespace

int eap_peer_md5_register() {
    eap_peer_method *m =
        eap_peer_method_new(EAP_PEER_METHOD_INTERFACE_VERSION, EAP_VENDOR_IETF, EAP_TYPE_MD5, "MD5");
    if (m == nullptr) return -1;
    m->init = md5_init;
    m->deinit = md5_deinit;
    m->process = md5_process;
    return eap_peer_method_add(m);
}
