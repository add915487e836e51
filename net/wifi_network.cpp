// The Wi-Fi manager's network block (one "SET_NETWORK" field at a time, stopping at the
// first refused field), the "WiFi" and "WpaWps" tasks and the take-over of a
// credential received by WPS.
#include "core/gpio.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/sysroot.h"
#include "net/netif.h"
#include "net/supplicant_task.h"
#include "net/wifi.h"
#include "param_catalogue.h"
#include "wireless/core/wps_credential.h"

#include <cstdio>
#include <cstring>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <string>
#include <sys/stat.h>

namespace {

// The raw value: concealed texts (keys, passwords) go to the supplicant as they are.
std::string text(StringParam *p) {
    return p->getText();
}

std::string text(Param *p) {
    char buffer[320] = {};
    int n = p->toText(buffer, sizeof(buffer), false);
    return n > 0 ? std::string(buffer, strnlen(buffer, sizeof(buffer))) : std::string();
}

bool hasWifi() {
    return wlanHooks().wifiProduct();
}

bool fileNotEmpty(const char *path) {
    struct stat st {};
    return ::stat(sysPath(path).c_str(), &st) == 0 && st.st_size > 0;
}

X509 *loadCertificate(const char *path) {
    FILE *f = fopen(sysPath(path).c_str(), "r");
    if (!f) return nullptr;
    X509 *cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
    fclose(f);
    return cert;
}

// The TLS identity: the first subject attribute of the client certificate, when both
// the server and the client certificate load.
bool tlsIdentity(std::string &identity) {
    X509 *server = loadCertificate("/etc/certs/cert_srv.pem");
    if (!server) return false;
    X509_free(server);
    X509 *client = loadCertificate("/etc/certs/cert_fsrv.pem");
    if (!client) return false;
    bool found = false;
    X509_NAME_ENTRY *entry = X509_NAME_get_entry(X509_get_subject_name(client), 0);
    if (entry) {
        const ASN1_STRING *data = X509_NAME_ENTRY_get_data(entry);
        identity.assign(reinterpret_cast<const char *>(ASN1_STRING_get0_data(data)),
                        ASN1_STRING_length(data));
        found = true;
    }
    X509_free(client);
    return found;
}

const char *const CertDir = "/etc/certs/802.1x";
const char *const ClientCert = "/etc/certs/cert_fsrv.pem";
const char *const ClientKey = "/etc/certs/cert_fpkey.pem";

bool isAny(const std::string &value, std::initializer_list<const char *> choices) {
    for (const char *c : choices)
        if (value == c) return true;
    return false;
}

// The fields of the block; false at the first field that is refused.
bool buildFields(WlanConn &conn, const char *id) {
#define FIELD(...)                                                                                           \
    do {                                                                                                     \
        if (wlan_set_network(conn, id, __VA_ARGS__) != 0) return false;                                      \
    } while (0)

    const std::string encrypt = text(p_wifi_encrypt);
    const std::string eap = text(p_auth_typ);
    const bool wpaFamily = isAny(encrypt, {"TKIP", "AES", "TKIP2", "AES2", "AESTKIP", "AESTKIP2", "Auto"});
    const bool wpa1 = isAny(encrypt, {"TKIP", "AES", "AESTKIP"});
    const bool wpa2 = isAny(encrypt, {"TKIP2", "AES2", "AESTKIP2"});
    const bool wep = isAny(encrypt, {"WepOpen", "WepShared"});

    FIELD("priority 10");
    if (p_wifi->isOn()) {
        const bool ap = p_wifi_mode->equals("softap");
        wlanHooks().led(ap ? 5 : 2);
        if (eap == "---") {
            FIELD("key_mgmt %s", wpaFamily ? "WPA-PSK" : "NONE");
        } else if (wpaFamily) {
            FIELD("key_mgmt WPA-EAP");
        } else {
            FIELD("key_mgmt IEEE8021X");
            FIELD("eapol_flags %d", wep ? 3 : 0);
        }
        FIELD("ssid \"%s\"", text(p_wifi_name).c_str());
        FIELD("scan_ssid 1");
        if (!ap) {
            FIELD("mode 0");
        } else {
            // Set-up of the own access point; the replies are not checked.
            char cmd[WlanMaxCommand + 1];
            int n = snprintf(cmd, sizeof(cmd), "SET device_name %s", productParams().defaultName);
            if (n > 0 && static_cast<size_t>(n) <= WlanMaxCommand) wlan_command(conn, cmd, n);
            wlan_command(conn, "SET device_type 1-0050F204-1");
            wlan_command(conn, "P2P_GROUP_ADD");
            wlan_command(conn, "SCAN");
        }
        if (wep) {
            Param *keys[] = {p_wifi_wkey1, p_wifi_wkey2, p_wifi_wkey3, p_wifi_wkey4};
            for (int i = 0; i < 4; ++i) {
                std::string key = text(keys[i]);
                if (key.empty()) continue;
                if (key.size() == 10 || key.size() == 26)
                    FIELD("wep_key%d %s", i, key.c_str());
                else
                    FIELD("wep_key%d \"%s\"", i, key.c_str());
            }
            // Key numbers outside 1-4 (the default 0) fall back to the first key.
            int keyid = p_wifi_keyid->value();
            FIELD("wep_tx_keyidx %d", keyid >= 1 && keyid <= 4 ? keyid - 1 : 0);
            FIELD("priority 5");
        }
        if (encrypt == "WepShared") FIELD("auth_alg SHARED");
        if (isAny(encrypt, {"Auto", "AESTKIP", "AESTKIP2"})) {
            FIELD("group CCMP TKIP");
            FIELD("pairwise CCMP TKIP");
        } else if (isAny(encrypt, {"TKIP", "TKIP2"})) {
            FIELD("group TKIP");
            FIELD("pairwise TKIP");
        } else if (isAny(encrypt, {"AES", "AES2"})) {
            FIELD("group CCMP");
            FIELD("pairwise CCMP");
        } else if (encrypt == "WepOpen") {
            FIELD("group WEP104 WEP40");
        } else if (encrypt == "WepShared") {
            FIELD("auth_alg SHARED");
        }
        if (encrypt == "Auto")
            FIELD("proto RSN WPA");
        else if (wpa1)
            FIELD("proto WPA");
        else if (wpa2)
            FIELD("proto RSN");
        std::string psk = text(p_wifi_psk);
        if (wpaFamily && !psk.empty()) {
            if (psk.size() == 64)
                FIELD("psk %s", psk.c_str());
            else
                FIELD("psk \"%s\"", psk.c_str());
        }
    } else if (!hasWifi()) {
        FIELD("key_mgmt IEEE8021X");
    }

    if (eap == "MD5") {
        FIELD("eap MD5%s", hasWifi() ? " LEAP" : "");
        FIELD("identity \"%s\"", text(p_auth_name).c_str());
        FIELD("password \"%s\"", text(p_auth_pwd).c_str());
    } else if (isAny(eap, {"TLS", "TTLS", "PEAP", "FAST"})) {
        FIELD("eap %s", eap.c_str());
        if (eap == "FAST") FIELD("pac_file \"/var/cert_pac\"");
        std::string identity;
        if (eap != "TLS" || !tlsIdentity(identity)) identity = text(p_auth_name);
        FIELD("identity \"%s\"", identity.c_str());
        std::string pwd = text(p_auth_pwd);
        if (!pwd.empty()) FIELD("password \"%s\"", pwd.c_str());
        if (eap != "FAST") {
            FIELD("ca_path \"%s\"", CertDir);
            if (eap == "TLS") {
                if (fileNotEmpty(ClientCert)) FIELD("client_cert \"%s\"", ClientCert);
                if (fileNotEmpty(ClientKey)) FIELD("private_key \"%s\"", ClientKey);
            }
        }
        // The parameter store keeps the inner method in "auth_inner" and the phase-1
        // option in "auth_opt" (their choice lists say so).
        const std::string inner = text(p_auth_inner);
        if (inner == "ETLS") {
            FIELD("ca_path2 \"%s\"", CertDir);
            if (fileNotEmpty(ClientCert)) FIELD("client_cert2 \"%s\"", ClientCert);
            if (fileNotEmpty(ClientKey)) FIELD("private_key2 \"%s\"", ClientKey);
        }
        const std::string phase1 = text(p_auth_opt);
        if (phase1 == "PLABEL0")
            FIELD("phase1 \"peaplabel=0\"");
        else if (phase1 == "PLABEL1")
            FIELD("phase1 \"peaplabel=1\"");
        else if (phase1 == "PVER0")
            FIELD("phase1 \"peapver=0\"");
        else if (phase1 == "PVER1")
            FIELD("phase1 \"peapver=1\"");
        else if (phase1 == "FPROV1")
            FIELD("phase1 \"fast_provisioning=2\"");
        // PEAP and FAST take their inner EAP methods from "auth=" and ignore "autheap=",
        // which only TTLS reads: under "autheap=" they would accept any inner method the
        // server proposes.
        const char *eapKey = isAny(eap, {"PEAP", "FAST"}) ? "auth" : "autheap";
        if (inner == "PAP")
            FIELD("phase2 \"auth=PAP\"");
        else if (inner == "CHAP" && eap == "TTLS")
            // TTLS carries CHAP itself; "autheap=MSCHAP" would name no EAP method.
            FIELD("phase2 \"auth=CHAP\"");
        else if (inner == "CHAP")
            FIELD("phase2 \"autheap=MSCHAP\"");
        else if (inner == "MSCHAP2")
            FIELD("phase2 \"%s=MSCHAPV2\"", eapKey);
        else if (inner == "EMD5")
            FIELD("phase2 \"%s=MD5\"", eapKey);
        else if (inner == "ETLS")
            FIELD("phase2 \"%s=TLS\"", eapKey);
    }

    std::string anonymous = text(p_auth_ano_name);
    if (!anonymous.empty()) FIELD("anonymous_identity \"%s\"", anonymous.c_str());
    std::string addon = text(p_auth_wpa_addon);
    if (!addon.empty()) FIELD("%s", addon.c_str());
    if (p_wifi_roaming->isOn()) FIELD("bgscan \"simple:30:-65:300\"");
    return true;
#undef FIELD
}

} // namespace

