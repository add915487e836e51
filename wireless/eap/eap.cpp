#include "wireless/eap/eap.h"

#include "wireless/core/config.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/core/wpabuf.h"
#include "wireless/crypto/crypto.h"
#include "wireless/crypto/tls.h"
#include "wireless/eap/eap_i.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int CLIENT_TIMEOUT = 60;

const char *const state_names[] = {"INITIALIZE", "DISABLED",      "IDLE",    "RECEIVED", "GET_METHOD",
                                   "METHOD",     "SEND_RESPONSE", "DISCARD", "IDENTITY", "NOTIFICATION",
                                   "RETRANSMIT", "SUCCESS",       "FAILURE"};
const char *const method_state_names[] = {"NONE", "INIT", "CONT", "MAY_CONT", "DONE"};
const char *const decision_names[] = {"FAIL", "COND_SUCC", "UNCOND_SUCC"};

const char *name_of(const char *const *names, size_t count, int v) {
    return v >= 0 && static_cast<size_t>(v) < count ? names[v] : "UNKNOWN";
}

bool get_bool(eap_peer_sm *sm, eapol_bool_var var) {
    return sm->host_ops->get_bool(sm->host_ctx, var);
}
void set_bool(eap_peer_sm *sm, eapol_bool_var var, bool v) {
    sm->host_ops->set_bool(sm->host_ctx, var, v);
}
unsigned int get_int(eap_peer_sm *sm, eapol_int_var var) {
    return sm->host_ops->get_int(sm->host_ctx, var);
}
void set_int(eap_peer_sm *sm, eapol_int_var var, unsigned int v) {
    sm->host_ops->set_int(sm->host_ctx, var, v);
}
wpa_buf *get_eapReqData(eap_peer_sm *sm) {
    return sm->host_ops->get_eapReqData(sm->host_ctx);
}

void free_key(eap_peer_sm *sm) {
    if (sm->eapKeyData != nullptr) {
        explicit_bzero(sm->eapKeyData, sm->eapKeyDataLen);
        free(sm->eapKeyData);
    }
    sm->eapKeyData = nullptr;
    sm->eapKeyDataLen = 0;
    free(sm->eapSessionId);
    sm->eapSessionId = nullptr;
    sm->eapSessionIdLen = 0;
}

void free_emsk(eap_peer_sm *sm) {
    if (sm->emsk != nullptr) {
        explicit_bzero(sm->emsk, sm->emsk_len);
        free(sm->emsk);
    }
    sm->emsk = nullptr;
    sm->emsk_len = 0;
}

void deinit_prev_method(eap_peer_sm *sm) {
    if (sm->m == nullptr || sm->eap_method_priv == nullptr) {
        sm->m = nullptr;
        sm->eap_method_priv = nullptr;
        return;
    }
    sm->m->deinit(sm, sm->eap_method_priv);
    sm->eap_method_priv = nullptr;
    sm->m = nullptr;
}

void sha1_of(const wpa_buf *b, uint8_t *out) {
    const uint8_t *addr[1] = {wpa_buf_head(b)};
    const size_t len = wpa_buf_len(b);
    crypto_sha1_vector(1, addr, &len, out);
}

void enter_state(eap_peer_sm *sm, eap_peer_state st) {
    if (sm->state != st) sm->changed = true;
    sm->state = st;
}

void enter_initialize(eap_peer_sm *sm) {
    eap_peer_config *config = eap_get_config(sm);
    const bool reinit = sm->state == EAP_INITIALIZE;
    enter_state(sm, EAP_INITIALIZE);
    if (reinit) sm->changed = false;
    if (sm->fast_reauth && sm->m != nullptr && sm->m->has_reauth_data != nullptr &&
        sm->m->has_reauth_data(sm, sm->eap_method_priv) && !sm->prev_failure && sm->last_config == config) {
        if (sm->m->deinit_for_reauth != nullptr) sm->m->deinit_for_reauth(sm, sm->eap_method_priv);
    } else {
        sm->last_config = config;
        deinit_prev_method(sm);
    }
    sm->selectedMethod = EAP_TYPE_NONE;
    sm->methodState = METHOD_NONE;
    sm->allowNotifications = true;
    sm->decision = DECISION_FAIL;
    sm->ClientTimeout = CLIENT_TIMEOUT;
    set_int(sm, EAPOL_idleWhile, sm->ClientTimeout);
    set_bool(sm, EAPOL_eapSuccess, false);
    set_bool(sm, EAPOL_eapFail, false);
    free_key(sm);
    sm->eapKeyAvailable = false;
    set_bool(sm, EAPOL_eapRestart, false);
    sm->lastId = -1;
    set_bool(sm, EAPOL_eapResp, false);
    set_bool(sm, EAPOL_eapNoResp, false);
    sm->ignore = false;
    sm->num_rounds = 0;
    sm->prev_failure = 0;
    sm->flags &= ~EAP_FLAG_FAILURE_EXPECTED;
    sm->reauthInit = false;
}

void enter_disabled(eap_peer_sm *sm) {
    enter_state(sm, EAP_DISABLED);
    sm->num_rounds = 0;
    set_int(sm, EAPOL_idleWhile, 0);
}

void enter_idle(eap_peer_sm *sm) {
    enter_state(sm, EAP_IDLE);
}

