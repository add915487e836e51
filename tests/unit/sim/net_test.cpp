#include "sim/standins.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>

// The VLAN and PHY stand-ins answer with the errors of the calls they stand in for; the
// loopback interface, present everywhere, has a carrier and nothing else.
TEST(SimNet, ErrorsOfTheVlanAndPhyCalls) {
    int value = 0;
    struct Case {
        const char *what;
        std::function<int()> call;
        int err;
    } cases[] = {
        {"no such base", [] { return sim::netVlanAdd("qmrnone0", 5); }, ENODEV},
        {"id out of range", [] { return sim::netVlanAdd("lo", 4095); }, ERANGE},
        {"negative id", [] { return sim::netVlanAdd("lo", -1); }, ERANGE},
        {"no such VLAN device", [] { return sim::netVlanDel("qmrnone0.5"); }, ENODEV},
        {"not a VLAN device", [] { return sim::netVlanDel("lo"); }, EPERM},
        {"PHY of no interface", [&] { return sim::netPhyRead("qmrnone0", 0, 1, &value); }, ENODEV},
        {"PHY address", [&] { return sim::netPhyRead("lo", 32, 1, &value); }, EINVAL},
        {"register", [&] { return sim::netPhyRead("lo", 0, -1, &value); }, EINVAL},
    };
    for (const auto &c : cases) {
        errno = 0;
        EXPECT_EQ(c.call(), -1) << c.what;
        EXPECT_EQ(errno, c.err) << c.what;
    }
}

TEST(SimNet, PhyRegistersOfALinkWithoutSpeed) {
    int bmsr = 0, status = 0, ctrl1000 = 0, stat1000 = 0;
    ASSERT_EQ(sim::netPhyRead("lo", 0, 1, &bmsr), 0);
    ASSERT_EQ(sim::netPhyRead("lo", 0, 17, &status), 0);
    ASSERT_EQ(sim::netPhyRead("lo", 0, 9, &ctrl1000), 0);
    ASSERT_EQ(sim::netPhyRead("lo", 0, 10, &stat1000), 0);
    // Loopback has a carrier but reports no speed: link up, 10 Mbit/s half duplex.
    EXPECT_TRUE(bmsr & 0x0004);
    EXPECT_TRUE(status & 0x0400);
    EXPECT_EQ(status & 0xe000, 0);
    EXPECT_EQ(ctrl1000, 0x0300);
    EXPECT_EQ(stat1000, 0);
}
