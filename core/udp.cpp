// Datagram input and output, multicast membership and packet sockets of Connection.
#include "core/buffer.h"
#include "core/connection.h"
#include "core/task.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Datagram buffers: their size, and the free room below which a fresh one is taken.
constexpr int32_t DatagramBufferSize = 4000;
constexpr int32_t DatagramMinRoom = 1500;
constexpr int32_t PacketBufferSize = 2048;
// Rounds of asking the interface for its address before a multicast bind gives up,
// and the ticks between them (about 10 s in all).
constexpr int AddressRounds = 21;
constexpr int64_t AddressRetryTicks = 50;

// Sends until done: send(2) on a connected socket (to is null), else sendto. The count,
// or -errno; singleShot ends after the first attempt.
int sendLoop(int fd, const char *data, int length, bool singleShot, const sockaddr *to, socklen_t toLen,
             bool &hardError) {
    hardError = false;
    int done = 0;
    while (done < length) {
        ssize_t n =
            to ? ::sendto(fd, data + done, static_cast<size_t>(length - done), MSG_NOSIGNAL, to, toLen)
               : ::send(fd, data + done, static_cast<size_t>(length - done), MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<int>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            hardError = true;
            return -errno;
        }
        if (singleShot) break;
        if (n <= 0 && errno == EAGAIN) {
            // A full send queue: wait until there is room rather than spin on it.
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 1000);
        }
    }
    return done;
}

} // namespace

int Connection::recv(Buffer &buffer, int64_t ticks) {
    if (buffer.owned == 0) {
        buffer.clear();
        if (!buffer.createMalloc(DatagramBufferSize)) return -1;
    }
    if (buffer.size - buffer.length >= DatagramMinRoom) {
        buffer.rewind();
    } else {
        buffer.release();
        if (!buffer.createMalloc(DatagramBufferSize)) return -1;
    }
    if (!wait4read(ticks, nullptr, true)) {
        buffer.release();
        return -1;
    }
    const int32_t room = buffer.size - buffer.length;
    sockaddr_storage from{};
    socklen_t fromLen = sizeof from;
    ssize_t n = ::recvfrom(socket, buffer.cursor + buffer.length, static_cast<size_t>(room), MSG_DONTWAIT,
                           reinterpret_cast<sockaddr *>(&from), &fromLen);
    if (n > 0 && fromLen > 0) peer.setSockAddr(reinterpret_cast<sockaddr *>(&from), fromLen);
    if (n <= 0) return static_cast<int>(n);
    if (n >= room) {
        // The datagram filled the whole room: it may have been cut, so it is not taken.
        buffer.release();
        return -1;
    }
    buffer.length = static_cast<int32_t>(n);
    return static_cast<int>(n);
}

int Connection::send(const void *data, int length, bool singleShot) {
    bool hard = false;
    if (state == StateConnected)
        return sendLoop(socket, static_cast<const char *>(data), length, singleShot, nullptr, 0, hard);
    return sendLoop(socket, static_cast<const char *>(data), length, singleShot, peer.sockAddr(),
                    peer.sockLen(), hard);
}

bool Connection::setMulticastLoopOff() {
    if (socket < 0) return false;
    if (family == FamilyIpv6) {
        int off = 0;
        return ::setsockopt(socket, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &off, sizeof off) == 0;
    }
    unsigned char off = 0;
    return ::setsockopt(socket, IPPROTO_IP, IP_MULTICAST_LOOP, &off, sizeof off) == 0;
}

bool Connection::setDontRoute(int value) {
    return ::setsockopt(socket, SOL_SOCKET, SO_DONTROUTE, &value, sizeof value) == 0;
}

