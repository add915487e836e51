// EAP-MSCHAPv2: the MS-CHAPv2 exchange inside EAP (challenge, response, the server's
// authenticator response), the failure message with retry and password change, and the
// 32-byte MSK from the MPPE keys.
#include "wireless/eap/eap_mschapv2.h"
#include "wireless/core/os.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/core/wpabuf.h"
#include "wireless/eap/eap_i.h"
#include "wireless/eap/ms_funcs.h"

#include "wireless/core/config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum { OP_CHALLENGE = 1, OP_RESPONSE = 2, OP_SUCCESS = 3, OP_FAILURE = 4, OP_CHANGE_PASSWORD = 7 };
constexpr int ERROR_AUTHENTICATION_FAILURE = 691;
constexpr int ERROR_PASSWD_EXPIRED = 648;
constexpr size_t CHALLENGE_LEN = 16;
constexpr size_t NT_RESPONSE_LEN = 24;
constexpr size_t RESPONSE_VALUE_LEN = 49;
constexpr size_t CHANGE_PASSWORD_LEN = 586;

struct mschapv2_data {
    uint8_t auth_response[20];
    bool auth_response_valid;
    int prev_error;
    uint8_t passwd_change_challenge[CHALLENGE_LEN];
    bool passwd_change_challenge_valid;
    int passwd_change_version;
    uint8_t *peer_challenge;
    uint8_t *auth_challenge;
    bool phase2;
    uint8_t master_key[16];
    bool master_key_valid;
    bool success;
    wpa_buf *prev_challenge;
};

const uint8_t *strip_domain(const uint8_t *name, size_t *len) {
    for (size_t i = 0; i < *len; i++)
        if (name[i] == '\\') {
            *len -= i + 1;
            return name + i + 1;
        }
    return name;
}

void *mschapv2_init(eap_peer_sm *sm) {
    auto *data = static_cast<mschapv2_data *>(calloc(1, sizeof(mschapv2_data)));
    if (data == nullptr) return nullptr;
    if (sm->peer_challenge != nullptr) {
        data->peer_challenge = static_cast<uint8_t *>(malloc(CHALLENGE_LEN));
        if (data->peer_challenge != nullptr) memcpy(data->peer_challenge, sm->peer_challenge, CHALLENGE_LEN);
    }
    if (sm->auth_challenge != nullptr) {
        data->auth_challenge = static_cast<uint8_t *>(malloc(CHALLENGE_LEN));
        if (data->auth_challenge != nullptr) memcpy(data->auth_challenge, sm->auth_challenge, CHALLENGE_LEN);
    }
    data->phase2 = sm->init_phase2 != 0;
    return data;
}

void mschapv2_deinit(eap_peer_sm *, void *priv) {
    auto *data = static_cast<mschapv2_data *>(priv);
    free(data->peer_challenge);
    free(data->auth_challenge);
    wpa_buf_free(data->prev_challenge);
    explicit_bzero(data, sizeof(*data));
    free(data);
}

wpa_buf *build_header(uint8_t id, uint8_t op, uint8_t ms_id, size_t data_len) {
    wpa_buf *resp = eap_msg_alloc(EAP_VENDOR_IETF, EAP_TYPE_MSCHAPV2, 4 + data_len, EAP_CODE_RESPONSE, id);
    if (resp == nullptr) return nullptr;
    wpa_buf_put_u8(resp, op);
    wpa_buf_put_u8(resp, ms_id);
    wpa_buf_put_be16(resp, static_cast<uint16_t>(4 + data_len));
    return resp;
}

