// The association road on a scripted back end ("tassoc"): station management with its
// fall-back and timers, the association elements, suite choice, the early EAPOL frame,
// the connection's completion and TKIP countermeasures. Timeouts run without waiting;
// the connection clock is a fake one.
#include "wireless/common/ieee802_11_common.h"
#include "wireless/core/association.h"
#include "wireless/core/bss.h"
#include "wireless/core/config.h"
#include "wireless/core/connection_state.h"
#include "wireless/core/ctrl_iface.h"
#include "wireless/core/eloop.h"
#include "wireless/core/scan.h"
#include "wireless/core/supplicant.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/core/wpabuf.h"
#include "wireless/rsn/wpa.h"

#include "driver_fake.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace driver_fake;

// RSN: the group suite, the pairwise suites and the AKMs (00-0F-AC types).
Bytes rsn_ie(uint8_t group, std::initializer_list<uint8_t> pairwise, std::initializer_list<uint8_t> akms) {
    Bytes b{1, 0, 0x00, 0x0f, 0xac, group, static_cast<uint8_t>(pairwise.size()), 0};
    for (uint8_t p : pairwise)
        b.insert(b.end(), {0x00, 0x0f, 0xac, p});
    b.insert(b.end(), {static_cast<uint8_t>(akms.size()), 0});
    for (uint8_t a : akms)
        b.insert(b.end(), {0x00, 0x0f, 0xac, a});
    b.insert(b.end(), {0, 0});
    return ie(48, b);
}

// WPA (00-50-F2 types).
Bytes wpa_ie(uint8_t group, std::initializer_list<uint8_t> pairwise, std::initializer_list<uint8_t> akms) {
    Bytes b{0x00, 0x50, 0xf2, 1, 1, 0, 0x00, 0x50, 0xf2, group, static_cast<uint8_t>(pairwise.size()), 0};
    for (uint8_t p : pairwise)
        b.insert(b.end(), {0x00, 0x50, 0xf2, p});
    b.insert(b.end(), {static_cast<uint8_t>(akms.size()), 0});
    for (uint8_t a : akms)
        b.insert(b.end(), {0x00, 0x50, 0xf2, a});
    return ie(221, b);
}

const uint8_t AP1[6] = {0x02, 0, 0, 0, 0, 0x01};
const uint8_t AP2[6] = {0x02, 0, 0, 0, 0, 0x02};

struct Ap {
    uint8_t bssid[6];
    int freq;
    Bytes ies;
    uint16_t caps;
};

struct AuthCall {
    uint8_t bssid[6];
    int auth_alg;
};
struct AssocCall {
    uint8_t bssid[6];
    std::string ssid;
    Bytes ies;
    bool has_prev;
    uint8_t prev[6];
    int key_mgmt, pairwise, group;
};

struct FakeDriver {
    uint64_t flags = WPA_DRIVER_FLAGS_SME;
    int auth_ret = 0, assoc_ret = 0;
    std::vector<AuthCall> auths;
    std::vector<AssocCall> assocs;
    std::vector<int> deauth_reasons;
    std::vector<int> countermeasures;
    std::vector<int> ports;
    std::vector<Ap> aps;
    uint8_t bssid[6] = {};
    std::string ssid; // what get_ssid reports
    int ssid_ret = 0;
    Bytes ext_capa;
} drv;

