// What the radio can do: the wiphy dump read into the capability record and the radio's
// flag bits, and the hardware modes (bands, channels, rates) with the regulatory rules.
#include "wireless/common/ieee802_11_common.h"
#include "wireless/drivers/driver_nl80211_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netlink/attr.h>
#include <netlink/genl/genl.h>
#include <netlink/msg.h>

struct wiphy_info_data {
    nl80211_drv *drv;
    wpa_driver_capa *capa;
    unsigned int error : 1;
    unsigned int device_ap_sme : 1;
    unsigned int poll_command_supported : 1;
    unsigned int data_tx_status : 1;
    unsigned int auth_supported : 1;
    unsigned int connect_supported : 1;
    unsigned int p2p_go_supported : 1;
    unsigned int p2p_client_supported : 1;
    unsigned int p2p_go_ctwindow_supported : 1;
    unsigned int p2p_concurrent : 1;
    unsigned int channel_switch_supported : 1;
    unsigned int set_qos_map_supported : 1;
    unsigned int have_low_prio_scan : 1;
    unsigned int wmm_ac_supported : 1;
    unsigned int mac_addr_rand_scan_supported : 1;
    unsigned int mac_addr_rand_sched_scan_supported : 1;
    unsigned int num_multichan_concurrent;
};

namespace {

void wiphy_info_supported_iftypes(wiphy_info_data *info, nlattr *tb) {
    nlattr *nl_mode;
    int i;
    nla_for_each_nested(nl_mode, tb, i) {
        switch (nla_type(nl_mode)) {
        case NL80211_IFTYPE_ADHOC:
            info->capa->flags |= WPA_DRIVER_FLAGS_IBSS;
            break;
        case NL80211_IFTYPE_AP:
            info->capa->flags |= WPA_DRIVER_FLAGS_AP;
            break;
        case NL80211_IFTYPE_MESH_POINT:
            info->capa->flags |= WPA_DRIVER_FLAGS_MESH;
            break;
        case NL80211_IFTYPE_P2P_GO:
            info->p2p_go_supported = 1;
            break;
        case NL80211_IFTYPE_P2P_CLIENT:
            info->p2p_client_supported = 1;
            break;
        case NL80211_IFTYPE_P2P_DEVICE:
            info->capa->flags |= WPA_DRIVER_FLAGS_DEDICATED_P2P_DEVICE;
            break;
        default:
            break;
        }
    }
}

void wiphy_info_iface_comb(wiphy_info_data *info, nlattr *nl_combi) {
    nlattr *tb_comb[NUM_NL80211_IFACE_COMB];
    if (nla_parse_nested(tb_comb, MAX_NL80211_IFACE_COMB, nl_combi, nullptr) < 0) return;
    if (!tb_comb[NL80211_IFACE_COMB_LIMITS] || !tb_comb[NL80211_IFACE_COMB_MAXNUM] ||
        !tb_comb[NL80211_IFACE_COMB_NUM_CHANNELS])
        return;
    if (tb_comb[NL80211_IFACE_COMB_RADAR_DETECT_WIDTHS]) info->capa->flags |= WPA_DRIVER_FLAGS_RADAR;
    bool combination_has_p2p = false, combination_has_mgd = false;
    nlattr *nl_limit;
    int rem_limit;
    nla_for_each_nested(nl_limit, tb_comb[NL80211_IFACE_COMB_LIMITS], rem_limit) {
        nlattr *tb_limit[NUM_NL80211_IFACE_LIMIT];
        if (nla_parse_nested(tb_limit, MAX_NL80211_IFACE_LIMIT, nl_limit, nullptr) < 0 ||
            !tb_limit[NL80211_IFACE_LIMIT_TYPES])
            continue;
        nlattr *nl_mode;
        int rem_mode;
        nla_for_each_nested(nl_mode, tb_limit[NL80211_IFACE_LIMIT_TYPES], rem_mode) {
            int ift = nla_type(nl_mode);
            if (ift == NL80211_IFTYPE_P2P_GO || ift == NL80211_IFTYPE_P2P_CLIENT) combination_has_p2p = true;
            if (ift == NL80211_IFTYPE_STATION) combination_has_mgd = true;
        }
        if (combination_has_p2p && combination_has_mgd) break;
    }
    if (combination_has_p2p && combination_has_mgd) {
        unsigned int num = nla_u32_or(tb_comb[NL80211_IFACE_COMB_NUM_CHANNELS], 0);
        info->p2p_concurrent = 1;
        if (info->num_multichan_concurrent < num) info->num_multichan_concurrent = num;
    }
}

void wiphy_info_supp_cmds(wiphy_info_data *info, nlattr *tb) {
    nlattr *nl_cmd;
    int i;
    nla_for_each_nested(nl_cmd, tb, i) {
        switch (nla_u32_or(nl_cmd, 0)) {
        case NL80211_CMD_AUTHENTICATE:
            info->auth_supported = 1;
            break;
        case NL80211_CMD_CONNECT:
            info->connect_supported = 1;
            break;
        case NL80211_CMD_START_SCHED_SCAN:
            info->capa->sched_scan_supported = 1;
            break;
        case NL80211_CMD_PROBE_CLIENT:
            info->poll_command_supported = 1;
            break;
        case NL80211_CMD_CHANNEL_SWITCH:
            info->channel_switch_supported = 1;
            break;
        case NL80211_CMD_SET_QOS_MAP:
            info->set_qos_map_supported = 1;
            break;
        default:
            break;
        }
    }
}

void wiphy_info_cipher_suites(wiphy_info_data *info, nlattr *tb) {
    int num = nla_len(tb) / 4;
    const auto *p = static_cast<const uint8_t *>(nla_data(tb));
    for (int i = 0; i < num; i++) {
        uint32_t c;
        memcpy(&c, p + 4 * i, 4);
        switch (c) {
        case 0x000FAC01:
            info->capa->enc |= WPA_DRIVER_CAPA_ENC_WEP40;
            break;
        case 0x000FAC05:
            info->capa->enc |= WPA_DRIVER_CAPA_ENC_WEP104;
            break;
        case 0x000FAC02:
            info->capa->enc |= WPA_DRIVER_CAPA_ENC_TKIP;
            break;
        case 0x000FAC04:
            info->capa->enc |= WPA_DRIVER_CAPA_ENC_CCMP;
            break;
        case 0x000FAC08:
            info->capa->enc |= WPA_DRIVER_CAPA_ENC_GCMP;
            break;
        case 0x000FAC09:
            info->capa->enc |= WPA_DRIVER_CAPA_ENC_GCMP_256;
            break;
        case 0x000FAC0A:
            info->capa->enc |= WPA_DRIVER_CAPA_ENC_CCMP_256;
            break;
        case 0x000FAC06:
            info->capa->enc |= WPA_DRIVER_CAPA_ENC_BIP;
            break;
        case 0x000FAC0B:
            info->capa->enc |= WPA_DRIVER_CAPA_ENC_BIP_GMAC_128;
            break;
        case 0x000FAC0C:
            info->capa->enc |= WPA_DRIVER_CAPA_ENC_BIP_GMAC_256;
            break;
        case 0x000FAC0D:
            info->capa->enc |= WPA_DRIVER_CAPA_ENC_BIP_CMAC_256;
            break;
        case 0x000FAC07:
            info->capa->enc |= WPA_DRIVER_CAPA_ENC_GTK_NOT_USED;
            break;
        default:
            break;
        }
    }
}

// A copy of the extended capabilities and their mask, both cut to the shorter one's
// length so that neither is read past its end.
bool copy_ext_capa(nlattr *capa, nlattr *mask, uint8_t **out_capa, uint8_t **out_mask,
                   unsigned int *out_len) {
    int len = nla_len(capa) < nla_len(mask) ? nla_len(capa) : nla_len(mask);
    if (len <= 0) return false;
    auto *c = static_cast<uint8_t *>(malloc(static_cast<size_t>(len)));
    auto *m = static_cast<uint8_t *>(malloc(static_cast<size_t>(len)));
    if (c == nullptr || m == nullptr) {
        free(c);
        free(m);
        return false;
    }
    memcpy(c, nla_data(capa), static_cast<size_t>(len));
    memcpy(m, nla_data(mask), static_cast<size_t>(len));
    *out_capa = c;
    *out_mask = m;
    *out_len = static_cast<unsigned int>(len);
    return true;
}

void wiphy_info_iftype_ext_capa(nl80211_drv *drv, nlattr *tb) {
    nlattr *attr;
    int rem;
    nla_for_each_nested(attr, tb, rem) {
        if (drv->num_iface_ext_capa == NL80211_EXT_CAPA_TYPES) break;
        nlattr *tb1[NL80211_ATTR_MAX + 1];
        if (nla_parse_nested(tb1, NL80211_ATTR_MAX, attr, nullptr) < 0) continue;
        if (!tb1[NL80211_ATTR_IFTYPE] || !tb1[NL80211_ATTR_EXT_CAPA] || !tb1[NL80211_ATTR_EXT_CAPA_MASK])
            continue;
        nl80211_iface_ext_capa &e = drv->iface_ext_capa[drv->num_iface_ext_capa];
        e.iftype = static_cast<int>(nla_u32_or(tb1[NL80211_ATTR_IFTYPE], 0));
        if (!copy_ext_capa(tb1[NL80211_ATTR_EXT_CAPA], tb1[NL80211_ATTR_EXT_CAPA_MASK], &e.ext_capa,
                           &e.ext_capa_mask, &e.ext_capa_len)) {
            // A copy that cannot be made drops them all.
            for (unsigned int i = 0; i < drv->num_iface_ext_capa; i++) {
                free(drv->iface_ext_capa[i].ext_capa);
                free(drv->iface_ext_capa[i].ext_capa_mask);
                drv->iface_ext_capa[i] = {};
            }
            drv->num_iface_ext_capa = 0;
            return;
        }
        drv->num_iface_ext_capa++;
    }
}

void wiphy_info_wowlan_triggers(nl80211_drv *drv, nlattr *tb) {
    nlattr *triggers[MAX_NL80211_WOWLAN_TRIG + 1];
    if (nla_parse_nested(triggers, MAX_NL80211_WOWLAN_TRIG, tb, nullptr) < 0) return;
    static const int kinds[7] = {NL80211_WOWLAN_TRIG_ANY,
                                 NL80211_WOWLAN_TRIG_DISCONNECT,
                                 NL80211_WOWLAN_TRIG_MAGIC_PKT,
                                 NL80211_WOWLAN_TRIG_GTK_REKEY_FAILURE,
                                 NL80211_WOWLAN_TRIG_EAP_IDENT_REQUEST,
                                 NL80211_WOWLAN_TRIG_4WAY_HANDSHAKE,
                                 NL80211_WOWLAN_TRIG_RFKILL_RELEASE};
    for (int i = 0; i < 7; i++)
        if (triggers[kinds[i]]) drv->wowlan_triggers[i] = 1;
}

} // namespace

