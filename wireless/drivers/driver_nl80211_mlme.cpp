// Station operations: authenticate (with its retry after a scan), associate or connect,
// IBSS join, leave, keys and their counters, the PMKSA cache, the 802.1X port and the
// signal readings.
#include "wireless/common/ieee802_11_common.h"
#include "wireless/core/eloop.h"
#include "wireless/drivers/driver_nl80211_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netlink/attr.h>
#include <netlink/genl/genl.h>
#include <netlink/msg.h>

namespace {

constexpr uint32_t suite(uint32_t oui, uint8_t type) {
    return (oui << 8) | type;
}
constexpr uint32_t Ieee = 0x000FAC;

uint32_t cipher_to_suite(unsigned int cipher) {
    switch (cipher) {
    case WPA_CIPHER_WEP40:
        return suite(Ieee, 1);
    case WPA_CIPHER_WEP104:
        return suite(Ieee, 5);
    case WPA_CIPHER_TKIP:
        return suite(Ieee, 2);
    case WPA_CIPHER_CCMP:
        return suite(Ieee, 4);
    case WPA_CIPHER_GCMP:
        return suite(Ieee, 8);
    case WPA_CIPHER_CCMP_256:
        return suite(Ieee, 10);
    case WPA_CIPHER_GCMP_256:
        return suite(Ieee, 9);
    case WPA_CIPHER_GTK_NOT_USED:
        return suite(Ieee, 7);
    default:
        return 0;
    }
}

uint32_t alg_to_suite(wpa_alg alg, size_t key_len) {
    switch (alg) {
    case WPA_ALG_WEP:
        return key_len == 5 ? suite(Ieee, 1) : suite(Ieee, 5);
    case WPA_ALG_TKIP:
        return suite(Ieee, 2);
    case WPA_ALG_CCMP:
        return suite(Ieee, 4);
    case WPA_ALG_IGTK:
        return suite(Ieee, 6);
    case WPA_ALG_GCMP:
        return suite(Ieee, 8);
    case WPA_ALG_SMS4:
        return suite(0x001472, 1);
    case WPA_ALG_KRK:
        return suite(0x004096, 255);
    case WPA_ALG_GCMP_256:
        return suite(Ieee, 9);
    case WPA_ALG_CCMP_256:
        return suite(Ieee, 10);
    case WPA_ALG_BIP_GMAC_128:
        return suite(Ieee, 11);
    case WPA_ALG_BIP_GMAC_256:
        return suite(Ieee, 12);
    case WPA_ALG_BIP_CMAC_256:
        return suite(Ieee, 13);
    default:
        return 0;
    }
}

uint32_t akm_suite(unsigned int key_mgmt) {
    switch (key_mgmt) {
    case WPA_KEY_MGMT_IEEE8021X:
        return suite(Ieee, 1);
    case WPA_KEY_MGMT_PSK:
        return suite(Ieee, 2);
    case WPA_KEY_MGMT_FT_IEEE8021X:
        return suite(Ieee, 3);
    case WPA_KEY_MGMT_FT_PSK:
        return suite(Ieee, 4);
    case WPA_KEY_MGMT_IEEE8021X_SHA256:
        return suite(Ieee, 5);
    case WPA_KEY_MGMT_PSK_SHA256:
        return suite(Ieee, 6);
    case WPA_KEY_MGMT_CCKM:
        return suite(0x004096, 0);
    case WPA_KEY_MGMT_OSEN:
        return suite(0x506F9A, 1);
    case WPA_KEY_MGMT_IEEE8021X_SUITE_B:
        return suite(Ieee, 11);
    case WPA_KEY_MGMT_IEEE8021X_SUITE_B_192:
        return suite(Ieee, 12);
    default:
        return 0;
    }
}

bool is_bip(wpa_alg alg) {
    return alg == WPA_ALG_IGTK || alg == WPA_ALG_BIP_GMAC_128 || alg == WPA_ALG_BIP_GMAC_256 ||
           alg == WPA_ALG_BIP_CMAC_256;
}

const uint8_t broadcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

bool is_zero(const uint8_t *a) {
    static const uint8_t zero[6] = {};
    return memcmp(a, zero, 6) == 0;
}

int put_freq_params(nl_msg *msg, const wpa_freq_params *freq) {
    if (nla_put_u32(msg, NL80211_ATTR_WIPHY_FREQ, static_cast<uint32_t>(freq->freq)) < 0) return -ENOBUFS;
    if (freq->vht_enabled) {
        uint32_t width;
        switch (freq->bandwidth) {
        case 20:
            width = NL80211_CHAN_WIDTH_20;
            break;
        case 40:
            width = NL80211_CHAN_WIDTH_40;
            break;
        case 80:
            width = freq->center_freq2 ? NL80211_CHAN_WIDTH_80P80 : NL80211_CHAN_WIDTH_80;
            break;
        case 160:
            width = NL80211_CHAN_WIDTH_160;
            break;
        default:
            return -EINVAL;
        }
        if (nla_put_u32(msg, NL80211_ATTR_CHANNEL_WIDTH, width) < 0 ||
            nla_put_u32(msg, NL80211_ATTR_CENTER_FREQ1, static_cast<uint32_t>(freq->center_freq1)) < 0 ||
            (freq->center_freq2 &&
             nla_put_u32(msg, NL80211_ATTR_CENTER_FREQ2, static_cast<uint32_t>(freq->center_freq2)) < 0))
            return -ENOBUFS;
    } else if (freq->ht_enabled) {
        uint32_t type = freq->sec_channel_offset == -1  ? NL80211_CHAN_HT40MINUS
                        : freq->sec_channel_offset == 1 ? NL80211_CHAN_HT40PLUS
                                                        : NL80211_CHAN_HT20;
        if (nla_put_u32(msg, NL80211_ATTR_WIPHY_CHANNEL_TYPE, type) < 0) return -ENOBUFS;
    } else if (nla_put_u32(msg, NL80211_ATTR_WIPHY_CHANNEL_TYPE, NL80211_CHAN_NO_HT) < 0) {
        return -ENOBUFS;
    }
    return 0;
}

// The static WEP keys of a connect or IBSS join.
int put_connect_keys(nl_msg *msg, const wpa_driver_associate_params *params) {
    bool privacy = params->pairwise_suite != WPA_CIPHER_NONE || params->wps == WPS_MODE_PRIVACY;
    for (int i = 0; i < 4; i++)
        if (params->wep_key[i]) privacy = true;
    if (privacy && nla_put_flag(msg, NL80211_ATTR_PRIVACY) < 0) return -1;
    bool any = false;
    for (int i = 0; i < 4; i++)
        if (params->wep_key[i]) any = true;
    if (!any) return 0;
    nlattr *nl_keys = nla_nest_start(msg, NL80211_ATTR_KEYS);
    if (nl_keys == nullptr) return -1;
    for (int i = 0; i < 4; i++) {
        if (!params->wep_key[i]) continue;
        nlattr *nl_key = nla_nest_start(msg, i);
        if (nl_key == nullptr ||
            nla_put(msg, NL80211_KEY_DATA, static_cast<int>(params->wep_key_len[i]), params->wep_key[i]) <
                0 ||
            nla_put_u32(msg, NL80211_KEY_CIPHER,
                        params->wep_key_len[i] == 5 ? suite(Ieee, 1) : suite(Ieee, 5)) < 0 ||
            nla_put_u8(msg, NL80211_KEY_IDX, static_cast<uint8_t>(i)) < 0 ||
            (i == params->wep_tx_keyidx && nla_put_flag(msg, NL80211_KEY_DEFAULT) < 0))
            return -1;
        nla_nest_end(msg, nl_key);
    }
    nla_nest_end(msg, nl_keys);
    return 0;
}

int put_connect_common(nl80211_drv *drv, wpa_driver_associate_params *params, nl_msg *msg) {
    if (params->bssid && nla_put(msg, NL80211_ATTR_MAC, 6, params->bssid) < 0) return -1;
    if (params->bssid_hint && nla_put(msg, NL80211_ATTR_MAC_HINT, 6, params->bssid_hint) < 0) return -1;
    if (params->freq.freq) {
        if (nla_put_u32(msg, NL80211_ATTR_WIPHY_FREQ, static_cast<uint32_t>(params->freq.freq)) < 0)
            return -1;
        drv->assoc_freq = static_cast<unsigned int>(params->freq.freq);
    } else {
        drv->assoc_freq = 0;
    }
    if (params->freq_hint &&
        nla_put_u32(msg, NL80211_ATTR_WIPHY_FREQ_HINT, static_cast<uint32_t>(params->freq_hint)) < 0)
        return -1;
    if (params->bg_scan_period >= 0 &&
        nla_put_u16(msg, NL80211_ATTR_BG_SCAN_PERIOD, static_cast<uint16_t>(params->bg_scan_period)) < 0)
        return -1;
    if (params->ssid) {
        if (params->ssid_len > 32) return -1;
        if (nla_put(msg, NL80211_ATTR_SSID, static_cast<int>(params->ssid_len), params->ssid) < 0) return -1;
        memcpy(drv->ssid, params->ssid, params->ssid_len);
        drv->ssid_len = params->ssid_len;
    }
    if (params->wpa_ie &&
        nla_put(msg, NL80211_ATTR_IE, static_cast<int>(params->wpa_ie_len), params->wpa_ie) < 0)
        return -1;
    if (params->wpa_proto) {
        uint32_t ver = 0;
        if (params->wpa_proto & 1) ver |= NL80211_WPA_VERSION_1;
        if (params->wpa_proto & 2) ver |= NL80211_WPA_VERSION_2;
        if (nla_put_u32(msg, NL80211_ATTR_WPA_VERSIONS, ver) < 0) return -1;
    }
    if (params->pairwise_suite != WPA_CIPHER_NONE) {
        uint32_t c = cipher_to_suite(params->pairwise_suite);
        if (c && nla_put_u32(msg, NL80211_ATTR_CIPHER_SUITES_PAIRWISE, c) < 0) return -1;
    }
    if (params->group_suite == WPA_CIPHER_GTK_NOT_USED &&
        !(drv->capa.enc & WPA_DRIVER_CAPA_ENC_GTK_NOT_USED)) {
        // The radio cannot run without group traffic: leave the group cipher out.
    } else if (params->group_suite != WPA_CIPHER_NONE) {
        uint32_t c = cipher_to_suite(params->group_suite);
        if (c && nla_put_u32(msg, NL80211_ATTR_CIPHER_SUITE_GROUP, c) < 0) return -1;
    }
    uint32_t akm = akm_suite(params->key_mgmt_suite);
    if (akm && nla_put_u32(msg, NL80211_ATTR_AKM_SUITES, akm) < 0) return -1;
    if (nla_put_flag(msg, NL80211_ATTR_CONTROL_PORT) < 0) return -1;
    if (params->key_mgmt_suite == WPA_KEY_MGMT_IEEE8021X_NO_WPA &&
        (params->pairwise_suite == WPA_CIPHER_NONE || params->pairwise_suite == WPA_CIPHER_WEP104 ||
         params->pairwise_suite == WPA_CIPHER_WEP40) &&
        (nla_put_u16(msg, NL80211_ATTR_CONTROL_PORT_ETHERTYPE, 0x888e) < 0 ||
         nla_put_flag(msg, NL80211_ATTR_CONTROL_PORT_NO_ENCRYPT) < 0))
        return -1;
    if (params->mgmt_frame_protection == 2 &&
        nla_put_u32(msg, NL80211_ATTR_USE_MFP, NL80211_MFP_REQUIRED) < 0)
        return -1;
    if (params->rrm_used) {
        // Radio measurement needs the DS-parameter and TPC elements in probes, or quiet.
        bool ok = (drv->rrm_flags & 0x3) == 0x3 || (drv->rrm_flags & 0x4);
        if (!ok || nla_put_flag(msg, NL80211_ATTR_USE_RRM) < 0) return -1;
    }
    if (params->htcaps && params->htcaps_mask) {
        if ((params->disable_ht && nla_put_flag(msg, NL80211_ATTR_DISABLE_HT) < 0) ||
            nla_put(msg, NL80211_ATTR_HT_CAPABILITY, 26, params->htcaps) < 0 ||
            nla_put(msg, NL80211_ATTR_HT_CAPABILITY_MASK, 26, params->htcaps_mask) < 0)
            return -1;
    }
    if (params->pbss && nla_put_flag(msg, NL80211_ATTR_PBSS) < 0) return -1;
    if (params->prev_bssid) {
        if (nla_put(msg, NL80211_ATTR_PREV_BSSID, 6, params->prev_bssid) < 0) return -1;
        drv->reassoc_sent = 1;
    }
    return 0;
}

} // namespace

