// The driver interface: one constant table of operations per back end, the capability
// record a back end reports, the event codes with their data, and the single entry
// through which back ends report kernel news to the supplicant.
#pragma once

#include "wireless/core/cipher_text.h"

#include <cstddef>
#include <cstdint>

struct wpa_buf;
struct hw_mode_info;
struct wpa_scan_results;
struct wowlan_triggers;

// Capability flags (64-bit), as DRIVER_FLAGS names them.
enum : uint64_t {
    WPA_DRIVER_FLAGS_WIRED = 0x10,
    WPA_DRIVER_FLAGS_SME = 0x20,
    WPA_DRIVER_FLAGS_AP = 0x40,
    WPA_DRIVER_FLAGS_SET_KEYS_AFTER_ASSOC_DONE = 0x80,
    WPA_DRIVER_FLAGS_HT_2040_COEX = 0x100,
    WPA_DRIVER_FLAGS_P2P_CONCURRENT = 0x200,
    WPA_DRIVER_FLAGS_P2P_DEDICATED_INTERFACE = 0x400,
    WPA_DRIVER_FLAGS_P2P_CAPABLE = 0x800,
    WPA_DRIVER_FLAGS_AP_TEARDOWN_SUPPORT = 0x1000,
    WPA_DRIVER_FLAGS_P2P_MGMT_AND_NON_P2P = 0x2000,
    WPA_DRIVER_FLAGS_SANE_ERROR_CODES = 0x4000,
    WPA_DRIVER_FLAGS_OFFCHANNEL_TX = 0x8000,
    WPA_DRIVER_FLAGS_EAPOL_TX_STATUS = 0x10000,
    WPA_DRIVER_FLAGS_DEAUTH_TX_STATUS = 0x20000,
    WPA_DRIVER_FLAGS_BSS_SELECTION = 0x40000,
    WPA_DRIVER_FLAGS_TDLS_SUPPORT = 0x80000,
    WPA_DRIVER_FLAGS_TDLS_EXTERNAL_SETUP = 0x100000,
    WPA_DRIVER_FLAGS_PROBE_RESP_OFFLOAD = 0x200000,
    WPA_DRIVER_FLAGS_AP_UAPSD = 0x400000,
    WPA_DRIVER_FLAGS_INACTIVITY_TIMER = 0x800000,
    WPA_DRIVER_FLAGS_AP_MLME = 0x1000000,
    WPA_DRIVER_FLAGS_SAE = 0x2000000,
    WPA_DRIVER_FLAGS_OBSS_SCAN = 0x4000000,
    WPA_DRIVER_FLAGS_IBSS = 0x8000000,
    WPA_DRIVER_FLAGS_RADAR = 0x10000000,
    WPA_DRIVER_FLAGS_DEDICATED_P2P_DEVICE = 0x20000000,
    WPA_DRIVER_FLAGS_QOS_MAPPING = 0x40000000,
    WPA_DRIVER_FLAGS_AP_CSA = 0x80000000ULL,
    WPA_DRIVER_FLAGS_MESH = 1ULL << 32,
    WPA_DRIVER_FLAGS_KEY_MGMT_OFFLOAD = 1ULL << 34,
    WPA_DRIVER_FLAGS_TDLS_CHANNEL_SWITCH = 1ULL << 35,
    WPA_DRIVER_FLAGS_HT_IBSS = 1ULL << 36,
    WPA_DRIVER_FLAGS_VHT_IBSS = 1ULL << 37,
    WPA_DRIVER_FLAGS_FULL_AP_CLIENT_STATE = 1ULL << 40,
};

// Cipher bits of the capability record, as the kernel's cipher suites map to them.
enum : uint32_t {
    WPA_DRIVER_CAPA_ENC_WEP40 = 0x1,
    WPA_DRIVER_CAPA_ENC_WEP104 = 0x2,
    WPA_DRIVER_CAPA_ENC_TKIP = 0x4,
    WPA_DRIVER_CAPA_ENC_CCMP = 0x8,
    WPA_DRIVER_CAPA_ENC_GCMP = 0x20,
    WPA_DRIVER_CAPA_ENC_GCMP_256 = 0x40,
    WPA_DRIVER_CAPA_ENC_CCMP_256 = 0x80,
    WPA_DRIVER_CAPA_ENC_BIP = 0x100,
    WPA_DRIVER_CAPA_ENC_BIP_GMAC_128 = 0x200,
    WPA_DRIVER_CAPA_ENC_BIP_GMAC_256 = 0x400,
    WPA_DRIVER_CAPA_ENC_BIP_CMAC_256 = 0x800,
    WPA_DRIVER_CAPA_ENC_GTK_NOT_USED = 0x1000,
};

