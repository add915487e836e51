// The device MIB's scalars: 149 objects under the enterprise arc, each bound to one
// parameter of the store. A GET answers the parameter's own SNMP value; a SET goes
// through the object's write method to the parameter's SNMP write phases, whose commit
// applies and saves the store. The library's variable record carries an 8-bit magic,
// too narrow for the 16-bit identifiers (130 to 1067): the magic is the row of a side
// table that holds the identifier and the parameter.

#include "core/param.h"
#include "core/ptable.h"
#include "snmp/snmp_internal.h"
#include "snmp/snmp_lib.h"
#include "snmp/snmpd.h"

#include <array>
#include <cstdio>
#include <utility>

namespace {

struct ScalarRow {
    uint16_t id;        // the object's identifier (mirror objects share it)
    const char *param;  // the parameter it is bound to
    uint8_t type;       // the ASN.1 type of the answer
    uint16_t access;    // RONLY or RWRITE
    uint8_t nameLength; // sub-identifiers below ENT
    oid name[7];
};

// OID below ENT (answered at instance .0), parameter, type, access, identifier.
constexpr ScalarRow Scalars[] = {
    {130, "jack_states", ASN_BIT_STR, RONLY, 2, {1, 10}},
    {432, "sys_descr", ASN_OCTET_STR, RWRITE, 3, {2, 1, 1}},
    {433, "sys_contact", ASN_OCTET_STR, RWRITE, 3, {2, 1, 21}},
    {131, "language", ASN_INTEGER, RWRITE, 3, {2, 1, 22}},
    {479, "zqn_port", ASN_INTEGER, RWRITE, 3, {2, 1, 35}},
    {132, "button_cnt", ASN_INTEGER, RONLY, 3, {2, 1, 40}},
    {480, "zqn_sslport", ASN_INTEGER, RWRITE, 3, {2, 1, 45}},
    {133, "sw_features", ASN_INTEGER, RONLY, 3, {2, 1, 50}},
    {134, "ip_addr", ASN_IPADDRESS, RWRITE, 3, {2, 4, 1}},
    {135, "ip_pfxlen", ASN_INTEGER, RWRITE, 3, {2, 4, 2}},
    {136, "ip_router", ASN_IPADDRESS, RWRITE, 3, {2, 4, 3}},
    {138, "ip_auto", ASN_INTEGER, RWRITE, 3, {2, 4, 6}},
    {137, "ip_dhcp", ASN_INTEGER, RWRITE, 3, {2, 4, 7}},
    {139, "ip_setby", ASN_INTEGER, RONLY, 3, {2, 4, 9}},
    {407, "dns", ASN_INTEGER, RWRITE, 3, {2, 4, 13}},
    {408, "dns_domain", ASN_OCTET_STR, RWRITE, 3, {2, 4, 14}},
    {409, "dns_primary", ASN_OCTET_STR, RWRITE, 3, {2, 4, 15}},
    {410, "dns_secondary", ASN_OCTET_STR, RWRITE, 3, {2, 4, 16}},
    {411, "dns_1st4", ASN_INTEGER, RWRITE, 3, {2, 4, 17}},
    {255, "http_allowed", ASN_INTEGER, RWRITE, 3, {2, 4, 21}},
    {140, "ipv6", ASN_INTEGER, RWRITE, 3, {2, 4, 22}},
    {141, "ipv6_addr", ASN_OCTET_STR, RWRITE, 3, {2, 4, 23}},
    {142, "ipv6_pfxlen", ASN_INTEGER, RWRITE, 3, {2, 4, 24}},
    {143, "ipv6_router", ASN_OCTET_STR, RWRITE, 3, {2, 4, 25}},
    {144, "ipv6_auto", ASN_INTEGER, RWRITE, 3, {2, 4, 26}},
    {431, "sys_name", ASN_OCTET_STR, RWRITE, 3, {2, 5, 1}},
    {145, "bonjour", ASN_INTEGER, RWRITE, 3, {2, 6, 14}},
    {478, "bonjour_name", ASN_OCTET_STR, RWRITE, 6, {2, 6, 21, 1, 10, 1}},
    {426, "snmpv1_community", ASN_OCTET_STR, RWRITE, 3, {2, 7, 20}},
    {424, "snmpv1", ASN_INTEGER, RWRITE, 3, {2, 7, 21}},
    {425, "snmpv1_ronly", ASN_INTEGER, RWRITE, 3, {2, 7, 22}},
    {427, "snmpv3", ASN_INTEGER, RWRITE, 3, {2, 7, 31}},
    {461, "wifi_mode", ASN_INTEGER, RWRITE, 3, {2, 11, 1}},
    {462, "wifi_channel", ASN_INTEGER, RWRITE, 3, {2, 11, 2}},
    {463, "wifi_name", ASN_OCTET_STR, RWRITE, 3, {2, 11, 3}},
    {464, "wifi_encrypt", ASN_INTEGER, RWRITE, 3, {2, 11, 5}},
    {471, "wifi_wkey1", ASN_OCTET_STR, RWRITE, 3, {2, 11, 6}},
    {465, "wifi_level", ASN_INTEGER, RONLY, 3, {2, 11, 8}},
    {466, "wifi_speed", ASN_OCTET_STR, RONLY, 3, {2, 11, 9}},
    {467, "wifi_status", ASN_INTEGER, RONLY, 3, {2, 11, 10}},
    {468, "wifi_manu", ASN_OCTET_STR, RONLY, 3, {2, 11, 11}},
    {469, "wifi_serial", ASN_OCTET_STR, RONLY, 3, {2, 11, 12}},
    {470, "wifi_keyid", ASN_INTEGER, RWRITE, 3, {2, 11, 14}},
    {472, "wifi_wkey2", ASN_OCTET_STR, RWRITE, 3, {2, 11, 15}},
    {473, "wifi_wkey3", ASN_OCTET_STR, RWRITE, 3, {2, 11, 16}},
    {474, "wifi_wkey4", ASN_OCTET_STR, RWRITE, 3, {2, 11, 17}},
    {434, "auth_typ", ASN_INTEGER, RWRITE, 3, {2, 11, 18}},
    {435, "auth_name", ASN_OCTET_STR, RWRITE, 3, {2, 11, 19}},
    {436, "auth_pwd", ASN_OCTET_STR, RWRITE, 3, {2, 11, 20}},
    {475, "wifi_psk", ASN_OCTET_STR, RWRITE, 3, {2, 11, 21}},
    {476, "wifi_roaming", ASN_INTEGER, RWRITE, 3, {2, 11, 22}},
    {438, "auth_opt", ASN_INTEGER, RWRITE, 3, {2, 11, 23}},
    {437, "auth_inner", ASN_INTEGER, RWRITE, 3, {2, 11, 24}},
    {439, "auth_ano_name", ASN_OCTET_STR, RWRITE, 3, {2, 11, 25}},
    {440, "auth_wpa_addon", ASN_OCTET_STR, RWRITE, 3, {2, 11, 26}},
    {477, "btn_wps_pbc", ASN_INTEGER, RWRITE, 3, {2, 11, 28}},
    {460, "wifi", ASN_INTEGER, RONLY, 3, {2, 11, 40}},
    {428, "ntp", ASN_INTEGER, RWRITE, 3, {2, 21, 1}},
    {429, "ntp_server", ASN_OCTET_STR, RWRITE, 3, {2, 21, 2}},
    {430, "ntp_tzone", ASN_OCTET_STR, RWRITE, 3, {2, 21, 5}},
    {441, "pop3", ASN_INTEGER, RWRITE, 4, {2, 25, 8, 1}},
    {442, "pop3_poll", ASN_INTEGER, RWRITE, 4, {2, 25, 8, 2}},
    {443, "pop3_srv", ASN_OCTET_STR, RWRITE, 4, {2, 25, 8, 3}},
    {444, "pop3_port", ASN_INTEGER, RWRITE, 4, {2, 25, 8, 4}},
    {445, "smtp_srv", ASN_OCTET_STR, RWRITE, 4, {2, 25, 8, 5}},
    {446, "smtp_port", ASN_INTEGER, RWRITE, 4, {2, 25, 8, 6}},
    {447, "pop3_usr", ASN_OCTET_STR, RWRITE, 4, {2, 25, 8, 7}},
    {448, "pop3_pwd", ASN_OCTET_STR, RWRITE, 4, {2, 25, 8, 8}},
    {449, "pop3_sec", ASN_INTEGER, RWRITE, 4, {2, 25, 8, 9}},
    {450, "pop3_limit", ASN_INTEGER, RWRITE, 4, {2, 25, 8, 11}},
    {451, "smtp_usr", ASN_OCTET_STR, RWRITE, 4, {2, 25, 8, 13}},
    {452, "smtp_pwd", ASN_OCTET_STR, RWRITE, 4, {2, 25, 8, 14}},
    {453, "smtp_sender", ASN_OCTET_STR, RWRITE, 4, {2, 25, 8, 15}},
    {454, "smtp_secure", ASN_INTEGER, RWRITE, 4, {2, 25, 8, 16}},
    {455, "smtp_auth", ASN_INTEGER, RWRITE, 4, {2, 25, 8, 18}},
    {456, "smtp_sign", ASN_INTEGER, RWRITE, 4, {2, 25, 8, 30}},
    {457, "smtp_attpkey", ASN_INTEGER, RWRITE, 4, {2, 25, 8, 31}},
    {458, "smtp_encrypt", ASN_INTEGER, RWRITE, 4, {2, 25, 8, 35}},
    {459, "smtp_limit", ASN_INTEGER, RWRITE, 4, {2, 25, 8, 36}},
    {256, "protection", ASN_INTEGER, RWRITE, 3, {2, 40, 1}},
    {257, "protection_test", ASN_INTEGER, RWRITE, 3, {2, 40, 2}},
    {258, "protection_level", ASN_INTEGER, RWRITE, 3, {2, 40, 3}},
    {405, "security", ASN_INTEGER, RWRITE, 3, {2, 40, 20}},
    {406, "sslmethod", ASN_INTEGER, RWRITE, 3, {2, 40, 21}},
    {412, "any_name", ASN_OCTET_STR, RWRITE, 3, {2, 41, 1}},
    {413, "any_pwd", ASN_OCTET_STR, RWRITE, 3, {2, 41, 2}},
    {414, "any_rights", ASN_INTEGER, RWRITE, 3, {2, 41, 3}},
    {415, "any_hash", ASN_INTEGER, RWRITE, 3, {2, 41, 4}},
    {416, "any_cipher", ASN_INTEGER, RWRITE, 3, {2, 41, 5}},
    {417, "any_passphrase", ASN_OCTET_STR, RWRITE, 3, {2, 41, 6}},
    {418, "admin_name", ASN_OCTET_STR, RWRITE, 3, {2, 41, 11}},
    {419, "admin_pwd", ASN_OCTET_STR, RWRITE, 3, {2, 41, 12}},
    {420, "admin_rights", ASN_INTEGER, RWRITE, 3, {2, 41, 13}},
    {421, "admin_hash", ASN_INTEGER, RWRITE, 3, {2, 41, 14}},
    {422, "admin_cipher", ASN_INTEGER, RWRITE, 3, {2, 41, 15}},
    {423, "admin_passphrase", ASN_OCTET_STR, RWRITE, 3, {2, 41, 16}},
    {146, "vlanNumber", ASN_INTEGER, RONLY, 3, {2, 43, 1}},
    {252, "ipvlan_mgmt", ASN_INTEGER, RWRITE, 3, {2, 43, 10}},
    {253, "ipvlan_mgmt_idx", ASN_INTEGER, RWRITE, 3, {2, 43, 11}},
    {254, "ipvlan_mgmt_untag", ASN_INTEGER, RWRITE, 3, {2, 43, 13}},
    {259, "ip_filterNumber", ASN_INTEGER, RONLY, 3, {2, 44, 1}},
    {388, "macFilterNumber", ASN_INTEGER, RONLY, 3, {2, 45, 1}},
    {134, "ip_addr", ASN_IPADDRESS, RWRITE, 3, {3, 4, 1}},
    {136, "ip_router", ASN_IPADDRESS, RWRITE, 3, {3, 4, 3}},
    {137, "ip_dhcp", ASN_INTEGER, RWRITE, 3, {3, 4, 7}},
    {461, "wifi_mode", ASN_INTEGER, RWRITE, 3, {3, 11, 1}},
    {462, "wifi_channel", ASN_INTEGER, RWRITE, 3, {3, 11, 2}},
    {463, "wifi_name", ASN_OCTET_STR, RWRITE, 3, {3, 11, 3}},
    {464, "wifi_encrypt", ASN_INTEGER, RWRITE, 3, {3, 11, 5}},
    {471, "wifi_wkey1", ASN_OCTET_STR, RWRITE, 3, {3, 11, 6}},
    {470, "wifi_keyid", ASN_INTEGER, RWRITE, 3, {3, 11, 14}},
    {472, "wifi_wkey2", ASN_OCTET_STR, RWRITE, 3, {3, 11, 15}},
    {473, "wifi_wkey3", ASN_OCTET_STR, RWRITE, 3, {3, 11, 16}},
    {474, "wifi_wkey4", ASN_OCTET_STR, RWRITE, 3, {3, 11, 17}},
    {434, "auth_typ", ASN_INTEGER, RWRITE, 3, {3, 11, 18}},
    {435, "auth_name", ASN_OCTET_STR, RWRITE, 3, {3, 11, 19}},
    {436, "auth_pwd", ASN_OCTET_STR, RWRITE, 3, {3, 11, 20}},
    {475, "wifi_psk", ASN_OCTET_STR, RWRITE, 3, {3, 11, 21}},
    {476, "wifi_roaming", ASN_INTEGER, RWRITE, 3, {3, 11, 22}},
    {438, "auth_opt", ASN_INTEGER, RWRITE, 3, {3, 11, 23}},
    {437, "auth_inner", ASN_INTEGER, RWRITE, 3, {3, 11, 24}},
    {439, "auth_ano_name", ASN_OCTET_STR, RWRITE, 3, {3, 11, 25}},
    {481, "zqn_hide", ASN_INTEGER, RWRITE, 3, {5, 1, 9}},
    {482, "zqn_sec", ASN_INTEGER, RWRITE, 3, {5, 1, 10}},
    {1046, "disp_def", ASN_OCTET_STR, RWRITE, 3, {5, 1, 11}},
    {1047, "disp_erVals", ASN_OCTET_STR, RONLY, 3, {5, 1, 12}},
    {1048, "beepPwr", ASN_INTEGER, RWRITE, 3, {5, 1, 13}},
    {1049, "beepSDc", ASN_INTEGER, RWRITE, 3, {5, 1, 14}},
    {1051, "relay_on", ASN_INTEGER, RWRITE, 3, {5, 1, 16}},
    {1050, "beepLnk", ASN_INTEGER, RWRITE, 3, {5, 1, 17}},
    {1058, "relay_eves", ASN_INTEGER, RONLY, 3, {5, 1, 18}},
    {1059, "relay_eve_start", ASN_INTEGER, RWRITE, 3, {5, 1, 21}},
    {1060, "relay_eve_1pwr", ASN_INTEGER, RWRITE, 3, {5, 1, 22}},
    {1061, "relay_eve_2pwr", ASN_INTEGER, RWRITE, 3, {5, 1, 23}},
    {1062, "relay_eve_net", ASN_INTEGER, RWRITE, 3, {5, 1, 24}},
    {1063, "relay_eve_sd", ASN_INTEGER, RWRITE, 3, {5, 1, 25}},
    {1064, "relay_eve_ucon", ASN_INTEGER, RWRITE, 3, {5, 1, 26}},
    {1065, "relay_eve_udis", ASN_INTEGER, RWRITE, 3, {5, 1, 27}},
    {1066, "relay_eve_uact", ASN_INTEGER, RWRITE, 3, {5, 1, 28}},
    {1067, "relay_eve_udea", ASN_INTEGER, RWRITE, 3, {5, 1, 29}},
    {1052, "relay_ctrl", ASN_INTEGER, RWRITE, 3, {5, 1, 40}},
    {1053, "relay_stat_net", ASN_INTEGER, RWRITE, 3, {5, 1, 44}},
    {1054, "relay_stat_ucon", ASN_INTEGER, RWRITE, 3, {5, 1, 46}},
    {1055, "relay_stat_udis", ASN_INTEGER, RWRITE, 3, {5, 1, 47}},
    {1056, "relay_stat_uact", ASN_INTEGER, RWRITE, 3, {5, 1, 48}},
    {1057, "relay_stat_udea", ASN_INTEGER, RWRITE, 3, {5, 1, 49}},
    {483, "usbPortNumber", ASN_INTEGER, RONLY, 3, {5, 10, 1}},
    {644, "zqnPortKeyNumber", ASN_INTEGER, RONLY, 3, {5, 11, 1}},
    {765, "usbDevNumber", ASN_INTEGER, RONLY, 3, {5, 20, 1}},
};
constexpr size_t ScalarCount = sizeof Scalars / sizeof Scalars[0];
static_assert(ScalarCount == 149, "the device MIB has 149 scalars");
static_assert(ScalarCount <= 256, "the row number must fit the library's 8-bit magic");

// The parameters of the rows, looked up once when the module registers.
std::array<Param *, ScalarCount> scalarParams{};

// One SET phase of a row: the write method hands all its arguments to the parameter.
int writeRow(size_t row, int action, u_char *value, u_char type, size_t length) {
    std::printf("call wrapper %s\n", Scalars[row].param);
    std::fflush(stdout);
    Param *p = scalarParams[row];
    if (p == nullptr) return SNMP_ERR_NOTWRITABLE;
    return p->setBySnmp(action, value, type, length);
}

// The write method of one row: the library's write methods get no context, so each
// row has its own function.
template <size_t Row>
int wrapper(int action, u_char *value, u_char type, size_t length, u_char *, oid *, size_t) {
    return writeRow(Row, action, value, type, length);
}

template <size_t... Rows>
constexpr std::array<WriteMethod *, sizeof...(Rows)> makeWrappers(std::index_sequence<Rows...>) {
    return {&wrapper<Rows>...};
}
constexpr auto Wrappers = makeWrappers(std::make_index_sequence<ScalarCount>{});

u_char *var_deviceMib(struct variable *vp, oid *name, size_t *length, int exact, size_t *varLength,
                      WriteMethod **writeMethod) {
    if (header_generic(vp, name, length, exact, varLength, writeMethod) != MATCH_SUCCEEDED) return nullptr;
    size_t row = vp->magic;
    if (row >= ScalarCount) return nullptr;
    const ScalarRow &r = Scalars[row];
    if (r.id < 130 || r.id > 1067 || scalarParams[row] == nullptr) return nullptr;
    const void *pointer = nullptr;
    size_t len = 0;
    if (!scalarParams[row]->getSnmpValue(pointer, len)) return nullptr;
    *varLength = len;
    if (r.access == RWRITE) *writeMethod = Wrappers[row];
    // The library copies the bytes into the answer at once.
    return static_cast<u_char *>(const_cast<void *>(pointer));
}

} // namespace

int init_kvxAutoMib() {
    std::printf("Register KVX AUTO MIB.\n");
    static struct variable7 variables[ScalarCount];
    Ptable &table = ptable();
    for (size_t i = 0; i < ScalarCount; i++) {
        const ScalarRow &r = Scalars[i];
        variables[i].magic = static_cast<u_char>(i);
        variables[i].type = r.type;
        variables[i].acl = r.access;
        variables[i].findVar = var_deviceMib;
        variables[i].namelen = r.nameLength;
        for (size_t k = 0; k < r.nameLength; k++)
            variables[i].name[k] = r.name[k];
        scalarParams[i] = table.find(r.param);
    }
    register_mib("KVX-AUTOSystem", reinterpret_cast<struct variable *>(variables), sizeof(struct variable7),
                 ScalarCount, EnterpriseArc, EnterpriseArcLength);
    return init_deviceTables();
}
