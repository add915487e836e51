#include "wireless/core/l2_packet.h"

#include "wireless/core/eloop.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

struct l2_packet_data {
    char ifname[IFNAMSIZ];
    int ifindex;
    uint8_t own_addr[6];
    l2_packet_rx_cb rx_callback;
    void *rx_callback_ctx;
    int l2_hdr;
    int fd;
    // The bridge pair: the second socket on the wireless interface, which copy of the
    // last two delivered frames came from it, their digests, and its frame count.
    int fd_br_rx;
    int last_from_br, last_from_br_prev;
    uint8_t last_hash[20], last_hash_prev[20];
    unsigned int num_rx_br;
};

namespace {

constexpr size_t MAX_FRAME = 2300;

} // namespace

namespace {

void frame_hash(const uint8_t *buf, size_t len, uint8_t *out) {
    unsigned int n = 0;
    if (EVP_Digest(buf, len, out, &n, EVP_sha1(), nullptr) != 1) memset(out, 0, 20);
}

// Whether a frame with this digest was just delivered from the other socket.
bool seen_from(const l2_packet_data *l2, const uint8_t *hash, int from_br) {
    return (l2->last_from_br == from_br && memcmp(hash, l2->last_hash, 20) == 0) ||
           (l2->last_from_br_prev == from_br && memcmp(hash, l2->last_hash_prev, 20) == 0);
}

void remember(l2_packet_data *l2, const uint8_t *hash, int from_br) {
    memcpy(l2->last_hash_prev, l2->last_hash, 20);
    l2->last_from_br_prev = l2->last_from_br;
    memcpy(l2->last_hash, hash, 20);
    l2->last_from_br = from_br;
}

void close_br(l2_packet_data *l2) {
    if (l2->fd_br_rx < 0) return;
    eloop_unregister_read_sock(l2->fd_br_rx);
    close(l2->fd_br_rx);
    l2->fd_br_rx = -1;
}

} // namespace

void l2_packet_receive(int sock, void *eloop_ctx, void *) {
    auto *l2 = static_cast<l2_packet_data *>(eloop_ctx);
    uint8_t buf[MAX_FRAME];
    sockaddr_ll ll{};
    socklen_t fromlen = sizeof(ll);
    // A longer frame is delivered cut to the buffer.
    ssize_t res = recvfrom(sock, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(&ll), &fromlen);
    if (res < 0) return;
    if (l2->fd_br_rx >= 0) {
        // Frames arrive on the main socket: the second one is not needed.
        if (l2->num_rx_br < 2) close_br(l2);
        uint8_t hash[20];
        frame_hash(buf, static_cast<size_t>(res), hash);
        if (seen_from(l2, hash, 1)) return;
        remember(l2, hash, 0);
    }
    l2->last_from_br = 0;
    l2->rx_callback(l2->rx_callback_ctx, ll.sll_addr, buf, static_cast<size_t>(res));
}

void l2_packet_receive_br(int sock, void *eloop_ctx, void *) {
    auto *l2 = static_cast<l2_packet_data *>(eloop_ctx);
    l2->num_rx_br++;
    uint8_t buf[MAX_FRAME];
    sockaddr_ll ll{};
    socklen_t fromlen = sizeof(ll);
    ssize_t res = recvfrom(sock, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(&ll), &fromlen);
    if (res < 0) return;
    if (memcmp(ll.sll_addr, l2->own_addr, 6) == 0) return;
    uint8_t hash[20];
    frame_hash(buf, static_cast<size_t>(res), hash);
    if (seen_from(l2, hash, 0)) return;
    remember(l2, hash, 1);
    l2->rx_callback(l2->rx_callback_ctx, ll.sll_addr, buf, static_cast<size_t>(res));
}

