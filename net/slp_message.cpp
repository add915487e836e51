// SLPv1 requests and replies of the SLP responder.

#include "net/slp_message.h"

#include "core/param.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "param_catalogue.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>

namespace {

uint16_t read16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void write16(uint8_t *p, size_t value) {
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

// "%u.%u.%u.%u" with every part 0..255 and nothing else but blanks behind.
bool dotted(const std::string &text, uint32_t &networkOrder) {
    unsigned a, b, c, d;
    char rest;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &rest) < 4) return false;
    if (a > 255 || b > 255 || c > 255 || d > 255) return false;
    networkOrder = InetAddress::fromOctets(static_cast<uint8_t>(a), static_cast<uint8_t>(b),
                                           static_cast<uint8_t>(c), static_cast<uint8_t>(d))
                       .ipv4();
    return true;
}

// "[address]" optionally followed by "/prefix".
bool bracketed6(const std::string &text, InetAddress &address, int *prefix) {
    InetAddress a;
    if (text.find('[') == std::string::npos || !a.parseBracketed(text.c_str()) || !a.isV6()) return false;
    address = a;
    if (prefix) {
        size_t slash = text.find('/', text.find(']'));
        int p = -1;
        if (slash != std::string::npos && std::sscanf(text.c_str() + slash + 1, "%d", &p) == 1) *prefix = p;
    }
    return true;
}

std::string trimmed(const std::string &s) {
    size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a])))
        ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1])))
        --b;
    return s.substr(a, b - a);
}

void takeAttribute(const std::string &item, SlpRequest &r) {
    size_t eq = item.find("==");
    if (eq == std::string::npos) return;
    std::string keyword = trimmed(item.substr(0, eq));
    if (keyword.empty() || keyword.size() > 50) return;
    std::string value = trimmed(item.substr(eq + 2));
    const char *k = keyword.c_str();
    if (strcasecmp(k, "X-KVX-NAME") == 0) {
        char name[121] = "";
        if (std::sscanf(value.c_str(), "%120s", name) == 1) {
            r.hasName = true;
            std::memcpy(r.name, name, sizeof name);
        }
    } else if (strcasecmp(k, "X-KVX-IP") == 0) {
        uint32_t a;
        if (dotted(value, a)) {
            r.hasIpv4 = true;
            r.ipv4 = InetAddress::fromIpv4(a);
            r.lastFamily = 4;
        }
    } else if (strcasecmp(k, "X-KVX-IPv6") == 0) {
        if (bracketed6(value, r.ipv6, &r.ipv6Prefix)) {
            r.hasIpv6 = true;
            r.lastFamily = 6;
        }
    } else if (strcasecmp(k, "X-KVX-IPMASK") == 0) {
        r.hasMask = dotted(value, r.mask);
    } else if (strcasecmp(k, "X-KVX-IPGATE") == 0) {
        uint32_t a;
        if (dotted(value, a)) r.gateway4 = InetAddress::fromIpv4(a);
    } else if (strcasecmp(k, "X-KVX-GATEv6") == 0) {
        bracketed6(value, r.gateway6, nullptr);
    }
}

} // namespace

bool parseSlpRequest(const uint8_t *m, size_t length, SlpRequest &r) {
    r = SlpRequest();
    if (m == nullptr || length < SlpHeaderSize + 4 || m[0] != 1 || m[1] != 1) return false;
    size_t at = SlpHeaderSize;
    size_t previous = read16(m + at);
    at += 2;
    if (previous > length - at || length - at - previous < 2) return false;
    at += previous;
    size_t n = read16(m + at);
    at += 2;
    if (n > SlpMaxPredicate || n > length - at) return false;
    r.predicateLength = static_cast<uint16_t>(n);
    std::string predicate(reinterpret_cast<const char *>(m + at), n);
    predicate = predicate.substr(0, std::strlen(predicate.c_str()));

    // Everything behind the last '/' goes; the service type must be there before it.
    size_t slash = predicate.rfind('/');
    if (slash == std::string::npos || slash < 17) return false;
    predicate.resize(slash + 1);
    size_t type = predicate.find(SlpServiceType);
    if (type == std::string::npos) return false;
    std::string attributes = predicate.substr(type + std::strlen(SlpServiceType));
    if (!attributes.empty() && attributes.back() == '/') attributes.pop_back();

    size_t start = 0;
    while (start <= attributes.size()) {
        size_t comma = attributes.find(',', start);
        std::string item =
            attributes.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        takeAttribute(item, r);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return true;
}

int slpPrefix(const SlpRequest &r) {
    if (!r.hasMask) return -1;
    int prefix = 0;
    uint32_t m = ntohl(r.mask);
    while (prefix < 32 && (m & (0x80000000u >> prefix)))
        ++prefix;
    return prefix > 0 ? prefix : -1;
}

int buildSlpUrl(const InetAddress &local, bool limited, char *out, size_t size) {
    ptable();
    const ProductParams &product = productParams();
    uint32_t version = SoftwareVersionWord;
    int n = std::snprintf(
        out, size,
        "%s%s;x-kvx-name=%s;x-kvx-mode=prot;x-kvx-ver=%d.%d.%d;x-kvx-nettype=%s;x-kvx-swid=%d;"
        "x-kvx-product=%s;x-kvx-up=%d,%d;x-kvx-ids=%04d%c%c%c%c%08xl%d;x-kvx-project=%04x:%d.%d%s",
        SlpServiceType, local.toText(local.isV6()), product.defaultName, static_cast<int>(version >> 24),
        static_cast<int>((version >> 16) & 0xff), static_cast<int>(version & 0xffff),
        product.networkType == 3 ? "WLAN" : "ETHER", 6, product.productName,
        p_zqn_sec->isOn() ? 0 : p_zqn_port->value(), p_zqn_sslport->value(), 0, 'Z', 'O', 'H', 'K', 0u, 0,
        product.productId, static_cast<int>(product.hwMajor), static_cast<int>(product.hwMinor),
        limited ? ";x-limited-access" : "");
    if (n < 0) return 0;
    return static_cast<size_t>(n) < size ? n : static_cast<int>(size - 1);
}

size_t buildSlpReply(const uint8_t *request, const char *url, uint8_t *out, size_t size) {
    size_t urlLength = std::strlen(url);
    size_t total = 20 + urlLength;
    if (total > size || total > 0xffff) return 0;
    uint8_t header[6];
    std::memcpy(header, request + 6, 6);
    out[0] = 1;
    out[1] = 2;
    write16(out + 2, total);
    write16(out + 4, 0);
    std::memcpy(out + 6, header, 6);
    write16(out + 12, 0);
    write16(out + 14, 1);
    write16(out + 16, 10800);
    write16(out + 18, urlLength);
    std::memcpy(out + 20, url, urlLength);
    return total;
}
