// The nl80211 back end's own contexts and the functions its files share. The files split
// by concern: driver_nl80211.cpp (request routine, global context, interface life cycle,
// modes, subscriptions, status), _capa (wiphy capabilities, hardware modes), _scan,
// _mlme (authentication, association, keys, port, signal), _event (kernel news and link
// monitoring), _monitor (the monitor interface) and _io (every socket call: the seam that
// unit tests replace).
#pragma once

#include "wireless/core/driver.h"

#include <cstddef>
#include <cstdint>
#include <linux/nl80211.h>
#include <net/if.h>
#include <sys/types.h>

struct nlmsghdr;
struct nl_msg;
struct nlattr;
struct netlink_data;
struct rfkill_data;
struct ifinfomsg;

// ---- The socket seam ----------------------------------------------------------------
// Generic-netlink sockets talk to platform().nl80211Port(); the interface calls act on
// the interface names of the radio. Every call returns 0 / a value, or a negative errno.
struct nl80211_io_ops {
    int (*gnl_open)();                                    // descriptor
    void (*gnl_close)(int fd);                            //
    int (*gnl_send)(int fd, const void *buf, size_t len); // 0
    ssize_t (*gnl_recv)(int fd, void *buf, size_t len);   // bytes; -EAGAIN when none waits (event sockets)
    int (*gnl_join)(int fd, int group);                   // 0
    uint32_t (*gnl_port)(int fd);                         // own port
    int (*gnl_set_nonblock)(int fd, int bufsize);         // 0
    unsigned int (*if_index)(const char *ifname);         // 0 when unknown
    int (*if_set_up)(const char *ifname, int up);         // 0
    int (*if_is_up)(const char *ifname);                  // 1, 0
    int (*if_get_mac)(const char *ifname, uint8_t *addr); // 0
    int (*if_set_mac)(const char *ifname, const uint8_t *addr); // 0
    int (*set_oper)(netlink_data *rtnl, int ifindex, int linkmode, int operstate);
    void (*sleep_ms)(int ms); // the pause between busy interface-type tries
};
const nl80211_io_ops *nl80211_io();
// Puts another seam in place (tests); null restores the real one.
void nl80211_io_set(const nl80211_io_ops *ops);

// Bounded attribute reads: the value, or the default when the attribute is missing or
// shorter than its type.
struct nlattr;
uint8_t nla_u8_or(const nlattr *a, uint8_t def);
uint16_t nla_u16_or(const nlattr *a, uint16_t def);
uint32_t nla_u32_or(const nlattr *a, uint32_t def);
uint64_t nla_u64_or(const nlattr *a, uint64_t def);
// The attribute's 6-byte address, or null.
const uint8_t *nla_addr(const nlattr *a);

// ---- Contexts -----------------------------------------------------------------------
enum scan_states {
    NO_SCAN = 0,
    SCAN_REQUESTED,
    SCAN_STARTED,
    SCAN_COMPLETED,
    SCAN_ABORTED,
    SCHED_SCAN_STARTED,
    SCHED_SCAN_STOPPED,
    SCHED_SCAN_RESULTS,
};

struct nl80211_drv;

struct nl80211_global {
    void *ctx;           // the supplicant's global context
    nl80211_drv *radios; // list
    netlink_data *netlink;
    int nl;       // command socket
    int nl_event; // event socket
    int nl80211_id;
    int ioctl_sock;
    uint32_t seq;
    int if_add_ifindex;
    uint64_t if_add_wdevid;
    int if_add_wdevid_set;
};

// One network interface of the radio (the kernel header owns the name nl80211_bss).
struct nl80211_iface {
    nl80211_drv *drv;
    nl80211_iface *next;
    int ifindex;
    uint64_t wdev_id;
    char ifname[IFNAMSIZ + 1];
    char brname[IFNAMSIZ];
    uint8_t addr[6];
    int freq;
    unsigned int beacon_set : 1;
    unsigned int added_if_into_bridge : 1;
    unsigned int added_bridge : 1;
    unsigned int in_deinit : 1;
    unsigned int wdev_id_set : 1;
    unsigned int if_dynamic : 1;
    int nl_mgmt; // management-frame socket, -1 when closed
    int nl_preq; // probe-request socket
    void *ctx;
};

constexpr int NL80211_EXT_CAPA_TYPES = 11;
constexpr int NL80211_SEND_COOKIES = 20;

