// Scanning, the BSS table, radio works and their control commands, driven through a test
// back end ("tscan") whose scans and results the tests script, with the event loop's
// timeouts run without waiting.
#include "wireless/common/ieee802_11_common.h"
#include "wireless/core/bgscan.h"
#include "wireless/core/bss.h"
#include "wireless/core/config.h"
#include "wireless/core/ctrl_iface.h"
#include "wireless/core/ctrl_scan.h"
#include "wireless/core/eloop.h"
#include "wireless/core/radio_work.h"
#include "wireless/core/scan.h"
#include "wireless/core/sched_scan.h"
#include "wireless/core/supplicant.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/core/wpabuf.h"
#include "wireless/rsn/wpa.h"

#include "driver_fake.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace driver_fake;

// ------------------------------------------------------------------ element builders

Bytes ssid_ie(const std::string &s) {
    return ie(0, Bytes(s.begin(), s.end()));
}

// RSN: CCMP group, the given pairwise suites, PSK, capabilities.
Bytes rsn_ie(std::initializer_list<uint8_t> pairwise = {4}, uint16_t caps = 0) {
    Bytes b{1, 0, 0x00, 0x0f, 0xac, 4, static_cast<uint8_t>(pairwise.size()), 0};
    for (uint8_t p : pairwise)
        b.insert(b.end(), {0x00, 0x0f, 0xac, p});
    b.insert(b.end(),
             {1, 0, 0x00, 0x0f, 0xac, 2, static_cast<uint8_t>(caps), static_cast<uint8_t>(caps >> 8)});
    return ie(48, b);
}

Bytes wpa_ie() {
    return ie(221, {0x00, 0x50, 0xf2, 1,    1, 0, 0x00, 0x50, 0xf2, 2,    1,
                    0,    0x00, 0x50, 0xf2, 2, 1, 0,    0x00, 0x50, 0xf2, 2});
}

Bytes p2p_ie() {
    return ie(221, {0x50, 0x6f, 0x9a, 0x09, 0x02, 0x02, 0x00, 0x25, 0x00});
}

Bytes rates_ie(std::initializer_list<uint8_t> rates) {
    return ie(1, Bytes(rates));
}

// ------------------------------------------------------------------ the test back end

using Ap = ScanEntry;

Ap make_ap(uint8_t last, const std::string &ssid, int level = -50, int freq = 2412, Bytes extra = {}) {
    Ap ap;
    const uint8_t b[6] = {0x02, 0x00, 0x00, 0x00, 0x00, last};
    memcpy(ap.bssid, b, 6);
    ap.level = level;
    ap.freq = freq;
    ap.ies = cat({ssid_ie(ssid), extra});
    return ap;
}

// What a scan asked for, as bits for the tables below.
constexpr unsigned int ONLY_NEW = 0x2, RANDOM_ADDR = 0x8;

struct ScanCall {
    std::vector<std::string> ssids;
    std::vector<int> freqs;
    unsigned int flags;
    Bytes extra_ies;
    bool has_mac;
};

struct FakeRadio {
    int scan_ret = 0;
    std::vector<ScanCall> scans;
    std::vector<Ap> aps;
    bool results_fail = false;
    int aborts = 0;
    int sched_ret = 0;
    std::vector<sched_scan_plan> plans;
    std::vector<std::string> sched_ssids;
    int sched_starts = 0, sched_stops = 0;
    wpa_driver_capa capa{};
    uint64_t flags = 0;
    int signal = -70;
    int monitor_threshold = 0;
    bool hw = true;
} radio;

int t_get_capa(void *, wpa_driver_capa *capa) {
    *capa = radio.capa;
    capa->flags = radio.flags;
    return 0;
}
int t_scan(void *, wpa_driver_scan_params *p) {
    ScanCall c{};
    for (size_t i = 0; i < p->num_ssids; i++)
        c.ssids.emplace_back(reinterpret_cast<const char *>(p->ssids[i].ssid), p->ssids[i].ssid_len);
    for (const int *f = p->freqs; f && *f; f++)
        c.freqs.push_back(*f);
    c.flags = (p->only_new_results ? ONLY_NEW : 0u) | (p->mac_addr_rand ? RANDOM_ADDR : 0u);
    if (p->extra_ies) c.extra_ies.assign(p->extra_ies, p->extra_ies + p->extra_ies_len);
    c.has_mac = p->mac_addr != nullptr;
    radio.scans.push_back(c);
    return radio.scan_ret;
}
wpa_scan_results *t_results(void *) {
    if (radio.results_fail) return nullptr;
    return scan_results(radio.aps);
}
int t_abort(void *) {
    radio.aborts++;
    return 0;
}
int t_sched_scan(void *, wpa_driver_scan_params *p) {
    radio.sched_starts++;
    radio.plans.assign(p->sched_scan_plans, p->sched_scan_plans + p->sched_scan_plans_num);
    radio.sched_ssids.clear();
    for (size_t i = 0; i < p->num_ssids; i++)
        radio.sched_ssids.emplace_back(reinterpret_cast<const char *>(p->ssids[i].ssid),
                                       p->ssids[i].ssid_len);
    return radio.sched_ret;
}
int t_stop_sched(void *) {
    radio.sched_stops++;
    return 0;
}
int t_signal_poll(void *, wpa_signal_info *si) {
    si->current_signal = radio.signal;
    return 0;
}
int t_signal_monitor(void *, int threshold, int) {
    radio.monitor_threshold = threshold;
    return 0;
}
hw_mode_info *t_hw(void *, uint16_t *num, uint16_t *) {
    if (!radio.hw) return nullptr;
    auto *modes = static_cast<hw_mode_info *>(calloc(2, sizeof(hw_mode_info)));
    modes[0].mode = HW_MODE_IEEE80211G;
    modes[0].num_channels = 3;
    modes[0].channels = static_cast<hw_channel_info *>(calloc(3, sizeof(hw_channel_info)));
    const int g[3] = {2412, 2437, 2462};
    for (int i = 0; i < 3; i++) {
        modes[0].channels[i].chan = static_cast<short>(i * 5 + 1);
        modes[0].channels[i].freq = g[i];
    }
    modes[1].mode = HW_MODE_IEEE80211A;
    modes[1].num_channels = 3;
    modes[1].channels = static_cast<hw_channel_info *>(calloc(3, sizeof(hw_channel_info)));
    const int a[3] = {5180, 5200, 5260};
    for (int i = 0; i < 3; i++) {
        modes[1].channels[i].chan = static_cast<short>(36 + i * 4 + (i == 2 ? 8 : 0));
        modes[1].channels[i].freq = a[i];
    }
    modes[1].channels[2].flag = 0x1; // disabled
    *num = 2;
    return modes;
}

const wpa_driver_ops tscan = [] {
    wpa_driver_ops o = ops("tscan", "scripted scans");
    o.get_capa = t_get_capa;
    o.get_radio_name = radio_name;
    o.scan = t_scan;
    o.get_scan_results = t_results;
    o.abort_scan = t_abort;
    o.sched_scan = t_sched_scan;
    o.stop_sched_scan = t_stop_sched;
    o.signal_poll = t_signal_poll;
    o.signal_monitor = t_signal_monitor;
    o.get_hw_feature_data = t_hw;
    return o;
}();
const wpa_driver_ops *const drivers[] = {&tscan, nullptr};

