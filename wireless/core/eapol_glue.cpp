#include "wireless/core/eapol_glue.h"

#include "wireless/core/association.h"
#include "wireless/core/cipher_text.h"
#include "wireless/core/eloop.h"
#include "wireless/core/l2_packet.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/core/wpabuf.h"
#include "wireless/eap/eapol_supp_sm.h"
#include "wireless/rsn/wpa.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

constexpr uint16_t ETH_P_EAPOL = 0x888e;

struct CtrlReq {
    const char *name;
    const char *prompt; // null: the text given by the method
};
const CtrlReq ctrl_reqs[] = {
    {nullptr, nullptr},
    {"IDENTITY", "Identity"},
    {"PASSWORD", "Password"},
    {"NEW_PASSWORD", "New Password"},
    {"PIN", "PIN"},
    {"OTP", nullptr},
    {"PASSPHRASE", "Private key passphrase"},
    {"SIM", nullptr},
    {"PSK_PASSPHRASE", "PSK or passphrase"},
    {"EXT_CERT_CHECK", "External server certificate validation"},
};
constexpr int NUM_CTRL_REQS = sizeof(ctrl_reqs) / sizeof(ctrl_reqs[0]);

bool psk_like(int key_mgmt) {
    return (key_mgmt & (WPA_KEY_MGMT_PSK | WPA_KEY_MGMT_SAE)) != 0;
}

struct EapKeys {
    std::string msk, emsk, session_id;
};
std::mutex keys_mutex;
std::map<std::string, EapKeys> last_keys;

std::string hex_of(const uint8_t *p, size_t len) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; p != nullptr && i < len; i++) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

void remember_keys(wpa_iface *iface) {
    EapKeys keys;
    uint8_t msk[64];
    int n = eapol_supp_get_key(iface->eapol, msk, sizeof(msk));
    if (n > 0 && eapol_supp_get_key(iface->eapol, msk, static_cast<size_t>(n)) == 0)
        keys.msk = hex_of(msk, static_cast<size_t>(n));
    else if (n == 0)
        keys.msk = hex_of(msk, sizeof(msk));
    explicit_bzero(msk, sizeof(msk));
    size_t len = 0;
    const uint8_t *emsk = eapol_supp_get_emsk(iface->eapol, &len);
    keys.emsk = hex_of(emsk, len);
    const uint8_t *sid = eapol_supp_get_session_id(iface->eapol, &len);
    keys.session_id = hex_of(sid, len);
    std::lock_guard<std::mutex> lock(keys_mutex);
    last_keys[iface->ifname] = keys;
}

void eapol_cb(eapol_supp_sm *, eapol_supp_result result, void *ctx) {
    auto *iface = static_cast<wpa_iface *>(ctx);
    iface->eapol_failed = result == EAPOL_SUPP_RESULT_EXPECTED_FAILURE;
    if (result == EAPOL_SUPP_RESULT_SUCCESS) remember_keys(iface);
    // A failed authentication gives up on the AP soon.
    if (result != EAPOL_SUPP_RESULT_SUCCESS) supplicant_req_auth_timeout(iface, 2, 0);
}

void eapol_done(void *ctx) {
    auto *iface = static_cast<wpa_iface *>(ctx);
    wpa_msg_iface(iface, MSG_DEBUG, "WPA: EAPOL processing complete");
    if (supp_key_mgmt_8021x(iface->key_mgmt)) {
        supplicant_set_state(iface, WPA_4WAY_HANDSHAKE);
    } else {
        supplicant_cancel_auth_timeout(iface);
        supplicant_set_state(iface, WPA_COMPLETED);
    }
}

