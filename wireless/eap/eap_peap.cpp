// PEAP (versions 0 and 1): a TLS tunnel carrying a second EAP conversation with an inner
// method, plus the TLV exchange (type 33) with the result and the cryptographic binding
// of the inner keys to the tunnel.
#include "wireless/eap/eap_peap.h"
#include "wireless/core/config.h"
#include "wireless/core/os.h"
#include "wireless/core/wpabuf.h"
#include "wireless/crypto/crypto.h"
#include "wireless/crypto/tls.h"
#include "wireless/eap/eap_tls_common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint16_t TLV_RESULT = 3, TLV_NAK = 4, TLV_CRYPTO_BINDING = 12;
constexpr uint16_t TLV_MANDATORY = 0x8000, TLV_TYPE_MASK = 0x3fff;
enum { RESULT_SUCCESS = 1, RESULT_FAILURE = 2 };
constexpr size_t CRYPTO_BINDING_LEN = 56;
constexpr size_t KEY_LEN = 64;

struct peap_data {
    eap_tls_data ssl;
    int peap_version, force_peap_version;
    bool force_new_label;
    eap_tls_inner inner;
    bool phase2_success, phase2_eap_success, phase2_eap_started;
    eap_method_type phase2_type;
    eap_method_type *phase2_types;
    size_t num_phase2_types;
    int peap_outer_success;
    bool resuming, reauth;
    uint8_t *key_data;
    uint8_t *session_id;
    size_t id_len;
    wpa_buf *pending_phase2_req;
    wpa_buf *pending_resp;
    int crypto_binding;
    bool crypto_binding_used;
    uint8_t binding_nonce[32];
    uint8_t ipmk[40];
    uint8_t cmk[20];
};

const char *text_of(const wpa_text &t) {
    return t.data != nullptr ? reinterpret_cast<const char *>(t.data) : nullptr;
}

void parse_phase1(peap_data *data, const char *phase1) {
    if (phase1 == nullptr) return;
    const char *pos = strstr(phase1, "peapver=");
    if (pos != nullptr) {
        data->force_peap_version = atoi(pos + 8);
        data->peap_version = data->force_peap_version;
    }
    if (strstr(phase1, "peaplabel=1") != nullptr) data->force_new_label = true;
    if (strstr(phase1, "peap_outer_success=0") != nullptr)
        data->peap_outer_success = 0;
    else if (strstr(phase1, "peap_outer_success=1") != nullptr)
        data->peap_outer_success = 1;
    if (strstr(phase1, "crypto_binding=0") != nullptr)
        data->crypto_binding = 0;
    else if (strstr(phase1, "crypto_binding=1") != nullptr)
        data->crypto_binding = 1;
    else if (strstr(phase1, "crypto_binding=2") != nullptr)
        data->crypto_binding = 2;
}

void free_key(peap_data *data) {
    if (data->key_data != nullptr) {
        explicit_bzero(data->key_data, KEY_LEN);
        free(data->key_data);
    }
    data->key_data = nullptr;
    free(data->session_id);
    data->session_id = nullptr;
    data->id_len = 0;
}

void *peap_init(eap_peer_sm *sm) {
    eap_peer_config *config = eap_get_config(sm);
    if (config == nullptr) return nullptr;
    auto *data = static_cast<peap_data *>(calloc(1, sizeof(peap_data)));
    if (data == nullptr) return nullptr;
    sm->peap_done = false;
    data->peap_version = 1;
    data->force_peap_version = -1;
    data->peap_outer_success = 2;
    data->crypto_binding = 1;
    parse_phase1(data, text_of(config->phase1));
    if (eap_tls_select_phase2_methods(config, "auth=", &data->phase2_types, &data->num_phase2_types) ||
        eap_tls_conn_setup(sm, &data->ssl, config, EAP_TYPE_PEAP)) {
        free(data->phase2_types);
        free(data);
        return nullptr;
    }
    data->phase2_type.vendor = EAP_VENDOR_IETF;
    data->phase2_type.method = EAP_TYPE_NONE;
    return data;
}

