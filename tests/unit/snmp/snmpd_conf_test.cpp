// The agent's configuration file: golden files for a table of parameter sets, hostile
// texts among them, and the counters and user list the writer hands on.
#include "core/master.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "param_catalogue.h"
#include "snmp/snmp_internal.h"
#include "snmp/snmpd.h"
#include "tests/unit/core/param_guard.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using Settings = std::vector<std::pair<Param *, const char *>>;

struct Case {
    const char *name; // the golden file tests/fixtures/snmpd/<name>.conf
    Settings settings;
    bool trapsConfigured;
    int32_t trapsOut1, trapsOut2;
    std::vector<std::string> users;
};

std::vector<Case> cases() {
    return {
        // The catalogue's defaults: both versions on, IPv6 on, two users without
        // passwords, no trap target.
        {"defaults", {}, false, -1, -1, {"Admin", "User"}},
        {"full",
         {{p_ipv6, "off"},
          {p_snmpv1_ronly, "on"},
          {p_snmpv1_community, "public7"},
          {p_admin_pwd, "adminpass1"},
          {p_admin_hash, "sha"},
          {p_admin_cipher, "aes"},
          {p_admin_passphrase, "privpass12"},
          {p_any_name, "monitor"},
          {p_any_pwd, "monitorpw"},
          {p_any_cipher, "---"},
          {p_trapversion_1, "v1"},
          {p_trapto_1, "198.18.7.9"},
          {p_trapcommu_1, "trapper"},
          {p_trapversion_2, "v3"},
          {p_trapto_2, "198.18.7.10"},
          {p_sys_name, "printer-room"},
          {p_sys_contact, "ops@example.test"},
          {p_sys_descr, "Building 4, floor 2"}},
         true,
         0,
         0,
         {"Admin", "monitor"}},
        // Without the administrator's rights its user is gone, and SNMPv3 targets go
        // without privacy; a target with version "---" counts but writes nothing.
        {"no_admin",
         {{p_snmpv1, "off"},
          {p_admin_rights, "---"},
          {p_admin_pwd, "adminpass1"},
          {p_any_rights, "---"},
          {p_trapversion_1, "v3"},
          {p_trapto_1, "198.18.7.9"},
          {p_trapversion_2, "v3"},
          {p_trapto_2, "198.18.7.10"}},
         true,
         0,
         0,
         {}},
        {"snmpv3_off",
         {{p_snmpv3, "off"},
          {p_admin_pwd, "adminpass1"},
          {p_admin_cipher, "des"},
          {p_admin_passphrase, "privpass12"},
          {p_trapversion_1, "---"},
          {p_trapto_1, "198.18.7.9"},
          {p_trapversion_2, "v1"},
          {p_trapcommu_2, ""},
          {p_trapto_2, "198.18.7.10"}},
         true,
         0,
         -1,
         {}},
        // Hostile texts: no text adds a line or breaks a quoted word. (Texts with control
        // characters never get into a parameter; the writer refuses them all the same.)
        {"hostile",
         {{p_admin_name, "Ad min'x#"},
          {p_admin_pwd, "pa'ss\\word"},
          {p_admin_cipher, "aes"},
          {p_admin_passphrase, "ph'rase\\ x"},
          {p_any_name, "x\" rwuser \"evil"},
          {p_snmpv1_community, "pub lic#1"},
          {p_trapversion_1, "v1"},
          {p_trapto_1, "198.18.7.9"},
          {p_trapcommu_1, "a b"},
          {p_trapversion_2, "v3"},
          {p_trapto_2, "198.18.7.10"},
          {p_sys_name, "name\nrocommunity evil"},
          {p_sys_contact, "contact\r\nrwcommunity evil"},
          {p_sys_descr, "\"quoted\" #location"}},
         true,
         0,
         0,
         {"Ad min'x#"}},
    };
}

std::string readFile(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class SnmpdConf : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(readProductParamsFile(product, std::string(QMR_FIXTURES) + "/products/p287_4port"));
        snmpPort = 161;
    }
    ProductParams product;
};

