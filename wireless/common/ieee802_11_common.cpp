#include "wireless/common/ieee802_11_common.h"

#include "wireless/core/wpabuf.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

uint32_t getBe24(const uint8_t *p) {
    return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
}

constexpr uint32_t kOuiMicrosoft = 0x0050f2;
constexpr uint32_t kOuiBroadcom = 0x00904c;
constexpr uint32_t kOuiWfa = 0x506f9a;
constexpr uint32_t kOuiQca = 0x001374;

enum : uint8_t {
    WLAN_EID_SSID = 0,
    WLAN_EID_SUPP_RATES = 1,
    WLAN_EID_DS_PARAMS = 3,
    WLAN_EID_CF_PARAMS = 4,
    WLAN_EID_TIM = 5,
    WLAN_EID_CHALLENGE = 16,
    WLAN_EID_PWR_CAPABILITY = 33,
    WLAN_EID_SUPPORTED_CHANNELS = 36,
    WLAN_EID_ERP_INFO = 42,
    WLAN_EID_HT_CAP = 45,
    WLAN_EID_RSN = 48,
    WLAN_EID_EXT_SUPP_RATES = 50,
    WLAN_EID_MOBILITY_DOMAIN = 54,
    WLAN_EID_FAST_BSS_TRANSITION = 55,
    WLAN_EID_TIMEOUT_INTERVAL = 56,
    WLAN_EID_SUPPORTED_OPERATING_CLASSES = 59,
    WLAN_EID_HT_OPERATION = 61,
    WLAN_EID_RRM_ENABLED_CAPABILITIES = 70,
    WLAN_EID_SSID_LIST = 84,
    WLAN_EID_BSS_MAX_IDLE_PERIOD = 90,
    WLAN_EID_LINK_ID = 101,
    WLAN_EID_INTERWORKING = 107,
    WLAN_EID_QOS_MAP_SET = 110,
    WLAN_EID_MESH_CONFIG = 113,
    WLAN_EID_MESH_ID = 114,
    WLAN_EID_PEER_MGMT = 117,
    WLAN_EID_EXT_CAPAB = 127,
    WLAN_EID_AMPE = 139,
    WLAN_EID_MIC = 140,
    WLAN_EID_MULTI_BAND = 158,
    WLAN_EID_VHT_CAP = 191,
    WLAN_EID_VHT_OPERATION = 192,
    WLAN_EID_OPMODE_NOTIF = 199,
    WLAN_EID_VENDOR_SPECIFIC = 221,
};

// A vendor element: returns false when it is not one the table knows.
bool parseVendor(const uint8_t *pos, uint8_t elen, ieee80211_elems *e) {
    // OUI and type are needed to tell vendor elements apart.
    if (elen < 4) return false;
    const uint32_t oui = getBe24(pos);
    const uint8_t type = pos[3];
    switch (oui) {
    case kOuiMicrosoft:
        switch (type) {
        case 1:
            e->wpa_ie = pos;
            e->wpa_ie_len = elen;
            return true;
        case 2:
            // WMM: the subtype byte follows the type.
            if (elen < 5) return false;
            switch (pos[4]) {
            case 0:
            case 1:
                e->wmm = pos;
                e->wmm_len = elen;
                return true;
            case 2:
                e->wmm_tspec = pos;
                e->wmm_tspec_len = elen;
                return true;
            default:
                return false;
            }
        case 4:
            e->wps_ie = pos;
            e->wps_ie_len = elen;
            return true;
        default:
            return false;
        }
    case kOuiBroadcom:
        if (type == 0x33) {
            e->vendor_ht_cap = pos;
            e->vendor_ht_cap_len = elen;
            return true;
        }
        // Pre-standard VHT: the byte after the type must be there to be checked.
        if (type == 4 && elen >= 5 && (pos[4] & 0xf7) == 0) {
            e->vendor_vht = pos;
            e->vendor_vht_len = elen;
            return true;
        }
        return false;
    case kOuiWfa:
        switch (type) {
        case 9:
            e->p2p = pos;
            e->p2p_len = elen;
            return true;
        case 10:
            e->wfd = pos;
            e->wfd_len = elen;
            return true;
        case 16:
            e->hs20 = pos;
            e->hs20_len = elen;
            return true;
        case 18:
            e->osen = pos;
            e->osen_len = elen;
            return true;
        case 22:
            e->mbo = pos;
            e->mbo_len = elen;
            return true;
        default:
            return false;
        }
    case kOuiQca:
        if (type == 0) {
            e->vendor_001374 = pos;
            e->vendor_001374_len = elen;
            return true;
        }
        return false;
    default:
        return false;
    }
}

} // namespace