int d_capa(void *, wpa_driver_capa *capa) {
    *capa = {};
    capa->flags = drv.flags;
    capa->enc = WPA_DRIVER_CAPA_ENC_WEP40 | WPA_DRIVER_CAPA_ENC_WEP104 | WPA_DRIVER_CAPA_ENC_TKIP |
                WPA_DRIVER_CAPA_ENC_CCMP;
    capa->max_scan_ssids = 4;
    if (!drv.ext_capa.empty()) {
        capa->extended_capa = drv.ext_capa.data();
        capa->extended_capa_len = static_cast<unsigned int>(drv.ext_capa.size());
    }
    return 0;
}
int d_scan(void *, wpa_driver_scan_params *) {
    return 0;
}
wpa_scan_results *d_results(void *) {
    std::vector<ScanEntry> entries;
    for (const Ap &ap : drv.aps) {
        ScanEntry e;
        memcpy(e.bssid, ap.bssid, 6);
        e.freq = ap.freq;
        e.level = -40;
        e.noise = 0;
        e.caps = ap.caps;
        e.ies = ap.ies;
        entries.push_back(e);
    }
    return scan_results(entries);
}
int d_auth(void *, wpa_driver_auth_params *p) {
    AuthCall c{};
    memcpy(c.bssid, p->bssid, 6);
    c.auth_alg = p->auth_alg;
    drv.auths.push_back(c);
    return drv.auth_ret;
}
int d_assoc(void *, wpa_driver_associate_params *p) {
    AssocCall c{};
    if (p->bssid) memcpy(c.bssid, p->bssid, 6);
    if (p->ssid) c.ssid.assign(reinterpret_cast<const char *>(p->ssid), p->ssid_len);
    if (p->wpa_ie) c.ies.assign(p->wpa_ie, p->wpa_ie + p->wpa_ie_len);
    c.has_prev = p->prev_bssid != nullptr;
    if (p->prev_bssid) memcpy(c.prev, p->prev_bssid, 6);
    c.key_mgmt = static_cast<int>(p->key_mgmt_suite);
    c.pairwise = static_cast<int>(p->pairwise_suite);
    c.group = static_cast<int>(p->group_suite);
    drv.assocs.push_back(c);
    if (drv.assoc_ret == 0 && p->bssid) memcpy(drv.bssid, p->bssid, 6);
    return drv.assoc_ret;
}
int d_deauth(void *, const uint8_t *, int reason) {
    drv.deauth_reasons.push_back(reason);
    return 0;
}
int d_get_bssid(void *, uint8_t *bssid) {
    memcpy(bssid, drv.bssid, 6);
    return 0;
}
int d_get_ssid(void *, uint8_t *ssid) {
    if (drv.ssid_ret < 0) return drv.ssid_ret;
    memcpy(ssid, drv.ssid.data(), drv.ssid.size());
    return static_cast<int>(drv.ssid.size());
}
int d_set_key(void *, const char *, wpa_alg, const uint8_t *, int, int, const uint8_t *, size_t,
              const uint8_t *, size_t) {
    return 0;
}
int d_countermeasures(void *, int enabled) {
    drv.countermeasures.push_back(enabled);
    return 0;
}
int d_port(void *, int authorized) {
    drv.ports.push_back(authorized);
    return 0;
}

const wpa_driver_ops tassoc = [] {
    wpa_driver_ops o = ops("tassoc", "scripted association");
    o.get_capa = d_capa;
    o.get_radio_name = radio_name;
    o.scan = d_scan;
    o.get_scan_results = d_results;
    o.authenticate = d_auth;
    o.associate = d_assoc;
    o.deauthenticate = d_deauth;
    o.get_bssid = d_get_bssid;
    o.get_ssid = d_get_ssid;
    o.set_key = d_set_key;
    o.set_countermeasures = d_countermeasures;
    o.set_supp_port = d_port;
    return o;
}();
const wpa_driver_ops *const drivers[] = {&tassoc, nullptr};

os_reltime fake_now{1000, 0};
int fake_clock(os_reltime *t) {
    *t = fake_now;
    return 0;
}
void advance_ms(int64_t ms) {
    fake_now.usec += ms * 1000;
    fake_now.sec += fake_now.usec / 1000000;
    fake_now.usec %= 1000000;
}

size_t count_prefix(const std::string &prefix) {
    return matching(prefix).size();
}

struct Assoc : Supplicant {
    void SetUp() override {
        drv = FakeDriver{};
        drv.aps.push_back({{0x02, 0, 0, 0, 0, 0x01}, 2412, ie(0, Bytes{'l', 'a', 'b'}), 0x0001});
        fake_now = {1000, 0};
        supplicant_conn_clock = fake_clock;
        ASSERT_NO_FATAL_FAILURE(start(drivers));
        iface = add_iface("wlan0", "tassoc");
        ASSERT_NE(iface, nullptr);
        run(0);
        events.clear();
    }
    void TearDown() override {
        Supplicant::TearDown();
        supplicant_conn_clock = os_get_reltime;
    }
    wpa_network *network(std::initializer_list<std::pair<const char *, const char *>> fields) {
        int id = std::stoi(cmd("ADD_NETWORK"));
        wpa_network *ssid = wpa_config_get_network(iface->conf, id);
        EXPECT_EQ(wpa_config_set_network_field(ssid, "ssid", "\"lab\"", 0), 0);
        for (auto &f : fields) {
            EXPECT_GE(wpa_config_set_network_field(ssid, f.first, f.second, 0), 0) << f.first;
            if (strcmp(f.first, "psk") == 0) wpa_config_update_psk(ssid);
        }
        ssid->disabled = 0;
        return ssid;
    }
    wpa_bss *bss(const uint8_t *bssid) {
        supplicant_update_scan_results(iface);
        return wpa_bss_get_bssid(iface, bssid);
    }
    void auth_reply(const uint8_t *peer, uint16_t alg, uint16_t status) {
        wpa_event_data d{};
        memcpy(d.auth.peer, peer, 6);
        d.auth.auth_type = alg;
        d.auth.auth_transaction = 2;
        d.auth.status_code = status;
        supplicant_event(iface, EVENT_AUTH, &d);
        run(0);
    }
    // Authentication and association through station management, up to the association
    // event.
    void join(wpa_network *ssid, const uint8_t *bssid) {
        supplicant_associate(iface, bss(bssid), ssid);
        run(0);
        ASSERT_FALSE(drv.auths.empty());
        auth_reply(bssid, 0, 0);
        ASSERT_FALSE(drv.assocs.empty());
        supplicant_event(iface, EVENT_ASSOC, nullptr);
        run(0);
    }
};