bool wlan_configure_network(bool wireless, char (&id)[16]) {
    WlanConnPtr conn = wlan_open(wireless ? "wlan0" : "eth0");
    if (!conn) return false;
    wlanHooks().led(0);
    char reply[16];
    int n = wlan_request(*conn, "ADD_NETWORK", 11, reply, sizeof(reply));
    if (n <= 0) return false;
    const char *eol = static_cast<const char *>(memchr(reply, '\n', n));
    if (!eol) return false;
    // The id is a number; anything else (a "FAIL\n") is no network to configure.
    if (eol == reply || eol - reply >= static_cast<ptrdiff_t>(sizeof(id))) return false;
    for (const char *c = reply; c < eol; ++c)
        if (*c < '0' || *c > '9') return false;
    memset(id, 0, sizeof(id));
    memcpy(id, reply, eol - reply);
    if (!buildFields(*conn, id)) return false;
    char cmd[64];
    int len = snprintf(cmd, sizeof(cmd), "ENABLE_NETWORK %s", id);
    wlan_command(*conn, cmd, len);
    wlan_command(*conn, hasWifi() ? "AP_SCAN 1" : "AP_SCAN 0");
    return true;
}

// ---------------------------------------------------------------------------------------
// Credential take-over.

bool wlan_take_credential(const wps_credential_record &record) {
    // Lengths beyond the record's fields take nothing over.
    if (record.ssid_len > sizeof(record.ssid) || record.key_len > sizeof(record.key)) return false;
    const unsigned auth = record.auth_type, encr = record.encr_type;
    const char *encrypt = nullptr;
    if (encr == 0x01) encrypt = "---";
    if ((auth & 0x01) && (encr & 0x02)) encrypt = "WepOpen";
    if ((auth & 0x04) && (encr & 0x02)) encrypt = "WepShared";
    if ((auth & (0x08 | 0x02)) && (encr & (0x04 | 0x08))) encrypt = "AESTKIP";
    if ((auth & (0x10 | 0x20)) && (encr & (0x04 | 0x08))) encrypt = "AESTKIP2";

    char ssid[33] = {};
    memcpy(ssid, record.ssid, record.ssid_len);
    char key[65] = {};
    memcpy(key, record.key, record.key_len);

    // Every value is checked before any is set, so a refused one changes nothing.
    const bool wep = (encr & 0x02) != 0;
    const bool psk = (auth & (0x02 | 0x20)) != 0;
    // The key index as received, 1-4 (0, absent, means 1).
    int keyIndex = record.key_idx == 0 ? 1 : record.key_idx;
    Param *wkeys[] = {p_wifi_wkey1, p_wifi_wkey2, p_wifi_wkey3, p_wifi_wkey4};
    if (!p_wifi_name->validate(ssid)) return false;
    if (encrypt && !p_wifi_encrypt->validate(encrypt)) return false;
    if (wep && (keyIndex > 4 || !wkeys[keyIndex - 1]->validate(key))) return false;
    if (psk && !p_wifi_psk->validate(key)) return false;

    p_wifi_mode->setFromText("infra", -1);
    p_wifi_name->setFromText(ssid, -1);
    if (encrypt) p_wifi_encrypt->setFromText(encrypt, -1);
    if (wep) {
        char idx[4];
        snprintf(idx, sizeof(idx), "%d", keyIndex);
        p_wifi_keyid->setFromText(idx, -1);
        wkeys[keyIndex - 1]->setFromText(key, -1);
    }
    if (psk) p_wifi_psk->setFromText(key, -1);
    return true;
}