int nl80211_wiphy_info_handler(nlmsghdr *nlh, void *arg) {
    auto *info = static_cast<wiphy_info_data *>(arg);
    nl80211_drv *drv = info->drv;
    wpa_driver_capa *capa = info->capa;
    nlattr *tb[NL80211_ATTR_MAX + 1];
    if (nl80211_parse(nlh, tb) < 0) return NL_SKIP;

    if (tb[NL80211_ATTR_WIPHY]) drv->wiphy_idx = static_cast<int>(nla_u32_or(tb[NL80211_ATTR_WIPHY], 0));
    if (tb[NL80211_ATTR_WIPHY_NAME]) {
        int n = nla_len(tb[NL80211_ATTR_WIPHY_NAME]);
        if (n > static_cast<int>(sizeof(drv->phyname)) - 1) n = sizeof(drv->phyname) - 1;
        memcpy(drv->phyname, nla_data(tb[NL80211_ATTR_WIPHY_NAME]), static_cast<size_t>(n));
        drv->phyname[n] = '\0';
    }
    if (tb[NL80211_ATTR_MAX_NUM_SCAN_SSIDS])
        capa->max_scan_ssids = nla_u8_or(tb[NL80211_ATTR_MAX_NUM_SCAN_SSIDS], 0);
    if (tb[NL80211_ATTR_MAX_NUM_SCHED_SCAN_SSIDS])
        capa->max_sched_scan_ssids = nla_u8_or(tb[NL80211_ATTR_MAX_NUM_SCHED_SCAN_SSIDS], 0);
    if (tb[NL80211_ATTR_MAX_NUM_SCHED_SCAN_PLANS] && tb[NL80211_ATTR_MAX_SCAN_PLAN_INTERVAL] &&
        tb[NL80211_ATTR_MAX_SCAN_PLAN_ITERATIONS]) {
        capa->max_sched_scan_plans =
            static_cast<int>(nla_u32_or(tb[NL80211_ATTR_MAX_NUM_SCHED_SCAN_PLANS], 0));
        capa->max_sched_scan_plan_interval =
            static_cast<int>(nla_u32_or(tb[NL80211_ATTR_MAX_SCAN_PLAN_INTERVAL], 0));
        capa->max_sched_scan_plan_iterations =
            static_cast<int>(nla_u32_or(tb[NL80211_ATTR_MAX_SCAN_PLAN_ITERATIONS], 0));
    }
    if (tb[NL80211_ATTR_MAX_MATCH_SETS]) capa->max_match_sets = nla_u8_or(tb[NL80211_ATTR_MAX_MATCH_SETS], 0);
    if (tb[NL80211_ATTR_MAC_ACL_MAX]) capa->max_acl_mac_addrs = nla_u32_or(tb[NL80211_ATTR_MAC_ACL_MAX], 0);
    if (tb[NL80211_ATTR_SUPPORTED_IFTYPES])
        wiphy_info_supported_iftypes(info, tb[NL80211_ATTR_SUPPORTED_IFTYPES]);
    if (tb[NL80211_ATTR_INTERFACE_COMBINATIONS]) {
        nlattr *nl_combi;
        int rem;
        nla_for_each_nested(nl_combi, tb[NL80211_ATTR_INTERFACE_COMBINATIONS], rem) {
            wiphy_info_iface_comb(info, nl_combi);
        }
    }
    if (tb[NL80211_ATTR_SUPPORTED_COMMANDS]) wiphy_info_supp_cmds(info, tb[NL80211_ATTR_SUPPORTED_COMMANDS]);
    if (tb[NL80211_ATTR_CIPHER_SUITES]) wiphy_info_cipher_suites(info, tb[NL80211_ATTR_CIPHER_SUITES]);
    if (tb[NL80211_ATTR_OFFCHANNEL_TX_OK]) capa->flags |= WPA_DRIVER_FLAGS_OFFCHANNEL_TX;
    if (tb[NL80211_ATTR_ROAM_SUPPORT]) capa->flags |= WPA_DRIVER_FLAGS_BSS_SELECTION;
    if (tb[NL80211_ATTR_MAX_REMAIN_ON_CHANNEL_DURATION])
        capa->max_remain_on_chan = nla_u32_or(tb[NL80211_ATTR_MAX_REMAIN_ON_CHANNEL_DURATION], 0);
    if (tb[NL80211_ATTR_SUPPORT_AP_UAPSD]) capa->flags |= WPA_DRIVER_FLAGS_AP_UAPSD;
    if (tb[NL80211_ATTR_TDLS_SUPPORT]) {
        capa->flags |= WPA_DRIVER_FLAGS_TDLS_SUPPORT;
        if (tb[NL80211_ATTR_TDLS_EXTERNAL_SETUP]) capa->flags |= WPA_DRIVER_FLAGS_TDLS_EXTERNAL_SETUP;
    }
    if (tb[NL80211_ATTR_DEVICE_AP_SME]) info->device_ap_sme = 1;
    if (tb[NL80211_ATTR_FEATURE_FLAGS]) {
        uint32_t flags = nla_u32_or(tb[NL80211_ATTR_FEATURE_FLAGS], 0);
        if (flags & NL80211_FEATURE_SK_TX_STATUS) info->data_tx_status = 1;
        if (flags & NL80211_FEATURE_INACTIVITY_TIMER) capa->flags |= WPA_DRIVER_FLAGS_INACTIVITY_TIMER;
        if (flags & NL80211_FEATURE_SAE) capa->flags |= WPA_DRIVER_FLAGS_SAE;
        if (flags & NL80211_FEATURE_NEED_OBSS_SCAN) capa->flags |= WPA_DRIVER_FLAGS_OBSS_SCAN;
        if (flags & NL80211_FEATURE_AP_MODE_CHAN_WIDTH_CHANGE) capa->flags |= WPA_DRIVER_FLAGS_HT_2040_COEX;
        if (flags & NL80211_FEATURE_LOW_PRIORITY_SCAN) info->have_low_prio_scan = 1;
        if (flags & NL80211_FEATURE_SCAN_RANDOM_MAC_ADDR) info->mac_addr_rand_scan_supported = 1;
        if (flags & NL80211_FEATURE_SCHED_SCAN_RANDOM_MAC_ADDR) info->mac_addr_rand_sched_scan_supported = 1;
        if (flags & NL80211_FEATURE_TDLS_CHANNEL_SWITCH) capa->flags |= WPA_DRIVER_FLAGS_TDLS_CHANNEL_SWITCH;
        if (flags & NL80211_FEATURE_P2P_GO_CTWIN) info->p2p_go_ctwindow_supported = 1;
        if (flags & NL80211_FEATURE_FULL_AP_CLIENT_STATE)
            capa->flags |= WPA_DRIVER_FLAGS_FULL_AP_CLIENT_STATE;
        if (flags & NL80211_FEATURE_SUPPORTS_WMM_ADMISSION) info->wmm_ac_supported = 1;
        if (flags & NL80211_FEATURE_DS_PARAM_SET_IE_IN_PROBES) drv->rrm_flags |= 0x1;
        if (flags & NL80211_FEATURE_WFA_TPC_IE_IN_PROBES) drv->rrm_flags |= 0x2;
        if (flags & NL80211_FEATURE_QUIET) drv->rrm_flags |= 0x4;
        if (flags & NL80211_FEATURE_TX_POWER_INSERTION) drv->rrm_flags |= 0x8;
        if (flags & NL80211_FEATURE_HT_IBSS) capa->flags |= WPA_DRIVER_FLAGS_HT_IBSS;
    }
    if (tb[NL80211_ATTR_EXT_FEATURES]) {
        const auto *ext = static_cast<const uint8_t *>(nla_data(tb[NL80211_ATTR_EXT_FEATURES]));
        int len = nla_len(tb[NL80211_ATTR_EXT_FEATURES]);
        if (NL80211_EXT_FEATURE_VHT_IBSS / 8 < len &&
            (ext[NL80211_EXT_FEATURE_VHT_IBSS / 8] >> (NL80211_EXT_FEATURE_VHT_IBSS % 8)) & 1)
            capa->flags |= WPA_DRIVER_FLAGS_VHT_IBSS;
    }
    if (tb[NL80211_ATTR_PROBE_RESP_OFFLOAD]) {
        capa->flags |= WPA_DRIVER_FLAGS_PROBE_RESP_OFFLOAD;
        capa->probe_resp_offloads = nla_u32_or(tb[NL80211_ATTR_PROBE_RESP_OFFLOAD], 0);
    }
    if (tb[NL80211_ATTR_EXT_CAPA] && tb[NL80211_ATTR_EXT_CAPA_MASK] && drv->extended_capa == nullptr)
        copy_ext_capa(tb[NL80211_ATTR_EXT_CAPA], tb[NL80211_ATTR_EXT_CAPA_MASK], &drv->extended_capa,
                      &drv->extended_capa_mask, &drv->extended_capa_len);
    if (tb[NL80211_ATTR_IFTYPE_EXT_CAPA]) wiphy_info_iftype_ext_capa(drv, tb[NL80211_ATTR_IFTYPE_EXT_CAPA]);
    if (tb[NL80211_ATTR_WOWLAN_TRIGGERS_SUPPORTED])
        wiphy_info_wowlan_triggers(drv, tb[NL80211_ATTR_WOWLAN_TRIGGERS_SUPPORTED]);
    if (tb[NL80211_ATTR_MAX_AP_ASSOC_STA])
        capa->max_stations = nla_u32_or(tb[NL80211_ATTR_MAX_AP_ASSOC_STA], 0);
    if (tb[NL80211_ATTR_MAX_CSA_COUNTERS])
        drv->max_csa_counters = nla_u8_or(tb[NL80211_ATTR_MAX_CSA_COUNTERS], 0);
    return NL_SKIP;
}

