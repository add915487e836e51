// The appliance's wall clock and its battery-backed real-time clock. The host's clock is
// never set: a clock set by the daemon is recorded and from then on served back as the
// appliance's clock, running on from the set value with the host's monotonic clock.
// Before any set the appliance's clock is the host's. "/dev/rtc0" takes and gives back
// the time written to it.
#include "sim/control.h"
#include "sim/devfile.h"
#include "sim/standins.h"

#include "core/sysroot.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <linux/rtc.h>
#include <mutex>
#include <string>
#include <sys/eventfd.h>
#include <sys/time.h>
#include <unistd.h>

namespace sim {
namespace {

std::mutex lock;

struct Clock {
    bool set = false;   // the appliance's clock has its own value
    int64_t baseUs = 0; // that value, microseconds since 1970
    int64_t monoUs = 0; // the host's monotonic clock when it was taken
    long daemonSets = 0;
    long lastSet = 0; // seconds of the daemon's last set
    bool rtcWritten = false;
    rtc_time rtc{};
} state;

int64_t monotonicUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Called with the lock held.
void setLocked(int64_t us) {
    state.set = true;
    state.baseUs = us;
    state.monoUs = monotonicUs();
}

int64_t nowUsLocked() {
    if (state.set) return state.baseUs + (monotonicUs() - state.monoUs);
    timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

class RtcFile : public DeviceFile {
public:
    explicit RtcFile(int fd) : fd_(fd) {}
    ~RtcFile() override { ::close(fd_); }

    int ioctl(unsigned long request, void *arg) override {
        if (arg == nullptr) {
            errno = EFAULT;
            return -1;
        }
        std::lock_guard<std::mutex> guard(lock);
        if (request == RTC_SET_TIME) {
            state.rtc = *static_cast<rtc_time *>(arg);
            state.rtcWritten = true;
            return 0;
        }
        if (request == RTC_RD_TIME) {
            if (!state.rtcWritten) {
                errno = EINVAL;
                return -1;
            }
            *static_cast<rtc_time *>(arg) = state.rtc;
            return 0;
        }
        errno = ENOTTY;
        return -1;
    }

private:
    int fd_;
};

std::string cmdClock(const std::vector<std::string> &args, std::string &out) {
    if (args.size() == 3 && args[1] == "set") {
        char *end = nullptr;
        errno = 0;
        long long seconds = std::strtoll(args[2].c_str(), &end, 10);
        if (end == args[2].c_str() || *end != '\0' || errno != 0 || seconds < 0 || seconds > (1LL << 40))
            return "usage: clock [set SECONDS]";
        std::lock_guard<std::mutex> guard(lock);
        setLocked(seconds * 1000000);
    } else if (args.size() != 1) {
        return "usage: clock [set SECONDS]";
    }
    std::lock_guard<std::mutex> guard(lock);
    int64_t us = nowUsLocked();
    char text[96];
    std::snprintf(text, sizeof text, "clock %lld.%06lld sets %ld\n", static_cast<long long>(us / 1000000),
                  static_cast<long long>(us % 1000000), state.daemonSets);
    out += text;
    return "";
}

void addStateLines(std::string &out) {
    std::lock_guard<std::mutex> guard(lock);
    out += "clock_sets " + std::to_string(state.daemonSets) + "\n";
    if (state.daemonSets > 0) out += "clock_last " + std::to_string(state.lastSet) + "\n";
    if (state.rtcWritten) {
        char text[64];
        std::snprintf(text, sizeof text, "rtc %04d-%02d-%02d %02d:%02d:%02d\n", state.rtc.tm_year + 1900,
                      state.rtc.tm_mon + 1, state.rtc.tm_mday, state.rtc.tm_hour, state.rtc.tm_min,
                      state.rtc.tm_sec);
        out += text;
    }
}

StandIn clockStandIn(
    "clock",
    [] {
        registerDevicePath(sysPath("/dev/rtc0"),
                           [](const std::string &, int, int &fd) -> std::unique_ptr<DeviceFile> {
                               fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
                               if (fd < 0) return nullptr;
                               return std::make_unique<RtcFile>(fd);
                           });
        static bool commandsAdded = false;
        if (!commandsAdded) {
            commandsAdded = true;
            addCommand("clock", "clock [set SECONDS]: the appliance's wall clock (seconds since 1970)",
                       cmdClock);
            addState(addStateLines);
        }
        return 0;
    },
    [] { unregisterDevicePath(sysPath("/dev/rtc0")); });

} // namespace

int clockSet(const timeval *tv) {
    if (tv == nullptr || tv->tv_usec < 0 || tv->tv_usec >= 1000000) {
        errno = EINVAL;
        return -1;
    }
    std::lock_guard<std::mutex> guard(lock);
    setLocked(static_cast<int64_t>(tv->tv_sec) * 1000000 + tv->tv_usec);
    state.daemonSets++;
    state.lastSet = tv->tv_sec;
    return 0;
}

int clockRead(timeval *tv) {
    if (tv == nullptr) {
        errno = EFAULT;
        return -1;
    }
    std::lock_guard<std::mutex> guard(lock);
    int64_t us = nowUsLocked();
    tv->tv_sec = static_cast<time_t>(us / 1000000);
    tv->tv_usec = static_cast<suseconds_t>(us % 1000000);
    return 0;
}

} // namespace sim
