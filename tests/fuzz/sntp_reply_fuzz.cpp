// A received SNTP reply and a pinged IPv4 packet: both are read within their length.
#include "net/arpping.h"
#include "net/ntp_message.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> packet(data, data + size);
    timeval time{};
    if (parseNtpReply(packet.data(), packet.size(), time) && size != NtpMessageSize) __builtin_trap();
    arpPingTarget(packet.data(), packet.size());
    return 0;
}
