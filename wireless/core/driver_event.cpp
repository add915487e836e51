#include "wireless/core/driver.h"

#include "wireless/core/association.h"
#include "wireless/core/bgscan.h"
#include "wireless/core/bss.h"
#include "wireless/core/connection_state.h"
#include "wireless/core/scan.h"
#include "wireless/core/sched_scan.h"
#include "wireless/core/supplicant.h"
#include "wireless/core/wpa_msg.h"

#include "wireless/rsn/pmksa_cache.h"
#include "wireless/rsn/wpa.h"

#include <atomic>
#include <cstring>

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

namespace {

const char *regdom_initiator(int i) {
    static const char *const names[] = {"CORE", "USER", "DRIVER", "COUNTRY_IE", "BEACON_HINT"};
    return i >= 0 && i < 5 ? names[i] : "?";
}

const char *regdom_type(int t) {
    static const char *const names[] = {"UNKNOWN", "COUNTRY", "WORLD", "CUSTOM_WORLD", "INTERSECTION"};
    return t >= 0 && t < 5 ? names[t] : "?";
}

const char *chan_width_name(int w) {
    static const char *const names[] = {"20 MHz (no HT)", "20 MHz",    "40 MHz",
                                        "80 MHz",         "80+80 MHz", "160 MHz"};
    return w >= 0 && w < 6 ? names[w] : "unknown";
}

bool mesh_network(const wpa_iface *iface) {
    return iface->current_ssid && iface->current_ssid->mode == SUPP_MODE_MESH;
}

} // namespace

// Codes of the access point, P2P, WPS, GAS/off-channel and radio-measurement sides, which
// this build does not carry: each reaches its entry point, which does nothing.
void supp_ap_event(wpa_iface *, wpa_event_type, union wpa_event_data *) {}
void supp_p2p_event(wpa_iface *, wpa_event_type, union wpa_event_data *) {}
void supp_wps_button_pushed(wpa_iface *) {}
void supp_offchannel_event(wpa_iface *, wpa_event_type, union wpa_event_data *) {}
void supp_rx_mgmt(wpa_iface *, union wpa_event_data *) {}

