// The template engine's directive language.

#include "web/template.h"

#include "core/catalogue.h"
#include "param_catalogue.h"
#include "tests/unit/core/param_guard.h"
#include "web/http.h"
#include "web_fixture.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

std::string render(HttpConnection &c, const std::string &text, size_t size = 64 * 1024) {
    std::vector<char> page(size);
    TemplateReader reader(c, text.data(), text.size());
    int n = reader.renderPage(page.data(), page.size(), false);
    return std::string(page.data(), static_cast<size_t>(n));
}

class TemplateTest : public ::testing::Test {
protected:
    void SetUp() override {
        c = std::make_unique<HttpConnection>(nullptr);
        c->exiting = true;
        c->setVar("Var", "val");
        c->setVar("HeadInfo", "first");
        c->setVar("HeadInfo", "second");
        c->setVar("Upper", "ABC");
        c->setVar("Num", "6");
        c->setVar("rows#", "2");
        c->setVar("none#", "0");
        c->setVar("Row1", "one");
        c->setVar("Row2", "two");
    }
    void TearDown() override { clearThreadLanguage(); }
    WebSite site;
    ParamGuard params{p_sessKeys, p_sessKeyTimeout, p_admin_pwd, p_language};
    std::unique_ptr<HttpConnection> c;
};

TEST_F(TemplateTest, DirectiveTable) {
    struct Case {
        const char *text;
        const char *expected;
    } cases[] = {
        {"plain <b>text</b>", "plain <b>text</b>"},
        {"[{Var}]", "[val]"},
        {"{HeadInfo}", "first"},
        {"[{Unknown}][{unknown}][{?Unknown}]", "[][][]"},
        {"{[3]{#},{$_},{$_2};}", "1,0,00;2,1,01;3,2,02;"},
        {"{[2+1]{$_} }", "1 2 "},
        {"{[2-1]<{$_}>}", "<0><0>"},
        {"{[rows+1]{Row}|}", "one|two|"},
        {"{[none]never}after", "after"},
        {"{[3]{~?o|e}}", "eoe"},
        {"{[2]{$_+10},}", "10,11,"},
        {"{Var?yes|no}{Empty?yes|no}", "yesno"},
        {"{Upper=abc?eq|ne}{Upper!abc?ne|eq}", "eqeq"},
        {"{Num<7?lt|ge}{Num>7?gt|le}", "ltle"},
        {"{Num%3?div|no}{Num%4?div|no}", "divno"},
        {"{Num&1?even|odd}", "even"},
        {"{Num=#?one|other}", "other"},
        {"{[2]{Num={#}?hit|miss}}", "missmiss"},
        {"{Var={Var}?same|diff}", "same"},
        {"a { b } c {\nd}", "a { b } c {\nd}"},
        {"<script >{Var}</script>{Var}", "<script >{Var}</script>val"},
        {"\\{Var} \\\\", "{Var} \\"},
        {"ML(\"Device\") Ml(\"Device\") M x MLx", "\"Device\" Device M x MLx"},
        {"{Var?only-then}rest", "only-thenrest"},
        {"{YESsessKeys?on|off}{NOsessKeys?on|off}", "offon"},
        {"{NOXsessKeys}", "checked=\"checked\""},
        {"{sessKeyTimeout}", "10"},
        {"{-language}:{[2]{-language},}", "English:English,Deutsch,"},
        {"{lang}", ""},
        {"{.inc/part.html}|{.missing.html}|{.../x}", "[part val]||"},
        {"{{Var}}", ""},
        {"{Row-2}", "one"},
        {"unterminated {Var", "unterminated "},
    };
    site.dir.put("inc/part.html", "[part {Var}]");
    p_sessKeyTimeout->setText("10", -1);
    for (const Case &k : cases)
        EXPECT_EQ(render(*c, k.text), k.expected) << k.text;
}

