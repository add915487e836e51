#include "usbserver/usb_uevent.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::string uevent(const std::string &header, const std::vector<std::string> &vars) {
    std::string s = header;
    s.push_back('\0');
    for (const std::string &v : vars) {
        s += v;
        s.push_back('\0');
    }
    return s;
}

const std::vector<std::string> deviceVars = {"ACTION=add",
                                             "DEVPATH=/devices/platform/ehci/usb1/1-1",
                                             "SUBSYSTEM=usb",
                                             "MAJOR=189",
                                             "MINOR=3",
                                             "DEVNAME=bus/usb/001/004",
                                             "DEVTYPE=usb_device",
                                             "PRODUCT=5ac/12a8/1001",
                                             "TYPE=0/0/0",
                                             "BUSNUM=001",
                                             "DEVNUM=004",
                                             "SEQNUM=1234"};

} // namespace

TEST(Uevent, ReadsTheVariablesOfADeviceAddition) {
    std::string s = uevent("add@/devices/platform/ehci/usb1/1-1", deviceVars);
    Uevent ev;
    ASSERT_TRUE(parseUevent(s.data(), s.size(), ev));
    EXPECT_EQ(ev.action, Uevent::Add);
    EXPECT_EQ(ev.major, 189);
    EXPECT_EQ(ev.minor, 3);
    EXPECT_EQ(ev.busNumber, 1);
    EXPECT_EQ(ev.deviceNumber, 4);
    EXPECT_EQ(ev.vendorId, 0x5ac);
    EXPECT_EQ(ev.productId, 0x12a8);
    EXPECT_EQ(ev.release, 1001);
    EXPECT_EQ(ev.deviceClass, 0);
    EXPECT_TRUE(ev.usbDevice);
    EXPECT_FALSE(ev.storageSlot);
    ASSERT_TRUE(ev.hasDevpath);
    EXPECT_STREQ(ev.devpath, "/devices/platform/ehci/usb1/1-1");
}

TEST(Uevent, OtherMessagesAndInterfacesAreTold) {
    std::string change = uevent("change@/devices/x", deviceVars);
    Uevent ev;
    EXPECT_FALSE(parseUevent(change.data(), change.size(), ev));

    std::string iface = uevent("add@/devices/platform/ehci/usb1/1-1/1-1:1.0",
                               {"DEVPATH=/devices/platform/ehci/usb1/1-1/1-1:1.0", "DEVTYPE=usb_interface",
                                "TYPE=9/0/0", "INTERFACE=8/6/80"});
    ASSERT_TRUE(parseUevent(iface.data(), iface.size(), ev));
    EXPECT_FALSE(ev.usbDevice);
    EXPECT_EQ(ev.deviceClass, 9);

    std::string slot = uevent("add@/devices/mmc/block/mmcblk0", {"DEVNAME=mmcblk0", "DEVTYPE=disk"});
    ASSERT_TRUE(parseUevent(slot.data(), slot.size(), ev));
    EXPECT_TRUE(ev.storageSlot);
    EXPECT_FALSE(ev.usbDevice);

    std::string remove = uevent("remove@/devices/x", {"DEVTYPE=usb_device", "DEVPATH=/devices/x"});
    ASSERT_TRUE(parseUevent(remove.data(), remove.size(), ev));
    EXPECT_EQ(ev.action, Uevent::Remove);
}

TEST(Uevent, RefusesPathsThatLeaveSysfsAndNumbersThatOverflow) {
    const char *badPaths[] = {"DEVPATH=/devices/../../etc", "DEVPATH=devices/x",   "DEVPATH=/devices/./x",
                              "DEVPATH=/devices//x",        "DEVPATH=/devices/x/", "DEVPATH=/dev\x81x",
                              "DEVPATH=/dev ices",          "DEVPATH=/..",         "DEVPATH="};
    for (const char *p : badPaths) {
        std::string s = uevent("add@/x", {p, "DEVTYPE=usb_device"});
        Uevent ev;
        ASSERT_TRUE(parseUevent(s.data(), s.size(), ev));
        EXPECT_FALSE(ev.hasDevpath) << p;
    }
    std::string longPath = "DEVPATH=/" + std::string(300, 'a');
    std::string s =
        uevent("add@/x", {longPath, "MAJOR=99999999999999", "PRODUCT=ffffffffff/1/1", "BUSNUM=-1"});
    Uevent ev;
    ASSERT_TRUE(parseUevent(s.data(), s.size(), ev));
    EXPECT_FALSE(ev.hasDevpath);
    EXPECT_EQ(ev.major, 0);
    EXPECT_EQ(ev.vendorId, 0);
    EXPECT_EQ(ev.busNumber, 0);
    // "DEVTYPE=usb_device" must be the whole variable.
    s = uevent("add@/x", {"DEVTYPE=usb_devicex"});
    ASSERT_TRUE(parseUevent(s.data(), s.size(), ev));
    EXPECT_FALSE(ev.usbDevice);
}

TEST(Uevent, ListenerLooksOnlyAtLongDatagramsWithoutKernelInTheFirstLine) {
    std::string ok = uevent("add@/devices/platform/usb1/1-1", deviceVars);
    EXPECT_TRUE(ueventWanted(ok.data(), ok.size()));
    EXPECT_FALSE(ueventWanted("add@/devices/x", 14));
    std::string kernel = uevent("add@/devices/kernel/x", deviceVars);
    EXPECT_FALSE(ueventWanted(kernel.data(), kernel.size()));
    EXPECT_FALSE(ueventWanted(nullptr, 100));
}

TEST(Uevent, SurvivesGarbage) {
    std::mt19937 rng(7);
    std::vector<char> buf(UeventMaxLength + 64);
    for (int round = 0; round < 2000; round++) {
        size_t n = rng() % buf.size();
        for (size_t i = 0; i < n; i++)
            buf[i] = static_cast<char>(rng() % 4 == 0 ? 0 : rng());
        if (round % 2 == 0 && n > 4) std::memcpy(buf.data(), "add@", 4);
        Uevent ev;
        parseUevent(buf.data(), n, ev);
        ueventWanted(buf.data(), n);
        if (ev.hasDevpath) {
            EXPECT_EQ(ev.devpath[0], '/');
            EXPECT_EQ(std::string(ev.devpath).find("/../"), std::string::npos);
        }
    }
    // No terminating zero at the end of the datagram.
    std::string s = "add@/x";
    s.push_back('\0');
    s += "DEVPATH=/devices/usb1";
    Uevent ev;
    ASSERT_TRUE(parseUevent(s.data(), s.size(), ev));
    EXPECT_STREQ(ev.devpath, "/devices/usb1");
}