namespace {

int protocol_feature_handler(nlmsghdr *nlh, void *arg) {
    nlattr *tb[NL80211_ATTR_MAX + 1];
    if (nl80211_parse(nlh, tb) < 0) return NL_SKIP;
    if (tb[NL80211_ATTR_PROTOCOL_FEATURES])
        *static_cast<uint32_t *>(arg) = nla_u32_or(tb[NL80211_ATTR_PROTOCOL_FEATURES], 0);
    return NL_SKIP;
}

uint32_t get_protocol_features(nl80211_drv *drv) {
    nl_msg *msg = nlmsg_alloc();
    if (msg == nullptr) return 0;
    if (genlmsg_put(msg, 0, 0, drv->global->nl80211_id, 0, 0, NL80211_CMD_GET_PROTOCOL_FEATURES, 0) ==
        nullptr) {
        nlmsg_free(msg);
        return 0;
    }
    uint32_t feat = 0;
    if (send_and_recv_msgs(drv, msg, protocol_feature_handler, &feat) < 0) return 0;
    return feat;
}

// The wiphy request of the radio: a split dump when the kernel offers it.
nl_msg *wiphy_msg(nl80211_drv *drv, bool split) {
    nl_msg *msg = nl80211_drv_msg(drv, split ? NLM_F_DUMP : 0, NL80211_CMD_GET_WIPHY);
    if (msg && nla_put_flag(msg, NL80211_ATTR_SPLIT_WIPHY_DUMP) < 0) {
        nlmsg_free(msg);
        return nullptr;
    }
    return msg;
}

} // namespace

