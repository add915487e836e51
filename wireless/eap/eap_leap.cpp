// LEAP: the AP challenges the station (MS-CHAP style), then the station challenges the
// AP inside an EAP Request of its own; a 16-byte key follows from both exchanges.
#include "wireless/core/os.h"
#include "wireless/core/wpabuf.h"
#include "wireless/crypto/crypto.h"
#include "wireless/eap/eap_i.h"
#include "wireless/eap/ms_funcs.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t LEAP_VERSION = 1;
constexpr size_t LEAP_CHALLENGE_LEN = 8;
constexpr size_t LEAP_RESPONSE_LEN = 24;
constexpr size_t LEAP_KEY_LEN = 16;

struct leap_data {
    enum { WAIT_CHALLENGE, WAIT_SUCCESS, WAIT_RESPONSE, DONE } state;
    uint8_t peer_challenge[LEAP_CHALLENGE_LEN];
    uint8_t peer_response[LEAP_RESPONSE_LEN];
    uint8_t ap_challenge[LEAP_CHALLENGE_LEN];
    uint8_t ap_response[LEAP_RESPONSE_LEN];
};

void *leap_init(eap_peer_sm *sm) {
    auto *data = static_cast<leap_data *>(calloc(1, sizeof(leap_data)));
    if (data == nullptr) return nullptr;
    data->state = leap_data::WAIT_CHALLENGE;
    sm->leap_done = false;
    return data;
}

void leap_deinit(eap_peer_sm *, void *priv) {
    explicit_bzero(priv, sizeof(leap_data));
    free(priv);
}

// The NT password hash of the configured password (or the configured hash itself).
int password_hash(eap_peer_sm *sm, uint8_t *hash) {
    size_t len;
    int hashed = 0;
    const uint8_t *pw = eap_get_config_password2(sm, &len, &hashed);
    if (pw == nullptr) return -1;
    if (hashed) {
        if (len != 16) return -1;
        memcpy(hash, pw, 16);
        return 0;
    }
    return nt_password_hash(pw, len, hash);
}

wpa_buf *process_request(eap_peer_sm *sm, leap_data *data, eap_method_ret *ret, const wpa_buf *req) {
    size_t identity_len;
    const uint8_t *identity = eap_get_config_identity(sm, &identity_len);
    uint8_t hash[16];
    if (identity == nullptr || password_hash(sm, hash)) {
        ret->ignore = true;
        return nullptr;
    }
    size_t len;
    const uint8_t *pos = eap_hdr_validate(EAP_VENDOR_IETF, EAP_TYPE_LEAP, req, &len);
    if (pos == nullptr || len < 3 + LEAP_CHALLENGE_LEN || pos[0] != LEAP_VERSION ||
        pos[2] != LEAP_CHALLENGE_LEN) {
        ret->ignore = true;
        return nullptr;
    }
    memcpy(data->peer_challenge, pos + 3, LEAP_CHALLENGE_LEN);
    wpa_buf *resp = eap_msg_alloc(EAP_VENDOR_IETF, EAP_TYPE_LEAP, 3 + LEAP_RESPONSE_LEN + identity_len,
                                  EAP_CODE_RESPONSE, eap_get_id(req));
    if (resp == nullptr) return nullptr;
    wpa_buf_put_u8(resp, LEAP_VERSION);
    wpa_buf_put_u8(resp, 0);
    wpa_buf_put_u8(resp, LEAP_RESPONSE_LEN);
    if (challenge_response(data->peer_challenge, hash, data->peer_response)) {
        explicit_bzero(hash, sizeof(hash));
        wpa_buf_free(resp);
        ret->ignore = true;
        return nullptr;
    }
    explicit_bzero(hash, sizeof(hash));
    wpa_buf_put_data(resp, data->peer_response, LEAP_RESPONSE_LEN);
    wpa_buf_put_data(resp, identity, identity_len);
    data->state = leap_data::WAIT_SUCCESS;
    return resp;
}

wpa_buf *process_success(eap_peer_sm *sm, leap_data *data, eap_method_ret *ret, const wpa_buf *req) {
    if (data->state != leap_data::WAIT_SUCCESS) {
        ret->ignore = true;
        return nullptr;
    }
    size_t identity_len;
    const uint8_t *identity = eap_get_config_identity(sm, &identity_len);
    if (identity == nullptr) return nullptr;
    wpa_buf *resp = eap_msg_alloc(EAP_VENDOR_IETF, EAP_TYPE_LEAP, 3 + LEAP_CHALLENGE_LEN + identity_len,
                                  EAP_CODE_REQUEST, eap_get_id(req));
    if (resp == nullptr) return nullptr;
    wpa_buf_put_u8(resp, LEAP_VERSION);
    wpa_buf_put_u8(resp, 0);
    wpa_buf_put_u8(resp, LEAP_CHALLENGE_LEN);
    if (os_get_random(data->ap_challenge, LEAP_CHALLENGE_LEN)) {
        wpa_buf_free(resp);
        ret->ignore = true;
        return nullptr;
    }
    wpa_buf_put_data(resp, data->ap_challenge, LEAP_CHALLENGE_LEN);
    wpa_buf_put_data(resp, identity, identity_len);
    data->state = leap_data::WAIT_RESPONSE;
    return resp;
}

