// The DHCP/BOOTP client's sockets: a packet socket per broadcast, the UDP socket on
// port 68 and the waits on it together with the task's message pipe.

#include "net/dhcp_network.h"

#include "core/connection.h"
#include "core/task.h"
#include "net/netif.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

namespace {

constexpr uint16_t ClientPort = 68;
constexpr uint16_t ServerPort = 67;

int64_t nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

class SocketDhcpNetwork : public DhcpNetwork {
public:
    ~SocketDhcpNetwork() override { closeReceive(); }

    bool sendBroadcast(NetInterface &iface, const uint8_t *frame, size_t length) override {
        Connection raw(nullptr, &iface, -1);
        unsigned index = if_nametoindex(iface.name());
        static const uint8_t everyone[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
        if (index == 0 || !raw.open(AF_PACKET, SOCK_DGRAM, 0) ||
            !raw.bindPacket(static_cast<int>(index), everyone))
            return false;
        return raw.sendPacket(frame, static_cast<int>(length), true) == static_cast<int>(length);
    }

    bool openReceive(Task &owner, NetInterface &iface) override {
        closeReceive();
        auto *c = new Connection(&owner, &iface, -1);
        // 255.255.255.255 only binds the port on every local address, broadcasts included.
        if (!c->open(AF_INET, SOCK_DGRAM, 0) || !c->setNonBlocking() ||
            !c->joinMulticast(ClientPort, InetAddress::fromIpv4(INADDR_BROADCAST), false)) {
            deleteConnection(c);
            return false;
        }
        udp_ = c;
        return true;
    }

    bool receiveOpen() const override { return udp_ != nullptr; }

    void closeReceive() override {
        deleteConnection(udp_);
        udp_ = nullptr;
    }

    bool sendUnicast(const uint8_t *message, size_t length, uint32_t server) override {
        if (udp_ == nullptr) return false;
        udp_->peer = InetAddress::fromIpv4(server);
        udp_->peer.setPort(ServerPort);
        return udp_->send(message, static_cast<int>(length), true) == static_cast<int>(length);
    }

    int receive(Task &owner, uint8_t *buffer, size_t size, int64_t ticks, bool (*stop)(Task &)) override {
        if (udp_ == nullptr) {
            // Nothing to read from: the wait still takes the task's messages.
            owner.wait(std::max<int64_t>(ticks, 1));
            return -1;
        }
        const int64_t deadline = nowMs() + std::max<int64_t>(ticks, 1) * 10;
        for (;;) {
            int64_t left = deadline - nowMs();
            if (left <= 0) return -1;
            pollfd fds[2] = {{owner.pipeRead, POLLIN, 0}, {udp_->socket, POLLIN, 0}};
            int ready = ::poll(fds, 2, static_cast<int>(std::min<int64_t>(left, 1 << 30)));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return -1;
            if (fds[0].revents & (POLLIN | POLLHUP)) {
                owner.readMessage();
                if (stop && stop(owner)) return -1;
            }
            if (fds[1].revents & POLLIN) {
                ssize_t n = ::recv(udp_->socket, buffer, size, MSG_DONTWAIT | MSG_TRUNC);
                if (n > 0) return static_cast<int>(std::min(static_cast<size_t>(n), size));
            }
        }
    }

    bool waitTask(Task &owner, int64_t ticks) override { return owner.wait(ticks) == 2; }

    bool interfaceAddress(NetInterface &iface, InetAddress &address) override {
        address.reset(false);
        return iface.getAddress(address) && address.isSet();
    }

private:
    Connection *udp_ = nullptr;
};

std::atomic<DhcpNetworkFactory> factory{nullptr};

} // namespace

DhcpNetwork *newDhcpNetwork() {
    return new SocketDhcpNetwork();
}

void setDhcpNetworkFactory(DhcpNetworkFactory f) {
    factory.store(f);
}

DhcpNetwork *makeDhcpNetwork() {
    DhcpNetworkFactory f = factory.load();
    return f ? f() : newDhcpNetwork();
}
