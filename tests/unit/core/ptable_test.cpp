// The parameter table: look-ups, product filtering, applying changes with their side
// effects, and the parameter file (format, reading, atomic saving, uploads, reset).

#include "core/monilog.h"
#include "core/ptable.h"
#include "core/ptable_hooks.h"
#include "core/sysinfo.h"

#include "param_catalogue.h"

#include <gtest/gtest.h>

#include <openssl/provider.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const int32_t rangeBool[2] = {0, 1};
const int32_t range0to24[2] = {0, 24};
const int32_t rangeText64[2] = {0, 64};
const int32_t rangeText8to64[2] = {8, 64};
const int32_t rangeText1024[2] = {0, 1024};
const int32_t range1to4[2] = {1, 4};

P3Option powerOptions[] = {{"on", "on", ""}, {"off", "off", ""}, {"fail", "fail", ""}};
P3Option relayOptions[] = {
    {"fix", "user-defined", ""}, {"eve", "event-related", ""}, {"stat", "status-related", ""}};
P3Option eventOptions[] = {{"off", "---", ""}, {"netoff", "interrupted", ""}, {"neton", "established", ""}};

// A temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/qmr_ptable_XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string operator/(const char *name) const { return path_ + "/" + name; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

std::string readAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeText(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string textOf(Param *p) {
    char buffer[1100] = "";
    if (p != nullptr) p->toText(buffer, sizeof buffer, false);
    return buffer;
}

// A small table made by hand: the parameters sorted by name, deleted at the end.
class HandTable {
public:
    explicit HandTable(std::vector<Param *> params) : items_(std::move(params)) {
        std::sort(items_.begin(), items_.end(),
                  [](Param *a, Param *b) { return std::strcmp(a->name(), b->name()) < 0; });
        table_ = std::make_unique<Ptable>(items_.data(), static_cast<int>(items_.size()));
    }
    ~HandTable() { table_->destroyAll(); }
    Ptable &table() { return *table_; }
    Ptable *operator->() { return table_.get(); }
    // Any parameter of that name, absent or not.
    template <class T = Param> T *get(const char *name) {
        for (Param *p : items_)
            if (p != nullptr && std::strcmp(p->name(), name) == 0) return dynamic_cast<T *>(p);
        return nullptr;
    }

private:
    std::vector<Param *> items_;
    std::unique_ptr<Ptable> table_;
};

// The calls the table made through its hooks, one text each.
std::vector<std::string> calls;
int slotState = -1;
bool displayThere = false;
uint32_t powerFault = 0;
int carrier = -1;
int notifyAnswer = 1;
int notifiedFd = -1;

void record(const char *format, ...) __attribute__((format(printf, 1, 2)));
void record(const char *format, ...) {
    char line[128];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    calls.push_back(line);
}

void installHooks() {
    calls.clear();
    slotState = -1;
    displayThere = false;
    powerFault = 0;
    carrier = -1;
    notifyAnswer = 1;
    notifiedFd = -1;
    PtableHooks &h = ptableHooks();
    h = PtableHooks{};
    h.setPortPower = [](int port, bool on) { record("power %d %d", port, on); };
    h.setPortLed = [](int port, int colour, int blink) { record("led %d %d %d", port, colour, blink); };
    h.setRelay = [](bool on) { record("relay %d", on); };
    h.fanControl = [](int mode) { record("fan %d", mode); };
    h.updateStatusLed = [] { record("statusled"); };
    h.displayPresent = [] { return displayThere; };
    h.displayShow = [](char a, char b, uint32_t flags) {
        record("show %c%c %#x", a, b, flags);
        return 1;
    };
    h.displayPowerFaultState = [] { return powerFault; };
    h.wiredCarrierState = [] { return carrier; };
    h.storageSlotState = [] { return slotState; };
    h.writeDeviceInfoThrottled = [](const char *) { record("deviceinfo"); };
    h.notifyPresent = [] { return true; };
    h.notifyAddEvent = [](uint32_t bits, int value) {
        record("event %#x", bits);
        notifiedFd = value;
        return notifyAnswer;
    };
    h.notifyPostEvent = [](uint32_t bits, int value) {
        record("post %#x %d", bits, value);
        return 1;
    };
    h.startSyslogng = [](int force) {
        record("syslogng %d", force);
        return 1;
    };
    h.startWebdavBackup = [] {
        record("webdav");
        return 1;
    };
    h.updateBonjourName = [] { record("bonjour"); };
}

bool called(const std::string &what) {
    return std::find(calls.begin(), calls.end(), what) != calls.end();
}

// The monitoring lines written while the object lives.
class MoniCapture {
public:
    MoniCapture() { moniLog.init(dir_.path()); }
    // Left pointing below the removed directory, where nothing can be created: later
    // lines go nowhere rather than into the appliance's log.
    ~MoniCapture() { moniLog.init(dir_ / "gone/moni"); }
    MoniCapture(const MoniCapture &) = delete;
    MoniCapture &operator=(const MoniCapture &) = delete;
    std::string lines() {
        moniLog.close();
        std::string all;
        std::error_code ec;
        for (auto &entry : fs::directory_iterator(dir_ / "monitor", ec))
            all += readAll(entry.path());
        return all;
    }

private:
    TempDir dir_;
};

// The parameters the side effects and the file tests read, with catalogue flags.
std::vector<Param *> sideEffectParams() {
    return {
        new BoolParam("monitoring", 2, rangeBool, ParamSaved, 1),
        new IntParam("moniflags", 0, nullptr, ParamSaved, 4),
        new P3List("zqn_ppwr_1", 3, powerOptions, ParamSaved | ParamPerPort | ParamFeatPower, "on"),
        new P3List("zqn_ppwr_2", 3, powerOptions, ParamSaved | ParamPerPort | ParamFeatPower, "on"),
        new P3List("zqn_ppwr_3", 3, powerOptions, ParamSaved | ParamPerPort | ParamFeatPower, "on"),
        new P3List("relay_ctrl", 3, relayOptions, ParamSaved | ParamFeatRelay, "fix"),
        new BoolParam("relay_on", 2, rangeBool, ParamSaved | ParamFeatRelay, 0),
        new IntParam("relay_eves", 0, nullptr, ParamTemporary | ParamStatus | ParamFeatRelay, 0),
        new P3List("relay_eve_net", 3, eventOptions, ParamSaved | ParamFeatRelay, "off"),
        new P3List("relay_stat_net", 3, eventOptions, ParamSaved | ParamFeatRelay, "off"),
        new BoolParam("fan_on", 2, rangeBool, ParamSaved | ParamConcealed | ParamFeatDisplay, 0),
        new StringParam("disp_def", 2, rangeText64, ParamSaved | ParamFeatDisplay, "DS"),
        new BoolParam("disp_pwr", 2, rangeBool, ParamSaved | ParamFeatDisplay, 1),
        new BoolParam("disp_lnk", 2, rangeBool, ParamSaved | ParamFeatDisplay, 1),
        new BoolParam("disp_sdc", 2, rangeBool, ParamSaved | ParamFeatDisplay, 1),
        new IntParam("security", 2, range1to4, ParamSaved, 4),
        new BoolParam("syslogng", 2, rangeBool, ParamSaved, 0),
        new BoolParam("syslogngdbg", 2, rangeBool, ParamSaved, 0),
        new StringParam("syslogng_srv", 2, rangeText64, ParamSaved, ""),
        new StringParam("bonjour_name", 2, rangeText64, ParamAtOnce, ""),
        new BoolParam("sessKeys", 2, rangeBool, ParamSaved, 0),
        new BoolParam("http_allowed", 2, rangeBool, ParamSaved, 1),
        new StringParam("admin_name", 2, rangeText64, ParamAtOnce, "Admin"),
        new StringParam("admin_pwd", 2, rangeText8to64, ParamAtOnce | ParamConcealed, ""),
        new StringParam("any_name", 2, rangeText64, ParamAtOnce, "User"),
        new IntParam("dailyrestart", 2, range0to24, ParamSaved, 24),
        new BoolParam("protection", 2, rangeBool, 0, 0),
        new IntParam("life", 0, nullptr, ParamSaved | ParamStatus, 0),
        new IntParam("button_cnt", 0, nullptr, ParamTemporary | ParamStatus, 0),
        new IntParam("sw_features", 0, nullptr, ParamTemporary | ParamStatus, 0),
        new BoolParam("autoSync", 2, rangeBool, ParamSaved | ParamFeatSlot, 1),
        new BoolParam("notibup_1", 2, rangeBool, ParamSaved | ParamFeatMail, 0),
        new BoolParam("notibup_2", 2, rangeBool, ParamSaved | ParamFeatMail, 0),
        new BoolParam("wdav_bupauto", 2, rangeBool, ParamSaved, 0),
        new BoolParam("ipvlan_on_2", 2, rangeBool, ParamAtOnce | ParamPerPort | ParamFeatAccess, 0),
        new InetParam("ip_router", 0, nullptr, 0, "0.0.0.0"),
        new StringParam("long_text", 2, rangeText1024, ParamSaved, ""),
    };
}

// Every test logs into a directory of its own, never into the appliance's log.
class PtableTest : public ::testing::Test {
protected:
    void SetUp() override {
        installHooks();
        moniLog.init(moniDir_.path());
    }
    void TearDown() override {
        moniLog.init(moniDir_ / "gone/moni"); // as ~MoniCapture
        ptableHooks() = PtableHooks{};
    }

private:
    TempDir moniDir_;
};

class PtableHand : public PtableTest {};

// ---------------------------------------------------------------------------------
// Look-ups

TEST_F(PtableHand, FindByNameAndIndex) {
    const std::string name60(60, 'n');
    const std::string name61(61, 'm');
    HandTable t({
        new IntParam("ip_filterNumber", 0, nullptr, ParamTemporary, 8),
        new StringParam("ip_filter_1", 0, nullptr, ParamPerPort, ""),
        new StringParam("ip_filter_3", 0, nullptr, ParamPerPort, ""),
        new StringParam("ip_filter_9", 0, nullptr, ParamPerPort, ""),
        new StringParam(strdup(name60.c_str()), 0, nullptr, 0, ""),
        new StringParam(strdup(name61.c_str()), 0, nullptr, 0, ""),
    });
    t.get("ip_filter_9")->setAbsent(true);

    struct Case {
        const char *name;
        int length;
        int index;
        const char *found; // null: not found
    } cases[] = {
        {"ip_filter_", 10, 3, "ip_filter_3"},
        {"ip_filter_", 10, 0, nullptr},           // index 0 never names a parameter
        {"ip_filter_", 10, 65539, "ip_filter_3"}, // the index is taken modulo 65,536
        {"ip_filter_", 10, 2, nullptr},           // unknown
        {"ip_filter_", 10, 9, nullptr},           // absent on this product
        {"ip_filterNumber", 15, Ptable::NoIndex, "ip_filterNumber"},
        {"ip_filterNumberX", 15, Ptable::NoIndex, "ip_filterNumber"}, // only length characters count
        {"ip_filter_1", 11, Ptable::NoIndex, "ip_filter_1"},
        {"ip_filter_", 10, Ptable::NoIndex, nullptr},
        {name60.c_str(), 60, Ptable::NoIndex, name60.c_str()},
        {name61.c_str(), 61, Ptable::NoIndex, nullptr}, // over 60 characters: never found
        {"", 0, Ptable::NoIndex, nullptr},
        {"ip_filter_1", -1, Ptable::NoIndex, nullptr},
    };
    for (const Case &c : cases) {
        Param *p = t->find(c.name, c.length, c.index);
        if (c.found == nullptr) {
            EXPECT_EQ(p, nullptr) << c.name << " " << c.index;
        } else {
            ASSERT_NE(p, nullptr) << c.name << " " << c.index;
            EXPECT_STREQ(p->name(), c.found);
        }
    }
    EXPECT_EQ(t->find(nullptr, 3, 1), nullptr);

    // The names the table keeps must be freed by hand: the parameters do not own them.
    const char *n60 = t.get(name60.c_str())->name();
    const char *n61 = t.get(name61.c_str())->name();
    t->destroyAll();
    std::free(const_cast<char *>(n60));
    std::free(const_cast<char *>(n61));
}

TEST_F(PtableHand, MaxIndexAndVisibleListing) {
    HandTable t({
        new BoolParam("trapto_1", 2, rangeBool, 0, 0),
        new BoolParam("trapto_2", 2, rangeBool, 0, 0),
        new BoolParam("trapto_3", 2, rangeBool, 0, 0),
        new BoolParam("trapto_12", 2, rangeBool, ParamInternal, 0),
        new BoolParam("Trapto_7", 2, rangeBool, ParamStatus, 0),
        new BoolParam("trapto_x", 2, rangeBool, 0, 0),
    });
    t.get("trapto_3")->setAbsent(true);
    // Case-insensitive prefix; absent and internal parameters do not count.
    EXPECT_EQ(t->maxIndex("TRAPTO_", 7), 7);
    EXPECT_EQ(t->maxIndex("nothing_", 8), 0);

    EXPECT_EQ(t->countVisible(0), 5);
    EXPECT_EQ(t->countVisible(ParamStatus | ParamInternal), 3);
    std::vector<std::string> names;
    for (int i = 0; Param *p = t->visibleAt(i, ParamStatus | ParamInternal); i++)
        names.push_back(p->name());
    EXPECT_EQ(names, (std::vector<std::string>{"trapto_1", "trapto_2", "trapto_x"}));
    EXPECT_EQ(t->visibleAt(-1, 0), nullptr);
    EXPECT_EQ(t->visibleAt(5, 0), nullptr);
}

// ---------------------------------------------------------------------------------
// Applying changes

TEST_F(PtableHand, ApplySummaryPerChangeClass) {
    struct Case {
        const char *name;
        const char *value;
        unsigned summary;
        const char *logged; // the value as the log shows it (translated)
    } cases[] = {
        {"admin_name", "Operator", 0x83, "Operator"}, // applied at once
        {"dailyrestart", "3", 0x81, "3"},             // applied and saved
        {"protection", "on", 0x85, "On"},             // restart
        {"button_cnt", "5", 0x80, nullptr},           // temporary: not acted on
    };
    for (const Case &c : cases) {
        HandTable t(sideEffectParams());
        MoniCapture moni;
        t.get(c.name)->setFromText(c.value, -1);
        EXPECT_EQ(t->applyChanges(), c.summary) << c.name;
        EXPECT_FALSE(t.get(c.name)->isChanged());
        EXPECT_EQ(t->applyChanges(), 0u) << "marks are cleared";
        std::string lines = moni.lines();
        if (c.summary == 0x80)
            EXPECT_EQ(lines.find("Parameter:"), std::string::npos) << lines;
        else
            EXPECT_NE(
                lines.find("| Parameter: " + std::string(c.name) + " was changed:\"" + c.logged + "\".\r\n"),
                std::string::npos)
                << lines;
    }

    // Several classes in one batch add up; an absent parameter counts as a change only.
    HandTable t(sideEffectParams());
    t.get("dailyrestart")->setFromText("2", -1);
    t.get("protection")->setFromText("on", -1);
    EXPECT_EQ(t->applyChanges(), 0x85u);
    t.get("ipvlan_on_2")->setAbsent(true);
    t.get<BoolParam>("ipvlan_on_2")->set(1);
    EXPECT_EQ(t->applyChanges(), 0x80u);
}

TEST_F(PtableHand, ApplyLogsConcealedWithoutValueAndOnlyWhenAsked) {
    {
        HandTable t(sideEffectParams());
        MoniCapture moni;
        t.get("admin_pwd")->setFromText("topsecret", -1);
        t->applyChanges();
        std::string lines = moni.lines();
        EXPECT_NE(lines.find("Parameter: hidden parameter admin_pwd was changed.\r\n"), std::string::npos)
            << lines;
        EXPECT_EQ(lines.find("topsecret"), std::string::npos);
    }
    {
        HandTable t(sideEffectParams());
        MoniCapture moni;
        t.get<IntParam>("moniflags")->set(1); // no parameter-change category
        t.get("admin_name")->setFromText("Quiet", -1);
        t->applyChanges();
        EXPECT_EQ(moni.lines().find("Parameter:"), std::string::npos);
    }
}

TEST_F(PtableHand, SideEffectsOfPortPowerRelayFanAndServices) {
    struct Case {
        unsigned product; // 287 has the relay, 295 the display and fan
        const char *name;
        const char *value;
        std::vector<std::string> expected;
    } cases[] = {
        {287, "zqn_ppwr_2", "off", {"power 1 0", "led 1 0 0"}},
        {287, "zqn_ppwr_2", "fail", {"power 1 0"}}, // a failed port keeps its LED
        {287, "zqn_ppwr_1", "on", {}},              // unchanged
        {287, "relay_on", "on", {"relay 1"}},       // relay_ctrl is "fix"
        {287, "relay_ctrl", "stat", {"relay 0"}},
        {287, "relay_eve_net", "neton", {}}, // relay_ctrl is "fix"
        {287, "relay_stat_net", "neton", {}},
        {295, "relay_on", "on", {}}, // no relay on this product
        {295, "fan_on", "on", {"fan 1"}},
        {287, "fan_on", "on", {}},               // no fan on this product
        {287, "syslogng_srv", "198.18.0.9", {}}, // syslogng is off
        {287, "bonjour_name", "printer", {"bonjour"}},
        {287, "sessKeys", "on", {"statusled"}},
        {287, "http_allowed", "off", {"statusled"}},
        {287, "button_cnt", "3", {}}, // temporary: no side effects
    };
    for (const Case &c : cases) {
        HandTable t(sideEffectParams());
        ProductParams product;
        product.productId = c.product;
        product.usbPorts = 2;
        t->applyProductFeatures(product);
        t->applyChanges();
        calls.clear();
        t.get(c.name)->setFromText(c.value, -1);
        t->applyChanges();
        EXPECT_EQ(calls, c.expected) << c.name << "=" << c.value << " on " << c.product;
    }
}

TEST_F(PtableHand, RelayFollowsItsControlMode) {
    HandTable t(sideEffectParams());
    ProductParams product;
    product.productId = 287;
    product.usbPorts = 2;
    t->applyProductFeatures(product);

    // Back to "fix" while relay_on is on: the relay switches on, the event count is reset.
    t.get("relay_ctrl")->setFromText("eve", -1);
    t->applyChanges();
    t.get("relay_on")->setFromText("on", -1);
    t.get<IntParam>("relay_eves")->set(7);
    t->applyChanges();
    calls.clear();
    t.get("relay_ctrl")->setFromText("fix", -1);
    t->applyChanges();
    EXPECT_EQ(calls, (std::vector<std::string>{"relay 1"}));
    EXPECT_EQ(t.get<IntParam>("relay_eves")->value(), 0);

    // Event mode: an event setting switches the relay off, a status setting does not.
    t.get("relay_ctrl")->setFromText("eve", -1);
    t->applyChanges();
    calls.clear();
    t.get("relay_eve_net")->setFromText("netoff", -1);
    t.get("relay_stat_net")->setFromText("netoff", -1);
    t->applyChanges();
    EXPECT_EQ(calls, (std::vector<std::string>{"relay 0"}));
}

TEST_F(PtableHand, DisplayCodesFollowTheirSettings) {
    struct Case {
        const char *name;
        const char *value;
        std::vector<std::string> expected;
    } cases[] = {
        {"disp_def", "AB", {"show AB 0"}},
        {"disp_pwr", "off", {"show E1 0x8"}},
        {"disp_lnk", "off", {"show E5 0x8"}},
        {"disp_sdc", "off", {"show E2 0x8", "show E3 0x8", "show E4 0x8"}},
    };
    for (const Case &c : cases) {
        HandTable t(sideEffectParams());
        displayThere = true;
        calls.clear();
        t.get(c.name)->setFromText(c.value, -1);
        t->applyChanges();
        EXPECT_EQ(calls, c.expected) << c.name;
    }

    // Switched back on, the codes come back only for a present fault.
    HandTable t(sideEffectParams());
    displayThere = true;
    for (const char *name : {"disp_pwr", "disp_lnk", "disp_sdc"})
        t.get(name)->setFromText("off", -1);
    t->applyChanges();
    powerFault = 2;
    carrier = 0x10;
    slotState = 2;
    calls.clear();
    for (const char *name : {"disp_pwr", "disp_lnk", "disp_sdc"})
        t.get(name)->setFromText("on", -1);
    t->applyChanges();
    EXPECT_EQ(calls, (std::vector<std::string>{"show E5 0x24", "show E1 0x26", "show E3 0x24"}));

    powerFault = 0;
    carrier = 0x11;
    slotState = 3;
    for (const char *name : {"disp_pwr", "disp_lnk", "disp_sdc"})
        t.get(name)->setFromText("off", -1);
    t->applyChanges();
    calls.clear();
    for (const char *name : {"disp_pwr", "disp_lnk", "disp_sdc"})
        t.get(name)->setFromText("on", -1);
    t->applyChanges();
    EXPECT_TRUE(calls.empty());

    // Without a display nothing is shown.
    displayThere = false;
    t.get("disp_def")->setFromText("XY", -1);
    t->applyChanges();
    EXPECT_TRUE(calls.empty());
}

TEST_F(PtableHand, SecurityLevelLoadsAndUnloadsTheLegacyProvider) {
    HandTable t(sideEffectParams());
    t.get("security")->setFromText("1", -1);
    t->applyChanges();
    if (!OSSL_PROVIDER_available(nullptr, "legacy"))
        GTEST_SKIP() << "the crypto library has no legacy provider here";
    t.get("security")->setFromText("2", -1);
    t->applyChanges();
    EXPECT_FALSE(OSSL_PROVIDER_available(nullptr, "legacy"));
    t.get("security")->setFromText("3", -1);
    t->applyChanges();
    EXPECT_FALSE(OSSL_PROVIDER_available(nullptr, "legacy"));
    t.get("security")->setFromText("4", -1);
    t->applyChanges();
    EXPECT_TRUE(OSSL_PROVIDER_available(nullptr, "legacy"));
}

TEST_F(PtableHand, SyslogClientStartsOnlyWhenConfigured) {
    HandTable t(sideEffectParams());
    t.get("syslogng")->setFromText("on", -1);
    t->applyChanges();
    EXPECT_TRUE(calls.empty()) << "no server yet";
    t.get("syslogng_srv")->setFromText("198.18.0.9", -1);
    t->applyChanges();
    EXPECT_EQ(calls, (std::vector<std::string>{"syslogng 0"}));
    calls.clear();
    t.get("monitoring")->setFromText("off", -1);
    t->applyChanges();
    EXPECT_TRUE(calls.empty()) << "monitoring is off";
}

TEST_F(PtableHand, BackupNotificationCarriesTheFileBeforeTheChanges) {
    TempDir dir;
    HandTable t(sideEffectParams());
    t->setPaths(dir / "params.dat", dir / "slot1");
    ASSERT_EQ(t->save((dir / "params.dat").c_str()), 0);
    const std::string before = readAll(dir / "params.dat");

    // Off: no event.
    t.get("admin_name")->setFromText("One", -1);
    t->applyChanges();
    EXPECT_FALSE(called("event 0x40000000"));

    // On: the event gets a descriptor of a copy of the file as it stood.
    t.get("notibup_2")->setFromText("on", -1);
    t.get("admin_name")->setFromText("Two", -1);
    calls.clear();
    t->applyChanges();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], "event 0x40000000");
    EXPECT_EQ(calls[1], "post 0x40000000 -1");
    ASSERT_GE(notifiedFd, 0);
    std::string copy;
    char buffer[4096];
    lseek(notifiedFd, 0, SEEK_SET);
    for (ssize_t n; (n = read(notifiedFd, buffer, sizeof buffer)) > 0;)
        copy.append(buffer, static_cast<size_t>(n));
    EXPECT_EQ(copy, before);
    close(notifiedFd);

    // Refused by the notification task: the descriptor is closed, nothing posted.
    notifyAnswer = 0;
    t.get("admin_name")->setFromText("Three", -1);
    calls.clear();
    t->applyChanges();
    EXPECT_EQ(calls, (std::vector<std::string>{"event 0x40000000"}));
    EXPECT_EQ(fcntl(notifiedFd, F_GETFD), -1);

    // Only temporary changes: no event.
    notifyAnswer = 1;
    calls.clear();
    t.get("button_cnt")->setFromText("9", -1);
    t->applyChanges();
    EXPECT_TRUE(calls.empty());
}

