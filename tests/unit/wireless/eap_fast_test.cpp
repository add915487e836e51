// EAP-FAST inside the tunnel: the key chain and the compound MAC against check values of a
// separate implementation, the TLV and PAC-attribute parsers on hostile input, and the
// method's refusal to start without a PAC or provisioning.
#include "wireless/crypto/crypto.h"
#include "wireless/eap/eap_fast.h"
#include "wireless/eap/eap_fast_pac.h"

#include "eap_harness.h"
#include "wcrypto/hex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(FastKeys, ChainAndCompoundMacMatchAnIndependentImplementation) {
    // Check values from a Python implementation written from RFC 4851 (sections 5.2 to
    // 5.5): master secret from a PAC-Key and the randoms, IMCK from S-IMCK and ISK, the
    // compound MAC of a Crypto-Binding request, MSK and EMSK from the new S-IMCK.
    uint8_t pac_key[32], server_random[32], client_random[32], master[48];
    for (int i = 0; i < 32; i++) {
        pac_key[i] = static_cast<uint8_t>(i);
        server_random[i] = static_cast<uint8_t>(0xa0 + i % 16);
        client_random[i] = static_cast<uint8_t>(0x50 + i % 16);
    }
    ASSERT_EQ(0, eap_fast_pac_master_secret(pac_key, server_random, client_random, master));
    EXPECT_EQ(
        "bf586104b52ed9ee25d26da275759914e49afa354f1f23d09188256f20d1e204c62b01263fae12dccb4bd7425a1bbd29",
        hex(master, 48));

    uint8_t simck[40], isk[32], cmk[20];
    memset(simck, 0x11, sizeof(simck));
    for (int i = 0; i < 32; i++)
        isk[i] = static_cast<uint8_t>(0x20 + i);
    ASSERT_EQ(0, eap_fast_imck_step(simck, isk, cmk));
    const std::string imck =
        "46513e69940b6d727720eebddc08e2611fa7f7b654844191176f79b4171a025a536f8a67eeff96bc"
        "fd3cce06af7e6fa9656dfd6f7799b93a20debc81";
    EXPECT_EQ(imck.substr(0, 80), hex(simck, 40));
    EXPECT_EQ(imck.substr(80), hex(cmk, 20));

    uint8_t tlv[60] = {0x00, 0x0c, 0x00, 0x38, 0, 1, 1, 0};
    for (int i = 0; i < 32; i++)
        tlv[8 + i] = static_cast<uint8_t>(0x80 + i);
    uint8_t mac[20];
    ASSERT_EQ(0, eap_fast_compound_mac(cmk, tlv, mac));
    EXPECT_EQ("c75458ccf04c244ccb3301ad51ba5e0a7cce22e7", hex(mac, 20));

    uint8_t msk[64], emsk[64];
    ASSERT_EQ(0, sha1_t_prf(simck, 40, "Session Key Generating Function", nullptr, 0, msk, 64));
    ASSERT_EQ(0, sha1_t_prf(simck, 40, "Extended Session Key Generating Function", nullptr, 0, emsk, 64));
    EXPECT_EQ(
        "f591b312f914f6037d686f1c9413cda1bfe3387df5c8b7d0c96aab9499c1683e536687b08e90f38428e5606f4ee9b5daf0c8"
        "d470c1db033ad95182d41b46f3fc",
        hex(msk, 64));
    EXPECT_EQ(
        "03afee49301a1cee135c5d18e0e51a18ef79796b193f46f0b603abb02b808a92dbe2935667800fd2ec6fe305cfcebef2785d"
        "9622ae65fcd420ab377af8d2fe7e",
        hex(emsk, 64));
}

