// The generated parameter catalogue: the parameters it builds, their kinds, defaults,
// ranges, flags and option tables.
#include "core/ptable.h"
#include "param_catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <typeinfo>
#include <vector>

namespace {

struct Catalogue {
    std::vector<Param *> items;
    bool globalsMatch = false; // every global reference checked points at its item
};

// The daemon's catalogue, built before main by the parameter table.
const Catalogue &catalogue() {
    static const Catalogue built = [] {
        Catalogue c;
        int count = 0;
        Param **items = ptable().getItems(count);
        c.items.assign(items, items + count);
        c.globalsMatch = count == ParamCount && items[0] == p_admin_cipher &&
                         items[ParamCount - 1] == p_zqn_vendprodIDs_9 &&
                         std::find(items, items + count, p_jack_states) != items + count &&
                         std::find(items, items + count, p_ntp_tzone) != items + count;
        return c;
    }();
    return built;
}

// Binary search by name, as the parameter table looks parameters up.
Param *param(const char *name) {
    const auto &items = catalogue().items;
    auto it = std::lower_bound(items.begin(), items.end(), name,
                               [](Param *p, const char *n) { return std::strcmp(p->name(), n) < 0; });
    return it != items.end() && std::strcmp((*it)->name(), name) == 0 ? *it : nullptr;
}

std::string text(const char *name) {
    Param *p = param(name);
    if (!p) return "<missing>";
    char buffer[128] = {};
    int n = p->toText(buffer, sizeof buffer, false);
    return std::string(buffer, n > 0 ? n : 0);
}

P3List *list(const char *name) {
    return dynamic_cast<P3List *>(param(name));
}

// The parameters marked as changed when the program starts, taken before any test runs:
// other suites of the same binary change parameters, and the catalogue as built must not
// depend on which of them ran first.
std::vector<std::string> changedAtStart;

class ChangedAtStart : public ::testing::Environment {
  public:
    void SetUp() override {
        for (Param *p : catalogue().items)
            if (p != nullptr && p->isChanged()) changedAtStart.push_back(p->name());
    }
};

[[maybe_unused]] const auto *const changedAtStartEnv = ::testing::AddGlobalTestEnvironment(new ChangedAtStart);

} // namespace

TEST(ParamCatalogue, BuildsEveryParameterOnceInByteOrderOfNames) {
    const auto &c = catalogue();
    ASSERT_EQ(ParamCount, 1041);
    for (int i = 0; i < ParamCount; ++i)
        ASSERT_NE(c.items[i], nullptr) << i;
    for (int i = 1; i < ParamCount; ++i)
        EXPECT_LT(std::strcmp(c.items[i - 1]->name(), c.items[i]->name()), 0)
            << c.items[i - 1]->name() << " / " << c.items[i]->name();
    EXPECT_TRUE(c.globalsMatch);
    // "N" sorts before "_", so the count comes before the family.
    EXPECT_LT(std::find(c.items.begin(), c.items.end(), param("ip_filterNumber")),
              std::find(c.items.begin(), c.items.end(), param("ip_filter_1")));
    EXPECT_EQ(changedAtStart, std::vector<std::string>{});
    for (Param *p : c.items)
        EXPECT_LE(std::strlen(p->name()), 60u) << p->name();
}

TEST(ParamCatalogue, CountsPerKind) {
    const std::map<std::string, int> expected = {
        {typeid(IntParam).name(), 164}, {typeid(JackStatesParam).name(), 1}, {typeid(BoolParam).name(), 202},
        {typeid(P3List).name(), 117},   {typeid(StringParam).name(), 495},   {typeid(MacParam).name(), 9},
        {typeid(IpParam).name(), 7},    {typeid(Ip6Address).name(), 2},      {typeid(InetParam).name(), 44},
    };
    std::map<std::string, int> counted;
    for (Param *p : catalogue().items)
        ++counted[typeid(*p).name()];
    EXPECT_EQ(counted, expected);
    EXPECT_EQ(typeid(*param("jack_states")), typeid(JackStatesParam));
}

