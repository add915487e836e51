// The "ArpPing" task: watches the IPv4 packets that reach the interface for a ping
// addressed to the appliance's MAC address and adopts the ping's destination address.

#include "net/arpping.h"

#include "core/connection.h"
#include "core/param.h"
#include "core/ptable.h"
#include "net/netif.h"
#include "param_catalogue.h"

#include <cstring>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>

namespace {

constexpr int64_t ReadTicks = 100;
constexpr int64_t ReopenPauseTicks = 100;

// Lets only frames addressed to the interface's own MAC address through: a packet
// socket also sees the frames the appliance sends and those to the broadcast or a
// multicast MAC address, and a ping carried by one of those asks nothing of this
// appliance (a broadcast ping of a subnet narrower than /24 has no last octet 255).
bool acceptOnlyOwnFrames(int socket) {
    static sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_HOST, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFFu),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return setsockopt(socket, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

} // namespace

uint32_t arpPingTarget(const uint8_t *p, size_t length) {
    if (length <= 28 || (p[0] >> 4) != 4) return 0;
    // The ICMP header follows the IPv4 header, whose length the header states.
    size_t header = static_cast<size_t>(p[0] & 0x0f) * 4;
    if (header < 20 || header >= length || p[9] != 1 || p[header] != 8) return 0;
    const uint8_t *d = p + 16;
    if (d[0] == 0 || d[0] == 127 || d[0] >= 224 || d[3] == 255) return 0;
    if (d[0] == 169 && d[1] == 254) return 0;
    uint32_t address;
    std::memcpy(&address, d, 4);
    return address;
}

int classPrefix(uint32_t networkOrder) {
    uint8_t first = reinterpret_cast<const uint8_t *>(&networkOrder)[0];
    return first < 128 ? 8 : first < 192 ? 16 : 24;
}

ArpPing::ArpPing(NetInterface &netif) : Task("ArpPing"), iface(&netif) {
    uint8_t own[6];
    if (iface->getMacAddress(own)) mac.assign(own);
}

ArpPing::~ArpPing() {
    deleteConnection(connection);
    buffer.release();
}

uint32_t ArpPing::onMessage(const TaskMsg &msg) {
    if (msg.flags & MsgAddressChanged) reopen = true;
    return msg.flags & ~MsgAddressChanged;
}

bool ArpPing::openSocket() {
    if (connection) {
        deleteConnection(connection);
        connection = nullptr;
        wait(ReopenPauseTicks);
    }
    static const uint8_t everyone[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    auto *c = new Connection(this, iface, -1);
    unsigned index = if_nametoindex(iface->name());
    if (index == 0 || !c->open(AF_PACKET, SOCK_DGRAM, 0) || !acceptOnlyOwnFrames(c->socket) ||
        !c->bindPacket(static_cast<int>(index), everyone)) {
        deleteConnection(c);
        return false;
    }
    connection = c;
    reopen = false;
    return true;
}

bool ArpPing::consider(const uint8_t *packet, size_t length) {
    uint32_t target = arpPingTarget(packet, length);
    // Only an appliance on ZeroConf takes an address this way.
    if (target == 0 || !p_ip_addr->isLinkLocal4()) return false;
    InetAddress address = InetAddress::fromIpv4(target);
    address.setAsIfAddress(*iface, "ping", true);
    // The netmask of the address class, kept in "ip_pfxlen" so that the next start
    // puts the same one on the interface.
    int prefix = classPrefix(target);
    if (iface->setNetmask(prefix)) p_ip_pfxlen->set(prefix);
    ptable().saveIfChanged();
    return true;
}

void ArpPing::run() {
    for (;;) {
        if (reopen && !openSocket()) break;
        int n = connection->recvPacket(buffer, ReadTicks);
        if (n > 0 && consider(reinterpret_cast<const uint8_t *>(buffer.cursor), static_cast<size_t>(n)))
            break;
        buffer.release();
        sched_yield();
    }
    buffer.release();
    exit();
}