// ---- Keys ---------------------------------------------------------------------------------

int nl80211_set_key(void *priv, const char *ifname, wpa_alg alg, const uint8_t *addr, int key_idx, int set_tx,
                    const uint8_t *seq, size_t seq_len, const uint8_t *key, size_t key_len) {
    auto *bss = static_cast<nl80211_iface *>(priv);
    nl80211_drv *drv = bss->drv;
    if (drv->nlmode == NL80211_IFTYPE_P2P_DEVICE) return 0;
    int ifindex = bss->ifindex;
    if (ifname) {
        unsigned int idx = nl80211_io()->if_index(ifname);
        if (idx) ifindex = static_cast<int>(idx);
    }
    if (key_idx < 0 || key_idx > 7) return -EINVAL;
    if (alg == WPA_ALG_PMK) return -1;
    if (seq_len > 8) return -EINVAL;

    nl_msg *msg =
        nl80211_ifindex_msg(drv, ifindex, 0, alg == WPA_ALG_NONE ? NL80211_CMD_DEL_KEY : NL80211_CMD_NEW_KEY);
    if (msg == nullptr) return -ENOBUFS;
    if (alg != WPA_ALG_NONE) {
        uint32_t s = alg_to_suite(alg, key_len);
        if (s == 0 || key == nullptr) {
            nlmsg_free(msg);
            return -1;
        }
        if (nla_put(msg, NL80211_ATTR_KEY_DATA, static_cast<int>(key_len), key) < 0 ||
            nla_put_u32(msg, NL80211_ATTR_KEY_CIPHER, s) < 0)
            goto fail;
    }
    if (seq && seq_len && nla_put(msg, NL80211_ATTR_KEY_SEQ, static_cast<int>(seq_len), seq) < 0) goto fail;
    if (addr && memcmp(addr, broadcast, 6) != 0) {
        if (nla_put(msg, NL80211_ATTR_MAC, 6, addr) < 0) goto fail;
        if (alg != WPA_ALG_WEP && key_idx && !set_tx &&
            nla_put_u32(msg, NL80211_ATTR_KEY_TYPE, NL80211_KEYTYPE_GROUP) < 0)
            goto fail;
    } else if (addr) {
        nlattr *types = nla_nest_start(msg, NL80211_ATTR_KEY_DEFAULT_TYPES);
        if (types == nullptr || nla_put_flag(msg, NL80211_KEY_DEFAULT_TYPE_MULTICAST) < 0) goto fail;
        nla_nest_end(msg, types);
    }
    if (nla_put_u8(msg, NL80211_ATTR_KEY_IDX, static_cast<uint8_t>(key_idx)) < 0) goto fail;
    {
        int ret = send_and_recv_msgs(drv, msg, nullptr, reinterpret_cast<void *>(-1), true);
        if ((ret == -ENOENT || ret == -ENOLINK) && alg == WPA_ALG_NONE) ret = 0;
        if (ret) return ret;
    }
    if (!set_tx || alg == WPA_ALG_NONE) return 0;
    if (nl80211_is_ap(drv->nlmode) && addr && memcmp(addr, broadcast, 6) != 0) return 0;

    msg = nl80211_ifindex_msg(drv, ifindex, 0, NL80211_CMD_SET_KEY);
    if (msg == nullptr) return -ENOBUFS;
    if (nla_put_u8(msg, NL80211_ATTR_KEY_IDX, static_cast<uint8_t>(key_idx)) < 0 ||
        nla_put_flag(msg, is_bip(alg) ? NL80211_ATTR_KEY_DEFAULT_MGMT : NL80211_ATTR_KEY_DEFAULT) < 0)
        goto fail;
    if (addr) {
        nlattr *types = nla_nest_start(msg, NL80211_ATTR_KEY_DEFAULT_TYPES);
        bool multicast = memcmp(addr, broadcast, 6) == 0;
        if (types == nullptr || nla_put_flag(msg, multicast ? NL80211_KEY_DEFAULT_TYPE_MULTICAST
                                                            : NL80211_KEY_DEFAULT_TYPE_UNICAST) < 0)
            goto fail;
        nla_nest_end(msg, types);
    }
    {
        int ret = send_and_recv_msgs(drv, msg, nullptr, nullptr);
        return ret == -ENOENT ? 0 : ret;
    }
fail:
    nlmsg_free(msg);
    return -ENOBUFS;
}

