// The PMKSA cache: a list of at most 32 entries sorted by ascending expiry, with an
// expiry timer at the head and a re-authentication timer while a PMKSA is in use.
#include "wireless/rsn/pmksa_cache.h"

#include "wireless/core/eloop.h"
#include "wireless/core/text.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/rsn/wpa.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <openssl/crypto.h>

int (*pmksa_cache_clock)(os_reltime *now) = os_get_reltime;

namespace {

int64_t now_sec() {
    os_reltime now{};
    pmksa_cache_clock(&now);
    return now.sec;
}

void entry_clear_free(pmksa_entry *entry) {
    OPENSSL_cleanse(entry, sizeof(*entry));
    std::free(entry);
}

void free_entry(pmksa_cache *cache, pmksa_entry *entry, pmksa_free_reason reason) {
    rsn_supplicant *sm = cache->sm;
    if (sm != nullptr && sm->ops != nullptr && sm->ops->remove_pmkid != nullptr)
        sm->ops->remove_pmkid(sm->ops->ctx, entry->aa, entry->pmkid);
    cache->pmksa_count--;
    if (cache->free_cb != nullptr) cache->free_cb(entry, cache->ctx, reason);
    entry_clear_free(entry);
}

void unlink_entry(pmksa_cache *cache, pmksa_entry *entry) {
    for (pmksa_entry **pp = &cache->pmksa; *pp != nullptr; pp = &(*pp)->next) {
        if (*pp == entry) {
            *pp = entry->next;
            entry->next = nullptr;
            return;
        }
    }
}

// Re-arms both timers from the list head.
void set_expiration(pmksa_cache *cache) {
    eloop_cancel_timeout(pmksa_cache_expire, cache, nullptr);
    eloop_cancel_timeout(pmksa_cache_reauth, cache, nullptr);
    if (cache->pmksa == nullptr) return;
    const int64_t now = now_sec();
    int64_t sec = cache->pmksa->expiration - now;
    if (sec < 0) sec = 0;
    eloop_register_timeout(sec + 1, 0, pmksa_cache_expire, cache, nullptr);

    rsn_supplicant *sm = cache->sm;
    if (sm == nullptr) return;
    const pmksa_entry *in_use = sm->cur_pmksa;
    if (in_use == nullptr) in_use = pmksa_cache_find(cache, sm->bssid, nullptr, nullptr);
    if (in_use == nullptr) return;
    sec = cache->pmksa->reauth_time - now;
    if (sec < 0) sec = 0;
    eloop_register_timeout(sec, 0, pmksa_cache_reauth, cache, nullptr);
}

// Adds a filled entry: replaces one of the same authenticator, evicts the earliest
// expiry at the limit, keeps the list sorted and tells the driver.
pmksa_entry *add_entry(pmksa_cache *cache, pmksa_entry *entry) {
    const pmksa_entry *old_head = cache->pmksa;
    for (pmksa_entry *pos = cache->pmksa; pos != nullptr; pos = pos->next) {
        if (std::memcmp(pos->aa, entry->aa, 6) != 0) continue;
        if (pos->pmk_len == entry->pmk_len && os_memcmp_const(pos->pmk, entry->pmk, entry->pmk_len) == 0 &&
            std::memcmp(pos->pmkid, entry->pmkid, PMKID_LEN) == 0) {
            entry_clear_free(entry);
            return pos;
        }
        unlink_entry(cache, pos);
        if (!pos->opportunistic) pmksa_cache_remove_network(cache, pos->network_ctx, pos->pmk, pos->pmk_len);
        free_entry(cache, pos, PMKSA_REPLACE);
        break;
    }

    if (cache->pmksa_count >= PMKSA_CACHE_MAX_ENTRIES && cache->pmksa != nullptr) {
        pmksa_entry *victim = cache->pmksa;
        if (cache->sm != nullptr && victim == cache->sm->cur_pmksa && victim->next != nullptr)
            victim = victim->next;
        unlink_entry(cache, victim);
        free_entry(cache, victim, PMKSA_FREE);
    }

    pmksa_entry **pp = &cache->pmksa;
    while (*pp != nullptr && (*pp)->expiration <= entry->expiration)
        pp = &(*pp)->next;
    entry->next = *pp;
    *pp = entry;
    cache->pmksa_count++;
    if (cache->pmksa != old_head || cache->pmksa == entry) set_expiration(cache);

    rsn_supplicant *sm = cache->sm;
    if (sm != nullptr && sm->ops != nullptr && sm->ops->add_pmkid != nullptr)
        sm->ops->add_pmkid(sm->ops->ctx, entry->aa, entry->pmkid);
    return entry;
}

} // namespace

