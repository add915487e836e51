// EAP-FAST (type 43): a TLS tunnel resumed from a Protected Access Credential (PAC) when
// one is stored for the server's authority ID, else set up to provision one (anonymously
// over ADH-AES128-SHA or authenticated by the server's certificate). Inside, TLVs carry an
// inner EAP method, the results and the crypto binding of the inner keys to the tunnel;
// MSK and EMSK come from the chain of inner-method compound keys.
#include "wireless/eap/eap_fast.h"
#include "wireless/core/config.h"
#include "wireless/core/os.h"
#include "wireless/core/wpabuf.h"
#include "wireless/crypto/crypto.h"
#include "wireless/crypto/tls.h"
#include "wireless/eap/eap_fast_pac.h"
#include "wireless/eap/eap_tls_common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr uint16_t TLV_MANDATORY = 0x8000, TLV_TYPE_MASK = 0x3fff;
constexpr int FAST_VERSION = 1;
constexpr size_t SIMCK_LEN = 40, KEY_LEN = 64, ANON_KEY_BLOCK_LEN = 72;
enum { PROVISION_ANONYMOUS = 1, PROVISION_AUTHENTICATED = 2 };
// PAC TLV attributes.
enum {
    PAC_ATTR_PAC_KEY = 1,
    PAC_ATTR_PAC_OPAQUE = 2,
    PAC_ATTR_CRED_LIFETIME = 3,
    PAC_ATTR_A_ID = 4,
    PAC_ATTR_I_ID = 5,
    PAC_ATTR_A_ID_INFO = 7,
    PAC_ATTR_PAC_ACKNOWLEDGEMENT = 8,
    PAC_ATTR_PAC_INFO = 9,
    PAC_ATTR_PAC_TYPE = 10,
};

struct fast_data {
    eap_tls_data ssl;
    int fast_version;
    int provisioning_allowed;
    size_t max_pac_list_len;
    bool use_pac_binary_format;
    eap_method_type *phase2_types;
    size_t num_phase2_types;
    eap_tls_inner inner;
    bool provisioning, anon_provisioning;
    // Anonymous provisioning: session key seed (40), then the MSCHAPv2 server and client
    // challenges (16 each).
    uint8_t key_block_anon[ANON_KEY_BLOCK_LEN];
    uint8_t simck[SIMCK_LEN];
    int simck_idx;
    bool binding_ok;
    bool phase2_success, success;
    uint8_t key_data[KEY_LEN], emsk[KEY_LEN];
    uint8_t *session_id;
    size_t id_len;
    eap_fast_pac *pac, *current_pac;
    const char *pac_file;
    wpa_buf *pending_phase2_req;
    wpa_buf *pending_resp;
};

const char *text_of(const wpa_text &t) {
    return t.data != nullptr ? reinterpret_cast<const char *>(t.data) : nullptr;
}

void parse_phase1(fast_data *data, const char *phase1) {
    if (phase1 == nullptr) return;
    const char *pos = strstr(phase1, "fast_provisioning=");
    if (pos != nullptr) data->provisioning_allowed = atoi(pos + 18);
    pos = strstr(phase1, "fast_max_pac_list_len=");
    if (pos != nullptr) {
        const int n = atoi(pos + 22);
        data->max_pac_list_len = n > 0 ? static_cast<size_t>(n) : 1;
    }
    if (strstr(phase1, "fast_pac_format=binary") != nullptr) data->use_pac_binary_format = true;
}

int load_pacs(eap_peer_sm *sm, fast_data *data) {
    return data->use_pac_binary_format ? eap_fast_load_pac_binary(sm, &data->pac, data->pac_file)
                                       : eap_fast_load_pac_text(sm, &data->pac, data->pac_file);
}

int save_pacs(eap_peer_sm *sm, fast_data *data) {
    return data->use_pac_binary_format ? eap_fast_save_pac_binary(sm, data->pac, data->pac_file)
                                       : eap_fast_save_pac_text(sm, data->pac, data->pac_file);
}

void fast_deinit(eap_peer_sm *sm, void *priv) {
    auto *data = static_cast<fast_data *>(priv);
    eap_tls_phase2_deinit(sm, &data->inner);
    free(data->phase2_types);
    eap_tls_conn_release(sm, &data->ssl);
    eap_fast_free_pac_list(data->pac);
    free(data->session_id);
    wpa_buf_free(data->pending_phase2_req);
    wpa_buf_free(data->pending_resp);
    explicit_bzero(data, sizeof(*data));
    free(data);
}

