// Network selection, the roaming decision, the blacklist, enabling and the back-off after
// failures, driven through a test back end ("tsel") whose scan results the tests script.
// Time is faked: pass() moves the event loop's timeouts and every stored point in time
// (temporary-disable ends, the last scan) back by the same span, so nothing depends on
// how fast the machine runs. Association itself is not part of these tests: the connect
// decision shows in its "Request association with" line.
#include "wireless/common/ieee802_11_common.h"
#include "wireless/core/bss.h"
#include "wireless/core/config.h"
#include "wireless/core/connect.h"
#include "wireless/core/ctrl_iface.h"
#include "wireless/core/eloop.h"
#include "wireless/core/network_enable.h"
#include "wireless/core/network_select.h"
#include "wireless/core/radio_work.h"
#include "wireless/core/scan.h"
#include "wireless/core/supplicant.h"
#include "wireless/core/wpa_msg.h"

#include "driver_fake.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace driver_fake;

// RSN with CCMP and PSK, and the given capabilities.
Bytes rsn_psk(uint16_t caps = 0) {
    return ie(48, {1,
                   0,
                   0x00,
                   0x0f,
                   0xac,
                   4,
                   1,
                   0,
                   0x00,
                   0x0f,
                   0xac,
                   4,
                   1,
                   0,
                   0x00,
                   0x0f,
                   0xac,
                   2,
                   static_cast<uint8_t>(caps),
                   static_cast<uint8_t>(caps >> 8)});
}

// WPA with TKIP and PSK.
Bytes wpa_psk() {
    return ie(221, {0x00, 0x50, 0xf2, 1,    1, 0, 0x00, 0x50, 0xf2, 2,    1,
                    0,    0x00, 0x50, 0xf2, 2, 1, 0,    0x00, 0x50, 0xf2, 2});
}

// Basic rates 1, 2, 5.5 and 11 Mbit/s; and 6 and 12 Mbit/s for 5 GHz.
const Bytes Rates24 = ie(1, {0x82, 0x84, 0x8b, 0x96});
const Bytes Rates5 = ie(1, {0x8c, 0x98});

struct Ap {
    uint8_t last;
    std::string ssid;
    int level = -50;
    int freq = 2412;
    uint16_t caps = 0x0001;
    Bytes extra = {};
};

struct FakeRadio {
    std::vector<Ap> aps;
    int scans = 0;
    bool vht = false;
    bool ht = true;
    // What get_ssid and get_bssid report; an empty SSID text fails the read.
    std::string cur_ssid;
    uint8_t cur_bssid[6] = {};
    bool bssid_fails = false;
} radio;

int t_get_capa(void *, wpa_driver_capa *capa) {
    *capa = wpa_driver_capa{};
    capa->max_scan_ssids = 4;
    capa->enc = WPA_DRIVER_CAPA_ENC_WEP40 | WPA_DRIVER_CAPA_ENC_WEP104;
    return 0;
}
int t_scan(void *, wpa_driver_scan_params *) {
    radio.scans++;
    return 0;
}

uint8_t bssid_of(uint8_t last) {
    return last;
}

wpa_scan_results *t_results(void *) {
    std::vector<ScanEntry> entries;
    for (const Ap &ap : radio.aps) {
        ScanEntry e;
        const uint8_t b[6] = {0x02, 0x00, 0x00, 0x00, 0x00, bssid_of(ap.last)};
        memcpy(e.bssid, b, 6);
        e.freq = ap.freq;
        e.level = ap.level;
        e.caps = ap.caps;
        e.ies = cat({ie(0, Bytes(ap.ssid.begin(), ap.ssid.end())),
                     ap.extra.empty() ? (ap.freq > 4000 ? Rates5 : Rates24) : Bytes{}, ap.extra});
        entries.push_back(e);
    }
    return scan_results(entries);
}

int t_get_ssid(void *, uint8_t *ssid) {
    if (radio.cur_ssid.empty()) return -1;
    memcpy(ssid, radio.cur_ssid.data(), radio.cur_ssid.size());
    return static_cast<int>(radio.cur_ssid.size());
}
int t_get_bssid(void *, uint8_t *bssid) {
    if (radio.bssid_fails) return -1;
    memcpy(bssid, radio.cur_bssid, 6);
    return 0;
}

hw_mode_info *t_hw(void *, uint16_t *num, uint16_t *) {
    auto *modes = static_cast<hw_mode_info *>(calloc(2, sizeof(hw_mode_info)));
    const int g[] = {2412, 2437, 2462};
    const int g_rates[] = {10, 20, 55, 110, 60, 90, 120, 180, 240, 360, 480, 540};
    const int a[] = {5180, 5200};
    const int a_rates[] = {60, 90, 120, 180, 240, 360, 480, 540};
    auto fill = [](hw_mode_info &m, int mode, const int *freqs, int nf, const int *rates, int nr) {
        m.mode = mode;
        m.num_channels = nf;
        m.channels = static_cast<hw_channel_info *>(calloc(static_cast<size_t>(nf), sizeof(hw_channel_info)));
        for (int i = 0; i < nf; i++)
            m.channels[i].freq = freqs[i];
        m.num_rates = nr;
        m.rates = static_cast<int *>(calloc(static_cast<size_t>(nr), sizeof(int)));
        memcpy(m.rates, rates, static_cast<size_t>(nr) * sizeof(int));
    };
    fill(modes[0], HW_MODE_IEEE80211G, g, 3, g_rates, 12);
    fill(modes[1], HW_MODE_IEEE80211A, a, 2, a_rates, 8);
    modes[0].ht_capab = modes[1].ht_capab = radio.ht ? 0x0001 : 0;
    modes[1].vht_capab = radio.vht ? 0x1 : 0;
    *num = 2;
    return modes;
}

