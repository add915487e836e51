#include "wireless/core/wpabuf.h"
#include "wireless/crypto/crypto.h"
#include "wireless/crypto/tls.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ocsp.h>
#include <openssl/opensslv.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

struct tls_library_ctx {
    SSL_CTX *ssl;
    tls_library_config conf;
    // Own copy of the stapled OCSP response file's name (conf points to it).
    char *ocsp_file;
};

struct tls_conn {
    tls_library_ctx *ctx;
    SSL *ssl;
    BIO *ssl_in, *ssl_out;
    char *subject_match, *altsubject_match, *suffix_match, *domain_match;
    int read_alerts, write_alerts, failed;
    unsigned int flags;
    uint8_t srv_cert_hash[32];
    unsigned int conn_flags;
    X509 *peer_cert, *peer_issuer, *peer_issuer_issuer;
    tls_session_ticket_cb ticket_cb;
    void *ticket_cb_ctx;
    uint8_t *session_ticket;
    size_t session_ticket_len;
};

enum {
    CONN_FLAG_CA_VERIFY = 0x1,
    CONN_FLAG_PROBE = 0x2,
    CONN_FLAG_SERVER_CERT_ONLY = 0x4,
    CONN_FLAG_HEARTBEAT_BAD = 0x8,
    CONN_FLAG_APPL_SUCCESS = 0x10,
};

namespace {

int conn_index() {
    static const int idx = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return idx;
}

void drain_errors() {
    ERR_clear_error();
}

char *dup_or_null(const char *s) {
    return s != nullptr ? strdup(s) : nullptr;
}

wpa_buf *drain_bio(BIO *out) {
    const int pending = BIO_ctrl_pending(out);
    wpa_buf *buf = wpa_buf_alloc(pending > 0 ? static_cast<size_t>(pending) : 0);
    if (buf == nullptr) return nullptr;
    if (pending > 0) {
        int n = BIO_read(out, wpa_buf_put(buf, static_cast<size_t>(pending)), pending);
        if (n != pending) {
            wpa_buf_free(buf);
            return nullptr;
        }
    }
    return buf;
}

void send_event(tls_conn *conn, tls_event ev, const tls_event_data &data) {
    if (conn->ctx->conf.event_cb != nullptr) conn->ctx->conf.event_cb(conn->ctx->conf.cb_ctx, ev, &data);
}

wpa_buf *cert_der(X509 *cert) {
    unsigned char *der = nullptr;
    int len = i2d_X509(cert, &der);
    if (len <= 0) return nullptr;
    wpa_buf *buf = wpa_buf_alloc_copy(der, static_cast<size_t>(len));
    OPENSSL_free(der);
    return buf;
}

tls_fail_reason reason_of(int err) {
    switch (err) {
    case 2:
    case 3:
    case 18:
    case 19:
    case 20:
    case 21:
    case 22:
    case 25:
    case 33:
    case 79:
        return TLS_FAIL_UNTRUSTED;
    case 23:
        return TLS_FAIL_REVOKED;
    case 9:
    case 11:
        return TLS_FAIL_NOT_YET_VALID;
    case 10:
    case 12:
        return TLS_FAIL_EXPIRED;
    case 4:
    case 5:
    case 6:
    case 13:
    case 14:
    case 15:
    case 16:
    case 27:
    case 28:
        return TLS_FAIL_BAD_CERTIFICATE;
    default:
        return TLS_FAIL_UNSPECIFIED;
    }
}

void cert_fail(tls_conn *conn, X509 *cert, int depth, const char *subject, tls_fail_reason reason,
               const char *txt) {
    tls_event_data ev{};
    ev.cert_fail.depth = depth;
    ev.cert_fail.reason = reason;
    ev.cert_fail.subject = subject;
    ev.cert_fail.reason_txt = txt;
    wpa_buf *der = cert != nullptr ? cert_der(cert) : nullptr;
    ev.cert_fail.cert = der;
    send_event(conn, TLS_CERT_CHAIN_FAILURE, ev);
    wpa_buf_free(der);
}

// Up to ten alternative names as "DNS:", "URI:" or "EMAIL:" texts (freed by the caller).
int alt_names(X509 *cert, char **out) {
    int n = 0;
    auto *names =
        static_cast<GENERAL_NAMES *>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    if (names == nullptr) return 0;
    for (int i = 0; i < sk_GENERAL_NAME_num(names) && n < TLS_MAX_ALT_SUBJECT; i++) {
        const GENERAL_NAME *gen = sk_GENERAL_NAME_value(names, i);
        const char *prefix;
        const ASN1_IA5STRING *s;
        if (gen->type == GEN_DNS) {
            prefix = "DNS:";
            s = gen->d.dNSName;
        } else if (gen->type == GEN_URI) {
            prefix = "URI:";
            s = gen->d.uniformResourceIdentifier;
        } else if (gen->type == GEN_EMAIL) {
            prefix = "EMAIL:";
            s = gen->d.rfc822Name;
        } else
            continue;
        const size_t plen = strlen(prefix), len = static_cast<size_t>(ASN1_STRING_length(s));
        char *t = static_cast<char *>(malloc(plen + len + 1));
        if (t == nullptr) continue;
        memcpy(t, prefix, plen);
        memcpy(t + plen, ASN1_STRING_get0_data(s), len);
        t[plen + len] = '\0';
        // A name with an embedded zero byte is cut there, never read past.
        out[n++] = t;
    }
    sk_GENERAL_NAME_pop_free(names, GENERAL_NAME_free);
    return n;
}

bool altsubject_matches(X509 *cert, const char *match) {
    char *names[TLS_MAX_ALT_SUBJECT];
    const int n = alt_names(cert, names);
    bool found = false;
    // Entries separated by ";", where a ";" splits only before a known prefix.
    const char *pos = match;
    while (*pos != '\0' && !found) {
        const char *end = pos;
        for (;;) {
            end = strchr(end, ';');
            if (end == nullptr) break;
            if (strncmp(end + 1, "EMAIL:", 6) == 0 || strncmp(end + 1, "DNS:", 4) == 0 ||
                strncmp(end + 1, "URI:", 4) == 0)
                break;
            end++;
        }
        const size_t len = end != nullptr ? static_cast<size_t>(end - pos) : strlen(pos);
        for (int i = 0; i < n; i++)
            if (strlen(names[i]) == len && memcmp(names[i], pos, len) == 0) found = true;
        if (end == nullptr) break;
        pos = end + 1;
    }
    for (int i = 0; i < n; i++)
        free(names[i]);
    return found;
}

bool cert_domain_match(X509 *cert, const char *match, bool full) {
    bool dns_name = false;
    auto *names =
        static_cast<GENERAL_NAMES *>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names); i++) {
        const GENERAL_NAME *gen = sk_GENERAL_NAME_value(names, i);
        if (gen->type != GEN_DNS) continue;
        dns_name = true;
        const char *s = reinterpret_cast<const char *>(ASN1_STRING_get0_data(gen->d.dNSName));
        if (tls_name_domain_match(s, static_cast<size_t>(ASN1_STRING_length(gen->d.dNSName)), match, full)) {
            sk_GENERAL_NAME_pop_free(names, GENERAL_NAME_free);
            return true;
        }
    }
    if (names != nullptr) sk_GENERAL_NAME_pop_free(names, GENERAL_NAME_free);
    if (dns_name) return false;
    X509_NAME *subject = X509_get_subject_name(cert);
    for (int i = -1;;) {
        i = X509_NAME_get_index_by_NID(subject, NID_commonName, i);
        if (i < 0) break;
        ASN1_STRING *s = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, i));
        if (tls_name_domain_match(reinterpret_cast<const char *>(ASN1_STRING_get0_data(s)),
                                  static_cast<size_t>(ASN1_STRING_length(s)), match, full))
            return true;
    }
    return false;
}