void parse_eap_req(eap_peer_sm *sm, const wpa_buf *req) {
    sm->rxReq = sm->rxResp = sm->rxSuccess = sm->rxFailure = false;
    sm->reqId = 0;
    sm->reqMethod = EAP_TYPE_NONE;
    sm->reqVendor = EAP_VENDOR_IETF;
    sm->reqVendorMethod = EAP_TYPE_NONE;
    if (req == nullptr || wpa_buf_len(req) < 4) return;
    const uint8_t *p = wpa_buf_head(req);
    const size_t plen = (size_t(p[2]) << 8) | p[3];
    if (plen > wpa_buf_len(req)) return;
    sm->reqId = p[1];
    if (sm->workaround) sha1_of(req, sm->req_sha1);
    switch (p[0]) {
    case EAP_CODE_REQUEST:
        if (plen < 5) return;
        sm->rxReq = true;
        sm->reqMethod = p[4];
        if (sm->reqMethod == EAP_TYPE_EXPANDED) {
            if (plen < 12) return;
            sm->reqVendor = (p[5] << 16) | (p[6] << 8) | p[7];
            sm->reqVendorMethod = wpa_get_be32(p + 8);
        }
        break;
    case EAP_CODE_RESPONSE:
        if (sm->selectedMethod == EAP_TYPE_LEAP) {
            if (plen < 5) return;
            sm->rxResp = true;
            sm->reqMethod = p[4];
        }
        break;
    case EAP_CODE_SUCCESS:
        eap_peer_notify_status(sm, "completion", "success");
        sm->rxSuccess = true;
        break;
    case EAP_CODE_FAILURE:
        eap_peer_notify_status(sm, "completion", "failure");
        sm->rxFailure = true;
        break;
    case EAP_CODE_INITIATE:
        set_bool(sm, EAPOL_eapTriggerStart, true);
        break;
    default:
        break;
    }
}

void enter_received(eap_peer_sm *sm) {
    enter_state(sm, EAP_RECEIVED);
    parse_eap_req(sm, get_eapReqData(sm));
    sm->num_rounds++;
}

wpa_buf *build_nak(eap_peer_sm *sm, int id) {
    eap_peer_config *config = eap_get_config(sm);
    const bool expanded = sm->reqMethod == EAP_TYPE_EXPANDED;
    size_t count;
    const eap_peer_method *methods = eap_peer_method_list(&count);
    wpa_buf *resp =
        eap_msg_alloc(EAP_VENDOR_IETF, expanded ? uint32_t(EAP_TYPE_EXPANDED) : uint32_t(EAP_TYPE_NAK),
                      8 + 8 * (count + 1), EAP_CODE_RESPONSE, static_cast<uint8_t>(id));
    if (resp == nullptr) return nullptr;
    if (expanded) {
        // Expanded NAK: vendor 0, type 3, then 254 + vendor + type per method.
        const uint8_t hdr[7] = {0, 0, 0, 0, 0, 0, EAP_TYPE_NAK};
        wpa_buf_put_data(resp, hdr, sizeof(hdr));
    }
    bool found = false, vendor_allowed = false;
    for (const eap_peer_method *m = methods; m != nullptr; m = m->next) {
        if (m->vendor == sm->reqVendor && static_cast<int>(m->method) == sm->reqMethod) continue;
        if (!eap_peer_method_allowed(sm, m->vendor, m->method)) continue;
        if (expanded) {
            uint8_t e[8] = {EAP_TYPE_EXPANDED, static_cast<uint8_t>(m->vendor >> 16),
                            static_cast<uint8_t>(m->vendor >> 8), static_cast<uint8_t>(m->vendor)};
            wpa_put_be32(e + 4, m->method);
            wpa_buf_put_data(resp, e, sizeof(e));
            found = true;
        } else if (m->vendor != EAP_VENDOR_IETF) {
            vendor_allowed = true;
        } else if (m->method != static_cast<unsigned int>(sm->reqMethod)) {
            wpa_buf_put_u8(resp, static_cast<uint8_t>(m->method));
            found = true;
        }
    }
    if (!expanded && vendor_allowed) {
        wpa_buf_put_u8(resp, EAP_TYPE_EXPANDED);
        found = true;
    }
    if (!found) {
        if (expanded) {
            const uint8_t e[8] = {EAP_TYPE_EXPANDED, 0, 0, 0, 0, 0, 0, 0};
            wpa_buf_put_data(resp, e, sizeof(e));
        } else {
            wpa_buf_put_u8(resp, EAP_TYPE_NONE);
        }
    }
    (void)config;
    eap_update_len(resp);
    return resp;
}

