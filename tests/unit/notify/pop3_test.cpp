// Commands by mail: subject codes, header fields, parameter lines and update
// attachments behind the TAN, and a mailbox poll against a scripted POP3 server.

#include "core/sysinfo.h"
#include "core/ticks.h"
#include "core/utils_text.h"
#include "notify/mail_parse.h"
#include "notify/notify.h"
#include "notify/smtp.h"
#include "param_catalogue.h"
#include "tests/unit/core/param_guard.h"
#include "tests/unit/notify/mail_peer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace {

const std::string Tan = "AbCdEfGh12345678";

// The lines of a text as a LineSource.
struct Lines {
    explicit Lines(const std::string &text) {
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
    }
    LineSource source() {
        return [this](std::string &out) {
            if (next >= lines.size()) return -1;
            out = lines[next++];
            return static_cast<int>(out.size());
        };
    }
    std::vector<std::string> lines;
    size_t next = 0;
};

TEST(MailSubject, CommandCodes) {
    struct Case {
        const char *subject;
        int code;
        bool ack;
    } cases[] = {
        {"Cmd: Get Status", 6, false},
        {"cmd: get status ack", 6, true},
        {"  cmd:\tack get status", 6, true},
        {"cmd: get parameters", 11, false},
        {"cmd: get servicepage", 7, false},
        {"cmd: set parameters please", 15, false},
        {"cmd: update zqn", 16, false},
        {"cmd: print", 8, false},
        {"cmd: print attachment", 9, false},
        {"cmd: erase", 18, false},
        {"cmd: clean mailqueue", 19, false},
        {"RE: cmd: get status", 17, false},
        {"cmd: get cmd: status", 0, false},
        {"cmd: help", 0, false},
        {"get status", 0, false},
        {"", 0, false},
    };
    for (auto &c : cases) {
        bool ack = false, isCommand = false;
        EXPECT_EQ(subjectCommand(c.subject, ack, isCommand), c.code) << c.subject;
        EXPECT_EQ(ack, c.ack) << c.subject;
    }
}

TEST(Headers, FieldsUnfoldedAndCutAtControls) {
    Lines mail("From: \"Ops\" <ops@example.test>\r\n"
               "Subject: cmd: get\r\n status\r\n"
               "content-type: multipart/mixed;\r\n\tboundary=\"=_b1\"\r\n"
               "Auto-Submitted: auto-replied\r\n"
               "Date: Mon, 1 Jan 2024\x01 evil\r\n"
               "\r\n"
               "body is not read as headers: Subject: x\r\n");
    MailHeaders h;
    ASSERT_TRUE(parseMailHeaders(mail.source(), h, false));
    EXPECT_EQ(h.from, "ops@example.test");
    EXPECT_EQ(h.subject, "cmd: get status");
    EXPECT_EQ(h.command, MailCmdGetStatus);
    EXPECT_EQ(h.contentType, MailMultipart);
    ASSERT_EQ(h.depth, 1);
    EXPECT_EQ(h.boundaries[0], "=_b1");
    EXPECT_EQ(h.date, "Mon, 1 Jan 2024");
    EXPECT_TRUE(senderIsAutomatic(h));
    MailHeaders bounce;
    bounce.from = "MAILER-DAEMON@example.test";
    EXPECT_TRUE(senderIsAutomatic(bounce));
    bounce.from = "";
    EXPECT_TRUE(senderIsAutomatic(bounce));
    bounce.from = "ops@example.test";
    bounce.autoSubmitted = "no";
    EXPECT_FALSE(senderIsAutomatic(bounce));
}

MailCommandEnv env(std::map<std::string, std::string> &set, bool locked = false) {
    MailCommandEnv e;
    e.tan = Tan;
    e.locked = [locked] { return locked; };
    e.set = [&set](const char *name, const char *value) {
        set[name] = value;
        return 0x80;
    };
    return e;
}

