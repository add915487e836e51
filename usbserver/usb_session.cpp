// The client task "UsbSrvdPrcs": its stream (buffered reads, gathered writes, both
// timed and taking task messages while they wait), its loop, and the work other
// tasks leave for it.
#include "core/monilog.h"
#include "core/param.h"
#include "core/platform.h"
#include "core/ptable.h"
#include "core/ticks.h"
#include "param_catalogue.h"
#include "usbserver/usb_access.h"
#include "usbserver/usb_device.h"
#include "usbserver/usb_protocol.h"
#include "usbserver/usb_server.h"
#include "usbserver/usb_transfer.h"
#include "usbserver/usb_wire.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

using namespace usbwire;

std::atomic<int> usbRunningLoops{0};

namespace {

// Requests left for an entry's owner by other tasks (bit set per entry).
enum : uint8_t { TakeAsked = 1, RemovalAsked = 2 };
std::atomic<uint8_t> entryRequests[UsbDeviceTableSize];

// Requests handled per wake-up before the device completions get their turn.
constexpr int DispatchBatch = 32;
// Reset passes at most this often (ticks), unless asked.
constexpr int64_t ResetPassTicks = 100;

int64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool wantsMore(int sslError) {
    return sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE;
}

} // namespace

UsbSrvdPrcs::UsbSrvdPrcs(TcpConnection *conn)
    : Task("UsbSrvdPrcs"), connection(conn), input_(new uint8_t[InputSize]) {
    // The connection's waits watch this task's pipe, not the listener's.
    if (connection != nullptr) connection->owner = this;
    usbLiveClients++;
}

UsbSrvdPrcs::~UsbSrvdPrcs() {
    releaseAll();
    if (looping_) usbRunningLoops--;
    freeRetired();
    UsbSrvClient::destroy(&record);
    delete connection;
    delete[] input_;
    delete[] stage_;
    usbLiveClients--;
}

uint32_t UsbSrvdPrcs::onMessage(const TaskMsg &msg) {
    // Work is only noted here: the message may arrive inside a read or write, where
    // nothing else may be written to the stream.
    if (msg.flags & MsgUsbWork) workWaiting_ = true;
    return msg.flags & ~(MsgUsbWork | MsgConfigChanged);
}

// ---- the stream -------------------------------------------------------------------

int UsbSrvdPrcs::waitSocket(short events, int timeoutMs) {
    const int64_t deadline = monotonicMs() + timeoutMs;
    for (;;) {
        int left = static_cast<int>(std::max<int64_t>(0, deadline - monotonicMs()));
        pollfd fds[2] = {{connection->socket, events, 0}, {pipeRead, POLLIN, 0}};
        int rc = ::poll(fds, 2, left);
        if (rc < 0) {
            if (errno == EINTR) continue;
            return TcpHardError;
        }
        if (fds[1].revents & (POLLIN | POLLHUP)) readMessage();
        if (fds[0].revents) return 1;
        if (rc == 0 || monotonicMs() >= deadline)
            return events == POLLIN ? TcpReadTimedOut : TcpWriteTimedOut;
    }
}

int UsbSrvdPrcs::rawRead(void *memory, size_t n, int timeoutMs) {
    if (connection == nullptr || connection->socket < 0) return TcpHardError;
    const int size = static_cast<int>(std::min<size_t>(n, INT_MAX));
    SSL *tls = connection->tls;
    for (;;) {
        if (tls != nullptr) {
            ERR_clear_error();
            int rc = SSL_read(tls, memory, size);
            if (rc > 0) {
                connection->bytesReceived += static_cast<uint64_t>(rc);
                return rc;
            }
            int err = SSL_get_error(tls, rc);
            if (err == SSL_ERROR_ZERO_RETURN || (err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) ||
                (err == SSL_ERROR_SSL &&
                 ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING))
                return TcpPeerClosed;
            if (!wantsMore(err)) return TcpHardError;
            int w = waitSocket(err == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, timeoutMs);
            if (w < 0) return w == TcpWriteTimedOut ? TcpReadTimedOut : w;
            continue;
        }
        ssize_t rc = ::recv(connection->socket, memory, static_cast<size_t>(size), MSG_DONTWAIT);
        if (rc > 0) {
            connection->bytesReceived += static_cast<uint64_t>(rc);
            return static_cast<int>(rc);
        }
        if (rc == 0) return TcpPeerClosed;
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return TcpHardError;
        int w = waitSocket(POLLIN, timeoutMs);
        if (w < 0) return w;
    }
}

bool UsbSrvdPrcs::inputWaiting() const {
    // Read ahead, whole records may wait in the session besides the decrypted bytes.
    return inEnd_ > inStart_ || (connection != nullptr && connection->tls != nullptr &&
                                 !connection->handshakePending() && SSL_has_pending(connection->tls) == 1);
}

