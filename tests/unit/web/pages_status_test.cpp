// The USB port table of the home page over a fixture device table, the Wi-Fi signal
// classes and the appliance paths of the information pages.

#include "web/pages_net.h"
#include "web/pages_status.h"

#include "core/ptable.h"
#include "param_catalogue.h"
#include "tests/unit/core/param_guard.h"
#include "usbserver/usb_device.h"
#include "web/http.h"
#include "web_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

struct FixtureDevice {
    int port;
    int vid, pid;
    const char *manufacturer, *product, *serial;
    int state; // 2 present, 3 opened by a client
    const char *owner;
};

class PortTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        c = std::make_unique<HttpConnection>(nullptr);
        c->exiting = true;
        savedCount = usbDeviceCount.load();
        guard.set(p_sessKeys, "off");
        guard.set(p_zqn_sec, "off");
        for (int n = 1; n <= 4; n++) {
            guard.set(ptable().find("zqn_ppwr_", 9, n), "on");
            guard.set(ptable().find("zqn_tag_", 8, n), "");
            guard.set(ptable().find("zqn_accctrl_", 12, n), "---");
            guard.set(ptable().find("zqn_2vlan_", 10, n), "0");
        }
    }
    void TearDown() override {
        for (int i = 0; i < UsbDeviceTableSize; i++) {
            UsbDevice &e = usbDeviceTable[i];
            e.state = 0;
            e.port = 0;
            e.manufacturer[0] = e.product[0] = e.serial[0] = '\0';
        }
        usbDeviceCount = savedCount;
    }
    void plug(const std::initializer_list<FixtureDevice> &devices) {
        int i = 0;
        for (const FixtureDevice &d : devices) {
            UsbDevice &e = usbDeviceTable[i];
            e.state = d.state;
            e.port = d.port;
            e.vendorId = d.vid;
            e.productId = d.pid;
            std::snprintf(e.manufacturer, sizeof e.manufacturer, "%s", d.manufacturer);
            std::snprintf(e.product, sizeof e.product, "%s", d.product);
            std::snprintf(e.serial, sizeof e.serial, "%s", d.serial);
            guard.set(ptable().find("usb_owner_", 10, i + 1), d.owner);
            i++;
        }
        usbDeviceCount = std::max(usbDeviceCount.load(), i);
    }
    std::string var(const char *name) {
        char text[2048] = "";
        c->getVar(name, -1, text, sizeof text);
        return text;
    }
    WebSite site;
    ParamGuard guard;
    std::unique_ptr<HttpConnection> c;
    int savedCount = 0;
};

TEST_F(PortTableTest, TagOnlyThreeDevicesVlanMarksAndPowerStates) {
    guard.set(p_zqn_tag_1, "Lab <\"A\">");
    guard.set(ptable().find("zqn_ppwr_", 9, 3), "fail");
    guard.set(ptable().find("zqn_ppwr_", 9, 4), "off");
    guard.set(ptable().find("zqn_2vlan_", 10, 2), "9");
    guard.set(ptable().find("zqn_2vlan_", 10, 1), "2");
    guard.set(ptable().find("ipvlan_id_", 10, 2), "42");
    plug({{2, 0x1234, 0x5678, "Maker", "First", "S1", 2, "Available"},
          {2, 0x1234, 0x5679, "", "<b>Second</b>", "", 3, "client\"x"},
          {2, 0xabcd, 0x0001, "M3", "Third", "S3", 2, "-"}});
    EXPECT_EQ(writeUsbPortTable(*c, 4), PageTemplate);

    // Port 1: the tag alone, as text, and no further entries.
    EXPECT_EQ(var("UTAB_dlist_1"), "<ul><li>Lab &lt;&quot;A&quot;&gt;</li></ul>");
    EXPECT_EQ(var("UTAB_succs_1"), "");
    EXPECT_EQ(var("UTAB_VLan_1"), "2:42");

    // Port 2: the first device visible, the other two hidden behind it.
    std::string list = var("UTAB_dlist_2");
    EXPECT_EQ(list.rfind("<ul><li title=\"Maker (1234) First (5678) S1\"> Maker First </li>", 0), 0u) << list;
    EXPECT_NE(
        list.find("<li name=\"succ2\" style=\"display:none;\" title=\"??? (1234) &lt;b&gt;Second&lt;/b&gt; "
                  "(5679) ???\"> ??? &lt;b&gt;Second&lt;/b&gt; </li>"),
        std::string::npos)
        << list;
    EXPECT_NE(list.find("name=\"succ2\" style=\"display:none;\" title=\"M3 (abcd) Third (0001) S3\""),
              std::string::npos);
    EXPECT_EQ(var("UTAB_succs_2"), "1");
    // The first device's owner text wins; the opened device marks the port hot.
    EXPECT_EQ(var("UTAB_devs_2"), "Available");
    EXPECT_EQ(var("UTAB_hot_2"), "1");
    EXPECT_EQ(var("UTAB_VLan_2"), "&mdash;");
    EXPECT_EQ(var("UTAB_23_2"), "3.0");

    // Ports 3 and 4: switched off, by the power limit or by hand.
    EXPECT_EQ(var("UTAB_dlist_3"), "Port deactivated by power limit violation");
    EXPECT_EQ(var("UTAB_dlist_4"), "Port deactivated");
    EXPECT_EQ(var("UTAB_23_3"), "");
    EXPECT_EQ(var("USB_PLUGGED"), "3");
}

