#include "wireless/eap/eapol_supp_sm.h"

#include "wireless/core/config.h"
#include "wireless/core/eloop.h"
#include "wireless/core/os.h"
#include "wireless/core/wpabuf.h"
#include "wireless/crypto/crypto.h"
#include "wireless/eap/eap.h"
#include "wireless/eap/eap_i.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum supp_pae_state {
    SUPP_PAE_UNKNOWN = 0,
    SUPP_PAE_DISCONNECTED = 1,
    SUPP_PAE_LOGOFF = 2,
    SUPP_PAE_CONNECTING = 3,
    SUPP_PAE_AUTHENTICATING = 4,
    SUPP_PAE_AUTHENTICATED = 5,
    SUPP_PAE_HELD = 7,
    SUPP_PAE_RESTART = 8,
    SUPP_PAE_S_FORCE_AUTH = 9,
    SUPP_PAE_S_FORCE_UNAUTH = 10,
};
enum key_rx_state { KEY_RX_UNKNOWN = 0, KEY_RX_NO_KEY_RECEIVE = 1, KEY_RX_KEY_RECEIVE = 2 };
enum supp_be_state {
    SUPP_BE_UNKNOWN = 0,
    SUPP_BE_INITIALIZE = 1,
    SUPP_BE_IDLE = 2,
    SUPP_BE_REQUEST = 3,
    SUPP_BE_RECEIVE = 4,
    SUPP_BE_RESPONSE = 5,
    SUPP_BE_FAIL = 6,
    SUPP_BE_TIMEOUT = 7,
    SUPP_BE_SUCCESS = 8,
};
enum { RESULT_NONE = 0, RESULT_SUCCESS = 1, RESULT_FAILURE = 2 };

constexpr size_t RC4_KEY_HDR = 44;
constexpr int MAX_STEP_ROUNDS = 100;

} // namespace

struct eapol_supp_sm {
    unsigned int authWhile, heldWhile, startWhen, idleWhile;
    bool timer_tick_enabled;
    bool eapFail, eapolEap, eapSuccess, initialize, keyDone, keyRun;
    eapol_port_control portControl;
    bool portEnabled;
    eapol_port_status suppPortStatus;
    bool portValid, suppAbort, suppFail, suppStart, suppSuccess, suppTimeout;
    supp_pae_state SUPP_PAE_state;
    bool userLogoff, logoffSent;
    unsigned int startCount;
    bool eapRestart;
    eapol_port_control sPortMode;
    unsigned int heldPeriod, startPeriod, maxStart;
    key_rx_state KEY_RX_state;
    bool rxKey;
    supp_be_state SUPP_BE_state;
    bool eapNoResp, eapReq, eapResp;
    unsigned int authPeriod;
    unsigned int dot1xSuppEapolFramesRx, dot1xSuppEapolFramesTx, dot1xSuppEapolStartFramesTx,
        dot1xSuppEapolLogoffFramesTx, dot1xSuppEapolRespFramesTx, dot1xSuppEapolReqIdFramesRx,
        dot1xSuppEapolReqFramesRx, dot1xSuppInvalidEapolFramesRx, dot1xSuppEapLengthErrorFramesRx,
        dot1xSuppLastEapolFrameVersion;
    uint8_t dot1xSuppLastEapolFrameSource[6];
    bool changed;
    eap_peer_sm *eap;
    wpa_network *config;
    bool initial_req;
    uint8_t *last_rx_key;
    size_t last_rx_key_len;
    wpa_buf *eapReqData;
    bool altAccept, altReject, eapTriggerStart;
    bool replay_counter_valid;
    uint8_t last_replay_counter[8];
    eapol_supp_config conf;
    int cb_status;
    eapol_supp_callbacks *ctx;
    bool cached_pmk;
    bool unicast_key_received, broadcast_key_received;
    bool force_authorized_update;
};