void enter_get_method(eap_peer_sm *sm) {
    enter_state(sm, EAP_GET_METHOD);
    int vendor;
    unsigned int method;
    if (sm->reqMethod == EAP_TYPE_EXPANDED) {
        vendor = sm->reqVendor;
        method = sm->reqVendorMethod;
    } else {
        vendor = EAP_VENDOR_IETF;
        method = static_cast<unsigned int>(sm->reqMethod);
    }
    const eap_peer_method *m = eap_peer_method_find(vendor, method);
    if (m == nullptr || !eap_peer_method_allowed(sm, vendor, method)) {
        wpa_msg_iface(sm->msg_ctx, MSG_INFO, "CTRL-EVENT-EAP-PROPOSED-METHOD vendor=%u method=%u -> NAK",
                      static_cast<unsigned int>(vendor), method);
        eap_peer_notify_status(sm, "refuse proposed method", m != nullptr ? m->name : "unknown");
        wpa_buf_free(sm->eapRespData);
        sm->eapRespData = build_nak(sm, sm->reqId);
        return;
    }
    wpa_msg_iface(sm->msg_ctx, MSG_INFO, "CTRL-EVENT-EAP-PROPOSED-METHOD vendor=%u method=%u",
                  static_cast<unsigned int>(vendor), method);
    eap_peer_notify_status(sm, "accept proposed method", m->name);
    bool reinit = false;
    if (sm->fast_reauth && sm->m == m && sm->m->has_reauth_data != nullptr &&
        sm->m->has_reauth_data(sm, sm->eap_method_priv)) {
        if (sm->m->init_for_reauth != nullptr) {
            sm->eap_method_priv = sm->m->init_for_reauth(sm, sm->eap_method_priv);
            reinit = true;
        }
    }
    if (!reinit) {
        deinit_prev_method(sm);
        sm->flags &= ~(EAP_FLAG_EXT_CERT_CHECK | EAP_FLAG_WAIT_EXT_CERT_CHECK);
        sm->m = m;
        sm->eap_method_priv = m->init(sm);
    }
    sm->selectedMethod = static_cast<int>(method);
    sm->ClientTimeout = CLIENT_TIMEOUT;
    if (sm->eap_method_priv == nullptr) {
        wpa_msg_iface(sm->msg_ctx, MSG_INFO, "EAP: Failed to initialize EAP method: vendor %u method %u (%s)",
                      static_cast<unsigned int>(vendor), method, m->name);
        sm->m = nullptr;
        sm->selectedMethod = EAP_TYPE_NONE;
        sm->methodState = METHOD_NONE;
        eap_peer_config *config = eap_get_config(sm);
        if (method == EAP_TYPE_TLS && config != nullptr &&
            (config->pending_req_pin || config->pending_req_passphrase))
            return;
        wpa_buf_free(sm->eapRespData);
        sm->eapRespData = build_nak(sm, sm->reqId);
        return;
    }
    sm->methodState = METHOD_INIT;
    wpa_msg_iface(sm->msg_ctx, MSG_INFO, "CTRL-EVENT-EAP-METHOD EAP vendor %u method %u (%s) selected",
                  static_cast<unsigned int>(vendor), method, m->name);
}

void enter_method(eap_peer_sm *sm) {
    enter_state(sm, EAP_METHOD);
    if (sm->m == nullptr) return;
    wpa_buf *req = get_eapReqData(sm);
    if (!eap_hdr_len_valid(req, sm->selectedMethod == EAP_TYPE_LEAP ? 0 : 1)) return;
    eap_method_ret ret;
    ret.ignore = sm->ignore;
    ret.methodState = sm->methodState;
    ret.decision = sm->decision;
    ret.allowNotifications = sm->allowNotifications;
    wpa_buf_free(sm->eapRespData);
    sm->eapRespData = sm->m->process(sm, sm->eap_method_priv, &ret, req);
    sm->ignore = ret.ignore;
    if (ret.ignore) return;
    sm->methodState = ret.methodState;
    sm->decision = ret.decision;
    sm->allowNotifications = ret.allowNotifications;
    if (sm->m->isKeyAvailable != nullptr && sm->m->getKey != nullptr &&
        sm->m->isKeyAvailable(sm, sm->eap_method_priv)) {
        free_key(sm);
        sm->eapKeyData = sm->m->getKey(sm, sm->eap_method_priv, &sm->eapKeyDataLen);
        if (sm->m->getSessionId != nullptr)
            sm->eapSessionId = sm->m->getSessionId(sm, sm->eap_method_priv, &sm->eapSessionIdLen);
    }
}

void enter_send_response(eap_peer_sm *sm) {
    enter_state(sm, EAP_SEND_RESPONSE);
    wpa_buf_free(sm->lastRespData);
    if (sm->eapRespData != nullptr) {
        if (sm->workaround) memcpy(sm->last_sha1, sm->req_sha1, 20);
        sm->lastId = sm->reqId;
        sm->lastRespData = wpa_buf_dup(sm->eapRespData);
        set_bool(sm, EAPOL_eapResp, true);
    } else {
        sm->lastRespData = nullptr;
    }
    set_bool(sm, EAPOL_eapReq, false);
    set_int(sm, EAPOL_idleWhile, sm->ClientTimeout);
    sm->reauthInit = false;
}

void enter_discard(eap_peer_sm *sm) {
    enter_state(sm, EAP_DISCARD);
    set_bool(sm, EAPOL_eapReq, false);
    set_bool(sm, EAPOL_eapNoResp, true);
}

const uint8_t *identity_for_response(eap_peer_sm *sm, size_t *len) {
    eap_peer_config *config = eap_get_config(sm);
    if (sm->m != nullptr && sm->m->get_identity != nullptr) {
        const uint8_t *id = sm->m->get_identity(sm, sm->eap_method_priv, len);
        if (id != nullptr) return id;
    }
    if (config == nullptr) return nullptr;
    if (config->anonymous_identity.data != nullptr) {
        *len = config->anonymous_identity.len;
        return config->anonymous_identity.data;
    }
    if (config->identity.data != nullptr) {
        *len = config->identity.len;
        return config->identity.data;
    }
    return nullptr;
}

void enter_identity(eap_peer_sm *sm) {
    enter_state(sm, EAP_IDENTITY);
    wpa_msg_iface(sm->msg_ctx, MSG_INFO, "CTRL-EVENT-EAP-STARTED EAP authentication started");
    eap_peer_notify_status(sm, "started", "");
    wpa_buf_free(sm->eapRespData);
    sm->eapRespData = nullptr;
    size_t len = 0;
    const uint8_t *id = identity_for_response(sm, &len);
    if (id == nullptr) {
        eap_sm_request_identity(sm);
        return;
    }
    wpa_buf *resp = eap_msg_alloc(EAP_VENDOR_IETF, EAP_TYPE_IDENTITY, len, EAP_CODE_RESPONSE,
                                  static_cast<uint8_t>(sm->reqId));
    if (resp == nullptr) return;
    wpa_buf_put_data(resp, id, len);
    sm->eapRespData = resp;
}

