// EAP header helpers: length checks, payload lookup of standard and expanded types, and
// the headers written for new messages.
#include "wireless/common/eap_common.h"
#include "wireless/core/wpabuf.h"

#include "hex.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

struct BufFree {
    void operator()(wpa_buf *b) const { wpa_buf_free(b); }
};
using BufPtr = std::unique_ptr<wpa_buf, BufFree>;

BufPtr msg(const std::string &hexText) {
    const std::vector<uint8_t> b = unhex(hexText);
    return BufPtr(wpa_buf_alloc_copy(b.data(), b.size()));
}

TEST(WirelessEap, HeaderLengthChecks) {
    struct Case {
        const char *name;
        const char *bytes;
        size_t minPayload;
        bool valid;
    };
    const Case cases[] = {
        {"Success of 4 bytes, no payload needed", "03010004", 0, true},
        {"Success of 4 bytes, one payload byte needed", "03010004", 1, false},
        {"shorter than a header", "030100", 0, false},
        {"header claims 20 bytes in 16", "0101001401000000000000000000000000", 0, false},
        {"header claims fewer bytes than the minimum", "0101000501", 2, false},
        {"buffer longer than the header says", "010100050199", 1, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        BufPtr m = msg(c.bytes);
        EXPECT_EQ(c.valid, eap_hdr_len_valid(m.get(), c.minPayload));
    }
    EXPECT_FALSE(eap_hdr_len_valid(nullptr, 0));
}

TEST(WirelessEap, ValidateFindsThePayload) {
    struct Case {
        const char *name;
        const char *bytes;
        int vendor;
        uint32_t type;
        int offset; // -1: refused
        size_t plen;
    };
    const Case cases[] = {
        {"identity request", "0107000801616263", 0, 1, 5, 3},
        {"identity request, wrong type", "0107000801616263", 0, 4, -1, 0},
        {"standard type asked with a vendor", "0107000801616263", 0x372a, 1, -1, 0},
        {"type byte only", "0107000501", 0, 1, 5, 0},
        {"no type byte", "01070004", 0, 1, -1, 0},
        {"expanded, WSC", "010200 0e fe 00372a 00000001 0401", 0x372a, 1, 12, 2},
        {"expanded, wrong vendor type", "010200 0e fe 00372a 00000002 0401", 0x372a, 1, -1, 0},
        {"expanded, wrong vendor", "010200 0e fe 00372b 00000001 0401", 0x372a, 1, -1, 0},
        {"expanded request of 11 bytes", "010200 0b fe 00372a 000000", 0x372a, 1, -1, 0},
        {"expanded header exactly", "010200 0c fe 00372a 00000001", 0x372a, 1, 12, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        BufPtr m = msg(c.bytes);
        size_t plen = 999;
        const uint8_t *payload = eap_hdr_validate(c.vendor, c.type, m.get(), &plen);
        if (c.offset < 0) {
            EXPECT_EQ(nullptr, payload);
        } else {
            EXPECT_EQ(wpa_buf_head(m.get()) + c.offset, payload);
            EXPECT_EQ(c.plen, plen);
        }
    }
}

TEST(WirelessEap, AllocWritesTheHeader) {
    BufPtr m(eap_msg_alloc(0, 4, 17, 2, 0x33));
    ASSERT_NE(nullptr, m);
    EXPECT_EQ("0233001604", hex(wpa_buf_head(m.get()), wpa_buf_len(m.get())));
    EXPECT_EQ(17u, wpa_buf_tailroom(m.get()));
    EXPECT_EQ(0x33, eap_get_id(m.get()));
    EXPECT_EQ(4u, eap_get_type(m.get()));

    BufPtr x(eap_msg_alloc(0x372a, 1, 2, 2, 9));
    ASSERT_NE(nullptr, x);
    EXPECT_EQ("0209000efe00372a00000001", hex(wpa_buf_head(x.get()), wpa_buf_len(x.get())));
    EXPECT_EQ(254u, eap_get_type(x.get()));
    wpa_buf_put_data(x.get(), "\x04\x01", 2);
    size_t plen = 0;
    EXPECT_NE(nullptr, eap_hdr_validate(0x372a, 1, x.get(), &plen));
    EXPECT_EQ(2u, plen);

    // The length field has 16 bits: a larger message cannot be built.
    EXPECT_EQ(nullptr, eap_msg_alloc(0, 1, 0xfffb, 2, 1));
    BufPtr largest(eap_msg_alloc(0, 1, 0xfffa, 2, 1));
    EXPECT_NE(nullptr, largest);
}

TEST(WirelessEap, UpdateLenAndShortMessages) {
    BufPtr m(eap_msg_alloc(0, 1, 8, 2, 5));
    wpa_buf_put_data(m.get(), "abc", 3);
    eap_update_len(m.get());
    EXPECT_EQ("02050008", hex(wpa_buf_head(m.get()), 4));
    EXPECT_TRUE(eap_hdr_len_valid(m.get(), 4));

    // Three bytes: no length to update, no identifier, no type.
    BufPtr tiny = msg("010203");
    eap_update_len(tiny.get());
    EXPECT_EQ("010203", hex(wpa_buf_head(tiny.get()), wpa_buf_len(tiny.get())));
    EXPECT_EQ(0, eap_get_id(tiny.get()));
    EXPECT_EQ(0u, eap_get_type(tiny.get()));
    BufPtr success = msg("03070004");
    EXPECT_EQ(7, eap_get_id(success.get()));
    EXPECT_EQ(0u, eap_get_type(success.get()));
}

} // namespace