int ieee802_11_parse_elems(const uint8_t *start, size_t len, ieee80211_elems *elems) {
    memset(elems, 0, sizeof(*elems));
    if (start == nullptr) len = 0;
    size_t left = len;
    const uint8_t *pos = start;
    bool unknown = false;

    while (left >= 2) {
        const uint8_t id = pos[0];
        const uint8_t elen = pos[1];
        pos += 2;
        left -= 2;
        if (elen > left) return -1;

        switch (id) {
        case WLAN_EID_SSID:
            if (elen > 32) break;
            elems->ssid = pos;
            elems->ssid_len = elen;
            break;
        case WLAN_EID_SUPP_RATES:
            elems->supp_rates = pos;
            elems->supp_rates_len = elen;
            break;
        case WLAN_EID_DS_PARAMS:
            if (elen >= 1) elems->ds_params = pos;
            break;
        case WLAN_EID_CF_PARAMS:
        case WLAN_EID_TIM:
        case WLAN_EID_PWR_CAPABILITY:
            break;
        case WLAN_EID_CHALLENGE:
            elems->challenge = pos;
            elems->challenge_len = elen;
            break;
        case WLAN_EID_SUPPORTED_CHANNELS:
            elems->supp_channels = pos;
            elems->supp_channels_len = elen;
            break;
        case WLAN_EID_ERP_INFO:
            if (elen >= 1) elems->erp_info = pos;
            break;
        case WLAN_EID_HT_CAP:
            if (elen >= 26) elems->ht_capabilities = pos;
            break;
        case WLAN_EID_RSN:
            elems->rsn_ie = pos;
            elems->rsn_ie_len = elen;
            break;
        case WLAN_EID_EXT_SUPP_RATES:
            elems->ext_supp_rates = pos;
            elems->ext_supp_rates_len = elen;
            break;
        case WLAN_EID_MOBILITY_DOMAIN:
            if (elen < 3) break;
            elems->mdie = pos;
            elems->mdie_len = elen;
            break;
        case WLAN_EID_FAST_BSS_TRANSITION:
            if (elen < 82) break;
            elems->ftie = pos;
            elems->ftie_len = elen;
            break;
        case WLAN_EID_TIMEOUT_INTERVAL:
            if (elen == 5) elems->timeout_int = pos;
            break;
        case WLAN_EID_SUPPORTED_OPERATING_CLASSES:
            elems->supp_op_classes = pos;
            elems->supp_op_classes_len = elen;
            break;
        case WLAN_EID_HT_OPERATION:
            if (elen >= 22) elems->ht_operation = pos;
            break;
        case WLAN_EID_RRM_ENABLED_CAPABILITIES:
            elems->rrm_enabled = pos;
            elems->rrm_enabled_len = elen;
            break;
        case WLAN_EID_SSID_LIST:
            elems->ssid_list = pos;
            elems->ssid_list_len = elen;
            break;
        case WLAN_EID_BSS_MAX_IDLE_PERIOD:
            if (elen >= 3) elems->bss_max_idle_period = pos;
            break;
        case WLAN_EID_LINK_ID:
            if (elen >= 18) elems->link_id = pos;
            break;
        case WLAN_EID_INTERWORKING:
            elems->interworking = pos;
            elems->interworking_len = elen;
            break;
        case WLAN_EID_QOS_MAP_SET:
            if (elen < 16) break;
            elems->qos_map_set = pos;
            elems->qos_map_set_len = elen;
            break;
        case WLAN_EID_MESH_CONFIG:
            elems->mesh_config = pos;
            elems->mesh_config_len = elen;
            break;
        case WLAN_EID_MESH_ID:
            elems->mesh_id = pos;
            elems->mesh_id_len = elen;
            break;
        case WLAN_EID_PEER_MGMT:
            elems->peer_mgmt = pos;
            elems->peer_mgmt_len = elen;
            break;
        case WLAN_EID_EXT_CAPAB:
            elems->ext_capab = pos;
            elems->ext_capab_len = elen;
            break;
        case WLAN_EID_AMPE:
            elems->ampe = pos;
            elems->ampe_len = elen;
            break;
        case WLAN_EID_MIC:
            // Nothing after the MIC element is parsed.
            elems->mic = pos;
            elems->mic_len = elen;
            return unknown ? 1 : 0;
        case WLAN_EID_MULTI_BAND:
            if (elems->mb_ies_count >= 5) break;
            elems->mb_ies[elems->mb_ies_count] = pos;
            elems->mb_ies_len[elems->mb_ies_count] = elen;
            elems->mb_ies_count++;
            break;
        case WLAN_EID_VHT_CAP:
            if (elen >= 12) elems->vht_capabilities = pos;
            break;
        case WLAN_EID_VHT_OPERATION:
            if (elen >= 5) elems->vht_operation = pos;
            break;
        case WLAN_EID_OPMODE_NOTIF:
            if (elen == 1) elems->opmode_notif = pos;
            break;
        case WLAN_EID_VENDOR_SPECIFIC:
            if (!parseVendor(pos, elen, elems)) unknown = true;
            break;
        default:
            unknown = true;
            break;
        }
        pos += elen;
        left -= elen;
    }
    if (left != 0) return -1;
    return unknown ? 1 : 0;
}