const wpa_driver_ops tsel = [] {
    wpa_driver_ops o = ops("tsel", "scripted selection");
    o.get_capa = t_get_capa;
    o.scan = t_scan;
    o.get_scan_results = t_results;
    o.get_hw_feature_data = t_hw;
    o.get_ssid = t_get_ssid;
    o.get_bssid = t_get_bssid;
    return o;
}();
const wpa_driver_ops *const drivers[] = {&tsel, nullptr};

std::string mac(uint8_t last) {
    char b[18];
    snprintf(b, sizeof(b), "02:00:00:00:00:%02x", last);
    return b;
}

void shift_back(os_reltime *t, double secs) {
    if (t->sec == 0 && t->usec == 0) return;
    auto whole = static_cast<int64_t>(secs);
    t->sec -= whole;
    t->usec -= static_cast<int64_t>((secs - static_cast<double>(whole)) * 1e6 + 0.5);
    while (t->usec < 0) {
        t->usec += 1000000;
        t->sec--;
    }
}

struct Select : Supplicant {
    void SetUp() override {
        radio = FakeRadio{};
        ASSERT_NO_FATAL_FAILURE(start(drivers));
        reopen();
    }
    // A fresh interface, for settings the radio reports at creation.
    void reopen() {
        if (iface) supplicant_remove_iface(global, iface, 0);
        iface = add_iface("wlan0", "tsel");
        ASSERT_NE(iface, nullptr);
        eloop_run_due(0, 0);
        events.clear();
    }
    // The fake clock: span seconds pass.
    void pass(double secs) {
        for (wpa_network *s = iface->conf->ssid; s; s = s->next)
            shift_back(&s->disabled_until, secs);
        shift_back(&iface->last_scan, secs);
        run(secs);
    }
    wpa_network *net(int id) { return wpa_config_get_network(iface->conf, id); }
    // A network set through the control words, enabled but without a scan of its own.
    int add(const std::string &ssid, std::vector<std::pair<std::string, std::string>> fields = {}) {
        int id = std::stoi(cmd("ADD_NETWORK"));
        std::string p = "SET_NETWORK " + std::to_string(id) + " ";
        EXPECT_EQ(cmd(p + "ssid \"" + ssid + "\""), "OK\n");
        if (fields.empty()) fields = {{"key_mgmt", "NONE"}};
        for (auto &f : fields)
            EXPECT_EQ(cmd(p + f.first + " " + f.second), "OK\n") << f.first;
        net(id)->disabled = 0;
        return id;
    }
    // The scripted APs become the last scan's results.
    void load(std::vector<Ap> aps) {
        radio.aps = std::move(aps);
        ASSERT_EQ(supplicant_update_scan_results(iface), 0);
    }
    wpa_bss *bss(uint8_t last) {
        const uint8_t b[6] = {0x02, 0, 0, 0, 0, last};
        return wpa_bss_get_bssid_latest(iface, b);
    }
    // The last octet of the picked BSS, or 0 for none.
    int picked(wpa_network **ssid = nullptr) {
        wpa_network *s = nullptr;
        wpa_bss *b = supplicant_pick_network(iface, &s);
        if (ssid) *ssid = s;
        return b ? b->bssid[5] : 0;
    }
    std::vector<std::string> associations() { return matching("<2>Request association with "); }
    // A connect decision starts a real attempt, which holds the radio until it ends: end it
    // as a rejected association does (radio free, nothing pending, disconnected).
    void end_attempt() {
        supp_connect_work_done(iface);
        memset(iface->pending_bssid, 0, 6);
        supplicant_set_state(iface, WPA_DISCONNECTED);
    }
    // The next scan comes after about ms: not at 60 % of it, but by 110 %.
    void expect_scan_after(int ms) {
        int before = radio.scans;
        pass(ms * 0.6 / 1000);
        EXPECT_EQ(radio.scans, before) << ms << " ms";
        pass(ms * 0.5 / 1000);
        EXPECT_EQ(radio.scans, before + 1) << ms << " ms";
    }
};

// ------------------------------------------------------------------ roaming decision

