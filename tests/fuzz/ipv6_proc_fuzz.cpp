// The readers of the kernel's IPv6 tables ("/proc/net/if_inet6", "/proc/net/ipv6_route")
// must stay within their buffers whatever the lines hold.
#include "net/ipv6.h"
#include "net/netif.h"
#include "net/netif_internal.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

// Serves the input as every table file.
class InputKernel : public NetKernel {
public:
    std::string text;
    FILE *openStream(const char *) override { return fmemopen(text.data(), text.size(), "r"); }
};

class Sink : public PageVariables {
public:
    void setVar(const char *, const char *) override {}
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    Inet6Line address;
    Ipv6RouteLine route;
    parseInet6Line(text.c_str(), address);
    parseIpv6RouteLine(text.c_str(), route);

    static InputKernel kernel;
    kernel.text = text.empty() ? std::string("\n") : text;
    setNetKernel(&kernel);
    static NetInterface iface;
    iface.setName("eth0");
    InetAddress a;
    a.reset(true);
    iface.getIpv6Address(a);
    Sink sink;
    list_ipv6_routes("eth0", sink);
    setNetKernel(nullptr);
    return 0;
}
