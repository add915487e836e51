// TTLS attribute-value pairs (RFC 5281): building and parsing.
#pragma once

#include <cstddef>
#include <cstdint>

struct wpa_buf;

enum {
    EAP_TTLS_AVP_USER_NAME = 1,
    EAP_TTLS_AVP_USER_PASSWORD = 2,
    EAP_TTLS_AVP_CHAP_PASSWORD = 3,
    EAP_TTLS_AVP_REPLY_MESSAGE = 18,
    EAP_TTLS_AVP_CHAP_CHALLENGE = 60,
    EAP_TTLS_AVP_EAP_MESSAGE = 79,
};
constexpr uint32_t EAP_TTLS_VENDOR_MICROSOFT = 311;
enum {
    EAP_TTLS_AVP_MS_CHAP_RESPONSE = 1,
    EAP_TTLS_AVP_MS_CHAP_ERROR = 2,
    EAP_TTLS_AVP_MS_CHAP_CHALLENGE = 11,
    EAP_TTLS_AVP_MS_CHAP2_RESPONSE = 25,
    EAP_TTLS_AVP_MS_CHAP2_SUCCESS = 26,
};

struct eap_ttls_avps {
    uint8_t *eapdata; // concatenated EAP-Message AVPs, owned
    size_t eapdata_len;
    const uint8_t *mschapv2; // MS-CHAP2-Success data (43 bytes), points into the input
    size_t mschapv2_len;
    bool mschapv2_error;
};

// Appends one AVP with its padding; the buffer must have eap_ttls_avp_space bytes free.
void eap_ttls_avp_add(wpa_buf *buf, uint32_t code, uint32_t vendor, const uint8_t *value, size_t len);
size_t eap_ttls_avp_space(size_t len, bool vendor);
// 0 or -1 (malformed, or an unknown AVP flagged mandatory); free with eap_ttls_avps_free.
int eap_ttls_parse_avps(const uint8_t *pos, size_t left, eap_ttls_avps *parse);
void eap_ttls_avps_free(eap_ttls_avps *parse);
