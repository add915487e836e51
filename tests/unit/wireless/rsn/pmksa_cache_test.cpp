// The PMKSA cache on a fake clock (order by expiry, replacement, eviction at 32, expiry
// and its free reasons, opportunistic copies, the list text) and the pre-authentication
// candidate list with its start conditions.
#include "rsn_fixture.h"

namespace {

int64_t fake_now = 1000;

int fake_clock(os_reltime *now) {
    now->sec = fake_now;
    now->usec = 0;
    return 0;
}

struct FreeRecord {
    Bytes aa;
    pmksa_free_reason reason;
};

struct Cache : ::testing::Test {
    FakeCore core;
    rsn_supplicant *sm = nullptr;
    std::vector<FreeRecord> freed;
    Bytes pmk = Bytes(32, 0x11);
    int net_a = 0, net_b = 0;
    std::vector<eapol_supp_sm *> preauth_started;
    static Cache *current;

    void SetUp() override {
        current = this;
        eloop_init();
        fake_now = 1000;
        pmksa_cache_clock = fake_clock;
        line_sink = &core.lines;
        wpa_msg_register_cb(capture_line);
        sm = wpa_sm_create(make_ops(&core));
        ASSERT_NE(nullptr, sm);
        // Record every free, then let the RSN supplicant's own callback act.
        sm->pmksa->free_cb = [](pmksa_entry *e, void *ctx, pmksa_free_reason reason) {
            current->freed.push_back({Bytes(e->aa, e->aa + 6), reason});
            wpa_sm_pmksa_free_cb(e, ctx, reason);
        };
        const uint8_t own[6] = {2, 0, 0, 0, 0xff, 0};
        wpa_sm_store_own_addr(sm, own);
    }
    void TearDown() override {
        wpa_sm_destroy(sm);
        pmksa_cache_clock = os_get_reltime;
        wpa_msg_register_cb(nullptr);
        line_sink = nullptr;
        eloop_destroy();
    }

    static Bytes ap(int n) { return {2, 0, 0, 0, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)}; }

    pmksa_entry *add(int n, void *net = nullptr, const Bytes &key = {}) {
        const Bytes &k = key.empty() ? pmk : key;
        return pmksa_cache_insert(sm->pmksa, k.data(), k.size(), nullptr, nullptr, 0, ap(n).data(),
                                  sm->own_addr, net, WPA_KEY_MGMT_IEEE8021X);
    }

    std::vector<Bytes> order() const {
        std::vector<Bytes> out;
        for (pmksa_entry *e = sm->pmksa->pmksa; e != nullptr; e = e->next)
            out.emplace_back(e->aa, e->aa + 6);
        return out;
    }
};

Cache *Cache::current = nullptr;

TEST_F(Cache, SameKeyTwiceReturnsTheSameEntryAndTellsTheDriverOnce) {
    pmksa_entry *a = add(1);
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(a, add(1));
    EXPECT_EQ(1, sm->pmksa->pmksa_count);
    EXPECT_EQ(1u, core.pmkids_added.size());
    // The PMKID is that of the PMK for this authenticator and our address.
    uint8_t expect[16];
    rsn_compute_pmkid(pmk.data(), pmk.size(), ap(1).data(), sm->own_addr, expect);
    EXPECT_EQ(Bytes(expect, expect + 16), Bytes(a->pmkid, a->pmkid + 16));
    EXPECT_EQ(1000 + 43200, a->expiration);
    EXPECT_EQ(1000 + 30240, a->reauth_time);

    // A new PMK for the same authenticator replaces the entry (reason 1).
    ASSERT_NE(nullptr, add(1, nullptr, Bytes(32, 0x22)));
    EXPECT_EQ(1, sm->pmksa->pmksa_count);
    ASSERT_FALSE(freed.empty());
    EXPECT_EQ(PMKSA_REPLACE, freed.back().reason);
    EXPECT_EQ(1u, core.pmkids_removed.size());

    // Too long a PMK, or Suite B without a KCK, adds nothing.
    const Bytes big(49, 1);
    EXPECT_EQ(nullptr, pmksa_cache_insert(sm->pmksa, big.data(), big.size(), nullptr, nullptr, 0,
                                          ap(2).data(), sm->own_addr, nullptr, WPA_KEY_MGMT_IEEE8021X));
    EXPECT_EQ(nullptr, pmksa_cache_insert(sm->pmksa, pmk.data(), 32, nullptr, nullptr, 0, ap(2).data(),
                                          sm->own_addr, nullptr, WPA_KEY_MGMT_IEEE8021X_SUITE_B));
}

TEST_F(Cache, SortedByExpiryWithEqualExpiriesInInsertionOrder) {
    add(1);
    add(2);
    fake_now = 900;
    add(3);
    fake_now = 1000;
    add(4);
    EXPECT_EQ((std::vector<Bytes>{ap(3), ap(1), ap(2), ap(4)}), order());
    EXPECT_TRUE(eloop_is_timeout_registered(pmksa_cache_expire, sm->pmksa, nullptr));
}

