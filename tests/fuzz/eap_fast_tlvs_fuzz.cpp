// The EAP-FAST TLVs of a tunnelled request and the PAC attributes of a PAC TLV: both are
// read from exact-size copies, so that a read past a length shows.
#include "wireless/eap/eap_fast.h"
#include "wireless/eap/eap_fast_pac.h"

#include <cstring>
#include <vector>

namespace {

void touch(const uint8_t *p, size_t len) {
    volatile uint8_t sink = 0;
    for (size_t i = 0; p != nullptr && i < len; i++)
        sink = sink + p[i];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> copy(data, data + size);
    eap_fast_tlvs tlvs;
    if (eap_fast_parse_tlvs(copy.data(), copy.size(), &tlvs) == 0) {
        touch(tlvs.eap_payload, tlvs.eap_payload_len);
        touch(tlvs.crypto_binding, tlvs.crypto_binding_len);
        if (tlvs.crypto_binding != nullptr) touch(tlvs.crypto_binding - 4, 60);
        touch(tlvs.pac, tlvs.pac_len);
        if (tlvs.pac != nullptr) {
            std::vector<uint8_t> pac(tlvs.pac, tlvs.pac + tlvs.pac_len);
            eap_fast_pac entry;
            if (eap_fast_parse_pac_tlv(pac.data(), pac.size(), &entry) == 0) {
                touch(entry.pac_opaque, entry.pac_opaque_len);
                touch(entry.pac_info, entry.pac_info_len);
                touch(entry.a_id, entry.a_id_len);
                touch(entry.i_id, entry.i_id_len);
                touch(entry.a_id_info, entry.a_id_info_len);
            }
        }
    }
    eap_fast_pac entry;
    if (eap_fast_parse_pac_tlv(copy.data(), copy.size(), &entry) == 0) {
        touch(entry.a_id, entry.a_id_len);
        touch(entry.a_id_info, entry.a_id_info_len);
    }
    return 0;
}