struct Scan : Supplicant {
    void SetUp() override {
        radio = FakeRadio{};
        radio.capa.max_scan_ssids = 4;
        ASSERT_NO_FATAL_FAILURE(start(drivers));
        iface = add("wlan0");
        ASSERT_NE(iface, nullptr);
        run(0);
        events.clear();
    }
    wpa_iface *add(const char *name) { return add_iface(name, "tscan"); }
    int add_network(const std::string &ssid, bool scan_ssid = false) {
        int id = std::stoi(cmd("ADD_NETWORK"));
        EXPECT_EQ(cmd("SET_NETWORK " + std::to_string(id) + " ssid \"" + ssid + "\""), "OK\n");
        EXPECT_EQ(cmd("SET_NETWORK " + std::to_string(id) + " key_mgmt NONE"), "OK\n");
        if (scan_ssid) {
            EXPECT_EQ(cmd("SET_NETWORK " + std::to_string(id) + " scan_ssid 1"), "OK\n");
        }
        EXPECT_EQ(cmd("SET_NETWORK " + std::to_string(id) + " disabled 0"), "OK\n");
        return id;
    }
};

// ------------------------------------------------------------------ radio works

std::vector<std::string> started;
void note_work(radio_work *work, int deinit) {
    started.push_back(std::string(deinit ? "deinit:" : "start:") + work->type);
}

TEST_F(Scan, RadioWorksStartOneAtATimeWithoutOffChannelSupport) {
    started.clear();
    ASSERT_EQ(radio_add_work(iface, 0, "connect", 0, note_work, nullptr), 0);
    ASSERT_EQ(radio_add_work(iface, 0, "scan", 0, note_work, nullptr), 0);
    ASSERT_EQ(radio_add_work(iface, 0, "gas-query", 1, note_work, nullptr), 0); // next: to the head
    run(0);
    ASSERT_EQ(started, (std::vector<std::string>{"start:gas-query"}));
    radio_work_done(iface->radio->works);
    run(0);
    EXPECT_EQ(started.back(), "start:connect");
    radio_work_done(iface->radio->works);
    run(0);
    EXPECT_EQ(started.back(), "start:scan");
    EXPECT_EQ(started.size(), 3u);
    radio_remove_works(iface, nullptr, 1);
    EXPECT_EQ(started.back(), "deinit:scan");
    EXPECT_EQ(iface->radio->works, nullptr);
}

TEST_F(Scan, OffChannelSimultaneousRunsDifferentBandsAndTypesTogether) {
    iface->drv_flags |= DRIVER_FLAG_OFFCHANNEL_SIMULTANEOUS;
    started.clear();
    wpa_driver_scan_params both{};
    static const int freqs[] = {2412, 5180, 0};
    both.freqs = freqs;
    ASSERT_EQ(radio_add_work(iface, 0, "scan", 0, note_work, &both), 0);
    ASSERT_EQ(radio_add_work(iface, 0, "scan", 0, note_work, &both), 0);
    ASSERT_EQ(radio_add_work(iface, 2412, "gas-query", 0, note_work, nullptr), 0);
    run(0);
    // The second scan is of the running type; the query on one band may run beside it.
    EXPECT_EQ(started, (std::vector<std::string>{"start:scan", "start:gas-query"}));
    EXPECT_EQ(iface->radio->num_active_works, 2u);

    // A connect never runs beside anything, and nothing passes it in the queue.
    radio_remove_works(iface, nullptr, 0);
    started.clear();
    ASSERT_EQ(radio_add_work(iface, 0, "p2p-scan", 0, note_work, &both), 0);
    ASSERT_EQ(radio_add_work(iface, 0, "connect", 0, note_work, nullptr), 0);
    ASSERT_EQ(radio_add_work(iface, 2412, "gas-query", 0, note_work, nullptr), 0);
    run(0);
    EXPECT_EQ(started, (std::vector<std::string>{"start:p2p-scan"}));
}

TEST_F(Scan, EndingAWorkClearsEveryInterfaceReference) {
    started.clear();
    ASSERT_EQ(cmd("SCAN"), "OK\n");
    run(0);
    ASSERT_NE(iface->scan_work, nullptr);
    radio_remove_works(iface, "scan", 0);
    EXPECT_EQ(iface->scan_work, nullptr);
    EXPECT_EQ(iface->scanning, 0);
}

// ------------------------------------------------------------------ scan requests

TEST_F(Scan, EarlierRequestWinsAndOnlyOneScanRuns) {
    add_network("net");
    for (auto order : {std::pair{5, 0}, std::pair{0, 5}}) {
        radio.scans.clear();
        supplicant_cancel_scan(iface);
        supplicant_req_scan(iface, order.first, 0);
        supplicant_req_scan(iface, order.second, 0);
        run(0);
        EXPECT_EQ(radio.scans.size(), 1u);
        finish_scan();
        supplicant_cancel_scan(iface);
    }
}

TEST_F(Scan, ScanIntervalChangeBringsAPendingRequestForward) {
    add_network("net");
    supplicant_cancel_scan(iface);
    supplicant_req_scan(iface, 4, 0);
    supplicant_update_scan_int(iface, 2);
    run(2);
    EXPECT_EQ(radio.scans.size(), 1u);
}

TEST_F(Scan, NamedSsidsRotateWithTheWildcard) {
    for (const char *n : {"one", "two", "three"})
        add_network(n, true);
    // Enabling starts a connection attempt only for networks that were disabled.
    cmd("DISABLE_NETWORK all");
    cmd("ENABLE_NETWORK all");
    run(0);
    ASSERT_EQ(radio.scans.size(), 1u);
    EXPECT_EQ(radio.scans[0].ssids, (std::vector<std::string>{"one", "two", "three", ""}));
    finish_scan();

    // With room for one SSID the scans alternate between a named SSID and the wildcard.
    iface->drv_capa.max_scan_ssids = 1;
    cmd("REMOVE_NETWORK 2");
    cmd("REMOVE_NETWORK 1");
    std::vector<std::string> seen;
    for (int i = 0; i < 4; i++) {
        radio.scans.clear();
        run(6);
        ASSERT_EQ(radio.scans.size(), 1u);
        seen.push_back(radio.scans[0].ssids.at(0));
        finish_scan();
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"one", "", "one", ""}));
}

TEST_F(Scan, FrequenciesAreTheUnionOfTheNetworksLists) {
    int a = add_network("a"), b = add_network("b");
    cmd("SET_NETWORK " + std::to_string(a) + " scan_freq 2412 2437");
    cmd("SET_NETWORK " + std::to_string(b) + " scan_freq 2437 5180");
    supplicant_cancel_scan(iface);
    iface->scan_req = NORMAL_SCAN_REQ;
    supplicant_req_scan(iface, 0, 0);
    run(0);
    ASSERT_EQ(radio.scans.size(), 1u);
    std::vector<int> freqs = radio.scans[0].freqs;
    std::sort(freqs.begin(), freqs.end());
    EXPECT_EQ(freqs, (std::vector<int>{2412, 2437, 5180}));
    finish_scan();

    // One network without a list means every channel.
    add_network("c");
    radio.scans.clear();
    supplicant_cancel_scan(iface);
    supplicant_req_scan(iface, 0, 0);
    run(0);
    ASSERT_EQ(radio.scans.size(), 1u);
    EXPECT_TRUE(radio.scans[0].freqs.empty());
}