void supplicant_event(void *ctx, wpa_event_type event, union wpa_event_data *data) {
    if (observer) observer(ctx, event, data);
    wpa_iface *iface = known_iface(ctx);
    if (iface == nullptr) return;
    if (iface->wpa_state == WPA_INTERFACE_DISABLED && event != EVENT_SCAN_RESULTS &&
        event != EVENT_INTERFACE_STATUS && event != EVENT_INTERFACE_ENABLED &&
        event != EVENT_SCHED_SCAN_STOPPED)
        return;
    switch (event) {
    case EVENT_ASSOC:
        supplicant_event_assoc(iface, data);
        break;
    case EVENT_DISASSOC:
    case EVENT_DEAUTH: {
        const auto *info =
            data ? (event == EVENT_DEAUTH ? &data->deauth_info : &data->disassoc_info) : nullptr;
        if (event == EVENT_DISASSOC && (iface->drv_flags & WPA_DRIVER_FLAGS_SME))
            sme_event_disassoc(iface, data);
        supplicant_event_disconnect(iface, info ? info->reason_code : 0, info ? info->addr : nullptr,
                                    info ? info->locally_generated : 0, event == EVENT_DEAUTH);
        break;
    }
    case EVENT_MICHAEL_MIC_FAILURE:
        supplicant_event_michael_mic_failure(iface, data);
        break;
    case EVENT_SCAN_RESULTS:
        if (iface->wpa_state == WPA_INTERFACE_DISABLED) break;
        supplicant_scan_results_event(iface, data ? &data->scan_info : nullptr);
        break;
    case EVENT_ASSOCINFO:
        if (data) supplicant_event_associnfo(iface, data);
        break;
    case EVENT_INTERFACE_STATUS:
        if (data) supplicant_event_interface_status(iface, data);
        break;
    case EVENT_PMKID_CANDIDATE:
        if (data && iface->wpa)
            rsn_preauth_add_candidate(iface->wpa, data->pmkid_candidate.bssid, data->pmkid_candidate.index,
                                      data->pmkid_candidate.preauth);
        break;
    case EVENT_AUTH:
        sme_event_auth(iface, data);
        break;
    case EVENT_ASSOC_REJECT:
        if (data) supplicant_event_assoc_reject(iface, data);
        break;
    case EVENT_AUTH_TIMED_OUT:
        if (!mesh_network(iface)) sme_event_auth_timed_out(iface, data);
        break;
    case EVENT_ASSOC_TIMED_OUT:
        if (!mesh_network(iface)) sme_event_assoc_timed_out(iface, data);
        break;
    case EVENT_WPS_BUTTON_PUSHED:
        supp_wps_button_pushed(iface);
        break;
    case EVENT_TX_STATUS:
    case EVENT_REMAIN_ON_CHANNEL:
    case EVENT_CANCEL_REMAIN_ON_CHANNEL:
        supp_offchannel_event(iface, event, data);
        break;
    case EVENT_RX_MGMT:
        if (data) supp_rx_mgmt(iface, data);
        break;
    case EVENT_RX_FROM_UNKNOWN:
    case EVENT_STATION_LOW_ACK:
    case EVENT_DRIVER_CLIENT_POLL_OK:
    case EVENT_EAPOL_TX_STATUS:
    case EVENT_CONNECT_FAILED_REASON:
    case EVENT_DFS_RADAR_DETECTED:
    case EVENT_DFS_CAC_FINISHED:
    case EVENT_DFS_CAC_ABORTED:
    case EVENT_DFS_NOP_FINISHED:
    case EVENT_DFS_CAC_STARTED:
    case EVENT_SURVEY:
        supp_ap_event(iface, event, data);
        break;
    case EVENT_RX_PROBE_REQ:
    case EVENT_INTERFACE_UNAVAILABLE:
    case EVENT_BEST_CHANNEL:
    case EVENT_AVOID_FREQUENCIES:
    case EVENT_P2P_LO_STOP:
        supp_p2p_event(iface, event, data);
        break;
    case EVENT_EAPOL_RX:
        if (data)
            supplicant_rx_eapol(iface, data->eapol_rx.src, data->eapol_rx.data, data->eapol_rx.data_len);
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
    case EVENT_INTERFACE_ENABLED:
        if (iface->wpa_state == WPA_INTERFACE_DISABLED) supplicant_event_interface_enabled(iface);
        break;
    case EVENT_INTERFACE_DISABLED:
        supplicant_event_interface_disabled(iface);
        break;
    case EVENT_CHANNEL_LIST_CHANGED: {
        if (data == nullptr) break;
        const auto &c = data->channel_list_changed;
        wpa_msg_iface(iface->parent, MSG_INFO, "CTRL-EVENT-REGDOM-CHANGE init=%s type=%s%s%s",
                      regdom_initiator(c.initiator), regdom_type(c.type), c.alpha2[0] ? " alpha2=" : "",
                      c.alpha2[0] ? c.alpha2 : "");
        break;
    }
    case EVENT_DRIVER_GTK_REKEY:
        if (data && data->driver_gtk_rekey.bssid && data->driver_gtk_rekey.replay_ctr &&
            memcmp(data->driver_gtk_rekey.bssid, iface->bssid, 6) == 0)
            wpa_sm_update_replay_counter(iface->wpa, data->driver_gtk_rekey.replay_ctr);
        break;
    case EVENT_SCHED_SCAN_STOPPED:
        supplicant_sched_scan_stopped(iface);
        break;
    case EVENT_CH_SWITCH: {
        if (data == nullptr || iface->current_ssid == nullptr) break;
        const auto &c = data->ch_switch;
        wpa_msg_iface(
            iface, MSG_INFO,
            "CTRL-EVENT-CHANNEL-SWITCH freq=%d ht_enabled=%d ch_offset=%d ch_width=%s cf1=%d cf2=%d", c.freq,
            c.ht_enabled, c.ch_offset, chan_width_name(c.ch_width), c.cf1, c.cf2);
        iface->assoc_freq = c.freq;
        iface->current_ssid->frequency = c.freq;
        break;
    }
    case EVENT_SCAN_STARTED:
        supplicant_scan_started_event(iface);
        break;
    case EVENT_UNPROT_DEAUTH:
    case EVENT_UNPROT_DISASSOC:
    case EVENT_IBSS_PEER_LOST:
    case EVENT_NEW_PEER_CANDIDATE:
    case EVENT_ACS_CHANNEL_SELECTED:
        break;
    default:
        wpa_msg_iface(iface, MSG_INFO, "Unknown event %d", static_cast<int>(event));
        break;
    }
}

void supplicant_event_global(void *ctx, wpa_event_type event, union wpa_event_data *data) {
    if (observer) observer(ctx, event, data);
    // Only interface news is handled here: it goes to the interface of that name.
    if (event != EVENT_INTERFACE_STATUS || data == nullptr || event_global == nullptr) return;
    char name[sizeof(data->interface_status.ifname) + 1] = {};
    memcpy(name, data->interface_status.ifname, sizeof(data->interface_status.ifname));
    for (wpa_iface *w = event_global->ifaces; w; w = w->next)
        if (strcmp(w->ifname, name) == 0) {
            supplicant_event(w, event, data);
            return;
        }
}

void supplicant_event_set_global(wpa_global *global) {
    event_global = global;
}

void supplicant_event_set_observer(supplicant_event_observer obs) {
    observer = obs;
}
