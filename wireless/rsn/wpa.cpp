// The RSN supplicant's key machine: EAPOL-Key validation (descriptor, version, replay,
// MIC, key data decryption), the 4-way handshake with its temporary PTK, the group key
// handshake, key installation through the core, key requests and the texts.
#include "wireless/rsn/wpa.h"

#include "wireless/core/eloop.h"
#include "wireless/core/supplicant.h"
#include "wireless/core/text.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/crypto/crypto.h"
#include "wireless/crypto/random_pool.h"
#include "wireless/rsn/pmksa_cache.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <openssl/crypto.h>

#define MACSTR "%02x:%02x:%02x:%02x:%02x:%02x"
#define MAC2STR(a) (a)[0], (a)[1], (a)[2], (a)[3], (a)[4], (a)[5]

namespace {

const uint8_t broadcast_addr[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

void *msg_ctx(rsn_supplicant *sm) {
    return sm->ops->msg_ctx;
}

void set_state(rsn_supplicant *sm, int state) {
    if (sm->ops->set_state != nullptr) sm->ops->set_state(sm->ops->ctx, state);
}

int get_state(rsn_supplicant *sm) {
    return sm->ops->get_state != nullptr ? sm->ops->get_state(sm->ops->ctx) : WPA_DISCONNECTED;
}

void deauthenticate(rsn_supplicant *sm, int reason) {
    if (sm->ops->deauthenticate != nullptr) sm->ops->deauthenticate(sm->ops->ctx, reason);
}

void cancel_auth_timeout(rsn_supplicant *sm) {
    if (sm->ops->cancel_auth_timeout != nullptr) sm->ops->cancel_auth_timeout(sm->ops->ctx);
}

int set_key(rsn_supplicant *sm, int alg, const uint8_t *addr, int idx, int tx, const uint8_t *seq,
            size_t seq_len, const uint8_t *key, size_t key_len) {
    if (sm->ops->set_key == nullptr) return -1;
    return sm->ops->set_key(sm->ops->ctx, alg, addr, idx, tx, seq, seq_len, key, key_len);
}

void mlme_setprotection(rsn_supplicant *sm, const uint8_t *addr, int type, int key_type) {
    if (sm->ops->mlme_setprotection != nullptr)
        sm->ops->mlme_setprotection(sm->ops->ctx, addr, type, key_type);
}

void eapol_port_valid(rsn_supplicant *sm, bool valid) {
    if (sm->eapol != nullptr && sm->eapol_ops.set_port_valid != nullptr)
        sm->eapol_ops.set_port_valid(sm->eapol, valid);
}

bool is_rsn(const rsn_supplicant *sm) {
    return sm->proto == WPA_PROTO_RSN || sm->proto == WPA_PROTO_OSEN;
}

bool akm_defined_version(uint32_t key_mgmt) {
    return key_mgmt == WPA_KEY_MGMT_OSEN || (key_mgmt & WPA_KEY_MGMT_MASK_SUITE_B) != 0;
}

void clear_ptk(wpa_ptk_keys *ptk) {
    OPENSSL_cleanse(ptk, sizeof(*ptk));
}

void swap_tkip_mic_keys(uint8_t *key) {
    uint8_t tmp[8];
    std::memcpy(tmp, key + 16, 8);
    std::memcpy(key + 16, key + 24, 8);
    std::memcpy(key + 24, tmp, 8);
    OPENSSL_cleanse(tmp, sizeof(tmp));
}

// A received EAPOL-Key frame (our copy) and where its fields are.
struct key_frame {
    uint8_t *buf; // EAPOL header onwards
    size_t len;   // 4 + body length
    size_t mic_len;
    uint16_t key_info;
    int ver;
    uint8_t *key_data;
    size_t key_data_len;

    const uint8_t *replay() const { return buf + EAPOL_KEY_OFF_REPLAY; }
    const uint8_t *nonce() const { return buf + EAPOL_KEY_OFF_NONCE; }
    const uint8_t *iv() const { return buf + EAPOL_KEY_OFF_IV; }
    const uint8_t *rsc() const { return buf + EAPOL_KEY_OFF_RSC; }
    uint16_t key_length() const { return wpa_get_be16(buf + EAPOL_KEY_OFF_KEY_LEN); }
};

// Group key as received, before installation.
struct gtk_data {
    uint8_t gtk[WPA_GTK_MAX_LEN];
    size_t gtk_len;
    int keyidx;
    int tx;
    int alg;
    size_t key_rsc_len;

    ~gtk_data() { OPENSSL_cleanse(gtk, sizeof(gtk)); }
};

// Builds an EAPOL-Key frame through the core; body fields left zero are filled by the caller.
uint8_t *build_key_frame(rsn_supplicant *sm, uint16_t key_info, uint16_t key_length, const uint8_t *replay,
                         const uint8_t *nonce, const uint8_t *key_data, size_t key_data_len,
                         size_t *out_len) {
    if (sm->ops->alloc_eapol == nullptr) return nullptr;
    const size_t mic_len = wpa_key_mic_length(sm->key_mgmt);
    const size_t body_len = 77 + mic_len + 2 + key_data_len;
    void *body_pos = nullptr;
    uint8_t *msg =
        sm->ops->alloc_eapol(sm->ops->ctx, 3, nullptr, static_cast<uint16_t>(body_len), out_len, &body_pos);
    if (msg == nullptr || body_pos == nullptr) {
        std::free(msg);
        return nullptr;
    }
    auto *body = static_cast<uint8_t *>(body_pos);
    body[0] = is_rsn(sm) ? EAPOL_KEY_TYPE_RSN : EAPOL_KEY_TYPE_WPA;
    wpa_put_be16(body + 1, key_info);
    wpa_put_be16(body + 3, key_length);
    if (replay != nullptr) std::memcpy(body + 5, replay, WPA_REPLAY_COUNTER_LEN);
    if (nonce != nullptr) std::memcpy(body + 13, nonce, WPA_NONCE_LEN);
    wpa_put_be16(body + 77 + mic_len, static_cast<uint16_t>(key_data_len));
    if (key_data_len > 0) std::memcpy(body + 79 + mic_len, key_data, key_data_len);
    return msg;
}

} // namespace

// Sends an EAPOL-Key frame, with its MIC computed over the whole frame when a KCK is given.
int wpa_sm_transmit_key_frame(rsn_supplicant *sm, const uint8_t *kck, size_t kck_len, int ver,
                              const uint8_t *dest, uint16_t proto, uint8_t *msg, size_t msg_len,
                              uint8_t *key_mic) {
    static const uint8_t zero[6] = {};
    int ret = -1;
    if (std::memcmp(dest, zero, 6) == 0 && std::memcmp(sm->bssid, zero, 6) == 0 &&
        sm->ops->get_bssid != nullptr) {
        uint8_t bssid[6];
        if (sm->ops->get_bssid(sm->ops->ctx, bssid) == 0) {
            std::memcpy(sm->bssid, bssid, 6);
            dest = sm->bssid;
        }
    }
    if (key_mic != nullptr &&
        wpa_compute_key_mic(kck, kck_len, sm->key_mgmt, ver, msg, msg_len, key_mic) != 0) {
        wpa_msg_iface(msg_ctx(sm), MSG_ERROR,
                      "WPA: Failed to generate EAPOL-Key version %d key_mgmt 0x%x MIC", ver, sm->key_mgmt);
        std::free(msg);
        return -1;
    }
    if (sm->ops->ether_send != nullptr) ret = sm->ops->ether_send(sm->ops->ctx, dest, proto, msg, msg_len);
    if (sm->eapol != nullptr && sm->eapol_ops.count_tx != nullptr) sm->eapol_ops.count_tx(sm->eapol);
    std::free(msg);
    return ret;
}

namespace {

uint8_t *mic_field(uint8_t *msg) {
    return msg + EAPOL_KEY_OFF_MIC;
}

// Fails the handshake after a valid MIC: deauthenticate (unspecified reason).
int fail(rsn_supplicant *sm) {
    deauthenticate(sm, 1);
    return 1;
}

void start_rekey_timer(rsn_supplicant *sm) {
    eloop_cancel_timeout(wpa_sm_rekey_ptk, sm, nullptr);
    if (sm->net.wpa_ptk_rekey > 0)
        eloop_register_timeout(sm->net.wpa_ptk_rekey, 0, wpa_sm_rekey_ptk, sm, nullptr);
}

void rekey_offload(rsn_supplicant *sm, const key_frame &f) {
    if (sm->ops->set_rekey_offload != nullptr)
        sm->ops->set_rekey_offload(sm->ops->ctx, sm->ptk.kek, sm->ptk.kek_len, sm->ptk.kck, sm->ptk.kck_len,
                                   f.replay());
}

void key_neg_complete(rsn_supplicant *sm, bool secure) {
    wpa_msg_iface(msg_ctx(sm), MSG_INFO, "WPA: Key negotiation completed with " MACSTR " [PTK=%s GTK=%s]",
                  MAC2STR(sm->bssid), wpa_cipher_name(sm->pairwise_cipher),
                  wpa_cipher_name(sm->group_cipher));
    cancel_auth_timeout(sm);
    set_state(sm, WPA_COMPLETED);
    if (secure) {
        mlme_setprotection(sm, sm->bssid, 3, 1);
        eapol_port_valid(sm, true);
        if ((sm->key_mgmt & WPA_KEY_MGMT_MASK_PSK_LIKE) && sm->eapol != nullptr &&
            sm->eapol_ops.set_eap_success != nullptr)
            sm->eapol_ops.set_eap_success(sm->eapol, true);
        eloop_cancel_timeout(wpa_sm_start_preauth, sm, nullptr);
        eloop_register_timeout(1, 0, wpa_sm_start_preauth, sm, nullptr);
    }
    if (sm->cur_pmksa != nullptr && sm->cur_pmksa->opportunistic) sm->cur_pmksa->opportunistic = 0;
}

// Group cipher, key length and transmit flag of a received GTK.
int check_group_cipher(rsn_supplicant *sm, size_t keylen, size_t maxkeylen, gtk_data *gd) {
    gd->alg = wpa_cipher_driver_alg(sm->group_cipher);
    if (gd->alg == 0) {
        wpa_msg_iface(msg_ctx(sm), MSG_WARNING, "WPA: Unsupported Group Cipher %d",
                      static_cast<int>(sm->group_cipher));
        return -1;
    }
    gd->key_rsc_len = wpa_cipher_seq_length(sm->group_cipher);
    if (keylen != wpa_cipher_tk_length(sm->group_cipher) || keylen > maxkeylen) {
        wpa_msg_iface(msg_ctx(sm), MSG_WARNING, "WPA: Unsupported %s Group Cipher key length %d (%d)",
                      wpa_cipher_name(sm->group_cipher), static_cast<int>(keylen),
                      static_cast<int>(maxkeylen));
        return -1;
    }
    return 0;
}

void check_tx_bit(rsn_supplicant *sm, gtk_data *gd) {
    if (gd->tx && sm->pairwise_cipher != WPA_CIPHER_NONE) {
        wpa_msg_iface(msg_ctx(sm), MSG_INFO,
                      "WPA: Tx bit set for GTK, but pairwise keys are used - ignore Tx bit");
        gd->tx = 0;
    }
}

// Installs a GTK unless the same key is already installed at its index: a repeated key
// (a retransmitted 3/4 or group 1/2) must not reset its receive counter.
int install_gtk(rsn_supplicant *sm, gtk_data *gd, const uint8_t *key_rsc) {
    static const uint8_t zero_rsc[8] = {};
    const int idx = gd->keyidx & 3;
    if (sm->installed_gtk_len[idx] == gd->gtk_len &&
        os_memcmp_const(sm->installed_gtk[idx], gd->gtk, gd->gtk_len) == 0)
        return 0;

    if (sm->net.wpa_rsc_relaxation && gd->key_rsc_len == 6 &&
        (key_rsc[6] != 0 || key_rsc[7] != 0 || (key_rsc[5] != 0 && key_rsc[0] == 0))) {
        wpa_msg_iface(msg_ctx(sm), MSG_WARNING,
                      "RSC %02x%02x%02x%02x%02x%02x%02x%02x is likely bogus, using 0", key_rsc[0], key_rsc[1],
                      key_rsc[2], key_rsc[3], key_rsc[4], key_rsc[5], key_rsc[6], key_rsc[7]);
        key_rsc = zero_rsc;
    }

    uint8_t key[WPA_GTK_MAX_LEN];
    std::memcpy(key, gd->gtk, gd->gtk_len);
    if (sm->group_cipher == WPA_CIPHER_TKIP) swap_tkip_mic_keys(key);
    int r;
    if (sm->pairwise_cipher == WPA_CIPHER_NONE) {
        r = set_key(sm, gd->alg, nullptr, gd->keyidx, 1, key_rsc, gd->key_rsc_len, key, gd->gtk_len);
        if (r < 0)
            wpa_msg_iface(msg_ctx(sm), MSG_WARNING, "WPA: Failed to set GTK to the driver (Group only)");
    } else {
        r = set_key(sm, gd->alg, broadcast_addr, gd->keyidx, gd->tx, key_rsc, gd->key_rsc_len, key,
                    gd->gtk_len);
        if (r < 0)
            wpa_msg_iface(msg_ctx(sm), MSG_WARNING,
                          "WPA: Failed to set GTK to the driver (alg=%d keylen=%d keyidx=%d)", gd->alg,
                          static_cast<int>(gd->gtk_len), gd->keyidx);
    }
    OPENSSL_cleanse(key, sizeof(key));
    if (r < 0) return -1;
    std::memcpy(sm->installed_gtk[idx], gd->gtk, gd->gtk_len);
    sm->installed_gtk_len[idx] = gd->gtk_len;
    return 0;
}

void clear_installed_gtks(rsn_supplicant *sm) {
    OPENSSL_cleanse(sm->installed_gtk, sizeof(sm->installed_gtk));
    std::memset(sm->installed_gtk_len, 0, sizeof(sm->installed_gtk_len));
}

// The GTK encapsulation of RSN key data: index and transmit flag, then the key.
int gtk_from_kde(rsn_supplicant *sm, const uint8_t *gtk, size_t gtk_len, gtk_data *gd) {
    if (gtk_len < 2) return -1; // the two header bytes come before any key
    const size_t keylen = gtk_len - 2;
    if (check_group_cipher(sm, keylen, keylen, gd) < 0) return -1;
    if (keylen > WPA_GTK_MAX_LEN) {
        wpa_msg_iface(msg_ctx(sm), MSG_INFO, "RSN: Too long GTK in GTK IE (len=%lu)",
                      static_cast<unsigned long>(keylen));
        return -1;
    }
    gd->keyidx = gtk[0] & 0x3;
    gd->tx = (gtk[0] >> 2) & 0x1;
    std::memcpy(gd->gtk, gtk + 2, keylen);
    gd->gtk_len = keylen;
    check_tx_bit(sm, gd);
    return 0;
}

// ------------------------------------------------------------------ 4-way handshake

int process_1_of_4(rsn_supplicant *sm, const uint8_t *src, key_frame &f) {
    void *network = sm->ops->get_network_ctx != nullptr ? sm->ops->get_network_ctx(sm->ops->ctx) : nullptr;
    if (network == nullptr) {
        wpa_msg_iface(msg_ctx(sm), MSG_WARNING, "WPA: No SSID info found (msg 1 of 4)");
        return 1;
    }
    set_state(sm, WPA_4WAY_HANDSHAKE);
    wpa_eapol_ie_parse ie{};
    if (is_rsn(sm) && wpa_parse_key_data(f.key_data, f.key_data_len, &ie) < 0) return fail(sm);

    // PMK selection: a cached PMKSA the AP names, or fresh EAP key material.
    bool abort_cached = false;
    if (ie.pmkid != nullptr && sm->cur_pmksa == nullptr) {
        sm->cur_pmksa = pmksa_cache_find(sm->pmksa, src, ie.pmkid, nullptr);
        if (sm->cur_pmksa == nullptr) abort_cached = true;
    }
    if (ie.pmkid != nullptr && sm->cur_pmksa != nullptr &&
        std::memcmp(ie.pmkid, sm->cur_pmksa->pmkid, PMKID_LEN) == 0) {
        std::memcpy(sm->pmk, sm->cur_pmksa->pmk, sm->cur_pmksa->pmk_len);
        sm->pmk_len = sm->cur_pmksa->pmk_len;
        if (sm->eapol != nullptr && sm->eapol_ops.note_cached_success != nullptr)
            sm->eapol_ops.note_cached_success(sm->eapol);
    } else if ((sm->key_mgmt & WPA_KEY_MGMT_MASK_8021X) && sm->eapol != nullptr) {
        size_t pmk_len = sm->key_mgmt == WPA_KEY_MGMT_IEEE8021X_SUITE_B_192 ? 48 : 32;
        int r = sm->eapol_ops.get_key != nullptr ? sm->eapol_ops.get_key(sm->eapol, sm->pmk, pmk_len) : -1;
        if (r != 0 && pmk_len == 32 && sm->eapol_ops.get_key != nullptr) {
            pmk_len = 16;
            r = sm->eapol_ops.get_key(sm->eapol, sm->pmk, pmk_len);
        }
        if (r == 0) {
            sm->pmk_len = pmk_len;
            if (sm->ops->key_mgmt_set_pmk != nullptr)
                sm->ops->key_mgmt_set_pmk(sm->ops->ctx, sm->pmk, sm->pmk_len);
            pmksa_entry *sa = nullptr;
            if (sm->proto == WPA_PROTO_RSN && !(sm->key_mgmt & WPA_KEY_MGMT_MASK_FT_OR_SUITE_B))
                sa = pmksa_cache_insert(sm->pmksa, sm->pmk, sm->pmk_len, nullptr, nullptr, 0, src,
                                        sm->own_addr, sm->net.network_ctx, sm->key_mgmt);
            if (sm->cur_pmksa == nullptr && ie.pmkid != nullptr && sa != nullptr &&
                std::memcmp(sa->pmkid, ie.pmkid, PMKID_LEN) == 0) {
                abort_cached = false;
            } else if (sa != nullptr && sm->cur_pmksa == nullptr && ie.pmkid != nullptr) {
                wpa_msg_iface(msg_ctx(sm), MSG_INFO,
                              "RSN: PMKID mismatch - authentication server may have derived different MSK?!");
                return fail(sm);
            }
            if (sm->cur_pmksa == nullptr) sm->cur_pmksa = sa;
        } else {
            wpa_msg_iface(
                msg_ctx(sm), MSG_WARNING,
                "WPA: Failed to get master session key from EAPOL state machines - key handshake aborted");
            if (sm->cur_pmksa != nullptr) {
                sm->cur_pmksa = nullptr;
                abort_cached = true;
            } else if (!abort_cached) {
                return fail(sm);
            }
        }
    }

    if (abort_cached && (sm->key_mgmt & WPA_KEY_MGMT_MASK_8021X) &&
        !(sm->key_mgmt & WPA_KEY_MGMT_MASK_FT_OR_SUITE_B) && sm->key_mgmt != WPA_KEY_MGMT_OSEN) {
        // The AP does not know the PMKSA: full EAP authentication follows.
        if (sm->ops->alloc_eapol != nullptr) {
            size_t len = 0;
            uint8_t *start = sm->ops->alloc_eapol(sm->ops->ctx, 1, nullptr, 0, &len, nullptr);
            if (start != nullptr) {
                if (sm->ops->ether_send != nullptr)
                    sm->ops->ether_send(sm->ops->ctx, sm->bssid, ETH_P_EAPOL, start, len);
                std::free(start);
            }
        }
        return 1;
    }

    if (sm->renew_snonce) {
        if (random_pool_get_bytes(sm->snonce, WPA_NONCE_LEN) != 0) {
            wpa_msg_iface(msg_ctx(sm), MSG_WARNING, "WPA: Failed to get random data for SNonce");
            return fail(sm);
        }
        sm->renew_snonce = 0;
    }

    wpa_ptk_keys tptk;
    if (wpa_derive_ptk(sm->pmk, sm->pmk_len, "Pairwise key expansion", sm->own_addr, sm->bssid, sm->snonce,
                       f.nonce(), &tptk, sm->key_mgmt, sm->pairwise_cipher) != 0) {
        clear_ptk(&tptk);
        return fail(sm);
    }
    // The station's receive MIC key is the authenticator's transmit one.
    if (sm->pairwise_cipher == WPA_CIPHER_TKIP) swap_tkip_mic_keys(tptk.tk);
    sm->tptk = tptk;
    clear_ptk(&tptk);
    sm->tptk_set = 1;
    sm->ptk_pending = 1;

    // Message 2/4: our element (and the P2P address request) as key data.
    if (sm->assoc_wpa_ie == nullptr) {
        wpa_msg_iface(msg_ctx(sm), MSG_WARNING, "WPA: No wpa_ie set - cannot generate msg 2/4");
        return fail(sm);
    }
    static const uint8_t ip_req[] = {0xdd, 0x05, 0x50, 0x6f, 0x9a, 0x04, 0x01};
    const size_t kd_len = sm->assoc_wpa_ie_len + (sm->net.p2p ? sizeof(ip_req) : 0);
    auto *kd = static_cast<uint8_t *>(std::malloc(kd_len));
    if (kd == nullptr) return fail(sm);
    std::memcpy(kd, sm->assoc_wpa_ie, sm->assoc_wpa_ie_len);
    if (sm->net.p2p) std::memcpy(kd + sm->assoc_wpa_ie_len, ip_req, sizeof(ip_req));
    const uint16_t key_info = static_cast<uint16_t>(f.ver | WPA_KEY_INFO_KEY_TYPE | WPA_KEY_INFO_MIC);
    size_t msg_len = 0;
    uint8_t *msg = build_key_frame(sm, key_info, is_rsn(sm) ? 0 : f.key_length(), f.replay(), sm->snonce, kd,
                                   kd_len, &msg_len);
    std::free(kd);
    if (msg == nullptr) return fail(sm);
    if (wpa_sm_transmit_key_frame(sm, sm->tptk.kck, sm->tptk.kck_len, f.ver, sm->bssid, ETH_P_EAPOL, msg,
                                  msg_len, mic_field(msg)) < 0)
        return fail(sm);
    std::memcpy(sm->anonce, f.nonce(), WPA_NONCE_LEN);
    return 1;
}

// The element of message 3/4 against the one the AP advertised; on a mismatch the
// station leaves with reason 17.
int check_ie_3_of_4(rsn_supplicant *sm, const uint8_t *src, const wpa_eapol_ie_parse &ie) {
    const char *reason = nullptr;
    if (ie.wpa_ie == nullptr && ie.rsn_ie == nullptr &&
        (sm->ap_wpa_ie != nullptr || sm->ap_rsn_ie != nullptr))
        reason = "IE in 3/4 msg does not match with IE in Beacon/ProbeResp (no IE?)";
    else if ((ie.wpa_ie != nullptr && sm->ap_wpa_ie != nullptr &&
              wpa_ie_matches(0, ie.wpa_ie, ie.wpa_ie_len, sm->ap_wpa_ie, sm->ap_wpa_ie_len) != 0) ||
             (ie.rsn_ie != nullptr && sm->ap_rsn_ie != nullptr &&
              wpa_ie_matches(0, ie.rsn_ie, ie.rsn_ie_len, sm->ap_rsn_ie, sm->ap_rsn_ie_len) != 0))
        reason = "IE in 3/4 msg does not match with IE in Beacon/ProbeResp";
    else if (sm->proto == WPA_PROTO_WPA && ie.rsn_ie != nullptr && sm->ap_rsn_ie == nullptr &&
             sm->rsn_enabled)
        reason = "Possible downgrade attack detected - RSN was enabled and RSN IE was in msg 3/4, but not in "
                 "Beacon/ProbeResp";
    if (reason == nullptr) return 0;
    wpa_msg_iface(msg_ctx(sm), MSG_WARNING, "WPA: %s (src=" MACSTR ")", reason, MAC2STR(src));
    if (ie.wpa_ie != nullptr && sm->ap_wpa_ie == nullptr)
        wpa_msg_iface(msg_ctx(sm), MSG_INFO, "WPA: No WPA IE in Beacon/ProbeResp");
    if (ie.rsn_ie != nullptr && sm->ap_rsn_ie == nullptr)
        wpa_msg_iface(msg_ctx(sm), MSG_INFO, "WPA: No RSN IE in Beacon/ProbeResp");
    deauthenticate(sm, 17);
    return -1;
}

int process_3_of_4(rsn_supplicant *sm, const uint8_t *src, key_frame &f) {
    set_state(sm, WPA_4WAY_HANDSHAKE);
    wpa_eapol_ie_parse ie{};
    if (wpa_parse_key_data(f.key_data, f.key_data_len, &ie) < 0) return fail(sm);
    if (ie.gtk != nullptr && !(f.key_info & WPA_KEY_INFO_ENCR_KEY_DATA)) {
        wpa_msg_iface(msg_ctx(sm), MSG_WARNING, "WPA: GTK IE in unencrypted key data");
        return fail(sm);
    }
    if (sm->ap_wpa_ie == nullptr && sm->ap_rsn_ie == nullptr) {
        if (sm->ops->get_beacon_ie == nullptr || sm->ops->get_beacon_ie(sm->ops->ctx) < 0)
            wpa_msg_iface(msg_ctx(sm), MSG_WARNING, "WPA: Could not find AP from the scan results");
        else
            wpa_msg_iface(msg_ctx(sm), MSG_DEBUG, "WPA: Found the current AP from updated scan results");
    }
    if (check_ie_3_of_4(sm, src, ie) < 0) return fail(sm);

    if (std::memcmp(sm->anonce, f.nonce(), WPA_NONCE_LEN) != 0) {
        wpa_msg_iface(
            msg_ctx(sm), MSG_WARNING,
            "WPA: ANonce from message 1 of 4-Way Handshake differs from 3 of 4-Way Handshake - drop packet "
            "(src=" MACSTR ")",
            MAC2STR(src));
        return fail(sm);
    }
    if (f.key_length() != wpa_cipher_tk_length(sm->pairwise_cipher)) {
        wpa_msg_iface(msg_ctx(sm), MSG_WARNING, "WPA: Invalid %s key length %d (src=" MACSTR ")",
                      wpa_cipher_name(sm->pairwise_cipher), f.key_length(), MAC2STR(src));
        return fail(sm);
    }
    if (ie.ip_addr_alloc != nullptr) {
        std::memcpy(sm->p2p_ip_addr, ie.ip_addr_alloc, sizeof(sm->p2p_ip_addr));
        sm->p2p_ip_addr_set = 1;
    }

    // Message 4/4.
    const uint16_t key_info4 = static_cast<uint16_t>(f.ver | WPA_KEY_INFO_KEY_TYPE | WPA_KEY_INFO_MIC |
                                                     (f.key_info & WPA_KEY_INFO_SECURE));
    size_t msg_len = 0;
    uint8_t *msg = build_key_frame(sm, key_info4, is_rsn(sm) ? 0 : f.key_length(), f.replay(), nullptr,
                                   nullptr, 0, &msg_len);
    if (msg == nullptr) return fail(sm);
    if (wpa_sm_transmit_key_frame(sm, sm->ptk.kck, sm->ptk.kck_len, f.ver, sm->bssid, ETH_P_EAPOL, msg,
                                  msg_len, mic_field(msg)) < 0)
        return fail(sm);
    sm->renew_snonce = 1;

    // The PTK of this 1/4 is installed once, however often 3/4 comes again.
    if ((f.key_info & WPA_KEY_INFO_INSTALL) && sm->ptk_pending && sm->pairwise_cipher != WPA_CIPHER_NONE) {
        if (!wpa_cipher_valid_pairwise(sm->pairwise_cipher)) {
            wpa_msg_iface(msg_ctx(sm), MSG_WARNING, "WPA: Unsupported pairwise cipher %d",
                          static_cast<int>(sm->pairwise_cipher));
            return fail(sm);
        }
        static const uint8_t zero_rsc[6] = {};
        const int alg = wpa_cipher_driver_alg(sm->pairwise_cipher);
        const size_t keylen = wpa_cipher_tk_length(sm->pairwise_cipher);
        const size_t rsclen = wpa_cipher_seq_length(sm->pairwise_cipher);
        const uint8_t *rsc = is_rsn(sm) ? zero_rsc : f.rsc();
        if (set_key(sm, alg, sm->bssid, 0, 1, rsc, rsclen, sm->ptk.tk, keylen) < 0) {
            wpa_msg_iface(msg_ctx(sm), MSG_WARNING,
                          "WPA: Failed to set PTK to the driver (alg=%d keylen=%d bssid=" MACSTR ")", alg,
                          static_cast<int>(keylen), MAC2STR(sm->bssid));
            return fail(sm);
        }
        OPENSSL_cleanse(sm->ptk.tk, sizeof(sm->ptk.tk));
        sm->ptk_pending = 0;
        start_rekey_timer(sm);
    }

    if (f.key_info & WPA_KEY_INFO_SECURE) {
        mlme_setprotection(sm, sm->bssid, 1, 1);
        eapol_port_valid(sm, true);
    }
    set_state(sm, WPA_GROUP_HANDSHAKE);

    const bool secure = (f.key_info & WPA_KEY_INFO_SECURE) != 0;
    if (sm->group_cipher == WPA_CIPHER_GTK_NOT_USED) {
        key_neg_complete(sm, secure);
    } else if (ie.gtk != nullptr) {
        gtk_data gd{};
        if (gtk_from_kde(sm, ie.gtk, ie.gtk_len, &gd) < 0 || install_gtk(sm, &gd, f.rsc()) < 0) {
            wpa_msg_iface(msg_ctx(sm), MSG_INFO, "RSN: Failed to configure GTK");
            return fail(sm);
        }
        key_neg_complete(sm, secure);
        rekey_offload(sm, f);
    }

    if (sm->proto == WPA_PROTO_RSN && (sm->key_mgmt & WPA_KEY_MGMT_MASK_SUITE_B)) {
        pmksa_entry *sa =
            pmksa_cache_insert(sm->pmksa, sm->pmk, sm->pmk_len, nullptr, sm->ptk.kck, sm->ptk.kck_len,
                               sm->bssid, sm->own_addr, sm->net.network_ctx, sm->key_mgmt);
        if (sm->cur_pmksa == nullptr) sm->cur_pmksa = sa;
    }
    sm->msg3_accepted = 1;
    return 1;
}

// ------------------------------------------------------------------ group key handshake

int wpa_group_key(rsn_supplicant *sm, key_frame &f, gtk_data *gd) {
    gd->keyidx = (f.key_info & WPA_KEY_INFO_KEY_INDEX_MASK) >> WPA_KEY_INFO_KEY_INDEX_SHIFT;
    const size_t keylen = f.key_length();
    size_t maxkeylen = f.key_data_len;
    if (f.ver == 2) {
        if (maxkeylen < 8) {
            wpa_msg_iface(msg_ctx(sm), MSG_INFO, "WPA: Too short maxkeylen (%lu)",
                          static_cast<unsigned long>(maxkeylen));
            return -1;
        }
        maxkeylen -= 8;
    }
    if (keylen > maxkeylen) return -1;
    if (check_group_cipher(sm, keylen, maxkeylen, gd) < 0) return -1;
    if (f.ver == 1 && sm->ptk.kek_len == 16) {
        if (f.key_data_len > WPA_GTK_MAX_LEN) {
            wpa_msg_iface(msg_ctx(sm), MSG_WARNING, "WPA: RC4 key data too long (%lu)",
                          static_cast<unsigned long>(f.key_data_len));
            return -1;
        }
        uint8_t ek[32];
        std::memcpy(ek, f.iv(), 16);
        std::memcpy(ek + 16, sm->ptk.kek, 16);
        std::memcpy(gd->gtk, f.key_data, f.key_data_len);
        const int r = crypto_rc4_skip_encrypt(ek, 32, 256, gd->gtk, f.key_data_len);
        OPENSSL_cleanse(ek, sizeof(ek));
        if (r != 0) {
            wpa_msg_iface(msg_ctx(sm), MSG_ERROR, "WPA: RC4 failed");
            return -1;
        }
    } else if (f.ver == 2) {
        if (maxkeylen % 8) {
            wpa_msg_iface(msg_ctx(sm), MSG_WARNING, "WPA: Unsupported AES-WRAP len %lu",
                          static_cast<unsigned long>(maxkeylen));
            return -1;
        }
        if (maxkeylen > WPA_GTK_MAX_LEN) {
            wpa_msg_iface(msg_ctx(sm), MSG_WARNING,
                          "WPA: AES-WRAP key data too long (keydatalen=%lu maxkeylen=%lu)",
                          static_cast<unsigned long>(f.key_data_len), static_cast<unsigned long>(maxkeylen));
            return -1;
        }
        if (crypto_aes_key_unwrap(sm->ptk.kek, sm->ptk.kek_len, maxkeylen / 8, f.key_data, gd->gtk) != 0) {
            wpa_msg_iface(msg_ctx(sm), MSG_WARNING, "WPA: AES unwrap failed - could not decrypt GTK");
            return -1;
        }
    } else {
        wpa_msg_iface(msg_ctx(sm), MSG_WARNING, "WPA: Unsupported key_info type %d", f.ver);
        return -1;
    }
    gd->gtk_len = keylen;
    gd->tx = (f.key_info & WPA_KEY_INFO_TXRX) != 0;
    check_tx_bit(sm, gd);
    return 0;
}

int process_1_of_2(rsn_supplicant *sm, key_frame &f) {
    if (!sm->msg3_accepted) {
        wpa_msg_iface(msg_ctx(sm), MSG_INFO,
                      "WPA: Group Key Handshake started prior to completion of 4-way handshake");
        return fail(sm);
    }
    const bool rekey = get_state(sm) == WPA_COMPLETED;
    gtk_data gd{};
    if (is_rsn(sm)) {
        wpa_eapol_ie_parse ie{};
        if (wpa_parse_key_data(f.key_data, f.key_data_len, &ie) < 0) return fail(sm);
        if (ie.gtk == nullptr) {
            wpa_msg_iface(msg_ctx(sm), MSG_INFO, "WPA: No GTK IE in Group Key msg 1/2");
            return fail(sm);
        }
        if (!(f.key_info & WPA_KEY_INFO_ENCR_KEY_DATA)) {
            wpa_msg_iface(msg_ctx(sm), MSG_WARNING, "WPA: GTK IE in unencrypted key data");
            return fail(sm);
        }
        if (gtk_from_kde(sm, ie.gtk, ie.gtk_len, &gd) < 0) return fail(sm);
    } else if (wpa_group_key(sm, f, &gd) < 0) {
        return fail(sm);
    }
    set_state(sm, WPA_GROUP_HANDSHAKE);

    if (install_gtk(sm, &gd, f.rsc()) < 0) return fail(sm);
    const uint16_t key_info2 =
        static_cast<uint16_t>((gd.keyidx << 4) | f.ver | WPA_KEY_INFO_MIC | WPA_KEY_INFO_SECURE);
    size_t msg_len = 0;
    uint8_t *msg = build_key_frame(sm, key_info2, is_rsn(sm) ? 0 : f.key_length(), f.replay(), nullptr,
                                   nullptr, 0, &msg_len);
    if (msg == nullptr) return fail(sm);
    if (wpa_sm_transmit_key_frame(sm, sm->ptk.kck, sm->ptk.kck_len, f.ver, sm->bssid, ETH_P_EAPOL, msg,
                                  msg_len, mic_field(msg)) < 0)
        return fail(sm);

    if (rekey) {
        wpa_msg_iface(msg_ctx(sm), MSG_INFO, "WPA: Group rekeying completed with " MACSTR " [GTK=%s]",
                      MAC2STR(sm->bssid), wpa_cipher_name(sm->group_cipher));
        cancel_auth_timeout(sm);
        set_state(sm, WPA_COMPLETED);
    } else {
        key_neg_complete(sm, (f.key_info & WPA_KEY_INFO_SECURE) != 0);
    }
    rekey_offload(sm, f);
    return 1;
}

// Decrypts RSN key data in place (the plaintext replaces the key data).
int decrypt_key_data(rsn_supplicant *sm, key_frame &f) {
    if (!sm->ptk_set) {
        wpa_msg_iface(msg_ctx(sm), MSG_WARNING, "WPA: PTK not available, cannot decrypt EAPOL-Key Key Data");
        return -1;
    }
    if (f.ver == 1 && sm->ptk.kek_len == 16) {
        uint8_t ek[32];
        std::memcpy(ek, f.iv(), 16);
        std::memcpy(ek + 16, sm->ptk.kek, 16);
        const int r = crypto_rc4_skip_encrypt(ek, 32, 256, f.key_data, f.key_data_len);
        OPENSSL_cleanse(ek, sizeof(ek));
        if (r != 0) {
            wpa_msg_iface(msg_ctx(sm), MSG_ERROR, "WPA: RC4 failed");
            return -1;
        }
        return 0;
    }
    if (f.ver == 2 || (f.ver == 0 && akm_defined_version(sm->key_mgmt))) {
        if (f.key_data_len < 8 || f.key_data_len % 8) {
            wpa_msg_iface(msg_ctx(sm), MSG_WARNING, "WPA: Unsupported AES-WRAP len %u",
                          static_cast<unsigned>(f.key_data_len));
            return -1;
        }
        const size_t plain_len = f.key_data_len - 8;
        auto *plain = static_cast<uint8_t *>(std::malloc(plain_len > 0 ? plain_len : 1));
        if (plain == nullptr) {
            wpa_msg_iface(msg_ctx(sm), MSG_WARNING, "WPA: No memory for AES-UNWRAP buffer");
            return -1;
        }
        if (crypto_aes_key_unwrap(sm->ptk.kek, sm->ptk.kek_len, plain_len / 8, f.key_data, plain) != 0) {
            std::free(plain);
            wpa_msg_iface(msg_ctx(sm), MSG_WARNING,
                          "WPA: AES unwrap failed - could not decrypt EAPOL-Key key data");
            return -1;
        }
        std::memcpy(f.key_data, plain, plain_len);
        OPENSSL_cleanse(f.key_data + plain_len, 8);
        OPENSSL_cleanse(plain, plain_len);
        std::free(plain);
        f.key_data_len = plain_len;
        return 0;
    }
    wpa_msg_iface(msg_ctx(sm), MSG_WARNING, "WPA: Unsupported key_info type %d", f.ver);
    return -1;
}

// Steps 4 to 10 of reception on our copy of the frame.
int process_key_frame(rsn_supplicant *sm, const uint8_t *src, key_frame &f) {
    if (sm->eapol != nullptr && sm->eapol_ops.lower_layer_success != nullptr)
        sm->eapol_ops.lower_layer_success(sm->eapol, 0);

    if (akm_defined_version(sm->key_mgmt)) {
        if (f.ver != 0) {
            if (sm->key_mgmt == WPA_KEY_MGMT_OSEN)
                wpa_msg_iface(msg_ctx(sm), MSG_INFO, "OSEN: Unsupported EAPOL-Key descriptor version %d",
                              f.ver);
            else
                wpa_msg_iface(msg_ctx(sm), MSG_INFO,
                              "RSN: Unsupported EAPOL-Key descriptor version %d (expected AKM defined = 0)",
                              f.ver);
            return -1;
        }
    } else if (f.ver != 1 && f.ver != 2) {
        wpa_msg_iface(msg_ctx(sm), MSG_INFO, "WPA: Unsupported EAPOL-Key descriptor version %d", f.ver);
        return -1;
    }

    const bool suite_b = (sm->key_mgmt & WPA_KEY_MGMT_MASK_SUITE_B) != 0;
    if (sm->pairwise_cipher == WPA_CIPHER_CCMP && !suite_b && f.ver != 2) {
        wpa_msg_iface(msg_ctx(sm), MSG_INFO,
                      "WPA: CCMP is used, but EAPOL-Key descriptor version (%d) is not 2", f.ver);
        if (sm->group_cipher != WPA_CIPHER_CCMP && !(f.key_info & WPA_KEY_INFO_KEY_TYPE))
            wpa_msg_iface(msg_ctx(sm), MSG_INFO,
                          "WPA: Backwards compatibility: allow invalid version for non-CCMP group keys");
        else
            return -1;
    } else if (sm->pairwise_cipher == WPA_CIPHER_GCMP && !suite_b && f.ver != 2) {
        wpa_msg_iface(msg_ctx(sm), MSG_INFO,
                      "WPA: GCMP is used, but EAPOL-Key descriptor version (%d) is not 2", f.ver);
        return -1;
    }

    if (sm->rx_replay_counter_set &&
        std::memcmp(f.replay(), sm->rx_replay_counter, WPA_REPLAY_COUNTER_LEN) <= 0) {
        wpa_msg_iface(msg_ctx(sm), MSG_WARNING,
                      "WPA: EAPOL-Key Replay Counter did not increase - dropping packet");
        return -1;
    }

    if (!(f.key_info & (WPA_KEY_INFO_ACK | WPA_KEY_INFO_SMK_MESSAGE))) {
        wpa_msg_iface(msg_ctx(sm), MSG_INFO, "WPA: No Ack bit in key_info");
        return -1;
    }
    if (f.key_info & WPA_KEY_INFO_REQUEST) {
        wpa_msg_iface(msg_ctx(sm), MSG_INFO, "WPA: EAPOL-Key with Request bit - dropped");
        return -1;
    }

    if (f.key_info & WPA_KEY_INFO_MIC) {
        uint8_t *mic = f.buf + EAPOL_KEY_OFF_MIC;
        uint8_t saved[24];
        uint8_t calc[24];
        std::memcpy(saved, mic, f.mic_len);
        std::memset(mic, 0, f.mic_len);
        bool ok = false;
        if (sm->tptk_set) {
            ok = wpa_compute_key_mic(sm->tptk.kck, sm->tptk.kck_len, sm->key_mgmt, f.ver, f.buf, f.len,
                                     calc) == 0 &&
                 os_memcmp_const(calc, saved, f.mic_len) == 0;
            if (ok) {
                sm->ptk = sm->tptk;
                sm->ptk_set = 1;
                clear_ptk(&sm->tptk);
                sm->tptk_set = 0;
            } else {
                wpa_msg_iface(msg_ctx(sm), MSG_WARNING,
                              "WPA: Invalid EAPOL-Key MIC when using TPTK - ignoring TPTK");
            }
        }
        if (!ok) {
            if (!sm->ptk_set) {
                wpa_msg_iface(msg_ctx(sm), MSG_WARNING,
                              "WPA: Could not verify EAPOL-Key MIC - dropping packet");
                return -1;
            }
            ok = wpa_compute_key_mic(sm->ptk.kck, sm->ptk.kck_len, sm->key_mgmt, f.ver, f.buf, f.len, calc) ==
                     0 &&
                 os_memcmp_const(calc, saved, f.mic_len) == 0;
            if (!ok) {
                wpa_msg_iface(msg_ctx(sm), MSG_WARNING, "WPA: Invalid EAPOL-Key MIC - dropping packet");
                return -1;
            }
        }
        std::memcpy(sm->rx_replay_counter, f.replay(), WPA_REPLAY_COUNTER_LEN);
        sm->rx_replay_counter_set = 1;
    }

    if (is_rsn(sm) && (f.key_info & WPA_KEY_INFO_ENCR_KEY_DATA) && decrypt_key_data(sm, f) < 0) return -1;

    if (f.key_info & WPA_KEY_INFO_KEY_TYPE) {
        if (f.key_info & WPA_KEY_INFO_KEY_INDEX_MASK) {
            wpa_msg_iface(msg_ctx(sm), MSG_WARNING,
                          "WPA: Ignored EAPOL-Key (Pairwise) with non-zero key index");
            return -1;
        }
        return (f.key_info & WPA_KEY_INFO_MIC) ? process_3_of_4(sm, src, f) : process_1_of_4(sm, src, f);
    }
    if (f.key_info & WPA_KEY_INFO_SMK_MESSAGE) return 1;
    if (!(f.key_info & WPA_KEY_INFO_MIC)) {
        wpa_msg_iface(msg_ctx(sm), MSG_WARNING, "WPA: EAPOL-Key (Group) without Mic bit - dropped");
        return 1;
    }
    return process_1_of_2(sm, f);
}

} // namespace

int wpa_sm_process_eapol_key(rsn_supplicant *sm, const uint8_t *src_addr, const uint8_t *buf, size_t len) {
    if (sm == nullptr || buf == nullptr) return 0;
    const size_t mic_len = wpa_key_mic_length(sm->key_mgmt);
    const size_t key_body = 77 + mic_len + 2; // fixed part of the EAPOL-Key body
    if (len < 4 + key_body || buf[1] != 3) return 0;
    const size_t plen = wpa_get_be16(buf + 2);
    if (plen > len - 4 || plen < key_body) return 0;
    if (buf[4] != EAPOL_KEY_TYPE_WPA && buf[4] != EAPOL_KEY_TYPE_RSN) return 0;

    key_frame f{};
    f.len = plen + 4;
    f.buf = static_cast<uint8_t *>(std::malloc(f.len));
    if (f.buf == nullptr) return -1;
    std::memcpy(f.buf, buf, f.len);
    f.mic_len = mic_len;
    f.key_info = wpa_get_be16(f.buf + EAPOL_KEY_OFF_INFO);
    f.ver = f.key_info & WPA_KEY_INFO_TYPE_MASK;
    f.key_data_len = wpa_get_be16(f.buf + 4 + 77 + mic_len);
    f.key_data = f.buf + 4 + key_body;

    int ret;
    if (f.key_data_len > plen - key_body) {
        wpa_msg_iface(msg_ctx(sm), MSG_INFO, "WPA: Invalid EAPOL-Key frame - key_data overflow (%u > %u)",
                      static_cast<unsigned>(f.key_data_len), static_cast<unsigned>(plen - key_body));
        ret = -1;
    } else {
        ret = process_key_frame(sm, src_addr, f);
    }
    OPENSSL_cleanse(f.buf, f.len);
    std::free(f.buf);
    return ret;
}

// ------------------------------------------------------------------ life cycle

rsn_supplicant *wpa_sm_create(rsn_supplicant_ops *ops) {
    if (ops == nullptr) return nullptr;
    auto *sm = static_cast<rsn_supplicant *>(std::calloc(1, sizeof(rsn_supplicant)));
    if (sm == nullptr) {
        std::free(ops);
        return nullptr;
    }
    sm->renew_snonce = 1;
    sm->ops = ops;
    sm->dot11RSNAConfigPMKLifetime = 43200;
    sm->dot11RSNAConfigPMKReauthThreshold = 70;
    sm->dot11RSNAConfigSATimeout = 60;
    sm->pmksa = pmksa_cache_create(wpa_sm_pmksa_free_cb, sm, sm);
    if (sm->pmksa == nullptr) {
        wpa_msg_iface(ops->msg_ctx, MSG_ERROR, "RSN: PMKSA cache initialization failed");
        std::free(ops);
        std::free(sm);
        return nullptr;
    }
    return sm;
}

void wpa_sm_destroy(rsn_supplicant *sm) {
    if (sm == nullptr) return;
    pmksa_cache_destroy(sm->pmksa);
    sm->pmksa = nullptr;
    sm->cur_pmksa = nullptr;
    eloop_cancel_timeout(wpa_sm_start_preauth, sm, nullptr);
    eloop_cancel_timeout(wpa_sm_rekey_ptk, sm, nullptr);
    rsn_preauth_stop(sm);
    rsn_preauth_clear_candidates(sm);
    std::free(sm->assoc_wpa_ie);
    std::free(sm->ap_wpa_ie);
    std::free(sm->ap_rsn_ie);
    std::free(sm->ops);
    OPENSSL_cleanse(sm, sizeof(*sm));
    std::free(sm);
}

void wpa_sm_on_associated(rsn_supplicant *sm, const uint8_t *bssid) {
    if (sm == nullptr || bssid == nullptr) return;
    std::memcpy(sm->bssid, bssid, 6);
    std::memset(sm->rx_replay_counter, 0, sizeof(sm->rx_replay_counter));
    sm->rx_replay_counter_set = 0;
    sm->renew_snonce = 1;
    if (sm->preauth_running && std::memcmp(sm->preauth_bssid, bssid, 6) == 0) rsn_preauth_stop(sm);
    clear_ptk(&sm->ptk);
    clear_ptk(&sm->tptk);
    sm->ptk_set = 0;
    sm->tptk_set = 0;
    clear_installed_gtks(sm);
    std::memset(sm->p2p_ip_addr, 0, sizeof(sm->p2p_ip_addr));
    sm->p2p_ip_addr_set = 0;
}

void wpa_sm_on_disassociated(rsn_supplicant *sm) {
    if (sm == nullptr) return;
    eloop_cancel_timeout(wpa_sm_start_preauth, sm, nullptr);
    eloop_cancel_timeout(wpa_sm_rekey_ptk, sm, nullptr);
    rsn_preauth_stop(sm);
    sm->cur_pmksa = nullptr;
    if (get_state(sm) == WPA_4WAY_HANDSHAKE) sm->dot11RSNA4WayHandshakeFailures++;
    wpa_sm_clear_keys(sm);
    sm->msg3_accepted = 0;
}

void wpa_sm_clear_keys(rsn_supplicant *sm) {
    if (sm == nullptr) return;
    sm->ptk_set = 0;
    sm->tptk_set = 0;
    OPENSSL_cleanse(sm->pmk, sizeof(sm->pmk));
    clear_ptk(&sm->ptk);
    clear_ptk(&sm->tptk);
    clear_installed_gtks(sm);
}

void wpa_sm_store_pmk(rsn_supplicant *sm, const uint8_t *pmk, size_t pmk_len, const uint8_t *pmkid,
                      const uint8_t *bssid) {
    if (sm == nullptr || pmk == nullptr || pmk_len > sizeof(sm->pmk)) return;
    std::memcpy(sm->pmk, pmk, pmk_len);
    sm->pmk_len = pmk_len;
    if (bssid != nullptr)
        pmksa_cache_insert(sm->pmksa, pmk, pmk_len, pmkid, nullptr, 0, bssid, sm->own_addr,
                           sm->net.network_ctx, sm->key_mgmt);
}

void wpa_sm_pmk_from_pmksa(rsn_supplicant *sm) {
    if (sm == nullptr) return;
    if (sm->cur_pmksa != nullptr) {
        std::memcpy(sm->pmk, sm->cur_pmksa->pmk, sm->cur_pmksa->pmk_len);
        sm->pmk_len = sm->cur_pmksa->pmk_len;
    } else {
        OPENSSL_cleanse(sm->pmk, sizeof(sm->pmk));
        sm->pmk_len = 32;
    }
}

int wpa_sm_send_key_request(rsn_supplicant *sm, int error, int pairwise) {
    if (sm == nullptr) return -1;
    int ver;
    if (akm_defined_version(sm->key_mgmt))
        ver = 0;
    else if (sm->key_mgmt & WPA_KEY_MGMT_MASK_AES_128_CMAC)
        ver = 3;
    else if (sm->pairwise_cipher == WPA_CIPHER_TKIP)
        ver = 1;
    else
        ver = 2;
    uint8_t bssid[6];
    if (sm->ops->get_bssid == nullptr || sm->ops->get_bssid(sm->ops->ctx, bssid) < 0) {
        wpa_msg_iface(msg_ctx(sm), MSG_WARNING, "Failed to read BSSID for EAPOL-Key request");
        return -1;
    }
    uint16_t key_info = static_cast<uint16_t>(ver | WPA_KEY_INFO_REQUEST);
    if (sm->ptk_set) key_info |= WPA_KEY_INFO_MIC | WPA_KEY_INFO_SECURE;
    if (error) key_info |= WPA_KEY_INFO_ERROR;
    if (pairwise) key_info |= WPA_KEY_INFO_KEY_TYPE;
    size_t msg_len = 0;
    uint8_t *msg = build_key_frame(sm, key_info, 0, sm->request_counter, nullptr, nullptr, 0, &msg_len);
    if (msg == nullptr) return -1;
    inc_byte_array(sm->request_counter, WPA_REPLAY_COUNTER_LEN);
    wpa_msg_iface(msg_ctx(sm), MSG_INFO,
                  "WPA: Sending EAPOL-Key Request (error=%d pairwise=%d ptk_set=%d len=%lu)", error, pairwise,
                  sm->ptk_set, static_cast<unsigned long>(msg_len));
    const bool with_mic = (key_info & WPA_KEY_INFO_MIC) != 0;
    return wpa_sm_transmit_key_frame(sm, sm->ptk.kck, sm->ptk.kck_len, ver, bssid, ETH_P_EAPOL, msg, msg_len,
                                     with_mic ? mic_field(msg) : nullptr);
}

void wpa_sm_abort_cached_pmksa(rsn_supplicant *sm) {
    if (sm != nullptr) sm->cur_pmksa = nullptr;
}

void wpa_sm_rekey_ptk(void *eloop_ctx, void *) {
    auto *sm = static_cast<rsn_supplicant *>(eloop_ctx);
    wpa_sm_send_key_request(sm, 0, 1);
}

void wpa_sm_start_preauth(void *eloop_ctx, void *) {
    rsn_preauth_process_candidates(static_cast<rsn_supplicant *>(eloop_ctx));
}

// ------------------------------------------------------------------ setters

void wpa_sm_store_fast_reauth(rsn_supplicant *sm, int fast_reauth) {
    if (sm != nullptr) sm->fast_reauth = fast_reauth;
}

void wpa_sm_set_smartcard_ctx(rsn_supplicant *sm, void *scard_ctx) {
    if (sm != nullptr) sm->scard_ctx = scard_ctx;
}

void wpa_sm_set_network_config(rsn_supplicant *sm, const rsn_network_settings *config) {
    if (sm == nullptr) return;
    if (config != nullptr) {
        sm->net = *config;
        if (sm->net.ssid_len > sizeof(sm->net.ssid)) sm->net.ssid_len = sizeof(sm->net.ssid);
    } else {
        std::memset(&sm->net, 0, sizeof(sm->net));
    }
}

void wpa_sm_store_own_addr(rsn_supplicant *sm, const uint8_t *addr) {
    if (sm != nullptr && addr != nullptr) std::memcpy(sm->own_addr, addr, 6);
}

void wpa_sm_store_ifnames(rsn_supplicant *sm, const char *ifname, const char *bridge_ifname) {
    if (sm == nullptr) return;
    os_strlcpy(sm->ifname, ifname != nullptr ? ifname : "", sizeof(sm->ifname));
    os_strlcpy(sm->bridge_ifname, bridge_ifname != nullptr ? bridge_ifname : "", sizeof(sm->bridge_ifname));
}

void wpa_sm_attach_eapol(rsn_supplicant *sm, eapol_supp_sm *eapol, const rsn_eapol_ops *eapol_ops) {
    if (sm == nullptr) return;
    sm->eapol = eapol;
    if (eapol_ops != nullptr) sm->eapol_ops = *eapol_ops;
}

void wpa_sm_store_rx_replay_counter(rsn_supplicant *sm, const uint8_t *replay_ctr) {
    if (sm == nullptr || replay_ctr == nullptr) return;
    std::memcpy(sm->rx_replay_counter, replay_ctr, WPA_REPLAY_COUNTER_LEN);
    sm->rx_replay_counter_set = 1;
}

void wpa_sm_update_replay_counter(rsn_supplicant *sm, const uint8_t *replay_ctr) {
    if (sm != nullptr && replay_ctr != nullptr)
        std::memcpy(sm->rx_replay_counter, replay_ctr, WPA_REPLAY_COUNTER_LEN);
}

void wpa_sm_update_kck_kek(rsn_supplicant *sm, const uint8_t *kck, size_t kck_len, const uint8_t *kek,
                           size_t kek_len) {
    if (sm == nullptr) return;
    if (kck != nullptr && kck_len <= sizeof(sm->ptk.kck)) {
        std::memcpy(sm->ptk.kck, kck, kck_len);
        sm->ptk.kck_len = kck_len;
    }
    if (kek != nullptr && kek_len <= sizeof(sm->ptk.kek)) {
        std::memcpy(sm->ptk.kek, kek, kek_len);
        sm->ptk.kek_len = kek_len;
    }
    sm->ptk_set = 1;
}

int wpa_sm_configure_param(rsn_supplicant *sm, rsn_sm_param param, unsigned int value) {
    if (sm == nullptr) return -1;
    switch (param) {
    case RSNA_PMK_LIFETIME:
        if (value == 0) return -1;
        sm->dot11RSNAConfigPMKLifetime = value;
        break;
    case RSNA_PMK_REAUTH_THRESHOLD:
        if (value < 1 || value > 100) return -1;
        sm->dot11RSNAConfigPMKReauthThreshold = value;
        break;
    case RSNA_SA_TIMEOUT:
        if (value == 0) return -1;
        sm->dot11RSNAConfigSATimeout = value;
        break;
    case WPA_PARAM_PROTO:
        sm->proto = value;
        break;
    case WPA_PARAM_PAIRWISE:
        sm->pairwise_cipher = value;
        break;
    case WPA_PARAM_GROUP:
        sm->group_cipher = value;
        break;
    case WPA_PARAM_KEY_MGMT:
        sm->key_mgmt = value;
        break;
    case WPA_PARAM_RSN_ENABLED:
        sm->rsn_enabled = static_cast<int>(value);
        break;
    case WPA_PARAM_MFP:
        sm->mfp = static_cast<int>(value);
        break;
    default:
        break;
    }
    return 0;
}

// ------------------------------------------------------------------ elements

int wpa_build_own_ie(rsn_supplicant *sm, uint8_t *buf, size_t len) {
    if (sm == nullptr || buf == nullptr) return -1;
    const uint32_t group = wpa_cipher_suite_selector(sm->proto, sm->group_cipher);
    const uint32_t pairwise = wpa_cipher_suite_selector(sm->proto, sm->pairwise_cipher);
    if (group == 0 || pairwise == 0) return -1;
    if (!wpa_cipher_valid_pairwise(sm->pairwise_cipher) && sm->pairwise_cipher != WPA_CIPHER_NONE) return -1;

    if (sm->proto == WPA_PROTO_RSN) {
        uint32_t akm;
        switch (sm->key_mgmt) {
        case WPA_KEY_MGMT_IEEE8021X:
            akm = 0x000fac01;
            break;
        case WPA_KEY_MGMT_PSK:
            akm = 0x000fac02;
            break;
        case WPA_KEY_MGMT_CCKM:
            akm = 0x00409600;
            break;
        case WPA_KEY_MGMT_IEEE8021X_SUITE_B:
            akm = 0x000fac0b;
            break;
        case WPA_KEY_MGMT_IEEE8021X_SUITE_B_192:
            akm = 0x000fac0c;
            break;
        default:
            return -1;
        }
        const size_t need = sm->cur_pmksa != nullptr ? 40 : 22;
        if (len < need) return -1;
        uint8_t *pos = buf;
        *pos++ = WLAN_EID_RSN;
        *pos++ = static_cast<uint8_t>(need - 2);
        *pos++ = 1;
        *pos++ = 0;
        wpa_put_selector(pos, group);
        pos += 4;
        *pos++ = 1;
        *pos++ = 0;
        wpa_put_selector(pos, pairwise);
        pos += 4;
        *pos++ = 1;
        *pos++ = 0;
        wpa_put_selector(pos, akm);
        pos += 4;
        *pos++ = 0;
        *pos++ = 0;
        if (sm->cur_pmksa != nullptr) {
            *pos++ = 1;
            *pos++ = 0;
            std::memcpy(pos, sm->cur_pmksa->pmkid, PMKID_LEN);
            pos += PMKID_LEN;
        }
        return static_cast<int>(pos - buf);
    }

    uint32_t akm;
    switch (sm->key_mgmt) {
    case WPA_KEY_MGMT_IEEE8021X:
        akm = 0x0050f201;
        break;
    case WPA_KEY_MGMT_PSK:
        akm = 0x0050f202;
        break;
    case WPA_KEY_MGMT_WPA_NONE:
        akm = 0x0050f200;
        break;
    case WPA_KEY_MGMT_CCKM:
        akm = 0x00409600;
        break;
    default:
        return -1;
    }
    if (len <= 23) return -1;
    uint8_t *pos = buf;
    *pos++ = WLAN_EID_VENDOR_SPECIFIC;
    *pos++ = 22;
    wpa_put_selector(pos, WPA_OUI_TYPE_WPA);
    pos += 4;
    *pos++ = 1;
    *pos++ = 0;
    wpa_put_selector(pos, group);
    pos += 4;
    *pos++ = 1;
    *pos++ = 0;
    wpa_put_selector(pos, pairwise);
    pos += 4;
    *pos++ = 1;
    *pos++ = 0;
    wpa_put_selector(pos, akm);
    pos += 4;
    return static_cast<int>(pos - buf);
}

namespace {

int store_ie(uint8_t **slot, size_t *slot_len, const uint8_t *ie, size_t len) {
    std::free(*slot);
    *slot = nullptr;
    *slot_len = 0;
    if (ie == nullptr || len == 0) return 0;
    *slot = static_cast<uint8_t *>(std::malloc(len));
    if (*slot == nullptr) return -1;
    std::memcpy(*slot, ie, len);
    *slot_len = len;
    return 0;
}

} // namespace

int wpa_sm_set_default_own_ie(rsn_supplicant *sm, uint8_t *buf, size_t *len_inout) {
    if (sm == nullptr || len_inout == nullptr) return -1;
    const int r = wpa_build_own_ie(sm, buf, *len_inout);
    if (r < 0) return -1;
    *len_inout = static_cast<size_t>(r);
    if (sm->assoc_wpa_ie == nullptr)
        return store_ie(&sm->assoc_wpa_ie, &sm->assoc_wpa_ie_len, buf, *len_inout);
    return 0;
}

int wpa_sm_store_own_ie(rsn_supplicant *sm, const uint8_t *ie, size_t len) {
    return sm != nullptr ? store_ie(&sm->assoc_wpa_ie, &sm->assoc_wpa_ie_len, ie, len) : -1;
}

int wpa_sm_store_ap_wpa_ie(rsn_supplicant *sm, const uint8_t *ie, size_t len) {
    return sm != nullptr ? store_ie(&sm->ap_wpa_ie, &sm->ap_wpa_ie_len, ie, len) : -1;
}

int wpa_sm_store_ap_rsn_ie(rsn_supplicant *sm, const uint8_t *ie, size_t len) {
    return sm != nullptr ? store_ie(&sm->ap_rsn_ie, &sm->ap_rsn_ie_len, ie, len) : -1;
}

int wpa_sm_decode_own_ie(rsn_supplicant *sm, wpa_ie_info *info) {
    if (sm == nullptr || sm->assoc_wpa_ie == nullptr) return -1;
    return wpa_decode_security_ie(sm->assoc_wpa_ie, sm->assoc_wpa_ie_len, info) == 0 ? 0 : -2;
}

// ------------------------------------------------------------------ texts

int wpa_sm_pmf_in_use(rsn_supplicant *sm) {
    if (sm == nullptr || !sm->mfp || sm->ap_rsn_ie == nullptr) return 0;
    wpa_ie_info ie;
    if (wpa_decode_rsn_ie(sm->ap_rsn_ie, sm->ap_rsn_ie_len, &ie) != 0) return 0;
    return (ie.capabilities & (0x80 | 0x40)) ? 1 : 0;
}

int wpa_sm_status_text(rsn_supplicant *sm, char *buf, size_t size) {
    if (sm == nullptr || buf == nullptr || size == 0) return 0;
    int len = std::snprintf(buf, size, "pairwise_cipher=%s\ngroup_cipher=%s\nkey_mgmt=%s\n",
                            wpa_cipher_name(sm->pairwise_cipher), wpa_cipher_name(sm->group_cipher),
                            wpa_key_mgmt_name(sm->key_mgmt, sm->proto));
    if (len < 0 || static_cast<size_t>(len) >= size) return 0;
    if (wpa_sm_pmf_in_use(sm)) {
        wpa_ie_info ie;
        wpa_decode_rsn_ie(sm->ap_rsn_ie, sm->ap_rsn_ie_len, &ie);
        const int n = std::snprintf(buf + len, size - static_cast<size_t>(len), "pmf=%d\n",
                                    (ie.capabilities & 0x40) ? 2 : 1);
        if (n < 0 || static_cast<size_t>(n) >= size - static_cast<size_t>(len)) {
            buf[len] = '\0';
            return len;
        }
        len += n;
    }
    return len;
}

namespace {

uint32_t akm_suite(const rsn_supplicant *sm) {
    const bool rsn = is_rsn(sm);
    switch (sm->key_mgmt) {
    case WPA_KEY_MGMT_IEEE8021X:
        return rsn ? 0x000fac01 : 0x0050f201;
    case WPA_KEY_MGMT_PSK:
        return sm->proto == WPA_PROTO_RSN ? 0x000fac02 : 0x0050f202;
    case WPA_KEY_MGMT_WPA_NONE:
        return 0x0050f200;
    case WPA_KEY_MGMT_CCKM:
        return 0x00409600;
    case WPA_KEY_MGMT_IEEE8021X_SUITE_B:
        return 0x000fac0b;
    case WPA_KEY_MGMT_IEEE8021X_SUITE_B_192:
        return 0x000fac0c;
    default:
        return 0;
    }
}

} // namespace

int wpa_sm_mib_text(rsn_supplicant *sm, char *buf, size_t size) {
    if (sm == nullptr || buf == nullptr || size == 0) return 0;
    const bool enabled = (sm->key_mgmt & 0x3cde3) && sm->proto == WPA_PROTO_RSN;
    int len = std::snprintf(buf, size,
                            "dot11RSNAOptionImplemented=TRUE\n"
                            "dot11RSNAPreauthenticationImplemented=TRUE\n"
                            "dot11RSNAEnabled=%s\n"
                            "dot11RSNAPreauthenticationEnabled=%s\n"
                            "dot11RSNAConfigVersion=%d\n"
                            "dot11RSNAConfigPairwiseKeysSupported=5\n"
                            "dot11RSNAConfigGroupCipherSize=%d\n"
                            "dot11RSNAConfigPMKLifetime=%d\n"
                            "dot11RSNAConfigPMKReauthThreshold=%d\n"
                            "dot11RSNAConfigNumberOfPTKSAReplayCounters=1\n"
                            "dot11RSNAConfigSATimeout=%d\n",
                            enabled ? "TRUE" : "FALSE", enabled ? "TRUE" : "FALSE", 1,
                            static_cast<int>(8 * wpa_cipher_tk_length(sm->group_cipher)),
                            static_cast<int>(sm->dot11RSNAConfigPMKLifetime),
                            static_cast<int>(sm->dot11RSNAConfigPMKReauthThreshold),
                            static_cast<int>(sm->dot11RSNAConfigSATimeout));
    if (len < 0 || static_cast<size_t>(len) >= size) return 0;

    char pmkid[2 * PMKID_LEN + 1] = "";
    if (sm->cur_pmksa != nullptr) wpa_snprintf_hex(pmkid, sizeof(pmkid), sm->cur_pmksa->pmkid, PMKID_LEN);
    const uint32_t akm = akm_suite(sm);
    const uint32_t pw = wpa_cipher_suite_selector(sm->proto, sm->pairwise_cipher);
    const uint32_t gr = wpa_cipher_suite_selector(sm->proto, sm->group_cipher);
#define SUITE(s) (s) >> 24, ((s) >> 16) & 0xff, ((s) >> 8) & 0xff, static_cast<int>((s)&0xff)
    const int n = std::snprintf(buf + len, size - static_cast<size_t>(len),
                                "dot11RSNAAuthenticationSuiteSelected=%02x-%02x-%02x-%d\n"
                                "dot11RSNAPairwiseCipherSelected=%02x-%02x-%02x-%d\n"
                                "dot11RSNAGroupCipherSelected=%02x-%02x-%02x-%d\n"
                                "dot11RSNAPMKIDUsed=%s\n"
                                "dot11RSNAAuthenticationSuiteRequested=%02x-%02x-%02x-%d\n"
                                "dot11RSNAPairwiseCipherRequested=%02x-%02x-%02x-%d\n"
                                "dot11RSNAGroupCipherRequested=%02x-%02x-%02x-%d\n"
                                "dot11RSNAConfigNumberOfGTKSAReplayCounters=0\n"
                                "dot11RSNA4WayHandshakeFailures=%u\n",
                                SUITE(akm), SUITE(pw), SUITE(gr), pmkid, SUITE(akm), SUITE(pw), SUITE(gr),
                                sm->dot11RSNA4WayHandshakeFailures);
#undef SUITE
    if (n < 0 || static_cast<size_t>(n) >= size - static_cast<size_t>(len)) {
        buf[len] = '\0';
        return len;
    }
    return len + n;
}

int wpa_sm_get_assigned_ip(rsn_supplicant *sm, uint8_t *out) {
    if (sm == nullptr || !sm->p2p_ip_addr_set || out == nullptr) return -1;
    std::memcpy(out, sm->p2p_ip_addr, sizeof(sm->p2p_ip_addr));
    return 0;
}