int verify_cb(int preverify_ok, X509_STORE_CTX *x509_ctx) {
    X509 *cert = X509_STORE_CTX_get_current_cert(x509_ctx);
    if (cert == nullptr) return 0;
    const int err = X509_STORE_CTX_get_error(x509_ctx);
    const int depth = X509_STORE_CTX_get_error_depth(x509_ctx);
    auto *ssl =
        static_cast<SSL *>(X509_STORE_CTX_get_ex_data(x509_ctx, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto *conn = static_cast<tls_conn *>(SSL_get_ex_data(ssl, conn_index()));
    if (conn == nullptr) return 0;
    X509 **slot = depth == 0   ? &conn->peer_cert
                  : depth == 1 ? &conn->peer_issuer
                  : depth == 2 ? &conn->peer_issuer_issuer
                               : nullptr;
    if (slot != nullptr) {
        X509_free(*slot);
        X509_up_ref(cert);
        *slot = cert;
    }
    char subject[256];
    X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof(subject));
    const char *err_str = X509_verify_cert_error_string(err);

    if (!preverify_ok) {
        if (!(conn->flags & CONN_FLAG_CA_VERIFY))
            preverify_ok = 1;
        else if (depth > 0 && (conn->flags & CONN_FLAG_SERVER_CERT_ONLY))
            preverify_ok = 1;
        else if ((conn->conn_flags & TLS_CONN_DISABLE_TIME_CHECKS) &&
                 (err == X509_V_ERR_CERT_HAS_EXPIRED || err == X509_V_ERR_CERT_NOT_YET_VALID))
            preverify_ok = 1;
    }
    tls_fail_reason reason = reason_of(err);
    if (preverify_ok && depth == 0 && (conn->flags & CONN_FLAG_SERVER_CERT_ONLY)) {
        uint8_t hash[32];
        unsigned int hlen = 0;
        if (!X509_digest(cert, EVP_sha256(), hash, &hlen) || hlen != 32 ||
            CRYPTO_memcmp(hash, conn->srv_cert_hash, 32) != 0) {
            preverify_ok = 0;
            err_str = "Server certificate mismatch";
            reason = TLS_FAIL_UNSPECIFIED;
        }
    }
    if (preverify_ok && depth == 0) {
        if (conn->subject_match != nullptr && strstr(subject, conn->subject_match) == nullptr) {
            preverify_ok = 0;
            err_str = "Subject mismatch";
            reason = TLS_FAIL_SUBJECT_MISMATCH;
        } else if (conn->altsubject_match != nullptr && !altsubject_matches(cert, conn->altsubject_match)) {
            preverify_ok = 0;
            err_str = "AltSubject mismatch";
            reason = TLS_FAIL_ALTSUBJECT_MISMATCH;
        } else if (conn->suffix_match != nullptr && !cert_domain_match(cert, conn->suffix_match, false)) {
            preverify_ok = 0;
            err_str = "Domain suffix mismatch";
            reason = TLS_FAIL_DOMAIN_SUFFIX_MISMATCH;
        } else if (conn->domain_match != nullptr && !cert_domain_match(cert, conn->domain_match, true)) {
            preverify_ok = 0;
            err_str = "Domain mismatch";
            reason = TLS_FAIL_DOMAIN_MISMATCH;
        }
    }
    // The peer-certificate event for every certificate of the chain.
    if (conn->ctx->conf.event_cb != nullptr) {
        tls_event_data ev{};
        ev.peer_cert.depth = depth;
        ev.peer_cert.subject = subject;
        wpa_buf *der = nullptr;
        uint8_t hash[32];
        if ((conn->flags & CONN_FLAG_PROBE) || (conn->conn_flags & TLS_CONN_EXT_CERT_CHECK) ||
            conn->ctx->conf.cert_in_cb) {
            der = cert_der(cert);
            ev.peer_cert.cert = der;
            unsigned int hlen = 0;
            if (X509_digest(cert, EVP_sha256(), hash, &hlen) && hlen == 32) {
                ev.peer_cert.hash = hash;
                ev.peer_cert.hash_len = 32;
            }
        }
        char *names[TLS_MAX_ALT_SUBJECT];
        ev.peer_cert.num_altsubject = alt_names(cert, names);
        for (int i = 0; i < ev.peer_cert.num_altsubject; i++)
            ev.peer_cert.altsubject[i] = names[i];
        send_event(conn, TLS_PEER_CERTIFICATE, ev);
        for (int i = 0; i < ev.peer_cert.num_altsubject; i++)
            free(names[i]);
        wpa_buf_free(der);
    }
    if (preverify_ok && depth == 0 && (conn->flags & CONN_FLAG_PROBE)) {
        cert_fail(conn, cert, depth, subject, TLS_FAIL_SERVER_CHAIN_PROBE, "Server certificate chain probe");
        return 0;
    }
    if (!preverify_ok) {
        cert_fail(conn, cert, depth, subject, reason, err_str);
        return 0;
    }
    if (depth == 0) send_event(conn, TLS_CERT_CHAIN_SUCCESS, tls_event_data{});
    return 1;
}

void info_cb(const SSL *ssl, int where, int ret) {
    if (!(where & SSL_CB_ALERT)) return;
    auto *conn = static_cast<tls_conn *>(SSL_get_ex_data(ssl, conn_index()));
    if (conn == nullptr) return;
    tls_event_data ev{};
    ev.alert.is_local = (where & SSL_CB_WRITE) ? 1 : 0;
    ev.alert.type = SSL_alert_type_string_long(ret);
    ev.alert.description = SSL_alert_desc_string_long(ret);
    send_event(conn, TLS_ALERT, ev);
    if ((ret >> 8) == SSL3_AL_FATAL) {
        if (where & SSL_CB_READ)
            conn->read_alerts++;
        else
            conn->write_alerts++;
    }
}

// Failure of the stapled-status check: a chain-failure event for the server
// certificate with the library's text for the verification error.
int ocsp_fail(tls_conn *conn, int err) {
    char subject[256] = "";
    if (conn->peer_cert != nullptr)
        X509_NAME_oneline(X509_get_subject_name(conn->peer_cert), subject, sizeof(subject));
    cert_fail(conn, conn->peer_cert, 0, subject,
              err == X509_V_ERR_CERT_REVOKED ? TLS_FAIL_REVOKED : TLS_FAIL_UNSPECIFIED,
              X509_verify_cert_error_string(err));
    return 0;
}

template <auto F> struct OsslFree {
    template <typename T> void operator()(T *p) const { F(p); }
};
using BasicPtr = std::unique_ptr<OCSP_BASICRESP, OsslFree<OCSP_BASICRESP_free>>;
using CertIdPtr = std::unique_ptr<OCSP_CERTID, OsslFree<OCSP_CERTID_free>>;
using RespPtr = std::unique_ptr<OCSP_RESPONSE, OsslFree<OCSP_RESPONSE_free>>;
struct CertStackFree {
    void operator()(STACK_OF(X509) * sk) const { sk_X509_free(sk); }
};
using CertStackPtr = std::unique_ptr<STACK_OF(X509), CertStackFree>;

// The status of the server certificate from its stapled OCSP response: 1 accepts,
// 0 fails the handshake.
int ocsp_check(tls_conn *conn, OCSP_RESPONSE *rsp) {
    const bool required = (conn->conn_flags & TLS_CONN_REQUIRE_OCSP) != 0;
    if (OCSP_response_status(rsp) != OCSP_RESPONSE_STATUS_SUCCESSFUL)
        return ocsp_fail(conn, X509_V_ERR_OCSP_VERIFY_FAILED);
    BasicPtr basic(OCSP_response_get1_basic(rsp));
    CertStackPtr untrusted(sk_X509_new_null());
    if (basic == nullptr || untrusted == nullptr || conn->peer_cert == nullptr ||
        conn->peer_issuer == nullptr)
        return ocsp_fail(conn, X509_V_ERR_OCSP_VERIFY_FAILED);
    // The issuers met during verification help to find the responder's chain; only the
    // trust store anchors it.
    for (X509 *c : {conn->peer_issuer, conn->peer_issuer_issuer})
        if (c != nullptr && sk_X509_push(untrusted.get(), c) <= 0)
            return ocsp_fail(conn, X509_V_ERR_OCSP_VERIFY_FAILED);
    if (OCSP_basic_verify(basic.get(), untrusted.get(), SSL_CTX_get_cert_store(conn->ctx->ssl), 0) <= 0)
        return ocsp_fail(conn, X509_V_ERR_OCSP_VERIFY_FAILED);
    CertIdPtr id(OCSP_cert_to_id(nullptr, conn->peer_cert, conn->peer_issuer));
    int status = 0, reason = 0;
    ASN1_GENERALIZEDTIME *revoked_at = nullptr, *this_update = nullptr, *next_update = nullptr;
    if (id == nullptr || !OCSP_resp_find_status(basic.get(), id.get(), &status, &reason, &revoked_at,
                                                &this_update, &next_update))
        return required ? ocsp_fail(conn, X509_V_ERR_OCSP_CERT_UNKNOWN) : 1;
    if (!OCSP_check_validity(this_update, next_update, 300, -1))
        return ocsp_fail(conn, X509_V_ERR_OCSP_VERIFY_FAILED);
    if (status == V_OCSP_CERTSTATUS_REVOKED) return ocsp_fail(conn, X509_V_ERR_CERT_REVOKED);
    if (status != V_OCSP_CERTSTATUS_GOOD) return required ? ocsp_fail(conn, X509_V_ERR_OCSP_CERT_UNKNOWN) : 1;
    // A staple speaks for the server certificate alone: an intermediate CA's status
    // cannot be known, so a check of every certificate fails on a longer chain.
    if ((conn->conn_flags & TLS_CONN_REQUIRE_OCSP_ALL) &&
        X509_check_issued(conn->peer_issuer, conn->peer_issuer) != X509_V_OK)
        return ocsp_fail(conn, X509_V_ERR_OCSP_VERIFY_NEEDED);
    return 1;
}

void staple_fail(tls_conn *conn, const char *txt) {
    tls_event_data ev{};
    ev.staple_fail.file = conn->ctx->ocsp_file;
    ev.staple_fail.reason_txt = txt;
    send_event(conn, TLS_STAPLE_FAILURE, ev);
}

// Reads a regular file of at most max bytes into buf (room for max + 1): null, or the
// reason it could not. Never blocks on a pipe or device named in place of the file.
const char *read_bounded(const char *file, unsigned char *buf, size_t max, size_t *len) {
    const int fd = open(file, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return strerror(errno);
    struct stat st;
    const char *err = nullptr;
    *len = 0;
    if (fstat(fd, &st) != 0)
        err = strerror(errno);
    else if (!S_ISREG(st.st_mode))
        err = "not a regular file";
    // One byte more than the limit tells an over-long file from one just at it.
    while (err == nullptr && *len <= max) {
        const ssize_t n = read(fd, buf + *len, max + 1 - *len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) err = strerror(errno);
        if (n <= 0) break;
        *len += static_cast<size_t>(n);
    }
    close(fd);
    if (err == nullptr && *len > max) err = "file larger than 65536 bytes";
    return err;
}

// The server's answer to a client asking for the certificate status: the OCSP response
// from the configured file, read anew for every handshake so that a renewed file counts
// at once. A file that cannot be stapled is reported and the handshake goes on without
// a staple: a client that requires one fails, the others go on.
int ocsp_staple(tls_conn *conn, SSL *ssl) {
    const char *file = conn->ctx->ocsp_file;
    if (file == nullptr) return SSL_TLSEXT_ERR_NOACK;
    static_assert(TLS_OCSP_RESPONSE_MAX == 65536, "the reason text names the limit");
    auto *buf = static_cast<unsigned char *>(OPENSSL_malloc(TLS_OCSP_RESPONSE_MAX + 1));
    size_t len = 0;
    const char *err = buf != nullptr ? read_bounded(file, buf, TLS_OCSP_RESPONSE_MAX, &len) : "out of memory";
    if (err == nullptr) {
        // Exactly one DER OCSP response, nothing after it.
        const unsigned char *p = buf;
        RespPtr rsp(d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(len)));
        if (rsp == nullptr || p != buf + len) err = "no DER OCSP response";
    }
    if (err == nullptr && SSL_set_tlsext_status_ocsp_resp(ssl, buf, static_cast<long>(len)) == 1)
        return SSL_TLSEXT_ERR_OK; // the connection owns the buffer now
    OPENSSL_free(buf);
    drain_errors();
    staple_fail(conn, err != nullptr ? err : "out of memory");
    return SSL_TLSEXT_ERR_NOACK;
}

int ocsp_status_cb(SSL *ssl, void *) {
    auto *conn = static_cast<tls_conn *>(SSL_get_ex_data(ssl, conn_index()));
    if (conn == nullptr) return SSL_is_server(ssl) ? SSL_TLSEXT_ERR_NOACK : 0;
    if (SSL_is_server(ssl)) return ocsp_staple(conn, ssl);
    const unsigned char *p = nullptr;
    const long len = SSL_get_tlsext_status_ocsp_resp(ssl, &p);
    if (p == nullptr || len <= 0) {
        if (!(conn->conn_flags & TLS_CONN_REQUIRE_OCSP)) return 1;
        return ocsp_fail(conn, X509_V_ERR_OCSP_VERIFY_NEEDED);
    }
    RespPtr rsp(d2i_OCSP_RESPONSE(nullptr, &p, len));
    const int ret =
        rsp != nullptr ? ocsp_check(conn, rsp.get()) : ocsp_fail(conn, X509_V_ERR_OCSP_VERIFY_FAILED);
    drain_errors();
    return ret;
}

int hex_nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int load_ca(tls_library_ctx *ctx, tls_conn *conn, const tls_conn_params *params) {
    X509_STORE *store = X509_STORE_new();
    if (store == nullptr) return -1;
    SSL_CTX_set_cert_store(ctx->ssl, store);
    SSL_set_verify(conn->ssl, SSL_VERIFY_PEER, verify_cb);
    conn->flags |= CONN_FLAG_CA_VERIFY;
    conn->flags &= ~(CONN_FLAG_PROBE | CONN_FLAG_SERVER_CERT_ONLY);
    const char *ca = params->ca_cert;
    if (ca != nullptr && strncmp(ca, "probe://", 8) == 0) {
        conn->flags |= CONN_FLAG_PROBE;
        conn->flags &= ~CONN_FLAG_CA_VERIFY;
        return 0;
    }
    if (ca != nullptr && strncmp(ca, "hash://", 7) == 0) {
        const char *pos = ca + 7;
        if (strncmp(pos, "server/sha256/", 14) != 0) return -1;
        pos += 14;
        if (strlen(pos) != 64) return -1;
        for (size_t i = 0; i < 32; i++) {
            int hi = hex_nibble(pos[2 * i]), lo = hex_nibble(pos[2 * i + 1]);
            if (hi < 0 || lo < 0) return -1;
            conn->srv_cert_hash[i] = static_cast<uint8_t>(hi << 4 | lo);
        }
        conn->flags |= CONN_FLAG_SERVER_CERT_ONLY;
        return 0;
    }
    if (params->ca_cert_blob != nullptr) {
        const unsigned char *p = params->ca_cert_blob;
        X509 *cert = d2i_X509(nullptr, &p, static_cast<long>(params->ca_cert_blob_len));
        if (cert == nullptr) {
            BIO *bio = BIO_new_mem_buf(params->ca_cert_blob, static_cast<int>(params->ca_cert_blob_len));
            cert = bio != nullptr ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
            BIO_free(bio);
        }
        if (cert == nullptr) return -1;
        if (!X509_STORE_add_cert(store, cert) &&
            ERR_GET_REASON(ERR_peek_last_error()) != X509_R_CERT_ALREADY_IN_HASH_TABLE) {
            X509_free(cert);
            return -1;
        }
        X509_free(cert);
        drain_errors();
        return 0;
    }
    if (ca == nullptr && params->ca_path == nullptr) {
        conn->flags &= ~CONN_FLAG_CA_VERIFY;
        return 0;
    }
    if (SSL_CTX_load_verify_locations(ctx->ssl, ca, params->ca_path) != 1) {
        drain_errors();
        return -1;
    }
    return 0;
}

int passwd_cb(char *buf, int size, int, void *userdata) {
    const char *pw = static_cast<const char *>(userdata);
    if (pw == nullptr) return 0;
    const int len = static_cast<int>(strlen(pw));
    if (len > size) return 0;
    memcpy(buf, pw, static_cast<size_t>(len));
    return len;
}

int load_client_cert(tls_conn *conn, const tls_conn_params *params) {
    if (params->client_cert_blob != nullptr) {
        if (SSL_use_certificate_ASN1(conn->ssl, params->client_cert_blob,
                                     static_cast<int>(params->client_cert_blob_len)) == 1)
            return 0;
        drain_errors();
    }
    if (params->client_cert == nullptr) return params->client_cert_blob != nullptr ? -1 : 0;
    if (SSL_use_certificate_file(conn->ssl, params->client_cert, SSL_FILETYPE_ASN1) == 1) return 0;
    drain_errors();
    if (SSL_use_certificate_chain_file(conn->ssl, params->client_cert) == 1) return 0;
    drain_errors();
    return -1;
}

int load_private_key(tls_library_ctx *ctx, tls_conn *conn, const tls_conn_params *params) {
    if (params->private_key == nullptr && params->private_key_blob == nullptr) return 0;
    SSL_CTX_set_default_passwd_cb(ctx->ssl, passwd_cb);
    SSL_CTX_set_default_passwd_cb_userdata(ctx->ssl, const_cast<char *>(params->private_key_passwd));
    SSL_set_default_passwd_cb(conn->ssl, passwd_cb);
    SSL_set_default_passwd_cb_userdata(conn->ssl, const_cast<char *>(params->private_key_passwd));
    bool ok = false;
    if (params->private_key_blob != nullptr) {
        BIO *bio = BIO_new_mem_buf(params->private_key_blob, static_cast<int>(params->private_key_blob_len));
        EVP_PKEY *pkey = nullptr;
        if (bio != nullptr) {
            pkey = d2i_PrivateKey_ex_bio(bio, nullptr, crypto_lib_ctx(), nullptr);
            if (pkey == nullptr) {
                (void)BIO_reset(bio);
                pkey = PEM_read_bio_PrivateKey_ex(bio, nullptr, passwd_cb,
                                                  const_cast<char *>(params->private_key_passwd),
                                                  crypto_lib_ctx(), nullptr);
            }
            BIO_free(bio);
        }
        if (pkey != nullptr) {
            ok = SSL_use_PrivateKey(conn->ssl, pkey) == 1;
            EVP_PKEY_free(pkey);
        }
    }
    if (!ok && params->private_key != nullptr) {
        ok = SSL_use_PrivateKey_file(conn->ssl, params->private_key, SSL_FILETYPE_ASN1) == 1;
        if (!ok) {
            drain_errors();
            ok = SSL_use_PrivateKey_file(conn->ssl, params->private_key, SSL_FILETYPE_PEM) == 1;
        }
    }
    SSL_CTX_set_default_passwd_cb(ctx->ssl, nullptr);
    SSL_CTX_set_default_passwd_cb_userdata(ctx->ssl, nullptr);
    SSL_set_default_passwd_cb(conn->ssl, nullptr);
    SSL_set_default_passwd_cb_userdata(conn->ssl, nullptr);
    if (!ok || SSL_check_private_key(conn->ssl) != 1) {
        drain_errors();
        return -1;
    }
    return 0;
}

// DSA parameters as DH parameters of the same group (p, q, g).
EVP_PKEY *dh_from_dsa(const EVP_PKEY *dsa) {
    BIGNUM *p = nullptr, *q = nullptr, *g = nullptr;
    EVP_PKEY *dh = nullptr;
    OSSL_PARAM_BLD *bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM *params = nullptr;
    EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new_from_name(crypto_lib_ctx(), "DH", nullptr);
    if (bld != nullptr && pctx != nullptr && EVP_PKEY_get_bn_param(dsa, OSSL_PKEY_PARAM_FFC_P, &p) == 1 &&
        EVP_PKEY_get_bn_param(dsa, OSSL_PKEY_PARAM_FFC_Q, &q) == 1 &&
        EVP_PKEY_get_bn_param(dsa, OSSL_PKEY_PARAM_FFC_G, &g) == 1 &&
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_P, p) == 1 &&
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_Q, q) == 1 &&
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_FFC_G, g) == 1 &&
        (params = OSSL_PARAM_BLD_to_param(bld)) != nullptr && EVP_PKEY_fromdata_init(pctx) == 1 &&
        EVP_PKEY_fromdata(pctx, &dh, EVP_PKEY_KEY_PARAMETERS, params) != 1)
        dh = nullptr;
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    EVP_PKEY_CTX_free(pctx);
    BN_free(p);
    BN_free(q);
    BN_free(g);
    return dh;
}

