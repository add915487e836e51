// Feeds arbitrary texts to the address parsers (IPv4/IPv6 with and without prefix or
// brackets, MAC addresses) and checks that what they accept prints and reads back the
// same.
#include "core/address.h"

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    const char *input = text.c_str();

    InetAddress a;
    if (a.parse(input)) {
        if (a.family() != AF_INET && a.family() != AF_INET6) std::abort();
        InetAddress back;
        if (!back.parse(a.toText()) || !back.equals(a)) std::abort();
    }
    const InetAddress literal = InetAddress::fromText(input);
    if (literal.family() != a.family()) std::abort();

    InetAddress prefixed;
    int prefix = 0;
    if (prefixed.parseWithPrefix(input, prefix) && (prefix < 1 || prefix > (prefixed.isV6() ? 128 : 32)))
        std::abort();

    InetAddress bracketed;
    bracketed.parseBracketed(input);
    char buffer[80];
    bracketed.print(buffer, sizeof buffer);
    (void)bracketed.toText(true);

    MacAddress mac;
    if (mac.parse(input)) {
        // Reading the text into a zero address changes it unless the address is zero.
        MacAddress back;
        const bool changed = back.parse(mac.toText());
        if (!back.equals(mac) || changed != mac.differs(MacAddress())) std::abort();
    }
    mac.print(buffer, sizeof buffer);
    return 0;
}
