// The two WebDAV jobs: "WebDavBUpBUp" copies the parameter file, the certificate files
// and their hash links into "wdav_bupdir" with a device-information log; "WDavMoni"
// uploads one finished monitoring-log file into "wdav_monidir" under a running number
// that the server's "<device>_moni.log" keeps. One job runs at a time.
#pragma once

#include "notify/webdav_client.h"

#include <atomic>
#include <string>

// Running WebDAV jobs: 0 when idle, 1 while one runs. A job takes it from 0 to 1 and
// gives it back when it ends.
extern std::atomic<int> webdavJobWord;
// Attempts of the running job that failed so far (above 0: "try again in some minutes").
extern std::atomic<int> webdavAttempt;

class WebDavBUpBUp : public WebDavClient {
public:
    explicit WebDavBUpBUp(int startDelaySeconds);
    void run() override;
    [[noreturn]] void exit() override;

private:
    bool attempt();
    int startDelay_;
    bool holdsJob_ = false;
};

class WDavMoni : public WebDavClient {
public:
    explicit WDavMoni(int fileIndex);
    ~WDavMoni() override;
    void run() override;
    [[noreturn]] void exit() override;

private:
    bool attempt(bool first);
    int moniIndex_;
    int fd_ = -1;
    std::string monthDay_; // the date directories of the first attempt
    bool holdsJob_ = false;
};

// Starts "WebDavBUpBUp" with a start delay of 10 s when "wdav_bupdir" is set, no job
// runs and the main interface is up; nonzero when started.
int start_webdav_backup();
// The supervisor's daily check: once a day at the hour "wdav_buph", when the clock is
// set (year after 2017).
void webdav_daily_backup();
// The monitoring log's hook: starts "WDavMoni" for the finished file; nonzero when
// started.
int startWDavMoni(int fileIndex);
