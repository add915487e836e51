// Port access control: port keys proved over the client's challenge (DES crypt or
// SHA-1), time-limited keys with their weekly or expiry schedule, the list of devices
// allowed on a port, and the binding of a port to one IP VLAN. The minute check of
// the time-limited keys is in usb_keyexpiry.cpp.

// DES_fcrypt is deprecated in OpenSSL 3 but still exported; the DES form of the proofs
// is the traditional DES crypt. Defined before any header can include OpenSSL's.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "usbserver/usb_access.h"

#include "core/param.h"
#include "core/platform.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/tcp.h"
#include "usbserver/usb_device.h"

#include <openssl/crypto.h>
#include <openssl/des.h>
#include <openssl/sha.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// The longest key text a SHA-1 proof takes.
constexpr size_t MaxShaKey = 67;
constexpr size_t DesEntry = 12;
constexpr size_t ShaEntry = 22;

int portCount() {
    return static_cast<int>(std::min<unsigned>(productParams().usbPorts, UsbMaxPorts));
}

bool timeLimitedKeys() {
    const unsigned id = productParams().productId;
    return id == 287 || id == 294 || id == 295 || id == 307;
}

// A parameter of the family that exists on this product, else null.
template <class T> T *familyParam(const char *prefix, int index) {
    Param *p = ptable().find(prefix, static_cast<int>(std::strlen(prefix)), index);
    if (p == nullptr || p->isAbsent()) return nullptr;
    return dynamic_cast<T *>(p);
}

// The key text of key number k, empty when unset.
std::string keyText(int k) {
    auto *p = familyParam<StringParam>("zqn_pkkey_", k);
    return p != nullptr ? p->getText() : std::string();
}

} // namespace

int usbKeyValidityNow(int k, bool weekly) {
    auto *alive = familyParam<StringParam>("zqn_pkalive_", k);
    if (alive == nullptr) return 0;
    const time_t now = applianceTime();
    if (now < 0) return 0;
    struct tm local {};
    if (localtime_r(&now, &local) == nullptr) return 0;
    return usbKeyValidityLeft(alive->getText().c_str(), weekly, local);
}

namespace {

// Reads a decimal number at p (leading blanks allowed); false when there is none.
bool readNumber(const char *&p, int &out) {
    while (*p == ' ')
        p++;
    if (*p < '0' || *p > '9') return false;
    long v = 0;
    while (*p >= '0' && *p <= '9') {
        if (v < 100000) v = v * 10 + (*p - '0');
        p++;
    }
    out = static_cast<int>(v);
    return true;
}

int secondsToHourEnd(const struct tm &t) {
    return 3600 - 60 * t.tm_min - t.tm_sec;
}

} // namespace

bool usbKeyProofDes(const char *key, uint32_t challenge, char out[11]) {
    if (key == nullptr || key[0] == '\0') return false;
    const int32_t c = static_cast<int32_t>(challenge);
    const char salt[3] = {alphabet[(c ^ (c >> 24)) & 63], alphabet[((c >> 8) ^ (c >> 16)) & 63], '\0'};
    // Traditional DES crypt takes at most 8 characters of the key.
    char chunk[9] = {};
    std::strncpy(chunk, key, 8);
    char result[14] = {};
    if (DES_fcrypt(chunk, salt, result) == nullptr || std::strlen(result) != 13) return false;
    std::memcpy(out, result + 2, 11);
    OPENSSL_cleanse(chunk, sizeof chunk);
    return true;
}

bool usbKeyProofSha1(const char *key, uint32_t challenge, uint8_t out[20]) {
    if (key == nullptr || key[0] == '\0') return false;
    char text[4 + MaxShaKey];
    text[0] = alphabet[(challenge >> 24) & 63];
    text[1] = alphabet[(challenge >> 16) & 63];
    text[2] = alphabet[(challenge >> 8) & 63];
    text[3] = alphabet[challenge & 63];
    const size_t n = strnlen(key, MaxShaKey);
    std::memcpy(text + 4, key, n);
    const bool ok = SHA1(reinterpret_cast<const unsigned char *>(text), 4 + n, out) != nullptr;
    OPENSSL_cleanse(text, sizeof text);
    return ok;
}

