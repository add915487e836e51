// The nl80211 back end's foundation: the request routine, the process-wide context with
// its event socket and multicast groups, the radio and interface contexts, interface
// start and tear-down, the interface-type switch with its frame subscriptions, the
// driver-parameter words, the status text and the operation table.
#include "wireless/drivers/driver_nl80211.h"

#include "wireless/common/ieee802_11_common.h"
#include "wireless/core/eloop.h"
#include "wireless/drivers/driver_nl80211_internal.h"
#include "wireless/drivers/linux_ioctl.h"
#include "wireless/drivers/rfkill.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/errqueue.h>
#include <linux/genetlink.h>
#include <linux/if_packet.h>
#include <netlink/attr.h>
#include <netlink/genl/genl.h>
#include <netlink/msg.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// An eloop-registered socket is kept in its context in this tagged form.
constexpr uintptr_t SockTag = 0x88888889;

void *tag_sock(int fd) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>(fd) ^ SockTag);
}

constexpr size_t RecvBufSize = 65536;

// Operational states of rtnetlink.
constexpr int IF_OPER_DORMANT = 5;
constexpr int IF_OPER_UP = 6;

} // namespace

uint8_t nla_u8_or(const nlattr *a, uint8_t def) {
    return a && nla_len(a) >= 1 ? nla_get_u8(const_cast<nlattr *>(a)) : def;
}
uint16_t nla_u16_or(const nlattr *a, uint16_t def) {
    return a && nla_len(a) >= 2 ? nla_get_u16(const_cast<nlattr *>(a)) : def;
}
uint32_t nla_u32_or(const nlattr *a, uint32_t def) {
    return a && nla_len(a) >= 4 ? nla_get_u32(const_cast<nlattr *>(a)) : def;
}
uint64_t nla_u64_or(const nlattr *a, uint64_t def) {
    if (a == nullptr || nla_len(a) < 8) return def;
    uint64_t v;
    memcpy(&v, nla_data(a), 8);
    return v;
}
const uint8_t *nla_addr(const nlattr *a) {
    return a && nla_len(a) == 6 ? static_cast<const uint8_t *>(nla_data(a)) : nullptr;
}

int nl80211_parse(nlmsghdr *nlh, nlattr **tb) {
    if (nlh->nlmsg_len < NLMSG_HDRLEN + GENL_HDRLEN) return -1;
    return genlmsg_parse(nlh, 0, tb, NL80211_ATTR_MAX, nullptr) < 0 ? -1 : 0;
}

void nl80211_receive_buffer(uint8_t *buf, size_t len, nl80211_handler handler, void *arg) {
    auto *nlh = reinterpret_cast<nlmsghdr *>(buf);
    int rem = static_cast<int>(len);
    for (; nlmsg_ok(nlh, rem); nlh = nlmsg_next(nlh, &rem)) {
        if (nlh->nlmsg_type < NLMSG_MIN_TYPE) continue;
        handler(nlh, arg);
    }
}

int send_and_recv_global(nl80211_global *global, int sock, nl_msg *msg, nl80211_handler handler, void *arg,
                         bool clear) {
    const nl80211_io_ops *io = nl80211_io();
    nlmsghdr *hdr = nlmsg_hdr(msg);
    hdr->nlmsg_flags |= NLM_F_REQUEST | NLM_F_ACK;
    hdr->nlmsg_seq = ++global->seq;
    hdr->nlmsg_pid = io->gnl_port(sock);
    int err = io->gnl_send(sock, hdr, hdr->nlmsg_len);
    if (clear) memset(nlmsg_data(hdr), 0, hdr->nlmsg_len - NLMSG_HDRLEN);
    nlmsg_free(msg);
    if (err < 0) return err;

    auto *buf = static_cast<uint8_t *>(malloc(RecvBufSize));
    if (buf == nullptr) return -ENOMEM;
    // Sequence numbers are not checked: every answer on this socket belongs to the one
    // request in flight. An error, an acknowledgement or the end of a dump ends it.
    err = 1;
    while (err > 0) {
        ssize_t n = io->gnl_recv(sock, buf, RecvBufSize);
        if (n < 0) {
            err = n == -EAGAIN ? -ETIMEDOUT : static_cast<int>(n);
            break;
        }
        auto *nlh = reinterpret_cast<nlmsghdr *>(buf);
        int rem = static_cast<int>(n);
        for (; err > 0 && nlmsg_ok(nlh, rem); nlh = nlmsg_next(nlh, &rem)) {
            if (nlh->nlmsg_type == NLMSG_DONE) {
                err = 0;
            } else if (nlh->nlmsg_type == NLMSG_ERROR) {
                if (nlh->nlmsg_len < NLMSG_HDRLEN + sizeof(int)) {
                    err = -EBADMSG;
                } else {
                    int e = *static_cast<int *>(nlmsg_data(nlh));
                    err = e > 0 ? -e : e;
                }
            } else if (nlh->nlmsg_type >= NLMSG_MIN_TYPE && handler) {
                handler(nlh, arg);
            }
        }
    }
    free(buf);
    return err;
}

int send_and_recv_msgs(nl80211_drv *drv, nl_msg *msg, nl80211_handler handler, void *arg, bool clear) {
    return send_and_recv_global(drv->global, drv->global->nl, msg, handler, arg, clear);
}

namespace {

nl_msg *genl_msg(int family, int flags, uint8_t cmd) {
    nl_msg *msg = nlmsg_alloc();
    if (msg == nullptr) return nullptr;
    if (genlmsg_put(msg, 0, 0, family, 0, flags, cmd, 0) == nullptr) {
        nlmsg_free(msg);
        return nullptr;
    }
    return msg;
}

} // namespace

nl_msg *nl80211_ifindex_msg(nl80211_drv *drv, int ifindex, int flags, uint8_t cmd) {
    nl_msg *msg = genl_msg(drv->global->nl80211_id, flags, cmd);
    if (msg && nla_put_u32(msg, NL80211_ATTR_IFINDEX, ifindex) < 0) {
        nlmsg_free(msg);
        return nullptr;
    }
    return msg;
}

nl_msg *nl80211_cmd_msg(nl80211_iface *bss, int flags, uint8_t cmd) {
    if (bss->wdev_id_set) {
        nl_msg *msg = genl_msg(bss->drv->global->nl80211_id, flags, cmd);
        if (msg && nla_put_u64(msg, NL80211_ATTR_WDEV, bss->wdev_id) < 0) {
            nlmsg_free(msg);
            return nullptr;
        }
        return msg;
    }
    return nl80211_ifindex_msg(bss->drv, bss->ifindex, flags, cmd);
}

nl_msg *nl80211_drv_msg(nl80211_drv *drv, int flags, uint8_t cmd) {
    return nl80211_cmd_msg(drv->first_bss, flags, cmd);
}

bool nl80211_is_ap(int nlmode) {
    return nlmode == NL80211_IFTYPE_AP || nlmode == NL80211_IFTYPE_P2P_GO;
}
bool nl80211_is_sta(int nlmode) {
    return nlmode == NL80211_IFTYPE_STATION || nlmode == NL80211_IFTYPE_P2P_CLIENT;
}
bool nl80211_is_p2p(int nlmode) {
    return nlmode == NL80211_IFTYPE_P2P_CLIENT || nlmode == NL80211_IFTYPE_P2P_GO;
}

void nl80211_mark_disconnected(nl80211_drv *drv) {
    if (drv->associated) memcpy(drv->prev_bssid, drv->bssid, 6);
    drv->associated = 0;
    memset(drv->bssid, 0, 6);
}

nl80211_drv *nl80211_first_radio(nl80211_global *global) {
    return global->radios;
}

// ---- Family and multicast groups ------------------------------------------------------