// PEM DH parameters, else PEM DSA parameters taken as DH; any other kind of parameters
// (EC ones, say) fails here rather than in a later handshake.
int load_dh(tls_conn *conn, const char *dh_file) {
    if (dh_file == nullptr) return 0;
    BIO *bio = BIO_new_file(dh_file, "r");
    if (bio == nullptr) {
        drain_errors();
        return -1;
    }
    EVP_PKEY *params = PEM_read_bio_Parameters_ex(bio, nullptr, crypto_lib_ctx(), nullptr);
    BIO_free(bio);
    EVP_PKEY *dh = nullptr;
    if (params != nullptr && (EVP_PKEY_is_a(params, "DH") || EVP_PKEY_is_a(params, "DHX"))) {
        dh = params;
        params = nullptr;
    } else if (params != nullptr && EVP_PKEY_is_a(params, "DSA")) {
        dh = dh_from_dsa(params);
    }
    EVP_PKEY_free(params);
    if (dh == nullptr || SSL_set0_tmp_dh_pkey(conn->ssl, dh) != 1) {
        EVP_PKEY_free(dh);
        drain_errors();
        return -1;
    }
    return 0;
}

} // namespace

bool tls_name_domain_match(const char *name, size_t name_len, const char *match, bool full) {
    if (name == nullptr || match == nullptr) return false;
    if (memchr(name, '\0', name_len) != nullptr) return false;
    const size_t match_len = strlen(match);
    if (match_len == 0 || match_len > name_len || (full && match_len != name_len)) return false;
    if (strncasecmp(name + name_len - match_len, match, match_len) != 0) return false;
    if (match_len == name_len) return true;
    return name[name_len - match_len - 1] == '.' || match[0] == '.';
}

