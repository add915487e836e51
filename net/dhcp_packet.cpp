// The DHCP/BOOTP client's messages: building the request, its broadcast frame with the
// IPv4 and UDP checksums, and the bounded walk over a received reply's options.

#include "net/dhcp_packet.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t Cookie[4] = {99, 130, 83, 99};

uint32_t read32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// The four bytes as they stand (an address in network order).
uint32_t readAddress(const uint8_t *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

void write16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

// Walks the options of a message: calls visit(code, value, length) for each option
// whose value lies wholly within the message; stops at the end option, at a length
// byte or a value that runs past the end.
template <class Visit> void walkOptions(const uint8_t *message, size_t length, Visit visit) {
    size_t at = BootpOptionsOffset;
    while (at < length) {
        uint8_t code = message[at++];
        if (code == 0) continue;
        if (code == 255 || at >= length) return;
        size_t n = message[at++];
        if (n > length - at) return;
        visit(code, message + at, n);
        at += n;
    }
}

// Copies an option's text, at most size - 1 bytes, cut at an embedded NUL.
void copyText(char *out, size_t size, const uint8_t *value, size_t n) {
    size_t len = std::min(n, size - 1);
    const void *nul = std::memchr(value, 0, len);
    if (nul) len = static_cast<size_t>(static_cast<const uint8_t *>(nul) - value);
    std::memcpy(out, value, len);
    out[len] = '\0';
}

} // namespace

void BootpPacket::reset(const uint8_t mac[6]) {
    std::memset(bytes, 0, sizeof bytes);
    bytes[BootpOp] = 1;
    bytes[BootpHtype] = 1;
    bytes[BootpHlen] = 6;
    put16(BootpFlags, 0x8000);
    std::memcpy(bytes + BootpChaddr, mac, 6);
    std::memcpy(bytes + BootpCookie, Cookie, 4);
}

void BootpPacket::beginMessage(uint32_t xidNetworkOrder) {
    std::memset(bytes + BootpOptionsOffset, 0, BootpSize - BootpOptionsOffset);
    putAddress(BootpCiaddr, 0);
    std::memcpy(bytes + BootpXid, &xidNetworkOrder, 4);
}

void BootpPacket::put16(size_t offset, uint16_t value) {
    write16(bytes + offset, value);
}

void BootpPacket::put32(size_t offset, uint32_t value) {
    write16(bytes + offset, static_cast<uint16_t>(value >> 16));
    write16(bytes + offset + 2, static_cast<uint16_t>(value));
}

void BootpPacket::putAddress(size_t offset, uint32_t networkOrder) {
    std::memcpy(bytes + offset, &networkOrder, 4);
}

uint32_t BootpPacket::xid() const {
    return readAddress(bytes + BootpXid);
}

bool BootpOptions::add(uint8_t code, const void *value, size_t length) {
    // Code, length byte, value, and one byte kept for the end option.
    if (length > 255 || at_ + 2 + length + 1 > BootpSize) return false;
    packet_.bytes[at_++] = code;
    packet_.bytes[at_++] = static_cast<uint8_t>(length);
    std::memcpy(packet_.bytes + at_, value, length);
    at_ += length;
    return true;
}

void BootpOptions::finish() {
    if (at_ < BootpSize) packet_.bytes[at_++] = 255;
}

