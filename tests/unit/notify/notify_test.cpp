// The notification task's ring, activation and daily-status window, its traps and the
// relay logic.

#include "core/ptable_hooks.h"
#include "core/ticks.h"
#include "notify/notify.h"
#include "notify/relay.h"
#include "notify/traps.h"
#include "param_catalogue.h"
#include "tests/unit/core/param_guard.h"
#include "tests/unit/notify/fixed_clock.h"
#include "tests/unit/notify/mail_peer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

// A task object that accepts events without running its thread.
struct Accepting {
    Notify task{1};
    Accepting() { notifyInstance = &task; }
    ~Accepting() { notifyInstance = nullptr; }
};

bool isOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

TEST(Ring, SeventeenEventsKeepTheLastSixteenAndCloseOverwrittenFiles) {
    EXPECT_EQ(notifyAddEvent(NotifyUsbAttached, 1, "m", "p", "s", "c"), 0) << "no task: nothing recorded";
    Accepting a;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[1]);
    ASSERT_EQ(notifyAddEvent(NotifyBackup, fds[0]), 1);
    std::string longText(300, 'x');
    for (int i = 1; i < 17; i++)
        ASSERT_EQ(notifyAddEvent(NotifyUsbAttached, i, longText.c_str(), nullptr, "s", "c"), 1);
    EXPECT_FALSE(isOpen(fds[0])) << "the overwritten backup's file is closed";
    EXPECT_EQ(a.task.mailPending, 0xffffu);
    EXPECT_EQ(a.task.trapPending, 0xffffu);
    EXPECT_EQ(a.task.ring[0].aux, 16);
    EXPECT_EQ(a.task.ring[1].aux, 1);
    EXPECT_EQ(std::string(a.task.ring[1].text1), std::string(128, 'x'));
    EXPECT_STREQ(a.task.ring[1].text2, "-?-");
    // Texts by event: none for link and power inputs, only the first for warnings.
    notifyAddEvent(NotifyLinkChanged, 0x11, "a", "b", "c", "d");
    notifyAddEvent(NotifyWarning, 2, "hot", "b", "c", "d");
    EXPECT_STREQ(a.task.ring[1].text1, "");
    EXPECT_STREQ(a.task.ring[2].text1, "hot");
    EXPECT_STREQ(a.task.ring[2].text2, "");
}

// Event mails to receiver 1 through a scripted server: system events and backups wanted.
struct MailRig {
    ParamGuard guard;
    MailScript script;
    MailRig() {
        guard.set(p_smtp_srv, "198.18.0.9");
        guard.set(p_smtp_port, "25");
        guard.set(p_smtp_secure, "---");
        guard.set(p_smtp_auth, "off");
        guard.set(p_smtp_sign, "off");
        guard.set(p_smtp_sender, "qmr@example.test");
        guard.set(p_mailto_1, "ops@example.test");
        guard.set(p_mailto_2, "");
        guard.set(p_notisys_1, "on");
        guard.set(p_notibup_1, "on");
    }
};

