// Kernel news: nl80211 multicast messages and answers on an interface's own sockets,
// turned into driver events, with the radio's association state kept in step; and the
// rtnetlink link messages of the radio's interfaces.
#include "wireless/common/ieee802_11_common.h"
#include "wireless/core/eloop.h"
#include "wireless/drivers/driver_nl80211_internal.h"
#include "wireless/drivers/linux_ioctl.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <netlink/attr.h>
#include <netlink/genl/genl.h>
#include <netlink/msg.h>

namespace {

// Link flags of rtnetlink that net/if.h does not name.
constexpr unsigned int IffLowerUp = 0x10000;
constexpr unsigned int IffDormant = 0x20000;

uint16_t le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

bool addr_eq(const uint8_t *a, const uint8_t *b) {
    return memcmp(a, b, 6) == 0;
}

// ---- MLME frames --------------------------------------------------------------------------

void mlme_event_auth(nl80211_drv *drv, const uint8_t *frame, size_t len) {
    if (!(drv->capa.flags & WPA_DRIVER_FLAGS_SME) && drv->force_connect_cmd) return;
    if (len < 30) return;
    memcpy(drv->auth_bssid, frame + 10, 6);
    memset(drv->auth_attempt_bssid, 0, 6);
    wpa_event_data event{};
    memcpy(event.auth.peer, frame + 10, 6);
    event.auth.auth_type = le16(frame + 24);
    event.auth.auth_transaction = le16(frame + 26);
    event.auth.status_code = le16(frame + 28);
    event.auth.ies = frame + 30;
    event.auth.ies_len = len - 30;
    supplicant_event(drv->ctx, EVENT_AUTH, &event);
}

void mlme_event_assoc(nl80211_drv *drv, const uint8_t *frame, size_t len, nlattr *wmm) {
    if (!(drv->capa.flags & WPA_DRIVER_FLAGS_SME) && drv->force_connect_cmd) return;
    if (len < 30) return;
    uint16_t status = le16(frame + 26);
    wpa_event_data event{};
    if (status != 0) {
        event.assoc_reject.bssid = frame + 16;
        event.assoc_reject.resp_ies = frame + 30;
        event.assoc_reject.resp_ies_len = len - 30;
        event.assoc_reject.status_code = status;
        supplicant_event(drv->ctx, EVENT_ASSOC_REJECT, &event);
        return;
    }
    drv->associated = 1;
    memcpy(drv->bssid, frame + 10, 6);
    memcpy(drv->prev_bssid, frame + 10, 6);
    event.assoc_info.resp_ies = frame + 30;
    event.assoc_info.resp_ies_len = len - 30;
    event.assoc_info.freq = drv->assoc_freq;
    if (wmm) {
        nlattr *tb[NL80211_STA_WME_MAX + 1];
        if (nla_parse_nested(tb, NL80211_STA_WME_MAX, wmm, nullptr) == 0 &&
            tb[NL80211_STA_WME_UAPSD_QUEUES]) {
            event.assoc_info.wmm_uapsd_present = 1;
            event.assoc_info.wmm_uapsd = nla_u8_or(tb[NL80211_STA_WME_UAPSD_QUEUES], 0);
        }
    }
    supplicant_event(drv->ctx, EVENT_ASSOC, &event);
}

void mlme_event_deauth_disassoc(nl80211_drv *drv, bool deauth, const uint8_t *frame, size_t len,
                                const uint8_t *own) {
    bool sme = (drv->capa.flags & WPA_DRIVER_FLAGS_SME) != 0;
    if (len >= 24) {
        const uint8_t *bssid = frame + 16;
        bool ours = addr_eq(frame + 10, own);
        if (sme || (drv->associated && !drv->reassoc_sent)) {
            if (drv->associated) {
                if (!addr_eq(bssid, drv->bssid) && !addr_eq(bssid, drv->auth_bssid)) return;
            } else if (addr_eq(bssid, drv->prev_bssid) && !addr_eq(bssid, drv->auth_bssid) &&
                       !addr_eq(bssid, drv->auth_attempt_bssid)) {
                // The previous AP's late word after we moved on.
                if (ours) drv->ignore_next_local_deauth = 0;
                return;
            }
        } else if (drv->associated) {
            if (addr_eq(bssid, drv->prev_bssid) && !addr_eq(bssid, drv->auth_attempt_bssid)) return;
            if (!addr_eq(bssid, drv->bssid) && !addr_eq(bssid, drv->auth_bssid)) return;
        }
    }
    nl80211_mark_disconnected(drv);
    wpa_event_data event{};
    // A reason needs 26 bytes; the elements start after it. A 24- or 25-byte frame has a
    // BSSID but neither.
    uint16_t reason = len >= 26 ? le16(frame + 24) : 0;
    bool locally = len >= 24 && addr_eq(frame + 10, own);
    if (deauth) {
        if (drv->ignore_deauth_event) {
            drv->ignore_deauth_event = 0;
            if (locally) drv->ignore_next_local_deauth = 0;
            return;
        }
        if (drv->ignore_next_local_deauth) {
            drv->ignore_next_local_deauth = 0;
            if (locally) return;
        }
    }
    auto &info = deauth ? event.deauth_info : event.disassoc_info;
    info.addr = len >= 24 ? frame + 16 : nullptr;
    info.reason_code = reason;
    if (len > 26) {
        info.ie = frame + 26;
        info.ie_len = len - 26;
    }
    info.locally_generated = locally;
    supplicant_event(drv->ctx, deauth ? EVENT_DEAUTH : EVENT_DISASSOC, &event);
}

void mlme_event_unprot(nl80211_drv *drv, bool deauth, const uint8_t *frame, size_t len) {
    if (len < 24) return;
    wpa_event_data event{};
    auto &u = deauth ? event.unprot_deauth : event.unprot_disassoc;
    u.sa = frame + 10;
    u.da = frame + 4;
    u.reason_code = len >= 26 ? le16(frame + 24) : 0;
    supplicant_event(drv->ctx, deauth ? EVENT_UNPROT_DEAUTH : EVENT_UNPROT_DISASSOC, &event);
}

void mlme_event_mgmt(nl80211_iface *bss, const uint8_t *frame, size_t len, nlattr **tb) {
    nl80211_drv *drv = bss->drv;
    if (len < 24) return;
    int freq = static_cast<int>(nla_u32_or(tb[NL80211_ATTR_WIPHY_FREQ], 0));
    if (tb[NL80211_ATTR_WIPHY_FREQ]) drv->last_mgmt_freq = freq;
    wpa_event_data event{};
    event.rx_mgmt.frame = frame;
    event.rx_mgmt.frame_len = len;
    event.rx_mgmt.freq = freq;
    event.rx_mgmt.ssi_signal = static_cast<int>(nla_u32_or(tb[NL80211_ATTR_RX_SIGNAL_DBM], 0));
    event.rx_mgmt.drv_priv = bss;
    supplicant_event(drv->ctx, EVENT_RX_MGMT, &event);
}

void mlme_event_tx_status(nl80211_drv *drv, const uint8_t *frame, size_t len, nlattr **tb) {
    if (!nl80211_is_ap(drv->nlmode)) {
        if (!tb[NL80211_ATTR_COOKIE] || nla_u64_or(tb[NL80211_ATTR_COOKIE], 0) != drv->send_action_cookie)
            return;
    }
    uint16_t fc = le16(frame);
    wpa_event_data event{};
    event.tx_status.type = (fc >> 2) & 3;
    event.tx_status.stype = (fc >> 4) & 0xf;
    event.tx_status.dst = frame + 4;
    event.tx_status.data = frame;
    event.tx_status.data_len = len;
    event.tx_status.ack = tb[NL80211_ATTR_ACK] != nullptr;
    supplicant_event(drv->ctx, EVENT_TX_STATUS, &event);
}

void mlme_event(nl80211_iface *bss, uint8_t cmd, nlattr **tb) {
    nl80211_drv *drv = bss->drv;
    nlattr *timed_out = tb[NL80211_ATTR_TIMED_OUT];
    const uint8_t *mac = nla_addr(tb[NL80211_ATTR_MAC]);
    if (timed_out) {
        if (!mac) return;
        wpa_event_data event{};
        memcpy(event.timeout_event.addr, mac, 6);
        if (cmd == NL80211_CMD_AUTHENTICATE)
            supplicant_event(drv->ctx, EVENT_AUTH_TIMED_OUT, &event);
        else if (cmd == NL80211_CMD_ASSOCIATE)
            supplicant_event(drv->ctx, EVENT_ASSOC_TIMED_OUT, &event);
        return;
    }
    nlattr *fa = tb[NL80211_ATTR_FRAME];
    if (fa == nullptr || nla_len(fa) < 16) return;
    const auto *frame = static_cast<const uint8_t *>(nla_data(fa));
    size_t len = static_cast<size_t>(nla_len(fa));
    if (cmd == NL80211_CMD_FRAME_TX_STATUS) {
        mlme_event_tx_status(drv, frame, len, tb);
        return;
    }
    // A frame for an individual address is ours only when one of its first two addresses
    // is our own.
    if (!(frame[4] & 0x01) && !addr_eq(frame + 4, bss->addr) && !addr_eq(frame + 10, bss->addr)) return;
    switch (cmd) {
    case NL80211_CMD_AUTHENTICATE:
        mlme_event_auth(drv, frame, len);
        break;
    case NL80211_CMD_ASSOCIATE:
        mlme_event_assoc(drv, frame, len, tb[NL80211_ATTR_STA_WME]);
        break;
    case NL80211_CMD_DEAUTHENTICATE:
        mlme_event_deauth_disassoc(drv, true, frame, len, bss->addr);
        break;
    case NL80211_CMD_DISASSOCIATE:
        mlme_event_deauth_disassoc(drv, false, frame, len, bss->addr);
        break;
    case NL80211_CMD_FRAME:
        mlme_event_mgmt(bss, frame, len, tb);
        break;
    case NL80211_CMD_UNPROT_DEAUTHENTICATE:
        mlme_event_unprot(drv, true, frame, len);
        break;
    case NL80211_CMD_UNPROT_DISASSOCIATE:
        mlme_event_unprot(drv, false, frame, len);
        break;
    default:
        break;
    }
}

// ---- Connect, roam, disconnect (the kernel's own SME) ---------------------------------------

void connect_event(nl80211_drv *drv, uint8_t cmd, nlattr **tb) {
    drv->reassoc_sent = 0;
    const uint8_t *mac = nla_addr(tb[NL80211_ATTR_MAC]);
    wpa_event_data event{};
    if (cmd == NL80211_CMD_CONNECT) {
        uint16_t status = nla_u16_or(tb[NL80211_ATTR_STATUS_CODE], 0);
        if (tb[NL80211_ATTR_STATUS_CODE] && status != 0) {
            if (drv->ignore_next_local_disconnect) {
                drv->ignore_next_local_disconnect = 0;
                if (mac == nullptr || !addr_eq(mac, drv->auth_attempt_bssid)) return;
            }
            event.assoc_reject.bssid = mac;
            if (tb[NL80211_ATTR_RESP_IE]) {
                event.assoc_reject.resp_ies =
                    static_cast<const uint8_t *>(nla_data(tb[NL80211_ATTR_RESP_IE]));
                event.assoc_reject.resp_ies_len = static_cast<size_t>(nla_len(tb[NL80211_ATTR_RESP_IE]));
            }
            event.assoc_reject.status_code = status;
            event.assoc_reject.timed_out = tb[NL80211_ATTR_TIMED_OUT] != nullptr;
            supplicant_event(drv->ctx, EVENT_ASSOC_REJECT, &event);
            return;
        }
    }
    drv->associated = 1;
    if (mac) {
        memcpy(drv->bssid, mac, 6);
        memcpy(drv->prev_bssid, mac, 6);
    }
    if (tb[NL80211_ATTR_REQ_IE]) {
        event.assoc_info.req_ies = static_cast<const uint8_t *>(nla_data(tb[NL80211_ATTR_REQ_IE]));
        event.assoc_info.req_ies_len = static_cast<size_t>(nla_len(tb[NL80211_ATTR_REQ_IE]));
        if (cmd == NL80211_CMD_ROAM) {
            const uint8_t *ssid = get_ie(event.assoc_info.req_ies, event.assoc_info.req_ies_len, 0);
            if (ssid && ssid[1] > 0 && ssid[1] <= 32) {
                memcpy(drv->ssid, ssid + 2, ssid[1]);
                drv->ssid_len = ssid[1];
            }
        }
    }
    if (tb[NL80211_ATTR_RESP_IE]) {
        event.assoc_info.resp_ies = static_cast<const uint8_t *>(nla_data(tb[NL80211_ATTR_RESP_IE]));
        event.assoc_info.resp_ies_len = static_cast<size_t>(nla_len(tb[NL80211_ATTR_RESP_IE]));
    }
    event.assoc_info.freq = nl80211_get_assoc_freq(drv);
    supplicant_event(drv->ctx, EVENT_ASSOC, &event);
}

void disconnect_event(nl80211_drv *drv, nlattr **tb) {
    bool by_ap = tb[NL80211_ATTR_DISCONNECTED_BY_AP] != nullptr;
    if (drv->ignore_next_local_disconnect) {
        drv->ignore_next_local_disconnect = 0;
        if (!by_ap) return;
    }
    nl80211_mark_disconnected(drv);
    wpa_event_data event{};
    event.deauth_info.addr = nla_addr(tb[NL80211_ATTR_MAC]);
    event.deauth_info.reason_code = nla_u16_or(tb[NL80211_ATTR_REASON_CODE], 0);
    event.deauth_info.locally_generated = !by_ap;
    supplicant_event(drv->ctx, EVENT_DEAUTH, &event);
}

// ---- The rest of the global commands -------------------------------------------------------

void reg_change_event(nl80211_drv *drv, nlattr **tb) {
    if (!tb[NL80211_ATTR_REG_INITIATOR]) return;
    wpa_event_data event{};
    uint8_t init = nla_u8_or(tb[NL80211_ATTR_REG_INITIATOR], 0xff);
    if (init > 3) return;
    event.channel_list_changed.initiator = init;
    if (tb[NL80211_ATTR_REG_TYPE]) {
        uint8_t type = nla_u8_or(tb[NL80211_ATTR_REG_TYPE], 0xff);
        event.channel_list_changed.type = type <= 3 ? type + 1 : 0;
    }
    if (tb[NL80211_ATTR_REG_ALPHA2]) {
        int n = nla_len(tb[NL80211_ATTR_REG_ALPHA2]);
        const auto *a = static_cast<const char *>(nla_data(tb[NL80211_ATTR_REG_ALPHA2]));
        for (int i = 0; i < 2 && i < n && a[i]; i++)
            event.channel_list_changed.alpha2[i] = a[i];
    }
    supplicant_event(drv->ctx, EVENT_CHANNEL_LIST_CHANGED, &event);
}

void cqm_event(nl80211_drv *drv, nlattr **tb) {
    if (!tb[NL80211_ATTR_CQM]) return;
    nlattr *cqm[NL80211_ATTR_CQM_MAX + 1];
    if (nla_parse_nested(cqm, NL80211_ATTR_CQM_MAX, tb[NL80211_ATTR_CQM], nullptr) < 0) return;
    wpa_event_data event{};
    if (cqm[NL80211_ATTR_CQM_PKT_LOSS_EVENT]) {
        const uint8_t *mac = nla_addr(tb[NL80211_ATTR_MAC]);
        if (!mac) return;
        memcpy(event.low_ack.addr, mac, 6);
        supplicant_event(drv->ctx, EVENT_STATION_LOW_ACK, &event);
        return;
    }
    if (!cqm[NL80211_ATTR_CQM_RSSI_THRESHOLD_EVENT]) return;
    uint32_t v = nla_u32_or(cqm[NL80211_ATTR_CQM_RSSI_THRESHOLD_EVENT], 99);
    if (v != NL80211_CQM_RSSI_THRESHOLD_EVENT_LOW && v != NL80211_CQM_RSSI_THRESHOLD_EVENT_HIGH) return;
    event.signal_change.above_threshold = v == NL80211_CQM_RSSI_THRESHOLD_EVENT_HIGH;
    if (nl80211_get_link_signal(drv, &event.signal_change) < 0) return;
    nl80211_get_link_noise(drv, &event.signal_change);
    supplicant_event(drv->ctx, EVENT_SIGNAL_CHANGE, &event);
}

void ch_switch_event(nl80211_global *global, nlattr **tb) {
    if (!tb[NL80211_ATTR_IFINDEX] || !tb[NL80211_ATTR_WIPHY_FREQ]) return;
    int ifindex = static_cast<int>(nla_u32_or(tb[NL80211_ATTR_IFINDEX], 0));
    nl80211_iface *bss = nullptr;
    for (nl80211_drv *d = global->radios; d && !bss; d = d->next)
        for (nl80211_iface *b = d->first_bss; b; b = b->next)
            if (b->ifindex == ifindex) {
                bss = b;
                break;
            }
    if (bss == nullptr) return;
    int freq = static_cast<int>(nla_u32_or(tb[NL80211_ATTR_WIPHY_FREQ], 0));
    int ht = 1, offset = 0;
    if (tb[NL80211_ATTR_WIPHY_CHANNEL_TYPE]) {
        switch (nla_u32_or(tb[NL80211_ATTR_WIPHY_CHANNEL_TYPE], 99)) {
        case NL80211_CHAN_NO_HT:
            ht = 0;
            break;
        case NL80211_CHAN_HT20:
            break;
        case NL80211_CHAN_HT40MINUS:
            offset = -1;
            break;
        case NL80211_CHAN_HT40PLUS:
            offset = 1;
            break;
        default:
            break;
        }
    } else if (tb[NL80211_ATTR_CHANNEL_WIDTH] && tb[NL80211_ATTR_CENTER_FREQ1]) {
        int cf1 = static_cast<int>(nla_u32_or(tb[NL80211_ATTR_CENTER_FREQ1], 0));
        int lowest = 0;
        switch (nla_u32_or(tb[NL80211_ATTR_CHANNEL_WIDTH], 99)) {
        case NL80211_CHAN_WIDTH_40:
            lowest = cf1 - 10;
            break;
        case NL80211_CHAN_WIDTH_80:
            lowest = cf1 - 30;
            break;
        case NL80211_CHAN_WIDTH_160:
            lowest = cf1 - 70;
            break;
        default:
            break;
        }
        if (lowest) offset = (abs(freq - lowest) / 20) % 2 ? -1 : 1;
    }
    wpa_event_data event{};
    event.ch_switch.freq = freq;
    event.ch_switch.ht_enabled = ht;
    event.ch_switch.ch_offset = offset;
    uint32_t w = nla_u32_or(tb[NL80211_ATTR_CHANNEL_WIDTH], 0);
    event.ch_switch.ch_width = static_cast<int>(w > 6 ? 6 : w);
    event.ch_switch.cf1 = static_cast<int>(nla_u32_or(tb[NL80211_ATTR_CENTER_FREQ1], 0));
    event.ch_switch.cf2 = static_cast<int>(nla_u32_or(tb[NL80211_ATTR_CENTER_FREQ2], 0));
    bss->freq = freq;
    supplicant_event(bss->ctx, EVENT_CH_SWITCH, &event);
}

void radar_event(nl80211_drv *drv, nlattr **tb) {
    if (!tb[NL80211_ATTR_WIPHY_FREQ] || !tb[NL80211_ATTR_RADAR_EVENT]) return;
    wpa_event_data event{};
    event.dfs_event.freq = static_cast<int>(nla_u32_or(tb[NL80211_ATTR_WIPHY_FREQ], 0));
    event.dfs_event.ht_enabled = 1;
    if (tb[NL80211_ATTR_WIPHY_CHANNEL_TYPE]) {
        switch (nla_u32_or(tb[NL80211_ATTR_WIPHY_CHANNEL_TYPE], 99)) {
        case NL80211_CHAN_NO_HT:
            event.dfs_event.ht_enabled = 0;
            break;
        case NL80211_CHAN_HT40MINUS:
            event.dfs_event.ch_offset = -1;
            break;
        case NL80211_CHAN_HT40PLUS:
            event.dfs_event.ch_offset = 1;
            break;
        default:
            break;
        }
    }
    uint32_t w = nla_u32_or(tb[NL80211_ATTR_CHANNEL_WIDTH], 0);
    event.dfs_event.ch_width = static_cast<int>(w > 6 ? 6 : w);
    event.dfs_event.cf1 = static_cast<int>(nla_u32_or(tb[NL80211_ATTR_CENTER_FREQ1], 0));
    event.dfs_event.cf2 = static_cast<int>(nla_u32_or(tb[NL80211_ATTR_CENTER_FREQ2], 0));
    static const wpa_event_type kinds[4] = {EVENT_DFS_RADAR_DETECTED, EVENT_DFS_CAC_FINISHED,
                                            EVENT_DFS_CAC_ABORTED, EVENT_DFS_NOP_FINISHED};
    uint32_t kind = nla_u32_or(tb[NL80211_ATTR_RADAR_EVENT], 99);
    if (kind > 3) return;
    supplicant_event(drv->ctx, kinds[kind], &event);
}

void do_process_drv_event(nl80211_iface *bss, uint8_t cmd, nlattr **tb) {
    nl80211_drv *drv = bss->drv;
    wpa_event_data event{};
    switch (cmd) {
    case NL80211_CMD_TRIGGER_SCAN:
        drv->scan_state = SCAN_STARTED;
        if (!drv->scan_for_auth) supplicant_event(drv->ctx, EVENT_SCAN_STARTED, nullptr);
        break;
    case NL80211_CMD_START_SCHED_SCAN:
        drv->scan_state = SCHED_SCAN_STARTED;
        break;
    case NL80211_CMD_SCHED_SCAN_STOPPED:
        drv->scan_state = SCHED_SCAN_STOPPED;
        supplicant_event(drv->ctx, EVENT_SCHED_SCAN_STOPPED, nullptr);
        break;
    case NL80211_CMD_NEW_SCAN_RESULTS:
    case NL80211_CMD_SCAN_ABORTED: {
        bool aborted = cmd == NL80211_CMD_SCAN_ABORTED;
        if (drv->ap_scan_as_station != NL80211_IFTYPE_UNSPECIFIED) {
            nl80211_set_mode(drv->first_bss, drv->ap_scan_as_station);
            drv->ap_scan_as_station = NL80211_IFTYPE_UNSPECIFIED;
        }
        if (!aborted) drv->scan_complete_events = 1;
        int external = 1;
        if (drv->last_scan_cmd == NL80211_CMD_TRIGGER_SCAN) {
            drv->scan_state = aborted ? SCAN_ABORTED : SCAN_COMPLETED;
            eloop_cancel_timeout(nl80211_scan_timeout, drv, drv->ctx);
            drv->last_scan_cmd = 0;
            external = 0;
        }
        nl80211_scan_event(drv, aborted, tb, external);
        break;
    }
    case NL80211_CMD_SCHED_SCAN_RESULTS:
        drv->scan_state = SCHED_SCAN_RESULTS;
        nl80211_scan_event(drv, 0, tb, 0);
        break;
    case NL80211_CMD_AUTHENTICATE:
    case NL80211_CMD_ASSOCIATE:
    case NL80211_CMD_DEAUTHENTICATE:
    case NL80211_CMD_DISASSOCIATE:
    case NL80211_CMD_FRAME_TX_STATUS:
    case NL80211_CMD_UNPROT_DEAUTHENTICATE:
    case NL80211_CMD_UNPROT_DISASSOCIATE:
        mlme_event(bss, cmd, tb);
        break;
    case NL80211_CMD_CONNECT:
    case NL80211_CMD_ROAM:
        if (drv->capa.flags & WPA_DRIVER_FLAGS_SME) break;
        if (cmd == NL80211_CMD_ROAM && (drv->capa.flags & WPA_DRIVER_FLAGS_KEY_MGMT_OFFLOAD)) break;
        connect_event(drv, cmd, tb);
        break;
    case NL80211_CMD_DISCONNECT:
        if (drv->capa.flags & WPA_DRIVER_FLAGS_SME) break;
        disconnect_event(drv, tb);
        break;
    case NL80211_CMD_MICHAEL_MIC_FAILURE:
        event.michael_mic_failure.src = nla_addr(tb[NL80211_ATTR_MAC]);
        event.michael_mic_failure.unicast =
            !tb[NL80211_ATTR_KEY_TYPE] ||
            nla_u32_or(tb[NL80211_ATTR_KEY_TYPE], 0) == NL80211_KEYTYPE_PAIRWISE;
        supplicant_event(drv->ctx, EVENT_MICHAEL_MIC_FAILURE, &event);
        break;
    case NL80211_CMD_JOIN_IBSS: {
        const uint8_t *mac = nla_addr(tb[NL80211_ATTR_MAC]);
        if (!mac) break;
        drv->associated = 1;
        memcpy(drv->bssid, mac, 6);
        unsigned int freq = nl80211_get_assoc_freq(drv);
        if (freq) bss->freq = static_cast<int>(freq);
        event.assoc_info.freq = freq;
        supplicant_event(drv->ctx, EVENT_ASSOC, &event);
        break;
    }
    case NL80211_CMD_REMAIN_ON_CHANNEL:
    case NL80211_CMD_CANCEL_REMAIN_ON_CHANNEL:
        if (!tb[NL80211_ATTR_COOKIE] || nla_u64_or(tb[NL80211_ATTR_COOKIE], 0) != drv->remain_on_chan_cookie)
            break;
        if (cmd == NL80211_CMD_CANCEL_REMAIN_ON_CHANNEL) drv->pending_remain_on_chan = 0;
        event.remain_on_channel.freq = nla_u32_or(tb[NL80211_ATTR_WIPHY_FREQ], 0);
        event.remain_on_channel.duration = nla_u32_or(tb[NL80211_ATTR_DURATION], 0);
        supplicant_event(drv->ctx,
                         cmd == NL80211_CMD_REMAIN_ON_CHANNEL ? EVENT_REMAIN_ON_CHANNEL
                                                              : EVENT_CANCEL_REMAIN_ON_CHANNEL,
                         &event);
        break;
    case NL80211_CMD_NOTIFY_CQM:
        cqm_event(drv, tb);
        break;
    case NL80211_CMD_REG_CHANGE:
        reg_change_event(drv, tb);
        break;
    case NL80211_CMD_REG_BEACON_HINT:
        event.channel_list_changed.initiator = 4;
        supplicant_event(drv->ctx, EVENT_CHANNEL_LIST_CHANGED, &event);
        break;
    case NL80211_CMD_NEW_STATION: {
        const uint8_t *mac = nla_addr(tb[NL80211_ATTR_MAC]);
        if (!mac) break;
        if (nl80211_is_ap(drv->nlmode) && drv->device_ap_sme) {
            if (tb[NL80211_ATTR_IE]) {
                event.assoc_info.req_ies = static_cast<const uint8_t *>(nla_data(tb[NL80211_ATTR_IE]));
                event.assoc_info.req_ies_len = static_cast<size_t>(nla_len(tb[NL80211_ATTR_IE]));
            }
            event.assoc_info.addr = mac;
            supplicant_event(bss->ctx, EVENT_ASSOC, &event);
        } else if (drv->nlmode == NL80211_IFTYPE_ADHOC) {
            memcpy(event.ibss_rsn_start.peer, mac, 6);
            supplicant_event(bss->ctx, EVENT_IBSS_RSN_START, &event);
        }
        break;
    }
    case NL80211_CMD_DEL_STATION: {
        const uint8_t *mac = nla_addr(tb[NL80211_ATTR_MAC]);
        if (!mac) break;
        if (nl80211_is_ap(drv->nlmode) && drv->device_ap_sme) {
            event.disassoc_info.addr = mac;
            supplicant_event(bss->ctx, EVENT_DISASSOC, &event);
        } else if (drv->nlmode == NL80211_IFTYPE_ADHOC) {
            memcpy(event.ibss_peer_lost.peer, mac, 6);
            supplicant_event(bss->ctx, EVENT_IBSS_PEER_LOST, &event);
        }
        break;
    }
    case NL80211_CMD_STOP_AP:
        supplicant_event(bss->ctx, EVENT_INTERFACE_UNAVAILABLE, nullptr);
        break;
    case NL80211_CMD_SET_REKEY_OFFLOAD: {
        const uint8_t *mac = nla_addr(tb[NL80211_ATTR_MAC]);
        if (!mac || !tb[NL80211_ATTR_REKEY_DATA]) break;
        nlattr *rekey[NUM_NL80211_REKEY_DATA];
        if (nla_parse_nested(rekey, MAX_NL80211_REKEY_DATA, tb[NL80211_ATTR_REKEY_DATA], nullptr) < 0 ||
            !rekey[NL80211_REKEY_DATA_REPLAY_CTR] || nla_len(rekey[NL80211_REKEY_DATA_REPLAY_CTR]) != 8)
            break;
        event.driver_gtk_rekey.bssid = mac;
        event.driver_gtk_rekey.replay_ctr =
            static_cast<const uint8_t *>(nla_data(rekey[NL80211_REKEY_DATA_REPLAY_CTR]));
        supplicant_event(drv->ctx, EVENT_DRIVER_GTK_REKEY, &event);
        break;
    }
    case NL80211_CMD_PMKSA_CANDIDATE: {
        if (!tb[NL80211_ATTR_PMKSA_CANDIDATE]) break;
        nlattr *cand[NUM_NL80211_PMKSA_CANDIDATE];
        if (nla_parse_nested(cand, MAX_NL80211_PMKSA_CANDIDATE, tb[NL80211_ATTR_PMKSA_CANDIDATE], nullptr) <
                0 ||
            !cand[NL80211_PMKSA_CANDIDATE_INDEX] || !nla_addr(cand[NL80211_PMKSA_CANDIDATE_BSSID]))
            break;
        memcpy(event.pmkid_candidate.bssid, nla_data(cand[NL80211_PMKSA_CANDIDATE_BSSID]), 6);
        event.pmkid_candidate.index = static_cast<int>(nla_u32_or(cand[NL80211_PMKSA_CANDIDATE_INDEX], 0));
        event.pmkid_candidate.preauth = cand[NL80211_PMKSA_CANDIDATE_PREAUTH] != nullptr;
        supplicant_event(drv->ctx, EVENT_PMKID_CANDIDATE, &event);
        break;
    }
    case NL80211_CMD_TDLS_OPER: {
        const uint8_t *mac = nla_addr(tb[NL80211_ATTR_MAC]);
        if (!mac || !tb[NL80211_ATTR_TDLS_OPERATION]) break;
        memcpy(event.tdls.peer, mac, 6);
        switch (nla_u8_or(tb[NL80211_ATTR_TDLS_OPERATION], 0xff)) {
        case NL80211_TDLS_SETUP:
            event.tdls.oper = 0;
            break;
        case NL80211_TDLS_TEARDOWN:
            event.tdls.oper = 1;
            break;
        case NL80211_TDLS_DISCOVERY_REQ:
            event.tdls.oper = 2;
            break;
        default:
            return;
        }
        event.tdls.reason_code = nla_u16_or(tb[NL80211_ATTR_REASON_CODE], 0);
        supplicant_event(drv->ctx, EVENT_TDLS, &event);
        break;
    }
    case NL80211_CMD_PROBE_CLIENT: {
        const uint8_t *mac = nla_addr(tb[NL80211_ATTR_MAC]);
        if (!mac || !tb[NL80211_ATTR_ACK]) break;
        memcpy(event.client_poll.addr, mac, 6);
        supplicant_event(drv->ctx, EVENT_DRIVER_CLIENT_POLL_OK, &event);
        break;
    }
    case NL80211_CMD_CH_SWITCH_NOTIFY:
        ch_switch_event(drv->global, tb);
        break;
    case NL80211_CMD_CONN_FAILED: {
        const uint8_t *mac = nla_addr(tb[NL80211_ATTR_MAC]);
        uint32_t reason = nla_u32_or(tb[NL80211_ATTR_CONN_FAILED_REASON], 99);
        if (!mac || reason > 1) break;
        memcpy(event.connect_failed_reason.addr, mac, 6);
        event.connect_failed_reason.code = static_cast<int>(reason);
        supplicant_event(drv->ctx, EVENT_CONNECT_FAILED_REASON, &event);
        break;
    }
    case NL80211_CMD_RADAR_DETECT:
        radar_event(drv, tb);
        break;
    case NL80211_CMD_FT_EVENT: {
        if (tb[NL80211_ATTR_IE]) {
            event.ft_ies.ies = static_cast<const uint8_t *>(nla_data(tb[NL80211_ATTR_IE]));
            event.ft_ies.ies_len = static_cast<size_t>(nla_len(tb[NL80211_ATTR_IE]));
        }
        if (tb[NL80211_ATTR_IE_RIC]) {
            event.ft_ies.ric_ies = static_cast<const uint8_t *>(nla_data(tb[NL80211_ATTR_IE_RIC]));
            event.ft_ies.ric_ies_len = static_cast<size_t>(nla_len(tb[NL80211_ATTR_IE_RIC]));
        }
        if (const uint8_t *mac = nla_addr(tb[NL80211_ATTR_MAC])) memcpy(event.ft_ies.target_ap, mac, 6);
        supplicant_event(drv->ctx, EVENT_FT_RESPONSE, &event);
        break;
    }
    case NL80211_CMD_NEW_PEER_CANDIDATE: {
        const uint8_t *mac = nla_addr(tb[NL80211_ATTR_MAC]);
        if (drv->nlmode != NL80211_IFTYPE_MESH_POINT || !mac || !tb[NL80211_ATTR_IE]) break;
        event.mesh_peer.peer = mac;
        event.mesh_peer.ies = static_cast<const uint8_t *>(nla_data(tb[NL80211_ATTR_IE]));
        event.mesh_peer.ie_len = static_cast<size_t>(nla_len(tb[NL80211_ATTR_IE]));
        supplicant_event(drv->ctx, EVENT_NEW_PEER_CANDIDATE, &event);
        break;
    }
    default:
        break; // vendor news and the rest: read and dropped
    }
}

} // namespace