void enter_notification(eap_peer_sm *sm) {
    enter_state(sm, EAP_NOTIFICATION);
    const wpa_buf *req = get_eapReqData(sm);
    size_t plen;
    const uint8_t *pos = eap_hdr_validate(EAP_VENDOR_IETF, EAP_TYPE_NOTIFICATION, req, &plen);
    if (pos != nullptr && plen > 0) {
        char *msg = static_cast<char *>(malloc(plen + 1));
        if (msg != nullptr) {
            for (size_t i = 0; i < plen; i++)
                msg[i] = isprint(pos[i]) ? static_cast<char>(pos[i]) : '_';
            msg[plen] = '\0';
            wpa_msg_iface(sm->msg_ctx, MSG_INFO, "CTRL-EVENT-EAP-NOTIFICATION %s", msg);
            free(msg);
        }
    }
    wpa_buf_free(sm->eapRespData);
    sm->eapRespData = eap_msg_alloc(EAP_VENDOR_IETF, EAP_TYPE_NOTIFICATION, 0, EAP_CODE_RESPONSE,
                                    static_cast<uint8_t>(sm->reqId));
}

void enter_retransmit(eap_peer_sm *sm) {
    enter_state(sm, EAP_RETRANSMIT);
    wpa_buf_free(sm->eapRespData);
    sm->eapRespData = sm->lastRespData != nullptr ? wpa_buf_dup(sm->lastRespData) : nullptr;
}

void enter_success(eap_peer_sm *sm) {
    enter_state(sm, EAP_SUCCESS);
    if (sm->eapKeyData != nullptr) sm->eapKeyAvailable = true;
    set_bool(sm, EAPOL_eapSuccess, true);
    set_bool(sm, EAPOL_eapReq, false);
    set_bool(sm, EAPOL_eapNoResp, true);
    wpa_msg_iface(sm->msg_ctx, MSG_INFO, "CTRL-EVENT-EAP-SUCCESS EAP authentication completed successfully");
}

void enter_failure(eap_peer_sm *sm) {
    enter_state(sm, EAP_FAILURE);
    set_bool(sm, EAPOL_eapFail, true);
    set_bool(sm, EAPOL_eapReq, false);
    set_bool(sm, EAPOL_eapNoResp, true);
    wpa_msg_iface(sm->msg_ctx, MSG_INFO, "CTRL-EVENT-EAP-FAILURE EAP authentication failed");
    sm->prev_failure = 1;
}

bool workaround_id(eap_peer_sm *sm) {
    if (sm->reqId == sm->lastId) return true;
    if (!sm->workaround || sm->lastId < 0) return false;
    return sm->reqId == ((sm->lastId + 1) & 0xff) || sm->reqId == ((sm->lastId + 2) & 0xff);
}

bool canned_success_allowed(eap_peer_sm *sm) {
    const char *phase1 = eap_get_config_phase1(sm);
    return sm->workaround && phase1 != nullptr && strstr(phase1, "allow_canned_success=1") != nullptr;
}

void step_received(eap_peer_sm *sm) {
    bool duplicate = sm->reqId == sm->lastId && sm->rxReq;
    if (sm->workaround && duplicate && memcmp(sm->req_sha1, sm->last_sha1, 20) != 0) duplicate = false;
    // A Success counts only after a method that did not fail: an EAP-Success before any
    // method or after a failed one never opens the port (canned successes only when
    // explicitly allowed).
    const bool canned = canned_success_allowed(sm);
    if (sm->rxSuccess && sm->decision != DECISION_FAIL && workaround_id(sm)) {
        enter_success(sm);
    } else if (canned && sm->lastId == -1 && sm->rxSuccess && !sm->rxFailure && !sm->rxReq) {
        enter_success(sm);
    } else if (canned && sm->lastId == -1 && sm->rxFailure && !sm->rxReq && sm->methodState != METHOD_CONT) {
        enter_failure(sm);
    } else if (canned && sm->rxSuccess && !sm->rxFailure && !sm->rxReq && sm->methodState != METHOD_CONT) {
        enter_success(sm);
    } else if (sm->methodState != METHOD_CONT &&
               ((sm->rxFailure && sm->decision != DECISION_UNCOND_SUCC) ||
                (sm->rxSuccess && sm->decision == DECISION_FAIL &&
                 (sm->selectedMethod != EAP_TYPE_LEAP || sm->methodState != METHOD_MAY_CONT))) &&
               (workaround_id(sm) || sm->lastId == -1)) {
        enter_failure(sm);
    } else if (sm->rxReq && duplicate) {
        enter_retransmit(sm);
    } else if (sm->rxReq && sm->reqMethod == EAP_TYPE_NOTIFICATION && sm->allowNotifications) {
        enter_notification(sm);
    } else if (sm->rxReq && sm->selectedMethod == EAP_TYPE_NONE && sm->reqMethod == EAP_TYPE_IDENTITY) {
        enter_identity(sm);
    } else if (sm->rxReq && sm->selectedMethod == EAP_TYPE_NONE && sm->reqMethod != EAP_TYPE_NOTIFICATION) {
        enter_get_method(sm);
    } else if (sm->rxReq && sm->reqMethod == sm->selectedMethod && sm->methodState != METHOD_DONE) {
        enter_method(sm);
    } else if (sm->selectedMethod == EAP_TYPE_LEAP && (sm->rxSuccess || sm->rxResp)) {
        enter_method(sm);
    } else if (sm->reauthInit) {
        enter_send_response(sm);
    } else {
        enter_discard(sm);
    }
}