namespace {

const char *pae_state_txt(int s) {
    switch (s) {
    case SUPP_PAE_DISCONNECTED:
        return "DISCONNECTED";
    case SUPP_PAE_LOGOFF:
        return "LOGOFF";
    case SUPP_PAE_CONNECTING:
        return "CONNECTING";
    case SUPP_PAE_AUTHENTICATING:
        return "AUTHENTICATING";
    case SUPP_PAE_AUTHENTICATED:
        return "AUTHENTICATED";
    case SUPP_PAE_HELD:
        return "HELD";
    case SUPP_PAE_RESTART:
        return "RESTART";
    default:
        return "UNKNOWN";
    }
}

const char *be_state_txt(int s) {
    static const char *const names[] = {"UNKNOWN",  "INITIALIZE", "IDLE",    "REQUEST", "RECEIVE",
                                        "RESPONSE", "FAIL",       "TIMEOUT", "SUCCESS"};
    return s >= 1 && s <= 8 ? names[s] : "UNKNOWN";
}

const char *port_control_txt(eapol_port_control c) {
    switch (c) {
    case EAPOL_Auto:
        return "Auto";
    case EAPOL_ForceUnauthorized:
        return "ForceUnauthorized";
    case EAPOL_ForceAuthorized:
        return "ForceAuthorized";
    default:
        return "Unknown";
    }
}

const char *port_status_txt(eapol_port_status s) {
    return s == EAPOL_Authorized ? "Authorized" : "Unauthorized";
}

void port_timer(void *eloop_ctx, void *);

void enable_timer_tick(eapol_supp_sm *sm) {
    if (sm->timer_tick_enabled) return;
    sm->timer_tick_enabled = true;
    eloop_cancel_timeout(port_timer, nullptr, sm);
    eloop_register_timeout(1, 0, port_timer, nullptr, sm);
}

void set_port(eapol_supp_sm *sm, eapol_port_status status) {
    const bool changed = sm->suppPortStatus != status;
    sm->suppPortStatus = status;
    if ((changed || sm->force_authorized_update) && sm->ctx->port_cb != nullptr) {
        sm->force_authorized_update = false;
        sm->ctx->port_cb(sm->ctx->ctx, status == EAPOL_Authorized);
    } else if (changed) {
        sm->force_authorized_update = false;
    }
}

void send_frame(eapol_supp_sm *sm, int type, const uint8_t *body, size_t len) {
    if (sm->ctx->eapol_send != nullptr) sm->ctx->eapol_send(sm->ctx->eapol_send_ctx, type, body, len);
}

void tx_start(eapol_supp_sm *sm) {
    send_frame(sm, IEEE802_1X_TYPE_EAPOL_START, nullptr, 0);
    sm->dot1xSuppEapolStartFramesTx++;
    sm->dot1xSuppEapolFramesTx++;
}

void tx_logoff(eapol_supp_sm *sm) {
    send_frame(sm, IEEE802_1X_TYPE_EAPOL_LOGOFF, nullptr, 0);
    sm->dot1xSuppEapolLogoffFramesTx++;
    sm->dot1xSuppEapolFramesTx++;
}

#define PAE_ENTER(st)                                                                                        \
    do {                                                                                                     \
        if (sm->SUPP_PAE_state != (st)) sm->changed = true;                                                  \
        sm->SUPP_PAE_state = (st);                                                                           \
    } while (0)

void pae_logoff(eapol_supp_sm *sm) {
    PAE_ENTER(SUPP_PAE_LOGOFF);
    tx_logoff(sm);
    sm->logoffSent = true;
    set_port(sm, EAPOL_Unauthorized);
}

void pae_disconnected(eapol_supp_sm *sm) {
    PAE_ENTER(SUPP_PAE_DISCONNECTED);
    sm->sPortMode = EAPOL_Auto;
    sm->startCount = 0;
    sm->eapTriggerStart = false;
    sm->logoffSent = false;
    set_port(sm, EAPOL_Unauthorized);
    sm->suppAbort = true;
    sm->unicast_key_received = false;
    sm->broadcast_key_received = false;
    sm->heldWhile = 0;
    // The result of an earlier conversation does not carry over into the next one:
    // otherwise CONNECTING would take a stale failure straight back to HELD (and a
    // LOGON after a failure would wait out the held period).
    sm->eapFail = false;
    sm->eapSuccess = false;
}

void pae_connecting(eapol_supp_sm *sm) {
    const bool send_start = sm->eapTriggerStart || sm->SUPP_PAE_state == SUPP_PAE_CONNECTING ||
                            sm->SUPP_PAE_state == SUPP_PAE_HELD;
    PAE_ENTER(SUPP_PAE_CONNECTING);
    if (send_start) {
        sm->eapTriggerStart = false;
        sm->startWhen = sm->startPeriod;
        sm->startCount++;
        tx_start(sm);
    } else {
        // The authenticator may start on its own right after association: wait a moment
        // before the first EAPOL-Start.
        sm->startWhen = (sm->conf.wps & 1) && !(sm->conf.wps & 2) ? 1 : 2;
    }
    enable_timer_tick(sm);
    sm->eapolEap = false;
}

void pae_authenticating(eapol_supp_sm *sm) {
    PAE_ENTER(SUPP_PAE_AUTHENTICATING);
    sm->startCount = 0;
    sm->suppSuccess = sm->suppFail = sm->suppTimeout = sm->keyRun = sm->keyDone = false;
    sm->suppStart = true;
}

void pae_held(eapol_supp_sm *sm) {
    PAE_ENTER(SUPP_PAE_HELD);
    sm->heldWhile = sm->heldPeriod;
    enable_timer_tick(sm);
    set_port(sm, EAPOL_Unauthorized);
    sm->cb_status = RESULT_FAILURE;
}

void pae_authenticated(eapol_supp_sm *sm) {
    PAE_ENTER(SUPP_PAE_AUTHENTICATED);
    set_port(sm, EAPOL_Authorized);
    sm->cb_status = RESULT_SUCCESS;
}

void pae_restart(eapol_supp_sm *sm) {
    PAE_ENTER(SUPP_PAE_RESTART);
    sm->eapRestart = true;
    if (sm->altAccept) {
        sm->eapSuccess = false;
        sm->altAccept = false;
    }
}

void pae_force_auth(eapol_supp_sm *sm) {
    PAE_ENTER(SUPP_PAE_S_FORCE_AUTH);
    set_port(sm, EAPOL_Authorized);
    sm->sPortMode = EAPOL_ForceAuthorized;
}

void pae_force_unauth(eapol_supp_sm *sm) {
    PAE_ENTER(SUPP_PAE_S_FORCE_UNAUTH);
    set_port(sm, EAPOL_Unauthorized);
    sm->sPortMode = EAPOL_ForceUnauthorized;
    tx_logoff(sm);
}

void step_pae(eapol_supp_sm *sm) {
    if (sm->userLogoff && !sm->logoffSent && !sm->initialize && sm->portEnabled) {
        pae_logoff(sm);
    } else if ((sm->portControl == EAPOL_Auto && sm->sPortMode != sm->portControl) || sm->initialize ||
               !sm->portEnabled) {
        pae_disconnected(sm);
    } else if (sm->portControl == EAPOL_ForceAuthorized && sm->sPortMode != sm->portControl) {
        pae_force_auth(sm);
    } else if (sm->portControl == EAPOL_ForceUnauthorized && sm->sPortMode != sm->portControl) {
        pae_force_unauth(sm);
    } else {
        switch (sm->SUPP_PAE_state) {
        case SUPP_PAE_LOGOFF:
            if (!sm->userLogoff) pae_disconnected(sm);
            break;
        case SUPP_PAE_DISCONNECTED:
            pae_connecting(sm);
            break;
        case SUPP_PAE_CONNECTING:
            if (sm->startWhen == 0 && sm->startCount < sm->maxStart)
                pae_connecting(sm);
            else if (sm->startWhen == 0 && sm->startCount >= sm->maxStart && sm->portValid)
                pae_authenticated(sm);
            else if (sm->eapSuccess || sm->eapFail)
                pae_authenticating(sm);
            else if (sm->eapolEap)
                pae_restart(sm);
            else if (sm->startWhen == 0 && sm->startCount >= sm->maxStart && !sm->portValid)
                pae_held(sm);
            break;
        case SUPP_PAE_AUTHENTICATING:
            if (sm->eapSuccess && !sm->portValid && sm->conf.accept_802_1x_keys &&
                sm->conf.required_keys == 0) {
                sm->portValid = true;
                if (sm->ctx->eapol_done_cb != nullptr) sm->ctx->eapol_done_cb(sm->ctx->ctx);
            }
            if (sm->eapSuccess && sm->portValid)
                pae_authenticated(sm);
            else if (sm->eapFail || (sm->keyDone && !sm->portValid))
                pae_held(sm);
            else if (sm->suppTimeout || sm->eapTriggerStart)
                pae_connecting(sm);
            break;
        case SUPP_PAE_HELD:
            if (sm->heldWhile == 0)
                pae_connecting(sm);
            else if (sm->eapolEap)
                pae_restart(sm);
            break;
        case SUPP_PAE_AUTHENTICATED:
            if (sm->eapolEap && sm->portValid)
                pae_restart(sm);
            else if (!sm->portValid)
                pae_disconnected(sm);
            break;
        case SUPP_PAE_RESTART:
            if (!sm->eapRestart) pae_authenticating(sm);
            break;
        default:
            break;
        }
    }
}

void process_key(eapol_supp_sm *sm);

void step_key_rx(eapol_supp_sm *sm) {
    if (sm->initialize || !sm->portEnabled) {
        if (sm->KEY_RX_state != KEY_RX_NO_KEY_RECEIVE) sm->changed = true;
        sm->KEY_RX_state = KEY_RX_NO_KEY_RECEIVE;
    } else if (sm->rxKey) {
        sm->changed = true;
        sm->KEY_RX_state = KEY_RX_KEY_RECEIVE;
        process_key(sm);
        sm->rxKey = false;
    }
}

#define BE_ENTER(st)                                                                                         \
    do {                                                                                                     \
        if (sm->SUPP_BE_state != (st)) sm->changed = true;                                                   \
        sm->SUPP_BE_state = (st);                                                                            \
    } while (0)

void be_initialize(eapol_supp_sm *sm) {
    BE_ENTER(SUPP_BE_INITIALIZE);
    free(sm->last_rx_key);
    sm->last_rx_key = nullptr;
    sm->last_rx_key_len = 0;
    wpa_buf_free(sm->eapReqData);
    sm->eapReqData = nullptr;
    eap_peer_abort(sm->eap);
    sm->suppAbort = false;
    sm->authWhile = 0;
}

void be_idle(eapol_supp_sm *sm) {
    BE_ENTER(SUPP_BE_IDLE);
    sm->suppStart = false;
    sm->initial_req = true;
}

void be_request(eapol_supp_sm *sm) {
    BE_ENTER(SUPP_BE_REQUEST);
    sm->authWhile = 0;
    sm->eapReq = true;
}

void be_response(eapol_supp_sm *sm) {
    BE_ENTER(SUPP_BE_RESPONSE);
    wpa_buf *resp = eap_peer_take_response(sm->eap);
    if (resp != nullptr) {
        if (sm->initial_req)
            sm->dot1xSuppEapolReqIdFramesRx++;
        else
            sm->dot1xSuppEapolReqFramesRx++;
        send_frame(sm, IEEE802_1X_TYPE_EAP_PACKET, wpa_buf_head(resp), wpa_buf_len(resp));
        wpa_buf_free(resp);
        sm->dot1xSuppEapolRespFramesTx++;
        sm->dot1xSuppEapolFramesTx++;
    }
    sm->eapResp = false;
}

void be_receive(eapol_supp_sm *sm) {
    BE_ENTER(SUPP_BE_RECEIVE);
    sm->authWhile = sm->authPeriod;
    enable_timer_tick(sm);
    sm->eapolEap = false;
    sm->eapNoResp = false;
    sm->initial_req = false;
}

void be_fail(eapol_supp_sm *sm) {
    BE_ENTER(SUPP_BE_FAIL);
    sm->suppFail = true;
}

void be_timeout(eapol_supp_sm *sm) {
    BE_ENTER(SUPP_BE_TIMEOUT);
    sm->suppTimeout = true;
}

void be_success(eapol_supp_sm *sm) {
    BE_ENTER(SUPP_BE_SUCCESS);
    sm->keyRun = true;
    sm->suppSuccess = true;
    if (eap_peer_key_available(sm->eap)) sm->replay_counter_valid = false;
}

void step_be(eapol_supp_sm *sm) {
    if (sm->initialize || sm->suppAbort) {
        be_initialize(sm);
        return;
    }
    switch (sm->SUPP_BE_state) {
    case SUPP_BE_UNKNOWN:
        break;
    case SUPP_BE_REQUEST:
        if (sm->eapResp && sm->eapNoResp) {
            // Both set: the response wins.
        }
        if (sm->eapResp)
            be_response(sm);
        else if (sm->eapNoResp)
            be_receive(sm);
        else if (sm->eapFail)
            be_fail(sm);
        else if (sm->eapSuccess)
            be_success(sm);
        break;
    case SUPP_BE_RESPONSE:
        be_receive(sm);
        break;
    case SUPP_BE_SUCCESS:
    case SUPP_BE_FAIL:
    case SUPP_BE_TIMEOUT:
    case SUPP_BE_INITIALIZE:
        be_idle(sm);
        break;
    case SUPP_BE_IDLE:
        if (sm->eapFail && sm->suppStart)
            be_fail(sm);
        else if (sm->eapolEap && sm->suppStart)
            be_request(sm);
        else if (sm->eapSuccess && sm->suppStart)
            be_success(sm);
        break;
    case SUPP_BE_RECEIVE:
        if (sm->eapolEap)
            be_request(sm);
        else if (sm->eapFail)
            be_fail(sm);
        else if (sm->authWhile == 0)
            be_timeout(sm);
        else if (sm->eapSuccess)
            be_success(sm);
        break;
    }
}

void step_timeout(void *eloop_ctx, void *) {
    eapol_supp_step(static_cast<eapol_supp_sm *>(eloop_ctx));
}

void port_timer(void *, void *timeout_ctx) {
    eapol_supp_timer_tick(static_cast<eapol_supp_sm *>(timeout_ctx));
}

// Dynamic WEP keys (EAPOL-Key, RC4 descriptor).
void process_key(eapol_supp_sm *sm) {
    if (!sm->conf.accept_802_1x_keys || sm->last_rx_key == nullptr || sm->last_rx_key_len < 4 + RC4_KEY_HDR)
        return;
    const uint8_t *frame = sm->last_rx_key;
    const size_t body_len = wpa_get_be16(frame + 2);
    if (body_len < RC4_KEY_HDR || 4 + body_len > sm->last_rx_key_len) return;
    const uint8_t *key = frame + 4;
    eap_peer_lower_layer_success(sm->eap);
    uint8_t keydata[64];
    int res = eapol_supp_get_key(sm, keydata, 64);
    uint8_t encr_key[32], sign_key[32];
    size_t encr_len;
    if (res == 16) {
        // LEAP gives 16 bytes: they serve as both keys.
        if (eapol_supp_get_key(sm, keydata, 16) != 0) return;
        memcpy(encr_key, keydata, 16);
        memcpy(sign_key, keydata, 16);
        encr_len = 16;
    } else if (res == 0) {
        memcpy(encr_key, keydata, 32);
        memcpy(sign_key, keydata + 32, 32);
        encr_len = 32;
    } else {
        return;
    }
    const size_t sign_len = encr_len;
    const uint8_t *replay = key + 3;
    if (sm->replay_counter_valid && memcmp(sm->last_replay_counter, replay, 8) >= 0) return;
    // Signature: HMAC-MD5 over the whole frame with the signature field zeroed.
    const size_t frame_len = 4 + body_len;
    auto *copy = static_cast<uint8_t *>(malloc(frame_len));
    if (copy == nullptr) return;
    memcpy(copy, frame, frame_len);
    memset(copy + 4 + 28, 0, 16);
    uint8_t mac[16];
    const bool sig_ok = crypto_hmac_md5(sign_key, sign_len, copy, frame_len, mac) == 0 &&
                        os_memcmp_const(mac, key + 28, 16) == 0;
    free(copy);
    if (!sig_ok) return;
    const size_t key_len = wpa_get_be16(key + 1);
    size_t rx_key_len = body_len - RC4_KEY_HDR;
    if (key_len > 32 || rx_key_len > 32) return;
    uint8_t datakey[32];
    if (rx_key_len == key_len) {
        // A key longer than the encryption key it is carried with is refused.
        if (key_len > encr_len) return;
        uint8_t ekey[16 + 32];
        memcpy(ekey, key + 11, 16);
        memcpy(ekey + 16, encr_key, encr_len);
        memcpy(datakey, key + RC4_KEY_HDR, key_len);
        if (crypto_rc4_skip_encrypt(ekey, 16 + encr_len, 0, datakey, key_len)) return;
        explicit_bzero(ekey, sizeof(ekey));
    } else if (rx_key_len == 0) {
        if (key_len > encr_len) return;
        memcpy(datakey, encr_key, key_len);
    } else {
        return;
    }
    memcpy(sm->last_replay_counter, replay, 8);
    sm->replay_counter_valid = true;
    const int unicast = (key[27] & 0x80) ? 1 : 0;
    const int index = key[27] & 0x03;
    if (sm->ctx->set_wep_key == nullptr ||
        sm->ctx->set_wep_key(sm->ctx->ctx, unicast, index, datakey, key_len) < 0)
        return;
    if (unicast)
        sm->unicast_key_received = true;
    else
        sm->broadcast_key_received = true;
    if ((sm->unicast_key_received || !(sm->conf.required_keys & EAPOL_REQUIRE_KEY_UNICAST)) &&
        (sm->broadcast_key_received || !(sm->conf.required_keys & EAPOL_REQUIRE_KEY_BROADCAST))) {
        sm->portValid = true;
        if (sm->ctx->eapol_done_cb != nullptr) sm->ctx->eapol_done_cb(sm->ctx->ctx);
    }
    explicit_bzero(datakey, sizeof(datakey));
    explicit_bzero(keydata, sizeof(keydata));
}

// The EAP peer's host operations.

eap_peer_config *host_get_config(void *ctx) {
    return static_cast<eapol_supp_sm *>(ctx)->config;
}

bool *bool_var(eapol_supp_sm *sm, eapol_bool_var var) {
    switch (var) {
    case EAPOL_eapSuccess:
        return &sm->eapSuccess;
    case EAPOL_eapRestart:
        return &sm->eapRestart;
    case EAPOL_eapFail:
        return &sm->eapFail;
    case EAPOL_eapResp:
        return &sm->eapResp;
    case EAPOL_eapNoResp:
        return &sm->eapNoResp;
    case EAPOL_eapReq:
        return &sm->eapReq;
    case EAPOL_portEnabled:
        return &sm->portEnabled;
    case EAPOL_altAccept:
        return &sm->altAccept;
    case EAPOL_altReject:
        return &sm->altReject;
    case EAPOL_eapTriggerStart:
        return &sm->eapTriggerStart;
    }
    return nullptr;
}

bool host_get_bool(void *ctx, eapol_bool_var var) {
    bool *v = bool_var(static_cast<eapol_supp_sm *>(ctx), var);
    return v != nullptr && *v;
}

void host_set_bool(void *ctx, eapol_bool_var var, bool value) {
    bool *v = bool_var(static_cast<eapol_supp_sm *>(ctx), var);
    if (v != nullptr) *v = value;
}

unsigned int host_get_int(void *ctx, eapol_int_var var) {
    return var == EAPOL_idleWhile ? static_cast<eapol_supp_sm *>(ctx)->idleWhile : 0;
}

void host_set_int(void *ctx, eapol_int_var var, unsigned int value) {
    auto *sm = static_cast<eapol_supp_sm *>(ctx);
    if (var != EAPOL_idleWhile) return;
    sm->idleWhile = value;
    if (value > 0) enable_timer_tick(sm);
}

wpa_buf *host_get_eapReqData(void *ctx) {
    return static_cast<eapol_supp_sm *>(ctx)->eapReqData;
}

void host_set_config_blob(void *ctx, wpa_config_blob *blob) {
    auto *sm = static_cast<eapol_supp_sm *>(ctx);
    if (sm->ctx->set_config_blob != nullptr) sm->ctx->set_config_blob(sm->ctx->ctx, blob);
}

const wpa_config_blob *host_get_config_blob(void *ctx, const char *name) {
    auto *sm = static_cast<eapol_supp_sm *>(ctx);
    return sm->ctx->get_config_blob != nullptr ? sm->ctx->get_config_blob(sm->ctx->ctx, name) : nullptr;
}

void host_notify_pending(void *ctx) {
    auto *sm = static_cast<eapol_supp_sm *>(ctx);
    if (sm->eapReqData != nullptr && !sm->eapReq) {
        sm->eapolEap = true;
        sm->eapReq = true;
        eapol_supp_step(sm);
    }
}

void host_param_needed(void *ctx, wpa_ctrl_req_type field, const char *txt) {
    auto *sm = static_cast<eapol_supp_sm *>(ctx);
    if (sm->ctx->eap_param_needed != nullptr) sm->ctx->eap_param_needed(sm->ctx->ctx, field, txt);
}

void host_notify_cert(void *ctx, int depth, const char *subject, const char *altsubject[], int num_altsubject,
                      const char *cert_hash, const wpa_buf *cert) {
    auto *sm = static_cast<eapol_supp_sm *>(ctx);
    if (sm->ctx->cert_cb != nullptr)
        sm->ctx->cert_cb(sm->ctx->ctx, depth, subject, altsubject, num_altsubject, cert_hash, cert);
}

void host_notify_status(void *ctx, const char *status, const char *parameter) {
    auto *sm = static_cast<eapol_supp_sm *>(ctx);
    if (sm->ctx->status_cb != nullptr) sm->ctx->status_cb(sm->ctx->ctx, status, parameter);
}

void host_set_anon_id(void *ctx, const uint8_t *id, size_t len) {
    auto *sm = static_cast<eapol_supp_sm *>(ctx);
    if (sm->ctx->set_anon_id != nullptr) sm->ctx->set_anon_id(sm->ctx->ctx, id, len);
}

const eap_peer_host_ops host_ops = {
    host_get_config,     host_get_bool,        host_set_bool,        host_get_int,        host_set_int,
    host_get_eapReqData, host_set_config_blob, host_get_config_blob, host_notify_pending, host_param_needed,
    host_notify_cert,    host_notify_status,   host_set_anon_id,
};

} // namespace

