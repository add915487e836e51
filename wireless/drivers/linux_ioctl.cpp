#include "wireless/drivers/linux_ioctl.h"

#include "wireless/core/eloop.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int neg_errno() {
    return errno ? -errno : -999;
}

void set_name(ifreq &ifr, const char *ifname) {
    memset(&ifr, 0, sizeof(ifr));
    snprintf(ifr.ifr_name, IFNAMSIZ, "%s", ifname);
}

int write_knob(const char *path, unsigned int val) {
    FILE *f = fopen(path, "w");
    if (f == nullptr) return -1;
    int ok = fprintf(f, "%u\n", val) > 0;
    if (fclose(f) != 0) ok = 0;
    return ok ? 0 : -1;
}

int link_name(const char *fmt, const char *ifname, char *out) {
    char path[128], target[128];
    int n = snprintf(path, sizeof(path), fmt, ifname);
    if (n < 0 || n >= static_cast<int>(sizeof(path))) return -1;
    ssize_t len = readlink(path, target, sizeof(target) - 1);
    if (len < 0) return -1;
    target[len] = '\0';
    const char *base = strrchr(target, '/');
    base = base ? base + 1 : target;
    size_t blen = strnlen(base, IFNAMSIZ - 1);
    memcpy(out, base, blen);
    out[blen] = '\0';
    return 0;
}

} // namespace

int linux_set_iface_flags(int sock, const char *ifname, int dev_up) {
    ifreq ifr;
    set_name(ifr, ifname);
    if (ioctl(sock, SIOCGIFFLAGS, &ifr) != 0) return neg_errno();
    if (dev_up == !!(ifr.ifr_flags & IFF_UP)) return 0;
    if (dev_up)
        ifr.ifr_flags |= IFF_UP;
    else
        ifr.ifr_flags &= ~IFF_UP;
    if (ioctl(sock, SIOCSIFFLAGS, &ifr) != 0) return neg_errno();
    return 0;
}

int linux_iface_up(int sock, const char *ifname) {
    ifreq ifr;
    set_name(ifr, ifname);
    if (ioctl(sock, SIOCGIFFLAGS, &ifr) != 0) return neg_errno();
    return !!(ifr.ifr_flags & IFF_UP);
}

int linux_get_ifhwaddr(int sock, const char *ifname, uint8_t *addr) {
    ifreq ifr;
    set_name(ifr, ifname);
    if (ioctl(sock, SIOCGIFHWADDR, &ifr) != 0 || ifr.ifr_hwaddr.sa_family != ARPHRD_ETHER) return -1;
    memcpy(addr, ifr.ifr_hwaddr.sa_data, 6);
    return 0;
}

int linux_set_ifhwaddr(int sock, const char *ifname, const uint8_t *addr) {
    ifreq ifr;
    set_name(ifr, ifname);
    ifr.ifr_hwaddr.sa_family = ARPHRD_ETHER;
    memcpy(ifr.ifr_hwaddr.sa_data, addr, 6);
    return ioctl(sock, SIOCSIFHWADDR, &ifr) != 0 ? -1 : 0;
}

int linux_br_add(int sock, const char *brname) {
    return ioctl(sock, SIOCBRADDBR, brname) < 0 ? -1 : 0;
}

int linux_br_del(int sock, const char *brname) {
    return ioctl(sock, SIOCBRDELBR, brname) < 0 ? -1 : 0;
}

int linux_br_add_if(int sock, const char *brname, const char *ifname) {
    int ifindex = static_cast<int>(if_nametoindex(ifname));
    if (ifindex == 0) return -1;
    ifreq ifr;
    set_name(ifr, brname);
    ifr.ifr_ifindex = ifindex;
    return ioctl(sock, SIOCBRADDIF, &ifr) < 0 ? -1 : 0;
}

int linux_br_del_if(int sock, const char *brname, const char *ifname) {
    int ifindex = static_cast<int>(if_nametoindex(ifname));
    if (ifindex == 0) return -1;
    ifreq ifr;
    set_name(ifr, brname);
    ifr.ifr_ifindex = ifindex;
    return ioctl(sock, SIOCBRDELIF, &ifr) < 0 ? -1 : 0;
}

int linux_br_get(char *brname, const char *ifname) {
    return link_name("/sys/class/net/%s/brport/bridge", ifname, brname);
}

int linux_master_get(char *master_ifname, const char *ifname) {
    return link_name("/sys/class/net/%s/master", ifname, master_ifname);
}

int linux_get_iface_flags(const char *ifname, int *flags) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    ifreq ifr;
    set_name(ifr, ifname);
    int ret = ioctl(s, SIOCGIFFLAGS, &ifr);
    close(s);
    if (ret < 0) return -1;
    *flags = ifr.ifr_flags & 0xffff;
    return 0;
}

int linux_set_iface_flag_bits(const char *ifname, int set, int clear) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    ifreq ifr;
    set_name(ifr, ifname);
    int ret = ioctl(s, SIOCGIFFLAGS, &ifr);
    if (ret == 0) {
        ifr.ifr_flags = static_cast<short>((ifr.ifr_flags | set) & ~clear);
        ret = ioctl(s, SIOCSIFFLAGS, &ifr);
    }
    close(s);
    return ret < 0 ? -1 : 0;
}

