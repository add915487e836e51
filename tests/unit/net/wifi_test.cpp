// The Wi-Fi manager against a scripted supplicant behind the socket seam: the network
// block command for command, its stop at the first refused field, the events and the
// scan list, the BSS replies, the status values and the credential take-over.
#include "core/ticks.h"
#include "net/wifi.h"
#include "param_catalogue.h"
#include "wireless/core/wps_credential.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace {

// The supplicant's side of every control connection the manager opens.
struct FakeSupplicant {
    std::vector<std::string> paths;             // every connection opened, by path
    std::vector<std::string> sent;              // every command, in order
    std::string failField;                      // SET_NETWORK field answered "FAIL\n"
    std::map<std::string, std::string> replies; // command -> reply ("" drops it)
    std::vector<std::string> eventsBeforeReply; // delivered ahead of the next reply
    bool openFails = false;
    int closed = 0;
};

struct FakeConn {
    std::deque<std::string> inbox;
};

FakeSupplicant *fake = nullptr;

void *fakeOpen(const char *path) {
    fake->paths.push_back(path);
    return fake->openFails ? nullptr : new FakeConn;
}

void fakeClose(void *handle) {
    ++fake->closed;
    delete static_cast<FakeConn *>(handle);
}

std::string replyTo(const std::string &cmd) {
    auto it = fake->replies.find(cmd);
    if (it != fake->replies.end()) return it->second;
    if (cmd == "ADD_NETWORK") return "0\n";
    const std::string set = "SET_NETWORK 0 ";
    if (!fake->failField.empty() && cmd.rfind(set + fake->failField, 0) == 0) return "FAIL\n";
    return "OK\n";
}

int fakeSend(void *handle, const char *data, size_t length, int64_t) {
    auto *conn = static_cast<FakeConn *>(handle);
    std::string cmd(data, length);
    fake->sent.push_back(cmd);
    for (auto &event : fake->eventsBeforeReply)
        conn->inbox.push_back(event);
    fake->eventsBeforeReply.clear();
    std::string reply = replyTo(cmd);
    if (!reply.empty()) conn->inbox.push_back(reply);
    return 0;
}

int fakeRecv(void *handle, char *buffer, size_t size, int64_t) {
    auto *conn = static_cast<FakeConn *>(handle);
    if (conn->inbox.empty()) return -2;
    std::string d = std::move(conn->inbox.front());
    conn->inbox.pop_front();
    size_t n = d.size() < size ? d.size() : size;
    memcpy(buffer, d.data(), n);
    return static_cast<int>(n);
}

std::string textOf(StringParam *p) {
    return p->getText();
}

std::string textOf(Param *p) {
    if (auto *s = dynamic_cast<StringParam *>(p)) return s->getText();
    char text[320] = {};
    p->toText(text, sizeof text, false);
    return text;
}

std::vector<int> leds;
int associations = 0;
int restarts = 0;
bool wifiProduct = true;

class WifiTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake = &supplicant;
        savedIo = wlanIo();
        savedHooks = wlanHooks();
        wlanIo() = WlanIo{fakeOpen, fakeClose, fakeSend, fakeRecv};
        wlanHooks() = WlanHooks{[](int s) { leds.push_back(s); }, [] { ++associations; }, [] { ++restarts; },
                                [] { return wifiProduct; }};
        leds.clear();
        associations = restarts = 0;
        wifiProduct = true;
        for (Param *p : params()) {
            saved.emplace_back(p, textOf(p));
        }
        set({{p_wifi, "on"},
             {p_wifi_mode, "infra"},
             {p_wifi_name, "Home"},
             {p_wifi_encrypt, "---"},
             {p_wifi_psk, ""},
             {p_wifi_keyid, "0"},
             {p_wifi_wkey1, ""},
             {p_wifi_wkey2, ""},
             {p_wifi_wkey3, ""},
             {p_wifi_wkey4, ""},
             {p_wifi_roaming, "off"},
             {p_auth_typ, "---"},
             {p_auth_opt, "---"},
             {p_auth_inner, "---"},
             {p_auth_name, "user"},
             {p_auth_pwd, ""},
             {p_auth_ano_name, ""},
             {p_auth_wpa_addon, ""}});
        std::lock_guard lock(wlanListLock);
        wlanBssList.clear();
        wlanBssCount = 0;
        wlanLastScan = 0;
        wpsActive = false;
    }
    void TearDown() override {
        for (auto &[p, text] : saved)
            p->setText(text.c_str(), -1);
        wlanIo() = savedIo;
        wlanHooks() = savedHooks;
        std::lock_guard lock(wlanListLock);
        wlanBssList.clear();
        wlanBssCount = 0;
        fake = nullptr;
    }
    static std::vector<Param *> params() {
        return {p_wifi,       p_wifi_mode,  p_wifi_name,  p_wifi_encrypt, p_wifi_psk,      p_wifi_keyid,
                p_wifi_wkey1, p_wifi_wkey2, p_wifi_wkey3, p_wifi_wkey4,   p_wifi_roaming,  p_auth_typ,
                p_auth_opt,   p_auth_inner, p_auth_name,  p_auth_pwd,     p_auth_ano_name, p_auth_wpa_addon};
    }
    static void set(std::initializer_list<std::pair<Param *, const char *>> values) {
        for (auto &[p, text] : values)
            EXPECT_TRUE(p->setText(text, -1)) << p->name() << "=" << text;
    }
    std::vector<std::string> build(bool wireless = true, bool *ok = nullptr) {
        char id[16];
        bool result = wlan_configure_network(wireless, id);
        if (ok) *ok = result;
        return supplicant.sent;
    }

    FakeSupplicant supplicant;
    WlanIo savedIo;
    WlanHooks savedHooks;
    std::vector<std::pair<Param *, std::string>> saved;
};

