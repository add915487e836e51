// The CRC-32 of the file copies and of the firmware image header: table-driven,
// reflected, polynomial 0xEDB88320 (IEEE 802.3), started at 0 and inverted neither
// before nor after. "abc" gives 0xCA6598D0 (the usual inverted CRC-32 gives 0x352441C2).
#pragma once

#include <cstddef>
#include <cstdint>

// Continues a checksum over n more bytes.
uint32_t crc32Update(uint32_t crc, const void *data, size_t n);

// The checksum of n bytes, continuing from start (0 for a fresh checksum).
inline uint32_t crc32(const void *data, size_t n, uint32_t start = 0) {
    return crc32Update(start, data, n);
}
