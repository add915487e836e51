#include "net/ipv6.h"

#include "core/ptable.h"
#include "fake_kernel.h"
#include "net/netif.h"
#include "param_catalogue.h"

#include <gtest/gtest.h>

using namespace nettest;

namespace {

const char *const IfInet6 = "/proc/net/if_inet6";
const char *const RouteFile = "/proc/net/ipv6_route";

// The kernel's lines: address, index, prefix, scope, flags, name.
const char *const LinkLocalLine = "fe800000000000000211223344556677 02 40 20 80     eth0\n";
const char *const GlobalLine = "20010db8000000000000000000000001 02 40 00 80     eth0\n";
const char *const OtherLine = "20010db8000000000000000000000099 03 40 00 80     eth1\n";
const char *const LoopbackLine = "00000000000000000000000000000001 01 80 10 80       lo\n";

class Ipv6Test : public ::testing::Test {
protected:
    void SetUp() override {
        ptable();
        iface.setName("eth0");
        saved[0] = p_ipv6_auto->value();
        saved[1] = p_ipv6_pfxlen->value();
        savedAddr = p_ipv6_addr->address();
        savedRouter = p_ipv6_router->address();
    }
    void TearDown() override {
        p_ipv6_auto->set(saved[0]);
        p_ipv6_pfxlen->set(saved[1]);
        p_ipv6_addr->set(savedAddr);
        p_ipv6_router->set(savedRouter);
    }

    Fakes fakes;
    FakeKernel &kernel = fakes.kernel;
    NetInterface iface;
    int saved[2];
    InetAddress savedAddr, savedRouter;
};

class Collect : public PageVariables {
public:
    void setVar(const char *name, const char *value) override { vars.emplace_back(name, value); }
    std::vector<std::pair<std::string, std::string>> vars;
};

TEST_F(Ipv6Test, AddressOfTheInterfacePrefersGlobalWhateverTheOrder) {
    struct Case {
        std::string file;
        const char *address;
        uint32_t scopeId;
    } cases[] = {
        {std::string(LinkLocalLine), "fe80::211:2233:4455:6677", 2},
        {std::string(LinkLocalLine) + GlobalLine, "2001:db8::1", 0},
        {std::string(GlobalLine) + LinkLocalLine, "2001:db8::1", 0},
        {std::string(OtherLine) + LoopbackLine + LinkLocalLine + OtherLine, "fe80::211:2233:4455:6677", 2},
        // A line that does not read ends the table.
        {std::string(LinkLocalLine) + "garbage\n" + GlobalLine, "fe80::211:2233:4455:6677", 2},
    };
    for (const auto &c : cases) {
        kernel.files[IfInet6] = c.file;
        InetAddress a;
        a.reset(true);
        ASSERT_TRUE(iface.getIpv6Address(a)) << c.file;
        EXPECT_STREQ(a.toText(), c.address) << c.file;
        EXPECT_EQ(a.scopeId(), c.scopeId) << c.file;
    }
    // getAddress with the family preset to IPv6 asks the same table.
    InetAddress a;
    a.reset(true);
    EXPECT_TRUE(iface.getAddress(a));
    kernel.files[IfInet6] = OtherLine;
    InetAddress none;
    none.reset(true);
    EXPECT_FALSE(iface.getIpv6Address(none));
    kernel.files.erase(IfInet6);
    EXPECT_FALSE(iface.getIpv6Address(none));
}

TEST_F(Ipv6Test, ReadingTheTableStreamByStream) {
    std::string table = std::string(LoopbackLine) + GlobalLine + LinkLocalLine;
    FILE *f = fmemopen(table.data(), table.size(), "r");
    InetAddress a;
    a.reset(true);
    a.setPort(9200);
    int prefix = 0, scope = -1;
    ASSERT_TRUE(iface.readInet6(f, a, &prefix, "lo", &scope));
    EXPECT_STREQ(a.toText(), "::1");
    EXPECT_EQ(a.port(), 9200);
    EXPECT_EQ(prefix, 128);
    EXPECT_EQ(scope, 0x10);
    rewind(f);
    ASSERT_TRUE(iface.readInet6(f, a, &prefix, nullptr, &scope));
    EXPECT_STREQ(a.toText(), "2001:db8::1");
    EXPECT_EQ(prefix, 64);
    EXPECT_EQ(scope, 0);
    // The next call goes on from there.
    ASSERT_TRUE(iface.readInet6(f, a, &prefix, nullptr, &scope));
    EXPECT_EQ(scope, 0x20);
    EXPECT_FALSE(iface.readInet6(f, a, &prefix));
    fclose(f);
    EXPECT_FALSE(iface.readInet6(nullptr, a, &prefix));
}

TEST_F(Ipv6Test, StaticAddressIsAddedOnceAndAnnounced) {
    Listener listener;
    kernel.files[IfInet6] = LinkLocalLine;
    InetAddress a = InetAddress::fromText("2001:db8::1");
    EXPECT_TRUE(iface.setIpv6Address(true, a, 64));
    EXPECT_EQ(kernel.log, std::vector<std::string>{"addaddr6 2001:db8::1/64 if2"});
    auto got = listener.drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].flags, MsgAddressChanged);

    // Already there: true, untouched, nobody told. Absent and removal asked: the same.
    kernel.log.clear();
    kernel.files[IfInet6] = std::string(LinkLocalLine) + GlobalLine;
    EXPECT_TRUE(iface.setIpv6Address(true, a, 64));
    EXPECT_TRUE(iface.setIpv6Address(false, InetAddress::fromText("2001:db8::2"), 64));
    EXPECT_TRUE(kernel.log.empty());
    EXPECT_TRUE(listener.drain().empty());
    EXPECT_TRUE(iface.setIpv6Address(false, a, 64));
    EXPECT_EQ(kernel.log, std::vector<std::string>{"deladdr6 2001:db8::1/64 if2"});
    EXPECT_EQ(listener.drain().size(), 1u);

    // Refused: no address, an IPv4 address, no such interface, a kernel refusal.
    kernel.log.clear();
    InetAddress zero;
    zero.reset(true);
    EXPECT_FALSE(iface.setIpv6Address(true, zero, 64));
    EXPECT_FALSE(iface.setIpv6Address(true, InetAddress::fromOctets(1, 2, 3, 4), 24));
    EXPECT_FALSE(iface.setIpv6Address(true, InetAddress::fromText("2001:db8::5"), 64, "eth9"));
    EXPECT_FALSE(iface.setIpv6Address(true, InetAddress::fromText("2001:db8::5"), 129));
    kernel.failing.insert(SIOCSIFADDR);
    EXPECT_FALSE(iface.setIpv6Address(true, InetAddress::fromText("2001:db8::5"), 64));
    EXPECT_TRUE(listener.drain().empty());
}

