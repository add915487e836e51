#include "sim/nlsim/air.h"

#include "sim/nlsim/sim.h"
#include "sim/nlsim/util.h"

#include <cstdio>
#include <cstring>
#include <linux/nl80211.h>

namespace nlsim {

namespace {

constexpr size_t LogLines = 2000; // older lines fall out of a log
constexpr uint32_t Tkip = 0x000fac02;

// The data ciphers an AP's authenticator may hand us, and their key lengths.
struct CipherName {
    const char *name;
    uint32_t suite;
    size_t len;
};
const CipherName ciphers[] = {
    {"tkip", 0x000fac02, 32},     {"ccmp", 0x000fac04, 16},     {"gcmp", 0x000fac08, 16},
    {"gcmp-256", 0x000fac09, 32}, {"ccmp-256", 0x000fac0a, 32},
};

const CipherName *cipherByName(const std::string &t) {
    for (const auto &c : ciphers)
        if (t == c.name) return &c;
    long long v;
    if (t.size() == 8 && number("0x" + t, 0, 0xffffffffLL, v))
        for (const auto &c : ciphers)
            if (c.suite == static_cast<uint32_t>(v)) return &c;
    return nullptr;
}

std::string suiteText(uint32_t s) {
    char b[16];
    std::snprintf(b, sizeof b, "%08x", s);
    return b;
}

} // namespace

void AirLog::add(const std::string &line) {
    lines_.emplace_back(next_++, line);
    while (lines_.size() > LogLines)
        lines_.pop_front();
}

std::string AirLog::since(uint64_t from) const {
    std::string out;
    for (const auto &[n, line] : lines_)
        if (n >= from) out += std::to_string(n) + " " + line + "\n";
    return out;
}

std::string keyHash(const uint8_t *p, size_t n) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (size_t k = 0; k < n; k++) {
        h ^= p[k];
        h *= 0x100000001b3ULL;
    }
    char b[20];
    std::snprintf(b, sizeof b, "%016llx", static_cast<unsigned long long>(h));
    return b;
}

bool keysMatch(uint32_t apCipher, const std::vector<uint8_t> &ap, uint32_t staCipher,
               const std::vector<uint8_t> &sta) {
    if (apCipher != staCipher || ap.size() != sta.size() || ap.empty()) return false;
    if (apCipher != Tkip || ap.size() != 32) return ap == sta;
    return std::memcmp(ap.data(), sta.data(), 16) == 0 &&
           std::memcmp(ap.data() + 16, sta.data() + 24, 8) == 0 &&
           std::memcmp(ap.data() + 24, sta.data() + 16, 8) == 0;
}

uint16_t Sim::authStatusFor(const Ap &ap, uint16_t alg) const {
    auto it = ap.air.authStatus.find(alg);
    return it != ap.air.authStatus.end() ? it->second : ap.authStatus;
}

