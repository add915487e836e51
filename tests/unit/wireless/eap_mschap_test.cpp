// MS-CHAP functions against RFC 2759 section 9.2 and RFC 3079 section 3.5.3, and the
// MSCHAPv2 and LEAP methods on an 802.1X port.
#include "eap_harness.h"
#include "wcrypto/hex.h"

#include "wireless/crypto/crypto.h"
#include "wireless/eap/eap_mschapv2.h"
#include "wireless/eap/ms_funcs.h"

#include <cstdio>

namespace {

const std::vector<uint8_t> kUser = {'U', 's', 'e', 'r'};
const std::string kPass = "clientPass";
const std::vector<uint8_t> kAuthChallenge = unhex("5B5D7C7D7B3F2F3E3C2C602132262628");
const std::vector<uint8_t> kPeerChallenge = unhex("21402324255E262A28295F2B3A337C7E");

const uint8_t *pw() {
    return reinterpret_cast<const uint8_t *>(kPass.data());
}

TEST(MsChap, Rfc2759Vectors) {
    uint8_t challenge[8], hash[16], hash_hash[16], nt[24], auth[20];
    ASSERT_EQ(
        challenge_hash(kPeerChallenge.data(), kAuthChallenge.data(), kUser.data(), kUser.size(), challenge),
        0);
    EXPECT_EQ(std::vector<uint8_t>(challenge, challenge + 8), unhex("D02E4386BCE91226"));
    ASSERT_EQ(nt_password_hash(pw(), kPass.size(), hash), 0);
    EXPECT_EQ(std::vector<uint8_t>(hash, hash + 16), unhex("44EBBA8D5312B8D611474411F56989AE"));
    ASSERT_EQ(hash_nt_password_hash(hash, hash_hash), 0);
    EXPECT_EQ(std::vector<uint8_t>(hash_hash, hash_hash + 16), unhex("41C00C584BD2D91C4017A2A12FA59F3F"));
    ASSERT_EQ(generate_nt_response(kAuthChallenge.data(), kPeerChallenge.data(), kUser.data(), kUser.size(),
                                   pw(), kPass.size(), nt),
              0);
    EXPECT_EQ(std::vector<uint8_t>(nt, nt + 24), unhex("82309ECD8D708B5EA08FAA3981CD83544233114A3D85D6DF"));
    ASSERT_EQ(generate_authenticator_response(pw(), kPass.size(), kPeerChallenge.data(),
                                              kAuthChallenge.data(), kUser.data(), kUser.size(), nt, auth),
              0);
    EXPECT_EQ(std::vector<uint8_t>(auth, auth + 20), unhex("407A5589115FD0D6209F510FE9C04566932CDA56"));
    const char *good = "S=407A5589115FD0D6209F510FE9C04566932CDA56";
    EXPECT_EQ(mschapv2_verify_auth_response(auth, reinterpret_cast<const uint8_t *>(good), strlen(good)), 0);
    const char *bad = "S=407A5589115FD0D6209F510FE9C04566932CDA57";
    EXPECT_EQ(mschapv2_verify_auth_response(auth, reinterpret_cast<const uint8_t *>(bad), strlen(bad)), -1);
    EXPECT_EQ(mschapv2_verify_auth_response(auth, reinterpret_cast<const uint8_t *>(good), 41), -1);
}

TEST(MsChap, Rfc3079SessionKeys) {
    uint8_t hash[16], hash_hash[16], nt[24], master[16], send[16];
    ASSERT_EQ(nt_password_hash(pw(), kPass.size(), hash), 0);
    ASSERT_EQ(hash_nt_password_hash(hash, hash_hash), 0);
    ASSERT_EQ(generate_nt_response(kAuthChallenge.data(), kPeerChallenge.data(), kUser.data(), kUser.size(),
                                   pw(), kPass.size(), nt),
              0);
    ASSERT_EQ(get_master_key(hash_hash, nt, master), 0);
    EXPECT_EQ(std::vector<uint8_t>(master, master + 16), unhex("FDECE3717A8C838CB388E527AE3CDD31"));
    ASSERT_EQ(get_asymetric_start_key(master, send, 16, 1, 1), 0);
    EXPECT_EQ(std::vector<uint8_t>(send, send + 16), unhex("8B7CDC149B993A1BA118CB153F56DCCB"));
    // The server's send key is the client's receive key and the other way round.
    uint8_t client_recv[16], client_send[16], server_recv[16];
    get_asymetric_start_key(master, client_recv, 16, 0, 0);
    get_asymetric_start_key(master, client_send, 16, 1, 0);
    get_asymetric_start_key(master, server_recv, 16, 0, 1);
    EXPECT_EQ(0, memcmp(client_recv, send, 16));
    EXPECT_EQ(0, memcmp(client_send, server_recv, 16));
}

TEST(MsChap, Ucs2Conversion) {
    struct Case {
        std::vector<uint8_t> utf8;
        int result;
        std::vector<uint8_t> ucs2;
    };
    const Case cases[] = {
        {{'a'}, 0, {'a', 0}},
        {{0xc3, 0xa4}, 0, {0xe4, 0}},             // U+00E4
        {{0xe2, 0x82, 0xac}, 0, {0xac, 0x20}},    // U+20AC
        {{0xe2, 0x82}, -1, {}},                   // truncated
        {{0xf0, 0x9f, 0x98, 0x80}, -1, {}},       // outside UCS-2
        {std::vector<uint8_t>(256, 'x'), 0, {}},  // the longest
        {std::vector<uint8_t>(257, 'x'), -1, {}}, // one too many
    };
    for (const Case &c : cases) {
        uint8_t out[600];
        size_t len = 0;
        EXPECT_EQ(ms_chap_utf8_to_ucs2(c.utf8.data(), c.utf8.size(), out, sizeof(out), &len), c.result);
        if (c.result == 0 && !c.ucs2.empty()) {
            EXPECT_EQ(std::vector<uint8_t>(out, out + len), c.ucs2);
        }
    }
    // The NT hash of a non-ASCII password is taken over its UCS-2 form.
    uint8_t h1[16], h2[16];
    const uint8_t utf8[] = {0xc3, 0xa4};
    ASSERT_EQ(nt_password_hash(utf8, 2, h1), 0);
    const uint8_t ucs2[] = {0xe4, 0};
    const uint8_t *addr[1] = {ucs2};
    const size_t len = 2;
    ASSERT_EQ(crypto_md4_vector(1, addr, &len, h2), 0);
    EXPECT_EQ(0, memcmp(h1, h2, 16));
}

using Methods = EapHarness;

std::vector<uint8_t> mschapv2_request(uint8_t id, uint8_t op, uint8_t ms_id,
                                      const std::vector<uint8_t> &data) {
    std::vector<uint8_t> payload = {op, ms_id, static_cast<uint8_t>((4 + data.size()) >> 8),
                                    static_cast<uint8_t>(4 + data.size())};
    payload.insert(payload.end(), data.begin(), data.end());
    return EapHarness::request(id, EAP_TYPE_MSCHAPV2, payload);
}

std::string hexs(const uint8_t *p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof(b), "%02X", p[i]);
        s += b;
    }
    return s;
}

