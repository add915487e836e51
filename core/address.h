// The two value types that carry every network address of the daemon: InetAddress, an
// IPv4 or IPv6 address that is at the same time a ready-made socket address, and
// MacAddress, a 6-byte hardware address. Both are plain data, copied by value, with no
// virtual operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>

class NetInterface;

// An IPv4 or IPv6 address held in a 128-byte socket-address storage that follows the
// platform's sockaddr_in / sockaddr_in6 layout, so it can be handed to bind, connect and
// sendto as it stands. The storage is always fully zeroed before it is filled. Family 0
// (all zero) stands for "no address". IPv4 values in the interface are 32-bit words in
// network byte order.
class InetAddress {
public:
    // No address (family 0).
    InetAddress();
    // Copies the 28 bytes of an IPv6 socket address, or 16 bytes for any other family.
    InetAddress(const InetAddress &other);
    InetAddress &operator=(const InetAddress &other) { return assign(other); }
    InetAddress &assign(const InetAddress &other);

    // Zero the storage and set family 10 when ipv6 is true, else family 2.
    void reset(bool ipv6);

    // Family 2 with the given address.
    static InetAddress fromIpv4(uint32_t ipv4);
    static InetAddress fromOctets(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
    // The parsed text (see parse); family 0 when text is null or does not parse.
    static InetAddress fromText(const char *text);

    bool isV6() const;
    // IPv4 169.254.0.0/16.
    bool isLinkLocal() const;
    // The address bytes of the family are not all zero.
    bool isSet() const;
    // IPv4: last octet 1..254; IPv6: not all zero; no address: false.
    bool isValidHost() const;
    // Same family and same address bytes; ports and scope ids are not compared, and an
    // address of neither family equals nothing.
    bool equals(const InetAddress &other) const;
    bool differs(const InetAddress &other) const { return !equals(other); }

    // The IPv4 address, also of an IPv4-mapped IPv6 address (::ffff:a.b.c.d); else 0.
    uint32_t ipv4() const;

    // Writes the address text (inet_ntop; "-error-" when it has no family or cannot be
    // converted) into buffer of size bytes, always terminated; returns the length stored.
    size_t print(char *buffer, size_t size) const;
    // The text in the next of 16 rotating static buffers; with brackets enclosed in "["
    // and "]" (IPv6 literals in URLs). Use it before 16 further calls can reuse it.
    const char *toText(bool brackets = false) const;
    // Writes the text to the stream; returns what fprintf returns.
    int printTo(FILE *stream) const;

    // Reads an IPv6 text (when it holds ':'), 32 hexadecimal digits (16 IPv6 bytes) or a
    // dotted IPv4 text. True when it parses; then family and address are set and the
    // port kept. A null or unparsable text leaves the address untouched.
    bool parse(const char *text);
    // Reads "address" or "address/prefix" (prefix 1..32 for IPv4, 1..128 for IPv6; the
    // maximum without '/'). The address part has at most 39 characters. On success the
    // address and prefix are stored; on failure neither is touched.
    bool parseWithPrefix(const char *text, int &prefix);
    // Reads the IPv6 literal between the first '[' and the next ']' of text. A text
    // without '[' holds no literal: true, nothing changed. An unterminated or invalid
    // literal: false, nothing changed.
    bool parseBracketed(const char *text);
    // Takes an address literal that is a valid host as it is; otherwise asks the name
    // resolver (when DNS is enabled) and keeps an address of the preferred family.
    // The storage is zeroed first; false when nothing was found.
    bool resolve(const char *host);

    // IP set-up of an interface (net/ipsetup.cpp). setAsIfAddress puts this IPv4
    // address with its netmask on the interface, first storing it in "ip_addr" (and the
    // source text in "ip_setby") when store is set; false for IPv6. setAsGateway makes
    // the default route of the interface go through this address ("ip_router" stored
    // when asked); an unset or link-local address gives a route without gateway.
    // makeZeroconf sets this address to the next ZeroConf pick for the interface.
    bool setAsIfAddress(NetInterface &iface, const char *setBy, bool store) const;
    bool setAsGateway(NetInterface &iface, bool store) const;
    void makeZeroconf(NetInterface &iface);

    // The fields of the socket address.
    uint16_t family() const { return storage_.ss.ss_family; }
    // The service port in host byte order (stored in network byte order).
    uint16_t port() const;
    void setPort(uint16_t port);
    uint32_t scopeId() const;
    void setScopeId(uint32_t scopeId);
    // The 16 address bytes of an IPv6 address (meaningful for family 10 only).
    const uint8_t *ipv6Bytes() const;
    uint8_t *ipv6Bytes();

    // The storage as a socket address, for bind, connect, sendto, accept and recvfrom.
    const sockaddr *sockAddr() const { return &storage_.sa; }
    sockaddr *sockAddr() { return &storage_.sa; }
    // 28 for IPv6, 16 otherwise.
    socklen_t sockLen() const;
    static constexpr socklen_t capacity = sizeof(sockaddr_storage);
    // Zero the storage and copy a socket address of at most capacity bytes into it;
    // false (and no address) when sa is null or len is above capacity.
    bool setSockAddr(const sockaddr *sa, socklen_t len);

private:
    // One storage seen through the socket-address layouts of the two families.
    union Storage {
        sockaddr_storage ss;
        sockaddr sa;
        sockaddr_in in;
        sockaddr_in6 in6;
    } storage_;

    void clear();
    // Replaces family and address, keeping the port; everything else becomes zero.
    void storeV4(const in_addr &address);
    void storeV6(const in6_addr &address);
};
static_assert(sizeof(InetAddress) == 128, "InetAddress is a 128-byte socket-address storage");

// The name of a scope value of the kernel's IPv6 address list: 0 "Global", 16 "Host",
// 32 "Link", 64 "Site", 128 "Compatv4", anything else "Unknown".
const char *ipv6ScopeName(int scope);

// Fills buffer (length bytes) with the network mask of prefix bits. The buffer is zeroed
// first; false when the prefix is negative or needs more bytes than the buffer has.
bool prefixToMask(uint8_t *buffer, int prefix, size_t length);
// The prefix length of an IPv4 network mask: its leading one bits (a mask with a hole
// counts up to the hole). 0 for an IPv6 address or one of no family.
int maskToPrefix(const InetAddress &mask);

// The maker's three-byte vendor prefix that completes a MAC address given by its last
// three bytes.
extern const uint8_t defaultVendorPrefix[3];

// A 6-byte hardware address in transmission order.
class MacAddress {
public:
    uint8_t bytes[6] = {};

