#include "core/address.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace {

uint32_t v4(const char *text) {
    in_addr a{};
    EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
    return a.s_addr;
}

std::string text(const InetAddress &a, bool brackets = false) {
    return a.toText(brackets);
}

// The bytes of the storage past the socket address of its family must stay zero.
bool tailIsZero(const InetAddress &a) {
    const auto *bytes = reinterpret_cast<const uint8_t *>(a.sockAddr());
    for (size_t i = a.sockLen(); i < sizeof(InetAddress); ++i)
        if (bytes[i] != 0) return false;
    return true;
}

} // namespace

TEST(InetAddress, ParseTable) {
    struct Case {
        const char *input;
        bool ok;
        int family;
        const char *printed;
    } cases[] = {
        {"192.168.0.1", true, AF_INET, "192.168.0.1"},
        {"0.0.0.0", true, AF_INET, "0.0.0.0"},
        {"255.255.255.255", true, AF_INET, "255.255.255.255"},
        {"fe80::1", true, AF_INET6, "fe80::1"},
        {"2001:DB8::A", true, AF_INET6, "2001:db8::a"},
        {"::", true, AF_INET6, "::"},
        {"::ffff:10.1.2.3", true, AF_INET6, "::ffff:10.1.2.3"},
        {"0123456789abcdef0123456789ABCDEF", true, AF_INET6, "123:4567:89ab:cdef:123:4567:89ab:cdef"},
        {"00000000000000000000000000000001", true, AF_INET6, "::1"},
        // Refused texts.
        {"1.2.3", false, 0, nullptr},
        {"", false, 0, nullptr},
        {"256.1.1.1", false, 0, nullptr},
        {"1.2.3.4 ", false, 0, nullptr},
        {" 1.2.3.4", false, 0, nullptr},
        {"1.2.3.4/8", false, 0, nullptr},
        {"localhost", false, 0, nullptr},
        {"fe80::1%eth0", false, 0, nullptr},
        {"[fe80::1]", false, 0, nullptr},
        {"1::2::3", false, 0, nullptr},
        {"fe80::12345", false, 0, nullptr},
        {"0123456789abcdef0123456789abcdeg", false, 0, nullptr},
        {"0123456789abcdef 123456789abcdef", false, 0, nullptr},
        {"0123456789abcdef0123456789abcde", false, 0, nullptr},
        {"0123456789abcdef0123456789abcdef0", false, 0, nullptr},
    };
    for (const auto &c : cases) {
        InetAddress a;
        EXPECT_EQ(a.parse(c.input), c.ok) << c.input;
        EXPECT_EQ(a.family(), c.family) << c.input;
        if (c.ok) {
            EXPECT_EQ(text(a), c.printed) << c.input;
            EXPECT_TRUE(tailIsZero(a)) << c.input;
        }
        // fromText gives the same value, or no address.
        const InetAddress b = InetAddress::fromText(c.input);
        EXPECT_EQ(b.family(), c.family) << c.input;
        if (c.ok) {
            EXPECT_TRUE(b.equals(a)) << c.input;
        }
    }
    EXPECT_EQ(InetAddress::fromText(nullptr).family(), 0);
}

