// Process-wide state of start-up, supervision and shutdown, written by whoever asks
// for a stop or restart and read by the supervision loop.
#pragma once

#include <atomic>
#include <cstdint>

// Shutdown types, which are also the exit status of the process.
enum ShutdownType : int {
    ShutdownPlain = 0,
    ShutdownCold = 2,
    ShutdownPowerOff = 3,
    ShutdownPurge = 9,
};

// The warm-start count from the environment variable "KickOff"; -1 when absent.
extern std::atomic<int> warmStarts;
// Crash count read from "/var/crashes" (raised when "/var/alive" was found at start).
extern std::atomic<int> crashCount;
// "/var/alive" existed at start: the previous run did not end through the shutdown path.
extern std::atomic<bool> crashedLastRun;
// The exit status the run ends with.
extern std::atomic<int> shutdownType;
// Raised by each SIGINT/SIGTERM, by each finished ShutDown task and by the power-off
// rule; the supervision loop starts one ShutDown task once it is above 0.
extern std::atomic<int> &shutdownCount;
// Number of SIGINT received, and tick of the last SIGINT or SIGTERM (0: none).
extern std::atomic<int> sigIntCount;
extern std::atomic<int64_t> shutdownRequestTick;
// Passes of the supervision loop.
extern std::atomic<int> loopCount;
// A wireless adapter was seen at start.
extern std::atomic<bool> wifiAdapterFound;
// Fixed service ports, set at start.
extern int httpPort, httpsPort, ippPort, snmpPort;

// Sets the shutdown type and starts one ShutDown task with the delay in seconds.
void requestShutdown(int type, int delaySeconds);
// Starts one ShutDown task and leaves the shutdown type as it stands.
void requestStop(int delaySeconds);