int eapol_send(void *ctx, int type, const uint8_t *buf, size_t len) {
    auto *iface = static_cast<wpa_iface *>(ctx);
    if (psk_like(iface->key_mgmt) || iface->key_mgmt == WPA_KEY_MGMT_NONE) return -1;
    uint8_t dst[6];
    static const uint8_t zero[6] = {0, 0, 0, 0, 0, 0};
    if (memcmp(iface->bssid, zero, 6) != 0) {
        memcpy(dst, iface->bssid, 6);
    } else if (iface->driver != nullptr && iface->driver->get_bssid != nullptr &&
               iface->driver->get_bssid(iface->drv_priv, dst) == 0 && memcmp(dst, zero, 6) != 0) {
        // the driver's BSSID
    } else {
        memcpy(dst, iface->last_eapol_src, 6);
    }
    if (len > 0xffff - 4) return -1;
    uint8_t *frame = static_cast<uint8_t *>(malloc(4 + len));
    if (frame == nullptr) return -1;
    frame[0] = static_cast<uint8_t>(iface->conf->eapol_version);
    frame[1] = static_cast<uint8_t>(type);
    frame[2] = static_cast<uint8_t>(len >> 8);
    frame[3] = static_cast<uint8_t>(len);
    if (len > 0) memcpy(frame + 4, buf, len);
    int ret = l2_packet_send(iface->l2, dst, ETH_P_EAPOL, frame, 4 + len);
    free(frame);
    return ret < 0 ? -1 : 0;
}

void set_config_blob(void *ctx, wpa_config_blob *blob) {
    wpa_config_set_blob(static_cast<wpa_iface *>(ctx)->conf, blob);
}

const wpa_config_blob *get_config_blob(void *ctx, const char *name) {
    return wpa_config_get_blob(static_cast<wpa_iface *>(ctx)->conf, name);
}

void eap_param_needed(void *ctx, int field, const char *default_txt) {
    auto *iface = static_cast<wpa_iface *>(ctx);
    wpa_network *ssid = iface->current_ssid;
    if (ssid == nullptr) return;
    if (field == 9) ssid->pending_ext_cert_check = 1;
    const char *txt = nullptr;
    const char *name = supplicant_ctrl_req_to_string(field, default_txt, &txt);
    if (name == nullptr) return;
    wpa_msg_iface_ctrl(iface, MSG_INFO, "CTRL-EVENT-EAP-STATUS status='%s' parameter='%s'",
                       "eap parameter needed", name);
    supp_send_ctrl_req(iface, ssid, name, txt);
}

// The port's authorisation goes to the driver, which lets data frames pass only then.
void port_cb(void *ctx, int authorized) {
    auto *iface = static_cast<wpa_iface *>(ctx);
    if (iface->driver != nullptr && iface->driver->set_supp_port != nullptr)
        iface->driver->set_supp_port(iface->drv_priv, authorized);
}

void aborted_cached(void *ctx) {
    wpa_sm_abort_cached_pmksa(static_cast<wpa_iface *>(ctx)->wpa);
}

// Dynamic WEP keys of 802.1X without WPA.
int set_wep_key(void *ctx, int unicast, int keyidx, const uint8_t *key, size_t keylen) {
    auto *iface = static_cast<wpa_iface *>(ctx);
    if (iface->key_mgmt == WPA_KEY_MGMT_IEEE8021X_NO_WPA) {
        const int cipher = keylen == 5 ? WPA_CIPHER_WEP40 : WPA_CIPHER_WEP104;
        if (unicast)
            iface->pairwise_cipher = cipher;
        else
            iface->group_cipher = cipher;
    }
    return wpa_drv_set_key(iface, WPA_ALG_WEP, unicast ? iface->bssid : nullptr, keyidx, unicast, nullptr, 0,
                           key, keylen);
}