int nl80211_process_global_event(nlmsghdr *nlh, void *arg) {
    auto *global = static_cast<nl80211_global *>(arg);
    nlattr *tb[NL80211_ATTR_MAX + 1];
    if (nl80211_parse(nlh, tb) < 0) return NL_SKIP;
    auto *gnlh = static_cast<genlmsghdr *>(nlmsg_data(nlh));
    int ifindex = -1;
    uint64_t wdev_id = 0;
    bool wdev = false;
    if (tb[NL80211_ATTR_IFINDEX]) {
        ifindex = static_cast<int>(nla_u32_or(tb[NL80211_ATTR_IFINDEX], 0));
    } else if (tb[NL80211_ATTR_WDEV]) {
        if (nla_len(tb[NL80211_ATTR_WDEV]) < 8) return NL_SKIP;
        wdev_id = nla_u64_or(tb[NL80211_ATTR_WDEV], 0);
        wdev = true;
    }
    for (nl80211_drv *drv = global->radios; drv; drv = drv->next) {
        for (nl80211_iface *bss = drv->first_bss; bss; bss = bss->next) {
            if ((ifindex == -1 && !wdev) || ifindex == bss->ifindex ||
                (wdev && bss->wdev_id_set && wdev_id == bss->wdev_id)) {
                do_process_drv_event(bss, gnlh->cmd, tb);
                return NL_SKIP;
            }
        }
    }
    return NL_SKIP;
}

