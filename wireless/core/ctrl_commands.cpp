// The per-interface command processor: the command text is matched against the command
// words in a fixed order and the first match runs. Words whose operations are not part
// of this build answer "UNKNOWN COMMAND\n" like any unknown word.
#include "wireless/core/ctrl_iface.h"

#include "wireless/core/bss.h"
#include "wireless/core/cipher_text.h"
#include "wireless/core/config.h"
#include "wireless/core/connection_state.h"
#include "wireless/core/ctrl_scan.h"
#include "wireless/core/eapol_glue.h"
#include "wireless/core/eloop.h"
#include "wireless/core/network_enable.h"
#include "wireless/core/network_select.h"
#include "wireless/core/scan.h"
#include "wireless/core/supplicant.h"
#include "wireless/core/text.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/eap/eap.h"
#include "wireless/eap/eap_methods.h"
#include "wireless/eap/eapol_supp_sm.h"
#include "wireless/rsn/pmksa_cache.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr size_t ReplySize = 4096;
const char VersionText[] = "2.6-sys-rq9_0.0.1.voskaril_rq9_Force_2.5G-dev";

// A handler returns the length of the reply it wrote, ReplyOk for "OK\n" or -1 for "FAIL\n".
constexpr int ReplyOk = CTRL_REPLY_OK;
using Handler = int (*)(wpa_iface *iface, char *args, char *reply, size_t size);

enum class Match { Exact, Blank, Prefix };

struct Command {
    const char *word; // with its trailing blank for Match::Blank
    Match match;
    Handler handler; // null: a word of a later build
};

bool parse_id(const char *text, int *id) {
    char *end;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno || v < INT_MIN || v > INT_MAX) return false;
    *id = static_cast<int>(v);
    return true;
}

int ok_reply(wpa_iface *, char *, char *, size_t) {
    return ReplyOk;
}

int cmd_ping(wpa_iface *, char *, char *reply, size_t size) {
    return snprintf(reply, size, "PONG\n");
}

int cmd_ifname(wpa_iface *iface, char *, char *reply, size_t size) {
    int n = snprintf(reply, size, "%s", iface->ifname);
    return n < 0 || static_cast<size_t>(n) >= size ? -1 : n;
}

int cmd_mib(wpa_iface *iface, char *, char *reply, size_t size) {
    // The 802.1X supplicant's MIB (the RSN supplicant's text joins it when it lands).
    if (iface->eapol == nullptr) return -1;
    return eapol_supp_mib_text(iface->eapol, reply, size);
}

// STATUS: the connection lines, the state, the own address, the 802.1X and EAP lines
// and the EAP session id.

int cmd_logon(wpa_iface *iface, char *, char *, size_t) {
    eapol_supp_set_logoff(iface->eapol, false);
    return ReplyOk;
}

int cmd_logoff(wpa_iface *iface, char *, char *, size_t) {
    eapol_supp_set_logoff(iface->eapol, true);
    return ReplyOk;
}

int cmd_reauthenticate(wpa_iface *iface, char *, char *, size_t) {
    // A new EAP run: the cached PMKSA in use is no longer the one to name.
    if (rsn_supplicant *sm = supplicant_rsn_sm(iface)) wpa_sm_clear_current_pmksa(sm);
    eapol_supp_reauthenticate(iface->eapol);
    return ReplyOk;
}

int cmd_pmksa(wpa_iface *iface, char *, char *reply, size_t size) {
    return rsn_ctrl_pmksa(supplicant_rsn_sm(iface), reply, size);
}

int cmd_pmksa_flush(wpa_iface *iface, char *, char *, size_t) {
    rsn_ctrl_pmksa_flush(supplicant_rsn_sm(iface));
    return ReplyOk;
}

int cmd_dump(wpa_iface *iface, char *, char *reply, size_t size) {
    return wpa_config_dump_values(iface->conf, reply, size);
}

