// The nl80211 back end against a stand-in kernel behind its socket seam: start-up and
// capabilities per radio variant, hardware modes, the status text, interface-type
// changes, scans and results, authentication and association, keys, kernel events,
// link monitoring and monitor frames.
#include "nl80211_fake.h"
#include "wireless/common/ieee802_11_common.h"
#include "wireless/core/eloop.h"
#include "wireless/drivers/driver_nl80211.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <linux/rtnetlink.h>
#include <netlink/attr.h>
#include <netlink/genl/genl.h>
#include <netlink/msg.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

using namespace nlfake;

namespace {

const uint8_t ap1[6] = {0x02, 0xaa, 0x00, 0x00, 0x00, 0x01};
const uint8_t ap2[6] = {0x02, 0xaa, 0x00, 0x00, 0x00, 0x02};
const uint8_t own[6] = {0x02, 0x00, 0x00, 0x00, 0x01, 0x00};
const uint8_t bcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

const wpa_driver_ops &ops() {
    return wpa_driver_nl80211_ops;
}

class Nl80211 : public ::testing::Test {
protected:
    Kernel k;
    void *global = nullptr;
    void *priv = nullptr;
    int token = 0;

    void SetUp() override {
        eloop_init();
        k.install();
        observe();
    }
    void TearDown() override {
        if (priv) ops().deinit(priv);
        if (global) ops().global_deinit(global);
        supplicant_event_set_observer(nullptr);
        eloop_destroy();
    }
    bool start() {
        global = ops().global_init(&token);
        if (global == nullptr) return false;
        priv = ops().init2(&token, "wlan0", global);
        return priv != nullptr;
    }
    nl80211_iface *bss() { return static_cast<nl80211_iface *>(priv); }
    nl80211_drv *drv() { return bss()->drv; }
    void event(const std::vector<uint8_t> &bytes) {
        std::vector<uint8_t> buf = bytes;
        nl80211_receive_buffer(buf.data(), buf.size(), nl80211_process_global_event, global);
    }
    void frame_event(uint8_t cmd, const std::vector<uint8_t> &frame) {
        Reply r(cmd);
        r.u32(NL80211_ATTR_IFINDEX, 7).data(NL80211_ATTR_FRAME, frame);
        event(r.bytes());
    }
    // The authenticate → associate road on an open AP, answered by the AP's frames.
    void associate_open(const uint8_t *bssid) {
        wpa_driver_auth_params auth{};
        auth.freq = 2412;
        auth.bssid = bssid;
        auth.ssid = reinterpret_cast<const uint8_t *>("lab");
        auth.ssid_len = 3;
        auth.auth_alg = WPA_AUTH_ALG_OPEN;
        ASSERT_EQ(ops().authenticate(priv, &auth), 0);
        frame_event(NL80211_CMD_AUTHENTICATE, mgmt_frame(0xb, own, bssid, bssid, {0, 0, 2, 0, 0, 0}));
        wpa_driver_associate_params assoc{};
        assoc.bssid = bssid;
        assoc.ssid = reinterpret_cast<const uint8_t *>("lab");
        assoc.ssid_len = 3;
        assoc.freq.freq = 2412;
        assoc.bg_scan_period = -1;
        assoc.pairwise_suite = WPA_CIPHER_NONE;
        assoc.group_suite = WPA_CIPHER_NONE;
        assoc.key_mgmt_suite = WPA_KEY_MGMT_NONE;
        assoc.auth_alg = WPA_AUTH_ALG_OPEN;
        ASSERT_EQ(ops().associate(priv, &assoc), 0);
        frame_event(NL80211_CMD_ASSOCIATE,
                    mgmt_frame(0x1, own, bssid, bssid, {0x01, 0x04, 0, 0, 0x01, 0xc0, 0x01, 0x01, 0x82}));
    }
};

// ---- Start-up and capabilities ------------------------------------------------------------

TEST_F(Nl80211, GlobalInitNeedsTheFamilyAndItsScanAndMlmeGroups) {
    struct Case {
        const char *name;
        void (*change)(Radio &);
        bool ok;
    } cases[] = {
        {"complete", [](Radio &) {}, true},
        {"no regulatory group", [](Radio &r) { r.regulatory_group = false; }, true},
        {"no scan group", [](Radio &r) { r.scan_group = false; }, false},
        {"no mlme group", [](Radio &r) { r.mlme_group = false; }, false},
        {"no family", [](Radio &r) { r.family = false; }, false},
    };
    for (const Case &c : cases) {
        k.radio = default_radio();
        c.change(k.radio);
        void *g = ops().global_init(&token);
        EXPECT_EQ(g != nullptr, c.ok) << c.name;
        if (g) {
            auto *gl = static_cast<nl80211_global *>(g);
            EXPECT_EQ(gl->nl80211_id, FamilyId);
            std::vector<int> groups = k.joined[gl->nl_event];
            EXPECT_NE(std::find(groups.begin(), groups.end(), GroupScan), groups.end()) << c.name;
            EXPECT_NE(std::find(groups.begin(), groups.end(), GroupMlme), groups.end()) << c.name;
            ops().global_deinit(g);
        }
    }
}

TEST_F(Nl80211, CapabilityFlagsFollowTheRadiosCommands) {
    struct Case {
        const char *name;
        bool auth, connect, split;
        bool starts;
        bool sme;
    } cases[] = {
        {"authenticate and connect, split dump", true, true, true, true, true},
        {"authenticate and connect, whole dump", true, true, false, true, true},
        {"connect only", false, true, true, true, false},
        {"neither", false, false, true, false, false},
    };
    for (const Case &c : cases) {
        k.radio = default_radio();
        k.radio.auth = c.auth;
        k.radio.connect = c.connect;
        k.radio.split = c.split;
        k.sent.clear();
        global = ops().global_init(&token);
        ASSERT_NE(global, nullptr);
        priv = ops().init2(&token, "wlan0", global);
        EXPECT_EQ(priv != nullptr, c.starts) << c.name;
        if (priv) {
            wpa_driver_capa capa{};
            ASSERT_EQ(ops().get_capa(priv, &capa), 0);
            EXPECT_EQ((capa.flags & WPA_DRIVER_FLAGS_SME) != 0, c.sme) << c.name;
            EXPECT_EQ(capa.key_mgmt, 0x36Fu);    // with the FT bits of the accepted FT subscription
            EXPECT_EQ(capa.enc, 0xFu) << c.name; // WEP-40, WEP-104, TKIP, CCMP
            EXPECT_EQ(capa.max_scan_ssids, 4);
            EXPECT_EQ(capa.max_remain_on_chan, 5000u);
            EXPECT_STREQ(ops().get_radio_name(priv), "phy0");
            const Sent *wiphy = k.last(NL80211_CMD_GET_WIPHY);
            ASSERT_NE(wiphy, nullptr);
            EXPECT_EQ((wiphy->flags & NLM_F_DUMP) == NLM_F_DUMP, c.split) << c.name;
            EXPECT_TRUE(wiphy->has(NL80211_ATTR_SPLIT_WIPHY_DUMP));
            ops().deinit(priv);
            priv = nullptr;
        }
        ops().global_deinit(global);
        global = nullptr;
    }
}

TEST_F(Nl80211, StartBringsTheInterfaceUpDormantAsStationAndLeavesItAsFound) {
    ASSERT_TRUE(start());
    EXPECT_TRUE(k.up["wlan0"]);
    EXPECT_EQ(drv()->nlmode, NL80211_IFTYPE_STATION);
    ASSERT_FALSE(k.opers.empty());
    EXPECT_EQ(k.opers.back(), std::make_pair(1, 5)); // dormant
    // Station subscriptions go to the interface's own socket, in order, GAS first.
    auto regs = k.of(NL80211_CMD_REGISTER_FRAME);
    ASSERT_GE(regs.size(), 17u);
    EXPECT_EQ(regs[0]->u16(NL80211_ATTR_FRAME_TYPE), 0x00d0);
    EXPECT_EQ(*regs[0]->attr(NL80211_ATTR_FRAME_MATCH), (std::vector<uint8_t>{0x04, 0x0a}));
    EXPECT_EQ(regs[0]->fd, bss()->nl_mgmt);
    EXPECT_NE(bss()->nl_mgmt, static_cast<nl80211_global *>(global)->nl);
    // Operational state follows the supplicant.
    EXPECT_EQ(ops().set_operstate(priv, 1), 0);
    EXPECT_EQ(k.opers.back(), std::make_pair(-1, 6));
    ops().deinit(priv);
    priv = nullptr;
    EXPECT_FALSE(k.up["wlan0"]); // it was down at start
    EXPECT_EQ(k.opers.back(), std::make_pair(0, 6));
}

TEST_F(Nl80211, AnInterfaceUpAtStartStaysUp) {
    k.up["wlan0"] = true;
    ASSERT_TRUE(start());
    ops().deinit(priv);
    priv = nullptr;
    EXPECT_TRUE(k.up["wlan0"]);
}

TEST_F(Nl80211, ExtendedCapabilitiesAndMaskShareTheShorterLength) {
    k.radio.ext_capa = {0x04, 0x00, 0x08, 0x01};
    k.radio.ext_capa_mask = {0xff, 0xff};
    ASSERT_TRUE(start());
    wpa_driver_capa capa{};
    ASSERT_EQ(ops().get_capa(priv, &capa), 0);
    EXPECT_EQ(capa.extended_capa_len, 2u);
    const uint8_t *c, *m;
    unsigned int len;
    ASSERT_EQ(ops().get_ext_capab(priv, NL80211_IFTYPE_STATION, &c, &m, &len), 0);
    EXPECT_EQ(len, 2u);
    EXPECT_EQ(c[0], 0x04);
    EXPECT_EQ(ops().get_ext_capab(priv, NL80211_IFTYPE_STATION, nullptr, &m, &len), -1);
}

TEST_F(Nl80211, AccessPointStartSubscribesAsApAndReturnsToStationAtTheEnd) {
    if (geteuid() != 0) GTEST_SKIP() << "the EAPOL packet socket needs root";
    k.radio.device_ap_sme = true;
    global = ops().global_init(&token);
    ASSERT_NE(global, nullptr);
    uint8_t own_addr[6] = {};
    wpa_init_params params{};
    params.global_priv = global;
    params.ifname = "wlan0";
    params.own_addr = own_addr;
    void *ap = ops().ap_init(&token, &params);
    ASSERT_NE(ap, nullptr);
    EXPECT_EQ(memcmp(own_addr, own, 6), 0);
    auto *b = static_cast<nl80211_iface *>(ap);
    EXPECT_EQ(b->drv->nlmode, NL80211_IFTYPE_AP);
    EXPECT_TRUE(k.opers.empty()); // an access point is not dormant
    // With the kernel's AP SME: the AP action frames, and probe requests on their own socket.
    auto regs = k.of(NL80211_CMD_REGISTER_FRAME);
    ASSERT_FALSE(regs.empty());
    EXPECT_EQ(*regs[0]->attr(NL80211_ATTR_FRAME_MATCH), std::vector<uint8_t>{0x04});
    EXPECT_EQ(regs.back()->u16(NL80211_ATTR_FRAME_TYPE), 0x0040);
    EXPECT_EQ(regs.back()->fd, b->nl_preq);
    k.clear();
    ops().ap_deinit(ap);
    EXPECT_EQ(k.last(NL80211_CMD_SET_INTERFACE)->u32(NL80211_ATTR_IFTYPE),
              static_cast<uint32_t>(NL80211_IFTYPE_STATION));
}

void stop_loop(void *, void *) {
    eloop_terminate();
}

TEST_F(Nl80211, AccessPointWithoutKernelSmeHearsManagementFramesAndBeacons) {
    if (geteuid() != 0) GTEST_SKIP() << "the EAPOL packet socket needs root";
    k.radio.probe_client_tx_status = true; // no monitor interface needed
    global = ops().global_init(&token);
    ASSERT_NE(global, nullptr);
    uint8_t own_addr[6] = {};
    wpa_init_params params{};
    params.global_priv = global;
    params.ifname = "wlan0";
    params.own_addr = own_addr;
    void *ap = ops().ap_init(&token, &params);
    ASSERT_NE(ap, nullptr);
    auto regs = k.of(NL80211_CMD_REGISTER_FRAME);
    ASSERT_GE(regs.size(), 14u);
    EXPECT_EQ(regs[0]->u16(NL80211_ATTR_FRAME_TYPE), 0x00b0);
    EXPECT_EQ(k.count(NL80211_CMD_UNEXPECTED_FRAME), 1u);
    const Sent *beacons = k.last(NL80211_CMD_REGISTER_BEACONS);
    ASSERT_NE(beacons, nullptr);
    EXPECT_EQ(beacons->u32(NL80211_ATTR_WIPHY), 0u);

    // A beacon on the wiphy's socket reaches the interface as a received frame.
    Reply b(NL80211_CMD_FRAME);
    b.u32(NL80211_ATTR_WIPHY_FREQ, 2412)
        .data(NL80211_ATTR_FRAME, mgmt_frame(0x8, bcast, ap2, ap2, {1, 2, 3}));
    k.push(beacons->fd, b.bytes());
    eloop_register_timeout(0, 200000, stop_loop, nullptr, nullptr);
    eloop_run();
    auto rx = of_type(EVENT_RX_MGMT);
    ASSERT_EQ(rx.size(), 1u);
    EXPECT_EQ(rx[0].data.rx_mgmt.drv_priv, ap);
    EXPECT_EQ(rx[0].data.rx_mgmt.freq, 2412);
    ops().ap_deinit(ap);
}

// ---- Hardware modes -----------------------------------------------------------------------

const hw_mode_info *find_mode(const hw_mode_info *modes, uint16_t n, int mode) {
    for (uint16_t i = 0; i < n; i++)
        if (modes[i].mode == mode) return &modes[i];
    return nullptr;
}

const hw_channel_info *find_chan(const hw_mode_info *m, int freq) {
    for (int i = 0; m && i < m->num_channels; i++)
        if (m->channels[i].freq == freq) return &m->channels[i];
    return nullptr;
}

TEST_F(Nl80211, HardwareModesSplitAndWholeAgree) {
    for (bool split : {true, false}) {
        k.radio = default_radio();
        k.radio.split = split;
        k.radio.rules = {{2400000, 2483500, 40000, 2000}, {5170000, 5250000, 80000, 2300}};
        ASSERT_TRUE(start());
        uint16_t num = 0, flags = 1;
        hw_mode_info *modes = ops().get_hw_feature_data(priv, &num, &flags);
        ASSERT_NE(modes, nullptr);
        EXPECT_EQ(flags, 0);
        ASSERT_EQ(num, 3) << split; // 11g, 11a, the added 11b
        const hw_mode_info *g = find_mode(modes, num, HW_MODE_IEEE80211G);
        const hw_mode_info *a = find_mode(modes, num, HW_MODE_IEEE80211A);
        const hw_mode_info *b = find_mode(modes, num, HW_MODE_IEEE80211B);
        ASSERT_TRUE(g && a && b);
        EXPECT_EQ(g->num_channels, 13);
        EXPECT_EQ(g->channels[5].chan, 6);
        EXPECT_EQ(a->num_channels, 25);
        // 802.11b: the 802.11g channels with its four CCK rates.
        EXPECT_EQ(b->num_channels, 13);
        ASSERT_EQ(b->num_rates, 4);
        EXPECT_EQ(b->rates[3], 110);
        // DFS: radar channels carry their flag, state and CAC time.
        const hw_channel_info *c52 = find_chan(a, 5260);
        ASSERT_NE(c52, nullptr);
        EXPECT_EQ(c52->flag & 0x8, 0x8);
        EXPECT_EQ(c52->flag & 0x300, 0x100);
        EXPECT_EQ(c52->dfs_cac_ms, 60000u);
        EXPECT_EQ(find_chan(a, 5180)->flag & 0x8, 0);
        // A rule 5170-5250 MHz of 80 MHz: channel 36 at position 1, 48 at position 4.
        EXPECT_EQ(find_chan(a, 5180)->flag & 0x7800, 0x800);
        EXPECT_EQ(find_chan(a, 5240)->flag & 0x7800, 0x4000);
        EXPECT_EQ(find_chan(a, 5180)->max_tx_power, 23);
        // HT40 where both 20-MHz halves lie in the rule.
        EXPECT_EQ(find_chan(a, 5180)->flag & 0x70, 0x50); // HT40 and HT40+
        EXPECT_EQ(find_chan(a, 5200)->flag & 0x70, 0x70); // both neighbours inside
        EXPECT_EQ(find_chan(a, 5240)->flag & 0x70, 0x60); // HT40 and HT40-
        nl80211_free_hw_features(modes, num);
        ops().deinit(priv);
        priv = nullptr;
        ops().global_deinit(global);
        global = nullptr;
    }
}

TEST_F(Nl80211, ModesFromRatesAndEmptyBands) {
    // A 2.4 GHz band of 11 Mbit/s at most is 802.11b and gets no copy; a band without
    // channels makes no mode.
    k.radio.bands = {{NL80211_BAND_2GHZ, 0, 0, {{2412}, {2417}}, {10, 20, 55, 110}},
                     {NL80211_BAND_5GHZ, 0, 0, {}, {60}}};
    ASSERT_TRUE(start());
    uint16_t num = 0, flags = 0;
    hw_mode_info *modes = ops().get_hw_feature_data(priv, &num, &flags);
    ASSERT_NE(modes, nullptr);
    ASSERT_EQ(num, 1);
    EXPECT_EQ(modes[0].mode, HW_MODE_IEEE80211B);
    EXPECT_EQ(modes[0].num_channels, 2);
    nl80211_free_hw_features(modes, num);
}

// ---- Status -------------------------------------------------------------------------------

TEST_F(Nl80211, StatusListsInterfaceRadioAndCapabilities) {
    ASSERT_TRUE(start());
    char buf[4096];
    int n = ops().status(priv, buf, sizeof(buf));
    ASSERT_GT(n, 0);
    std::string s(buf, static_cast<size_t>(n));
    EXPECT_EQ(s.rfind("ifindex=7\nifname=wlan0\nbrname=\naddr=02:00:00:00:01:00\nfreq=0\n", 0), 0u) << s;
    EXPECT_NE(s.find("phyname=phy0\nperm_addr=02:00:00:00:01:00\ndrv_ifindex=7\n"), std::string::npos);
    EXPECT_NE(s.find("scan_state=NO_SCAN\n"), std::string::npos);
    EXPECT_NE(s.find("in_interface_list=1\n"), std::string::npos);
    EXPECT_NE(s.find("capa.key_mgmt=0x36f\ncapa.enc=0xf\ncapa.auth=0x7\n"), std::string::npos);
    EXPECT_NE(s.find("capa.max_scan_ssids=4\n"), std::string::npos);
    EXPECT_NE(s.find("capa.max_sched_scan_plan_iterations=0\n"), std::string::npos);
    EXPECT_EQ(static_cast<size_t>(n), strlen(buf));

    // A buffer too small for the capability section ends before it.
    size_t capa_at = s.find("capa.");
    char small[4096];
    int m = ops().status(priv, small, capa_at + 20);
    EXPECT_EQ(static_cast<size_t>(m), capa_at);
    EXPECT_EQ(std::string(small, static_cast<size_t>(m)), s.substr(0, capa_at));
    EXPECT_EQ(ops().status(priv, small, 10), 0);
}

// ---- Interface types ----------------------------------------------------------------------

TEST_F(Nl80211, BusyTypeChangeTriesTenTimesThenLeavesTheInterfaceUp) {
    ASSERT_TRUE(start());
    // The first answer and ten retries: busy.
    k.errors[NL80211_CMD_SET_INTERFACE] = std::deque<int>(11, -EBUSY);
    k.sleeps = 0;
    k.clear();
    EXPECT_EQ(nl80211_set_mode(bss(), NL80211_IFTYPE_ADHOC), -1);
    EXPECT_EQ(k.sleeps, 10);
    EXPECT_EQ(k.count(NL80211_CMD_SET_INTERFACE), 11u);
    EXPECT_TRUE(k.up["wlan0"]);
    EXPECT_EQ(drv()->nlmode, NL80211_IFTYPE_STATION);

    // Busy three times, then accepted: the type changes and the down event that follows
    // our own change is to be ignored.
    k.errors[NL80211_CMD_SET_INTERFACE] = std::deque<int>(4, -EBUSY);
    k.sleeps = 0;
    EXPECT_EQ(nl80211_set_mode(bss(), NL80211_IFTYPE_ADHOC), 0);
    EXPECT_EQ(k.sleeps, 3);
    EXPECT_EQ(drv()->nlmode, NL80211_IFTYPE_ADHOC);
    EXPECT_TRUE(drv()->ignore_if_down_event);
    EXPECT_TRUE(k.up["wlan0"]);
}

// ---- Scans --------------------------------------------------------------------------------

TEST_F(Nl80211, ScanRequestCarriesSsidsFrequenciesAndFlags) {
    ASSERT_TRUE(start());
    k.clear();
    wpa_driver_scan_params p{};
    ASSERT_EQ(ops().scan(priv, &p), 0);
    const Sent *t = k.last(NL80211_CMD_TRIGGER_SCAN);
    ASSERT_NE(t, nullptr);
    EXPECT_FALSE(t->has(NL80211_ATTR_SCAN_SSIDS));
    EXPECT_FALSE(t->has(NL80211_ATTR_SCAN_FREQUENCIES));
    EXPECT_FALSE(t->has(NL80211_ATTR_SCAN_FLAGS));
    EXPECT_EQ(drv()->scan_state, SCAN_REQUESTED);

    int freqs[] = {2412, 5180, 0};
    p.num_ssids = 2;
    p.ssids[0] = {reinterpret_cast<const uint8_t *>("lab"), 3};
    p.ssids[1] = {nullptr, 0};
    p.freqs = freqs;
    p.only_new_results = 1;
    p.filter_ssids = static_cast<wpa_driver_scan_filter *>(calloc(1, sizeof(wpa_driver_scan_filter)));
    p.num_filter_ssids = 1;
    memcpy(p.filter_ssids[0].ssid, "lab", 3);
    p.filter_ssids[0].ssid_len = 3;
    ASSERT_EQ(ops().scan(priv, &p), 0);
    EXPECT_EQ(p.filter_ssids, nullptr); // the radio owns them now
    t = k.last(NL80211_CMD_TRIGGER_SCAN);
    // The SSIDs nest: "lab" as attribute 1, the wildcard as an empty attribute 2.
    const auto *ssids = t->attr(NL80211_ATTR_SCAN_SSIDS);
    ASSERT_NE(ssids, nullptr);
    ASSERT_EQ(ssids->size(), 8u + 4u);
    EXPECT_EQ((*ssids)[0], 7);
    EXPECT_EQ((*ssids)[2], 1);
    EXPECT_EQ(memcmp(ssids->data() + 4, "lab", 3), 0);
    EXPECT_EQ((*ssids)[10], 2);
    const auto *fr = t->attr(NL80211_ATTR_SCAN_FREQUENCIES);
    ASSERT_NE(fr, nullptr);
    ASSERT_EQ(fr->size(), 16u);
    uint32_t f2;
    memcpy(&f2, fr->data() + 12, 4);
    EXPECT_EQ(f2, 5180u);
    EXPECT_EQ(t->u32(NL80211_ATTR_SCAN_FLAGS), static_cast<uint32_t>(NL80211_SCAN_FLAG_FLUSH));
}

TEST_F(Nl80211, ScanEventsReportStartAndResults) {
    ASSERT_TRUE(start());
    wpa_driver_scan_params p{};
    ASSERT_EQ(ops().scan(priv, &p), 0);
    event(Reply(NL80211_CMD_TRIGGER_SCAN).u32(NL80211_ATTR_IFINDEX, 7).bytes());
    EXPECT_EQ(drv()->scan_state, SCAN_STARTED);
    ASSERT_EQ(of_type(EVENT_SCAN_STARTED).size(), 1u);
    EXPECT_FALSE(of_type(EVENT_SCAN_STARTED)[0].has_data);

    Reply done(NL80211_CMD_NEW_SCAN_RESULTS);
    done.u32(NL80211_ATTR_IFINDEX, 7);
    nlattr *ss = nla_nest_start(done.msg, NL80211_ATTR_SCAN_SSIDS);
    nla_put(done.msg, 1, 3, "lab");
    nla_nest_end(done.msg, ss);
    nlattr *fs = nla_nest_start(done.msg, NL80211_ATTR_SCAN_FREQUENCIES);
    nla_put_u32(done.msg, 1, 2412);
    nla_put_u32(done.msg, 2, 2437);
    nla_nest_end(done.msg, fs);
    event(done.bytes());
    auto res = of_type(EVENT_SCAN_RESULTS);
    ASSERT_EQ(res.size(), 1u);
    EXPECT_EQ(res[0].data.scan_info.aborted, 0);
    EXPECT_EQ(res[0].data.scan_info.external_scan, 0);
    EXPECT_EQ(res[0].data.scan_info.nl_scan_event, 1);
    EXPECT_EQ(res[0].ssids, (std::vector<std::vector<uint8_t>>{{'l', 'a', 'b'}}));
    EXPECT_EQ(res[0].freqs, (std::vector<int>{2412, 2437}));
    EXPECT_EQ(drv()->scan_state, SCAN_COMPLETED);
    EXPECT_FALSE(eloop_is_timeout_registered(nl80211_scan_timeout, drv(), &token));

    // Another program's scan: external; an event for another interface: dropped.
    event(Reply(NL80211_CMD_NEW_SCAN_RESULTS).u32(NL80211_ATTR_IFINDEX, 7).bytes());
    event(Reply(NL80211_CMD_NEW_SCAN_RESULTS).u32(NL80211_ATTR_IFINDEX, 99).bytes());
    res = of_type(EVENT_SCAN_RESULTS);
    ASSERT_EQ(res.size(), 2u);
    EXPECT_EQ(res[1].data.scan_info.external_scan, 1);
    event(Reply(NL80211_CMD_SCAN_ABORTED).u32(NL80211_ATTR_IFINDEX, 7).bytes());
    EXPECT_EQ(of_type(EVENT_SCAN_RESULTS).back().data.scan_info.aborted, 1);
}

TEST_F(Nl80211, ScanTimeoutIsTenSecondsUntilTheKernelHasReportedOnce) {
    ASSERT_TRUE(start());
    wpa_driver_scan_params p{};
    ASSERT_EQ(ops().scan(priv, &p), 0);
    os_time left{};
    ASSERT_EQ(eloop_cancel_timeout_one(nl80211_scan_timeout, drv(), &token, &left), 1);
    EXPECT_GT(left.sec, 5);
    EXPECT_LE(left.sec, 10);

    event(Reply(NL80211_CMD_NEW_SCAN_RESULTS).u32(NL80211_ATTR_IFINDEX, 7).bytes());
    ASSERT_EQ(ops().scan(priv, &p), 0);
    ASSERT_EQ(eloop_cancel_timeout_one(nl80211_scan_timeout, drv(), &token, &left), 1);
    EXPECT_GT(left.sec, 10);
    EXPECT_LE(left.sec, 30);

    // When it fires: an abort; refused, the scan ends with an empty report.
    events().clear();
    k.clear();
    nl80211_scan_timeout(drv(), &token);
    EXPECT_EQ(k.count(NL80211_CMD_ABORT_SCAN), 1u);
    EXPECT_TRUE(of_type(EVENT_SCAN_RESULTS).empty());
    k.errors[NL80211_CMD_ABORT_SCAN] = {-ENOENT};
    nl80211_scan_timeout(drv(), &token);
    auto res = of_type(EVENT_SCAN_RESULTS);
    ASSERT_EQ(res.size(), 1u);
    EXPECT_FALSE(res[0].has_data);
}

TEST_F(Nl80211, ScheduledScanPlansWithinTheRadiosLimits) {
    k.radio.sched_plans = 2;
    k.radio.sched_interval = 100;
    k.radio.sched_iterations = 5;
    k.radio.max_match_sets = 2;
    ASSERT_TRUE(start());
    struct Case {
        std::vector<sched_scan_plan> plans;
        bool ok;
    } cases[] = {
        {{}, false},
        {{{10, 0}}, true},
        {{{10, 3}, {20, 0}}, true},
        {{{10, 3}}, false},                   // the last plan must run forever
        {{{10, 0}, {20, 0}}, false},          // only the last may
        {{{0, 0}}, false},                    // no interval
        {{{101, 0}}, false},                  // above the radio's interval
        {{{10, 6}, {20, 0}}, false},          // above its iterations
        {{{10, 1}, {10, 1}, {10, 0}}, false}, // more plans than it takes
    };
    for (const Case &c : cases) {
        k.clear();
        wpa_driver_scan_params p{};
        p.sched_scan_plans = c.plans.data();
        p.sched_scan_plans_num = c.plans.size();
        EXPECT_EQ(ops().sched_scan(priv, &p), c.ok ? 0 : -1) << c.plans.size();
        EXPECT_EQ(k.count(NL80211_CMD_START_SCHED_SCAN), c.ok ? 1u : 0u);
        if (c.ok) {
            const auto *plans = k.last(NL80211_CMD_START_SCHED_SCAN)->attr(NL80211_ATTR_SCHED_SCAN_PLANS);
            ASSERT_NE(plans, nullptr);
            // Each plan a nest: an interval, and iterations unless it runs forever.
            size_t want = 0;
            for (const sched_scan_plan &pl : c.plans)
                want += 4 + 8 + (pl.iterations ? 8 : 0);
            EXPECT_EQ(plans->size(), want);
        }
    }

    // Match sets: the filter SSIDs with the threshold, and the threshold on its own.
    wpa_driver_scan_params p{};
    sched_scan_plan plan{30, 0};
    p.sched_scan_plans = &plan;
    p.sched_scan_plans_num = 1;
    p.filter_rssi = -70;
    p.filter_ssids = static_cast<wpa_driver_scan_filter *>(calloc(1, sizeof(wpa_driver_scan_filter)));
    memcpy(p.filter_ssids[0].ssid, "lab", 3);
    p.filter_ssids[0].ssid_len = 3;
    p.num_filter_ssids = 1;
    ASSERT_EQ(ops().sched_scan(priv, &p), 0);
    const auto *match = k.last(NL80211_CMD_START_SCHED_SCAN)->attr(NL80211_ATTR_SCHED_SCAN_MATCH);
    ASSERT_NE(match, nullptr);
    // Set 1: SSID (4 + 3, padded to 8) and RSSI (8); set 0: RSSI only.
    ASSERT_EQ(match->size(), (4u + 8u + 8u) + (4u + 8u));
    EXPECT_EQ((*match)[2], 1);
    EXPECT_EQ((*match)[22], 0);
}

std::vector<uint8_t> bss_msg(const uint8_t *bssid, uint32_t freq, int mbm, const std::vector<uint8_t> &ies,
                             const std::vector<uint8_t> &beacon_ies, uint32_t age, int status = -1) {
    Reply r(NL80211_CMD_NEW_SCAN_RESULTS, FamilyId, NLM_F_MULTI);
    r.u32(NL80211_ATTR_IFINDEX, 7);
    nlattr *b = nla_nest_start(r.msg, NL80211_ATTR_BSS);
    nla_put(r.msg, NL80211_BSS_BSSID, 6, bssid);
    nla_put_u32(r.msg, NL80211_BSS_FREQUENCY, freq);
    nla_put_u64(r.msg, NL80211_BSS_TSF, 1000);
    nla_put_u64(r.msg, NL80211_BSS_BEACON_TSF, 2000);
    nla_put_u16(r.msg, NL80211_BSS_BEACON_INTERVAL, 100);
    nla_put_u16(r.msg, NL80211_BSS_CAPABILITY, 0x0401);
    if (!ies.empty())
        nla_put(r.msg, NL80211_BSS_INFORMATION_ELEMENTS, static_cast<int>(ies.size()), ies.data());
    if (!beacon_ies.empty())
        nla_put(r.msg, NL80211_BSS_BEACON_IES, static_cast<int>(beacon_ies.size()), beacon_ies.data());
    nla_put_u32(r.msg, NL80211_BSS_SIGNAL_MBM, static_cast<uint32_t>(mbm));
    nla_put_u32(r.msg, NL80211_BSS_SEEN_MS_AGO, age);
    if (status >= 0) nla_put_u32(r.msg, NL80211_BSS_STATUS, static_cast<uint32_t>(status));
    nla_nest_end(r.msg, b);
    return r.bytes();
}

std::vector<uint8_t> ssid_ie(const std::string &s) {
    std::vector<uint8_t> v{0, static_cast<uint8_t>(s.size())};
    v.insert(v.end(), s.begin(), s.end());
    return v;
}

std::vector<uint8_t> survey_msg(uint32_t freq, int8_t noise) {
    Reply r(NL80211_CMD_NEW_SURVEY_RESULTS, FamilyId, NLM_F_MULTI);
    r.u32(NL80211_ATTR_IFINDEX, 7);
    nlattr *s = nla_nest_start(r.msg, NL80211_ATTR_SURVEY_INFO);
    nla_put_u32(r.msg, NL80211_SURVEY_INFO_FREQUENCY, freq);
    nla_put_u8(r.msg, NL80211_SURVEY_INFO_NOISE, static_cast<uint8_t>(noise));
    nla_nest_end(r.msg, s);
    return r.bytes();
}

TEST_F(Nl80211, ScanResultsFromTheDump) {
    ASSERT_TRUE(start());
    std::vector<uint8_t> rates{1, 2, 0x82, 0x84};
    std::vector<uint8_t> ies = ssid_ie("lab");
    ies.insert(ies.end(), rates.begin(), rates.end());
    k.scan_dump = {
        bss_msg(ap1, 2412, -4550, ies, ssid_ie("lab"), 300),
        bss_msg(ap1, 2412, -6000, ies, {}, 100),        // same BSS, younger: replaces
        bss_msg(ap1, 2412, -7000, ssid_ie(""), {}, 50), // same BSSID, hidden SSID: apart
        bss_msg(ap2, 2437, -5000, ssid_ie("other"), {}, 10),
    };
    k.survey_dump = {survey_msg(2412, -92)};
    wpa_scan_results *res = ops().get_scan_results(priv);
    ASSERT_NE(res, nullptr);
    ASSERT_EQ(res->num, 3u);
    const wpa_scan_res *r = res->res[0];
    EXPECT_EQ(memcmp(r->bssid, ap1, 6), 0);
    EXPECT_EQ(r->level, -60);
    EXPECT_EQ(r->age, 100u);
    EXPECT_EQ(r->noise, -92);
    EXPECT_EQ(r->flags & 0xf, 0x9u); // quality invalid, level in dBm, noise known
    EXPECT_EQ(r->tsf, 2000u);
    EXPECT_EQ(r->beacon_int, 100);
    EXPECT_EQ(r->caps, 0x0401);
    EXPECT_EQ(res->res[2]->flags & 0x2, 0x2u); // no survey entry for 2437
    nl80211_free_scan_results(res);

    // Signal in mBm, both element sets, and filter SSIDs that drop other networks and
    // networks without an SSID element.
    k.scan_dump = {bss_msg(ap1, 2412, -4550, ies, ssid_ie("lab"), 300),
                   bss_msg(ap2, 2437, -5000, ssid_ie("x"), {}, 1), bss_msg(ap2, 2462, -5000, rates, {}, 1)};
    wpa_driver_scan_params p{};
    p.filter_ssids = static_cast<wpa_driver_scan_filter *>(calloc(1, sizeof(wpa_driver_scan_filter)));
    memcpy(p.filter_ssids[0].ssid, "lab", 3);
    p.filter_ssids[0].ssid_len = 3;
    p.num_filter_ssids = 1;
    ASSERT_EQ(ops().scan(priv, &p), 0);
    res = ops().get_scan_results(priv);
    ASSERT_NE(res, nullptr);
    ASSERT_EQ(res->num, 1u);
    r = res->res[0];
    EXPECT_EQ(r->level, -45);
    EXPECT_EQ(r->age, 300u);
    ASSERT_EQ(r->ie_len, ies.size());
    ASSERT_EQ(r->beacon_ie_len, 5u);
    EXPECT_EQ(memcmp(wpa_scan_res_ies(r), ies.data(), ies.size()), 0);
    EXPECT_EQ(memcmp(wpa_scan_res_ies(r) + r->ie_len, "\x00\x03lab", 5), 0);
    nl80211_free_scan_results(res);
}

TEST_F(Nl80211, KernelAssociationTheSupplicantDoesNotKnowIsDroppedLocally) {
    ASSERT_TRUE(start());
    k.scan_dump = {bss_msg(ap1, 2412, -4550, ssid_ie("lab"), {}, 1, NL80211_BSS_STATUS_ASSOCIATED)};
    k.clear();
    wpa_scan_results *res = ops().get_scan_results(priv);
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(res->res[0]->flags & 0x20, 0x20u);
    nl80211_free_scan_results(res);
    const Sent *d = k.last(NL80211_CMD_DEAUTHENTICATE);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(*d->attr(NL80211_ATTR_MAC), std::vector<uint8_t>(ap1, ap1 + 6));
    EXPECT_EQ(d->u16(NL80211_ATTR_REASON_CODE), 2);
    EXPECT_TRUE(d->has(NL80211_ATTR_LOCAL_STATE_CHANGE));
}

// ---- Authentication, association, leaving --------------------------------------------------

TEST_F(Nl80211, OpenApAuthenticatesAndAssociates) {
    ASSERT_TRUE(start());
    associate_open(ap1);
    const Sent *a = k.last(NL80211_CMD_AUTHENTICATE);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->u32(NL80211_ATTR_AUTH_TYPE), static_cast<uint32_t>(NL80211_AUTHTYPE_OPEN_SYSTEM));
    EXPECT_EQ(a->u32(NL80211_ATTR_WIPHY_FREQ), 2412u);
    EXPECT_EQ(*a->attr(NL80211_ATTR_SSID), (std::vector<uint8_t>{'l', 'a', 'b'}));
    auto auth = of_type(EVENT_AUTH);
    ASSERT_EQ(auth.size(), 1u);
    EXPECT_EQ(memcmp(auth[0].data.auth.peer, ap1, 6), 0);
    EXPECT_EQ(auth[0].data.auth.auth_transaction, 2);
    EXPECT_EQ(auth[0].data.auth.status_code, 0);
    const Sent *as = k.last(NL80211_CMD_ASSOCIATE);
    ASSERT_NE(as, nullptr);
    EXPECT_TRUE(as->has(NL80211_ATTR_CONTROL_PORT));
    EXPECT_FALSE(as->has(NL80211_ATTR_CIPHER_SUITES_PAIRWISE));
    auto assoc = of_type(EVENT_ASSOC);
    ASSERT_EQ(assoc.size(), 1u);
    EXPECT_EQ(assoc[0].data.assoc_info.freq, 2412u);
    EXPECT_EQ(assoc[0].ies, (std::vector<uint8_t>{0x01, 0x01, 0x82}));
    uint8_t bssid[6];
    ASSERT_EQ(ops().get_bssid(priv, bssid), 0);
    EXPECT_EQ(memcmp(bssid, ap1, 6), 0);
    uint8_t ssid[32];
    EXPECT_EQ(ops().get_ssid(priv, ssid), 3);
    // With the supplicant's SME the kernel's connect report is not ours to act on.
    Reply c(NL80211_CMD_CONNECT);
    c.u32(NL80211_ATTR_IFINDEX, 7).data(NL80211_ATTR_MAC, ap1, 6).u16(NL80211_ATTR_STATUS_CODE, 0);
    event(c.bytes());
    EXPECT_EQ(of_type(EVENT_ASSOC).size(), 1u);
}

