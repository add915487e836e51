#include "wireless/core/bgscan.h"

#include "wireless/core/config.h"
#include "wireless/core/eloop.h"
#include "wireless/core/scan.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

struct bgscan_simple_data {
    wpa_iface *iface;
    wpa_network *ssid;
    int scan_interval;
    int signal_threshold;
    int short_scan_count;
    int max_short_scans;
    int short_interval;
    int long_interval;
    os_reltime last_bgscan;
};

// A decimal number up to ':' or the end; false for anything else.
bool take_number(const char **pos, int *out) {
    const char *p = *pos;
    char *end;
    errno = 0;
    long v = strtol(p, &end, 10);
    if (end == p || errno || v < INT_MIN || v > INT_MAX || (*end != ':' && *end != '\0')) return false;
    *out = static_cast<int>(v);
    *pos = end;
    return true;
}

void simple_timeout(void *eloop_ctx, void *) {
    auto *data = static_cast<bgscan_simple_data *>(eloop_ctx);
    wpa_iface *iface = data->iface;
    wpa_driver_scan_params params{};
    if (data->ssid->ssid.data && data->ssid->ssid.len) {
        params.ssids[0] = {data->ssid->ssid.data, data->ssid->ssid.len};
        params.num_ssids = 1;
    }
    params.freqs = data->ssid->scan_freq && data->ssid->scan_freq[0] ? data->ssid->scan_freq : nullptr;
    if (supplicant_trigger_scan(iface, &params) < 0) {
        eloop_register_timeout(data->scan_interval, 0, simple_timeout, data, nullptr);
        return;
    }
    if (data->scan_interval == data->short_interval) {
        data->short_scan_count++;
        if (data->short_scan_count > data->max_short_scans) data->scan_interval = data->long_interval;
    } else if (data->short_scan_count > 0) {
        data->short_scan_count--;
    }
    os_get_reltime(&data->last_bgscan);
}

void *simple_init(wpa_iface *iface, const char *params, wpa_network *ssid) {
    bgscan_simple_params p;
    if (bgscan_simple_parse(params, &p) < 0) return nullptr;
    auto *data = static_cast<bgscan_simple_data *>(calloc(1, sizeof(bgscan_simple_data)));
    if (data == nullptr) return nullptr;
    data->iface = iface;
    data->ssid = ssid;
    data->short_interval = p.short_interval;
    data->long_interval = p.long_interval;
    data->signal_threshold = p.signal_threshold;
    if (data->signal_threshold && iface->driver && iface->driver->signal_monitor)
        iface->driver->signal_monitor(iface->drv_priv, data->signal_threshold, 4);
    data->scan_interval = data->short_interval;
    data->max_short_scans = data->long_interval / data->short_interval + 1;
    if (data->signal_threshold && iface->driver && iface->driver->signal_poll) {
        wpa_signal_info si{};
        if (iface->driver->signal_poll(iface->drv_priv, &si) == 0 &&
            si.current_signal >= data->signal_threshold)
            data->scan_interval = data->long_interval;
    }
    eloop_register_timeout(data->scan_interval, 0, simple_timeout, data, nullptr);
    os_get_reltime(&data->last_bgscan);
    return data;
}

void simple_deinit(void *priv) {
    auto *data = static_cast<bgscan_simple_data *>(priv);
    eloop_cancel_timeout(simple_timeout, data, nullptr);
    wpa_iface *iface = data->iface;
    if (data->signal_threshold && iface->driver && iface->driver->signal_monitor)
        iface->driver->signal_monitor(iface->drv_priv, 0, 0);
    free(data);
}

int simple_notify_scan(void *priv, wpa_scan_results *) {
    auto *data = static_cast<bgscan_simple_data *>(priv);
    eloop_cancel_timeout(simple_timeout, data, nullptr);
    eloop_register_timeout(data->scan_interval, 0, simple_timeout, data, nullptr);
    return 0;
}

void simple_notify_beacon_loss(void *) {}