int nl80211_process_bss_event(nlmsghdr *nlh, void *arg) {
    auto *bss = static_cast<nl80211_iface *>(arg);
    nlattr *tb[NL80211_ATTR_MAX + 1];
    if (nl80211_parse(nlh, tb) < 0) return NL_SKIP;
    auto *gnlh = static_cast<genlmsghdr *>(nlmsg_data(nlh));
    switch (gnlh->cmd) {
    case NL80211_CMD_FRAME:
    case NL80211_CMD_FRAME_TX_STATUS:
        mlme_event(bss, gnlh->cmd, tb);
        break;
    case NL80211_CMD_UNEXPECTED_FRAME:
    case NL80211_CMD_UNEXPECTED_4ADDR_FRAME: {
        const uint8_t *mac = nla_addr(tb[NL80211_ATTR_MAC]);
        if (!mac) break;
        wpa_event_data event{};
        event.rx_from_unknown.bssid = bss->addr;
        event.rx_from_unknown.addr = mac;
        event.rx_from_unknown.wds = gnlh->cmd == NL80211_CMD_UNEXPECTED_4ADDR_FRAME;
        supplicant_event(bss->drv->ctx, EVENT_RX_FROM_UNKNOWN, &event);
        break;
    }
    default:
        break;
    }
    return NL_SKIP;
}