pmksa_cache *pmksa_cache_create(pmksa_free_cb free_cb, rsn_supplicant *sm, void *ctx) {
    auto *cache = static_cast<pmksa_cache *>(std::calloc(1, sizeof(pmksa_cache)));
    if (cache == nullptr) return nullptr;
    cache->free_cb = free_cb;
    cache->sm = sm;
    cache->ctx = ctx;
    return cache;
}

void pmksa_cache_destroy(pmksa_cache *cache) {
    if (cache == nullptr) return;
    pmksa_entry *entry = cache->pmksa;
    while (entry != nullptr) {
        pmksa_entry *next = entry->next;
        entry_clear_free(entry);
        entry = next;
    }
    eloop_cancel_timeout(pmksa_cache_expire, cache, nullptr);
    eloop_cancel_timeout(pmksa_cache_reauth, cache, nullptr);
    std::free(cache);
}

pmksa_entry *pmksa_cache_insert(pmksa_cache *cache, const uint8_t *pmk, size_t pmk_len, const uint8_t *pmkid,
                                const uint8_t *kck, size_t, const uint8_t *aa, const uint8_t *spa,
                                void *network_ctx, uint32_t akmp) {
    if (cache == nullptr || pmk == nullptr || aa == nullptr || pmk_len > sizeof(pmksa_entry::pmk))
        return nullptr;
    const bool suite_b = (akmp & WPA_KEY_MGMT_MASK_SUITE_B) != 0;
    if (suite_b && kck == nullptr) return nullptr;

    auto *entry = static_cast<pmksa_entry *>(std::calloc(1, sizeof(pmksa_entry)));
    if (entry == nullptr) return nullptr;
    std::memcpy(entry->pmk, pmk, pmk_len);
    entry->pmk_len = pmk_len;
    if (pmkid != nullptr) {
        std::memcpy(entry->pmkid, pmkid, PMKID_LEN);
    } else if (!suite_b) {
        static const uint8_t zero[6] = {};
        if (rsn_compute_pmkid(pmk, pmk_len, aa, spa != nullptr ? spa : zero, entry->pmkid) != 0) {
            entry_clear_free(entry);
            return nullptr;
        }
    }
    const int64_t now = now_sec();
    const int64_t lifetime = cache->sm != nullptr ? cache->sm->dot11RSNAConfigPMKLifetime : 43200;
    const int64_t threshold = cache->sm != nullptr ? cache->sm->dot11RSNAConfigPMKReauthThreshold : 70;
    entry->expiration = now + lifetime;
    entry->reauth_time = now + lifetime * threshold / 100;
    entry->akmp = akmp;
    std::memcpy(entry->aa, aa, 6);
    entry->network_ctx = network_ctx;
    return add_entry(cache, entry);
}

pmksa_entry *pmksa_cache_find(pmksa_cache *cache, const uint8_t *aa, const uint8_t *pmkid,
                              const void *network_ctx) {
    if (cache == nullptr) return nullptr;
    for (pmksa_entry *e = cache->pmksa; e != nullptr; e = e->next) {
        if ((aa == nullptr || std::memcmp(e->aa, aa, 6) == 0) &&
            (pmkid == nullptr || std::memcmp(e->pmkid, pmkid, PMKID_LEN) == 0) &&
            (network_ctx == nullptr || e->network_ctx == network_ctx))
            return e;
    }
    return nullptr;
}

