// The rfkill watcher: an interface without a phy gets none; events of the watched index
// change the block state, others are ignored.
#include "wireless/drivers/rfkill.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

TEST(Rfkill, NoWatcherWithoutARadio) {
    rfkill_config cfg{};
    snprintf(cfg.ifname, sizeof(cfg.ifname), "lo");
    EXPECT_EQ(rfkill_init(&cfg), nullptr);
    EXPECT_EQ(rfkill_is_blocked(nullptr), 0);
}

namespace {
int blocked_calls, unblocked_calls;
void on_blocked(void *) {
    blocked_calls++;
}
void on_unblocked(void *) {
    unblocked_calls++;
}
} // namespace

TEST(Rfkill, OnlyChangeEventsOfTheWatchedIndexCount) {
    struct Case {
        const char *what;
        uint32_t idx;
        uint8_t op, soft, hard;
        size_t len;
        int blocked, blocked_calls, unblocked_calls;
    };
    // The watcher follows index 3 and starts unblocked.
    const Case cases[] = {
        {"soft block", 3, 2, 1, 0, 8, 1, 1, 0},
        {"hard block", 3, 2, 0, 1, 8, 1, 1, 0},
        {"another index", 4, 2, 1, 1, 8, 0, 0, 0},
        {"index 0 is another index too", 0, 2, 1, 0, 8, 0, 0, 0},
        {"add, not change", 3, 0, 1, 0, 8, 0, 0, 0},
        {"short event", 3, 2, 1, 0, 7, 0, 0, 0},
        {"no change of state", 3, 2, 0, 0, 8, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        blocked_calls = unblocked_calls = 0;
        rfkill_config cfg{};
        cfg.blocked_cb = on_blocked;
        cfg.unblocked_cb = on_unblocked;
        rfkill_data *rf = rfkill_watch_index(&cfg, 3, 0);
        ASSERT_NE(rf, nullptr);
        uint8_t ev[8] = {};
        memcpy(ev, &c.idx, 4);
        ev[4] = 1; // wlan
        ev[5] = c.op;
        ev[6] = c.soft;
        ev[7] = c.hard;
        rfkill_handle_event(rf, ev, c.len);
        EXPECT_EQ(rfkill_is_blocked(rf), c.blocked);
        EXPECT_EQ(blocked_calls, c.blocked_calls);
        EXPECT_EQ(unblocked_calls, c.unblocked_calls);
        if (c.blocked) {
            // Unblocking the same index reports it once.
            uint8_t clear[8] = {};
            memcpy(clear, &c.idx, 4);
            clear[4] = 1;
            clear[5] = 2;
            rfkill_handle_event(rf, clear, 8);
            EXPECT_EQ(rfkill_is_blocked(rf), 0);
            EXPECT_EQ(unblocked_calls, 1);
        }
        rfkill_deinit(rf);
    }
}
