// The nl80211 back end against nlsim's model, joined through the back end's socket seam:
// no sockets, no namespace, and nlsim's clock moved by the test, so its time-outs pass
// without waiting.
#include "sim/nlsim/sim.h"
#include "wireless/common/ieee802_11_common.h"
#include "wireless/core/eloop.h"
#include "wireless/drivers/driver_nl80211.h"
#include "wireless/drivers/driver_nl80211_internal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace {

struct Bridge {
    std::unique_ptr<nlsim::Sim> sim;
    uint64_t now = 1000;
    std::map<int, std::deque<std::vector<uint8_t>>> queues; // fd → datagrams
    std::map<int, std::set<uint32_t>> groups;
    std::map<std::string, uint32_t> index;
    std::map<std::string, bool> up;
    std::vector<std::pair<wpa_event_type, wpa_event_data>> events;
    std::vector<std::string> names; // event names in order

    static uint32_t port(int fd) { return 7000 + static_cast<uint32_t>(fd); }
    int fd_of(uint32_t p) { return static_cast<int>(p - 7000); }
};

Bridge *bridge = nullptr;

int b_open() {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    bridge->queues[fd];
    return fd;
}
void b_close(int fd) {
    bridge->queues.erase(fd);
    bridge->groups.erase(fd);
    close(fd);
}
int b_send(int fd, const void *buf, size_t len) {
    bridge->sim->receive(Bridge::port(fd), static_cast<const uint8_t *>(buf), len);
    return 0;
}
ssize_t b_recv(int fd, void *buf, size_t len) {
    auto it = bridge->queues.find(fd);
    if (it == bridge->queues.end() || it->second.empty()) return -EAGAIN;
    std::vector<uint8_t> d = it->second.front();
    it->second.pop_front();
    if (d.size() > len) return -EMSGSIZE;
    memcpy(buf, d.data(), d.size());
    return static_cast<ssize_t>(d.size());
}
int b_join(int fd, int group) {
    bridge->groups[fd].insert(static_cast<uint32_t>(group));
    return 0;
}
uint32_t b_port(int fd) {
    return Bridge::port(fd);
}
int b_nonblock(int, int) {
    return 0;
}
unsigned int b_index(const char *name) {
    auto it = bridge->index.find(name);
    return it == bridge->index.end() ? 0 : it->second;
}
int b_set_up(const char *name, int on) {
    if (!bridge->index.count(name)) return -ENODEV;
    bridge->up[name] = on != 0;
    return 0;
}
int b_is_up(const char *name) {
    return bridge->up[name] ? 1 : 0;
}
int b_get_mac(const char *, uint8_t *addr) {
    const uint8_t a[6] = {0x02, 0x00, 0x00, 0x00, 0x01, 0x00};
    memcpy(addr, a, 6);
    return 0;
}
int b_set_mac(const char *, const uint8_t *) {
    return 0;
}
int b_oper(netlink_data *, int, int, int) {
    return 0;
}
void b_sleep(int ms) {
    bridge->now += static_cast<uint64_t>(ms);
}

const nl80211_io_ops bridge_io = {b_open,  b_close,  b_send,  b_recv,    b_join,    b_port, b_nonblock,
                                  b_index, b_set_up, b_is_up, b_get_mac, b_set_mac, b_oper, b_sleep};

void observer(void *, wpa_event_type type, const wpa_event_data *data) {
    wpa_event_data copy{};
    if (data) copy = *data;
    bridge->events.emplace_back(type, copy);
    bridge->names.push_back(event_to_string(type));
}

