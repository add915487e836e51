#include "core/param.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <malloc.h>
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer's allocator counts what it holds (GCC ships no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const int32_t range0to24[] = {0, 24};
const int32_t range0to1[] = {0, 1};
const int32_t len0to8[] = {0, 8};
const int32_t len8to64[] = {8, 64};
const int32_t len0to2000[] = {0, 2000};
const int32_t len0to46[] = {0, 46};

P3Option sslOptions[] = {
    {"any", "Any", ""},
    {"tls12", "TLS 1.2", "idx3"},
    {"tls13", "TLS 1.3", "idx9x"},
};

std::string text(Param &p, size_t size = 256) {
    std::vector<char> buf(size ? size : 2048, '#');
    int n = p.toText(buf.data(), size, false);
    return std::string(buf.data(), n);
}

std::string printed(Param &p) {
    char *data = nullptr;
    size_t size = 0;
    FILE *f = open_memstream(&data, &size);
    p.print(f);
    fclose(f);
    std::string s(data, size);
    free(data);
    return s;
}

// The integer value as an SNMP write carries it (a native long).
struct SnmpInt {
    long v;
    const uint8_t *bytes() const { return reinterpret_cast<const uint8_t *>(&v); }
};

const uint8_t *bytesOf(const char *s) {
    return reinterpret_cast<const uint8_t *>(s);
}

} // namespace

TEST(ParamText, SetFromTextBoundsTheLengthAndAnswersTheChangeClass) {
    StringParam p("t", 2, len0to2000, ParamSaved, "");
    std::string t1024(1024, 'a'), t1025(1025, 'b');
    testing::internal::CaptureStderr();
    EXPECT_EQ(p.setFromText(t1025.c_str(), -1), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("!PARAMS SET ILLEGAL VALUES!"), std::string::npos);
    EXPECT_EQ(p.getText(), "");
    EXPECT_FALSE(p.isChanged());
    EXPECT_EQ(p.setFromText(t1024.c_str(), -1), ParamClassSaved);
    EXPECT_EQ(p.getText(), t1024);
    // A given length takes only that part of a longer text (the copy is terminated).
    EXPECT_EQ(p.setFromText("abcdef", 3), ParamClassSaved);
    EXPECT_EQ(p.getText(), "abc");

    struct Case {
        uint32_t flags;
        int result;
    } cases[] = {
        {ParamSaved, 0x80},
        {ParamAtOnce, 2},
        {0, 4},
        {ParamTemporary | ParamAtOnce, 0},
        {ParamAbsent | ParamSaved, 0},
    };
    for (const auto &c : cases) {
        IntParam q("n", 0, nullptr, c.flags, 1);
        EXPECT_EQ(q.setFromText("5", -1), c.result) << std::hex << c.flags;
        EXPECT_EQ(q.value(), 5) << "the value is stored also when the class is 0";
        EXPECT_TRUE(q.isChanged());
    }
}

TEST(ParamInt, ValidateAndSetFollowTheRangeAndTheAtoiRule) {
    struct Case {
        const char *text;
        bool valid;
    } cases[] = {
        {"24", true}, {"0", true},   {"25", false}, {"-1", false}, {"7x", true}, {"-0", true},
        {"", false},  {" 5", false}, {"+5", false}, {"5.", false}, {"x", true},  {"99999999999", false},
    };
    IntParam p("dailyrestart", 2, range0to24, 0, 24);
    for (const auto &c : cases)
        EXPECT_EQ(p.validate(c.text), c.valid) << c.text;
    EXPECT_FALSE(p.validate(nullptr));

    EXPECT_EQ(p.setFromText("7x", -1), ParamClassRestart);
    EXPECT_EQ(p.value(), 7);
    EXPECT_EQ(p.setFromText("25", -1), 0);
    EXPECT_EQ(p.value(), 7);

    IntParam any("any", 0, nullptr, 0, 0);
    EXPECT_TRUE(any.validate(nullptr));
    EXPECT_TRUE(any.validate("junk"));
    IntParam odd("odd", 3, range0to24, 0, 0);
    EXPECT_FALSE(odd.validate("1"));

    // Lengths: 31 characters are refused, 30 taken; atoi saturates.
    std::string t31 = "1" + std::string(30, '0'), t30 = std::string(29, '0') + "9";
    EXPECT_FALSE(any.setText(t31.c_str(), 31));
    EXPECT_TRUE(any.setText(t30.c_str(), 30));
    EXPECT_EQ(any.value(), 9);
    EXPECT_TRUE(any.setText("99999999999", -1));
    EXPECT_EQ(any.value(), INT32_MAX);
    EXPECT_TRUE(any.setText("-99999999999", -1));
    EXPECT_EQ(any.value(), INT32_MIN);
    EXPECT_TRUE(any.setText("123", 2));
    EXPECT_EQ(any.value(), 12);
}