int cmd_get(wpa_iface *iface, char *args, char *reply, size_t size) {
    int n;
    if (strcmp(args, "version") == 0) {
        n = snprintf(reply, size, "%s", VersionText);
    } else if (strcasecmp(args, "country") == 0) {
        if (iface->conf->country[0] == '\0' || iface->conf->country[1] == '\0') return -1;
        n = snprintf(reply, size, "%c%c", iface->conf->country[0], iface->conf->country[1]);
    } else if (strcmp(args, "tls_library") == 0) {
        return -1; // the TLS wrapper is not part of this build
    } else {
        n = wpa_config_get_global(args, iface->conf, reply, size);
    }
    if (n < 0 || static_cast<size_t>(n) >= size) return -1;
    return n;
}

bool iface_disabled(wpa_iface *iface) {
    return iface->wpa_state == WPA_INTERFACE_DISABLED;
}

// A new connection attempt: from scan results at most 5 s old when they offer one,
// else from a scan at once.
void request_connection(wpa_iface *iface) {
    iface->disabled_by_command = 0;
    iface->disconnected = 0;
    iface->scan_req = NORMAL_SCAN_REQ;
    iface->reassociate = 1;
    if (supplicant_fast_associate(iface) != 1) supplicant_req_scan(iface, 0, 0);
}

int cmd_reassociate(wpa_iface *iface, char *, char *, size_t) {
    if (iface_disabled(iface)) return -1;
    request_connection(iface);
    return ReplyOk;
}

int cmd_reattach(wpa_iface *iface, char *, char *, size_t) {
    if (iface_disabled(iface) || iface->current_ssid == nullptr) return -1;
    iface->reattach = 1;
    request_connection(iface);
    return ReplyOk;
}

int cmd_reconnect(wpa_iface *iface, char *, char *, size_t) {
    if (iface_disabled(iface)) return -1;
    if (iface->disconnected) {
        iface->disabled_by_command = 0;
        supplicant_reconnect(iface);
    }
    return ReplyOk;
}

// Stops any running pre-authentication and starts one towards the BSSID with the current
// network's settings.
int cmd_preauth(wpa_iface *iface, char *args, char *, size_t) {
    return rsn_ctrl_preauth(iface->wpa, args, iface->current_ssid) == 0 ? ReplyOk : -1;
}

int cmd_ctrl_rsp(wpa_iface *iface, char *args, char *, size_t) {
    // FIELD-<id>:<value>
    char *dash = strchr(args, '-');
    if (dash == nullptr) return -1;
    *dash = '\0';
    char *colon = strchr(dash + 1, ':');
    if (colon == nullptr) return -1;
    *colon = '\0';
    int id;
    if (!parse_id(dash + 1, &id)) return -1;
    wpa_network *ssid = wpa_config_get_network(iface->conf, id);
    if (ssid == nullptr) return -1;
    if (supplicant_ctrl_rsp_handle(iface, ssid, args, colon + 1) < 0) return -1;
    // The kept request runs again once this reply is out.
    if (ssid == iface->current_ssid) supplicant_ctrl_rsp_schedule(iface);
    return ReplyOk;
}

int cmd_reconfigure(wpa_iface *iface, char *, char *, size_t) {
    if (iface->confname == nullptr) return -1; // nothing to re-read
    return supplicant_reload_configuration(iface) < 0 ? -1 : ReplyOk;
}

int cmd_terminate(wpa_iface *iface, char *, char *, size_t) {
    supplicant_request_terminate(iface->global);
    return ReplyOk;
}

int cmd_bssid(wpa_iface *iface, char *args, char *, size_t) {
    char *sep = strchr(args, ' ');
    if (sep == nullptr) return -1;
    *sep = '\0';
    int id;
    uint8_t bssid[6];
    if (!parse_id(args, &id) || hwaddr_parse(sep + 1, bssid) != 0) return -1;
    wpa_network *ssid = wpa_config_get_network(iface->conf, id);
    if (ssid == nullptr) return -1;
    memcpy(ssid->bssid, bssid, 6);
    ssid->bssid_set = !is_zero_ether_addr(bssid);
    return ReplyOk;
}

