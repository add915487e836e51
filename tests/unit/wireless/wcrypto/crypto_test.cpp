// The wireless crypto functions against the published vectors of the standards that
// define them.
#include "wireless/core/wpabuf.h"
#include "wireless/crypto/crypto.h"

#include "hex.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

using Bytes = std::vector<uint8_t>;

std::string digestOf(int (*fn)(size_t, const uint8_t *[], const size_t *, uint8_t *), const Bytes &msg,
                     size_t outLen) {
    const uint8_t *addr[1] = {msg.data()};
    size_t len[1] = {msg.size()};
    uint8_t out[64];
    EXPECT_EQ(0, fn(1, addr, len, out));
    return hex(out, outLen);
}

TEST(WirelessCrypto, Md4AndMd5Vectors) {
    struct Case {
        const char *msg;
        const char *md4;
        const char *md5;
    };
    const Case cases[] = {
        {"", "31d6cfe0d16ae931b73c59d7e0c089c0", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "bde52cb31de33e46245e05fbdbd6fb24", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "a448017aaf21d8525fc10ae87aa6729d", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "d9130a8164549fe818874806e1c7014b", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9",
         "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "043f8582f241db351ce627e153e7f0e4",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "e33b4ddc9c38f2199c3e7b164fcc0536", "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.msg);
        EXPECT_EQ(c.md4, digestOf(crypto_md4_vector, bytes(c.msg), 16));
        EXPECT_EQ(c.md5, digestOf(crypto_md5_vector, bytes(c.msg), 16));
    }
}

TEST(WirelessCrypto, VectorFormsHashTheBuffersAsOneMessage) {
    // "abc" split over three buffers, one of them empty, gives the digest of "abc".
    const uint8_t a[] = {'a'};
    const uint8_t bc[] = {'b', 'c'};
    const uint8_t *addr[3] = {a, nullptr, bc};
    size_t len[3] = {1, 0, 2};
    uint8_t out[32];
    ASSERT_EQ(0, crypto_sha1_vector(3, addr, len, out));
    EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", hex(out, 20));
    ASSERT_EQ(0, crypto_sha256_vector(3, addr, len, out));
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", hex(out, 32));
    EXPECT_EQ(-1, crypto_digest_vector("NO-SUCH-DIGEST", 3, addr, len, out));
}

struct HmacCase {
    Bytes key;
    Bytes data;
    const char *digest;
    const char *mac;
};

