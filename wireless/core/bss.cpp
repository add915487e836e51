#include "wireless/core/bss.h"

#include "wireless/common/ieee802_11_common.h"
#include "wireless/core/association.h"
#include "wireless/core/config.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/core/wpabuf.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

constexpr unsigned int LastScanInitial = 32;
constexpr unsigned int LastScanLimit = 1u << 30;

void link_tail(wpa_iface *iface, wpa_bss *bss) {
    bss->next = nullptr;
    bss->prev = iface->bss_last;
    if (iface->bss_last)
        iface->bss_last->next = bss;
    else
        iface->bss_first = bss;
    iface->bss_last = bss;
}

void unlink_update(wpa_iface *iface, wpa_bss *bss) {
    (bss->prev ? bss->prev->next : iface->bss_first) = bss->next;
    (bss->next ? bss->next->prev : iface->bss_last) = bss->prev;
    bss->prev = bss->next = nullptr;
}

void link_id_tail(wpa_iface *iface, wpa_bss *bss) {
    bss->id_next = nullptr;
    bss->id_prev = iface->bss_id_last;
    if (iface->bss_id_last)
        iface->bss_id_last->id_next = bss;
    else
        iface->bss_id_first = bss;
    iface->bss_id_last = bss;
}

void unlink_id(wpa_iface *iface, wpa_bss *bss) {
    (bss->id_prev ? bss->id_prev->id_next : iface->bss_id_first) = bss->id_next;
    (bss->id_next ? bss->id_next->id_prev : iface->bss_id_last) = bss->id_prev;
    bss->id_prev = bss->id_next = nullptr;
}

void copy_values(wpa_bss *bss, const wpa_scan_res *res, const os_reltime *fetch_time) {
    bss->flags = res->flags;
    memcpy(bss->bssid, res->bssid, 6);
    bss->freq = res->freq;
    bss->beacon_int = res->beacon_int;
    bss->caps = res->caps;
    bss->qual = res->qual;
    bss->noise = res->noise;
    bss->level = res->level;
    bss->tsf = res->tsf;
    bss->est_throughput = res->est_throughput;
    bss->snr = res->snr;
    bss->last_update = *fetch_time;
    os_reltime_sub_ms(&bss->last_update, res->age);
}

bool res_has_p2p(const wpa_scan_res *res) {
    const uint8_t *ies = wpa_scan_res_ies(res);
    return wpa_ies_find_vendor(ies, res->ie_len, P2P_IE_VENDOR_TYPE) ||
           wpa_ies_find_vendor(ies + res->ie_len, res->beacon_ie_len, P2P_IE_VENDOR_TYPE);
}

bool bss_has_p2p(const wpa_bss *bss) {
    return wpa_bss_get_vendor_ie(bss, P2P_IE_VENDOR_TYPE) ||
           wpa_bss_get_vendor_ie_beacon(bss, P2P_IE_VENDOR_TYPE);
}

bool known_ssid(wpa_iface *iface, const wpa_bss *bss) {
    for (wpa_network *s = iface->conf->ssid; s; s = s->next)
        if (s->ssid.data && s->ssid.len && s->ssid.len == bss->ssid_len &&
            memcmp(s->ssid.data, bss->ssid, bss->ssid_len) == 0)
            return true;
    return false;
}

void emit(wpa_iface *iface, const char *what, const wpa_bss *bss) {
    if (iface->p2p_mgmt) return;
    const uint8_t *b = bss->bssid;
    wpa_msg_iface_ctrl(iface, MSG_INFO, "CTRL-EVENT-BSS-%s %u %02x:%02x:%02x:%02x:%02x:%02x", what, bss->id,
                       b[0], b[1], b[2], b[3], b[4], b[5]);
}

bool remove_oldest_unknown(wpa_iface *iface) {
    for (wpa_bss *bss = iface->bss_first; bss; bss = bss->next) {
        if (wpa_bss_in_use(iface, bss) || known_ssid(iface, bss)) continue;
        wpa_bss_remove(iface, bss, "wpa_bss_remove_oldest_unknown");
        return true;
    }
    return false;
}

