// The page table, routing, the access check, the standard variables and the login page.

#include "web/pages.h"

#include "core/catalogue.h"
#include "core/master.h"
#include "core/monilog.h"
#include "core/param.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/sysroot.h"
#include "core/utils_text.h"
#include "param_catalogue.h"
#include "web/http.h"
#include "web/sessions.h"
#include "web/webtext.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <glob.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

HttpPages *pageManager = nullptr;
int (*certVariableHook)(const char *name, char *buffer, int size) = nullptr;

namespace {

// The rows of the table; handlers are registered by the files that implement them.
PageEntry rows[PageCount] = {
    {"soSimple", 0, 0x01, nullptr, nullptr},
    {"/index.html", 0, 0x00, nullptr, nullptr},
    {"/start.html", 2, 0x02, nullptr, nullptr},
    {"/exit.html", 2, 0x02, nullptr, nullptr},
    {"/sitemap.html", 4, 0x02, nullptr, nullptr},
    {"/contact.html", 1, 0x02, nullptr, nullptr},
    {"/opensrc.html", 1, 0x02, nullptr, nullptr},
    {"/network/ipv4.html", 4, 0x02, nullptr, nullptr},
    {"/network/ipv6.html", 4, 0x02, nullptr, nullptr},
    {"/network/ipvlan.html", 4, 0x02, nullptr, nullptr},
    {"/network/dns.html", 4, 0x02, nullptr, nullptr},
    {"/network/wlan.html", 4, 0x02, nullptr, nullptr},
    {"/network/wifis.html", 4, 0x01, nullptr, nullptr},
    {"/network/bonjour.html", 4, 0x02, nullptr, nullptr},
    {"/network/servers.html", 4, 0x02, nullptr, nullptr},
    {"/device/description.html", 4, 0x02, nullptr, nullptr},
    {"/device/port.html", 4, 0x02, nullptr, nullptr},
    {"/device/time.html", 4, 0x02, nullptr, nullptr},
    {"/network/email.html", 4, 0x02, nullptr, nullptr},
    {"/device/notify.html", 4, 0x02, nullptr, nullptr},
    {"/device/monitor.html", 4, 0x02, nullptr, nullptr},
    {"/device/relay.html", 4, 0x02, nullptr, nullptr},
    {"/security/ssl.html", 4, 0x02, nullptr, nullptr},
    {"/security/details.html", 4, 0x02, nullptr, nullptr},
    {"/security/http.html", 4, 0x02, nullptr, nullptr},
    {"/security/snmp.html", 4, 0x02, nullptr, nullptr},
    {"/security/port_access.html", 4, 0x02, nullptr, nullptr},
    {"/security/authentication.html", 4, 0x02, nullptr, nullptr},
    {"/security/certificate.html", 4, 0x02, nullptr, nullptr},
    {"/security/sscert.html", 4, 0x02, nullptr, nullptr},
    {"/security/rqcert.html", 4, 0x02, nullptr, nullptr},
    {"/security/pkcs12.html", 4, 0x02, nullptr, nullptr},
    {"/security/ca.html", 4, 0x02, nullptr, nullptr},
    {"/security/mime.html", 4, 0x02, nullptr, nullptr},
    {"/security/request.html", 4, 0x02, nullptr, nullptr},
    {"/security/usb.html", 3, 0x02, nullptr, nullptr},
    {"/security/usbportN.html", 3, 0x12, nullptr, nullptr},
    {"/security/usbpsecN.html", 3, 0x12, nullptr, nullptr},
    {"/security/certgen.cgi", 4, 0x02, nullptr, nullptr},
    {"/security/certreq.cgi", 4, 0x02, nullptr, nullptr},
    {"/security/certcastore.cgi", 4, 0x02, nullptr, nullptr},
    {"/security/certmstore.cgi", 4, 0x02, nullptr, nullptr},
    {"/security/certdstore.cgi", 4, 0x02, nullptr, nullptr},
    {"/security/certpstore.cgi", 4, 0x02, nullptr, nullptr},
    {"/security/showcert.html", 4, 0x02, nullptr, nullptr},
    {"/security/showforgN.html", 4, 0x12, nullptr, nullptr},
    {"/security/showmime.html", 4, 0x02, nullptr, nullptr},
    {"/security/showca.html", 4, 0x02, nullptr, nullptr},
    {"/security/showrequ.html", 4, 0x02, nullptr, nullptr},
    {"/maintenance/backup.html", 4, 0x02, nullptr, nullptr},
    {"/maintenance/reset.html", 4, 0x02, nullptr, nullptr},
    {"/maintenance/reset.cgi", 4, 0x02, nullptr, nullptr},
    {"/maintenance/restart.html", 4, 0x02, nullptr, nullptr},
    {"/maintenance/restart.cgi", 4, 0x02, nullptr, nullptr},
    {"/maintenance/purge.html", 4, 0x02, nullptr, nullptr},
    {"/maintenance/purge.cgi", 4, 0x02, nullptr, nullptr},
    {"/maintenance/setparams.cgi", 4, 0x02, nullptr, nullptr},
    {"/maintenance/updatestate.html", 4, 0x01, nullptr, nullptr},
    {"/maintenance/update.html", 4, 0x02, nullptr, nullptr},
    {"/maintenance/updater.html", 4, 0x02, nullptr, nullptr},
    {"/maintenance/updatecheck.html", 4, 0x00, nullptr, nullptr},
    {"/maintenance/showparams.html", 4, 0x02, nullptr, nullptr},
    {"/help/helpzh.html", 0, 0x00, nullptr, nullptr},
    {"/help/helppt.html", 0, 0x00, nullptr, nullptr},
    {"/help/helpjp.html", 0, 0x00, nullptr, nullptr},
    {"/help/helpes.html", 0, 0x00, nullptr, nullptr},
    {"/help/helpcn.html", 0, 0x00, nullptr, nullptr},
    {"/help/helpen.html", 0, 0x00, nullptr, nullptr},
    {"/help/helpfr.html", 0, 0x00, nullptr, nullptr},
    {"/help/helpkr.html", 0, 0x00, nullptr, nullptr},
    {"/help/helpde.html", 0, 0x00, nullptr, nullptr},
    {"/help/helpit.html", 0, 0x00, nullptr, nullptr},
    {"/txt/parameters.txt", 4, 0x03, nullptr, nullptr},
    {"/txt/hidden.txt", 4, 0x03, nullptr, nullptr},
    {"/txt/sysmon.txt", 4, 0x03, nullptr, nullptr},
    {"/bin/parameters", 4, 0x03, nullptr, nullptr},
    {"/licences/GPLv2.txt", 1, 0x03, nullptr, nullptr},
    {"/licences/LGPLv21.txt", 1, 0x03, nullptr, nullptr},
    {"/licences/libsnmp.txt", 1, 0x03, nullptr, nullptr},
    {"/licences/OpenSSLtoolkit.txt", 1, 0x03, nullptr, nullptr},
    {"/licences/supplicant.txt*", 1, 0x03, nullptr, nullptr},
    {"/bin/monilog", 4, 0x03, nullptr, nullptr},
    {"/txt/monilog", 4, 0x03, nullptr, nullptr},
    {"/bin/cert_req.pem", 4, 0x03, nullptr, nullptr},
    {"/bin/cert_self.pem", 4, 0x03, nullptr, nullptr},
    {"/bin/cert_forg.pem", 4, 0x03, nullptr, nullptr},
    {"/info/index.html", 4, 0x02, nullptr, nullptr},
    {"/info/threads", 4, 0x03, nullptr, nullptr},
    {"/info/filter", 4, 0x03, nullptr, nullptr},
    {"/info/usb", 4, 0x03, nullptr, nullptr},
    {"/info/dir", 4, 0x03, nullptr, nullptr},
    {"/info/file", 4, 0x03, nullptr, nullptr},
    {"/info/net", 4, 0x03, nullptr, nullptr},
    {"/info/dev", 4, 0x03, nullptr, nullptr},
    {"/info/cleancerts", 4, 0x03, nullptr, nullptr},
    {"/info/wlan", 4, 0x03, nullptr, nullptr},
    {"/info/wload", 4, 0x02, nullptr, nullptr},
    {"/info/workload.html", 4, 0x02, nullptr, nullptr},
    {"/bin/workload.bmp", 0, 0x01, nullptr, nullptr},
    {"/info/wloadstate.html", 4, 0x01, nullptr, nullptr},
};

std::mutex rootMutex;
std::string &rootOverride() {
    static std::string *dir = new std::string();
    return *dir;
}

bool sessionsOn() {
    return p_sessKeys->isOn();
}

bool anyPassword() {
    return p_admin_pwd->hasValue() || p_usbMg_pwd->hasValue() || p_any_pwd->hasValue();
}

// The session key the request's cookie presents, or null.
const char *cookieKey(const HttpConnection &c, std::string &scratch) {
    if (!c.haveCookie) return nullptr;
    // The cookie named exactly "SessKey": another cookie whose name ends in it, or a
    // value that contains it, is not the session's.
    const std::string &text = c.cookie;
    for (size_t at = text.find("SessKey="); at != std::string::npos; at = text.find("SessKey=", at + 1)) {
        size_t before = at;
        while (before > 0 && (text[before - 1] == ' ' || text[before - 1] == '\t'))
            before--;
        if (before != 0 && text[before - 1] != ';') continue;
        size_t end = text.find(';', at);
        scratch = text.substr(at + 8, end == std::string::npos ? std::string::npos : end - at - 8);
        return scratch.c_str();
    }
    return nullptr;
}

bool patternMatch(const char *pattern, const char *url, int *n) {
    const char *p = pattern, *u = url;
    for (;;) {
        if (*p == '\0' || *u == '\0') return *p == '\0' && *u == '\0';
        if (*p != *u) return false;
        p++;
        u++;
        if (*p == 'N' && *u) {
            long value = 0;
            while (std::isdigit(static_cast<unsigned char>(*u)) && value < 100000000)
                value = value * 10 + (*u++ - '0');
            while (std::isdigit(static_cast<unsigned char>(*u)))
                u++;
            if (n) *n = static_cast<int>(value);
            p++;
        }
    }
}

bool isDirectory(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

const char *const extensions[] = {"html", "htm", "mlc", "php", "cgi"};

// The language of a request: the code of the URL or of the parameter "language".
void chooseLanguage(HttpConnection &c) {
    char code[8] = "";
    const char *locale = "";
    P3List *language = p_language;
    int current = language->current();
    int count = language->optionCount();
    if (c.lang[0]) {
        for (int i = 0; i < count; i++) {
            if (std::strcmp(language->options()[i].keyword, c.lang) == 0) {
                locale = language->options()[i].code;
                break;
            }
        }
        std::snprintf(code, sizeof code, "%s", c.lang);
    } else if (current >= 0 && current < count) {
        std::snprintf(code, sizeof code, "%s", language->options()[current].keyword);
        locale = language->options()[current].code;
    }
    // The catalogue of the thread's last request is kept: most requests ask for it again.
    thread_local std::string lastCode, lastLocale;
    thread_local const MessageCatalogue *lastCatalogue = nullptr;
    if (lastCode != code || lastLocale != locale) {
        lastCatalogue = code[0] ? catalogueFor(code, locale) : nullptr;
        lastCode = code;
        lastLocale = locale;
    }
    setThreadLanguage(lastCatalogue);
}

} // namespace

PageEntry *pageTable() {
    return rows;
}

bool registerPageHandler(const char *url, PageHandler handler) {
    for (PageEntry &e : rows) {
        if (std::strcmp(e.url, url) == 0) {
            // A second handler for a page would silently replace the first, by link order.
            if (e.handler != nullptr) {
                std::printf("web: page %s has a handler already\n", url);
                return false;
            }
            e.handler = handler;
            return true;
        }
    }
    std::printf("web: no page %s in the page table\n", url ? url : "(null)");
    return false;
}

const std::string &templateRoot() {
    std::lock_guard<std::mutex> g(rootMutex);
    std::string &dir = rootOverride();
    if (dir.empty()) dir = sysPath("/romfs/templates");
    return dir;
}

void setTemplateRoot(const std::string &dir) {
    std::lock_guard<std::mutex> g(rootMutex);
    rootOverride() = dir;
}

// ---------------------------------------------------------------- page manager

PageManager::PageManager(PageEntry *table, int count) : table_(table), count_(count) {
    for (int i = 0; i < count_; i++) {
        const char *slash = std::strrchr(table_[i].url, '/');
        table_[i].fileName = slash ? slash + 1 : table_[i].url;
    }
}

PageManager::~PageManager() {
    count_ = -1;
}

const char *PageManager::productName() {
    return productParams().productName;
}

const PageEntry *PageManager::entry(int index) const {
    return index >= 0 && index < count_ ? &table_[index] : nullptr;
}

int PageManager::lookup(const char *url, int *n) const {
    if (n) *n = -1;
    if (count_ <= 0 || url == nullptr) return -1;
    for (int i = 0; i < count_; i++) {
        const PageEntry &e = table_[i];
        if (e.flags & PageNumbered) {
            int value = 0;
            if (patternMatch(e.url, url, &value)) {
                if (n) *n = value;
                return i;
            }
        } else if (std::strcmp(e.url, url) == 0) {
            return i;
        }
    }
    size_t len = std::strlen(url);
    if (len >= 6 && std::strcmp(url + len - 5, ".html") == 0) return -1;
    return 0;
}

bool PageManager::isStaticFile(int index) const {
    const PageEntry *e = entry(index);
    return e && (e->flags & PageStatic);
}

bool PageManager::isScriptPage(int index) const {
    const PageEntry *e = entry(index);
    return e && (e->flags & PageScript);
}

int PageManager::callHandler(int index, HttpConnection &c) const {
    const PageEntry *e = entry(index);
    if (e == nullptr) return 0;
    if (e->handler == nullptr) return PageTemplate;
    return e->handler(c, *e);
}

int PageManager::paramValue(const char *name) {
    if (name == nullptr) return 1;
    size_t len = std::strlen(name);
    if (len > 1 && name[len - 1] == '_') return ptable().maxIndex(name, static_cast<int>(len));
    Param *p = ptable().find(name);
    if (p == nullptr) return 0;
    auto *ip = dynamic_cast<IntParam *>(p);
    if (ip) return ip->value();
    auto *list = dynamic_cast<P3List *>(p);
    if (list) return list->current() == P3List::None ? 0 : list->current();
    return p->isOn() ? 1 : 0;
}

int PageManager::paramText(const char *name, int index, char *buffer, int size) {
    if (name == nullptr || buffer == nullptr || size <= 0) return -1;
    size_t len = std::strlen(name);
    Param *p;
    if (len > 2 && name[len - 1] == '_' && index >= 0)
        p = ptable().find(name, static_cast<int>(len), index);
    else
        p = ptable().find(name);
    if (p == nullptr) return -1;
    if (index >= 0 && !(len > 2 && name[len - 1] == '_'))
        return p->getText(index, buffer, static_cast<size_t>(size));
    return p->toText(buffer, static_cast<size_t>(size), true);
}

// ---------------------------------------------------------------- URL handling

bool decodeUrl(char *text, std::string &query) {
    char *out = text;
    for (char *p = text; *p; p++) {
        if (*p == '?') {
            query = p + 1;
            break;
        }
        if (*p == '#') {
            char *q = std::strchr(p, '?');
            if (q) query = q + 1;
            break;
        }
        if (*p == '+') {
            *out++ = ' ';
        } else if (*p == '%') {
            if (!std::isxdigit(static_cast<unsigned char>(p[1])) ||
                !std::isxdigit(static_cast<unsigned char>(p[2])))
                return false;
            auto digit = [](char h) {
                return std::isdigit(static_cast<unsigned char>(h))
                           ? h - '0'
                           : std::toupper(static_cast<unsigned char>(h)) - 'A' + 10;
            };
            int v = digit(p[1]) * 16 + digit(p[2]);
            // A decoded zero byte would end the path early: refused.
            if (v == 0) return false;
            *out++ = static_cast<char>(v);
            p += 2;
        } else {
            *out++ = *p;
        }
    }
    *out = '\0';
    return true;
}

void normalisePath(char *path, char *lang) {
    // 1. No "//", "/./" or "/../" (a ".." is dropped, it never climbs).
    char *out = path;
    const char *p = path;
    while (*p) {
        if (*p == '/') {
            *out++ = '/';
            p++;
            for (;;) {
                if (*p == '/') {
                    p++;
                } else if (p[0] == '.' && (p[1] == '/' || p[1] == '\0')) {
                    p += p[1] ? 2 : 1;
                } else if (p[0] == '.' && p[1] == '.' && (p[2] == '/' || p[2] == '\0')) {
                    p += p[2] ? 3 : 2;
                } else {
                    break;
                }
            }
        } else {
            *out++ = *p++;
        }
    }
    *out = '\0';
    // 2. "_xx" before the end or a '.': the language code.
    lang[0] = '\0';
    for (char *u = path; *u; u++) {
        if (u[0] == '_' && std::isalpha(static_cast<unsigned char>(u[1])) &&
            std::isalpha(static_cast<unsigned char>(u[2])) && (u[3] == '\0' || u[3] == '.')) {
            lang[0] = u[1];
            lang[1] = u[2];
            lang[2] = '\0';
            std::memmove(u, u + 3, std::strlen(u + 3) + 1);
            break;
        }
    }
    // 3. Blanks become '_'.
    for (char *u = path; *u; u++)
        if (*u == ' ') *u = '_';
    // 4. The help pages carry their language in their name.
    if (!lang[0] && std::strlen(path) > 15 && std::strncmp(path, "/help/help", 10) == 0) {
        lang[0] = path[10];
        lang[1] = path[11];
        lang[2] = '\0';
    }
    // Only letters make a language code.
    if (!std::isalpha(static_cast<unsigned char>(lang[0])) ||
        !std::isalpha(static_cast<unsigned char>(lang[1])))
        lang[0] = '\0';
}

int findTemplate(HttpConnection &c, const char *urlIn) {
    const char *url = urlIn ? urlIn : c.path;
    int n = -1;
    c.pageIndex = pageManager ? pageManager->lookup(url, &n) : -1;
    c.pageN = n;
    if (c.pageIndex > 0) {
        c.templatePath = templateRoot() + pageManager->entry(c.pageIndex)->url;
        return c.pageIndex;
    }
    std::string path = templateRoot() + url;
    if (path.size() > templateRoot().size() + HttpUrlMax) return -1;
    bool found = false;
    struct stat st;
    bool present = ::stat(path.c_str(), &st) == 0;
    if (present && S_ISDIR(st.st_mode)) {
        if (path.back() != '/') path += '/';
        for (const char *ext : extensions) {
            std::string candidate = path + "index." + ext;
            if (exists(candidate)) {
                path = candidate;
                found = true;
                break;
            }
        }
    } else if (present) {
        found = true;
    } else {
        size_t dot = path.rfind('.');
        size_t slash = path.rfind('/');
        if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
            for (const char *ext : extensions) {
                std::string candidate = path.substr(0, dot + 1) + ext;
                if (exists(candidate) && !isDirectory(candidate)) {
                    path = candidate;
                    found = true;
                    break;
                }
            }
        }
    }
    if (!found) {
        c.templatePath.clear();
        return -1;
    }
    std::string below = path.substr(templateRoot().size());
    c.pageIndex = pageManager ? pageManager->lookup(below.c_str(), &n) : -1;
    c.pageN = n;
    c.templatePath = path;
    return c.pageIndex;
}

