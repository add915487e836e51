#include "sim/standins.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace sim {
namespace {

struct Entry {
    std::string name;
    std::function<int()> start;
    std::function<void()> stop;
    bool started = false;
};

std::vector<Entry> &entries() {
    static std::vector<Entry> list;
    return list;
}

} // namespace

StandIn::StandIn(const char *name, std::function<int()> start, std::function<void()> stop) {
    entries().push_back({name, std::move(start), std::move(stop)});
}

int startStandIns() {
    for (auto &e : entries()) {
        if (e.start && e.start() != 0) {
            std::fprintf(stderr, "sim: stand-in %s could not start\n", e.name.c_str());
            return -1;
        }
        e.started = true;
    }
    return 0;
}

void stopStandIns() {
    for (auto it = entries().rbegin(); it != entries().rend(); ++it) {
        if (it->started && it->stop) it->stop();
        it->started = false;
    }
}

} // namespace sim
