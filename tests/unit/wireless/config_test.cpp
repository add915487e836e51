// Network blocks and global options: the field parsers and writers shared by the
// control interface, ids and priority groups, blobs and the option dump.
#include "wireless/core/cipher_text.h"
#include "wireless/core/config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Config : ::testing::Test {
    wpa_config *conf = nullptr;
    wpa_network *net = nullptr;
    void SetUp() override {
        conf = wpa_config_alloc_empty("/var/wifi", nullptr);
        net = wpa_config_add_network(conf);
        wpa_config_set_network_defaults(net);
    }
    void TearDown() override { wpa_config_free(conf); }
    std::string get(const char *name) {
        char *v = wpa_config_get_network_field(net, name);
        std::string s = v ? v : "<unset>";
        free(v);
        return s;
    }
};

TEST_F(Config, TablesAreComplete) {
    EXPECT_EQ(wpa_config_network_field_count(), 90u);
    EXPECT_EQ(wpa_config_global_field_count(), 104u);
}

TEST_F(Config, FieldValuesAndResults) {
    struct Case {
        const char *field;
        const char *value;
        int result;
        const char *written; // GET_NETWORK text afterwards
    } cases[] = {
        {"ssid", "\"home\"", 0, "\"home\""},
        {"ssid", "\"home\"", 1, "\"home\""}, // same value: unchanged
        {"ssid", "686f6d65", 1, "\"home\""},
        {"ssid", "\"home\"x", -1, "\"home\""},
        {"ssid", "\"012345678901234567890123456789012\"", -1, "\"home\""},
        {"ssid", "P\"a\\x01\"", 0, "6101"},
        {"ssid", "\"\"", 0, "\"\""},
        {"scan_ssid", "1", 0, "1"},
        {"scan_ssid", "2", -1, "1"},  // out of range stores nothing
        {"scan_ssid", "-1", -1, "1"}, // a minimum of 0 is a minimum
        {"scan_ssid", "0x0", 0, "0"},
        {"scan_ssid", "1x", -1, "0"},
        {"proactive_key_caching", "-1", 1, "-1"}, // the default stays valid
        {"mac_addr", "3", -1, "-1"},
        {"mode", "5", -1, "0"},
        {"frequency", "65001", -1, "0"},
        {"priority", "-7", 0, "-7"},
        {"psk", "\"1234567\"", -1, "<unset>"},
        {"psk", "\"12345678\"", 0, "*"},
        {"psk", "\"123456789012345678901234567890123456789012345678901234567890123\"", 0, "*"},
        {"psk", "\"1234567890123456789012345678901234567890123456789012345678901234\"", -1, "*"},
        {"psk", "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeffx", -1, "*"},
        {"proto", "WPA2", 0, "RSN"},
        {"proto", "RSN", 1, "RSN"},
        {"proto", "", -1, "RSN"},
        {"proto", "WPA3", -1, "RSN"},
        {"key_mgmt", "NONE WPA-PSK WPS", 0, "WPA-PSK NONE WPS"},
        {"pairwise", "WEP40", -1, "CCMP TKIP"},
        {"pairwise", "CCMP", 0, "CCMP"},
        {"group", "WEP104 WEP40", 0, "<unset>"},
        {"group", "TKIP CCMP-256", 0, "CCMP-256 TKIP"},
        {"auth_alg", "SHARED OPEN", 0, "OPEN SHARED"},
        {"eap", "MD5", -1, "<unset>"}, // no method registered
        {"bssid", "02:00:00:00:00:01", 0, "02:00:00:00:00:01"},
        {"bssid", "any", 0, "<unset>"},
        {"bssid", "02:00:00:00:00", -1, "<unset>"},
        {"bssid_blacklist", "02:00:00:00:00:01 02:00:00:00:00:00/ff:ff:ff:00:00:00", 0,
         "02:00:00:00:00:01 02:00:00:00:00:00/ff:ff:ff:00:00:00"},
        {"bssid_whitelist", "02:00:00:00:00:01 junk", -1, "<unset>"},
        {"p2p_client_list", "02:00:00:00:00:01 junk 02:00:00:00:00:02", 0,
         "02:00:00:00:00:01 02:00:00:00:00:02"},
        {"scan_freq", "2412 2437 0 5180", 0, "2412 2437"},
        {"scan_freq", "2412 abc", -1, "2412 2437"},
        {"wep_key0", "\"0123456789abc\"", 0, "*"},
        {"wep_key1", "\"0123456789abcdefg\"", -1, "<unset>"},
        {"password", "hash:00112233445566778899aabbccddeeff", 0, "*"},
        {"password", "hash:0011", -1, "*"},
        {"identity", "\"user\"", 0, "\"user\""},
        {"identity", "NULL", 0, "<unset>"},
        {"no_such_field", "1", -1, "<unset>"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(wpa_config_set_network_field(net, c.field, c.value, 0), c.result)
            << c.field << "=" << c.value;
        EXPECT_EQ(get(c.field), c.written) << c.field << "=" << c.value;
    }
    char *raw = wpa_config_get_network_field_raw(net, "password");
    EXPECT_STREQ(raw, "hash:00112233445566778899aabbccddeeff");
    free(raw);
}

TEST_F(Config, PassphraseDerivesThePsk) {
    ASSERT_EQ(wpa_config_set_network_field(net, "ssid", "\"IEEE\"", 0), 0);
    ASSERT_EQ(wpa_config_set_network_field(net, "psk", "\"password\"", 0), 0);
    wpa_config_update_psk(net);
    ASSERT_TRUE(net->psk_set);
    // IEEE 802.11 PSK vector: passphrase "password", SSID "IEEE".
    EXPECT_EQ(net->psk[0], 0xf4);
    EXPECT_EQ(net->psk[1], 0x2c);
    EXPECT_EQ(net->psk[31], 0x2e);
    char *raw = wpa_config_get_network_field_raw(net, "psk");
    EXPECT_STREQ(raw, "\"password\"");
    free(raw);
}

TEST_F(Config, IdsAndPriorityGroups) {
    wpa_network *n1 = wpa_config_add_network(conf);
    wpa_network *n2 = wpa_config_add_network(conf);
    EXPECT_EQ(n1->id, 1);
    n2->id = 5;
    EXPECT_EQ(wpa_config_add_network(conf)->id, 6);
    EXPECT_EQ(wpa_config_remove_network(conf, 6), 0);
    EXPECT_EQ(wpa_config_remove_network(conf, 6), -1);
    EXPECT_EQ(wpa_config_add_network(conf)->id, 6);

    wpa_config_set_network_field(net, "priority", "5", 0);
    wpa_config_set_network_field(n1, "priority", "10", 0);
    wpa_config_set_network_field(n2, "priority", "5", 0);
    wpa_config_update_prio_list(conf);
    ASSERT_EQ(conf->num_prio, 3u); // 10, 5 and the id-6 block at 0
    EXPECT_EQ(conf->pssid[0], n1);
    EXPECT_EQ(conf->pssid[1], net);
    EXPECT_EQ(net->pnext, n2);
}

TEST_F(Config, GlobalOptionsAndDump) {
    struct Case {
        const char *line;
        int result;
    } cases[] = {
        {"eapol_version=2", 0},
        {"eapol_version=3", -1},
        {"p2p_go_intent=-1", -1},
        {"p2p_go_intent=15", 0},
        {"device_name=appliance", 0},
        {"device_name=0123456789012345678901234567890123", -1},
        {"device_type=1-0050F204-1", 0},
        {"device_type=1-0050F2-1", -1},
        {"country=DE", 0},
        {"country=D", -1},
        {"uuid=12345678-9abc-def0-1234-56789abcdef0", 0},
        {"ip_addr_go=192.168.1.1", 0},
        {"ip_addr_go=300.1.1.1", -1},
        {"wps_vendor_ext_m1=", -1},
        {"filter_rssi=-101", -1},
        {"filter_rssi=-100", 0},
        {"no_such_option=1", -1},
        {"bss_expiration_age", -1},
    };
    for (const Case &c : cases) {
        std::string line = c.line;
        EXPECT_EQ(wpa_config_process_global(conf, line.data(), 0), c.result) << c.line;
    }
    EXPECT_TRUE(conf->changed_parameters & CFG_CHANGED_DEVICE_NAME);
    EXPECT_TRUE(conf->changed_parameters & CFG_CHANGED_COUNTRY);
    char buf[8192];
    ASSERT_GT(wpa_config_dump_values(conf, buf, sizeof(buf)), 0);
    std::string dump = buf;
    EXPECT_NE(dump.find("ctrl_interface=/var/wifi\n"), std::string::npos);
    EXPECT_NE(dump.find("eapol_version=2\n"), std::string::npos);
    EXPECT_NE(dump.find("bss_expiration_age=180\n"), std::string::npos);
    EXPECT_NE(dump.find("driver_param=null\n"), std::string::npos);
    EXPECT_NE(dump.find("ip_addr_go=192.168.1.1\n"), std::string::npos);
    EXPECT_EQ(wpa_config_dump_values(conf, buf, 100), -1);
    EXPECT_EQ(wpa_config_get_global("device_name", conf, buf, sizeof(buf)), 9);
    EXPECT_STREQ(buf, "appliance");
    EXPECT_EQ(wpa_config_get_global("uuid", conf, buf, sizeof(buf)), -1);
}

TEST_F(Config, BlobsReplaceByName) {
    for (int i = 0; i < 2; i++) {
        auto *b = static_cast<wpa_config_blob *>(calloc(1, sizeof(wpa_config_blob)));
        b->name = strdup("cert");
        b->data = static_cast<uint8_t *>(malloc(1));
        b->data[0] = static_cast<uint8_t>(i);
        b->len = 1;
        wpa_config_set_blob(conf, b);
    }
    const wpa_config_blob *b = wpa_config_get_blob(conf, "cert");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->data[0], 1);
    EXPECT_EQ(b->next, nullptr);
    EXPECT_EQ(wpa_config_remove_blob(conf, "cert"), 0);
    EXPECT_EQ(wpa_config_remove_blob(conf, "cert"), -1);
}

TEST(CipherText, WordsBothWays) {
    EXPECT_EQ(wpa_cipher_list_from_text(" CCMP\tTKIP "), WPA_CIPHER_CCMP | WPA_CIPHER_TKIP);
    EXPECT_EQ(wpa_cipher_list_from_text("CCMP BOGUS"), -1);
    char buf[64];
    EXPECT_EQ(wpa_cipher_list_to_text(buf, buf + sizeof(buf),
                                      WPA_CIPHER_TKIP | WPA_CIPHER_CCMP_256 | WPA_CIPHER_NONE, "+"),
              18);
    EXPECT_STREQ(buf, "CCMP-256+TKIP+NONE");
    EXPECT_EQ(wpa_cipher_list_to_text(buf, buf + 5, WPA_CIPHER_CCMP | WPA_CIPHER_TKIP, " "), -1);
}

} // namespace