eapol_supp_sm *eapol_supp_create(eapol_supp_callbacks *ctx) {
    auto *sm = static_cast<eapol_supp_sm *>(calloc(1, sizeof(eapol_supp_sm)));
    if (sm == nullptr) return nullptr;
    sm->ctx = ctx;
    sm->portControl = EAPOL_Auto;
    sm->heldPeriod = 60;
    sm->startPeriod = 30;
    sm->maxStart = 3;
    sm->authPeriod = 30;
    eap_peer_tls_config tconf{};
    tconf.opensc_engine_path = ctx->opensc_engine_path;
    tconf.pkcs11_engine_path = ctx->pkcs11_engine_path;
    tconf.pkcs11_module_path = ctx->pkcs11_module_path;
    tconf.openssl_ciphers = ctx->openssl_ciphers;
    tconf.cert_in_cb = ctx->cert_in_cb;
    tconf.wps = ctx->wps;
    sm->eap = eap_peer_sm_create(sm, &host_ops, ctx->msg_ctx, &tconf);
    if (sm->eap == nullptr) {
        free(sm);
        return nullptr;
    }
    sm->force_authorized_update = true;
    sm->initialize = true;
    eapol_supp_step(sm);
    sm->initialize = false;
    eapol_supp_step(sm);
    sm->timer_tick_enabled = true;
    eloop_register_timeout(1, 0, port_timer, nullptr, sm);
    return sm;
}