namespace {

int get_seq_handler(nlmsghdr *nlh, void *arg) {
    nlattr *tb[NL80211_ATTR_MAX + 1];
    if (nl80211_parse(nlh, tb) < 0 || !tb[NL80211_ATTR_KEY_SEQ]) return NL_SKIP;
    int n = nla_len(tb[NL80211_ATTR_KEY_SEQ]);
    memcpy(arg, nla_data(tb[NL80211_ATTR_KEY_SEQ]), static_cast<size_t>(n < 6 ? n : 6));
    return NL_SKIP;
}

} // namespace

int nl80211_get_seqnum(void *priv, const char *ifname, const uint8_t *addr, int idx, uint8_t *seq) {
    nl80211_drv *drv = static_cast<nl80211_iface *>(priv)->drv;
    unsigned int ifindex = nl80211_io()->if_index(ifname ? ifname : drv->first_bss->ifname);
    nl_msg *msg = nl80211_ifindex_msg(drv, static_cast<int>(ifindex), 0, NL80211_CMD_GET_KEY);
    if (msg == nullptr) return -ENOBUFS;
    if ((addr && nla_put(msg, NL80211_ATTR_MAC, 6, addr) < 0) ||
        nla_put_u8(msg, NL80211_ATTR_KEY_IDX, static_cast<uint8_t>(idx)) < 0) {
        nlmsg_free(msg);
        return -ENOBUFS;
    }
    memset(seq, 0, 8);
    return send_and_recv_msgs(drv, msg, get_seq_handler, seq);
}

// ---- Authentication ----------------------------------------------------------------------

void nl80211_free_auth_saved(nl80211_drv *drv) {
    free(drv->auth.ie);
    drv->auth = {};
    drv->auth_saved = 0;
}