TEST(ParamInt, ChangedMarkAndTypedReads) {
    IntParam p("n", 2, range0to24, 0, 3);
    EXPECT_TRUE(p.hasValue());
    EXPECT_TRUE(p.isOn());
    EXPECT_TRUE(p.setText("3", -1));
    EXPECT_FALSE(p.isChanged()) << "the same value is taken but not marked";
    p.set(30);
    EXPECT_EQ(p.value(), 3) << "set ignores a value outside the range";
    p.set(0);
    EXPECT_TRUE(p.isOff());
    EXPECT_TRUE(p.takeChanged());
    EXPECT_FALSE(p.isChanged());

    p.set(-0);
    EXPECT_EQ(text(p), "0");
    p.set(24);
    EXPECT_EQ(text(p, 2), "2") << "bounded as snprintf";
    EXPECT_EQ(text(p, 0), "24") << "size 0 is unbounded";
    EXPECT_EQ(printed(p), "24");
}

TEST(ParamBool, TakesOnlyLowerCaseAndTogglesTheMark) {
    BoolParam b("dns", 2, range0to1, ParamAtOnce, 0);
    for (const char *t : {"on", "off", "ON", "Off"})
        EXPECT_TRUE(b.validate(t)) << t;
    for (const char *t : {"", "1", "yes", "onn"})
        EXPECT_FALSE(b.validate(t)) << t;
    EXPECT_FALSE(b.setText("ON", -1));
    EXPECT_EQ(b.setFromText("ON", -1), 0);
    EXPECT_FALSE(b.setText("on", 3));
    EXPECT_TRUE(b.setText("onx", 2));
    EXPECT_TRUE(b.isOn());
    EXPECT_TRUE(b.isChanged());
    // Back to the old value before an apply: nothing changed.
    EXPECT_EQ(b.setFromText("off", -1), ParamClassAtOnce);
    EXPECT_FALSE(b.isChanged());
    EXPECT_TRUE(b.setText("off", -1));
    EXPECT_FALSE(b.isChanged());

    EXPECT_STREQ(b.yesNoText(), "no");
    EXPECT_EQ(text(b, 3), "") << "does not fit with its terminator";
    EXPECT_EQ(text(b, 4), "off");
    EXPECT_EQ(printed(b), "off");
    char buf[8];
    EXPECT_EQ(b.toText(buf, sizeof buf, true), 3);
    EXPECT_STREQ(buf, "Off") << "the untranslated display text";
}

