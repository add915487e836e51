// Placeholders for the connection road's entry points that are not built yet. Each one
// leaves this file when its real body lands.
#include "wireless/core/connect.h"

wpa_blacklist *wpa_blacklist_get(wpa_iface *, const uint8_t *) { return nullptr; }
int wpa_blacklist_add(wpa_iface *, const uint8_t *) { return -1; }
int wpa_blacklist_del(wpa_iface *, const uint8_t *) { return -1; }
void wpa_blacklist_clear(wpa_iface *) {}
wpa_bss *supplicant_pick_network(wpa_iface *, wpa_network **selected) {
    if (selected) *selected = nullptr;
    return nullptr;
}
int supplicant_connect(wpa_iface *, wpa_bss *, wpa_network *) { return -1; }
int supp_select_network_from_last_scan(wpa_iface *, int, int) { return 0; }
int supplicant_fast_associate(wpa_iface *) { return -1; }
void supplicant_rsn_preauth_scan_results(wpa_iface *) {}
wpa_network *supplicant_add_network(wpa_iface *) { return nullptr; }
int supplicant_remove_network(wpa_iface *, int) { return -2; }
void supplicant_disable_network(wpa_iface *, wpa_network *) {}
void supplicant_enable_network(wpa_iface *, wpa_network *) {}
void supplicant_select_network(wpa_iface *, wpa_network *) {}
void supplicant_reconnect(wpa_iface *) {}
void supplicant_disconnect(wpa_iface *) {}
void supp_auth_failed(wpa_iface *, const char *) {}
void supplicant_reenable_network(wpa_iface *, wpa_network *, int) {}
void supp_connection_failed(wpa_iface *, const uint8_t *) {}
wpa_network *supplicant_get_ssid(wpa_iface *) { return nullptr; }
