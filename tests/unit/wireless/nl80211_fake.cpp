#include "nl80211_fake.h"

#include <cerrno>
#include <cstring>
#include <linux/genetlink.h>
#include <netlink/attr.h>
#include <netlink/genl/genl.h>
#include <netlink/msg.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace nlfake {

namespace {

Kernel *kernel = nullptr;
std::vector<Event> collected;

int k_open() {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    kernel->fds.push_back(fd);
    return fd;
}
void k_close(int fd) {
    kernel->queues.erase(fd);
    kernel->joined.erase(fd);
    close(fd);
}
int k_send(int fd, const void *buf, size_t len) {
    Sent s{};
    s.fd = fd;
    s.bytes.assign(static_cast<const uint8_t *>(buf), static_cast<const uint8_t *>(buf) + len);
    auto *nlh = reinterpret_cast<nlmsghdr *>(s.bytes.data());
    s.type = nlh->nlmsg_type;
    s.flags = nlh->nlmsg_flags;
    auto *g = static_cast<genlmsghdr *>(nlmsg_data(nlh));
    s.cmd = g->cmd;
    nlattr *tb[NL80211_ATTR_MAX + 1];
    if (genlmsg_parse(nlh, 0, tb, NL80211_ATTR_MAX, nullptr) == 0) {
        for (int i = 0; i <= NL80211_ATTR_MAX; i++)
            if (tb[i]) {
                auto *p = static_cast<const uint8_t *>(nla_data(tb[i]));
                s.attrs[i].assign(p, p + nla_len(tb[i]));
            }
    }
    kernel->sent.push_back(s);
    const Sent &req = kernel->sent.back();
    auto it = kernel->errors.find(req.cmd);
    if (req.type == FamilyId && it != kernel->errors.end() && !it->second.empty()) {
        int err = it->second.front();
        it->second.pop_front();
        if (err) {
            kernel->push_ack(fd, req, err);
            return 0;
        }
    }
    if (kernel->respond && kernel->respond(*kernel, req)) return 0;
    kernel->answer(req);
    return 0;
}
ssize_t k_recv(int fd, void *buf, size_t len) {
    auto &q = kernel->queues[fd];
    if (q.empty()) return -EAGAIN;
    std::vector<uint8_t> d = q.front();
    q.pop_front();
    if (q.empty()) {
        uint64_t n;
        (void)!read(fd, &n, sizeof(n));
    }
    if (d.size() > len) return -EMSGSIZE;
    memcpy(buf, d.data(), d.size());
    return static_cast<ssize_t>(d.size());
}
int k_join(int fd, int group) {
    kernel->joined[fd].push_back(group);
    return 0;
}
uint32_t k_port(int fd) {
    return 1000 + static_cast<uint32_t>(fd);
}
int k_nonblock(int, int) {
    return 0;
}
unsigned int k_index(const char *name) {
    auto it = kernel->index.find(name);
    return it == kernel->index.end() ? 0 : it->second;
}
int k_set_up(const char *name, int up) {
    if (!kernel->index.count(name)) return -ENODEV;
    kernel->up[name] = up != 0;
    return 0;
}
int k_is_up(const char *name) {
    if (!kernel->index.count(name)) return -ENODEV;
    return kernel->up[name] ? 1 : 0;
}
int k_get_mac(const char *name, uint8_t *addr) {
    if (!kernel->index.count(name)) return -1;
    memcpy(addr, kernel->radio.addr, 6);
    return 0;
}
int k_set_mac(const char *name, const uint8_t *addr) {
    if (!kernel->index.count(name)) return -1;
    memcpy(kernel->radio.addr, addr, 6);
    return 0;
}
int k_oper(netlink_data *, int, int linkmode, int operstate) {
    kernel->opers.emplace_back(linkmode, operstate);
    return 0;
}
void k_sleep(int) {
    kernel->sleeps++;
}

const nl80211_io_ops fake_io = {k_open,  k_close,  k_send,  k_recv,    k_join,    k_port, k_nonblock,
                                k_index, k_set_up, k_is_up, k_get_mac, k_set_mac, k_oper, k_sleep};

void observer(void *ctx, wpa_event_type type, const wpa_event_data *data) {
    Event e{};
    e.type = type;
    e.ctx = ctx;
    e.has_data = data != nullptr;
    if (data) e.data = *data;
    if (data) {
        switch (type) {
        case EVENT_SCAN_RESULTS:
            for (size_t i = 0; i < data->scan_info.num_ssids; i++)
                e.ssids.emplace_back(data->scan_info.ssids[i].ssid,
                                     data->scan_info.ssids[i].ssid + data->scan_info.ssids[i].ssid_len);
            e.freqs.assign(data->scan_info.freqs, data->scan_info.freqs + data->scan_info.num_freqs);
            break;
        case EVENT_DEAUTH:
        case EVENT_DISASSOC:
            if (data->deauth_info.addr) e.addr.assign(data->deauth_info.addr, data->deauth_info.addr + 6);
            if (data->deauth_info.ie)
                e.ies.assign(data->deauth_info.ie, data->deauth_info.ie + data->deauth_info.ie_len);
            break;
        case EVENT_AUTH:
            e.ies.assign(data->auth.ies, data->auth.ies + data->auth.ies_len);
            break;
        case EVENT_ASSOC:
            if (data->assoc_info.resp_ies)
                e.ies.assign(data->assoc_info.resp_ies,
                             data->assoc_info.resp_ies + data->assoc_info.resp_ies_len);
            break;
        case EVENT_ASSOC_REJECT:
            if (data->assoc_reject.bssid)
                e.addr.assign(data->assoc_reject.bssid, data->assoc_reject.bssid + 6);
            break;
        case EVENT_RX_MGMT:
            e.ies.assign(data->rx_mgmt.frame, data->rx_mgmt.frame + data->rx_mgmt.frame_len);
            break;
        case EVENT_TX_STATUS:
            e.ies.assign(data->tx_status.data, data->tx_status.data + data->tx_status.data_len);
            break;
        default:
            break;
        }
    }
    collected.push_back(std::move(e));
}

void put_band(nl_msg *msg, const Band &b, size_t from, size_t to, bool with_rates) {
    nlattr *band = nla_nest_start(msg, b.index);
    if (b.ht_capa) nla_put_u16(msg, NL80211_BAND_ATTR_HT_CAPA, b.ht_capa);
    if (b.vht_capa) nla_put_u32(msg, NL80211_BAND_ATTR_VHT_CAPA, b.vht_capa);
    nlattr *freqs = nla_nest_start(msg, NL80211_BAND_ATTR_FREQS);
    for (size_t i = from; i < to && i < b.channels.size(); i++) {
        nlattr *f = nla_nest_start(msg, static_cast<int>(i));
        nla_put_u32(msg, NL80211_FREQUENCY_ATTR_FREQ, b.channels[i].freq);
        if (b.channels[i].radar) {
            nla_put_flag(msg, NL80211_FREQUENCY_ATTR_RADAR);
            nla_put_u32(msg, NL80211_FREQUENCY_ATTR_DFS_STATE, NL80211_DFS_USABLE);
            nla_put_u32(msg, NL80211_FREQUENCY_ATTR_DFS_CAC_TIME, 60000);
        }
        if (b.channels[i].disabled) nla_put_flag(msg, NL80211_FREQUENCY_ATTR_DISABLED);
        nla_nest_end(msg, f);
    }
    nla_nest_end(msg, freqs);
    if (with_rates) {
        nlattr *rates = nla_nest_start(msg, NL80211_BAND_ATTR_RATES);
        for (size_t i = 0; i < b.rates.size(); i++) {
            nlattr *r = nla_nest_start(msg, static_cast<int>(i));
            nla_put_u32(msg, NL80211_BITRATE_ATTR_RATE, b.rates[i]);
            nla_nest_end(msg, r);
        }
        nla_nest_end(msg, rates);
    }
    nla_nest_end(msg, band);
}

void put_wiphy_head(nl_msg *msg) {
    nla_put_u32(msg, NL80211_ATTR_WIPHY, 0);
    nla_put_string(msg, NL80211_ATTR_WIPHY_NAME, "phy0");
    nla_put_u32(msg, NL80211_ATTR_GENERATION, 1);
}

void put_wiphy_capa(nl_msg *msg, const Radio &r) {
    nla_put_u8(msg, NL80211_ATTR_MAX_NUM_SCAN_SSIDS, r.max_scan_ssids);
    nlattr *types = nla_nest_start(msg, NL80211_ATTR_SUPPORTED_IFTYPES);
    nla_put_flag(msg, NL80211_IFTYPE_STATION);
    nla_put_flag(msg, NL80211_IFTYPE_AP);
    nla_put_flag(msg, NL80211_IFTYPE_MONITOR);
    nla_nest_end(msg, types);
    nlattr *cmds = nla_nest_start(msg, NL80211_ATTR_SUPPORTED_COMMANDS);
    int i = 0;
    if (r.auth) nla_put_u32(msg, ++i, NL80211_CMD_AUTHENTICATE);
    if (r.connect) nla_put_u32(msg, ++i, NL80211_CMD_CONNECT);
    nla_put_u32(msg, ++i, NL80211_CMD_TRIGGER_SCAN);
    if (r.probe_client_tx_status) nla_put_u32(msg, ++i, NL80211_CMD_PROBE_CLIENT);
    nla_nest_end(msg, cmds);
    if (r.device_ap_sme) nla_put_flag(msg, NL80211_ATTR_DEVICE_AP_SME);
    if (r.sched_plans) {
        nla_put_u32(msg, NL80211_ATTR_MAX_NUM_SCHED_SCAN_PLANS, r.sched_plans);
        nla_put_u32(msg, NL80211_ATTR_MAX_SCAN_PLAN_INTERVAL, r.sched_interval);
        nla_put_u32(msg, NL80211_ATTR_MAX_SCAN_PLAN_ITERATIONS, r.sched_iterations);
    }
    if (r.max_match_sets) nla_put_u8(msg, NL80211_ATTR_MAX_MATCH_SETS, r.max_match_sets);
    if (r.probe_client_tx_status) nla_put_u32(msg, NL80211_ATTR_FEATURE_FLAGS, NL80211_FEATURE_SK_TX_STATUS);
    nla_put(msg, NL80211_ATTR_CIPHER_SUITES, static_cast<int>(r.ciphers.size() * 4), r.ciphers.data());
    if (!r.ext_capa.empty()) {
        nla_put(msg, NL80211_ATTR_EXT_CAPA, static_cast<int>(r.ext_capa.size()), r.ext_capa.data());
        nla_put(msg, NL80211_ATTR_EXT_CAPA_MASK, static_cast<int>(r.ext_capa_mask.size()),
                r.ext_capa_mask.data());
    }
}

} // namespace