TEST(ParamCatalogue, FamilySizes) {
    const std::map<std::string, int> families = {
        {"ipvlan_on_", 21},     {"ipvlan_id_", 21},    {"ipvlan_addr_", 21},  {"ipvlan_pfxlen_", 21},
        {"ipvlan_router_", 21}, {"ip_filter_on_", 64}, {"ip_filter_", 64},    {"hw_filter_on_", 8},
        {"hw_filter_", 8},      {"zqn_ppwr_", 20},     {"zqn_poffdura_", 20}, {"zqn_vendprodIDs_", 20},
        {"zqn_pkkey_", 40},     {"zqn_pkvalid_", 40},  {"zqn_pkalive_", 40},  {"usb_slot_", 40},
        {"usb_owner_", 40},     {"trapversion_", 2},   {"mailto_", 2},        {"notistat_", 2},
    };
    std::map<std::string, int> counted;
    const std::regex member("(.*_)([1-9][0-9]*)");
    for (Param *p : catalogue().items) {
        std::cmatch m;
        if (std::regex_match(p->name(), m, member)) ++counted[m[1].str()];
    }
    for (const auto &[prefix, size] : families) {
        EXPECT_EQ(counted[prefix], size) << prefix;
        EXPECT_NE(param((prefix + std::to_string(size)).c_str()), nullptr) << prefix;
        EXPECT_EQ(param((prefix + std::to_string(size + 1)).c_str()), nullptr) << prefix;
        EXPECT_EQ(param((prefix + "0").c_str()), nullptr) << prefix;
    }
}