    MacAddress() = default;

    // Copies six bytes.
    void assign(const uint8_t *six);

    // The default vendor prefix followed by d, e, f.
    static MacAddress fromDefaultPrefix(uint8_t d, uint8_t e, uint8_t f);
    // The Ethernet multicast address of an IPv4 group (network byte order):
    // 01:00:5E and the low 23 bits of the group.
    static MacAddress fromMulticast(uint32_t group);
    // The hardware address of the named interface ("eth0" for null), read by
    // SIOCGIFHWADDR; all zero when it cannot be read.
    static MacAddress fromInterface(const char *name);

    // Reads six hexadecimal fields separated by '-' (when the text holds one) or ':', or
    // three fields, which follow the default vendor prefix. True when a byte changed;
    // an unreadable text is false and changes nothing.
    bool parse(const char *text);

    // "%02X:%02X:%02X:%02X:%02X:%02X" in a static buffer of the calling thread, valid
    // until its next call.
    const char *toText() const;
    // "%02x:%02x:%02x:%02x:%02x:%02x" into buffer of size bytes, always terminated;
    // returns the length stored (17 when it fits).
    size_t print(char *buffer, size_t size) const;
    // The lower-case text to the stream; returns what fprintf returns.
    int printTo(FILE *stream) const;

    bool equals(const MacAddress &other) const;
    bool differs(const MacAddress &other) const { return !equals(other); }
    // At the first differing byte (unsigned), this address is the greater one.
    bool greater(const MacAddress &other) const;
};
static_assert(sizeof(MacAddress) == 6, "MacAddress is the six bytes only");