Radio default_radio() {
    Radio r;
    Band b24{NL80211_BAND_2GHZ, 0x2, 0, {}, {10, 20, 55, 110, 60, 90, 120, 180, 240, 360, 480, 540}};
    for (int ch = 1; ch <= 13; ch++)
        b24.channels.push_back({static_cast<uint32_t>(2407 + 5 * ch)});
    Band b5{NL80211_BAND_5GHZ, 0x2, 0x1, {}, {60, 90, 120, 180, 240, 360, 480, 540}};
    std::vector<int> chans;
    for (int ch = 36; ch <= 64; ch += 4)
        chans.push_back(ch);
    for (int ch = 100; ch <= 144; ch += 4)
        chans.push_back(ch);
    for (int ch = 149; ch <= 165; ch += 4)
        chans.push_back(ch);
    for (int ch : chans)
        b5.channels.push_back({static_cast<uint32_t>(5000 + 5 * ch), ch >= 52 && ch <= 144});
    r.bands = {b24, b5};
    return r;
}

const std::vector<uint8_t> *Sent::attr(int type) const {
    auto it = attrs.find(type);
    return it == attrs.end() ? nullptr : &it->second;
}
uint32_t Sent::u32(int type) const {
    const auto *a = attr(type);
    uint32_t v = 0;
    if (a && a->size() >= 4) memcpy(&v, a->data(), 4);
    return v;
}
uint16_t Sent::u16(int type) const {
    const auto *a = attr(type);
    uint16_t v = 0;
    if (a && a->size() >= 2) memcpy(&v, a->data(), 2);
    return v;
}
uint8_t Sent::u8(int type) const {
    const auto *a = attr(type);
    return a && !a->empty() ? (*a)[0] : 0;
}