wpa_buf *process_response(eap_peer_sm *sm, leap_data *data, eap_method_ret *ret, const wpa_buf *req) {
    const uint8_t *pos = wpa_buf_head(req);
    const size_t total = wpa_get_be16(pos + 2);
    if (total < 5 || pos[4] != EAP_TYPE_LEAP || total - 5 < 3 + LEAP_RESPONSE_LEN || pos[5] != LEAP_VERSION ||
        pos[7] != LEAP_RESPONSE_LEN || data->state != leap_data::WAIT_RESPONSE) {
        ret->ignore = true;
        return nullptr;
    }
    memcpy(data->ap_response, pos + 8, LEAP_RESPONSE_LEN);
    uint8_t hash[16], hash_hash[16], expected[LEAP_RESPONSE_LEN];
    if (password_hash(sm, hash) || hash_nt_password_hash(hash, hash_hash) ||
        challenge_response(data->ap_challenge, hash_hash, expected)) {
        ret->ignore = true;
        return nullptr;
    }
    explicit_bzero(hash, sizeof(hash));
    explicit_bzero(hash_hash, sizeof(hash_hash));
    ret->ignore = false;
    ret->methodState = METHOD_DONE;
    ret->allowNotifications = false;
    if (os_memcmp_const(expected, data->ap_response, LEAP_RESPONSE_LEN) != 0) {
        ret->decision = DECISION_FAIL;
        return nullptr;
    }
    ret->decision = DECISION_UNCOND_SUCC;
    sm->leap_done = true;
    data->state = leap_data::DONE;
    return nullptr;
}

wpa_buf *leap_process(eap_peer_sm *sm, void *priv, eap_method_ret *ret, const wpa_buf *req) {
    auto *data = static_cast<leap_data *>(priv);
    size_t password_len;
    if (eap_get_config_password(sm, &password_len) == nullptr) {
        eap_sm_request_password(sm);
        ret->ignore = true;
        return nullptr;
    }
    if (!eap_hdr_len_valid(req, 0)) {
        ret->ignore = true;
        return nullptr;
    }
    ret->ignore = false;
    ret->methodState = METHOD_MAY_CONT;
    ret->decision = DECISION_FAIL;
    ret->allowNotifications = true;
    sm->leap_done = false;
    switch (wpa_buf_head(req)[0]) {
    case EAP_CODE_REQUEST:
        return process_request(sm, data, ret, req);
    case EAP_CODE_SUCCESS:
        return process_success(sm, data, ret, req);
    case EAP_CODE_RESPONSE:
        return process_response(sm, data, ret, req);
    default:
        ret->ignore = true;
        return nullptr;
    }
}

bool leap_key_available(eap_peer_sm *, void *priv) {
    return static_cast<leap_data *>(priv)->state == leap_data::DONE;
}

uint8_t *leap_get_key(eap_peer_sm *sm, void *priv, size_t *len) {
    auto *data = static_cast<leap_data *>(priv);
    if (data->state != leap_data::DONE) return nullptr;
    uint8_t hash[16], hash_hash[16];
    if (password_hash(sm, hash) || hash_nt_password_hash(hash, hash_hash)) return nullptr;
    auto *key = static_cast<uint8_t *>(malloc(LEAP_KEY_LEN));
    if (key == nullptr) return nullptr;
    const uint8_t *addr[5] = {hash_hash, data->ap_challenge, data->ap_response, data->peer_challenge,
                              data->peer_response};
    const size_t lens[5] = {16, LEAP_CHALLENGE_LEN, LEAP_RESPONSE_LEN, LEAP_CHALLENGE_LEN, LEAP_RESPONSE_LEN};
    int ret = crypto_md5_vector(5, addr, lens, key);
    explicit_bzero(hash, sizeof(hash));
    explicit_bzero(hash_hash, sizeof(hash_hash));
    if (ret) {
        free(key);
        return nullptr;
    }
    *len = LEAP_KEY_LEN;
    return key;
}

} // namespace

int eap_peer_leap_register() {
    eap_peer_method *m =
        eap_peer_method_new(EAP_PEER_METHOD_INTERFACE_VERSION, EAP_VENDOR_IETF, EAP_TYPE_LEAP, "LEAP");
    if (m == nullptr) return -1;
    m->init = leap_init;
    m->deinit = leap_deinit;
    m->process = leap_process;
    m->isKeyAvailable = leap_key_available;
    m->getKey = leap_get_key;
    return eap_peer_method_add(m);
}