// ---------------------------------------------------------------------------------
// The parameter file

TEST_F(PtableHand, SavedFileIsByteExact) {
    TempDir dir;
    HandTable t({
        new StringParam("admin_name", 2, rangeText64, ParamAtOnce, "Admin"),
        new StringParam("admin_pwd", 2, rangeText8to64, ParamAtOnce | ParamConcealed, ""),
        new IntParam("dailyrestart", 2, range0to24, ParamSaved, 24),
        new IntParam("button_cnt", 0, nullptr, ParamTemporary | ParamStatus, 0),
        new P3List("zqn_ppwr_1", 3, powerOptions, ParamSaved, "on"),
        new BoolParam("a_very_long_absent_name", 2, rangeBool, ParamSaved, 0),
        new InetParam("ip_router", 0, nullptr, 0, "198.18.0.254"),
        new BoolParam("sessKeys", 2, rangeBool, ParamSaved, 1),
    });
    t.get("a_very_long_absent_name")->setAbsent(true);
    t.get("admin_pwd")->setFromText("plain text", -1); // concealed values are written in plain
    t.get("button_cnt")->setFromText("12", -1);
    ASSERT_EQ(t->save((dir / "params.dat").c_str()), 0);
    const std::string expected = "   admin_name = Admin\n"
                                 "    admin_pwd = plain text\n"
                                 " dailyrestart = 24\n"
                                 "    ip_router = 198.18.0.254\n"
                                 "     sessKeys = on\n"
                                 "   zqn_ppwr_1 = on\n";
    EXPECT_EQ(readAll(dir / "params.dat"), expected);
    struct stat st {};
    ASSERT_EQ(stat((dir / "params.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the file holds passwords";
    // No temporary file is left beside it.
    int entries = 0;
    for (auto &e : fs::directory_iterator(dir.path())) {
        (void)e;
        entries++;
    }
    EXPECT_EQ(entries, 1);
}

TEST_F(PtableHand, ReadingAcceptsBlanksAndOlderNames) {
    const std::string tail319 = "long_text = " + std::string(319 - 12, 'L');
    struct Case {
        std::string line;
        const char *name;  // the parameter looked at
        const char *value; // its value afterwards
        int result;
    } cases[] = {
        {"admin_name = Operator\n", "admin_name", "Operator", 1},
        {"admin_name=Operator\n", "admin_name", "Operator", 1},
        {" \t admin_name \t = \t Operator \t\r\n", "admin_name", "Operator", 1},
        {"admin_name = Operator\r\r\n", "admin_name", "Operator", 1},
        {"admin_name =\n", "admin_name", "", 1},
        {"admin_name = two words\n", "admin_name", "two words", 1},
        {"admin_name Operator\n", "admin_name", "Admin", 0}, // no "="
        {"adm\n", "admin_name", "Admin", 0},                 // shorter than 4 characters
        {"unknown_name = x\n", "admin_name", "Admin", 0},
        {"# admin_name = Operator\n", "admin_name", "Admin", 0}, // no comment syntax
        {"ip4vlan_on_2 = on\n", "ipvlan_on_2", "on", 1},
        {"ip_gate = 198.18.0.1\n", "ip_router", "198.18.0.1", 1},
        {"dailyrestart = 25\n", "dailyrestart", "24", 0}, // out of range: kept
        {"dailyrestart = 7\n", "dailyrestart", "7", 1},
        {"admin_name = " + std::string(100, 'x') + "\n", "admin_name", "Admin", 0}, // over 64 characters
        {tail319 + "\n", "long_text", tail319.c_str() + 12, 1},                     // 319: the longest line
        // A longer line is skipped whole; its tail is not read as a line of its own.
        {"long_text = " + std::string(319 - 12, 'z') + "admin_name = Split\n", "admin_name", "Admin", 0},
        {std::string("admin_name = Ze\0ro\n", 19), "admin_name", "Admin", 0},
        {"admin_name = NoLineEnd", "admin_name", "NoLineEnd", 1},
    };
    for (const Case &c : cases) {
        HandTable t(sideEffectParams());
        FILE *f = fmemopen(const_cast<char *>(c.line.data()), c.line.size(), "r");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(t->readFile(f, false), c.result) << c.line;
        std::fclose(f);
        EXPECT_EQ(textOf(t.get(c.name)), c.value) << c.line;
    }
}

TEST_F(PtableHand, GarbageFileLoadsWhatIsValid) {
    TempDir dir;
    std::mt19937 random(4711);
    std::string garbage;
    for (int i = 0; i < 20000; i++)
        garbage += static_cast<char>(random() & 0xff);
    std::string file = garbage + "\n admin_name = Good\n" + std::string(5000, '=') + "\n" +
                       garbage.substr(0, 700) + "\ndailyrestart = 99999999999999999999\n" +
                       "dailyrestart = 5\n" + "\xff\xfe=\n" + std::string(70, 'a') + " = b\n" + garbage;
    writeText(dir / "params.dat", file);
    HandTable t(sideEffectParams());
    EXPECT_EQ(t->load((dir / "params.dat").c_str()), 1);
    EXPECT_EQ(textOf(t.get("admin_name")), "Good");
    EXPECT_EQ(textOf(t.get("dailyrestart")), "5");
}

TEST_F(PtableHand, LoadSwitchesSessionKeysOnTheOldWay) {
    TempDir dir;
    {
        HandTable t(sideEffectParams());
        writeText(dir / "params.dat", "any_name = switchon\n");
        EXPECT_EQ(t->load((dir / "params.dat").c_str()), 1);
        EXPECT_TRUE(t.get("sessKeys")->isOn());
        EXPECT_EQ(textOf(t.get("any_name")), "User");
    }
    {
        // Also without a file.
        HandTable t(sideEffectParams());
        t.get("any_name")->setFromText("switchon", -1);
        EXPECT_EQ(t->load((dir / "missing.dat").c_str()), 0);
        EXPECT_TRUE(t.get("sessKeys")->isOn());
        EXPECT_EQ(textOf(t.get("any_name")), "User");
    }
    {
        // Session keys already on: the name stays.
        HandTable t(sideEffectParams());
        t.get("sessKeys")->setFromText("on", -1);
        t.get("any_name")->setFromText("switchon", -1);
        t->load((dir / "missing.dat").c_str());
        EXPECT_EQ(textOf(t.get("any_name")), "switchon");
    }
}

TEST_F(PtableHand, UploadedFile) {
    TempDir dir;
    HandTable t(sideEffectParams());
    writeText(dir / "upload.dat", "admin_name = Uploaded\r\nbogus line\r\n");
    int fd = open((dir / "upload.dat").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(t->loadFromFd(fd), 1);
    EXPECT_EQ(fd, -1) << "the table took the descriptor over";
    EXPECT_EQ(textOf(t.get("admin_name")), "Uploaded");

    writeText(dir / "nothing.dat", "nothing = here\n");
    fd = open((dir / "nothing.dat").c_str(), O_RDONLY);
    EXPECT_EQ(t->loadFromFd(fd), 0);

    int negative = -1;
    EXPECT_EQ(t->loadFromFd(negative), -1);

    // A descriptor that cannot be read as a stream is closed.
    fd = open("/dev/null", O_WRONLY);
    ASSERT_GE(fd, 0);
    int old = fd;
    EXPECT_EQ(t->loadFromFd(fd), -1);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(fcntl(old, F_GETFD), -1);
}

TEST_F(PtableHand, SaveIfChangedSavesOnlyForSavedClasses) {
    TempDir dir;
    HandTable t(sideEffectParams());
    t->setPaths(dir / "params.dat", dir / "slot1");
    t.get("button_cnt")->setFromText("1", -1);
    EXPECT_EQ(t->saveIfChanged(), 0x80u);
    EXPECT_FALSE(fs::exists(dir / "params.dat"));
    t.get("dailyrestart")->setFromText("1", -1);
    EXPECT_EQ(t->saveIfChanged(), 0x81u);
    EXPECT_NE(readAll(dir / "params.dat").find("dailyrestart = 1\n"), std::string::npos);
}

TEST_F(PtableHand, FailedSaveLeavesTheOldFile) {
    TempDir dir;
    HandTable t(sideEffectParams());
    t.get("wdav_bupauto")->setFromText("on", -1);
    const std::string path = dir / "params.dat";
    ASSERT_EQ(t->save(path.c_str()), 0);
    EXPECT_TRUE(called("webdav"));
    const std::string old = readAll(path);

    // A directory that does not exist: -1 and nothing else happens.
    calls.clear();
    EXPECT_EQ(t->save((dir / "no/such/dir/params.dat").c_str()), -1);
    EXPECT_TRUE(calls.empty());

    // A full device, simulated by a file-size limit: the write fails half way.
    t.get("long_text")->setFromText(std::string(1000, 'q').c_str(), -1);
    struct rlimit saved {};
    getrlimit(RLIMIT_FSIZE, &saved);
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int result = t->save(path.c_str());
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(readAll(path), old);
    EXPECT_TRUE(calls.empty());
    int entries = 0;
    for (auto &e : fs::directory_iterator(dir.path())) {
        (void)e;
        entries++;
    }
    EXPECT_EQ(entries, 1) << "the temporary file is removed";
}

TEST_F(PtableHand, ConcurrentSavesNeverTearTheFile) {
    TempDir dir;
    HandTable t(sideEffectParams());
    const std::string path = dir / "params.dat";
    ASSERT_EQ(t->save(path.c_str()), 0);
    const std::string first = readAll(path);
    const size_t lines = static_cast<size_t>(std::count(first.begin(), first.end(), '\n'));

    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop) {
            std::string text = readAll(path);
            if (text.empty() || text.back() != '\n' ||
                static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) != lines)
                torn++;
        }
    });
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    for (int w = 0; w < 6; w++)
        writers.emplace_back([&, w] {
            for (int i = 0; i < 40; i++) {
                std::string value(static_cast<size_t>(1 + (w * 40 + i) % 300), static_cast<char>('a' + w));
                t.get("long_text")->setFromText(value.c_str(), -1);
                if (t->save(path.c_str()) != 0) failures++;
            }
        });
    for (auto &w : writers)
        w.join();
    stop = true;
    reader.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(torn, 0);
    int entries = 0;
    for (auto &e : fs::directory_iterator(dir.path())) {
        (void)e;
        entries++;
    }
    EXPECT_EQ(entries, 1);
}