namespace {

int auth_type_of(int alg) {
    if (alg & WPA_AUTH_ALG_OPEN) return NL80211_AUTHTYPE_OPEN_SYSTEM;
    if (alg & WPA_AUTH_ALG_SHARED) return NL80211_AUTHTYPE_SHARED_KEY;
    if (alg & WPA_AUTH_ALG_LEAP) return NL80211_AUTHTYPE_NETWORK_EAP;
    if (alg & WPA_AUTH_ALG_FT) return NL80211_AUTHTYPE_FT;
    if (alg & WPA_AUTH_ALG_SAE) return NL80211_AUTHTYPE_SAE;
    return -1;
}

void save_auth(nl80211_drv *drv, const wpa_driver_auth_params *params) {
    nl80211_free_auth_saved(drv);
    nl80211_auth_saved &a = drv->auth;
    a.freq = params->freq;
    if (params->bssid) memcpy(a.bssid, params->bssid, 6);
    if (params->ssid && params->ssid_len <= 32) {
        memcpy(a.ssid, params->ssid, params->ssid_len);
        a.ssid_len = params->ssid_len;
    }
    if (params->ie && params->ie_len) {
        a.ie = static_cast<uint8_t *>(malloc(params->ie_len));
        if (a.ie) {
            memcpy(a.ie, params->ie, params->ie_len);
            a.ie_len = params->ie_len;
        }
    }
    a.auth_alg = params->auth_alg;
    for (int i = 0; i < 4; i++) {
        if (params->wep_key[i] && params->wep_key_len[i] >= 1 && params->wep_key_len[i] <= 16) {
            memcpy(a.wep_key[i], params->wep_key[i], params->wep_key_len[i]);
            a.wep_key_len[i] = params->wep_key_len[i];
        }
    }
    a.wep_tx_keyidx = params->wep_tx_keyidx;
    a.local_state_change = params->local_state_change;
    a.p2p = params->p2p;
    drv->auth_saved = 1;
}

int send_deauth(nl80211_drv *drv, const uint8_t *addr, uint16_t reason, bool local_state_change) {
    nl_msg *msg = nl80211_drv_msg(drv, 0, NL80211_CMD_DEAUTHENTICATE);
    if (msg == nullptr) return -1;
    if (nla_put_u16(msg, NL80211_ATTR_REASON_CODE, reason) < 0 ||
        (addr && nla_put(msg, NL80211_ATTR_MAC, 6, addr) < 0) ||
        (local_state_change && nla_put_flag(msg, NL80211_ATTR_LOCAL_STATE_CHANGE) < 0)) {
        nlmsg_free(msg);
        return -1;
    }
    return send_and_recv_msgs(drv, msg, nullptr, nullptr);
}

int authenticate_once(nl80211_drv *drv, wpa_driver_auth_params *params, bool *retry_scan) {
    nl80211_iface *bss = drv->first_bss;
    *retry_scan = false;
    for (int i = 0; i < 4; i++) {
        if (!params->wep_key[i]) continue;
        nl80211_set_key(bss, bss->ifname, WPA_ALG_WEP, nullptr, i, i == params->wep_tx_keyidx, nullptr, 0,
                        params->wep_key[i], params->wep_key_len[i]);
    }
    nl_msg *msg = nl80211_drv_msg(drv, 0, NL80211_CMD_AUTHENTICATE);
    if (msg == nullptr) return -1;
    int type = auth_type_of(params->auth_alg);
    int idx = params->wep_tx_keyidx;
    if (idx >= 0 && idx < 4 && params->wep_key[idx]) {
        nlattr *key = nla_nest_start(msg, NL80211_ATTR_KEY);
        if (key == nullptr || nla_put_flag(msg, NL80211_KEY_DEFAULT) < 0 ||
            nla_put_u8(msg, NL80211_KEY_IDX, static_cast<uint8_t>(idx)) < 0 ||
            nla_put_u32(msg, NL80211_KEY_CIPHER,
                        params->wep_key_len[idx] == 5 ? suite(Ieee, 1) : suite(Ieee, 5)) < 0 ||
            nla_put(msg, NL80211_KEY_DATA, static_cast<int>(params->wep_key_len[idx]), params->wep_key[idx]) <
                0)
            goto fail;
        nla_nest_end(msg, key);
    }
    if ((params->bssid && nla_put(msg, NL80211_ATTR_MAC, 6, params->bssid) < 0) ||
        (params->freq &&
         nla_put_u32(msg, NL80211_ATTR_WIPHY_FREQ, static_cast<uint32_t>(params->freq)) < 0) ||
        (params->ssid && params->ssid_len <= 32 &&
         nla_put(msg, NL80211_ATTR_SSID, static_cast<int>(params->ssid_len), params->ssid) < 0) ||
        (params->ie && nla_put(msg, NL80211_ATTR_IE, static_cast<int>(params->ie_len), params->ie) < 0) ||
        (params->sae_data &&
         nla_put(msg, NL80211_ATTR_SAE_DATA, static_cast<int>(params->sae_data_len), params->sae_data) < 0))
        goto fail;
    if (type < 0 || nla_put_u32(msg, NL80211_ATTR_AUTH_TYPE, static_cast<uint32_t>(type)) < 0) goto fail;
    if (params->local_state_change && nla_put_flag(msg, NL80211_ATTR_LOCAL_STATE_CHANGE) < 0) goto fail;
    return send_and_recv_msgs(drv, msg, nullptr, nullptr);
fail:
    nlmsg_free(msg);
    return -1;
}

} // namespace

int nl80211_authenticate(void *priv, wpa_driver_auth_params *params) {
    auto *bss = static_cast<nl80211_iface *>(priv);
    nl80211_drv *drv = bss->drv;
    bool is_retry = drv->retry_auth;
    drv->retry_auth = 0;
    drv->ignore_deauth_event = 0;
    nl80211_mark_disconnected(drv);
    memset(drv->auth_bssid, 0, 6);
    if (params->bssid)
        memcpy(drv->auth_attempt_bssid, params->bssid, 6);
    else
        memset(drv->auth_attempt_bssid, 0, 6);

    int nlmode = params->p2p ? NL80211_IFTYPE_P2P_CLIENT : NL80211_IFTYPE_STATION;
    if (drv->nlmode != nlmode && nl80211_set_mode(bss, nlmode) < 0) return -1;

    bool scan_unused;
    int ret = authenticate_once(drv, params, &scan_unused);
    if (ret == -EALREADY && params->bssid && !params->local_state_change) {
        // The kernel still holds an authentication with this BSS: drop it and try again.
        drv->ignore_deauth_event = 1;
        send_deauth(drv, params->bssid, 2, false);
        ret = authenticate_once(drv, params, &scan_unused);
    } else if (ret == -ENOENT && params->freq && !is_retry) {
        // The kernel does not know the BSS yet: scan its channel for it, then retry.
        wpa_driver_scan_params scan{};
        int freqs[2] = {params->freq, 0};
        scan.freqs = freqs;
        scan.num_ssids = 1;
        if (params->ssid) {
            scan.ssids[0].ssid = params->ssid;
            scan.ssids[0].ssid_len = params->ssid_len;
        }
        // Scanning replaces the radio's filter SSIDs; keep them for the results.
        wpa_driver_scan_filter *keep = drv->filter_ssids;
        size_t keep_num = drv->num_filter_ssids;
        drv->filter_ssids = nullptr;
        drv->num_filter_ssids = 0;
        ret = nl80211_scan(bss, &scan);
        free(drv->filter_ssids);
        drv->filter_ssids = keep;
        drv->num_filter_ssids = keep_num;
        if (ret == 0) {
            save_auth(drv, params);
            drv->scan_for_auth = 1;
        }
        return ret;
    }
    if (ret < 0 && is_retry) {
        // The core does not see the result of a retry: tell it the attempt is over.
        wpa_event_data event{};
        memcpy(event.timeout_event.addr, drv->auth.bssid, 6);
        supplicant_event(drv->ctx, EVENT_AUTH_TIMED_OUT, &event);
    }
    return ret;
}

void nl80211_retry_auth(nl80211_drv *drv) {
    if (!drv->auth_saved) return;
    nl80211_auth_saved &a = drv->auth;
    wpa_driver_auth_params params{};
    params.freq = a.freq;
    params.bssid = a.bssid;
    params.ssid = a.ssid;
    params.ssid_len = a.ssid_len;
    params.ie = a.ie;
    params.ie_len = a.ie_len;
    params.auth_alg = a.auth_alg;
    for (int i = 0; i < 4; i++)
        if (a.wep_key_len[i]) {
            params.wep_key[i] = a.wep_key[i];
            params.wep_key_len[i] = a.wep_key_len[i];
        }
    params.wep_tx_keyidx = a.wep_tx_keyidx;
    params.local_state_change = a.local_state_change;
    params.p2p = a.p2p;
    drv->retry_auth = 1;
    nl80211_authenticate(drv->first_bss, &params);
}

// ---- Association -------------------------------------------------------------------------

