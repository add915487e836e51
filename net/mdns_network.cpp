// The multicast-DNS responder's sending socket: one per batch, from port 5353 of the
// interface (or the VLAN the question came in on).

#include "net/mdns.h"

#include "core/connection.h"
#include "core/task.h"

#include <netinet/in.h>
#include <sys/socket.h>

namespace {

constexpr int BindTries = 10;
constexpr int64_t BindRetryTicks = 100;

class SocketMdnsNetwork : public MdnsNetwork {
public:
    bool send(Task &owner, NetInterface *iface, int vlan, const InetAddress &destination, int ttl,
              const std::vector<DnsMessage> &messages) override {
        Connection c(&owner, iface, vlan);
        const bool v6 = destination.isV6();
        if (!c.open(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0) || !c.setNonBlocking()) return false;
        c.setReuseAddr();
        c.setMulticastLoopOff();
        // The port may be taken for a moment (a socket being rebuilt); after the last
        // try the batch goes out from a port the system picks.
        for (int i = 0; i < BindTries; ++i) {
            if (c.bind(Bonjour::Port, true, 0)) break;
            owner.wait(BindRetryTicks);
        }
        if (v6) {
            setsockopt(c.socket, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &ttl, sizeof ttl);
            setsockopt(c.socket, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &ttl, sizeof ttl);
        } else {
            c.setMulticastTtl(ttl);
            setsockopt(c.socket, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
        }
        if (!c.bindToDevice()) return false;
        c.peer = destination;
        for (const DnsMessage &m : messages)
            if (c.send(m.data(), static_cast<int>(m.size()), true) != static_cast<int>(m.size()))
                return false;
        return true;
    }
};

} // namespace

MdnsNetwork *newMdnsNetwork() {
    return new SocketMdnsNetwork();
}
