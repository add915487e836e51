#include "core/utils_text.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

// Reference encodings below come from the coreutils base64 tool.
std::string encode(const std::string &in, size_t size, int startColumn = 0) {
    std::vector<char> out(size + 8, '#');
    size_t n = base64Encode(in.data(), in.size(), out.data(), size, startColumn);
    EXPECT_EQ(out[n], '\0');
    for (size_t i = size; i < out.size(); ++i)
        EXPECT_EQ(out[i], '#') << "written past the output size at " << i;
    return std::string(out.data(), n);
}

std::string decode(const char *text, size_t size) {
    std::vector<uint8_t> out(size + 8, 0xA5);
    size_t n = base64Decode(text, out.data(), size);
    EXPECT_LT(n, size == 0 ? 1 : size);
    if (size > 0) {
        EXPECT_EQ(out[n], 0) << "output not terminated";
    }
    for (size_t i = size; i < out.size(); ++i)
        EXPECT_EQ(out[i], 0xA5) << "written past the output size at " << i;
    return std::string(reinterpret_cast<char *>(out.data()), n);
}

std::string allBytes() {
    std::string s;
    for (int i = 0; i < 256; ++i)
        s += static_cast<char>(i);
    return s;
}

// `base64 -w 80` of the bytes 0..255.
const char *const allBytesLines[] = {
    "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7",
    "PD0+P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3",
    "eHl6e3x9fn+AgYKDhIWGh4iJiouMjY6PkJGSk5SVlpeYmZqbnJ2en6ChoqOkpaanqKmqq6ytrq+wsbKz",
    "tLW2t7i5uru8vb6/wMHCw8TFxsfIycrLzM3Oz9DR0tPU1dbX2Nna29zd3t/g4eLj5OXm5+jp6uvs7e7v",
    "8PHy8/T19vf4+fr7/P3+/w==",
};

} // namespace

TEST(Base64Encode, GroupsAndPadding) {
    struct Case {
        std::string in;
        const char *out;
    } cases[] = {
        {"abc", "YWJj"},
        {"ab", "YWI="},
        {"a", "YQ=="},
        {"", ""},
        {"Hello, World!", "SGVsbG8sIFdvcmxkIQ=="},
        {std::string("\x00\xff\xfe\x80", 4), "AP/+gA=="},
    };
    for (const auto &c : cases)
        EXPECT_EQ(encode(c.in, 64), c.out) << c.in;
}

TEST(Base64Encode, BreaksLinesAfterEightyCharactersAndAfterTheLastFullLine) {
    std::string expected;
    for (const char *line : allBytesLines)
        expected += std::string(line) + (std::strlen(line) == 80 ? "\r\n" : "");
    EXPECT_EQ(encode(allBytes(), 512), expected);

    // 60 bytes fill exactly one line, which still gets its line break.
    std::string sixty = allBytes().substr(0, 60);
    EXPECT_EQ(encode(sixty, 128), std::string(allBytesLines[0]) + "\r\n");

    // A padded group that completes the line keeps both its padding and the break.
    std::string out = encode(std::string(59, 'x'), 128);
    ASSERT_EQ(out.size(), 82u);
    EXPECT_EQ(out.substr(79), "=\r\n");
}

TEST(Base64Encode, StartColumnShortensOnlyTheFirstLine) {
    std::string out = encode(allBytes().substr(0, 120), 256, 10);
    // 72 characters (18 groups) are the first that exceed 80 - 10 - 1.
    ASSERT_GE(out.size(), 74u);
    EXPECT_EQ(out.substr(72, 2), "\r\n");
    EXPECT_EQ(out.find("\r\n"), 72u);
    EXPECT_EQ(out.find("\r\n", 74), 74u + 80u);
    EXPECT_EQ(out.size(), 160u + 4u);
}

TEST(Base64Encode, CutsAtAGroupBoundaryWhenTheOutputIsFull) {
    EXPECT_EQ(encode("abcdef", 9), "YWJjZGVm");
    EXPECT_EQ(encode("abcdef", 8), "YWJj");
    EXPECT_EQ(encode("abcdef", 4), "");
    EXPECT_EQ(encode("abcdef", 1), "");
    // No room for the line break after a full line: the line stays without it.
    std::string sixty = allBytes().substr(0, 60);
    EXPECT_EQ(encode(sixty, 82), allBytesLines[0]);
    EXPECT_EQ(encode(sixty, 83), std::string(allBytesLines[0]) + "\r\n");

    char untouched = '#';
    EXPECT_EQ(base64Encode("abc", 3, &untouched, 0, 0), 0u);
    EXPECT_EQ(untouched, '#');
}

TEST(Base64Decode, DecodesUntilTheFirstCharacterOutsideTheAlphabet) {
    struct Case {
        const char *in;
        std::string out;
    } cases[] = {
        {"YWJj\r\nmore", "abc"},
        {"SGVsbG8sIFdvcmxkIQ==", "Hello, World!"},
        {"AP/+gA==", std::string("\x00\xff\xfe\x80", 4)},
        {"YQ", "a"},   // unpadded tail
        {"YWI", "ab"}, // unpadded tail
        {"Y", ""},     // six bits make no byte
        {"YWJj=YWJj", "abc"},
        {"!!!!", ""},
        {"", ""},
        {"YW\xc3\xa4Jj", "a"}, // a non-ASCII byte ends it
    };
    for (const auto &c : cases)
        EXPECT_EQ(decode(c.in, 64), c.out) << c.in;
    EXPECT_EQ(decode(nullptr, 8), "");
}