int usbKeyValidityLeft(const char *schedule, bool weekly, const struct tm &t) {
    if (schedule == nullptr) return 0;
    // A clock before 2018 has not been set.
    if (t.tm_year + 1900 <= 2017 || t.tm_wday < 0 || t.tm_wday > 6) return 0;
    const char *first = std::strchr(schedule, ':');
    if (weekly) {
        static const char days[] = "sMtWTFS";
        if (strnlen(schedule, 7) <= static_cast<size_t>(t.tm_wday) || schedule[t.tm_wday] != days[t.tm_wday])
            return 0;
        const char *second = first != nullptr ? std::strchr(first + 1, ':') : nullptr;
        if (second == nullptr) return 0;
        const char *p = first + 1;
        int from = 0, to = 0;
        if (!readNumber(p, from)) from = 0;
        p = second + 1;
        if (!readNumber(p, to)) to = 0;
        if (t.tm_hour < from) return 0;
        if (t.tm_hour < to) return 86400;
        if (t.tm_hour == to) return secondsToHourEnd(t);
        return 0;
    }
    // The expiry date and hour follow the third colon.
    const char *p = schedule;
    for (int colons = 0; colons < 3; colons++) {
        p = std::strchr(p, ':');
        if (p == nullptr) return 0;
        p++;
    }
    int v[4];
    for (int i = 0; i < 4; i++) {
        if (!readNumber(p, v[i])) return 0;
        if (i < 3) {
            if (*p != ':') return 0;
            p++;
        }
    }
    const int now[3] = {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday};
    const int end[3] = {2000 + v[0], v[1], v[2]};
    for (int i = 0; i < 3; i++) {
        if (now[i] < end[i]) return 86400;
        if (now[i] > end[i]) return 0;
    }
    if (t.tm_hour < v[3]) return 86400;
    if (t.tm_hour == v[3]) return secondsToHourEnd(t);
    return 0;
}

int usbPortKeyCheck(int port, uint32_t challenge, const uint8_t *block, size_t length) {
    auto *mode = familyParam<P3List>("zqn_accctrl_", port);
    if (mode == nullptr || !(mode->equals("key") || mode->equals("keyids"))) return UsbKeyNotNeeded;
    if (block == nullptr || length < 4 || block[0] != 'K' || block[1] != 'V') return UsbKeyFailed;
    const bool des = block[2] == 'X';
    if (!des && block[2] != 'x') return UsbKeyFailed;
    const int count = block[3];
    if (count < 1 || count > 20) return UsbKeyFailed;
    const size_t entrySize = des ? DesEntry : ShaEntry;
    const int ports = portCount();
    const bool limited = timeLimitedKeys();

    for (int i = 0; i < count; i++) {
        const size_t off = 4 + entrySize * static_cast<size_t>(i);
        if (off + entrySize > length) break;
        const uint8_t *entry = block + off;
        const int entryPort = des ? entry[0] : (entry[0] << 8 | entry[1]);
        if (entryPort != port) continue;
        for (int k = port; k <= 2 * ports; k += ports) {
            const std::string keyCopy = keyText(k);
            if (keyCopy.empty()) continue;
            const char *key = keyCopy.c_str();
            // Proofs are compared in constant time: a mismatch must not tell how much
            // of it was right.
            bool match;
            if (des) {
                char proof[11];
                match = usbKeyProofDes(key, challenge, proof) && CRYPTO_memcmp(proof, entry + 1, 11) == 0;
                OPENSSL_cleanse(proof, sizeof proof);
            } else {
                uint8_t proof[20];
                match = usbKeyProofSha1(key, challenge, proof) && CRYPTO_memcmp(proof, entry + 2, 20) == 0;
                OPENSSL_cleanse(proof, sizeof proof);
            }
            if (!match) continue;
            if (!limited) return UsbKeyUnlimited;
            auto *valid = familyParam<P3List>("zqn_pkvalid_", k);
            if (valid == nullptr || valid->equals("off")) continue;
            if (valid->equals("ever")) return UsbKeyUnlimited;
            if (usbKeyValidityNow(k, valid->equals("week")) > 0) return k;
        }
    }
    return UsbKeyFailed;
}

bool match_vendprod_ids(int entryNumber, int port) {
    auto *vendor = familyParam<StringParam>("usb_vendid_", entryNumber + 1);
    auto *product = familyParam<StringParam>("usb_prodid_", entryNumber + 1);
    auto *list = familyParam<StringParam>("zqn_vendprodIDs_", port);
    if (vendor == nullptr || product == nullptr || list == nullptr) return false;
    char pair[160];
    std::snprintf(pair, sizeof pair, "%s:%s", vendor->getText().c_str(), product->getText().c_str());
    return list->getText().find(pair) != std::string::npos;
}

bool check_device_assignment(int entryNumber, int port) {
    if (entryNumber < 0 || entryNumber >= UsbDeviceTableSize || port < 1 || port > UsbMaxPorts) return false;
    auto *mode = familyParam<P3List>("zqn_accctrl_", port);
    if (mode != nullptr && (mode->equals("ids") || mode->equals("keyids")))
        return match_vendprod_ids(entryNumber, port);
    return true;
}

bool usbVlanAdmits(int port, const UsbSrvClient *client) {
    if (client == nullptr || client->connection == nullptr) return false;
    auto *binding = familyParam<IntParam>("zqn_2vlan_", port);
    if (binding == nullptr || binding->value() <= 0) return true;
    const int number = binding->value();
    const int clientVlan = client->connection->vlan;
    if (number <= portCount() + 1) {
        if (auto *id = familyParam<IntParam>("ipvlan_id_", number)) return clientVlan == id->value();
    }
    return clientVlan == -1;
}