bool Connection::setMulticastTtl(int value) {
    unsigned char ttl = static_cast<unsigned char>(value);
    return ::setsockopt(socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0;
}

bool Connection::joinMulticast(int bindPort, const InetAddress &group, bool dontRoute) {
    if (interface == nullptr || interfaceHooks().getAddress == nullptr) return false;
    port = static_cast<uint32_t>(bindPort);
    const bool realGroup = group.isV6() || group.ipv4() != INADDR_BROADCAST;

    // The interface may still be getting its address: ask again for about 10 s.
    InetAddress own;
    bool found = false;
    for (int round = 0; round < AddressRounds; round++) {
        own.reset(family == FamilyIpv6);
        if (interfaceHooks().getAddress(interface, own, vlan)) {
            found = true;
            break;
        }
        if (round + 1 == AddressRounds) break;
        if (owner != nullptr && Task::current() == owner)
            owner->wait(AddressRetryTicks);
        else
            ::poll(nullptr, 0, static_cast<int>(AddressRetryTicks * 10));
    }
    if (!found) return false;

    setReuseAddr();
    setMulticastTtl(1);
    if (dontRoute) setDontRoute(1);

    if (family == FamilyIpv6) {
        local.reset(true);
        local.setPort(static_cast<uint16_t>(bindPort));
        if (::bind(socket, local.sockAddr(), local.sockLen()) != 0) return false;
        char device[IFNAMSIZ];
        deviceName(device, sizeof device);
        ipv6_mreq mreq{};
        std::memcpy(&mreq.ipv6mr_multiaddr, group.ipv6Bytes(), 16);
        mreq.ipv6mr_interface = ::if_nametoindex(device);
        return ::setsockopt(socket, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &mreq, sizeof mreq) == 0;
    }

    local = InetAddress::fromIpv4(realGroup ? group.ipv4() : INADDR_ANY);
    local.setPort(static_cast<uint16_t>(bindPort));
    if (::bind(socket, local.sockAddr(), local.sockLen()) != 0) return false;
    if (realGroup) {
        ip_mreqn mreq{};
        mreq.imr_multiaddr.s_addr = group.ipv4();
        mreq.imr_address.s_addr = own.ipv4();
        mreq.imr_ifindex = 0;
        if (::setsockopt(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) return false;
    }
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getsockname(socket, reinterpret_cast<sockaddr *>(&ss), &len) == 0)
        local.setSockAddr(reinterpret_cast<sockaddr *>(&ss), len);
    return true;
}

bool Connection::bindUdp(int bindPort, bool broadcast, bool dontRoute, bool clear) {
    port = static_cast<uint32_t>(bindPort);
    if (broadcast) return joinMulticast(bindPort, InetAddress::fromIpv4(INADDR_BROADCAST), dontRoute);
    return bind(bindPort, clear, 0);
}

bool Connection::bindPacket(int index, const uint8_t mac[6]) {
    sockaddr_ll ll{};
    ll.sll_family = AF_PACKET;
    ll.sll_protocol = htons(0x0800);
    ll.sll_ifindex = index;
    ll.sll_halen = 6;
    std::memcpy(ll.sll_addr, mac, 6);
    local.setSockAddr(reinterpret_cast<sockaddr *>(&ll), sizeof ll);
    return ::bind(socket, local.sockAddr(), sizeof ll) == 0;
}

int Connection::sendPacket(const void *data, int length, bool singleShot) {
    bool hard = false;
    int n = sendLoop(socket, static_cast<const char *>(data), length, singleShot, local.sockAddr(),
                     sizeof(sockaddr_ll), hard);
    return hard ? -4 : n;
}

int Connection::recvPacket(Buffer &buffer, int64_t ticks) {
    if (!buffer.createMalloc(PacketBufferSize)) return 0;
    if (ticks != 0 && !wait4read(ticks, nullptr, true)) return 0;
    ssize_t n = ::recv(socket, buffer.cursor, PacketBufferSize, ticks != 0 ? MSG_DONTWAIT : 0);
    if (n < 0) return -1;
    buffer.length = static_cast<int32_t>(n);
    return static_cast<int>(n);
}

int Connection::ifIndex() {
    const char *name = interfaceName(interface);
    if (name == nullptr || *name == '\0') return 0;
    return static_cast<int>(::if_nametoindex(name));
}