// ------------------------------------------------------------------ station management

TEST_F(Assoc, OpenNetworkCompletesWithOneConnectedLineAndAnAuthorisedPort) {
    wpa_network *ssid = network({{"key_mgmt", "NONE"}});
    join(ssid, AP1);
    EXPECT_EQ(iface->wpa_state, WPA_COMPLETED);
    EXPECT_EQ(
        count_prefix("<3>CTRL-EVENT-CONNECTED - Connection to 02:00:00:00:00:01 completed [id=0 id_str=]"),
        1u);
    EXPECT_EQ(
        count_prefix("<3>SME: Trying to authenticate with 02:00:00:00:00:01 (SSID='lab' freq=2412 MHz)"), 1u);
    ASSERT_FALSE(drv.ports.empty());
    EXPECT_EQ(drv.ports.back(), 1);
    // Going back to COMPLETED (as after a group rekey) says nothing new.
    supplicant_set_state(iface, WPA_GROUP_HANDSHAKE);
    supplicant_set_state(iface, WPA_COMPLETED);
    EXPECT_EQ(count_prefix("<3>CTRL-EVENT-CONNECTED"), 1u);
}

TEST_F(Assoc, AlgorithmNotSupportedFallsBackOpenSharedLeap) {
    struct Case {
        const char *auth_alg; // configured, or null
        uint16_t status;
        std::vector<int> tried; // algorithm sets the driver sees, in order
        bool ends_disconnected;
    } cases[] = {
        {nullptr, 13, {WPA_AUTH_ALG_OPEN, WPA_AUTH_ALG_SHARED, WPA_AUTH_ALG_LEAP}, true},
        {nullptr, 1, {WPA_AUTH_ALG_OPEN}, true}, // another status ends at once
        {"LEAP", 13, {WPA_AUTH_ALG_LEAP}, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.auth_alg ? c.auth_alg : "default");
        drv.auths.clear();
        wpa_network *ssid = c.auth_alg ? network({{"key_mgmt", "NONE"}, {"auth_alg", c.auth_alg}})
                                       : network({{"key_mgmt", "NONE"}});
        supplicant_associate(iface, bss(AP1), ssid);
        run(0);
        // The AP rejects every algorithm it is offered.
        for (size_t i = 0; i < 5 && drv.auths.size() == i + 1; i++) {
            const int alg = drv.auths.back().auth_alg;
            const uint16_t number = alg == WPA_AUTH_ALG_OPEN ? 0 : alg == WPA_AUTH_ALG_SHARED ? 1 : 128;
            auth_reply(AP1, number, c.status);
        }
        std::vector<int> tried;
        for (const AuthCall &a : drv.auths)
            tried.push_back(a.auth_alg);
        EXPECT_EQ(tried, c.tried);
        EXPECT_EQ(iface->wpa_state == WPA_DISCONNECTED, c.ends_disconnected);
        EXPECT_GE(count_prefix("<3>CTRL-EVENT-AUTH-REJECT 02:00:00:00:00:01 auth_type="), 1u);
        EXPECT_TRUE(drv.assocs.empty());
        supplicant_deauthenticate(iface, 3);
        run(1);
    }
}