TEST_F(Cache, TheThirtyThirdEntryEvictsTheEarliestOrTheNextWhenTheEarliestIsInUse) {
    for (int i = 0; i < 32; i++) {
        fake_now = 1000 + i;
        add(i);
    }
    fake_now = 2000;
    add(100);
    EXPECT_EQ(32, sm->pmksa->pmksa_count);
    EXPECT_EQ(nullptr, pmksa_cache_find(sm->pmksa, ap(0).data(), nullptr, nullptr));
    EXPECT_EQ(PMKSA_FREE, freed.back().reason);

    sm->cur_pmksa = pmksa_cache_find(sm->pmksa, ap(1).data(), nullptr, nullptr);
    add(101);
    EXPECT_NE(nullptr, pmksa_cache_find(sm->pmksa, ap(1).data(), nullptr, nullptr));
    EXPECT_EQ(nullptr, pmksa_cache_find(sm->pmksa, ap(2).data(), nullptr, nullptr));
    EXPECT_TRUE(core.deauths.empty()) << "evicting an entry not in use leaves the link alone";
}

TEST_F(Cache, ExpiryFreesDueEntriesAndLeavesWhenTheKeyInUseExpires) {
    add(1);
    fake_now = 2000;
    add(2);
    sm->cur_pmksa = pmksa_cache_find(sm->pmksa, ap(1).data(), nullptr, nullptr);
    std::memcpy(sm->pmk, pmk.data(), 32);
    sm->pmk_len = 32;

    fake_now = 1000 + 43200 - 1;
    pmksa_cache_expire(sm->pmksa, nullptr);
    EXPECT_EQ(2, sm->pmksa->pmksa_count);

    fake_now = 1000 + 43200;
    pmksa_cache_expire(sm->pmksa, nullptr);
    EXPECT_EQ(1, sm->pmksa->pmksa_count);
    ASSERT_EQ(1u, freed.size());
    EXPECT_EQ(PMKSA_EXPIRE, freed[0].reason);
    EXPECT_EQ(nullptr, sm->cur_pmksa);
    EXPECT_EQ(std::vector<int>{1}, core.deauths);
    EXPECT_EQ(0u, sm->pmk_len);
    EXPECT_TRUE(eloop_is_timeout_registered(pmksa_cache_expire, sm->pmksa, nullptr));
}

TEST_F(Cache, OpportunisticCopyForAnotherApOfTheNetwork) {
    add(1, &net_a);
    pmksa_entry *orig = pmksa_cache_find(sm->pmksa, ap(1).data(), nullptr, nullptr);
    fake_now = 5000;
    EXPECT_EQ(nullptr, pmksa_cache_clone_for_ap(sm->pmksa, &net_b, ap(2).data()));
    pmksa_entry *copy = pmksa_cache_clone_for_ap(sm->pmksa, &net_a, ap(2).data());
    ASSERT_NE(nullptr, copy);
    EXPECT_EQ(1, copy->opportunistic);
    EXPECT_EQ(orig->expiration, copy->expiration);
    uint8_t expect[16];
    rsn_compute_pmkid(pmk.data(), pmk.size(), ap(2).data(), sm->own_addr, expect);
    EXPECT_EQ(Bytes(expect, expect + 16), Bytes(copy->pmkid, copy->pmkid + 16));

    // Selecting by BSSID finds it; with opportunistic use a third AP gets its own copy.
    EXPECT_EQ(0, wpa_sm_select_pmksa(sm, nullptr, ap(2).data(), &net_a, 0));
    EXPECT_EQ(copy, sm->cur_pmksa);
    EXPECT_EQ(-1, wpa_sm_select_pmksa(sm, nullptr, ap(3).data(), &net_a, 0));
    EXPECT_EQ(0, wpa_sm_select_pmksa(sm, nullptr, ap(3).data(), &net_a, 1));
    EXPECT_EQ(3, sm->pmksa->pmksa_count);
    EXPECT_EQ(0, wpa_sm_select_pmksa(sm, orig->pmkid, nullptr, &net_a, 0));
    EXPECT_EQ(orig, sm->cur_pmksa);
}

