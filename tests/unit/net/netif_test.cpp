#include "net/netif.h"

#include "core/ptable.h"
#include "core/ptable_hooks.h"
#include "fake_kernel.h"
#include "param_catalogue.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using namespace nettest;

namespace {

uint32_t v4(const char *text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

class NetifTest : public ::testing::Test {
protected:
    void SetUp() override {
        ptable();
        savedMask = p_ip_mask->address();
        iface.setName("eth0");
        ASSERT_TRUE(iface.openSocket());
    }
    void TearDown() override { p_ip_mask->set(savedMask); }

    Fakes fakes;
    FakeKernel &kernel = fakes.kernel;
    NetInterface iface;
    InetAddress savedMask;
};

TEST_F(NetifTest, SubInterfaceNames) {
    struct Case {
        const char *base;
        int vlanId, alias;
        const char *name;
    } cases[] = {
        {"eth0", 7, -1, "eth0.7"},
        {"eth0", 7, 0, "eth0.7:0"},
        {"eth0", -1, 2, "eth0:2"},
        {"eth0", 0, -1, "eth0.0"},
        {"eth0", 4096, 99, "eth0.4096:99"},
        {"eth0", 4097, -1, "eth0"},
        {"eth0", 7, 100, "eth0.7"},
        {"abcdefghijklmno", 4096, 99, "abcdefghijklmno"},
        {"abcdefghijkl", 4096, -1, "abcdefghijkl.40"},
    };
    for (const auto &c : cases) {
        NetInterface n;
        n.setName(c.base);
        char buffer[IfNameSize];
        int len = n.makeName(buffer, c.vlanId, c.alias);
        EXPECT_STREQ(buffer, c.name) << c.vlanId << " " << c.alias;
        EXPECT_EQ(len, static_cast<int>(strlen(c.name)));
    }
}

TEST_F(NetifTest, NetmaskOfEveryPrefixUpToThirtyTwo) {
    struct Case {
        int prefix;
        bool ok;
        const char *mask;
    } cases[] = {{0, true, "0.0.0.0"},          {8, true, "255.0.0.0"},        {24, true, "255.255.255.0"},
                 {31, true, "255.255.255.254"}, {32, true, "255.255.255.255"}, {33, false, nullptr},
                 {-1, false, nullptr}};
    for (const auto &c : cases) {
        kernel.log.clear();
        p_ip_mask->set(InetAddress::fromOctets(1, 2, 3, 4));
        EXPECT_EQ(iface.setNetmask(c.prefix), c.ok) << c.prefix;
        if (c.ok) {
            ASSERT_EQ(kernel.lines("netmask").size(), 1u);
            EXPECT_EQ(kernel.lines("netmask")[0], std::string("netmask eth0 ") + c.mask);
            EXPECT_STREQ(p_ip_mask->address().toText(), c.mask);
        } else {
            EXPECT_TRUE(kernel.log.empty());
            EXPECT_STREQ(p_ip_mask->address().toText(), "1.2.3.4");
        }
    }
    // A sub-interface gets its mask; the base interface's mask stays what it is.
    p_ip_mask->set(InetAddress::fromOctets(255, 255, 255, 0));
    EXPECT_TRUE(iface.setNetmask(16, "eth0.7"));
    EXPECT_EQ(kernel.lines("netmask").back(), "netmask eth0.7 255.255.0.0");
    EXPECT_STREQ(p_ip_mask->address().toText(), "255.255.255.0");

    kernel.failing.insert(SIOCSIFNETMASK);
    EXPECT_FALSE(iface.setNetmask(24));
}

TEST_F(NetifTest, SettingAnAddressTellsEveryTaskOnlyWhenAnAddressWasReplaced) {
    Listener a, b;
    int ledRefreshes = 0;
    static int *counter;
    counter = &ledRefreshes;
    ptableHooks().updateStatusLed = [] { ++*counter; };

    // The first address of an interface: set, nothing was bound to the interface before.
    EXPECT_TRUE(iface.setAddress(InetAddress::fromOctets(198, 18, 0, 1)));
    EXPECT_EQ(kernel.ipv4["eth0"], v4("198.18.0.1"));
    EXPECT_TRUE(a.drain().empty());
    EXPECT_EQ(ledRefreshes, 1);

    // The same address again: the interface is not touched.
    kernel.log.clear();
    EXPECT_TRUE(iface.setAddress(InetAddress::fromOctets(198, 18, 0, 1)));
    EXPECT_TRUE(kernel.lines("setaddr").empty());
    EXPECT_TRUE(a.drain().empty());

    // Another address: every task hears of it, the message as it stands.
    EXPECT_TRUE(iface.setAddress(InetAddress::fromOctets(198, 18, 0, 9)));
    EXPECT_EQ(kernel.lines("setaddr"), std::vector<std::string>{"setaddr eth0 198.18.0.9"});
    for (Listener *l : {&a, &b}) {
        auto got = l->drain();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].task, l->taskNumber);
        EXPECT_EQ(got[0].flags, MsgAddressChanged);
        EXPECT_EQ(got[0].arg1, 0u);
        EXPECT_EQ(got[0].arg2, 0u);
    }