TEST_F(PtableHand, SlotCopyFollowsTheSlotState) {
    TempDir dir;
    HandTable t(sideEffectParams());
    MoniCapture moni;
    const std::string slot = dir / "slot1";
    fs::create_directory(slot);
    t->setPaths(dir / "params.dat", slot);
    t.get<IntParam>("sw_features")->set(0x200000);
    t.get<IntParam>("moniflags")->set(5);

    slotState = 1; // not ready: no copy, but the save succeeds
    EXPECT_EQ(t->save((dir / "params.dat").c_str()), 0);
    EXPECT_FALSE(fs::exists(slot + "/params.dat"));

    slotState = 3;
    calls.clear();
    EXPECT_EQ(t->save((dir / "params.dat").c_str()), 0);
    EXPECT_EQ(readAll(slot + "/params.dat"), readAll(dir / "params.dat"));
    EXPECT_EQ(calls, (std::vector<std::string>{"deviceinfo"}));

    // A slot that cannot be written: -1, the main file is written all the same.
    fs::remove_all(slot);
    t.get("admin_name")->setFromText("AfterSlot", -1);
    EXPECT_EQ(t->save((dir / "params.dat").c_str()), -1);
    EXPECT_NE(readAll(dir / "params.dat").find("AfterSlot"), std::string::npos);

    // autoSync off: no copy at all.
    fs::create_directory(slot);
    t.get("autoSync")->setFromText("off", -1);
    EXPECT_EQ(t->save((dir / "params.dat").c_str()), 0);
    EXPECT_FALSE(fs::exists(slot + "/params.dat"));

    std::string lines = moni.lines();
    EXPECT_NE(lines.find(" Parameter: backup to SD card to " + slot + "/params.dat failed ("),
              std::string::npos)
        << lines;
    EXPECT_NE(lines.find("Parameter: backup to SD card successful (" + slot + "/params.dat)."),
              std::string::npos);
    EXPECT_NE(lines.find("Parameter: backup to SD card failed. Cannot open " + slot + "/params.dat ("),
              std::string::npos);
}

