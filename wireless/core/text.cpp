#include "wireless/core/text.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int hex2num(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int hex2byte(const char *hex) {
    int a = hex2num(hex[0]);
    if (a < 0) return -1;
    int b = hex2num(hex[1]);
    if (b < 0) return -1;
    return (a << 4) | b;
}

namespace {

// Six colon-separated pairs; returns the characters used or -1.
int parse_colon_addr(const char *txt, uint8_t *addr) {
    const char *pos = txt;
    for (int i = 0; i < 6; i++) {
        int v = hex2byte(pos);
        if (v < 0) return -1;
        addr[i] = static_cast<uint8_t>(v);
        pos += 2;
        if (i < 5) {
            if (*pos != ':') return -1;
            pos++;
        }
    }
    return static_cast<int>(pos - txt);
}

} // namespace

int hwaddr_parse(const char *txt, uint8_t *addr) {
    return parse_colon_addr(txt, addr) < 0 ? -1 : 0;
}

int hwaddr_masked_parse(const char *txt, uint8_t *addr, uint8_t *mask, int maskable) {
    int used = parse_colon_addr(txt, addr);
    if (used < 0) return -1;
    const char *r = txt + used;
    if (*r == '\0' || *r == ' ') {
        memset(mask, 0xff, 6);
        return 0;
    }
    if (maskable && *r == '/') {
        int m = parse_colon_addr(r + 1, mask);
        if (m < 0) return -1;
        r += 1 + m;
        if (*r == '\0' || *r == ' ') return 0;
    }
    return -1;
}

int hwaddr_compact_parse(const char *txt, uint8_t *addr) {
    const char *pos = txt;
    for (int i = 0; i < 6; i++) {
        while (*pos == ':' || *pos == '.' || *pos == '-')
            pos++;
        int a = hex2num(*pos);
        if (a < 0) return -1;
        pos++;
        while (*pos == ':' || *pos == '.' || *pos == '-')
            pos++;
        int b = hex2num(*pos);
        if (b < 0) return -1;
        pos++;
        addr[i] = static_cast<uint8_t>((a << 4) | b);
    }
    return static_cast<int>(pos - txt);
}

int hex_to_bin(const char *hex, uint8_t *buf, size_t len) {
    for (size_t i = 0; i < len; i++) {
        int a = hex2byte(hex + 2 * i);
        if (a < 0) return -1;
        buf[i] = static_cast<uint8_t>(a);
        // hex2byte stops at a terminator in either digit, so the next pair is in bounds.
    }
    return 0;
}

int hwaddr_mask_txt(char *buf, size_t len, const uint8_t *addr, const uint8_t *mask) {
    int res = snprintf(buf, len, "%02x:%02x:%02x:%02x:%02x:%02x", addr[0], addr[1], addr[2], addr[3], addr[4],
                       addr[5]);
    if (res < 0 || static_cast<size_t>(res) >= len) return -1;
    bool full = true;
    for (int i = 0; i < 6; i++)
        full = full && mask[i] == 0xff;
    if (full) return res;
    int r2 = snprintf(buf + res, len - res, "/%02x:%02x:%02x:%02x:%02x:%02x", mask[0], mask[1], mask[2],
                      mask[3], mask[4], mask[5]);
    if (r2 < 0 || static_cast<size_t>(r2) >= len - res) return -1;
    return res + r2;
}

void inc_byte_array(uint8_t *counter, size_t len) {
    for (size_t pos = len; pos > 0; pos--) {
        counter[pos - 1]++;
        if (counter[pos - 1] != 0) break;
    }
}

void wpa_get_ntp_timestamp(uint8_t *buf) {
    os_time now;
    os_get_time(&now);
    uint32_t sec = static_cast<uint32_t>(now.sec + 2208988800U);
    uint32_t usec = static_cast<uint32_t>(now.usec);
    uint32_t frac = usec * 4295 - usec / 32 - usec / 512;
    wpa_put_be32(buf, sec);
    wpa_put_be32(buf + 4, frac);
}

int wpa_scnprintf(char *buf, size_t size, const char *fmt, ...) {
    if (size == 0) return 0;
    va_list ap;
    va_start(ap, fmt);
    int ret = vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    if (ret < 0) return 0;
    if (static_cast<size_t>(ret) >= size) return static_cast<int>(size - 1);
    return ret;
}