// The TLS layer asks for the master secret of a PAC-based resumption.
int pac_ticket_cb(void *ctx, const uint8_t *, size_t, const uint8_t *client_random,
                  const uint8_t *server_random, uint8_t *master_secret) {
    auto *data = static_cast<fast_data *>(ctx);
    if (client_random == nullptr || server_random == nullptr || master_secret == nullptr) {
        // The resumption failed: the PAC is of no use, provision a new one when allowed.
        if (data->provisioning_allowed) {
            data->current_pac = nullptr;
            data->provisioning = true;
        }
        return 0;
    }
    if (data->current_pac == nullptr) return 0;
    return eap_fast_pac_master_secret(data->current_pac->pac_key, server_random, client_random,
                                      master_secret) == 0
               ? 1
               : 0;
}

void *fast_init(eap_peer_sm *sm) {
    eap_peer_config *config = eap_get_config(sm);
    if (config == nullptr) return nullptr;
    auto *data = static_cast<fast_data *>(calloc(1, sizeof(fast_data)));
    if (data == nullptr) return nullptr;
    data->fast_version = FAST_VERSION;
    data->max_pac_list_len = 10;
    parse_phase1(data, text_of(config->phase1));
    if (eap_tls_select_phase2_methods(config, "auth=", &data->phase2_types, &data->num_phase2_types)) {
        free(data);
        return nullptr;
    }
    if (eap_tls_conn_setup(sm, &data->ssl, config, EAP_TYPE_FAST)) {
        free(data->phase2_types);
        free(data);
        return nullptr;
    }
    data->pac_file = text_of(config->pac_file);
    if (tls_conn_set_session_ticket_cb(data->ssl.ssl_ctx, data->ssl.conn, pac_ticket_cb, data) ||
        data->pac_file == nullptr || load_pacs(sm, data)) {
        fast_deinit(sm, data);
        return nullptr;
    }
    eap_fast_trim_pac_list(data->pac, data->max_pac_list_len);
    if (data->pac == nullptr && data->provisioning_allowed == 0) {
        fast_deinit(sm, data);
        return nullptr;
    }
    return data;
}

// The Start request names the server's authority ID: choose the PAC, or prepare
// provisioning. -1 when the method cannot go on.
int start(fast_data *data, uint8_t flags, const uint8_t *pos, size_t left) {
    const int server_version = flags & EAP_TLS_VERSION_MASK;
    if (server_version < data->fast_version) data->fast_version = server_version;
    const uint8_t *a_id = pos;
    size_t a_id_len = left;
    if (left >= 4 && (wpa_get_be16(pos) & TLV_TYPE_MASK) == PAC_ATTR_A_ID &&
        wpa_get_be16(pos + 2) <= left - 4) {
        a_id = pos + 4;
        a_id_len = wpa_get_be16(pos + 2);
    }
    data->current_pac = eap_fast_find_pac(data->pac, a_id, a_id_len, PAC_TYPE_TUNNEL_PAC);
    if (data->current_pac == nullptr)
        data->current_pac = eap_fast_find_pac(data->pac, a_id, a_id_len, PAC_TYPE_MACHINE_AUTHENTICATION);
    if (data->current_pac != nullptr) {
        // The SessionTicket extension carries the PAC-Opaque as a PAC attribute.
        const eap_fast_pac *pac = data->current_pac;
        if (pac->pac_opaque_len > 0xffff - 4) return -1;
        std::vector<uint8_t> ext(4 + pac->pac_opaque_len);
        wpa_put_be16(ext.data(), PAC_ATTR_PAC_OPAQUE);
        wpa_put_be16(ext.data() + 2, static_cast<uint16_t>(pac->pac_opaque_len));
        if (pac->pac_opaque_len > 0) memcpy(ext.data() + 4, pac->pac_opaque, pac->pac_opaque_len);
        return tls_conn_set_client_hello_ext(data->ssl.ssl_ctx, data->ssl.conn, 35, ext.data(), ext.size());
    }
    if (data->provisioning_allowed == 0) return -1;
    uint8_t ciphers[10];
    size_t n = 0;
    if (data->provisioning_allowed & PROVISION_ANONYMOUS) ciphers[n++] = 4; // ADH-AES128-SHA
    if (data->provisioning_allowed & PROVISION_AUTHENTICATED) {
        ciphers[n++] = 7;  // ECDHE-ECDSA-AES256-SHA
        ciphers[n++] = 8;  // ECDHE-ECDSA-AES128-SHA
        ciphers[n++] = 9;  // ECDHE-RSA-AES256-SHA
        ciphers[n++] = 10; // ECDHE-RSA-AES128-SHA
        ciphers[n++] = 5;  // DHE-RSA-AES256-SHA
        ciphers[n++] = 3;  // DHE-RSA-AES128-SHA
        ciphers[n++] = 6;  // AES256-SHA
        ciphers[n++] = 2;  // AES128-SHA
    }
    ciphers[n] = 0;
    if (tls_conn_set_cipher_list(data->ssl.ssl_ctx, data->ssl.conn, ciphers) ||
        tls_conn_set_client_hello_ext(data->ssl.ssl_ctx, data->ssl.conn, 35, nullptr, 0))
        return -1;
    data->provisioning = true;
    return 0;
}

