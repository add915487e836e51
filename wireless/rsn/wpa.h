// The RSN supplicant: the station side of the IEEE 802.11 4-way and group key
// handshakes over EAPOL-Key frames for WPA (descriptor 254) and RSN/OSEN (descriptor 2),
// key requests, the rekey timer, status and MIB texts. It reaches the core, the driver
// and the EAPOL supplicant only through the two callback records below, so it runs on a
// fake context in the unit tests. Everything runs on the event-loop thread.
#pragma once

#include "wireless/rsn/wpa_common.h"

#include <cstddef>
#include <cstdint>

struct pmksa_cache;
struct pmksa_entry;
struct pmksa_candidate;
struct eapol_supp_sm;
struct l2_packet_data;
struct rsn_supplicant;

// What the core does for the RSN supplicant (filled by the core glue at interface
// creation; owned and freed by the RSN supplicant). Slots in order.
struct rsn_supplicant_ops {
    void *ctx;     // owner context, first argument of every slot
    void *msg_ctx; // context of event lines
    void (*set_state)(void *ctx, int state);
    int (*get_state)(void *ctx);
    void (*deauthenticate)(void *ctx, int reason_code);
    // alg: driver key algorithm; addr: peer address or null; seq: receive counter.
    int (*set_key)(void *ctx, int alg, const uint8_t *addr, int key_idx, int set_tx, const uint8_t *seq,
                   size_t seq_len, const uint8_t *key, size_t key_len);
    void *(*get_network_ctx)(void *ctx);
    int (*get_bssid)(void *ctx, uint8_t *bssid);
    int (*ether_send)(void *ctx, const uint8_t *dest, uint16_t proto, const uint8_t *buf, size_t len);
    // Refresh the AP's WPA/RSN elements (wpa_sm_store_ap_*_ie) from the scan results.
    int (*get_beacon_ie)(void *ctx);
    void (*cancel_auth_timeout)(void *ctx);
    // An EAPOL frame of `type` with the body (or zeros); freed with free().
    uint8_t *(*alloc_eapol)(void *ctx, uint8_t type, const void *data, uint16_t data_len, size_t *msg_len,
                            void **data_pos);
    int (*add_pmkid)(void *ctx, const uint8_t *bssid, const uint8_t *pmkid);
    int (*remove_pmkid)(void *ctx, const uint8_t *bssid, const uint8_t *pmkid);
    void (*set_config_blob)(void *ctx, void *blob);
    const void *(*get_config_blob)(void *ctx, const char *name);
    int (*mlme_setprotection)(void *ctx, const uint8_t *addr, int protection_type, int key_type);
    void (*unused1)();
    void (*unused2)();
    void (*unused3)();
    void (*set_rekey_offload)(void *ctx, const uint8_t *kek, size_t kek_len, const uint8_t *kck,
                              size_t kck_len, const uint8_t *replay_ctr);
    int (*key_mgmt_set_pmk)(void *ctx, const uint8_t *pmk, size_t pmk_len);
};

// The EAPOL supplicant's inputs the RSN supplicant uses, set with the link by
// wpa_sm_attach_eapol. Pre-authentication opens its 0x88C7 sockets and its own EAPOL
// supplicant through preauth_begin (0, or -2 sockets, -3 state machine, -4 memory) and
// closes them through preauth_end; the glue reports the result with rsn_preauth_result.
struct rsn_eapol_ops {
    void (*lower_layer_success)(eapol_supp_sm *eapol, int no_run);
    void (*note_cached_success)(eapol_supp_sm *eapol);
    // 0 with len bytes copied; the key length when shorter; -1 without key material.
    int (*get_key)(eapol_supp_sm *eapol, uint8_t *buf, size_t len);
    void (*set_port_valid)(eapol_supp_sm *eapol, bool valid);
    void (*set_eap_success)(eapol_supp_sm *eapol, bool success);
    void (*count_tx)(eapol_supp_sm *eapol);
    void (*reauthenticate)(eapol_supp_sm *eapol);
    int (*status_text)(eapol_supp_sm *eapol, char *buf, size_t size, int verbose);
    int (*preauth_begin)(rsn_supplicant *sm, const uint8_t *bssid, void *eap_config, eapol_supp_sm **out);
    void (*preauth_end)(rsn_supplicant *sm, eapol_supp_sm *preauth_eapol);
};

// Per-network settings handed over by the core.
struct rsn_network_settings {
    void *network_ctx;
    int peerkey_enabled;
    uint32_t allowed_pairwise_cipher;
    int proactive_key_caching;
    int eap_workaround;
    void *eap_conf_ctx;
    uint8_t ssid[32];
    size_t ssid_len;
    int wpa_ptk_rekey;
    int p2p;
    int wpa_rsc_relaxation;
};