l2_packet_data *l2_packet_init(const char *ifname, const uint8_t *, unsigned short protocol,
                               l2_packet_rx_cb rx_callback, void *rx_callback_ctx, int l2_hdr) {
    auto *l2 = static_cast<l2_packet_data *>(calloc(1, sizeof(l2_packet_data)));
    if (l2 == nullptr) return nullptr;
    if (strlen(ifname) >= sizeof(l2->ifname)) {
        free(l2);
        return nullptr;
    }
    memcpy(l2->ifname, ifname, strlen(ifname) + 1);
    l2->rx_callback = rx_callback;
    l2->rx_callback_ctx = rx_callback_ctx;
    l2->l2_hdr = l2_hdr;
    l2->fd_br_rx = -1;
    l2->fd = socket(PF_PACKET, (l2_hdr ? SOCK_RAW : SOCK_DGRAM) | SOCK_CLOEXEC, htons(protocol));
    if (l2->fd < 0) {
        free(l2);
        return nullptr;
    }
    ifreq ifr{};
    memcpy(ifr.ifr_name, l2->ifname, sizeof(ifr.ifr_name));
    sockaddr_ll ll{};
    if (ioctl(l2->fd, SIOCGIFINDEX, &ifr) < 0) goto fail;
    l2->ifindex = ifr.ifr_ifindex;
    ll.sll_family = PF_PACKET;
    ll.sll_ifindex = l2->ifindex;
    ll.sll_protocol = htons(protocol);
    if (bind(l2->fd, reinterpret_cast<sockaddr *>(&ll), sizeof(ll)) < 0) goto fail;
    if (ioctl(l2->fd, SIOCGIFHWADDR, &ifr) < 0) goto fail;
    memcpy(l2->own_addr, ifr.ifr_hwaddr.sa_data, 6);
    if (eloop_register_read_sock(l2->fd, l2_packet_receive, l2, nullptr) < 0) goto fail;
    return l2;
fail:
    close(l2->fd);
    free(l2);
    return nullptr;
}

l2_packet_data *l2_packet_init_bridge(const char *br_ifname, const char *ifname, const uint8_t *own_addr,
                                      unsigned short protocol, l2_packet_rx_cb rx_callback,
                                      void *rx_callback_ctx, int l2_hdr) {
    l2_packet_data *l2 = l2_packet_init(br_ifname, own_addr, protocol, rx_callback, rx_callback_ctx, l2_hdr);
    if (l2 == nullptr) return nullptr;
    // Load the ethertype; equal: accept the whole frame, else drop it.
    sock_filter code[4] = {
        {BPF_LD | BPF_H | BPF_ABS, 0, 0, 12},
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, protocol},
        {BPF_RET | BPF_K, 0, 0, 0xffffffff},
        {BPF_RET | BPF_K, 0, 0, 0},
    };
    sock_fprog prog{4, code};
    const unsigned int index = if_nametoindex(ifname);
    int fd = socket(PF_PACKET, (l2_hdr ? SOCK_RAW : SOCK_DGRAM) | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (fd < 0) return l2;
    sockaddr_ll ll{};
    ll.sll_family = PF_PACKET;
    ll.sll_ifindex = static_cast<int>(index);
    ll.sll_protocol = htons(ETH_P_ALL);
    if (index == 0 || bind(fd, reinterpret_cast<sockaddr *>(&ll), sizeof(ll)) < 0 ||
        setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof(prog)) < 0 ||
        eloop_register_read_sock(fd, l2_packet_receive_br, l2, nullptr) < 0) {
        close(fd);
        return l2;
    }
    l2->fd_br_rx = fd;
    return l2;
}

void l2_packet_deinit(l2_packet_data *l2) {
    if (l2 == nullptr) return;
    close_br(l2);
    if (l2->fd >= 0) {
        eloop_unregister_read_sock(l2->fd);
        close(l2->fd);
    }
    free(l2);
}

int l2_packet_send(l2_packet_data *l2, const uint8_t *dst_addr, uint16_t proto, const uint8_t *buf,
                   size_t len) {
    if (l2 == nullptr) return -1;
    if (l2->l2_hdr) return static_cast<int>(send(l2->fd, buf, len, 0));
    sockaddr_ll ll{};
    ll.sll_family = AF_PACKET;
    ll.sll_ifindex = l2->ifindex;
    ll.sll_protocol = htons(proto);
    ll.sll_halen = ETH_ALEN;
    memcpy(ll.sll_addr, dst_addr, ETH_ALEN);
    return static_cast<int>(sendto(l2->fd, buf, len, 0, reinterpret_cast<sockaddr *>(&ll), sizeof(ll)));
}

int l2_packet_get_own_addr(l2_packet_data *l2, uint8_t *addr) {
    memcpy(addr, l2->own_addr, 6);
    return 0;
}

int l2_packet_get_ip_addr(l2_packet_data *l2, char *buf, size_t len) {
    int s = socket(PF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    ifreq ifr{};
    memcpy(ifr.ifr_name, l2->ifname, sizeof(ifr.ifr_name));
    if (ioctl(s, SIOCGIFADDR, &ifr) < 0) {
        close(s);
        return -1;
    }
    close(s);
    auto *saddr = reinterpret_cast<sockaddr_in *>(&ifr.ifr_addr);
    if (saddr->sin_family != AF_INET) return -1;
    char text[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &saddr->sin_addr, text, sizeof(text)) == nullptr) return -1;
    int n = snprintf(buf, len, "%s", text);
    return n < 0 || static_cast<size_t>(n) >= len ? -1 : 0;
}

void l2_packet_notify_auth_start(l2_packet_data *) {}
