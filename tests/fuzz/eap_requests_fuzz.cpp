// EAP requests from the authenticator, for every method: the input picks the method a
// network allows and then is a run of EAP packets (2-byte length each), delivered in
// EAPOL frames to a station port. EAPOL-Key frames (dynamic WEP) ride along.
#include "wireless/core/config.h"
#include "wireless/core/eloop.h"
#include "wireless/eap/eap_methods.h"
#include "wireless/eap/eapol_supp_sm.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int send_frame(void *, int, const uint8_t *buf, size_t len) {
    volatile uint8_t sink = 0;
    for (size_t i = 0; i < len; i++)
        sink = sink + buf[i];
    return 0;
}

int set_key(void *, int, int, const uint8_t *key, size_t len) {
    volatile uint8_t sink = 0;
    for (size_t i = 0; i < len; i++)
        sink = sink + key[i];
    return 0;
}

struct Port {
    wpa_config *conf;
    wpa_network *net;
    eapol_supp_sm *sm;
    Port() {
        eloop_init();
        eap_peer_register_methods();
        conf = wpa_config_alloc_empty("/var/wifi", nullptr);
        net = wpa_config_add_network(conf);
        wpa_config_set_network_defaults(net);
        wpa_config_set_network_field(net, "identity", "\"user\"", 0);
        wpa_config_set_network_field(net, "password", "\"secret\"", 0);
        // FAST provisions (its PAC store is a blob: the fuzzer never writes a file).
        wpa_config_set_network_field(net, "phase1", "\"fast_provisioning=3\"", 0);
        wpa_config_set_network_field(net, "pac_file", "\"blob://pac\"", 0);
        auto *cb = static_cast<eapol_supp_callbacks *>(calloc(1, sizeof(eapol_supp_callbacks)));
        cb->eapol_send = send_frame;
        cb->set_wep_key = set_key;
        sm = eapol_supp_create(cb);
    }
};

const char *const kMethods[] = {"MD5", "TLS", "MSCHAPV2", "PEAP", "TTLS", "GTC", "OTP", "LEAP", "FAST"};
const char *const kPhase2[] = {"\"auth=PAP\"",
                               "\"auth=MSCHAPV2\"",
                               "\"auth=CHAP\"",
                               "\"auth=MSCHAP\"",
                               "\"autheap=MD5\"",
                               "\"autheap=GTC\"",
                               "\"auth=MSCHAPV2 mschapv2_retry=0\""};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Port port;
    if (port.sm == nullptr || size < 3) return 0;
    wpa_config_set_network_field(port.net, "eap", kMethods[data[0] % 9], 0);
    wpa_config_set_network_field(port.net, "phase2", kPhase2[data[1] % 7], 0);
    eapol_supp_config ec{};
    ec.accept_802_1x_keys = 1;
    ec.workaround = data[2] & 1;
    eapol_supp_apply_config(port.sm, port.net, &ec);
    eapol_supp_set_port_enabled(port.sm, false);
    eapol_supp_set_port_enabled(port.sm, true);
    static const uint8_t src[6] = {2, 0, 0, 0, 0, 1};
    size_t pos = 3;
    while (pos + 2 <= size) {
        size_t len = (size_t(data[pos]) << 8 | data[pos + 1]) % 1600;
        pos += 2;
        if (len > size - pos) len = size - pos;
        // An EAPOL frame of its exact size, so that overreads show.
        std::vector<uint8_t> frame(4 + len);
        frame[0] = 2;
        frame[1] = (len > 0 && data[pos] == 0xff) ? 3 : 0;
        frame[2] = static_cast<uint8_t>(len >> 8);
        frame[3] = static_cast<uint8_t>(len);
        if (len > 0) memcpy(frame.data() + 4, data + pos, len);
        eapol_supp_rx_frame(port.sm, src, frame.data(), frame.size());
        pos += len;
    }
    return 0;
}
