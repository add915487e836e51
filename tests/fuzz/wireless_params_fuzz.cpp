// Configuration texts of the wireless code: a WMM access-category parameter (name and
// value) and a wake-on-WLAN trigger list. Both parsers must accept or refuse any text
// without reading past it, and a refused WMM value must leave the table unchanged.
#include "wireless/common/ieee802_11_common.h"

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    const size_t eq = text.find('=');
    const std::string name = text.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : text.substr(eq + 1);

    wmm_ac_params ac[4];
    memset(ac, 0x5a, sizeof(ac));
    wmm_ac_params before[4];
    memcpy(before, ac, sizeof(ac));
    const int r = apd_config_wmm_ac(ac, name.c_str(), value.c_str());
    if (r != 0 && r != -1) std::abort();
    if (r != 0 && memcmp(before, ac, sizeof(ac)) != 0) std::abort();

    wowlan_triggers capa;
    memset(&capa, size > 0 ? data[0] & 1 : 1, sizeof(capa));
    wowlan_triggers *t = parse_wowlan_triggers(text.c_str(), &capa);
    if (t != nullptr) {
        // Only triggers the driver supports may be set.
        const uint8_t *set = reinterpret_cast<const uint8_t *>(t);
        const uint8_t *supported = reinterpret_cast<const uint8_t *>(&capa);
        for (size_t i = 0; i < sizeof(capa); i++) {
            if (set[i] && !supported[i]) std::abort();
        }
        free(t);
    }
    return 0;
}