enum rsn_sm_param {
    RSNA_PMK_LIFETIME = 0,
    RSNA_PMK_REAUTH_THRESHOLD = 1,
    RSNA_SA_TIMEOUT = 2,
    WPA_PARAM_PROTO = 3,
    WPA_PARAM_PAIRWISE = 4,
    WPA_PARAM_GROUP = 5,
    WPA_PARAM_KEY_MGMT = 6,
    WPA_PARAM_RSN_ENABLED = 8,
    WPA_PARAM_MFP = 9,
};

// EAPOL-Key key information bits.
enum : uint16_t {
    WPA_KEY_INFO_TYPE_MASK = 0x0007,
    WPA_KEY_INFO_KEY_TYPE = 0x0008, // pairwise
    WPA_KEY_INFO_KEY_INDEX_MASK = 0x0030,
    WPA_KEY_INFO_KEY_INDEX_SHIFT = 4,
    WPA_KEY_INFO_INSTALL = 0x0040,
    WPA_KEY_INFO_TXRX = 0x0040,
    WPA_KEY_INFO_ACK = 0x0080,
    WPA_KEY_INFO_MIC = 0x0100,
    WPA_KEY_INFO_SECURE = 0x0200,
    WPA_KEY_INFO_ERROR = 0x0400,
    WPA_KEY_INFO_REQUEST = 0x0800,
    WPA_KEY_INFO_ENCR_KEY_DATA = 0x1000,
    WPA_KEY_INFO_SMK_MESSAGE = 0x2000,
};

// Offsets within an EAPOL frame carrying an EAPOL-Key body.
enum : size_t {
    EAPOL_KEY_OFF_TYPE = 4,
    EAPOL_KEY_OFF_INFO = 5,
    EAPOL_KEY_OFF_KEY_LEN = 7,
    EAPOL_KEY_OFF_REPLAY = 9,
    EAPOL_KEY_OFF_NONCE = 17,
    EAPOL_KEY_OFF_IV = 49,
    EAPOL_KEY_OFF_RSC = 65,
    EAPOL_KEY_OFF_MIC = 81,
};

enum : uint8_t { EAPOL_KEY_TYPE_RSN = 2, EAPOL_KEY_TYPE_WPA = 254 };
enum : uint16_t { ETH_P_EAPOL = 0x888e, ETH_P_RSN_PREAUTH = 0x88c7 };
enum { WPA_REPLAY_COUNTER_LEN = 8 };

struct rsn_supplicant {
    uint8_t pmk[48];
    size_t pmk_len;
    wpa_ptk_keys ptk;
    wpa_ptk_keys tptk;
    int ptk_set;
    int tptk_set;
    unsigned msg3_accepted : 1;
    unsigned ptk_pending : 1;
    uint8_t snonce[WPA_NONCE_LEN];
    uint8_t anonce[WPA_NONCE_LEN];
    int renew_snonce;
    uint8_t rx_replay_counter[WPA_REPLAY_COUNTER_LEN];
    int rx_replay_counter_set;
    uint8_t request_counter[WPA_REPLAY_COUNTER_LEN];

    eapol_supp_sm *eapol;
    rsn_eapol_ops eapol_ops;
    pmksa_cache *pmksa;
    pmksa_entry *cur_pmksa;

    pmksa_candidate *pmksa_candidates; // ascending priority
    int preauth_running;
    eapol_supp_sm *preauth_eapol;
    uint8_t preauth_bssid[6];
    // The 0x88C7 sockets of a running pre-authentication (opened and closed by the glue):
    // on the interface and, with a bridge configured, on the bridge.
    l2_packet_data *l2_preauth;
    l2_packet_data *l2_preauth_br;

    rsn_supplicant_ops *ops;
    void *scard_ctx;
    int fast_reauth;

    rsn_network_settings net;

    uint8_t own_addr[6];
    char ifname[64];
    char bridge_ifname[64];
    uint8_t bssid[6];

    unsigned dot11RSNAConfigPMKLifetime;
    unsigned dot11RSNAConfigPMKReauthThreshold;
    unsigned dot11RSNAConfigSATimeout;
    unsigned dot11RSNA4WayHandshakeFailures;

    uint32_t proto;
    uint32_t pairwise_cipher;
    uint32_t group_cipher;
    uint32_t key_mgmt;
    uint32_t mgmt_group_cipher;
    int rsn_enabled;
    int mfp;

