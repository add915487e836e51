#include "driver_fake.h"

#include "wireless/core/ctrl_iface.h"
#include "wireless/core/eloop.h"

#include <cstdlib>
#include <cstring>

namespace driver_fake {

Bytes ie(uint8_t id, const Bytes &body) {
    Bytes out{id, static_cast<uint8_t>(body.size())};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

wpa_scan_res *scan_res(const ScanEntry &e) {
    auto *r =
        static_cast<wpa_scan_res *>(calloc(1, sizeof(wpa_scan_res) + e.ies.size() + e.beacon_ies.size()));
    memcpy(r->bssid, e.bssid, 6);
    r->freq = e.freq;
    r->level = e.level;
    r->noise = e.noise;
    r->caps = e.caps;
    r->flags = e.flags;
    r->age = e.age;
    r->qual = e.qual;
    r->ie_len = e.ies.size();
    r->beacon_ie_len = e.beacon_ies.size();
    auto *p = reinterpret_cast<uint8_t *>(r + 1);
    if (!e.ies.empty()) memcpy(p, e.ies.data(), e.ies.size());
    if (!e.beacon_ies.empty()) memcpy(p + e.ies.size(), e.beacon_ies.data(), e.beacon_ies.size());
    return r;
}

wpa_scan_results *scan_results(const std::vector<ScanEntry> &entries) {
    auto *res = static_cast<wpa_scan_results *>(calloc(1, sizeof(wpa_scan_results)));
    res->res = static_cast<wpa_scan_res **>(calloc(entries.size() + 1, sizeof(wpa_scan_res *)));
    for (const ScanEntry &e : entries)
        res->res[res->num++] = scan_res(e);
    return res;
}

namespace {
int token;
}

void *init(void *, const char *) {
    return &token;
}

void deinit(void *) {}

const char *radio_name(void *) {
    return "phy0";
}

wpa_driver_ops ops(const char *name, const char *desc) {
    wpa_driver_ops o{};
    o.name = name;
    o.desc = desc;
    o.init = init;
    o.deinit = deinit;
    return o;
}

std::vector<std::string> events;

void collect(void *, int level, wpa_msg_type, const char *txt, size_t len) {
    events.push_back("<" + std::to_string(level) + ">" + std::string(txt, len));
}

std::vector<std::string> matching(const std::string &prefix) {
    std::vector<std::string> out;
    for (const std::string &e : events)
        if (e.compare(0, prefix.size(), prefix) == 0) out.push_back(e);
    return out;
}

void Supplicant::start(const wpa_driver_ops *const *drivers) {
    wpa_driver_list_set(drivers);
    wpa_params params{};
    global = supplicant_init(&params);
    ASSERT_NE(global, nullptr);
    wpa_msg_register_cb(collect);
}

void Supplicant::TearDown() {
    supplicant_deinit(global);
    wpa_driver_list_set(nullptr);
}

wpa_iface *Supplicant::add_iface(const char *ifname, const char *driver) {
    wpa_iface_params p{};
    p.ifname = ifname;
    p.driver = driver;
    return supplicant_add_iface(global, &p, nullptr);
}

void Supplicant::run(double secs) {
    auto s = static_cast<int64_t>(secs);
    eloop_run_due(s, static_cast<int64_t>((secs - static_cast<double>(s)) * 1e6 + 0.5));
}

std::string Supplicant::cmd(const std::string &text, wpa_iface *w) {
    std::string copy = text;
    size_t len = 0;
    char *reply = wpa_ctrl_iface_process(w ? w : iface, copy.data(), &len);
    std::string out = reply ? std::string(reply, len) : "FAIL\n";
    free(reply);
    return out;
}

void Supplicant::finish_scan(wpa_iface *w) {
    w = w ? w : iface;
    supplicant_event(w, EVENT_SCAN_STARTED, nullptr);
    wpa_event_data data{};
    data.scan_info.nl_scan_event = 1;
    supplicant_event(w, EVENT_SCAN_RESULTS, &data);
    run(0);
}

} // namespace driver_fake