wpa_buf *ieee802_11_vendor_ie_concat(const uint8_t *ies, size_t ies_len, uint32_t oui_type) {
    if (ies == nullptr) return nullptr;
    // First pass: how many payload bytes match, so the buffer is sized once.
    size_t total = 0;
    bool found = false;
    for (size_t pos = 0; pos + 2 <= ies_len;) {
        const uint8_t elen = ies[pos + 1];
        if (elen > ies_len - pos - 2) break;
        const uint8_t *p = ies + pos + 2;
        if (ies[pos] == WLAN_EID_VENDOR_SPECIFIC && elen >= 4 && ((getBe24(p) << 8) | p[3]) == oui_type) {
            total += elen - 4u;
            found = true;
        }
        pos += 2 + elen;
    }
    if (!found) return nullptr;
    wpa_buf *buf = wpa_buf_alloc(total);
    if (buf == nullptr) return nullptr;
    for (size_t pos = 0; pos + 2 <= ies_len;) {
        const uint8_t elen = ies[pos + 1];
        if (elen > ies_len - pos - 2) break;
        const uint8_t *p = ies + pos + 2;
        if (ies[pos] == WLAN_EID_VENDOR_SPECIFIC && elen >= 4 && ((getBe24(p) << 8) | p[3]) == oui_type)
            wpa_buf_put_data(buf, p + 4, elen - 4u);
        pos += 2 + elen;
    }
    return buf;
}

const uint8_t *get_ie(const uint8_t *ies, size_t len, uint8_t eid) {
    if (ies == nullptr) return nullptr;
    for (size_t pos = 0; pos + 2 <= len;) {
        const uint8_t elen = ies[pos + 1];
        if (elen > len - pos - 2) return nullptr;
        if (ies[pos] == eid) return ies + pos;
        pos += 2 + elen;
    }
    return nullptr;
}

const uint8_t *get_hdr_bssid(const uint8_t *hdr, size_t len) {
    // Frame control, duration, address 1 at 4, address 2 at 10, address 3 at 16.
    if (hdr == nullptr || len < 16) return nullptr;
    const uint16_t fc = static_cast<uint16_t>(hdr[0] | (hdr[1] << 8));
    const unsigned type = (fc >> 2) & 3;
    const unsigned stype = (fc >> 4) & 0xf;
    const bool toDs = fc & 0x0100;
    const bool fromDs = fc & 0x0200;
    switch (type) {
    case 0:
        // Address 3 ends at byte 22; a management header is 24 bytes.
        return len >= 24 ? hdr + 16 : nullptr;
    case 1:
        return stype == 10 ? hdr + 4 : nullptr;
    case 2:
        if (len < 24) return nullptr;
        if (toDs) return hdr + 4;
        if (fromDs) return hdr + 10;
        return nullptr;
    default:
        return nullptr;
    }
}

bool supp_rates_11b_only(const ieee80211_elems *elems) {
    size_t count = 0;
    const uint8_t *lists[2] = {elems->supp_rates, elems->ext_supp_rates};
    const size_t lens[2] = {elems->supp_rates ? elems->supp_rates_len : 0u,
                            elems->ext_supp_rates ? elems->ext_supp_rates_len : 0u};
    for (int l = 0; l < 2; l++) {
        for (size_t i = 0; i < lens[l]; i++) {
            const uint8_t r = lists[l][i];
            if (r != 2 && r != 4 && r != 11 && r != 22) return false;
            count++;
        }
    }
    return count > 0;
}

