// EAP-FAST (RFC 4851, PAC provisioning as in RFC 5422): the TLVs inside the tunnel and the
// key derivations of the tunnel, parsed and computed here so that tests and fuzzers reach
// them without a TLS server.
#pragma once

#include <cstddef>
#include <cstdint>

struct eap_fast_pac;

enum {
    EAP_FAST_TLV_RESULT = 3,
    EAP_FAST_TLV_NAK = 4,
    EAP_FAST_TLV_EAP_PAYLOAD = 9,
    EAP_FAST_TLV_INTERMEDIATE_RESULT = 10,
    EAP_FAST_TLV_PAC = 11,
    EAP_FAST_TLV_CRYPTO_BINDING = 12,
    EAP_FAST_TLV_REQUEST_ACTION = 19,
};
enum { EAP_FAST_TLV_SUCCESS = 1, EAP_FAST_TLV_FAILURE = 2 };
// Value of a Crypto-Binding TLV: reserved, version, received version, sub-type, nonce (32),
// compound MAC (20).
constexpr size_t EAP_FAST_CRYPTO_BINDING_LEN = 56;

// The TLVs of one tunnelled request; the pointers point into the input.
struct eap_fast_tlvs {
    int result;  // 0 none, else EAP_FAST_TLV_SUCCESS or _FAILURE
    int iresult; // the same for Intermediate-Result
    const uint8_t *eap_payload;
    size_t eap_payload_len;
    const uint8_t *pac;
    size_t pac_len;
    const uint8_t *crypto_binding; // the value, EAP_FAST_CRYPTO_BINDING_LEN bytes or more
    size_t crypto_binding_len;
    bool request_action;
    int nak_type; // an unknown mandatory TLV (answered with a NAK and nothing else), else -1
};
// 0 parsed (nak_type may be set); -1 a TLV runs past the end (the request is dropped).
int eap_fast_parse_tlvs(const uint8_t *pos, size_t len, eap_fast_tlvs *out);

// The PAC of a PAC TLV's attributes (fields point into the input); 0 or -1 when
// malformed, incomplete or of an unknown PAC type.
int eap_fast_parse_pac_tlv(const uint8_t *pos, size_t len, eap_fast_pac *entry);

// Master secret of a PAC-based resumption: T-PRF(PAC-Key, "PAC to master secret label
// hash", server random | client random, 48).
int eap_fast_pac_master_secret(const uint8_t *pac_key, const uint8_t *server_random,
                               const uint8_t *client_random, uint8_t *master_secret);
// One step of the inner-method key chain: IMCK = T-PRF(S-IMCK, "Inner Methods Compound
// Keys", ISK, 60); S-IMCK becomes its first 40 bytes, CMK its last 20.
int eap_fast_imck_step(uint8_t s_imck[40], const uint8_t isk[32], uint8_t cmk[20]);
// HMAC-SHA1(CMK, the 60-byte Crypto-Binding TLV with its MAC field zeroed).
int eap_fast_compound_mac(const uint8_t cmk[20], const uint8_t tlv[60], uint8_t mac[20]);