// A parameter-backup file holding the text (its descriptor).
int backupFile(const std::string &text) {
    int fd = memfd_create("backup", MFD_CLOEXEC);
    if (fd >= 0 && !text.empty()) {
        EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    return fd;
}

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

TEST(Ring, AMailClearsOnlyTheSlotsItTook) {
    MailRig rig;
    Accepting a;
    ScriptedServer server(rig.script);
    // An event recorded while the mail is being sent, with the ring lock free then.
    int fd = backupFile("sys_name = hall 7\n");
    bool lockFree = false;
    rig.script.onOpen = [&] {
        lockFree = notifyRingMutex().try_lock();
        if (lockFree) notifyRingMutex().unlock();
        notifyAddEvent(NotifyBackup, fd);
    };
    acceptMail(rig.script);
    notifyAddEvent(NotifyLinkChanged, 0x11);
    EXPECT_EQ(a.task.sendPendingMail(), 1);
    EXPECT_TRUE(lockFree) << "no ring lock across the send";
    EXPECT_EQ(a.task.mailPending, 0x2u) << "the backup recorded meanwhile waits";
    EXPECT_TRUE(isOpen(fd)) << "and keeps its file";
    EXPECT_EQ(count(rig.script.written, "RJ-45 network connector"), 1u);
    EXPECT_EQ(rig.script.written.find("parameters_"), std::string::npos);

    // The next pass mails it with its file attached, and closes the file.
    rig.script.onOpen = nullptr;
    rig.script.written.clear();
    acceptMail(rig.script);
    EXPECT_EQ(a.task.sendPendingMail(), 1);
    EXPECT_EQ(a.task.mailPending, 0u);
    EXPECT_FALSE(isOpen(fd));
    EXPECT_NE(rig.script.written.find("Subject: "), std::string::npos);
    EXPECT_NE(rig.script.written.find(" filename=\"parameters_"), std::string::npos);
    EXPECT_NE(rig.script.written.find("c3lzX25hbWUgPSBoYWxsIDcKCg=="), std::string::npos)
        << "the file, Base64";

    // A full ring: the oldest slot overwritten during the send is the one left pending.
    for (int i = 0; i < NotifyRingSize; i++)
        notifyAddEvent(NotifyLinkChanged, 0x11);
    rig.script.written.clear();
    rig.script.onOpen = [] { notifyAddEvent(NotifyLinkChanged, 0); };
    acceptMail(rig.script);
    const int oldest = a.task.writeIndex;
    EXPECT_EQ(a.task.sendPendingMail(), 1);
    EXPECT_EQ(a.task.mailPending, 1u << oldest);
    EXPECT_EQ(count(rig.script.written, "no link"), 0u) << "the new event is not in this mail";
    rig.script.onOpen = nullptr;
    rig.script.written.clear();
    acceptMail(rig.script);
    EXPECT_EQ(a.task.sendPendingMail(), 1);
    EXPECT_EQ(count(rig.script.written, "RJ-45 network connector: no link"), 1u) << "but in the next";
    EXPECT_EQ(count(rig.script.written, "RJ-45 network connector"), 1u);
    EXPECT_EQ(a.task.mailPending, 0u);
}

TEST(Ring, BackupsDroppedUnmailedAreClosed) {
    struct Case {
        const char *name;
        const char *backupsWanted;
        const char *receiver;
        size_t size;
        bool serverAccepts;
        bool mailed;
    } cases[] = {
        {"nobody wants backups", "off", "ops@example.test", 100, true, false},
        {"no receiver address", "on", "", 100, true, false},
        {"empty file", "on", "ops@example.test", 0, true, true},
        {"file too large", "on", "ops@example.test", 70000, true, true},
        {"server refuses the mail", "on", "ops@example.test", 100, false, true},
    };
    for (auto &c : cases) {
        MailRig rig;
        rig.guard.set(p_notibup_1, c.backupsWanted);
        rig.guard.set(p_mailto_1, c.receiver);
        if (c.serverAccepts)
            acceptMail(rig.script);
        else
            rig.script.replies = {"554 go away\r\n"};
        ScriptedServer server(rig.script);
        Accepting a;
        int fd = backupFile(std::string(c.size, 'x'));
        notifyAddEvent(NotifyBackup, fd);
        a.task.sendPendingMail();
        EXPECT_FALSE(isOpen(fd)) << c.name;
        EXPECT_EQ(a.task.mailPending, 0u) << c.name;
        EXPECT_EQ(a.task.ring[0].aux, -1) << c.name;
        EXPECT_EQ(rig.script.opened, c.mailed ? 1 : 0) << c.name;
        EXPECT_EQ(rig.script.written.find("parameters_"), std::string::npos)
            << c.name << ": nothing attached";
    }
}

TEST(Ring, MessagesSetTheRunFlags) {
    Notify task(0);
    task.onMessage(TaskMsg{0, MsgConfigChanged, 0, 0});
    EXPECT_EQ(task.runFlags.load(), 1u);
    task.onMessage(TaskMsg{0, MsgNotifyEvent, NotifyMonitorMail, 7});
    EXPECT_EQ(task.runFlags.load(), 3u);
    EXPECT_EQ(task.moniFileIndex, 7);
    task.onMessage(TaskMsg{0, MsgNotifyEvent, NotifyPop3Poll, 0xffffffff});
    EXPECT_EQ(task.runFlags.load(), 7u);
}

std::vector<SnmpTrapRequest> posted;
int capture(SnmpTrapRequest r) {
    posted.push_back(std::move(r));
    return 1;
}

struct TrapCapture {
    TrapCapture() {
        posted.clear();
        setTrapPoster(capture);
    }
    ~TrapCapture() { setTrapPoster(nullptr); }
};

TEST(Activation, ByReceiverTrapsOrMailbox) {
    ParamGuard guard;
    for (Param *p : {static_cast<Param *>(p_mailto_1), static_cast<Param *>(p_mailto_2),
                     static_cast<Param *>(p_pop3_srv), static_cast<Param *>(p_pop3_usr),
                     static_cast<Param *>(p_pop3_pwd)})
        guard.set(p, "");
    guard.set(p_pop3, "off");
    guard.set(p_trapsys, "on");
    guard.set(p_trapversion_1, "v1");
    guard.set(p_trapversion_2, "---");
    TrapCapture traps;
    {
        Notify idle(0);
        EXPECT_FALSE(idle.checkActive());
        EXPECT_EQ(notifyInstance.load(), nullptr);
        EXPECT_TRUE(posted.empty());
        // A receiver that wants system events activates it.
        guard.set(p_mailto_2, "ops@example.test");
        guard.set(p_notisys_2, "on");
        EXPECT_TRUE(idle.checkActive());
        EXPECT_EQ(notifyInstance.load(), &idle);
        guard.set(p_mailto_2, "");
        EXPECT_FALSE(idle.checkActive());
        EXPECT_EQ(notifyInstance.load(), nullptr);
    }
    {
        // POP3 alone, and traps alone; the restart is announced once.
        guard.set(p_pop3, "on");
        guard.set(p_pop3_srv, "mail.test");
        guard.set(p_pop3_usr, "u");
        guard.set(p_pop3_pwd, "p");
        Notify pop(0);
        EXPECT_TRUE(pop.checkActive());
        guard.set(p_pop3, "off");
        Notify trapping(1);
        posted.clear();
        EXPECT_TRUE(trapping.checkActive());
        EXPECT_TRUE(trapping.checkActive());
        ASSERT_EQ(posted.size(), 1u);
        EXPECT_EQ(posted[0].kind, SnmpTrapRequest::Easy);
        EXPECT_EQ(posted[0].generic, 0) << "no KickOff: coldStart";
        notifyInstance = nullptr;
    }
}

TEST(DailyStatus, OneMailInTheWindow) {
    ParamGuard guard;
    guard.set(p_notistat_d, "al");
    guard.set(p_notistat_h, "7");
    guard.set(p_notistat_tm, "3");
    DailyStatus s;
    auto at = [](int year, int wday, int hour, int minute) {
        struct tm t {};
        t.tm_year = year - 1900;
        t.tm_wday = wday;
        t.tm_hour = hour;
        t.tm_min = minute;
        return t;
    };
    EXPECT_FALSE(s.check(at(2026, 2, 7, 31))) << "the first check loads the schedule";
    EXPECT_FALSE(s.check(at(2009, 2, 7, 31))) << "clock not set";
    EXPECT_FALSE(s.check(at(2026, 2, 7, 29)));
    EXPECT_FALSE(s.check(at(2026, 2, 7, 40)));
    EXPECT_FALSE(s.check(at(2026, 2, 8, 31)));
    EXPECT_TRUE(s.check(at(2026, 2, 7, 30)));
    EXPECT_FALSE(s.check(at(2026, 2, 7, 36))) << "reloaded, 6 minutes later: no second mail";
    EXPECT_FALSE(s.check(at(2026, 2, 7, 42)));
    guard.set(p_notistat_d, "mo");
    DailyStatus monday;
    monday.check(at(2026, 1, 7, 35));
    EXPECT_FALSE(monday.check(at(2026, 2, 7, 35)));
    EXPECT_TRUE(monday.check(at(2026, 1, 7, 39)));
}

TEST(Traps, VariablesOfBothVersions) {
    ParamGuard guard;
    guard.set(p_sys_descr, "");
    NotifyEvent e;
    e.event = NotifyUsbConnected;
    e.aux = 2;
    std::snprintf(e.text1, sizeof e.text1, "Maker");
    std::snprintf(e.text2, sizeof e.text2, "Stick");
    std::snprintf(e.text3, sizeof e.text3, "S1");
    std::snprintf(e.text4, sizeof e.text4, "198.18.0.2");
    const std::vector<uint32_t> arc = {1, 3, 6, 1, 4, 1, 32473, 2, 51};
    auto oid = [&](uint32_t n) {
        auto o = arc;
        o.push_back(n);
        return o;
    };
    SnmpTrapRequest v1 = buildTrapRequest(e, false);
    EXPECT_EQ(v1.kind, SnmpTrapRequest::V1Vars);
    EXPECT_EQ(v1.generic, 6);
    EXPECT_EQ(v1.specific, 51);
    EXPECT_EQ(v1.enterprise, arc);
    ASSERT_EQ(v1.vars.size(), 6u);
    EXPECT_EQ(v1.vars[0].name, oid(1));
    EXPECT_EQ(v1.vars[0].integer, 5);
    EXPECT_EQ(v1.vars[1].integer, 2);
    EXPECT_EQ(v1.vars[2].text, "device connected: 198.18.0.2");
    EXPECT_EQ(v1.vars[3].name, oid(4));
    EXPECT_EQ(v1.vars[5].name, oid(8));
    SnmpTrapRequest v3 = buildTrapRequest(e, true);
    EXPECT_EQ(v3.kind, SnmpTrapRequest::V3);
    ASSERT_EQ(v3.vars.size(), 8u);
    EXPECT_EQ(v3.vars[0].type, SnmpTrapVar::TimeTicks);
    EXPECT_EQ(v3.vars[1].oidValue, oid(1));
    EXPECT_EQ(v3.vars[2].type, SnmpTrapVar::IpAddress);
    EXPECT_EQ(v3.vars[3].name, oid(2));
    // Link, power and card events carry no texts.
    e.event = NotifyLinkChanged;
    EXPECT_EQ(buildTrapRequest(e, false).vars.size(), 3u);
    EXPECT_EQ(buildTrapRequest(e, false).vars[0].integer, 17);
}

TEST(Traps, MaskAndPendingSlots) {
    ParamGuard guard;
    guard.set(p_trapusb, "off");
    guard.set(p_trapsys, "on");
    guard.set(p_trapversion_1, "v1");
    guard.set(p_trapversion_2, "v3");
    guard.set(p_sw_features, "0");
    TrapCapture traps;
    Accepting a;
    notifyAddEvent(NotifyUsbAttached, 1);
    notifyAddEvent(NotifyLinkChanged, 0);
    notifyAddEvent(NotifyCardMissing, 0);
    a.task.sendTraps(NotifyLinkChanged);
    // One request per version for the link; the USB event waits, the card is never sent.
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0].kind, SnmpTrapRequest::V1Vars);
    EXPECT_EQ(posted[1].kind, SnmpTrapRequest::V3);
    EXPECT_EQ(a.task.trapPending, 0x5u);
    guard.set(p_trapusb, "on");
    posted.clear();
    a.task.sendTraps(NotifyUsbAttached);
    EXPECT_EQ(posted.size(), 2u);
    EXPECT_EQ(a.task.trapPending, 0x4u);
    // Without configured traps the pending bits are dropped.
    Notify none(0);
    notifyInstance = &none;
    notifyAddEvent(NotifyLinkChanged, 0);
    posted.clear();
    none.sendTraps(NotifyLinkChanged);
    EXPECT_TRUE(posted.empty());
    EXPECT_EQ(none.trapPending, 0u);
    notifyInstance = &a.task;
}

