// WPA/RSN elements, names, key data and key derivation. The key vectors were computed
// independently with Python's hmac and hashlib from the IEEE 802.11 definitions.
#include "wireless/rsn/wpa_common.h"

#include "../wcrypto/hex.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(RsnElements, RsnDecoderResults) {
    struct Case {
        const char *ie;
        int result;
        uint32_t pairwise, group, akm;
    };
    const Case cases[] = {
        // Full element: CCMP/CCMP/PSK, capabilities 0x000c.
        {"30 14 0100 000fac04 0100 000fac04 0100 000fac02 0c00", 0, WPA_CIPHER_CCMP, WPA_CIPHER_CCMP,
         WPA_KEY_MGMT_PSK},
        // Ends right after the version: defaults.
        {"30 02 0100", 0, WPA_CIPHER_CCMP, WPA_CIPHER_CCMP, WPA_KEY_MGMT_IEEE8021X},
        // Mixed TKIP group, two pairwise, two AKMs.
        {"30 1c 0100 000fac02 0200 000fac04 000fac02 0200 000fac01 000fac02 0000", 0,
         WPA_CIPHER_CCMP | WPA_CIPHER_TKIP, WPA_CIPHER_TKIP, WPA_KEY_MGMT_IEEE8021X | WPA_KEY_MGMT_PSK},
        {"30 01 01", -1, 0, 0, 0},                               // too short
        {"30 06 0100 000fac00", -1, 0, 0, 0},                    // group NONE is no group cipher
        {"30 03 0200 00", -2, 0, 0, 0},                          // version 2
        {"30 05 0100 000fac04", -2, 0, 0, 0},                    // length byte disagrees
        {"30 04 0100 000f", -3, 0, 0, 0},                        // truncated group suite
        {"30 08 0100 000fac04 0000", -4, 0, 0, 0},               // pairwise count 0
        {"30 0c 0100 000fac04 0200 000fac04", -4, 0, 0, 0},      // count beyond the element
        {"30 07 0100 000fac04 01", -5, 0, 0, 0},                 // one stray byte
        {"30 0e 0100 000fac04 0100 000fac04 0000", -6, 0, 0, 0}, // AKM count 0
        {"30 0d 0100 000fac04 0100 000fac04 01", -7, 0, 0, 0},   // one stray byte
        {"30 16 0100 000fac04 0100 000fac04 0100 000fac02 0000 0100", -9, 0, 0, 0}, // PMKID missing
        // OSEN: vendor header, then the RSN body.
        {"dd 10 506f9a12 000fac04 0100 000fac04 0100 506f9a01", 0, WPA_CIPHER_CCMP, WPA_CIPHER_CCMP,
         WPA_KEY_MGMT_OSEN},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ie);
        const Bytes ie = unhex(c.ie);
        wpa_ie_info info;
        EXPECT_EQ(c.result, wpa_decode_security_ie(ie.data(), ie.size(), &info));
        if (c.result == 0) {
            EXPECT_EQ(c.pairwise, info.pairwise_cipher);
            EXPECT_EQ(c.group, info.group_cipher);
            EXPECT_EQ(c.akm, info.key_mgmt);
            EXPECT_EQ(ie[0] == 48 ? WPA_PROTO_RSN : WPA_PROTO_OSEN, info.proto);
        }
    }
}

TEST(RsnElements, RsnPmkidListPointsIntoTheElement) {
    const Bytes ie = unhex("30 26 0100 000fac04 0100 000fac04 0100 000fac01 0000 0100"
                           "00112233445566778899aabbccddeeff");
    wpa_ie_info info;
    ASSERT_EQ(0, wpa_decode_rsn_ie(ie.data(), ie.size(), &info));
    EXPECT_EQ(1u, info.num_pmkid);
    EXPECT_EQ(ie.data() + 24, info.pmkid);
}

