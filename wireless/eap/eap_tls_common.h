// What the TLS-based EAP methods (TLS, PEAP, TTLS) share: the connection set-up from the
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
