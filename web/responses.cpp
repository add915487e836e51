// Response headers, the redirect and the fixed answer pages, composed in the
// connection's output buffer.

#include "web/http.h"

#include "web/webtext.h"

#include <cctype>
#include <cstring>
#include <ctime>

namespace {

struct TypeRow {
    const char *ext;
    const char *type;
};
const TypeRow contentTypes[] = {
    {"JPG", "image/jpeg"},
    {"JPEG", "image/jpeg"},
    {"JPE", "image/jpeg"},
    {"GIF", "image/gif"},
    {"PNG", "image/png"},
    {"CSS", "text/css"},
    {"TXT", "text/plain"},
    {"TEXT", "text/plain"},
    {"BIN", "application/octet-stream"},
    {"ZIP", "application/zip"},
    {"GZ", "application/zip"},
    {"PHP", "application/x-httpd-php"},
    {"CGI", "application/x-httpd-cgi"},
    {"JS", "application/x-javascript"},
    {"SVG", "image/svg+xml"},
    {"ICO", "image/x-icon"},
};

const char *const weekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct ErrorPage {
    int status;
    const char *line;
    const char *title;
    const char *text; // before the URL for 404
};
const ErrorPage errorPages[] = {
    {400, "HTTP/1.1 400 Bad Request\r\n", "400 Bad Request",
     "Your client has issued a malformed or illegal request.\n"},
    {404, "HTTP/1.1 404 Not Found\r\n", "404 Not Found", nullptr},
    {500, "HTTP/1.1 500 Server Error\r\n", "500 Server Error",
     "The server encountered an internal error and could not complete your request.\n"},
    {501, "HTTP/1.1 501 Not Implemented\r\n", "501 Not Implemented",
     "POST to non-script is not supported.\n"},
};

} // namespace