using Commands = std::vector<std::string>;

Commands withHead(Commands fields, Commands tail) {
    Commands out{"ADD_NETWORK"};
    for (auto &f : fields)
        out.push_back("SET_NETWORK 0 " + f);
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

const Commands WifiTail{"ENABLE_NETWORK 0", "AP_SCAN 1"};

TEST_F(WifiTest, InfraEncryptionsGiveTheirExactFields) {
    struct Row {
        const char *encrypt;
        Commands fields;
    };
    const Commands head{"priority 10"};
    const Row rows[] = {
        {"---", {"key_mgmt NONE", "ssid \"Home\"", "scan_ssid 1", "mode 0"}},
        {"AES2",
         {"key_mgmt WPA-PSK", "ssid \"Home\"", "scan_ssid 1", "mode 0", "group CCMP", "pairwise CCMP",
          "proto RSN", "psk \"secret phrase\""}},
        {"AES",
         {"key_mgmt WPA-PSK", "ssid \"Home\"", "scan_ssid 1", "mode 0", "group CCMP", "pairwise CCMP",
          "proto WPA", "psk \"secret phrase\""}},
        {"TKIP",
         {"key_mgmt WPA-PSK", "ssid \"Home\"", "scan_ssid 1", "mode 0", "group TKIP", "pairwise TKIP",
          "proto WPA", "psk \"secret phrase\""}},
        {"TKIP2",
         {"key_mgmt WPA-PSK", "ssid \"Home\"", "scan_ssid 1", "mode 0", "group TKIP", "pairwise TKIP",
          "proto RSN", "psk \"secret phrase\""}},
        {"AESTKIP",
         {"key_mgmt WPA-PSK", "ssid \"Home\"", "scan_ssid 1", "mode 0", "group CCMP TKIP",
          "pairwise CCMP TKIP", "proto WPA", "psk \"secret phrase\""}},
        {"AESTKIP2",
         {"key_mgmt WPA-PSK", "ssid \"Home\"", "scan_ssid 1", "mode 0", "group CCMP TKIP",
          "pairwise CCMP TKIP", "proto RSN", "psk \"secret phrase\""}},
        {"Auto",
         {"key_mgmt WPA-PSK", "ssid \"Home\"", "scan_ssid 1", "mode 0", "group CCMP TKIP",
          "pairwise CCMP TKIP", "proto RSN WPA", "psk \"secret phrase\""}},
        {"WepOpen",
         {"key_mgmt NONE", "ssid \"Home\"", "scan_ssid 1", "mode 0", "wep_key0 0123456789", "wep_tx_keyidx 0",
          "priority 5", "group WEP104 WEP40"}},
        {"WepShared",
         {"key_mgmt NONE", "ssid \"Home\"", "scan_ssid 1", "mode 0", "wep_key0 0123456789", "wep_tx_keyidx 0",
          "priority 5", "auth_alg SHARED", "auth_alg SHARED"}},
    };
    for (const Row &row : rows) {
        supplicant.sent.clear();
        set({{p_wifi_encrypt, row.encrypt}, {p_wifi_psk, "secret phrase"}, {p_wifi_wkey1, "0123456789"}});
        Commands fields = head;
        fields.insert(fields.end(), row.fields.begin(), row.fields.end());
        bool ok = false;
        EXPECT_EQ(build(true, &ok), withHead(fields, WifiTail)) << row.encrypt;
        EXPECT_TRUE(ok) << row.encrypt;
    }
    EXPECT_EQ(supplicant.paths.back(), "/var/wifi/wlan0");
    EXPECT_EQ(supplicant.closed, static_cast<int>(supplicant.paths.size()));
}

TEST_F(WifiTest, WepKeysAndPreSharedKeyForms) {
    struct Row {
        const char *encrypt, *keyid, *key1, *key2, *key3, *key4, *psk;
        Commands expected; // the fields after "mode 0"
    };
    const std::string psk64(64, 'a'), psk63(63, 'a');
    const Row rows[] = {
        // Keys 1 and 3 set: key numbers count from 0; the transmit key is the number - 1.
        {"WepShared",
         "3",
         "0123456789",
         "",
         "0123456789abcdef0123456789",
         "",
         "",
         {"wep_key0 0123456789", "wep_key2 0123456789abcdef0123456789", "wep_tx_keyidx 2", "priority 5",
          "auth_alg SHARED", "auth_alg SHARED"}},
        // Texts of other lengths go quoted.
        {"WepOpen",
         "4",
         "",
         "abcde",
         "",
         "a b c d e f g",
         "",
         {"wep_key1 \"abcde\"", "wep_key3 \"a b c d e f g\"", "wep_tx_keyidx 3", "priority 5",
          "group WEP104 WEP40"}},
        // The key number's default 0 sends index 0, never -1.
        {"WepOpen", "0", "", "", "", "", "", {"wep_tx_keyidx 0", "priority 5", "group WEP104 WEP40"}},
        {"AES2",
         "0",
         "",
         "",
         "",
         "",
         psk64.c_str(),
         {"group CCMP", "pairwise CCMP", "proto RSN", "psk " + psk64}},
        {"AES2",
         "0",
         "",
         "",
         "",
         "",
         psk63.c_str(),
         {"group CCMP", "pairwise CCMP", "proto RSN", "psk \"" + psk63 + "\""}},
        // Without a key no psk field goes out.
        {"AES2", "0", "", "", "", "", "", {"group CCMP", "pairwise CCMP", "proto RSN"}},
    };
    for (const Row &row : rows) {
        supplicant.sent.clear();
        set({{p_wifi_encrypt, row.encrypt},
             {p_wifi_keyid, row.keyid},
             {p_wifi_wkey1, row.key1},
             {p_wifi_wkey2, row.key2},
             {p_wifi_wkey3, row.key3},
             {p_wifi_wkey4, row.key4},
             {p_wifi_psk, row.psk}});
        Commands sent = build();
        auto mode = std::find(sent.begin(), sent.end(), "SET_NETWORK 0 mode 0");
        ASSERT_NE(mode, sent.end());
        ASSERT_GE(sent.end() - mode, 3);
        Commands expected;
        for (const auto &field : row.expected)
            expected.push_back("SET_NETWORK 0 " + field);
        EXPECT_EQ(Commands(mode + 1, sent.end() - 2), expected) << row.encrypt << " keyid " << row.keyid;
    }
}

TEST_F(WifiTest, SoftApSetsUpTheAccessPointInsteadOfMode) {
    set({{p_wifi_mode, "softap"}, {p_wifi_encrypt, "AES2"}, {p_wifi_psk, "secret phrase"}});
    Commands sent = build();
    Commands expected{"ADD_NETWORK", "SET_NETWORK 0 priority 10", "SET_NETWORK 0 key_mgmt WPA-PSK",
                      "SET_NETWORK 0 ssid \"Home\"", "SET_NETWORK 0 scan_ssid 1"};
    ASSERT_GE(sent.size(), expected.size() + 4);
    EXPECT_EQ(Commands(sent.begin(), sent.begin() + expected.size()), expected);
    EXPECT_EQ(sent[expected.size()].rfind("SET device_name ", 0), 0u);
    EXPECT_EQ(sent[expected.size() + 1], "SET device_type 1-0050F204-1");
    EXPECT_EQ(sent[expected.size() + 2], "P2P_GROUP_ADD");
    EXPECT_EQ(sent[expected.size() + 3], "SCAN");
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "SET_NETWORK 0 mode 0"), 0);
    EXPECT_EQ(leds, (std::vector<int>{0, 5}));
}