tls_library_ctx *tls_library_init(const tls_library_config *conf) {
    auto *ctx = static_cast<tls_library_ctx *>(calloc(1, sizeof(tls_library_ctx)));
    if (ctx == nullptr) return nullptr;
    if (conf != nullptr) ctx->conf = *conf;
    ctx->conf.openssl_ciphers = nullptr;
    ctx->ssl = SSL_CTX_new_ex(crypto_lib_ctx(), nullptr, TLS_method());
    if (ctx->ssl == nullptr) {
        free(ctx);
        return nullptr;
    }
    SSL_CTX_set_options(ctx->ssl, SSL_OP_NO_SSLv3);
    // Every EAP method here derives its keys the TLS 1.2 way: never negotiate 1.3.
    SSL_CTX_set_max_proto_version(ctx->ssl, TLS1_2_VERSION);
    SSL_CTX_set_info_callback(ctx->ssl, info_cb);
    if (ctx->conf.tls_session_lifetime > 0) {
        // A server keeps its sessions for resumption; a server that asks for client
        // certificates resumes only sessions of its own id context.
        static const unsigned char sid_ctx[] = "apd";
        SSL_CTX_set_session_cache_mode(ctx->ssl, SSL_SESS_CACHE_SERVER);
        SSL_CTX_set_session_id_context(ctx->ssl, sid_ctx, sizeof(sid_ctx) - 1);
        SSL_CTX_set_timeout(ctx->ssl, static_cast<long>(ctx->conf.tls_session_lifetime));
    } else {
        SSL_CTX_set_session_cache_mode(ctx->ssl, SSL_SESS_CACHE_OFF);
    }
    if (conf != nullptr && conf->ocsp_stapling_response != nullptr) {
        ctx->ocsp_file = strdup(conf->ocsp_stapling_response);
        if (ctx->ocsp_file == nullptr) {
            tls_library_deinit(ctx);
            return nullptr;
        }
        SSL_CTX_set_tlsext_status_cb(ctx->ssl, ocsp_status_cb);
    }
    ctx->conf.ocsp_stapling_response = ctx->ocsp_file;
    const char *ciphers =
        conf != nullptr && conf->openssl_ciphers != nullptr ? conf->openssl_ciphers : "DEFAULT:!EXP:!LOW";
    if (SSL_CTX_set_cipher_list(ctx->ssl, ciphers) != 1) {
        drain_errors();
        tls_library_deinit(ctx);
        return nullptr;
    }
    return ctx;
}