TEST_F(PtableHand, ResetRemovesTheFileAndSetsTheSlotCopyAside) {
    TempDir dir;
    HandTable t(sideEffectParams());
    MoniCapture moni;
    const std::string slot = dir / "slot1";
    fs::create_directory(slot);
    t->setPaths(dir / "params.dat", slot);

    EXPECT_EQ(t->reset(), 0) << "no file yet";
    EXPECT_NE(moni.lines().find("Parameter: reset to default values successful."), std::string::npos);

    t->save((dir / "params.dat").c_str());
    writeText(slot + "/params.dat", "admin_name = Slot\n");
    t.get("admin_name")->setFromText("InMemory", -1);
    EXPECT_EQ(t->reset(), 1);
    EXPECT_FALSE(fs::exists(dir / "params.dat"));
    EXPECT_FALSE(fs::exists(slot + "/params.dat"));
    EXPECT_EQ(readAll(slot + "/params.bup"), "admin_name = Slot\n");
    EXPECT_EQ(textOf(t.get("admin_name")), "InMemory") << "values in memory stay";
}

// ---------------------------------------------------------------------------------
// Product features and information

TEST(PtableFeatures, FeatureMasksAndFeatureNames) {
    struct Case {
        unsigned id;
        uint32_t mask;
    } masks[] = {{278, 0x3eb000}, {295, 0x3eb000}, {287, 0x6ab000}, {305, 0x2b000}, {1000, 0x2b000},
                 {306, 0x2f000},  {302, 0x27000},  {314, 0x4000},   {0, 0},         {999, 0}};
    for (const Case &c : masks)
        EXPECT_EQ(productFeatureMask(c.id), c.mask) << c.id;

    struct Name {
        const char *name;
        uint32_t mask;
        bool holds;
    } names[] = {
        {"IPTABLES", 0, true},      {"ntp", 0, true},          {"EMAIL", 0, false},
        {"email", 0x1000, true},    {"TRAPS", 0x1000, true},   {"WLAN", 0x2b000, false},
        {"WLAN", 0x4000, true},     {"ACCCTRL", 0x2000, true}, {"IPVLAN", 0x20000, true},
        {"UCOMP", 0x6ab000, false}, {"SYSLOG", ~0u, false},    {"QMRX", ~0u, false},
        {"QM", ~0u, false},         {"", ~0u, false},
    };
    for (const Name &n : names)
        EXPECT_EQ(hasFeature(n.name, n.mask), n.holds) << n.name << " " << n.mask;
    EXPECT_FALSE(hasFeature(nullptr, ~0u));
}

