// Radiotap headers from the monitor interface: the walk never leaves the header.
#include "wireless/drivers/radiotap.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> copy(data, data + size); // exact size: overreads show
    radiotap_iterator it;
    if (radiotap_iterator_init(&it, copy.data(), copy.size()) != 0) return 0;
    int res;
    while ((res = radiotap_iterator_next(&it)) == 0) {
        if (it.this_arg < copy.data() || it.this_arg + it.this_arg_size > copy.data() + it.hdr_len) abort();
        volatile uint8_t sink = 0;
        for (int i = 0; i < it.this_arg_size; i++)
            sink = sink + it.this_arg[i];
    }
    if (res != -2 && res != -22) abort();
    return 0;
}
