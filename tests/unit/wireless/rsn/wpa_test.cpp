// The key machine on frames an authenticator builds with the element and key functions:
// 4-way and group handshakes for RSN and WPA, replay, the temporary PTK, install-once,
// descriptor versions, short and malformed key data, element mismatch, key requests.
#include "rsn_fixture.h"

namespace {

constexpr uint16_t PAIR = WPA_KEY_INFO_KEY_TYPE, ACK = WPA_KEY_INFO_ACK, MIC = WPA_KEY_INFO_MIC,
                   INSTALL = WPA_KEY_INFO_INSTALL, SECURE = WPA_KEY_INFO_SECURE,
                   ENCR = WPA_KEY_INFO_ENCR_KEY_DATA;

struct Station : ::testing::Test {
    FakeCore core;
    FakeAp ap;
    rsn_supplicant *sm = nullptr;
    Bytes own_ie;
    Bytes gtk1 = Bytes(16, 0x61);
    int ver = 2;

    void SetUp() override {
        eloop_init();
        line_sink = &core.lines;
        wpa_msg_register_cb(capture_line);
        sm = wpa_sm_create(make_ops(&core));
        ASSERT_NE(nullptr, sm);
        core.bssid = ap.aa;
    }
    void TearDown() override {
        wpa_sm_destroy(sm);
        wpa_msg_register_cb(nullptr);
        line_sink = nullptr;
        eloop_destroy();
    }

    void configure(uint32_t proto, uint32_t pairwise, uint32_t group) {
        wpa_sm_configure_param(sm, WPA_PARAM_PROTO, proto);
        wpa_sm_configure_param(sm, WPA_PARAM_PAIRWISE, pairwise);
        wpa_sm_configure_param(sm, WPA_PARAM_GROUP, group);
        wpa_sm_configure_param(sm, WPA_PARAM_KEY_MGMT, WPA_KEY_MGMT_PSK);
        wpa_sm_store_own_addr(sm, ap.spa.data());
        uint8_t ie[64];
        size_t len = sizeof(ie);
        ASSERT_EQ(0, wpa_sm_set_default_own_ie(sm, ie, &len));
        own_ie.assign(ie, ie + len);
        // The AP advertises the same suites.
        if (proto == WPA_PROTO_RSN)
            wpa_sm_store_ap_rsn_ie(sm, ie, len);
        else
            wpa_sm_store_ap_wpa_ie(sm, ie, len);
        wpa_sm_store_pmk(sm, ap.pmk.data(), ap.pmk.size(), nullptr, nullptr);
        wpa_sm_on_associated(sm, ap.aa.data());
        ap.desc = proto == WPA_PROTO_RSN ? EAPOL_KEY_TYPE_RSN : EAPOL_KEY_TYPE_WPA;
        ver = pairwise == WPA_CIPHER_TKIP ? 1 : 2;
    }

    int rx(const Bytes &f) { return wpa_sm_process_eapol_key(sm, ap.aa.data(), f.data(), f.size()); }

    // Message 1/4; returns the 2/4 the station sent (and derives the AP's PTK from it).
    Bytes msg1(uint32_t cipher, const Bytes &key_data = {}) {
        core.sent.clear();
        EXPECT_EQ(1, rx(ap.frame(ver | PAIR | ACK, wpa_cipher_tk_length(cipher), ap.anonce, key_data)));
        if (core.sent.size() != 1) {
            ADD_FAILURE() << "no 2/4";
            return {};
        }
        const Bytes m2 = core.sent[0].frame;
        ap.derive(nonce_of(m2), cipher);
        return m2;
    }

    Bytes rsn_msg3(const Bytes &gtk, int idx, uint16_t extra = 0) {
        Bytes kd = own_ie;
        const Bytes kde = gtk_kde(idx, gtk);
        kd.insert(kd.end(), kde.begin(), kde.end());
        Bytes f =
            ap.frame(ver | PAIR | ACK | MIC | INSTALL | SECURE | ENCR | extra, 16, ap.anonce, ap.wrap(kd));
        ap.sign(f, ver);
        return f;
    }

    Bytes rsn_group1(const Bytes &gtk, int idx) {
        Bytes f = ap.frame(ver | ACK | MIC | SECURE | ENCR, 0, Bytes(32, 0), ap.wrap(gtk_kde(idx, gtk)));
        ap.sign(f, ver);
        return f;
    }

    void rsn_handshake() {
        configure(WPA_PROTO_RSN, WPA_CIPHER_CCMP, WPA_CIPHER_CCMP);
        msg1(WPA_CIPHER_CCMP);
        ASSERT_EQ(1, rx(rsn_msg3(gtk1, 1)));
    }