TEST(RsnElements, WpaDecoderResults) {
    struct Case {
        const char *ie;
        int result;
        uint32_t pairwise, group, akm;
    };
    const Case cases[] = {
        {"dd 16 0050f201 0100 0050f202 0100 0050f202 0100 0050f202", 0, WPA_CIPHER_TKIP, WPA_CIPHER_TKIP,
         WPA_KEY_MGMT_PSK},
        {"dd 06 0050f201 0100", 0, WPA_CIPHER_TKIP, WPA_CIPHER_TKIP, WPA_KEY_MGMT_IEEE8021X},
        // Group selector type 0 decodes to NONE; WPA-None AKM.
        {"dd 16 0050f201 0100 0050f200 0100 0050f204 0100 0050f200", 0, WPA_CIPHER_CCMP, WPA_CIPHER_NONE,
         WPA_KEY_MGMT_WPA_NONE},
        {"dd 05 0050f201 01", -1, 0, 0, 0},
        {"30 06 0050f201 0100", -2, 0, 0, 0},
        {"dd 06 0050f202 0100", -2, 0, 0, 0},
        {"dd 06 0050f201 0200", -2, 0, 0, 0},
        {"dd 08 0050f201 0100 0050", -3, 0, 0, 0},
        {"dd 0c 0050f201 0100 0050f202 0000", -4, 0, 0, 0},
        {"dd 0b 0050f201 0100 0050f202 01", -5, 0, 0, 0},
        {"dd 12 0050f201 0100 0050f202 0100 0050f202 0300", -6, 0, 0, 0},
        {"dd 11 0050f201 0100 0050f202 0100 0050f202 01", -7, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ie);
        const Bytes ie = unhex(c.ie);
        wpa_ie_info info;
        EXPECT_EQ(c.result, wpa_decode_security_ie(ie.data(), ie.size(), &info));
        if (c.result == 0) {
            EXPECT_EQ(WPA_PROTO_WPA, info.proto);
            EXPECT_EQ(c.pairwise, info.pairwise_cipher);
            EXPECT_EQ(c.group, info.group_cipher);
            EXPECT_EQ(c.akm, info.key_mgmt);
        }
    }
}