TEST_F(SnmpdConf, GoldenFilesForParameterSets) {
    for (const Case &c : cases()) {
        ParamGuard guard;
        for (const auto &[param, text] : c.settings)
            guard.set(param, text);
        SnmpdConfig conf = snmpdConfigText(product);
        std::string golden = std::string(QMR_FIXTURES) + "/snmpd/" + c.name + ".conf";
        if (std::getenv("QMR_WRITE_GOLDEN")) std::ofstream(golden) << conf.text;
        EXPECT_EQ(conf.text, readFile(golden)) << c.name;
        EXPECT_EQ(conf.trapsConfigured, c.trapsConfigured) << c.name;
        EXPECT_EQ(conf.trapsOut[0], c.trapsOut1) << c.name;
        EXPECT_EQ(conf.trapsOut[1], c.trapsOut2) << c.name;
        EXPECT_EQ(conf.users, c.users) << c.name;
        // Whatever the texts, every line starts with a directive of the writer's own.
        std::istringstream lines(conf.text);
        std::string line;
        while (std::getline(lines, line)) {
            static const char *const known[] = {
                "agentaddress ", "engineID ",   "createUser ", "rwuser ",     "rouser ",
                "rwcommunity",   "rocommunity", "trapsink ",   "trapsess ",   "authtrapenable\t",
                "sysObjectID ",  "sysName ",    "sysDescr ",   "sysContact ", "sysLocation "};
            bool ok = false;
            for (const char *k : known)
                ok = ok || line.rfind(k, 0) == 0;
            EXPECT_TRUE(ok) << c.name << ": " << line;
        }
    }
}

TEST_F(SnmpdConf, TargetWhoseLineIsLeftOutStillCounts) {
    // A community that a trapsink line cannot hold (the library splits it at blanks and
    // takes no quotes) leaves the line out, but the target has its community and
    // address: it counts as configured, like a target of version "---".
    for (const char *community : {"a b", "a#b evil", "it's"}) {
        ParamGuard guard;
        guard.set(p_trapversion_1, "v1");
        guard.set(p_trapto_1, "198.18.7.9");
        guard.set(p_trapcommu_1, community);
        SnmpdConfig conf = snmpdConfigText(product);
        EXPECT_EQ(conf.text.find("trapsink"), std::string::npos) << community;
        EXPECT_EQ(conf.text.find("evil"), std::string::npos) << community;
        EXPECT_TRUE(conf.trapsConfigured) << community;
        EXPECT_EQ(conf.trapsOut[0], 0) << community;
        EXPECT_EQ(conf.trapsOut[1], -1) << community;
    }
}

TEST_F(SnmpdConf, EngineIdFromTheLastThreeMacBytesInUpperCase) {
    product.factoryMac[3] = 0x0a;
    product.factoryMac[4] = 0xbb;
    product.factoryMac[5] = 0x0c;
    EXPECT_NE(snmpdConfigText(product).text.find("\nengineID KVX0ABB0C\n"), std::string::npos);
}

TEST(SnmpdConfWords, QuotingOfWords) {
    const struct {
        const char *text;
        const char *word;
    } table[] = {
        {"velmor", "velmor"},       {"a b", "\"a b\""},   {"a#b", "\"a#b\""}, {"q\"x", "\"q\\\"x\""},
        {"back\\", "\"back\\\\\""}, {"it's", "\"it's\""}, {"", "\"\""},
    };
    for (const auto &t : table)
        EXPECT_EQ(confWord(t.text), t.word) << t.text;
    EXPECT_EQ(confQuoted("pa'ss\\", '\''), "'pa\\'ss\\\\'");
    EXPECT_TRUE(confTextUsable("caf\xc3\xa9 \"#'"));
    EXPECT_FALSE(confTextUsable("a\tb"));
    EXPECT_FALSE(confTextUsable("a\x7f"));
}

TEST(TrapsOut, CountsOnlyConfiguredTargets) {
    trapsOut[0] = 0;
    trapsOut[1] = -1;
    addTrapsOut(3);
    addTrapsOut(2);
    EXPECT_EQ(trapsOut[0].load(), 5);
    EXPECT_EQ(trapsOut[1].load(), -1);
}

TEST(TrapRequests, RefusedWithoutAnAgentOrOutOfBounds) {
    SnmpTrapRequest r;
    r.kind = SnmpTrapRequest::V3;
    r.vars.push_back(
        {{1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0}, SnmpTrapVar::ObjectId, 0, "", {1, 3, 6, 1, 6, 3, 1, 1, 5, 1}});
    EXPECT_EQ(snmpPostTrap(r), 0) << "no agent runs";
    setTrapAgentRunning(TaskRegistrySize + 1000); // an agent number no task has
    EXPECT_EQ(snmpPostTrap(r), 1);
    SnmpTrapRequest big = r;
    big.vars[0].text.assign(2000, 'x');
    EXPECT_EQ(snmpPostTrap(big), 0) << "text beyond the bound";
    SnmpTrapRequest noName = r;
    noName.vars[0].name.clear();
    EXPECT_EQ(snmpPostTrap(noName), 0);
    setTrapAgentRunning(-1);
}

} // namespace
