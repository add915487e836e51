// The SMTP client against a scripted server: the dialogue, its failures and their
// status codes, and the DATA text (line ends, leading dots, MIME layout).

#include "core/buffer.h"
#include "core/ticks.h"
#include "notify/mail_content.h"
#include "notify/notify_internal.h"
#include "notify/smtp.h"
#include "param_catalogue.h"
#include "tests/unit/core/param_guard.h"
#include "tests/unit/notify/mail_peer.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// Long after start: failures are recorded.
int64_t lateTicks() {
    return 1000000;
}

class Smtp : public ::testing::Test {
protected:
    void SetUp() override {
        setTickSource(lateTicks);
        guard.set(p_smtp_srv, "198.18.0.9");
        guard.set(p_smtp_port, "25");
        guard.set(p_smtp_secure, "---");
        guard.set(p_smtp_auth, "off");
        guard.set(p_smtp_usr, "");
        guard.set(p_smtp_pwd, "");
        guard.set(p_pop3_usr, "");
        guard.set(p_pop3_pwd, "");
        guard.set(p_smtp_sender, "qmr@example.test");
        guard.set(p_smtp_sign, "off");
        guard.set(p_dns_domain, "lab.test");
        smtpError = 0;
    }
    void TearDown() override { setTickSource(nullptr); }

    int send(const char *text = "Hello\r\n") {
        Buffer body;
        body.createMalloc(256);
        body.appendf("%s", text);
        const char *to[] = {"admin@example.test", nullptr};
        MailClient client;
        return client.sendMail(to, "Subject line", body, nullptr, nullptr);
    }

    ParamGuard guard;
    MailScript script;
};

const char *const Accepted[] = {"250 sender ok\r\n", "250 rcpt ok\r\n", "354 go\r\n", "250 queued\r\n",
                                "221 bye\r\n"};

TEST_F(Smtp, MultiLineEhloInTwoReadsThenTheWholeDialogue) {
    script.replies = {"220 mail.test ESMTP\r\n", "250-mail.test\r\n250-SI", "ZE 1000\r\n250 HELP\r\n", ""};
    for (const char *r : Accepted)
        script.replies.push_back(r);
    ScriptedServer server(script);
    uint32_t sent = mailsSentCount.load();
    EXPECT_EQ(send(), 1);
    EXPECT_EQ(mailsSentCount.load(), sent + 1);
    const std::string &w = script.written;
    EXPECT_EQ(
        w.rfind("EHLO lab.test\r\nMAIL FROM: <qmr@example.test>\r\nRCPT TO:<admin@example.test>\r\nDATA\r\n",
                0),
        0u)
        << w;
    EXPECT_NE(
        w.find("To:admin@example.test\r\nFrom: qmr <qmr@example.test>\r\nSubject: Subject line\r\nDate: "),
        std::string::npos);
    EXPECT_NE(w.find("MIME-Version: 1.0\r\nContent-Type: text/plain;\r\n charset=utf-8\r\n\r\nHello\r\n"),
              std::string::npos);
    EXPECT_NE(w.find("\r\n.\r\nQUIT\r\n"), std::string::npos);
    EXPECT_EQ(smtpError.load(), 0);
    EXPECT_FALSE(script.implicitTls);
}

TEST_F(Smtp, FailuresLeaveTheirStatusCode) {
    struct Case {
        const char *name;
        const char *secure;
        std::deque<std::string> replies;
        int error;
        bool mailFromSent;
    } cases[] = {
        {"greeting", "---", {"554 go away\r\n"}, MailConnectFailed, false},
        {"ehlo", "---", {"220 hi\r\n", "500 what\r\n"}, MailConnectFailed, false},
        {"starttls refused",
         "tls",
         {"220 hi\r\n", "250 OK\r\n", "", "454 not now\r\n"},
         MailConnectFailed,
         false},
        {"sender refused",
         "---",
         {"220 hi\r\n", "250 OK\r\n", "", "550 no\r\n", "221 bye\r\n"},
         MailFromFailed,
         true},
        {"receiver refused",
         "---",
         {"220 hi\r\n", "250 OK\r\n", "", "250 ok\r\n", "550 unknown\r\n", "221 bye\r\n"},
         MailRcptFailed,
         true},
        {"data refused",
         "---",
         {"220 hi\r\n", "250 OK\r\n", "", "250 ok\r\n", "250 ok\r\n", "451 later\r\n", "221\r\n"},
         MailDataFailed,
         true},
        {"mail refused",
         "---",
         {"220 hi\r\n", "250 OK\r\n", "", "250 ok\r\n", "250 ok\r\n", "354 go\r\n", "552 too big\r\n",
          "221\r\n"},
         MailSendFailed,
         true},
        {"no reply", "---", {"220 hi\r\n", "250 OK\r\n", "", ""}, MailFromFailed, true},
    };
    for (auto &c : cases) {
        MailScript s;
        s.replies = c.replies;
        ScriptedServer server(s);
        guard.set(p_smtp_secure, c.secure);
        smtpError = 0;
        EXPECT_EQ(send(), 0) << c.name;
        EXPECT_EQ(smtpError.load(), c.error) << c.name;
        EXPECT_EQ(s.written.find("MAIL FROM") != std::string::npos, c.mailFromSent) << c.name;
    }
}

