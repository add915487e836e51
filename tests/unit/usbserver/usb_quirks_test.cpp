#include "usbserver/usb_device.h"
#include "usbserver/usb_quirks.h"

#include <gtest/gtest.h>

TEST(UsbQuirks, TableHoldsTheThirtyFiveRows) {
    size_t count = 0;
    const UsbQuirkRow *rows = usbQuirkRows(count);
    ASSERT_EQ(count, 35u);
    EXPECT_EQ(rows[0].vendorId, 0x028D);
    EXPECT_EQ(rows[34].vendorId, 0xF266);
}

TEST(UsbQuirks, LookupByIdsAndFlag) {
    struct Case {
        uint16_t vendor, product;
        uint32_t flag;
        bool expected;
    } cases[] = {
        // Apple: every product has the reset, string-238 and close-reset quirks.
        {0x05AC, 0x1234, QuirkNoEffect800, true},
        {0x05AC, 0x1234, QuirkNoResetCommand, true},
        {0x05AC, 0x0001, QuirkCloseUsbfsReset, true},
        {0x05AC, 0x9999, QuirkNoString238, true},
        {0x05AC, 0x1234, QuirkPowerCycle1s, false},
        // The row names product 0x0001 only.
        {0x0529, 0x0001, QuirkTimeoutReset, true},
        {0x0529, 0x0002, QuirkTimeoutReset, false},
        // Several flags in one row, each asked on its own.
        {0x088E, 0x5036, QuirkPowerCycle3s, true},
        {0x088E, 0x5036, QuirkNoString238, true},
        {0x088E, 0x5036, QuirkConfigZeroFirst, true},
        {0x088E, 0x5036, QuirkCloseSkipReset, false},
        {0x088E, 0x5036, QuirkPowerCycle2s, false},
        {0x04B4, 0x1235, QuirkFirstConfig, true},
        {0x04B4, 0x1235, QuirkClosePowerCycle, true},
        // Vendor wildcards.
        {0x0D46, 0xABCD, QuirkUnconfigBoardReset, true},
        {0x1BC0, 0x0001, QuirkNoString238, true},
        // The same ids in two rows.
        {0xF266, 0x9A0A, QuirkNoResetCommand, true},
        // Unknown device.
        {0x1234, 0x5678, 0xFFFFFFFF, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(hasQuirk(c.vendor, c.product, c.flag), c.expected)
            << std::hex << c.vendor << ":" << c.product << " flag " << c.flag;
}

TEST(UsbQuirks, EntryIsJudgedByItsDeviceDescriptor) {
    UsbDevice dev;
    // Vendor and product of the uevent do not count; the descriptor's do.
    dev.vendorId = 0x05AC;
    dev.productId = 0x1234;
    EXPECT_FALSE(hasQuirk(dev, QuirkNoResetCommand));
    dev.deviceDescriptor[8] = 0xAC;
    dev.deviceDescriptor[9] = 0x05;
    EXPECT_TRUE(hasQuirk(dev, QuirkNoResetCommand));
}