TEST_F(Ipv6Test, RouterBecomesTheDefaultRoute) {
    InetAddress router = InetAddress::fromText("2001:db8::fe");
    EXPECT_TRUE(iface.setIpv6Route(true, router, 64));
    EXPECT_TRUE(iface.setIpv6Route(true, router, 128));
    EXPECT_TRUE(iface.setIpv6Route(false, router, 64, "eth0.7"));
    EXPECT_EQ(kernel.log, (std::vector<std::string>{
                              "addroute6 2001:db8::fe/64 via :: metric 10 flags 0x1 if2",
                              "addroute6 ::/0 via 2001:db8::fe metric 10 flags 0x3 if2",
                              "addroute6 2001:db8::fe/128 via :: metric 10 flags 0x5 if2",
                              "addroute6 ::/0 via 2001:db8::fe metric 10 flags 0x3 if2",
                              "delroute6 ::/0 via 2001:db8::fe metric 10 flags 0x3 if5",
                              "delroute6 2001:db8::fe/64 via :: metric 10 flags 0x1 if5",
                          }));
    // A default route already there counts as done; other refusals do not.
    kernel.failing = {SIOCADDRT};
    kernel.errnoOf[SIOCADDRT] = EEXIST;
    EXPECT_TRUE(iface.setIpv6Route(true, router, 64));
    kernel.errnoOf[SIOCADDRT] = ENETUNREACH;
    EXPECT_FALSE(iface.setIpv6Route(true, router, 64));
    EXPECT_FALSE(iface.setIpv6Route(true, InetAddress::fromOctets(10, 0, 0, 1), 64));
    EXPECT_FALSE(iface.setIpv6Route(true, router, 64, "eth9"));
}

