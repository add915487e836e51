// The daemon's entry: start-up, supervision and shutdown.

#include "core/platform.h"
#include "core/sysroot.h"
#include "core/task.h"
#include "sim/sim_platform.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

volatile sig_atomic_t stopRequests = 0;

void onStopSignal(int)
{
    stopRequests = stopRequests + 1;
}

} // namespace

int main()
{
    Platform &board = simPlatformWanted() ? simPlatform() : linuxPlatform();
    setPlatform(board);

    struct sigaction sa{};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    if (board.start() != 0) {
        std::printf("*** ERROR platform \"%s\" could not start ***\n", board.name());
        return 1;
    }
    std::printf("qmr: platform %s, root %s\n", board.name(), sysRoot().empty() ? "/" : sysRoot().c_str());
    if (simPlatformWanted())
        std::printf("qmr: simulated board and devices on %s\n", sysPath("/run/sim.sock").c_str());
    std::fflush(stdout);

    while (stopRequests == 0)
        pause();

    board.stop();
    std::printf("qmr: stopped\n");
    return 0;
}