bool remove_oldest(wpa_iface *iface) {
    for (wpa_bss *bss = iface->bss_first; bss; bss = bss->next) {
        if (wpa_bss_in_use(iface, bss)) continue;
        wpa_bss_remove(iface, bss, "wpa_bss_remove_oldest");
        return true;
    }
    return false;
}

void add_last_scan(wpa_iface *iface, wpa_bss *bss) {
    for (unsigned int i = 0; i < iface->last_scan_res_used; i++)
        if (iface->last_scan_res[i] == bss) return;
    if (iface->last_scan_res_used == iface->last_scan_res_size) {
        unsigned int size = iface->last_scan_res_size ? iface->last_scan_res_size * 2 : LastScanInitial;
        if (size >= LastScanLimit) return;
        auto *n = static_cast<wpa_bss **>(realloc(iface->last_scan_res, size * sizeof(wpa_bss *)));
        if (n == nullptr) return;
        iface->last_scan_res = n;
        iface->last_scan_res_size = size;
    }
    iface->last_scan_res[iface->last_scan_res_used++] = bss;
}

// Stores the result's elements; a block that cannot grow keeps the old elements and lengths.
void store_ies(wpa_bss *bss, const wpa_scan_res *res) {
    size_t len = res->ie_len + res->beacon_ie_len;
    if (len > bss->ie_len + bss->beacon_ie_len || bss->ies == nullptr) {
        auto *n = static_cast<uint8_t *>(realloc(bss->ies, len ? len : 1));
        if (n == nullptr) return;
        bss->ies = n;
    }
    memcpy(bss->ies, wpa_scan_res_ies(res), len);
    bss->ie_len = res->ie_len;
    bss->beacon_ie_len = res->beacon_ie_len;
}

bool ssid_list_has(const wpa_scan_info *info, const wpa_bss *bss, bool *wildcard) {
    *wildcard = false;
    for (size_t i = 0; i < info->num_ssids && i < SCAN_MAX_SSIDS; i++) {
        const wpa_driver_scan_ssid &s = info->ssids[i];
        if (s.ssid == nullptr || s.ssid_len == 0) {
            *wildcard = true;
            return true;
        }
        if (s.ssid_len == bss->ssid_len && memcmp(s.ssid, bss->ssid, s.ssid_len) == 0) return true;
    }
    return false;
}

// Whether the entry lies outside what the scan covered: then missing it says nothing.
bool outside_scan(const wpa_scan_info *info, const wpa_bss *bss) {
    if (info == nullptr) return false;
    if (info->freqs && info->num_freqs) {
        bool found = false;
        for (size_t i = 0; i < info->num_freqs; i++)
            if (info->freqs[i] == bss->freq) found = true;
        if (!found) return true;
    }
    if (info->num_ssids) {
        bool wildcard;
        if (!ssid_list_has(info, bss, &wildcard)) return true;
    }
    return false;
}

} // namespace

const uint8_t *wpa_ies_find(const uint8_t *ies, size_t len, uint8_t id) {
    size_t pos = 0;
    while (ies && pos + 2 <= len) {
        size_t elen = ies[pos + 1];
        if (pos + 2 + elen > len) return nullptr;
        if (ies[pos] == id) return ies + pos;
        pos += 2 + elen;
    }
    return nullptr;
}

const uint8_t *wpa_ies_find_vendor(const uint8_t *ies, size_t len, uint32_t vendor_type) {
    size_t pos = 0;
    while (ies && pos + 2 <= len) {
        size_t elen = ies[pos + 1];
        if (pos + 2 + elen > len) return nullptr;
        if (ies[pos] == 221 && elen >= 4 && wpa_get_be32(ies + pos + 2) == vendor_type) return ies + pos;
        pos += 2 + elen;
    }
    return nullptr;
}