    bool logged(const std::string &prefix) const {
        for (const auto &l : core.lines)
            if (l.rfind(prefix, 0) == 0) return true;
        return false;
    }
};

TEST_F(Station, RsnFourWayHandshakeInstallsPairwiseAndGroupKeys) {
    configure(WPA_PROTO_RSN, WPA_CIPHER_CCMP, WPA_CIPHER_CCMP);
    const Bytes m2 = msg1(WPA_CIPHER_CCMP);
    EXPECT_EQ(ap.aa, core.sent[0].dest);
    EXPECT_EQ(ETH_P_EAPOL, core.sent[0].proto);
    EXPECT_EQ(EAPOL_KEY_TYPE_RSN, m2[4]);
    EXPECT_EQ(2 | PAIR | MIC, key_info_of(m2));
    EXPECT_EQ(unhex("0000000000000001"), replay_of(m2)) << "2/4 echoes the replay counter of 1/4";
    EXPECT_EQ(0, m2[7] | m2[8]) << "RSN key length 0";
    EXPECT_EQ(own_ie, key_data_of(m2)) << "2/4 carries the association element";
    EXPECT_TRUE(mic_ok(m2, ap.ptk, 2));
    EXPECT_EQ(WPA_4WAY_HANDSHAKE, core.state);
    EXPECT_TRUE(core.keys.empty());

    core.sent.clear();
    ASSERT_EQ(1, rx(rsn_msg3(gtk1, 1)));
    ASSERT_EQ(1u, core.sent.size());
    const Bytes m4 = core.sent[0].frame;
    EXPECT_EQ(2 | PAIR | MIC | SECURE, key_info_of(m4));
    EXPECT_TRUE(key_data_of(m4).empty());
    EXPECT_TRUE(mic_ok(m4, ap.ptk, 2));

    ASSERT_EQ(2u, core.keys.size());
    const KeySet &ptk = core.keys[0];
    EXPECT_EQ(3, ptk.alg);
    EXPECT_EQ(ap.aa, ptk.addr);
    EXPECT_EQ(0, ptk.idx);
    EXPECT_EQ(1, ptk.tx);
    EXPECT_EQ(Bytes(6, 0), ptk.seq) << "RSN installs the PTK with a zero counter";
    EXPECT_EQ(Bytes(ap.ptk.tk, ap.ptk.tk + 16), ptk.key);
    const KeySet &gtk = core.keys[1];
    EXPECT_EQ(Bytes(6, 0xff), gtk.addr);
    EXPECT_EQ(1, gtk.idx);
    EXPECT_EQ(0, gtk.tx);
    EXPECT_EQ(gtk1, gtk.key);
    EXPECT_EQ(WPA_COMPLETED, core.state);
    EXPECT_TRUE(logged("WPA: Key negotiation completed with 02:00:00:00:01:00 [PTK=CCMP GTK=CCMP]"));
    EXPECT_TRUE(core.deauths.empty());
}

TEST_F(Station, RepeatedMessage3IsAnsweredButInstallsNothing) {
    rsn_handshake();
    ASSERT_EQ(2u, core.keys.size());

    // The same frame again: its replay counter did not increase.
    ap.replay--;
    Bytes same = rsn_msg3(gtk1, 1);
    core.sent.clear();
    EXPECT_EQ(-1, rx(same));
    EXPECT_TRUE(core.sent.empty());

    // A higher counter: answered with 4/4, but neither key goes to the driver again (a
    // reinstalled key would reset its receive counter).
    EXPECT_EQ(1, rx(rsn_msg3(gtk1, 1)));
    EXPECT_EQ(1u, core.sent.size());
    EXPECT_EQ(2u, core.keys.size());
    EXPECT_TRUE(core.deauths.empty());
}

TEST_F(Station, NewMessage1MakesATemporaryKeyThatReplacesThePtkOnlyWhenAMicVerifies) {
    rsn_handshake();
    const wpa_ptk_keys old_ptk = ap.ptk;
    const Bytes old_kck(sm->ptk.kck, sm->ptk.kck + 16);

    // Rekey: a new 1/4 with a fresh ANonce derives a TPTK, the PTK stays.
    ap.anonce = Bytes(32, 0xb2);
    msg1(WPA_CIPHER_CCMP);
    EXPECT_EQ(old_kck, Bytes(sm->ptk.kck, sm->ptk.kck + 16));
    EXPECT_TRUE(sm->tptk_set);

    // A group message still signed with the old PTK verifies after the TPTK fails.
    const wpa_ptk_keys new_ptk = ap.ptk;
    ap.ptk = old_ptk;
    core.keys.clear();
    EXPECT_EQ(1, rx(rsn_group1(Bytes(16, 0x62), 2)));
    EXPECT_TRUE(logged("WPA: Invalid EAPOL-Key MIC when using TPTK - ignoring TPTK"));
    EXPECT_EQ(old_kck, Bytes(sm->ptk.kck, sm->ptk.kck + 16));
    ASSERT_EQ(1u, core.keys.size());

    // 3/4 with the new keys: the TPTK becomes the PTK and is installed.
    ap.ptk = new_ptk;
    core.keys.clear();
    EXPECT_EQ(1, rx(rsn_msg3(gtk1, 1)));
    EXPECT_EQ(Bytes(new_ptk.kck, new_ptk.kck + 16), Bytes(sm->ptk.kck, sm->ptk.kck + 16));
    EXPECT_FALSE(sm->tptk_set);
    ASSERT_GE(core.keys.size(), 1u);
    EXPECT_EQ(Bytes(new_ptk.tk, new_ptk.tk + 16), core.keys[0].key);
}

TEST_F(Station, GroupRekeyInstallsNewIndexAndIgnoresRepeats) {
    rsn_handshake();
    core.keys.clear();
    core.sent.clear();
    core.lines.clear();
    const Bytes gtk2(16, 0x62);
    ASSERT_EQ(1, rx(rsn_group1(gtk2, 2)));
    ASSERT_EQ(1u, core.keys.size());
    EXPECT_EQ(2, core.keys[0].idx);
    EXPECT_EQ(gtk2, core.keys[0].key);
    ASSERT_EQ(1u, core.sent.size());
    EXPECT_EQ((2 << 4) | 2 | MIC | SECURE, key_info_of(core.sent[0].frame));
    EXPECT_TRUE(mic_ok(core.sent[0].frame, ap.ptk, 2));
    EXPECT_EQ(WPA_COMPLETED, core.state);
    EXPECT_TRUE(logged("WPA: Group rekeying completed with 02:00:00:00:01:00 [GTK=CCMP]"));
    EXPECT_FALSE(logged("WPA: Key negotiation completed")) << "a rekey is no new connection";

    // The same GTK again (higher counter): 2/2 goes out, the key is not installed again.
    core.sent.clear();
    ASSERT_EQ(1, rx(rsn_group1(gtk2, 2)));
    EXPECT_EQ(1u, core.keys.size());
    EXPECT_EQ(1u, core.sent.size());
}

TEST_F(Station, GroupMessageBeforeMessage3Deauthenticates) {
    configure(WPA_PROTO_RSN, WPA_CIPHER_CCMP, WPA_CIPHER_CCMP);
    msg1(WPA_CIPHER_CCMP);
    // Signed with the TPTK, so the MIC verifies; the handshake order does not.
    core.sent.clear();
    EXPECT_EQ(1, rx(rsn_group1(gtk1, 1)));
    EXPECT_EQ(std::vector<int>{1}, core.deauths);
    EXPECT_TRUE(core.keys.empty());
    EXPECT_TRUE(core.sent.empty());
}

TEST_F(Station, FramesDroppedBeforeAnyAnswer) {
    rsn_handshake();
    core.sent.clear();
    core.keys.clear();
    struct Case {
        const char *what;
        uint16_t key_info;
        bool sign;
        int result;
    };
    const Case cases[] = {
        {"pairwise with key index 1", 2 | PAIR | ACK | MIC | SECURE | (1 << 4), true, -1},
        {"descriptor version 1 on CCMP", 1 | PAIR | ACK | MIC | SECURE, true, -1},
        {"descriptor version 3", 3 | ACK | MIC | SECURE, true, -1},
        {"no ack", 2 | PAIR | MIC | SECURE, true, -1},
        {"request bit", 2 | ACK | MIC | SECURE | WPA_KEY_INFO_REQUEST, true, -1},
        {"bad MIC", 2 | ACK | MIC | SECURE | ENCR, false, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes f = ap.frame(c.key_info, 0, Bytes(32, 0), ap.wrap(gtk_kde(2, Bytes(16, 7))));
        if (c.sign) ap.sign(f, (c.key_info & 7) == 1 ? 1 : 2);
        EXPECT_EQ(c.result, rx(f));
    }
    EXPECT_TRUE(core.sent.empty());
    EXPECT_TRUE(core.keys.empty());
    EXPECT_TRUE(core.deauths.empty());
}

TEST_F(Station, ShortAndMalformedFramesAreBounded) {
    rsn_handshake();
    core.sent.clear();
    core.keys.clear();
    Bytes good = rsn_group1(Bytes(16, 0x63), 3);

    // Truncated or foreign frames are ignored (0).
    for (size_t cut : {0u, 4u, 98u}) {
        Bytes f(good.begin(), good.begin() + static_cast<long>(cut));
        EXPECT_EQ(0, rx(f)) << cut;
    }
    Bytes other = good;
    other[1] = 0; // EAP packet
    EXPECT_EQ(0, rx(other));
    other = good;
    other[4] = 1; // RC4 descriptor
    EXPECT_EQ(0, rx(other));
    other = good;
    other[2] = 0xff; // body longer than received
    EXPECT_EQ(0, rx(other));

    // Key data length past the body: dropped.
    other = good;
    other[97] = 0x01;
    EXPECT_EQ(-1, rx(other));

    // Encrypted key data that is no whole number of blocks: dropped.
    Bytes odd = ap.frame(2 | ACK | MIC | SECURE | ENCR, 0, Bytes(32, 0), Bytes(12, 0));
    ap.sign(odd, 2);
    EXPECT_EQ(-1, rx(odd));
    // Key data that does not unwrap: dropped.
    Bytes junk = ap.frame(2 | ACK | MIC | SECURE | ENCR, 0, Bytes(32, 0), Bytes(24, 0x5a));
    ap.sign(junk, 2);
    EXPECT_EQ(-1, rx(junk));

    EXPECT_TRUE(core.sent.empty());
    EXPECT_TRUE(core.keys.empty());
    EXPECT_TRUE(core.deauths.empty());

    // A GTK encapsulation too short for its two header bytes fails the handshake
    // instead of reading a key from beyond it.
    const Bytes short_kde = {0xdd, 0x05, 0x00, 0x0f, 0xac, 0x01, 0x01};
    Bytes f = ap.frame(2 | ACK | MIC | SECURE | ENCR, 0, Bytes(32, 0), ap.wrap(short_kde));
    ap.sign(f, 2);
    EXPECT_EQ(1, rx(f));
    EXPECT_EQ(std::vector<int>{1}, core.deauths);
    EXPECT_TRUE(core.keys.empty());
}

TEST_F(Station, Message3ElementMismatchLeavesWithReason17) {
    configure(WPA_PROTO_RSN, WPA_CIPHER_CCMP, WPA_CIPHER_CCMP);
    msg1(WPA_CIPHER_CCMP);
    // The AP advertised CCMP; 3/4 names TKIP as group cipher.
    Bytes ie = own_ie;
    ie[7] = 2;
    Bytes kd = ie;
    const Bytes kde = gtk_kde(1, gtk1);
    kd.insert(kd.end(), kde.begin(), kde.end());
    core.sent.clear();
    Bytes f = ap.frame(2 | PAIR | ACK | MIC | INSTALL | SECURE | ENCR, 16, ap.anonce, ap.wrap(kd));
    ap.sign(f, 2);
    EXPECT_EQ(1, rx(f));
    EXPECT_EQ((std::vector<int>{17, 1}), core.deauths);
    EXPECT_TRUE(core.sent.empty()) << "no 4/4";
    EXPECT_TRUE(core.keys.empty());
    EXPECT_TRUE(
        logged("WPA: IE in 3/4 msg does not match with IE in Beacon/ProbeResp (src=02:00:00:00:01:00)"));
}

TEST_F(Station, Message3WithAnotherANonceFails) {
    configure(WPA_PROTO_RSN, WPA_CIPHER_CCMP, WPA_CIPHER_CCMP);
    msg1(WPA_CIPHER_CCMP);
    ap.anonce = Bytes(32, 0xee);
    core.sent.clear();
    EXPECT_EQ(1, rx(rsn_msg3(gtk1, 1)));
    EXPECT_EQ(std::vector<int>{1}, core.deauths);
    EXPECT_TRUE(core.sent.empty());
}

TEST_F(Station, PmkidInMessage1OfAPskNetworkDoesNotStopTheHandshake) {
    configure(WPA_PROTO_RSN, WPA_CIPHER_CCMP, WPA_CIPHER_CCMP);
    const Bytes pmkid_kde = unhex("dd14 000fac04 00112233445566778899aabbccddeeff");
    const Bytes m2 = msg1(WPA_CIPHER_CCMP, pmkid_kde);
    EXPECT_FALSE(m2.empty());
    EXPECT_EQ(1, rx(rsn_msg3(gtk1, 1)));
    EXPECT_EQ(WPA_COMPLETED, core.state);
}

TEST_F(Station, WpaTkipHandshakeUsesMd5Rc4AndSwapsMicKeys) {
    configure(WPA_PROTO_WPA, WPA_CIPHER_TKIP, WPA_CIPHER_TKIP);
    ASSERT_EQ(1, ver);
    const Bytes m2 = msg1(WPA_CIPHER_TKIP);
    EXPECT_EQ(EAPOL_KEY_TYPE_WPA, m2[4]);
    EXPECT_EQ(1 | PAIR | MIC, key_info_of(m2));
    EXPECT_EQ(32, m2[7] << 8 | m2[8]) << "WPA copies the key length";
    EXPECT_TRUE(mic_ok(m2, ap.ptk, 1));

    // WPA 3/4: the WPA element in clear key data, no GTK; the RSC counts.
    const Bytes rsc = unhex("0102030405060000");
    core.sent.clear();
    Bytes m3 = ap.frame(1 | PAIR | ACK | MIC | INSTALL, 32, ap.anonce, own_ie, rsc);
    ap.sign(m3, 1);
    ASSERT_EQ(1, rx(m3));
    ASSERT_EQ(1u, core.sent.size());
    EXPECT_EQ(1 | PAIR | MIC, key_info_of(core.sent[0].frame));
    ASSERT_EQ(1u, core.keys.size());
    EXPECT_EQ(2, core.keys[0].alg);
    EXPECT_EQ(Bytes(rsc.begin(), rsc.begin() + 6), core.keys[0].seq) << "WPA installs with the frame's RSC";
    // Station view: the authenticator's Tx MIC key is its Rx MIC key.
    Bytes tk(ap.ptk.tk, ap.ptk.tk + 32);
    EXPECT_EQ(Bytes(tk.begin(), tk.begin() + 16),
              Bytes(core.keys[0].key.begin(), core.keys[0].key.begin() + 16));
    EXPECT_EQ(Bytes(tk.begin() + 24, tk.end()),
              Bytes(core.keys[0].key.begin() + 16, core.keys[0].key.begin() + 24));
    EXPECT_EQ(Bytes(tk.begin() + 16, tk.begin() + 24),
              Bytes(core.keys[0].key.begin() + 24, core.keys[0].key.end()));
    EXPECT_EQ(WPA_GROUP_HANDSHAKE, core.state);

    // WPA group 1/2: RC4-encrypted GTK with IV, index from key information.
    Bytes gtk(32);
    for (size_t i = 0; i < gtk.size(); i++)
        gtk[i] = static_cast<uint8_t>(i);
    const Bytes iv(16, 0x33);
    Bytes enc = gtk;
    uint8_t ek[32];
    std::memcpy(ek, iv.data(), 16);
    std::memcpy(ek + 16, ap.ptk.kek, 16);
    ASSERT_EQ(0, crypto_rc4_skip_encrypt(ek, 32, 256, enc.data(), enc.size()));
    core.sent.clear();
    Bytes g1 = ap.frame(1 | ACK | MIC | SECURE | (1 << 4), 32, Bytes(32, 0), enc, Bytes(8, 0), iv);
    ap.sign(g1, 1);
    ASSERT_EQ(1, rx(g1));
    ASSERT_EQ(2u, core.keys.size());
    EXPECT_EQ(1, core.keys[1].idx);
    Bytes swapped = gtk;
    std::swap_ranges(swapped.begin() + 16, swapped.begin() + 24, swapped.begin() + 24);
    EXPECT_EQ(swapped, core.keys[1].key);
    ASSERT_EQ(1u, core.sent.size());
    EXPECT_EQ((1 << 4) | 1 | MIC | SECURE, key_info_of(core.sent[0].frame));
    EXPECT_EQ(32, core.sent[0].frame[7] << 8 | core.sent[0].frame[8]);
    EXPECT_EQ(WPA_COMPLETED, core.state);
}

TEST_F(Station, CcmpPairwiseAcceptsVersion1GroupMessagesForTkipGroup) {
    configure(WPA_PROTO_WPA, WPA_CIPHER_CCMP, WPA_CIPHER_TKIP);
    ASSERT_EQ(2, ver);
    msg1(WPA_CIPHER_CCMP);
    Bytes m3 = ap.frame(2 | PAIR | ACK | MIC | INSTALL, 16, ap.anonce, own_ie);
    ap.sign(m3, 2);
    ASSERT_EQ(1, rx(m3));

    const Bytes gtk(32, 0x44), iv(16, 0x11);
    Bytes enc = gtk;
    uint8_t ek[32];
    std::memcpy(ek, iv.data(), 16);
    std::memcpy(ek + 16, ap.ptk.kek, 16);
    ASSERT_EQ(0, crypto_rc4_skip_encrypt(ek, 32, 256, enc.data(), enc.size()));
    Bytes g1 = ap.frame(1 | ACK | MIC | SECURE | (1 << 4), 32, Bytes(32, 0), enc, Bytes(8, 0), iv);
    ap.sign(g1, 1);
    EXPECT_EQ(1, rx(g1));
    EXPECT_TRUE(logged("WPA: Backwards compatibility: allow invalid version for non-CCMP group keys"));
    EXPECT_EQ(WPA_COMPLETED, core.state);
    EXPECT_TRUE(core.deauths.empty());
}

TEST_F(Station, KeyRequestsCountUpAndCarryTheMic) {
    rsn_handshake();
    core.sent.clear();
    ASSERT_EQ(0, wpa_sm_send_key_request(sm, 1, 1));
    ASSERT_EQ(0, wpa_sm_send_key_request(sm, 1, 1));
    ASSERT_EQ(2u, core.sent.size());
    const Bytes &a = core.sent[0].frame, &b = core.sent[1].frame;
    EXPECT_EQ(2 | WPA_KEY_INFO_REQUEST | MIC | SECURE | WPA_KEY_INFO_ERROR | PAIR, key_info_of(a));
    EXPECT_EQ(Bytes(8, 0), replay_of(a));
    EXPECT_EQ(unhex("0000000000000001"), replay_of(b));
    EXPECT_TRUE(mic_ok(a, ap.ptk, 2));
    EXPECT_TRUE(logged("WPA: Sending EAPOL-Key Request (error=1 pairwise=1 ptk_set=1 len=99)"));

    // Without a BSSID from the driver nothing goes out.
    core.bssid.clear();
    EXPECT_EQ(-1, wpa_sm_send_key_request(sm, 0, 1));
}

TEST_F(Station, DisassociationCountsHandshakeFailuresAndClearsKeys) {
    configure(WPA_PROTO_RSN, WPA_CIPHER_CCMP, WPA_CIPHER_CCMP);
    msg1(WPA_CIPHER_CCMP);
    wpa_sm_on_disassociated(sm);
    EXPECT_EQ(1u, sm->dot11RSNA4WayHandshakeFailures);
    EXPECT_FALSE(sm->tptk_set);
    EXPECT_EQ(0, sm->pmk[0] | sm->pmk[31]);
}

TEST_F(Station, OwnElementSizes) {
    configure(WPA_PROTO_RSN, WPA_CIPHER_CCMP, WPA_CIPHER_CCMP);
    uint8_t buf[64];
    ASSERT_EQ(22, wpa_build_own_ie(sm, buf, sizeof(buf)));
    EXPECT_EQ(20, buf[1]);
    EXPECT_EQ(-1, wpa_build_own_ie(sm, buf, 21));
    pmksa_entry *e = pmksa_cache_insert(sm->pmksa, ap.pmk.data(), 32, nullptr, nullptr, 0, ap.aa.data(),
                                        ap.spa.data(), nullptr, WPA_KEY_MGMT_IEEE8021X);
    ASSERT_NE(nullptr, e);
    sm->cur_pmksa = e;
    ASSERT_EQ(40, wpa_build_own_ie(sm, buf, sizeof(buf)));
    EXPECT_EQ(38, buf[1]);
    EXPECT_EQ(1, buf[22]);
    EXPECT_EQ(Bytes(e->pmkid, e->pmkid + 16), Bytes(buf + 24, buf + 40));
    wpa_ie_info info;
    EXPECT_EQ(0, wpa_decode_rsn_ie(buf, 40, &info));
    EXPECT_EQ(1u, info.num_pmkid);

    wpa_sm_configure_param(sm, WPA_PARAM_PROTO, WPA_PROTO_WPA);
    EXPECT_EQ(-1, wpa_build_own_ie(sm, buf, 23));
    ASSERT_EQ(24, wpa_build_own_ie(sm, buf, 24));
    EXPECT_EQ(0, wpa_decode_wpa1_ie(buf, 24, &info));
    EXPECT_EQ(WPA_KEY_MGMT_PSK, info.key_mgmt);
    wpa_sm_configure_param(sm, WPA_PARAM_KEY_MGMT, WPA_KEY_MGMT_SAE);
    EXPECT_EQ(-1, wpa_build_own_ie(sm, buf, sizeof(buf)));
}

TEST_F(Station, StatusAndMibTexts) {
    rsn_handshake();
    char buf[2048];
    ASSERT_GT(wpa_sm_status_text(sm, buf, sizeof(buf)), 0);
    EXPECT_STREQ("pairwise_cipher=CCMP\ngroup_cipher=CCMP\nkey_mgmt=WPA2-PSK\n", buf);
    ASSERT_GT(wpa_sm_mib_text(sm, buf, sizeof(buf)), 0);
    const std::string mib = buf;
    EXPECT_NE(std::string::npos, mib.find("dot11RSNAEnabled=TRUE\n"));
    EXPECT_NE(std::string::npos, mib.find("dot11RSNAConfigGroupCipherSize=128\n"));
    EXPECT_NE(std::string::npos, mib.find("dot11RSNAAuthenticationSuiteSelected=00-0f-ac-2\n"));
    EXPECT_NE(std::string::npos, mib.find("dot11RSNAPairwiseCipherSelected=00-0f-ac-4\n"));
    EXPECT_NE(std::string::npos, mib.find("dot11RSNAPMKIDUsed=\n"));
    EXPECT_NE(std::string::npos, mib.find("dot11RSNA4WayHandshakeFailures=0\n"));
    // A buffer that holds only the first block ends there.
    const size_t first = mib.find("dot11RSNAAuthenticationSuiteSelected");
    EXPECT_EQ(static_cast<int>(first), wpa_sm_mib_text(sm, buf, first + 10));
}

TEST_F(Station, RekeyTimerStartsWithThePtk) {
    rsn_network_settings net{};
    net.wpa_ptk_rekey = 600;
    net.network_ctx = &core.network;
    wpa_sm_set_network_config(sm, &net);
    rsn_handshake();
    EXPECT_TRUE(eloop_is_timeout_registered(wpa_sm_rekey_ptk, sm, nullptr));
    core.sent.clear();
    wpa_sm_rekey_ptk(sm, nullptr);
    ASSERT_EQ(1u, core.sent.size());
    EXPECT_EQ(2 | WPA_KEY_INFO_REQUEST | MIC | SECURE | PAIR, key_info_of(core.sent[0].frame));
}

TEST_F(Station, RscRelaxationZeroesOnlyBogusGroupCounters) {
    struct Case {
        const char *rsc;
        bool relax;
        const char *installed;
    };
    const Case cases[] = {
        {"0102030405060000", false, "010203040506"},
        {"0102030405060000", true, "010203040506"}, // plausible: kept
        {"0102030405060700", true, "000000000000"}, // byte 6 set
        {"0000000000ff0000", true, "000000000000"}, // byte 5 set, byte 0 zero
        {"0000000000ff0000", false, "0000000000ff"},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rsc);
        rsn_network_settings net{};
        net.wpa_rsc_relaxation = c.relax;
        wpa_sm_set_network_config(sm, &net);
        if (n++ == 0) rsn_handshake();
        core.keys.clear();
        Bytes gtk(16, static_cast<uint8_t>(0x70 + n));
        Bytes f =
            ap.frame(2 | ACK | MIC | SECURE | ENCR, 0, Bytes(32, 0), ap.wrap(gtk_kde(2, gtk)), unhex(c.rsc));
        ap.sign(f, 2);
        ASSERT_EQ(1, rx(f));
        ASSERT_EQ(1u, core.keys.size());
        EXPECT_EQ(c.installed, hex(core.keys[0].seq));
    }
}

// 802.1X: the PMK comes from EAP, or from a cached PMKSA the AP names in 1/4.
struct EapStation : Station {
    static inline int cached_successes = 0;
    static inline bool have_key = true;
    static inline int fake_eapol = 0;