void peap_deinit(eap_peer_sm *sm, void *priv) {
    auto *data = static_cast<peap_data *>(priv);
    eap_tls_phase2_deinit(sm, &data->inner);
    free(data->phase2_types);
    eap_tls_conn_release(sm, &data->ssl);
    free_key(data);
    wpa_buf_free(data->pending_phase2_req);
    wpa_buf_free(data->pending_resp);
    explicit_bzero(data, sizeof(*data));
    free(data);
}

wpa_buf *tlv_result(int status, peap_data *data, bool binding) {
    wpa_buf *buf = wpa_buf_alloc(6 + (binding ? 4 + CRYPTO_BINDING_LEN : 0));
    if (buf == nullptr) return nullptr;
    wpa_buf_put_be16(buf, TLV_MANDATORY | TLV_RESULT);
    wpa_buf_put_be16(buf, 2);
    wpa_buf_put_be16(buf, static_cast<uint16_t>(status));
    if (binding) {
        uint8_t *tlv = static_cast<uint8_t *>(wpa_buf_put(buf, 4 + CRYPTO_BINDING_LEN));
        wpa_put_be16(tlv, TLV_CRYPTO_BINDING);
        wpa_put_be16(tlv + 2, CRYPTO_BINDING_LEN);
        tlv[4] = 0;
        tlv[5] = static_cast<uint8_t>(data->peap_version);
        tlv[6] = static_cast<uint8_t>(data->peap_version);
        tlv[7] = 1;
        memcpy(tlv + 8, data->binding_nonce, 32);
        memset(tlv + 40, 0, 20);
        const uint8_t eap_type = EAP_TYPE_PEAP;
        const uint8_t *addr[2] = {tlv, &eap_type};
        const size_t len[2] = {60, 1};
        crypto_hmac_sha1_vector(data->cmk, 20, 2, addr, len, tlv + 40);
        data->crypto_binding_used = true;
    }
    return buf;
}

// IPMK and CMK from the tunnel keys and the inner method's key.
int derive_cmk(eap_peer_sm *sm, peap_data *data) {
    if (data->key_data == nullptr) return -1;
    if (data->reauth && data->resuming && data->inner.method == nullptr) {
        memcpy(data->ipmk, data->key_data, 40);
        memcpy(data->cmk, data->key_data + 40, 20);
        return 0;
    }
    uint8_t isk[32];
    if (eap_tls_phase2_isk(sm, &data->inner, false, isk)) return -1;
    uint8_t imck[60];
    if (eap_peap_prf_plus(data->peap_version, data->key_data, 40, "Inner Methods Compound Keys", isk,
                          sizeof(isk), imck, sizeof(imck)))
        return -1;
    memcpy(data->ipmk, imck, 40);
    memcpy(data->cmk, imck + 40, 20);
    explicit_bzero(imck, sizeof(imck));
    explicit_bzero(isk, sizeof(isk));
    return 0;
}

int check_binding(eap_peer_sm *sm, peap_data *data, const uint8_t *tlv, size_t len) {
    if (len != CRYPTO_BINDING_LEN || derive_cmk(sm, data)) return -1;
    if (tlv[1] != data->peap_version || tlv[3] != 0) return -1;
    memcpy(data->binding_nonce, tlv + 4, 32);
    uint8_t buf[60];
    wpa_put_be16(buf, TLV_CRYPTO_BINDING);
    wpa_put_be16(buf + 2, CRYPTO_BINDING_LEN);
    memcpy(buf + 4, tlv, CRYPTO_BINDING_LEN);
    memset(buf + 40, 0, 20);
    const uint8_t eap_type = EAP_TYPE_PEAP;
    const uint8_t *addr[2] = {buf, &eap_type};
    const size_t lens[2] = {60, 1};
    uint8_t mac[20];
    if (crypto_hmac_sha1_vector(data->cmk, 20, 2, addr, lens, mac)) return -1;
    // The compound MAC is compared in constant time.
    return os_memcmp_const(mac, tlv + 36, 20) == 0 ? 0 : -1;
}

