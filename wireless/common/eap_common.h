// Building and checking EAP message headers. A message is a wpa_buf holding the header
// (code, identifier, big-endian length of the whole message, and for requests and
// responses the type) and the payload. The expanded type 254 carries a 3-byte vendor id
// and a 4-byte vendor type, making the header 12 bytes instead of 5.
#pragma once

#include <cstddef>
#include <cstdint>

struct wpa_buf;

constexpr int EAP_VENDOR_IETF = 0;
constexpr uint8_t EAP_TYPE_EXPANDED = 254;
constexpr size_t EAP_HDR_LEN = 4;
constexpr size_t EAP_EXPANDED_HDR_LEN = 12;

bool eap_hdr_len_valid(const wpa_buf *msg, size_t min_payload);
const uint8_t *eap_hdr_validate(int vendor, uint32_t eap_type, const wpa_buf *msg, size_t *plen);
wpa_buf *eap_msg_alloc(int vendor, uint32_t type, size_t payload_len, uint8_t code, uint8_t identifier);
void eap_update_len(wpa_buf *msg);
uint8_t eap_get_id(const wpa_buf *msg);
uint32_t eap_get_type(const wpa_buf *msg);
