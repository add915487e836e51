#include "core/crc32.h"

#include <array>

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

} // namespace

uint32_t crc32Update(uint32_t crc, const void *data, size_t n) {
    const auto *p = static_cast<const uint8_t *>(data);
    const auto &t = crcTables;
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
