// The SHA-1 based pseudo-random functions built from HMAC-SHA1: the IEEE 802.11 PRF and
// the T-PRF of EAP-FAST.
#include "wireless/crypto/crypto.h"

#include <openssl/crypto.h>

#include <cstring>

int sha1_prf(const uint8_t *key, size_t key_len, const char *label, const uint8_t *data, size_t data_len,
             uint8_t *out, size_t out_len) {
    // Each 20-byte block is HMAC-SHA1(key, label with its terminating zero, data, counter);
    // the one-byte counter starts at 0 and so limits the output to 256 blocks.
    if (label == nullptr || out_len > 256 * 20) return -1;
    uint8_t counter = 0;
    const uint8_t *addr[3] = {reinterpret_cast<const uint8_t *>(label), data, &counter};
    size_t len[3] = {strlen(label) + 1, data_len, 1};
    uint8_t block[20];
    size_t pos = 0;
    while (pos < out_len) {
        const size_t plen = out_len - pos < sizeof(block) ? out_len - pos : sizeof(block);
        if (crypto_hmac_sha1_vector(key, key_len, 3, addr, len, block) != 0) {
            OPENSSL_cleanse(block, sizeof(block));
            OPENSSL_cleanse(out, out_len);
            return -1;
        }
        memcpy(out + pos, block, plen);
        pos += plen;
        counter++;
    }
    OPENSSL_cleanse(block, sizeof(block));
    return 0;
}

int sha1_t_prf(const uint8_t *key, size_t key_len, const char *label, const uint8_t *seed, size_t seed_len,
               uint8_t *out, size_t out_len) {
    // T(i) = HMAC-SHA1(key, T(i-1), label with its terminating zero, seed, output length as
    // two bytes big-endian, i), T(0) empty, i from 1; the one-byte counter and the 16-bit
    // length field bound the output.
    if (label == nullptr || out_len > 255 * 20 || out_len > 0xffff) return -1;
    uint8_t block[20];
    const uint8_t length[2] = {static_cast<uint8_t>(out_len >> 8), static_cast<uint8_t>(out_len)};
    uint8_t counter = 1;
    const uint8_t *addr[5] = {block, reinterpret_cast<const uint8_t *>(label), seed, length, &counter};
    size_t len[5] = {0, strlen(label) + 1, seed_len, sizeof(length), 1};
    size_t pos = 0;
    while (pos < out_len) {
        if (crypto_hmac_sha1_vector(key, key_len, 5, addr, len, block) != 0) {
            OPENSSL_cleanse(block, sizeof(block));
            OPENSSL_cleanse(out, out_len);
            return -1;
        }
        const size_t plen = out_len - pos < sizeof(block) ? out_len - pos : sizeof(block);
        memcpy(out + pos, block, plen);
        pos += plen;
        len[0] = sizeof(block);
        counter++;
    }
    OPENSSL_cleanse(block, sizeof(block));
    return 0;
}