TEST_F(Scan, UsableNetworks) {
    iface->drv_capa_known = 1;
    iface->drv_capa.enc = WPA_DRIVER_CAPA_ENC_WEP40 | WPA_DRIVER_CAPA_ENC_WEP104;
    struct Case {
        std::vector<std::pair<const char *, const char *>> fields;
        int disabled;
    } cases[] = {
        {{{"key_mgmt", "NONE"}}, 0},
        {{{"key_mgmt", "NONE"}, {"wep_key0", "\"abcde\""}}, 0},
        {{{"key_mgmt", "NONE"}, {"wep_key0", "\"abcdefghijklm\""}}, 0},
        {{{"key_mgmt", "NONE"}, {"wep_key0", "\"abcdefghijklmnop\""}}, 1}, // no 128-bit WEP
        {{{"key_mgmt", "WPA-PSK"}}, 1},                                    // no key material
        {{{"key_mgmt", "WPA-PSK"}, {"psk", "\"passphrase\""}}, 0},
    };
    for (const Case &c : cases) {
        wpa_network *ssid = wpa_config_get_network(iface->conf, add_network("n"));
        ASSERT_NE(ssid, nullptr);
        for (auto &f : c.fields) {
            ASSERT_GE(wpa_config_set_network_field(ssid, f.first, f.second, 0), 0) << f.first;
            if (strcmp(f.first, "psk") == 0) wpa_config_update_psk(ssid);
        }
        EXPECT_EQ(supp_network_disabled(iface, ssid), c.disabled) << c.fields.back().second;
    }
    EXPECT_EQ(supplicant_enabled_networks(iface), 4);
    wpa_network *first = iface->conf->ssid;
    os_get_reltime(&first->disabled_until);
    first->disabled_until.sec += 20;
    EXPECT_GT(supp_temp_disabled(iface, first), 0);
    first->disabled_until.sec -= 40;
    EXPECT_EQ(supp_temp_disabled(iface, first), 0);
    EXPECT_EQ(first->disabled_until.sec, 0);
}

TEST_F(Scan, NoUsableNetworkGoesInactiveButAManualScanStillRuns) {
    supplicant_cancel_scan(iface);
    iface->scan_req = NORMAL_SCAN_REQ;
    supplicant_req_scan(iface, 0, 0);
    run(0);
    EXPECT_EQ(iface->wpa_state, WPA_INACTIVE);
    EXPECT_TRUE(radio.scans.empty());
    EXPECT_EQ(cmd("SCAN"), "OK\n");
    run(0);
    EXPECT_EQ(radio.scans.size(), 1u);
}

TEST_F(Scan, ManualScanReportsItsWayAndIdsInRankingOrder) {
    radio.aps = {make_ap(1, "open-loud", -40), make_ap(2, "wpa2-quiet", -80, 2412, rsn_ie()),
                 make_ap(3, "open-5g", -42, 5180)};
    EXPECT_EQ(cmd("SCAN use_id=1"), "1\n");
    run(0);
    ASSERT_EQ(radio.scans.size(), 1u);
    EXPECT_EQ(cmd("SCAN"), "FAIL-BUSY\n");
    finish_scan();
    EXPECT_EQ(matching("<3>CTRL-EVENT-SCAN-STARTED"),
              (std::vector<std::string>{"<3>CTRL-EVENT-SCAN-STARTED id=1"}));
    // Security first; the two open ones are close in signal: equal throughput, so 5 GHz.
    EXPECT_EQ(matching("<3>CTRL-EVENT-BSS-ADDED"),
              (std::vector<std::string>{"<3>CTRL-EVENT-BSS-ADDED 0 02:00:00:00:00:02",
                                        "<3>CTRL-EVENT-BSS-ADDED 1 02:00:00:00:00:03",
                                        "<3>CTRL-EVENT-BSS-ADDED 2 02:00:00:00:00:01"}));
    EXPECT_EQ(matching("<3>CTRL-EVENT-SCAN-RESULTS"),
              (std::vector<std::string>{"<3>CTRL-EVENT-SCAN-RESULTS id=1"}));
    EXPECT_EQ(cmd("SCAN use_id=1"), "2\n");
}