uint16_t inetChecksum(const void *data, size_t length) {
    // Bytes are read one at a time, so the buffer may lie at any address.
    const auto *p = static_cast<const uint8_t *>(data);
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < length; i += 2)
        sum += static_cast<uint32_t>(p[i]) << 8 | p[i + 1];
    if (length & 1) sum += static_cast<uint32_t>(p[length - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

void buildBootpFrame(const BootpPacket &packet, uint8_t (&frame)[BootpFrameSize]) {
    constexpr uint16_t UdpLength = BootpFrameSize - 20;
    std::memset(frame, 0, sizeof frame);
    uint8_t *ip = frame;
    uint8_t *udp = frame + 20;
    std::memcpy(frame + 28, packet.bytes, BootpSize);

    // The UDP checksum covers a pseudo header: in the IPv4 header's place only the
    // protocol, the addresses and (in the total-length field) the UDP length are set,
    // so the sum over all 576 bytes is the sum over pseudo header, UDP header and data.
    write16(ip + 2, UdpLength);
    ip[9] = 17;
    std::memset(ip + 16, 0xff, 4);
    write16(udp + 0, 68);
    write16(udp + 2, 67);
    write16(udp + 4, UdpLength);
    uint16_t udpSum = inetChecksum(frame, BootpFrameSize);
    write16(udp + 6, udpSum == 0 ? 0xffff : udpSum);

    // The real IPv4 header.
    ip[0] = 0x45;
    write16(ip + 2, static_cast<uint16_t>(BootpFrameSize));
    ip[8] = 64;
    write16(ip + 10, inetChecksum(ip, 20));
}

int bootpMessageType(const uint8_t *message, size_t length) {
    int type = 0;
    bool found = false;
    walkOptions(message, length, [&](uint8_t code, const uint8_t *value, size_t n) {
        if (code == 53 && n >= 1 && !found) {
            type = value[0];
            found = true;
        }
    });
    return type;
}

bool bootpReplyMatches(const uint8_t *message, size_t length, const uint8_t mac[6], uint32_t xid) {
    if (length < BootpOptionsOffset) return false;
    return std::memcmp(message + BootpCookie, Cookie, 4) == 0 && message[BootpOp] == 2 &&
           std::memcmp(message + BootpChaddr, mac, 6) == 0 && readAddress(message + BootpXid) == xid;
}

int maskPrefix(uint32_t networkOrderMask) {
    const auto *b = reinterpret_cast<const uint8_t *>(&networkOrderMask);
    uint32_t mask = read32(b);
    int bits = 0;
    while (bits < 32 && (mask & (0x80000000u >> bits)))
        bits++;
    return bits;
}

bool parseBootpReply(const uint8_t *message, size_t length, DhcpReply &reply) {
    reply = DhcpReply();
    if (length < BootpOptionsOffset) return false;
    reply.yiaddr = readAddress(message + BootpYiaddr);
    reply.siaddr = readAddress(message + BootpSiaddr);
    reply.giaddr = readAddress(message + BootpGiaddr);
    walkOptions(message, length, [&reply](uint8_t code, const uint8_t *v, size_t n) {
        // Address options read their first four bytes; shorter ones are not taken.
        const bool address = n >= 4;
        switch (code) {
        case 1:
            if (address) {
                reply.hasMask = true;
                reply.prefix = maskPrefix(readAddress(v));
            }
            break;
        case 3:
            if (address) reply.router = readAddress(v);
            break;
        case 6:
            if (address) {
                reply.hasDns = true;
                reply.dns1 = readAddress(v);
                reply.dns2 = n >= 8 ? readAddress(v + 4) : 0;
            }
            break;
        case 12:
            reply.hasHostName = true;
            copyText(reply.hostName, sizeof reply.hostName, v, n);
            break;
        case 15:
            reply.hasDomain = true;
            copyText(reply.domainName, sizeof reply.domainName, v, n);
            break;
        case 42:
            if (address) {
                reply.hasNtp = true;
                reply.ntpServer = readAddress(v);
            }
            break;
        case 51:
            if (address) {
                uint32_t lease = read32(v);
                lease = lease == 0xffffffffu ? 0 : std::min(lease, DhcpMaxLease);
                reply.hasLease = true;
                reply.lease = lease;
                if (reply.renew == 0) reply.renew = lease / 2;
                if (reply.rebind == 0) reply.rebind = static_cast<uint32_t>(uint64_t{lease} * 7 / 8);
            }
            break;
        case 53:
            if (n >= 1) reply.messageType = v[0];
            break;
        case 54:
            if (address) reply.serverId = readAddress(v);
            break;
        case 58:
            if (address) reply.renew = std::min(read32(v), DhcpMaxRenewal);
            break;
        case 59:
            if (address) reply.rebind = std::min(read32(v), DhcpMaxRenewal);
            break;
        case 69:
            if (address) reply.smtpServer = readAddress(v);
            break;
        case 70:
            if (address) reply.pop3Server = readAddress(v);
            break;
        default:
            break;
        }
    });
    return true;
}

void boundLeaseTimes(uint32_t lease, uint32_t &renew, uint32_t &rebind) {
    if (lease == 0) return; // infinite: renewal only when the server asked for one
    if (rebind == 0 || rebind > lease) rebind = static_cast<uint32_t>(uint64_t{lease} * 7 / 8);
    if (renew == 0 || renew > rebind) renew = std::min(lease / 2, rebind);
}