TEST(InetAddress, HexFormGivesTheSixteenBytes) {
    InetAddress a;
    ASSERT_TRUE(a.parse("0123456789abcdef0123456789ABCDEF"));
    const uint8_t expected[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                                  0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    EXPECT_EQ(std::memcmp(a.ipv6Bytes(), expected, 16), 0);
}

TEST(InetAddress, FailedParseKeepsTheAddressAndASuccessfulOneKeepsThePort) {
    InetAddress a = InetAddress::fromOctets(10, 1, 2, 3);
    a.setPort(9200);
    for (const char *bad : {"1::zz", "1.2.3", "0123456789abcdef0123456789abcdeX", "[::1]"}) {
        EXPECT_FALSE(a.parse(bad)) << bad;
        EXPECT_EQ(text(a), "10.1.2.3") << bad;
        EXPECT_EQ(a.port(), 9200) << bad;
    }
    EXPECT_FALSE(a.parse(nullptr));
    EXPECT_EQ(text(a), "10.1.2.3");

    // Switching family rebuilds the storage: no IPv4 bytes linger in the IPv6 fields.
    ASSERT_TRUE(a.parse("2001:db8::1"));
    EXPECT_EQ(a.port(), 9200);
    EXPECT_EQ(a.scopeId(), 0u);
    EXPECT_EQ(reinterpret_cast<const sockaddr_in6 *>(a.sockAddr())->sin6_flowinfo, 0u);
    EXPECT_TRUE(tailIsZero(a));
    ASSERT_TRUE(a.parse("10.0.0.1"));
    EXPECT_EQ(a.port(), 9200);
    EXPECT_TRUE(tailIsZero(a));
}

TEST(InetAddress, ConstructionAndSocketAddressView) {
    InetAddress none;
    EXPECT_EQ(none.family(), 0);
    EXPECT_EQ(none.sockLen(), 16u);
    EXPECT_TRUE(tailIsZero(none));

    const InetAddress a = InetAddress::fromOctets(192, 168, 0, 1);
    EXPECT_EQ(a.family(), AF_INET);
    EXPECT_EQ(a.ipv4(), v4("192.168.0.1"));
    EXPECT_TRUE(a.equals(InetAddress::fromIpv4(v4("192.168.0.1"))));
    EXPECT_EQ(a.sockLen(), 16u);

    InetAddress r;
    r.reset(true);
    EXPECT_TRUE(r.isV6());
    EXPECT_EQ(r.sockLen(), 28u);
    EXPECT_FALSE(r.isSet());
    r.reset(false);
    EXPECT_EQ(r.family(), AF_INET);

    // The port is in network byte order in the socket address.
    InetAddress p = InetAddress::fromOctets(127, 0, 0, 1);
    p.setPort(0x1234);
    EXPECT_EQ(reinterpret_cast<const sockaddr_in *>(p.sockAddr())->sin_port, htons(0x1234));
    EXPECT_EQ(p.port(), 0x1234);

    // A scope id belongs to IPv6 only.
    p.setScopeId(7);
    EXPECT_EQ(p.scopeId(), 0u);
    EXPECT_TRUE(tailIsZero(p));

    InetAddress s;
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_port = htons(53);
    sin6.sin6_scope_id = 3;
    inet_pton(AF_INET6, "fe80::2", &sin6.sin6_addr);
    ASSERT_TRUE(s.setSockAddr(reinterpret_cast<sockaddr *>(&sin6), sizeof sin6));
    EXPECT_EQ(text(s), "fe80::2");
    EXPECT_EQ(s.port(), 53);
    EXPECT_EQ(s.scopeId(), 3u);
    EXPECT_FALSE(s.setSockAddr(reinterpret_cast<sockaddr *>(&sin6), InetAddress::capacity + 1));
    EXPECT_EQ(s.family(), 0);
    EXPECT_FALSE(s.setSockAddr(nullptr, 16));
}

TEST(InetAddress, CopyTakesTheWholeSocketAddressOfTheFamily) {
    InetAddress six = InetAddress::fromText("fe80::1");
    six.setPort(443);
    six.setScopeId(5);
    const InetAddress copy(six);
    EXPECT_TRUE(copy.equals(six));
    EXPECT_EQ(copy.port(), 443);
    EXPECT_EQ(copy.scopeId(), 5u);
    EXPECT_EQ(std::memcmp(copy.sockAddr(), six.sockAddr(), 28), 0);

    // Assigning an IPv4 address over an IPv6 one leaves no IPv6 bytes behind.
    InetAddress target(six);
    target.assign(InetAddress::fromOctets(1, 2, 3, 4));
    EXPECT_EQ(target.family(), AF_INET);
    EXPECT_TRUE(tailIsZero(target));
    EXPECT_EQ(target.port(), 0);
    target = six;
    EXPECT_EQ(target.scopeId(), 5u);
    target = target;
    EXPECT_EQ(text(target), "fe80::1");
}

TEST(InetAddress, ClassificationTable) {
    struct Case {
        const char *input; // null: no address
        bool set, linkLocal, validHost;
    } cases[] = {
        {nullptr, false, false, false},
        {"0.0.0.0", false, false, false},
        {"10.0.0.1", true, false, true},
        {"10.0.0.254", true, false, true},
        {"10.0.0.255", true, false, false},
        {"192.168.1.0", true, false, false},
        {"169.254.7.9", true, true, true},
        {"169.253.7.9", true, false, true},
        {"169.254.0.0", true, true, false},
        {"::", false, false, false},
        {"::1", true, false, true},
        {"fe80::1", true, false, true},
        {"2001:db8::ff00", true, false, true},
    };
    for (const auto &c : cases) {
        const InetAddress a = InetAddress::fromText(c.input);
        const char *name = c.input ? c.input : "(none)";
        EXPECT_EQ(a.isSet(), c.set) << name;
        EXPECT_EQ(a.isLinkLocal(), c.linkLocal) << name;
        EXPECT_EQ(a.isValidHost(), c.validHost) << name;
    }
    // IPv6 link-local is not what isLinkLocal tests.
    EXPECT_FALSE(InetAddress::fromText("fe80::1").isLinkLocal());
}

TEST(InetAddress, Comparison) {
    struct Case {
        const char *a, *b;
        bool equal;
    } cases[] = {
        {"10.0.0.1", "10.0.0.1", true},
        {"10.0.0.1", "10.0.0.2", false},
        {"fe80::1", "FE80:0::1", true},
        {"fe80::1", "fe80::2", false},
        {"10.0.0.1", "::ffff:10.0.0.1", false},
        {"0.0.0.0", "0.0.0.0", true},
        {"::", "0.0.0.0", false},
    };
    for (const auto &c : cases) {
        const InetAddress a = InetAddress::fromText(c.a), b = InetAddress::fromText(c.b);
        EXPECT_EQ(a.equals(b), c.equal) << c.a << " " << c.b;
        EXPECT_EQ(b.equals(a), c.equal) << c.a << " " << c.b;
        EXPECT_EQ(a.differs(b), !c.equal) << c.a << " " << c.b;
    }

    // Ports and scope ids do not count.
    InetAddress x = InetAddress::fromText("fe80::1"), y = x;
    x.setPort(1);
    x.setScopeId(2);
    EXPECT_TRUE(x.equals(y));

    // No address equals nothing, not even another no address.
    InetAddress none;
    EXPECT_FALSE(none.equals(InetAddress()));
    EXPECT_TRUE(none.differs(none));
}

TEST(InetAddress, Ipv4View) {
    struct Case {
        const char *input;
        const char *ipv4; // null: 0
    } cases[] = {
        {"10.1.2.3", "10.1.2.3"}, {"::ffff:10.1.2.3", "10.1.2.3"},  {"::1", nullptr},
        {"::10.1.2.3", nullptr},  {"fe80::ffff:10.1.2.3", nullptr},
    };
    for (const auto &c : cases)
        EXPECT_EQ(InetAddress::fromText(c.input).ipv4(), c.ipv4 ? v4(c.ipv4) : 0u) << c.input;
    EXPECT_EQ(InetAddress().ipv4(), 0u);
}

TEST(InetAddress, TextsWithAndWithoutBrackets) {
    EXPECT_EQ(text(InetAddress::fromText("2001:db8::1"), true), "[2001:db8::1]");
    EXPECT_EQ(text(InetAddress::fromText("10.0.0.1"), true), "[10.0.0.1]");
    EXPECT_EQ(text(InetAddress::fromText("10.0.0.1")), "10.0.0.1");
    EXPECT_EQ(text(InetAddress()), "-error-");
    EXPECT_EQ(text(InetAddress(), true), "[-error-]");

    // print is bounded by the caller's buffer and always terminated.
    const InetAddress a = InetAddress::fromText("192.168.100.200");
    char buffer[64];
    EXPECT_EQ(a.print(buffer, sizeof buffer), 15u);
    EXPECT_STREQ(buffer, "192.168.100.200");
    char small[8];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(a.print(small, sizeof small), 7u);
    EXPECT_STREQ(small, "192.168");
    EXPECT_EQ(a.print(buffer, 0), 0u);
    EXPECT_EQ(a.print(nullptr, 10), 0u);

    // Sixteen texts are valid at the same time.
    const char *texts[16];
    for (int i = 0; i < 16; ++i)
        texts[i] = InetAddress::fromOctets(10, 0, 0, static_cast<uint8_t>(i + 1)).toText();
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(std::string(texts[i]), "10.0.0." + std::to_string(i + 1));

    char *out = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&out, &size);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(InetAddress::fromText("fe80::1").printTo(stream), 7);
    EXPECT_EQ(InetAddress().printTo(stream), 7);
    std::fclose(stream);
    EXPECT_STREQ(out, "fe80::1-error-");
    std::free(out);
}

