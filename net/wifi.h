// The Wi-Fi manager: drives the in-process supplicant over its per-interface control
// socket ("/var/wifi/<if>") with text commands, builds the one network block from the
// parameters, follows the supplicant's events (DHCP restart and LED on association,
// the scan list, WPS outcomes) and answers the status pages' queries.
#pragma once

#include "core/task.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct wps_credential_record;

// All socket calls of the manager go through these (net/wifi_io.cpp); unit tests
// install their own to script the supplicant's side.
struct WlanIo {
    // A unix datagram client connected to the path; null when it never got through.
    void *(*open)(const char *path) = nullptr;
    void (*close)(void *handle) = nullptr;
    // 0 when the whole datagram went out; -1 when the socket did not become writable
    // within the ticks or the write was short.
    int (*send)(void *handle, const char *data, size_t length, int64_t ticks) = nullptr;
    // One datagram into the buffer: its length (cut to size), -2 when none came within
    // the ticks, -1 on an error.
    int (*recv)(void *handle, char *buffer, size_t size, int64_t ticks) = nullptr;
};
WlanIo &wlanIo();

// What an event does outside the supplicant's socket; tests replace these.
struct WlanHooks {
    // Sets the Wi-Fi LED state (0 off, 3 on, 1, 2, 4, 5, 6 blink patterns).
    void (*led)(int state) = nullptr;
    // Association: restart the DHCP client and announce the address by ARP.
    void (*associated)() = nullptr;
    // Restarts the appliance with a credential taken over.
    void (*restart)() = nullptr;
    // The product is one of the Wi-Fi products.
    bool (*wifiProduct)() = nullptr;
};
WlanHooks &wlanHooks();

// One control connection. Event lines that arrive while a command waits for its reply
// are kept here for the event loop instead of being taken as the reply.
struct WlanConn {
    static constexpr size_t MaxPendingEvents = 32;
    void *handle = nullptr;
    std::deque<std::string> events;
    ~WlanConn();
};
using WlanConnPtr = std::unique_ptr<WlanConn>;

// Connects to "/var/wifi/<ifname>" in the sandbox root; null on failure.
WlanConnPtr wlan_open(const char *ifname);

// Time-outs of a request in ticks.
constexpr int64_t WlanWritableTicks = 100;
constexpr int64_t WlanReplyTicks = 400;
constexpr int64_t WlanEventWaitTicks = 200;
// Longest command a field may make.
constexpr size_t WlanMaxCommand = 256;

// Sends the command and reads its reply: the bytes read (the reply is terminated when
// room is left), -1 when the socket was not writable or the write short, -2 when no
// reply came in time.
int wlan_request(WlanConn &conn, const char *cmd, size_t length, char *reply, size_t size);
// 0 when the reply is exactly "OK\n", else -1.
int wlan_command(WlanConn &conn, const char *cmd, size_t length);
int wlan_command(WlanConn &conn, const char *cmd);
// "SET_NETWORK <id> " followed by the formatted field; -1 (nothing sent) when the
// command would exceed 256 bytes.
int wlan_set_network(WlanConn &conn, const char *id, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// A reply on a fresh connection to the wireless interface; empty on failure.
std::string wlan_query(const char *cmd, size_t length);
std::string wlan_status();
std::string wlan_status_verbose();
// Asks for a scan unless one is pending: 1, or 0 when the socket could not be reached.
int wlan_scan();

// One scanned network.
struct WlanBss {
    int id = 0;
    std::string bssid;
    int freq = 0;
    int channel = 0;
    int capabilities = 0;
    int noise = 0;
    int level = 0;
    std::string flags;
    std::string ssid;
    int ieLength = 0;        // decoded "ie" bytes plus 2
    std::vector<uint8_t> ie; // decoded "ie" followed by two zero bytes
};
// Parses a "BSS" reply; false when it names no BSSID (nothing to add).
bool wlan_parse_bss(const char *reply, size_t length, WlanBss &bss);

extern std::vector<WlanBss> wlanBssList;
extern std::atomic<int> wlanBssCount;
extern std::mutex wlanListLock;
// Tick of the last scan results; -1 while a requested scan is pending.
extern std::atomic<int64_t> wlanLastScan;
extern std::atomic<bool> wpsActive;
extern std::atomic<bool> wpsRunning;

// Takes the scan-list lock; with wait on a task thread, waits 25 ticks at a time.
bool wlan_list_lock(const char *caller, bool wait);
void wlan_list_unlock();

// Acts on one datagram of the event connection.
void wlan_dispatch_event(const char *text, size_t length);

// Builds the network block on "wlan0" (wireless) or "eth0"; true when it was enabled.
// The network id goes to id (16 bytes).
bool wlan_configure_network(bool wireless, char (&id)[16]);

// Takes a WPS credential record over into the parameters; true when the appliance is
// to restart with it.
bool wlan_take_credential(const wps_credential_record &record);

// The status text's value of a key at a line start, copied within size; its length.
int wlan_status_value(const char *key, const char *text, size_t length, char *out, size_t size);
int wlan_get_ssid(const char *text, size_t length, char *out, size_t size);
int wlan_get_p2p_address(const char *text, size_t length, char *out, size_t size);
int wlan_get_uuid(const char *text, size_t length, char *out, size_t size);
int wlan_get_state(const char *text, size_t length, char *out, size_t size);
bool wlan_get_level(const char *text, int *level, int *noise);
bool wlan_get_freq(const char *text, int *freq, int *channel);
int wlan_channel_of_freq(int freq);

// Where the status page goes: write gets pieces of the page in order.
struct WlanPageSink {
    void *context = nullptr;
    void (*write)(void *context, const char *bytes, size_t length) = nullptr;
};
// What the page needs besides the scan list: a scan request (with its short wait),
// the driver name and the product.
struct WlanPageHooks {
    void (*scan)() = nullptr;
    bool (*driver)(std::string &name) = nullptr;
    unsigned productId = 0;
};
// The name of the Wi-Fi driver (last component of the device's driver link).
bool wlan_get_driver(std::string &name);
// The diagnostic page for the verbose status text.
void wifi_info_page(const WlanPageSink &sink, const std::string &status, const WlanPageHooks &hooks);

// An 8-digit WPS PIN from the last three bytes of the MAC address.
uint32_t wps_pin_from_mac(const uint8_t mac[6]);

class WiFi : public Task {
public:
    explicit WiFi(bool wireless);
    void run() override;

    std::mutex mutex;
    bool wireless;
    char networkId[16] = {};
};

class WpaWps : public Task {
public:
    explicit WpaWps(uint32_t pin);
    void run() override;
    uint32_t pin;
};

// Installs the board and link hooks of the manager (WPS button, link description).
void wlan_install_hooks();
