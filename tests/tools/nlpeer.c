/* nlpeer: makes a libnl program (iw) talk to nlsim instead of the kernel.
 *
 * iw has no option for the peer of its generic-netlink socket. Loaded with
 * LD_PRELOAD, this library wraps genl_connect: after the real connect it sets the
 * socket's peer port to QMR_NL80211_PORT, so every request, the family lookup
 * included, goes to that port, and the answers and events come back from it.
 * Without the variable (or with 0) the kernel stays the peer. */
#include <dlfcn.h>
#include <stdint.h>
#include <stdlib.h>

struct nl_sock;
extern void nl_socket_set_peer_port(struct nl_sock *sk, uint32_t port);

int genl_connect(struct nl_sock *sk) {
    int (*real)(struct nl_sock *) = (int (*)(struct nl_sock *))dlsym(RTLD_NEXT, "genl_connect");
    if (real == NULL) return -1;
    int rc = real(sk);
    const char *text = getenv("QMR_NL80211_PORT");
    if (rc == 0 && text != NULL && *text != '\0') {
        char *end = NULL;
        unsigned long port = strtoul(text, &end, 10);
        if (*end == '\0' && port <= UINT32_MAX) nl_socket_set_peer_port(sk, (uint32_t)port);
    }
    return rc;
}
