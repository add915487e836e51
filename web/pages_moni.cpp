// The monitoring, backup and download pages: the monitor settings (categories, mail and
// WebDAV upload of log files, remote syslog state), the dumps of the monitoring and
// statistics files, the parameter backup page, and the downloads of parameters, logs,
// certificates and the load chart.

#include "web/pages_moni.h"

#include "core/catalogue.h"
#include "core/load.h"
#include "core/monilog.h"
#include "core/param.h"
#include "core/platform.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/sysroot.h"
#include "core/ticks.h"
#include "core/utils_file.h"
#include "notify/mail_content.h"
#include "notify/services.h"
#include "web/htmlstrm.h"
#include "web/http.h"
#include "web/pages.h"
#include "web/pages_net.h"
#include "web/webtext.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

Param *param(const char *name) {
    return ptable().find(name);
}

bool paramOn(const char *name) {
    Param *p = param(name);
    return p && p->isOn();
}

bool paramSet(const char *name) {
    Param *p = param(name);
    return p && p->hasValue();
}

std::string paramText(const char *name) {
    Param *p = param(name);
    if (p == nullptr) return std::string();
    auto *s = dynamic_cast<StringParam *>(p);
    if (s) return s->getText();
    char buffer[ParamMaxText + 1] = "";
    p->toText(buffer, sizeof buffer, false);
    return buffer;
}

const char *actionOf(HttpConnection &c) {
    return c.formValue("action");
}

// The bits of the five monitoring categories.
uint32_t categoryMask() {
    uint32_t mask = 0;
    for (const MoniCategory &k : moniCategories)
        mask |= k.bit;
    return mask;
}

// ---------------------------------------------------------------- log dumps

void writeLogDump(HtmlStreamer &s, const char *title, const std::string &directory) {
    auto &ts = static_cast<HtmlTextStreamer &>(s);
    bool html = !ts.hasText || ts.text.empty();
    const ProductParams &product = productParams();
    char uptime[64] = "";
    formatUptime(sysTicks(), uptime, sizeof uptime, false);
    std::string address = paramText("ip_addr");
    s.printf("%s", html ? "<h4> " : "");
    // The names come from the product description and the parameters: escaped in HTML.
    std::string defaultName = html ? htmlEscaped(product.defaultName) : product.defaultName;
    std::string productName = html ? htmlEscaped(product.productName) : product.productName;
    s.printf("%s %s %s ", title, defaultName.c_str(), "");
    s.printf("%s %s %s\n", html ? "<font color=\"darkblue\">" : "", productName.c_str(),
             html ? "</font></h4>\n" : "\n");
    s.printf(" %s alive:%s ", address.c_str(), uptime);
    s.printf("%s", html ? "<br>\n" : "\n");
    s.printf(" SN:%03u%04u%02u%05u HW:%u.%u SW:%s\n", product.productId, product.year, product.month,
             product.serialNo, product.hwMajor, product.hwMinor, SoftwareVersionText);
    time_t now = applianceTime();
    struct tm local {};
    if (now != static_cast<time_t>(-1) && localtime_r(&now, &local)) {
        auto *zone = dynamic_cast<P3List *>(param("ntp_tzone"));
        s.printf("%s", html ? "<br>\n    " : "");
        s.printf(" %02d.%02d.%04d %02d:%02d:%02d  %-30s\n", local.tm_mday, local.tm_mon + 1,
                 local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
                 zone ? zone->displayText() : "");
    }
    s.printf(html ? "<br>%s<p>\n" : "\n%s\n\n", "================================");

    bool csvOnly = std::strcmp(title, "System Monitoring") == 0;
    DirList list;
    int count = list.scanNewestFirst(directory.c_str());
    for (int i = count - 1; i >= 0; i--) {
        const char *name = list.name(i);
        if (name == nullptr) continue;
        char path[512];
        std::snprintf(path, sizeof path, "%s/%s", directory.c_str(), name);
        struct stat st;
        if (::lstat(path, &st) != 0 || st.st_size == 0) continue;
        size_t nameLength = std::strlen(name);
        if (csvOnly && (nameLength < 4 || std::strcmp(name + nameLength - 4, ".csv") != 0)) continue;
        char date[64] = "";
        struct tm mt {};
        if (localtime_r(&st.st_mtime, &mt)) std::strftime(date, sizeof date, "%Y-%m-%d %T%z", &mt);
        int kib = static_cast<int>((st.st_size + 512) / 1024);
        if (html)
            s.printf("\t %s %dKb<hr>\n<pre><code>", htmlEscaped(name).c_str(), kib);
        else
            s.printf("\n=== <%s> date:%s size:%dKb \n\n", name, date, kib);
        int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            int err = errno;
            std::printf("open of %s failed, reason: %s\n", path, std::strerror(err));
            s.printf("\n\nsorry, can't open %s, reason: %s\n\n", html ? htmlEscaped(name).c_str() : name,
                     std::strerror(err));
        } else {
            char block[512];
            for (;;) {
                ssize_t n = ::read(fd, block, sizeof block);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                bool ok;
                if (html) {
                    // Log text is shown as text: markup characters become entities.
                    std::string chunk;
                    chunk.reserve(static_cast<size_t>(n) + 64);
                    for (ssize_t k = 0; k < n; k++) {
                        if (block[k] == '<')
                            chunk += "&lt;";
                        else if (block[k] == '>')
                            chunk += "&gt;";
                        else if (block[k] == '&')
                            chunk += "&amp;";
                        else
                            chunk += block[k];
                    }
                    ok = s.write(chunk.data(), chunk.size());
                } else {
                    ok = s.write(block, static_cast<size_t>(n));
                }
                if (!ok) {
                    std::printf("%s stream write error!?\n", "html_sendlog");
                    break;
                }
            }
            ::close(fd);
        }
        if (html) s.printf("</code></pre><hr>");
    }
    list.clear();
    std::printf("%s done\n", "html_sendlog");
}

