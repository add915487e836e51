#include "net/wifi.h"

#include "core/gpio.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/sysroot.h"
#include "core/ticks.h"
#include "net/netif.h"
#include "param_catalogue.h"
#include "wireless/core/wps_credential.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

std::vector<WlanBss> wlanBssList;
std::atomic<int> wlanBssCount{0};
std::mutex wlanListLock;
std::atomic<int64_t> wlanLastScan{0};
std::atomic<bool> wpsActive{false};
std::atomic<bool> wpsRunning{false};

namespace {

void defaultLed(int state) {
    GpioDevice &board = gpioDevice();
    if (board.isOpen()) board.setWlanLed(state);
}

void defaultAssociated() {
    // A new association may mean a new network: the DHCP client starts a new discovery
    // and the address is announced on the interface now in use.
    TaskMsg msg{};
    msg.flags = 0x8000;
    Task::postByName("Bootp", msg);
    char text[64] = {};
    if (p_ip_addr->toText(text, sizeof(text), false) <= 0) return;
    InetAddress address = InetAddress::fromText(text);
    if (address.isSet()) mainInterface().sendGratuitousArp(address);
}

// Applies the credential's parameters, saves them and restarts with the new network.
void defaultRestart() {
    ptable().saveIfChanged();
    if (gpioHooks().startShutDown) gpioHooks().startShutDown(1);
}

bool defaultWifiProduct() {
    return isWifiProduct(productParams().productId);
}

bool isEventLine(const char *data, int length) {
    return length >= 3 && data[0] == '<' && data[1] >= '0' && data[1] <= '9' && data[2] == '>';
}

bool softAp() {
    return p_wifi_mode->equals("softap");
}

const char *wirelessName() {
    return "wlan0";
}

} // namespace

WlanHooks &wlanHooks() {
    static WlanHooks hooks{defaultLed, defaultAssociated, defaultRestart, defaultWifiProduct};
    return hooks;
}

WlanConn::~WlanConn() {
    if (handle) wlanIo().close(handle);
}

WlanConnPtr wlan_open(const char *ifname) {
    std::string path = sysPath(std::string("/var/wifi/") + ifname);
    void *handle = wlanIo().open(path.c_str());
    if (!handle) return nullptr;
    auto conn = std::make_unique<WlanConn>();
    conn->handle = handle;
    return conn;
}

int wlan_request(WlanConn &conn, const char *cmd, size_t length, char *reply, size_t size) {
    if (size == 0) return -1;
    if (wlanIo().send(conn.handle, cmd, length, WlanWritableTicks) != 0) return -1;
    // Event lines can come in between on a monitor connection; they are kept for the
    // event loop and the wait for the reply goes on with the time that is left.
    const int64_t deadline = sysTicks() + WlanReplyTicks;
    for (;;) {
        int64_t left = deadline - sysTicks();
        if (left <= 0) return -2;
        int n = wlanIo().recv(conn.handle, reply, size, left);
        if (n < 0) return n;
        if (isEventLine(reply, n)) {
            if (conn.events.size() < WlanConn::MaxPendingEvents)
                conn.events.emplace_back(reply, static_cast<size_t>(n) < size ? n : size);
            continue;
        }
        if (static_cast<size_t>(n) < size) reply[n] = '\0';
        return n;
    }
}

int wlan_command(WlanConn &conn, const char *cmd, size_t length) {
    char reply[32];
    int n = wlan_request(conn, cmd, length, reply, sizeof(reply));
    return n == 3 && memcmp(reply, "OK\n", 3) == 0 ? 0 : -1;
}

int wlan_command(WlanConn &conn, const char *cmd) {
    return wlan_command(conn, cmd, strlen(cmd));
}

int wlan_set_network(WlanConn &conn, const char *id, const char *format, ...) {
    char cmd[WlanMaxCommand + 1];
    int head = snprintf(cmd, sizeof(cmd), "SET_NETWORK %s ", id);
    if (head < 0 || static_cast<size_t>(head) >= sizeof(cmd)) return -1;
    va_list args;
    va_start(args, format);
    int field = vsnprintf(cmd + head, sizeof(cmd) - head, format, args);
    va_end(args);
    // A field that does not fit counts as refused: it never goes out cut.
    if (field < 0 || static_cast<size_t>(head + field) > WlanMaxCommand) return -1;
    return wlan_command(conn, cmd, head + field);
}