int nl80211_capabilities(nl80211_drv *drv) {
    // A reappearing interface reads its radio again from a clean record.
    free(drv->extended_capa);
    free(drv->extended_capa_mask);
    drv->extended_capa = drv->extended_capa_mask = nullptr;
    drv->extended_capa_len = 0;
    for (unsigned int i = 0; i < drv->num_iface_ext_capa; i++) {
        free(drv->iface_ext_capa[i].ext_capa);
        free(drv->iface_ext_capa[i].ext_capa_mask);
        drv->iface_ext_capa[i] = {};
    }
    drv->num_iface_ext_capa = 0;
    uint64_t param_flags =
        drv->capa.flags & (WPA_DRIVER_FLAGS_P2P_DEDICATED_INTERFACE | WPA_DRIVER_FLAGS_P2P_MGMT_AND_NON_P2P |
                           WPA_DRIVER_FLAGS_BSS_SELECTION);
    drv->capa = {};
    drv->has_capability = 0;

    wiphy_info_data info{};
    info.drv = drv;
    info.capa = &drv->capa;
    bool split = (get_protocol_features(drv) & NL80211_PROTOCOL_FEATURE_SPLIT_WIPHY_DUMP) != 0;
    nl_msg *msg = wiphy_msg(drv, split);
    if (msg == nullptr || send_and_recv_msgs(drv, msg, nl80211_wiphy_info_handler, &info) < 0) return -1;
    if (info.error) return -1;

    wpa_driver_capa *capa = &drv->capa;
    if (info.auth_supported)
        capa->flags |= WPA_DRIVER_FLAGS_SME;
    else if (!info.connect_supported)
        return -1; // a radio that can neither authenticate nor connect is of no use
    if (info.p2p_go_supported && info.p2p_client_supported) capa->flags |= WPA_DRIVER_FLAGS_P2P_CAPABLE;
    if (info.p2p_concurrent) {
        capa->flags |= WPA_DRIVER_FLAGS_P2P_CONCURRENT | WPA_DRIVER_FLAGS_P2P_MGMT_AND_NON_P2P;
    }
    if (info.num_multichan_concurrent > 1) capa->num_multichan_concurrent = info.num_multichan_concurrent;
    if (capa->max_remain_on_chan == 0) capa->max_remain_on_chan = 5000;
    capa->wmm_ac_supported = info.wmm_ac_supported;
    capa->mac_addr_rand_scan_supported = info.mac_addr_rand_scan_supported;
    capa->mac_addr_rand_sched_scan_supported = info.mac_addr_rand_sched_scan_supported;
    if (info.channel_switch_supported) {
        capa->flags |= WPA_DRIVER_FLAGS_AP_CSA;
        if (drv->max_csa_counters == 0) drv->max_csa_counters = 1;
    }
    if (capa->max_sched_scan_plans == 0) {
        capa->max_sched_scan_plans = 1;
        capa->max_sched_scan_plan_interval = static_cast<int>(UINT32_MAX);
        capa->max_sched_scan_plan_iterations = 0;
    }
    drv->has_capability = 1;
    capa->key_mgmt = 0x30F;
    capa->auth = 7;
    if (info.device_ap_sme)
        capa->flags |= WPA_DRIVER_FLAGS_AP_TEARDOWN_SUPPORT | WPA_DRIVER_FLAGS_SANE_ERROR_CODES |
                       WPA_DRIVER_FLAGS_EAPOL_TX_STATUS | WPA_DRIVER_FLAGS_SET_KEYS_AFTER_ASSOC_DONE;
    else
        capa->flags |= WPA_DRIVER_FLAGS_AP_MLME | WPA_DRIVER_FLAGS_DEAUTH_TX_STATUS |
                       WPA_DRIVER_FLAGS_EAPOL_TX_STATUS | WPA_DRIVER_FLAGS_SANE_ERROR_CODES |
                       WPA_DRIVER_FLAGS_AP_TEARDOWN_SUPPORT | WPA_DRIVER_FLAGS_SET_KEYS_AFTER_ASSOC_DONE;
    drv->device_ap_sme = info.device_ap_sme;
    drv->poll_command_supported = info.poll_command_supported;
    drv->data_tx_status = info.data_tx_status;
    drv->p2p_go_ctwindow_supported = info.p2p_go_ctwindow_supported;
    if (info.set_qos_map_supported) capa->flags |= WPA_DRIVER_FLAGS_QOS_MAPPING;
    drv->have_low_prio_scan = info.have_low_prio_scan;
    drv->use_monitor = !info.device_ap_sme && !(info.poll_command_supported && info.data_tx_status);
    if (!drv->data_tx_status && !drv->use_monitor) capa->flags &= ~WPA_DRIVER_FLAGS_EAPOL_TX_STATUS;
    // What the driver parameters asked for holds over a new reading.
    capa->flags |= param_flags;
    capa->rrm_flags = static_cast<unsigned int>(drv->rrm_flags);
    if (drv->force_connect_cmd) capa->flags &= ~WPA_DRIVER_FLAGS_SME;
    if (drv->no_offchannel_tx) capa->flags &= ~WPA_DRIVER_FLAGS_OFFCHANNEL_TX;
    if (drv->param_use_monitor) drv->use_monitor = 1;
    return 0;
}

