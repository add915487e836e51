// The notification task: its event ring, activation, run loop and daily status.

#include "notify/notify.h"

#include "core/monilog.h"
#include "core/platform.h"
#include "core/ptable.h"
#include "core/ticks.h"
#include "core/utils_text.h"
#include "notify/notify_internal.h"
#include "param_catalogue.h"

#include <cstring>
#include <unistd.h>

std::atomic<Notify *> notifyInstance{nullptr};
std::atomic<int> notifyTaskNumber{-1};
std::atomic<uint32_t> mailOkCount[2];
std::atomic<uint32_t> mailFailCount[2];
std::atomic<uint32_t> moniMailOkCount{0};
std::atomic<uint32_t> moniMailFailCount{0};
std::atomic<int64_t> pop3NextPoll{0};

namespace {

constexpr int64_t StatusCheckTicks = 36000; // the daily-status check runs every 6 minutes
constexpr int LoopSeconds = 30;
constexpr int StartSeconds = 10;

// A text cut to its field, the zero kept; null stored as "-?-".
template <size_t N> void copyText(char (&field)[N], const char *text) {
    const char *t = text ? text : "-?-";
    size_t n = strnlen(t, N - 1);
    std::memcpy(field, t, n);
    field[n] = '\0';
}

} // namespace

std::mutex &notifyRingMutex() {
    static std::mutex m;
    return m;
}

NotifyHooks &notifyHooks() {
    static NotifyHooks hooks;
    return hooks;
}

int notifyAddEvent(uint32_t eventBits, int value, const char *text1, const char *text2, const char *text3,
                   const char *text4) {
    std::lock_guard<std::mutex> lock(notifyRingMutex());
    Notify *n = notifyInstance.load();
    return n ? n->addEventLocked(eventBits, value, text1, text2, text3, text4) : 0;
}

int notify_post_event(uint32_t eventBits, int value) {
    int number = notifyTaskNumber.load();
    if (number < 0) return 0;
    Task::postTo(number, TaskMsg{0, MsgNotifyEvent, eventBits, static_cast<uint32_t>(value)});
    return 1;
}

Notify::Notify(uint8_t traps) : Task("Notify"), trapsConfigured(traps) {}

Notify::~Notify() {
    std::lock_guard<std::mutex> lock(notifyRingMutex());
    Notify *self = this;
    notifyInstance.compare_exchange_strong(self, nullptr);
    int number = taskNumber;
    notifyTaskNumber.compare_exchange_strong(number, -1);
    for (NotifyEvent &e : ring) {
        if (e.event == NotifyBackup && e.aux >= 0) ::close(e.aux);
        e.aux = -1;
    }
}

int Notify::addEventLocked(uint32_t event, int aux, const char *text1, const char *text2, const char *text3,
                           const char *text4) {
    if (notifyInstance.load() != this) return 0;
    NotifyEvent &e = ring[writeIndex];
    // An overwritten backup event still holds its file.
    if (e.event == NotifyBackup && e.aux >= 0) ::close(e.aux);
    e = NotifyEvent();
    e.event = event;
    e.aux = aux;
    if (event == NotifyPowerLimit || event == NotifyWarning) {
        copyText(e.text1, text1);
    } else if (event != NotifyPowerInput && event != NotifyLinkChanged) {
        copyText(e.text1, text1);
        copyText(e.text2, text2);
        copyText(e.text3, text3);
        copyText(e.text4, text4);
    }
    mailPending |= 1u << writeIndex;
    trapPending |= 1u << writeIndex;
    slotSeq[writeIndex]++;
    writeIndex = (writeIndex + 1) % NotifyRingSize;
    return 1;
}

void Notify::dropMailBits(uint32_t mask, const uint32_t *taken) {
    for (int i = 0; i < NotifyRingSize; i++) {
        uint32_t bit = 1u << i;
        if (!(mask & bit) || !(mailPending & bit)) continue;
        if (taken != nullptr && slotSeq[i] != taken[i]) continue;
        mailPending &= ~bit;
        NotifyEvent &e = ring[i];
        if (e.event == NotifyBackup && e.aux >= 0) {
            ::close(e.aux);
            e.aux = -1;
        }
    }
}

uint32_t Notify::onMessage(const TaskMsg &msg) {
    if (msg.flags & MsgNotifyEvent) {
        if (msg.arg1 == NotifyPop3Poll) {
            runFlags |= 4;
            pop3NextPoll = notify::tickSeconds();
        } else {
            if (msg.arg1 & NotifyTrapEvents) sendTraps(msg.arg1 & NotifyTrapEvents);
            if (msg.arg1 & NotifyMonitorMail) {
                runFlags |= 2;
                moniFileIndex = static_cast<int32_t>(msg.arg2);
            }
        }
    }
    if (msg.flags & MsgConfigChanged) runFlags |= 1;
    return msg.flags;
}