    // A refused address is a failure, and nobody is told of a change that did not happen.
    kernel.failing.insert(SIOCSIFADDR);
    EXPECT_FALSE(iface.setAddress(InetAddress::fromOctets(198, 18, 0, 7)));
    EXPECT_TRUE(a.drain().empty());
    EXPECT_FALSE(iface.setAddress(InetAddress::fromText("2001:db8::1")));
    ptableHooks().updateStatusLed = nullptr;
}

TEST_F(NetifTest, AddressReadsOfBaseAndVlan) {
    kernel.ipv4["eth0"] = v4("198.18.0.1");
    kernel.ipv4["eth0.7"] = v4("10.7.0.1");
    InetAddress a = InetAddress::fromIpv4(0);
    EXPECT_TRUE(iface.getAddress(a));
    EXPECT_STREQ(a.toText(), "198.18.0.1");
    EXPECT_TRUE(iface.getAddress(a, 7));
    EXPECT_STREQ(a.toText(), "10.7.0.1");
    // A failed read leaves the address as it was.
    EXPECT_FALSE(iface.getAddress(a, 8));
    EXPECT_STREQ(a.toText(), "10.7.0.1");
    // An interface without an address.
    kernel.ipv4["eth0.7"] = 0;
    EXPECT_FALSE(iface.getAddress(a, 7));
}

TEST_F(NetifTest, FlagsUpDownAndArpIgnore) {
    kernel.flags["eth0"] = 0;
    EXPECT_FALSE(iface.isUp());
    EXPECT_TRUE(iface.up());
    EXPECT_EQ(kernel.log, (std::vector<std::string>{"write /proc/sys/net/ipv4/conf/all/arp_ignore=1",
                                                    "write /proc/sys/net/ipv4/conf/default/arp_ignore=1",
                                                    "flags eth0 0x1043"}));
    EXPECT_TRUE(iface.isUp(nullptr, true));
    EXPECT_TRUE(iface.isRunning());
    EXPECT_TRUE(iface.down());
    EXPECT_EQ(kernel.log.back(), "flags eth0 0x1042");
    EXPECT_FALSE(iface.isUp());
    // Unknown interfaces and a closed socket read as down.
    EXPECT_FALSE(iface.down("eth9"));
    NetInterface closed;
    closed.setName("eth0");
    uint16_t flags = 0;
    EXPECT_FALSE(closed.getFlags(flags));
    // Names that would leave the configuration directory are refused.
    EXPECT_NE(NetInterface::setArpIgnore("../../x"), 0);
    EXPECT_NE(NetInterface::setArpIgnore("a-name-far-too-long-for-the-path-of-sixty-four"), 0);
    EXPECT_EQ(NetInterface::setArpIgnore("eth0"), 0);
}

TEST_F(NetifTest, RoutesAndMulticast) {
    EXPECT_TRUE(iface.addRoute(0, v4("198.18.0.254"), 0));
    EXPECT_TRUE(iface.addRoute(0, 0, 0, "eth0.7"));
    EXPECT_TRUE(iface.addRoute(0, v4("10.0.0.254"), 0, "eth0:1"));
    EXPECT_TRUE(iface.deleteDefaultRoute(v4("198.18.0.254")));
    EXPECT_EQ(kernel.log, (std::vector<std::string>{
                              "addroute 0.0.0.0/0.0.0.0 via 198.18.0.254 dev eth0 metric 0 flags 0x3",
                              "addroute 0.0.0.0/0.0.0.0 via 0.0.0.0 dev eth0.7 metric 6 flags 0x1",
                              "addroute 0.0.0.0/0.0.0.0 via 10.0.0.254 dev eth0:1 metric 6 flags 0x3",
                              "delroute 0.0.0.0/0.0.0.0 via 198.18.0.254 dev eth0 metric 0 flags 0x3",
                          }));
    kernel.log.clear();
    EXPECT_TRUE(iface.addMulticast(InetAddress::fromOctets(224, 0, 0, 251)));
    EXPECT_TRUE(iface.addMulticast(InetAddress::fromOctets(239, 255, 255, 250), 7));
    EXPECT_FALSE(iface.addMulticast(InetAddress::fromText("ff02::fb")));
    EXPECT_EQ(kernel.log, (std::vector<std::string>{"multi eth0 fam0 01:00:5e:00:00:fb",
                                                    "multi eth0.7 fam0 01:00:5e:7f:ff:fa"}));
    uint8_t mac[6];
    EXPECT_TRUE(iface.getMacAddress(mac));
    EXPECT_EQ(mac[5], 0x03);
}

