// TTLS (version 0): a TLS tunnel carrying attribute-value pairs: an inner EAP
// conversation in EAP-Message AVPs or one of the legacy inner authentications
// (MSCHAPV2, MSCHAP, PAP, CHAP) whose challenge comes from the tunnel keys.
#include "wireless/eap/eap_ttls.h"
#include "wireless/core/config.h"
#include "wireless/core/os.h"
#include "wireless/core/wpabuf.h"
#include "wireless/crypto/tls.h"
#include "wireless/eap/eap_mschapv2.h"
#include "wireless/eap/eap_tls_common.h"
#include "wireless/eap/ms_funcs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

enum phase2_kind { PHASE2_EAP, PHASE2_MSCHAPV2, PHASE2_MSCHAP, PHASE2_PAP, PHASE2_CHAP };
constexpr size_t KEY_LEN = 128;

struct ttls_data {
    eap_tls_data ssl;
    eap_tls_inner inner;
    bool phase2_success, phase2_start;
    eap_decision decision_succ;
    phase2_kind phase2_type;
    bool phase2_eap_type_chosen;
    eap_method_type phase2_eap_type;
    eap_method_type *phase2_eap_types;
    size_t num_phase2_eap_types;
    uint8_t auth_response[20];
    bool auth_response_valid;
    uint8_t master_key[16];
    uint8_t ident;
    bool resuming, reauth;
    uint8_t *key_data;
    uint8_t *session_id;
    size_t id_len;
    wpa_buf *pending_phase2_req;
    wpa_buf *pending_resp;
};

const char *text_of(const wpa_text &t) {
    return t.data != nullptr ? reinterpret_cast<const char *>(t.data) : nullptr;
}

int parse_phase2(ttls_data *data, const char *phase2) {
    data->phase2_type = PHASE2_EAP;
    if (phase2 == nullptr) return 0;
    bool auth = false, autheap = false;
    std::string text(phase2);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of(" \t", pos);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(pos, end - pos);
        pos = end + 1;
        if (word.compare(0, 5, "auth=") == 0) {
            if (auth) return -1;
            auth = true;
            const std::string v = word.substr(5);
            if (v == "MSCHAPV2")
                data->phase2_type = PHASE2_MSCHAPV2;
            else if (v == "MSCHAP")
                data->phase2_type = PHASE2_MSCHAP;
            else if (v == "PAP")
                data->phase2_type = PHASE2_PAP;
            else if (v == "CHAP")
                data->phase2_type = PHASE2_CHAP;
            else
                return -1;
        } else if (word.compare(0, 8, "autheap=") == 0) {
            autheap = true;
        }
    }
    if (auth && autheap) return -1;
    if (!auth) data->phase2_type = PHASE2_EAP;
    return 0;
}

void free_key(ttls_data *data) {
    if (data->key_data != nullptr) {
        explicit_bzero(data->key_data, KEY_LEN);
        free(data->key_data);
    }
    data->key_data = nullptr;
    free(data->session_id);
    data->session_id = nullptr;
    data->id_len = 0;
}

void *ttls_init(eap_peer_sm *sm) {
    eap_peer_config *config = eap_get_config(sm);
    if (config == nullptr) return nullptr;
    auto *data = static_cast<ttls_data *>(calloc(1, sizeof(ttls_data)));
    if (data == nullptr) return nullptr;
    if (parse_phase2(data, text_of(config->phase2)) ||
        (data->phase2_type == PHASE2_EAP &&
         eap_tls_select_phase2_methods(config, "autheap=", &data->phase2_eap_types,
                                       &data->num_phase2_eap_types)) ||
        eap_tls_conn_setup(sm, &data->ssl, config, EAP_TYPE_TTLS)) {
        free(data->phase2_eap_types);
        free(data);
        return nullptr;
    }
    return data;
}

void ttls_deinit(eap_peer_sm *sm, void *priv) {
    auto *data = static_cast<ttls_data *>(priv);
    eap_tls_phase2_deinit(sm, &data->inner);
    free(data->phase2_eap_types);
    eap_tls_conn_release(sm, &data->ssl);
    free_key(data);
    wpa_buf_free(data->pending_phase2_req);
    wpa_buf_free(data->pending_resp);
    explicit_bzero(data, sizeof(*data));
    free(data);
}

} // namespace