// The restart announcement: one request per configured version, each of its own kind.
TEST(Traps, RestartOnePerVersion) {
    const struct {
        const char *first, *second;
        std::vector<SnmpTrapRequest::Kind> kinds;
    } cases[] = {
        {"v1", "---", {SnmpTrapRequest::Easy}},
        {"v3", "---", {SnmpTrapRequest::V3}},
        {"v1", "v1", {SnmpTrapRequest::Easy}},
        {"v1", "v3", {SnmpTrapRequest::Easy, SnmpTrapRequest::V3}},
        {"v3", "v1", {SnmpTrapRequest::Easy, SnmpTrapRequest::V3}},
    };
    for (const auto &c : cases) {
        ParamGuard guard;
        guard.set(p_trapversion_1, c.first);
        guard.set(p_trapversion_2, c.second);
        std::vector<SnmpTrapRequest> out = restartTrapRequests(2, 7);
        std::vector<SnmpTrapRequest::Kind> kinds;
        for (const SnmpTrapRequest &r : out)
            kinds.push_back(r.kind);
        EXPECT_EQ(kinds, c.kinds) << c.first << " " << c.second;
        for (const SnmpTrapRequest &r : out) {
            if (r.kind == SnmpTrapRequest::Easy) {
                EXPECT_EQ(r.generic, 1) << "warmStart";
                EXPECT_EQ(r.specific, 7);
            } else {
                ASSERT_GE(r.vars.size(), 2u);
                EXPECT_EQ(r.vars[1].oidValue, (std::vector<uint32_t>{1, 3, 6, 1, 6, 3, 1, 1, 5, 2}));
            }
        }
    }
}