void eapol_supp_destroy(eapol_supp_sm *sm) {
    if (sm == nullptr) return;
    eloop_cancel_timeout(step_timeout, sm, nullptr);
    eloop_cancel_timeout(port_timer, nullptr, sm);
    eap_peer_sm_destroy(sm->eap);
    free(sm->last_rx_key);
    wpa_buf_free(sm->eapReqData);
    free(sm->ctx);
    free(sm);
}

void eapol_supp_step(eapol_supp_sm *sm) {
    if (sm == nullptr) return;
    int i;
    for (i = 0; i < MAX_STEP_ROUNDS; i++) {
        sm->changed = false;
        step_pae(sm);
        step_key_rx(sm);
        step_be(sm);
        if (eap_peer_run(sm->eap)) sm->changed = true;
        if (!sm->changed) break;
    }
    if (sm->changed) {
        // Still moving after the round limit: go on from the event loop.
        eloop_cancel_timeout(step_timeout, sm, nullptr);
        eloop_register_timeout(0, 0, step_timeout, sm, nullptr);
    }
    if (sm->ctx->cb != nullptr && sm->cb_status != RESULT_NONE) {
        eapol_supp_result result;
        if (sm->cb_status == RESULT_SUCCESS)
            result = EAPOL_SUPP_RESULT_SUCCESS;
        else if (eap_peer_failure_expected(sm->eap))
            result = EAPOL_SUPP_RESULT_EXPECTED_FAILURE;
        else
            result = EAPOL_SUPP_RESULT_FAILURE;
        sm->cb_status = RESULT_NONE;
        sm->ctx->cb(sm, result, sm->ctx->cb_ctx);
    }
}

