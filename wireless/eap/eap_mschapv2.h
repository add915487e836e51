// MS-CHAPv2 helpers shared by EAP-MSCHAPv2 and TTLS/MSCHAPV2.
#pragma once

#include <cstddef>
#include <cstdint>

// From the user name (a "domain\" prefix is dropped), the password (or its NT hash when
// pwhash is set) and both challenges: NT-Response (24), the expected authenticator
// response (20) and the master key (16). 0 or -1.
int mschapv2_derive_response(const uint8_t *identity, size_t identity_len, const uint8_t *password,
                             size_t password_len, int pwhash, const uint8_t *auth_challenge,
                             const uint8_t *peer_challenge, uint8_t *nt_response, uint8_t *auth_response,
                             uint8_t *master_key);
// "S=" and 40 hex digits equal to the expected response (constant-time compare); 0 or -1.
int mschapv2_verify_auth_response(const uint8_t *auth_response, const uint8_t *buf, size_t buf_len);