int ieee80211_freq_to_channel_ext(unsigned int freq, int sec_channel, int vht, uint8_t *op_class,
                                  uint8_t *channel) {
    if (sec_channel < -1 || sec_channel > 1) return HW_MODE_UNKNOWN;
    if (vht < VHT_CHANWIDTH_USE_HT || vht > VHT_CHANWIDTH_80P80MHZ) return HW_MODE_UNKNOWN;

    if (freq >= 2412 && freq <= 2472) {
        if ((freq - 2407) % 5 != 0 || vht != VHT_CHANWIDTH_USE_HT) return HW_MODE_UNKNOWN;
        *channel = static_cast<uint8_t>((freq - 2407) / 5);
        *op_class = sec_channel == 1 ? 83 : sec_channel == -1 ? 84 : 81;
        return HW_MODE_IEEE80211G;
    }
    if (freq == 2484) {
        if (sec_channel != 0 || vht != VHT_CHANWIDTH_USE_HT) return HW_MODE_UNKNOWN;
        *channel = 14;
        *op_class = 82;
        return HW_MODE_IEEE80211B;
    }
    if (freq >= 4900 && freq < 5000) {
        if ((freq - 4000) % 5 != 0) return HW_MODE_UNKNOWN;
        *channel = static_cast<uint8_t>((freq - 4000) / 5);
        *op_class = 0;
        return HW_MODE_IEEE80211A;
    }
    if (freq > 5000 && freq < 5900) {
        if ((freq - 5000) % 5 != 0) return HW_MODE_UNKNOWN;
        *channel = static_cast<uint8_t>((freq - 5000) / 5);
        if (vht == VHT_CHANWIDTH_80MHZ) {
            *op_class = 128;
        } else if (vht == VHT_CHANWIDTH_160MHZ) {
            *op_class = 129;
        } else if (vht == VHT_CHANWIDTH_80P80MHZ) {
            *op_class = 130;
        } else if (freq >= 5180 && freq <= 5240) {
            *op_class = sec_channel == 1 ? 116 : sec_channel == -1 ? 117 : 115;
        } else if (freq >= 5260 && freq <= 5320) {
            *op_class = sec_channel == 1 ? 119 : sec_channel == -1 ? 120 : 118;
        } else if (freq <= 5700) {
            *op_class = sec_channel == 1 ? 122 : sec_channel == -1 ? 123 : 121;
        } else if (freq >= 5745 && freq <= 5845) {
            if (sec_channel == 1)
                *op_class = 126;
            else if (sec_channel == -1)
                *op_class = 127;
            else
                *op_class = freq <= 5805 ? 124 : 125;
        } else {
            *op_class = 0;
        }
        return HW_MODE_IEEE80211A;
    }
    if (freq >= 58320 && freq <= 64800) {
        if (sec_channel != 0 || vht != VHT_CHANWIDTH_USE_HT) return HW_MODE_UNKNOWN;
        *channel = static_cast<uint8_t>((freq - 56160) / 2160);
        *op_class = 180;
        return HW_MODE_IEEE80211AD;
    }
    return HW_MODE_UNKNOWN;
}

int ieee80211_freq_to_chan(int freq, uint8_t *channel) {
    uint8_t op_class = 0;
    if (freq < 0) return HW_MODE_UNKNOWN;
    return ieee80211_freq_to_channel_ext(static_cast<unsigned int>(freq), 0, VHT_CHANWIDTH_USE_HT, &op_class,
                                         channel);
}

