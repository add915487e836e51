// A radio of the nl80211 back end for the fuzz targets: contexts built by hand, and a
// socket seam whose kernel acknowledges every request, so handlers that ask the kernel
// something on the way finish at once.
#pragma once

#include "wireless/core/eloop.h"
#include "wireless/drivers/driver_nl80211_internal.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <linux/genetlink.h>
#include <linux/netlink.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace fuzzenv {

inline std::deque<std::vector<uint8_t>> &answers() {
    static std::deque<std::vector<uint8_t>> q;
    return q;
}

// Messages the kernel answers a command with, before its acknowledgement.
inline std::vector<std::vector<uint8_t>> &script(uint8_t cmd) {
    static std::vector<std::vector<uint8_t>> per_cmd[256];
    return per_cmd[cmd];
}

inline int f_open() {
    return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}
inline void f_close(int fd) {
    close(fd);
}
inline int f_send(int, const void *buf, size_t len) {
    if (len >= NLMSG_HDRLEN + GENL_HDRLEN)
        for (const auto &m : script(static_cast<const uint8_t *>(buf)[NLMSG_HDRLEN]))
            answers().push_back(m);
    std::vector<uint8_t> ack(NLMSG_HDRLEN + sizeof(nlmsgerr));
    auto *h = reinterpret_cast<nlmsghdr *>(ack.data());
    h->nlmsg_len = static_cast<uint32_t>(ack.size());
    h->nlmsg_type = NLMSG_ERROR;
    memcpy(ack.data() + NLMSG_HDRLEN + sizeof(int), buf, len < sizeof(nlmsghdr) ? len : sizeof(nlmsghdr));
    answers().push_back(ack);
    return 0;
}
inline ssize_t f_recv(int, void *buf, size_t len) {
    if (answers().empty()) return -EAGAIN;
    std::vector<uint8_t> a = answers().front();
    answers().pop_front();
    if (a.size() > len) return -EMSGSIZE;
    memcpy(buf, a.data(), a.size());
    return static_cast<ssize_t>(a.size());
}
inline int f_join(int, int) {
    return 0;
}
inline uint32_t f_port(int) {
    return 4242;
}
inline int f_nonblock(int, int) {
    return 0;
}
inline unsigned int f_index(const char *) {
    return 7;
}
inline int f_set_up(const char *, int) {
    return 0;
}
inline int f_is_up(const char *) {
    return 1;
}
inline int f_get_mac(const char *, uint8_t *addr) {
    memset(addr, 2, 6);
    return 0;
}
inline int f_set_mac(const char *, const uint8_t *) {
    return 0;
}
inline int f_oper(netlink_data *, int, int, int) {
    return 0;
}
inline void f_sleep(int) {}

inline const nl80211_io_ops io = {f_open,  f_close,  f_send,  f_recv,    f_join,    f_port, f_nonblock,
                                  f_index, f_set_up, f_is_up, f_get_mac, f_set_mac, f_oper, f_sleep};

struct Radio {
    nl80211_global global{};
    nl80211_drv drv{};
    nl80211_iface bss{};
};

inline void events_off(void *, wpa_event_type, const wpa_event_data *) {}

// A fresh radio in a state chosen by the byte.
inline Radio *radio(uint8_t state) {
    static bool once = [] {
        eloop_init();
        nl80211_io_set(&io);
        supplicant_event_set_observer(events_off);
        return true;
    }();
    (void)once;
    auto *r = new Radio();
    r->global.nl = f_open();
    r->global.nl_event = -1;
    r->global.nl80211_id = 30;
    r->global.radios = &r->drv;
    r->drv.global = &r->global;
    r->drv.first_bss = &r->bss;
    r->drv.ifindex = 7;
    r->drv.monitor_ifidx = -1;
    r->drv.monitor_sock = -1;
    r->drv.eapol_tx_sock = -1;
    r->drv.has_capability = 1;
    r->drv.ap_scan_as_station = NL80211_IFTYPE_UNSPECIFIED;
    static const int modes[4] = {NL80211_IFTYPE_STATION, NL80211_IFTYPE_AP, NL80211_IFTYPE_ADHOC,
                                 NL80211_IFTYPE_MESH_POINT};
    r->drv.nlmode = modes[state & 3];
    if (state & 0x04) r->drv.capa.flags |= WPA_DRIVER_FLAGS_SME;
    r->drv.associated = (state & 0x08) ? 1 : 0;
    r->drv.device_ap_sme = (state & 0x10) ? 1 : 0;
    r->drv.last_scan_cmd = (state & 0x20) ? NL80211_CMD_TRIGGER_SCAN : 0;
    r->drv.ignore_next_local_deauth = (state & 0x40) ? 1 : 0;
    r->drv.ignore_next_local_disconnect = (state & 0x80) ? 1 : 0;
    memset(r->drv.bssid, 0x11, 6);
    memset(r->drv.prev_bssid, 0x22, 6);
    r->bss.drv = &r->drv;
    r->bss.ifindex = 7;
    r->bss.nl_mgmt = -1;
    r->bss.nl_preq = -1;
    memcpy(r->bss.ifname, "wlan0", 6);
    memset(r->bss.addr, 2, 6);
    return r;
}

inline void release(Radio *r) {
    eloop_cancel_timeout(nl80211_scan_timeout, &r->drv, ELOOP_ALL_CTX);
    if (r->bss.nl_mgmt >= 0) {
        eloop_unregister_read_sock(r->bss.nl_mgmt);
        close(r->bss.nl_mgmt);
    }
    close(r->global.nl);
    free(r->drv.filter_ssids);
    free(r->drv.if_indices);
    free(r->drv.extended_capa);
    free(r->drv.extended_capa_mask);
    for (unsigned int i = 0; i < r->drv.num_iface_ext_capa; i++) {
        free(r->drv.iface_ext_capa[i].ext_capa);
        free(r->drv.iface_ext_capa[i].ext_capa_mask);
    }
    nl80211_free_auth_saved(&r->drv);
    answers().clear();
    for (int c = 0; c < 256; c++)
        script(static_cast<uint8_t>(c)).clear();
    delete r;
}

// The input as generic-netlink messages: each chunk is [command][length: 2 bytes LE] and
// that many attribute bytes (cut at the end of the input), in a buffer of exactly its size.
template <typename F> void each_message(const uint8_t *data, size_t size, F f) {
    size_t off = 0;
    while (size - off >= 3) {
        uint8_t cmd = data[off];
        size_t len = data[off + 1] | (static_cast<size_t>(data[off + 2]) << 8);
        off += 3;
        if (len > size - off) len = size - off;
        std::vector<uint8_t> msg(NLMSG_HDRLEN + GENL_HDRLEN + len);
        auto *h = reinterpret_cast<nlmsghdr *>(msg.data());
        h->nlmsg_len = static_cast<uint32_t>(msg.size());
        h->nlmsg_type = 30;
        auto *g = reinterpret_cast<genlmsghdr *>(msg.data() + NLMSG_HDRLEN);
        g->cmd = cmd;
        memcpy(msg.data() + NLMSG_HDRLEN + GENL_HDRLEN, data + off, len);
        off += len;
        f(h);
    }
}

} // namespace fuzzenv
