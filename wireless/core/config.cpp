#include "wireless/core/config.h"

#include "wireless/core/cipher_text.h"
#include "wireless/core/wpabuf.h"
#include "wireless/crypto/crypto.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

namespace {

// ---------------------------------------------------------------- shared helpers

// Decimal, 0x hexadecimal or leading-0 octal; false on trailing characters or overflow.
bool parse_int(const char *value, int *out) {
    if (*value == '\0') return false;
    char *end;
    errno = 0;
    long v = strtol(value, &end, 0);
    if (*end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
    *out = static_cast<int>(v);
    return true;
}

void text_clear(wpa_text *t) {
    if (t->data != nullptr) explicit_bzero(t->data, t->len);
    free(t->data);
    t->data = nullptr;
    t->len = 0;
}

bool text_equal(const wpa_text *t, const char *data, size_t len) {
    return t->data != nullptr && t->len == len && memcmp(t->data, data, len) == 0;
}

// The written form of bytes: quoted when all printable, else lower-case hexadecimal.
char *text_write(const uint8_t *data, size_t len) {
    if (!has_non_printable_char(data, len)) {
        char *buf = static_cast<char *>(malloc(len + 3));
        if (buf == nullptr) return nullptr;
        buf[0] = '"';
        memcpy(buf + 1, data, len);
        buf[len + 1] = '"';
        buf[len + 2] = '\0';
        return buf;
    }
    char *buf = static_cast<char *>(malloc(2 * len + 1));
    if (buf != nullptr) wpa_snprintf_hex(buf, 2 * len + 1, data, len);
    return buf;
}

char *str_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
char *str_printf(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    char *out = nullptr;
    if (vasprintf(&out, fmt, ap) < 0) out = nullptr;
    va_end(ap);
    return out;
}

char *addr_text(const uint8_t *a) {
    return str_printf("%02x:%02x:%02x:%02x:%02x:%02x", a[0], a[1], a[2], a[3], a[4], a[5]);
}

// Blank-separated words of a table into a bit set; -1 on an unknown word or an empty list.
struct Word {
    const char *word;
    int bit;
};

int parse_words(const char *value, const Word *words, size_t n) {
    int val = 0;
    bool any = false;
    const char *pos = value;
    while (*pos) {
        while (*pos == ' ' || *pos == '\t')
            pos++;
        if (*pos == '\0') break;
        const char *end = pos;
        while (*end && *end != ' ' && *end != '\t')
            end++;
        size_t len = static_cast<size_t>(end - pos);
        bool known = false;
        for (size_t i = 0; i < n; i++)
            if (strlen(words[i].word) == len && strncmp(pos, words[i].word, len) == 0) {
                val |= words[i].bit;
                known = true;
            }
        if (!known) return -1;
        any = true;
        pos = end;
    }
    return any ? val : -1;
}

char *write_words(int val, const Word *words, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; i++)
        if (val & words[i].bit) {
            if (!out.empty()) out += ' ';
            out += words[i].word;
        }
    return out.empty() ? nullptr : strdup(out.c_str());
}

const Word proto_parse[] = {
    {"WPA", WPA_PROTO_WPA}, {"RSN", WPA_PROTO_RSN}, {"WPA2", WPA_PROTO_RSN}, {"OSEN", WPA_PROTO_OSEN}};
const Word proto_print[] = {{"WPA", WPA_PROTO_WPA}, {"RSN", WPA_PROTO_RSN}, {"OSEN", WPA_PROTO_OSEN}};
const Word key_mgmt_words[] = {{"WPA-PSK", WPA_KEY_MGMT_PSK},
                               {"WPA-EAP", WPA_KEY_MGMT_IEEE8021X},
                               {"IEEE8021X", WPA_KEY_MGMT_IEEE8021X_NO_WPA},
                               {"NONE", WPA_KEY_MGMT_NONE},
                               {"WPA-NONE", WPA_KEY_MGMT_WPA_NONE},
                               {"WPS", WPA_KEY_MGMT_WPS}};
const Word auth_alg_words[] = {
    {"OPEN", WPA_AUTH_ALG_OPEN}, {"SHARED", WPA_AUTH_ALG_SHARED}, {"LEAP", WPA_AUTH_ALG_LEAP}};

constexpr int PairwiseAllowed = WPA_CIPHER_NONE | WPA_CIPHER_TKIP | WPA_CIPHER_CCMP | WPA_CIPHER_GCMP |
                                WPA_CIPHER_GCMP_256 | WPA_CIPHER_CCMP_256;
constexpr int GroupAllowed = WPA_CIPHER_WEP40 | WPA_CIPHER_WEP104 | WPA_CIPHER_TKIP | WPA_CIPHER_CCMP |
                             WPA_CIPHER_GCMP | WPA_CIPHER_GCMP_256 | WPA_CIPHER_CCMP_256 |
                             WPA_CIPHER_GTK_NOT_USED;

// Blank-separated decimal numbers ended by the first 0; an empty list gives null.
bool parse_int_list(const char *value, int **out) {
    int *list = nullptr;
    size_t n = 0;
    const char *pos = value;
    while (*pos) {
        while (*pos == ' ')
            pos++;
        if (*pos == '\0') break;
        char *end;
        errno = 0;
        long v = strtol(pos, &end, 10);
        if (end == pos || (*end != '\0' && *end != ' ') || errno == ERANGE || v < INT_MIN || v > INT_MAX) {
            free(list);
            return false;
        }
        pos = end;
        if (v == 0) break;
        int *nl = static_cast<int *>(realloc(list, (n + 2) * sizeof(int)));
        if (nl == nullptr) {
            free(list);
            return false;
        }
        list = nl;
        list[n++] = static_cast<int>(v);
        list[n] = 0;
    }
    *out = list;
    return true;
}

char *write_int_list(const int *list) {
    if (list == nullptr || list[0] == 0) return nullptr;
    std::string out;
    for (size_t i = 0; list[i]; i++) {
        if (i) out += ' ';
        out += std::to_string(list[i]);
    }
    return strdup(out.c_str());
}

// ---------------------------------------------------------------- network fields

enum class NK {
    Int,
    Text,
    Psk,
    Password,
    WepKey,
    Proto,
    KeyMgmt,
    AuthAlg,
    Pairwise,
    Group,
    Eap,
    Bssid,
    P2pDevAddr,
    AddrList,
    P2pClientList,
    IntList,
    PskList,
};

struct NetField {
    const char *name;
    NK kind;
    size_t off;
    bool limited; // integer range or text length applies
    int min, max;
    bool key;
};

#define NF(name, kind, member, limited, min, max, key)                                                       \
    { name, NK::kind, offsetof(wpa_network, member), limited, min, max, key }
#define NINT(name) NF(#name, Int, name, false, 0, 0, false)
#define NRANGE(name, lo, hi) NF(#name, Int, name, true, lo, hi, false)
#define NTEXT(name) NF(#name, Text, name, false, 0, 0, false)
#define NKEYTEXT(name) NF(#name, Text, name, false, 0, 0, true)

const NetField net_fields[] = {
    NF("ssid", Text, ssid, true, 0, 32, false),
    NRANGE(scan_ssid, 0, 1),
    NF("bssid", Bssid, bssid, false, 0, 0, false),
    NF("bssid_blacklist", AddrList, bssid_blacklist, false, 0, 0, false),
    NF("bssid_whitelist", AddrList, bssid_whitelist, false, 0, 0, false),
    NF("psk", Psk, psk, false, 0, 0, true),
    NINT(mem_only_psk),
    NF("proto", Proto, proto, false, 0, 0, false),
    NF("key_mgmt", KeyMgmt, key_mgmt, false, 0, 0, false),
    NINT(bg_scan_period),
    NF("pairwise", Pairwise, pairwise_cipher, false, 0, 0, false),
    NF("group", Group, group_cipher, false, 0, 0, false),
    NF("auth_alg", AuthAlg, auth_alg, false, 0, 0, false),
    NF("scan_freq", IntList, scan_freq, false, 0, 0, false),
    NF("freq_list", IntList, freq_list, false, 0, 0, false),
    NRANGE(max_oper_chwidth, 0, 3),
    NF("eap", Eap, eap_methods, false, 0, 0, false),
    NTEXT(identity),
    NTEXT(anonymous_identity),
    NF("password", Password, password, false, 0, 0, true),
    NTEXT(ca_cert),
    NTEXT(ca_path),
    NTEXT(client_cert),
    NTEXT(private_key),
    NKEYTEXT(private_key_passwd),
    NTEXT(dh_file),
    NTEXT(subject_match),
    NTEXT(altsubject_match),
    NTEXT(domain_suffix_match),
    NTEXT(domain_match),
    NTEXT(ca_cert2),
    NTEXT(ca_path2),
    NTEXT(client_cert2),
    NTEXT(private_key2),
    NKEYTEXT(private_key2_passwd),
    NTEXT(dh_file2),
    NTEXT(subject_match2),
    NTEXT(altsubject_match2),
    NTEXT(domain_suffix_match2),
    NTEXT(domain_match2),
    NTEXT(phase1),
    NTEXT(phase2),
    NTEXT(pcsc),
    NKEYTEXT(pin),
    NTEXT(engine_id),
    NTEXT(key_id),
    NTEXT(cert_id),
    NTEXT(ca_cert_id),
    NKEYTEXT(pin2),
    NTEXT(engine2_id),
    NTEXT(key2_id),
    NTEXT(cert2_id),
    NTEXT(ca_cert2_id),
    NINT(engine),
    NINT(engine2),
    NINT(eapol_flags),
    NINT(sim_num),
    NTEXT(openssl_ciphers),
    NINT(erp),
    NF("wep_key0", WepKey, wep_key[0], false, 0, 0, true),
    NF("wep_key1", WepKey, wep_key[1], false, 0, 0, true),
    NF("wep_key2", WepKey, wep_key[2], false, 0, 0, true),
    NF("wep_key3", WepKey, wep_key[3], false, 0, 0, true),
    NINT(wep_tx_keyidx),
    NINT(priority),
    NINT(eap_workaround),
    NTEXT(pac_file),
    NINT(fragment_size),
    NINT(ocsp),
    NRANGE(mode, 0, 4),
    NRANGE(proactive_key_caching, 0, 1),
    NRANGE(disabled, 0, 2),
    NTEXT(id_str),
    NRANGE(peerkey, 0, 1),
    NRANGE(mixed_cell, 0, 1),
    NRANGE(frequency, 0, 65000),
    NRANGE(fixed_freq, 0, 1),
    NINT(wpa_ptk_rekey),
    NINT(group_rekey),
    NTEXT(bgscan),
    NRANGE(ignore_broadcast_ssid, 0, 2),
    NF("go_p2p_dev_addr", P2pDevAddr, go_p2p_dev_addr, false, 0, 0, false),
    NF("p2p_client_list", P2pClientList, p2p_client_list, false, 0, 0, false),
    NF("psk_list", PskList, psk_list, false, 0, 0, false),
    NINT(ap_max_inactivity),
    NINT(dtim_period),
    NINT(beacon_int),
    NRANGE(mac_addr, 0, 2),
    NRANGE(pbss, 0, 2),
    NRANGE(wps_disabled, 0, 1),
};
static_assert(sizeof(net_fields) / sizeof(net_fields[0]) == 90, "the network field table has 90 entries");

template <typename T> T *member(wpa_network *ssid, const NetField &f) {
    return reinterpret_cast<T *>(reinterpret_cast<char *>(ssid) + f.off);
}

const NetField *find_net_field(const char *name) {
    for (const NetField &f : net_fields)
        if (strcmp(f.name, name) == 0) return &f;
    return nullptr;
}

int set_int(int *field, const NetField &f, const char *value) {
    int v;
    if (!parse_int(value, &v)) return -1;
    // A stated range is kept exactly, a bound of 0 included; only the defaults of -1 stay
    // valid below a minimum of 0 (proactive_key_caching and mac_addr).
    if (f.limited && (v < f.min || v > f.max)) {
        bool default_minus_one =
            v == -1 && (strcmp(f.name, "proactive_key_caching") == 0 || strcmp(f.name, "mac_addr") == 0);
        if (!default_minus_one) return -1;
    }
    if (*field == v) return 1;
    *field = v;
    return 0;
}

// Stores a parsed value in the field, which takes it over: 1 when the field held the
// same bytes already (the copy is wiped and freed), else 0.
int take_text(wpa_text *field, char *parsed, size_t len) {
    if (text_equal(field, parsed, len)) {
        bin_clear_free(parsed, len);
        return 1;
    }
    text_clear(field);
    field->data = reinterpret_cast<uint8_t *>(parsed);
    field->len = len;
    return 0;
}

int set_text(wpa_text *field, const NetField &f, const char *value) {
    if (strcmp(value, "NULL") == 0) {
        if (field->data == nullptr) return 1;
        text_clear(field);
        return 0;
    }
    size_t len = 0;
    char *parsed = wpa_config_parse_string(value, &len);
    if (parsed == nullptr) return -1;
    if (f.limited && (static_cast<long>(len) < f.min || len > static_cast<size_t>(f.max))) {
        str_clear_free(parsed);
        return -1;
    }
    return take_text(field, parsed, len);
}

int set_psk(wpa_network *ssid, const char *value) {
    if (*value == '"') {
        value++;
        const char *pos = strrchr(value, '"');
        size_t len = pos ? static_cast<size_t>(pos - value) : strlen(value);
        if (len < 8 || len > 63 || has_ctrl_char(reinterpret_cast<const uint8_t *>(value), len)) return -1;
        if (ssid->passphrase != nullptr && strlen(ssid->passphrase) == len &&
            memcmp(ssid->passphrase, value, len) == 0)
            return 1;
        char *copy = dup_binstr(value, len);
        if (copy == nullptr) return -1;
        str_clear_free(ssid->passphrase);
        ssid->passphrase = copy;
        ssid->psk_set = 0;
        return 0;
    }
    uint8_t psk[32];
    if (strlen(value) != 64 || hex_to_bin(value, psk, 32) != 0) return -1;
    str_clear_free(ssid->passphrase);
    ssid->passphrase = nullptr;
    memcpy(ssid->psk, psk, 32);
    explicit_bzero(psk, sizeof(psk));
    ssid->psk_set = 1;
    return 0;
}

int set_password(wpa_network *ssid, const NetField &f, const char *value) {
    if (strncmp(value, "hash:", 5) == 0) {
        const char *hex = value + 5;
        uint8_t hash[16];
        if (strlen(hex) != 32 || hex_to_bin(hex, hash, 16) != 0) return -1;
        if (ssid->password_hashed && text_equal(&ssid->password, reinterpret_cast<char *>(hash), 16))
            return 1;
        uint8_t *copy = static_cast<uint8_t *>(malloc(16));
        if (copy == nullptr) return -1;
        memcpy(copy, hash, 16);
        text_clear(&ssid->password);
        ssid->password.data = copy;
        ssid->password.len = 16;
        ssid->password_hashed = 1;
        return 0;
    }
    if (strcmp(value, "NULL") == 0) {
        int was_set = ssid->password.data != nullptr;
        text_clear(&ssid->password);
        ssid->password_hashed = 0;
        return was_set ? 0 : 1;
    }
    if (ssid->password_hashed) {
        // A plain value replaces a hash even when the bytes happen to match.
        size_t len = 0;
        char *parsed = wpa_config_parse_string(value, &len);
        if (parsed == nullptr) return -1;
        text_clear(&ssid->password);
        ssid->password.data = reinterpret_cast<uint8_t *>(parsed);
        ssid->password.len = len;
        ssid->password_hashed = 0;
        return 0;
    }
    return set_text(&ssid->password, f, value);
}

int set_wep_key(wpa_text *key, const char *value) {
    size_t len = 0;
    char *parsed = wpa_config_parse_string(value, &len);
    if (parsed == nullptr) return -1;
    if (len > 16) {
        bin_clear_free(parsed, len);
        return -1;
    }
    return take_text(key, parsed, len);
}

int set_eap(wpa_network *ssid, const char *value) {
    eap_method_type *methods = nullptr;
    size_t n = 0;
    const char *pos = value;
    while (*pos) {
        while (*pos == ' ' || *pos == '\t')
            pos++;
        if (*pos == '\0') break;
        const char *end = pos;
        while (*end && *end != ' ' && *end != '\t')
            end++;
        std::string name(pos, static_cast<size_t>(end - pos));
        int vendor;
        unsigned int type = eap_peer_method_type_by_name(name.c_str(), &vendor);
        if (vendor == EAP_VENDOR_IETF && type == EAP_TYPE_NONE) {
            free(methods);
            return -1;
        }
        auto *nm = static_cast<eap_method_type *>(realloc(methods, (n + 2) * sizeof(eap_method_type)));
        if (nm == nullptr) {
            free(methods);
            return -1;
        }
        methods = nm;
        methods[n++] = {vendor, type};
        methods[n] = {EAP_VENDOR_IETF, EAP_TYPE_NONE};
        pos = end;
    }
    auto count = [](const eap_method_type *m) {
        size_t c = 0;
        while (m && !(m[c].vendor == EAP_VENDOR_IETF && m[c].method == EAP_TYPE_NONE))
            c++;
        return c;
    };
    if (count(methods) == count(ssid->eap_methods) &&
        (n == 0 || memcmp(methods, ssid->eap_methods, n * sizeof(eap_method_type)) == 0)) {
        free(methods);
        return 1;
    }
    free(ssid->eap_methods);
    ssid->eap_methods = methods;
    return 0;
}

int set_addr(uint8_t *addr, int *set_flag, const char *value) {
    if (*value == '\0' || strcmp(value, "\"\"") == 0 || strcmp(value, "any") == 0) {
        memset(addr, 0, 6);
        if (set_flag) *set_flag = 0;
        return 0;
    }
    uint8_t a[6];
    if (hwaddr_parse(value, a) != 0) return -1;
    memcpy(addr, a, 6);
    if (set_flag) *set_flag = 1;
    return 0;
}

int set_addr_list(wpa_addr_list *list, const char *value, bool skip_bad) {
    wpa_addr_list n{nullptr, 0};
    const char *pos = value;
    while (*pos) {
        while (*pos == ' ')
            pos++;
        if (*pos == '\0') break;
        wpa_addr_mask e;
        if (hwaddr_masked_parse(pos, e.addr, e.mask, 1) != 0) {
            if (!(skip_bad && n.count > 0)) {
                free(n.entries);
                return -1;
            }
        } else {
            auto *ne = static_cast<wpa_addr_mask *>(realloc(n.entries, (n.count + 1) * sizeof(e)));
            if (ne == nullptr) {
                free(n.entries);
                return -1;
            }
            n.entries = ne;
            n.entries[n.count++] = e;
        }
        while (*pos && *pos != ' ')
            pos++;
    }
    free(list->entries);
    *list = n;
    return 0;
}

char *write_addr_list(const wpa_addr_list *list) {
    if (list->count == 0) return nullptr;
    std::string out;
    for (size_t i = 0; i < list->count; i++) {
        char buf[40];
        if (hwaddr_mask_txt(buf, sizeof(buf), list->entries[i].addr, list->entries[i].mask) < 0)
            return nullptr;
        if (i) out += ' ';
        out += buf;
    }
    return strdup(out.c_str());
}

int set_psk_list(wpa_network *ssid, const char *value) {
    int p2p = 0;
    if (strncmp(value, "P2P-", 4) == 0) {
        p2p = 1;
        value += 4;
    }
    wpa_psk_entry e{};
    if (hwaddr_parse(value, e.addr) != 0 || value[17] != '-' || strlen(value + 18) != 64 ||
        hex_to_bin(value + 18, e.psk, 32) != 0)
        return -1;
    auto *n = static_cast<wpa_psk_entry *>(calloc(1, sizeof(wpa_psk_entry)));
    if (n == nullptr) return -1;
    *n = e;
    n->p2p = p2p;
    n->next = ssid->psk_list;
    ssid->psk_list = n;
    explicit_bzero(&e, sizeof(e));
    return 0;
}

int set_field(wpa_network *ssid, const NetField &f, const char *value) {
    switch (f.kind) {
    case NK::Int:
        return set_int(member<int>(ssid, f), f, value);
    case NK::Text:
        return set_text(member<wpa_text>(ssid, f), f, value);
    case NK::Psk:
        return set_psk(ssid, value);
    case NK::Password:
        return set_password(ssid, f, value);
    case NK::WepKey:
        return set_wep_key(member<wpa_text>(ssid, f), value);
    case NK::Proto:
    case NK::KeyMgmt:
    case NK::AuthAlg: {
        int v = f.kind == NK::Proto     ? parse_words(value, proto_parse, std::size(proto_parse))
                : f.kind == NK::KeyMgmt ? parse_words(value, key_mgmt_words, std::size(key_mgmt_words))
                                        : parse_words(value, auth_alg_words, std::size(auth_alg_words));
        if (v < 0) return -1;
        int *field = member<int>(ssid, f);
        if (*field == v) return 1;
        *field = v;
        return 0;
    }
    case NK::Pairwise:
    case NK::Group: {
        int v = wpa_cipher_list_from_text(value);
        int allowed = f.kind == NK::Pairwise ? PairwiseAllowed : GroupAllowed;
        if (v < 0 || (v & ~allowed)) return -1;
        if (v == 0) return -1;
        if (f.kind == NK::Group) v &= ~(WPA_CIPHER_WEP40 | WPA_CIPHER_WEP104);
        int *field = member<int>(ssid, f);
        if (*field == v) return 1;
        *field = v;
        return 0;
    }
    case NK::Eap:
        return set_eap(ssid, value);
    case NK::Bssid:
        return set_addr(ssid->bssid, &ssid->bssid_set, value);
    case NK::P2pDevAddr:
        return set_addr(ssid->go_p2p_dev_addr, nullptr, value);
    case NK::AddrList:
        return set_addr_list(member<wpa_addr_list>(ssid, f), value, false);
    case NK::P2pClientList:
        return set_addr_list(member<wpa_addr_list>(ssid, f), value, true);
    case NK::IntList: {
        int *list;
        if (!parse_int_list(value, &list)) return -1;
        int **field = member<int *>(ssid, f);
        free(*field);
        *field = list;
        return 0;
    }
    case NK::PskList:
        return set_psk_list(ssid, value);
    }
    return -1;
}

char *write_field(wpa_network *ssid, const NetField &f) {
    switch (f.kind) {
    case NK::Int:
        return str_printf("%d", *member<int>(ssid, f));
    case NK::Text:
    case NK::WepKey: {
        const wpa_text *t = member<wpa_text>(ssid, f);
        if (t->data == nullptr || (f.kind == NK::WepKey && t->len == 0)) return nullptr;
        return text_write(t->data, t->len);
    }
    case NK::Psk:
        if (ssid->passphrase != nullptr) return str_printf("\"%s\"", ssid->passphrase);
        if (ssid->psk_set) {
            char *buf = static_cast<char *>(malloc(65));
            if (buf != nullptr) wpa_snprintf_hex(buf, 65, ssid->psk, 32);
            return buf;
        }
        return nullptr;
    case NK::Password:
        if (ssid->password.data == nullptr) return nullptr;
        if (ssid->password_hashed) {
            char hex[33];
            wpa_snprintf_hex(hex, sizeof(hex), ssid->password.data, ssid->password.len);
            return str_printf("hash:%s", hex);
        }
        return text_write(ssid->password.data, ssid->password.len);
    case NK::Proto:
        return write_words(ssid->proto, proto_print, std::size(proto_print));
    case NK::KeyMgmt:
        return write_words(ssid->key_mgmt, key_mgmt_words, std::size(key_mgmt_words));
    case NK::AuthAlg:
        return write_words(ssid->auth_alg, auth_alg_words, std::size(auth_alg_words));
    case NK::Pairwise:
    case NK::Group: {
        char buf[100];
        int len = wpa_cipher_list_to_text(buf, buf + sizeof(buf), *member<int>(ssid, f), " ");
        if (len <= 0) return nullptr;
        return strdup(buf);
    }
    case NK::Eap: {
        if (ssid->eap_methods == nullptr) return nullptr;
        std::string out;
        for (const eap_method_type *m = ssid->eap_methods;
             !(m->vendor == EAP_VENDOR_IETF && m->method == EAP_TYPE_NONE); m++) {
            const char *name = eap_peer_method_name_by_type(m->vendor, m->method);
            if (name == nullptr) continue;
            if (!out.empty()) out += ' ';
            out += name;
        }
        return out.empty() ? nullptr : strdup(out.c_str());
    }
    case NK::Bssid:
        return ssid->bssid_set ? addr_text(ssid->bssid) : nullptr;
    case NK::P2pDevAddr:
        return is_zero_ether_addr(ssid->go_p2p_dev_addr) ? nullptr : addr_text(ssid->go_p2p_dev_addr);
    case NK::AddrList:
    case NK::P2pClientList:
        return write_addr_list(member<wpa_addr_list>(ssid, f));
    case NK::IntList:
        return write_int_list(*member<int *>(ssid, f));
    case NK::PskList:
        return nullptr;
    }
    return nullptr;
}

void free_addr_list(wpa_addr_list *l) {
    free(l->entries);
    l->entries = nullptr;
    l->count = 0;
}

// The PSK from a passphrase and an SSID: PBKDF2-HMAC-SHA1, 4096 iterations, 32 bytes.
bool derive_psk(const char *passphrase, const uint8_t *ssid, size_t ssid_len, uint8_t *psk) {
    return crypto_pbkdf2_sha1(passphrase, ssid, ssid_len, 4096, psk, 32) == 0;
}

// ---------------------------------------------------------------- global options

enum class GK {
    Int,
    Str,
    NoCtrlIface,
    Bgscan,
    Ignore,
    Uuid,
    DevType,
    OsVersion,
    Bytes,
    BytesNonEmpty,
    SecDevType,
    PrefChan,
    NoGoFreq,
    Ipv4,
    Country,
    Hessid,
    IntList0,
    IntList,
};

struct GlobalField {
    const char *name;
    GK kind;
    size_t off;
    bool limited;
    int min, max;
    unsigned int changed;
};

#define G(name, kind, member, limited, min, max, changed)                                                    \
    { name, GK::kind, offsetof(wpa_config, member), limited, min, max, changed }
#define GINT(name) G(#name, Int, name, false, 0, 0, 0)
#define GRANGE(name, lo, hi) G(#name, Int, name, true, lo, hi, 0)
#define GSTR(name) G(#name, Str, name, false, 0, 0, 0)

const GlobalField global_fields[] = {
    GSTR(ctrl_interface),
    G("no_ctrl_interface", NoCtrlIface, ctrl_interface, false, 0, 0, 0),
    GSTR(ctrl_interface_group),
    GRANGE(eapol_version, 1, 2),
    GINT(ap_scan),
    G("bgscan", Bgscan, bgscan, false, 0, 0, 0),
    GINT(disable_scan_offload),
    GINT(fast_reauth),
    GSTR(opensc_engine_path),
    GSTR(pkcs11_engine_path),
    GSTR(pkcs11_module_path),
    GSTR(openssl_ciphers),
    GSTR(pcsc_reader),
    GSTR(pcsc_pin),
    GINT(external_sim),
    GSTR(driver_param),
    GINT(dot11RSNAConfigPMKLifetime),
    GINT(dot11RSNAConfigPMKReauthThreshold),
    GINT(dot11RSNAConfigSATimeout),
    G("load_dynamic_eap", Ignore, ctrl_interface, false, 0, 0, 0),
    G("uuid", Uuid, uuid, false, 0, 0, CFG_CHANGED_UUID),
    G("device_name", Str, device_name, true, 0, 32, CFG_CHANGED_DEVICE_NAME),
    G("manufacturer", Str, manufacturer, true, 0, 64, CFG_CHANGED_WPS_STRING),
    G("model_name", Str, model_name, true, 0, 32, CFG_CHANGED_WPS_STRING),
    G("model_number", Str, model_number, true, 0, 32, CFG_CHANGED_WPS_STRING),
    G("serial_number", Str, serial_number, true, 0, 32, CFG_CHANGED_WPS_STRING),
    G("device_type", DevType, device_type, false, 0, 0, CFG_CHANGED_DEVICE_TYPE),
    G("os_version", OsVersion, os_version, false, 0, 0, CFG_CHANGED_OS_VERSION),
    G("config_methods", Str, config_methods, false, 0, 0, CFG_CHANGED_CONFIG_METHODS),
    GRANGE(wps_cred_processing, 0, 2),
    G("wps_vendor_ext_m1", BytesNonEmpty, wps_vendor_ext_m1, false, 0, 0, CFG_CHANGED_VENDOR_EXTENSION),
    G("sec_device_type", SecDevType, sec_device_type, false, 0, 0, CFG_CHANGED_SEC_DEVICE_TYPE),
    G("p2p_listen_reg_class", Int, p2p_listen_reg_class, false, 0, 0, CFG_CHANGED_P2P_LISTEN_CHANNEL),
    G("p2p_listen_channel", Int, p2p_listen_channel, false, 0, 0, CFG_CHANGED_P2P_LISTEN_CHANNEL),
    G("p2p_oper_reg_class", Int, p2p_oper_reg_class, false, 0, 0, CFG_CHANGED_P2P_OPER_CHANNEL),
    G("p2p_oper_channel", Int, p2p_oper_channel, false, 0, 0, CFG_CHANGED_P2P_OPER_CHANNEL),
    GRANGE(p2p_go_intent, 0, 15),
    G("p2p_ssid_postfix", Str, p2p_ssid_postfix, false, 0, 0, CFG_CHANGED_P2P_SSID_POSTFIX),
    GRANGE(persistent_reconnect, 0, 1),
    G("p2p_intra_bss", Int, p2p_intra_bss, true, 0, 1, CFG_CHANGED_P2P_INTRA_BSS),
    GINT(p2p_group_idle),
    GRANGE(p2p_go_freq_change_policy, 0, 3),
    G("p2p_passphrase_len", Int, p2p_passphrase_len, true, 8, 63, CFG_CHANGED_P2P_PASSPHRASE_LEN),
    G("p2p_pref_chan", PrefChan, p2p_pref_chan, false, 0, 0, CFG_CHANGED_P2P_PREF_CHAN),
    G("p2p_no_go_freq", NoGoFreq, p2p_no_go_freq, false, 0, 0, CFG_CHANGED_P2P_PREF_CHAN),
    GRANGE(p2p_add_cli_chan, 0, 1),
    GRANGE(p2p_optimize_listen_chan, 0, 1),
    GINT(p2p_go_ht40),
    GINT(p2p_go_vht),
    GINT(p2p_disabled),
    GRANGE(p2p_go_ctwindow, 0, 127),
    GINT(p2p_no_group_iface),
    GRANGE(p2p_ignore_shared_freq, 0, 1),
    G("ip_addr_go", Ipv4, ip_addr_go, false, 0, 0, 0),
    G("ip_addr_mask", Ipv4, ip_addr_mask, false, 0, 0, 0),
    G("ip_addr_start", Ipv4, ip_addr_start, false, 0, 0, 0),
    G("ip_addr_end", Ipv4, ip_addr_end, false, 0, 0, 0),
    GRANGE(p2p_cli_probe, 0, 1),
    G("country", Country, country, false, 0, 0, CFG_CHANGED_COUNTRY),
    GINT(bss_max_count),
    GINT(bss_expiration_age),
    GINT(bss_expiration_scan_count),
    GRANGE(filter_ssids, 0, 1),
    G("filter_rssi", Int, filter_rssi, true, -100, INT_MAX, 0),
    GINT(max_num_sta),
    GRANGE(disassoc_low_ack, 0, 1),
    GRANGE(interworking, 0, 1),
    G("hessid", Hessid, hessid, false, 0, 0, 0),
    GRANGE(access_network_type, 0, 15),
    GRANGE(pbc_in_m1, 0, 1),
    GSTR(autoscan),
    G("wps_nfc_dev_pw_id", Int, wps_nfc_dev_pw_id, true, 16, 65535, CFG_CHANGED_NFC_PASSWORD_TOKEN),
    G("wps_nfc_dh_pubkey", Bytes, wps_nfc_dh_pubkey, false, 0, 0, CFG_CHANGED_NFC_PASSWORD_TOKEN),
    G("wps_nfc_dh_privkey", Bytes, wps_nfc_dh_privkey, false, 0, 0, CFG_CHANGED_NFC_PASSWORD_TOKEN),
    G("wps_nfc_dev_pw", Bytes, wps_nfc_dev_pw, false, 0, 0, CFG_CHANGED_NFC_PASSWORD_TOKEN),
    G("ext_password_backend", Str, ext_password_backend, false, 0, 0, CFG_CHANGED_EXT_PW_BACKEND),
    GINT(p2p_go_max_inactivity),
    GRANGE(auto_interworking, 0, 1),
    GINT(okc),
    GINT(pmf),
    G("sae_groups", IntList0, sae_groups, false, 0, 0, 0),
    GINT(dtim_period),
    GINT(beacon_int),
    G("ap_vendor_elements", BytesNonEmpty, ap_vendor_elements, false, 0, 0, 0),
    GRANGE(ignore_old_scan_res, 0, 1),
    G("freq_list", IntList, freq_list, false, 0, 0, 0),
    GINT(scan_cur_freq),
    GINT(sched_scan_interval),
    GINT(tdls_external_control),
    GSTR(osu_dir),
    GSTR(wowlan_triggers),
    GINT(p2p_search_delay),
    GINT(mac_addr),
    GINT(rand_addr_lifetime),
    GINT(preassoc_mac_addr),
    GINT(key_mgmt_offload),
    GINT(passive_scan),
    GINT(reassoc_same_bss_optim),
    GINT(wps_priority),
    GRANGE(wpa_rsc_relaxation, 0, 1),
    G("sched_scan_plans", Str, sched_scan_plans, false, 0, 0, CFG_CHANGED_SCHED_SCAN_PLANS),
    GRANGE(gas_address3, 0, 1),
    GRANGE(ftm_responder, 0, 1),
    GRANGE(ftm_initiator, 0, 1),
};
static_assert(sizeof(global_fields) / sizeof(global_fields[0]) == 104,
              "the global option table has 104 entries");

template <typename T> T *gmember(wpa_config *c, const GlobalField &f) {
    return reinterpret_cast<T *>(reinterpret_cast<char *>(c) + f.off);
}

// WPS device type: category (decimal), OUI (8 hexadecimal digits), subcategory (decimal).
bool parse_dev_type(const char *value, uint8_t *out) {
    char *end;
    errno = 0;
    unsigned long cat = strtoul(value, &end, 10);
    if (end == value || *end != '-' || cat > 0xffff || errno) return false;
    const char *oui = end + 1;
    uint8_t ouib[4];
    if (strlen(oui) < 9 || oui[8] != '-' || hex_to_bin(oui, ouib, 4) != 0) return false;
    const char *sub = oui + 9;
    unsigned long subc = strtoul(sub, &end, 10);
    if (end == sub || *end != '\0' || subc > 0xffff || errno) return false;
    wpa_put_be16(out, static_cast<uint16_t>(cat));
    memcpy(out + 2, ouib, 4);
    wpa_put_be16(out + 6, static_cast<uint16_t>(subc));
    return true;
}

bool parse_uuid(const char *value, uint8_t *out) {
    static const int groups[] = {4, 2, 2, 2, 6};
    const char *pos = value;
    uint8_t bin[16];
    size_t o = 0;
    for (size_t g = 0; g < std::size(groups); g++) {
        if (hex_to_bin(pos, bin + o, static_cast<size_t>(groups[g])) != 0) return false;
        pos += 2 * groups[g];
        o += static_cast<size_t>(groups[g]);
        if (g + 1 < std::size(groups)) {
            if (*pos != '-') return false;
            pos++;
        }
    }
    if (*pos != '\0') return false;
    memcpy(out, bin, 16);
    return true;
}

int set_global(wpa_config *config, const GlobalField &f, const char *value) {
    switch (f.kind) {
    case GK::Int: {
        int v;
        if (!parse_int(value, &v) || (f.limited && (v < f.min || v > f.max))) return -1;
        *gmember<int>(config, f) = v;
        return 0;
    }
    case GK::Str: {
        size_t len = strlen(value);
        if (has_newline(value) || (f.limited && len > static_cast<size_t>(f.max))) return -1;
        char *copy = strdup(value);
        if (copy == nullptr) return -1;
        char **field = gmember<char *>(config, f);
        free(*field);
        *field = copy;
        return 0;
    }
    case GK::NoCtrlIface:
        free(config->ctrl_interface);
        config->ctrl_interface = nullptr;
        return 0;
    case GK::Bgscan: {
        size_t len;
        char *parsed = wpa_config_parse_string(value, &len);
        if (parsed == nullptr) return -1;
        free(config->bgscan);
        config->bgscan = parsed;
        return 0;
    }
    case GK::Ignore:
        return 0;
    case GK::Uuid:
        return parse_uuid(value, config->uuid) ? 0 : -1;
    case GK::DevType:
        return parse_dev_type(value, config->device_type) ? 0 : -1;
    case GK::OsVersion: {
        uint8_t v[4];
        if (strlen(value) != 8 || hex_to_bin(value, v, 4) != 0) return -1;
        memcpy(config->os_version, v, 4);
        return 0;
    }
    case GK::Bytes:
    case GK::BytesNonEmpty: {
        wpa_buf *b = wpa_buf_parse_hex(value);
        if (b == nullptr || (f.kind == GK::BytesNonEmpty && wpa_buf_len(b) == 0)) {
            wpa_buf_free(b);
            return -1;
        }
        wpa_buf **field = gmember<wpa_buf *>(config, f);
        wpa_buf_clear_free(*field);
        *field = b;
        return 0;
    }
    case GK::SecDevType: {
        if (config->num_sec_device_types >= MAX_SEC_DEVICE_TYPES) return -1;
        uint8_t t[8];
        if (!parse_dev_type(value, t)) return -1;
        memcpy(config->sec_device_type[config->num_sec_device_types++], t, 8);
        return 0;
    }
    case GK::PrefChan: {
        p2p_channel_pref *list = nullptr;
        unsigned int n = 0;
        const char *pos = value;
        while (pos && *pos) {
            char *end;
            unsigned long cls = strtoul(pos, &end, 10);
            if (end == pos || *end != ':') {
                free(list);
                return -1;
            }
            const char *c = end + 1;
            unsigned long chan = strtoul(c, &end, 10);
            if (end == c || (*end != '\0' && *end != ',') || cls > 255 || chan > 255) {
                free(list);
                return -1;
            }
            auto *nl = static_cast<p2p_channel_pref *>(realloc(list, (n + 1) * sizeof(p2p_channel_pref)));
            if (nl == nullptr) {
                free(list);
                return -1;
            }
            list = nl;
            list[n++] = {static_cast<unsigned>(cls), static_cast<unsigned>(chan)};
            pos = *end == ',' ? end + 1 : nullptr;
        }
        free(config->p2p_pref_chan);
        config->p2p_pref_chan = list;
        config->num_p2p_pref_chan = n;
        return 0;
    }
    case GK::NoGoFreq:
        return freq_range_list_parse(&config->p2p_no_go_freq, value);
    case GK::Ipv4: {
        in_addr a;
        if (inet_pton(AF_INET, value, &a) != 1) return -1;
        memcpy(gmember<uint8_t>(config, f), &a, 4);
        return 0;
    }
    case GK::Country:
        if (value[0] == '\0' || value[1] == '\0') return -1;
        config->country[0] = value[0];
        config->country[1] = value[1];
        return 0;
    case GK::Hessid: {
        uint8_t a[6];
        int used = hwaddr_compact_parse(value, a);
        if (used < 0 || value[used] != '\0') return -1;
        memcpy(config->hessid, a, 6);
        return 0;
    }
    case GK::IntList0:
    case GK::IntList: {
        int *list;
        if (!parse_int_list(value, &list)) return -1;
        int **field = gmember<int *>(config, f);
        free(*field);
        *field = list;
        return 0;
    }
    }
    return -1;
}

// The option's value text; -1 for options without a text form or when it does not fit.
int get_global(wpa_config *config, const GlobalField &f, char *buf, size_t buflen) {
    int res;
    switch (f.kind) {
    case GK::Int:
        res = snprintf(buf, buflen, "%d", *gmember<int>(config, f));
        break;
    case GK::Str:
    case GK::Bgscan: {
        const char *s = *gmember<char *>(config, f);
        res = snprintf(buf, buflen, "%s", s ? s : "null");
        break;
    }
    case GK::Ipv4: {
        char txt[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, gmember<uint8_t>(config, f), txt, sizeof(txt)) == nullptr) return -1;
        res = snprintf(buf, buflen, "%s", txt);
        break;
    }
    default:
        return -1;
    }
    if (res < 0 || static_cast<size_t>(res) >= buflen) return -1;
    return res;
}

} // namespace