int UsbSrvdPrcs::readExact(void *memory, size_t n, int timeoutMs) {
    auto *out = static_cast<uint8_t *>(memory);
    size_t got = std::min(n, inEnd_ - inStart_);
    std::memcpy(out, input_ + inStart_, got);
    inStart_ += got;
    while (got < n) {
        const size_t want = n - got;
        if (want >= InputSize / 4) {
            // Large data goes straight where it belongs.
            int r = rawRead(out + got, want, timeoutMs);
            if (r < 0) return r;
            got += static_cast<size_t>(r);
            continue;
        }
        inStart_ = inEnd_ = 0;
        int r = rawRead(input_, InputSize, timeoutMs);
        if (r < 0) return r;
        inEnd_ = static_cast<size_t>(r);
        size_t take = std::min(want, inEnd_);
        std::memcpy(out + got, input_, take);
        inStart_ = take;
        got += take;
    }
    return static_cast<int>(n);
}

int UsbSrvdPrcs::skip(uint64_t n, int timeoutMs) {
    size_t take = static_cast<size_t>(std::min<uint64_t>(n, inEnd_ - inStart_));
    inStart_ += take;
    n -= take;
    while (n > 0) {
        inStart_ = inEnd_ = 0;
        int r = rawRead(input_, static_cast<size_t>(std::min<uint64_t>(n, InputSize)), timeoutMs);
        if (r < 0) return r;
        n -= static_cast<uint64_t>(r);
    }
    return 0;
}