namespace {

struct family_data {
    const char *group;
    int id;
};

int family_handler(nlmsghdr *nlh, void *arg) {
    auto *res = static_cast<family_data *>(arg);
    nlattr *tb[CTRL_ATTR_MAX + 1];
    if (nlh->nlmsg_len < NLMSG_HDRLEN + GENL_HDRLEN || genlmsg_parse(nlh, 0, tb, CTRL_ATTR_MAX, nullptr) < 0)
        return NL_SKIP;
    if (res->group == nullptr) {
        if (tb[CTRL_ATTR_FAMILY_ID]) res->id = nla_u16_or(tb[CTRL_ATTR_FAMILY_ID], 0);
        return NL_SKIP;
    }
    if (!tb[CTRL_ATTR_MCAST_GROUPS]) return NL_SKIP;
    nlattr *mcgrp;
    int rem;
    nla_for_each_nested(mcgrp, tb[CTRL_ATTR_MCAST_GROUPS], rem) {
        nlattr *tb2[CTRL_ATTR_MCAST_GRP_MAX + 1];
        if (nla_parse_nested(tb2, CTRL_ATTR_MCAST_GRP_MAX, mcgrp, nullptr) < 0) continue;
        nlattr *name = tb2[CTRL_ATTR_MCAST_GRP_NAME];
        if (!name || !tb2[CTRL_ATTR_MCAST_GRP_ID] || nla_len(tb2[CTRL_ATTR_MCAST_GRP_ID]) < 4) continue;
        // The group name compares over the attribute's length (its NUL included).
        size_t glen = strlen(res->group) + 1;
        if (static_cast<size_t>(nla_len(name)) != glen || memcmp(nla_data(name), res->group, glen) != 0)
            continue;
        res->id = static_cast<int>(nla_get_u32(tb2[CTRL_ATTR_MCAST_GRP_ID]));
        break;
    }
    return NL_SKIP;
}

// The number of the family (group null) or of one of its multicast groups; -2 when none.
int nl_get_id(nl80211_global *global, const char *family, const char *group) {
    nl_msg *msg = genl_msg(GENL_ID_CTRL, 0, CTRL_CMD_GETFAMILY);
    if (msg == nullptr) return -ENOMEM;
    if (nla_put_string(msg, CTRL_ATTR_FAMILY_NAME, family) < 0) {
        nlmsg_free(msg);
        return -ENOBUFS;
    }
    family_data res{group, -2};
    int ret = send_and_recv_global(global, global->nl, msg, family_handler, &res);
    if (ret == 0) ret = res.id;
    return ret;
}

const char *const event_groups[] = {"scan", "mlme", "regulatory", "vendor"};

void global_deinit(void *priv) {
    auto *global = static_cast<nl80211_global *>(priv);
    if (global == nullptr) return;
    const nl80211_io_ops *io = nl80211_io();
    if (global->netlink) netlink_deinit(global->netlink);
    if (global->nl_event >= 0) {
        eloop_unregister_read_sock(global->nl_event);
        io->gnl_close(global->nl_event);
    }
    if (global->nl >= 0) io->gnl_close(global->nl);
    if (global->ioctl_sock >= 0) close(global->ioctl_sock);
    free(global);
}

void *global_init(void *ctx) {
    auto *global = static_cast<nl80211_global *>(calloc(1, sizeof(nl80211_global)));
    if (global == nullptr) return nullptr;
    const nl80211_io_ops *io = nl80211_io();
    global->ctx = ctx;
    global->nl = -1;
    global->nl_event = -1;
    global->ioctl_sock = -1;
    global->if_add_ifindex = -1;

    global->nl = io->gnl_open();
    if (global->nl < 0) {
        global->nl = -1;
        global_deinit(global);
        return nullptr;
    }
    global->nl80211_id = nl_get_id(global, "nl80211", nullptr);
    if (global->nl80211_id < 0) {
        global_deinit(global);
        return nullptr;
    }
    global->nl_event = io->gnl_open();
    if (global->nl_event < 0) {
        global->nl_event = -1;
        global_deinit(global);
        return nullptr;
    }
    // "scan" and "mlme" are needed; "regulatory" and "vendor" are taken when offered.
    for (int i = 0; i < 4; i++) {
        int id = nl_get_id(global, "nl80211", event_groups[i]);
        int ret = id >= 0 ? io->gnl_join(global->nl_event, id) : id;
        if (ret < 0 && i < 2) {
            global_deinit(global);
            return nullptr;
        }
    }
    if (io->gnl_set_nonblock(global->nl_event, 262144) < 0 ||
        eloop_register_read_sock(global->nl_event, nl80211_event_receive, global,
                                 tag_sock(global->nl_event)) < 0) {
        global_deinit(global);
        return nullptr;
    }
    netlink_config cfg{global, nl80211_rtm_newlink, nl80211_rtm_dellink};
    global->netlink = netlink_init(&cfg);
    if (global->netlink == nullptr) {
        eloop_unregister_read_sock(global->nl_event);
        io->gnl_close(global->nl_event);
        global->nl_event = -1;
        global_deinit(global);
        return nullptr;
    }
    global->ioctl_sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (global->ioctl_sock < 0) {
        global_deinit(global);
        return nullptr;
    }
    return global;
}

} // namespace

void nl80211_join_groups(nl80211_global *global) {
    for (const char *g : event_groups) {
        int id = nl_get_id(global, "nl80211", g);
        if (id >= 0) nl80211_io()->gnl_join(global->nl_event, id);
    }
}

// ---- Interface types and frame subscriptions --------------------------------------------