// ---------------------------------------------------------------- configuration

wpa_config *wpa_config_alloc_empty(const char *ctrl_interface, const char *driver_param) {
    auto *config = static_cast<wpa_config *>(calloc(1, sizeof(wpa_config)));
    if (config == nullptr) return nullptr;
    config->wmm_ac_params[0] = {4, 10, 3, 0, 0};
    config->wmm_ac_params[1] = {4, 10, 7, 0, 0};
    config->wmm_ac_params[2] = {3, 4, 2, 3000 / 32, 0};
    config->wmm_ac_params[3] = {2, 3, 2, 1500 / 32, 0};
    config->eapol_version = 1;
    config->ap_scan = 1;
    config->fast_reauth = 1;
    config->p2p_go_intent = 7;
    config->p2p_intra_bss = 1;
    config->p2p_go_freq_change_policy = 2;
    config->p2p_go_max_inactivity = 300;
    config->bss_max_count = 200;
    config->bss_expiration_age = 180;
    config->bss_expiration_scan_count = 2;
    config->max_num_sta = 128;
    config->access_network_type = 15;
    config->p2p_search_delay = 500;
    config->rand_addr_lifetime = 60;
    config->key_mgmt_offload = 1;
    config->wpa_rsc_relaxation = 1;
    config->ctrl_interface = os_strdup(ctrl_interface);
    config->driver_param = os_strdup(driver_param);
    if ((ctrl_interface && !config->ctrl_interface) || (driver_param && !config->driver_param)) {
        wpa_config_free(config);
        return nullptr;
    }
    return config;
}