TEST_F(NetifTest, VlanEntriesNameTheirSubInterfacesAndAliases) {
    InetAddress none;
    InetAddress router = InetAddress::fromOctets(10, 10, 0, 254);
    // index 0 and 1: VLAN 10 twice; index 2 and 3: untagged.
    EXPECT_TRUE(iface.setupVlan(0, InetAddress::fromOctets(10, 10, 0, 1), 24, router, 10));
    EXPECT_EQ(kernel.log, (std::vector<std::string>{
                              "vlanadd eth0 10",
                              "write /proc/sys/net/ipv4/conf/all/arp_ignore=1",
                              "write /proc/sys/net/ipv4/conf/default/arp_ignore=1",
                              "flags eth0.10 0x1043",
                              "setaddr eth0.10 10.10.0.1",
                              "netmask eth0.10 255.255.255.0",
                              "addroute 0.0.0.0/0.0.0.0 via 10.10.0.254 dev eth0.10 metric 6 flags 0x3",
                          }));
    kernel.log.clear();
    EXPECT_TRUE(iface.setupVlan(1, InetAddress::fromOctets(10, 10, 1, 1), 24, none, 10));
    EXPECT_TRUE(kernel.lines("vlanadd").empty());
    EXPECT_EQ(kernel.lines("setaddr"), std::vector<std::string>{"setaddr eth0.10:0 10.10.1.1"});
    // No router: no default route through the sub-interface.
    EXPECT_TRUE(kernel.lines("addroute").empty());
    EXPECT_TRUE(iface.setupVlan(2, InetAddress::fromOctets(10, 20, 0, 1), 16, none, -1));
    EXPECT_TRUE(iface.setupVlan(3, InetAddress::fromOctets(10, 30, 0, 1), 16, none, -1));
    EXPECT_EQ(kernel.lines("setaddr").back(), "setaddr eth0:1 10.30.0.1");
    EXPECT_EQ(iface.entry(2).alias, 0);
    EXPECT_EQ(iface.entry(3).alias, 1);
    EXPECT_EQ(iface.entry(1).alias, 0);

    // The same values again: nothing to do, nothing touched.
    kernel.log.clear();
    EXPECT_FALSE(iface.setupVlan(0, InetAddress::fromOctets(10, 10, 0, 1), 24, router, 10));
    EXPECT_FALSE(iface.setupVlan(2, InetAddress::fromOctets(10, 20, 0, 1), 16, none, -1));
    EXPECT_TRUE(kernel.log.empty());

    // Removing: the VLAN device only for a tagged entry without alias; aliases go down.
    kernel.log.clear();
    EXPECT_TRUE(iface.removeVlan(3));
    EXPECT_TRUE(iface.setupVlan(3, InetAddress::fromOctets(10, 30, 0, 1), 16, none, -1));
    EXPECT_TRUE(kernel.lines("vlandel").empty());
    EXPECT_EQ(kernel.lines("flags"), (std::vector<std::string>{"flags eth0:1 0x1042"}));
    EXPECT_EQ(kernel.lines("setaddr").back(), "setaddr eth0:1 10.30.0.1");
    // A freed alias number is taken again before a new one.
    EXPECT_TRUE(iface.removeVlan(2));
    EXPECT_TRUE(iface.setupVlan(4, InetAddress::fromOctets(10, 40, 0, 1), 16, none, -1));
    EXPECT_EQ(iface.entry(4).alias, 0);
    EXPECT_FALSE(iface.removeVlan(2));

    // Only the router changes: the VLAN device is made again, and the alias of the same
    // VLAN, which went with the old device, is free to be set up again.
    kernel.log.clear();
    EXPECT_TRUE(iface.setupVlan(0, InetAddress::fromOctets(10, 10, 0, 1), 24,
                                InetAddress::fromOctets(10, 10, 0, 253), 10));
    EXPECT_EQ(kernel.lines("vlan"), (std::vector<std::string>{"vlandel eth0.10", "vlanadd eth0 10"}));
    EXPECT_EQ(iface.entry(0).alias, -1);
    EXPECT_EQ(iface.entry(1).prefix, -1);
    EXPECT_TRUE(iface.setupVlan(1, InetAddress::fromOctets(10, 10, 1, 1), 24, none, 10));
    EXPECT_EQ(kernel.lines("setaddr").back(), "setaddr eth0.10:0 10.10.1.1");

    // Removing the owner while its alias is in use, then setting the alias up alone:
    // the alias entry now owns a new VLAN device.
    EXPECT_TRUE(iface.removeVlan(0));
    EXPECT_EQ(iface.entry(1).prefix, -1);
    kernel.log.clear();
    EXPECT_TRUE(iface.setupVlan(1, InetAddress::fromOctets(10, 10, 1, 1), 24, none, 10));
    EXPECT_EQ(kernel.lines("vlanadd"), std::vector<std::string>{"vlanadd eth0 10"});
    EXPECT_EQ(kernel.lines("setaddr").back(), "setaddr eth0.10 10.10.1.1");
    iface.removeAllVlans();
    EXPECT_EQ(kernel.lines("vlandel"), std::vector<std::string>{"vlandel eth0.10"});
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(iface.entry(i).prefix, -1);
    EXPECT_EQ(iface.entry(0).prefix, -1);
}