TEST(ParamCatalogue, Defaults) {
    const struct {
        const char *name;
        const char *value;
    } cases[] = {
        {"admin_name", "Admin"},
        {"any_name", "User"},
        {"admin_pwd", ""},
        {"admin_rights", "readwrite"},
        {"any_rights", "readonly"},
        {"dailyrestart", "24"},
        {"security", "4"},
        {"language", "en"},
        {"debugflags", "545259521"},
        {"protection_test", "on"},
        {"sessKeys", "off"},
        {"sessKeyTimer", "on"},
        {"jack_states", "0"},
        {"disp_def", "DS"},
        {"ip_addr", "0.0.0.0"},
        {"ipv6_addr", "::"},
        {"ip_setby", "zconf"},
        {"ipvlan_id_1", "101"},
        {"ipvlan_id_7", "107"},
        {"ipvlan_id_21", "121"},
        {"ipvlan_addr_7", "::"},
        {"ipvlan_pfxlen_7", "64"},
        {"ipvlan_router_7", "::"},
        {"ipvlan_addr_8", "192.168.0.0"},
        {"ipvlan_pfxlen_8", "24"},
        {"ipvlan_router_8", "0.0.0.0"},
        {"ip_filter_1", "::"},
        {"ip_filter_2", ""},
        {"ip_filter_63", "::"},
        {"hw_filter_8", "00:00:00:00:00:00"},
        {"wl_filter", "-1"},
        {"ntp_tzone", "CET/CEST (EU)"},
        {"zqn_port", "9200"},
        {"usbMg_name", "USB Manager"},
        {"zqn_ppwr_20", "on"},
        {"zqn_accctrl_1", "---"},
        {"zqn_pkalive_40", "sMtWTFS:00:23:19:12:31:23"},
        {"usb_manu_40", "-"},
        {"usb_vendid_1", ""},
        {"snmpv1_community", "velmor"},
        {"trapcommu_2", "velmor"},
        {"mailsub", "%p %N: %E"},
        {"monimailsub", "%p: %N %E"},
        {"moniflags", "1"},
        {"wifi_mode", "softap"},
        {"wifi_name", "KVX"},
        {"wifi_keyid", "0"},
        {"wifi_level", "3"},
        {"auth_typ", "---"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(text(c.name), c.value) << c.name;
    EXPECT_FALSE(text("ntp_server").empty());
}

TEST(ParamCatalogue, RangesBoundWhatATextMaySet) {
    const std::string key28(28, 'k');
    const std::string key29(29, 'k');
    const struct {
        const char *name;
        std::string text;
        bool valid;
    } cases[] = {
        {"dailyrestart", "24", true},
        {"dailyrestart", "25", false},
        {"dailyrestart", "-1", false},
        {"sessKeyTimeout", "0", false},
        {"sessKeyTimeout", "1", true},
        {"sessKeyTimeout", "30", true},
        {"sessKeyTimeout", "31", false},
        {"zqn_port", "0", false},
        {"zqn_port", "1", true},
        {"zqn_port", "65535", true},
        {"zqn_port", "65536", false},
        {"ipvlan_id_7", "0", false},
        {"ipvlan_id_7", "4094", true},
        {"ipvlan_id_7", "4095", false},
        {"ipvlan_mgmt_idx", "21", true},
        {"ipvlan_mgmt_idx", "22", false},
        {"ntp_update", "59", false},
        {"ntp_update", "60", true},
        {"ntp_update", "1024", true},
        {"ntp_update", "1025", false},
        {"pop3_poll", "0", false},
        {"pop3_poll", "10080", true},
        {"pop3_poll", "10081", false},
        {"smtp_limit", "0", true},
        {"wifi_channel", "14", true},
        {"wifi_channel", "15", false},
        {"wifi_keyid", "0", false},
        {"wifi_keyid", "4", true},
        {"crashes", "-123456", true}, // no range: any value
        {"wifi_wkey1", key28, true},
        {"wifi_wkey1", key29, false},
        {"admin_pwd", "", true}, // concealed: empty despite the length range
        {"admin_pwd", "1234567", false},
        {"admin_pwd", "12345678", true},
        {"sessKeys", "on", true},
        {"sessKeys", "yes", false},
        {"wifi_encrypt", "AES2", true},
        {"wifi_encrypt", "aes2", false},
        {"wifi_encrypt", "WepOpen", true},
        {"zqn_ppwr_1", "fail", true},
        {"zqn_ppwr_1", "Fail", false},
        {"ipvlan_addr_3", "fe80::1", true},
        {"ipvlan_addr_3", "10.1.2.3", true},
        {"ip_router", "::1", false},
        {"ipv6_router", "10.1.2.3", false},
    };
    for (const auto &c : cases) {
        Param *p = param(c.name);
        ASSERT_NE(p, nullptr) << c.name;
        EXPECT_EQ(p->validate(c.text.c_str()), c.valid) << c.name << " '" << c.text << "'";
    }
    const int32_t *r = param("tcp_maxseg")->range();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r[0], 0);
    EXPECT_EQ(r[1], 1500);
    EXPECT_EQ(param("ipvlan_pfxlen_1")->range(), nullptr);
    for (Param *p : catalogue().items) {
        if (typeid(*p) != typeid(BoolParam)) continue;
        const int32_t *b = p->range();
        ASSERT_NE(b, nullptr) << p->name();
        EXPECT_TRUE(b[0] == 0 && b[1] == 1) << p->name();
    }
}

TEST(ParamCatalogue, Flags) {
    const struct {
        const char *name;
        uint32_t flags;
    } cases[] = {
        {"admin_name", ParamAtOnce},
        {"admin_pwd", ParamAtOnce | ParamConcealed},
        {"security", ParamSaved},
        {"protection", 0},
        {"language", ParamSaved | ParamInternal},
        {"jack_states", ParamTemporary | ParamStatus},
        {"debugflags", ParamSaved | ParamInternal | ParamNever},
        {"beepSDc", ParamSaved | ParamFeatBeeper | ParamFeatSlot},
        {"disp_lnk", ParamSaved | ParamFeatDisplay | ParamFeatDisplayCodes},
        {"relay_eve_udea", ParamSaved | ParamTranslated | ParamFeatRelay},
        {"ip_mask", ParamTemporary | ParamStatus | ParamInternal},
        {"ipvlan_addr_7", ParamAtOnce | ParamPerPort | ParamFeatAccess},
        {"ip_filter_9", ParamAddressText | ParamPerPort},
        {"netcon_port", ParamNever},
        {"ntp_tzone", ParamAtOnce | ParamSnmpText},
        {"zqn_ppwr_3", ParamSaved | ParamPerPort | ParamFeatPower},
        {"zqn_pkalive_5", ParamSaved | ParamEmptyDefault | ParamPerPort | ParamFeatAccess},
        {"zqn_pkkey_40", ParamSaved | ParamConcealed | ParamPerPort | ParamFeatAccess},
        {"usb_owner_40", ParamTemporary | ParamStatus | ParamPerDevice},
        {"trap_sdcard", ParamAtOnce | ParamFeatMail | ParamFeatSlot},
        {"wdav_url", ParamSaved | ParamSlashes},
        {"wdav_dbgdir", ParamSaved | ParamNever | ParamSlashes},
        {"wifi", ParamTemporary | ParamStatus | ParamFeatWlan},
        {"auth_pwd", ParamConcealed},
    };
    for (const auto &c : cases) {
        Param *p = param(c.name);
        ASSERT_NE(p, nullptr) << c.name;
        EXPECT_EQ(p->flags(), c.flags) << c.name;
    }
    // No parameter carries both change classes, and the absent bit is the product filter's.
    for (Param *p : catalogue().items) {
        EXPECT_FALSE(p->hasFlags(ParamSaved) && p->hasFlags(ParamAtOnce)) << p->name();
        EXPECT_FALSE(p->hasFlags(ParamAbsent | ParamHashed)) << p->name();
    }
}

TEST(ParamCatalogue, OptionTables) {
    P3List *lang = list("language");
    ASSERT_NE(lang, nullptr);
    ASSERT_EQ(lang->optionCount(), 10);
    EXPECT_STREQ(lang->options()[2].label, "Fran\xc3\xa7"
                                           "ais");
    EXPECT_STREQ(lang->options()[6].label, "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e");
    EXPECT_STREQ(lang->options()[2].code, "fr_FR.UTF-8");

    P3List *deltaload = list("deltaload");
    ASSERT_NE(deltaload, nullptr);
    const char *codes[] = {"0", "1", "5", "38", "113", "788"};
    ASSERT_EQ(deltaload->optionCount(), 6);
    for (int i = 0; i < 6; ++i)
        EXPECT_STREQ(deltaload->options()[i].code, codes[i]);

    P3List *test = list("protection_test");
    EXPECT_STREQ(test->options()[test->find("off", 3)].label, "On");
    EXPECT_STREQ(test->options()[test->find("on", 2)].label, "Off");
    P3List *mode = list("wifi_mode");
    EXPECT_STREQ(mode->options()[0].code, "idx1");
    EXPECT_STREQ(mode->options()[1].code, "idx2");
    EXPECT_STREQ(list("wifi_encrypt")->options()[1].label, "WEP  (Open System)");
    EXPECT_STREQ(list("auth_typ")->options()[1].label, "MD5");
    EXPECT_STREQ(list("relay_stat_udea")->options()[0].label, "--");
    EXPECT_STREQ(list("relay_stat_uact")->options()[0].label, "---");

    // Shared tables are one array.
    EXPECT_EQ(list("admin_rights")->options(), list("any_rights")->options());
    EXPECT_EQ(list("relay_eve_ucon")->options(), list("relay_stat_udis")->options());
    EXPECT_EQ(list("zqn_pkvalid_1")->options(), list("zqn_pkvalid_40")->options());
    EXPECT_NE(list("relay_eve_udea")->options(), list("relay_eve_uact")->options());

    // Every option has its three texts, and every default names an option.
    for (Param *p : catalogue().items) {
        P3List *l = dynamic_cast<P3List *>(p);
        if (!l) continue;
        EXPECT_TRUE(l->hasValue()) << l->name();
        for (int i = 0; i < l->optionCount(); ++i) {
            const P3Option &o = l->options()[i];
            ASSERT_TRUE(o.keyword && o.label && o.code) << l->name() << " " << i;
            EXPECT_NE(o.keyword[0], '\0') << l->name() << " " << i;
            EXPECT_NE(o.label[0], '\0') << l->name() << " " << i;
        }
    }
}

TEST(ParamCatalogue, TimeZones) {
    P3List *tz = list("ntp_tzone");
    ASSERT_NE(tz, nullptr);
    ASSERT_EQ(tz->optionCount(), 225);
    const P3Option *o = tz->options();
    EXPECT_STREQ(o[0].keyword, "optgroup");
    EXPECT_STREQ(o[0].label, "UTC-11:00");
    EXPECT_STREQ(o[224].keyword, "LINT");
    EXPECT_STREQ(o[224].code, "UTC+14:00");

    // Every zone stands under the heading of its own UTC offset, with its keyword as label.
    int groups = 0;
    std::string heading;
    std::map<std::string, int> seen;
    for (int i = 0; i < 225; ++i) {
        if (std::strcmp(o[i].keyword, "optgroup") == 0) {
            ++groups;
            heading = o[i].label;
            EXPECT_STREQ(o[i].code, "") << i;
            continue;
        }
        ++seen[o[i].keyword];
        EXPECT_STREQ(o[i].label, o[i].keyword) << i;
        std::string code = o[i].code;
        EXPECT_EQ(code.substr(0, code.find(' ')), heading) << o[i].keyword;
    }
    EXPECT_EQ(groups, 37);
    EXPECT_STREQ(o[tz->find("KOST", 4)].code, "UTC+11:00");
    EXPECT_STREQ(o[tz->find("NFT", 3)].code, "UTC+11:30");

    // Keywords that stand more than once select the first of them, from a form, the
    // parameter file or SNMP alike.
    const struct {
        const char *keyword;
        int times;
        const char *code;
    } repeated[] = {
        {"WST", 2, "UTC-11:00"}, {"CST", 3, "UTC-6:00"}, {"AST", 2, "UTC-4:00"},
        {"GST", 2, "UTC-2:00"},  {"LKT", 2, "UTC+5:30"},
    };
    int repeatedKeywords = 0;
    for (const auto &[keyword, times] : seen)
        repeatedKeywords += times > 1;
    EXPECT_EQ(repeatedKeywords, 5);
    for (const auto &r : repeated) {
        EXPECT_EQ(seen[r.keyword], r.times) << r.keyword;
        ASSERT_TRUE(tz->setText(r.keyword, -1)) << r.keyword;
        EXPECT_STREQ(o[tz->current()].code, r.code) << r.keyword;
    }
    ASSERT_TRUE(tz->setText("CET/CEST (EU)", -1));
    EXPECT_STREQ(o[tz->current()].code, "UTC+1:00 EU");
    tz->clearChanged();
}
