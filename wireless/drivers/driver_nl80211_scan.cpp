// Scanning: normal and scheduled scan requests, the scan state and its timeout, the scan
// events turned into "SCAN_RESULTS", and the result list built from the kernel's BSS dump.
#include "wireless/common/ieee802_11_common.h"
#include "wireless/core/eloop.h"
#include "wireless/core/os.h"
#include "wireless/drivers/driver_nl80211_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netlink/attr.h>
#include <netlink/genl/genl.h>
#include <netlink/msg.h>

namespace {

nl_msg *scan_common(nl80211_iface *bss, uint8_t cmd, wpa_driver_scan_params *params) {
    nl80211_drv *drv = bss->drv;
    nl_msg *msg = nl80211_cmd_msg(bss, 0, cmd);
    if (msg == nullptr) return nullptr;
    if (params->num_ssids) {
        nlattr *ssids = nla_nest_start(msg, NL80211_ATTR_SCAN_SSIDS);
        if (ssids == nullptr) goto fail;
        for (size_t i = 0; i < params->num_ssids && i < WPA_MAX_SCAN_SSIDS; i++) {
            size_t len = params->ssids[i].ssid_len;
            if (len > 32 ||
                nla_put(msg, static_cast<int>(i + 1), static_cast<int>(len), params->ssids[i].ssid) < 0)
                goto fail;
        }
        nla_nest_end(msg, ssids);
    }
    if (params->extra_ies &&
        nla_put(msg, NL80211_ATTR_IE, static_cast<int>(params->extra_ies_len), params->extra_ies) < 0)
        goto fail;
    if (params->freqs) {
        nlattr *freqs = nla_nest_start(msg, NL80211_ATTR_SCAN_FREQUENCIES);
        if (freqs == nullptr) goto fail;
        for (int i = 0; params->freqs[i]; i++)
            if (nla_put_u32(msg, i + 1, static_cast<uint32_t>(params->freqs[i])) < 0) goto fail;
        nla_nest_end(msg, freqs);
    }
    // The filter SSIDs pass to the radio: the results are filtered with them.
    free(drv->filter_ssids);
    drv->filter_ssids = params->filter_ssids;
    drv->num_filter_ssids = params->num_filter_ssids;
    params->filter_ssids = nullptr;
    params->num_filter_ssids = 0;
    {
        uint32_t scan_flags = 0;
        if (params->only_new_results) scan_flags |= NL80211_SCAN_FLAG_FLUSH;
        if (params->low_priority && drv->have_low_prio_scan) scan_flags |= NL80211_SCAN_FLAG_LOW_PRIORITY;
        if (params->mac_addr_rand) {
            scan_flags |= NL80211_SCAN_FLAG_RANDOM_ADDR;
            if (params->mac_addr && nla_put(msg, NL80211_ATTR_MAC, 6, params->mac_addr) < 0) goto fail;
            if (params->mac_addr_mask && nla_put(msg, NL80211_ATTR_MAC_MASK, 6, params->mac_addr_mask) < 0)
                goto fail;
        }
        if (scan_flags && nla_put_u32(msg, NL80211_ATTR_SCAN_FLAGS, scan_flags) < 0) goto fail;
    }
    return msg;
fail:
    nlmsg_free(msg);
    return nullptr;
}

int scan_once(nl80211_iface *bss, wpa_driver_scan_params *params) {
    nl80211_drv *drv = bss->drv;
    nl_msg *msg = scan_common(bss, NL80211_CMD_TRIGGER_SCAN, params);
    if (msg == nullptr) return -1;
    if (params->p2p_probe) {
        static const uint8_t ofdm[8] = {0x0c, 0x12, 0x18, 0x24, 0x30, 0x48, 0x60, 0x6c};
        nlattr *rates = nla_nest_start(msg, NL80211_ATTR_SCAN_SUPP_RATES);
        if (rates == nullptr || nla_put(msg, NL80211_BAND_2GHZ, 8, ofdm) < 0) {
            nlmsg_free(msg);
            return -1;
        }
        nla_nest_end(msg, rates);
        if (nla_put_flag(msg, NL80211_ATTR_TX_NO_CCK_RATE) < 0) {
            nlmsg_free(msg);
            return -1;
        }
    }
    if (params->bssid && nla_put(msg, NL80211_ATTR_MAC, 6, params->bssid) < 0) {
        nlmsg_free(msg);
        return -1;
    }
    return send_and_recv_msgs(drv, msg, nullptr, nullptr);
}

} // namespace

