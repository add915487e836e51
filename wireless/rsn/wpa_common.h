// The shared vocabulary of WPA/RSN security: cipher, key-management and protocol sets
// with their names and selectors, the WPA (vendor 00-50-F2 type 1), RSN (48) and OSEN
// (vendor 50-6F-9A type 0x12) element decoders, the EAPOL-Key key data parser and the
// key computations (PTK, EAPOL-Key MIC, PMKID). Pure functions over byte arrays; the
// element formats are little-endian, suite selectors are written OUI-OUI-OUI-type.
#pragma once

#include "wireless/core/cipher_text.h"

#include <cstddef>
#include <cstdint>

// ------------------------------------------------------------------ sets

// The cipher, key-management and protocol bits come from wireless/core/cipher_text.h.

// Masks over the key-management set.
enum : uint32_t {
    WPA_KEY_MGMT_MASK_8021X = 0x3c0a1,
    WPA_KEY_MGMT_MASK_SUITE_B = 0x30000,
    WPA_KEY_MGMT_MASK_FT_OR_SUITE_B = 0x30860,
    WPA_KEY_MGMT_MASK_PSK_LIKE = 0xd42,
    WPA_KEY_MGMT_MASK_AES_128_CMAC = 0x189e0,
};

// Element ids and selectors (as 32-bit values OUI << 8 | type).
enum : uint8_t { WLAN_EID_RSN = 48, WLAN_EID_VENDOR_SPECIFIC = 221 };
enum : uint32_t {
    WPA_OUI_TYPE_WPA = 0x0050f201,
    OSEN_IE_VENDOR_TYPE = 0x506f9a12,
    RSN_KEY_DATA_GTK = 0x000fac01,
    RSN_KEY_DATA_MAC_ADDR = 0x000fac03,
    RSN_KEY_DATA_PMKID = 0x000fac04,
    WFA_KEY_DATA_IP_ADDR_REQ = 0x506f9a04,
    WFA_KEY_DATA_IP_ADDR_ALLOC = 0x506f9a05,
};

enum { PMKID_LEN = 16, WPA_NONCE_LEN = 32, WPA_KEY_RSC_LEN = 8, WPA_GTK_MAX_LEN = 32 };

// ------------------------------------------------------------------ records

// A decoded WPA, RSN or OSEN element. `pmkid` points into the decoded element.
struct wpa_ie_info {
    uint32_t proto;
    uint32_t pairwise_cipher;
    uint32_t group_cipher;
    uint32_t key_mgmt;
    uint16_t capabilities;
    size_t num_pmkid;
    const uint8_t *pmkid;
    uint32_t mgmt_group_cipher;
};

// Pairwise transient key.
struct wpa_ptk_keys {
    uint8_t kck[24];
    uint8_t kek[32];
    uint8_t tk[32];
    size_t kck_len;
    size_t kek_len;
    size_t tk_len;
};

// EAPOL-Key key data, split into its elements and encapsulations; every pointer points
// into the parsed key data. Encapsulation bodies start after their four selector bytes.
struct wpa_eapol_ie_parse {
    const uint8_t *wpa_ie;
    size_t wpa_ie_len;
    const uint8_t *rsn_ie;
    size_t rsn_ie_len;
    const uint8_t *pmkid;
    const uint8_t *gtk;
    size_t gtk_len;
    const uint8_t *mac_addr;
    size_t mac_addr_len;
    const uint8_t *ip_addr_req;
    const uint8_t *ip_addr_alloc; // 12 bytes: IP address, netmask, group owner's address
};

// ------------------------------------------------------------------ element decoders

