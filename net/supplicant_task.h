// The task "Supplicant": runs the in-process supplicant on its own thread for one
// interface, from start to an orderly end.
#pragma once

#include "core/task.h"

#include <cstdint>

struct wpa_global;

class SupplicantTask : public Task {
public:
    static constexpr uint32_t StackSize = 0x20000;

    // driverByte 0: the wired 802.1X back end, anything else the wireless one.
    SupplicantTask(uint8_t driverByte, const char *ifname);

    void run() override;

    // The start text: the driver byte followed by the interface name (at most 31
    // characters) and a terminator.
    char startText[33];

private:
    static void pipeReadable(int fd, wpa_global *global, void *ctx);
};

// Starts the task once per process; false when it was started before or could not start.
bool start_supplicant(uint8_t driverByte, const char *ifname);