void eapol_supp_timer_tick(eapol_supp_sm *sm) {
    if (sm->authWhile > 0) sm->authWhile--;
    if (sm->heldWhile > 0) sm->heldWhile--;
    if (sm->startWhen > 0) sm->startWhen--;
    if (sm->idleWhile > 0) sm->idleWhile--;
    if (sm->authWhile | sm->heldWhile | sm->startWhen | sm->idleWhile) {
        eloop_cancel_timeout(port_timer, nullptr, sm);
        eloop_register_timeout(1, 0, port_timer, nullptr, sm);
    } else {
        sm->timer_tick_enabled = false;
    }
    eapol_supp_step(sm);
}

int eapol_supp_rx_frame(eapol_supp_sm *sm, const uint8_t *src, const uint8_t *buf, size_t len) {
    if (sm == nullptr) return 0;
    sm->dot1xSuppEapolFramesRx++;
    if (len < 4) {
        sm->dot1xSuppInvalidEapolFramesRx++;
        return 0;
    }
    sm->dot1xSuppLastEapolFrameVersion = buf[0];
    memcpy(sm->dot1xSuppLastEapolFrameSource, src, 6);
    size_t plen = wpa_get_be16(buf + 2);
    if (plen > len - 4) {
        sm->dot1xSuppEapLengthErrorFramesRx++;
        return 0;
    }
    const uint8_t *body = buf + 4;
    if ((sm->conf.wps & 1) && sm->conf.workaround && buf[1] == IEEE802_1X_TYPE_EAP_PACKET && plen < len - 4 &&
        len - 4 >= 4) {
        const size_t eap_len = wpa_get_be16(body + 2);
        if (eap_len > plen && eap_len <= len - 4) plen = eap_len;
    }
    switch (buf[1]) {
    case IEEE802_1X_TYPE_EAP_PACKET: {
        if (sm->conf.workaround && plen >= 1 && body[0] == 10) return 1;
        if (sm->cached_pmk) {
            // Authentication starts over while a cached PMKSA was tried.
            sm->cached_pmk = false;
            sm->SUPP_PAE_state = SUPP_PAE_CONNECTING;
            set_port(sm, EAPOL_Unauthorized);
            sm->startWhen = 3;
            enable_timer_tick(sm);
            if (sm->ctx->aborted_cached != nullptr) sm->ctx->aborted_cached(sm->ctx->ctx);
        }
        wpa_buf *req = wpa_buf_alloc_copy(body, plen);
        if (req == nullptr) return 1;
        wpa_buf_free(sm->eapReqData);
        sm->eapReqData = req;
        sm->eapolEap = true;
        eapol_supp_step(sm);
        return 1;
    }
    case IEEE802_1X_TYPE_EAPOL_KEY:
        if (plen < RC4_KEY_HDR) {
            sm->dot1xSuppInvalidEapolFramesRx++;
            return 0;
        }
        if (body[0] == 254 || body[0] == 2) return 0;
        if (body[0] != 1) {
            sm->dot1xSuppInvalidEapolFramesRx++;
            return 0;
        }
        free(sm->last_rx_key);
        sm->last_rx_key = static_cast<uint8_t *>(malloc(4 + plen));
        if (sm->last_rx_key == nullptr) return 1;
        memcpy(sm->last_rx_key, buf, 4 + plen);
        sm->last_rx_key_len = 4 + plen;
        sm->rxKey = true;
        eapol_supp_step(sm);
        return 1;
    default:
        sm->dot1xSuppInvalidEapolFramesRx++;
        return 0;
    }
}

