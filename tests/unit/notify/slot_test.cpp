#include "notify/slot.h"

#include "notify/notify.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

namespace {

TEST(SlotState, ReportsEachChangeAsTheEventRelayAndDisplayCodes) {
    const struct {
        int previous, state;
        uint32_t event, relay;
        const char *display;
    } cases[] = {
        {0, 0, NotifyCardMissing, 0x200, "rrs"},
        {3, 0, NotifyCardOut, 0x200, "rrs"},
        {1, 0, NotifyCardOut, 0x200, "rrs"},
        {0, 1, NotifyCardUnusable, 0x400, "srr"},
        {1, 1, 0, 0, nullptr},
        {0, 2, NotifyCardProtected, 0x400, "rsr"},
        {0, 3, NotifyCardReady, 0x100, "rrr"},
        {2, 3, NotifyCardReady, 0x100, "rrr"},
        {0, 4, 0, 0, nullptr},
        {0, -1, 0, 0, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.previous) + " -> " + std::to_string(c.state));
        SlotReport r = slotStateReport(c.previous, c.state);
        EXPECT_EQ(r.event, c.event);
        EXPECT_EQ(r.relay, c.relay);
        if (c.display == nullptr)
            EXPECT_EQ(r.display, nullptr);
        else
            EXPECT_STREQ(r.display, c.display);
    }
}

TEST(SlotState, AnAnnouncementNeverSetsAReachedStateBack) {
    // The notification task announces the slot while the slot task works: the state
    // reached stays at every moment, and nothing else sets it back afterwards.
    StorageSlot slot(1);
    slot.setState(3);
    std::atomic<bool> done{false};
    std::thread announcer([&] {
        for (int i = 0; i < 300; i++)
            slot.announce();
        done = true;
    });
    int seen = 3;
    while (!done && seen == 3)
        seen = slot.slotState();
    announcer.join();
    EXPECT_EQ(seen, 3);
    EXPECT_EQ(slot.slotState(), 3);
}

TEST(SlotDetect, AnotherCardIsAnotherMedium) {
    SlotEntry a, b;
    slotSdEntry("0001", 4, "SD16G", 5, a);
    slotSdEntry("0001", 4, "SD16G", 5, b);
    EXPECT_TRUE(slotSameMedium(a, b));
    slotSdEntry("0002", 4, "SD16G", 5, b);
    EXPECT_FALSE(slotSameMedium(a, b)) << "same kind and vendor, another card";
    slotSdEntry("0001", 4, "SD16G", 5, b);
    b.kind = SlotUsbDisk;
    EXPECT_FALSE(slotSameMedium(a, b));
}

TEST(SlotDetect, SdCardFromItsSysfsTexts) {
    SlotEntry e;
    const char cid[] = "035344534431364780a1b2c3d40137e1\n";
    const char name[] = "SD16G\n";
    slotSdEntry(cid, sizeof cid - 1, name, sizeof name - 1, e);
    EXPECT_EQ(e.kind, SlotSdCard);
    EXPECT_STREQ(e.devName, "mmcblk0");
    EXPECT_STREQ(e.partSuffix, "p1");
    EXPECT_STREQ(e.vendor, "mvsdio");
    EXPECT_STREQ(e.model, "SD SD16G");
    EXPECT_STREQ(e.cid, "035344534431364780a1b2c3d40137e1");
    // A name longer than the model field is cut, never overrun.
    std::string longName(200, 'N');
    slotSdEntry(cid, 3, longName.data(), longName.size(), e);
    EXPECT_EQ(std::strlen(e.model), sizeof e.model - 1);
    EXPECT_STREQ(e.cid, "035");
}

TEST(SlotDetect, UsbDisksFromTheScsiList) {
    const std::string text = "Attached devices:\n"
                             "Host: scsi0 Channel: 00 Id: 00 Lun: 00 UsbId: 1 Dev: sda\n"
                             "  Vendor: SanDisk  Model: Cruzer Blade     Rev: 1.00\n"
                             "  Type:   Direct-Access                    ANSI  SCSI revision: 06\n"
                             "Host: scsi1 Channel: 00 Id: 00 Lun: 00\n"
                             "  Vendor: Ignored  Model: no UsbId         Rev: 1.00\n"
                             "Host: scsi2 Channel: 00 Id: 00 Lun: 00 UsbId: 2 Dev: sdb\n"
                             "  Vendor: VeryLongVendorNameThatDoesNotEndSoon Model: X\n"
                             "Host: scsi3 UsbId: 3 Dev: sdc\n";
    SlotEntry e[2];
    ASSERT_EQ(slotScsiEntries(text.data(), text.size(), e, 2), 2);
    EXPECT_EQ(e[0].kind, SlotUsbDisk);
    EXPECT_STREQ(e[0].devName, "sda");
    EXPECT_STREQ(e[0].partSuffix, "1");
    EXPECT_STREQ(e[0].vendor, "SanDisk");
    EXPECT_STREQ(e[0].model, "Cruzer Blade");
    EXPECT_EQ(e[1].kind, SlotUsbDisk);
    EXPECT_STREQ(e[1].devName, "sdb");
    EXPECT_EQ(std::strlen(e[1].vendor), 30u);
    // A host line without its vendor line keeps the number after "UsbId:" as its kind.
    SlotEntry one[1];
    const std::string cut = "Host: scsi3 UsbId: 7 Dev: sdc\n";
    ASSERT_EQ(slotScsiEntries(cut.data(), cut.size(), one, 1), 1);
    EXPECT_EQ(one[0].kind, 7);
    EXPECT_STREQ(one[0].devName, "sdc");
    EXPECT_EQ(slotScsiEntries(cut.data(), cut.size(), one, 0), 0);
}

TEST(SlotDetect, CountsThePartitionsOfTheCard) {
    const std::string whole = "major minor  #blocks  name\n\n 179        0      32768 mmcblk0\n"
                              "   8        0    1000000 sda\n";
    const std::string parted = whole + " 179        1      31744 mmcblk0p1\n";
    EXPECT_EQ(slotPartitionCount(whole.data(), whole.size(), "mmcblk0"), 1);
    EXPECT_EQ(slotPartitionCount(parted.data(), parted.size(), "mmcblk0"), 2);
    EXPECT_EQ(slotPartitionCount(parted.data(), parted.size(), "sdb"), 0);
    EXPECT_EQ(slotPartitionCount(parted.data(), parted.size(), ""), 0);
    const std::string noNewline = " 179 0 1 mmcblk0";
    EXPECT_EQ(slotPartitionCount(noNewline.data(), noNewline.size(), "mmcblk0"), 1);
}

} // namespace
