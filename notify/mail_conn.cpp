// The mail client's connection: the TCP socket behind the MailSocket seam, and the
// line-oriented reply reading of SMTP (numeric codes) and POP3 ("+OK").

#include "notify/mail_conn.h"

#include "core/buffer.h"
#include "core/connection.h"
#include "core/task.h"
#include "core/tcp.h"

#include <cstdio>
#include <cstring>
#include <sys/socket.h>

namespace {

// Time limits, in 1/100 s.
constexpr int64_t ConnectTicks = 6000;
constexpr int64_t PrefixReplyTicks = 6000; // one reply with an expected prefix
constexpr int64_t CodeReplyTicks = 3000;   // each read of a numeric reply
constexpr int64_t DrainTicks = 50;         // further server data after EHLO
constexpr int DrainLimit = 64 * 1024;      // bytes dropped at most while draining

// The daemon's connection: TCP on the main interface, bound to the management VLAN's
// device when one is configured.
class TcpMailSocket : public MailSocket {
public:
    TcpMailSocket(NetInterface *iface, int vlan) : conn_(Task::current(), iface, vlan) {}

    bool connect(const InetAddress &server, bool tls) {
        bool v6 = server.family() == AF_INET6;
        if (!conn_.open(v6 ? Connection::FamilyIpv6 : Connection::FamilyIpv4, Connection::TypeStream))
            return false;
        if (conn_.vlan > 0 && !conn_.bindToDevice()) return false;
        if (!conn_.bind(0, true, 0) || !conn_.setNonBlocking()) return false;
        conn_.peer = server;
        return conn_.connect(static_cast<int>(ConnectTicks), tls);
    }

    int write(const char *data, int length) override { return conn_.writeAll(data, length, 0, false); }

    int read(char *buffer, int size, int64_t ticks) override {
        Buffer b(buffer, size);
        int n = conn_.readBuffer(b, ticks);
        if (n > 0 && b.cursor != buffer) std::memmove(buffer, b.cursor, static_cast<size_t>(n));
        return n;
    }

    bool startTls() override { return conn_.tlsConnect(false) != nullptr; }

    std::string peerSubject() override {
        char subject[140] = "";
        if (conn_.tls != nullptr) conn_.peerSubject(subject, sizeof subject);
        return subject;
    }

private:
    TcpConnection conn_;
};

std::unique_ptr<MailSocket> openTcp(const InetAddress &server, bool tls) {
    InterfaceHooks &hooks = interfaceHooks();
    int vlan = hooks.mgmtVlanId ? hooks.mgmtVlanId() : -1;
    NetInterface *iface = hooks.mainInterface ? hooks.mainInterface() : nullptr;
    auto socket = std::make_unique<TcpMailSocket>(iface, vlan > 0 ? vlan : -1);
    if (!socket->connect(server, tls)) return nullptr;
    return socket;
}

MailSocketFactory factory = nullptr;

} // namespace

void setMailSocketFactory(MailSocketFactory f) {
    factory = f;
}

std::unique_ptr<MailSocket> openMailSocket(const InetAddress &server, bool tls) {
    return factory ? factory(server, tls) : openTcp(server, tls);
}

bool MailConnection::open(int port, bool implicitTls, const char *ehloName, bool starttls) {
    close();
    InetAddress to = server;
    to.setPort(static_cast<uint16_t>(port));
    socket_ = openMailSocket(to, implicitTls);
    if (!socket_) return false;
    auto fail = [this] {
        close();
        return false;
    };
    if (isSmtp) {
        if (readCode() != 220) return fail();
        if (ehloName != nullptr) {
            std::string ehlo = std::string("EHLO ") + ehloName + "\r\n";
            if (command(ehlo.c_str(), nullptr) != 250) return fail();
            drain(DrainTicks);
            if (starttls) {
                if (command("STARTTLS\r\n", nullptr) != 220) return fail();
                in_.clear(); // nothing read before the handshake may count after it
                if (!socket_->startTls()) return fail();
                if (command(ehlo.c_str(), nullptr) != 250) return fail();
                drain(DrainTicks);
            }
        }
    }
    tlsSubject = socket_->peerSubject();
    return true;
}

void MailConnection::close() {
    socket_.reset();
    in_.clear();
}

int MailConnection::write(const char *data, int length) {
    if (!socket_) return -1;
    return socket_->write(data, length);
}

int MailConnection::fill(int64_t ticks) {
    if (!socket_) return MailReadError;
    char chunk[4096];
    int n = socket_->read(chunk, sizeof chunk, ticks);
    if (n > 0) in_.append(chunk, static_cast<size_t>(n));
    return n;
}

void MailConnection::drain(int64_t ticks) {
    size_t dropped = in_.size();
    in_.clear();
    while (dropped < DrainLimit && fill(ticks) > 0) {
        dropped += in_.size();
        in_.clear();
    }
}

int MailConnection::readLine(std::string &line, int64_t ticks) {
    line.clear();
    bool cut = false;
    for (;;) {
        size_t lf = in_.find('\n');
        size_t take = lf == std::string::npos ? in_.size() : lf;
        if (!cut) {
            size_t room = MailLineMax - line.size();
            if (take > room) {
                take = room;
                cut = true;
            }
            line.append(in_, 0, take);
        }
        if (lf != std::string::npos) {
            in_.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return static_cast<int>(line.size());
        }
        in_.clear();
        // A read that brings nothing within the time ends the line: no reply. A task
        // message that ended a wait early is waited through a few times.
        int n, early = 0;
        while ((n = fill(ticks)) == MailReadNothing && ++early <= 3) {
        }
        if (n <= 0) return -1;
    }
}

int MailConnection::readCode(std::string *lastLine) {
    std::string line;
    for (int lines = 0; lines < 256; lines++) {
        if (readLine(line, CodeReplyTicks) < 0) return -1;
        if (line.size() < 3 || line[0] < '0' || line[0] > '9' || line[1] < '0' || line[1] > '9' ||
            line[2] < '0' || line[2] > '9')
            return -1;
        if (line.size() > 3 && line[3] == '-') continue;
        if (lastLine) *lastLine = line;
        return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    }
    return -1;
}

int MailConnection::command(const char *text, const char *prefix, std::string *reply) {
    if (!socket_) return text ? -3 : -1;
    if (text != nullptr) {
        int length = static_cast<int>(std::strlen(text));
        if (socket_->write(text, length) != length) return -3;
    }
    if (prefix == nullptr) return readCode(reply);
    std::string line;
    if (readLine(line, PrefixReplyTicks) < 0) return -1;
    if (reply) *reply = line;
    return line.compare(0, std::strlen(prefix), prefix) == 0 ? 0 : -2;
}

int MailConnection::quit() {
    if (!socket_) return 0;
    if (isSmtp)
        command("QUIT\r\n", nullptr);
    else
        command("QUIT\r\n", "+OK");
    close();
    return 1;
}
