// A supplicant "BSS" reply of any bytes: parsed into a scan entry, read only within it.
#include "net/wifi.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    WlanBss bss;
    if (wlan_parse_bss(reinterpret_cast<const char *>(data), size, bss)) {
        if (bss.ie.size() != static_cast<size_t>(bss.ieLength) || bss.ssid.size() > 4096) __builtin_trap();
    }
    return 0;
}
