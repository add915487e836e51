// The IP set-up: the ZeroConf pick, the gratuitous ARP frame, the management VLAN id,
// and address, netmask, gateway and announcement on a dummy "eth0" inside a network
// namespace of a child process (so the host's interfaces are never touched).

#include "core/ptable.h"
#include "net/ipsetup.h"
#include "net/netif.h"

#include "param_catalogue.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

MacAddress mac(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t e, uint8_t f) {
    MacAddress m;
    const uint8_t bytes[6] = {a, b, c, d, e, f};
    m.assign(bytes);
    return m;
}

uint32_t ip(int a, int b, int c, int d) {
    return static_cast<uint32_t>(a) << 24 | static_cast<uint32_t>(b) << 16 | static_cast<uint32_t>(c) << 8 |
           static_cast<uint32_t>(d);
}

TEST(Zeroconf, PicksFollowTheHash) {
    // Worked by hand: the MAC bytes count as signed, all arithmetic wraps in 32 bits.
    struct Case {
        uint32_t previous;
        MacAddress mac;
        uint32_t pick;
    } cases[] = {
        {0, mac(0, 0, 0, 0, 0, 0), ip(169, 254, 222, 1)},
        {0, mac(0x12, 0x80, 0, 0, 0, 0), ip(169, 254, 41, 129)},
    };
    for (const Case &c : cases)
        EXPECT_EQ(zeroconfPick(c.previous, c.mac), c.pick) << std::hex << c.pick;
}

TEST(Zeroconf, PicksStayInsideTheUsableRangeAndMove) {
    std::set<uint32_t> seen;
    for (int m = 0; m < 64; ++m) {
        MacAddress a = mac(0x00, 0x80, static_cast<uint8_t>(0x91 + m), static_cast<uint8_t>(m * 37),
                           static_cast<uint8_t>(255 - m), static_cast<uint8_t>(m * 7));
        uint32_t previous = 0;
        for (int round = 0; round < 20; ++round) {
            uint32_t pick = zeroconfPick(previous, a);
            ASSERT_EQ(pick >> 16, 0xA9FEu);
            int x = (pick >> 8) & 0xFF, y = pick & 0xFF;
            ASSERT_GE(x, 1);
            ASSERT_LE(x, 253);
            ASSERT_GE(y, 1);
            ASSERT_LE(y, 253);
            seen.insert(pick);
            previous = pick;
        }
    }
    // Different appliances and later picks of one appliance land on different addresses.
    EXPECT_GT(seen.size(), 1000u);
    MacAddress one = mac(0x00, 0x80, 0x91, 0x12, 0x34, 0x56);
    uint32_t first = zeroconfPick(0, one);
    EXPECT_NE(zeroconfPick(first, one), first);
}

TEST(GratuitousArp, FrameAnnouncesTheAddress) {
    uint8_t frame[GratuitousArpSize];
    memset(frame, 0xAA, sizeof(frame));
    buildGratuitousArp(frame, mac(0x00, 0x80, 0x91, 0x01, 0x02, 0x03), htonl(ip(198, 18, 0, 5)));
    const uint8_t expected[GratuitousArpSize] = {
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00, 0x80, 0x91, 0x01, 0x02, 0x03, 0x08, 0x06, // Ethernet
        0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x02,                                     // ARP reply
        0x00, 0x80, 0x91, 0x01, 0x02, 0x03, 198,  18,   0,    5,                            // sender
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 198,  18,   0,    5,                            // target
    };
    EXPECT_EQ(memcmp(frame, expected, sizeof(frame)), 0);
}

TEST(MgmtVlan, IdOnlyForAnEnabledVlanInRange) {
    struct Case {
        const char *mgmt;
        int index;
        const char *vlanOn;
        int id;
    } cases[] = {
        {"off", 3, "on", -1},
        {"on", 0, "on", -1},
        {"on", 3, "off", -1},
        {"on", 3, "on", 103},
    };
    Param *vlanOn3 = ptable().find("ipvlan_on_3");
    ASSERT_NE(vlanOn3, nullptr);
    for (const Case &c : cases) {
        p_ipvlan_mgmt->setText(c.mgmt, -1);
        p_ipvlan_mgmt_idx->set(c.index);
        vlanOn3->setText(c.vlanOn, -1);
        EXPECT_EQ(getMgmtVlanId(), c.id) << c.mgmt << " " << c.index << " " << c.vlanOn;
    }
    // The parameter refuses 22: the id stays what it was.
    p_ipvlan_mgmt_idx->set(22);
    EXPECT_EQ(p_ipvlan_mgmt_idx->value(), 3);
    p_ipvlan_mgmt->setText("off", -1);
    p_ipvlan_mgmt_idx->set(0);
    vlanOn3->setText("off", -1);
    p_ipvlan_mgmt->clearChanged();
    p_ipvlan_mgmt_idx->clearChanged();
    vlanOn3->clearChanged();
}

// Runs the body in a child moved into its own network namespace with a veth "eth0";
// returns what the body wrote to its output, or "child failed".
std::string inNamespace(const std::function<std::string()> &body) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (unshare(CLONE_NEWNET) != 0) _exit(3);
        if (system(
                "ip link add eth0 type veth peer name peer0 && ip link set eth0 address 00:80:91:01:02:03 && "
                "ip link set peer0 up && "
                "ip link set eth0 up") != 0)
            _exit(4);
        std::string out = body();
        if (write(fds[1], out.data(), out.size()) != static_cast<ssize_t>(out.size())) _exit(5);
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char chunk[512];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof(chunk))) > 0)
        out.append(chunk, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed";
    return out;
}

