// The radiotap walk: fields in bit order with their alignment, extended present words,
// namespaces, and the ends of the walk.
#include "wireless/drivers/radiotap.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<int> walk(const std::vector<uint8_t> &h, int *end) {
    radiotap_iterator it;
    std::vector<int> seen;
    *end = radiotap_iterator_init(&it, h.data(), h.size());
    if (*end != 0) return seen;
    while ((*end = radiotap_iterator_next(&it)) == 0) {
        seen.push_back(it.this_arg_index);
        seen.push_back(static_cast<int>(it.this_arg - h.data()));
    }
    return seen;
}

TEST(Radiotap, WalksFieldsAndStopsWhereItMust) {
    struct Case {
        const char *what;
        std::vector<uint8_t> hdr;
        std::vector<int> seen; // index, offset pairs
        int end;
    } cases[] = {
        // flags (1) at 8, channel (3) aligned to 10, antenna signal (5) at 14.
        {"plain",
         {0, 0, 15, 0, 0x2a, 0, 0, 0, 0x10, 0, 0x6c, 0x09, 0xa0, 0x00, 0xd0},
         {1, 8, 3, 10, 5, 14},
         -2},
        // TSFT (0) is aligned to 8 after an extended present word.
        {"extended",
         {0, 0, 24, 0, 0x01, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8},
         {0, 16},
         -2},
        {"field 18 ends", {0, 0, 12, 0, 0x02, 0, 0x04, 0, 0x10, 0, 0, 0}, {1, 8}, -2},
        {"field past header", {0, 0, 9, 0, 0x08, 0, 0, 0, 0}, {}, -22},
        {"too short", {0, 0, 4, 0}, {}, -22},
        {"version 1", {1, 0, 8, 0, 0, 0, 0, 0}, {}, -22},
        {"length past buffer", {0, 0, 40, 0, 0, 0, 0, 0}, {}, -22},
        {"chain past header", {0, 0, 8, 0, 0, 0, 0, 0x80}, {}, -22},
    };
    for (const Case &c : cases) {
        int end = 0;
        EXPECT_EQ(walk(c.hdr, &end), c.seen) << c.what;
        EXPECT_EQ(end, c.end) << c.what;
    }
}

TEST(Radiotap, VendorNamespaceIsSkippedAndRadiotapResumes) {
    // Word 0: vendor namespace (30) + ext (31). Word 1 (vendor fields): radiotap ns (29) +
    // ext. Word 2 (radiotap again): flags (1). Vendor data: OUI, sub-ns, skip 2, 2 bytes.
    std::vector<uint8_t> h = {0, 0, 0, 0,    0x00, 0,    0,    0xc0, 0xff, 0,    0,    0xa0, 0x02,
                              0, 0, 0, 0x00, 0x11, 0x22, 0x01, 0x02, 0x00, 0xaa, 0xbb, 0x5a};
    h[2] = static_cast<uint8_t>(h.size());
    int end = 0;
    EXPECT_EQ(walk(h, &end), (std::vector<int>{1, 24}));
    EXPECT_EQ(end, -2);
}

} // namespace