void step(eap_peer_sm *sm) {
    if (get_bool(sm, EAPOL_eapRestart) && get_bool(sm, EAPOL_portEnabled)) {
        enter_initialize(sm);
        return;
    }
    if (!get_bool(sm, EAPOL_portEnabled) || sm->force_disabled) {
        if (sm->state != EAP_DISABLED) enter_disabled(sm);
        return;
    }
    if (sm->num_rounds > EAP_MAX_AUTH_ROUNDS) {
        if (sm->num_rounds == EAP_MAX_AUTH_ROUNDS + 1) {
            wpa_msg_iface(sm->msg_ctx, MSG_INFO, "EAP: more than %d authentication rounds - abort",
                          EAP_MAX_AUTH_ROUNDS);
            sm->num_rounds++;
            enter_failure(sm);
        }
        return;
    }
    switch (sm->state) {
    case EAP_INITIALIZE:
        enter_idle(sm);
        break;
    case EAP_DISABLED:
        if (get_bool(sm, EAPOL_portEnabled) && !sm->force_disabled) enter_initialize(sm);
        break;
    case EAP_IDLE:
        if (get_bool(sm, EAPOL_eapReq)) {
            enter_received(sm);
        } else if ((get_bool(sm, EAPOL_altAccept) && sm->decision != DECISION_FAIL) ||
                   (get_int(sm, EAPOL_idleWhile) == 0 && sm->decision == DECISION_UNCOND_SUCC)) {
            enter_success(sm);
        } else if (get_bool(sm, EAPOL_altReject) ||
                   (get_int(sm, EAPOL_idleWhile) == 0 && sm->decision != DECISION_UNCOND_SUCC) ||
                   (get_bool(sm, EAPOL_altAccept) && sm->methodState != METHOD_CONT &&
                    sm->decision == DECISION_FAIL)) {
            enter_failure(sm);
        } else if (sm->selectedMethod == EAP_TYPE_LEAP && sm->leap_done && sm->decision != DECISION_FAIL &&
                   sm->methodState == METHOD_DONE) {
            enter_success(sm);
        } else if (sm->selectedMethod == EAP_TYPE_PEAP && sm->peap_done && sm->decision != DECISION_FAIL &&
                   sm->methodState == METHOD_DONE) {
            enter_success(sm);
        }
        break;
    case EAP_RECEIVED:
        step_received(sm);
        break;
    case EAP_GET_METHOD:
        if (sm->selectedMethod != EAP_TYPE_NONE && sm->m != nullptr)
            enter_method(sm);
        else
            enter_send_response(sm);
        break;
    case EAP_METHOD:
        if (sm->ignore)
            enter_discard(sm);
        else if (sm->methodState == METHOD_DONE && sm->decision == DECISION_FAIL &&
                 sm->eapRespData == nullptr)
            enter_failure(sm);
        else
            enter_send_response(sm);
        break;
    case EAP_SEND_RESPONSE:
    case EAP_DISCARD:
        enter_idle(sm);
        break;
    case EAP_IDENTITY:
    case EAP_NOTIFICATION:
    case EAP_RETRANSMIT:
        enter_send_response(sm);
        break;
    case EAP_SUCCESS:
    case EAP_FAILURE:
        break;
    }
}

void tls_event_handler(void *ctx, tls_event ev, const tls_event_data *data) {
    eap_peer_tls_event(ctx, ev, data);
}

} // namespace

void eap_peer_tls_event(void *ctx, int ev, const void *vdata) {
    auto *sm = static_cast<eap_peer_sm *>(ctx);
    const auto *data = static_cast<const tls_event_data *>(vdata);
    switch (ev) {
    case TLS_CERT_CHAIN_SUCCESS:
        eap_peer_notify_status(sm, "remote certificate verification", "success");
        if (sm->flags & EAP_FLAG_EXT_CERT_CHECK) {
            sm->flags |= EAP_FLAG_WAIT_EXT_CERT_CHECK;
            eap_sm_request_ext_cert_check(sm);
        }
        break;
    case TLS_CERT_CHAIN_FAILURE:
        wpa_msg_iface(sm->msg_ctx, MSG_INFO,
                      "CTRL-EVENT-EAP-TLS-CERT-ERROR reason=%d depth=%d subject='%s' err='%s'",
                      data->cert_fail.reason, data->cert_fail.depth,
                      data->cert_fail.subject != nullptr ? data->cert_fail.subject : "",
                      data->cert_fail.reason_txt != nullptr ? data->cert_fail.reason_txt : "");
        eap_peer_notify_status(sm, "remote certificate verification",
                               data->cert_fail.reason_txt != nullptr ? data->cert_fail.reason_txt : "");
        break;
    case TLS_PEER_CERTIFICATE: {
        if (sm->host_ops->notify_cert == nullptr) break;
        char hash_hex[65];
        const char *hash = nullptr;
        if (data->peer_cert.hash != nullptr && data->peer_cert.hash_len <= 32) {
            for (size_t i = 0; i < data->peer_cert.hash_len; i++)
                snprintf(hash_hex + 2 * i, 3, "%02x", data->peer_cert.hash[i]);
            hash_hex[2 * data->peer_cert.hash_len] = '\0';
            hash = hash_hex;
        }
        sm->host_ops->notify_cert(sm->host_ctx, data->peer_cert.depth, data->peer_cert.subject,
                                  const_cast<const char **>(data->peer_cert.altsubject),
                                  data->peer_cert.num_altsubject, hash, data->peer_cert.cert);
        break;
    }
    case TLS_ALERT:
        eap_peer_notify_status(sm, data->alert.is_local ? "local TLS alert" : "remote TLS alert",
                               data->alert.description != nullptr ? data->alert.description : "");
        break;
    default:
        break;
    }
}

