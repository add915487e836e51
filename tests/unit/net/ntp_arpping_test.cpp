// The time client's reply check, time-zone texts and clock set (on the simulated
// platform, never the host's clock), and the ARP-ping packet check.
#include "net/arpping.h"
#include "net/dhcp_client.h"
#include "net/ntp.h"
#include "net/ntp_network.h"

#include "../core/param_guard.h"
#include "core/platform.h"
#include "core/ptable.h"
#include "core/sysroot.h"
#include "net/netif.h"
#include "param_catalogue.h"
#include "sim/devfile.h"
#include "sim/sim_platform.h"
#include "sim/standins.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes reply(uint32_t transmitSeconds, size_t length = NtpMessageSize) {
    Bytes r(length, 0);
    if (length > 0) r[0] = 0x0c;
    if (length >= 44)
        for (int i = 0; i < 4; ++i)
            r[40 + i] = static_cast<uint8_t>(transmitSeconds >> (24 - 8 * i));
    return r;
}

TEST(Ntp, OnlyA48ByteReplyWithATransmitTimeIsTaken) {
    timeval t{};
    Bytes good = reply(3913056000u);
    EXPECT_TRUE(parseNtpReply(good.data(), good.size(), t));
    EXPECT_EQ(t.tv_sec, 1704067200);
    EXPECT_EQ(t.tv_usec, 0);
    for (size_t n : {47u, 49u, 0u}) {
        Bytes r = reply(3913056000u, n);
        EXPECT_FALSE(parseNtpReply(r.data(), r.size(), t)) << n;
    }
    Bytes zero = reply(0);
    EXPECT_FALSE(parseNtpReply(zero.data(), zero.size(), t));
    // After 2036 the seconds wrap: small values belong to the next era.
    Bytes next = reply(16);
    ASSERT_TRUE(parseNtpReply(next.data(), next.size(), t));
    EXPECT_EQ(t.tv_sec, static_cast<time_t>((int64_t{1} << 32) + 16 - NtpUnixOffset));

    uint8_t request[NtpMessageSize];
    buildNtpRequest(request);
    EXPECT_EQ(request[0], 0x0B);
    EXPECT_EQ(request[2], 4);
}

TEST(Ntp, TimeZoneTexts) {
    struct Case {
        const char *value, *description, *tz;
    } cases[] = {
        {"CET/CEST (EU)", "UTC+1:00 EU", "CET-1CEST,M3.5.0,M10.5.0"},
        {"GMT", "UTC+0:00", "GMT0"},
        {"BRT/BRST (Brazil)", "UTC-3:00 Brazil", "BRT3BRST,J309,J56"},
        {"IST", "UTC+5:30", "IST-5:30"},
        {"NST/NDT (StJohns)", "UTC-3:30 StJohns", "NST3:30NDT,M3.2.0,M11.1.0"},
        {"LHST (Lord Howe Island)", "UTC+10:30 Lord Howe Island", "LHST-10:30LHST,M10.5.0,M3.5.0"},
        {"MSK/MSD (Russia)", "UTC+3:00 Russia", "MSK-3"},
        {"CT", "UTC+8:00", "<+08>-8"},
        {"C3T/CT (US)", "UTC-3:30 US", "<C3T>3:30<-0230>,M3.2.0,M11.1.0"},
        {"", "", "<+00>0"},
    };
    for (const Case &c : cases) {
        char tz[128];
        int n = buildTimeZone(c.value, c.description, tz, sizeof tz);
        EXPECT_STREQ(tz, c.tz) << c.value;
        EXPECT_EQ(n, static_cast<int>(std::strlen(c.tz)));
    }
    char small[6];
    EXPECT_EQ(buildTimeZone("CET/CEST (EU)", "UTC+1:00 EU", small, sizeof small), 5);
    EXPECT_STREQ(small, "CET-1");
}