// The tunnel is up: the key chain starts from the TLS key expansion.
int tunnel_established(fast_data *data) {
    char cipher[80] = "";
    tls_conn_cipher_text(data->ssl.ssl_ctx, data->ssl.conn, cipher, sizeof(cipher));
    data->anon_provisioning =
        data->provisioning && (!(data->provisioning_allowed & PROVISION_AUTHENTICATED) || cipher[0] == '\0' ||
                               strstr(cipher, "ADH-") != nullptr || strstr(cipher, "anon") != nullptr);
    int r;
    if (data->anon_provisioning) {
        r = tls_conn_derive_keyblock(data->ssl.ssl_ctx, data->ssl.conn, data->key_block_anon,
                                     sizeof(data->key_block_anon));
        memcpy(data->simck, data->key_block_anon, SIMCK_LEN);
    } else {
        r = tls_conn_derive_keyblock(data->ssl.ssl_ctx, data->ssl.conn, data->simck, SIMCK_LEN);
    }
    data->simck_idx = 0;
    return r;
}

void put_tlv(std::vector<uint8_t> &out, uint16_t type, const uint8_t *value, size_t len) {
    const size_t at = out.size();
    out.resize(at + 4 + len);
    wpa_put_be16(out.data() + at, type);
    wpa_put_be16(out.data() + at + 2, static_cast<uint16_t>(len));
    if (len > 0) memcpy(out.data() + at + 4, value, len);
}

void put_status(std::vector<uint8_t> &out, uint16_t type, int status) {
    const uint8_t v[2] = {0, static_cast<uint8_t>(status)};
    put_tlv(out, TLV_MANDATORY | type, v, 2);
}

// Checks the server's Crypto-Binding TLV (value at cb, its header just before) and builds
// the answer; false on any fault.
bool crypto_binding(eap_peer_sm *sm, fast_data *data, const uint8_t *cb, size_t len,
                    std::vector<uint8_t> &out) {
    if (len < EAP_FAST_CRYPTO_BINDING_LEN || cb[1] != 1 || cb[2] != 1 || cb[3] != 0) return false;
    uint8_t isk[32], cmk[20], mac[20], tlv[60];
    if (eap_tls_phase2_isk(sm, &data->inner, true, isk)) return false;
    const int r = eap_fast_imck_step(data->simck, isk, cmk);
    explicit_bzero(isk, sizeof(isk));
    if (r) return false;
    data->simck_idx++;
    memcpy(tlv, cb - 4, sizeof(tlv));
    memset(tlv + 40, 0, 20);
    if (eap_fast_compound_mac(cmk, tlv, mac) || os_memcmp_const(mac, cb + 36, 20) != 0) {
        explicit_bzero(cmk, sizeof(cmk));
        return false;
    }
    if (!data->anon_provisioning && data->phase2_success) {
        if (sha1_t_prf(data->simck, SIMCK_LEN, "Session Key Generating Function", nullptr, 0, data->key_data,
                       KEY_LEN) ||
            sha1_t_prf(data->simck, SIMCK_LEN, "Extended Session Key Generating Function", nullptr, 0,
                       data->emsk, KEY_LEN)) {
            explicit_bzero(cmk, sizeof(cmk));
            return false;
        }
        data->success = true;
        free(data->session_id);
        data->session_id = eap_tls_session_id(sm, &data->ssl, EAP_TYPE_FAST, &data->id_len);
    }
    // The answer: our version, the server's, sub-type response, the nonce plus one.
    uint8_t *resp = tlv;
    wpa_put_be16(resp, TLV_MANDATORY | EAP_FAST_TLV_CRYPTO_BINDING);
    wpa_put_be16(resp + 2, EAP_FAST_CRYPTO_BINDING_LEN);
    resp[4] = 0;
    resp[5] = FAST_VERSION;
    resp[6] = cb[1];
    resp[7] = 1;
    memcpy(resp + 8, cb + 4, 32);
    for (int i = 31; i >= 0; i--)
        if (++resp[8 + i] != 0) break;
    memset(resp + 40, 0, 20);
    const int m = eap_fast_compound_mac(cmk, resp, resp + 40);
    explicit_bzero(cmk, sizeof(cmk));
    if (m) return false;
    out.insert(out.end(), resp, resp + 60);
    data->binding_ok = true;
    return true;
}

