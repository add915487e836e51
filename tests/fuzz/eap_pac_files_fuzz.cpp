// PAC files as they come from the file system or a blob: the text and the binary reader.
#include "wireless/eap/eap_fast_pac.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> copy(data, data + size); // exact size: overreads show
    eap_fast_pac *list = nullptr;
    eap_fast_parse_pac_text(&list, copy.data(), copy.size());
    eap_fast_parse_pac_binary(&list, copy.data(), copy.size());
    volatile uint8_t sink = 0;
    for (eap_fast_pac *p = list; p != nullptr; p = p->next) {
        for (size_t i = 0; i < p->a_id_len; i++)
            sink = sink + p->a_id[i];
        for (size_t i = 0; i < p->pac_info_len; i++)
            sink = sink + p->pac_info[i];
    }
    eap_fast_trim_pac_list(list, 1);
    eap_fast_free_pac_list(list);
    return 0;
}