// ---------------------------------------------------------------- access

bool PageManager::checkAccess(int index, HttpConnection &c) {
    const PageEntry *e = entry(index);
    if (e == nullptr) return false;
    if (!sessionsOn()) {
        c.setVarEscaped("SessUsr", paramString(p_admin_name).c_str());
        c.setVar("SessAdm", "1");
        c.userLevel = 4;
        return true;
    }
    if (e->level == 0) return true;
    if (!anyPassword()) {
        c.userLevel = 4;
        return true;
    }
    std::string scratch;
    const char *key = cookieKey(c, scratch);
    if (key == nullptr) {
        if (e->level == 1) return true;
        c.setVar("ErrMsg", getmuText("Illegal request.You are not logged in."));
        return false;
    }
    int slot = sessionStore().find(key, (e->flags & PageRefresh) != 0);
    if (e->level == 1 && slot < 0) return true;
    HttpSession s = sessionStore().slot(slot);
    if (e->level >= 2) {
        if (slot == -1) {
            c.setVar("ErrMsg", getmuText("Invalid session key"));
            return false;
        }
        if (slot == -2) {
            c.setVar("ErrMsg", getmuText("Session key timed out"));
            return false;
        }
        int level = s.inUse() ? s.level : 0;
        c.userLevel = level;
        if (level < e->level || (slot == HttpSessionStore::Special && e->level != 5)) {
            c.setVar("ErrMsg", getmuText("Insufficient rights"));
            return false;
        }
    }
    c.setVar("SessKey", s.inUse() ? s.key : "Illegal index");
    c.setVarEscaped("SessUsr", s.inUse() ? s.user : "Illegal index");
    c.setVar("SessAdm", s.level == 4 ? "1" : "0");
    c.userLevel = s.inUse() ? s.level : 0;
    c.sessionSlot = slot;
    if (slot == HttpSessionStore::Special) c.setVar("SessGod", "1");
    return true;
}

