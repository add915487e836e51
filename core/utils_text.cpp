#include "core/utils_text.h"

// DES_fcrypt is deprecated in OpenSSL 3 but still exported; the hashed form of the
// password parameters depends on it.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/random.h>

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Characters outside the alphabet map to 64.
constexpr struct DecodeTable {
    uint8_t value[256];
    constexpr DecodeTable() : value() {
        for (int i = 0; i < 256; ++i)
            value[i] = 64;
        for (int i = 0; i < 64; ++i)
            value[static_cast<uint8_t>(alphabet[i])] = static_cast<uint8_t>(i);
    }
} decodeTable;

constexpr char passwordSalt[] = "qz";

// Fills buf from the OS random source; OpenSSL's generator when getrandom fails.
bool randomBytes(uint8_t *buf, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t r = getrandom(buf + done, n - done, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += static_cast<size_t>(r);
    }
    if (done == n) return true;
    return RAND_bytes(buf, static_cast<int>(n)) == 1;
}

// The 11 characters that DES crypt of the chunk gives after the salt. DES_fcrypt
// writes into our buffer, so concurrent callers do not share crypt's static result.
bool hashChunk(const char *password, size_t len, char out[11]) {
    char chunk[9];
    std::memcpy(chunk, password, len);
    chunk[len] = '\0';
    char result[14];
    if (DES_fcrypt(chunk, passwordSalt, result) == nullptr || std::strlen(result) != 13) return false;
    std::memcpy(out, result + 2, 11);
    return true;
}

} // namespace

char currentTan[17] = "NoTAN";

size_t base64Encode(const void *data, size_t len, char *out, size_t size, int startColumn) {
    if (out == nullptr || size == 0) return 0;
    const auto *in = static_cast<const uint8_t *>(data);
    if (in == nullptr) len = 0;
    const size_t room = size - 1; // one byte stays for the end mark
    size_t o = 0;
    size_t lineStart = 0;
    long lineLimit = 79L - startColumn;
    size_t i = 0;
    while (i < len && room - o >= 4) {
        const size_t take = len - i < 3 ? len - i : 3;
        uint32_t group = static_cast<uint32_t>(in[i]) << 16;
        if (take > 1) group |= static_cast<uint32_t>(in[i + 1]) << 8;
        if (take > 2) group |= in[i + 2];
        i += take;
        out[o] = alphabet[(group >> 18) & 0x3F];
        out[o + 1] = alphabet[(group >> 12) & 0x3F];
        out[o + 2] = take > 1 ? alphabet[(group >> 6) & 0x3F] : '=';
        out[o + 3] = take > 2 ? alphabet[group & 0x3F] : '=';
        o += 4;
        if (static_cast<long>(o - lineStart) > lineLimit && room - o >= 2) {
            out[o++] = '\r';
            out[o++] = '\n';
            lineStart = o;
            lineLimit = 79;
        }
    }
    out[o] = '\0';
    return o;
}

size_t base64Decode(const char *text, uint8_t *out, size_t size) {
    if (out == nullptr || size == 0) return 0;
    size_t o = 0;      // complete bytes
    uint32_t bits = 0; // bits taken for the next byte
    int nbits = 0;
    for (const char *p = text; p != nullptr && *p != '\0' && o < size - 1; ++p) {
        const uint8_t v = decodeTable.value[static_cast<uint8_t>(*p)];
        if (v >= 64) break;
        bits = (bits << 6) | v;
        nbits += 6;
        if (nbits >= 8) {
            nbits -= 8;
            out[o++] = static_cast<uint8_t>(bits >> nbits);
            bits &= (1u << nbits) - 1;
        }
    }
    // The byte after the last complete one is always the end mark, also when the text
    // ends inside a group: its leftover bits make no byte.
    out[o] = 0;
    return o;
}

size_t htmlEscape(const char *text, char *out, size_t size) {
    if (out == nullptr || size == 0) return 0;
    size_t o = 0;
    // Every replacement is at most 6 characters: below size - 8 it always fits.
    for (const char *p = text; p != nullptr && *p != '\0' && o + 8 < size; ++p) {
        const char *entity = nullptr;
        switch (*p) {
        case ' ':
            entity = "&nbsp;";
            break;
        case '"':
            entity = "&quot;";
            break;
        case '&':
            if (p[1] != '#') entity = "&amp;";
            break;
        case '\'':
            entity = "&apos;";
            break;
        case '<':
            entity = "&lt;";
            break;
        case '>':
            entity = "&gt;";
            break;
        default:
            break;
        }
        if (entity == nullptr) {
            out[o++] = *p;
        } else {
            const size_t n = std::strlen(entity);
            std::memcpy(out + o, entity, n);
            o += n;
        }
    }
    out[o] = '\0';
    return o;
}

