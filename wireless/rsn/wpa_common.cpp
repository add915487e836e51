// WPA/RSN elements, cipher and key-management sets, key data and key derivation.
#include "wireless/rsn/wpa_common.h"

#include "wireless/crypto/crypto.h"

#include <cstring>
#include <initializer_list>
#include <openssl/crypto.h>

namespace {

uint16_t get_le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// One row of the cipher table.
struct cipher_row {
    uint32_t cipher;
    const char *name;
    uint8_t rsn_type; // 0xff: no RSN selector
    uint8_t wpa_type; // 0xff: no WPA selector
    uint8_t tk_len;
    uint8_t seq_len;
    uint8_t alg;
};

constexpr uint8_t NO_SEL = 0xff;

constexpr cipher_row cipher_table[] = {
    {WPA_CIPHER_NONE, "NONE", 0, 0, 0, 0, 0},
    {WPA_CIPHER_WEP40, "WEP-40", NO_SEL, NO_SEL, 0, 0, 0},
    {WPA_CIPHER_WEP104, "WEP-104", NO_SEL, NO_SEL, 0, 0, 0},
    {WPA_CIPHER_TKIP, "TKIP", 2, 2, 32, 6, 2},
    {WPA_CIPHER_CCMP, "CCMP", 4, 4, 16, 6, 3},
    {WPA_CIPHER_AES_128_CMAC, "UNKNOWN", 6, NO_SEL, 16, 0, 4},
    {WPA_CIPHER_GCMP, "GCMP", 8, NO_SEL, 16, 6, 6},
    {WPA_CIPHER_GCMP_256, "GCMP-256", 9, NO_SEL, 32, 6, 9},
    {WPA_CIPHER_CCMP_256, "CCMP-256", 10, NO_SEL, 32, 6, 10},
    {WPA_CIPHER_BIP_GMAC_128, "UNKNOWN", 11, NO_SEL, 16, 0, 11},
    {WPA_CIPHER_BIP_GMAC_256, "UNKNOWN", 12, NO_SEL, 32, 0, 12},
    {WPA_CIPHER_BIP_CMAC_256, "UNKNOWN", 13, NO_SEL, 32, 0, 13},
    {WPA_CIPHER_GTK_NOT_USED, "GTK_NOT_USED", 7, NO_SEL, 0, 0, 0},
};

const cipher_row *cipher_lookup(uint32_t cipher) {
    for (const auto &row : cipher_table)
        if (row.cipher == cipher) return &row;
    return nullptr;
}

constexpr uint32_t RSN_OUI = 0x000fac;
constexpr uint32_t WPA_OUI = 0x0050f2;
constexpr uint32_t sel(uint32_t oui, uint8_t type) {
    return oui << 8 | type;
}

void set_defaults(wpa_ie_info *info, uint32_t proto, uint32_t cipher) {
    std::memset(info, 0, sizeof(*info));
    info->proto = proto;
    info->pairwise_cipher = cipher;
    info->group_cipher = cipher;
    info->key_mgmt = WPA_KEY_MGMT_IEEE8021X;
}

using selector_map = uint32_t (*)(uint32_t);

// The common body of both element forms after their header: group suite, pairwise
// list, AKM list and capabilities. `pos`/`left` advance over what was read.
int decode_suites(const uint8_t *&pos, size_t &left, wpa_ie_info *info, selector_map cipher_map,
                  selector_map akm_map, bool rsn) {
    if (left >= 4) {
        info->group_cipher = cipher_map(wpa_get_selector(pos));
        if (rsn && !wpa_cipher_valid_group(info->group_cipher)) return -1;
        pos += 4;
        left -= 4;
    } else if (left > 0) {
        return -3;
    }

    if (left >= 2) {
        const size_t count = get_le16(pos);
        pos += 2;
        left -= 2;
        if (count == 0 || count > left / 4) return -4;
        info->pairwise_cipher = 0;
        for (size_t i = 0; i < count; i++, pos += 4, left -= 4)
            info->pairwise_cipher |= cipher_map(wpa_get_selector(pos));
    } else if (left == 1) {
        return -5;
    }

    if (left >= 2) {
        const size_t count = get_le16(pos);
        pos += 2;
        left -= 2;
        if (count == 0 || count > left / 4) return -6;
        info->key_mgmt = 0;
        for (size_t i = 0; i < count; i++, pos += 4, left -= 4)
            info->key_mgmt |= akm_map(wpa_get_selector(pos));
    } else if (left == 1) {
        return -7;
    }

    if (left >= 2) {
        info->capabilities = get_le16(pos);
        pos += 2;
        left -= 2;
    }
    return 0;
}

} // namespace

