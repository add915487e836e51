#include "wireless/core/scan.h"

#include "wireless/common/ieee802_11_common.h"
#include "wireless/core/association.h"
#include "wireless/core/bgscan.h"
#include "wireless/core/bss.h"
#include "wireless/core/cipher_text.h"
#include "wireless/core/config.h"
#include "wireless/core/connect.h"
#include "wireless/core/connection_state.h"
#include "wireless/core/eloop.h"
#include "wireless/core/radio_work.h"
#include "wireless/core/sched_scan.h"
#include "wireless/core/text.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/core/wpabuf.h"
#include "wireless/crypto/random_pool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

void scan_handler(void *eloop_ctx, void *);

void free_freqs(int **freqs) {
    free(*freqs);
    *freqs = nullptr;
}

int *dup_freqs(const int *freqs) {
    if (freqs == nullptr) return nullptr;
    size_t n = int_array_len(freqs);
    auto *copy = static_cast<int *>(calloc(n + 1, sizeof(int)));
    if (copy) memcpy(copy, freqs, n * sizeof(int));
    return copy;
}

bool network_in_config(wpa_iface *iface, const wpa_network *ssid) {
    for (wpa_network *s = iface->conf->ssid; s; s = s->next)
        if (s == ssid) return true;
    return false;
}

void add_ssid(wpa_driver_scan_params *params, const uint8_t *ssid, size_t len) {
    if (params->num_ssids >= SCAN_MAX_SSIDS) return;
    params->ssids[params->num_ssids].ssid = ssid;
    params->ssids[params->num_ssids].ssid_len = len;
    params->num_ssids++;
}

// The enabled channels of the radio's 5-GHz (band 1) or 2.4-GHz (band 2) mode.
int *band_freqs(wpa_iface *iface, int band) {
    int *freqs = nullptr;
    for (unsigned int m = 0; iface->hw_modes && m < iface->num_hw_modes; m++) {
        const hw_mode_info *mode = &iface->hw_modes[m];
        bool want = band == 1 ? mode->mode == HW_MODE_IEEE80211A : mode->mode == HW_MODE_IEEE80211G;
        if (!want) continue;
        for (int c = 0; c < mode->num_channels; c++)
            if (!(mode->channels[c].flag & 0x1) && int_array_add_unique(&freqs, mode->channels[c].freq) < 0) {
                free(freqs);
                return nullptr;
            }
    }
    return freqs;
}

void end_scan_work(wpa_iface *iface) {
    radio_work *work = iface->scan_work;
    if (work == nullptr) return;
    iface->scan_work = nullptr;
    wpa_scan_params_free(static_cast<wpa_driver_scan_params *>(work->ctx));
    work->ctx = nullptr;
    radio_work_done(work);
}

void scan_work_cb(radio_work *work, int deinit) {
    wpa_iface *iface = work->iface;
    auto *params = static_cast<wpa_driver_scan_params *>(work->ctx);
    if (deinit) {
        if (work->started) {
            iface->scan_work = nullptr;
            supplicant_notify_scanning(iface, 0);
        }
        wpa_scan_params_free(params);
        work->ctx = nullptr;
        return;
    }
    if (supp_update_random_addr_before_scan(iface) < 0) {
        wpa_msg_iface(iface, MSG_INFO, "Failed to assign random MAC address for a scan");
        wpa_msg_iface(iface, MSG_INFO, "CTRL-EVENT-SCAN-FAILED ret=-1");
        wpa_scan_params_free(params);
        work->ctx = nullptr;
        radio_work_done(work);
        return;
    }
    supplicant_notify_scanning(iface, 1);
    if (iface->clear_driver_scan_cache) params->only_new_results = 1;
    int ret = iface->driver && iface->driver->scan ? iface->driver->scan(iface->drv_priv, params) : -1;
    if (ret == 0) {
        os_get_reltime(&iface->scan_trigger_time);
        iface->scan_work = work;
        iface->scan_run_count++;
        iface->normal_scans++;
        iface->own_scan_requested = 1;
        iface->own_scan_running = 0;
        iface->clear_driver_scan_cache = 0;
        return;
    }
    int kind = iface->scan_req_running;
    supplicant_notify_scanning(iface, 0);
    if (iface->wpa_state == WPA_SCANNING) supplicant_set_state(iface, iface->scan_prev_wpa_state);
    bool retry = !iface->disconnected && kind != MANUAL_SCAN_REQ;
    wpa_msg_iface(iface, MSG_INFO, "CTRL-EVENT-SCAN-FAILED ret=%d%s", ret, retry ? " retry=1" : "");
    wpa_scan_params_free(params);
    work->ctx = nullptr;
    radio_work_done(work);
    if (retry) {
        iface->scan_req = kind;
        supplicant_req_scan(iface, 1, 0);
    }
}

