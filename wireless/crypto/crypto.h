// One-shot cryptographic functions of the wireless code: digests, HMACs, ciphers, AES key
// wrap, Diffie-Hellman, PBKDF2 and the pseudo-random functions. All OpenSSL work runs in
// the wireless code's own library context with the "default" and "legacy" providers
// loaded there, so that provider changes of the web side (which toggles "legacy" in the
// default context) never reach it. Return convention: 0 success, -1 failure; outputs are
// supplied by the caller unless a wpa_buf is returned. After a failure partial outputs are
// not valid.
//
// The vector forms take a list of buffers (count, pointers, lengths) and process them in
// order as one message.
#pragma once

#include <cstddef>
#include <cstdint>

#include <openssl/types.h>

struct wpa_buf;

// The wireless code's library context ("default" and "legacy" loaded), created on first
// use; null when it cannot be set up. Without "legacy" only MD4, RC4 and DES fail.
OSSL_LIB_CTX *crypto_lib_ctx();

// Digest named as OpenSSL names it ("MD4", "MD5", "SHA1", "SHA256", "SHA384", "SHA512").
int crypto_digest_vector(const char *digest, size_t num_elem, const uint8_t *addr[], const size_t *len,
                         uint8_t *out);
int crypto_md4_vector(size_t num_elem, const uint8_t *addr[], const size_t *len, uint8_t *mac);
int crypto_md5_vector(size_t num_elem, const uint8_t *addr[], const size_t *len, uint8_t *mac);
int crypto_sha1_vector(size_t num_elem, const uint8_t *addr[], const size_t *len, uint8_t *mac);
int crypto_sha256_vector(size_t num_elem, const uint8_t *addr[], const size_t *len, uint8_t *mac);

int crypto_hmac_vector(const char *digest, const uint8_t *key, size_t key_len, size_t num_elem,
                       const uint8_t *addr[], const size_t *len, uint8_t *mac);
int crypto_hmac_md5_vector(const uint8_t *key, size_t key_len, size_t num_elem, const uint8_t *addr[],
                           const size_t *len, uint8_t *mac);
int crypto_hmac_md5(const uint8_t *key, size_t key_len, const uint8_t *data, size_t data_len, uint8_t *mac);
int crypto_hmac_sha1_vector(const uint8_t *key, size_t key_len, size_t num_elem, const uint8_t *addr[],
                            const size_t *len, uint8_t *mac);
int crypto_hmac_sha1(const uint8_t *key, size_t key_len, const uint8_t *data, size_t data_len, uint8_t *mac);
int crypto_hmac_sha256_vector(const uint8_t *key, size_t key_len, size_t num_elem, const uint8_t *addr[],
                              const size_t *len, uint8_t *mac);
int crypto_hmac_sha256(const uint8_t *key, size_t key_len, const uint8_t *data, size_t data_len,
                       uint8_t *mac);

// DES-ECB of one 8-byte block with a 7-byte (56-bit) key, spread over 8 key bytes of 7
// bits each with the lowest bit of every byte set.
int crypto_des_encrypt_block(const uint8_t *clear, const uint8_t *key, uint8_t *cypher);

// RC4 in place after discarding skip bytes of key stream (in 16-byte steps).
int crypto_rc4_skip_encrypt(const uint8_t *key, size_t key_len, size_t skip, uint8_t *data, size_t data_len);

// Key wrap of n 64-bit blocks (output n + 1 blocks) and unwrap (-1 when the integrity
// check fails); KEK of 16, 24 or 32 bytes.
int crypto_aes_key_wrap(const uint8_t *kek, size_t kek_len, size_t n, const uint8_t *plain, uint8_t *cipher);
int crypto_aes_key_unwrap(const uint8_t *kek, size_t kek_len, size_t n, const uint8_t *cipher,
                          uint8_t *plain);

// AES-128-CBC in place without padding; the length must be a multiple of 16.
int crypto_aes128_cbc_encrypt(const uint8_t *key, const uint8_t *iv, uint8_t *data, size_t data_len);
int crypto_aes128_cbc_decrypt(const uint8_t *key, const uint8_t *iv, uint8_t *data, size_t data_len);

// Diffie-Hellman on the 1536-bit MODP group with generator 2 ("modp_1536"). The context
// owns the key pair; private and public values come back as big-endian buffers of their
// own length. A peer value outside 2 .. p-2 is refused.
struct crypto_dh5_ctx;
crypto_dh5_ctx *crypto_dh5_init(wpa_buf **priv, wpa_buf **publ);
wpa_buf *crypto_dh5_derive(crypto_dh5_ctx *ctx, const wpa_buf *peer_public);
void crypto_dh5_free(crypto_dh5_ctx *ctx);

// PBKDF2 with HMAC-SHA1 (WPA pass phrase to PSK: the SSID as salt, 4096 iterations, 32
// bytes). Salts of any length, down to one byte, are accepted.
int crypto_pbkdf2_sha1(const char *passphrase, const uint8_t *salt, size_t salt_len, int iterations,
                       uint8_t *out, size_t out_len);

// IEEE 802.11 SHA-1 PRF: HMAC-SHA1(key, label, 0, data, counter) blocks, counter from 0.
int sha1_prf(const uint8_t *key, size_t key_len, const char *label, const uint8_t *data, size_t data_len,
             uint8_t *out, size_t out_len);

// The EAP-FAST T-PRF (RFC 4851): SHA-1 blocks chained over label, a zero byte, the seed,
// the output length (16-bit) and a one-byte counter from 1; at most 255 blocks.
int sha1_t_prf(const uint8_t *key, size_t key_len, const char *label, const uint8_t *seed, size_t seed_len,
               uint8_t *out, size_t out_len);

// TLS 1.0/1.1 PRF (MD5 and SHA-1 halves); an odd secret length is refused.
int tls_prf_sha1_md5(const uint8_t *secret, size_t secret_len, const char *label, const uint8_t *seed,
                     size_t seed_len, uint8_t *out, size_t out_len);
// TLS 1.2 PRF with the given digest ("SHA256", "SHA384", as the cipher suite names it).
int crypto_tls12_prf(const char *digest, const uint8_t *secret, size_t secret_len, const char *label,
                     const uint8_t *seed, size_t seed_len, uint8_t *out, size_t out_len);
// TLS 1.2 PRF with SHA-256.
int crypto_tls12_prf_sha256(const uint8_t *secret, size_t secret_len, const char *label, const uint8_t *seed,
                            size_t seed_len, uint8_t *out, size_t out_len);
