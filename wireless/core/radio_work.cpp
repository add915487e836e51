#include "wireless/core/radio_work.h"

#include "wireless/common/ieee802_11_common.h"
#include "wireless/core/config.h"
#include "wireless/core/driver.h"
#include "wireless/core/eloop.h"

#include <cstdlib>
#include <cstring>

namespace {

bool is_connect(const radio_work *w) {
    return strcmp(w->type, "connect") == 0 || strcmp(w->type, "sme-connect") == 0;
}

bool offchannel_simultaneous(const wpa_radio *radio) {
    return radio->ifaces && (radio->ifaces->drv_flags & DRIVER_FLAG_OFFCHANNEL_SIMULTANEOUS);
}

// A scan that asks the driver for only new results cannot run while a foreign scan
// fills the driver's table: the flush would throw that scan's findings away.
bool scan_blocked(const wpa_radio *radio, const radio_work *w) {
    if (strcmp(w->type, "scan") != 0 || !(radio->flags & RADIO_EXTERNAL_SCAN_RUNNING)) return false;
    auto *params = static_cast<const wpa_driver_scan_params *>(w->ctx);
    return (params && params->only_new_results) || w->iface->clear_driver_scan_cache;
}

void unlink_work(radio_work *work) {
    wpa_radio *radio = work->iface->radio;
    if (work->prev)
        work->prev->next = work->next;
    else if (radio)
        radio->works = work->next;
    if (work->next) work->next->prev = work->prev;
    work->prev = work->next = nullptr;
}

// Every interface of the radio forgets the work: none keeps a pointer to a freed one.
void clear_references(radio_work *work) {
    wpa_radio *radio = work->iface->radio;
    for (wpa_iface *w = radio ? radio->ifaces : work->iface; w; w = radio ? w->radio_next : nullptr) {
        if (w->scan_work == work) w->scan_work = nullptr;
        if (w->p2p_scan_work == work) w->p2p_scan_work = nullptr;
        if (w->connect_work == work) w->connect_work = nullptr;
    }
}

void start_work(wpa_radio *radio, radio_work *work) {
    work->started = 1;
    os_get_reltime(&work->time);
    radio->num_active_works++;
    work->cb(work, 0);
}

void radio_start_next_work(void *eloop_ctx, void *) {
    auto *radio = static_cast<wpa_radio *>(eloop_ctx);
    if (radio->works == nullptr) {
        radio->num_active_works = 0;
        return;
    }
    radio_work *pick = nullptr;
    bool simultaneous = offchannel_simultaneous(radio);
    if (!simultaneous) {
        if (radio->works->started || (radio->flags & RADIO_EXTERNAL_SCAN_RUNNING)) return;
        pick = radio->works;
    } else if (radio->num_active_works >= 2) {
        return;
    } else {
        radio_work *active = nullptr;
        for (radio_work *w = radio->works; w; w = w->next)
            if (w->started) {
                active = w;
                break;
            }
        if (active == nullptr) {
            radio->num_active_works = 0;
            for (radio_work *w = radio->works; w && !pick; w = w->next)
                if (!scan_blocked(radio, w)) pick = w;
        } else {
            if (is_connect(active)) return;
            for (radio_work *w = radio->works; w; w = w->next) {
                if (w->started) continue;
                if (is_connect(w)) break; // runs alone
                if (strcmp(w->type, active->type) == 0 || w->bands == active->bands) continue;
                if (scan_blocked(radio, w)) continue;
                pick = w;
                break;
            }
        }
    }
    if (pick == nullptr) return;
    wpa_iface *iface = pick->iface;
    start_work(radio, pick);
    // The callback may have ended the work or torn the radio down; look the radio up
    // again through an interface that still holds it.
    if (iface->radio == radio && simultaneous && radio->num_active_works < 2) radio_work_check_next(iface);
}

void free_work(radio_work *work) {
    wpa_iface *iface = work->iface;
    bool started = work->started;
    if (started && iface->radio && iface->radio->num_active_works) iface->radio->num_active_works--;
    clear_references(work);
    unlink_work(work);
    free(work);
    if (started) radio_work_check_next(iface);
}

} // namespace

unsigned int wpa_band_for_freq(int freq) {
    if (freq < 3000) return BAND_2_4_GHZ;
    if (freq > 50000) return BAND_60_GHZ;
    return BAND_5_GHZ;
}

unsigned int wpa_bands_for_radio(wpa_iface *iface) {
    unsigned int bands = 0;
    for (unsigned int i = 0; iface->hw_modes && i < iface->num_hw_modes; i++) {
        const hw_mode_info *m = &iface->hw_modes[i];
        if (m->num_channels == 0) continue;
        switch (m->mode) {
        case 0:
        case 1:
            bands |= BAND_2_4_GHZ;
            break;
        case 2:
            bands |= BAND_5_GHZ;
            break;
        case 3:
            bands |= BAND_60_GHZ;
            break;
        case 4:
            bands |= BAND_2_4_GHZ | BAND_5_GHZ | BAND_60_GHZ;
            break;
        default:
            break;
        }
    }
    // A driver that reports no modes may use any band.
    return bands ? bands : BAND_2_4_GHZ | BAND_5_GHZ | BAND_60_GHZ;
}

unsigned int wpa_get_bands_for_freqs(wpa_iface *iface, const int *freqs) {
    if (freqs == nullptr || freqs[0] == 0) return wpa_bands_for_radio(iface);
    unsigned int bands = 0;
    for (const int *f = freqs; *f; f++)
        bands |= wpa_band_for_freq(*f);
    return bands;
}