TEST(InetAddress, ParseWithPrefixTable) {
    struct Case {
        const char *input;
        bool ok;
        int prefix;
        const char *printed;
    } cases[] = {
        {"10.0.0.0/8", true, 8, "10.0.0.0"},
        {"10.0.0.0", true, 32, "10.0.0.0"},
        {"10.0.0.0/32", true, 32, "10.0.0.0"},
        {"10.0.0.0/ 8", true, 8, "10.0.0.0"},
        {"fe80::/64", true, 64, "fe80::"},
        {"fe80::", true, 128, "fe80::"},
        {"2001:db8::/128", true, 128, "2001:db8::"},
        {"0123456789abcdef0123456789abcdef/48", true, 48, "123:4567:89ab:cdef:123:4567:89ab:cdef"},
        {"1111:2222:3333:4444:5555:6666:7777:8888/1", true, 1, "1111:2222:3333:4444:5555:6666:7777:8888"},
        {"10.0.0.0/0", false, 0, nullptr},
        {"10.0.0.0/-8", false, 0, nullptr},
        {"10.0.0.0/33", false, 0, nullptr},
        {"fe80::/129", false, 0, nullptr},
        {"10.0.0.0/x", false, 0, nullptr},
        {"10.0.0.0/", false, 0, nullptr},
        {"10.0.0.0/8x", false, 0, nullptr},
        {"10.0.0.0/8/8", false, 0, nullptr},
        {"10.0.0.0/99999999999999999999", false, 0, nullptr},
        {"/8", false, 0, nullptr},
        {"", false, 0, nullptr},
        {"10.0.0/8", false, 0, nullptr},
        // A 40-character address part is refused, whatever follows it.
        {"1111:2222:3333:4444:5555:6666:7777:88880/64", false, 0, nullptr},
        {"0000:0000:0000:0000:0000:0000:10.11.12.1", false, 0, nullptr},
    };
    for (const auto &c : cases) {
        InetAddress a = InetAddress::fromOctets(1, 1, 1, 1);
        int prefix = -7;
        EXPECT_EQ(a.parseWithPrefix(c.input, prefix), c.ok) << c.input;
        if (c.ok) {
            EXPECT_EQ(prefix, c.prefix) << c.input;
            EXPECT_EQ(text(a), c.printed) << c.input;
        } else {
            EXPECT_EQ(prefix, -7) << c.input;
            EXPECT_EQ(text(a), "1.1.1.1") << c.input;
        }
    }
    InetAddress a;
    int prefix = 0;
    EXPECT_FALSE(a.parseWithPrefix(nullptr, prefix));
}

