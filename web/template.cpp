// The template engine and the template variables of a connection.

#include "web/template.h"

#include "core/param.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "web/http.h"
#include "web/pages.h"
#include "web/webtext.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int ValueSize = 2048;
constexpr int MaxName = 254;
constexpr int MaxDepth = 24;
constexpr long MaxLoop = 100000;
constexpr long MaxWork = 1000000;
constexpr size_t MaxStore = 1 << 20;
constexpr const char *OverrunFormat = "\n<br>ERROR BUFFER OVERRUN?! (%d) <br>\n";

bool startsWith(const std::string &s, const char *prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// A number at the start of a text (decimal, optional sign); 0 when none.
long number(const char *text) {
    return std::strtol(text, nullptr, 10);
}

int copyOut(const char *text, char *buffer, int size) {
    if (buffer == nullptr || size <= 0) return 0;
    int n = static_cast<int>(std::strlen(text));
    if (n > size - 1) n = size - 1;
    std::memcpy(buffer, text, static_cast<size_t>(n));
    buffer[n] = '\0';
    return n;
}

// A parameter named in a template: a family name ending in '_' takes the index.
Param *templateParam(const char *name, int index) {
    size_t len = std::strlen(name);
    if (len > 2 && name[len - 1] == '_' && index >= 0)
        return ptable().find(name, static_cast<int>(len), index);
    return ptable().find(name);
}

} // namespace

// ---------------------------------------------------------------- variables

const char *findStoreValue(const char *store, int used, const char *name, int index) {
    if (store == nullptr || name == nullptr) return nullptr;
    size_t nameLen = std::strlen(name);
    int pos = 0;
    while (pos < used) {
        const char *recName = store + pos;
        size_t recNameLen = strnlen(recName, static_cast<size_t>(used - pos));
        if (pos + static_cast<int>(recNameLen) + 1 >= used + 1) break;
        const char *recValue = recName + recNameLen + 1;
        size_t recValueLen =
            strnlen(recValue, static_cast<size_t>(used - pos - static_cast<int>(recNameLen) - 1));
        if (recNameLen == 0) break;
        if (index >= 0) {
            if (recNameLen > nameLen && std::memcmp(recName, name, nameLen) == 0) {
                const char *digits = recName + nameLen;
                bool allDigits = std::isdigit(static_cast<unsigned char>(*digits));
                for (const char *d = digits; *d && allDigits; d++)
                    allDigits = std::isdigit(static_cast<unsigned char>(*d));
                if (allDigits && number(digits) == index) return recValue;
            }
        } else if (recNameLen == nameLen && std::memcmp(recName, name, nameLen) == 0) {
            return recValue;
        }
        pos += static_cast<int>(recNameLen + 1 + recValueLen + 1);
    }
    return nullptr;
}

void HttpConnection::setVar(const char *name, const char *value, int length, bool lineFeeds) {
    if (name == nullptr || value == nullptr || length < 0 || *name == '\0') return;
    size_t valueLen = length == 0 ? std::strlen(value) : strnlen(value, static_cast<size_t>(length));
    size_t nameLen = std::strlen(name);
    size_t feeds = 0;
    if (lineFeeds) feeds = static_cast<size_t>(std::count(value, value + valueLen, '\n'));
    size_t need = nameLen + valueLen + 2 + 4 * feeds;
    if (store.size() - static_cast<size_t>(storeUsed) < need) {
        size_t capacity = (static_cast<size_t>(storeUsed) + need + 1026) / 1024 * 1024;
        if (capacity > MaxStore) return;
        store.resize(capacity, '\0');
    }
    char *p = store.data() + storeUsed;
    std::memcpy(p, name, nameLen);
    p += nameLen;
    *p++ = '\0';
    for (size_t i = 0; i < valueLen; i++) {
        // A zero byte would end the value early; it is left out.
        if (value[i] == '\0') continue;
        if (lineFeeds && value[i] == '\n') {
            std::memcpy(p, "<br>", 4);
            p += 4;
        }
        *p++ = value[i];
    }
    *p++ = '\0';
    storeUsed = static_cast<int>(p - store.data());
    int capacity = static_cast<int>(store.size());
    if (capacity > webStats.maxStoreCapacity.load()) webStats.maxStoreCapacity = capacity;
    if (storeUsed > webStats.maxStoreUse.load()) {
        webStats.maxStoreUse = storeUsed;
        webStats.maxStoreIndex = pageIndex;
    }
}