// Networks tried in order after the SSID cursor; each usable one with "scan_ssid" adds its
// SSID until the room for named SSIDs is used up.
void add_cursor_ssids(wpa_iface *iface, wpa_driver_scan_params *params, size_t max_ssids) {
    wpa_network *start = iface->prev_scan_ssid;
    // The cursor may name a network that has since been removed.
    if (start != WILDCARD_SSID_SCAN && (start == nullptr || !network_in_config(iface, start)))
        start = WILDCARD_SSID_SCAN;
    size_t limit = max_ssids > 1 ? max_ssids - 1 : 1;
    bool covered = true;
    wpa_network *first = start == WILDCARD_SSID_SCAN ? iface->conf->ssid : start->next;
    bool wrap = start != WILDCARD_SSID_SCAN && max_ssids > 1;
    wpa_network *s = first;
    bool wrapped = false;
    for (;;) {
        if (s == nullptr) {
            if (!wrap || wrapped) break;
            wrapped = true;
            s = iface->conf->ssid;
            if (s == nullptr) break;
        }
        if (wrapped && s == first) break;
        if (!supp_network_disabled(iface, s) && s->scan_ssid && s->ssid.data && s->ssid.len) {
            if (params->num_ssids >= limit) {
                covered = false;
                break;
            }
            add_ssid(params, s->ssid.data, s->ssid.len);
            iface->prev_scan_ssid = s;
            // With room for one SSID only, the next scan carries the wildcard.
            if (max_ssids == 1) {
                covered = false;
                break;
            }
        }
        if (wrapped && s == start) break;
        s = s->next;
    }
    bool passive_manual =
        iface->scan_req_running == MANUAL_SCAN_REQ && iface->manual_scan_passive && params->num_ssids == 0;
    if (covered) {
        iface->prev_scan_ssid = WILDCARD_SSID_SCAN;
        if (params->num_ssids < max_ssids && !iface->conf->passive_scan && !passive_manual)
            add_ssid(params, nullptr, 0);
    } else if (params->num_ssids < max_ssids) {
        add_ssid(params, nullptr, 0);
    }
}

// ap_scan 2: the next usable network after the SSID cursor is started without a BSS and
// the cursor moves to it (to the wildcard position after the last one). With none left the
// walk starts over from the first network at once.
void assoc_try_next(wpa_iface *iface) {
    wpa_network *cursor = iface->prev_scan_ssid;
    if (cursor != WILDCARD_SSID_SCAN && (cursor == nullptr || !network_in_config(iface, cursor)))
        cursor = WILDCARD_SSID_SCAN;
    wpa_network *s = cursor == WILDCARD_SSID_SCAN ? iface->conf->ssid : cursor->next;
    while (s && supp_network_disabled(iface, s))
        s = s->next;
    if (s == nullptr) {
        iface->prev_scan_ssid = WILDCARD_SSID_SCAN;
        supplicant_req_scan(iface, 0, 0);
        return;
    }
    iface->prev_scan_ssid = s->next ? s : WILDCARD_SSID_SCAN;
    supplicant_associate(iface, nullptr, s);
}