TEST(PtableFeatures, ProductSoftwareAndFirmwareTexts) {
    ProductParams product;
    ASSERT_TRUE(readProductParamsFile(product, QMR_FIXTURES "/products/p287_4port"));
    struct Case {
        int (*info)(const char *, char *, size_t);
        const char *key;
        const char *text;
    } cases[] = {
        {softwareInfo, "version", "20"},
        {softwareInfo, "release", "1"},
        {softwareInfo, "subrelease", "22"},
        {softwareInfo, "compat_id", "0"},
        {softwareInfo, "creation_time", "1686751221"},
        {softwareInfo, "other", " -- 2Do --"},
        {firmwareInfo, "compat_level", "0"},
        {firmwareInfo, "creation_time", "1686751221"},
        {firmwareInfo, "firmware_version", "0"},
        {firmwareInfo, "version", " -- 2Do --"},
    };
    char buffer[64];
    for (const Case &c : cases) {
        EXPECT_EQ(c.info(c.key, buffer, sizeof buffer), static_cast<int>(std::strlen(c.text))) << c.key;
        EXPECT_STREQ(buffer, c.text) << c.key;
    }
    struct Product {
        const char *key;
        const char *text;
    } products[] = {
        {"product_id", "0"},
        {"oem_id", "0"},
        {"product_name", "qmr USB Server 4-port"},
        {"product_icon", "MKZ-125"},
        {"default_name", "QMR-0287A1"},
        {"hw_project", "287"},
        {"usb_ports_phy", "4"},
        {"year", "2026"},
        {"serial_no", "4711"},
        {"hw_address", "00:c0:eb:12:34:56"},
        {"nothing", " -- 2Do --"},
    };
    for (const Product &p : products) {
        productInfo(product, p.key, buffer, sizeof buffer);
        EXPECT_STREQ(buffer, p.text) << p.key;
    }
    // The length is snprintf's, also when the buffer is too small.
    EXPECT_EQ(productInfo(product, "product_name", buffer, 4), 21);
    EXPECT_STREQ(buffer, "qmr");
}