void cert_cb(void *ctx, int depth, const char *subject, const char *altsubject[], int num_altsubject,
             const char *cert_hash, const wpa_buf *cert) {
    auto *iface = static_cast<wpa_iface *>(ctx);
    wpa_msg_iface(iface, MSG_INFO, "CTRL-EVENT-EAP-PEER-CERT depth=%d subject='%s'%s%s", depth,
                  subject != nullptr ? subject : "", cert_hash != nullptr ? " hash=" : "",
                  cert_hash != nullptr ? cert_hash : "");
    if (cert != nullptr) {
        const size_t len = wpa_buf_len(cert);
        std::string hex;
        hex.reserve(2 * len);
        static const char digits[] = "0123456789abcdef";
        for (size_t i = 0; i < len; i++) {
            hex += digits[wpa_buf_head(cert)[i] >> 4];
            hex += digits[wpa_buf_head(cert)[i] & 15];
        }
        wpa_msg_iface_ctrl(iface, MSG_INFO, "CTRL-EVENT-EAP-PEER-CERT depth=%d subject='%s' cert=%s", depth,
                           subject != nullptr ? subject : "", hex.c_str());
    }
    for (int i = 0; i < num_altsubject; i++)
        wpa_msg_iface(iface, MSG_INFO, "CTRL-EVENT-EAP-PEER-ALT depth=%d %s", depth, altsubject[i]);
}

void status_cb(void *ctx, const char *status, const char *parameter) {
    wpa_msg_iface_ctrl(ctx, MSG_INFO, "CTRL-EVENT-EAP-STATUS status='%s' parameter='%s'", status, parameter);
}

void set_anon_id(void *ctx, const uint8_t *id, size_t len) {
    auto *iface = static_cast<wpa_iface *>(ctx);
    if (iface->current_ssid == nullptr) return;
    std::string hex;
    if (id == nullptr) {
        hex = "NULL";
    } else {
        static const char digits[] = "0123456789abcdef";
        for (size_t i = 0; i < len; i++) {
            hex += digits[id[i] >> 4];
            hex += digits[id[i] & 15];
        }
    }
    wpa_config_set_network_field(iface->current_ssid, "anonymous_identity", hex.c_str(), 0);
}

void rsp_ready_timeout(void *eloop_ctx, void *) {
    supplicant_ctrl_rsp_ready(static_cast<wpa_iface *>(eloop_ctx));
}

void replace_text(wpa_text *t, const char *value) {
    if (t->data != nullptr) explicit_bzero(t->data, t->len);
    free(t->data);
    t->len = strlen(value);
    t->data = reinterpret_cast<uint8_t *>(strdup(value));
    if (t->data == nullptr) t->len = 0;
}

} // namespace

int supplicant_init_eapol(wpa_iface *iface) {
    auto *ctx = static_cast<eapol_supp_callbacks *>(calloc(1, sizeof(eapol_supp_callbacks)));
    if (ctx == nullptr) return -1;
    ctx->ctx = iface;
    ctx->msg_ctx = iface;
    ctx->eapol_send_ctx = iface;
    ctx->cb_ctx = iface;
    ctx->cb = eapol_cb;
    ctx->eapol_done_cb = eapol_done;
    ctx->eapol_send = eapol_send;
    ctx->set_config_blob = set_config_blob;
    ctx->get_config_blob = get_config_blob;
    ctx->opensc_engine_path = iface->conf->opensc_engine_path;
    ctx->pkcs11_engine_path = iface->conf->pkcs11_engine_path;
    ctx->pkcs11_module_path = iface->conf->pkcs11_module_path;
    ctx->openssl_ciphers = iface->conf->openssl_ciphers;
    ctx->eap_param_needed = eap_param_needed;
    ctx->port_cb = port_cb;
    ctx->aborted_cached = aborted_cached;
    ctx->set_wep_key = set_wep_key;
    ctx->cert_cb = cert_cb;
    ctx->status_cb = status_cb;
    ctx->set_anon_id = set_anon_id;
    iface->eapol = eapol_supp_create(ctx);
    if (iface->eapol == nullptr) {
        free(ctx);
        return -1;
    }
    return 0;
}

void supplicant_deinit_eapol(wpa_iface *iface) {
    eloop_cancel_timeout(rsp_ready_timeout, iface, nullptr);
    eapol_supp_destroy(iface->eapol);
    iface->eapol = nullptr;
}

int supplicant_ctrl_req_from_string(const char *field) {
    for (int i = 1; i < NUM_CTRL_REQS; i++)
        if (strcmp(field, ctrl_reqs[i].name) == 0) return i;
    return 0;
}