wpa_buf *process_tlv(eap_peer_sm *sm, peap_data *data, eap_method_ret *ret, const wpa_buf *req) {
    bool force_failure = data->phase2_eap_started && !data->phase2_eap_success;
    size_t left;
    const uint8_t *pos = eap_hdr_validate(EAP_VENDOR_IETF, EAP_TYPE_TLV, req, &left);
    if (pos == nullptr) return nullptr;
    eap_peap_tlvs tlvs;
    const int parsed = eap_peap_parse_tlvs(pos, left, &tlvs);
    if (parsed < 0) {
        ret->methodState = METHOD_DONE;
        ret->decision = DECISION_FAIL;
        return nullptr;
    }
    if (parsed == 1) {
        // An unknown mandatory TLV: answered with a NAK TLV and nothing else.
        wpa_buf *nak = wpa_buf_alloc(10);
        if (nak == nullptr) return nullptr;
        wpa_buf_put_be16(nak, TLV_MANDATORY | TLV_NAK);
        wpa_buf_put_be16(nak, 6);
        wpa_buf_put_be16(nak, 0);
        wpa_buf_put_be16(nak, 0);
        wpa_buf_put_be16(nak, static_cast<uint16_t>(tlvs.nak_type));
        return nak;
    }
    const uint8_t *result = tlvs.result, *binding = tlvs.binding;
    const size_t result_len = tlvs.result_len, binding_len = tlvs.binding_len;
    bool binding_ok = true;
    if (binding == nullptr) {
        if (data->crypto_binding == 2) {
            ret->methodState = METHOD_DONE;
            ret->decision = DECISION_FAIL;
            return nullptr;
        }
    } else if (data->crypto_binding != 0) {
        binding_ok = check_binding(sm, data, binding, binding_len) == 0;
    } else {
        binding = nullptr;
    }
    if (!binding_ok) {
        if (result == nullptr) {
            ret->methodState = METHOD_DONE;
            ret->decision = DECISION_FAIL;
            return nullptr;
        }
        force_failure = true;
    }
    if (result == nullptr) return nullptr;
    int status = RESULT_FAILURE;
    if (result_len >= 2 && wpa_get_be16(result) == RESULT_SUCCESS && !force_failure) status = RESULT_SUCCESS;
    ret->methodState = METHOD_DONE;
    ret->decision = status == RESULT_SUCCESS ? DECISION_UNCOND_SUCC : DECISION_FAIL;
    data->phase2_success = true;
    return tlv_result(status, data, binding != nullptr && binding_ok);
}

wpa_buf *phase2_request(eap_peer_sm *sm, peap_data *data, eap_method_ret *ret, const wpa_buf *req) {
    const uint8_t *hdr = wpa_buf_head(req);
    const uint8_t type = hdr[4];
    if (data->phase2_type.method == EAP_TYPE_NONE) {
        if (eap_tls_phase2_allowed(data->phase2_types, data->num_phase2_types, type))
            data->phase2_type.method = type;
    }
    if (type != data->phase2_type.method || data->phase2_type.method == EAP_TYPE_NONE)
        return eap_tls_phase2_nak(data->phase2_types, data->num_phase2_types, hdr);
    if (eap_tls_phase2_init(sm, &data->inner, EAP_TYPE_PEAP, data->phase2_type.method)) {
        ret->methodState = METHOD_DONE;
        ret->decision = DECISION_FAIL;
        return nullptr;
    }
    data->phase2_eap_started = true;
    eap_method_ret iret;
    eap_method_ret_init(&iret);
    wpa_buf *resp = data->inner.method->process(sm, data->inner.priv, &iret, req);
    if ((iret.methodState == METHOD_DONE || iret.methodState == METHOD_MAY_CONT) &&
        (iret.decision == DECISION_UNCOND_SUCC || iret.decision == DECISION_COND_SUCC)) {
        data->phase2_success = true;
        data->phase2_eap_success = true;
    }
    return resp;
}