eap_peer_sm *eap_peer_sm_create(void *host_ctx, const eap_peer_host_ops *host_ops, void *msg_ctx,
                                const eap_peer_tls_config *tls_config) {
    auto *sm = static_cast<eap_peer_sm *>(calloc(1, sizeof(eap_peer_sm)));
    if (sm == nullptr) return nullptr;
    sm->host_ctx = host_ctx;
    sm->host_ops = host_ops;
    sm->msg_ctx = msg_ctx;
    sm->ClientTimeout = CLIENT_TIMEOUT;
    sm->lastId = -1;
    tls_library_config tconf{};
    tconf.event_cb = tls_event_handler;
    tconf.cb_ctx = sm;
    if (tls_config != nullptr) {
        tconf.openssl_ciphers = tls_config->openssl_ciphers;
        tconf.cert_in_cb = tls_config->cert_in_cb;
    }
    sm->ssl_ctx = tls_library_init(&tconf);
    if (sm->ssl_ctx == nullptr) {
        free(sm);
        return nullptr;
    }
    sm->ssl_ctx2 = tls_library_init(&tconf);
    return sm;
}

void eap_peer_sm_destroy(eap_peer_sm *sm) {
    if (sm == nullptr) return;
    deinit_prev_method(sm);
    eap_peer_abort(sm);
    free_emsk(sm);
    tls_library_deinit(sm->ssl_ctx2);
    tls_library_deinit(sm->ssl_ctx);
    free(sm->peer_challenge);
    free(sm->auth_challenge);
    free(sm);
}

int eap_peer_run(eap_peer_sm *sm) {
    bool any = false;
    do {
        sm->changed = false;
        step(sm);
        if (sm->changed) any = true;
    } while (sm->changed);
    return any ? 1 : 0;
}

void eap_peer_abort(eap_peer_sm *sm) {
    wpa_buf_free(sm->lastRespData);
    sm->lastRespData = nullptr;
    wpa_buf_free(sm->eapRespData);
    sm->eapRespData = nullptr;
    free_key(sm);
    sm->eapSuccess = false;
    set_bool(sm, EAPOL_eapSuccess, false);
}

bool eap_peer_key_available(eap_peer_sm *sm) {
    return sm != nullptr && sm->eapKeyAvailable;
}

const uint8_t *eap_peer_get_key(eap_peer_sm *sm, size_t *len) {
    if (sm == nullptr || sm->eapKeyData == nullptr) {
        *len = 0;
        return nullptr;
    }
    *len = sm->eapKeyDataLen;
    return sm->eapKeyData;
}

const uint8_t *eap_peer_get_emsk(eap_peer_sm *sm, size_t *len) {
    *len = 0;
    if (sm == nullptr || sm->m == nullptr || sm->m->get_emsk == nullptr || !sm->eapKeyAvailable)
        return nullptr;
    // The method hands out a fresh copy; the peer keeps it until the next call or its end.
    free_emsk(sm);
    sm->emsk = sm->m->get_emsk(sm, sm->eap_method_priv, &sm->emsk_len);
    *len = sm->emsk != nullptr ? sm->emsk_len : 0;
    return sm->emsk;
}

const uint8_t *eap_peer_get_session_id(eap_peer_sm *sm, size_t *len) {
    if (sm == nullptr || sm->eapSessionId == nullptr) {
        *len = 0;
        return nullptr;
    }
    *len = sm->eapSessionIdLen;
    return sm->eapSessionId;
}

wpa_buf *eap_peer_take_response(eap_peer_sm *sm) {
    wpa_buf *r = sm->eapRespData;
    sm->eapRespData = nullptr;
    return r;
}

void eap_peer_notify_success(eap_peer_sm *sm) {
    if (sm == nullptr) return;
    sm->decision = DECISION_COND_SUCC;
    sm->state = EAP_SUCCESS;
}

void eap_peer_lower_layer_success(eap_peer_sm *sm) {
    if (sm == nullptr || get_bool(sm, EAPOL_eapSuccess) || sm->decision == DECISION_FAIL ||
        (sm->methodState != METHOD_MAY_CONT && sm->methodState != METHOD_DONE))
        return;
    if (sm->eapKeyData != nullptr) sm->eapKeyAvailable = true;
    set_bool(sm, EAPOL_eapSuccess, true);
    wpa_msg_iface(
        sm->msg_ctx, MSG_INFO,
        "CTRL-EVENT-EAP-SUCCESS EAP authentication completed successfully (based on lower layer success)");
}

void eap_peer_set_fast_reauth(eap_peer_sm *sm, int enabled) {
    if (sm != nullptr) sm->fast_reauth = enabled;
}
void eap_peer_set_workaround(eap_peer_sm *sm, unsigned int workaround) {
    if (sm != nullptr) sm->workaround = workaround;
}
void eap_peer_set_force_disabled(eap_peer_sm *sm, int disabled) {
    if (sm != nullptr) sm->force_disabled = disabled;
}
void eap_peer_set_external_sim(eap_peer_sm *sm, int external_sim) {
    if (sm != nullptr) sm->external_sim = external_sim;
}
void eap_peer_invalidate_cached_session(eap_peer_sm *sm) {
    if (sm != nullptr) deinit_prev_method(sm);
}
bool eap_peer_failure_expected(eap_peer_sm *sm) {
    return sm != nullptr && (sm->flags & EAP_FLAG_FAILURE_EXPECTED);
}

