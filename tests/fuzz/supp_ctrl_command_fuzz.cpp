// Control datagrams from any local client: the per-interface command processor must
// answer every text with a bounded reply and keep the interface consistent.
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

void run(wpa_iface *iface, std::string cmd) {
    size_t len = 0;
    char *reply = wpa_ctrl_iface_process(iface, cmd.data(), &len);
    if (reply == nullptr ? len != 1 : len >= 4096) abort();
    free(reply);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static wpa_iface *iface = make_iface();
    if (iface == nullptr) abort();
    // The socket layer hands over at most 4095 bytes, terminated.
    std::string text(reinterpret_cast<const char *>(data), size < 4095 ? size : 4095);
    text = text.c_str();
    // Several commands per input, one per line, so that sequences are explored.
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        run(iface, text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    run(iface, "FLUSH");
    return 0;
}
