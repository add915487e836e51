// The OpenSSL side of the wireless crypto functions: every algorithm is fetched from the
// wireless code's own library context.
#include "wireless/crypto/crypto.h"

#include "wireless/core/wpabuf.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/provider.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct LibCtx {
    OSSL_LIB_CTX *ctx = nullptr;
    OSSL_PROVIDER *deflt = nullptr;
    OSSL_PROVIDER *legacy = nullptr;
};

LibCtx makeLibCtx() {
    LibCtx lc;
    lc.ctx = OSSL_LIB_CTX_new();
    if (lc.ctx == nullptr) return lc;
    lc.deflt = OSSL_PROVIDER_load(lc.ctx, "default");
    if (lc.deflt == nullptr) {
        OSSL_LIB_CTX_free(lc.ctx);
        return LibCtx{};
    }
    // MD4, RC4 and DES live in "legacy". Without it those functions fail one by one
    // while everything else (PSK, key wrap, HMACs) keeps working.
    lc.legacy = OSSL_PROVIDER_load(lc.ctx, "legacy");
    return lc;
}

struct MdFree {
    void operator()(EVP_MD *p) const { EVP_MD_free(p); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX *p) const { EVP_MD_CTX_free(p); }
};
struct MacFree {
    void operator()(EVP_MAC *p) const { EVP_MAC_free(p); }
};
struct MacCtxFree {
    void operator()(EVP_MAC_CTX *p) const { EVP_MAC_CTX_free(p); }
};
struct CipherFree {
    void operator()(EVP_CIPHER *p) const { EVP_CIPHER_free(p); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX *p) const { EVP_CIPHER_CTX_free(p); }
};
struct KdfFree {
    void operator()(EVP_KDF *p) const { EVP_KDF_free(p); }
};
struct KdfCtxFree {
    void operator()(EVP_KDF_CTX *p) const { EVP_KDF_CTX_free(p); }
};
struct PkeyFree {
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX *p) const { EVP_PKEY_CTX_free(p); }
};
struct BnFree {
    void operator()(BIGNUM *p) const { BN_clear_free(p); }
};

using MdPtr = std::unique_ptr<EVP_MD, MdFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using MacPtr = std::unique_ptr<EVP_MAC, MacFree>;
using MacCtxPtr = std::unique_ptr<EVP_MAC_CTX, MacCtxFree>;
using CipherPtr = std::unique_ptr<EVP_CIPHER, CipherFree>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;
using KdfPtr = std::unique_ptr<EVP_KDF, KdfFree>;
using KdfCtxPtr = std::unique_ptr<EVP_KDF_CTX, KdfCtxFree>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

// Runs a cipher over len bytes from in to out (which may be the same) and checks that
// the final step adds nothing: without padding a partial block makes it fail.
int cipherOneShot(const char *name, int enc, const uint8_t *key, size_t key_len, const uint8_t *iv,
                  const uint8_t *in, size_t len, uint8_t *out, bool padding) {
    OSSL_LIB_CTX *lc = crypto_lib_ctx();
    if (lc == nullptr || len > INT32_MAX) return -1;
    CipherPtr cipher(EVP_CIPHER_fetch(lc, name, nullptr));
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!cipher || !ctx) return -1;
    if (EVP_CipherInit_ex2(ctx.get(), cipher.get(), nullptr, nullptr, enc, nullptr) != 1) return -1;
    if (static_cast<size_t>(EVP_CIPHER_CTX_get_key_length(ctx.get())) != key_len &&
        EVP_CIPHER_CTX_set_key_length(ctx.get(), static_cast<int>(key_len)) != 1)
        return -1;
    if (EVP_CipherInit_ex2(ctx.get(), nullptr, key, iv, enc, nullptr) != 1) return -1;
    if (!padding && EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) return -1;
    int outl = 0;
    if (len > 0 && EVP_CipherUpdate(ctx.get(), out, &outl, in, static_cast<int>(len)) != 1) return -1;
    if (static_cast<size_t>(outl) != len) return -1;
    uint8_t tail[32];
    int taill = 0;
    if (EVP_CipherFinal_ex(ctx.get(), tail, &taill) != 1 || taill != 0) {
        OPENSSL_cleanse(tail, sizeof(tail));
        return -1;
    }
    return 0;
}

} // namespace

