// What the core does to run IEEE 802.1X pre-authentication for the RSN supplicant: the
// 0x88C7 packet sockets and a second EAPOL supplicant that talks over them to the
// pre-authentication BSSID. The RSN supplicant reaches these through its EAPOL record.
#pragma once

#include <cstddef>
#include <cstdint>

struct eapol_supp_sm;
struct rsn_supplicant;

// Opens the sockets and creates the EAPOL supplicant towards sm->preauth_bssid with the
// network block `eap_config`: 0, -2 when a socket cannot be opened, -3 when the state
// machine cannot be made, -4 on memory failure (nothing is left open on failure).
int supplicant_preauth_begin(rsn_supplicant *sm, const uint8_t *bssid, void *eap_config, eapol_supp_sm **out);
// Destroys the EAPOL supplicant and closes the sockets.
void supplicant_preauth_end(rsn_supplicant *sm, eapol_supp_sm *preauth_eapol);
// What the sockets deliver (context: the RSN supplicant); frames from any address other
// than the pre-authentication BSSID are dropped.
void supplicant_preauth_rx(void *ctx, const uint8_t *src_addr, const uint8_t *buf, size_t len);
