// A received DHCP/BOOTP reply: the header checks and the option walk stay within the
// datagram whatever its options claim.
#include "net/dhcp_packet.h"

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An exact copy, so a read past the datagram is a read past the allocation.
    std::vector<uint8_t> message(data, data + size);
    const uint8_t mac[6] = {};
    bootpReplyMatches(message.data(), message.size(), mac, 0);
    bootpMessageType(message.data(), message.size());
    DhcpReply reply;
    if (parseBootpReply(message.data(), message.size(), reply)) {
        if (std::strlen(reply.hostName) >= sizeof reply.hostName) __builtin_trap();
        uint32_t renew = reply.renew, rebind = reply.rebind;
        boundLeaseTimes(reply.lease, renew, rebind);
        if (reply.lease != 0 && (renew > rebind || rebind > reply.lease)) __builtin_trap();
    }
    return 0;
}