TEST(RsnElements, NamesAndTables) {
    EXPECT_STREQ("CCMP+TKIP", wpa_cipher_name(WPA_CIPHER_CCMP | WPA_CIPHER_TKIP));
    EXPECT_STREQ("GTK_NOT_USED", wpa_cipher_name(WPA_CIPHER_GTK_NOT_USED));
    EXPECT_STREQ("UNKNOWN", wpa_cipher_name(WPA_CIPHER_AES_128_CMAC));
    EXPECT_STREQ("UNKNOWN", wpa_cipher_name(WPA_CIPHER_CCMP | WPA_CIPHER_GCMP));
    EXPECT_STREQ("WPA2-PSK+WPA-PSK", wpa_key_mgmt_name(WPA_KEY_MGMT_PSK, WPA_PROTO_WPA | WPA_PROTO_RSN));
    EXPECT_STREQ("WPA2-PSK", wpa_key_mgmt_name(WPA_KEY_MGMT_PSK, WPA_PROTO_RSN));
    EXPECT_STREQ("WPA-PSK", wpa_key_mgmt_name(WPA_KEY_MGMT_PSK, WPA_PROTO_WPA));
    EXPECT_STREQ("WPA2/IEEE 802.1X/EAP", wpa_key_mgmt_name(WPA_KEY_MGMT_IEEE8021X, WPA_PROTO_RSN));
    EXPECT_STREQ("UNKNOWN", wpa_key_mgmt_name(WPA_KEY_MGMT_CCKM, WPA_PROTO_RSN));

    EXPECT_EQ(32u, wpa_cipher_tk_length(WPA_CIPHER_TKIP));
    EXPECT_EQ(6u, wpa_cipher_seq_length(WPA_CIPHER_CCMP));
    EXPECT_EQ(3, wpa_cipher_driver_alg(WPA_CIPHER_CCMP));
    EXPECT_EQ(0u, wpa_cipher_tk_length(WPA_CIPHER_CCMP | WPA_CIPHER_TKIP));

    EXPECT_EQ(0x000fac04u, wpa_cipher_suite_selector(WPA_PROTO_RSN, WPA_CIPHER_CCMP | WPA_CIPHER_TKIP));
    EXPECT_EQ(0x0050f202u, wpa_cipher_suite_selector(WPA_PROTO_WPA, WPA_CIPHER_TKIP));
    EXPECT_EQ(0x000fac06u, wpa_cipher_suite_selector(WPA_PROTO_RSN, WPA_CIPHER_AES_128_CMAC));
    EXPECT_EQ(0u, wpa_cipher_suite_selector(WPA_PROTO_RSN, WPA_CIPHER_WEP40));

    EXPECT_EQ(static_cast<int>(WPA_CIPHER_CCMP),
              wpa_choose_pairwise_cipher(WPA_CIPHER_CCMP | WPA_CIPHER_TKIP, 0));
    EXPECT_EQ(static_cast<int>(WPA_CIPHER_NONE), wpa_choose_pairwise_cipher(WPA_CIPHER_NONE, 1));
    EXPECT_EQ(-1, wpa_choose_pairwise_cipher(WPA_CIPHER_NONE, 0));
    EXPECT_EQ(static_cast<int>(WPA_CIPHER_GTK_NOT_USED),
              wpa_choose_group_cipher(WPA_CIPHER_GTK_NOT_USED | WPA_CIPHER_TKIP));
    EXPECT_EQ(WPA_CIPHER_TKIP, wpa_ap_group_cipher(3, WPA_CIPHER_TKIP, WPA_CIPHER_CCMP));
    EXPECT_EQ(WPA_CIPHER_CCMP, wpa_ap_group_cipher(2, WPA_CIPHER_TKIP, WPA_CIPHER_CCMP));
    EXPECT_EQ(WPA_CIPHER_GCMP_256, wpa_ap_group_cipher(2, 0, WPA_CIPHER_GCMP_256));

    uint8_t sels[24];
    ASSERT_EQ(3, rsn_write_cipher_selectors(sels, WPA_CIPHER_NONE | WPA_CIPHER_CCMP | WPA_CIPHER_TKIP));
    EXPECT_EQ("000fac04000fac02000fac00", hex(sels, 12));
    ASSERT_EQ(2, wpa_write_cipher_selectors(sels, WPA_CIPHER_TKIP | WPA_CIPHER_CCMP | WPA_CIPHER_GCMP));
    EXPECT_EQ("0050f2040050f202", hex(sels, 8));
}

TEST(RsnElements, CipherListText) {
    EXPECT_EQ(static_cast<int>(WPA_CIPHER_CCMP | WPA_CIPHER_TKIP | WPA_CIPHER_WEP40),
              wpa_cipher_list_from_text(" CCMP\tTKIP  WEP40 "));
    EXPECT_EQ(0, wpa_cipher_list_from_text(""));
    EXPECT_EQ(-1, wpa_cipher_list_from_text("CCMP FOO"));
    EXPECT_EQ(-1, wpa_cipher_list_from_text("CCM"));

    char buf[32];
    EXPECT_EQ(14, wpa_cipher_list_to_text(buf, buf + sizeof(buf),
                                          WPA_CIPHER_TKIP | WPA_CIPHER_CCMP | WPA_CIPHER_NONE, ' '));
    EXPECT_STREQ("CCMP TKIP NONE", buf);
    // Too small: -1, and what fitted stays.
    EXPECT_EQ(-1, wpa_cipher_list_to_text(buf, buf + 8, WPA_CIPHER_TKIP | WPA_CIPHER_CCMP, '+'));
    EXPECT_STREQ("CCMP", buf);
}