namespace {

int freq24(int chan, int lo, int hi) {
    return chan >= lo && chan <= hi ? 2407 + 5 * chan : -1;
}
int freq5(int chan, int lo, int hi) {
    return chan >= lo && chan <= hi ? 5000 + 5 * chan : -1;
}
int freq60(int chan, int lo, int hi) {
    return chan >= lo && chan <= hi ? 56160 + 2160 * chan : -1;
}

bool countryIn(const char *country, const char *const *list) {
    for (; *list != nullptr; list++) {
        if (country[0] == (*list)[0] && country[1] == (*list)[1]) return true;
    }
    return false;
}

const char *const kUsCountries[] = {"US", "CA", nullptr};
const char *const kEuCountries[] = {"AL", "AM", "AT", "AZ", "BA", "BE", "BG", "BY", "CH", "CY",   "CZ", "DE",
                                    "DK", "EE", "EL", "ES", "FI", "FR", "GE", "HR", "HU", "IE",   "IS", "IT",
                                    "LI", "LT", "LU", "LV", "MD", "ME", "MK", "MT", "NL", "NO",   "PL", "PT",
                                    "RO", "RS", "RU", "SE", "SI", "SK", "TR", "UA", "UK", nullptr};
const char *const kJpCountries[] = {"JP", nullptr};
const char *const kCnCountries[] = {"CN", nullptr};

int chanToFreqUs(int op_class, int chan) {
    switch (op_class) {
    case 1:
    case 2:
    case 22:
    case 23:
    case 27:
    case 28:
        return freq5(chan, 36, 64);
    case 3:
    case 25:
    case 26:
    case 30:
    case 31:
        return freq5(chan, 149, 161);
    case 4:
    case 24:
        return freq5(chan, 100, 144);
    case 5:
        return freq5(chan, 149, 165);
    case 12:
    case 32:
    case 33:
        return freq24(chan, 1, 11);
    case 34:
        return freq60(chan, 1, 3);
    default:
        return -1;
    }
}

int chanToFreqEu(int op_class, int chan) {
    switch (op_class) {
    case 1:
    case 2:
    case 5:
    case 6:
    case 8:
    case 9:
        return freq5(chan, 36, 64);
    case 3:
    case 7:
    case 10:
    case 16:
        return freq5(chan, 100, 140);
    case 4:
    case 11:
    case 12:
        return freq24(chan, 1, 13);
    case 17:
        return freq5(chan, 149, 169);
    case 18:
        return freq60(chan, 1, 4);
    default:
        return -1;
    }
}

int chanToFreqJp(int op_class, int chan) {
    switch (op_class) {
    case 1:
    case 32:
    case 33:
    case 36:
    case 37:
    case 38:
    case 41:
    case 42:
    case 43:
        return freq5(chan, 34, 64);
    case 30:
    case 56:
    case 57:
        return freq24(chan, 1, 13);
    case 31:
        return chan == 14 ? 2484 : -1;
    case 34:
    case 35:
    case 39:
    case 40:
    case 44:
    case 45:
    case 58:
        return freq5(chan, 100, 140);
    case 59:
        return freq60(chan, 1, 3);
    default:
        return -1;
    }
}

// The China table; its 2.4 GHz classes refuse other channels outright.
int chanToFreqCn(int op_class, int chan, bool *final) {
    switch (op_class) {
    case 1:
    case 2:
    case 4:
    case 5:
        return freq5(chan, 36, 64);
    case 3:
    case 6:
        return freq5(chan, 149, 165);
    case 7:
    case 8:
    case 9:
        *final = true;
        return freq24(chan, 1, 13);
    default:
        return -1;
    }
}

int chanToFreqGlobal(int op_class, int chan) {
    switch (op_class) {
    case 81:
    case 83:
    case 84:
        return freq24(chan, 1, 13);
    case 82:
        return chan == 14 ? 2484 : -1;
    case 115:
    case 116:
    case 117:
    case 118:
    case 119:
    case 120:
        return freq5(chan, 36, 64);
    case 121:
    case 122:
    case 123:
        return freq5(chan, 100, 140);
    case 124:
    case 126:
    case 127:
        return freq5(chan, 149, 161);
    case 125:
        return freq5(chan, 149, 169);
    case 128:
    case 130:
        return freq5(chan, 36, 161);
    case 129:
        return freq5(chan, 50, 114);
    case 180:
        return freq60(chan, 1, 4);
    default:
        return -1;
    }
}

} // namespace

int ieee80211_chan_to_freq(const char *country, uint8_t op_class, uint8_t chan) {
    // Country texts are compared by their first two characters.
    if (country != nullptr && country[0] != '\0' && country[1] != '\0') {
        int freq = -1;
        if (countryIn(country, kUsCountries)) freq = chanToFreqUs(op_class, chan);
        if (freq < 0 && countryIn(country, kEuCountries)) freq = chanToFreqEu(op_class, chan);
        if (freq < 0 && countryIn(country, kJpCountries)) freq = chanToFreqJp(op_class, chan);
        if (freq < 0 && countryIn(country, kCnCountries)) {
            bool final = false;
            freq = chanToFreqCn(op_class, chan, &final);
            if (final) return freq;
        }
        if (freq > 0) return freq;
    }
    return chanToFreqGlobal(op_class, chan);
}