// Key algorithms of set_key.
enum wpa_alg {
    WPA_ALG_NONE = 0,
    WPA_ALG_WEP,
    WPA_ALG_TKIP,
    WPA_ALG_CCMP,
    WPA_ALG_IGTK,
    WPA_ALG_PMK,
    WPA_ALG_GCMP,
    WPA_ALG_SMS4,
    WPA_ALG_KRK,
    WPA_ALG_GCMP_256,
    WPA_ALG_CCMP_256,
    WPA_ALG_BIP_GMAC_128,
    WPA_ALG_BIP_GMAC_256,
    WPA_ALG_BIP_CMAC_256,
};

// The frequency record of association, IBSS join, AP set-up, channel switch and DFS.
struct wpa_freq_params {
    int mode;
    int freq;
    int channel;
    int ht_enabled;
    int sec_channel_offset; // 1 above, -1 below, 0 none
    int vht_enabled;
    int center_freq1;
    int center_freq2;
    int bandwidth; // 20, 40, 80, 160 MHz
};

// A scan request: SSIDs to probe for (length 0 = wildcard), extra elements, frequencies
// (ended by 0), filter SSIDs (ownership passes to the back end at the scan call), the
// match-set RSSI threshold, flags, randomisation, scheduled-scan plans and a BSSID.
struct wpa_driver_scan_ssid {
    const uint8_t *ssid;
    size_t ssid_len;
};
struct wpa_driver_scan_filter {
    uint8_t ssid[32];
    size_t ssid_len;
};
struct sched_scan_plan {
    unsigned int interval; // s
    unsigned int iterations;
};
constexpr int WPA_MAX_SCAN_SSIDS = 16;
struct wpa_driver_scan_params {
    wpa_driver_scan_ssid ssids[WPA_MAX_SCAN_SSIDS];
    size_t num_ssids;
    const uint8_t *extra_ies;
    size_t extra_ies_len;
    const int *freqs;
    wpa_driver_scan_filter *filter_ssids; // malloc'ed
    size_t num_filter_ssids;
    int filter_rssi;
    unsigned int p2p_probe : 1;
    unsigned int only_new_results : 1;
    unsigned int low_priority : 1;
    unsigned int mac_addr_rand : 1;
    const uint8_t *mac_addr;
    const uint8_t *mac_addr_mask;
    const sched_scan_plan *sched_scan_plans;
    size_t sched_scan_plans_num;
    const uint8_t *bssid;
};

// An 802.11 authentication through the kernel.
struct wpa_driver_auth_params {
    int freq;
    const uint8_t *bssid;
    const uint8_t *ssid;
    size_t ssid_len;
    int auth_alg;
    const uint8_t *ie;
    size_t ie_len;
    const uint8_t *wep_key[4];
    size_t wep_key_len[4];
    int wep_tx_keyidx;
    int local_state_change;
    int p2p;
    const uint8_t *sae_data;
    size_t sae_data_len;
};

// Association, connect, IBSS join or AP start.
enum wps_mode { WPS_MODE_NONE = 0, WPS_MODE_OPEN = 1, WPS_MODE_PRIVACY = 2 };
struct wpa_driver_associate_params {
    const uint8_t *bssid;
    const uint8_t *bssid_hint;
    const uint8_t *ssid;
    size_t ssid_len;
    wpa_freq_params freq;
    int freq_hint;
    int bg_scan_period; // -1 = none
    int beacon_int;
    const uint8_t *wpa_ie;
    size_t wpa_ie_len;
    unsigned int wpa_proto; // 1 WPA, 2 RSN
    unsigned int pairwise_suite;
    unsigned int group_suite;
    unsigned int key_mgmt_suite;
    int auth_alg;
    int mode; // 0 infrastructure, 1 IBSS, 2 AP
    const uint8_t *wep_key[4];
    size_t wep_key_len[4];
    int wep_tx_keyidx;
    int mgmt_frame_protection; // 2 = required
    const uint8_t *ft_ies;
    size_t ft_ies_len;
    const uint8_t *ft_md;
    const char *passphrase;
    const uint8_t *psk;
    int drop_unencrypted;
    const uint8_t *prev_bssid;
    wps_mode wps;
    int p2p;
    int uapsd;
    int fixed_bssid;
    int fixed_freq;
    int disable_ht;
    const uint8_t *htcaps;
    const uint8_t *htcaps_mask;
    int rrm_used;
    int pbss;
};