std::string wlan_query(const char *cmd, size_t length) {
    WlanConnPtr conn = wlan_open(wirelessName());
    if (!conn) return {};
    std::string reply(4096, '\0');
    int n = wlan_request(*conn, cmd, length, reply.data(), reply.size() - 1);
    if (n < 0) return {};
    reply.resize(n);
    return reply;
}

std::string wlan_status() {
    return wlan_query("STATUS", 6);
}
std::string wlan_status_verbose() {
    return wlan_query("STATUS-VERBOSE", 14);
}

int wlan_scan() {
    if (wlanLastScan.load() == -1) return 1;
    WlanConnPtr conn = wlan_open(wirelessName());
    if (!conn) return 0;
    int64_t before = wlanLastScan.exchange(-1);
    // A refused scan leaves the time of the last results, so a later request tries again.
    if (wlan_command(*conn, "SCAN") != 0) {
        int64_t pending = -1;
        wlanLastScan.compare_exchange_strong(pending, before);
    }
    return 1;
}

bool wlan_list_lock(const char *, bool wait) {
    for (;;) {
        if (wlanListLock.try_lock()) return true;
        if (!wait || Task::current() == nullptr) return false;
        waitCurrentTask(25);
    }
}

void wlan_list_unlock() {
    wlanListLock.unlock();
}

// ---------------------------------------------------------------------------------------
// The "BSS" reply.

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool decodeHex(const char *text, size_t length, std::vector<uint8_t> &out) {
    if (length % 2 != 0) return false;
    std::vector<uint8_t> bytes;
    bytes.reserve(length / 2 + 2);
    for (size_t i = 0; i < length; i += 2) {
        int hi = hexDigit(text[i]), lo = hexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    out = std::move(bytes);
    return true;
}

int parseInt(const std::string &text, int base) {
    errno = 0;
    char *end = nullptr;
    long value = strtol(text.c_str(), &end, base);
    if (end == text.c_str() || value > INT32_MAX || value < INT32_MIN) return 0;
    return static_cast<int>(value);
}

} // namespace