TEST_F(Assoc, SilentApTimesOutAfterFiveSecondsInEachStep) {
    wpa_network *ssid = network({{"key_mgmt", "NONE"}});
    for (bool answer_auth : {false, true}) {
        SCOPED_TRACE(answer_auth ? "association" : "authentication");
        drv.deauth_reasons.clear();
        events.clear();
        supplicant_associate(iface, bss(AP1), ssid);
        run(0);
        // A reply from another peer is not the AP's.
        auth_reply(AP2, 0, 0);
        EXPECT_EQ(iface->wpa_state, WPA_AUTHENTICATING);
        if (answer_auth) {
            auth_reply(AP1, 0, 0);
            EXPECT_EQ(iface->wpa_state, WPA_ASSOCIATING);
        }
        run(4.9);
        EXPECT_TRUE(drv.deauth_reasons.empty());
        run(0.2);
        EXPECT_EQ(
            count_prefix(answer_auth ? "<2>SME: Association timeout" : "<2>SME: Authentication timeout"), 1u);
        EXPECT_EQ(drv.deauth_reasons, std::vector<int>{3});
        EXPECT_EQ(iface->wpa_state, WPA_DISCONNECTED);
        EXPECT_TRUE(is_zero_ether_addr(iface->pending_bssid));
    }
}

TEST_F(Assoc, RoamReassociatesNamingThePreviousApUntilTheConnectionIsLost) {
    drv.aps.push_back({{0x02, 0, 0, 0, 0, 0x02}, 2437, ie(0, Bytes{'l', 'a', 'b'}), 0x0001});
    wpa_network *ssid = network({{"key_mgmt", "NONE"}});
    join(ssid, AP1);
    ASSERT_EQ(iface->wpa_state, WPA_COMPLETED);
    EXPECT_FALSE(drv.assocs.back().has_prev);

    // A roam while connected: the association request names AP1.
    join(ssid, AP2);
    ASSERT_EQ(drv.assocs.size(), 2u);
    ASSERT_TRUE(drv.assocs.back().has_prev);
    EXPECT_EQ(memcmp(drv.assocs.back().prev, AP1, 6), 0);
    EXPECT_EQ(iface->wpa_state, WPA_COMPLETED);

    // The AP drops us: the next association is a fresh one.
    wpa_event_data d{};
    d.deauth_info.addr = AP2;
    d.deauth_info.reason_code = 3;
    supplicant_event(iface, EVENT_DEAUTH, &d);
    EXPECT_EQ(count_prefix("<3>CTRL-EVENT-DISCONNECTED bssid=02:00:00:00:00:02 reason=3"), 1u);
    EXPECT_EQ(count_prefix("<3>CTRL-EVENT-DISCONNECTED bssid=02:00:00:00:00:02 reason=3 locally_generated=1"),
              0u);
    run(1);
    join(ssid, AP1);
    EXPECT_FALSE(drv.assocs.back().has_prev);
}

TEST_F(Assoc, LocallyGeneratedDeauthenticationSaysSo) {
    wpa_network *ssid = network({{"key_mgmt", "NONE"}});
    join(ssid, AP1);
    supplicant_deauthenticate(iface, 3);
    EXPECT_EQ(count_prefix("<3>CTRL-EVENT-DISCONNECTED bssid=02:00:00:00:00:01 reason=3 locally_generated=1"),
              1u);
    EXPECT_EQ(drv.deauth_reasons, std::vector<int>{3});
    EXPECT_EQ(iface->wpa_state, WPA_DISCONNECTED);
    EXPECT_EQ(iface->current_ssid, nullptr);
}

TEST_F(Assoc, ApDeauthenticationRetriesTheSameApOrScansByReason) {
    wpa_network *ssid = network({{"key_mgmt", "NONE"}});
    struct Case {
        uint16_t reason;
        int locally_generated;
        bool retry_at_once;
    } cases[] = {{4, 0, true}, {3, 0, false}, {4, 1, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reason);
        join(ssid, AP1);
        ASSERT_EQ(iface->wpa_state, WPA_COMPLETED);
        supplicant_cancel_scan(iface);
        const size_t auths = drv.auths.size();
        wpa_event_data d{};
        d.deauth_info.addr = AP1;
        d.deauth_info.reason_code = c.reason;
        d.deauth_info.locally_generated = c.locally_generated;
        supplicant_event(iface, EVENT_DEAUTH, &d);
        run(0);
        // Without a scan: the same AP again at once; otherwise a scan first.
        EXPECT_EQ(drv.auths.size() > auths, c.retry_at_once);
        if (c.retry_at_once) {
            EXPECT_EQ(memcmp(drv.auths.back().bssid, AP1, 6), 0);
        }
        EXPECT_TRUE(supplicant_scan_pending(iface) || c.retry_at_once);
        // A local reason 4 (the AP went silent) also drops the AP from the table.
        EXPECT_EQ(wpa_bss_get_bssid(iface, AP1) == nullptr, c.reason == 4 && c.locally_generated == 1);
        supplicant_deauthenticate(iface, 3);
        run(1);
    }
}

