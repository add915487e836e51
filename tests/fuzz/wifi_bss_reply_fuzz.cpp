// A supplicant "BSS" reply of any bytes: parsed into a scan entry, read only within it,
// and written by the status page (which reads its elements only within their bytes).
#include "net/wifi.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {
void discard(void *context, const char *, size_t length) {
    *static_cast<size_t *>(context) += length;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    WlanBss bss;
    if (!wlan_parse_bss(text, size, bss)) return 0;
    if (bss.ie.size() != static_cast<size_t>(bss.ieLength)) __builtin_trap();
    {
        std::lock_guard lock(wlanListLock);
        wlanBssList.clear();
        wlanBssList.push_back(bss);
    }
    size_t written = 0;
    WlanPageSink sink{&written, discard};
    wifi_info_page(sink, std::string(text, size), WlanPageHooks{});
    std::lock_guard lock(wlanListLock);
    wlanBssList.clear();
    return 0;
}
