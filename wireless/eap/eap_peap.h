// The PEAP key derivation function PRF+ (HMAC-SHA1 based; the counter layout differs
// between versions 0 and 1).
#pragma once

#include <cstddef>
#include <cstdint>

int eap_peap_prf_plus(int version, const uint8_t *key, size_t key_len, const char *label, const uint8_t *seed,
                      size_t seed_len, uint8_t *buf, size_t buf_len);