// BLACKLIST: the list, "clear", or one BSSID to add (twice, so that it counts as a
// failure beyond the one a single enabled network tolerates).
int cmd_blacklist(wpa_iface *iface, char *args, char *reply, size_t size) {
    if (*args == '\0') {
        size_t len = 0;
        for (wpa_blacklist *e = iface->blacklist; e; e = e->next) {
            char line[19];
            int n = snprintf(line, sizeof(line), "%02x:%02x:%02x:%02x:%02x:%02x\n", e->bssid[0], e->bssid[1],
                             e->bssid[2], e->bssid[3], e->bssid[4], e->bssid[5]);
            if (n < 0 || len + static_cast<size_t>(n) >= size) break;
            memcpy(reply + len, line, static_cast<size_t>(n));
            len += static_cast<size_t>(n);
        }
        return static_cast<int>(len);
    }
    if (*args != ' ') return -1;
    args++;
    if (strcmp(args, "clear") == 0) {
        wpa_blacklist_clear(iface);
        return ReplyOk;
    }
    uint8_t bssid[6];
    if (hwaddr_parse(args, bssid) != 0) return -1;
    if (wpa_blacklist_add(iface, bssid) < 0 || wpa_blacklist_add(iface, bssid) < 0) return -1;
    return ReplyOk;
}

int cmd_log_level(wpa_iface *, char *args, char *reply, size_t size) {
    while (*args == ' ')
        args++;
    if (*args == '\0') {
        int n = snprintf(reply, size, "Current level: %s\nTimestamp: %d\n", debug_level_str(wpa_debug_level),
                         wpa_debug_timestamp);
        return n < 0 || static_cast<size_t>(n) >= size ? -1 : n;
    }
    char *stamp = strchr(args, ' ');
    if (stamp) *stamp++ = '\0';
    int level = debug_level_from_str(args);
    if (level < 0) return -1;
    wpa_debug_level = level;
    if (stamp && *stamp) wpa_debug_timestamp = atoi(stamp);
    return ReplyOk;
}

int cmd_list_networks(wpa_iface *iface, char *args, char *reply, size_t size) {
    int last_id = -1;
    if (args != nullptr && strncmp(args, "LAST_ID=", 8) == 0) last_id = atoi(args + 8);
    char *pos = reply, *end = reply + size;
    int n = snprintf(pos, end - pos, "network id / ssid / bssid / flags\n");
    if (n < 0 || n >= end - pos) return static_cast<int>(pos - reply);
    pos += n;
    wpa_network *ssid = iface->conf->ssid;
    if (last_id != -1) {
        while (ssid && ssid->id <= last_id)
            ssid = ssid->next;
    }
    for (; ssid; ssid = ssid->next) {
        std::string line = std::to_string(ssid->id) + "\t" + wpa_ssid_txt(ssid->ssid.data, ssid->ssid.len);
        if (ssid->bssid_set) {
            char b[18];
            snprintf(b, sizeof(b), "%02x:%02x:%02x:%02x:%02x:%02x", ssid->bssid[0], ssid->bssid[1],
                     ssid->bssid[2], ssid->bssid[3], ssid->bssid[4], ssid->bssid[5]);
            line += std::string("\t") + b;
        } else {
            line += "\tany";
        }
        line += "\t";
        if (ssid == iface->current_ssid) line += "[CURRENT]";
        if (ssid->disabled) line += "[DISABLED]";
        if (ssid->auth_failures && (ssid->disabled_until.sec || ssid->disabled_until.usec))
            line += "[TEMP-DISABLED]";
        if (ssid->disabled == 2) line += "[P2P-PERSISTENT]";
        line += "\n";
        if (line.size() >= static_cast<size_t>(end - pos)) break;
        memcpy(pos, line.data(), line.size());
        pos += line.size();
    }
    return static_cast<int>(pos - reply);
}

int cmd_disconnect(wpa_iface *iface, char *, char *, size_t) {
    iface->disabled_by_command = 1;
    supplicant_disconnect(iface);
    return ReplyOk;
}

