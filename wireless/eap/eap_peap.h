// The PEAP key derivation function PRF+ (HMAC-SHA1 based; the counter layout differs
// between versions 0 and 1).
#pragma once

#include <cstddef>
#include <cstdint>

int eap_peap_prf_plus(int version, const uint8_t *key, size_t key_len, const char *label, const uint8_t *seed,
                      size_t seed_len, uint8_t *buf, size_t buf_len);

// The TLVs of a PEAP TLV request (EAP type 33 payload): the Result and Crypto-Binding
// values (pointing into the input). 0 parsed; 1 an unknown mandatory TLV (its type in
// nak_type); -1 malformed.
struct eap_peap_tlvs {
    const uint8_t *result;
    size_t result_len;
    const uint8_t *binding;
    size_t binding_len;
    int nak_type;
};
int eap_peap_parse_tlvs(const uint8_t *pos, size_t left, eap_peap_tlvs *out);