int wpa_snprintf_hex(char *buf, size_t buf_size, const uint8_t *data, size_t len) {
    // Nothing fits in an empty buffer, not even the terminator.
    if (buf_size == 0) return 0;
    size_t pos = 0;
    for (size_t i = 0; i < len && pos + 3 <= buf_size; i++) {
        snprintf(buf + pos, buf_size - pos, "%02x", data[i]);
        pos += 2;
    }
    buf[buf_size - 1] = '\0';
    if (pos < buf_size) buf[pos] = '\0';
    return static_cast<int>(pos);
}

size_t printf_encode(char *txt, size_t maxlen, const uint8_t *data, size_t len) {
    if (maxlen == 0) return 0;
    char *pos = txt;
    char *end = txt + maxlen;
    for (size_t i = 0; i < len; i++) {
        if (end - pos < 5) break;
        uint8_t c = data[i];
        switch (c) {
        case '"':
        case '\\':
            *pos++ = '\\';
            *pos++ = static_cast<char>(c);
            break;
        case '\t':
            *pos++ = '\\';
            *pos++ = 't';
            break;
        case '\n':
            *pos++ = '\\';
            *pos++ = 'n';
            break;
        case '\r':
            *pos++ = '\\';
            *pos++ = 'r';
            break;
        case '\033':
            *pos++ = '\\';
            *pos++ = 'e';
            break;
        default:
            if (c >= 32 && c <= 126)
                *pos++ = static_cast<char>(c);
            else
                pos += snprintf(pos, end - pos, "\\x%02x", c);
        }
    }
    *(pos < end ? pos : end - 1) = '\0';
    return static_cast<size_t>(pos - txt);
}

size_t printf_decode(uint8_t *buf, size_t size, const char *str) {
    if (size == 0) return 0;
    size_t len = 0;
    const char *pos = str;
    while (*pos != '\0' && len < size) {
        if (*pos != '\\') {
            buf[len++] = static_cast<uint8_t>(*pos++);
            continue;
        }
        pos++;
        switch (*pos) {
        case '\\':
        case '"':
            buf[len++] = static_cast<uint8_t>(*pos++);
            break;
        case 'n':
            buf[len++] = '\n';
            pos++;
            break;
        case 'r':
            buf[len++] = '\r';
            pos++;
            break;
        case 't':
            buf[len++] = '\t';
            pos++;
            break;
        case 'e':
            buf[len++] = '\033';
            pos++;
            break;
        case 'x': {
            pos++;
            int v = hex2num(*pos);
            if (v < 0) break; // "\x" without digits: nothing is written
            pos++;
            int v2 = hex2num(*pos);
            if (v2 >= 0) {
                v = (v << 4) | v2;
                pos++;
            }
            buf[len++] = static_cast<uint8_t>(v);
            break;
        }
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7': {
            int v = 0;
            for (int n = 0; n < 3 && *pos >= '0' && *pos <= '7'; n++)
                v = v * 8 + (*pos++ - '0');
            buf[len++] = static_cast<uint8_t>(v);
            break;
        }
        case '\0':
            break;
        default:
            buf[len++] = static_cast<uint8_t>(*pos++);
            break;
        }
    }
    if (len < size) buf[len] = '\0';
    return len;
}

const char *wpa_ssid_txt(const uint8_t *ssid, size_t ssid_len) {
    static char ssid_txt[32 * 4 + 1];
    if (ssid == nullptr) {
        ssid_txt[0] = '\0';
        return ssid_txt;
    }
    printf_encode(ssid_txt, sizeof(ssid_txt), ssid, ssid_len);
    return ssid_txt;
}

int has_non_printable_char(const uint8_t *data, size_t len) {
    for (size_t i = 0; i < len; i++)
        if (data[i] < 32 || data[i] > 126) return 1;
    return 0;
}

int has_ctrl_char(const uint8_t *data, size_t len) {
    for (size_t i = 0; i < len; i++)
        if (data[i] < 32 || data[i] == 127) return 1;
    return 0;
}

int has_newline(const char *str) {
    for (; *str; str++)
        if (*str == '\n' || *str == '\r') return 1;
    return 0;
}

int is_ctrl_char(char c) {
    return c > 0 && c < 32;
}

int str_starts(const char *str, const char *start) {
    return strncmp(str, start, strlen(start)) == 0;
}