wpa_buf *wpa_ies_vendor_multi(const uint8_t *ies, size_t len, uint32_t vendor_type) {
    size_t total = 0, pos = 0;
    while (ies && pos + 2 <= len) {
        size_t elen = ies[pos + 1];
        if (pos + 2 + elen > len) break;
        if (ies[pos] == 221 && elen >= 4 && wpa_get_be32(ies + pos + 2) == vendor_type) total += elen - 4;
        pos += 2 + elen;
    }
    if (total == 0) {
        // Elements of the type with empty bodies still count as present.
        if (wpa_ies_find_vendor(ies, len, vendor_type) == nullptr) return nullptr;
    }
    wpa_buf *buf = wpa_buf_alloc(total);
    if (buf == nullptr) return nullptr;
    pos = 0;
    while (pos + 2 <= len) {
        size_t elen = ies[pos + 1];
        if (pos + 2 + elen > len) break;
        if (ies[pos] == 221 && elen >= 4 && wpa_get_be32(ies + pos + 2) == vendor_type)
            wpa_buf_put_data(buf, ies + pos + 6, elen - 4);
        pos += 2 + elen;
    }
    return buf;
}

bool wpa_bss_in_use(wpa_iface *iface, const wpa_bss *bss) {
    if (bss == iface->current_bss) return true;
    if (is_zero_ether_addr(bss->bssid)) return false;
    if (memcmp(bss->bssid, iface->bssid, 6) != 0 && memcmp(bss->bssid, iface->pending_bssid, 6) != 0)
        return false;
    const wpa_bss *cur = iface->current_bss;
    return cur == nullptr ||
           (cur->ssid_len == bss->ssid_len && memcmp(cur->ssid, bss->ssid, bss->ssid_len) == 0);
}

bool wpa_bssid_filter_allows(const wpa_iface *iface, const uint8_t *bssid) {
    if (iface->bssid_filter == nullptr) return true;
    for (size_t i = 0; i < iface->bssid_filter_count; i++)
        if (memcmp(iface->bssid_filter + 6 * i, bssid, 6) == 0) return true;
    return false;
}

int wpa_bss_init(wpa_iface *iface) {
    iface->bss_first = iface->bss_last = nullptr;
    iface->bss_id_first = iface->bss_id_last = nullptr;
    iface->num_bss = 0;
    return 0;
}

void wpa_bss_deinit(wpa_iface *iface) {
    // Teardown: the entries in use go as well.
    iface->current_bss = nullptr;
    while (iface->bss_first) {
        wpa_bss *bss = iface->bss_first;
        unlink_update(iface, bss);
        unlink_id(iface, bss);
        free(bss->ies);
        free(bss);
    }
    iface->bss_id_first = iface->bss_id_last = nullptr;
    iface->num_bss = 0;
    free(iface->last_scan_res);
    iface->last_scan_res = nullptr;
    iface->last_scan_res_used = iface->last_scan_res_size = 0;
}

void wpa_bss_update_start(wpa_iface *iface) {
    iface->bss_update_idx++;
    iface->last_scan_res_used = 0;
}