TEST_F(Assoc, DisabledInterfaceIgnoresAssociationEvents) {
    wpa_network *ssid = network({{"key_mgmt", "NONE"}});
    supplicant_associate(iface, bss(AP1), ssid);
    run(0);
    supplicant_event(iface, EVENT_INTERFACE_DISABLED, nullptr);
    EXPECT_EQ(iface->wpa_state, WPA_INTERFACE_DISABLED);
    supplicant_event(iface, EVENT_ASSOC, nullptr);
    EXPECT_EQ(iface->wpa_state, WPA_INTERFACE_DISABLED);
    EXPECT_EQ(count_prefix("<3>CTRL-EVENT-CONNECTED"), 0u);
    supplicant_event(iface, EVENT_INTERFACE_ENABLED, nullptr);
    EXPECT_EQ(iface->wpa_state, WPA_DISCONNECTED);
}

// ------------------------------------------------------------------ connect work without SME

TEST_F(Assoc, UnansweredAssociationTimesOutAfterTenSecondsAndScansASecondLater) {
    drv.flags = 0;
    iface->drv_flags = 0;
    wpa_network *ssid = network({{"key_mgmt", "NONE"}});
    supplicant_associate(iface, bss(AP1), ssid);
    run(0);
    ASSERT_EQ(drv.assocs.size(), 1u);
    EXPECT_EQ(iface->wpa_state, WPA_ASSOCIATING);
    run(9.9);
    EXPECT_EQ(count_prefix("<3>Authentication with"), 0u);
    run(0.2);
    EXPECT_EQ(count_prefix("<3>Authentication with 02:00:00:00:00:01 timed out."), 1u);
    EXPECT_EQ(drv.deauth_reasons, std::vector<int>{3});
    EXPECT_TRUE(supplicant_scan_pending(iface));
}

TEST_F(Assoc, DriverRefusalWithSaneErrorCodesDisconnectsAtOnce) {
    drv.flags = WPA_DRIVER_FLAGS_SANE_ERROR_CODES;
    iface->drv_flags = drv.flags;
    drv.assoc_ret = -1;
    wpa_network *ssid = network({{"key_mgmt", "NONE"}});
    supplicant_associate(iface, bss(AP1), ssid);
    run(0);
    EXPECT_EQ(count_prefix("<3>Association request to the driver failed"), 1u);
    EXPECT_EQ(iface->wpa_state, WPA_DISCONNECTED);
    EXPECT_EQ(iface->connect_work, nullptr);
}

// ------------------------------------------------------------------ suites and elements

