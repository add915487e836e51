// TLS for the EAP methods: OpenSSL connections that never touch a socket. Handshake
// bytes and records pass in and out through a pair of memory BIOs as wpa_bufs. The
// SSL_CTX lives in the wireless code's own library context, apart from the daemon's
// HTTPS and mail TLS. TLS 1.3 is never offered: every EAP method here derives its keys
// the TLS 1.2 way.
#pragma once

#include <cstddef>
#include <cstdint>

struct wpa_buf;
struct tls_library_ctx;
struct tls_conn;

// Connection flags.
enum {
    TLS_CONN_ALLOW_SIGN_RSA_MD5 = 0x1,
    TLS_CONN_DISABLE_TIME_CHECKS = 0x2,
    TLS_CONN_DISABLE_SESSION_TICKET = 0x4,
    TLS_CONN_REQUEST_OCSP = 0x8,
    TLS_CONN_REQUIRE_OCSP = 0x10,
    TLS_CONN_DISABLE_TLSv1_1 = 0x20,
    TLS_CONN_DISABLE_TLSv1_2 = 0x40,
    TLS_CONN_EAP_FAST = 0x80,
    TLS_CONN_DISABLE_TLSv1_0 = 0x100,
    TLS_CONN_EXT_CERT_CHECK = 0x200,
    // A staple vouches for the server certificate alone: with this flag a chain that
    // holds an intermediate CA fails, its status being unknown.
    TLS_CONN_REQUIRE_OCSP_ALL = 0x400,
};

// TLS_STAPLE_FAILURE: as a server, the configured OCSP response file could not be
// stapled (unreadable, too large, or no OCSP response); the handshake goes on without a
// staple and the client decides.
enum tls_event {
    TLS_CERT_CHAIN_SUCCESS,
    TLS_CERT_CHAIN_FAILURE,
    TLS_PEER_CERTIFICATE,
    TLS_ALERT,
    TLS_STAPLE_FAILURE,
};

enum tls_fail_reason {
    TLS_FAIL_UNSPECIFIED = 0,
    TLS_FAIL_UNTRUSTED = 1,
    TLS_FAIL_REVOKED = 2,
    TLS_FAIL_NOT_YET_VALID = 3,
    TLS_FAIL_EXPIRED = 4,
    TLS_FAIL_SUBJECT_MISMATCH = 5,
    TLS_FAIL_ALTSUBJECT_MISMATCH = 6,
    TLS_FAIL_BAD_CERTIFICATE = 7,
    TLS_FAIL_SERVER_CHAIN_PROBE = 8,
    TLS_FAIL_DOMAIN_SUFFIX_MISMATCH = 9,
    TLS_FAIL_DOMAIN_MISMATCH = 10,
};

constexpr int TLS_MAX_ALT_SUBJECT = 10;

struct tls_event_data {
    struct {
        int depth;
        tls_fail_reason reason;
        const char *subject;
        const char *reason_txt;
        const wpa_buf *cert;
    } cert_fail;
    struct {
        int depth;
        const char *subject;
        const wpa_buf *cert;
        const uint8_t *hash;
        size_t hash_len;
        const char *altsubject[TLS_MAX_ALT_SUBJECT];
        int num_altsubject;
    } peer_cert;
    struct {
        int is_local;
        const char *type;
        const char *description;
    } alert;
    struct {
        const char *file;
        const char *reason_txt;
    } staple_fail;
};

// The largest OCSP response file a server staples.
constexpr size_t TLS_OCSP_RESPONSE_MAX = 65536;

// ocsp_stapling_response: a file holding one DER OCSP response, read for every handshake
// of a server connection whose client asks for the certificate status.
// tls_session_lifetime: seconds a server keeps its sessions for resumption by session
// id; 0 keeps none.
struct tls_library_config {
    void (*event_cb)(void *ctx, tls_event ev, const tls_event_data *data);
    void *cb_ctx;
    int cert_in_cb;
    const char *ocsp_stapling_response;
    const char *openssl_ciphers;
    unsigned int tls_session_lifetime;
};

