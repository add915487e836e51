#include "net/netif.h"

#include "core/ptable.h"
#include "fake_kernel.h"
#include "param_catalogue.h"

#include <gtest/gtest.h>

using namespace nettest;

namespace {

const char *const Mdio =
    "/sys/devices/platform/soc/soc:internal-regs/f1072004.mdio/mdio_bus/f1072004.mdio-mii/";

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ptable();
        iface.setName("eth0");
    }
    void product(uint32_t id, uint32_t major) {
        kernel.productRecord.productId = id;
        kernel.productRecord.hwMajor = major;
    }

    Fakes fakes;
    FakeKernel &kernel = fakes.kernel;
    NetInterface iface;
};

TEST_F(LinkTest, CarrierFlagsPerProduct) {
    struct Case {
        const char *what;
        uint32_t product, major;
        const char *activeSlave; // null: unreadable
        const char *carrier0, *carrier1, *eth0Carrier;
        int reg17Board, reg17Phy0;
        bool result;
        int flags;
    } cases[] = {
        {"283 always has a link", 283, 1, nullptr, nullptr, nullptr, nullptr, 0, 0, true, 0},
        {"287 sysfs up", 287, 2, nullptr, nullptr, nullptr, "1\n", 0, 0, true, 0x01},
        {"287 sysfs down", 287, 2, nullptr, nullptr, nullptr, "0\n", 0x400, 0, false, 0},
        {"294 unreadable", 294, 2, nullptr, nullptr, nullptr, nullptr, 0x400, 0, false, 0},
        {"295 bond unknown, both ports standby", 295, 2, nullptr, "1\n", "1\n", nullptr, 0, 0, true, 0x22},
        {"295 port 0 active", 295, 2, "s_eth0\n", "1\n", "1\n", nullptr, 0, 0, true, 0x21},
        {"295 port 1 active", 295, 2, "s_eth1\n", "1\n", "1\n", nullptr, 0, 0, true, 0x12},
        {"295 port 1 active alone", 295, 2, "s_eth1\n", "0\n", "1\n", nullptr, 0, 0, true, 0x10},
        {"295 no carrier", 295, 2, "none", "0\n", "0\n", nullptr, 0, 0, false, 0},
        {"305 PHY link", 305, 1, nullptr, nullptr, nullptr, nullptr, 0x400, 0, true, 0x10},
        {"305 PHY no link", 305, 1, nullptr, nullptr, nullptr, nullptr, 0x3ff, 0x400, false, 0},
        {"287 major 1 goes to the PHY", 287, 1, nullptr, nullptr, nullptr, "0\n", 0x400, 0, true, 0x10},
        {"295 major 1 reads both PHYs", 295, 1, nullptr, nullptr, nullptr, nullptr, 0x400, 0x400, true, 0x11},
        {"295 major 1 right only", 295, 1, nullptr, nullptr, nullptr, nullptr, 0, 0x400, true, 0x01},
    };
    for (const auto &c : cases) {
        product(c.product, c.major);
        kernel.productRecord.phy0Address = 3;
        kernel.files.clear();
        if (c.activeSlave) kernel.files["/sys/devices/virtual/net/eth0/bonding/active_slave"] = c.activeSlave;
        if (c.carrier0) kernel.files["/sys/class/net/s_eth0/carrier"] = c.carrier0;
        if (c.carrier1) kernel.files["/sys/class/net/s_eth1/carrier"] = c.carrier1;
        if (c.eth0Carrier) kernel.files["/sys/class/net/eth0/carrier"] = c.eth0Carrier;
        fakes.board.phy[3][17] = c.reg17Board;
        fakes.board.phy[0][17] = c.reg17Phy0;
        int flags = -1;
        EXPECT_EQ(iface.getCarrier(&flags), c.result) << c.what;
        EXPECT_EQ(flags, c.flags) << c.what;
        EXPECT_EQ(iface.getCarrier(), c.result) << c.what;
    }
    // A failed register read: no link, no flags.
    product(305, 1);
    fakes.board.phyFails = true;
    int flags = -1;
    EXPECT_FALSE(iface.getCarrier(&flags));
    EXPECT_EQ(flags, 0);
}

TEST_F(LinkTest, MiiSpeedAndDuplex) {
    struct Case {
        int bmcr, ctrl1000, stat1000;
        int speed;
        bool full;
    } cases[] = {
        {0x2100, 0x200, 0x800, 1000, true},  // both ends advertise 1000 full
        {0x2100, 0x100, 0x400, 1000, false}, // 1000 half
        {0x2100, 0x200, 0x400, 100, true},   // partner 1000 half only, we full only: falls back
        {0x2100, 0x000, 0x000, 100, true},   {0x0000, 0x000, 0x000, 10, false},
        {0x0100, 0x300, 0x000, 10, true},
    };
    for (const auto &c : cases) {
        fakes.board.phy[0][0] = c.bmcr;
        fakes.board.phy[0][9] = c.ctrl1000;
        fakes.board.phy[0][10] = c.stat1000;
        int speed = 0;
        bool full = false;
        ASSERT_TRUE(iface.getMiiLink(0, speed, full));
        EXPECT_EQ(speed, c.speed) << std::hex << c.bmcr << " " << c.ctrl1000 << " " << c.stat1000;
        EXPECT_EQ(full, c.full);
    }
    fakes.board.phyFails = true;
    int speed = 0;
    bool full = false;
    EXPECT_FALSE(iface.getMiiLink(0, speed, full));
}

