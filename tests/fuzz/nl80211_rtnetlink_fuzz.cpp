// Link messages for the nl80211 back end: names, masters and bridge pairs read from the
// attributes within their lengths.
#include "nl80211_fuzz_env.h"

#include "wireless/drivers/linux_ioctl.h"
#include <netlink/msg.h>

#include <linux/rtnetlink.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    fuzzenv::Radio *r = fuzzenv::radio(data[0]);
    netlink_config cfg{&r->global, nl80211_rtm_newlink, nl80211_rtm_dellink};
    std::vector<uint8_t> copy(data + 1, data + size); // exact size: overreads show
    netlink_receive_buffer(&cfg, copy.data(), copy.size());
    fuzzenv::release(r);
    return 0;
}
