// A status text of any bytes: every value is read within the text and copied within the
// output.
#include "net/wifi.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    char out[129];
    wlan_get_ssid(text.data(), text.size(), out, sizeof out);
    wlan_get_state(text.data(), text.size(), out, sizeof out);
    wlan_get_uuid(text.data(), text.size(), out, 1);
    int freq = 0, channel = 0, level = 0, noise = 0;
    wlan_get_freq(text.c_str(), &freq, &channel);
    wlan_get_level(text.c_str(), &level, &noise);
    return 0;
}