void wpa_config_free(wpa_config *config) {
    if (config == nullptr) return;
    for (wpa_network *s = config->ssid, *next; s != nullptr; s = next) {
        next = s->next;
        wpa_config_free_network(s);
    }
    for (wpa_cred *c = config->cred, *next; c != nullptr; c = next) {
        next = c->next;
        free(c);
    }
    wpa_config_flush_blobs(config);
    free(config->pssid);
    for (const GlobalField &f : global_fields) {
        switch (f.kind) {
        case GK::Str:
        case GK::Bgscan: {
            char **s = gmember<char *>(config, f);
            str_clear_free(*s);
            *s = nullptr;
            break;
        }
        case GK::Bytes:
        case GK::BytesNonEmpty: {
            wpa_buf **b = gmember<wpa_buf *>(config, f);
            wpa_buf_clear_free(*b);
            *b = nullptr;
            break;
        }
        case GK::IntList0:
        case GK::IntList: {
            int **l = gmember<int *>(config, f);
            free(*l);
            *l = nullptr;
            break;
        }
        default:
            break;
        }
    }
    free(config->p2p_pref_chan);
    free(config->p2p_no_go_freq.range);
    free(config);
}

void wpa_config_set_network_defaults(wpa_network *ssid) {
    ssid->proto = WPA_PROTO_WPA | WPA_PROTO_RSN;
    ssid->pairwise_cipher = WPA_CIPHER_CCMP | WPA_CIPHER_TKIP;
    ssid->group_cipher = WPA_CIPHER_CCMP | WPA_CIPHER_TKIP;
    ssid->key_mgmt = WPA_KEY_MGMT_PSK | WPA_KEY_MGMT_IEEE8021X;
    ssid->eapol_flags = 3;
    ssid->fragment_size = 1398;
    ssid->sim_num = 1;
    ssid->bg_scan_period = -1;
    ssid->eap_workaround = -1;
    ssid->proactive_key_caching = -1;
    ssid->mac_addr = -1;
}