TEST_F(Select, RoamingDecisionAtItsBoundaries) {
    int id = add("lab");
    load({{1, "lab", -60}, {2, "lab", -60}});
    wpa_bss *cur = bss(1), *sel = bss(2);
    ASSERT_TRUE(cur && sel);
    memcpy(iface->bssid, cur->bssid, 6);
    struct Row {
        int cur_level, cur_freq, sel_level, sel_freq;
        int roam;
    } rows[] = {
        {-78, 2412, -74, 2412, 1}, // minimum 3, difference 4
        {-72, 2412, -70, 2412, 0}, // minimum 4, difference 2
        {-75, 2412, -71, 2412, 1},
        {-71, 2412, -67, 2412, 1},
        {-70, 2412, -66, 2412, 0},
        {-70, 2412, -65, 2412, 1},
        {-81, 2412, -79, 2412, 1},
        {-81, 2412, -80, 2412, 0},
        {-86, 2412, -85, 2412, 1},
        {-86, 2412, -86, 2412, 0},
        {-60, 2412, -62, 2412, 0},
        // To 5 GHz: weak current links move at once, the others need 2 dB less.
        {-83, 2412, -85, 5180, 1},
        {-83, 2412, -86, 5180, 0},
        {-90, 2412, -91, 5180, 1},
        {-70, 2412, -67, 5180, 1},
        {-70, 2412, -68, 5180, 0},
        {-60, 2412, -61, 5180, 0},
        {-76, 2412, -75, 5180, 1},
        {-60, 5180, -56, 5200, 0},
        {-60, 5180, -55, 5200, 1},
        // Levels that are no dBm values.
        {40, 2412, 42, 2412, 1},
        {40, 2412, 41, 2412, 0},
        {40, 2412, 30, 5180, 1},
    };
    for (const Row &r : rows) {
        cur->level = r.cur_level;
        cur->freq = r.cur_freq;
        sel->level = r.sel_level;
        sel->freq = r.sel_freq;
        cur->est_throughput = sel->est_throughput = 11000;
        EXPECT_EQ(supplicant_need_to_roam(iface, sel, net(id)), r.roam)
            << r.cur_level << "@" << r.cur_freq << " -> " << r.sel_level << "@" << r.sel_freq;
    }

    // Equal levels: throughput decides once it is more than 5000 kbit/s better.
    cur->level = sel->level = -60;
    cur->freq = sel->freq = 2412;
    sel->est_throughput = cur->est_throughput + 5000;
    EXPECT_EQ(supplicant_need_to_roam(iface, sel, net(id)), 0);
    sel->est_throughput = cur->est_throughput + 5001;
    EXPECT_EQ(supplicant_need_to_roam(iface, sel, net(id)), 1);
    sel->est_throughput = cur->est_throughput;

    // The picked BSS is the current one; a network that names the picked BSSID; a current
    // BSS missing from the last scan; no current BSS at all; a driver that roams itself.
    EXPECT_EQ(supplicant_need_to_roam(iface, cur, net(id)), 0);
    ASSERT_EQ(cmd("BSSID " + std::to_string(id) + " " + mac(2)), "OK\n");
    EXPECT_EQ(supplicant_need_to_roam(iface, sel, net(id)), 1);
    ASSERT_EQ(cmd("BSSID " + std::to_string(id) + " 00:00:00:00:00:00"), "OK\n");
    EXPECT_EQ(supplicant_need_to_roam(iface, sel, net(id)), 0);
    cur->last_update_idx--;
    EXPECT_EQ(supplicant_need_to_roam(iface, sel, net(id)), 1);
    cur->last_update_idx++;
    iface->drv_flags |= WPA_DRIVER_FLAGS_BSS_SELECTION;
    cur->last_update_idx--;
    EXPECT_EQ(supplicant_need_to_roam(iface, sel, net(id)), 0);
    iface->drv_flags = 0;
    memset(iface->bssid, 0, 6);
    EXPECT_EQ(supplicant_need_to_roam(iface, sel, net(id)), 1);
}

// ------------------------------------------------------------------ matching

