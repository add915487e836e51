// nl80211 command names for control lines and traces.
#include "sim/nlsim/sim.h"

#include <cstdlib>
#include <linux/nl80211.h>

namespace nlsim {
namespace {

struct Name {
    int cmd;
    const char *name;
};

#define C(x)                                                                                                 \
    { NL80211_CMD_##x, #x }
const Name names[] = {
    C(GET_WIPHY),
    C(SET_WIPHY),
    C(NEW_WIPHY),
    C(DEL_WIPHY),
    C(GET_INTERFACE),
    C(SET_INTERFACE),
    C(NEW_INTERFACE),
    C(DEL_INTERFACE),
    C(GET_KEY),
    C(SET_KEY),
    C(NEW_KEY),
    C(DEL_KEY),
    C(GET_BEACON),
    C(SET_BEACON),
    C(START_AP),
    C(STOP_AP),
    C(GET_STATION),
    C(SET_STATION),
    C(NEW_STATION),
    C(DEL_STATION),
    C(GET_MPATH),
    C(SET_BSS),
    C(SET_REG),
    C(REQ_SET_REG),
    C(GET_REG),
    C(GET_SCAN),
    C(TRIGGER_SCAN),
    C(NEW_SCAN_RESULTS),
    C(SCAN_ABORTED),
    C(REG_CHANGE),
    C(AUTHENTICATE),
    C(ASSOCIATE),
    C(DEAUTHENTICATE),
    C(DISASSOCIATE),
    C(MICHAEL_MIC_FAILURE),
    C(REG_BEACON_HINT),
    C(JOIN_IBSS),
    C(LEAVE_IBSS),
    C(TESTMODE),
    C(CONNECT),
    C(ROAM),
    C(DISCONNECT),
    C(SET_WIPHY_NETNS),
    C(GET_SURVEY),
    C(NEW_SURVEY_RESULTS),
    C(SET_PMKSA),
    C(DEL_PMKSA),
    C(FLUSH_PMKSA),
    C(REMAIN_ON_CHANNEL),
    C(CANCEL_REMAIN_ON_CHANNEL),
    C(SET_TX_BITRATE_MASK),
    C(REGISTER_FRAME),
    C(FRAME),
    C(FRAME_TX_STATUS),
    C(SET_POWER_SAVE),
    C(GET_POWER_SAVE),
    C(SET_CQM),
    C(NOTIFY_CQM),
    C(SET_CHANNEL),
    C(SET_WDS_PEER),
    C(FRAME_WAIT_CANCEL),
    C(JOIN_MESH),
    C(LEAVE_MESH),
    C(UNPROT_DEAUTHENTICATE),
    C(UNPROT_DISASSOCIATE),
    C(NEW_PEER_CANDIDATE),
    C(GET_WOWLAN),
    C(SET_WOWLAN),
    C(START_SCHED_SCAN),
    C(STOP_SCHED_SCAN),
    C(SCHED_SCAN_RESULTS),
    C(SCHED_SCAN_STOPPED),
    C(SET_REKEY_OFFLOAD),
    C(PMKSA_CANDIDATE),
    C(TDLS_OPER),
    C(TDLS_MGMT),
    C(UNEXPECTED_FRAME),
    C(PROBE_CLIENT),
    C(REGISTER_BEACONS),
    C(UNEXPECTED_4ADDR_FRAME),
    C(SET_NOACK_MAP),
    C(CH_SWITCH_NOTIFY),
    C(START_P2P_DEVICE),
    C(STOP_P2P_DEVICE),
    C(CONN_FAILED),
    C(SET_MCAST_RATE),
    C(SET_MAC_ACL),
    C(RADAR_DETECT),
    C(GET_PROTOCOL_FEATURES),
    C(UPDATE_FT_IES),
    C(FT_EVENT),
    C(CRIT_PROTOCOL_START),
    C(CRIT_PROTOCOL_STOP),
    C(GET_COALESCE),
    C(SET_COALESCE),
    C(CHANNEL_SWITCH),
    C(VENDOR),
    C(SET_QOS_MAP),
    C(ADD_TX_TS),
    C(DEL_TX_TS),
    C(GET_MPP),
    C(JOIN_OCB),
    C(LEAVE_OCB),
    C(CH_SWITCH_STARTED_NOTIFY),
    C(TDLS_CHANNEL_SWITCH),
    C(TDLS_CANCEL_CHANNEL_SWITCH),
    C(WIPHY_REG_CHANGE),
    C(ABORT_SCAN),
    C(START_NAN),
    C(STOP_NAN),
    C(SET_MULTICAST_TO_UNICAST),
    C(UPDATE_CONNECT_PARAMS),
    C(SET_PMK),
    C(DEL_PMK),
    C(PORT_AUTHORIZED),
    C(RELOAD_REGDB),
    C(EXTERNAL_AUTH),
    C(STA_OPMODE_CHANGED),
    C(CONTROL_PORT_FRAME),
    C(GET_FTM_RESPONDER_STATS),
    C(PEER_MEASUREMENT_START),
};
#undef C

} // namespace

int commandByName(const std::string &name) {
    std::string n = name;
    if (n.rfind("NL80211_CMD_", 0) == 0) n = n.substr(12);
    for (const auto &e : names)
        if (n == e.name) return e.cmd;
    if (!n.empty() && n.size() < 4 && n.find_first_not_of("0123456789") == std::string::npos) {
        int v = std::atoi(n.c_str());
        if (v > 0 && v <= NL80211_CMD_MAX) return v;
    }
    return -1;
}

std::string commandName(int cmd) {
    for (const auto &e : names)
        if (e.cmd == cmd) return e.name;
    return "CMD_" + std::to_string(cmd);
}

} // namespace nlsim
