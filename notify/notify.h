// The notification task "Notify": the one place where device events become event mails
// and SNMP traps. Producers on any task thread record an event in the task's ring of 16
// records and post a short message; the task sends traps when the message arrives and
// one event mail for everything pending on its next 30-second pass. The same task polls
// the POP3 mailbox for commands by mail, sends the daily status mail, mails monitoring
// files and applies the parameter changes that arrived by mail.
#pragma once

#include "core/buffer.h"
#include "core/task.h"
#include "notify/smtp.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>

// Notification event bits: the same numbers select event mails, traps and messages.
enum : uint32_t {
    NotifyUsbConnected = 0x100,      // a client took a device (text4 the client)
    NotifyUsbDisconnected = 0x200,   // a client let a device go
    NotifyUsbAttached = 0x400,       // a device was plugged into a port
    NotifyUsbDetached = 0x800,       // a device was unplugged
    NotifyPowerLimit = 0x1000,       // a port was switched off for drawing too much
    NotifyStatusInfo = 0x10000,      // daily status information
    NotifyRestart = 0x20000,         // the device (re)started
    NotifyPop3Poll = 0x80000,        // poll the mailbox now (message only)
    NotifyPowerInput = 0x200000,     // a power input changed (aux: bit 0 input 1 good, bit 1 input 2)
    NotifyCardReady = 0x400000,      // storage card plugged in and ready
    NotifyCardOut = 0x800000,        // storage card plugged out
    NotifyCardMissing = 0x1000000,   // storage card missing
    NotifyCardUnusable = 0x2000000,  // storage card unusable
    NotifyCardProtected = 0x4000000, // storage card write protected
    NotifyLinkChanged = 0x8000000,   // wired link flags changed (aux the flags)
    NotifyMonitorMail = 0x10000000,  // mail a monitoring file (message only; value the index)
    NotifyWarning = 0x20000000,      // overheating or fan failure (text1 the alarm)
    NotifyBackup = 0x40000000,       // parameter backup (aux an open descriptor)
};

// The events a trap may be sent for.
constexpr uint32_t NotifyTrapEvents = 0x2fe01f00;
// The storage-card events.
constexpr uint32_t NotifyCardEvents = 0x7c00000;

constexpr int NotifyRingSize = 16;

// One recorded event.
struct NotifyEvent {
    uint32_t event = 0;
    int32_t aux = -1; // port, power-input bits, link flags, sensor, or the backup's descriptor
    char text1[129] = {};
    char text2[129] = {};
    char text3[33] = {};
    char text4[65] = {};
};

// Hooks into subsystems that are not part of this library; null until their owner
// installs them.
struct NotifyHooks {
    // Announces the storage slot's state once more (the slot task reports it again);
    // null while no slot task exists.
    void (*announceSlot)() = nullptr;
};
NotifyHooks &notifyHooks();

class Notify : public MailClient, public Task {
public:
    explicit Notify(uint8_t trapsConfigured);
    ~Notify() override;

    void run() override;
    uint32_t onMessage(const TaskMsg &msg) override;
    int handleCommand(int number, int size) override;

    // Records one event in the ring: 1 when recorded, 0 when the task does not accept
    // events. Called with the ring lock held (notifyAddEvent takes it).
    int addEventLocked(uint32_t event, int aux, const char *text1, const char *text2, const char *text3,
                       const char *text4);

    // Runs the activation check: whether mails (or POP3) have something to do; sets or
    // clears notifyInstance and announces the restart the first time.
    bool checkActive();
    // Waits up to n seconds of the tick clock on the task's messages; returns early when
    // a message left a run flag set or a POP3 poll is due.
    void sleepSeconds(int n);

    // Event mail for the bits 0x10000 (status) or 0x20000 (restart): 0 when no mail was
    // due, else 1.
    int sendEventMail(uint32_t bits);
    // One event mail for the pending ring slots; their mail bits are cleared (events
    // recorded meanwhile wait for the next mail). 0 when no mail was due, else 1.
    int sendPendingMail();
    // Monitoring mail of one file (-1 all files).
    void sendMonitorMail(int fileIndex);
    // Sends the traps of the pending ring slots among the bits (0x20000: the restart).
    void sendTraps(uint32_t bits);

    // Status body: header and the USB device list; the full form adds memory, threads
    // and parameters, the parameters-only form the parameters.
    bool writeStatus(Buffer &body, const char *eventText);
    bool writeFullStatus(Buffer &body, bool parametersOnly);
    // The header block of every mail body.
    void writeMailHeader(Buffer &body, const char *eventText);

    uint8_t trapsConfigured;
    std::atomic<uint32_t> runFlags{0}; // bit 0 configuration, bit 1 monitoring mail, bit 2 POP3 now
    int moniFileIndex = -1;

    // The ring, its pending masks and the sequence of each slot's last write; all under
    // the ring lock.
    NotifyEvent ring[NotifyRingSize];
    int writeIndex = 0;
    uint32_t mailPending = 0;
    uint32_t trapPending = 0;
    uint32_t slotSeq[NotifyRingSize] = {};

private:
    // The events of one mail: their bits, and the ring slots taken with the sequence
    // each had then (none for the status and restart mails).
    struct MailBatch {
        uint32_t bits = 0;
        uint32_t taken = 0;
        uint32_t seq[NotifyRingSize] = {};
    };
    int sendBatch(const MailBatch &batch);
    void writeSections(Buffer &body, Buffer &attach, const MailBatch &batch);
    // Clears the mail bits of the slots in mask whose sequence still matches taken
    // (closing a backup descriptor that was not mailed). Under the ring lock.
    void dropMailBits(uint32_t mask, const uint32_t *taken);
    void runLoop();
    bool mailUsable_ = false;
    bool announced_ = false;
};

// The ring lock: producers take it (a plain mutex: never held across I/O or a wait).
std::mutex &notifyRingMutex();

// The task while it accepts events, else null; its task number (-1 none).
extern std::atomic<Notify *> notifyInstance;
extern std::atomic<int> notifyTaskNumber;

// Mail counters (index 0 receiver 1, index 1 receiver 2) and the POP3 deadline in
// seconds of the tick clock (0 = now).
extern std::atomic<uint32_t> mailOkCount[2];
extern std::atomic<uint32_t> mailFailCount[2];
extern std::atomic<uint32_t> moniMailOkCount;
extern std::atomic<uint32_t> moniMailFailCount;
extern std::atomic<int64_t> pop3NextPoll;

// Records an event when the task accepts events: 1 when recorded, else 0. Texts are
// cut to their fields (the zero kept); a null text is stored as "-?-".
int notifyAddEvent(uint32_t eventBits, int value, const char *text1 = nullptr, const char *text2 = nullptr,
                   const char *text3 = nullptr, const char *text4 = nullptr);
// Posts {0, 0x10, eventBits, value} to the task: 0 when no notification task runs.
int notify_post_event(uint32_t eventBits, int value);

// The daily status schedule: reload from the parameters, then one mail in the window.
struct DailyStatus {
    bool reload = true;
    int minute = 0;
    int hour = 0;
    int day = 7; // 0..6 weekday (0 Sunday), 7 every day
    // True when the status mail is due at this local time (the caller sends it).
    bool check(const struct tm &local);
};