// The fakes behind one lock, for calls from several threads at once.
class LockedKernel : public FakeKernel {
public:
    std::mutex m;
    int socket(int family, int type, int protocol) override {
        std::lock_guard<std::mutex> g(m);
        return FakeKernel::socket(family, type, protocol);
    }
    int ioctl(int fd, unsigned long request, void *arg) override {
        std::lock_guard<std::mutex> g(m);
        return FakeKernel::ioctl(fd, request, arg);
    }
    unsigned ifIndex(const char *name) override {
        std::lock_guard<std::mutex> g(m);
        return FakeKernel::ifIndex(name);
    }
    int writeFile(const char *path, const char *text) override {
        std::lock_guard<std::mutex> g(m);
        return FakeKernel::writeFile(path, text);
    }
    ssize_t readFile(const char *path, char *buffer, size_t size) override {
        std::lock_guard<std::mutex> g(m);
        return FakeKernel::readFile(path, buffer, size);
    }
    FILE *openStream(const char *path) override {
        std::lock_guard<std::mutex> g(m);
        return FakeKernel::openStream(path);
    }
};

class LockedPlatform : public FakePlatform {
public:
    explicit LockedPlatform(LockedKernel &k) : locked(k) { kernel = &k; }
    int vlanAdd(const char *ifname, int vlanId) override {
        std::lock_guard<std::mutex> g(locked.m);
        return FakePlatform::vlanAdd(ifname, vlanId);
    }
    int vlanDel(const char *name) override {
        std::lock_guard<std::mutex> g(locked.m);
        return FakePlatform::vlanDel(name);
    }
    LockedKernel &locked;
};

// Untagged entries set up at the same moment on several threads, while another thread
// looks entries up: every entry gets an alias number of its own.
TEST_F(NetifTest, ConcurrentVlanSetUpsTakeDistinctAliases) {
    LockedKernel locked;
    locked.indexes = kernel.indexes;
    locked.flags = kernel.flags;
    locked.productRecord = kernel.productRecord;
    LockedPlatform board(locked);
    setNetKernel(&locked);
    setPlatform(board);

    constexpr int Threads = 4; // entries 1 to 4 of the product's five
    const InetAddress none;
    auto addressOf = [](int index) {
        return InetAddress::fromOctets(10, static_cast<uint8_t>(50 + index), 0, 1);
    };
    std::atomic<bool> done{false};
    std::atomic<int> strangeLookups{0};
    std::thread lookups([&] {
        for (; !done.load(); std::this_thread::yield())
            for (int i = 1; i <= Threads; i++) {
                VlanEntry e = iface.entry(i);
                if (e.prefix >= 0 && (e.prefix != 16 || !e.address.equals(addressOf(i)) || e.vlanId != -1))
                    ++strangeLookups;
            }
    });
    // Workers that set their entry up each time the round number moves on.
    constexpr int Rounds = 1000;
    std::atomic<int> round{0};
    std::atomic<int> finished{0};
    std::vector<std::thread> workers;
    for (int t = 1; t <= Threads; t++)
        workers.emplace_back([&, t] {
            for (int seen = 0; seen < Rounds; seen++) {
                while (round.load() == seen)
                    std::this_thread::yield();
                iface.setupVlan(t, addressOf(t), 16, none, -1);
                ++finished;
            }
        });
    int clashes = 0;
    for (int r = 1; r <= Rounds; r++) {
        finished = 0;
        round = r;
        while (finished.load() < Threads)
            std::this_thread::yield();
        std::set<int> aliases;
        for (int t = 1; t <= Threads; t++)
            aliases.insert(iface.entry(t).alias);
        if (aliases != std::set<int>{0, 1, 2, 3}) ++clashes;
        iface.removeAllVlans();
    }
    for (std::thread &w : workers)
        w.join();
    done = true;
    lookups.join();
    setNetKernel(&kernel);
    setPlatform(fakes.board);
    EXPECT_EQ(clashes, 0) << "rounds in which two entries took the same alias";
    EXPECT_EQ(strangeLookups.load(), 0);
}

