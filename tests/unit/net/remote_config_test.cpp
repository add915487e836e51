// Addresses given from outside to an appliance on ZeroConf, by an SLP request or by a
// ping to its MAC address: taken only while on ZeroConf, a given netmask is stored in
// "ip_pfxlen", and without one (or with an empty one) the prefix stays as it was.
#include "net/arpping.h"
#include "net/netif.h"
#include "net/slp_message.h"

#include "../core/param_guard.h"
#include "core/ptable.h"
#include "fake_kernel.h"
#include "param_catalogue.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string>
#include <vector>

using namespace nettest;
using Bytes = std::vector<uint8_t>;

namespace {

uint32_t v4(const char *text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

std::string text(IpParam *p) {
    char out[64];
    p->toText(out, sizeof out, false);
    return out;
}

class RemoteConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        ptable();
        guard.set(p_ip_addr, "169.254.3.4");
        guard.set(p_ip_setby, "zconf");
        guard.set(p_ip_pfxlen, "16");
        guard.set(p_ip_router, "0.0.0.0");
        guard.set(p_ipv6_addr, "");
        iface.setName("eth0");
        ASSERT_TRUE(iface.openSocket());
        kernel.ipv4["eth0"] = v4("169.254.3.4");
    }

    // The request of an SLP client, parsed.
    SlpRequest slp(const std::string &attributes) {
        std::string predicate = "service:x-kvxps://X-KVX-NAME==Box" + attributes + "/";
        Bytes m = {1, 1, 0, 0, 0, 0, 'e', 'n', 0, 3, 0x12, 0x34, 0, 0};
        m.push_back(static_cast<uint8_t>(predicate.size() >> 8));
        m.push_back(static_cast<uint8_t>(predicate.size()));
        m.insert(m.end(), predicate.begin(), predicate.end());
        SlpRequest r;
        EXPECT_TRUE(parseSlpRequest(m.data(), m.size(), r)) << predicate;
        return r;
    }

    ParamGuard guard;
    Fakes fakes;
    FakeKernel &kernel = fakes.kernel;
    NetInterface iface;
};

TEST_F(RemoteConfigTest, SlpGivesThePrefixOfAGivenMaskOnly) {
    struct Case {
        const char *attributes;
        int prefix; // -1: the prefix in use stays
    } cases[] = {
        {",X-KVX-IP==198.18.0.77,X-KVX-IPMASK==255.255.240.0", 20},
        {",X-KVX-IPMASK==255.255.255.255,X-KVX-IP==198.18.0.77", 32},
        {",X-KVX-IP==198.18.0.77", -1},
        {",X-KVX-IP==198.18.0.77,X-KVX-IPMASK==0.0.0.0", -1},
        {",X-KVX-IP==198.18.0.77,X-KVX-IPMASK==bad", -1},
        {",X-KVX-IP==198.18.0.77,X-KVX-IPMASK==255.255.256.0", -1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(slpPrefix(slp(c.attributes)), c.prefix) << c.attributes;
}

Bytes ping(const char *destination) {
    Bytes p(64, 0);
    p[0] = 0x45;
    p[9] = 1;
    inet_pton(AF_INET, destination, &p[16]);
    p[20] = 8;
    return p;
}

TEST_F(RemoteConfigTest, PingedAddressIsTakenOnlyOnZeroconfWithTheClassPrefix) {
    ArpPing task(iface);
    Bytes p = ping("172.16.5.5");
    ASSERT_TRUE(task.consider(p.data(), p.size()));
    EXPECT_EQ(text(p_ip_addr), "172.16.5.5");
    EXPECT_TRUE(p_ip_setby->equals("ping"));
    EXPECT_EQ(p_ip_pfxlen->value(), 16);
    EXPECT_EQ(kernel.ipv4["eth0"], v4("172.16.5.5"));

    // Off ZeroConf a ping changes nothing.
    p = ping("10.1.2.3");
    EXPECT_FALSE(task.consider(p.data(), p.size()));
    EXPECT_EQ(text(p_ip_addr), "172.16.5.5");
    EXPECT_EQ(p_ip_pfxlen->value(), 16);
}

} // namespace