TEST_F(LinkTest, LinkTextOfWifiProducts) {
    int savedWifi = p_wifi->value();
    p_wifi->set(1);
    product(283, 1);
    static int freq;
    netifHooks().wifiLink = [](char *ssid, size_t size, int *f, int *channel) {
        snprintf(ssid, size, "%s", "Office");
        *f = freq;
        *channel = freq == 2412 ? 1 : 0;
        return true;
    };
    char text[64];
    struct Case {
        int freq;
        const char *text;
    } cases[] = {
        {2412, "Office 2.4GHz [1/2412]"}, {4699, "Office 2.4GHz [0/4699]"}, {4700, "Office 5GHz [0/4700]"}};
    for (const auto &c : cases) {
        freq = c.freq;
        EXPECT_EQ(iface.describeLink(0, text, sizeof text), static_cast<int>(strlen(c.text)));
        EXPECT_STREQ(text, c.text);
    }
    // An SSID that does not fit gives nothing; the rest is cut to the room.
    EXPECT_EQ(iface.describeLink(0, text, 6), 0);
    EXPECT_EQ(iface.describeLink(0, text, 10), 9);
    EXPECT_STREQ(text, "Office 5G");
    netifHooks().wifiLink = nullptr;
    EXPECT_EQ(iface.describeLink(0, text, sizeof text), 0);
    p_wifi->set(savedWifi);
}

TEST_F(LinkTest, LinkTextOfWiredProducts) {
    char text[64];
    // The switch driver's files on product 295 of the first hardware.
    product(295, 1);
    EXPECT_EQ(iface.describeLink(1, text, sizeof text), 0);
    kernel.files[std::string(Mdio) + "f1072004.mdio-mii:00/kvx_phy_isolate"] = "1\n";
    kernel.files[std::string(Mdio) + "f1072004.mdio-mii:04/kvx_phy_speed_duplex"] = "100/0\n";
    EXPECT_GT(iface.describeLink(1, text, sizeof text), 0);
    EXPECT_STREQ(text, "100Mbit half duplex");
    kernel.files[std::string(Mdio) + "f1072004.mdio-mii:00/kvx_phy_isolate"] = "0";
    kernel.files[std::string(Mdio) + "f1072004.mdio-mii:00/kvx_phy_speed_duplex"] = "1000/1";
    iface.describeLink(1, text, sizeof text);
    EXPECT_STREQ(text, "1000Mbit full duplex");
    // Unparsable: the PHY registers of PHY 0.
    kernel.files[std::string(Mdio) + "f1072004.mdio-mii:00/kvx_phy_speed_duplex"] = "n/a";
    fakes.board.phy[0][0] = 0x2100;
    EXPECT_EQ(iface.describeLink(1, text, sizeof text), 19);
    EXPECT_STREQ(text, "100Mbit full duplex");

    // Product 278 with the link bit clear, and every other product: sysfs.
    product(278, 1);
    kernel.files["/sys/class/net/eth0/operstate"] = "down\n";
    EXPECT_EQ(iface.describeLink(0, text, sizeof text), 4);
    EXPECT_STREQ(text, "down");
    product(287, 2);
    kernel.files["/sys/class/net/eth0/operstate"] = "up\n";
    EXPECT_EQ(iface.describeLink(0x10, text, sizeof text), 0); // no speed file
    kernel.files["/sys/class/net/eth0/speed"] = "10000\n";
    kernel.files["/sys/class/net/eth0/duplex"] = "full\n";
    EXPECT_EQ(iface.describeLink(0x10, text, sizeof text), 21);
    EXPECT_STREQ(text, "10000Mbit full duplex");
    EXPECT_EQ(iface.describeLink(0x10, text, 8), 7);
    EXPECT_STREQ(text, "10000Mb");
    kernel.files.erase("/sys/class/net/eth0/operstate");
    EXPECT_EQ(iface.describeLink(0x10, text, sizeof text), 0);
}

TEST_F(LinkTest, BondMemberAndLinkSpeed) {
    const char *slave = "/sys/devices/virtual/net/eth0/bonding/active_slave";
    EXPECT_EQ(iface.bondingActiveSlave(), -1);
    kernel.files[slave] = "s_eth1\n";
    EXPECT_EQ(iface.bondingActiveSlave(), 1);
    kernel.files[slave] = "\n";
    EXPECT_EQ(iface.bondingActiveSlave(), -1);
    kernel.files[slave] = std::string(200, 'x') + "7";
    EXPECT_EQ(iface.bondingActiveSlave(), -1); // only the first 63 characters count

    int speed = 0;
    kernel.files["/sys/class/net/eth0/speed"] = "2500\n";
    EXPECT_FALSE(iface.getLinkSpeed(speed));
    EXPECT_EQ(speed, 1000);
    product(307, 1);
    EXPECT_TRUE(iface.getLinkSpeed(speed));
    EXPECT_EQ(speed, 2500);
    kernel.files["/sys/class/net/eth0/speed"] = "1000\n";
    EXPECT_FALSE(iface.getLinkSpeed(speed));
    EXPECT_EQ(speed, 1000);
}

} // namespace
