// The socket calls of the SNTP client behind one small interface, so unit tests can
// answer its requests without a network.
#pragma once

#include "core/address.h"

#include <cstddef>
#include <cstdint>

class NetInterface;
class Task;

class NtpNetwork {
public:
    virtual ~NtpNetwork() = default;
    // Sends the request to the server from a fresh datagram socket bound to the
    // management interface and waits at most ticks for a datagram from the server (the
    // task's messages are taken meanwhile). The datagram's whole length (at most size
    // bytes copied into reply), or -1 when nothing came.
    virtual int exchange(Task &owner, NetInterface *iface, const InetAddress &server, const uint8_t *request,
                         size_t length, uint8_t *reply, size_t size, int64_t ticks) = 0;
};

// The real sockets.
NtpNetwork *newNtpNetwork();