// ------------------------------------------------------------------ selectors

void wpa_put_selector(uint8_t *pos, uint32_t selector) {
    pos[0] = static_cast<uint8_t>(selector >> 24);
    pos[1] = static_cast<uint8_t>(selector >> 16);
    pos[2] = static_cast<uint8_t>(selector >> 8);
    pos[3] = static_cast<uint8_t>(selector);
}

uint32_t wpa_get_selector(const uint8_t *pos) {
    return uint32_t(pos[0]) << 24 | uint32_t(pos[1]) << 16 | uint32_t(pos[2]) << 8 | pos[3];
}

uint32_t rsn_cipher_from_selector(uint32_t selector) {
    if (selector >> 8 != RSN_OUI) return 0;
    const uint8_t type = selector & 0xff;
    // The AES-128-CMAC selector is only ever written.
    if (type == 6) return 0;
    for (const auto &row : cipher_table)
        if (row.rsn_type == type) return row.cipher;
    return 0;
}

uint32_t wpa_cipher_from_selector(uint32_t selector) {
    switch (selector) {
    case sel(WPA_OUI, 0):
        return WPA_CIPHER_NONE;
    case sel(WPA_OUI, 2):
        return WPA_CIPHER_TKIP;
    case sel(WPA_OUI, 4):
        return WPA_CIPHER_CCMP;
    default:
        return 0;
    }
}

uint32_t rsn_key_mgmt_from_selector(uint32_t selector) {
    switch (selector) {
    case sel(RSN_OUI, 1):
        return WPA_KEY_MGMT_IEEE8021X;
    case sel(RSN_OUI, 2):
        return WPA_KEY_MGMT_PSK;
    case sel(RSN_OUI, 11):
        return WPA_KEY_MGMT_IEEE8021X_SUITE_B;
    case sel(RSN_OUI, 12):
        return WPA_KEY_MGMT_IEEE8021X_SUITE_B_192;
    case sel(0x506f9a, 1):
        return WPA_KEY_MGMT_OSEN;
    default:
        return 0;
    }
}

uint32_t wpa_key_mgmt_from_selector(uint32_t selector) {
    switch (selector) {
    case sel(WPA_OUI, 1):
        return WPA_KEY_MGMT_IEEE8021X;
    case sel(WPA_OUI, 2):
        return WPA_KEY_MGMT_PSK;
    case sel(WPA_OUI, 0):
        return WPA_KEY_MGMT_WPA_NONE;
    default:
        return 0;
    }
}

uint32_t wpa_cipher_suite_selector(uint32_t proto, uint32_t set) {
    static constexpr uint32_t order[] = {
        WPA_CIPHER_CCMP_256,     WPA_CIPHER_GCMP_256,     WPA_CIPHER_CCMP,         WPA_CIPHER_GCMP,
        WPA_CIPHER_TKIP,         WPA_CIPHER_NONE,         WPA_CIPHER_GTK_NOT_USED, WPA_CIPHER_AES_128_CMAC,
        WPA_CIPHER_BIP_GMAC_128, WPA_CIPHER_BIP_GMAC_256, WPA_CIPHER_BIP_CMAC_256,
    };
    for (uint32_t c : order) {
        if (!(set & c)) continue;
        const cipher_row *row = cipher_lookup(c);
        if (proto != WPA_PROTO_RSN && (c == WPA_CIPHER_CCMP || c == WPA_CIPHER_TKIP || c == WPA_CIPHER_NONE))
            return sel(WPA_OUI, row->wpa_type);
        return sel(RSN_OUI, row->rsn_type);
    }
    return 0;
}

int rsn_write_cipher_selectors(uint8_t *buf, uint32_t set) {
    static constexpr uint32_t order[] = {WPA_CIPHER_CCMP_256, WPA_CIPHER_GCMP_256, WPA_CIPHER_CCMP,
                                         WPA_CIPHER_GCMP,     WPA_CIPHER_TKIP,     WPA_CIPHER_NONE};
    int n = 0;
    for (uint32_t c : order)
        if (set & c) wpa_put_selector(buf + 4 * n++, sel(RSN_OUI, cipher_lookup(c)->rsn_type));
    return n;
}

int wpa_write_cipher_selectors(uint8_t *buf, uint32_t set) {
    static constexpr uint32_t order[] = {WPA_CIPHER_CCMP, WPA_CIPHER_TKIP, WPA_CIPHER_NONE};
    int n = 0;
    for (uint32_t c : order)
        if (set & c) wpa_put_selector(buf + 4 * n++, sel(WPA_OUI, cipher_lookup(c)->wpa_type));
    return n;
}