wpa_network *wpa_config_add_network(wpa_config *config) {
    int id = -1;
    wpa_network *last = nullptr;
    for (wpa_network *s = config->ssid; s != nullptr; s = s->next) {
        if (s->id > id) id = s->id;
        last = s;
    }
    if (id == INT_MAX) return nullptr;
    auto *ssid = static_cast<wpa_network *>(calloc(1, sizeof(wpa_network)));
    if (ssid == nullptr) return nullptr;
    ssid->id = id + 1;
    (last ? last->next : config->ssid) = ssid;
    if (wpa_config_update_prio_list(config) < 0) {
        (last ? last->next : config->ssid) = nullptr;
        free(ssid);
        return nullptr;
    }
    return ssid;
}

wpa_network *wpa_config_get_network(wpa_config *config, int id) {
    for (wpa_network *s = config->ssid; s != nullptr; s = s->next)
        if (s->id == id) return s;
    return nullptr;
}

int wpa_config_remove_network(wpa_config *config, int id) {
    wpa_network *prev = nullptr;
    for (wpa_network *s = config->ssid; s != nullptr; prev = s, s = s->next) {
        if (s->id != id) continue;
        (prev ? prev->next : config->ssid) = s->next;
        wpa_config_update_prio_list(config);
        wpa_config_free_network(s);
        return 0;
    }
    return -1;
}