TEST(SetParameters, OnlyAfterTheCurrentTan) {
    struct Case {
        const char *name;
        std::string body;
        bool locked;
        bool accepted;
        std::map<std::string, std::string> set;
    } cases[] = {
        {"plain",
         "sys_name = before\r\ntan = " + Tan + "\r\nsys_name = hall 7  \r\n\tsys_contact=ops\r\nx=\r\n",
         false,
         true,
         {{"sys_name", "hall 7"}, {"sys_contact", "ops"}}},
        {"wrong tan", "TAN = NoTAN\r\nsys_name = x\r\n", false, false, {}},
        {"tan prefix only", "tan = " + Tan.substr(0, 8) + "\r\nsys_name = x\r\n", false, false, {}},
        {"restricted", "tan = " + Tan + "\r\nsys_name = x\r\n", true, false, {}},
        {"ends at a dash", "tan = " + Tan + "\r\n-- \r\nsys_name = x\r\n", false, true, {}},
        {"quoted-printable", "tan =3D " + Tan + "\r\n", false, false, {}},
    };
    for (auto &c : cases) {
        std::map<std::string, std::string> set;
        Lines lines(c.body);
        MailHeaders h;
        bool accepted = false;
        setParametersFromMail(lines.source(), h, env(set, c.locked), accepted);
        EXPECT_EQ(accepted, c.accepted) << c.name;
        EXPECT_EQ(set, c.set) << c.name;
    }
}

TEST(SetParameters, FirstTextPartOfAMultipartInQuotedPrintable) {
    Lines lines(
        "preamble\r\n--b1\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
        "tan =3D " +
        Tan + "\r\nsys_name =3D caf=C3=A9\r\n--b1--\r\n");
    MailHeaders h;
    h.contentType = MailMultipart;
    h.boundaries[0] = "b1";
    h.depth = 1;
    std::map<std::string, std::string> set;
    bool accepted = false;
    setParametersFromMail(lines.source(), h, env(set), accepted);
    EXPECT_TRUE(accepted);
    EXPECT_EQ(set["sys_name"], "caf\xC3\xA9");
}

TEST(Attachment, ResultsOfTheWalk) {
    const std::string head = "--b1\r\nContent-Type: text/plain\r\n\r\nTAN = ";
    const std::string file = "--b1\r\nContent-Type: application/octet-stream; name=\"fw.bin\"\r\n"
                             "Content-Transfer-Encoding: base64\r\n\r\nUVVJ\r\nTEw=\r\n";
    struct Case {
        const char *name;
        bool multipart;
        std::string body;
        int result;
        std::string saved;
    } cases[] = {
        {"saved", true, head + Tan + "\r\n" + file + "--b1--\r\n", 0, "QUILL"},
        {"no part after the tan", true, head + Tan + "\r\n--b1--\r\n", -1, ""},
        {"wrong tan", true, head + "0000000000000000\r\n" + file, -2, ""},
        {"no tan", true, "--b1\r\nContent-Type: text/plain\r\n\r\nhello\r\n" + file + "--b1--\r\n", -3, ""},
        {"not multipart", false, head + Tan + "\r\n", -3, ""},
        {"cut in the text part", true, "--b1\r\nContent-Type: text/plain\r\n\r\nhello\r\n", -4, ""},
    };
    for (auto &c : cases) {
        MailHeaders h;
        if (c.multipart) {
            h.contentType = MailMultipart;
            h.boundaries[0] = "b1";
            h.depth = 1;
        }
        std::map<std::string, std::string> set;
        char path[] = "/tmp/qmr-attach-XXXXXX";
        int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        unlink(path);
        Lines lines(c.body);
        EXPECT_EQ(saveAttachmentFromMail(lines.source(), h, env(set), fd), c.result) << c.name;
        char buf[64] = {};
        EXPECT_EQ(pread(fd, buf, sizeof buf - 1, 0), static_cast<ssize_t>(c.saved.size())) << c.name;
        EXPECT_EQ(std::string(buf), c.saved) << c.name;
        close(fd);
    }
}

int64_t lateTicks() {
    return 1000000;
}

// A client whose command handler only records what it was given.
struct RecordingClient : MailClient {
    int handleCommand(int number, int size) override {
        handled.push_back({number, size, mail.subject});
        return number;
    }
    struct Handled {
        int number, size;
        std::string subject;
    };
    std::vector<Handled> handled;
};