TEST_F(Methods, MsChapV2SuccessGivesTheMppeKeys) {
    set("identity", "\"DOMAIN\\User\"");
    set("password", "\"clientPass\"");
    set("eap", "MSCHAPV2");
    start();
    eap(request(1, EAP_TYPE_IDENTITY));
    std::vector<uint8_t> chal = {16};
    chal.insert(chal.end(), kAuthChallenge.begin(), kAuthChallenge.end());
    chal.insert(chal.end(), {'s', 'r', 'v'});
    eap(mschapv2_request(2, 1, 0x42, chal));
    std::vector<uint8_t> resp = last_response();
    // Header, op code 2, the challenge's identifier, length 54 + name, value size 49.
    ASSERT_EQ(resp.size(), 5u + 54 + 11);
    EXPECT_EQ(resp[5], 2);
    EXPECT_EQ(resp[6], 0x42);
    EXPECT_EQ(resp[9], 49);
    const uint8_t *peer_challenge = resp.data() + 10;
    const uint8_t *nt = resp.data() + 34;
    // The user name without the domain goes into the hash.
    uint8_t expect_nt[24], auth[20];
    generate_nt_response(kAuthChallenge.data(), peer_challenge, kUser.data(), kUser.size(), pw(),
                         kPass.size(), expect_nt);
    EXPECT_EQ(0, memcmp(nt, expect_nt, 24));
    generate_authenticator_response(pw(), kPass.size(), peer_challenge, kAuthChallenge.data(), kUser.data(),
                                    kUser.size(), expect_nt, auth);
    std::string s = "S=" + hexs(auth, 20) + " M=ok";
    eap(mschapv2_request(3, 3, 0x42, std::vector<uint8_t>(s.begin(), s.end())));
    EXPECT_EQ(last_response(), (std::vector<uint8_t>{2, 3, 0, 6, EAP_TYPE_MSCHAPV2, 3}));
    eap(success(3));
    EXPECT_TRUE(has_event("CTRL-EVENT-EAP-SUCCESS"));
    uint8_t hash[16], hash_hash[16], master[16], msk[32], key[32];
    nt_password_hash(pw(), kPass.size(), hash);
    hash_nt_password_hash(hash, hash_hash);
    get_master_key(hash_hash, expect_nt, master);
    get_asymetric_start_key(master, msk, 16, 1, 0);
    get_asymetric_start_key(master, msk + 16, 16, 0, 0);
    ASSERT_EQ(eapol_supp_get_key(sm, key, 32), 0);
    EXPECT_EQ(0, memcmp(key, msk, 32));
}