void HttpConnection::setVarIndexed(const char *name, int index, const char *value) {
    char full[64];
    std::snprintf(full, sizeof full, "%s%d", name ? name : "", index);
    setVar(full, value);
}

void HttpConnection::setVarf(const char *name, const char *format, ...) {
    char value[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(value, sizeof value, format, args);
    va_end(args);
    setVar(name, value);
}

void HttpConnection::setVarIndexedf(const char *name, int index, const char *format, ...) {
    char value[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(value, sizeof value, format, args);
    va_end(args);
    setVarIndexed(name, index, value);
}

void HttpConnection::setVarEscaped(const char *name, const char *value) {
    setVar(name, htmlEscaped(value).c_str());
}

void HttpConnection::setNowVariable() {
    time_t now = std::time(nullptr);
    struct tm tm;
    if (localtime_r(&now, &tm) == nullptr) return;
    setVarf("Now", "%2.2d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
            tm.tm_hour, tm.tm_min, tm.tm_sec);
}

int HttpConnection::loopCount(const char *name) {
    std::string key = std::string(name ? name : "") + "#";
    const char *v = findStoreValue(store.data(), storeUsed, key.c_str(), -1);
    return v ? static_cast<int>(number(v)) : -1;
}

int HttpConnection::metaAutoRefresh(char *buffer, int size) {
    if (refreshTarget.empty()) return copyOut("", buffer, size);
    std::string target = refreshTarget[0] == '/' ? refreshTarget.substr(1) : refreshTarget;
    std::string suffix;
    for (const char *ext : {".html", ".cgi"}) {
        size_t n = std::strlen(ext);
        if (target.size() >= n && target.compare(target.size() - n, n, ext) == 0) {
            suffix = ext;
            target.resize(target.size() - n);
            break;
        }
    }
    int delay = refreshDelay;
    bool https;
    int port;
    if (delay < 0) {
        delay = -delay;
        https = true;
        port = 443;
    } else {
        https = isTls();
        port = tcp ? static_cast<int>(tcp->port) : 80;
    }
    std::string hostText;
    if (haveHost && !host.empty()) {
        hostText = host;
    } else if (tcp) {
        InetAddress local;
        if (tcp->localAddress(local)) hostText = local.toText(true);
    }
    std::string portText;
    if (!((https && port == 443) || (!https && port == 80))) portText = ":" + std::to_string(port);
    std::string text = "<meta http-equiv=\"refresh\" content=\"" + std::to_string(delay) + "; url=http" +
                       (https ? "s" : "") + "://" + htmlEscaped(hostText.c_str()) + portText + "/" +
                       htmlEscaped(target.c_str()) + (lang[0] ? std::string("_") + lang : "") + suffix +
                       "\"/>\n";
    return copyOut(text.c_str(), buffer, size);
}

int HttpConnection::getVar(const char *name, int index, char *buffer, int size) {
    if (name == nullptr) return -1;
    if (std::strcmp(name, "lang") == 0) return copyOut(lang, buffer, size);
    unsigned product = productParams().productId;
    if (std::strcmp(name, "RTC") == 0)
        return copyOut(product == 294 || product == 295 || product == 307 ? "y" : "", buffer, size);
    if (std::strcmp(name, "MyColor") == 0)
        return copyOut(product == 294 || product == 295 ? "orange" : "blue", buffer, size);
    if (std::strcmp(name, "MetaAutoRefresh") == 0 && size > 128) return metaAutoRefresh(buffer, size);
    bool chopro = std::strcmp(name, "ChoPro") == 0;
    if ((chopro || std::strcmp(name, "ChopProd") == 0) && size > 32) {
        if (product == 317) return copyOut("zqnserver", buffer, size);
        if (product == 287) return copyOut(chopro ? "WKO" : getmuText("WKO server"), buffer, size);
        std::string n = productParams().productName;
        n = n.substr(0, n.find_first_of(" -"));
        if (chopro && n.size() > 2 && n.compare(0, 2, "my") == 0) n = n.substr(2);
        return copyOut(htmlEscaped(n.c_str()).c_str(), buffer, size);
    }
    if (std::strncmp(name, "VJL_CFG_", 8) == 0) return copyOut(hasFeature(name + 8) ? "1" : "", buffer, size);
    if (const char *v = findStoreValue(store.data(), storeUsed, name, index)) return copyOut(v, buffer, size);
    if (*name >= 'A' && *name <= 'Z') return copyOut("", buffer, size);
    bool isName = std::strcmp(name, "paramsname_") == 0;
    if (isName || std::strcmp(name, "paramsvalue_") == 0) {
        Param *p = index >= 0 ? ptable().visibleAt(index, ParamStatus | ParamInternal) : nullptr;
        if (p == nullptr) return copyOut("", buffer, size);
        if (isName) return copyOut(p->name(), buffer, size);
        return htmlEscapeInto(paramDisplay(p).c_str(), buffer, size);
    }
    using InfoReader = int (*)(const char *, char *, size_t);
    const std::pair<const char *, InfoReader> readers[] = {{"prodpa_", static_cast<InfoReader>(&productInfo)},
                                                           {"softpa_", &softwareInfo},
                                                           {"firmpa_", &firmwareInfo}};
    for (auto [prefix, reader] : readers) {
        if (std::strncmp(name, prefix, 7) == 0) {
            char text[512] = "";
            reader(name + 7, text, sizeof text);
            return htmlEscapeInto(text, buffer, size);
        }
    }
    if (std::strncmp(name, "cert", 4) == 0 && certVariableHook) {
        int n = certVariableHook(name, buffer, size);
        if (n >= 0) return n;
    }
    if (pageManager == nullptr) return copyOut("", buffer, size);
    char text[ValueSize];
    text[0] = '\0';
    if (pageManager->paramText(name, index, text, sizeof text) < 0) text[0] = '\0';
    return htmlEscapeInto(text, buffer, size);
}

// ---------------------------------------------------------------- rendering

bool TemplateReader::Source::startsWith(const char *text) const {
    size_t k = std::strlen(text);
    return n - pos >= k && std::memcmp(p + pos, text, k) == 0;
}

void TemplateReader::Output::put(char ch) {
    if (len < limit)
        base[len++] = ch;
    else
        overrun = true;
}

void TemplateReader::Output::put(const char *text, size_t k) {
    size_t room = limit > len ? limit - len : 0;
    if (k > room) {
        overrun = true;
        k = room;
    }
    std::memcpy(base + len, text, k);
    len += k;
}

TemplateReader::TemplateReader(HttpConnection &c, const char *text, size_t length)
    : c_(c), top_{text, length, 0} {
    level_ = c.renderLevel();
}

int TemplateReader::renderPage(char *out, size_t size, bool scriptMode) {
    if (out == nullptr || size < 2048) return 0;
    Output o{out, size, size - 1024, 0, false};
    aborted_ = false;
    work_ = 0;
    top_.pos = 0;
    render(top_, &o, NoIndex, -1, scriptMode, 0);
    if (o.overrun) {
        // The margin holds the note: written past the limit, never past the buffer.
        char note[64];
        int n = std::snprintf(note, sizeof note, OverrunFormat, static_cast<int>(o.len));
        size_t k = std::min(static_cast<size_t>(n), size - 1 - o.len);
        std::memcpy(out + o.len, note, k);
        o.len += k;
    }
    out[o.len] = '\0';
    return static_cast<int>(o.len);
}

void TemplateReader::skip(Source &src, int stop) {
    int depth = 0;
    int ch;
    while ((ch = src.get()) >= 0) {
        if (ch == '{') {
            depth++;
        } else if (ch == '}') {
            depth--;
            if (depth < 0) {
                // A block ends here: for a stop of '|' the brace belongs to the caller.
                if (stop != '}') src.pos--;
                return;
            }
        } else if (ch == stop && depth <= 0) {
            return;
        }
    }
}

void TemplateReader::release(Output &out, Filter &filter) {
    if (filter.held >= 1) out.put('M');
    if (filter.held == 2) out.put('L');
    if (filter.held == 3) out.put('l');
    filter.held = 0;
}

void TemplateReader::feed(Source &src, Output &out, Filter &filter, int ch) {
    switch (filter.held) {
    case 0:
        if (ch == 'M')
            filter.held = 1;
        else
            out.put(static_cast<char>(ch));
        return;
    case 1:
        if (ch == 'L' || ch == 'l') {
            filter.held = ch == 'L' ? 2 : 3;
            return;
        }
        break;
    default:
        if (ch == '(') {
            bool quoted = filter.held == 2;
            filter.held = 0;
            src.get(); // the opening quote
            std::string message;
            int depth = 0;
            int m;
            bool closed = false;
            while ((m = src.get()) >= 0) {
                if (m == '"') break;
                if (m == '(') depth++;
                if (m == ')') {
                    if (depth == 0) {
                        closed = true;
                        break;
                    }
                    depth--;
                }
                if (message.size() < 254) message += static_cast<char>(m);
            }
            if (!closed) {
                while ((m = src.get()) >= 0 && m != ')') {
                }
            }
            const char *text = getmuText(message.c_str());
            if (quoted) out.put('"');
            out.put(text, std::strlen(text));
            if (quoted) out.put('"');
            return;
        }
        break;
    }
    release(out, filter);
    feed(src, out, filter, ch);
}

bool TemplateReader::linkFilter(Source &src, Output &out) {
    if (!src.startsWith("ref=\"/")) return false;
    size_t avail = std::min<size_t>(84, src.n - src.pos);
    if (avail < 20) return false;
    const char *start = src.p + src.pos + 5;
    const char *end = static_cast<const char *>(std::memchr(start, '"', avail - 5));
    if (end == nullptr) return false;
    std::string target(start, end);
    target = target.substr(0, target.find('?'));
    const std::string suffix = "_{lang}.html";
    if (target.size() >= suffix.size() &&
        target.compare(target.size() - suffix.size(), suffix.size(), suffix) == 0) {
        target.resize(target.size() - suffix.size());
        if (target.size() >= 4 && target.compare(target.size() - 4, 4, "{$_}") == 0) {
            target.resize(target.size() - 4);
            target += "1";
        }
        target += ".html";
    }
    if (pageManager == nullptr) return false;
    int n = -1;
    int index = pageManager->lookup(target.c_str(), &n);
    const PageEntry *e = pageManager->entry(index);
    if (e == nullptr || index <= 0 || e->level <= 2 || e->level <= level_) return false;
    src.pos = static_cast<size_t>(end - src.p) + 1;
    out.put("class=\"noref\" href=\"\"", 21);
    return true;
}

int TemplateReader::render(Source &src, Output *out, int index, int stop, bool script, int depth) {
    if (out == nullptr) {
        skip(src, stop);
        return 0;
    }
    size_t startLen = out->len;
    Filter filter;
    int ch;
    while (!aborted_ && (ch = src.get()) >= 0) {
        if (out->overrun) {
            aborted_ = true;
            break;
        }
        if (ch == stop) break;
        if (stop == '|' && ch == '}') {
            // A then-part without its '|': the block ends here all the same.
            src.pos--;
            break;
        }
        if (ch == '<') {
            if (script && src.startsWith("/script")) {
                release(*out, filter);
                out->put('<');
                script = false;
                continue;
            }
            if (!script && src.startsWith("script ")) {
                release(*out, filter);
                out->put('<');
                script = true;
                continue;
            }
            feed(src, *out, filter, ch);
            continue;
        }
        if (script) {
            feed(src, *out, filter, ch);
            continue;
        }
        if (ch == 'h' && level_ < 4) {
            release(*out, filter);
            if (!linkFilter(src, *out)) out->put('h');
            continue;
        }
        if (ch == '{') {
            release(*out, filter);
            directive(src, *out, index, script, filter, depth);
            continue;
        }
        if (ch == '\\') {
            release(*out, filter);
            int next = src.get();
            if (next >= 0) out->put(static_cast<char>(next));
            continue;
        }
        feed(src, *out, filter, ch);
    }
    release(*out, filter);
    return static_cast<int>(out->len - startLen);
}

int TemplateReader::loopCountOf(const std::string &name) {
    int n = c_.loopCount(name.c_str());
    if (n >= 0) return n;
    return pageManager ? pageManager->paramValue(name.c_str()) : 0;
}

int TemplateReader::value(const std::string &nameIn, int index, char *buffer, int size) {
    std::string name = nameIn;
    if (index == -1) {
        std::printf("ill value -1 for element?! ...fixed\n");
        index = NoIndex;
    }
    if (startsWith(name, "$_")) {
        std::string rest = name.substr(2);
        int base = index == NoIndex ? 0 : index;
        char text[256];
        if (rest.empty())
            std::snprintf(text, sizeof text, "%d", base);
        else if (rest[0] == '+')
            std::snprintf(text, sizeof text, "%ld", base + number(rest.c_str() + 1));
        else if (std::isdigit(static_cast<unsigned char>(rest[0])))
            std::snprintf(text, sizeof text, "%*.*d", rest[0] - '0', rest[0] - '0', base);
        else
            text[0] = '\0';
        return copyOut(text, buffer, size);
    }
    if (name[0] == '-' && name.size() > 1) {
        // The label of an option: of the option the index names, else of the current one.
        Param *p = templateParam(name.c_str() + 1, NoIndex);
        if (p == nullptr) return copyOut("", buffer, size);
        char text[ValueSize] = "";
        if (index == NoIndex) {
            auto *list = dynamic_cast<P3List *>(p);
            if (list)
                copyOut(list->displayText(), text, sizeof text);
            else
                p->toText(text, sizeof text, true);
        } else {
            p->getText(index + P3List::LabelColumn, text, sizeof text);
        }
        return htmlEscapeInto(text, buffer, size);
    }
    for (const char *word : {"YESX", "NOX", "YES", "NO"}) {
        if (!startsWith(name, word) || name.size() == std::strlen(word)) continue;
        bool yes = word[0] == 'Y';
        bool checked = word[std::strlen(word) - 1] == 'X';
        Param *p = templateParam(name.c_str() + std::strlen(word), index);
        bool result = p ? (yes ? p->isOn() : p->isOff()) : !yes;
        if (checked) {
            if (size <= 17) return -1;
            return copyOut(result ? "checked=\"checked\"" : "", buffer, size);
        }
        return copyOut(result ? "1" : "0", buffer, size);
    }
    if (name[0] == '_' && name.size() > 1 && name[1] != '_')
        return c_.getVar(name.c_str() + 1, NoIndex, buffer, size);
    return c_.getVar(name.c_str(), index == NoIndex ? -1 : index, buffer, size);
}

void TemplateReader::include(const std::string &rest, Output &out, int depth) {
    if (rest.empty() || rest.size() >= 240 || rest.find("..") != std::string::npos || depth >= MaxDepth)
        return;
    if ((work_ += 100) > MaxWork) {
        aborted_ = true;
        return;
    }
    std::string path = templateRoot() + (rest[0] == '/' ? "" : "/") + rest;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st;
    std::string text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= (1 << 20)) {
        text.resize(static_cast<size_t>(st.st_size));
        ssize_t n = ::read(fd, text.data(), text.size());
        text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    }
    ::close(fd);
    Source inner{text.data(), text.size(), 0};
    render(inner, &out, NoIndex, 0, false, depth + 1);
}

int TemplateReader::nestedValue(Source &src, char *buffer, int size, bool forComparison, int index) {
    std::string name;
    int ch;
    while ((ch = src.get()) >= 0 && ch != '}')
        if (name.size() < 127) name += static_cast<char>(ch);
    if (!forComparison) {
        int n = value(name, NoIndex, buffer, size);
        return n < 0 ? copyOut("", buffer, size) : n;
    }
    if (!name.empty() && name[0] == '#') {
        char text[32];
        std::snprintf(text, sizeof text, "%d", loopCountOf(name.substr(1)));
        return copyOut(text, buffer, size);
    }
    if (!name.empty() && name[0] == '?') name.erase(0, 1);
    size_t dash = name.rfind('-');
    if (dash != std::string::npos && dash > 0 && dash + 1 < name.size() &&
        std::isdigit(static_cast<unsigned char>(name[dash + 1]))) {
        index = static_cast<int>(number(name.c_str() + dash + 1)) - 1;
        name.resize(dash);
    }
    int n = value(name, index, buffer, size);
    return n < 0 ? copyOut("", buffer, size) : n;
}

void TemplateReader::directive(Source &src, Output &out, int index, bool script, Filter &filter, int depth) {
    (void)filter;
    int first = src.get();
    if (first < 0) {
        out.put('{');
        return;
    }
    if (first == ' ' || first == '\t' || first == '\n' || first == '\r') {
        out.put('{');
        out.put(static_cast<char>(first));
        return;
    }
    src.pos--;
    std::string name;
    int term = -1;
    int ch;
    while ((ch = src.get()) >= 0) {
        if (std::strchr("}]<>=!\t\n", ch) != nullptr ||
            (!name.empty() && (ch == '?' || ch == '%' || ch == '&'))) {
            term = ch;
            break;
        }
        if (ch == '{') {
            char nested[128];
            nestedValue(src, nested, sizeof nested, false, index);
            for (const char *p = nested; *p && name.size() < MaxName; p++)
                name += *p;
            continue;
        }
        if (name.size() < MaxName) name += static_cast<char>(ch);
    }
    if (term < 0) return;
    if (depth >= MaxDepth) {
        // Nesting this deep is not a template any more: the block is left out.
        if (term != '}') skip(src, '}');
        return;
    }

    char text[ValueSize];
    text[0] = '\0';
    int length = 0;
    bool isCondition = term != '}';
    if (!name.empty() && name[0] == '.') {
        include(name.substr(1), out, depth);
        if (term != '}') skip(src, '}');
        return;
    }
    if (!name.empty() && name[0] == '[') {
        // {[count+start ...body...}
        std::string spec = name.substr(1);
        long start = 0;
        size_t sign = spec.find_last_of("+-");
        if (sign != std::string::npos && sign > 0 && sign + 1 < spec.size() &&
            std::isdigit(static_cast<unsigned char>(spec[sign + 1]))) {
            start = number(spec.c_str() + sign + 1);
            if (spec[sign] == '-') start = -start;
            spec.resize(sign);
        }
        long count = std::isdigit(static_cast<unsigned char>(spec.empty() ? 'x' : spec[0]))
                         ? number(spec.c_str())
                         : loopCountOf(spec);
        size_t bodyStart = src.pos;
        skip(src, '}');
        size_t bodyEnd = src.pos;
        count = std::min(count, MaxLoop);
        for (long i = 0; i < count && !aborted_; i++) {
            if (++work_ > MaxWork) {
                aborted_ = true;
                break;
            }
            Source body{src.p + bodyStart, bodyEnd - bodyStart, 0};
            render(body, &out, static_cast<int>(start + i), '}', script, depth + 1);
        }
        return;
    }
    if (name == "~") {
        isCondition = true;
    } else if (!name.empty() && name[0] == '?') {
        length = value(name.substr(1), index, text, sizeof text);
        if (length < 0) {
            text[0] = '\0';
            length = 0;
        }
    } else if (!name.empty() && name[0] == '#') {
        long v = name.size() == 1 ? (index == NoIndex ? 0 : index) + 1 : loopCountOf(name.substr(1));
        length = std::snprintf(text, sizeof text, "%ld", v);
    } else {
        std::string key = name;
        int useIndex = index;
        size_t dash = key.rfind('-');
        if (dash != std::string::npos && dash > 0 && dash + 1 < key.size() &&
            std::isdigit(static_cast<unsigned char>(key[dash + 1]))) {
            useIndex = static_cast<int>(number(key.c_str() + dash + 1)) - 1;
            key.resize(dash);
        }
        length = key.empty() ? -1 : value(key, useIndex, text, sizeof text);
        if (length < 0) {
            // A failed lookup shows the directive itself.
            length = std::snprintf(text, sizeof text, "{%s}", name.c_str());
            if (isCondition) length = -1;
        }
    }

    if (!isCondition) {
        if (length > 0) out.put(text, std::min<size_t>(static_cast<size_t>(length), std::strlen(text)));
        return;
    }

    bool truth;
    if (name == "~") {
        truth = index != NoIndex && (index & 1) != 0;
    } else if (term == '?') {
        truth = length > 0 && !(startsWith(name, "YES") && !startsWith(name, "YESX") && text[0] == '0');
    } else {
        // The comparison text up to the '?'.
        std::string cmp;
        bool cut = false;
        bool ended = false;
        int cc;
        while ((cc = src.get()) >= 0) {
            if (cc == '?') {
                ended = true;
                break;
            }
            if (cc == '#') {
                if (!cut) cmp += std::to_string((index == NoIndex ? 0 : index) + 1);
                continue;
            }
            if (cc == '{') {
                char nested[ValueSize];
                int n = nestedValue(src, nested, sizeof nested, true, index);
                if (n <= 0) cut = true;
                if (!cut) cmp += nested;
                continue;
            }
            if (cc == '\\') {
                cc = src.get();
                if (cc < 0) break;
            }
            if (!cut && cmp.size() < ValueSize) cmp += static_cast<char>(cc);
        }
        if (!ended) {
            aborted_ = true;
            return;
        }
        const char *v = length >= 0 ? text : "";
        switch (term) {
        case '<':
            truth = number(v) < number(cmp.c_str());
            break;
        case '>':
            truth = number(v) > number(cmp.c_str());
            break;
        case '=':
            truth = strcasecmp(v, cmp.c_str()) == 0;
            break;
        case '!':
            truth = strcasecmp(v, cmp.c_str()) != 0;
            break;
        case '%': {
            long a = number(v), b = number(cmp.c_str());
            truth = a != 0 && b != 0 && a % b == 0;
            break;
        }
        case '&':
            truth = (number(v) & number(cmp.c_str())) == 0;
            break;
        default:
            truth = true;
            break;
        }
    }
    if (truth) {
        render(src, &out, index, '|', script, depth + 1);
        if (!aborted_) skip(src, '}');
    } else {
        skip(src, '|');
        render(src, &out, index, '}', script, depth + 1);
    }
}
