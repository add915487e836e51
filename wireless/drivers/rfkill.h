// The rfkill watcher of a radio: follows the soft and hard block of the interface's phy
// through /dev/rfkill. Without a matching rfkill entry (or without the device, as under
// a sandbox root) there is no watcher and the back ends work without it.
#pragma once

#include <cstddef>
#include <cstdint>

struct rfkill_config {
    void *ctx;
    char ifname[16];
    void (*blocked_cb)(void *ctx);
    void (*unblocked_cb)(void *ctx);
};

struct rfkill_data;

rfkill_data *rfkill_init(const rfkill_config *cfg);
void rfkill_deinit(rfkill_data *rfkill);
int rfkill_is_blocked(const rfkill_data *rfkill);
// One event of the device (8 bytes: index, type, operation, soft, hard), for tests.
void rfkill_handle_event(rfkill_data *rfkill, const uint8_t *ev, size_t len);
// A watcher of a known rfkill index and block state with no device behind it, for tests;
// freed with rfkill_deinit.
rfkill_data *rfkill_watch_index(const rfkill_config *cfg, uint32_t idx, int blocked);
