// Cipher, key-management and protocol bit sets and the words that name them.
#pragma once

#include <cstddef>

enum : int {
    WPA_CIPHER_NONE = 0x1,
    WPA_CIPHER_WEP40 = 0x2,
    WPA_CIPHER_WEP104 = 0x4,
    WPA_CIPHER_TKIP = 0x8,
    WPA_CIPHER_CCMP = 0x10,
    WPA_CIPHER_AES_128_CMAC = 0x20,
    WPA_CIPHER_GCMP = 0x40,
    WPA_CIPHER_GCMP_256 = 0x100,
    WPA_CIPHER_CCMP_256 = 0x200,
    WPA_CIPHER_BIP_GMAC_128 = 0x800,
    WPA_CIPHER_BIP_GMAC_256 = 0x1000,
    WPA_CIPHER_BIP_CMAC_256 = 0x2000,
    WPA_CIPHER_GTK_NOT_USED = 0x4000,
};

enum : int {
    WPA_KEY_MGMT_IEEE8021X = 0x1,
    WPA_KEY_MGMT_PSK = 0x2,
    WPA_KEY_MGMT_NONE = 0x4,
    WPA_KEY_MGMT_IEEE8021X_NO_WPA = 0x8,
    WPA_KEY_MGMT_WPA_NONE = 0x10,
    WPA_KEY_MGMT_FT_IEEE8021X = 0x20,
    WPA_KEY_MGMT_FT_PSK = 0x40,
    WPA_KEY_MGMT_IEEE8021X_SHA256 = 0x80,
    WPA_KEY_MGMT_PSK_SHA256 = 0x100,
    WPA_KEY_MGMT_WPS = 0x200,
    WPA_KEY_MGMT_SAE = 0x400,
    WPA_KEY_MGMT_FT_SAE = 0x800,
    WPA_KEY_MGMT_CCKM = 0x4000,
    WPA_KEY_MGMT_OSEN = 0x8000,
    WPA_KEY_MGMT_IEEE8021X_SUITE_B = 0x10000,
    WPA_KEY_MGMT_IEEE8021X_SUITE_B_192 = 0x20000,
};

enum : int {
    WPA_PROTO_WPA = 0x1,
    WPA_PROTO_RSN = 0x2,
    WPA_PROTO_OSEN = 0x8,
};

enum : int {
    WPA_AUTH_ALG_OPEN = 0x1,
    WPA_AUTH_ALG_SHARED = 0x2,
    WPA_AUTH_ALG_LEAP = 0x4,
    WPA_AUTH_ALG_FT = 0x8,
    WPA_AUTH_ALG_SAE = 0x10,
};

// Words separated by blanks or tabs into a cipher set; -1 on an unknown word.
int wpa_cipher_list_from_text(const char *value);
// The set's words (CCMP-256, GCMP-256, CCMP, GCMP, TKIP, NONE) joined by delim; the
// length written, or -1 when the buffer is too small.
int wpa_cipher_list_to_text(char *pos, char *end, int ciphers, const char *delim);