wpa_buf *phase2_process(eap_peer_sm *sm, peap_data *data, eap_method_ret *ret, const wpa_buf *req,
                        bool *keep) {
    *keep = false;
    if (!eap_hdr_len_valid(req, 0)) return nullptr;
    const uint8_t *hdr = wpa_buf_head(req);
    const size_t len = wpa_get_be16(hdr + 2);
    switch (hdr[0]) {
    case EAP_CODE_REQUEST: {
        if (len < 5) return nullptr;
        const uint8_t type = hdr[4];
        if (type == EAP_TYPE_IDENTITY) {
            size_t id_len;
            const uint8_t *id = eap_get_config_identity(sm, &id_len);
            if (id == nullptr) {
                eap_sm_request_identity(sm);
                *keep = true;
                return nullptr;
            }
            wpa_buf *resp =
                eap_msg_alloc(EAP_VENDOR_IETF, EAP_TYPE_IDENTITY, id_len, EAP_CODE_RESPONSE, hdr[1]);
            if (resp != nullptr) wpa_buf_put_data(resp, id, id_len);
            return resp;
        }
        if (type == EAP_TYPE_TLV) return process_tlv(sm, data, ret, req);
        wpa_buf *resp = phase2_request(sm, data, ret, req);
        if (resp == nullptr && eap_sm_pending_credential(sm)) *keep = true;
        return resp;
    }
    case EAP_CODE_SUCCESS: {
        if (data->peap_version != 1) return nullptr;
        if (data->phase2_eap_started && !data->phase2_eap_success) {
            ret->methodState = METHOD_DONE;
            ret->decision = DECISION_FAIL;
            return nullptr;
        }
        ret->methodState = METHOD_DONE;
        ret->decision = DECISION_UNCOND_SUCC;
        data->phase2_success = true;
        if (data->peap_outer_success == 2) return nullptr; // acknowledged by the caller
        if (data->peap_outer_success == 1) {
            wpa_buf *resp = wpa_buf_alloc(4);
            if (resp == nullptr) return nullptr;
            wpa_buf_put_u8(resp, EAP_CODE_SUCCESS);
            wpa_buf_put_u8(resp, hdr[1]);
            wpa_buf_put_be16(resp, 4);
            return resp;
        }
        sm->peap_done = true;
        return nullptr;
    }
    case EAP_CODE_FAILURE: {
        ret->methodState = METHOD_MAY_CONT;
        ret->decision = DECISION_FAIL;
        ret->allowNotifications = false;
        wpa_buf *resp = wpa_buf_alloc(4);
        if (resp == nullptr) return nullptr;
        wpa_buf_put_u8(resp, EAP_CODE_FAILURE);
        wpa_buf_put_u8(resp, hdr[1]);
        wpa_buf_put_be16(resp, 4);
        return resp;
    }
    default:
        return nullptr;
    }
}