void scan_handler(void *eloop_ctx, void *) {
    auto *iface = static_cast<wpa_iface *>(eloop_ctx);
    if (iface->pno || iface->pno_sched_pending || iface->wpa_state == WPA_INTERFACE_DISABLED) return;
    if (iface->disconnected && iface->scan_req == NORMAL_SCAN_REQ) {
        supplicant_set_state(iface, WPA_DISCONNECTED);
        return;
    }
    if (iface->scanning || iface->scan_work || radio_work_pending(iface, "scan")) {
        supplicant_req_scan(iface, 1, 0);
        return;
    }
    if (!supplicant_enabled_networks(iface) && iface->scan_req == NORMAL_SCAN_REQ) {
        supplicant_set_state(iface, WPA_INACTIVE);
        return;
    }
    wpa_config *conf = iface->conf;
    if ((iface->drv_flags & WPA_DRIVER_FLAGS_WIRED) && conf->ap_scan != 0) conf->ap_scan = 0;
    // ap_scan 0: the driver selects the network; nothing is scanned.
    if (conf->ap_scan == 0) return;

    size_t max_ssids = 1;
    if (conf->ap_scan != 2) {
        int m = iface->drv_capa.max_scan_ssids;
        max_ssids = m < 1 ? 1 : std::min<size_t>(static_cast<size_t>(m), SCAN_MAX_SSIDS);
    }
    iface->scan_req_running = iface->scan_req;
    iface->scan_req = NORMAL_SCAN_REQ;
    int kind = iface->scan_req_running;

    // A network to connect without scanning (a mesh network that was selected) starts now.
    if (wpa_network *direct = iface->connect_without_scan) {
        iface->connect_without_scan = nullptr;
        if (network_in_config(iface, direct)) {
            supplicant_associate(iface, nullptr, direct);
            return;
        }
    }

    iface->scan_prev_wpa_state = iface->wpa_state;
    if (iface->wpa_state == WPA_DISCONNECTED || iface->wpa_state == WPA_INACTIVE)
        supplicant_set_state(iface, WPA_SCANNING);

    // ap_scan 2 outside a manual scan: the driver picks the BSS, so nothing is scanned and
    // the networks are tried one by one in configuration order.
    if (conf->ap_scan == 2 && kind != MANUAL_SCAN_REQ) {
        assoc_try_next(iface);
        return;
    }

    wpa_driver_scan_params params{};
    int *freqs = nullptr; // the params' list, built here
    if (kind == MANUAL_SCAN_REQ && iface->num_ssids_from_scan_req) {
        for (size_t i = 0; i < iface->num_ssids_from_scan_req && params.num_ssids < max_ssids; i++)
            add_ssid(&params, iface->ssids_from_scan_req[i].ssid, iface->ssids_from_scan_req[i].ssid_len);
    } else if (iface->reattach && iface->current_ssid && iface->current_ssid->ssid.len) {
        add_ssid(&params, iface->current_ssid->ssid.data, iface->current_ssid->ssid.len);
        if (iface->assoc_freq) int_array_add_unique(&freqs, iface->assoc_freq);
        iface->reattach = 0;
    } else {
        add_cursor_ssids(iface, &params, max_ssids);
    }
    if (kind == MANUAL_SCAN_REQ && iface->manual_scan_use_id && iface->scan_id_count) {
        for (size_t i = 0; i < iface->scan_id_count && params.num_ssids + 1 < max_ssids; i++) {
            wpa_network *s = wpa_config_get_network(conf, iface->scan_id[i]);
            if (s && s->ssid.data && s->ssid.len) add_ssid(&params, s->ssid.data, s->ssid.len);
        }
        iface->scan_id_count = 0;
    }

    // Frequencies.
    if (kind == NORMAL_SCAN_REQ && freqs == nullptr) {
        bool all = false;
        for (wpa_network *s = conf->ssid; s && !all; s = s->next) {
            if (supp_network_disabled(iface, s)) continue;
            if (s->scan_freq == nullptr || s->scan_freq[0] == 0) {
                all = true;
                break;
            }
            for (int *f = s->scan_freq; *f; f++)
                int_array_add_unique(&freqs, *f);
        }
        if (all) free_freqs(&freqs);
    }
    if (freqs == nullptr && iface->next_scan_freq_count > 0 && iface->next_scan_freq) {
        int_array_add_unique(&freqs, iface->next_scan_freq);
        iface->next_scan_freq_count--;
    }
    if (freqs == nullptr) {
        if (kind == MANUAL_SCAN_REQ && iface->manual_scan_freqs) {
            freqs = iface->manual_scan_freqs;
            iface->manual_scan_freqs = nullptr;
        } else if (kind != MANUAL_SCAN_REQ && iface->next_scan_freqs) {
            freqs = iface->next_scan_freqs;
            iface->next_scan_freqs = nullptr;
        }
    }
    free_freqs(&iface->next_scan_freqs);
    if (freqs == nullptr && iface->setband) freqs = band_freqs(iface, iface->setband);
    if (freqs == nullptr && conf->freq_list && conf->freq_list[0]) freqs = dup_freqs(conf->freq_list);
    if (freqs == nullptr && conf->scan_cur_freq) {
        int used[16];
        int n = wpa_get_shared_radio_freqs(iface, used, 16);
        for (int i = 0; i < n; i++)
            int_array_add_unique(&freqs, used[i]);
    }

    // Filter SSIDs.
    if (conf->filter_ssids) {
        size_t n = 0;
        for (wpa_network *s = conf->ssid; s; s = s->next)
            if (s->ssid.data && s->ssid.len) n++;
        if (n) {
            params.filter_ssids =
                static_cast<wpa_driver_scan_filter *>(calloc(n, sizeof(wpa_driver_scan_filter)));
            for (wpa_network *s = conf->ssid; s && params.filter_ssids; s = s->next) {
                if (s->ssid.data == nullptr || s->ssid.len == 0) continue;
                size_t len = std::min<size_t>(s->ssid.len, 32);
                memcpy(params.filter_ssids[params.num_filter_ssids].ssid, s->ssid.data, len);
                params.filter_ssids[params.num_filter_ssids++].ssid_len = len;
            }
        }
    }

    wpa_buf *extra = supplicant_extra_ies(iface);
    if (extra) {
        params.extra_ies = wpa_buf_head(extra);
        params.extra_ies_len = wpa_buf_len(extra);
    }
    if (kind == MANUAL_SCAN_REQ && iface->manual_scan_only_new) params.only_new_results = 1;
    if ((iface->mac_addr_rand_enable & MAC_ADDR_RAND_SCAN) && iface->mac_addr_scan) {
        params.mac_addr_rand = 1;
        params.mac_addr = iface->mac_addr_scan;
        params.mac_addr_mask = iface->mac_addr_scan + 6;
    }
    if (!is_zero_ether_addr(iface->next_scan_bssid)) {
        params.bssid = iface->next_scan_bssid;
        wpa_bss *bss = wpa_bss_get_bssid(iface, iface->next_scan_bssid);
        size_t wild = 0, wild_at = 0;
        for (size_t i = 0; i < params.num_ssids; i++)
            if (params.ssids[i].ssid_len == 0) {
                wild++;
                wild_at = i;
            }
        if (bss && bss->ssid_len && wild == 1) {
            params.ssids[wild_at].ssid = bss->ssid;
            params.ssids[wild_at].ssid_len = bss->ssid_len;
        }
    }
    if (iface->scan_for_connection && kind == NORMAL_SCAN_REQ && freqs == nullptr &&
        iface->global->conc_pref != 1 && supplicant_enabled_networks(iface)) {
        unsigned int chans = iface->num_multichan_concurrent ? iface->num_multichan_concurrent : 1;
        int used[16];
        int n = wpa_get_shared_radio_freqs(iface, used, std::min(chans, 16u));
        if (n > 0 && static_cast<unsigned int>(n) == chans)
            for (int i = 0; i < n; i++)
                int_array_add_unique(&freqs, used[i]);
    }

    // A manual scan whose trigger fails keeps its frequencies for the retry.
    int *kept_freqs = kind == MANUAL_SCAN_REQ ? dup_freqs(freqs) : nullptr;
    params.freqs = freqs;
    int ret = supplicant_trigger_scan(iface, &params);
    wpa_buf_free(extra);
    free(freqs);
    free(params.filter_ssids);
    if (ret < 0) {
        wpa_msg_iface(iface, MSG_WARNING, "Failed to initiate AP scan");
        if (iface->wpa_state == WPA_SCANNING) supplicant_set_state(iface, iface->scan_prev_wpa_state);
        if (kept_freqs && iface->manual_scan_freqs == nullptr) {
            iface->manual_scan_freqs = kept_freqs;
            kept_freqs = nullptr;
        }
        iface->scan_req = kind;
        supplicant_req_scan(iface, 1, 0);
    } else {
        iface->scan_for_connection = 0;
        memset(iface->next_scan_bssid, 0, 6);
    }
    free(kept_freqs);
}