// A wired port (ap_scan 0): the "driver" selects the network at once.
void wired_connect(wpa_iface *iface, bool select) {
    if ((iface->conf->ap_scan == 0 || (iface->drv_flags & WPA_DRIVER_FLAGS_WIRED)) &&
        (iface->current_ssid == nullptr || select))
        supplicant_ap_scan0_connect(iface);
}

int cmd_select_network(wpa_iface *iface, char *args, char *, size_t) {
    char *opt = strchr(args, ' ');
    if (opt) *opt++ = '\0';
    int *freqs = nullptr;
    if (opt) {
        if (strncmp(opt, "freq=", 5) != 0) return -1;
        freq_range_list ranges{};
        if (freq_range_list_parse(&ranges, opt + 5) < 0) return -1;
        freqs = supp_freqs_in_ranges(iface, &ranges);
        free(ranges.range);
        if (freqs == nullptr) return -1;
    }
    wpa_network *ssid = nullptr;
    if (strncmp(args, "any", 3) != 0) {
        int id;
        if (!parse_id(args, &id) || (ssid = wpa_config_get_network(iface->conf, id)) == nullptr ||
            ssid->disabled == 2) {
            free(freqs);
            return -1;
        }
    }
    if (freqs) {
        free(iface->manual_scan_freqs);
        iface->manual_scan_freqs = freqs;
    }
    iface->disabled_by_command = 0;
    if (iface->conf->ap_scan == 0 || (iface->drv_flags & WPA_DRIVER_FLAGS_WIRED)) {
        // No scan decides on a wired port: the selection itself connects.
        for (wpa_network *s = iface->conf->ssid; s; s = s->next)
            if (s->disabled != 2) s->disabled = ssid == nullptr || s == ssid ? 0 : 1;
        iface->disconnected = 0;
        wired_connect(iface, ssid != nullptr);
        return ReplyOk;
    }
    supplicant_select_network(iface, ssid);
    return ReplyOk;
}

int cmd_enable_network(wpa_iface *iface, char *args, char *, size_t) {
    if (strcmp(args, "all") == 0) {
        iface->disabled_by_command = 0;
        supplicant_enable_network(iface, nullptr);
        wired_connect(iface, false);
        return ReplyOk;
    }
    bool no_connect = false;
    char *opt = strchr(args, ' ');
    if (opt) {
        *opt++ = '\0';
        if (strcmp(opt, "no-connect") != 0) return -1;
        no_connect = true;
    }
    int id;
    if (!parse_id(args, &id)) return -1;
    wpa_network *ssid = wpa_config_get_network(iface->conf, id);
    if (ssid == nullptr || ssid->disabled == 2) return -1;
    if (no_connect) {
        ssid->disabled = 0;
        return ReplyOk;
    }
    iface->disabled_by_command = 0;
    supplicant_enable_network(iface, ssid);
    wired_connect(iface, false);
    return ReplyOk;
}

int cmd_disable_network(wpa_iface *iface, char *args, char *, size_t) {
    if (strcmp(args, "all") == 0) {
        supplicant_disable_network(iface, nullptr);
        return ReplyOk;
    }
    int id;
    if (!parse_id(args, &id)) return -1;
    wpa_network *ssid = wpa_config_get_network(iface->conf, id);
    if (ssid == nullptr || ssid->disabled == 2) return -1;
    supplicant_disable_network(iface, ssid);
    return ReplyOk;
}

int cmd_add_network(wpa_iface *iface, char *, char *reply, size_t size) {
    wpa_network *ssid = supplicant_add_network(iface);
    if (ssid == nullptr) return -1;
    return snprintf(reply, size, "%d\n", ssid->id);
}

int cmd_remove_network(wpa_iface *iface, char *args, char *, size_t) {
    if (strcmp(args, "all") == 0) {
        supplicant_remove_all_networks(iface);
        return ReplyOk;
    }
    int id;
    if (!parse_id(args, &id)) return -1;
    return supplicant_remove_network(iface, id) < 0 ? -1 : ReplyOk;
}