TEST_F(Methods, MsChapV2WrongAuthenticatorResponseFails) {
    set("identity", "\"User\"");
    set("password", "\"clientPass\"");
    start();
    eap(request(1, EAP_TYPE_IDENTITY));
    std::vector<uint8_t> chal = {16};
    chal.insert(chal.end(), kAuthChallenge.begin(), kAuthChallenge.end());
    eap(mschapv2_request(2, 1, 7, chal));
    std::string s = "S=407A5589115FD0D6209F510FE9C04566932CDA56";
    eap(mschapv2_request(3, 3, 7, std::vector<uint8_t>(s.begin(), s.end())));
    EXPECT_EQ(responses(), 2u);
    eap(success(3));
    EXPECT_FALSE(has_event("CTRL-EVENT-EAP-SUCCESS"));
    EXPECT_NE(status().find("suppPortStatus=Unauthorized"), std::string::npos);
}

TEST_F(Methods, MsChapV2FailureWithRetryAsksForNewCredentials) {
    set("identity", "\"User\"");
    set("password", "\"wrong\"");
    start();
    eap(request(1, EAP_TYPE_IDENTITY));
    std::vector<uint8_t> chal = {16};
    chal.insert(chal.end(), kAuthChallenge.begin(), kAuthChallenge.end());
    eap(mschapv2_request(2, 1, 7, chal));
    asked.clear();
    std::string f = "E=691 R=1 C=00112233445566778899AABBCCDDEEFF V=3 M=try again";
    eap(mschapv2_request(3, 4, 7, std::vector<uint8_t>(f.begin(), f.end())));
    EXPECT_TRUE(has_event("EAP-MSCHAPV2: failure message: 'try again' (retry allowed, error 691)"));
    EXPECT_EQ(asked, (std::vector<int>{WPA_CTRL_REQ_EAP_IDENTITY, WPA_CTRL_REQ_EAP_PASSWORD}));
    EXPECT_EQ(responses(), 2u);
    EXPECT_EQ(net->mschapv2_retry, 1);
}

TEST_F(Methods, MsChapV2FailureWithoutRetryIsAcknowledged) {
    set("identity", "\"User\"");
    set("password", "\"wrong\"");
    start();
    eap(request(1, EAP_TYPE_IDENTITY));
    std::vector<uint8_t> chal = {16};
    chal.insert(chal.end(), kAuthChallenge.begin(), kAuthChallenge.end());
    eap(mschapv2_request(2, 1, 7, chal));
    std::string f = "E=691 R=0 V=3";
    eap(mschapv2_request(3, 4, 7, std::vector<uint8_t>(f.begin(), f.end())));
    EXPECT_TRUE(has_event("(retry not allowed, error 691)"));
    EXPECT_EQ(last_response(), (std::vector<uint8_t>{2, 3, 0, 6, EAP_TYPE_MSCHAPV2, 4}));
}