// What signal_poll reports.
struct wpa_signal_info {
    uint32_t frequency;
    int above_threshold;
    int current_signal;
    int avg_signal;
    int avg_beacon_signal;
    int current_noise;
    int current_txrate; // kbit/s
    int chanwidth;
    int center_frq1;
    int center_frq2;
};

struct wpa_driver_capa {
    uint32_t key_mgmt;
    uint32_t enc;
    uint32_t auth;
    uint64_t flags;
    uint32_t smps_modes;
    uint32_t wmm_ac_supported : 1;
    uint32_t mac_addr_rand_scan_supported : 1;
    uint32_t mac_addr_rand_sched_scan_supported : 1;
    int max_scan_ssids;
    int max_sched_scan_ssids;
    int max_sched_scan_plans;
    int max_sched_scan_plan_interval;
    int max_sched_scan_plan_iterations;
    int sched_scan_supported;
    int max_match_sets;
    unsigned int max_remain_on_chan;
    unsigned int max_stations;
    unsigned int probe_resp_offloads;
    unsigned int max_acl_mac_addrs;
    unsigned int num_multichan_concurrent;
    const uint8_t *extended_capa, *extended_capa_mask;
    unsigned int extended_capa_len;
    // Radio measurement: 1 DS parameter set and 2 TPC report in probes, 4 quiet, 8 transmit
    // power insertion.
    unsigned int rrm_flags;
};

// Parameters of an access-point side back-end context.
struct wpa_init_params {
    void *global_priv;
    const uint8_t *bssid;
    const char *ifname;
    const char *driver_params;
    int use_pae_group_addr;
    char **bridge;
    size_t num_bridge;
    uint8_t *own_addr; // filled by the back end
};

// A slot that no back end of this build fills yet; its callers use their default.
using wpa_driver_slot = void (*)();

