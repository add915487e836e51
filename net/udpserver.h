// UdpServerTask: the base of the UDP services that answer on a port and on multicast
// groups (the SLP and multicast-DNS responders). It owns one set of sockets for the main
// interface and one for every IP VLAN, waits on all of them and on the task's message
// pipe at once, hands the service each datagram with the socket to answer on, and
// rebuilds the sockets when the network configuration changes.
#pragma once

#include "core/address.h"
#include "core/task.h"

#include <cstdint>
#include <pthread.h>

class Buffer;
class Connection;
class NetInterface;

class UdpServerTask : public Task {
public:
    // Socket sets: 0 for the main interface, n (1..21) for IP VLAN n.
    static constexpr int SetCount = 22;
    // In each set: [0] unicast IPv4 socket (also the reply socket of the IPv4 groups),
    // [1] group4, [2] extra1, [3] extra2, [4] IPv6 group.
    static constexpr int SocketsPerSet = 5;

    // No sockets yet; a null extra group stays unset (0.0.0.0).
    UdpServerTask(const char *name, uint16_t port, const InetAddress &group6, const InetAddress &group4,
                  const InetAddress *extra1, const InetAddress *extra2);
    ~UdpServerTask() override;

    // Opens a datagram socket of the family on the service port: non-blocking, no
    // multicast loop, bound (to the wildcard address with bindAny) and to the device.
    bool openSocket(Connection *connection, int family, bool bindAny);
    // Opens the sets from the parameters; false (every socket closed) when a socket 0
    // or an IPv4 group socket could not be opened.
    bool openSockets(NetInterface *iface, bool bindAny);
    // Closes and frees every socket of the sets in use.
    void closeSockets();
    // Waits for a datagram (ticks; 0 or a negative high word: without limit), taking
    // task messages meanwhile. The count received, -1 on a failed or timed-out wait or
    // a datagram that filled the whole buffer. socket is where it came in, reply where
    // the answer goes. A rebuild that messages asked for runs here, before the wait: the
    // sockets an earlier call handed out may be gone once the next call starts.
    int receive(Buffer &buffer, int64_t ticks, Connection **socket, Connection **reply);
    // 0x4000 marks every socket for rebuilding, 0x1000 the sockets 0 for reopening; the
    // next receive does it. A message that comes while the sockets are being rebuilt
    // loses its flags.
    uint32_t onMessage(const TaskMsg &msg) override;

    // Fields, in the order the status pages know them.
    uint16_t servicePort;
    InetAddress group6;
    InetAddress group4;
    InetAddress extra1;
    InetAddress extra2;
    pthread_mutex_t lock;
    int32_t setCount = 1;
    uint8_t hasGlobalIpv6 = 1;
    uint8_t reopened = 0;
    Connection *sets[SetCount][SocketsPerSet] = {};

private:
    // Frees one socket slot.
    void drop(int set, int slot);
    // Does the rebuild or reopening that messages asked for.
    void applyPending();
    // The flags (0x4000, 0x1000) of the messages whose work is still to be done. Messages
    // are read wherever the task waits, also while a socket of the sets is in use (inside
    // joinMulticast's wait for an address, between the poll of receive and the read):
    // the handler only notes them, and receive acts on them when no socket is in use.
    uint32_t pending_ = 0;
    // The bind-any flag of the last openSockets, for the reopening on messages.
    bool bindAny_ = false;
};
