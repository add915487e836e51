// The driver list in slot order. The nl80211 and wireless-extensions back ends keep their
// places with empty tables until they land: selecting one finds no init and fails.
#include "wireless/core/driver.h"
#include "wireless/drivers/driver_wired.h"

namespace {

const wpa_driver_ops nl80211_ops = [] {
    wpa_driver_ops ops{};
    ops.name = "nl80211";
    ops.desc = "Linux nl80211/cfg80211";
    return ops;
}();

const wpa_driver_ops wext_ops = [] {
    wpa_driver_ops ops{};
    ops.name = "wext";
    ops.desc = "Linux wireless extensions (generic)";
    return ops;
}();

} // namespace

extern const wpa_driver_ops *const wpa_builtin_drivers[] = {&nl80211_ops, &wext_ops, &wpa_driver_wired_ops,
                                                            nullptr};