std::vector<bool> relaySwitches;

struct RelayBoard {
    ParamGuard guard;
    RelayBoard(const char *ctrl) {
        relaySwitches.clear();
        guard.set(p_sw_features, "4194304"); // the relay feature
        guard.set(p_relay_ctrl, ctrl);
        guard.set(p_relay_eves, "0");
        for (Param *p :
             {p_relay_eve_start, p_relay_eve_net, p_relay_eve_1pwr, p_relay_eve_2pwr, p_relay_eve_sd,
              p_relay_eve_ucon, p_relay_eve_udis, p_relay_eve_uact, p_relay_eve_udea, p_relay_stat_net,
              p_relay_stat_ucon, p_relay_stat_udis, p_relay_stat_uact, p_relay_stat_udea})
            guard.set(p, "off");
        saved = ptableHooks().setRelay;
        ptableHooks().setRelay = [](bool on) { relaySwitches.push_back(on); };
    }
    ~RelayBoard() { ptableHooks().setRelay = saved; }
    void (*saved)(bool);
};

TEST(Relay, EventModeLatches) {
    RelayBoard b("eve");
    b.guard.set(p_relay_eve_net, "netoff");
    b.guard.set(p_relay_eve_ucon, "2");
    EXPECT_EQ(handle_relay_event(DevEventLinkDown), 0x2);
    EXPECT_EQ(handle_relay_event(DevEventLinkDown), 0x2);
    EXPECT_EQ(handle_relay_event(DevEventLinkUp), 0x2);
    EXPECT_EQ(handle_relay_event(0x1000), 0x2) << "connect on port 1, setting names port 2";
    EXPECT_EQ(handle_relay_event(0x10000), 0x10002);
    EXPECT_EQ(relaySwitches, (std::vector<bool>{true, true}));
    EXPECT_EQ(p_relay_eves->value(), 0x10002);
}

