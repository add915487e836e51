#include "wireless/drivers/radiotap.h"

namespace {

uint32_t le32(const uint8_t *p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

struct Field {
    uint8_t align, size;
};

// Alignment and size of the radiotap fields 0 to 20; 18 has no description.
const Field fields[] = {
    {8, 8}, {1, 1}, {1, 1}, {2, 4}, {2, 2}, {1, 1}, {1, 1}, {2, 2}, {2, 2}, {2, 2}, {1, 1},
    {1, 1}, {1, 1}, {1, 1}, {2, 2}, {2, 2}, {1, 1}, {1, 1}, {0, 0}, {1, 3}, {4, 8},
};

constexpr int BitRadiotapNs = 29, BitVendorNs = 30, BitExt = 31;

} // namespace

int radiotap_iterator_init(radiotap_iterator *it, const uint8_t *buf, size_t len) {
    if (len < 8 || buf[0] != 0) return -22;
    size_t hdr_len = size_t(buf[2]) | (size_t(buf[3]) << 8);
    if (hdr_len < 8 || hdr_len > len) return -22;
    const uint8_t *word = buf + 4;
    while (le32(word) & (1u << BitExt)) {
        word += 4;
        if (static_cast<size_t>(word + 4 - buf) > hdr_len) return -22;
    }
    *it = {};
    it->hdr = buf;
    it->hdr_len = hdr_len;
    it->bitmap = buf + 4;
    it->last_word = word;
    it->arg = word + 4;
    it->this_arg_index = -1;
    return 0;
}

int radiotap_iterator_next(radiotap_iterator *it) {
    for (;;) {
        if (it->bit == 32) {
            if (it->bitmap == it->last_word) return -2;
            it->bitmap += 4;
            it->bit = 0;
            it->ns_base += 32;
        }
        int bit = it->bit++;
        uint32_t word = le32(it->bitmap);
        if (!(word & (1u << bit))) continue;
        if (bit == BitExt) continue; // the next word follows
        if (bit == BitRadiotapNs) {
            it->in_vendor = false;
            it->ns_base = -32; // the next word starts the namespace at field 0
            continue;
        }
        if (bit == BitVendorNs) {
            // OUI (3), sub-namespace (1), skip length (2), aligned to 2; no vendor namespace
            // has a description here, so its data is skipped by its length.
            size_t off = static_cast<size_t>(it->arg - it->hdr);
            off = (off + 1) & ~size_t(1);
            if (off + 6 > it->hdr_len) return -22;
            size_t skip = size_t(it->hdr[off + 4]) | (size_t(it->hdr[off + 5]) << 8);
            if (off + 6 + skip > it->hdr_len) return -22;
            it->arg = it->hdr + off + 6 + skip;
            it->in_vendor = true;
            it->ns_base = -32;
            continue;
        }
        if (it->in_vendor) continue;
        int index = it->ns_base + bit;
        if (index < 0 || index >= static_cast<int>(sizeof(fields) / sizeof(fields[0])) ||
            fields[index].size == 0)
            return -2; // a field without description: its size is unknown, the walk ends
        const Field &f = fields[index];
        size_t off = static_cast<size_t>(it->arg - it->hdr);
        off = (off + f.align - 1) & ~size_t(f.align - 1);
        if (off + f.size > it->hdr_len) return -22;
        it->this_arg_index = index;
        it->this_arg = it->hdr + off;
        it->this_arg_size = f.size;
        it->arg = it->hdr + off + f.size;
        return 0;
    }
}