int HttpConnection::renderLevel() {
    if (!sessionsOn() || !anyPassword()) return 4;
    return userLevel;
}

void HttpConnection::applyLanguage() {
    chooseLanguage(*this);
}

// Whether the visitor may change the stored language: an administrator, or anyone
// where no login is asked for.
static bool visitorIsAdministrator(HttpConnection &c) {
    if (!sessionsOn() || !anyPassword()) return true;
    std::string scratch;
    const char *key = cookieKey(c, scratch);
    if (key == nullptr) return false;
    int slot = sessionStore().find(key, false);
    if (slot < 0 || slot == HttpSessionStore::Special) return false;
    return sessionStore().slot(slot).level >= 4;
}

void setStandardVariables(HttpConnection &c) {
    const PageEntry *e = pageManager ? pageManager->entry(c.pageIndex) : nullptr;
    const char *url = e ? e->url : "";
    const char *slash = std::strrchr(url, '/');
    std::string dir = slash ? std::string(url, static_cast<size_t>(slash - url)) : std::string();
    if (dir.size() < 3) dir.clear();
    if (!dir.empty() && dir[0] == '/') dir.erase(0, 1);
    c.setVar("SubDir", dir.c_str());
    c.setVar("FileName", e && e->fileName ? e->fileName : "");
    c.setVarEscaped("Host", c.haveHost ? c.host.c_str() : "");
    c.setVarf("HttpPort", "%d", httpPort);
    c.setVarf("HttpsPort", "%d", httpsPort);
    unsigned product = productParams().productId;
    c.setVarEscaped("ProductPNG", product == 297 || product == 298 || product == 302
                                      ? "Quorvanite"
                                      : productParams().productName);
    if (wifiAdapterFound.load()) c.setVar("HaveWifi", "1");
    if (moniEnabled(MoniAcc) && c.tcp) {
        mprintf(MoniAcc, "request", 2079, "%s is visiting page %s (%s).", c.tcp->peer.toText(), url,
                c.isTls() ? "(SSL/TLS)" : "");
    }
    if (p_protection_test->equals("test"))
        c.setVar("HeadInfo", getmuText("Port access control: test mode active until device restart."));
    if (moniLogHooks().fanFailCount && moniLogHooks().fanFailCount() > 2)
        c.setVar("HeadInfo", getmuText("Warning: fan seems not operabel, please contact KVX support!"));
    const char *version = SoftwareVersionText;
    if (std::strstr(version, "-dev") || std::strstr(version, "-rc")) c.setVar("SWVerComment", version);
}