// Runs the inner EAP request of an EAP-Payload TLV; false on a fault, with *pending when
// a credential must first come from the user.
bool eap_payload(eap_peer_sm *sm, fast_data *data, eap_method_ret *ret, const uint8_t *p, size_t len,
                 bool *pending, std::vector<uint8_t> &out) {
    *pending = false;
    if (len < 5 || p[0] != EAP_CODE_REQUEST || wpa_get_be16(p + 2) != len) return false;
    wpa_buf req;
    wpa_buf_set(&req, p, len);
    wpa_buf *resp = nullptr;
    const uint8_t type = p[4];
    if (type == EAP_TYPE_IDENTITY) {
        size_t id_len;
        const uint8_t *id = eap_get_config_identity(sm, &id_len);
        if (id == nullptr) {
            eap_sm_request_identity(sm);
            *pending = true;
            return false;
        }
        resp = eap_msg_alloc(EAP_VENDOR_IETF, EAP_TYPE_IDENTITY, id_len, EAP_CODE_RESPONSE, p[1]);
        if (resp != nullptr) wpa_buf_put_data(resp, id, id_len);
    } else {
        if (data->inner.method != nullptr && data->inner.method->method != type)
            eap_tls_phase2_deinit(sm, &data->inner);
        // Anonymous provisioning runs MSCHAPv2 only: no other method is safe without a
        // server certificate.
        static const eap_method_type anon_types[] = {{EAP_VENDOR_IETF, EAP_TYPE_MSCHAPV2}};
        const eap_method_type *types = data->anon_provisioning ? anon_types : data->phase2_types;
        const size_t num_types = data->anon_provisioning ? 1 : data->num_phase2_types;
        if (!eap_tls_phase2_allowed(types, num_types, type)) {
            resp = eap_tls_phase2_nak(types, num_types, p);
        } else {
            if (data->anon_provisioning) {
                sm->auth_challenge = data->key_block_anon + SIMCK_LEN;
                sm->peer_challenge = data->key_block_anon + SIMCK_LEN + 16;
            }
            const int r = eap_tls_phase2_init(sm, &data->inner, EAP_TYPE_FAST, type);
            sm->auth_challenge = sm->peer_challenge = nullptr;
            if (r) return false;
            eap_method_ret iret;
            eap_method_ret_init(&iret);
            resp = data->inner.method->process(sm, data->inner.priv, &iret, &req);
            if (resp == nullptr && eap_sm_pending_credential(sm)) {
                *pending = true;
                return false;
            }
            if (iret.methodState == METHOD_DONE && iret.decision == DECISION_FAIL) {
                ret->methodState = METHOD_DONE;
                ret->decision = DECISION_FAIL;
            } else if ((iret.methodState == METHOD_MAY_CONT || iret.methodState == METHOD_DONE) &&
                       (iret.decision == DECISION_COND_SUCC || iret.decision == DECISION_UNCOND_SUCC)) {
                data->phase2_success = true;
            }
        }
    }
    if (resp == nullptr) return false;
    const bool fits = wpa_buf_len(resp) <= 0xffff;
    if (fits) put_tlv(out, TLV_MANDATORY | EAP_FAST_TLV_EAP_PAYLOAD, wpa_buf_head(resp), wpa_buf_len(resp));
    wpa_buf_free(resp);
    return fits;
}

// Stores the PAC of a PAC TLV; false when it is malformed.
bool store_pac(eap_peer_sm *sm, fast_data *data, eap_method_ret *ret, const uint8_t *p, size_t len,
               std::vector<uint8_t> &out) {
    eap_fast_pac entry{};
    if (eap_fast_parse_pac_tlv(p, len, &entry)) return false;
    const int added = eap_fast_add_pac(&data->pac, &data->current_pac, &entry);
    explicit_bzero(entry.pac_key, sizeof(entry.pac_key));
    if (added) return false;
    eap_fast_trim_pac_list(data->pac, data->max_pac_list_len);
    // A failed save keeps the PAC in memory for this run.
    save_pacs(sm, data);
    ret->methodState = METHOD_DONE;
    if (data->anon_provisioning) {
        ret->decision = DECISION_FAIL;
        data->success = false;
    } else {
        ret->decision = DECISION_COND_SUCC;
    }
    if (data->provisioning) sm->flags |= EAP_FLAG_FAILURE_EXPECTED;
    static const uint8_t ack[] = {0x80, 0x0b, 0x00, 0x06, 0x00, 0x08, 0x00, 0x02, 0x00, 0x01};
    out.insert(out.end(), ack, ack + sizeof(ack));
    return true;
}

