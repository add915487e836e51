// TcpConnection: listening, accepting, connecting, and the plain stream reads and writes.
#include "core/tcp.h"

#include "core/buffer.h"
#include "core/param.h"
#include "core/ptable.h"
#include "core/tcp_internal.h"
#include "core/tls.h"
#include "param_catalogue.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int ListenBacklog = 8;
// The read size when a wait said readable but the kernel reports nothing (an end of
// stream or an error, which the read then tells).
constexpr int ReadAfterWaitSize = 2048;

// Bytes the buffer's storage holds from its cursor on.
int32_t storageFromCursor(const Buffer &b) {
    if (b.base == nullptr || b.cursor == nullptr) return 0;
    ptrdiff_t used = b.cursor - b.base;
    return used >= b.size ? 0 : static_cast<int32_t>(b.size - used);
}

} // namespace

TcpConnection::TcpConnection(Task *ownerTask, NetInterface *iface, int vlanId)
    : Connection(ownerTask, iface, vlanId) {}

TcpConnection::~TcpConnection() {
    dropTls(true);
}

TcpConnection *TcpConnection::listen(Task *ownerTask, int listenPort, NetInterface *iface, int vlanIndex) {
    if (listenPort <= 0 || iface == nullptr) return nullptr;
    ptable();
    const bool ipv6 = p_ipv6 != nullptr && p_ipv6->isOn();
    int fam = ipv6 ? AF_INET6 : AF_INET;
    int vlanId = -1;
    if (vlanIndex > 0) {
        Param *on = ptable().find("ipvlan_on_", 10, vlanIndex);
        auto *id = dynamic_cast<IntParam *>(ptable().find("ipvlan_id_", 10, vlanIndex));
        auto *addr = dynamic_cast<IpParam *>(ptable().find("ipvlan_addr_", 12, vlanIndex));
        if (on == nullptr || id == nullptr || addr == nullptr || !on->isOn()) return nullptr;
        vlanId = id->value();
        InetAddress address = addr->address();
        if (address.family() == AF_INET && vlanId >= 0)
            fam = AF_INET;
        else if (address.family() == AF_INET6 && vlanId >= 0 && ipv6)
            fam = AF_INET6;
        else
            return nullptr;
    }
    auto *c = new TcpConnection(ownerTask, iface, vlanId);
    // The base interface's listener takes any address of its device (bound with the
    // clear flag), so an address change never leaves it on an address that is gone.
    bool ok = c->open(fam, SOCK_STREAM, 0) && c->setReuseAddr() && c->bindToDevice() &&
              c->bind(listenPort, true, vlanIndex) && c->setNonBlocking();
    if (ok && p_tcp_maxseg != nullptr && p_tcp_maxseg->value() > 0) ok = c->set_maxseg(p_tcp_maxseg->value());
    if (ok) ok = c->startListening(ListenBacklog);
    if (!ok) {
        delete c;
        return nullptr;
    }
    return c;
}

TcpConnection *TcpConnection::accept(bool withTls) {
    int err = 0;
    if (!wait4read(-1, &err, true)) return nullptr;
    return acceptPending(withTls);
}

TcpConnection *TcpConnection::acceptPending(bool withTls) {
    auto *c = new TcpConnection(owner, interface, vlan);
    c->port = port;
    c->family = family;
    c->type = type;
    if (!c->acceptFrom(socket)) {
        int e = errno;
        delete c;
        errno = e;
        return nullptr;
    }
    c->state = StateConnected;
    // A client got through: the running firmware works (acts on the first call only).
    if (interfaceHooks().confirmBoot != nullptr) interfaceHooks().confirmBoot();
    if (withTls) {
        // Only the session is made here (no network I/O): the handshake belongs to the
        // task that serves the client.
        SSL *session = tlsSessionMaker()(true);
        if (session == nullptr || SSL_set_fd(session, c->socket) != 1) {
            tlsPrintErrors();
            if (session != nullptr) SSL_free(session);
            delete c;
            return nullptr;
        }
        c->tls = session;
        c->handshakePending_ = true;
    }
    return c;
}

bool TcpConnection::connect(int timeoutTicks, bool withTls) {
    if (!Connection::connect(timeoutTicks)) return false;
    if (!withTls) return true;
    return tlsConnect(false) != nullptr;
}