wpa_buf *decrypt_and_process(eap_peer_sm *sm, peap_data *data, eap_method_ret *ret, uint8_t id,
                             const wpa_buf *in_data) {
    wpa_buf *in_decrypted = nullptr;
    bool from_pending = false;
    if (data->pending_phase2_req != nullptr) {
        in_decrypted = data->pending_phase2_req;
        data->pending_phase2_req = nullptr;
        from_pending = true;
    } else if (in_data == nullptr || wpa_buf_len(in_data) == 0) {
        if (eap_get_workaround(sm) && data->phase2_success) {
            ret->methodState = METHOD_DONE;
            ret->decision = DECISION_COND_SUCC;
            return eap_tls_build_ack(id, EAP_TYPE_PEAP, data->peap_version);
        }
        wpa_buf *out = nullptr;
        eap_tls_encrypt_app(sm, &data->ssl, EAP_TYPE_PEAP, data->peap_version, id, nullptr, &out);
        return out;
    } else {
        int r = eap_tls_decrypt_app(sm, &data->ssl, in_data, &in_decrypted);
        if (r < 0) {
            ret->methodState = METHOD_DONE;
            ret->decision = DECISION_FAIL;
            return nullptr;
        }
        if (r == 1) return eap_tls_build_ack(id, EAP_TYPE_PEAP, data->peap_version);
    }
    // PEAPv0 tunnels inner EAP messages without their header; put it back.
    if (data->peap_version == 0 && !from_pending) {
        const uint8_t *p = wpa_buf_head(in_decrypted);
        const size_t l = wpa_buf_len(in_decrypted);
        const bool identity_req = l == 5 && p[0] == EAP_CODE_REQUEST && p[4] == EAP_TYPE_IDENTITY;
        const bool tlv_req = l >= 5 && p[0] == EAP_CODE_REQUEST && p[4] == EAP_TYPE_TLV;
        if (!identity_req && !tlv_req) {
            wpa_buf *full = wpa_buf_alloc(4 + l);
            if (full == nullptr || l + 4 > 0xffff) {
                wpa_buf_free(full);
                wpa_buf_free(in_decrypted);
                return nullptr;
            }
            wpa_buf_put_u8(full, EAP_CODE_REQUEST);
            wpa_buf_put_u8(full, id);
            wpa_buf_put_be16(full, static_cast<uint16_t>(4 + l));
            wpa_buf_put_buf(full, in_decrypted);
            wpa_buf_free(in_decrypted);
            in_decrypted = full;
        }
    }
    bool keep = false;
    const uint8_t *h = wpa_buf_head(in_decrypted);
    const bool was_success = wpa_buf_len(in_decrypted) >= 1 && h[0] == EAP_CODE_SUCCESS;
    wpa_buf *resp = phase2_process(sm, data, ret, in_decrypted, &keep);
    if (keep) {
        data->pending_phase2_req = in_decrypted;
    } else {
        wpa_buf_free(in_decrypted);
    }
    if (resp == nullptr) {
        if (was_success && data->peap_outer_success == 2 && ret->decision != DECISION_FAIL)
            return eap_tls_build_ack(id, EAP_TYPE_PEAP, data->peap_version);
        return nullptr;
    }
    // Inner responses of PEAPv0 travel without their EAP header; TLV responses keep it,
    // and bare TLV payloads get one.
    wpa_buf *plain = resp;
    const uint8_t *r = wpa_buf_head(resp);
    const bool is_eap = wpa_buf_len(resp) >= 4 &&
                        (r[0] == EAP_CODE_RESPONSE || r[0] == EAP_CODE_SUCCESS || r[0] == EAP_CODE_FAILURE);
    if (!is_eap) {
        // A TLV payload: wrap it into an EAP-TLV response.
        wpa_buf *msg = eap_msg_alloc(EAP_VENDOR_IETF, EAP_TYPE_TLV, wpa_buf_len(resp), EAP_CODE_RESPONSE, id);
        if (msg == nullptr) {
            wpa_buf_free(resp);
            return nullptr;
        }
        wpa_buf_put_buf(msg, resp);
        wpa_buf_free(resp);
        plain = msg;
    } else if (data->peap_version == 0 && r[0] == EAP_CODE_RESPONSE && wpa_buf_len(resp) >= 5 &&
               r[4] != EAP_TYPE_TLV) {
        wpa_buf *stripped = wpa_buf_alloc_copy(r + 4, wpa_buf_len(resp) - 4);
        wpa_buf_free(resp);
        if (stripped == nullptr) return nullptr;
        plain = stripped;
    }
    wpa_buf *out = nullptr;
    eap_tls_encrypt_app(sm, &data->ssl, EAP_TYPE_PEAP, data->peap_version, id, plain, &out);
    wpa_buf_free(plain);
    return out;
}