// The answer to the decrypted TLVs of one request; -1 drops the request, 1 keeps it
// pending (a credential is asked for), 0 answer in *out.
int process_tlvs(eap_peer_sm *sm, fast_data *data, eap_method_ret *ret, const wpa_buf *in,
                 std::vector<uint8_t> &out) {
    eap_fast_tlvs tlvs;
    if (eap_fast_parse_tlvs(wpa_buf_head(in), wpa_buf_len(in), &tlvs)) return -1;
    if (tlvs.nak_type >= 0) {
        uint8_t nak[6] = {0, 0, 0, 0};
        wpa_put_be16(nak + 4, static_cast<uint16_t>(tlvs.nak_type));
        put_tlv(out, TLV_MANDATORY | EAP_FAST_TLV_NAK, nak, sizeof(nak));
        return 0;
    }
    if (tlvs.result == EAP_FAST_TLV_FAILURE) {
        put_status(out, EAP_FAST_TLV_RESULT, EAP_FAST_TLV_FAILURE);
        return 0;
    }
    if (tlvs.iresult == EAP_FAST_TLV_FAILURE) {
        put_status(out, EAP_FAST_TLV_INTERMEDIATE_RESULT, EAP_FAST_TLV_FAILURE);
        return 0;
    }
    bool error = false;
    std::vector<uint8_t> body;
    std::vector<uint8_t> binding;
    if (tlvs.crypto_binding != nullptr &&
        !crypto_binding(sm, data, tlvs.crypto_binding, tlvs.crypto_binding_len, binding))
        error = true;
    if (tlvs.iresult == EAP_FAST_TLV_SUCCESS)
        put_status(body, EAP_FAST_TLV_INTERMEDIATE_RESULT,
                   error ? EAP_FAST_TLV_FAILURE : EAP_FAST_TLV_SUCCESS);
    body.insert(body.end(), binding.begin(), binding.end());
    if (tlvs.eap_payload != nullptr) {
        bool pending = false;
        if (!eap_payload(sm, data, ret, tlvs.eap_payload, tlvs.eap_payload_len, &pending, body)) {
            if (pending) return 1;
            error = true;
        }
    }
    const bool result_ok = tlvs.result == EAP_FAST_TLV_SUCCESS;
    if (result_ok && !error && data->binding_ok && data->phase2_success) {
        if (data->anon_provisioning) {
            ret->methodState = METHOD_DONE;
            ret->decision = DECISION_FAIL;
            sm->flags |= EAP_FLAG_FAILURE_EXPECTED;
        } else {
            ret->methodState = data->provisioning ? METHOD_MAY_CONT : METHOD_DONE;
            ret->decision = DECISION_UNCOND_SUCC;
        }
    }
    if (tlvs.pac != nullptr) {
        if (!result_ok || error || !store_pac(sm, data, ret, tlvs.pac, tlvs.pac_len, body)) error = true;
    } else if (data->provisioning && !data->anon_provisioning &&
               (result_ok || tlvs.iresult == EAP_FAST_TLV_SUCCESS) && !error) {
        // Ask for a tunnel PAC: Request-Action "process", then a PAC TLV naming its type.
        static const uint8_t request[] = {0x00, 0x13, 0x00, 0x02, 0x00, 0x01, 0x00, 0x0b,
                                          0x00, 0x06, 0x00, 0x0a, 0x00, 0x02, 0x00, 0x01};
        body.insert(body.end(), request, request + sizeof(request));
    }
    if (error) {
        ret->methodState = METHOD_DONE;
        ret->decision = DECISION_FAIL;
    }
    if (result_ok || error)
        put_status(out, EAP_FAST_TLV_RESULT, error ? EAP_FAST_TLV_FAILURE : EAP_FAST_TLV_SUCCESS);
    out.insert(out.end(), body.begin(), body.end());
    return 0;
}