void nl80211_event_receive(int sock, void *eloop_ctx, void *) {
    auto *global = static_cast<nl80211_global *>(eloop_ctx);
    auto *buf = static_cast<uint8_t *>(malloc(65536));
    if (buf == nullptr) return;
    for (int i = 0; i < 10; i++) {
        ssize_t n = nl80211_io()->gnl_recv(sock, buf, 65536);
        if (n <= 0) break;
        nl80211_receive_buffer(buf, static_cast<size_t>(n), nl80211_process_global_event, global);
    }
    free(buf);
}

// ---- Link monitoring ---------------------------------------------------------------------

namespace {

nl80211_drv *find_radio(nl80211_global *global, int ifindex, const char *ifname, bool *reappeared) {
    *reappeared = false;
    for (nl80211_drv *drv = global->radios; drv; drv = drv->next) {
        if (drv->ifindex == ifindex) return drv;
        if (ifname && drv->if_removed && strcmp(drv->first_bss->ifname, ifname) == 0) {
            *reappeared = true;
            return drv;
        }
        for (size_t i = 0; i < drv->num_if_indices; i++)
            if (drv->if_indices[2 * i] == ifindex) return drv;
    }
    return nullptr;
}

void link_attrs(uint8_t *buf, size_t len, char *ifname, int *master) {
    ifname[0] = '\0';
    *master = 0;
    auto *attr = reinterpret_cast<rtattr *>(buf);
    // Signed: the last attribute's alignment padding may run past the end.
    int rem = len > INT32_MAX ? INT32_MAX : static_cast<int>(len);
    for (; RTA_OK(attr, rem); attr = RTA_NEXT(attr, rem)) {
        size_t plen = RTA_PAYLOAD(attr);
        if (attr->rta_type == IFLA_IFNAME) {
            size_t n = plen > IFNAMSIZ - 1 ? IFNAMSIZ - 1 : plen;
            memcpy(ifname, RTA_DATA(attr), n);
            ifname[n] = '\0';
        } else if (attr->rta_type == IFLA_MASTER && plen >= 4) {
            memcpy(master, RTA_DATA(attr), 4);
        }
    }
}

void report_status(nl80211_global *global, nl80211_drv *drv, int ifindex, const char *name, int removed) {
    wpa_event_data event{};
    event.interface_status.ifindex = static_cast<unsigned int>(ifindex);
    snprintf(event.interface_status.ifname, sizeof(event.interface_status.ifname), "%s", name);
    event.interface_status.ievent = removed ? decltype(event.interface_status)::EVENT_INTERFACE_REMOVED
                                            : decltype(event.interface_status)::EVENT_INTERFACE_ADDED;
    if (drv)
        supplicant_event(drv->ctx, EVENT_INTERFACE_STATUS, &event);
    else
        supplicant_event_global(global->ctx, EVENT_INTERFACE_STATUS, &event);
}

} // namespace