void tls_library_deinit(tls_library_ctx *ctx) {
    if (ctx == nullptr) return;
    SSL_CTX_free(ctx->ssl);
    free(ctx->ocsp_file);
    free(ctx);
}

tls_conn *tls_conn_new(tls_library_ctx *ctx) {
    if (ctx == nullptr) return nullptr;
    auto *conn = static_cast<tls_conn *>(calloc(1, sizeof(tls_conn)));
    if (conn == nullptr) return nullptr;
    conn->ctx = ctx;
    conn->ssl = SSL_new(ctx->ssl);
    if (conn->ssl == nullptr) {
        free(conn);
        return nullptr;
    }
    SSL_set_ex_data(conn->ssl, conn_index(), conn);
    SSL_set_options(conn->ssl, SSL_OP_NO_SSLv3 | SSL_OP_NO_COMPRESSION);
    conn->ssl_in = BIO_new(BIO_s_mem());
    conn->ssl_out = BIO_new(BIO_s_mem());
    if (conn->ssl_in == nullptr || conn->ssl_out == nullptr) {
        BIO_free(conn->ssl_in);
        BIO_free(conn->ssl_out);
        SSL_free(conn->ssl);
        free(conn);
        return nullptr;
    }
    SSL_set_bio(conn->ssl, conn->ssl_in, conn->ssl_out);
    return conn;
}

