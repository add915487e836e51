// nlsim's radio configuration reader: any text is read or refused with a reason; a
// configuration it takes must give wiphy dumps (whole and split) that parse again.
#include "sim/nlsim/sim.h"

#include <cstddef>
#include <cstdint>
#include <linux/netlink.h>
#include <linux/nl80211.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    nlsim::Links l;
    l.unicast = [](uint32_t, const std::vector<uint8_t> &m) {
        for (const auto &r : nlsim::parseDatagram(m.data(), m.size()))
            if (r.type >= NLMSG_MIN_TYPE && !r.attrsOk) __builtin_trap();
    };
    l.multicast = [](uint32_t, const std::vector<uint8_t> &) {};
    l.create = [](const std::string &, const uint8_t *, bool, int &fd, uint32_t &ifindex) {
        fd = -1;
        ifindex = 3;
        return 0;
    };
    l.nowMs = [] { return uint64_t(1000); };
    nlsim::Sim sim(l);
    if (!sim.configure(std::string(reinterpret_cast<const char *>(data), size)).empty()) return 0;
    if (!sim.start().empty()) return 0;
    for (uint16_t flags : {uint16_t(NLM_F_REQUEST | NLM_F_ACK), uint16_t(NLM_F_REQUEST | NLM_F_DUMP)}) {
        nlsim::Builder b(sim.familyId, flags, 1, 100);
        b.genl(NL80211_CMD_GET_WIPHY);
        b.u32(NL80211_ATTR_WIPHY, 0);
        b.flag(NL80211_ATTR_SPLIT_WIPHY_DUMP);
        const auto &m = b.bytes();
        sim.receive(100, m.data(), m.size());
    }
    sim.stop();
    return 0;
}