void nl80211_scan_timeout(void *eloop_ctx, void *timeout_ctx) {
    auto *drv = static_cast<nl80211_drv *>(eloop_ctx);
    // Ask the kernel to end the scan; its abort event then reports. Without it the scan is
    // reported as over with nothing to tell.
    if (nl80211_abort_scan(drv->first_bss) == 0) return;
    if (drv->ap_scan_as_station != NL80211_IFTYPE_UNSPECIFIED) {
        nl80211_set_mode(drv->first_bss, drv->ap_scan_as_station);
        drv->ap_scan_as_station = NL80211_IFTYPE_UNSPECIFIED;
    }
    supplicant_event(timeout_ctx, EVENT_SCAN_RESULTS, nullptr);
}

int nl80211_scan(void *priv, wpa_driver_scan_params *params) {
    auto *bss = static_cast<nl80211_iface *>(priv);
    nl80211_drv *drv = bss->drv;
    drv->scan_for_auth = 0;
    int ret = scan_once(bss, params);
    if (ret < 0) {
        // An access point started here may scan as a station for a moment.
        if (drv->apd && nl80211_is_ap(drv->nlmode)) {
            int old_mode = drv->nlmode;
            if (nl80211_set_mode(bss, NL80211_IFTYPE_STATION) == 0) {
                if (scan_once(bss, params) < 0) {
                    nl80211_set_mode(bss, old_mode);
                    return ret;
                }
                drv->ap_scan_as_station = old_mode;
                ret = 0;
            }
        }
        if (ret < 0) return ret;
    }
    drv->scan_state = SCAN_REQUESTED;
    drv->last_scan_cmd = NL80211_CMD_TRIGGER_SCAN;
    int timeout = drv->scan_complete_events ? 30 : 10;
    eloop_cancel_timeout(nl80211_scan_timeout, drv, drv->ctx);
    eloop_register_timeout(timeout, 0, nl80211_scan_timeout, drv, drv->ctx);
    return 0;
}