TEST_F(WifiTest, SoftApReplyFailuresDoNotStopTheBuild) {
    set({{p_wifi_mode, "softap"}});
    supplicant.replies["P2P_GROUP_ADD"] = "FAIL\n";
    supplicant.replies["SCAN"] = "FAIL-BUSY\n";
    bool ok = false;
    Commands sent = build(true, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(sent.back(), "AP_SCAN 1");
}

TEST_F(WifiTest, EapMethodsGiveTheirExactFields) {
    struct Row {
        const char *eap, *method2, *phase1, *encrypt, *wifi;
        bool product;
        Commands fields; // after "priority 10"
        const char *apScan;
    };
    const Row rows[] = {
        // Wired 802.1X on a product without Wi-Fi.
        {"PEAP",
         "MSCHAP2",
         "PVER0",
         "---",
         "off",
         false,
         {"key_mgmt IEEE8021X", "eap PEAP", "identity \"user\"", "password \"pw\"",
          "ca_path \"/etc/certs/802.1x\"", "phase1 \"peapver=0\"", "phase2 \"auth=MSCHAPV2\""},
         "AP_SCAN 0"},
        // Wired 802.1X on a Wi-Fi product: no key_mgmt.
        {"TTLS",
         "PAP",
         "---",
         "---",
         "off",
         true,
         {"eap TTLS", "identity \"user\"", "password \"pw\"", "ca_path \"/etc/certs/802.1x\"",
          "phase2 \"auth=PAP\""},
         "AP_SCAN 1"},
        {"MD5",
         "---",
         "---",
         "---",
         "off",
         true,
         {"eap MD5 LEAP", "identity \"user\"", "password \"pw\""},
         "AP_SCAN 1"},
        {"MD5",
         "---",
         "---",
         "---",
         "off",
         false,
         {"key_mgmt IEEE8021X", "eap MD5", "identity \"user\"", "password \"pw\""},
         "AP_SCAN 0"},
        {"FAST",
         "CHAP",
         "FPROV1",
         "---",
         "off",
         false,
         {"key_mgmt IEEE8021X", "eap FAST", "pac_file \"/var/cert_pac\"", "identity \"user\"",
          "password \"pw\"", "phase1 \"fast_provisioning=2\"", "phase2 \"autheap=MSCHAP\""},
         "AP_SCAN 0"},
        // FAST and PEAP read their inner EAP method from "auth=", TTLS from "autheap=".
        {"FAST",
         "EMD5",
         "FPROV1",
         "---",
         "off",
         false,
         {"key_mgmt IEEE8021X", "eap FAST", "pac_file \"/var/cert_pac\"", "identity \"user\"",
          "password \"pw\"", "phase1 \"fast_provisioning=2\"", "phase2 \"auth=MD5\""},
         "AP_SCAN 0"},
        {"FAST",
         "MSCHAP2",
         "---",
         "---",
         "off",
         false,
         {"key_mgmt IEEE8021X", "eap FAST", "pac_file \"/var/cert_pac\"", "identity \"user\"",
          "password \"pw\"", "phase2 \"auth=MSCHAPV2\""},
         "AP_SCAN 0"},
        {"PEAP",
         "ETLS",
         "---",
         "---",
         "off",
         false,
         {"key_mgmt IEEE8021X", "eap PEAP", "identity \"user\"", "password \"pw\"",
          "ca_path \"/etc/certs/802.1x\"", "ca_path2 \"/etc/certs/802.1x\"", "phase2 \"auth=TLS\""},
         "AP_SCAN 0"},
        {"TTLS",
         "EMD5",
         "---",
         "---",
         "off",
         false,
         {"key_mgmt IEEE8021X", "eap TTLS", "identity \"user\"", "password \"pw\"",
          "ca_path \"/etc/certs/802.1x\"", "phase2 \"autheap=MD5\""},
         "AP_SCAN 0"},
        // TTLS carries CHAP itself.
        {"TTLS",
         "CHAP",
         "---",
         "---",
         "off",
         false,
         {"key_mgmt IEEE8021X", "eap TTLS", "identity \"user\"", "password \"pw\"",
          "ca_path \"/etc/certs/802.1x\"", "phase2 \"auth=CHAP\""},
         "AP_SCAN 0"},
        // Without certificate files TLS takes "auth_name" and names only the directory.
        {"TLS",
         "ETLS",
         "PLABEL1",
         "---",
         "off",
         false,
         {"key_mgmt IEEE8021X", "eap TLS", "identity \"user\"", "password \"pw\"",
          "ca_path \"/etc/certs/802.1x\"", "ca_path2 \"/etc/certs/802.1x\"", "phase1 \"peaplabel=1\"",
          "phase2 \"autheap=TLS\""},
         "AP_SCAN 0"},
        // EAP over Wi-Fi: WPA family takes WPA-EAP; WEP and open take IEEE8021X.
        {"PEAP",
         "EMD5",
         "PLABEL0",
         "AES2",
         "on",
         true,
         {"key_mgmt WPA-EAP", "ssid \"Home\"", "scan_ssid 1", "mode 0", "group CCMP", "pairwise CCMP",
          "proto RSN", "eap PEAP", "identity \"user\"", "password \"pw\"", "ca_path \"/etc/certs/802.1x\"",
          "phase1 \"peaplabel=0\"", "phase2 \"auth=MD5\""},
         "AP_SCAN 1"},
        {"TTLS",
         "---",
         "PVER1",
         "WepOpen",
         "on",
         true,
         {"key_mgmt IEEE8021X", "eapol_flags 3", "ssid \"Home\"", "scan_ssid 1", "mode 0", "wep_tx_keyidx 0",
          "priority 5", "group WEP104 WEP40", "eap TTLS", "identity \"user\"", "password \"pw\"",
          "ca_path \"/etc/certs/802.1x\"", "phase1 \"peapver=1\""},
         "AP_SCAN 1"},
        {"TTLS",
         "---",
         "---",
         "---",
         "on",
         true,
         {"key_mgmt IEEE8021X", "eapol_flags 0", "ssid \"Home\"", "scan_ssid 1", "mode 0", "eap TTLS",
          "identity \"user\"", "password \"pw\"", "ca_path \"/etc/certs/802.1x\""},
         "AP_SCAN 1"},
    };
    for (const Row &row : rows) {
        supplicant.sent.clear();
        wifiProduct = row.product;
        set({{p_auth_typ, row.eap},
             {p_auth_inner, row.method2},
             {p_auth_opt, row.phase1},
             {p_wifi_encrypt, row.encrypt},
             {p_wifi, row.wifi},
             {p_auth_pwd, "pw"}});
        Commands fields{"priority 10"};
        fields.insert(fields.end(), row.fields.begin(), row.fields.end());
        EXPECT_EQ(build(row.product), withHead(fields, {"ENABLE_NETWORK 0", row.apScan}))
            << row.eap << "/" << row.encrypt;
    }
}

TEST_F(WifiTest, EveryEncryptionWithEveryEapMethodPicksKeyManagementAndEnables) {
    const char *encrypts[] = {"---",   "WepOpen", "WepShared", "TKIP",     "AES",
                              "TKIP2", "AES2",    "AESTKIP",   "AESTKIP2", "Auto"};
    const char *eaps[] = {"---", "MD5", "TLS", "TTLS", "PEAP", "FAST"};
    for (const char *encrypt : encrypts) {
        for (const char *eap : eaps) {
            supplicant.sent.clear();
            set({{p_wifi_encrypt, encrypt}, {p_auth_typ, eap}});
            bool ok = false;
            Commands sent = build(true, &ok);
            ASSERT_TRUE(ok);
            const bool wpa = strcmp(encrypt, "---") != 0 && strncmp(encrypt, "Wep", 3) != 0;
            const bool noEap = strcmp(eap, "---") == 0;
            std::string keyMgmt = noEap ? (wpa ? "WPA-PSK" : "NONE") : (wpa ? "WPA-EAP" : "IEEE8021X");
            ASSERT_GE(sent.size(), 3u);
            EXPECT_EQ(sent[2], "SET_NETWORK 0 key_mgmt " + keyMgmt) << encrypt << "/" << eap;
            const bool eapField = std::any_of(sent.begin(), sent.end(), [](const std::string &c) {
                return c.rfind("SET_NETWORK 0 eap ", 0) == 0;
            });
            EXPECT_EQ(eapField, !noEap) << encrypt << "/" << eap;
            EXPECT_EQ(Commands(sent.end() - 2, sent.end()), WifiTail) << encrypt << "/" << eap;
        }
    }
}

TEST_F(WifiTest, ClosingFieldsRoamingAddonAndAnonymousIdentity) {
    set({{p_auth_ano_name, "anon"}, {p_auth_wpa_addon, "eap_workaround 0"}, {p_wifi_roaming, "on"}});
    Commands sent = build();
    Commands tail(sent.end() - 5, sent.end());
    EXPECT_EQ(tail,
              (Commands{"SET_NETWORK 0 anonymous_identity \"anon\"", "SET_NETWORK 0 eap_workaround 0",
                        "SET_NETWORK 0 bgscan \"simple:30:-65:300\"", "ENABLE_NETWORK 0", "AP_SCAN 1"}));
}

TEST_F(WifiTest, TheBuildStopsAtTheFirstRefusedField) {
    set({{p_wifi_encrypt, "WepShared"},
         {p_wifi_wkey2, "abcde"},
         {p_auth_typ, "PEAP"},
         {p_auth_pwd, "pw"},
         {p_auth_ano_name, "anon"},
         {p_wifi_roaming, "on"}});
    Commands full = build();
    ASSERT_EQ(Commands(full.end() - 2, full.end()), WifiTail);
    // Refusing each field in turn: exactly the commands up to it went out, no more.
    for (size_t i = 1; i < full.size() - 2; ++i) {
        const std::string &cmd = full[i];
        ASSERT_EQ(cmd.rfind("SET_NETWORK 0 ", 0), 0u) << cmd;
        std::string field = cmd.substr(14);
        // A field text that occurs earlier would be refused there first.
        if (std::find_if(full.begin() + 1, full.begin() + i, [&](const std::string &c) {
                return c.rfind("SET_NETWORK 0 " + field, 0) == 0;
            }) != full.begin() + i)
            continue;
        supplicant.sent.clear();
        supplicant.failField = field;
        bool ok = true;
        EXPECT_EQ(build(true, &ok), Commands(full.begin(), full.begin() + i + 1)) << field;
        EXPECT_FALSE(ok);
    }
}

TEST_F(WifiTest, AFieldOverTheCommandLimitCountsAsRefusedAndIsNotSent) {
    std::string addon(250, 'x');
    set({{p_auth_wpa_addon, addon.c_str()}, {p_wifi_roaming, "on"}});
    bool ok = true;
    Commands sent = build(true, &ok);
    EXPECT_FALSE(ok);
    for (const auto &c : sent)
        EXPECT_LE(c.size(), WlanMaxCommand);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "ENABLE_NETWORK 0"), 0);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "SET_NETWORK 0 bgscan \"simple:30:-65:300\""), 0);
}