int eap_peer_status_text(eap_peer_sm *sm, char *buf, size_t buflen, int verbose) {
    if (sm == nullptr || buflen == 0) return 0;
    size_t len = 0;
    auto add = [&](int n) {
        if (n < 0 || static_cast<size_t>(n) >= buflen - len) return false;
        len += static_cast<size_t>(n);
        return true;
    };
    if (!add(snprintf(buf + len, buflen - len, "EAP state=%s\n", name_of(state_names, 13, sm->state))))
        return static_cast<int>(len);
    if (sm->selectedMethod != EAP_TYPE_NONE) {
        const char *name = "?";
        if (sm->m != nullptr) {
            name = sm->m->name;
        } else {
            const eap_peer_method *m = eap_peer_method_find(EAP_VENDOR_IETF, sm->selectedMethod);
            if (m != nullptr) name = m->name;
        }
        if (!add(snprintf(buf + len, buflen - len, "selectedMethod=%d (EAP-%s)\n", sm->selectedMethod, name)))
            return static_cast<int>(len);
        if (sm->m != nullptr && sm->m->get_status != nullptr)
            len += static_cast<size_t>(
                sm->m->get_status(sm, sm->eap_method_priv, buf + len, buflen - len, verbose));
    }
    if (verbose) {
        add(snprintf(buf + len, buflen - len, "reqMethod=%d\nmethodState=%s\ndecision=%s\nClientTimeout=%d\n",
                     sm->reqMethod, name_of(method_state_names, 5, sm->methodState),
                     name_of(decision_names, 3, sm->decision), sm->ClientTimeout));
    }
    return static_cast<int>(len);
}

// Configuration accessors.

eap_peer_config *eap_get_config(eap_peer_sm *sm) {
    return sm->host_ops->get_config(sm->host_ctx);
}

const uint8_t *eap_get_config_identity(eap_peer_sm *sm, size_t *len) {
    eap_peer_config *c = eap_get_config(sm);
    if (c == nullptr || c->identity.data == nullptr) return nullptr;
    *len = c->identity.len;
    return c->identity.data;
}

const uint8_t *eap_get_config_password(eap_peer_sm *sm, size_t *len) {
    eap_peer_config *c = eap_get_config(sm);
    if (c == nullptr || c->password.data == nullptr) return nullptr;
    *len = c->password.len;
    return c->password.data;
}

const uint8_t *eap_get_config_password2(eap_peer_sm *sm, size_t *len, int *hash) {
    eap_peer_config *c = eap_get_config(sm);
    if (c == nullptr || c->password.data == nullptr) return nullptr;
    *len = c->password.len;
    if (hash != nullptr) *hash = c->password_hashed;
    return c->password.data;
}

const uint8_t *eap_get_config_new_password(eap_peer_sm *sm, size_t *len) {
    eap_peer_config *c = eap_get_config(sm);
    if (c == nullptr || c->new_password.data == nullptr) return nullptr;
    *len = c->new_password.len;
    return c->new_password.data;
}

const uint8_t *eap_get_config_otp(eap_peer_sm *sm, size_t *len) {
    eap_peer_config *c = eap_get_config(sm);
    if (c == nullptr || c->otp.data == nullptr) return nullptr;
    *len = c->otp.len;
    return c->otp.data;
}

void eap_clear_config_otp(eap_peer_sm *sm) {
    eap_peer_config *c = eap_get_config(sm);
    if (c == nullptr || c->otp.data == nullptr) return;
    explicit_bzero(c->otp.data, c->otp.len);
    free(c->otp.data);
    c->otp.data = nullptr;
    c->otp.len = 0;
}

namespace {
const char *config_text(const wpa_text &t) {
    // Text fields are stored with a terminating zero after their bytes.
    return t.data != nullptr ? reinterpret_cast<const char *>(t.data) : nullptr;
}
} // namespace

const char *eap_get_config_phase1(eap_peer_sm *sm) {
    eap_peer_config *c = eap_get_config(sm);
    return c != nullptr ? config_text(c->phase1) : nullptr;
}

const char *eap_get_config_phase2(eap_peer_sm *sm) {
    eap_peer_config *c = eap_get_config(sm);
    return c != nullptr ? config_text(c->phase2) : nullptr;
}

int eap_get_config_fragment_size(eap_peer_sm *sm) {
    eap_peer_config *c = eap_get_config(sm);
    return c != nullptr ? c->fragment_size : -1;
}

const wpa_config_blob *eap_get_config_blob(eap_peer_sm *sm, const char *name) {
    if (sm->host_ops->get_config_blob == nullptr) return nullptr;
    return sm->host_ops->get_config_blob(sm->host_ctx, name);
}

bool eap_get_workaround(eap_peer_sm *sm) {
    return sm != nullptr && sm->workaround != 0;
}

void eap_peer_notify_status(eap_peer_sm *sm, const char *status, const char *parameter) {
    if (sm->host_ops->notify_status != nullptr) sm->host_ops->notify_status(sm->host_ctx, status, parameter);
}