namespace {

int set_iftype(nl80211_drv *drv, int ifindex, int nlmode) {
    nl_msg *msg = nl80211_ifindex_msg(drv, ifindex, 0, NL80211_CMD_SET_INTERFACE);
    if (msg == nullptr) return -ENOBUFS;
    if (nla_put_u32(msg, NL80211_ATTR_IFTYPE, nlmode) < 0) {
        nlmsg_free(msg);
        return -ENOBUFS;
    }
    return send_and_recv_msgs(drv, msg, nullptr, nullptr);
}

int register_frame(nl80211_iface *bss, int sock, uint16_t type, const uint8_t *match, size_t match_len) {
    nl80211_drv *drv = bss->drv;
    nl_msg *msg = nl80211_cmd_msg(bss, 0, NL80211_CMD_REGISTER_FRAME);
    if (msg == nullptr) return -1;
    if (nla_put_u16(msg, NL80211_ATTR_FRAME_TYPE, type) < 0 ||
        nla_put(msg, NL80211_ATTR_FRAME_MATCH, static_cast<int>(match_len), match) < 0) {
        nlmsg_free(msg);
        return -1;
    }
    return send_and_recv_global(drv->global, sock, msg, nullptr, nullptr);
}

void bss_event_receive(int sock, void *eloop_ctx, void *) {
    auto *bss = static_cast<nl80211_iface *>(eloop_ctx);
    uint8_t *buf = static_cast<uint8_t *>(malloc(RecvBufSize));
    if (buf == nullptr) return;
    for (int i = 0; i < 10; i++) {
        ssize_t n = nl80211_io()->gnl_recv(sock, buf, RecvBufSize);
        if (n <= 0) break;
        nl80211_receive_buffer(buf, static_cast<size_t>(n), nl80211_process_bss_event, bss);
    }
    free(buf);
}

int alloc_mgmt_handle(nl80211_iface *bss) {
    if (bss->nl_mgmt >= 0) return 0;
    int fd = nl80211_io()->gnl_open();
    if (fd < 0) return -1;
    bss->nl_mgmt = fd;
    return 0;
}

void mgmt_handle_register_eloop(nl80211_iface *bss) {
    nl80211_io()->gnl_set_nonblock(bss->nl_mgmt, 65536);
    eloop_register_read_sock(bss->nl_mgmt, bss_event_receive, bss, tag_sock(bss->nl_mgmt));
}

void beacons_leave(nl80211_iface *bss);

void mgmt_unsubscribe(nl80211_iface *bss) {
    beacons_leave(bss);
    if (bss->nl_mgmt < 0) return;
    eloop_unregister_read_sock(bss->nl_mgmt);
    nl80211_io()->gnl_close(bss->nl_mgmt);
    bss->nl_mgmt = -1;
}

struct frame_match {
    uint8_t len;
    uint8_t bytes[6];
};

// The action frames a station listens to: GAS, P2P public action and action, fast
// transition, SA query, WNM, radio measurement.
const frame_match sta_action_matches[] = {
    {2, {0x04, 0x0a}},
    {2, {0x04, 0x0b}},
    {2, {0x04, 0x0c}},
    {2, {0x04, 0x0d}},
    {2, {0x09, 0x0a}},
    {2, {0x09, 0x0b}},
    {2, {0x09, 0x0c}},
    {2, {0x09, 0x0d}},
    {6, {0x04, 0x09, 0x50, 0x6f, 0x9a, 0x09}},
    {5, {0x7f, 0x50, 0x6f, 0x9a, 0x09}},
    {1, {0x06}},
    {2, {0x0a, 0x07}},
    {2, {0x0a, 0x11}},
    {2, {0x11, 0x01}},
    {2, {0x11, 0x02}},
    {2, {0x05, 0x05}},
    {2, {0x05, 0x00}},
};

int mgmt_subscribe_non_ap(nl80211_iface *bss) {
    nl80211_drv *drv = bss->drv;
    if (alloc_mgmt_handle(bss) < 0) return -1;
    int sock = bss->nl_mgmt;
    if (drv->nlmode == NL80211_IFTYPE_ADHOC) register_frame(bss, sock, 0x00b0, nullptr, 0);
    for (const frame_match &m : sta_action_matches) {
        int ret = register_frame(bss, sock, 0x00d0, m.bytes, m.len);
        // Fast-transition action frames reach us: the FT key managements work.
        if (ret == 0 && m.len == 1 && m.bytes[0] == 0x06) drv->capa.key_mgmt |= 0x60;
    }
    if (drv->rrm_flags & 0x8) {
        const uint8_t link_meas[2] = {0x05, 0x02};
        register_frame(bss, sock, 0x00d0, link_meas, 2);
    }
    mgmt_handle_register_eloop(bss);
    return 0;
}

int mgmt_subscribe_mesh(nl80211_iface *bss) {
    if (alloc_mgmt_handle(bss) < 0) return -1;
    int sock = bss->nl_mgmt;
    const uint8_t self_prot[3][2] = {{0x0f, 0x01}, {0x0f, 0x02}, {0x0f, 0x03}};
    int ret = register_frame(bss, sock, 0x00b0, nullptr, 0);
    for (int i = 0; ret == 0 && i < 3; i++)
        ret = register_frame(bss, sock, 0x00d0, self_prot[i], 2);
    if (ret < 0) {
        mgmt_unsubscribe(bss);
        return -1;
    }
    mgmt_handle_register_eloop(bss);
    return 0;
}

// Beacons of a wiphy arrive on one socket, shared by every access-point interface of
// that wiphy; each beacon reaches each of them.
struct wiphy_beacons {
    wiphy_beacons *next;
    int wiphy_idx;
    int sock;
    nl80211_iface *members[16];
    int num_members;
};
wiphy_beacons *beacon_list = nullptr;

int beacon_frame(nlmsghdr *nlh, void *arg) {
    auto *w = static_cast<wiphy_beacons *>(arg);
    nlattr *tb[NL80211_ATTR_MAX + 1];
    if (nl80211_parse(nlh, tb) < 0 || !tb[NL80211_ATTR_FRAME]) return NL_SKIP;
    if (static_cast<genlmsghdr *>(nlmsg_data(nlh))->cmd != NL80211_CMD_FRAME) return NL_SKIP;
    for (int i = 0; i < w->num_members; i++) {
        nl80211_iface *bss = w->members[i];
        wpa_event_data event{};
        event.rx_mgmt.frame = static_cast<const uint8_t *>(nla_data(tb[NL80211_ATTR_FRAME]));
        event.rx_mgmt.frame_len = static_cast<size_t>(nla_len(tb[NL80211_ATTR_FRAME]));
        event.rx_mgmt.freq = static_cast<int>(nla_u32_or(tb[NL80211_ATTR_WIPHY_FREQ], 0));
        event.rx_mgmt.ssi_signal = static_cast<int>(nla_u32_or(tb[NL80211_ATTR_RX_SIGNAL_DBM], 0));
        event.rx_mgmt.drv_priv = bss;
        supplicant_event(bss->drv->ctx, EVENT_RX_MGMT, &event);
    }
    return NL_SKIP;
}

void beacons_receive(int sock, void *eloop_ctx, void *) {
    auto *buf = static_cast<uint8_t *>(malloc(RecvBufSize));
    if (buf == nullptr) return;
    for (int i = 0; i < 10; i++) {
        ssize_t n = nl80211_io()->gnl_recv(sock, buf, RecvBufSize);
        if (n <= 0) break;
        nl80211_receive_buffer(buf, static_cast<size_t>(n), beacon_frame, eloop_ctx);
    }
    free(buf);
}

int beacons_join(nl80211_iface *bss) {
    nl80211_drv *drv = bss->drv;
    wiphy_beacons *w = beacon_list;
    while (w && w->wiphy_idx != drv->wiphy_idx)
        w = w->next;
    if (w == nullptr) {
        w = static_cast<wiphy_beacons *>(calloc(1, sizeof(wiphy_beacons)));
        if (w == nullptr) return -1;
        w->wiphy_idx = drv->wiphy_idx;
        w->sock = nl80211_io()->gnl_open();
        nl_msg *msg =
            w->sock >= 0 ? genl_msg(drv->global->nl80211_id, 0, NL80211_CMD_REGISTER_BEACONS) : nullptr;
        if (msg && nla_put_u32(msg, NL80211_ATTR_WIPHY, static_cast<uint32_t>(drv->wiphy_idx)) < 0) {
            nlmsg_free(msg);
            msg = nullptr;
        }
        if (msg == nullptr || send_and_recv_global(drv->global, w->sock, msg, nullptr, nullptr) < 0) {
            if (w->sock >= 0) nl80211_io()->gnl_close(w->sock);
            free(w);
            return -1;
        }
        nl80211_io()->gnl_set_nonblock(w->sock, 65536);
        eloop_register_read_sock(w->sock, beacons_receive, w, tag_sock(w->sock));
        w->next = beacon_list;
        beacon_list = w;
    }
    for (int i = 0; i < w->num_members; i++)
        if (w->members[i] == bss) return 0;
    if (w->num_members == 16) return -1;
    w->members[w->num_members++] = bss;
    return 0;
}

void beacons_leave(nl80211_iface *bss) {
    for (wiphy_beacons **p = &beacon_list; *p; p = &(*p)->next) {
        wiphy_beacons *w = *p;
        for (int i = 0; i < w->num_members; i++) {
            if (w->members[i] != bss) continue;
            w->members[i] = w->members[--w->num_members];
            if (w->num_members == 0) {
                eloop_unregister_read_sock(w->sock);
                nl80211_io()->gnl_close(w->sock);
                *p = w->next;
                free(w);
            }
            return;
        }
    }
}

int mgmt_subscribe_ap(nl80211_iface *bss) {
    nl80211_drv *drv = bss->drv;
    if (alloc_mgmt_handle(bss) < 0) return -1;
    int sock = bss->nl_mgmt;
    static const uint16_t types[] = {0x00b0, 0x0000, 0x0020, 0x00a0, 0x00c0, 0x0040};
    static const frame_match ap_actions[] = {{1, {0x04}}, {2, {0x05, 0x01}}, {2, {0x05, 0x04}}, {1, {0x06}},
                                             {1, {0x09}}, {1, {0x0a}},       {1, {0x11}},       {1, {0x7f}}};
    int ret = 0;
    for (uint16_t t : types)
        if (ret == 0) ret = register_frame(bss, sock, t, nullptr, 0);
    for (const frame_match &m : ap_actions)
        if (ret == 0) ret = register_frame(bss, sock, 0x00d0, m.bytes, m.len);
    if (ret == 0) {
        nl_msg *msg = nl80211_cmd_msg(bss, 0, NL80211_CMD_UNEXPECTED_FRAME);
        ret = msg ? send_and_recv_global(drv->global, sock, msg, nullptr, nullptr) : -1;
    }
    if (ret == 0) ret = beacons_join(bss);
    if (ret < 0) {
        mgmt_unsubscribe(bss);
        return -1;
    }
    mgmt_handle_register_eloop(bss);
    return 0;
}

int mgmt_subscribe_ap_dev_sme(nl80211_iface *bss) {
    if (alloc_mgmt_handle(bss) < 0) return -1;
    static const frame_match ap_actions[] = {{1, {0x04}}, {2, {0x05, 0x01}}, {2, {0x05, 0x04}}, {1, {0x06}},
                                             {1, {0x09}}, {1, {0x0a}},       {1, {0x11}},       {1, {0x7f}}};
    for (const frame_match &m : ap_actions) {
        if (register_frame(bss, bss->nl_mgmt, 0x00d0, m.bytes, m.len) < 0) {
            mgmt_unsubscribe(bss);
            return -1;
        }
    }
    mgmt_handle_register_eloop(bss);
    return 0;
}

void close_preq(nl80211_iface *bss) {
    if (bss->nl_preq < 0) return;
    eloop_unregister_read_sock(bss->nl_preq);
    nl80211_io()->gnl_close(bss->nl_preq);
    bss->nl_preq = -1;
}

int probe_req_report(void *priv, int report) {
    auto *bss = static_cast<nl80211_iface *>(priv);
    nl80211_drv *drv = bss->drv;
    if (!report) {
        if (bss->nl_preq >= 0 && drv->device_ap_sme && nl80211_is_ap(drv->nlmode) && !bss->in_deinit)
            return 0; // the access point keeps its probe-request reports
        close_preq(bss);
        return 0;
    }
    if (bss->nl_preq >= 0) return 0;
    int fd = nl80211_io()->gnl_open();
    if (fd < 0) return -1;
    if (register_frame(bss, fd, 0x0040, nullptr, 0) < 0) {
        nl80211_io()->gnl_close(fd);
        return -1;
    }
    bss->nl_preq = fd;
    nl80211_io()->gnl_set_nonblock(fd, 65536);
    eloop_register_read_sock(fd, bss_event_receive, bss, tag_sock(fd));
    return 0;
}

int setup_ap(nl80211_iface *bss) {
    nl80211_drv *drv = bss->drv;
    if (!drv->device_ap_sme) close_preq(bss);
    if (!drv->device_ap_sme && !drv->use_monitor) {
        if (mgmt_subscribe_ap(bss) < 0) return -1;
    } else if (drv->device_ap_sme && !drv->use_monitor) {
        if (mgmt_subscribe_ap_dev_sme(bss) < 0) return -1;
    } else if (!drv->device_ap_sme && drv->use_monitor) {
        if (nl80211_create_monitor_interface(drv) < 0) return -1;
    }
    if (drv->device_ap_sme && probe_req_report(bss, 1) < 0) return -1;
    return 0;
}

void teardown_ap(nl80211_iface *bss) {
    nl80211_drv *drv = bss->drv;
    if (drv->device_ap_sme) {
        probe_req_report(bss, 0);
        if (!drv->use_monitor) mgmt_unsubscribe(bss);
    } else {
        if (drv->use_monitor)
            nl80211_remove_monitor_interface(drv);
        else
            mgmt_unsubscribe(bss);
    }
}

} // namespace

