// EAP messages from a peer: the header checks must stay inside the message for any bytes,
// and a payload they hand out must lie wholly inside the message and its header length.
#include "wireless/common/eap_common.h"
#include "wireless/core/wpabuf.h"

#include <cstdlib>
#include <initializer_list>
#include <utility>

namespace {
volatile uint8_t sink;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    wpa_buf *msg = wpa_buf_alloc_copy(data, size);
    if (msg == nullptr) return 0;
    for (size_t min : {size_t(0), size_t(1), size_t(8), size_t(0xffff)}) {
        if (eap_hdr_len_valid(msg, min) && size < 4 + min) std::abort();
    }
    // Ask for the standard type in byte 4 and for the vendor type in bytes 5..11.
    const uint32_t type = size > 4 ? data[4] : 1;
    const int vendor = size > 7 ? (data[5] << 16) | (data[6] << 8) | data[7] : 0;
    const uint32_t vtype =
        size > 11 ? (uint32_t(data[8]) << 24) | (data[9] << 16) | (data[10] << 8) | data[11] : 0;
    for (auto [v, t] : {std::pair<int, uint32_t>{0, type}, {vendor, vtype}}) {
        size_t plen = 0;
        const uint8_t *payload = eap_hdr_validate(v, t, msg, &plen);
        if (payload == nullptr) continue;
        const uint8_t *head = wpa_buf_head(msg);
        if (payload < head + 5 || payload + plen > head + wpa_buf_len(msg)) std::abort();
        uint8_t x = 0;
        for (size_t i = 0; i < plen; i++)
            x ^= payload[i];
        sink = x;
    }
    sink = eap_get_id(msg);
    sink = static_cast<uint8_t>(eap_get_type(msg));
    eap_update_len(msg);
    if (size >= 4 && size <= 0xffff && !eap_hdr_len_valid(msg, 0)) std::abort();
    wpa_buf_free(msg);
    return 0;
}