TEST_F(WifiTest, AddNetworkFailuresEndTheBuild) {
    for (const char *reply : {"FAIL\n", "0", ""}) {
        supplicant.sent.clear();
        supplicant.replies["ADD_NETWORK"] = reply;
        bool ok = true;
        EXPECT_EQ(build(true, &ok), Commands{"ADD_NETWORK"}) << reply;
        EXPECT_FALSE(ok);
    }
    supplicant.replies["ADD_NETWORK"] = "12\n";
    supplicant.sent.clear();
    Commands sent = build();
    EXPECT_EQ(sent[1], "SET_NETWORK 12 priority 10");
    EXPECT_EQ(sent[sent.size() - 2], "ENABLE_NETWORK 12");
}

TEST_F(WifiTest, EventLinesWhileWaitingAreNoReplyAndAreKept) {
    auto conn = wlan_open("wlan0");
    ASSERT_TRUE(conn);
    supplicant.eventsBeforeReply = {"<3>CTRL-EVENT-SCAN-RESULTS ", "<3>CTRL-EVENT-CONNECTED - x"};
    EXPECT_EQ(wlan_command(*conn, "SET_NETWORK 0 priority 10"), 0);
    EXPECT_EQ(conn->events,
              (std::deque<std::string>{"<3>CTRL-EVENT-SCAN-RESULTS ", "<3>CTRL-EVENT-CONNECTED - x"}));
    // Only exactly "OK\n" is success.
    for (const char *reply : {"FAIL\n", "OK", "OK\n\n", "ok\n"}) {
        supplicant.replies["X"] = reply;
        EXPECT_EQ(wlan_command(*conn, "X"), -1) << reply;
    }
    supplicant.replies["X"] = "";
    char buffer[32];
    EXPECT_EQ(wlan_request(*conn, "X", 1, buffer, sizeof buffer), -2);
}

