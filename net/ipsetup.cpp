// IPv4 set-up of the interfaces: the operations through which start-up, DHCP, the
// ARP-ping assignment, SLP and the Wi-Fi manager put the parameters' address, netmask
// and gateway onto an interface, pick a ZeroConf address, announce the address and
// bring up the IP VLAN sub-interfaces.

#include "net/ipsetup.h"

#include "core/param.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/task.h"
#include "net/netif.h"
#include "param_catalogue.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/if_ether.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::atomic<uint32_t> previousPick{0};

// A descriptor closed when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The hardware address the announcements and the ZeroConf pick use: that of "eth0",
// replaced by the interface's own when it can be read.
MacAddress interfaceMac(NetInterface &iface) {
    MacAddress mac = MacAddress::fromInterface("eth0");
    uint8_t own[6];
    if (iface.getMacAddress(own)) mac.assign(own);
    return mac;
}

Param *indexed(const char *prefix, int index) {
    return ptable().find(prefix, static_cast<int>(strlen(prefix)), index);
}

bool indexedOn(const char *prefix, int index) {
    Param *p = indexed(prefix, index);
    return p && p->isOn();
}

} // namespace

uint32_t zeroconfPick(uint32_t previous, const MacAddress &mac) {
    // All arithmetic in 32 bits with wrap-around; the MAC bytes 2 to 6 count as signed.
    uint32_t h1 = ~((previous ^ (previous >> 8)) & 0xFF);
    uint32_t h2 = (previous >> 8) & 0xFF;
    for (int i = 1; i <= 5; ++i) {
        uint32_t b = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(mac.bytes[i])));
        h1 = b ^ ((h1 + b) << 1);
    }
    for (int i = 5; i >= 1; --i) {
        uint32_t c = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(mac.bytes[i])));
        h2 = c ^ ((h2 + c) << 1);
    }
    auto spread = [](uint32_t h) {
        int32_t r = static_cast<int32_t>(h) % 253;
        if (r < 0) r += 253;
        return static_cast<uint32_t>(r + 1);
    };
    return 0xA9FE0000u + spread(h1) * 256 + spread(h2);
}

uint32_t lastZeroconfPick() {
    return previousPick.load();
}

void setLastZeroconfPick(uint32_t pick) {
    previousPick.store(pick);
}

void buildGratuitousArp(uint8_t (&frame)[GratuitousArpSize], const MacAddress &mac, uint32_t address) {
    uint8_t *p = frame;
    auto put = [&p](const void *bytes, size_t n) {
        memcpy(p, bytes, n);
        p += n;
    };
    auto put16 = [&p](uint16_t v) {
        *p++ = static_cast<uint8_t>(v >> 8);
        *p++ = static_cast<uint8_t>(v);
    };
    static const uint8_t broadcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    // Ethernet header.
    put(broadcast, 6);
    put(mac.bytes, 6);
    put16(ETH_P_ARP);
    // ARP reply for Ethernet and IPv4, the address as sender and as target.
    put16(1);
    put16(ETH_P_IP);
    *p++ = 6;
    *p++ = 4;
    put16(2);
    put(mac.bytes, 6);
    put(&address, 4);
    put(broadcast, 6);
    put(&address, 4);
}

int getMgmtVlanId() {
    if (!p_ipvlan_mgmt->isOn()) return -1;
    int n = p_ipvlan_mgmt_idx->value();
    if (n < 1 || n > 21) return -1;
    if (!indexedOn("ipvlan_on_", n)) return -1;
    auto *id = dynamic_cast<IntParam *>(indexed("ipvlan_id_", n));
    return id ? id->value() : -1;
}

bool InetAddress::setAsIfAddress(NetInterface &iface, const char *setBy, bool store) const {
    if (isV6()) return false;
    if (store) {
        if (p_ip_addr->address().differs(*this)) p_ip_addr->set(*this);
        if (setBy) p_ip_setby->setText(setBy, -1);
    }
    iface.setAddress(*this);
    if (isLinkLocal()) return iface.setNetmask(24);
    iface.setNetmask(p_ip_pfxlen->value());
    return true;
}

bool InetAddress::setAsGateway(NetInterface &iface, bool store) const {
    if (isV6()) return false;
    if (store && p_ip_router->address().differs(*this)) p_ip_router->set(*this);
    // The route that goes is the interface's default route, whatever its gateway.
    if (isSet() && !isLinkLocal()) iface.deleteDefaultRoute(0);
    return iface.addRoute(0, ipv4(), 0);
}

void InetAddress::makeZeroconf(NetInterface &iface) {
    uint32_t pick = zeroconfPick(previousPick.load(), interfaceMac(iface));
    previousPick.store(pick);
    *this = fromIpv4(htonl(pick));
}

bool NetInterface::sendGratuitousArp(const InetAddress &address) {
    // A link-level socket that sends whole frames as they are given.
    Descriptor s(socket(AF_INET, SOCK_PACKET, htons(ETH_P_ALL)));
    if (s.get() < 0) {
        perror("Raw Socket");
        return false;
    }
    sockaddr device{};
    device.sa_family = AF_INET;
    // The name field holds 14 bytes; the name is copied terminated, cut if it must be.
    memcpy(device.sa_data, name(), strnlen(name(), sizeof(device.sa_data) - 1));
    if (bind(s.get(), &device, sizeof(device)) < 0) {
        perror("bind");
        return false;
    }
    uint8_t frame[GratuitousArpSize];
    buildGratuitousArp(frame, interfaceMac(*this), address.ipv4());
    sendto(s.get(), frame, sizeof(frame), 0, &device, sizeof(device));
    return true;
}

int NetInterface::setupIpVlans() {
    if ((p_sw_features->value() & ParamFeatIpVlan) == 0) return 0;
    int last = static_cast<int>(productParams().usbPorts) + 1;
    if (last > VlanEntryCount) last = VlanEntryCount;
    int changes = 0;
    for (int n = 1; n <= last; ++n)
        if (!indexedOn("ipvlan_on_", n)) changes |= removeVlan(n - 1) ? 1 : 0;
    for (int n = 1; n <= last; ++n) {
        if (!indexedOn("ipvlan_on_", n)) continue;
        auto *address = dynamic_cast<IpParam *>(indexed("ipvlan_addr_", n));
        auto *prefix = dynamic_cast<IntParam *>(indexed("ipvlan_pfxlen_", n));
        auto *router = dynamic_cast<IpParam *>(indexed("ipvlan_router_", n));
        auto *id = dynamic_cast<IntParam *>(indexed("ipvlan_id_", n));
        // An unset address of either family cannot be put on a sub-interface.
        if (!address || !address->hasValue()) continue;
        if (!prefix || prefix->value() < 0 || !router || !id) continue;
        changes |=
            setupVlan(n - 1, address->address(), prefix->value(), router->address(), id->value()) ? 1 : 0;
    }
    if (changes == 0) return 1;
    // Every listener reopens its sockets on the new sub-interfaces.
    Task::postAll(configChangedMsg);
    return changes;
}