TEST(PtableFeatures, AddressPatterns) {
    struct Case {
        const char *text;
        bool result;
        uint32_t address;
        uint32_t mask;
        const char *description;
    } cases[] = {
        {"198.18.0.1", true, 0xc6120001, 0xffffffff, " IpAddr:198.18.0.1 IpMask:255.255.255.255"},
        {"198.18.*", true, 0xc6120000, 0xffff0000, " IpAddr:198.18.0.0 IpMask:255.255.0.0"},
        {"*", true, 0, 0xffffffff, " IpAddr:0.0.0.0 IpMask:255.255.255.255"},
        {"", false, 0, 0, " IpAddr:0.0.0.0 IpMask:0.0.0.0"},
        {"10.1", false, 0, 0, " IpAddr: IpMask:"},
        {"1.2.3.300", true, 0x0102032c, 0xffffffff, " IpAddr:1.2.3.300 IpMask:255.255.255.255"},
        {"99999999999999999999.1.1.1", true, 0xff010101, 0xffffffff,
         " IpAddr:2147483647.1.1.1 IpMask:255.255.255.255"},
    };
    for (const Case &c : cases) {
        uint32_t address = 1, mask = 1;
        char description[128];
        EXPECT_EQ(parseAddressPattern(c.text, address, mask, description, sizeof description), c.result)
            << c.text;
        EXPECT_EQ(address, c.address) << c.text;
        EXPECT_EQ(mask, c.mask) << c.text;
        EXPECT_STREQ(description, c.description) << c.text;
    }
    uint32_t address, mask;
    char tiny[8];
    EXPECT_TRUE(parseAddressPattern("1.2.3.4", address, mask, tiny, sizeof tiny));
    EXPECT_STREQ(tiny, " IpAddr");
    EXPECT_FALSE(parseAddressPattern(nullptr, address, mask, nullptr, 0));
}