void eapol_supp_set_port_enabled(eapol_supp_sm *sm, bool enabled) {
    if (sm == nullptr) return;
    if (sm->portEnabled != enabled) sm->force_authorized_update = true;
    sm->portEnabled = enabled;
    eapol_supp_step(sm);
}

void eapol_supp_set_port_valid(eapol_supp_sm *sm, bool valid) {
    if (sm == nullptr) return;
    sm->portValid = valid;
    eapol_supp_step(sm);
}

void eapol_supp_set_eap_success(eapol_supp_sm *sm, bool success) {
    if (sm == nullptr) return;
    sm->eapSuccess = success;
    sm->altAccept = success;
    if (success) eap_peer_notify_success(sm->eap);
    eapol_supp_step(sm);
}

void eapol_supp_set_eap_fail(eapol_supp_sm *sm, bool fail) {
    if (sm == nullptr) return;
    sm->eapFail = fail;
    sm->altReject = fail;
    eapol_supp_step(sm);
}

void eapol_supp_set_logoff(eapol_supp_sm *sm, bool logoff) {
    if (sm == nullptr) return;
    sm->userLogoff = logoff;
    if (!logoff) sm->startWhen = 0;
    eapol_supp_step(sm);
}

void eapol_supp_set_port_control(eapol_supp_sm *sm, eapol_port_control control) {
    if (sm == nullptr) return;
    sm->portControl = control;
    eapol_supp_step(sm);
}