int nl80211_sched_scan(void *priv, wpa_driver_scan_params *params) {
    auto *bss = static_cast<nl80211_iface *>(priv);
    nl80211_drv *drv = bss->drv;
    const wpa_driver_capa &capa = drv->capa;
    if (params->sched_scan_plans_num == 0 ||
        params->sched_scan_plans_num > static_cast<size_t>(capa.max_sched_scan_plans))
        return -1;
    nl_msg *msg = scan_common(bss, NL80211_CMD_START_SCHED_SCAN, params);
    if (msg == nullptr) return -1;

    if (capa.max_sched_scan_plan_iterations) {
        nlattr *plans = nla_nest_start(msg, NL80211_ATTR_SCHED_SCAN_PLANS);
        if (plans == nullptr) goto fail;
        for (size_t i = 0; i < params->sched_scan_plans_num; i++) {
            const sched_scan_plan &p = params->sched_scan_plans[i];
            bool last = i + 1 == params->sched_scan_plans_num;
            // Only the last plan may run forever (0 iterations), and it must.
            if ((p.iterations == 0) != last) goto fail;
            if (p.interval == 0 || p.interval > static_cast<unsigned int>(capa.max_sched_scan_plan_interval))
                goto fail;
            if (p.iterations > static_cast<unsigned int>(capa.max_sched_scan_plan_iterations)) goto fail;
            nlattr *plan = nla_nest_start(msg, static_cast<int>(i + 1));
            if (plan == nullptr || nla_put_u32(msg, NL80211_SCHED_SCAN_PLAN_INTERVAL, p.interval) < 0 ||
                (p.iterations && nla_put_u32(msg, NL80211_SCHED_SCAN_PLAN_ITERATIONS, p.iterations) < 0))
                goto fail;
            nla_nest_end(msg, plan);
        }
        nla_nest_end(msg, plans);
    } else if (nla_put_u32(msg, NL80211_ATTR_SCHED_SCAN_INTERVAL,
                           params->sched_scan_plans[0].interval * 1000) < 0) {
        goto fail;
    }

    if ((drv->num_filter_ssids && drv->num_filter_ssids <= static_cast<size_t>(capa.max_match_sets)) ||
        params->filter_rssi) {
        nlattr *match_sets = nla_nest_start(msg, NL80211_ATTR_SCHED_SCAN_MATCH);
        if (match_sets == nullptr) goto fail;
        for (size_t i = 0; i < drv->num_filter_ssids; i++) {
            nlattr *set = nla_nest_start(msg, static_cast<int>(i + 1));
            if (set == nullptr ||
                nla_put(msg, NL80211_SCHED_SCAN_MATCH_ATTR_SSID,
                        static_cast<int>(drv->filter_ssids[i].ssid_len), drv->filter_ssids[i].ssid) < 0 ||
                (params->filter_rssi && nla_put_u32(msg, NL80211_SCHED_SCAN_MATCH_ATTR_RSSI,
                                                    static_cast<uint32_t>(params->filter_rssi)) < 0))
                goto fail;
            nla_nest_end(msg, set);
        }
        if (params->filter_rssi) {
            nlattr *set = nla_nest_start(msg, 0);
            if (set == nullptr || nla_put_u32(msg, NL80211_SCHED_SCAN_MATCH_ATTR_RSSI,
                                              static_cast<uint32_t>(params->filter_rssi)) < 0)
                goto fail;
            nla_nest_end(msg, set);
        }
        nla_nest_end(msg, match_sets);
    }
    return send_and_recv_msgs(drv, msg, nullptr, nullptr);
fail:
    nlmsg_free(msg);
    return -1;
}

int nl80211_stop_sched_scan(void *priv) {
    auto *bss = static_cast<nl80211_iface *>(priv);
    nl_msg *msg = nl80211_cmd_msg(bss, 0, NL80211_CMD_STOP_SCHED_SCAN);
    if (msg == nullptr) return -1;
    return send_and_recv_msgs(bss->drv, msg, nullptr, nullptr);
}

int nl80211_abort_scan(void *priv) {
    auto *bss = static_cast<nl80211_iface *>(priv);
    nl_msg *msg = nl80211_cmd_msg(bss, 0, NL80211_CMD_ABORT_SCAN);
    if (msg == nullptr) return -1;
    return send_and_recv_msgs(bss->drv, msg, nullptr, nullptr);
}

// ---- Scan events ------------------------------------------------------------------------

void nl80211_scan_event(nl80211_drv *drv, int aborted, nlattr **tb, int external) {
    if (!external && drv->scan_for_auth) {
        // This scan found the BSS for a refused authentication: try it again.
        drv->scan_for_auth = 0;
        nl80211_retry_auth(drv);
        return;
    }
    wpa_event_data event{};
    event.scan_info.aborted = aborted;
    event.scan_info.external_scan = external;
    event.scan_info.nl_scan_event = 1;
    if (tb[NL80211_ATTR_SCAN_SSIDS]) {
        nlattr *nl;
        int rem;
        nla_for_each_nested(nl, tb[NL80211_ATTR_SCAN_SSIDS], rem) {
            if (event.scan_info.num_ssids == WPA_MAX_SCAN_SSIDS) break;
            if (nla_len(nl) > 32) continue;
            wpa_driver_scan_ssid &s = event.scan_info.ssids[event.scan_info.num_ssids++];
            s.ssid = static_cast<const uint8_t *>(nla_data(nl));
            s.ssid_len = static_cast<size_t>(nla_len(nl));
        }
    }
    int freqs[49];
    size_t num_freqs = 0;
    if (tb[NL80211_ATTR_SCAN_FREQUENCIES]) {
        nlattr *nl;
        int rem;
        nla_for_each_nested(nl, tb[NL80211_ATTR_SCAN_FREQUENCIES], rem) {
            if (num_freqs == 49) break;
            if (nla_len(nl) < 4) continue;
            freqs[num_freqs++] = static_cast<int>(nla_get_u32(nl));
        }
        event.scan_info.freqs = freqs;
        event.scan_info.num_freqs = num_freqs;
    }
    supplicant_event(drv->ctx, EVENT_SCAN_RESULTS, &event);
}

