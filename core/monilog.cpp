// The monitoring log: the ring of eleven log files, the line writer and the hex dump.
#include "core/monilog.h"
#include "core/monilog_internal.h"
#include "core/sysroot.h"
#include "core/task.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const MoniCategory moniCategories[MoniCategoryCount] = {
    {MoniErr, "ERR", "Errors"},    {MoniSta, "STA", "System Status"}, {MoniPar, "PAR", "Parameter changes"},
    {MoniUpo, "UPO", "USB ports"}, {MoniAcc, "ACC", "Device access"},
};

MoniLog moniLog;

namespace moni {

bool ensureDir(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (mkdir(path.c_str(), 0755) != 0)
        return errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    // The mode is set explicitly rather than through a cleared creation mask: the mask
    // is process-wide, and clearing it would expose the files other threads create
    // meanwhile.
    chmod(path.c_str(), 0755);
    return true;
}

} // namespace moni

namespace {

// The text of a line may come from the network (URLs, user names): control
// characters are shown as '.', so that no text can end its line early and forge
// lines of its own, in the file or at the syslog server.
void maskControls(char *text, int length) {
    for (int i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7f) text[i] = '.';
    }
}

// Builds " DD HH:MM:SS |", the codes, " | ", the text and CR LF into line (room for
// MoniLineMax bytes and a terminating zero); returns the line's length.
int buildLine(char *line, const struct tm *tm, unsigned mask, int savedErrno, const char *format,
              va_list args) {
    int n = snprintf(line, MoniLineMax, " %02d %02d:%02d:%02d |", tm ? tm->tm_mday : 0, tm ? tm->tm_hour : 0,
                     tm ? tm->tm_min : 0, tm ? tm->tm_sec : 0);
    int codes = 0;
    for (const MoniCategory &category : moniCategories) {
        if (mask & category.bit) {
            n += snprintf(line + n, MoniLineMax - n, " %s", category.code);
            codes++;
        }
    }
    for (; codes < 2; codes++)
        n += snprintf(line + n, MoniLineMax - n, "    ");
    n += snprintf(line + n, MoniLineMax - n, " | ");

    // The text gets what is left but the CR LF; a longer text is cut.
    int room = MoniLineMax - 2 - n;
    errno = savedErrno; // "%m" names the caller's error
    int textLength = vsnprintf(line + n, room + 1, format ? format : "", args);
    if (textLength < 0) textLength = 0;
    if (textLength > room) textLength = room;
    maskControls(line + n, textLength);
    n += textLength;
    line[n++] = '\r';
    line[n++] = '\n';
    line[n] = '\0';
    return n;
}

// One tick on a task thread, a millisecond elsewhere.
void pauseBeforeRetry() {
    usleep(Task::current() ? 10000 : 1000);
}

} // namespace

MoniLog::MoniLog() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(&lock_, &attr);
    pthread_mutexattr_destroy(&attr);
}

MoniLog::~MoniLog() {
    int fd = fd_.exchange(-1);
    if (fd >= 0) ::close(fd);
    pthread_mutex_destroy(&lock_);
}

void MoniLog::init(const std::string &baseDir) {
    std::call_once(dirsOnce_, [] {});
    pthread_mutex_lock(&lock_);
    int fd = fd_.exchange(-1);
    if (fd >= 0) ::close(fd);
    baseDir_ = baseDir;
    monitorDir_ = baseDir + "/monitor";
    sysDir_ = baseDir + "/sys";
    fileIndex_ = -1;
    bytesInFile_ = 0;
    linesWritten_ = 0;
    ready_ = false;
    pthread_mutex_unlock(&lock_);
}

// The appliance's directory, unless init chose another first.
void MoniLog::defaultDirs() {
    std::call_once(dirsOnce_, [this] {
        baseDir_ = sysPath("/var/moni");
        monitorDir_ = baseDir_ + "/monitor";
        sysDir_ = baseDir_ + "/sys";
    });
}

const std::string &MoniLog::monitorDir() {
    defaultDirs();
    return monitorDir_;
}

const std::string &MoniLog::sysDir() {
    defaultDirs();
    return sysDir_;
}