void handle_results(wpa_iface *iface, const wpa_scan_info *info, bool own) {
    supplicant_notify_scanning(iface, 0);
    wpa_scan_results *res = supplicant_get_scan_results(iface, info, 1);
    if (res == nullptr) {
        if (own && iface->conf->ap_scan != 2) supplicant_req_new_scan(iface, 1, 0);
        if (own) end_scan_work(iface);
        return;
    }
    for (size_t i = 0; i < res->num && i < 10; i++) {
        const wpa_scan_res *r = res->res[i];
        int vals[4] = {r->bssid[5], r->qual, r->noise, r->level};
        uint32_t tsf = static_cast<uint32_t>(r->tsf);
        random_pool_add_entropy(vals, sizeof(vals));
        random_pool_add_entropy(&tsf, sizeof(tsf));
    }
    if (own && iface->scan_res_handler) {
        auto handler = iface->scan_res_handler;
        iface->scan_res_handler = nullptr;
        handler(iface, res);
        wpa_scan_results_free(res);
        end_scan_work(iface);
        return;
    }
    if (own && iface->manual_scan_use_id && iface->scan_req_running == MANUAL_SCAN_REQ) {
        wpa_msg_iface_ctrl(iface, MSG_INFO, "CTRL-EVENT-SCAN-RESULTS id=%u", iface->manual_scan_id);
        iface->manual_scan_use_id = 0;
    } else {
        wpa_msg_iface_ctrl(iface, MSG_INFO, "CTRL-EVENT-SCAN-RESULTS ");
    }
    bool foreign = info && info->external_scan;
    bool consumed = false;
    // Results of another program's scan, of the overlapping-BSS scan (the coexistence
    // report takes them) and under ap_scan 2 go no further.
    if (!foreign && sme_proc_obss_scan(iface) == 0 && iface->conf->ap_scan != 2) {
        if (iface->disconnected) {
            supplicant_set_state(iface, WPA_DISCONNECTED);
        } else {
            if (!(supp_bgscan_notify_scan(iface, res) == 1 &&
                  !(iface->drv_flags & WPA_DRIVER_FLAGS_BSS_SELECTION)) &&
                !(iface->wpa_state >= WPA_AUTHENTICATING && iface->wpa_state <= WPA_GROUP_HANDSHAKE)) {
                if (own) end_scan_work(iface);
                consumed = true;
            }
        }
    }
    wpa_scan_results_free(res);
    if (consumed) supp_select_network_from_last_scan(iface, 1, own);
    if (own) end_scan_work(iface);
}

} // namespace

// ------------------------------------------------------------------ requests

void supplicant_req_scan(wpa_iface *iface, int sec, int usec) {
    if (iface->p2p_mgmt) return;
    if (eloop_is_timeout_registered(scan_handler, iface, nullptr)) {
        eloop_shorten_timeout(sec, usec, scan_handler, iface, nullptr);
        return;
    }
    eloop_register_timeout(sec, usec, scan_handler, iface, nullptr);
}

void supplicant_cancel_scan(wpa_iface *iface) {
    eloop_cancel_timeout(scan_handler, iface, nullptr);
}

bool supplicant_scan_pending(wpa_iface *iface) {
    return eloop_is_timeout_registered(scan_handler, iface, nullptr) != 0;
}

void supplicant_update_scan_int(wpa_iface *iface, int sec) {
    iface->scan_interval = sec;
    os_time remaining{};
    if (eloop_cancel_timeout_one(scan_handler, iface, nullptr, &remaining)) {
        int64_t new_sec = remaining.sec, new_usec = remaining.usec;
        if (sec < remaining.sec || (sec == remaining.sec && remaining.usec > 0)) {
            new_sec = sec;
            new_usec = 0;
        }
        eloop_register_timeout(new_sec, new_usec, scan_handler, iface, nullptr);
    }
}

