// The BSS table: one entry per (BSSID, SSID) seen in scan results, refreshed from every
// batch, aged out by time and by missed scans, evicted when full. An entry never moves
// once created (its elements live in a block of their own), so every holder of an entry
// pointer stays valid until the entry is removed.
#pragma once

#include "wireless/core/driver.h"
#include "wireless/core/supplicant.h"

#include <cstddef>
#include <cstdint>

struct wpa_scan_res;
struct wpa_buf;

// What a finished scan covered: the scan information of a SCAN_RESULTS event.
using wpa_scan_info = decltype(wpa_event_data::scan_info);

// The most SSIDs one scan probes for.
constexpr size_t SCAN_MAX_SSIDS = WPA_MAX_SCAN_SSIDS;

struct wpa_bss {
    wpa_bss *prev, *next;       // update order, most recently updated last
    wpa_bss *id_prev, *id_next; // creation order
    unsigned int id;
    unsigned int scan_miss_count;
    unsigned int last_update_idx;
    unsigned int flags;
    uint8_t bssid[6];
    uint8_t ssid[32];
    size_t ssid_len;
    int freq;
    uint16_t beacon_int;
    uint16_t caps;
    int qual;
    int noise;
    int level;
    uint64_t tsf;
    os_reltime last_update;
    unsigned int est_throughput;
    int snr;
    size_t ie_len;        // probe-response elements
    size_t beacon_ie_len; // beacon elements, right after them
    uint8_t *ies;         // ie_len + beacon_ie_len bytes
};

// Result flags (also of wpa_scan_res).
enum : unsigned int {
    WPA_SCAN_QUAL_INVALID = 0x1,
    WPA_SCAN_NOISE_INVALID = 0x2,
    WPA_SCAN_LEVEL_INVALID = 0x4,
    WPA_SCAN_LEVEL_DBM = 0x8,
    WPA_SCAN_ASSOCIATED = 0x20,
};

constexpr uint32_t WPA_IE_VENDOR_TYPE = 0x0050f201;
constexpr uint32_t WPS_IE_VENDOR_TYPE = 0x0050f204;
constexpr uint32_t P2P_IE_VENDOR_TYPE = 0x506f9a09;

int wpa_bss_init(wpa_iface *iface);
void wpa_bss_deinit(wpa_iface *iface);
void wpa_bss_update_start(wpa_iface *iface);
void wpa_bss_update_scan_res(wpa_iface *iface, wpa_scan_res *res, const os_reltime *fetch_time);
void wpa_bss_update_end(wpa_iface *iface, const wpa_scan_info *info, int new_scan);
void wpa_bss_remove(wpa_iface *iface, wpa_bss *bss, const char *reason);
void wpa_bss_flush_by_age(wpa_iface *iface, int age);
void wpa_bss_flush(wpa_iface *iface);

wpa_bss *wpa_bss_get(wpa_iface *iface, const uint8_t *bssid, const uint8_t *ssid, size_t ssid_len);
wpa_bss *wpa_bss_get_bssid(wpa_iface *iface, const uint8_t *bssid);
wpa_bss *wpa_bss_get_bssid_latest(wpa_iface *iface, const uint8_t *bssid);
wpa_bss *wpa_bss_get_p2p_dev_addr(wpa_iface *iface, const uint8_t *dev_addr);
wpa_bss *wpa_bss_get_id(wpa_iface *iface, unsigned int id);
wpa_bss *wpa_bss_get_id_range(wpa_iface *iface, unsigned int first, unsigned int last);
bool wpa_bss_in_use(wpa_iface *iface, const wpa_bss *bss);

const uint8_t *wpa_bss_get_ie(const wpa_bss *bss, uint8_t ie);
const uint8_t *wpa_bss_get_vendor_ie(const wpa_bss *bss, uint32_t vendor_type);
const uint8_t *wpa_bss_get_vendor_ie_beacon(const wpa_bss *bss, uint32_t vendor_type);
wpa_buf *wpa_bss_get_vendor_ie_multi(const wpa_bss *bss, uint32_t vendor_type);
wpa_buf *wpa_bss_get_vendor_ie_multi_beacon(const wpa_bss *bss, uint32_t vendor_type);

// Element walks over a byte range: the first element with the id, or the first vendor
// element (length at least 4) of the type. A walk ends at the first element that does
// not fit.
const uint8_t *wpa_ies_find(const uint8_t *ies, size_t len, uint8_t id);
const uint8_t *wpa_ies_find_vendor(const uint8_t *ies, size_t len, uint32_t vendor_type);
wpa_buf *wpa_ies_vendor_multi(const uint8_t *ies, size_t len, uint32_t vendor_type);

// Control setters: -1 (refused) or 0.
int supplicant_set_bss_expiration_age(wpa_iface *iface, unsigned int age);
int supplicant_set_bss_expiration_count(wpa_iface *iface, unsigned int count);

// Whether the BSSID passes the interface's BSSID filter (no filter passes all).
bool wpa_bssid_filter_allows(const wpa_iface *iface, const uint8_t *bssid);