namespace {

int join_ibss(nl80211_iface *bss, wpa_driver_associate_params *params) {
    nl80211_drv *drv = bss->drv;
    if (nl80211_set_mode(bss, NL80211_IFTYPE_ADHOC) < 0) return -1;
    for (int tries = 0; tries < 2; tries++) {
        nl_msg *msg = nl80211_drv_msg(drv, 0, NL80211_CMD_JOIN_IBSS);
        if (msg == nullptr) return -1;
        if (!params->ssid || params->ssid_len > 32 ||
            nla_put(msg, NL80211_ATTR_SSID, static_cast<int>(params->ssid_len), params->ssid) < 0 ||
            put_freq_params(msg, &params->freq) < 0 ||
            (params->beacon_int > 0 &&
             nla_put_u32(msg, NL80211_ATTR_BEACON_INTERVAL, static_cast<uint32_t>(params->beacon_int)) < 0) ||
            put_connect_keys(msg, params) < 0 ||
            (params->fixed_bssid && params->bssid && nla_put(msg, NL80211_ATTR_MAC, 6, params->bssid) < 0) ||
            (params->fixed_freq && nla_put_flag(msg, NL80211_ATTR_FREQ_FIXED) < 0)) {
            nlmsg_free(msg);
            return -1;
        }
        memcpy(drv->ssid, params->ssid, params->ssid_len);
        drv->ssid_len = params->ssid_len;
        unsigned int km = params->key_mgmt_suite;
        if ((km == WPA_KEY_MGMT_IEEE8021X || km == WPA_KEY_MGMT_PSK || km == WPA_KEY_MGMT_IEEE8021X_SHA256 ||
             km == WPA_KEY_MGMT_PSK_SHA256) &&
            nla_put_flag(msg, NL80211_ATTR_CONTROL_PORT) < 0) {
            nlmsg_free(msg);
            return -1;
        }
        if (params->wpa_ie &&
            nla_put(msg, NL80211_ATTR_IE, static_cast<int>(params->wpa_ie_len), params->wpa_ie) < 0) {
            nlmsg_free(msg);
            return -1;
        }
        int ret = send_and_recv_msgs(drv, msg, nullptr, nullptr);
        if (ret != -EALREADY || tries == 1) return ret;
        nl_msg *leave = nl80211_drv_msg(drv, 0, NL80211_CMD_LEAVE_IBSS);
        if (leave) send_and_recv_msgs(drv, leave, nullptr, nullptr);
    }
    return -1;
}

int try_connect(nl80211_drv *drv, wpa_driver_associate_params *params) {
    nl_msg *msg = nl80211_drv_msg(drv, 0, NL80211_CMD_CONNECT);
    if (msg == nullptr) return -1;
    if (put_connect_common(drv, params, msg) < 0) goto fail;
    {
        int algs = 0;
        if (params->auth_alg & WPA_AUTH_ALG_OPEN) algs++;
        if (params->auth_alg & WPA_AUTH_ALG_SHARED) algs++;
        if (params->auth_alg & WPA_AUTH_ALG_LEAP) algs++;
        if (algs <= 1) {
            // With two or more the kernel chooses: no type is sent.
            int type = -1;
            if (params->auth_alg & WPA_AUTH_ALG_OPEN)
                type = NL80211_AUTHTYPE_OPEN_SYSTEM;
            else if (params->auth_alg & WPA_AUTH_ALG_SHARED)
                type = NL80211_AUTHTYPE_SHARED_KEY;
            else if (params->auth_alg & WPA_AUTH_ALG_LEAP)
                type = NL80211_AUTHTYPE_NETWORK_EAP;
            else if (params->auth_alg & WPA_AUTH_ALG_FT)
                type = NL80211_AUTHTYPE_FT;
            if (type < 0 || nla_put_u32(msg, NL80211_ATTR_AUTH_TYPE, static_cast<uint32_t>(type)) < 0)
                goto fail;
        }
    }
    if (put_connect_keys(msg, params) < 0) goto fail;
    return send_and_recv_msgs(drv, msg, nullptr, nullptr);
fail:
    nlmsg_free(msg);
    return -1;
}

int nl80211_connect(nl80211_iface *bss, wpa_driver_associate_params *params) {
    nl80211_drv *drv = bss->drv;
    if (params->bssid)
        memcpy(drv->auth_attempt_bssid, params->bssid, 6);
    else
        memset(drv->auth_attempt_bssid, 0, 6);
    int ret = try_connect(drv, params);
    if (ret == -EALREADY) {
        // A connection is still up in the kernel: end it and try once more.
        nl80211_mark_disconnected(drv);
        nl_msg *msg = nl80211_drv_msg(drv, 0, NL80211_CMD_DISCONNECT);
        if (msg == nullptr || nla_put_u16(msg, NL80211_ATTR_REASON_CODE, 2) < 0) {
            if (msg) nlmsg_free(msg);
            return -1;
        }
        if (send_and_recv_msgs(drv, msg, nullptr, nullptr) < 0) return -1;
        drv->ignore_next_local_disconnect = 1;
        ret = try_connect(drv, params);
    }
    return ret;
}

} // namespace

int nl80211_associate(void *priv, wpa_driver_associate_params *params) {
    auto *bss = static_cast<nl80211_iface *>(priv);
    nl80211_drv *drv = bss->drv;
    if (params->mode == 2) {
        int old_mode = drv->nlmode;
        int nlmode = params->p2p ? NL80211_IFTYPE_P2P_GO : NL80211_IFTYPE_AP;
        if (nl80211_set_mode(bss, nlmode) < 0) {
            nl80211_remove_monitor_interface(drv);
            return -1;
        }
        if (params->freq.freq) {
            nl_msg *msg = nl80211_drv_msg(drv, 0, NL80211_CMD_SET_WIPHY);
            int ret = msg ? put_freq_params(msg, &params->freq) : -1;
            if (msg && ret == 0)
                ret = send_and_recv_msgs(drv, msg, nullptr, nullptr);
            else if (msg)
                nlmsg_free(msg);
            if (ret < 0) {
                if (old_mode != nlmode) nl80211_set_mode(bss, old_mode);
                return ret;
            }
            bss->freq = params->freq.freq;
        }
        return 0;
    }
    if (params->mode == 1) return join_ibss(bss, params);
    if (!(drv->capa.flags & WPA_DRIVER_FLAGS_SME)) {
        int nlmode = params->p2p ? NL80211_IFTYPE_P2P_CLIENT : NL80211_IFTYPE_STATION;
        if (nl80211_set_mode(bss, nlmode) < 0) return -1;
        return nl80211_connect(bss, params);
    }
    nl80211_mark_disconnected(drv);
    nl_msg *msg = nl80211_drv_msg(drv, 0, NL80211_CMD_ASSOCIATE);
    if (msg == nullptr) return -1;
    if (put_connect_common(drv, params, msg) < 0) {
        nlmsg_free(msg);
        return -1;
    }
    return send_and_recv_msgs(drv, msg, nullptr, nullptr);
}

