// The messages of the DHCP/BOOTP client: the 548-byte BOOTP message with the DHCP
// cookie and options, the 576-byte IPv4/UDP broadcast frame around it with its
// checksums, and the bounded reading of a received reply. No socket is touched here.
#pragma once

#include <cstddef>
#include <cstdint>

// Sizes: the message, and the datagram of IPv4 header, UDP header and message.
constexpr size_t BootpSize = 548;
constexpr size_t BootpFrameSize = 576;
constexpr size_t BootpOptionsOffset = 240;

// Byte offsets of the message's fields.
enum : size_t {
    BootpOp = 0,
    BootpHtype = 1,
    BootpHlen = 2,
    BootpHops = 3,
    BootpXid = 4,
    BootpSecs = 8,
    BootpFlags = 10,
    BootpCiaddr = 12,
    BootpYiaddr = 16,
    BootpSiaddr = 20,
    BootpGiaddr = 24,
    BootpChaddr = 28,
    BootpCookie = 236,
};

// DHCP message types (option 53).
enum : int {
    DhcpDiscover = 1,
    DhcpOffer = 2,
    DhcpRequest = 3,
    DhcpAck = 5,
    DhcpNak = 6,
};

// Upper bounds of the times a server may give, in seconds.
constexpr uint32_t DhcpMaxLease = 0x02000000;
constexpr uint32_t DhcpMaxRenewal = 0x01000000;

// The outgoing message: the template fields stay, the options are rebuilt per message.
struct BootpPacket {
    uint8_t bytes[BootpSize];

    // op 1, Ethernet, hlen 6, broadcast flag, the MAC in chaddr and the cookie;
    // everything else zero.
    void reset(const uint8_t mac[6]);
    // Clears the options and ciaddr, sets the new xid (network order as given).
    void beginMessage(uint32_t xid);
    void put16(size_t offset, uint16_t value);
    void put32(size_t offset, uint32_t value);
    void putAddress(size_t offset, uint32_t networkOrder);
    uint32_t xid() const;
};

// Appends options behind the cookie; an option that no longer fits (the end option
// always keeps its byte) is left out and reported as false.
class BootpOptions {
public:
    explicit BootpOptions(BootpPacket &packet) : packet_(packet) {}
    bool add(uint8_t code, const void *value, size_t length);
    bool addByte(uint8_t code, uint8_t value) { return add(code, &value, 1); }
    bool addAddress(uint8_t code, uint32_t networkOrder) { return add(code, &networkOrder, 4); }
    // The end option.
    void finish();

private:
    BootpPacket &packet_;
    size_t at_ = BootpOptionsOffset;
};

// The Internet checksum (RFC 1071): the complement of the 16-bit one's-complement sum
// of the bytes taken as big-endian words, an odd last byte padded with zero. The
// result is the value to store big-endian.
uint16_t inetChecksum(const void *data, size_t length);

// The broadcast datagram around a message: IPv4 from 0.0.0.0 to 255.255.255.255, TTL
// 64, UDP from port 68 to 67, both checksums.
void buildBootpFrame(const BootpPacket &packet, uint8_t (&frame)[BootpFrameSize]);

// Option 53 of a received message (length bytes), 0 when absent or cut off.
int bootpMessageType(const uint8_t *message, size_t length);

// A received reply passes when it holds the cookie, op 2, our MAC and our xid.
bool bootpReplyMatches(const uint8_t *message, size_t length, const uint8_t mac[6], uint32_t xid);

// What a reply carries (addresses in network order). Options are taken in message
// order, so renewal and rebinding times given by the server win over those derived
// from the lease whatever their order, and a later option of a code replaces an
// earlier one.
struct DhcpReply {
    uint32_t yiaddr = 0, siaddr = 0, giaddr = 0;
    int messageType = 0;
    bool hasMask = false;
    int prefix = 0; // leading one bits of option 1
    uint32_t router = 0;
    bool hasDns = false;
    uint32_t dns1 = 0, dns2 = 0;
    bool hasHostName = false;
    char hostName[64] = {}; // at most 63 bytes of option 12
    bool hasDomain = false;
    char domainName[256] = {};
    uint32_t ntpServer = 0;
    bool hasNtp = false;
    bool hasLease = false;
    uint32_t lease = 0; // 0: infinite
    uint32_t renew = 0, rebind = 0;
    uint32_t serverId = 0;
    uint32_t smtpServer = 0, pop3Server = 0;
};

// Reads the header fields and the options of a message of length bytes; option
// values are read only within the message. False when it is shorter than the fixed
// part with the cookie.
bool parseBootpReply(const uint8_t *message, size_t length, DhcpReply &reply);

// Number of leading one bits of a netmask in network order (255.255.255.255: 32).
int maskPrefix(uint32_t networkOrderMask);

// The times the client keeps: T1 <= T2 <= lease for a finite lease, with the usual
// fractions (1/2 and 7/8) where the server gave none or zero, so a lease in use never
// runs out before its renewal.
void boundLeaseTimes(uint32_t lease, uint32_t &renew, uint32_t &rebind);
