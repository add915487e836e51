// IEEE 802.1X pre-authentication: a second EAPOL supplicant over ethertype 0x88C7
// towards another AP of the network, fed from the PMKSA candidate list, to fill the
// cache before roaming. One runs at a time.
#include "wireless/core/eloop.h"
#include "wireless/core/supplicant.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/rsn/pmksa_cache.h"
#include "wireless/rsn/wpa.h"

#include <cstdlib>
#include <cstring>
#include <openssl/crypto.h>

#define MACSTR "%02x:%02x:%02x:%02x:%02x:%02x"
#define MAC2STR(a) (a)[0], (a)[1], (a)[2], (a)[3], (a)[4], (a)[5]

namespace {

void *msg_ctx(rsn_supplicant *sm) {
    return sm->ops != nullptr ? sm->ops->msg_ctx : nullptr;
}

int get_state(rsn_supplicant *sm) {
    return sm->ops != nullptr && sm->ops->get_state != nullptr ? sm->ops->get_state(sm->ops->ctx) : -1;
}

bool preauth_key_mgmt(uint32_t key_mgmt) {
    return key_mgmt == WPA_KEY_MGMT_IEEE8021X || key_mgmt == WPA_KEY_MGMT_IEEE8021X_SHA256 ||
           key_mgmt == WPA_KEY_MGMT_IEEE8021X_SUITE_B || key_mgmt == WPA_KEY_MGMT_IEEE8021X_SUITE_B_192;
}

} // namespace

int rsn_preauth_start(rsn_supplicant *sm, const uint8_t *bssid, void *eap_config) {
    if (sm == nullptr || bssid == nullptr) return -1;
    if (sm->preauth_running) return -1;
    wpa_msg_iface(msg_ctx(sm), MSG_DEBUG, "RSN: starting pre-authentication with " MACSTR, MAC2STR(bssid));
    // The address is in place before the new state machine sends its first EAPOL-Start.
    std::memcpy(sm->preauth_bssid, bssid, 6);
    eapol_supp_sm *eapol = nullptr;
    const int r = sm->eapol_ops.preauth_begin != nullptr
                      ? sm->eapol_ops.preauth_begin(sm, bssid, eap_config, &eapol)
                      : -2;
    if (r != 0) {
        std::memset(sm->preauth_bssid, 0, 6);
        return r;
    }
    sm->preauth_eapol = eapol;
    sm->preauth_running = 1;
    eloop_register_timeout(sm->dot11RSNAConfigSATimeout, 0, rsn_preauth_timeout, sm, nullptr);
    return 0;
}

void rsn_preauth_stop(rsn_supplicant *sm) {
    if (sm == nullptr || !sm->preauth_running) return;
    eloop_cancel_timeout(rsn_preauth_timeout, sm, nullptr);
    if (sm->eapol_ops.preauth_end != nullptr) sm->eapol_ops.preauth_end(sm, sm->preauth_eapol);
    sm->preauth_eapol = nullptr;
    sm->preauth_running = 0;
    std::memset(sm->preauth_bssid, 0, 6);
}

bool rsn_preauth_accepts(const rsn_supplicant *sm, const uint8_t *src) {
    static const uint8_t zero[6] = {};
    return sm != nullptr && sm->preauth_running && sm->preauth_eapol != nullptr &&
           std::memcmp(sm->preauth_bssid, zero, 6) != 0 && src != nullptr &&
           std::memcmp(sm->preauth_bssid, src, 6) == 0;
}

void rsn_preauth_result(rsn_supplicant *sm, int success) {
    if (sm == nullptr || !sm->preauth_running) return;
    uint8_t bssid[6];
    std::memcpy(bssid, sm->preauth_bssid, 6);
    if (success) {
        uint8_t pmk[32];
        size_t pmk_len = 32;
        int r = -1;
        if (sm->eapol_ops.get_key != nullptr) {
            r = sm->eapol_ops.get_key(sm->preauth_eapol, pmk, 32);
            if (r != 0) {
                pmk_len = 16;
                r = sm->eapol_ops.get_key(sm->preauth_eapol, pmk, 16);
            }
        }
        if (r != 0) {
            wpa_msg_iface(msg_ctx(sm), MSG_INFO,
                          "RSN: failed to get master session key from pre-auth EAPOL state machines");
            success = 0;
        } else {
            pmksa_cache_insert(sm->pmksa, pmk, pmk_len, nullptr, nullptr, 0, bssid, sm->own_addr,
                               sm->net.network_ctx, WPA_KEY_MGMT_IEEE8021X);
        }
        OPENSSL_cleanse(pmk, sizeof(pmk));
    }
    wpa_msg_iface(msg_ctx(sm), MSG_INFO, "RSN: pre-authentication with " MACSTR " %s", MAC2STR(bssid),
                  success ? "completed successfully" : "failed");
    rsn_preauth_stop(sm);
    rsn_preauth_process_candidates(sm);
}

void rsn_preauth_timeout(void *eloop_ctx, void *) {
    auto *sm = static_cast<rsn_supplicant *>(eloop_ctx);
    wpa_msg_iface(msg_ctx(sm), MSG_INFO, "RSN: pre-authentication with " MACSTR " timed out",
                  MAC2STR(sm->preauth_bssid));
    rsn_preauth_stop(sm);
    rsn_preauth_process_candidates(sm);
}