pmksa_entry *pmksa_cache_clone_for_ap(pmksa_cache *cache, void *network_ctx, const uint8_t *aa) {
    if (cache == nullptr || aa == nullptr) return nullptr;
    const pmksa_entry *from = nullptr;
    for (const pmksa_entry *e = cache->pmksa; e != nullptr; e = e->next) {
        if (e->network_ctx == network_ctx) {
            from = e;
            break;
        }
    }
    if (from == nullptr) return nullptr;
    auto *entry = static_cast<pmksa_entry *>(std::calloc(1, sizeof(pmksa_entry)));
    if (entry == nullptr) return nullptr;
    std::memcpy(entry->pmk, from->pmk, from->pmk_len);
    entry->pmk_len = from->pmk_len;
    static const uint8_t zero[6] = {};
    const uint8_t *spa = cache->sm != nullptr ? cache->sm->own_addr : zero;
    if (rsn_compute_pmkid(entry->pmk, entry->pmk_len, aa, spa, entry->pmkid) != 0) {
        entry_clear_free(entry);
        return nullptr;
    }
    entry->expiration = from->expiration;
    entry->reauth_time = from->reauth_time;
    entry->akmp = from->akmp;
    std::memcpy(entry->aa, aa, 6);
    entry->network_ctx = network_ctx;
    entry->opportunistic = 1;
    return add_entry(cache, entry);
}

void pmksa_cache_remove_network(pmksa_cache *cache, void *network_ctx, const uint8_t *pmk, size_t pmk_len) {
    if (cache == nullptr) return;
    bool removed = false;
    pmksa_entry **pp = &cache->pmksa;
    while (*pp != nullptr) {
        pmksa_entry *e = *pp;
        const bool match =
            (network_ctx == nullptr || e->network_ctx == network_ctx) &&
            (pmk == nullptr || (e->pmk_len == pmk_len && os_memcmp_const(e->pmk, pmk, pmk_len) == 0));
        if (!match) {
            pp = &e->next;
            continue;
        }
        *pp = e->next;
        e->next = nullptr;
        free_entry(cache, e, PMKSA_FREE);
        removed = true;
    }
    if (removed) set_expiration(cache);
}

int pmksa_cache_text(pmksa_cache *cache, char *buf, size_t size) {
    if (buf == nullptr || size == 0) return 0;
    static const char header[] = "Index / AA / PMKID / expiration (in seconds) / opportunistic\n";
    if (sizeof(header) > size) return 0;
    std::memcpy(buf, header, sizeof(header));
    int len = static_cast<int>(sizeof(header) - 1);
    if (cache == nullptr) return len;
    const int64_t now = now_sec();
    int i = 0;
    for (const pmksa_entry *e = cache->pmksa; e != nullptr; e = e->next) {
        char line[128];
        char pmkid[2 * PMKID_LEN + 1];
        wpa_snprintf_hex(pmkid, sizeof(pmkid), e->pmkid, PMKID_LEN);
        const int n = std::snprintf(line, sizeof(line), "%d %02x:%02x:%02x:%02x:%02x:%02x %s %d %d\n", ++i,
                                    e->aa[0], e->aa[1], e->aa[2], e->aa[3], e->aa[4], e->aa[5], pmkid,
                                    static_cast<int>(e->expiration - now), e->opportunistic);
        if (n < 0 || static_cast<size_t>(len) + static_cast<size_t>(n) >= size) break;
        std::memcpy(buf + len, line, static_cast<size_t>(n) + 1);
        len += n;
    }
    return len;
}

void pmksa_cache_expire(void *eloop_ctx, void *) {
    auto *cache = static_cast<pmksa_cache *>(eloop_ctx);
    const int64_t now = now_sec();
    while (cache->pmksa != nullptr && cache->pmksa->expiration <= now) {
        pmksa_entry *e = cache->pmksa;
        cache->pmksa = e->next;
        e->next = nullptr;
        free_entry(cache, e, PMKSA_EXPIRE);
    }
    set_expiration(cache);
}