TEST_F(Select, MatchingChecksSecurityPrivacyAddressesAndFrequencies) {
    struct Row {
        const char *what;
        std::vector<std::pair<std::string, std::string>> fields;
        Ap ap;
        bool match;
    } rows[] = {
        {"open", {{"key_mgmt", "NONE"}}, {1, "lab"}, true},
        {"other SSID", {{"key_mgmt", "NONE"}}, {1, "lap"}, false},
        {"open network, private AP", {{"key_mgmt", "NONE"}}, {1, "lab", -50, 2412, 0x11}, false},
        {"mixed cell", {{"key_mgmt", "NONE"}, {"mixed_cell", "1"}}, {1, "lab", -50, 2412, 0x11}, true},
        {"RSN",
         {{"key_mgmt", "WPA-PSK"}, {"psk", "\"passphrase\""}},
         {1, "lab", -50, 2412, 0x11, rsn_psk()},
         true},
        {"RSN requiring MFP",
         {{"key_mgmt", "WPA-PSK"}, {"psk", "\"passphrase\""}},
         {1, "lab", -50, 2412, 0x11, rsn_psk(0x00c0)},
         false},
        {"WPA only against RSN",
         {{"key_mgmt", "WPA-PSK"}, {"psk", "\"passphrase\""}, {"proto", "WPA"}},
         {1, "lab", -50, 2412, 0x11, rsn_psk()},
         false},
        {"WPA",
         {{"key_mgmt", "WPA-PSK"}, {"psk", "\"passphrase\""}},
         {1, "lab", -50, 2412, 0x11, wpa_psk()},
         true},
        {"CCMP only against TKIP",
         {{"key_mgmt", "WPA-PSK"}, {"psk", "\"passphrase\""}, {"pairwise", "CCMP"}},
         {1, "lab", -50, 2412, 0x11, wpa_psk()},
         false},
        {"PSK network, open AP", {{"key_mgmt", "WPA-PSK"}, {"psk", "\"passphrase\""}}, {1, "lab"}, false},
        {"static WEP, RSN AP",
         {{"key_mgmt", "NONE"}, {"wep_key0", "\"abcde\""}},
         {1, "lab", -50, 2412, 0x11, rsn_psk()},
         false},
        {"static WEP", {{"key_mgmt", "NONE"}, {"wep_key0", "\"abcde\""}}, {1, "lab", -50, 2412, 0x11}, true},
        {"IBSS", {{"key_mgmt", "NONE"}}, {1, "lab", -50, 2412, 0x02}, false},
        {"fixed other BSSID", {{"key_mgmt", "NONE"}, {"bssid", mac(9)}}, {1, "lab"}, false},
        {"fixed BSSID", {{"key_mgmt", "NONE"}, {"bssid", mac(1)}}, {1, "lab"}, true},
        {"BSSID blacklist",
         {{"key_mgmt", "NONE"}, {"bssid_blacklist", "02:00:00:00:00:00/ff:ff:ff:ff:ff:f0"}},
         {1, "lab"},
         false},
        {"BSSID whitelist miss", {{"key_mgmt", "NONE"}, {"bssid_whitelist", mac(2)}}, {1, "lab"}, false},
        {"BSSID whitelist", {{"key_mgmt", "NONE"}, {"bssid_whitelist", mac(1)}}, {1, "lab"}, true},
        {"frequency list miss", {{"key_mgmt", "NONE"}, {"freq_list", "2437 2462"}}, {1, "lab"}, false},
        {"frequency list", {{"key_mgmt", "NONE"}, {"freq_list", "2412"}}, {1, "lab"}, true},
        {"unsupported basic rate", {{"key_mgmt", "NONE"}}, {1, "lab", -50, 2412, 0x01, ie(1, {0x81})}, false},
        {"channel the radio lacks", {{"key_mgmt", "NONE"}}, {1, "lab", -50, 5500}, false},
    };
    for (const Row &r : rows) {
        cmd("REMOVE_NETWORK all");
        int id = add("lab", r.fields);
        load({r.ap});
        wpa_network *s = nullptr;
        EXPECT_EQ(picked(&s), r.match ? 1 : 0) << r.what;
        EXPECT_EQ(s, r.match ? net(id) : nullptr) << r.what;
    }
}

TEST_F(Select, BasicRatesNeedingHtOrVhtNeedThemInTheRadio) {
    // 126 asks for VHT, 127 for HT, each as a basic rate.
    const Ap vht_only{1, "lab", -50, 5180, 0x0001, ie(1, {0x8c, 0xfe})};
    const Ap ht_only{1, "lab", -50, 2412, 0x0001, ie(1, {0x82, 0xff})};
    struct Row {
        bool ht, vht;
        Ap ap;
        bool match;
    } rows[] = {
        {true, false, vht_only, false},
        {true, true, vht_only, true},
        {true, false, ht_only, true},
        {false, false, ht_only, false},
    };
    for (const Row &r : rows) {
        radio.ht = r.ht;
        radio.vht = r.vht;
        reopen();
        cmd("REMOVE_NETWORK all");
        add("lab");
        load({r.ap});
        EXPECT_EQ(picked(), r.match ? 1 : 0) << "ht " << r.ht << " vht " << r.vht << " freq " << r.ap.freq;
    }
}

TEST_F(Select, PriorityGroupsComeFirstAndTheNextNetworkLeadsItsGroup) {
    int low = add("low"), high = add("high"), peer = add("peer");
    cmd("SET_NETWORK " + std::to_string(high) + " priority 5");
    cmd("SET_NETWORK " + std::to_string(peer) + " priority 5");
    load({{1, "low", -30}, {2, "high", -80}, {3, "peer", -60}});
    wpa_network *s = nullptr;
    EXPECT_EQ(picked(&s), 3); // the group of priority 5, its best BSS
    EXPECT_EQ(s, net(peer));
    iface->next_ssid = net(high);
    EXPECT_EQ(picked(&s), 2);
    EXPECT_EQ(s, net(high));
    EXPECT_EQ(iface->next_ssid, nullptr); // tried once, then forgotten
    cmd("DISABLE_NETWORK " + std::to_string(high));
    cmd("DISABLE_NETWORK " + std::to_string(peer));
    EXPECT_EQ(picked(&s), 1);
    EXPECT_EQ(s, net(low));
}

// ------------------------------------------------------------------ blacklist

TEST_F(Select, BlacklistLimitDependsOnTheNumberOfEnabledNetworks) {
    add("lab");
    load({{1, "lab", -40}, {2, "lab", -70}});
    uint8_t strong[6] = {0x02, 0, 0, 0, 0, 1};

    // One enabled network: a single failure passes the BSS over.
    ASSERT_EQ(wpa_blacklist_add(iface, strong), 1);
    EXPECT_EQ(picked(), 2);

    // Two enabled networks: it takes two.
    add("elsewhere");
    EXPECT_EQ(picked(), 1);
    ASSERT_EQ(wpa_blacklist_add(iface, strong), 2);
    EXPECT_EQ(picked(), 2);
    EXPECT_EQ(iface->blacklist_cleared, 0u);
}