TEST(Pop3, PollDeletesEveryMail) {
    setTickSource(lateTicks);
    ParamGuard guard;
    guard.set(p_pop3, "on");
    guard.set(p_pop3_srv, "198.18.0.9");
    guard.set(p_pop3_sec, "1");
    guard.set(p_pop3_usr, "box");
    guard.set(p_pop3_pwd, "tanstaaf");
    MailScript script;
    script.replies = {"+OK POP3 ready <1896.697170952@dbc.mtview.ca.us>\r\n",
                      "+OK logged in\r\n",
                      "+OK 2 320\r\n",
                      "+OK\r\n1 120\r\n2 200\r\n.\r\n",
                      "+OK\r\nFrom: a@b\r\nSubject: cmd: get status\r\n\r\n.\r\n",
                      "-ERR gone\r\n",
                      "+OK\r\nSubject: spam\r\n\r\n.\r\n",
                      "+OK\r\n",
                      "+OK bye\r\n"};
    ScriptedServer server(script);
    RecordingClient client;
    EXPECT_TRUE(client.pollMailbox());
    // The APOP digest of the example exchange of RFC 1939.
    EXPECT_NE(script.written.find("APOP box c4c9334bac560ecc979e58001b3e22fb\r\n"), std::string::npos)
        << script.written;
    EXPECT_NE(script.written.find("STAT\r\nLIST\r\nTOP 1 0\r\nDELE 1\r\nTOP 2 0\r\nDELE 2\r\nQUIT\r\n"),
              std::string::npos)
        << script.written;
    ASSERT_EQ(client.handled.size(), 2u);
    EXPECT_EQ(client.handled[0].subject, "cmd: get status");
    EXPECT_EQ(client.handled[1].size, 200);
    EXPECT_EQ(pop3Error.load(), MailDeleteFailed);
    setTickSource(nullptr);
}

// The notification task's command handler behind a scripted POP3 mailbox and SMTP
// server: mails to ops@example.test, the TAN fixed.
class Commands : public ::testing::Test {
protected:
    void SetUp() override {
        setTickSource(lateTicks);
        for (auto [p, v] :
             std::initializer_list<std::pair<Param *, const char *>>{{p_pop3, "on"},
                                                                     {p_pop3_srv, "198.18.0.9"},
                                                                     {p_pop3_sec, "0"},
                                                                     {p_pop3_usr, "box"},
                                                                     {p_pop3_pwd, "secret"},
                                                                     {p_smtp_srv, "198.18.0.9"},
                                                                     {p_smtp_port, "25"},
                                                                     {p_smtp_secure, "---"},
                                                                     {p_smtp_auth, "off"},
                                                                     {p_smtp_sign, "off"},
                                                                     {p_smtp_sender, "qmr@example.test"},
                                                                     {p_sessKeys, "off"},
                                                                     {p_mailto_1, "ops@example.test"},
                                                                     {p_mailto_2, ""},
                                                                     {p_monimailto, ""}})
            guard.set(p, v);
        std::memcpy(savedTan, currentTan, sizeof savedTan);
        std::strcpy(currentTan, Tan.c_str());
    }
    void TearDown() override {
        std::memcpy(currentTan, savedTan, sizeof savedTan);
        setTickSource(nullptr);
    }

    // Polls a mailbox holding one mail; what the client wrote.
    std::string poll(const std::string &headers, const std::string &body = "", bool answer = true) {
        MailScript script;
        mailboxOfOne(script, headers, body, answer);
        ScriptedServer server(script);
        EXPECT_TRUE(task.pollMailbox());
        EXPECT_TRUE(script.replies.empty()) << "the dialogue ran as scripted: " << script.written;
        return script.written;
    }

    ParamGuard guard;
    Notify task{0};
    char savedTan[sizeof currentTan];
};