std::string fixture(const char *name) {
    std::ifstream f(std::string(QMR_FIXTURES) + "/radios/" + name);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

const char *const Ap1 = "02:00:00:00:aa:01";
const uint8_t ap1[6] = {0x02, 0x00, 0x00, 0x00, 0xaa, 0x01};

class Nl80211OnSim : public ::testing::Test {
protected:
    Bridge b;
    void *global = nullptr;
    void *priv = nullptr;
    int token = 0;
    std::string extraConf; // radio configuration after the default fixture

    void SetUp() override {
        bridge = &b;
        eloop_init();
        nlsim::Links l;
        l.unicast = [](uint32_t p, const std::vector<uint8_t> &m) {
            int fd = bridge->fd_of(p);
            if (bridge->queues.count(fd)) bridge->queues[fd].push_back(m);
        };
        l.multicast = [](uint32_t group, const std::vector<uint8_t> &m) {
            for (auto &g : bridge->groups)
                if (g.second.count(group)) bridge->queues[g.first].push_back(m);
        };
        l.create = [](const std::string &name, const uint8_t *, bool, int &fd, uint32_t &ifindex) {
            fd = -1;
            ifindex = 7 + static_cast<uint32_t>(bridge->index.size());
            bridge->index[name] = ifindex;
            return 0;
        };
        l.destroy = [](int) {};
        l.isUp = [](const std::string &name) { return bridge->up[name]; };
        l.carrier = [](int, bool) {};
        l.apTap = [](const nlsim::Ap &) { return -EOPNOTSUPP; };
        l.identity = [](uint32_t p) -> uint64_t { return bridge->queues.count(bridge->fd_of(p)) ? p : 0; };
        l.liveSockets = [] {
            std::map<uint32_t, uint64_t> live;
            for (auto &q : bridge->queues)
                live[Bridge::port(q.first)] = Bridge::port(q.first);
            return live;
        };
        l.nowMs = [] { return bridge->now; };
        l.trace = [](const std::string &) {};
        l.linkChanged = [](nlsim::Iface &) {};
        b.sim = std::make_unique<nlsim::Sim>(l);
        ASSERT_EQ(b.sim->configure(fixture("default.conf") + extraConf), "");
        ASSERT_EQ(b.sim->start(), "");
        nl80211_io_set(&bridge_io);
        supplicant_event_set_observer(observer);
    }
    void TearDown() override {
        if (priv) wpa_driver_nl80211_ops.deinit(priv);
        if (global) wpa_driver_nl80211_ops.global_deinit(global);
        supplicant_event_set_observer(nullptr);
        nl80211_io_set(nullptr);
        for (auto &q : b.queues)
            close(q.first);
        eloop_destroy();
        bridge = nullptr;
    }
    void start() {
        global = wpa_driver_nl80211_ops.global_init(&token);
        ASSERT_NE(global, nullptr);
        priv = wpa_driver_nl80211_ops.init2(&token, "wlan0", global);
        ASSERT_NE(priv, nullptr);
    }
    void control(const std::string &line) {
        std::string answer = b.sim->control(line);
        ASSERT_NE(answer.find("OK"), std::string::npos) << line << ": " << answer;
    }
    // Delivers what waits on the event socket and the interface's own socket.
    void drain() {
        auto *g = static_cast<nl80211_global *>(global);
        auto *iface = static_cast<nl80211_iface *>(priv);
        nl80211_event_receive(g->nl_event, g, nullptr);
        uint8_t buf[65536];
        ssize_t n;
        while (iface->nl_mgmt >= 0 && (n = b_recv(iface->nl_mgmt, buf, sizeof(buf))) > 0)
            nl80211_receive_buffer(buf, static_cast<size_t>(n), nl80211_process_bss_event, iface);
    }
    // Moves nlsim's clock in 100-ms steps until the event came (at most a minute of it).
    bool await(wpa_event_type type, size_t *at = nullptr) {
        for (int i = 0; i < 600; i++) {
            drain();
            for (size_t j = 0; j < b.events.size(); j++)
                if (b.events[j].first == type) {
                    if (at) *at = j;
                    return true;
                }
            b.now += 100;
            b.sim->tick();
        }
        return false;
    }
    void clear() {
        b.events.clear();
        b.names.clear();
    }
};

TEST_F(Nl80211OnSim, ScanFindsTheApAndAnOpenJoinEndsWithItsDeauthentication) {
    start();
    wpa_driver_capa capa{};
    ASSERT_EQ(wpa_driver_nl80211_ops.get_capa(priv, &capa), 0);
    EXPECT_TRUE(capa.flags & WPA_DRIVER_FLAGS_SME);
    EXPECT_STREQ(wpa_driver_nl80211_ops.get_radio_name(priv), "phy0");
    control(std::string("ap add lab bssid=") + Ap1 + " ssid=lab freq=2437 signal=-4550");

    wpa_driver_scan_params p{};
    ASSERT_EQ(wpa_driver_nl80211_ops.scan(priv, &p), 0);
    ASSERT_TRUE(await(EVENT_SCAN_RESULTS)) << ::testing::PrintToString(b.names);
    EXPECT_EQ(b.names.front(), "SCAN_STARTED");
    wpa_scan_results *res = wpa_driver_nl80211_ops.get_scan_results(priv);
    ASSERT_NE(res, nullptr);
    const wpa_scan_res *lab = nullptr;
    for (size_t i = 0; i < res->num; i++)
        if (memcmp(res->res[i]->bssid, ap1, 6) == 0) lab = res->res[i];
    ASSERT_NE(lab, nullptr);
    EXPECT_EQ(lab->level, -45);
    EXPECT_EQ(lab->freq, 2437);
    EXPECT_NE(get_ie(wpa_scan_res_ies(lab), lab->ie_len, 0), nullptr);
    nl80211_free_scan_results(res);

    clear();
    wpa_driver_auth_params auth{};
    auth.freq = 2437;
    auth.bssid = ap1;
    auth.ssid = reinterpret_cast<const uint8_t *>("lab");
    auth.ssid_len = 3;
    auth.auth_alg = WPA_AUTH_ALG_OPEN;
    ASSERT_EQ(wpa_driver_nl80211_ops.authenticate(priv, &auth), 0);
    ASSERT_TRUE(await(EVENT_AUTH)) << ::testing::PrintToString(b.names);
    wpa_driver_associate_params assoc{};
    assoc.bssid = ap1;
    assoc.ssid = reinterpret_cast<const uint8_t *>("lab");
    assoc.ssid_len = 3;
    assoc.freq.freq = 2437;
    assoc.bg_scan_period = -1;
    assoc.pairwise_suite = WPA_CIPHER_NONE;
    assoc.group_suite = WPA_CIPHER_NONE;
    assoc.key_mgmt_suite = WPA_KEY_MGMT_NONE;
    assoc.auth_alg = WPA_AUTH_ALG_OPEN;
    ASSERT_EQ(wpa_driver_nl80211_ops.associate(priv, &assoc), 0);
    size_t at = 0;
    ASSERT_TRUE(await(EVENT_ASSOC, &at)) << ::testing::PrintToString(b.names);
    EXPECT_EQ(b.events[at].second.assoc_info.freq, 2437u);

    // Keys: the group key under the all-ones address, then the port.
    const uint8_t bcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    const uint8_t gtk[16] = {1};
    EXPECT_EQ(wpa_driver_nl80211_ops.set_key(priv, "wlan0", WPA_ALG_CCMP, bcast, 1, 1, nullptr, 0, gtk, 16),
              0);
    EXPECT_EQ(wpa_driver_nl80211_ops.set_supp_port(priv, 1), 0);
    wpa_signal_info si{};
    ASSERT_EQ(wpa_driver_nl80211_ops.signal_poll(priv, &si), 0);
    EXPECT_EQ(si.frequency, 2437u);

    clear();
    control("ap deauth lab reason=3");
    ASSERT_TRUE(await(EVENT_DEAUTH, &at)) << ::testing::PrintToString(b.names);
    EXPECT_EQ(b.events[at].second.deauth_info.reason_code, 3);
    EXPECT_EQ(b.events[at].second.deauth_info.locally_generated, 0);
}

TEST_F(Nl80211OnSim, ActionFramesGoOutWithTheirAddressesAndTheirTransmitReports) {
    start();
    control(std::string("ap add lab bssid=") + Ap1 + " ssid=lab freq=2437");
    const uint8_t own[6] = {0x02, 0x00, 0x00, 0x00, 0x01, 0x00};
    const uint8_t nobody[6] = {0x02, 0x00, 0x00, 0x00, 0xaa, 0x09};
    const uint8_t body[] = {4, 0, 72, 1, 0};
    struct Case {
        const uint8_t *dst;
        bool acked;
    } cases[] = {{ap1, true}, {nobody, false}};
    auto *drv = static_cast<nl80211_iface *>(priv)->drv;
    for (const Case &c : cases) {
        clear();
        control("news clear");
        ASSERT_EQ(wpa_driver_nl80211_ops.send_action(priv, 2437, 0, c.dst, own, c.dst, body, sizeof(body), 0),
                  0);
        EXPECT_NE(drv->send_action_cookie, 0u);
        // The radio heard an action frame (0xd0) with the addresses and the body as given.
        std::string news = b.sim->control("news");
        std::string frame = "d0000000";
        char hex[3];
        for (const uint8_t *a : {c.dst, own, c.dst})
            for (int k = 0; k < 6; k++) {
                snprintf(hex, sizeof(hex), "%02x", a[k]);
                frame += hex;
            }
        frame += "000004004801"
                 "00";
        EXPECT_NE(news.find("freq=2437 frame=" + frame + "\n"), std::string::npos) << news;
        // Its transmit report matches the cookie the request got.
        size_t at = 0;
        ASSERT_TRUE(await(EVENT_TX_STATUS, &at)) << ::testing::PrintToString(b.names);
        EXPECT_EQ(b.events[at].second.tx_status.stype, 13);
        EXPECT_EQ(b.events[at].second.tx_status.ack, c.acked ? 1 : 0);
    }
}

TEST_F(Nl80211OnSim, SilentApTimesOutAndUnknownBssScansThenTimesOut) {
    start();
    control(std::string("ap add quiet bssid=") + Ap1 + " ssid=quiet freq=2412 silent=1");
    wpa_driver_auth_params auth{};
    auth.freq = 2412;
    auth.bssid = ap1;
    auth.ssid = reinterpret_cast<const uint8_t *>("quiet");
    auth.ssid_len = 5;
    auth.auth_alg = WPA_AUTH_ALG_OPEN;
    int ret = wpa_driver_nl80211_ops.authenticate(priv, &auth);
    // Whether the kernel knows the BSS yet or scans for it first, the attempt ends
    // with a time-out for that BSS.
    EXPECT_EQ(ret, 0);
    size_t at = 0;
    ASSERT_TRUE(await(EVENT_AUTH_TIMED_OUT, &at)) << ::testing::PrintToString(b.names);
    EXPECT_EQ(memcmp(b.events[at].second.timeout_event.addr, ap1, 6), 0);
}

TEST_F(Nl80211OnSim, AuthenticationToAnUnknownBssScansOnceThenTimesOut) {
    start();
    const uint8_t nobody[6] = {0x02, 0x00, 0x00, 0x00, 0xbb, 0x01};
    wpa_driver_auth_params auth{};
    auth.freq = 2462;
    auth.bssid = nobody;
    auth.ssid = reinterpret_cast<const uint8_t *>("gone");
    auth.ssid_len = 4;
    auth.auth_alg = WPA_AUTH_ALG_OPEN;
    ASSERT_EQ(wpa_driver_nl80211_ops.authenticate(priv, &auth), 0); // its scan started
    size_t at = 0;
    ASSERT_TRUE(await(EVENT_AUTH_TIMED_OUT, &at)) << ::testing::PrintToString(b.names);
    EXPECT_EQ(memcmp(b.events[at].second.timeout_event.addr, nobody, 6), 0);
    // The scan was the back end's own: the supplicant heard neither its start nor its end.
    for (const std::string &n : b.names) {
        EXPECT_NE(n, "SCAN_STARTED");
        EXPECT_NE(n, "SCAN_RESULTS");
    }
}

// A radio that scans on its own schedule: two plans, two match sets.
class Nl80211OnSchedSim : public Nl80211OnSim {
protected:
    void SetUp() override {
        extraConf = "sched-scan 4 2 2 300 5\n";
        Nl80211OnSim::SetUp();
    }
    std::string lastTrace(const char *kind) {
        std::istringstream in(b.sim->control("scans"));
        std::string line, found;
        while (std::getline(in, line))
            if (line.find(std::string(" ") + kind + " ") != std::string::npos) found = line;
        return found;
    }
};

TEST_F(Nl80211OnSchedSim, ScheduledScanCarriesPlansAndMatchSetsAndReportsOnlyMatches) {
    start();
    wpa_driver_capa capa{};
    ASSERT_EQ(wpa_driver_nl80211_ops.get_capa(priv, &capa), 0);
    EXPECT_TRUE(capa.sched_scan_supported);
    EXPECT_EQ(capa.max_sched_scan_ssids, 4);
    EXPECT_EQ(capa.max_match_sets, 2);
    EXPECT_EQ(capa.max_sched_scan_plans, 2);
    EXPECT_EQ(capa.max_sched_scan_plan_interval, 300);
    EXPECT_EQ(capa.max_sched_scan_plan_iterations, 5);
    control(std::string("ap add lab bssid=") + Ap1 + " ssid=lab freq=2437 signal=-4550");
    control("ap add other bssid=02:00:00:00:aa:02 ssid=other freq=2412");

    // The back end refuses what the radio cannot run before anything is sent.
    sched_scan_plan tooMany[3] = {{10, 3}, {20, 3}, {60, 0}};
    sched_scan_plan tooLong[2] = {{10, 6}, {60, 0}};
    for (auto [plans, n] : {std::pair{tooMany, 3}, std::pair{tooLong, 2}}) {
        wpa_driver_scan_params p{};
        p.sched_scan_plans = plans;
        p.sched_scan_plans_num = static_cast<size_t>(n);
        EXPECT_EQ(wpa_driver_nl80211_ops.sched_scan(priv, &p), -1);
    }
    EXPECT_EQ(lastTrace("sched-start"), "");

    sched_scan_plan plans[2] = {{10, 3}, {60, 0}};
    wpa_driver_scan_params p{};
    p.ssids[0] = {reinterpret_cast<const uint8_t *>("lab"), 3};
    p.num_ssids = 1;
    p.filter_ssids = static_cast<wpa_driver_scan_filter *>(calloc(1, sizeof(wpa_driver_scan_filter)));
    memcpy(p.filter_ssids[0].ssid, "lab", 3);
    p.filter_ssids[0].ssid_len = 3;
    p.num_filter_ssids = 1;
    p.filter_rssi = -70;
    p.sched_scan_plans = plans;
    p.sched_scan_plans_num = 2;
    ASSERT_EQ(wpa_driver_nl80211_ops.sched_scan(priv, &p), 0);
    free(p.filter_ssids); // null when the back end took them
    std::string started = lastTrace("sched-start");
    EXPECT_NE(started.find(" ssids=6c6162 "), std::string::npos) << started;
    EXPECT_NE(started.find(" plans=10:3,60 "), std::string::npos) << started;
    EXPECT_NE(started.find(" match=6c6162/-70,/-70"), std::string::npos) << started;

    ASSERT_TRUE(await(EVENT_SCAN_RESULTS)) << ::testing::PrintToString(b.names);
    wpa_scan_results *res = wpa_driver_nl80211_ops.get_scan_results(priv);
    ASSERT_NE(res, nullptr);
    ASSERT_EQ(res->num, 1u);
    EXPECT_EQ(memcmp(res->res[0]->bssid, ap1, 6), 0);
    nl80211_free_scan_results(res);

    clear();
    ASSERT_EQ(wpa_driver_nl80211_ops.stop_sched_scan(priv), 0);
    ASSERT_TRUE(await(EVENT_SCHED_SCAN_STOPPED)) << ::testing::PrintToString(b.names);
    EXPECT_NE(wpa_driver_nl80211_ops.stop_sched_scan(priv), 0); // nothing runs
}

} // namespace