wpa_buf *challenge_reply(eap_peer_sm *sm, mschapv2_data *data, uint8_t id, uint8_t ms_id,
                         const uint8_t *auth_challenge) {
    size_t identity_len, password_len;
    int pwhash = 0;
    const uint8_t *identity = eap_get_config_identity(sm, &identity_len);
    const uint8_t *password = eap_get_config_password2(sm, &password_len, &pwhash);
    if (identity == nullptr || password == nullptr) return nullptr;
    wpa_buf *resp = build_header(id, OP_RESPONSE, ms_id, 1 + RESPONSE_VALUE_LEN + identity_len);
    if (resp == nullptr) return nullptr;
    wpa_buf_put_u8(resp, RESPONSE_VALUE_LEN);
    uint8_t *peer_challenge = static_cast<uint8_t *>(wpa_buf_put(resp, CHALLENGE_LEN));
    uint8_t local_peer_challenge[CHALLENGE_LEN];
    if (data->peer_challenge != nullptr) {
        // The outer method's peer challenge is used; the field stays zero.
        memset(peer_challenge, 0, CHALLENGE_LEN);
        memcpy(local_peer_challenge, data->peer_challenge, CHALLENGE_LEN);
    } else {
        if (os_get_random(local_peer_challenge, CHALLENGE_LEN)) {
            wpa_buf_free(resp);
            return nullptr;
        }
        memcpy(peer_challenge, local_peer_challenge, CHALLENGE_LEN);
    }
    memset(wpa_buf_put(resp, 8), 0, 8);
    uint8_t *nt_response = static_cast<uint8_t *>(wpa_buf_put(resp, NT_RESPONSE_LEN));
    if (data->auth_challenge != nullptr)
        auth_challenge = data->auth_challenge;
    else if (data->passwd_change_challenge_valid)
        auth_challenge = data->passwd_change_challenge;
    if (mschapv2_derive_response(identity, identity_len, password, password_len, pwhash, auth_challenge,
                                 local_peer_challenge, nt_response, data->auth_response, data->master_key)) {
        wpa_buf_free(resp);
        return nullptr;
    }
    data->auth_response_valid = true;
    data->master_key_valid = true;
    wpa_buf_put_u8(resp, 0);
    wpa_buf_put_data(resp, identity, identity_len);
    return resp;
}

void set_new_password(eap_peer_sm *sm) {
    eap_peer_config *c = eap_get_config(sm);
    if (c == nullptr || c->new_password.data == nullptr) return;
    explicit_bzero(c->password.data, c->password.len);
    free(c->password.data);
    if (c->password_hashed) {
        c->password.data = static_cast<uint8_t *>(malloc(16));
        if (c->password.data != nullptr &&
            nt_password_hash(c->new_password.data, c->new_password.len, c->password.data) == 0) {
            c->password.len = 16;
        } else {
            free(c->password.data);
            c->password.data = nullptr;
            c->password.len = 0;
        }
        explicit_bzero(c->new_password.data, c->new_password.len);
        free(c->new_password.data);
    } else {
        c->password = c->new_password;
    }
    c->new_password.data = nullptr;
    c->new_password.len = 0;
}

wpa_buf *process_success(eap_peer_sm *sm, mschapv2_data *data, eap_method_ret *ret, uint8_t id,
                         const uint8_t *msg, size_t len) {
    if (!data->auth_response_valid || mschapv2_verify_auth_response(data->auth_response, msg + 4, len - 4)) {
        ret->methodState = METHOD_DONE;
        ret->decision = DECISION_FAIL;
        return nullptr;
    }
    wpa_buf *resp = eap_msg_alloc(EAP_VENDOR_IETF, EAP_TYPE_MSCHAPV2, 1, EAP_CODE_RESPONSE, id);
    if (resp == nullptr) {
        ret->ignore = true;
        return nullptr;
    }
    wpa_buf_put_u8(resp, OP_SUCCESS);
    ret->methodState = METHOD_DONE;
    ret->decision = DECISION_UNCOND_SUCC;
    ret->allowNotifications = false;
    data->success = true;
    size_t new_len;
    if (data->prev_error == ERROR_PASSWD_EXPIRED && eap_get_config_new_password(sm, &new_len) != nullptr) {
        wpa_msg_iface(sm->msg_ctx, MSG_INFO,
                      "CTRL-EVENT-PASSWORD-CHANGED EAP-MSCHAPV2: Password changed successfully");
        data->prev_error = 0;
        set_new_password(sm);
    }
    return resp;
}

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