TEST_F(Ipv6Test, SwitchingOnAndOffWithAStaticConfiguration) {
    kernel.files[IfInet6] = LinkLocalLine;
    p_ipv6_auto->set(0);
    p_ipv6_addr->set(InetAddress::fromText("2001:db8::1"));
    p_ipv6_pfxlen->set(64);
    p_ipv6_router->set(InetAddress::fromText("2001:db8::fe"));
    EXPECT_TRUE(iface.enableIpv6(true));
    EXPECT_EQ(kernel.log, (std::vector<std::string>{
                              "write /proc/sys/net/ipv6/conf/all/disable_ipv6=0",
                              "write /proc/sys/net/ipv6/conf/eth0/autoconf=0",
                              "write /proc/sys/net/ipv6/conf/eth0/accept_ra=0",
                              "addaddr6 2001:db8::1/64 if2",
                              "addroute6 2001:db8::fe/64 via :: metric 10 flags 0x1 if2",
                              "addroute6 ::/0 via 2001:db8::fe metric 10 flags 0x3 if2",
                              "write /proc/sys/net/ipv6/bindv6only=0",
                          }));

    // Off: the address and its routes go before IPv6 is disabled.
    kernel.log.clear();
    kernel.files[IfInet6] = std::string(LinkLocalLine) + GlobalLine;
    EXPECT_TRUE(iface.enableIpv6(false));
    EXPECT_EQ(kernel.log, (std::vector<std::string>{
                              "write /proc/sys/net/ipv6/conf/eth0/autoconf=0",
                              "write /proc/sys/net/ipv6/conf/eth0/accept_ra=0",
                              "deladdr6 2001:db8::1/64 if2",
                              "delroute6 ::/0 via 2001:db8::fe metric 10 flags 0x3 if2",
                              "delroute6 2001:db8::fe/64 via :: metric 10 flags 0x1 if2",
                              "write /proc/sys/net/ipv6/conf/all/disable_ipv6=1",
                              "write /proc/sys/net/ipv6/bindv6only=1",
                          }));

    // Autoconfiguration: router advertisements, no static address.
    kernel.log.clear();
    p_ipv6_auto->set(1);
    EXPECT_TRUE(iface.enableIpv6(true));
    EXPECT_EQ(kernel.log, (std::vector<std::string>{
                              "write /proc/sys/net/ipv6/conf/all/disable_ipv6=0",
                              "write /proc/sys/net/ipv6/conf/eth0/autoconf=1",
                              "write /proc/sys/net/ipv6/conf/eth0/accept_ra=1",
                              "write /proc/sys/net/ipv6/bindv6only=0",
                          }));
    kernel.failingWrites.insert("/proc/sys/net/ipv6/conf/all/disable_ipv6");
    EXPECT_FALSE(iface.enableIpv6(true));
}

TEST_F(Ipv6Test, RouteListOfTheStatusPage) {
    kernel.files[RouteFile] =
        "20010db8000000000000000000000000 40 00000000000000000000000000000000 00 "
        "00000000000000000000000000000000 00000100 00000001 00000000 00000001     eth0\n"
        "20010db8000000000000000000000001 80 00000000000000000000000000000000 00 "
        "00000000000000000000000000000000 00000000 00000002 00000000 80200001     eth0\n"
        "fd000000000000000000000000000000 30 00000000000000000000000000000000 00 "
        "00000000000000000000000000000000 00000100 00000001 00000000 00000001     eth1\n"
        "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
        "20010db80000000000000000000000fe 0000000a 00000001 00000000 00000003     eth0\n";
    Collect page;
    EXPECT_TRUE(list_ipv6_routes("eth0", page));
    EXPECT_EQ(page.vars, (std::vector<std::pair<std::string, std::string>>{
                             {"Net6_0", "2001:db8::"},
                             {"Router6_0", "::"},
                             {"PLen6_0", "64"},
                             {"Net6_1", "::"},
                             {"Router6_1", "2001:db8::fe"},
                             {"PLen6_1", "0"},
                             {"Net6_#", "2"},
                             {"Router6_#", "2"},
                             {"PLen6_#", "2"},
                         }));
    kernel.files.erase(RouteFile);
    EXPECT_FALSE(list_ipv6_routes("eth0", page));
}

TEST(Ipv6Lines, ParsersAreBoundedAndRefuseGarbage) {
    Inet6Line l;
    EXPECT_TRUE(parseInet6Line(GlobalLine, l));
    EXPECT_EQ(l.prefixLength, 64u);
    EXPECT_STREQ(l.ifName, "eth0");
    std::string longName = "20010db8000000000000000000000001 02 40 00 80 " + std::string(100, 'n');
    ASSERT_TRUE(parseInet6Line(longName.c_str(), l));
    EXPECT_EQ(strlen(l.ifName), 15u);
    for (const char *bad : {"", "zz", "2001 02 40 00 80 eth0", "20010db8000000000000000000000001 02 40"})
        EXPECT_FALSE(parseInet6Line(bad, l)) << bad;
    Ipv6RouteLine r;
    EXPECT_FALSE(parseIpv6RouteLine("00 00", r));
    std::string longRoute = std::string(80, 'a') + " 40 x 00 b 1 2 3 4 eth0";
    EXPECT_FALSE(parseIpv6RouteLine(longRoute.c_str(), r));
}

} // namespace
