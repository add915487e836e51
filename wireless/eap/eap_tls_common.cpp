#include "wireless/eap/eap_tls_common.h"

#include "core/sysroot.h"
#include "wireless/core/config.h"
#include "wireless/core/wpabuf.h"
#include "wireless/crypto/tls.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char *text_of(const wpa_text &t) {
    return t.data != nullptr ? reinterpret_cast<const char *>(t.data) : nullptr;
}

// Certificate, key and parameter files live in the appliance's tree: their names go
// through the sandbox root. Blob references ("blob://name") are resolved by the caller.
struct ParamFiles {
    std::string ca_cert, ca_path, client_cert, private_key, dh_file;
};

const char *rooted(const char *name, std::string &store) {
    if (name == nullptr) return nullptr;
    if (strncmp(name, "probe://", 8) == 0 || strncmp(name, "hash://", 7) == 0 ||
        strncmp(name, "pkcs11:", 7) == 0)
        return name;
    store = sysPath(name);
    return store.c_str();
}

int resolve_blob(eap_peer_sm *sm, const char **name, const uint8_t **blob, size_t *blob_len) {
    if (*name == nullptr || strncmp(*name, "blob://", 7) != 0) return 0;
    const wpa_config_blob *b = eap_get_config_blob(sm, *name + 7);
    if (b == nullptr) return -1;
    *name = nullptr;
    *blob = b->data;
    *blob_len = b->len;
    return 0;
}

int params_from_config(eap_peer_sm *sm, tls_conn_params *params, eap_peer_config *config, bool phase2,
                       ParamFiles &files) {
    memset(params, 0, sizeof(*params));
    if (phase2) {
        params->ca_cert = text_of(config->ca_cert2);
        params->ca_path = text_of(config->ca_path2);
        params->client_cert = text_of(config->client_cert2);
        params->private_key = text_of(config->private_key2);
        params->private_key_passwd = text_of(config->private_key2_passwd);
        params->dh_file = text_of(config->dh_file2);
        params->subject_match = text_of(config->subject_match2);
        params->altsubject_match = text_of(config->altsubject_match2);
        params->suffix_match = text_of(config->domain_suffix_match2);
        params->domain_match = text_of(config->domain_match2);
        params->engine = config->engine2;
        params->engine_id = text_of(config->engine2_id);
        params->pin = text_of(config->pin2);
        params->key_id = text_of(config->key2_id);
        params->cert_id = text_of(config->cert2_id);
        params->ca_cert_id = text_of(config->ca_cert2_id);
        eap_tls_parse_phase_flags(params, text_of(config->phase2));
    } else {
        params->ca_cert = text_of(config->ca_cert);
        params->ca_path = text_of(config->ca_path);
        params->client_cert = text_of(config->client_cert);
        params->private_key = text_of(config->private_key);
        params->private_key_passwd = text_of(config->private_key_passwd);
        params->dh_file = text_of(config->dh_file);
        params->subject_match = text_of(config->subject_match);
        params->altsubject_match = text_of(config->altsubject_match);
        params->suffix_match = text_of(config->domain_suffix_match);
        params->domain_match = text_of(config->domain_match);
        params->engine = config->engine;
        params->engine_id = text_of(config->engine_id);
        params->pin = text_of(config->pin);
        params->key_id = text_of(config->key_id);
        params->cert_id = text_of(config->cert_id);
        params->ca_cert_id = text_of(config->ca_cert_id);
        eap_tls_parse_phase_flags(params, text_of(config->phase1));
    }
    params->openssl_ciphers = text_of(config->openssl_ciphers);
    if (resolve_blob(sm, &params->ca_cert, &params->ca_cert_blob, &params->ca_cert_blob_len) ||
        resolve_blob(sm, &params->client_cert, &params->client_cert_blob, &params->client_cert_blob_len) ||
        resolve_blob(sm, &params->private_key, &params->private_key_blob, &params->private_key_blob_len))
        return -1;
    if (params->dh_file != nullptr && strncmp(params->dh_file, "blob://", 7) == 0) return -1;
    params->ca_cert = rooted(params->ca_cert, files.ca_cert);
    params->ca_path = rooted(params->ca_path, files.ca_path);
    params->client_cert = rooted(params->client_cert, files.client_cert);
    params->private_key = rooted(params->private_key, files.private_key);
    params->dh_file = rooted(params->dh_file, files.dh_file);
    if (config->ocsp == 1)
        params->flags |= TLS_CONN_REQUEST_OCSP;
    else if (config->ocsp == 2)
        params->flags |= TLS_CONN_REQUEST_OCSP | TLS_CONN_REQUIRE_OCSP;
    else if (config->ocsp == 3)
        params->flags |= TLS_CONN_REQUEST_OCSP | TLS_CONN_REQUIRE_OCSP | TLS_CONN_REQUIRE_OCSP_ALL;
    return 0;
}