wpa_buf *peap_process(eap_peer_sm *sm, void *priv, eap_method_ret *ret, const wpa_buf *req) {
    auto *data = static_cast<peap_data *>(priv);
    // A response held for the external certificate check goes out (or the check ends the
    // method) before the request is parsed: parsing the repeated request would start a
    // new reassembly.
    if (!tls_conn_established(data->ssl.ssl_ctx, data->ssl.conn) || data->resuming) {
        wpa_buf *held;
        if (eap_tls_ext_cert_check_wait(sm, &data->pending_resp, ret, &held)) return held;
    }
    size_t left;
    uint8_t flags;
    const uint8_t *pos = eap_tls_parse_request(sm, &data->ssl, EAP_TYPE_PEAP, ret, req, &left, &flags);
    if (pos == nullptr) return nullptr;
    const uint8_t id = eap_get_id(req);
    if (flags & EAP_TLS_FLAGS_START) {
        const int server_version = flags & EAP_TLS_VERSION_MASK;
        if (server_version < data->peap_version) data->peap_version = server_version;
        if (data->force_peap_version >= 0 && data->force_peap_version != data->peap_version) {
            ret->methodState = METHOD_DONE;
            ret->decision = DECISION_FAIL;
            ret->allowNotifications = false;
            return nullptr;
        }
        left = 0;
    }
    wpa_buf msg;
    wpa_buf_set(&msg, pos, left);
    wpa_buf *resp = nullptr;
    if (tls_conn_established(data->ssl.ssl_ctx, data->ssl.conn) && !data->resuming) {
        resp = decrypt_and_process(sm, data, ret, id, &msg);
    } else {
        int res = eap_tls_tunnel_handshake(sm, &data->ssl, EAP_TYPE_PEAP, data->peap_version, id, &msg,
                                           &data->pending_resp, &resp);
        if (res < 0) {
            ret->methodState = METHOD_DONE;
            ret->decision = DECISION_FAIL;
            return resp;
        }
        if (res == 3) return nullptr;
        if (tls_conn_established(data->ssl.ssl_ctx, data->ssl.conn)) {
            free_key(data);
            data->key_data = eap_tls_export_key(
                sm, &data->ssl, data->force_new_label ? "client PEAP encryption" : "client EAP encryption",
                KEY_LEN);
            data->session_id = eap_tls_session_id(sm, &data->ssl, EAP_TYPE_PEAP, &data->id_len);
            if (eap_get_workaround(sm) && data->resuming) {
                ret->decision = DECISION_COND_SUCC;
                data->phase2_success = true;
            }
            data->resuming = false;
        }
        if (res == 2) {
            // Application data came with the last handshake message.
            wpa_buf *appl = resp;
            resp = decrypt_and_process(sm, data, ret, id, appl);
            wpa_buf_free(appl);
            if (ret->methodState == METHOD_DONE) ret->allowNotifications = false;
            return resp;
        }
        if (res == 1) {
            wpa_buf_free(resp);
            resp = eap_tls_build_ack(id, EAP_TYPE_PEAP, data->peap_version);
        }
    }
    if (ret->methodState == METHOD_DONE) ret->allowNotifications = false;
    return resp;
}

bool peap_key_available(eap_peer_sm *, void *priv) {
    auto *data = static_cast<peap_data *>(priv);
    return data->key_data != nullptr && data->phase2_success;
}

uint8_t *peap_get_key(eap_peer_sm *, void *priv, size_t *len) {
    auto *data = static_cast<peap_data *>(priv);
    if (data->key_data == nullptr || !data->phase2_success) return nullptr;
    auto *key = static_cast<uint8_t *>(malloc(KEY_LEN));
    if (key == nullptr) return nullptr;
    *len = KEY_LEN;
    if (data->crypto_binding_used) {
        uint8_t csk[128];
        const uint8_t zero = 0;
        if (eap_peap_prf_plus(data->peap_version, data->ipmk, 40, "Session Key Generating Function", &zero, 1,
                              csk, sizeof(csk))) {
            free(key);
            return nullptr;
        }
        memcpy(key, csk, KEY_LEN);
        explicit_bzero(csk, sizeof(csk));
    } else {
        memcpy(key, data->key_data, KEY_LEN);
    }
    return key;
}

uint8_t *peap_get_session_id(eap_peer_sm *, void *priv, size_t *len) {
    auto *data = static_cast<peap_data *>(priv);
    return data->phase2_success ? eap_tls_copy_out(data->session_id, data->id_len, len) : nullptr;
}

int peap_get_status(eap_peer_sm *sm, void *priv, char *buf, size_t buflen, int verbose) {
    auto *data = static_cast<peap_data *>(priv);
    int len = eap_tls_status_text(sm, &data->ssl, buf, buflen, verbose);
    if (data->inner.method != nullptr) {
        int n = snprintf(buf + len, buflen - static_cast<size_t>(len), "EAP-PEAPv%d Phase2 method=%s\n",
                         data->peap_version, data->inner.method->name);
        if (n > 0 && static_cast<size_t>(n) < buflen - static_cast<size_t>(len)) len += n;
    }
    return len;
}

bool peap_has_reauth_data(eap_peer_sm *, void *priv) {
    auto *data = static_cast<peap_data *>(priv);
    return tls_conn_established(data->ssl.ssl_ctx, data->ssl.conn) && data->phase2_success;
}