bool ieee80211_is_dfs(int freq) {
    return (freq >= 5260 && freq <= 5320) || (freq >= 5500 && freq <= 5700);
}

int ieee80211_get_phy_type(int freq, int ht, int vht) {
    if (vht) return 9;
    if (ht) return 7;
    uint8_t chan = 0;
    switch (ieee80211_freq_to_chan(freq, &chan)) {
    case HW_MODE_IEEE80211B:
        return 5;
    case HW_MODE_IEEE80211G:
        return 6;
    case HW_MODE_IEEE80211A:
        return 4;
    case HW_MODE_IEEE80211AD:
        return 8;
    default:
        return 0;
    }
}

int hw_get_freq(const hw_mode_info *mode, int chan) {
    if (mode == nullptr || mode->channels == nullptr) return 0;
    for (int i = 0; i < mode->num_channels; i++) {
        if (mode->channels[i].chan == chan) return mode->channels[i].freq;
    }
    return 0;
}

int hw_get_chan(const hw_mode_info *mode, int freq) {
    if (mode == nullptr || mode->channels == nullptr) return 0;
    for (int i = 0; i < mode->num_channels; i++) {
        if (mode->channels[i].freq == freq) return mode->channels[i].chan;
    }
    return 0;
}

bool hw_ht_supported(const hw_mode_info *mode) {
    return !((mode->flags & HW_MODE_FLAG_HT_INFO_KNOWN) && mode->mcs_set[0] != 0xff);
}

bool hw_vht_supported(const hw_mode_info *mode) {
    return !((mode->flags & HW_MODE_FLAG_VHT_INFO_KNOWN) && (mode->vht_mcs_set[0] & 0x3) == 0x3);
}

int hw_set_freq_params(hw_freq_params *data, int mode, int freq, int channel, int ht_enabled, int vht_enabled,
                       int sec_channel_offset, int vht_oper_chwidth, int center_segment0, int center_segment1,
                       uint32_t vht_caps) {
    memset(data, 0, sizeof(*data));
    data->mode = mode;
    data->freq = freq;
    data->channel = channel;
    data->ht_enabled = ht_enabled;
    data->vht_enabled = vht_enabled;
    data->sec_channel_offset = sec_channel_offset;
    data->center_freq1 = freq + sec_channel_offset * 10;
    data->center_freq2 = 0;
    data->bandwidth = sec_channel_offset ? 40 : 20;
    if (!vht_enabled) return 0;

    switch (vht_oper_chwidth) {
    case VHT_CHANWIDTH_USE_HT:
        if (center_segment1) return -1;
        if (center_segment0 && data->center_freq1 != 5000 + center_segment0 * 5 &&
            data->center_freq1 != 2407 + center_segment0 * 5)
            return -1;
        return 0;
    case VHT_CHANWIDTH_80P80MHZ:
        if (!(vht_caps & 0x8)) return -1;
        if (!sec_channel_offset) return -1;
        if (!center_segment1) return -1;
        if (center_segment1 == center_segment0 + 4 || center_segment1 == center_segment0 - 4) return -1;
        data->center_freq2 = 5000 + center_segment1 * 5;
        [[fallthrough]];
    case VHT_CHANWIDTH_80MHZ:
        data->bandwidth = 80;
        if (vht_oper_chwidth == VHT_CHANWIDTH_80MHZ && center_segment1) return -1;
        if (!sec_channel_offset) return -1;
        if (!center_segment0) {
            // The centre of the 80 MHz block that holds the channel.
            int centre;
            if (channel <= 48)
                centre = 42;
            else if (channel <= 64)
                centre = 58;
            else if (channel <= 112)
                centre = 106;
            else if (channel <= 128)
                centre = 122;
            else if (channel <= 144)
                centre = 138;
            else if (channel <= 161)
                centre = 155;
            else
                return -1;
            data->center_freq1 = 5000 + centre * 5;
        } else {
            if (channel != center_segment0 - 6 && channel != center_segment0 - 2 &&
                channel != center_segment0 + 2 && channel != center_segment0 + 6)
                return -1;
            data->center_freq1 = 5000 + center_segment0 * 5;
        }
        return 0;
    case VHT_CHANWIDTH_160MHZ: {
        data->bandwidth = 160;
        if (!(vht_caps & 0xc)) return -1;
        if (!sec_channel_offset) return -1;
        if (center_segment1) return -1;
        const int d = channel - center_segment0;
        if (d != -14 && d != -10 && d != -6 && d != -2 && d != 2 && d != 6 && d != 10 && d != 14) return -1;
        data->center_freq1 = 5000 + center_segment0 * 5;
        return 0;
    }
    default:
        return 0;
    }
}