int supplicant_set_scan_interval(wpa_iface *iface, int sec) {
    if (sec < 0) {
        wpa_msg_iface(iface, MSG_ERROR, "Invalid scan interval %d", sec);
        return -1;
    }
    wpa_msg_iface(iface, MSG_DEBUG, "Setting scan interval: %d sec", sec);
    supplicant_update_scan_int(iface, sec);
    return 0;
}

void supplicant_notify_scanning(wpa_iface *iface, int scanning) {
    iface->scanning = scanning;
}

void supplicant_req_new_scan(wpa_iface *iface, int sec, int usec) {
    if (!supplicant_enabled_networks(iface)) {
        supplicant_set_state(iface, WPA_INACTIVE);
        return;
    }
    iface->scan_for_connection = 1;
    supplicant_req_scan(iface, sec, usec);
}

int supplicant_trigger_scan(wpa_iface *iface, const wpa_driver_scan_params *params) {
    if (iface->scan_work || radio_work_pending(iface, "scan")) return -1;
    wpa_driver_scan_params *copy = wpa_scan_clone_params(params);
    if (copy == nullptr || radio_add_work(iface, 0, "scan", 0, scan_work_cb, copy) < 0) {
        wpa_scan_params_free(copy);
        wpa_msg_iface(iface, MSG_INFO, "CTRL-EVENT-SCAN-FAILED ret=-1");
        return -1;
    }
    return 0;
}

int supplicant_abort_scan(wpa_iface *iface) {
    if ((iface->scan_work || iface->p2p_scan_work) &&
        (iface->own_scan_running || iface->own_scan_requested)) {
        if (iface->driver == nullptr || iface->driver->abort_scan == nullptr) return -1;
        return iface->driver->abort_scan(iface->drv_priv);
    }
    return 0;
}

// ------------------------------------------------------------------ parameters

void wpa_scan_params_free(wpa_driver_scan_params *params) {
    if (params == nullptr) return;
    for (size_t i = 0; i < params->num_ssids; i++)
        free(const_cast<uint8_t *>(params->ssids[i].ssid));
    free(const_cast<uint8_t *>(params->extra_ies));
    free(const_cast<int *>(params->freqs));
    free(params->filter_ssids);
    free(const_cast<uint8_t *>(params->mac_addr));
    free(const_cast<uint8_t *>(params->mac_addr_mask));
    free(const_cast<sched_scan_plan *>(params->sched_scan_plans));
    free(const_cast<uint8_t *>(params->bssid));
    free(params);
}

namespace {
const uint8_t *dup_bytes(const uint8_t *src, size_t len, bool *ok) {
    if (src == nullptr) return nullptr;
    auto *copy = static_cast<uint8_t *>(malloc(len ? len : 1));
    if (copy == nullptr) {
        *ok = false;
        return nullptr;
    }
    memcpy(copy, src, len);
    return copy;
}
} // namespace

wpa_driver_scan_params *wpa_scan_clone_params(const wpa_driver_scan_params *src) {
    auto *p = static_cast<wpa_driver_scan_params *>(calloc(1, sizeof(wpa_driver_scan_params)));
    if (p == nullptr) return nullptr;
    bool ok = true;
    p->num_ssids = std::min<size_t>(src->num_ssids, SCAN_MAX_SSIDS);
    for (size_t i = 0; i < p->num_ssids; i++) {
        p->ssids[i].ssid_len = src->ssids[i].ssid_len;
        p->ssids[i].ssid =
            src->ssids[i].ssid_len ? dup_bytes(src->ssids[i].ssid, src->ssids[i].ssid_len, &ok) : nullptr;
    }
    p->extra_ies_len = src->extra_ies ? src->extra_ies_len : 0;
    p->extra_ies = dup_bytes(src->extra_ies, src->extra_ies_len, &ok);
    if (src->freqs) {
        p->freqs = dup_freqs(src->freqs);
        if (p->freqs == nullptr) ok = false;
    }
    if (src->filter_ssids && src->num_filter_ssids) {
        p->filter_ssids = static_cast<wpa_driver_scan_filter *>(
            calloc(src->num_filter_ssids, sizeof(wpa_driver_scan_filter)));
        if (p->filter_ssids) {
            memcpy(p->filter_ssids, src->filter_ssids,
                   src->num_filter_ssids * sizeof(wpa_driver_scan_filter));
            p->num_filter_ssids = src->num_filter_ssids;
        } else {
            ok = false;
        }
    }
    p->filter_rssi = src->filter_rssi;
    p->p2p_probe = src->p2p_probe;
    p->only_new_results = src->only_new_results;
    p->low_priority = src->low_priority;
    p->mac_addr_rand = src->mac_addr_rand;
    p->mac_addr = dup_bytes(src->mac_addr, 6, &ok);
    p->mac_addr_mask = dup_bytes(src->mac_addr_mask, 6, &ok);
    if (src->sched_scan_plans && src->sched_scan_plans_num) {
        auto *plans =
            static_cast<sched_scan_plan *>(calloc(src->sched_scan_plans_num, sizeof(sched_scan_plan)));
        p->sched_scan_plans = plans;
        if (plans) {
            memcpy(plans, src->sched_scan_plans, src->sched_scan_plans_num * sizeof(sched_scan_plan));
            p->sched_scan_plans_num = src->sched_scan_plans_num;
        } else {
            ok = false;
        }
    }
    p->bssid = dup_bytes(src->bssid, 6, &ok);
    if (!ok) {
        wpa_scan_params_free(p);
        return nullptr;
    }
    return p;
}