// Tunnelled data of a request; the encrypted answer or null.
wpa_buf *tunnelled(eap_peer_sm *sm, fast_data *data, eap_method_ret *ret, uint8_t id, const wpa_buf *in) {
    wpa_buf *decrypted = nullptr;
    if (data->pending_phase2_req != nullptr) {
        decrypted = data->pending_phase2_req;
        data->pending_phase2_req = nullptr;
    } else if (in == nullptr || wpa_buf_len(in) == 0) {
        // The server acknowledged a fragment: the next one, or an empty answer.
        wpa_buf *out = nullptr;
        if (data->ssl.tls_out != nullptr)
            eap_tls_encrypt_app(sm, &data->ssl, EAP_TYPE_FAST, data->fast_version, id, nullptr, &out);
        else
            out = eap_tls_build_ack(id, EAP_TYPE_FAST, data->fast_version);
        return out;
    } else {
        const int r = eap_tls_decrypt_app(sm, &data->ssl, in, &decrypted);
        if (r == 1) return eap_tls_build_ack(id, EAP_TYPE_FAST, data->fast_version);
        if (r < 0) {
            ret->methodState = METHOD_DONE;
            ret->decision = DECISION_FAIL;
            return eap_tls_build_ack(id, EAP_TYPE_FAST, data->fast_version);
        }
    }
    if (wpa_buf_len(decrypted) <= 3) {
        wpa_buf_free(decrypted);
        ret->methodState = METHOD_DONE;
        ret->decision = DECISION_FAIL;
        return eap_tls_build_ack(id, EAP_TYPE_FAST, data->fast_version);
    }
    std::vector<uint8_t> answer;
    const int r = process_tlvs(sm, data, ret, decrypted, answer);
    if (r == 1) {
        data->pending_phase2_req = decrypted;
        return nullptr;
    }
    wpa_buf_free(decrypted);
    if (r < 0) {
        ret->ignore = true;
        return nullptr;
    }
    wpa_buf plain;
    wpa_buf_set(&plain, answer.data(), answer.size());
    wpa_buf *out = nullptr;
    if (eap_tls_encrypt_app(sm, &data->ssl, EAP_TYPE_FAST, data->fast_version, id, &plain, &out)) {
        ret->methodState = METHOD_DONE;
        ret->decision = DECISION_FAIL;
        out = eap_tls_build_ack(id, EAP_TYPE_FAST, data->fast_version);
    }
    explicit_bzero(answer.data(), answer.size());
    return out;
}

wpa_buf *fast_process(eap_peer_sm *sm, void *priv, eap_method_ret *ret, const wpa_buf *req) {
    auto *data = static_cast<fast_data *>(priv);
    if (!tls_conn_established(data->ssl.ssl_ctx, data->ssl.conn)) {
        wpa_buf *held;
        if (eap_tls_ext_cert_check_wait(sm, &data->pending_resp, ret, &held)) return held;
    }
    size_t left;
    uint8_t flags;
    const uint8_t *pos = eap_tls_parse_request(sm, &data->ssl, EAP_TYPE_FAST, ret, req, &left, &flags);
    if (pos == nullptr) return nullptr;
    const uint8_t id = eap_get_id(req);
    if (flags & EAP_TLS_FLAGS_START) {
        if (start(data, flags, pos, left)) {
            ret->methodState = METHOD_DONE;
            ret->decision = DECISION_FAIL;
            return nullptr;
        }
        left = 0;
    }
    wpa_buf msg;
    wpa_buf_set(&msg, pos, left);
    if (tls_conn_established(data->ssl.ssl_ctx, data->ssl.conn)) return tunnelled(sm, data, ret, id, &msg);
    wpa_buf *resp = nullptr;
    const int res = eap_tls_tunnel_handshake(sm, &data->ssl, EAP_TYPE_FAST, data->fast_version, id, &msg,
                                             &data->pending_resp, &resp);
    if (res < 0) {
        ret->methodState = METHOD_DONE;
        ret->decision = DECISION_FAIL;
        return resp;
    }
    if (res == 3) return nullptr;
    if (tls_conn_established(data->ssl.ssl_ctx, data->ssl.conn) && tunnel_established(data)) {
        wpa_buf_free(resp);
        ret->methodState = METHOD_DONE;
        ret->decision = DECISION_FAIL;
        return eap_tls_build_ack(id, EAP_TYPE_FAST, data->fast_version);
    }
    if (res == 2) {
        // Application data came with the last handshake message.
        wpa_buf *appl = resp;
        data->pending_phase2_req = appl;
        return tunnelled(sm, data, ret, id, nullptr);
    }
    if (res == 1) {
        wpa_buf_free(resp);
        resp = eap_tls_build_ack(id, EAP_TYPE_FAST, data->fast_version);
    }
    return resp;
}

