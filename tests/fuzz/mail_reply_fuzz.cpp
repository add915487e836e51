// The SMTP and POP3 reply readers under arbitrary server bytes in arbitrary pieces:
// numeric replies with continuation lines, "+OK" lines and multi-line answers. Every
// read ends (the scripted server closes when its bytes run out) with a code, a line
// within its bound, or a failure.
//
// Input: byte 0 the piece size; byte 1 the reader; the rest is what the server sends.
#include "notify/mail_conn.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct Bytes {
    const uint8_t *data = nullptr;
    size_t size = 0;
    size_t piece = 1;
};
Bytes peer;

class FuzzSocket : public MailSocket {
public:
    int write(const char *, int length) override { return length; }
    int read(char *buffer, int size, int64_t) override {
        if (peer.size == 0) return MailReadClosed;
        size_t n = peer.piece < peer.size ? peer.piece : peer.size;
        if (n > static_cast<size_t>(size)) n = static_cast<size_t>(size);
        std::memcpy(buffer, peer.data, n);
        peer.data += n;
        peer.size -= n;
        return static_cast<int>(n);
    }
    bool startTls() override { return peer.size % 2 == 0; }
    std::string peerSubject() override { return ""; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    peer.piece = data[0] % 64 + 1;
    int mode = data[1] % 3;
    peer.data = data + 2;
    peer.size = size - 2;
    setMailSocketFactory([](const InetAddress &, bool) -> std::unique_ptr<MailSocket> {
        return std::make_unique<FuzzSocket>();
    });
    MailConnection c(mode != 2);
    c.server = InetAddress::fromText("198.18.0.9");
    if (mode == 0) {
        // The whole SMTP opening: greeting, EHLO, STARTTLS, EHLO again.
        c.open(25, false, "fuzz.test", true);
        while (c.isOpen() && c.readCode() >= 0) {
        }
    } else {
        if (!c.open(110, false, nullptr, false)) return 0;
        std::string line;
        if (mode == 1 && c.command("NOOP\r\n", nullptr) < -1) __builtin_trap();
        while (c.readLine(line, 10) >= 0)
            if (line.size() > MailLineMax) __builtin_trap();
    }
    setMailSocketFactory(nullptr);
    return 0;
}
