// Byte buffers, event-line emitters and the text utilities of the supplicant.
#include "wireless/core/text.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/core/wpabuf.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string bytes(const wpa_buf *b) {
    return std::string(reinterpret_cast<const char *>(wpa_buf_head(b)), wpa_buf_len(b));
}

TEST(WpaBuf, ResizeConcatZeropadAndHex) {
    wpa_buf *b = wpa_buf_alloc(4);
    wpa_buf_put_data(b, "ab", 2);
    wpa_buf *same = b;
    ASSERT_EQ(wpa_buf_resize(&b, 2), 0);
    EXPECT_EQ(b, same); // room was left: nothing moves
    wpa_buf_put_data(b, "cd", 2);
    ASSERT_EQ(wpa_buf_resize(&b, 3), 0);
    EXPECT_EQ(b->size, 7u);
    uint8_t *tail = static_cast<uint8_t *>(wpa_buf_put(b, 3));
    EXPECT_EQ(tail[0] | tail[1] | tail[2], 0);

    wpa_buf *three = wpa_buf_alloc_copy("xyz", 3);
    wpa_buf *c = wpa_buf_concat(nullptr, three);
    EXPECT_EQ(bytes(c), "xyz");
    c = wpa_buf_concat(c, wpa_buf_alloc_copy("!", 1));
    EXPECT_EQ(bytes(c), "xyz!");
    EXPECT_EQ(wpa_buf_concat(c, nullptr), c);

    wpa_buf *z = wpa_buf_zeropad(wpa_buf_alloc_copy("\x01\x02", 2), 4);
    EXPECT_EQ(bytes(z), std::string("\0\0\x01\x02", 4));

    EXPECT_EQ(wpa_buf_parse_hex("abc"), nullptr);
    EXPECT_EQ(wpa_buf_parse_hex("0g"), nullptr);
    wpa_buf *h = wpa_buf_parse_hex("0a1B");
    EXPECT_EQ(bytes(h), "\x0a\x1b");

    wpa_buf_free(b);
    wpa_buf_free(c);
    wpa_buf_clear_free(z);
    wpa_buf_free(h);
}

TEST(WpaBufDeath, PutPastCapacityStops) {
    wpa_buf *b = wpa_buf_alloc(2);
    EXPECT_DEATH(wpa_buf_put(b, 3), "overflow");
    wpa_buf_free(b);
}

std::vector<std::string> lines;
void collect(void *, int level, wpa_msg_type type, const char *txt, size_t len) {
    lines.push_back(std::to_string(level) + "/" + std::to_string(type) + ":" + std::string(txt, len));
}

TEST(EventLines, CtrlVariantsNeedACallbackAndLevelsHaveNames) {
    lines.clear();
    wpa_msg_register_cb(nullptr);
    wpa_msg_iface_ctrl(nullptr, MSG_INFO, "lost");
    wpa_msg_register_cb(collect);
    wpa_msg_iface(nullptr, MSG_INFO, "A %d", 1);
    wpa_msg_global(nullptr, MSG_ERROR, "B");
    wpa_msg_iface_only(nullptr, MSG_WARNING, "C");
    wpa_msg_register_cb(nullptr);
    EXPECT_EQ(lines, (std::vector<std::string>{"3/0:A 1", "5/1:B", "4/2:C"}));
    EXPECT_EQ(debug_level_from_str("warning"), 4);
    EXPECT_EQ(debug_level_from_str("LOUD"), -1);
    EXPECT_STREQ(debug_level_str(6), "?");
    EXPECT_STREQ(debug_level_str(0), "EXCESSIVE");
}