// ---- Hardware modes ----------------------------------------------------------------------

namespace {

hw_mode_info *grow_modes(phy_info_arg *phy) {
    auto *m = static_cast<hw_mode_info *>(realloc(phy->modes, sizeof(hw_mode_info) * (*phy->num_modes + 1)));
    if (m == nullptr) return nullptr;
    phy->modes = m;
    hw_mode_info *mode = &m[*phy->num_modes];
    memset(mode, 0, sizeof(*mode));
    mode->mode = HW_MODE_UNKNOWN;
    mode->flags = HW_MODE_FLAG_HT_INFO_KNOWN | HW_MODE_FLAG_VHT_INFO_KNOWN;
    (*phy->num_modes)++;
    return mode;
}

void phy_info_freq(hw_channel_info *chan, nlattr **tb_freq) {
    uint8_t channel = 0;
    chan->freq = static_cast<int>(nla_u32_or(tb_freq[NL80211_FREQUENCY_ATTR_FREQ], 0));
    chan->flag = 0;
    chan->dfs_cac_ms = 0;
    if (ieee80211_freq_to_chan(chan->freq, &channel) != HW_MODE_UNKNOWN) chan->chan = channel;
    if (tb_freq[NL80211_FREQUENCY_ATTR_DISABLED]) chan->flag |= 0x1;
    if (tb_freq[NL80211_FREQUENCY_ATTR_NO_IR]) chan->flag |= 0x2;
    if (tb_freq[NL80211_FREQUENCY_ATTR_RADAR]) chan->flag |= 0x8;
    if (tb_freq[NL80211_FREQUENCY_ATTR_INDOOR_ONLY]) chan->flag |= 0x10000;
    if (tb_freq[NL80211_FREQUENCY_ATTR_IR_CONCURRENT]) chan->flag |= 0x20000;
    if (tb_freq[NL80211_FREQUENCY_ATTR_DFS_STATE]) {
        switch (nla_u32_or(tb_freq[NL80211_FREQUENCY_ATTR_DFS_STATE], 99)) {
        case NL80211_DFS_USABLE:
            chan->flag |= 0x100;
            break;
        case NL80211_DFS_UNAVAILABLE:
            chan->flag |= 0x200;
            break;
        case NL80211_DFS_AVAILABLE:
            chan->flag |= 0x300;
            break;
        default:
            break;
        }
    }
    if (tb_freq[NL80211_FREQUENCY_ATTR_DFS_CAC_TIME])
        chan->dfs_cac_ms = nla_u32_or(tb_freq[NL80211_FREQUENCY_ATTR_DFS_CAC_TIME], 0);
}

int phy_info_band(phy_info_arg *phy, nlattr *nl_band) {
    nlattr *tb_band[NL80211_BAND_ATTR_MAX + 1];
    if (nla_parse_nested(tb_band, NL80211_BAND_ATTR_MAX, nl_band, nullptr) < 0) return NL_SKIP;
    hw_mode_info *mode;
    if (phy->last_mode != nla_type(nl_band)) {
        mode = grow_modes(phy);
        if (mode == nullptr) {
            phy->failed = 1;
            return NL_STOP;
        }
        phy->last_mode = nla_type(nl_band);
        phy->last_chan_idx = 0;
    } else {
        mode = &phy->modes[*phy->num_modes - 1];
    }
    if (tb_band[NL80211_BAND_ATTR_HT_CAPA])
        mode->ht_capab = nla_u16_or(tb_band[NL80211_BAND_ATTR_HT_CAPA], 0);
    if (tb_band[NL80211_BAND_ATTR_HT_AMPDU_FACTOR])
        mode->a_mpdu_params |= nla_u8_or(tb_band[NL80211_BAND_ATTR_HT_AMPDU_FACTOR], 0) & 0x03;
    if (tb_band[NL80211_BAND_ATTR_HT_AMPDU_DENSITY])
        mode->a_mpdu_params |= (nla_u8_or(tb_band[NL80211_BAND_ATTR_HT_AMPDU_DENSITY], 0) << 2) & 0x1c;
    if (tb_band[NL80211_BAND_ATTR_HT_MCS_SET] && nla_len(tb_band[NL80211_BAND_ATTR_HT_MCS_SET]) >= 16)
        memcpy(mode->mcs_set, nla_data(tb_band[NL80211_BAND_ATTR_HT_MCS_SET]), 16);
    if (tb_band[NL80211_BAND_ATTR_VHT_CAPA])
        mode->vht_capab = nla_u32_or(tb_band[NL80211_BAND_ATTR_VHT_CAPA], 0);
    if (tb_band[NL80211_BAND_ATTR_VHT_MCS_SET] && nla_len(tb_band[NL80211_BAND_ATTR_VHT_MCS_SET]) >= 8)
        memcpy(mode->vht_mcs_set, nla_data(tb_band[NL80211_BAND_ATTR_VHT_MCS_SET]), 8);

    if (tb_band[NL80211_BAND_ATTR_FREQS]) {
        nlattr *nl_freq;
        int rem;
        int count = 0;
        nla_for_each_nested(nl_freq, tb_band[NL80211_BAND_ATTR_FREQS], rem) {
            nlattr *tb_freq[NL80211_FREQUENCY_ATTR_MAX + 1];
            if (nla_parse_nested(tb_freq, NL80211_FREQUENCY_ATTR_MAX, nl_freq, nullptr) == 0 &&
                tb_freq[NL80211_FREQUENCY_ATTR_FREQ])
                count++;
        }
        if (count > 0) {
            auto *ch = static_cast<hw_channel_info *>(realloc(
                mode->channels, sizeof(hw_channel_info) * static_cast<size_t>(mode->num_channels + count)));
            if (ch == nullptr) {
                phy->failed = 1;
                return NL_STOP;
            }
            mode->channels = ch;
            nla_for_each_nested(nl_freq, tb_band[NL80211_BAND_ATTR_FREQS], rem) {
                nlattr *tb_freq[NL80211_FREQUENCY_ATTR_MAX + 1];
                if (nla_parse_nested(tb_freq, NL80211_FREQUENCY_ATTR_MAX, nl_freq, nullptr) < 0 ||
                    !tb_freq[NL80211_FREQUENCY_ATTR_FREQ])
                    continue;
                hw_channel_info *c = &mode->channels[mode->num_channels++];
                memset(c, 0, sizeof(*c));
                phy_info_freq(c, tb_freq);
            }
        }
    }
    if (tb_band[NL80211_BAND_ATTR_RATES]) {
        nlattr *nl_rate;
        int rem;
        int count = 0;
        nla_for_each_nested(nl_rate, tb_band[NL80211_BAND_ATTR_RATES], rem) count++;
        if (count > 0) {
            auto *r = static_cast<int *>(
                realloc(mode->rates, sizeof(int) * static_cast<size_t>(mode->num_rates + count)));
            if (r == nullptr) {
                phy->failed = 1;
                return NL_STOP;
            }
            mode->rates = r;
            nla_for_each_nested(nl_rate, tb_band[NL80211_BAND_ATTR_RATES], rem) {
                nlattr *tb_rate[NL80211_BITRATE_ATTR_MAX + 1];
                if (nla_parse_nested(tb_rate, NL80211_BITRATE_ATTR_MAX, nl_rate, nullptr) < 0 ||
                    !tb_rate[NL80211_BITRATE_ATTR_RATE])
                    continue;
                mode->rates[mode->num_rates++] =
                    static_cast<int>(nla_u32_or(tb_rate[NL80211_BITRATE_ATTR_RATE], 0));
            }
        }
    }
    return NL_OK;
}

} // namespace

