// The input packet filter against the kernel's legacy tables. Each case runs in a child
// process moved into a network namespace of its own, so the rules never reach the
// host's tables; the child lists the "INPUT" chains with iptables-legacy and
// ip6tables-legacy and reports them together with the parameters the filter changed.

#include "core/ipfilter.h"
#include "core/ptable.h"

#include "param_catalogue.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The "-A" lines of a chain listing, one per line.
std::string appendLines(const char *command) {
    std::string out;
    FILE *p = popen(command, "r");
    if (!p) return "popen failed";
    char line[512];
    while (fgets(line, sizeof(line), p))
        if (strncmp(line, "-A ", 3) == 0) out += line;
    pclose(p);
    return out;
}

std::string paramText(const char *name) {
    char text[256] = {};
    Param *p = ptable().find(name);
    if (p) p->toText(text, sizeof(text), false);
    return text;
}

struct Outcome {
    bool ran = false;
    bool result = false;
    std::string rules4;
    std::string rules6;
    std::string protection;
    std::string protectionTest;
    std::string savedFile;
};

class PacketFilter : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
        char pattern[] = "/tmp/qmr_ipfilter_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        oldFile_ = ptable().filePath();
        oldSlot_ = ptable().slotDir();
        ptable().setPaths((dir_ / "params.dat").string(), (dir_ / "slot1").string());
        set("protection", "on");
        set("protection_test", "off");
        set("protection_level", "protec_all");
        set("ip_addr", "198.18.0.1");
        set("ipv6", "on");
    }
    void TearDown() override {
        // Back to the values found, newest change first.
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            Param *p = ptable().find(it->first.c_str());
            p->setText(it->second.c_str(), -1);
            p->clearChanged();
        }
        if (!dir_.empty()) {
            ptable().setPaths(oldFile_, oldSlot_);
            std::error_code ec;
            fs::remove_all(dir_, ec);
        }
    }

    void set(const std::string &name, const char *text) {
        Param *p = ptable().find(name.c_str());
        ASSERT_NE(p, nullptr) << name;
        saved_.emplace_back(name, paramText(name.c_str()));
        ASSERT_TRUE(p->setText(text, -1)) << name << " = " << text;
    }

    // Runs the action in a fresh network namespace and collects what it left behind.
    Outcome inNamespace(const std::function<bool()> &action) {
        Outcome o;
        fs::path report = dir_ / "report";
        pid_t pid = fork();
        if (pid == 0) {
            if (unshare(CLONE_NEWNET) != 0) _exit(3);
            bool result = action();
            std::ofstream out(report);
            out << (result ? 1 : 0) << '\n'
                << appendLines("iptables-legacy -S INPUT 2>&1") << "--\n"
                << appendLines("ip6tables-legacy -S INPUT 2>&1") << "--\n"
                << paramText("protection") << '\n'
                << paramText("protection_test") << '\n';
            out.close();
            _exit(out ? 0 : 4);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return o;
        std::ifstream in(report);
        std::string line, *target = &o.rules4;
        std::getline(in, line);
        o.result = line == "1";
        while (target != &o.protection && std::getline(in, line)) {
            if (line == "--") {
                target = target == &o.rules4 ? &o.rules6 : &o.protection;
                continue;
            }
            *target += line + "\n";
        }
        std::getline(in, o.protection);
        std::getline(in, o.protectionTest);
        std::ifstream file(dir_ / "params.dat");
        std::stringstream text;
        text << file.rdbuf();
        o.savedFile = text.str();
        o.ran = true;
        return o;
    }

    fs::path dir_;
    std::string oldFile_, oldSlot_;
    std::vector<std::pair<std::string, std::string>> saved_;
};

