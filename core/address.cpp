// The address types: text conversion, comparison and validity of IPv4/IPv6 socket
// addresses and of MAC addresses, name resolution, and the interface's hardware address.
#include "core/address.h"

#include "core/ptable.h"
#include "param_catalogue.h"

#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cstring>
#include <memory>
#include <net/if.h>
#include <netdb.h>
#include <sys/ioctl.h>
#include <unistd.h>

// The maker's vendor prefix; a locally administered block until the product's own
// IEEE OUI is filled in.
const uint8_t defaultVendorPrefix[3] = {0x02, 0x51, 0x4D};

namespace {

// The parameters "dns" (name look-ups allowed), "ipv6" (IPv6 enabled) and "dns_1st4"
// (prefer IPv4 answers). ptable() builds the table on first use.
bool dnsEnabled() {
    ptable();
    return p_dns->isOn();
}

bool ipv6Enabled() {
    ptable();
    return p_ipv6->isOn();
}

bool dnsPreferIpv4() {
    ptable();
    return p_dns_1st4->isOn();
}

constexpr socklen_t sockLenV4 = sizeof(sockaddr_in);
constexpr socklen_t sockLenV6 = sizeof(sockaddr_in6);
static_assert(sockLenV4 == 16 && sockLenV6 == 28, "socket address sizes of this platform");

// The longest IPv6 text inet_pton can accept (an IPv4 tail included).
constexpr size_t maxIpv6Text = INET6_ADDRSTRLEN - 1;
// The address part of "address/prefix" is at most this long.
constexpr size_t maxPrefixedAddress = 39;
// Longer host names are not names the resolver can hold.
constexpr size_t maxHostName = 255;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// The decimal prefix length after '/': optional leading blanks and sign, then digits up
// to the end of the text. Values past 1000 are kept at 1000 (they are refused anyway).
bool readPrefixLength(const char *p, int &value) {
    while (isBlank(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return false;
    int v = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        if (v < 1000) v = v * 10 + (*p - '0');
    if (*p != '\0') return false;
    value = negative ? -v : v;
    return true;
}

struct AddrInfoFree {
    void operator()(addrinfo *list) const { freeaddrinfo(list); }
};

// A descriptor closed when it goes out of scope.
class SocketFd {
public:
    explicit SocketFd(int fd) : fd_(fd) {}
    SocketFd(const SocketFd &) = delete;
    SocketFd &operator=(const SocketFd &) = delete;
    ~SocketFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

} // namespace

// ---- InetAddress -------------------------------------------------------------------

InetAddress::InetAddress() {
    clear();
}

InetAddress::InetAddress(const InetAddress &other) {
    clear();
    std::memcpy(&storage_, &other.storage_, other.sockLen());
}

InetAddress &InetAddress::assign(const InetAddress &other) {
    if (this != &other) {
        clear();
        std::memcpy(&storage_, &other.storage_, other.sockLen());
    }
    return *this;
}

void InetAddress::clear() {
    std::memset(&storage_, 0, sizeof storage_);
}

void InetAddress::storeV4(const in_addr &address) {
    const in_port_t port = storage_.in.sin_port;
    clear();
    storage_.in.sin_family = AF_INET;
    storage_.in.sin_port = port;
    storage_.in.sin_addr = address;
}

void InetAddress::storeV6(const in6_addr &address) {
    const in_port_t port = storage_.in6.sin6_port;
    clear();
    storage_.in6.sin6_family = AF_INET6;
    storage_.in6.sin6_port = port;
    storage_.in6.sin6_addr = address;
}

void InetAddress::reset(bool ipv6) {
    clear();
    storage_.ss.ss_family = ipv6 ? AF_INET6 : AF_INET;
}

InetAddress InetAddress::fromIpv4(uint32_t ipv4) {
    InetAddress a;
    a.storage_.in.sin_family = AF_INET;
    a.storage_.in.sin_addr.s_addr = ipv4;
    return a;
}

InetAddress InetAddress::fromOctets(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t octets[4] = {a, b, c, d};
    uint32_t word;
    std::memcpy(&word, octets, sizeof word);
    return fromIpv4(word);
}

InetAddress InetAddress::fromText(const char *text) {
    InetAddress a;
    if (text != nullptr && !a.parse(text)) a.clear();
    return a;
}

bool InetAddress::isV6() const {
    return family() == AF_INET6;
}

bool InetAddress::isLinkLocal() const {
    if (family() != AF_INET) return false;
    const auto *octets = reinterpret_cast<const uint8_t *>(&storage_.in.sin_addr.s_addr);
    return octets[0] == 169 && octets[1] == 254;
}

bool InetAddress::isSet() const {
    if (family() == AF_INET) return storage_.in.sin_addr.s_addr != 0;
    if (family() == AF_INET6) {
        for (uint8_t byte : storage_.in6.sin6_addr.s6_addr)
            if (byte != 0) return true;
    }
    return false;
}

bool InetAddress::isValidHost() const {
    if (family() == AF_INET) {
        const uint8_t last = reinterpret_cast<const uint8_t *>(&storage_.in.sin_addr.s_addr)[3];
        return last >= 1 && last <= 254;
    }
    if (family() == AF_INET6) return isSet();
    return false;
}

bool InetAddress::equals(const InetAddress &other) const {
    if (family() != other.family()) return false;
    if (family() == AF_INET) return storage_.in.sin_addr.s_addr == other.storage_.in.sin_addr.s_addr;
    if (family() == AF_INET6)
        return std::memcmp(&storage_.in6.sin6_addr, &other.storage_.in6.sin6_addr, 16) == 0;
    return false;
}

uint32_t InetAddress::ipv4() const {
    if (family() == AF_INET) return storage_.in.sin_addr.s_addr;
    if (family() == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&storage_.in6.sin6_addr)) {
        uint32_t word;
        std::memcpy(&word, &storage_.in6.sin6_addr.s6_addr[12], sizeof word);
        return word;
    }
    return 0;
}

size_t InetAddress::print(char *buffer, size_t size) const {
    if (buffer == nullptr || size == 0) return 0;
    char text[INET6_ADDRSTRLEN];
    const char *result = nullptr;
    if (family() == AF_INET)
        result = inet_ntop(AF_INET, &storage_.in.sin_addr, text, sizeof text);
    else if (family() == AF_INET6)
        result = inet_ntop(AF_INET6, &storage_.in6.sin6_addr, text, sizeof text);
    if (result == nullptr) std::strcpy(text, "-error-");
    const size_t length = std::strlen(text);
    const size_t stored = length < size ? length : size - 1;
    std::memcpy(buffer, text, stored);
    buffer[stored] = '\0';
    return stored;
}

const char *InetAddress::toText(bool brackets) const {
    // The buffers are shared by all threads; the counter hands each call its own slot.
    static char buffers[16][80];
    static std::atomic<unsigned> next{0};
    char *buffer = buffers[next.fetch_add(1, std::memory_order_relaxed) % 16];
    if (!brackets) {
        print(buffer, sizeof buffers[0]);
        return buffer;
    }
    buffer[0] = '[';
    const size_t length = print(buffer + 1, sizeof buffers[0] - 2);
    buffer[length + 1] = ']';
    buffer[length + 2] = '\0';
    return buffer;
}

int InetAddress::printTo(FILE *stream) const {
    if (stream == nullptr) return -1;
    char text[80];
    print(text, sizeof text);
    return std::fprintf(stream, "%s", text);
}

bool InetAddress::parse(const char *text) {
    if (text == nullptr) return false;
    if (std::strchr(text, ':') != nullptr) {
        in6_addr address;
        if (inet_pton(AF_INET6, text, &address) != 1) return false;
        storeV6(address);
        return true;
    }
    if (std::strlen(text) == 32) {
        // Sixteen bytes of two hexadecimal digits each; any other character refuses the
        // whole text, so that garbage never becomes an address.
        in6_addr address;
        for (size_t i = 0; i < 16; ++i) {
            const int high = hexValue(text[2 * i]);
            const int low = hexValue(text[2 * i + 1]);
            if (high < 0 || low < 0) return false;
            address.s6_addr[i] = static_cast<uint8_t>(high * 16 + low);
        }
        storeV6(address);
        return true;
    }
    in_addr address;
    if (inet_pton(AF_INET, text, &address) != 1) return false;
    storeV4(address);
    return true;
}

bool InetAddress::parseWithPrefix(const char *text, int &prefix) {
    if (text == nullptr || *text == '\0') return false;
    const char *slash = std::strchr(text, '/');
    int length = 0;
    if (slash != nullptr && (!readPrefixLength(slash + 1, length) || length <= 0)) return false;
    const size_t partLength =
        slash != nullptr ? static_cast<size_t>(slash - text) : strnlen(text, maxPrefixedAddress + 1);
    if (partLength > maxPrefixedAddress) return false;
    char part[maxPrefixedAddress + 1];
    std::memcpy(part, text, partLength);
    part[partLength] = '\0';

    InetAddress parsed(*this);
    if (!parsed.parse(part)) return false;
    const int maximum = parsed.isV6() ? 128 : 32;
    if (slash == nullptr)
        length = maximum;
    else if (length > maximum)
        return false;
    assign(parsed);
    prefix = length;
    return true;
}

bool InetAddress::parseBracketed(const char *text) {
    const char *open = text != nullptr ? std::strchr(text, '[') : nullptr;
    if (open == nullptr) return true;
    const char *close = std::strchr(open + 1, ']');
    if (close == nullptr) return false;
    const size_t length = static_cast<size_t>(close - open - 1);
    if (length > maxIpv6Text) return false;
    char literal[maxIpv6Text + 1];
    std::memcpy(literal, open + 1, length);
    literal[length] = '\0';
    in6_addr address;
    if (inet_pton(AF_INET6, literal, &address) != 1) return false;
    storeV6(address);
    return true;
}

bool InetAddress::resolve(const char *host) {
    clear();
    if (host == nullptr || *host == '\0') return false;

    // An address literal that names a host is taken as it is.
    const InetAddress literal = fromText(host);
    if (literal.isValidHost()) {
        assign(literal);
        return true;
    }
    if (!dnsEnabled() || strnlen(host, maxHostName + 1) > maxHostName) return false;

    const bool ipv6 = ipv6Enabled();
    const bool preferIpv4 = dnsPreferIpv4();
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    hints.ai_family = ipv6 ? AF_UNSPEC : AF_INET;
    addrinfo *list = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &list) != 0 || list == nullptr) return false;
    std::unique_ptr<addrinfo, AddrInfoFree> owner(list);

