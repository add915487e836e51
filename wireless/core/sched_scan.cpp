#include "wireless/core/sched_scan.h"

#include "wireless/core/cipher_text.h"
#include "wireless/core/config.h"
#include "wireless/core/eloop.h"
#include "wireless/core/scan.h"
#include "wireless/core/text.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/core/wpabuf.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr unsigned int DefaultInterval = 10;

bool parse_uint(const char *text, size_t len, unsigned int *out) {
    if (len == 0 || len > 10) return false;
    unsigned long v = 0;
    for (size_t i = 0; i < len; i++) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + static_cast<unsigned long>(text[i] - '0');
    }
    if (v > UINT_MAX) return false;
    *out = static_cast<unsigned int>(v);
    return true;
}

size_t max_sched_ssids(wpa_iface *iface) {
    int m = iface->drv_capa.max_sched_scan_ssids;
    if (m <= 0) return 0;
    return std::min<size_t>(static_cast<size_t>(m), SCAN_MAX_SSIDS);
}

bool network_in_config(wpa_iface *iface, const wpa_network *ssid) {
    for (wpa_network *s = iface->conf->ssid; s; s = s->next)
        if (s == ssid) return true;
    return false;
}

void sched_scan_timeout(void *eloop_ctx, void *) {
    auto *iface = static_cast<wpa_iface *>(eloop_ctx);
    iface->sched_scan_timed_out = 1;
    supplicant_cancel_sched_scan(iface);
}

void delayed_sched_scan_timeout(void *eloop_ctx, void *) {
    auto *iface = static_cast<wpa_iface *>(eloop_ctx);
    if (supplicant_req_sched_scan(iface) != 0) supplicant_req_scan(iface, 0, 0);
}

// The common start step of scheduled scans and PNO.
int start_sched(wpa_iface *iface, wpa_driver_scan_params *params) {
    supplicant_notify_scanning(iface, 1);
    int ret =
        iface->driver && iface->driver->sched_scan ? iface->driver->sched_scan(iface->drv_priv, params) : -1;
    if (ret == 0)
        iface->sched_scanning = 1;
    else
        supplicant_notify_scanning(iface, 0);
    return ret;
}

void fill_plans(wpa_iface *iface, wpa_driver_scan_params *params, sched_scan_plan *one, bool all_fit) {
    if (iface->sched_scan_plans_num == 1 || (iface->sched_scan_plans_num > 1 && all_fit)) {
        params->sched_scan_plans = iface->sched_scan_plans;
        params->sched_scan_plans_num = iface->sched_scan_plans_num;
    } else if (iface->sched_scan_plans_num > 1) {
        params->sched_scan_plans = &iface->sched_scan_plans[iface->sched_scan_plans_num - 1];
        params->sched_scan_plans_num = 1;
    } else {
        params->sched_scan_plans = one;
        params->sched_scan_plans_num = 1;
    }
}

} // namespace

int sched_scan_plans_parse(const char *text, unsigned int max_plans, unsigned int max_interval,
                           unsigned int max_iterations, sched_scan_plan **plans, size_t *num) {
    *plans = nullptr;
    *num = 0;
    if (text == nullptr || *text == '\0') return 0;
    std::vector<sched_scan_plan> list;
    bool endless = false;
    const char *pos = text;
    while (*pos) {
        while (*pos == ' ')
            pos++;
        if (*pos == '\0') break;
        if (endless || list.size() >= 1024) return -1; // a token after the endless plan
        const char *end = pos;
        while (*end && *end != ' ')
            end++;
        const char *colon = static_cast<const char *>(memchr(pos, ':', static_cast<size_t>(end - pos)));
        sched_scan_plan p{};
        if (colon) {
            if (!parse_uint(pos, static_cast<size_t>(colon - pos), &p.interval) ||
                !parse_uint(colon + 1, static_cast<size_t>(end - colon - 1), &p.iterations) ||
                p.iterations == 0)
                return -1;
        } else {
            if (!parse_uint(pos, static_cast<size_t>(end - pos), &p.interval)) return -1;
            endless = true;
        }
        if (p.interval == 0) return -1;
        if (max_interval && p.interval > max_interval) p.interval = max_interval;
        if (max_iterations && p.iterations > max_iterations) p.iterations = max_iterations;
        list.push_back(p);
        pos = end;
    }
    if (list.empty()) return 0;
    if (!endless) return -1;
    if (max_plans && list.size() > max_plans) {
        sched_scan_plan last = list.back();
        list.resize(max_plans);
        list.back() = last;
    }
    auto *out = static_cast<sched_scan_plan *>(calloc(list.size(), sizeof(sched_scan_plan)));
    if (out == nullptr) return -1;
    memcpy(out, list.data(), list.size() * sizeof(sched_scan_plan));
    *plans = out;
    *num = list.size();
    return 0;
}