TEST_F(PortTableTest, OwnerTextsAccessModesAndLevel) {
    guard.set(ptable().find("zqn_accctrl_", 12, 1), "keyids");
    guard.set(ptable().find("zqn_accctrl_", 12, 2), "ids");
    guard.set(ptable().find("zqn_accctrl_", 12, 3), "key");
    guard.set(p_zqn_sec, "on");
    plug({{1, 0x1111, 0x2222, "A", "B", "C", 3, "<someone>"}, {3, 0x1111, 0x2222, "A", "B", "C", 2, "-"}});
    writeUsbPortTable(*c, 4);
    EXPECT_EQ(var("UTAB_devs_1"), "Occupied by &lt;someone&gt;");
    EXPECT_EQ(var("UTAB_sec_1"), "1");
    // Without a vendor list entry the device is not listed for the port.
    EXPECT_EQ(var("UTAB_protect_1"), "statusred");
    EXPECT_EQ(var("UTAB_protect_2"), "chain");
    EXPECT_EQ(var("UTAB_protect_3"), "lock");
    EXPECT_EQ(var("UTAB_devs_3"), "-");
    EXPECT_EQ(var("UTAB_hot_3"), "");
    EXPECT_EQ(var("UTAB_VLan_1"), "&lowast;");
}

TEST(WifiSignalClass, Table) {
    struct {
        int level, expected;
    } cases[] = {{0, 1},   {-44, 1}, {-45, 8}, {-64, 8}, {-65, 6}, {-74, 6},
                 {-75, 4}, {-84, 4}, {-85, 2}, {-89, 2}, {-90, 0}, {-120, 0}};
    for (auto &k : cases)
        EXPECT_EQ(wifiSignalClass(k.level), k.expected) << k.level;
}

TEST(AppliancePath, ResolvesDotsAndEscapesWithoutClimbing) {
    struct {
        const char *query;
        const char *expected; // null: refused
    } cases[] = {
        {"/etc/params.dat", "/etc/params.dat"},
        {"", "/"},
        {"/../../etc/passwd", "/etc/passwd"},
        {"..%2F..%2F..%2Fetc", "/etc"},
        {"/var/./moni//monitor/", "/var/moni/monitor"},
        {"/a/b/../../../c", "/c"},
        {"/a%20b+c", "/a b c"},
        {"/x%00y", nullptr},
        {"/x%4", nullptr},
        {"/x%zz", nullptr},
    };
    for (auto &k : cases) {
        std::string path;
        bool ok = resolveAppliancePath(k.query, path);
        EXPECT_EQ(ok, k.expected != nullptr) << k.query;
        if (ok && k.expected) {
            EXPECT_EQ(path, k.expected) << k.query;
        }
    }
    std::string path;
    EXPECT_FALSE(resolveAppliancePath(std::string(2000, 'a'), path));
}

} // namespace

TEST(CrashesText, Table) {
    struct {
        int crashes;
        bool unclean, marker;
        const char *expected;
    } cases[] = {{0, false, false, ""},     {0, false, true, ""},
                 {3, false, false, " [3]"}, {0, true, false, " [0!]"},
                 {2, true, true, " [2!]!"}, {1, false, true, " [1]!"},
                 {-1, false, false, ""},    {12345, true, false, " [12345!]"}};
    for (auto &k : cases)
        EXPECT_EQ(crashesText(k.crashes, k.unclean, k.marker), k.expected)
            << k.crashes << k.unclean << k.marker;
}

// Every streamed information page has its handler, and a second registration (which
// would replace the first by link order) is refused and leaves the first in place.
TEST(PageRegistration, StreamedPagesHaveOneHandler) {
    PageHandler other = [](HttpConnection &, const PageEntry &) { return -1; };
    for (const char *url : {"/info/threads", "/info/net", "/info/dev", "/info/dir", "/info/file",
                            "/info/filter", "/info/usb", "/info/wlan"}) {
        const PageEntry *row = nullptr;
        for (int i = 0; i < PageCount; i++)
            if (strcmp(pageTable()[i].url, url) == 0) row = &pageTable()[i];
        ASSERT_NE(row, nullptr) << url;
        PageHandler first = row->handler;
        EXPECT_NE(first, nullptr) << url;
        EXPECT_FALSE(registerPageHandler(url, other)) << url;
        EXPECT_EQ(row->handler, first) << url;
    }
}