// ------------------------------------------------------------------ names

const char *wpa_cipher_name(uint32_t cipher) {
    if (cipher == (WPA_CIPHER_CCMP | WPA_CIPHER_TKIP)) return "CCMP+TKIP";
    const cipher_row *row = cipher_lookup(cipher);
    return row != nullptr ? row->name : "UNKNOWN";
}

const char *wpa_key_mgmt_name(uint32_t key_mgmt, uint32_t proto) {
    const uint32_t both = WPA_PROTO_WPA | WPA_PROTO_RSN;
    switch (key_mgmt) {
    case WPA_KEY_MGMT_IEEE8021X:
        if (proto == both) return "WPA2+WPA/IEEE 802.1X/EAP";
        return proto == WPA_PROTO_RSN ? "WPA2/IEEE 802.1X/EAP" : "WPA/IEEE 802.1X/EAP";
    case WPA_KEY_MGMT_PSK:
        if (proto == both) return "WPA2-PSK+WPA-PSK";
        return proto == WPA_PROTO_RSN ? "WPA2-PSK" : "WPA-PSK";
    case WPA_KEY_MGMT_NONE:
        return "NONE";
    case WPA_KEY_MGMT_IEEE8021X_NO_WPA:
        return "IEEE 802.1X (no WPA)";
    case WPA_KEY_MGMT_WPA_NONE:
        return "WPA-NONE";
    case WPA_KEY_MGMT_WPS:
        return "WPS";
    case WPA_KEY_MGMT_SAE:
        return "SAE";
    case WPA_KEY_MGMT_FT_SAE:
        return "FT-SAE";
    case WPA_KEY_MGMT_OSEN:
        return "OSEN";
    case WPA_KEY_MGMT_IEEE8021X_SUITE_B:
        return "WPA2-EAP-SUITE-B";
    case WPA_KEY_MGMT_IEEE8021X_SUITE_B_192:
        return "WPA2-EAP-SUITE-B-192";
    default:
        return "UNKNOWN";
    }
}

bool wpa_cipher_valid_pairwise(uint32_t cipher) {
    return cipher == WPA_CIPHER_TKIP || cipher == WPA_CIPHER_CCMP || cipher == WPA_CIPHER_GCMP ||
           cipher == WPA_CIPHER_GCMP_256 || cipher == WPA_CIPHER_CCMP_256;
}

bool wpa_cipher_valid_group(uint32_t cipher) {
    return wpa_cipher_valid_pairwise(cipher) || cipher == WPA_CIPHER_GTK_NOT_USED;
}

size_t wpa_cipher_tk_length(uint32_t cipher) {
    const cipher_row *row = cipher_lookup(cipher);
    return row != nullptr ? row->tk_len : 0;
}

size_t wpa_cipher_seq_length(uint32_t cipher) {
    const cipher_row *row = cipher_lookup(cipher);
    return row != nullptr ? row->seq_len : 0;
}

int wpa_cipher_driver_alg(uint32_t cipher) {
    const cipher_row *row = cipher_lookup(cipher);
    return row != nullptr ? row->alg : 0;
}

int wpa_choose_pairwise_cipher(uint32_t set, int none_allowed) {
    for (uint32_t c :
         {WPA_CIPHER_CCMP_256, WPA_CIPHER_GCMP_256, WPA_CIPHER_CCMP, WPA_CIPHER_GCMP, WPA_CIPHER_TKIP})
        if (set & c) return static_cast<int>(c);
    if (none_allowed && (set & WPA_CIPHER_NONE)) return WPA_CIPHER_NONE;
    return -1;
}

int wpa_choose_group_cipher(uint32_t set) {
    for (uint32_t c : {WPA_CIPHER_CCMP_256, WPA_CIPHER_GCMP_256, WPA_CIPHER_CCMP, WPA_CIPHER_GCMP,
                       WPA_CIPHER_GTK_NOT_USED, WPA_CIPHER_TKIP})
        if (set & c) return static_cast<int>(c);
    return -1;
}