int UsbSrvdPrcs::writePlain(const iovec *iov, int count, int timeoutMs) {
    iovec local[8];
    count = std::min(count, 8);
    std::copy(iov, iov + count, local);
    iovec *v = local;
    size_t total = 0;
    for (int i = 0; i < count; i++)
        total += local[i].iov_len;
    size_t done = 0;
    while (done < total) {
        msghdr msg{};
        msg.msg_iov = v;
        msg.msg_iovlen = static_cast<size_t>(count);
        ssize_t n = ::sendmsg(connection->socket, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            connection->bytesSent += static_cast<uint64_t>(n);
            done += static_cast<size_t>(n);
            size_t k = static_cast<size_t>(n);
            while (count > 0 && k >= v->iov_len) {
                k -= v->iov_len;
                v++;
                count--;
            }
            if (count > 0) {
                v->iov_base = static_cast<char *>(v->iov_base) + k;
                v->iov_len -= k;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return TcpHardError;
        int w = waitSocket(POLLOUT, timeoutMs);
        if (w < 0) return w == TcpReadTimedOut ? TcpWriteTimedOut : w;
    }
    return static_cast<int>(std::min<size_t>(total, INT_MAX));
}

int UsbSrvdPrcs::writeTls(const void *data, size_t n, int timeoutMs) {
    SSL *tls = connection->tls;
    const auto *p = static_cast<const uint8_t *>(data);
    while (n > 0) {
        ERR_clear_error();
        int chunk = static_cast<int>(std::min<size_t>(n, INT_MAX));
        int rc = SSL_write(tls, p, chunk);
        if (rc > 0) {
            connection->bytesSent += static_cast<uint64_t>(rc);
            p += rc;
            n -= static_cast<size_t>(rc);
            continue;
        }
        int err = SSL_get_error(tls, rc);
        if (!wantsMore(err)) return TcpHardError;
        int w = waitSocket(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, timeoutMs);
        if (w < 0) return w == TcpReadTimedOut ? TcpWriteTimedOut : w;
    }
    return 0;
}

int UsbSrvdPrcs::flushTls(int timeoutMs) {
    BIO *out = SSL_get_wbio(connection->tls);
    for (;;) {
        if (out == nullptr || BIO_wpending(out) == 0) return 0;
        if (BIO_flush(out) > 0) return 0;
        if (!BIO_should_retry(out)) return TcpHardError;
        int w = waitSocket(POLLOUT, timeoutMs);
        if (w < 0) return w == TcpReadTimedOut ? TcpWriteTimedOut : w;
    }
}

void UsbSrvdPrcs::readTlsAhead() {
    if (connection == nullptr || connection->tls == nullptr || !connection->handshakePending()) return;
    SSL_set_read_ahead(connection->tls, 1);
    SSL_set_default_read_buffer_len(connection->tls, TlsReadAheadSize);
}

void UsbSrvdPrcs::gatherTlsWrites() {
    SSL *tls = connection != nullptr ? connection->tls : nullptr;
    if (tls == nullptr || tlsGathered_ || connection->handshakePending()) return;
    BIO *socketBio = SSL_get_wbio(tls);
    BIO *buffer = BIO_new(BIO_f_buffer());
    if (socketBio == nullptr || buffer == nullptr || BIO_set_write_buffer_size(buffer, TlsBatchSize) != 1 ||
        BIO_up_ref(socketBio) != 1) {
        // Unbuffered writes work as well, a record a system call.
        BIO_free(buffer);
        return;
    }
    // The session's reference to the socket's BIO passes to the buffer in front of it.
    SSL_set0_wbio(tls, BIO_push(buffer, socketBio));
    tlsGathered_ = true;
}

int UsbSrvdPrcs::sendAll(const iovec *iov, int count, int timeoutMs) {
    if (connection == nullptr || connection->socket < 0) return TcpHardError;
    if (connection->handshakePending() && !connection->finishAccept()) return TcpHardError;
    if (connection->tls == nullptr) return writePlain(iov, count, timeoutMs);
    // Small pieces are gathered so that a reply header and its small data make one
    // record; large data goes to its own records without a copy. The records wait in
    // the write buffer and leave together.
    if (stage_ == nullptr) stage_ = new uint8_t[StageSize];
    size_t staged = 0, total = 0;
    for (int i = 0; i < count; i++) {
        const auto *p = static_cast<const uint8_t *>(iov[i].iov_base);
        const size_t n = iov[i].iov_len;
        total += n;
        if (n == 0) continue;
        if (staged + n <= StageSize) {
            std::memcpy(stage_ + staged, p, n);
            staged += n;
            continue;
        }
        if (staged > 0) {
            if (int r = writeTls(stage_, staged, timeoutMs); r < 0) return r;
            staged = 0;
        }
        if (int r = writeTls(p, n, timeoutMs); r < 0) return r;
    }
    if (staged > 0)
        if (int r = writeTls(stage_, staged, timeoutMs); r < 0) return r;
    if (int r = flushTls(timeoutMs); r < 0) return r;
    return static_cast<int>(std::min<size_t>(total, INT_MAX));
}

int UsbSrvdPrcs::sendAll(const void *data, size_t n, int timeoutMs) {
    iovec iov{const_cast<void *>(data), n};
    return sendAll(&iov, 1, timeoutMs);
}

// ---- work of other tasks ------------------------------------------------------------

void UsbSrvdPrcs::queueMessage(const uint8_t *bytes, size_t n) {
    {
        std::lock_guard<std::mutex> guard(workMutex_);
        messages_.emplace_back(bytes, bytes + n);
    }
    wake();
}

void UsbSrvdPrcs::requestTake(int entryNumber, bool removed) {
    if (entryNumber < 0 || entryNumber >= UsbDeviceTableSize) return;
    entryRequests[entryNumber] |= removed ? RemovalAsked : TakeAsked;
    wake();
}

void UsbSrvdPrcs::wake() {
    workWaiting_ = true;
    TaskMsg msg{0, MsgUsbWork, 0, 0};
    post(msg);
}

void UsbSrvdPrcs::retire(UsbSrvClient *&r) {
    if (r == nullptr) return;
    epoll_event ev{};
    ::epoll_ctl(r->epollFd, EPOLL_CTL_DEL, r->descriptor, &ev);
    // An event for it may still wait in the current batch: it must find a voided
    // record (no owner, no descriptor), so it is freed only after the batch.
    r->owner = nullptr;
    r->descriptor = -1;
    retired_.push_back(r);
    r = nullptr;
}

void UsbSrvdPrcs::freeRetired() {
    for (UsbSrvClient *r : retired_)
        delete r;
    retired_.clear();
}

void UsbSrvdPrcs::closeDeviceFile(UsbDevice &e) {
    retire(e.waitRecord);
    e.closeFile();
    usbFreeTransfers(e);
}

void UsbSrvdPrcs::giveUp(int entryNumber, bool removed) {
    UsbDevice &e = usbDeviceTable[entryNumber];
    bool locked = e.muxIn("disconnect");
    e.owner = nullptr;
    if (removed) e.removed = 1;
    const bool clearIt = (entryRequests[entryNumber].exchange(0) & RemovalAsked) != 0;
    e.state.store(UsbEntryPresent);
    if (locked) e.muxOut();
    owned.erase(std::remove(owned.begin(), owned.end(), entryNumber), owned.end());
    if (clearIt) {
        // The hot-plug listener left the removal to this task.
        if (usbDeviceHooks().disconnected) usbDeviceHooks().disconnected(e);
        e.clear();
    }
}

void UsbSrvdPrcs::takeDevice(int entryNumber, bool removed) {
    UsbDevice *e = usbEntry(entryNumber);
    if (e == nullptr || e->state.load() != UsbEntryOpened || e->owner != record) return;
    usbEndTransfers(*this, *e, true);
    closeDeviceFile(*e);
    usbDeviceDeactivated(*e);
    uint8_t msg[MessageSize + 2];
    putBe32(msg, 1);
    putBe32(msg + 4, MsgDeviceRemoved);
    putBe32(msg + 8, 0);
    putBe32(msg + 12, 2);
    msg[16] = static_cast<uint8_t>(entryNumber);
    msg[17] = static_cast<uint8_t>(e->port);
    if (sendAll(msg, sizeof msg) < 0) ending = true;
    giveUp(entryNumber, removed || (entryRequests[entryNumber].load() & RemovalAsked));
}

void UsbSrvdPrcs::resetDevice(int entryNumber) {
    UsbDevice &e = usbDeviceTable[entryNumber];
    if (e.fd >= 0) platform().ioctl(e.fd, USBDEVFS_RESET, nullptr);
    usbEndTransfers(*this, e, true);
    closeDeviceFile(e);
    giveUp(entryNumber, false);
}

void UsbSrvdPrcs::doWork(bool resetPass) {
    if (workWaiting_.exchange(false)) {
        std::vector<std::vector<uint8_t>> out;
        {
            std::lock_guard<std::mutex> guard(workMutex_);
            out.swap(messages_);
        }
        for (const auto &m : out)
            if (!ending && sendAll(m.data(), m.size()) < 0) ending = true;
        for (int n : std::vector<int>(owned))
            if (entryRequests[n].load() != 0) takeDevice(n, false);
        resetPass = true;
    }
    if (!resetPass) return;
    for (int n : std::vector<int>(owned)) {
        UsbDevice &e = usbDeviceTable[n];
        bool locked = e.muxIn("resetPass");
        const bool pending = e.resetPending != 0;
        e.resetPending = 0;
        if (locked) e.muxOut();
        if (pending) resetDevice(n);
    }
}

void UsbSrvdPrcs::releaseAll() {
    for (int n : std::vector<int>(owned)) {
        UsbDevice &e = usbDeviceTable[n];
        if (e.owner != record || record == nullptr) continue;
        if (e.fd >= 0) {
            if (!e.removed && platform().ioctl(e.fd, USBDEVFS_RESET, nullptr) != 0 &&
                (static_cast<uint32_t>(p_sw_features->value()) & 0x8000) != 0)
                usbPortPowerCycle(e.port, 100);
            usbEndTransfers(*this, e, false);
            closeDeviceFile(e);
            usbDeviceDeactivated(e);
        }
        giveUp(n, false);
    }
    owned.clear();
}

// ---- the loop ---------------------------------------------------------------------

int UsbSrvdPrcs::onClientEvent(UsbSrvClient *r, uint32_t) {
    UsbSrvdPrcs *self = of(r);
    return self->dispatchSome() ? 0 : -1;
}

bool UsbSrvdPrcs::dispatchSome() {
    for (int k = 0; k < DispatchBatch && !ending; k++) {
        int r = usbDispatchRequest(*this);
        if (r < 0 && r != 3) ending = true;
        if (!inputWaiting()) break;
    }
    return !ending;
}

void UsbSrvdPrcs::run() {
    readTlsAhead();
    if (connection == nullptr || !connection->finishAccept()) exit();
    if (connection->tls != nullptr) {
        usbNoteCipher(connection);
        gatherTlsWrites();
    }
    const int64_t idleLimit = static_cast<int64_t>(p_zqn_heartbeat->value()) * 100;
    record = UsbSrvClient::create(epollFd, this, connection, -1, 0);
    if (record == nullptr) exit();
    UsbSrvClient::setCallback(record, &UsbSrvdPrcs::onClientEvent);
    UsbSrvClient::wantRead(record);
    usbRunningLoops++;
    looping_ = true;
    now = sysTicks();
    record->activityTick = static_cast<uint32_t>(now);
    for (;;) {
        const bool waiting = inputWaiting();
        int n = epollWait(waiting ? 0 : 5000);
        freeRetired();
        now = sysTicks();
        if (!ending && inputWaiting()) dispatchSome();
        bool pass = !resetPassDone_ || now - lastResetPass_ >= ResetPassTicks;
        if (pass) {
            resetPassDone_ = true;
            lastResetPass_ = now;
        }
        if (!ending) doWork(pass);
        if (ending) break;
        if (n == 0 && !inputWaiting() && idleLimit > 0 &&
            static_cast<uint32_t>(now) - record->activityTick > static_cast<uint32_t>(idleLimit))
            break;
    }
    exit(); // the destructor releases the client's devices
}
