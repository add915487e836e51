#include "core/sysroot.h"
#include "sim/sim_platform.h"
#include "sim/standins.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

// A stand-in that fails to start while the test asks for it.
std::atomic<bool> failStart{false};
sim::StandIn failing(
    "failing", [] { return failStart ? -1 : 0; }, [] {});

// The daemon returns from main when the platform does not start; nothing the failed start
// began may still run then (a joinable thread destroyed at exit aborts the process).
TEST(SimPlatform, AFailedStartLeavesNoControlSocketOrThreadBehind) {
    char dir[] = "/tmp/qmr-plat-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    setenv("QMR_ROOT", dir, 1);
    // The root is read once per process: run with the other tests in one process (not
    // one test a process, as ctest runs them), another test has fixed it already.
    if (sysRoot() != std::string(dir)) {
        rmdir(dir);
        GTEST_SKIP() << "the sandbox root was fixed by an earlier test of this process";
    }
    const std::string socket = sysPath("/run/sim.sock");

    failStart = true;
    EXPECT_NE(simPlatform().start(), 0);
    failStart = false;
    EXPECT_FALSE(std::filesystem::exists(socket));
    // Only one control thread may serve: a second start works only if the first is gone.
    ASSERT_EQ(simPlatform().start(), 0);
    EXPECT_TRUE(std::filesystem::exists(socket));
    simPlatform().stop();

    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

} // namespace