OSSL_LIB_CTX *crypto_lib_ctx() {
    // Made once and kept for the life of the process, like the providers of the
    // default context.
    static const LibCtx lc = makeLibCtx();
    return lc.ctx;
}

int crypto_digest_vector(const char *digest, size_t num_elem, const uint8_t *addr[], const size_t *len,
                         uint8_t *out) {
    OSSL_LIB_CTX *lc = crypto_lib_ctx();
    if (lc == nullptr || digest == nullptr) return -1;
    MdPtr md(EVP_MD_fetch(lc, digest, nullptr));
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!md || !ctx) return -1;
    if (EVP_DigestInit_ex2(ctx.get(), md.get(), nullptr) != 1) return -1;
    for (size_t i = 0; i < num_elem; i++) {
        if (len[i] > 0 && EVP_DigestUpdate(ctx.get(), addr[i], len[i]) != 1) return -1;
    }
    unsigned int outl = 0;
    if (EVP_DigestFinal_ex(ctx.get(), out, &outl) != 1) return -1;
    return 0;
}

int crypto_md4_vector(size_t num_elem, const uint8_t *addr[], const size_t *len, uint8_t *mac) {
    return crypto_digest_vector("MD4", num_elem, addr, len, mac);
}

int crypto_md5_vector(size_t num_elem, const uint8_t *addr[], const size_t *len, uint8_t *mac) {
    return crypto_digest_vector("MD5", num_elem, addr, len, mac);
}

int crypto_sha1_vector(size_t num_elem, const uint8_t *addr[], const size_t *len, uint8_t *mac) {
    return crypto_digest_vector("SHA1", num_elem, addr, len, mac);
}

int crypto_sha256_vector(size_t num_elem, const uint8_t *addr[], const size_t *len, uint8_t *mac) {
    return crypto_digest_vector("SHA256", num_elem, addr, len, mac);
}

int crypto_hmac_vector(const char *digest, const uint8_t *key, size_t key_len, size_t num_elem,
                       const uint8_t *addr[], const size_t *len, uint8_t *mac) {
    OSSL_LIB_CTX *lc = crypto_lib_ctx();
    if (lc == nullptr || digest == nullptr) return -1;
    MacPtr hmac(EVP_MAC_fetch(lc, "HMAC", nullptr));
    if (!hmac) return -1;
    MacCtxPtr ctx(EVP_MAC_CTX_new(hmac.get()));
    if (!ctx) return -1;
    OSSL_PARAM params[2];
    params[0] = OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char *>(digest), 0);
    params[1] = OSSL_PARAM_construct_end();
    // An empty key is a valid HMAC key; the library wants a non-null pointer for it.
    static const uint8_t emptyKey[1] = {0};
    if (EVP_MAC_init(ctx.get(), key_len > 0 ? key : emptyKey, key_len, params) != 1) return -1;
    for (size_t i = 0; i < num_elem; i++) {
        if (len[i] > 0 && EVP_MAC_update(ctx.get(), addr[i], len[i]) != 1) return -1;
    }
    size_t outl = 0;
    if (EVP_MAC_final(ctx.get(), mac, &outl, EVP_MAX_MD_SIZE) != 1) return -1;
    return 0;
}

int crypto_hmac_md5_vector(const uint8_t *key, size_t key_len, size_t num_elem, const uint8_t *addr[],
                           const size_t *len, uint8_t *mac) {
    return crypto_hmac_vector("MD5", key, key_len, num_elem, addr, len, mac);
}

int crypto_hmac_md5(const uint8_t *key, size_t key_len, const uint8_t *data, size_t data_len, uint8_t *mac) {
    return crypto_hmac_md5_vector(key, key_len, 1, &data, &data_len, mac);
}

int crypto_hmac_sha1_vector(const uint8_t *key, size_t key_len, size_t num_elem, const uint8_t *addr[],
                            const size_t *len, uint8_t *mac) {
    return crypto_hmac_vector("SHA1", key, key_len, num_elem, addr, len, mac);
}

