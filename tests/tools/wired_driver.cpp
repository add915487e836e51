// Runs one side of the wired 802.1X back end on an interface inside a namespace, for
// the system tests: "sta IFNAME" joins the PAE group until standard input closes, "ap
// IFNAME" prints every event the access-point side raises as "EVENT NAME addr [data]",
// "operstate IFNAME up|dormant" sets the link's operational state through rtnetlink,
// "bridge add|del BRIDGE", "bridge addif|delif BRIDGE IFNAME" and "bridge of IFNAME" run
// the bridge helpers and print "OK", the bridge and master names, or "FAILED".
#include "wireless/core/driver.h"
#include "wireless/core/eloop.h"
#include "wireless/drivers/driver_wired.h"
#include "wireless/drivers/linux_ioctl.h"

#include <net/if.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

void print_event(void *, wpa_event_type event, const wpa_event_data *data) {
    const uint8_t *a = nullptr;
    if (event == EVENT_NEW_STA)
        a = data->new_sta.addr;
    else if (event == EVENT_EAPOL_RX)
        a = data->eapol_rx.src;
    printf("EVENT %s", event_to_string(event));
    if (a) printf(" %02x:%02x:%02x:%02x:%02x:%02x", a[0], a[1], a[2], a[3], a[4], a[5]);
    if (event == EVENT_EAPOL_RX) {
        printf(" ");
        // The frame may carry Ethernet padding; the EAPOL header gives the body's length.
        size_t len = data->eapol_rx.data_len;
        if (len >= 4) {
            size_t body = (size_t(data->eapol_rx.data[2]) << 8) | data->eapol_rx.data[3];
            if (4 + body < len) len = 4 + body;
        }
        for (size_t i = 0; i < len; i++)
            printf("%02x", data->eapol_rx.data[i]);
    }
    printf("\n");
    fflush(stdout);
}

void *ap_priv = nullptr;
uint8_t own[6];

// "SEND aa:bb:cc:dd:ee:ff HEX" on the access-point side sends an EAPOL frame to a station.
void stdin_readable(int fd, void *, void *) {
    char buf[512];
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    if (n <= 0) {
        eloop_terminate();
        return;
    }
    buf[n] = '\0';
    unsigned a[6];
    char hex[400];
    if (ap_priv &&
        sscanf(buf, "SEND %x:%x:%x:%x:%x:%x %399s", &a[0], &a[1], &a[2], &a[3], &a[4], &a[5], hex) == 7) {
        uint8_t sta[6], body[200];
        for (int i = 0; i < 6; i++)
            sta[i] = static_cast<uint8_t>(a[i]);
        size_t len = strlen(hex) / 2;
        if (len > sizeof(body)) len = sizeof(body);
        for (size_t i = 0; i < len; i++)
            sscanf(hex + 2 * i, "%2hhx", &body[i]);
        int res = wpa_driver_wired_ops.ap_send_eapol(ap_priv, sta, body, len, 0, own, 0);
        printf("SENT %d\n", res);
        fflush(stdout);
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "operstate") == 0) {
        eloop_init();
        netlink_config cfg{};
        netlink_data *nl = netlink_init(&cfg);
        bool up = strcmp(argv[3], "up") == 0;
        int ok = nl && netlink_send_oper_ifla(nl, static_cast<int>(if_nametoindex(argv[2])), up ? 0 : 1,
                                              up ? 6 : 5) == 0;
        netlink_deinit(nl);
        eloop_destroy();
        printf(ok ? "READY\n" : "FAILED\n");
        return ok ? 0 : 1;
    }
    if (argc >= 4 && strcmp(argv[1], "bridge") == 0) {
        int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int res = -1;
        const char *op = argv[2];
        if (strcmp(op, "add") == 0 && argc == 4)
            res = linux_br_add(sock, argv[3]);
        else if (strcmp(op, "del") == 0 && argc == 4)
            res = linux_br_del(sock, argv[3]);
        else if (strcmp(op, "addif") == 0 && argc == 5)
            res = linux_br_add_if(sock, argv[3], argv[4]);
        else if (strcmp(op, "delif") == 0 && argc == 5)
            res = linux_br_del_if(sock, argv[3], argv[4]);
        else if (strcmp(op, "of") == 0 && argc == 4) {
            char br[16] = "", master[16] = "";
            int b = linux_br_get(br, argv[3]);
            int m = linux_master_get(master, argv[3]);
            printf("bridge %s master %s\n", b == 0 ? br : "-", m == 0 ? master : "-");
            res = 0;
        }
        if (sock >= 0) close(sock);
        if (strcmp(op, "of") != 0) printf(res == 0 ? "OK\n" : "FAILED\n");
        return res == 0 ? 0 : 1;
    }
    if (argc != 3 || (strcmp(argv[1], "sta") != 0 && strcmp(argv[1], "ap") != 0)) {
        fprintf(stderr, "usage: wired_driver sta|ap IFNAME | operstate IFNAME up|dormant | bridge ...\n");
        return 2;
    }
    eloop_init();
    supplicant_event_set_observer(print_event);
    bool ap = strcmp(argv[1], "ap") == 0;
    void *priv;
    if (ap) {
        wpa_init_params params{};
        params.ifname = argv[2];
        params.own_addr = own;
        priv = ap_priv = wpa_driver_wired_ops.ap_init(nullptr, &params);
    } else {
        priv = wpa_driver_wired_ops.init(nullptr, argv[2]);
    }
    if (priv == nullptr) {
        printf("FAILED\n");
        return 1;
    }
    printf("READY\n");
    fflush(stdout);
    eloop_register_read_sock(0, stdin_readable, nullptr, nullptr);
    eloop_run();
    if (ap)
        wpa_driver_wired_ops.ap_deinit(priv);
    else
        wpa_driver_wired_ops.deinit(priv);
    eloop_destroy();
    return 0;
}