// ---------------------------------------------------------------- parameter files

void writeParameters(HtmlStreamer &s, bool hidden) {
    auto &ts = static_cast<HtmlTextStreamer &>(s);
    int fd = ts.hasText ? ::open(ts.text.c_str(), O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) {
        s.printf("sorry, can't open %s, reason: %s\n", "/etc/params.dat", std::strerror(errno));
        return;
    }
    auto listed = [hidden](Param *p) {
        uint32_t f = p->flags();
        if (f & ParamAbsent) return false;
        if (hidden) return (f & (ParamInternal | ParamTemporary)) != 0;
        return (f & (ParamStatus | ParamInternal | ParamTemporary)) == 0;
    };
    int count = 0;
    Param **items = ptable().getItems(count);
    int width = 0;
    for (int i = 0; i < count; i++) {
        if (items[i] == nullptr || !listed(items[i])) continue;
        int n = static_cast<int>(std::strlen(items[i]->name()));
        if (n > width) width = n;
    }
    for (int i = 0; i < count; i++) {
        Param *p = items[i];
        if (p == nullptr || !listed(p)) continue;
        char value[256] = "";
        p->toText(value, sizeof value, hidden);
        bool ok = s.printf(" %-*s = ", width, p->name()) >= 0 && s.write(value, std::strlen(value)) &&
                  (!hidden || !(p->flags() & ParamTemporary) || s.write(" (temporarily)", 14)) &&
                  s.write("\r\n", 2);
        if (!ok) break;
    }
    ::close(fd);
}

// ---------------------------------------------------------------- pages