TEST_F(Nl80211, AssociationRejectedByStatus) {
    ASSERT_TRUE(start());
    frame_event(NL80211_CMD_ASSOCIATE, mgmt_frame(0x1, own, ap1, ap1, {0x01, 0x04, 0x11, 0x00, 0, 0}));
    auto rej = of_type(EVENT_ASSOC_REJECT);
    ASSERT_EQ(rej.size(), 1u);
    EXPECT_EQ(rej[0].data.assoc_reject.status_code, 17);
    EXPECT_EQ(rej[0].addr, std::vector<uint8_t>(ap1, ap1 + 6));
    EXPECT_FALSE(drv()->associated);
}

TEST_F(Nl80211, UnknownBssScansOnceRetriesOnceThenTimesOut) {
    ASSERT_TRUE(start());
    k.errors[NL80211_CMD_AUTHENTICATE] = {-ENOENT, -ENOENT};
    k.clear();
    wpa_driver_auth_params auth{};
    auth.freq = 2437;
    auth.bssid = ap1;
    auth.ssid = reinterpret_cast<const uint8_t *>("lab");
    auth.ssid_len = 3;
    auth.auth_alg = WPA_AUTH_ALG_OPEN;
    EXPECT_EQ(ops().authenticate(priv, &auth), 0); // the scan started
    ASSERT_EQ(k.count(NL80211_CMD_TRIGGER_SCAN), 1u);
    const Sent *t = k.last(NL80211_CMD_TRIGGER_SCAN);
    EXPECT_EQ(t->attr(NL80211_ATTR_SCAN_FREQUENCIES)->size(), 8u);
    EXPECT_TRUE(drv()->scan_for_auth);
    event(Reply(NL80211_CMD_TRIGGER_SCAN).u32(NL80211_ATTR_IFINDEX, 7).bytes());
    EXPECT_TRUE(of_type(EVENT_SCAN_STARTED).empty()); // a scan of our own for the retry
    event(Reply(NL80211_CMD_NEW_SCAN_RESULTS).u32(NL80211_ATTR_IFINDEX, 7).bytes());
    EXPECT_TRUE(of_type(EVENT_SCAN_RESULTS).empty());
    EXPECT_EQ(k.count(NL80211_CMD_AUTHENTICATE), 2u);
    EXPECT_EQ(k.count(NL80211_CMD_TRIGGER_SCAN), 1u);
    auto to = of_type(EVENT_AUTH_TIMED_OUT);
    ASSERT_EQ(to.size(), 1u);
    EXPECT_EQ(memcmp(to[0].data.timeout_event.addr, ap1, 6), 0);
}

