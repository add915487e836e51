// Event lines: every part of the supplicant reports an event through these emitters;
// the control interface routes them to its monitors.
#pragma once

#include <cstddef>
#include <cstdint>

enum { MSG_EXCESSIVE = 0, MSG_MSGDUMP, MSG_DEBUG, MSG_INFO, MSG_WARNING, MSG_ERROR };

enum wpa_msg_type {
    WPA_MSG_PER_INTERFACE = 0,
    WPA_MSG_GLOBAL = 1,
    WPA_MSG_ONLY_IFNAME = 2,
};

using wpa_msg_cb_func = void (*)(void *ctx, int level, wpa_msg_type type, const char *txt, size_t len);
using wpa_msg_get_ifname_func = const char *(*)(void *ctx);

void wpa_msg_register_cb(wpa_msg_cb_func func);
void wpa_msg_register_ifname_cb(wpa_msg_get_ifname_func func);
const char *wpa_msg_ifname(void *ctx);

void wpa_msg_iface(void *ctx, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void wpa_msg_iface_ctrl(void *ctx, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void wpa_msg_global(void *ctx, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void wpa_msg_global_ctrl(void *ctx, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void wpa_msg_iface_only(void *ctx, int level, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

const char *debug_level_str(int level);
int debug_level_from_str(const char *s);

// Process-wide debug level and timestamp flag that LOG_LEVEL shows and sets.
extern int wpa_debug_level;
extern int wpa_debug_timestamp;