wpa_buf *change_password(eap_peer_sm *sm, mschapv2_data *data, eap_method_ret *ret, uint8_t id,
                         uint8_t ms_id) {
    size_t identity_len, password_len, new_len;
    int pwhash = 0;
    const uint8_t *identity = eap_get_config_identity(sm, &identity_len);
    const uint8_t *password = eap_get_config_password2(sm, &password_len, &pwhash);
    const uint8_t *new_password = eap_get_config_new_password(sm, &new_len);
    if (identity == nullptr || password == nullptr || new_password == nullptr ||
        !data->passwd_change_challenge_valid)
        return nullptr;
    const uint8_t *username = strip_domain(identity, &identity_len);
    wpa_buf *resp =
        build_header(id, OP_CHANGE_PASSWORD, static_cast<uint8_t>(ms_id + 1), CHANGE_PASSWORD_LEN - 4);
    if (resp == nullptr) return nullptr;
    uint8_t *p = static_cast<uint8_t *>(wpa_buf_put(resp, CHANGE_PASSWORD_LEN - 4));
    memset(p, 0, CHANGE_PASSWORD_LEN - 4);
    uint8_t *enc_pw = p, *enc_hash = p + 516, *peer_challenge = p + 532, *nt_response = p + 556;
    uint8_t new_hash[16], old_hash[16];
    bool ok = nt_password_hash(new_password, new_len, new_hash) == 0;
    if (ok) {
        if (pwhash) {
            if (password_len == 16)
                memcpy(old_hash, password, 16);
            else
                ok = false;
        } else {
            ok = nt_password_hash(password, password_len, old_hash) == 0;
        }
    }
    ok =
        ok &&
        new_password_encrypted_with_old_nt_password_hash_pwhash(new_password, new_len, old_hash, enc_pw) ==
            0 &&
        old_nt_password_hash_encrypted_with_new_nt_password_hash_pwhash(new_hash, old_hash, enc_hash) == 0 &&
        os_get_random(peer_challenge, CHALLENGE_LEN) == 0 &&
        generate_nt_response(data->passwd_change_challenge, peer_challenge, username, identity_len,
                             new_password, new_len, nt_response) == 0 &&
        generate_authenticator_response_pwhash(new_hash, peer_challenge, data->passwd_change_challenge,
                                               username, identity_len, nt_response, data->auth_response) == 0;
    uint8_t hash_hash[16];
    ok = ok && hash_nt_password_hash(new_hash, hash_hash) == 0 &&
         get_master_key(hash_hash, nt_response, data->master_key) == 0;
    explicit_bzero(new_hash, sizeof(new_hash));
    explicit_bzero(old_hash, sizeof(old_hash));
    if (!ok) {
        wpa_buf_free(resp);
        return nullptr;
    }
    data->auth_response_valid = true;
    data->master_key_valid = true;
    ret->methodState = METHOD_MAY_CONT;
    ret->decision = DECISION_COND_SUCC;
    ret->allowNotifications = true;
    return resp;
}

