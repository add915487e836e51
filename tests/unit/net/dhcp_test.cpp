// The DHCP/BOOTP client without a network: the broadcast frame and its checksums, the
// bounded option walk, and the states driven through a network stand-in that records
// what the client sends and answers with replies made from the last request.
#include "net/dhcp_client.h"
#include "net/dhcp_network.h"
#include "net/dhcp_packet.h"
#include "net/netif.h"

#include "../core/param_guard.h"
#include "core/ptable.h"
#include "fake_kernel.h"
#include "param_catalogue.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

using namespace nettest;
using Bytes = std::vector<uint8_t>;

namespace {

uint32_t v4(const char *text) {
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

uint16_t be16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// A reply to the request: BOOTREPLY with its xid and chaddr, the cookie, yiaddr and
// the options as given (code, length, value... without the end option).
Bytes replyTo(const Bytes &request, uint32_t yiaddr, const Bytes &options) {
    Bytes r(BootpOptionsOffset, 0);
    r[0] = 2;
    r[1] = 1;
    r[2] = 6;
    std::memcpy(&r[BootpXid], &request[BootpXid], 4);
    std::memcpy(&r[BootpChaddr], &request[BootpChaddr], 16);
    std::memcpy(&r[BootpYiaddr], &yiaddr, 4);
    const uint8_t cookie[4] = {99, 130, 83, 99};
    std::memcpy(&r[BootpCookie], cookie, 4);
    r.insert(r.end(), options.begin(), options.end());
    r.push_back(255);
    return r;
}

Bytes address(uint8_t code, const char *text) {
    uint32_t a = v4(text);
    const auto *b = reinterpret_cast<const uint8_t *>(&a);
    return {code, 4, b[0], b[1], b[2], b[3]};
}

// The four bytes of an address as an option carries them.
Bytes value(const char *text) {
    Bytes a = address(0, text);
    return Bytes(a.begin() + 2, a.end());
}

Bytes seconds(uint8_t code, uint32_t s) {
    return {code,
            4,
            static_cast<uint8_t>(s >> 24),
            static_cast<uint8_t>(s >> 16),
            static_cast<uint8_t>(s >> 8),
            static_cast<uint8_t>(s)};
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes type(uint8_t t) {
    return {53, 1, t};
}

class FakeNetwork : public DhcpNetwork {
public:
    using Answer = std::function<Bytes(const Bytes &lastSent)>;
    std::vector<Bytes> frames;                        // broadcasts, 576 bytes each
    std::vector<std::pair<Bytes, uint32_t>> unicasts; // message and server
    std::vector<int64_t> waits;                       // ticks of receive and waitTask
    std::deque<Answer> answers;                       // one per receive; none: time-out
    uint32_t ownAddress = 0;
    int opened = 0;

    Bytes lastSent() const {
        if (!unicasts.empty() && (frames.empty() || unicastLast_)) return unicasts.back().first;
        return Bytes(frames.back().begin() + 28, frames.back().end());
    }

    bool sendBroadcast(NetInterface &, const uint8_t *frame, size_t length) override {
        frames.emplace_back(frame, frame + length);
        unicastLast_ = false;
        return true;
    }
    bool openReceive(Task &, NetInterface &) override {
        ++opened;
        return true;
    }
    bool receiveOpen() const override { return opened > 0; }
    void closeReceive() override {}
    bool sendUnicast(const uint8_t *message, size_t length, uint32_t server) override {
        unicasts.push_back({Bytes(message, message + length), server});
        unicastLast_ = true;
        return true;
    }
    int receive(Task &, uint8_t *buffer, size_t size, int64_t ticks, bool (*)(Task &)) override {
        waits.push_back(ticks);
        if (answers.empty()) return -1;
        Bytes r = answers.front()(lastSent());
        answers.pop_front();
        size_t n = std::min(size, r.size());
        std::memcpy(buffer, r.data(), n);
        return static_cast<int>(n);
    }
    bool waitTask(Task &, int64_t ticks) override {
        waits.push_back(ticks);
        return false;
    }
    bool interfaceAddress(NetInterface &, InetAddress &a) override {
        if (ownAddress == 0) return false;
        a = InetAddress::fromIpv4(ownAddress);
        return true;
    }

private:
    bool unicastLast_ = false;
};

// Option code -> value bytes of a sent message.
std::map<int, Bytes> optionsOf(const Bytes &m) {
    std::map<int, Bytes> out;
    for (size_t at = BootpOptionsOffset; at < m.size() && m[at] != 255;) {
        uint8_t code = m[at], n = m[at + 1];
        out[code] = Bytes(m.begin() + at + 2, m.begin() + at + 2 + n);
        at += 2 + n;
    }
    return out;
}

class DhcpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ptable();
        dir_ = std::filesystem::temp_directory_path() / ("qmr-dhcp-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
        ptable().setPaths((dir_ / "params.dat").string(), (dir_ / "slot1").string());
        guard.set(p_ip_addr, "169.254.3.4");
        guard.set(p_ip_setby, "zconf");
        guard.set(p_ip_dhcp_addr, "0.0.0.0");
        guard.set(p_ip_pfxlen, "16");
        guard.set(p_ip_router, "0.0.0.0");
        guard.set(p_sys_name, "");
        for (Param *p : {static_cast<Param *>(p_dns_primary), static_cast<Param *>(p_dns_secondary),
                         static_cast<Param *>(p_dns_domain), static_cast<Param *>(p_ntp_server),
                         static_cast<Param *>(p_smtp_srv), static_cast<Param *>(p_pop3_srv)})
            guard.set(p, "");
        iface.setName("eth0");
        ASSERT_TRUE(iface.openSocket());
        kernel.ipv4["eth0"] = v4("169.254.3.4");
        dhcpOfferedAddress = 0;
        dhcpServerId = 0;
        client = std::make_unique<BootpClient>(iface, network = new FakeNetwork());
    }
    void TearDown() override {
        client.reset();
        ptable().saveIfChanged();
        ptable().setPaths("", "");
        std::filesystem::remove_all(dir_);
    }

    // Runs steps until the state is one of the given ones (at most 20 steps).
    void stepUntil(std::initializer_list<int> states) {
        for (int i = 0; i < 20; ++i) {
            for (int s : states)
                if (client->state() == s) return;
            client->step();
        }
        FAIL() << "state " << client->state();
    }

    // An offer and an ack of 198.18.0.50 from server 198.18.0.2 with the options.
    void serve(const Bytes &ackOptions) {
        network->answers.push_back([](const Bytes &req) {
            return replyTo(req, v4("198.18.0.50"), cat({type(DhcpOffer), address(54, "198.18.0.2")}));
        });
        network->answers.push_back([ackOptions](const Bytes &req) {
            return replyTo(req, v4("198.18.0.50"),
                           cat({type(DhcpAck), address(54, "198.18.0.2"), ackOptions}));
        });
    }

    ParamGuard guard;
    Fakes fakes;
    FakeKernel &kernel = fakes.kernel;
    NetInterface iface;
    FakeNetwork *network = nullptr;
    std::unique_ptr<BootpClient> client;
    std::filesystem::path dir_;
};

TEST(DhcpPacket, BroadcastFrameCarriesValidHeadersAndChecksums) {
    BootpPacket p;
    const uint8_t mac[6] = {0x00, 0xc0, 0xeb, 0x01, 0x02, 0x03};
    p.reset(mac);
    p.beginMessage(htonl(0x12345678));
    BootpOptions o(p);
    o.addByte(53, DhcpDiscover);
    o.finish();
    uint8_t frame[BootpFrameSize];
    buildBootpFrame(p, frame);

    EXPECT_EQ(frame[0], 0x45);
    EXPECT_EQ(be16(frame + 2), 576);
    EXPECT_EQ(frame[8], 64);
    EXPECT_EQ(frame[9], 17);
    EXPECT_EQ(be16(frame + 20), 68);
    EXPECT_EQ(be16(frame + 22), 67);
    EXPECT_EQ(be16(frame + 24), 556);
    const uint8_t all[4] = {255, 255, 255, 255}, none[4] = {};
    EXPECT_EQ(std::memcmp(frame + 12, none, 4), 0);
    EXPECT_EQ(std::memcmp(frame + 16, all, 4), 0);
    // A header with its checksum sums to zero; so does the UDP part with its pseudo
    // header (addresses, protocol and UDP length).
    EXPECT_EQ(inetChecksum(frame, 20), 0);
    Bytes pseudo(frame + 12, frame + 20);
    pseudo.insert(pseudo.end(), {0, 17, 0x02, 0x2c});
    pseudo.insert(pseudo.end(), frame + 20, frame + BootpFrameSize);
    EXPECT_EQ(inetChecksum(pseudo.data(), pseudo.size()), 0);
    EXPECT_EQ(std::memcmp(frame + 28, p.bytes, BootpSize), 0);
    EXPECT_EQ(be16(frame + 28 + BootpFlags), 0x8000);

    // The checksum of an odd-length buffer at an odd address.
    uint8_t odd[6] = {0, 0x45, 0x00, 0x01, 0xf2, 0x03};
    EXPECT_EQ(inetChecksum(odd + 1, 5), static_cast<uint16_t>(~(0x4500 + 0x01f2 + 0x0300) & 0xffff));
}

TEST(DhcpPacket, OptionsAreReadWithinTheMessageOnly) {
    Bytes req(BootpSize, 0);
    auto parse = [&](const Bytes &options, size_t cut = 0) {
        Bytes m = replyTo(req, v4("10.0.0.9"), options);
        DhcpReply r;
        EXPECT_TRUE(parseBootpReply(m.data(), m.size() - cut, r));
        return r;
    };
    DhcpReply r = parse(cat({address(1, "255.255.240.0"), address(6, "10.0.0.1"), Bytes(100, 0)}));
    EXPECT_EQ(r.prefix, 20);
    EXPECT_EQ(r.dns1, v4("10.0.0.1"));
    EXPECT_EQ(r.dns2, 0u);

    Bytes longName = {12, 100};
    longName.insert(longName.end(), 100, 'h');
    EXPECT_EQ(std::strlen(parse(longName).hostName), 63u);

    // 58 after 51 replaces lease/2; 58 before 51 stays.
    r = parse(cat({seconds(51, 7200), seconds(58, 100)}));
    EXPECT_EQ(r.renew, 100u);
    EXPECT_EQ(r.rebind, 6300u);
    r = parse(cat({seconds(58, 100), seconds(51, 7200)}));
    EXPECT_EQ(r.renew, 100u);
    r = parse(seconds(51, 0xffffffff));
    EXPECT_EQ(r.lease, 0u);
    EXPECT_EQ(r.renew, 0u);
    r = parse(cat({seconds(51, 0xfffffffe), seconds(59, 0xfffffffe)}));
    EXPECT_EQ(r.lease, DhcpMaxLease);
    EXPECT_EQ(r.rebind, DhcpMaxRenewal);

    // A value that runs past the end, or is cut off, is not taken; the walk stops.
    r = parse(cat({type(DhcpAck), {3, 200, 1, 2, 3, 4}}));
    EXPECT_EQ(r.messageType, DhcpAck);
    EXPECT_EQ(r.router, 0u);
    Bytes m = replyTo(req, 0, cat({address(3, "10.0.0.1")}));
    EXPECT_EQ(bootpMessageType(m.data(), m.size()), 0);
    r = parse(address(3, "10.0.0.1"), 3);
    EXPECT_EQ(r.router, 0u);
    DhcpReply shortOne;
    EXPECT_FALSE(parseBootpReply(m.data(), 239, shortOne));
}

TEST(DhcpPacket, ServerTimesAreBoundedToRenewalRebindingLease) {
    struct Case {
        uint32_t lease, renew, rebind, wantRenew, wantRebind;
    } cases[] = {
        {7200, 3600, 6300, 3600, 6300},
        {100, 200, 300, 50, 87},
        {100, 90, 80, 50, 80},
        {100, 0, 0, 50, 87},
        {0, 10, 20, 10, 20},
        {100, 0, 40, 40, 40},
    };
    for (const Case &c : cases) {
        uint32_t renew = c.renew, rebind = c.rebind;
        boundLeaseTimes(c.lease, renew, rebind);
        EXPECT_EQ(renew, c.wantRenew) << c.lease << " " << c.renew << " " << c.rebind;
        EXPECT_EQ(rebind, c.wantRebind) << c.lease << " " << c.renew << " " << c.rebind;
    }
}

TEST_F(DhcpClientTest, DiscoverOfferRequestAckPutsTheLeaseIntoEffect) {
    p_sys_name->setText("qmr-t", -1);
    EXPECT_EQ(p_sys_name->getText(), "qmr-t");
    serve(cat({address(1, "255.255.255.0"),
               address(3, "198.18.0.2"),
               address(6, "198.18.0.2"),
               {15, 8, 'l', 'a', 'b', '.', 't', 'e', 's', 't'},
               address(42, "198.18.0.3"),
               seconds(51, 7200)}));
    stepUntil({BootpClient::Bound});

    ASSERT_EQ(network->frames.size(), 2u);
    Bytes discover(network->frames[0].begin() + 28, network->frames[0].end());
    Bytes request(network->frames[1].begin() + 28, network->frames[1].end());
    auto d = optionsOf(discover), r = optionsOf(request);
    EXPECT_EQ(d[53], Bytes{DhcpDiscover});
    EXPECT_EQ(d[55], (Bytes{1, 3, 12}));
    EXPECT_EQ(d[12], (Bytes{'q', 'm', 'r', '-', 't', 0}));
    EXPECT_EQ(d[61], (Bytes{1, 0x00, 0xc0, 0xeb, 0x01, 0x02, 0x03}));
    EXPECT_EQ(r[53], Bytes{DhcpRequest});
    EXPECT_EQ(r[50], value("198.18.0.50"));
    EXPECT_EQ(r[54].size(), 4u);
    EXPECT_NE(std::memcmp(&discover[BootpXid], &request[BootpXid], 4), 0);

    char text[64];
    p_ip_addr->toText(text, sizeof text, false);
    EXPECT_STREQ(text, "198.18.0.50");
    EXPECT_TRUE(p_ip_setby->equals("dhcp"));
    p_ip_dhcp_addr->toText(text, sizeof text, false);
    EXPECT_STREQ(text, "198.18.0.50");
    EXPECT_EQ(p_ip_pfxlen->value(), 24);
    p_ip_router->toText(text, sizeof text, false);
    EXPECT_STREQ(text, "198.18.0.2");
    EXPECT_EQ(p_dns_domain->getText(), "lab.test");
    EXPECT_EQ(p_ntp_server->getText(), "198.18.0.3");
    EXPECT_EQ(kernel.ipv4["eth0"], v4("198.18.0.50"));
    EXPECT_NE(dhcpLeaseStart.load(), 0);

    // Bound until T1 (3600 s); then a unicast renewal with the address as ciaddr.
    network->ownAddress = v4("198.18.0.50");
    client->step();
    EXPECT_EQ(network->waits.back(), 3600 * 100);
    EXPECT_EQ(client->state(), BootpClient::Renewing);
    ASSERT_EQ(network->unicasts.size(), 1u);
    EXPECT_EQ(network->unicasts[0].second, v4("198.18.0.2"));
    const Bytes &renewal = network->unicasts[0].first;
    EXPECT_EQ(std::memcmp(&renewal[BootpCiaddr], &kernel.ipv4["eth0"], 4), 0);
    EXPECT_EQ(be16(&renewal[BootpFlags]), 0);

    // No answer until T2: a broadcast; none until the lease ends: ZeroConf.
    client->step();
    EXPECT_EQ(network->waits.back(), (6300 - 3600) * 100);
    EXPECT_EQ(client->state(), BootpClient::Rebinding);
    EXPECT_EQ(network->frames.size(), 3u);
    client->step();
    EXPECT_EQ(network->waits.back(), (7200 - 6300) * 100);
    EXPECT_EQ(client->state(), BootpClient::Init);
    EXPECT_TRUE(p_ip_setby->equals("zconf"));
    EXPECT_TRUE(p_ip_addr->isLinkLocal4());
    EXPECT_FALSE(p_ip_dhcp_addr->hasValue());
}

TEST_F(DhcpClientTest, RepliesThatDoNotFitTheStateAreDropped) {
    // A plain BOOTP reply (no message type) and one with another xid are not offers.
    network->answers.push_back([](const Bytes &req) { return replyTo(req, v4("198.18.0.50"), {}); });
    network->answers.push_back([](Bytes req) {
        req[BootpXid] ^= 1;
        return replyTo(req, v4("198.18.0.50"), type(DhcpOffer));
    });
    stepUntil({BootpClient::Stopped});
    EXPECT_EQ(network->frames.size(), 1u);
    EXPECT_TRUE(p_ip_setby->equals("zconf"));
    EXPECT_EQ(network->waits.size(), 3u);
}

TEST_F(DhcpClientTest, RememberedAddressIsConfirmedFirstAndANakFallsBackOnlyForADhcpAddress) {
    for (const char *source : {"dhcp", "pfile"}) {
        p_ip_dhcp_addr->setText("198.18.0.60", -1);
        p_ip_addr->setText("198.18.0.60", -1);
        p_ip_setby->setText(source, -1);
        ASSERT_TRUE(client->prepare());
        EXPECT_EQ(client->state(), BootpClient::InitReboot);
        network->answers.push_back([](const Bytes &req) { return replyTo(req, 0, type(DhcpNak)); });
        client->step();
        auto r = optionsOf(Bytes(network->frames.back().begin() + 28, network->frames.back().end()));
        EXPECT_EQ(r[50], value("198.18.0.60"));
        client->step();
        EXPECT_EQ(client->state(), BootpClient::Init);
        EXPECT_EQ(p_ip_addr->isLinkLocal4(), std::strcmp(source, "dhcp") == 0) << source;
    }
}

TEST_F(DhcpClientTest, InfiniteLeaseStaysBoundWhenARenewalGoesUnanswered) {
    serve(seconds(51, 0xffffffff));
    stepUntil({BootpClient::Bound});
    client->step(); // the bound wait ends (as by a configuration change): renewal
    EXPECT_EQ(network->waits.back(), 0xFFFFFFFFLL);
    client->step();
    client->step();
    EXPECT_EQ(client->state(), BootpClient::Bound);
    EXPECT_TRUE(p_ip_setby->equals("dhcp"));
}

TEST_F(DhcpClientTest, ALeaseOfOneSecondRenewsAtOnceAndRunsOutWithoutAnswer) {
    // Half a second and seven eighths of it are 0 in whole seconds: no "infinite" wait.
    serve(seconds(51, 1));
    stepUntil({BootpClient::Bound});
    network->ownAddress = v4("198.18.0.50");
    client->step();
    EXPECT_EQ(network->waits.back(), 0);
    EXPECT_EQ(client->state(), BootpClient::Renewing);
    client->step();
    client->step();
    EXPECT_EQ(client->state(), BootpClient::Init);
    EXPECT_TRUE(p_ip_setby->equals("zconf"));
}

TEST_F(DhcpClientTest, PlainBootpReplyWhileRebindingFallsBackToZeroconf) {
    serve(seconds(51, 600));
    stepUntil({BootpClient::Bound});
    network->ownAddress = v4("198.18.0.50");
    client->step(); // T1: renewal, unanswered
    client->step(); // T2: rebinding
    ASSERT_EQ(client->state(), BootpClient::Rebinding);
    network->answers.push_back([](const Bytes &req) { return replyTo(req, v4("198.18.0.50"), {}); });
    client->step();
    EXPECT_EQ(client->state(), BootpClient::Stopped);
    EXPECT_TRUE(p_ip_setby->equals("zconf"));
    EXPECT_TRUE(p_ip_addr->isLinkLocal4());
}

TEST_F(DhcpClientTest, NewDiscoveryMessageRestartsAtInit) {
    serve(seconds(51, 600));
    stepUntil({BootpClient::Bound});
    TaskMsg m{0, MsgNewDiscovery | MsgAddressChanged, 0, 0};
    EXPECT_EQ(client->onMessage(m), static_cast<uint32_t>(MsgNewDiscovery));
    EXPECT_EQ(client->state(), BootpClient::Init);
}

} // namespace
