// Every socket call of the nl80211 back end: generic-netlink sockets whose peer is the
// platform's nl80211 port, and the interface ioctls on the radio's interfaces. Unit tests
// put their own table in place and feed the back end crafted messages.
#include "core/platform.h"
#include "wireless/drivers/driver_nl80211_internal.h"
#include "wireless/drivers/linux_ioctl.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

int ioctl_sock() {
    static int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return sock;
}

int gnl_open() {
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_GENERIC);
    if (fd < 0) return -errno;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof(local)) < 0) {
        int err = -errno;
        close(fd);
        return err;
    }
    // A command answer never takes this long; a peer that does not answer at all must
    // not hang the supplicant's loop.
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    int one = 1;
    setsockopt(fd, SOL_NETLINK, NETLINK_EXT_ACK, &one, sizeof(one));
    return fd;
}

void gnl_close(int fd) {
    close(fd);
}

int gnl_send(int fd, const void *buf, size_t len) {
    sockaddr_nl peer{};
    peer.nl_family = AF_NETLINK;
    peer.nl_pid = platform().nl80211Port();
    ssize_t n = sendto(fd, buf, len, 0, reinterpret_cast<sockaddr *>(&peer), sizeof(peer));
    if (n < 0) return -errno;
    return n == static_cast<ssize_t>(len) ? 0 : -EIO;
}

ssize_t gnl_recv(int fd, void *buf, size_t len) {
    for (;;) {
        ssize_t n = recv(fd, buf, len, MSG_TRUNC);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EWOULDBLOCK ? -EAGAIN : -errno;
        if (static_cast<size_t>(n) > len) return -EMSGSIZE;
        return n;
    }
}

int gnl_join(int fd, int group) {
    if (setsockopt(fd, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof(group)) < 0) return -errno;
    return 0;
}

uint32_t gnl_port(int fd) {
    sockaddr_nl local{};
    socklen_t len = sizeof(local);
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &len) < 0) return 0;
    return local.nl_pid;
}

int gnl_set_nonblock(int fd, int bufsize) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return -errno;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufsize, sizeof(bufsize));
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufsize, sizeof(bufsize));
    return 0;
}

unsigned int if_index(const char *ifname) {
    return if_nametoindex(ifname);
}

int if_set_up(const char *ifname, int up) {
    return linux_set_iface_flags(ioctl_sock(), ifname, up);
}

int if_is_up(const char *ifname) {
    return linux_iface_up(ioctl_sock(), ifname);
}

int if_get_mac(const char *ifname, uint8_t *addr) {
    return linux_get_ifhwaddr(ioctl_sock(), ifname, addr);
}

int if_set_mac(const char *ifname, const uint8_t *addr) {
    return linux_set_ifhwaddr(ioctl_sock(), ifname, addr);
}

int set_oper(netlink_data *rtnl, int ifindex, int linkmode, int operstate) {
    if (rtnl == nullptr) return -1;
    return netlink_send_oper_ifla(rtnl, ifindex, linkmode, operstate);
}

void sleep_ms(int ms) {
    usleep(static_cast<useconds_t>(ms) * 1000);
}

const nl80211_io_ops real_io = {
    gnl_open, gnl_close, gnl_send, gnl_recv,   gnl_join,   gnl_port, gnl_set_nonblock,
    if_index, if_set_up, if_is_up, if_get_mac, if_set_mac, set_oper, sleep_ms,
};

const nl80211_io_ops *current = &real_io;

} // namespace

const nl80211_io_ops *nl80211_io() {
    return current;
}

void nl80211_io_set(const nl80211_io_ops *ops) {
    current = ops ? ops : &real_io;
}