bool fast_key_available(eap_peer_sm *, void *priv) {
    return static_cast<fast_data *>(priv)->success;
}

uint8_t *fast_get_key(eap_peer_sm *, void *priv, size_t *len) {
    auto *data = static_cast<fast_data *>(priv);
    return data->success ? eap_tls_copy_out(data->key_data, KEY_LEN, len) : nullptr;
}

uint8_t *fast_get_emsk(eap_peer_sm *, void *priv, size_t *len) {
    auto *data = static_cast<fast_data *>(priv);
    return data->success ? eap_tls_copy_out(data->emsk, KEY_LEN, len) : nullptr;
}

uint8_t *fast_get_session_id(eap_peer_sm *, void *priv, size_t *len) {
    auto *data = static_cast<fast_data *>(priv);
    return data->success ? eap_tls_copy_out(data->session_id, data->id_len, len) : nullptr;
}

int fast_get_status(eap_peer_sm *sm, void *priv, char *buf, size_t buflen, int verbose) {
    auto *data = static_cast<fast_data *>(priv);
    int len = eap_tls_status_text(sm, &data->ssl, buf, buflen, verbose);
    if (data->inner.method != nullptr) {
        int n = snprintf(buf + len, buflen - static_cast<size_t>(len), "EAP-FAST Phase2 method=%s\n",
                         data->inner.method->name);
        if (n > 0 && static_cast<size_t>(n) < buflen - static_cast<size_t>(len)) len += n;
    }
    return len;
}

} // namespace

int eap_fast_parse_tlvs(const uint8_t *pos, size_t len, eap_fast_tlvs *out) {
    memset(out, 0, sizeof(*out));
    out->nak_type = -1;
    // Status TLVs hold 1 or 2 in two bytes; anything else counts as a failure.
    auto status_of = [](const uint8_t *v, size_t l) {
        if (l < 2) return static_cast<int>(EAP_FAST_TLV_FAILURE);
        const int s = wpa_get_be16(v);
        return s == EAP_FAST_TLV_SUCCESS || s == EAP_FAST_TLV_FAILURE
                   ? s
                   : static_cast<int>(EAP_FAST_TLV_FAILURE);
    };
    while (len > 4) {
        const uint16_t type_field = wpa_get_be16(pos);
        const int type = type_field & TLV_TYPE_MASK;
        const size_t tlv_len = wpa_get_be16(pos + 2);
        pos += 4;
        len -= 4;
        if (tlv_len > len) return -1;
        const uint8_t *v = pos;
        pos += tlv_len;
        len -= tlv_len;
        switch (type) {
        case EAP_FAST_TLV_RESULT:
            if (out->result != 0) {
                out->result = EAP_FAST_TLV_FAILURE;
                return 0;
            }
            out->result = status_of(v, tlv_len);
            break;
        case EAP_FAST_TLV_INTERMEDIATE_RESULT:
            if (out->iresult != 0) {
                out->iresult = EAP_FAST_TLV_FAILURE;
                return 0;
            }
            out->iresult = status_of(v, tlv_len);
            break;
        case EAP_FAST_TLV_EAP_PAYLOAD:
        case EAP_FAST_TLV_PAC:
        case EAP_FAST_TLV_CRYPTO_BINDING:
        case EAP_FAST_TLV_REQUEST_ACTION: {
            const uint8_t **slot = type == EAP_FAST_TLV_EAP_PAYLOAD      ? &out->eap_payload
                                   : type == EAP_FAST_TLV_PAC            ? &out->pac
                                   : type == EAP_FAST_TLV_CRYPTO_BINDING ? &out->crypto_binding
                                                                         : nullptr;
            const bool seen = slot != nullptr ? *slot != nullptr : out->request_action;
            if (seen) {
                out->iresult = EAP_FAST_TLV_FAILURE;
                return 0;
            }
            if (type == EAP_FAST_TLV_EAP_PAYLOAD) {
                out->eap_payload = v;
                out->eap_payload_len = tlv_len;
            } else if (type == EAP_FAST_TLV_PAC) {
                out->pac = v;
                out->pac_len = tlv_len;
            } else if (type == EAP_FAST_TLV_CRYPTO_BINDING) {
                if (tlv_len < EAP_FAST_CRYPTO_BINDING_LEN) {
                    out->result = EAP_FAST_TLV_FAILURE;
                    return 0;
                }
                out->crypto_binding = v;
                out->crypto_binding_len = tlv_len;
            } else {
                out->request_action = true;
            }
            break;
        }
        default:
            if (type_field & TLV_MANDATORY) {
                out->nak_type = type;
                return 0;
            }
            break;
        }
    }
    return 0;
}

