// The RFC 4137 EAP peer of one EAPOL supplicant: answers Identity and Notification,
// selects and runs the methods of the registry (proposal, NAK, processing), decides
// success or failure and keeps the key material of the finished method. The variables
// it shares with its host (eapReq, eapResp, ...) are read and written through host
// operations.
#pragma once

#include <cstddef>
#include <cstdint>

struct wpa_buf;
struct wpa_network;
struct wpa_config_blob;
struct eap_peer_sm;
using eap_peer_config = wpa_network;

// Boolean variables shared with the host, by number.
enum eapol_bool_var {
    EAPOL_eapSuccess = 0,
    EAPOL_eapRestart,
    EAPOL_eapFail,
    EAPOL_eapResp,
    EAPOL_eapNoResp,
    EAPOL_eapReq,
    EAPOL_portEnabled,
    EAPOL_altAccept,
    EAPOL_altReject,
    EAPOL_eapTriggerStart,
};
enum eapol_int_var { EAPOL_idleWhile = 0 };

// Credential request types.
enum wpa_ctrl_req_type {
    WPA_CTRL_REQ_UNKNOWN = 0,
    WPA_CTRL_REQ_EAP_IDENTITY,
    WPA_CTRL_REQ_EAP_PASSWORD,
    WPA_CTRL_REQ_EAP_NEW_PASSWORD,
    WPA_CTRL_REQ_EAP_PIN,
    WPA_CTRL_REQ_EAP_OTP,
    WPA_CTRL_REQ_EAP_PASSPHRASE,
    WPA_CTRL_REQ_SIM,
    WPA_CTRL_REQ_PSK_PASSPHRASE,
    WPA_CTRL_REQ_EXT_CERT_CHECK,
    NUM_WPA_CTRL_REQS,
};

struct eap_peer_host_ops {
    eap_peer_config *(*get_config)(void *ctx);
    bool (*get_bool)(void *ctx, eapol_bool_var var);
    void (*set_bool)(void *ctx, eapol_bool_var var, bool value);
    unsigned int (*get_int)(void *ctx, eapol_int_var var);
    void (*set_int)(void *ctx, eapol_int_var var, unsigned int value);
    wpa_buf *(*get_eapReqData)(void *ctx);
    void (*set_config_blob)(void *ctx, wpa_config_blob *blob);
    const wpa_config_blob *(*get_config_blob)(void *ctx, const char *name);
    void (*notify_pending)(void *ctx);
    void (*eap_param_needed)(void *ctx, wpa_ctrl_req_type field, const char *txt);
    void (*notify_cert)(void *ctx, int depth, const char *subject, const char *altsubject[],
                        int num_altsubject, const char *cert_hash, const wpa_buf *cert);
    void (*notify_status)(void *ctx, const char *status, const char *parameter);
    void (*set_anon_id)(void *ctx, const uint8_t *id, size_t len);
};

struct eap_peer_tls_config {
    const char *opensc_engine_path;
    const char *pkcs11_engine_path;
    const char *pkcs11_module_path;
    const char *openssl_ciphers;
    int cert_in_cb;
    void *wps;
};

eap_peer_sm *eap_peer_sm_create(void *host_ctx, const eap_peer_host_ops *host_ops, void *msg_ctx,
                                const eap_peer_tls_config *tls_config);
void eap_peer_sm_destroy(eap_peer_sm *sm);
int eap_peer_run(eap_peer_sm *sm);
void eap_peer_abort(eap_peer_sm *sm);
bool eap_peer_key_available(eap_peer_sm *sm);
const uint8_t *eap_peer_get_key(eap_peer_sm *sm, size_t *len);
const uint8_t *eap_peer_get_emsk(eap_peer_sm *sm, size_t *len);
const uint8_t *eap_peer_get_session_id(eap_peer_sm *sm, size_t *len);
wpa_buf *eap_peer_take_response(eap_peer_sm *sm);
void eap_peer_notify_success(eap_peer_sm *sm);
void eap_peer_lower_layer_success(eap_peer_sm *sm);
void eap_peer_set_fast_reauth(eap_peer_sm *sm, int enabled);
void eap_peer_set_workaround(eap_peer_sm *sm, unsigned int workaround);
void eap_peer_set_force_disabled(eap_peer_sm *sm, int disabled);
void eap_peer_set_external_sim(eap_peer_sm *sm, int external_sim);
void eap_peer_invalidate_cached_session(eap_peer_sm *sm);
bool eap_peer_failure_expected(eap_peer_sm *sm);
int eap_peer_status_text(eap_peer_sm *sm, char *buf, size_t buflen, int verbose);
void eap_peer_reissue_requests(eap_peer_sm *sm);
