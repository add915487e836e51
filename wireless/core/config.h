// The supplicant's configuration: global options and the network blocks. Every field is
// set and read as text through one table per kind, shared by the control interface.
#pragma once

#include "wireless/core/os.h"
#include "wireless/core/text.h"
#include "wireless/eap/eap_methods.h"

#include <cstddef>
#include <cstdint>

struct wpa_buf;

// Bytes of a text field and their length; data is null when the field is unset.
struct wpa_text {
    uint8_t *data;
    size_t len;
};

// An address with its mask, as the address lists hold them.
struct wpa_addr_mask {
    uint8_t addr[6];
    uint8_t mask[6];
};

struct wpa_addr_list {
    wpa_addr_mask *entries;
    size_t count;
};

struct wpa_psk_entry {
    wpa_psk_entry *next;
    int p2p;
    uint8_t addr[6];
    uint8_t psk[32];
};

enum wpa_mode {
    SUPP_MODE_INFRA = 0,
    SUPP_MODE_IBSS = 1,
    SUPP_MODE_AP = 2,
    SUPP_MODE_P2P_GO = 3,
    SUPP_MODE_P2P_GROUP_FORMATION = 4,
    SUPP_MODE_MESH = 5,
};

struct wpa_network {
    wpa_network *next;  // list, creation order
    wpa_network *pnext; // priority group, list order
    int id;
    int priority;

    wpa_text ssid;
    uint8_t bssid[6];
    int bssid_set;
    wpa_addr_list bssid_blacklist, bssid_whitelist, p2p_client_list;

    uint8_t psk[32];
    int psk_set;
    char *passphrase;
    int mem_only_psk;
    wpa_psk_entry *psk_list;

    int proto, key_mgmt, pairwise_cipher, group_cipher, auth_alg;
    wpa_text wep_key[4];
    int wep_tx_keyidx;

    // EAP settings.
    eap_method_type *eap_methods; // ended by {EAP_VENDOR_IETF, EAP_TYPE_NONE}
    wpa_text identity, anonymous_identity, password;
    int password_hashed;
    wpa_text ca_cert, ca_path, client_cert, private_key, private_key_passwd, dh_file, subject_match,
        altsubject_match, domain_suffix_match, domain_match;
    wpa_text ca_cert2, ca_path2, client_cert2, private_key2, private_key2_passwd, dh_file2, subject_match2,
        altsubject_match2, domain_suffix_match2, domain_match2;
    wpa_text phase1, phase2, pcsc, pin, engine_id, key_id, cert_id, ca_cert_id, pin2, engine2_id, key2_id,
        cert2_id, ca_cert2_id, openssl_ciphers, pac_file;
    int engine, engine2, eapol_flags, sim_num, erp, eap_workaround, fragment_size, ocsp;
    // Run-time EAP state: answers of the credential dialogue and the pending requests that
    // asked for them (counters; the OTP request keeps its challenge text).
    wpa_text new_password, otp;
    int pending_req_identity, pending_req_password, pending_req_new_password, pending_req_pin,
        pending_req_passphrase, pending_req_sim;
    char *pending_req_otp;
    size_t pending_req_otp_len;
    int mschapv2_retry;
    // External server-certificate check: 1 pending, 2 good, 3 bad (CTRL-RSP-EXT_CERT_CHECK).
    int pending_ext_cert_check;

    int scan_ssid, bg_scan_period, max_oper_chwidth, mode, proactive_key_caching, disabled, peerkey,
        mixed_cell, frequency, fixed_freq, wpa_ptk_rekey, group_rekey, ignore_broadcast_ssid,
        ap_max_inactivity, dtim_period, beacon_int, mac_addr, pbss, wps_disabled;
    wpa_text id_str, bgscan;
    int *scan_freq, *freq_list; // zero-terminated
    uint8_t go_p2p_dev_addr[6];
    int p2p_group, p2p_persistent_group;

    // Temporary disabling after failures (connection logic).
    os_reltime disabled_until;
    int auth_failures;
};

struct wpa_config_blob {
    wpa_config_blob *next;
    char *name;
    uint8_t *data;
    size_t len;
};

struct wpa_cred {
    wpa_cred *next;
    int id;
};

struct wpa_wmm_ac {
    int cwmin, cwmax, aifs, txop_limit, admission_control_mandatory;
};

// Changed-option bits consumed when the interface applies configuration changes.
enum : unsigned int {
    CFG_CHANGED_DEVICE_NAME = 1u << 0,
    CFG_CHANGED_CONFIG_METHODS = 1u << 1,
    CFG_CHANGED_DEVICE_TYPE = 1u << 2,
    CFG_CHANGED_OS_VERSION = 1u << 3,
    CFG_CHANGED_UUID = 1u << 4,
    CFG_CHANGED_COUNTRY = 1u << 5,
    CFG_CHANGED_SEC_DEVICE_TYPE = 1u << 6,
    CFG_CHANGED_P2P_SSID_POSTFIX = 1u << 7,
    CFG_CHANGED_WPS_STRING = 1u << 8,
    CFG_CHANGED_P2P_INTRA_BSS = 1u << 9,
    CFG_CHANGED_VENDOR_EXTENSION = 1u << 10,
    CFG_CHANGED_P2P_LISTEN_CHANNEL = 1u << 11,
    CFG_CHANGED_P2P_OPER_CHANNEL = 1u << 12,
    CFG_CHANGED_P2P_PREF_CHAN = 1u << 13,
    CFG_CHANGED_EXT_PW_BACKEND = 1u << 14,
    CFG_CHANGED_NFC_PASSWORD_TOKEN = 1u << 15,
    CFG_CHANGED_P2P_PASSPHRASE_LEN = 1u << 16,
    CFG_CHANGED_SCHED_SCAN_PLANS = 1u << 17,
};

