// The sandbox root: every fixed absolute path of the daemon goes through sysPath().
#pragma once

#include <mutex>
#include <string>

// The directory named by QMR_ROOT (empty: the real root). Read once, on first use,
// because objects built before main already need it.
const std::string &sysRoot();

// Maps a fixed absolute path of the appliance into the sandbox root. Paths that are
// views of the calling process or of its network namespace (/proc/self, /proc/<pid>,
// /proc/stat, /proc/meminfo, /proc/net/..., /proc/sys/net/..., /sys/class/net/...) and
// the kernel's random source /dev/urandom stay as they are; everything else that is
// absolute gets the root prefixed.
std::string sysPath(const char *path);
inline std::string sysPath(const std::string &path) {
    return sysPath(path.c_str());
}

// The mapping itself, for a given root.
std::string joinRoot(const std::string &root, const char *path);

// True when the path belongs to the kernel's per-process or per-namespace views.
bool isHostView(const char *path);

// The process environment changes while tasks run (the time zone). Our own readers and
// writers hold this lock; the C library's own readers (time conversions, the resolver)
// do not, so run-time writers only overwrite variables that prepareEnvironment made.
std::mutex &environmentLock();

// Creates, before any thread starts, every environment variable the daemon changes
// later ("TZ", "MIBS"). Adding a variable moves the environment's array, and a thread
// reading it at that moment reads freed memory; overwriting one only swaps a pointer.
void prepareEnvironment();

// What "TZ" holds when no time zone is set: the system's zone file, as with no "TZ".
extern const char SystemTimeZone[];
