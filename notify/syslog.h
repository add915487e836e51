// The remote syslog client "SysLogNg": while "syslogng" is on, every monitoring line and
// every hex-dump line of the monitoring log also goes to a syslog server over TCP,
// optionally TLS. The task keeps the connection (connects, announces itself with two
// banner lines, reconnects 20 s after a failure or at once after a configuration
// change, says goodbye when it ends); the lines themselves are written by the thread
// that logs them.
#pragma once

#include "core/task.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

class TcpConnection;

// States of the client (syslogng_state_text names them).
enum : int {
    SyslogPreInit = 0,
    SyslogInit = 1,
    SyslogResolve = 2,
    SyslogResolveFailed = 3,
    SyslogConnecting = 4,
    SyslogConnectFailed = 5,
    SyslogTlsConnecting = 6,
    SyslogTlsFailed = 7,
    SyslogWorking = 8,
    SyslogConnectionLost = 9,
    SyslogDone = 10,
};

// Priority of the banner and goodbye lines (facility 5 "syslog", severity 5).
constexpr int SyslogBannerPriority = 45;
// Priority of monitoring and dump lines (facility 1 "user", severity 5).
constexpr int SyslogLinePriority = 13;
// Longest line sent, header included; a longer one is cut (its CR LF kept).
constexpr int SyslogLineMax = 1024;
// A line not written whole within this time (ms) gives the connection up.
constexpr int SyslogWriteLimitMs = 1000;

// What one line is made of; formatSyslogLine turns it into bytes.
struct SyslogLineFields {
    bool ietf = true; // RFC 5424 form, else the BSD form
    int priority = SyslogLinePriority;
    bool haveTime = false; // time holds the local (BSD) or UTC (RFC 5424) time
    struct tm time {};
    const char *deviceName = ""; // the host field of the BSD form
    const char *address = "";    // the host field of the RFC 5424 form
    const char *source = "";
    int taskNumber = -1;    // of the calling thread, -1 outside tasks
    int64_t ticks = 0;      // the tick clock (10 ms)
    uint32_t linesSent = 0; // the message id of the RFC 5424 form
    int sourceLine = 0;
    const char *text = ""; // arrives with its own line end
};

// Writes the line into out (at most size - 1 bytes and a terminating zero; a line that
// does not fit is cut, ending in CR LF when the text had it). Returns the length.
int formatSyslogLine(char *out, size_t size, const SyslogLineFields &fields);

class SysLogNg : public Task {
public:
    SysLogNg();
    ~SysLogNg() override;

    void run() override;
    // The goodbye line, then the end of the thread (the orderly shutdown's exit message
    // comes here).
    [[noreturn]] void exit() override;
    // The configuration-changed message asks for a new connection.
    uint32_t onMessage(const TaskMsg &msg) override;

    // Sends one line through this client's connection: the bytes written, 0 when not
    // connected, when the calling thread already sends (a line logged from inside a
    // send) or when the write failed (which drops the connection: state 9).
    int send(int priority, const char *source, int sourceLine, const char *text);

    // Resolves, connects (with TLS when asked) and sends the two banner lines; true when
    // all of it worked, and then this client is the process-wide target.
    bool connect();

    uint32_t linesSent() const { return linesSent_.load(); }

private:
    friend int syslogSend(int priority, const char *source, int sourceLine, const char *text);

    // Under the send lock.
    int sendLocked(int priority, const char *source, int sourceLine, const char *text);
    void dropLocked(bool quiet);
    // Takes the send lock and closes the connection.
    void closeConnection();
    // The goodbye line when connected, the connection closed, state 10.
    void finish();

    std::atomic<uint32_t> linesSent_{0};
    TcpConnection *conn_ = nullptr; // touched only under the send lock once shared
    std::atomic<uint8_t> reconnect_{1};
    char lineBuffer_[SyslogLineMax + 1] = {};
};

// The client that senders use; null while none is connected.
extern std::atomic<SysLogNg *> syslogTarget;

// Creates and starts the task "SysLogNg" when "syslogng" or "syslogngdbg" is on and
// "syslogng_srv" is set; without force only once the client ran since start (state not
// 0). Nonzero when the task was started.
int start_syslogng(int force);

// The state's text and, through when, the time it was entered; "sysLogNg state error"
// (time 0) for a state out of range.
const char *syslogng_state_text(time_t *when);
int syslogngState();

// The monitoring log's sender: sends through the target, 0 when there is none.
int syslogSend(int priority, const char *source, int sourceLine, const char *text);
