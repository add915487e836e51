#include "wireless/drivers/driver_wired.h"

#include "wireless/core/eloop.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/drivers/linux_ioctl.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

const uint8_t pae_group_addr[6] = {0x01, 0x80, 0xc2, 0x00, 0x00, 0x03};

namespace {

constexpr uint16_t EthPPae = 0x888e;

struct wired_data {
    char ifname[IFNAMSIZ];
    void *ctx;
    int pf_sock;
    int membership;
    int multi;
    int iff_allmulti;
    int iff_up;
};

struct wired_ap_data {
    char ifname[IFNAMSIZ];
    void *ctx;
    int use_pae_group_addr;
    int sock;
    int dhcp_sock;
    uint8_t own_addr[6];
};

int get_bssid(void *, uint8_t *bssid) {
    memcpy(bssid, pae_group_addr, 6);
    return 0;
}

int get_ssid(void *, uint8_t *) {
    return 0;
}

int get_capa(void *, wpa_driver_capa *capa) {
    memset(capa, 0, sizeof(*capa));
    capa->flags = WPA_DRIVER_FLAGS_WIRED;
    return 0;
}

int multi(const char *ifname, const uint8_t *addr, bool add) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    ifreq ifr{};
    snprintf(ifr.ifr_name, IFNAMSIZ, "%s", ifname);
    ifr.ifr_hwaddr.sa_family = AF_UNSPEC;
    memcpy(ifr.ifr_hwaddr.sa_data, addr, 6);
    int ret = ioctl(s, add ? SIOCADDMULTI : SIOCDELMULTI, &ifr);
    close(s);
    return ret < 0 ? -1 : 0;
}

int membership(int sock, const char *ifname, const uint8_t *addr, bool add) {
    packet_mreq mreq{};
    mreq.mr_ifindex = static_cast<int>(if_nametoindex(ifname));
    mreq.mr_type = PACKET_MR_MULTICAST;
    mreq.mr_alen = 6;
    memcpy(mreq.mr_address, addr, 6);
    if (mreq.mr_ifindex == 0) return -1;
    return setsockopt(sock, SOL_PACKET, add ? PACKET_ADD_MEMBERSHIP : PACKET_DROP_MEMBERSHIP, &mreq,
                      sizeof(mreq)) < 0
               ? -1
               : 0;
}

void undo(wired_data *drv) {
    if (drv->membership && membership(drv->pf_sock, drv->ifname, pae_group_addr, false) == 0)
        drv->membership = 0;
    if (drv->multi && multi(drv->ifname, pae_group_addr, false) == 0) drv->multi = 0;
    int flags;
    if (drv->iff_allmulti && linux_get_iface_flags(drv->ifname, &flags) == 0 &&
        linux_set_iface_flag_bits(drv->ifname, 0, IFF_ALLMULTI) == 0)
        drv->iff_allmulti = 0;
    if (drv->iff_up && linux_get_iface_flags(drv->ifname, &flags) == 0 && (flags & IFF_UP))
        linux_set_iface_flag_bits(drv->ifname, 0, IFF_UP);
    drv->iff_up = 0;
    if (drv->pf_sock >= 0) close(drv->pf_sock);
    drv->pf_sock = -1;
}

