// The EAP peer on an 802.1X port: identity, method selection and NAKs, duplicate
// requests, the success and failure rules, the round limit, and the one-shot methods.
#include "eap_harness.h"

#include "wireless/core/wpabuf.h"
#include "wireless/eap/ms_funcs.h"

namespace {

using Peer = EapHarness;

TEST_F(Peer, IdentityThenMd5EndsAuthorizedWithEvents) {
    set("identity", "\"alice\"");
    set("password", "\"secret\"");
    start();
    eap(request(7, EAP_TYPE_IDENTITY));
    EXPECT_EQ(last_response(), (std::vector<uint8_t>{2, 7, 0, 10, 1, 'a', 'l', 'i', 'c', 'e'}));
    EXPECT_TRUE(has_event("CTRL-EVENT-EAP-STARTED EAP authentication started"));

    const std::vector<uint8_t> challenge = {0x10, 0x20, 0x30, 0x40, 0x50};
    std::vector<uint8_t> payload = {static_cast<uint8_t>(challenge.size())};
    payload.insert(payload.end(), challenge.begin(), challenge.end());
    eap(request(8, EAP_TYPE_MD5, payload));
    EXPECT_TRUE(has_event("CTRL-EVENT-EAP-PROPOSED-METHOD vendor=0 method=4"));
    EXPECT_TRUE(has_event("CTRL-EVENT-EAP-METHOD EAP vendor 0 method 4 (MD5) selected"));
    uint8_t expect[16];
    ASSERT_EQ(chap_md5(8, reinterpret_cast<const uint8_t *>("secret"), 6, challenge.data(), challenge.size(),
                       expect),
              0);
    std::vector<uint8_t> resp = last_response();
    ASSERT_EQ(resp.size(), 22u);
    EXPECT_EQ(resp[4], EAP_TYPE_MD5);
    EXPECT_EQ(resp[5], 16);
    EXPECT_EQ(0, memcmp(resp.data() + 6, expect, 16));

    eap(success(8));
    EXPECT_TRUE(has_event("CTRL-EVENT-EAP-SUCCESS EAP authentication completed successfully"));
    EXPECT_NE(status().find("suppPortStatus=Authorized"), std::string::npos);
    EXPECT_EQ(results[EAPOL_SUPP_RESULT_SUCCESS], 1);
}

TEST_F(Peer, WrongPasswordFailureLeavesPortUnauthorized) {
    set("identity", "\"alice\"");
    set("password", "\"wrong\"");
    start();
    eap(request(1, EAP_TYPE_IDENTITY));
    eap(request(2, EAP_TYPE_MD5, {1, 0x55}));
    eap(failure(2));
    EXPECT_TRUE(has_event("CTRL-EVENT-EAP-FAILURE EAP authentication failed"));
    EXPECT_NE(status().find("suppPortStatus=Unauthorized"), std::string::npos);
    EXPECT_NE(status().find("Supplicant PAE state=HELD"), std::string::npos);
    EXPECT_EQ(results[EAPOL_SUPP_RESULT_FAILURE], 1);
}

TEST_F(Peer, NakListsAllowedMethodsInRegistrationOrder) {
    struct Case {
        const char *eap_field; // null: no method list
        uint8_t requested;
        std::vector<uint8_t> nak;
    };
    const Case cases[] = {
        {nullptr, 99, {4, 13, 26, 25, 21, 6, 5, 17, 43}},
        {nullptr, 13, {4, 26, 25, 21, 6, 5, 17, 43}}, // no method list: every method but the asked one
        {"PEAP TTLS", 4, {25, 21}},
        {"MD5", 4, {}}, // allowed: no NAK but the method runs
        {"GTC", 99, {6}},
    };
    set("identity", "\"u\"");
    set("password", "\"p\"");
    uint8_t id = 10;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.eap_field != nullptr ? c.eap_field : "(all)");
        if (c.eap_field != nullptr) set("eap", c.eap_field);
        // A fresh conversation for each case.
        eapol_supp_set_port_enabled(sm, false);
        start();
        sent.clear();
        eap(request(id, EAP_TYPE_IDENTITY));
        eap(request(static_cast<uint8_t>(id + 1), c.requested, {1, 0x42}));
        std::vector<uint8_t> resp = last_response();
        ASSERT_GE(resp.size(), 5u);
        if (c.nak.empty()) {
            EXPECT_EQ(resp[4], c.requested);
        } else {
            EXPECT_EQ(resp[4], EAP_TYPE_NAK);
            EXPECT_EQ(std::vector<uint8_t>(resp.begin() + 5, resp.end()), c.nak);
            EXPECT_TRUE(has_event("-> NAK"));
        }
        id = static_cast<uint8_t>(id + 5);
    }
}