TEST_F(Smtp, RefusedLoginStillTriesTheMailWithThePop3User) {
    guard.set(p_smtp_auth, "on");
    guard.set(p_pop3_usr, "popuser");
    guard.set(p_pop3_pwd, "poppass");
    guard.set(p_smtp_sender, "");
    script.replies = {"220 hi\r\n",
                      "250-x\r\n250 AUTH LOGIN\r\n",
                      "",
                      "334 VXNlcm5hbWU6\r\n",
                      "334 UGFzc3dvcmQ6\r\n",
                      "535 5.7.8 no\r\n",
                      "530 auth first\r\n",
                      "221 bye\r\n"};
    ScriptedServer server(script);
    EXPECT_EQ(send(), 0);
    // AUTH LOGIN answers are one Base64 line each: "popuser" and "poppass".
    EXPECT_NE(script.written.find(
                  "AUTH LOGIN\r\ncG9wdXNlcg==\r\ncG9wcGFzcw==\r\nMAIL FROM: <popuser@198.18.0.9>\r\n"),
              std::string::npos)
        << script.written;
    EXPECT_EQ(smtpError.load(), MailFromFailed);
}

TEST_F(Smtp, SenderWithItsOwnDomainAndImplicitTls) {
    guard.set(p_smtp_secure, "ssl");
    guard.set(p_smtp_sender, "alarm@plant.example");
    script.replies = {"220 hi\r\n", "250 OK\r\n", ""};
    for (const char *r : Accepted)
        script.replies.push_back(r);
    ScriptedServer server(script);
    EXPECT_EQ(send(), 1);
    EXPECT_TRUE(script.implicitTls);
    EXPECT_NE(script.written.find("MAIL FROM: <alarm@plant.example>\r\n"), std::string::npos);
    EXPECT_NE(script.written.find("From: alarm <alarm@plant.example>\r\n"), std::string::npos);
}

TEST(MailData, LineEndsAndLeadingDots) {
    struct Case {
        const char *in;
        const char *out;
    } cases[] = {
        {"a\r\nb\r\n", "a\r\nb\r\n"}, {"a\nb\n", "a\r\nb\r\n"},
        {"a\rb", "a\r\nb"},           {".\r\n.x\r\nx.\r\n", "..\r\n..x\r\nx.\r\n"},
        {"ok\n.\n", "ok\r\n..\r\n"},  {"", ""},
    };
    for (auto &c : cases)
        EXPECT_EQ(notify::dataText(c.in), c.out) << c.in;
}

TEST(MailLayout, AttachmentInBase64WithDelimitersAtLineStarts) {
    ParamGuard guard;
    guard.set(p_smtp_sign, "off");
    Buffer body, attach;
    body.createMalloc(64);
    body.appendf("no line end");
    attach.createMalloc(256);
    std::string data(100, 'x');
    attach.appendf("%s", data.c_str());
    std::string out;
    ASSERT_TRUE(notify::composeMessage(body, "parameters_QMR.txt", &attach, out));
    const std::string b = MailBoundary;
    std::string expected = "MIME-Version: 1.0\r\nContent-Type: multipart/mixed;\r\n boundary=\"" + b +
                           "\"\r\n\r\nThis is a multi-part message in MIME format.\r\n--" + b +
                           "\r\nContent-Type: text/plain;\r\n charset=utf-8\r\n\r\nno line end\r\n--" + b +
                           "\r\nContent-Type: text/plain;\r\n name=parameters_QMR.txt\r\n charset=utf-8\r\n"
                           "Content-Transfer-Encoding: base64\r\nContent-Disposition: inline;\r\n "
                           "filename=\"parameters_QMR.txt\"\r\n\r\n";
    ASSERT_EQ(out.substr(0, expected.size()), expected);
    std::string rest = out.substr(expected.size());
    // 100 bytes: 136 Base64 characters, a line break after 80.
    size_t br = rest.find("\r\n");
    EXPECT_EQ(br, 80u);
    EXPECT_EQ(rest.substr(br + 2, 56 + 2 + 2 + b.size() + 4),
              std::string(rest.substr(br + 2, 56)) + "\r\n--" + b + "--\r\n");
}

TEST(MailLayout, SignedMailWithoutTheCertificateStoreSaysSo) {
    ParamGuard guard;
    guard.set(p_smtp_sign, "on");
    Buffer body;
    body.createMalloc(64);
    body.appendf("text");
    std::string out;
    ASSERT_TRUE(notify::composeMessage(body, nullptr, nullptr, out));
    EXPECT_EQ(out.rfind("\r\n\r\n  S/MIME failure.\r\n\r\n  Check the device configuration. For further "
                        "information; see: ",
                        0),
              0u);
    EXPECT_EQ(out.find("text"), std::string::npos);
}

TEST(MailStatus, TextsOfTheCodes) {
    EXPECT_STREQ(mail_status_text(0), "No error");
    EXPECT_STREQ(mail_status_text(18), "SMTP Authentication failed");
    EXPECT_STREQ(mail_status_text(27), "USER command failed");
    EXPECT_STREQ(mail_status_text(28), "unknown");
    EXPECT_STREQ(mail_status_text(-1), "unknown");
}

} // namespace