int nl80211_disable_11b_rates(nl80211_drv *drv, int ifindex, int disabled) {
    nl_msg *msg = nl80211_ifindex_msg(drv, ifindex, 0, NL80211_CMD_SET_TX_BITRATE_MASK);
    if (msg == nullptr) return -1;
    nlattr *bands = nla_nest_start(msg, NL80211_ATTR_TX_RATES);
    nlattr *band = bands ? nla_nest_start(msg, NL80211_BAND_2GHZ) : nullptr;
    static const uint8_t ofdm[8] = {0x0c, 0x12, 0x18, 0x24, 0x30, 0x48, 0x60, 0x6c};
    if (band == nullptr || (disabled && nla_put(msg, NL80211_TXRATE_LEGACY, 8, ofdm) < 0)) {
        nlmsg_free(msg);
        return -1;
    }
    nla_nest_end(msg, band);
    nla_nest_end(msg, bands);
    int ret = send_and_recv_msgs(drv, msg, nullptr, nullptr);
    drv->disabled_11b_rates = ret == 0 ? disabled : 0;
    return ret;
}

int nl80211_set_mode_freq(nl80211_iface *bss, int nlmode, const wpa_freq_params *freq) {
    nl80211_drv *drv = bss->drv;
    const nl80211_io_ops *io = nl80211_io();
    int old_mode = drv->nlmode;
    bool was_ap = nl80211_is_ap(old_mode);

    int ret = set_iftype(drv, bss->ifindex, nlmode);
    if (ret == 0 || ret == -EALREADY) {
        drv->nlmode = nlmode;
        ret = 0;
    } else if (ret == -ENODEV) {
        return ret;
    } else if (nlmode != drv->nlmode) {
        // The kernel refuses a type change while the interface is up: bring it down, try
        // again (a busy kernel gets ten tries 100 ms apart), and bring it back up.
        int i;
        ret = -1;
        for (i = 0; i < 10; i++) {
            int down = io->if_set_up(bss->ifname, 0);
            if (down == -EACCES || down == -ENODEV) break;
            if (down == 0) {
                if (freq && freq->freq) {
                    nl_msg *msg = nl80211_cmd_msg(bss, 0, NL80211_CMD_SET_WIPHY);
                    if (msg && nla_put_u32(msg, NL80211_ATTR_WIPHY_FREQ, freq->freq) == 0)
                        send_and_recv_msgs(drv, msg, nullptr, nullptr);
                    else if (msg)
                        nlmsg_free(msg);
                }
                int r = set_iftype(drv, bss->ifindex, nlmode);
                if (r == 0) {
                    drv->nlmode = nlmode;
                    ret = 0;
                    break;
                }
                if (r != -EBUSY) {
                    ret = r;
                    break;
                }
            }
            io->sleep_ms(100);
        }
        if (i == 10) ret = -1;
        if (io->if_set_up(bss->ifname, 1) < 0) ret = -1;
        if (ret == 0) drv->ignore_if_down_event = 1;
    }
    if (ret < 0) return ret;

    if (nl80211_is_p2p(nlmode))
        nl80211_disable_11b_rates(drv, drv->ifindex, 1);
    else if (drv->disabled_11b_rates)
        nl80211_disable_11b_rates(drv, drv->ifindex, 0);

    bool is_ap = nl80211_is_ap(nlmode);
    if (is_ap && !was_ap) {
        mgmt_unsubscribe(bss);
        if (setup_ap(bss) < 0) return -1;
    } else if (!is_ap && was_ap) {
        teardown_ap(bss);
    }
    if (nlmode == NL80211_IFTYPE_MESH_POINT) {
        mgmt_unsubscribe(bss);
        if (mgmt_subscribe_mesh(bss) < 0) return -1;
    } else if (!is_ap && !bss->in_deinit) {
        mgmt_unsubscribe(bss);
        mgmt_subscribe_non_ap(bss); // without the socket the type still changed
    }
    return 0;
}