void eapol_supp_note_cached_success(eapol_supp_sm *sm) {
    if (sm == nullptr) return;
    sm->eapSuccess = true;
    eap_peer_notify_success(sm->eap);
    eapol_supp_step(sm);
}

void eapol_supp_ctrl_response_ready(eapol_supp_sm *sm) {
    if (sm != nullptr) host_notify_pending(sm);
}

void eapol_supp_set_pae_params(eapol_supp_sm *sm, int held_period, int auth_period, int start_period,
                               int max_start) {
    if (sm == nullptr) return;
    if (held_period >= 0) sm->heldPeriod = static_cast<unsigned int>(held_period);
    if (auth_period >= 0) sm->authPeriod = static_cast<unsigned int>(auth_period);
    if (start_period >= 0) sm->startPeriod = static_cast<unsigned int>(start_period);
    if (max_start >= 0) sm->maxStart = static_cast<unsigned int>(max_start);
}

void eapol_supp_apply_config(eapol_supp_sm *sm, wpa_network *config, const eapol_supp_config *conf) {
    if (sm == nullptr) return;
    sm->config = config;
    if (conf == nullptr) return;
    sm->conf.accept_802_1x_keys = conf->accept_802_1x_keys;
    sm->conf.required_keys = conf->required_keys;
    sm->conf.fast_reauth = conf->fast_reauth;
    sm->conf.workaround = conf->workaround;
    sm->conf.wps = conf->wps;
    eap_peer_set_fast_reauth(sm->eap, conf->fast_reauth);
    eap_peer_set_workaround(sm->eap, conf->workaround);
    eap_peer_set_force_disabled(sm->eap, conf->eap_disabled);
    eap_peer_set_external_sim(sm->eap, conf->external_sim);
}

int eapol_supp_get_key(eapol_supp_sm *sm, uint8_t *key, size_t len) {
    if (sm == nullptr || !eap_peer_key_available(sm->eap)) return -1;
    size_t eap_len;
    const uint8_t *eap_key = eap_peer_get_key(sm->eap, &eap_len);
    if (eap_key == nullptr) return -1;
    if (len > eap_len) return static_cast<int>(eap_len);
    memcpy(key, eap_key, len);
    return 0;
}

const uint8_t *eapol_supp_get_session_id(eapol_supp_sm *sm, size_t *len) {
    *len = 0;
    if (sm == nullptr || !eap_peer_key_available(sm->eap)) return nullptr;
    return eap_peer_get_session_id(sm->eap, len);
}

const uint8_t *eapol_supp_get_emsk(eapol_supp_sm *sm, size_t *len) {
    *len = 0;
    if (sm == nullptr) return nullptr;
    return eap_peer_get_emsk(sm->eap, len);
}

void eapol_supp_note_pmksa_attempt(eapol_supp_sm *sm, bool attempt) {
    if (sm != nullptr) sm->cached_pmk = attempt;
}

void eapol_supp_monitor_attached(eapol_supp_sm *sm) {
    if (sm != nullptr) eap_peer_reissue_requests(sm->eap);
}

void eapol_supp_reauthenticate(eapol_supp_sm *sm) {
    if (sm != nullptr && sm->SUPP_PAE_state == SUPP_PAE_AUTHENTICATED) tx_start(sm);
}

