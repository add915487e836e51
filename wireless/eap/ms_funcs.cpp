#include "wireless/eap/ms_funcs.h"

#include "wireless/core/os.h"
#include "wireless/crypto/crypto.h"

#include <cstring>

namespace {

constexpr size_t MAX_CHARS = 256;

int password_ucs2(const uint8_t *password, size_t len, uint8_t *buf, size_t *out_len) {
    return ms_chap_utf8_to_ucs2(password, len, buf, MAX_CHARS * 2, out_len);
}

// Zeroes a buffer in a way the compiler keeps.
void wipe(void *p, size_t len) {
    volatile uint8_t *b = static_cast<volatile uint8_t *>(p);
    while (len-- > 0)
        *b++ = 0;
}

} // namespace

int ms_chap_utf8_to_ucs2(const uint8_t *utf8, size_t len, uint8_t *ucs2, size_t ucs2_size, size_t *out_len) {
    size_t j = 0;
    for (size_t i = 0; i < len;) {
        if (j + 2 > ucs2_size || j / 2 >= MAX_CHARS) return -1;
        uint8_t c = utf8[i++];
        uint16_t ch;
        if (c < 0x80) {
            ch = c;
        } else if ((c & 0xe0) == 0xc0) {
            if (i >= len) return -1;
            ch = static_cast<uint16_t>(((c & 0x1f) << 6) | (utf8[i++] & 0x3f));
        } else if ((c & 0xf0) == 0xe0) {
            if (i + 1 >= len) return -1;
            ch = static_cast<uint16_t>(((c & 0x0f) << 12) | ((utf8[i] & 0x3f) << 6) | (utf8[i + 1] & 0x3f));
            i += 2;
        } else {
            return -1;
        }
        ucs2[j++] = static_cast<uint8_t>(ch);
        ucs2[j++] = static_cast<uint8_t>(ch >> 8);
    }
    *out_len = j;
    return 0;
}

int challenge_hash(const uint8_t *peer_challenge, const uint8_t *auth_challenge, const uint8_t *username,
                   size_t username_len, uint8_t *challenge) {
    const uint8_t *addr[3] = {peer_challenge, auth_challenge, username};
    const size_t len[3] = {16, 16, username_len};
    uint8_t hash[20];
    if (crypto_sha1_vector(3, addr, len, hash)) return -1;
    memcpy(challenge, hash, 8);
    return 0;
}

int nt_password_hash(const uint8_t *password, size_t password_len, uint8_t *password_hash) {
    uint8_t buf[MAX_CHARS * 2];
    size_t len;
    if (password_ucs2(password, password_len, buf, &len)) return -1;
    const uint8_t *addr[1] = {buf};
    int ret = crypto_md4_vector(1, addr, &len, password_hash);
    wipe(buf, sizeof(buf));
    return ret;
}

int hash_nt_password_hash(const uint8_t *password_hash, uint8_t *password_hash_hash) {
    const uint8_t *addr[1] = {password_hash};
    const size_t len = 16;
    return crypto_md4_vector(1, addr, &len, password_hash_hash);
}

int challenge_response(const uint8_t *challenge, const uint8_t *password_hash, uint8_t *response) {
    uint8_t zpwd[7] = {password_hash[14], password_hash[15], 0, 0, 0, 0, 0};
    if (crypto_des_encrypt_block(challenge, password_hash, response) ||
        crypto_des_encrypt_block(challenge, password_hash + 7, response + 8) ||
        crypto_des_encrypt_block(challenge, zpwd, response + 16))
        return -1;
    return 0;
}

int generate_nt_response_pwhash(const uint8_t *auth_challenge, const uint8_t *peer_challenge,
                                const uint8_t *username, size_t username_len, const uint8_t *password_hash,
                                uint8_t *response) {
    uint8_t challenge[8];
    if (challenge_hash(peer_challenge, auth_challenge, username, username_len, challenge)) return -1;
    return challenge_response(challenge, password_hash, response);
}