int supp_sched_scan_plans_set(wpa_iface *iface, const char *text) {
    sched_scan_plan *plans;
    size_t num;
    const wpa_driver_capa &c = iface->drv_capa;
    if (sched_scan_plans_parse(text, static_cast<unsigned int>(std::max(c.max_sched_scan_plans, 0)),
                               static_cast<unsigned int>(std::max(c.max_sched_scan_plan_interval, 0)),
                               static_cast<unsigned int>(std::max(c.max_sched_scan_plan_iterations, 0)),
                               &plans, &num) < 0)
        return -1;
    free(iface->sched_scan_plans);
    iface->sched_scan_plans = plans;
    iface->sched_scan_plans_num = num;
    return 0;
}

int supplicant_req_sched_scan(wpa_iface *iface) {
    wpa_config *conf = iface->conf;
    size_t max_sched = max_sched_ssids(iface);
    if (!iface->drv_capa.sched_scan_supported || max_sched == 0 || conf->disable_scan_offload) return -1;
    iface->sched_scan_stop_req = 0;
    if (iface->sched_scanning) return 0;

    bool need_wildcard = false;
    size_t named = 0;
    for (wpa_network *s = conf->ssid; s; s = s->next) {
        if (supp_network_disabled(iface, s)) continue;
        if (s->key_mgmt & WPA_KEY_MGMT_WPS) return -1;
        if (!s->scan_ssid)
            need_wildcard = true;
        else if (s->ssid.data && s->ssid.len)
            named++;
    }
    size_t needed = named + (need_wildcard ? 1 : 0);
    if (iface->normal_scans < 3) {
        size_t per_scan = static_cast<size_t>(std::max(iface->drv_capa.max_scan_ssids, 0));
        if (per_scan >= needed || per_scan >= max_sched) return -1;
    }

    int prev_state = iface->wpa_state;
    if (iface->wpa_state == WPA_DISCONNECTED || iface->wpa_state == WPA_INACTIVE)
        supplicant_set_state(iface, WPA_SCANNING);

    wpa_driver_scan_params params{};
    wpa_network *start = iface->prev_sched_ssid;
    if (start == nullptr || !network_in_config(iface, start)) {
        start = conf->ssid;
        iface->sched_scan_timeout = static_cast<int>(max_sched * 2);
        iface->first_sched_scan = 1;
        iface->sched_scan_cur_interval =
            conf->sched_scan_interval ? conf->sched_scan_interval : DefaultInterval;
    }
    if (need_wildcard) params.ssids[params.num_ssids++] = {nullptr, 0};
    size_t max_match = static_cast<size_t>(std::max(iface->drv_capa.max_match_sets, 0));
    std::vector<wpa_driver_scan_filter> filters;
    bool use_match = true;
    bool remaining = false;
    for (wpa_network *s = start; s; s = s->next) {
        if (supp_network_disabled(iface, s)) continue;
        if (s->ssid.data && s->ssid.len) {
            if (filters.size() >= max_match) {
                use_match = false;
            } else {
                wpa_driver_scan_filter f{};
                f.ssid_len = std::min<size_t>(s->ssid.len, 32);
                memcpy(f.ssid, s->ssid.data, f.ssid_len);
                filters.push_back(f);
            }
        }
        if (s->scan_ssid && s->ssid.data && s->ssid.len) {
            if (params.num_ssids >= max_sched) {
                iface->prev_sched_ssid = s;
                remaining = true;
                break;
            }
            params.ssids[params.num_ssids++] = {s->ssid.data, s->ssid.len};
        }
    }
    if (!remaining) iface->prev_sched_ssid = nullptr;
    if (use_match && !filters.empty()) {
        params.filter_ssids =
            static_cast<wpa_driver_scan_filter *>(calloc(filters.size(), sizeof(filters[0])));
        if (params.filter_ssids) {
            memcpy(params.filter_ssids, filters.data(), filters.size() * sizeof(filters[0]));
            params.num_filter_ssids = filters.size();
        }
    }
    wpa_buf *extra = supplicant_extra_ies(iface);
    if (extra) {
        params.extra_ies = wpa_buf_head(extra);
        params.extra_ies_len = wpa_buf_len(extra);
    }
    params.filter_rssi = conf->filter_rssi;
    if (conf->freq_list && conf->freq_list[0]) params.freqs = conf->freq_list;

    unsigned int max_interval =
        static_cast<unsigned int>(std::max(iface->drv_capa.max_sched_scan_plan_interval, 0));
    sched_scan_plan one{iface->sched_scan_cur_interval, 0};
    if (max_interval && one.interval > max_interval) one.interval = max_interval;
    fill_plans(iface, &params, &one, !remaining && iface->first_sched_scan);
    if ((iface->mac_addr_rand_enable & MAC_ADDR_RAND_SCHED_SCAN) && iface->mac_addr_sched_scan) {
        params.mac_addr_rand = 1;
        params.mac_addr = iface->mac_addr_sched_scan;
        params.mac_addr_mask = iface->mac_addr_sched_scan + 6;
    }

    int ret = start_sched(iface, &params);
    free(params.filter_ssids); // a back end that took them set the pointer to null
    wpa_buf_free(extra);
    if (ret != 0) {
        wpa_msg_iface(iface, MSG_WARNING, "Failed to initiate sched scan");
        if (prev_state != iface->wpa_state) supplicant_set_state(iface, prev_state);
        return ret;
    }
    if (remaining || !iface->first_sched_scan) {
        eloop_register_timeout(iface->sched_scan_timeout, 0, sched_scan_timeout, iface, nullptr);
        iface->first_sched_scan = 0;
        iface->sched_scan_timeout /= 2;
        iface->sched_scan_cur_interval *= 2;
        if (iface->sched_scan_timeout < static_cast<int>(iface->sched_scan_cur_interval) ||
            (max_interval && iface->sched_scan_cur_interval > max_interval)) {
            iface->sched_scan_cur_interval = DefaultInterval;
            iface->sched_scan_timeout = static_cast<int>(max_sched * 2);
        }
    }
    return 0;
}