int merge_byte_arrays(uint8_t *res, size_t res_len, const uint8_t *src1, size_t src1_len, const uint8_t *src2,
                      size_t src2_len) {
    memset(res, 0, res_len);
    size_t len = 0;
    if (src1 != nullptr) {
        len = std::min(src1_len, res_len);
        memcpy(res, src1, len);
    }
    if (src2 != nullptr && len < res_len) {
        size_t n = std::min(src2_len, res_len - len);
        memcpy(res + len, src2, n);
        len += n;
    }
    return static_cast<int>(len);
}

char *dup_binstr(const void *src, size_t len) {
    if (src == nullptr) return nullptr;
    char *res = static_cast<char *>(malloc(len + 1));
    if (res == nullptr) return nullptr;
    memcpy(res, src, len);
    res[len] = '\0';
    return res;
}

char *wpa_config_parse_string(const char *value, size_t *len) {
    if (*value == '"') {
        value++;
        const char *pos = strrchr(value, '"');
        if (pos == nullptr || pos[1] != '\0') return nullptr;
        *len = static_cast<size_t>(pos - value);
        return dup_binstr(value, *len);
    }
    if (*value == 'P' && value[1] == '"') {
        const char *pstr = value + 2;
        const char *pos = strrchr(pstr, '"');
        if (pos == nullptr || pos[1] != '\0') return nullptr;
        size_t tlen = static_cast<size_t>(pos - pstr);
        char *tstr = dup_binstr(pstr, tlen);
        if (tstr == nullptr) return nullptr;
        char *str = static_cast<char *>(malloc(tlen + 1));
        if (str == nullptr) {
            free(tstr);
            return nullptr;
        }
        *len = printf_decode(reinterpret_cast<uint8_t *>(str), tlen + 1, tstr);
        free(tstr);
        if (*len > tlen) *len = tlen;
        str[*len] = '\0';
        return str;
    }
    size_t tlen = strlen(value);
    if (tlen & 1) return nullptr;
    tlen /= 2;
    auto *str = static_cast<uint8_t *>(malloc(tlen + 1));
    if (str == nullptr) return nullptr;
    if (hex_to_bin(value, str, tlen) != 0) {
        free(str);
        return nullptr;
    }
    str[tlen] = '\0';
    *len = tlen;
    return reinterpret_cast<char *>(str);
}

int parse_ssid_text(const char *buf, wpa_ssid_value *ssid) {
    const char *end;
    if (*buf == '"') {
        end = strchr(buf + 1, '"');
        if (end == nullptr) return -1;
        end++;
    } else {
        end = strchr(buf, ' ');
        if (end == nullptr) end = buf + strlen(buf);
    }
    char *txt = dup_binstr(buf, static_cast<size_t>(end - buf));
    if (txt == nullptr) return -1;
    size_t len = 0;
    char *ssid_txt = wpa_config_parse_string(txt, &len);
    free(txt);
    if (ssid_txt == nullptr) return -1;
    if (len < 1 || len > 32) {
        free(ssid_txt);
        return -1;
    }
    memcpy(ssid->ssid, ssid_txt, len);
    ssid->ssid_len = len;
    free(ssid_txt);
    return 0;
}

int freq_range_list_parse(freq_range_list *res, const char *value) {
    freq_range *freq = nullptr;
    unsigned int n = 0;
    const char *pos = value;
    while (pos != nullptr && *pos) {
        auto *nf = static_cast<freq_range *>(realloc(freq, (n + 1) * sizeof(freq_range)));
        if (nf == nullptr) {
            free(freq);
            return -1;
        }
        freq = nf;
        freq[n].min = static_cast<unsigned>(atoi(pos));
        const char *pos2 = strchr(pos, '-');
        const char *pos3 = strchr(pos, ',');
        if (pos2 != nullptr && (pos3 == nullptr || pos2 < pos3))
            freq[n].max = static_cast<unsigned>(atoi(pos2 + 1));
        else
            freq[n].max = freq[n].min;
        n++;
        pos = pos3 ? pos3 + 1 : nullptr;
    }
    free(res->range);
    res->range = freq;
    res->num = n;
    return 0;
}

int freq_range_list_includes(const freq_range_list *list, unsigned int freq) {
    if (list == nullptr) return 0;
    for (unsigned int i = 0; i < list->num; i++)
        if (freq >= list->range[i].min && freq <= list->range[i].max) return 1;
    return 0;
}