TEST_F(Select, EveryCandidateBlacklistedClearsTheListAndTakesTheBest) {
    add("lab");
    load({{1, "lab", -40}, {2, "lab", -70}});
    ASSERT_EQ(cmd("BLACKLIST " + mac(2)), "OK\n");
    ASSERT_EQ(cmd("BLACKLIST " + mac(1)), "OK\n");
    ASSERT_EQ(cmd("BLACKLIST " + mac(1)), "OK\n");
    EXPECT_EQ(cmd("BLACKLIST"), mac(1) + "\n" + mac(2) + "\n"); // newest first
    EXPECT_EQ(wpa_blacklist_get(iface, bss(1)->bssid)->count, 4);
    EXPECT_EQ(picked(), 1);
    EXPECT_EQ(iface->blacklist, nullptr);
    EXPECT_EQ(iface->blacklist_cleared, 1u);
    EXPECT_EQ(iface->extra_blacklist_count, 4); // the largest count
    EXPECT_EQ(cmd("BLACKLIST"), "");
}

TEST_F(Select, BlacklistCommandWords) {
    struct Row {
        const char *cmd;
        const char *reply;
    } rows[] = {
        {"BLACKLIST 02:00:00:00:00:07", "OK\n"},
        {"BLACKLIST 02:00:00:00:00", "FAIL\n"},
        {"BLACKLIST zz:00:00:00:00:07", "FAIL\n"},
        {"BLACKLISTclear", "FAIL\n"},
        {"BLACKLIST", "02:00:00:00:00:07\n"},
        {"BLACKLIST clear", "OK\n"},
        {"BLACKLIST", ""},
    };
    for (const Row &r : rows)
        EXPECT_EQ(cmd(r.cmd), r.reply) << r.cmd;
    EXPECT_EQ(iface->extra_blacklist_count, 2);

    int id = add("lab");
    struct Bssid {
        std::string cmd, reply;
        int set;
    } bssids[] = {
        {"BSSID " + std::to_string(id) + " " + mac(5), "OK\n", 1},
        {"BSSID " + std::to_string(id) + " 00:00:00:00:00:00", "OK\n", 0},
        {"BSSID " + std::to_string(id + 1) + " " + mac(5), "FAIL\n", 0},
        {"BSSID " + std::to_string(id), "FAIL\n", 0},
        {"BSSID x " + mac(5), "FAIL\n", 0},
    };
    for (const Bssid &b : bssids) {
        EXPECT_EQ(cmd(b.cmd), b.reply) << b.cmd;
        EXPECT_EQ(net(id)->bssid_set, b.set) << b.cmd;
    }
}

// ------------------------------------------------------------------ back-off

TEST_F(Select, ConnectionFailuresBackOffThenDisableTheNetwork) {
    int id = add("lab");
    load({{1, "lab", -50}});
    wpa_network *ssid = net(id);
    const uint8_t *failed = bss(1)->bssid;
    iface->current_ssid = ssid;
    iface->current_bss = bss(1);
    // Each failure blacklists the only AP; the scan that follows finds nothing else, so
    // the list is cleared and its count carried over, and the AP is tried again.
    for (int ms : {100, 500, 1000}) {
        events.clear();
        end_attempt();
        supplicant_cancel_scan(iface);
        supp_connection_failed(iface, failed);
        EXPECT_TRUE(matching("<3>CTRL-EVENT-SSID-TEMP-DISABLED").empty());
        expect_scan_after(ms);
        finish_scan();
        EXPECT_EQ(associations(), std::vector<std::string>{"<2>Request association with " + mac(1)}) << ms;
    }
    events.clear();
    end_attempt();
    supplicant_cancel_scan(iface);
    supp_connection_failed(iface, failed);
    EXPECT_EQ(matching("<3>CTRL-EVENT-SSID-TEMP-DISABLED"),
              std::vector<std::string>{"<3>CTRL-EVENT-SSID-TEMP-DISABLED id=0 ssid=\"lab\" auth_failures=1 "
                                       "duration=10 reason=CONN_FAILED"});
    expect_scan_after(5000);

    // The scan finds the AP, but the network is disabled for a while: the interface waits
    // for its end instead, and tries again then.
    events.clear();
    finish_scan();
    EXPECT_TRUE(associations().empty());
    pass(4);
    EXPECT_TRUE(matching("<3>CTRL-EVENT-SSID-REENABLED").empty());
    int before = radio.scans;
    pass(2);
    EXPECT_EQ(radio.scans, before + 1);
    finish_scan();
    EXPECT_EQ(matching("<3>CTRL-EVENT-SSID-REENABLED"),
              std::vector<std::string>{"<3>CTRL-EVENT-SSID-REENABLED id=0 ssid=\"lab\""});
    EXPECT_EQ(associations(), std::vector<std::string>{"<2>Request association with " + mac(1)});
    EXPECT_EQ(ssid->auth_failures, 1); // kept until a connection completes
}

