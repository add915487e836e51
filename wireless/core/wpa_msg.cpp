#include "wireless/core/wpa_msg.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

int wpa_debug_level = MSG_EXCESSIVE;
int wpa_debug_timestamp = 0;

namespace {

wpa_msg_cb_func msg_cb = nullptr;
wpa_msg_get_ifname_func ifname_cb = nullptr;

const char *const level_names[] = {"EXCESSIVE", "MSGDUMP", "DEBUG", "INFO", "WARNING", "ERROR"};

// Formats the line and hands it to the callback; the text is cleared before it is freed.
void emit(void *ctx, int level, wpa_msg_type type, bool need_cb, const char *fmt, va_list ap) {
    if (need_cb && msg_cb == nullptr) return;
    va_list aq;
    va_copy(aq, ap);
    int len = vsnprintf(nullptr, 0, fmt, aq);
    va_end(aq);
    if (len < 0) return;
    char *buf = static_cast<char *>(malloc(static_cast<size_t>(len) + 1));
    if (buf == nullptr) return;
    vsnprintf(buf, static_cast<size_t>(len) + 1, fmt, ap);
    if (msg_cb != nullptr) msg_cb(ctx, level, type, buf, static_cast<size_t>(len));
    explicit_bzero(buf, static_cast<size_t>(len));
    free(buf);
}

} // namespace

void wpa_msg_register_cb(wpa_msg_cb_func func) {
    msg_cb = func;
}

void wpa_msg_register_ifname_cb(wpa_msg_get_ifname_func func) {
    ifname_cb = func;
}

const char *wpa_msg_ifname(void *ctx) {
    return ifname_cb && ctx ? ifname_cb(ctx) : nullptr;
}

#define EMIT(type, need_cb)                                                                                  \
    va_list ap;                                                                                              \
    va_start(ap, fmt);                                                                                       \
    emit(ctx, level, type, need_cb, fmt, ap);                                                                \
    va_end(ap)

void wpa_msg_iface(void *ctx, int level, const char *fmt, ...) {
    EMIT(WPA_MSG_PER_INTERFACE, false);
}

void wpa_msg_iface_ctrl(void *ctx, int level, const char *fmt, ...) {
    EMIT(WPA_MSG_PER_INTERFACE, true);
}

void wpa_msg_global(void *ctx, int level, const char *fmt, ...) {
    EMIT(WPA_MSG_GLOBAL, false);
}

void wpa_msg_global_ctrl(void *ctx, int level, const char *fmt, ...) {
    EMIT(WPA_MSG_GLOBAL, true);
}

void wpa_msg_iface_only(void *ctx, int level, const char *fmt, ...) {
    EMIT(WPA_MSG_ONLY_IFNAME, false);
}

const char *debug_level_str(int level) {
    if (level < 0 || level > MSG_ERROR) return "?";
    return level_names[level];
}

int debug_level_from_str(const char *s) {
    for (int i = 0; i <= MSG_ERROR; i++)
        if (strcasecmp(s, level_names[i]) == 0) return i;
    return -1;
}
