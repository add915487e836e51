// Runs the nl80211 back end on an interface inside a namespace, for the system tests
// (its generic-netlink peer comes from QMR_NL80211_PORT). Every event is printed as
// "EVENT NAME [details]"; one command a line on standard input:
//   scan                          starts a scan                        → OK | FAIL err
//   results                       "BSS bssid freq level age ies beacon_ies" lines, END
//   auth BSSID FREQ SSID          open authentication                  → OK | FAIL err
//   assoc BSSID FREQ SSID         association (or connect) on an open network
//   deauth BSSID REASON           leaves the network
//   port 0|1                      closes or opens the 802.1X port
//   signal                        "SIGNAL signal txrate noise freq"
//   status                        the status text, END
// Standard input closing ends the run.
#include "wireless/common/ieee802_11_common.h"
#include "wireless/core/driver.h"
#include "wireless/core/eloop.h"
#include "wireless/drivers/driver_nl80211.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

void *priv = nullptr;
std::string pending;

void print_mac(const uint8_t *a) {
    if (a) printf(" %02x:%02x:%02x:%02x:%02x:%02x", a[0], a[1], a[2], a[3], a[4], a[5]);
}

void print_event(void *, wpa_event_type event, const wpa_event_data *data) {
    printf("EVENT %s", event_to_string(event));
    if (data) {
        switch (event) {
        case EVENT_SCAN_RESULTS:
            printf(" aborted=%d external=%d", data->scan_info.aborted, data->scan_info.external_scan);
            break;
        case EVENT_AUTH:
            print_mac(data->auth.peer);
            printf(" status=%u", data->auth.status_code);
            break;
        case EVENT_ASSOC:
            printf(" freq=%u", data->assoc_info.freq);
            break;
        case EVENT_ASSOC_REJECT:
            printf(" status=%u", data->assoc_reject.status_code);
            break;
        case EVENT_DEAUTH:
        case EVENT_DISASSOC:
            print_mac(data->deauth_info.addr);
            printf(" reason=%u local=%d", data->deauth_info.reason_code, data->deauth_info.locally_generated);
            break;
        case EVENT_AUTH_TIMED_OUT:
        case EVENT_ASSOC_TIMED_OUT:
            print_mac(data->timeout_event.addr);
            break;
        default:
            break;
        }
    }
    printf("\n");
    fflush(stdout);
}

bool parse_mac(const char *s, uint8_t *a) {
    unsigned v[6];
    if (sscanf(s, "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6) return false;
    for (int i = 0; i < 6; i++)
        a[i] = static_cast<uint8_t>(v[i]);
    return true;
}

void result(int ret) {
    if (ret == 0)
        printf("OK\n");
    else
        printf("FAIL %d\n", ret);
}

void command(const char *line) {
    const wpa_driver_ops &ops = wpa_driver_nl80211_ops;
    char word[32] = "", a1[64] = "", a3[64] = "";
    int n = 0;
    sscanf(line, "%31s %63s %d %63s", word, a1, &n, a3);
    uint8_t mac[6] = {};
    std::string cmd = word;
    if (cmd == "scan") {
        wpa_driver_scan_params p{};
        result(ops.scan(priv, &p));
    } else if (cmd == "results") {
        wpa_scan_results *res = ops.get_scan_results(priv);
        for (size_t i = 0; res && i < res->num; i++) {
            const wpa_scan_res *r = res->res[i];
            printf("BSS");
            print_mac(r->bssid);
            printf(" %d %d %u %zu %zu\n", r->freq, r->level, r->age, r->ie_len, r->beacon_ie_len);
        }
        if (res) {
            for (size_t i = 0; i < res->num; i++)
                free(res->res[i]);
            free(res->res);
            free(res);
        }
        printf("END\n");
    } else if ((cmd == "auth" || cmd == "assoc") && parse_mac(a1, mac)) {
        if (cmd == "auth") {
            wpa_driver_auth_params p{};
            p.bssid = mac;
            p.freq = n;
            p.ssid = reinterpret_cast<const uint8_t *>(a3);
            p.ssid_len = strlen(a3);
            p.auth_alg = WPA_AUTH_ALG_OPEN;
            result(ops.authenticate(priv, &p));
        } else {
            wpa_driver_associate_params p{};
            p.bssid = mac;
            p.freq.freq = n;
            p.ssid = reinterpret_cast<const uint8_t *>(a3);
            p.ssid_len = strlen(a3);
            p.bg_scan_period = -1;
            p.pairwise_suite = WPA_CIPHER_NONE;
            p.group_suite = WPA_CIPHER_NONE;
            p.key_mgmt_suite = WPA_KEY_MGMT_NONE;
            p.auth_alg = WPA_AUTH_ALG_OPEN;
            result(ops.associate(priv, &p));
        }
    } else if (cmd == "deauth" && parse_mac(a1, mac)) {
        result(ops.deauthenticate(priv, mac, n));
    } else if (cmd == "port") {
        result(ops.set_supp_port(priv, atoi(a1)));
    } else if (cmd == "signal") {
        wpa_signal_info si{};
        int ret = ops.signal_poll(priv, &si);
        if (ret)
            result(ret);
        else
            printf("SIGNAL %d %d %d %u\n", si.current_signal, si.current_txrate, si.current_noise,
                   si.frequency);
    } else if (cmd == "status") {
        char buf[4096];
        int len = ops.status(priv, buf, sizeof(buf));
        fwrite(buf, 1, static_cast<size_t>(len), stdout);
        printf("END\n");
    } else {
        printf("FAIL unknown\n");
    }
    fflush(stdout);
}

void stdin_readable(int fd, void *, void *) {
    char buf[512];
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n <= 0) {
        eloop_terminate();
        return;
    }
    pending.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        command(line.c_str());
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: nl80211_driver IFNAME\n");
        return 2;
    }
    eloop_init();
    supplicant_event_set_observer(print_event);
    const wpa_driver_ops &ops = wpa_driver_nl80211_ops;
    int token = 0;
    void *global = ops.global_init(&token);
    if (global == nullptr) {
        printf("FAIL global_init\n");
        return 1;
    }
    priv = ops.init2(&token, argv[1], global);
    if (priv == nullptr) {
        printf("FAIL init\n");
        ops.global_deinit(global);
        return 1;
    }
    printf("READY\n");
    fflush(stdout);
    eloop_register_read_sock(STDIN_FILENO, stdin_readable, nullptr, nullptr);
    eloop_run();
    eloop_unregister_read_sock(STDIN_FILENO);
    ops.deinit(priv);
    ops.global_deinit(global);
    eloop_destroy();
    return 0;
}