wpa_buf *process_failure(eap_peer_sm *sm, mschapv2_data *data, eap_method_ret *ret, uint8_t id, uint8_t ms_id,
                         const uint8_t *msg, size_t len) {
    // The failure text: "E=eeee R=r C=cccc V=vvvv M=<msg>".
    char *text = static_cast<char *>(malloc(len - 4 + 1));
    if (text == nullptr) return nullptr;
    memcpy(text, msg + 4, len - 4);
    text[len - 4] = '\0';
    int retry = 1;
    data->prev_error = 0;
    const char *pos = text;
    const char *message = "";
    if (strncmp(pos, "E=", 2) == 0) {
        data->prev_error = atoi(pos + 2);
        pos = strchr(pos, ' ');
        if (pos != nullptr) pos++;
    }
    if (pos != nullptr && strncmp(pos, "R=", 2) == 0) {
        retry = atoi(pos + 2);
        pos = strchr(pos, ' ');
        if (pos != nullptr) pos++;
    }
    if (pos != nullptr && strncmp(pos, "C=", 2) == 0) {
        const char *hex = pos + 2;
        bool good = strlen(hex) >= 33 && hex[32] == ' ';
        for (size_t i = 0; good && i < CHALLENGE_LEN; i++) {
            int hi = hexval(hex[2 * i]), lo = hexval(hex[2 * i + 1]);
            if (hi < 0 || lo < 0)
                good = false;
            else
                data->passwd_change_challenge[i] = static_cast<uint8_t>(hi << 4 | lo);
        }
        if (good) data->passwd_change_challenge_valid = true;
        pos = strchr(pos, ' ');
        if (pos != nullptr) pos++;
    }
    if (pos != nullptr && strncmp(pos, "V=", 2) == 0) {
        data->passwd_change_version = atoi(pos + 2);
        pos = strchr(pos, ' ');
        if (pos != nullptr) pos++;
    }
    if (pos != nullptr && strncmp(pos, "M=", 2) == 0) message = pos + 2;
    const char *phase1 = eap_get_config_phase1(sm);
    if (data->prev_error == ERROR_AUTHENTICATION_FAILURE &&
        (retry == 0 || (phase1 != nullptr && strstr(phase1, "mschapv2_retry=0") != nullptr)))
        retry = 0;
    wpa_msg_iface(sm->msg_ctx, MSG_WARNING, "EAP-MSCHAPV2: failure message: '%s' (retry %sallowed, error %d)",
                  message, retry == 1 ? "" : "not ", data->prev_error);
    free(text);

    eap_peer_config *config = eap_get_config(sm);
    size_t new_len;
    const bool have_new = eap_get_config_new_password(sm, &new_len) != nullptr;
    const bool expired = data->prev_error == ERROR_PASSWD_EXPIRED && data->passwd_change_version == 3;
    if (expired && !have_new) {
        wpa_msg_iface(sm->msg_ctx, MSG_INFO, "EAP-MSCHAPV2: Password expired - password change required");
        eap_sm_request_new_password(sm);
    } else if (retry == 1 && config != nullptr) {
        if (!config->mschapv2_retry) eap_sm_request_identity(sm);
        eap_sm_request_password(sm);
        config->mschapv2_retry = 1;
    } else if (config != nullptr) {
        config->mschapv2_retry = 0;
    }
    ret->methodState = METHOD_DONE;
    ret->decision = DECISION_FAIL;
    ret->allowNotifications = false;
    if (expired && have_new) return change_password(sm, data, ret, id, ms_id);
    if ((expired && config != nullptr && config->pending_req_new_password) ||
        (retry == 1 && data->prev_error == ERROR_AUTHENTICATION_FAILURE))
        return nullptr;
    wpa_buf *resp = eap_msg_alloc(EAP_VENDOR_IETF, EAP_TYPE_MSCHAPV2, 1, EAP_CODE_RESPONSE, id);
    if (resp != nullptr) wpa_buf_put_u8(resp, OP_FAILURE);
    return resp;
}

wpa_buf *mschapv2_process(eap_peer_sm *sm, void *priv, eap_method_ret *ret, const wpa_buf *req) {
    auto *data = static_cast<mschapv2_data *>(priv);
    eap_peer_config *config = eap_get_config(sm);
    size_t len;
    if (eap_get_config_identity(sm, &len) == nullptr) {
        eap_sm_request_identity(sm);
        ret->ignore = true;
        return nullptr;
    }
    if (eap_get_config_password(sm, &len) == nullptr) {
        eap_sm_request_password(sm);
        ret->ignore = true;
        return nullptr;
    }
    bool using_prev = false;
    if (config != nullptr && config->mschapv2_retry && data->prev_challenge != nullptr &&
        data->prev_error == ERROR_AUTHENTICATION_FAILURE) {
        req = data->prev_challenge;
        using_prev = true;
        config->mschapv2_retry = 0;
    }
    const uint8_t *pos = eap_hdr_validate(EAP_VENDOR_IETF, EAP_TYPE_MSCHAPV2, req, &len);
    if (pos == nullptr || len < 4) {
        ret->ignore = true;
        return nullptr;
    }
    const size_t ms_len = wpa_get_be16(pos + 2);
    if (ms_len != len && !(eap_get_workaround(sm) && ms_len <= len)) {
        ret->ignore = true;
        return nullptr;
    }
    if (ms_len < 4) {
        ret->ignore = true;
        return nullptr;
    }
    const uint8_t id = eap_get_id(req);
    const uint8_t op = pos[0], ms_id = pos[1];
    ret->ignore = false;
    switch (op) {
    case OP_CHALLENGE: {
        if (ms_len < 5 || pos[4] != CHALLENGE_LEN || ms_len < 5 + CHALLENGE_LEN) {
            ret->ignore = true;
            return nullptr;
        }
        if (!using_prev) {
            wpa_buf_free(data->prev_challenge);
            data->prev_challenge = wpa_buf_dup(req);
        }
        ret->methodState = METHOD_MAY_CONT;
        ret->decision = DECISION_FAIL;
        ret->allowNotifications = true;
        const uint8_t reply_id = data->prev_error != 0 ? static_cast<uint8_t>(ms_id + 1) : ms_id;
        wpa_buf *resp = challenge_reply(sm, data, id, reply_id, pos + 5);
        return resp;
    }
    case OP_SUCCESS:
        return process_success(sm, data, ret, id, pos, ms_len);
    case OP_FAILURE:
        return process_failure(sm, data, ret, id, ms_id, pos, ms_len);
    default:
        ret->ignore = true;
        return nullptr;
    }
}