void eap_peer_request_credential(eap_peer_sm *sm, wpa_ctrl_req_type type, const char *txt, size_t len) {
    eap_peer_config *c = eap_get_config(sm);
    if (c == nullptr) return;
    char *tmp = nullptr;
    switch (type) {
    case WPA_CTRL_REQ_EAP_IDENTITY:
        c->pending_req_identity++;
        break;
    case WPA_CTRL_REQ_EAP_PASSWORD:
        c->pending_req_password++;
        break;
    case WPA_CTRL_REQ_EAP_NEW_PASSWORD:
        c->pending_req_new_password++;
        break;
    case WPA_CTRL_REQ_EAP_PIN:
        c->pending_req_pin++;
        break;
    case WPA_CTRL_REQ_EAP_PASSPHRASE:
        c->pending_req_passphrase++;
        break;
    case WPA_CTRL_REQ_EAP_OTP:
        if (txt != nullptr) {
            tmp = static_cast<char *>(malloc(len + 3));
            if (tmp == nullptr) return;
            tmp[0] = '[';
            memcpy(tmp + 1, txt, len);
            tmp[len + 1] = ']';
            tmp[len + 2] = '\0';
            free(c->pending_req_otp);
            c->pending_req_otp = tmp;
            c->pending_req_otp_len = len + 2;
        } else {
            if (c->pending_req_otp == nullptr) return;
        }
        txt = c->pending_req_otp;
        break;
    case WPA_CTRL_REQ_SIM:
    case WPA_CTRL_REQ_EXT_CERT_CHECK:
        break;
    default:
        return;
    }
    if (sm->host_ops->eap_param_needed != nullptr) sm->host_ops->eap_param_needed(sm->host_ctx, type, txt);
}

void eap_sm_request_identity(eap_peer_sm *sm) {
    eap_peer_request_credential(sm, WPA_CTRL_REQ_EAP_IDENTITY, nullptr, 0);
}
void eap_sm_request_password(eap_peer_sm *sm) {
    eap_peer_request_credential(sm, WPA_CTRL_REQ_EAP_PASSWORD, nullptr, 0);
}
void eap_sm_request_new_password(eap_peer_sm *sm) {
    eap_peer_request_credential(sm, WPA_CTRL_REQ_EAP_NEW_PASSWORD, nullptr, 0);
}
void eap_sm_request_pin(eap_peer_sm *sm) {
    eap_peer_request_credential(sm, WPA_CTRL_REQ_EAP_PIN, nullptr, 0);
}
void eap_sm_request_otp(eap_peer_sm *sm, const char *msg, size_t msg_len) {
    eap_peer_request_credential(sm, WPA_CTRL_REQ_EAP_OTP, msg, msg_len);
}
void eap_sm_request_passphrase(eap_peer_sm *sm) {
    eap_peer_request_credential(sm, WPA_CTRL_REQ_EAP_PASSPHRASE, nullptr, 0);
}
void eap_sm_request_ext_cert_check(eap_peer_sm *sm) {
    eap_peer_request_credential(sm, WPA_CTRL_REQ_EXT_CERT_CHECK, nullptr, 0);
}

bool eap_sm_pending_credential(eap_peer_sm *sm) {
    eap_peer_config *c = eap_get_config(sm);
    return c != nullptr && (c->pending_req_identity || c->pending_req_password || c->pending_req_otp ||
                            c->pending_req_new_password);
}

void eap_peer_reissue_requests(eap_peer_sm *sm) {
    eap_peer_config *c = eap_get_config(sm);
    if (c == nullptr) return;
    if (c->pending_req_identity) eap_sm_request_identity(sm);
    if (c->pending_req_password) eap_sm_request_password(sm);
    if (c->pending_req_new_password) eap_sm_request_new_password(sm);
    if (c->pending_req_otp) eap_sm_request_otp(sm, nullptr, 0);
    if (c->pending_req_pin) eap_sm_request_pin(sm);
    if (c->pending_req_passphrase) eap_sm_request_passphrase(sm);
}

unsigned int eap_peer_phase2_type_by_name(const char *name, int *vendor) {
    unsigned int type = eap_peer_method_type_by_name(name, vendor);
    if (*vendor == EAP_VENDOR_IETF &&
        (type == EAP_TYPE_TTLS || type == EAP_TYPE_PEAP || type == EAP_TYPE_FAST))
        return EAP_TYPE_NONE;
    return type;
}

eap_method_type *eap_peer_default_phase2_types(eap_peer_config *config, size_t *count) {
    size_t n;
    const eap_peer_method *methods = eap_peer_method_list(&n);
    auto *list = static_cast<eap_method_type *>(calloc(n + 1, sizeof(eap_method_type)));
    *count = 0;
    if (list == nullptr) return nullptr;
    for (const eap_peer_method *m = methods; m != nullptr; m = m->next) {
        if (m->vendor != EAP_VENDOR_IETF) continue;
        if (m->method == EAP_TYPE_TTLS || m->method == EAP_TYPE_PEAP || m->method == EAP_TYPE_FAST) continue;
        if (m->method == EAP_TYPE_TLS && (config == nullptr || config->private_key2.data == nullptr))
            continue;
        list[*count].vendor = m->vendor;
        list[*count].method = m->method;
        (*count)++;
    }
    return list;
}

bool eap_peer_method_allowed(eap_peer_sm *sm, int vendor, unsigned int method) {
    eap_peer_config *c = eap_get_config(sm);
    if (c == nullptr || c->eap_methods == nullptr) return true;
    for (const eap_method_type *m = c->eap_methods;
         m->vendor != EAP_VENDOR_IETF || m->method != EAP_TYPE_NONE; m++)
        if (m->vendor == vendor && m->method == method) return true;
    return false;
}

void eap_method_ret_init(eap_method_ret *ret) {
    ret->ignore = false;
    ret->methodState = METHOD_INIT;
    ret->decision = DECISION_FAIL;
    ret->allowNotifications = true;
}
