// The arguments of the scan, BSS, SET, capability, radio-work, random-address and
// vendor-element commands from any local client, against an interface whose table holds
// entries and whose back end scans: every text gets a bounded reply.
#include "wireless/common/ieee802_11_common.h"
#include "wireless/core/ctrl_iface.h"
#include "wireless/core/eloop.h"
#include "wireless/core/scan.h"
#include "wireless/core/supplicant.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int token;
void *fuzz_init(void *, const char *) {
    return &token;
}
int fuzz_scan(void *, wpa_driver_scan_params *) {
    return 0;
}
wpa_scan_results *fuzz_results(void *) {
    static const uint8_t ies[] = {0, 3, 'a',  'b',  'c', 48, 20, 1, 0,    0,    0x0f, 0xac, 4, 1,
                                  0, 0, 0x0f, 0xac, 4,   1,  0,  0, 0x0f, 0xac, 2,    0,    0};
    auto *res = static_cast<wpa_scan_results *>(calloc(1, sizeof(wpa_scan_results)));
    res->res = static_cast<wpa_scan_res **>(calloc(3, sizeof(wpa_scan_res *)));
    for (uint8_t i = 1; i <= 3; i++) {
        auto *r = static_cast<wpa_scan_res *>(calloc(1, sizeof(wpa_scan_res) + sizeof(ies)));
        const uint8_t b[6] = {2, 0, 0, 0, 0, i};
        memcpy(r->bssid, b, 6);
        r->freq = i == 3 ? 5180 : 2412;
        r->level = -40 - i;
        r->flags = 0x8;
        r->caps = 1;
        r->ie_len = sizeof(ies);
        memcpy(r + 1, ies, sizeof(ies));
        res->res[res->num++] = r;
    }
    return res;
}
hw_mode_info *fuzz_hw(void *, uint16_t *num, uint16_t *) {
    auto *modes = static_cast<hw_mode_info *>(calloc(1, sizeof(hw_mode_info)));
    modes[0].mode = HW_MODE_IEEE80211G;
    modes[0].num_channels = 2;
    modes[0].channels = static_cast<hw_channel_info *>(calloc(2, sizeof(hw_channel_info)));
    modes[0].channels[0] = {1, 2412, 0, 20, 0};
    modes[0].channels[1] = {6, 2437, 0x2, 20, 0};
    *num = 1;
    return modes;
}

const wpa_driver_ops fuzz_ops = [] {
    wpa_driver_ops ops{};
    ops.name = "fuzzscan";
    ops.desc = "fuzz";
    ops.init = fuzz_init;
    ops.scan = fuzz_scan;
    ops.get_scan_results = fuzz_results;
    ops.get_hw_feature_data = fuzz_hw;
    return ops;
}();
const wpa_driver_ops *const fuzz_drivers[] = {&fuzz_ops, nullptr};

wpa_iface *make_iface() {
    wpa_driver_list_set(fuzz_drivers);
    wpa_params params{};
    wpa_global *global = supplicant_init(&params);
    wpa_iface_params p{};
    p.ifname = "fuzz0";
    p.driver = "fuzzscan";
    return supplicant_add_iface(global, &p, nullptr);
}

void run(wpa_iface *iface, std::string cmd) {
    size_t len = 0;
    char *reply = wpa_ctrl_iface_process(iface, cmd.data(), &len);
    if (reply == nullptr ? len != 1 : len >= 4096) abort();
    free(reply);
}

const char *const words[] = {"SCAN ",
                             "BSS ",
                             "SET ",
                             "GET_CAPABILITY ",
                             "RADIO_WORK ",
                             "MAC_RAND_SCAN ",
                             "VENDOR_ELEM_ADD ",
                             "VENDOR_ELEM_REMOVE ",
                             "VENDOR_ELEM_GET ",
                             "BSS_FLUSH ",
                             "BSS_EXPIRE_AGE ",
                             "BSS_EXPIRE_COUNT ",
                             "STATUS",
                             "SIGNAL_MONITOR",
                             "INTERFACES",
                             "VENDOR ",
                             "GET_PREF_FREQ_LIST "};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static wpa_iface *iface = make_iface();
    if (iface == nullptr || size == 0) return 0;
    supplicant_update_scan_results(iface);
    // The first byte picks the command word; the rest is its argument, one per line.
    const char *word = words[data[0] % (sizeof(words) / sizeof(words[0]))];
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1 < 4000 ? size - 1 : 4000);
    text = text.c_str();
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        run(iface, std::string(word) + text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    // Let queued works and scans run, then put the settings back.
    eloop_run_due(60, 0);
    run(iface, "RADIO_WORK done 0");
    run(iface, "SET bssid_filter ");
    run(iface, "SET setband AUTO");
    run(iface, "VENDOR_ELEM_REMOVE 14 *");
    return 0;
}