TEST(InetAddress, ParseBracketedTable) {
    struct Case {
        const char *input;
        bool ok;
        const char *printed; // the address afterwards
    } cases[] = {
        {"http://[2001:db8::1]:8080/x", true, "2001:db8::1"},
        {"[fe80::1]", true, "fe80::1"},
        {"[::ffff:1.2.3.4]", true, "::ffff:1.2.3.4"},
        // Nothing bracketed: nothing to read.
        {"no brackets", true, "1.1.1.1"},
        {"", true, "1.1.1.1"},
        {"]fe80::1[", false, "1.1.1.1"},
        // A broken literal is refused and changes nothing.
        {"[fe80::1", false, "1.1.1.1"},
        {"[]", false, "1.1.1.1"},
        {"[10.0.0.1]", false, "1.1.1.1"},
        {"[fe80::1%eth0]", false, "1.1.1.1"},
        {"[0000:0000:0000:0000:0000:0000:0000:0000:0000:0000:0000]", false, "1.1.1.1"},
    };
    for (const auto &c : cases) {
        InetAddress a = InetAddress::fromOctets(1, 1, 1, 1);
        const std::string before = c.input;
        EXPECT_EQ(a.parseBracketed(c.input), c.ok) << c.input;
        EXPECT_EQ(text(a), c.printed) << c.input;
        EXPECT_EQ(before, c.input);
    }
    InetAddress a;
    EXPECT_TRUE(a.parseBracketed(nullptr));
    EXPECT_EQ(a.family(), 0);
}