    // The first address of the preferred family wins; without one the last address of
    // the other family remains.
    for (const addrinfo *entry = list; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addr == nullptr) continue;
        if (entry->ai_family == AF_INET && entry->ai_addrlen == sockLenV4) {
            setSockAddr(entry->ai_addr, entry->ai_addrlen);
            if (!ipv6 || preferIpv4) break;
        } else if (entry->ai_family == AF_INET6 && entry->ai_addrlen == sockLenV6 && ipv6) {
            setSockAddr(entry->ai_addr, entry->ai_addrlen);
            if (!preferIpv4) break;
        }
    }
    return family() != 0;
}

uint16_t InetAddress::port() const {
    return ntohs(storage_.in.sin_port);
}

void InetAddress::setPort(uint16_t port) {
    storage_.in.sin_port = htons(port);
}

uint32_t InetAddress::scopeId() const {
    return family() == AF_INET6 ? storage_.in6.sin6_scope_id : 0;
}

void InetAddress::setScopeId(uint32_t scopeId) {
    // Only an IPv6 address has the field; elsewhere the bytes must stay zero.
    if (family() == AF_INET6) storage_.in6.sin6_scope_id = scopeId;
}

const uint8_t *InetAddress::ipv6Bytes() const {
    return storage_.in6.sin6_addr.s6_addr;
}