int HttpConnection::formatHttpDate(time_t t, char *out) {
    if (t == 0) t = std::time(nullptr);
    struct tm tm;
    if (gmtime_r(&t, &tm) == nullptr || tm.tm_year + 1900 > 9999 || tm.tm_year + 1900 < 0) {
        out[0] = '\0';
        return 0;
    }
    return std::snprintf(out, 30, "%s, %02d %s %04d %02d:%02d:%02d GMT", weekdays[tm.tm_wday % 7], tm.tm_mday,
                         months[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

const char *HttpConnection::typeByExtension() const {
    const char *dot = std::strrchr(path[0] ? path : url, '.');
    if (dot == nullptr || std::strchr(dot, '/')) return "text/html";
    char ext[12];
    size_t n = 0;
    for (const char *p = dot + 1; *p && n < sizeof ext - 1; p++)
        ext[n++] = *p == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    ext[n] = '\0';
    for (const TypeRow &row : contentTypes)
        if (std::strcmp(row.ext, ext) == 0) return row.type;
    return "text/html";
}

void HttpConnection::writeContentType() {
    put("Content-Type: ");
    if (typeOverride) {
        put(typeOverride);
        if (!downloadName.empty()) {
            // The file name is stripped of what would end the line or the parameter.
            std::string name;
            for (char ch : downloadName)
                if (ch != '"' && ch != '\r' && ch != '\n' && ch != ';') name += ch;
            put("\r\nContent-disposition: attachment; filename=");
            put(name.c_str());
            downloadName.clear();
        }
    } else {
        put(typeByExtension());
    }
    put("; charset=UTF-8\r\n");
}

void HttpConnection::writeContentLength(int64_t n) {
    putf("Content-Length: %lld\r\n", static_cast<long long>(n));
}

void HttpConnection::writeLastModified() {
    char date[32];
    formatHttpDate(modified, date);
    putf("Last-Modified: %s\r\n", date);
}

void HttpConnection::writeConnection() {
    if (budget <= 0 || mode != ModeKeepAlive || status >= 500)
        put("Connection: close\r\n");
    else
        putf("Connection: Keep-Alive\r\nKeep-Alive: timeout=%d, max=%d\r\n", 5, budget);
}

void HttpConnection::writeCommonHeaders() {
    char date[32];
    formatHttpDate(0, date);
    putf("Date: %s\r\nServer: KVX HTTP Server\r\n", date);
    writeConnection();
    put("Accept-Charset: UTF-8\r\n");
}

void HttpConnection::writeOkHeader(const char *text) {
    status = 200;
    if (simple) return;
    put("HTTP/1.1 200 OK\r\n");
    writeCommonHeaders();
    if (text)
        writeContentLength(static_cast<int64_t>(std::strlen(text)) + 4);
    else if (contentLength != 0)
        writeContentLength(contentLength);
    else if (answerLength != 0)
        writeContentLength(answerLength);
    writeLastModified();
    writeContentType();
    if (!extraHeader.empty()) {
        put(extraHeader.c_str());
        put("\r\n");
    }
    put("\r\n");
    if (text) {
        put(text);
        put("\r\n\r\n");
    }
}

void HttpConnection::writePageHeader() {
    put("HTTP/1.1 200 OK\r\n");
    writeCommonHeaders();
    put("Cache-Control: no-cache\r\n");
    put("X-Frame-Options: deny\r\n");
    if (pageFill != 0) writeContentLength(pageFill);
    modified = std::time(nullptr);
    writeLastModified();
    writeContentType();
    if (!extraHeader.empty()) {
        put(extraHeader.c_str());
        put("\r\n");
    }
    put("Pragma: No-cache\r\n");
    put("\r\n");
}

int HttpConnection::redirectToPage(const char *pageUrl, const char *extra) {
    const char *p = pageUrl && *pageUrl == '/' ? pageUrl + 1 : (pageUrl ? pageUrl : "");
    const char *dot = std::strrchr(p, '.');
    std::string location = "/";
    location.append(p, dot ? static_cast<size_t>(dot - p) : std::strlen(p));
    if (lang[0]) {
        location += "_";
        location += lang;
    }
    if (dot) location += dot;
    if (location.size() > 126) location.resize(126);
    writeRedirect(location.c_str(), extra);
    return PageAnswered;
}

void HttpConnection::writeRedirect(const char *location, const char *extra) {
    status = 302;
    mode = ModeClose;
    // The location and the extra header come from this program, but a location built
    // from a request must not be able to end the header.
    std::string loc;
    for (const char *p = location ? location : "/"; *p; p++)
        if (*p != '\r' && *p != '\n') loc += *p;
    if (!simple) {
        put("HTTP/1.1 302 Moved Temporarily\r\n");
        writeCommonHeaders();
        put("Content-Type: text/html; charset=UTF-8\r\n");
        put("Location: ");
        put(loc.c_str());
        if (extra && *extra) {
            put("\r\n");
            put(extra);
        }
        put("\r\n\r\n");
    }
    if (method != MethodHead) {
        put("<HTML><HEAD><TITLE>302 Moved Temporarily</TITLE></HEAD>\n<BODY>\n<H1>302 Moved</H1>The document "
            "has moved\n<A HREF=\"");
        put(htmlEscaped(loc.c_str()).c_str());
        put("\">here</A>.\n</BODY></HTML>\n");
    }
    flush();
}

void HttpConnection::writeError(int code) {
    const ErrorPage *e = nullptr;
    for (const ErrorPage &row : errorPages)
        if (row.status == code) e = &row;
    if (e == nullptr) e = &errorPages[2];
    status = e->status;
    mode = ModeClose;
    if (!simple) {
        put(e->line);
        writeCommonHeaders();
        put("Content-Type: text/html; charset=UTF-8\r\n\r\n");
    }
    if (method != MethodHead) {
        putf("<HTML><HEAD><TITLE>%s</TITLE></HEAD>\n<BODY><H1>%s</H1>\n", e->title, e->title);
        if (e->text) {
            put(e->text);
        } else {
            // The URL is quoted up to its first '<' or '?', and escaped.
            const char *shown = path[0] ? path : url;
            std::string quoted(shown, std::strcspn(shown, "<?"));
            put("The requested URL ");
            put(htmlEscaped(quoted.c_str()).c_str());
            put(" was not found on this server.\n");
        }
        put("</BODY></HTML>\n");
    }
    flush();
}
