#include "wireless/core/cipher_text.h"

#include <cstdio>
#include <cstring>

namespace {

struct CipherWord {
    const char *word;
    int bit;
};

const CipherWord parse_words[] = {
    {"CCMP-256", WPA_CIPHER_CCMP_256},
    {"GCMP-256", WPA_CIPHER_GCMP_256},
    {"CCMP", WPA_CIPHER_CCMP},
    {"GCMP", WPA_CIPHER_GCMP},
    {"TKIP", WPA_CIPHER_TKIP},
    {"WEP104", WPA_CIPHER_WEP104},
    {"WEP40", WPA_CIPHER_WEP40},
    {"NONE", WPA_CIPHER_NONE},
    {"GTK_NOT_USED", WPA_CIPHER_GTK_NOT_USED},
};

const CipherWord print_words[] = {
    {"CCMP-256", WPA_CIPHER_CCMP_256}, {"GCMP-256", WPA_CIPHER_GCMP_256}, {"CCMP", WPA_CIPHER_CCMP},
    {"GCMP", WPA_CIPHER_GCMP},         {"TKIP", WPA_CIPHER_TKIP},         {"NONE", WPA_CIPHER_NONE},
};

} // namespace

int wpa_cipher_list_from_text(const char *value) {
    int val = 0;
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
        for (const CipherWord &w : parse_words) {
            if (strlen(w.word) == len && strncmp(pos, w.word, len) == 0) {
                val |= w.bit;
                known = true;
                break;
            }
        }
        if (!known) return -1;
        pos = end;
    }
    return val;
}

int wpa_cipher_list_to_text(char *pos, char *end, int ciphers, const char *delim) {
    char *start = pos;
    if (end <= pos) return -1;
    *pos = '\0';
    for (const CipherWord &w : print_words) {
        if (!(ciphers & w.bit)) continue;
        int ret = snprintf(pos, static_cast<size_t>(end - pos), "%s%s", pos == start ? "" : delim, w.word);
        if (ret < 0 || ret >= end - pos) return -1;
        pos += ret;
    }
    return static_cast<int>(pos - start);
}
