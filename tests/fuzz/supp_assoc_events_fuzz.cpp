// What a driver reports about an association attempt, with any bytes: the association
// information (request, response and beacon elements) of the association event, the
// authentication response (algorithm, transaction, status, elements) and the association
// rejection. The supplicant must take each without reading outside the elements it was
// given and keep a consistent connection state.
#include "wireless/common/ieee802_11_common.h"
#include "wireless/core/association.h"
#include "wireless/core/bss.h"
#include "wireless/core/config.h"
#include "wireless/core/eloop.h"
#include "wireless/core/scan.h"
#include "wireless/core/supplicant.h"
#include "wireless/rsn/wpa.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int token;
const uint8_t ap[6] = {0x02, 0, 0, 0, 0, 0x01};
// The AP offers WPA2-PSK with CCMP and WPA with TKIP.
const uint8_t ap_ies[] = {0, 3,   'l',  'a',  'b',  48,   20, 1, 0,    0x00, 0x0f, 0xac, 4,
                          1, 0,   0x00, 0x0f, 0xac, 4,    1,  0, 0x00, 0x0f, 0xac, 2,    0,
                          0, 221, 22,   0x00, 0x50, 0xf2, 1,  1, 0,    0x00, 0x50, 0xf2, 2,
                          1, 0,   0x00, 0x50, 0xf2, 2,    1,  0, 0x00, 0x50, 0xf2, 2};

void *f_init(void *, const char *) {
    return &token;
}
int f_capa(void *, wpa_driver_capa *capa) {
    *capa = {};
    capa->flags = WPA_DRIVER_FLAGS_SME;
    capa->enc = WPA_DRIVER_CAPA_ENC_TKIP | WPA_DRIVER_CAPA_ENC_CCMP;
    return 0;
}
wpa_scan_results *f_results(void *) {
    auto *res = static_cast<wpa_scan_results *>(calloc(1, sizeof(wpa_scan_results)));
    if (res == nullptr) return nullptr;
    res->res = static_cast<wpa_scan_res **>(calloc(1, sizeof(wpa_scan_res *)));
    auto *r = static_cast<wpa_scan_res *>(calloc(1, sizeof(wpa_scan_res) + sizeof(ap_ies)));
    if (res->res == nullptr || r == nullptr) {
        free(r);
        free(res->res);
        free(res);
        return nullptr;
    }
    memcpy(r->bssid, ap, 6);
    r->freq = 2412;
    r->caps = 0x0011;
    r->flags = WPA_SCAN_LEVEL_DBM | WPA_SCAN_QUAL_INVALID;
    r->ie_len = sizeof(ap_ies);
    memcpy(r + 1, ap_ies, sizeof(ap_ies));
    res->res[res->num++] = r;
    return res;
}
int f_ok(void *, wpa_driver_auth_params *) {
    return 0;
}
int f_assoc(void *, wpa_driver_associate_params *p) {
    if (p->wpa_ie_len > SUPP_ASSOC_IE_MAX) abort();
    return 0;
}
int f_bssid(void *, uint8_t *bssid) {
    memcpy(bssid, ap, 6);
    return 0;
}
int f_deauth(void *, const uint8_t *, int) {
    return 0;
}

const wpa_driver_ops ops = [] {
    wpa_driver_ops o{};
    o.name = "fuzzassoc";
    o.desc = "fuzz";
    o.init = f_init;
    o.get_capa = f_capa;
    o.get_scan_results = f_results;
    o.authenticate = f_ok;
    o.associate = f_assoc;
    o.get_bssid = f_bssid;
    o.deauthenticate = f_deauth;
    return o;
}();
const wpa_driver_ops *const drivers[] = {&ops, nullptr};

wpa_iface *make_iface() {
    wpa_driver_list_set(drivers);
    wpa_params params{};
    wpa_global *global = supplicant_init(&params);
    if (global == nullptr) return nullptr;
    wpa_iface_params p{};
    p.ifname = "fuzz0";
    p.driver = "fuzzassoc";
    wpa_iface *iface = supplicant_add_iface(global, &p, nullptr);
    if (iface == nullptr) return nullptr;
    for (const char *km : {"WPA-PSK", "NONE"}) {
        wpa_network *ssid = wpa_config_add_network(iface->conf);
        if (ssid == nullptr) return nullptr;
        wpa_config_set_network_defaults(ssid);
        wpa_config_set_network_field(ssid, "ssid", "\"lab\"", 0);
        wpa_config_set_network_field(ssid, "key_mgmt", km, 0);
        wpa_config_set_network_field(ssid, "psk", "\"passphrase\"", 0);
        wpa_config_update_psk(ssid);
        ssid->disabled = 0;
    }
    supplicant_update_scan_results(iface);
    eloop_run_due(0, 0);
    return iface;
}

