// The arguments of BLACKLIST and "BSSID " from any local client: every text gets a bounded
// reply, the list keeps well-formed addresses only, and a network's BSSID changes only on
// an accepted command.
#include "wireless/core/config.h"
#include "wireless/core/connect.h"
#include "wireless/core/ctrl_iface.h"
#include "wireless/core/supplicant.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int token;
void *fuzz_init(void *, const char *) {
    return &token;
}

const wpa_driver_ops fuzz_ops = [] {
    wpa_driver_ops ops{};
    ops.name = "fuzz";
    ops.desc = "fuzz";
    ops.init = fuzz_init;
    return ops;
}();
const wpa_driver_ops *const fuzz_drivers[] = {&fuzz_ops, nullptr};

wpa_iface *make_iface() {
    wpa_driver_list_set(fuzz_drivers);
    wpa_params params{};
    wpa_global *global = supplicant_init(&params);
    wpa_iface_params p{};
    p.ifname = "fuzz0";
    p.driver = "fuzz";
    return supplicant_add_iface(global, &p, nullptr);
}

std::string run(wpa_iface *iface, std::string cmd) {
    size_t len = 0;
    char *reply = wpa_ctrl_iface_process(iface, cmd.data(), &len);
    if (reply == nullptr ? len != 1 : len >= 4096) abort();
    std::string out = reply ? std::string(reply, len) : "FAIL\n";
    free(reply);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static wpa_iface *iface = make_iface();
    if (iface == nullptr) abort();
    if (iface->conf->ssid == nullptr && run(iface, "ADD_NETWORK") != "0\n") abort();
    wpa_network *ssid = iface->conf->ssid;
    std::string text(reinterpret_cast<const char *>(data), size < 4000 ? size : 4000);
    text = text.c_str();

    // The first byte picks the word; the rest is its argument.
    bool bssid_word = !text.empty() && (text[0] & 1);
    std::string arg = text.empty() ? "" : text.substr(1);
    uint8_t before[6];
    memcpy(before, ssid->bssid, 6);
    std::string reply = run(iface, (bssid_word ? "BSSID " : "BLACKLIST") + arg);
    if (reply != "OK\n" && reply != "FAIL\n" && !(!bssid_word && arg.empty())) abort();
    if (bssid_word) {
        if (reply == "FAIL\n" && memcmp(before, ssid->bssid, 6) != 0) abort();
        static const uint8_t zero[6] = {};
        if (ssid->bssid_set != (memcmp(ssid->bssid, zero, 6) != 0)) abort();
    }

    // The list: one "xx:xx:xx:xx:xx:xx\n" line per entry, every entry counted at least once.
    reply = run(iface, "BLACKLIST");
    size_t entries = 0;
    for (wpa_blacklist *e = iface->blacklist; e; e = e->next, entries++)
        if (e->count < 1) abort();
    if (reply.size() != entries * 18) abort();
    for (size_t i = 0; i < reply.size(); i += 18)
        if (reply[i + 2] != ':' || reply[i + 17] != '\n') abort();
    if (run(iface, "BLACKLIST clear") != "OK\n" || iface->blacklist != nullptr) abort();
    return 0;
}