// The rules installed for each kind of configuration.
TEST_F(PacketFilter, RulesFollowEntriesAndLevel) {
    struct Case {
        const char *what;
        std::vector<std::pair<const char *, const char *>> params;
        bool result;
        const char *rules4;
        const char *rules6;
    };
    const Case cases[] = {
        {"one network, full protection",
         {{"ip_filter_on_1", "on"}, {"ip_filter_1", "192.168.1.0/24"}},
         true,
         "-A INPUT -s 192.168.1.0/24 -j ACCEPT\n-A INPUT -j DROP\n",
         "-A INPUT -j DROP\n"},
        {"no enabled entry leaves no rule",
         {{"ip_filter_on_1", "off"}, {"ip_filter_1", "192.168.1.0/24"}},
         false,
         "",
         ""},
        {"server ports only",
         {{"protection_level", "protec_zqn"}, {"ip_filter_on_2", "on"}, {"ip_filter_2", "10.0.0.0/8"}},
         true,
         "-A INPUT -s 10.0.0.0/8 -j ACCEPT\n-A INPUT -p tcp -m multiport --dports 9200,9443 -j DROP\n",
         "-A INPUT -p tcp -m multiport --dports 9200,9443 -j DROP\n"},
        {"configured server ports",
         {{"protection_level", "protec_zqn"},
          {"zqn_port", "4000"},
          {"zqn_sslport", "4443"},
          {"ip_filter_on_2", "on"},
          {"ip_filter_2", "10.0.0.0/8"}},
         true,
         "-A INPUT -s 10.0.0.0/8 -j ACCEPT\n-A INPUT -p tcp -m multiport --dports 4000,4443 -j DROP\n",
         "-A INPUT -p tcp -m multiport --dports 4000,4443 -j DROP\n"},
        {"all TCP",
         {{"protection_level", "protec_tcp"}, {"ip_filter_on_1", "on"}, {"ip_filter_1", "10.1.2.3"}},
         true,
         "-A INPUT -s 10.1.2.3/32 -j ACCEPT\n-A INPUT -p tcp -j DROP\n",
         "-A INPUT -p tcp -j DROP\n"},
        {"host bits are masked off, garbage is skipped",
         {{"ip_filter_on_1", "on"},
          {"ip_filter_1", "172.16.5.9/12"},
          {"ip_filter_on_3", "on"},
          {"ip_filter_3", "not-an-address"},
          {"ip_filter_on_4", "on"},
          {"ip_filter_4", "10.0.0.1/40"}},
         true,
         "-A INPUT -s 172.16.0.0/12 -j ACCEPT\n-A INPUT -j DROP\n",
         "-A INPUT -j DROP\n"},
        {"IPv6 source with IPv6 on",
         {{"ip_filter_on_1", "on"}, {"ip_filter_1", "2001:db8::7/64"}},
         true,
         "-A INPUT -j DROP\n",
         "-A INPUT -s 2001:db8::/64 -j ACCEPT\n-A INPUT -j DROP\n"},
        {"IPv6 source with IPv6 off is never an accept-all rule",
         {{"ipv6", "off"},
          {"ip_filter_on_1", "on"},
          {"ip_filter_1", "2001:db8::7/64"},
          {"ip_filter_on_2", "on"},
          {"ip_filter_2", "192.0.2.0/24"}},
         true,
         "-A INPUT -s 192.0.2.0/24 -j ACCEPT\n-A INPUT -j DROP\n",
         ""},
        {"only an IPv6 source with IPv6 off: no filter",
         {{"ipv6", "off"}, {"ip_filter_on_1", "on"}, {"ip_filter_1", "::"}},
         false,
         "",
         ""},
        {"MAC source in both tables",
         {{"hw_filter_on_1", "on"}, {"hw_filter_1", "00:11:22:33:44:55"}, {"hw_filter_on_2", "on"}},
         true,
         "-A INPUT -m mac --mac-source 00:11:22:33:44:55 -j ACCEPT\n-A INPUT -j DROP\n",
         "-A INPUT -m mac --mac-source 00:11:22:33:44:55 -j ACCEPT\n-A INPUT -j DROP\n"},
        {"MAC source with IPv6 off",
         {{"ipv6", "off"}, {"hw_filter_on_1", "on"}, {"hw_filter_1", "00:11:22:33:44:55"}},
         true,
         "-A INPUT -m mac --mac-source 00:11:22:33:44:55 -j ACCEPT\n-A INPUT -j DROP\n",
         ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto &[name, text] : c.params)
            set(name, text);
        Outcome o = inNamespace(setupPacketFilter);
        ASSERT_TRUE(o.ran);
        EXPECT_EQ(o.result, c.result);
        EXPECT_EQ(o.rules4, c.rules4);
        EXPECT_EQ(o.rules6, c.rules6);
        TearDown();
        saved_.clear();
        SetUp();
    }
}