int nl80211_phy_info_handler(nlmsghdr *nlh, void *arg) {
    auto *phy = static_cast<phy_info_arg *>(arg);
    nlattr *tb[NL80211_ATTR_MAX + 1];
    if (phy->failed || nl80211_parse(nlh, tb) < 0 || !tb[NL80211_ATTR_WIPHY_BANDS]) return NL_SKIP;
    nlattr *nl_band;
    int rem;
    nla_for_each_nested(nl_band, tb[NL80211_ATTR_WIPHY_BANDS], rem) {
        if (phy_info_band(phy, nl_band) == NL_STOP) return NL_STOP;
    }
    return NL_SKIP;
}

void nl80211_free_hw_features(hw_mode_info *modes, uint16_t num_modes) {
    if (modes == nullptr) return;
    for (uint16_t i = 0; i < num_modes; i++) {
        free(modes[i].channels);
        free(modes[i].rates);
    }
    free(modes);
}

hw_mode_info *nl80211_postprocess_modes(hw_mode_info *modes, uint16_t *num_modes) {
    // A band without channels has no first channel to tell its kind: it makes no mode.
    uint16_t kept = 0;
    for (uint16_t m = 0; m < *num_modes; m++) {
        if (modes[m].num_channels == 0) {
            free(modes[m].channels);
            free(modes[m].rates);
            continue;
        }
        modes[kept++] = modes[m];
    }
    *num_modes = kept;
    int mode11g_idx = -1;
    bool has_11b = false;
    for (uint16_t m = 0; m < *num_modes; m++) {
        hw_mode_info *mode = &modes[m];
        if (mode->channels[0].freq >= 50000) {
            mode->mode = HW_MODE_IEEE80211AD;
        } else if (mode->channels[0].freq >= 4000) {
            mode->mode = HW_MODE_IEEE80211A;
        } else {
            mode->mode = HW_MODE_IEEE80211B;
            for (int i = 0; i < mode->num_rates; i++)
                if (mode->rates[i] > 200) {
                    mode->mode = HW_MODE_IEEE80211G;
                    break;
                }
        }
        if (mode->mode == HW_MODE_IEEE80211G && mode11g_idx < 0) mode11g_idx = m;
        if (mode->mode == HW_MODE_IEEE80211B) has_11b = true;
    }
    if (mode11g_idx < 0 || has_11b) return modes;

    // An 802.11g band also serves 802.11b stations: add its channels with the CCK rates.
    hw_mode_info *mode11g = &modes[mode11g_idx];
    int rates[4];
    int num_rates = 0;
    for (int i = 0; i < mode11g->num_rates && num_rates < 4; i++) {
        int r = mode11g->rates[i];
        if (r == 10 || r == 20 || r == 55 || r == 110) rates[num_rates++] = r;
    }
    if (num_rates == 0) return modes;
    auto *nmodes = static_cast<hw_mode_info *>(realloc(modes, sizeof(hw_mode_info) * (*num_modes + 1)));
    if (nmodes == nullptr) return modes;
    modes = nmodes;
    mode11g = &modes[mode11g_idx];
    hw_mode_info *mode = &modes[*num_modes];
    memset(mode, 0, sizeof(*mode));
    mode->mode = HW_MODE_IEEE80211B;
    mode->channels = static_cast<hw_channel_info *>(
        malloc(sizeof(hw_channel_info) * static_cast<size_t>(mode11g->num_channels)));
    mode->rates = static_cast<int *>(malloc(sizeof(int) * static_cast<size_t>(num_rates)));
    if (mode->channels == nullptr || mode->rates == nullptr) {
        free(mode->channels);
        free(mode->rates);
        return modes;
    }
    (*num_modes)++;
    memcpy(mode->channels, mode11g->channels,
           sizeof(hw_channel_info) * static_cast<size_t>(mode11g->num_channels));
    mode->num_channels = mode11g->num_channels;
    memcpy(mode->rates, rates, sizeof(int) * static_cast<size_t>(num_rates));
    mode->num_rates = num_rates;
    return modes;
}