TEST_F(Cache, FlushByNetworkAndListText) {
    add(1, &net_a);
    add(2, &net_b);
    char buf[512];
    const int n = wpa_sm_pmksa_text(sm, buf, sizeof(buf));
    const std::string text(buf, static_cast<size_t>(n));
    pmksa_entry *e = pmksa_cache_find(sm->pmksa, ap(1).data(), nullptr, nullptr);
    EXPECT_EQ("Index / AA / PMKID / expiration (in seconds) / opportunistic\n"
              "1 02:00:00:00:00:01 " +
                  hex(e->pmkid, 16) + " 43200 0\n2 02:00:00:00:00:02 " +
                  hex(pmksa_cache_find(sm->pmksa, ap(2).data(), nullptr, nullptr)->pmkid, 16) + " 43200 0\n",
              text);
    // A buffer for the header and one line stops after the first line.
    const size_t two_lines = text.find('\n', text.find('\n') + 1) + 1;
    EXPECT_EQ(static_cast<int>(two_lines), wpa_sm_pmksa_text(sm, buf, two_lines + 1));
    EXPECT_EQ(text.substr(0, two_lines), std::string(buf));
    EXPECT_EQ(0, wpa_sm_pmksa_text(sm, buf, 10));

    wpa_sm_flush_pmksa(sm, &net_a);
    EXPECT_EQ((std::vector<Bytes>{ap(2)}), order());
    EXPECT_EQ(0, rsn_ctrl_pmksa_flush(sm));
    EXPECT_EQ(0, sm->pmksa->pmksa_count);
    EXPECT_FALSE(eloop_is_timeout_registered(pmksa_cache_expire, sm->pmksa, nullptr));
}

TEST_F(Cache, ReauthenticationTimerOnlyForAKeyInUse) {
    static int reauths;
    reauths = 0;
    rsn_eapol_ops ops{};
    ops.reauthenticate = [](eapol_supp_sm *) { reauths++; };
    static int fake_eapol;
    wpa_sm_attach_eapol(sm, reinterpret_cast<eapol_supp_sm *>(&fake_eapol), &ops);

    add(2); // another AP's key: nothing to re-authenticate
    EXPECT_FALSE(eloop_is_timeout_registered(pmksa_cache_reauth, sm->pmksa, nullptr));
    wpa_sm_on_associated(sm, ap(1).data());
    fake_now = 900; // becomes the head, which re-arms both timers
    add(1);
    EXPECT_TRUE(eloop_is_timeout_registered(pmksa_cache_reauth, sm->pmksa, nullptr));

    sm->cur_pmksa = pmksa_cache_find(sm->pmksa, ap(1).data(), nullptr, nullptr);
    pmksa_cache_reauth(sm->pmksa, nullptr);
    EXPECT_EQ(nullptr, sm->cur_pmksa);
    EXPECT_EQ(1, reauths);
}

// ------------------------------------------------------------------ candidates

struct Candidates : Cache {
    void SetUp() override {
        Cache::SetUp();
        rsn_eapol_ops ops{};
        ops.preauth_begin = [](rsn_supplicant *, const uint8_t *, void *, eapol_supp_sm **out) {
            static int fake;
            *out = reinterpret_cast<eapol_supp_sm *>(&fake);
            current->preauth_started.push_back(*out);
            return 0;
        };
        ops.preauth_end = [](rsn_supplicant *, eapol_supp_sm *) {};
        ops.get_key = [](eapol_supp_sm *, uint8_t *buf, size_t len) {
            std::memset(buf, 0x77, len);
            return 0;
        };
        wpa_sm_attach_eapol(sm, nullptr, &ops);
        wpa_sm_configure_param(sm, WPA_PARAM_PROTO, WPA_PROTO_RSN);
        wpa_sm_configure_param(sm, WPA_PARAM_KEY_MGMT, WPA_KEY_MGMT_IEEE8021X);
        core.state = WPA_ASSOCIATED; // not yet COMPLETED: candidates only queue
        wpa_sm_on_associated(sm, ap(1).data());
    }

    std::vector<std::pair<Bytes, int>> list() const {
        std::vector<std::pair<Bytes, int>> out;
        for (pmksa_candidate *c = sm->pmksa_candidates; c != nullptr; c = c->next)
            out.emplace_back(Bytes(c->bssid, c->bssid + 6), c->priority);
        return out;
    }
};

TEST_F(Candidates, PriorityOrderAndRepeatedReports) {
    rsn_preauth_add_candidate(sm, ap(2).data(), 5, 1);
    rsn_preauth_add_candidate(sm, ap(3).data(), 1000, 1);
    rsn_preauth_add_candidate(sm, ap(4).data(), 7, 1);
    rsn_preauth_add_candidate(sm, ap(2).data(), 1000, 1); // keeps 5
    EXPECT_EQ((std::vector<std::pair<Bytes, int>>{{ap(2), 5}, {ap(4), 7}, {ap(3), 1000}}), list());
    rsn_preauth_add_candidate(sm, ap(3).data(), 3, 1); // moves to 3
    EXPECT_EQ((std::vector<std::pair<Bytes, int>>{{ap(3), 3}, {ap(2), 5}, {ap(4), 7}}), list());
    rsn_preauth_add_candidate(sm, ap(9).data(), 1, 0); // not allowed: not listed
    EXPECT_EQ(3u, list().size());
    EXPECT_TRUE(preauth_started.empty()) << "not COMPLETED yet";
}

