// The "ArpPing" task: an appliance that has only a ZeroConf address takes the address
// of an ICMP echo request sent to its MAC address (after the administrator set a static
// ARP entry for the wanted address on a computer of the network and pinged it).
#pragma once

#include "core/address.h"
#include "core/buffer.h"
#include "core/task.h"

#include <cstddef>
#include <cstdint>

class Connection;
class NetInterface;

// The address (network order) an IPv4 packet asks the appliance to take: the
// destination of an ICMP echo request, unless it is a multicast, broadcast, loopback,
// "this network" or link-local address; 0 for any other packet.
uint32_t arpPingTarget(const uint8_t *packet, size_t length);

// The prefix of an address's class: 8 below 128, 16 below 192, else 24.
int classPrefix(uint32_t networkOrder);

class ArpPing : public Task {
public:
    explicit ArpPing(NetInterface &iface);
    ~ArpPing() override;

    void run() override;
    // The address-changed flag reopens the socket.
    uint32_t onMessage(const TaskMsg &msg) override;
    // Takes the packet's address while the appliance is on ZeroConf; true when taken.
    bool consider(const uint8_t *packet, size_t length);

    NetInterface *iface;
    MacAddress mac;
    Connection *connection = nullptr;
    bool reopen = true;
    Buffer buffer;

private:
    bool openSocket();
};
