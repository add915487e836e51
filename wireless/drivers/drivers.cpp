// The driver list in slot order. The wireless-extensions back end keeps its place with an
// empty table until it lands: selecting it finds no init and fails.
#include "wireless/core/driver.h"
#include "wireless/drivers/driver_nl80211.h"
#include "wireless/drivers/driver_wired.h"

namespace {

const wpa_driver_ops wext_ops = [] {
    wpa_driver_ops ops{};
    ops.name = "wext";
    ops.desc = "Linux wireless extensions (generic)";
    return ops;
}();

} // namespace

extern const wpa_driver_ops *const wpa_builtin_drivers[] = {&wpa_driver_nl80211_ops, &wext_ops,
                                                            &wpa_driver_wired_ops, nullptr};