TEST_F(Nl80211, AlreadyAuthenticatedDropsTheOldOneAndRetries) {
    ASSERT_TRUE(start());
    k.errors[NL80211_CMD_AUTHENTICATE] = {-EALREADY};
    k.clear();
    wpa_driver_auth_params auth{};
    auth.freq = 2412;
    auth.bssid = ap1;
    auth.auth_alg = WPA_AUTH_ALG_OPEN;
    EXPECT_EQ(ops().authenticate(priv, &auth), 0);
    EXPECT_EQ(k.count(NL80211_CMD_AUTHENTICATE), 2u);
    const Sent *d = k.last(NL80211_CMD_DEAUTHENTICATE);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->u16(NL80211_ATTR_REASON_CODE), 2);
    // The kernel's echo of that deauthentication is not news.
    frame_event(NL80211_CMD_DEAUTHENTICATE, mgmt_frame(0xc, ap1, own, ap1, {2, 0}));
    EXPECT_TRUE(of_type(EVENT_DEAUTH).empty());
}

TEST_F(Nl80211, ConnectOnlyRadioLetsTheKernelChooseTheAuthenticationType) {
    k.radio.auth = false;
    ASSERT_TRUE(start());
    struct Case {
        int algs;
        int type; // -1: none sent
    } cases[] = {{WPA_AUTH_ALG_OPEN | WPA_AUTH_ALG_SHARED, -1},
                 {WPA_AUTH_ALG_OPEN, NL80211_AUTHTYPE_OPEN_SYSTEM},
                 {WPA_AUTH_ALG_SHARED, NL80211_AUTHTYPE_SHARED_KEY}};
    for (const Case &c : cases) {
        wpa_driver_associate_params p{};
        p.bssid = ap1;
        p.ssid = reinterpret_cast<const uint8_t *>("lab");
        p.ssid_len = 3;
        p.bg_scan_period = -1;
        p.pairwise_suite = WPA_CIPHER_NONE;
        p.group_suite = WPA_CIPHER_NONE;
        p.key_mgmt_suite = WPA_KEY_MGMT_NONE;
        p.auth_alg = c.algs;
        ASSERT_EQ(ops().associate(priv, &p), 0);
        const Sent *s = k.last(NL80211_CMD_CONNECT);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->has(NL80211_ATTR_AUTH_TYPE), c.type >= 0) << c.algs;
        if (c.type >= 0) {
            EXPECT_EQ(s->u32(NL80211_ATTR_AUTH_TYPE), static_cast<uint32_t>(c.type));
        }
    }
    // Connected by the kernel, then a disconnect by the AP.
    Reply c(NL80211_CMD_CONNECT);
    c.u32(NL80211_ATTR_IFINDEX, 7).data(NL80211_ATTR_MAC, ap1, 6).u16(NL80211_ATTR_STATUS_CODE, 0);
    event(c.bytes());
    ASSERT_EQ(of_type(EVENT_ASSOC).size(), 1u);
    EXPECT_TRUE(drv()->associated);
    Reply d(NL80211_CMD_DISCONNECT);
    d.u32(NL80211_ATTR_IFINDEX, 7).u16(NL80211_ATTR_REASON_CODE, 3).flag(NL80211_ATTR_DISCONNECTED_BY_AP);
    event(d.bytes());
    auto de = of_type(EVENT_DEAUTH);
    ASSERT_EQ(de.size(), 1u);
    EXPECT_EQ(de[0].data.deauth_info.reason_code, 3);
    EXPECT_EQ(de[0].data.deauth_info.locally_generated, 0);
    // Our own disconnect: its echo is dropped once.
    ASSERT_EQ(ops().deauthenticate(priv, ap1, 3), 0);
    Reply d2(NL80211_CMD_DISCONNECT);
    d2.u32(NL80211_ATTR_IFINDEX, 7).u16(NL80211_ATTR_REASON_CODE, 3);
    event(d2.bytes());
    EXPECT_EQ(of_type(EVENT_DEAUTH).size(), 1u);
}

