// SET_NETWORK values: every field parser takes any text, and whatever a writer prints is
// accepted again by its parser.
#include "wireless/core/config.h"

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    static wpa_config *conf = wpa_config_alloc_empty("/var/wifi", nullptr);
    const char *name = wpa_config_network_field_name(data[0] % wpa_config_network_field_count());
    std::string value(reinterpret_cast<const char *>(data + 1), size - 1);
    value = value.c_str();

    wpa_network *net = wpa_config_add_network(conf);
    wpa_config_set_network_defaults(net);
    int r = wpa_config_set_network_field(net, name, value.c_str(), 0);
    if (r < -1 || r > 1) abort();
    char *raw = wpa_config_get_network_field_raw(net, name);
    if (raw != nullptr) {
        if (wpa_config_set_network_field(net, name, raw, 0) < 0) abort();
        free(raw);
    }
    free(wpa_config_get_network_field(net, name));
    wpa_config_update_psk(net);
    wpa_config_remove_network(conf, net->id);

    // A global option line of the same bytes.
    std::string line = value;
    wpa_config_process_global(conf, line.data(), 0);
    char buf[8192];
    wpa_config_dump_values(conf, buf, sizeof(buf));
    return 0;
}