namespace {

bool inside(uint32_t start, uint32_t end, int lo, int hi) {
    return lo >= static_cast<int>(start) && hi <= static_cast<int>(end);
}

void reg_rule_max_eirp(const reg_arg *r, uint32_t start, uint32_t end, uint32_t max_eirp) {
    for (uint16_t m = 0; m < r->num_modes; m++) {
        for (int c = 0; c < r->modes[m].num_channels; c++) {
            hw_channel_info *chan = &r->modes[m].channels[c];
            if (inside(start, end, chan->freq - 10, chan->freq + 10))
                chan->max_tx_power = static_cast<uint8_t>(max_eirp / 100);
        }
    }
}

void reg_rule_ht40(const reg_arg *r, uint32_t start, uint32_t end) {
    for (uint16_t m = 0; m < r->num_modes; m++) {
        if (!(r->modes[m].ht_capab & 0x2)) continue;
        for (int c = 0; c < r->modes[m].num_channels; c++) {
            hw_channel_info *chan = &r->modes[m].channels[c];
            if (inside(start, end, chan->freq - 10, chan->freq + 10)) chan->flag |= 0x40;
        }
    }
}

void reg_rule_sec(const reg_arg *r, uint32_t start, uint32_t end) {
    for (uint16_t m = 0; m < r->num_modes; m++) {
        if (!(r->modes[m].ht_capab & 0x2)) continue;
        for (int c = 0; c < r->modes[m].num_channels; c++) {
            hw_channel_info *chan = &r->modes[m].channels[c];
            if (!(chan->flag & 0x40)) continue;
            if (inside(start, end, chan->freq - 30, chan->freq - 10)) chan->flag |= 0x20;
            if (inside(start, end, chan->freq + 10, chan->freq + 30)) chan->flag |= 0x10;
        }
    }
}

void reg_rule_vht(const reg_arg *r, uint32_t start, uint32_t end, uint32_t bw) {
    for (uint16_t m = 0; m < r->num_modes; m++) {
        if (!(r->modes[m].ht_capab & 0x2) || r->modes[m].vht_capab == 0) continue;
        for (int c = 0; c < r->modes[m].num_channels; c++) {
            hw_channel_info *chan = &r->modes[m].channels[c];
            int f = chan->freq;
            if (bw >= 80) {
                for (int pos = 0; pos < 4; pos++)
                    if (inside(start, end, f - 10 - 20 * pos, f + 70 - 20 * pos)) chan->flag |= 0x800 << pos;
            }
            if (bw >= 160) {
                for (int pos = 0; pos < 8; pos++)
                    if (inside(start, end, f - 10 - 20 * pos, f + 150 - 20 * pos))
                        chan->flag |= 0x100000 << pos;
            }
        }
    }
}

bool rule_fields(nlattr *nl_rule, uint32_t *start, uint32_t *end, uint32_t *bw, uint32_t *eirp) {
    nlattr *tb_rule[NL80211_REG_RULE_ATTR_MAX + 1];
    if (nla_parse_nested(tb_rule, NL80211_REG_RULE_ATTR_MAX, nl_rule, nullptr) < 0) return false;
    if (!tb_rule[NL80211_ATTR_FREQ_RANGE_START] || !tb_rule[NL80211_ATTR_FREQ_RANGE_END] ||
        !tb_rule[NL80211_ATTR_FREQ_RANGE_MAX_BW])
        return false;
    *start = nla_u32_or(tb_rule[NL80211_ATTR_FREQ_RANGE_START], 0) / 1000;
    *end = nla_u32_or(tb_rule[NL80211_ATTR_FREQ_RANGE_END], 0) / 1000;
    *bw = nla_u32_or(tb_rule[NL80211_ATTR_FREQ_RANGE_MAX_BW], 0) / 1000;
    *eirp = nla_u32_or(tb_rule[NL80211_ATTR_POWER_RULE_MAX_EIRP], 0);
    return true;
}

} // namespace