void free_in(eap_tls_data *data) {
    wpa_buf_free(data->tls_in);
    data->tls_in = nullptr;
    data->tls_in_left = 0;
    data->tls_in_total = 0;
}

void free_out(eap_tls_data *data) {
    wpa_buf_free(data->tls_out);
    data->tls_out = nullptr;
    data->tls_out_pos = 0;
}

// Appends a fragment; -1 drops the message, 1 more fragments needed, 0 complete.
int reassemble(eap_tls_data *data, const uint8_t *in, size_t len) {
    const size_t have = data->tls_in != nullptr ? wpa_buf_len(data->tls_in) : 0;
    if (have + len == 0 || have + len > EAP_TLS_MAX_MESSAGE || len > data->tls_in_left) {
        free_in(data);
        return -1;
    }
    if (wpa_buf_resize(&data->tls_in, len) < 0) {
        free_in(data);
        return -1;
    }
    wpa_buf_put_data(data->tls_in, in, len);
    data->tls_in_left -= len;
    return data->tls_in_left > 0 ? 1 : 0;
}

// The reassembled message (owned by data) or the fragment itself as a view; 1 when more
// fragments are needed, -1 on error.
int data_in(eap_tls_data *data, const uint8_t *in, size_t len, wpa_buf *view, const wpa_buf **msg) {
    if (data->tls_in_left > len || data->tls_in != nullptr) {
        int r = reassemble(data, in, len);
        if (r != 0) return r;
        *msg = data->tls_in;
        return 0;
    }
    data->tls_in_left = 0;
    wpa_buf_set(view, in, len);
    *msg = view;
    return 0;
}

wpa_buf *send_fragment(eap_tls_data *data, uint8_t eap_type, int peap_version, uint8_t id) {
    const size_t total = wpa_buf_len(data->tls_out);
    size_t len = total - data->tls_out_pos;
    bool length_included =
        data->tls_out_pos == 0 && (total > data->tls_out_limit || data->include_tls_length);
    if (!length_included && eap_type == EAP_TYPE_PEAP && peap_version == 0 &&
        !tls_conn_established(data->ssl_ctx, data->conn))
        length_included = true;
    uint8_t flags = static_cast<uint8_t>(peap_version & EAP_TLS_VERSION_MASK);
    if (len > data->tls_out_limit) {
        flags |= EAP_TLS_FLAGS_MORE_FRAGMENTS;
        len = data->tls_out_limit;
    }
    if (length_included) flags |= EAP_TLS_FLAGS_LENGTH_INCLUDED;
    wpa_buf *resp =
        eap_msg_alloc(EAP_VENDOR_IETF, eap_type, 1 + (length_included ? 4 : 0) + len, EAP_CODE_RESPONSE, id);
    if (resp == nullptr) return nullptr;
    wpa_buf_put_u8(resp, flags);
    if (length_included) {
        uint8_t l[4];
        wpa_put_be32(l, static_cast<uint32_t>(total));
        wpa_buf_put_data(resp, l, 4);
    }
    wpa_buf_put_data(resp, wpa_buf_head(data->tls_out) + data->tls_out_pos, len);
    data->tls_out_pos += len;
    if (data->tls_out_pos >= total) free_out(data);
    return resp;
}

} // namespace

