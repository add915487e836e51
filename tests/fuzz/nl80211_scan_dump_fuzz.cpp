// GET_SCAN dump messages and survey answers into the scan-result list: duplicates,
// filter SSIDs and element copies stay within what the messages hold.
#include "nl80211_fuzz_env.h"

#include "wireless/common/ieee802_11_common.h"
#include <netlink/msg.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    fuzzenv::Radio *r = fuzzenv::radio(data[0]);
    if (data[0] & 1) {
        // Filter for the SSID "lab".
        r->drv.filter_ssids =
            static_cast<wpa_driver_scan_filter *>(calloc(1, sizeof(wpa_driver_scan_filter)));
        memcpy(r->drv.filter_ssids[0].ssid, "lab", 3);
        r->drv.filter_ssids[0].ssid_len = 3;
        r->drv.num_filter_ssids = 1;
    }
    auto *res = static_cast<wpa_scan_results *>(calloc(1, sizeof(wpa_scan_results)));
    nl80211_bss_info_arg arg{&r->drv, res, 0, 0, {}};
    fuzzenv::each_message(data + 1, size - 1, [&](nlmsghdr *h) {
        if (reinterpret_cast<genlmsghdr *>(nlmsg_data(h))->cmd & 1)
            nl80211_survey_noise_handler(h, res);
        else
            nl80211_bss_info_handler(h, &arg);
    });
    for (size_t i = 0; i < res->num; i++) {
        const wpa_scan_res *s = res->res[i];
        volatile uint8_t sink = 0;
        const uint8_t *ies = wpa_scan_res_ies(s);
        for (size_t j = 0; j < s->ie_len + s->beacon_ie_len; j++)
            sink = sink + ies[j];
    }
    nl80211_free_scan_results(res);
    fuzzenv::release(r);
    return 0;
}