TEST_F(WifiTest, ScanIsSentOnceWhilePendingAndARefusedScanBlocksNoLaterOne) {
    wlanLastScan = 1234;
    supplicant.replies["SCAN"] = "FAIL-BUSY\n";
    EXPECT_EQ(wlan_scan(), 1);
    EXPECT_EQ(wlanLastScan.load(), 1234);
    supplicant.replies.erase("SCAN");
    EXPECT_EQ(wlan_scan(), 1);
    EXPECT_EQ(wlanLastScan.load(), -1);
    EXPECT_EQ(wlan_scan(), 1);
    EXPECT_EQ(std::count(supplicant.sent.begin(), supplicant.sent.end(), "SCAN"), 2);
    wlan_dispatch_event("<3>CTRL-EVENT-SCAN-RESULTS ", 27);
    EXPECT_GE(wlanLastScan.load(), 0);
    supplicant.openFails = true;
    wlanLastScan = 5;
    EXPECT_EQ(wlan_scan(), 0);
    EXPECT_EQ(wlanLastScan.load(), 5);
}

TEST_F(WifiTest, BssEventsQueryOnAFreshConnectionAddAndRemove) {
    supplicant.replies["BSS 00:11:22:33:44:55"] =
        "id=5\nbssid=00:11:22:33:44:55\nfreq=2437\nlevel=-40\nnoise=-90\nflags=[WPA2-PSK-CCMP]\nssid=Cafe\n";
    const std::string added = "<3>CTRL-EVENT-BSS-ADDED 5 00:11:22:33:44:55";
    wlan_dispatch_event(added.data(), added.size());
    EXPECT_EQ(supplicant.paths, (std::vector<std::string>{"/var/wifi/wlan0"}));
    EXPECT_EQ(supplicant.sent, (Commands{"BSS 00:11:22:33:44:55"}));
    ASSERT_EQ(wlanBssCount.load(), 1);
    EXPECT_EQ(wlanBssList[0].ssid, "Cafe");
    EXPECT_EQ(wlanBssList[0].channel, 6);

    int level = 0, noise = 0;
    const char *status = "bssid=00:11:22:33:44:55\nfreq=2437\nssid=Cafe\n";
    EXPECT_TRUE(wlan_get_level(status, &level, &noise));
    EXPECT_EQ(level, -40);
    EXPECT_EQ(noise, -90);

    // The rest after the prefix must have 20 bytes: one short asks nothing.
    const std::string shortLine = "<3>CTRL-EVENT-BSS-ADDED 5 00:11:22:33:44:5";
    wlan_dispatch_event(shortLine.data(), shortLine.size());
    EXPECT_EQ(supplicant.sent.size(), 1u);
    // A reply without a BSSID (an unknown one) adds nothing.
    const std::string unknown = "<3>CTRL-EVENT-BSS-ADDED 6 66:11:22:33:44:55";
    wlan_dispatch_event(unknown.data(), unknown.size());
    EXPECT_EQ(wlanBssCount.load(), 1);

    const std::string removed = "<3>CTRL-EVENT-BSS-REMOVED 5 00:11:22:33:44:55";
    wlan_dispatch_event(removed.data(), removed.size());
    EXPECT_EQ(wlanBssCount.load(), 0);
    EXPECT_FALSE(wlan_get_level(status, &level, &noise));
}