void eap_tls_parse_phase_flags(tls_conn_params *params, const char *txt) {
    if (txt == nullptr) return;
    struct Word {
        const char *text;
        unsigned int flag;
        bool set;
    };
    static const Word words[] = {
        {"tls_allow_md5=1", TLS_CONN_ALLOW_SIGN_RSA_MD5, true},
        {"tls_disable_time_checks=1", TLS_CONN_DISABLE_TIME_CHECKS, true},
        {"tls_disable_session_ticket=1", TLS_CONN_DISABLE_SESSION_TICKET, true},
        {"tls_disable_session_ticket=0", TLS_CONN_DISABLE_SESSION_TICKET, false},
        {"tls_disable_tlsv1_0=1", TLS_CONN_DISABLE_TLSv1_0, true},
        {"tls_disable_tlsv1_0=0", TLS_CONN_DISABLE_TLSv1_0, false},
        {"tls_disable_tlsv1_1=1", TLS_CONN_DISABLE_TLSv1_1, true},
        {"tls_disable_tlsv1_1=0", TLS_CONN_DISABLE_TLSv1_1, false},
        {"tls_disable_tlsv1_2=1", TLS_CONN_DISABLE_TLSv1_2, true},
        {"tls_disable_tlsv1_2=0", TLS_CONN_DISABLE_TLSv1_2, false},
        {"tls_ext_cert_check=1", TLS_CONN_EXT_CERT_CHECK, true},
        {"tls_ext_cert_check=0", TLS_CONN_EXT_CERT_CHECK, false},
    };
    for (const Word &w : words) {
        if (strstr(txt, w.text) == nullptr) continue;
        if (w.set)
            params->flags |= w.flag;
        else
            params->flags &= ~w.flag;
    }
}

int eap_tls_conn_setup(eap_peer_sm *sm, eap_tls_data *data, eap_peer_config *config, uint8_t eap_type) {
    data->eap = sm;
    data->eap_type = eap_type;
    data->phase2 = sm->init_phase2;
    data->ssl_ctx = sm->init_phase2 && sm->ssl_ctx2 != nullptr ? sm->ssl_ctx2 : sm->ssl_ctx;
    if (config == nullptr) return -1;
    tls_conn_params params;
    ParamFiles files;
    if (params_from_config(sm, &params, config, data->phase2 != 0, files)) return -1;
    if (sm->workaround && eap_type != EAP_TYPE_FAST) params.flags |= TLS_CONN_DISABLE_SESSION_TICKET;
    if (eap_type == EAP_TYPE_FAST) params.flags |= TLS_CONN_EAP_FAST;
    if (params.flags & TLS_CONN_EXT_CERT_CHECK)
        sm->flags |= EAP_FLAG_EXT_CERT_CHECK;
    else
        sm->flags &= ~EAP_FLAG_EXT_CERT_CHECK;
    data->conn = tls_conn_new(data->ssl_ctx);
    if (data->conn == nullptr) return -1;
    int res = tls_conn_set_params(data->ssl_ctx, data->conn, &params);
    if (res == -4) {
        eap_sm_request_pin(sm);
        sm->ignore = true;
    } else if (res == -3) {
        sm->ignore = true;
    }
    if (res != 0) {
        tls_conn_free(data->ssl_ctx, data->conn);
        data->conn = nullptr;
        return -1;
    }
    data->tls_out_limit = config->fragment_size > 0 ? static_cast<size_t>(config->fragment_size) : 1398;
    if (data->phase2 && data->tls_out_limit > 100) data->tls_out_limit -= 100;
    const char *phase1 = text_of(config->phase1);
    if (phase1 != nullptr && strstr(phase1, "include_tls_length=1") != nullptr) data->include_tls_length = 1;
    return 0;
}

void eap_tls_conn_release(eap_peer_sm *, eap_tls_data *data) {
    tls_conn_free(data->ssl_ctx, data->conn);
    data->conn = nullptr;
    free_in(data);
    free_out(data);
}