TEST_F(Assoc, SuitesFollowTheApAndTheNetwork) {
    struct Case {
        const char *name;
        Bytes ies;
        const char *proto; // network's proto
        const char *pairwise;
        int want_proto; // 0: no suite can be chosen
        int want_pairwise, want_group;
        uint8_t first_id;
    } cases[] = {
        {"rsn-ccmp", rsn_ie(4, {4}, {2}), "RSN WPA", "CCMP TKIP", WPA_PROTO_RSN, WPA_CIPHER_CCMP,
         WPA_CIPHER_CCMP, 48},
        {"mixed prefers rsn", cat({wpa_ie(2, {2}, {2}), rsn_ie(2, {4, 2}, {2})}), "RSN WPA", "CCMP TKIP",
         WPA_PROTO_RSN, WPA_CIPHER_CCMP, WPA_CIPHER_TKIP, 48},
        {"wpa only network", cat({wpa_ie(2, {2}, {2}), rsn_ie(2, {4, 2}, {2})}), "WPA", "CCMP TKIP",
         WPA_PROTO_WPA, WPA_CIPHER_TKIP, WPA_CIPHER_TKIP, 221},
        {"rsn ap, wpa network", rsn_ie(4, {4}, {2}), "WPA", "CCMP TKIP", 0, 0, 0, 0},
        {"no common pairwise", rsn_ie(4, {4}, {2}), "RSN", "TKIP", 0, 0, 0, 0},
        {"802.1X only ap", rsn_ie(4, {4}, {1}), "RSN", "CCMP", 0, 0, 0, 0},
        {"truncated rsn", ie(48, {1, 0, 0x00, 0x0f}), "RSN WPA", "CCMP TKIP", 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        drv.aps[0].ies = cat({ie(0, Bytes{'l', 'a', 'b'}), c.ies});
        wpa_network *ssid = network({{"key_mgmt", "WPA-PSK"},
                                     {"psk", "\"passphrase\""},
                                     {"proto", c.proto},
                                     {"pairwise", c.pairwise}});
        uint8_t buf[SUPP_ASSOC_IE_MAX];
        size_t len = sizeof(buf);
        const int r = supplicant_set_suites(iface, bss(AP1), ssid, buf, &len);
        if (c.want_proto == 0) {
            EXPECT_EQ(r, -1);
            continue;
        }
        ASSERT_EQ(r, 0);
        EXPECT_EQ(iface->wpa_proto, c.want_proto);
        EXPECT_EQ(iface->pairwise_cipher, c.want_pairwise);
        EXPECT_EQ(iface->group_cipher, c.want_group);
        EXPECT_EQ(iface->key_mgmt, WPA_KEY_MGMT_PSK);
        ASSERT_GE(len, 2u);
        EXPECT_EQ(buf[0], c.first_id);
        EXPECT_EQ(len, buf[1] + 2u);
    }
}

TEST_F(Assoc, ElementsEnterTheBufferOnlyWhenTheyFit) {
    // The driver's extended capabilities make an 8-byte element, inserted behind the RSN one.
    drv.ext_capa = {0x04, 0, 0, 0, 0, 0};
    iface->drv_capa.extended_capa = drv.ext_capa.data();
    iface->drv_capa.extended_capa_len = 6;
    drv.aps[0].ies = cat({ie(0, Bytes{'l', 'a', 'b'}), rsn_ie(4, {4}, {2}), ie(127, {0x04})});
    wpa_network *ssid = network({{"key_mgmt", "WPA-PSK"}, {"psk", "\"passphrase\""}});
    const size_t rsn_len = 22, ext_len = 3;
    for (size_t vendor_body : {size_t(200 - rsn_len - ext_len - 2), size_t(200 - rsn_len - ext_len - 1)}) {
        SCOPED_TRACE(vendor_body);
        Bytes vendor = ie(221, Bytes(vendor_body, 0x11));
        vendor[2] = 0x00; // an OUI that is not WPA's
        wpa_buf_free(iface->vendor_elem[13]);
        iface->vendor_elem[13] = wpa_buf_alloc_copy(vendor.data(), vendor.size());
        drv.assocs.clear();
        supplicant_associate(iface, bss(AP1), ssid);
        run(0);
        auth_reply(AP1, 0, 0);
        ASSERT_EQ(drv.assocs.size(), 1u);
        const Bytes &got = drv.assocs[0].ies;
        ASSERT_LE(got.size(), SUPP_ASSOC_IE_MAX);
        ASSERT_GE(got.size(), rsn_len + ext_len);
        EXPECT_EQ(got[0], 48);
        EXPECT_EQ(got[rsn_len], 127);
        const bool fits = rsn_len + ext_len + vendor.size() <= SUPP_ASSOC_IE_MAX;
        EXPECT_EQ(got.size(), rsn_len + ext_len + (fits ? vendor.size() : 0));
        supplicant_deauthenticate(iface, 3);
        run(1);
    }

    // Insertion into a full buffer leaves it as it was.
    uint8_t buf[SUPP_ASSOC_IE_MAX];
    size_t len = sizeof(buf) - 2;
    memset(buf, 0xdd, sizeof(buf));
    const uint8_t el[3] = {127, 1, 4};
    EXPECT_EQ(supp_ies_insert(buf, &len, sizeof(buf), 0, el, sizeof(el)), -1);
    EXPECT_EQ(len, sizeof(buf) - 2);
    EXPECT_EQ(buf[0], 0xdd);
    EXPECT_EQ(supp_ies_append(buf, &len, sizeof(buf), el, 2), 0);
    EXPECT_EQ(len, sizeof(buf));
    EXPECT_EQ(supp_ies_append(buf, &len, sizeof(buf), el, 1), -1);
}

TEST_F(Assoc, AssociationInformationWithoutRequestElementsKeepsTheSentElement) {
    drv.aps[0].ies = cat({ie(0, Bytes{'l', 'a', 'b'}), rsn_ie(4, {4}, {2})});
    wpa_network *ssid = network({{"key_mgmt", "WPA-PSK"}, {"psk", "\"passphrase\""}});
    supplicant_associate(iface, bss(AP1), ssid);
    run(0);
    auth_reply(AP1, 0, 0);
    ASSERT_EQ(drv.assocs.size(), 1u);
    // The back end saw only the response.
    const uint8_t resp[] = {1, 1, 0x82};
    wpa_event_data d{};
    d.assoc_info.resp_ies = resp;
    d.assoc_info.resp_ies_len = sizeof(resp);
    d.assoc_info.freq = 2412;
    supplicant_event(iface, EVENT_ASSOC, &d);
    ASSERT_NE(iface->wpa->assoc_wpa_ie, nullptr);
    EXPECT_EQ(Bytes(iface->wpa->assoc_wpa_ie, iface->wpa->assoc_wpa_ie + iface->wpa->assoc_wpa_ie_len),
              drv.assocs[0].ies);
    // Request elements without a security element clear it.
    const uint8_t req[] = {0, 3, 'l', 'a', 'b'};
    d.assoc_info.req_ies = req;
    d.assoc_info.req_ies_len = sizeof(req);
    supplicant_event_associnfo(iface, &d);
    EXPECT_EQ(iface->wpa->assoc_wpa_ie, nullptr);
}

// ------------------------------------------------------------------ early EAPOL frame

TEST_F(Assoc, EarlyEapolFrameIsDeliveredOnlyWhenRecentAndFromTheNewAp) {
    struct Case {
        int age_ms;
        const uint8_t *src;
        unsigned int delivered;
    } cases[] = {{99, AP1, 1}, {101, AP1, 0}, {0, AP2, 0}};
    const uint8_t frame[8] = {2, 3, 0, 4, 1, 2, 3, 4};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.age_ms);
        wpa_network *ssid = network({{"key_mgmt", "NONE"}});
        supplicant_associate(iface, bss(AP1), ssid);
        run(0);
        auth_reply(AP1, 0, 0);
        ASSERT_EQ(iface->wpa_state, WPA_ASSOCIATING);
        supplicant_rx_eapol(iface, c.src, frame, sizeof(frame));
        EXPECT_NE(iface->pending_eapol_rx, nullptr); // kept for the association event
        advance_ms(c.age_ms);
        supplicant_event(iface, EVENT_ASSOC, nullptr);
        EXPECT_EQ(iface->eapol_received, c.delivered);
        EXPECT_EQ(iface->pending_eapol_rx, nullptr);
        supplicant_deauthenticate(iface, 3);
        run(1);
    }
}

