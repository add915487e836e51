// The supplicant's start routine, its global and per-interface contexts and their life
// cycle. Everything here runs on the thread of the task "Supplicant".
#pragma once

#include "wireless/core/config.h"
#include "wireless/core/driver.h"
#include "wireless/core/os.h"

#include <cstddef>
#include <cstdint>

struct wpa_ctrl_iface_priv;
struct wpa_ctrl_iface_global_priv;
struct l2_packet_data;
struct eapol_supp_sm;
struct rsn_supplicant;

enum wpa_states {
    WPA_DISCONNECTED = 0,
    WPA_INTERFACE_DISABLED,
    WPA_INACTIVE,
    WPA_SCANNING,
    WPA_AUTHENTICATING,
    WPA_ASSOCIATING,
    WPA_ASSOCIATED,
    WPA_4WAY_HANDSHAKE,
    WPA_GROUP_HANDSHAKE,
    WPA_COMPLETED,
};

const char *supplicant_state_txt(int state);

struct wpa_params {
    int debug_level;
    char *ctrl_interface; // global control socket path
    char *ctrl_interface_group;
    char *override_driver;
    char *override_ctrl_interface;
    char *entropy_file;
    char *conf_p2p_dev;
};

struct wpa_iface_params {
    const char *confname;
    const char *confanother;
    const char *ctrl_interface;
    const char *driver;
    const char *driver_param;
    const char *ifname;
    const char *bridge_ifname;
    int p2p_mgmt;
};

struct wpa_iface;

struct wpa_global {
    wpa_iface *ifaces; // newest first
    wpa_params params;
    wpa_ctrl_iface_global_priv *ctrl_iface;
    void **drv_priv; // one per entry of the driver list, filled on first use
    size_t drv_count;
    // P2P state of the process, owned by the P2P module: the interface that initialised
    // it, the one forming a group and the one of a pending invitation.
    void *p2p;
    wpa_iface *p2p_init_iface;
    wpa_iface *p2p_group_formation;
    wpa_iface *p2p_invite_group;
    os_reltime suspend_time;
    int conc_pref;
};

struct radio_work;
struct wpa_bss;
struct wpa_buf;
struct hw_mode_info;

// Bit of wpa_radio::flags: a scan that this supplicant did not request runs on the radio.
constexpr unsigned int RADIO_EXTERNAL_SCAN_RUNNING = 0x1;

struct wpa_radio {
    char name[16];
    wpa_iface *ifaces;
    unsigned int flags;
    unsigned int num_active_works;
    radio_work *works; // queue order
};

struct wpa_iface {
    wpa_global *global;
    wpa_radio *radio;
    wpa_iface *radio_next;
    wpa_iface *parent;
    wpa_iface *p2pdev;
    wpa_iface *next;

    uint8_t own_addr[6];
    uint8_t perm_addr[6];
    // A random address in use instead of the permanent one, with when and in which style
    // (1 fully random, 2 the permanent OUI kept) it was chosen.
    int mac_addr_changed;
    os_reltime last_mac_addr_change;
    int last_mac_addr_style;
    char ifname[100];
    char bridge_ifname[16];
    char *confname;
    char *confanother;
    wpa_config *conf;

    uint8_t bssid[6];
    uint8_t pending_bssid[6];
    int reassociate;
    int disconnected;
    wpa_network *current_ssid;
    wpa_network *prev_ssid;
    int assoc_freq;
    int pairwise_cipher, group_cipher, key_mgmt, wpa_proto, mgmt_group_cipher;

    void *drv_priv;
    void *global_drv_priv;
    const wpa_driver_ops *driver;
    int ap_scan_disabled;

    wpa_ctrl_iface_priv *ctrl_iface;
    int wpa_state;

    int scan_req;
    int new_connection;
    int scan_interval;
    int auto_reconnect_disabled;
    int disabled_by_command;