uint32_t wpa_ap_group_cipher(uint32_t protocols, uint32_t wpa_pairwise, uint32_t rsn_pairwise) {
    uint32_t all = 0;
    if (protocols & WPA_PROTO_WPA) all |= wpa_pairwise;
    if (protocols & WPA_PROTO_RSN) all |= rsn_pairwise;
    if (all & WPA_CIPHER_TKIP) return WPA_CIPHER_TKIP;
    if ((all & (WPA_CIPHER_CCMP | WPA_CIPHER_GCMP)) == WPA_CIPHER_GCMP) return WPA_CIPHER_GCMP;
    if ((all & (WPA_CIPHER_CCMP | WPA_CIPHER_GCMP | WPA_CIPHER_GCMP_256)) == WPA_CIPHER_GCMP_256)
        return WPA_CIPHER_GCMP_256;
    if ((all & (WPA_CIPHER_CCMP | WPA_CIPHER_GCMP | WPA_CIPHER_CCMP_256)) == WPA_CIPHER_CCMP_256)
        return WPA_CIPHER_CCMP_256;
    return WPA_CIPHER_CCMP;
}

// ------------------------------------------------------------------ decoders

int wpa_decode_security_ie(const uint8_t *data, size_t len, wpa_ie_info *info) {
    if (data != nullptr && len >= 1 && data[0] == WLAN_EID_RSN) return wpa_decode_rsn_ie(data, len, info);
    if (data != nullptr && len >= 6 && data[0] == WLAN_EID_VENDOR_SPECIFIC && data[1] > 3 &&
        wpa_get_selector(data + 2) == OSEN_IE_VENDOR_TYPE)
        return wpa_decode_rsn_ie(data, len, info);
    return wpa_decode_wpa1_ie(data, len, info);
}

int wpa_decode_wpa1_ie(const uint8_t *data, size_t len, wpa_ie_info *info) {
    set_defaults(info, WPA_PROTO_WPA, WPA_CIPHER_TKIP);
    if (data == nullptr || len < 8) return -1;
    if (data[0] != WLAN_EID_VENDOR_SPECIFIC || data[1] != len - 2 ||
        wpa_get_selector(data + 2) != WPA_OUI_TYPE_WPA || get_le16(data + 6) != 1)
        return -2;
    const uint8_t *pos = data + 8;
    size_t left = len - 8;
    return decode_suites(pos, left, info, wpa_cipher_from_selector, wpa_key_mgmt_from_selector, false);
}

int wpa_decode_rsn_ie(const uint8_t *data, size_t len, wpa_ie_info *info) {
    set_defaults(info, WPA_PROTO_RSN, WPA_CIPHER_CCMP);
    if (data == nullptr || len <= 3) return -1;
    const uint8_t *pos;
    size_t left;
    if (data[0] == WLAN_EID_VENDOR_SPECIFIC && len >= 6 &&
        wpa_get_selector(data + 2) == OSEN_IE_VENDOR_TYPE) {
        info->proto = WPA_PROTO_OSEN;
        pos = data + 6;
        left = len - 6;
    } else {
        if (data[0] != WLAN_EID_RSN || data[1] != len - 2 || get_le16(data + 2) != 1) return -2;
        pos = data + 4;
        left = len - 4;
    }
    int r = decode_suites(pos, left, info, rsn_cipher_from_selector, rsn_key_mgmt_from_selector, true);
    if (r != 0) return r;
    if (left >= 2) {
        const size_t count = get_le16(pos);
        pos += 2;
        left -= 2;
        if (count > left / PMKID_LEN) return -9;
        info->num_pmkid = count;
        info->pmkid = count > 0 ? pos : nullptr;
    }
    return 0;
}

int wpa_ie_matches(int, const uint8_t *a, size_t a_len, const uint8_t *b, size_t b_len) {
    if (a == nullptr || b == nullptr || a_len != b_len) return -1;
    return std::memcmp(a, b, a_len) == 0 ? 0 : -1;
}

// ------------------------------------------------------------------ key data

int wpa_parse_key_data(const uint8_t *data, size_t len, wpa_eapol_ie_parse *out) {
    std::memset(out, 0, sizeof(*out));
    if (data == nullptr) return len == 0 ? 0 : -1;
    const uint8_t *pos = data;
    const uint8_t *end = data + len;
    while (end - pos > 1) {
        const uint8_t id = pos[0];
        const size_t elen = pos[1];
        if (id == WLAN_EID_VENDOR_SPECIFIC && elen == 0) break; // key data padding
        if (elen > static_cast<size_t>(end - pos - 2)) return -1;
        const uint8_t *body = pos + 2;
        if (id == WLAN_EID_RSN) {
            out->rsn_ie = pos;
            out->rsn_ie_len = elen + 2;
        } else if (id == WLAN_EID_VENDOR_SPECIFIC && elen >= 4) {
            // An encapsulation is read only within its own element: its selector needs
            // all four bytes, its body is what follows them.
            const uint32_t type = wpa_get_selector(body);
            const uint8_t *kde = body + 4;
            const size_t kde_len = elen - 4;
            if (type == WPA_OUI_TYPE_WPA && elen >= 6 && body[4] == 1 && body[5] == 0) {
                out->wpa_ie = pos;
                out->wpa_ie_len = elen + 2;
            } else if (type == RSN_KEY_DATA_PMKID && elen >= 4 + PMKID_LEN) {
                out->pmkid = kde;
            } else if (type == RSN_KEY_DATA_GTK) {
                out->gtk = kde;
                out->gtk_len = kde_len;
            } else if (type == RSN_KEY_DATA_MAC_ADDR) {
                out->mac_addr = kde;
                out->mac_addr_len = kde_len;
            } else if (type == WFA_KEY_DATA_IP_ADDR_REQ && elen > 4) {
                // Its one byte of body must be there to be read.
                out->ip_addr_req = kde;
            } else if (type == WFA_KEY_DATA_IP_ADDR_ALLOC && elen > 15) {
                out->ip_addr_alloc = kde;
            }
        }
        pos += 2 + elen;
    }
    return 0;
}

