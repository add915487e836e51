// Information elements and frame headers from the air: the element walk, the vendor
// payload collection, get_ie and get_hdr_bssid must stay inside the buffer for any bytes,
// and every element they hand out must lie wholly inside it.
#include "wireless/common/ieee802_11_common.h"
#include "wireless/core/wpabuf.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

volatile uint8_t sink;

// Reads every byte of a slot so the sanitizer sees a slot reaching past the buffer.
void touch(const uint8_t *p, size_t len, const uint8_t *begin, size_t size) {
    if (p == nullptr) return;
    if (p < begin || p + len > begin + size) std::abort();
    uint8_t x = 0;
    for (size_t i = 0; i < len; i++)
        x ^= p[i];
    sink = x;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ieee80211_elems e;
    const int r = ieee802_11_parse_elems(data, size, &e);
    if (r < -1 || r > 1) std::abort();
    if (r >= 0) {
        touch(e.ssid, e.ssid_len, data, size);
        if (e.ssid != nullptr && e.ssid_len > 32) std::abort();
        touch(e.supp_rates, e.supp_rates_len, data, size);
        touch(e.ext_supp_rates, e.ext_supp_rates_len, data, size);
        touch(e.rsn_ie, e.rsn_ie_len, data, size);
        touch(e.mdie, e.mdie_len, data, size);
        touch(e.ftie, e.ftie_len, data, size);
        touch(e.qos_map_set, e.qos_map_set_len, data, size);
        touch(e.ext_capab, e.ext_capab_len, data, size);
        touch(e.mic, e.mic_len, data, size);
        for (int i = 0; i < e.mb_ies_count; i++)
            touch(e.mb_ies[i], e.mb_ies_len[i], data, size);
        if (e.mb_ies_count > 5) std::abort();
        touch(e.ds_params, 1, data, size);
        touch(e.erp_info, 1, data, size);
        touch(e.ht_capabilities, 26, data, size);
        touch(e.ht_operation, 22, data, size);
        touch(e.timeout_int, 5, data, size);
        touch(e.bss_max_idle_period, 3, data, size);
        touch(e.link_id, 18, data, size);
        touch(e.vht_capabilities, 12, data, size);
        touch(e.vht_operation, 5, data, size);
        touch(e.opmode_notif, 1, data, size);
        touch(e.wpa_ie, e.wpa_ie_len, data, size);
        touch(e.wmm, e.wmm_len, data, size);
        if (e.wmm != nullptr && e.wmm_len < 5) std::abort();
        touch(e.wps_ie, e.wps_ie_len, data, size);
        touch(e.vendor_vht, e.vendor_vht_len, data, size);
        if (e.vendor_vht != nullptr && e.vendor_vht_len < 5) std::abort();
        touch(e.p2p, e.p2p_len, data, size);
        touch(e.mbo, e.mbo_len, data, size);
        supp_rates_11b_only(&e);
    }

    // Vendor payloads of the OUI and type named by the first four bytes.
    if (size >= 4) {
        const uint32_t ouiType = (uint32_t(data[0]) << 24) | (data[1] << 16) | (data[2] << 8) | data[3];
        wpa_buf *buf = ieee802_11_vendor_ie_concat(data + 4, size - 4, ouiType);
        if (buf != nullptr) {
            if (wpa_buf_len(buf) > size) std::abort();
            touch(wpa_buf_head(buf), wpa_buf_len(buf), wpa_buf_head(buf), wpa_buf_len(buf));
            wpa_buf_free(buf);
        }
    }

    for (int id : {0, 48, 61, 221}) {
        const uint8_t *ie = get_ie(data, size, static_cast<uint8_t>(id));
        if (ie != nullptr) {
            touch(ie, 2, data, size);
            touch(ie, 2u + ie[1], data, size);
        }
    }

    const uint8_t *bssid = get_hdr_bssid(data, size);
    touch(bssid, 6, data, size);
    return 0;
}