TEST_F(NetifTest, VlanIndexesFollowTheProductAndRefusedDevicesLeaveTheEntryFree) {
    InetAddress none;
    InetAddress a = InetAddress::fromOctets(10, 0, 0, 1);
    // Four USB ports: IP VLANs 1 to 5, entries 0 to 4.
    EXPECT_FALSE(iface.setupVlan(5, a, 24, none, 5));
    EXPECT_FALSE(iface.setupVlan(-1, a, 24, none, 5));
    EXPECT_FALSE(iface.removeVlan(5));
    // A product that claims more ports than the table holds uses 21 entries.
    kernel.productRecord.usbPorts = 64;
    EXPECT_FALSE(iface.setupVlan(21, a, 24, none, 5));
    EXPECT_TRUE(iface.setupVlan(20, a, 24, none, 5));
    EXPECT_FALSE(iface.addVlan(4097));
    EXPECT_FALSE(iface.addVlan(-1));
    EXPECT_EQ(kernel.lines("vlanadd eth0 4097").size(), 0u);

    // The VLAN device cannot be made: nothing is configured and the next try retries.
    fakes.board.vlanErrno = EEXIST;
    kernel.log.clear();
    EXPECT_FALSE(iface.setupVlan(1, a, 24, none, 9));
    EXPECT_TRUE(kernel.lines("setaddr").empty());
    EXPECT_EQ(iface.entry(1).prefix, -1);
    fakes.board.vlanErrno = 0;
    EXPECT_TRUE(iface.setupVlan(1, a, 24, none, 9));
}

TEST_F(NetifTest, RestartCyclesTheInterfaceAndPutsTheGatewayBack) {
    InetAddress savedAddr = p_ip_addr->address(), savedRouter = p_ip_router->address();
    int savedIpv6 = p_ipv6->value(), savedFeatures = p_sw_features->value();
    p_ipv6->set(0);
    p_sw_features->set(0);

    p_ip_addr->set(InetAddress::fromOctets(198, 18, 0, 1));
    p_ip_router->set(InetAddress::fromOctets(198, 18, 0, 254));
    EXPECT_TRUE(iface.restart());
    ASSERT_GE(kernel.log.size(), 3u);
    EXPECT_EQ(kernel.log[0], "flags eth0 0x1042");
    EXPECT_EQ(kernel.log[1], "flags eth0 0x1043");
    EXPECT_EQ(kernel.log.back(), "addroute 0.0.0.0/0.0.0.0 via 198.18.0.254 dev eth0 metric 0 flags 0x3");

    // A ZeroConf address: the default route without gateway.
    kernel.log.clear();
    p_ip_addr->set(InetAddress::fromOctets(169, 254, 3, 4));
    kernel.ipv4["eth0"] = v4("169.254.3.4");
    EXPECT_TRUE(iface.restart());
    EXPECT_EQ(kernel.log.back(), "addroute 0.0.0.0/0.0.0.0 via 0.0.0.0 dev eth0 metric 0 flags 0x1");
    EXPECT_FALSE(p_ip_router->address().isSet());
    EXPECT_TRUE(iface.setLinkLocalRoute());
    kernel.ipv4["eth0"] = v4("198.18.0.1");
    EXPECT_FALSE(iface.setLinkLocalRoute());

    kernel.flags.erase("eth0");
    EXPECT_FALSE(iface.restart());

    p_ip_addr->set(savedAddr);
    p_ip_router->set(savedRouter);
    p_ipv6->set(savedIpv6);
    p_sw_features->set(savedFeatures);
}

} // namespace
