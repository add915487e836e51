// The MS-CHAP functions of RFC 2759 (MS-CHAPv2), RFC 3079 (MPPE keys) and CHAP-MD5 of
// RFC 1994, named as the RFCs name them. Passwords are UTF-8 and are converted to
// UCS-2 little-endian before hashing. All return 0 on success, -1 on failure.
#pragma once

#include <cstddef>
#include <cstdint>

// UTF-8 (1 to 3 bytes per character) to UCS-2 little-endian, at most 256 characters.
// The number of output bytes goes to *out_len; more characters, a truncated or a 4-byte
// sequence give -1.
int ms_chap_utf8_to_ucs2(const uint8_t *utf8, size_t len, uint8_t *ucs2, size_t ucs2_size, size_t *out_len);

int challenge_hash(const uint8_t *peer_challenge, const uint8_t *auth_challenge, const uint8_t *username,
                   size_t username_len, uint8_t *challenge);
int nt_password_hash(const uint8_t *password, size_t password_len, uint8_t *password_hash);
int hash_nt_password_hash(const uint8_t *password_hash, uint8_t *password_hash_hash);
int challenge_response(const uint8_t *challenge, const uint8_t *password_hash, uint8_t *response);
int generate_nt_response(const uint8_t *auth_challenge, const uint8_t *peer_challenge,
                         const uint8_t *username, size_t username_len, const uint8_t *password,
                         size_t password_len, uint8_t *response);
int generate_nt_response_pwhash(const uint8_t *auth_challenge, const uint8_t *peer_challenge,
                                const uint8_t *username, size_t username_len, const uint8_t *password_hash,
                                uint8_t *response);
int generate_authenticator_response(const uint8_t *password, size_t password_len,
                                    const uint8_t *peer_challenge, const uint8_t *auth_challenge,
                                    const uint8_t *username, size_t username_len, const uint8_t *nt_response,
                                    uint8_t *response);
int generate_authenticator_response_pwhash(const uint8_t *password_hash, const uint8_t *peer_challenge,
                                           const uint8_t *auth_challenge, const uint8_t *username,
                                           size_t username_len, const uint8_t *nt_response,
                                           uint8_t *response);
int nt_challenge_response(const uint8_t *challenge, const uint8_t *password, size_t password_len,
                          uint8_t *response);
int get_master_key(const uint8_t *password_hash_hash, const uint8_t *nt_response, uint8_t *master_key);
int get_asymetric_start_key(const uint8_t *master_key, uint8_t *session_key, size_t session_key_len,
                            int is_send, int is_server);
int new_password_encrypted_with_old_nt_password_hash(const uint8_t *new_password, size_t new_password_len,
                                                     const uint8_t *old_password, size_t old_password_len,
                                                     uint8_t *encrypted_pw_block);
int new_password_encrypted_with_old_nt_password_hash_pwhash(const uint8_t *new_password,
                                                            size_t new_password_len,
                                                            const uint8_t *old_password_hash,
                                                            uint8_t *encrypted_pw_block);
int old_nt_password_hash_encrypted_with_new_nt_password_hash(const uint8_t *new_password,
                                                             size_t new_password_len,
                                                             const uint8_t *old_password,
                                                             size_t old_password_len,
                                                             uint8_t *encrypted_password_hash);
int old_nt_password_hash_encrypted_with_new_nt_password_hash_pwhash(const uint8_t *new_password_hash,
                                                                    const uint8_t *old_password_hash,
                                                                    uint8_t *encrypted_password_hash);
// CHAP-MD5: MD5(identifier || secret || challenge).
int chap_md5(uint8_t id, const uint8_t *secret, size_t secret_len, const uint8_t *challenge,
             size_t challenge_len, uint8_t *response);
