// The EAP peer method interface and the process-wide method registry. A method is a
// descriptor with its operations; methods are kept in registration order, which is the
// order of the NAK lists and of "GET_CAPABILITY eap".
#pragma once

#include "wireless/common/eap_common.h"

#include <cstddef>
#include <cstdint>

struct wpa_buf;
struct eap_peer_sm;

enum { EAP_TYPE_NONE = 0 };

enum eap_type {
    EAP_TYPE_IDENTITY = 1,
    EAP_TYPE_NOTIFICATION = 2,
    EAP_TYPE_NAK = 3,
    EAP_TYPE_MD5 = 4,
    EAP_TYPE_OTP = 5,
    EAP_TYPE_GTC = 6,
    EAP_TYPE_TLS = 13,
    EAP_TYPE_LEAP = 17,
    EAP_TYPE_TTLS = 21,
    EAP_TYPE_PEAP = 25,
    EAP_TYPE_MSCHAPV2 = 26,
    EAP_TYPE_TLV = 33,
    EAP_TYPE_FAST = 43,
};

enum eap_code {
    EAP_CODE_REQUEST = 1,
    EAP_CODE_RESPONSE = 2,
    EAP_CODE_SUCCESS = 3,
    EAP_CODE_FAILURE = 4,
    EAP_CODE_INITIATE = 5,
};

struct eap_method_type {
    int vendor;
    unsigned int method;
};

enum eap_method_state { METHOD_NONE, METHOD_INIT, METHOD_CONT, METHOD_MAY_CONT, METHOD_DONE };
enum eap_decision { DECISION_FAIL, DECISION_COND_SUCC, DECISION_UNCOND_SUCC };

// What a method reports back from process; the peer fills it with its current values
// before the call.
struct eap_method_ret {
    bool ignore;
    eap_method_state methodState;
    eap_decision decision;
    bool allowNotifications;
};

constexpr int EAP_PEER_METHOD_INTERFACE_VERSION = 1;

struct eap_peer_method {
    int vendor;
    unsigned int method;
    const char *name;
    void *(*init)(eap_peer_sm *sm);
    void (*deinit)(eap_peer_sm *sm, void *priv);
    wpa_buf *(*process)(eap_peer_sm *sm, void *priv, eap_method_ret *ret, const wpa_buf *req);
    bool (*isKeyAvailable)(eap_peer_sm *sm, void *priv);
    uint8_t *(*getKey)(eap_peer_sm *sm, void *priv, size_t *len);
    int (*get_status)(eap_peer_sm *sm, void *priv, char *buf, size_t buflen, int verbose);
    bool (*has_reauth_data)(eap_peer_sm *sm, void *priv);
    void (*deinit_for_reauth)(eap_peer_sm *sm, void *priv);
    void *(*init_for_reauth)(eap_peer_sm *sm, void *priv);
    const uint8_t *(*get_identity)(eap_peer_sm *sm, void *priv, size_t *len);
    void (*free)(eap_peer_method *method);
    int version;
    eap_peer_method *next;
    uint8_t *(*get_emsk)(eap_peer_sm *sm, void *priv, size_t *len);
    uint8_t *(*getSessionId)(eap_peer_sm *sm, void *priv, size_t *len);
};

eap_peer_method *eap_peer_method_new(int version, int vendor, unsigned int method, const char *name);
// 0 appended; -1 no name or wrong version, -2 vendor/type or name taken (freed in both).
int eap_peer_method_add(eap_peer_method *method);
const eap_peer_method *eap_peer_method_find(int vendor, unsigned int method);
// The type of a method name (vendor stored in *vendor); EAP_TYPE_NONE when unknown.
unsigned int eap_peer_method_type_by_name(const char *name, int *vendor);
// The name of a registered method, "expanded" for 0/254, null when unknown.
const char *eap_peer_method_name_by_type(int vendor, unsigned int type);
// Names separated by single blanks; the text is always terminated. Length written.
size_t eap_peer_method_list_text(char *buf, size_t size);
const eap_peer_method *eap_peer_method_list(size_t *count);
size_t eap_peer_method_count();
void eap_peer_methods_unregister_all();
// Registers the built-in methods in their fixed order; the first failure stops.
int eap_peer_register_methods();

int eap_peer_md5_register();
int eap_peer_tls_register();
int eap_peer_mschapv2_register();
int eap_peer_peap_register();
int eap_peer_ttls_register();
int eap_peer_gtc_register();
int eap_peer_otp_register();
int eap_peer_leap_register();
int eap_peer_fast_register();