TEST(Base64Decode, RoundTripsTheEncoderLineByLine) {
    std::string bytes;
    for (const char *line : allBytesLines)
        bytes += decode(line, 128);
    EXPECT_EQ(bytes, allBytes());
}

TEST(Base64Decode, NeverWritesPastTheOutput) {
    // Every output size around the group boundaries, each ending in its end mark.
    for (size_t size = 0; size <= 8; ++size) {
        std::string out = decode("YWJjZGVm", size);
        EXPECT_EQ(out, std::string("abcdef").substr(0, size == 0 ? 0 : size - 1)) << size;
    }
}

TEST(HtmlEscape, ReplacesMarkupCharactersAndKeepsNumericReferences) {
    struct Case {
        const char *in;
        const char *out;
    } cases[] = {
        {"a&b <c>", "a&amp;b&nbsp;&lt;c&gt;"},
        {"&#169; 2026", "&#169;&nbsp;2026"},
        {"say \"it's\"", "say&nbsp;&quot;it&apos;s&quot;"},
        {"&", "&amp;"},
        {"", ""},
    };
    char out[128];
    for (const auto &c : cases) {
        size_t n = htmlEscape(c.in, out, sizeof out);
        EXPECT_STREQ(out, c.out) << c.in;
        EXPECT_EQ(n, std::strlen(c.out));
    }
    EXPECT_EQ(htmlEscape(nullptr, out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
}

TEST(HtmlEscape, StopsBeforeTheLastEightBytesWithoutCuttingAnEntity) {
    struct Case {
        const char *in;
        size_t size;
        const char *out;
    } cases[] = {
        {"aaaaaaaaaa", 10, "aa"}, {"a<<", 10, "a&lt;"}, // "a" (1) and "&lt;" (5) are each begun below 2
        {"<<<", 9, "&lt;"},       {"  x", 14, "&nbsp;"}, {"abc", 8, ""},
    };
    for (const auto &c : cases) {
        std::vector<char> out(c.size + 4, '#');
        size_t n = htmlEscape(c.in, out.data(), c.size);
        EXPECT_STREQ(out.data(), c.out) << c.in << " in " << c.size;
        EXPECT_EQ(n, std::strlen(c.out));
        for (size_t i = c.size; i < out.size(); ++i)
            EXPECT_EQ(out[i], '#');
    }
}

TEST(EncodeSpaces, WritesBlanksAsPercentTwentyWithinTheSize) {
    struct Case {
        const char *in;
        size_t size;
        const char *out;
    } cases[] = {
        {"my dir/a b", 64, "my%20dir/a%20b"},
        {"plain", 64, "plain"},
        {"a b", 6, "a%20"},
        {"ab cd", 7, "ab%20"},
        {"abc", 4, ""},
        {nullptr, 8, ""},
    };
    for (const auto &c : cases) {
        std::vector<char> out(c.size + 4, '#');
        size_t n = encodeSpaces(c.in, out.data(), c.size);
        EXPECT_STREQ(out.data(), c.out) << (c.in ? c.in : "(null)");
        EXPECT_EQ(n, std::strlen(c.out));
        for (size_t i = c.size; i < out.size(); ++i)
            EXPECT_EQ(out[i], '#');
    }
}

TEST(RandomText, UsesEveryLetterAndDigitAndNothingElse) {
    std::vector<char> out(62 * 200 + 1, '#');
    ASSERT_TRUE(randomAlnum(out.data(), out.size() - 1));
    EXPECT_EQ(out.back(), '#') << "the output is not terminated";
    std::set<char> seen(out.begin(), out.end() - 1);
    // 12400 unbiased draws miss one of 62 characters with a chance far below 1e-40.
    std::string expected = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    EXPECT_EQ(std::string(seen.begin(), seen.end()), expected);
}

TEST(RandomText, NewTanReplacesThePlaceholderOrFillsTheBuffer) {
    EXPECT_STREQ(currentTan, "NoTAN");
    ASSERT_TRUE(newTan());
    EXPECT_EQ(std::strlen(currentTan), 16u);
    for (int i = 0; i < 16; ++i)
        EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(currentTan[i]))) << currentTan;

    char buf[20];
    std::memset(buf, '#', sizeof buf);
    std::string before = currentTan;
    ASSERT_TRUE(newTan(buf));
    EXPECT_EQ(buf[16], '\0');
    EXPECT_EQ(buf[17], '#');
    EXPECT_EQ(currentTan, before) << "a given buffer leaves the current TAN alone";
    EXPECT_NE(std::string(buf), before);
}