// ------------------------------------------------------------------ Michael MIC failures

TEST_F(Assoc, SecondMichaelMicFailureWithinSixtySecondsStartsCountermeasures) {
    struct Case {
        int64_t first_at_s; // of the fake monotonic clock
        int64_t gap_s;      // to the second failure, or -1 for none
        bool countermeasures;
    } cases[] = {
        {30, -1, false}, // a first failure early in the clock's life is still the first
        {1000, 30, true},
        {1000, 61, false},
    };
    wpa_network *ssid = network({{"key_mgmt", "NONE"}});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.gap_s);
        iface->mic_failure_seen = 0;
        drv.countermeasures.clear();
        drv.deauth_reasons.clear();
        events.clear();
        join(ssid, AP1);
        ASSERT_EQ(iface->wpa_state, WPA_COMPLETED);
        fake_now = {c.first_at_s, 0};
        wpa_event_data d{};
        d.michael_mic_failure.unicast = 1;
        supplicant_event(iface, EVENT_MICHAEL_MIC_FAILURE, &d);
        if (c.gap_s >= 0) {
            fake_now.sec += c.gap_s;
            supplicant_event(iface, EVENT_MICHAEL_MIC_FAILURE, &d);
        }
        EXPECT_EQ(iface->countermeasures != 0, c.countermeasures);
        EXPECT_EQ(count_prefix("<4>TKIP countermeasures started"), c.countermeasures ? 1u : 0u);
        if (c.countermeasures) {
            EXPECT_EQ(drv.countermeasures, std::vector<int>{1});
            EXPECT_EQ(drv.deauth_reasons, std::vector<int>{14});
            // EAPOL frames are dropped while they last.
            supplicant_rx_eapol(iface, AP1, reinterpret_cast<const uint8_t *>("\x02\x03\x00\x00"), 4);
            run(59);
            EXPECT_EQ(count_prefix("<3>WPA: TKIP countermeasures stopped"), 0u);
            run(1.1);
            EXPECT_EQ(count_prefix("<3>WPA: TKIP countermeasures stopped"), 1u);
            EXPECT_EQ(drv.countermeasures, (std::vector<int>{1, 0}));
        } else {
            EXPECT_TRUE(drv.deauth_reasons.empty());
            supplicant_deauthenticate(iface, 3);
        }
        run(1);
    }
}

} // namespace