int generate_nt_response(const uint8_t *auth_challenge, const uint8_t *peer_challenge,
                         const uint8_t *username, size_t username_len, const uint8_t *password,
                         size_t password_len, uint8_t *response) {
    uint8_t hash[16];
    if (nt_password_hash(password, password_len, hash)) return -1;
    int ret =
        generate_nt_response_pwhash(auth_challenge, peer_challenge, username, username_len, hash, response);
    wipe(hash, sizeof(hash));
    return ret;
}

int generate_authenticator_response_pwhash(const uint8_t *password_hash, const uint8_t *peer_challenge,
                                           const uint8_t *auth_challenge, const uint8_t *username,
                                           size_t username_len, const uint8_t *nt_response,
                                           uint8_t *response) {
    static const uint8_t magic1[39] = {'M', 'a', 'g', 'i', 'c', ' ', 's', 'e', 'r', 'v', 'e', 'r', ' ',
                                       't', 'o', ' ', 'c', 'l', 'i', 'e', 'n', 't', ' ', 's', 'i', 'g',
                                       'n', 'i', 'n', 'g', ' ', 'c', 'o', 'n', 's', 't', 'a', 'n', 't'};
    static const char magic2[] = "Pad to make it do more than one iteration";
    uint8_t hash_hash[16], challenge[8];
    if (hash_nt_password_hash(password_hash, hash_hash)) return -1;
    const uint8_t *addr1[3] = {hash_hash, nt_response, magic1};
    const size_t len1[3] = {16, 24, sizeof(magic1)};
    if (crypto_sha1_vector(3, addr1, len1, response)) return -1;
    if (challenge_hash(peer_challenge, auth_challenge, username, username_len, challenge)) return -1;
    const uint8_t *addr2[3] = {response, challenge, reinterpret_cast<const uint8_t *>(magic2)};
    const size_t len2[3] = {20, 8, 41};
    return crypto_sha1_vector(3, addr2, len2, response);
}

int generate_authenticator_response(const uint8_t *password, size_t password_len,
                                    const uint8_t *peer_challenge, const uint8_t *auth_challenge,
                                    const uint8_t *username, size_t username_len, const uint8_t *nt_response,
                                    uint8_t *response) {
    uint8_t hash[16];
    if (nt_password_hash(password, password_len, hash)) return -1;
    int ret = generate_authenticator_response_pwhash(hash, peer_challenge, auth_challenge, username,
                                                     username_len, nt_response, response);
    wipe(hash, sizeof(hash));
    return ret;
}

int nt_challenge_response(const uint8_t *challenge, const uint8_t *password, size_t password_len,
                          uint8_t *response) {
    uint8_t hash[16];
    if (nt_password_hash(password, password_len, hash)) return -1;
    int ret = challenge_response(challenge, hash, response);
    wipe(hash, sizeof(hash));
    return ret;
}

int get_master_key(const uint8_t *password_hash_hash, const uint8_t *nt_response, uint8_t *master_key) {
    static const char magic1[] = "This is the MPPE Master Key";
    const uint8_t *addr[3] = {password_hash_hash, nt_response, reinterpret_cast<const uint8_t *>(magic1)};
    const size_t len[3] = {16, 24, 27};
    uint8_t hash[20];
    if (crypto_sha1_vector(3, addr, len, hash)) return -1;
    memcpy(master_key, hash, 16);
    return 0;
}

int get_asymetric_start_key(const uint8_t *master_key, uint8_t *session_key, size_t session_key_len,
                            int is_send, int is_server) {
    static const char magic2[] = "On the client side, this is the send key; on the server side, it is the "
                                 "receive key.";
    static const char magic3[] = "On the client side, this is the receive key; on the server side, it is the "
                                 "send key.";
    static_assert(sizeof(magic2) == 85 && sizeof(magic3) == 85);
    uint8_t shs_pad1[40], shs_pad2[40], digest[20];
    memset(shs_pad1, 0, sizeof(shs_pad1));
    memset(shs_pad2, 0xf2, sizeof(shs_pad2));
    const char *magic = (is_send != 0) == (is_server != 0) ? magic3 : magic2;
    const uint8_t *addr[4] = {master_key, shs_pad1, reinterpret_cast<const uint8_t *>(magic), shs_pad2};
    const size_t len[4] = {16, 40, 84, 40};
    if (crypto_sha1_vector(4, addr, len, digest)) return -1;
    if (session_key_len > 20) session_key_len = 20;
    memcpy(session_key, digest, session_key_len);
    return 0;
}

