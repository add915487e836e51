// The uevent socket of the simulated kernel: each open gives one end of a datagram
// socket pair on which the USB stand-in sends the kernel's messages ("add@<path>"
// then NUL-separated variables). A socket that has just opened first gets the "add"
// messages of the devices (and the SD card) already present, as a coldplug replay at
// start-up.
#include "sim/slot.h"
#include "sim/standins.h"
#include "sim/usb_internal.h"

#include <cerrno>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace sim {
namespace usb {
namespace {

std::mutex sendersLock;
std::vector<int> &senders() {
    static std::vector<int> list;
    return list;
}

// Sends to one socket; false when its reader is gone. A full receive queue drops
// the message, as the kernel's netlink does.
bool sendTo(int fd, const std::string &message) {
    ssize_t n = ::send(fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    return n >= 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS;
}

} // namespace

void sendUevent(const std::string &message) {
    std::lock_guard<std::mutex> guard(sendersLock);
    auto &list = senders();
    for (size_t i = 0; i < list.size();) {
        if (sendTo(list[i], message)) {
            i++;
        } else {
            ::close(list[i]);
            list.erase(list.begin() + static_cast<long>(i));
        }
    }
}

} // namespace usb

int usbUeventOpen() {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
    int big = 1 << 20;
    ::setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    usb::World &w = usb::world();
    std::lock_guard<std::mutex> worldGuard(w.lock);
    for (const auto &m : usb::coldplugUevents())
        usb::sendTo(pair[1], m);
    // The SD card too; the socket joins the senders before a card inserted meanwhile
    // is announced.
    slotColdplug([&](const std::vector<std::string> &card) {
        for (const auto &m : card)
            usb::sendTo(pair[1], m);
        std::lock_guard<std::mutex> guard(usb::sendersLock);
        usb::senders().push_back(pair[1]);
    });
    return pair[0];
}

} // namespace sim
