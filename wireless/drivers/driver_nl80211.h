// The nl80211 back end: the kernel's nl80211 generic-netlink family through libnl.
#pragma once

#include "wireless/core/driver.h"

extern const wpa_driver_ops wpa_driver_nl80211_ops;
