// Pre-authentication over real 0x88C7 packet sockets, in a network namespace of its own
// with a veth pair: the station side on pa0 with the RSN supplicant and the core's
// socket and EAPOL glue, the AP side on pa1 as a raw socket. The EAPOL-Start goes to the
// pre-authentication BSSID, only that BSSID's requests are answered, an EAP success
// caches the key for that BSSID, a failure caches nothing, both close the sockets, and a
// second start while one runs is refused; silence ends a run after 60 s, and so does
// association with the target or disassociation.
#include "rsn_fixture.h"

#include "wireless/core/config.h"
#include "wireless/core/preauth_glue.h"
#include "wireless/eap/eap_methods.h"
#include "wireless/eap/eapol_supp_sm.h"
#include "wireless/eap/ms_funcs.h"

#include <arpa/inet.h>
#include <cstdio>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const Bytes station = unhex("02000000ff00");
const Bytes target = unhex("020000000a02");
const Bytes stranger = unhex("020000000a09");

void stop(void *, void *) {
    eloop_terminate();
}

// Lets the event loop deliver what is queued on the sockets.
void pump() {
    eloop_register_timeout(0, 200000, stop, nullptr, nullptr);
    eloop_run();
}

struct ApSide {
    int fd = -1;
    bool open() {
        fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_RSN_PREAUTH));
        if (fd < 0) return false;
        sockaddr_ll ll{};
        ll.sll_family = AF_PACKET;
        ll.sll_protocol = htons(ETH_P_RSN_PREAUTH);
        ll.sll_ifindex = static_cast<int>(if_nametoindex("pa1"));
        return bind(fd, reinterpret_cast<sockaddr *>(&ll), sizeof(ll)) == 0;
    }
    // The next frame the station sent (with its Ethernet header), empty when none came
    // within the wait.
    Bytes next(int wait_ms = 2000) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, wait_ms) <= 0) return {};
        uint8_t buf[2400];
        const ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        return n > 0 ? Bytes(buf, buf + n) : Bytes();
    }
    // An EAPOL frame of `type` with the body, from `src` to the station.
    bool send(const Bytes &src, uint8_t type, const Bytes &body) {
        Bytes f = station;
        f.insert(f.end(), src.begin(), src.end());
        f.push_back(static_cast<uint8_t>(ETH_P_RSN_PREAUTH >> 8));
        f.push_back(static_cast<uint8_t>(ETH_P_RSN_PREAUTH & 0xff));
        f.insert(f.end(),
                 {2, type, static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())});
        f.insert(f.end(), body.begin(), body.end());
        sockaddr_ll ll{};
        ll.sll_family = AF_PACKET;
        ll.sll_ifindex = static_cast<int>(if_nametoindex("pa1"));
        ll.sll_halen = 6;
        return sendto(fd, f.data(), f.size(), 0, reinterpret_cast<sockaddr *>(&ll), sizeof(ll)) ==
               static_cast<ssize_t>(f.size());
    }
};

bool has_line(const FakeCore &core, const std::string &line) {
    return std::find(core.lines.begin(), core.lines.end(), line) != core.lines.end();
}

#define CHECK(cond, code)                                                                                    \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            std::fprintf(stderr, "check failed: %s\n", #cond);                                               \
            return code;                                                                                     \
        }                                                                                                    \
    } while (0)

// The whole run in the child; 0 when every check holds, else the number of the first
// that failed (100 and more: the namespace could not be set up).
Bytes eap_request(uint8_t id, uint8_t type, const Bytes &payload) {
    const size_t len = 5 + payload.size();
    Bytes r = {1, id, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len), type};
    r.insert(r.end(), payload.begin(), payload.end());
    return r;
}

Bytes mschapv2_request(uint8_t id, uint8_t op, const Bytes &data) {
    Bytes payload = {op, 0x42, static_cast<uint8_t>((4 + data.size()) >> 8),
                     static_cast<uint8_t>(4 + data.size())};
    payload.insert(payload.end(), data.begin(), data.end());
    return eap_request(id, EAP_TYPE_MSCHAPV2, payload);
}

// The EAP packet of a frame the station sent, empty when the frame is not an EAP-Packet
// for `dest` over 0x88C7.
Bytes eap_of(const Bytes &frame, const Bytes &dest) {
    if (frame.size() < 18 || Bytes(frame.begin(), frame.begin() + 6) != dest || frame[12] != 0x88 ||
        frame[13] != 0xc7 || frame[15] != IEEE802_1X_TYPE_EAP_PACKET)
        return {};
    return Bytes(frame.begin() + 18, frame.end());
}

std::string hex_upper(const uint8_t *p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        std::snprintf(b, sizeof(b), "%02X", p[i]);
        s += b;
    }
    return s;
}