struct wpa_driver_ops {
    const char *name;
    const char *desc;
    int (*get_bssid)(void *priv, uint8_t *bssid); // 1
    int (*get_ssid)(void *priv, uint8_t *ssid);   // 2
    int (*set_key)(void *priv, const char *ifname, wpa_alg alg, const uint8_t *addr, int key_idx, int set_tx,
                   const uint8_t *seq, size_t seq_len, const uint8_t *key, size_t key_len);        // 3
    void *(*init)(void *ctx, const char *ifname);                                                  // 4
    void (*deinit)(void *priv);                                                                    // 5
    int (*set_param)(void *priv, const char *param);                                               // 6
    int (*set_countermeasures)(void *priv, int enabled);                                           // 7
    int (*deauthenticate)(void *priv, const uint8_t *addr, int reason_code);                       // 8
    int (*associate)(void *priv, wpa_driver_associate_params *params);                             // 9
    int (*add_pmkid)(void *priv, const uint8_t *bssid, const uint8_t *pmkid);                      // 10
    int (*remove_pmkid)(void *priv, const uint8_t *bssid, const uint8_t *pmkid);                   // 11
    int (*flush_pmkid)(void *priv);                                                                // 12
    int (*get_capa)(void *priv, wpa_driver_capa *capa);                                            // 13
    wpa_driver_slot poll;                                                                          // 14
    const char *(*get_ifname)(void *priv);                                                         // 15
    wpa_driver_slot unused_slot_16;                                                                // 16
    const uint8_t *(*get_mac_addr)(void *priv);                                                    // 17
    int (*set_operstate)(void *priv, int state);                                                   // 18
    wpa_driver_slot mlme_setprotection;                                                            // 19
    hw_mode_info *(*get_hw_feature_data)(void *priv, uint16_t *num_modes, uint16_t *flags);        // 20
    wpa_driver_slot send_mlme;                                                                     // 21
    int (*update_ft_ies)(void *priv, const uint8_t *md, const uint8_t *ies, size_t ies_len);       // 22
    wpa_scan_results *(*get_scan_results)(void *priv);                                             // 23
    int (*set_country)(void *priv, const char *alpha2);                                            // 24
    int (*get_country)(void *priv, char *alpha2);                                                  // 25
    void *(*global_init)(void *global_ctx);                                                        // 26
    void (*global_deinit)(void *priv);                                                             // 27
    void *(*init2)(void *ctx, const char *ifname, void *global_priv);                              // 28
    wpa_driver_slot get_interfaces;                                                                // 29
    int (*scan)(void *priv, wpa_driver_scan_params *params);                                       // 30
    int (*authenticate)(void *priv, wpa_driver_auth_params *params);                               // 31
    wpa_driver_slot set_ap;                                                                        // 32
    wpa_driver_slot set_acl;                                                                       // 33
    void *(*ap_init)(void *bss_ctx, wpa_init_params *params);                                      // 34
    void (*ap_deinit)(void *priv);                                                                 // 35
    wpa_driver_slot set_ieee8021x;                                                                 // 36
    wpa_driver_slot set_privacy;                                                                   // 37
    int (*get_seqnum)(void *priv, const char *ifname, const uint8_t *addr, int idx, uint8_t *seq); // 38
    wpa_driver_slot flush;                                                                         // 39
    wpa_driver_slot set_generic_elem;                                                              // 40
    wpa_driver_slot read_sta_data;                                                                 // 41
    int (*ap_send_eapol)(void *priv, const uint8_t *addr, const uint8_t *data, size_t data_len, int encrypt,
                         const uint8_t *own_addr, uint32_t flags); // 42
    wpa_driver_slot sta_deauth;                                    // 43
    wpa_driver_slot sta_disassoc;                                  // 44
    wpa_driver_slot sta_remove;                                    // 45
    wpa_driver_slot ap_get_ssid;                                   // 46
    wpa_driver_slot ap_set_ssid;                                   // 47
    wpa_driver_slot ap_set_countermeasures;                        // 48
    wpa_driver_slot sta_add;                                       // 49
    wpa_driver_slot get_inact_sec;                                 // 50
    int (*sta_clear_stats)(void *priv, const uint8_t *addr);       // 51
    wpa_driver_slot set_freq;                                      // 52
    wpa_driver_slot set_rts;                                       // 53
    wpa_driver_slot set_frag;                                      // 54
    wpa_driver_slot sta_set_flags;                                 // 55
    wpa_driver_slot set_tx_queue_params;                           // 56
    wpa_driver_slot if_add;                                        // 57
    wpa_driver_slot if_remove;                                     // 58
    wpa_driver_slot set_sta_vlan;                                  // 59
    wpa_driver_slot commit;                                        // 60
    wpa_driver_slot send_ether;                                    // 61
    wpa_driver_slot set_radius_acl_auth;                           // 62
    wpa_driver_slot set_radius_acl_expire;                         // 63
    wpa_driver_slot set_ap_wps_ie;                                 // 64
    int (*set_supp_port)(void *priv, int authorized);              // 65
    wpa_driver_slot set_wds_sta;                                   // 66
    int (*send_action)(void *priv, unsigned int freq, unsigned int wait, const uint8_t *dst,
                       const uint8_t *src, const uint8_t *bssid, const uint8_t *data, size_t data_len,
                       int no_cck);                                                      // 67
    wpa_driver_slot send_action_cancel_wait;                                             // 68
    wpa_driver_slot remain_on_channel;                                                   // 69
    wpa_driver_slot cancel_remain_on_channel;                                            // 70
    int (*probe_req_report)(void *priv, int report);                                     // 71
    wpa_driver_slot deinit_ap;                                                           // 72
    wpa_driver_slot deinit_p2p_cli;                                                      // 73
    wpa_driver_slot suspend;                                                             // 74
    wpa_driver_slot resume;                                                              // 75
    int (*signal_monitor)(void *priv, int threshold, int hysteresis);                    // 76
    wpa_driver_slot send_frame;                                                          // 77
    wpa_driver_slot get_noa;                                                             // 78
    wpa_driver_slot set_noa;                                                             // 79
    wpa_driver_slot set_p2p_powersave;                                                   // 80
    wpa_driver_slot ampdu;                                                               // 81
    const char *(*get_radio_name)(void *priv);                                           // 82
    wpa_driver_slot send_tdls_mgmt;                                                      // 83
    wpa_driver_slot tdls_oper;                                                           // 84
    wpa_driver_slot wnm_oper;                                                            // 85
    int (*set_qos_map)(void *priv, const uint8_t *qos_map_set, uint8_t qos_map_set_len); // 86
    int (*br_add_ip_neigh)(void *priv, uint8_t version, const uint8_t *ipaddr, int prefixlen,
                           const uint8_t *addr);                                   // 87
    int (*br_delete_ip_neigh)(void *priv, uint8_t version, const uint8_t *ipaddr); // 88
    wpa_driver_slot br_port_set_attr;                                              // 89
    wpa_driver_slot br_set_net_param;                                              // 90
    int (*set_wowlan)(void *priv, const wowlan_triggers *triggers);                // 91
    int (*signal_poll)(void *priv, wpa_signal_info *signal_info);                  // 92
    wpa_driver_slot set_authmode;                                                  // 93
    wpa_driver_slot vendor_cmd;                                                    // 94
    void (*set_rekey_info)(void *priv, const uint8_t *kek, size_t kek_len, const uint8_t *kck, size_t kck_len,
                           const uint8_t *replay_ctr);             // 95
    wpa_driver_slot sta_assoc;                                     // 96
    wpa_driver_slot sta_auth;                                      // 97
    wpa_driver_slot add_tspec;                                     // 98
    wpa_driver_slot add_sta_node;                                  // 99
    int (*sched_scan)(void *priv, wpa_driver_scan_params *params); // 100
    int (*stop_sched_scan)(void *priv);                            // 101
    wpa_driver_slot poll_client;                                   // 102
    wpa_driver_slot radio_disable;                                 // 103
    wpa_driver_slot switch_channel;                                // 104
    int (*add_tx_ts)(void *priv, uint8_t tsid, const uint8_t *addr, uint8_t user_prio,
                     uint16_t admitted_time);                        // 105
    int (*del_tx_ts)(void *priv, uint8_t tsid, const uint8_t *addr); // 106
    wpa_driver_slot tdls_enable_channel_switch;                      // 107
    wpa_driver_slot tdls_disable_channel_switch;                     // 108
    wpa_driver_slot start_dfs_cac;                                   // 109
    wpa_driver_slot stop_ap;                                         // 110
    wpa_driver_slot get_survey;                                      // 111
    int (*status)(void *priv, char *buf, size_t buflen);             // 112
    wpa_driver_slot roaming;                                         // 113
    int (*set_mac_addr)(void *priv, const uint8_t *addr);            // 114
    wpa_driver_slot init_mesh;                                       // 115
    wpa_driver_slot join_mesh;                                       // 116
    wpa_driver_slot leave_mesh;                                      // 117
    wpa_driver_slot do_acs;                                          // 118
    wpa_driver_slot set_band;                                        // 119
    wpa_driver_slot get_pref_freq_list;                              // 120
    wpa_driver_slot set_prob_oper_freq;                              // 121
    int (*abort_scan)(void *priv);                                   // 122
    wpa_driver_slot configure_data_frame_filters;                    // 123
    int (*get_ext_capab)(void *priv, int type, const uint8_t **ext_capa, const uint8_t **ext_capa_mask,
                         unsigned int *ext_capa_len); // 124
    wpa_driver_slot p2p_lo_start;                     // 125
    wpa_driver_slot p2p_lo_stop;                      // 126
    wpa_driver_slot set_default_scan_ies;             // 127
};

