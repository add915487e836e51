// Interface ioctls, bridge lookups, knobs under /proc and /sys, and the rtnetlink
// listener that the driver back ends share.
#pragma once

#include <cstddef>
#include <cstdint>

struct ifinfomsg;

// Brings the interface up or down: 0, or the negative errno (-999 when errno is 0).
int linux_set_iface_flags(int sock, const char *ifname, int dev_up);
// 1 up, 0 down, or the negative errno.
int linux_iface_up(int sock, const char *ifname);
int linux_get_ifhwaddr(int sock, const char *ifname, uint8_t *addr);
int linux_set_ifhwaddr(int sock, const char *ifname, const uint8_t *addr);
int linux_br_add(int sock, const char *brname);
int linux_br_del(int sock, const char *brname);
int linux_br_add_if(int sock, const char *brname, const char *ifname);
int linux_br_del_if(int sock, const char *brname, const char *ifname);
// The bridge or master the interface belongs to (brname: 16 bytes); -1 when none.
int linux_br_get(char *brname, const char *ifname);
int linux_master_get(char *master_ifname, const char *ifname);

// Reads the flags of an interface and sets or clears some of them, each through its own
// AF_INET datagram socket: 0 or -1.
int linux_get_iface_flags(const char *ifname, int *flags);
int linux_set_iface_flag_bits(const char *ifname, int set, int clear);

// Data-frame filters (bits: 0x1 gratuitous ARP, 0x2 unsolicited NA, 0x4 unicast in L2 multicast).
int linux_configure_data_frame_filters(const char *ifname, uint32_t filter_flags);
int linux_br_set_net_param(const char *brname, int param, unsigned int val);
int linux_br_port_set_attr(const char *ifname, int attr, unsigned int val);

struct netlink_config {
    void *ctx;
    void (*newlink_cb)(void *ctx, ifinfomsg *ifi, uint8_t *buf, size_t len);
    void (*dellink_cb)(void *ctx, ifinfomsg *ifi, uint8_t *buf, size_t len);
};

struct netlink_data;
netlink_data *netlink_init(const netlink_config *cfg);
void netlink_deinit(netlink_data *netlink);
// Sets the link mode and operational state (-1 leaves one out): 0 or -1.
int netlink_send_oper_ifla(netlink_data *netlink, int ifindex, int linkmode, int operstate);
// The walk over one received datagram, for tests and fuzzing.
void netlink_receive_buffer(const netlink_config *cfg, uint8_t *buf, size_t len);