int new_password_encrypted_with_old_nt_password_hash_pwhash(const uint8_t *new_password,
                                                            size_t new_password_len,
                                                            const uint8_t *old_password_hash,
                                                            uint8_t *encrypted_pw_block) {
    uint8_t ucs2[MAX_CHARS * 2];
    size_t ucs2_len;
    if (password_ucs2(new_password, new_password_len, ucs2, &ucs2_len)) return -1;
    // The password sits at the end of the first 512 bytes; random bytes fill the rest.
    memset(encrypted_pw_block, 0, 516);
    const size_t offset = 512 - ucs2_len;
    if (os_get_random(encrypted_pw_block, offset) < 0) {
        wipe(ucs2, sizeof(ucs2));
        return -1;
    }
    memcpy(encrypted_pw_block + offset, ucs2, ucs2_len);
    wipe(ucs2, sizeof(ucs2));
    encrypted_pw_block[512] = static_cast<uint8_t>(ucs2_len);
    encrypted_pw_block[513] = static_cast<uint8_t>(ucs2_len >> 8);
    encrypted_pw_block[514] = 0;
    encrypted_pw_block[515] = 0;
    return crypto_rc4_skip_encrypt(old_password_hash, 16, 0, encrypted_pw_block, 516);
}

int new_password_encrypted_with_old_nt_password_hash(const uint8_t *new_password, size_t new_password_len,
                                                     const uint8_t *old_password, size_t old_password_len,
                                                     uint8_t *encrypted_pw_block) {
    uint8_t hash[16];
    if (nt_password_hash(old_password, old_password_len, hash)) return -1;
    int ret = new_password_encrypted_with_old_nt_password_hash_pwhash(new_password, new_password_len, hash,
                                                                      encrypted_pw_block);
    wipe(hash, sizeof(hash));
    return ret;
}

int old_nt_password_hash_encrypted_with_new_nt_password_hash_pwhash(const uint8_t *new_password_hash,
                                                                    const uint8_t *old_password_hash,
                                                                    uint8_t *encrypted_password_hash) {
    // DesEncrypt of each half of the old hash with the two 7-byte halves of the new one.
    if (crypto_des_encrypt_block(old_password_hash, new_password_hash, encrypted_password_hash) ||
        crypto_des_encrypt_block(old_password_hash + 8, new_password_hash + 7, encrypted_password_hash + 8))
        return -1;
    return 0;
}

int old_nt_password_hash_encrypted_with_new_nt_password_hash(const uint8_t *new_password,
                                                             size_t new_password_len,
                                                             const uint8_t *old_password,
                                                             size_t old_password_len,
                                                             uint8_t *encrypted_password_hash) {
    uint8_t old_hash[16], new_hash[16];
    int ret = -1;
    if (nt_password_hash(old_password, old_password_len, old_hash) == 0 &&
        nt_password_hash(new_password, new_password_len, new_hash) == 0)
        ret = old_nt_password_hash_encrypted_with_new_nt_password_hash_pwhash(new_hash, old_hash,
                                                                              encrypted_password_hash);
    wipe(old_hash, sizeof(old_hash));
    wipe(new_hash, sizeof(new_hash));
    return ret;
}

int chap_md5(uint8_t id, const uint8_t *secret, size_t secret_len, const uint8_t *challenge,
             size_t challenge_len, uint8_t *response) {
    const uint8_t *addr[3] = {&id, secret, challenge};
    const size_t len[3] = {1, secret_len, challenge_len};
    return crypto_md5_vector(3, addr, len, response);
}