struct tls_conn_params {
    const char *ca_cert;
    const uint8_t *ca_cert_blob;
    size_t ca_cert_blob_len;
    const char *ca_path;
    const char *subject_match;
    const char *altsubject_match;
    const char *suffix_match;
    const char *domain_match;
    const char *client_cert;
    const uint8_t *client_cert_blob;
    size_t client_cert_blob_len;
    const char *private_key;
    const uint8_t *private_key_blob;
    size_t private_key_blob_len;
    const char *private_key_passwd;
    const char *dh_file;
    int engine;
    const char *engine_id;
    const char *pin;
    const char *key_id;
    const char *cert_id;
    const char *ca_cert_id;
    const char *openssl_ciphers;
    unsigned int flags;
};

tls_library_ctx *tls_library_init(const tls_library_config *conf);
void tls_library_deinit(tls_library_ctx *ctx);

tls_conn *tls_conn_new(tls_library_ctx *ctx);
void tls_conn_free(tls_library_ctx *ctx, tls_conn *conn);
// 0, -1, or -3 when a key, certificate or CA is asked for through an engine.
int tls_conn_set_params(tls_library_ctx *ctx, tls_conn *conn, const tls_conn_params *params);

// One handshake step: the received bytes (or null) go in, the bytes to send (possibly
// empty) come out; null on failure. Application data that follows the handshake is put
// into *appl_data when asked for.
wpa_buf *tls_conn_handshake_step(tls_library_ctx *ctx, tls_conn *conn, const wpa_buf *in_data,
                                 wpa_buf **appl_data, int server);
wpa_buf *tls_conn_client_handshake(tls_library_ctx *ctx, tls_conn *conn, const wpa_buf *in_data,
                                   wpa_buf **appl_data);
wpa_buf *tls_conn_encrypt(tls_library_ctx *ctx, tls_conn *conn, const wpa_buf *in_data);
wpa_buf *tls_conn_decrypt(tls_library_ctx *ctx, tls_conn *conn, const wpa_buf *in_data);

bool tls_conn_established(tls_library_ctx *ctx, tls_conn *conn);
bool tls_conn_resumed(tls_library_ctx *ctx, tls_conn *conn);
int tls_conn_shutdown(tls_library_ctx *ctx, tls_conn *conn);
int tls_conn_failed_count(tls_library_ctx *ctx, tls_conn *conn);
bool tls_conn_failed(tls_library_ctx *ctx, tls_conn *conn);

int tls_conn_get_randoms(tls_library_ctx *ctx, tls_conn *conn, uint8_t *client_random,
                         uint8_t *server_random);
int tls_conn_export_key(tls_library_ctx *ctx, tls_conn *conn, const char *label, uint8_t *out,
                        size_t out_len);
int tls_conn_derive_keyblock(tls_library_ctx *ctx, tls_conn *conn, uint8_t *out, size_t out_len);

int tls_conn_set_cipher_list(tls_library_ctx *ctx, tls_conn *conn, const uint8_t *ciphers);
int tls_conn_version_text(tls_library_ctx *ctx, tls_conn *conn, char *buf, size_t buflen);
int tls_conn_cipher_text(tls_library_ctx *ctx, tls_conn *conn, char *buf, size_t buflen);
int tls_conn_enable_workarounds(tls_library_ctx *ctx, tls_conn *conn);
// The ClientHello extension (type 35, SessionTicket, only): its data, or none when data
// is null. 0 or -1.
int tls_conn_set_client_hello_ext(tls_library_ctx *ctx, tls_conn *conn, int ext_type, const uint8_t *data,
                                  size_t len);
// EAP-FAST resumption by session ticket: the callback gets the ticket the server sent
// with its hello (or none), both randoms and a 48-byte master-secret buffer to fill; all
// three are null when the resumption failed. Returns 1 when the master secret was set.
using tls_session_ticket_cb = int (*)(void *ctx, const uint8_t *ticket, size_t len,
                                      const uint8_t *client_random, const uint8_t *server_random,
                                      uint8_t *master_secret);
int tls_conn_set_session_ticket_cb(tls_library_ctx *ctx, tls_conn *conn, tls_session_ticket_cb cb,
                                   void *cb_ctx);
const char *tls_library_version_text(char *buf, size_t buflen);

// Domain matching against a certificate's DNS names (or its commonName when it has
// none): full = exact name, otherwise a suffix on a label boundary.
bool tls_name_domain_match(const char *name, size_t name_len, const char *match, bool full);
