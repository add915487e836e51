// Neighbor report answers from the access point: the element walk must stay inside the
// bytes received, whatever the element and subelement lengths say.
#include "wireless/core/ctrl_scan.h"
#include "wireless/core/supplicant.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/core/wpabuf.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static wpa_iface *iface = [] {
        auto *w = static_cast<wpa_iface *>(calloc(1, sizeof(wpa_iface)));
        strcpy(w->ifname, "fuzz0");
        return w;
    }();
    // An exact-size copy, so that a read past the answer is caught.
    auto *copy = static_cast<uint8_t *>(malloc(size ? size : 1));
    if (copy == nullptr) return 0;
    if (size) memcpy(copy, data, size);
    wpa_buf view{};
    wpa_buf_set(&view, copy, size);
    wpa_ctrl_iface_neighbor_rep_cb(iface, &view);
    free(copy);
    return 0;
}