// Decides everything that comes before the page's handler: a refused request is
// answered here (the state is then past the header). True when the handler may run.
static bool prepareAnswer(HttpConnection &c) {
    if (pageManager == nullptr || c.pageIndex < 0) {
        c.writeError(404);
        c.state = DONE;
        return false;
    }
    if (!p_http_allowed->isOn() && !c.isTls() &&
        (::access(sysPath("/etc/certs/cert_pkey.pem").c_str(), F_OK) == 0 ||
         ::access(sysPath("/etc/certs/cert_fsrv.pem").c_str(), F_OK) == 0)) {
        c.mode = ModeClose;
        continueAfterHandler(c, HttpPages::redirectToHttps(c, true));
        return false;
    }
    if (!pageManager->isStaticFile(c.pageIndex)) setStandardVariables(c);
    if (!pageManager->checkAccess(c.pageIndex, c)) {
        const char *url = pageManager->entry(c.pageIndex)->url;
        if (moniEnabled(MoniAcc))
            mprintf(MoniAcc, "request", 2172, "Access denied: User is not authorized to view page %s.", url);
        c.accessDenied = true;
        c.redirectToPage(c.userLevel > 2 ? "/start.html" : "/index.html");
        c.state = DONE;
        return false;
    }
    return true;
}

bool routeRequest(HttpConnection &c) {
    if (!c.requestLineSeen) {
        c.writeError(500);
        c.state = DONE;
        return true;
    }
    std::snprintf(c.path, sizeof c.path, "%s", c.url);
    std::string query;
    if (!decodeUrl(c.path, query) || c.path[0] != '/') {
        c.writeError(400);
        c.state = DONE;
        return true;
    }
    if (!query.empty() || c.method != MethodPost) c.query = query;
    normalisePath(c.path, c.lang);
    // A code from the URL that differs from the stored one is stored, but only for an
    // administrator: a visitor's choice is his own.
    if (c.lang[0]) {
        int current = p_language->current();
        const char *stored =
            current >= 0 && current < p_language->optionCount() ? p_language->options()[current].keyword : "";
        if (std::strcmp(stored, c.lang) != 0 && p_language->find(c.lang, 2) >= 0 &&
            visitorIsAdministrator(c)) {
            if (p_language->setFromText(c.lang, 2)) {
                Ptable &table = ptable();
                table.saveIfChanged();
            }
        }
    } else {
        int current = p_language->current();
        if (current >= 0 && current < p_language->optionCount())
            std::snprintf(c.lang, sizeof c.lang, "%s", p_language->options()[current].keyword);
    }
    c.applyLanguage();
    findTemplate(c);
    if (c.haveAuthorization) {
        char decoded[512];
        size_t n =
            base64Decode(c.authorization.c_str(), reinterpret_cast<uint8_t *>(decoded), sizeof decoded);
        if (n > 0) c.credentials.assign(decoded, n);
    }
    if (!prepareAnswer(c)) {
        // A body that will not be read ends the connection.
        if (c.method == MethodPost) c.mode = ModeClose;
        return true;
    }
    if (c.method != MethodPost) dispatchPage(c);
    return true;
}