int MoniLog::open() {
    // The base directory is the mount point of the log partition on the appliance; in
    // a fresh sandbox root it may be missing, so it is made too.
    defaultDirs();
    if (!moni::ensureDir(baseDir_) || !moni::ensureDir(monitorDir()) || !moni::ensureDir(sysDir())) return 0;
    ready_ = true;
    return 1;
}

// Under the log lock: closes the current file, deletes the gap behind the next one
// and opens it. Doing all of it under the lock means no writer ever holds a
// descriptor that is closed or already reused, and the line that filled a file is
// its last one.
MoniLog::Switch MoniLog::switchLocked() {
    if (!ready_ && !open()) return Switch::NotReady;
    int old = fd_.exchange(-1);
    if (old >= 0) ::close(old);

    char path[4096];
    int previous = fileIndex_;
    int next = 0;
    if (previous < 0 || previous >= MoniFileCount) {
        // Continue the ring where the last run left it: at the first missing or empty
        // file, at 0 when all exist.
        for (int i = 0; i < MoniFileCount; i++) {
            struct stat st;
            moniFileName(i, path, sizeof path);
            if (stat(path, &st) != 0 || st.st_size == 0) {
                next = i;
                break;
            }
        }
    } else {
        next = (previous + 1) % MoniFileCount;
    }
    moniFileName((next + 1) % MoniFileCount, path, sizeof path);
    unlink(path);
    moniFileName(next, path, sizeof path);
    unlink(path);

    int fd = ::open(path, O_WRONLY | O_CREAT | O_SYNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        // Stay where we were: the next try aims at the same file again instead of
        // walking round the ring and deleting a file on every attempt.
        fileIndex_ = previous;
        return Switch::OpenFailed;
    }
    // Readable by all, writable by the daemon alone, whatever the creation mask.
    fchmod(fd, 0644);
    fileIndex_ = next;
    bytesInFile_ = 0;
    fd_ = fd;
    return Switch::Opened;
}

void MoniLog::handOn() {
    MoniLogHooks &hooks = moniLogHooks();
    if (hooks.mainInterfaceUp && hooks.mainInterfaceUp()) onNewFile();
}

int MoniLog::newFile() {
    int rc;
    while ((rc = pthread_mutex_lock(&lock_)) != 0) {
        printf("%s t:%p %s %s STOP\n", "newFile", static_cast<void *>(Task::current()), Task::currentName(),
               rc == EDEADLK ? "recursicve" : "lockFailed");
        // The holder is this very thread: waiting would never end.
        if (rc == EDEADLK) return 0;
        pauseBeforeRetry();
    }
    Switch result = switchLocked();
    pthread_mutex_unlock(&lock_);
    // Only a file actually left is handed on, once.
    if (result == Switch::Opened) handOn();
    return result == Switch::Opened;
}

void MoniLog::onNewFile() {
    if (!moni::monitoringOn()) return;
    int current = fileIndex_;
    if (current < 0 || current >= MoniFileCount) return;
    int finished = current == 0 ? MoniFileCount - 1 : current - 1;
    MoniLogHooks &hooks = moniLogHooks();
    if (moni::wdavMoniOn() && hooks.startWDavMoni) hooks.startWDavMoni(finished);
    if (moni::moniMailOn() && moni::moniMailToSet() && !moni::moniBupDailyOn() && hooks.notifyPostEvent)
        hooks.notifyPostEvent(NotifyMoniMail, finished);
}

void MoniLog::close() {
    if (fd_ < 0) return;
    // A blocking lock waits exactly as long as a try-lock loop would, and tells a
    // holder that calls back in (EDEADLK) instead of spinning for ever.
    if (pthread_mutex_lock(&lock_) != 0) return;
    int fd = fd_.exchange(-1);
    if (fd >= 0) ::close(fd);
    pthread_mutex_unlock(&lock_);
}

void MoniLog::markClosed() {
    ready_ = false;
}

bool MoniLog::ready() const {
    return ready_;
}
bool MoniLog::isOpen() const {
    return fd_ >= 0;
}
int MoniLog::fileIndex() const {
    return fileIndex_;
}
uint32_t MoniLog::bytesInFile() const {
    return bytesInFile_;
}
void MoniLog::resetFileSize() {
    bytesInFile_ = 0;
}
int MoniLog::linesWritten() const {
    return linesWritten_;
}
void MoniLog::resetLinesWritten() {
    linesWritten_ = 0;
}

