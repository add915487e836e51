// The WebDAV backup and monitoring-upload jobs, their start checks and the daily
// backup trigger.
#include "notify/webdav_jobs.h"

#include "core/monilog.h"
#include "core/platform.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/sysroot.h"
#include "core/ticks.h"
#include "notify/webdav_http.h"
#include "param_catalogue.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <glob.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

std::atomic<int> webdavJobWord{0};
std::atomic<int> webdavAttempt{0};

namespace {

constexpr int MaxAttempts = 10;
constexpr uint32_t JobStack = 0x8000;

// The certificate files of a backup, in their order (the server's own key and
// certificate stay on the device).
const char *const certFiles[] = {
    "/etc/certs/cert_fpkey.pem", "/etc/certs/cert_rpriv.pem", "/etc/certs/cert_fsrv.pem",
    "/etc/certs/cert_rcert.pem", "/etc/certs/cert_req.pem",   "/etc/certs/cert_mime.pem",
    "/etc/certs/cert.tmp",
};

// The local time; false while the clock cannot be read.
bool localNow(struct tm &out) {
    time_t now = applianceTime();
    return now != static_cast<time_t>(-1) && localtime_r(&now, &out) != nullptr;
}

// The clock counts as set once its year is after 2017.
bool clockSet(const struct tm &t) {
    return t.tm_year + 1900 > 2017;
}

// Takes the job word from 0 to 1: false (with the message) when a job runs.
bool takeJob(const char *taskName) {
    int expected = 0;
    if (webdavJobWord.compare_exchange_strong(expected, 1)) return true;
    std::printf("%s::%s immediatly stopped, incas:%d already alive?!\n", taskName, "run", expected);
    std::fflush(stdout);
    return false;
}

void releaseJob(bool &holds) {
    if (!holds) return;
    holds = false;
    webdavJobWord.fetch_sub(1);
}

// The day of the last daily backup (0: none yet).
std::atomic<int> lastDailyDay{0};

// Waits the seconds in 1-second task waits.
void waitSeconds(int seconds) {
    for (int i = 0; i < seconds; i++) {
        int64_t end = sysTicks() + 100;
        for (int64_t left = 100; left > 0; left = end - sysTicks())
            if (waitCurrentTask(left) == 0) return;
    }
}

} // namespace

WebDavBUpBUp::WebDavBUpBUp(int startDelaySeconds)
    : WebDavClient("WebDavBUpBUp"), startDelay_(startDelaySeconds) {}

bool WebDavBUpBUp::attempt() {
    ptable();
    if (!parseUrl(p_wdav_bupdir->getText().c_str())) return false;
    if (!setCredentials(p_wdav_usr->getText().c_str(), p_wdav_pwd->getText().c_str())) {
        webdavSetState(WebDavParseUrlFailed);
        return false;
    }
    if (p_wdav_bupmdir->isOn()) {
        struct tm now {};
        char day[16] = "/day_XX";
        if (localNow(now) && clockSet(now)) std::snprintf(day, sizeof day, "/day_%02d", now.tm_mday);
        appendPath(day);
    }
    std::string base = basePath();
    if (!propfind(base.c_str(), base.size()) && !makePath()) return false;
    if (!putRetry(sysPath("/etc/params.dat").c_str())) return false;
    for (const char *file : certFiles) {
        std::string path = sysPath(file);
        struct stat st;
        if (stat(path.c_str(), &st) != 0) continue;
        if (!putRetry(path.c_str())) return false;
    }
    std::string pattern = sysPath("/etc/certs") + "/????????.0";
    glob_t links{};
    bool ok = true;
    if (glob(pattern.c_str(), 0, nullptr, &links) == 0) {
        for (size_t i = 0; i < links.gl_pathc && ok; i++)
            ok = putRetry(links.gl_pathv[i]);
    }
    globfree(&links);
    if (!ok) return false;
    platform().sync();
    std::string info = sysPath("/var/") + productParams().defaultName + "_BUp.log";
    if (writeDeviceInfo(info.c_str(), nullptr) < 0) {
        webdavSetState(WebDavOddFile);
        return false;
    }
    return putRetry(info.c_str());
}

