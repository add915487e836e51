// The control commands of scanning, the BSS table, radio works, status and run-time
// settings. Each handler returns the length of the reply it wrote into the reply buffer,
// CTRL_REPLY_OK for "OK\n" or -1 for "FAIL\n"; args is the text after the command word.
#pragma once

#include <cstddef>

struct wpa_iface;
struct wpa_buf;

constexpr int CTRL_REPLY_OK = -2;

int ctrl_status(wpa_iface *iface, char *args, char *reply, size_t size);
int ctrl_set(wpa_iface *iface, char *args, char *reply, size_t size);
int ctrl_scan(wpa_iface *iface, char *args, char *reply, size_t size);
int ctrl_scan_results(wpa_iface *iface, char *args, char *reply, size_t size);
int ctrl_abort_scan(wpa_iface *iface, char *args, char *reply, size_t size);
int ctrl_get_capability(wpa_iface *iface, char *args, char *reply, size_t size);
int ctrl_interface_list(wpa_iface *iface, char *args, char *reply, size_t size);
int ctrl_interfaces(wpa_iface *iface, char *args, char *reply, size_t size);
int ctrl_bss(wpa_iface *iface, char *args, char *reply, size_t size);
int ctrl_bss_flush(wpa_iface *iface, char *args, char *reply, size_t size);
int ctrl_bss_expire_age(wpa_iface *iface, char *args, char *reply, size_t size);
int ctrl_bss_expire_count(wpa_iface *iface, char *args, char *reply, size_t size);
int ctrl_scan_interval(wpa_iface *iface, char *args, char *reply, size_t size);
int ctrl_fail(wpa_iface *iface, char *args, char *reply, size_t size);
int ctrl_signal_monitor(wpa_iface *iface, char *args, char *reply, size_t size);
int ctrl_driver_flags(wpa_iface *iface, char *args, char *reply, size_t size);
int ctrl_vendor(wpa_iface *iface, char *args, char *reply, size_t size);
int ctrl_radio_work(wpa_iface *iface, char *args, char *reply, size_t size);
int ctrl_vendor_elem_add(wpa_iface *iface, char *args, char *reply, size_t size);
int ctrl_vendor_elem_get(wpa_iface *iface, char *args, char *reply, size_t size);
int ctrl_vendor_elem_remove(wpa_iface *iface, char *args, char *reply, size_t size);
int ctrl_mac_rand_scan(wpa_iface *iface, char *args, char *reply, size_t size);
int ctrl_get_pref_freq_list(wpa_iface *iface, char *args, char *reply, size_t size);

// One SCAN_RESULTS line and the security flags of an entry (BSS "flags=").
struct wpa_bss;
int wpa_ctrl_iface_scan_result_line(wpa_iface *iface, const wpa_bss *bss, char *buf, size_t size);

// The answer to a neighbor report request: null for a failed request. Emits one event per
// neighbor report element.
void wpa_ctrl_iface_neighbor_rep_cb(wpa_iface *iface, const wpa_buf *neighbors);
