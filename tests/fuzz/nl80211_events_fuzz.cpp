// Kernel news per radio state: multicast events and an interface's own frames, with the
// commands and attributes the input chooses; every handler stays within its message.
#include "nl80211_fuzz_env.h"

#include <netlink/msg.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    fuzzenv::Radio *r = fuzzenv::radio(data[0]);
    bool own_socket = false;
    fuzzenv::each_message(data + 1, size - 1, [&](nlmsghdr *h) {
        // Alternate between the event socket and the interface's management socket.
        if (own_socket)
            nl80211_process_bss_event(h, &r->bss);
        else
            nl80211_process_global_event(h, &r->global);
        own_socket = !own_socket;
    });
    fuzzenv::release(r);
    return 0;
}
