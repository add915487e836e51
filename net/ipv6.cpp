// NetInterface: switching IPv6 on and off, stateless autoconfiguration, the static
// address and its routes, and the readers of the kernel's IPv6 tables. Everything goes
// through the proc files and the IPv6 socket ioctls.
#include "net/ipv6.h"

#include "core/sysroot.h"
#include "core/task.h"
#include "net/netif.h"
#include "net/netif_internal.h"
#include "param_catalogue.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <net/route.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace {

// The IPv6 address request of SIOCSIFADDR and SIOCDIFADDR (struct in6_ifreq).
struct Inet6IfReq {
    in6_addr address;
    uint32_t prefixLength;
    int ifIndex;
};

constexpr const char *IfInet6 = "/proc/net/if_inet6";
constexpr const char *Ipv6Route = "/proc/net/ipv6_route";
constexpr unsigned ScopeGlobal = 0x00;
constexpr unsigned ScopeLink = 0x20;
constexpr unsigned ScopeSite = 0x40;
constexpr uint32_t RouteMetric = 10;

// Writes a proc file; a failure is reported with the system error text.
int writeProc(const char *path, const char *text) {
    std::string mapped = sysPath(path);
    int rc = netKernel().writeFile(mapped.c_str(), text);
    if (rc != 0) std::printf("%s: %s\n", mapped.c_str(), std::strerror(errno));
    return rc;
}

bool readLine(FILE *stream, char *line, size_t size) {
    if (!std::fgets(line, static_cast<int>(size), stream)) return false;
    // A line longer than the buffer is not one of the kernel's: stop at it.
    return std::strchr(line, '\n') != nullptr || std::feof(stream);
}

// One IPv6 route request on a fresh IPv6 socket; 0 or the errno.
int routeRequest(unsigned long request, const in6_addr &destination, int destinationLength,
                 const in6_addr *gateway, uint32_t flags, int ifIndex) {
    in6_rtmsg rt{};
    rt.rtmsg_dst = destination;
    rt.rtmsg_dst_len = static_cast<uint16_t>(destinationLength);
    if (gateway) rt.rtmsg_gateway = *gateway;
    rt.rtmsg_metric = RouteMetric;
    rt.rtmsg_flags = flags;
    rt.rtmsg_ifindex = ifIndex;
    int fd = netKernel().socket(AF_INET6, SOCK_DGRAM, 0);
    if (fd < 0) return errno ? errno : EIO;
    int rc = netKernel().ioctl(fd, request, &rt);
    int err = rc < 0 ? (errno ? errno : EIO) : 0;
    netKernel().close(fd);
    return err;
}

} // namespace

bool parseInet6Line(const char *line, Inet6Line &out) {
    uint8_t *a = out.address;
    char name[16] = {};
    int n = std::sscanf(line,
                        " %2hhx%2hhx%2hhx%2hhx%2hhx%2hhx%2hhx%2hhx%2hhx%2hhx%2hhx%2hhx%2hhx%2hhx%2hhx%2hhx"
                        " %x %x %x %*x %15s",
                        &a[0], &a[1], &a[2], &a[3], &a[4], &a[5], &a[6], &a[7], &a[8], &a[9], &a[10], &a[11],
                        &a[12], &a[13], &a[14], &a[15], &out.ifIndex, &out.prefixLength, &out.scope, name);
    if (n != 20) return false;
    std::memcpy(out.ifName, name, sizeof out.ifName);
    return true;
}

bool parseIpv6RouteLine(const char *line, Ipv6RouteLine &out) {
    int n = std::sscanf(line, "%32s %x %*s %x %32s %x %x %x %x %15s", out.destination, &out.destinationLength,
                        &out.sourceLength, out.nextHop, &out.metric, &out.refCount, &out.useCount, &out.flags,
                        out.device);
    return n == 9;
}

bool NetInterface::readInet6(FILE *stream, InetAddress &address, int *prefixLength, const char *ifname,
                             int *scope) {
    if (stream == nullptr) return false;
    const char *wanted = nameOr(ifname);
    bool found = false;
    char line[256];
    Inet6Line entry;
    while (readLine(stream, line, sizeof line) && parseInet6Line(line, entry)) {
        if (std::strcmp(entry.ifName, wanted) != 0) continue;
        // The address and its scope change; a port the caller set stays.
        uint16_t port = address.port();
        address.reset(true);
        address.setPort(port);
        std::memcpy(address.ipv6Bytes(), entry.address, 16);
        // A link-scope address is only usable together with its interface.
        address.setScopeId(entry.scope == ScopeLink ? entry.ifIndex : 0);
        if (prefixLength) *prefixLength = static_cast<int>(entry.prefixLength);
        if (scope) *scope = static_cast<int>(entry.scope);
        if (entry.scope == ScopeGlobal || entry.scope == ScopeSite) return true;
        found = true;
    }
    return found;
}

bool NetInterface::getIpv6Address(InetAddress &address, const char *ifname) {
    FILE *stream = netKernel().openStream(sysPath(IfInet6).c_str());
    if (stream == nullptr) return false;
    bool found = readInet6(stream, address, nullptr, ifname);
    std::fclose(stream);
    return found;
}

bool NetInterface::setIpv6Autoconf(bool on, const char *ifname) {
    const char *value = on ? "1" : "0";
    for (const char *file : {"autoconf", "accept_ra"}) {
        char path[64];
        int n = std::snprintf(path, sizeof path, "/proc/sys/net/ipv6/conf/%s/%s", nameOr(ifname), file);
        if (n > 0 && n < static_cast<int>(sizeof path)) writeProc(path, value);
    }
    return true;
}

