// The SLP responder task "SLP": answers SLPv1 service requests for the appliance's
// service type on port 427 and its multicast groups, and lets a request configure the
// address of an appliance that is still on ZeroConf (or has no IPv6 address).
#pragma once

#include "net/slp_message.h"
#include "net/udpserver.h"

class NetInterface;

// What a request's remote configuration did.
struct SlpOutcome {
    bool answer = true;   // false: the request names another appliance
    bool limited = false; // a configuration was refused
    bool changed = false; // a new address was taken
};

// The remote configuration of a parsed request on the interface: the address is
// taken only from an appliance on ZeroConf (IPv4) or without IPv6 address. A given
// netmask goes to "ip_pfxlen"; without one the prefix stays as it is.
SlpOutcome slpConfigure(const SlpRequest &request, NetInterface &iface);

class SlpServer : public UdpServerTask {
public:
    static constexpr uint16_t Port = 427;
    static constexpr int64_t WaitTicks = 1500;

    explicit SlpServer(NetInterface &iface);
    ~SlpServer() override;

    void run() override;
    // Answers one request that came in for the local address; the reply is sent on
    // the connection. False when no reply was due.
    bool handleRequest(const uint8_t *message, size_t length, Connection &reply, const InetAddress &local);

    NetInterface *iface;
};
