#include "sim/nlsim/sim.h"
#include "sim/nlsim/util.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/genetlink.h>
#include <linux/netlink.h>
#include <linux/nl80211.h>
#include <sstream>

namespace nlsim {

const char *const groupNames[GroupCount] = {"config", "scan", "regulatory", "mlme", "vendor"};

void putIfaceIds(Builder &b, const Iface &i) {
    b.u32(NL80211_ATTR_WIPHY, i.radio);
    b.u32(NL80211_ATTR_IFINDEX, i.ifindex);
    b.u64(NL80211_ATTR_WDEV, i.wdev);
}

namespace {

constexpr uint64_t ReplyMs = 20;  // an AP's answer to authentication or association
constexpr uint64_t RetryMs = 200; // a frame the AP did not answer is sent again after this
constexpr int Tries = 3;          // then the attempt has timed out
constexpr uint64_t LostMs = 2000; // an associated AP heard no more: local deauthentication
constexpr uint64_t ReapMs = 500;  // sockets are checked for life this often

const uint32_t defaultCiphers[] = {0x000fac01, 0x000fac05, 0x000fac02, 0x000fac04, 0x000fac06, 0x000fac08,
                                   0x000fac09, 0x000fac0a, 0x000fac0b, 0x000fac0c, 0x000fac0d};

const uint32_t defaultCommands[] = {
    NL80211_CMD_NEW_INTERFACE,     NL80211_CMD_SET_INTERFACE,
    NL80211_CMD_NEW_KEY,           NL80211_CMD_START_AP,
    NL80211_CMD_NEW_STATION,       NL80211_CMD_SET_BSS,
    NL80211_CMD_AUTHENTICATE,      NL80211_CMD_ASSOCIATE,
    NL80211_CMD_DEAUTHENTICATE,    NL80211_CMD_DISASSOCIATE,
    NL80211_CMD_JOIN_IBSS,         NL80211_CMD_SET_PMKSA,
    NL80211_CMD_DEL_PMKSA,         NL80211_CMD_FLUSH_PMKSA,
    NL80211_CMD_REMAIN_ON_CHANNEL, NL80211_CMD_SET_TX_BITRATE_MASK,
    NL80211_CMD_REGISTER_FRAME,    NL80211_CMD_FRAME,
    NL80211_CMD_FRAME_WAIT_CANCEL, NL80211_CMD_SET_WIPHY_NETNS,
    NL80211_CMD_SET_CHANNEL,       NL80211_CMD_PROBE_CLIENT,
    NL80211_CMD_SET_NOACK_MAP,     NL80211_CMD_REGISTER_BEACONS,
    NL80211_CMD_START_P2P_DEVICE,  NL80211_CMD_SET_MCAST_RATE,
    NL80211_CMD_CONNECT,           NL80211_CMD_DISCONNECT,
    NL80211_CMD_SET_QOS_MAP,
};

// Commands the model takes without acting on them beyond the trace, when the radio
// offers them (or they need no offer).
const uint32_t tracedCommands[] = {
    NL80211_CMD_SET_WIPHY,           NL80211_CMD_SET_POWER_SAVE,
    NL80211_CMD_SET_TX_BITRATE_MASK, NL80211_CMD_SET_CQM,
    NL80211_CMD_SET_REKEY_OFFLOAD,   NL80211_CMD_SET_PMKSA,
    NL80211_CMD_DEL_PMKSA,           NL80211_CMD_FLUSH_PMKSA,
    NL80211_CMD_UNEXPECTED_FRAME,    NL80211_CMD_REGISTER_BEACONS,
    NL80211_CMD_SET_QOS_MAP,         NL80211_CMD_UPDATE_FT_IES,
    NL80211_CMD_SET_WOWLAN,          NL80211_CMD_SET_MULTICAST_TO_UNICAST,
    NL80211_CMD_FRAME_WAIT_CANCEL,   NL80211_CMD_SET_BSS,
    NL80211_CMD_SET_MCAST_RATE,      NL80211_CMD_SET_NOACK_MAP,
};

const int chan5[] = {36,  40,  44,  48,  52,  56,  60,  64,  100, 104, 108, 112, 116,
                     120, 124, 128, 132, 136, 140, 144, 149, 153, 157, 161, 165};

uint32_t chanFreq(int band, int ch) {
    if (band == NL80211_BAND_2GHZ) return ch == 14 ? 2484 : 2407 + 5 * ch;
    return 5000 + 5 * ch;
}

int freqChan(uint32_t f) {
    if (f == 2484) return 14;
    if (f >= 2412 && f < 2484) return static_cast<int>(f - 2407) / 5;
    if (f >= 5000 && f < 5900) return static_cast<int>(f - 5000) / 5;
    return 0;
}

uint32_t keyLength(uint32_t cipher) {
    switch (cipher) {
    case 0x000fac01:
        return 5;
    case 0x000fac05:
        return 13;
    case 0x000fac02:
        return 32;
    case 0x000fac04:
    case 0x000fac06:
    case 0x000fac08:
    case 0x000fac0b:
        return 16;
    case 0x000fac09:
    case 0x000fac0a:
    case 0x000fac0c:
    case 0x000fac0d:
        return 32;
    default:
        return 0;
    }
}

bool isWep(uint32_t cipher) {
    return cipher == 0x000fac01 || cipher == 0x000fac05;
}

// Parses "a-b" or "a" into a range of integers.
bool range(const std::string &t, int &a, int &b) {
    char *end = nullptr;
    long x = std::strtol(t.c_str(), &end, 10);
    if (end == t.c_str()) return false;
    long y = x;
    if (*end == '-') {
        const char *s = end + 1;
        y = std::strtol(s, &end, 10);
        if (end == s) return false;
    }
    if (*end != '\0' || x < 0 || y < x || y > 200) return false;
    a = static_cast<int>(x);
    b = static_cast<int>(y);
    return true;
}

// A frequency range rule "2400-2483.5@40:20[:dfs][:no-ir]" (MHz, MHz, dBm).
bool regRule(const std::string &t, RegRule &r) {
    double a, b, bw, p;
    char rest[32] = "";
    if (std::sscanf(t.c_str(), "%lf-%lf@%lf:%lf%31s", &a, &b, &bw, &p, rest) < 4) return false;
    if (a <= 0 || b <= a || b > 100000 || bw <= 0 || bw > 320 || p < 0 || p > 50) return false;
    r.startKhz = static_cast<uint32_t>(a * 1000);
    r.endKhz = static_cast<uint32_t>(b * 1000);
    r.bwKhz = static_cast<uint32_t>(bw * 1000);
    r.eirp = static_cast<uint32_t>(p * 100);
    std::string extra = rest;
    r.flags = 0;
    if (extra.find(":dfs") != std::string::npos) r.flags |= NL80211_RRF_DFS;
    if (extra.find(":no-ir") != std::string::npos) r.flags |= NL80211_RRF_NO_IR;
    return true;
}

std::vector<std::string> words(const std::string &line) {
    std::vector<std::string> w;
    std::istringstream in(line);
    std::string s;
    while (in >> s)
        w.push_back(s);
    return w;
}

// Splits control words the way sim.sock does: blanks separate, double quotes hold them.
std::vector<std::string> controlWords(const std::string &line) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            i++;
        if (i >= line.size()) break;
        std::string word;
        if (line[i] == '"') {
            i++;
            while (i < line.size() && line[i] != '"')
                word += line[i++];
            if (i < line.size()) i++;
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t')
                word += line[i++];
        }
        out.push_back(word);
    }
    return out;
}

Radio defaultRadio() {
    Radio r;
    Band b2;
    b2.id = NL80211_BAND_2GHZ;
    for (int c = 1; c <= 13; c++) {
        Channel ch;
        ch.freq = chanFreq(NL80211_BAND_2GHZ, c);
        b2.channels.push_back(ch);
    }
    b2.rates = {10, 20, 55, 110, 60, 90, 120, 180, 240, 360, 480, 540};
    Band b5;
    b5.id = NL80211_BAND_5GHZ;
    for (int c : chan5) {
        Channel ch;
        ch.freq = chanFreq(NL80211_BAND_5GHZ, c);
        ch.radar = c >= 52 && c <= 144;
        b5.channels.push_back(ch);
    }
    b5.rates = {60, 90, 120, 180, 240, 360, 480, 540};
    r.bands = {b2, b5};
    r.iftypes = {NL80211_IFTYPE_STATION, NL80211_IFTYPE_AP, NL80211_IFTYPE_MONITOR};
    r.commands.assign(std::begin(defaultCommands), std::end(defaultCommands));
    r.ciphers.assign(std::begin(defaultCiphers), std::end(defaultCiphers));
    return r;
}

void addDefaultDomains(std::map<std::string, RegDomain> &d) {
    auto add = [&](const char *cc, uint8_t dfs, std::initializer_list<const char *> rules) {
        RegDomain dom;
        dom.alpha2 = cc;
        dom.dfsRegion = dfs;
        for (const char *t : rules) {
            RegRule r;
            regRule(t, r);
            dom.rules.push_back(r);
        }
        d[cc] = dom;
    };
    add("00", 0, {"2402-2494@40:20", "5140-5860@160:20"});
    add("DE", NL80211_DFS_ETSI,
        {"2400-2483.5@40:20", "5150-5250@80:23", "5250-5350@80:20:dfs", "5470-5725@160:26.98:dfs",
         "5725-5875@80:13.98"});
    add("US", NL80211_DFS_FCC,
        {"2400-2472@40:30", "5150-5250@80:23", "5250-5350@80:24:dfs", "5470-5730@160:24:dfs",
         "5730-5850@80:30"});
}

} // namespace

Sim::Sim(Links links) : links_(std::move(links)) {
    addDefaultDomains(domains);
}

std::string Sim::configure(const std::string &text) {
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    Radio *cur = nullptr;
    std::string initialCountry;
    auto fail = [&](const std::string &why) { return "line " + std::to_string(lineNo) + ": " + why; };
    while (std::getline(in, line)) {
        lineNo++;
        if (line.size() > 4096) return fail("line too long");
        size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        auto w = words(line);
        if (w.empty()) continue;
        const std::string &k = w[0];
        if (k == "radio") {
            if (w.size() != 2 || w[1].size() > 31) return fail("radio NAME");
            if (radios.size() >= 4) return fail("at most 4 radios");
            Radio r = defaultRadio();
            r.index = static_cast<uint32_t>(radios.size());
            r.name = w[1];
            r.netdev = radios.empty() ? "wlan0" : "wlan" + std::to_string(radios.size());
            r.addr[5] = static_cast<uint8_t>(radios.size() << 4);
            radios.push_back(r);
            cur = &radios.back();
            continue;
        }
        if (k == "reg") {
            if (w.size() < 3 || w[1].size() != 2) return fail("reg CC [dfs=fcc|etsi|jp] RULE...");
            RegDomain d;
            d.alpha2 = w[1];
            for (size_t i = 2; i < w.size(); i++) {
                if (w[i] == "dfs=fcc") {
                    d.dfsRegion = NL80211_DFS_FCC;
                    continue;
                }
                if (w[i] == "dfs=etsi") {
                    d.dfsRegion = NL80211_DFS_ETSI;
                    continue;
                }
                if (w[i] == "dfs=jp") {
                    d.dfsRegion = NL80211_DFS_JP;
                    continue;
                }
                RegRule r;
                if (!regRule(w[i], r)) return fail("bad rule " + w[i]);
                d.rules.push_back(r);
            }
            domains[d.alpha2] = d;
            continue;
        }
        if (k == "country") {
            if (w.size() != 2 || w[1].size() != 2) return fail("country CC");
            initialCountry = w[1];
            continue;
        }
        if (cur == nullptr) {
            radios.push_back(defaultRadio());
            cur = &radios.back();
        }
        Radio &r = *cur;
        if (k == "netdev") {
            if (w.size() != 2 || w[1].empty() || w[1].size() > 15) return fail("netdev NAME");
            r.netdev = w[1];
        } else if (k == "address") {
            if (w.size() != 2 || !parseMac(w[1], r.addr)) return fail("address MAC");
        } else if (k == "band") {
            // band 2g|5g CHANNELS: the band's channels, replacing the default ones
            if (w.size() != 3 || (w[1] != "2g" && w[1] != "5g")) return fail("band 2g|5g FIRST-LAST");
            int a, b;
            if (!range(w[2], a, b)) return fail("bad channel range");
            int id = w[1] == "2g" ? NL80211_BAND_2GHZ : NL80211_BAND_5GHZ;
            Band *band = nullptr;
            for (auto &x : r.bands)
                if (x.id == id) band = &x;
            if (band == nullptr) {
                r.bands.push_back(Band{});
                band = &r.bands.back();
                band->id = id;
                band->rates =
                    id == NL80211_BAND_2GHZ
                        ? std::vector<uint32_t>{10, 20, 55, 110, 60, 90, 120, 180, 240, 360, 480, 540}
                        : std::vector<uint32_t>{60, 90, 120, 180, 240, 360, 480, 540};
            }
            band->channels.clear();
            std::vector<int> list;
            if (id == NL80211_BAND_2GHZ)
                for (int c = 1; c <= 14; c++)
                    list.push_back(c);
            else
                list.assign(std::begin(chan5), std::end(chan5));
            for (int c : list)
                if (c >= a && c <= b) {
                    Channel ch;
                    ch.freq = chanFreq(id, c);
                    band->channels.push_back(ch);
                }
            std::sort(r.bands.begin(), r.bands.end(),
                      [](const Band &x, const Band &y) { return x.id < y.id; });
            cur = &r;
        } else if (k == "no-band") {
            if (w.size() != 2 || (w[1] != "2g" && w[1] != "5g")) return fail("no-band 2g|5g");
            int id = w[1] == "2g" ? NL80211_BAND_2GHZ : NL80211_BAND_5GHZ;
            r.bands.erase(
                std::remove_if(r.bands.begin(), r.bands.end(), [id](const Band &b) { return b.id == id; }),
                r.bands.end());
        } else if (k == "rates") {
            if (w.size() < 3 || (w[1] != "2g" && w[1] != "5g")) return fail("rates 2g|5g R...");
            int id = w[1] == "2g" ? NL80211_BAND_2GHZ : NL80211_BAND_5GHZ;
            std::vector<uint32_t> rates;
            for (size_t i = 2; i < w.size(); i++) {
                long long v;
                if (!number(w[i], 1, 10000, v)) return fail("bad rate " + w[i]);
                rates.push_back(static_cast<uint32_t>(v));
            }
            for (auto &b : r.bands)
                if (b.id == id) b.rates = rates;
        } else if (k == "ht-capa" || k == "vht-capa") {
            // ht-capa 2g|5g HEX: the band's HT capability (with a one-stream MCS set);
            // vht-capa 5g HEX: its VHT capability (MCS 0-9 on one stream)
            long long v;
            if (w.size() != 3 || (w[1] != "2g" && w[1] != "5g") ||
                !number("0x" + w[2], 0, k == "ht-capa" ? 0xffff : 0xffffffffLL, v))
                return fail(k + " 2g|5g HEX");
            int id = w[1] == "2g" ? NL80211_BAND_2GHZ : NL80211_BAND_5GHZ;
            for (auto &b : r.bands)
                if (b.id == id) {
                    if (k == "ht-capa") {
                        b.ht = true;
                        b.htCapa = static_cast<uint16_t>(v);
                    } else {
                        b.vht = true;
                        b.vhtCapa = static_cast<uint32_t>(v);
                    }
                }
        } else if (k == "radar" || k == "disabled" || k == "no-ir") {
            for (size_t i = 1; i < w.size(); i++) {
                int a, b;
                if (!range(w[i], a, b)) return fail("bad channel range " + w[i]);
                for (auto &band : r.bands)
                    for (auto &ch : band.channels) {
                        int c = freqChan(ch.freq);
                        if (c < a || c > b) continue;
                        if (k == "radar") ch.radar = true;
                        if (k == "disabled") ch.disabled = true;
                        if (k == "no-ir") ch.noIr = true;
                    }
            }
        } else if (k == "iftypes") {
            r.iftypes.clear();
            static const std::pair<const char *, uint32_t> types[] = {
                {"adhoc", NL80211_IFTYPE_ADHOC},     {"station", NL80211_IFTYPE_STATION},
                {"ap", NL80211_IFTYPE_AP},           {"monitor", NL80211_IFTYPE_MONITOR},
                {"mesh", NL80211_IFTYPE_MESH_POINT}, {"p2p-client", NL80211_IFTYPE_P2P_CLIENT},
                {"p2p-go", NL80211_IFTYPE_P2P_GO},   {"p2p-device", NL80211_IFTYPE_P2P_DEVICE}};
            for (size_t i = 1; i < w.size(); i++) {
                bool found = false;
                for (const auto &t : types)
                    if (w[i] == t.first) {
                        r.iftypes.push_back(t.second);
                        found = true;
                    }
                if (!found) return fail("unknown interface type " + w[i]);
            }
        } else if (k == "commands" || k == "refuse") {
            std::vector<uint32_t> &list = k == "commands" ? r.commands : r.refused;
            list.clear();
            for (size_t i = 1; i < w.size(); i++) {
                std::string n = w[i];
                for (auto &c : n)
                    c = static_cast<char>(c == '-' ? '_' : std::toupper(static_cast<unsigned char>(c)));
                int cmd = commandByName(n);
                if (cmd < 0) return fail("unknown command " + w[i]);
                list.push_back(static_cast<uint32_t>(cmd));
            }
        } else if (k == "ciphers") {
            r.ciphers.clear();
            for (size_t i = 1; i < w.size(); i++) {
                long long v;
                if (!number("0x" + w[i], 0, 0xffffffffLL, v)) return fail("cipher as 8 hex digits: " + w[i]);
                r.ciphers.push_back(static_cast<uint32_t>(v));
            }
        } else if (k == "features") {
            long long v;
            if (w.size() != 2 || !number(w[1], 0, 0xffffffffLL, v)) return fail("features NUMBER");
            r.features = static_cast<uint32_t>(v);
        } else if (k == "ext-features") {
            if (w.size() != 2 || !parseHex(w[1], r.extFeatures) || r.extFeatures.size() > 16)
                return fail("ext-features HEX");
        } else if (k == "ext-capa") {
            if (w.size() != 3 || !parseHex(w[1], r.extCapa) || !parseHex(w[2], r.extCapaMask) ||
                r.extCapa.size() > 32 || r.extCapaMask.size() > 32)
                return fail("ext-capa HEX MASK");
        } else if (k == "split") {
            if (w.size() != 2 || (w[1] != "0" && w[1] != "1")) return fail("split 0|1");
            r.split = w[1] == "1";
        } else if (k == "max-scan-ssids") {
            long long v;
            if (w.size() != 2 || !number(w[1], 0, 255, v)) return fail("max-scan-ssids N");
            r.maxScanSsids = static_cast<uint8_t>(v);
        } else if (std::string why; scanConfigure(r, w, why)) {
            if (!why.empty()) return fail(why);
        } else {
            return fail("unknown keyword " + k);
        }
    }
    if (radios.empty()) radios.push_back(defaultRadio());
    for (size_t i = 0; i < radios.size(); i++)
        for (size_t j = 0; j < i; j++)
            if (radios[i].name == radios[j].name || radios[i].netdev == radios[j].netdev)
                return "two radios share a name";
    if (!initialCountry.empty()) {
        if (!domains.count(initialCountry)) return "country " + initialCountry + " has no reg line";
        country = initialCountry;
    }
    applyReg();
    return "";
}

