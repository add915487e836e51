// The web server: the listener task "HTTPD", which owns the HTTP and HTTPS listening
// sockets of the main interface and of the management IP VLANs, and one connection task
// per TCP connection ("HTTP_1", and "HTTP_2" for each further request on a kept-alive
// connection). A connection reads one request, routes it through the page table
// (web/pages.h), and answers with a rendered template, a file as it is, or the output of
// a page streamer (web/htmlstrm.h).
#pragma once

#include "core/task.h"
#include "core/tcp.h"

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

class NetInterface;
struct PageEntry;
class HttpPages;

// The states of a connection (their values are those the statistics pages show).
enum HttpState : int {
    READ_HEADER = 0,
    ONE_CR = 1,
    ONE_LF = 2,
    TWO_CR = 3,
    NO_MP = 4,   // header sub-state: the request's own header
    SKIP_MP = 5, // header sub-state: skipping to the multipart boundary line
    BODY_READ = 6,
    BODY_WRITE = 7,
    ZIPCO_READ = 8,
    FILE_READ = 9,
    PIPE_READ = 10,
    PIPE_READRAW = 11,
    FILE_WRITE = 12,
    FILE_DONE = 13,
    BUFFER_READ = 14,
    BUFFER_WRITE = 15,
    DONE = 16,
    DEAD = 17,
};

// Request methods.
enum : int { MethodGet = 1, MethodHead = 2, MethodPost = 4 };
// Connection modes.
enum : int { ModeUndecided = 0, ModeClose = 1, ModeKeepAlive = 2 };

constexpr int HttpBufferSize = 8192;
constexpr int HttpUrlMax = 2048;
constexpr int KeepAliveBudget = 15;
// The largest multipart upload that is kept in a file.
constexpr int64_t UploadLimit = 10240000;
// Time limits (ticks of 10 ms): a kept-alive connection waiting for its next request
// (the time the Keep-Alive header announces), a request whose header is not complete,
// and a body that does not move on.
constexpr int64_t KeepAliveIdleTicks = 500;
constexpr int64_t HeaderTicks = 2000;
constexpr int64_t BodyIdleTicks = 2000;
// A form or chunked body (at most the input buffer) must be complete this long after
// the request's header: a client that trickles it in never holds a connection longer.
constexpr int64_t FormBodyTicks = 2000;
// Connection tasks that may exist at once; the listener turns further clients away.
constexpr int MaxConnections = 32;
// Clients the listener accepts from one listening socket per wake-up at most.
constexpr int AcceptBurst = 64;

// What a page handler returns: PageServerError (0 or below) answers "500 Server Error",
// PageTemplate renders the page's own template; any other value carries the next state
// in its low 8 bits and, shifted right by 8, a descriptor for the content (a pipe of a
// page streamer with PIPE_READ, a template text with BUFFER_READ). PageAnswered means
// the handler has written the whole answer itself (a redirect).
constexpr int PageServerError = 0;
constexpr int PageTemplate = 1;
constexpr int PageAnswered = DONE;

// Process-wide statistics of the web server (shown by the device information page).
struct WebStats {
    std::atomic<int> connections{0};
    std::atomic<int> maxConnections{0};
    std::atomic<int> maxPage{0}, maxPageBuffer{0}, maxPageLeft{0}, maxPageIndex{-1};
    std::atomic<int> minLeft{0x7fffffff}, minLeftBuffer{0}, minLeftPage{0}, minLeftIndex{-1};
    std::atomic<int> maxStoreCapacity{0};
    std::atomic<int> maxStoreUse{0}, maxStoreIndex{-1};
};
extern WebStats webStats;

// One decoded form field.
struct FormField {
    const char *name;
    const char *value;
};

// The state of one request on a connection; a kept-alive connection starts the next
// request from a fresh one.
struct HttpRequest {
    int64_t requestStart = 0;

    // input
    int fill = 0;
    int parsePos = 0;
    int lineStart = 0;
    int headerEnd = 0; // offset of the first byte after the request header

    // request
    int method = MethodGet;
    bool simple = false;
    char version[12] = "HTTP/0.9";
    bool requestLineSeen = false;
    std::string query; // the raw form data (query string or body)
    bool formParsed = false;
    std::vector<char> formStore;
    std::vector<FormField> fields;

    // header values (copies)
    std::string ifModifiedSince, contentType, transferEncoding, contentLengthText, authorization, cookie,
        host, referer, userAgent;
    bool haveContentType = false, haveTransferEncoding = false, haveContentLength = false,
         haveAuthorization = false, haveCookie = false, haveHost = false, haveIfModified = false;
    bool chunked = false;
    std::string credentials; // decoded Basic credentials

    // answer control
    int mode = ModeUndecided;
    int status = 500;
    const char *typeOverride = nullptr;
    std::string downloadName;
    int64_t answerLength = 0;
    std::string extraHeader;
    time_t modified = 0;

    // routing
    int pageIndex = -1;
    int pageN = -1;
    std::string templatePath;
    char lang[3] = "";
    int userLevel = -1;
    int sessionSlot = -1;
    std::string refreshTarget;
    int refreshDelay = 10;
    bool accessDenied = false;

    // content
    int contentFd = -1;
    int uploadFd = -1;
    int64_t contentLength = 0;
    int64_t transferred = 0;
    int state = READ_HEADER;

    // output
    int outSent = 0;
    int outFill = 0;

    // rendered page
    std::vector<char> page;
    int pageSent = 0;
    int pageFill = 0;

    // template variables
    std::vector<char> store;
    int storeUsed = 0;

