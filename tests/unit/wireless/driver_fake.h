// What the tests on scripted back ends share: element builders, scan results made from
// scripted BSS entries, the entry points every such back end has, the collector of the
// supplicant's messages, and a fixture that runs the supplicant on the test's back end
// with the event loop's timeouts run without waiting. Each test keeps its own back end
// (what it records and answers) beside this.
#pragma once

#include "wireless/common/ieee802_11_common.h"
#include "wireless/core/bss.h"
#include "wireless/core/driver.h"
#include "wireless/core/supplicant.h"
#include "wireless/core/wpa_msg.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace driver_fake {

using Bytes = std::vector<uint8_t>;

// One element: its id, length and body.
Bytes ie(uint8_t id, const Bytes &body);
Bytes cat(std::initializer_list<Bytes> parts);

// One BSS as the back end reports it in its scan results.
struct ScanEntry {
    uint8_t bssid[6];
    int freq = 2412;
    int level = -50;
    uint16_t caps = 0x0001;
    Bytes ies;
    Bytes beacon_ies;
    unsigned int flags = WPA_SCAN_LEVEL_DBM | WPA_SCAN_QUAL_INVALID;
    int noise = -95;
    unsigned int age = 0;
    int qual = 0;
};

// The entry as the supplicant takes it over (malloc'd, elements behind it).
wpa_scan_res *scan_res(const ScanEntry &e);
// The entries as one set of results, in order.
wpa_scan_results *scan_results(const std::vector<ScanEntry> &entries);

// The back end's entry points that do the same in every test: init hands out a token,
// deinit has nothing to free, the radio is "phy0".
void *init(void *, const char *);
void deinit(void *);
const char *radio_name(void *);
// A table with the name, the description, init and deinit set.
wpa_driver_ops ops(const char *name, const char *desc);

// Every message the supplicant emits, as "<level>text".
extern std::vector<std::string> events;
void collect(void *, int level, wpa_msg_type, const char *txt, size_t len);
// The collected messages that begin with prefix, in order.
std::vector<std::string> matching(const std::string &prefix);

// The supplicant on the test's back ends, its messages collected in events.
struct Supplicant : ::testing::Test {
    wpa_global *global = nullptr;
    wpa_iface *iface = nullptr;

    // Starts it with drivers (null-terminated) as its back-end list.
    void start(const wpa_driver_ops *const *drivers);
    void TearDown() override;
    // A new interface on the named back end.
    wpa_iface *add_iface(const char *ifname, const char *driver);
    // Lets seconds pass and runs what is due.
    static void run(double secs);
    // A control command on w (default: iface); FAIL when there is no reply.
    std::string cmd(const std::string &text, wpa_iface *w = nullptr);
    // The driver reports the start and the end of the scan it was asked for.
    void finish_scan(wpa_iface *w = nullptr);
};

} // namespace driver_fake