TEST_F(Select, FirstFailureSteersTheNextScanToTheOtherApsOfTheNetwork) {
    add("lab");
    load({{1, "lab", -40, 2412}, {2, "lab", -60, 2462}, {3, "lab", -70, 2437}, {4, "other", -50, 5180}});
    uint8_t third[6] = {0x02, 0, 0, 0, 0, 3};
    wpa_blacklist_add(iface, third);
    iface->current_bss = bss(1);
    supp_connection_failed(iface, bss(1)->bssid);
    EXPECT_EQ(wpa_blacklist_get(iface, bss(1)->bssid)->count, 2); // passed over once more
    ASSERT_NE(iface->next_scan_freqs, nullptr);
    EXPECT_EQ(std::vector<int>(iface->next_scan_freqs,
                               iface->next_scan_freqs + int_array_len(iface->next_scan_freqs)),
              std::vector<int>{2462});
}

TEST_F(Select, TemporaryDisableDurations) {
    int psk = add("lab", {{"key_mgmt", "WPA-PSK"}, {"psk", "\"passphrase\""}});
    int eap = add("corp", {{"key_mgmt", "WPA-EAP"}});
    struct Row {
        int network;
        int failures_before;
        int min, max;
    } rows[] = {
        {psk, 0, 10, 10},    {psk, 1, 20, 20}, {psk, 2, 30, 30}, {psk, 3, 60, 60},
        {psk, 4, 60, 60},    {psk, 5, 90, 90}, {psk, 9, 90, 90}, {psk, 10, 120, 120},
        {psk, 50, 300, 300}, {eap, 0, 10, 10}, {eap, 1, 20, 39}, {eap, 5, 90, 149},
    };
    for (const Row &r : rows) {
        wpa_network *s = net(r.network);
        // Many tries for the random part of 802.1X networks.
        for (int k = 0; k < (r.min == r.max ? 1 : 60); k++) {
            events.clear();
            s->auth_failures = r.failures_before;
            s->disabled_until = {0, 0};
            iface->current_ssid = s;
            supp_auth_failed(iface, "WRONG_KEY");
            auto lines = matching("<3>CTRL-EVENT-SSID-TEMP-DISABLED");
            ASSERT_EQ(lines.size(), 1u);
            int duration = -1;
            unsigned int n = 0;
            const char *p = strstr(lines[0].c_str(), "auth_failures=");
            ASSERT_EQ(sscanf(p, "auth_failures=%u duration=%d", &n, &duration), 2) << lines[0];
            EXPECT_EQ(n, static_cast<unsigned int>(r.failures_before + 1));
            EXPECT_GE(duration, r.min) << lines[0];
            EXPECT_LE(duration, r.max) << lines[0];
            EXPECT_NE(lines[0].find(" reason=WRONG_KEY"), std::string::npos);
            EXPECT_GE(supp_temp_disabled(iface, s), duration - 1);
            EXPECT_LE(supp_temp_disabled(iface, s), duration);
        }
    }

    // A later failure whose end would come earlier leaves the longer disable in place.
    wpa_network *s = net(psk);
    s->auth_failures = 0;
    os_get_reltime(&s->disabled_until);
    s->disabled_until.sec += 100;
    os_reltime before = s->disabled_until;
    events.clear();
    iface->current_ssid = s;
    supp_auth_failed(iface, "WRONG_KEY");
    EXPECT_TRUE(matching("<3>CTRL-EVENT-SSID-TEMP-DISABLED").empty());
    EXPECT_EQ(s->disabled_until.sec, before.sec);
    EXPECT_EQ(s->disabled_until.usec, before.usec);
    EXPECT_EQ(s->auth_failures, 1);

    // No current network, or a WPS one: nothing is counted.
    int wps = add("wps", {{"key_mgmt", "WPS"}});
    iface->current_ssid = net(wps);
    supp_auth_failed(iface, "WRONG_KEY");
    EXPECT_EQ(net(wps)->auth_failures, 0);
    iface->current_ssid = nullptr;
    supp_auth_failed(iface, "WRONG_KEY");
}

TEST_F(Select, SelectingEndsATemporaryDisableAndDisablesTheOthers) {
    int a = add("lab"), b = add("other");
    iface->current_ssid = net(a);
    supp_auth_failed(iface, "WRONG_KEY");
    iface->current_ssid = nullptr;
    ASSERT_GT(supp_temp_disabled(iface, net(a)), 0);
    events.clear();
    EXPECT_EQ(cmd("SELECT_NETWORK " + std::to_string(a)), "OK\n");
    EXPECT_EQ(matching("<3>CTRL-EVENT-SSID-REENABLED"),
              std::vector<std::string>{"<3>CTRL-EVENT-SSID-REENABLED id=0 ssid=\"lab\""});
    EXPECT_EQ(net(a)->auth_failures, 0);
    EXPECT_EQ(net(a)->disabled, 0);
    EXPECT_EQ(net(b)->disabled, 1);
    EXPECT_EQ(iface->current_ssid, net(a));
    EXPECT_TRUE(supplicant_scan_pending(iface));
    EXPECT_EQ(cmd("SELECT_NETWORK any"), "OK\n");
    EXPECT_EQ(net(b)->disabled, 0);
    EXPECT_EQ(cmd("SELECT_NETWORK 9"), "FAIL\n");
    EXPECT_EQ(cmd("SELECT_NETWORK " + std::to_string(a) + " freq=2412-2437"), "OK\n");
    ASSERT_NE(iface->manual_scan_freqs, nullptr);
    EXPECT_EQ(int_array_len(iface->manual_scan_freqs), 2u);
    EXPECT_EQ(cmd("SELECT_NETWORK " + std::to_string(a) + " freq=x"), "FAIL\n");
}