void tls_conn_free(tls_library_ctx *, tls_conn *conn) {
    if (conn == nullptr) return;
    if (conn->flags & CONN_FLAG_APPL_SUCCESS) {
        SSL_set_quiet_shutdown(conn->ssl, 1);
        SSL_shutdown(conn->ssl);
    }
    SSL_free(conn->ssl);
    free(conn->subject_match);
    free(conn->altsubject_match);
    free(conn->suffix_match);
    free(conn->domain_match);
    X509_free(conn->peer_cert);
    X509_free(conn->peer_issuer);
    X509_free(conn->peer_issuer_issuer);
    free(conn->session_ticket);
    free(conn);
    drain_errors();
}

int tls_conn_set_params(tls_library_ctx *ctx, tls_conn *conn, const tls_conn_params *params) {
    if (ctx == nullptr || conn == nullptr || params == nullptr) return -1;
    if (params->engine || params->key_id != nullptr || params->cert_id != nullptr ||
        params->ca_cert_id != nullptr ||
        (params->private_key != nullptr && strncmp(params->private_key, "pkcs11:", 7) == 0) ||
        (params->client_cert != nullptr && strncmp(params->client_cert, "pkcs11:", 7) == 0) ||
        (params->ca_cert != nullptr && strncmp(params->ca_cert, "pkcs11:", 7) == 0))
        return -3;
    drain_errors();
    free(conn->subject_match);
    free(conn->altsubject_match);
    free(conn->suffix_match);
    free(conn->domain_match);
    conn->subject_match = dup_or_null(params->subject_match);
    conn->altsubject_match = dup_or_null(params->altsubject_match);
    conn->suffix_match = dup_or_null(params->suffix_match);
    conn->domain_match = dup_or_null(params->domain_match);
    conn->conn_flags = params->flags;
    if (load_ca(ctx, conn, params)) return -1;
    if (!(conn->flags & (CONN_FLAG_CA_VERIFY | CONN_FLAG_PROBE | CONN_FLAG_SERVER_CERT_ONLY)))
        SSL_set_verify(conn->ssl, SSL_VERIFY_PEER, verify_cb);
    if (load_client_cert(conn, params) || load_private_key(ctx, conn, params) ||
        load_dh(conn, params->dh_file))
        return -1;
    if (params->openssl_ciphers != nullptr && SSL_set_cipher_list(conn->ssl, params->openssl_ciphers) != 1) {
        drain_errors();
        return -1;
    }
    long opts = 0;
    if (params->flags & TLS_CONN_DISABLE_SESSION_TICKET) opts |= SSL_OP_NO_TICKET;
    if (params->flags & TLS_CONN_DISABLE_TLSv1_0) opts |= SSL_OP_NO_TLSv1;
    if (params->flags & TLS_CONN_DISABLE_TLSv1_1) opts |= SSL_OP_NO_TLSv1_1;
    if (params->flags & TLS_CONN_DISABLE_TLSv1_2) opts |= SSL_OP_NO_TLSv1_2;
    SSL_set_options(conn->ssl, opts);
    if (params->flags & TLS_CONN_REQUEST_OCSP) {
        SSL_CTX_set_tlsext_status_cb(ctx->ssl, ocsp_status_cb);
        if (SSL_set_tlsext_status_type(conn->ssl, TLSEXT_STATUSTYPE_ocsp) != 1) {
            drain_errors();
            return -1;
        }
    }
    return 0;
}

wpa_buf *tls_conn_handshake_step(tls_library_ctx *, tls_conn *conn, const wpa_buf *in_data,
                                 wpa_buf **appl_data, int server) {
    if (conn == nullptr) return nullptr;
    if (appl_data != nullptr) *appl_data = nullptr;
    if (in_data != nullptr && wpa_buf_len(in_data) > 0 &&
        BIO_write(conn->ssl_in, wpa_buf_head(in_data), static_cast<int>(wpa_buf_len(in_data))) < 0) {
        drain_errors();
        return nullptr;
    }
    int res = server ? SSL_accept(conn->ssl) : SSL_connect(conn->ssl);
    if (res != 1) {
        int err = SSL_get_error(conn->ssl, res);
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
            conn->failed++;
            drain_errors();
        }
    }
    wpa_buf *out = drain_bio(conn->ssl_out);
    if (out == nullptr) return nullptr;
    if (SSL_is_init_finished(conn->ssl) && appl_data != nullptr && in_data != nullptr) {
        wpa_buf *appl = wpa_buf_alloc(wpa_buf_len(in_data) + 100);
        if (appl != nullptr) {
            int n = SSL_read(conn->ssl, wpa_buf_mhead(appl), static_cast<int>(wpa_buf_tailroom(appl)));
            if (n > 0) {
                // Data that came with the peer's Finished (a TTLS client's first
                // attributes, say) counts as application data as much as decrypted data.
                wpa_buf_put(appl, static_cast<size_t>(n));
                *appl_data = appl;
                conn->flags |= CONN_FLAG_APPL_SUCCESS;
            } else {
                wpa_buf_free(appl);
                drain_errors();
            }
        }
    }
    return out;
}

