// Scan results as a driver hands them over (any BSSID, frequency, signal, flags and
// element bytes): ranking, the BSS table and its listings must take every batch, keep
// each result once, and answer with bounded replies.
#include "wireless/common/ieee802_11_common.h"
#include "wireless/core/bss.h"
#include "wireless/core/ctrl_iface.h"
#include "wireless/core/scan.h"
#include "wireless/core/supplicant.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int token;
const uint8_t *batch_data;
size_t batch_size;

void *fuzz_init(void *, const char *) {
    return &token;
}

// One record: 6 BSSID bytes, frequency (2), level, noise, qual (1 each, signed), caps (2),
// flags (1), age (1), element length (2), elements. Lengths are cut to what is left.
wpa_scan_results *fuzz_results(void *) {
    auto *res = static_cast<wpa_scan_results *>(calloc(1, sizeof(wpa_scan_results)));
    if (res == nullptr) return nullptr;
    std::vector<wpa_scan_res *> list;
    const uint8_t *p = batch_data;
    size_t left = batch_size;
    while (left >= 17 && list.size() < 64) {
        size_t ie_len = static_cast<size_t>(p[15]) | static_cast<size_t>(p[16]) << 8;
        if (ie_len > left - 17) ie_len = left - 17;
        auto *r = static_cast<wpa_scan_res *>(calloc(1, sizeof(wpa_scan_res) + ie_len));
        if (r == nullptr) break;
        memcpy(r->bssid, p, 6);
        r->freq = 2400 + (p[6] | p[7] << 8);
        r->level = static_cast<int8_t>(p[8]);
        r->noise = static_cast<int8_t>(p[9]);
        r->qual = static_cast<int8_t>(p[10]);
        r->caps = static_cast<uint16_t>(p[11] | p[12] << 8);
        r->flags = p[13];
        r->age = static_cast<unsigned int>(p[14]) * 1000;
        // Part of the bytes goes to the beacon copy.
        r->ie_len = ie_len - ie_len / 4;
        r->beacon_ie_len = ie_len / 4;
        memcpy(r + 1, p + 17, ie_len);
        list.push_back(r);
        p += 17 + ie_len;
        left -= 17 + ie_len;
    }
    res->res = static_cast<wpa_scan_res **>(calloc(list.size() + 1, sizeof(wpa_scan_res *)));
    if (res->res == nullptr) {
        for (wpa_scan_res *r : list)
            free(r);
        free(res);
        return nullptr;
    }
    for (wpa_scan_res *r : list)
        res->res[res->num++] = r;
    return res;
}

const wpa_driver_ops fuzz_ops = [] {
    wpa_driver_ops ops{};
    ops.name = "fuzzscan";
    ops.desc = "fuzz";
    ops.init = fuzz_init;
    ops.get_scan_results = fuzz_results;
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
    wpa_iface *iface = supplicant_add_iface(global, &p, nullptr);
    if (iface) iface->conf->bss_max_count = 40;
    return iface;
}

void run(wpa_iface *iface, const char *text) {
    std::string cmd = text;
    size_t len = 0;
    char *reply = wpa_ctrl_iface_process(iface, cmd.data(), &len);
    if (reply == nullptr ? len != 1 : len >= 4096) abort();
    free(reply);
}

void check_table(wpa_iface *iface) {
    unsigned int n = 0;
    for (wpa_bss *b = iface->bss_first; b; b = b->next) {
        if (b->ssid_len > 32) abort();
        n++;
    }
    unsigned int m = 0;
    for (wpa_bss *b = iface->bss_id_first; b; b = b->id_next)
        m++;
    if (n != iface->num_bss || m != n) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static wpa_iface *iface = make_iface();
    if (iface == nullptr) abort();
    // Two batches from one input, so that refreshes and missed scans happen.
    size_t half = size / 2;
    batch_data = data;
    batch_size = half;
    wpa_scan_results *res = supplicant_get_scan_results(iface, nullptr, 1);
    if (res) {
        // Each result once, best first by the comparison's own account of neighbours.
        for (size_t i = 0; i < res->num; i++)
            for (size_t j = i + 1; j < res->num; j++)
                if (res->res[i] == res->res[j]) abort();
        wpa_scan_results_free(res);
    }
    batch_data = data + half;
    batch_size = size - half;
    supplicant_update_scan_results(iface);
    check_table(iface);
    run(iface, "SCAN_RESULTS");
    run(iface, "BSS RANGE=ALL");
    run(iface, "BSS FIRST");
    run(iface, "BSS LAST MASK=0x21fff");
    if (size % 3 == 0) run(iface, "BSS_FLUSH 0");
    check_table(iface);
    return 0;
}