// Sets one field with the side effects of SET_NETWORK.
int update_network(wpa_iface *iface, wpa_network *ssid, const char *name, const char *value) {
    int old_disabled = ssid->disabled;
    int ret = wpa_config_set_network_field(ssid, name, value, 0);
    if (ret < 0) return -1;
    if (ret == 1) return ReplyOk; // unchanged
    if (strcmp(name, "bssid") != 0 && strcmp(name, "priority") != 0) {
        // Keys cached for the network's old settings must not outlive them.
        if (rsn_supplicant *sm = supplicant_rsn_sm(iface)) wpa_sm_flush_pmksa(sm, ssid);
        if (ssid == iface->current_ssid || iface->current_ssid == nullptr)
            eapol_supp_invalidate_cached_session(iface->eapol);
    }
    if ((strcmp(name, "psk") == 0 && value[0] == '"' && ssid->ssid.data) ||
        (strcmp(name, "ssid") == 0 && ssid->passphrase))
        wpa_config_update_psk(ssid);
    else if (strcmp(name, "priority") == 0)
        wpa_config_update_prio_list(iface->conf);
    if ((old_disabled == 2) != (ssid->disabled == 2)) ssid->p2p_persistent_group = ssid->disabled == 2;
    return ReplyOk;
}

int cmd_set_network(wpa_iface *iface, char *args, char *, size_t) {
    char *name = strchr(args, ' ');
    if (name == nullptr) return -1;
    *name++ = '\0';
    char *value = strchr(name, ' ');
    if (value == nullptr) return -1;
    *value++ = '\0';
    int id;
    if (!parse_id(args, &id)) return -1;
    wpa_network *ssid = wpa_config_get_network(iface->conf, id);
    if (ssid == nullptr) return -1;
    return update_network(iface, ssid, name, value);
}

int cmd_get_network(wpa_iface *iface, char *args, char *reply, size_t size) {
    char *name = strchr(args, ' ');
    if (name == nullptr) return -1;
    *name++ = '\0';
    int id;
    if (!parse_id(args, &id)) return -1;
    wpa_network *ssid = wpa_config_get_network(iface->conf, id);
    if (ssid == nullptr) return -1;
    char *value = wpa_config_get_network_field(ssid, name);
    if (value == nullptr) return -1;
    size_t len = strlen(value);
    if (len >= size) {
        str_clear_free(value);
        return -1;
    }
    memcpy(reply, value, len);
    str_clear_free(value);
    return static_cast<int>(len);
}

int cmd_dup_network(wpa_iface *iface, char *args, char *, size_t) {
    char *dst = strchr(args, ' ');
    if (dst == nullptr) return -1;
    *dst++ = '\0';
    char *name = strchr(dst, ' ');
    if (name == nullptr) return -1;
    *name++ = '\0';
    int sid, did;
    if (!parse_id(args, &sid) || !parse_id(dst, &did)) return -1;
    wpa_network *s = wpa_config_get_network(iface->conf, sid);
    wpa_network *d = wpa_config_get_network(iface->conf, did);
    if (s == nullptr || d == nullptr) return -1;
    char *value = wpa_config_get_network_field_raw(s, name);
    if (value == nullptr) return -1;
    int ret = update_network(iface, d, name, value);
    str_clear_free(value);
    return ret;
}

int cmd_ap_scan(wpa_iface *iface, char *args, char *, size_t) {
    int v;
    if (!parse_id(args, &v) || v < 0 || v > 2) return -1;
    iface->conf->ap_scan = v;
    return ReplyOk;
}

int cmd_suspend(wpa_iface *iface, char *, char *, size_t) {
    os_get_reltime(&iface->global->suspend_time);
    return ReplyOk;
}

int cmd_roam(wpa_iface *iface, char *args, char *, size_t) {
    uint8_t bssid[6];
    wpa_network *ssid = iface->current_ssid;
    if (ssid == nullptr || hwaddr_parse(args, bssid) != 0) return -1;
    wpa_bss *bss = wpa_bss_get(iface, bssid, ssid->ssid.data, ssid->ssid.len);
    if (bss == nullptr) return -1;
    iface->reassociate = 1;
    supplicant_connect(iface, bss, ssid);
    return ReplyOk;
}