void wpa_scan_results_free(wpa_scan_results *res) {
    if (res == nullptr) return;
    for (size_t i = 0; i < res->num; i++)
        free(res->res[i]);
    free(res->res);
    free(res);
}

// ------------------------------------------------------------------ probe-request elements

int wpa_build_ext_capab(wpa_iface *iface, uint8_t *buf, size_t buflen) {
    const wpa_driver_capa &c = iface->drv_capa;
    size_t drv_len = c.extended_capa ? c.extended_capa_len : 0;
    size_t len = iface->conf->ftm_responder || iface->conf->ftm_initiator ? 9 : 6;
    if (drv_len > len) len = drv_len;
    if (len > 255) len = 255;
    if (buflen < len + 2) return -1;
    uint8_t octets[255] = {};
    if (len >= 9) {
        if (iface->conf->ftm_responder) octets[8] |= 0x40;
        if (iface->conf->ftm_initiator) octets[8] |= 0x80;
    }
    for (size_t i = 0; i < drv_len && i < len; i++) {
        if (c.extended_capa_mask) octets[i] &= static_cast<uint8_t>(~c.extended_capa_mask[i]);
        octets[i] |= c.extended_capa[i];
    }
    while (len > 0 && octets[len - 1] == 0)
        len--;
    if (len == 0) return 0;
    buf[0] = 127;
    buf[1] = static_cast<uint8_t>(len);
    memcpy(buf + 2, octets, len);
    return static_cast<int>(len + 2);
}

wpa_buf *supplicant_extra_ies(wpa_iface *iface) {
    uint8_t ext[257];
    int ext_len = wpa_build_ext_capab(iface, ext, sizeof(ext));
    if (ext_len < 0) ext_len = 0;
    wpa_buf *v14 = iface->vendor_elem[14];
    size_t len = static_cast<size_t>(ext_len) + (v14 ? wpa_buf_len(v14) : 0);
    if (len == 0) return nullptr;
    wpa_buf *buf = wpa_buf_alloc(len);
    if (buf == nullptr) return nullptr;
    if (ext_len) wpa_buf_put_data(buf, ext, static_cast<size_t>(ext_len));
    if (v14) wpa_buf_put_buf(buf, v14);
    return buf;
}

void supplicant_set_default_scan_ies(wpa_iface *) {
    // No back end of this build takes default probe-request elements (the slot is empty
    // in all of them); each scan carries the elements itself.
}

// ------------------------------------------------------------------ random addresses

int supp_mac_addr_rand_scan_set(wpa_iface *iface, unsigned int kind, const uint8_t *addr,
                                const uint8_t *mask) {
    uint8_t **slot;
    if (kind == MAC_ADDR_RAND_SCAN)
        slot = &iface->mac_addr_scan;
    else if (kind == MAC_ADDR_RAND_SCHED_SCAN)
        slot = &iface->mac_addr_sched_scan;
    else if (kind == MAC_ADDR_RAND_PNO)
        slot = &iface->mac_addr_pno;
    else
        return -1;
    free(*slot);
    *slot = nullptr;
    if (addr) {
        *slot = static_cast<uint8_t *>(malloc(12));
        if (*slot == nullptr) return -1;
        memcpy(*slot, addr, 6);
        memcpy(*slot + 6, mask, 6);
    }
    iface->mac_addr_rand_enable |= kind;
    return 0;
}

void supp_mac_addr_rand_scan_clear(wpa_iface *iface, unsigned int kinds) {
    if (kinds & MAC_ADDR_RAND_SCAN) {
        free(iface->mac_addr_scan);
        iface->mac_addr_scan = nullptr;
    }
    if (kinds & MAC_ADDR_RAND_SCHED_SCAN) {
        free(iface->mac_addr_sched_scan);
        iface->mac_addr_sched_scan = nullptr;
    }
    if (kinds & MAC_ADDR_RAND_PNO) {
        free(iface->mac_addr_pno);
        iface->mac_addr_pno = nullptr;
    }
    iface->mac_addr_rand_enable &= ~kinds;
}

// ------------------------------------------------------------------ results

const uint8_t *wpa_scan_get_ie(const wpa_scan_res *res, uint8_t ie) {
    return wpa_ies_find(wpa_scan_res_ies(res), res->ie_len, ie);
}

const uint8_t *wpa_scan_res_get_vendor_ie(const wpa_scan_res *res, uint32_t vendor_type) {
    return wpa_ies_find_vendor(wpa_scan_res_ies(res), res->ie_len, vendor_type);
}

const uint8_t *wpa_scan_res_get_vendor_ie_beacon(const wpa_scan_res *res, uint32_t vendor_type) {
    return wpa_ies_find_vendor(wpa_scan_res_ies(res) + res->ie_len, res->beacon_ie_len, vendor_type);
}

