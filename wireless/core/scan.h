// Scanning: scan requests and their timing, the scan parameters, the "scan" radio work,
// probe-request elements, random addresses for scans, fetching and ranking the results,
// and what follows a scan. The usable-network predicates come from network_enable.h.
#pragma once

#include "wireless/core/bss.h"
#include "wireless/core/driver.h"
#include "wireless/core/network_enable.h"
#include "wireless/core/supplicant.h"

struct wpa_scan_res;
struct wpa_scan_results;

// Scan request kinds.
enum : int { NORMAL_SCAN_REQ = 0, INITIAL_SCAN_REQ = 1, MANUAL_SCAN_REQ = 2 };

// The SSID cursor's wildcard position (no network: the next scan starts at the first).
#define WILDCARD_SSID_SCAN (reinterpret_cast<wpa_network *>(1))

// Random-address scan kinds.
enum : unsigned int { MAC_ADDR_RAND_SCAN = 1, MAC_ADDR_RAND_SCHED_SCAN = 2, MAC_ADDR_RAND_PNO = 4 };

void supplicant_req_scan(wpa_iface *iface, int sec, int usec);
void supplicant_cancel_scan(wpa_iface *iface);
// Whether a scan request is pending.
bool supplicant_scan_pending(wpa_iface *iface);
void supplicant_update_scan_int(wpa_iface *iface, int sec);
int supplicant_set_scan_interval(wpa_iface *iface, int sec);
void supplicant_notify_scanning(wpa_iface *iface, int scanning);
int supplicant_trigger_scan(wpa_iface *iface, const wpa_driver_scan_params *params);
int supplicant_abort_scan(wpa_iface *iface);
wpa_scan_results *supplicant_get_scan_results(wpa_iface *iface, const wpa_scan_info *info, int new_scan);
int supplicant_update_scan_results(wpa_iface *iface);
wpa_buf *supplicant_extra_ies(wpa_iface *iface);
// The station's Extended Capabilities element: its length, 0 when every bit is zero, -1
// when the buffer is too small.
int wpa_build_ext_capab(wpa_iface *iface, uint8_t *buf, size_t buflen);
void supplicant_set_default_scan_ies(wpa_iface *iface);
int supp_mac_addr_rand_scan_set(wpa_iface *iface, unsigned int kind, const uint8_t *addr,
                                const uint8_t *mask);
void supp_mac_addr_rand_scan_clear(wpa_iface *iface, unsigned int kinds);
void supplicant_req_new_scan(wpa_iface *iface, int sec, int usec);

void wpa_scan_params_free(wpa_driver_scan_params *params);
wpa_driver_scan_params *wpa_scan_clone_params(const wpa_driver_scan_params *src);
void wpa_scan_results_free(wpa_scan_results *res);

// Dispatcher steps: SCAN_RESULTS (with or without scan information) and SCAN_STARTED.
void supplicant_scan_results_event(wpa_iface *iface, const wpa_scan_info *info);
void supplicant_scan_started_event(wpa_iface *iface);

// Ranking: SNR and estimated throughput of one result, the comparison (negative when a
// ranks before b) and the sort of a result list.
void scan_est_throughput(wpa_iface *iface, wpa_scan_res *res);
int wpa_scan_result_compar(const wpa_scan_res *a, const wpa_scan_res *b);
// Stable insertion sort in the driver's order; defined for any comparator, including one
// that is no strict weak order.
void wpa_scan_sort(wpa_scan_res **res, size_t num, int (*compar)(const wpa_scan_res *, const wpa_scan_res *));

const uint8_t *wpa_scan_get_ie(const wpa_scan_res *res, uint8_t ie);
const uint8_t *wpa_scan_res_get_vendor_ie(const wpa_scan_res *res, uint32_t vendor_type);
const uint8_t *wpa_scan_res_get_vendor_ie_beacon(const wpa_scan_res *res, uint32_t vendor_type);
wpa_buf *wpa_scan_res_get_vendor_ie_multi(const wpa_scan_res *res, uint32_t vendor_type);

// The radio's enabled channel frequencies inside the ranges, each once, zero-terminated;
// null when none.
int *supp_freqs_in_ranges(wpa_iface *iface, const struct freq_range_list *ranges);