struct nl80211_auth_saved {
    int freq;
    uint8_t bssid[6];
    uint8_t ssid[32];
    size_t ssid_len;
    uint8_t *ie;
    size_t ie_len;
    int auth_alg;
    uint8_t wep_key[4][16];
    size_t wep_key_len[4];
    int wep_tx_keyidx;
    int local_state_change;
    int p2p;
};

struct nl80211_iface_ext_capa {
    int iftype;
    uint8_t *ext_capa;
    uint8_t *ext_capa_mask;
    unsigned int ext_capa_len;
};

struct nl80211_drv {
    nl80211_drv *next;
    nl80211_global *global;
    void *ctx; // the supplicant interface events go to
    nl80211_iface *first_bss;
    char phyname[32];
    int wiphy_idx;
    int ifindex;
    uint8_t perm_addr[6];
    wpa_driver_capa capa;
    int has_capability;
    uint8_t *extended_capa, *extended_capa_mask;
    unsigned int extended_capa_len;
    nl80211_iface_ext_capa iface_ext_capa[NL80211_EXT_CAPA_TYPES];
    unsigned int num_iface_ext_capa;
    int nlmode;
    int ap_scan_as_station; // type to restore after a scan, NL80211_IFTYPE_UNSPECIFIED when none
    int operstate;
    scan_states scan_state;
    int last_scan_cmd;
    uint8_t auth_bssid[6], auth_attempt_bssid[6], bssid[6], prev_bssid[6];
    int associated;
    unsigned int assoc_freq;
    uint8_t ssid[32];
    size_t ssid_len;
    int monitor_sock, monitor_ifidx, monitor_refcount;
    int last_mgmt_freq;
    int eapol_tx_sock;
    int eapol_sock; // the access point's EAPOL receive socket
    uint64_t remain_on_chan_cookie;
    uint64_t send_action_cookie;
    uint64_t send_action_cookies[NL80211_SEND_COOKIES];
    unsigned int num_send_action_cookies;
    wpa_driver_scan_filter *filter_ssids;
    size_t num_filter_ssids;
    nl80211_auth_saved auth;
    int auth_saved;
    int *if_indices; // pairs: interface index, its bridge
    size_t num_if_indices, if_indices_cap;
    rfkill_data *rfkill;
    int if_disabled;
    int if_removed;
    int wmm_info_uapsd_present, wmm_info_uapsd;
    unsigned int ignore_if_down_event : 1;
    unsigned int scan_complete_events : 1;
    unsigned int disabled_11b_rates : 1;
    unsigned int pending_remain_on_chan : 1;
    unsigned int in_interface_list : 1;
    unsigned int device_ap_sme : 1;
    unsigned int poll_command_supported : 1;
    unsigned int data_tx_status : 1;
    unsigned int scan_for_auth : 1;
    unsigned int retry_auth : 1;
    unsigned int use_monitor : 1;
    unsigned int ignore_next_local_disconnect : 1;
    unsigned int ignore_next_local_deauth : 1;
    unsigned int apd : 1; // created for the access point
    unsigned int start_mode_ap : 1;
    unsigned int start_iface_up : 1;
    unsigned int test_use_roc_tx : 1;
    unsigned int ignore_deauth_event : 1;
    unsigned int p2p_go_ctwindow_supported : 1;
    unsigned int have_low_prio_scan : 1;
    unsigned int set_rekey_offload : 1;
    unsigned int force_connect_cmd : 1;
    unsigned int no_offchannel_tx : 1;
    unsigned int param_use_monitor : 1; // "use_monitor=1" was given
    unsigned int addr_changed : 1;
    unsigned int reassoc_sent : 1;
    int rrm_flags;
    uint8_t wowlan_triggers[7];
    unsigned int max_csa_counters;
};

// ---- driver_nl80211.cpp -------------------------------------------------------------
using nl80211_handler = int (*)(nlmsghdr *nlh, void *arg);
// Sends the message on the socket and dispatches the answers until an acknowledgement,
// the end of a dump or an error arrives: 0 or the negative error. The message is freed;
// with clear set its payload is overwritten with zeros first (key material).
int send_and_recv_msgs(nl80211_drv *drv, nl_msg *msg, nl80211_handler handler, void *arg, bool clear = false);
int send_and_recv_global(nl80211_global *global, int sock, nl_msg *msg, nl80211_handler handler, void *arg,
                         bool clear = false);