// "auth-status=N" answers every algorithm with N; "auth-status=ALG:N[,ALG:N...]" sets
// the answer per algorithm number (0 open, 1 shared key, 128 network EAP, ...).
std::string Sim::airAuthStatus(const std::string &v, Ap &ap) {
    long long n, alg;
    if (v.find(':') == std::string::npos) {
        if (!number(v, 0, 0xffff, n)) return "bad auth-status";
        ap.authStatus = static_cast<uint16_t>(n);
        ap.air.authStatus.clear();
        return "";
    }
    std::map<uint16_t, uint16_t> per;
    size_t at = 0;
    while (at <= v.size()) {
        size_t comma = v.find(',', at);
        std::string item = v.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        size_t colon = item.find(':');
        if (colon == std::string::npos || !number(item.substr(0, colon), 0, 0xffff, alg) ||
            !number(item.substr(colon + 1), 0, 0xffff, n) || per.size() >= 8)
            return "auth-status=N or ALG:N[,ALG:N] (at most 8)";
        per[static_cast<uint16_t>(alg)] = static_cast<uint16_t>(n);
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    ap.air.authStatus = per;
    return "";
}

void Sim::airNoteAssoc(Iface &i, const Attrs &a) {
    const Attr *prev = a.get(NL80211_ATTR_PREV_BSSID);
    i.air.reassoc = prev && prev->len == 6;
    if (i.air.reassoc) std::memcpy(i.air.current, prev->data, 6);
}

// The station may give its interface another address (a random one) while no link is
// up; what it sends from then on carries that address.
void Sim::airOwnAddr(Iface &i) {
    uint8_t mac[6];
    if (links_.hwAddr && i.type != NL80211_IFTYPE_MONITOR && links_.hwAddr(i.name, mac))
        std::memcpy(i.mac, mac, 6);
}

void Sim::airAuthHeard(Iface &i, const Ap &ap) {
    news_.add("auth ap=" + ap.name + " sta=" + macText(i.mac) + " bssid=" + macText(ap.bssid) +
              " alg=" + std::to_string(i.authAlg));
}

// A management frame the station sent (an action frame on its BSS, say): its bytes as
// the AP would hear them.
void Sim::airFrameSent(Iface &i, const uint8_t *frame, size_t len, uint32_t freq) {
    const Ap *ap = len >= 24 ? apByBssid(frame + 4) : nullptr;
    news_.add("frame ap=" + std::string(ap ? ap->name : "-") + " sta=" + macText(i.mac) +
              " freq=" + std::to_string(freq) + " frame=" + hexText(frame, len));
}

// The AP heard the station's (re)association request: the frame the kernel would have
// sent (SSID, rates, then the station's own elements) goes into the news.
void Sim::airAssocHeard(Iface &i, const Ap &ap) {
    std::vector<uint8_t> f = mgmtFrame(i.air.reassoc ? 0x20 : 0x00, ap.bssid, i.mac, ap.bssid);
    uint16_t cap = 0x0001 | 0x0400;
    for (size_t k = 0; k + 2 <= i.reqIe.size(); k += 2 + i.reqIe[k + 1])
        if (i.reqIe[k] == 48 || i.reqIe[k] == 221) cap |= 0x0010;
    f.push_back(static_cast<uint8_t>(cap));
    f.push_back(static_cast<uint8_t>(cap >> 8));
    f.push_back(10); // listen interval
    f.push_back(0);
    if (i.air.reassoc) f.insert(f.end(), i.air.current, i.air.current + 6);
    size_t body = f.size();
    f.push_back(0);
    f.push_back(static_cast<uint8_t>(i.ssid.size()));
    f.insert(f.end(), i.ssid.begin(), i.ssid.end());
    if (ap.freq < 5000) {
        const uint8_t rates[] = {1,    8,    0x82, 0x84, 0x8b, 0x96, 0x0c, 0x12,
                                 0x18, 0x24, 50,   4,    0x30, 0x48, 0x60, 0x6c};
        f.insert(f.end(), std::begin(rates), std::end(rates));
    } else {
        const uint8_t rates[] = {1, 8, 0x8c, 0x12, 0x98, 0x24, 0xb0, 0x48, 0x60, 0x6c};
        f.insert(f.end(), std::begin(rates), std::end(rates));
    }
    f.insert(f.end(), i.reqIe.begin(), i.reqIe.end());
    std::string line = std::string(i.air.reassoc ? "reassoc" : "assoc") + " ap=" + ap.name +
                       " sta=" + macText(i.mac) + " bssid=" + macText(ap.bssid);
    if (i.air.reassoc) line += " current=" + macText(i.air.current);
    line += " ies=" + hexText(f.data() + body, f.size() - body) + " frame=" + hexText(f.data(), f.size());
    news_.add(line);
}

// A link ends: the news says who ended it (the station, the AP, or the kernel for an AP
// heard no more), and the AP forgets the keys of that association.
void Sim::airLinkDown(Iface &i, uint16_t reason, bool byAp, uint8_t subtype) {
    const char *from = i.air.lost ? "local" : byAp ? "ap" : "sta";
    i.air.lost = false;
    Ap *ap = apByBssid(i.bssid);
    news_.add(std::string(subtype == 0xA0 ? "disassoc" : "deauth") + " ap=" + (ap ? ap->name : "-") +
              " sta=" + macText(i.mac) + " bssid=" + macText(i.bssid) + " from=" + from +
              " reason=" + std::to_string(reason));
    if (ap) {
        ap->air.ptk = AirKey{};
        ap->air.gtk = AirKey{};
    }
}

void Sim::airKeyTrace(const Request &r, int err) {
    const Attr *data = r.attrs.get(NL80211_ATTR_KEY_DATA);
    const Attr *cipher = r.attrs.get(NL80211_ATTR_KEY_CIPHER);
    const Attr *idx = r.attrs.get(NL80211_ATTR_KEY_IDX);
    const Attr *seq = r.attrs.get(NL80211_ATTR_KEY_SEQ);
    bool def = r.attrs.has(NL80211_ATTR_KEY_DEFAULT), defMgmt = r.attrs.has(NL80211_ATTR_KEY_DEFAULT_MGMT);
    Attrs nest;
    if (const Attr *k = r.attrs.get(NL80211_ATTR_KEY))
        if (nest.parse(k->data, k->len)) {
            data = nest.get(NL80211_KEY_DATA);
            cipher = nest.get(NL80211_KEY_CIPHER);
            idx = nest.get(NL80211_KEY_IDX);
            seq = nest.get(NL80211_KEY_SEQ);
            def = def || nest.has(NL80211_KEY_DEFAULT);
            defMgmt = defMgmt || nest.has(NL80211_KEY_DEFAULT_MGMT);
        }
    const Attr *mac = r.attrs.get(NL80211_ATTR_MAC);
    bool pairwise = mac && mac->len == 6;
    if (const Attr *t = r.attrs.get(NL80211_ATTR_KEY_TYPE))
        if (t->len == 4) pairwise = t->u32() == NL80211_KEYTYPE_PAIRWISE;
    std::string line = commandName(r.cmd);
    line += " idx=" + std::to_string(idx && idx->len == 1 ? idx->u8() : 0);
    line += std::string(" pairwise=") + (pairwise ? "1" : "0");
    if (mac && mac->len == 6) line += " mac=" + macText(mac->data);
    if (cipher && cipher->len == 4) line += " cipher=" + suiteText(cipher->u32());
    if (data) line += " len=" + std::to_string(data->len) + " hash=" + keyHash(data->data, data->len);
    if (seq) line += " seq=" + hexText(seq->data, seq->len);
    if (def) line += " default=1";
    if (defMgmt) line += " default-mgmt=1";
    line += " err=" + std::to_string(err);
    keyTrace_.add(line);
}

// Whether an Ethernet frame crosses between a station and its AP. EAPOL always does;
// anything else only through an open port and with the keys of both sides equal: the
// pairwise key for unicast frames and everything the station sends, the AP's group key
// at its index for group frames to the station. With no keys on either side (an open
// network) frames pass.
bool Sim::airPasses(const Iface &i, const Ap &ap, const uint8_t *p, size_t len, bool toStation) const {
    if (len < 14) return false;
    uint16_t type = static_cast<uint16_t>(p[12] << 8 | p[13]);
    if (type == 0x888E) return true;
    if (i.controlPort && !i.authorized) return false;
    const Key *pair = nullptr;
    for (const auto &k : i.keys)
        if (k.pairwise && std::memcmp(k.mac, ap.bssid, 6) == 0) pair = &k;
    if (toStation && (p[0] & 1)) {
        if (ap.air.gtk.cipher == 0) return ap.air.ptk.cipher == 0 && !pair;
        for (const auto &k : i.keys)
            if (!k.pairwise && k.idx == ap.air.gtk.idx)
                return keysMatch(ap.air.gtk.cipher, ap.air.gtk.data, k.cipher, k.data);
        return false;
    }
    if (ap.air.ptk.cipher == 0 && !pair) return true;
    return pair && keysMatch(ap.air.ptk.cipher, ap.air.ptk.data, pair->cipher, pair->data);
}

// ap key NAME pairwise CIPHER HEX | group CIPHER INDEX HEX | clear
// ap michael NAME [group] [index=N]
std::string Sim::airApCommand(const std::vector<std::string> &w, Ap &ap) {
    if (w[1] == "key") {
        if (w.size() == 4 && w[3] == "clear") {
            ap.air.ptk = AirKey{};
            ap.air.gtk = AirKey{};
            return "";
        }
        bool group = w.size() == 7 && w[3] == "group";
        if (!(w.size() == 6 && w[3] == "pairwise") && !group)
            return "usage: ap key NAME pairwise CIPHER HEX | group CIPHER INDEX HEX | clear";
        const CipherName *c = cipherByName(w[4]);
        if (!c) return "unknown cipher " + w[4];
        long long idx = 0;
        if (group && !number(w[5], 1, 3, idx)) return "group key index 1 to 3";
        AirKey k;
        if (!parseHex(w.back(), k.data) || k.data.size() != c->len)
            return "a " + std::string(c->name) + " key is " + std::to_string(c->len) + " bytes of hex";
        k.cipher = c->suite;
        k.idx = static_cast<int>(idx);
        (group ? ap.air.gtk : ap.air.ptk) = k;
        return "";
    }
    // A Michael MIC failure the station's radio found in a frame from this AP.
    bool group = false;
    long long idx = -1;
    for (size_t k = 3; k < w.size(); k++) {
        if (w[k] == "group") {
            group = true;
            continue;
        }
        bool f;
        std::string v = option(w, k, "index", f);
        if (!f || !number(v, 0, 3, idx)) return "usage: ap michael NAME [group] [index=N]";
    }
    if (idx < 0) idx = group ? ap.air.gtk.idx : 0;
    bool sent = false;
    for (auto &i : ifaces) {
        if (i.link != Link::Associated || std::memcmp(i.bssid, ap.bssid, 6) != 0) continue;
        Builder e = msg(NL80211_CMD_MICHAEL_MIC_FAILURE, nullptr, 0);
        putIfaceIds(e, i);
        e.put(NL80211_ATTR_MAC, ap.bssid, 6);
        e.u32(NL80211_ATTR_KEY_TYPE, group ? NL80211_KEYTYPE_GROUP : NL80211_KEYTYPE_PAIRWISE);
        e.u8(NL80211_ATTR_KEY_IDX, static_cast<uint8_t>(idx));
        event(GroupMlme, e);
        sent = true;
    }
    return sent ? "" : "no station of " + ap.name + " is associated";
}

// news [since=N|clear]: the station news; keys [since=N|clear]: the key trace.
std::string Sim::airControl(const std::vector<std::string> &w, std::string &out) {
    AirLog &log = w[0] == "news" ? news_ : keyTrace_;
    long long from = 1;
    if (w.size() == 2 && w[1] == "clear") {
        log.clear();
        return "";
    }
    if (w.size() == 2 && w[1].rfind("since=", 0) == 0 &&
        number(w[1].substr(6), 0, 0x7fffffffffffffffLL, from)) {
    } else if (w.size() != 1) {
        return "usage: " + w[0] + " [since=N|clear]";
    }
    out = log.since(static_cast<uint64_t>(from));
    return "";
}

} // namespace nlsim