TEST(WirelessCrypto, HmacVectors) {
    const Bytes jefe = bytes("Jefe");
    const Bytes what = bytes("what do ya want for nothing?");
    const Bytes hiThere = bytes("Hi There");
    const Bytes bigKeyText = bytes("Test Using Larger Than Block-Size Key - Hash Key First");
    Bytes key25;
    for (int i = 1; i <= 25; i++)
        key25.push_back(static_cast<uint8_t>(i));
    const HmacCase cases[] = {
        // HMAC-MD5 and HMAC-SHA1 test cases
        {Bytes(16, 0x0b), hiThere, "MD5", "9294727a3638bb1c13f48ef8158bfc9d"},
        {jefe, what, "MD5", "750c783e6ab0b503eaa86e310a5db738"},
        {Bytes(16, 0xaa), Bytes(50, 0xdd), "MD5", "56be34521d144c88dbb8c733f0e8b3f6"},
        {key25, Bytes(50, 0xcd), "MD5", "697eaf0aca3a3aea3a75164746ffaa79"},
        {Bytes(80, 0xaa), bigKeyText, "MD5", "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {Bytes(20, 0x0b), hiThere, "SHA1", "b617318655057264e28bc0b6fb378c8ef146be00"},
        {jefe, what, "SHA1", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {Bytes(20, 0xaa), Bytes(50, 0xdd), "SHA1", "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {key25, Bytes(50, 0xcd), "SHA1", "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {Bytes(80, 0xaa), bigKeyText, "SHA1", "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        // HMAC-SHA-2 test cases
        {Bytes(20, 0x0b), hiThere, "SHA256",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {Bytes(20, 0x0b), hiThere, "SHA384",
         "afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59cfaea9ea9076ede7f4af152e8b2fa9cb6"},
        {Bytes(20, 0x0b), hiThere, "SHA512",
         "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274eaea3f4e4be9"
         "d914eeb61"
         "f1702e696c203a126854"},
        {jefe, what, "SHA256", "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {jefe, what, "SHA384",
         "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e8e2240ca5e69e2c78b3239ecfab21649"},
        {jefe, what, "SHA512",
         "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65f8f0e6fdcae"
         "ab1a34d4a6b"
         "4b636e070a38bce737"},
        {Bytes(131, 0xaa), bigKeyText, "SHA256",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {Bytes(131, 0xaa),
         bytes("This is a test using a larger than block-size key and a larger than block-size data. The key "
               "needs "
               "to be hashed before being used by the HMAC algorithm."),
         "SHA256", "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    for (const HmacCase &c : cases) {
        SCOPED_TRACE(std::string(c.digest) + " " + c.mac);
        const uint8_t *addr[1] = {c.data.data()};
        size_t len[1] = {c.data.size()};
        uint8_t mac[64];
        ASSERT_EQ(0, crypto_hmac_vector(c.digest, c.key.data(), c.key.size(), 1, addr, len, mac));
        const size_t macLen = strlen(c.mac) / 2;
        EXPECT_EQ(c.mac, hex(mac, macLen));
        // The one-buffer helpers give the same bytes.
        memset(mac, 0, sizeof(mac));
        if (strcmp(c.digest, "MD5") == 0) {
            ASSERT_EQ(0, crypto_hmac_md5(c.key.data(), c.key.size(), c.data.data(), c.data.size(), mac));
            EXPECT_EQ(c.mac, hex(mac, macLen));
        } else if (strcmp(c.digest, "SHA1") == 0) {
            ASSERT_EQ(0, crypto_hmac_sha1(c.key.data(), c.key.size(), c.data.data(), c.data.size(), mac));
            EXPECT_EQ(c.mac, hex(mac, macLen));
        } else if (strcmp(c.digest, "SHA256") == 0) {
            ASSERT_EQ(0, crypto_hmac_sha256(c.key.data(), c.key.size(), c.data.data(), c.data.size(), mac));
            EXPECT_EQ(c.mac, hex(mac, macLen));
        }
    }
}

TEST(WirelessCrypto, Pbkdf2Sha1Vectors) {
    struct Case {
        const char *pass;
        std::string salt;
        int iterations;
        const char *out;
    };
    const Case cases[] = {
        // IEEE 802.11 pass-phrase-to-PSK vectors (SSID as salt, 4096 iterations, 32 bytes)
        {"password", "IEEE", 4096, "f42c6fc52df0ebef9ebb4b90b38a5f902e83fe1b135a70e23aed762e9710a12e"},
        {"ThisIsAPassword", "ThisIsASSID", 4096,
         "0dc0d6eb90555ed6419756b9a15ec3e3209b63df707dd508d14581f8982721af"},
        {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "ZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZ", 4096,
         "becb93866bb8c3832cb777c2f559807c8c59afcb6eae734885001300a981cc62"},
        // PBKDF2-HMAC-SHA1 vectors
        {"password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
        {"password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
        {"password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
        {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
         "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
        // A one-byte SSID is a valid salt (no lower bound on the salt length).
        {"password", "A", 4096, "2f7ef5e900d3b44fe9096095880c06e15ed03d442da669de0bfa07bf36030bde"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pass + std::string("/") + c.salt);
        const size_t outLen = strlen(c.out) / 2;
        Bytes out(outLen);
        ASSERT_EQ(0, crypto_pbkdf2_sha1(c.pass, reinterpret_cast<const uint8_t *>(c.salt.data()),
                                        c.salt.size(), c.iterations, out.data(), out.size()));
        EXPECT_EQ(c.out, hex(out));
    }
}

TEST(WirelessCrypto, Sha1PrfVectors) {
    struct Case {
        Bytes key;
        Bytes data;
        const char *out;
    };
    // The 802.11 PRF test cases, all with the label "prefix" and 64 output bytes.
    const Case cases[] = {
        {Bytes(20, 0x0b), bytes("Hi There"),
         "bcd4c650b30b9684951829e0d75f9d54b862175ed9f00606e17d8da35402ffee75df78c3d31e0f889f012120c0862beb677"
         "53e7439ae242e"
         "db8373698356cf5a"},
        {bytes("Jefe"), bytes("what do ya want for nothing?"),
         "51f4de5b33f249adf81aeb713a3c20f4fe631446fabdfa58244759ae58ef9009a99abf4eac2ca5fa87e692c440eb40023e7"
         "babb206d61de7"
         "b92f41529092b8fc"},
        {Bytes(20, 0xaa), Bytes(50, 0xdd),
         "e1ac546ec4cb636f9976487be5c86be17a0252ca5d8d8df12cfb0473525249ce9dd8d177ead710bc9b590547239107aef7b"
         "4abd43d87f0a6"
         "8f1cbd9e2b6f7607"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.out);
        uint8_t out[64];
        ASSERT_EQ(0, sha1_prf(c.key.data(), c.key.size(), "prefix", c.data.data(), c.data.size(), out, 64));
        EXPECT_EQ(c.out, hex(out, 64));
        // 40 bytes are the first two blocks; 50 bytes cut the third block to 10 bytes.
        for (size_t n : {40u, 50u, 1u}) {
            uint8_t part[64];
            memset(part, 0xee, sizeof(part));
            ASSERT_EQ(0,
                      sha1_prf(c.key.data(), c.key.size(), "prefix", c.data.data(), c.data.size(), part, n));
            EXPECT_EQ(std::string(c.out).substr(0, 2 * n), hex(part, n));
            EXPECT_EQ(0xee, part[n]) << "written past the length asked";
        }
    }
}

TEST(WirelessCrypto, FastTPrfAgainstAnIndependentImplementation) {
    // RFC 4851 carries no T-PRF vector in a form at hand here; the check values come from a
    // separate Python implementation written from the RFC's definition (section 5.5):
    // T1 = HMAC-SHA1(key, label | 0 | seed | length16 | 1), Tn = HMAC-SHA1(key, Tn-1 | ... | n).
    Bytes key(32), seed(64);
    for (size_t i = 0; i < key.size(); i++)
        key[i] = static_cast<uint8_t>(i);
    for (size_t i = 0; i < 32; i++) {
        seed[i] = static_cast<uint8_t>(0xa0 + i % 16);
        seed[32 + i] = static_cast<uint8_t>(0x50 + i % 16);
    }
    uint8_t out[49];
    memset(out, 0xee, sizeof(out));
    ASSERT_EQ(0, sha1_t_prf(key.data(), key.size(), "PAC to master secret label hash", seed.data(),
                            seed.size(), out, 48));
    EXPECT_EQ(
        "bf586104b52ed9ee25d26da275759914e49afa354f1f23d09188256f20d1e204c62b01263fae12dccb4bd7425a1bbd29",
        hex(out, 48));
    EXPECT_EQ(0xee, out[48]) << "written past the length asked";
    // The output length is part of every block: a shorter output is no prefix of a longer one.
    uint8_t shorter[20];
    ASSERT_EQ(0, sha1_t_prf(key.data(), key.size(), "PAC to master secret label hash", seed.data(),
                            seed.size(), shorter, 20));
    EXPECT_NE(hex(out, 20), hex(shorter, 20));
    // 255 blocks at most.
    std::vector<uint8_t> big(255 * 20 + 1);
    EXPECT_EQ(-1, sha1_t_prf(key.data(), key.size(), "x", nullptr, 0, big.data(), big.size()));
}

TEST(WirelessCrypto, TlsPrfVectors) {
    // TLS 1.2 PRF with SHA-256: 100 bytes.
    const Bytes secret12 = unhex("9bbe436ba940f017b17652849a71db35");
    const Bytes seed12 = unhex("a0ba9f936cda311827a6f796ffd5198c");
    uint8_t out[104];
    ASSERT_EQ(0, crypto_tls12_prf_sha256(secret12.data(), secret12.size(), "test label", seed12.data(),
                                         seed12.size(), out, 100));
    EXPECT_EQ(
        "e3f229ba727be17b8d122620557cd453c2aab21d07c3d495329b52d4e61edb5a6b301791e90d35c9c9a46b4e14baf9af0fa0"
        "22f7077def17abfd3797c0564bab4fbc91666e9def9b97fce34f796789baa48082d122ee42c5a72e5a5110fff70187347b6"
        "6",
        hex(out, 100));

    // TLS 1.0/1.1 PRF (MD5 and SHA-1 halves): 104 bytes.
    const Bytes secret10(48, 0xab);
    const Bytes seed10(64, 0xcd);
    ASSERT_EQ(0, tls_prf_sha1_md5(secret10.data(), secret10.size(), "PRF Testvector", seed10.data(),
                                  seed10.size(), out, 104));
    EXPECT_EQ(
        "d3d4d1e349b5d515044666d51de32bab258cb521b6b053463e354832fd976754443bcf9a296519bc289abcbc1187e4ebd31e"
        "602353776c408aafb74cbc85eff69255f9788faa184cbb957a9819d84a5d7eb006eb459d3ae8de9810454b8b2d8f1afbc655"
        "a8c9a013",
        hex(out, 104));

    // A secret of odd length has no two halves: refused before anything is derived.
    memset(out, 0x5a, sizeof(out));
    EXPECT_EQ(-1,
              tls_prf_sha1_md5(secret10.data(), 47, "PRF Testvector", seed10.data(), seed10.size(), out, 16));
}

TEST(WirelessCrypto, DesKeySpreadGivesChallengeResponse) {
    // The worked example of MS-CHAPv2: user "User", password "clientPass".
    const Bytes authChallenge = unhex("5B5D7C7D7B3F2F3E3C2C602132262628");
    const Bytes peerChallenge = unhex("21402324255E262A28295F2B3A337C7E");
    const Bytes user = bytes("User");
    uint8_t sha[20];
    const uint8_t *addr[3] = {peerChallenge.data(), authChallenge.data(), user.data()};
    size_t len[3] = {peerChallenge.size(), authChallenge.size(), user.size()};
    ASSERT_EQ(0, crypto_sha1_vector(3, addr, len, sha));
    EXPECT_EQ("d02e4386bce91226", hex(sha, 8));

    // NtPasswordHash: MD4 of the password in UTF-16LE.
    Bytes unicode;
    for (char ch : std::string("clientPass")) {
        unicode.push_back(static_cast<uint8_t>(ch));
        unicode.push_back(0);
    }
    uint8_t hash[21] = {};
    const uint8_t *paddr[1] = {unicode.data()};
    size_t plen[1] = {unicode.size()};
    ASSERT_EQ(0, crypto_md4_vector(1, paddr, plen, hash));
    EXPECT_EQ("44ebba8d5312b8d611474411f56989ae", hex(hash, 16));

    // ChallengeResponse: the zero-padded 21-byte hash as three 7-byte DES keys.
    uint8_t response[24];
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(0, crypto_des_encrypt_block(sha, hash + 7 * i, response + 8 * i));
    EXPECT_EQ("82309ecd8d708b5ea08faa3981cd83544233114a3d85d6df", hex(response, 24));
}

TEST(WirelessCrypto, Rc4SkipVectors) {
    struct Case {
        const char *key;
        size_t offset;
        const char *stream;
    };
    // Key stream at the given offsets (RC4 test vectors), read by encrypting zeros.
    const Case cases[] = {
        {"0102030405", 0, "b2396305f03dc027ccc3524a0a1118a86982944f18fc82d589c403a47a0d0919"},
        {"0102030405", 240, "28cb1132c96ce286421dcaadb8b69eae1cfcf62b03eddb641d77dfcf7f8d8c93"},
        {"0102030405", 496, "42b7d0cdd918a8a33dd51781c81f40416459844432a7da923cfb3eb4980661f6"},
        {"0102030405", 752, "ec10327bde2beefd18f9277680457e22eb62638d4f0ba1fe9fca20e05bf8ff2b"},
        {"0102030405", 1520, "3294f744d8f9790507e70f62e5bbceead8729db41882259bee4f825325f5a130"},
        {"0102030405", 4080, "068326a2118416d21f9d04b2cd1ca050ff25b58995996707e51fbdf08b34d875"},
        {"0102030405060708090a0b0c0d0e0f10", 0,
         "9ac7cc9a609d1ef7b2932899cde41b975248c4959014126a6e8a84f11d1a9e1c"},
        {"0102030405060708090a0b0c0d0e0f10", 240,
         "065902e4b620f6cc36c8589f66432f2bd39d566bc6bce3010768151549f3873f"},
        {"0102030405060708090a0b0c0d0e0f10", 1520,
         "b40110c4190b5622a96116b0017ed297ffa0b514647ec04f6306b892ae661181"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.key) + "@" + std::to_string(c.offset));
        const Bytes key = unhex(c.key);
        uint8_t data[32] = {};
        ASSERT_EQ(0, crypto_rc4_skip_encrypt(key.data(), key.size(), c.offset, data, sizeof(data)));
        EXPECT_EQ(c.stream, hex(data, sizeof(data)));
        // Encrypting again with the same key stream gives the clear text back.
        ASSERT_EQ(0, crypto_rc4_skip_encrypt(key.data(), key.size(), c.offset, data, sizeof(data)));
        EXPECT_EQ(Bytes(32, 0), Bytes(data, data + 32));
    }
}

TEST(WirelessCrypto, AesKeyWrapVectors) {
    struct Case {
        const char *kek;
        const char *plain;
        const char *wrapped;
    };
    const Case cases[] = {
        {"000102030405060708090A0B0C0D0E0F", "00112233445566778899AABBCCDDEEFF",
         "1FA68B0A8112B447AEF34BD8FB5A7B829D3E862371D2CFE5"},
        {"000102030405060708090A0B0C0D0E0F1011121314151617", "00112233445566778899AABBCCDDEEFF",
         "96778B25AE6CA435F92B5B97C050AED2468AB8A17AD84E5D"},
        {"000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F",
         "00112233445566778899AABBCCDDEEFF", "64E8C3F9CE0F5BA263E9777905818A2A93C8191E7D6E8AE7"},
        {"000102030405060708090A0B0C0D0E0F1011121314151617",
         "00112233445566778899AABBCCDDEEFF0001020304050607",
         "031D33264E15D33268F24EC260743EDCE1C6C7DDEE725A936BA814915C6762D2"},
        {"000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F",
         "00112233445566778899AABBCCDDEEFF0001020304050607",
         "A8F9BC1612C68B3FF6E6F4FBE30E71E4769C8B80A32CB8958CD5D17D6B254DA1"},
        {"000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F",
         "00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F",
         "28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BFB988B9B7A02DD21"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.wrapped);
        const Bytes kek = unhex(c.kek);
        const Bytes plain = unhex(c.plain);
        const Bytes expected = unhex(c.wrapped);
        const size_t n = plain.size() / 8;
        Bytes wrapped(expected.size());
        ASSERT_EQ(0, crypto_aes_key_wrap(kek.data(), kek.size(), n, plain.data(), wrapped.data()));
        EXPECT_EQ(hex(expected), hex(wrapped));
        Bytes back(plain.size());
        ASSERT_EQ(0, crypto_aes_key_unwrap(kek.data(), kek.size(), n, wrapped.data(), back.data()));
        EXPECT_EQ(hex(plain), hex(back));

        // Any altered byte fails the integrity check and leaves the output untouched.
        for (size_t i : {size_t(0), wrapped.size() / 2, wrapped.size() - 1}) {
            Bytes bad = wrapped;
            bad[i] ^= 0x01;
            Bytes out(plain.size(), 0x77);
            EXPECT_EQ(-1, crypto_aes_key_unwrap(kek.data(), kek.size(), n, bad.data(), out.data()));
            EXPECT_EQ(Bytes(plain.size(), 0x77), out);
        }
    }
    // A KEK of another size is refused.
    uint8_t kek[20] = {}, plain[16] = {}, out[24];
    EXPECT_EQ(-1, crypto_aes_key_wrap(kek, sizeof(kek), 2, plain, out));
}

TEST(WirelessCrypto, Aes128CbcVectors) {
    const Bytes key = unhex("2b7e151628aed2a6abf7158809cf4f3c");
    const Bytes iv = unhex("000102030405060708090a0b0c0d0e0f");
    const Bytes plain = unhex("6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
                              "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710");
    const Bytes cipher = unhex("7649abac8119b246cee98e9b12e9197d 5086cb9b507219ee95db113a917678b2"
                               "73bed6b8e3c1743b7116e69e22229516 3ff1caa1681fac09120eca307586e1a7");
    Bytes data = plain;
    ASSERT_EQ(0, crypto_aes128_cbc_encrypt(key.data(), iv.data(), data.data(), data.size()));
    EXPECT_EQ(hex(cipher), hex(data));
    ASSERT_EQ(0, crypto_aes128_cbc_decrypt(key.data(), iv.data(), data.data(), data.size()));
    EXPECT_EQ(hex(plain), hex(data));
    // Without padding a partial block cannot be processed.
    data = plain;
    EXPECT_EQ(-1, crypto_aes128_cbc_encrypt(key.data(), iv.data(), data.data(), 20));
    EXPECT_EQ(-1, crypto_aes128_cbc_decrypt(key.data(), iv.data(), data.data(), 20));
}

// The 1536-bit MODP prime, as published.
const char kModp1536[] =
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B22514A08798E"
    "3404DDEF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F44C42E9A637ED6B0BFF5C"
    "B6F406B7EDEE386BFB5A899FA5AE9F24117C4B1FE649286651ECE45B3DC2007CB8A163BF0598DA48361C55D39A69"
    "163FA8FD24CF5F83655D23DCA3AD961C62F356208552BB9ED529077096966D670C354E4ABC9804F1746C08CA2373"
    "27FFFFFFFFFFFFFFFF";

struct BufFree {
    void operator()(wpa_buf *b) const { wpa_buf_clear_free(b); }
};
using BufPtr = std::unique_ptr<wpa_buf, BufFree>;

struct Dh {
    crypto_dh5_ctx *ctx = nullptr;
    BufPtr priv;
    BufPtr publ;
    Dh() {
        wpa_buf *pv = nullptr, *pb = nullptr;
        ctx = crypto_dh5_init(&pv, &pb);
        priv.reset(pv);
        publ.reset(pb);
    }
    ~Dh() { crypto_dh5_free(ctx); }
};

struct BnFree {
    void operator()(BIGNUM *b) const { BN_free(b); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

BufPtr bufOf(const Bytes &b) {
    return BufPtr(wpa_buf_alloc_copy(b.data(), b.size()));
}

Bytes bnBytes(const BIGNUM *bn) {
    Bytes out(BN_num_bytes(bn));
    BN_bn2bin(bn, out.data());
    return out;
}

TEST(WirelessCrypto, DhModp1536) {
    Dh a, b;
    ASSERT_NE(nullptr, a.ctx);
    ASSERT_NE(nullptr, b.ctx);
    ASSERT_NE(nullptr, a.publ);
    ASSERT_LE(wpa_buf_len(a.publ.get()), 192u);
    ASSERT_GT(wpa_buf_len(a.priv.get()), 0u);

    // Two pairs agree on the shared secret.
    BufPtr ab(crypto_dh5_derive(a.ctx, b.publ.get()));
    BufPtr ba(crypto_dh5_derive(b.ctx, a.publ.get()));
    ASSERT_NE(nullptr, ab);
    ASSERT_NE(nullptr, ba);
    EXPECT_GT(wpa_buf_len(ab.get()), 150u);
    EXPECT_EQ(hex(wpa_buf_head(ab.get()), wpa_buf_len(ab.get())),
              hex(wpa_buf_head(ba.get()), wpa_buf_len(ba.get())));

    // The group is the published prime with generator 2: with the peer value 4 = 2^2 the
    // secret is (g^x)^2 mod p, our own public value squared modulo that prime.
    BnPtr p(nullptr);
    {
        BIGNUM *raw = nullptr;
        ASSERT_GT(BN_hex2bn(&raw, kModp1536), 0);
        p.reset(raw);
    }
    BufPtr four(bufOf(Bytes{4}));
    BufPtr s(crypto_dh5_derive(a.ctx, four.get()));
    ASSERT_NE(nullptr, s);
    BnPtr pub(BN_bin2bn(wpa_buf_head(a.publ.get()), static_cast<int>(wpa_buf_len(a.publ.get())), nullptr));
    BnPtr expected(BN_new());
    std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> bnCtx(BN_CTX_new(), BN_CTX_free);
    ASSERT_EQ(1, BN_mod_sqr(expected.get(), pub.get(), p.get(), bnCtx.get()));
    EXPECT_EQ(hex(bnBytes(expected.get())), hex(wpa_buf_head(s.get()), wpa_buf_len(s.get())));

    // Peer values that force the secret into a tiny set are refused: 0, 1, p - 1, p.
    BnPtr pMinus1(BN_dup(p.get()));
    BN_sub_word(pMinus1.get(), 1);
    const Bytes refused[] = {Bytes{0}, Bytes{1}, bnBytes(pMinus1.get()), bnBytes(p.get())};
    for (const Bytes &value : refused) {
        SCOPED_TRACE(hex(value).substr(0, 16));
        BufPtr bad(bufOf(value));
        EXPECT_EQ(nullptr, crypto_dh5_derive(a.ctx, bad.get()));
    }
    // A peer value longer than the group is refused as well.
    BufPtr tooLong(bufOf(Bytes(193, 0x01)));
    EXPECT_EQ(nullptr, crypto_dh5_derive(a.ctx, tooLong.get()));
}

TEST(WirelessCrypto, OwnLibraryContextIgnoresTheDefaultOne) {
    // The web side loads and unloads "legacy" in the default context; the wireless
    // functions keep MD4, RC4 and DES through their own context all the same.
    const Bytes abc = bytes("abc");
    // The daemon holds "default" loaded in that context for good; so does this test, or
    // unloading "legacy" would leave the process's default context with no provider at all
    // and break the tests that run after it in the same process.
    static OSSL_PROVIDER *deflt = OSSL_PROVIDER_load(nullptr, "default");
    ASSERT_NE(nullptr, deflt);
    static const int unloadAtExit = std::atexit([] { OSSL_PROVIDER_unload(deflt); });
    (void)unloadAtExit;
    OSSL_PROVIDER *legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    ASSERT_NE(nullptr, legacy);
    EXPECT_EQ("a448017aaf21d8525fc10ae87aa6729d", digestOf(crypto_md4_vector, abc, 16));
    ASSERT_EQ(1, OSSL_PROVIDER_unload(legacy));
    EVP_MD *md4 = EVP_MD_fetch(nullptr, "MD4", nullptr);
    EXPECT_EQ(nullptr, md4) << "the default context still has MD4; the check below proves nothing";
    EVP_MD_free(md4);
    EXPECT_EQ("a448017aaf21d8525fc10ae87aa6729d", digestOf(crypto_md4_vector, abc, 16));
    uint8_t rc4[4] = {};
    const uint8_t key[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(0, crypto_rc4_skip_encrypt(key, sizeof(key), 0, rc4, sizeof(rc4)));
    EXPECT_EQ("b2396305", hex(rc4, 4));
    EXPECT_NE(nullptr, crypto_lib_ctx());
}

} // namespace