void simple_notify_signal_change(void *priv, int above, int, int, int) {
    auto *data = static_cast<bgscan_simple_data *>(priv);
    if (data->short_interval == data->long_interval || data->signal_threshold == 0) return;
    os_reltime now;
    os_get_reltime(&now);
    bool scan = false;
    if (data->scan_interval == data->long_interval && !above) {
        data->scan_interval = data->short_interval;
        if (now.sec > data->last_bgscan.sec + 1 && data->short_scan_count <= data->max_short_scans) {
            scan = true;
        } else if (data->last_bgscan.sec + data->long_interval > now.sec + data->scan_interval) {
            eloop_cancel_timeout(simple_timeout, data, nullptr);
            eloop_register_timeout(data->scan_interval, 0, simple_timeout, data, nullptr);
        }
    } else if (data->scan_interval == data->short_interval && above) {
        data->scan_interval = data->long_interval;
        eloop_cancel_timeout(simple_timeout, data, nullptr);
        eloop_register_timeout(data->scan_interval, 0, simple_timeout, data, nullptr);
    } else if (!above) {
        if (now.sec > data->last_bgscan.sec + 10) scan = true;
    }
    if (scan) {
        eloop_cancel_timeout(simple_timeout, data, nullptr);
        eloop_register_timeout(0, 0, simple_timeout, data, nullptr);
    }
}

const bgscan_ops simple_ops = {
    "simple",
    simple_init,
    simple_deinit,
    simple_notify_scan,
    simple_notify_beacon_loss,
    simple_notify_signal_change,
};

} // namespace

int bgscan_simple_parse(const char *params, bgscan_simple_params *out) {
    *out = {0, 0, 0};
    const char *pos = params ? params : "";
    if (*pos) {
        if (!take_number(&pos, &out->short_interval)) return -1;
        if (*pos == ':') {
            pos++;
            if (!take_number(&pos, &out->signal_threshold) || *pos != ':') return -1;
            pos++;
            if (!take_number(&pos, &out->long_interval) || *pos != '\0') return -1;
        }
    }
    if (out->short_interval < 1) out->short_interval = 30;
    if (out->long_interval < 1) out->long_interval = 30;
    return 0;
}

int bgscan_init(wpa_iface *iface, wpa_network *ssid, const char *name) {
    bgscan_deinit(iface);
    if (name == nullptr) return -1;
    const char *colon = strchr(name, ':');
    size_t nlen = colon ? static_cast<size_t>(colon - name) : strlen(name);
    const char *params = colon ? colon + 1 : "";
    if (nlen > strlen(simple_ops.name) || strncmp(name, simple_ops.name, nlen) != 0) return -1;
    void *priv = simple_ops.init(iface, params, ssid);
    if (priv == nullptr) return -1;
    iface->bgscan = &simple_ops;
    iface->bgscan_priv = priv;
    return 0;
}

void bgscan_deinit(wpa_iface *iface) {
    if (iface->bgscan && iface->bgscan_priv) iface->bgscan->deinit(iface->bgscan_priv);
    iface->bgscan = nullptr;
    iface->bgscan_priv = nullptr;
}

int bgscan_notify_scan(wpa_iface *iface, wpa_scan_results *res) {
    if (iface->bgscan && iface->bgscan_priv) return iface->bgscan->notify_scan(iface->bgscan_priv, res);
    return 0;
}

void bgscan_notify_beacon_loss(wpa_iface *iface) {
    if (iface->bgscan && iface->bgscan_priv) iface->bgscan->notify_beacon_loss(iface->bgscan_priv);
}

void bgscan_notify_signal_change(wpa_iface *iface, int above, int current_signal, int current_noise,
                                 int current_txrate) {
    if (iface->bgscan && iface->bgscan_priv)
        iface->bgscan->notify_signal_change(iface->bgscan_priv, above, current_signal, current_noise,
                                            current_txrate);
}

int supp_bgscan_notify_scan(wpa_iface *iface, wpa_scan_results *res) {
    return bgscan_notify_scan(iface, res);
}