void rsn_preauth_process_candidates(rsn_supplicant *sm) {
    if (sm == nullptr || sm->pmksa_candidates == nullptr) return;
    wpa_msg_iface(msg_ctx(sm), MSG_DEBUG, "RSN: processing PMKSA candidate list");
    if (sm->preauth_running || sm->proto != WPA_PROTO_RSN || get_state(sm) != WPA_COMPLETED ||
        !preauth_key_mgmt(sm->key_mgmt)) {
        wpa_msg_iface(msg_ctx(sm), MSG_DEBUG, "RSN: not in suitable state for new pre-authentication");
        return;
    }
    while (sm->pmksa_candidates != nullptr) {
        pmksa_candidate *c = sm->pmksa_candidates;
        pmksa_entry *p = pmksa_cache_find(sm->pmksa, c->bssid, nullptr, nullptr);
        if (std::memcmp(sm->bssid, c->bssid, 6) != 0 && (p == nullptr || p->opportunistic)) {
            sm->pmksa_candidates = c->next;
            wpa_msg_iface(msg_ctx(sm), MSG_DEBUG,
                          "RSN: PMKSA candidate " MACSTR " selected for pre-authentication",
                          MAC2STR(c->bssid));
            rsn_preauth_start(sm, c->bssid, sm->net.eap_conf_ctx);
            std::free(c);
            return;
        }
        wpa_msg_iface(msg_ctx(sm), MSG_DEBUG,
                      "RSN: PMKSA candidate " MACSTR " does not need pre-authentication anymore",
                      MAC2STR(c->bssid));
        if (p != nullptr && sm->ops != nullptr && sm->ops->add_pmkid != nullptr)
            sm->ops->add_pmkid(sm->ops->ctx, c->bssid, p->pmkid);
        sm->pmksa_candidates = c->next;
        std::free(c);
    }
    wpa_msg_iface(msg_ctx(sm), MSG_DEBUG, "RSN: no more pending PMKSA candidates");
}

void rsn_preauth_add_candidate(rsn_supplicant *sm, const uint8_t *bssid, int priority, int preauth_allowed) {
    if (sm == nullptr || bssid == nullptr) return;
    if (sm->net.network_ctx != nullptr && sm->net.proactive_key_caching)
        pmksa_cache_clone_for_ap(sm->pmksa, sm->net.network_ctx, bssid);
    if (!preauth_allowed) return;

    pmksa_candidate *cand = nullptr;
    for (pmksa_candidate **pp = &sm->pmksa_candidates; *pp != nullptr; pp = &(*pp)->next) {
        if (std::memcmp((*pp)->bssid, bssid, 6) == 0) {
            cand = *pp;
            *pp = cand->next;
            cand->next = nullptr;
            break;
        }
    }
    if (cand != nullptr) {
        if (priority < 1000) cand->priority = priority;
    } else {
        cand = static_cast<pmksa_candidate *>(std::calloc(1, sizeof(pmksa_candidate)));
        if (cand == nullptr) return;
        std::memcpy(cand->bssid, bssid, 6);
        cand->priority = priority;
    }
    pmksa_candidate **pp = &sm->pmksa_candidates;
    while (*pp != nullptr && (*pp)->priority < cand->priority)
        pp = &(*pp)->next;
    cand->next = *pp;
    *pp = cand;
    wpa_msg_iface(msg_ctx(sm), MSG_DEBUG, "RSN: added PMKSA cache candidate " MACSTR " prio %d",
                  MAC2STR(bssid), cand->priority);
    rsn_preauth_process_candidates(sm);
}

void rsn_preauth_clear_candidates(rsn_supplicant *sm) {
    if (sm == nullptr) return;
    while (sm->pmksa_candidates != nullptr) {
        pmksa_candidate *c = sm->pmksa_candidates;
        sm->pmksa_candidates = c->next;
        std::free(c);
    }
}

int rsn_preauth_begin_scan_results(rsn_supplicant *sm) {
    if (sm == nullptr || sm->net.ssid_len == 0) return -1;
    rsn_preauth_clear_candidates(sm);
    return 0;
}

void rsn_preauth_check_bss(rsn_supplicant *sm, const uint8_t *bssid, const uint8_t *ssid_ie,
                           const uint8_t *rsn_ie) {
    if (sm == nullptr || bssid == nullptr || ssid_ie == nullptr || rsn_ie == nullptr) return;
    if (ssid_ie[1] != sm->net.ssid_len || std::memcmp(ssid_ie + 2, sm->net.ssid, sm->net.ssid_len) != 0)
        return;
    if (std::memcmp(bssid, sm->bssid, 6) == 0) return;
    wpa_ie_info ie;
    if (wpa_decode_rsn_ie(rsn_ie, 2u + rsn_ie[1], &ie) != 0) return;
    const pmksa_entry *p = pmksa_cache_find(sm->pmksa, bssid, nullptr, nullptr);
    const int preauth = ie.capabilities & 0x1;
    if (p == nullptr || (p->opportunistic && preauth)) rsn_preauth_add_candidate(sm, bssid, 1000, preauth);
}

int rsn_preauth_status_text(rsn_supplicant *sm, char *buf, size_t size, int verbose) {
    if (sm == nullptr || !sm->preauth_running || buf == nullptr || size == 0) return 0;
    static const char head[] = "Pre-authentication EAPOL state machines:\n";
    if (sizeof(head) > size) return 0;
    std::memcpy(buf, head, sizeof(head));
    int len = static_cast<int>(sizeof(head) - 1);
    if (sm->eapol_ops.status_text != nullptr) {
        const int r =
            sm->eapol_ops.status_text(sm->preauth_eapol, buf + len, size - static_cast<size_t>(len), verbose);
        if (r > 0) len += r;
    }
    return len;
}
