// A fake core for the RSN supplicant and an authenticator side that builds EAPOL-Key
// frames with the element and key functions, so the key machine runs without driver or
// sockets: keys set, frames sent, deauthentications and state changes are recorded.
#pragma once

#include "wireless/core/eloop.h"
#include "wireless/core/supplicant.h"
#include "wireless/core/wpa_msg.h"
#include "wireless/crypto/crypto.h"
#include "wireless/rsn/pmksa_cache.h"
#include "wireless/rsn/wpa.h"

#include "../wcrypto/hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct KeySet {
    int alg;
    Bytes addr; // empty: none
    int idx;
    int tx;
    Bytes seq;
    Bytes key;
};

struct SentFrame {
    Bytes dest;
    uint16_t proto;
    Bytes frame;
};

struct FakeCore {
    int state = WPA_ASSOCIATED;
    std::vector<KeySet> keys;
    std::vector<SentFrame> sent;
    std::vector<int> deauths;
    std::vector<std::string> lines;
    std::vector<Bytes> pmkids_added, pmkids_removed;
    int network = 1; // its address is the network context
    Bytes bssid;
    bool have_network = true;
    int auth_timeout_cancels = 0;
    int set_key_result = 0;
};

inline FakeCore *core_of(void *ctx) {
    return static_cast<FakeCore *>(ctx);
}

inline std::vector<std::string> *line_sink = nullptr;

inline void capture_line(void *, int, wpa_msg_type, const char *txt, size_t len) {
    if (line_sink != nullptr) line_sink->emplace_back(txt, len);
}

inline rsn_supplicant_ops *make_ops(FakeCore *core) {
    auto *ops = static_cast<rsn_supplicant_ops *>(std::calloc(1, sizeof(rsn_supplicant_ops)));
    ops->ctx = core;
    ops->msg_ctx = core;
    ops->set_state = [](void *ctx, int state) { core_of(ctx)->state = state; };
    ops->get_state = [](void *ctx) { return core_of(ctx)->state; };
    ops->deauthenticate = [](void *ctx, int reason) { core_of(ctx)->deauths.push_back(reason); };
    ops->set_key = [](void *ctx, int alg, const uint8_t *addr, int idx, int tx, const uint8_t *seq,
                      size_t seq_len, const uint8_t *key, size_t key_len) {
        FakeCore *c = core_of(ctx);
        c->keys.push_back({alg, addr ? Bytes(addr, addr + 6) : Bytes(), idx, tx, Bytes(seq, seq + seq_len),
                           Bytes(key, key + key_len)});
        return c->set_key_result;
    };
    ops->get_network_ctx = [](void *ctx) -> void * {
        FakeCore *c = core_of(ctx);
        return c->have_network ? &c->network : nullptr;
    };
    ops->get_bssid = [](void *ctx, uint8_t *bssid) {
        FakeCore *c = core_of(ctx);
        if (c->bssid.size() != 6) return -1;
        std::memcpy(bssid, c->bssid.data(), 6);
        return 0;
    };
    ops->ether_send = [](void *ctx, const uint8_t *dest, uint16_t proto, const uint8_t *buf, size_t len) {
        core_of(ctx)->sent.push_back({Bytes(dest, dest + 6), proto, Bytes(buf, buf + len)});
        return 0;
    };
    ops->cancel_auth_timeout = [](void *ctx) { core_of(ctx)->auth_timeout_cancels++; };
    ops->alloc_eapol = [](void *, uint8_t type, const void *data, uint16_t data_len, size_t *msg_len,
                          void **data_pos) -> uint8_t * {
        auto *buf = static_cast<uint8_t *>(std::calloc(1, 4u + data_len));
        buf[0] = 2;
        buf[1] = type;
        buf[2] = static_cast<uint8_t>(data_len >> 8);
        buf[3] = static_cast<uint8_t>(data_len);
        if (data != nullptr) std::memcpy(buf + 4, data, data_len);
        *msg_len = 4u + data_len;
        if (data_pos != nullptr) *data_pos = buf + 4;
        return buf;
    };
    ops->add_pmkid = [](void *ctx, const uint8_t *, const uint8_t *pmkid) {
        core_of(ctx)->pmkids_added.emplace_back(pmkid, pmkid + 16);
        return 0;
    };
    ops->remove_pmkid = [](void *ctx, const uint8_t *, const uint8_t *pmkid) {
        core_of(ctx)->pmkids_removed.emplace_back(pmkid, pmkid + 16);
        return 0;
    };
    return ops;
}