void wpa_bss_update_scan_res(wpa_iface *iface, wpa_scan_res *res, const os_reltime *fetch_time) {
    if (iface->conf->ignore_old_scan_res) {
        os_reltime update = *fetch_time;
        os_reltime_sub_ms(&update, res->age);
        if (os_reltime_before(&update, &iface->scan_trigger_time)) return;
    }
    const uint8_t *ies = wpa_scan_res_ies(res);
    const uint8_t *ssid = wpa_ies_find(ies, res->ie_len, 0);
    if (ssid == nullptr || ssid[1] > 32) return;
    const uint8_t *mesh = wpa_ies_find(ies, res->ie_len, 114);
    if (mesh && mesh[1] <= 32) ssid = mesh;
    bool p2p = res_has_p2p(res);
    if (p2p && ssid[1] == 7 && memcmp(ssid + 2, "DIRECT-", 7) == 0) return;

    wpa_bss *bss = wpa_bss_get(iface, res->bssid, ssid + 2, ssid[1]);
    if (bss) {
        bss->last_update_idx = iface->bss_update_idx;
        bss->scan_miss_count = 0;
        copy_values(bss, res, fetch_time);
        // A beacon without the P2P element must not overwrite a peer's elements.
        if (!(bss_has_p2p(bss) && !p2p)) store_ies(bss, res);
        unlink_update(iface, bss);
        link_tail(iface, bss);
    } else {
        bss = static_cast<wpa_bss *>(calloc(1, sizeof(wpa_bss)));
        if (bss == nullptr) return;
        size_t len = res->ie_len + res->beacon_ie_len;
        bss->ies = static_cast<uint8_t *>(malloc(len ? len : 1));
        if (bss->ies == nullptr) {
            free(bss);
            return;
        }
        memcpy(bss->ies, ies, len);
        bss->ie_len = res->ie_len;
        bss->beacon_ie_len = res->beacon_ie_len;
        bss->id = iface->bss_next_id++;
        bss->last_update_idx = iface->bss_update_idx;
        copy_values(bss, res, fetch_time);
        memcpy(bss->ssid, ssid + 2, ssid[1]);
        bss->ssid_len = ssid[1];

        wpa_config *conf = iface->conf;
        if (iface->num_bss + 1 > static_cast<unsigned int>(conf->bss_max_count)) {
            if (!remove_oldest_unknown(iface) && !remove_oldest(iface))
                conf->bss_max_count = static_cast<int>(iface->num_bss + 1);
        }
        link_tail(iface, bss);
        link_id_tail(iface, bss);
        iface->num_bss++;
        emit(iface, "ADDED", bss);
    }
    add_last_scan(iface, bss);
}

void wpa_bss_update_end(wpa_iface *iface, const wpa_scan_info *info, int new_scan) {
    os_get_reltime(&iface->last_scan);
    if (!new_scan || (info && info->aborted)) return;
    for (wpa_bss *bss = iface->bss_first, *next; bss; bss = next) {
        next = bss->next;
        if (wpa_bss_in_use(iface, bss) || outside_scan(info, bss)) continue;
        if (bss->last_update_idx < iface->bss_update_idx) {
            bss->scan_miss_count++;
            if (bss->scan_miss_count >= static_cast<unsigned int>(iface->conf->bss_expiration_scan_count))
                wpa_bss_remove(iface, bss, "no match in scan");
        }
    }
}

void wpa_bss_remove(wpa_iface *iface, wpa_bss *bss, const char *) {
    supp_connect_work_bss_removed(iface, bss);
    for (unsigned int i = 0; i < iface->last_scan_res_used; i++) {
        if (iface->last_scan_res[i] != bss) continue;
        memmove(&iface->last_scan_res[i], &iface->last_scan_res[i + 1],
                (iface->last_scan_res_used - i - 1) * sizeof(wpa_bss *));
        iface->last_scan_res_used--;
        break;
    }
    if (iface->current_bss == bss) iface->current_bss = nullptr;
    unlink_update(iface, bss);
    unlink_id(iface, bss);
    iface->num_bss--;
    emit(iface, "REMOVED", bss);
    free(bss->ies);
    free(bss);
}

void wpa_bss_flush_by_age(wpa_iface *iface, int age) {
    if (age < 0) return;
    os_reltime now, limit;
    os_get_reltime(&now);
    limit = now;
    limit.sec -= age;
    // Update order is not time order (the update time subtracts each result's own age), so
    // every entry is checked.
    for (wpa_bss *bss = iface->bss_first, *next; bss; bss = next) {
        next = bss->next;
        if (wpa_bss_in_use(iface, bss)) continue;
        if (os_reltime_before(&bss->last_update, &limit)) wpa_bss_remove(iface, bss, "wpa_bss_flush_by_age");
    }
}

void wpa_bss_flush(wpa_iface *iface) {
    iface->clear_driver_scan_cache = 1;
    for (wpa_bss *bss = iface->bss_first, *next; bss; bss = next) {
        next = bss->next;
        if (!wpa_bss_in_use(iface, bss)) wpa_bss_remove(iface, bss, "wpa_bss_flush");
    }
}

