// Test helper: a scripted mail server behind the mail client's socket seam. The
// script is the server's side: chunks it sends, one per read (an empty chunk is a read
// that times out), and whether a TLS handshake succeeds. Everything the client writes
// is kept.
#pragma once

#include "notify/mail_conn.h"

#include <cstring>
#include <deque>
#include <functional>
#include <string>

struct MailScript {
    std::deque<std::string> replies;
    std::string written;
    bool connects = true;
    bool tlsWorks = true;
    int opened = 0;
    bool implicitTls = false;
    // Runs when a connection opens (a test's hook into the middle of a send).
    std::function<void()> onOpen;

    static MailScript *&current() {
        static MailScript *s = nullptr;
        return s;
    }
};

class ScriptedSocket : public MailSocket {
public:
    explicit ScriptedSocket(MailScript &s) : s_(s) {}
    int write(const char *data, int length) override {
        s_.written.append(data, static_cast<size_t>(length));
        return length;
    }
    int read(char *buffer, int size, int64_t) override {
        if (s_.replies.empty()) return MailReadClosed;
        std::string &front = s_.replies.front();
        if (front.empty()) {
            s_.replies.pop_front();
            return MailReadTimedOut;
        }
        int n = static_cast<int>(front.size()) < size ? static_cast<int>(front.size()) : size;
        std::memcpy(buffer, front.data(), static_cast<size_t>(n));
        front.erase(0, static_cast<size_t>(n));
        if (front.empty()) s_.replies.pop_front();
        return n;
    }
    bool startTls() override { return s_.tlsWorks; }
    std::string peerSubject() override { return "CN=scripted"; }

private:
    MailScript &s_;
};

// Installs the script as the server of every connection while it lives.
class ScriptedServer {
public:
    explicit ScriptedServer(MailScript &s) {
        MailScript::current() = &s;
        setMailSocketFactory([](const InetAddress &, bool tls) -> std::unique_ptr<MailSocket> {
            MailScript *script = MailScript::current();
            script->opened++;
            script->implicitTls = tls;
            if (script->onOpen) script->onOpen();
            if (!script->connects || (tls && !script->tlsWorks)) return nullptr;
            return std::make_unique<ScriptedSocket>(*script);
        });
    }
    ~ScriptedServer() {
        setMailSocketFactory(nullptr);
        MailScript::current() = nullptr;
    }
};

// The replies of a plain SMTP session that accepts one mail for n receivers.
inline void acceptMail(MailScript &s, int receivers = 1) {
    for (const char *r : {"220 hi\r\n", "250 OK\r\n", "", "250 sender ok\r\n"})
        s.replies.push_back(r);
    for (int i = 0; i < receivers; i++)
        s.replies.push_back("250 rcpt ok\r\n");
    for (const char *r : {"354 go\r\n", "250 queued\r\n", "221 bye\r\n"})
        s.replies.push_back(r);
}

// The replies of a POP3 session (USER and PASS) whose mailbox holds one mail of size
// bytes: the header lines answer TOP; with a body the handler reads the mail (RETR);
// answer adds the SMTP session of the handler's reply before the mail is deleted.
inline void mailboxOfOne(MailScript &s, const std::string &headers, const std::string &body, bool answer,
                         int size = 100) {
    const std::string n = std::to_string(size);
    for (const std::string &r :
         {std::string("+OK ready\r\n"), std::string("+OK\r\n"), std::string("+OK\r\n"), "+OK 1 " + n + "\r\n",
          "+OK\r\n1 " + n + "\r\n.\r\n", "+OK\r\n" + headers + "\r\n.\r\n"})
        s.replies.push_back(r);
    if (!body.empty()) s.replies.push_back("+OK\r\n" + headers + "\r\n" + body + ".\r\n");
    if (answer) acceptMail(s);
    s.replies.push_back("+OK deleted\r\n");
    s.replies.push_back("+OK bye\r\n");
}

// The body text of the mail sent in a dialogue: after the text part's headers, up to
// the end of the DATA phase ("" when no mail was sent).
inline std::string sentBody(const std::string &written) {
    const std::string start = "charset=utf-8\r\n\r\n";
    size_t a = written.find(start);
    size_t b = written.rfind("\r\n\r\n.\r\n");
    if (a == std::string::npos || b == std::string::npos || b < a) return "";
    return written.substr(a + start.size(), b - a - start.size());
}
