// EAPOL-Key frames from the AP into the key machine. The first input byte picks the
// network (WPA or RSN, TKIP or CCMP, a TKIP group, RSC relaxation, P2P); the rest is the
// frame. Frames are signed with the station's fixed KCK so the fuzzer gets past the MIC
// to key data decryption, the GTK paths and the answers; with bit 3 the key data is
// taken as plaintext and wrapped with the fixed KEK first, to reach the key data parser
// and GTK installation of RSN frames.
#include "wireless/core/eloop.h"
#include "wireless/core/supplicant.h"
#include "wireless/crypto/crypto.h"
#include "wireless/rsn/wpa.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int state = 0;
volatile size_t sink;

rsn_supplicant_ops *make_ops() {
    auto *ops = static_cast<rsn_supplicant_ops *>(std::calloc(1, sizeof(rsn_supplicant_ops)));
    ops->set_state = [](void *, int s) { state = s; };
    ops->get_state = [](void *) { return state; };
    ops->deauthenticate = [](void *, int) {};
    ops->set_key = [](void *, int, const uint8_t *addr, int idx, int, const uint8_t *seq, size_t seq_len,
                      const uint8_t *key, size_t key_len) {
        // Every key handed out must be readable and of a sane size.
        if (idx < 0 || idx > 3 || seq_len > 8 || key_len > 32) std::abort();
        size_t x = 0;
        for (size_t i = 0; i < key_len; i++)
            x += key[i];
        for (size_t i = 0; i < seq_len; i++)
            x += seq[i];
        if (addr != nullptr) x += addr[5];
        sink = x;
        return 0;
    };
    ops->get_network_ctx = [](void *) -> void * { return &state; };
    ops->get_bssid = [](void *, uint8_t *bssid) {
        std::memset(bssid, 2, 6);
        return 0;
    };
    ops->ether_send = [](void *, const uint8_t *, uint16_t, const uint8_t *buf, size_t len) {
        sink = buf[len - 1];
        return 0;
    };
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
    return ops;
}

const uint8_t kck[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const uint8_t kek[16] = {0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28,
                         0x29, 0x2a, 0x2b, 0x2c, 0x2d, 0x2e, 0x2f, 0x30};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool loop = (eloop_init(), true);
    (void)loop;
    if (size < 1) return 0;
    const uint8_t flags = data[0];
    std::vector<uint8_t> frame(data + 1, data + size);

    if ((flags & 0x08) && frame.size() >= 99) {
        std::vector<uint8_t> plain(frame.begin() + 99, frame.end());
        if (plain.size() > 1024) plain.resize(1024);
        plain.push_back(0xdd);
        while (plain.size() % 8 != 0 || plain.size() < 16)
            plain.push_back(0);
        std::vector<uint8_t> wrapped(plain.size() + 8);
        if (crypto_aes_key_wrap(kek, 16, plain.size() / 8, plain.data(), wrapped.data()) != 0) return 0;
        frame.resize(99);
        frame.insert(frame.end(), wrapped.begin(), wrapped.end());
        frame[97] = static_cast<uint8_t>(wrapped.size() >> 8);
        frame[98] = static_cast<uint8_t>(wrapped.size());
        frame[2] = static_cast<uint8_t>((frame.size() - 4) >> 8);
        frame[3] = static_cast<uint8_t>(frame.size() - 4);
    }
    if (frame.size() >= 99 && (frame[6] & 0x01)) {
        const size_t body = static_cast<size_t>(frame[2] << 8 | frame[3]);
        const size_t len = body + 4 <= frame.size() ? body + 4 : frame.size();
        const int ver = frame[6] & 7;
        std::memset(frame.data() + 81, 0, 16);
        wpa_compute_key_mic(kck, 16, WPA_KEY_MGMT_PSK, ver, frame.data(), len, frame.data() + 81);
    }

    rsn_supplicant *sm = wpa_sm_create(make_ops());
    if (sm == nullptr) return 0;
    const bool wpa = flags & 0x01;
    wpa_sm_configure_param(sm, WPA_PARAM_PROTO, wpa ? WPA_PROTO_WPA : WPA_PROTO_RSN);
    wpa_sm_configure_param(sm, WPA_PARAM_PAIRWISE, (flags & 0x02) ? WPA_CIPHER_TKIP : WPA_CIPHER_CCMP);
    wpa_sm_configure_param(sm, WPA_PARAM_GROUP, (flags & 0x04) ? WPA_CIPHER_TKIP : WPA_CIPHER_CCMP);
    wpa_sm_configure_param(sm, WPA_PARAM_KEY_MGMT, WPA_KEY_MGMT_PSK);
    rsn_network_settings net{};
    net.wpa_rsc_relaxation = (flags & 0x10) != 0;
    net.p2p = (flags & 0x20) != 0;
    wpa_sm_set_network_config(sm, &net);
    const uint8_t aa[6] = {2, 2, 2, 2, 2, 2};
    wpa_sm_on_associated(sm, aa);
    uint8_t ie[64];
    size_t ie_len = sizeof(ie);
    if (wpa_sm_set_default_own_ie(sm, ie, &ie_len) == 0) {
        if (wpa)
            wpa_sm_store_ap_wpa_ie(sm, ie, ie_len);
        else
            wpa_sm_store_ap_rsn_ie(sm, ie, ie_len);
    }
    const uint8_t pmk[32] = {};
    wpa_sm_store_pmk(sm, pmk, sizeof(pmk), nullptr, nullptr);
    wpa_sm_update_kck_kek(sm, kck, sizeof(kck), kek, sizeof(kek));
    sm->msg3_accepted = (flags & 0x40) == 0;
    state = (flags & 0x80) ? WPA_COMPLETED : WPA_ASSOCIATED;

    const int r = wpa_sm_process_eapol_key(sm, aa, frame.data(), frame.size());
    if (r < -1 || r > 1) std::abort();
    wpa_sm_destroy(sm);
    return 0;
}
