// The stream and datagram readers under arbitrary peer bytes: whatever a peer sends, in
// whatever pieces, arrives whole through readInto (owned and borrowed buffers) and
// UsbSrvClient::recv, and every datagram either arrives whole or is refused as cut.
//
// Input: byte 0 chooses the reader and the size of borrowed storage; byte 1 the piece
// size the peer writes in; the rest is what the peer sends.
#include "core/buffer.h"
#include "core/connection.h"
#include "core/tcp.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A stream socket pair whose first end the connection wraps; the peer writes data in
// pieces and closes.
bool streamRoundTrip(int mode, size_t piece, const uint8_t *data, size_t size) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return true;
    int big = 1 << 20;
    ::setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    ::setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    for (size_t off = 0; off < size; off += piece)
        (void)!::write(sv[1], data + off, size - off < piece ? size - off : piece);
    ::close(sv[1]);

    TcpConnection c(nullptr, nullptr, -1);
    c.socket = sv[0];
    c.family = Connection::FamilyUnix;
    c.type = Connection::TypeStream;
    std::string got;
    char storage[97];
    const int borrowed = 1 + (mode >> 2) % 96;
    for (;;) {
        int n;
        if ((mode & 3) == 0) {
            Buffer b;
            n = c.readBuffer(b, 100);
            if (n > 0) got.append(b.cursor, static_cast<size_t>(n));
        } else if ((mode & 3) == 1) {
            n = c.read(storage, borrowed, 100);
            if (n > 0) got.append(storage, static_cast<size_t>(n));
        } else {
            UsbSrvClient record;
            record.connection = &c;
            const int want = static_cast<int>(size - got.size()) < borrowed
                                 ? static_cast<int>(size - got.size())
                                 : borrowed;
            if (want <= 0) {
                n = c.read(storage, 1, 100);
            } else {
                n = UsbSrvClient::recv(&record, storage, want, 1000);
                if (n > 0) got.append(storage, static_cast<size_t>(n));
            }
        }
        if (n <= 0) {
            if (n != TcpPeerClosed) return false;
            break;
        }
        if (got.size() > size) return false;
    }
    return got.size() == size && (size == 0 || std::memcmp(got.data(), data, size) == 0) &&
           c.bytesReceived == size;
}

// One datagram: whole when it is shorter than the 4000-byte buffer, else refused.
bool datagramRoundTrip(const uint8_t *data, size_t size) {
    int sv[2];
    if (size == 0 || ::socketpair(AF_UNIX, SOCK_DGRAM, 0, sv) != 0) return true;
    int big = 1 << 20;
    ::setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    bool sent = ::send(sv[1], data, size, 0) == static_cast<ssize_t>(size);
    Connection c(nullptr, nullptr, -1);
    c.socket = sv[0];
    Buffer b;
    int n = c.recv(b, 100);
    ::close(sv[1]);
    if (!sent) return true;
    if (size < 4000) return n == static_cast<int>(size) && std::memcmp(b.cursor, data, size) == 0;
    return n == -1 && b.base == nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const int mode = data[0];
    const size_t piece = 1 + data[1] * 64u;
    data += 2;
    size -= 2;
    if (!streamRoundTrip(mode, piece, data, size)) std::abort();
    if (!datagramRoundTrip(data, size)) std::abort();
    return 0;
}
