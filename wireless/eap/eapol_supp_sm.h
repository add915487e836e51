// The IEEE 802.1X-2004 supplicant of one port: the Supplicant PAE, key receive and
// supplicant backend machines with their timers, driving the EAP peer. It takes EAPOL
// frames, sends EAPOL-Start, EAPOL-Logoff and EAP responses through its owner, reports
// port authorisation and the result, and keeps the EAP key material.
#pragma once

#include <cstddef>
#include <cstdint>

struct wpa_buf;
struct wpa_network;
struct wpa_config_blob;
struct eapol_supp_sm;
struct eap_peer_sm;

enum eapol_port_control { EAPOL_Auto = 0, EAPOL_ForceUnauthorized = 1, EAPOL_ForceAuthorized = 2 };
enum eapol_port_status { EAPOL_Unauthorized = 0, EAPOL_Authorized = 1 };
enum { EAPOL_REQUIRE_KEY_UNICAST = 1, EAPOL_REQUIRE_KEY_BROADCAST = 2 };
enum eapol_packet_type {
    IEEE802_1X_TYPE_EAP_PACKET = 0,
    IEEE802_1X_TYPE_EAPOL_START = 1,
    IEEE802_1X_TYPE_EAPOL_LOGOFF = 2,
    IEEE802_1X_TYPE_EAPOL_KEY = 3
};
enum eapol_supp_result {
    EAPOL_SUPP_RESULT_FAILURE = 0,
    EAPOL_SUPP_RESULT_SUCCESS = 1,
    EAPOL_SUPP_RESULT_EXPECTED_FAILURE = 2
};

struct eapol_supp_callbacks {
    void *ctx;
    int preauth;
    void (*cb)(eapol_supp_sm *sm, eapol_supp_result result, void *cb_ctx);
    void *cb_ctx;
    void *msg_ctx;
    void *scard_ctx;
    void *eapol_send_ctx;
    void (*eapol_done_cb)(void *ctx);
    int (*eapol_send)(void *ctx, int type, const uint8_t *buf, size_t len);
    int (*set_wep_key)(void *ctx, int unicast, int keyidx, const uint8_t *key, size_t keylen);
    void (*set_config_blob)(void *ctx, wpa_config_blob *blob);
    const wpa_config_blob *(*get_config_blob)(void *ctx, const char *name);
    void (*aborted_cached)(void *ctx);
    const char *opensc_engine_path;
    const char *pkcs11_engine_path;
    const char *pkcs11_module_path;
    const char *openssl_ciphers;
    void *wps;
    void (*eap_param_needed)(void *ctx, int field, const char *txt);
    void (*port_cb)(void *ctx, int authorized);
    void (*cert_cb)(void *ctx, int depth, const char *subject, const char *altsubject[], int num_altsubject,
                    const char *cert_hash, const wpa_buf *cert);
    int cert_in_cb;
    void (*status_cb)(void *ctx, const char *status, const char *parameter);
    void (*set_anon_id)(void *ctx, const uint8_t *id, size_t len);
};

struct eapol_supp_config {
    int accept_802_1x_keys;
    int required_keys;
    int fast_reauth;
    unsigned int workaround;
    int eap_disabled;
    int external_sim;
    int wps;
};

// Takes the callback record on success (freed with the machine).
eapol_supp_sm *eapol_supp_create(eapol_supp_callbacks *ctx);
void eapol_supp_destroy(eapol_supp_sm *sm);
int eapol_supp_rx_frame(eapol_supp_sm *sm, const uint8_t *src, const uint8_t *buf, size_t len);
void eapol_supp_step(eapol_supp_sm *sm);
void eapol_supp_set_port_enabled(eapol_supp_sm *sm, bool enabled);
void eapol_supp_set_port_valid(eapol_supp_sm *sm, bool valid);
void eapol_supp_set_eap_success(eapol_supp_sm *sm, bool success);
void eapol_supp_set_eap_fail(eapol_supp_sm *sm, bool fail);
void eapol_supp_set_logoff(eapol_supp_sm *sm, bool logoff);
void eapol_supp_set_port_control(eapol_supp_sm *sm, eapol_port_control control);
void eapol_supp_note_cached_success(eapol_supp_sm *sm);
void eapol_supp_ctrl_response_ready(eapol_supp_sm *sm);
void eapol_supp_set_pae_params(eapol_supp_sm *sm, int held_period, int auth_period, int start_period,
                               int max_start);
void eapol_supp_apply_config(eapol_supp_sm *sm, wpa_network *config, const eapol_supp_config *conf);
int eapol_supp_get_key(eapol_supp_sm *sm, uint8_t *key, size_t len);
const uint8_t *eapol_supp_get_session_id(eapol_supp_sm *sm, size_t *len);
const uint8_t *eapol_supp_get_emsk(eapol_supp_sm *sm, size_t *len);
void eapol_supp_note_pmksa_attempt(eapol_supp_sm *sm, bool attempt);
void eapol_supp_monitor_attached(eapol_supp_sm *sm);
void eapol_supp_reauthenticate(eapol_supp_sm *sm);
void eapol_supp_lower_layer_success(eapol_supp_sm *sm, bool no_run);
void eapol_supp_invalidate_cached_session(eapol_supp_sm *sm);
bool eapol_supp_has_failed(eapol_supp_sm *sm);
void eapol_supp_erp_flush(eapol_supp_sm *sm);
void eapol_supp_count_tx(eapol_supp_sm *sm);
int eapol_supp_status_text(eapol_supp_sm *sm, char *buf, size_t buflen, int verbose);
int eapol_supp_mib_text(eapol_supp_sm *sm, char *buf, size_t buflen);
eap_peer_sm *eapol_supp_eap_peer(eapol_supp_sm *sm);
// One second of the port timer (what the event loop runs every second while a timer
// is non-zero).
void eapol_supp_timer_tick(eapol_supp_sm *sm);
// Current timer values and states, for status and tests.
struct eapol_supp_view {
    unsigned int authWhile, heldWhile, startWhen, idleWhile;
    int supp_pae_state, supp_be_state, startCount;
    bool portValid, timer_running;
    eapol_port_status suppPortStatus;
};
void eapol_supp_get_view(eapol_supp_sm *sm, eapol_supp_view *view);

// Writing the configuration back to a file is not available here.
int wpa_config_write_unavailable();