std::string Sim::start() {
    for (auto &r : radios) {
        Iface i;
        i.name = r.netdev;
        i.radio = r.index;
        std::memcpy(i.mac, r.addr, 6);
        i.wdev = (static_cast<uint64_t>(r.index) << 32) | 1;
        int err = links_.create ? links_.create(i.name, i.mac, false, i.tapFd, i.ifindex) : -ENOSYS;
        if (err < 0) return "cannot create " + i.name + ": " + std::strerror(-err);
        ifaces.push_back(i);
        if (links_.linkChanged) links_.linkChanged(ifaces.back());
    }
    nextReap_ = links_.nowMs() + ReapMs;
    return "";
}

void Sim::stop() {
    for (auto &i : ifaces)
        if (i.tapFd >= 0 && links_.destroy) links_.destroy(i.tapFd);
    for (auto &a : aps)
        if (a.tapFd >= 0 && links_.destroy) links_.destroy(a.tapFd);
    ifaces.clear();
    aps.clear();
}

void Sim::applyReg() {
    const RegDomain &d = domains.count(country) ? domains[country] : domains["00"];
    for (auto &r : radios)
        for (auto &b : r.bands)
            for (auto &ch : b.channels) {
                const RegRule *rule = nullptr;
                for (const auto &x : d.rules)
                    if (ch.freq * 1000 - 10000 >= x.startKhz && ch.freq * 1000 + 10000 <= x.endKhz) rule = &x;
                ch.regDisabled = rule == nullptr;
                ch.regRadar = rule && (rule->flags & NL80211_RRF_DFS);
                ch.regNoIr = rule && (rule->flags & NL80211_RRF_NO_IR);
                ch.regPower = rule ? std::min(rule->eirp, ch.maxPower) : ch.maxPower;
            }
}

Channel *Sim::channel(Radio &r, uint32_t freq) {
    for (auto &b : r.bands)
        for (auto &ch : b.channels)
            if (ch.freq == freq) return &ch;
    return nullptr;
}

Iface *Sim::byIndex(uint32_t ifindex) {
    for (auto &i : ifaces)
        if (i.ifindex == ifindex) return &i;
    return nullptr;
}

Iface *Sim::ifaceOf(const Attrs &a, int &err) {
    err = 0;
    const Attr *ix = a.get(NL80211_ATTR_IFINDEX);
    const Attr *wd = a.get(NL80211_ATTR_WDEV);
    if (ix && ix->len != 4) return err = -EINVAL, nullptr;
    if (wd && wd->len != 8) return err = -EINVAL, nullptr;
    if (!ix && !wd) return err = -EINVAL, nullptr;
    for (auto &i : ifaces)
        if ((ix && i.ifindex == ix->u32()) || (!ix && wd && i.wdev == wd->u64())) return &i;
    err = -ENODEV;
    return nullptr;
}

Radio *Sim::radioOf(const Attrs &a, Iface **iface, int &err) {
    err = 0;
    if (iface) *iface = nullptr;
    const Attr *wp = a.get(NL80211_ATTR_WIPHY);
    if (wp) {
        if (wp->len != 4) return err = -EINVAL, nullptr;
        for (auto &r : radios)
            if (r.index == wp->u32()) return &r;
        err = -ENODEV;
        return nullptr;
    }
    if (!a.has(NL80211_ATTR_IFINDEX) && !a.has(NL80211_ATTR_WDEV)) return err = -EINVAL, nullptr;
    Iface *i = ifaceOf(a, err);
    if (!i) return nullptr;
    if (iface) *iface = i;
    return &radios[i->radio];
}

Ap *Sim::apByBssid(const uint8_t *bssid) {
    for (auto &a : aps)
        if (std::memcmp(a.bssid, bssid, 6) == 0) return &a;
    return nullptr;
}

Ap *Sim::apByName(const std::string &name) {
    for (auto &a : aps)
        if (a.name == name) return &a;
    return nullptr;
}

Builder Sim::msg(uint8_t cmd, const Request *r, uint32_t port, uint16_t flags) {
    Builder b(familyId, flags, r ? r->seq : 0, r ? port : 0);
    b.genl(cmd);
    return b;
}

void Sim::event(Group g, Builder &b) {
    if (links_.multicast) links_.multicast(groupIds[g], b.bytes());
}

void Sim::eventTo(uint32_t port, Builder &b) {
    if (links_.unicast) links_.unicast(port, b.bytes());
}

// ---- requests ----

void Sim::receive(uint32_t port, const uint8_t *p, size_t len) {
    for (const Request &r : parseDatagram(p, len)) {
        if (!(r.flags & NLM_F_REQUEST)) continue; // the kernel takes only requests
        bool dump = (r.flags & NLM_F_DUMP) == NLM_F_DUMP;
        std::vector<Builder> out;
        int err = 0;
        if (r.type < NLMSG_MIN_TYPE) {
            err = 0;
            dump = false;
        } else if (r.len < NLMSG_HDRLEN + GENL_HDRLEN || !r.attrsOk) {
            err = -EINVAL;
            dump = false;
        } else if (r.type == GENL_ID_CTRL) {
            err = ctrlFamily(r, port, out, dump);
        } else if (r.type == familyId) {
            auto inj = injected_.find(r.cmd);
            if (inj != injected_.end()) {
                err = -inj->second.first;
                if (--inj->second.second <= 0) injected_.erase(inj);
                if (links_.trace) links_.trace("injected " + commandName(r.cmd) + " " + std::to_string(err));
            } else {
                err = dispatch(r, port, out, dump);
            }
        } else {
            err = -ENOENT;
            dump = false;
        }
        if (dump) {
            // Dump answers end with DONE carrying the result; never with an ACK.
            if (err == 0)
                for (auto &b : out)
                    eventTo(port, b);
            Builder done(NLMSG_DONE, NLM_F_MULTI, r.seq, port);
            int32_t v = err;
            done.raw(&v, sizeof v);
            eventTo(port, done);
            continue;
        }
        if (err == 0)
            for (auto &b : out)
                eventTo(port, b);
        if (err != 0 || (r.flags & NLM_F_ACK)) {
            // An ACK carries the request's header only (capped); an error the whole request.
            Builder e(NLMSG_ERROR, err == 0 ? NLM_F_CAPPED : 0, r.seq, port);
            int32_t v = err;
            e.raw(&v, sizeof v);
            if (err == 0) {
                nlmsghdr h;
                std::memcpy(&h, r.raw, sizeof h);
                e.raw(&h, sizeof h);
            } else {
                e.raw(r.raw, r.rawLen);
            }
            eventTo(port, e);
        }
        for (auto &m : after_)
            if (links_.multicast) links_.multicast(m.first, m.second);
        after_.clear();
    }
}

int Sim::ctrlFamily(const Request &r, uint32_t port, std::vector<Builder> &out, bool dump) {
    if (r.cmd != CTRL_CMD_GETFAMILY) return -EOPNOTSUPP;
    if (!dump) {
        const Attr *name = r.attrs.get(CTRL_ATTR_FAMILY_NAME);
        const Attr *id = r.attrs.get(CTRL_ATTR_FAMILY_ID);
        // nlctrl itself is looked up by name too (iw does, before naming groups): it keeps
        // the kernel's fixed id and its one group.
        bool self =
            (name && name->str() == "nlctrl") || (!name && id && id->len == 2 && id->u16() == GENL_ID_CTRL);
        if (self) {
            Builder b(GENL_ID_CTRL, 0, r.seq, port);
            b.genl(CTRL_CMD_NEWFAMILY, 2);
            b.u16(CTRL_ATTR_FAMILY_ID, GENL_ID_CTRL);
            b.str(CTRL_ATTR_FAMILY_NAME, "nlctrl");
            b.u32(CTRL_ATTR_VERSION, 2);
            b.u32(CTRL_ATTR_HDRSIZE, 0);
            b.u32(CTRL_ATTR_MAXATTR, CTRL_ATTR_MAX);
            size_t groups = b.nest(CTRL_ATTR_MCAST_GROUPS);
            size_t e = b.nest(1);
            b.u32(CTRL_ATTR_MCAST_GRP_ID, GENL_ID_CTRL);
            b.str(CTRL_ATTR_MCAST_GRP_NAME, "notify");
            b.end(e);
            b.end(groups);
            out.push_back(std::move(b));
            return 0;
        }
        if (name) {
            if (name->str() != "nl80211") return -ENOENT;
        } else if (id) {
            if (id->len != 2 || id->u16() != familyId) return -ENOENT;
        } else {
            return -EINVAL;
        }
    }
    Builder b(GENL_ID_CTRL, dump ? NLM_F_MULTI : 0, r.seq, port);
    b.genl(CTRL_CMD_NEWFAMILY, 2);
    b.u16(CTRL_ATTR_FAMILY_ID, familyId);
    b.str(CTRL_ATTR_FAMILY_NAME, "nl80211");
    b.u32(CTRL_ATTR_VERSION, 1);
    b.u32(CTRL_ATTR_HDRSIZE, 0);
    b.u32(CTRL_ATTR_MAXATTR, NL80211_ATTR_MAX);
    size_t ops = b.nest(CTRL_ATTR_OPS);
    for (int c = 1; c <= NL80211_CMD_MAX; c++) {
        size_t op = b.nest(static_cast<uint16_t>(c));
        b.u32(CTRL_ATTR_OP_ID, static_cast<uint32_t>(c));
        b.u32(CTRL_ATTR_OP_FLAGS, GENL_CMD_CAP_DO | GENL_CMD_CAP_DUMP);
        b.end(op);
    }
    b.end(ops);
    size_t groups = b.nest(CTRL_ATTR_MCAST_GROUPS);
    for (int g = 0; g < GroupCount; g++) {
        size_t e = b.nest(static_cast<uint16_t>(g + 1));
        b.u32(CTRL_ATTR_MCAST_GRP_ID, groupIds[g]);
        b.str(CTRL_ATTR_MCAST_GRP_NAME, groupNames[g]);
        b.end(e);
    }
    b.end(groups);
    out.push_back(std::move(b));
    return 0;
}