wpa_buf *tls_conn_client_handshake(tls_library_ctx *ctx, tls_conn *conn, const wpa_buf *in_data,
                                   wpa_buf **appl_data) {
    return tls_conn_handshake_step(ctx, conn, in_data, appl_data, 0);
}

wpa_buf *tls_conn_encrypt(tls_library_ctx *, tls_conn *conn, const wpa_buf *in_data) {
    if (conn == nullptr || in_data == nullptr) return nullptr;
    (void)BIO_reset(conn->ssl_in);
    (void)BIO_reset(conn->ssl_out);
    int res = SSL_write(conn->ssl, wpa_buf_head(in_data), static_cast<int>(wpa_buf_len(in_data)));
    if (res < 0) {
        drain_errors();
        return nullptr;
    }
    return drain_bio(conn->ssl_out);
}

wpa_buf *tls_conn_decrypt(tls_library_ctx *, tls_conn *conn, const wpa_buf *in_data) {
    if (conn == nullptr || in_data == nullptr) return nullptr;
    if (BIO_write(conn->ssl_in, wpa_buf_head(in_data), static_cast<int>(wpa_buf_len(in_data))) < 0) {
        drain_errors();
        return nullptr;
    }
    (void)BIO_reset(conn->ssl_out);
    // Records can only shrink when decrypted, but compression is off and the buffer
    // leaves room for everything the input may hold.
    wpa_buf *out = wpa_buf_alloc((wpa_buf_len(in_data) + 500) * 3);
    if (out == nullptr) return nullptr;
    int res = SSL_read(conn->ssl, wpa_buf_mhead(out), static_cast<int>(wpa_buf_tailroom(out)));
    if (res < 0) {
        drain_errors();
        wpa_buf_free(out);
        return nullptr;
    }
    wpa_buf_put(out, static_cast<size_t>(res));
    conn->flags |= CONN_FLAG_APPL_SUCCESS;
    return out;
}

bool tls_conn_established(tls_library_ctx *, tls_conn *conn) {
    return conn != nullptr && SSL_is_init_finished(conn->ssl);
}

bool tls_conn_resumed(tls_library_ctx *, tls_conn *conn) {
    return conn != nullptr && SSL_session_reused(conn->ssl);
}

int tls_conn_shutdown(tls_library_ctx *, tls_conn *conn) {
    if (conn == nullptr) return -1;
    SSL_set_quiet_shutdown(conn->ssl, 1);
    SSL_shutdown(conn->ssl);
    return SSL_clear(conn->ssl) == 1 ? 0 : -1;
}

int tls_conn_failed_count(tls_library_ctx *, tls_conn *conn) {
    return conn != nullptr ? conn->failed : -1;
}

bool tls_conn_failed(tls_library_ctx *, tls_conn *conn) {
    return conn != nullptr && conn->failed > 0;
}

int tls_conn_get_randoms(tls_library_ctx *, tls_conn *conn, uint8_t *client_random, uint8_t *server_random) {
    if (conn == nullptr) return -1;
    if (SSL_get_client_random(conn->ssl, client_random, 32) != 32) return -1;
    if (SSL_get_server_random(conn->ssl, server_random, 32) != 32) return -1;
    return 0;
}

int tls_conn_export_key(tls_library_ctx *, tls_conn *conn, const char *label, uint8_t *out, size_t out_len) {
    if (conn == nullptr || label == nullptr) return -1;
    if (SSL_export_keying_material(conn->ssl, out, out_len, label, strlen(label), nullptr, 0, 0) != 1) {
        drain_errors();
        return -1;
    }
    return 0;
}

int tls_conn_derive_keyblock(tls_library_ctx *, tls_conn *conn, uint8_t *out, size_t out_len) {
    if (conn == nullptr) return -1;
    const SSL_SESSION *sess = SSL_get_session(conn->ssl);
    const SSL_CIPHER *cipher = SSL_get_current_cipher(conn->ssl);
    if (sess == nullptr || cipher == nullptr) return -1;
    uint8_t master[48];
    if (SSL_SESSION_get_master_key(sess, master, sizeof(master)) != sizeof(master)) return -1;
    const int version = SSL_version(conn->ssl);
    const EVP_CIPHER *c = EVP_get_cipherbynid(SSL_CIPHER_get_cipher_nid(cipher));
    const int digest_nid = SSL_CIPHER_get_digest_nid(cipher);
    const EVP_MD *mac = digest_nid != NID_undef ? EVP_get_digestbynid(digest_nid) : nullptr;
    if (c == nullptr) return -1;
    size_t key_len = static_cast<size_t>(EVP_CIPHER_get_key_length(c));
    size_t mac_len = mac != nullptr ? static_cast<size_t>(EVP_MD_get_size(mac)) : 0;
    // The key block's IV part: the fixed nonce part of AEAD suites, otherwise the cipher's
    // IV length in every version (EAP-FAST's key chain begins after both CBC IVs).
    size_t iv_len = static_cast<size_t>(EVP_CIPHER_get_iv_length(c));
    if (EVP_CIPHER_get_mode(c) == EVP_CIPH_GCM_MODE || EVP_CIPHER_get_mode(c) == EVP_CIPH_CCM_MODE)
        iv_len = 4;
    const size_t skip = 2 * (key_len + mac_len + iv_len);
    uint8_t seed[64];
    SSL_get_server_random(conn->ssl, seed, 32);
    SSL_get_client_random(conn->ssl, seed + 32, 32);
    auto *tmp = static_cast<uint8_t *>(malloc(skip + out_len));
    if (tmp == nullptr) return -1;
    int ret;
    if (version >= TLS1_2_VERSION) {
        // The suite's PRF hash; suites older than TLS 1.2 name MD5+SHA-1, for which TLS 1.2
        // uses SHA-256.
        const EVP_MD *hs = SSL_CIPHER_get_handshake_digest(cipher);
        const char *prf =
            hs == nullptr || EVP_MD_get_type(hs) == NID_md5_sha1 ? "SHA256" : EVP_MD_get0_name(hs);
        ret = crypto_tls12_prf(prf, master, sizeof(master), "key expansion", seed, sizeof(seed), tmp,
                               skip + out_len);
    } else {
        ret = tls_prf_sha1_md5(master, sizeof(master), "key expansion", seed, sizeof(seed), tmp,
                               skip + out_len);
    }
    if (ret == 0) memcpy(out, tmp + skip, out_len);
    OPENSSL_cleanse(tmp, skip + out_len);
    OPENSSL_cleanse(master, sizeof(master));
    free(tmp);
    return ret;
}