// ---- Results ---------------------------------------------------------------------------

namespace {

const uint8_t *res_ssid(const wpa_scan_res *r) {
    const uint8_t *ies = wpa_scan_res_ies(r);
    const uint8_t *ssid = get_ie(ies, r->ie_len, 0);
    if (ssid == nullptr) ssid = get_ie(ies + r->ie_len, r->beacon_ie_len, 0);
    return ssid;
}

bool scan_filtered(nl80211_drv *drv, const uint8_t *ie, size_t ie_len, const uint8_t *beacon_ie,
                   size_t beacon_ie_len) {
    if (drv->filter_ssids == nullptr) return false;
    const uint8_t *ssid = get_ie(ie, ie_len, 0);
    if (ssid == nullptr) ssid = get_ie(beacon_ie, beacon_ie_len, 0);
    if (ssid == nullptr) return true;
    for (size_t i = 0; i < drv->num_filter_ssids; i++)
        if (ssid[1] == drv->filter_ssids[i].ssid_len &&
            memcmp(ssid + 2, drv->filter_ssids[i].ssid, ssid[1]) == 0)
            return false;
    return true;
}

// Keeps one record per BSS: an entry with the same BSSID and SSID is replaced when the
// new one is the associated one or younger; false when the new one is dropped or added.
bool merge_duplicate(wpa_scan_results *res, wpa_scan_res *r) {
    const uint8_t *s1 = res_ssid(r);
    if (s1 == nullptr) return false;
    for (size_t i = 0; i < res->num; i++) {
        wpa_scan_res *old = res->res[i];
        if (memcmp(old->bssid, r->bssid, 6) != 0) continue;
        const uint8_t *s2 = res_ssid(old);
        if (s2 == nullptr || s1[1] != s2[1] || memcmp(s1, s2, static_cast<size_t>(s1[1]) + 2) != 0) continue;
        if (((r->flags & 0x20) && !(old->flags & 0x20)) || r->age < old->age) {
            free(old);
            res->res[i] = r;
        } else {
            free(r);
        }
        return true;
    }
    return false;
}

} // namespace