char *freq_range_list_str(const freq_range_list *list) {
    if (list->num == 0) return nullptr;
    size_t maxlen = list->num * 30;
    char *buf = static_cast<char *>(malloc(maxlen));
    if (buf == nullptr) return nullptr;
    char *pos = buf, *end = buf + maxlen;
    *pos = '\0';
    for (unsigned int i = 0; i < list->num; i++) {
        const freq_range *r = &list->range[i];
        int res;
        if (r->min == r->max)
            res = snprintf(pos, end - pos, "%s%u", i == 0 ? "" : ",", r->min);
        else
            res = snprintf(pos, end - pos, "%s%u-%u", i == 0 ? "" : ",", r->min, r->max);
        if (res < 0 || res >= end - pos) {
            free(buf);
            return nullptr;
        }
        pos += res;
    }
    return buf;
}

size_t int_array_len(const int *a) {
    size_t i = 0;
    for (; a && a[i]; i++) {
    }
    return i;
}

void int_array_concat(int **res, const int *a) {
    size_t reslen = int_array_len(*res), alen = int_array_len(a);
    int *n = static_cast<int *>(realloc(*res, (reslen + alen + 1) * sizeof(int)));
    if (n == nullptr) {
        free(*res);
        *res = nullptr;
        return;
    }
    for (size_t i = 0; i <= alen; i++)
        n[reslen + i] = a ? a[i] : 0;
    n[reslen + alen] = 0;
    *res = n;
}

void int_array_sort_unique(int *a) {
    if (a == nullptr) return;
    size_t alen = int_array_len(a);
    std::sort(a, a + alen);
    size_t j = 0;
    for (size_t i = 0; i < alen; i++)
        if (j == 0 || a[j - 1] != a[i]) a[j++] = a[i];
    a[j] = 0;
}

char *str_token(char *str, const char *delim, char **context) {
    char *end, *pos = str;
    if (*context) pos = *context;
    while (*pos && strchr(delim, *pos))
        pos++;
    if (!*pos) return nullptr;
    end = pos + 1;
    while (*end && !strchr(delim, *end))
        end++;
    *context = end;
    return pos;
}

char *cstr_token(char *str, const char *delim, char **context) {
    char *pos = str_token(str, delim, context);
    if (pos == nullptr) return nullptr;
    if (**context) {
        **context = '\0';
        (*context)++;
    }
    return pos;
}

size_t utf8_unescape(const char *inp, size_t in_size, char *outp, size_t out_size) {
    size_t res_size = 0;
    if (inp == nullptr || outp == nullptr) return 0;
    if (in_size == 0) in_size = strlen(inp);
    if (*inp == '\'') {
        inp++;
        in_size--;
    }
    while (in_size) {
        in_size--;
        if (res_size >= out_size) return 0;
        switch (*inp) {
        case '\'':
            *outp = '\0';
            return res_size;
        case '\\':
            if (!in_size) return 0;
            in_size--;
            inp++;
            [[fallthrough]];
        default:
            *outp++ = *inp++;
            res_size++;
        }
    }
    if (res_size == out_size) return 0;
    *outp = '\0';
    return res_size;
}

size_t escape_quote_backslash(const char *inp, size_t in_size, char *outp, size_t out_size) {
    size_t res_size = 0;
    if (inp == nullptr || outp == nullptr) return 0;
    while (in_size) {
        if (*inp == '\'' || *inp == '\\') {
            if (res_size + 1 >= out_size) return 0;
            *outp++ = '\\';
            res_size++;
        }
        if (res_size >= out_size) return 0;
        *outp++ = *inp++;
        res_size++;
        in_size--;
    }
    if (res_size >= out_size) return 0;
    *outp = '\0';
    return res_size;
}

