// The PMKSA cache of the RSN supplicant (pairwise master keys of earlier 802.1X
// authentications per authenticator, at most 32, sorted by expiry) and IEEE 802.1X
// pre-authentication towards other APs of the network with its candidate list.
#pragma once

#include "wireless/core/os.h"

#include <cstddef>
#include <cstdint>

struct rsn_supplicant;

struct pmksa_entry {
    pmksa_entry *next;
    uint8_t pmkid[16];
    uint8_t pmk[48];
    size_t pmk_len;
    int64_t expiration; // seconds of the relative clock
    uint32_t akmp;
    uint8_t aa[6];
    int64_t reauth_time;
    void *network_ctx;
    int opportunistic;
};

enum pmksa_free_reason { PMKSA_FREE = 0, PMKSA_REPLACE = 1, PMKSA_EXPIRE = 2 };

using pmksa_free_cb = void (*)(pmksa_entry *entry, void *ctx, pmksa_free_reason reason);

struct pmksa_cache {
    pmksa_entry *pmksa; // ascending expiry
    int pmksa_count;
    rsn_supplicant *sm;
    pmksa_free_cb free_cb;
    void *ctx;
};

struct pmksa_candidate {
    pmksa_candidate *next;
    uint8_t bssid[6];
    int priority;
};

enum { PMKSA_CACHE_MAX_ENTRIES = 32 };

// The clock of expiry and re-authentication times; the unit tests replace it.
extern int (*pmksa_cache_clock)(os_reltime *now);

pmksa_cache *pmksa_cache_create(pmksa_free_cb free_cb, rsn_supplicant *sm, void *ctx);
void pmksa_cache_destroy(pmksa_cache *cache);
pmksa_entry *pmksa_cache_insert(pmksa_cache *cache, const uint8_t *pmk, size_t pmk_len, const uint8_t *pmkid,
                                const uint8_t *kck, size_t kck_len, const uint8_t *aa, const uint8_t *spa,
                                void *network_ctx, uint32_t akmp);
pmksa_entry *pmksa_cache_find(pmksa_cache *cache, const uint8_t *aa, const uint8_t *pmkid,
                              const void *network_ctx);
pmksa_entry *pmksa_cache_clone_for_ap(pmksa_cache *cache, void *network_ctx, const uint8_t *aa);
void pmksa_cache_remove_network(pmksa_cache *cache, void *network_ctx, const uint8_t *pmk, size_t pmk_len);
int pmksa_cache_text(pmksa_cache *cache, char *buf, size_t size);
// Timer handlers (keyed by the cache).
void pmksa_cache_expire(void *eloop_ctx, void *timeout_ctx);
void pmksa_cache_reauth(void *eloop_ctx, void *timeout_ctx);

// The RSN supplicant's view of its cache.
pmksa_entry *wpa_sm_get_current_pmksa(rsn_supplicant *sm);
void wpa_sm_clear_current_pmksa(rsn_supplicant *sm);
int wpa_sm_select_pmksa(rsn_supplicant *sm, const uint8_t *pmkid, const uint8_t *bssid, void *network_ctx,
                        int try_opportunistic);
int wpa_sm_pmksa_text(rsn_supplicant *sm, char *buf, size_t size);
void wpa_sm_flush_pmksa(rsn_supplicant *sm, void *network_ctx);
// The free callback the RSN supplicant gives its cache.
void wpa_sm_pmksa_free_cb(pmksa_entry *entry, void *ctx, pmksa_free_reason reason);

// Pre-authentication.
int rsn_preauth_start(rsn_supplicant *sm, const uint8_t *bssid, void *eap_config);
void rsn_preauth_stop(rsn_supplicant *sm);
void rsn_preauth_process_candidates(rsn_supplicant *sm);
void rsn_preauth_add_candidate(rsn_supplicant *sm, const uint8_t *bssid, int priority, int preauth_allowed);
int rsn_preauth_begin_scan_results(rsn_supplicant *sm);
void rsn_preauth_check_bss(rsn_supplicant *sm, const uint8_t *bssid, const uint8_t *ssid_ie,
                           const uint8_t *rsn_ie);
void rsn_preauth_clear_candidates(rsn_supplicant *sm);
int rsn_preauth_status_text(rsn_supplicant *sm, char *buf, size_t size, int verbose);
// The pre-authentication EAPOL supplicant finished (1 success, 0 failure).
void rsn_preauth_result(rsn_supplicant *sm, int success);
// Whether a frame from `src` on the 0x88C7 sockets goes to the pre-authentication
// EAPOL supplicant.
bool rsn_preauth_accepts(const rsn_supplicant *sm, const uint8_t *src);
void rsn_preauth_timeout(void *eloop_ctx, void *timeout_ctx);

// Control-interface words: "PMKSA", "PMKSA_FLUSH" and "PREAUTH <bssid>" (0 or -1).
int rsn_ctrl_pmksa(rsn_supplicant *sm, char *buf, size_t size);
int rsn_ctrl_pmksa_flush(rsn_supplicant *sm);
int rsn_ctrl_preauth(rsn_supplicant *sm, const char *addr_text, void *eap_config);
