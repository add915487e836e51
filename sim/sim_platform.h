// The stand-in platform: the daemon's device, mount and clock calls land here when it
// runs with QMR_PLATFORM=sim.
#pragma once

#include "core/platform.h"

Platform &simPlatform();