void eap_ttls_avp_add(wpa_buf *buf, uint32_t code, uint32_t vendor, const uint8_t *value, size_t len) {
    const uint8_t flags = vendor != 0 ? 0xc0 : 0x40;
    const size_t hdr = vendor != 0 ? 12 : 8;
    uint8_t h[12];
    wpa_put_be32(h, code);
    wpa_put_be32(h + 4, static_cast<uint32_t>(hdr + len));
    h[4] = flags;
    if (vendor != 0) wpa_put_be32(h + 8, vendor);
    wpa_buf_put_data(buf, h, hdr);
    if (len > 0) wpa_buf_put_data(buf, value, len);
    const size_t pad = (4 - (hdr + len) % 4) % 4;
    for (size_t i = 0; i < pad; i++)
        wpa_buf_put_u8(buf, 0);
}

size_t eap_ttls_avp_space(size_t len, bool vendor) {
    return (vendor ? 12 : 8) + len + 3;
}

int eap_ttls_parse_avps(const uint8_t *pos, size_t left, eap_ttls_avps *parse) {
    memset(parse, 0, sizeof(*parse));
    while (left > 0) {
        if (left < 8) return -1;
        const uint32_t code = wpa_get_be32(pos);
        const uint8_t flags = pos[4];
        const size_t avp_len = ((size_t(pos[5]) << 16) | (size_t(pos[6]) << 8) | pos[7]);
        if (avp_len < 8 || avp_len > left) return -1;
        size_t hdr = 8;
        uint32_t vendor = 0;
        if (flags & 0x80) {
            if (avp_len < 12) return -1;
            vendor = wpa_get_be32(pos + 8);
            hdr = 12;
        }
        const uint8_t *value = pos + hdr;
        const size_t value_len = avp_len - hdr;
        if (vendor == 0 && code == EAP_TTLS_AVP_EAP_MESSAGE) {
            if (parse->eapdata_len + value_len > EAP_TLS_MAX_MESSAGE) return -1;
            auto *n = static_cast<uint8_t *>(realloc(parse->eapdata, parse->eapdata_len + value_len + 1));
            if (n == nullptr) return -1;
            parse->eapdata = n;
            memcpy(parse->eapdata + parse->eapdata_len, value, value_len);
            parse->eapdata_len += value_len;
        } else if (vendor == 0 && code == EAP_TTLS_AVP_REPLY_MESSAGE) {
            // Skipped, even when flagged mandatory.
        } else if (vendor == EAP_TTLS_VENDOR_MICROSOFT && code == EAP_TTLS_AVP_MS_CHAP2_SUCCESS) {
            if (avp_len != 55) return -1;
            parse->mschapv2 = value;
            parse->mschapv2_len = value_len;
        } else if (vendor == EAP_TTLS_VENDOR_MICROSOFT && code == EAP_TTLS_AVP_MS_CHAP_ERROR) {
            parse->mschapv2_error = true;
        } else if (flags & 0x40) {
            return -1;
        }
        size_t step = (avp_len + 3) & ~size_t(3);
        if (step > left) step = left;
        pos += step;
        left -= step;
    }
    return 0;
}

void eap_ttls_avps_free(eap_ttls_avps *parse) {
    free(parse->eapdata);
    parse->eapdata = nullptr;
}