enum wpa_event_type {
    EVENT_ASSOC = 0,
    EVENT_DISASSOC,
    EVENT_MICHAEL_MIC_FAILURE,
    EVENT_SCAN_RESULTS,
    EVENT_ASSOCINFO,
    EVENT_INTERFACE_STATUS,
    EVENT_PMKID_CANDIDATE,
    EVENT_STKSTART,
    EVENT_TDLS,
    EVENT_FT_RESPONSE,
    EVENT_IBSS_RSN_START,
    EVENT_AUTH,
    EVENT_DEAUTH,
    EVENT_ASSOC_REJECT,
    EVENT_AUTH_TIMED_OUT,
    EVENT_ASSOC_TIMED_OUT,
    EVENT_WPS_BUTTON_PUSHED,
    EVENT_TX_STATUS,
    EVENT_RX_FROM_UNKNOWN,
    EVENT_RX_MGMT,
    EVENT_REMAIN_ON_CHANNEL,
    EVENT_CANCEL_REMAIN_ON_CHANNEL,
    EVENT_RX_PROBE_REQ,
    EVENT_NEW_STA,
    EVENT_EAPOL_RX,
    EVENT_SIGNAL_CHANGE,
    EVENT_INTERFACE_ENABLED,
    EVENT_INTERFACE_DISABLED,
    EVENT_CHANNEL_LIST_CHANGED,
    EVENT_INTERFACE_UNAVAILABLE,
    EVENT_BEST_CHANNEL,
    EVENT_UNPROT_DEAUTH,
    EVENT_UNPROT_DISASSOC,
    EVENT_STATION_LOW_ACK,
    EVENT_IBSS_PEER_LOST,
    EVENT_DRIVER_GTK_REKEY,
    EVENT_SCHED_SCAN_STOPPED,
    EVENT_DRIVER_CLIENT_POLL_OK,
    EVENT_EAPOL_TX_STATUS,
    EVENT_CH_SWITCH,
    EVENT_WNM,
    EVENT_CONNECT_FAILED_REASON,
    EVENT_DFS_RADAR_DETECTED,
    EVENT_DFS_CAC_FINISHED,
    EVENT_DFS_CAC_ABORTED,
    EVENT_DFS_NOP_FINISHED,
    EVENT_SURVEY,
    EVENT_SCAN_STARTED,
    EVENT_AVOID_FREQUENCIES,
    EVENT_NEW_PEER_CANDIDATE,
    EVENT_ACS_CHANNEL_SELECTED,
    EVENT_DFS_CAC_STARTED,
    EVENT_P2P_LO_STOP,
};