int nl80211_set_mode(nl80211_iface *bss, int nlmode) {
    return nl80211_set_mode_freq(bss, nlmode, nullptr);
}

// ---- Interface start and tear-down -----------------------------------------------------

namespace {

int get_iftype_handler(nlmsghdr *nlh, void *arg) {
    nlattr *tb[NL80211_ATTR_MAX + 1];
    if (nl80211_parse(nlh, tb) < 0) return NL_SKIP;
    if (tb[NL80211_ATTR_IFTYPE])
        *static_cast<int *>(arg) = static_cast<int>(nla_u32_or(tb[NL80211_ATTR_IFTYPE], 0));
    return NL_SKIP;
}

int get_ifmode(nl80211_iface *bss) {
    nl_msg *msg = nl80211_cmd_msg(bss, 0, NL80211_CMD_GET_INTERFACE);
    if (msg == nullptr) return -1;
    int type = NL80211_IFTYPE_UNSPECIFIED;
    if (send_and_recv_msgs(bss->drv, msg, get_iftype_handler, &type) < 0) return -1;
    return type;
}

void rfkill_blocked(void *ctx) {
    (void)ctx; // the link going down tells the supplicant
}

void rfkill_unblocked(void *ctx) {
    auto *drv = static_cast<nl80211_drv *>(ctx);
    if (nl80211_io()->if_set_up(drv->first_bss->ifname, 1) == 0 && nl80211_is_p2p(drv->nlmode))
        nl80211_disable_11b_rates(drv, drv->ifindex, 1);
}

void report_disabled(void *eloop_ctx, void *) {
    auto *drv = static_cast<nl80211_drv *>(eloop_ctx);
    supplicant_event(drv->ctx, EVENT_INTERFACE_DISABLED, nullptr);
}

void radio_unlink(nl80211_drv *drv) {
    nl80211_drv **p = &drv->global->radios;
    while (*p && *p != drv)
        p = &(*p)->next;
    if (*p) *p = drv->next;
    drv->in_interface_list = 0;
}

void free_radio(nl80211_drv *drv) {
    if (drv->in_interface_list) radio_unlink(drv);
    free(drv->extended_capa);
    free(drv->extended_capa_mask);
    for (unsigned int i = 0; i < drv->num_iface_ext_capa; i++) {
        free(drv->iface_ext_capa[i].ext_capa);
        free(drv->iface_ext_capa[i].ext_capa_mask);
    }
    free(drv->filter_ssids);
    free(drv->if_indices);
    nl80211_free_auth_saved(drv);
    free(drv->first_bss);
    free(drv);
}

} // namespace

int nl80211_finish_drv_init(nl80211_drv *drv, const uint8_t *set_addr, int first, const char *driver_params) {
    nl80211_iface *bss = drv->first_bss;
    const nl80211_io_ops *io = nl80211_io();
    drv->ifindex = static_cast<int>(io->if_index(bss->ifname));
    bss->ifindex = drv->ifindex;
    if (drv->ifindex <= 0) return -1;
    if (drv->global->if_add_ifindex == drv->ifindex) bss->if_dynamic = 1;

    if (first) drv->start_iface_up = io->if_is_up(bss->ifname) > 0;
    if (nl80211_capabilities(drv) < 0) return -1;
    nl80211_set_param(bss, driver_params);

    if (set_addr && (io->if_set_up(bss->ifname, 0) < 0 || io->if_set_mac(bss->ifname, set_addr) < 0))
        return -1;

    int cur = get_ifmode(bss);
    if (first && cur == NL80211_IFTYPE_AP) drv->start_mode_ap = 1;
    int nlmode;
    if (drv->apd || (cur == NL80211_IFTYPE_AP && !bss->if_dynamic))
        nlmode = NL80211_IFTYPE_AP;
    else if (bss->if_dynamic || cur == NL80211_IFTYPE_MESH_POINT)
        nlmode = cur > 0 ? cur : NL80211_IFTYPE_STATION;
    else
        nlmode = NL80211_IFTYPE_STATION;
    if (nl80211_set_mode(bss, nlmode) < 0) return -1;

    if (drv->rfkill == nullptr) {
        rfkill_config rcfg{};
        rcfg.ctx = drv;
        snprintf(rcfg.ifname, sizeof(rcfg.ifname), "%.15s", bss->ifname);
        rcfg.blocked_cb = rfkill_blocked;
        rcfg.unblocked_cb = rfkill_unblocked;
        drv->rfkill = rfkill_init(&rcfg);
    }
    if (drv->rfkill && rfkill_is_blocked(drv->rfkill)) {
        drv->if_disabled = 1;
    } else {
        if (io->if_set_up(bss->ifname, 1) < 0) return -1;
        if (nl80211_is_p2p(nlmode)) nl80211_disable_11b_rates(drv, drv->ifindex, 1);
    }
    if (!drv->apd) io->set_oper(drv->global->netlink, drv->ifindex, 1, IF_OPER_DORMANT);

    if (io->if_get_mac(bss->ifname, bss->addr) < 0) return -1;
    memcpy(drv->perm_addr, bss->addr, 6);
    if (drv->if_disabled) eloop_register_timeout(0, 0, report_disabled, drv, nullptr);
    return 0;
}

void nl80211_eapol_tx_status(nl80211_drv *drv, const uint8_t *frame, size_t len, int ack) {
    // The frame as sent: its Ethernet header first.
    if (len < 14) return;
    wpa_event_data event{};
    event.eapol_tx_status.dst = frame;
    event.eapol_tx_status.data = frame + 14;
    event.eapol_tx_status.data_len = len - 14;
    event.eapol_tx_status.ack = ack;
    supplicant_event(drv->ctx, EVENT_EAPOL_TX_STATUS, &event);
}

namespace {

// A transmit report of the EAPOL socket: the frame from the error queue with the
// radio's ACK value and a transmit-status extended error.
void eapol_tx_status_receive(int sock, void *eloop_ctx, void *) {
    auto *drv = static_cast<nl80211_drv *>(eloop_ctx);
    uint8_t data[3000];
    alignas(cmsghdr) uint8_t control[512];
    iovec iov{data, sizeof(data)};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    ssize_t n = recvmsg(sock, &msg, MSG_ERRQUEUE);
    if (n < 14) return;
    int have_status = 0, ack = 0, have_ee = 0;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_WIFI_STATUS &&
            c->cmsg_len >= CMSG_LEN(sizeof(int))) {
            memcpy(&ack, CMSG_DATA(c), sizeof(int));
            have_status = 1;
        } else if (c->cmsg_level == SOL_PACKET && c->cmsg_type == PACKET_TX_TIMESTAMP &&
                   c->cmsg_len >= CMSG_LEN(sizeof(sock_extended_err))) {
            sock_extended_err err;
            memcpy(&err, CMSG_DATA(c), sizeof(err));
            if (err.ee_origin == SO_EE_ORIGIN_TXSTATUS) have_ee = 1;
        }
    }
    if (!have_status || !have_ee) return;
    nl80211_eapol_tx_status(drv, data, static_cast<size_t>(n), ack);
}