TEST_F(Nl80211, DeauthenticationFramesByOriginAndLength) {
    ASSERT_TRUE(start());
    associate_open(ap1);
    // The AP's deauthentication with reason 3 and an element.
    frame_event(NL80211_CMD_DEAUTHENTICATE, mgmt_frame(0xc, own, ap1, ap1, {3, 0, 0xdd, 0}));
    auto de = of_type(EVENT_DEAUTH);
    ASSERT_EQ(de.size(), 1u);
    EXPECT_EQ(de[0].data.deauth_info.reason_code, 3);
    EXPECT_EQ(de[0].data.deauth_info.locally_generated, 0);
    EXPECT_EQ(de[0].ies, (std::vector<uint8_t>{0xdd, 0}));
    EXPECT_EQ(de[0].addr, std::vector<uint8_t>(ap1, ap1 + 6));
    EXPECT_FALSE(drv()->associated);

    // The previous AP's late word after a move to another AP is dropped.
    associate_open(ap2);
    frame_event(NL80211_CMD_DEAUTHENTICATE, mgmt_frame(0xc, own, ap1, ap1, {1, 0}));
    EXPECT_EQ(of_type(EVENT_DEAUTH).size(), 1u);
    EXPECT_TRUE(drv()->associated);

    // Our own deauthentication: its echo is dropped once, the next one is news.
    ASSERT_EQ(ops().deauthenticate(priv, ap2, 3), 0);
    frame_event(NL80211_CMD_DEAUTHENTICATE, mgmt_frame(0xc, ap2, own, ap2, {3, 0}));
    EXPECT_EQ(of_type(EVENT_DEAUTH).size(), 1u);
    associate_open(ap2);
    frame_event(NL80211_CMD_DEAUTHENTICATE, mgmt_frame(0xc, ap2, own, ap2, {4, 0}));
    de = of_type(EVENT_DEAUTH);
    ASSERT_EQ(de.size(), 2u);
    EXPECT_EQ(de[1].data.deauth_info.locally_generated, 1);
    EXPECT_EQ(de[1].data.deauth_info.reason_code, 4);

    // 24 and 25 bytes: a BSSID, but neither reason nor elements.
    for (size_t len : {24u, 25u}) {
        associate_open(ap2);
        std::vector<uint8_t> f = mgmt_frame(0xc, own, ap2, ap2, {7, 0});
        f.resize(len);
        frame_event(NL80211_CMD_DEAUTHENTICATE, f);
        de = of_type(EVENT_DEAUTH);
        ASSERT_FALSE(de.empty());
        EXPECT_EQ(de.back().data.deauth_info.reason_code, 0) << len;
        EXPECT_TRUE(de.back().ies.empty()) << len;
        EXPECT_EQ(de.back().addr, std::vector<uint8_t>(ap2, ap2 + 6));
    }
    size_t before = of_type(EVENT_DEAUTH).size();
    frame_event(NL80211_CMD_DEAUTHENTICATE, std::vector<uint8_t>(15, 0xc0)); // under 16: dropped
    EXPECT_EQ(of_type(EVENT_DEAUTH).size(), before);
}

