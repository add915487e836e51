// The device MIB's fixed maps: the table columns and the SNMP numbers of enumerations.
#include "core/param.h"
#include "param_catalogue.h"
#include "snmp/snmp_internal.h"
#include "tests/unit/core/param_guard.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(DeviceTables, ColumnMap) {
    const struct {
        const char *table;
        unsigned column;
        const char *prefix; // null: no family
        uint8_t type;
    } table[] = {
        {"ipFilterTab", 2, "ip_filter_on_", 0x02},
        {"ipFilterTab", 3, "ip_filter_", 0x04},
        {"usbPortTab", 7, "zqn_vendprodIDs_", 0x04},
        {"usbPortTab", 6, nullptr, 0},
        {"usbPortTab", 8, nullptr, 0},
        {"usbPortTab", 11, nullptr, 0},
        {"zqnVLanTab", 5, "ipvlan_id_", 0x02},
        {"zqnVLanTab", 6, "ipvlan_router_", 0x04},
        {"zqnDevTab", 8, "usb_slot_", 0x02},
        {"zqnDevTab", 1, nullptr, 0},
        {"zqndevtab", 2, nullptr, 0},
        {"noTab", 2, nullptr, 0},
    };
    for (const auto &t : table) {
        uint8_t type = 0;
        const char *prefix = lookupColumn(t.table, t.column, type);
        if (t.prefix == nullptr) {
            EXPECT_EQ(prefix, nullptr) << t.table << " " << t.column;
        } else {
            ASSERT_NE(prefix, nullptr) << t.table << " " << t.column;
            EXPECT_STREQ(prefix, t.prefix);
            EXPECT_EQ(type, t.type) << t.table << " " << t.column;
        }
    }
}

// "wifi_mode" reads as the number of its option's idx code and is written with it.
TEST(Enumerations, WifiModeIsWrittenWithTheNumberItReadsAs) {
    ParamGuard guard({p_wifi_mode});
    for (long number : {1L, 2L}) {
        EXPECT_EQ(p_wifi_mode->setBySnmp(SnmpReserve1, reinterpret_cast<const uint8_t *>(&number), 2,
                                         sizeof number),
                  SnmpNoError);
        EXPECT_EQ(
            p_wifi_mode->setBySnmp(SnmpAction, reinterpret_cast<const uint8_t *>(&number), 2, sizeof number),
            SnmpNoError);
        const void *value = nullptr;
        size_t length = 0;
        ASSERT_TRUE(p_wifi_mode->getSnmpValue(value, length));
        ASSERT_EQ(length, 1u);
        EXPECT_EQ(*static_cast<const uint8_t *>(value), number);
        EXPECT_TRUE(p_wifi_mode->equals(number == 1 ? "infra" : "softap"));
    }
    for (long number : {0L, 3L}) {
        EXPECT_EQ(p_wifi_mode->setBySnmp(SnmpReserve1, reinterpret_cast<const uint8_t *>(&number), 2,
                                         sizeof number),
                  SnmpWrongValue)
            << number;
    }
    // A list without such codes is written with its index, as it reads.
    ParamGuard hash({p_admin_hash});
    long sha = 1;
    EXPECT_EQ(p_admin_hash->setBySnmp(SnmpAction, reinterpret_cast<const uint8_t *>(&sha), 2, sizeof sha),
              SnmpNoError);
    EXPECT_TRUE(p_admin_hash->equals("sha"));
}

} // namespace