wpa_buf *wpa_scan_res_get_vendor_ie_multi(const wpa_scan_res *res, uint32_t vendor_type) {
    return wpa_ies_vendor_multi(wpa_scan_res_ies(res), res->ie_len, vendor_type);
}

namespace {

int ht20_rate(int snr) {
    if (snr < 6) return 6500;
    if (snr < 8) return 13000;
    if (snr < 13) return 19500;
    if (snr <= 16) return 26000;
    if (snr < 20) return 39000;
    if (snr < 23) return 52000;
    if (snr == 23) return 58500;
    return 65000;
}

int ht40_rate(int snr) {
    if (snr < 3) return 13500;
    if (snr < 6) return 27000;
    if (snr < 10) return 40500;
    if (snr < 15) return 54000;
    if (snr <= 16) return 81000;
    if (snr < 22) return 108000;
    if (snr < 24) return 121500;
    return 135000;
}

int vht80_rate(int snr) {
    if (snr <= 0) return 0;
    if (snr == 1) return 29300;
    if (snr <= 4) return 58500;
    if (snr <= 8) return 87800;
    if (snr <= 10) return 117000;
    if (snr <= 14) return 175500;
    if (snr == 15) return 234000;
    if (snr <= 17) return 263300;
    if (snr <= 19) return 292500;
    if (snr <= 21) return 351000;
    return 390000;
}

int max_legacy_rate(const wpa_scan_res *res) {
    int rate = 0;
    for (uint8_t id : {uint8_t(1), uint8_t(50)}) {
        const uint8_t *ie = wpa_scan_get_ie(res, id);
        for (int i = 0; ie && i < ie[1]; i++)
            rate = std::max(rate, ie[2 + i] & 0x7f);
    }
    return rate;
}

int cap_rate(int r, int snr) {
    if (r > 2 && snr <= 0) return 2;
    if (r > 4 && snr < 4) return 4;
    if (r > 12 && snr == 4) return 12;
    if (r > 18 && snr == 5) return 18;
    if (r > 24 && snr == 6) return 24;
    if (r > 36 && snr >= 7 && snr <= 9) return 36;
    if (r > 48 && snr == 10) return 48;
    if (r > 72 && snr >= 11 && snr <= 14) return 72;
    if (r > 96 && snr >= 15 && snr <= 18) return 96;
    if (r > 108 && (snr == 19 || snr == 20)) return 108;
    return r;
}

bool has_wpa_or_rsn(const wpa_scan_res *r) {
    return wpa_scan_get_ie(r, 48) || wpa_scan_res_get_vendor_ie(r, WPA_IE_VENDOR_TYPE);
}

} // namespace

void scan_est_throughput(wpa_iface *iface, wpa_scan_res *res) {
    int noise = res->noise;
    if (res->flags & WPA_SCAN_NOISE_INVALID) noise = res->freq > 4000 ? -92 : -89;
    res->snr = (res->flags & WPA_SCAN_LEVEL_DBM) ? res->level - noise : res->level;
    if (res->est_throughput) return;
    int snr = res->snr;
    int est = cap_rate(max_legacy_rate(res), snr) * 500;
    int capa = iface ? iface->max_chwidth_capa : 0;
    int ht40 = 0;
    if (capa >= 1 && wpa_scan_get_ie(res, 45)) est = std::max(est, ht20_rate(snr));
    const uint8_t *htop = wpa_scan_get_ie(res, 61);
    bool sec_chan = htop && htop[1] >= 2 && (htop[3] & 0x3);
    if (capa >= 2 && sec_chan) {
        ht40 = ht40_rate(snr);
        est = std::max(est, ht40);
    }
    if (capa == 3 && wpa_scan_get_ie(res, 191)) {
        est = std::max(est, ht20_rate(snr) + 1);
        if (sec_chan) est = std::max(est, ht40_rate(snr) + 1);
        const uint8_t *vhtop = wpa_scan_get_ie(res, 192);
        if (vhtop && vhtop[1] >= 1 && (vhtop[2] & 0x3)) est = std::max(est, vht80_rate(snr) + 1);
    }
    res->est_throughput = static_cast<unsigned int>(est);
}

int wpa_scan_result_compar(const wpa_scan_res *a, const wpa_scan_res *b) {
    bool wpa_a = has_wpa_or_rsn(a), wpa_b = has_wpa_or_rsn(b);
    if (wpa_a != wpa_b) return wpa_a ? -1 : 1;
    bool priv_a = a->caps & 0x0010, priv_b = b->caps & 0x0010;
    if (priv_a != priv_b) return priv_a ? -1 : 1;
    bool dbm = (a->flags & WPA_SCAN_LEVEL_DBM) && (b->flags & WPA_SCAN_LEVEL_DBM);
    int va = dbm ? a->snr : a->level, vb = dbm ? b->snr : b->level;
    int ca = dbm ? std::min(va, 30) : va, cb = dbm ? std::min(vb, 30) : vb;
    if ((ca && cb && abs(cb - ca) <= 4) || (a->qual && b->qual && abs(b->qual - a->qual) <= 9)) {
        if (a->est_throughput != b->est_throughput) return a->est_throughput > b->est_throughput ? -1 : 1;
        bool five_a = a->freq > 4000, five_b = b->freq > 4000;
        if (five_a != five_b) return five_a ? -1 : 1;
    }
    if (va != vb) return va > vb ? -1 : 1;
    if (a->qual != b->qual) return a->qual > b->qual ? -1 : 1;
    return 0;
}