// A command message for the interface (wdev when it has only one, else ifindex); null
// when it cannot be built.
nl_msg *nl80211_cmd_msg(nl80211_iface *bss, int flags, uint8_t cmd);
nl_msg *nl80211_drv_msg(nl80211_drv *drv, int flags, uint8_t cmd);
nl_msg *nl80211_ifindex_msg(nl80211_drv *drv, int ifindex, int flags, uint8_t cmd);
// Parses a generic-netlink message's attributes: 0, or -1 when malformed.
int nl80211_parse(nlmsghdr *nlh, nlattr **tb);
int nl80211_set_mode(nl80211_iface *bss, int nlmode);
int nl80211_set_mode_freq(nl80211_iface *bss, int nlmode, const wpa_freq_params *freq);
void nl80211_mark_disconnected(nl80211_drv *drv);
bool nl80211_is_ap(int nlmode);
bool nl80211_is_sta(int nlmode);
bool nl80211_is_p2p(int nlmode);
int nl80211_finish_drv_init(nl80211_drv *drv, const uint8_t *set_addr, int first, const char *driver_params);
nl80211_drv *nl80211_first_radio(nl80211_global *global);
// Joins the event socket to the family's groups again (failures ignored).
void nl80211_join_groups(nl80211_global *global);
int nl80211_set_param(void *priv, const char *param);
int nl80211_disable_11b_rates(nl80211_drv *drv, int ifindex, int disabled);
int nl80211_status(void *priv, char *buf, size_t buflen);
// The transmit report of an EAPOL frame (Ethernet header first) with its ACK value.
void nl80211_eapol_tx_status(nl80211_drv *drv, const uint8_t *frame, size_t len, int ack);

// ---- driver_nl80211_capa.cpp --------------------------------------------------------
// Reads the radio's capabilities into drv->capa and its flag bits: 0 or -1.
int nl80211_capabilities(nl80211_drv *drv);
hw_mode_info *nl80211_get_hw_feature_data(void *priv, uint16_t *num_modes, uint16_t *flags);
// Parsing parts for tests and fuzzing: one wiphy message into a scratch record, the
// bands of one wiphy message into modes, regulatory rules over modes.
struct wiphy_info_data;
int nl80211_wiphy_info_handler(nlmsghdr *nlh, void *arg);
struct phy_info_arg {
    uint16_t *num_modes;
    hw_mode_info *modes;
    int last_mode, last_chan_idx;
    int failed;
};
int nl80211_phy_info_handler(nlmsghdr *nlh, void *arg);
struct reg_arg {
    hw_mode_info *modes;
    uint16_t num_modes;
};
int nl80211_reg_handler(nlmsghdr *nlh, void *arg);
hw_mode_info *nl80211_postprocess_modes(hw_mode_info *modes, uint16_t *num_modes);
void nl80211_free_hw_features(hw_mode_info *modes, uint16_t num_modes);

// ---- driver_nl80211_scan.cpp --------------------------------------------------------
int nl80211_scan(void *priv, wpa_driver_scan_params *params);
int nl80211_sched_scan(void *priv, wpa_driver_scan_params *params);
int nl80211_stop_sched_scan(void *priv);
int nl80211_abort_scan(void *priv);
wpa_scan_results *nl80211_get_scan_results(void *priv);
void nl80211_scan_timeout(void *eloop_ctx, void *timeout_ctx);
void nl80211_scan_event(nl80211_drv *drv, int aborted, nlattr **tb, int external);
unsigned int nl80211_get_assoc_freq(nl80211_drv *drv);
// One GET_SCAN dump message into the result list (tests and fuzzing).
struct nl80211_bss_info_arg {
    nl80211_drv *drv;
    wpa_scan_results *res;
    unsigned int assoc_freq, ibss_freq;
    uint8_t assoc_bssid[6];
};
int nl80211_bss_info_handler(nlmsghdr *nlh, void *arg);
int nl80211_survey_noise_handler(nlmsghdr *nlh, void *arg);
void nl80211_free_scan_results(wpa_scan_results *res);

// ---- driver_nl80211_mlme.cpp --------------------------------------------------------
int nl80211_authenticate(void *priv, wpa_driver_auth_params *params);
int nl80211_associate(void *priv, wpa_driver_associate_params *params);
int nl80211_deauthenticate(void *priv, const uint8_t *addr, int reason_code);
int nl80211_set_key(void *priv, const char *ifname, wpa_alg alg, const uint8_t *addr, int key_idx, int set_tx,
                    const uint8_t *seq, size_t seq_len, const uint8_t *key, size_t key_len);