Reply::Reply(uint8_t cmd, int family, int flags) {
    msg = nlmsg_alloc_size(65536);
    genlmsg_put(msg, 0, 0, family, 0, flags, cmd, 1);
}
Reply::~Reply() {
    nlmsg_free(msg);
}
Reply &Reply::u8(int type, uint8_t v) {
    nla_put_u8(msg, type, v);
    return *this;
}
Reply &Reply::u16(int type, uint16_t v) {
    nla_put_u16(msg, type, v);
    return *this;
}
Reply &Reply::u32(int type, uint32_t v) {
    nla_put_u32(msg, type, v);
    return *this;
}
Reply &Reply::u64(int type, uint64_t v) {
    nla_put_u64(msg, type, v);
    return *this;
}
Reply &Reply::flag(int type) {
    nla_put_flag(msg, type);
    return *this;
}
Reply &Reply::data(int type, const void *p, size_t len) {
    nla_put(msg, type, static_cast<int>(len), p);
    return *this;
}
std::vector<uint8_t> Reply::bytes() const {
    nlmsghdr *h = nlmsg_hdr(msg);
    auto *p = reinterpret_cast<const uint8_t *>(h);
    return {p, p + h->nlmsg_len};
}

Kernel::Kernel() : radio(default_radio()) {
    index["wlan0"] = 7;
    up["wlan0"] = false;
}

