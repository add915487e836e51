// The page table, routing, the access check and the login page, and the page manager
// that owns the table.
//
// The table has a fixed row for every page of the appliance (URL, access level, flags).
// A page's handler is registered from the file that implements it:
//
//     static int statusPage(HttpConnection &c, const PageEntry &e) { ...; return PageTemplate; }
//     WEB_PAGE("/start.html", statusPage);
//
// A row without handler renders its template as it stands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class HttpConnection;
struct PageEntry;

using PageHandler = int (*)(HttpConnection &c, const PageEntry &entry);

// Page flags.
enum : uint32_t {
    PageStatic = 0x01,   // sent as it is, no standard variables
    PageRefresh = 0x02,  // a request refreshes the session's last use
    PageScript = 0x08,   // rendered in script mode
    PageNumbered = 0x10, // the URL holds an 'N' that matches a decimal number
};

struct PageEntry {
    const char *url;
    int level; // 0 free, 1 optional login, 2 user, 3 USB manager, 4 administrator, 5 special
    uint32_t flags;
    PageHandler handler;
    const char *fileName; // the part after the last '/'
};

constexpr int PageCount = 100;

// Registers the handler of the page with that URL; false (with a message) when the
// table has no such page or the page has a handler already. Called before main by WEB_PAGE.
bool registerPageHandler(const char *url, PageHandler handler);

struct PageRegistration {
    PageRegistration(const char *url, PageHandler handler) { registerPageHandler(url, handler); }
};
#define WEB_PAGE_CAT2(a, b) a##b
#define WEB_PAGE_CAT(a, b) WEB_PAGE_CAT2(a, b)
#define WEB_PAGE(url, handler)                                                                               \
    static const PageRegistration WEB_PAGE_CAT(webPageRegistration_, __LINE__)(url, handler)

// The hook through which the certificate store answers template variables that begin
// with "cert" ("certself_cn"...): the length written, or -1 when it has no such value.
extern int (*certVariableHook)(const char *name, char *buffer, int size);

class PageManager {
public:
    PageManager(PageEntry *table, int count);
    virtual ~PageManager();
    virtual const char *productName();
    virtual int query() { return 1; }
    virtual bool checkAccess(int index, HttpConnection &c);
    virtual int paramValue(const char *name);
    virtual int paramText(const char *name, int index, char *buffer, int size);

    // The entry of the URL (N receives the number of an 'N' page), 0 for a file that is
    // not a page, -1 for an unknown ".html" page.
    int lookup(const char *url, int *n) const;
    bool isStaticFile(int index) const;
    bool isScriptPage(int index) const;
    int callHandler(int index, HttpConnection &c) const;
    const PageEntry *entry(int index) const;
    int count() const { return count_; }

protected:
    PageEntry *table_;
    int count_;
};

// The page manager of the appliance (web/custom.cpp); it lives with the "HTTPD" task.
class HttpPages : public PageManager {
public:
    HttpPages();
    ~HttpPages() override;
    const char *productName() override;

    // The URL of the connection's page and the length of its directory part.
    static const char *currentDirectory(const HttpConnection &c, int *length);
    static void setRefreshToCurrent(HttpConnection &c);
    // The message page "/wait4.html" with "DisplayMsg" and "HowLong".
    static int showMessage(HttpConnection &c, const char *message);
    // The page that sends a plain-HTTP visitor to HTTPS.
    static int redirectToHttps(HttpConnection &c, bool flag);
};

extern HttpPages *pageManager;

// The page table itself (tests read it).
PageEntry *pageTable();

// The template directory: sysPath("/romfs/templates") unless set (tests).
const std::string &templateRoot();
void setTemplateRoot(const std::string &dir);

// Routing at the end of a request header; false ends the connection.
bool routeRequest(HttpConnection &c);
// The page of the URL (null: the request's) and its template path; the page index or -1.
int findTemplate(HttpConnection &c, const char *url = nullptr);
// Calls the page's handler and continues the connection with its result.
void dispatchPage(HttpConnection &c);
void setStandardVariables(HttpConnection &c);
void setCaCertVariables(HttpConnection &c);

// Decodes a URL in place ('+', '%xx'); the form data after '?' goes to query. False for
// a broken escape.
bool decodeUrl(char *url, std::string &query);
// Normalises a decoded path in place and takes the "_xx" language suffix into lang
// (3 bytes).
void normalisePath(char *path, char *lang);

// Answers the template of another page (its variables as the handler set them).
int show_page(HttpConnection &c, const char *url);
// The generic form handler.
int applyFormAction(HttpConnection &c);
// The maintenance action of "/maintenance/restart.cgi" (type: the shutdown type to set,
// -1 to leave it).
int restartAction(HttpConnection &c, int type);