// "protection_test": a test installation lasts until the next start, which runs
// without filter; "off" never changes. Each change reaches the parameter file.
TEST_F(PacketFilter, TestModeCycle) {
    set("ip_filter_on_1", "on");
    set("ip_filter_1", "192.168.1.0/24");
    set("protection_test", "on");

    Outcome first = inNamespace(setupPacketFilter);
    ASSERT_TRUE(first.ran);
    EXPECT_TRUE(first.result);
    EXPECT_EQ(first.rules4, "-A INPUT -s 192.168.1.0/24 -j ACCEPT\n-A INPUT -j DROP\n");
    EXPECT_EQ(first.protectionTest, "test");
    EXPECT_NE(first.savedFile.find("protection_test = test\n"), std::string::npos);

    // The next start, as the saved file left it.
    set("protection_test", "test");
    Outcome second = inNamespace(setupPacketFilter);
    ASSERT_TRUE(second.ran);
    EXPECT_FALSE(second.result);
    EXPECT_EQ(second.rules4, "");
    EXPECT_EQ(second.protection, "off");
    EXPECT_EQ(second.protectionTest, "on");
    EXPECT_NE(second.savedFile.find("protection = off\n"), std::string::npos);
    EXPECT_NE(second.savedFile.find("protection_test = on\n"), std::string::npos);

    // With the filter off a pending test is just cleared.
    set("protection", "off");
    set("protection_test", "test");
    Outcome third = inNamespace(setupPacketFilter);
    ASSERT_TRUE(third.ran);
    EXPECT_FALSE(third.result);
    EXPECT_EQ(third.protectionTest, "on");

    // "off" stays off, and the rules come at every start.
    set("protection", "on");
    set("protection_test", "off");
    Outcome fourth = inNamespace(setupPacketFilter);
    ASSERT_TRUE(fourth.ran);
    EXPECT_TRUE(fourth.result);
    EXPECT_EQ(fourth.protectionTest, "off");
    EXPECT_EQ(fourth.rules4, "-A INPUT -s 192.168.1.0/24 -j ACCEPT\n-A INPUT -j DROP\n");
}

// On a ZeroConf address full protection is switched off rather than locking the
// appliance out; the other levels still apply.
TEST_F(PacketFilter, LinkLocalAddressRefusesFullProtection) {
    set("ip_filter_on_1", "on");
    set("ip_filter_1", "169.254.0.0/16");
    set("ip_addr", "169.254.7.9");
    Outcome full = inNamespace(setupPacketFilter);
    ASSERT_TRUE(full.ran);
    EXPECT_FALSE(full.result);
    EXPECT_EQ(full.rules4, "");
    EXPECT_EQ(full.protection, "off");

    set("protection", "on");
    set("protection_level", "protec_tcp");
    Outcome tcp = inNamespace(setupPacketFilter);
    ASSERT_TRUE(tcp.ran);
    EXPECT_TRUE(tcp.result);
    EXPECT_EQ(tcp.rules4, "-A INPUT -s 169.254.0.0/16 -j ACCEPT\n-A INPUT -p tcp -j DROP\n");
}

TEST_F(PacketFilter, ClearEmptiesBothChains) {
    set("ip_filter_on_1", "on");
    set("ip_filter_1", "2001:db8::/32");
    set("ip_filter_on_2", "on");
    set("ip_filter_2", "192.0.2.1");
    Outcome o = inNamespace([] { return setupPacketFilter() && clearPacketFilter(); });
    ASSERT_TRUE(o.ran);
    EXPECT_TRUE(o.result);
    EXPECT_EQ(o.rules4, "");
    EXPECT_EQ(o.rules6, "");
}

} // namespace