int TcpConnection::readInto(Buffer &buffer, int64_t ticks, bool allocate) {
    auto fail = [&](int result) {
        buffer.release();
        return result;
    };
    if (handshakePending_ && !finishAccept()) return fail(TcpHardError);
    int count = 0;
    for (;;) {
        if (allocate)
            buffer.release();
        else
            buffer.length = 0;

        if (tls != nullptr) {
            int pending = SSL_pending(tls);
            if (pending > 0) {
                if (allocate && !buffer.createMalloc(std::min(pending, TlsReadChunk))) return fail(0);
                const int32_t room = storageFromCursor(buffer);
                if (room <= 0) return 0; // no storage to read into
                int n = tlsRead(buffer.cursor, room);
                if (n > 0) {
                    count = n;
                    break;
                }
                if (n < 0) return fail(n);
            }
        }

        if (ticks != 0) {
            int err = 0;
            if (!wait4read(ticks, &err, true)) return fail(err);
        }
        int available = 0;
        if (::ioctl(socket, FIONREAD, &available) != 0) {
            error = ErrorHard;
            return fail(TcpHardError);
        }
        if (available <= 0) {
            if (ticks == 0) return fail(0);
            available = ReadAfterWaitSize;
        }
        if (allocate) {
            if (!buffer.createMalloc(available)) return fail(0);
        } else {
            available = std::min(available, storageFromCursor(buffer));
            if (available <= 0) return 0; // no storage to read into
        }

        ssize_t n;
        if (tls != nullptr) {
            n = tlsRead(buffer.cursor, available);
            if (n < 0) return fail(static_cast<int>(n));
        } else {
            n = ::recv(socket, buffer.cursor, static_cast<size_t>(available), MSG_DONTWAIT);
        }
        if (n > 0) {
            count = static_cast<int>(n);
            break;
        }
        if (n == 0) return fail(TcpPeerClosed);
        if (errno == EINTR || errno == EAGAIN) continue;
        error = ErrorHard;
        return fail(TcpHardError);
    }
    buffer.length = count;
    bytesReceived += static_cast<uint64_t>(count);
    return count;
}

int TcpConnection::read(void *memory, int size, int64_t ticks) {
    if (memory == nullptr || size <= 0) return 0;
    Buffer wrap(static_cast<char *>(memory), size);
    wrap.length = size;
    return readInto(wrap, ticks, false);
}

int TcpConnection::readBuffer(Buffer &buffer, int64_t ticks) {
    return readInto(buffer, ticks, buffer.owned != 0 || buffer.base == nullptr);
}

int TcpConnection::writeAll(const void *data, int length, int64_t ticks, bool noWait) {
    if (handshakePending_ && !finishAccept()) return TcpHardError;
    const char *p = static_cast<const char *>(data);
    // No time-out still bounds a stall: a peer that takes nothing for that long is gone.
    const int64_t waitTicks = ticks == 0 ? WriteStallTicks : ticks;
    int done = 0;
    while (done < length) {
        if (tls != nullptr) {
            int n = tlsWriteWithin(p + done, length - done, waitTicks);
            if (n > 0) {
                done += n;
                bytesSent += static_cast<uint64_t>(n);
                continue;
            }
            if (n == TcpWriteTimedOut) return TcpWriteTimedOut;
            error = ErrorHard;
            return TcpHardError;
        }
        ssize_t n = ::send(socket, p + done, static_cast<size_t>(length - done), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<int>(n);
            bytesSent += static_cast<uint64_t>(n);
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN) {
            error = ErrorHard;
            return TcpHardError;
        }
        if (noWait) return done;
        int err = 0;
        if (!wait4write(waitTicks, &err, true) && err != 0) return TcpWriteTimedOut;
    }
    return done;
}

int TcpConnection::writev(const iovec *iov, int count) {
    if (handshakePending_ && !finishAccept()) return TcpHardError;
    if (tls != nullptr) {
        int sum = 0;
        for (int i = 0; i < count; i++) {
            const char *p = static_cast<const char *>(iov[i].iov_base);
            size_t left = iov[i].iov_len;
            while (left > 0) {
                int piece = static_cast<int>(std::min<size_t>(left, INT_MAX));
                int n = tlsWrite(p, piece);
                if (n <= 0) return n;
                bytesSent += static_cast<uint64_t>(n);
                sum += n;
                p += n;
                left -= static_cast<size_t>(n);
            }
        }
        return sum;
    }
    msghdr msg{};
    msg.msg_iov = const_cast<iovec *>(iov);
    msg.msg_iovlen = static_cast<size_t>(count);
    ssize_t n = ::sendmsg(socket, &msg, MSG_NOSIGNAL);
    if (n > 0) bytesSent += static_cast<uint64_t>(n);
    return static_cast<int>(n);
}

bool TcpConnection::sendFile(int fd) {
    Buffer block;
    if (!block.createMalloc(SendFileBlock)) return false;
    // Up to the end of the file: a short read of a pipe is not its end.
    for (;;) {
        ssize_t n = ::read(fd, block.base, SendFileBlock);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (writeAll(block.base, static_cast<int>(n), 0, false) != n) return false;
    }
}
