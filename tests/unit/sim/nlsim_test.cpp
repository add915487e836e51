// nlsim's model without sockets or devices: its configuration reader, its answers to
// broken requests, and its timers on a clock the test moves.
#include "sim/nlsim/sim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <linux/genetlink.h>
#include <linux/netlink.h>
#include <linux/nl80211.h>
#include <sstream>

namespace {

struct Harness {
    uint64_t now = 1000;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> sent;   // port, message
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> events; // group, message
    std::unique_ptr<nlsim::Sim> sim;

    explicit Harness(const std::string &conf = "") {
        nlsim::Links l;
        l.unicast = [this](uint32_t port, const std::vector<uint8_t> &m) { sent.emplace_back(port, m); };
        l.multicast = [this](uint32_t group, const std::vector<uint8_t> &m) {
            events.emplace_back(group, m);
        };
        l.create = [](const std::string &, const uint8_t *, bool, int &fd, uint32_t &ifindex) {
            fd = -1;
            ifindex = 7;
            return 0;
        };
        l.isUp = [](const std::string &) { return true; };
        l.nowMs = [this] { return now; };
        sim = std::make_unique<nlsim::Sim>(l);
        EXPECT_EQ(sim->configure(conf), "");
        EXPECT_EQ(sim->start(), "");
    }

    std::vector<uint8_t> request(uint8_t cmd, const std::vector<uint8_t> &attrs, uint16_t flags = NLM_F_ACK) {
        nlsim::Builder b(sim->familyId, NLM_F_REQUEST | flags, 42, 900);
        b.genl(cmd);
        b.raw(attrs.data(), attrs.size());
        return b.bytes();
    }

    // The errno of the last answer to port 900.
    int lastError() {
        for (auto it = sent.rbegin(); it != sent.rend(); ++it) {
            nlmsghdr h;
            std::memcpy(&h, it->second.data(), sizeof h);
            if (h.nlmsg_type == NLMSG_ERROR || h.nlmsg_type == NLMSG_DONE) {
                int32_t e;
                std::memcpy(&e, it->second.data() + sizeof h, 4);
                return e;
            }
        }
        return 1;
    }

    // Commands of the events so far that carry TIMED_OUT, and all event commands.
    std::vector<int> eventCommands(bool timedOutOnly = false) {
        std::vector<int> out;
        for (auto &[g, m] : events) {
            auto reqs = nlsim::parseDatagram(m.data(), m.size());
            if (reqs.empty()) continue;
            if (timedOutOnly && !reqs[0].attrs.has(NL80211_ATTR_TIMED_OUT)) continue;
            out.push_back(reqs[0].cmd);
        }
        return out;
    }

    void run(uint64_t ms) {
        uint64_t end = now + ms;
        while (now < end) {
            now += 10;
            sim->tick();
        }
    }
};

std::vector<uint8_t> u32(uint16_t type, uint32_t v) {
    nlsim::Builder b(0, 0, 0, 0);
    b.u32(type, v);
    auto bytes = b.bytes();
    return std::vector<uint8_t>(bytes.begin() + NLMSG_HDRLEN, bytes.end());
}

std::vector<uint8_t> put(uint16_t type, const void *p, size_t n) {
    nlsim::Builder b(0, 0, 0, 0);
    b.put(type, p, n);
    auto bytes = b.bytes();
    return std::vector<uint8_t>(bytes.begin() + NLMSG_HDRLEN, bytes.end());
}

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(NlsimConf, RefusesBadLinesByNumber) {
    struct Case {
        const char *text;
        const char *why;
    } cases[] = {
        {"radio phy0\nband 3g 1-13\n", "line 2"},
        {"radio phy0\nband 2g 13-1\n", "line 2: bad channel range"},
        {"radio phy0\naddress 02:00:00:00:01\n", "line 2: address MAC"},
        {"radio phy0\ncommands authenticate fly\n", "unknown command fly"},
        {"radio phy0\niftypes station blimp\n", "unknown interface type blimp"},
        {"reg DE 2400-2300@40:20\n", "line 1: bad rule"},
        {"country ZZ\n", "country ZZ has no reg line"},
        {"radio a\nradio a\n", "two radios share a name"},
        {"frobnicate\n", "line 1: unknown keyword frobnicate"},
        {"radio phy0\nsplit 2\n", "split 0|1"},
        {"radio phy0\nmax-scan-ssids 300\n", "max-scan-ssids N"},
        {"radio phy0\nsched-scan 4 2 2 300\n", "line 2: sched-scan SSIDS"},
        {"radio phy0\nsched-scan 0 2 2 300 5\n", "line 2: sched-scan SSIDS"},
        {"radio phy0\nnoise 5\n", "line 2: noise DBM"},
        {"radio phy0\nnoise -90 6-1\n", "line 2: bad channel range 6-1"},
    };
    for (const auto &c : cases) {
        nlsim::Sim sim{nlsim::Links{}};
        std::string why = sim.configure(c.text);
        EXPECT_NE(why.find(c.why), std::string::npos) << c.text << " -> " << why;
    }
}

TEST(NlsimConf, EveryRadioFixtureReads) {
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator(QMR_FIXTURES "/radios")) {
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        nlsim::Sim sim{nlsim::Links{}};
        EXPECT_EQ(sim.configure(text.str()), "") << entry.path();
        count++;
    }
    EXPECT_GT(count, 0);
}

