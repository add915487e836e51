// The 802.1X supplicant's timers: the first EAPOL-Start after association, the start
// period, maxStart, HELD, logoff and the cached-PMKSA restart.
#include "eap_harness.h"

namespace {

using Timers = EapHarness;

int starts(const std::vector<EapHarness::Frame> &frames) {
    int n = 0;
    for (const auto &f : frames)
        if (f.type == IEEE802_1X_TYPE_EAPOL_START) n++;
    return n;
}

// With EAP switched off (a PSK network) only the PAE timers run.
void eap_off(EapHarness *h) {
    eapol_supp_config ec{};
    ec.eap_disabled = 1;
    eapol_supp_apply_config(h->sm, h->net, &ec);
}

TEST_F(Timers, StartsThenHeldWithoutAnswer) {
    eap_off(this);
    start();
    eapol_supp_view v;
    eapol_supp_get_view(sm, &v);
    EXPECT_EQ(v.startWhen, 2u);
    EXPECT_EQ(starts(sent), 0);
    // Table of (seconds elapsed, EAPOL-Starts sent by then).
    const std::pair<int, int> table[] = {{1, 0}, {2, 1}, {31, 1}, {32, 2}, {62, 3}, {91, 3}};
    int t = 0;
    for (auto [sec, count] : table) {
        while (t < sec) {
            eapol_supp_timer_tick(sm);
            t++;
        }
        EXPECT_EQ(starts(sent), count) << "at " << sec << " s";
    }
    eapol_supp_timer_tick(sm); // 92 s: maxStart reached, no answer
    eapol_supp_get_view(sm, &v);
    EXPECT_EQ(v.supp_pae_state, 7); // HELD
    EXPECT_EQ(v.heldWhile, 60u);
    for (int i = 0; i < 60; i++)
        eapol_supp_timer_tick(sm);
    eapol_supp_get_view(sm, &v);
    EXPECT_EQ(v.supp_pae_state, 3); // CONNECTING again
    EXPECT_EQ(starts(sent), 4);
}

TEST_F(Timers, ValidPortAfterMaxStartIsAuthenticated) {
    eap_off(this);
    eapol_supp_set_port_valid(sm, true);
    start();
    for (int i = 0; i < 92; i++)
        eapol_supp_timer_tick(sm);
    EXPECT_NE(status().find("Supplicant PAE state=AUTHENTICATED\nsuppPortStatus=Authorized"),
              std::string::npos);
}

TEST_F(Timers, EapIdleTimeoutFailsIntoHeld) {
    // With EAP on, a port that hears no request gives up when the EAP peer's idle
    // time (60 s) runs out, before the third EAPOL-Start.
    start();
    for (int i = 0; i < 60; i++)
        eapol_supp_timer_tick(sm);
    eapol_supp_view v;
    eapol_supp_get_view(sm, &v);
    EXPECT_EQ(v.supp_pae_state, 7);
    EXPECT_EQ(v.heldWhile, 60u);
    EXPECT_EQ(starts(sent), 2);
    EXPECT_TRUE(has_event("CTRL-EVENT-EAP-FAILURE EAP authentication failed"));
}

TEST_F(Timers, LogoffSendsOneLogoffAndLogonStartsAtOnce) {
    start();
    eapol_supp_set_logoff(sm, true);
    eapol_supp_set_logoff(sm, true);
    int logoffs = 0;
    for (const auto &f : sent)
        if (f.type == IEEE802_1X_TYPE_EAPOL_LOGOFF) logoffs++;
    EXPECT_EQ(logoffs, 1);
    sent.clear();
    eapol_supp_set_logoff(sm, false);
    // Back through DISCONNECTED to CONNECTING; startWhen cleared, so the next tick sends.
    eapol_supp_view v;
    eapol_supp_get_view(sm, &v);
    EXPECT_EQ(v.supp_pae_state, 3);
}

TEST_F(Timers, RequestDuringCachedPmksaRestartsWithStartWhenThree) {
    start();
    eapol_supp_note_pmksa_attempt(sm, true);
    set("identity", "\"x\"");
    eap(request(1, EAP_TYPE_IDENTITY));
    EXPECT_EQ(last_response().size(), 6u);
    eapol_supp_view v;
    eapol_supp_get_view(sm, &v);
    EXPECT_EQ(v.suppPortStatus, EAPOL_Unauthorized);
}

TEST_F(Timers, FramesAreCountedAndRsnKeysAreNotTaken) {
    start();
    const uint8_t src[6] = {1, 2, 3, 4, 5, 6};
    const uint8_t shortf[3] = {2, 0, 0};
    EXPECT_EQ(eapol_supp_rx_frame(sm, src, shortf, sizeof(shortf)), 0);
    const uint8_t longer[6] = {2, 0, 0, 9, 1, 1};
    EXPECT_EQ(eapol_supp_rx_frame(sm, src, longer, sizeof(longer)), 0);
    std::vector<uint8_t> key(4 + 95, 0);
    key[0] = 2;
    key[1] = 3;
    key[3] = 95;
    key[4] = 2; // RSN descriptor
    EXPECT_EQ(eapol_supp_rx_frame(sm, src, key.data(), key.size()), 0);
    char mib[2048];
    int n = eapol_supp_mib_text(sm, mib, sizeof(mib));
    std::string m(mib, static_cast<size_t>(n));
    EXPECT_NE(m.find("dot1xSuppEapolFramesRx=3\n"), std::string::npos);
    EXPECT_NE(m.find("dot1xSuppInvalidEapolFramesRx=1\n"), std::string::npos);
    EXPECT_NE(m.find("dot1xSuppEapLengthErrorFramesRx=1\n"), std::string::npos);
    EXPECT_NE(m.find("dot1xSuppLastEapolFrameSource=01:02:03:04:05:06\n"), std::string::npos);
}

} // namespace
