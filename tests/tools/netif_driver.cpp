// Runs NetInterface operations given on the command line against the kernel of the
// calling network namespace, with the simulated platform's VLAN and PHY calls: the
// system tests run it inside a namespace and check the result with `ip`. One line of
// output per operation: "<operation>: <result>".
//
//   netif_driver [-i IFNAME] OP ARGS... [OP ARGS...]...
//   up | down | addr A | mask PREFIX | gw GATEWAY [DEV] | multi GROUP [VLAN]
//   vlan INDEX ADDRESS PREFIX ROUTER VLANID | unvlan INDEX | getaddr [VLAN] | getaddr6
//   carrier | link MODE | mii PHY | set PARAM VALUE | ipv6 on|off
//   addr6 ADDRESS PREFIX | deladdr6 ADDRESS PREFIX | route6 ROUTER PREFIX | delroute6 ROUTER PREFIX
//   run COMMAND (a shell command between operations, to look at the state there)
#include "core/platform.h"
#include "core/ptable.h"
#include "net/netif.h"
#include "sim/sim_platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char *yes(bool ok) {
    return ok ? "ok" : "fail";
}

InetAddress address(const char *text) {
    InetAddress a = InetAddress::fromText(text);
    return a;
}

} // namespace

int main(int argc, char **argv) {
    setPlatform(simPlatform());
    ptable();
    NetInterface &iface = wiredInterface();
    int i = 1;
    if (argc > 2 && std::strcmp(argv[1], "-i") == 0) {
        iface.setName(argv[2]);
        i = 3;
    } else {
        iface.setName("eth0");
    }
    if (!iface.openSocket()) {
        std::perror("socket");
        return 1;
    }
    auto need = [&](int n) {
        if (i + n >= argc) {
            std::fprintf(stderr, "%s: missing arguments\n", argv[i]);
            std::exit(2);
        }
    };
    for (; i < argc; i++) {
        const char *op = argv[i];
        if (!std::strcmp(op, "up")) {
            std::printf("up: %s\n", yes(iface.up()));
        } else if (!std::strcmp(op, "down")) {
            std::printf("down: %s\n", yes(iface.down()));
        } else if (!std::strcmp(op, "addr")) {
            need(1);
            std::printf("addr: %s\n", yes(iface.setAddress(address(argv[++i]))));
        } else if (!std::strcmp(op, "mask")) {
            need(1);
            std::printf("mask: %s\n", yes(iface.setNetmask(std::atoi(argv[++i]))));
        } else if (!std::strcmp(op, "gw")) {
            need(1);
            const char *gw = argv[++i];
            // A device argument names the interface or one of its sub-interfaces.
            const char *dev = nullptr;
            if (i + 1 < argc && std::strncmp(argv[i + 1], iface.name(), std::strlen(iface.name())) == 0)
                dev = argv[++i];
            std::printf("gw: %s\n", yes(iface.addRoute(0, address(gw).ipv4(), 0, dev)));
        } else if (!std::strcmp(op, "multi")) {
            need(1);
            InetAddress group = address(argv[++i]);
            int vlan = -1;
            if (i + 1 < argc && std::strspn(argv[i + 1], "0123456789") == std::strlen(argv[i + 1]))
                vlan = std::atoi(argv[++i]);
            std::printf("multi: %s\n", yes(iface.addMulticast(group, vlan)));
        } else if (!std::strcmp(op, "vlan")) {
            need(5);
            int index = std::atoi(argv[i + 1]);
            InetAddress a = address(argv[i + 2]);
            int prefix = std::atoi(argv[i + 3]);
            InetAddress router = std::strcmp(argv[i + 4], "-") ? address(argv[i + 4]) : InetAddress();
            int id = std::atoi(argv[i + 5]);
            i += 5;
            std::printf("vlan: %s\n", yes(iface.setupVlan(index, a, prefix, router, id)));
        } else if (!std::strcmp(op, "unvlan")) {
            need(1);
            std::printf("unvlan: %s\n", yes(iface.removeVlan(std::atoi(argv[++i]))));
        } else if (!std::strcmp(op, "getaddr")) {
            int vlan = -1;
            if (i + 1 < argc && std::strspn(argv[i + 1], "0123456789") == std::strlen(argv[i + 1]))
                vlan = std::atoi(argv[++i]);
            InetAddress a = InetAddress::fromIpv4(0);
            bool ok = iface.getAddress(a, vlan);
            std::printf("getaddr: %s %s\n", yes(ok), a.toText());
        } else if (!std::strcmp(op, "getaddr6")) {
            InetAddress a;
            a.reset(true);
            bool ok = iface.getAddress(a);
            std::printf("getaddr6: %s %s %u\n", yes(ok), a.toText(), a.scopeId());
        } else if (!std::strcmp(op, "carrier")) {
            int flags = 0;
            bool ok = iface.getCarrier(&flags);
            std::printf("carrier: %s 0x%02x\n", yes(ok), flags);
        } else if (!std::strcmp(op, "link")) {
            need(1);
            char text[128];
            int n = iface.describeLink(std::atoi(argv[++i]), text, sizeof text);
            std::printf("link: %d %s\n", n, n > 0 ? text : "");
        } else if (!std::strcmp(op, "mii")) {
            need(1);
            int speed = 0;
            bool full = false;
            bool ok = iface.getMiiLink(std::atoi(argv[++i]), speed, full);
            std::printf("mii: %s %d %s\n", yes(ok), speed, full ? "full" : "half");
        } else if (!std::strcmp(op, "set")) {
            need(2);
            Param *p = ptable().find(argv[i + 1]);
            bool ok = p && p->setText(argv[i + 2], -1);
            i += 2;
            std::printf("set: %s\n", yes(ok));
        } else if (!std::strcmp(op, "ipv6")) {
            need(1);
            std::printf("ipv6: %s\n", yes(iface.enableIpv6(std::strcmp(argv[++i], "on") == 0)));
        } else if (!std::strcmp(op, "addr6") || !std::strcmp(op, "deladdr6")) {
            need(2);
            bool ok = iface.setIpv6Address(op[0] == 'a', address(argv[i + 1]), std::atoi(argv[i + 2]));
            i += 2;
            std::printf("%s: %s\n", op, yes(ok));
        } else if (!std::strcmp(op, "route6") || !std::strcmp(op, "delroute6")) {
            need(2);
            bool ok = iface.setIpv6Route(op[0] == 'r', address(argv[i + 1]), std::atoi(argv[i + 2]));
            i += 2;
            std::printf("%s: %s\n", op, yes(ok));
        } else if (!std::strcmp(op, "run")) {
            need(1);
            std::fflush(stdout);
            int rc = std::system(argv[++i]);
            std::printf("run: %d\n", rc);
        } else {
            std::fprintf(stderr, "unknown operation %s\n", op);
            return 2;
        }
        std::fflush(stdout);
    }
    return 0;
}