const uint8_t *eap_tls_parse_request(eap_peer_sm *sm, eap_tls_data *data, uint8_t eap_type,
                                     eap_method_ret *ret, const wpa_buf *req, size_t *len, uint8_t *flags) {
    size_t left;
    const uint8_t *pos = eap_hdr_validate(EAP_VENDOR_IETF, eap_type, req, &left);
    if (pos == nullptr) {
        ret->ignore = true;
        return nullptr;
    }
    if (left == 0) {
        if (!eap_get_workaround(sm)) {
            ret->ignore = true;
            return nullptr;
        }
        *flags = 0;
    } else {
        *flags = *pos++;
        left--;
    }
    if (*flags & EAP_TLS_FLAGS_LENGTH_INCLUDED) {
        if (left < 4) {
            ret->ignore = true;
            return nullptr;
        }
        const uint32_t tls_len = wpa_get_be32(pos);
        pos += 4;
        left -= 4;
        if (data->tls_in == nullptr && data->tls_in_left == 0) {
            free_in(data);
            data->tls_in_total = tls_len;
            data->tls_in_left = tls_len;
        }
        if (left > tls_len) {
            ret->ignore = true;
            return nullptr;
        }
    }
    ret->ignore = false;
    ret->methodState = METHOD_MAY_CONT;
    ret->decision = DECISION_FAIL;
    ret->allowNotifications = true;
    *len = left;
    return pos;
}

int eap_tls_process_handshake(eap_peer_sm *, eap_tls_data *data, uint8_t eap_type, int peap_version,
                              uint8_t id, const wpa_buf *in_data, wpa_buf **out) {
    *out = nullptr;
    if (data->tls_out != nullptr && in_data != nullptr && wpa_buf_len(in_data) > 0) return -1;
    wpa_buf *appl = nullptr;
    if (data->tls_out == nullptr) {
        wpa_buf view;
        const wpa_buf *msg = in_data;
        if (in_data != nullptr && wpa_buf_len(in_data) > 0) {
            int r = data_in(data, wpa_buf_head(in_data), wpa_buf_len(in_data), &view, &msg);
            if (r < 0) return -1;
            if (r == 1) {
                *out = eap_tls_build_ack(id, eap_type, peap_version);
                return 0;
            }
        }
        data->tls_out = tls_conn_handshake_step(data->ssl_ctx, data->conn, msg, &appl, 0);
        data->tls_out_pos = 0;
        free_in(data);
        if (appl != nullptr && tls_conn_established(data->ssl_ctx, data->conn) &&
            !tls_conn_failed(data->ssl_ctx, data->conn)) {
            free_out(data);
            *out = appl;
            return 2;
        }
        wpa_buf_free(appl);
    }
    if (data->tls_out == nullptr) return -1;
    if (tls_conn_failed(data->ssl_ctx, data->conn)) {
        if (wpa_buf_len(data->tls_out) == 0) {
            free_out(data);
            return -1;
        }
        *out = send_fragment(data, eap_type, peap_version, id);
        return -1;
    }
    if (wpa_buf_len(data->tls_out) == 0) {
        free_out(data);
        return 1;
    }
    *out = send_fragment(data, eap_type, peap_version, id);
    return 0;
}

int eap_tls_decrypt_app(eap_peer_sm *, eap_tls_data *data, const wpa_buf *in_data, wpa_buf **out) {
    *out = nullptr;
    wpa_buf view;
    const wpa_buf *msg = nullptr;
    int r = data_in(data, wpa_buf_head(in_data), wpa_buf_len(in_data), &view, &msg);
    if (r != 0) return r;
    *out = tls_conn_decrypt(data->ssl_ctx, data->conn, msg);
    free_in(data);
    return *out != nullptr ? 0 : -1;
}

int eap_tls_encrypt_app(eap_peer_sm *, eap_tls_data *data, uint8_t eap_type, int peap_version, uint8_t id,
                        const wpa_buf *plain, wpa_buf **out) {
    *out = nullptr;
    if (plain != nullptr) {
        free_out(data);
        data->tls_out = tls_conn_encrypt(data->ssl_ctx, data->conn, plain);
        data->tls_out_pos = 0;
        if (data->tls_out == nullptr) return -1;
    }
    if (data->tls_out == nullptr) return -1;
    *out = send_fragment(data, eap_type, peap_version, id);
    return *out != nullptr ? 0 : -1;
}

wpa_buf *eap_tls_build_ack(uint8_t id, uint8_t eap_type, int peap_version) {
    wpa_buf *resp = eap_msg_alloc(EAP_VENDOR_IETF, eap_type, 1, EAP_CODE_RESPONSE, id);
    if (resp != nullptr) wpa_buf_put_u8(resp, static_cast<uint8_t>(peap_version & EAP_TLS_VERSION_MASK));
    return resp;
}