uint8_t *InetAddress::ipv6Bytes() {
    return storage_.in6.sin6_addr.s6_addr;
}

socklen_t InetAddress::sockLen() const {
    return family() == AF_INET6 ? sockLenV6 : sockLenV4;
}

bool InetAddress::setSockAddr(const sockaddr *sa, socklen_t len) {
    clear();
    if (sa == nullptr || len > capacity) return false;
    std::memcpy(&storage_, sa, len);
    return true;
}

const char *ipv6ScopeName(int scope) {
    switch (scope) {
    case 0:
        return "Global";
    case 16:
        return "Host";
    case 32:
        return "Link";
    case 64:
        return "Site";
    case 128:
        return "Compatv4";
    default:
        return "Unknown";
    }
}

bool prefixToMask(uint8_t *buffer, int prefix, size_t length) {
    if (buffer == nullptr) return false;
    std::memset(buffer, 0, length);
    if (prefix < 0) return false;
    const size_t full = static_cast<size_t>(prefix) / 8;
    const unsigned rest = static_cast<unsigned>(prefix) % 8;
    if (full + (rest != 0 ? 1 : 0) > length) return false;
    std::memset(buffer, 0xFF, full);
    if (rest != 0) buffer[full] = static_cast<uint8_t>(0xFF00u >> rest);
    return true;
}