void pmksa_cache_reauth(void *eloop_ctx, void *) {
    auto *cache = static_cast<pmksa_cache *>(eloop_ctx);
    rsn_supplicant *sm = cache->sm;
    if (sm == nullptr) return;
    sm->cur_pmksa = nullptr;
    if (sm->eapol != nullptr && sm->eapol_ops.reauthenticate != nullptr)
        sm->eapol_ops.reauthenticate(sm->eapol);
}

// ------------------------------------------------------------------ RSN supplicant view

void wpa_sm_pmksa_free_cb(pmksa_entry *entry, void *ctx, pmksa_free_reason reason) {
    auto *sm = static_cast<rsn_supplicant *>(ctx);
    bool deauth = false;
    if (entry == sm->cur_pmksa) {
        sm->cur_pmksa = nullptr;
        if (reason == PMKSA_REPLACE) return;
        deauth = true;
    } else if (reason == PMKSA_EXPIRE && sm->pmk_len == entry->pmk_len &&
               os_memcmp_const(sm->pmk, entry->pmk, entry->pmk_len) == 0) {
        deauth = true;
    }
    if (!deauth) return;
    OPENSSL_cleanse(sm->pmk, sizeof(sm->pmk));
    sm->pmk_len = 0;
    if (sm->ops != nullptr && sm->ops->deauthenticate != nullptr) sm->ops->deauthenticate(sm->ops->ctx, 1);
}

pmksa_entry *wpa_sm_get_current_pmksa(rsn_supplicant *sm) {
    return sm != nullptr ? sm->cur_pmksa : nullptr;
}

void wpa_sm_clear_current_pmksa(rsn_supplicant *sm) {
    if (sm != nullptr) sm->cur_pmksa = nullptr;
}

int wpa_sm_select_pmksa(rsn_supplicant *sm, const uint8_t *pmkid, const uint8_t *bssid, void *network_ctx,
                        int try_opportunistic) {
    if (sm == nullptr) return -1;
    sm->cur_pmksa = nullptr;
    if (pmkid != nullptr) {
        sm->cur_pmksa = pmksa_cache_find(sm->pmksa, nullptr, pmkid, network_ctx);
    } else if (bssid != nullptr) {
        sm->cur_pmksa = pmksa_cache_find(sm->pmksa, bssid, nullptr, network_ctx);
        if (sm->cur_pmksa == nullptr && try_opportunistic)
            sm->cur_pmksa = pmksa_cache_clone_for_ap(sm->pmksa, network_ctx, bssid);
    }
    return sm->cur_pmksa != nullptr ? 0 : -1;
}

int wpa_sm_pmksa_text(rsn_supplicant *sm, char *buf, size_t size) {
    return pmksa_cache_text(sm != nullptr ? sm->pmksa : nullptr, buf, size);
}

void wpa_sm_flush_pmksa(rsn_supplicant *sm, void *network_ctx) {
    if (sm != nullptr) pmksa_cache_remove_network(sm->pmksa, network_ctx, nullptr, 0);
}

int rsn_ctrl_pmksa(rsn_supplicant *sm, char *buf, size_t size) {
    return wpa_sm_pmksa_text(sm, buf, size);
}

int rsn_ctrl_pmksa_flush(rsn_supplicant *sm) {
    wpa_sm_flush_pmksa(sm, nullptr);
    return 0;
}

int rsn_ctrl_preauth(rsn_supplicant *sm, const char *addr_text, void *eap_config) {
    uint8_t bssid[6];
    if (sm == nullptr || addr_text == nullptr || hwaddr_parse(addr_text, bssid) != 0) return -1;
    rsn_preauth_stop(sm);
    return rsn_preauth_start(sm, bssid, eap_config) == 0 ? 0 : -1;
}