TEST(ParamP3List, KeywordsSelectorsAndMarks) {
    P3List p("sslmethod", 3, sslOptions, 0, "any");
    EXPECT_EQ(p.current(), 0);
    EXPECT_EQ(p.optionCount(), 3);
    P3List none("x", 3, sslOptions, 0, "nope");
    EXPECT_EQ(none.current(), P3List::None);
    EXPECT_FALSE(none.hasValue());
    EXPECT_STREQ(none.displayText(), "");

    EXPECT_TRUE(p.validate("tls12"));
    EXPECT_FALSE(p.validate("TLS12"));
    EXPECT_FALSE(p.validate("tls1"));
    EXPECT_FALSE(p.setText("tls1", -1));
    EXPECT_EQ(p.current(), 0);

    // The current keyword: taken, unmarked.
    EXPECT_TRUE(p.setText("any", -1));
    EXPECT_FALSE(p.isChanged());
    // A set and a set back to the current keyword within one batch keep the mark.
    EXPECT_TRUE(p.setText("tls13", -1));
    EXPECT_TRUE(p.isChanged());
    EXPECT_TRUE(p.setText("tls13", -1));
    EXPECT_TRUE(p.isChanged());
    EXPECT_TRUE(p.setText("tls12xyz", 5));
    EXPECT_EQ(p.current(), 1);

    EXPECT_TRUE(p.equals("TLS12"));
    const char *list[] = {"any", "Tls12", nullptr};
    EXPECT_TRUE(p.equalsAny(list));
    EXPECT_STREQ(p.displayText(), "TLS 1.2");
    EXPECT_STREQ(p.choiceCode(), "idx3");
    EXPECT_STREQ(none.choiceCode(), "");

    struct Case {
        int selector;
        size_t size;
        const char *out;
    } cases[] = {
        {-1, 0, "tls12"},
        {0, 16, "any"},
        {P3List::LabelColumn | 2, 16, "TLS 1.3"},
        {P3List::CodeColumn | 1, 16, "idx3"},
        {P3List::LabelColumn | 1, 3, "TLS"},
    };
    for (const auto &c : cases) {
        char buf[32];
        int n = p.getText(c.selector, buf, c.size);
        EXPECT_EQ(std::string(buf, n), c.out) << c.selector;
    }
    EXPECT_EQ(text(p), "tls12");
    EXPECT_EQ(printed(p), "tls12");
    EXPECT_EQ(printed(none), "");

    char buf[16];
    testing::internal::CaptureStdout();
    EXPECT_EQ(p.getText(3, buf, sizeof buf), 0);
    EXPECT_EQ(none.getText(-1, buf, sizeof buf), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("ERROR P3List:sslmethod nix:0 ill base idx:x00000003 > 0x3\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("ERROR P3List:x nix:1 ill base idx:x80000000 > 0x3\n"), std::string::npos) << out;
}

TEST(ParamP3List, SnmpReadForms) {
    P3List p("sslmethod", 3, sslOptions, 0, "any");
    const void *ptr = nullptr;
    size_t len = 0;
    ASSERT_TRUE(p.getSnmpValue(ptr, len));
    EXPECT_EQ(len, 4u);
    EXPECT_EQ(*static_cast<const int32_t *>(ptr), 0);
    p.setText("tls12", -1);
    ASSERT_TRUE(p.getSnmpValue(ptr, len));
    ASSERT_EQ(len, 1u) << "code idx3";
    EXPECT_EQ(*static_cast<const uint8_t *>(ptr), 3);
    p.setText("tls13", -1);
    ASSERT_TRUE(p.getSnmpValue(ptr, len));
    EXPECT_EQ(len, 4u) << "idx9x is no index code";

    P3List tz("ntp_tzone", 3, sslOptions, ParamSnmpText, "tls13");
    ASSERT_TRUE(tz.getSnmpValue(ptr, len));
    EXPECT_EQ(std::string(static_cast<const char *>(ptr), len), "tls13");
    P3List internal("i", 3, sslOptions, ParamInternal, "any");
    EXPECT_FALSE(internal.getSnmpValue(ptr, len));
    P3List none("n", 3, sslOptions, 0, nullptr);
    EXPECT_FALSE(none.getSnmpValue(ptr, len));
}

TEST(ParamString, ValidationTable) {
    struct Case {
        const char *name;
        uint32_t flags;
        const int32_t *limits;
        const char *text;
        bool valid;
    } cases[] = {
        {"s", 0, len0to8, "", true},
        {"s", 0, len0to8, "12345678", true},
        {"s", 0, len0to8, "123456789", false},
        {"s", 0, len0to8, "a\tb", false},
        {"s", 0, len0to8, "a\nb", false},
        {"s", 0, len0to8, "a\rb", false},
        {"s", 0, nullptr, "\x1b[1m", false},
        {"s", 0, nullptr, "caf\xc3\xa9", true},
        {"pwd", ParamConcealed, len8to64, "", true},
        {"pwd", ParamConcealed, len8to64, "short", false},
        {"pwd", ParamConcealed, len8to64, "longenough", true},
        {"h", ParamHashed, len0to46, "0123456789abcdef0123456789abcdef", true},
        {"h", ParamHashed, len0to46, "", true},
        {"disp_def", 0, len0to8, "AB", true},
        {"disp_def", 0, len0to8, "E1", false},
        {"disp_def", 0, len0to8, "EA", true},
        {"disp_def", 0, len0to8, "9E", true},
        {"disp_def", 0, len0to8, "ab", false},
        {"disp_def", 0, len0to8, "A", false},
        {"disp_def", 0, len0to8, "ABC", false},
        {"ip_filter_1", ParamAddressText, nullptr, "10.0.0.0/8", true},
        {"ip_filter_1", ParamAddressText, nullptr, "10.1.2.3", true},
        {"ip_filter_1", ParamAddressText, nullptr, "fe80::/64", true},
        {"ip_filter_1", ParamAddressText, nullptr, "::", true},
        {"ip_filter_1", ParamAddressText, nullptr, "", false},
        {"ip_filter_1", ParamAddressText, nullptr, "10.0.0.0/33", false},
        {"ip_filter_1", ParamAddressText, nullptr, "10.0.0.0/0", false},
        {"ip_filter_1", ParamAddressText, nullptr, "host.example", false},
    };
    for (const auto &c : cases) {
        StringParam p(c.name, c.limits ? 2 : 0, c.limits, c.flags, "");
        EXPECT_EQ(p.validate(c.text), c.valid) << c.name << " [" << c.text << "]";
    }
    // The hashed form of 33 characters is 57 characters long: above the range.
    std::string t33(33, 'x');
    StringParam h("h", 2, len0to46, ParamHashed, "");
    EXPECT_FALSE(h.validate(t33.c_str()));
}

TEST(ParamString, SetTextRules) {
    // Concealed: the placeholder keeps the value; "" is accepted despite the range.
    StringParam pwd("admin_pwd", 2, len8to64, ParamConcealed | ParamAtOnce, "");
    EXPECT_EQ(pwd.setFromText("secret123", -1), ParamClassAtOnce);
    pwd.clearChanged();
    EXPECT_TRUE(pwd.setText("****", -1));
    EXPECT_EQ(pwd.setFromText("****", -1), 0) << "shorter than the range";
    EXPECT_EQ(pwd.getText(), "secret123");
    EXPECT_FALSE(pwd.isChanged());
    EXPECT_EQ(text(pwd), "****");
    EXPECT_EQ(printed(pwd), "secret123");
    const void *ptr;
    size_t len;
    ASSERT_TRUE(pwd.getSnmpValue(ptr, len));
    EXPECT_EQ(std::string(static_cast<const char *>(ptr), len), "****");
    EXPECT_EQ(pwd.setFromText("", -1), ParamClassAtOnce);
    EXPECT_EQ(pwd.getText(), "");
    EXPECT_EQ(text(pwd), "") << "an empty concealed value shows empty";
    ASSERT_TRUE(pwd.getSnmpValue(ptr, len));
    EXPECT_EQ(len, 0u);

    // Flag 0x80: the empty text brings the default back.
    StringParam dflt("smtp_srv", 2, len0to8, ParamEmptyDefault, "mail");
    EXPECT_TRUE(dflt.setText("other", -1));
    dflt.clearChanged();
    EXPECT_EQ(dflt.setFromText("", -1), ParamClassRestart);
    EXPECT_EQ(dflt.getText(), "mail");
    EXPECT_TRUE(dflt.isChanged());
    dflt.clearChanged();
    EXPECT_TRUE(dflt.setText("", -1));
    EXPECT_FALSE(dflt.isChanged()) << "already the default";
    EXPECT_TRUE(dflt.setText("mail", -1));
    EXPECT_FALSE(dflt.isChanged()) << "same text as the default";

    // Flag 0x200: backslashes become slashes; the same value then reads unchanged.
    StringParam path("wdav_path", 0, nullptr, ParamSlashes, "");
    EXPECT_TRUE(path.setText("a\\b\\c", -1));
    EXPECT_EQ(path.getText(), "a/b/c");
    path.clearChanged();
    EXPECT_TRUE(path.setText("a\\b/c", -1));
    EXPECT_FALSE(path.isChanged());

    // Trailing blanks are dropped; control characters are refused and change nothing.
    StringParam s("sys_name", 2, len0to8, 0, "");
    EXPECT_TRUE(s.setText("abc \t ", -1));
    EXPECT_EQ(s.getText(), "abc");
    s.clearChanged();
    EXPECT_TRUE(s.setText("abc  ", -1));
    EXPECT_FALSE(s.isChanged());
    for (const char *bad : {"a\nb", "a\rb", "x\ty", "\x01"}) {
        EXPECT_FALSE(s.setText(bad, -1)) << bad;
        EXPECT_EQ(s.setFromText(bad, -1), 0) << bad;
    }
    EXPECT_FALSE(s.setText("ab\0cd", 5)) << "an embedded terminator is a control character";
    EXPECT_EQ(s.getText(), "abc");
    EXPECT_FALSE(s.isChanged());
    EXPECT_EQ(s.setFromText("ab\0cd", 5), 0);
    EXPECT_EQ(s.getText(), "abc") << "a byte 0 inside the length does not cut the value";
    EXPECT_TRUE(s.setText("abcdef", 2));
    EXPECT_EQ(s.getText(), "ab");

    // toText bounds.
    EXPECT_EQ(text(s, 2), "a");
    EXPECT_EQ(text(s, 0), "ab");
    EXPECT_TRUE(s.hasValue());

    // A temporary parameter stores the value and answers 0.
    StringParam tmp("ip_setby", 0, nullptr, ParamTemporary | ParamStatus, "");
    EXPECT_EQ(tmp.setFromText("dhcp", -1), 0);
    EXPECT_EQ(tmp.getText(), "dhcp");
    EXPECT_TRUE(tmp.isChanged());
}

TEST(ParamString, ReadersKeepTheirCopyWhileTheValueMovesOn) {
    // A reader gets a copy of the text: it stays as it was whatever is set afterwards.
    StringParam s("wifi_state", 0, nullptr, ParamStatus | ParamTemporary, "");
    s.setText("connected", -1);
    const std::string connected = s.getText();
    for (int i = 0; i < 100; ++i) {
        s.setText(i % 2 ? "connected" : "scanning", -1);
        EXPECT_EQ(s.getText(), i % 2 ? "connected" : "scanning");
    }
    EXPECT_EQ(connected, "connected");
    s.setText("connect", -1);
    EXPECT_EQ(s.getText(), "connect") << "a prefix of an earlier text is a text of its own";
}

// The bytes the allocator holds for the program right now.
size_t allocatedBytes() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

// Whoever may write parameters (forms, SNMP, mail commands) can give a text parameter
// ever new values: the memory a parameter holds follows its value, not its history.
TEST(ParamString, AMillionDistinctValuesLeaveTheMemoryFlat) {
    StringParam s("sys_contact", 2, len0to2000, ParamAtOnce, "");
    InetParam inet("dns_primary", 0, nullptr, 0, "10.0.0.1");
    auto setValues = [&](int from, int count) {
        char text[48];
        for (int i = from; i < from + count; ++i) {
            std::snprintf(text, sizeof text, "contact-%d", i);
            s.setText(text, -1);
            EXPECT_EQ(s.getText().size(), strlen(text));
            const void *pointer;
            size_t length;
            s.getSnmpValue(pointer, length);
            std::snprintf(text, sizeof text, "10.%d.%d.%d", (i >> 16) & 255, (i >> 8) & 255, i & 255);
            inet.setText(text, -1);
            inet.getSnmpValue(pointer, length);
        }
    };
    constexpr int Round = 10000;
    setValues(0, Round);
    const size_t base = allocatedBytes();
    for (int round = 1; round < 100; ++round) {
        setValues(round * Round, Round);
        ASSERT_LT(allocatedBytes(), base + 64 * 1024) << "after " << (round + 1) * Round << " values";
    }
    EXPECT_EQ(s.getText(), "contact-999999");
}

TEST(ParamString, HashedSecretsKeepTheirHashedForm) {
    StringParam h("h", 2, len0to46, ParamHashed, "");
    EXPECT_TRUE(h.setText("password", -1));
    std::string stored = printed(h);
    EXPECT_EQ(stored.size(), 13u);
    EXPECT_EQ(stored.substr(0, 2), "qz");
    EXPECT_TRUE(h.isChanged());
    h.clearChanged();
    EXPECT_TRUE(h.setText("password", -1));
    EXPECT_FALSE(h.isChanged()) << "the same secret matches its hashed form";
    EXPECT_TRUE(h.setText(StringParam::HashPlaceholder, -1));
    EXPECT_TRUE(h.setText("****", -1));
    EXPECT_EQ(printed(h), stored);
    EXPECT_EQ(text(h), "****");
}

TEST(ParamAddress, IpValidationAndSetting) {
    IpParam ip("ip_addr", 0, nullptr, ParamAtOnce, "0.0.0.0");
    struct Case {
        const char *text;
        bool valid;
    } cases[] = {
        {"1.2.3.4", true}, {"255.255.255.255", true}, {"256.1.1.1", false},
        {"1.2.3", false},  {"1.2.3.4x", false},       {"::1", false},
        {"", false},       {"1..2.3", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ip.validate(c.text), c.valid) << c.text;

    EXPECT_FALSE(ip.hasValue());
    EXPECT_EQ(ip.setFromText("198.18.0.5", -1), ParamClassAtOnce);
    EXPECT_TRUE(ip.isChanged());
    ip.clearChanged();
    // The same address reads as refused.
    EXPECT_FALSE(ip.setText("198.18.0.5", -1));
    EXPECT_EQ(ip.setFromText("198.18.0.5", -1), 0);
    EXPECT_FALSE(ip.isChanged());
    EXPECT_FALSE(ip.setText("::1", -1));
    EXPECT_TRUE(ip.setText("169.254.3.4xyz", 11));
    EXPECT_TRUE(ip.isLinkLocal4());
    EXPECT_EQ(text(ip, 19), "");
    EXPECT_EQ(text(ip, 20), "169.254.3.4");
    EXPECT_EQ(printed(ip), "169.254.3.4");

    const void *ptr;
    size_t len;
    ASSERT_TRUE(ip.getSnmpValue(ptr, len));
    ASSERT_EQ(len, 4u);
    const uint8_t want[] = {169, 254, 3, 4};
    EXPECT_EQ(memcmp(ptr, want, 4), 0);

    // Ip6Address: IPv6 only; a bad default leaves the zero IPv6 address.
    testing::internal::CaptureStdout();
    Ip6Address bad("ip6", 0, nullptr, 0, "nonsense");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "ERROR: Ip6Address initialization faild with:[nonsense]!\n");
    EXPECT_TRUE(bad.address().isV6());
    EXPECT_FALSE(bad.hasValue());
    Ip6Address v6("ip6", 0, nullptr, 0, "::");
    EXPECT_FALSE(v6.validate("1.2.3.4"));
    EXPECT_TRUE(v6.validate("2001:db8::1"));
    EXPECT_TRUE(v6.setText("2001:db8::1", -1));
    EXPECT_EQ(text(v6, 39), "");
    EXPECT_EQ(text(v6, 40), "2001:db8::1");
    ASSERT_TRUE(v6.getSnmpValue(ptr, len));
    EXPECT_EQ(len, 16u);
    // The longest IPv6 text has 39 characters: it fits 40 with its terminator.
    EXPECT_TRUE(v6.setText("ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255", -1));
    EXPECT_EQ(text(v6, 40), "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");

    // InetParam: either family, or 32 hexadecimal digits; SNMP reads the text.
    InetParam inet("dns_primary", 0, nullptr, ParamAtOnce, "0.0.0.0");
    EXPECT_TRUE(inet.validate("10.0.0.1"));
    EXPECT_TRUE(inet.validate("fe80::1"));
    EXPECT_TRUE(inet.validate("20010db8000000000000000000000001"));
    EXPECT_FALSE(inet.validate("10.0.0"));
    EXPECT_TRUE(inet.setText("20010db8000000000000000000000001", -1));
    EXPECT_EQ(text(inet), "2001:db8::1");
    ASSERT_TRUE(inet.getSnmpValue(ptr, len));
    EXPECT_EQ(std::string(static_cast<const char *>(ptr), len), "2001:db8::1");
}

TEST(ParamAddress, MacValidationAndSetting) {
    MacParam m("hw_filter_1", 0, nullptr, 0, "");
    struct Case {
        const char *text;
        bool valid;
    } cases[] = {
        {"00:11:22:aa:BB:cc", true},   {"0-1-2-3-4-5", true},           {"0:1:2:3:4:5", true},
        {"00:11:22:33:44", false},     {"00:11:22:33:44:55:66", false}, {"00:11-22:33:44:55", false},
        {"100:1:2:3:4:5", false},      {"0g:1:2:3:4:5", false},         {"", false},
        {"00:11:22:33:44:55 ", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(m.validate(c.text), c.valid) << c.text;

    EXPECT_FALSE(m.hasValue());
    EXPECT_EQ(m.setFromText("00:11:22:AA:BB:CC", -1), ParamClassRestart);
    EXPECT_TRUE(m.isChanged());
    m.clearChanged();
    EXPECT_EQ(m.setFromText("00-11-22-aa-bb-cc", -1), 0) << "no byte changed";
    EXPECT_FALSE(m.isChanged());
    EXPECT_EQ(text(m, 17), "");
    EXPECT_EQ(text(m, 18), "00:11:22:aa:bb:cc");
    EXPECT_EQ(printed(m), "00:11:22:aa:bb:cc");
    const void *ptr;
    size_t len;
    ASSERT_TRUE(m.getSnmpValue(ptr, len));
    ASSERT_EQ(len, 6u);
    EXPECT_EQ(static_cast<const uint8_t *>(ptr)[5], 0xcc);
}

TEST(ParamSnmp, FirstReservationChecks) {
    IntParam n("security", 2, range0to24, 0, 4);
    P3List list("sslmethod", 3, sslOptions, 0, "any");
    P3List tz("ntp_tzone", 3, sslOptions, ParamSnmpText, "any");
    StringParam s("sys_name", 2, len0to8, 0, "");
    StringParam filter("ip_filter_1", 0, nullptr, ParamAddressText, "::");
    MacParam mac("hw_filter_1", 0, nullptr, 0, "");
    IpParam ip("ip_addr", 0, nullptr, 0, "0.0.0.0");
    Ip6Address ip6("ip6", 0, nullptr, 0, "::");
    InetParam inet("dns_primary", 0, nullptr, 0, "0.0.0.0");
    IntParam internal("tcp_maxseg", 0, nullptr, ParamInternal, 0);
    StringParam absent("wdav_path", 0, nullptr, ParamAbsent, "");

    SnmpInt i5{5}, i25{25}, i2{2}, i3{3}, i1{1};
    const uint8_t sixBytes[6] = {1, 2, 3, 4, 5, 6};
    const uint8_t ip4[4] = {198, 18, 0, 1};
    std::string long9(9, 'x');
    struct Case {
        Param *p;
        const uint8_t *value;
        int type;
        size_t length;
        int status;
    } cases[] = {
        {&n, i5.bytes(), 2, sizeof(long), 0},
        {&n, i5.bytes(), 0x42, sizeof(long), 0}, // Gauge32
        {&n, i5.bytes(), 4, sizeof(long), 7},
        {&n, i5.bytes(), 2, 33, 8},
        {&n, i25.bytes(), 2, sizeof(long), 10},
        {&list, i2.bytes(), 2, sizeof(long), 0},
        {&list, i3.bytes(), 2, sizeof(long), 0},  // tls12 reads as 3 (its code idx3)
        {&list, i1.bytes(), 2, sizeof(long), 10}, // no option reads as 1
        {&list, i2.bytes(), 4, sizeof(long), 7},
        {&tz, bytesOf("tls12"), 4, 5, 0},
        {&tz, bytesOf("tls1"), 4, 4, 10},
        {&tz, i2.bytes(), 2, sizeof(long), 7},
        {&s, bytesOf("name"), 4, 4, 0},
        {&s, bytesOf(long9.c_str()), 4, 9, 8},
        {&s, bytesOf("a\nb"), 4, 3, 10},
        {&s, bytesOf("ab"), 2, 2, 7},
        {&filter, bytesOf("10.0.0.0/8"), 4, 10, 0},
        {&filter, bytesOf("nonsense"), 4, 8, 10},
        {&mac, sixBytes, 4, 6, 0},
        {&mac, sixBytes, 4, 5, 8},
        {&mac, sixBytes, 0x40, 6, 7},
        {&ip, ip4, 0x40, 4, 0},
        {&ip, ip4, 4, 4, 7},
        {&ip, ip4, 0x40, 33, 8},
        {&ip6, bytesOf("fe80::1"), 4, 7, 0},
        {&ip6, bytesOf("10.0.0.1"), 4, 8, 7},
        {&ip6, bytesOf("fe80::1"), 0x40, 7, 7},
        {&inet, bytesOf("10.0.0.1"), 4, 8, 0},
        {&inet, bytesOf("10.0.0"), 4, 6, 7},
        {&inet, bytesOf(long9.c_str()), 4, 41, 8},
        {&internal, i5.bytes(), 2, sizeof(long), 2},
        {&absent, bytesOf("x"), 4, 1, 2},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.p->setBySnmp(SnmpReserve1, c.value, c.type, c.length), c.status) << c.p->name();
        EXPECT_FALSE(c.p->isChanged()) << c.p->name() << ": phase 0 stores nothing";
    }
}

namespace {
int saves = 0;
StringParam *setBy = nullptr;
int countSave() {
    ++saves;
    return 0;
}
Param *findSetBy(const char *name) {
    return strcmp(name, "ip_setby") == 0 ? setBy : nullptr;
}
} // namespace

TEST(ParamSnmp, ActionCommitAndUndoRestoreEachParametersOwnValue) {
    StringParam ipSetBy("ip_setby", 0, nullptr, ParamTemporary | ParamStatus, "");
    setBy = &ipSetBy;
    saves = 0;
    setParamTableHooks(countSave, findSetBy);

    // Two integers in one request; the second varbind fails after both action phases.
    IntParam a("a", 2, range0to24, 0, 5), b("b", 2, range0to24, 0, 6);
    SnmpInt v7{7}, v8{8};
    EXPECT_EQ(a.setBySnmp(SnmpReserve1, v7.bytes(), 2, sizeof(long)), 0);
    EXPECT_EQ(b.setBySnmp(SnmpReserve1, v8.bytes(), 2, sizeof(long)), 0);
    EXPECT_EQ(a.setBySnmp(SnmpAction, v7.bytes(), 2, sizeof(long)), 0);
    EXPECT_EQ(b.setBySnmp(SnmpAction, v8.bytes(), 2, sizeof(long)), 0);
    EXPECT_EQ(a.value(), 7);
    EXPECT_EQ(b.value(), 8);
    EXPECT_TRUE(a.isChanged());
    EXPECT_EQ(a.setBySnmp(SnmpUndo, v7.bytes(), 2, sizeof(long)), 0);
    EXPECT_EQ(b.setBySnmp(SnmpUndo, v8.bytes(), 2, sizeof(long)), 0);
    EXPECT_EQ(a.value(), 5);
    EXPECT_EQ(b.value(), 6);
    EXPECT_FALSE(a.isChanged());
    EXPECT_FALSE(b.isChanged());
    EXPECT_EQ(saves, 0);

    // A text: commit saves and forgets the undo text, so a late undo changes nothing.
    StringParam s("sys_name", 2, len0to8, 0, "old");
    EXPECT_EQ(s.setBySnmp(SnmpAction, bytesOf("newer"), 4, 5), 0);
    EXPECT_EQ(s.getText(), "newer");
    EXPECT_EQ(s.setBySnmp(SnmpUndo, nullptr, 4, 0), 0);
    EXPECT_EQ(s.getText(), "old");
    EXPECT_FALSE(s.isChanged());
    EXPECT_EQ(s.setBySnmp(SnmpAction, bytesOf("newer"), 4, 5), 0);
    EXPECT_EQ(s.setBySnmp(SnmpCommit, nullptr, 4, 0), 0);
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(s.setBySnmp(SnmpUndo, nullptr, 4, 0), 0);
    EXPECT_EQ(s.getText(), "newer");

    // Enumerations by index and by keyword.
    P3List list("sslmethod", 3, sslOptions, 0, "any");
    SnmpInt i2{2};
    EXPECT_EQ(list.setBySnmp(SnmpAction, i2.bytes(), 2, sizeof(long)), 0);
    EXPECT_EQ(list.current(), 2);
    EXPECT_EQ(list.setBySnmp(SnmpUndo, nullptr, 2, 0), 0);
    EXPECT_EQ(list.current(), 0);
    EXPECT_FALSE(list.isChanged());
    P3List tz("ntp_tzone", 3, sslOptions, ParamSnmpText, "any");
    EXPECT_EQ(tz.setBySnmp(SnmpAction, bytesOf("tls13"), 4, 5), 0);
    EXPECT_EQ(tz.current(), 2);

    // Hardware address.
    MacParam mac("hw_filter_1", 0, nullptr, 0, "");
    const uint8_t six[6] = {0xa, 0xb, 0xc, 0xd, 0xe, 0xf};
    EXPECT_EQ(mac.setBySnmp(SnmpAction, six, 4, 6), 0);
    EXPECT_EQ(mac.address().bytes[5], 0xf);
    EXPECT_EQ(mac.setBySnmp(SnmpUndo, six, 4, 6), 0);
    EXPECT_FALSE(mac.hasValue());
    EXPECT_FALSE(mac.isChanged());

    // "ip_addr": the commit records who set it, then saves.
    IpParam ip("ip_addr", 0, nullptr, ParamAtOnce, "198.18.0.1");
    const uint8_t ip4[4] = {198, 18, 0, 9};
    EXPECT_EQ(ip.setBySnmp(SnmpAction, ip4, 0x40, 4), 0);
    EXPECT_STREQ(ip.address().toText(), "198.18.0.9");
    EXPECT_EQ(ip.setBySnmp(SnmpCommit, ip4, 0x40, 4), 0);
    EXPECT_EQ(ipSetBy.getText(), "snmp");
    EXPECT_EQ(saves, 2);
    EXPECT_EQ(ip.setBySnmp(SnmpAction, ip4, 0x40, 4), 0);
    InetParam inet("dns_primary", 0, nullptr, 0, "10.0.0.1");
    EXPECT_EQ(inet.setBySnmp(SnmpAction, bytesOf("fe80::2"), 4, 7), 0);
    EXPECT_STREQ(inet.address().toText(), "fe80::2");
    EXPECT_EQ(inet.setBySnmp(SnmpUndo, nullptr, 4, 0), 0);
    EXPECT_STREQ(inet.address().toText(), "10.0.0.1");
    EXPECT_FALSE(inet.isChanged());

    setParamTableHooks(nullptr, nullptr);
    setBy = nullptr;
}

// An undo phase restores only what the same write's action phase remembered: a varbind
// whose action never ran, and a write already committed, keep their values.
TEST(ParamSnmp, UndoWithoutThisWritesActionChangesNothing) {
    saves = 0;
    setParamTableHooks(countSave, nullptr);
    IntParam num("num", 2, range0to24, 0, 5);
    P3List list("sslmethod", 3, sslOptions, 0, "any");
    MacParam mac("hw_filter_1", 0, nullptr, 0, "");
    IpParam ip("trapto_1", 0, nullptr, 0, "198.18.0.1");
    InetParam inet("dns_primary", 0, nullptr, 0, "10.0.0.1");
    SnmpInt v7{7}, v3{3};
    const uint8_t six[6] = {0xa, 0xb, 0xc, 0xd, 0xe, 0xf};
    const uint8_t ip4[4] = {198, 18, 0, 9};
    const struct {
        Param *p;
        const uint8_t *value;
        int type;
        size_t length;
        const char *later; // set by text after the commit
        const char *expect;
    } cases[] = {
        {&num, v7.bytes(), 2, sizeof(long), "9", "9"},
        {&list, v3.bytes(), 2, sizeof(long), "tls13", "tls13"},
        {&mac, six, 4, 6, "00:00:00:00:00:01", "00:00:00:00:00:01"},
        {&ip, ip4, 0x40, 4, "198.18.0.3", "198.18.0.3"},
        {&inet, bytesOf("fe80::2"), 4, 7, "fe80::3", "fe80::3"},
    };
    for (const auto &c : cases) {
        std::string before = text(*c.p);
        // No action ran in this write: nothing comes back.
        EXPECT_EQ(c.p->setBySnmp(SnmpUndo, c.value, c.type, c.length), 0) << c.p->name();
        EXPECT_EQ(text(*c.p), before) << c.p->name();
        // A committed write leaves nothing to undo for a later request.
        EXPECT_EQ(c.p->setBySnmp(SnmpAction, c.value, c.type, c.length), 0) << c.p->name();
        EXPECT_EQ(c.p->setBySnmp(SnmpCommit, c.value, c.type, c.length), 0) << c.p->name();
        EXPECT_NE(c.p->setFromText(c.later, -1), 0) << c.p->name();
        EXPECT_EQ(c.p->setBySnmp(SnmpUndo, c.value, c.type, c.length), 0) << c.p->name();
        EXPECT_EQ(text(*c.p), c.expect) << c.p->name();
        // The free phase ends a write as well.
        EXPECT_EQ(c.p->setBySnmp(SnmpAction, c.value, c.type, c.length), 0) << c.p->name();
        EXPECT_EQ(c.p->setBySnmp(SnmpFree, c.value, c.type, c.length), 0) << c.p->name();
        std::string after = text(*c.p);
        EXPECT_EQ(c.p->setBySnmp(SnmpUndo, c.value, c.type, c.length), 0) << c.p->name();
        EXPECT_EQ(text(*c.p), after) << c.p->name();
    }
    setParamTableHooks(nullptr, nullptr);
}

namespace {
// A kind without its own SNMP write.
class PlainParam : public Param {
public:
    PlainParam() : Param("plain", 0, nullptr, 0) {}
    bool validate(const char *) override { return true; }
    int toText(char *, size_t, bool) override { return 0; }
    int getText(int, char *, size_t) override { return 0; }
    void print(FILE *) override {}
    bool setText(const char *, int) override { return true; }
    bool hasValue() override { return false; }
    bool getSnmpValue(const void *&, size_t &) override { return false; }
};
} // namespace

TEST(ParamSnmp, BaseWriteIsNotWritable) {
    PlainParam p;
    testing::internal::CaptureStdout();
    EXPECT_EQ(p.setBySnmp(SnmpReserve1, nullptr, 2, 0), SnmpNotWritable);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: Call base Param class setBySnmp function ?!\n");
    EXPECT_EQ(p.optionCount(), 1);
    EXPECT_TRUE(p.isOff());
    EXPECT_FALSE(p.isOn());
    p.setAbsent(true);
    EXPECT_TRUE(p.isAbsent());
    p.setAbsent(false);
    EXPECT_FALSE(p.isAbsent());
}

// Readers keep using the texts and SNMP bytes they were handed while a writer replaces
// the value; under AddressSanitizer a released text would show as a use after free.
TEST(ParamConcurrency, HandedOutTextsStayValidWhileAnotherThreadSets) {
    StringParam s("sys_contact", 2, len0to2000, ParamAtOnce, "sssss");
    InetParam inet("dns_primary", 0, nullptr, 0, "10.0.0.1");
    const std::string values[] = {std::string(100, 'a'), std::string(300, 'b'), "c", std::string(1000, 'd')};
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};

    std::thread writer([&] {
        for (int i = 0; i < 4000; ++i) {
            s.setFromText(values[i % 4].c_str(), -1);
            inet.setText(i % 2 ? "10.0.0.2" : "fe80::1234:5678", -1);
        }
        stop = true;
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            char buf[2048];
            while (!stop) {
                const std::string t = s.getText();
                const void *ptr;
                size_t len;
                s.getSnmpValue(ptr, len);
                size_t n = t.size();
                if (n != 5 && n != 100 && n != 300 && n != 1 && n != 1000) ++bad;
                // Read the whole handed-out text again after the writer had time to move on.
                std::this_thread::yield();
                for (size_t i = 0; i < n; ++i)
                    if (t[i] != t[0]) ++bad;
                if (memchr(ptr, 0, len) != nullptr) ++bad;
                s.toText(buf, sizeof buf, false);
                if (inet.getSnmpValue(ptr, len)) {
                    std::this_thread::yield();
                    std::string a(static_cast<const char *>(ptr), len);
                    if (a != "10.0.0.1" && a != "10.0.0.2" && a != "fe80::1234:5678") ++bad;
                }
            }
        });
    }
    writer.join();
    for (auto &t : readers)
        t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(s.getText(), values[3]);
}