int tls_conn_set_cipher_list(tls_library_ctx *, tls_conn *conn, const uint8_t *ciphers) {
    if (conn == nullptr || ciphers == nullptr) return -1;
    static const char *const names[] = {nullptr,
                                        "RC4-SHA",
                                        "AES128-SHA",
                                        "DHE-RSA-AES128-SHA",
                                        "ADH-AES128-SHA",
                                        "DHE-RSA-AES256-SHA",
                                        "AES256-SHA",
                                        "ECDHE-ECDSA-AES256-SHA",
                                        "ECDHE-ECDSA-AES128-SHA",
                                        "ECDHE-RSA-AES256-SHA",
                                        "ECDHE-RSA-AES128-SHA"};
    char buf[256];
    size_t pos = 0;
    bool anon = false;
    buf[0] = '\0';
    for (const uint8_t *c = ciphers; *c != 0; c++) {
        if (*c >= sizeof(names) / sizeof(names[0]) || names[*c] == nullptr) return -1;
        int n = snprintf(buf + pos, sizeof(buf) - pos, "%s%s", pos == 0 ? "" : ":", names[*c]);
        if (n < 0 || static_cast<size_t>(n) >= sizeof(buf) - pos) return -1;
        pos += static_cast<size_t>(n);
        if (strncmp(names[*c], "ADH-", 4) == 0) anon = true;
    }
    if (anon)
        SSL_set_security_level(conn->ssl, 0);
    else if (SSL_get_security_level(conn->ssl) == 0)
        SSL_set_security_level(conn->ssl, 1);
    if (SSL_set_cipher_list(conn->ssl, buf) != 1) {
        drain_errors();
        return -1;
    }
    return 0;
}

int tls_conn_version_text(tls_library_ctx *, tls_conn *conn, char *buf, size_t buflen) {
    if (conn == nullptr || buflen == 0) return -1;
    const char *v = SSL_get_version(conn->ssl);
    snprintf(buf, buflen, "%s", v != nullptr ? v : "");
    return 0;
}

int tls_conn_cipher_text(tls_library_ctx *, tls_conn *conn, char *buf, size_t buflen) {
    if (conn == nullptr || buflen == 0) return -1;
    const char *name = SSL_get_cipher(conn->ssl);
    snprintf(buf, buflen, "%s", name != nullptr ? name : "");
    return 0;
}

int tls_conn_enable_workarounds(tls_library_ctx *, tls_conn *conn) {
    if (conn == nullptr) return -1;
    SSL_set_options(conn->ssl, SSL_OP_DONT_INSERT_EMPTY_FRAGMENTS);
    return 0;
}

int tls_conn_set_client_hello_ext(tls_library_ctx *, tls_conn *conn, int ext_type, const uint8_t *data,
                                  size_t len) {
    if (conn == nullptr || ext_type != 35 || len > 0xffff) return -1;
    if (SSL_set_session_ticket_ext(conn->ssl, const_cast<uint8_t *>(data),
                                   data != nullptr ? static_cast<int>(len) : 0) != 1) {
        drain_errors();
        return -1;
    }
    return 0;
}

namespace {

int ticket_ext_cb(SSL *, const unsigned char *data, int len, void *arg) {
    auto *conn = static_cast<tls_conn *>(arg);
    if (conn->ticket_cb == nullptr) return 0;
    free(conn->session_ticket);
    conn->session_ticket = nullptr;
    conn->session_ticket_len = 0;
    if (data != nullptr && len > 0) {
        conn->session_ticket = static_cast<uint8_t *>(malloc(static_cast<size_t>(len)));
        if (conn->session_ticket == nullptr) return 0;
        memcpy(conn->session_ticket, data, static_cast<size_t>(len));
        conn->session_ticket_len = static_cast<size_t>(len);
    }
    return 1;
}

int session_secret_cb(SSL *ssl, void *secret, int *secret_len, STACK_OF(SSL_CIPHER) *, const SSL_CIPHER **,
                      void *arg) {
    auto *conn = static_cast<tls_conn *>(arg);
    if (conn->ticket_cb == nullptr || secret == nullptr || secret_len == nullptr || *secret_len < 48)
        return 0;
    uint8_t client_random[32], server_random[32];
    if (SSL_get_client_random(ssl, client_random, 32) != 32 ||
        SSL_get_server_random(ssl, server_random, 32) != 32)
        return 0;
    int ret = conn->ticket_cb(conn->ticket_cb_ctx, conn->session_ticket, conn->session_ticket_len,
                              client_random, server_random, static_cast<uint8_t *>(secret));
    free(conn->session_ticket);
    conn->session_ticket = nullptr;
    conn->session_ticket_len = 0;
    if (ret <= 0) return 0;
    *secret_len = 48;
    return 1;
}

} // namespace

int tls_conn_set_session_ticket_cb(tls_library_ctx *, tls_conn *conn, tls_session_ticket_cb cb,
                                   void *cb_ctx) {
    if (conn == nullptr) return -1;
    conn->ticket_cb = cb;
    conn->ticket_cb_ctx = cb_ctx;
    if (cb == nullptr) {
        SSL_set_session_secret_cb(conn->ssl, nullptr, nullptr);
        SSL_set_session_ticket_ext_cb(conn->ssl, nullptr, nullptr);
        return 0;
    }
    if (SSL_set_session_secret_cb(conn->ssl, session_secret_cb, conn) != 1 ||
        SSL_set_session_ticket_ext_cb(conn->ssl, ticket_ext_cb, conn) != 1) {
        drain_errors();
        return -1;
    }
    return 0;
}

const char *tls_library_version_text(char *buf, size_t buflen) {
    snprintf(buf, buflen, "OpenSSL build=%s run=%s", "OpenSSL 3.0.8 7 Feb 2023",
             OpenSSL_version(OPENSSL_VERSION));
    return buf;
}