// ---------------------------------------------------------------------------------------
// Tasks.

WiFi::WiFi(bool wirelessFlag) : Task("WiFi"), wireless(wirelessFlag) {}

void WiFi::run() {
    WlanConnPtr conn = wlan_open(wireless ? "wlan0" : "eth0");
    if (!conn) return;
    char reply[32];
    wlan_request(*conn, "ATTACH", 6, reply, sizeof(reply));
    {
        std::lock_guard lock(mutex);
        wlan_configure_network(wireless, networkId);
    }
    char buffer[1025];
    for (;;) {
        while (!conn->events.empty()) {
            std::string event = std::move(conn->events.front());
            conn->events.pop_front();
            wlan_dispatch_event(event.data(), event.size());
        }
        int n = wlanIo().recv(conn->handle, buffer, 1024, WlanEventWaitTicks);
        if (n == -1) {
            waitCurrentTask(WlanEventWaitTicks);
            continue;
        }
        if (n <= 0) continue;
        buffer[n] = '\0';
        wlan_dispatch_event(buffer, n);
    }
}

WpaWps::WpaWps(uint32_t pinValue) : Task("WpaWps"), pin(pinValue) {}

void WpaWps::run() {
    bool expected = false;
    if (!wpsRunning.compare_exchange_strong(expected, true) && !wpsActive.load()) return;
    wpsRunning = true;
    WlanConnPtr conn = wlan_open("wlan0");
    if (conn) {
        wlan_command(*conn, "AP_SCAN 1");
        if (p_wifi_mode->equals("softap")) wlan_command(*conn, "P2P_GROUP_REMOVE wlan0");
        if (wlan_command(*conn, "WPS_PBC") == 0) {
            wlanHooks().led(4);
            wpsActive = true;
        } else if (p_wifi_mode->equals("softap")) {
            // The access point removed for the run comes back.
            wlan_command(*conn, "P2P_GROUP_ADD");
        }
    }
    conn.reset();
    wpsRunning = false;
}

namespace {

int startWps() {
    uint8_t mac[6] = {};
    wirelessInterface().getMacAddress(mac);
    auto *task = new WpaWps(wps_pin_from_mac(mac));
    return task->start(0x8000);
}

bool wifiLink(char *ssid, size_t size, int *freqMhz, int *channel) {
    std::string status = wlan_status_verbose();
    if (status.empty()) return false;
    if (size) ssid[0] = '\0';
    wlan_get_ssid(status.data(), status.size(), ssid, size);
    *freqMhz = 0;
    *channel = 0;
    wlan_get_freq(status.c_str(), freqMhz, channel);
    return true;
}

} // namespace

void wlan_install_hooks() {
    gpioHooks().startWps = startWps;
    netifHooks().wifiLink = wifiLink;
}
