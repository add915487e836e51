// Common 802.11 functions shared by the station, access-point and P2P code: the element
// walk, vendor payloads, frame-header BSSID, frequency/channel/operating-class conversion,
// hardware-mode channel checks, channel set-up parameters, the 20/40 MHz neighbour check,
// a few names, and the WMM and wake-on-WLAN parsers. All pure functions over their
// arguments.
#pragma once

#include <cstddef>
#include <cstdint>

struct wpa_buf;

// One slot per known element: a pointer to its payload (after id and length) and, where
// the element is kept with it, the payload length. All zero before parsing.
struct ieee80211_elems {
    const uint8_t *ssid;
    uint8_t ssid_len;
    const uint8_t *supp_rates;
    uint8_t supp_rates_len;
    const uint8_t *ds_params;
    const uint8_t *challenge;
    uint8_t challenge_len;
    const uint8_t *supp_channels;
    uint8_t supp_channels_len;
    const uint8_t *erp_info;
    const uint8_t *ht_capabilities;
    const uint8_t *rsn_ie;
    uint8_t rsn_ie_len;
    const uint8_t *ext_supp_rates;
    uint8_t ext_supp_rates_len;
    const uint8_t *mdie;
    uint8_t mdie_len;
    const uint8_t *ftie;
    uint8_t ftie_len;
    const uint8_t *timeout_int;
    const uint8_t *supp_op_classes;
    uint8_t supp_op_classes_len;
    const uint8_t *ht_operation;
    const uint8_t *rrm_enabled;
    uint8_t rrm_enabled_len;
    const uint8_t *ssid_list;
    uint8_t ssid_list_len;
    const uint8_t *bss_max_idle_period;
    const uint8_t *link_id;
    const uint8_t *interworking;
    uint8_t interworking_len;
    const uint8_t *qos_map_set;
    uint8_t qos_map_set_len;
    const uint8_t *mesh_config;
    uint8_t mesh_config_len;
    const uint8_t *mesh_id;
    uint8_t mesh_id_len;
    const uint8_t *peer_mgmt;
    uint8_t peer_mgmt_len;
    const uint8_t *ext_capab;
    uint8_t ext_capab_len;
    const uint8_t *ampe;
    uint8_t ampe_len;
    const uint8_t *mic;
    uint8_t mic_len;
    const uint8_t *mb_ies[5];
    uint8_t mb_ies_len[5];
    uint8_t mb_ies_count;
    const uint8_t *vht_capabilities;
    const uint8_t *vht_operation;
    const uint8_t *opmode_notif;
    // Vendor Specific elements: the payload starts with the OUI and type.
    const uint8_t *wpa_ie;
    uint8_t wpa_ie_len;
    const uint8_t *wmm; // WMM information or parameter element
    uint8_t wmm_len;
    const uint8_t *wmm_tspec;
    uint8_t wmm_tspec_len;
    const uint8_t *wps_ie;
    uint8_t wps_ie_len;
    const uint8_t *vendor_ht_cap; // 00:90:4C type 0x33
    uint8_t vendor_ht_cap_len;
    const uint8_t *vendor_vht; // 00:90:4C type 4
    uint8_t vendor_vht_len;
    const uint8_t *p2p;
    uint8_t p2p_len;
    const uint8_t *wfd;
    uint8_t wfd_len;
    const uint8_t *hs20;
    uint8_t hs20_len;
    const uint8_t *osen;
    uint8_t osen_len;
    const uint8_t *mbo;
    uint8_t mbo_len;
    const uint8_t *vendor_001374; // 00:13:74 type 0
    uint8_t vendor_001374_len;
};

// Hardware mode numbers.
enum : int {
    HW_MODE_IEEE80211B = 0,
    HW_MODE_IEEE80211G = 1,
    HW_MODE_IEEE80211A = 2,
    HW_MODE_IEEE80211AD = 3,
    HW_MODE_UNKNOWN = 5,
};

// Flag bits of hw_mode_info.
constexpr uint8_t HW_MODE_FLAG_HT_INFO_KNOWN = 0x1;
constexpr uint8_t HW_MODE_FLAG_VHT_INFO_KNOWN = 0x2;

// One channel of a hardware mode.
struct hw_channel_info {
    short chan;
    int freq;
    int flag;
    uint8_t max_tx_power;
    unsigned int dfs_cac_ms;
};

// One band of the radio with its channels, as the driver reports it.
struct hw_mode_info {
    int mode;
    int num_channels;
    hw_channel_info *channels;
    int num_rates;
    int *rates; // units of 100 kbit/s
    uint16_t ht_capab;
    uint8_t mcs_set[16];
    uint8_t a_mpdu_params;
    uint32_t vht_capab;
    uint8_t vht_mcs_set[8];
    unsigned int flags;
};

