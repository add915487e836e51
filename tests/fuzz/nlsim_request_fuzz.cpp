// nlsim's request parser and the model behind it: any datagram a client sends, and
// any control line, must be answered or refused without a fault. The input is cut
// into parts at 0xFF 0xFE: parts starting with 'C' are control lines, the others
// datagrams from one of two ports; time moves by a second between parts, so scans,
// authentication retries, scheduled-scan cycles, link-quality checks and lost APs run
// too.
#include "sim/nlsim/sim.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <linux/netlink.h>
#include <linux/nl80211.h>

namespace {

uint64_t clockMs = 1000;
uint32_t nextIndex = 10;

nlsim::Links stubLinks() {
    nlsim::Links l;
    l.unicast = [](uint32_t, const std::vector<uint8_t> &m) {
        // Every answer must itself parse.
        nlsim::parseDatagram(m.data(), m.size());
    };
    l.multicast = [](uint32_t group, const std::vector<uint8_t> &m) {
        if (group < 1 || group > 32) __builtin_trap();
        nlsim::parseDatagram(m.data(), m.size());
    };
    l.create = [](const std::string &, const uint8_t *, bool, int &fd, uint32_t &ifindex) {
        fd = -1;
        ifindex = nextIndex++;
        return 0;
    };
    l.destroy = [](int) {};
    l.isUp = [](const std::string &name) { return name.size() % 2 == 1; };
    l.carrier = [](int, bool) {};
    l.apTap = [](const nlsim::Ap &) { return -1; };
    l.identity = [](uint32_t port) { return uint64_t(port) * 7; };
    l.liveSockets = [] { return std::map<uint32_t, uint64_t>{{100, 700}}; };
    l.nowMs = [] { return clockMs; };
    return l;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    clockMs = 1000;
    nlsim::Sim sim(stubLinks());
    // A radio with scheduled scans, so their requests reach the parser behind the limits.
    if (!sim.configure("sched-scan 4 2 2 100 10\nnoise -90 1-6\n").empty() || !sim.start().empty()) return 0;
    sim.control("ap add a bssid=02:00:00:00:aa:01 ssid=lab freq=2437");
    sim.control("ap add b bssid=02:00:00:00:aa:02 ssid=lab freq=5180 silent=1");
    size_t start = 0;
    int part = 0;
    for (size_t k = 0; k <= size; k++) {
        bool cut = k == size || (k + 1 < size && data[k] == 0xFF && data[k + 1] == 0xFE);
        if (!cut) continue;
        const uint8_t *p = data + start;
        size_t n = k - start;
        if (n > 0 && p[0] == 'C')
            sim.control(std::string(reinterpret_cast<const char *>(p + 1), n - 1));
        else
            sim.receive(part % 2 ? 100 : 200, p, n);
        clockMs += 1000;
        sim.tick();
        part++;
        start = k + 2;
        k++;
    }
    sim.stop();
    return 0;
}