    int drv_capa_known;
    wpa_driver_capa drv_capa;
    uint64_t drv_flags;
    unsigned int max_remain_on_chan;
    unsigned int num_multichan_concurrent;
    int p2p_mgmt;

    // Hardware modes of the radio as the driver reported them.
    hw_mode_info *hw_modes;
    uint16_t num_hw_modes;
    int max_chwidth_capa; // 0 none, 1 HT, 2 HT40, 3 VHT

    // Radio works of this interface (radio_work.h).
    radio_work *scan_work;
    radio_work *p2p_scan_work;
    radio_work *connect_work;
    int ext_work_in_progress;

    // The BSS table (bss.h): update order (newest last) and id order.
    wpa_bss *bss_first, *bss_last;
    wpa_bss *bss_id_first, *bss_id_last;
    unsigned int num_bss;
    unsigned int bss_next_id;
    unsigned int bss_update_idx;
    wpa_bss **last_scan_res;
    unsigned int last_scan_res_used;
    unsigned int last_scan_res_size;
    os_reltime last_scan;
    wpa_bss *current_bss;
    uint8_t *bssid_filter;
    size_t bssid_filter_count;

    // Scanning (scan.h).
    int scan_req_running; // kind of the running scan
    unsigned int scan_run_count;
    int scanning;
    int scan_prev_wpa_state;
    wpa_network *prev_scan_ssid; // SSID cursor; WILDCARD_SSID_SCAN for the wildcard position
    int prev_scan_wildcard;
    int normal_scans;
    int scan_for_connection;
    int *next_scan_freqs;
    int *manual_scan_freqs;
    int manual_scan_passive, manual_scan_use_id, manual_scan_only_new;
    unsigned int manual_scan_id;
    int scan_id[16];
    size_t scan_id_count;
    wpa_driver_scan_ssid *ssids_from_scan_req;
    size_t num_ssids_from_scan_req;
    int own_scan_requested, own_scan_running;
    int clear_driver_scan_cache;
    uint8_t next_scan_bssid[6];
    os_reltime scan_trigger_time, scan_start_time;
    void (*scan_res_handler)(wpa_iface *iface, wpa_scan_results *res);
    int next_scan_freq_count; // single-frequency rescan counter
    int next_scan_freq;
    int reattach;
    unsigned int mac_addr_rand_enable;                           // kinds 1 scan, 2 sched, 4 PNO
    uint8_t *mac_addr_scan, *mac_addr_sched_scan, *mac_addr_pno; // address then mask, 12 bytes
    int setband;                                                 // 0 all, 1 5 GHz, 2 2.4 GHz
    int *pno_freqs;

    // Scheduled scans and PNO (sched_scan.h).
    int sched_scanning, sched_scan_stop_req, sched_scan_timed_out;
    wpa_network *prev_sched_ssid;
    int sched_scan_timeout;
    int first_sched_scan;
    unsigned int sched_scan_cur_interval;
    int pno, pno_sched_pending;
    sched_scan_plan *sched_scan_plans;
    size_t sched_scan_plans_num;
    int sched_scan_changed_state;

    // External radio works, vendor elements and other run-time settings.
    wpa_buf *vendor_elem[15];
    int set_uapsd;
    int sta_uapsd;
    int no_keep_alive;
    int wps_fragment_size;
    wpa_buf *lci;
    os_reltime lci_time;
    uint8_t *disallow_aps_bssid;
    size_t disallow_aps_bssid_count;
    struct wpa_ssid_value *disallow_aps_ssid;
    size_t disallow_aps_ssid_count;
    void *bgscan_priv;
    const struct bgscan_ops *bgscan;
    wpa_network *bgscan_ssid;
    // EAPOL: the layer-2 socket on the interface, the 802.1X supplicant, the source of
    // the last EAPOL frame and the frames received in this association.
    l2_packet_data *l2;
    eapol_supp_sm *eapol;
    uint8_t last_eapol_src[6];
    unsigned int eapol_received;
    int eapol_failed; // the expected-failure bit of the last result

