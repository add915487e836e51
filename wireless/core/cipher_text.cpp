#include "wireless/core/cipher_text.h"

#include <cstdio>
#include <cstring>

namespace {

struct CipherWord {
    const char *word;
    int bit;
};

const CipherWord print_words[] = {
    {"CCMP-256", WPA_CIPHER_CCMP_256}, {"GCMP-256", WPA_CIPHER_GCMP_256}, {"CCMP", WPA_CIPHER_CCMP},
    {"GCMP", WPA_CIPHER_GCMP},         {"TKIP", WPA_CIPHER_TKIP},         {"NONE", WPA_CIPHER_NONE},
};

} // namespace

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
