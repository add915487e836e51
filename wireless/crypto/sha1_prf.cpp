// The IEEE 802.11 SHA-1 pseudo-random function, built from HMAC-SHA1.
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