size_t encodeSpaces(const char *text, char *out, size_t size) {
    if (out == nullptr || size == 0) return 0;
    size_t o = 0;
    for (const char *p = text; p != nullptr && *p != '\0' && o + 4 < size; ++p) {
        if (*p == ' ') {
            std::memcpy(out + o, "%20", 3);
            o += 3;
        } else {
            out[o++] = *p;
        }
    }
    out[o] = '\0';
    return o;
}

bool randomAlnum(char *out, size_t n) {
    if (out == nullptr) return false;
    // 248 = 4 * 62: bytes from 248 up are drawn again, so each character is equally likely.
    uint8_t pool[64];
    size_t used = sizeof pool, i = 0;
    while (i < n) {
        if (used == sizeof pool) {
            if (!randomBytes(pool, sizeof pool)) {
                std::memset(out, '0', n);
                return false;
            }
            used = 0;
        }
        const uint8_t b = pool[used++];
        if (b >= 248) continue;
        const int a = b % 62;
        out[i++] = static_cast<char>(a < 10 ? '0' + a : a < 36 ? 'A' + (a - 10) : 'a' + (a - 36));
    }
    return true;
}

bool newTan(char *buf) {
    char *target = buf ? buf : currentTan;
    const bool ok = randomAlnum(target, 16);
    target[16] = '\0';
    return ok;
}

bool passwordHashInto(const char *password, size_t len, char *out) {
    std::memcpy(out, passwordSalt, 3);
    if (len > PasswordMaxLength) return false;
    if (password == nullptr) return len == 0;
    char *end = out + 2;
    for (size_t s = 0; s < len; s += 8) {
        const size_t n = len - s < 8 ? len - s : 8;
        if (!hashChunk(password + s, n, end)) return false;
        end += 11;
        *end = '\0';
    }
    return true;
}

char *passwordHash(const char *password, int len) {
    if (len <= 0 || static_cast<size_t>(len) > PasswordMaxLength) return nullptr;
    const size_t chunks = (static_cast<size_t>(len) + 7) / 8;
    auto *out = static_cast<char *>(std::malloc(2 + 11 * chunks + 1));
    if (out == nullptr) return nullptr;
    if (!passwordHashInto(password, static_cast<size_t>(len), out)) {
        std::free(out);
        return nullptr;
    }
    return out;
}

bool passwordMatches(const char *password, int len, const char *hashed) {
    size_t plen = 0;
    if (password != nullptr) plen = len < 0 ? std::strlen(password) : static_cast<size_t>(len);
    const size_t hlen = hashed ? std::strlen(hashed) : 0;
    if (hlen == 0) return plen == 0;
    if (plen == 0 || hlen < 2) return false;
    // Chunk by chunk; the hashed form bounds the work for an over-long password.
    const char *h = hashed + 2;
    size_t left = hlen - 2;
    for (size_t s = 0; s < plen; s += 8) {
        if (left < 11) return false;
        char chunk[11];
        const size_t n = plen - s < 8 ? plen - s : 8;
        if (!hashChunk(password + s, n, chunk) || std::memcmp(chunk, h, 11) != 0) return false;
        h += 11;
        left -= 11;
    }
    return left == 0;
}

int strCaseCmpN(const char *a, const char *b, int n) {
    if (a == nullptr || b == nullptr || n > 128) return -1;
    if (n < 0) {
        const size_t la = std::strlen(a), lb = std::strlen(b);
        if (la != lb) return static_cast<int>(la) - static_cast<int>(lb);
        n = static_cast<int>(la);
    }
    auto fold = [](char c) {
        const int u = static_cast<unsigned char>(c);
        return u > 'Z' ? u - 32 : u;
    };
    for (int i = 0; i < n && a[i] != '\0'; ++i) {
        const int d = fold(a[i]) - fold(b[i]);
        if (d != 0) return d;
    }
    return 0;
}

int hexByte(char high, char low) {
    auto digit = [](char c) {
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return c - '0';
    };
    return digit(high) * 16 + digit(low);
}

uint32_t readU32(const void *p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