int wpa_config_update_prio_list(wpa_config *config) {
    size_t count = 0;
    for (wpa_network *s = config->ssid; s != nullptr; s = s->next)
        count++;
    auto **heads = static_cast<wpa_network **>(calloc(count + 1, sizeof(wpa_network *)));
    if (heads == nullptr) return -1;
    size_t groups = 0;
    for (wpa_network *s = config->ssid; s != nullptr; s = s->next) {
        s->pnext = nullptr;
        size_t g = 0;
        while (g < groups && heads[g]->priority > s->priority)
            g++;
        if (g < groups && heads[g]->priority == s->priority) {
            wpa_network *tail = heads[g];
            while (tail->pnext != nullptr)
                tail = tail->pnext;
            tail->pnext = s;
        } else {
            memmove(heads + g + 1, heads + g, (groups - g) * sizeof(wpa_network *));
            heads[g] = s;
            groups++;
        }
    }
    free(config->pssid);
    config->pssid = heads;
    config->num_prio = groups;
    return 0;
}

void wpa_config_free_network(wpa_network *ssid) {
    if (ssid == nullptr) return;
    for (const NetField &f : net_fields) {
        switch (f.kind) {
        case NK::Text:
        case NK::WepKey:
        case NK::Password:
            text_clear(member<wpa_text>(ssid, f));
            break;
        case NK::AddrList:
        case NK::P2pClientList:
            free_addr_list(member<wpa_addr_list>(ssid, f));
            break;
        case NK::IntList:
            free(*member<int *>(ssid, f));
            break;
        default:
            break;
        }
    }
    str_clear_free(ssid->passphrase);
    for (wpa_psk_entry *p = ssid->psk_list, *next; p != nullptr; p = next) {
        next = p->next;
        bin_clear_free(p, sizeof(*p));
    }
    free(ssid->eap_methods);
    text_clear(&ssid->new_password);
    text_clear(&ssid->otp);
    free(ssid->pending_req_otp);
    bin_clear_free(ssid, sizeof(*ssid));
}

