// Background scanning while connected: one module, "simple", scans for the network's SSID
// at a short interval while the signal is weak and at a long one while it is strong.
#pragma once

#include "wireless/core/supplicant.h"

struct wpa_scan_results;

struct bgscan_ops {
    const char *name;
    void *(*init)(wpa_iface *iface, const char *params, wpa_network *ssid);
    void (*deinit)(void *priv);
    int (*notify_scan)(void *priv, wpa_scan_results *res);
    void (*notify_beacon_loss)(void *priv);
    void (*notify_signal_change)(void *priv, int above, int current_signal, int current_noise,
                                 int current_txrate);
};

// Starts the module the text names ("simple", any prefix of it, then ":" and its
// parameters) for the network: 0, or -1 (no text, no module, bad parameters).
int bgscan_init(wpa_iface *iface, wpa_network *ssid, const char *name);
void bgscan_deinit(wpa_iface *iface);
int bgscan_notify_scan(wpa_iface *iface, wpa_scan_results *res);
void bgscan_notify_beacon_loss(wpa_iface *iface);
void bgscan_notify_signal_change(wpa_iface *iface, int above, int current_signal, int current_noise,
                                 int current_txrate);

// The parameters of "simple": short interval, threshold (0 none), long interval; -1 on a
// bad text. The intervals below 1 become 30.
struct bgscan_simple_params {
    int short_interval;
    int signal_threshold;
    int long_interval;
};
int bgscan_simple_parse(const char *params, bgscan_simple_params *out);

// Results of a scan for the scan logic: 1 when the background scan consumed them.
int supp_bgscan_notify_scan(wpa_iface *iface, wpa_scan_results *res);