int cmd_sta_autoconnect(wpa_iface *iface, char *args, char *, size_t) {
    iface->auto_reconnect_disabled = atoi(args) == 0;
    return ReplyOk;
}

int cmd_flush(wpa_iface *iface, char *, char *, size_t) {
    if (iface->wpa_state > WPA_SCANNING) supplicant_set_state(iface, WPA_DISCONNECTED);
    wpa_drv_set_countermeasures(iface, 0);
    wpa_blacklist_clear(iface);
    supplicant_remove_all_networks(iface);
    while (iface->conf->cred) {
        wpa_cred *c = iface->conf->cred;
        iface->conf->cred = c->next;
        free(c);
    }
    wpa_config_flush_blobs(iface->conf);
    iface->conf->auto_interworking = 0;
    iface->conf->okc = 0;
    iface->disabled_by_command = 0;
    return ReplyOk;
}

// Every command word in matching order; the first match wins.
const Command commands[] = {
    {"PING", Match::Exact, cmd_ping},
    {"IFNAME", Match::Exact, cmd_ifname},
    {"RELOG", Match::Prefix, ok_reply},
    {"NOTE ", Match::Blank, ok_reply},
    {"MIB", Match::Exact, cmd_mib},
    {"STATUS", Match::Prefix, ctrl_status},
    {"PMKSA", Match::Exact, cmd_pmksa},
    {"PMKSA_FLUSH", Match::Exact, cmd_pmksa_flush},
    {"SET ", Match::Blank, ctrl_set},
    {"DUMP", Match::Prefix, cmd_dump},
    {"GET ", Match::Blank, cmd_get},
    {"LOGON", Match::Exact, cmd_logon},
    {"LOGOFF", Match::Exact, cmd_logoff},
    {"REASSOCIATE", Match::Exact, cmd_reassociate},
    {"REATTACH", Match::Exact, cmd_reattach},
    {"RECONNECT", Match::Exact, cmd_reconnect},
    {"PREAUTH ", Match::Blank, cmd_preauth},
    {"WPS_PBC", Match::Exact, nullptr},
    {"WPS_PBC ", Match::Blank, nullptr},
    {"WPS_PIN ", Match::Blank, nullptr},
    {"WPS_CHECK_PIN ", Match::Blank, nullptr},
    {"WPS_CANCEL", Match::Exact, nullptr},
    {"WPS_REG ", Match::Blank, nullptr},
    {"WPS_AP_PIN ", Match::Blank, nullptr},
    {"P2P_FIND ", Match::Blank, nullptr},
    {"P2P_FIND", Match::Exact, nullptr},
    {"P2P_STOP_FIND", Match::Exact, nullptr},
    {"P2P_ASP_PROVISION ", Match::Blank, nullptr},
    {"P2P_ASP_PROVISION_RESP ", Match::Blank, nullptr},
    {"P2P_CONNECT ", Match::Blank, nullptr},
    {"P2P_LISTEN ", Match::Blank, nullptr},
    {"P2P_LISTEN", Match::Exact, nullptr},
    {"P2P_GROUP_REMOVE ", Match::Blank, nullptr},
    {"P2P_GROUP_ADD", Match::Exact, nullptr},
    {"P2P_GROUP_ADD ", Match::Blank, nullptr},
    {"P2P_GROUP_MEMBER ", Match::Blank, nullptr},
    {"P2P_PROV_DISC ", Match::Blank, nullptr},
    {"P2P_GET_PASSPHRASE", Match::Exact, nullptr},
    {"P2P_SERV_DISC_REQ ", Match::Blank, nullptr},
    {"P2P_SERV_DISC_CANCEL_REQ ", Match::Blank, nullptr},
    {"P2P_SERV_DISC_RESP ", Match::Blank, nullptr},
    {"P2P_SERVICE_UPDATE", Match::Exact, nullptr},
    {"P2P_SERV_DISC_EXTERNAL ", Match::Blank, nullptr},
    {"P2P_SERVICE_FLUSH", Match::Exact, nullptr},
    {"P2P_SERVICE_ADD ", Match::Blank, nullptr},
    {"P2P_SERVICE_DEL ", Match::Blank, nullptr},
    {"P2P_SERVICE_REP ", Match::Blank, nullptr},
    {"P2P_REJECT ", Match::Blank, nullptr},
    {"P2P_INVITE ", Match::Blank, nullptr},
    {"P2P_PEER ", Match::Blank, nullptr},
    {"P2P_SET ", Match::Blank, nullptr},
    {"P2P_FLUSH", Match::Exact, nullptr},
    {"P2P_UNAUTHORIZE ", Match::Blank, nullptr},
    {"P2P_CANCEL", Match::Exact, nullptr},
    {"P2P_PRESENCE_REQ ", Match::Blank, nullptr},
    {"P2P_PRESENCE_REQ", Match::Exact, nullptr},
    {"P2P_EXT_LISTEN ", Match::Blank, nullptr},
    {"P2P_EXT_LISTEN", Match::Exact, nullptr},
    {"P2P_REMOVE_CLIENT ", Match::Blank, nullptr},
    {"P2P_LO_START ", Match::Blank, nullptr},
    {"P2P_LO_STOP", Match::Exact, nullptr},
    {"CTRL-RSP-", Match::Prefix, cmd_ctrl_rsp},
    {"RECONFIGURE", Match::Exact, cmd_reconfigure},
    {"TERMINATE", Match::Exact, cmd_terminate},
    {"BSSID ", Match::Blank, cmd_bssid},
    {"BLACKLIST", Match::Prefix, cmd_blacklist},
    {"LOG_LEVEL", Match::Prefix, cmd_log_level},
    {"LIST_NETWORKS ", Match::Blank, cmd_list_networks},
    {"LIST_NETWORKS", Match::Exact, cmd_list_networks},
    {"DISCONNECT", Match::Exact, cmd_disconnect},
    {"SCAN", Match::Exact, ctrl_scan},
    {"SCAN ", Match::Blank, ctrl_scan},
    {"SCAN_RESULTS", Match::Exact, ctrl_scan_results},
    {"ABORT_SCAN", Match::Exact, ctrl_abort_scan},
    {"SELECT_NETWORK ", Match::Blank, cmd_select_network},
    {"ENABLE_NETWORK ", Match::Blank, cmd_enable_network},
    {"DISABLE_NETWORK ", Match::Blank, cmd_disable_network},
    {"ADD_NETWORK", Match::Exact, cmd_add_network},
    {"REMOVE_NETWORK ", Match::Blank, cmd_remove_network},
    {"SET_NETWORK ", Match::Blank, cmd_set_network},
    {"GET_NETWORK ", Match::Blank, cmd_get_network},
    {"DUP_NETWORK ", Match::Blank, cmd_dup_network},
    {"LIST_CREDS", Match::Exact, nullptr},
    {"ADD_CRED", Match::Exact, nullptr},
    {"REMOVE_CRED ", Match::Blank, nullptr},
    {"SET_CRED ", Match::Blank, nullptr},
    {"GET_CRED ", Match::Blank, nullptr},
    {"GET_CAPABILITY ", Match::Blank, ctrl_get_capability},
    {"AP_SCAN ", Match::Blank, cmd_ap_scan},
    {"SCAN_INTERVAL ", Match::Blank, ctrl_scan_interval},
    {"INTERFACE_LIST", Match::Exact, ctrl_interface_list},
    {"INTERFACES", Match::Prefix, ctrl_interfaces},
    {"BSS ", Match::Blank, ctrl_bss},
    {"STA-FIRST", Match::Exact, nullptr},
    {"STA ", Match::Blank, nullptr},
    {"STA-NEXT ", Match::Blank, nullptr},
    {"DEAUTHENTICATE ", Match::Blank, nullptr},
    {"DISASSOCIATE ", Match::Blank, nullptr},
    {"CHAN_SWITCH ", Match::Blank, nullptr},
    {"STOP_AP", Match::Exact, nullptr},
    {"SUSPEND", Match::Exact, cmd_suspend},
    {"RESUME", Match::Exact, ok_reply},
    {"ROAM ", Match::Blank, cmd_roam},
    {"STA_AUTOCONNECT ", Match::Blank, cmd_sta_autoconnect},
    {"BSS_EXPIRE_AGE ", Match::Blank, ctrl_bss_expire_age},
    {"BSS_EXPIRE_COUNT ", Match::Blank, ctrl_bss_expire_count},
    {"BSS_FLUSH ", Match::Blank, ctrl_bss_flush},
    {"WMM_AC_STATUS", Match::Exact, nullptr},
    {"WMM_AC_ADDTS ", Match::Blank, nullptr},
    {"WMM_AC_DELTS ", Match::Blank, nullptr},
    {"SIGNAL_POLL", Match::Prefix, ctrl_fail},
    {"SIGNAL_MONITOR", Match::Prefix, ctrl_signal_monitor},
    {"PKTCNT_POLL", Match::Prefix, ctrl_fail},
    {"DRIVER_FLAGS", Match::Exact, ctrl_driver_flags},
    {"VENDOR ", Match::Blank, ctrl_vendor},
    {"REAUTHENTICATE", Match::Exact, cmd_reauthenticate},
    {"FLUSH", Match::Exact, cmd_flush},
    {"RADIO_WORK ", Match::Blank, ctrl_radio_work},
    {"VENDOR_ELEM_ADD ", Match::Blank, ctrl_vendor_elem_add},
    {"VENDOR_ELEM_GET ", Match::Blank, ctrl_vendor_elem_get},
    {"VENDOR_ELEM_REMOVE ", Match::Blank, ctrl_vendor_elem_remove},
    {"NEIGHBOR_REP_REQUEST", Match::Prefix, ctrl_fail},
    {"ERP_FLUSH", Match::Exact, ok_reply},
    {"MAC_RAND_SCAN ", Match::Blank, ctrl_mac_rand_scan},
    {"GET_PREF_FREQ_LIST ", Match::Blank, ctrl_get_pref_freq_list},
};