TEST(TextUtils, AddressParsers) {
    uint8_t a[6], m[6];
    struct Case {
        const char *text;
        int parse;
        int compact;
    } cases[] = {
        {"00:11:22:33:44:55", 0, 17},
        {"00:11:22:33:44:5", -1, -1},
        {"0011.2233.4455", -1, 14},
        {"00-11-22-33-44-55", -1, 17},
        {"001122334455", -1, 12},
        {"zz:11:22:33:44:55", -1, -1},
        {"", -1, -1},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(hwaddr_parse(c.text, a), c.parse) << c.text;
        EXPECT_EQ(hwaddr_compact_parse(c.text, a), c.compact) << c.text;
    }
    EXPECT_EQ(hwaddr_masked_parse("02:00:00:00:00:01 x", a, m, 0), 0);
    EXPECT_EQ(m[5], 0xff);
    EXPECT_EQ(hwaddr_masked_parse("02:00:00:00:00:01/ff:ff:ff:00:00:00", a, m, 0), -1);
    EXPECT_EQ(hwaddr_masked_parse("02:00:00:00:00:01/ff:ff:ff:00:00:00", a, m, 1), 0);
    EXPECT_EQ(m[3], 0);
    char buf[64];
    EXPECT_EQ(hwaddr_mask_txt(buf, sizeof(buf), a, m), 35);
    EXPECT_STREQ(buf, "02:00:00:00:00:01/ff:ff:ff:00:00:00");
    EXPECT_EQ(hwaddr_mask_txt(buf, 17, a, m), -1);
}

TEST(TextUtils, EscapesAndQuotedStrings) {
    char txt[64];
    const uint8_t in[] = {0x09, 'A', 0x00, '"', '\\'};
    printf_encode(txt, sizeof(txt), in, sizeof(in));
    EXPECT_STREQ(txt, "\\tA\\x00\\\"\\\\");
    printf_encode(txt, 6, in, sizeof(in)); // stops while fewer than 5 bytes remain
    EXPECT_STREQ(txt, "\\t");

    uint8_t out[16];
    EXPECT_EQ(printf_decode(out, sizeof(out), "\\x4"), 1u);
    EXPECT_EQ(out[0], 4);
    EXPECT_EQ(printf_decode(out, sizeof(out), "\\101\\q\\e"), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 3), "Aq\033");
    EXPECT_EQ(printf_decode(out, 2, "abcdef"), 2u); // bounded, no terminator room

    size_t len = 0;
    EXPECT_EQ(wpa_config_parse_string("abc", &len), nullptr);
    EXPECT_EQ(wpa_config_parse_string("\"open", &len), nullptr);
    char *s = wpa_config_parse_string("P\"\\101\"", &len);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(len, 1u);
    EXPECT_EQ(s[0], 'A');
    free(s);
    s = wpa_config_parse_string("\"a\"b\"", &len);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "a\"b");
    free(s);
    s = wpa_config_parse_string("6869", &len);
    EXPECT_STREQ(s, "hi");
    free(s);

    wpa_ssid_value ssid;
    EXPECT_EQ(parse_ssid_text("\"net one\" rest", &ssid), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(ssid.ssid), ssid.ssid_len), "net one");
    EXPECT_EQ(parse_ssid_text("\"\"", &ssid), -1);
    EXPECT_EQ(parse_ssid_text("\"0123456789012345678901234567890123\"", &ssid), -1);

    char u[8];
    EXPECT_EQ(utf8_unescape("'a\\'b'", 0, u, sizeof(u)), 3u);
    EXPECT_STREQ(u, "a'b");
    EXPECT_EQ(utf8_unescape("ab\\", 0, u, sizeof(u)), 0u);
    EXPECT_EQ(escape_quote_backslash("a'b", 3, u, sizeof(u)), 4u);
    EXPECT_STREQ(u, "a\\'b");
    EXPECT_EQ(escape_quote_backslash("a'b", 3, u, 4), 0u);
}

