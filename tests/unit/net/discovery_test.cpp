// SLP requests and the multicast-DNS responder without a network: bounded names and
// predicates, the delays and sections of browse answers, known-answer suppression,
// legacy unicast replies and the limits on received messages.
#include "net/mdns.h"
#include "net/mdns_message.h"
#include "net/netif.h"
#include "net/slp_message.h"

#include "../core/param_guard.h"
#include "core/ptable.h"
#include "param_catalogue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes name(std::initializer_list<const char *> labels) {
    Bytes out;
    for (const char *l : labels) {
        out.push_back(static_cast<uint8_t>(std::strlen(l)));
        out.insert(out.end(), l, l + std::strlen(l));
    }
    out.push_back(0);
    return out;
}

void put16(Bytes &b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

TEST(DnsName, CompressionIsBoundedAndOnlyBackwards) {
    std::vector<std::string> labels;
    size_t next = 0;
    Bytes m(12, 0);
    Bytes host = name({"QMR-0287A1", "local"});
    m.insert(m.end(), host.begin(), host.end());
    m.insert(m.end(), {3, 'w', 'w', 'w', 0xC0, 12});
    ASSERT_TRUE(readDnsName(m.data(), m.size(), 12 + host.size(), labels, next));
    EXPECT_EQ(labels, (std::vector<std::string>{"www", "QMR-0287A1", "local"}));
    EXPECT_EQ(next, m.size());

    // A pointer to itself or forwards, a cut pointer, a label past the end: refused.
    for (Bytes bad : {Bytes{0xC0, 0}, Bytes{0xC0, 2, 0}, Bytes{0xC0}, Bytes{5, 'a', 'b'}, Bytes{64}}) {
        Bytes msg(bad);
        EXPECT_FALSE(readDnsName(msg.data(), msg.size(), 0, labels, next));
    }
    // Names of more than 255 bytes are refused.
    Bytes longName;
    for (int i = 0; i < 5; ++i) {
        longName.push_back(63);
        longName.insert(longName.end(), 63, 'x');
    }
    longName.push_back(0);
    EXPECT_FALSE(readDnsName(longName.data(), longName.size(), 0, labels, next));

    // A label is cut at 63 bytes on a character boundary.
    std::string umlauts(32, 'a');
    for (int i = 0; i < 20; ++i)
        umlauts += "\xc3\xa4";
    EXPECT_EQ(cutLabel(umlauts).size(), 62u);
    EXPECT_EQ(cutLabel(std::string(70, 'a')).size(), 63u);
}

Bytes slpRequest(const std::string &predicate, uint16_t previous = 0) {
    Bytes m = {1, 1, 0, 0, 0, 0, 'e', 'n', 0, 3, 0x12, 0x34};
    put16(m, previous);
    m.insert(m.end(), previous, 'p');
    put16(m, static_cast<uint16_t>(predicate.size()));
    m.insert(m.end(), predicate.begin(), predicate.end());
    return m;
}

TEST(Slp, RequestsAreReadWithinTheirBounds) {
    SlpRequest r;
    Bytes m = slpRequest("service:x-kvxps://X-KVX-NAME==Box,x-kvx-ipv6==[2001:db8::5]/64,"
                         "X-KVX-IP==10.0.0.9,X-KVX-IPMASK==255.255.0.0,X-KVX-GATEv6==[2001:db8::1]/",
                         3);
    ASSERT_TRUE(parseSlpRequest(m.data(), m.size(), r));
    EXPECT_STREQ(r.name, "Box");
    EXPECT_EQ(r.ipv6Prefix, 64);
    EXPECT_STREQ(r.ipv6.toText(), "2001:db8::5");
    EXPECT_STREQ(r.ipv4.toText(), "10.0.0.9");
    EXPECT_EQ(r.lastFamily, 4);
    EXPECT_TRUE(r.hasMask);
    EXPECT_STREQ(r.gateway6.toText(), "2001:db8::1");

    std::string big = "service:x-kvxps://" + std::string(1024 - 19, 'a') + "/";
    m = slpRequest(big);
    EXPECT_TRUE(parseSlpRequest(m.data(), m.size(), r));
    m = slpRequest(big + "/");
    EXPECT_FALSE(parseSlpRequest(m.data(), m.size(), r));
    for (const char *bad : {"service:printer://", "x-kvxps://", "service:x-kvxps:/"}) {
        m = slpRequest(bad);
        EXPECT_FALSE(parseSlpRequest(m.data(), m.size(), r)) << bad;
    }
    m = slpRequest("service:x-kvxps://");
    m[1] = 2;
    EXPECT_FALSE(parseSlpRequest(m.data(), m.size(), r));
    // Lengths that run past the datagram.
    m = slpRequest("service:x-kvxps://");
    m[12] = 0x7f;
    EXPECT_FALSE(parseSlpRequest(m.data(), m.size(), r));
    m = slpRequest("service:x-kvxps://");
    EXPECT_FALSE(parseSlpRequest(m.data(), m.size() - 1, r));
}

class Sent : public MdnsNetwork {
public:
    struct Batch {
        InetAddress to;
        int ttl;
        std::vector<DnsMessage> messages;
    };
    std::vector<Batch> batches;
    bool send(Task &, NetInterface *, int, const InetAddress &to, int ttl,
              const std::vector<DnsMessage> &messages) override {
        batches.push_back({to, ttl, messages});
        return true;
    }
};

// The records of a message: section (1 answer, 3 additional), type and owner name.
std::vector<std::string> records(const DnsMessage &m) {
    std::vector<std::string> out;
    size_t at = 12;
    uint16_t counts[4];
    for (int i = 0; i < 4; ++i)
        counts[i] = static_cast<uint16_t>(m[4 + 2 * i] << 8 | m[5 + 2 * i]);
    for (int section = 0; section < 4; ++section)
        for (int i = 0; i < counts[section]; ++i) {
            std::vector<std::string> labels;
            EXPECT_TRUE(readDnsName(m.data(), m.size(), at, labels, at));
            uint16_t type = static_cast<uint16_t>(m[at] << 8 | m[at + 1]);
            std::string text = std::to_string(section) + " " + std::to_string(type) + " " + labels[0];
            at += 4;
            if (section > 0) at += 6 + (m[at + 4] << 8 | m[at + 5]);
            out.push_back(text);
        }
    return out;
}

class BonjourTest : public ::testing::Test {
protected:
    void SetUp() override {
        ptable();
        guard.set(p_ip_addr, "198.18.0.1");
        guard.set(p_ipv6, "off");
        guard.set(p_bonjour_name, "Lab");
        update_bonjour_name();
        responder = std::make_unique<Bonjour>(iface, sent = new Sent());
        responder->probeState = 4;
        responder->hostLabel = "box";
        responder->ownAddress = p_ip_addr->address();
        mdnsTaskNumber = responder->taskNumber;
        from = InetAddress::fromText("198.18.0.2");
        from.setPort(5353);
    }
    void TearDown() override {
        responder.reset();
        mdnsTaskNumber = -1;
    }

    Bytes query(std::initializer_list<Bytes> questions, uint16_t flags = 0,
                std::initializer_list<Bytes> known = {}) {
        Bytes m = {0x12, 0x34};
        put16(m, flags);
        put16(m, static_cast<uint16_t>(questions.size()));
        put16(m, static_cast<uint16_t>(known.size()));
        put16(m, 0);
        put16(m, 0);
        for (const Bytes &q : questions)
            m.insert(m.end(), q.begin(), q.end());
        for (const Bytes &k : known)
            m.insert(m.end(), k.begin(), k.end());
        return m;
    }
    Bytes question(std::initializer_list<const char *> labels, uint16_t type) {
        Bytes q = name(labels);
        put16(q, type);
        put16(q, 1);
        return q;
    }
    // A known PTR answer for our _http instance with the TTL.
    Bytes knownPtr(uint32_t ttl) {
        Bytes r = name({"_http", "_tcp", "local"});
        put16(r, 12);
        put16(r, 1);
        put16(r, static_cast<uint16_t>(ttl >> 16));
        put16(r, static_cast<uint16_t>(ttl));
        std::string inst = mdnsInstanceName();
        Bytes target = name({inst.c_str(), "_http", "_tcp", "local"});
        put16(r, static_cast<uint16_t>(target.size()));
        r.insert(r.end(), target.begin(), target.end());
        return r;
    }
    void handle(const Bytes &m, int64_t now) { responder->handleMessage(m.data(), m.size(), from, -1, now); }

    ParamGuard guard;
    NetInterface iface;
    Sent *sent = nullptr;
    std::unique_ptr<Bonjour> responder;
    InetAddress from;
};

TEST_F(BonjourTest, BrowseAnswerWaitsForItsTimeAndCarriesBothServices) {
    handle(query({question({"_http", "_tcp", "local"}, 12)}), 1000);
    EXPECT_TRUE(sent->batches.empty());
    EXPECT_GE(responder->answerTime, 1003);
    EXPECT_LE(responder->answerTime, 1012);
    EXPECT_FALSE(responder->sendDue(responder->answerTime - 1));
    ASSERT_TRUE(responder->sendDue(responder->answerTime));
    ASSERT_EQ(sent->batches.size(), 1u);
    EXPECT_EQ(sent->batches[0].ttl, 255);
    EXPECT_STREQ(sent->batches[0].to.toText(), "224.0.0.251");
    auto r = records(sent->batches[0].messages[0]);
    std::string inst = mdnsInstanceName();
    EXPECT_EQ(r, (std::vector<std::string>{"1 12 _http", "1 12 _https", "3 33 " + inst, "3 16 " + inst,
                                           "3 1 box", "3 33 " + inst, "3 16 " + inst}))
        << "host " << responder->hostLabel;
}

TEST_F(BonjourTest, BrowseQuestionsInQuickSuccessionDoNotPostponeAHeldAnswer) {
    // Browsers asking every tick would otherwise push the answer time on for ever.
    handle(query({question({"_http", "_tcp", "local"}, 12)}), 1000);
    const int64_t due = responder->answerTime;
    for (int64_t now = 1001; now < due; ++now) {
        handle(query({question({"_https", "_tcp", "local"}, 12)}), now);
        EXPECT_FALSE(responder->sendDue(now));
    }
    EXPECT_EQ(responder->answerTime, due);
    ASSERT_TRUE(responder->sendDue(due));
    ASSERT_EQ(sent->batches.size(), 1u);
    auto r = records(sent->batches[0].messages[0]);
    EXPECT_EQ(std::vector<std::string>(r.begin(), r.begin() + 2),
              (std::vector<std::string>{"1 12 _http", "1 12 _https"}));
}

TEST_F(BonjourTest, KnownAnswerWithMoreThanHalfTheTtlSuppressesThePtr) {
    handle(query({question({"_http", "_tcp", "local"}, 12)}, 0, {knownPtr(3601)}), 1000);
    EXPECT_EQ(responder->services[0].pending & Bonjour::RecPtr, 0u);
    handle(query({question({"_http", "_tcp", "local"}, 12)}, 0, {knownPtr(3600)}), 1100);
    EXPECT_NE(responder->services[0].pending & Bonjour::RecPtr, 0u);
}

TEST_F(BonjourTest, LegacyQuestionGetsAUnicastReplyAndLimitsHold) {
    InetAddress asker = InetAddress::fromText("198.18.0.2");
    asker.setPort(40000);
    Bytes q = query({question({responder->hostLabel.c_str(), "local"}, 1)});
    responder->handleMessage(q.data(), q.size(), asker, -1, 1000);
    ASSERT_FALSE(sent->batches.empty());
    const auto &reply = sent->batches[0];
    EXPECT_EQ(reply.ttl, 64);
    EXPECT_EQ(reply.to.port(), 40000);
    EXPECT_EQ(reply.messages[0][0], 0x12);
    EXPECT_EQ(reply.messages[0][1], 0x34);
    EXPECT_EQ(reply.messages[0][2] & 0x84, 0x84);
    EXPECT_EQ(records(reply.messages[0])[0], "0 1 " + responder->hostLabel);

    // A truncated query waits for the rest; a message of 101 entries is ignored.
    sent->batches.clear();
    handle(query({question({responder->hostLabel.c_str(), "local"}, 1)}, 0x0200), 2000);
    EXPECT_TRUE(sent->batches.empty());
    Bytes many = query({question({responder->hostLabel.c_str(), "local"}, 1)});
    many[7] = 100;
    responder->services[0].pending = 0;
    handle(many, 3000);
    EXPECT_TRUE(sent->batches.empty());
    EXPECT_EQ(responder->services[0].pending, 0u);
}

} // namespace
