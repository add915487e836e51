// The parsers inside the EAP tunnels: EAP-TLS framing and reassembly of fragments,
// PEAP TLVs and TTLS attribute-value pairs.
#include "wireless/core/wpabuf.h"
#include "wireless/crypto/tls.h"
#include "wireless/eap/eap_peap.h"
#include "wireless/eap/eap_tls_common.h"
#include "wireless/eap/eap_ttls.h"

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> copy(data, data + size);
    eap_peap_tlvs tlvs;
    if (eap_peap_parse_tlvs(copy.data(), copy.size(), &tlvs) == 0) {
        volatile uint8_t sink = 0;
        for (size_t i = 0; i < tlvs.result_len; i++)
            sink = sink + tlvs.result[i];
        for (size_t i = 0; i < tlvs.binding_len; i++)
            sink = sink + tlvs.binding[i];
    }
    eap_ttls_avps avps;
    if (eap_ttls_parse_avps(copy.data(), copy.size(), &avps) == 0) {
        volatile uint8_t sink = 0;
        for (size_t i = 0; i < avps.eapdata_len; i++)
            sink = sink + avps.eapdata[i];
        for (size_t i = 0; i < avps.mschapv2_len; i++)
            sink = sink + avps.mschapv2[i];
    }
    eap_ttls_avps_free(&avps);

    // EAP-TLS requests: 2-byte length, then an EAP packet; the TLS bytes go to a real
    // client connection once a message is complete.
    static tls_library_ctx *lib = tls_library_init(nullptr);
    eap_tls_data tls{};
    tls.ssl_ctx = lib;
    tls.conn = tls_conn_new(lib);
    tls.tls_out_limit = 1398;
    size_t pos = 0;
    while (pos + 2 <= size) {
        size_t len = size_t(data[pos]) << 8 | data[pos + 1];
        pos += 2;
        if (len > size - pos) len = size - pos;
        wpa_buf req;
        wpa_buf_set(&req, copy.data() + pos, len);
        pos += len;
        eap_method_ret ret{};
        size_t left;
        uint8_t flags;
        const uint8_t *p = eap_tls_parse_request(nullptr, &tls, EAP_TYPE_TLS, &ret, &req, &left, &flags);
        if (p == nullptr) continue;
        wpa_buf msg;
        wpa_buf_set(&msg, p, (flags & EAP_TLS_FLAGS_START) ? 0 : left);
        wpa_buf *out = nullptr;
        eap_tls_process_handshake(nullptr, &tls, EAP_TYPE_TLS, 0, 1, &msg, &out);
        wpa_buf_free(out);
    }
    eap_tls_conn_release(nullptr, &tls);
    return 0;
}