uint8_t *eap_tls_export_key(eap_peer_sm *, eap_tls_data *data, const char *label, size_t len) {
    auto *out = static_cast<uint8_t *>(malloc(len));
    if (out == nullptr) return nullptr;
    if (tls_conn_export_key(data->ssl_ctx, data->conn, label, out, len)) {
        free(out);
        return nullptr;
    }
    return out;
}

uint8_t *eap_tls_session_id(eap_peer_sm *, eap_tls_data *data, uint8_t eap_type, size_t *len) {
    auto *id = static_cast<uint8_t *>(malloc(65));
    if (id == nullptr) return nullptr;
    id[0] = eap_type;
    if (tls_conn_get_randoms(data->ssl_ctx, data->conn, id + 1, id + 33)) {
        free(id);
        return nullptr;
    }
    *len = 65;
    return id;
}

int eap_tls_status_text(eap_peer_sm *, eap_tls_data *data, char *buf, size_t buflen, int) {
    char version[30] = "", cipher[80] = "";
    tls_conn_version_text(data->ssl_ctx, data->conn, version, sizeof(version));
    tls_conn_cipher_text(data->ssl_ctx, data->conn, cipher, sizeof(cipher));
    int n = snprintf(buf, buflen, "eap_tls_version=%s\nEAP TLS cipher=%s\ntls_session_reused=%d\n", version,
                     cipher, tls_conn_resumed(data->ssl_ctx, data->conn) ? 1 : 0);
    if (n < 0 || static_cast<size_t>(n) >= buflen) return 0;
    return n;
}

int eap_tls_prepare_reauth(eap_peer_sm *, eap_tls_data *data) {
    free_in(data);
    free_out(data);
    return tls_conn_shutdown(data->ssl_ctx, data->conn);
}

int eap_tls_select_phase2_methods(eap_peer_config *config, const char *prefix, eap_method_type **types,
                                  size_t *num_types) {
    *types = nullptr;
    *num_types = 0;
    const char *phase2 = config != nullptr ? text_of(config->phase2) : nullptr;
    const size_t plen = strlen(prefix);
    size_t count = 0;
    eap_method_type *list = nullptr;
    for (const char *pos = phase2; pos != nullptr && (pos = strstr(pos, prefix)) != nullptr; pos += plen) {
        if (pos != phase2 && pos[-1] != ' ') continue;
        const char *start = pos + plen;
        const char *end = strchr(start, ' ');
        std::string name(start, end != nullptr ? static_cast<size_t>(end - start) : strlen(start));
        int vendor;
        unsigned int method = eap_peer_phase2_type_by_name(name.c_str(), &vendor);
        if (method == EAP_TYPE_NONE) {
            free(list);
            return -1;
        }
        auto *n = static_cast<eap_method_type *>(realloc(list, (count + 1) * sizeof(eap_method_type)));
        if (n == nullptr) {
            free(list);
            return -1;
        }
        list = n;
        list[count].vendor = vendor;
        list[count].method = method;
        count++;
    }
    if (list == nullptr) {
        list = eap_peer_default_phase2_types(config, &count);
        if (list == nullptr) return -1;
    }
    *types = list;
    *num_types = count;
    return 0;
}

wpa_buf *eap_tls_phase2_nak(const eap_method_type *types, size_t num_types, const uint8_t *req_hdr) {
    size_t n = 0;
    for (size_t i = 0; i < num_types; i++)
        if (types[i].vendor == EAP_VENDOR_IETF && types[i].method < 256) n++;
    if (n > 255) n = 255;
    wpa_buf *resp = eap_msg_alloc(EAP_VENDOR_IETF, EAP_TYPE_NAK, n, EAP_CODE_RESPONSE, req_hdr[1]);
    if (resp == nullptr) return nullptr;
    size_t put = 0;
    for (size_t i = 0; i < num_types && put < n; i++)
        if (types[i].vendor == EAP_VENDOR_IETF && types[i].method < 256) {
            wpa_buf_put_u8(resp, static_cast<uint8_t>(types[i].method));
            put++;
        }
    return resp;
}