void eapol_supp_lower_layer_success(eapol_supp_sm *sm, bool no_run) {
    if (sm == nullptr) return;
    eap_peer_lower_layer_success(sm->eap);
    if (!no_run) eapol_supp_step(sm);
}

void eapol_supp_invalidate_cached_session(eapol_supp_sm *sm) {
    if (sm != nullptr) eap_peer_invalidate_cached_session(sm->eap);
}

bool eapol_supp_has_failed(eapol_supp_sm *sm) {
    return sm != nullptr && sm->eapFail && !sm->eapSuccess;
}

void eapol_supp_erp_flush(eapol_supp_sm *) {}

void eapol_supp_count_tx(eapol_supp_sm *sm) {
    if (sm != nullptr) sm->dot1xSuppEapolFramesTx++;
}

int eapol_supp_status_text(eapol_supp_sm *sm, char *buf, size_t buflen, int verbose) {
    if (sm == nullptr || buflen == 0) return 0;
    int len = snprintf(buf, buflen, "Supplicant PAE state=%s\nsuppPortStatus=%s\n",
                       pae_state_txt(sm->SUPP_PAE_state), port_status_txt(sm->suppPortStatus));
    if (len < 0 || static_cast<size_t>(len) >= buflen) return 0;
    if (verbose) {
        int n = snprintf(buf + len, buflen - static_cast<size_t>(len),
                         "heldPeriod=%u\nauthPeriod=%u\nstartPeriod=%u\nmaxStart=%u\nportControl=%s\n"
                         "Supplicant Backend state=%s\n",
                         sm->heldPeriod, sm->authPeriod, sm->startPeriod, sm->maxStart,
                         port_control_txt(sm->portControl), be_state_txt(sm->SUPP_BE_state));
        if (n < 0 || static_cast<size_t>(n) >= buflen - static_cast<size_t>(len)) return len;
        len += n;
    }
    len += eap_peer_status_text(sm->eap, buf + len, buflen - static_cast<size_t>(len), verbose);
    return len;
}

int eapol_supp_mib_text(eapol_supp_sm *sm, char *buf, size_t buflen) {
    if (sm == nullptr || buflen == 0) return 0;
    int len = snprintf(buf, buflen,
                       "dot1xSuppPaeState=%d\ndot1xSuppHeldPeriod=%u\ndot1xSuppAuthPeriod=%u\n"
                       "dot1xSuppStartPeriod=%u\ndot1xSuppMaxStart=%u\ndot1xSuppSuppControlledPortStatus=%s\n"
                       "dot1xSuppBackendPaeState=%d\n",
                       sm->SUPP_PAE_state, sm->heldPeriod, sm->authPeriod, sm->startPeriod, sm->maxStart,
                       port_status_txt(sm->suppPortStatus), sm->SUPP_BE_state);
    if (len < 0 || static_cast<size_t>(len) >= buflen) return 0;
    const uint8_t *a = sm->dot1xSuppLastEapolFrameSource;
    int n = snprintf(buf + len, buflen - static_cast<size_t>(len),
                     "dot1xSuppEapolFramesRx=%u\ndot1xSuppEapolFramesTx=%u\ndot1xSuppEapolStartFramesTx=%u\n"
                     "dot1xSuppEapolLogoffFramesTx=%u\ndot1xSuppEapolRespFramesTx=%u\n"
                     "dot1xSuppEapolReqIdFramesRx=%u\ndot1xSuppEapolReqFramesRx=%u\n"
                     "dot1xSuppInvalidEapolFramesRx=%u\ndot1xSuppEapLengthErrorFramesRx=%u\n"
                     "dot1xSuppLastEapolFrameVersion=%u\n"
                     "dot1xSuppLastEapolFrameSource=%02x:%02x:%02x:%02x:%02x:%02x\n",
                     sm->dot1xSuppEapolFramesRx, sm->dot1xSuppEapolFramesTx, sm->dot1xSuppEapolStartFramesTx,
                     sm->dot1xSuppEapolLogoffFramesTx, sm->dot1xSuppEapolRespFramesTx,
                     sm->dot1xSuppEapolReqIdFramesRx, sm->dot1xSuppEapolReqFramesRx,
                     sm->dot1xSuppInvalidEapolFramesRx, sm->dot1xSuppEapLengthErrorFramesRx,
                     sm->dot1xSuppLastEapolFrameVersion, a[0], a[1], a[2], a[3], a[4], a[5]);
    if (n < 0 || static_cast<size_t>(n) >= buflen - static_cast<size_t>(len)) return len;
    return len + n;
}

eap_peer_sm *eapol_supp_eap_peer(eapol_supp_sm *sm) {
    return sm != nullptr ? sm->eap : nullptr;
}

void eapol_supp_get_view(eapol_supp_sm *sm, eapol_supp_view *view) {
    view->authWhile = sm->authWhile;
    view->heldWhile = sm->heldWhile;
    view->startWhen = sm->startWhen;
    view->idleWhile = sm->idleWhile;
    view->supp_pae_state = sm->SUPP_PAE_state;
    view->supp_be_state = sm->SUPP_BE_state;
    view->startCount = static_cast<int>(sm->startCount);
    view->portValid = sm->portValid;
    view->timer_running = sm->timer_tick_enabled;
    view->suppPortStatus = sm->suppPortStatus;
}

int wpa_config_write_unavailable() {
    return -1;
}
