// What the event, status and command mails carry: which receiver gets which event, and
// golden bodies with the clock, the uptime and the TAN fixed.

#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/ticks.h"
#include "core/utils_text.h"
#include "notify/notify.h"
#include "param_catalogue.h"
#include "tests/unit/core/param_guard.h"
#include "tests/unit/notify/fixed_clock.h"
#include "tests/unit/notify/mail_peer.h"
#include "usbserver/usb_device.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <set>
#include <sstream>
#include <vector>

namespace {

const std::string Tan = "Tq7Wm2Xc9Lp4Rz8K";

void mailServer(ParamGuard &guard) {
    for (auto [p, v] :
         std::initializer_list<std::pair<Param *, const char *>>{{p_smtp_srv, "198.18.0.9"},
                                                                 {p_smtp_port, "25"},
                                                                 {p_smtp_secure, "---"},
                                                                 {p_smtp_auth, "off"},
                                                                 {p_smtp_sign, "off"},
                                                                 {p_smtp_sender, "qmr@example.test"}})
        guard.set(p, v);
}

// A task object that accepts events without running its thread.
struct Accepting {
    Notify task{0};
    Accepting() { notifyInstance = &task; }
    ~Accepting() { notifyInstance = nullptr; }
};

TEST(Receivers, WhoGetsWhichEvent) {
    struct Event {
        uint32_t bit;
        int aux;
    };
    struct Case {
        const char *name;
        std::vector<Event> events;
        std::vector<const char *> switchesOn;
        bool card;          // the product has the storage slot
        bool secondAddress; // mailto_2 set
        const char *eventText;
        std::vector<int> receivers;
    } cases[] = {
        {"usb attach, only notiusb_2",
         {{NotifyUsbAttached, 1}},
         {"notiusb_2"},
         false,
         true,
         "USB devices changed",
         {2}},
        {"usb connect, notiusb both, no second address",
         {{NotifyUsbConnected, 1}},
         {"notiusb_1", "notiusb_2"},
         false,
         false,
         "USB devices status changed",
         {1}},
        {"link to both",
         {{NotifyLinkChanged, 0x11}},
         {"notisys_1", "notisys_2"},
         false,
         true,
         "Network link",
         {1, 2}},
        {"link, only usb wanted",
         {{NotifyLinkChanged, 0x11}},
         {"notiusb_1", "notiusb_2"},
         false,
         true,
         nullptr,
         {}},
        {"power input", {{NotifyPowerInput, 1}}, {"notisys_2"}, false, true, "Power supply", {2}},
        {"power limit", {{NotifyPowerLimit, 2}}, {"notisys_1"}, false, true, "System warning", {1}},
        {"overheating", {{NotifyWarning, 0}}, {"notisys_1"}, false, true, "System warning", {1}},
        {"status",
         {{NotifyStatusInfo, 0}},
         {"notistat_2", "notisys_1"},
         false,
         true,
         "status information",
         {2}},
        {"backup", {{NotifyBackup, -1}}, {"notibup_1"}, false, true, "Parameter backup", {1}},
        {"card missing", {{NotifyCardMissing, 0}}, {"notisdcard_1"}, true, true, "SDCard is missing", {1}},
        {"card missing without a slot", {{NotifyCardMissing, 0}}, {"notisdcard_1"}, false, true, nullptr, {}},
        {"card ready alone",
         {{NotifyCardReady, 0}},
         {"notisdcard_1", "notisdcard_2"},
         true,
         true,
         nullptr,
         {}},
        {"card out",
         {{NotifyCardOut, 0}, {NotifyCardMissing, 0}},
         {"notisdcard_2"},
         true,
         true,
         "SDCard is plugged out",
         {2}},
        // Wishes add up; the later kind names the mail.
        {"link and usb",
         {{NotifyLinkChanged, 0x11}, {NotifyUsbDetached, 1}},
         {"notisys_2", "notiusb_1"},
         false,
         true,
         "USB devices changed",
         {1, 2}},
    };
    const char *switches[] = {"notisys_1",  "notisys_2",    "notiusb_1",    "notiusb_2", "notistat_1",
                              "notistat_2", "notisdcard_1", "notisdcard_2", "notibup_1", "notibup_2"};
    for (auto &c : cases) {
        ParamGuard guard;
        mailServer(guard);
        for (const char *s : switches)
            guard.set(ptable().find(s), "off");
        for (const char *s : c.switchesOn)
            guard.set(ptable().find(s), "on");
        guard.set(p_sw_features, c.card ? "2101248" : "4096"); // mail, and the storage slot
        guard.set(p_mailto_1, "one@example.test");
        guard.set(p_mailto_2, c.secondAddress ? "two@example.test" : "");
        MailScript script;
        acceptMail(script, static_cast<int>(c.receivers.size()));
        ScriptedServer server(script);
        Accepting a;
        for (const Event &e : c.events)
            notifyAddEvent(e.bit, e.aux);
        uint32_t ok1 = mailOkCount[0], ok2 = mailOkCount[1];
        a.task.sendPendingMail();
        std::string rcpts;
        for (int r : c.receivers)
            rcpts += r == 1 ? "RCPT TO:<one@example.test>\r\n" : "RCPT TO:<two@example.test>\r\n";
        if (c.receivers.empty()) {
            EXPECT_EQ(script.opened, 0) << c.name;
        } else {
            EXPECT_NE(script.written.find(rcpts + "DATA\r\n"), std::string::npos) << c.name << script.written;
            EXPECT_NE(script.written.find(std::string("Event: ") + c.eventText + "\r\n"), std::string::npos)
                << c.name;
        }
        auto wanted = [&](int r) { return std::count(c.receivers.begin(), c.receivers.end(), r); };
        EXPECT_EQ(mailOkCount[0] - ok1, static_cast<uint32_t>(wanted(1))) << c.name;
        EXPECT_EQ(mailOkCount[1] - ok2, static_cast<uint32_t>(wanted(2))) << c.name;
        EXPECT_EQ(a.task.mailPending, 0u) << c.name;
    }
}

// Golden bodies. They run in a child process whose product is the 4-port fixture: the
// product record is read once per process, from the sandbox root.

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void replaceAll(std::string &text, const std::string &what, const std::string &with) {
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += with.size())
        text.replace(at, what.size(), with);
}