    // Association road: the RSN supplicant, the bridge's EAPOL socket, station management,
    // the attempt's bits, the EAPOL frame that came before its association event, the
    // keys known cleared and TKIP countermeasures.
    rsn_supplicant *wpa;
    l2_packet_data *l2_br;
    struct {
        uint8_t ssid[32];
        size_t ssid_len;
        int freq;
        int auth_alg; // OPEN 1, SHARED 2, LEAP 4
        uint8_t assoc_req_ie[200];
        size_t assoc_req_ie_len;
        uint8_t prev_bssid[6];
        int prev_bssid_set;
        int obss_scan_in_progress;
        int obss_scan_int;
        int sec_chan; // 0 unknown, 1 above, 2 below
        int rrm_used;
    } sme;
    int ap_ies_from_associnfo;
    int reassoc_same_bss, reassoc_same_ess;
    unsigned int keys_cleared; // bit n: key index n is known cleared
    int last_eapol_matches_bssid;
    wpa_buf *pending_eapol_rx;
    os_reltime pending_eapol_rx_time;
    uint8_t pending_eapol_rx_src[6];
    int countermeasures;
    int mic_failure_seen; // a Michael MIC failure was reported since the interface started
    os_reltime last_michael_mic_error;
    unsigned int pending_mic_errors;
    int assoc_status_code;
    int disconnect_reason;
    int interface_removed;
    int best_freqs[3]; // 2.4 GHz, 5 GHz, overall

    // Network selection, enabling and back-off (network_select.h, network_enable.h).
    struct wpa_blacklist *blacklist;   // newest first
    int extra_blacklist_count;         // largest counts of earlier clearings
    unsigned int blacklist_cleared;    // clearings because nothing else matched
    int own_disconnect_req;            // the next disconnect was asked for by the supplicant
    wpa_network *next_ssid;            // the next network to try, preferred in its group
    wpa_network *last_ssid;            // the network last selected
    wpa_network *connect_without_scan; // started by the scan handler instead of a scan
};

int supplicant_start(const char *start_text);
wpa_global *supplicant_init(const wpa_params *params);
wpa_iface *supplicant_add_iface(wpa_global *global, const wpa_iface_params *iface, wpa_iface *parent);
int supplicant_remove_iface(wpa_global *global, wpa_iface *iface, int terminate);
wpa_iface *supplicant_get_iface(wpa_global *global, const char *ifname);
int supplicant_run(wpa_global *global);
void supplicant_deinit(wpa_global *global);
void supplicant_deinit_iface(wpa_iface *iface, int notify, int terminate);
void supplicant_request_terminate(wpa_global *global);
int supplicant_reload_configuration(wpa_iface *iface);
void supplicant_apply_config_changes(wpa_iface *iface);
int wpa_is_p2p_preferred(wpa_iface *iface);
void supplicant_set_state(wpa_iface *iface, int state);

// A descriptor the event loop also serves while the supplicant runs: the owning task's
// message pipe, so that a stop request reaches the loop as a terminate request. Set
// before supplicant_start; the handler gets the global context.
using supplicant_external_handler = void (*)(int fd, wpa_global *global, void *ctx);
void supplicant_set_external_sock(int fd, supplicant_external_handler handler, void *ctx);

// Driver wrappers: an empty slot gives the caller's default.
int wpa_drv_get_capa(wpa_iface *iface, wpa_driver_capa *capa);
int wpa_drv_set_countermeasures(wpa_iface *iface, int enabled);
int wpa_drv_deauthenticate(wpa_iface *iface, const uint8_t *addr, int reason);
int wpa_drv_set_operstate(wpa_iface *iface, int state);
const char *wpa_drv_get_radio_name(wpa_iface *iface);

// Chooses and initialises the back end named by a (comma-separated) driver text.
int supplicant_set_driver(wpa_iface *iface, const char *name);
