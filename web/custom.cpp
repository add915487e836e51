// The page manager of the appliance, the answers that page handlers share (the message
// page, another page's template, the HTTPS redirector), the generic form handler and the
// maintenance actions.

#include "core/master.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/task.h"
#include "web/http.h"
#include "web/pages.h"
#include "web/sessions.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

HttpPages::HttpPages() : PageManager(pageTable(), PageCount) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    sessionStore().load(sessionImagePath(), warmStarts.load());
}

HttpPages::~HttpPages() {
    sessionStore().save(sessionImagePath());
}

const char *HttpPages::productName() {
    return productParams().productName;
}

const char *HttpPages::currentDirectory(const HttpConnection &c, int *length) {
    const PageEntry *e = pageManager ? pageManager->entry(c.pageIndex) : nullptr;
    if (e == nullptr) {
        if (length) *length = 0;
        return "";
    }
    const char *slash = std::strrchr(e->url, '/');
    if (length) *length = slash ? static_cast<int>(slash - e->url) : 0;
    return e->url;
}

void HttpPages::setRefreshToCurrent(HttpConnection &c) {
    const PageEntry *e = pageManager ? pageManager->entry(c.pageIndex) : nullptr;
    c.refreshTarget = e && c.pageIndex > 0 ? e->url : "/index.html";
}

int show_page(HttpConnection &c, const char *url) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        std::printf("show_page %s:%d pipe failed: %s\n", "http", __LINE__, std::strerror(errno));
        return -1;
    }
    c.typeOverride = "text/html";
    c.extraHeader.clear();
    std::string text = std::string("{.") + url + "}\n";
    bool ok = ::write(fds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fds[1]);
    if (!ok) {
        ::close(fds[0]);
        return -1;
    }
    return (fds[0] << 8) | BUFFER_READ;
}

int HttpPages::showMessage(HttpConnection &c, const char *message) {
    if (c.refreshTarget.empty()) c.refreshTarget = "/start.html";
    if (message && *message) c.setVar("DisplayMsg", message);
    c.setVarf("HowLong", "%d", c.refreshDelay < 0 ? -c.refreshDelay : c.refreshDelay);
    return show_page(c, "/wait4.html");
}

int HttpPages::redirectToHttps(HttpConnection &c, bool flag) {
    c.refreshTarget = "/start.html";
    c.refreshDelay = flag ? -3 : 1;
    return show_page(c, "/redirector.html");
}

int restartAction(HttpConnection &c, int type) {
    bool cold = c.formValue("cold") != nullptr;
    if (cold) type = ShutdownCold;
    c.refreshDelay = cold ? 20 : 10;
    if (type >= 0)
        requestShutdown(type, 4);
    else
        requestStop(4);
    return HttpPages::showMessage(c, getmuText("The device is restarting."));
}

int applyFormAction(HttpConnection &c) {
    const char *action = c.formValue("action");
    if (action == nullptr || std::strcmp(action, "set") != 0) return PageTemplate;
    if (c.storeFormParams() == 0) return PageTemplate;
    unsigned summary = ptable().saveIfChanged();
    if (summary & ChangeRestart) {
        HttpPages::setRefreshToCurrent(c);
        return restartAction(c, -1);
    }
    // Only a stored parameter counts as the visitor's change: memory-only values that the
    // device itself keeps (the address mask, the jack states) carry marks of their own.
    if (summary & ChangeSave) c.setVar("HeadInfo", getmuText("Parameters have been changed."));
    if (summary & ChangeNotify) {
        HttpPages::setRefreshToCurrent(c);
        Task::postAll(configChangedMsg);
    }
    return PageTemplate;
}

namespace {

int restartPage(HttpConnection &c, const PageEntry &) {
    return restartAction(c, -1);
}

int resetPage(HttpConnection &c, const PageEntry &) {
    ptable().reset();
    return restartAction(c, -1);
}

int purgePage(HttpConnection &c, const PageEntry &) {
    return restartAction(c, ShutdownPurge);
}

int setParamsPage(HttpConnection &c, const PageEntry &) {
    const char *invalid =
        "Invalid parameter file. No parameters have been changed. The device is restarting.";
    if (c.uploadFd < 0) return HttpPages::showMessage(c, getmuText(invalid));
    ::lseek(c.uploadFd, 0, SEEK_SET);
    ptable().loadFromFd(c.uploadFd);
    c.uploadFd = -1;
    unsigned summary = ptable().saveIfChanged();
    if (summary & ChangeRestart) return restartAction(c, -1);
    if (summary & ChangeNotify) {
        Task::postAll(configChangedMsg);
        return HttpPages::showMessage(c, getmuText("Parameters are changed. Please wait."));
    }
    if (summary == 0) return HttpPages::showMessage(c, getmuText(invalid));
    return HttpPages::showMessage(c, getmuText("Parameters are changed. Please wait."));
}

int showParamsPage(HttpConnection &c, const PageEntry &) {
    c.setVarf("params#", "%d", ptable().countVisible(ParamStatus | ParamInternal));
    return PageTemplate;
}

int formPage(HttpConnection &c, const PageEntry &) {
    return applyFormAction(c);
}

} // namespace

WEB_PAGE("/maintenance/restart.cgi", restartPage);
WEB_PAGE("/maintenance/reset.cgi", resetPage);
WEB_PAGE("/maintenance/purge.cgi", purgePage);
WEB_PAGE("/maintenance/setparams.cgi", setParamsPage);
WEB_PAGE("/maintenance/showparams.html", showParamsPage);
WEB_PAGE("/network/dns.html", formPage);
WEB_PAGE("/device/port.html", formPage);
WEB_PAGE("/device/description.html", formPage);
WEB_PAGE("/security/snmp.html", formPage);
WEB_PAGE("/security/port_access.html", formPage);
WEB_PAGE("/security/rqcert.html", formPage);
