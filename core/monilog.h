// The monitoring log: the appliance's own event log. Lines carry a day-and-time stamp
// and the three-letter codes of their categories and go into a ring of eleven files
// under "/var/moni/monitor"; beside it a ring of four statistics files under
// "/var/moni/sys" gets one line per start, stop and hourly load report.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <string>

// Categories of a line; a line's mask may hold several.
enum : unsigned {
    MoniErr = 1, // "ERR" Errors
    MoniSta = 2, // "STA" System Status
    MoniPar = 4, // "PAR" Parameter changes
    MoniUpo = 8, // "UPO" USB ports
    MoniAcc = 16 // "ACC" Device access
};

// True when "monitoring" is on and "moniflags" holds a category of the mask; callers
// test it before they format a line.
bool moniEnabled(unsigned mask);

struct MoniCategory {
    unsigned bit;
    const char *code;     // written into the lines, never translated
    const char *longName; // shown by the user interface, translated there
};
constexpr int MoniCategoryCount = 5;
extern const MoniCategory moniCategories[MoniCategoryCount];

constexpr int MoniFileCount = 11;                // files of the log ring
constexpr uint32_t MoniFileLimit = 2097152;      // a file is left once it holds more
constexpr int MoniLineMax = 512;                 // a whole line, CR LF included
constexpr int StatFileCount = 4;                 // files of the statistics ring
constexpr long StatFileLimit = 1048576;          // a statistics file is left above this
constexpr int StatLineMax = 128;                 // a whole statistics line, CR LF included
constexpr uint32_t NotifyMoniMail = 0x10000000u; // notification event: mail a log file

// What the log needs from subsystems that own it: the remote syslog client, the WebDAV
// upload, the notification task, the network interface and the board. Each is one
// function pointer, null until its owner installs it at start; a null hook does
// nothing and reads as absent or 0.
struct MoniLogHooks {
    // The remote syslog client's sender, installed at start; it sends nothing while no
    // client is connected. Called under the log's lock.
    int (*syslogSend)(int priority, const char *source, int sourceLine, const char *text) = nullptr;
    // Starts the WebDAV upload of a finished log file (a task with a 32 KiB stack).
    int (*startWDavMoni)(int fileIndex) = nullptr;
    // Posts a notification event to the notification task.
    int (*notifyPostEvent)(uint32_t eventBits, int value) = nullptr;
    // True when the main network interface exists and is up.
    bool (*mainInterfaceUp)() = nullptr;
    // The main interface's link flags and the board's input bits, for statistics lines.
    uint32_t (*mainLinkFlags)() = nullptr;
    uint32_t (*boardInputBits)() = nullptr;
    // The board's count of fan checks that found the fan standing.
    int (*fanFailCount)() = nullptr;
    // Start-up's counters: warm starts ("KickOff", -1 when none was given) and crashes.
    int (*warmStarts)() = nullptr;
    int (*crashCount)() = nullptr;
    // The running firmware's version number.
    int (*firmwareVersion)() = nullptr;
};
MoniLogHooks &moniLogHooks();

// The local time of the lines: fills the broken-down time and answers true, or false
// when it cannot be had (the line then shows zeros). Tests install a fixed clock;
// null restores the system's local time.
using MoniClock = bool (*)(struct tm *out);
void setMoniClock(MoniClock clock);

class MoniLog {
public:
    MoniLog();
    ~MoniLog();
    MoniLog(const MoniLog &) = delete;
    MoniLog &operator=(const MoniLog &) = delete;

    // Points the log at a base directory holding "monitor" and "sys" and forgets the
    // current file (closing it). Start-up does not need it: the base is
    // sysPath("/var/moni") until set. Call it only while nobody writes.
    void init(const std::string &baseDir);
    const std::string &monitorDir();
    const std::string &sysDir();

    // Creates the two directories when they are missing; 1 (and ready) or 0.
    int open();
    // Leaves the current file for the next one of the ring; 1 when it is open.
    int newFile();
    // Hands the file just finished to the WebDAV upload or the monitoring mail.
    void onNewFile();
    // Closes the current file (the next line opens a new one).
    void close();
    // Start-up's shutdown: the log no longer counts as ready.
    void markClosed();

    bool ready() const;
    bool isOpen() const;
    int fileIndex() const;
    uint32_t bytesInFile() const;
    // Forgets the size of the current file (the backup page does before a switch).
    void resetFileSize();
    // Lines written since start; the web interface clears it after deleting the files.
    int linesWritten() const;
    void resetLinesWritten();

    // Used by mprintf and mdump.
    int writeLine(unsigned mask, const char *sourceFile, int sourceLine, const char *format, va_list args);
    void dump(unsigned mask, const void *data, size_t length, const char *label);

private:
    enum class Switch { NotReady, Opened, OpenFailed };
    Switch switchLocked();
    int openLocked();
    void handOn();
    void defaultDirs();

    pthread_mutex_t lock_; // error-checking: a second lock by the holder fails
    std::once_flag dirsOnce_;
    std::string baseDir_;
    std::string monitorDir_;
    std::string sysDir_;
    // Written only under lock_; atomic so that status readers need no lock.
    std::atomic<int> fileIndex_{-1};
    std::atomic<int> fd_{-1};
    std::atomic<uint32_t> bytesInFile_{0};
    std::atomic<int> linesWritten_{0};
    std::atomic<bool> ready_{false};
};

// The one log of the process.
extern MoniLog moniLog;

// Writes one line in the categories of mask: " DD HH:MM:SS |", the codes, " | ", the
// formatted text and CR LF; at most 512 bytes, a longer text is cut. sourceFile
// appears only in the failure message, sourceLine goes to the remote syslog. Callers
// test "monitoring" and their category in "moniflags" first. Returns the length of
// the line, 0 when no file could be opened or on re-entry from the writing thread.
int mprintf(unsigned mask, const char *sourceFile, int sourceLine, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// Hex dump of data into the current log file, 16 bytes a line, prefixed by label (the
// chunk's address when label is null); nothing unless "moniflags" has a bit of mask.
void mdump(unsigned mask, const void *data, size_t length, const char *label);

// "<monitor dir>/<device name>_<index, two digits>.log" into out; returns the length
// the name needs (as snprintf).
int moniFileName(int index, char *out, size_t outSize);

// The statistics file "<sys dir>/Sys<device name>_<index>.csv".
std::string statFileName(int index);

// Statistics kinds.
enum { StatUp = 0, StatDown = 1, StatSys = 2 };

// Appends one statistics line of the kind: StatUp "InfoUp__2", StatDown "InfoDown2",
// StatSys "InfoSys_3" with the three groups of four values (temperatures, sensor
// readings in tenths, powered ports), which that kind needs. 1 when written; 0 for an
// unknown kind, missing groups, a busy statistics lock or a file that cannot be written.
int sysStatLog(int kind, const int *group1 = nullptr, const int *group2 = nullptr,
               const int *group3 = nullptr);

// The error callback of glob(3) calls: prints the path and lets the glob go on.
int globErr(const char *path, int error);
