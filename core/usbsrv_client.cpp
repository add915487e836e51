// UsbSrvClient: one registration in a task's epoll set, for a client connection or for
// any other descriptor, with the client's own callback and the few per-client values
// of the USB server.
#include "core/tcp.h"

#include "core/ptable.h"
#include "param_catalogue.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/epoll.h>

namespace {

constexpr uint32_t ArmRead = EPOLLIN | EPOLLHUP;
constexpr uint32_t ArmWrite = EPOLLOUT | EPOLLHUP;

int modify(UsbSrvClient *record, uint32_t bits) {
    if (record == nullptr) return 0;
    record->eventMask |= bits;
    epoll_event ev{};
    ev.events = record->eventMask;
    ev.data.ptr = static_cast<EpollRecord *>(record);
    return ::epoll_ctl(record->epollFd, EPOLL_CTL_MOD, record->descriptor, &ev);
}

} // namespace

UsbSrvClient *UsbSrvClient::create(int epollFd, Task *ownerTask, TcpConnection *connection, int fd,
                                   int32_t userValue) {
    auto *r = new UsbSrvClient;
    r->owner = r;
    r->callback = &UsbSrvClient::dispatch;
    r->descriptor = connection != nullptr ? connection->socket : fd;
    r->epollFd = epollFd;
    r->userValue = userValue;
    if (connection != nullptr) {
        r->ownerTask = ownerTask;
        r->connection = connection;
    }
    // Unarmed: only hang-up and error are reported until wantRead or wantWrite.
    epoll_event ev{};
    ev.events = 0;
    ev.data.ptr = static_cast<EpollRecord *>(r);
    if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, r->descriptor, &ev) != 0) {
        delete r;
        return nullptr;
    }
    return r;
}

void UsbSrvClient::destroy(UsbSrvClient **record) {
    if (record == nullptr || *record == nullptr) return;
    UsbSrvClient *r = *record;
    epoll_event ev{};
    ::epoll_ctl(r->epollFd, EPOLL_CTL_DEL, r->descriptor, &ev);
    delete r;
    *record = nullptr;
}

int UsbSrvClient::wantRead(UsbSrvClient *record) {
    return modify(record, ArmRead);
}

int UsbSrvClient::wantWrite(UsbSrvClient *record) {
    return modify(record, ArmWrite);
}

UsbSrvClient *UsbSrvClient::setCallback(UsbSrvClient *record, Handler handler) {
    if (record != nullptr) record->handler = handler;
    return record;
}

int UsbSrvClient::dispatch(EpollRecord *base, uint32_t events) {
    if (base == nullptr || base->owner == nullptr) return -3;
    auto *record = static_cast<UsbSrvClient *>(base);
    if (record->handler == nullptr) return -3;
    record->lastEvents = events;
    // Taken before the call: a handler that ends its client may free the record.
    Task *task = record->ownerTask != nullptr ? record->ownerTask : Task::current();
    const int fd = record->descriptor;
    int result = record->handler(record, events);
    if (result <= -2 && task != nullptr) task->epollDel(fd);
    return result;
}

int UsbSrvClient::recv(UsbSrvClient *record, void *memory, int n, int timeoutMs) {
    if (record == nullptr || record->connection == nullptr) return 0;
    char *p = static_cast<char *>(memory);
    const int64_t ticks = timeoutMs / 10;
    int got = 0;
    while (got < n) {
        int r = record->connection->read(p + got, n - got, ticks);
        // A configuration-changed message ends a read wait with 0. Once part of the
        // record was taken, giving up would lose those bytes and the framing of every
        // later record with them: wait for the rest.
        if (r == 0 && got > 0 && ticks != 0) continue;
        if (r < 1) return r;
        got += r;
    }
    return n;
}

int UsbSrvClient::send(UsbSrvClient *record, const void *data, int length, int timeoutMs) {
    if (record == nullptr || record->connection == nullptr) return -1;
    return record->connection->writeAll(data, length, timeoutMs / 10, false);
}

int UsbSrvClient::sendv(UsbSrvClient *record, const iovec *iov, int count) {
    if (count <= 0) return count;
    if (record == nullptr || record->connection == nullptr) return -1;
    return record->connection->writev(iov, count);
}

bool UsbSrvClient::isTls(const UsbSrvClient *record) {
    return record != nullptr && record->connection != nullptr && record->connection->tls != nullptr;
}

int UsbSrvClient::peerAddress(const UsbSrvClient *record, sockaddr *out, int capacity) {
    if (record == nullptr || record->connection == nullptr || out == nullptr) return 0;
    sockaddr_in6 sa{};
    socklen_t len = sizeof sa;
    if (::getpeername(record->connection->socket, reinterpret_cast<sockaddr *>(&sa), &len) != 0) return 0;
    // What goes out: IPv4 (also for an IPv4-mapped IPv6 peer) or the IPv6 address.
    union {
        sockaddr_in v4;
        sockaddr_in6 v6;
    } result{};
    int size = 0;
    if (sa.sin6_family == AF_INET) {
        std::memcpy(&result.v4, &sa, sizeof(sockaddr_in));
        size = sizeof(sockaddr_in);
    } else if (sa.sin6_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&sa.sin6_addr)) {
        result.v4.sin_family = AF_INET;
        result.v4.sin_port = sa.sin6_port;
        std::memcpy(&result.v4.sin_addr, &sa.sin6_addr.s6_addr[12], 4);
        size = sizeof(sockaddr_in);
    } else if (sa.sin6_family == AF_INET6) {
        result.v6 = sa;
        size = sizeof(sockaddr_in6);
    }
    if (size == 0 || capacity < size) return 0;
    std::memcpy(out, &result, static_cast<size_t>(size));
    return size;
}

char *UsbSrvClient::peerText(const UsbSrvClient *record, char *buffer, size_t size) {
    if (buffer == nullptr || size == 0) return buffer;
    std::snprintf(buffer, size, "--");
    sockaddr_in6 sa{};
    if (size <= 16 ||
        peerAddress(record, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != sizeof(sockaddr_in))
        return buffer;
    const auto *v4 = reinterpret_cast<const sockaddr_in *>(&sa);
    const auto *b = reinterpret_cast<const uint8_t *>(&v4->sin_addr);
    std::snprintf(buffer, size, "%03d.%03d.%03d.%03d:%d", b[0], b[1], b[2], b[3], ntohs(v4->sin_port));
    return buffer;
}

bool secureTransportOn() {
    ptable();
    return p_zqn_sec != nullptr && p_zqn_sec->isOn();
}
