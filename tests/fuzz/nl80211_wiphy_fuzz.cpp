// Wiphy dumps (whole or split) and regulatory answers through the capability reader and
// the hardware-mode builder: capabilities, bands, channels, rates and rules are read
// within their attributes and the modes built are freed whole.
#include "nl80211_fuzz_env.h"

#include "wireless/common/ieee802_11_common.h"
#include <netlink/msg.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    fuzzenv::Radio *r = fuzzenv::radio(data[0]);
    fuzzenv::each_message(data + 1, size - 1, [&](nlmsghdr *h) {
        uint8_t cmd = reinterpret_cast<genlmsghdr *>(nlmsg_data(h))->cmd;
        std::vector<uint8_t> m(reinterpret_cast<uint8_t *>(h), reinterpret_cast<uint8_t *>(h) + h->nlmsg_len);
        fuzzenv::script(cmd == NL80211_CMD_GET_REG ? NL80211_CMD_GET_REG : NL80211_CMD_GET_WIPHY)
            .push_back(m);
    });
    nl80211_capabilities(&r->drv);
    uint16_t num = 0, flags = 0;
    hw_mode_info *modes = nl80211_get_hw_feature_data(&r->bss, &num, &flags);
    for (uint16_t i = 0; modes && i < num; i++) {
        volatile int sink = 0;
        for (int c = 0; c < modes[i].num_channels; c++)
            sink = sink + modes[i].channels[c].freq;
        for (int c = 0; c < modes[i].num_rates; c++)
            sink = sink + modes[i].rates[c];
    }
    nl80211_free_hw_features(modes, num);
    fuzzenv::release(r);
    return 0;
}
