// The socket calls of the Wi-Fi manager: unix datagram clients of the supplicant's
// control sockets. Everything above works through wlanIo(), so unit tests swap these
// for a scripted supplicant.
#include "core/connection.h"
#include "net/wifi.h"

#include <cerrno>
#include <sys/socket.h>

namespace {

void *ioOpen(const char *path) {
    return Connection::connectUnix(path);
}

void ioClose(void *handle) {
    delete static_cast<Connection *>(handle);
}

int ioSend(void *handle, const char *data, size_t length, int64_t ticks) {
    auto *conn = static_cast<Connection *>(handle);
    int error = 0;
    if (!conn->wait4write(ticks, &error, true) || error != 0) return -1;
    ssize_t n;
    do {
        n = ::send(conn->socket, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(length) ? 0 : -1;
}

int ioRecv(void *handle, char *buffer, size_t size, int64_t ticks) {
    auto *conn = static_cast<Connection *>(handle);
    int error = 0;
    bool ready = conn->wait4read(ticks, &error, true);
    if (!ready) return error == Connection::WaitTimedOut || error == 0 ? -2 : -1;
    ssize_t n;
    do {
        n = ::recv(conn->socket, buffer, size, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno == EAGAIN ? -2 : -1;
    return static_cast<int>(n);
}

} // namespace

WlanIo &wlanIo() {
    static WlanIo io{ioOpen, ioClose, ioSend, ioRecv};
    return io;
}
