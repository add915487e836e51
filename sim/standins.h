// The stand-ins of the simulated platform and how the platform reaches them.
#pragma once

#include <cstdint>
#include <functional>
#include <sys/time.h>

namespace sim {

// Each stand-in registers its start and stop work with a static StandIn object in its
// own file; the simulated platform runs them, in registration order, when the daemon
// starts and stops.
struct StandIn {
    StandIn(const char *name, std::function<int()> start, std::function<void()> stop);
};
int startStandIns();
void stopStandIns();

// Network stand-ins (sim/net.cpp): VLAN sub-interfaces and PHY registers.
int netVlanAdd(const char *ifname, int vlanId);
int netVlanDel(const char *vlanIfname);
int netPhyRead(const char *ifname, int phyAddress, int reg, int *value);

// Clock stand-in (sim/clock.cpp): the appliance's wall clock, set and read.
int clockSet(const struct timeval *tv);
int clockRead(struct timeval *tv);

// USB stand-in (sim/uevent.cpp): the uevent socket.
int usbUeventOpen();

// nlsim (sim/nlsim_run.cpp): the netlink port of the running nlsim, 0 when none runs.
uint32_t nlsimPort();

} // namespace sim