int nl80211_deauthenticate(void *priv, const uint8_t *addr, int reason_code) {
    auto *bss = static_cast<nl80211_iface *>(priv);
    nl80211_drv *drv = bss->drv;
    if (drv->nlmode == NL80211_IFTYPE_ADHOC) {
        nl80211_mark_disconnected(drv);
        nl_msg *msg = nl80211_drv_msg(drv, 0, NL80211_CMD_LEAVE_IBSS);
        int ret = msg ? send_and_recv_msgs(drv, msg, nullptr, nullptr) : -1;
        nl80211_set_mode(bss, NL80211_IFTYPE_STATION);
        return ret;
    }
    nl80211_mark_disconnected(drv);
    if (drv->capa.flags & WPA_DRIVER_FLAGS_SME) {
        int ret = send_deauth(drv, addr, static_cast<uint16_t>(reason_code), false);
        if (ret == 0) drv->ignore_next_local_deauth = 1;
        return ret;
    }
    nl_msg *msg = nl80211_drv_msg(drv, 0, NL80211_CMD_DISCONNECT);
    if (msg == nullptr) return -1;
    if (nla_put_u16(msg, NL80211_ATTR_REASON_CODE, static_cast<uint16_t>(reason_code)) < 0) {
        nlmsg_free(msg);
        return -1;
    }
    int ret = send_and_recv_msgs(drv, msg, nullptr, nullptr);
    if (ret == 0) drv->ignore_next_local_disconnect = 1;
    return ret;
}

// ---- PMKSA, port, signal ------------------------------------------------------------------

namespace {

int pmksa_cmd(nl80211_drv *drv, uint8_t cmd, const uint8_t *bssid, const uint8_t *pmkid) {
    nl_msg *msg = nl80211_drv_msg(drv, 0, cmd);
    if (msg == nullptr) return -ENOBUFS;
    if ((pmkid && nla_put(msg, NL80211_ATTR_PMKID, 16, pmkid) < 0) ||
        (bssid && nla_put(msg, NL80211_ATTR_MAC, 6, bssid) < 0)) {
        nlmsg_free(msg);
        return -ENOBUFS;
    }
    return send_and_recv_msgs(drv, msg, nullptr, nullptr);
}

} // namespace

int nl80211_add_pmkid(void *priv, const uint8_t *bssid, const uint8_t *pmkid) {
    return pmksa_cmd(static_cast<nl80211_iface *>(priv)->drv, NL80211_CMD_SET_PMKSA, bssid, pmkid);
}
int nl80211_remove_pmkid(void *priv, const uint8_t *bssid, const uint8_t *pmkid) {
    return pmksa_cmd(static_cast<nl80211_iface *>(priv)->drv, NL80211_CMD_DEL_PMKSA, bssid, pmkid);
}
int nl80211_flush_pmkid(void *priv) {
    return pmksa_cmd(static_cast<nl80211_iface *>(priv)->drv, NL80211_CMD_FLUSH_PMKSA, nullptr, nullptr);
}

int nl80211_set_supp_port(void *priv, int authorized) {
    nl80211_drv *drv = static_cast<nl80211_iface *>(priv)->drv;
    if (!drv->associated && is_zero(drv->bssid) && !authorized) return 0;
    nl_msg *msg = nl80211_drv_msg(drv, 0, NL80211_CMD_SET_STATION);
    if (msg == nullptr) return -ENOBUFS;
    nl80211_sta_flag_update upd{};
    upd.mask = 1u << NL80211_STA_FLAG_AUTHORIZED;
    upd.set = authorized ? upd.mask : 0;
    if (nla_put(msg, NL80211_ATTR_MAC, 6, drv->bssid) < 0 ||
        nla_put(msg, NL80211_ATTR_STA_FLAGS2, sizeof(upd), &upd) < 0) {
        nlmsg_free(msg);
        return -ENOBUFS;
    }
    return send_and_recv_msgs(drv, msg, nullptr, nullptr);
}

namespace {

int signal_handler(nlmsghdr *nlh, void *arg) {
    auto *sig = static_cast<wpa_signal_info *>(arg);
    nlattr *tb[NL80211_ATTR_MAX + 1];
    nlattr *sinfo[NL80211_STA_INFO_MAX + 1];
    if (nl80211_parse(nlh, tb) < 0 || !tb[NL80211_ATTR_STA_INFO]) return NL_SKIP;
    if (nla_parse_nested(sinfo, NL80211_STA_INFO_MAX, tb[NL80211_ATTR_STA_INFO], nullptr) < 0) return NL_SKIP;
    if (sinfo[NL80211_STA_INFO_SIGNAL])
        sig->current_signal = static_cast<int8_t>(nla_u8_or(sinfo[NL80211_STA_INFO_SIGNAL], 0));
    if (sinfo[NL80211_STA_INFO_SIGNAL_AVG])
        sig->avg_signal = static_cast<int8_t>(nla_u8_or(sinfo[NL80211_STA_INFO_SIGNAL_AVG], 0));
    if (sinfo[NL80211_STA_INFO_BEACON_SIGNAL_AVG])
        sig->avg_beacon_signal = static_cast<int8_t>(nla_u8_or(sinfo[NL80211_STA_INFO_BEACON_SIGNAL_AVG], 0));
    if (sinfo[NL80211_STA_INFO_TX_BITRATE]) {
        nlattr *rinfo[NL80211_RATE_INFO_MAX + 1];
        if (nla_parse_nested(rinfo, NL80211_RATE_INFO_MAX, sinfo[NL80211_STA_INFO_TX_BITRATE], nullptr) ==
                0 &&
            rinfo[NL80211_RATE_INFO_BITRATE])
            sig->current_txrate = nla_u16_or(rinfo[NL80211_RATE_INFO_BITRATE], 0) * 100;
    }
    return NL_SKIP;
}

int noise_handler(nlmsghdr *nlh, void *arg) {
    auto *sig = static_cast<wpa_signal_info *>(arg);
    nlattr *tb[NL80211_ATTR_MAX + 1];
    nlattr *sinfo[NL80211_SURVEY_INFO_MAX + 1];
    if (nl80211_parse(nlh, tb) < 0 || !tb[NL80211_ATTR_SURVEY_INFO]) return NL_SKIP;
    if (nla_parse_nested(sinfo, NL80211_SURVEY_INFO_MAX, tb[NL80211_ATTR_SURVEY_INFO], nullptr) < 0)
        return NL_SKIP;
    if (!sinfo[NL80211_SURVEY_INFO_FREQUENCY] || !sinfo[NL80211_SURVEY_INFO_NOISE]) return NL_SKIP;
    if (nla_u32_or(sinfo[NL80211_SURVEY_INFO_FREQUENCY], 0) != sig->frequency) return NL_SKIP;
    sig->current_noise = static_cast<int8_t>(nla_u8_or(sinfo[NL80211_SURVEY_INFO_NOISE], 0));
    return NL_SKIP;
}

int channel_width_handler(nlmsghdr *nlh, void *arg) {
    auto *sig = static_cast<wpa_signal_info *>(arg);
    nlattr *tb[NL80211_ATTR_MAX + 1];
    if (nl80211_parse(nlh, tb) < 0) return NL_SKIP;
    if (tb[NL80211_ATTR_CHANNEL_WIDTH]) {
        uint32_t w = nla_u32_or(tb[NL80211_ATTR_CHANNEL_WIDTH], 6);
        sig->chanwidth = static_cast<int>(w > 6 ? 6 : w);
        if (tb[NL80211_ATTR_CENTER_FREQ1])
            sig->center_frq1 = static_cast<int>(nla_u32_or(tb[NL80211_ATTR_CENTER_FREQ1], 0));
        if (tb[NL80211_ATTR_CENTER_FREQ2])
            sig->center_frq2 = static_cast<int>(nla_u32_or(tb[NL80211_ATTR_CENTER_FREQ2], 0));
    }
    return NL_SKIP;
}

} // namespace