int wpa_config_set_network_field(wpa_network *ssid, const char *var, const char *value, int line) {
    (void)line;
    if (ssid == nullptr || var == nullptr || value == nullptr) return -1;
    const NetField *f = find_net_field(var);
    if (f == nullptr) return -1;
    return set_field(ssid, *f, value);
}

bool wpa_config_network_field_known(const char *var) {
    return find_net_field(var) != nullptr;
}

char *wpa_config_get_network_field(wpa_network *ssid, const char *var) {
    const NetField *f = find_net_field(var);
    if (f == nullptr) return nullptr;
    char *res = write_field(ssid, *f);
    if (res != nullptr && f->key) {
        // Keys never leave through GET_NETWORK; an empty key counts as unset.
        bool set = res[0] != '\0' && strcmp(res, "\"\"") != 0;
        str_clear_free(res);
        return set ? strdup("*") : nullptr;
    }
    return res;
}

char *wpa_config_get_network_field_raw(wpa_network *ssid, const char *var) {
    const NetField *f = find_net_field(var);
    if (f == nullptr) return nullptr;
    char *res = write_field(ssid, *f);
    if (res != nullptr && has_newline(res)) {
        str_clear_free(res);
        return nullptr;
    }
    return res;
}

void wpa_config_update_psk(wpa_network *ssid) {
    if (ssid->passphrase == nullptr || ssid->ssid.data == nullptr) return;
    if (derive_psk(ssid->passphrase, ssid->ssid.data, ssid->ssid.len, ssid->psk)) ssid->psk_set = 1;
}