TEST_F(Nl80211, TimedOutMlmeCommands) {
    ASSERT_TRUE(start());
    Reply a(NL80211_CMD_AUTHENTICATE);
    a.u32(NL80211_ATTR_IFINDEX, 7).flag(NL80211_ATTR_TIMED_OUT).data(NL80211_ATTR_MAC, ap1, 6);
    event(a.bytes());
    Reply s(NL80211_CMD_ASSOCIATE);
    s.u32(NL80211_ATTR_IFINDEX, 7).flag(NL80211_ATTR_TIMED_OUT).data(NL80211_ATTR_MAC, ap1, 6);
    event(s.bytes());
    Reply bad(NL80211_CMD_ASSOCIATE);
    bad.u32(NL80211_ATTR_IFINDEX, 7).flag(NL80211_ATTR_TIMED_OUT).data(NL80211_ATTR_MAC, ap1, 5);
    event(bad.bytes());
    EXPECT_EQ(of_type(EVENT_AUTH_TIMED_OUT).size(), 1u);
    EXPECT_EQ(of_type(EVENT_ASSOC_TIMED_OUT).size(), 1u);
}

// ---- Keys, port, signal -------------------------------------------------------------------

TEST_F(Nl80211, KeysPortAndSignal) {
    ASSERT_TRUE(start());
    associate_open(ap1);
    k.clear();
    const uint8_t gtk[16] = {1};
    const uint8_t seq[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(ops().set_key(priv, "wlan0", WPA_ALG_CCMP, bcast, 1, 1, seq, 6, gtk, 16), 0);
    const Sent *nk = k.last(NL80211_CMD_NEW_KEY);
    ASSERT_NE(nk, nullptr);
    EXPECT_FALSE(nk->has(NL80211_ATTR_MAC));
    EXPECT_TRUE(nk->has(NL80211_ATTR_KEY_DEFAULT_TYPES));
    EXPECT_EQ(nk->u32(NL80211_ATTR_KEY_CIPHER), 0x000FAC04u);
    EXPECT_EQ(nk->u8(NL80211_ATTR_KEY_IDX), 1);
    EXPECT_EQ(nk->attr(NL80211_ATTR_KEY_SEQ)->size(), 6u);
    const Sent *sk = k.last(NL80211_CMD_SET_KEY);
    ASSERT_NE(sk, nullptr);
    EXPECT_TRUE(sk->has(NL80211_ATTR_KEY_DEFAULT));
    // Pairwise: with the peer's address.
    ASSERT_EQ(ops().set_key(priv, "wlan0", WPA_ALG_CCMP, ap1, 0, 1, nullptr, 0, gtk, 16), 0);
    nk = k.last(NL80211_CMD_NEW_KEY);
    EXPECT_EQ(*nk->attr(NL80211_ATTR_MAC), std::vector<uint8_t>(ap1, ap1 + 6));
    EXPECT_FALSE(nk->has(NL80211_ATTR_KEY_DEFAULT_TYPES));
    // Deleting a key the kernel does not have succeeds; a refused install does not.
    k.errors[NL80211_CMD_DEL_KEY] = {-ENOENT};
    EXPECT_EQ(ops().set_key(priv, "wlan0", WPA_ALG_NONE, ap1, 0, 0, nullptr, 0, nullptr, 0), 0);
    k.errors[NL80211_CMD_NEW_KEY] = {-ENOLINK};
    EXPECT_EQ(ops().set_key(priv, "wlan0", WPA_ALG_CCMP, ap1, 0, 1, nullptr, 0, gtk, 16), -ENOLINK);

    ASSERT_EQ(ops().set_supp_port(priv, 1), 0);
    const Sent *st = k.last(NL80211_CMD_SET_STATION);
    ASSERT_NE(st, nullptr);
    nl80211_sta_flag_update upd{};
    ASSERT_EQ(st->attr(NL80211_ATTR_STA_FLAGS2)->size(), sizeof(upd));
    memcpy(&upd, st->attr(NL80211_ATTR_STA_FLAGS2)->data(), sizeof(upd));
    EXPECT_EQ(upd.mask, 1u << NL80211_STA_FLAG_AUTHORIZED);
    EXPECT_EQ(upd.set, upd.mask);

    k.respond = [](Kernel &kk, const Sent &req) {
        if (req.cmd != NL80211_CMD_GET_STATION) return false;
        Reply r(NL80211_CMD_NEW_STATION);
        nlattr *info = nla_nest_start(r.msg, NL80211_ATTR_STA_INFO);
        nla_put_u8(r.msg, NL80211_STA_INFO_SIGNAL, static_cast<uint8_t>(-45));
        nla_put_u8(r.msg, NL80211_STA_INFO_SIGNAL_AVG, static_cast<uint8_t>(-47));
        nlattr *rate = nla_nest_start(r.msg, NL80211_STA_INFO_TX_BITRATE);
        nla_put_u16(r.msg, NL80211_RATE_INFO_BITRATE, 540);
        nla_nest_end(r.msg, rate);
        nla_nest_end(r.msg, info);
        kk.push(req.fd, r.bytes());
        kk.push_ack(req.fd, req, 0);
        return true;
    };
    k.survey_dump = {survey_msg(2412, -90)};
    wpa_signal_info si{};
    ASSERT_EQ(ops().signal_poll(priv, &si), 0);
    EXPECT_EQ(si.current_signal, -45);
    EXPECT_EQ(si.avg_signal, -47);
    EXPECT_EQ(si.current_txrate, 54000);
    EXPECT_EQ(si.current_noise, -90);
    EXPECT_EQ(si.frequency, 2412u);
}

TEST_F(Nl80211, EapolTransmitReportsCarryTheFrameAfterItsEthernetHeader) {
    ASSERT_TRUE(start());
    std::vector<uint8_t> frame(14, 0);
    memcpy(frame.data(), ap1, 6);
    frame.insert(frame.end(), {2, 3, 0, 95});
    nl80211_eapol_tx_status(drv(), frame.data(), frame.size(), 1);
    nl80211_eapol_tx_status(drv(), frame.data(), 13, 1); // no Ethernet header: dropped
    auto ev = of_type(EVENT_EAPOL_TX_STATUS);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].data.eapol_tx_status.data_len, 4u);
    EXPECT_EQ(ev[0].data.eapol_tx_status.ack, 1);
}