wpa_bss *wpa_bss_get(wpa_iface *iface, const uint8_t *bssid, const uint8_t *ssid, size_t ssid_len) {
    if (!wpa_bssid_filter_allows(iface, bssid)) return nullptr;
    for (wpa_bss *bss = iface->bss_first; bss; bss = bss->next)
        if (memcmp(bss->bssid, bssid, 6) == 0 && bss->ssid_len == ssid_len &&
            memcmp(bss->ssid, ssid, ssid_len) == 0)
            return bss;
    return nullptr;
}

wpa_bss *wpa_bss_get_bssid(wpa_iface *iface, const uint8_t *bssid) {
    if (!wpa_bssid_filter_allows(iface, bssid)) return nullptr;
    for (wpa_bss *bss = iface->bss_last; bss; bss = bss->prev)
        if (memcmp(bss->bssid, bssid, 6) == 0) return bss;
    return nullptr;
}

wpa_bss *wpa_bss_get_bssid_latest(wpa_iface *iface, const uint8_t *bssid) {
    if (!wpa_bssid_filter_allows(iface, bssid)) return nullptr;
    wpa_bss *found = nullptr;
    for (wpa_bss *bss = iface->bss_first; bss; bss = bss->next)
        if (memcmp(bss->bssid, bssid, 6) == 0 &&
            (found == nullptr || os_reltime_before(&found->last_update, &bss->last_update)))
            found = bss;
    return found;
}

wpa_bss *wpa_bss_get_p2p_dev_addr(wpa_iface *, const uint8_t *) {
    // The P2P element's device address is read by the P2P module, which is not part of
    // this build: no entry carries one yet.
    return nullptr;
}

wpa_bss *wpa_bss_get_id(wpa_iface *iface, unsigned int id) {
    for (wpa_bss *bss = iface->bss_id_first; bss; bss = bss->id_next)
        if (bss->id == id) return bss;
    return nullptr;
}

wpa_bss *wpa_bss_get_id_range(wpa_iface *iface, unsigned int first, unsigned int last) {
    for (wpa_bss *bss = iface->bss_id_first; bss; bss = bss->id_next)
        if (bss->id >= first && bss->id <= last) return bss;
    return nullptr;
}

const uint8_t *wpa_bss_get_ie(const wpa_bss *bss, uint8_t ie) {
    return wpa_ies_find(bss->ies, bss->ie_len, ie);
}

const uint8_t *wpa_bss_get_vendor_ie(const wpa_bss *bss, uint32_t vendor_type) {
    return wpa_ies_find_vendor(bss->ies, bss->ie_len, vendor_type);
}

const uint8_t *wpa_bss_get_vendor_ie_beacon(const wpa_bss *bss, uint32_t vendor_type) {
    return wpa_ies_find_vendor(bss->ies ? bss->ies + bss->ie_len : nullptr, bss->beacon_ie_len, vendor_type);
}

wpa_buf *wpa_bss_get_vendor_ie_multi(const wpa_bss *bss, uint32_t vendor_type) {
    return wpa_ies_vendor_multi(bss->ies, bss->ie_len, vendor_type);
}

wpa_buf *wpa_bss_get_vendor_ie_multi_beacon(const wpa_bss *bss, uint32_t vendor_type) {
    return wpa_ies_vendor_multi(bss->ies ? bss->ies + bss->ie_len : nullptr, bss->beacon_ie_len, vendor_type);
}

int supplicant_set_bss_expiration_age(wpa_iface *iface, unsigned int age) {
    if (age < 10 || age > INT_MAX) {
        wpa_msg_iface(iface, MSG_ERROR, "Invalid bss expiration age %u", age);
        return -1;
    }
    wpa_msg_iface(iface, MSG_DEBUG, "Setting bss expiration age: %d sec", static_cast<int>(age));
    iface->conf->bss_expiration_age = static_cast<int>(age);
    return 0;
}

int supplicant_set_bss_expiration_count(wpa_iface *iface, unsigned int count) {
    if (count == 0 || count > INT_MAX) {
        wpa_msg_iface(iface, MSG_ERROR, "Invalid bss expiration count %u", count);
        return -1;
    }
    wpa_msg_iface(iface, MSG_DEBUG, "Setting bss expiration scan count: %u", count);
    iface->conf->bss_expiration_scan_count = static_cast<int>(count);
    return 0;
}