namespace {
const char base64_table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

unsigned char *base64_encode(const void *src, size_t len, size_t *out_len) {
    const auto *in = static_cast<const uint8_t *>(src);
    if (len >= SIZE_MAX / 4) return nullptr;
    size_t olen = len * 4 / 3 + 4;
    olen += olen / 72;
    olen++;
    auto *out = static_cast<unsigned char *>(malloc(olen));
    if (out == nullptr) return nullptr;
    unsigned char *pos = out;
    size_t i = 0;
    int line_len = 0;
    for (; len - i >= 3; i += 3) {
        *pos++ = base64_table[in[i] >> 2];
        *pos++ = base64_table[((in[i] & 0x03) << 4) | (in[i + 1] >> 4)];
        *pos++ = base64_table[((in[i + 1] & 0x0f) << 2) | (in[i + 2] >> 6)];
        *pos++ = base64_table[in[i + 2] & 0x3f];
        line_len += 4;
        if (line_len >= 72) {
            *pos++ = '\n';
            line_len = 0;
        }
    }
    if (len - i) {
        *pos++ = base64_table[in[i] >> 2];
        if (len - i == 1) {
            *pos++ = base64_table[(in[i] & 0x03) << 4];
            *pos++ = '=';
        } else {
            *pos++ = base64_table[((in[i] & 0x03) << 4) | (in[i + 1] >> 4)];
            *pos++ = base64_table[(in[i + 1] & 0x0f) << 2];
        }
        *pos++ = '=';
        line_len += 4;
    }
    if (line_len) *pos++ = '\n';
    *pos = '\0';
    if (out_len) *out_len = static_cast<size_t>(pos - out);
    return out;
}

unsigned char *base64_decode(const char *src, size_t len, size_t *out_len) {
    int8_t dtable[256];
    memset(dtable, -1, sizeof(dtable));
    for (int i = 0; i < 64; i++)
        dtable[static_cast<uint8_t>(base64_table[i])] = static_cast<int8_t>(i);
    dtable[static_cast<uint8_t>('=')] = 0;

    size_t count = 0;
    for (size_t i = 0; i < len; i++)
        if (dtable[static_cast<uint8_t>(src[i])] != -1) count++;
    if (count == 0 || count % 4) return nullptr;
    auto *out = static_cast<unsigned char *>(malloc(count / 4 * 3));
    if (out == nullptr) return nullptr;
    unsigned char *pos = out;
    uint8_t block[4];
    int pad = 0;
    count = 0;
    for (size_t i = 0; i < len; i++) {
        auto c = static_cast<uint8_t>(src[i]);
        int8_t v = dtable[c];
        if (v == -1) continue;
        if (c == '=') pad++;
        block[count++] = static_cast<uint8_t>(v);
        if (count == 4) {
            *pos++ = static_cast<uint8_t>((block[0] << 2) | (block[1] >> 4));
            *pos++ = static_cast<uint8_t>((block[1] << 4) | (block[2] >> 2));
            *pos++ = static_cast<uint8_t>((block[2] << 6) | block[3]);
            count = 0;
            if (pad) {
                if (pad == 1)
                    pos--;
                else if (pad == 2)
                    pos -= 2;
                else {
                    free(out);
                    return nullptr;
                }
                break;
            }
        }
    }
    *out_len = static_cast<size_t>(pos - out);
    return out;
}

struct bitfield {
    uint8_t *bits;
    size_t max_bits;
};

bitfield *bitfield_alloc(size_t max_bits) {
    auto *bf = static_cast<bitfield *>(calloc(1, sizeof(bitfield) + (max_bits + 7) / 8));
    if (bf == nullptr) return nullptr;
    bf->bits = reinterpret_cast<uint8_t *>(bf + 1);
    bf->max_bits = max_bits;
    return bf;
}

void bitfield_free(bitfield *bf) {
    free(bf);
}

void bitfield_set(bitfield *bf, size_t bit) {
    if (bit < bf->max_bits) bf->bits[bit / 8] |= static_cast<uint8_t>(1 << (bit % 8));
}

void bitfield_clear(bitfield *bf, size_t bit) {
    if (bit < bf->max_bits) bf->bits[bit / 8] &= static_cast<uint8_t>(~(1 << (bit % 8)));
}

int bitfield_is_set(bitfield *bf, size_t bit) {
    return bit < bf->max_bits && (bf->bits[bit / 8] & (1 << (bit % 8)));
}

int bitfield_get_first_zero(bitfield *bf) {
    for (size_t i = 0; i < bf->max_bits; i++)
        if (!(bf->bits[i / 8] & (1 << (i % 8)))) return static_cast<int>(i);
    return -1;
}

int random_mac_addr(uint8_t *addr) {
    if (os_get_random(addr, 6) < 0) return -1;
    addr[0] &= 0xfe;
    addr[0] |= 0x02;
    return 0;
}

int random_mac_addr_keep_oui(uint8_t *addr) {
    if (os_get_random(addr + 3, 3) < 0) return -1;
    addr[0] &= 0xfe;
    addr[0] |= 0x02;
    return 0;
}

void str_clear_free(char *str) {
    if (str != nullptr) {
        explicit_bzero(str, strlen(str));
        free(str);
    }
}

void bin_clear_free(void *bin, size_t len) {
    if (bin != nullptr) {
        explicit_bzero(bin, len);
        free(bin);
    }
}