TEST(RsnKeyData, ParsesElementsAndEncapsulations) {
    const Bytes kd = unhex("30 02 0100"                                           // RSN element
                           "dd 14 000fac04 00112233445566778899aabbccddeeff"      // PMKID
                           "dd 16 000fac01 0100 000102030405060708090a0b0c0d0e0f" // GTK, index 1
                           "dd 0a 000fac03 020000000100"                          // MAC address
                           "dd 10 506f9a05 c6120001 ffffff00 c6120002"            // IP allocation
                           "07 01 00"                                             // skipped
                           "dd 00 0000");                                         // padding
    wpa_eapol_ie_parse p;
    ASSERT_EQ(0, wpa_parse_key_data(kd.data(), kd.size(), &p));
    EXPECT_EQ(kd.data(), p.rsn_ie);
    EXPECT_EQ(4u, p.rsn_ie_len);
    ASSERT_NE(nullptr, p.pmkid);
    EXPECT_EQ("00112233445566778899aabbccddeeff", hex(p.pmkid, 16));
    ASSERT_NE(nullptr, p.gtk);
    EXPECT_EQ(18u, p.gtk_len);
    EXPECT_EQ(1, p.gtk[0] & 3);
    EXPECT_EQ(6u, p.mac_addr_len);
    ASSERT_NE(nullptr, p.ip_addr_alloc);
    EXPECT_EQ("c6120001", hex(p.ip_addr_alloc, 4));
    EXPECT_EQ(nullptr, p.wpa_ie);
}

TEST(RsnKeyData, BoundsAndShortEncapsulations) {
    struct Case {
        const char *kd;
        int result;
        bool gtk, pmkid, wpa;
    };
    const Case cases[] = {
        {"", 0, false, false, false},
        {"dd", 0, false, false, false},                 // one byte left: done
        {"dd 06 000fac01 00", -1, false, false, false}, // runs past the end
        {"dd 03 000fac", 0, false, false, false},       // selector cut short: skipped
        {"dd 04 000fac01", 0, true, false, false},      // GTK with an empty body
        {"dd 13 000fac04 00112233445566778899aabbccddee", 0, false, false, false}, // 15-byte PMKID
        {"dd 06 0050f201 0100", 0, false, false, true},
        {"dd 06 0050f201 0200", 0, false, false, false}, // WPA element of another version
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.kd);
        const Bytes kd = unhex(c.kd);
        wpa_eapol_ie_parse p;
        EXPECT_EQ(c.result, wpa_parse_key_data(kd.data(), kd.size(), &p));
        EXPECT_EQ(c.gtk, p.gtk != nullptr);
        if (c.gtk) {
            EXPECT_EQ(0u, p.gtk_len);
        }
        EXPECT_EQ(c.pmkid, p.pmkid != nullptr);
        EXPECT_EQ(c.wpa, p.wpa_ie != nullptr);
    }
}

TEST(RsnKeys, PtkDerivationOrdersAddressesAndNonces) {
    const Bytes pmk = unhex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const Bytes aa = unhex("020000000100"), spa = unhex("02000000ff00");
    Bytes an(32, 0xaa), sn(32, 0xaa);
    an[31] = 1;
    sn[31] = 0;
    const std::string expect = "b7388c71c4b39039ae780a7e3e60acc726ba01c430b3b6401ad62ac5ea387838"
                               "ee37b2d395eced4bb2c158d0dbe04079b55e607c1f42900555a4954e3ae57c50";
    // Whichever side each value is passed on, the PTK is the same.
    for (int swap = 0; swap < 4; swap++) {
        wpa_ptk_keys ptk;
        ASSERT_EQ(0, wpa_derive_ptk(pmk.data(), pmk.size(), "Pairwise key expansion",
                                    (swap & 1 ? aa : spa).data(), (swap & 1 ? spa : aa).data(),
                                    (swap & 2 ? an : sn).data(), (swap & 2 ? sn : an).data(), &ptk,
                                    WPA_KEY_MGMT_PSK, WPA_CIPHER_TKIP));
        EXPECT_EQ(16u, ptk.kck_len);
        EXPECT_EQ(16u, ptk.kek_len);
        EXPECT_EQ(32u, ptk.tk_len);
        EXPECT_EQ(expect, hex(ptk.kck, 16) + hex(ptk.kek, 16) + hex(ptk.tk, 32));
    }
    wpa_ptk_keys ccmp;
    ASSERT_EQ(0, wpa_derive_ptk(pmk.data(), pmk.size(), "Pairwise key expansion", spa.data(), aa.data(),
                                sn.data(), an.data(), &ccmp, WPA_KEY_MGMT_PSK, WPA_CIPHER_CCMP));
    EXPECT_EQ(expect.substr(0, 96), hex(ccmp.kck, 16) + hex(ccmp.kek, 16) + hex(ccmp.tk, 16));
}