int eap_fast_parse_pac_tlv(const uint8_t *pos, size_t len, eap_fast_pac *entry) {
    memset(entry, 0, sizeof(*entry));
    entry->pac_type = PAC_TYPE_TUNNEL_PAC;
    bool have_key = false;
    while (len > 0) {
        if (len < 4) return -1;
        const uint16_t type = wpa_get_be16(pos) & EAP_FAST_PAC_ATTR_TYPE_MASK;
        const size_t alen = wpa_get_be16(pos + 2);
        if (alen > len - 4) return -1;
        const uint8_t *v = pos + 4;
        if (type == PAC_ATTR_PAC_KEY) {
            if (alen != EAP_FAST_PAC_KEY_LEN) return -1;
            memcpy(entry->pac_key, v, EAP_FAST_PAC_KEY_LEN);
            have_key = true;
        } else if (type == PAC_ATTR_PAC_OPAQUE) {
            entry->pac_opaque = const_cast<uint8_t *>(v);
            entry->pac_opaque_len = alen;
        } else if (type == PAC_ATTR_PAC_INFO) {
            entry->pac_info = const_cast<uint8_t *>(v);
            entry->pac_info_len = alen;
            for (size_t p = 0; p < alen;) {
                if (alen - p < 4) return -1;
                const uint16_t itype = wpa_get_be16(v + p) & EAP_FAST_PAC_ATTR_TYPE_MASK;
                const size_t ilen = wpa_get_be16(v + p + 2);
                if (ilen > alen - p - 4) return -1;
                uint8_t *iv = const_cast<uint8_t *>(v + p + 4);
                if (itype == PAC_ATTR_A_ID) {
                    entry->a_id = iv;
                    entry->a_id_len = ilen;
                } else if (itype == PAC_ATTR_I_ID) {
                    entry->i_id = iv;
                    entry->i_id_len = ilen;
                } else if (itype == PAC_ATTR_A_ID_INFO) {
                    entry->a_id_info = iv;
                    entry->a_id_info_len = ilen;
                } else if (itype == PAC_ATTR_PAC_TYPE) {
                    if (ilen != 2) return -1;
                    const uint16_t t = wpa_get_be16(iv);
                    if (t < PAC_TYPE_TUNNEL_PAC || t > PAC_TYPE_USER_AUTHORIZATION) return -1;
                    entry->pac_type = t;
                }
                // The credential lifetime (3) is read and not used; others are skipped.
                p += 4 + ilen;
            }
        }
        pos += 4 + alen;
        len -= 4 + alen;
    }
    if (!have_key || entry->pac_opaque == nullptr || entry->pac_info == nullptr || entry->a_id == nullptr ||
        entry->a_id_info == nullptr)
        return -1;
    return 0;
}

int eap_fast_pac_master_secret(const uint8_t *pac_key, const uint8_t *server_random,
                               const uint8_t *client_random, uint8_t *master_secret) {
    uint8_t seed[64];
    memcpy(seed, server_random, 32);
    memcpy(seed + 32, client_random, 32);
    return sha1_t_prf(pac_key, EAP_FAST_PAC_KEY_LEN, "PAC to master secret label hash", seed, sizeof(seed),
                      master_secret, 48);
}

int eap_fast_imck_step(uint8_t s_imck[40], const uint8_t isk[32], uint8_t cmk[20]) {
    uint8_t imck[60];
    if (sha1_t_prf(s_imck, 40, "Inner Methods Compound Keys", isk, 32, imck, sizeof(imck))) return -1;
    memcpy(s_imck, imck, 40);
    memcpy(cmk, imck + 40, 20);
    explicit_bzero(imck, sizeof(imck));
    return 0;
}

int eap_fast_compound_mac(const uint8_t cmk[20], const uint8_t tlv[60], uint8_t mac[20]) {
    return crypto_hmac_sha1(cmk, 20, tlv, 60, mac);
}

int eap_peer_fast_register() {
    eap_peer_method *m =
        eap_peer_method_new(EAP_PEER_METHOD_INTERFACE_VERSION, EAP_VENDOR_IETF, EAP_TYPE_FAST, "FAST");
    if (m == nullptr) return -1;
    m->init = fast_init;
    m->deinit = fast_deinit;
    m->process = fast_process;
    m->isKeyAvailable = fast_key_available;
    m->getKey = fast_get_key;
    m->get_emsk = fast_get_emsk;
    m->getSessionId = fast_get_session_id;
    m->get_status = fast_get_status;
    return eap_peer_method_add(m);
}