Bytes tlv(uint16_t type, const Bytes &value) {
    Bytes out = {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type),
                 static_cast<uint8_t>(value.size() >> 8), static_cast<uint8_t>(value.size())};
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(FastTlvs, ParserTable) {
    const Bytes ok = {0, 1}, fail = {0, 2}, odd = {0, 7}, binding(56, 0), short_binding(55, 0);
    const Bytes payload = {1, 5, 0, 5, 1};
    struct Case {
        const char *name;
        Bytes in;
        int rc, result, iresult, nak;
        bool payload, binding;
    };
    const Case cases[] = {
        {"result and binding", cat({tlv(0x8003, ok), tlv(0x000c, binding)}), 0, 1, 0, -1, false, true},
        {"odd status is a failure", tlv(0x800a, odd), 0, 0, 2, -1, false, false},
        {"one-byte status is a failure", tlv(0x8003, {1}), 0, 2, 0, -1, false, false},
        {"second result fails", cat({tlv(0x8003, ok), tlv(0x8003, ok)}), 0, 2, 0, -1, false, false},
        {"second payload fails the intermediate result", cat({tlv(0x8009, payload), tlv(0x8009, payload)}), 0,
         0, 2, -1, true, false},
        {"short binding fails", tlv(0x800c, short_binding), 0, 2, 0, -1, false, false},
        {"unknown mandatory is naked", cat({tlv(0x8003, fail), tlv(0x8020, {9})}), 0, 2, 0, 0x20, false,
         false},
        {"unknown optional is skipped", cat({tlv(0x0020, {9}), tlv(0x8009, payload)}), 0, 0, 0, -1, true,
         false},
        {"TLV past the end drops the request", Bytes{0x80, 0x03, 0x00, 0x09, 0, 1}, -1, 0, 0, -1, false,
         false},
        {"four trailing bytes are ignored", cat({tlv(0x8003, ok), Bytes{0x80, 0x03, 0xff, 0xff}}), 0, 1, 0,
         -1, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        eap_fast_tlvs t;
        ASSERT_EQ(c.rc, eap_fast_parse_tlvs(c.in.data(), c.in.size(), &t));
        if (c.rc != 0) continue;
        EXPECT_EQ(c.result, t.result);
        EXPECT_EQ(c.iresult, t.iresult);
        EXPECT_EQ(c.nak, t.nak_type);
        EXPECT_EQ(c.payload, t.eap_payload != nullptr);
        EXPECT_EQ(c.binding, t.crypto_binding != nullptr);
    }
}

TEST(FastTlvs, PacAttributes) {
    const Bytes key(32, 0x42), opaque = {1, 2, 3};
    const Bytes info = cat({tlv(4, {'A', 'I', 'D'}), tlv(5, {'u'}), tlv(7, {'S', '\n', 'x'}),
                            tlv(3, {0, 0, 0, 1}), tlv(10, {0, 2})});
    eap_fast_pac e;
    const Bytes good = cat({tlv(1, key), tlv(2, opaque), tlv(9, info)});
    ASSERT_EQ(0, eap_fast_parse_pac_tlv(good.data(), good.size(), &e));
    EXPECT_EQ(2, e.pac_type);
    EXPECT_EQ(0, memcmp(e.pac_key, key.data(), 32));
    EXPECT_EQ(Bytes(e.a_id, e.a_id + e.a_id_len), (Bytes{'A', 'I', 'D'}));
    EXPECT_EQ(3u, e.a_id_info_len);
    EXPECT_EQ(opaque, Bytes(e.pac_opaque, e.pac_opaque + e.pac_opaque_len));

    const Bytes refused[] = {
        cat({tlv(1, Bytes(31, 1)), tlv(2, opaque), tlv(9, info)}),                  // short key
        cat({tlv(2, opaque), tlv(9, info)}),                                        // no key
        cat({tlv(1, key), tlv(9, info)}),                                           // no opaque
        cat({tlv(1, key), tlv(2, opaque), tlv(9, tlv(4, {'A'}))}),                  // no A-ID-Info
        cat({tlv(1, key), tlv(2, opaque), tlv(9, cat({info, tlv(10, {0, 4})}))}),   // PAC type 4
        cat({tlv(1, key), tlv(2, opaque), tlv(9, cat({info, Bytes{0, 4, 0, 9}}))}), // attribute past the end
        cat({good, Bytes{0, 1}}),                                                   // stray bytes
    };
    for (const Bytes &in : refused)
        EXPECT_EQ(-1, eap_fast_parse_pac_tlv(in.data(), in.size(), &e)) << hex(in);
}

// Servers mark PAC attributes mandatory (top bit) as they do TLVs: FreeRADIUS sends PAC-Key
// 0x8001, PAC-Info 0x8009 holding A-ID 0x8004 and PAC-Type 0x800a, then PAC-Opaque 0x8002.
// The PAC is taken, and its A-ID is found again in a binary PAC file's PAC-Info.
TEST(FastTlvs, PacAttributesMarkedMandatory) {
    const Bytes key(32, 0x42), opaque(98, 0x8d), a_id = {0x8d, 0x85, 0x5e, 0x17};
    const Bytes a_id_info = {'q', 'm', 'r', 0, 0};
    const Bytes info = cat({tlv(3, {0x6b, 0x25, 0x25, 0x9a}), tlv(0x8004, a_id), tlv(7, a_id_info),
                            tlv(0x800a, {0, 1}), tlv(0x4005, {'u'})});
    const Bytes pac = cat({tlv(0x8001, key), tlv(0x8009, info), tlv(0x8002, opaque)});
    eap_fast_pac e;
    ASSERT_EQ(0, eap_fast_parse_pac_tlv(pac.data(), pac.size(), &e));
    EXPECT_EQ(PAC_TYPE_TUNNEL_PAC, e.pac_type);
    EXPECT_EQ(0, memcmp(e.pac_key, key.data(), 32));
    EXPECT_EQ(opaque, Bytes(e.pac_opaque, e.pac_opaque + e.pac_opaque_len));
    EXPECT_EQ(a_id, Bytes(e.a_id, e.a_id + e.a_id_len));
    EXPECT_EQ(a_id_info, Bytes(e.a_id_info, e.a_id_info + e.a_id_info_len));
    EXPECT_EQ(Bytes{'u'}, Bytes(e.i_id, e.i_id + e.i_id_len));
    // A mandatory PAC-Type outside 1 to 3 is still refused.
    const Bytes bad_type =
        cat({tlv(0x8001, key), tlv(0x8009, cat({info, tlv(0x800a, {0, 4})})), tlv(0x8002, opaque)});
    EXPECT_EQ(-1, eap_fast_parse_pac_tlv(bad_type.data(), bad_type.size(), &e));

    // The binary file keeps PAC-Info as received: magic, version 0, then the record.
    Bytes file = {0x6a, 0xe4, 0x92, 0x0c, 0, 0, 0, 1};
    file.insert(file.end(), key.begin(), key.end());
    file.insert(file.end(), {0, static_cast<uint8_t>(opaque.size())});
    file.insert(file.end(), opaque.begin(), opaque.end());
    file.insert(file.end(), {0, static_cast<uint8_t>(info.size())});
    file.insert(file.end(), info.begin(), info.end());
    eap_fast_pac *list = nullptr;
    ASSERT_EQ(0, eap_fast_parse_pac_binary(&list, file.data(), file.size()));
    EXPECT_EQ(list, eap_fast_find_pac(list, a_id.data(), a_id.size(), PAC_TYPE_TUNNEL_PAC));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(a_id_info, Bytes(list->a_id_info, list->a_id_info + list->a_id_info_len));
    eap_fast_free_pac_list(list);
}

struct FastPeer : EapHarness {};

TEST_F(FastPeer, WithoutPacOrProvisioningTheMethodDoesNotStart) {
    set("identity", "\"alice\"");
    set("password", "\"secret\"");
    set("eap", "FAST");
    set("pac_file", "\"/tmp/qmr-fast-test-no-such-pac\"");
    start();
    eap(request(1, EAP_TYPE_IDENTITY));
    eap(request(2, EAP_TYPE_FAST, {0x21, 0x00, 0x04, 0x00, 0x02, 'I', 'D'}));
    EXPECT_TRUE(has_event("EAP: Failed to initialize EAP method: vendor 0 method 43 (FAST)"));
    const Bytes resp = last_response();
    ASSERT_GE(resp.size(), 5u);
    EXPECT_EQ(EAP_TYPE_NAK, resp[4]);
}

} // namespace