std::string command(const char *line) {
    std::string out;
    FILE *p = popen(line, "r");
    if (!p) return "popen failed";
    char text[512];
    while (fgets(text, sizeof(text), p))
        out += text;
    pclose(p);
    return out;
}

class IpSetup : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
    }
};

TEST_F(IpSetup, AddressNetmaskAndGateway) {
    std::string out = inNamespace([] {
        NetInterface iface;
        iface.setName("eth0");
        if (!iface.openSocket()) return std::string("no socket");
        p_ip_pfxlen->set(20);
        std::string r;
        // A link-local address always gets prefix 24; another one that of "ip_pfxlen".
        r += InetAddress::fromText("169.254.7.9").setAsIfAddress(iface, "zconf", true) ? "1" : "0";
        r += command("ip -4 -o addr show dev eth0 | awk '{print $4}'");
        r += InetAddress::fromText("198.18.5.5").setAsIfAddress(iface, "dhcp", true) ? "1" : "0";
        r += command("ip -4 -o addr show dev eth0 | awk '{print $4}'");
        r += std::string(p_ip_addr->address().toText()) + " " + p_ip_setby->displayText() + "\n";
        r += InetAddress::fromText("2001:db8::1").setAsIfAddress(iface, nullptr, false) ? "1\n" : "0\n";
        // The gateway replaces the default route; an unset one leaves a route without.
        r += InetAddress::fromText("198.18.0.1").setAsGateway(iface, true) ? "1" : "0";
        r += command("ip -4 route show default");
        r += InetAddress::fromText("198.18.0.2").setAsGateway(iface, false) ? "1" : "0";
        r += command("ip -4 route show default");
        r += std::string(p_ip_router->address().toText()) + "\n";
        return r;
    });
    EXPECT_EQ(out, "1169.254.7.9/24\n"
                   "1198.18.5.5/20\n"
                   "198.18.5.5 DHCP\n"
                   "0\n"
                   "1default via 198.18.0.1 dev eth0 \n"
                   "1default via 198.18.0.2 dev eth0 \n"
                   "198.18.0.1\n");
}

TEST_F(IpSetup, ZeroconfUsesTheInterfaceMac) {
    std::string out = inNamespace([] {
        NetInterface iface;
        iface.setName("eth0");
        iface.openSocket();
        setLastZeroconfPick(0);
        InetAddress first, second;
        first.makeZeroconf(iface);
        second.makeZeroconf(iface);
        uint32_t expected1 = zeroconfPick(0, mac(0x00, 0x80, 0x91, 0x01, 0x02, 0x03));
        uint32_t expected2 = zeroconfPick(expected1, mac(0x00, 0x80, 0x91, 0x01, 0x02, 0x03));
        bool ok = ntohl(first.ipv4()) == expected1 && ntohl(second.ipv4()) == expected2 &&
                  lastZeroconfPick() == expected2 && first.family() == AF_INET;
        return std::string(ok ? "ok" : first.toText());
    });
    EXPECT_EQ(out, "ok");
}

TEST_F(IpSetup, GratuitousArpLeavesTheInterface) {
    std::string out = inNamespace([] {
        NetInterface iface;
        iface.setName("eth0");
        iface.openSocket();
        // A packet socket on the veth peer receives what the interface sends.
        int s = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ARP));
        sockaddr_ll ll{};
        ll.sll_family = AF_PACKET;
        ll.sll_protocol = htons(ETH_P_ARP);
        ll.sll_ifindex = static_cast<int>(if_nametoindex("peer0"));
        if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&ll), sizeof(ll)) != 0)
            return std::string("no tap");
        if (!iface.sendGratuitousArp(InetAddress::fromText("198.18.0.5"))) return std::string("not sent");
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) return std::string("nothing seen");
        uint8_t frame[128];
        ssize_t n = recv(s, frame, sizeof(frame), 0);
        close(s);
        uint8_t expected[GratuitousArpSize];
        buildGratuitousArp(expected, mac(0x00, 0x80, 0x91, 0x01, 0x02, 0x03), htonl(ip(198, 18, 0, 5)));
        // The peer may pad the frame to the Ethernet minimum.
        if (n < static_cast<ssize_t>(GratuitousArpSize)) return "length " + std::to_string(n);
        return std::string(memcmp(frame, expected, sizeof(expected)) == 0 ? "ok" : "other frame");
    });
    EXPECT_EQ(out, "ok");
}

TEST_F(IpSetup, IpVlansOnlyOnProductsWithTheFeature) {
    std::string out = inNamespace([] {
        NetInterface iface;
        iface.setName("eth0");
        iface.openSocket();
        std::string r;
        p_sw_features->set(0);
        r += std::to_string(iface.setupIpVlans());
        // With the feature and every IP VLAN off nothing changes.
        p_sw_features->set(0x20000);
        r += std::to_string(iface.setupIpVlans());
        return r;
    });
    EXPECT_EQ(out, "01");
}

} // namespace