void nl80211_add_ifidx(nl80211_drv *drv, int ifindex, int brindex) {
    for (size_t i = 0; i < drv->num_if_indices; i++)
        if (drv->if_indices[2 * i] == ifindex && drv->if_indices[2 * i + 1] == brindex) return;
    if (drv->num_if_indices == drv->if_indices_cap) {
        size_t cap = drv->if_indices_cap ? drv->if_indices_cap + 1 : 16;
        auto *p = static_cast<int *>(realloc(drv->if_indices, sizeof(int) * 2 * cap));
        if (p == nullptr) return;
        drv->if_indices = p;
        drv->if_indices_cap = cap;
    }
    drv->if_indices[2 * drv->num_if_indices] = ifindex;
    drv->if_indices[2 * drv->num_if_indices + 1] = brindex;
    drv->num_if_indices++;
}

void nl80211_del_ifidx(nl80211_drv *drv, int ifindex, int brindex) {
    for (size_t i = 0; i < drv->num_if_indices; i++) {
        if (drv->if_indices[2 * i] == ifindex && drv->if_indices[2 * i + 1] == brindex) {
            memmove(&drv->if_indices[2 * i], &drv->if_indices[2 * i + 2],
                    sizeof(int) * 2 * (drv->num_if_indices - i - 1));
            drv->num_if_indices--;
            return;
        }
    }
}