int radio_add_work(wpa_iface *iface, unsigned int freq, const char *type, int next,
                   void (*cb)(radio_work *work, int deinit), void *ctx) {
    wpa_radio *radio = iface->radio;
    if (radio == nullptr || cb == nullptr || type == nullptr) return -1;
    auto *work = static_cast<radio_work *>(calloc(1, sizeof(radio_work)));
    if (work == nullptr) return -1;
    os_get_reltime(&work->time);
    work->freq = freq;
    work->type = type;
    work->iface = iface;
    work->cb = cb;
    work->ctx = ctx;
    if (freq)
        work->bands = wpa_band_for_freq(static_cast<int>(freq));
    else if ((strcmp(type, "scan") == 0 || strcmp(type, "p2p-scan") == 0) && ctx)
        work->bands = wpa_get_bands_for_freqs(iface, static_cast<wpa_driver_scan_params *>(ctx)->freqs);
    else
        work->bands = wpa_bands_for_radio(iface);

    bool was_empty = radio->works == nullptr;
    if (next || radio->works == nullptr) {
        work->next = radio->works;
        if (radio->works) radio->works->prev = work;
        radio->works = work;
    } else {
        radio_work *tail = radio->works;
        while (tail->next)
            tail = tail->next;
        tail->next = work;
        work->prev = tail;
    }
    if (was_empty)
        radio_work_check_next(iface);
    else if (offchannel_simultaneous(radio) && radio->num_active_works < 2)
        radio_work_check_next(iface);
    return 0;
}

void radio_work_done(radio_work *work) {
    if (work) free_work(work);
}

void radio_remove_works(wpa_iface *iface, const char *type, int remove_all) {
    wpa_radio *radio = iface->radio;
    if (radio == nullptr) return;
    radio_work *w = radio->works;
    while (w) {
        radio_work *next = w->next;
        if ((type == nullptr || strcmp(w->type, type) == 0) && (remove_all || w->iface == iface)) {
            // The callback sees whether the work had started; the work is freed here.
            if (w->started && radio->num_active_works) radio->num_active_works--;
            w->cb(w, 1);
            clear_references(w);
            next = w->next; // the callback may have queued works behind it
            unlink_work(w);
            free(w);
        }
        w = next;
    }
    radio_work_check_next(iface);
}

radio_work *radio_work_pending(wpa_iface *iface, const char *type) {
    if (iface->radio == nullptr) return nullptr;
    for (radio_work *w = iface->radio->works; w; w = w->next)
        if (w->iface == iface && strcmp(w->type, type) == 0) return w;
    return nullptr;
}

void radio_work_check_next(wpa_iface *iface) {
    wpa_radio *radio = iface->radio;
    if (radio == nullptr || radio->works == nullptr || iface->ext_work_in_progress) return;
    eloop_cancel_timeout(radio_start_next_work, radio, nullptr);
    eloop_register_timeout(0, 0, radio_start_next_work, radio, nullptr);
}

void radio_cancel_start(wpa_radio *radio) {
    eloop_cancel_timeout(radio_start_next_work, radio, nullptr);
}

void supp_connect_work_done(wpa_iface *iface) {
    radio_work *work = iface->connect_work;
    if (work == nullptr) return;
    iface->connect_work = nullptr;
    free(work->ctx);
    work->ctx = nullptr;
    radio_work_done(work);
}

int wpa_get_shared_radio_freqs_data(wpa_iface *iface, wpa_used_freq_data *freqs_data, unsigned int len) {
    memset(freqs_data, 0, sizeof(*freqs_data) * len);
    unsigned int n = 0;
    wpa_radio *radio = iface->radio;
    for (wpa_iface *w = radio ? radio->ifaces : iface; w && n < len; w = radio ? w->radio_next : nullptr) {
        wpa_network *ssid = w->current_ssid;
        if (ssid == nullptr || w->assoc_freq == 0) continue;
        int freq;
        if (ssid->mode == SUPP_MODE_AP || ssid->mode == SUPP_MODE_P2P_GO || ssid->mode == SUPP_MODE_MESH) {
            freq = ssid->frequency;
        } else {
            uint8_t bssid[6];
            if (w->driver == nullptr || w->driver->get_bssid == nullptr ||
                w->driver->get_bssid(w->drv_priv, bssid) != 0)
                continue;
            freq = w->assoc_freq;
        }
        bool seen = false;
        for (unsigned int i = 0; i < n; i++)
            if (freqs_data[i].freq == freq) seen = true;
        if (seen) continue;
        freqs_data[n].freq = freq;
        if (ssid->mode == SUPP_MODE_INFRA) freqs_data[n].flags = ssid->p2p_group ? 2 : 1;
        n++;
    }
    return static_cast<int>(n);
}

int wpa_get_shared_radio_freqs(wpa_iface *iface, int *freq_array, unsigned int len) {
    if (len >= (1u << 29)) return -1;
    auto *data = static_cast<wpa_used_freq_data *>(calloc(len ? len : 1, sizeof(wpa_used_freq_data)));
    if (data == nullptr) return -1;
    int n = wpa_get_shared_radio_freqs_data(iface, data, len);
    for (unsigned int i = 0; i < len; i++)
        freq_array[i] = i < static_cast<unsigned int>(n) ? data[i].freq : 0;
    free(data);
    return n;
}
