// The rfkill watcher: an interface without a phy gets none.
#include "wireless/drivers/rfkill.h"

#include <gtest/gtest.h>

TEST(Rfkill, NoWatcherWithoutARadio) {
    rfkill_config cfg{};
    snprintf(cfg.ifname, sizeof(cfg.ifname), "lo");
    EXPECT_EQ(rfkill_init(&cfg), nullptr);
    EXPECT_EQ(rfkill_is_blocked(nullptr), 0);
}