TEST_F(WifiTest, EventsSetTheLedAndEndWpsRuns) {
    struct Row {
        const char *event, *mode;
        bool wpsBefore;
        int led;
        bool wpsAfter;
    };
    const Row rows[] = {
        {"<3>CTRL-EVENT-CONNECTED - Connection to x", "infra", false, 3, false},
        {"<3>CTRL-EVENT-CONNECTED - Connection to x", "softap", false, 1, false},
        {"<3>CTRL-EVENT-CONNECTED - Connection to x", "softap", true, 3, false},
        {"<3>WPS-TIMEOUT ", "infra", true, 0, false},
        {"<3>WPS-FAIL ", "softap", true, 5, false},
        {"<3>CTRL-EVENT-DISCONNECTED bssid=x", "infra", false, 0, false},
        {"<3>CTRL-EVENT-DISCONNECTED bssid=x", "infra", true, -1, true},
        {"<3>AP-STA-CONNECTED 00:11:22:33:44:55", "softap", false, 6, false},
        {"<3>P2P-GROUP-STARTED wlan0 GO", "softap", false, 5, false},
        {"<3>CTRL-EVENT-EAP-STARTED x", "infra", true, -1, true},
        {"CTRL-EVENT-CONNECTED", "infra", false, -1, false},
    };
    for (const Row &row : rows) {
        leds.clear();
        set({{p_wifi_mode, row.mode}});
        wpsActive = row.wpsBefore;
        wlan_dispatch_event(row.event, strlen(row.event));
        EXPECT_EQ(leds, row.led < 0 ? std::vector<int>{} : std::vector<int>{row.led}) << row.event;
        EXPECT_EQ(wpsActive.load(), row.wpsAfter) << row.event;
    }
    EXPECT_EQ(associations, 3);
    // In soft-AP mode the end of a WPS run sets the access point up again.
    EXPECT_EQ(supplicant.sent, Commands{"P2P_GROUP_ADD"});
}

TEST_F(WifiTest, BssRepliesParse) {
    WlanBss bss;
    // The SSID element at the start of "ie" stands in for a missing "ssid" line.
    std::string reply =
        "bssid=00:11:22:33:44:55\nfreq=5180\ncapabilities=0x0431\nie=000443616665010482848b96\n";
    ASSERT_TRUE(wlan_parse_bss(reply.data(), reply.size(), bss));
    EXPECT_EQ(bss.ssid, "Cafe");
    EXPECT_EQ(bss.capabilities, 0x431);
    EXPECT_EQ(bss.channel, 36);
    EXPECT_EQ(bss.ieLength, 14);
    ASSERT_EQ(bss.ie.size(), 14u);
    EXPECT_EQ(bss.ie[12], 0);
    EXPECT_EQ(bss.ie[13], 0);
    // An odd "ie" is ignored; "ssid=" is never read out of "bssid=".
    reply = "bssid=00:11:22:33:44:55\nie=0004436\n";
    ASSERT_TRUE(wlan_parse_bss(reply.data(), reply.size(), bss));
    EXPECT_EQ(bss.ssid, "");
    EXPECT_EQ(bss.ieLength, 2);
    // An SSID element longer than the bytes decoded reads only what is there.
    reply = "bssid=a\nie=0020414243\n";
    ASSERT_TRUE(wlan_parse_bss(reply.data(), reply.size(), bss));
    EXPECT_EQ(bss.ssid, "ABC");
    // Only the first BSSID counts; an empty or missing one adds nothing.
    reply = "bssid=first\nbssid=second\n";
    ASSERT_TRUE(wlan_parse_bss(reply.data(), reply.size(), bss));
    EXPECT_EQ(bss.bssid, "first");
    for (const char *none : {"", "bssid=\n", "ssid=x\nfreq=2412\n", "garbage without equals"})
        EXPECT_FALSE(wlan_parse_bss(none, strlen(none), bss)) << none;
}