    // multipart upload
    std::string boundary;
    std::string uploadName;
    int subState = NO_MP;
    int preambleStart = 0;
    int64_t bodyTotal = 0;    // bytes of the body announced
    int64_t bodyConsumed = 0; // bytes of the body taken so far
    int64_t bodyDeadline = 0; // ticks by which a form or chunked body must be complete

    // The output window of the file and pipe states.
    int windowStart = 0;
    int windowEnd = 0;
};

class HttpConnection : public Task, public HttpRequest {
public:
    // A first connection ("HTTP_1") on an accepted socket; the connection is owned.
    explicit HttpConnection(TcpConnection *connection);
    ~HttpConnection() override;

    void run() override;
    [[noreturn]] void exit() override;

    // One step of the state machine; false when the connection is finished.
    bool step();

    // ---- output (web/http.cpp)
    // Appends to the output buffer (length < 0: the whole text); the new fill position,
    // or -1 (state DEAD) when it does not fit.
    int put(const char *text, int length = -1);
    int putf(const char *format, ...) __attribute__((format(printf, 2, 3)));
    // Sends the output buffer: 0 when all is sent, -2 when the connection is gone.
    int flush();
    // Sends the rendered page buffer.
    int sendPage();

    // ---- responses (web/responses.cpp)
    void writeContentType();
    void writeContentLength(int64_t n);
    void writeLastModified();
    void writeConnection();
    void writeCommonHeaders();
    void writeOkHeader(const char *text = nullptr);
    void writePageHeader();
    int redirectToPage(const char *page, const char *extraHeader = nullptr);
    void writeRedirect(const char *location, const char *extraHeader = nullptr);
    // The fixed answers 400, 404, 500 and 501.
    void writeError(int status);
    // The RFC 1123 date of t (0: now) into out (at least 30 bytes); its length, 0 when
    // the time cannot be converted.
    static int formatHttpDate(time_t t, char *out);
    // The content type of the request URL's extension.
    const char *typeByExtension() const;

    // ---- request (web/request.cpp)
    bool readHeader();
    bool parseRequestLine(char *line);
    bool parseHeaderLine(char *line);
    bool readBody();
    bool consumeBody();
    // The decoded value of a form field, null when the form has no such field.
    const char *formValue(const char *name);
    // Stores the fields that name parameters (a lower-case first letter) through the
    // parameters' text setters; how many a parameter accepted. With a prefix ("Port_")
    // the numbers after it in upper-case field names set bits of mask.
    int storeFormParams(const char *prefix = nullptr, uint32_t *mask = nullptr);
    const std::vector<FormField> &formFields();

    // ---- template variables (web/template.cpp)
    void setVar(const char *name, const char *value, int length = 0, bool lineFeeds = false);
    void setVarIndexed(const char *name, int index, const char *value);
    void setVarf(const char *name, const char *format, ...) __attribute__((format(printf, 3, 4)));
    void setVarIndexedf(const char *name, int index, const char *format, ...)
        __attribute__((format(printf, 4, 5)));
    // A variable whose value is HTML-escaped first (texts from outside).
    void setVarEscaped(const char *name, const char *value);
    void setNowVariable();
    int getVar(const char *name, int index, char *buffer, int size);
    int loopCount(const char *name);
    int metaAutoRefresh(char *buffer, int size);

    // ---- routing helpers (web/pages.cpp)
    bool isTls() const { return tcp != nullptr && tcp->tls != nullptr; }
    // The user level the page rendering assumes (4 without login).
    int renderLevel();
    // The language chosen for this request (setThreadLanguage).
    void applyLanguage();

    // Hands an accepted connection to a task that waits for one; false when none waits.
    static bool handOver(TcpConnection *client);

    // ---- connection
    TcpConnection *tcp = nullptr;
    int64_t connectionStart = 0;
    int budget = KeepAliveBudget; // requests still allowed on this connection after this one
    bool exiting = false;         // ended by a task message

    // The buffers live with the connection; a request starts by overwriting them.
    char in[HttpBufferSize];
    char out[HttpBufferSize];
    char url[HttpUrlMax + 1] = "";
    char path[HttpUrlMax + 1] = ""; // the URL as routed (decoded, normalised)

private:
    void init();
    // Whether the connection goes on with a next request, and the change to it.
    bool keepsAlive() const;
    void nextRequest();
    // Ends the connection and waits for the listener to hand over the next one; false
    // when none came (the task then ends).
    bool waitForConnection();
    void rename(const char *taskName);
    // While the task waits for a connection: the one the listener handed to it (under
    // the idle lock), and the descriptor through which the listener wakes it.
    TcpConnection *handedOver_ = nullptr;
    int wakeFd_ = -1;
    bool stepFile();
    bool stepPipe();
    bool stepWindow();
    bool stepRender();
    bool stepPageWrite();
    // Reads more input; false when the peer closed, an error or the time ran out.
    bool readMore(int64_t ticks);
    // Reads more of a form or chunked body: false when the peer closed, an error, the
    // body stalled or its deadline passed.
    bool readFormMore();
    bool startBody();
    bool readFormBody();
    bool readChunkedBody();
    void parseForm();
    // Lines of the multipart preamble and of a part's header.
    void multipartLine(char *line);
};

// The listener.
class Httpd : public Task {
public:
    Httpd(int httpPort, int httpsPort, int thirdPort, NetInterface *iface);
    ~Httpd() override;
    void run() override;
    uint32_t onMessage(const TaskMsg &msg) override;

    int httpPort, httpsPort, thirdPort;
    NetInterface *iface;

private:
    void openListeners();
    void closeListeners();
    static constexpr int Sets = 22;
    TcpConnection *listeners_[Sets][3] = {};
    int setCount_ = 1;
    std::atomic<bool> reopen_{false};
};

// Continues a connection after its page handler (the result codes above).
void continueAfterHandler(HttpConnection &c, int result);