// One scan result; the elements follow the record in the same allocation: ie_len bytes of
// probe-response (or beacon) elements, then beacon_ie_len bytes of beacon elements.
struct wpa_scan_res {
    unsigned int flags;
    uint8_t bssid[6];
    int freq;
    uint16_t beacon_int;
    uint16_t caps;
    int qual;
    int noise;
    int level;
    uint64_t tsf;
    unsigned int age;
    unsigned int est_throughput;
    int snr;
    size_t ie_len;
    size_t beacon_ie_len;
};

inline const uint8_t *wpa_scan_res_ies(const wpa_scan_res *res) {
    return reinterpret_cast<const uint8_t *>(res + 1);
}

struct wpa_scan_results {
    wpa_scan_res **res;
    size_t num;
    int64_t fetch_sec;
    int64_t fetch_usec;
};

// Frequency parameters of a channel set-up.
struct hw_freq_params {
    int mode;
    int freq;
    int channel;
    int ht_enabled;
    int sec_channel_offset; // -1, 0, 1
    int vht_enabled;
    int center_freq1;
    int center_freq2; // 0 when none
    int bandwidth;    // MHz: 20, 40, 80, 160
};

// VHT channel width codes of a channel set-up.
enum : int {
    VHT_CHANWIDTH_USE_HT = 0,
    VHT_CHANWIDTH_80MHZ = 1,
    VHT_CHANWIDTH_160MHZ = 2,
    VHT_CHANWIDTH_80P80MHZ = 3,
};

// One access category's WMM parameters; categories 0..3 are BE, BK, VI, VO.
struct wmm_ac_params {
    int cwmin;
    int cwmax;
    int aifs;
    int txop_limit;
    int admission_control_mandatory;
};

// The wake-on-WLAN triggers, one flag each.
struct wowlan_triggers {
    uint8_t any;
    uint8_t disconnect;
    uint8_t magic_pkt;
    uint8_t gtk_rekey_failure;
    uint8_t eap_identity_req;
    uint8_t four_way_handshake;
    uint8_t rfkill_release;
};

// 0 all elements known, 1 some unknown, -1 an element runs past the end or one byte is
// left over.
int ieee802_11_parse_elems(const uint8_t *start, size_t len, ieee80211_elems *elems);
// The payloads (after OUI and type) of all vendor elements with this OUI and type, in
// order; null when there is none.
wpa_buf *ieee802_11_vendor_ie_concat(const uint8_t *ies, size_t ies_len, uint32_t oui_type);
// The first element with this id (its id byte), or null.
const uint8_t *get_ie(const uint8_t *ies, size_t len, uint8_t eid);
// The BSSID address inside an 802.11 header, or null.
const uint8_t *get_hdr_bssid(const uint8_t *hdr, size_t len);
bool supp_rates_11b_only(const ieee80211_elems *elems);

int ieee80211_freq_to_channel_ext(unsigned int freq, int sec_channel, int vht, uint8_t *op_class,
                                  uint8_t *channel);
int ieee80211_freq_to_chan(int freq, uint8_t *channel);
int ieee80211_chan_to_freq(const char *country, uint8_t op_class, uint8_t chan);
bool ieee80211_is_dfs(int freq);
int ieee80211_get_phy_type(int freq, int ht, int vht);

int hw_get_freq(const hw_mode_info *mode, int chan);
int hw_get_chan(const hw_mode_info *mode, int freq);
bool hw_ht_supported(const hw_mode_info *mode);
bool hw_vht_supported(const hw_mode_info *mode);
int hw_set_freq_params(hw_freq_params *data, int mode, int freq, int channel, int ht_enabled, int vht_enabled,
                       int sec_channel_offset, int vht_oper_chwidth, int center_segment0, int center_segment1,
                       uint32_t vht_caps);

void bss_get_pri_sec_chan(const wpa_scan_res *bss, int *pri_chan, int *sec_chan);
// 0 invalid arguments, 1 keep, 2 swap primary and secondary.
int check_40mhz_pair(const hw_mode_info *mode, const wpa_scan_results *scan_res, int pri_chan, int sec_chan);

const char *channel_width_to_string(int width);
const char *driver_flag_to_string(uint64_t flag);

int apd_config_wmm_ac(wmm_ac_params ac_pars[4], const char *name, const char *val);
// A new set of triggers (free with free()) or null.
wowlan_triggers *parse_wowlan_triggers(const char *wowlan_triggers_text, const wowlan_triggers *capa);