int crypto_hmac_sha1(const uint8_t *key, size_t key_len, const uint8_t *data, size_t data_len, uint8_t *mac) {
    return crypto_hmac_sha1_vector(key, key_len, 1, &data, &data_len, mac);
}

int crypto_hmac_sha256_vector(const uint8_t *key, size_t key_len, size_t num_elem, const uint8_t *addr[],
                              const size_t *len, uint8_t *mac) {
    return crypto_hmac_vector("SHA256", key, key_len, num_elem, addr, len, mac);
}

int crypto_hmac_sha256(const uint8_t *key, size_t key_len, const uint8_t *data, size_t data_len,
                       uint8_t *mac) {
    return crypto_hmac_sha256_vector(key, key_len, 1, &data, &data_len, mac);
}

int crypto_des_encrypt_block(const uint8_t *clear, const uint8_t *key, uint8_t *cypher) {
    // Spread the 56 key bits over 8 bytes, 7 bits each in the high bits; the lowest bit
    // of every byte (DES's parity position, which it ignores) is set.
    uint8_t pkey[8];
    uint8_t next = 0;
    for (int i = 0; i < 7; i++) {
        const uint8_t tmp = key[i];
        pkey[i] = static_cast<uint8_t>((tmp >> i) | next | 1);
        next = static_cast<uint8_t>(tmp << (7 - i));
    }
    pkey[7] = static_cast<uint8_t>(next | 1);
    const int ret = cipherOneShot("DES-ECB", 1, pkey, sizeof(pkey), nullptr, clear, 8, cypher, false);
    OPENSSL_cleanse(pkey, sizeof(pkey));
    return ret;
}

int crypto_rc4_skip_encrypt(const uint8_t *key, size_t key_len, size_t skip, uint8_t *data, size_t data_len) {
    OSSL_LIB_CTX *lc = crypto_lib_ctx();
    if (lc == nullptr || key_len == 0 || key_len > INT32_MAX || data_len > INT32_MAX) return -1;
    CipherPtr cipher(EVP_CIPHER_fetch(lc, "RC4", nullptr));
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!cipher || !ctx) return -1;
    if (EVP_EncryptInit_ex2(ctx.get(), cipher.get(), nullptr, nullptr, nullptr) != 1) return -1;
    if (EVP_CIPHER_CTX_set_key_length(ctx.get(), static_cast<int>(key_len)) != 1) return -1;
    if (EVP_EncryptInit_ex2(ctx.get(), nullptr, key, nullptr, nullptr) != 1) return -1;
    uint8_t skipBuf[16];
    int outl = 0;
    for (size_t done = 0; done < skip; done += sizeof(skipBuf)) {
        const size_t step = skip - done < sizeof(skipBuf) ? skip - done : sizeof(skipBuf);
        if (EVP_EncryptUpdate(ctx.get(), skipBuf, &outl, skipBuf, static_cast<int>(step)) != 1) return -1;
    }
    OPENSSL_cleanse(skipBuf, sizeof(skipBuf));
    if (data_len > 0 && EVP_EncryptUpdate(ctx.get(), data, &outl, data, static_cast<int>(data_len)) != 1)
        return -1;
    return 0;
}

namespace {

const char *aesWrapName(size_t kek_len) {
    switch (kek_len) {
    case 16:
        return "AES-128-WRAP";
    case 24:
        return "AES-192-WRAP";
    case 32:
        return "AES-256-WRAP";
    default:
        return nullptr;
    }
}

// Key wrap or unwrap of in_len bytes; the cipher context (and with it the key schedule)
// is cleansed when it is freed.
int aesWrap(int enc, const uint8_t *kek, size_t kek_len, const uint8_t *in, size_t in_len, uint8_t *out,
            size_t out_len) {
    OSSL_LIB_CTX *lc = crypto_lib_ctx();
    const char *name = aesWrapName(kek_len);
    if (lc == nullptr || name == nullptr || in_len > INT32_MAX) return -1;
    CipherPtr cipher(EVP_CIPHER_fetch(lc, name, nullptr));
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!cipher || !ctx) return -1;
    EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    if (EVP_CipherInit_ex2(ctx.get(), cipher.get(), kek, nullptr, enc, nullptr) != 1) return -1;
    int outl = 0;
    if (EVP_CipherUpdate(ctx.get(), out, &outl, in, static_cast<int>(in_len)) != 1 ||
        static_cast<size_t>(outl) != out_len) {
        OPENSSL_cleanse(out, out_len);
        return -1;
    }
    return 0;
}

} // namespace

