// One connection of the mail client to an SMTP or POP3 server, and the one seam through
// which all of its socket I/O goes: a MailSocket. The daemon's sockets are TCP
// connections (with TLS at connect or after STARTTLS); unit tests install a factory of
// scripted sockets and play the server's part byte by byte.
#pragma once

#include "core/address.h"

#include <cstdint>
#include <memory>
#include <string>

// Result codes of MailSocket::read.
enum : int {
    MailReadNothing = 0,   // nothing arrived (a configuration message ended the wait)
    MailReadTimedOut = -2, // the time ran out
    MailReadClosed = -3,   // the peer closed the connection
    MailReadError = -4,
};

class MailSocket {
public:
    virtual ~MailSocket() = default;
    // Writes all bytes: the length, or a negative value when they could not be written.
    virtual int write(const char *data, int length) = 0;
    // Reads what arrived within ticks (1/100 s) into buffer: the count (> 0) or one of
    // the codes above.
    virtual int read(char *buffer, int size, int64_t ticks) = 0;
    // The TLS client handshake on the open connection (no certificate check).
    virtual bool startTls() = 0;
    // The subject of the server's certificate, "" without TLS.
    virtual std::string peerSubject() = 0;
};

// Opens a connection to the server (with the TLS handshake at once when tls): null when
// that failed.
using MailSocketFactory = std::unique_ptr<MailSocket> (*)(const InetAddress &server, bool tls);
// Installs a factory (tests); null restores the daemon's TCP connections.
void setMailSocketFactory(MailSocketFactory factory);
std::unique_ptr<MailSocket> openMailSocket(const InetAddress &server, bool tls);

// Longest reply line kept; the rest of a longer line is read and dropped.
constexpr int MailLineMax = 1024;

class MailConnection {
public:
    explicit MailConnection(bool smtp) : isSmtp(smtp) {}

    // Connects to server:port. SMTP: greeting 220; with ehloName "EHLO <name>" (250),
    // further server data is drained; with starttls "STARTTLS" (220), the handshake and
    // EHLO again. POP3: the TLS handshake right after the connect when implicitTls.
    // False (connection closed) on any failure.
    bool open(int port, bool implicitTls, const char *ehloName, bool starttls);
    // Sends the text (when given) and reads the reply. With a prefix: 0 when the first
    // reply line starts with it, -2 when it does not, -1 when no reply came, -3 when the
    // text could not be sent. Without: the numeric reply code, or -1 (-3 unsent).
    // reply, when given, receives the reply's first line (SMTP: its last line).
    int command(const char *text, const char *prefix, std::string *reply = nullptr);
    // Reads a numeric reply (continuation lines "NNN-"): the code, or -1.
    int readCode(std::string *lastLine = nullptr);
    // Reads one line (CR LF removed) within ticks: its length, or -1 when none came.
    // A line longer than MailLineMax is cut (the rest is dropped).
    int readLine(std::string &line, int64_t ticks);
    // Sends "QUIT" and closes: 1, or 0 when the connection was not open.
    int quit();
    void close();
    bool isOpen() const { return socket_ != nullptr; }
    // Writes bytes as they are: the socket's result, -1 when closed.
    int write(const char *data, int length);

    bool isSmtp;
    InetAddress server;     // resolved address; family 0 until resolved
    std::string tlsSubject; // the peer subject of the last TLS session

private:
    // One read within ticks appended to the buffer: the socket's result.
    int fill(int64_t ticks);
    void drain(int64_t ticks);
    std::unique_ptr<MailSocket> socket_;
    std::string in_; // bytes read and not yet taken
};