    uint8_t *assoc_wpa_ie;
    size_t assoc_wpa_ie_len;
    uint8_t *ap_wpa_ie;
    size_t ap_wpa_ie_len;
    uint8_t *ap_rsn_ie;
    size_t ap_rsn_ie_len;

    // The group key installed at each index (0..3): a repeated GTK is not installed again
    // so its receive counter is never reset.
    uint8_t installed_gtk[4][WPA_GTK_MAX_LEN];
    size_t installed_gtk_len[4];

    uint8_t p2p_ip_addr[12];
    int p2p_ip_addr_set;
};

// Takes ownership of ops (allocated with malloc), also when it fails; null ops: null.
rsn_supplicant *wpa_sm_create(rsn_supplicant_ops *ops);
void wpa_sm_destroy(rsn_supplicant *sm);

// 0 ignored, -1 dropped, 1 processed (also when the handshake failed).
int wpa_sm_process_eapol_key(rsn_supplicant *sm, const uint8_t *src_addr, const uint8_t *buf, size_t len);

// Sends an EAPOL-Key frame (freed here) to dest, with its MIC written to key_mic when
// given, computed over the whole frame with the KCK; the send result or -1.
int wpa_sm_transmit_key_frame(rsn_supplicant *sm, const uint8_t *kck, size_t kck_len, int ver,
                              const uint8_t *dest, uint16_t proto, uint8_t *msg, size_t msg_len,
                              uint8_t *key_mic);

void wpa_sm_on_associated(rsn_supplicant *sm, const uint8_t *bssid);
void wpa_sm_on_disassociated(rsn_supplicant *sm);
void wpa_sm_clear_keys(rsn_supplicant *sm);
void wpa_sm_store_pmk(rsn_supplicant *sm, const uint8_t *pmk, size_t pmk_len, const uint8_t *pmkid,
                      const uint8_t *bssid);
void wpa_sm_pmk_from_pmksa(rsn_supplicant *sm);
int wpa_sm_send_key_request(rsn_supplicant *sm, int error, int pairwise);
void wpa_sm_abort_cached_pmksa(rsn_supplicant *sm);

void wpa_sm_store_fast_reauth(rsn_supplicant *sm, int fast_reauth);
void wpa_sm_set_smartcard_ctx(rsn_supplicant *sm, void *scard_ctx);
void wpa_sm_set_network_config(rsn_supplicant *sm, const rsn_network_settings *config);
void wpa_sm_store_own_addr(rsn_supplicant *sm, const uint8_t *addr);
void wpa_sm_store_ifnames(rsn_supplicant *sm, const char *ifname, const char *bridge_ifname);
void wpa_sm_attach_eapol(rsn_supplicant *sm, eapol_supp_sm *eapol, const rsn_eapol_ops *eapol_ops);
void wpa_sm_store_rx_replay_counter(rsn_supplicant *sm, const uint8_t *replay_ctr);
void wpa_sm_update_replay_counter(rsn_supplicant *sm, const uint8_t *replay_ctr);
void wpa_sm_update_kck_kek(rsn_supplicant *sm, const uint8_t *kck, size_t kck_len, const uint8_t *kek,
                           size_t kek_len);
int wpa_sm_configure_param(rsn_supplicant *sm, rsn_sm_param param, unsigned int value);

// The station's own WPA/RSN element from the current settings: its length or -1.
int wpa_build_own_ie(rsn_supplicant *sm, uint8_t *buf, size_t len);
int wpa_sm_set_default_own_ie(rsn_supplicant *sm, uint8_t *buf, size_t *len_inout);
int wpa_sm_store_own_ie(rsn_supplicant *sm, const uint8_t *ie, size_t len);
int wpa_sm_store_ap_wpa_ie(rsn_supplicant *sm, const uint8_t *ie, size_t len);
int wpa_sm_store_ap_rsn_ie(rsn_supplicant *sm, const uint8_t *ie, size_t len);
int wpa_sm_decode_own_ie(rsn_supplicant *sm, wpa_ie_info *info);

int wpa_sm_status_text(rsn_supplicant *sm, char *buf, size_t size);
int wpa_sm_pmf_in_use(rsn_supplicant *sm);
int wpa_sm_mib_text(rsn_supplicant *sm, char *buf, size_t size);
int wpa_sm_get_assigned_ip(rsn_supplicant *sm, uint8_t *out);

// Timer handlers (event-loop timeouts keyed by the RSN supplicant).
void wpa_sm_rekey_ptk(void *eloop_ctx, void *timeout_ctx);
void wpa_sm_start_preauth(void *eloop_ctx, void *timeout_ctx);