// The event's name as the event texts use it ("UNKNOWN" outside the table).
const char *event_to_string(wpa_event_type event);

// The data of one event; the dispatcher reads only the member of the code it got.
// Pointers stay owned by the back end for the duration of the call.
union wpa_event_data {
    struct {
        const uint8_t *addr;
    } new_sta;
    struct {
        const uint8_t *src;
        const uint8_t *data;
        size_t data_len;
    } eapol_rx;
    struct {
        unsigned int ifindex;
        char ifname[100];
        enum { EVENT_INTERFACE_ADDED, EVENT_INTERFACE_REMOVED } ievent;
    } interface_status;
    struct {
        const uint8_t *addr;
        uint16_t reason_code;
        const uint8_t *ie;
        size_t ie_len;
        int locally_generated;
    } disassoc_info, deauth_info;
    struct {
        int reassoc;
        const uint8_t *req_ies;
        size_t req_ies_len;
        const uint8_t *resp_ies;
        size_t resp_ies_len;
        const uint8_t *beacon_ies;
        size_t beacon_ies_len;
        unsigned int freq;
        int wmm_uapsd_present;
        int wmm_uapsd;
        const uint8_t *addr;
        int subnet_status;
    } assoc_info;
    struct {
        int unicast;
        const uint8_t *src;
    } michael_mic_failure;
    struct {
        int aborted;
        const int *freqs;
        size_t num_freqs;
        wpa_driver_scan_ssid ssids[WPA_MAX_SCAN_SSIDS];
        size_t num_ssids;
        int external_scan;
        int nl_scan_event;
    } scan_info;
    struct {
        uint8_t bssid[6];
        int index;
        int preauth;
    } pmkid_candidate;
    struct {
        uint8_t peer[6];
        int oper; // 0 set up, 1 tear down, 2 discover
        uint16_t reason_code;
    } tdls;
    struct {
        const uint8_t *ies;
        size_t ies_len;
        uint8_t target_ap[6];
        const uint8_t *ric_ies;
        size_t ric_ies_len;
    } ft_ies;
    struct {
        uint8_t peer[6];
    } ibss_rsn_start, ibss_peer_lost;
    struct {
        uint8_t peer[6];
        uint8_t bssid[6];
        uint16_t auth_type;
        uint16_t auth_transaction;
        uint16_t status_code;
        const uint8_t *ies;
        size_t ies_len;
    } auth;
    struct {
        const uint8_t *bssid;
        const uint8_t *resp_ies;
        size_t resp_ies_len;
        uint16_t status_code;
        int timed_out;
    } assoc_reject;
    struct {
        uint8_t addr[6];
    } timeout_event, low_ack, client_poll;
    struct {
        uint16_t type;
        uint16_t stype;
        const uint8_t *dst;
        const uint8_t *data;
        size_t data_len;
        int ack;
    } tx_status;
    struct {
        const uint8_t *bssid;
        const uint8_t *addr;
        int wds;
    } rx_from_unknown;
    struct {
        const uint8_t *frame;
        size_t frame_len;
        uint32_t datarate;
        void *drv_priv; // back-end context of the receiving interface
        int freq;
        int ssi_signal; // dBm
    } rx_mgmt;
    struct {
        unsigned int freq;
        unsigned int duration;
    } remain_on_channel;
    wpa_signal_info signal_change;
    struct {
        int initiator; // 0 core, 1 user, 2 driver, 3 country element, 4 beacon hint
        int type;      // 0 unknown, 1 country, 2 world, 3 custom world, 4 intersection
        char alpha2[3];
    } channel_list_changed;
    struct {
        const uint8_t *sa;
        const uint8_t *da;
        uint16_t reason_code;
    } unprot_deauth, unprot_disassoc;
    struct {
        const uint8_t *bssid;
        const uint8_t *replay_ctr;
    } driver_gtk_rekey;
    struct {
        const uint8_t *dst;
        const uint8_t *data;
        size_t data_len;
        int ack;
    } eapol_tx_status;
    struct {
        int freq;
        int ht_enabled;
        int ch_offset;
        int ch_width; // 0 20 MHz no HT, 1 20, 2 40, 3 80, 4 80+80, 5 160, 6 unknown
        int cf1;
        int cf2;
    } ch_switch, dfs_event;
    struct {
        uint8_t addr[6];
        int code; // 0 too many clients, 1 refused by the block list
    } connect_failed_reason;
    struct {
        unsigned int freq_filter; // 0 = all
        struct freq_survey *list;
        size_t count;
    } survey_results;
    struct {
        const uint8_t *peer;
        const uint8_t *ies;
        size_t ie_len;
    } mesh_peer;
};