bool NetInterface::setIpv6Address(bool add, const InetAddress &address, int prefix, const char *ifname) {
    if (!address.isV6() || !address.isSet() || prefix < 0 || prefix > 128) return false;
    const char *target = nameOr(ifname);

    // Nothing to do when the interface already is as asked.
    bool present = false;
    if (FILE *stream = netKernel().openStream(sysPath(IfInet6).c_str())) {
        char line[256];
        Inet6Line entry;
        while (!present && readLine(stream, line, sizeof line) && parseInet6Line(line, entry))
            present = std::strcmp(entry.ifName, target) == 0 &&
                      std::memcmp(entry.address, address.ipv6Bytes(), 16) == 0;
        std::fclose(stream);
    }
    if (present == add) return true;

    unsigned index = netKernel().ifIndex(target);
    if (index == 0) return false;
    Inet6IfReq request{};
    std::memcpy(&request.address, address.ipv6Bytes(), 16);
    request.prefixLength = static_cast<uint32_t>(prefix);
    request.ifIndex = static_cast<int>(index);
    int fd = netKernel().socket(AF_INET6, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    int rc = netKernel().ioctl(fd, add ? SIOCSIFADDR : SIOCDIFADDR, &request);
    netKernel().close(fd);
    if (rc < 0) return false;
    Task::postAll(TaskMsg{0, MsgAddressChanged, 0, 0});
    return true;
}

bool NetInterface::setIpv6Route(bool add, const InetAddress &router, int prefix, const char *ifname) {
    if (!router.isV6() || !router.isSet() || prefix < 0 || prefix > 128) return false;
    unsigned index = netKernel().ifIndex(nameOr(ifname));
    if (index == 0) return false;
    in6_addr gateway;
    std::memcpy(&gateway, router.ipv6Bytes(), 16);
    in6_addr any{};
    const int ifIndex = static_cast<int>(index);

    // The router is reached on the link through its prefix (a host route when the
    // prefix is 128); every destination beyond goes through it.
    if (add) {
        if (prefix > 0)
            routeRequest(SIOCADDRT, gateway, prefix, nullptr, RTF_UP | (prefix == 128 ? RTF_HOST : 0),
                         ifIndex);
        int err = routeRequest(SIOCADDRT, any, 0, &gateway, RTF_UP | RTF_GATEWAY, ifIndex);
        return err == 0 || err == EEXIST;
    }
    int err = routeRequest(SIOCDELRT, any, 0, &gateway, RTF_UP | RTF_GATEWAY, ifIndex);
    bool gone = err == 0 || err == ESRCH;
    if (prefix > 0) {
        err = routeRequest(SIOCDELRT, gateway, prefix, nullptr, RTF_UP | (prefix == 128 ? RTF_HOST : 0),
                           ifIndex);
        gone = gone && (err == 0 || err == ESRCH);
    }
    return gone;
}

bool NetInterface::enableIpv6(bool on) {
    int result = 0;
    if (on) result = writeProc("/proc/sys/net/ipv6/conf/all/disable_ipv6", "0");
    // Autoconfiguration only while it is wanted: a static set-up takes no router
    // advertisements.
    setIpv6Autoconf(on && p_ipv6_auto->isOn());
    if (p_ipv6_auto->isOff() && p_ipv6_addr->hasValue()) {
        InetAddress address = p_ipv6_addr->address();
        int prefix = p_ipv6_pfxlen->value();
        if (address.isSet()) {
            setIpv6Address(on, address, prefix);
            InetAddress router = p_ipv6_router->address();
            if (router.isSet()) setIpv6Route(on, router, prefix);
        }
    }
    if (!on) {
        result = writeProc("/proc/sys/net/ipv6/conf/all/disable_ipv6", "1");
        writeProc("/proc/sys/net/ipv6/bindv6only", "1");
    } else {
        writeProc("/proc/sys/net/ipv6/bindv6only", "0");
    }
    return result == 0;
}

bool list_ipv6_routes(const char *ifname, PageVariables &context) {
    const char *wanted = ifname ? ifname : mainInterface().name();
    FILE *stream = netKernel().openStream(sysPath(Ipv6Route).c_str());
    if (stream == nullptr) return false;
    int n = 0;
    char line[256];
    char name[32];
    char value[64];
    Ipv6RouteLine route;
    while (readLine(stream, line, sizeof line) && parseIpv6RouteLine(line, route)) {
        if (route.destinationLength == 128 || std::strcmp(route.device, wanted) != 0) continue;
        InetAddress destination, nextHop;
        // Both must read before anything is set: a variable once set stays first.
        if (!destination.parse(route.destination) || !nextHop.parse(route.nextHop)) continue;
        std::snprintf(name, sizeof name, "Net6_%d", n);
        context.setVar(name, destination.toText());
        std::snprintf(name, sizeof name, "Router6_%d", n);
        context.setVar(name, nextHop.toText());
        std::snprintf(name, sizeof name, "PLen6_%d", n);
        std::snprintf(value, sizeof value, "%d", static_cast<int>(route.destinationLength));
        context.setVar(name, value);
        n++;
    }
    std::fclose(stream);
    std::snprintf(value, sizeof value, "%d", n);
    for (const char *prefix : {"Net6_", "Router6_", "PLen6_"}) {
        std::snprintf(name, sizeof name, "%s%c", prefix, '#');
        context.setVar(name, value);
    }
    return true;
}