int nl80211_get_link_signal(nl80211_drv *drv, wpa_signal_info *sig) {
    nl_msg *msg = nl80211_drv_msg(drv, 0, NL80211_CMD_GET_STATION);
    if (msg == nullptr) return -ENOBUFS;
    if (nla_put(msg, NL80211_ATTR_MAC, 6, drv->bssid) < 0) {
        nlmsg_free(msg);
        return -ENOBUFS;
    }
    sig->current_signal = -9999;
    sig->current_txrate = 0;
    return send_and_recv_msgs(drv, msg, signal_handler, sig);
}

int nl80211_get_link_noise(nl80211_drv *drv, wpa_signal_info *sig) {
    sig->current_noise = 9999;
    sig->frequency = drv->assoc_freq;
    nl_msg *msg = nl80211_drv_msg(drv, NLM_F_DUMP, NL80211_CMD_GET_SURVEY);
    if (msg == nullptr) return -ENOBUFS;
    return send_and_recv_msgs(drv, msg, noise_handler, sig);
}

int nl80211_signal_poll(void *priv, wpa_signal_info *si) {
    nl80211_drv *drv = static_cast<nl80211_iface *>(priv)->drv;
    *si = {};
    si->current_signal = -9999;
    si->current_noise = 9999;
    int ret = nl80211_get_link_signal(drv, si);
    if (ret) {
        if (drv->nlmode != NL80211_IFTYPE_ADHOC && drv->nlmode != NL80211_IFTYPE_MESH_POINT) return ret;
        si->current_signal = 0;
    }
    si->center_frq1 = -1;
    si->center_frq2 = -1;
    nl_msg *msg = nl80211_drv_msg(drv, 0, NL80211_CMD_GET_INTERFACE);
    if (msg) send_and_recv_msgs(drv, msg, channel_width_handler, si);
    nl80211_get_link_noise(drv, si);
    si->frequency = drv->assoc_freq;
    return 0;
}

int nl80211_signal_monitor(void *priv, int threshold, int hysteresis) {
    nl80211_drv *drv = static_cast<nl80211_iface *>(priv)->drv;
    nl_msg *msg = nl80211_drv_msg(drv, 0, NL80211_CMD_SET_CQM);
    if (msg == nullptr) return -1;
    nlattr *cqm = nla_nest_start(msg, NL80211_ATTR_CQM);
    if (cqm == nullptr ||
        nla_put_u32(msg, NL80211_ATTR_CQM_RSSI_THOLD, static_cast<uint32_t>(threshold)) < 0 ||
        nla_put_u32(msg, NL80211_ATTR_CQM_RSSI_HYST, static_cast<uint32_t>(hysteresis)) < 0) {
        nlmsg_free(msg);
        return -1;
    }
    nla_nest_end(msg, cqm);
    return send_and_recv_msgs(drv, msg, nullptr, nullptr);
}

int nl80211_get_bssid(void *priv, uint8_t *bssid) {
    nl80211_drv *drv = static_cast<nl80211_iface *>(priv)->drv;
    if (!drv->associated) return -1;
    memcpy(bssid, drv->bssid, 6);
    return 0;
}

int nl80211_get_ssid(void *priv, uint8_t *ssid) {
    nl80211_drv *drv = static_cast<nl80211_iface *>(priv)->drv;
    if (!drv->associated) return -1;
    memcpy(ssid, drv->ssid, drv->ssid_len);
    return static_cast<int>(drv->ssid_len);
}

// ---- Offloads and traffic streams ----------------------------------------------------------

int nl80211_update_ft_ies(void *priv, const uint8_t *md, const uint8_t *ies, size_t ies_len) {
    nl80211_drv *drv = static_cast<nl80211_iface *>(priv)->drv;
    nl_msg *msg = nl80211_drv_msg(drv, 0, NL80211_CMD_UPDATE_FT_IES);
    if (msg == nullptr) return -ENOBUFS;
    if (nla_put(msg, NL80211_ATTR_IE, static_cast<int>(ies_len), ies) < 0 ||
        (md && nla_put_u16(msg, NL80211_ATTR_MDID, static_cast<uint16_t>(md[0] | (md[1] << 8))) < 0)) {
        nlmsg_free(msg);
        return -ENOBUFS;
    }
    return send_and_recv_msgs(drv, msg, nullptr, nullptr);
}

int nl80211_set_wowlan(void *priv, const wowlan_triggers *t) {
    nl80211_drv *drv = static_cast<nl80211_iface *>(priv)->drv;
    nl_msg *msg = nl80211_drv_msg(drv, 0, NL80211_CMD_SET_WOWLAN);
    if (msg == nullptr) return -ENOBUFS;
    nlattr *trig = nla_nest_start(msg, NL80211_ATTR_WOWLAN_TRIGGERS);
    if (trig == nullptr || (t->any && nla_put_flag(msg, NL80211_WOWLAN_TRIG_ANY) < 0) ||
        (t->disconnect && nla_put_flag(msg, NL80211_WOWLAN_TRIG_DISCONNECT) < 0) ||
        (t->magic_pkt && nla_put_flag(msg, NL80211_WOWLAN_TRIG_MAGIC_PKT) < 0) ||
        (t->gtk_rekey_failure && nla_put_flag(msg, NL80211_WOWLAN_TRIG_GTK_REKEY_FAILURE) < 0) ||
        (t->eap_identity_req && nla_put_flag(msg, NL80211_WOWLAN_TRIG_EAP_IDENT_REQUEST) < 0) ||
        (t->four_way_handshake && nla_put_flag(msg, NL80211_WOWLAN_TRIG_4WAY_HANDSHAKE) < 0) ||
        (t->rfkill_release && nla_put_flag(msg, NL80211_WOWLAN_TRIG_RFKILL_RELEASE) < 0)) {
        nlmsg_free(msg);
        return -ENOBUFS;
    }
    nla_nest_end(msg, trig);
    return send_and_recv_msgs(drv, msg, nullptr, nullptr);
}

void nl80211_set_rekey_info(void *priv, const uint8_t *kek, size_t kek_len, const uint8_t *kck,
                            size_t kck_len, const uint8_t *replay_ctr) {
    nl80211_drv *drv = static_cast<nl80211_iface *>(priv)->drv;
    if (!drv->set_rekey_offload) return;
    nl_msg *msg = nl80211_drv_msg(drv, 0, NL80211_CMD_SET_REKEY_OFFLOAD);
    if (msg == nullptr) return;
    nlattr *rekey = nla_nest_start(msg, NL80211_ATTR_REKEY_DATA);
    if (rekey == nullptr || nla_put(msg, NL80211_REKEY_DATA_KEK, static_cast<int>(kek_len), kek) < 0 ||
        nla_put(msg, NL80211_REKEY_DATA_KCK, static_cast<int>(kck_len), kck) < 0 ||
        nla_put(msg, NL80211_REKEY_DATA_REPLAY_CTR, 8, replay_ctr) < 0) {
        nlmsg_free(msg);
        return;
    }
    nla_nest_end(msg, rekey);
    // Key material: the request is wiped after sending.
    if (send_and_recv_msgs(drv, msg, nullptr, reinterpret_cast<void *>(-1), true) == -EOPNOTSUPP)
        drv->set_rekey_offload = 0;
}