// Takes a 2-byte length and that many bytes (cut to what is left) from the input.
const uint8_t *take(const uint8_t *&p, size_t &left, size_t *len) {
    if (left < 2) {
        *len = 0;
        return nullptr;
    }
    size_t n = static_cast<size_t>(p[0]) | static_cast<size_t>(p[1]) << 8;
    p += 2;
    left -= 2;
    if (n > left) n = left;
    const uint8_t *out = p;
    p += n;
    left -= n;
    *len = n;
    return out;
}

void check(wpa_iface *iface) {
    if (iface->wpa_state < WPA_DISCONNECTED || iface->wpa_state > WPA_COMPLETED) abort();
    if (iface->sme.assoc_req_ie_len > sizeof(iface->sme.assoc_req_ie)) abort();
    rsn_supplicant *sm = iface->wpa;
    if (sm && sm->assoc_wpa_ie && sm->assoc_wpa_ie_len != 2u + sm->assoc_wpa_ie[1]) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static wpa_iface *iface = make_iface();
    if (iface == nullptr) abort();
    if (size < 2) return 0;
    const uint8_t mode = data[0];
    wpa_network *ssid = wpa_config_get_network(iface->conf, mode & 1);
    wpa_bss *bss = wpa_bss_get_bssid(iface, ap);
    const uint8_t *p = data + 1;
    size_t left = size - 1;

    supplicant_associate(iface, bss, ssid);
    eloop_run_due(0, 0);
    wpa_event_data d{};
    if (mode & 2) {
        // An authentication response from the AP.
        memcpy(d.auth.peer, ap, 6);
        if (left >= 6) {
            d.auth.auth_type = static_cast<uint16_t>(p[0] | p[1] << 8);
            d.auth.auth_transaction = static_cast<uint16_t>(p[2] | p[3] << 8);
            d.auth.status_code = static_cast<uint16_t>(p[4] | p[5] << 8);
            p += 6;
            left -= 6;
        }
        std::vector<uint8_t> ies(p, p + left);
        d.auth.ies = ies.data();
        d.auth.ies_len = ies.size();
        supplicant_event(iface, EVENT_AUTH, &d);
        eloop_run_due(0, 0);
    } else {
        // The association event with its information, or a rejection.
        size_t req_len, resp_len, beacon_len;
        const uint8_t *req = take(p, left, &req_len);
        const uint8_t *resp = take(p, left, &resp_len);
        const uint8_t *beacon = take(p, left, &beacon_len);
        // Copies of exactly the given lengths, so that a read past them is caught.
        std::vector<uint8_t> r(req, req + req_len), s(resp, resp + resp_len), b(beacon, beacon + beacon_len);
        if (mode & 4) {
            d.assoc_reject.bssid = ap;
            d.assoc_reject.resp_ies = s.data();
            d.assoc_reject.resp_ies_len = s.size();
            d.assoc_reject.status_code = static_cast<uint16_t>(mode >> 3);
            supplicant_event(iface, EVENT_ASSOC_REJECT, &d);
        } else {
            d.assoc_info.req_ies = r.data();
            d.assoc_info.req_ies_len = r.size();
            d.assoc_info.resp_ies = s.data();
            d.assoc_info.resp_ies_len = s.size();
            d.assoc_info.beacon_ies = (mode & 8) ? b.data() : nullptr;
            d.assoc_info.beacon_ies_len = (mode & 8) ? b.size() : 0;
            d.assoc_info.freq = 2412 + 5u * (mode >> 4);
            d.assoc_info.addr = ap;
            supplicant_event(iface, EVENT_ASSOC, &d);
        }
        eloop_run_due(0, 0);
    }
    check(iface);
    supplicant_deauthenticate(iface, 3);
    eloop_run_due(10, 0);
    check(iface);
    return 0;
}