TEST_F(TemplateTest, TranslationFollowsTheThreadsLanguage) {
    std::string mo = site.dir.path() + "/de.mo";
    ASSERT_EQ(std::system(("msgfmt -o '" + mo + "' '" QMR_FIXTURES "/locale/de/LC_MESSAGES/qmr.po'").c_str()),
              0);
    MessageCatalogue catalogue;
    ASSERT_TRUE(catalogue.load(mo));
    setThreadLanguage(&catalogue);
    EXPECT_EQ(render(*c, "ML(\"Access denied\") Ml(\"Access denied\") Ml(\"Unknown\")"),
              "\"Zugriff verweigert\" Zugriff verweigert Unknown");
    setThreadLanguage(nullptr);
    EXPECT_EQ(render(*c, "Ml(\"Access denied\")"), "Access denied");
}

TEST_F(TemplateTest, LinksAboveTheUsersLevelAreDisabled) {
    const char *page =
        "<a href=\"/maintenance/restart_{lang}.html\">R</a><a href=\"/start_{lang}.html\">S</a>"
        "<a href=\"/security/usbport{$_}_{lang}.html\">P</a>";
    p_sessKeys->setText("on", -1);
    p_admin_pwd->setText("admin-password", -1);
    c->userLevel = 2;
    EXPECT_EQ(render(*c, page), "<a class=\"noref\" href=\"\">R</a><a href=\"/start_.html\">S</a>"
                                "<a class=\"noref\" href=\"\">P</a>");
    c->userLevel = 4;
    EXPECT_EQ(render(*c, page), "<a href=\"/maintenance/restart_.html\">R</a><a href=\"/start_.html\">S</a>"
                                "<a href=\"/security/usbport0_.html\">P</a>");
}

TEST_F(TemplateTest, OverrunStopsInsideThePageBuffer) {
    std::string out = render(*c, "{[100000]0123456789}", 4096);
    EXPECT_LE(out.size(), 4095u);
    EXPECT_NE(out.find("ERROR BUFFER OVERRUN?!"), std::string::npos);
    // A directive that expands far beyond the margin still stays inside.
    std::string big(3000, 'x');
    c->setVar("Big", big.c_str());
    out = render(*c, "{[10]{_Big}}", 4096);
    EXPECT_LE(out.size(), 4095u);
    EXPECT_NE(out.find("ERROR BUFFER OVERRUN?!"), std::string::npos);
}

TEST_F(TemplateTest, RunawayTemplatesEnd) {
    // Nested loops that write nothing, and a template that includes itself twice.
    EXPECT_EQ(render(*c, "{[100000]{[100000]{[100000]}}}x"), "");
    site.dir.put("self.html", "{.self.html}{.self.html}");
    EXPECT_EQ(render(*c, "{.self.html}y"), "");
}

TEST_F(TemplateTest, VariablesAreEscapedWhereTheyComeFromOutside) {
    c->setVarEscaped("Host", "<b>\"x\"&");
    EXPECT_EQ(render(*c, "{Host}"), "&lt;b&gt;&quot;x&quot;&amp;");
    ParamGuard g;
    g.set(p_sys_name, "<script>");
    EXPECT_EQ(render(*c, "{sys_name}"), "&lt;script&gt;");
    // A line feed in a value set with the flag becomes a line break.
    c->setVar("Lines", "a\nb", 0, true);
    EXPECT_EQ(render(*c, "{Lines}"), "a<br>\nb");
}

TEST_F(TemplateTest, RefreshElement) {
    c->refreshTarget = "/start.html";
    c->refreshDelay = 10;
    c->haveHost = true;
    c->host = "device";
    std::snprintf(c->lang, sizeof c->lang, "de");
    EXPECT_EQ(render(*c, "{MetaAutoRefresh}"),
              "<meta http-equiv=\"refresh\" content=\"10; url=http://device/start_de.html\"/>\n");
    c->refreshDelay = -3;
    c->refreshTarget = "/maintenance/restart.cgi";
    EXPECT_EQ(
        render(*c, "{MetaAutoRefresh}"),
        "<meta http-equiv=\"refresh\" content=\"3; url=https://device/maintenance/restart_de.cgi\"/>\n");
}

} // namespace