int nl80211_bss_info_handler(nlmsghdr *nlh, void *arg) {
    auto *a = static_cast<nl80211_bss_info_arg *>(arg);
    nl80211_drv *drv = a->drv;
    nlattr *tb[NL80211_ATTR_MAX + 1];
    nlattr *bss[NL80211_BSS_MAX + 1];
    if (nl80211_parse(nlh, tb) < 0 || !tb[NL80211_ATTR_BSS]) return NL_SKIP;
    if (nla_parse_nested(bss, NL80211_BSS_MAX, tb[NL80211_ATTR_BSS], nullptr) < 0) return NL_SKIP;
    const uint8_t *bssid = nla_addr(bss[NL80211_BSS_BSSID]);
    uint32_t status = nla_u32_or(bss[NL80211_BSS_STATUS], UINT32_MAX);
    if (status == NL80211_BSS_STATUS_ASSOCIATED) {
        a->assoc_freq = nla_u32_or(bss[NL80211_BSS_FREQUENCY], 0);
        if (bssid) memcpy(a->assoc_bssid, bssid, 6);
    } else if (status == NL80211_BSS_STATUS_IBSS_JOINED) {
        a->ibss_freq = nla_u32_or(bss[NL80211_BSS_FREQUENCY], 0);
    }
    if (a->res == nullptr) return NL_SKIP;

    const uint8_t *ie = nullptr, *beacon_ie = nullptr;
    size_t ie_len = 0, beacon_ie_len = 0;
    if (bss[NL80211_BSS_INFORMATION_ELEMENTS]) {
        ie = static_cast<const uint8_t *>(nla_data(bss[NL80211_BSS_INFORMATION_ELEMENTS]));
        ie_len = static_cast<size_t>(nla_len(bss[NL80211_BSS_INFORMATION_ELEMENTS]));
    }
    if (bss[NL80211_BSS_BEACON_IES]) {
        beacon_ie = static_cast<const uint8_t *>(nla_data(bss[NL80211_BSS_BEACON_IES]));
        beacon_ie_len = static_cast<size_t>(nla_len(bss[NL80211_BSS_BEACON_IES]));
    }
    if (scan_filtered(drv, ie, ie_len, beacon_ie, beacon_ie_len)) return NL_SKIP;

    auto *r = static_cast<wpa_scan_res *>(calloc(1, sizeof(wpa_scan_res) + ie_len + beacon_ie_len));
    if (r == nullptr) return NL_SKIP;
    if (bssid) memcpy(r->bssid, bssid, 6);
    r->freq = static_cast<int>(nla_u32_or(bss[NL80211_BSS_FREQUENCY], 0));
    r->beacon_int = nla_u16_or(bss[NL80211_BSS_BEACON_INTERVAL], 0);
    r->caps = nla_u16_or(bss[NL80211_BSS_CAPABILITY], 0);
    r->flags |= 0x2; // noise unknown until the survey
    if (bss[NL80211_BSS_SIGNAL_MBM] && nla_len(bss[NL80211_BSS_SIGNAL_MBM]) >= 4) {
        r->level = static_cast<int>(nla_get_u32(bss[NL80211_BSS_SIGNAL_MBM])) / 100;
        r->flags |= 0x1 | 0x8;
    } else if (bss[NL80211_BSS_SIGNAL_UNSPEC] && nla_len(bss[NL80211_BSS_SIGNAL_UNSPEC]) >= 1) {
        r->level = nla_get_u8(bss[NL80211_BSS_SIGNAL_UNSPEC]);
        r->flags |= 0x1;
    } else {
        r->flags |= 0x1 | 0x4;
    }
    r->tsf = nla_u64_or(bss[NL80211_BSS_TSF], 0);
    uint64_t beacon_tsf = nla_u64_or(bss[NL80211_BSS_BEACON_TSF], 0);
    if (beacon_tsf > r->tsf) r->tsf = beacon_tsf;
    r->age = nla_u32_or(bss[NL80211_BSS_SEEN_MS_AGO], 0);
    r->ie_len = ie_len;
    r->beacon_ie_len = beacon_ie_len;
    auto *pos = reinterpret_cast<uint8_t *>(r + 1);
    if (ie_len) memcpy(pos, ie, ie_len);
    if (beacon_ie_len) memcpy(pos + ie_len, beacon_ie, beacon_ie_len);
    if (status == NL80211_BSS_STATUS_ASSOCIATED) r->flags |= 0x20;

    if (merge_duplicate(a->res, r)) return NL_SKIP;
    auto *arr =
        static_cast<wpa_scan_res **>(realloc(a->res->res, sizeof(wpa_scan_res *) * (a->res->num + 1)));
    if (arr == nullptr) {
        free(r);
        return NL_SKIP;
    }
    arr[a->res->num++] = r;
    a->res->res = arr;
    return NL_SKIP;
}

int nl80211_survey_noise_handler(nlmsghdr *nlh, void *arg) {
    auto *res = static_cast<wpa_scan_results *>(arg);
    nlattr *tb[NL80211_ATTR_MAX + 1];
    nlattr *sinfo[NL80211_SURVEY_INFO_MAX + 1];
    if (nl80211_parse(nlh, tb) < 0 || !tb[NL80211_ATTR_SURVEY_INFO]) return NL_SKIP;
    if (nla_parse_nested(sinfo, NL80211_SURVEY_INFO_MAX, tb[NL80211_ATTR_SURVEY_INFO], nullptr) < 0)
        return NL_SKIP;
    if (!sinfo[NL80211_SURVEY_INFO_FREQUENCY] || !sinfo[NL80211_SURVEY_INFO_NOISE]) return NL_SKIP;
    int freq = static_cast<int>(nla_u32_or(sinfo[NL80211_SURVEY_INFO_FREQUENCY], 0));
    int noise = static_cast<int8_t>(nla_u8_or(sinfo[NL80211_SURVEY_INFO_NOISE], 0));
    for (size_t i = 0; i < res->num; i++) {
        wpa_scan_res *r = res->res[i];
        if (r->freq == freq && (r->flags & 0x2)) {
            r->noise = noise;
            r->flags &= ~0x2u;
        }
    }
    return NL_SKIP;
}

