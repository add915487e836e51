// The connection road's entry points. Association (association start, station management,
// the driver event dispatcher, connection state) and network selection (enabling, picking,
// the blacklist, back-off) call each other through these declarations only.
#pragma once

#include "wireless/core/supplicant.h"

#include <cstdint>

struct wpa_bss;

// ------------------------------------------------------------------ selection and back-off

// A BSSID that failed recently; the list is per interface, newest first.
struct wpa_blacklist {
    wpa_blacklist *next;
    uint8_t bssid[6];
    int count; // how often the BSSID was added since the list was last cleared
};

wpa_blacklist *wpa_blacklist_get(wpa_iface *iface, const uint8_t *bssid);
int wpa_blacklist_add(wpa_iface *iface, const uint8_t *bssid); // new count, or -1
int wpa_blacklist_del(wpa_iface *iface, const uint8_t *bssid); // 0 or -1
void wpa_blacklist_clear(wpa_iface *iface);

wpa_bss *supplicant_pick_network(wpa_iface *iface, wpa_network **selected);
int supplicant_connect(wpa_iface *iface, wpa_bss *bss, wpa_network *ssid); // 0 or -1
// The decision after a scan: 1 after a connect decision, -1 when it failed, 2 when P2P
// took over, 0 otherwise.
int supp_select_network_from_last_scan(wpa_iface *iface, int new_scan, int own_request);
int supplicant_fast_associate(wpa_iface *iface); // 1 started, 0 nothing found, -1 stale
void supplicant_rsn_preauth_scan_results(wpa_iface *iface);

wpa_network *supplicant_add_network(wpa_iface *iface);
int supplicant_remove_network(wpa_iface *iface, int id); // 0, -1 unknown id, -2 failure
void supplicant_disable_network(wpa_iface *iface, wpa_network *ssid); // none: all
void supplicant_enable_network(wpa_iface *iface, wpa_network *ssid);  // none: all
void supplicant_select_network(wpa_iface *iface, wpa_network *ssid);  // none: any
void supplicant_reconnect(wpa_iface *iface);
void supplicant_disconnect(wpa_iface *iface);
void supp_auth_failed(wpa_iface *iface, const char *reason);
void supplicant_reenable_network(wpa_iface *iface, wpa_network *ssid, int clear_failures);
void supp_connection_failed(wpa_iface *iface, const uint8_t *bssid);
wpa_network *supplicant_get_ssid(wpa_iface *iface);

// What selection reads of the association side: the RSN supplicant (none before it
// exists) and whether TKIP countermeasures run.
struct rsn_supplicant;
rsn_supplicant *supplicant_rsn_sm(wpa_iface *iface);
int supplicant_tkip_countermeasures(wpa_iface *iface);

// ------------------------------------------------------------------ association

void supplicant_associate(wpa_iface *iface, wpa_bss *bss, wpa_network *ssid);
void supplicant_deauthenticate(wpa_iface *iface, uint16_t reason_code);
void supplicant_mark_disassociated(wpa_iface *iface);
void supplicant_req_auth_timeout(wpa_iface *iface, int sec, int usec);
void supplicant_cancel_auth_timeout(wpa_iface *iface);