// The access point's interface and its bridge: the bridge it is in, or the configured
// one (created when missing), or its master; the configured bridges belong to the radio.
int ap_bridge_setup(nl80211_iface *bss, const wpa_init_params *params) {
    nl80211_drv *drv = bss->drv;
    int sock = drv->global->ioctl_sock;
    char in_bridge[IFNAMSIZ] = "";
    const char *wanted =
        params->num_bridge && params->bridge && params->bridge[0] ? params->bridge[0] : nullptr;
    if (linux_br_get(in_bridge, bss->ifname) == 0) {
        snprintf(bss->brname, sizeof(bss->brname), "%s", in_bridge);
    } else if (wanted) {
        snprintf(bss->brname, sizeof(bss->brname), "%.15s", wanted);
    } else {
        char master[IFNAMSIZ];
        if (linux_master_get(master, bss->ifname) == 0)
            snprintf(bss->brname, sizeof(bss->brname), "%s", master);
    }
    for (size_t i = 0; i < params->num_bridge; i++) {
        unsigned int idx = params->bridge[i] ? if_nametoindex(params->bridge[i]) : 0;
        if (idx) nl80211_add_ifidx(drv, static_cast<int>(idx), 0);
    }
    if (wanted == nullptr || strcmp(in_bridge, wanted) == 0) return 0;
    if (if_nametoindex(wanted) == 0) {
        if (linux_br_add(sock, wanted) < 0) return -1;
        bss->added_bridge = 1;
        unsigned int idx = if_nametoindex(wanted);
        if (idx) nl80211_add_ifidx(drv, static_cast<int>(idx), 0);
    }
    if (in_bridge[0]) linux_br_del_if(sock, in_bridge, bss->ifname);
    if (linux_br_add_if(sock, wanted, bss->ifname) < 0) return -1;
    bss->added_if_into_bridge = 1;
    snprintf(bss->brname, sizeof(bss->brname), "%.15s", wanted);
    return 0;
}

void ap_bridge_teardown(nl80211_iface *bss) {
    int sock = bss->drv->global->ioctl_sock;
    if (bss->added_if_into_bridge) linux_br_del_if(sock, bss->brname, bss->ifname);
    if (bss->added_bridge) {
        linux_set_iface_flags(sock, bss->brname, 0);
        linux_br_del(sock, bss->brname);
    }
    bss->added_if_into_bridge = bss->added_bridge = 0;
}

// EAPOL frames for the access point: those that arrived on an interface of the radio.
void ap_eapol_receive(int sock, void *eloop_ctx, void *) {
    auto *drv = static_cast<nl80211_drv *>(eloop_ctx);
    uint8_t buf[3000];
    sockaddr_ll from{};
    socklen_t fromlen = sizeof(from);
    ssize_t n = recvfrom(sock, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(&from), &fromlen);
    if (n < 0 || !nl80211_has_ifidx(drv, from.sll_ifindex)) return;
    wpa_event_data event{};
    event.eapol_rx.src = from.sll_addr;
    event.eapol_rx.data = buf;
    event.eapol_rx.data_len = static_cast<size_t>(n);
    supplicant_event(drv->ctx, EVENT_EAPOL_RX, &event);
}

nl80211_iface *drv_init(void *ctx, const char *ifname, void *global_priv, int apd, const uint8_t *set_addr,
                        const char *driver_params, const wpa_init_params *ap = nullptr) {
    auto *global = static_cast<nl80211_global *>(global_priv);
    if (global == nullptr || ifname == nullptr) return nullptr;
    auto *drv = static_cast<nl80211_drv *>(calloc(1, sizeof(nl80211_drv)));
    auto *bss = static_cast<nl80211_iface *>(calloc(1, sizeof(nl80211_iface)));
    if (drv == nullptr || bss == nullptr) {
        free(drv);
        free(bss);
        return nullptr;
    }
    drv->global = global;
    drv->ctx = ctx;
    drv->first_bss = bss;
    drv->apd = apd ? 1 : 0;
    drv->monitor_sock = -1;
    drv->monitor_ifidx = -1;
    drv->eapol_tx_sock = -1;
    drv->eapol_sock = -1;
    drv->ap_scan_as_station = NL80211_IFTYPE_UNSPECIFIED;
    drv->set_rekey_offload = 1;
    bss->drv = drv;
    bss->ctx = ctx;
    bss->nl_mgmt = -1;
    bss->nl_preq = -1;
    memcpy(bss->ifname, ifname, strnlen(ifname, IFNAMSIZ));

    if ((ap && ap_bridge_setup(bss, ap) < 0) ||
        nl80211_finish_drv_init(drv, set_addr, 1, driver_params) < 0) {
        eloop_cancel_timeout(report_disabled, drv, ELOOP_ALL_CTX);
        ap_bridge_teardown(bss);
        if (drv->rfkill) rfkill_deinit(drv->rfkill);
        mgmt_unsubscribe(bss);
        close_preq(bss);
        free_radio(drv);
        return nullptr;
    }

    drv->eapol_tx_sock = socket(PF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (drv->data_tx_status && drv->eapol_tx_sock >= 0) {
        int enabled = 1;
        if (setsockopt(drv->eapol_tx_sock, SOL_SOCKET, SO_WIFI_STATUS, &enabled, sizeof(enabled)) < 0) {
            drv->data_tx_status = 0;
            if (!drv->use_monitor) drv->capa.flags &= ~WPA_DRIVER_FLAGS_EAPOL_TX_STATUS;
        } else {
            // Error-queue news wakes the loop as an error on the socket, which reaches its reader.
            eloop_register_read_sock(drv->eapol_tx_sock, eapol_tx_status_receive, drv, nullptr);
        }
    }

    nl80211_join_groups(global);
    drv->next = global->radios;
    global->radios = drv;
    drv->in_interface_list = 1;
    return bss;
}

void *nl80211_init2(void *ctx, const char *ifname, void *global_priv) {
    return drv_init(ctx, ifname, global_priv, 0, nullptr, nullptr);
}

void nl80211_deinit(void *priv);

void *nl80211_ap_init(void *bss_ctx, wpa_init_params *params) {
    if (params == nullptr) return nullptr;
    nl80211_iface *bss = drv_init(bss_ctx, params->ifname, params->global_priv, 1, params->bssid,
                                  params->driver_params, params);
    if (bss == nullptr) return nullptr;
    nl80211_drv *drv = bss->drv;
    nl80211_add_ifidx(drv, drv->ifindex, 0);
    drv->eapol_sock = socket(PF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(0x888e));
    if (drv->eapol_sock < 0 ||
        eloop_register_read_sock(drv->eapol_sock, ap_eapol_receive, drv, nullptr) < 0) {
        nl80211_deinit(bss);
        return nullptr;
    }
    if (params->own_addr) memcpy(params->own_addr, bss->addr, 6);
    return bss;
}

void nl80211_deinit(void *priv) {
    auto *bss = static_cast<nl80211_iface *>(priv);
    if (bss == nullptr) return;
    nl80211_drv *drv = bss->drv;
    const nl80211_io_ops *io = nl80211_io();
    bss->in_deinit = 1;
    if (drv->eapol_tx_sock >= 0) {
        if (drv->data_tx_status) eloop_unregister_read_sock(drv->eapol_tx_sock);
        close(drv->eapol_tx_sock);
    }
    drv->eapol_tx_sock = -1;
    close_preq(bss);
    ap_bridge_teardown(bss);
    nl80211_remove_monitor_interface(drv);
    if (drv->eapol_sock >= 0) {
        eloop_unregister_read_sock(drv->eapol_sock);
        close(drv->eapol_sock);
        drv->eapol_sock = -1;
    }
    if (nl80211_is_ap(drv->nlmode) && bss->beacon_set) {
        nl_msg *msg = nl80211_cmd_msg(bss, 0, NL80211_CMD_STOP_AP);
        if (msg) send_and_recv_msgs(drv, msg, nullptr, nullptr);
    }
    if (drv->disabled_11b_rates) nl80211_disable_11b_rates(drv, drv->ifindex, 0);
    io->set_oper(drv->global->netlink, drv->ifindex, 0, IF_OPER_UP);
    eloop_cancel_timeout(report_disabled, drv, ELOOP_ALL_CTX);
    eloop_cancel_timeout(nl80211_scan_timeout, drv, drv->ctx);
    if (drv->rfkill) rfkill_deinit(drv->rfkill);
    drv->rfkill = nullptr;
    if (!drv->start_iface_up) io->if_set_up(bss->ifname, 0);
    if (drv->addr_changed) {
        io->if_set_up(bss->ifname, 0);
        io->if_set_mac(bss->ifname, drv->perm_addr);
    }
    if (!(drv->apd && drv->start_mode_ap)) nl80211_set_mode(bss, NL80211_IFTYPE_STATION);
    mgmt_unsubscribe(bss);
    free_radio(drv);
}

} // namespace

