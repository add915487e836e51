#include "core/sysroot.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

const std::string &sysRoot() {
    // A function-local static is initialised once and thread-safely, also when the
    // first caller is a constructor of a global object.
    static const std::string root = [] {
        const char *env = std::getenv("QMR_ROOT");
        std::string r = env ? env : "";
        while (r.size() > 1 && r.back() == '/')
            r.pop_back();
        if (r == "/") r.clear();
        return r;
    }();
    return root;
}

std::mutex &environmentLock() {
    static std::mutex lock;
    return lock;
}

const char SystemTimeZone[] = ":/etc/localtime";

void prepareEnvironment() {
    std::lock_guard<std::mutex> hold(environmentLock());
    setenv("TZ", SystemTimeZone, 0);
    // The SNMP agent answers by OID alone and loads no MIB files.
    setenv("MIBS", "", 1);
}

static bool startsWith(const char *s, const char *prefix) {
    return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

// "dir" itself or anything below it.
static bool under(const char *path, const char *dir) {
    size_t n = std::strlen(dir);
    return std::strncmp(path, dir, n) == 0 && (path[n] == '\0' || path[n] == '/');
}

bool isHostView(const char *path) {
    if (under(path, "/proc/net/wireless")) return false;
    if (under(path, "/proc/self") || under(path, "/proc/thread-self") || under(path, "/proc/stat") ||
        under(path, "/proc/meminfo") || under(path, "/proc/loadavg") || under(path, "/proc/cpuinfo") ||
        under(path, "/proc/uptime") || under(path, "/proc/net") || under(path, "/proc/sys/net") ||
        under(path, "/sys/class/net") || under(path, "/sys/devices/system/cpu"))
        return true;
    // The kernel's random source is the same for every root.
    if (std::strcmp(path, "/dev/urandom") == 0) return true;
    if (startsWith(path, "/proc/") && std::isdigit(static_cast<unsigned char>(path[6]))) return true;
    return false;
}

std::string joinRoot(const std::string &root, const char *path) {
    if (path == nullptr) return std::string();
    if (root.empty() || path[0] != '/' || isHostView(path)) return path;
    return root + path;
}

std::string sysPath(const char *path) {
    return joinRoot(sysRoot(), path);
}
