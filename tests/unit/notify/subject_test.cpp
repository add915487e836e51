// Mail subjects from templates: placeholders, cutting, and when and how the subject
// becomes an encoded word.

#include "core/sysinfo.h"
#include "notify/mail_content.h"
#include "param_catalogue.h"
#include "tests/unit/core/param_guard.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string subject(const char *event, const char *templ, int mode = 1, size_t size = 256) {
    char out[512];
    int n = format_mail_subject(event, templ, out, size, mode);
    EXPECT_EQ(static_cast<size_t>(n), std::strlen(out));
    EXPECT_LT(static_cast<size_t>(n), size);
    return out;
}

TEST(Subject, Placeholders) {
    ParamGuard guard;
    guard.set(p_sys_name, "hall-7");
    std::string device = productParams().defaultName;
    struct Case {
        const char *event;
        const char *templ;
        std::string expected;
    } cases[] = {
        {"Restart", "%N: %E", device + ": Restart"},
        {"Restart", "100%% %H", "100% hall-7"},
        {"Restart", "%E%", "Restart"}, // a lone % at the end ends the expansion
        {"Restart", "a%Zb", "ab"},     // an unknown placeholder is dropped
        {"Power supply", "[%E]", "[Power supply]"},
    };
    for (auto &c : cases)
        EXPECT_EQ(subject(c.event, c.templ), c.expected) << c.templ;
}

TEST(Subject, EncodedWordsForSymbolsUtf8AndControls) {
    ParamGuard guard;
    struct Case {
        const char *event;
        const char *templ;
        const char *expected;
    } cases[] = {
        {"Restart", "Alarm %3 %E", "=?utf-8?Q?Alarm_=F0=9F=9A=A8_Restart?="},
        // Values inserted into an encoded word are encoded too.
        {"a_b=c?=d", "%1%E", "=?utf-8?Q?=F0=9F=94=A7a=5Fb=3Dc=3F=3Dd?="},
        {"Gr\xC3\xBC\xC3\x9F"
         "e",
         "%E", "=?utf-8?Q?Gr=C3=BC=C3=9Fe?="},
        // A line break can never reach the header.
        {"x\r\nBcc: y", "%E", "=?utf-8?Q?x=0D=0ABcc:_y?="},
        // Plain ASCII stays as it is, "?=" included.
        {"a ?= b", "%E", "a ?= b"},
    };
    for (auto &c : cases)
        EXPECT_EQ(subject(c.event, c.templ), c.expected) << c.templ;
}

TEST(Subject, DisplayModeWritesReferences) {
    EXPECT_EQ(subject("Restart", "%2 %E", 0), "&#x2757; Restart");
}

TEST(Subject, CutAtWholeCharactersWithTheWordClosed) {
    std::string e;
    for (int i = 0; i < 40; i++)
        e += "\xE2\x9D\x97"; // 40 three-byte characters
    std::string out = subject(e.c_str(), "%E", 1, 64);
    ASSERT_EQ(out.rfind("=?utf-8?Q?", 0), 0u);
    ASSERT_EQ(out.substr(out.size() - 2), "?=");
    std::string inner = out.substr(10, out.size() - 12);
    EXPECT_EQ(inner.size() % 9, 0u) << out; // whole "=E2=9D=97" groups only
    EXPECT_LE(out.size(), 63u);
    // Plain text is cut at the output.
    EXPECT_EQ(subject(std::string(300, 'a').c_str(), "%E", 1, 16), std::string(15, 'a'));
}

} // namespace