void dispatchPage(HttpConnection &c) {
    if (pageManager == nullptr || c.pageIndex < 0) {
        c.writeError(404);
        c.state = DONE;
        return;
    }
    continueAfterHandler(c, pageManager->callHandler(c.pageIndex, c));
}

// ---------------------------------------------------------------- the login page

static int loginPage(HttpConnection &c, const PageEntry &) {
    if (!sessionsOn()) {
        if (moniEnabled(MoniAcc)) mprintf(MoniAcc, "custom", 423, "free access");
        return c.redirectToPage("/start.html");
    }
    const char *action = c.formValue("action");
    if (action == nullptr || std::strcmp(action, "set") != 0) {
        c.setVar("Che", "1");
        return PageTemplate;
    }
    const char *nameIn = c.formValue("name");
    const char *pwdIn = c.formValue("pwd");
    std::string name = nameIn ? nameIn : "";
    std::string pwd = pwdIn ? pwdIn : "";
    std::string safeName = name.substr(0, 64);
    struct Role {
        StringParam *name, *pwd;
        int level;
        const char *che;
        const char *failLine;
        int line;
    } roles[] = {
        {p_admin_name, p_admin_pwd, 4, "1", "Failed login: incorrect password for administrator %s.", 371},
        {p_usbMg_name, p_usbMg_pwd, 3, "2", "Failed login: incorrect password for USB Manager %s.", 384},
        {p_any_name, p_any_pwd, 2, "3", "Failed login: incorrect password for user %s.", 398},
    };
    for (const Role &r : roles) {
        if (nameIn == nullptr || name != paramString(r.name)) continue;
        std::string stored = paramString(r.pwd);
        if (pwdIn == nullptr || stored.empty() || pwd != stored) {
            c.setVar(
                "ErrMsg",
                getmuText("The password is incorrect. Check your user name, then type your password again."));
            c.setVar("Che", r.che);
            if (moniEnabled(MoniAcc)) mprintf(MoniAcc, "custom", r.line, r.failLine, safeName.c_str());
            return PageTemplate;
        }
        int slot = sessionStore().allocate(r.level, name.c_str(), r.level);
        if (slot < 0) {
            c.setVar("ErrMsg",
                     getmuText("The maximum number of users has been reached. Please try again later."));
            if (moniEnabled(MoniErr | MoniAcc))
                mprintf(MoniErr | MoniAcc, "custom", 416, "Access denied for \"%s\", user limit reached",
                        safeName.c_str());
            return PageTemplate;
        }
        HttpSession s = sessionStore().slot(slot);
        char cookie[128];
        std::snprintf(cookie, sizeof cookie, "Set-Cookie: %s=%s; PATH=/; HttpOnly; SameSite=Strict%s",
                      "SessKey", s.inUse() ? s.key : "Illegal index", c.isTls() ? "; Secure" : "");
        if (moniEnabled(MoniAcc))
            mprintf(MoniAcc, "custom", 420, "Access granted for \"%s\"", safeName.c_str());
        return c.redirectToPage("/start.html", cookie);
    }
    c.setVar("ErrMsg", getmuText("The user name is incorrect. Type your user name and password again."));
    if (moniEnabled(MoniErr | MoniAcc))
        mprintf(MoniErr | MoniAcc, "custom", 404, "Failed login: user %s does not exist.", safeName.c_str());
    return PageTemplate;
}
WEB_PAGE("/index.html", loginPage);
