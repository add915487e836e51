// NetInterface: the two interface objects, flags, IPv4 address and netmask, hardware
// address, multicast memberships, routes and the restart of the wired interface.
#include "net/netif.h"

#include "core/ptable_hooks.h"
#include "core/sysroot.h"
#include "core/task.h"
#include "net/netif_internal.h"
#include "param_catalogue.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace {

std::atomic<NetInterface *> mainIface{nullptr};

uint32_t maskOfPrefix(int prefix) {
    return prefix <= 0 ? 0 : htonl(prefix >= 32 ? 0xffffffffu : ~(0xffffffffu >> prefix));
}

void setInet4(sockaddr *sa, uint32_t address) {
    auto *in = reinterpret_cast<sockaddr_in *>(sa);
    std::memset(in, 0, sizeof *in);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = address;
}

// "<base>.<vlan>" into a name field; false when it does not fit.
bool vlanName(char *field, const char *base, int vlan) {
    char text[IfNameSize + 16];
    int n = std::snprintf(text, sizeof text, "%s.%d", base, vlan);
    if (n < 0 || n >= static_cast<int>(IfNameSize)) return false;
    std::memcpy(field, text, n + 1);
    return true;
}

uint32_t inet4Of(const sockaddr *sa) {
    return reinterpret_cast<const sockaddr_in *>(sa)->sin_addr.s_addr;
}

} // namespace

NetInterface &wiredInterface() {
    static NetInterface wired;
    return wired;
}

NetInterface &wirelessInterface() {
    static NetInterface wireless;
    return wireless;
}

NetInterface &mainInterface() {
    NetInterface *m = mainIface.load(std::memory_order_acquire);
    return m ? *m : wiredInterface();
}

void setMainInterface(NetInterface &iface) {
    mainIface.store(&iface, std::memory_order_release);
}

NetifHooks &netifHooks() {
    static NetifHooks hooks;
    return hooks;
}

NetInterface::~NetInterface() {
    if (controlSocket_ >= 0) netKernel().close(controlSocket_);
    controlSocket_ = -1;
}

void NetInterface::setName(const char *name) {
    copyIfName(name_, name);
}

bool NetInterface::openSocket() {
    int fd = netKernel().socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    std::lock_guard<std::mutex> guard(lock_);
    if (controlSocket_ >= 0) netKernel().close(controlSocket_);
    controlSocket_ = fd;
    return true;
}

int NetInterface::lockedIoctl(unsigned long request, void *arg) {
    std::lock_guard<std::mutex> guard(lock_);
    if (controlSocket_ < 0) {
        errno = EBADF;
        return -1;
    }
    return netKernel().ioctl(controlSocket_, request, arg);
}

bool NetInterface::getFlags(uint16_t &flags, const char *ifname) {
    ifreq ifr{};
    copyIfName(ifr.ifr_name, nameOr(ifname));
    if (lockedIoctl(SIOCGIFFLAGS, &ifr) < 0) return false;
    flags = static_cast<uint16_t>(ifr.ifr_flags);
    return true;
}

bool NetInterface::setFlags(uint16_t flags, const char *ifname) {
    ifreq ifr{};
    copyIfName(ifr.ifr_name, nameOr(ifname));
    ifr.ifr_flags = static_cast<short>(flags);
    return lockedIoctl(SIOCSIFFLAGS, &ifr) == 0;
}

bool NetInterface::isUp(const char *ifname, bool alsoRunning) {
    uint16_t flags = 0;
    if (!getFlags(flags, ifname)) return false;
    if (!(flags & IFF_UP)) return false;
    return !alsoRunning || (flags & IFF_RUNNING);
}

bool NetInterface::isRunning() {
    uint16_t flags = 0;
    return getFlags(flags) && (flags & IFF_RUNNING);
}