// ---- Small operations -------------------------------------------------------------------

int nl80211_set_param(void *priv, const char *param) {
    auto *bss = static_cast<nl80211_iface *>(priv);
    nl80211_drv *drv = bss->drv;
    if (param == nullptr) return 0;
    if (strstr(param, "use_p2p_group_interface=1"))
        drv->capa.flags |= WPA_DRIVER_FLAGS_P2P_DEDICATED_INTERFACE | WPA_DRIVER_FLAGS_P2P_MGMT_AND_NON_P2P;
    if (strstr(param, "use_monitor=1")) drv->use_monitor = drv->param_use_monitor = 1;
    if (strstr(param, "force_connect_cmd=1")) {
        drv->capa.flags &= ~WPA_DRIVER_FLAGS_SME;
        drv->force_connect_cmd = 1;
    }
    if (strstr(param, "force_bss_selection=1")) drv->capa.flags |= WPA_DRIVER_FLAGS_BSS_SELECTION;
    if (strstr(param, "no_offchannel_tx=1")) {
        drv->capa.flags &= ~WPA_DRIVER_FLAGS_OFFCHANNEL_TX;
        drv->no_offchannel_tx = 1;
    }
    return 0;
}

namespace {

const char *get_ifname(void *priv) {
    return static_cast<nl80211_iface *>(priv)->ifname;
}

const char *get_radio_name(void *priv) {
    return static_cast<nl80211_iface *>(priv)->drv->phyname;
}

const uint8_t *get_mac_addr(void *priv) {
    auto *bss = static_cast<nl80211_iface *>(priv);
    return bss->drv->nlmode == NL80211_IFTYPE_P2P_DEVICE ? bss->addr : nullptr;
}

int get_capa(void *priv, wpa_driver_capa *capa) {
    nl80211_drv *drv = static_cast<nl80211_iface *>(priv)->drv;
    if (!drv->has_capability) return -1;
    *capa = drv->capa;
    if (drv->extended_capa && drv->extended_capa_mask) {
        capa->extended_capa = drv->extended_capa;
        capa->extended_capa_mask = drv->extended_capa_mask;
        capa->extended_capa_len = drv->extended_capa_len;
    }
    return 0;
}

int set_operstate(void *priv, int state) {
    nl80211_drv *drv = static_cast<nl80211_iface *>(priv)->drv;
    drv->operstate = state;
    return nl80211_io()->set_oper(drv->global->netlink, drv->ifindex, -1,
                                  state ? IF_OPER_UP : IF_OPER_DORMANT);
}

int set_mac_addr(void *priv, const uint8_t *addr) {
    auto *bss = static_cast<nl80211_iface *>(priv);
    nl80211_drv *drv = bss->drv;
    const nl80211_io_ops *io = nl80211_io();
    const uint8_t *new_addr = addr ? addr : drv->perm_addr;
    if (io->if_set_up(bss->ifname, 0) < 0) return -1;
    if (io->if_set_mac(bss->ifname, new_addr) < 0) {
        io->if_set_up(bss->ifname, 1);
        return -1;
    }
    drv->addr_changed = addr != nullptr;
    memcpy(bss->addr, new_addr, 6);
    if (io->if_set_up(bss->ifname, 1) < 0) return -1;
    return 0;
}

int get_country_handler(nlmsghdr *nlh, void *arg) {
    nlattr *tb[NL80211_ATTR_MAX + 1];
    if (nl80211_parse(nlh, tb) < 0 || !tb[NL80211_ATTR_REG_ALPHA2]) return NL_SKIP;
    auto *alpha2 = static_cast<char *>(arg);
    int n = nla_len(tb[NL80211_ATTR_REG_ALPHA2]);
    memset(alpha2, 0, 3);
    memcpy(alpha2, nla_data(tb[NL80211_ATTR_REG_ALPHA2]), n < 2 ? n : 2);
    return NL_SKIP;
}

int get_country(void *priv, char *alpha2) {
    nl80211_drv *drv = static_cast<nl80211_iface *>(priv)->drv;
    nl_msg *msg = genl_msg(drv->global->nl80211_id, 0, NL80211_CMD_GET_REG);
    if (msg == nullptr) return -1;
    alpha2[0] = 0;
    int ret = send_and_recv_msgs(drv, msg, get_country_handler, alpha2);
    return ret == 0 && alpha2[0] ? 0 : -1;
}

int set_country(void *priv, const char *alpha2_arg) {
    nl80211_drv *drv = static_cast<nl80211_iface *>(priv)->drv;
    char alpha2[3] = {alpha2_arg[0], alpha2_arg[0] ? alpha2_arg[1] : '\0', '\0'};
    nl_msg *msg = genl_msg(drv->global->nl80211_id, 0, NL80211_CMD_REQ_SET_REG);
    if (msg == nullptr) return -EINVAL;
    if (nla_put_string(msg, NL80211_ATTR_REG_ALPHA2, alpha2) < 0) {
        nlmsg_free(msg);
        return -EINVAL;
    }
    return send_and_recv_msgs(drv, msg, nullptr, nullptr) ? -EINVAL : 0;
}

int get_ext_capab(void *priv, int type, const uint8_t **ext_capa, const uint8_t **ext_capa_mask,
                  unsigned int *ext_capa_len) {
    nl80211_drv *drv = static_cast<nl80211_iface *>(priv)->drv;
    if (!ext_capa || !ext_capa_mask || !ext_capa_len) return -1;
    *ext_capa = drv->extended_capa;
    *ext_capa_mask = drv->extended_capa_mask;
    *ext_capa_len = drv->extended_capa_len;
    for (unsigned int i = 0; i < drv->num_iface_ext_capa; i++) {
        if (drv->iface_ext_capa[i].iftype == type) {
            *ext_capa = drv->iface_ext_capa[i].ext_capa;
            *ext_capa_mask = drv->iface_ext_capa[i].ext_capa_mask;
            *ext_capa_len = drv->iface_ext_capa[i].ext_capa_len;
            break;
        }
    }
    return 0;
}

int sta_clear_stats(void *, const uint8_t *) {
    return 0;
}

int br_add_ip_neigh(void *, uint8_t, const uint8_t *, int, const uint8_t *) {
    return -1;
}

int br_delete_ip_neigh(void *, uint8_t, const uint8_t *) {
    return -1;
}

} // namespace

// ---- Status text ------------------------------------------------------------------------

