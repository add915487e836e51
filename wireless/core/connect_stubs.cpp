// Placeholders for the connection road's entry points that are not built yet. Each one
// leaves this file when its real body lands.
#include "wireless/core/connect.h"

void supplicant_associate(wpa_iface *, wpa_bss *, wpa_network *) {}
void supplicant_deauthenticate(wpa_iface *, uint16_t) {}
void supplicant_mark_disassociated(wpa_iface *) {}
void supplicant_req_auth_timeout(wpa_iface *, int, int) {}
void supplicant_cancel_auth_timeout(wpa_iface *) {}

rsn_supplicant *supplicant_rsn_sm(wpa_iface *) {
    return nullptr;
}
int supplicant_tkip_countermeasures(wpa_iface *) {
    return 0;
}