TEST_F(WifiTest, ChannelsOfFrequencies) {
    const std::pair<int, int> rows[] = {
        {2412, 1},   {2472, 13},  {2484, 14},  {2417, 2},   {2413, 0},   {4915, 183}, {4980, 196}, {4930, 0},
        {5035, 7},   {5080, 16},  {5160, 32},  {5170, 34},  {5180, 36},  {5320, 64},  {5340, 68},  {5330, 0},
        {5480, 96},  {5500, 100}, {5640, 128}, {5650, 0},   {5660, 132}, {5720, 144}, {5745, 149}, {5750, 0},
        {5805, 161}, {5815, 0},   {5825, 165}, {5865, 173}, {0, 0},      {-5, 0}};
    for (auto [freq, channel] : rows)
        EXPECT_EQ(wlan_channel_of_freq(freq), channel) << freq;
}

TEST_F(WifiTest, StatusValuesAreCopiedWithinTheOutput) {
    const std::string status = "bssid=00:11:22:33:44:55\nfreq=2462\nssid=Office Net\nwpa_state=COMPLETED\n"
                               "p2p_device_address=02:00:00:00:00:01\nuuid=abc";
    char out[64];
    EXPECT_EQ(wlan_get_ssid(status.data(), status.size(), out, sizeof out), 10);
    EXPECT_STREQ(out, "Office Net");
    EXPECT_EQ(wlan_get_state(status.data(), status.size(), out, sizeof out), 9);
    EXPECT_EQ(wlan_get_uuid(status.data(), status.size(), out, sizeof out), 3);
    EXPECT_STREQ(out, "abc");
    char small[5];
    EXPECT_EQ(wlan_get_p2p_address(status.data(), status.size(), small, sizeof small), 4);
    EXPECT_STREQ(small, "02:0");
    EXPECT_EQ(wlan_status_value("missing=", status.data(), status.size(), out, sizeof out), 0);
    int freq = 0, channel = 0;
    EXPECT_TRUE(wlan_get_freq(status.c_str(), &freq, &channel));
    EXPECT_EQ(freq, 2462);
    EXPECT_EQ(channel, 11);
    int level = 1, noise = 1;
    EXPECT_FALSE(wlan_get_level("ssid=x\n", &level, &noise));
    EXPECT_EQ(level, 0);
    EXPECT_EQ(noise, 0);
}

wps_credential_record credential(const char *ssid, uint16_t auth, uint16_t encr, const char *key,
                                 uint8_t idx) {
    wps_credential_record r{};
    r.ssid_len = static_cast<uint32_t>(strlen(ssid));
    memcpy(r.ssid, ssid, r.ssid_len);
    r.auth_type = auth;
    r.encr_type = encr;
    r.key_len = static_cast<uint32_t>(strlen(key));
    memcpy(r.key, key, r.key_len);
    r.key_idx = idx;
    return r;
}

TEST_F(WifiTest, CredentialRecordsBecomeParameters) {
    set({{p_wifi_mode, "softap"}});
    ASSERT_TRUE(wlan_take_credential(credential("Home2", 0x20, 0x08, "passphrase1", 0)));
    EXPECT_EQ(textOf(p_wifi_mode), "infra");
    EXPECT_EQ(textOf(p_wifi_name), "Home2");
    EXPECT_EQ(textOf(p_wifi_encrypt), "AESTKIP2");
    EXPECT_EQ(textOf(p_wifi_psk), "passphrase1");

    ASSERT_TRUE(wlan_take_credential(credential("Old", 0x02, 0x04, "wpapassphrase", 0)));
    EXPECT_EQ(textOf(p_wifi_encrypt), "AESTKIP");

    // WEP: the record's index 1-4 (0 means 1) picks the key number and its key alike.
    ASSERT_TRUE(wlan_take_credential(credential("Wep", 0x04, 0x02, "0123456789", 3)));
    EXPECT_EQ(textOf(p_wifi_encrypt), "WepShared");
    EXPECT_EQ(textOf(p_wifi_keyid), "3");
    EXPECT_EQ(textOf(p_wifi_wkey3), "0123456789");
    ASSERT_TRUE(wlan_take_credential(credential("Wep", 0x01, 0x02, "abcde", 0)));
    EXPECT_EQ(textOf(p_wifi_encrypt), "WepOpen");
    EXPECT_EQ(textOf(p_wifi_keyid), "1");
    EXPECT_EQ(textOf(p_wifi_wkey1), "abcde");

    ASSERT_TRUE(wlan_take_credential(credential("Open", 0x01, 0x01, "", 0)));
    EXPECT_EQ(textOf(p_wifi_encrypt), "---");
}

TEST_F(WifiTest, ABadCredentialTakesNothingOver) {
    set({{p_wifi_name, "Keep"}, {p_wifi_mode, "softap"}});
    auto longSsid = credential("x", 0x20, 0x08, "passphrase1", 0);
    longSsid.ssid_len = 33;
    auto longKey = credential("x", 0x20, 0x08, "passphrase1", 0);
    longKey.key_len = 65;
    auto badIndex = credential("x", 0x01, 0x02, "abcde", 5);
    auto refusedKey = credential("x", 0x01, 0x02, "this WEP key is far too long for it", 1);
    for (const auto &record : {longSsid, longKey, badIndex, refusedKey}) {
        EXPECT_FALSE(wlan_take_credential(record));
        EXPECT_EQ(textOf(p_wifi_name), "Keep");
        EXPECT_EQ(textOf(p_wifi_mode), "softap");
    }
}