// "MoniFlag_" boxes, the monitoring settings and the state beside them.
int monitorPage(HttpConnection &c, const PageEntry &) {
    const char *action = actionOf(c);
    if (action && std::strcmp(action, "set") == 0) {
        uint32_t mask = 0;
        int accepted = c.storeFormParams("MoniFlag_", &mask);
        // Only the five category bits come from the boxes; other bits of "moniflags"
        // stay as they are.
        uint32_t categories = categoryMask();
        mask &= categories;
        auto *flags = dynamic_cast<IntParam *>(param("moniflags"));
        bool stored = false;
        if (flags) {
            uint32_t old = static_cast<uint32_t>(flags->value());
            uint32_t next = (old & ~categories) | mask;
            if (next != old) {
                flags->set(static_cast<int32_t>(next));
                stored = true;
            }
        }
        if (accepted > 0 || stored) {
            unsigned summary = ptable().saveIfChanged();
            if (summary & ChangeSave) c.setVar("HeadInfo", getmuText("Parameters have been changed."));
        }
    }
    c.setVarf("MonitorMsgs", "%d", moniLog.linesWritten());
    c.setVarf("MONIFlag#", "%d", MoniCategoryCount);
    auto *flags = dynamic_cast<IntParam *>(param("moniflags"));
    uint32_t mask = flags ? static_cast<uint32_t>(flags->value()) : 0;
    for (int k = 0; k < MoniCategoryCount; k++) {
        c.setVarIndexed("MoniFlagName_", k, getmuText(moniCategories[k].longName));
        c.setVarIndexed("MoniFlagVal_", k, (mask & moniCategories[k].bit) ? "1" : "0");
    }
    std::string subject = paramText("monimailsub");
    char escaped[256];
    htmlEscapeInto(subject.c_str(), escaped, sizeof escaped);
    c.setVar("MailSub", escaped);
    char expanded[256] = "";
    format_mail_subject("Monitor", subject.c_str(), expanded, sizeof expanded, 0);
    char shown[128];
    htmlEscapeInto(expanded, shown, sizeof shown);
    c.setVar("MailSubExt", shown);
    c.setVarf("MailSentOk", "%ld", static_cast<long>(moniMailOkCount.load()));
    c.setVarf("MailSentKo", "%ld", static_cast<long>(moniMailFailCount.load()));

    if (action && std::strcmp(action, "bupnow") == 0) {
        if (webdavJobWord == 0 && paramOn("wdav_monion")) {
            moniLog.resetFileSize();
            moniLog.newFile();
            c.refreshTarget = c.path;
            c.refreshDelay = 8;
            return HttpPages::showMessage(c, getmuText("Backup monitoring data..."));
        }
        if (paramOn("monimail") && paramSet("monimailto")) {
            notify_post_event(NotifyMonitorMail, -1);
            c.refreshTarget = c.path;
            c.refreshDelay = 5;
            return HttpPages::showMessage(c, getmuText("Send email now..."));
        }
    }
    setSyslogVariables(c);
    setWebDavVariables(c, "MONI", false);
    c.setVar("DailyBup", dailyBackupText(paramOn("monibupdaily"),
                                         [] {
                                             auto *h = dynamic_cast<IntParam *>(param("monibuphh"));
                                             return h ? h->value() : 0;
                                         }())
                             .c_str());
    bool smtp = smtpUsable(paramSet("smtp_srv"), paramOn("smtp_auth"), paramSet("smtp_usr"),
                           paramSet("smtp_pwd"), paramSet("pop3_usr"), paramSet("pop3_pwd"));
    c.setVar("SmtpOk", smtp ? "1" : "0");
    bool wdav = paramOn("wdav_on") && paramSet("wdav_url") && paramSet("wdav_usr") && paramSet("wdav_pwd");
    c.setVar("WDavOk", wdav ? "1" : "0");
    return PageTemplate;
}

int monilogPage(HttpConnection &c, const PageEntry &) {
    const char *action = actionOf(c);
    if (action) {
        if (std::strcmp(action, "cleanup") != 0 || !moniLog.ready()) return PageTemplate;
        // The current file is closed first: the next line starts a new one.
        moniLog.close();
        DirList list;
        list.removeFiles(moniLog.monitorDir().c_str(), false);
        list.clear();
        moniLog.resetLinesWritten();
        if (moniLog.open() != 1) std::printf("*** ERROR can not open/create USB DEBUG file?! ***\n");
        c.refreshTarget = "/device/monitor.html";
        c.refreshDelay = 4;
        return HttpPages::showMessage(c, paramOn("monitoring")
                                             ? getmuText("All logs are deleted, monitoring is still active.")
                                             : getmuText("All logs are deleted."));
    }
    auto *s = new HtmlTextStreamer("MoniLog", "");
    return s->startFor(c, writeMonitorLog, "text/html");
}