int wpa_config_process_global(wpa_config *config, char *pos, int line) {
    (void)line;
    for (const GlobalField &f : global_fields) {
        size_t flen = strlen(f.name);
        if (strncmp(pos, f.name, flen) != 0 || pos[flen] != '=') continue;
        if (set_global(config, f, pos + flen + 1) < 0) return -1;
        config->changed_parameters |= f.changed;
        if (strncmp(f.name, "wps_nfc_", 8) == 0) config->wps_nfc_pw_from_config = 1;
        return 0;
    }
    return -1;
}

int wpa_config_get_global(const char *name, wpa_config *config, char *buf, size_t buflen) {
    for (const GlobalField &f : global_fields)
        if (strcmp(f.name, name) == 0) return get_global(config, f, buf, buflen);
    return -1;
}

int wpa_config_dump_values(wpa_config *config, char *buf, size_t buflen) {
    char *pos = buf, *end = buf + buflen;
    char value[4096];
    for (const GlobalField &f : global_fields) {
        if (f.kind == GK::NoCtrlIface || f.kind == GK::Ignore) continue;
        if (get_global(config, f, value, sizeof(value)) < 0) continue;
        int res = snprintf(pos, static_cast<size_t>(end - pos), "%s=%s\n", f.name, value);
        if (res < 0 || res >= end - pos) return -1;
        pos += res;
    }
    return static_cast<int>(pos - buf);
}