TEST_F(Nl80211, RekeyOffloadTrafficStreamsAndWakeTriggers) {
    ASSERT_TRUE(start());
    const uint8_t kek[16] = {1}, kck[16] = {2}, ctr[8] = {3};
    // A kernel without rekey offload is asked once, then never again.
    k.errors[NL80211_CMD_SET_REKEY_OFFLOAD] = {-EOPNOTSUPP};
    ops().set_rekey_info(priv, kek, 16, kck, 16, ctr);
    ops().set_rekey_info(priv, kek, 16, kck, 16, ctr);
    EXPECT_EQ(k.count(NL80211_CMD_SET_REKEY_OFFLOAD), 1u);

    EXPECT_EQ(ops().add_tx_ts(priv, 3, ap1, 5, 1000), 0);
    const Sent *ts = k.last(NL80211_CMD_ADD_TX_TS);
    ASSERT_NE(ts, nullptr);
    EXPECT_EQ(ts->u8(NL80211_ATTR_TSID), 3);
    EXPECT_EQ(ts->u16(NL80211_ATTR_ADMITTED_TIME), 1000);
    ASSERT_EQ(nl80211_set_mode(bss(), NL80211_IFTYPE_ADHOC), 0);
    EXPECT_EQ(ops().del_tx_ts(priv, 3, ap1), -EOPNOTSUPP);

    wowlan_triggers t{};
    t.disconnect = 1;
    t.magic_pkt = 1;
    ASSERT_EQ(ops().set_wowlan(priv, &t), 0);
    const auto *trig = k.last(NL80211_CMD_SET_WOWLAN)->attr(NL80211_ATTR_WOWLAN_TRIGGERS);
    ASSERT_NE(trig, nullptr);
    ASSERT_EQ(trig->size(), 8u); // two flags
    EXPECT_EQ((*trig)[2], NL80211_WOWLAN_TRIG_DISCONNECT);
    EXPECT_EQ((*trig)[6], NL80211_WOWLAN_TRIG_MAGIC_PKT);
}

