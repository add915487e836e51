// The monitor interface of a radio whose access point sees management frames only that
// way: created on first use and shared by reference, a filtered packet socket on it, its
// received frames turned into events.
#include "wireless/core/eloop.h"
#include "wireless/drivers/driver_nl80211_internal.h"
#include "wireless/drivers/radiotap.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <netlink/attr.h>
#include <netlink/genl/genl.h>
#include <netlink/msg.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

uint16_t le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

constexpr int RadiotapFlags = 1;
constexpr int RadiotapRate = 2;
constexpr int RadiotapDbmAntSignal = 5;
constexpr int RadiotapRxFlags = 14;
constexpr int RadiotapTxFlags = 15;

// The classic filter on the monitor socket: management frames, to-DS data frames,
// 4-address frames, header-only data frames and EAPOL; everything else stays in the kernel.
#define J(c, k, jt, jf)                                                                                      \
    { static_cast<uint16_t>(c), jt, jf, static_cast<uint32_t>(k) }
const sock_filter monitor_filter[] = {
    J(BPF_LD | BPF_B | BPF_ABS, 3, 0, 0),           //  0: radiotap length, high byte
    J(BPF_ALU | BPF_LSH | BPF_K, 8, 0, 0),          //  1
    J(BPF_MISC | BPF_TAX, 0, 0, 0),                 //  2
    J(BPF_LD | BPF_B | BPF_ABS, 2, 0, 0),           //  3: low byte
    J(BPF_ALU | BPF_OR | BPF_X, 0, 0, 0),           //  4
    J(BPF_MISC | BPF_TAX, 0, 0, 0),                 //  5: X = radiotap length
    J(BPF_LD | BPF_B | BPF_IND, 0, 0, 0),           //  6: frame control, first byte
    J(BPF_ALU | BPF_AND | BPF_K, 0x0c, 0, 0),       //  7: type bits
    J(BPF_JMP | BPF_JEQ | BPF_K, 0x00, 22, 0),      //  8: management: pass
    J(BPF_JMP | BPF_JEQ | BPF_K, 0x08, 0, 22),      //  9: not data: drop
    J(BPF_LD | BPF_H | BPF_IND, 0, 0, 0),           // 10: frame control, big-endian
    J(BPF_ALU | BPF_AND | BPF_K, 0x0f03, 0, 0),     // 11
    J(BPF_JMP | BPF_JEQ | BPF_K, 0x0801, 18, 0),    // 12: to-DS only: pass
    J(BPF_LD | BPF_B | BPF_IND, 1, 0, 0),           // 13: DS bits
    J(BPF_ALU | BPF_AND | BPF_K, 0x03, 0, 0),       // 14
    J(BPF_JMP | BPF_JEQ | BPF_K, 0x03, 15, 0),      // 15: 4-address: pass
    J(BPF_LD | BPF_B | BPF_IND, 0, 0, 0),           // 16
    J(BPF_ALU | BPF_AND | BPF_K, 0x80, 0, 0),       // 17: QoS data?
    J(BPF_JMP | BPF_JEQ | BPF_K, 0x80, 0, 3),       // 18
    J(BPF_MISC | BPF_TXA, 0, 0, 0),                 // 19: A = X + 26
    J(BPF_ALU | BPF_ADD | BPF_K, 26, 0, 0),         // 20
    J(BPF_JMP | BPF_JA, 2, 0, 0),                   // 21
    J(BPF_MISC | BPF_TXA, 0, 0, 0),                 // 22: A = X + 24
    J(BPF_ALU | BPF_ADD | BPF_K, 24, 0, 0),         // 23
    J(BPF_MISC | BPF_TAX, 0, 0, 0),                 // 24: X = start of the body
    J(BPF_LD | BPF_W | BPF_LEN, 0, 0, 0),           // 25
    J(BPF_JMP | BPF_JGT | BPF_X, 0, 0, 4),          // 26: header only: pass
    J(BPF_LD | BPF_W | BPF_IND, 0, 0, 0),           // 27: LLC/SNAP AA AA 03 00
    J(BPF_JMP | BPF_JEQ | BPF_K, 0xaaaa0300, 0, 3), // 28
    J(BPF_LD | BPF_W | BPF_IND, 4, 0, 0),           // 29: 00 00 88 8E (EAPOL)
    J(BPF_JMP | BPF_JEQ | BPF_K, 0x0000888e, 0, 1), // 30
    J(BPF_RET | BPF_K, 0xffffffff, 0, 0),           // 31: pass
    J(BPF_RET | BPF_K, 0, 0, 0),                    // 32: drop
};
#undef J