constexpr int MAX_SEC_DEVICE_TYPES = 5;

struct p2p_channel_pref {
    unsigned int op_class;
    unsigned int chan;
};

struct wpa_config {
    wpa_network *ssid;   // network blocks, creation order
    wpa_network **pssid; // priority group heads, highest priority first
    size_t num_prio;
    wpa_cred *cred;
    wpa_config_blob *blobs;
    wpa_wmm_ac wmm_ac_params[4];
    unsigned int changed_parameters;
    int wps_nfc_pw_from_config;

    // Global options.
    char *ctrl_interface, *ctrl_interface_group;
    int eapol_version, ap_scan;
    char *bgscan;
    int disable_scan_offload, fast_reauth;
    char *opensc_engine_path, *pkcs11_engine_path, *pkcs11_module_path, *openssl_ciphers, *pcsc_reader,
        *pcsc_pin;
    int external_sim;
    char *driver_param;
    int dot11RSNAConfigPMKLifetime, dot11RSNAConfigPMKReauthThreshold, dot11RSNAConfigSATimeout;
    uint8_t uuid[16];
    char *device_name, *manufacturer, *model_name, *model_number, *serial_number;
    uint8_t device_type[8];
    uint8_t os_version[4];
    char *config_methods;
    int wps_cred_processing;
    wpa_buf *wps_vendor_ext_m1;
    uint8_t sec_device_type[MAX_SEC_DEVICE_TYPES][8];
    int num_sec_device_types;
    int p2p_listen_reg_class, p2p_listen_channel, p2p_oper_reg_class, p2p_oper_channel, p2p_go_intent;
    char *p2p_ssid_postfix;
    int persistent_reconnect, p2p_intra_bss, p2p_group_idle, p2p_go_freq_change_policy, p2p_passphrase_len;
    p2p_channel_pref *p2p_pref_chan;
    unsigned int num_p2p_pref_chan;
    freq_range_list p2p_no_go_freq;
    int p2p_add_cli_chan, p2p_optimize_listen_chan, p2p_go_ht40, p2p_go_vht, p2p_disabled, p2p_go_ctwindow,
        p2p_no_group_iface, p2p_ignore_shared_freq;
    uint8_t ip_addr_go[4], ip_addr_mask[4], ip_addr_start[4], ip_addr_end[4];
    int p2p_cli_probe;
    char country[2];
    int bss_max_count, bss_expiration_age, bss_expiration_scan_count, filter_ssids, filter_rssi, max_num_sta,
        disassoc_low_ack, interworking;
    uint8_t hessid[6];
    int access_network_type, pbc_in_m1;
    char *autoscan;
    int wps_nfc_dev_pw_id;
    wpa_buf *wps_nfc_dh_pubkey, *wps_nfc_dh_privkey, *wps_nfc_dev_pw;
    char *ext_password_backend;
    int p2p_go_max_inactivity, auto_interworking, okc, pmf;
    int *sae_groups;
    int dtim_period, beacon_int;
    wpa_buf *ap_vendor_elements;
    int ignore_old_scan_res;
    int *freq_list;
    int scan_cur_freq, sched_scan_interval, tdls_external_control;
    char *osu_dir, *wowlan_triggers;
    int p2p_search_delay, mac_addr, rand_addr_lifetime, preassoc_mac_addr, key_mgmt_offload, passive_scan,
        reassoc_same_bss_optim, wps_priority, wpa_rsc_relaxation;
    char *sched_scan_plans;
    int gas_address3, ftm_responder, ftm_initiator;
};

wpa_config *wpa_config_alloc_empty(const char *ctrl_interface, const char *driver_param);
void wpa_config_free(wpa_config *config);

void wpa_config_set_network_defaults(wpa_network *ssid);
wpa_network *wpa_config_add_network(wpa_config *config);
int wpa_config_remove_network(wpa_config *config, int id);
wpa_network *wpa_config_get_network(wpa_config *config, int id);
int wpa_config_update_prio_list(wpa_config *config);
void wpa_config_free_network(wpa_network *ssid);

// 0 set, 1 unchanged (the value equals the stored one), -1 unknown name or bad value.
int wpa_config_set_network_field(wpa_network *ssid, const char *var, const char *value, int line);
// The field's text (keys as "*" when set), newly allocated; null when unset or unknown.
char *wpa_config_get_network_field(wpa_network *ssid, const char *var);
// The field's text including keys; null when it holds CR or LF.
char *wpa_config_get_network_field_raw(wpa_network *ssid, const char *var);
// True when the name is a network field of the table.
bool wpa_config_network_field_known(const char *var);
void wpa_config_update_psk(wpa_network *ssid);

int wpa_config_process_global(wpa_config *config, char *pos, int line);
int wpa_config_get_global(const char *name, wpa_config *config, char *buf, size_t buflen);
int wpa_config_dump_values(wpa_config *config, char *buf, size_t buflen);

const wpa_config_blob *wpa_config_get_blob(wpa_config *config, const char *name);
void wpa_config_set_blob(wpa_config *config, wpa_config_blob *blob);
int wpa_config_remove_blob(wpa_config *config, const char *name);
void wpa_config_free_blob(wpa_config_blob *blob);
void wpa_config_flush_blobs(wpa_config *config);

// Sizes of the two field tables, and a network field's name by table position.
size_t wpa_config_network_field_count();
const char *wpa_config_network_field_name(size_t i);
size_t wpa_config_global_field_count();