// ---- Other kernel news --------------------------------------------------------------------

TEST_F(Nl80211, RegulatoryAndMalformedEvents) {
    ASSERT_TRUE(start());
    Reply r(NL80211_CMD_REG_CHANGE);
    r.u8(NL80211_ATTR_REG_INITIATOR, NL80211_REGDOM_SET_BY_USER)
        .u8(NL80211_ATTR_REG_TYPE, NL80211_REGDOM_TYPE_COUNTRY)
        .data(NL80211_ATTR_REG_ALPHA2, "DE", 3);
    event(r.bytes());
    auto ch = of_type(EVENT_CHANNEL_LIST_CHANGED);
    ASSERT_EQ(ch.size(), 1u);
    EXPECT_EQ(ch[0].data.channel_list_changed.initiator, 1);
    EXPECT_EQ(ch[0].data.channel_list_changed.type, 1);
    EXPECT_STREQ(ch[0].data.channel_list_changed.alpha2, "DE");

    // Missing or short attributes, truncated messages and a garbage datagram: no event.
    events().clear();
    event(Reply(NL80211_CMD_REG_CHANGE).bytes());
    Reply shortifx(NL80211_CMD_NEW_SCAN_RESULTS);
    shortifx.data(NL80211_ATTR_IFINDEX, "\x07", 1);
    event(shortifx.bytes()); // a one-byte index reads as no index: the first interface
    std::vector<uint8_t> trunc = bss_msg(ap1, 2412, -4000, ssid_ie("lab"), {}, 1);
    trunc.resize(trunc.size() - 10);
    event(trunc);
    std::vector<uint8_t> junk(64, 0xa5);
    event(junk);
    for (const Event &e : events())
        EXPECT_EQ(e.type, EVENT_SCAN_RESULTS);
}