void handle_tx_report(nl80211_drv *drv, const uint8_t *frame, size_t len, int ok) {
    uint16_t fc = le16(frame);
    wpa_event_data event{};
    event.tx_status.type = (fc >> 2) & 3;
    event.tx_status.stype = (fc >> 4) & 0xf;
    event.tx_status.dst = frame + 4;
    event.tx_status.data = frame;
    event.tx_status.data_len = len;
    event.tx_status.ack = ok;
    supplicant_event(drv->ctx, EVENT_TX_STATUS, &event);
}

void monitor_receive(int sock, void *eloop_ctx, void *) {
    auto *drv = static_cast<nl80211_drv *>(eloop_ctx);
    uint8_t buf[3000];
    ssize_t n = recv(sock, buf, sizeof(buf), 0);
    if (n > 0) nl80211_monitor_frame(drv, buf, static_cast<size_t>(n));
}

} // namespace

void nl80211_monitor_frame(nl80211_drv *drv, const uint8_t *buf, size_t len) {
    radiotap_iterator it;
    if (radiotap_iterator_init(&it, buf, len) != 0) return;
    bool rxflags = false, txflags = false, failed = false;
    int fcs_len = 0, datarate = 0, ssi_signal = 0;
    for (;;) {
        int ret = radiotap_iterator_next(&it);
        if (ret == -2) break;
        if (ret) return;
        switch (it.this_arg_index) {
        case RadiotapFlags:
            if (*it.this_arg & 0x10) fcs_len = 4;
            break;
        case RadiotapRxFlags:
            rxflags = true;
            break;
        case RadiotapTxFlags:
            txflags = true;
            failed = (le16(it.this_arg) & 0x1) != 0;
            break;
        case RadiotapRate:
            datarate = *it.this_arg * 5;
            break;
        case RadiotapDbmAntSignal:
            ssi_signal = static_cast<int8_t>(*it.this_arg);
            break;
        default:
            break;
        }
    }
    if (rxflags && txflags) return;
    size_t hdr_len = le16(buf + 2);
    if (hdr_len + static_cast<size_t>(fcs_len) > len) return;
    const uint8_t *frame = buf + hdr_len;
    size_t frame_len = len - hdr_len - static_cast<size_t>(fcs_len);
    // Too short for an 802.11 header after radiotap and FCS: nothing to read.
    if (frame_len < 24) return;
    if (txflags) {
        handle_tx_report(drv, frame, frame_len, !failed);
        return;
    }
    uint16_t fc = le16(frame);
    int type = (fc >> 2) & 3;
    wpa_event_data event{};
    if (type == 0) {
        event.rx_mgmt.frame = frame;
        event.rx_mgmt.frame_len = frame_len;
        event.rx_mgmt.datarate = static_cast<uint32_t>(datarate);
        event.rx_mgmt.ssi_signal = ssi_signal;
        event.rx_mgmt.drv_priv = drv->first_bss;
        supplicant_event(drv->ctx, EVENT_RX_MGMT, &event);
    } else if (type == 1 || type == 2) {
        // The BSSID of a data frame follows its DS bits; a control frame carries it first.
        const uint8_t *bssid = frame + 16;
        if (type == 2) {
            int ds = (fc >> 8) & 3;
            if (ds == 1)
                bssid = frame + 4;
            else if (ds == 2)
                bssid = frame + 10;
        } else {
            bssid = frame + 4;
        }
        event.rx_from_unknown.bssid = bssid;
        event.rx_from_unknown.addr = frame + 10;
        event.rx_from_unknown.wds = ((fc >> 8) & 3) == 3;
        supplicant_event(drv->ctx, EVENT_RX_FROM_UNKNOWN, &event);
    }
}