bool Notify::checkActive() {
    ptable();
    bool pop3Usable =
        p_pop3->isOn() && notify::isSet(p_pop3_srv) && notify::isSet(p_pop3_usr) && notify::isSet(p_pop3_pwd);
    bool mail = trapsConfigured != 0;
    if (!mail && notify::isSet(p_mailto_1))
        mail = p_notisys_1->isOn() || p_notiusb_1->isOn() || p_notistat_1->isOn();
    if (!mail && notify::isSet(p_mailto_2))
        mail = p_notisys_2->isOn() || p_notiusb_2->isOn() || p_notistat_2->isOn();
    mailUsable_ = mail;
    {
        std::lock_guard<std::mutex> lock(notifyRingMutex());
        notifyInstance = (mail || pop3Usable) ? this : nullptr;
    }
    if ((mail || pop3Usable) && !announced_) {
        announced_ = true;
        sendTraps(NotifyRestart);
        sendEventMail(NotifyRestart);
    }
    return mail || pop3Usable;
}

void Notify::sleepSeconds(int n) {
    const int64_t deadline = sysTicks() + static_cast<int64_t>(n) * 100;
    for (;;) {
        if (runFlags.load() != 0) return;
        int64_t due = pop3NextPoll.load();
        if (due != 0 && notify::tickSeconds() >= due) return;
        int64_t left = deadline - sysTicks();
        if (left <= 0) return;
        // Slices of at most a second: the tick clock may jump (a clock set, a test).
        wait(left < 100 ? left : 100);
    }
}

bool DailyStatus::check(const struct tm &local) {
    if (reload) {
        minute = p_notistat_tm->value() * 10;
        hour = p_notistat_h->value();
        static const char *const days[] = {"su", "mo", "tu", "we", "th", "fr", "sa"};
        day = 7;
        for (int i = 0; i < 7; i++)
            if (p_notistat_d->equals(days[i])) day = i;
        reload = false;
        return false;
    }
    if (local.tm_year + 1900 <= 2009) return false;
    if (day != 7 && day != local.tm_wday) return false;
    if (local.tm_hour != hour || local.tm_min < minute || local.tm_min > minute + 9) return false;
    reload = true;
    return true;
}

void Notify::run() {
    mailOkCount[0] = mailOkCount[1] = mailFailCount[0] = mailFailCount[1] = 0;
    moniMailOkCount = moniMailFailCount = 0;
    int none = -1;
    if (!notifyTaskNumber.compare_exchange_strong(none, taskNumber)) exit();
    newTan(nullptr);
    runLoop();
    // Parameters set by mail need a restart: stop the daemon in order.
    {
        std::lock_guard<std::mutex> lock(notifyRingMutex());
        notifyInstance = nullptr;
        notifyTaskNumber = -1;
    }
    startShutDown(1);
    messages.clear();
    raiseProgress(smtpProgress, MailClosed);
    raiseProgress(pop3Progress, MailClosed);
    exit();
}

void Notify::runLoop() {
    DailyStatus status;
    sleepSeconds(StartSeconds);
    {
        std::lock_guard<std::mutex> lock(notifyRingMutex());
        dropMailBits(mailPending, nullptr);
        trapPending = 0;
    }
    int64_t statusDue = checkActive() ? sysTicks() : -1;

    if (notifyHooks().announceSlot) notifyHooks().announceSlot();
    if (p_monitoring->isOn()) moniLog.onNewFile();

    int lastHour = -1;
    for (;;) {
        if (notify::tickSeconds() >= pop3NextPoll.load()) {
            pollMailbox();
            pop3NextPoll = static_cast<int64_t>(p_pop3_poll->value()) * 60 + notify::tickSeconds();
        }
        if (changeFlags != 0) {
            changeFlags = 0;
            Ptable &table = ptable();
            unsigned result = table.applyChanges();
            if (result & ChangeSave) table.save(table.filePath().c_str());
            if (result & ChangeRestart) return;
            if (result & ChangeNotify) Task::postAll(configChangedMsg);
        }
        sleepSeconds(LoopSeconds);
        if (runFlags & 4) {
            runFlags &= ~4u;
            pop3NextPoll = 0;
            continue;
        }
        struct tm local {};
        time_t now = applianceTime();
        bool haveTime = now != static_cast<time_t>(-1) && localtime_r(&now, &local) != nullptr;
        if (haveTime) {
            if (p_monimail->isOn() && p_monibupdaily->isOn() && local.tm_year + 1900 > 2022 &&
                runFlags.load() == 0 && local.tm_hour != lastHour && local.tm_hour == p_monibuphh->value()) {
                runFlags = 2;
                moniFileIndex = -1;
            }
            lastHour = local.tm_hour;
        }
        if (runFlags & 1) {
            runFlags &= ~1u;
            if (checkActive()) statusDue = sysTicks();
        }
        if (runFlags & 2) {
            runFlags &= ~2u;
            sendMonitorMail(moniFileIndex);
        }
        if (mailUsable_) {
            sendPendingMail();
            if (statusDue >= 0 && sysTicks() >= statusDue && haveTime) {
                if (status.check(local)) sendEventMail(NotifyStatusInfo);
                statusDue = sysTicks() + StatusCheckTicks;
            }
        }
    }
}