namespace {

const char *scan_state_name(int state) {
    static const char *const names[] = {
        "NO_SCAN",      "SCAN_REQUESTED",     "SCAN_STARTED",       "SCAN_COMPLETED",
        "SCAN_ABORTED", "SCHED_SCAN_STARTED", "SCHED_SCAN_STOPPED", "SCHED_SCAN_RESULTS"};
    return state >= 0 && state <= 7 ? names[state] : "??";
}

// Appends one formatted section; false (and nothing kept) when it does not fit.
struct text_out {
    char *buf;
    size_t size;
    size_t len;
    bool ok;
};

void out(text_out &t, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void out(text_out &t, const char *fmt, ...) {
    if (!t.ok) return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(t.buf + t.len, t.size - t.len, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= t.size - t.len)
        t.ok = false;
    else
        t.len += static_cast<size_t>(n);
}

#define MACF "%02x:%02x:%02x:%02x:%02x:%02x"
#define MAC2(a) (a)[0], (a)[1], (a)[2], (a)[3], (a)[4], (a)[5]

} // namespace

int nl80211_status(void *priv, char *buf, size_t buflen) {
    auto *bss = static_cast<nl80211_iface *>(priv);
    nl80211_drv *drv = bss->drv;
    if (buf == nullptr || buflen == 0) return 0;
    text_out t{buf, buflen, 0, true};
    out(t, "ifindex=%d\nifname=%s\nbrname=%s\naddr=" MACF "\nfreq=%d\n%s%s%s%s%s", bss->ifindex, bss->ifname,
        bss->brname, MAC2(bss->addr), bss->freq, bss->beacon_set ? "beacon_set=1\n" : "",
        bss->added_if_into_bridge ? "added_if_into_bridge=1\n" : "",
        bss->added_bridge ? "added_bridge=1\n" : "", bss->in_deinit ? "in_deinit=1\n" : "",
        bss->if_dynamic ? "if_dynamic=1\n" : "");
    if (!t.ok) {
        buf[0] = '\0';
        return 0;
    }
    size_t keep = t.len;
    if (bss->wdev_id_set) out(t, "wdev_id=%llu\n", static_cast<unsigned long long>(bss->wdev_id));
    if (!t.ok) {
        buf[keep] = '\0';
        return static_cast<int>(keep);
    }
    keep = t.len;
    out(t,
        "phyname=%s\nperm_addr=" MACF "\ndrv_ifindex=%d\noperstate=%d\nscan_state=%s\nauth_bssid=" MACF
        "\nauth_attempt_bssid=" MACF "\nbssid=" MACF "\nprev_bssid=" MACF
        "\nassociated=%d\nassoc_freq=%u\nmonitor_sock=%d\nmonitor_ifidx=%d\nmonitor_refcount=%d\n"
        "last_mgmt_freq=%u\neapol_tx_sock=%d\n%s%s%s%s%s%s%s%s%s%s%s%s%s",
        drv->phyname, MAC2(drv->perm_addr), drv->ifindex, drv->operstate, scan_state_name(drv->scan_state),
        MAC2(drv->auth_bssid), MAC2(drv->auth_attempt_bssid), MAC2(drv->bssid), MAC2(drv->prev_bssid),
        drv->associated, drv->assoc_freq, drv->monitor_sock, drv->monitor_ifidx, drv->monitor_refcount,
        static_cast<unsigned int>(drv->last_mgmt_freq), drv->eapol_tx_sock,
        drv->ignore_if_down_event ? "ignore_if_down_event=1\n" : "",
        drv->scan_complete_events ? "scan_complete_events=1\n" : "",
        drv->disabled_11b_rates ? "disabled_11b_rates=1\n" : "",
        drv->pending_remain_on_chan ? "pending_remain_on_chan=1\n" : "",
        drv->in_interface_list ? "in_interface_list=1\n" : "", drv->device_ap_sme ? "device_ap_sme=1\n" : "",
        drv->poll_command_supported ? "poll_command_supported=1\n" : "",
        drv->data_tx_status ? "data_tx_status=1\n" : "", drv->scan_for_auth ? "scan_for_auth=1\n" : "",
        drv->retry_auth ? "retry_auth=1\n" : "", drv->use_monitor ? "use_monitor=1\n" : "",
        drv->ignore_next_local_disconnect ? "ignore_next_local_disconnect=1\n" : "",
        drv->ignore_next_local_deauth ? "ignore_next_local_deauth=1\n" : "");
    if (!t.ok) {
        buf[keep] = '\0';
        return static_cast<int>(keep);
    }
    keep = t.len;
    if (drv->has_capability) {
        const wpa_driver_capa &c = drv->capa;
        out(t,
            "capa.key_mgmt=0x%x\ncapa.enc=0x%x\ncapa.auth=0x%x\ncapa.flags=0x%llx\ncapa.smps_modes=0x%x\n"
            "capa.wmm_ac_supported=%u\ncapa.mac_addr_rand_scan_supported=%u\n"
            "capa.mac_addr_rand_sched_scan_supported=%u\ncapa.max_scan_ssids=%d\n"
            "capa.max_sched_scan_ssids=%d\ncapa.max_sched_scan_plans=%d\n"
            "capa.max_sched_scan_plan_interval=%d\ncapa.max_sched_scan_plan_iterations=%d\n",
            c.key_mgmt, c.enc, c.auth, static_cast<unsigned long long>(c.flags), c.smps_modes,
            static_cast<unsigned int>(c.wmm_ac_supported),
            static_cast<unsigned int>(c.mac_addr_rand_scan_supported),
            static_cast<unsigned int>(c.mac_addr_rand_sched_scan_supported), c.max_scan_ssids,
            c.max_sched_scan_ssids, c.max_sched_scan_plans, c.max_sched_scan_plan_interval,
            c.max_sched_scan_plan_iterations);
        if (!t.ok) {
            buf[keep] = '\0';
            return static_cast<int>(keep);
        }
    }
    return static_cast<int>(t.len);
}

// ---- The operation table ----------------------------------------------------------------

const wpa_driver_ops wpa_driver_nl80211_ops = [] {
    wpa_driver_ops ops{};
    ops.name = "nl80211";
    ops.desc = "Linux nl80211/cfg80211";
    ops.get_bssid = nl80211_get_bssid;
    ops.get_ssid = nl80211_get_ssid;
    ops.set_key = nl80211_set_key;
    ops.deinit = nl80211_deinit;
    ops.set_param = nl80211_set_param;
    ops.deauthenticate = nl80211_deauthenticate;
    ops.associate = nl80211_associate;
    ops.add_pmkid = nl80211_add_pmkid;
    ops.remove_pmkid = nl80211_remove_pmkid;
    ops.flush_pmkid = nl80211_flush_pmkid;
    ops.get_capa = get_capa;
    ops.get_ifname = get_ifname;
    ops.get_mac_addr = get_mac_addr;
    ops.set_operstate = set_operstate;
    ops.get_hw_feature_data = nl80211_get_hw_feature_data;
    ops.get_scan_results = nl80211_get_scan_results;
    ops.set_country = set_country;
    ops.get_country = get_country;
    ops.global_init = global_init;
    ops.global_deinit = global_deinit;
    ops.init2 = nl80211_init2;
    ops.ap_init = nl80211_ap_init;
    ops.ap_deinit = nl80211_deinit;
    ops.scan = nl80211_scan;
    ops.authenticate = nl80211_authenticate;
    ops.get_seqnum = nl80211_get_seqnum;
    ops.sta_clear_stats = sta_clear_stats;
    ops.set_supp_port = nl80211_set_supp_port;
    ops.probe_req_report = probe_req_report;
    ops.signal_monitor = nl80211_signal_monitor;
    ops.get_radio_name = get_radio_name;
    ops.br_add_ip_neigh = br_add_ip_neigh;
    ops.br_delete_ip_neigh = br_delete_ip_neigh;
    ops.signal_poll = nl80211_signal_poll;
    ops.sched_scan = nl80211_sched_scan;
    ops.stop_sched_scan = nl80211_stop_sched_scan;
    ops.status = nl80211_status;
    ops.set_mac_addr = set_mac_addr;
    ops.send_action = nl80211_send_action;
    ops.abort_scan = nl80211_abort_scan;
    ops.get_ext_capab = get_ext_capab;
    ops.update_ft_ies = nl80211_update_ft_ies;
    ops.set_qos_map = nl80211_set_qos_map;
    ops.set_wowlan = nl80211_set_wowlan;
    ops.set_rekey_info = nl80211_set_rekey_info;
    ops.add_tx_ts = nl80211_add_tx_ts;
    ops.del_tx_ts = nl80211_del_tx_ts;
    return ops;
}();
