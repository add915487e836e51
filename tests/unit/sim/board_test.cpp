// The simulated board's tick counter: it counts from the board's power-up, which is
// when the daemon installs it, as the appliance's counter counts from its own.

#include "sim/board.h"
#include "sim/control.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

namespace {

// The host's monotonic clock in 10-ms ticks (its uptime).
int64_t hostTicks() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 100 + ts.tv_nsec / 10000000;
}

TEST(SimBoard, TicksCountFromPowerUpNotFromTheHostsStart) {
    int64_t before = hostTicks();
    sim::board::install();
    int64_t counted = sim::board::counter();
    int64_t elapsed = hostTicks() - before;
    EXPECT_GE(counted, 0);
    // At most the time since install (one tick for the rounding of both clocks).
    EXPECT_LE(counted, elapsed + 1) << "host uptime " << before;

    // The control socket shows the same count, and advances add to it.
    std::string state = sim::execute("ticks advance 500");
    EXPECT_EQ(state.rfind("ticks ", 0), 0u) << state;
    EXPECT_GE(std::stoll(state.substr(6)), 500);
    EXPECT_LE(sim::board::counter(), 500 + (hostTicks() - before) + 1);

    // A fresh make-up of the board leaves the counter running: it never goes back.
    int64_t last = sim::board::counter();
    sim::board::reset();
    EXPECT_GE(sim::board::counter(), last);

    // Installed again (the daemon starts again): from 0 again.
    sim::board::uninstall();
    before = hostTicks();
    sim::board::install();
    counted = sim::board::counter();
    EXPECT_LE(counted, hostTicks() - before + 1);
    sim::board::uninstall();
}

} // namespace