TEST_F(Nl80211, LinkDownAndUpFromRtnetlink) {
    ASSERT_TRUE(start());
    drv()->ignore_if_down_event = 0;
    std::vector<uint8_t> buf(NLMSG_ALIGN(sizeof(ifinfomsg)) + RTA_SPACE(6));
    auto *ifi = reinterpret_cast<ifinfomsg *>(buf.data());
    ifi->ifi_index = 7;
    ifi->ifi_flags = 0;
    auto *rta = reinterpret_cast<rtattr *>(buf.data() + NLMSG_ALIGN(sizeof(ifinfomsg)));
    rta->rta_type = IFLA_IFNAME;
    rta->rta_len = RTA_LENGTH(6);
    memcpy(RTA_DATA(rta), "wlan0", 6);
    uint8_t *attrs = buf.data() + NLMSG_ALIGN(sizeof(ifinfomsg));
    size_t alen = RTA_SPACE(6);

    k.up["wlan0"] = false;
    nl80211_rtm_newlink(global, ifi, attrs, alen);
    EXPECT_EQ(of_type(EVENT_INTERFACE_DISABLED).size(), 1u);
    nl80211_rtm_newlink(global, ifi, attrs, alen); // still down: said once
    EXPECT_EQ(of_type(EVENT_INTERFACE_DISABLED).size(), 1u);
    k.up["wlan0"] = true;
    ifi->ifi_flags = IFF_UP;
    nl80211_rtm_newlink(global, ifi, attrs, alen);
    EXPECT_EQ(of_type(EVENT_INTERFACE_ENABLED).size(), 1u);
    EXPECT_TRUE(of_type(EVENT_INTERFACE_STATUS).empty()); // our own interface

    // The down report of our own type change is swallowed.
    drv()->ignore_if_down_event = 1;
    k.up["wlan0"] = false;
    ifi->ifi_flags = 0;
    nl80211_rtm_newlink(global, ifi, attrs, alen);
    EXPECT_EQ(of_type(EVENT_INTERFACE_DISABLED).size(), 1u);

    // Another interface appears: an interface-status event to the global dispatcher.
    ifi->ifi_index = 42;
    memcpy(RTA_DATA(rta), "eth9\0", 6);
    nl80211_rtm_newlink(global, ifi, attrs, alen);
    auto st = of_type(EVENT_INTERFACE_STATUS);
    ASSERT_EQ(st.size(), 1u);
    EXPECT_EQ(st[0].ctx, &token);
    EXPECT_STREQ(st[0].data.interface_status.ifname, "eth9");
}

TEST_F(Nl80211, AReappearingInterfaceReadsItsRadioAgainAndKeepsTheDriverParameters) {
    ASSERT_TRUE(start());
    ASSERT_EQ(ops().set_param(priv, "force_connect_cmd=1"), 0);
    wpa_driver_capa capa{};
    ops().get_capa(priv, &capa);
    EXPECT_FALSE(capa.flags & WPA_DRIVER_FLAGS_SME);

    std::vector<uint8_t> buf(NLMSG_ALIGN(sizeof(ifinfomsg)) + RTA_SPACE(6));
    auto *ifi = reinterpret_cast<ifinfomsg *>(buf.data());
    auto *rta = reinterpret_cast<rtattr *>(buf.data() + NLMSG_ALIGN(sizeof(ifinfomsg)));
    rta->rta_type = IFLA_IFNAME;
    rta->rta_len = RTA_LENGTH(6);
    memcpy(RTA_DATA(rta), "wlan0", 6);
    uint8_t *attrs = buf.data() + NLMSG_ALIGN(sizeof(ifinfomsg));
    ifi->ifi_index = 7;
    nl80211_rtm_dellink(global, ifi, attrs, RTA_SPACE(6));
    nl80211_rtm_dellink(global, ifi, attrs, RTA_SPACE(6)); // said once
    auto st = of_type(EVENT_INTERFACE_STATUS);
    ASSERT_EQ(st.size(), 1u);
    EXPECT_EQ(st[0].data.interface_status.ievent,
              decltype(st[0].data.interface_status)::EVENT_INTERFACE_REMOVED);

    // Back under its old name with a new index: the radio is read again.
    k.index.erase("wlan0");
    k.index["wlan0"] = 9;
    k.up["wlan0"] = true;
    k.clear();
    ifi->ifi_index = 9;
    ifi->ifi_flags = IFF_UP;
    nl80211_rtm_newlink(global, ifi, attrs, RTA_SPACE(6));
    EXPECT_EQ(k.count(NL80211_CMD_GET_WIPHY), 1u);
    EXPECT_EQ(drv()->ifindex, 9);
    ops().get_capa(priv, &capa);
    EXPECT_FALSE(capa.flags & WPA_DRIVER_FLAGS_SME);
    EXPECT_EQ(of_type(EVENT_INTERFACE_STATUS).size(), 1u);
}

// ---- Monitor frames -----------------------------------------------------------------------

std::vector<uint8_t> radiotap(bool tx, bool failed, const std::vector<uint8_t> &frame, bool fcs = false) {
    // Present: flags (1), rate (2), antenna signal (5), RX flags (14) or TX flags (15).
    std::vector<uint8_t> h{0, 0, 0, 0};
    uint32_t present = (1u << 1) | (1u << 2) | (1u << 5) | (1u << (tx ? 15 : 14));
    for (int i = 0; i < 4; i++)
        h.push_back(static_cast<uint8_t>(present >> (8 * i)));
    h.push_back(fcs ? 0x10 : 0); // flags
    h.push_back(12);             // rate: 6 Mbit/s
    h.push_back(static_cast<uint8_t>(-50));
    h.push_back(0);                    // pad to 2
    h.push_back(tx && failed ? 1 : 0); // RX or TX flags
    h.push_back(0);
    h[2] = static_cast<uint8_t>(h.size());
    h.insert(h.end(), frame.begin(), frame.end());
    if (fcs) h.insert(h.end(), {0, 0, 0, 0});
    return h;
}

TEST_F(Nl80211, MonitorFramesBecomeReceiveAndTransmitEvents) {
    ASSERT_TRUE(start());
    std::vector<uint8_t> probe = mgmt_frame(0x4, bcast, ap1, bcast, {0, 0});
    std::vector<uint8_t> f = radiotap(false, false, probe, true);
    nl80211_monitor_frame(drv(), f.data(), f.size());
    auto rx = of_type(EVENT_RX_MGMT);
    ASSERT_EQ(rx.size(), 1u);
    EXPECT_EQ(rx[0].ies, probe); // the FCS is stripped
    EXPECT_EQ(rx[0].data.rx_mgmt.datarate, 60u);
    EXPECT_EQ(rx[0].data.rx_mgmt.ssi_signal, -50);

    std::vector<uint8_t> deauth = mgmt_frame(0xc, ap1, own, own, {3, 0});
    f = radiotap(true, true, deauth);
    nl80211_monitor_frame(drv(), f.data(), f.size());
    auto tx = of_type(EVENT_TX_STATUS);
    ASSERT_EQ(tx.size(), 1u);
    EXPECT_EQ(tx[0].data.tx_status.stype, 0xc);
    EXPECT_EQ(tx[0].data.tx_status.ack, 0);

    // Under 24 bytes after radiotap and FCS, or a broken radiotap header: dropped.
    events().clear();
    std::vector<uint8_t> shortf(probe.begin(), probe.begin() + 23);
    f = radiotap(false, false, shortf);
    nl80211_monitor_frame(drv(), f.data(), f.size());
    f = radiotap(false, false, std::vector<uint8_t>(probe.begin(), probe.begin() + 22), true); // 26 with FCS
    nl80211_monitor_frame(drv(), f.data(), f.size());
    f[2] = 200;
    nl80211_monitor_frame(drv(), f.data(), f.size());
    for (const Event &e : events())
        ADD_FAILURE() << event_to_string(e.type) << " " << e.ies.size();
}

TEST_F(Nl80211, MonitorInjectionPutsTheRadiotapHeaderFirst) {
    ASSERT_TRUE(start());
    std::vector<uint8_t> frame = mgmt_frame(0xc, ap1, own, own, {3, 0});
    EXPECT_EQ(nl80211_monitor_send(drv(), frame.data(), frame.size(), 0, 0), -1); // no monitor socket
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, sv), 0);
    drv()->monitor_sock = sv[0];
    ASSERT_EQ(nl80211_monitor_send(drv(), frame.data(), frame.size(), 1, 1), 0);
    uint8_t buf[256];
    ssize_t n = recv(sv[1], buf, sizeof(buf), 0);
    drv()->monitor_sock = -1;
    close(sv[0]);
    close(sv[1]);
    ASSERT_EQ(n, static_cast<ssize_t>(14 + frame.size()));
    const uint8_t head[14] = {0x00, 0x00, 0x0e, 0x00, 0x02, 0xc0, 0x00,
                              0x00, 0x0c, 0x00, 0x00, 0x00, 0x08, 0x00};
    EXPECT_EQ(memcmp(buf, head, 14), 0);
    EXPECT_EQ(memcmp(buf + 14, frame.data(), frame.size()), 0);
}

} // namespace