int supplicant_delayed_sched_scan(wpa_iface *iface, int sec, int usec) {
    if (!iface->drv_capa.sched_scan_supported) return -1;
    eloop_cancel_timeout(delayed_sched_scan_timeout, iface, nullptr);
    eloop_register_timeout(sec, usec, delayed_sched_scan_timeout, iface, nullptr);
    return 0;
}

void supplicant_sched_scan_cancel_timeouts(wpa_iface *iface) {
    eloop_cancel_timeout(sched_scan_timeout, iface, nullptr);
    eloop_cancel_timeout(delayed_sched_scan_timeout, iface, nullptr);
}

void supplicant_cancel_delayed_sched_scan(wpa_iface *iface) {
    eloop_cancel_timeout(delayed_sched_scan_timeout, iface, nullptr);
}

void supplicant_cancel_sched_scan(wpa_iface *iface) {
    if (!iface->sched_scanning) return;
    iface->sched_scan_stop_req = 1;
    eloop_cancel_timeout(sched_scan_timeout, iface, nullptr);
    if (iface->driver && iface->driver->stop_sched_scan) iface->driver->stop_sched_scan(iface->drv_priv);
}

void supplicant_stop_sched_scan_reset(wpa_iface *iface) {
    iface->normal_scans = 0;
    if (iface->sched_scanning) {
        iface->sched_scan_timed_out = 0;
        iface->prev_sched_ssid = nullptr;
        supplicant_cancel_sched_scan(iface);
    }
}

void supplicant_restart_sched_scan(wpa_iface *iface) {
    iface->sched_scan_timed_out = 1;
    iface->prev_sched_ssid = nullptr;
    supplicant_cancel_sched_scan(iface);
}

int supp_sched_scan_start_if_possible(wpa_iface *iface) {
    return supplicant_req_sched_scan(iface) == 0 ? 0 : -1;
}

void supplicant_sched_scan_stopped(wpa_iface *iface) {
    iface->sched_scanning = 0;
    bool pending = supplicant_scan_pending(iface);
    supplicant_notify_scanning(iface, 0);
    if (iface->wpa_state == WPA_INTERFACE_DISABLED) return;
    if (!iface->sched_scan_stop_req && iface->wpa_state == WPA_SCANNING) {
        supplicant_req_scan(iface, 1, 0);
        return;
    }
    iface->sched_scan_stop_req = 0;
    if (iface->sched_scan_timed_out) {
        iface->sched_scan_timed_out = 0;
        supplicant_req_sched_scan(iface);
    } else if (iface->pno_sched_pending) {
        iface->pno_sched_pending = 0;
        supp_start_pno(iface);
    } else if (pending) {
        supplicant_req_scan(iface, 0, 0);
    }
}