TEST(Relay, StatusModeToggles) {
    RelayBoard b("stat");
    b.guard.set(p_relay_stat_net, "netoff");
    b.guard.set(p_relay_stat_ucon, "2");
    EXPECT_EQ(handle_relay_event(DevEventLinkDown), 0x2);
    EXPECT_EQ(handle_relay_event(DevEventLinkUp), 0x4);
    EXPECT_EQ(handle_relay_event(DevEventLinkDown), 0x2);
    EXPECT_EQ(handle_relay_event(0x1000), 0x2) << "neither match nor opposite";
    EXPECT_EQ(handle_relay_event(DevEventPower1Failed), 0x2) << "status mode ignores power";
    EXPECT_EQ(relaySwitches, (std::vector<bool>{true, false, true}));
}

TEST(Relay, FixedOrAbsentDoesNothing) {
    {
        RelayBoard b("fix");
        EXPECT_EQ(handle_relay_event(DevEventLinkDown), 0);
    }
    RelayBoard b("eve");
    b.guard.set(p_relay_eve_net, "netoff");
    b.guard.set(p_sw_features, "0");
    EXPECT_EQ(handle_relay_event(DevEventLinkDown), 0);
    EXPECT_TRUE(relaySwitches.empty());
}

time_t stampOf(uint32_t bit) {
    for (const DeviceEventEntry *e = deviceEventTable(); e->bit; e++)
        if (e->bit == bit) return e->last;
    ADD_FAILURE() << "no row for " << bit;
    return -1;
}

int64_t fixedTicks() {
    return 12345;
}

TEST(Relay, EventTableStampsTheEventsThatConcernTheRelay) {
    const time_t at = 1790000000; // 2026
    FixedClock clock(at);
    setTickSource(fixedTicks);
    {
        RelayBoard b("eve");
        b.guard.set(p_relay_eve_net, "netoff");
        const time_t up = stampOf(DevEventLinkUp);
        handle_relay_event(DevEventLinkDown);
        EXPECT_EQ(stampOf(DevEventLinkDown), at);
        handle_relay_event(DevEventLinkUp);
        EXPECT_EQ(stampOf(DevEventLinkUp), up) << "no match: no stamp";
        clock.set(at + 60);
        handle_relay_event(DevEventLinkDown);
        EXPECT_EQ(stampOf(DevEventLinkDown), at + 60) << "latched already: stamped again";
        // A clock that was never set: seconds since start.
        clock.set(1230000000); // 2008
        handle_relay_event(DevEventLinkDown);
        EXPECT_EQ(stampOf(DevEventLinkDown), 123);
    }
    {
        // Status mode stamps the opposite event too, which switches the relay off.
        RelayBoard b("stat");
        b.guard.set(p_relay_stat_net, "netoff");
        clock.set(at + 120);
        handle_relay_event(DevEventLinkUp);
        EXPECT_EQ(stampOf(DevEventLinkUp), at + 120);
        // Without the relay feature nothing is stamped.
        b.guard.set(p_sw_features, "0");
        clock.set(at + 180);
        handle_relay_event(DevEventLinkUp);
        EXPECT_EQ(stampOf(DevEventLinkUp), at + 120);
    }
    setTickSource(nullptr);
}

} // namespace