int maskToPrefix(const InetAddress &mask) {
    if (mask.family() != AF_INET) return 0;
    // The address is held in network byte order: the first octet is the high one.
    const uint32_t m = ntohl(mask.ipv4());
    int bits = 0;
    while (bits < 32 && (m & (0x80000000u >> bits)))
        bits++;
    return bits;
}

// ---- MacAddress --------------------------------------------------------------------

void MacAddress::assign(const uint8_t *six) {
    if (six != nullptr) std::memcpy(bytes, six, sizeof bytes);
}

MacAddress MacAddress::fromDefaultPrefix(uint8_t d, uint8_t e, uint8_t f) {
    MacAddress mac;
    std::memcpy(mac.bytes, defaultVendorPrefix, 3);
    mac.bytes[3] = d;
    mac.bytes[4] = e;
    mac.bytes[5] = f;
    return mac;
}

MacAddress MacAddress::fromMulticast(uint32_t group) {
    uint8_t octets[4];
    std::memcpy(octets, &group, sizeof octets);
    MacAddress mac;
    mac.bytes[0] = 0x01;
    mac.bytes[1] = 0x00;
    mac.bytes[2] = 0x5E;
    mac.bytes[3] = octets[1] & 0x7F;
    mac.bytes[4] = octets[2];
    mac.bytes[5] = octets[3];
    return mac;
}

MacAddress MacAddress::fromInterface(const char *name) {
    MacAddress mac;
    if (name == nullptr) name = "eth0";
    // A name that does not fit the request would be cut to another interface's name.
    const size_t length = strnlen(name, IFNAMSIZ);
    if (length >= IFNAMSIZ) return mac;
    SocketFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) return mac;
    ifreq request{};
    std::memcpy(request.ifr_name, name, length);
    if (::ioctl(fd.get(), SIOCGIFHWADDR, &request) == 0)
        std::memcpy(mac.bytes, request.ifr_hwaddr.sa_data, sizeof mac.bytes);
    return mac;
}

bool MacAddress::parse(const char *text) {
    if (text == nullptr) return false;
    const char separator = std::strchr(text, '-') != nullptr ? '-' : ':';

    // Fields of one or two hexadecimal digits, each after optional blanks, joined by
    // the separator; blanks may end the text, nothing else may follow.
    uint8_t fields[6];
    int count = 0;
    const char *p = text;
    for (;;) {
        while (isBlank(*p))
            ++p;
        int value = hexValue(*p);
        if (value < 0) return false;
        ++p;
        const int low = hexValue(*p);
        if (low >= 0) {
            value = value * 16 + low;
            ++p;
        }
        if (hexValue(*p) >= 0) return false;
        fields[count++] = static_cast<uint8_t>(value);
        if (count == 6 || *p != separator) break;
        ++p;
    }
    while (isBlank(*p))
        ++p;
    if (*p != '\0' || (count != 6 && count != 3)) return false;

    MacAddress parsed;
    if (count == 6) {
        std::memcpy(parsed.bytes, fields, 6);
    } else {
        std::memcpy(parsed.bytes, defaultVendorPrefix, 3);
        std::memcpy(parsed.bytes + 3, fields, 3);
    }
    const bool changed = differs(parsed);
    std::memcpy(bytes, parsed.bytes, sizeof bytes);
    return changed;
}

const char *MacAddress::toText() const {
    // One buffer per thread, so that two threads formatting at once never mix texts.
    thread_local char buffer[18];
    std::snprintf(buffer, sizeof buffer, "%02X:%02X:%02X:%02X:%02X:%02X", bytes[0], bytes[1], bytes[2],
                  bytes[3], bytes[4], bytes[5]);
    return buffer;
}

size_t MacAddress::print(char *buffer, size_t size) const {
    if (buffer == nullptr || size == 0) return 0;
    const int length = std::snprintf(buffer, size, "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1],
                                     bytes[2], bytes[3], bytes[4], bytes[5]);
    return static_cast<size_t>(length) < size ? static_cast<size_t>(length) : size - 1;
}

int MacAddress::printTo(FILE *stream) const {
    if (stream == nullptr) return -1;
    char text[18];
    print(text, sizeof text);
    return std::fprintf(stream, "%s", text);
}

bool MacAddress::equals(const MacAddress &other) const {
    return std::memcmp(bytes, other.bytes, sizeof bytes) == 0;
}

bool MacAddress::greater(const MacAddress &other) const {
    for (size_t i = 0; i < sizeof bytes; ++i)
        if (bytes[i] != other.bytes[i]) return bytes[i] > other.bytes[i];
    return false;
}