void *wired_init(void *ctx, const char *ifname) {
    auto *drv = static_cast<wired_data *>(calloc(1, sizeof(wired_data)));
    if (drv == nullptr) return nullptr;
    snprintf(drv->ifname, sizeof(drv->ifname), "%s", ifname);
    drv->ctx = ctx;
    drv->pf_sock = socket(PF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (drv->pf_sock < 0) {
        free(drv);
        return nullptr;
    }
    int flags;
    if (linux_get_iface_flags(drv->ifname, &flags) == 0 && !(flags & IFF_UP) &&
        linux_set_iface_flag_bits(drv->ifname, IFF_UP, 0) == 0)
        drv->iff_up = 1;

    // Receive the PAE group address: packet membership, else the multicast list, else
    // all-multicast mode.
    if (membership(drv->pf_sock, drv->ifname, pae_group_addr, true) == 0) {
        drv->membership = 1;
    } else if (multi(drv->ifname, pae_group_addr, true) == 0) {
        drv->multi = 1;
    } else if (linux_get_iface_flags(drv->ifname, &flags) == 0) {
        if (flags & IFF_ALLMULTI) {
            // Already in all-multicast mode: nothing to undo later.
        } else if (linux_set_iface_flag_bits(drv->ifname, IFF_ALLMULTI, 0) == 0) {
            drv->iff_allmulti = 1;
        } else {
            undo(drv);
            free(drv);
            return nullptr;
        }
    } else {
        // Leave the interface as it was found: the context goes away.
        undo(drv);
        free(drv);
        return nullptr;
    }
    return drv;
}

void wired_deinit(void *priv) {
    auto *drv = static_cast<wired_data *>(priv);
    undo(drv);
    free(drv);
}

void ap_receive_pae(int sock, void *eloop_ctx, void *) {
    auto *drv = static_cast<wired_ap_data *>(eloop_ctx);
    uint8_t buf[3000];
    ssize_t len = recv(sock, buf, sizeof(buf), 0);
    if (len < 0) return;
    wired_handle_pae_frame(drv->ctx, buf, static_cast<size_t>(len));
}

void ap_receive_dhcp(int sock, void *eloop_ctx, void *) {
    auto *drv = static_cast<wired_ap_data *>(eloop_ctx);
    uint8_t buf[3000];
    ssize_t len = recv(sock, buf, sizeof(buf), 0);
    if (len < 0) return;
    wired_handle_dhcp(drv->ctx, buf, static_cast<size_t>(len));
}

void ap_close(wired_ap_data *drv) {
    if (drv->sock >= 0) {
        eloop_unregister_read_sock(drv->sock);
        close(drv->sock);
    }
    if (drv->dhcp_sock >= 0) {
        eloop_unregister_read_sock(drv->dhcp_sock);
        close(drv->dhcp_sock);
    }
    free(drv);
}

void *wired_ap_init(void *bss_ctx, wpa_init_params *params) {
    auto *drv = static_cast<wired_ap_data *>(calloc(1, sizeof(wired_ap_data)));
    if (drv == nullptr) return nullptr;
    drv->ctx = bss_ctx;
    drv->sock = drv->dhcp_sock = -1;
    snprintf(drv->ifname, sizeof(drv->ifname), "%s", params->ifname);
    drv->use_pae_group_addr = params->use_pae_group_addr;

    drv->sock = socket(PF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(EthPPae));
    if (drv->sock < 0 || eloop_register_read_sock(drv->sock, ap_receive_pae, drv, nullptr) < 0) {
        if (drv->sock >= 0) close(drv->sock);
        drv->sock = -1;
        ap_close(drv);
        return nullptr;
    }
    ifreq ifr{};
    memcpy(ifr.ifr_name, drv->ifname, IFNAMSIZ);
    sockaddr_ll addr{};
    if (ioctl(drv->sock, SIOCGIFINDEX, &ifr) != 0) {
        ap_close(drv);
        return nullptr;
    }
    addr.sll_family = AF_PACKET;
    addr.sll_ifindex = ifr.ifr_ifindex;
    if (bind(drv->sock, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0 ||
        membership(drv->sock, drv->ifname, pae_group_addr, true) < 0) {
        ap_close(drv);
        return nullptr;
    }
    if (ioctl(drv->sock, SIOCGIFHWADDR, &ifr) != 0 || ifr.ifr_hwaddr.sa_family != ARPHRD_ETHER) {
        ap_close(drv);
        return nullptr;
    }
    memcpy(drv->own_addr, ifr.ifr_hwaddr.sa_data, 6);
    if (params->own_addr) memcpy(params->own_addr, drv->own_addr, 6);

    drv->dhcp_sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    int one = 1;
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(67);
    if (drv->dhcp_sock < 0 || setsockopt(drv->dhcp_sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) < 0 ||
        setsockopt(drv->dhcp_sock, SOL_SOCKET, SO_BROADCAST, &one, sizeof(one)) < 0 ||
        setsockopt(drv->dhcp_sock, SOL_SOCKET, SO_BINDTODEVICE, drv->ifname, strlen(drv->ifname)) < 0 ||
        bind(drv->dhcp_sock, reinterpret_cast<sockaddr *>(&in), sizeof(in)) < 0 ||
        eloop_register_read_sock(drv->dhcp_sock, ap_receive_dhcp, drv, nullptr) < 0) {
        if (drv->dhcp_sock >= 0) close(drv->dhcp_sock);
        drv->dhcp_sock = -1;
        ap_close(drv);
        return nullptr;
    }
    return drv;
}

void wired_ap_deinit(void *priv) {
    ap_close(static_cast<wired_ap_data *>(priv));
}

int wired_send_eapol(void *priv, const uint8_t *addr, const uint8_t *data, size_t data_len, int,
                     const uint8_t *own_addr, uint32_t) {
    auto *drv = static_cast<wired_ap_data *>(priv);
    size_t len = 14 + data_len;
    auto *frame = static_cast<uint8_t *>(malloc(len));
    if (frame == nullptr) return -1;
    memcpy(frame, drv->use_pae_group_addr ? pae_group_addr : addr, 6);
    memcpy(frame + 6, own_addr, 6);
    frame[12] = EthPPae >> 8;
    frame[13] = EthPPae & 0xff;
    if (data_len) memcpy(frame + 14, data, data_len);
    ssize_t res = send(drv->sock, frame, len, 0);
    free(frame);
    return static_cast<int>(res);
}

} // namespace

void wired_handle_pae_frame(void *ctx, const uint8_t *frame, size_t len) {
    // An Ethernet header (destination, source, type) comes first; the EAPOL body follows.
    if (len < 14) return;
    const uint8_t *src = frame + 6;
    wpa_event_data event{};
    event.new_sta.addr = src;
    supplicant_event(ctx, EVENT_NEW_STA, &event);
    event = {};
    event.eapol_rx.src = src;
    event.eapol_rx.data = frame + 14;
    event.eapol_rx.data_len = len - 14;
    supplicant_event(ctx, EVENT_EAPOL_RX, &event);
}

void wired_handle_dhcp(void *ctx, const uint8_t *buf, size_t len) {
    // The client hardware address of a BOOTP/DHCP message sits at offset 28.
    if (len < 44) return;
    wpa_event_data event{};
    event.new_sta.addr = buf + 28;
    supplicant_event(ctx, EVENT_NEW_STA, &event);
}

const wpa_driver_ops wpa_driver_wired_ops = [] {
    wpa_driver_ops ops{};
    ops.name = "wired";
    ops.desc = "Wired Ethernet driver";
    ops.get_bssid = get_bssid;
    ops.get_ssid = get_ssid;
    ops.init = wired_init;
    ops.deinit = wired_deinit;
    ops.get_capa = get_capa;
    ops.ap_init = wired_ap_init;
    ops.ap_deinit = wired_ap_deinit;
    ops.ap_send_eapol = wired_send_eapol;
    return ops;
}();