const Command *match_command(const char *buf, char **args, char *mutable_buf) {
    for (const Command &c : commands) {
        size_t len = strlen(c.word);
        bool hit = c.match == Match::Exact ? strcmp(buf, c.word) == 0 : strncmp(buf, c.word, len) == 0;
        if (hit) {
            *args = mutable_buf + (c.match == Match::Exact ? strlen(buf) : len);
            return &c;
        }
    }
    return nullptr;
}

} // namespace

// The word that a command text matches, for tests: null when none does.
const char *wpa_ctrl_iface_match_word(const char *cmd) {
    std::string copy = cmd;
    char *args;
    const Command *c = match_command(copy.c_str(), &args, copy.data());
    return c ? c->word : nullptr;
}

char *wpa_ctrl_iface_process(wpa_iface *iface, char *buf, size_t *resp_len) {
    char *reply = static_cast<char *>(malloc(ReplySize));
    if (reply == nullptr) {
        *resp_len = 1;
        return nullptr;
    }
    memcpy(reply, "OK\n", 3);
    int len = 3;
    char *args = nullptr;
    const Command *c = match_command(buf, &args, buf);
    if (c == nullptr || c->handler == nullptr) {
        memcpy(reply, "UNKNOWN COMMAND\n", 16);
        len = 16;
    } else {
        len = c->handler(iface, args, reply, ReplySize);
        if (len == ReplyOk) {
            memcpy(reply, "OK\n", 3);
            len = 3;
        } else if (len < 0 || static_cast<size_t>(len) >= ReplySize) {
            memcpy(reply, "FAIL\n", 5);
            len = 5;
        }
    }
    *resp_len = static_cast<size_t>(len);
    return reply;
}