// ------------------------------------------------------------------ the driver picks the BSS

TEST_F(Assoc, ApScanTwoTriesTheNetworksInOrderWithoutScanning) {
    iface->drv_flags &= ~static_cast<uint64_t>(WPA_DRIVER_FLAGS_SME); // connect by SSID
    wpa_network *off = network({{"key_mgmt", "NONE"}});
    network({{"key_mgmt", "NONE"}, {"ssid", "\"a\""}});
    network({{"key_mgmt", "NONE"}, {"ssid", "\"b\""}});
    off->disabled = 1;
    ASSERT_EQ(cmd("AP_SCAN 2"), "OK\n");
    // Each attempt is rejected; the next search takes the next network, and after the
    // last one it starts over.
    std::vector<std::string> tried;
    for (int i = 0; i < 3; i++) {
        supplicant_req_scan(iface, 0, 0);
        run(0);
        ASSERT_EQ(drv.assocs.size(), static_cast<size_t>(i + 1));
        tried.push_back(drv.assocs.back().ssid);
        EXPECT_EQ(memcmp(drv.assocs.back().bssid, "\0\0\0\0\0\0", 6), 0);
        wpa_event_data d{};
        d.assoc_reject.status_code = 1;
        supplicant_event(iface, EVENT_ASSOC_REJECT, &d);
        run(0);
    }
    EXPECT_EQ(tried, (std::vector<std::string>{"a", "b", "a"}));
    EXPECT_EQ(count_prefix("<3>Trying to associate with SSID 'a'"), 2u);
    EXPECT_EQ(count_prefix("<3>CTRL-EVENT-SCAN-STARTED"), 0u);
}

TEST_F(Assoc, DriverChosenSsidSelectsTheNetworkOrEndsTheAssociation) {
    iface->drv_flags &= ~static_cast<uint64_t>(WPA_DRIVER_FLAGS_SME);
    struct Case {
        const char *reported; // null: the SSID cannot be read
        bool stays;
        const char *event;
    } cases[] = {
        {"lab", true, nullptr},
        {"lab2", true, "<2>Driver-initiated BSS selection changed the SSID to lab2"},
        {"elsewhere", false, "<3>No network configuration found for the current AP"},
        {nullptr, false, "<3>Failed to read SSID from driver"},
    };
    wpa_network *lab = network({{"key_mgmt", "NONE"}});
    wpa_network *lab2 = network({{"key_mgmt", "NONE"}, {"ssid", "\"lab2\""}});
    ASSERT_EQ(cmd("AP_SCAN 2"), "OK\n");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reported ? c.reported : "unreadable");
        events.clear();
        drv.deauth_reasons.clear();
        supplicant_associate(iface, nullptr, lab);
        run(0);
        ASSERT_FALSE(drv.assocs.empty());
        memcpy(drv.bssid, AP2, 6);
        drv.ssid = c.reported ? c.reported : "";
        drv.ssid_ret = c.reported ? 0 : -1;
        supplicant_event(iface, EVENT_ASSOC, nullptr);
        run(0);
        if (c.stays) {
            EXPECT_EQ(iface->wpa_state, WPA_COMPLETED);
            EXPECT_EQ(iface->current_ssid, strcmp(c.reported, "lab") == 0 ? lab : lab2);
            EXPECT_EQ(memcmp(iface->bssid, AP2, 6), 0);
            EXPECT_TRUE(drv.deauth_reasons.empty());
        } else {
            EXPECT_NE(iface->wpa_state, WPA_COMPLETED);
            EXPECT_EQ(drv.deauth_reasons, std::vector<int>{3});
            EXPECT_EQ(count_prefix("<3>CTRL-EVENT-CONNECTED"), 0u);
        }
        if (c.event) {
            EXPECT_EQ(count_prefix(c.event), 1u);
        }
        supplicant_deauthenticate(iface, 3);
        run(0);
        memset(drv.bssid, 0, 6);
    }
}
