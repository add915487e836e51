// The layer-2 socket pair of a bridged interface, in a network namespace of its own with a
// veth pair: a frame that reaches both sockets is delivered once, other ethertypes never
// reach the second socket, and a long frame arrives cut to 2300 bytes.
#include "wireless/core/eloop.h"
#include "wireless/core/l2_packet.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Rx {
    std::vector<size_t> lengths;
} rx;

void on_frame(void *, const uint8_t *, const uint8_t *, size_t len) {
    rx.lengths.push_back(len);
}

void stop(void *, void *) {
    eloop_terminate();
}

// Sends raw Ethernet frames out of an interface.
bool send_frames(const char *ifname, const std::vector<std::vector<uint8_t>> &frames) {
    int s = socket(AF_PACKET, SOCK_RAW, 0);
    if (s < 0) return false;
    sockaddr_ll ll{};
    ll.sll_family = AF_PACKET;
    ll.sll_ifindex = static_cast<int>(if_nametoindex(ifname));
    ll.sll_halen = 6;
    bool ok = true;
    for (const auto &f : frames)
        ok = ok && sendto(s, f.data(), f.size(), 0, reinterpret_cast<sockaddr *>(&ll), sizeof(ll)) ==
                       static_cast<ssize_t>(f.size());
    close(s);
    return ok;
}

std::vector<uint8_t> frame(uint16_t ethertype, size_t body, uint8_t tag) {
    std::vector<uint8_t> f(14 + body, tag);
    const uint8_t dst[6] = {0x01, 0x80, 0xc2, 0, 0, 0x03}, src[6] = {0x02, 0, 0, 0, 0x0b, 0x01};
    memcpy(f.data(), dst, 6);
    memcpy(f.data() + 6, src, 6);
    f[12] = static_cast<uint8_t>(ethertype >> 8);
    f[13] = static_cast<uint8_t>(ethertype);
    return f;
}

// In the child: a namespace with two veth pairs, l2a/l2b (the wireless side) and l2c/l2d
// (the bridge); the main socket on l2c, the second one on l2a. The first frames are sent
// into l2a, the second ones into l2c, each batch handled before the next. The exit status
// is the number of deliveries, plus 50 when one came cut to 2300 bytes; 100 and more on
// failure.
int run_child(const std::vector<std::vector<uint8_t>> &wireless,
              const std::vector<std::vector<uint8_t>> &bridge) {
    if (unshare(CLONE_NEWNET) != 0) return 101;
    if (system("ip link add l2a mtu 4000 type veth peer name l2b mtu 4000 && "
               "ip link add l2c mtu 4000 type veth peer name l2d mtu 4000 && "
               "for i in l2a l2b l2c l2d; do ip link set $i up || exit 1; done") != 0)
        return 102;
    eloop_init();
    l2_packet_data *l2 = l2_packet_init_bridge("l2c", "l2a", nullptr, 0x888e, on_frame, nullptr, 1);
    if (l2 == nullptr) return 103;
    for (auto batch : {std::make_pair("l2b", &wireless), std::make_pair("l2d", &bridge)}) {
        if (!send_frames(batch.first, *batch.second)) return 104;
        eloop_register_timeout(0, 300000, stop, nullptr, nullptr);
        eloop_run();
    }
    l2_packet_deinit(l2);
    eloop_destroy();
    bool cut = false;
    for (size_t len : rx.lengths)
        if (len == 2300) cut = true;
    return static_cast<int>(rx.lengths.size()) + (cut ? 50 : 0);
}

int in_child(const std::vector<std::vector<uint8_t>> &wireless,
             const std::vector<std::vector<uint8_t>> &bridge) {
    pid_t pid = fork();
    if (pid == 0) _exit(run_child(wireless, bridge));
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

TEST(L2Packet, BridgePairDeliversAFrameThatReachesBothSocketsOnce) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace and packet sockets";
    const auto a = frame(0x888e, 60, 1), b = frame(0x888e, 60, 2), c = frame(0x888e, 60, 3);
    // Two frames on the wireless side, then the same two and a new one on the bridge: the
    // copies are dropped, the new one is delivered.
    EXPECT_EQ(in_child({a, b}, {a, b, c}), 3);
    // Another ethertype never passes the second socket's filter.
    EXPECT_EQ(in_child({frame(0x0800, 60, 4), a}, {}), 1);
    // A frame longer than 2300 bytes arrives cut.
    EXPECT_EQ(in_child({}, {frame(0x888e, 3000, 5)}), 51);
}

} // namespace
