// SLPv1 service requests for the appliance's service type "service:x-kvxps://": the
// bounded reading of a request with its attributes, and the service reply.
#pragma once

#include "core/address.h"

#include <cstddef>
#include <cstdint>

constexpr size_t SlpHeaderSize = 12;
constexpr size_t SlpMaxPredicate = 1024;
constexpr const char *SlpServiceType = "service:x-kvxps://";

// The attributes of a request (keywords compared without regard to case).
struct SlpRequest {
    uint16_t predicateLength = 0;
    bool hasName = false;
    char name[121] = {};
    bool hasIpv4 = false;
    InetAddress ipv4;
    bool hasIpv6 = false;
    InetAddress ipv6;
    int ipv6Prefix = -1; // -1: not given
    bool hasMask = false;
    uint32_t mask = 0; // network order
    InetAddress gateway4;
    InetAddress gateway6;
    // Of IPv4 and IPv6, the address given last (4 or 6; 0: none).
    int lastFamily = 0;
};

// Reads a service request of length bytes: version 1, function 1, the predicate within
// the datagram and at most 1024 bytes, naming the service type after the cut at its
// last '/'. False for anything else (no reply is due).
bool parseSlpRequest(const uint8_t *message, size_t length, SlpRequest &request);

// The prefix of the request's netmask (its leading one bits); -1 when the request gives
// none or one without leading one bits (0.0.0.0), so the prefix in use stays.
int slpPrefix(const SlpRequest &request);

// Writes the service reply to the request (language, encoding and transaction id
// taken over) with the URL; the reply's length, 0 when it does not fit.
size_t buildSlpReply(const uint8_t *request, const char *url, uint8_t *out, size_t size);

// The reply URL for the local address; ";x-limited-access" appended when asked.
int buildSlpUrl(const InetAddress &local, bool limited, char *out, size_t size);