void WebDavBUpBUp::run() {
    // The task object is freed by the framework when run returns.
    if (!takeJob(name)) return;
    holdsJob_ = true;
    webdavAttempt = 0;
    bool done = false;
    for (int i = 0; i < MaxAttempts && !done; i++) {
        waitSeconds(i == 0 ? startDelay_ : i < 3 ? 60 : 300);
        done = attempt();
        closeConnection();
        if (done) {
            webdavAttempt = 0;
            webdavLastSuccess = applianceTime();
            webdavSetState(WebDavWritten);
        } else {
            webdavRecordError();
            webdavAttempt++;
        }
    }
    releaseJob(holdsJob_);
}

void WebDavBUpBUp::exit() {
    releaseJob(holdsJob_);
    Task::exit();
}

WDavMoni::WDavMoni(int fileIndex) : WebDavClient("WDavMoni"), moniIndex_(fileIndex) {}

WDavMoni::~WDavMoni() {
    if (fd_ >= 0) ::close(fd_);
}

bool WDavMoni::attempt(bool first) {
    ptable();
    if (!parseUrl(p_wdav_monidir->getText().c_str())) return false;
    if (!setCredentials(p_wdav_usr->getText().c_str(), p_wdav_pwd->getText().c_str())) {
        webdavSetState(WebDavParseUrlFailed);
        return false;
    }
    if (first && p_wdav_monimdir->isOn()) {
        struct tm now {};
        char dirs[32] = "/month_XX/day_XX";
        if (localNow(now) && clockSet(now))
            std::snprintf(dirs, sizeof dirs, "/month_%02d/day_%02d", now.tm_mon + 1, now.tm_mday);
        appendPath(dirs);
        monthDay_ = dirs;
    } else if (!first && !monthDay_.empty()) {
        // Later attempts go to the directory of the first one.
        appendPath(monthDay_.c_str());
    }
    const char *device = productParams().defaultName;
    std::string base = basePath();
    if (!propfind(base.c_str(), base.size()) && !makePath()) return false;

    char logName[160];
    std::snprintf(logName, sizeof logName, "/%s_moni.log", device);
    char reply[4096];
    size_t got = 0;
    if (get(logName, reply, sizeof reply, &got)) {
        int last = moniLogNumber(reply, got);
        if (last >= 0 && last < 99) moniIndex_ = last + 1;
    }
    char remote[160];
    std::snprintf(remote, sizeof remote, "/%s_%03d.txt", device, moniIndex_);
    if (!putRetry(fd_, remote)) return false;

    // The server's log of uploads names the file just written; a failed upload of it
    // only leaves its error.
    std::string info = sysPath("/var/") + device + "_moni.log";
    if (writeDeviceInfo(info.c_str(), remote + 1) < 0 || !putRetry(info.c_str())) webdavRecordError();
    return true;
}

void WDavMoni::run() {
    // The task object is freed by the framework when run returns.
    if (!takeJob(name)) return;
    holdsJob_ = true;
    char path[4096];
    moniFileName(moniIndex_, path, sizeof path);
    fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) {
        webdavSetState(WebDavOddFile);
        webdavRecordError();
        releaseJob(holdsJob_);
        return;
    }
    webdavAttempt = 0;
    for (int i = 0; i < MaxAttempts; i++) {
        bool done = attempt(i == 0);
        closeConnection();
        if (done) {
            webdavAttempt = 0;
            webdavLastSuccess = applianceTime();
            webdavSetState(WebDavWritten);
            break;
        }
        webdavRecordError();
        webdavAttempt++;
    }
    releaseJob(holdsJob_);
}

void WDavMoni::exit() {
    releaseJob(holdsJob_);
    Task::exit();
}

int start_webdav_backup() {
    ptable();
    if (!p_wdav_bupdir->hasValue() || webdavJobWord.load() != 0) return 0;
    auto up = moniLogHooks().mainInterfaceUp;
    if (up == nullptr || !up()) return 0;
    auto *task = new WebDavBUpBUp(10);
    if (task->start(JobStack) < 0) {
        delete task;
        return 0;
    }
    return 1;
}

void webdav_daily_backup() {
    struct tm now {};
    if (!localNow(now) || !clockSet(now)) return;
    ptable();
    if (now.tm_mday == lastDailyDay.load() || now.tm_hour != p_wdav_buph->value()) return;
    lastDailyDay = now.tm_mday;
    start_webdav_backup();
}

int startWDavMoni(int fileIndex) {
    auto *task = new WDavMoni(fileIndex);
    if (task->start(JobStack) < 0) {
        delete task;
        return 0;
    }
    return 1;
}
