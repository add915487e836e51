// IPv6 configuration of NetInterface (its operations are declared in net/netif.h): the
// readers of the kernel's IPv6 tables, and the route list of the IPv6 status page.
#pragma once

#include <cstdint>

// One line of "/proc/net/if_inet6".
struct Inet6Line {
    uint8_t address[16] = {};
    unsigned ifIndex = 0;
    unsigned prefixLength = 0;
    unsigned scope = 0;
    char ifName[16] = {};
};
// True when all fields of the line were read.
bool parseInet6Line(const char *line, Inet6Line &out);

// One line of "/proc/net/ipv6_route".
struct Ipv6RouteLine {
    char destination[33] = {}; // 32 hexadecimal digits
    unsigned destinationLength = 0;
    unsigned sourceLength = 0;
    char nextHop[33] = {};
    unsigned metric = 0;
    unsigned refCount = 0;
    unsigned useCount = 0;
    unsigned flags = 0;
    char device[16] = {};
};
bool parseIpv6RouteLine(const char *line, Ipv6RouteLine &out);

// Where a page handler collects the variables of its template.
class PageVariables {
public:
    virtual ~PageVariables() = default;
    virtual void setVar(const char *name, const char *value) = 0;
};

// The IPv6 routes of the interface (null: the main interface) other than host routes:
// "Net6_"n, "Router6_"n and "PLen6_"n for n from 0, and the count under "Net6_#",
// "Router6_#" and "PLen6_#". False when the route table cannot be read.
bool list_ipv6_routes(const char *ifname, PageVariables &context);