int supp_start_pno(wpa_iface *iface) {
    size_t max_sched = max_sched_ssids(iface);
    if (!iface->drv_capa.sched_scan_supported || max_sched == 0) return -1;
    if (iface->pno || iface->pno_sched_pending) return 0;
    if (iface->wpa_state >= WPA_AUTHENTICATING && iface->wpa_state <= WPA_COMPLETED) return -11;
    if (iface->wpa_state == WPA_SCANNING) {
        supplicant_cancel_scan(iface);
        if (iface->sched_scanning) {
            iface->pno_sched_pending = 1;
            supplicant_cancel_sched_scan(iface);
            return 0;
        }
    }
    if (iface->sched_scan_stop_req) {
        iface->pno_sched_pending = 1;
        return 0;
    }
    wpa_config *conf = iface->conf;
    wpa_driver_scan_params params{};
    size_t usable = 0;
    bool need_wildcard = false;
    for (wpa_network *s = conf->ssid; s; s = s->next)
        if (!supp_network_disabled(iface, s)) {
            usable++;
            if (!s->scan_ssid) need_wildcard = true;
        }
    if (usable == 0) return -1;
    if (need_wildcard) params.ssids[params.num_ssids++] = {nullptr, 0};
    size_t max_match = static_cast<size_t>(std::max(iface->drv_capa.max_match_sets, 0));
    std::vector<wpa_driver_scan_filter> filters;
    for (size_t p = 0; p < conf->num_prio; p++) {
        for (wpa_network *s = conf->pssid[p]; s; s = s->pnext) {
            if (supp_network_disabled(iface, s) || s->ssid.data == nullptr || s->ssid.len == 0) continue;
            if (s->scan_ssid && params.num_ssids < max_sched)
                params.ssids[params.num_ssids++] = {s->ssid.data, s->ssid.len};
            if (filters.size() < max_match) {
                wpa_driver_scan_filter f{};
                f.ssid_len = std::min<size_t>(s->ssid.len, 32);
                memcpy(f.ssid, s->ssid.data, f.ssid_len);
                filters.push_back(f);
            }
        }
    }
    if (!filters.empty()) {
        params.filter_ssids =
            static_cast<wpa_driver_scan_filter *>(calloc(filters.size(), sizeof(filters[0])));
        if (params.filter_ssids) {
            memcpy(params.filter_ssids, filters.data(), filters.size() * sizeof(filters[0]));
            params.num_filter_ssids = filters.size();
        }
    }
    params.filter_rssi = conf->filter_rssi;
    sched_scan_plan one{conf->sched_scan_interval ? static_cast<unsigned int>(conf->sched_scan_interval)
                                                  : DefaultInterval,
                        0};
    if (iface->sched_scan_plans_num) {
        params.sched_scan_plans = iface->sched_scan_plans;
        params.sched_scan_plans_num = iface->sched_scan_plans_num;
    } else {
        params.sched_scan_plans = &one;
        params.sched_scan_plans_num = 1;
    }
    params.freqs = iface->pno_freqs;
    if ((iface->mac_addr_rand_enable & MAC_ADDR_RAND_PNO) && iface->mac_addr_pno) {
        params.mac_addr_rand = 1;
        params.mac_addr = iface->mac_addr_pno;
        params.mac_addr_mask = iface->mac_addr_pno + 6;
    }
    int ret = start_sched(iface, &params);
    free(params.filter_ssids);
    if (ret != 0) {
        wpa_msg_iface(iface, MSG_ERROR, "Failed to schedule PNO");
        return ret;
    }
    iface->pno = 1;
    return 0;
}

int supp_stop_pno(wpa_iface *iface) {
    if (!iface->pno) return 0;
    int ret = 0;
    if (iface->driver && iface->driver->stop_sched_scan)
        ret = iface->driver->stop_sched_scan(iface->drv_priv);
    iface->sched_scan_stop_req = 1;
    iface->pno = 0;
    iface->pno_sched_pending = 0;
    if (iface->wpa_state == WPA_SCANNING) supplicant_req_scan(iface, 0, 0);
    return ret;
}
