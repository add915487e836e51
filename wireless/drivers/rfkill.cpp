#include "wireless/drivers/rfkill.h"

#include "core/sysroot.h"
#include "wireless/core/eloop.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

struct rfkill_data {
    rfkill_config cfg;
    int fd;
    uint32_t idx;
    int blocked;
};

namespace {

constexpr uint8_t OpAdd = 0, OpChange = 2, TypeWlan = 1;
constexpr size_t EventSize = 8;

uint32_t ev_idx(const uint8_t *ev) {
    uint32_t v;
    memcpy(&v, ev, 4);
    return v;
}

void receive(int sock, void *eloop_ctx, void *) {
    auto *rfkill = static_cast<rfkill_data *>(eloop_ctx);
    uint8_t ev[EventSize];
    ssize_t len = read(sock, ev, sizeof(ev));
    if (len == static_cast<ssize_t>(EventSize)) rfkill_handle_event(rfkill, ev, EventSize);
}

} // namespace

void rfkill_handle_event(rfkill_data *rfkill, const uint8_t *ev, size_t len) {
    if (len < EventSize || ev[5] != OpChange || ev_idx(ev) != rfkill->idx) return;
    int blocked = ev[6] || ev[7];
    if (blocked == rfkill->blocked) return;
    rfkill->blocked = blocked;
    auto cb = blocked ? rfkill->cfg.blocked_cb : rfkill->cfg.unblocked_cb;
    if (cb) cb(rfkill->cfg.ctx);
}

rfkill_data *rfkill_init(const rfkill_config *cfg) {
    char path[128], phy[PATH_MAX];
    snprintf(path, sizeof(path), "/sys/class/net/%s/phy80211", cfg->ifname);
    if (realpath(path, phy) == nullptr) return nullptr;
    int fd = open(sysPath("/dev/rfkill").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    auto *rfkill = static_cast<rfkill_data *>(calloc(1, sizeof(rfkill_data)));
    if (rfkill == nullptr) {
        close(fd);
        return nullptr;
    }
    rfkill->cfg = *cfg;
    rfkill->fd = fd;
    bool found = false;
    uint8_t ev[EventSize];
    while (read(fd, ev, sizeof(ev)) == static_cast<ssize_t>(EventSize)) {
        if (found || ev[5] != OpAdd || ev[4] != TypeWlan) continue;
        char dev[128], devpath[PATH_MAX];
        snprintf(dev, sizeof(dev), "/sys/class/rfkill/rfkill%u/device", ev_idx(ev));
        if (realpath(dev, devpath) == nullptr || strcmp(devpath, phy) != 0) continue;
        found = true;
        rfkill->idx = ev_idx(ev);
        rfkill->blocked = ev[6] || ev[7];
    }
    if (!found || eloop_register_read_sock(fd, receive, rfkill, nullptr) < 0) {
        close(fd);
        free(rfkill);
        return nullptr;
    }
    return rfkill;
}

rfkill_data *rfkill_watch_index(const rfkill_config *cfg, uint32_t idx, int blocked) {
    auto *rfkill = static_cast<rfkill_data *>(calloc(1, sizeof(rfkill_data)));
    if (rfkill == nullptr) return nullptr;
    rfkill->cfg = *cfg;
    rfkill->fd = -1;
    rfkill->idx = idx;
    rfkill->blocked = blocked;
    return rfkill;
}

void rfkill_deinit(rfkill_data *rfkill) {
    if (rfkill == nullptr) return;
    if (rfkill->fd >= 0) {
        eloop_unregister_read_sock(rfkill->fd);
        close(rfkill->fd);
    }
    free(rfkill);
}

int rfkill_is_blocked(const rfkill_data *rfkill) {
    return rfkill ? rfkill->blocked : 0;
}