// ------------------------------------------------------------------ keys

size_t wpa_key_mic_length(uint32_t key_mgmt) {
    return key_mgmt == WPA_KEY_MGMT_IEEE8021X_SUITE_B_192 ? 24 : 16;
}

int wpa_compute_key_mic(const uint8_t *kck, size_t kck_len, uint32_t, int version, const uint8_t *frame,
                        size_t frame_len, uint8_t *mic_out) {
    if (kck == nullptr || frame == nullptr || mic_out == nullptr) return -1;
    if (version == 1) return crypto_hmac_md5(kck, kck_len, frame, frame_len, mic_out);
    if (version == 2) {
        uint8_t hash[20];
        if (crypto_hmac_sha1(kck, kck_len, frame, frame_len, hash) != 0) return -1;
        std::memcpy(mic_out, hash, 16);
        OPENSSL_cleanse(hash, sizeof(hash));
        return 0;
    }
    return -1;
}

int rsn_compute_pmkid(const uint8_t *pmk, size_t pmk_len, const uint8_t *aa, const uint8_t *spa,
                      uint8_t *pmkid_out) {
    static const char label[] = "PMK Name";
    const uint8_t *addr[] = {reinterpret_cast<const uint8_t *>(label), aa, spa};
    const size_t len[] = {sizeof(label) - 1, 6, 6};
    uint8_t hash[20];
    if (crypto_hmac_sha1_vector(pmk, pmk_len, 3, addr, len, hash) != 0) return -1;
    std::memcpy(pmkid_out, hash, PMKID_LEN);
    return 0;
}

int wpa_derive_ptk(const uint8_t *pmk, size_t pmk_len, const char *label, const uint8_t *addr1,
                   const uint8_t *addr2, const uint8_t *nonce1, const uint8_t *nonce2, wpa_ptk_keys *ptk_out,
                   uint32_t key_mgmt, uint32_t pairwise_cipher) {
    uint8_t data[2 * 6 + 2 * WPA_NONCE_LEN];
    const bool a_first = std::memcmp(addr1, addr2, 6) < 0;
    std::memcpy(data, a_first ? addr1 : addr2, 6);
    std::memcpy(data + 6, a_first ? addr2 : addr1, 6);
    const bool n_first = std::memcmp(nonce1, nonce2, WPA_NONCE_LEN) < 0;
    std::memcpy(data + 12, n_first ? nonce1 : nonce2, WPA_NONCE_LEN);
    std::memcpy(data + 12 + WPA_NONCE_LEN, n_first ? nonce2 : nonce1, WPA_NONCE_LEN);

    const bool b192 = key_mgmt == WPA_KEY_MGMT_IEEE8021X_SUITE_B_192;
    const size_t kck_len = b192 ? 24 : 16;
    const size_t kek_len = b192 ? 32 : 16;
    const size_t tk_len = wpa_cipher_tk_length(pairwise_cipher);
    uint8_t out[24 + 32 + 32];
    const size_t total = kck_len + kek_len + tk_len;
    if (sha1_prf(pmk, pmk_len, label, data, sizeof(data), out, total) != 0) return -1;
    std::memset(ptk_out, 0, sizeof(*ptk_out));
    std::memcpy(ptk_out->kck, out, kck_len);
    std::memcpy(ptk_out->kek, out + kck_len, kek_len);
    std::memcpy(ptk_out->tk, out + kck_len + kek_len, tk_len);
    ptk_out->kck_len = kck_len;
    ptk_out->kek_len = kek_len;
    ptk_out->tk_len = tk_len;
    OPENSSL_cleanse(out, sizeof(out));
    return 0;
}