TEST(PtableFeatures, ImageHeaderReset) {
    ImageHeader header;
    std::memset(header.bytes, 0xaa, sizeof header.bytes);
    ImageHeader::reset(&header);
    EXPECT_TRUE(
        std::all_of(std::begin(header.bytes), std::end(header.bytes), [](uint8_t b) { return b == 0; }));
    uint32_t magic = 0x51524d49, type = 0x52544653;
    ImageHeader::reset(&header, &magic, &type);
    const uint8_t start[8] = {0x51, 0x52, 0x4d, 0x49, 0x52, 0x54, 0x46, 0x53};
    EXPECT_EQ(std::memcmp(header.bytes, start, 8), 0);
}

// ---------------------------------------------------------------------------------
// The whole catalogue

class PtableCatalogue : public PtableTest {
protected:
    void SetUp() override {
        PtableTest::SetUp();
        rebuild();
        ptable().setPaths(dir_ / "params.dat", dir_ / "slot1");
    }
    void TearDown() override {
        ptable().setPaths("", "");
        rebuild();
        PtableTest::TearDown();
    }
    // The daemon's table with every parameter back at its default.
    static void rebuild() {
        int count = 0;
        Param **items = ptable().getItems(count);
        ptable().destroyAll();
        buildParamCatalogue(items);
    }
    static ProductParams product(const char *file) {
        ProductParams p;
        EXPECT_TRUE(readProductParamsFile(p, std::string(QMR_FIXTURES "/products/") + file));
        return p;
    }
    static ProductParams product(unsigned id, unsigned ports) {
        ProductParams p;
        p.productId = id;
        p.usbPorts = ports;
        return p;
    }
    static std::string value(const char *name) { return textOf(ptable().find(name)); }

    TempDir dir_;
};

TEST_F(PtableCatalogue, FilteringByProduct) {
    struct Case {
        const char *name;
        bool on287; // four ports, relay, the group with monitoring and port keys
        bool on305; // two ports, no relay, outside the group
    } cases[] = {
        {"relay_ctrl", true, false},    {"relay_on", true, false},      {"zqn_ppwr_2", true, true},
        {"zqn_ppwr_3", true, false},    {"zqn_ppwr_4", true, false},    {"zqn_ppwr_5", false, false},
        {"zqn_2vlan_3", true, true},    {"zqn_2vlan_4", true, false},   {"zqn_2vlan_5", true, false},
        {"zqn_2vlan_6", false, false},  {"ipvlan_on_3", true, true},    {"ipvlan_on_4", true, false},
        {"ipvlan_on_5", true, false},   {"ipvlan_on_6", false, false},  {"zqn_pkkey_4", true, true},
        {"zqn_pkkey_5", true, false},   {"zqn_pkkey_8", true, false},   {"zqn_pkkey_9", false, false},
        {"zqn_pkvalid_1", true, false}, {"zqn_pkalive_1", true, false}, {"ip_filter_8", true, true},
        {"ip_filter_9", false, false},  {"ip_filter_on_8", true, true}, {"ip_filter_on_9", false, false},
        {"syslogng_srv", true, false},  {"monitoring", true, false},    {"wdav_url", true, false},
        {"wdav_dbgon", false, false},   {"netcon", false, false},       {"smtp_sign", true, true},
        {"fan_on", false, false},       {"autoSync", true, false},      {"admin_name", true, true},
        {"wifi_encrypt", false, false},
    };
    for (int which = 0; which < 2; which++) {
        rebuild();
        ptable().applyProductFeatures(product(which == 0 ? "p287_4port" : "p305_2port"));
        for (const Case &c : cases) {
            bool expected = which == 0 ? c.on287 : c.on305;
            EXPECT_EQ(ptable().find(c.name) != nullptr, expected)
                << c.name << (which == 0 ? " on 287" : " on 305");
        }
        EXPECT_EQ(value("ip_filterNumber"), "8");
        EXPECT_EQ(value("macFilterNumber"), "8");
        EXPECT_EQ(value("usbPortNumber"), which == 0 ? "4" : "2");
        EXPECT_EQ(value("zqnPortKeyNumber"), which == 0 ? "8" : "4");
        EXPECT_EQ(value("vlanNumber"), which == 0 ? "5" : "3");
        EXPECT_EQ(value("sw_features"), which == 0 ? std::to_string(0x6ab000) : std::to_string(0x2b000));
    }

    // Sixteen ports: sixteen filters and forty address filters.
    rebuild();
    ptable().applyProductFeatures(product(294, 16));
    EXPECT_NE(ptable().find("ip_filter_40"), nullptr);
    EXPECT_EQ(ptable().find("ip_filter_41"), nullptr);
    EXPECT_NE(ptable().find("zqn_ppwr_16"), nullptr);
    EXPECT_EQ(ptable().find("zqn_ppwr_17"), nullptr);
    EXPECT_EQ(value("ip_filterNumber"), "40");

    // Product 283 lacks "wifi" although it has the Wi-Fi feature; an unknown product
    // has no feature at all.
    rebuild();
    ptable().applyProductFeatures(product(283, 1));
    EXPECT_EQ(ptable().find("wifi"), nullptr);
    EXPECT_NE(ptable().find("wifi_encrypt"), nullptr);
    rebuild();
    ptable().applyProductFeatures(product(999, 2));
    EXPECT_EQ(ptable().find("wifi_encrypt"), nullptr);
    EXPECT_EQ(ptable().find("smtp_sign"), nullptr);
    EXPECT_EQ(value("sw_features"), "0");
}

TEST_F(PtableCatalogue, KeepAliveWindowsAreCheckedAtStart) {
    struct Case {
        const char *value;
        const char *after;
    } cases[] = {
        {"sMtWTFS:00:23:19:12:31:23", "sMtWTFS:00:23:19:12:31:23"},
        {"_M_W_F_:1:2:3:4:5:6", "_M_W_F_:1:2:3:4:5:6"},
        {"SMTWTFS:00:23:19:12:31:23", "sMtWTFS:00:23:19:12:31:23"}, // wrong letter case
        {"sMtWTFS:00:23:19:12:31", "sMtWTFS:00:23:19:12:31:23"},    // five groups
        {"sMtWTFS:0:23:19:12:31:234", "sMtWTFS:00:23:19:12:31:23"}, // three digits
        {"sMtWTFS:0:23:19:12:31:2x", "sMtWTFS:00:23:19:12:31:23"},
    };
    for (const Case &c : cases) {
        rebuild();
        Param *p = ptable().find("zqn_pkalive_2");
        ASSERT_NE(p, nullptr);
        p->setFromText(c.value, -1);
        p->clearChanged();
        ptable().applyProductFeatures(product("p287_4port"));
        EXPECT_EQ(textOf(p), c.after) << c.value;
        EXPECT_FALSE(p->isChanged()) << c.value;
    }
}

