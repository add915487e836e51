// A stand-in kernel for the nl80211 back end's socket seam: it records every request,
// answers like a radio of a chosen variant (capabilities, bands, split or whole wiphy
// dumps, scripted errors per command) and lets a test inject events as the kernel would.
#pragma once

#include "wireless/drivers/driver_nl80211_internal.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace nlfake {

constexpr int FamilyId = 30;
constexpr int GroupScan = 5, GroupMlme = 6, GroupRegulatory = 7;

struct Channel {
    uint32_t freq;
    bool radar = false;
    bool disabled = false;
};

struct Band {
    int index;
    uint16_t ht_capa = 0;
    uint32_t vht_capa = 0;
    std::vector<Channel> channels;
    std::vector<uint32_t> rates; // 100 kbit/s
};

struct RegRule {
    uint32_t start_khz, end_khz, max_bw_khz, eirp;
};

struct Radio {
    bool split = true;
    bool auth = true;
    bool connect = true;
    bool scan_group = true;
    bool mlme_group = true;
    bool family = true;
    bool regulatory_group = true;
    uint32_t iftype = 2;
    std::vector<Band> bands;
    std::vector<RegRule> rules;
    std::vector<uint32_t> ciphers = {0x000FAC01, 0x000FAC05, 0x000FAC02, 0x000FAC04};
    uint8_t max_scan_ssids = 4;
    bool device_ap_sme = false;
    uint32_t sched_plans = 0, sched_interval = 0, sched_iterations = 0; // reported when plans is set
    uint8_t max_match_sets = 0;
    bool probe_client_tx_status = false; // probe-client command and socket TX status
    std::vector<uint8_t> ext_capa, ext_capa_mask;
    uint8_t addr[6] = {0x02, 0x00, 0x00, 0x00, 0x01, 0x00};
};

// The default radio: 2.4 GHz channels 1-13 with 802.11g rates, 5 GHz 36-165 with radar
// on 52-144.
Radio default_radio();

// One request the back end sent.
struct Sent {
    int fd;
    uint16_t type;
    uint16_t flags;
    uint8_t cmd;
    std::vector<uint8_t> bytes; // the whole netlink message
    // A top-level attribute's payload, or nullptr.
    const std::vector<uint8_t> *attr(int type) const;
    bool has(int type) const { return attr(type) != nullptr; }
    uint32_t u32(int type) const;
    uint16_t u16(int type) const;
    uint8_t u8(int type) const;
    std::map<int, std::vector<uint8_t>> attrs;
};

// A reply builder over libnl.
struct Reply {
    nl_msg *msg;
    explicit Reply(uint8_t cmd, int family = FamilyId, int flags = 0);
    ~Reply();
    Reply(const Reply &) = delete;
    Reply &operator=(const Reply &) = delete;
    Reply &u8(int type, uint8_t v);
    Reply &u16(int type, uint16_t v);
    Reply &u32(int type, uint32_t v);
    Reply &u64(int type, uint64_t v);
    Reply &flag(int type);
    Reply &data(int type, const void *p, size_t len);
    Reply &data(int type, const std::vector<uint8_t> &v) { return data(type, v.data(), v.size()); }
    std::vector<uint8_t> bytes() const;
};

struct Kernel {
    Radio radio;
    std::vector<Sent> sent;
    // Scripted answers: the next requests of a command get these errors (0 = the model's
    // answer).
    std::map<uint8_t, std::deque<int>> errors;
    // A test's own answers for a request; true when it queued the answer itself.
    std::function<bool(Kernel &, const Sent &)> respond;
    // Interfaces and their state (name → up).
    std::map<std::string, bool> up;
    std::map<std::string, unsigned int> index;
    int sleeps = 0;
    std::vector<std::pair<int, int>> opers;      // linkmode, operstate
    std::vector<std::vector<uint8_t>> scan_dump; // GET_SCAN answers (whole messages)
    std::vector<std::vector<uint8_t>> survey_dump;
    std::map<int, std::vector<int>> joined; // fd → groups
    std::map<int, std::deque<std::vector<uint8_t>>> queues;
    std::vector<int> fds;

    Kernel();
    ~Kernel();
    void install();
    // Queues a datagram on a socket.
    void push(int fd, const std::vector<uint8_t> &bytes);
    void push_ack(int fd, const Sent &req, int error);
    void push_done(int fd, const Sent &req);
    // The answer the model gives to a request.
    void answer(const Sent &req);
    // The requests of one command, in order.
    std::vector<const Sent *> of(uint8_t cmd) const;
    size_t count(uint8_t cmd) const { return of(cmd).size(); }
    const Sent *last(uint8_t cmd) const;
    void clear() { sent.clear(); }
};

Kernel *current();

// Collected driver events.
struct Event {
    wpa_event_type type;
    void *ctx;
    wpa_event_data data;
    bool has_data;
    std::vector<uint8_t> ies;  // copies of the element buffers the event carried
    std::vector<uint8_t> addr; // a pointer-carried address
    std::vector<std::vector<uint8_t>> ssids;
    std::vector<int> freqs;
};
std::vector<Event> &events();
void observe();
std::vector<Event> of_type(wpa_event_type t);

// 802.11 frames.
std::vector<uint8_t> mgmt_frame(uint8_t subtype, const uint8_t *da, const uint8_t *sa, const uint8_t *bssid,
                                const std::vector<uint8_t> &body);

} // namespace nlfake
