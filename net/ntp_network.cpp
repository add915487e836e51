// The SNTP client's socket: one datagram exchange with the time server.

#include "net/ntp_network.h"

#include "core/buffer.h"
#include "core/connection.h"
#include "core/ticks.h"

#include <algorithm>
#include <cstring>
#include <sys/socket.h>

namespace {

class SocketNtpNetwork : public NtpNetwork {
public:
    int exchange(Task &owner, NetInterface *iface, const InetAddress &server, const uint8_t *request,
                 size_t length, uint8_t *reply, size_t size, int64_t ticks) override {
        Connection c(&owner, iface, -1);
        if (!c.open(server.isV6() ? AF_INET6 : AF_INET, SOCK_DGRAM, 0)) return -1;
        c.peer = server;
        if (!c.bind(0, true, 0)) return -1;
        bindToMgmtInterface(c.socket);
        if (c.send(request, static_cast<int>(length), true) != static_cast<int>(length)) return -1;
        const int64_t deadline = sysTicks() + ticks;
        Buffer buffer;
        for (;;) {
            int64_t left = deadline - sysTicks();
            if (left <= 0) return -1;
            int n = c.recv(buffer, left);
            if (n < 0) return -1;
            // Only the server's answer counts; anything else on the port is dropped.
            if (n == 0 || !c.peer.equals(server) || c.peer.port() != server.port()) {
                c.peer = server;
                continue;
            }
            std::memcpy(reply, buffer.cursor, std::min(static_cast<size_t>(n), size));
            return n;
        }
    }
};

} // namespace

NtpNetwork *newNtpNetwork() {
    return new SocketNtpNetwork();
}
