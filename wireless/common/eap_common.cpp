#include "wireless/common/eap_common.h"

#include "wireless/core/wpabuf.h"

namespace {

size_t hdrLength(const uint8_t *p) {
    return (size_t(p[2]) << 8) | p[3];
}

} // namespace

bool eap_hdr_len_valid(const wpa_buf *msg, size_t min_payload) {
    if (msg == nullptr || wpa_buf_len(msg) < EAP_HDR_LEN) return false;
    const size_t len = hdrLength(wpa_buf_head(msg));
    return len >= EAP_HDR_LEN + min_payload && len <= wpa_buf_len(msg);
}

const uint8_t *eap_hdr_validate(int vendor, uint32_t eap_type, const wpa_buf *msg, size_t *plen) {
    if (!eap_hdr_len_valid(msg, 1)) return nullptr;
    const uint8_t *p = wpa_buf_head(msg);
    const size_t len = hdrLength(p);
    if (p[4] == EAP_TYPE_EXPANDED) {
        if (len < EAP_EXPANDED_HDR_LEN) return nullptr;
        const int exp_vendor = (p[5] << 16) | (p[6] << 8) | p[7];
        const uint32_t exp_type =
            (uint32_t(p[8]) << 24) | (uint32_t(p[9]) << 16) | (uint32_t(p[10]) << 8) | p[11];
        if (exp_vendor != vendor || exp_type != eap_type) return nullptr;
        *plen = len - EAP_EXPANDED_HDR_LEN;
        return p + EAP_EXPANDED_HDR_LEN;
    }
    if (vendor != EAP_VENDOR_IETF || p[4] != eap_type) return nullptr;
    *plen = len - 5;
    return p + 5;
}

wpa_buf *eap_msg_alloc(int vendor, uint32_t type, size_t payload_len, uint8_t code, uint8_t identifier) {
    const size_t len = EAP_HDR_LEN + (vendor == EAP_VENDOR_IETF ? 1 : 8) + payload_len;
    // The length field has 16 bits.
    if (len > 0xffff) return nullptr;
    wpa_buf *buf = wpa_buf_alloc(len);
    if (buf == nullptr) return nullptr;
    wpa_buf_put_u8(buf, code);
    wpa_buf_put_u8(buf, identifier);
    wpa_buf_put_u8(buf, static_cast<uint8_t>(len >> 8));
    wpa_buf_put_u8(buf, static_cast<uint8_t>(len));
    if (vendor == EAP_VENDOR_IETF) {
        wpa_buf_put_u8(buf, static_cast<uint8_t>(type));
    } else {
        wpa_buf_put_u8(buf, EAP_TYPE_EXPANDED);
        wpa_buf_put_u8(buf, static_cast<uint8_t>(vendor >> 16));
        wpa_buf_put_u8(buf, static_cast<uint8_t>(vendor >> 8));
        wpa_buf_put_u8(buf, static_cast<uint8_t>(vendor));
        wpa_buf_put_u8(buf, static_cast<uint8_t>(type >> 24));
        wpa_buf_put_u8(buf, static_cast<uint8_t>(type >> 16));
        wpa_buf_put_u8(buf, static_cast<uint8_t>(type >> 8));
        wpa_buf_put_u8(buf, static_cast<uint8_t>(type));
    }
    return buf;
}

void eap_update_len(wpa_buf *msg) {
    if (msg == nullptr || wpa_buf_len(msg) < EAP_HDR_LEN) return;
    const size_t len = wpa_buf_len(msg);
    uint8_t *p = wpa_buf_mhead(msg);
    p[2] = static_cast<uint8_t>(len >> 8);
    p[3] = static_cast<uint8_t>(len);
}

uint8_t eap_get_id(const wpa_buf *msg) {
    if (msg == nullptr || wpa_buf_len(msg) < EAP_HDR_LEN) return 0;
    return wpa_buf_head(msg)[1];
}

uint32_t eap_get_type(const wpa_buf *msg) {
    if (msg == nullptr || wpa_buf_len(msg) < EAP_HDR_LEN + 1) return 0;
    return wpa_buf_head(msg)[4];
}