int NetInterface::setArpIgnore(const char *confName) {
    // The name becomes one path component: refuse what would leave the directory.
    if (confName == nullptr || *confName == '\0' || std::strchr(confName, '/') ||
        std::strcmp(confName, "..") == 0) {
        errno = EINVAL;
        return -1;
    }
    char path[64];
    int n = std::snprintf(path, sizeof path, "/proc/sys/net/ipv4/conf/%s/arp_ignore", confName);
    if (n < 0 || n >= static_cast<int>(sizeof path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return netKernel().writeFile(sysPath(path).c_str(), "1");
}

bool NetInterface::up(const char *ifname) {
    // Every interface, also sub-interfaces made later, then answers ARP only for its
    // own addresses.
    setArpIgnore("all");
    setArpIgnore("default");
    return setFlags(IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_MULTICAST, ifname);
}

bool NetInterface::down(const char *ifname) {
    uint16_t flags = 0;
    if (!getFlags(flags, ifname)) return false;
    return setFlags(static_cast<uint16_t>(flags & ~IFF_UP), ifname);
}

bool NetInterface::restart() {
    uint16_t flags = 0;
    if (!getFlags(flags)) return false;
    setFlags(static_cast<uint16_t>(flags & ~IFF_UP));
    setFlags(static_cast<uint16_t>(flags | IFF_UP));

    InetAddress address = p_ip_addr->address();
    InetAddress router = p_ip_router->address();
    if (address.isLinkLocal()) {
        setLinkLocalRoute();
        std::printf("### ZeroConf IP:%s setup linklocal configuration ###\n", address.toText());
    } else if (router.isSet()) {
        router.setAsGateway(*this, true);
        std::printf("### Non Zeronf IP:%s setup default Gate:%s ###\n", address.toText(), router.toText());
    }
    std::fflush(stdout);
    if (p_ipv6->isOn()) enableIpv6(true);
    if (p_sw_features->value() & 0x2000) setupIpVlans();
    return true;
}

bool NetInterface::getAddress(InetAddress &address, int vlan) {
    char sub[IfNameSize];
    const char *ifname = name_;
    if (vlan >= 0) {
        if (!vlanName(sub, name_, vlan)) return false;
        ifname = sub;
    }
    if (address.family() == AF_INET6) {
        InetAddress found;
        found.reset(true);
        if (!getIpv6Address(found, ifname)) return false;
        address = found;
        return address.isSet();
    }
    ifreq ifr{};
    copyIfName(ifr.ifr_name, ifname);
    ifr.ifr_addr.sa_family = AF_INET;
    if (lockedIoctl(SIOCGIFADDR, &ifr) < 0) return false;
    address = InetAddress::fromIpv4(inet4Of(&ifr.ifr_addr));
    return address.isSet();
}

bool NetInterface::setAddress(const InetAddress &address, const char *ifname) {
    if (address.family() != AF_INET) return false;
    const char *target = nameOr(ifname);

    // The address already there: nothing to touch, nobody to tell.
    ifreq current{};
    copyIfName(current.ifr_name, target);
    current.ifr_addr.sa_family = AF_INET;
    uint32_t before = 0;
    if (controlSocket_ >= 0 && netKernel().ioctl(controlSocket_, SIOCGIFADDR, &current) == 0) {
        before = inet4Of(&current.ifr_addr);
        if (before == address.ipv4()) return true;
    }

    bool done;
    {
        std::lock_guard<std::mutex> guard(lock_);
        ifreq ifr{};
        copyIfName(ifr.ifr_name, target);
        setInet4(&ifr.ifr_addr, address.ipv4());
        done = controlSocket_ >= 0 && netKernel().ioctl(controlSocket_, SIOCSIFADDR, &ifr) == 0;
        if (!done) std::perror("ioctl(SIOCSIFADDR)");
        ifreq back{};
        copyIfName(back.ifr_name, target);
        back.ifr_addr.sa_family = AF_INET;
        if (controlSocket_ < 0 || netKernel().ioctl(controlSocket_, SIOCGIFADDR, &back) < 0)
            std::perror("ioctl(SIOCGIFADDR)");
        if (ptableHooks().updateStatusLed) ptableHooks().updateStatusLed();
    }
    // Sockets bound to the old address must be reopened; an interface that had none
    // had nothing bound to it.
    if (done && before != 0) Task::postAll(TaskMsg{0, MsgAddressChanged, 0, 0});
    return done;
}

bool NetInterface::setNetmask(int prefix, const char *ifname) {
    if (prefix < 0 || prefix > 32) return false;
    uint32_t mask = maskOfPrefix(prefix);
    // "ip_mask" shows the base interface's mask: a sub-interface leaves it alone.
    if (ifname == nullptr || std::strcmp(ifname, name_) == 0) p_ip_mask->set(InetAddress::fromIpv4(mask));
    ifreq ifr{};
    copyIfName(ifr.ifr_name, nameOr(ifname));
    setInet4(&ifr.ifr_netmask, mask);
    if (lockedIoctl(SIOCSIFNETMASK, &ifr) < 0) {
        std::perror("ioctl(SIOCSIFNETMASK)");
        return false;
    }
    return true;
}

bool NetInterface::getMacAddress(uint8_t mac[6]) {
    ifreq ifr{};
    copyIfName(ifr.ifr_name, name_);
    if (lockedIoctl(SIOCGIFHWADDR, &ifr) < 0) return false;
    std::memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
    return true;
}

bool NetInterface::addMulticast(const InetAddress &group, int vlan) {
    if (group.family() != AF_INET) return false;
    ifreq ifr{};
    if (vlan >= 0) {
        if (!vlanName(ifr.ifr_name, name_, vlan)) return false;
    } else {
        copyIfName(ifr.ifr_name, name_);
    }
    MacAddress mac = MacAddress::fromMulticast(group.ipv4());
    ifr.ifr_hwaddr.sa_family = AF_UNSPEC;
    std::memcpy(ifr.ifr_hwaddr.sa_data, mac.bytes, 6);
    if (controlSocket_ < 0) return false;
    return netKernel().ioctl(controlSocket_, SIOCADDMULTI, &ifr) == 0;
}

bool NetInterface::addRoute(uint32_t destination, uint32_t gateway, uint32_t netmask, const char *device) {
    char dev[IfNameSize];
    copyIfName(dev, nameOr(device));
    rtentry rt{};
    setInet4(&rt.rt_dst, destination);
    setInet4(&rt.rt_gateway, gateway);
    setInet4(&rt.rt_genmask, netmask);
    rt.rt_flags = RTF_UP | (gateway != 0 ? RTF_GATEWAY : 0);
    rt.rt_dev = dev;
    // Routes on a sub-interface (a VLAN "<if>.<id>" or an alias "<if>:<n>") get metric
    // 5 so that those of the base interface win. The field holds the metric plus one
    // (0 asks for the default).
    rt.rt_metric = (std::strchr(dev, '.') || std::strchr(dev, ':')) ? 5 + 1 : 0;
    return lockedIoctl(SIOCADDRT, &rt) == 0;
}

bool NetInterface::deleteDefaultRoute(uint32_t gateway) {
    char dev[IfNameSize];
    copyIfName(dev, name_);
    rtentry rt{};
    setInet4(&rt.rt_dst, 0);
    setInet4(&rt.rt_gateway, gateway);
    setInet4(&rt.rt_genmask, 0);
    rt.rt_flags = RTF_UP | (gateway != 0 ? RTF_GATEWAY : 0);
    rt.rt_dev = dev;
    return lockedIoctl(SIOCDELRT, &rt) == 0;
}

bool NetInterface::setLinkLocalRoute() {
    InetAddress address = InetAddress::fromIpv4(0);
    if (!getAddress(address) || !address.isLinkLocal()) return false;
    return InetAddress::fromIpv4(0).setAsGateway(*this, true);
}
