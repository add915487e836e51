// The process-wide run state of core/master.h and the ways to ask for a stop.
#include "core/master.h"

#include "core/task.h"

std::atomic<int> warmStarts{-1};
std::atomic<int> crashCount{0};
std::atomic<bool> crashedLastRun{false};
std::atomic<int> shutdownType{ShutdownPlain};
std::atomic<int> &shutdownCount = shutdownCounter;
std::atomic<int> sigIntCount{0};
std::atomic<int64_t> shutdownRequestTick{0};
std::atomic<int> loopCount{0};
std::atomic<bool> wifiAdapterFound{false};
int httpPort = -1, httpsPort = -1, ippPort = -1, snmpPort = -1;

void requestStop(int delaySeconds) {
    startShutDown(delaySeconds);
}

void requestShutdown(int type, int delaySeconds) {
    shutdownType = type;
    requestStop(delaySeconds);
}