// One channel-survey record of the "SURVEY" event.
enum : uint32_t {
    SURVEY_HAS_NF = 0x1,
    SURVEY_HAS_CHAN_TIME = 0x2,
    SURVEY_HAS_CHAN_TIME_BUSY = 0x4,
    SURVEY_HAS_CHAN_TIME_RX = 0x8,
    SURVEY_HAS_CHAN_TIME_TX = 0x10,
};
struct freq_survey {
    uint32_t ifidx;
    unsigned int freq;
    uint32_t filled;
    int8_t nf;
    uint64_t channel_time;
    uint64_t channel_time_busy;
    uint64_t channel_time_rx;
    uint64_t channel_time_tx;
};

// The driver list in slot order ("nl80211", "wext", "wired"), null-terminated. A test
// may put its own list in place.
const wpa_driver_ops *const *wpa_driver_list();
void wpa_driver_list_set(const wpa_driver_ops *const *list);
size_t wpa_driver_count();

// The single entry of kernel news into the supplicant.
void supplicant_event(void *ctx, wpa_event_type event, union wpa_event_data *data);
// Events about no known interface.
void supplicant_event_global(void *ctx, wpa_event_type event, union wpa_event_data *data);

// The supplicant whose interfaces the dispatcher acts for (null: none); events whose
// context is none of its interfaces reach only the observer.
struct wpa_global;
void supplicant_event_set_global(wpa_global *global);

// Observer of every event, before the dispatcher acts on them.
using supplicant_event_observer = void (*)(void *ctx, wpa_event_type event, const union wpa_event_data *data);
void supplicant_event_set_observer(supplicant_event_observer observer);