// Replaces the lines between two section headings by a marker when each matches the
// pattern; false (a note on the error output) when one does not.
bool maskLines(std::string &body, const std::string &from, const std::string &to, const std::regex &line,
               const std::string &marker) {
    size_t a = body.find(from);
    size_t b = to.empty() ? body.size() : body.find(to, a);
    if (a == std::string::npos || b == std::string::npos) {
        std::cerr << "no section " << from << "\n";
        return false;
    }
    a += from.size();
    std::string lines = body.substr(a, b - a);
    std::istringstream in(lines);
    int n = 0;
    for (std::string l; std::getline(in, l); n++) {
        if (!std::regex_match(l + "\n", line)) {
            std::cerr << "line of " << from << " out of form: [" << l << "]\n";
            return false;
        }
    }
    body.replace(a, b - a, marker);
    return true;
}

// The parameter list: one line per listed parameter, names aligned to the longest,
// nothing internal, no status value and no concealed secret.
bool checkParameterList(std::string &body) {
    const std::string heading =
        "\r\n=== Params info ===================================================\r\n\r\n";
    size_t a = body.find(heading);
    if (a == std::string::npos) return false;
    std::istringstream in(body.substr(a + heading.size()));
    std::regex form("\t([A-Za-z0-9_]+)( *) = (.*) \r");
    std::set<std::string> names;
    size_t width = 0, longest = 0;
    bool ok = true, nameLine = false;
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        if (!std::regex_match(l, m, form)) {
            std::cerr << "parameter line out of form: [" << l << "]\n";
            return false;
        }
        size_t w = m[1].length() + m[2].length();
        if (width == 0) width = w;
        ok = ok && w == width && names.insert(m[1]).second;
        longest = std::max<size_t>(longest, m[1].length());
        if (m[1] == "sys_name") nameLine = m[3] == "hall-7";
        if (m[3].str().find("pop-secret") != std::string::npos) {
            std::cerr << "the POP3 password is listed: " << l << "\n";
            ok = false;
        }
    }
    for (const char *absent : {"language", "crashes"})
        ok = ok && names.count(absent) == 0;
    ok = ok && width == longest && nameLine && names.count("mailto_1") == 1;
    if (!ok) std::cerr << "parameter list: width " << width << " longest " << longest << "\n";
    body.replace(a + heading.size(), std::string::npos, "@PARAMS@\r\n");
    return ok;
}

int64_t uptimeTicks() {
    return (2 * 86400 + 3 * 3600 + 4 * 60 + 5) * 100LL;
}