int crypto_aes_key_wrap(const uint8_t *kek, size_t kek_len, size_t n, const uint8_t *plain, uint8_t *cipher) {
    if (n < 1 || n > (INT32_MAX / 8) - 1) return -1;
    return aesWrap(1, kek, kek_len, plain, n * 8, cipher, (n + 1) * 8);
}

int crypto_aes_key_unwrap(const uint8_t *kek, size_t kek_len, size_t n, const uint8_t *cipher,
                          uint8_t *plain) {
    if (n < 1 || n > (INT32_MAX / 8) - 1) return -1;
    // Unwrap into a scratch buffer so that a failed integrity check leaves no half
    // decrypted key in the caller's output.
    std::vector<uint8_t> tmp(n * 8 + 16);
    int ret = aesWrap(0, kek, kek_len, cipher, (n + 1) * 8, tmp.data(), n * 8);
    if (ret == 0) memcpy(plain, tmp.data(), n * 8);
    OPENSSL_cleanse(tmp.data(), tmp.size());
    return ret;
}

int crypto_aes128_cbc_encrypt(const uint8_t *key, const uint8_t *iv, uint8_t *data, size_t data_len) {
    return cipherOneShot("AES-128-CBC", 1, key, 16, iv, data, data_len, data, false);
}

int crypto_aes128_cbc_decrypt(const uint8_t *key, const uint8_t *iv, uint8_t *data, size_t data_len) {
    return cipherOneShot("AES-128-CBC", 0, key, 16, iv, data, data_len, data, false);
}

struct crypto_dh5_ctx {
    EVP_PKEY *key;
};

namespace {

constexpr char kDh5Group[] = "modp_1536";
constexpr size_t kDh5Size = 192;

// A big-endian buffer holding exactly the bytes of a key parameter.
wpa_buf *bnParamBuf(const EVP_PKEY *key, const char *name) {
    BIGNUM *raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return nullptr;
    BnPtr bn(raw);
    wpa_buf *buf = wpa_buf_alloc(static_cast<size_t>(BN_num_bytes(bn.get())));
    if (buf == nullptr) return nullptr;
    BN_bn2bin(bn.get(), static_cast<uint8_t *>(wpa_buf_put(buf, buf->size)));
    return buf;
}

} // namespace

crypto_dh5_ctx *crypto_dh5_init(wpa_buf **priv, wpa_buf **publ) {
    *priv = nullptr;
    *publ = nullptr;
    OSSL_LIB_CTX *lc = crypto_lib_ctx();
    if (lc == nullptr) return nullptr;
    PkeyCtxPtr pctx(EVP_PKEY_CTX_new_from_name(lc, "DH", nullptr));
    if (!pctx || EVP_PKEY_keygen_init(pctx.get()) != 1) return nullptr;
    OSSL_PARAM params[2];
    params[0] =
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char *>(kDh5Group), 0);
    params[1] = OSSL_PARAM_construct_end();
    if (EVP_PKEY_CTX_set_params(pctx.get(), params) != 1) return nullptr;
    EVP_PKEY *raw = nullptr;
    if (EVP_PKEY_generate(pctx.get(), &raw) != 1) return nullptr;
    PkeyPtr key(raw);
    wpa_buf *pv = bnParamBuf(key.get(), OSSL_PKEY_PARAM_PRIV_KEY);
    wpa_buf *pb = bnParamBuf(key.get(), OSSL_PKEY_PARAM_PUB_KEY);
    auto *ctx = static_cast<crypto_dh5_ctx *>(calloc(1, sizeof(crypto_dh5_ctx)));
    if (pv == nullptr || pb == nullptr || ctx == nullptr) {
        wpa_buf_clear_free(pv);
        wpa_buf_free(pb);
        free(ctx);
        return nullptr;
    }
    ctx->key = key.release();
    *priv = pv;
    *publ = pb;
    return ctx;
}