const wpa_config_blob *wpa_config_get_blob(wpa_config *config, const char *name) {
    for (wpa_config_blob *b = config->blobs; b != nullptr; b = b->next)
        if (strcmp(b->name, name) == 0) return b;
    return nullptr;
}

void wpa_config_set_blob(wpa_config *config, wpa_config_blob *blob) {
    wpa_config_remove_blob(config, blob->name);
    blob->next = config->blobs;
    config->blobs = blob;
}

int wpa_config_remove_blob(wpa_config *config, const char *name) {
    wpa_config_blob *prev = nullptr;
    for (wpa_config_blob *b = config->blobs; b != nullptr; prev = b, b = b->next) {
        if (strcmp(b->name, name) != 0) continue;
        (prev ? prev->next : config->blobs) = b->next;
        wpa_config_free_blob(b);
        return 0;
    }
    return -1;
}

void wpa_config_free_blob(wpa_config_blob *blob) {
    if (blob == nullptr) return;
    free(blob->name);
    bin_clear_free(blob->data, blob->len);
    free(blob);
}

void wpa_config_flush_blobs(wpa_config *config) {
    for (wpa_config_blob *b = config->blobs, *next; b != nullptr; b = next) {
        next = b->next;
        wpa_config_free_blob(b);
    }
    config->blobs = nullptr;
}

size_t wpa_config_network_field_count() {
    return std::size(net_fields);
}

const char *wpa_config_network_field_name(size_t i) {
    return i < std::size(net_fields) ? net_fields[i].name : nullptr;
}

size_t wpa_config_global_field_count() {
    return std::size(global_fields);
}
