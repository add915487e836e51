// What the TLS-based EAP methods (TLS, PEAP, TTLS, FAST) share: the connection set-up from the
// network's settings, the EAP-TLS framing (flags byte, optional 4-byte total length),
// reassembly of fragmented requests, fragmentation of responses and key export.
#pragma once

#include "wireless/eap/eap_i.h"

#include <cstddef>
#include <cstdint>

struct tls_conn;
struct tls_conn_params;
struct tls_library_ctx;

enum {
    EAP_TLS_FLAGS_LENGTH_INCLUDED = 0x80,
    EAP_TLS_FLAGS_MORE_FRAGMENTS = 0x40,
    EAP_TLS_FLAGS_START = 0x20
};
enum { EAP_TLS_VERSION_MASK = 0x07 };
// The most a reassembled TLS message may hold.
constexpr size_t EAP_TLS_MAX_MESSAGE = 65536;

struct eap_tls_data {
    tls_conn *conn;
    wpa_buf *tls_out;
    size_t tls_out_pos;
    size_t tls_out_limit;
    wpa_buf *tls_in;
    size_t tls_in_left;
    size_t tls_in_total;
    int phase2;
    int include_tls_length;
    eap_peer_sm *eap;
    tls_library_ctx *ssl_ctx;
    uint8_t eap_type;
};

void eap_tls_parse_phase_flags(tls_conn_params *params, const char *txt);
int eap_tls_conn_setup(eap_peer_sm *sm, eap_tls_data *data, eap_peer_config *config, uint8_t eap_type);
void eap_tls_conn_release(eap_peer_sm *sm, eap_tls_data *data);
// The TLS data of a request (payload after flags and length) or null with ret->ignore set.
const uint8_t *eap_tls_parse_request(eap_peer_sm *sm, eap_tls_data *data, uint8_t eap_type,
                                     eap_method_ret *ret, const wpa_buf *req, size_t *len, uint8_t *flags);
// -1 error, 0 response built, 1 nothing to send (handshake done), 2 application data.
int eap_tls_process_handshake(eap_peer_sm *sm, eap_tls_data *data, uint8_t eap_type, int peap_version,
                              uint8_t id, const wpa_buf *in_data, wpa_buf **out);
// 0 decrypted data in *out, 1 more fragments needed, -1 error.
int eap_tls_decrypt_app(eap_peer_sm *sm, eap_tls_data *data, const wpa_buf *in_data, wpa_buf **out);
int eap_tls_encrypt_app(eap_peer_sm *sm, eap_tls_data *data, uint8_t eap_type, int peap_version, uint8_t id,
                        const wpa_buf *plain, wpa_buf **out);
wpa_buf *eap_tls_build_ack(uint8_t id, uint8_t eap_type, int peap_version);
uint8_t *eap_tls_export_key(eap_peer_sm *sm, eap_tls_data *data, const char *label, size_t len);
uint8_t *eap_tls_session_id(eap_peer_sm *sm, eap_tls_data *data, uint8_t eap_type, size_t *len);
int eap_tls_status_text(eap_peer_sm *sm, eap_tls_data *data, char *buf, size_t buflen, int verbose);
int eap_tls_prepare_reauth(eap_peer_sm *sm, eap_tls_data *data);
int eap_tls_select_phase2_methods(eap_peer_config *config, const char *prefix, eap_method_type **types,
                                  size_t *num_types);
wpa_buf *eap_tls_phase2_nak(const eap_method_type *types, size_t num_types, const uint8_t *req_hdr);
// Waiting for an external certificate check: true while the held response must stay
// held (*out then null), false when processing goes on; *done is set when the check
// was refused.
bool eap_tls_ext_cert_check_wait(eap_peer_sm *sm, wpa_buf **held, eap_method_ret *ret, wpa_buf **out);

// What the tunnel methods (PEAP, TTLS, FAST) share around their inner method.
struct eap_tls_inner {
    const eap_peer_method *method;
    void *priv;
};
bool eap_tls_phase2_allowed(const eap_method_type *types, size_t num_types, unsigned int type);
// Creates the inner method of the type on first use, marked as inner method of the outer
// type while its init runs; 0 when it runs (or already ran), -1 when it cannot.
int eap_tls_phase2_init(eap_peer_sm *sm, eap_tls_inner *inner, uint8_t outer_type, unsigned int type);
void eap_tls_phase2_deinit(eap_peer_sm *sm, eap_tls_inner *inner);
// The inner session key for the crypto binding: the inner method's key cut to 32 bytes and
// zero-padded, 32 zero bytes when the method has no key operations; -1 when a method that
// has them yields no key. With swap_mschapv2, a 32-byte MSCHAPv2 key has its halves swapped
// (the server's send key first).
int eap_tls_phase2_isk(eap_peer_sm *sm, const eap_tls_inner *inner, bool swap_mschapv2, uint8_t isk[32]);
// A handshake step of a tunnel method (see eap_tls_process_handshake); while an external
// certificate check is awaited the response is kept in *held and 3 is returned.
int eap_tls_tunnel_handshake(eap_peer_sm *sm, eap_tls_data *data, uint8_t eap_type, int version, uint8_t id,
                             const wpa_buf *in_data, wpa_buf **held, wpa_buf **out);
// A malloc'ed copy of key material or a session id for the peer (null when src is null).
uint8_t *eap_tls_copy_out(const uint8_t *src, size_t len, size_t *out_len);