int nl80211_get_seqnum(void *priv, const char *ifname, const uint8_t *addr, int idx, uint8_t *seq);
int nl80211_add_pmkid(void *priv, const uint8_t *bssid, const uint8_t *pmkid);
int nl80211_remove_pmkid(void *priv, const uint8_t *bssid, const uint8_t *pmkid);
int nl80211_flush_pmkid(void *priv);
int nl80211_set_supp_port(void *priv, int authorized);
int nl80211_signal_poll(void *priv, wpa_signal_info *si);
int nl80211_get_link_signal(nl80211_drv *drv, wpa_signal_info *sig);
int nl80211_get_link_noise(nl80211_drv *drv, wpa_signal_info *sig);
int nl80211_signal_monitor(void *priv, int threshold, int hysteresis);
int nl80211_get_bssid(void *priv, uint8_t *bssid);
int nl80211_get_ssid(void *priv, uint8_t *ssid);
int nl80211_update_ft_ies(void *priv, const uint8_t *md, const uint8_t *ies, size_t ies_len);
int nl80211_set_wowlan(void *priv, const wowlan_triggers *triggers);
void nl80211_set_rekey_info(void *priv, const uint8_t *kek, size_t kek_len, const uint8_t *kck,
                            size_t kck_len, const uint8_t *replay_ctr);
int nl80211_add_tx_ts(void *priv, uint8_t tsid, const uint8_t *addr, uint8_t user_prio,
                      uint16_t admitted_time);
int nl80211_del_tx_ts(void *priv, uint8_t tsid, const uint8_t *addr);
// Management frames: one frame by NL80211_CMD_FRAME (its cookie out, all ones when no
// acknowledgement was asked for), and an action frame built from its addresses and body.
int nl80211_send_frame_cmd(nl80211_iface *bss, unsigned int freq, unsigned int wait, const uint8_t *buf,
                           size_t len, uint64_t *cookie_out, int no_cck, int no_ack, int offchanok);
int nl80211_send_action(void *priv, unsigned int freq, unsigned int wait, const uint8_t *dst,
                        const uint8_t *src, const uint8_t *bssid, const uint8_t *data, size_t data_len,
                        int no_cck);
int nl80211_set_qos_map(void *priv, const uint8_t *qos_map_set, uint8_t qos_map_set_len);
void nl80211_retry_auth(nl80211_drv *drv);
void nl80211_free_auth_saved(nl80211_drv *drv);

// ---- driver_nl80211_event.cpp -------------------------------------------------------
// Every message of the event socket, and of an interface's own sockets.
int nl80211_process_global_event(nlmsghdr *nlh, void *arg);
int nl80211_process_bss_event(nlmsghdr *nlh, void *arg);
// Walks one received datagram of netlink messages through the handler (tests, fuzzing).
void nl80211_receive_buffer(uint8_t *buf, size_t len, nl80211_handler handler, void *arg);
void nl80211_event_receive(int sock, void *eloop_ctx, void *sock_ctx);
void nl80211_rtm_newlink(void *ctx, ifinfomsg *ifi, uint8_t *buf, size_t len);
void nl80211_rtm_dellink(void *ctx, ifinfomsg *ifi, uint8_t *buf, size_t len);
// The radio's list of (interface index, bridge index) pairs.
void nl80211_add_ifidx(nl80211_drv *drv, int ifindex, int brindex);
void nl80211_del_ifidx(nl80211_drv *drv, int ifindex, int brindex);
bool nl80211_has_ifidx(const nl80211_drv *drv, int ifindex);

// ---- driver_nl80211_monitor.cpp -----------------------------------------------------
int nl80211_create_monitor_interface(nl80211_drv *drv);
void nl80211_remove_monitor_interface(nl80211_drv *drv);
// Injects an 802.11 frame on the monitor socket behind a radiotap header: 0 or -1.
int nl80211_monitor_send(nl80211_drv *drv, const uint8_t *frame, size_t len, int encrypt, int noack);
// One frame of the monitor socket, radiotap header first (tests, fuzzing).
void nl80211_monitor_frame(nl80211_drv *drv, const uint8_t *buf, size_t len);