const char *supplicant_ctrl_req_to_string(int field, const char *default_txt, const char **txt) {
    if (field <= 0 || field >= NUM_CTRL_REQS) return nullptr;
    *txt = ctrl_reqs[field].prompt != nullptr ? ctrl_reqs[field].prompt : default_txt;
    if (*txt == nullptr) return nullptr;
    return ctrl_reqs[field].name;
}

void supp_send_ctrl_req(wpa_iface *iface, wpa_network *ssid, const char *field_name, const char *txt) {
    const size_t buflen = strlen(txt) + ssid->ssid.len + 100;
    char *buf = static_cast<char *>(malloc(buflen));
    if (buf == nullptr) return;
    int len = snprintf(buf, buflen, "%s-%d:%s needed for SSID ", field_name, ssid->id, txt);
    if (len < 0 || static_cast<size_t>(len) >= buflen) {
        free(buf);
        return;
    }
    if (ssid->ssid.data != nullptr && static_cast<size_t>(len) + ssid->ssid.len < buflen) {
        memcpy(buf + len, ssid->ssid.data, ssid->ssid.len);
        len += static_cast<int>(ssid->ssid.len);
        buf[len] = '\0';
    }
    wpa_msg_iface(iface, MSG_INFO, "CTRL-REQ-%s", buf);
    free(buf);
}

int supplicant_ctrl_rsp_handle(wpa_iface *iface, wpa_network *ssid, const char *field, const char *value) {
    switch (supplicant_ctrl_req_from_string(field)) {
    case 1:
        replace_text(&ssid->identity, value);
        ssid->pending_req_identity = 0;
        break;
    case 2:
        replace_text(&ssid->password, value);
        ssid->password_hashed = 0;
        ssid->pending_req_password = 0;
        break;
    case 3:
        replace_text(&ssid->new_password, value);
        ssid->pending_req_new_password = 0;
        break;
    case 4:
        replace_text(&ssid->pin, value);
        ssid->pending_req_pin = 0;
        break;
    case 5:
        replace_text(&ssid->otp, value);
        free(ssid->pending_req_otp);
        ssid->pending_req_otp = nullptr;
        ssid->pending_req_otp_len = 0;
        return 0;
    case 6:
        replace_text(&ssid->private_key_passwd, value);
        ssid->pending_req_passphrase = 0;
        break;
    case 7:
        return 0;
    case 8: {
        const std::string quoted = std::string("\"") + value + "\"";
        const char *v = strlen(value) == 64 ? value : quoted.c_str();
        if (wpa_config_set_network_field(ssid, "psk", v, 0) < 0) return -1;
        ssid->mem_only_psk = 1;
        wpa_config_update_psk(ssid);
        return 0;
    }
    case 9:
        if (ssid->pending_ext_cert_check != 1) return -1;
        if (strcmp(value, "good") == 0)
            ssid->pending_ext_cert_check = 2;
        else if (strcmp(value, "bad") == 0)
            ssid->pending_ext_cert_check = 3;
        else
            return -1;
        break;
    default:
        return -1;
    }
    if (ssid == iface->current_ssid) iface->reassociate = 1;
    return 0;
}

void supplicant_ctrl_rsp_ready(wpa_iface *iface) {
    eapol_supp_ctrl_response_ready(iface->eapol);
}

// The 0-s timeout that lets the control command's reply go out before the kept request
// runs again.
void supplicant_ctrl_rsp_schedule(wpa_iface *iface) {
    eloop_cancel_timeout(rsp_ready_timeout, iface, nullptr);
    eloop_register_timeout(0, 0, rsp_ready_timeout, iface, nullptr);
}

bool supplicant_last_eap_keys(const char *ifname, std::string *msk, std::string *emsk,
                              std::string *session_id) {
    std::lock_guard<std::mutex> lock(keys_mutex);
    auto it = last_keys.find(ifname);
    if (it == last_keys.end()) return false;
    *msk = it->second.msk;
    *emsk = it->second.emsk;
    *session_id = it->second.session_id;
    return true;
}