// The authenticator: its keys and the frames it sends.
struct FakeAp {
    Bytes aa = unhex("020000000100");
    Bytes spa = unhex("02000000ff00");
    Bytes pmk = Bytes(32, 0x42);
    Bytes anonce = Bytes(32, 0xa1);
    uint64_t replay = 0;
    wpa_ptk_keys ptk{};
    uint8_t desc = EAPOL_KEY_TYPE_RSN;

    // An EAPOL-Key frame with a zero MIC.
    Bytes frame(uint16_t key_info, uint16_t key_len, const Bytes &nonce, const Bytes &key_data,
                const Bytes &rsc = Bytes(8, 0), const Bytes &iv = Bytes(16, 0)) {
        Bytes f(4 + 95, 0);
        f[0] = 2;
        f[1] = 3;
        f[4] = desc;
        f[5] = static_cast<uint8_t>(key_info >> 8);
        f[6] = static_cast<uint8_t>(key_info);
        f[7] = static_cast<uint8_t>(key_len >> 8);
        f[8] = static_cast<uint8_t>(key_len);
        ++replay;
        for (int i = 0; i < 8; i++)
            f[9 + i] = static_cast<uint8_t>(replay >> (56 - 8 * i));
        if (!nonce.empty()) std::memcpy(f.data() + 17, nonce.data(), std::min<size_t>(32, nonce.size()));
        std::memcpy(f.data() + 49, iv.data(), 16);
        std::memcpy(f.data() + 65, rsc.data(), 8);
        f[97] = static_cast<uint8_t>(key_data.size() >> 8);
        f[98] = static_cast<uint8_t>(key_data.size());
        f.insert(f.end(), key_data.begin(), key_data.end());
        const size_t body = f.size() - 4;
        f[2] = static_cast<uint8_t>(body >> 8);
        f[3] = static_cast<uint8_t>(body);
        return f;
    }

    void sign(Bytes &f, int ver) const {
        std::memset(f.data() + 81, 0, 16);
        uint8_t mic[16];
        ASSERT_EQ(0,
                  wpa_compute_key_mic(ptk.kck, ptk.kck_len, WPA_KEY_MGMT_PSK, ver, f.data(), f.size(), mic));
        std::memcpy(f.data() + 81, mic, 16);
    }

    // RSN key data encryption: padding, then AES key wrap with the KEK.
    Bytes wrap(Bytes plain) const {
        if (plain.size() % 8 != 0 || plain.size() < 16) {
            plain.push_back(0xdd);
            while (plain.size() % 8 != 0 || plain.size() < 16)
                plain.push_back(0);
        }
        Bytes out(plain.size() + 8);
        EXPECT_EQ(0, crypto_aes_key_wrap(ptk.kek, 16, plain.size() / 8, plain.data(), out.data()));
        return out;
    }

    // PTK for the SNonce of a message 2/4.
    void derive(const Bytes &snonce, uint32_t cipher) {
        ASSERT_EQ(0, wpa_derive_ptk(pmk.data(), pmk.size(), "Pairwise key expansion", aa.data(), spa.data(),
                                    anonce.data(), snonce.data(), &ptk, WPA_KEY_MGMT_PSK, cipher));
    }
};

inline uint16_t key_info_of(const Bytes &f) {
    return static_cast<uint16_t>(f[5] << 8 | f[6]);
}
inline Bytes replay_of(const Bytes &f) {
    return Bytes(f.begin() + 9, f.begin() + 17);
}
inline Bytes nonce_of(const Bytes &f) {
    return Bytes(f.begin() + 17, f.begin() + 49);
}
inline Bytes key_data_of(const Bytes &f) {
    return Bytes(f.begin() + 99, f.end());
}

// The MIC of a frame the station sent, checked with the given KCK.
inline bool mic_ok(Bytes f, const wpa_ptk_keys &ptk, int ver) {
    Bytes mic(f.begin() + 81, f.begin() + 97);
    std::memset(f.data() + 81, 0, 16);
    uint8_t calc[16];
    if (wpa_compute_key_mic(ptk.kck, ptk.kck_len, WPA_KEY_MGMT_PSK, ver, f.data(), f.size(), calc) != 0)
        return false;
    return Bytes(calc, calc + 16) == mic;
}

inline Bytes gtk_kde(int idx, const Bytes &gtk, int tx = 0) {
    Bytes kde = {0xdd, static_cast<uint8_t>(6 + gtk.size()),  0x00, 0x0f, 0xac,
                 0x01, static_cast<uint8_t>(idx | (tx << 2)), 0};
    kde.insert(kde.end(), gtk.begin(), gtk.end());
    return kde;
}