int linux_configure_data_frame_filters(const char *ifname, uint32_t filter_flags) {
    struct Knob {
        const char *fmt;
        uint32_t bit;
    } knobs[] = {
        {"/proc/sys/net/ipv4/conf/%s/drop_unicast_in_l2_multicast", 0x4},
        {"/proc/sys/net/ipv6/conf/%s/drop_unicast_in_l2_multicast", 0x4},
        {"/proc/sys/net/ipv4/conf/%s/drop_gratuitous_arp", 0x1},
        {"/proc/sys/net/ipv6/conf/%s/drop_unsolicited_na", 0x2},
    };
    for (const Knob &k : knobs) {
        char path[128];
        int n = snprintf(path, sizeof(path), k.fmt, ifname);
        if (n < 0 || n >= static_cast<int>(sizeof(path))) return -1;
        if (write_knob(path, (filter_flags & k.bit) ? 1 : 0) < 0) return -1;
    }
    return 0;
}

int linux_br_set_net_param(const char *brname, int param, unsigned int val) {
    char path[128];
    int n;
    if (param == 1)
        n = snprintf(path, sizeof(path), "/sys/devices/virtual/net/%s/bridge/multicast_snooping", brname);
    else if (param == 0)
        n = snprintf(path, sizeof(path), "/proc/sys/net/ipv%d/conf/%s/%s", 4, brname, "arp_accept");
    else
        return -22;
    if (n < 0 || n >= static_cast<int>(sizeof(path))) return -1;
    return write_knob(path, val);
}

int linux_br_port_set_attr(const char *ifname, int attr, unsigned int val) {
    const char *name = attr == 1 ? "hairpin_mode" : attr == 0 ? "proxyarp_wifi" : nullptr;
    if (name == nullptr) return -22;
    char path[128];
    int n = snprintf(path, sizeof(path), "/sys/class/net/%s/brport/%s", ifname, name);
    if (n < 0 || n >= static_cast<int>(sizeof(path))) return -1;
    return write_knob(path, val);
}

// ------------------------------------------------------------------ rtnetlink

struct netlink_data {
    netlink_config cfg;
    int sock;
};

namespace {
unsigned int oper_seq = 0;

void netlink_receive(int sock, void *eloop_ctx, void *) {
    auto *netlink = static_cast<netlink_data *>(eloop_ctx);
    uint8_t buf[8192];
    for (int i = 0; i < 10; i++) {
        ssize_t res = recv(sock, buf, sizeof(buf), MSG_DONTWAIT);
        if (res <= 0) return;
        netlink_receive_buffer(&netlink->cfg, buf, static_cast<size_t>(res));
    }
}
} // namespace

void netlink_receive_buffer(const netlink_config *cfg, uint8_t *buf, size_t len) {
    size_t pos = 0;
    while (len - pos >= sizeof(nlmsghdr)) {
        auto *h = reinterpret_cast<nlmsghdr *>(buf + pos);
        size_t plen = h->nlmsg_len;
        if (plen < sizeof(nlmsghdr) || plen > len - pos) break;
        if ((h->nlmsg_type == RTM_NEWLINK || h->nlmsg_type == RTM_DELLINK) &&
            plen >= NLMSG_LENGTH(sizeof(ifinfomsg))) {
            auto *ifi = static_cast<ifinfomsg *>(NLMSG_DATA(h));
            uint8_t *attrs = reinterpret_cast<uint8_t *>(ifi) + NLMSG_ALIGN(sizeof(ifinfomsg));
            size_t alen = plen - NLMSG_LENGTH(sizeof(ifinfomsg));
            auto cb = h->nlmsg_type == RTM_NEWLINK ? cfg->newlink_cb : cfg->dellink_cb;
            if (cb) cb(cfg->ctx, ifi, attrs, alen);
        }
        size_t step = NLMSG_ALIGN(plen);
        if (step > len - pos) break;
        pos += step;
    }
}

netlink_data *netlink_init(const netlink_config *cfg) {
    auto *netlink = static_cast<netlink_data *>(calloc(1, sizeof(netlink_data)));
    if (netlink == nullptr) return nullptr;
    netlink->sock = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK;
    if (netlink->sock < 0 || bind(netlink->sock, reinterpret_cast<sockaddr *>(&local), sizeof(local)) < 0 ||
        eloop_register_read_sock(netlink->sock, netlink_receive, netlink, nullptr) < 0) {
        if (netlink->sock >= 0) close(netlink->sock);
        free(netlink);
        return nullptr;
    }
    netlink->cfg = *cfg;
    return netlink;
}

void netlink_deinit(netlink_data *netlink) {
    if (netlink == nullptr) return;
    eloop_unregister_read_sock(netlink->sock);
    close(netlink->sock);
    free(netlink);
}

int netlink_send_oper_ifla(netlink_data *netlink, int ifindex, int linkmode, int operstate) {
    struct {
        nlmsghdr hdr;
        ifinfomsg ifinfo;
        char opts[16];
    } req{};
    req.hdr.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    req.hdr.nlmsg_type = RTM_SETLINK;
    req.hdr.nlmsg_flags = NLM_F_REQUEST;
    req.hdr.nlmsg_seq = ++oper_seq;
    req.ifinfo.ifi_family = AF_UNSPEC;
    req.ifinfo.ifi_index = ifindex;
    auto add = [&req](unsigned short type, int value) {
        auto *rta =
            reinterpret_cast<rtattr *>(reinterpret_cast<char *>(&req) + NLMSG_ALIGN(req.hdr.nlmsg_len));
        rta->rta_type = type;
        rta->rta_len = RTA_LENGTH(sizeof(uint8_t));
        *static_cast<uint8_t *>(RTA_DATA(rta)) = static_cast<uint8_t>(value);
        req.hdr.nlmsg_len = NLMSG_ALIGN(req.hdr.nlmsg_len) + RTA_SPACE(sizeof(uint8_t));
    };
    if (linkmode != -1) add(IFLA_LINKMODE, linkmode);
    if (operstate != -1) add(IFLA_OPERSTATE, operstate);
    return send(netlink->sock, &req, req.hdr.nlmsg_len, 0) < 0 ? -1 : 0;
}
