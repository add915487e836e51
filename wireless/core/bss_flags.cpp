#include "wireless/core/bss_flags.h"

#include "wireless/rsn/wpa_common.h"

void bss_security_flags(std::string &out, const char *proto, const uint8_t *ie) {
    out += "[";
    out += proto;
    out += "-";
    wpa_ie_info info{};
    if (wpa_decode_security_ie(ie, static_cast<size_t>(ie[1]) + 2, &info) < 0) {
        out += "?]";
        return;
    }
    struct Word {
        uint32_t mask;
        const char *name;
    };
    static const Word akms[] = {
        {WPA_KEY_MGMT_IEEE8021X | WPA_KEY_MGMT_FT_IEEE8021X | WPA_KEY_MGMT_IEEE8021X_SHA256 |
             WPA_KEY_MGMT_CCKM | WPA_KEY_MGMT_IEEE8021X_SUITE_B | WPA_KEY_MGMT_IEEE8021X_SUITE_B_192,
         "EAP"},
        {WPA_KEY_MGMT_PSK | WPA_KEY_MGMT_FT_PSK | WPA_KEY_MGMT_PSK_SHA256, "PSK"},
        {WPA_KEY_MGMT_WPA_NONE, "None"},
        {WPA_KEY_MGMT_SAE | WPA_KEY_MGMT_FT_SAE, "SAE"},
        {WPA_KEY_MGMT_OSEN, "OSEN"},
    };
    bool first = true;
    for (const Word &w : akms)
        if (info.key_mgmt & w.mask) {
            if (!first) out += "+";
            out += w.name;
            first = false;
        }
    out += "-";
    static const Word ciphers[] = {
        {WPA_CIPHER_CCMP_256, "CCMP-256"}, {WPA_CIPHER_GCMP_256, "GCMP-256"}, {WPA_CIPHER_CCMP, "CCMP"},
        {WPA_CIPHER_GCMP, "GCMP"},         {WPA_CIPHER_TKIP, "TKIP"},         {WPA_CIPHER_NONE, "NONE"},
    };
    first = true;
    for (const Word &w : ciphers)
        if (info.pairwise_cipher & w.mask) {
            if (!first) out += "+";
            out += w.name;
            first = false;
        }
    if (info.capabilities & 0x0001) out += "-preauth";
    out += "]";
}
