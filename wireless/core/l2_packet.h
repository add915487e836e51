// Layer-2 packet sockets: EAPOL (ethertype 0x888E) and pre-authentication (0x88C7) frames travel outside the
// driver interface, over an AF_PACKET socket bound to the network interface and served by the event loop.
#pragma once

#include <cstddef>
#include <cstdint>

struct l2_packet_data;

// Receives (context, source address, frame, length); the frame without Ethernet header
// unless the record is in raw mode.
using l2_packet_rx_cb = void (*)(void *ctx, const uint8_t *src_addr, const uint8_t *buf, size_t len);

// Null when any step fails.
l2_packet_data *l2_packet_init(const char *ifname, const uint8_t *own_addr, unsigned short protocol,
                               l2_packet_rx_cb rx_callback, void *rx_callback_ctx, int l2_hdr);
// The main socket on the bridge interface and a second one on the wireless interface
// (all ethertypes, filtered in the kernel to the one asked for); a frame that arrives on
// both is delivered once. Without the second socket when it cannot be set up.
l2_packet_data *l2_packet_init_bridge(const char *br_ifname, const char *ifname, const uint8_t *own_addr,
                                      unsigned short protocol, l2_packet_rx_cb rx_callback,
                                      void *rx_callback_ctx, int l2_hdr);
void l2_packet_deinit(l2_packet_data *l2);
int l2_packet_send(l2_packet_data *l2, const uint8_t *dst_addr, uint16_t proto, const uint8_t *buf,
                   size_t len);
int l2_packet_get_own_addr(l2_packet_data *l2, uint8_t *addr);
int l2_packet_get_ip_addr(l2_packet_data *l2, char *buf, size_t len);
void l2_packet_notify_auth_start(l2_packet_data *l2);
// What the read handler does with one received frame (for tests of the reception path).
void l2_packet_receive(int sock, void *eloop_ctx, void *sock_ctx);
void l2_packet_receive_br(int sock, void *eloop_ctx, void *sock_ctx);