// The whole run in the child; 0 when every check holds, else the number of the first
// that failed (100 and more: the namespace could not be set up).
int run_child() {
    if (unshare(CLONE_NEWNET) != 0) return 101;
    if (system("ip link add pa0 type veth peer name pa1 && ip link set pa0 address 02:00:00:00:ff:00 && "
               "ip link set pa0 up && ip link set pa1 up") != 0)
        return 102;
    eloop_init();
    eap_peer_methods_unregister_all();
    if (eap_peer_register_methods() != 0) return 103;
    FakeCore core;
    line_sink = &core.lines;
    wpa_msg_register_cb(capture_line);
    rsn_supplicant *sm = wpa_sm_create(make_ops(&core));
    if (sm == nullptr) return 104;
    wpa_sm_store_own_addr(sm, station.data());
    wpa_sm_store_ifnames(sm, "pa0", nullptr);
    rsn_eapol_ops ops{};
    ops.get_key = eapol_supp_get_key;
    ops.status_text = eapol_supp_status_text;
    ops.preauth_begin = supplicant_preauth_begin;
    ops.preauth_end = supplicant_preauth_end;
    wpa_sm_attach_eapol(sm, nullptr, &ops);
    wpa_config *conf = wpa_config_alloc_empty("/var/wifi", nullptr);
    wpa_network *net = wpa_config_add_network(conf);
    wpa_config_set_network_defaults(net);
    if (wpa_config_set_network_field(net, "eap", "MSCHAPV2", 0) != 0 ||
        wpa_config_set_network_field(net, "identity", "\"User\"", 0) != 0 ||
        wpa_config_set_network_field(net, "password", "\"clientPass\"", 0) != 0)
        return 105;
    ApSide ap;
    if (!ap.open()) return 106;

    // Start: EAPOL-Starts to the target over 0x88C7, 5 s apart.
    CHECK(rsn_ctrl_preauth(sm, "02:00:00:00:0a:02", net) == 0, 1);
    CHECK(sm->preauth_running && sm->l2_preauth != nullptr && sm->l2_preauth_br == nullptr, 2);
    CHECK(has_line(core, "RSN: starting pre-authentication with 02:00:00:00:0a:02"), 3);
    // The first EAPOL-Start follows a short wait for the authenticator: two ticks of the
    // port timer.
    eapol_supp_timer_tick(sm->preauth_eapol);
    eapol_supp_timer_tick(sm->preauth_eapol);
    Bytes start = ap.next();
    CHECK(start.size() >= 18, 4);
    CHECK(Bytes(start.begin(), start.begin() + 6) == target, 5);
    CHECK(start[12] == 0x88 && start[13] == 0xc7 && start[15] == IEEE802_1X_TYPE_EAPOL_START, 6);
    eapol_supp_view view{};
    eapol_supp_get_view(sm->preauth_eapol, &view);
    CHECK(view.startWhen == 5 && view.portValid, 7);
    CHECK(eloop_is_timeout_registered(rsn_preauth_timeout, sm, nullptr), 8);
    CHECK(rsn_preauth_start(sm, stranger.data(), net) == -1, 9);
    char status[512];
    CHECK(rsn_preauth_status_text(sm, status, sizeof status, 0) > 0 &&
              std::string(status).rfind("Pre-authentication EAPOL state machines:\n", 0) == 0,
          10);

    // An identity request from another address is not answered; the target's is.
    const Bytes identity_req = eap_request(1, EAP_TYPE_IDENTITY, {});
    CHECK(ap.send(stranger, IEEE802_1X_TYPE_EAP_PACKET, identity_req), 11);
    pump();
    CHECK(ap.next(200).empty(), 12);
    CHECK(ap.send(target, IEEE802_1X_TYPE_EAP_PACKET, identity_req), 13);
    pump();
    CHECK(eap_of(ap.next(), target) == (Bytes{2, 1, 0, 9, EAP_TYPE_IDENTITY, 'U', 's', 'e', 'r'}), 14);

    // MSCHAPv2 to the end: the key becomes the PMK of a cache entry for the target.
    const Bytes auth_challenge = unhex("5B5D7C7D7B3F2F3E3C2C602132262628");
    Bytes chal = {16};
    chal.insert(chal.end(), auth_challenge.begin(), auth_challenge.end());
    chal.insert(chal.end(), {'s', 'r', 'v'});
    CHECK(ap.send(target, IEEE802_1X_TYPE_EAP_PACKET, mschapv2_request(2, 1, chal)), 15);
    pump();
    const Bytes resp = eap_of(ap.next(), target);
    CHECK(resp.size() == 5u + 54 + 4 && resp[5] == 2, 16);
    const uint8_t *peer_challenge = resp.data() + 10;
    const uint8_t *nt = resp.data() + 34;
    const uint8_t user[] = {'U', 's', 'e', 'r'};
    const uint8_t pw[] = {'c', 'l', 'i', 'e', 'n', 't', 'P', 'a', 's', 's'};
    uint8_t auth[20];
    generate_authenticator_response(pw, sizeof pw, peer_challenge, auth_challenge.data(), user, sizeof user,
                                    nt, auth);
    const std::string s = "S=" + hex_upper(auth, 20) + " M=ok";
    CHECK(ap.send(target, IEEE802_1X_TYPE_EAP_PACKET, mschapv2_request(3, 3, Bytes(s.begin(), s.end()))), 17);
    pump();
    CHECK(eap_of(ap.next(), target) == (Bytes{2, 3, 0, 6, EAP_TYPE_MSCHAPV2, 3}), 18);
    CHECK(ap.send(target, IEEE802_1X_TYPE_EAP_PACKET, {3, 3, 0, 4}), 19);
    pump();
    CHECK(has_line(core, "RSN: pre-authentication with 02:00:00:00:0a:02 completed successfully"), 20);
    uint8_t hash[16], hash_hash[16], master[16], msk[32];
    nt_password_hash(pw, sizeof pw, hash);
    hash_nt_password_hash(hash, hash_hash);
    get_master_key(hash_hash, nt, master);
    get_asymetric_start_key(master, msk, 16, 1, 0);
    get_asymetric_start_key(master, msk + 16, 16, 0, 0);
    const pmksa_entry *e = pmksa_cache_find(sm->pmksa, target.data(), nullptr, nullptr);
    CHECK(e != nullptr && e->pmk_len == 32 && std::memcmp(e->pmk, msk, 32) == 0, 21);
    CHECK(e->akmp == WPA_KEY_MGMT_IEEE8021X, 22);
    CHECK(!sm->preauth_running && sm->l2_preauth == nullptr && sm->preauth_eapol == nullptr, 23);
    CHECK(!eloop_is_timeout_registered(rsn_preauth_timeout, sm, nullptr), 24);

    // Towards another AP a failure ends the run with nothing cached for it.
    CHECK(rsn_ctrl_preauth(sm, "02:00:00:00:0a:09", net) == 0, 25);
    CHECK(sm->l2_preauth != nullptr, 26);
    CHECK(ap.send(stranger, IEEE802_1X_TYPE_EAP_PACKET, identity_req), 27);
    pump();
    CHECK(eap_of(ap.next(), stranger).size() == 9, 28);
    CHECK(ap.send(stranger, IEEE802_1X_TYPE_EAP_PACKET, {4, 1, 0, 4}), 29);
    pump();
    CHECK(has_line(core, "RSN: pre-authentication with 02:00:00:00:0a:09 failed"), 30);
    CHECK(!sm->preauth_running && sm->l2_preauth == nullptr, 31);
    CHECK(pmksa_cache_find(sm->pmksa, stranger.data(), nullptr, nullptr) == nullptr, 32);

    // No answer: the run ends after 60 s and the sockets close.
    CHECK(rsn_ctrl_preauth(sm, "02:00:00:00:0a:02", net) == 0, 35);
    eloop_run_due(59, 0);
    CHECK(sm->preauth_running, 36);
    eloop_run_due(1, 0);
    CHECK(has_line(core, "RSN: pre-authentication with 02:00:00:00:0a:02 timed out"), 37);
    CHECK(!sm->preauth_running && sm->l2_preauth == nullptr && sm->preauth_eapol == nullptr, 38);

    // Associating with the target, or losing the association, stops a run.
    CHECK(rsn_ctrl_preauth(sm, "02:00:00:00:0a:02", net) == 0, 39);
    wpa_sm_on_associated(sm, target.data());
    CHECK(!sm->preauth_running && sm->l2_preauth == nullptr, 40);
    CHECK(rsn_ctrl_preauth(sm, "02:00:00:00:0a:09", net) == 0, 41);
    wpa_sm_on_disassociated(sm);
    CHECK(!sm->preauth_running && sm->l2_preauth == nullptr, 42);
    CHECK(!eloop_is_timeout_registered(rsn_preauth_timeout, sm, nullptr), 43);

    // A bridge that does not exist: the start fails with nothing left open.
    wpa_sm_store_ifnames(sm, "pa0", "nobr0");
    CHECK(rsn_preauth_start(sm, stranger.data(), net) == -2, 33);
    CHECK(!sm->preauth_running && sm->l2_preauth == nullptr && sm->l2_preauth_br == nullptr, 34);

    wpa_sm_destroy(sm);
    wpa_config_free(conf);
    wpa_msg_register_cb(nullptr);
    close(ap.fd);
    return 0;
}

TEST(PreauthSockets, RunTowardsTheTargetOverPacketSockets) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(run_child());
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) >= 100) GTEST_SKIP() << "no network namespace (" << WEXITSTATUS(status) << ")";
    EXPECT_EQ(0, WEXITSTATUS(status)) << "the check with this number failed";
}

} // namespace