wpa_buf *crypto_dh5_derive(crypto_dh5_ctx *ctx, const wpa_buf *peer_public) {
    OSSL_LIB_CTX *lc = crypto_lib_ctx();
    if (lc == nullptr || ctx == nullptr || peer_public == nullptr || peer_public->used == 0 ||
        peer_public->used > kDh5Size)
        return nullptr;

    BnPtr peer(BN_bin2bn(peer_public->buf, static_cast<int>(peer_public->used), nullptr));
    BIGNUM *rawP = nullptr;
    if (!peer || EVP_PKEY_get_bn_param(ctx->key, OSSL_PKEY_PARAM_FFC_P, &rawP) != 1) return nullptr;
    BnPtr p(rawP);
    // Values 0, 1 and p - 1 (and anything not below p) would force the shared secret
    // into a tiny set; refuse them before the library sees them.
    BnPtr pMinus1(BN_dup(p.get()));
    if (!pMinus1 || BN_sub_word(pMinus1.get(), 1) != 1) return nullptr;
    if (BN_cmp(peer.get(), BN_value_one()) <= 0 || BN_cmp(peer.get(), pMinus1.get()) >= 0) return nullptr;

    // The peer key: the same named group with the peer's public value.
    PkeyCtxPtr fctx(EVP_PKEY_CTX_new_from_name(lc, "DH", nullptr));
    if (!fctx || EVP_PKEY_fromdata_init(fctx.get()) != 1) return nullptr;
    std::vector<uint8_t> pubNative(kDh5Size);
    if (BN_bn2nativepad(peer.get(), pubNative.data(), static_cast<int>(pubNative.size())) < 0) return nullptr;
    OSSL_PARAM params[3];
    params[0] =
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char *>(kDh5Group), 0);
    params[1] = OSSL_PARAM_construct_BN(OSSL_PKEY_PARAM_PUB_KEY, pubNative.data(), pubNative.size());
    params[2] = OSSL_PARAM_construct_end();
    EVP_PKEY *rawPeer = nullptr;
    if (EVP_PKEY_fromdata(fctx.get(), &rawPeer, EVP_PKEY_PUBLIC_KEY, params) != 1) return nullptr;
    PkeyPtr peerKey(rawPeer);

    PkeyCtxPtr dctx(EVP_PKEY_CTX_new_from_pkey(lc, ctx->key, nullptr));
    if (!dctx || EVP_PKEY_derive_init(dctx.get()) != 1) return nullptr;
    if (EVP_PKEY_derive_set_peer(dctx.get(), peerKey.get()) != 1) return nullptr;
    size_t len = 0;
    if (EVP_PKEY_derive(dctx.get(), nullptr, &len) != 1 || len > kDh5Size) return nullptr;
    wpa_buf *secret = wpa_buf_alloc(kDh5Size);
    if (secret == nullptr) return nullptr;
    len = kDh5Size;
    if (EVP_PKEY_derive(dctx.get(), secret->buf, &len) != 1 || len > kDh5Size) {
        OPENSSL_cleanse(secret->buf, secret->size);
        wpa_buf_free(secret);
        return nullptr;
    }
    wpa_buf_put(secret, len);
    return secret;
}

void crypto_dh5_free(crypto_dh5_ctx *ctx) {
    if (ctx == nullptr) return;
    EVP_PKEY_free(ctx->key);
    free(ctx);
}