int backupPage(HttpConnection &c, const PageEntry &) {
    int result = applyFormAction(c);
    int state = storageSlotState();
    const char *stat = nullptr;
    const char *req = nullptr;
    switch (state) {
    case 0:
        stat = getmuText("SD card not found, please insert SD card.");
        break;
    case 1:
        stat = getmuText("SD card found, but formatting required.");
        req = getmuText("Required (FAT32)");
        break;
    case 2:
        stat = getmuText("SD card found, but write protected.");
        req = getmuText("not required");
        break;
    case 3:
        stat = getmuText("SD card found.");
        req = getmuText("not required");
        break;
    default:
        break;
    }
    uint64_t total = 0, freeKiB = 0;
    // Mounted read-write (3) or read-only (2).
    if (state >= 2) diskSpace(ptable().slotDir(), total, freeKiB);
    if (result != PageTemplate) return result;
    const char *action = actionOf(c);
    if (action && std::strcmp(action, "exportnow") == 0) {
        // Started at once, without the checks of the automatic backup; a job that is
        // already running keeps the job word and the new one ends at once.
        auto *task = new WebDavBUpBUp(0);
        if (task->start(0x8000) < 0) delete task;
        c.refreshTarget = c.path;
        c.refreshDelay = 8;
        return HttpPages::showMessage(c, getmuText("Export to WebDAV..."));
    }
    setWebDavVariables(c, "BUp", false);
    char name[16];
    storageSlotName(name, sizeof name);
    if (name[0]) c.setVarEscaped("SDNam", name);
    c.setVar("SDMou", slotMountText(total, freeKiB).c_str());
    if (req) c.setVar("SDreq", req);
    if (stat) c.setVar("SDstat", stat);
    if (paramOn("autoSync") && state != 3) c.setVar("SDAlert", getmuText("Writing not possible"));
    return result;
}

const FileStreamRow rows[] = {
    {"monilog", "/var/moni/monitor", writeMonitorLog, "monitor.txt"},
    {"sysmon", "/var/moni/sys", writeSystemLog, "sysmon.txt"},
    {"parameters", "/etc/params.dat", writeParameterFile, "parameters.txt"},
    {"hidden", "/etc/params.dat", writeHiddenParameterFile, "hidden.txt"},
    {"cert_req.pem", "/etc/certs/cert_req.pem", writeDownloadCopy, "certreq.csr"},
    {"cert_self.pem", "/etc/certs/cert_srv.pem", writeDownloadCopy, "certssc.crt"},
    {"cert_forg.pem", "/etc/certs/cert_fsrv.pem", writeDownloadCopy, "certca.pem"},
    {"workload.bmp", "/tmp/workload.bmp", writeDownloadCopy, "workload.bmp"},
    {nullptr, nullptr, nullptr, nullptr},
};

std::mutex chartMutex;
int64_t chartTick = 0;
bool chartDrawn = false;

int getFileStream(HttpConnection &c, const PageEntry &entry) {
    int dirLength = 0;
    const char *url = HttpPages::currentDirectory(c, &dirLength);
    const char *fileName = entry.fileName;
    if (fileName == nullptr) return HttpPages::showMessage(c, getmuText("Invalid request."));
    const FileStreamRow *row = nullptr;
    if (*fileName && dirLength > 0) row = findFileStreamRow(fileName);
    if (row == nullptr) return HttpPages::showMessage(c, getmuText("Invalid request."));
    if (std::strcmp(row->file, "/tmp/workload.bmp") == 0) refreshLoadChart();
    if (dirLength == 4 && std::strncmp(url, "/bin", 4) == 0) {
        // At most 64 bytes.
        std::string name = std::string(productParams().defaultName) + "_" + row->downloadName;
        if (name.size() > 64) name.resize(64);
        c.downloadName = name;
        auto *s = new HtmlTextStreamer("GetFileStream", sysPath(row->file).c_str());
        return s->startFor(c, row->writer, "application/octet-stream");
    }
    auto *s = new HtmlTextStreamer("GetFileStream", sysPath(row->file).c_str());
    return s->startFor(c, row->writer, "text/plain");
}

} // namespace