TEST(NlsimConf, DefaultRadioHasBothBandsAndRadarOn52To144) {
    nlsim::Sim sim{nlsim::Links{}};
    ASSERT_EQ(sim.configure(""), "");
    ASSERT_EQ(sim.radios.size(), 1u);
    const auto &r = sim.radios[0];
    EXPECT_EQ(r.name, "phy0");
    EXPECT_EQ(r.netdev, "wlan0");
    ASSERT_EQ(r.bands.size(), 2u);
    EXPECT_EQ(r.bands[0].channels.size(), 13u);
    EXPECT_EQ(r.bands[1].channels.front().freq, 5180u);
    EXPECT_EQ(r.bands[1].channels.back().freq, 5825u);
    for (const auto &ch : r.bands[1].channels)
        EXPECT_EQ(ch.radar, ch.freq >= 5260 && ch.freq <= 5720) << ch.freq;
    EXPECT_EQ(r.features & NL80211_FEATURE_SK_TX_STATUS, 0u);
}

TEST(NlsimModel, BrokenRequestsGetAnErrorEchoingThem) {
    Harness h;
    // An attribute whose length runs past the message.
    auto m = h.request(NL80211_CMD_GET_INTERFACE, {0x40, 0x00, 0x03, 0x00, 7, 0, 0, 0});
    h.sim->receive(900, m.data(), m.size());
    EXPECT_EQ(h.lastError(), -EINVAL);
    ASSERT_FALSE(h.sent.empty());
    EXPECT_EQ(h.sent.back().second.size(), NLMSG_HDRLEN + 4 + m.size()); // the whole request comes back
    // A message shorter than its generic header.
    nlsim::Builder tiny(h.sim->familyId, NLM_F_REQUEST | NLM_F_ACK, 1, 900);
    auto t = tiny.bytes();
    h.sim->receive(900, t.data(), t.size());
    EXPECT_EQ(h.lastError(), -EINVAL);
    // A length field beyond the datagram: nothing can be framed, nothing is answered.
    size_t before = h.sent.size();
    std::vector<uint8_t> bad = {0xff, 0xff, 0, 0, 0x30, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    h.sim->receive(900, bad.data(), bad.size());
    EXPECT_EQ(h.sent.size(), before);
    // Messages that are no requests are not answered either.
    auto notRequest = h.request(NL80211_CMD_GET_REG, {});
    notRequest[6] &= static_cast<uint8_t>(~NLM_F_REQUEST);
    h.sim->receive(900, notRequest.data(), notRequest.size());
    EXPECT_EQ(h.sent.size(), before);
}

TEST(NlsimModel, SilentApTimesOutAfterThreeTriesAndLossNeedsTwoSeconds) {
    Harness h;
    ASSERT_EQ(h.sim->control("ap add lab bssid=02:00:00:00:aa:01 ssid=lab freq=2412"), "OK\n");
    auto scan = h.request(NL80211_CMD_TRIGGER_SCAN, u32(NL80211_ATTR_IFINDEX, 7));
    h.sim->receive(900, scan.data(), scan.size());
    h.run(1000);
    ASSERT_EQ(h.sim->ifaces[0].bss.size(), 1u);
    ASSERT_EQ(h.sim->control("ap set lab silent=1"), "OK\n");
    uint8_t bssid[6] = {2, 0, 0, 0, 0xaa, 1};
    auto auth = h.request(NL80211_CMD_AUTHENTICATE,
                          cat({u32(NL80211_ATTR_IFINDEX, 7), put(NL80211_ATTR_MAC, bssid, 6),
                               u32(NL80211_ATTR_WIPHY_FREQ, 2412), put(NL80211_ATTR_SSID, "lab", 3),
                               u32(NL80211_ATTR_AUTH_TYPE, 0)}));
    h.sim->receive(900, auth.data(), auth.size());
    EXPECT_EQ(h.lastError(), 0);
    h.run(500); // the first try and two retries
    EXPECT_TRUE(h.eventCommands(true).empty());
    h.run(1000);
    EXPECT_EQ(h.eventCommands(true), std::vector<int>{NL80211_CMD_AUTHENTICATE});

    // Associated, then the AP goes: nothing at 1.9 s, a local deauthentication by 2.1 s.
    ASSERT_EQ(h.sim->control("ap set lab silent=0"), "OK\n");
    h.sim->receive(900, auth.data(), auth.size());
    h.run(100);
    auto assoc = h.request(NL80211_CMD_ASSOCIATE,
                           cat({u32(NL80211_ATTR_IFINDEX, 7), put(NL80211_ATTR_MAC, bssid, 6),
                                u32(NL80211_ATTR_WIPHY_FREQ, 2412), put(NL80211_ATTR_SSID, "lab", 3)}));
    h.sim->receive(900, assoc.data(), assoc.size());
    h.run(100);
    ASSERT_EQ(h.sim->ifaces[0].link, nlsim::Link::Associated);
    ASSERT_EQ(h.sim->control("ap del lab"), "OK\n");
    h.events.clear();
    h.run(1900);
    EXPECT_EQ(h.sim->ifaces[0].link, nlsim::Link::Associated);
    h.run(200);
    EXPECT_EQ(h.sim->ifaces[0].link, nlsim::Link::Idle);
    EXPECT_EQ(h.eventCommands(), (std::vector<int>{NL80211_CMD_DEAUTHENTICATE, NL80211_CMD_DISCONNECT}));
}

} // namespace