namespace {

bool tx_ts_allowed(const nl80211_drv *drv) {
    return drv->nlmode == NL80211_IFTYPE_STATION || drv->nlmode == NL80211_IFTYPE_P2P_CLIENT;
}

} // namespace

int nl80211_add_tx_ts(void *priv, uint8_t tsid, const uint8_t *addr, uint8_t user_prio,
                      uint16_t admitted_time) {
    nl80211_drv *drv = static_cast<nl80211_iface *>(priv)->drv;
    if (!tx_ts_allowed(drv)) return -EOPNOTSUPP;
    nl_msg *msg = nl80211_drv_msg(drv, 0, NL80211_CMD_ADD_TX_TS);
    if (msg == nullptr) return -ENOBUFS;
    if (nla_put_u8(msg, NL80211_ATTR_TSID, tsid) < 0 || nla_put(msg, NL80211_ATTR_MAC, 6, addr) < 0 ||
        nla_put_u8(msg, NL80211_ATTR_USER_PRIO, user_prio) < 0 ||
        nla_put_u16(msg, NL80211_ATTR_ADMITTED_TIME, admitted_time) < 0) {
        nlmsg_free(msg);
        return -ENOBUFS;
    }
    return send_and_recv_msgs(drv, msg, nullptr, nullptr);
}

int nl80211_del_tx_ts(void *priv, uint8_t tsid, const uint8_t *addr) {
    nl80211_drv *drv = static_cast<nl80211_iface *>(priv)->drv;
    if (!tx_ts_allowed(drv)) return -EOPNOTSUPP;
    nl_msg *msg = nl80211_drv_msg(drv, 0, NL80211_CMD_DEL_TX_TS);
    if (msg == nullptr) return -ENOBUFS;
    if (nla_put_u8(msg, NL80211_ATTR_TSID, tsid) < 0 || nla_put(msg, NL80211_ATTR_MAC, 6, addr) < 0) {
        nlmsg_free(msg);
        return -ENOBUFS;
    }
    return send_and_recv_msgs(drv, msg, nullptr, nullptr);
}

int nl80211_set_qos_map(void *priv, const uint8_t *qos_map_set, uint8_t qos_map_set_len) {
    nl80211_drv *drv = static_cast<nl80211_iface *>(priv)->drv;
    nl_msg *msg = nl80211_drv_msg(drv, 0, NL80211_CMD_SET_QOS_MAP);
    if (msg == nullptr) return -ENOBUFS;
    if (nla_put(msg, NL80211_ATTR_QOS_MAP, qos_map_set_len, qos_map_set) < 0) {
        nlmsg_free(msg);
        return -ENOBUFS;
    }
    return send_and_recv_msgs(drv, msg, nullptr, nullptr);
}

// ---- Management frames ---------------------------------------------------------------------

namespace {

int cookie_handler(nlmsghdr *nlh, void *arg) {
    nlattr *tb[NL80211_ATTR_MAX + 1];
    if (nl80211_parse(nlh, tb) == 0 && tb[NL80211_ATTR_COOKIE])
        *static_cast<uint64_t *>(arg) = nla_u64_or(tb[NL80211_ATTR_COOKIE], 0);
    return NL_SKIP;
}

} // namespace

int nl80211_send_frame_cmd(nl80211_iface *bss, unsigned int freq, unsigned int wait, const uint8_t *buf,
                           size_t len, uint64_t *cookie_out, int no_cck, int no_ack, int offchanok) {
    nl80211_drv *drv = bss->drv;
    if (len > 0xffff) return -1;
    nl_msg *msg = nl80211_cmd_msg(bss, 0, NL80211_CMD_FRAME);
    if (msg == nullptr) return -1;
    if ((freq && nla_put_u32(msg, NL80211_ATTR_WIPHY_FREQ, freq) < 0) ||
        (wait && nla_put_u32(msg, NL80211_ATTR_DURATION, wait) < 0) ||
        (offchanok && ((drv->capa.flags & WPA_DRIVER_FLAGS_OFFCHANNEL_TX) || drv->no_offchannel_tx) &&
         nla_put_flag(msg, NL80211_ATTR_OFFCHANNEL_TX_OK) < 0) ||
        (no_cck && nla_put_flag(msg, NL80211_ATTR_TX_NO_CCK_RATE) < 0) ||
        (no_ack && nla_put_flag(msg, NL80211_ATTR_DONT_WAIT_FOR_ACK) < 0) ||
        nla_put(msg, NL80211_ATTR_FRAME, static_cast<int>(len), buf) < 0) {
        nlmsg_free(msg);
        return -1;
    }
    uint64_t cookie = 0;
    int ret = send_and_recv_msgs(drv, msg, no_ack ? nullptr : cookie_handler, &cookie);
    if (ret < 0) return ret;
    if (no_ack) cookie = ~0ULL;
    if (cookie_out) *cookie_out = cookie;
    // The last cookies stay known so that a later cancel reaches every wait still running.
    if (drv->num_send_action_cookies == NL80211_SEND_COOKIES) {
        memmove(drv->send_action_cookies, drv->send_action_cookies + 1,
                (NL80211_SEND_COOKIES - 1) * sizeof(drv->send_action_cookies[0]));
        drv->num_send_action_cookies--;
    }
    drv->send_action_cookies[drv->num_send_action_cookies++] = cookie;
    return 0;
}

int nl80211_send_action(void *priv, unsigned int freq, unsigned int wait, const uint8_t *dst,
                        const uint8_t *src, const uint8_t *bssid, const uint8_t *data, size_t data_len,
                        int no_cck) {
    auto *bss = static_cast<nl80211_iface *>(priv);
    nl80211_drv *drv = bss->drv;
    // An access point's own frames take its management send path, which this back end
    // does not offer.
    if (nl80211_is_ap(drv->nlmode) &&
        !((drv->capa.flags & WPA_DRIVER_FLAGS_OFFCHANNEL_TX) &&
          freq != static_cast<unsigned int>(bss->freq) && drv->use_monitor && !drv->device_ap_sme))
        return -1;
    if (data_len > 2304) return -1;
    auto *frame = static_cast<uint8_t *>(calloc(1, 24 + data_len));
    if (frame == nullptr) return -1;
    frame[0] = 0xd0; // management, action
    memcpy(frame + 4, dst, 6);
    memcpy(frame + 10, src, 6);
    memcpy(frame + 16, bssid, 6);
    if (data_len) memcpy(frame + 24, data, data_len);
    uint64_t cookie = 0;
    int ret = nl80211_send_frame_cmd(bss, freq, wait, frame, 24 + data_len, &cookie, no_cck, 0, 1);
    free(frame);
    if (ret == 0) drv->send_action_cookie = cookie;
    return ret;
}