int nl80211_reg_handler(nlmsghdr *nlh, void *arg) {
    auto *r = static_cast<reg_arg *>(arg);
    nlattr *tb[NL80211_ATTR_MAX + 1];
    if (nl80211_parse(nlh, tb) < 0 || !tb[NL80211_ATTR_REG_RULES]) return NL_SKIP;
    nlattr *nl_rule;
    int rem;
    uint32_t start, end, bw, eirp;
    nla_for_each_nested(nl_rule, tb[NL80211_ATTR_REG_RULES], rem) {
        if (!rule_fields(nl_rule, &start, &end, &bw, &eirp)) continue;
        reg_rule_max_eirp(r, start, end, eirp);
        if (bw >= 40) reg_rule_ht40(r, start, end);
    }
    nla_for_each_nested(nl_rule, tb[NL80211_ATTR_REG_RULES], rem) {
        if (!rule_fields(nl_rule, &start, &end, &bw, &eirp)) continue;
        if (bw >= 20) reg_rule_sec(r, start, end);
    }
    nla_for_each_nested(nl_rule, tb[NL80211_ATTR_REG_RULES], rem) {
        if (!rule_fields(nl_rule, &start, &end, &bw, &eirp)) continue;
        if (bw >= 80) reg_rule_vht(r, start, end, bw);
    }
    return NL_SKIP;
}

hw_mode_info *nl80211_get_hw_feature_data(void *priv, uint16_t *num_modes, uint16_t *flags) {
    nl80211_drv *drv = static_cast<nl80211_iface *>(priv)->drv;
    *num_modes = 0;
    *flags = 0;
    phy_info_arg result{num_modes, nullptr, -1, 0, 0};
    bool split = (get_protocol_features(drv) & NL80211_PROTOCOL_FEATURE_SPLIT_WIPHY_DUMP) != 0;
    nl_msg *msg = wiphy_msg(drv, split);
    if (msg == nullptr) return nullptr;
    if (send_and_recv_msgs(drv, msg, nl80211_phy_info_handler, &result) < 0 || result.failed) {
        nl80211_free_hw_features(result.modes, *num_modes);
        *num_modes = 0;
        return nullptr;
    }
    nl_msg *reg = nlmsg_alloc();
    if (reg && genlmsg_put(reg, 0, 0, drv->global->nl80211_id, 0, 0, NL80211_CMD_GET_REG, 0)) {
        reg_arg r{result.modes, *num_modes};
        send_and_recv_msgs(drv, reg, nl80211_reg_handler, &r);
    } else if (reg) {
        nlmsg_free(reg);
    }
    return nl80211_postprocess_modes(result.modes, num_modes);
}
