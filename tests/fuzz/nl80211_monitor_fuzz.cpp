// Frames of the monitor interface: radiotap header, FCS and 802.11 header are read
// within the frame, short frames are dropped.
#include "nl80211_fuzz_env.h"

#include <netlink/msg.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzzenv::Radio *r = fuzzenv::radio(0);
    std::vector<uint8_t> copy(data, data + size); // exact size: overreads show
    nl80211_monitor_frame(&r->drv, copy.data(), copy.size());
    fuzzenv::release(r);
    return 0;
}