int crypto_pbkdf2_sha1(const char *passphrase, const uint8_t *salt, size_t salt_len, int iterations,
                       uint8_t *out, size_t out_len) {
    OSSL_LIB_CTX *lc = crypto_lib_ctx();
    if (lc == nullptr || passphrase == nullptr || iterations < 1 || out_len == 0) return -1;
    KdfPtr kdf(EVP_KDF_fetch(lc, "PBKDF2", nullptr));
    if (!kdf) return -1;
    KdfCtxPtr ctx(EVP_KDF_CTX_new(kdf.get()));
    if (!ctx) return -1;
    // PKCS#5 mode: no lower bounds on salt, iteration count or output length, since an
    // SSID of one byte is a valid salt.
    int pkcs5 = 1;
    unsigned int iter = static_cast<unsigned int>(iterations);
    static const uint8_t emptySalt[1] = {0};
    OSSL_PARAM params[6];
    params[0] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, const_cast<char *>(passphrase),
                                                  strlen(passphrase));
    params[1] = OSSL_PARAM_construct_octet_string(
        OSSL_KDF_PARAM_SALT, const_cast<uint8_t *>(salt_len > 0 ? salt : emptySalt), salt_len);
    params[2] = OSSL_PARAM_construct_uint(OSSL_KDF_PARAM_ITER, &iter);
    params[3] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char *>("SHA1"), 0);
    params[4] = OSSL_PARAM_construct_int(OSSL_KDF_PARAM_PKCS5, &pkcs5);
    params[5] = OSSL_PARAM_construct_end();
    if (EVP_KDF_derive(ctx.get(), out, out_len, params) != 1) {
        OPENSSL_cleanse(out, out_len);
        return -1;
    }
    return 0;
}

namespace {

// Both TLS PRFs run on the library's "TLS1-PRF" KDF: "MD5-SHA1" gives the TLS 1.0/1.1
// function (MD5 over the first half of the secret, SHA-1 over the second), "SHA256" the
// TLS 1.2 one. The KDF takes label and seed as one seed.
int tlsPrf(const char *digest, const uint8_t *secret, size_t secret_len, const char *label,
           const uint8_t *seed, size_t seed_len, uint8_t *out, size_t out_len) {
    OSSL_LIB_CTX *lc = crypto_lib_ctx();
    if (lc == nullptr || label == nullptr || out_len == 0) return -1;
    KdfPtr kdf(EVP_KDF_fetch(lc, "TLS1-PRF", nullptr));
    if (!kdf) return -1;
    KdfCtxPtr ctx(EVP_KDF_CTX_new(kdf.get()));
    if (!ctx) return -1;
    const size_t labelLen = strlen(label);
    std::vector<uint8_t> fullSeed(labelLen + seed_len);
    memcpy(fullSeed.data(), label, labelLen);
    if (seed_len > 0) memcpy(fullSeed.data() + labelLen, seed, seed_len);
    OSSL_PARAM params[4];
    params[0] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char *>(digest), 0);
    static const uint8_t emptySecret[1] = {0};
    params[1] = OSSL_PARAM_construct_octet_string(
        OSSL_KDF_PARAM_SECRET, const_cast<uint8_t *>(secret_len > 0 ? secret : emptySecret), secret_len);
    params[2] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, fullSeed.data(), fullSeed.size());
    params[3] = OSSL_PARAM_construct_end();
    if (EVP_KDF_derive(ctx.get(), out, out_len, params) != 1) {
        OPENSSL_cleanse(out, out_len);
        return -1;
    }
    return 0;
}

} // namespace

int tls_prf_sha1_md5(const uint8_t *secret, size_t secret_len, const char *label, const uint8_t *seed,
                     size_t seed_len, uint8_t *out, size_t out_len) {
    // The secret is split into two equal halves; an odd length has none.
    if (secret_len % 2 != 0) return -1;
    return tlsPrf("MD5-SHA1", secret, secret_len, label, seed, seed_len, out, out_len);
}

int crypto_tls12_prf(const char *digest, const uint8_t *secret, size_t secret_len, const char *label,
                     const uint8_t *seed, size_t seed_len, uint8_t *out, size_t out_len) {
    if (digest == nullptr || strcmp(digest, "MD5-SHA1") == 0) return -1;
    return tlsPrf(digest, secret, secret_len, label, seed, seed_len, out, out_len);
}

int crypto_tls12_prf_sha256(const uint8_t *secret, size_t secret_len, const char *label, const uint8_t *seed,
                            size_t seed_len, uint8_t *out, size_t out_len) {
    return tlsPrf("SHA256", secret, secret_len, label, seed, seed_len, out, out_len);
}
