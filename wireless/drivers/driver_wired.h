// The wired 802.1X back end: the port receives frames for the PAE group address; the
// access-point side delivers EAPOL frames and announces stations seen by DHCP.
#pragma once

#include "wireless/core/driver.h"

extern const wpa_driver_ops wpa_driver_wired_ops;

// The PAE group address 01:80:c2:00:00:03.
extern const uint8_t pae_group_addr[6];

// The access-point side's handling of one received PAE frame and one DHCP datagram
// (for tests and fuzzing): the events they raise go to supplicant_event with ctx.
void wired_handle_pae_frame(void *ctx, const uint8_t *frame, size_t len);
void wired_handle_dhcp(void *ctx, const uint8_t *buf, size_t len);
