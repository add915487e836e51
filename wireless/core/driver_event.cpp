#include "wireless/core/driver.h"

#include "wireless/core/bgscan.h"
#include "wireless/core/bss.h"
#include "wireless/core/scan.h"
#include "wireless/core/sched_scan.h"
#include "wireless/core/supplicant.h"
#include "wireless/core/wpa_msg.h"

#include <atomic>

// The back ends of this build, in slot order.
extern const wpa_driver_ops *const wpa_builtin_drivers[];

namespace {

const wpa_driver_ops *const *driver_list = nullptr;
supplicant_event_observer observer = nullptr;
wpa_global *event_global = nullptr;

// The interface a back end's context names, when it is one of the running supplicant's:
// a back end driven on its own (a tool, a test) reports with a context of its own, and a
// late report may name an interface already removed.
wpa_iface *known_iface(void *ctx) {
    for (wpa_iface *w = event_global && ctx ? event_global->ifaces : nullptr; w; w = w->next)
        if (w == ctx) return w;
    return nullptr;
}

const char *const event_names[] = {
    "ASSOC",
    "DISASSOC",
    "MICHAEL_MIC_FAILURE",
    "SCAN_RESULTS",
    "ASSOCINFO",
    "INTERFACE_STATUS",
    "PMKID_CANDIDATE",
    "STKSTART",
    "TDLS",
    "FT_RESPONSE",
    "IBSS_RSN_START",
    "AUTH",
    "DEAUTH",
    "ASSOC_REJECT",
    "AUTH_TIMED_OUT",
    "ASSOC_TIMED_OUT",
    "WPS_BUTTON_PUSHED",
    "TX_STATUS",
    "RX_FROM_UNKNOWN",
    "RX_MGMT",
    "REMAIN_ON_CHANNEL",
    "CANCEL_REMAIN_ON_CHANNEL",
    "RX_PROBE_REQ",
    "NEW_STA",
    "EAPOL_RX",
    "SIGNAL_CHANGE",
    "INTERFACE_ENABLED",
    "INTERFACE_DISABLED",
    "CHANNEL_LIST_CHANGED",
    "INTERFACE_UNAVAILABLE",
    "BEST_CHANNEL",
    "UNPROT_DEAUTH",
    "UNPROT_DISASSOC",
    "STATION_LOW_ACK",
    "IBSS_PEER_LOST",
    "DRIVER_GTK_REKEY",
    "SCHED_SCAN_STOPPED",
    "DRIVER_CLIENT_POLL_OK",
    "EAPOL_TX_STATUS",
    "CH_SWITCH",
    "WNM",
    "CONNECT_FAILED_REASON",
    "DFS_RADAR_DETECTED",
    "DFS_CAC_FINISHED",
    "DFS_CAC_ABORTED",
    "DFS_NOP_FINISHED",
    "SURVEY",
    "SCAN_STARTED",
    "AVOID_FREQUENCIES",
    "NEW_PEER_CANDIDATE",
    "ACS_CHANNEL_SELECTED",
    "DFS_CAC_STARTED",
    "P2P_LO_STOP",
};
static_assert(sizeof(event_names) / sizeof(event_names[0]) == EVENT_P2P_LO_STOP + 1,
              "one name per event code");

} // namespace

const char *event_to_string(wpa_event_type event) {
    if (event < 0 || event > EVENT_P2P_LO_STOP) return "UNKNOWN";
    return event_names[event];
}

const wpa_driver_ops *const *wpa_driver_list() {
    return driver_list ? driver_list : wpa_builtin_drivers;
}

void wpa_driver_list_set(const wpa_driver_ops *const *list) {
    driver_list = list;
}

size_t wpa_driver_count() {
    size_t n = 0;
    for (const wpa_driver_ops *const *d = wpa_driver_list(); d && d[n]; n++) {
    }
    return n;
}

void supplicant_event(void *ctx, wpa_event_type event, union wpa_event_data *data) {
    if (observer) observer(ctx, event, data);
    wpa_iface *iface = known_iface(ctx);
    if (iface == nullptr) return;
    // The codes of scanning act here; the others land with the connection logic.
    switch (event) {
    case EVENT_SCAN_RESULTS:
        if (iface->wpa_state == WPA_INTERFACE_DISABLED) break;
        supplicant_scan_results_event(iface, data ? &data->scan_info : nullptr);
        break;
    case EVENT_SCAN_STARTED:
        supplicant_scan_started_event(iface);
        break;
    case EVENT_SCHED_SCAN_STOPPED:
        supplicant_sched_scan_stopped(iface);
        break;
    case EVENT_SIGNAL_CHANGE: {
        if (data == nullptr) break;
        auto &sc = data->signal_change;
        wpa_msg_iface(iface, MSG_INFO, "CTRL-EVENT-SIGNAL-CHANGE above=%d signal=%d noise=%d txrate=%d",
                      sc.above_threshold, sc.current_signal, sc.current_noise, sc.current_txrate);
        if (sc.current_signal < 0 && iface->current_bss) iface->current_bss->level = sc.current_signal;
        bgscan_notify_signal_change(iface, sc.above_threshold, sc.current_signal, sc.current_noise,
                                    sc.current_txrate);
        break;
    }
    default:
        break;
    }
}

void supplicant_event_global(void *ctx, wpa_event_type event, union wpa_event_data *data) {
    if (observer) observer(ctx, event, data);
}

void supplicant_event_set_global(wpa_global *global) {
    event_global = global;
}

void supplicant_event_set_observer(supplicant_event_observer obs) {
    observer = obs;
}