bool eap_tls_ext_cert_check_wait(eap_peer_sm *sm, wpa_buf **held, eap_method_ret *ret, wpa_buf **out) {
    *out = nullptr;
    if (!(sm->flags & EAP_FLAG_WAIT_EXT_CERT_CHECK) || *held == nullptr) return false;
    eap_peer_config *config = eap_get_config(sm);
    const int result = config != nullptr ? config->pending_ext_cert_check : 0;
    if (result == 2) {
        sm->flags &= ~EAP_FLAG_WAIT_EXT_CERT_CHECK;
        *out = *held;
        *held = nullptr;
        ret->ignore = false;
        ret->methodState = METHOD_MAY_CONT;
        ret->decision = DECISION_FAIL;
        return true;
    }
    if (result == 3) {
        sm->flags &= ~EAP_FLAG_WAIT_EXT_CERT_CHECK;
        wpa_buf_free(*held);
        *held = nullptr;
        ret->ignore = false;
        ret->methodState = METHOD_DONE;
        ret->decision = DECISION_FAIL;
        return true;
    }
    ret->ignore = false;
    return true;
}

bool eap_tls_phase2_allowed(const eap_method_type *types, size_t num_types, unsigned int type) {
    for (size_t i = 0; i < num_types; i++)
        if (types[i].vendor == EAP_VENDOR_IETF && types[i].method == type) return true;
    return false;
}

int eap_tls_phase2_init(eap_peer_sm *sm, eap_tls_inner *inner, uint8_t outer_type, unsigned int type) {
    if (inner->priv != nullptr) return 0;
    inner->method = eap_peer_method_find(EAP_VENDOR_IETF, type);
    if (inner->method != nullptr) {
        sm->init_phase2 = 1;
        sm->outer_vendor = EAP_VENDOR_IETF;
        sm->outer_method = outer_type;
        inner->priv = inner->method->init(sm);
        sm->init_phase2 = 0;
        sm->outer_method = EAP_TYPE_NONE;
    }
    if (inner->priv == nullptr) {
        inner->method = nullptr;
        return -1;
    }
    return 0;
}

void eap_tls_phase2_deinit(eap_peer_sm *sm, eap_tls_inner *inner) {
    if (inner->priv != nullptr && inner->method != nullptr) inner->method->deinit(sm, inner->priv);
    inner->priv = nullptr;
    inner->method = nullptr;
}

int eap_tls_phase2_isk(eap_peer_sm *sm, const eap_tls_inner *inner, bool swap_mschapv2, uint8_t isk[32]) {
    memset(isk, 0, 32);
    if (inner->method == nullptr || inner->priv == nullptr || inner->method->isKeyAvailable == nullptr ||
        inner->method->getKey == nullptr)
        return 0;
    size_t key_len = 0;
    uint8_t *key = inner->method->isKeyAvailable(sm, inner->priv)
                       ? inner->method->getKey(sm, inner->priv, &key_len)
                       : nullptr;
    if (key == nullptr) return -1;
    if (swap_mschapv2 && inner->method->vendor == EAP_VENDOR_IETF &&
        inner->method->method == EAP_TYPE_MSCHAPV2 && key_len == 32) {
        memcpy(isk, key + 16, 16);
        memcpy(isk + 16, key, 16);
    } else {
        memcpy(isk, key, key_len > 32 ? 32 : key_len);
    }
    explicit_bzero(key, key_len);
    free(key);
    return 0;
}

int eap_tls_tunnel_handshake(eap_peer_sm *sm, eap_tls_data *data, uint8_t eap_type, int version, uint8_t id,
                             const wpa_buf *in_data, wpa_buf **held, wpa_buf **out) {
    int res = eap_tls_process_handshake(sm, data, eap_type, version, id, in_data, out);
    if (res < 0 || !(sm->flags & EAP_FLAG_WAIT_EXT_CERT_CHECK)) return res;
    wpa_buf_free(*held);
    *held = *out != nullptr ? *out : eap_tls_build_ack(id, eap_type, version);
    *out = nullptr;
    return 3;
}

uint8_t *eap_tls_copy_out(const uint8_t *src, size_t len, size_t *out_len) {
    if (src == nullptr) return nullptr;
    auto *copy = static_cast<uint8_t *>(malloc(len > 0 ? len : 1));
    if (copy == nullptr) return nullptr;
    memcpy(copy, src, len);
    *out_len = len;
    return copy;
}