void wpa_scan_sort(wpa_scan_res **res, size_t num,
                   int (*compar)(const wpa_scan_res *, const wpa_scan_res *)) {
    // The comparator's spans are not transitive, so std::sort would be undefined: an
    // insertion sort moves each result only past those it strictly ranks before, which
    // is defined for any comparator and keeps equal results in the driver's order.
    for (size_t i = 1; i < num; i++) {
        wpa_scan_res *x = res[i];
        size_t j = i;
        while (j > 0 && compar(x, res[j - 1]) < 0) {
            res[j] = res[j - 1];
            j--;
        }
        res[j] = x;
    }
}

wpa_scan_results *supplicant_get_scan_results(wpa_iface *iface, const wpa_scan_info *info, int new_scan) {
    if (iface->driver == nullptr || iface->driver->get_scan_results == nullptr) return nullptr;
    wpa_scan_results *res = iface->driver->get_scan_results(iface->drv_priv);
    if (res == nullptr) return nullptr;
    if (res->fetch_sec == 0 && res->fetch_usec == 0) {
        os_reltime now;
        os_get_reltime(&now);
        res->fetch_sec = now.sec;
        res->fetch_usec = now.usec;
    }
    size_t kept = 0;
    for (size_t i = 0; i < res->num; i++) {
        wpa_scan_res *r = res->res[i];
        if (r == nullptr) continue;
        if (!wpa_bssid_filter_allows(iface, r->bssid)) {
            free(r);
            continue;
        }
        scan_est_throughput(iface, r);
        res->res[kept++] = r;
    }
    res->num = kept;
    wpa_scan_sort(res->res, res->num, wpa_scan_result_compar);

    os_reltime fetch{res->fetch_sec, res->fetch_usec};
    wpa_bss_update_start(iface);
    for (size_t i = 0; i < res->num; i++)
        wpa_bss_update_scan_res(iface, res->res[i], &fetch);
    wpa_bss_update_end(iface, info, new_scan);
    return res;
}

int supplicant_update_scan_results(wpa_iface *iface) {
    wpa_scan_results *res = supplicant_get_scan_results(iface, nullptr, 0);
    if (res == nullptr) return -1;
    wpa_scan_results_free(res);
    return 0;
}

// ------------------------------------------------------------------ events

void supplicant_scan_results_event(wpa_iface *iface, const wpa_scan_info *info) {
    wpa_radio *radio = iface->radio;
    bool foreign = info && info->external_scan;
    bool own =
        !foreign && (iface->own_scan_requested || iface->own_scan_running || iface->scan_work != nullptr);
    if (!foreign) iface->own_scan_running = 0;
    iface->own_scan_requested = 0;
    // The end of a kernel scan (ours or another program's) frees the radio.
    if (radio && info && (info->nl_scan_event || info->external_scan))
        radio->flags &= ~RADIO_EXTERNAL_SCAN_RUNNING;
    bool handled = own && iface->scan_res_handler;
    handle_results(iface, info, own);
    // The other interfaces of the radio see the same results, unless a one-shot handler
    // took them.
    for (wpa_iface *w = radio && !handled ? radio->ifaces : nullptr; w; w = w->radio_next)
        if (w != iface) handle_results(w, info, false);
    if (iface->radio) radio_work_check_next(iface);
}

void supplicant_scan_started_event(wpa_iface *iface) {
    if (!iface->own_scan_requested) {
        if (iface->radio) iface->radio->flags |= RADIO_EXTERNAL_SCAN_RUNNING;
        wpa_msg_iface_ctrl(iface, MSG_INFO, "CTRL-EVENT-SCAN-STARTED ");
        return;
    }
    os_get_reltime(&iface->scan_start_time);
    iface->own_scan_running = 1;
    iface->own_scan_requested = 0;
    if (iface->manual_scan_use_id && iface->scan_req_running == MANUAL_SCAN_REQ)
        wpa_msg_iface_ctrl(iface, MSG_INFO, "CTRL-EVENT-SCAN-STARTED id=%u", iface->manual_scan_id);
    else
        wpa_msg_iface_ctrl(iface, MSG_INFO, "CTRL-EVENT-SCAN-STARTED ");
}

int *supp_freqs_in_ranges(wpa_iface *iface, const freq_range_list *ranges) {
    int *freqs = nullptr;
    for (unsigned int m = 0; iface->hw_modes && m < iface->num_hw_modes; m++) {
        const hw_mode_info *mode = &iface->hw_modes[m];
        for (int c = 0; c < mode->num_channels; c++) {
            const hw_channel_info &ch = mode->channels[c];
            if ((ch.flag & 0x1) || !freq_range_list_includes(ranges, static_cast<unsigned int>(ch.freq)))
                continue;
            if (int_array_add_unique(&freqs, ch.freq) < 0) {
                free(freqs);
                return nullptr;
            }
        }
    }
    return freqs;
}