TEST_F(Peer, DuplicateRequestIsAnsweredFromTheLastResponse) {
    set("identity", "\"alice\"");
    set("password", "\"secret\"");
    start();
    eap(request(1, EAP_TYPE_IDENTITY));
    eap(request(2, EAP_TYPE_MD5, {1, 0x11}));
    std::vector<uint8_t> first = last_response();
    // Same identifier, different challenge: without workarounds the old answer is sent.
    eap(request(2, EAP_TYPE_MD5, {1, 0x22}));
    EXPECT_EQ(last_response(), first);
    EXPECT_EQ(responses(), 3u);
}

TEST_F(Peer, SuccessIdentifierRules) {
    struct Case {
        unsigned int workaround;
        int offset;
        bool success;
    };
    const Case cases[] = {{0, 0, true}, {0, 2, false}, {1, 2, true}, {1, 3, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << "workaround " << c.workaround << " offset " << c.offset);
        set("identity", "\"alice\"");
        set("password", "\"secret\"");
        eapol_supp_config ec{};
        ec.accept_802_1x_keys = 1;
        ec.workaround = c.workaround;
        eapol_supp_apply_config(sm, net, &ec);
        eapol_supp_set_port_enabled(sm, false);
        start();
        events.clear();
        eap(request(30, EAP_TYPE_IDENTITY));
        eap(request(31, EAP_TYPE_MD5, {1, 0x11}));
        eap(success(static_cast<uint8_t>(31 + c.offset)));
        EXPECT_EQ(has_event("CTRL-EVENT-EAP-SUCCESS"), c.success);
    }
}

TEST_F(Peer, SuccessWithoutASucceedingMethodNeverAuthorizes) {
    set("identity", "\"alice\"");
    start();
    // Before any method.
    eap(request(1, EAP_TYPE_IDENTITY));
    eap(success(1));
    EXPECT_FALSE(has_event("CTRL-EVENT-EAP-SUCCESS"));
    EXPECT_NE(status().find("suppPortStatus=Unauthorized"), std::string::npos);
}

TEST_F(Peer, CannedSuccessOnlyWhenAllowed) {
    for (bool allowed : {false, true}) {
        SCOPED_TRACE(allowed);
        set("phase1", allowed ? "\"allow_canned_success=1\"" : "NULL");
        eapol_supp_config ec{};
        ec.accept_802_1x_keys = 1;
        ec.workaround = 1;
        eapol_supp_apply_config(sm, net, &ec);
        eapol_supp_set_port_enabled(sm, false);
        start();
        events.clear();
        eap(success(5));
        EXPECT_EQ(has_event("CTRL-EVENT-EAP-SUCCESS"), allowed);
    }
}

TEST_F(Peer, MoreThanFiftyRoundsAbort) {
    set("identity", "\"alice\"");
    start();
    for (int i = 0; i < 51; i++)
        eap(request(static_cast<uint8_t>(i), EAP_TYPE_NOTIFICATION, {'h', 'i'}));
    EXPECT_TRUE(has_event("EAP: more than 50 authentication rounds - abort"));
    EXPECT_TRUE(has_event("CTRL-EVENT-EAP-FAILURE"));
}

TEST_F(Peer, NotificationIsReportedPrintableAndAnswered) {
    start();
    eap(request(3, EAP_TYPE_NOTIFICATION, {'a', '\n', 'b'}));
    EXPECT_TRUE(has_event("CTRL-EVENT-EAP-NOTIFICATION a_b"));
    EXPECT_EQ(last_response(), (std::vector<uint8_t>{2, 3, 0, 5, EAP_TYPE_NOTIFICATION}));
}

TEST_F(Peer, MissingCredentialsAreAskedAndTheKeptRequestRunsAgain) {
    start();
    eap(request(1, EAP_TYPE_IDENTITY));
    ASSERT_EQ(asked, std::vector<int>{WPA_CTRL_REQ_EAP_IDENTITY});
    EXPECT_EQ(responses(), 0u);
    // The answer arrives: the request kept in eapReqData is processed again.
    set("identity", "\"bob\"");
    net->pending_req_identity = 0;
    eapol_supp_ctrl_response_ready(sm);
    EXPECT_EQ(last_response(), (std::vector<uint8_t>{2, 1, 0, 8, 1, 'b', 'o', 'b'}));

    eap(request(2, EAP_TYPE_MD5, {1, 9}));
    EXPECT_EQ(asked.back(), WPA_CTRL_REQ_EAP_PASSWORD);
    set("password", "\"pw\"");
    net->pending_req_password = 0;
    eapol_supp_ctrl_response_ready(sm);
    EXPECT_EQ(last_response()[4], EAP_TYPE_MD5);
    // A monitor that attaches later hears of no pending request.
    asked.clear();
    eapol_supp_monitor_attached(sm);
    EXPECT_TRUE(asked.empty());
}

