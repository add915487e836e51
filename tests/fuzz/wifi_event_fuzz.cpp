// An event datagram of any bytes, with a scripted supplicant answering the "BSS" query
// with the same bytes: the dispatch, the scan list and the LED stay sound.
#include "net/wifi.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {
std::string reply;
bool pending = false;
int handle;

void *fOpen(const char *) {
    return &handle;
}
void fClose(void *) {}
int fSend(void *, const char *, size_t, int64_t) {
    pending = true;
    return 0;
}
int fRecv(void *, char *buffer, size_t size, int64_t) {
    if (!pending) return -2;
    pending = false;
    size_t n = reply.size() < size ? reply.size() : size;
    memcpy(buffer, reply.data(), n);
    return static_cast<int>(n);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    wlanIo() = WlanIo{fOpen, fClose, fSend, fRecv};
    wlanHooks() = WlanHooks{[](int) {}, [] {}, [] {}, [] { return true; }};
    reply.assign(reinterpret_cast<const char *>(data), size);
    static const char *prefixes[] = {"<3>CTRL-EVENT-BSS-ADDED", "<3>CTRL-EVENT-BSS-REMOVED", ""};
    for (const char *prefix : prefixes) {
        std::string event = std::string(prefix) + reply;
        wlan_dispatch_event(event.data(), event.size());
    }
    std::lock_guard lock(wlanListLock);
    if (wlanBssList.size() > 64) wlanBssList.clear();
    wlanBssCount = static_cast<int>(wlanBssList.size());
    return 0;
}
