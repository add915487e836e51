// WPA, RSN and OSEN elements from beacons and association frames, and EAPOL-Key key
// data: the decoders and the key data parser must stay inside the buffer for any bytes,
// and every pointer they hand out must lie wholly inside it.
#include "wireless/rsn/wpa_common.h"

#include <cstdlib>
#include <initializer_list>

namespace {

volatile uint8_t sink;

void touch(const uint8_t *p, size_t len, const uint8_t *begin, size_t size) {
    if (p == nullptr) return;
    if (p < begin || len > size || p + len > begin + size) std::abort();
    uint8_t x = 0;
    for (size_t i = 0; i < len; i++)
        x ^= p[i];
    sink = x;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    wpa_ie_info info;
    for (auto decode : {wpa_decode_security_ie, wpa_decode_rsn_ie, wpa_decode_wpa1_ie}) {
        const int r = decode(data, size, &info);
        if (r > 0 || r < -9) std::abort();
        if (r == 0) touch(info.pmkid, info.num_pmkid * PMKID_LEN, data, size);
    }

    wpa_eapol_ie_parse kd;
    const int r = wpa_parse_key_data(data, size, &kd);
    if (r != 0 && r != -1) std::abort();
    if (r == 0) {
        touch(kd.wpa_ie, kd.wpa_ie_len, data, size);
        touch(kd.rsn_ie, kd.rsn_ie_len, data, size);
        touch(kd.pmkid, PMKID_LEN, data, size);
        touch(kd.gtk, kd.gtk_len, data, size);
        touch(kd.mac_addr, kd.mac_addr_len, data, size);
        touch(kd.ip_addr_req, 1, data, size);
        touch(kd.ip_addr_alloc, 12, data, size);
        // A decoded element of the key data is itself bounded.
        if (kd.rsn_ie != nullptr) wpa_decode_rsn_ie(kd.rsn_ie, kd.rsn_ie_len, &info);
    }
    return 0;
}