TEST(InetAddress, ResolveLiteralsAndNames) {
    InetAddress a = InetAddress::fromOctets(9, 9, 9, 9);
    EXPECT_FALSE(a.resolve(nullptr));
    EXPECT_EQ(a.family(), 0);
    a = InetAddress::fromOctets(9, 9, 9, 9);
    EXPECT_FALSE(a.resolve(""));
    EXPECT_EQ(a.family(), 0);

    // Host literals are taken as they are.
    ASSERT_TRUE(a.resolve("10.0.0.1"));
    EXPECT_EQ(text(a), "10.0.0.1");
    ASSERT_TRUE(a.resolve("fe80::7"));
    EXPECT_EQ(text(a), "fe80::7");
    EXPECT_EQ(a.port(), 0);

    // A network address is no host literal: the resolver answers it, numerically.
    ASSERT_TRUE(a.resolve("192.168.1.0"));
    EXPECT_EQ(text(a), "192.168.1.0");

    // With IPv6 on and IPv4 preferred, localhost is the IPv4 loopback.
    ASSERT_TRUE(a.resolve("localhost"));
    EXPECT_EQ(text(a), "127.0.0.1");

    // A name too long for the resolver is not looked up.
    const std::string longName(300, 'a');
    EXPECT_FALSE(a.resolve(longName.c_str()));
    EXPECT_EQ(a.family(), 0);
}

TEST(AddressHelpers, Ipv6ScopeNames) {
    struct Case {
        int scope;
        const char *name;
    } cases[] = {{0, "Global"},     {16, "Host"},   {32, "Link"},    {64, "Site"},
                 {128, "Compatv4"}, {1, "Unknown"}, {-1, "Unknown"}, {0x20 | 0x10, "Unknown"}};
    for (const auto &c : cases)
        EXPECT_STREQ(ipv6ScopeName(c.scope), c.name) << c.scope;
}

TEST(AddressHelpers, PrefixToMaskTable) {
    struct Case {
        int prefix;
        size_t length;
        bool ok;
        std::vector<uint8_t> mask;
    } cases[] = {
        {20, 4, true, {0xFF, 0xFF, 0xF0, 0x00}},
        {0, 4, true, {0, 0, 0, 0}},
        {32, 4, true, {0xFF, 0xFF, 0xFF, 0xFF}},
        {1, 4, true, {0x80, 0, 0, 0}},
        {31, 4, true, {0xFF, 0xFF, 0xFF, 0xFE}},
        {33, 4, false, {0, 0, 0, 0}},
        {64, 16, true, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}},
        {127,
         16,
         true,
         {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}},
        {129, 16, false, std::vector<uint8_t>(16, 0)},
        {-1, 4, false, {0, 0, 0, 0}},
        {8, 0, false, {}},
    };
    for (const auto &c : cases) {
        uint8_t buffer[17];
        std::memset(buffer, 0xAA, sizeof buffer);
        EXPECT_EQ(prefixToMask(buffer, c.prefix, c.length), c.ok) << c.prefix;
        EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + c.length), c.mask) << c.prefix;
        EXPECT_EQ(buffer[c.length], 0xAA) << "wrote past the buffer, prefix " << c.prefix;
    }
    EXPECT_FALSE(prefixToMask(nullptr, 8, 4));
}

