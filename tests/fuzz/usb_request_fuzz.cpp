// The USB-server request stream: the input is what a client sends on its connection;
// the dispatcher reads and answers request after request until the stream ends. The
// device table holds a present device (descriptors and strings cached, no usbfs file)
// and a device this client has opened whose file is gone, so that the commands reach
// their device paths too.
#include "core/ptable.h"
#include "core/tcp.h"
#include "usbserver/usb_device.h"
#include "usbserver/usb_protocol.h"
#include "usbserver/usb_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

void fillEntry(UsbDevice &e, int32_t state, int port) {
    e.init(UsbEntryPresent);
    e.port = port;
    e.busNumber = 1;
    e.deviceNumber = 127;
    e.speed = UsbSpeedHigh;
    static const uint8_t device[18] = {18, 1, 0, 2, 0, 0, 0, 64, 0x6B, 0x1D, 0x04, 0x01, 0, 1, 1, 2, 3, 1};
    std::memcpy(e.deviceDescriptor, device, sizeof device);
    UsbConfiguration c;
    c.descriptor = {9, 2, 32, 0, 1,    1, 0, 0x80, 50, 9, 4, 0,    0, 2, 0xFF, 0,
                    0, 0, 7,  5, 0x01, 2, 0, 2,    0,  7, 5, 0x81, 2, 0, 2,    0};
    c.interfaces[0] = 0;
    c.interfaceCount = 1;
    e.configurations.push_back(c);
    static const uint8_t languages[4] = {4, 3, 0x09, 0x04};
    static const uint8_t name[8] = {8, 3, 'q', 0, 'm', 0, 'r', 0};
    e.cacheString(0, 0, languages, sizeof languages);
    e.cacheString(0x0409, 2, name, sizeof name);
    e.state.store(state);
}

void drain(int fd) {
    char sink[65536];
    while (::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool once = [] {
        ptable();
        return true;
    }();
    (void)once;
    if (size > 60000) return 0;
    usbDeviceCount = 2;

    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    auto *conn = new TcpConnection(nullptr, nullptr, -1);
    conn->socket = fds[0];
    conn->state = Connection::StateConnected;
    {
        UsbSrvdPrcs client(conn);
        client.record = UsbSrvClient::create(client.epollFd, &client, conn, -1, 0);
        fillEntry(usbDeviceTable[0], UsbEntryPresent, 1);
        fillEntry(usbDeviceTable[1], UsbEntryOpened, 2);
        usbDeviceTable[1].owner = client.record;
        client.owned.push_back(1);

        size_t sent = 0;
        while (sent < size) {
            ssize_t n = ::send(fds[1], data + sent, size - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        ::shutdown(fds[1], SHUT_WR);
        for (int k = 0; k < 10000 && !client.ending; k++) {
            int r = usbDispatchRequest(client);
            drain(fds[1]);
            if (r < 0 && r != 3) break;
        }
        client.releaseAll();
        for (int i = 0; i < 2; i++)
            usbDeviceTable[i].clear();
    }
    ::close(fds[1]);
    return 0;
}