TEST_F(Candidates, PreauthenticationSkipsTheCurrentApAndPskNetworks) {
    rsn_preauth_add_candidate(sm, ap(1).data(), 1, 1); // the current BSSID
    core.state = WPA_COMPLETED;
    wpa_sm_configure_param(sm, WPA_PARAM_KEY_MGMT, WPA_KEY_MGMT_PSK);
    rsn_preauth_add_candidate(sm, ap(2).data(), 2, 1);
    EXPECT_TRUE(preauth_started.empty());
    EXPECT_TRUE(std::find(core.lines.begin(), core.lines.end(),
                          "RSN: not in suitable state for new pre-authentication") != core.lines.end());

    wpa_sm_configure_param(sm, WPA_PARAM_KEY_MGMT, WPA_KEY_MGMT_IEEE8021X);
    rsn_preauth_process_candidates(sm);
    ASSERT_EQ(1u, preauth_started.size());
    EXPECT_EQ(ap(2), Bytes(sm->preauth_bssid, sm->preauth_bssid + 6)) << "the current AP is passed over";
    EXPECT_TRUE(list().empty());
    EXPECT_TRUE(eloop_is_timeout_registered(rsn_preauth_timeout, sm, nullptr));
    EXPECT_EQ(-1, rsn_preauth_start(sm, ap(3).data(), nullptr)) << "one at a time";

    // Success: the key goes into the cache for that AP.
    rsn_preauth_result(sm, 1);
    EXPECT_FALSE(sm->preauth_running);
    pmksa_entry *e = pmksa_cache_find(sm->pmksa, ap(2).data(), nullptr, nullptr);
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(Bytes(32, 0x77), Bytes(e->pmk, e->pmk + e->pmk_len));
    EXPECT_FALSE(eloop_is_timeout_registered(rsn_preauth_timeout, sm, nullptr));
}

TEST_F(Candidates, ScanResultsAddApsOfTheNetworkWithoutACacheEntry) {
    rsn_network_settings net{};
    std::memcpy(net.ssid, "lab", 3);
    net.ssid_len = 3;
    wpa_sm_set_network_config(sm, &net);
    ASSERT_EQ(0, rsn_preauth_begin_scan_results(sm));
    const Bytes ssid = {0, 3, 'l', 'a', 'b'}, other = {0, 3, 'l', 'a', 'x'};
    const Bytes rsn_preauth = unhex("30 14 0100 000fac04 0100 000fac04 0100 000fac01 0100");
    const Bytes rsn_no = unhex("30 14 0100 000fac04 0100 000fac04 0100 000fac01 0000");
    rsn_preauth_check_bss(sm, ap(2).data(), ssid.data(), rsn_preauth.data());
    rsn_preauth_check_bss(sm, ap(3).data(), other.data(), rsn_preauth.data());
    rsn_preauth_check_bss(sm, ap(1).data(), ssid.data(), rsn_preauth.data()); // current AP
    rsn_preauth_check_bss(sm, ap(4).data(), ssid.data(), rsn_no.data());      // not allowed
    EXPECT_EQ((std::vector<std::pair<Bytes, int>>{{ap(2), 1000}}), list());
    EXPECT_EQ(-1, rsn_ctrl_preauth(sm, "02:00:00:00:00:zz", nullptr));
}

TEST_F(Candidates, PreauthWordRestartsTowardsTheNamedApAndTimesOut) {
    EXPECT_EQ(0, rsn_ctrl_preauth(sm, "02:00:00:00:00:05", nullptr));
    EXPECT_EQ(ap(5), Bytes(sm->preauth_bssid, sm->preauth_bssid + 6));
    EXPECT_EQ(0, rsn_ctrl_preauth(sm, "02:00:00:00:00:06", nullptr)) << "a running one is stopped first";
    EXPECT_EQ(ap(6), Bytes(sm->preauth_bssid, sm->preauth_bssid + 6));
    EXPECT_EQ(2u, preauth_started.size());

    // Frames on the pre-authentication socket count only from that AP.
    EXPECT_TRUE(rsn_preauth_accepts(sm, ap(6).data()));
    EXPECT_FALSE(rsn_preauth_accepts(sm, ap(5).data()));

    rsn_preauth_timeout(sm, nullptr);
    EXPECT_FALSE(sm->preauth_running);
    EXPECT_FALSE(rsn_preauth_accepts(sm, ap(6).data()));
    EXPECT_TRUE(std::find(core.lines.begin(), core.lines.end(),
                          "RSN: pre-authentication with 02:00:00:00:00:06 timed out") != core.lines.end());
    EXPECT_EQ(0, sm->pmksa->pmksa_count);
}

} // namespace
