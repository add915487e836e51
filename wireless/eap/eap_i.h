// The EAP peer's state as its methods see it, and the helpers they share.
#pragma once

#include "wireless/eap/eap.h"
#include "wireless/eap/eap_methods.h"

#include <cstddef>
#include <cstdint>

struct tls_library_ctx;

enum eap_peer_state {
    EAP_INITIALIZE,
    EAP_DISABLED,
    EAP_IDLE,
    EAP_RECEIVED,
    EAP_GET_METHOD,
    EAP_METHOD,
    EAP_SEND_RESPONSE,
    EAP_DISCARD,
    EAP_IDENTITY,
    EAP_NOTIFICATION,
    EAP_RETRANSMIT,
    EAP_SUCCESS,
    EAP_FAILURE,
};

constexpr int EAP_MAX_AUTH_ROUNDS = 50;

struct eap_peer_sm {
    eap_peer_state state;
    int selectedMethod;
    eap_method_state methodState;
    int lastId;
    wpa_buf *lastRespData;
    eap_decision decision;
    bool rxReq, rxSuccess, rxFailure, rxResp, rxInitiate;
    int reqId;
    int reqMethod;
    int reqVendor;
    uint32_t reqVendorMethod;
    bool ignore;
    int ClientTimeout;
    bool allowNotifications;
    wpa_buf *eapRespData;
    uint8_t *eapKeyData;
    size_t eapKeyDataLen;
    uint8_t *eapSessionId;
    size_t eapSessionIdLen;
    bool eapKeyAvailable;
    uint8_t *emsk; // the last copy handed out by eap_peer_get_emsk
    size_t emsk_len;
    bool eapSuccess;
    const eap_peer_method *m;
    void *eap_method_priv;
    int init_phase2;
    int fast_reauth;
    bool reauthInit;
    uint8_t req_sha1[20];
    uint8_t last_sha1[20];
    void *host_ctx;
    const eap_peer_host_ops *host_ops;
    void *msg_ctx;
    void *scard_ctx;
    bool changed;
    bool leap_done;
    bool peap_done;
    tls_library_ctx *ssl_ctx;
    tls_library_ctx *ssl_ctx2;
    unsigned int workaround;
    // Challenges an outer method (EAP-FAST provisioning) leaves for MSCHAPv2.
    uint8_t *peer_challenge, *auth_challenge;
    int num_rounds;
    int force_disabled;
    int prev_failure;
    eap_peer_config *last_config;
    int external_sim;
    // Bit 0 failure expected, bit 1 external certificate check wanted, bit 2 waiting for it.
    unsigned int flags;
    // The method that runs this one as its inner method, when any (vendor, type).
    int outer_vendor;
    unsigned int outer_method;
};

enum { EAP_FLAG_FAILURE_EXPECTED = 1, EAP_FLAG_EXT_CERT_CHECK = 2, EAP_FLAG_WAIT_EXT_CERT_CHECK = 4 };

// Configuration accessors for methods.
eap_peer_config *eap_get_config(eap_peer_sm *sm);
const uint8_t *eap_get_config_identity(eap_peer_sm *sm, size_t *len);
const uint8_t *eap_get_config_password(eap_peer_sm *sm, size_t *len);
const uint8_t *eap_get_config_password2(eap_peer_sm *sm, size_t *len, int *hash);
const uint8_t *eap_get_config_new_password(eap_peer_sm *sm, size_t *len);
const uint8_t *eap_get_config_otp(eap_peer_sm *sm, size_t *len);
void eap_clear_config_otp(eap_peer_sm *sm);
const char *eap_get_config_phase1(eap_peer_sm *sm);
const char *eap_get_config_phase2(eap_peer_sm *sm);
int eap_get_config_fragment_size(eap_peer_sm *sm);
const wpa_config_blob *eap_get_config_blob(eap_peer_sm *sm, const char *name);
bool eap_get_workaround(eap_peer_sm *sm);

void eap_peer_request_credential(eap_peer_sm *sm, wpa_ctrl_req_type type, const char *txt, size_t len);
void eap_sm_request_identity(eap_peer_sm *sm);
void eap_sm_request_password(eap_peer_sm *sm);
void eap_sm_request_new_password(eap_peer_sm *sm);
void eap_sm_request_pin(eap_peer_sm *sm);
void eap_sm_request_otp(eap_peer_sm *sm, const char *msg, size_t msg_len);
void eap_sm_request_passphrase(eap_peer_sm *sm);
void eap_sm_request_ext_cert_check(eap_peer_sm *sm);
bool eap_sm_pending_credential(eap_peer_sm *sm);

// Phase-2 helpers of the tunnel methods.
unsigned int eap_peer_phase2_type_by_name(const char *name, int *vendor);
eap_method_type *eap_peer_default_phase2_types(eap_peer_config *config, size_t *count);
bool eap_peer_method_allowed(eap_peer_sm *sm, int vendor, unsigned int method);
void eap_peer_notify_status(eap_peer_sm *sm, const char *status, const char *parameter);
// The host's TLS event handler of this peer (certificate and alert events).
void eap_peer_tls_event(void *ctx, int ev, const void *data);

// Builds a fresh return record from the current values, for inner methods.
void eap_method_ret_init(eap_method_ret *ret);
