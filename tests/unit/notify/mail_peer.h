// Test helper: a scripted mail server behind the mail client's socket seam. The
// script is the server's side: chunks it sends, one per read (an empty chunk is a read
// that times out), and whether a TLS handshake succeeds. Everything the client writes
// is kept.
#pragma once

#include "notify/mail_conn.h"

#include <cstring>
#include <deque>
#include <string>

struct MailScript {
    std::deque<std::string> replies;
    std::string written;
    bool connects = true;
    bool tlsWorks = true;
    int opened = 0;
    bool implicitTls = false;

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
            if (!script->connects || (tls && !script->tlsWorks)) return nullptr;
            return std::make_unique<ScriptedSocket>(*script);
        });
    }
    ~ScriptedServer() {
        setMailSocketFactory(nullptr);
        MailScript::current() = nullptr;
    }
};