bool nl80211_has_ifidx(const nl80211_drv *drv, int ifindex) {
    for (size_t i = 0; i < drv->num_if_indices; i++)
        if (drv->if_indices[2 * i] == ifindex) return true;
    return false;
}

void nl80211_rtm_newlink(void *ctx, ifinfomsg *ifi, uint8_t *buf, size_t len) {
    auto *global = static_cast<nl80211_global *>(ctx);
    char namebuf[IFNAMSIZ];
    int master;
    link_attrs(buf, len, namebuf, &master);
    bool reappeared;
    nl80211_drv *drv = find_radio(global, ifi->ifi_index, namebuf[0] ? namebuf : nullptr, &reappeared);
    if (drv == nullptr) {
        if (namebuf[0]) report_status(global, nullptr, ifi->ifi_index, namebuf, 0);
        return;
    }
    const nl80211_io_ops *io = nl80211_io();
    if (reappeared) {
        // The interface came back under its old name: start it again without changing
        // its type or address.
        nl80211_join_groups(global);
        nl80211_finish_drv_init(drv, nullptr, 0, nullptr);
    }
    bool is_own = strcmp(namebuf, drv->first_bss->ifname) == 0 || ifi->ifi_index == drv->ifindex;
    if (!drv->if_disabled && !(ifi->ifi_flags & IFF_UP)) {
        if (io->if_is_up(drv->first_bss->ifname) > 0) {
            // Up by ioctl: the message is old news.
        } else if (namebuf[0] && strcmp(namebuf, drv->first_bss->ifname) != 0) {
            // Another interface of the radio.
        } else if (drv->ignore_if_down_event) {
            drv->ignore_if_down_event = 0;
        } else {
            drv->if_disabled = 1;
            supplicant_event(drv->ctx, EVENT_INTERFACE_DISABLED, nullptr);
        }
    } else if (drv->if_disabled && (ifi->ifi_flags & IFF_UP) && is_own && !drv->if_removed &&
               io->if_is_up(drv->first_bss->ifname) > 0) {
        uint8_t addr[6];
        if (io->if_get_mac(drv->first_bss->ifname, addr) == 0) memcpy(drv->first_bss->addr, addr, 6);
        drv->if_disabled = 0;
        supplicant_event(drv->ctx, EVENT_INTERFACE_ENABLED, nullptr);
    }
    if (drv->operstate == 1 && (ifi->ifi_flags & IffLowerUp) && !(ifi->ifi_flags & IffDormant) &&
        !(ifi->ifi_flags & IFF_RUNNING))
        io->set_oper(global->netlink, drv->ifindex, -1, 6);
    if (namebuf[0]) {
        if (is_own) {
            drv->if_removed = 0;
        } else {
            report_status(global, drv, ifi->ifi_index, namebuf, 0);
        }
    }
    if (ifi->ifi_family == AF_BRIDGE && master) {
        nl80211_add_ifidx(drv, ifi->ifi_index, master);
        for (nl80211_iface *bss = drv->first_bss; bss; bss = bss->next)
            if (strcmp(bss->ifname, namebuf) == 0 &&
                if_indextoname(static_cast<unsigned int>(master), bss->brname) == nullptr)
                bss->brname[0] = '\0';
    }
}

void nl80211_rtm_dellink(void *ctx, ifinfomsg *ifi, uint8_t *buf, size_t len) {
    auto *global = static_cast<nl80211_global *>(ctx);
    char namebuf[IFNAMSIZ];
    int master;
    link_attrs(buf, len, namebuf, &master);
    bool reappeared;
    nl80211_drv *drv = find_radio(global, ifi->ifi_index, nullptr, &reappeared);
    if (ifi->ifi_family == AF_BRIDGE && master) {
        if (drv) nl80211_del_ifidx(drv, ifi->ifi_index, master);
        return;
    }
    if (drv && ifi->ifi_index == drv->ifindex) {
        if (drv->if_removed) return; // told once already
        drv->if_removed = 1;
    }
    report_status(global, drv, ifi->ifi_index, namebuf, 1);
}