TEST_F(Peer, Md5ChallengeOfLengthZeroIsIgnored) {
    set("identity", "\"alice\"");
    set("password", "\"secret\"");
    start();
    eap(request(1, EAP_TYPE_IDENTITY));
    eap(request(2, EAP_TYPE_MD5, {0, 1, 2}));
    eap(request(3, EAP_TYPE_MD5, {9, 1}));
    EXPECT_EQ(responses(), 1u);
}

TEST_F(Peer, GtcAndOtpSendTheOneTimePasswordOnce) {
    for (uint8_t type : {uint8_t(EAP_TYPE_GTC), uint8_t(EAP_TYPE_OTP)}) {
        SCOPED_TRACE(int(type));
        set("identity", "\"alice\"");
        set("password", "NULL");
        eapol_supp_set_port_enabled(sm, false);
        start();
        asked.clear();
        eap(request(1, EAP_TYPE_IDENTITY));
        eap(request(2, type, {'c', 'h'}));
        ASSERT_EQ(asked, std::vector<int>{WPA_CTRL_REQ_EAP_OTP});
        EXPECT_STREQ(net->pending_req_otp, "[ch]");
        const char otp[] = "123456";
        net->otp.data = static_cast<uint8_t *>(malloc(sizeof(otp)));
        memcpy(net->otp.data, otp, sizeof(otp));
        net->otp.len = 6;
        eapol_supp_ctrl_response_ready(sm);
        std::vector<uint8_t> resp = last_response();
        ASSERT_EQ(resp.size(), 11u);
        EXPECT_EQ(std::string(resp.begin() + 5, resp.end()), "123456");
        EXPECT_EQ(net->otp.data, nullptr);
        free(net->pending_req_otp);
        net->pending_req_otp = nullptr;
    }
}

TEST_F(Peer, StatusAndMibTexts) {
    start();
    std::string s = status();
    EXPECT_NE(s.find("Supplicant PAE state=CONNECTING\nsuppPortStatus=Unauthorized\nheldPeriod=60\n"
                     "authPeriod=30\nstartPeriod=30\nmaxStart=3\nportControl=Auto\n"),
              std::string::npos);
    EXPECT_NE(s.find("EAP state=IDLE\n"), std::string::npos);
    char mib[2048];
    int n = eapol_supp_mib_text(sm, mib, sizeof(mib));
    std::string m(mib, static_cast<size_t>(n));
    EXPECT_NE(m.find("dot1xSuppPaeState=3\n"), std::string::npos);
    EXPECT_NE(m.find("dot1xSuppLastEapolFrameSource=00:00:00:00:00:00\n"), std::string::npos);
    // A buffer too small for the counters keeps the first block only.
    n = eapol_supp_mib_text(sm, mib, 250);
    EXPECT_EQ(std::string(mib, static_cast<size_t>(n)).find("dot1xSuppEapolFramesRx"), std::string::npos);
}

TEST_F(Peer, RegistryOrderAndNames) {
    char buf[128];
    eap_peer_method_list_text(buf, sizeof(buf));
    EXPECT_STREQ(buf, "MD5 TLS MSCHAPV2 PEAP TTLS GTC OTP LEAP FAST");
    eap_peer_method_list_text(buf, 12);
    EXPECT_STREQ(buf, "MD5 TLS");
    EXPECT_STREQ(eap_peer_method_name_by_type(0, 254), "expanded");
    EXPECT_EQ(eap_peer_method_name_by_type(0, 99), nullptr);
    eap_peer_method *dup = eap_peer_method_new(EAP_PEER_METHOD_INTERFACE_VERSION, 0, 4, "OTHER");
    EXPECT_EQ(eap_peer_method_add(dup), -2);
    eap_peer_method *bad = eap_peer_method_new(2, 0, 200, "NEW");
    EXPECT_EQ(eap_peer_method_add(bad), -1);
}

} // namespace
