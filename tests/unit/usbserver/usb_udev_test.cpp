#include "usbserver/usb_device.h"
#include "usbserver/usb_udev.h"

#include "core/param.h"
#include "core/ptable.h"
#include "usb_fake_platform.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

TEST(UsbPort, DerivedPerProduct) {
    struct Case {
        unsigned product, hw;
        int bus;
        const char *devpath;
        const char *sysDir;
        int port;
    } cases[] = {
        {271, 1, 1, "1.2", "", 2},
        {283, 1, 1, "1.3", "", -1},
        {278, 1, 1, "2.3", "", 8},
        {282, 1, 1, "1.6", "", 6},
        {282, 1, 1, "1.7.2", "", 8},
        {287, 1, 2, "1", "", 1},
        {287, 1, 4, "1", "", 2},
        {287, 1, 5, "1", "", -1},
        {315, 1, 3, "2", "", 2},
        {288, 1, 1, "1.3", "", 3},
        {288, 1, 1, "1.4", "", -1},
        {288, 1, 3, "1.1", "", -1},
        {294, 1, 3, "1.2", "", 6}, // behind the hub of bus 3
        {294, 1, 1, "1.4", "", 4},
        {294, 1, 1, "1.5", "", -1},
        {294, 1, 4, "1.1", "", -1},
        {295, 1, 2, "1.7", "", 7},
        {295, 1, 2, "1.8", "", -1},
        {295, 1, 3, "1.5", "", 10},
        {295, 1, 3, "1.6.3", "", 13},
        {295, 1, 3, "1.7.5", "", 20},
        {296, 1, 2, "3", "", 3},
        {296, 1, 3, "3", "", -1},
        {297, 1, 9, "4.1", "", 4},
        {317, 1, 1, "1", "", 1},
        {303, 4, 1, "1", "", 1},
        {303, 4, 3, "1", "", -1},
        {304, 2, 3, "1", "", 1},
        {304, 2, 1, "1", "", -1},
        {305, 3, 3, "1", "", 2},
        {305, 2, 1, "2", "/devices/pci0000:00/usb1/1-2", 2},
        {306, 4, 1, "1", "/devices/pci0000:00/usb1/1-1", 2},
        {306, 4, 1, "2", "/devices/pci0000:00/usb1/1-2", 1},
        {1000, 4, 2, "1", "/devices/platform/ehci/usb2/2-1", 1},
        {1001, 4, 1, "1", "/devices/platform/ehci/usb1/1-1", -1},
        {307, 1, 1, "1.2", "", 2},
        {307, 1, 3, "1.2", "", -1},
        {999, 1, 1, "1", "", -1},
        // Malformed topology texts are no port.
        {297, 1, 1, "", "", -1},
        {297, 1, 1, "x", "", -1},
        {297, 1, 1, "1..2", "", -1},
        {278, 1, 1, "99999.1", "", -1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(usbPortOf(c.product, c.hw, c.bus, c.devpath, c.sysDir), c.port)
            << "product " << c.product << " bus " << c.bus << " devpath " << c.devpath;
}

TEST(UsbPort, SpeedTopologyAndVersionTexts) {
    EXPECT_EQ(usbSpeedCode("1.5"), UsbSpeedLow);
    EXPECT_EQ(usbSpeedCode("12"), UsbSpeedFull);
    EXPECT_EQ(usbSpeedCode("480"), UsbSpeedHigh);
    EXPECT_EQ(usbSpeedCode("5000"), UsbSpeedSuper);
    EXPECT_EQ(usbSpeedCode(""), UsbSpeedFull);
    EXPECT_EQ(usbSpeedCode("20000"), UsbSpeedFull);

    int32_t level;
    uint32_t hash;
    usbTopology("1", level, hash);
    EXPECT_EQ(level, 1);
    EXPECT_EQ(hash, 1u);
    usbTopology("1.3", level, hash);
    EXPECT_EQ(level, 2);
    EXPECT_EQ(hash, (1u << 4) ^ 3u);
    // Every digit XORs the number that starts there: "12" gives 12 ^ 2.
    usbTopology("2.12", level, hash);
    EXPECT_EQ(hash, ((2u << 4) ^ 12u) ^ 2u);
    usbTopology("1.2.3.4", level, hash);
    EXPECT_EQ(level, 4);
}

namespace {

std::string tempDir() {
    char pattern[] = "/tmp/qmr-w8udev-XXXXXX";
    const char *p = mkdtemp(pattern);
    return p ? p : "";
}

void writeFile(const std::string &path, const std::string &text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// A device descriptor and one configuration with the given interface (class) and
// endpoints.
std::string descriptors(uint16_t vendor, uint16_t product, uint8_t deviceClass, uint8_t interfaceClass,
                        uint8_t numConfigs = 1) {
    std::vector<uint8_t> d = {18,
                              1,
                              0x00,
                              0x02,
                              deviceClass,
                              0,
                              0,
                              64,
                              static_cast<uint8_t>(vendor & 0xFF),
                              static_cast<uint8_t>(vendor >> 8),
                              static_cast<uint8_t>(product & 0xFF),
                              static_cast<uint8_t>(product >> 8),
                              0x00,
                              0x01,
                              1,
                              2,
                              3,
                              numConfigs};
    for (int c = 0; c < numConfigs; c++) {
        std::vector<uint8_t> cfg = {9,    2,    0,
                                    0,    1,    static_cast<uint8_t>(c + 1),
                                    0,    0x80, 50,
                                    9,    4,    0,
                                    0,    2,    interfaceClass,
                                    6,    0x50, 0,
                                    7,    5,    0x81,
                                    2,    0,    2,
                                    0,    7,    5,
                                    0x02, 2,    0,
                                    2,    0,    9,
                                    4,    1,    0,
                                    1,    3,    0,
                                    0,    0,    7,
                                    5,    0x83, 3,
                                    8,    0,    10};
        cfg[2] = static_cast<uint8_t>(cfg.size());
        d.insert(d.end(), cfg.begin(), cfg.end());
    }
    return std::string(d.begin(), d.end());
}

std::string uevent(const char *action, const std::string &devpath, int bus, int dev, uint16_t vendor,
                   uint16_t product, const char *type, int minor) {
    char vars[512];
    int n =
        std::snprintf(vars, sizeof vars,
                      "%s@%s%cACTION=%s%cDEVPATH=%s%cSUBSYSTEM=usb%cMAJOR=189%cMINOR=%d%c"
                      "DEVTYPE=usb_device%cPRODUCT=%x/%x/100%cTYPE=%s%cBUSNUM=%03d%cDEVNUM=%03d%cSEQNUM=7",
                      action, devpath.c_str(), 0, action, 0, devpath.c_str(), 0, 0, 0, minor, 0, 0, vendor,
                      product, 0, type, 0, bus, 0, dev, 0);
    return std::string(vars, static_cast<size_t>(n) + 1);
}

int connects, disconnects;

class UsbHotplugTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = tempDir();
        ASSERT_FALSE(root.empty());
        saved = usbPaths();
        usbPaths() =
            UsbPaths{root + "/dev/bus/usb", root + "/sys", root + "/romfs/usb.ids", root + "/proc/mounts"};
        writeFile(root + "/proc/mounts", "sysfs /sys sysfs rw 0 0\n");
        fs::create_directories(root + "/dev");
        writeFile(root + "/romfs/usb.ids", "# comment\n"
                                           "1234  Some Vendor\n"
                                           "\t0001  First Thing\n"
                                           "\t5678  The Widget\n"
                                           "\t\t01  an interface line\n"
                                           "\n"
                                           "2345  Other Vendor\n"
                                           "\t5678  Not This One\n");
        ASSERT_EQ(prepareUsbfsTree(), 0);
        savedCount = usbDeviceCount.load();
        usbDeviceCount = 3;
        connects = disconnects = 0;
        usbDeviceHooks().connected = [](UsbDevice &) { return ++connects; };
        usbDeviceHooks().disconnected = [](UsbDevice &) { return ++disconnects; };
        fake.setString(0, 0, {4, 3, 0x09, 0x04});
        fake.setString(0x0409, 1, FakeUsbPlatform::utf16(u"Maker"));
        fake.setString(0x0409, 2, FakeUsbPlatform::utf16(u"Thing"));
    }
    void TearDown() override {
        for (UsbDevice &e : usbDeviceTable)
            if (e.state.load() != UsbEntryEmpty) e.clear();
        usbDeviceCount = savedCount;
        usbDeviceHooks() = UsbDeviceHooks();
        usbPaths() = saved;
        Param *hid = ptable().find("zqn_hid_", 8, 1);
        if (hid) hid->setFromText("on", 2);
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    // Writes the sysfs directory of a device; returns its DEVPATH.
    std::string plug(int bus, const std::string &devpath, uint16_t vendor, uint16_t product,
                     uint8_t deviceClass = 0, uint8_t interfaceClass = 8, bool strings = true) {
        std::string kpath =
            "/devices/platform/ehci/usb" + std::to_string(bus) + "/" + std::to_string(bus) + "-" + devpath;
        std::string dir = root + "/sys" + kpath;
        writeFile(dir + "/descriptors", descriptors(vendor, product, deviceClass, interfaceClass));
        writeFile(dir + "/dev", "189:5\n");
        writeFile(dir + "/devpath", devpath + "\n");
        writeFile(dir + "/speed", "480\n");
        writeFile(dir + "/version", " 2.00\n");
        writeFile(dir + "/bMaxPower", "100mA\n");
        writeFile(dir + "/bcdDevice", "0102\n");
        if (strings) {
            writeFile(dir + "/manufacturer", "Maker\n");
            writeFile(dir + "/product", "Thing\n");
            writeFile(dir + "/serial", "SN1\n");
        }
        return kpath;
    }

    int handle(const std::string &ev, unsigned product = 287) {
        return usbHandleUevent(ev.data(), ev.size(), product, 1);
    }

    FakeUsbPlatform fake;
    std::string root;
    UsbPaths saved;
    int savedCount = 0;
};

} // namespace

TEST_F(UsbHotplugTest, AddedDeviceFillsAnEntry) {
    std::string kpath = plug(1, "1", 0x0781, 0x5567);
    EXPECT_EQ(handle(uevent("add", kpath, 1, 4, 0x0781, 0x5567, "0/0/0", 3)), 0);
    UsbDevice &e = usbDeviceTable[0];
    EXPECT_EQ(e.state.load(), UsbEntryPresent);
    EXPECT_EQ(connects, 1);
    EXPECT_EQ(e.port, 1);
    EXPECT_EQ(e.busNumber, 1);
    EXPECT_EQ(e.deviceNumber, 4);
    EXPECT_EQ(e.major, 189);
    EXPECT_EQ(e.minor, 3);
    EXPECT_EQ(e.speed, UsbSpeedHigh);
    EXPECT_EQ(e.versionMajor, 2);
    EXPECT_EQ(e.versionMinor, 0);
    EXPECT_EQ(e.releaseHigh, 1);
    EXPECT_EQ(e.releaseLow, 2);
    EXPECT_EQ(e.maxPower, 100);
    EXPECT_EQ(e.level, 1);
    EXPECT_STREQ(e.manufacturer, "Maker");
    EXPECT_STREQ(e.product, "Thing");
    EXPECT_STREQ(e.serial, "SN1");
    EXPECT_EQ(e.descriptorVendorId(), 0x0781);
    // One configuration, two interfaces, endpoints counted once each.
    EXPECT_EQ(e.configurationCount, 1);
    EXPECT_EQ(e.interfaceCount, 2);
    ASSERT_EQ(e.configurations.size(), 1u);
    EXPECT_EQ(e.configurations[0].interfaceCount, 2);
    EXPECT_EQ(e.endpointsIn[UsbEpBulk], 1);
    EXPECT_EQ(e.endpointsOut[UsbEpBulk], 1);
    EXPECT_EQ(e.endpointsIn[UsbEpInterrupt], 1);
    EXPECT_EQ(e.endpointsIn[UsbEpControl], 1);
    // The strings of the device are cached; the probe closed its file.
    uint8_t buf[64];
    EXPECT_GT(e.lookupString(0x0409, 1, buf, sizeof buf), 0);
    EXPECT_EQ(e.lookupString(0x0409, 3, buf, sizeof buf), 0); // the device has no serial string
    EXPECT_EQ(e.fd, -1);
    EXPECT_TRUE(fake.openFds.empty());
    // The device node was made, as a plain file here, with its own mode.
    struct stat st;
    ASSERT_EQ(::stat((root + "/dev/bus/usb/001/004").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    ASSERT_EQ(::stat((root + "/dev/bus/usb/001").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);

    // A repeated "add" of the same device gives it no second entry.
    EXPECT_EQ(handle(uevent("add", kpath, 1, 4, 0x0781, 0x5567, "0/0/0", 3)), -1);
    EXPECT_EQ(usbDeviceTable[1].state.load(), UsbEntryEmpty);
    EXPECT_EQ(connects, 1);

    // Removal clears it and raises the event.
    EXPECT_EQ(handle(uevent("remove", kpath, 1, 4, 0x0781, 0x5567, "0/0/0", 3)), 0);
    EXPECT_EQ(e.state.load(), UsbEntryEmpty);
    EXPECT_EQ(disconnects, 1);
}

TEST_F(UsbHotplugTest, IgnoredDevices) {
    struct Case {
        const char *what;
        int bus;
        const char *devpath;
        uint16_t vendor, product;
        const char *type;
        uint8_t deviceClass;
        uint8_t interfaceClass;
    } cases[] = {
        {"hub", 1, "1", 0x1111, 0x2222, "9/0/1", 9, 9},
        {"listed hub ids", 1, "1", 0x0424, 0x2740, "0/0/0", 0, 8},
        {"no port on this bus", 5, "1", 0x1111, 0x2222, "0/0/0", 0, 8},
    };
    for (const Case &c : cases) {
        std::string kpath = plug(c.bus, c.devpath, c.vendor, c.product, c.deviceClass, c.interfaceClass);
        EXPECT_EQ(handle(uevent("add", kpath, c.bus, 9, c.vendor, c.product, c.type, 8)), -1) << c.what;
    }
    EXPECT_EQ(connects, 0);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(usbDeviceTable[i].state.load(), UsbEntryEmpty);

    // A device behind a hub on product 294, bus 3, devpath 1.2 lands on port 6.
    std::string kpath = plug(3, "1.2", 0x1111, 0x2222);
    EXPECT_EQ(handle(uevent("add", kpath, 3, 5, 0x1111, 0x2222, "0/0/0", 4), 294), 0);
    EXPECT_EQ(usbDeviceTable[0].port, 6);
    EXPECT_EQ(usbDeviceTable[0].level, 2);
}

TEST_F(UsbHotplugTest, HidDevicesFollowThePortSwitch) {
    Param *hid = ptable().find("zqn_hid_", 8, 1);
    ASSERT_NE(hid, nullptr);
    ASSERT_NE(hid->setFromText("off", 3), 0);

    // HID as the device class, and HID as an interface of a composite device.
    std::string kbd = plug(1, "1", 0x046D, 0xC31C, 3, 3);
    EXPECT_EQ(handle(uevent("add", kbd, 1, 6, 0x046D, 0xC31C, "3/0/0", 5)), -1);
    std::string combo = plug(2, "1", 0x046D, 0xC52B, 0, 8); // its second interface is HID
    EXPECT_EQ(handle(uevent("add", combo, 2, 7, 0x046D, 0xC52B, "0/0/0", 6)), -1);
    EXPECT_EQ(connects, 0);
    EXPECT_EQ(usbDeviceTable[0].state.load(), UsbEntryEmpty);

    ASSERT_NE(hid->setFromText("on", 2), 0);
    EXPECT_EQ(handle(uevent("add", kbd, 1, 6, 0x046D, 0xC31C, "3/0/0", 5)), 0);
}

TEST_F(UsbHotplugTest, NamesFromTheIdListWhenTheDeviceHasNone) {
    std::string kpath = plug(1, "1", 0x1234, 0x5678, 0, 8, false);
    ASSERT_EQ(handle(uevent("add", kpath, 1, 8, 0x1234, 0x5678, "0/0/0", 7)), 0);
    EXPECT_STREQ(usbDeviceTable[0].manufacturer, "Some Vendor");
    EXPECT_STREQ(usbDeviceTable[0].product, " The Widget");

    char m[64] = {}, p[64] = {};
    EXPECT_TRUE(usbIdsLookup(usbPaths().usbIds, 0x2345, 0x0001, m, sizeof m, p, sizeof p));
    EXPECT_STREQ(m, "Other Vendor");
    EXPECT_STREQ(p, "");
    m[0] = '\0';
    EXPECT_TRUE(usbIdsLookup(usbPaths().usbIds, 0x9999, 0x0001, m, sizeof m, p, sizeof p));
    EXPECT_STREQ(m, "");
    EXPECT_FALSE(usbIdsLookup(root + "/missing", 1, 1, m, sizeof m, p, sizeof p));
}

TEST(UsbIds, TheInstalledListHasTheExpectedLayout) {
    const char *path = "/usr/share/misc/usb.ids";
    if (::access(path, R_OK) != 0) GTEST_SKIP() << "usb.ids is not installed";
    char m[64] = {}, p[64] = {};
    ASSERT_TRUE(usbIdsLookup(path, 0x1d6b, 0x0002, m, sizeof m, p, sizeof p));
    EXPECT_STREQ(m, "Linux Foundation");
    EXPECT_STREQ(p, " 2.0 root hub");
}

TEST_F(UsbHotplugTest, RemovalOfAnUnknownDeviceChangesNothing) {
    std::string kpath = plug(1, "1", 0x0781, 0x5567);
    ASSERT_EQ(handle(uevent("add", kpath, 1, 4, 0x0781, 0x5567, "0/0/0", 3)), 0);
    // Another device number, other ids, or a message without DEVTYPE: no match.
    EXPECT_EQ(handle(uevent("remove", kpath, 1, 5, 0x0781, 0x5567, "0/0/0", 3)), -1);
    EXPECT_EQ(handle(uevent("remove", kpath, 1, 4, 0x0781, 0x5568, "0/0/0", 3)), -1);
    std::string zeros = std::string("remove@/x\0DEVTYPE=usb_device\0DEVPATH=/x\0", 40);
    EXPECT_EQ(handle(zeros), -1);
    EXPECT_EQ(usbDeviceTable[0].state.load(), UsbEntryPresent);
    EXPECT_EQ(disconnects, 0);
}

TEST_F(UsbHotplugTest, FullTableAndBrokenDevicesAreIgnored) {
    for (int i = 0; i < 4; i++) {
        std::string kpath = plug(1 + i % 2, std::to_string(i + 1), 0x0781, static_cast<uint16_t>(0x100 + i));
        int r = handle(
            uevent("add", kpath, 1 + i % 2, 10 + i, 0x0781, static_cast<uint16_t>(0x100 + i), "0/0/0", i));
        EXPECT_EQ(r, i < 3 ? i : -1);
    }
    EXPECT_EQ(connects, 3);

    for (UsbDevice &e : usbDeviceTable)
        if (e.state.load() != UsbEntryEmpty) e.clear();
    // Broken sysfs: bad "dev", truncated descriptors, no usbfs file.
    std::string kpath = plug(1, "1", 0x0781, 0x5567);
    std::string dir = root + "/sys" + kpath;
    writeFile(dir + "/dev", "garbage\n");
    EXPECT_EQ(handle(uevent("add", kpath, 1, 4, 0x0781, 0x5567, "0/0/0", 3)), -1);
    writeFile(dir + "/dev", "189:5\n");
    writeFile(dir + "/descriptors", descriptors(0x0781, 0x5567, 0, 8).substr(0, 30));
    EXPECT_EQ(handle(uevent("add", kpath, 1, 4, 0x0781, 0x5567, "0/0/0", 3)), -1);
    writeFile(dir + "/descriptors", descriptors(0x0781, 0x5567, 0, 8));
    fake.failOpen = true;
    EXPECT_EQ(handle(uevent("add", kpath, 1, 4, 0x0781, 0x5567, "0/0/0", 3)), -1);
    fake.failOpen = false;
    // A bus or device number that does not fit the node names.
    EXPECT_EQ(handle(uevent("add", kpath, 1000, 4, 0x0781, 0x5567, "0/0/0", 3)), -1);
    EXPECT_EQ(connects, 3);
    EXPECT_EQ(disconnects, 0);
    EXPECT_EQ(usbDeviceTable[0].state.load(), UsbEntryEmpty);
}

TEST_F(UsbHotplugTest, RemovalOfAnOpenedDeviceTakesItFromItsClientFirst) {
    static std::vector<std::string> calls;
    calls.clear();
    // The first removal finds the holder gone meanwhile; the second one is left to it.
    usbDeviceHooks().takeFromClient = [](UsbDevice &e) {
        calls.push_back(e.removed ? "take(removed)" : "take");
        if (calls.size() > 2) return true;
        e.state = UsbEntryPresent;
        return false;
    };
    usbDeviceHooks().disconnected = [](UsbDevice &) {
        calls.push_back("disconnected");
        return 0;
    };
    std::string kpath = plug(1, "1", 0x0781, 0x5567);
    ASSERT_EQ(handle(uevent("add", kpath, 1, 4, 0x0781, 0x5567, "0/0/0", 3)), 0);
    usbDeviceTable[0].state = UsbEntryOpened;
    EXPECT_EQ(handle(uevent("remove", kpath, 1, 4, 0x0781, 0x5567, "0/0/0", 3)), 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"take(removed)", "disconnected"}));
    EXPECT_EQ(usbDeviceTable[0].state.load(), UsbEntryEmpty);

    ASSERT_EQ(handle(uevent("add", kpath, 1, 4, 0x0781, 0x5567, "0/0/0", 3)), 0);
    usbDeviceTable[0].state = UsbEntryOpened;
    EXPECT_EQ(handle(uevent("remove", kpath, 1, 4, 0x0781, 0x5567, "0/0/0", 3)), 0);
    EXPECT_EQ(calls.back(), "take(removed)");
    EXPECT_EQ(usbDeviceTable[0].state.load(), UsbEntryOpened); // the holder clears it
    usbDeviceTable[0].clear();
}

TEST_F(UsbHotplugTest, PreparingTheTreeKeepsTheCreationMask) {
    std::error_code ec;
    fs::remove_all(root + "/dev/bus", ec);
    fs::remove(root + "/proc/mounts", ec);
    mode_t old = ::umask(077);
    EXPECT_EQ(prepareUsbfsTree(), 0);
    EXPECT_EQ(::umask(old), 077u); // unchanged by the preparation
    struct stat st;
    ASSERT_EQ(::stat((root + "/dev/bus/usb").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    ASSERT_EQ(::stat((root + "/dev/bus").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    // Without a sysfs line in the mount table, sysfs is mounted; a failed mount stops.
    ASSERT_EQ(fake.mounts.size(), 1u);
    EXPECT_EQ(fake.mounts[0], "sysfs " + root + "/sys");
    fake.mountResult = -1;
    EXPECT_EQ(prepareUsbfsTree(), -1);
}

TEST_F(UsbHotplugTest, StatusBlockListsEntriesWithEscapedTexts) {
    std::string kpath = plug(1, "1", 0x0781, 0x5567);
    std::string dir = root + "/sys" + kpath;
    writeFile(dir + "/product", "<b>Stick</b>\n");
    ASSERT_EQ(handle(uevent("add", kpath, 1, 4, 0x0781, 0x5567, "0/0/0", 3)), 0);
    std::string html;
    usb_srv_status([&](const char *d, size_t n) {
        html.append(d, n);
        return true;
    });
    EXPECT_NE(html.find("<span> Population Urbs:"), std::string::npos);
    EXPECT_NE(html.find("MMap:\"MMapPool\" MaxMaps:64"), std::string::npos);
    EXPECT_NE(html.find("USB[ 0] slot:01 addr:01:004 lev:1 [1]"), std::string::npos);
    EXPECT_NE(html.find("<TD> [0781] Maker</TD></TR>"), std::string::npos);
    EXPECT_EQ(html.find("<b>Stick"), std::string::npos);
    EXPECT_NE(html.find("&lt;b&gt;Stick"), std::string::npos);
    EXPECT_NE(html.find("<TD>480MBit/s (high) / 100mA</TD>"), std::string::npos);
    EXPECT_NE(html.find("<TD>0200 / 0102</TD>"), std::string::npos);
    EXPECT_NE(html.find("Bulk:1:1 Int:1:0"), std::string::npos);
    EXPECT_NE(html.find("<TD>unused</TD></TR>"), std::string::npos);
    EXPECT_NE(html.find("(dd/hh/mm.ss)"), std::string::npos);
    EXPECT_NE(html.find("</tbody></TABLE>\n"), std::string::npos);
    EXPECT_STREQ(usbSpeedName(4), "unexspected");
    EXPECT_STREQ(usbSpeedName(0), "1.5MBit/s (low)");
}

TEST_F(UsbHotplugTest, GarbageUeventsChangeNothing) {
    std::string kpath = plug(1, "1", 0x0781, 0x5567);
    auto join = [](std::initializer_list<std::string> parts) {
        std::string s;
        for (const std::string &p : parts) {
            s += p;
            s.push_back('\0');
        }
        return s;
    };
    const std::string bad[] = {
        "",
        "add@",
        join({"add@/x", "DEVTYPE=usb_device", "DEVPATH=/../../../etc", "BUSNUM=1", "DEVNUM=4"}),
        join({"add@/x", "DEVTYPE=usb_device", "DEVPATH=" + kpath, "BUSNUM=0", "DEVNUM=4"}),
        join({"add@/x", "DEVTYPE=usb_device", "DEVPATH=" + kpath, "BUSNUM=1", "DEVNUM=4", "TYPE=9/0/0"}),
        std::string(5000, 'a'),
        std::string(300, '\0'),
    };
    for (const std::string &b : bad)
        EXPECT_EQ(handle(b), -1);
    EXPECT_EQ(connects + disconnects, 0);
}