// The mails of the golden cases; each case's body is compared with its file under
// tests/fixtures/mail. Returns the number of mismatches (reported on the error output,
// the body written to /tmp/qmr-golden-<name>.txt).
int runGoldenCases() {
    FixedClock clock(1793690109); // 2026-11-03 07:15:09 UTC
    setTickSource(uptimeTicks);
    std::strcpy(currentTan, Tan.c_str());
    ParamGuard guard;
    mailServer(guard);
    for (auto [p, v] :
         std::initializer_list<std::pair<Param *, const char *>>{{p_ip_addr, "198.18.0.1"},
                                                                 {p_sys_name, "hall-7"},
                                                                 {p_sys_descr, ""},
                                                                 {p_sys_contact, "ops desk"},
                                                                 {p_mailto_1, "ops@example.test"},
                                                                 {p_mailto_2, ""},
                                                                 {p_notisys_1, "on"},
                                                                 {p_notistat_1, "on"},
                                                                 {p_pop3, "on"},
                                                                 {p_pop3_srv, "198.18.0.9"},
                                                                 {p_pop3_sec, "0"},
                                                                 {p_pop3_usr, "box"},
                                                                 {p_pop3_pwd, "pop-secret"},
                                                                 {p_sessKeys, "off"},
                                                                 {p_zqn_tag_1, "bench"},
                                                                 {p_zqn_accctrl_1, "keyids"},
                                                                 {p_zqn_sec, "on"},
                                                                 {p_usb_manu_1, "Maker"},
                                                                 {p_usb_prod_1, "Stick"},
                                                                 {p_usb_sern_1, "S1"},
                                                                 {p_usb_owner_1, "198.18.0.2"}})
        guard.set(p, v);
    // One device on port 1, held by a client.
    usbDeviceTable[0].port = 1;
    usbDeviceTable[0].state = UsbEntryOpened;
    usbDeviceCount = 1;

    struct Case {
        const char *name;
        std::function<void(Notify &)> send;
        bool answer; // the mail is a reply to a command
    } cases[] = {
        {"daily_status", [](Notify &n) { n.sendEventMail(NotifyStatusInfo); }, false},
        {"power_limit",
         [](Notify &n) {
             notifyInstance = &n;
             notifyAddEvent(NotifyPowerLimit, 3, "Maker Stick");
             n.sendPendingMail();
             notifyInstance = nullptr;
         },
         false},
        {"full_status", [](Notify &n) { n.pollMailbox(); }, true},
        {"parameters", [](Notify &n) { n.pollMailbox(); }, true},
    };
    int failed = 0;
    for (auto &c : cases) {
        MailScript script;
        std::string name = c.name;
        if (c.answer)
            mailboxOfOne(script,
                         "From: ops@example.test\r\nSubject: cmd: get " +
                             std::string(name == "parameters" ? "parameters" : "servicepage") + "\r\n",
                         "", true);
        else
            acceptMail(script);
        ScriptedServer server(script);
        Notify task(0);
        c.send(task);
        std::string body = sentBody(script.written);
        replaceAll(body, SoftwareVersionText, "@SOFTWARE@");
        bool ok = !body.empty();
        if (name == "full_status") {
            ok =
                maskLines(body, "=== Memory info ===================================================\r\n\r\n",
                          "\r\n=== Thread info", std::regex("\t[A-Za-z0-9_()]+: +[0-9]+( kB)?\r\n"),
                          "\t@MEMINFO@\r\n") &&
                maskLines(
                    body, " --------+---------------------+-------------+-----------\r\n",
                    "\r\n=== Params info",
                    std::regex(" +[0-9]+: *-?[0-9]+\\|.{20} \\| +[0-9]+/ -  \\| +[0-9]+::[0-9]{2}:[0-9]{2}:"
                               "[0-9]{2}\r\n"),
                    "@THREADS@\r\n");
        }
        if (name == "full_status" || name == "parameters") ok = checkParameterList(body) && ok;
        std::string golden = readFile(std::string(QMR_FIXTURES) + "/mail/" + name + ".txt");
        if (!ok || body != golden) {
            failed++;
            std::string out = "/tmp/qmr-golden-" + name + ".txt";
            std::ofstream(out, std::ios::binary) << body;
            size_t at = 0;
            while (at < body.size() && at < golden.size() && body[at] == golden[at])
                at++;
            std::cerr << name << ": differs from the golden body at byte " << at << " (written to " << out
                      << ")\n";
        }
    }
    usbDeviceCount = 0;
    usbDeviceTable[0].state = 0;
    setTickSource(nullptr);
    return failed;
}

TEST(MailBodiesDeathTest, GoldenBodiesOfTheFourPortProduct) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const bool child = std::getenv("QMR_ROOT") != nullptr;
    std::filesystem::path root;
    if (!child) {
        char dir[] = "/tmp/qmr-mail-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        root = dir;
        std::filesystem::create_directories(root / "proc");
        std::filesystem::copy_file(std::string(QMR_FIXTURES) + "/products/p287_4port",
                                   root / "proc/product_params");
        setenv("QMR_ROOT", dir, 1);
    }
    EXPECT_EXIT(std::_Exit(runGoldenCases()), ::testing::ExitedWithCode(0), "");
    if (!child) {
        unsetenv("QMR_ROOT");
        std::filesystem::remove_all(root);
    }
}

} // namespace