TEST_F(Select, SelectingTheCurrentNetworkWhileCompletedOnlyDisablesTheOthers) {
    int a = add("lab"), b = add("other"), c = add("third");
    iface->current_ssid = net(a);
    iface->wpa_state = WPA_COMPLETED;
    supplicant_cancel_scan(iface);
    events.clear();
    EXPECT_EQ(cmd("SELECT_NETWORK " + std::to_string(a)), "OK\n");
    EXPECT_EQ(net(a)->disabled, 0);
    EXPECT_EQ(net(b)->disabled, 1);
    EXPECT_EQ(net(c)->disabled, 1);
    EXPECT_EQ(iface->current_ssid, net(a));
    EXPECT_EQ(iface->wpa_state, WPA_COMPLETED);
    EXPECT_EQ(iface->own_disconnect_req, 0);
    EXPECT_FALSE(supplicant_scan_pending(iface));
    EXPECT_TRUE(events.empty());
}

TEST_F(Select, RemovingTheCurrentNetworkIsNoConnectionFailure) {
    int a = add("lab");
    add("other");
    load({{1, "lab"}});
    iface->current_ssid = net(a);
    iface->current_bss = bss(1);
    iface->wpa_state = WPA_COMPLETED;
    supplicant_cancel_scan(iface);
    EXPECT_EQ(cmd("REMOVE_NETWORK " + std::to_string(a)), "OK\n");
    EXPECT_EQ(iface->own_disconnect_req, 1);
    EXPECT_EQ(iface->current_ssid, nullptr);
    EXPECT_EQ(net(a), nullptr);
    // The driver reports the loss that the removal caused: no blacklist, no back-off.
    supp_connection_failed(iface, bss(1)->bssid);
    EXPECT_EQ(iface->blacklist, nullptr);
    EXPECT_EQ(iface->own_disconnect_req, 0);
    EXPECT_FALSE(supplicant_scan_pending(iface));
    EXPECT_EQ(cmd("REMOVE_NETWORK " + std::to_string(a)), "FAIL\n");
    EXPECT_EQ(supplicant_remove_network(iface, a), -1);

    // All of them, the current one among them; FLUSH also empties the blacklist.
    int c = add("third");
    iface->current_ssid = net(c);
    iface->next_ssid = net(c);
    iface->wpa_state = WPA_ASSOCIATED;
    EXPECT_EQ(cmd("REMOVE_NETWORK all"), "OK\n");
    EXPECT_EQ(iface->conf->ssid, nullptr);
    EXPECT_EQ(iface->current_ssid, nullptr);
    EXPECT_EQ(iface->next_ssid, nullptr);
    EXPECT_EQ(iface->own_disconnect_req, 1);
    EXPECT_EQ(cmd("REMOVE_NETWORK all"), "OK\n");
    EXPECT_EQ(cmd("BLACKLIST " + mac(1)), "OK\n");
    EXPECT_EQ(cmd("FLUSH"), "OK\n");
    EXPECT_EQ(cmd("BLACKLIST"), "");
}

// ------------------------------------------------------------------ fast associate and decisions

TEST_F(Select, FastAssociateReusesResultsUpToFiveSecondsOld) {
    add("lab");
    EXPECT_EQ(supplicant_fast_associate(iface), -1); // no results yet
    load({{1, "lab"}});
    struct Row {
        double age;
        int result;
    } rows[] = {{4.9, 1}, {5.1, -1}};
    for (const Row &r : rows) {
        events.clear();
        os_get_reltime(&iface->last_scan);
        shift_back(&iface->last_scan, r.age);
        EXPECT_EQ(supplicant_fast_associate(iface), r.result) << r.age;
        EXPECT_EQ(associations().size(), r.result == 1 ? 1u : 0u) << r.age;
    }
    // Recent results without a match: 0, and no scan is asked for by the attempt itself.
    load({{2, "elsewhere"}});
    supplicant_cancel_scan(iface);
    EXPECT_EQ(supplicant_fast_associate(iface), 0);
    EXPECT_FALSE(supplicant_scan_pending(iface));
}

TEST_F(Select, ReassociateConnectsFromRecentResultsAndDisconnectStaysDown) {
    add("lab");
    load({{1, "lab"}});
    events.clear();
    EXPECT_EQ(cmd("DISCONNECT"), "OK\n");
    EXPECT_EQ(iface->disconnected, 1);
    EXPECT_FALSE(supplicant_scan_pending(iface));
    EXPECT_EQ(cmd("RECONNECT"), "OK\n");
    EXPECT_EQ(iface->disconnected, 0);
    EXPECT_EQ(associations().size(), 1u);
    events.clear();
    EXPECT_EQ(cmd("REASSOCIATE"), "OK\n");
    EXPECT_EQ(associations().size(), 1u);
    EXPECT_EQ(cmd("REATTACH"), "FAIL\n"); // no current network
    // Old results: a scan instead.
    shift_back(&iface->last_scan, 6);
    supplicant_cancel_scan(iface);
    events.clear();
    EXPECT_EQ(cmd("REASSOCIATE"), "OK\n");
    EXPECT_TRUE(associations().empty());
    EXPECT_TRUE(supplicant_scan_pending(iface));
}