// Hashed forms computed with Python's crypt module (traditional DES, salt "qz"),
// chunk by chunk.
struct HashVector {
    const char *password;
    const char *hashed;
};
const HashVector hashVectors[] = {
    {"a", "qzIIDTwBMCtlc"},
    {"secret", "qzHJvnexM7NAc"},
    {"abcdefgh", "qzuqrNMJFyAqc"},
    {"abcdefghi", "qzuqrNMJFyAqcQHKj3Lm.zxg"},
    {"pass word!", "qzuZkp0UeFXo6q4h87hH3uKU"},
    {"0123456789abcdefghijklmnopqrstuv", "qz2REhylyfzawk/f9ZHllOr.vFmRZogvS9sfrsANvKHbOA"},
};

TEST(PasswordHash, MatchesDesCryptPerChunk) {
    for (const auto &v : hashVectors) {
        char *h = passwordHash(v.password, static_cast<int>(std::strlen(v.password)));
        ASSERT_NE(h, nullptr) << v.password;
        EXPECT_STREQ(h, v.hashed);
        std::free(h);
    }
    // Only the given length takes part, even when the text goes on.
    char out[PasswordHashMaxLength + 1];
    ASSERT_TRUE(passwordHashInto("abcdefghiXYZ", 9, out));
    EXPECT_STREQ(out, "qzuqrNMJFyAqcQHKj3Lm.zxg");
}

TEST(PasswordHash, RejectsEmptyAndOverLongPasswords) {
    std::string p33(33, 'x');
    EXPECT_EQ(passwordHash(p33.c_str(), 33), nullptr);
    EXPECT_EQ(passwordHash("abc", 0), nullptr);
    EXPECT_EQ(passwordHash("abc", -1), nullptr);
    char out[PasswordHashMaxLength + 1];
    EXPECT_FALSE(passwordHashInto(p33.c_str(), 33, out));
    EXPECT_STREQ(out, "qz");
    char *nine = passwordHash("123456789", 9);
    ASSERT_NE(nine, nullptr);
    EXPECT_EQ(std::strlen(nine), 2u + 22u);
    std::free(nine);
}

TEST(PasswordMatches, ComparesEveryChunkAndTheLength) {
    const char *h8 = "qzuqrNMJFyAqc";
    const char *h9 = "qzuqrNMJFyAqcQHKj3Lm.zxg";
    struct Case {
        const char *password;
        int len;
        const char *hashed;
        bool match;
    } cases[] = {
        {"secret", -1, "qzHJvnexM7NAc", true},
        {"secret", 6, "qzHJvnexM7NAc", true},
        {"secreT", -1, "qzHJvnexM7NAc", false},
        {"secret!", 6, "qzHJvnexM7NAc", true},
        {"abcdefghi", -1, h9, true},
        {"abcdefghX", -1, h9, false},
        {"abcdefgh", -1, h9, false},                        // the hashed form has another chunk
        {"abcdefghi", -1, h8, false},                       // the password has another chunk
        {"abcdefghi", 9, "qzuqrNMJFyAqcQHKj3Lm.zx", false}, // cut hashed form
        {"", -1, "", true},
        {nullptr, -1, nullptr, true},
        {"abc", 0, "", true},
        {"abc", -1, "", false},
        {"abc", -1, nullptr, false},
        {"", -1, h8, false},
        {nullptr, 5, h8, false},
        {"a", -1, "q", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(passwordMatches(c.password, c.len, c.hashed), c.match)
            << (c.password ? c.password : "(null)") << " / " << (c.hashed ? c.hashed : "(null)");
    for (const auto &v : hashVectors)
        EXPECT_TRUE(passwordMatches(v.password, -1, v.hashed)) << v.password;
}

TEST(StrCaseCmpN, FoldsCaseAndTreatsPrefixesByLength) {
    struct Case {
        const char *a;
        const char *b;
        int n;
        int result;
    } cases[] = {
        {"Admin", "admin", -1, 0},    {"ab", "abc", 3, 0},   {"ab", "abc", -1, -1}, {"abcd", "ab", -1, 2},
        {"abc", "abd", 3, 'C' - 'D'}, {"abd", "ab", 3, 'D'}, {"abX", "ABy", 2, 0},  {"GET", "get", 3, 0},
        {nullptr, "a", 1, -1},        {"a", nullptr, 1, -1}, {"a", "a", 129, -1},   {"a", "a", 128, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(strCaseCmpN(c.a, c.b, c.n), c.result)
            << (c.a ? c.a : "(null)") << " / " << (c.b ? c.b : "(null)") << " / " << c.n;
}

TEST(Conversions, HexByteAndUnalignedWord) {
    EXPECT_EQ(hexByte('f', 'F'), 255);
    EXPECT_EQ(hexByte('A', '0'), 0xA0);
    EXPECT_EQ(hexByte('0', '9'), 9);
    EXPECT_EQ(hexByte('7', 'e'), 0x7E);

    const uint8_t bytes[] = {0xEE, 0x01, 0x02, 0x03, 0x04, 0xEE};
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    EXPECT_EQ(readU32(bytes + 1), 0x04030201u);
#else
    EXPECT_EQ(readU32(bytes + 1), 0x01020304u);
#endif
}