Kernel::~Kernel() {
    nl80211_io_set(nullptr);
    if (kernel == this) kernel = nullptr;
    for (int fd : fds)
        close(fd);
}

void Kernel::install() {
    kernel = this;
    nl80211_io_set(&fake_io);
}

Kernel *current() {
    return kernel;
}

void Kernel::push(int fd, const std::vector<uint8_t> &bytes) {
    queues[fd].push_back(bytes);
    uint64_t one = 1;
    (void)!write(fd, &one, sizeof(one)); // readable for the event loop
}

void Kernel::push_ack(int fd, const Sent &req, int error) {
    std::vector<uint8_t> b(NLMSG_HDRLEN + sizeof(nlmsgerr));
    auto *h = reinterpret_cast<nlmsghdr *>(b.data());
    h->nlmsg_len = static_cast<uint32_t>(b.size());
    h->nlmsg_type = NLMSG_ERROR;
    h->nlmsg_flags = NLM_F_CAPPED;
    auto *e = static_cast<nlmsgerr *>(nlmsg_data(h));
    e->error = error;
    memcpy(&e->msg, req.bytes.data(), sizeof(nlmsghdr));
    push(fd, b);
}

void Kernel::push_done(int fd, const Sent &) {
    std::vector<uint8_t> b(NLMSG_HDRLEN + 4);
    auto *h = reinterpret_cast<nlmsghdr *>(b.data());
    h->nlmsg_len = static_cast<uint32_t>(b.size());
    h->nlmsg_type = NLMSG_DONE;
    h->nlmsg_flags = NLM_F_MULTI;
    push(fd, b);
}