int nl80211_monitor_send(nl80211_drv *drv, const uint8_t *frame, size_t len, int encrypt, int noack) {
    if (drv->monitor_sock < 0) return -1;
    // Radiotap: flags (WEP when the frame is to be encrypted, and no FCS), empty RX
    // flags, TX flags (no ACK when none is wanted).
    uint8_t rtap[14] = {0x00, 0x00, 0x0e, 0x00, 0x02, 0xc0, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00};
    if (encrypt) rtap[8] |= 0x04;
    if (noack) rtap[12] = 0x08;
    iovec iov[2] = {{rtap, sizeof(rtap)}, {const_cast<uint8_t *>(frame), len}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    return sendmsg(drv->monitor_sock, &msg, 0) < 0 ? -1 : 0;
}

int nl80211_create_monitor_interface(nl80211_drv *drv) {
    if (drv->monitor_ifidx >= 0) {
        drv->monitor_refcount++;
        return 0;
    }
    char name[IFNAMSIZ];
    const char *ifname = drv->first_bss->ifname;
    if (strncmp(ifname, "p2p-", 4) == 0)
        snprintf(name, sizeof(name), "mon-%.11s", ifname + 4);
    else
        snprintf(name, sizeof(name), "mon.%.11s", ifname);
    nl_msg *msg = nl80211_ifindex_msg(drv, drv->ifindex, 0, NL80211_CMD_NEW_INTERFACE);
    if (msg == nullptr) return -1;
    nlattr *flags = nullptr;
    if (nla_put_string(msg, NL80211_ATTR_IFNAME, name) < 0 ||
        nla_put_u32(msg, NL80211_ATTR_IFTYPE, NL80211_IFTYPE_MONITOR) < 0 ||
        (flags = nla_nest_start(msg, NL80211_ATTR_MNTR_FLAGS)) == nullptr ||
        nla_put_flag(msg, NL80211_MNTR_FLAG_COOK_FRAMES) < 0) {
        nlmsg_free(msg);
        return -1;
    }
    nla_nest_end(msg, flags);
    int ret = send_and_recv_msgs(drv, msg, nullptr, nullptr);
    if (ret == -EOPNOTSUPP) {
        // The kernel does the access point's MLME itself.
        drv->device_ap_sme = 1;
        return 0;
    }
    if (ret < 0) return -1;
    const nl80211_io_ops *io = nl80211_io();
    drv->monitor_ifidx = static_cast<int>(io->if_index(name));
    if (drv->monitor_ifidx <= 0 || io->if_set_up(name, 1) < 0) goto fail;
    drv->monitor_sock = socket(PF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (drv->monitor_sock < 0) goto fail;
    {
        sock_fprog prog{static_cast<unsigned short>(sizeof(monitor_filter) / sizeof(monitor_filter[0])),
                        const_cast<sock_filter *>(monitor_filter)};
        setsockopt(drv->monitor_sock, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof(prog));
        sockaddr_ll ll{};
        ll.sll_family = AF_PACKET;
        ll.sll_ifindex = drv->monitor_ifidx;
        if (bind(drv->monitor_sock, reinterpret_cast<sockaddr *>(&ll), sizeof(ll)) < 0) goto fail;
        int prio = 20;
        setsockopt(drv->monitor_sock, SOL_SOCKET, SO_PRIORITY, &prio, sizeof(prio));
        if (eloop_register_read_sock(drv->monitor_sock, monitor_receive, drv, nullptr) < 0) goto fail;
    }
    drv->monitor_refcount = 1;
    return 0;
fail:
    nl80211_remove_monitor_interface(drv);
    return -1;
}

void nl80211_remove_monitor_interface(nl80211_drv *drv) {
    if (drv->monitor_ifidx < 0) return;
    if (drv->monitor_refcount > 1) {
        drv->monitor_refcount--;
        return;
    }
    nl_msg *msg = nl80211_ifindex_msg(drv, drv->monitor_ifidx, 0, NL80211_CMD_DEL_INTERFACE);
    if (msg) send_and_recv_msgs(drv, msg, nullptr, nullptr);
    drv->monitor_ifidx = -1;
    drv->monitor_refcount = 0;
    if (drv->monitor_sock >= 0) {
        eloop_unregister_read_sock(drv->monitor_sock);
        close(drv->monitor_sock);
        drv->monitor_sock = -1;
    }
}