TEST_F(Commands, StrangersNeverSeeTheTan) {
    struct Case {
        const char *from;
        const char *mailto1;
        const char *mailto2;
        const char *monimailto;
        bool tanShown;
    } cases[] = {
        {"ops@example.test", "ops@example.test", "", "", true},
        {"OPS@Example.Test", "ops@example.test", "", "", true},
        {"moni@example.test", "", "", "moni@example.test", true},
        {"second@example.test", "", "second@example.test", "", true},
        {"mallory@evil.test", "ops@example.test", "second@example.test", "moni@example.test", false},
        {"ops@example.test.evil.test", "ops@example.test", "", "", false},
        // With no receiver configured nobody is authorised.
        {"mallory@evil.test", "", "", "", false},
    };
    for (auto &c : cases) {
        guard.set(p_mailto_1, c.mailto1);
        guard.set(p_mailto_2, c.mailto2);
        guard.set(p_monimailto, c.monimailto);
        task.senderAuthorised = true; // left over from an event mail
        std::string w = poll(std::string("From: <") + c.from + ">\r\nSubject: cmd: get status\r\n");
        EXPECT_NE(w.find(std::string("RCPT TO:<") + c.from + ">"), std::string::npos) << c.from;
        EXPECT_NE(w.find("Event: get status\r\n"), std::string::npos) << c.from;
        EXPECT_EQ(w.find(Tan) != std::string::npos, c.tanShown) << c.from << " " << c.mailto1;
        EXPECT_EQ(w.find("TAN: ") != std::string::npos, c.tanShown) << c.from << " " << c.mailto1;
    }
}

// The help page as the reply carries it, for the product name given.
std::string helpPage(const std::string &product) {
    std::ifstream in(std::string(QMR_FIXTURES) + "/mail/help_page.txt", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string page = text.str();
    EXPECT_FALSE(page.empty());
    for (size_t at; (at = page.find("@PRODUCT@")) != std::string::npos;)
        page.replace(at, 9, product);
    return page;
}

TEST_F(Commands, HelpAndUnknownCommandsGetTheHelpPage) {
    struct Case {
        const char *subject;
        const char *event;
        uint32_t refused;
    } cases[] = {
        {"cmd: help", "Help info", 0},
        {"cmd: HELP me", "Help info", 0},
        {"cmd: print", "Received unknown command", 1},
        {"cmd: get hidden", "Received unknown command", 1},
    };
    const std::string page = helpPage(productParams().productName);
    for (auto &c : cases) {
        uint32_t refused = mailsRefusedCount.load();
        std::string body =
            sentBody(poll(std::string("From: ops@example.test\r\nSubject: ") + c.subject + "\r\n"));
        std::string tail = std::string("Event: ") + c.event + "\r\n\r\nTAN: " + Tan + "\r\n\r\n" + page;
        ASSERT_GE(body.size(), tail.size()) << c.subject;
        EXPECT_EQ(body.substr(body.size() - tail.size()), tail) << c.subject;
        EXPECT_EQ(mailsRefusedCount.load(), refused + c.refused) << c.subject;
    }
}

TEST_F(Commands, AnUpdateUsesUpTheTanWhateverItsOutcome) {
    const std::string headers = "From: ops@example.test\r\nSubject: cmd: update zqn\r\n"
                                "Content-Type: multipart/mixed; boundary=\"b1\"\r\n";
    auto mailWith = [](const std::string &tan) {
        return "--b1\r\nContent-Type: text/plain\r\n\r\nTAN = " + tan +
               "\r\n--b1\r\nContent-Type: application/octet-stream; name=\"fw.bin\"\r\n"
               "Content-Transfer-Encoding: base64\r\n\r\nUVVJTEw=\r\n--b1--\r\n";
    };
    // No validation installed yet: the file is refused, and the TAN is used up.
    std::string w = poll(headers, mailWith(Tan));
    EXPECT_NE(w.find("RETR 1\r\n"), std::string::npos);
    EXPECT_NE(w.find("Event: Error : Update file validation failed!?\r\n"), std::string::npos) << w;
    EXPECT_NE(Tan, currentTan) << "a new TAN";
    EXPECT_EQ(w.find(Tan), std::string::npos) << "the used TAN is not shown again";
    EXPECT_NE(w.find(std::string("TAN: ") + currentTan + "\r\n"), std::string::npos);
    // The same mail again: the old TAN is refused.
    std::string renewed = currentTan;
    w = poll(headers, mailWith(Tan));
    EXPECT_NE(w.find("Event: Error : Update failed on wrong TAN or restricted access!?\r\n"),
              std::string::npos)
        << w;
    EXPECT_EQ(renewed, currentTan) << "a refused TAN renews nothing";
}

} // namespace