void peap_deinit_for_reauth(eap_peer_sm *, void *priv) {
    auto *data = static_cast<peap_data *>(priv);
    wpa_buf_free(data->pending_phase2_req);
    data->pending_phase2_req = nullptr;
    wpa_buf_free(data->pending_resp);
    data->pending_resp = nullptr;
    data->crypto_binding_used = false;
}

void *peap_init_for_reauth(eap_peer_sm *sm, void *priv) {
    auto *data = static_cast<peap_data *>(priv);
    free_key(data);
    if (eap_tls_prepare_reauth(sm, &data->ssl)) {
        peap_deinit(sm, data);
        return nullptr;
    }
    if (data->inner.priv != nullptr && data->inner.method != nullptr &&
        data->inner.method->init_for_reauth != nullptr)
        data->inner.priv = data->inner.method->init_for_reauth(sm, data->inner.priv);
    data->phase2_success = data->phase2_eap_success = data->phase2_eap_started = false;
    data->resuming = true;
    data->reauth = true;
    sm->peap_done = false;
    return data;
}

} // namespace

int eap_peap_parse_tlvs(const uint8_t *pos, size_t left, eap_peap_tlvs *out) {
    memset(out, 0, sizeof(*out));
    while (left > 0) {
        if (left < 4) return -1;
        const uint16_t type_field = wpa_get_be16(pos);
        const int type = type_field & TLV_TYPE_MASK;
        const size_t tlv_len = wpa_get_be16(pos + 2);
        if (tlv_len > left - 4) return -1;
        if (type == TLV_RESULT) {
            out->result = pos + 4;
            out->result_len = tlv_len;
        } else if (type == TLV_CRYPTO_BINDING) {
            out->binding = pos + 4;
            out->binding_len = tlv_len;
        } else if (type_field & TLV_MANDATORY) {
            out->nak_type = type;
            return 1;
        }
        pos += 4 + tlv_len;
        left -= 4 + tlv_len;
    }
    return 0;
}

int eap_peap_prf_plus(int version, const uint8_t *key, size_t key_len, const char *label, const uint8_t *seed,
                      size_t seed_len, uint8_t *buf, size_t buf_len) {
    // T(i) = HMAC-SHA1(key, T(i-1) | label | seed | tail), T(0) empty; the tail is
    // "i 00 00" for version 0 and "out_len mod 256, i" otherwise.
    uint8_t hash[20];
    uint8_t tail[3];
    const size_t label_len = strlen(label);
    size_t pos = 0;
    for (unsigned int counter = 1; pos < buf_len; counter++) {
        if (counter > 255) return -1;
        size_t tail_len;
        if (version == 0) {
            tail[0] = static_cast<uint8_t>(counter);
            tail[1] = tail[2] = 0;
            tail_len = 3;
        } else {
            tail[0] = static_cast<uint8_t>(buf_len & 0xff);
            tail[1] = static_cast<uint8_t>(counter);
            tail_len = 2;
        }
        const uint8_t *addr[4] = {hash, reinterpret_cast<const uint8_t *>(label), seed, tail};
        const size_t lens[4] = {counter == 1 ? 0u : sizeof(hash), label_len, seed_len, tail_len};
        if (crypto_hmac_sha1_vector(key, key_len, 4, addr, lens, hash)) return -1;
        const size_t n = buf_len - pos < sizeof(hash) ? buf_len - pos : sizeof(hash);
        memcpy(buf + pos, hash, n);
        pos += n;
    }
    explicit_bzero(hash, sizeof(hash));
    return 0;
}

int eap_peer_peap_register() {
    eap_peer_method *m =
        eap_peer_method_new(EAP_PEER_METHOD_INTERFACE_VERSION, EAP_VENDOR_IETF, EAP_TYPE_PEAP, "PEAP");
    if (m == nullptr) return -1;
    m->init = peap_init;
    m->deinit = peap_deinit;
    m->process = peap_process;
    m->isKeyAvailable = peap_key_available;
    m->getKey = peap_get_key;
    m->getSessionId = peap_get_session_id;
    m->get_status = peap_get_status;
    m->has_reauth_data = peap_has_reauth_data;
    m->deinit_for_reauth = peap_deinit_for_reauth;
    m->init_for_reauth = peap_init_for_reauth;
    return eap_peer_method_add(m);
}