TEST_F(Methods, LeapMutualChallengeGivesSixteenByteKey) {
    set("identity", "\"User\"");
    set("password", "\"clientPass\"");
    start();
    eap(request(1, EAP_TYPE_IDENTITY));
    const std::vector<uint8_t> peer_chal = unhex("0102030405060708");
    std::vector<uint8_t> payload = {1, 0, 8};
    payload.insert(payload.end(), peer_chal.begin(), peer_chal.end());
    payload.insert(payload.end(), {'a', 'p'});
    // A Success before the challenge was answered is ignored by the method.
    eap(request(2, EAP_TYPE_LEAP, payload));
    std::vector<uint8_t> resp = last_response();
    ASSERT_EQ(resp.size(), 5u + 3 + 24 + 4);
    uint8_t hash[16], hash_hash[16], expect[24];
    nt_password_hash(pw(), kPass.size(), hash);
    hash_nt_password_hash(hash, hash_hash);
    challenge_response(peer_chal.data(), hash, expect);
    EXPECT_EQ(0, memcmp(resp.data() + 8, expect, 24));
    // EAP-Success: the station challenges the AP in a request of its own.
    eap(success(2));
    std::vector<uint8_t> own = last_response();
    ASSERT_EQ(own.size(), 5u + 3 + 8 + 4);
    EXPECT_EQ(own[0], EAP_CODE_REQUEST);
    const std::vector<uint8_t> ap_chal(own.begin() + 8, own.begin() + 16);
    uint8_t ap_resp[24];
    challenge_response(ap_chal.data(), hash_hash, ap_resp);
    std::vector<uint8_t> answer = {2, 2, 0, 0, EAP_TYPE_LEAP, 1, 0, 24};
    answer.insert(answer.end(), ap_resp, ap_resp + 24);
    answer.insert(answer.end(), {'U', 's', 'e', 'r'});
    answer[3] = static_cast<uint8_t>(answer.size());
    eap(answer);
    EXPECT_TRUE(has_event("CTRL-EVENT-EAP-SUCCESS"));
    uint8_t key[64];
    EXPECT_EQ(eapol_supp_get_key(sm, key, 64), 16);
    ASSERT_EQ(eapol_supp_get_key(sm, key, 16), 0);
    uint8_t expect_key[16];
    const uint8_t *addr[5] = {hash_hash, ap_chal.data(), ap_resp, peer_chal.data(), expect};
    const size_t lens[5] = {16, 8, 24, 8, 24};
    crypto_md5_vector(5, addr, lens, expect_key);
    EXPECT_EQ(0, memcmp(key, expect_key, 16));
}

// Runs LEAP to success; the 16-byte key comes back.
std::vector<uint8_t> leap_success(EapHarness *h) {
    h->set("identity", "\"User\"");
    h->set("password", "\"clientPass\"");
    h->start();
    h->eap(EapHarness::request(1, EAP_TYPE_IDENTITY));
    h->eap(EapHarness::request(2, EAP_TYPE_LEAP, {1, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8}));
    h->eap(EapHarness::success(2));
    std::vector<uint8_t> own = h->last_response();
    uint8_t hash[16], hash_hash[16], ap_resp[24];
    nt_password_hash(pw(), kPass.size(), hash);
    hash_nt_password_hash(hash, hash_hash);
    challenge_response(own.data() + 8, hash_hash, ap_resp);
    std::vector<uint8_t> answer = {2, 2, 0, 32, EAP_TYPE_LEAP, 1, 0, 24};
    answer.insert(answer.end(), ap_resp, ap_resp + 24);
    h->eap(answer);
    std::vector<uint8_t> key(16);
    EXPECT_EQ(eapol_supp_get_key(h->sm, key.data(), 16), 0);
    return key;
}