namespace {

wpa_buf *implicit_identity_request() {
    wpa_buf *req = wpa_buf_alloc(5);
    if (req == nullptr) return nullptr;
    wpa_buf_put_u8(req, EAP_CODE_REQUEST);
    wpa_buf_put_u8(req, 0);
    wpa_buf_put_be16(req, 5);
    wpa_buf_put_u8(req, EAP_TYPE_IDENTITY);
    return req;
}

// The inner EAP response for a request, wrapped into an EAP-Message AVP.
wpa_buf *inner_eap(eap_peer_sm *sm, ttls_data *data, eap_method_ret *ret, const wpa_buf *req) {
    if (wpa_buf_len(req) < 5) return nullptr;
    const uint8_t *hdr = wpa_buf_head(req);
    wpa_buf *resp = nullptr;
    if (hdr[4] == EAP_TYPE_IDENTITY) {
        size_t id_len;
        const uint8_t *id = eap_get_config_identity(sm, &id_len);
        if (id == nullptr) return nullptr;
        resp = eap_msg_alloc(EAP_VENDOR_IETF, EAP_TYPE_IDENTITY, id_len, EAP_CODE_RESPONSE, hdr[1]);
        if (resp != nullptr) wpa_buf_put_data(resp, id, id_len);
    } else {
        const uint8_t type = hdr[4];
        if (!data->phase2_eap_type_chosen &&
            eap_tls_phase2_allowed(data->phase2_eap_types, data->num_phase2_eap_types, type)) {
            data->phase2_eap_type.vendor = EAP_VENDOR_IETF;
            data->phase2_eap_type.method = type;
            data->phase2_eap_type_chosen = true;
        }
        if (!data->phase2_eap_type_chosen || type != data->phase2_eap_type.method) {
            resp = eap_tls_phase2_nak(data->phase2_eap_types, data->num_phase2_eap_types, hdr);
        } else {
            if (eap_tls_phase2_init(sm, &data->inner, EAP_TYPE_TTLS, type)) return nullptr;
            eap_method_ret iret;
            eap_method_ret_init(&iret);
            resp = data->inner.method->process(sm, data->inner.priv, &iret, req);
            if (iret.methodState == METHOD_MAY_CONT || iret.methodState == METHOD_DONE) {
                ret->methodState = iret.methodState;
                ret->decision = iret.decision;
            }
        }
    }
    if (resp == nullptr) return nullptr;
    wpa_buf *avp = wpa_buf_alloc(eap_ttls_avp_space(wpa_buf_len(resp), false));
    if (avp != nullptr)
        eap_ttls_avp_add(avp, EAP_TTLS_AVP_EAP_MESSAGE, 0, wpa_buf_head(resp), wpa_buf_len(resp));
    wpa_buf_free(resp);
    return avp;
}

// The legacy inner authentication's AVPs.
wpa_buf *inner_legacy(eap_peer_sm *sm, ttls_data *data, eap_method_ret *ret) {
    size_t identity_len, password_len;
    int pwhash = 0;
    const uint8_t *identity = eap_get_config_identity(sm, &identity_len);
    const uint8_t *password = eap_get_config_password2(sm, &password_len, &pwhash);
    wpa_buf *msg = wpa_buf_alloc(eap_ttls_avp_space(identity_len, false) + 300 + password_len + 16);
    if (msg == nullptr) return nullptr;
    eap_ttls_avp_add(msg, EAP_TTLS_AVP_USER_NAME, 0, identity, identity_len);
    uint8_t challenge[17];
    switch (data->phase2_type) {
    case PHASE2_MSCHAPV2: {
        if (tls_conn_export_key(data->ssl.ssl_ctx, data->ssl.conn, "ttls challenge", challenge, 17)) break;
        data->ident = challenge[16];
        eap_ttls_avp_add(msg, EAP_TTLS_AVP_MS_CHAP_CHALLENGE, EAP_TTLS_VENDOR_MICROSOFT, challenge, 16);
        uint8_t value[50];
        value[0] = data->ident;
        value[1] = 0;
        uint8_t *peer_challenge = value + 2;
        if (os_get_random(peer_challenge, 16)) break;
        memset(value + 18, 0, 8);
        if (mschapv2_derive_response(identity, identity_len, password, password_len, pwhash, challenge,
                                     peer_challenge, value + 26, data->auth_response, data->master_key))
            break;
        data->auth_response_valid = true;
        eap_ttls_avp_add(msg, EAP_TTLS_AVP_MS_CHAP2_RESPONSE, EAP_TTLS_VENDOR_MICROSOFT, value, 50);
        return msg;
    }
    case PHASE2_MSCHAP: {
        if (tls_conn_export_key(data->ssl.ssl_ctx, data->ssl.conn, "ttls challenge", challenge, 9)) break;
        data->ident = challenge[8];
        eap_ttls_avp_add(msg, EAP_TTLS_AVP_MS_CHAP_CHALLENGE, EAP_TTLS_VENDOR_MICROSOFT, challenge, 8);
        uint8_t value[50];
        value[0] = data->ident;
        value[1] = 1;
        memset(value + 2, 0, 24);
        int r;
        if (pwhash)
            r = password_len == 16 ? challenge_response(challenge, password, value + 26) : -1;
        else
            r = nt_challenge_response(challenge, password, password_len, value + 26);
        if (r) break;
        eap_ttls_avp_add(msg, EAP_TTLS_AVP_MS_CHAP_RESPONSE, EAP_TTLS_VENDOR_MICROSOFT, value, 50);
        ret->methodState = METHOD_DONE;
        ret->decision = DECISION_COND_SUCC;
        return msg;
    }
    case PHASE2_PAP: {
        // Zero-padded to a multiple of 16 bytes; an empty password becomes 16 zeros.
        size_t pad_len = (password_len + 15) & ~size_t(15);
        if (pad_len == 0) pad_len = 16;
        auto *padded = static_cast<uint8_t *>(calloc(1, pad_len));
        if (padded == nullptr) break;
        memcpy(padded, password, password_len);
        eap_ttls_avp_add(msg, EAP_TTLS_AVP_USER_PASSWORD, 0, padded, pad_len);
        explicit_bzero(padded, pad_len);
        free(padded);
        ret->methodState = METHOD_DONE;
        ret->decision = DECISION_COND_SUCC;
        return msg;
    }
    case PHASE2_CHAP: {
        if (tls_conn_export_key(data->ssl.ssl_ctx, data->ssl.conn, "ttls challenge", challenge, 17)) break;
        data->ident = challenge[16];
        eap_ttls_avp_add(msg, EAP_TTLS_AVP_CHAP_CHALLENGE, 0, challenge, 16);
        uint8_t value[17];
        value[0] = data->ident;
        if (chap_md5(data->ident, password, password_len, challenge, 16, value + 1)) break;
        eap_ttls_avp_add(msg, EAP_TTLS_AVP_CHAP_PASSWORD, 0, value, 17);
        ret->methodState = METHOD_DONE;
        ret->decision = DECISION_COND_SUCC;
        return msg;
    }
    default:
        break;
    }
    wpa_buf_clear_free(msg);
    return nullptr;
}

// Builds the inner answer; null with *pending when the user must give a credential.
wpa_buf *phase2_request(eap_peer_sm *sm, ttls_data *data, eap_method_ret *ret, const wpa_buf *req,
                        bool *pending) {
    *pending = false;
    size_t len;
    if (eap_get_config_identity(sm, &len) == nullptr) {
        eap_sm_request_identity(sm);
        if (data->phase2_type != PHASE2_EAP && eap_get_config_password(sm, &len) == nullptr)
            eap_sm_request_password(sm);
        *pending = true;
        return nullptr;
    }
    if (data->phase2_type == PHASE2_EAP) {
        wpa_buf *resp = inner_eap(sm, data, ret, req);
        if (resp == nullptr && eap_sm_pending_credential(sm)) *pending = true;
        return resp;
    }
    if (eap_get_config_password(sm, &len) == nullptr) {
        eap_sm_request_password(sm);
        *pending = true;
        return nullptr;
    }
    return inner_legacy(sm, data, ret);
}

// Handles the decrypted tunnel data; -1 on error.
int process_decrypted(eap_peer_sm *sm, ttls_data *data, eap_method_ret *ret, uint8_t id, const wpa_buf *in,
                      wpa_buf **out) {
    *out = nullptr;
    eap_ttls_avps parse;
    if (eap_ttls_parse_avps(wpa_buf_head(in), wpa_buf_len(in), &parse)) {
        eap_ttls_avps_free(&parse);
        return -1;
    }
    wpa_buf *resp = nullptr;
    int result = 0;
    bool pending = false;
    switch (data->phase2_type) {
    case PHASE2_MSCHAPV2:
        if (parse.mschapv2_error || parse.mschapv2 == nullptr || !data->auth_response_valid ||
            parse.mschapv2[0] != data->ident ||
            mschapv2_verify_auth_response(data->auth_response, parse.mschapv2 + 1, parse.mschapv2_len - 1)) {
            result = -1;
            break;
        }
        ret->methodState = METHOD_DONE;
        ret->decision = DECISION_UNCOND_SUCC;
        data->phase2_success = true;
        break;
    case PHASE2_EAP: {
        if (parse.eapdata == nullptr || parse.eapdata_len < 4) {
            result = -1;
            break;
        }
        wpa_buf req;
        wpa_buf_set(&req, parse.eapdata, parse.eapdata_len);
        if (!eap_hdr_len_valid(&req, 1) || parse.eapdata[0] != EAP_CODE_REQUEST) {
            result = -1;
            break;
        }
        resp = phase2_request(sm, data, ret, &req, &pending);
        if (resp == nullptr && pending) {
            wpa_buf_free(data->pending_phase2_req);
            data->pending_phase2_req = wpa_buf_dup(in);
        } else if (resp == nullptr) {
            result = -1;
        }
        break;
    }
    default:
        // The legacy inner authentications expect nothing more through the tunnel.
        result = -1;
        break;
    }
    eap_ttls_avps_free(&parse);
    if (result < 0) {
        ret->methodState = METHOD_DONE;
        ret->decision = DECISION_FAIL;
        return -1;
    }
    if (resp != nullptr) {
        eap_tls_encrypt_app(sm, &data->ssl, EAP_TYPE_TTLS, 0, id, resp, out);
        wpa_buf_free(resp);
    }
    return 0;
}

// Phase 2 begins: the first inner answer without a request from the server.
int start_phase2(eap_peer_sm *sm, ttls_data *data, eap_method_ret *ret, uint8_t id, wpa_buf **out) {
    *out = nullptr;
    if (data->reauth && data->resuming) {
        ret->methodState = METHOD_DONE;
        ret->decision = DECISION_UNCOND_SUCC;
        data->phase2_success = true;
        *out = eap_tls_build_ack(id, EAP_TYPE_TTLS, 0);
        return 0;
    }
    wpa_buf *resp = nullptr;
    bool pending = false;
    if (data->phase2_type == PHASE2_EAP) {
        wpa_buf *req = implicit_identity_request();
        if (req == nullptr) return -1;
        resp = phase2_request(sm, data, ret, req, &pending);
        wpa_buf_free(req);
    } else {
        resp = phase2_request(sm, data, ret, nullptr, &pending);
    }
    if (resp == nullptr) {
        if (pending) {
            wpa_buf_free(data->pending_phase2_req);
            data->pending_phase2_req = wpa_buf_alloc(0);
            return 0;
        }
        ret->methodState = METHOD_DONE;
        ret->decision = DECISION_FAIL;
        return -1;
    }
    data->phase2_start = false;
    int r = eap_tls_encrypt_app(sm, &data->ssl, EAP_TYPE_TTLS, 0, id, resp, out);
    wpa_buf_free(resp);
    return r;
}

wpa_buf *tunnelled(eap_peer_sm *sm, ttls_data *data, eap_method_ret *ret, uint8_t id, const wpa_buf *in) {
    wpa_buf *out = nullptr;
    if (data->pending_phase2_req != nullptr) {
        wpa_buf *pending = data->pending_phase2_req;
        data->pending_phase2_req = nullptr;
        if (wpa_buf_len(pending) == 0) {
            wpa_buf_free(pending);
            start_phase2(sm, data, ret, id, &out);
            return out;
        }
        process_decrypted(sm, data, ret, id, pending, &out);
        wpa_buf_free(pending);
        return out;
    }
    if (in == nullptr || wpa_buf_len(in) == 0) {
        if (data->phase2_start) {
            start_phase2(sm, data, ret, id, &out);
            return out;
        }
        eap_tls_encrypt_app(sm, &data->ssl, EAP_TYPE_TTLS, 0, id, nullptr, &out);
        return out;
    }
    wpa_buf *decrypted = nullptr;
    int r = eap_tls_decrypt_app(sm, &data->ssl, in, &decrypted);
    if (r < 0) {
        ret->methodState = METHOD_DONE;
        ret->decision = DECISION_FAIL;
        return nullptr;
    }
    if (r == 1) return eap_tls_build_ack(id, EAP_TYPE_TTLS, 0);
    data->phase2_start = false;
    process_decrypted(sm, data, ret, id, decrypted, &out);
    wpa_buf_free(decrypted);
    return out;
}

void check_status(ttls_data *data, eap_method_ret *ret) {
    const bool succ = ret->decision == DECISION_COND_SUCC || ret->decision == DECISION_UNCOND_SUCC;
    if (ret->methodState == METHOD_DONE) {
        ret->allowNotifications = false;
        if (succ) {
            data->phase2_success = true;
            data->decision_succ = ret->decision;
        }
    } else if (ret->methodState == METHOD_MAY_CONT && succ) {
        data->phase2_success = true;
        data->decision_succ = ret->decision;
    } else if (data->decision_succ != DECISION_FAIL && data->phase2_success && data->ssl.tls_out == nullptr) {
        ret->decision = data->decision_succ;
    }
}

wpa_buf *ttls_process(eap_peer_sm *sm, void *priv, eap_method_ret *ret, const wpa_buf *req) {
    auto *data = static_cast<ttls_data *>(priv);
    // A response held for the external certificate check goes out (or the check ends the
    // method) before the request is parsed: parsing the repeated request would start a
    // new reassembly.
    if (!tls_conn_established(data->ssl.ssl_ctx, data->ssl.conn) || data->resuming) {
        wpa_buf *held;
        if (eap_tls_ext_cert_check_wait(sm, &data->pending_resp, ret, &held)) return held;
    }
    size_t left;
    uint8_t flags;
    const uint8_t *pos = eap_tls_parse_request(sm, &data->ssl, EAP_TYPE_TTLS, ret, req, &left, &flags);
    if (pos == nullptr) return nullptr;
    const uint8_t id = eap_get_id(req);
    if (flags & EAP_TLS_FLAGS_START) left = 0;
    wpa_buf msg;
    wpa_buf_set(&msg, pos, left);
    wpa_buf *resp = nullptr;
    if (tls_conn_established(data->ssl.ssl_ctx, data->ssl.conn) && !data->resuming) {
        resp = tunnelled(sm, data, ret, id, &msg);
    } else {
        int res =
            eap_tls_tunnel_handshake(sm, &data->ssl, EAP_TYPE_TTLS, 0, id, &msg, &data->pending_resp, &resp);
        if (res < 0) {
            ret->methodState = METHOD_DONE;
            ret->decision = DECISION_FAIL;
            return resp;
        }
        if (res == 3) return nullptr;
        if (tls_conn_established(data->ssl.ssl_ctx, data->ssl.conn)) {
            if (data->resuming) {
                ret->methodState = METHOD_MAY_CONT;
                ret->decision = DECISION_COND_SUCC;
            }
            data->phase2_start = true;
            free_key(data);
            data->key_data = eap_tls_export_key(sm, &data->ssl, "ttls keying material", KEY_LEN);
            data->session_id = eap_tls_session_id(sm, &data->ssl, EAP_TYPE_TTLS, &data->id_len);
            data->resuming = false;
            if (res == 1) {
                wpa_buf_free(resp);
                resp = nullptr;
                start_phase2(sm, data, ret, id, &resp);
            }
        }
        if (res == 2) {
            wpa_buf *appl = resp;
            resp = nullptr;
            data->phase2_start = false;
            process_decrypted(sm, data, ret, id, appl, &resp);
            wpa_buf_free(appl);
        } else if (res == 1 && resp == nullptr && !tls_conn_established(data->ssl.ssl_ctx, data->ssl.conn)) {
            resp = eap_tls_build_ack(id, EAP_TYPE_TTLS, 0);
        }
    }
    check_status(data, ret);
    if (resp == nullptr && ret->methodState != METHOD_DONE && !ret->ignore &&
        data->pending_phase2_req == nullptr)
        resp = eap_tls_build_ack(id, EAP_TYPE_TTLS, 0);
    return resp;
}

bool ttls_key_available(eap_peer_sm *, void *priv) {
    auto *data = static_cast<ttls_data *>(priv);
    return data->key_data != nullptr && data->phase2_success;
}

uint8_t *copy_part(ttls_data *data, size_t off, size_t *len) {
    if (data->key_data == nullptr || !data->phase2_success) return nullptr;
    return eap_tls_copy_out(data->key_data + off, 64, len);
}

uint8_t *ttls_get_key(eap_peer_sm *, void *priv, size_t *len) {
    return copy_part(static_cast<ttls_data *>(priv), 0, len);
}

uint8_t *ttls_get_emsk(eap_peer_sm *, void *priv, size_t *len) {
    return copy_part(static_cast<ttls_data *>(priv), 64, len);
}

uint8_t *ttls_get_session_id(eap_peer_sm *, void *priv, size_t *len) {
    auto *data = static_cast<ttls_data *>(priv);
    return data->phase2_success ? eap_tls_copy_out(data->session_id, data->id_len, len) : nullptr;
}

int ttls_get_status(eap_peer_sm *sm, void *priv, char *buf, size_t buflen, int verbose) {
    auto *data = static_cast<ttls_data *>(priv);
    int len = eap_tls_status_text(sm, &data->ssl, buf, buflen, verbose);
    const char *kind = "";
    char eap_name[64];
    switch (data->phase2_type) {
    case PHASE2_EAP:
        snprintf(eap_name, sizeof(eap_name), "EAP-%s\n",
                 data->inner.method != nullptr ? data->inner.method->name : "?");
        kind = eap_name;
        break;
    case PHASE2_MSCHAPV2:
        kind = "MSCHAPV2\n";
        break;
    case PHASE2_MSCHAP:
        kind = "MSCHAP\n";
        break;
    case PHASE2_PAP:
        kind = "PAP\n";
        break;
    case PHASE2_CHAP:
        kind = "CHAP\n";
        break;
    }
    int n = snprintf(buf + len, buflen - static_cast<size_t>(len), "EAP-TTLSv0 Phase2 method=%s", kind);
    if (n > 0 && static_cast<size_t>(n) < buflen - static_cast<size_t>(len)) len += n;
    return len;
}

bool ttls_has_reauth_data(eap_peer_sm *, void *priv) {
    auto *data = static_cast<ttls_data *>(priv);
    return tls_conn_established(data->ssl.ssl_ctx, data->ssl.conn) && data->phase2_success;
}

void ttls_deinit_for_reauth(eap_peer_sm *, void *priv) {
    auto *data = static_cast<ttls_data *>(priv);
    wpa_buf_free(data->pending_phase2_req);
    data->pending_phase2_req = nullptr;
    wpa_buf_free(data->pending_resp);
    data->pending_resp = nullptr;
    data->decision_succ = DECISION_FAIL;
}

void *ttls_init_for_reauth(eap_peer_sm *sm, void *priv) {
    auto *data = static_cast<ttls_data *>(priv);
    free_key(data);
    if (eap_tls_prepare_reauth(sm, &data->ssl)) {
        ttls_deinit(sm, data);
        return nullptr;
    }
    if (data->inner.priv != nullptr && data->inner.method != nullptr &&
        data->inner.method->init_for_reauth != nullptr)
        data->inner.priv = data->inner.method->init_for_reauth(sm, data->inner.priv);
    data->phase2_start = false;
    data->phase2_success = false;
    data->resuming = true;
    data->reauth = true;
    return data;
}

} // namespace

int eap_peer_ttls_register() {
    eap_peer_method *m =
        eap_peer_method_new(EAP_PEER_METHOD_INTERFACE_VERSION, EAP_VENDOR_IETF, EAP_TYPE_TTLS, "TTLS");
    if (m == nullptr) return -1;
    m->init = ttls_init;
    m->deinit = ttls_deinit;
    m->process = ttls_process;
    m->isKeyAvailable = ttls_key_available;
    m->getKey = ttls_get_key;
    m->get_emsk = ttls_get_emsk;
    m->getSessionId = ttls_get_session_id;
    m->get_status = ttls_get_status;
    m->has_reauth_data = ttls_has_reauth_data;
    m->deinit_for_reauth = ttls_deinit_for_reauth;
    m->init_for_reauth = ttls_init_for_reauth;
    return eap_peer_method_add(m);
}