TEST(Ntp, EveryZoneOfTheCatalogueGivesATimeZoneTheCLibraryTakes) {
    ptable();
    const char *saved = std::getenv("TZ");
    std::string savedTz = saved ? saved : "";
    int zones = 0;
    for (int i = 0; i < p_ntp_tzone->optionCount(); ++i) {
        const P3Option &o = p_ntp_tzone->options()[i];
        if (std::strcmp(o.keyword, "optgroup") == 0) continue;
        ++zones;
        char tz[128];
        buildTimeZone(o.keyword, o.code, tz, sizeof tz);
        setenv("TZ", tz, 1);
        tzset();
        // A TZ the library refuses reads as UTC without an offset; every zone here but
        // the UTC+0 ones has an offset.
        if (std::strstr(o.code, "+0:00") == nullptr) {
            EXPECT_NE(timezone, 0) << o.keyword << " " << tz;
        }
        EXPECT_STRNE(tzname[0], "UTC") << o.keyword << " " << tz;
    }
    EXPECT_EQ(zones, 188);
    if (saved)
        setenv("TZ", savedTz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

// Other threads convert times while the zone changes: the C library reads "TZ" without
// our lock, so a change only overwrites the variable and never moves the environment.
TEST(Ntp, ChangingTheTimeZoneNeverMovesTheEnvironment) {
    ptable();
    ParamGuard guard({p_ntp_tzone});
    const char *saved = std::getenv("TZ");
    std::string savedTz = saved ? saved : "";
    prepareEnvironment();
    char **before = environ;
    int changes = 0;
    for (int i = 0; i < p_ntp_tzone->optionCount() && changes < 3; ++i) {
        const P3Option &o = p_ntp_tzone->options()[i];
        if (std::strcmp(o.keyword, "optgroup") == 0) continue;
        ASSERT_TRUE(p_ntp_tzone->setText(o.keyword, -1)) << o.keyword;
        applyTimeZone();
        char tz[128];
        buildTimeZone(o.keyword, o.code, tz, sizeof tz);
        EXPECT_STREQ(std::getenv("TZ"), tz) << o.keyword;
        EXPECT_EQ(environ, before) << o.keyword;
        ++changes;
    }
    EXPECT_EQ(changes, 3);
    if (saved)
        setenv("TZ", savedTz.c_str(), 1);
    else
        setenv("TZ", SystemTimeZone, 1);
    tzset();
}

// Answers every exchange with the given datagram.
class FakeNtp : public NtpNetwork {
public:
    explicit FakeNtp(Bytes answer) : answer_(std::move(answer)) {}
    int exchange(Task &, NetInterface *, const InetAddress &server, const uint8_t *request, size_t length,
                 uint8_t *out, size_t size, int64_t) override {
        servers.push_back(server.toText());
        requests.emplace_back(request, request + length);
        std::memcpy(out, answer_.data(), std::min(size, answer_.size()));
        return static_cast<int>(answer_.size());
    }
    std::vector<std::string> servers;
    std::vector<Bytes> requests;

private:
    Bytes answer_;
};

class NtpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ptable();
        dir_ = std::filesystem::temp_directory_path() / ("qmr-ntp-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
        ptable().setPaths((dir_ / "params.dat").string(), (dir_ / "slot1").string());
        guard.set(p_ntp, "on");
        guard.set(p_ntp_server, "198.18.0.2");
        guard.set(p_ntp_done, "off");
        // The simulated platform records the clock set; the RTC goes to a fake device.
        setPlatform(simPlatform());
        sim::registerDevicePath(sysPath("/dev/rtc0"), [](const std::string &, int, int &fd) {
            fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            return std::make_unique<sim::DeviceFile>();
        });
    }
    void TearDown() override {
        sim::unregisterDevicePath(sysPath("/dev/rtc0"));
        setPlatform(linuxPlatform());
        ptable().setPaths("", "");
        std::filesystem::remove_all(dir_);
    }
    ParamGuard guard;
    NetInterface iface;
    std::filesystem::path dir_;
};

TEST_F(NtpClientTest, SyncSetsTheAppliancesClockAndNtpDone) {
    auto *net = new FakeNtp(reply(3913056000u));
    NtpClient client(iface, net);
    dhcpLeaseStart = 0;
    EXPECT_TRUE(client.sync());
    ASSERT_EQ(net->servers.size(), 1u);
    EXPECT_EQ(net->servers[0], "198.18.0.2");
    EXPECT_EQ(ntpServerAddress().port(), 123);
    timeval now{};
    ASSERT_EQ(platform().wallClock(&now), 0);
    EXPECT_GE(now.tv_sec, 1704067200);
    EXPECT_LT(now.tv_sec, 1704067200 + 60);
    EXPECT_TRUE(p_ntp_done->isOn());
    EXPECT_EQ(dhcpLeaseStart.load(), 0);

    // Off, or without a server: nothing is asked.
    p_ntp->setText("off", -1);
    EXPECT_FALSE(client.sync());
    p_ntp->setText("on", -1);
    p_ntp_server->setText("", -1);
    EXPECT_FALSE(client.sync());
    EXPECT_EQ(net->servers.size(), 1u);
}

TEST_F(NtpClientTest, AReplyOfAnotherLengthLeavesTheClockAlone) {
    timeval before{};
    platform().wallClock(&before);
    NtpClient client(iface, new FakeNtp(reply(3913056000u, 47)));
    EXPECT_FALSE(client.sync());
    timeval after{};
    platform().wallClock(&after);
    EXPECT_LT(after.tv_sec - before.tv_sec, 5);
    EXPECT_FALSE(p_ntp_done->isOn());
}

Bytes ping(const char *destination, uint8_t protocol = 1, uint8_t icmpType = 8, size_t length = 64) {
    Bytes p(length, 0);
    p[0] = 0x45;
    p[9] = protocol;
    inet_pton(AF_INET, destination, &p[16]);
    if (length > 20) p[20] = icmpType;
    return p;
}

TEST(ArpPing, OnlyAnEchoRequestToAUsableAddressQualifies) {
    struct Case {
        Bytes packet;
        const char *taken; // null: refused
    } cases[] = {
        {ping("10.1.2.3"), "10.1.2.3"},    {ping("192.168.1.50"), "192.168.1.50"},
        {ping("192.168.1.255"), nullptr},  {ping("239.1.1.1"), nullptr},
        {ping("169.254.9.9"), nullptr},    {ping("127.0.0.5"), nullptr},
        {ping("0.1.2.3"), nullptr},        {ping("10.1.2.3", 6), nullptr},
        {ping("10.1.2.3", 1, 0), nullptr}, {ping("10.1.2.3", 1, 8, 28), nullptr},
    };
    for (const Case &c : cases) {
        uint32_t got = arpPingTarget(c.packet.data(), c.packet.size());
        if (c.taken == nullptr) {
            EXPECT_EQ(got, 0u);
            continue;
        }
        in_addr want{};
        inet_pton(AF_INET, c.taken, &want);
        EXPECT_EQ(got, want.s_addr) << c.taken;
    }
    // With IPv4 options the ICMP header starts later.
    Bytes withOptions = ping("10.1.2.3", 1, 0);
    withOptions[0] = 0x46;
    withOptions[24] = 8;
    EXPECT_NE(arpPingTarget(withOptions.data(), withOptions.size()), 0u);

    struct Prefix {
        const char *address;
        int prefix;
    } prefixes[] = {
        {"10.1.2.3", 8}, {"127.255.0.1", 8}, {"172.16.5.5", 16}, {"191.0.0.1", 16}, {"192.168.1.50", 24}};
    for (const Prefix &p : prefixes) {
        in_addr a{};
        inet_pton(AF_INET, p.address, &a);
        EXPECT_EQ(classPrefix(a.s_addr), p.prefix) << p.address;
    }
}

} // namespace