void bss_get_pri_sec_chan(const wpa_scan_res *bss, int *pri_chan, int *sec_chan) {
    *pri_chan = 0;
    *sec_chan = 0;
    if (bss == nullptr) return;
    const uint8_t *ie = get_ie(wpa_scan_res_ies(bss), bss->ie_len, WLAN_EID_HT_OPERATION);
    // Primary channel and the secondary-channel bits are the first two payload bytes.
    if (ie == nullptr || ie[1] < 2) return;
    *pri_chan = ie[2];
    if (ie[3] & 0x04) {
        const unsigned offset = ie[3] & 0x03;
        if (offset == 1)
            *sec_chan = *pri_chan + 4;
        else if (offset == 3)
            *sec_chan = *pri_chan - 4;
    }
}

int check_40mhz_pair(const hw_mode_info *mode, const wpa_scan_results *scan_res, int pri_chan, int sec_chan) {
    if (mode == nullptr || scan_res == nullptr || !pri_chan || !sec_chan || pri_chan == sec_chan) return 0;
    const int pri_freq = hw_get_freq(mode, pri_chan);
    const int sec_freq = hw_get_freq(mode, sec_chan);

    // A neighbour on our secondary channel and none on our primary: swap.
    bool pri_bss = false;
    bool sec_bss = false;
    for (size_t i = 0; i < scan_res->num; i++) {
        const wpa_scan_res *bss = scan_res->res[i];
        if (bss == nullptr) continue;
        if (bss->freq == pri_freq) pri_bss = true;
        if (bss->freq == sec_freq) sec_bss = true;
    }
    if (sec_bss && !pri_bss) return 2;

    // A neighbour with the same pair: keep; one with the pair reversed: swap.
    bool match = false;
    for (size_t i = 0; i < scan_res->num; i++) {
        int bss_pri = 0;
        int bss_sec = 0;
        bss_get_pri_sec_chan(scan_res->res[i], &bss_pri, &bss_sec);
        if (bss_pri == pri_chan && bss_sec == sec_chan) {
            match = true;
            break;
        }
    }
    if (match) return 1;
    for (size_t i = 0; i < scan_res->num; i++) {
        int bss_pri = 0;
        int bss_sec = 0;
        bss_get_pri_sec_chan(scan_res->res[i], &bss_pri, &bss_sec);
        if (bss_pri == sec_chan && bss_sec == pri_chan) return 2;
    }
    return 1;
}

const char *channel_width_to_string(int width) {
    static const char *const names[] = {"20 MHz (no HT)", "20 MHz",    "40 MHz",
                                        "80 MHz",         "80+80 MHz", "160 MHz"};
    if (width < 0 || width >= static_cast<int>(sizeof(names) / sizeof(names[0]))) return "unknown";
    return names[width];
}

const char *driver_flag_to_string(uint64_t flag) {
    static const char *const names[] = {
        "DRIVER_IE",
        "SET_KEYS_AFTER_ASSOC",
        "DFS_OFFLOAD",
        "4WAY_HANDSHAKE",
        "WIRED",
        "SME",
        "AP",
        "SET_KEYS_AFTER_ASSOC_DONE",
        "HT_2040_COEX",
        "P2P_CONCURRENT",
        "P2P_DEDICATED_INTERFACE",
        "P2P_CAPABLE",
        "AP_TEARDOWN_SUPPORT",
        "P2P_MGMT_AND_NON_P2P",
        "SANE_ERROR_CODES",
        "OFFCHANNEL_TX",
        "EAPOL_TX_STATUS",
        "DEAUTH_TX_STATUS",
        "BSS_SELECTION",
        "TDLS_SUPPORT",
        "TDLS_EXTERNAL_SETUP",
        "PROBE_RESP_OFFLOAD",
        "AP_UAPSD",
        "INACTIVITY_TIMER",
        "AP_MLME",
        "SAE",
        "OBSS_SCAN",
        "IBSS",
        "RADAR",
        "DEDICATED_P2P_DEVICE",
        "QOS_MAPPING",
        "AP_CSA",
        "MESH",
        "ACS_OFFLOAD",
        "KEY_MGMT_OFFLOAD",
        "TDLS_CHANNEL_SWITCH",
        "HT_IBSS",
        "VHT_IBSS",
        "SUPPORT_HW_MODE_ANY",
        "OFFCHANNEL_SIMULTANEOUS",
        "FULL_AP_CLIENT_STATE",
        "P2P_LISTEN_OFFLOAD",
    };
    for (size_t bit = 0; bit < sizeof(names) / sizeof(names[0]); bit++) {
        if (flag == (uint64_t(1) << bit)) return names[bit];
    }
    return "UNKNOWN";
}

