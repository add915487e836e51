#include "core/ticks.h"

#include <atomic>
#include <ctime>

static std::atomic<TickSource> tickSource{nullptr};

static int64_t monotonicTicks() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 100 + ts.tv_nsec / 10000000;
}

int64_t sysTicks() {
    TickSource source = tickSource.load(std::memory_order_acquire);
    return source ? source() : monotonicTicks();
}

void setTickSource(TickSource source) {
    tickSource.store(source, std::memory_order_release);
}