// Any security element: RSN and OSEN go to wpa_decode_rsn_ie, all others to
// wpa_decode_wpa1_ie. 0 or a negative code (-1 .. -9, see the two decoders); on failure
// `info` may hold the defaults and the parts read before the fault.
int wpa_decode_security_ie(const uint8_t *data, size_t len, wpa_ie_info *info);
// -1 too short, -2 bad header, -3 truncated group suite, -4 bad pairwise count, -5 one
// stray byte after the group suite, -6 bad AKM count, -7 one stray byte after the
// pairwise list.
int wpa_decode_wpa1_ie(const uint8_t *data, size_t len, wpa_ie_info *info);
// As for WPA, plus -1 for a group suite that is no valid group cipher and -9 for a PMKID
// list longer than the element.
int wpa_decode_rsn_ie(const uint8_t *data, size_t len, wpa_ie_info *info);

// 0 when both elements are present and byte-equal, else -1. ft_mode is not used.
int wpa_ie_matches(int ft_mode, const uint8_t *a, size_t a_len, const uint8_t *b, size_t b_len);

// ------------------------------------------------------------------ names and selectors

const char *wpa_cipher_name(uint32_t cipher);
const char *wpa_key_mgmt_name(uint32_t key_mgmt, uint32_t proto);

bool wpa_cipher_valid_pairwise(uint32_t cipher);
bool wpa_cipher_valid_group(uint32_t cipher);

// The cipher a selector names (0 for selectors not read).
uint32_t rsn_cipher_from_selector(uint32_t selector);
uint32_t wpa_cipher_from_selector(uint32_t selector);
uint32_t rsn_key_mgmt_from_selector(uint32_t selector);
uint32_t wpa_key_mgmt_from_selector(uint32_t selector);

// Selector of the first member of `set` (0 when none applies).
uint32_t wpa_cipher_suite_selector(uint32_t proto, uint32_t set);
// Write the selectors of the set's members; return how many were written.
int rsn_write_cipher_selectors(uint8_t *buf, uint32_t set);
int wpa_write_cipher_selectors(uint8_t *buf, uint32_t set);
void wpa_put_selector(uint8_t *pos, uint32_t selector);
uint32_t wpa_get_selector(const uint8_t *pos);

int wpa_choose_pairwise_cipher(uint32_t set, int none_allowed);
int wpa_choose_group_cipher(uint32_t set);
uint32_t wpa_ap_group_cipher(uint32_t protocols, uint32_t wpa_pairwise, uint32_t rsn_pairwise);

// The cipher words of the configuration (wpa_cipher_list_from_text and
// wpa_cipher_list_to_text) are in wireless/core/cipher_text.h.

size_t wpa_cipher_tk_length(uint32_t cipher);
size_t wpa_cipher_seq_length(uint32_t cipher);
int wpa_cipher_driver_alg(uint32_t cipher);

// ------------------------------------------------------------------ key data and keys

// 0, or -1 when an element runs past the end of the key data.
int wpa_parse_key_data(const uint8_t *data, size_t len, wpa_eapol_ie_parse *out);

size_t wpa_key_mic_length(uint32_t key_mgmt);
// MIC over a whole EAPOL frame whose MIC field the caller zeroed: descriptor version 1
// HMAC-MD5, version 2 HMAC-SHA1 (16 bytes); other versions -1 and nothing written.
int wpa_compute_key_mic(const uint8_t *kck, size_t kck_len, uint32_t key_mgmt, int version,
                        const uint8_t *frame, size_t frame_len, uint8_t *mic_out);
// PMKID = HMAC-SHA1(PMK, "PMK Name" | AA | SPA), first 16 bytes.
int rsn_compute_pmkid(const uint8_t *pmk, size_t pmk_len, const uint8_t *aa, const uint8_t *spa,
                      uint8_t *pmkid_out);
// PTK with the IEEE 802.11 SHA-1 PRF over min/max of the addresses and of the nonces.
int wpa_derive_ptk(const uint8_t *pmk, size_t pmk_len, const char *label, const uint8_t *addr1,
                   const uint8_t *addr2, const uint8_t *nonce1, const uint8_t *nonce2, wpa_ptk_keys *ptk_out,
                   uint32_t key_mgmt, uint32_t pairwise_cipher);