TEST_F(WifiTest, WpsPinCarriesItsChecksumDigit) {
    // 0x12d687 is 1234567, whose PIN is the well-known 12345670.
    const uint8_t mac[6] = {0, 0, 0, 0x12, 0xd6, 0x87};
    EXPECT_EQ(wps_pin_from_mac(mac), 12345670u);
    const uint8_t other[6] = {0, 0, 0, 0x12, 0x34, 0x56}; // 1193046: weights 3,1,3,... give 4
    EXPECT_EQ(wps_pin_from_mac(other), 11930464u);
    const uint8_t max[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    EXPECT_EQ(wps_pin_from_mac(max) / 10, 16777215u % 10000000u);
}

} // namespace

namespace {

void appendTo(void *context, const char *bytes, size_t length) {
    static_cast<std::string *>(context)->append(bytes, length);
}

TEST_F(WifiTest, StatusPageEscapesAndDecodesTheElements) {
    WlanBss bss;
    // An SSID element with markup and a control byte, then an RSN element: version 1,
    // group CCMP, one pairwise CCMP suite, one PSK suite, capabilities 0x0c.
    const std::string reply = "id=7\nbssid=00:11:22:33:44:55\nfreq=2412\ncapabilities=0x0431\nlevel=-40\n"
                              "noise=-95\nflags=[WPA2-PSK-CCMP]<x>\nie=00053c610162263014010000"
                              "0fac040100000fac040100000fac020c00\n";
    ASSERT_TRUE(wlan_parse_bss(reply.data(), reply.size(), bss));
    {
        std::lock_guard lock(wlanListLock);
        wlanBssList.push_back(bss);
        wlanBssCount = 1;
    }
    wlanLastScan = sysTicks();
    std::string page;
    WlanPageSink sink{&page, appendTo};
    WlanPageHooks hooks;
    hooks.driver = [](std::string &name) {
        name = "drv<1>";
        return true;
    };
    wifi_info_page(sink, "wpa_state=COMPLETED\nssid=<b>&\n", hooks);
    const std::string expected =
        "<TABLE BORDER=\"0\" WIDTH=\"100%\" CELLPADDING=\"2\">\n"
        "<tbody valign=\"top\" align=\"left\">\n"
        "<tr><tr><th colspan=\"2\">----- Hardware -----</th></tr>\n"
        "<tr><th width=\"18%\"> Manufacturer:</th><td>drv&lt;1&gt;</td></tr>\n"
        "<tr><tr><th colspan=\"2\">----- STATUS -----<th>\n"
        "<tr><td colspan=\"2\"><pre>wpa_state=COMPLETED\nssid=&lt;b&gt;&amp;\n</pre></td></tr>\n"
        "<tr><th colspan=\"2\">----- Site Survey scan done before 0s, cnt:1 -----</th></tr><TR></tr>"
        "<tr><th colspan=\"2\">-- No.: 1 Id.:  7 --------------</th><tr><td colspan=\"2\">"
        "<pre style=\"font-size:80%;\">\n"
        "BSSID/SSID:  00:11:22:33:44:55/&lt;a.b&amp;\n"
        "Chan/Freq:   1/2412\n"
        "Capabilities:0x431\n"
        "Level/Noise: -40/-95\n"
        "Flags:       [WPA2-PSK-CCMP]&lt;x&gt;\n"
        "IE:[00|  5] &lt;a.b&amp;   (Service Set Identity (SSID))\n"
        "IE:[30| 20] 01 00 00 0F AC 04 01 00 00 0F AC 04 01 00 00 0F AC 02 0C 00 "
        "   ((802.11i)Robust Security Network)\n"
        "            RSN Ver.1.0 GrpCiphers:4(CCMP) PairCiphers:1: 4(CCMP) AuthSuits:1: 2 (Pre-shared key )\n"
        "            Capabilities:0c(PreAuth:0 NoPair:0 PTKCnt:3 GTKtCnt:0)\n"
        "            \n"
        "            </PRE></td></tr>\n"
        "</tbody></TABLE>\n";
    EXPECT_EQ(page, expected);
}

TEST_F(WifiTest, StatusPageWhileScanningShowsOnlyTheWaitingLine) {
    std::string page;
    WlanPageSink sink{&page, appendTo};
    wifi_info_page(sink, "wpa_state=SCANNING\n", WlanPageHooks{});
    EXPECT_NE(page.find("<H2> waitint to finish the wifi scan... (started "), std::string::npos);
    EXPECT_EQ(page.find("Hardware"), std::string::npos);
}

TEST_F(WifiTest, StatusPageReadsOnlyWithinTruncatedElements) {
    WlanBss bss;
    // An RSN element that claims more than there is, and one cut after its group suite.
    const std::string reply = "bssid=a\nie=30ff0100000fac\n";
    ASSERT_TRUE(wlan_parse_bss(reply.data(), reply.size(), bss));
    {
        std::lock_guard lock(wlanListLock);
        wlanBssList.push_back(bss);
    }
    std::string page;
    WlanPageSink sink{&page, appendTo};
    wifi_info_page(sink, "", WlanPageHooks{});
    EXPECT_NE(page.find("IE:[30|255] 01 00 00 0F AC    ((802.11i)Robust Security Network)\n            \n"),
              std::string::npos)
        << page;
}

} // namespace