bool mschapv2_key_available(eap_peer_sm *, void *priv) {
    auto *data = static_cast<mschapv2_data *>(priv);
    return data->success && data->master_key_valid;
}

uint8_t *mschapv2_get_key(eap_peer_sm *, void *priv, size_t *len) {
    auto *data = static_cast<mschapv2_data *>(priv);
    if (!data->success || !data->master_key_valid) return nullptr;
    auto *key = static_cast<uint8_t *>(malloc(32));
    if (key == nullptr) return nullptr;
    if (get_asymetric_start_key(data->master_key, key, 16, 1, 0) ||
        get_asymetric_start_key(data->master_key, key + 16, 16, 0, 0)) {
        free(key);
        return nullptr;
    }
    *len = 32;
    return key;
}

} // namespace

int mschapv2_derive_response(const uint8_t *identity, size_t identity_len, const uint8_t *password,
                             size_t password_len, int pwhash, const uint8_t *auth_challenge,
                             const uint8_t *peer_challenge, uint8_t *nt_response, uint8_t *auth_response,
                             uint8_t *master_key) {
    const uint8_t *username = strip_domain(identity, &identity_len);
    uint8_t hash[16], hash_hash[16];
    int ret = -1;
    if (pwhash) {
        if (password_len != 16) return -1;
        memcpy(hash, password, 16);
    } else if (nt_password_hash(password, password_len, hash)) {
        return -1;
    }
    if (generate_nt_response_pwhash(auth_challenge, peer_challenge, username, identity_len, hash,
                                    nt_response) == 0 &&
        generate_authenticator_response_pwhash(hash, peer_challenge, auth_challenge, username, identity_len,
                                               nt_response, auth_response) == 0 &&
        hash_nt_password_hash(hash, hash_hash) == 0 &&
        get_master_key(hash_hash, nt_response, master_key) == 0)
        ret = 0;
    explicit_bzero(hash, sizeof(hash));
    explicit_bzero(hash_hash, sizeof(hash_hash));
    return ret;
}

int mschapv2_verify_auth_response(const uint8_t *auth_response, const uint8_t *buf, size_t buf_len) {
    if (buf_len < 2 + 2 * 20 || buf[0] != 'S' || buf[1] != '=') return -1;
    uint8_t recv[20];
    for (size_t i = 0; i < 20; i++) {
        int hi = hexval(static_cast<char>(buf[2 + 2 * i])), lo = hexval(static_cast<char>(buf[3 + 2 * i]));
        if (hi < 0 || lo < 0) return -1;
        recv[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return os_memcmp_const(auth_response, recv, 20) == 0 ? 0 : -1;
}

int eap_peer_mschapv2_register() {
    eap_peer_method *m = eap_peer_method_new(EAP_PEER_METHOD_INTERFACE_VERSION, EAP_VENDOR_IETF,
                                             EAP_TYPE_MSCHAPV2, "MSCHAPV2");
    if (m == nullptr) return -1;
    m->init = mschapv2_init;
    m->deinit = mschapv2_deinit;
    m->process = mschapv2_process;
    m->isKeyAvailable = mschapv2_key_available;
    m->getKey = mschapv2_get_key;
    return eap_peer_method_add(m);
}