TEST(TextUtils, HexOutputIsBounded) {
    char buf[8];
    const uint8_t data[] = {0xde, 0xad, 0xbe, 0xef, 0x01};
    memset(buf, 'X', sizeof(buf));
    EXPECT_EQ(wpa_snprintf_hex(buf, 0, data, 5), 0);
    EXPECT_EQ(buf[0], 'X'); // size 0 writes nothing
    EXPECT_EQ(wpa_snprintf_hex(buf, sizeof(buf), data, 5), 6);
    EXPECT_STREQ(buf, "deadbe");
    EXPECT_EQ(wpa_scnprintf(buf, sizeof(buf), "%s", "0123456789"), 7);
    EXPECT_EQ(wpa_scnprintf(buf, 0, "%s", "x"), 0);
    char small[16];
    EXPECT_EQ(os_strlcpy(small, "01234567890123456789", sizeof(small)), 20u);
    EXPECT_STREQ(small, "012345678901234");
}

TEST(TextUtils, Base64) {
    struct Case {
        const char *text;
        const char *decoded; // null: refused
    } cases[] = {
        {"QQ==", "A"},    {"QUI=", "AB"}, {"QUJD", "ABC"},   {"Q U\nJ D", "ABC"},
        {"QUJ", nullptr}, {"", nullptr},  {"Q===", nullptr}, {"QQ==QUJD", "A"},
    };
    for (const Case &c : cases) {
        size_t len = 0;
        unsigned char *out = base64_decode(c.text, strlen(c.text), &len);
        if (c.decoded == nullptr) {
            EXPECT_EQ(out, nullptr) << c.text;
        } else {
            ASSERT_NE(out, nullptr) << c.text;
            EXPECT_EQ(std::string(reinterpret_cast<char *>(out), len), c.decoded) << c.text;
        }
        free(out);
    }
    std::string long_in(60, 'x');
    size_t len = 0;
    unsigned char *enc = base64_encode(long_in.data(), long_in.size(), &len);
    std::string e(reinterpret_cast<char *>(enc), len);
    EXPECT_EQ(e.find('\n'), 72u);
    EXPECT_EQ(e.back(), '\n');
    unsigned char *dec = base64_decode(e.c_str(), e.size(), &len);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(dec), len), long_in);
    free(enc);
    free(dec);
}

TEST(TextUtils, ListsArraysTokensAndBits) {
    freq_range_list l{nullptr, 0};
    ASSERT_EQ(freq_range_list_parse(&l, "2412,5180-5240"), 0);
    char *s = freq_range_list_str(&l);
    EXPECT_STREQ(s, "2412,5180-5240");
    free(s);
    EXPECT_TRUE(freq_range_list_includes(&l, 5200));
    EXPECT_FALSE(freq_range_list_includes(&l, 2417));
    free(l.range);

    int *a = static_cast<int *>(calloc(4, sizeof(int)));
    a[0] = 3;
    a[1] = 1;
    a[2] = 3;
    int_array_sort_unique(a);
    EXPECT_EQ(a[0], 1);
    EXPECT_EQ(a[1], 3);
    EXPECT_EQ(a[2], 0);
    int_array_add_unique(&a, 3);
    int_array_add_unique(&a, 7);
    EXPECT_EQ(int_array_len(a), 3u);
    free(a);

    char text[] = "  one,two  three";
    char *ctx = nullptr;
    std::vector<std::string> tokens;
    for (char *t; (t = cstr_token(text, " ,", &ctx)) != nullptr;)
        tokens.push_back(t);
    EXPECT_EQ(tokens, (std::vector<std::string>{"one", "two", "three"}));

    bitfield *bf = bitfield_alloc(10);
    for (int i = 0; i < 10; i++)
        bitfield_set(bf, i);
    bitfield_set(bf, 99); // outside: ignored
    EXPECT_EQ(bitfield_get_first_zero(bf), -1);
    bitfield_clear(bf, 4);
    EXPECT_EQ(bitfield_get_first_zero(bf), 4);
    bitfield_free(bf);

    uint8_t ctr[3] = {0x00, 0xff, 0xff};
    inc_byte_array(ctr, 3);
    EXPECT_EQ(ctr[0], 1);
    EXPECT_EQ(ctr[2], 0);
}

} // namespace
