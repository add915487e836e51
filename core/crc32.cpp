#include "core/crc32.h"

#include <array>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// Sixteen tables: table[k][b] is the CRC of byte b followed by k zero bytes, so that
// sixteen bytes are folded in per step (slicing by sixteen) instead of one.
using Tables = std::array<std::array<uint32_t, 256>, 16>;

constexpr Tables makeTables() {
    Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
        for (size_t k = 1; k < 16; ++k)
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}

constexpr Tables crcTables = makeTables();

#if defined(__x86_64__)
// Carry-less multiplication folds 64 bytes a step and reduces the rest with a Barrett
// step, at memory speed, for the sink of the USB stand-in and large images. It takes
// a multiple of 16 bytes, at least 64. The constants are x^k mod P for the reflected
// polynomial: k = 4*128+32 and 4*128-32 (four-block fold), 128+32 and 128-32 (one
// block), 64 (the 64-bit step), then P and the Barrett quotient x^64 / P.
#define QMR_FOLD_TARGET __attribute__((target("pclmul,sse4.1")))

QMR_FOLD_TARGET inline __m128i load(const uint8_t *q) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(q));
}

// x moved on by the distance k stands for, plus the next block.
QMR_FOLD_TARGET inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
    __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

QMR_FOLD_TARGET uint32_t foldCrc(uint32_t crc, const uint8_t *p, size_t n) {
    const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124);
    const __m128i poly = _mm_set_epi64x(0x1F7011641, 0x1DB710641);
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);

    __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
    p += 64;
    n -= 64;
    for (; n >= 64; n -= 64, p += 64) {
        x1 = fold(x1, k1k2, load(p));
        x2 = fold(x2, k1k2, load(p + 16));
        x3 = fold(x3, k1k2, load(p + 32));
        x4 = fold(x4, k1k2, load(p + 48));
    }
    x1 = fold(x1, k3k4, x2);
    x1 = fold(x1, k3k4, x3);
    x1 = fold(x1, k3k4, x4);
    for (; n >= 16; n -= 16, p += 16)
        x1 = fold(x1, k3k4, load(p));
    // 128 bits to 64, then to 32 bits with 32 zero bits appended.
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(k3k4, x1, 0x01));
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k5, 0x00), x2);
    // Barrett reduction to the 32-bit remainder.
    x2 = x1;
    x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), poly, 0x10);
    x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), poly, 0x00);
    x1 = _mm_xor_si128(x1, x2);
    return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

// Set when the program starts; a checksum asked for before that takes the tables.
const bool haveFold = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}();
#endif

} // namespace

uint32_t crc32Update(uint32_t crc, const void *data, size_t n) {
    const auto *p = static_cast<const uint8_t *>(data);
    const auto &t = crcTables;
#if defined(__x86_64__)
    if (n >= 64 && haveFold) {
        const size_t whole = n & ~static_cast<size_t>(15);
        crc = foldCrc(crc, p, whole);
        p += whole;
        n -= whole;
    }
#endif
    for (; n >= 16; n -= 16, p += 16) {
        // Byte order is spelled out: the fold is the same on any host.
        const uint32_t lo =
            crc ^ (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
        crc = t[15][lo & 0xFF] ^ t[14][(lo >> 8) & 0xFF] ^ t[13][(lo >> 16) & 0xFF] ^ t[12][lo >> 24] ^
              t[11][p[4]] ^ t[10][p[5]] ^ t[9][p[6]] ^ t[8][p[7]] ^ t[7][p[8]] ^ t[6][p[9]] ^ t[5][p[10]] ^
              t[4][p[11]] ^ t[3][p[12]] ^ t[2][p[13]] ^ t[1][p[14]] ^ t[0][p[15]];
    }
    for (; n > 0; --n, ++p)
        crc = t[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
    return crc;
}