    void SetUp() override {
        Station::SetUp();
        cached_successes = 0;
        have_key = true;
        rsn_eapol_ops ops{};
        ops.get_key = [](eapol_supp_sm *, uint8_t *buf, size_t len) {
            if (!have_key) return -1;
            std::memset(buf, 0x42, len); // the AP's PMK in the fixture
            return 0;
        };
        ops.note_cached_success = [](eapol_supp_sm *) { cached_successes++; };
        wpa_sm_attach_eapol(sm, reinterpret_cast<eapol_supp_sm *>(&fake_eapol), &ops);
        rsn_network_settings net{};
        net.network_ctx = &core.network;
        wpa_sm_set_network_config(sm, &net);
    }

    void configure_eap() {
        configure(WPA_PROTO_RSN, WPA_CIPHER_CCMP, WPA_CIPHER_CCMP);
        wpa_sm_configure_param(sm, WPA_PARAM_KEY_MGMT, WPA_KEY_MGMT_IEEE8021X);
        wpa_sm_clear_keys(sm); // no PSK: the PMK must come from EAP or the cache
        sm->pmk_len = 0;
    }

    Bytes pmkid_kde(const uint8_t *pmkid) {
        Bytes kde = unhex("dd14 000fac04");
        kde.insert(kde.end(), pmkid, pmkid + 16);
        return kde;
    }
};

TEST_F(EapStation, EapKeyBecomesAPmksaForTheAp) {
    configure_eap();
    msg1(WPA_CIPHER_CCMP);
    ASSERT_NE(nullptr, sm->cur_pmksa);
    EXPECT_EQ(ap.aa, Bytes(sm->cur_pmksa->aa, sm->cur_pmksa->aa + 6));
    EXPECT_EQ(1, rx(rsn_msg3(gtk1, 1)));
    EXPECT_EQ(WPA_COMPLETED, core.state);
}

TEST_F(EapStation, CachedPmksaNamedInMessage1SkipsEap) {
    configure_eap();
    pmksa_entry *e = pmksa_cache_insert(sm->pmksa, ap.pmk.data(), 32, nullptr, nullptr, 0, ap.aa.data(),
                                        ap.spa.data(), &core.network, WPA_KEY_MGMT_IEEE8021X);
    ASSERT_NE(nullptr, e);
    have_key = false; // EAP did not run
    msg1(WPA_CIPHER_CCMP, pmkid_kde(e->pmkid));
    EXPECT_EQ(1, cached_successes);
    EXPECT_EQ(e, sm->cur_pmksa);
    EXPECT_EQ(1, rx(rsn_msg3(gtk1, 1)));
    EXPECT_EQ(WPA_COMPLETED, core.state);
}

TEST_F(EapStation, UnknownPmkidWithoutEapKeyStartsEapInstead) {
    configure_eap();
    have_key = false;
    core.sent.clear();
    const uint8_t unknown[16] = {9};
    EXPECT_EQ(1, rx(ap.frame(2 | PAIR | ACK, 16, ap.anonce, pmkid_kde(unknown))));
    ASSERT_EQ(1u, core.sent.size());
    EXPECT_EQ(ap.aa, core.sent[0].dest);
    EXPECT_EQ(ETH_P_EAPOL, core.sent[0].proto);
    EXPECT_EQ(unhex("02 01 0000"), core.sent[0].frame) << "EAPOL-Start, no 2/4";
    EXPECT_TRUE(core.deauths.empty());
}

TEST_F(Station, DescriptorVersionRulesByAkmAndCipher) {
    struct Case {
        uint32_t akm, pairwise;
        int ver;
        const char *line;
    };
    const Case cases[] = {
        {WPA_KEY_MGMT_OSEN, WPA_CIPHER_CCMP, 2, "OSEN: Unsupported EAPOL-Key descriptor version 2"},
        {WPA_KEY_MGMT_IEEE8021X_SUITE_B, WPA_CIPHER_GCMP, 1,
         "RSN: Unsupported EAPOL-Key descriptor version 1 (expected AKM defined = 0)"},
        {WPA_KEY_MGMT_PSK, WPA_CIPHER_CCMP, 0, "WPA: Unsupported EAPOL-Key descriptor version 0"},
        {WPA_KEY_MGMT_PSK, WPA_CIPHER_GCMP, 1,
         "WPA: GCMP is used, but EAPOL-Key descriptor version (1) is not 2"},
        {WPA_KEY_MGMT_PSK, WPA_CIPHER_CCMP, 1,
         "WPA: CCMP is used, but EAPOL-Key descriptor version (1) is not 2"},
    };
    configure(WPA_PROTO_RSN, WPA_CIPHER_CCMP, WPA_CIPHER_CCMP);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        wpa_sm_configure_param(sm, WPA_PARAM_KEY_MGMT, c.akm);
        wpa_sm_configure_param(sm, WPA_PARAM_PAIRWISE, c.pairwise);
        core.lines.clear();
        core.sent.clear();
        EXPECT_EQ(-1, rx(ap.frame(c.ver | PAIR | ACK, 16, ap.anonce, {})));
        EXPECT_TRUE(logged(c.line));
        EXPECT_TRUE(core.sent.empty());
    }
}

} // namespace