namespace {

// The kernel's policy for the attributes requests carry most: exact sizes for numbers,
// flags and addresses, bounds for strings and element buffers. Anything else passes.
struct Policy {
    uint16_t type;
    uint16_t min, max;
};
constexpr uint16_t Any = 0xffff;
const Policy policies[] = {
    {NL80211_ATTR_WIPHY, 4, 4},
    {NL80211_ATTR_IFINDEX, 4, 4},
    {NL80211_ATTR_WDEV, 8, 8},
    {NL80211_ATTR_IFTYPE, 4, 4},
    {NL80211_ATTR_IFNAME, 1, 16},
    {NL80211_ATTR_MAC, 6, 6},
    {NL80211_ATTR_MAC_HINT, 6, 6},
    {NL80211_ATTR_PREV_BSSID, 6, 6},
    {NL80211_ATTR_WIPHY_FREQ, 4, 4},
    {NL80211_ATTR_WIPHY_FREQ_HINT, 4, 4},
    {NL80211_ATTR_WIPHY_CHANNEL_TYPE, 4, 4},
    {NL80211_ATTR_CHANNEL_WIDTH, 4, 4},
    {NL80211_ATTR_CENTER_FREQ1, 4, 4},
    {NL80211_ATTR_CENTER_FREQ2, 4, 4},
    {NL80211_ATTR_KEY_IDX, 1, 1},
    {NL80211_ATTR_KEY_CIPHER, 4, 4},
    {NL80211_ATTR_KEY_TYPE, 4, 4},
    {NL80211_ATTR_KEY_DATA, 1, 32},
    {NL80211_ATTR_KEY_SEQ, 0, 16},
    {NL80211_ATTR_KEY_DEFAULT, 0, 0},
    {NL80211_ATTR_KEY_DEFAULT_MGMT, 0, 0},
    {NL80211_ATTR_REASON_CODE, 2, 2},
    {NL80211_ATTR_AUTH_TYPE, 4, 4},
    {NL80211_ATTR_SSID, 1, 32},
    {NL80211_ATTR_IE, 0, 2304},
    {NL80211_ATTR_FRAME_TYPE, 2, 2},
    {NL80211_ATTR_FRAME_MATCH, 0, Any},
    {NL80211_ATTR_SCAN_FLAGS, 4, 4},
    {NL80211_ATTR_REG_ALPHA2, 2, 3},
    {NL80211_ATTR_STA_FLAGS2, 8, 8},
    {NL80211_ATTR_SPLIT_WIPHY_DUMP, 0, 0},
    {NL80211_ATTR_SOCKET_OWNER, 0, 0},
    {NL80211_ATTR_CONTROL_PORT, 0, 0},
    {NL80211_ATTR_CONTROL_PORT_NO_ENCRYPT, 0, 0},
    {NL80211_ATTR_CONTROL_PORT_ETHERTYPE, 2, 2},
    {NL80211_ATTR_LOCAL_STATE_CHANGE, 0, 0},
    {NL80211_ATTR_DONT_WAIT_FOR_ACK, 0, 0},
    {NL80211_ATTR_PRIVACY, 0, 0},
    {NL80211_ATTR_TX_NO_CCK_RATE, 0, 0},
    {NL80211_ATTR_USE_MFP, 4, 4},
    {NL80211_ATTR_WPA_VERSIONS, 4, 4},
    {NL80211_ATTR_CIPHER_SUITE_GROUP, 4, 4},
    {NL80211_ATTR_BG_SCAN_PERIOD, 2, 2},
    {NL80211_ATTR_PMKID, 16, 16},
    {NL80211_ATTR_COOKIE, 8, 8},
    {NL80211_ATTR_DURATION, 4, 4},
    {NL80211_ATTR_4ADDR, 1, 1},
    {NL80211_ATTR_PS_STATE, 4, 4},
};

bool withinPolicy(const Attrs &attrs) {
    for (const auto &a : attrs.list)
        for (const auto &p : policies)
            if (p.type == a.type && (a.len < p.min || (p.max != Any && a.len > p.max))) return false;
    return true;
}

} // namespace

int Sim::dispatch(const Request &r, uint32_t port, std::vector<Builder> &out, bool &dump) {
    if (links_.trace)
        links_.trace(std::string(dump ? "dump " : "do ") + commandName(r.cmd) + " from " +
                     std::to_string(port));
    const Radio &r0 = radios[0];
    if (contains(r0.refused, r.cmd)) return -EOPNOTSUPP;
    if (!withinPolicy(r.attrs)) return -EINVAL;
    switch (r.cmd) {
    case NL80211_CMD_GET_PROTOCOL_FEATURES: {
        if (dump) return -EOPNOTSUPP;
        bool split = true;
        for (auto &x : radios)
            split = split && x.split;
        Builder b = msg(NL80211_CMD_GET_PROTOCOL_FEATURES, &r, port);
        b.u32(NL80211_ATTR_PROTOCOL_FEATURES, split ? NL80211_PROTOCOL_FEATURE_SPLIT_WIPHY_DUMP : 0);
        out.push_back(std::move(b));
        return 0;
    }
    case NL80211_CMD_GET_WIPHY: {
        bool split = r.attrs.has(NL80211_ATTR_SPLIT_WIPHY_DUMP);
        if (!dump) {
            int err;
            Radio *rad = radioOf(r.attrs, nullptr, err);
            if (!rad) return err;
            wiphyMessages(*rad, &r, port, false, out, 0);
            return 0;
        }
        Radio *only = nullptr;
        if (split && (r.attrs.has(NL80211_ATTR_WIPHY) || r.attrs.has(NL80211_ATTR_IFINDEX) ||
                      r.attrs.has(NL80211_ATTR_WDEV))) {
            int err;
            only = radioOf(r.attrs, nullptr, err);
            if (!only) return err;
        }
        for (auto &rad : radios)
            if (!only || only == &rad) wiphyMessages(rad, &r, port, split && rad.split, out, NLM_F_MULTI);
        return 0;
    }
    case NL80211_CMD_GET_INTERFACE:
    case NL80211_CMD_SET_INTERFACE:
    case NL80211_CMD_NEW_INTERFACE:
    case NL80211_CMD_DEL_INTERFACE:
        if (dump && r.cmd != NL80211_CMD_GET_INTERFACE) return -EOPNOTSUPP;
        return cmdInterface(r, port, r.cmd, out, dump);
    case NL80211_CMD_TRIGGER_SCAN:
    case NL80211_CMD_ABORT_SCAN:
    case NL80211_CMD_GET_SCAN:
    case NL80211_CMD_GET_SURVEY:
        if (dump != (r.cmd == NL80211_CMD_GET_SCAN || r.cmd == NL80211_CMD_GET_SURVEY)) return -EOPNOTSUPP;
        return cmdScan(r, port, r.cmd, out, dump);
    case NL80211_CMD_START_SCHED_SCAN:
    case NL80211_CMD_STOP_SCHED_SCAN:
        if (dump) return -EOPNOTSUPP;
        return cmdSched(r, port, r.cmd);
    case NL80211_CMD_SET_CQM:
        if (dump) return -EOPNOTSUPP;
        return cmdCqm(r);
    case NL80211_CMD_AUTHENTICATE:
    case NL80211_CMD_ASSOCIATE:
    case NL80211_CMD_CONNECT:
    case NL80211_CMD_DEAUTHENTICATE:
    case NL80211_CMD_DISASSOCIATE:
    case NL80211_CMD_DISCONNECT:
        if (dump) return -EOPNOTSUPP;
        return cmdMlme(r, port, r.cmd, out);
    case NL80211_CMD_NEW_KEY:
    case NL80211_CMD_DEL_KEY:
    case NL80211_CMD_SET_KEY:
    case NL80211_CMD_GET_KEY:
        if (dump) return -EOPNOTSUPP;
        if (r.cmd != NL80211_CMD_GET_KEY) {
            int err = cmdKey(r, r.cmd, out, port);
            airKeyTrace(r, err);
            return err;
        }
        return cmdKey(r, r.cmd, out, port);
    case NL80211_CMD_GET_STATION:
    case NL80211_CMD_SET_STATION:
        if (dump && r.cmd != NL80211_CMD_GET_STATION) return -EOPNOTSUPP;
        return cmdStation(r, port, r.cmd, out, dump);
    case NL80211_CMD_REGISTER_FRAME:
    case NL80211_CMD_FRAME:
        if (dump) return -EOPNOTSUPP;
        return cmdFrame(r, port, r.cmd, out);
    case NL80211_CMD_GET_REG:
    case NL80211_CMD_REQ_SET_REG:
        if (dump && r.cmd != NL80211_CMD_GET_REG) return -EOPNOTSUPP;
        return cmdReg(r, port, r.cmd, out);
    default:
        break;
    }
    if (dump) return -EOPNOTSUPP;
    bool traced =
        std::find(std::begin(tracedCommands), std::end(tracedCommands), r.cmd) != std::end(tracedCommands);
    if (traced || contains(r0.commands, r.cmd)) {
        if (r.attrs.has(NL80211_ATTR_IFINDEX) || r.attrs.has(NL80211_ATTR_WDEV)) {
            int err;
            if (!ifaceOf(r.attrs, err)) return err;
        }
        if (links_.trace) links_.trace("traced " + commandName(r.cmd));
        return 0;
    }
    return -EOPNOTSUPP;
}

// ---- wiphy, interfaces, regulatory ----