TEST_F(Scan, ManualScanParametersReachTheDriver) {
    EXPECT_EQ(cmd("SCAN freq=5000-6000 passive=1 only_new=1 ssid 616263"), "OK\n");
    run(0);
    ASSERT_EQ(radio.scans.size(), 1u);
    EXPECT_EQ(radio.scans[0].freqs, (std::vector<int>{5180, 5200})); // 5260 is disabled
    EXPECT_EQ(radio.scans[0].ssids, (std::vector<std::string>{"abc"}));
    EXPECT_TRUE(radio.scans[0].flags & ONLY_NEW);
    finish_scan();

    struct Case {
        const char *cmd;
        const char *reply;
    } cases[] = {
        {"SCAN freq=3000-4000", "FAIL\n"},
        {"SCAN ssid 61626", "FAIL\n"},
        {"SCAN scan_id=1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17", "FAIL\n"},
        {"SCAN passive=x", "FAIL\n"},
        {"SCAN ssid", "FAIL\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(cmd(c.cmd), c.reply) << c.cmd;
}

TEST_F(Scan, FailedTriggerReportsAndRetriesOnlyWhenItShould) {
    radio.scan_ret = -16;
    EXPECT_EQ(cmd("SCAN"), "OK\n");
    run(0);
    EXPECT_EQ(matching("<3>CTRL-EVENT-SCAN-FAILED"),
              (std::vector<std::string>{"<3>CTRL-EVENT-SCAN-FAILED ret=-16"}));
    run(2);
    EXPECT_EQ(radio.scans.size(), 1u); // a manual scan is not retried

    events.clear();
    add_network("net");
    supplicant_req_scan(iface, 0, 0);
    run(0);
    EXPECT_EQ(matching("<3>CTRL-EVENT-SCAN-FAILED"),
              (std::vector<std::string>{"<3>CTRL-EVENT-SCAN-FAILED ret=-16 retry=1"}));
    radio.scan_ret = 0;
    run(1);
    EXPECT_EQ(radio.scans.size(), 3u);
}

TEST_F(Scan, AbsentNetworkIsReportedPerIntervalAndMovesToScheduledScans) {
    radio.capa.sched_scan_supported = 1;
    radio.capa.max_sched_scan_ssids = 16;
    radio.capa.max_match_sets = 16;
    iface->drv_capa = radio.capa;
    add_network("absent");
    cmd("DISABLE_NETWORK 0");
    cmd("ENABLE_NETWORK 0");
    for (int i = 0; i < 3; i++) {
        run(5);
        ASSERT_EQ(radio.scans.size(), static_cast<size_t>(i + 1));
        finish_scan();
    }
    EXPECT_EQ(matching("<3>CTRL-EVENT-NETWORK-NOT-FOUND").size(), 2u);
    // The third scan that found nothing hands over to the driver's scheduled scan.
    EXPECT_EQ(radio.sched_starts, 1);
    EXPECT_EQ(iface->sched_scanning, 1);
    ASSERT_EQ(radio.plans.size(), 1u);
    EXPECT_EQ(radio.plans[0].interval, 10u);
}

TEST_F(Scan, ForeignScanHoldsOurWorkUntilItsResults) {
    radio.aps = {make_ap(7, "foreign")};
    supplicant_event(iface, EVENT_SCAN_STARTED, nullptr); // not requested by us
    EXPECT_EQ(matching("<3>CTRL-EVENT-SCAN-STARTED"),
              (std::vector<std::string>{"<3>CTRL-EVENT-SCAN-STARTED "}));
    EXPECT_EQ(cmd("SCAN"), "OK\n");
    run(0);
    EXPECT_TRUE(radio.scans.empty());
    wpa_event_data data{};
    data.scan_info.external_scan = 1;
    data.scan_info.nl_scan_event = 1;
    supplicant_event(iface, EVENT_SCAN_RESULTS, &data);
    EXPECT_EQ(iface->num_bss, 1u);
    run(0);
    EXPECT_EQ(radio.scans.size(), 1u);
}

TEST_F(Scan, EventsForUnknownContextsOnlyReachTheObserver) {
    static int seen;
    seen = 0;
    supplicant_event_set_observer([](void *, wpa_event_type, const wpa_event_data *) { seen++; });
    radio.aps = {make_ap(1, "x")};
    int not_an_interface[2] = {0, 0};
    wpa_event_data data{};
    supplicant_event(not_an_interface, EVENT_SCAN_RESULTS, &data);
    supplicant_event(not_an_interface, EVENT_SCAN_STARTED, nullptr);
    supplicant_event(nullptr, EVENT_SCAN_RESULTS, &data);
    supplicant_event_set_observer(nullptr);
    EXPECT_EQ(seen, 3);
    EXPECT_EQ(iface->num_bss, 0u);
    EXPECT_TRUE(events.empty());
}

TEST_F(Scan, OtherInterfacesOfTheRadioSeeTheResults) {
    wpa_iface *second = add("wlan1");
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(second->radio, iface->radio);
    radio.aps = {make_ap(1, "shared")};
    EXPECT_EQ(cmd("SCAN"), "OK\n");
    run(0);
    finish_scan();
    EXPECT_EQ(iface->num_bss, 1u);
    EXPECT_EQ(second->num_bss, 1u);
}

// ------------------------------------------------------------------ BSS table

TEST_F(Scan, TableKeepsOneEntryPerBssidAndSsid) {
    Bytes s32(32, 'x'), s33(33, 'y');
    radio.aps = {make_ap(1, ""),
                 make_ap(2, std::string(s32.begin(), s32.end())),
                 make_ap(3, std::string(s33.begin(), s33.end())),
                 make_ap(4, "DIRECT-", -50, 2412, p2p_ie()),
                 make_ap(5, "DIRECT-ab-group", -50, 2412, p2p_ie()),
                 make_ap(6, "one"),
                 make_ap(6, "two")};
    Ap no_ssid = make_ap(8, "");
    no_ssid.ies.clear();
    radio.aps.push_back(no_ssid);
    ASSERT_EQ(supplicant_update_scan_results(iface), 0);
    EXPECT_EQ(iface->num_bss, 5u); // 33-byte SSID, P2P device and missing SSID stay out
    EXPECT_EQ(matching("<3>CTRL-EVENT-BSS-ADDED").size(), 5u);

    events.clear();
    radio.aps[5].level = -60;
    ASSERT_EQ(supplicant_update_scan_results(iface), 0);
    EXPECT_TRUE(matching("<3>CTRL-EVENT-BSS-").empty()); // a refresh reports nothing
    uint8_t b6[6] = {2, 0, 0, 0, 0, 6};
    wpa_bss *latest = wpa_bss_get_bssid(iface, b6);
    ASSERT_NE(latest, nullptr);
    EXPECT_NE(wpa_bss_get(iface, b6, reinterpret_cast<const uint8_t *>("one"), 3), nullptr);
    EXPECT_NE(wpa_bss_get(iface, b6, reinterpret_cast<const uint8_t *>("two"), 3), nullptr);
}

TEST_F(Scan, EntriesNeverMoveWhenTheirElementsGrow) {
    radio.aps = {make_ap(1, "grow")};
    ASSERT_EQ(supplicant_update_scan_results(iface), 0);
    wpa_bss *held = iface->bss_first;
    radio.aps[0].ies = cat({ssid_ie("grow"), rsn_ie(), Bytes(200, 0xdd)});
    radio.aps[0].ies.resize(radio.aps[0].ies.size() - 200);
    radio.aps[0].ies = cat({radio.aps[0].ies, ie(221, Bytes(200, 0x11))});
    ASSERT_EQ(supplicant_update_scan_results(iface), 0);
    EXPECT_EQ(iface->bss_first, held);
    EXPECT_EQ(held->ie_len, radio.aps[0].ies.size());
    EXPECT_NE(wpa_bss_get_ie(held, 48), nullptr);
}

TEST_F(Scan, MissedFullScansExpireEntriesRestrictedScansDoNot) {
    radio.aps = {make_ap(1, "stays"), make_ap(2, "goes")};
    ASSERT_EQ(supplicant_update_scan_results(iface), 0);
    radio.aps.pop_back();
    static const int other[] = {5180};
    wpa_scan_info restricted{};
    restricted.freqs = other;
    restricted.num_freqs = 1;
    for (int i = 0; i < 3; i++)
        wpa_scan_results_free(supplicant_get_scan_results(iface, &restricted, 1));
    EXPECT_EQ(iface->num_bss, 2u);
    wpa_scan_results_free(supplicant_get_scan_results(iface, nullptr, 1));
    EXPECT_EQ(iface->num_bss, 2u);
    wpa_scan_results_free(supplicant_get_scan_results(iface, nullptr, 1));
    EXPECT_EQ(iface->num_bss, 1u);
    EXPECT_EQ(matching("<3>CTRL-EVENT-BSS-REMOVED"),
              (std::vector<std::string>{"<3>CTRL-EVENT-BSS-REMOVED 1 02:00:00:00:00:02"}));
}

TEST_F(Scan, FullTableEvictsUnknownThenOldestAndGrowsWhenAllAreInUse) {
    iface->conf->bss_max_count = 3;
    add_network("known");
    radio.aps = {make_ap(1, "known"), make_ap(2, "unknown-a"), make_ap(3, "unknown-b")};
    for (const Ap &ap : radio.aps) {
        std::vector<Ap> one{ap};
        std::swap(radio.aps, one);
        supplicant_update_scan_results(iface);
        std::swap(radio.aps, one);
    }
    radio.aps = {make_ap(4, "new")};
    supplicant_update_scan_results(iface);
    EXPECT_EQ(iface->num_bss, 3u);
    uint8_t b2[6] = {2, 0, 0, 0, 0, 2}, b1[6] = {2, 0, 0, 0, 0, 1};
    EXPECT_EQ(wpa_bss_get_bssid(iface, b2), nullptr); // oldest unknown
    EXPECT_NE(wpa_bss_get_bssid(iface, b1), nullptr); // known SSID kept

    // Every entry in use: the limit grows instead of refusing the entry.
    for (wpa_bss *b = iface->bss_first; b; b = b->next)
        if (b->next == nullptr) iface->current_bss = b;
    memcpy(iface->bssid, b1, 6);
    uint8_t b3[6] = {2, 0, 0, 0, 0, 3};
    memcpy(iface->pending_bssid, b3, 6);
    iface->current_bss = nullptr;
    cmd("REMOVE_NETWORK all");
    radio.aps = {make_ap(5, "newer")};
    supplicant_update_scan_results(iface);
    radio.aps = {make_ap(6, "newest")};
    supplicant_update_scan_results(iface);
    EXPECT_EQ(iface->num_bss, 3u);
    // Now b1 and b3 are in use: b4 and then b5 went.
    EXPECT_NE(wpa_bss_get_bssid(iface, b1), nullptr);
    EXPECT_NE(wpa_bss_get_bssid(iface, b3), nullptr);
}

TEST_F(Scan, FlushesKeepTheCurrentBssAndAgeLooksAtEveryEntry) {
    radio.aps = {make_ap(1, "young"), make_ap(2, "old"), make_ap(3, "current")};
    radio.aps[1].age = 60000; // seen a minute before the fetch
    ASSERT_EQ(supplicant_update_scan_results(iface), 0);
    // The old entry was updated after a young one: update order is not time order.
    iface->current_bss = wpa_bss_get_bssid(iface, radio.aps[2].bssid);
    wpa_bss_flush_by_age(iface, 30);
    EXPECT_EQ(iface->num_bss, 2u);
    EXPECT_EQ(wpa_bss_get_bssid(iface, radio.aps[1].bssid), nullptr);
    EXPECT_EQ(cmd("BSS_FLUSH 0"), "OK\n");
    EXPECT_EQ(iface->num_bss, 1u);
    EXPECT_EQ(iface->bss_first, iface->current_bss);
    EXPECT_EQ(iface->clear_driver_scan_cache, 1);
    EXPECT_EQ(cmd("BSS_FLUSH x"), "FAIL\n");
}

TEST_F(Scan, TeardownReportsTheEntriesNotInUse) {
    wpa_iface *second = add("wlan1");
    ASSERT_NE(second, nullptr);
    radio.aps = {make_ap(1, "a"), make_ap(2, "b")};
    ASSERT_EQ(supplicant_update_scan_results(second), 0);
    second->current_bss = second->bss_first;
    events.clear();
    ASSERT_EQ(supplicant_remove_iface(global, second, 1), 0);
    EXPECT_EQ(matching("<3>CTRL-EVENT-BSS-REMOVED"),
              (std::vector<std::string>{"<3>CTRL-EVENT-BSS-REMOVED 1 02:00:00:00:00:02"}));
    EXPECT_EQ(events.back(), "<3>CTRL-EVENT-TERMINATING ");
}

TEST_F(Scan, BssidFilterKeepsOtherResultsOut) {
    radio.aps = {make_ap(1, "in"), make_ap(2, "out")};
    EXPECT_EQ(cmd("SET bssid_filter 02:00:00:00:00:01"), "OK\n");
    EXPECT_EQ(cmd("SET bssid_filter 02:00:00:00:00:0"), "FAIL\n");
    ASSERT_EQ(supplicant_update_scan_results(iface), 0);
    EXPECT_EQ(iface->num_bss, 1u);
    EXPECT_EQ(wpa_bss_get_bssid(iface, radio.aps[1].bssid), nullptr);
}

// ------------------------------------------------------------------ ranking

TEST(Ranking, ThroughputEstimates) {
    struct Case {
        Bytes ies;
        int level;
        int capa;
        unsigned int expect;
    } cases[] = {
        // Legacy rates up to 54 Mbit/s at SNR 10: capped to 24 Mbit/s... as 48 half-units.
        {rates_ie({0x82, 0x84, 0x8b, 0x96, 0x0c, 0x12, 0x18, 0x24, 0x30, 0x48, 0x60, 0x6c}), -85, 0, 24000},
        {rates_ie({0x82, 0x6c}), -50, 0, 54000},
        // VHT with an 80-MHz operation element at SNR 25.
        {cat({rates_ie({0x6c}), ie(45, Bytes(26)), ie(61, {36, 0x01, 0, 0, 0, 0}), ie(191, Bytes(12)),
              ie(192, {1, 42, 0, 0, 0})}),
         -70, 3, 390001},
        // HT20 only when the interface can do HT.
        {cat({rates_ie({0x6c}), ie(45, Bytes(26))}), -70, 1, 65000},
        {cat({rates_ie({0x6c}), ie(45, Bytes(26))}), -70, 0, 54000},
    };
    for (const Case &c : cases) {
        Ap ap = make_ap(1, "x", c.level);
        ap.ies = c.ies;
        ap.noise = -95;
        ap.flags = WPA_SCAN_LEVEL_DBM;
        wpa_scan_res *r = scan_res(ap);
        wpa_iface fake{};
        fake.max_chwidth_capa = c.capa;
        scan_est_throughput(&fake, r);
        EXPECT_EQ(r->est_throughput, c.expect) << "level " << c.level << " capa " << c.capa;
        free(r);
    }
}

TEST(Ranking, ExamplesOfTheComparison) {
    wpa_iface fake{};
    auto ranked = [&fake](std::vector<Ap> aps) {
        std::vector<wpa_scan_res *> rs;
        for (const Ap &ap : aps) {
            rs.push_back(scan_res(ap));
            scan_est_throughput(&fake, rs.back());
        }
        wpa_scan_sort(rs.data(), rs.size(), wpa_scan_result_compar);
        std::vector<int> order;
        for (wpa_scan_res *r : rs) {
            order.push_back(r->bssid[5]);
            free(r);
        }
        return order;
    };
    Bytes fast = rates_ie({0x6c}), slow = rates_ie({0x16});
    // Close signals: throughput, then 5 GHz, then the stronger.
    EXPECT_EQ(ranked({make_ap(1, "a", -50, 2412, slow), make_ap(2, "b", -52, 2412, fast)}),
              (std::vector<int>{2, 1}));
    EXPECT_EQ(ranked({make_ap(1, "a", -50, 2412, fast), make_ap(2, "b", -52, 5180, fast)}),
              (std::vector<int>{2, 1}));
    EXPECT_EQ(ranked({make_ap(1, "a", -52, 2412, fast), make_ap(2, "b", -50, 2412, fast)}),
              (std::vector<int>{2, 1}));
    // Security before signal; privacy before none.
    EXPECT_EQ(ranked({make_ap(1, "open", -40), make_ap(2, "wpa2", -80, 2412, rsn_ie())}),
              (std::vector<int>{2, 1}));
    Ap wep = make_ap(2, "wep", -80);
    wep.caps |= 0x0010;
    EXPECT_EQ(ranked({make_ap(1, "open", -40), wep}), (std::vector<int>{2, 1}));
    // Far apart: the stronger signal wins over throughput (SNR 20 against 35, capped 30).
    EXPECT_EQ(ranked({make_ap(1, "a", -75, 2412, fast), make_ap(2, "b", -60, 2412, slow)}),
              (std::vector<int>{2, 1}));
    // Both SNRs above the cap count as close: throughput decides.
    EXPECT_EQ(ranked({make_ap(1, "a", -40, 2412, slow), make_ap(2, "b", -60, 2412, fast)}),
              (std::vector<int>{2, 1}));
}

TEST(Ranking, IntransitiveSetsGiveEachResultOnceDeterministically) {
    // Levels 4 dB apart chain: a~b and b~c compare by throughput, a and c by signal.
    Bytes fast = rates_ie({0x6c}), mid = rates_ie({0x30}), slow = rates_ie({0x16});
    std::vector<Ap> aps = {make_ap(1, "a", -62, 2412, slow), make_ap(2, "b", -66, 2412, mid),
                           make_ap(3, "c", -70, 2412, fast), make_ap(4, "d", -74, 2412, slow),
                           make_ap(5, "e", -58, 2412, fast)};
    for (Ap &ap : aps)
        ap.noise = -85; // SNRs below the cap
    std::vector<int> idx = {0, 1, 2, 3, 4};
    wpa_iface fake{};
    do {
        std::vector<wpa_scan_res *> rs;
        for (int i : idx) {
            rs.push_back(scan_res(aps[static_cast<size_t>(i)]));
            scan_est_throughput(&fake, rs.back());
        }
        std::vector<wpa_scan_res *> again = rs;
        wpa_scan_sort(rs.data(), rs.size(), wpa_scan_result_compar);
        wpa_scan_sort(again.data(), again.size(), wpa_scan_result_compar);
        EXPECT_EQ(rs, again);
        std::vector<int> ids;
        for (wpa_scan_res *r : rs)
            ids.push_back(r->bssid[5]);
        std::sort(ids.begin(), ids.end());
        EXPECT_EQ(ids, (std::vector<int>{1, 2, 3, 4, 5}));
        for (wpa_scan_res *r : rs)
            free(r);
    } while (std::next_permutation(idx.begin(), idx.end()));
}

// ------------------------------------------------------------------ listings

TEST_F(Scan, ScanResultsAndBssListings) {
    Ap ibss = make_ap(5, "adhoc");
    ibss.caps = 0x0002;
    Ap wep = make_ap(2, "wep");
    wep.caps = 0x0011;
    Ap mixed = make_ap(4, "mixed", -50, 2412, cat({wpa_ie(), rsn_ie({2, 4}, 0x0001)}));
    radio.aps = {make_ap(1, "open", -60, 2437),
                 wep,
                 make_ap(3, "wpa2", -50, 5180, rsn_ie()),
                 mixed,
                 ibss,
                 make_ap(6, "bad-rsn", -50, 2412, ie(48, {1, 0, 0x00})),
                 make_ap(7, "DIRECT-", -50, 2412, p2p_ie()),
                 make_ap(8, "DIRECT-xy", -50, 2412, p2p_ie()),
                 make_ap(9, std::string("\0\0\0", 3))};
    ASSERT_EQ(supplicant_update_scan_results(iface), 0);
    std::string list = cmd("SCAN_RESULTS");
    EXPECT_EQ(list.substr(0, 48), "bssid / frequency / signal level / flags / ssid\n");
    for (const char *line :
         {"02:00:00:00:00:01\t2437\t-60\t[ESS]\topen\n", "02:00:00:00:00:02\t2412\t-50\t[WEP][ESS]\twep\n",
          "02:00:00:00:00:03\t5180\t-50\t[WPA2-PSK-CCMP][ESS]\twpa2\n",
          "02:00:00:00:00:04\t2412\t-50\t[WPA-PSK-TKIP][WPA2-PSK-CCMP+TKIP-preauth][ESS]\tmixed\n",
          "02:00:00:00:00:05\t2412\t-50\t[IBSS]\tadhoc\n", "\t[WPA2-?][ESS]\tbad-rsn\n",
          "02:00:00:00:00:08\t2412\t-50\t[ESS][P2P]\tDIRECT-xy\n",
          "02:00:00:00:00:09\t2412\t-50\t[ESS]\t\\x00\\x00\\x00\n"})
        EXPECT_NE(list.find(line), std::string::npos) << line;
    EXPECT_EQ(list.find("\tDIRECT-\n"), std::string::npos);
    // Lines follow the ids; the ids follow the ranking (security first).
    EXPECT_LT(list.find("\twpa2\n"), list.find("\topen\n"));

    uint8_t b3[6] = {2, 0, 0, 0, 0, 3};
    wpa_bss *wpa2 = wpa_bss_get_bssid(iface, b3);
    ASSERT_NE(wpa2, nullptr);
    std::string id = std::to_string(wpa2->id);
    std::string one = cmd("BSS 02:00:00:00:00:03");
    EXPECT_EQ(one.substr(0, one.find("tsf=")), "id=" + id +
                                                   "\nbssid=02:00:00:00:00:03\nfreq=5180\nbeacon_int=0\n"
                                                   "capabilities=0x0001\nqual=0\nnoise=-95\nlevel=-50\n");
    EXPECT_NE(one.find("flags=[WPA2-PSK-CCMP][ESS]\nssid=wpa2\nsnr=45\n"), std::string::npos);
    EXPECT_NE(one.find("ie=0004777061"), std::string::npos);
    auto ssid_of = [](const wpa_bss *b) {
        return "ssid=" + std::string(wpa_ssid_txt(b->ssid, b->ssid_len)) + "\n";
    };
    const wpa_bss *first = iface->bss_id_first, *last = iface->bss_id_last;
    EXPECT_EQ(cmd("BSS ID-" + id + " MASK=0x1000"), "ssid=wpa2\n");
    EXPECT_EQ(cmd("BSS 02:00:00:00:00:03 MASK=0x1000"), "ssid=wpa2\n");
    EXPECT_EQ(cmd("BSS FIRST MASK=0x1000"), ssid_of(first));
    EXPECT_EQ(cmd("BSS LAST MASK=0x1000"), ssid_of(last));
    EXPECT_EQ(cmd("BSS NEXT-0 MASK=0x1"), "id=1\n");
    EXPECT_EQ(cmd("BSS 2 MASK=0x1"), "id=2\n");
    EXPECT_EQ(cmd("BSS 2 02:00:00:00:00:05 MASK=0x1"), "id=2\n"); // the form of a BSS-ADDED event
    EXPECT_EQ(cmd("BSS ID-999"), "");
    EXPECT_EQ(cmd("BSS ID-99999999999999999999"), "");
    EXPECT_EQ(cmd("BSS RANGE=6- MASK=0x21000"), ssid_of(last->id_prev) + "====\n" + ssid_of(last) + "####\n");
    EXPECT_EQ(cmd("BSS RANGE=-1 MASK=0x20001"), "id=0\n====\nid=1\n====\n");
    EXPECT_EQ(cmd("BSS RANGE=3 MASK=0x1"), "");
    std::string all = cmd("BSS RANGE=ALL MASK=0x21000");
    EXPECT_EQ(std::count(all.begin(), all.end(), '#'), 4);
    EXPECT_EQ(all.substr(all.size() - 5), "####\n");
}

TEST_F(Scan, AnEntryThatDoesNotFitIsLeftOutWhole) {
    Ap huge = make_ap(1, "huge");
    for (int i = 0; i < 9; i++)
        huge.ies = cat({huge.ies, ie(221, Bytes(250, 0x42))});
    radio.aps = {huge};
    ASSERT_EQ(supplicant_update_scan_results(iface), 0);
    EXPECT_EQ(cmd("BSS 02:00:00:00:00:01"), "");
    EXPECT_EQ(cmd("BSS 02:00:00:00:00:01 MASK=0x1000"), "ssid=huge\n");
}

// ------------------------------------------------------------------ commands

TEST_F(Scan, SettingsAndDriverReplies) {
    struct Case {
        const char *cmd;
        const char *reply;
    } cases[] = {
        {"SET uapsd 1,0,1,0", "OK\n"},
        {"SET uapsd 1,0,1", "FAIL\n"},
        {"SET uapsd disable", "OK\n"},
        {"SET setband 5G", "OK\n"},
        {"SET setband 6G", "FAIL\n"},
        {"SET EAPOL::heldPeriod 5", "OK\n"},
        {"SET dot11RSNAConfigPMKLifetime 5", "FAIL\n"},
        {"SET disallow_aps bssid 02:00:00:00:00:01 ssid 6162", "OK\n"},
        {"SET disallow_aps ssid 616", "FAIL\n"},
        {"SET lci 0102", "OK\n"},
        {"SET lci 010", "FAIL\n"},
        {"SET blob b 00ff", "OK\n"},
        {"SET no_such_key 1", "FAIL\n"},
        {"SET sched_scan_plans 10:3 60", "OK\n"},
        {"SET sched_scan_plans 10:0 60", "FAIL\n"},
        {"SET bss_max_count 7", "OK\n"},
        {"SET nokey", "FAIL\n"},
        {"VENDOR_ELEM_ADD 15 dd00", "FAIL\n"},
        {"VENDOR_ELEM_ADD 14 dd0", "FAIL\n"},
        {"VENDOR_ELEM_ADD 14 dd050011223344", "OK\n"},
        {"VENDOR_ELEM_ADD 14 dd05", "FAIL\n"},
        {"VENDOR_ELEM_GET 14", "dd050011223344"},
        {"VENDOR_ELEM_REMOVE 14 dd0500112233ff", "FAIL\n"},
        {"SIGNAL_POLL", "FAIL\n"},
        {"PKTCNT_POLL", "FAIL\n"},
        {"NEIGHBOR_REP_REQUEST", "FAIL\n"},
        {"GET_CAPABILITY eap", "MD5 TLS MSCHAPV2 PEAP TTLS GTC OTP LEAP FAST"},
        {"GET_CAPABILITY pairwise strict", ""},
        {"GET_CAPABILITY pairwise junk", "FAIL\n"},
        {"GET_CAPABILITY channels", "Mode[G] Channels: 1 6 11\nMode[A] Channels: 36 40\n"},
        {"GET_CAPABILITY nonsense", "FAIL\n"},
        {"MAC_RAND_SCAN scan enable=1", "FAIL\n"}, // the driver cannot randomise
        {"DRIVER_FLAGS", "0000000000000000:\n"},
        {"INTERFACES", "wlan0\n"},
        {"INTERFACES ctrl", "wlan0 ctrl_iface=N/A\n"},
        {"ABORT_SCAN", "OK\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(cmd(c.cmd), c.reply) << c.cmd;
    EXPECT_EQ(iface->sta_uapsd, 0x5);
    EXPECT_EQ(iface->setband, 1);
    EXPECT_EQ(iface->conf->bss_max_count, 7);
    ASSERT_EQ(iface->sched_scan_plans_num, 2u);

    // The band and the probe-request elements reach the next scan.
    ASSERT_EQ(cmd("SCAN"), "OK\n");
    run(0);
    ASSERT_EQ(radio.scans.size(), 1u);
    EXPECT_EQ(radio.scans[0].freqs, (std::vector<int>{5180, 5200}));
    EXPECT_EQ(radio.scans[0].extra_ies, (Bytes{0xdd, 0x05, 0x00, 0x11, 0x22, 0x33, 0x44}));
}

TEST_F(Scan, ExtendedCapabilitiesElement) {
    uint8_t buf[32];
    EXPECT_EQ(wpa_build_ext_capab(iface, buf, sizeof(buf)), 0); // no bits
    static const uint8_t capa[] = {0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40};
    static const uint8_t mask[] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    iface->drv_capa.extended_capa = capa;
    iface->drv_capa.extended_capa_mask = mask;
    iface->drv_capa.extended_capa_len = sizeof(capa);
    ASSERT_EQ(wpa_build_ext_capab(iface, buf, sizeof(buf)), 10);
    EXPECT_EQ(Bytes(buf, buf + 10), (Bytes{127, 8, 0x04, 0, 0, 0, 0, 0, 0, 0x40}));
    iface->conf->ftm_initiator = 1;
    ASSERT_EQ(wpa_build_ext_capab(iface, buf, sizeof(buf)), 11);
    EXPECT_EQ(buf[10], 0x80);
    EXPECT_EQ(wpa_build_ext_capab(iface, buf, 10), -1);
    // The element leads the probe-request elements.
    ASSERT_EQ(cmd("SCAN"), "OK\n");
    run(0);
    ASSERT_EQ(radio.scans.size(), 1u);
    EXPECT_EQ(Bytes(radio.scans[0].extra_ies.begin(), radio.scans[0].extra_ies.begin() + 2), (Bytes{127, 9}));
    iface->drv_capa.extended_capa = nullptr;
    iface->drv_capa.extended_capa_mask = nullptr;
    iface->drv_capa.extended_capa_len = 0;
}

TEST_F(Scan, ExternalRadioWorksQueueAndTimeOut) {
    EXPECT_EQ(cmd("RADIO_WORK add first"), "1");
    EXPECT_EQ(cmd("RADIO_WORK add second freq=2412 timeout=30"), "2");
    run(0);
    EXPECT_EQ(matching("<3>EXT-RADIO-WORK-START"), (std::vector<std::string>{"<3>EXT-RADIO-WORK-START 1"}));
    std::string show = cmd("RADIO_WORK show");
    EXPECT_EQ(show.compare(0, 21, "ext:first@wlan0:0:1:0"), 0) << show;
    EXPECT_NE(show.find("ext:second@wlan0:2412:0:"), std::string::npos);
    ASSERT_EQ(cmd("SCAN"), "OK\n");
    run(0);
    EXPECT_TRUE(radio.scans.empty()); // waits behind the external works
    run(10);
    EXPECT_EQ(matching("<3>EXT-RADIO-WORK-TIMEOUT"),
              (std::vector<std::string>{"<3>EXT-RADIO-WORK-TIMEOUT 1"}));
    EXPECT_EQ(matching("<3>EXT-RADIO-WORK-START").back(), "<3>EXT-RADIO-WORK-START 2");
    EXPECT_EQ(cmd("RADIO_WORK done 2"), "OK\n");
    EXPECT_EQ(cmd("RADIO_WORK done 2"), "FAIL\n");
    run(0);
    EXPECT_EQ(radio.scans.size(), 1u);
    EXPECT_EQ(cmd("RADIO_WORK add " + std::string(100, 'n')), "FAIL\n");
}

TEST_F(Scan, ScheduledScanAndPnoRules) {
    radio.capa.sched_scan_supported = 1;
    radio.capa.max_sched_scan_ssids = 16;
    radio.capa.max_match_sets = 16;
    radio.capa.max_scan_ssids = 1;
    iface->drv_capa = radio.capa;
    add_network("a", true);
    add_network("b", true);
    // The driver cannot probe both SSIDs per scan: scheduled scanning is fine at once.
    EXPECT_EQ(supplicant_req_sched_scan(iface), 0);
    EXPECT_EQ(radio.sched_ssids, (std::vector<std::string>{"a", "b"}));
    supplicant_cancel_sched_scan(iface);
    supplicant_event(iface, EVENT_SCHED_SCAN_STOPPED, nullptr);
    EXPECT_EQ(iface->sched_scanning, 0);

    // A usable WPS network forbids scheduled scanning.
    int wps = std::stoi(cmd("ADD_NETWORK"));
    cmd("SET_NETWORK " + std::to_string(wps) + " key_mgmt WPS");
    cmd("SET_NETWORK " + std::to_string(wps) + " disabled 0");
    EXPECT_EQ(supplicant_req_sched_scan(iface), -1);
    cmd("REMOVE_NETWORK " + std::to_string(wps));

    // PNO: refused while connected, started on request otherwise, with its frequencies.
    iface->wpa_state = WPA_COMPLETED;
    EXPECT_EQ(supp_start_pno(iface), -11);
    EXPECT_EQ(cmd("SET pno 1"), "FAIL\n");
    iface->wpa_state = WPA_DISCONNECTED;
    EXPECT_EQ(cmd("SET pno 1 freq=2400-2500"), "OK\n");
    EXPECT_EQ(iface->pno, 1);
    EXPECT_EQ(cmd("SET pno 0"), "OK\n");
    EXPECT_EQ(iface->pno, 0);
    EXPECT_EQ(cmd("SET pno x"), "FAIL\n");
}

TEST_F(Scan, RandomAddressSettingsReachTheScan) {
    iface->drv_capa.mac_addr_rand_scan_supported = 1;
    struct Case {
        const char *cmd;
        const char *reply;
    } cases[] = {
        {"MAC_RAND_SCAN scan enable=1 addr=02:00:00:00:00:00 mask=ff:00:00:00:00:00", "OK\n"},
        {"MAC_RAND_SCAN sched enable=1", "FAIL\n"}, // not supported
        {"MAC_RAND_SCAN scan enable=2", "FAIL\n"},
        {"MAC_RAND_SCAN scan", "FAIL\n"},                                 // enable missing
        {"MAC_RAND_SCAN scan enable=1 addr=02:00:00:00:00:00", "FAIL\n"}, // no mask
        {"MAC_RAND_SCAN scan enable=1 addr=03:00:00:00:00:00 mask=ff:00:00:00:00:00", "FAIL\n"}, // multicast
        {"MAC_RAND_SCAN scan enable=1 bogus=1", "FAIL\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(cmd(c.cmd), c.reply) << c.cmd;
    ASSERT_EQ(cmd("SCAN"), "OK\n");
    run(0);
    ASSERT_EQ(radio.scans.size(), 1u);
    EXPECT_TRUE(radio.scans[0].flags & RANDOM_ADDR);
    EXPECT_TRUE(radio.scans[0].has_mac);
    finish_scan();
    EXPECT_EQ(cmd("MAC_RAND_SCAN all enable=0"), "OK\n");
    ASSERT_EQ(cmd("SCAN"), "OK\n");
    run(0);
    ASSERT_EQ(radio.scans.size(), 2u);
    EXPECT_FALSE(radio.scans[1].flags & RANDOM_ADDR);
}

TEST(SchedScanPlans, ParserTable) {
    struct Case {
        const char *text;
        unsigned int max_plans;
        int ret;
        std::vector<std::pair<unsigned int, unsigned int>> plans;
    } cases[] = {
        {"10:3 60", 0, 0, {{10, 3}, {60, 0}}},
        {"10:0 60", 0, -1, {}},
        {"10:3", 0, -1, {}},
        {"60 10:3", 0, -1, {}},
        {"0", 0, -1, {}},
        {"5:2 10:2 60", 2, 0, {{5, 2}, {60, 0}}},
        {"", 0, 0, {}},
        {"  30  ", 0, 0, {{30, 0}}},
        {"10:x 60", 0, -1, {}},
        {"99999999999 60", 0, -1, {}},
        {"7200", 0, 0, {{3600, 0}}},
    };
    for (const Case &c : cases) {
        sched_scan_plan *plans = nullptr;
        size_t num = 0;
        EXPECT_EQ(sched_scan_plans_parse(c.text, c.max_plans, 3600, 100, &plans, &num), c.ret) << c.text;
        std::vector<std::pair<unsigned int, unsigned int>> got;
        for (size_t i = 0; i < num; i++)
            got.emplace_back(plans[i].interval, plans[i].iterations);
        EXPECT_EQ(got, c.plans) << c.text;
        free(plans);
    }
}

TEST(Bgscan, ParameterTable) {
    struct Case {
        const char *text;
        int ret;
        bgscan_simple_params p;
    } cases[] = {
        {"30:-65:300", 0, {30, -65, 300}}, {"30:-65", -1, {}},     {"", 0, {30, 0, 30}},
        {"0:-70:0", 0, {30, -70, 30}},     {"15", 0, {15, 0, 30}}, {"x", -1, {}},
        {"30:-65:300:9", -1, {}},
    };
    for (const Case &c : cases) {
        bgscan_simple_params p{};
        EXPECT_EQ(bgscan_simple_parse(c.text, &p), c.ret) << c.text;
        if (c.ret == 0) {
            EXPECT_EQ(p.short_interval, c.p.short_interval) << c.text;
            EXPECT_EQ(p.signal_threshold, c.p.signal_threshold) << c.text;
            EXPECT_EQ(p.long_interval, c.p.long_interval) << c.text;
        }
    }
}

TEST_F(Scan, BackgroundScanFollowsTheSignal) {
    int id = add_network("home");
    cmd("ENABLE_NETWORK " + std::to_string(id) + " no-connect");
    wpa_network *ssid = wpa_config_get_network(iface->conf, id);
    ASSERT_EQ(wpa_config_set_network_field(ssid, "bgscan", "\"simple:30:-65:300\"", 0), 0);
    iface->current_ssid = ssid;
    radio.signal = -70;
    supplicant_set_state(iface, WPA_COMPLETED);
    ASSERT_NE(iface->bgscan, nullptr);
    EXPECT_EQ(radio.monitor_threshold, -65);
    EXPECT_EQ(cmd("SIGNAL_MONITOR THRESHOLD=-60"), "FAIL\n");
    radio.scans.clear();
    run(30);
    ASSERT_EQ(radio.scans.size(), 1u);
    EXPECT_EQ(radio.scans[0].ssids, (std::vector<std::string>{"home"}));

    supplicant_set_state(iface, WPA_DISCONNECTED);
    EXPECT_EQ(iface->bgscan, nullptr);
    EXPECT_EQ(radio.monitor_threshold, 0);

    // A strong signal starts with the long interval.
    radio.signal = -60;
    radio_remove_works(iface, "scan", 0);
    supplicant_set_state(iface, WPA_COMPLETED);
    radio.scans.clear();
    run(31);
    EXPECT_TRUE(radio.scans.empty());
    iface->current_ssid = nullptr;
    supplicant_set_state(iface, WPA_DISCONNECTED);
}

TEST_F(Scan, NeighborReportWalkStopsAtTruncatedElements) {
    Bytes nr = {52, 19, 2, 0, 0, 0, 0, 9, 0x11, 0x22, 0x33, 0x44, 81, 6, 7, 39, 4, 1, 0, 8, 0xab};
    Bytes truncated = {52, 40, 2, 0, 0, 0, 0, 8, 0, 0, 0, 0, 81, 6, 7, 0, 0, 0};
    wpa_buf *buf = wpa_buf_alloc_copy(cat({nr, truncated}).data(), nr.size() + truncated.size());
    wpa_ctrl_iface_neighbor_rep_cb(iface, buf);
    wpa_buf_free(buf);
    EXPECT_EQ(
        matching("<3>RRM-NEIGHBOR-REP-RECEIVED"),
        (std::vector<std::string>{"<3>RRM-NEIGHBOR-REP-RECEIVED bssid=02:00:00:00:00:09 info=0x44332211 "
                                  "op_class=81 chan=6 phy_type=7 lci=ab"}));
    wpa_ctrl_iface_neighbor_rep_cb(iface, nullptr);
    EXPECT_EQ(matching("<3>RRM-NEIGHBOR-REP-REQUEST-FAILED").size(), 1u);
}

TEST_F(Scan, StatusLines) {
    EXPECT_EQ(cmd("STATUS"), "wpa_state=DISCONNECTED\naddress=00:00:00:00:00:00\n");
    int id = add_network("home");
    iface->current_ssid = wpa_config_get_network(iface->conf, id);
    iface->assoc_freq = 2437;
    uint8_t b[6] = {2, 0, 0, 0, 0, 1};
    memcpy(iface->bssid, b, 6);
    iface->wpa_state = WPA_COMPLETED;
    // The suites the RSN supplicant negotiated follow the network lines.
    ASSERT_NE(iface->wpa, nullptr);
    wpa_sm_configure_param(iface->wpa, WPA_PARAM_PROTO, WPA_PROTO_RSN);
    wpa_sm_configure_param(iface->wpa, WPA_PARAM_PAIRWISE, WPA_CIPHER_CCMP);
    wpa_sm_configure_param(iface->wpa, WPA_PARAM_GROUP, WPA_CIPHER_TKIP);
    wpa_sm_configure_param(iface->wpa, WPA_PARAM_KEY_MGMT, WPA_KEY_MGMT_IEEE8021X);
    EXPECT_EQ(cmd("STATUS-VERBOSE"),
              "bssid=02:00:00:00:00:01\nfreq=2437\nssid=home\nid=0\nmode=station\n"
              "pairwise_cipher=CCMP\ngroup_cipher=TKIP\nkey_mgmt=WPA2/IEEE 802.1X/EAP\n"
              "wpa_state=COMPLETED\naddress=00:00:00:00:00:00\n");
    EXPECT_EQ(cmd("STATUS-DRIVER"), "FAIL\n");
    iface->current_ssid = nullptr;
    iface->wpa_state = WPA_DISCONNECTED;
}

} // namespace