bool wlan_parse_bss(const char *reply, size_t length, WlanBss &bss) {
    bss = WlanBss{};
    bool haveBssid = false, haveSsid = false, haveIe = false;
    std::vector<uint8_t> ie;
    size_t pos = 0;
    while (pos < length) {
        const char *line = reply + pos;
        const char *end = static_cast<const char *>(memchr(line, '\n', length - pos));
        size_t lineLength = end ? static_cast<size_t>(end - line) : length - pos;
        pos += lineLength + 1;
        const char *eq = static_cast<const char *>(memchr(line, '=', lineLength));
        if (!eq) continue;
        std::string key(line, eq - line);
        std::string value(eq + 1, line + lineLength - (eq + 1));
        if (key == "id") {
            bss.id = parseInt(value, 10);
        } else if (key == "bssid") {
            if (!haveBssid) bss.bssid = value;
            haveBssid = true;
        } else if (key == "freq") {
            bss.freq = parseInt(value, 10);
        } else if (key == "capabilities") {
            bss.capabilities = parseInt(value, 16);
        } else if (key == "noise") {
            bss.noise = parseInt(value, 10);
        } else if (key == "level") {
            bss.level = parseInt(value, 10);
        } else if (key == "flags") {
            bss.flags = value;
        } else if (key == "ssid") {
            bss.ssid = value;
            haveSsid = true;
        } else if (key == "ie") {
            if (decodeHex(value.data(), value.size(), ie)) haveIe = true;
        }
    }
    if (!haveBssid || bss.bssid.empty()) return false;
    bss.channel = wlan_channel_of_freq(bss.freq);
    size_t decoded = haveIe ? ie.size() : 0;
    bss.ie = std::move(ie);
    bss.ie.resize(decoded + 2, 0);
    bss.ieLength = static_cast<int>(decoded + 2);
    // Without an "ssid" line the name comes from the SSID element at the start of the
    // elements, read only within the element and the decoded bytes.
    if (!haveSsid && decoded >= 2 && bss.ie[0] == 0) {
        size_t n = bss.ie[1];
        if (n > decoded - 2) n = decoded - 2;
        if (n > 64) n = 64;
        bss.ssid.assign(reinterpret_cast<const char *>(bss.ie.data() + 2), n);
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Events.

namespace {

// The BSSID of a BSS-ADDED/REMOVED line: after the entry id and its blanks.
bool eventBssid(const char *rest, size_t length, const char **bssid, size_t *bssidLength) {
    if (length < 20) return false;
    size_t i = 0;
    while (i < length && rest[i] == ' ')
        ++i;
    while (i < length && rest[i] != ' ')
        ++i;
    while (i < length && rest[i] == ' ')
        ++i;
    size_t end = i;
    while (end < length && rest[end] != ' ' && rest[end] != '\n' && rest[end] != '\0')
        ++end;
    if (end == i) return false;
    *bssid = rest + i;
    *bssidLength = end - i;
    return true;
}

void onBssRemoved(const char *rest, size_t length) {
    const char *bssid;
    size_t n;
    if (!eventBssid(rest, length, &bssid, &n)) return;
    std::lock_guard lock(wlanListLock);
    for (auto it = wlanBssList.begin(); it != wlanBssList.end(); ++it) {
        if (it->bssid.size() == n && memcmp(it->bssid.data(), bssid, n) == 0) {
            wlanBssList.erase(it);
            wlanBssCount = static_cast<int>(wlanBssList.size());
            return;
        }
    }
}

void onBssAdded(const char *rest, size_t length) {
    const char *bssid;
    size_t n;
    if (!eventBssid(rest, length, &bssid, &n)) return;
    char cmd[80];
    int len = snprintf(cmd, sizeof(cmd), "BSS %.*s", static_cast<int>(n > 64 ? 64 : n), bssid);
    std::string reply = wlan_query(cmd, len);
    if (reply.empty()) return;
    WlanBss bss;
    if (!wlan_parse_bss(reply.data(), reply.size(), bss)) return;
    wlan_list_lock("BssAdded", true);
    std::lock_guard lock(wlanListLock, std::adopt_lock);
    wlanBssList.push_back(std::move(bss));
    wlanBssCount = static_cast<int>(wlanBssList.size());
}

void onScanResults(const char *, size_t) {
    wlanLastScan = sysTicks();
}

void onConnected(const char *, size_t) {
    if (wlanHooks().associated) wlanHooks().associated();
    wlanHooks().led(softAp() && !wpsActive.load() ? 1 : 3);
    wpsActive = false;
}

void onCredential(const char *, size_t) {
    wps_credential_record record{};
    if (supp_wps_copy_received_credential(&record) != 0) return;
    if (wlan_take_credential(record) && wlanHooks().restart) wlanHooks().restart();
}

void onWpsEnd(const char *, size_t) {
    bool ap = softAp();
    wlanHooks().led(ap ? 5 : 0);
    wpsActive = false;
    // The access point removed for the run comes back.
    if (ap) {
        WlanConnPtr conn = wlan_open(wirelessName());
        if (conn) wlan_command(*conn, "P2P_GROUP_ADD");
    }
}

void onDisconnected(const char *, size_t) {
    if (!wpsActive.load()) wlanHooks().led(0);
}

void onApStaConnected(const char *, size_t) {
    wlanHooks().led(6);
}
void onGroupStarted(const char *, size_t) {
    wlanHooks().led(5);
}

struct EventEntry {
    const char *prefix;
    void (*handler)(const char *rest, size_t length);
};

const EventEntry eventTable[] = {
    {"<3>CTRL-EVENT-BSS-REMOVED", onBssRemoved},
    {"<3>CTRL-EVENT-BSS-ADDED", onBssAdded},
    {"<3>CTRL-EVENT-SCAN-RESULTS", onScanResults},
    {"<3>CTRL-EVENT-CONNECTED", onConnected},
    {"<3>WPS-CRED-RECEIVED", onCredential},
    {"<3>WPS-TIMEOUT", onWpsEnd},
    {"<3>WPS-FAIL", onWpsEnd},
    {"<3>CTRL-EVENT-DISCONNECTED", onDisconnected},
    {"<3>AP-STA-CONNECTED", onApStaConnected},
    {"<3>P2P-GROUP-STARTED", onGroupStarted},
};

} // namespace

void wlan_dispatch_event(const char *text, size_t length) {
    for (const EventEntry &entry : eventTable) {
        size_t n = strlen(entry.prefix);
        if (length >= n && memcmp(text, entry.prefix, n) == 0) {
            entry.handler(text + n, length - n);
            return;
        }
    }
}

// ---------------------------------------------------------------------------------------
// Status values.

int wlan_status_value(const char *key, const char *text, size_t length, char *out, size_t size) {
    if (size == 0) return 0;
    out[0] = '\0';
    size_t keyLength = strlen(key);
    size_t pos = 0;
    while (pos < length) {
        const char *line = text + pos;
        const char *end = static_cast<const char *>(memchr(line, '\n', length - pos));
        size_t lineLength = end ? static_cast<size_t>(end - line) : length - pos;
        if (lineLength >= keyLength && memcmp(line, key, keyLength) == 0) {
            size_t n = lineLength - keyLength;
            if (n > size - 1) n = size - 1;
            memcpy(out, line + keyLength, n);
            out[n] = '\0';
            return static_cast<int>(n);
        }
        pos += lineLength + 1;
    }
    return 0;
}

int wlan_get_ssid(const char *t, size_t l, char *o, size_t s) {
    return wlan_status_value("ssid=", t, l, o, s);
}
int wlan_get_p2p_address(const char *t, size_t l, char *o, size_t s) {
    return wlan_status_value("p2p_device_address=", t, l, o, s);
}
int wlan_get_uuid(const char *t, size_t l, char *o, size_t s) {
    return wlan_status_value("uuid=", t, l, o, s);
}
int wlan_get_state(const char *t, size_t l, char *o, size_t s) {
    return wlan_status_value("wpa_state=", t, l, o, s);
}

namespace {
// The value after a key found within the first 64 bytes of the text.
const char *nearValue(const char *text, const char *key) {
    size_t limit = strnlen(text, 64);
    size_t keyLength = strlen(key);
    for (size_t i = 0; i + keyLength <= limit; ++i) {
        if (memcmp(text + i, key, keyLength) == 0 && (i == 0 || text[i - 1] == '\n'))
            return text + i + keyLength;
    }
    return nullptr;
}
} // namespace

bool wlan_get_level(const char *text, int *level, int *noise) {
    *level = 0;
    *noise = 0;
    const char *bssid = nearValue(text, "bssid=");
    if (!bssid) return false;
    size_t n = strcspn(bssid, "\n");
    if (n == 0) return false;
    std::lock_guard lock(wlanListLock);
    for (const WlanBss &bss : wlanBssList) {
        if (bss.bssid.compare(0, n, bssid, n) == 0) {
            *level = bss.level;
            *noise = bss.noise;
            return true;
        }
    }
    return false;
}

bool wlan_get_freq(const char *text, int *freq, int *channel) {
    const char *value = nearValue(text, "freq=");
    if (!value) return false;
    *freq = atoi(value);
    *channel = wlan_channel_of_freq(*freq);
    return true;
}

int wlan_channel_of_freq(int f) {
    if (f >= 2412 && f <= 2472 && (f - 2412) % 5 == 0) return (f - 2407) / 5;
    if (f == 2484) return 14;
    switch (f) {
    case 4915:
    case 4920:
    case 4925:
    case 4935:
    case 4940:
    case 4945:
    case 4960:
    case 4980:
        return (f - 4000) / 5;
    case 5035:
    case 5040:
    case 5045:
    case 5055:
    case 5060:
    case 5080:
    case 5160:
    case 5340:
    case 5480:
    case 5825:
    case 5845:
    case 5865:
        return (f - 5000) / 5;
    default:
        break;
    }
    struct Range {
        int low, high;
    };
    for (Range r : {Range{5170, 5320}, Range{5500, 5640}, Range{5660, 5720}, Range{5745, 5805}}) {
        if (f >= r.low && f <= r.high && (f - r.low) % 10 == 0) return (f - 5000) / 5;
    }
    return 0;
}

uint32_t wps_pin_from_mac(const uint8_t mac[6]) {
    uint32_t value = (static_cast<uint32_t>(mac[3]) << 16 | mac[4] << 8 | mac[5]) % 10000000;
    // The checksum digit of a WPS PIN: weights 3,1,3,1,... over the seven digits.
    uint32_t pin = value, sum = 0;
    while (pin) {
        sum += 3 * (pin % 10);
        pin /= 10;
        sum += pin % 10;
        pin /= 10;
    }
    return value * 10 + (10 - sum % 10) % 10;
}
