// The control interface: unix datagram sockets per interface ("/var/wifi/<ifname>") and
// for the whole supplicant ("/var/wpactrl"), attached monitors and the event lines they
// receive as "<level>text".
#pragma once

#include <cstddef>

struct wpa_iface;
struct wpa_global;
struct wpa_ctrl_iface_priv;
struct wpa_ctrl_iface_global_priv;

// Opens the interface's socket as its configuration's ctrl_interface names it; the state
// exists without a socket when the value is unset. Null on failure.
wpa_ctrl_iface_priv *wpa_ctrl_iface_init(wpa_iface *iface);
void wpa_ctrl_iface_deinit(wpa_iface *iface, wpa_ctrl_iface_priv *priv);
wpa_ctrl_iface_global_priv *wpa_ctrl_iface_global_init(wpa_global *global);
void wpa_ctrl_iface_global_deinit(wpa_ctrl_iface_global_priv *priv);

// The socket descriptor (-1 while closed) and the number of attached monitors.
int wpa_ctrl_iface_sock(const wpa_ctrl_iface_priv *priv);
size_t wpa_ctrl_iface_monitor_count(const wpa_ctrl_iface_priv *priv);

// Sends what waits for the monitors as far as they take it now, without blocking.
void wpa_ctrl_iface_flush(wpa_iface *iface);

// The per-interface and global command processors: the reply and its length; null with
// length 1 answers "FAIL\n".
char *wpa_ctrl_iface_process(wpa_iface *iface, char *buf, size_t *resp_len);
char *wpa_ctrl_iface_global_process(wpa_global *global, char *buf, size_t *resp_len);

// The command word a text matches first (with its trailing blank where it has one);
// null when none does.
const char *wpa_ctrl_iface_match_word(const char *cmd);