const FileStreamRow *fileStreamTable() {
    return rows;
}

const FileStreamRow *findFileStreamRow(const char *fileName) {
    if (fileName == nullptr) return nullptr;
    for (const FileStreamRow *r = rows; r->urlTail; r++)
        if (std::strncmp(fileName, r->urlTail, std::strlen(r->urlTail)) == 0) return r;
    return nullptr;
}

void writeMonitorLog(HtmlStreamer &s) {
    std::printf("%s ...\n", "html_monilog");
    writeLogDump(s, "Monitoring", moniLog.monitorDir());
}

void writeSystemLog(HtmlStreamer &s) {
    std::printf("%s ...\n", "html_sysmon");
    writeLogDump(s, "System Monitoring", moniLog.sysDir());
}

void writeParameterFile(HtmlStreamer &s) {
    writeParameters(s, false);
}

void writeHiddenParameterFile(HtmlStreamer &s) {
    writeParameters(s, true);
}

void writeDownloadCopy(HtmlStreamer &s) {
    auto &ts = static_cast<HtmlTextStreamer &>(s);
    int fd = ts.hasText ? ::open(ts.text.c_str(), O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) {
        s.printf("sorry, can't open %s, reason: %s\n", ts.text.c_str(), std::strerror(errno));
        return;
    }
    char block[4096];
    for (;;) {
        ssize_t n = ::read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || !s.write(block, static_cast<size_t>(n))) break;
    }
    ::close(fd);
}

std::string dailyBackupText(bool on, int hour) {
    if (!on) return getmuText("Off");
    char text[128];
    std::snprintf(text, sizeof text, "%s (%d h)", getmuText("On"), hour);
    return text;
}

bool smtpUsable(bool haveServer, bool auth, bool smtpUser, bool smtpPassword, bool pop3User,
                bool pop3Password) {
    if (!haveServer) return false;
    if (!auth) return true;
    return (smtpUser && smtpPassword) || (pop3User && pop3Password);
}

std::string slotMountText(uint64_t totalKiB, uint64_t freeKiB) {
    if (freeKiB == 0) return getmuText("no");
    char text[160];
    std::snprintf(text, sizeof text, getmuText("yes (%d/%d MB free)"),
                  static_cast<int>((freeKiB + 521) / 1024), static_cast<int>((totalKiB + 521) / 1024));
    return text;
}

bool refreshLoadChart() {
    std::lock_guard<std::mutex> g(chartMutex);
    int64_t now = sysTicks();
    if (chartDrawn && now - chartTick <= 100) return true;
    std::string path = sysPath("/tmp/workload.bmp");
    std::string temp = path + ".new";
    LoadGraph graph(768, 128);
    if (graph.write(false, temp.c_str()) != 1 || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    chartTick = now;
    chartDrawn = true;
    return true;
}

WEB_PAGE("/device/monitor.html", monitorPage);
WEB_PAGE("/txt/monilog", monilogPage);
WEB_PAGE("/maintenance/backup.html", backupPage);
WEB_PAGE("/txt/parameters.txt", getFileStream);
WEB_PAGE("/txt/hidden.txt", getFileStream);
WEB_PAGE("/txt/sysmon.txt", getFileStream);
WEB_PAGE("/bin/parameters", getFileStream);
WEB_PAGE("/bin/monilog", getFileStream);
WEB_PAGE("/bin/cert_req.pem", getFileStream);
WEB_PAGE("/bin/cert_self.pem", getFileStream);
WEB_PAGE("/bin/cert_forg.pem", getFileStream);
WEB_PAGE("/bin/workload.bmp", getFileStream);
