// nlsim's scanning state beyond the one-shot trigger: what a flush scan must drop, the
// scheduled scan a client started with its plans and match sets, the radio's limits
// for it, and the link-quality (CQM) threshold of a station. The requests that act on
// them are in scan.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nlsim {

// The radio's scheduled-scan limits as the wiphy dump announces them. ssids 0 means the
// radio cannot scan on its own schedule.
struct SchedLimits {
    uint8_t ssids = 0, matchSets = 0;
    uint32_t plans = 0, interval = 0, iterations = 0; // interval in seconds
};

struct SchedPlan {
    uint32_t interval = 0;   // seconds
    uint32_t iterations = 0; // 0: the endless last plan
};

struct MatchSet {
    std::string ssid;
    bool hasSsid = false;
    int32_t rssi = 0; // dBm
    bool hasRssi = false;
};

struct SchedScan {
    bool running = false;
    uint32_t port = 0; // the owner when it asked to own the scan, else 0
    uint64_t ident = 0;
    std::vector<std::string> ssids;
    std::vector<uint32_t> freqs;
    uint32_t flags = 0; // NL80211_SCAN_FLAG_*
    std::vector<MatchSet> match;
    int32_t minRssi = 0; // the threshold of a match set without SSID
    bool hasMinRssi = false;
    std::vector<SchedPlan> plans;
    size_t plan = 0;  // the plan in use
    uint32_t ran = 0; // its cycles so far
    uint64_t due = 0; // the next cycle's end (ms)
};

struct Cqm {
    int32_t threshold = 0; // dBm; 0: off
    uint32_t hysteresis = 0;
    int32_t last = 0; // the level of the last event; 0: none since set or joined
};

struct ScanExtra {
    uint32_t flags = 0;   // NL80211_SCAN_FLAG_* of the running one-shot scan
    uint64_t startMs = 0; // when it was triggered
    SchedScan sched;
    Cqm cqm;
};

} // namespace nlsim