// An EAPOL-Key frame (RC4 descriptor) signed and encrypted with the 16-byte LEAP key.
std::vector<uint8_t> wep_frame(const std::vector<uint8_t> &k, uint8_t counter, uint8_t index, size_t key_len,
                               size_t carried) {
    std::vector<uint8_t> f = {1, 3, 0, 0};
    std::vector<uint8_t> body = {1, static_cast<uint8_t>(key_len >> 8), static_cast<uint8_t>(key_len)};
    body.insert(body.end(), {0, 0, 0, 0, 0, 0, 0, counter});
    std::vector<uint8_t> iv(16, 0x5a);
    body.insert(body.end(), iv.begin(), iv.end());
    body.push_back(index);
    body.resize(body.size() + 16, 0); // signature
    std::vector<uint8_t> data(carried, 0x33);
    if (carried > 0) {
        std::vector<uint8_t> rc4key = iv;
        rc4key.insert(rc4key.end(), k.begin(), k.end());
        crypto_rc4_skip_encrypt(rc4key.data(), rc4key.size(), 0, data.data(), data.size());
    }
    body.insert(body.end(), data.begin(), data.end());
    f[2] = static_cast<uint8_t>(body.size() >> 8);
    f[3] = static_cast<uint8_t>(body.size());
    f.insert(f.end(), body.begin(), body.end());
    uint8_t mac[16];
    crypto_hmac_md5(k.data(), k.size(), f.data(), f.size(), mac);
    memcpy(f.data() + 4 + 28, mac, 16);
    return f;
}

TEST_F(Methods, DynamicWepKeysAreCheckedBeforeInstalling) {
    std::vector<uint8_t> k = leap_success(this);
    ASSERT_TRUE(has_event("CTRL-EVENT-EAP-SUCCESS"));
    const uint8_t src[6] = {0, 1, 2, 3, 4, 5};
    struct Case {
        uint8_t counter, index;
        size_t key_len, carried;
        bool corrupt;
        bool installed;
    };
    const Case cases[] = {
        {1, 0x80, 13, 13, false, true},  // unicast WEP-104, decrypted
        {1, 0x01, 13, 13, false, false}, // replayed counter
        {2, 0x01, 5, 0, false, true},    // broadcast, key from the encryption key
        {3, 0x01, 13, 13, true, false},  // bad signature
        {4, 0x01, 32, 32, false, false}, // longer than the 16-byte encryption key: refused
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(int(c.counter));
        const size_t before = wep_keys.size();
        std::vector<uint8_t> f = wep_frame(k, c.counter, c.index, c.key_len, c.carried);
        if (c.corrupt) f.back() ^= 1;
        EXPECT_EQ(eapol_supp_rx_frame(sm, src, f.data(), f.size()), 1);
        EXPECT_EQ(wep_keys.size(), before + (c.installed ? 1 : 0));
    }
    ASSERT_EQ(wep_keys.size(), 2u);
    EXPECT_EQ(wep_keys[0].unicast, 1);
    EXPECT_EQ(wep_keys[0].key, std::vector<uint8_t>(13, 0x33));
    EXPECT_EQ(wep_keys[1].unicast, 0);
    EXPECT_EQ(wep_keys[1].index, 1);
    EXPECT_EQ(wep_keys[1].key, std::vector<uint8_t>(k.begin(), k.begin() + 5));
}

TEST_F(Methods, LeapWrongApResponseFails) {
    set("identity", "\"User\"");
    set("password", "\"clientPass\"");
    start();
    eap(request(1, EAP_TYPE_IDENTITY));
    eap(request(2, EAP_TYPE_LEAP, {1, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8}));
    eap(success(2));
    std::vector<uint8_t> answer = {2, 2, 0, 32, EAP_TYPE_LEAP, 1, 0, 24};
    answer.resize(32, 0xaa);
    eap(answer);
    EXPECT_FALSE(has_event("CTRL-EVENT-EAP-SUCCESS"));
    uint8_t key[16];
    EXPECT_EQ(eapol_supp_get_key(sm, key, 16), -1);
}

} // namespace