int MoniLog::writeLine(unsigned mask, const char *sourceFile, int sourceLine, const char *format,
                       va_list args) {
    int savedErrno = errno;
    struct tm tm;
    bool haveTime = moni::localTime(&tm);

    int rc = pthread_mutex_lock(&lock_);
    if (rc == EDEADLK) {
        printf("%s %s recursive STOP\n", "mprintf", Task::currentName());
        printf("m.");
        return 0;
    }
    if (rc != 0) return 0;
    Switch switched = Switch::NotReady;
    if (fd_ < 0 && (switched = switchLocked()) != Switch::Opened) {
        pthread_mutex_unlock(&lock_);
        printf("%s(%#x,%s,%d,%s,...\n", "mprintf", mask, sourceFile ? sourceFile : "?", sourceLine,
               format ? format : "");
        printf("%s %s no hd, no file\n", "mprintf", Task::currentName());
        return 0;
    }

    char line[MoniLineMax + 1];
    int length = buildLine(line, haveTime ? &tm : nullptr, mask, savedErrno, format, args);

    MoniLogHooks &hooks = moniLogHooks();
    if (hooks.syslogSend && moni::syslogngOn()) hooks.syslogSend(13, moni::deviceName(), sourceLine, line);

    int fd = fd_;
    if (fd >= 0 && write(fd, line, length) == length) {
        linesWritten_++;
        bytesInFile_ += length;
        if (bytesInFile_ > MoniFileLimit) {
            bytesInFile_ = 0;
            switched = switchLocked();
        }
    }
    pthread_mutex_unlock(&lock_);
    // The hand-off may start tasks that log: only with the lock released.
    if (switched == Switch::Opened) handOn();
    errno = savedErrno;
    return length;
}

int mprintf(unsigned mask, const char *sourceFile, int sourceLine, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int length = moniLog.writeLine(mask, sourceFile, sourceLine, format, args);
    va_end(args);
    return length;
}

void MoniLog::dump(unsigned mask, const void *data, size_t length, const char *label) {
    if (!(moni::moniFlags() & mask) || !data) return;
    int savedErrno = errno;
    if (pthread_mutex_lock(&lock_) != 0) {
        printf("%s %s recursive STOP\n", "mdump", Task::currentName());
        return;
    }
    MoniLogHooks &hooks = moniLogHooks();
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    for (size_t offset = 0; offset < length; offset += 16) {
        size_t count = length - offset < 16 ? length - offset : 16;
        // A label longer than 128 characters is cut; the rest of a line takes 67.
        char line[256];
        int n = label ? snprintf(line, 130, "%s ", label)
                      : snprintf(line, 130, "%p ", static_cast<const void *>(bytes + offset));
        if (n > 129) n = 129;
        for (size_t i = 0; i < 16; i++)
            n += i < count ? snprintf(line + n, sizeof line - n, "%.2x ", bytes[offset + i])
                           : snprintf(line + n, sizeof line - n, "   ");
        n += snprintf(line + n, sizeof line - n, "  ");
        for (size_t i = 0; i < count; i++) {
            unsigned char c = bytes[offset + i];
            line[n++] = c >= 32 && c <= 126 ? static_cast<char>(c) : '.';
        }
        line[n++] = '\n';
        line[n] = '\0';

        int fd = fd_;
        if (fd >= 0 && write(fd, line, n) == n) bytesInFile_ += n;
        // Dump lines go with the priority of every monitoring line: the category mask
        // is no syslog priority (mask 1 would be read as kern.alert).
        if (hooks.syslogSend && moni::syslogngOn()) hooks.syslogSend(13, "mdump", 0, line);
    }
    pthread_mutex_unlock(&lock_);
    errno = savedErrno;
}

void mdump(unsigned mask, const void *data, size_t length, const char *label) {
    moniLog.dump(mask, data, length, label);
}

int moniFileName(int index, char *out, size_t outSize) {
    return snprintf(out, outSize, "%s/%s_%02d.log", moniLog.monitorDir().c_str(), moni::deviceName(), index);
}

int globErr(const char *path, int error) {
    errno = error;
    printf("% 4d %s(%s,%d) %m\n", 539, "globErr", path ? path : "", error);
    return 0;
}