void Kernel::answer(const Sent &req) {
    int fd = req.fd;
    bool dump = (req.flags & NLM_F_DUMP) == NLM_F_DUMP;
    if (req.type == GENL_ID_CTRL) {
        // The family and its groups.
        nlattr *tb[CTRL_ATTR_MAX + 1];
        auto *nlh = reinterpret_cast<nlmsghdr *>(const_cast<uint8_t *>(req.bytes.data()));
        genlmsg_parse(nlh, 0, tb, CTRL_ATTR_MAX, nullptr);
        std::string name = tb[CTRL_ATTR_FAMILY_NAME] ? nla_get_string(tb[CTRL_ATTR_FAMILY_NAME]) : "";
        if (name != "nl80211" || !radio.family) {
            push_ack(fd, req, -ENOENT);
            return;
        }
        Reply r(CTRL_CMD_NEWFAMILY, GENL_ID_CTRL);
        r.u16(CTRL_ATTR_FAMILY_ID, FamilyId);
        nlattr *groups = nla_nest_start(r.msg, CTRL_ATTR_MCAST_GROUPS);
        int i = 0;
        auto group = [&](const char *n, int id) {
            nlattr *g = nla_nest_start(r.msg, ++i);
            nla_put_string(r.msg, CTRL_ATTR_MCAST_GRP_NAME, n);
            nla_put_u32(r.msg, CTRL_ATTR_MCAST_GRP_ID, static_cast<uint32_t>(id));
            nla_nest_end(r.msg, g);
        };
        group("config", 4);
        if (radio.scan_group) group("scan", GroupScan);
        if (radio.regulatory_group) group("regulatory", GroupRegulatory);
        if (radio.mlme_group) group("mlme", GroupMlme);
        group("vendor", 8);
        nla_nest_end(r.msg, groups);
        push(fd, r.bytes());
        push_ack(fd, req, 0);
        return;
    }
    switch (req.cmd) {
    case NL80211_CMD_GET_PROTOCOL_FEATURES: {
        Reply r(req.cmd);
        r.u32(NL80211_ATTR_PROTOCOL_FEATURES, radio.split ? NL80211_PROTOCOL_FEATURE_SPLIT_WIPHY_DUMP : 0);
        push(fd, r.bytes());
        push_ack(fd, req, 0);
        return;
    }
    case NL80211_CMD_GET_WIPHY: {
        if (dump && req.has(NL80211_ATTR_SPLIT_WIPHY_DUMP)) {
            {
                Reply r(NL80211_CMD_NEW_WIPHY, FamilyId, NLM_F_MULTI);
                put_wiphy_head(r.msg);
                put_wiphy_capa(r.msg, radio);
                push(fd, r.bytes());
            }
            // A band a message; a band's channels over two messages, the rates with the last.
            for (const Band &b : radio.bands) {
                size_t half = b.channels.size() / 2;
                Reply r1(NL80211_CMD_NEW_WIPHY, FamilyId, NLM_F_MULTI);
                put_wiphy_head(r1.msg);
                nlattr *bands = nla_nest_start(r1.msg, NL80211_ATTR_WIPHY_BANDS);
                put_band(r1.msg, b, 0, half, false);
                nla_nest_end(r1.msg, bands);
                push(fd, r1.bytes());
                Reply r2(NL80211_CMD_NEW_WIPHY, FamilyId, NLM_F_MULTI);
                put_wiphy_head(r2.msg);
                bands = nla_nest_start(r2.msg, NL80211_ATTR_WIPHY_BANDS);
                put_band(r2.msg, b, half, b.channels.size(), true);
                nla_nest_end(r2.msg, bands);
                push(fd, r2.bytes());
            }
            push_done(fd, req);
        } else {
            Reply r(NL80211_CMD_NEW_WIPHY);
            put_wiphy_head(r.msg);
            put_wiphy_capa(r.msg, radio);
            nlattr *bands = nla_nest_start(r.msg, NL80211_ATTR_WIPHY_BANDS);
            for (const Band &b : radio.bands)
                put_band(r.msg, b, 0, b.channels.size(), true);
            nla_nest_end(r.msg, bands);
            push(fd, r.bytes());
            push_ack(fd, req, 0);
        }
        return;
    }
    case NL80211_CMD_GET_REG: {
        Reply r(NL80211_CMD_GET_REG);
        r.data(NL80211_ATTR_REG_ALPHA2, "DE", 3);
        nlattr *rules = nla_nest_start(r.msg, NL80211_ATTR_REG_RULES);
        int i = 0;
        for (const RegRule &rule : radio.rules) {
            nlattr *n = nla_nest_start(r.msg, ++i);
            nla_put_u32(r.msg, NL80211_ATTR_FREQ_RANGE_START, rule.start_khz);
            nla_put_u32(r.msg, NL80211_ATTR_FREQ_RANGE_END, rule.end_khz);
            nla_put_u32(r.msg, NL80211_ATTR_FREQ_RANGE_MAX_BW, rule.max_bw_khz);
            nla_put_u32(r.msg, NL80211_ATTR_POWER_RULE_MAX_EIRP, rule.eirp);
            nla_nest_end(r.msg, n);
        }
        nla_nest_end(r.msg, rules);
        push(fd, r.bytes());
        push_ack(fd, req, 0);
        return;
    }
    case NL80211_CMD_GET_INTERFACE: {
        Reply r(NL80211_CMD_NEW_INTERFACE);
        r.u32(NL80211_ATTR_IFINDEX, 7).u32(NL80211_ATTR_IFTYPE, radio.iftype);
        push(fd, r.bytes());
        push_ack(fd, req, 0);
        return;
    }
    case NL80211_CMD_SET_INTERFACE:
        radio.iftype = req.u32(NL80211_ATTR_IFTYPE);
        push_ack(fd, req, 0);
        return;
    case NL80211_CMD_GET_SCAN:
    case NL80211_CMD_GET_SURVEY:
        for (const auto &m : req.cmd == NL80211_CMD_GET_SCAN ? scan_dump : survey_dump)
            push(fd, m);
        push_done(fd, req);
        return;
    default:
        if (dump)
            push_done(fd, req);
        else
            push_ack(fd, req, 0);
        return;
    }
}

std::vector<const Sent *> Kernel::of(uint8_t cmd) const {
    std::vector<const Sent *> out;
    for (const Sent &s : sent)
        if (s.type == FamilyId && s.cmd == cmd) out.push_back(&s);
    return out;
}

const Sent *Kernel::last(uint8_t cmd) const {
    auto v = of(cmd);
    return v.empty() ? nullptr : v.back();
}

std::vector<Event> &events() {
    return collected;
}

void observe() {
    collected.clear();
    supplicant_event_set_observer(observer);
}

std::vector<Event> of_type(wpa_event_type t) {
    std::vector<Event> out;
    for (const Event &e : collected)
        if (e.type == t) out.push_back(e);
    return out;
}

std::vector<uint8_t> mgmt_frame(uint8_t subtype, const uint8_t *da, const uint8_t *sa, const uint8_t *bssid,
                                const std::vector<uint8_t> &body) {
    std::vector<uint8_t> f(24);
    f[0] = static_cast<uint8_t>(subtype << 4);
    memcpy(&f[4], da, 6);
    memcpy(&f[10], sa, 6);
    memcpy(&f[16], bssid, 6);
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

} // namespace nlfake
