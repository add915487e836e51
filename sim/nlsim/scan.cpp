// Scanning as the kernel does it beyond the one-shot trigger: a trace of every scan
// request with its attributes, the flush that keeps only a scan's own entries,
// scheduled scans with plans and match sets, the link-quality monitor (CQM) of an
// associated station, and the configuration and control words for them.
#include "sim/nlsim/sim.h"
#include "sim/nlsim/util.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <linux/nl80211.h>
#include <sstream>

namespace nlsim {

namespace {

constexpr size_t TraceKeep = 256;  // trace lines kept, the oldest dropped first
constexpr uint64_t BeaconMs = 100; // the link-quality monitor looks at each beacon

std::string joinFreqs(const std::vector<uint32_t> &f) {
    std::string s;
    for (size_t k = 0; k < f.size(); k++)
        s += (k ? "," : "") + std::to_string(f[k]);
    return s;
}

// SSIDs in hex, the wildcard (empty) as "*".
std::string joinSsids(const std::vector<std::string> &ssids) {
    std::string s;
    for (size_t k = 0; k < ssids.size(); k++) {
        const std::string &x = ssids[k];
        s += (k ? "," : "") +
             (x.empty() ? std::string("*") : hexText(reinterpret_cast<const uint8_t *>(x.data()), x.size()));
    }
    return s;
}

std::string flagWords(uint32_t flags, bool passive) {
    std::string s;
    auto add = [&](const char *w) { s += (s.empty() ? "" : ",") + std::string(w); };
    if (passive) add("passive");
    if (flags & NL80211_SCAN_FLAG_LOW_PRIORITY) add("low-priority");
    if (flags & NL80211_SCAN_FLAG_FLUSH) add("flush");
    if (flags & NL80211_SCAN_FLAG_AP) add("ap");
    if (flags & NL80211_SCAN_FLAG_RANDOM_ADDR) add("random-addr");
    return s;
}

// The attributes every scan request may carry, as trace words.
std::string requestWords(const Attrs &a, const std::vector<std::string> &ssids,
                         const std::vector<uint32_t> &freqs, uint32_t flags) {
    std::string s =
        " freqs=" + (a.has(NL80211_ATTR_SCAN_FREQUENCIES) ? joinFreqs(freqs) : std::string("all"));
    s += " ssids=" + joinSsids(ssids);
    s += " flags=" + flagWords(flags, ssids.empty());
    const Attr *ie = a.get(NL80211_ATTR_IE);
    s += " ie=" + (ie ? hexText(ie->data, ie->len) : std::string());
    if (flags & NL80211_SCAN_FLAG_RANDOM_ADDR) {
        const Attr *mac = a.get(NL80211_ATTR_MAC);
        const Attr *mask = a.get(NL80211_ATTR_MAC_MASK);
        if (mac && mac->len == 6) s += " mac=" + macText(mac->data);
        if (mask && mask->len == 6) s += " mask=" + macText(mask->data);
    }
    return s;
}

} // namespace

void Sim::traceLine(const std::string &line) {
    scanTrace_.push_back(std::to_string(++scanTraceSeq_) + " " + line);
    if (scanTrace_.size() > TraceKeep) scanTrace_.erase(scanTrace_.begin());
    if (links_.trace) links_.trace(line);
}

// ---- one-shot scans ----

void Sim::scanStarted(Iface &i, const Request &r, uint32_t port) {
    const Attr *f = r.attrs.get(NL80211_ATTR_SCAN_FLAGS);
    i.scan.flags = f && f->len == 4 ? f->u32() : 0;
    i.scan.startMs = links_.nowMs();
    traceLine("trigger " + i.name + " port=" + std::to_string(port) + " sta=" + macText(i.mac) +
              requestWords(r.attrs, i.scanSsids, i.scanFreqs, i.scan.flags));
}

// A completed flush scan leaves in the dump only what it heard itself (and the entry
// of the current association, which the kernel holds).
void Sim::scanEnded(Iface &i) {
    if (!(i.scan.flags & NL80211_SCAN_FLAG_FLUSH)) return;
    uint64_t start = i.scan.startMs;
    i.bss.erase(std::remove_if(i.bss.begin(), i.bss.end(),
                               [&](const Bss &s) {
                                   bool current =
                                       i.link != Link::Idle && std::memcmp(s.bssid, i.bssid, 6) == 0;
                                   return !current && s.seenMs < start;
                               }),
                i.bss.end());
}

// ---- scheduled scans ----

int Sim::cmdSched(const Request &r, uint32_t port, uint8_t cmd) {
    int err;
    Iface *i = ifaceOf(r.attrs, err);
    if (!i) return err;
    Radio &rad = radios[i->radio];
    if (!contains(rad.commands, NL80211_CMD_START_SCHED_SCAN)) return -EOPNOTSUPP;
    SchedScan &s = i->scan.sched;
    if (cmd == NL80211_CMD_STOP_SCHED_SCAN) {
        if (!s.running) return -ENOENT;
        schedStop(*i, true);
        return 0;
    }
    if (i->type == NL80211_IFTYPE_MONITOR) return -EOPNOTSUPP;
    if (links_.isUp && !links_.isUp(i->name)) return -ENETDOWN;
    if (s.running) return -EINPROGRESS;

    SchedScan next;
    if (int e = scanTargets(r.attrs, rad, rad.sched.ssids, next.ssids, next.freqs)) return e;
    uint32_t flags = 0;
    if (const Attr *f = r.attrs.get(NL80211_ATTR_SCAN_FLAGS)) {
        if (f->len != 4) return -EINVAL;
        flags = f->u32();
        if ((flags & NL80211_SCAN_FLAG_LOW_PRIORITY) && !(rad.features & NL80211_FEATURE_LOW_PRIORITY_SCAN))
            return -EOPNOTSUPP;
        if ((flags & NL80211_SCAN_FLAG_RANDOM_ADDR) &&
            !(rad.features & NL80211_FEATURE_SCHED_SCAN_RANDOM_MAC_ADDR))
            return -EOPNOTSUPP;
    }
    // Match sets: those with an SSID count against the limit; one with only an RSSI is the
    // threshold for every BSS (and for sets that name none).
    std::string matchWords;
    if (const Attr *a = r.attrs.get(NL80211_ATTR_SCHED_SCAN_MATCH)) {
        Attrs sets;
        if (!sets.parse(a->data, a->len)) return -EINVAL;
        for (const auto &e : sets.list) {
            Attrs m;
            if (!m.parse(e.data, e.len)) return -EINVAL;
            MatchSet ms;
            if (const Attr *ssid = m.get(NL80211_SCHED_SCAN_MATCH_ATTR_SSID)) {
                if (ssid->len > 32) return -EINVAL;
                ms.ssid.assign(reinterpret_cast<const char *>(ssid->data), ssid->len);
                ms.hasSsid = true;
            }
            if (const Attr *rssi = m.get(NL80211_SCHED_SCAN_MATCH_ATTR_RSSI)) {
                if (rssi->len != 4) return -EINVAL;
                ms.rssi = static_cast<int32_t>(rssi->u32());
                ms.hasRssi = true;
            }
            if (ms.hasSsid) {
                next.match.push_back(ms);
                matchWords += (matchWords.empty() ? "" : ",") +
                              hexText(reinterpret_cast<const uint8_t *>(ms.ssid.data()), ms.ssid.size()) +
                              (ms.hasRssi ? "/" + std::to_string(ms.rssi) : "");
            } else if (ms.hasRssi) {
                next.minRssi = ms.rssi;
                next.hasMinRssi = true;
                matchWords += (matchWords.empty() ? "" : ",") + std::string("/") + std::to_string(ms.rssi);
            }
        }
        size_t count = next.match.empty() && next.hasMinRssi ? 1 : next.match.size();
        if (count > rad.sched.matchSets) return -EINVAL;
    }
    // Plans: one interval (ms) or a list of plans, never both; intervals above the radio's
    // maximum are cut to it; only the last plan runs without end, and it must.
    const Attr *interval = r.attrs.get(NL80211_ATTR_SCHED_SCAN_INTERVAL);
    const Attr *plans = r.attrs.get(NL80211_ATTR_SCHED_SCAN_PLANS);
    uint32_t maxInterval = rad.sched.interval ? rad.sched.interval : 0xffffffffu;
    if ((interval != nullptr) == (plans != nullptr)) return -EINVAL;
    if (interval) {
        if (interval->len != 4) return -EINVAL;
        uint32_t sec = static_cast<uint32_t>((static_cast<uint64_t>(interval->u32()) + 999) / 1000);
        if (sec == 0) return -EINVAL;
        next.plans.push_back({std::min(sec, maxInterval), 0});
    } else {
        Attrs list;
        if (!list.parse(plans->data, plans->len) || list.list.empty()) return -EINVAL;
        if (list.list.size() > std::max<uint32_t>(rad.sched.plans, 1)) return -EINVAL;
        for (size_t k = 0; k < list.list.size(); k++) {
            Attrs p;
            if (!p.parse(list.list[k].data, list.list[k].len)) return -EINVAL;
            const Attr *iv = p.get(NL80211_SCHED_SCAN_PLAN_INTERVAL);
            const Attr *it = p.get(NL80211_SCHED_SCAN_PLAN_ITERATIONS);
            if (!iv || iv->len != 4 || iv->u32() == 0) return -EINVAL;
            SchedPlan plan{std::min(iv->u32(), maxInterval), 0};
            bool last = k + 1 == list.list.size();
            if (last) {
                if (it) return -EINVAL;
            } else {
                if (!it || it->len != 4 || it->u32() == 0 || it->u32() > rad.sched.iterations) return -EINVAL;
                plan.iterations = it->u32();
            }
            next.plans.push_back(plan);
        }
    }

    uint64_t now = links_.nowMs();
    next.running = true;
    if (r.attrs.has(NL80211_ATTR_SOCKET_OWNER)) {
        next.port = port;
        next.ident = links_.identity ? links_.identity(port) : 0;
        known_[port] = next.ident;
    }
    next.due = now + rad.scanMs; // the first cycle runs at once
    next.flags = flags;
    s = next;
    std::string planWords;
    for (size_t k = 0; k < s.plans.size(); k++)
        planWords += (k ? "," : "") + std::to_string(s.plans[k].interval) +
                     (s.plans[k].iterations ? ":" + std::to_string(s.plans[k].iterations) : "");
    traceLine("sched-start " + i->name + " port=" + std::to_string(port) +
              requestWords(r.attrs, s.ssids, s.freqs, flags) + " plans=" + planWords +
              " match=" + matchWords);
    Builder e = msg(NL80211_CMD_START_SCHED_SCAN, nullptr, 0);
    putIfaceIds(e, *i);
    event(GroupScan, e);
    return 0;
}

void Sim::schedStop(Iface &i, bool announce) {
    if (!i.scan.sched.running) return;
    i.scan.sched = SchedScan{};
    traceLine("sched-stop " + i.name);
    if (!announce) return;
    Builder e = msg(NL80211_CMD_SCHED_SCAN_STOPPED, nullptr, 0);
    putIfaceIds(e, i);
    event(GroupScan, e);
}

// One cycle of a scheduled scan: the radio hears the air as a one-shot scan does (its
// flush included), but keeps only what the match sets let through, and tells its
// clients only when something matched.
void Sim::schedCycle(Iface &i, uint64_t now) {
    Radio &rad = radios[i.radio];
    SchedScan &s = i.scan.sched;
    auto matches = [&](const Bss &b) {
        int32_t dbm = b.signal / 100;
        if (!s.match.empty()) {
            for (const auto &m : s.match) {
                if (m.ssid != b.ssid) continue;
                if (m.hasRssi ? dbm >= m.rssi : (!s.hasMinRssi || dbm >= s.minRssi)) return true;
            }
            return false;
        }
        return !s.hasMinRssi || dbm >= s.minRssi;
    };
    std::vector<Bss> before = i.bss;
    std::vector<std::string> ssids = i.scanSsids;
    std::vector<uint32_t> freqs = i.scanFreqs;
    uint32_t flags = i.scan.flags;
    uint64_t start = i.scan.startMs;
    bool events = rad.scanEvents;
    i.scanSsids = s.ssids;
    i.scanFreqs = s.freqs;
    i.scan.flags = s.flags;
    i.scan.startMs = now > rad.scanMs ? now - rad.scanMs : 0;
    rad.scanEvents = false;
    finishScan(i, false);
    rad.scanEvents = events;
    i.scanSsids = ssids;
    i.scanFreqs = freqs;
    i.scan.flags = flags;
    i.scan.startMs = start;

    bool matched = false;
    for (size_t k = i.bss.size(); k-- > 0;) {
        Bss &b = i.bss[k];
        if (b.seenMs < now) continue; // not heard in this cycle
        if (matches(b)) {
            matched = true;
            continue;
        }
        auto old = std::find_if(before.begin(), before.end(), [&](const Bss &o) {
            return std::memcmp(o.bssid, b.bssid, 6) == 0 && o.freq == b.freq && o.ssid == b.ssid;
        });
        if (old != before.end())
            b = *old;
        else
            i.bss.erase(i.bss.begin() + static_cast<long>(k));
    }
    size_t plan = s.plan;
    if (matched) {
        Builder e = msg(NL80211_CMD_SCHED_SCAN_RESULTS, nullptr, 0);
        putIfaceIds(e, i);
        event(GroupScan, e);
    }
    s.ran++;
    if (s.plans[s.plan].iterations && s.ran >= s.plans[s.plan].iterations && s.plan + 1 < s.plans.size()) {
        s.plan++;
        s.ran = 0;
    }
    s.due = now + static_cast<uint64_t>(s.plans[s.plan].interval) * 1000;
    traceLine("sched-cycle " + i.name + " plan=" + std::to_string(plan) +
              " matched=" + (matched ? "1" : "0") + " next=" + std::to_string(s.plans[s.plan].interval));
}

// ---- link quality ----

int Sim::cmdCqm(const Request &r) {
    int err;
    Iface *i = ifaceOf(r.attrs, err);
    if (!i) return err;
    if (i->type != NL80211_IFTYPE_STATION && i->type != NL80211_IFTYPE_P2P_CLIENT) return -EOPNOTSUPP;
    const Attr *a = r.attrs.get(NL80211_ATTR_CQM);
    Attrs cqm;
    if (!a || !cqm.parse(a->data, a->len)) return -EINVAL;
    const Attr *thold = cqm.get(NL80211_ATTR_CQM_RSSI_THOLD);
    const Attr *hyst = cqm.get(NL80211_ATTR_CQM_RSSI_HYST);
    if (!thold) return -EINVAL;
    // A list of thresholds needs a radio that announces it; this one takes one.
    if (thold->len == 0 || thold->len % 4) return -EINVAL;
    if (thold->len > 4) return -EOPNOTSUPP;
    if (hyst && hyst->len != 4) return -EINVAL;
    i->scan.cqm.threshold = static_cast<int32_t>(thold->u32());
    i->scan.cqm.hysteresis = hyst ? hyst->u32() : 0;
    i->scan.cqm.last = 0;
    traceLine("cqm " + i->name + " threshold=" + std::to_string(i->scan.cqm.threshold) +
              " hysteresis=" + std::to_string(i->scan.cqm.hysteresis));
    return 0;
}

// At each beacon of the associated AP: an event when its level is below the threshold
// and has fallen by more than the hysteresis since the last event, or above it and has
// risen so; the first beacon after a new threshold or a new association always tells.
void Sim::cqmCheck(Iface &i) {
    Cqm &c = i.scan.cqm;
    Ap *ap = apByBssid(i.bssid);
    if (!ap || ap->silent) return;
    int32_t level = ap->signal / 100;
    int32_t hyst = static_cast<int32_t>(std::min<uint32_t>(c.hysteresis, 1000));
    uint32_t kind;
    if (level < c.threshold && (c.last == 0 || level < c.last - hyst))
        kind = NL80211_CQM_RSSI_THRESHOLD_EVENT_LOW;
    else if (level > c.threshold && (c.last == 0 || level > c.last + hyst))
        kind = NL80211_CQM_RSSI_THRESHOLD_EVENT_HIGH;
    else
        return;
    c.last = level;
    Builder e = msg(NL80211_CMD_NOTIFY_CQM, nullptr, 0);
    putIfaceIds(e, i);
    e.put(NL80211_ATTR_MAC, i.bssid, 6);
    size_t n = e.nest(NL80211_ATTR_CQM);
    e.u32(NL80211_ATTR_CQM_RSSI_THRESHOLD_EVENT, kind);
    e.s32(NL80211_ATTR_CQM_RSSI_LEVEL, level);
    e.end(n);
    event(GroupMlme, e);
    traceLine("cqm-event " + i.name + (kind == NL80211_CQM_RSSI_THRESHOLD_EVENT_LOW ? " low" : " high") +
              " level=" + std::to_string(level));
}

void Sim::tickScan(Iface &i, uint64_t now, uint64_t &next) {
    auto want = [&](uint64_t t) {
        if (t && (next == 0 || t < next)) next = t;
    };
    SchedScan &s = i.scan.sched;
    if (s.running) {
        // The kernel ends a scheduled scan when its interface goes down.
        if (links_.isUp && !links_.isUp(i.name)) {
            schedStop(i, true);
        } else if (now >= s.due) {
            // One scan at a time: a cycle waits for a one-shot scan on the air.
            if (i.scanning)
                s.due = i.scanDue + radios[i.radio].scanMs;
            else
                schedCycle(i, now);
        }
        if (s.running) want(s.due);
    }
    if (i.link != Link::Associated) {
        i.scan.cqm.last = 0;
    } else if (i.scan.cqm.threshold != 0) {
        cqmCheck(i);
        want(now + BeaconMs);
    }
}

// ---- configuration and control ----

void Sim::putSchedLimits(Builder &b, const Radio &r) {
    b.u8(NL80211_ATTR_MAX_NUM_SCHED_SCAN_SSIDS, r.sched.ssids);
    b.u16(NL80211_ATTR_MAX_SCHED_SCAN_IE_LEN, 2048);
    b.u8(NL80211_ATTR_MAX_MATCH_SETS, r.sched.matchSets);
    if (r.sched.plans) {
        b.u32(NL80211_ATTR_MAX_NUM_SCHED_SCAN_PLANS, r.sched.plans);
        b.u32(NL80211_ATTR_MAX_SCAN_PLAN_INTERVAL, r.sched.interval);
        b.u32(NL80211_ATTR_MAX_SCAN_PLAN_ITERATIONS, r.sched.iterations);
    }
}

bool Sim::scanConfigure(Radio &r, const std::vector<std::string> &w, std::string &why) {
    const std::string &k = w[0];
    if (k == "sched-scan") {
        // sched-scan SSIDS MATCH-SETS PLANS INTERVAL ITERATIONS: the radio scans on its own
        // schedule within these limits (and lists the command for it, as the kernel does).
        long long v[5];
        static const long long hi[5] = {255, 255, 64, 86400, 10000};
        bool ok = w.size() == 6;
        for (size_t n = 0; ok && n < 5; n++)
            ok = number(w[n + 1], n == 0 || n == 2 || n == 3 ? 1 : 0, hi[n], v[n], 10);
        if (!ok) {
            why = "sched-scan SSIDS MATCH-SETS PLANS INTERVAL ITERATIONS";
            return true;
        }
        r.sched.ssids = static_cast<uint8_t>(v[0]);
        r.sched.matchSets = static_cast<uint8_t>(v[1]);
        r.sched.plans = static_cast<uint32_t>(v[2]);
        r.sched.interval = static_cast<uint32_t>(v[3]);
        r.sched.iterations = static_cast<uint32_t>(v[4]);
        if (!contains(r.commands, NL80211_CMD_START_SCHED_SCAN))
            r.commands.push_back(NL80211_CMD_START_SCHED_SCAN);
        return true;
    }
    if (k == "noise") {
        // noise DBM [CHANNELS...]: the noise the survey reports, on every channel or on the
        // channel ranges given
        long long dbm;
        if (w.size() < 2 || !number(w[1], -127, 0, dbm, 10)) {
            why = "noise DBM [FIRST-LAST...]";
            return true;
        }
        std::vector<std::pair<long long, long long>> ranges;
        for (size_t n = 2; n < w.size(); n++) {
            long long a, b;
            size_t dash = w[n].find('-');
            std::string from = w[n].substr(0, dash);
            std::string to = dash == std::string::npos ? from : w[n].substr(dash + 1);
            if (!number(from, 1, 200, a, 10) || !number(to, a, 200, b, 10)) {
                why = "bad channel range " + w[n];
                return true;
            }
            ranges.emplace_back(a, b);
        }
        for (auto &band : r.bands)
            for (auto &ch : band.channels) {
                long long c = ch.freq == 2484  ? 14
                              : ch.freq < 3000 ? (ch.freq - 2407) / 5
                                               : (ch.freq - 5000) / 5;
                bool in = ranges.empty();
                for (const auto &x : ranges)
                    in = in || (c >= x.first && c <= x.second);
                if (in) ch.noise = static_cast<int8_t>(dbm);
            }
        return true;
    }
    return false;
}

bool Sim::scanSetting(Radio &r, const std::string &word) {
    long long dbm;
    if (word.rfind("noise=", 0) != 0 || !number(word.substr(6), -127, 0, dbm, 10)) return false;
    for (auto &band : r.bands)
        for (auto &ch : band.channels)
            ch.noise = static_cast<int8_t>(dbm);
    return true;
}

bool Sim::scanControl(const std::vector<std::string> &w, std::string &out, std::string &err) {
    if (w[0] != "scans") return false;
    if (w.size() == 2 && w[1] == "clear") {
        scanTrace_.clear();
    } else if (w.size() == 1) {
        for (const auto &line : scanTrace_)
            out += line + "\n";
    } else {
        err = "usage: scans [clear]";
    }
    return true;
}

} // namespace nlsim