TEST_F(PtableCatalogue, FileRoundTripForTwoProducts) {
    std::string files[2];
    for (int which = 0; which < 2; which++) {
        const ProductParams prod = product(which == 0 ? "p287_4port" : "p305_2port");
        const std::string path = dir_ / "params.dat";
        rebuild();
        ptable().applyProductFeatures(prod);
        const char *settings[][2] = {
            {"admin_name", "Operator"}, {"admin_pwd", "secret-12"},       {"zqn_ppwr_2", "off"},
            {"ipvlan_on_2", "on"},      {"ip_filter_3", "198.18.0.0/15"}, {"dailyrestart", "3"},
            {"relay_on", "on"},         {"sys_name", "two words"},
        };
        for (auto &s : settings) {
            if (Param *p = ptable().find(s[0])) {
                EXPECT_NE(p->setFromText(s[1], -1), 0) << s[0];
            }
        }
        ptable().applyChanges();
        ASSERT_EQ(ptable().save(path.c_str()), 0);
        files[which] = readAll(path);

        // Read into a fresh table and written again: the same bytes.
        rebuild();
        ptable().applyProductFeatures(prod);
        EXPECT_EQ(ptable().load(path.c_str()), 1);
        ASSERT_EQ(ptable().save((dir_ / "again.dat").c_str()), 0);
        EXPECT_EQ(readAll(dir_ / "again.dat"), files[which]);

        // Every line: one blank, the name right-aligned to the longest saved name, " = ".
        int count = 0;
        Param **items = ptable().getItems(count);
        size_t width = 0, saved = 0;
        for (int i = 0; i < count; i++)
            if (!items[i]->hasFlags(ParamAbsent | ParamTemporary)) {
                width = std::max(width, std::strlen(items[i]->name()));
                saved++;
            }
        std::istringstream lines(files[which]);
        std::string line, previous;
        size_t n = 0;
        while (std::getline(lines, line)) {
            n++;
            ASSERT_GE(line.size(), width + 4) << line;
            EXPECT_EQ(line.substr(width + 1, 3), " = ") << line;
            std::string name = line.substr(1, width);
            name.erase(0, name.find_first_not_of(' '));
            EXPECT_LT(previous, name) << "table order";
            Param *p = ptable().find(name.c_str());
            ASSERT_NE(p, nullptr) << name;
            EXPECT_FALSE(p->hasFlags(ParamTemporary)) << name;
            previous = name;
        }
        EXPECT_EQ(n, saved);
        std::string pad(width - std::strlen("admin_pwd"), ' ');
        EXPECT_NE(files[which].find("\n " + pad + "admin_pwd = secret-12\n"), std::string::npos);
    }
    // The present parameters differ between the products.
    auto has = [](const std::string &file, const char *name) {
        return file.find(std::string(" ") + name + " = ") != std::string::npos;
    };
    EXPECT_TRUE(has(files[0], "relay_on"));
    EXPECT_FALSE(has(files[1], "relay_on"));
    EXPECT_TRUE(has(files[0], "zqn_ppwr_4"));
    EXPECT_FALSE(has(files[1], "zqn_ppwr_3"));
    EXPECT_TRUE(has(files[1], "zqn_ppwr_2"));
    EXPECT_TRUE(has(files[0], "monitoring"));
    EXPECT_FALSE(has(files[1], "monitoring"));
    EXPECT_FALSE(has(files[0], "sw_features")) << "temporary parameters are never written";
    EXPECT_NE(files[1].find("zqn_ppwr_2 = off\n"), std::string::npos);
    EXPECT_NE(files[1].find("ipvlan_on_2 = on\n"), std::string::npos);
}

// The reader skips lines over 319 characters: no value the catalogue accepts may give
// such a line, or a saved value would be lost on the next start.
TEST_F(PtableCatalogue, EveryAcceptedValueFitsOneFileLine) {
    int count = 0;
    Param **items = ptable().getItems(count);
    size_t width = 0;
    for (int i = 0; i < count; i++)
        if (!items[i]->hasFlags(ParamAbsent | ParamTemporary))
            width = std::max(width, std::strlen(items[i]->name()));
    for (int i = 0; i < count; i++) {
        Param *p = items[i];
        if (p->hasFlags(ParamTemporary)) continue;
        size_t longest = 45; // numbers, MAC and IPv4/IPv6 address texts
        if (auto *s = dynamic_cast<StringParam *>(p)) {
            if (s->range() != nullptr)
                longest = static_cast<size_t>(s->range()[1]);
            else
                ASSERT_TRUE(s->hasFlags(ParamAddressText)) << p->name() << " has no length bound";
        } else if (auto *list = dynamic_cast<P3List *>(p)) {
            longest = 0;
            for (int o = 0; o < list->optionCount(); o++)
                longest = std::max(longest, std::strlen(list->options()[o].keyword));
        }
        EXPECT_LE(1 + width + 3 + longest, static_cast<size_t>(Ptable::MaxLineLength)) << p->name();
    }
}

TEST_F(PtableCatalogue, OldNamesAndFreshDefaults) {
    writeText(dir_ / "params.dat", "ip4vlan_on_2 = on\nip4vlan_id_2 = 222\n ip_gate = 198.18.0.1\n"
                                   "ipvlan_router_2 = 198.18.0.2\n");
    EXPECT_EQ(ptable().load((dir_ / "params.dat").c_str()), 1);
    EXPECT_EQ(value("ipvlan_on_2"), "on");
    EXPECT_EQ(value("ipvlan_id_2"), "222");
    EXPECT_EQ(value("ip_router"), "198.18.0.1");
    EXPECT_EQ(value("ipvlan_router_2"), "198.18.0.2");
}

TEST_F(PtableCatalogue, ApplyingChangesOfTheCatalogue) {
    ptable().applyProductFeatures(product("p287_4port"));
    ptable().applyChanges();
    calls.clear();

    // relay_ctrl to "fix" while relay_on is on: the relay switches on, relay_eves is 0.
    ptable().find("relay_ctrl")->setFromText("eve", -1);
    ptable().find("relay_on")->setFromText("on", -1);
    ptable().applyChanges();
    dynamic_cast<IntParam *>(ptable().find("relay_eves"))->set(3);
    calls.clear();
    ptable().find("relay_ctrl")->setFromText("fix", -1);
    EXPECT_EQ(ptable().applyChanges(), 0x81u);
    EXPECT_TRUE(called("relay 1"));
    EXPECT_EQ(value("relay_eves"), "0");

    struct Case {
        const char *name;
        const char *value;
        unsigned summary;
    } cases[] = {
        {"admin_name", "Operator", 0x83}, // applied at once
        {"sessKeyTimeout", "20", 0x81},   // saved
        {"protection", "on", 0x85},       // restart
        {"button_cnt", "4", 0x80},        // temporary
    };
    for (const Case &c : cases) {
        ASSERT_NE(ptable().find(c.name), nullptr) << c.name;
        ptable().find(c.name)->setFromText(c.value, -1);
        EXPECT_EQ(ptable().applyChanges(), c.summary) << c.name;
    }
    // A temporary change is not saved.
    ptable().find("button_cnt")->setFromText("5", -1);
    EXPECT_EQ(ptable().saveIfChanged(), 0x80u);
    EXPECT_FALSE(fs::exists(dir_ / "params.dat"));
}

} // namespace