TEST_F(Select, EnablingStartsAnAttemptOnlyWhenIdle) {
    int id = add("lab");
    cmd("DISABLE_NETWORK " + std::to_string(id));
    supplicant_cancel_scan(iface);
    EXPECT_EQ(cmd("ENABLE_NETWORK " + std::to_string(id) + " no-connect"), "OK\n");
    EXPECT_FALSE(supplicant_scan_pending(iface));
    cmd("DISABLE_NETWORK " + std::to_string(id));
    EXPECT_EQ(cmd("ENABLE_NETWORK " + std::to_string(id)), "OK\n");
    EXPECT_TRUE(supplicant_scan_pending(iface));
    EXPECT_EQ(cmd("ENABLE_NETWORK " + std::to_string(id) + " now"), "FAIL\n");
    EXPECT_EQ(cmd("ENABLE_NETWORK 7"), "FAIL\n");

    // Connected elsewhere: enabling another network does not disturb the link.
    int other = add("other");
    cmd("DISABLE_NETWORK " + std::to_string(other));
    iface->current_ssid = net(id);
    iface->wpa_state = WPA_COMPLETED;
    iface->reassociate = 0;
    supplicant_cancel_scan(iface);
    EXPECT_EQ(cmd("ENABLE_NETWORK " + std::to_string(other)), "OK\n");
    EXPECT_FALSE(supplicant_scan_pending(iface));
}

TEST_F(Select, AssociatedElsewhereLeavesTheCurrentNetworkForThePickedOne) {
    int a = add("lab"), b = add("other");
    load({{1, "other", -40}});
    iface->current_ssid = net(a);
    iface->wpa_state = WPA_COMPLETED;
    iface->reassociate = 0;
    EXPECT_EQ(supp_select_network_from_last_scan(iface, 1, 1), 1);
    EXPECT_EQ(associations(), std::vector<std::string>{"<2>Request association with " + mac(1)});
    // The new attempt starts afresh: the mark of the disconnect asked for is cleared again.
    EXPECT_EQ(iface->own_disconnect_req, 0);
    end_attempt();

    // The picked BSS is the current one: stay.
    events.clear();
    iface->own_disconnect_req = 0;
    iface->current_ssid = net(b);
    memcpy(iface->bssid, bss(1)->bssid, 6);
    EXPECT_EQ(supp_select_network_from_last_scan(iface, 1, 1), 0);
    EXPECT_TRUE(associations().empty());
    EXPECT_EQ(iface->own_disconnect_req, 0);
}

TEST_F(Select, RoamsToAClearlyStrongerApOfTheCurrentNetwork) {
    int id = add("lab");
    iface->current_ssid = net(id);
    iface->wpa_state = WPA_COMPLETED;
    struct Row {
        int cur, cand;
        bool roam;
    } rows[] = {{-80, -70, true}, {-70, -68, false}};
    for (const Row &r : rows) {
        events.clear();
        load({{1, "lab", r.cur}, {2, "lab", r.cand}});
        memcpy(iface->bssid, bss(1)->bssid, 6);
        EXPECT_EQ(supp_select_network_from_last_scan(iface, 1, 1), r.roam ? 1 : 0) << r.cur << " " << r.cand;
        EXPECT_EQ(associations(), r.roam ? std::vector<std::string>{"<2>Request association with " + mac(2)}
                                         : std::vector<std::string>{})
            << r.cur << " " << r.cand;
        EXPECT_EQ(iface->own_disconnect_req, 0);
    }
}

TEST_F(Select, DriverReportedNetwork) {
    int fixed = add("lab");
    int any = add("lab");
    int by_bssid = add("unused");
    int wps = add("unused", {{"key_mgmt", "WPS"}});
    cmd("BSSID " + std::to_string(fixed) + " " + mac(1));
    net(by_bssid)->ssid.len = 0; // a network named by its BSSID alone
    cmd("BSSID " + std::to_string(by_bssid) + " " + mac(3));
    net(wps)->ssid.len = 0;
    struct Row {
        std::string ssid;
        uint8_t last;
        int id; // -1: none
    } rows[] = {
        {"lab", 1, fixed}, {"lab", 2, any}, {"elsewhere", 3, by_bssid}, {"elsewhere", 4, wps}, {"", 1, -1},
    };
    for (const Row &r : rows) {
        radio.cur_ssid = r.ssid;
        const uint8_t b[6] = {0x02, 0, 0, 0, 0, r.last};
        memcpy(radio.cur_bssid, b, 6);
        wpa_network *s = supplicant_get_ssid(iface);
        EXPECT_EQ(s, r.id < 0 ? nullptr : net(r.id)) << r.ssid << " " << int(r.last);
    }
    EXPECT_EQ(matching("<4>Could not read SSID from driver").size(), 1u);
    radio.cur_ssid = "lab";
    radio.bssid_fails = true;
    EXPECT_EQ(supplicant_get_ssid(iface), nullptr);
    EXPECT_EQ(matching("<4>Could not read BSSID from driver").size(), 1u);
    // A disabled network is not reported.
    radio.bssid_fails = false;
    cmd("DISABLE_NETWORK " + std::to_string(fixed));
    EXPECT_EQ(supplicant_get_ssid(iface), net(any));
}

} // namespace