namespace {

// A decimal value in [lo, hi]; false for anything else.
bool parseDecimal(const char *text, long lo, long hi, int *out) {
    if (text == nullptr || *text == '\0') return false;
    errno = 0;
    char *end = nullptr;
    const long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
    *out = static_cast<int>(v);
    return true;
}

} // namespace

int apd_config_wmm_ac(wmm_ac_params ac_pars[4], const char *name, const char *val) {
    static const char prefix[] = "wmm_ac_";
    if (name == nullptr || strncmp(name, prefix, sizeof(prefix) - 1) != 0) return -1;
    const char *pos = name + sizeof(prefix) - 1;
    static const char *const acs[] = {"be_", "bk_", "vi_", "vo_"};
    int num = -1;
    for (int i = 0; i < 4; i++) {
        if (strncmp(pos, acs[i], 3) == 0) {
            num = i;
            break;
        }
    }
    if (num < 0) return -1;
    pos += 3;
    wmm_ac_params &ac = ac_pars[num];
    if (strcmp(pos, "aifs") == 0) return parseDecimal(val, 1, 255, &ac.aifs) ? 0 : -1;
    if (strcmp(pos, "cwmin") == 0) return parseDecimal(val, 0, 15, &ac.cwmin) ? 0 : -1;
    if (strcmp(pos, "cwmax") == 0) return parseDecimal(val, 0, 15, &ac.cwmax) ? 0 : -1;
    if (strcmp(pos, "txop_limit") == 0) return parseDecimal(val, 0, 65535, &ac.txop_limit) ? 0 : -1;
    if (strcmp(pos, "acm") == 0) return parseDecimal(val, 0, 1, &ac.admission_control_mandatory) ? 0 : -1;
    return -1;
}

wowlan_triggers *parse_wowlan_triggers(const char *wowlan_triggers_text, const wowlan_triggers *capa) {
    if (wowlan_triggers_text == nullptr || capa == nullptr) return nullptr;
    wowlan_triggers triggers{};
    struct Word {
        const char *name;
        uint8_t wowlan_triggers::*flag;
    };
    static const Word words[] = {
        {"any", &wowlan_triggers::any},
        {"disconnect", &wowlan_triggers::disconnect},
        {"magic_pkt", &wowlan_triggers::magic_pkt},
        {"gtk_rekey_failure", &wowlan_triggers::gtk_rekey_failure},
        {"eap_identity_req", &wowlan_triggers::eap_identity_req},
        {"four_way_handshake", &wowlan_triggers::four_way_handshake},
        {"rfkill_release", &wowlan_triggers::rfkill_release},
    };
    const char *pos = wowlan_triggers_text;
    while (*pos != '\0') {
        while (*pos == ' ' || *pos == '\t')
            pos++;
        if (*pos == '\0') break;
        const char *end = pos;
        while (*end != '\0' && *end != ' ' && *end != '\t')
            end++;
        const size_t wlen = static_cast<size_t>(end - pos);
        bool ok = false;
        for (const Word &w : words) {
            if (strlen(w.name) == wlen && strncmp(w.name, pos, wlen) == 0) {
                // A trigger the driver lacks fails the whole list.
                if (!(capa->*w.flag)) return nullptr;
                triggers.*w.flag = 1;
                ok = true;
                break;
            }
        }
        if (!ok) return nullptr;
        pos = end;
    }
    auto *out = static_cast<wowlan_triggers *>(malloc(sizeof(wowlan_triggers)));
    if (out != nullptr) *out = triggers;
    return out;
}
