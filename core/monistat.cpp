// The statistics ring: four semicolon-separated files under "/var/moni/sys" with one
// line per start, stop and hourly load report.
#include "core/monilog.h"
#include "core/monilog_internal.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Guards the statistics files; only tried, never waited for.
std::mutex statLock;

const char *kindText(int kind) {
    switch (kind) {
    case StatUp:
        return "InfoUp__2";
    case StatDown:
        return "InfoDown2";
    case StatSys:
        return "InfoSys_3";
    default:
        return nullptr;
    }
}

// A reading in tenths as "units,tenth"; the sign goes in front of the whole value.
void formatTenths(char *out, size_t size, int value) {
    long v = value;
    snprintf(out, size, "%s%ld,%ld", v < 0 ? "-" : "", labs(v) / 10, labs(v) % 10);
}

bool newer(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// The file the next line goes into: the one changed last (the lowest index on a
// tie), its successor once it holds more than 1 MiB, 0 when none exists.
int pickStatFile() {
    int pick = 0;
    off_t size = 0;
    bool found = false;
    struct timespec latest {};
    for (int i = 0; i < StatFileCount; i++) {
        struct stat st;
        if (stat(statFileName(i).c_str(), &st) != 0) continue;
        if (!found || newer(st.st_ctim, latest)) {
            found = true;
            latest = st.st_ctim;
            pick = i;
            size = st.st_size;
        }
    }
    if (size > StatFileLimit) {
        pick = (pick + 1) % StatFileCount;
        unlink(statFileName(pick).c_str());
    }
    return pick;
}

int hookValue(int (*hook)(), int absent) {
    return hook ? hook() : absent;
}

} // namespace

std::string statFileName(int index) {
    char name[4096];
    snprintf(name, sizeof name, "%s/Sys%s_%d.csv", moniLog.sysDir().c_str(), moni::deviceName(), index);
    return name;
}

int sysStatLog(int kind, const int *group1, const int *group2, const int *group3) {
    const char *kindName = kindText(kind);
    if (!kindName || (kind == StatSys && (!group1 || !group2 || !group3))) return 0;
    std::unique_lock<std::mutex> guard(statLock, std::try_to_lock);
    if (!guard.owns_lock() || !moni::ensureDir(moniLog.sysDir())) return 0;

    int fd =
        open(statFileName(pickStatFile()).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_SYNC | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    // Readable by all, writable by the daemon alone, whatever the creation mask.
    fchmod(fd, 0644);

    MoniLogHooks &hooks = moniLogHooks();
    unsigned inputs = hooks.boardInputBits ? hooks.boardInputBits() : 0;
    unsigned link = hooks.mainLinkFlags ? hooks.mainLinkFlags() : 0;

    // Built in a roomy buffer, then held to StatLineMax with its CR LF kept, so that a
    // long device name can never glue two lines together.
    char line[512];
    int n = snprintf(line, sizeof line, "%s;%s;0x%02x;0x%02x;", kindName, moni::deviceName(), inputs, link);
    struct tm tm;
    if (n < (int)sizeof line && moni::localTime(&tm))
        n += snprintf(line + n, sizeof line - n, "%02d.%02d.%02d %02d:%02d:%02d", tm.tm_mday, tm.tm_mon + 1,
                      tm.tm_year % 100, tm.tm_hour, tm.tm_min, tm.tm_sec);
    if (n < (int)sizeof line) {
        if (kind == StatUp) {
            uint32_t sw = moni::softwareVersionWord();
            n += snprintf(line + n, sizeof line - n, ";%d;%d;HW:%d.%d;FW:%d;SW:%d.%d.%d [%d]\r\n",
                          hookValue(hooks.warmStarts, -1), moni::life(), moni::hardwareMajor(),
                          moni::hardwareMinor(), hookValue(hooks.firmwareVersion, 0), (int)(sw >> 24),
                          (int)((sw >> 16) & 0xff), (int)(sw & 0xffff), hookValue(hooks.crashCount, 0));
        } else if (kind == StatDown) {
            n += snprintf(line + n, sizeof line - n, ";%d\r\n", hookValue(hooks.fanFailCount, 0));
        } else {
            char tenths[4][32];
            for (int i = 0; i < 4; i++)
                formatTenths(tenths[i], sizeof tenths[i], group2[i]);
            n += snprintf(line + n, sizeof line - n, ";%d;%d;%d;%d;%s;%s;%s;%s;%d;%d;%d;%d;%d\r\n", group1[0],
                          group1[1], group1[2], group1[3], tenths[0], tenths[1], tenths[2], tenths[3],
                          group3[0], group3[1], group3[2], group3[3], hookValue(hooks.fanFailCount, 0));
        }
    }
    if (n > StatLineMax) {
        n = StatLineMax;
        line[n - 2] = '\r';
        line[n - 1] = '\n';
    }
    bool written = write(fd, line, n) == n;
    close(fd);
    return written ? 1 : 0;
}