void Sim::wiphyMessages(Radio &rad, const Request *req, uint32_t port, bool split, std::vector<Builder> &out,
                        uint16_t flags) {
    auto head = [&]() {
        Builder b = msg(NL80211_CMD_NEW_WIPHY, req, port, flags);
        b.u32(NL80211_ATTR_WIPHY, rad.index);
        b.str(NL80211_ATTR_WIPHY_NAME, rad.name);
        b.u32(NL80211_ATTR_GENERATION, rad.generation);
        return b;
    };
    auto basics = [&](Builder &b) {
        b.u8(NL80211_ATTR_MAX_NUM_SCAN_SSIDS, rad.maxScanSsids);
        b.u16(NL80211_ATTR_MAX_SCAN_IE_LEN, 2048);
        putSchedLimits(b, rad);
        b.u32(NL80211_ATTR_MAX_REMAIN_ON_CHANNEL_DURATION, 5000);
        b.flag(NL80211_ATTR_OFFCHANNEL_TX_OK);
        size_t t = b.nest(NL80211_ATTR_SUPPORTED_IFTYPES);
        for (uint32_t x : rad.iftypes)
            b.flag(static_cast<uint16_t>(x));
        b.end(t);
        b.put(NL80211_ATTR_CIPHER_SUITES, rad.ciphers.data(), rad.ciphers.size() * 4);
    };
    auto channelEntry = [&](Builder &b, const Channel &ch, uint16_t n) {
        size_t e = b.nest(n);
        b.u32(NL80211_FREQUENCY_ATTR_FREQ, ch.freq);
        if (ch.disabled || ch.regDisabled) b.flag(NL80211_FREQUENCY_ATTR_DISABLED);
        if (ch.noIr || ch.regNoIr || ch.radar || ch.regRadar) b.flag(NL80211_FREQUENCY_ATTR_NO_IR);
        if (ch.radar || ch.regRadar) {
            b.flag(NL80211_FREQUENCY_ATTR_RADAR);
            b.u32(NL80211_FREQUENCY_ATTR_DFS_STATE, NL80211_DFS_USABLE);
            b.u32(NL80211_FREQUENCY_ATTR_DFS_TIME, 0);
            b.u32(NL80211_FREQUENCY_ATTR_DFS_CAC_TIME, 60000);
        }
        b.u32(NL80211_FREQUENCY_ATTR_MAX_TX_POWER, ch.regPower);
        b.end(e);
    };
    auto rates = [&](Builder &b, const Band &band) {
        size_t rs = b.nest(NL80211_BAND_ATTR_RATES);
        for (size_t k = 0; k < band.rates.size(); k++) {
            size_t e = b.nest(static_cast<uint16_t>(k));
            b.u32(NL80211_BITRATE_ATTR_RATE, band.rates[k]);
            if (band.id == NL80211_BAND_2GHZ &&
                (band.rates[k] == 20 || band.rates[k] == 55 || band.rates[k] == 110))
                b.flag(NL80211_BITRATE_ATTR_2GHZ_SHORTPREAMBLE);
            b.end(e);
        }
        b.end(rs);
    };
    auto capabilities = [&](Builder &b, const Band &band) {
        if (band.ht) {
            const uint8_t mcs[16] = {0xff, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
            b.put(NL80211_BAND_ATTR_HT_MCS_SET, mcs, sizeof mcs);
            b.u16(NL80211_BAND_ATTR_HT_CAPA, band.htCapa);
            b.u8(NL80211_BAND_ATTR_HT_AMPDU_FACTOR, 3);
            b.u8(NL80211_BAND_ATTR_HT_AMPDU_DENSITY, 6);
        }
        if (band.vht) {
            const uint8_t mcs[8] = {0xfe, 0xff, 0, 0, 0xfe, 0xff, 0, 0};
            b.put(NL80211_BAND_ATTR_VHT_MCS_SET, mcs, sizeof mcs);
            b.u32(NL80211_BAND_ATTR_VHT_CAPA, band.vhtCapa);
        }
    };
    // One band's channels [from, to) as a WIPHY_BANDS nest; rates with the first part.
    auto bandPart = [&](Builder &b, const Band &band, size_t from, size_t to, bool withRates) {
        size_t bands = b.nest(NL80211_ATTR_WIPHY_BANDS);
        size_t bn = b.nest(static_cast<uint16_t>(band.id));
        size_t fs = b.nest(NL80211_BAND_ATTR_FREQS);
        for (size_t k = from; k < to; k++)
            channelEntry(b, band.channels[k], static_cast<uint16_t>(k));
        b.end(fs);
        if (withRates) {
            rates(b, band);
            capabilities(b, band);
        }
        b.end(bn);
        b.end(bands);
    };
    auto tail = [&](Builder &b) {
        size_t c = b.nest(NL80211_ATTR_SUPPORTED_COMMANDS);
        for (size_t k = 0; k < rad.commands.size(); k++)
            b.u32(static_cast<uint16_t>(k + 1), rad.commands[k]);
        b.end(c);
        b.u32(NL80211_ATTR_FEATURE_FLAGS, rad.features);
        if (!rad.extFeatures.empty())
            b.put(NL80211_ATTR_EXT_FEATURES, rad.extFeatures.data(), rad.extFeatures.size());
        if (!rad.extCapa.empty()) {
            b.put(NL80211_ATTR_EXT_CAPA, rad.extCapa.data(), rad.extCapa.size());
            b.put(NL80211_ATTR_EXT_CAPA_MASK, rad.extCapaMask.data(), rad.extCapaMask.size());
        }
    };
    if (!split) {
        Builder b = head();
        basics(b);
        size_t bands = b.nest(NL80211_ATTR_WIPHY_BANDS);
        for (const auto &band : rad.bands) {
            size_t bn = b.nest(static_cast<uint16_t>(band.id));
            size_t fs = b.nest(NL80211_BAND_ATTR_FREQS);
            for (size_t k = 0; k < band.channels.size(); k++)
                channelEntry(b, band.channels[k], static_cast<uint16_t>(k));
            b.end(fs);
            rates(b, band);
            capabilities(b, band);
            b.end(bn);
        }
        b.end(bands);
        tail(b);
        out.push_back(std::move(b));
        return;
    }
    Builder first = head();
    basics(first);
    out.push_back(std::move(first));
    for (const auto &band : rad.bands) {
        size_t n = band.channels.size();
        // A band of many channels (5 GHz) goes over two messages, as the kernel's does.
        size_t cut = n > 16 ? n / 2 : n;
        Builder b = head();
        bandPart(b, band, 0, cut, true);
        out.push_back(std::move(b));
        if (cut < n) {
            Builder c = head();
            bandPart(c, band, cut, n, false);
            out.push_back(std::move(c));
        }
    }
    Builder last = head();
    tail(last);
    out.push_back(std::move(last));
}

void Sim::putIface(Builder &b, Iface &i) {
    b.u32(NL80211_ATTR_IFINDEX, i.ifindex);
    b.str(NL80211_ATTR_IFNAME, i.name);
    b.u32(NL80211_ATTR_WIPHY, i.radio);
    b.u64(NL80211_ATTR_WDEV, i.wdev);
    b.put(NL80211_ATTR_MAC, i.mac, 6);
    b.u32(NL80211_ATTR_GENERATION, radios[i.radio].generation);
    b.u32(NL80211_ATTR_IFTYPE, i.type);
    b.u8(NL80211_ATTR_4ADDR, 0);
    if (i.link == Link::Associated) {
        b.u32(NL80211_ATTR_WIPHY_FREQ, i.freq);
        b.u32(NL80211_ATTR_WIPHY_CHANNEL_TYPE, NL80211_CHAN_NO_HT);
        b.u32(NL80211_ATTR_CHANNEL_WIDTH, NL80211_CHAN_WIDTH_20_NOHT);
        b.u32(NL80211_ATTR_CENTER_FREQ1, i.freq);
        b.put(NL80211_ATTR_SSID, i.ssid.data(), i.ssid.size());
    }
}

void Sim::putReg(Builder &b) {
    const RegDomain &d = domains.count(country) ? domains[country] : domains["00"];
    b.str(NL80211_ATTR_REG_ALPHA2, d.alpha2);
    b.u8(NL80211_ATTR_DFS_REGION, d.dfsRegion);
    size_t rules = b.nest(NL80211_ATTR_REG_RULES);
    for (size_t k = 0; k < d.rules.size(); k++) {
        const RegRule &x = d.rules[k];
        size_t e = b.nest(static_cast<uint16_t>(k + 1));
        b.u32(NL80211_ATTR_REG_RULE_FLAGS, x.flags);
        b.u32(NL80211_ATTR_FREQ_RANGE_START, x.startKhz);
        b.u32(NL80211_ATTR_FREQ_RANGE_END, x.endKhz);
        b.u32(NL80211_ATTR_FREQ_RANGE_MAX_BW, x.bwKhz);
        b.u32(NL80211_ATTR_POWER_RULE_MAX_ANT_GAIN, 0);
        b.u32(NL80211_ATTR_POWER_RULE_MAX_EIRP, x.eirp);
        if (x.flags & NL80211_RRF_DFS) b.u32(NL80211_ATTR_DFS_CAC_TIME, 60000);
        b.end(e);
    }
    b.end(rules);
}

int Sim::cmdReg(const Request &r, uint32_t port, uint8_t cmd, std::vector<Builder> &out) {
    if (cmd == NL80211_CMD_GET_REG) {
        // A dump lists the global domain only: no radio here has its own.
        bool dump = (r.flags & NLM_F_DUMP) == NLM_F_DUMP;
        Builder b = msg(NL80211_CMD_GET_REG, &r, port, dump ? NLM_F_MULTI : 0);
        putReg(b);
        out.push_back(std::move(b));
        return 0;
    }
    const Attr *a = r.attrs.get(NL80211_ATTR_REG_ALPHA2);
    if (!a) return -EINVAL;
    std::string cc = a->str();
    if (cc.size() != 2 || !std::isupper(static_cast<unsigned char>(cc[0])) ||
        !std::isupper(static_cast<unsigned char>(cc[1])))
        if (cc != "00") return -EINVAL;
    if (!domains.count(cc)) return -EINVAL;
    country = cc;
    applyReg();
    for (auto &rad : radios)
        rad.generation++;
    Builder e = msg(NL80211_CMD_REG_CHANGE, nullptr, 0);
    e.u8(NL80211_ATTR_REG_INITIATOR, NL80211_REGDOM_SET_BY_USER);
    e.u8(NL80211_ATTR_REG_TYPE, cc == "00" ? NL80211_REGDOM_TYPE_WORLD : NL80211_REGDOM_TYPE_COUNTRY);
    if (cc != "00") e.str(NL80211_ATTR_REG_ALPHA2, cc);
    event(GroupRegulatory, e);
    return 0;
}

int Sim::cmdInterface(const Request &r, uint32_t port, uint8_t cmd, std::vector<Builder> &out, bool dump) {
    int err = 0;
    if (cmd == NL80211_CMD_GET_INTERFACE) {
        if (dump) {
            const Attr *wp = r.attrs.get(NL80211_ATTR_WIPHY);
            for (auto &i : ifaces) {
                if (wp && wp->u32() != i.radio) continue;
                Builder b = msg(NL80211_CMD_NEW_INTERFACE, &r, port, NLM_F_MULTI);
                putIface(b, i);
                out.push_back(std::move(b));
            }
            return 0;
        }
        Iface *i = ifaceOf(r.attrs, err);
        if (!i) return err;
        Builder b = msg(NL80211_CMD_NEW_INTERFACE, &r, port);
        putIface(b, *i);
        out.push_back(std::move(b));
        return 0;
    }
    if (cmd == NL80211_CMD_NEW_INTERFACE) {
        Iface *parent = nullptr;
        Radio *rad = radioOf(r.attrs, &parent, err);
        if (!rad) return err;
        const Attr *name = r.attrs.get(NL80211_ATTR_IFNAME);
        const Attr *type = r.attrs.get(NL80211_ATTR_IFTYPE);
        if (!name || !type || type->len != 4) return -EINVAL;
        std::string n = name->str();
        if (n.empty() || n.size() > 15 || n.find('/') != std::string::npos) return -EINVAL;
        if (!contains(rad->iftypes, type->u32())) return -EOPNOTSUPP;
        for (auto &i : ifaces)
            if (i.name == n) return -ENFILE;
        Iface i;
        i.name = n;
        i.radio = rad->index;
        i.type = type->u32();
        uint64_t count = 1;
        for (auto &x : ifaces)
            if (x.radio == rad->index) count = std::max(count, (x.wdev & 0xffffffffu) + 1);
        i.wdev = (static_cast<uint64_t>(rad->index) << 32) | count;
        std::memcpy(i.mac, rad->addr, 6);
        i.mac[5] = static_cast<uint8_t>(i.mac[5] + count - 1);
        const Attr *mac = r.attrs.get(NL80211_ATTR_MAC);
        if (mac) {
            if (mac->len != 6) return -EINVAL;
            std::memcpy(i.mac, mac->data, 6);
        }
        if (!links_.create) return -EOPNOTSUPP;
        err = links_.create(n, i.mac, i.type == NL80211_IFTYPE_MONITOR, i.tapFd, i.ifindex);
        if (err < 0) return err == -EEXIST ? -ENFILE : err;
        if (r.attrs.has(NL80211_ATTR_SOCKET_OWNER)) {
            i.ownerPort = port;
            i.ownerIdent = links_.identity ? links_.identity(port) : 0;
            known_[port] = i.ownerIdent;
        }
        ifaces.push_back(i);
        Builder b = msg(NL80211_CMD_NEW_INTERFACE, &r, port);
        putIface(b, ifaces.back());
        out.push_back(std::move(b));
        Builder e = msg(NL80211_CMD_NEW_INTERFACE, nullptr, 0);
        putIface(e, ifaces.back());
        event(GroupConfig, e);
        return 0;
    }
    Iface *i = ifaceOf(r.attrs, err);
    if (!i) return err;
    if (cmd == NL80211_CMD_DEL_INTERFACE) {
        Builder e = msg(NL80211_CMD_DEL_INTERFACE, nullptr, 0);
        putIface(e, *i);
        if (i->link != Link::Idle) linkDown(*i, 3, false, true, 0xC0);
        schedStop(*i, true);
        if (i->tapFd >= 0 && links_.destroy) links_.destroy(i->tapFd);
        ifaces.erase(ifaces.begin() + (i - ifaces.data()));
        event(GroupConfig, e);
        return 0;
    }
    // SET_INTERFACE
    const Attr *type = r.attrs.get(NL80211_ATTR_IFTYPE);
    if (!type) return 0;
    if (type->len != 4) return -EINVAL;
    uint32_t t = type->u32();
    if (t == i->type) return 0;
    if (!contains(radios[i->radio].iftypes, t)) return -EOPNOTSUPP;
    if (links_.isUp && links_.isUp(i->name)) return -EBUSY;
    if (i->link != Link::Idle) linkDown(*i, 3, false, true, 0xC0);
    if (i->scanning) finishScan(*i, true);
    i->type = t;
    Builder e = msg(NL80211_CMD_SET_INTERFACE, nullptr, 0);
    putIface(e, *i);
    event(GroupConfig, e);
    return 0;
}

// ---- the air ----

std::vector<uint8_t> Sim::beaconIes(const Ap &ap) const {
    std::vector<uint8_t> e;
    e.push_back(0);
    e.push_back(static_cast<uint8_t>(ap.ssid.size()));
    e.insert(e.end(), ap.ssid.begin(), ap.ssid.end());
    if (ap.freq < 5000) {
        const uint8_t rates[] = {1, 8, 0x82, 0x84, 0x8b, 0x96, 0x0c, 0x12, 0x18, 0x24};
        e.insert(e.end(), std::begin(rates), std::end(rates));
        e.push_back(3);
        e.push_back(1);
        e.push_back(static_cast<uint8_t>(freqChan(ap.freq)));
        const uint8_t ext[] = {50, 4, 0x30, 0x48, 0x60, 0x6c};
        e.insert(e.end(), std::begin(ext), std::end(ext));
    } else {
        const uint8_t rates[] = {1, 8, 0x8c, 0x12, 0x98, 0x24, 0xb0, 0x48, 0x60, 0x6c};
        e.insert(e.end(), std::begin(rates), std::end(rates));
        e.push_back(3);
        e.push_back(1);
        e.push_back(static_cast<uint8_t>(freqChan(ap.freq)));
    }
    e.insert(e.end(), ap.ies.begin(), ap.ies.end());
    return e;
}

std::vector<uint8_t> Sim::mgmtFrame(uint16_t fc, const uint8_t *da, const uint8_t *sa,
                                    const uint8_t *bssid) const {
    std::vector<uint8_t> f(24, 0);
    f[0] = static_cast<uint8_t>(fc & 0xff);
    f[1] = static_cast<uint8_t>(fc >> 8);
    f[2] = 0x3a; // duration 314 us
    f[3] = 0x01;
    std::memcpy(&f[4], da, 6);
    std::memcpy(&f[10], sa, 6);
    std::memcpy(&f[16], bssid, 6);
    return f;
}

namespace {
void put16(std::vector<uint8_t> &f, uint16_t v) {
    f.push_back(static_cast<uint8_t>(v & 0xff));
    f.push_back(static_cast<uint8_t>(v >> 8));
}
uint16_t capabilityOf(const std::vector<uint8_t> &ies) {
    uint16_t cap = 0x0001 | 0x0400; // ESS, short slot time
    // An RSN element or a WPA one (vendor 00:50:f2 type 1): privacy.
    for (size_t k = 0; k + 2 <= ies.size() && k + 2 + ies[k + 1] <= ies.size(); k += 2 + ies[k + 1]) {
        const uint8_t *e = &ies[k];
        if (e[0] == 48 ||
            (e[0] == 221 && e[1] >= 4 && e[2] == 0x00 && e[3] == 0x50 && e[4] == 0xf2 && e[5] == 1))
            cap |= 0x0010;
    }
    return cap;
}
} // namespace

void Sim::putBss(Builder &b, Iface &i, Bss &s) {
    uint64_t now = links_.nowMs();
    b.u32(NL80211_ATTR_GENERATION, radios[i.radio].generation);
    b.u32(NL80211_ATTR_IFINDEX, i.ifindex);
    b.u64(NL80211_ATTR_WDEV, i.wdev);
    size_t n = b.nest(NL80211_ATTR_BSS);
    b.put(NL80211_BSS_BSSID, s.bssid, 6);
    b.u32(NL80211_BSS_FREQUENCY, s.freq);
    b.u64(NL80211_BSS_TSF, s.tsf);
    b.u64(NL80211_BSS_BEACON_TSF, s.tsf);
    b.u16(NL80211_BSS_BEACON_INTERVAL, s.beaconInterval);
    b.u16(NL80211_BSS_CAPABILITY, s.capability);
    b.put(NL80211_BSS_INFORMATION_ELEMENTS, s.ies.data(), s.ies.size());
    b.put(NL80211_BSS_BEACON_IES, s.beaconIes.data(), s.beaconIes.size());
    b.s32(NL80211_BSS_SIGNAL_MBM, s.signal);
    b.u32(NL80211_BSS_SEEN_MS_AGO, static_cast<uint32_t>(now > s.seenMs ? now - s.seenMs : 0));
    if (i.link != Link::Idle && std::memcmp(i.bssid, s.bssid, 6) == 0 && i.freq == s.freq) {
        bool assoc = i.link == Link::Associated || i.link == Link::Associating;
        if (i.link != Link::Authenticating)
            b.u32(NL80211_BSS_STATUS, assoc && i.link == Link::Associated ? NL80211_BSS_STATUS_ASSOCIATED
                                                                          : NL80211_BSS_STATUS_AUTHENTICATED);
    }
    b.end(n);
}

int Sim::scanTargets(const Attrs &a, Radio &rad, size_t maxSsids, std::vector<std::string> &ssids,
                     std::vector<uint32_t> &freqs) {
    if (const Attr *s = a.get(NL80211_ATTR_SCAN_SSIDS)) {
        Attrs nest;
        if (!nest.parse(s->data, s->len)) return -EINVAL;
        for (const auto &x : nest.list) {
            if (x.len > 32) return -EINVAL;
            ssids.emplace_back(reinterpret_cast<const char *>(x.data), x.len);
        }
        if (ssids.size() > maxSsids) return -EINVAL;
    }
    if (const Attr *f = a.get(NL80211_ATTR_SCAN_FREQUENCIES)) {
        Attrs nest;
        if (!nest.parse(f->data, f->len)) return -EINVAL;
        for (const auto &x : nest.list) {
            if (x.len != 4) return -EINVAL;
            // A frequency the radio lacks is refused; a disabled channel is left out.
            Channel *ch = channel(rad, x.u32());
            if (!ch) return -EINVAL;
            if (ch->disabled || ch->regDisabled) continue;
            if (!contains(freqs, x.u32())) freqs.push_back(x.u32());
        }
        if (freqs.empty()) return -EINVAL;
    } else {
        for (auto &band : rad.bands)
            for (auto &ch : band.channels)
                if (!ch.disabled && !ch.regDisabled) freqs.push_back(ch.freq);
    }
    if (const Attr *ie = a.get(NL80211_ATTR_IE))
        if (ie->len > 2048) return -EINVAL;
    return 0;
}

int Sim::cmdScan(const Request &r, uint32_t port, uint8_t cmd, std::vector<Builder> &out, bool dump) {
    (void)dump;
    int err;
    Iface *i = ifaceOf(r.attrs, err);
    if (!i) return err;
    Radio &rad = radios[i->radio];
    uint64_t now = links_.nowMs();
    if (cmd == NL80211_CMD_GET_SCAN) {
        // Entries not seen for long have expired, except the one we are joined with.
        i->bss.erase(std::remove_if(i->bss.begin(), i->bss.end(),
                                    [&](const Bss &s) {
                                        bool current =
                                            i->link != Link::Idle && std::memcmp(s.bssid, i->bssid, 6) == 0;
                                        return !current && now > s.seenMs + rad.bssExpireMs;
                                    }),
                     i->bss.end());
        for (auto &s : i->bss) {
            Builder b = msg(NL80211_CMD_NEW_SCAN_RESULTS, &r, port, NLM_F_MULTI);
            putBss(b, *i, s);
            out.push_back(std::move(b));
        }
        return 0;
    }
    if (cmd == NL80211_CMD_GET_SURVEY) {
        for (auto &band : rad.bands)
            for (auto &ch : band.channels) {
                if (ch.disabled || ch.regDisabled) continue;
                Builder b = msg(NL80211_CMD_NEW_SURVEY_RESULTS, &r, port, NLM_F_MULTI);
                b.u32(NL80211_ATTR_IFINDEX, i->ifindex);
                size_t n = b.nest(NL80211_ATTR_SURVEY_INFO);
                b.u32(NL80211_SURVEY_INFO_FREQUENCY, ch.freq);
                b.u8(NL80211_SURVEY_INFO_NOISE, static_cast<uint8_t>(ch.noise));
                if (i->link == Link::Associated && i->freq == ch.freq) b.flag(NL80211_SURVEY_INFO_IN_USE);
                b.end(n);
                out.push_back(std::move(b));
            }
        return 0;
    }
    if (cmd == NL80211_CMD_ABORT_SCAN) {
        if (!i->scanning) return -ENOENT;
        finishScan(*i, true);
        return 0;
    }
    // TRIGGER_SCAN
    if (i->type == NL80211_IFTYPE_MONITOR) return -EOPNOTSUPP;
    if (links_.isUp && !links_.isUp(i->name)) return -ENETDOWN;
    if (i->scanning) return -EBUSY;
    if (i->link == Link::Idle) airOwnAddr(*i);
    std::vector<std::string> ssids;
    std::vector<uint32_t> freqs;
    if (int e = scanTargets(r.attrs, rad, rad.maxScanSsids, ssids, freqs)) return e;
    if (const Attr *f = r.attrs.get(NL80211_ATTR_SCAN_FLAGS)) {
        if (f->len != 4) return -EINVAL;
        // Flags the radio does not offer are refused, as by the kernel.
        if ((f->u32() & NL80211_SCAN_FLAG_LOW_PRIORITY) &&
            !(rad.features & NL80211_FEATURE_LOW_PRIORITY_SCAN))
            return -EOPNOTSUPP;
        if ((f->u32() & NL80211_SCAN_FLAG_RANDOM_ADDR) &&
            !(rad.features & NL80211_FEATURE_SCAN_RANDOM_MAC_ADDR))
            return -EOPNOTSUPP;
    }
    i->scanning = true;
    i->scanSsids = ssids;
    i->scanFreqs = freqs;
    scanStarted(*i, r, port);
    i->scanDue = now + rad.scanMs;
    i->scanPort = 0;
    if (r.attrs.has(NL80211_ATTR_SOCKET_OWNER)) {
        i->scanPort = port;
        i->scanIdent = links_.identity ? links_.identity(port) : 0;
        known_[port] = i->scanIdent;
    }
    if (rad.scanEvents) {
        Builder e = msg(NL80211_CMD_TRIGGER_SCAN, nullptr, 0);
        putIfaceIds(e, *i);
        size_t s = e.nest(NL80211_ATTR_SCAN_SSIDS);
        for (size_t k = 0; k < ssids.size(); k++)
            e.put(static_cast<uint16_t>(k), ssids[k].data(), ssids[k].size());
        e.end(s);
        size_t f = e.nest(NL80211_ATTR_SCAN_FREQUENCIES);
        for (size_t k = 0; k < freqs.size(); k++)
            e.u32(static_cast<uint16_t>(k), freqs[k]);
        e.end(f);
        event(GroupScan, e);
    }
    return 0;
}

void Sim::finishScan(Iface &i, bool aborted) {
    Radio &rad = radios[i.radio];
    uint64_t now = links_.nowMs();
    i.scanning = false;
    if (!aborted) {
        for (auto &ap : aps) {
            if (ap.silent || !contains(i.scanFreqs, ap.freq)) continue;
            Channel *ch = channel(rad, ap.freq);
            if (!ch) continue;
            // Probes go out only where we may transmit, and only when SSIDs were asked; a
            // hidden AP answers only a probe that names its SSID.
            bool probed = false;
            if (!i.scanSsids.empty() && !(ch->noIr || ch->regNoIr || ch->radar || ch->regRadar))
                for (const auto &s : i.scanSsids)
                    if ((s.empty() && ap.hidden == 0) || s == ap.ssid) probed = true;
            Ap beacon = ap;
            if (ap.hidden == 1) beacon.ssid.clear();
            if (ap.hidden == 2) beacon.ssid.assign(ap.ssid.size(), '\0');
            Ap presp = ap;
            if (ap.hasPresp) presp.ies = ap.presp;
            // One entry per BSSID, channel and SSID: a hidden AP's beacon and its answer to a
            // directed probe are two.
            auto store = [&](const std::string &ssid, const Ap &heard) {
                Bss *entry = nullptr;
                for (auto &s : i.bss)
                    if (std::memcmp(s.bssid, ap.bssid, 6) == 0 && s.freq == ap.freq && s.ssid == ssid)
                        entry = &s;
                if (!entry) {
                    i.bss.push_back(Bss{});
                    entry = &i.bss.back();
                }
                std::memcpy(entry->bssid, ap.bssid, 6);
                entry->ssid = ssid;
                entry->freq = ap.freq;
                entry->beaconIes = beaconIes(beacon);
                entry->ies = beaconIes(heard);
                entry->signal = ap.signal;
                entry->tsf = (now - ap.bornMs) * 1000;
                entry->seenMs = now;
                entry->capability =
                    ap.capability >= 0 ? static_cast<uint16_t>(ap.capability) : capabilityOf(ap.ies);
                entry->beaconInterval = 100;
            };
            if (ap.hidden == 0) {
                store(ap.ssid, probed ? presp : beacon);
            } else {
                store(beacon.ssid, beacon);
                if (probed) store(ap.ssid, presp);
            }
        }
    }
    if (!aborted) scanEnded(i);
    if (!rad.scanEvents) return;
    Builder e = msg(aborted ? NL80211_CMD_SCAN_ABORTED : NL80211_CMD_NEW_SCAN_RESULTS, nullptr, 0);
    putIfaceIds(e, i);
    size_t s = e.nest(NL80211_ATTR_SCAN_SSIDS);
    for (size_t k = 0; k < i.scanSsids.size(); k++)
        e.put(static_cast<uint16_t>(k), i.scanSsids[k].data(), i.scanSsids[k].size());
    e.end(s);
    size_t f = e.nest(NL80211_ATTR_SCAN_FREQUENCIES);
    for (size_t k = 0; k < i.scanFreqs.size(); k++)
        e.u32(static_cast<uint16_t>(k), i.scanFreqs[k]);
    e.end(f);
    event(GroupScan, e);
}

// ---- authentication, association, connection ----

void Sim::mlmeEvent(Iface &i, uint8_t cmd, const std::vector<uint8_t> &frame) {
    Builder e = msg(cmd, nullptr, 0);
    putIfaceIds(e, i);
    e.put(NL80211_ATTR_FRAME, frame.data(), frame.size());
    event(GroupMlme, e);
}

void Sim::timedOut(Iface &i, uint8_t cmd) {
    Builder e = msg(cmd, nullptr, 0);
    putIfaceIds(e, i);
    e.flag(NL80211_ATTR_TIMED_OUT);
    e.put(NL80211_ATTR_MAC, i.bssid, 6);
    event(GroupMlme, e);
}

namespace {
void connectResult(Builder &e, const Iface &i, uint16_t status, bool timedOut) {
    putIfaceIds(e, i);
    e.put(NL80211_ATTR_MAC, i.bssid, 6);
    e.u16(NL80211_ATTR_STATUS_CODE, status);
    if (timedOut) e.flag(NL80211_ATTR_TIMED_OUT);
    if (!i.reqIe.empty()) e.put(NL80211_ATTR_REQ_IE, i.reqIe.data(), i.reqIe.size());
    if (!i.respIe.empty()) e.put(NL80211_ATTR_RESP_IE, i.respIe.data(), i.respIe.size());
}
} // namespace

void Sim::linkUp(Iface &i, Ap &ap) {
    i.link = Link::Associated;
    i.connectedMs = links_.nowMs();
    i.lostSince = 0;
    i.authorized = !i.controlPort;
    i.rxBytes = i.txBytes = i.rxPackets = i.txPackets = 0;
    bool known = false;
    for (auto &s : i.bss)
        if (std::memcmp(s.bssid, ap.bssid, 6) == 0 && s.freq == ap.freq) known = true;
    if (!known) {
        Bss s;
        std::memcpy(s.bssid, ap.bssid, 6);
        s.ssid = ap.ssid;
        s.freq = ap.freq;
        s.beaconIes = s.ies = beaconIes(ap);
        s.signal = ap.signal;
        s.seenMs = links_.nowMs();
        s.tsf = (s.seenMs - ap.bornMs) * 1000;
        s.capability = capabilityOf(ap.ies);
        i.bss.push_back(s);
    }
    if (i.tapFd >= 0 && links_.carrier) links_.carrier(i.tapFd, true);
    Builder e = msg(NL80211_CMD_CONNECT, nullptr, 0);
    connectResult(e, i, 0, false);
    event(GroupMlme, e);
    if (links_.linkChanged) links_.linkChanged(i);
}

void Sim::linkDown(Iface &i, uint16_t reason, bool byAp, bool frameEvent, uint8_t subtype) {
    bool wasUp = i.link == Link::Associated;
    airLinkDown(i, reason, byAp, subtype);
    if (frameEvent) {
        std::vector<uint8_t> f =
            byAp ? mgmtFrame(subtype, i.mac, i.bssid, i.bssid) : mgmtFrame(subtype, i.bssid, i.mac, i.bssid);
        put16(f, reason);
        mlmeEvent(i, subtype == 0xA0 ? NL80211_CMD_DISASSOCIATE : NL80211_CMD_DEAUTHENTICATE, f);
    }
    i.link = Link::Idle;
    i.authorized = false;
    i.lostSince = 0;
    i.keys.erase(std::remove_if(i.keys.begin(), i.keys.end(),
                                [](const Key &k) { return k.pairwise || !isWep(k.cipher); }),
                 i.keys.end());
    if (wasUp && i.tapFd >= 0 && links_.carrier) links_.carrier(i.tapFd, false);
    // Only a connection that stood ends with DISCONNECT; an authentication alone
    // ends with its frame.
    if (!wasUp) return;
    Builder e = msg(NL80211_CMD_DISCONNECT, nullptr, 0);
    putIfaceIds(e, i);
    e.u16(NL80211_ATTR_REASON_CODE, reason);
    if (byAp) e.flag(NL80211_ATTR_DISCONNECTED_BY_AP);
    event(GroupMlme, e);
    if (links_.linkChanged) links_.linkChanged(i);
}

void Sim::stepLink(Iface &i) {
    uint64_t now = links_.nowMs();
    Ap *ap = apByBssid(i.bssid);
    bool hears = ap && !ap->silent && ap->freq == i.freq;
    if (i.viaConnect) {
        // The kernel's own SME: authentication and association in one go.
        if (!hears) {
            if (++i.tries <= Tries) {
                i.due = now + RetryMs;
                return;
            }
            i.link = Link::Idle;
            Builder e = msg(NL80211_CMD_CONNECT, nullptr, 0);
            connectResult(e, i, 1, true);
            event(GroupMlme, e);
            return;
        }
        uint16_t auth = authStatusFor(*ap, i.authAlg);
        if (auth == 13 && i.air.anyAlg) auth = authStatusFor(*ap, 1);
        uint16_t status = auth ? auth : ap->assocStatus;
        if (!auth) airAssocHeard(i, *ap);
        if (status) {
            i.link = Link::Idle;
            Builder e = msg(NL80211_CMD_CONNECT, nullptr, 0);
            connectResult(e, i, status, false);
            event(GroupMlme, e);
            return;
        }
        i.respIe = {1, 8, 0x82, 0x84, 0x8b, 0x96, 0x0c, 0x12, 0x18, 0x24};
        linkUp(i, *ap);
        return;
    }
    if (!hears) {
        if (++i.tries <= Tries) {
            i.due = now + RetryMs;
            return;
        }
        uint8_t cmd = i.link == Link::Authenticating ? NL80211_CMD_AUTHENTICATE : NL80211_CMD_ASSOCIATE;
        i.link = Link::Idle;
        timedOut(i, cmd);
        return;
    }
    if (i.link == Link::Authenticating) {
        airAuthHeard(i, *ap);
        std::vector<uint8_t> f = mgmtFrame(0xB0, i.mac, ap->bssid, ap->bssid);
        uint16_t status = authStatusFor(*ap, i.authAlg);
        put16(f, i.authAlg);
        put16(f, 2);
        put16(f, status);
        i.link = status == 0 ? Link::Authenticated : Link::Idle;
        mlmeEvent(i, NL80211_CMD_AUTHENTICATE, f);
        return;
    }
    // Associating
    airAssocHeard(i, *ap);
    std::vector<uint8_t> f = mgmtFrame(i.air.reassoc ? 0x30 : 0x10, i.mac, ap->bssid, ap->bssid);
    put16(f, capabilityOf(ap->ies));
    put16(f, ap->assocStatus);
    put16(f, ap->assocStatus ? 0 : 0xC001);
    std::vector<uint8_t> resp = {1, 8, 0x82, 0x84, 0x8b, 0x96, 0x0c, 0x12, 0x18, 0x24};
    f.insert(f.end(), resp.begin(), resp.end());
    i.respIe = resp;
    mlmeEvent(i, NL80211_CMD_ASSOCIATE, f);
    if (ap->assocStatus == 0) {
        linkUp(i, *ap);
    } else {
        i.link = Link::Idle;
        Builder e = msg(NL80211_CMD_CONNECT, nullptr, 0);
        connectResult(e, i, ap->assocStatus, false);
        event(GroupMlme, e);
    }
}

int Sim::cmdMlme(const Request &r, uint32_t port, uint8_t cmd, std::vector<Builder> &out) {
    (void)port;
    (void)out;
    int err;
    Iface *i = ifaceOf(r.attrs, err);
    if (!i) return err;
    Radio &rad = radios[i->radio];
    const Attrs &a = r.attrs;
    uint64_t now = links_.nowMs();
    const Attr *mac = a.get(NL80211_ATTR_MAC);
    const Attr *freq = a.get(NL80211_ATTR_WIPHY_FREQ);
    const Attr *ssid = a.get(NL80211_ATTR_SSID);
    if ((mac && mac->len != 6) || (freq && freq->len != 4) || (ssid && (ssid->len == 0 || ssid->len > 32)))
        return -EINVAL;
    if (const Attr *ie = a.get(NL80211_ATTR_IE))
        if (ie->len > 2048) return -EINVAL;
    bool station = i->type == NL80211_IFTYPE_STATION || i->type == NL80211_IFTYPE_P2P_CLIENT;
    // As in the kernel, these need a running interface before anything else is looked at.
    if (links_.isUp && !links_.isUp(i->name)) return -ENETDOWN;
    if (i->link == Link::Idle) airOwnAddr(*i);
    switch (cmd) {
    case NL80211_CMD_AUTHENTICATE: {
        if (!contains(rad.commands, cmd)) return -EOPNOTSUPP;
        const Attr *at = a.get(NL80211_ATTR_AUTH_TYPE);
        if (!mac || !freq || !ssid || !at || at->len != 4) return -EINVAL;
        if (at->u32() > NL80211_AUTHTYPE_MAX) return -EINVAL;
        if (!station) return -EOPNOTSUPP;
        if (i->link != Link::Idle && std::memcmp(i->bssid, mac->data, 6) == 0) return -EALREADY;
        bool known = false;
        for (auto &s : i->bss)
            if (std::memcmp(s.bssid, mac->data, 6) == 0 && s.freq == freq->u32()) known = true;
        if (!known) return -ENOENT;
        // Leaving an association deauthenticates from it (reason 1, unspecified); a mere
        // authentication elsewhere is dropped without a word.
        if (i->link == Link::Associated) linkDown(*i, 1, false, true, 0xC0);
        i->link = Link::Authenticating;
        i->viaConnect = false;
        std::memcpy(i->bssid, mac->data, 6);
        i->freq = freq->u32();
        i->ssid.assign(reinterpret_cast<const char *>(ssid->data), ssid->len);
        static const uint16_t algorithms[] = {0, 1, 2, 0x80, 3}; // open, shared, FT, network EAP, SAE
        i->authAlg = at->u32() < 5 ? algorithms[at->u32()] : 0;
        i->tries = 0;
        i->due = now + ReplyMs;
        return 0;
    }
    case NL80211_CMD_ASSOCIATE: {
        if (!contains(rad.commands, cmd)) return -EOPNOTSUPP;
        if (!mac || !freq || !ssid) return -EINVAL;
        if (i->link != Link::Authenticated || std::memcmp(i->bssid, mac->data, 6) != 0) return -ENOLINK;
        const Attr *ie = a.get(NL80211_ATTR_IE);
        i->reqIe.assign(ie ? ie->data : nullptr, ie ? ie->data + ie->len : nullptr);
        i->controlPort = a.has(NL80211_ATTR_CONTROL_PORT);
        airNoteAssoc(*i, a);
        i->link = Link::Associating;
        i->tries = 0;
        i->due = now + ReplyMs;
        return 0;
    }
    case NL80211_CMD_CONNECT: {
        if (!contains(rad.commands, cmd)) return -EOPNOTSUPP;
        if (!ssid) return -EINVAL;
        if (const Attr *at = a.get(NL80211_ATTR_AUTH_TYPE))
            if (at->len != 4 || at->u32() > NL80211_AUTHTYPE_MAX) return -EINVAL;
        if (!station) return -EOPNOTSUPP;
        if (i->link != Link::Idle) return -EALREADY;
        std::string want(reinterpret_cast<const char *>(ssid->data), ssid->len);
        const Ap *best = nullptr;
        for (auto &ap : aps) {
            if (ap.ssid != want || ap.silent) continue;
            if (mac && std::memcmp(ap.bssid, mac->data, 6) != 0) continue;
            if (freq && ap.freq != freq->u32()) continue;
            Channel *ch = channel(rad, ap.freq);
            if (!ch || ch->disabled || ch->regDisabled) continue;
            if (!best || ap.signal > best->signal) best = &ap;
        }
        i->viaConnect = true;
        i->link = Link::Associating;
        i->ssid = want;
        std::memset(i->bssid, 0, 6);
        if (mac) std::memcpy(i->bssid, mac->data, 6);
        i->freq = freq ? freq->u32() : 0;
        if (best) {
            std::memcpy(i->bssid, best->bssid, 6);
            i->freq = best->freq;
        }
        const Attr *ie = a.get(NL80211_ATTR_IE);
        i->reqIe.assign(ie ? ie->data : nullptr, ie ? ie->data + ie->len : nullptr);
        i->respIe.clear();
        i->controlPort = a.has(NL80211_ATTR_CONTROL_PORT);
        airNoteAssoc(*i, a);
        const Attr *at = a.get(NL80211_ATTR_AUTH_TYPE);
        i->authAlg = at && at->u32() == NL80211_AUTHTYPE_SHARED_KEY ? 1 : 0;
        i->air.anyAlg = !at; // the kernel chooses: open, then shared key

        i->tries = 0;
        i->due = now + ReplyMs;
        return 0;
    }
    case NL80211_CMD_DEAUTHENTICATE:
    case NL80211_CMD_DISASSOCIATE: {
        const Attr *reason = a.get(NL80211_ATTR_REASON_CODE);
        if (!mac || !reason || reason->len != 2) return -EINVAL;
        if (reason->u16() == 0) return -EINVAL;
        bool ours = i->link != Link::Idle && std::memcmp(i->bssid, mac->data, 6) == 0;
        // A local state change for a BSS we are not joined with has nothing to undo.
        if (!ours && cmd == NL80211_CMD_DEAUTHENTICATE && a.has(NL80211_ATTR_LOCAL_STATE_CHANGE)) return 0;
        if (!ours) return -ENOTCONN;
        if (cmd == NL80211_CMD_DISASSOCIATE && i->link != Link::Associated) return -ENOTCONN;
        linkDown(*i, reason->u16(), false, true, cmd == NL80211_CMD_DISASSOCIATE ? 0xA0 : 0xC0);
        return 0;
    }
    case NL80211_CMD_DISCONNECT: {
        const Attr *reason = a.get(NL80211_ATTR_REASON_CODE);
        if (reason && (reason->len != 2 || reason->u16() == 0)) return -EINVAL;
        if (i->link == Link::Idle) return -ENOTCONN;
        linkDown(*i, reason ? reason->u16() : 3, false, true, 0xC0);
        return 0;
    }
    default:
        return -EOPNOTSUPP;
    }
}

// ---- keys and the station ----

int Sim::cmdKey(const Request &r, uint8_t cmd, std::vector<Builder> &out, uint32_t port) {
    int err;
    Iface *i = ifaceOf(r.attrs, err);
    if (!i) return err;
    if (links_.isUp && !links_.isUp(i->name)) return -ENETDOWN;
    // Key fields come at the top level or nested in NL80211_ATTR_KEY.
    Attrs nest;
    const Attr *data = r.attrs.get(NL80211_ATTR_KEY_DATA);
    const Attr *cipher = r.attrs.get(NL80211_ATTR_KEY_CIPHER);
    const Attr *idx = r.attrs.get(NL80211_ATTR_KEY_IDX);
    const Attr *seq = r.attrs.get(NL80211_ATTR_KEY_SEQ);
    if (const Attr *k = r.attrs.get(NL80211_ATTR_KEY)) {
        if (!nest.parse(k->data, k->len)) return -EINVAL;
        data = nest.get(NL80211_KEY_DATA);
        cipher = nest.get(NL80211_KEY_CIPHER);
        idx = nest.get(NL80211_KEY_IDX);
        seq = nest.get(NL80211_KEY_SEQ);
    }
    const Attr *mac = r.attrs.get(NL80211_ATTR_MAC);
    if ((mac && mac->len != 6) || (idx && idx->len != 1) || (cipher && cipher->len != 4)) return -EINVAL;
    int index = idx ? idx->u8() : 0;
    if (index > 5) return -EINVAL;
    bool pairwise = mac != nullptr;
    if (const Attr *t = r.attrs.get(NL80211_ATTR_KEY_TYPE)) {
        if (t->len != 4 || t->u32() > NL80211_KEYTYPE_PEERKEY) return -EINVAL;
        pairwise = t->u32() == NL80211_KEYTYPE_PAIRWISE;
    }
    auto find = [&]() -> Key * {
        for (auto &k : i->keys)
            if (k.idx == index && k.pairwise == pairwise &&
                (!pairwise || (mac && std::memcmp(k.mac, mac->data, 6) == 0)))
                return &k;
        return nullptr;
    };
    bool connected = i->link == Link::Associated;
    switch (cmd) {
    case NL80211_CMD_NEW_KEY: {
        if (!data || !cipher) return -EINVAL;
        if (!contains(radios[i->radio].ciphers, cipher->u32())) return -EINVAL;
        if (data->len != keyLength(cipher->u32())) return -EINVAL;
        if (seq && seq->len > 6) return -EINVAL;
        if (pairwise && !mac) return -EINVAL;
        // Static WEP keys are set before there is a link; every other key needs one.
        if (!connected && !(isWep(cipher->u32()) && !mac)) return -ENOLINK;
        if (pairwise && std::memcmp(mac->data, i->bssid, 6) != 0) return -ENOENT;
        Key k;
        k.cipher = cipher->u32();
        k.data.assign(data->data, data->data + data->len);
        if (seq) k.seq.assign(seq->data, seq->data + seq->len);
        k.idx = index;
        k.pairwise = pairwise;
        if (mac) std::memcpy(k.mac, mac->data, 6);
        if (Key *old = find())
            *old = k;
        else
            i->keys.push_back(k);
        return 0;
    }
    case NL80211_CMD_DEL_KEY: {
        Key *k = find();
        if (!k) return -ENOENT;
        i->keys.erase(i->keys.begin() + (k - i->keys.data()));
        return 0;
    }
    case NL80211_CMD_SET_KEY: {
        if (!idx) return -EINVAL;
        bool any = false;
        for (auto &k : i->keys)
            if (k.idx == index) any = true;
        return any ? 0 : -ENOENT;
    }
    case NL80211_CMD_GET_KEY: {
        Key *k = find();
        if (!k) return -ENOENT;
        Builder b = msg(NL80211_CMD_NEW_KEY, &r, port);
        b.u32(NL80211_ATTR_IFINDEX, i->ifindex);
        b.u8(NL80211_ATTR_KEY_IDX, static_cast<uint8_t>(index));
        if (mac) b.put(NL80211_ATTR_MAC, mac->data, 6);
        uint8_t s[6] = {};
        std::memcpy(s, k->seq.data(), std::min<size_t>(6, k->seq.size()));
        b.put(NL80211_ATTR_KEY_SEQ, s, 6);
        b.u32(NL80211_ATTR_KEY_CIPHER, k->cipher);
        size_t n = b.nest(NL80211_ATTR_KEY);
        b.u8(NL80211_KEY_IDX, static_cast<uint8_t>(index));
        b.put(NL80211_KEY_SEQ, s, 6);
        b.u32(NL80211_KEY_CIPHER, k->cipher);
        b.end(n);
        out.push_back(std::move(b));
        return 0;
    }
    default:
        return -EOPNOTSUPP;
    }
}

int Sim::cmdStation(const Request &r, uint32_t port, uint8_t cmd, std::vector<Builder> &out, bool dump) {
    int err;
    Iface *i = ifaceOf(r.attrs, err);
    if (!i) return err;
    const Attr *mac = r.attrs.get(NL80211_ATTR_MAC);
    bool up = i->link == Link::Associated;
    auto station = [&](uint16_t flags) {
        Builder b = msg(NL80211_CMD_NEW_STATION, &r, port, flags);
        b.u32(NL80211_ATTR_IFINDEX, i->ifindex);
        b.put(NL80211_ATTR_MAC, i->bssid, 6);
        b.u32(NL80211_ATTR_GENERATION, radios[i->radio].generation);
        Ap *ap = apByBssid(i->bssid);
        int8_t dbm = static_cast<int8_t>((ap ? ap->signal : -9000) / 100);
        uint64_t now = links_.nowMs();
        size_t n = b.nest(NL80211_ATTR_STA_INFO);
        b.u32(NL80211_STA_INFO_INACTIVE_TIME, 10);
        b.u32(NL80211_STA_INFO_RX_BYTES, static_cast<uint32_t>(i->rxBytes));
        b.u32(NL80211_STA_INFO_TX_BYTES, static_cast<uint32_t>(i->txBytes));
        b.u64(NL80211_STA_INFO_RX_BYTES64, i->rxBytes);
        b.u64(NL80211_STA_INFO_TX_BYTES64, i->txBytes);
        b.u32(NL80211_STA_INFO_RX_PACKETS, static_cast<uint32_t>(i->rxPackets));
        b.u32(NL80211_STA_INFO_TX_PACKETS, static_cast<uint32_t>(i->txPackets));
        b.u8(NL80211_STA_INFO_SIGNAL, static_cast<uint8_t>(dbm));
        b.u8(NL80211_STA_INFO_SIGNAL_AVG, static_cast<uint8_t>(dbm));
        b.u8(NL80211_STA_INFO_BEACON_SIGNAL_AVG, static_cast<uint8_t>(dbm));
        size_t tx = b.nest(NL80211_STA_INFO_TX_BITRATE);
        b.u16(NL80211_RATE_INFO_BITRATE, 540);
        b.u32(NL80211_RATE_INFO_BITRATE32, 540);
        b.end(tx);
        size_t rx = b.nest(NL80211_STA_INFO_RX_BITRATE);
        b.u16(NL80211_RATE_INFO_BITRATE, 540);
        b.u32(NL80211_RATE_INFO_BITRATE32, 540);
        b.end(rx);
        b.u32(NL80211_STA_INFO_CONNECTED_TIME, static_cast<uint32_t>((now - i->connectedMs) / 1000));
        nl80211_sta_flag_update f{};
        f.mask = 1u << NL80211_STA_FLAG_AUTHORIZED;
        f.set = i->authorized ? f.mask : 0;
        b.put(NL80211_STA_INFO_STA_FLAGS, &f, sizeof f);
        b.end(n);
        return b;
    };
    if (cmd == NL80211_CMD_GET_STATION) {
        if (dump) {
            if (up) out.push_back(station(NLM_F_MULTI));
            return 0;
        }
        if (!mac || mac->len != 6) return -EINVAL;
        if (!up || std::memcmp(mac->data, i->bssid, 6) != 0) return -ENOENT;
        out.push_back(station(0));
        return 0;
    }
    // SET_STATION: a station interface may only open or close the port of its AP.
    if (!mac || mac->len != 6) return -EINVAL;
    const Attr *f = r.attrs.get(NL80211_ATTR_STA_FLAGS2);
    if (!f || f->len != sizeof(nl80211_sta_flag_update)) return -EINVAL;
    nl80211_sta_flag_update upd;
    std::memcpy(&upd, f->data, sizeof upd);
    if (upd.mask != (1u << NL80211_STA_FLAG_AUTHORIZED) || (upd.set & ~upd.mask)) return -EINVAL;
    if (!up || std::memcmp(mac->data, i->bssid, 6) != 0) return -ENOENT;
    i->authorized = upd.set != 0;
    return 0;
}

// ---- management frames ----

namespace {
bool prefixOverlap(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
    size_t n = std::min(a.size(), b.size());
    return std::memcmp(a.data(), b.data(), n) == 0;
}
} // namespace

int Sim::cmdFrame(const Request &r, uint32_t port, uint8_t cmd, std::vector<Builder> &out) {
    int err;
    Iface *i = ifaceOf(r.attrs, err);
    if (!i) return err;
    if (cmd == NL80211_CMD_REGISTER_FRAME) {
        uint16_t type = 0xD0;
        if (const Attr *t = r.attrs.get(NL80211_ATTR_FRAME_TYPE)) {
            if (t->len != 2) return -EINVAL;
            type = t->u16();
        }
        const Attr *m = r.attrs.get(NL80211_ATTR_FRAME_MATCH);
        if (!m || m->len > 255) return -EINVAL;
        if ((type & 0x0C) != 0 || (type & 0xFF03) != 0) return -EINVAL; // management subtypes only
        Registration reg;
        reg.port = port;
        reg.frameType = type;
        reg.match.assign(m->data, m->data + m->len);
        reg.iftype = i->type;
        uint64_t ident = links_.identity ? links_.identity(port) : 0;
        auto k = known_.find(port);
        uint32_t idx = i->ifindex;
        if (k != known_.end() && k->second != ident) forget(port, k->second); // a new socket on an old port
        auto overlaps = [&]() {
            for (const auto &x : i->regs)
                if (x.frameType == type && x.iftype == i->type && prefixOverlap(x.match, reg.match))
                    return true;
            return false;
        };
        // The kernel drops a socket's registrations when the socket closes; a client that
        // closed one and registers again at once must not meet its own ghost.
        i = byIndex(idx);
        if (i && overlaps()) {
            reapSockets();
            i = byIndex(idx); // forgetting a socket may have taken interfaces away
        }
        if (!i) return -ENODEV;
        if (overlaps()) return -EALREADY;
        reg.ident = ident;
        known_[port] = ident;
        i->regs.push_back(reg);
        return 0;
    }
    // FRAME
    if (links_.isUp && !links_.isUp(i->name)) return -ENETDOWN;
    const Attr *fr = r.attrs.get(NL80211_ATTR_FRAME);
    if (!fr || fr->len < 24 || fr->len > 2304) return -EINVAL;
    const Attr *freq = r.attrs.get(NL80211_ATTR_WIPHY_FREQ);
    if (freq && (freq->len != 4 || !channel(radios[i->radio], freq->u32()))) return -EINVAL;
    uint32_t f = freq ? freq->u32() : i->freq;
    airFrameSent(*i, fr->data, fr->len, f);
    Ap *ap = apByBssid(fr->data + 4);
    bool acked = ap && !ap->silent && ap->freq == f;
    if (r.attrs.has(NL80211_ATTR_DONT_WAIT_FOR_ACK)) return 0;
    uint64_t cookie = cookie_++;
    Builder b = msg(NL80211_CMD_FRAME, &r, port);
    b.u64(NL80211_ATTR_COOKIE, cookie);
    out.push_back(std::move(b));
    Builder e = msg(NL80211_CMD_FRAME_TX_STATUS, nullptr, 0);
    putIfaceIds(e, *i);
    e.put(NL80211_ATTR_FRAME, fr->data, fr->len);
    e.u64(NL80211_ATTR_COOKIE, cookie);
    if (acked) e.flag(NL80211_ATTR_ACK);
    after_.emplace_back(groupIds[GroupMlme], e.bytes());
    return 0;
}

void Sim::deliverFrame(Iface &i, const std::vector<uint8_t> &frame, uint32_t freq, int32_t signalDbm) {
    if (frame.size() < 24) return;
    uint16_t type = frame[0] & 0xFC;
    std::vector<uint8_t> body(frame.begin() + 24, frame.end());
    for (const auto &reg : i.regs) {
        if (reg.iftype != i.type || reg.frameType != type) continue;
        if (body.size() < reg.match.size() || !std::equal(reg.match.begin(), reg.match.end(), body.begin()))
            continue;
        Builder e = msg(NL80211_CMD_FRAME, nullptr, 0);
        putIfaceIds(e, i);
        e.u32(NL80211_ATTR_WIPHY_FREQ, freq);
        e.s32(NL80211_ATTR_RX_SIGNAL_DBM, signalDbm);
        e.put(NL80211_ATTR_FRAME, frame.data(), frame.size());
        eventTo(reg.port, e);
        return; // the first matching registration takes it
    }
}

// A frame heard on a radio also reaches its monitor interfaces, behind a radiotap
// header: flags, rate, antenna signal and RX flags (an RX frame, no FCS).
void Sim::toMonitors(const Iface &i, const std::vector<uint8_t> &frame, int32_t signalDbm) {
    if (!writeFrame) return;
    for (const auto &m : ifaces) {
        if (m.radio != i.radio || m.type != NL80211_IFTYPE_MONITOR || m.tapFd < 0) continue;
        std::vector<uint8_t> out = {0, 0, 14, 0, 0x26, 0x40, 0, 0, 0, 12, static_cast<uint8_t>(signalDbm),
                                    0, 0, 0};
        out.insert(out.end(), frame.begin(), frame.end());
        writeFrame(m.tapFd, out.data(), out.size());
    }
}

// A frame sent on a monitor interface (radiotap, then 802.11) goes into the air; its
// transmit report comes back on the monitor: radiotap with TX flags and no RX flags,
// failed (0x0001) when no AP of that address hears it.
void Sim::fromMonitor(Iface &mon, const uint8_t *p, size_t len) {
    if (len < 8 || p[0] != 0) return;
    size_t rt = static_cast<size_t>(p[2] | p[3] << 8);
    if (rt < 8 || rt > len || len - rt < 10) return;
    const uint8_t *f = p + rt;
    size_t n = len - rt;
    Ap *ap = n >= 10 ? apByBssid(f + 4) : nullptr;
    bool acked = ap && !ap->silent;
    if (links_.trace) links_.trace("monitor " + mon.name + " sent " + std::to_string(n) + " bytes");
    if (!writeFrame || mon.tapFd < 0) return;
    std::vector<uint8_t> out = {0, 0, 12, 0, 0x02, 0x80, 0, 0, 0, 0, static_cast<uint8_t>(acked ? 0 : 1), 0};
    out.insert(out.end(), f, f + n);
    writeFrame(mon.tapFd, out.data(), out.size());
}

// ---- sockets that went away ----

void Sim::forget(uint32_t port, uint64_t ident) {
    for (auto &i : ifaces) {
        i.regs.erase(
            std::remove_if(i.regs.begin(), i.regs.end(),
                           [&](const Registration &g) { return g.port == port && g.ident == ident; }),
            i.regs.end());
        if (i.scanning && i.scanPort == port && i.scanIdent == ident) finishScan(i, true);
        if (i.scan.sched.port == port && i.scan.sched.ident == ident) schedStop(i, true);
    }
    for (size_t k = ifaces.size(); k-- > 0;) {
        Iface &i = ifaces[k];
        if (i.ownerPort != port || i.ownerIdent != ident) continue;
        Builder e = msg(NL80211_CMD_DEL_INTERFACE, nullptr, 0);
        putIface(e, i);
        if (i.tapFd >= 0 && links_.destroy) links_.destroy(i.tapFd);
        ifaces.erase(ifaces.begin() + static_cast<long>(k));
        event(GroupConfig, e);
    }
    known_.erase(port);
    if (links_.trace) links_.trace("socket " + std::to_string(port) + " closed: its registrations are gone");
}

void Sim::reapSockets() {
    if (known_.empty() || !links_.liveSockets) return;
    auto live = links_.liveSockets();
    std::vector<std::pair<uint32_t, uint64_t>> gone;
    for (const auto &[port, ident] : known_) {
        auto it = live.find(port);
        if (it == live.end() || it->second != ident) gone.emplace_back(port, ident);
    }
    for (const auto &[port, ident] : gone)
        forget(port, ident);
}

uint64_t Sim::tick() {
    uint64_t now = links_.nowMs();
    uint64_t next = 0;
    auto want = [&](uint64_t t) {
        if (t && (next == 0 || t < next)) next = t;
    };
    if (now >= nextReap_) {
        reapSockets();
        nextReap_ = now + ReapMs;
    }
    want(nextReap_);
    for (size_t k = 0; k < ifaces.size(); k++) {
        Iface &i = ifaces[k];
        if (i.scanning && now >= i.scanDue) finishScan(i, false);
        if (i.scanning) want(i.scanDue);
        if ((i.link == Link::Authenticating || i.link == Link::Associating) && now >= i.due) stepLink(i);
        if (i.link == Link::Authenticating || i.link == Link::Associating) want(i.due);
        if (i.link == Link::Associated) {
            Ap *ap = apByBssid(i.bssid);
            if (ap && !ap->silent && ap->freq == i.freq) {
                i.lostSince = 0;
            } else if (i.lostSince == 0) {
                i.lostSince = now;
            } else if (now >= i.lostSince + LostMs) {
                // No beacon for too long: the kernel deauthenticates locally (inactivity).
                i.air.lost = true;
                linkDown(i, 4, false, true, 0xC0);
            }
            if (i.lostSince) want(i.lostSince + LostMs);
        }
        tickScan(i, now, next);
    }
    return next;
}

// ---- data over the TAPs ----

void Sim::fromIface(int fd, const uint8_t *p, size_t len) {
    for (auto &i : ifaces) {
        if (i.tapFd != fd) continue;
        if (i.type == NL80211_IFTYPE_MONITOR) {
            fromMonitor(i, p, len);
            return;
        }
        if (i.link != Link::Associated) return;
        Ap *ap = apByBssid(i.bssid);
        if (!ap || ap->silent || ap->tapFd < 0 || !airPasses(i, *ap, p, len, false)) return;
        i.txBytes += len;
        i.txPackets++;
        if (writeFrame) writeFrame(ap->tapFd, p, len);
        return;
    }
}

void Sim::fromAp(int fd, const uint8_t *p, size_t len) {
    Ap *ap = nullptr;
    for (auto &a : aps)
        if (a.tapFd == fd) ap = &a;
    if (!ap || ap->silent) return;
    for (auto &i : ifaces) {
        if (i.link != Link::Associated || std::memcmp(i.bssid, ap->bssid, 6) != 0 || i.tapFd < 0) continue;
        if (!airPasses(i, *ap, p, len, true)) continue;
        i.rxBytes += len;
        i.rxPackets++;
        if (writeFrame) writeFrame(i.tapFd, p, len);
    }
}

// ---- control lines ----

namespace {

enum Kind { KU8, KU16, KU32, KU64, KMac, KHex, KFlag, KStr };
struct AttrName {
    const char *name;
    uint16_t id;
    Kind kind;
};
#define A(x, k)                                                                                              \
    { #x, NL80211_ATTR_##x, k }
const AttrName attrNames[] = {
    A(WIPHY, KU32),
    A(IFINDEX, KU32),
    A(WDEV, KU64),
    A(MAC, KMac),
    A(FRAME, KHex),
    A(REASON_CODE, KU16),
    A(STATUS_CODE, KU16),
    A(TIMED_OUT, KFlag),
    A(WIPHY_FREQ, KU32),
    A(REG_INITIATOR, KU8),
    A(REG_TYPE, KU8),
    A(REG_ALPHA2, KStr),
    A(COOKIE, KU64),
    A(ACK, KFlag),
    A(DISCONNECTED_BY_AP, KFlag),
    A(REQ_IE, KHex),
    A(RESP_IE, KHex),
    A(IE, KHex),
    A(KEY_TYPE, KU32),
    A(KEY_IDX, KU8),
    A(KEY_SEQ, KHex),
    A(DURATION, KU32),
    A(CQM, KHex),
    A(CHANNEL_WIDTH, KU32),
    A(CENTER_FREQ1, KU32),
    A(CENTER_FREQ2, KU32),
    A(WIPHY_CHANNEL_TYPE, KU32),
    A(RADAR_EVENT, KU32),
    A(SSID, KStr),
    A(RX_SIGNAL_DBM, KU32),
    A(STA_WME, KHex),
    A(REKEY_DATA, KHex),
    A(PMKSA_CANDIDATE, KHex),
    A(TDLS_OPERATION, KU8),
    A(CONN_FAILED_REASON, KU32),
    A(IE_RIC, KHex),
    A(SCAN_SSIDS, KHex),
    A(SCAN_FREQUENCIES, KHex),
    A(IFTYPE, KU32),
    A(IFNAME, KStr),
};
#undef A

bool putValue(Builder &b, uint16_t id, Kind kind, const std::string &v) {
    long long n = 0;
    std::vector<uint8_t> bytes;
    uint8_t mac[6];
    switch (kind) {
    case KU8:
        if (!number(v, -128, 255, n)) return false;
        b.u8(id, static_cast<uint8_t>(n));
        return true;
    case KU16:
        if (!number(v, 0, 0xffff, n)) return false;
        b.u16(id, static_cast<uint16_t>(n));
        return true;
    case KU32:
        if (!number(v, -2147483648LL, 0xffffffffLL, n)) return false;
        b.u32(id, static_cast<uint32_t>(n));
        return true;
    case KU64:
        if (!number(v, 0, 0x7fffffffffffffffLL, n)) return false;
        b.u64(id, static_cast<uint64_t>(n));
        return true;
    case KMac:
        if (!parseMac(v, mac)) return false;
        b.put(id, mac, 6);
        return true;
    case KHex:
        if (!parseHex(v, bytes)) return false;
        b.put(id, bytes.data(), bytes.size());
        return true;
    case KFlag:
        b.flag(id);
        return true;
    case KStr:
        b.str(id, v);
        return true;
    }
    return false;
}

} // namespace

std::string Sim::apCommand(const std::vector<std::string> &w, std::string &out) {
    (void)out;
    if (w.size() < 3) return "usage: ap add|set|del|deauth|disassoc|frame|key|michael NAME ...";
    const std::string &op = w[1];
    const std::string &name = w[2];
    if (name.empty() || name.size() > 32) return "bad AP name";
    if (op == "key" || op == "michael") {
        Ap *ap = apByName(name);
        return ap ? airApCommand(w, *ap) : "no AP " + name;
    }
    static const char *const keys[] = {"bssid", "ssid",        "freq",         "signal", "ies",
                                       "presp", "auth-status", "assoc-status", "silent", "netns",
                                       "tap",   "reason",      "hidden",       "capa"};
    for (size_t k = 3; k < w.size(); k++) {
        size_t eq = w[k].find('=');
        if (op == "frame" && k == 3) break;
        if (eq == std::string::npos) return "expected KEY=VALUE: " + w[k];
        bool ok = false;
        for (const char *key : keys)
            if (w[k].compare(0, eq, key) == 0 && std::strlen(key) == eq) ok = true;
        if (!ok) return "unknown key " + w[k].substr(0, eq);
    }
    if (op == "add" || op == "set") {
        Ap *ap = apByName(name);
        Ap fresh;
        if (op == "add") {
            if (ap) return "AP " + name + " exists";
            if (aps.size() >= 64) return "too many APs";
            fresh.name = name;
            fresh.bornMs = links_.nowMs();
            ap = &fresh;
        } else if (!ap) {
            return "no AP " + name;
        }
        Ap next = *ap;
        bool f;
        std::string v = option(w, 3, "bssid", f);
        if (f && !parseMac(v, next.bssid)) return "bad bssid";
        if (op == "add" && !f) return "bssid= is required";
        v = option(w, 3, "ssid", f);
        if (f) {
            if (v.size() > 32) return "SSID longer than 32 bytes";
            next.ssid = v;
        } else if (op == "add") {
            return "ssid= is required";
        }
        long long n;
        v = option(w, 3, "freq", f);
        if (f) {
            if (!number(v, 2400, 6000, n) || !freqChan(static_cast<uint32_t>(n))) return "bad freq";
            next.freq = static_cast<uint32_t>(n);
        } else if (op == "add") {
            return "freq= is required";
        }
        v = option(w, 3, "signal", f);
        if (f) {
            if (!number(v, -10000, 0, n)) return "bad signal (mBm)";
            next.signal = static_cast<int32_t>(n);
        }
        v = option(w, 3, "ies", f);
        if (f && (!parseHex(v, next.ies) || next.ies.size() > 2200)) return "bad ies";
        v = option(w, 3, "presp", f);
        if (f) {
            if (!parseHex(v, next.presp) || next.presp.size() > 2200) return "bad presp";
            next.hasPresp = true;
        }
        v = option(w, 3, "auth-status", f);
        if (f) {
            std::string why = airAuthStatus(v, next);
            if (!why.empty()) return why;
        }
        v = option(w, 3, "assoc-status", f);
        if (f) {
            if (!number(v, 0, 0xffff, n)) return "bad assoc-status";
            next.assocStatus = static_cast<uint16_t>(n);
        }
        v = option(w, 3, "silent", f);
        if (f) {
            if (v != "0" && v != "1") return "silent=0|1";
            next.silent = v == "1";
        }
        v = option(w, 3, "capa", f);
        if (f) {
            if (v == "auto")
                next.capability = -1;
            else if (!number(v, 0, 0xffff, n))
                return "capa=auto|NUMBER";
            else
                next.capability = static_cast<int32_t>(n);
        }
        v = option(w, 3, "hidden", f);
        if (f) {
            if (v != "0" && v != "1" && v != "2") return "hidden=0|1|2";
            next.hidden = static_cast<uint8_t>(v[0] - '0');
        }
        std::string netns = option(w, 3, "netns", f);
        bool hasNetns = f;
        std::string tap = option(w, 3, "tap", f);
        bool hasTap = f;
        if (op == "set" && (hasNetns || hasTap)) return "netns= and tap= are given with ap add";
        if (hasTap != hasNetns) return "tap= and netns= go together";
        for (auto &other : aps)
            if (&other != ap && std::memcmp(other.bssid, next.bssid, 6) == 0) return "BSSID in use";
        if (hasTap) {
            if (tap.empty() || tap.size() > 15 || netns.empty() || netns.size() > 64 ||
                netns.find('/') != std::string::npos)
                return "bad tap= or netns=";
            next.tap = tap;
            next.netns = netns;
            int fd = links_.apTap ? links_.apTap(next) : -EOPNOTSUPP;
            if (fd < 0) return "cannot create " + tap + " in " + netns + ": " + std::strerror(-fd);
            next.tapFd = fd;
        }
        *ap = next;
        if (op == "add") aps.push_back(fresh);
        return "";
    }
    Ap *ap = apByName(name);
    if (!ap) return "no AP " + name;
    if (op == "del") {
        if (ap->tapFd >= 0 && links_.destroy) links_.destroy(ap->tapFd);
        aps.erase(aps.begin() + (ap - aps.data()));
        return "";
    }
    if (op == "deauth" || op == "disassoc") {
        bool f;
        long long reason = op == "deauth" ? 3 : 8;
        std::string v = option(w, 3, "reason", f);
        if (f && !number(v, 1, 0xffff, reason)) return "bad reason";
        bool sent = false;
        for (auto &i : ifaces)
            if (i.link != Link::Idle && std::memcmp(i.bssid, ap->bssid, 6) == 0) {
                linkDown(i, static_cast<uint16_t>(reason), true, true, op == "deauth" ? 0xC0 : 0xA0);
                sent = true;
            }
        return sent ? "" : "no station of " + name + " is joined";
    }
    if (op == "frame") {
        if (w.size() != 4) return "usage: ap frame NAME HEX";
        std::vector<uint8_t> f;
        if (!parseHex(w[3], f) || f.size() < 24 || f.size() > 2304) return "frame: 24 to 2304 bytes of hex";
        if ((f[0] & 0x0C) != 0) return "frame: management frames only";
        bool heard = false;
        for (auto &i : ifaces) {
            if (i.type == NL80211_IFTYPE_MONITOR) continue;
            bool toUs = std::memcmp(&f[4], i.mac, 6) == 0 || (f[4] & 1);
            if (!toUs) continue;
            uint8_t sub = f[0] & 0xFC;
            if ((sub == 0xC0 || sub == 0xA0) && i.link != Link::Idle &&
                std::memcmp(i.bssid, &f[16], 6) == 0 && f.size() >= 26) {
                mlmeEvent(i, sub == 0xA0 ? NL80211_CMD_DISASSOCIATE : NL80211_CMD_DEAUTHENTICATE, f);
                linkDown(i, static_cast<uint16_t>(f[24] | f[25] << 8), true, false, sub);
            } else {
                deliverFrame(i, f, ap->freq, ap->signal / 100);
            }
            toMonitors(i, f, ap->signal / 100);
            heard = true;
        }
        return heard ? "" : "no interface hears that address";
    }
    return "unknown ap operation " + op;
}

std::string Sim::eventCommand(const std::vector<std::string> &w, bool raw) {
    if (w.size() < 3) return raw ? "usage: raw GROUP HEX" : "usage: event GROUP CMD [ATTR=VALUE...]";
    int group = -1;
    for (int g = 0; g < GroupCount; g++)
        if (w[1] == groupNames[g]) group = g;
    if (group < 0) return "unknown group " + w[1];
    if (raw) {
        // The generic header and attributes as given, behind a netlink header of ours.
        std::vector<uint8_t> body;
        if (w.size() != 3 || !parseHex(w[2], body) || body.size() > 4096) return "bad hex";
        Builder b(familyId, 0, 0, 0);
        b.raw(body.data(), body.size());
        event(static_cast<Group>(group), b);
        return "";
    }
    int cmd = commandByName(w[2]);
    if (cmd < 0) return "unknown command " + w[2];
    Builder b = msg(static_cast<uint8_t>(cmd), nullptr, 0);
    bool bare = false, own = false;
    for (size_t k = 3; k < w.size(); k++) {
        if (w[k] == "bare") bare = true;
        if (w[k].rfind("WIPHY=", 0) == 0 || w[k].rfind("IFINDEX=", 0) == 0 || w[k].rfind("WDEV=", 0) == 0)
            own = true;
    }
    if (!bare && !own && !ifaces.empty()) {
        putIfaceIds(b, ifaces[0]);
    }
    for (size_t k = 3; k < w.size(); k++) {
        if (w[k] == "bare") continue;
        size_t eq = w[k].find('=');
        std::string key = w[k].substr(0, eq);
        std::string value = eq == std::string::npos ? "" : w[k].substr(eq + 1);
        const AttrName *an = nullptr;
        for (const auto &x : attrNames)
            if (key == x.name) an = &x;
        if (an) {
            if ((eq == std::string::npos && an->kind != KFlag) || !putValue(b, an->id, an->kind, value))
                return "bad value for " + key;
            continue;
        }
        // "@NUMBER=HEX": any attribute as raw bytes.
        long long id;
        if (key.size() > 1 && key[0] == '@' && number(key.substr(1), 1, 0x3fff, id)) {
            if (!putValue(b, static_cast<uint16_t>(id), KHex, value)) return "bad hex for " + key;
            continue;
        }
        return "unknown attribute " + key;
    }
    if (b.size() > 8192) return "event too long";
    event(static_cast<Group>(group), b);
    return "";
}

std::string Sim::state() {
    std::string s = "port " + std::to_string(port) + "\ncountry " + country + "\n";
    char line[256];
    for (auto &r : radios) {
        std::snprintf(line, sizeof line,
                      "radio %s index=%u split=%d scan-events=%d scan-ms=%llu generation=%u\n",
                      r.name.c_str(), r.index, r.split, r.scanEvents,
                      static_cast<unsigned long long>(r.scanMs), r.generation);
        s += line;
    }
    static const char *const linkNames[] = {"idle", "authenticating", "authenticated", "associating",
                                            "associated"};
    for (auto &i : ifaces) {
        std::snprintf(line, sizeof line,
                      "iface %s ifindex=%u type=%u mac=%s link=%s bssid=%s freq=%u authorized=%d scanning=%d "
                      "registrations=%zu keys=%zu bss=%zu\n",
                      i.name.c_str(), i.ifindex, i.type, macText(i.mac).c_str(),
                      linkNames[static_cast<int>(i.link)], macText(i.bssid).c_str(), i.freq, i.authorized,
                      i.scanning, i.regs.size(), i.keys.size(), i.bss.size());
        s += line;
        for (auto &g : i.regs)
            s += "registration " + i.name + " port=" + std::to_string(g.port) +
                 " type=" + std::to_string(g.frameType) +
                 " match=" + hexText(g.match.data(), g.match.size()) + "\n";
    }
    for (auto &a : aps) {
        std::snprintf(line, sizeof line, "ap %s bssid=%s freq=%u signal=%d silent=%d tap=%s\n",
                      a.name.c_str(), macText(a.bssid).c_str(), a.freq, a.signal, a.silent, a.tap.c_str());
        s += line;
    }
    return s;
}

std::string Sim::control(const std::string &line) {
    if (line.size() > 16384) return "ERR line too long\n";
    auto w = controlWords(line);
    if (w.empty()) return "ERR empty command\n";
    std::string out, err;
    const std::string &c = w[0];
    if (c == "ap") {
        err = apCommand(w, out);
    } else if (c == "errno") {
        long long e, n = 1;
        int cmd = w.size() >= 3 ? commandByName(w[1]) : -1;
        if (w.size() < 3 || w.size() > 4 || cmd < 0 || !number(w[2], 0, 4095, e) ||
            (w.size() == 4 && !number(w[3], 1, 1000000, n)))
            err = "usage: errno CMD ERRNO [N]";
        else if (e == 0)
            injected_.erase(static_cast<uint32_t>(cmd));
        else
            injected_[static_cast<uint32_t>(cmd)] = {static_cast<int>(e), static_cast<int>(n)};
    } else if (c == "event") {
        err = eventCommand(w, false);
    } else if (c == "raw") {
        err = eventCommand(w, true);
    } else if (c == "set") {
        Radio *rad = nullptr;
        for (auto &r : radios)
            if (w.size() >= 2 && r.name == w[1]) rad = &r;
        if (!rad || w.size() < 3) {
            err = "usage: set PHY scan-events=0|1 scan-ms=N bss-expire-ms=N noise=DBM";
        } else {
            for (size_t k = 2; k < w.size() && err.empty(); k++) {
                long long ms;
                if (w[k] == "scan-events=0" || w[k] == "scan-events=1")
                    rad->scanEvents = w[k].back() == '1';
                else if (w[k].rfind("scan-ms=", 0) == 0 && number(w[k].substr(8), 1, 600000, ms))
                    rad->scanMs = static_cast<uint64_t>(ms);
                else if (w[k].rfind("bss-expire-ms=", 0) == 0 && number(w[k].substr(14), 1, 3600000, ms))
                    rad->bssExpireMs = static_cast<uint64_t>(ms);
                else if (!scanSetting(*rad, w[k]))
                    err = "unknown setting " + w[k];
            }
        }
    } else if (c == "news" || c == "keys") {
        err = airControl(w, out);
    } else if (c == "state") {
        out = state();
    } else if (scanControl(w, out, err)) {
    } else if (c == "help") {
        out = "ap add NAME bssid= ssid= freq= [signal= ies= presp= auth-status= assoc-status= silent= "
              "hidden= capa= netns= "
              "tap=]\n"
              "ap set NAME KEY=VALUE...\nap del NAME\nap deauth|disassoc NAME [reason=]\nap frame NAME HEX\n"
              "ap key NAME pairwise CIPHER HEX | group CIPHER INDEX HEX | clear\nap michael NAME [group] "
              "[index=N]\n"
              "news [since=N|clear]\nkeys [since=N|clear]\n"
              "errno CMD ERRNO [N]\nevent GROUP CMD [ATTR=VALUE...] [bare]\nraw GROUP HEX\n"
              "set PHY scan-events=0|1 scan-ms=N bss-expire-ms=N noise=DBM\nscans [clear]\nstate\n";
    } else {
        err = "unknown command (try help)";
    }
    for (auto &m : after_)
        if (links_.multicast) links_.multicast(m.first, m.second);
    after_.clear();
    return out + (err.empty() ? "OK\n" : "ERR " + err + "\n");
}

} // namespace nlsim
