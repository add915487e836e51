// The socket calls of the DHCP/BOOTP client, behind one small interface: the broadcast
// through a packet socket, the UDP socket on port 68 with its wait for a reply, the
// unicast to the server and the wait on the task while bound. Unit tests install their
// own and drive the state machine without a network.
#pragma once

#include "core/address.h"

#include <cstddef>
#include <cstdint>

class NetInterface;
class Task;

class DhcpNetwork {
public:
    virtual ~DhcpNetwork() = default;

    // Sends the frame through a packet socket bound to the interface's index with the
    // broadcast link-layer address; false when the socket could not be opened or bound.
    virtual bool sendBroadcast(NetInterface &iface, const uint8_t *frame, size_t length) = 0;
    // (Re)opens the UDP socket on port 68 (any local address, broadcasts taken) for the
    // task; false when it could not be made.
    virtual bool openReceive(Task &owner, NetInterface &iface) = 0;
    virtual bool receiveOpen() const = 0;
    virtual void closeReceive() = 0;
    // Sends the message from port 68 to the server's port 67; false without a socket or
    // when the send failed.
    virtual bool sendUnicast(const uint8_t *message, size_t length, uint32_t server) = 0;
    // Waits at most ticks for a datagram, handling the task's messages meanwhile
    // (stop() true after a message ends the wait early). The datagram's length (at
    // most size bytes taken), or -1 on a time-out or a failed wait.
    virtual int receive(Task &owner, uint8_t *buffer, size_t size, int64_t ticks, bool (*stop)(Task &)) = 0;
    // Waits on the task alone for at most ticks; true when a message of interest
    // (configuration changed, new discovery, notification) ended the wait.
    virtual bool waitTask(Task &owner, int64_t ticks) = 0;
    // The interface's IPv4 address; false when it has none.
    virtual bool interfaceAddress(NetInterface &iface, InetAddress &address) = 0;
};

// The real sockets; one per client task.
DhcpNetwork *newDhcpNetwork();

// The factory the client uses; tests replace it (null restores the real one).
using DhcpNetworkFactory = DhcpNetwork *(*)();
void setDhcpNetworkFactory(DhcpNetworkFactory factory);
DhcpNetwork *makeDhcpNetwork();