TEST(InetAddress, MaskToPrefixTable) {
    struct Case {
        const char *mask;
        int prefix;
    } cases[] = {
        {"255.255.255.0", 24},
        {"255.255.0.0", 16},
        {"255.0.0.0", 8},
        {"255.255.255.252", 30},
        {"255.255.255.255", 32},
        {"0.0.0.0", 0},
        {"128.0.0.0", 1},
        {"255.255.254.0", 23},
        // A mask with a hole counts its ones up to the hole.
        {"255.0.255.0", 8},
        {"255.255.0.255", 16},
        {"0.255.255.255", 0},
        {"254.255.255.255", 7},
        // An IPv6 value gives no IPv4 prefix.
        {"ffff:ffff::", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(maskToPrefix(InetAddress::fromText(c.mask)), c.prefix) << c.mask;
    EXPECT_EQ(maskToPrefix(InetAddress{}), 0);
    // Every prefix survives the way to a mask and back.
    for (int prefix = 0; prefix <= 32; prefix++) {
        uint8_t bytes[4];
        ASSERT_TRUE(prefixToMask(bytes, prefix, sizeof bytes));
        uint32_t word;
        std::memcpy(&word, bytes, sizeof word);
        EXPECT_EQ(maskToPrefix(InetAddress::fromIpv4(word)), prefix);
    }
}

TEST(MacAddress, ParseTable) {
    const std::string prefix = MacAddress::fromDefaultPrefix(0, 0, 0).toText();
    struct Case {
        const char *input;
        bool ok;
        std::string printed; // the upper-case text afterwards
    } cases[] = {
        {"00:11:22:aa:BB:cc", true, "00:11:22:AA:BB:CC"},
        {"1-2-3-4-5-6", true, "01:02:03:04:05:06"},
        {"a:b:c:d:e:f", true, "0A:0B:0C:0D:0E:0F"},
        {" 1: 2: 3: 4: 5: 6 ", true, "01:02:03:04:05:06"},
        {"12:34:56", true, prefix.substr(0, 9) + "12:34:56"},
        {"ab-cd-ef", true, prefix.substr(0, 9) + "AB:CD:EF"},
        // Refused texts leave the address as it was.
        {"", false, "FE:DC:BA:98:76:54"},
        {"1:2:3:4", false, "FE:DC:BA:98:76:54"},
        {"1:2", false, "FE:DC:BA:98:76:54"},
        {"1:2:3:4:5:6:7", false, "FE:DC:BA:98:76:54"},
        {"1:2:3:4:5:", false, "FE:DC:BA:98:76:54"},
        {"123:4:5:6:7:8", false, "FE:DC:BA:98:76:54"},
        {"0x1:2:3:4:5:6", false, "FE:DC:BA:98:76:54"},
        {"-1:2:3:4:5:6", false, "FE:DC:BA:98:76:54"},
        {"1:2:3-4:5:6", false, "FE:DC:BA:98:76:54"},
        {"gg:11:22:33:44:55", false, "FE:DC:BA:98:76:54"},
        {"00:11:22:33:44:55x", false, "FE:DC:BA:98:76:54"},
        {"00.11.22.33.44.55", false, "FE:DC:BA:98:76:54"},
        {"001122334455", false, "FE:DC:BA:98:76:54"},
    };
    const uint8_t start[6] = {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54};
    for (const auto &c : cases) {
        MacAddress m;
        m.assign(start);
        EXPECT_EQ(m.parse(c.input), c.ok) << c.input;
        EXPECT_EQ(std::string(m.toText()), c.printed) << c.input;
    }
    MacAddress m;
    EXPECT_FALSE(m.parse(nullptr));
}

TEST(MacAddress, ParseReportsAChangeOnly) {
    MacAddress m;
    EXPECT_TRUE(m.parse("12:34:56"));
    EXPECT_FALSE(m.parse("12:34:56"));
    EXPECT_TRUE(m.equals(MacAddress::fromDefaultPrefix(0x12, 0x34, 0x56)));
    EXPECT_TRUE(m.parse("12-34-57"));
    MacAddress zero;
    EXPECT_FALSE(zero.parse("0:0:0:0:0:0"));
}

TEST(MacAddress, TextsInBothCases) {
    const uint8_t raw[6] = {0x00, 0x1a, 0x2B, 0xc3, 0xD4, 0xff};
    MacAddress m;
    m.assign(raw);
    EXPECT_STREQ(m.toText(), "00:1A:2B:C3:D4:FF");
    char buffer[32];
    EXPECT_EQ(m.print(buffer, sizeof buffer), 17u);
    EXPECT_STREQ(buffer, "00:1a:2b:c3:d4:ff");
    char small[6];
    EXPECT_EQ(m.print(small, sizeof small), 5u);
    EXPECT_STREQ(small, "00:1a");
    EXPECT_EQ(m.print(nullptr, 4), 0u);

    char *out = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&out, &size);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(m.printTo(stream), 17);
    std::fclose(stream);
    EXPECT_STREQ(out, "00:1a:2b:c3:d4:ff");
    std::free(out);

    // The text round-trips through parse.
    MacAddress back;
    EXPECT_TRUE(back.parse(m.toText()));
    EXPECT_TRUE(back.equals(m));
}

TEST(MacAddress, MulticastMapping) {
    struct Case {
        const char *group, *mac;
    } cases[] = {
        {"239.255.255.250", "01:00:5E:7F:FF:FA"},
        {"224.0.0.251", "01:00:5E:00:00:FB"},
        {"224.128.0.1", "01:00:5E:00:00:01"},
        {"224.0.1.22", "01:00:5E:00:01:16"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(MacAddress::fromMulticast(v4(c.group)).toText(), c.mac) << c.group;
}

TEST(MacAddress, Ordering) {
    struct Case {
        const char *a, *b;
        bool equal, greater;
    } cases[] = {
        {"00:00:00:00:00:01", "00:00:00:00:00:01", true, false},
        {"00:00:00:00:00:02", "00:00:00:00:00:01", false, true},
        {"00:00:00:00:00:01", "00:00:00:00:00:02", false, false},
        {"80:00:00:00:00:00", "7F:FF:FF:FF:FF:FF", false, true},
        {"01:00:00:00:00:00", "00:FF:FF:FF:FF:FF", false, true},
        {"00:FF:FF:FF:FF:FF", "01:00:00:00:00:00", false, false},
    };
    for (const auto &c : cases) {
        MacAddress a, b;
        ASSERT_TRUE(a.parse(c.a));
        ASSERT_TRUE(b.parse(c.b));
        EXPECT_EQ(a.equals(b), c.equal) << c.a << " " << c.b;
        EXPECT_EQ(a.differs(b), !c.equal) << c.a << " " << c.b;
        EXPECT_EQ(a.greater(b), c.greater) << c.a << " " << c.b;
    }
}

TEST(MacAddress, FromInterface) {
    // Names that name no interface of this namespace give the all-zero address.
    const MacAddress zero;
    for (const char *name : {"", "nosuchif0", "averyveryverylongname0", "lo"})
        EXPECT_TRUE(MacAddress::fromInterface(name).equals(zero)) << name;

    // An interface with a hardware address reads as sysfs shows it.
    DIR *dir = opendir("/sys/class/net");
    ASSERT_NE(dir, nullptr);
    int compared = 0;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream file(std::string("/sys/class/net/") + entry->d_name + "/address");
        std::string address;
        if (!(file >> address) || address.size() != 17 || address == "00:00:00:00:00:00") continue;
        char text[18];
        MacAddress::fromInterface(entry->d_name).print(text, sizeof text);
        EXPECT_EQ(address, text) << entry->d_name;
        ++compared;
    }
    closedir(dir);
    if (compared == 0) GTEST_SKIP() << "no interface with a hardware address in this namespace";
}