TEST(RsnKeys, KeyMicByDescriptorVersion) {
    Bytes frame = unhex("02 03 005f 02 010a 0010 0102030405060708");
    for (int i = 0x20; i < 0x40; i++)
        frame.push_back(static_cast<uint8_t>(i));
    frame.resize(99, 0);
    Bytes kck;
    for (int i = 0x10; i < 0x20; i++)
        kck.push_back(static_cast<uint8_t>(i));
    uint8_t mic[16];
    ASSERT_EQ(0, wpa_compute_key_mic(kck.data(), 16, WPA_KEY_MGMT_PSK, 1, frame.data(), frame.size(), mic));
    EXPECT_EQ("a728a373b80fe64ecda0b5209aedbc2b", hex(mic, 16));
    ASSERT_EQ(0, wpa_compute_key_mic(kck.data(), 16, WPA_KEY_MGMT_PSK, 2, frame.data(), frame.size(), mic));
    EXPECT_EQ("cedd21614240ef261f2414a32cdbed79", hex(mic, 16));
    for (int version : {0, 3}) {
        std::memset(mic, 0x5a, sizeof(mic));
        EXPECT_EQ(-1, wpa_compute_key_mic(kck.data(), 16, WPA_KEY_MGMT_PSK, version, frame.data(),
                                          frame.size(), mic));
        EXPECT_EQ(Bytes(16, 0x5a), Bytes(mic, mic + 16));
    }
    EXPECT_EQ(24u, wpa_key_mic_length(WPA_KEY_MGMT_IEEE8021X_SUITE_B_192));
    EXPECT_EQ(16u, wpa_key_mic_length(WPA_KEY_MGMT_IEEE8021X_SUITE_B));
}

TEST(RsnKeys, PmkidMatchesHmacSha1) {
    Bytes pmk;
    for (int i = 0; i < 32; i++)
        pmk.push_back(static_cast<uint8_t>(i));
    const Bytes aa = unhex("020000000100"), spa = unhex("02000000ff00");
    uint8_t pmkid[16];
    ASSERT_EQ(0, rsn_compute_pmkid(pmk.data(), pmk.size(), aa.data(), spa.data(), pmkid));
    EXPECT_EQ("2da18a6ed7d630b8c8f5bb6f647eca69", hex(pmkid, 16));
}

TEST(RsnElements, IeMatches) {
    const Bytes a = unhex("30 02 0100"), b = unhex("30 02 0100"), c = unhex("30 02 0200");
    EXPECT_EQ(0, wpa_ie_matches(0, a.data(), a.size(), b.data(), b.size()));
    EXPECT_EQ(-1, wpa_ie_matches(0, a.data(), a.size(), c.data(), c.size()));
    EXPECT_EQ(-1, wpa_ie_matches(0, a.data(), a.size(), b.data(), 3));
    EXPECT_EQ(-1, wpa_ie_matches(0, nullptr, 0, nullptr, 0));
}

} // namespace