void nl80211_free_scan_results(wpa_scan_results *res) {
    if (res == nullptr) return;
    for (size_t i = 0; i < res->num; i++)
        free(res->res[i]);
    free(res->res);
    free(res);
}

namespace {

void clear_state_mismatch(nl80211_drv *drv, const uint8_t *bssid) {
    // The kernel believes in an association the supplicant does not have: drop it locally.
    nl_msg *msg = nl80211_drv_msg(drv, 0, NL80211_CMD_DEAUTHENTICATE);
    if (msg == nullptr) return;
    if (nla_put(msg, NL80211_ATTR_MAC, 6, bssid) < 0 || nla_put_u16(msg, NL80211_ATTR_REASON_CODE, 2) < 0 ||
        nla_put_flag(msg, NL80211_ATTR_LOCAL_STATE_CHANGE) < 0) {
        nlmsg_free(msg);
        return;
    }
    send_and_recv_msgs(drv, msg, nullptr, nullptr);
}

} // namespace

wpa_scan_results *nl80211_get_scan_results(void *priv) {
    nl80211_drv *drv = static_cast<nl80211_iface *>(priv)->drv;
    auto *res = static_cast<wpa_scan_results *>(calloc(1, sizeof(wpa_scan_results)));
    if (res == nullptr) return nullptr;
    nl_msg *msg = nl80211_drv_msg(drv, NLM_F_DUMP, NL80211_CMD_GET_SCAN);
    nl80211_bss_info_arg arg{drv, res, 0, 0, {}};
    if (msg == nullptr || send_and_recv_msgs(drv, msg, nl80211_bss_info_handler, &arg) < 0) {
        nl80211_free_scan_results(res);
        return nullptr;
    }
    // The fetch time is on the relative clock, as the table's update times are: the
    // kernel's ages count back from it.
    os_reltime now;
    os_get_reltime(&now);
    res->fetch_sec = now.sec;
    res->fetch_usec = now.usec;

    msg = nl80211_drv_msg(drv, NLM_F_DUMP, NL80211_CMD_GET_SURVEY);
    if (msg) send_and_recv_msgs(drv, msg, nl80211_survey_noise_handler, res);

    if ((drv->capa.flags & WPA_DRIVER_FLAGS_SME) && nl80211_is_sta(drv->nlmode)) {
        for (size_t i = 0; i < res->num; i++) {
            const wpa_scan_res *r = res->res[i];
            if (!(r->flags & 0x20)) continue;
            if (!drv->associated) {
                clear_state_mismatch(drv, r->bssid);
            } else if (memcmp(drv->bssid, r->bssid, 6) != 0) {
                clear_state_mismatch(drv, r->bssid);
                clear_state_mismatch(drv, drv->bssid);
            }
        }
    }
    return res;
}

unsigned int nl80211_get_assoc_freq(nl80211_drv *drv) {
    nl_msg *msg = nl80211_drv_msg(drv, NLM_F_DUMP, NL80211_CMD_GET_SCAN);
    nl80211_bss_info_arg arg{drv, nullptr, 0, 0, {}};
    if (msg && send_and_recv_msgs(drv, msg, nl80211_bss_info_handler, &arg) == 0) {
        unsigned int freq = drv->nlmode == NL80211_IFTYPE_ADHOC ? arg.ibss_freq : arg.assoc_freq;
        if (freq) drv->assoc_freq = freq;
    }
    return drv->assoc_freq;
}
