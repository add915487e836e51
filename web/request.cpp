// Request parsing: the header reader, the request line, header lines, request bodies
// (forms, chunked bodies and multipart uploads) and the form data.

#include "web/http.h"

#include "core/ptable.h"
#include "core/ticks.h"
#include "core/utils_file.h"
#include "web/pages.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Header names are compared in upper case with '-' as '_'.
void headerName(char *name) {
    for (char *p = name; *p; p++)
        *p = *p == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
}

bool carriesVersion(const char *line) {
    return std::strstr(line, " HTTP/") != nullptr;
}

// A decimal number of at most 18 digits (surrounding blanks allowed); false for anything
// else, so a length can never overflow or be negative.
bool parseLength(const std::string &text, int64_t &value) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        i++;
    size_t start = i;
    value = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && i - start < 18)
        value = value * 10 + (text[i++] - '0');
    if (i == start) return false;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        i++;
    return i == text.size();
}

constexpr size_t MaxBoundary = 200;

} // namespace

// ---------------------------------------------------------------- reading

bool HttpConnection::readMore(int64_t ticks) {
    if (fill >= HttpBufferSize) return false;
    if (tcp && tcp->tls == nullptr && tcp->socket >= 0) {
        // Plain TCP: what has arrived is taken without a wait first.
        ssize_t n = ::recv(tcp->socket, in + fill, static_cast<size_t>(HttpBufferSize - fill), MSG_DONTWAIT);
        if (n > 0) {
            fill += static_cast<int>(n);
            tcp->bytesReceived += static_cast<uint64_t>(n);
            return true;
        }
        if (n == 0) return false;
        if (errno != EAGAIN && errno != EINTR) return false;
    }
    const int64_t deadline = sysTicks() + ticks;
    for (;;) {
        int64_t left = deadline - sysTicks();
        if (left <= 0) return false;
        int n = tcp ? tcp->read(in + fill, HttpBufferSize - fill, left) : -3;
        if (n > 0) {
            fill += n;
            return true;
        }
        // 0: a configuration change ended the wait; anything else is the end.
        if (n < 0) return false;
    }
}

bool HttpConnection::readFormMore() {
    int64_t left = bodyDeadline - sysTicks();
    if (left <= 0) return false;
    return readMore(std::min(left, BodyIdleTicks));
}

bool HttpConnection::readHeader() {
    for (;;) {
        while (parsePos < fill) {
            char ch = in[parsePos++];
            int before = state;
            switch (state) {
            case READ_HEADER:
                if (ch == '\r' || ch == '\n') {
                    in[parsePos - 1] = '\0';
                    state = ch == '\r' ? ONE_CR : ONE_LF;
                }
                break;
            case ONE_CR:
                if (ch == '\n')
                    state = ONE_LF;
                else if (ch != '\r')
                    state = READ_HEADER;
                break;
            case ONE_LF:
                if (ch == '\r')
                    state = TWO_CR;
                else if (ch == '\n')
                    state = BODY_READ;
                else
                    state = READ_HEADER;
                break;
            case TWO_CR:
                if (ch == '\n')
                    state = BODY_READ;
                else if (ch != '\r')
                    state = READ_HEADER;
                break;
            default:
                break;
            }
            if (state == ONE_LF && before != ONE_LF) {
                // A line is complete (its end was made a zero byte).
                char *line = in + lineStart;
                lineStart = parsePos;
                if (subState != NO_MP) {
                    multipartLine(line);
                    continue;
                }
                if (!requestLineSeen) {
                    if (!parseRequestLine(line)) return false;
                    if (simple) {
                        headerEnd = parsePos;
                        routeRequest(*this);
                        if (state < BODY_READ) state = DONE;
                        return true;
                    }
                    continue;
                }
                if (!parseHeaderLine(line)) return false;
                continue;
            }
            if (state == BODY_READ) {
                lineStart = parsePos;
                if (subState == SKIP_MP) {
                    // A blank line of the preamble.
                    state = READ_HEADER;
                    continue;
                }
                if (subState == 0) return startBody();
                // The request's own header is complete.
                headerEnd = parsePos;
                if (!requestLineSeen) {
                    writeError(400);
                    state = DONE;
                    return true;
                }
                routeRequest(*this);
                if (state != BODY_READ) return true; // answered (GET, HEAD or a refusal)
                if (!boundary.empty() && !chunked) {
                    // The multipart preamble up to the part's header end.
                    state = READ_HEADER;
                    subState = SKIP_MP;
                    preambleStart = parsePos;
                    continue;
                }
                return startBody();
            }
        }
        // All bytes examined, the header is not complete.
        if (fill >= HttpBufferSize) {
            // A header that does not fit gets no answer (a preamble neither).
            state = DEAD;
            return false;
        }
        int64_t ticks;
        if (requestStart == 0 && fill == 0) {
            // A kept-alive connection waits this long for the next request.
            ticks = KeepAliveIdleTicks;
        } else {
            if (requestStart == 0) requestStart = sysTicks();
            ticks = requestStart + HeaderTicks - sysTicks();
        }
        if (ticks <= 0 || !readMore(ticks)) {
            mode = ModeClose;
            state = DEAD;
            return false;
        }
        if (requestStart == 0) requestStart = sysTicks();
    }
}

bool HttpConnection::parseRequestLine(char *line) {
    requestLineSeen = true;
    const char *p = line;
    if (std::strncmp(p, "GET ", 4) == 0) {
        method = MethodGet;
        p += 4;
    } else if (std::strncmp(p, "HEAD ", 5) == 0) {
        method = MethodHead;
        p += 5;
    } else if (std::strncmp(p, "POST ", 5) == 0) {
        method = MethodPost;
        p += 5;
    } else {
        // A request that names a version gets a full answer, even refused this early.
        simple = !carriesVersion(line);
        method = MethodGet;
        writeError(501);
        state = DONE;
        return false;
    }
    simple = true;
    std::snprintf(version, sizeof version, "HTTP/0.9");
    while (*p == ' ')
        p++;
    const char *end = p;
    while (*end && *end != ' ')
        end++;
    size_t length = static_cast<size_t>(end - p);
    auto refuse = [&]() {
        simple = !carriesVersion(line) && std::strstr(end, "HTTP/") == nullptr;
        if (simple) method = MethodGet; // a simple error answer is its body
        writeError(400);
        state = DONE;
        return false;
    };
    if (length > HttpUrlMax) return refuse();
    std::memcpy(url, p, length);
    url[length] = '\0';
    if (*end == ' ') {
        const char *v = end;
        while (*v == ' ')
            v++;
        if (*v) {
            if (std::strncmp(v, "HTTP/", 5) != 0) return refuse();
            const char *q = v + 5;
            int major = 0, minor = 0, digits = 0;
            while (std::isdigit(static_cast<unsigned char>(*q)) && digits < 4) {
                major = major * 10 + (*q++ - '0');
                digits++;
            }
            if (digits == 0 || *q != '.') return refuse();
            q++;
            digits = 0;
            while (std::isdigit(static_cast<unsigned char>(*q)) && digits < 4) {
                minor = minor * 10 + (*q++ - '0');
                digits++;
            }
            while (*q == ' ' || *q == '\t')
                q++;
            if (digits == 0 || *q) return refuse();
            if (major == 1 && minor <= 1) {
                simple = false;
                std::snprintf(version, sizeof version, "HTTP/1.%d", minor & 1);
            } else if (major >= 1) {
                return refuse();
            }
        }
    }
    if (method == MethodHead && simple) return refuse();
    return true;
}

bool HttpConnection::parseHeaderLine(char *line) {
    char *colon = std::strchr(line, ':');
    if (colon == nullptr) {
        writeError(400);
        state = DONE;
        return false;
    }
    *colon = '\0';
    headerName(line);
    char *value = colon + 1;
    while (*value == ' ' || *value == '\t')
        value++;
    size_t len = std::strlen(value);
    while (len > 0 && (value[len - 1] == ' ' || value[len - 1] == '\t'))
        value[--len] = '\0';
    auto first = [&](bool &have, std::string &field) {
        if (!have) {
            have = true;
            field = value;
        }
    };
    if (std::strcmp(line, "IF_MODIFIED_SINCE") == 0) {
        first(haveIfModified, ifModifiedSince);
    } else if (std::strcmp(line, "CONTENT_TYPE") == 0) {
        first(haveContentType, contentType);
        const char *b = std::strstr(value, "boundary=");
        if (method == MethodPost && boundary.empty() && b && strncasecmp(value, "multipart/", 10) == 0) {
            std::string text = b + 9;
            text = text.substr(0, text.find(';'));
            if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
                text = text.substr(1, text.size() - 2);
            if (text.empty() || text.size() > MaxBoundary) {
                writeError(400);
                state = DONE;
                return false;
            }
            boundary = "--" + text;
        }
    } else if (std::strcmp(line, "TRANSFER_ENCODING") == 0) {
        first(haveTransferEncoding, transferEncoding);
        if (std::strncmp(transferEncoding.c_str(), "chunke", 6) == 0) chunked = true;
    } else if (std::strcmp(line, "CONTENT_LENGTH") == 0) {
        first(haveContentLength, contentLengthText);
    } else if (std::strcmp(line, "CONNECTION") == 0) {
        if (KeepAliveBudget != 0 && mode != ModeClose) {
            std::string v = value;
            headerName(v.data());
            mode = v.compare(0, 10, "KEEP_ALIVE") == 0 ? ModeKeepAlive : ModeClose;
        }
    } else if (std::strcmp(line, "REFERER") == 0) {
        referer = value;
    } else if (std::strcmp(line, "USER_AGENT") == 0) {
        userAgent = value;
    } else if (std::strncmp(line, "AUTHORIZATION", 13) == 0) {
        if (!haveAuthorization) {
            haveAuthorization = true;
            // The credentials follow the scheme word ("Basic ").
            const char *blank = std::strchr(value, ' ');
            authorization = blank ? blank + 1 : "";
        }
    } else if (std::strncmp(line, "COOKIE", 6) == 0) {
        first(haveCookie, cookie);
    } else if (std::strncmp(line, "HOST", 4) == 0) {
        if (!haveHost) {
            haveHost = true;
            std::string h = value;
            size_t from = 0;
            if (!h.empty() && h[0] == '[') {
                size_t close = h.find(']');
                from = close == std::string::npos ? h.size() : close;
            }
            size_t colonAt = h.find(':', from);
            if (colonAt != std::string::npos) h.resize(colonAt);
            host = h.substr(0, 255);
        }
    }
    return true;
}

void HttpConnection::multipartLine(char *line) {
    if (subState == SKIP_MP) {
        if (boundary == line) subState = 0;
        return;
    }
    const char *name = std::strstr(line, "filename=");
    if (name) {
        std::string text = name + 9;
        if (!text.empty() && text[0] == '"') {
            text.erase(0, 1);
            size_t quote = text.find('"');
            if (quote != std::string::npos) text.resize(quote);
        }
        uploadName = text.substr(0, 255);
    }
}

// ---------------------------------------------------------------- bodies

bool HttpConnection::startBody() {
    bodyDeadline = sysTicks() + FormBodyTicks;
    if (chunked) {
        if (!boundary.empty()) {
            mode = ModeClose;
            writeError(400);
            state = DONE;
            return true;
        }
        return readChunkedBody();
    }
    int64_t length = 0;
    if (!haveContentLength || !parseLength(contentLengthText, length)) {
        mode = ModeClose;
        writeError(400);
        state = DONE;
        return true;
    }
    bodyTotal = length;
    if (!boundary.empty()) {
        int64_t preamble = parsePos - headerEnd;
        int64_t upload = length - preamble - static_cast<int64_t>(boundary.size() + 6);
        if (upload < 0) {
            mode = ModeClose;
            writeError(400);
            state = DONE;
            return true;
        }
        contentLength = upload;
        transferred = 0;
        bodyConsumed = preamble;
        if (upload <= UploadLimit) {
            uploadFd = tempFile();
            if (uploadFd < 0) {
                state = DEAD;
                return false;
            }
        }
        state = BODY_WRITE;
        return true;
    }
    return readFormBody();
}

bool HttpConnection::readFormBody() {
    int64_t room = HttpBufferSize - headerEnd;
    if (bodyTotal > room) {
        mode = ModeClose;
        writeError(400);
        state = DONE;
        return true;
    }
    while (fill - headerEnd < bodyTotal) {
        if (!readFormMore()) {
            mode = ModeClose;
            writeError(400);
            state = DONE;
            return true;
        }
    }
    if (bodyTotal > 0 || query.empty()) query.assign(in + headerEnd, static_cast<size_t>(bodyTotal));
    formParsed = false;
    parsePos = headerEnd + static_cast<int>(bodyTotal);
    dispatchPage(*this);
    return true;
}

bool HttpConnection::readChunkedBody() {
    // The chunks are gathered into the form data; a body larger than the input buffer
    // is refused, as a form body of that size is.
    std::string body;
    auto compact = [&]() {
        if (parsePos > 0) {
            std::memmove(in, in + parsePos, static_cast<size_t>(fill - parsePos));
            fill -= parsePos;
            parsePos = 0;
        }
    };
    auto refuse = [&]() {
        mode = ModeClose;
        writeError(400);
        state = DONE;
        return true;
    };
    // Reads one line (up to CR LF) at the parse position.
    auto line = [&](std::string &text) {
        for (;;) {
            char *start = in + parsePos;
            char *lf = static_cast<char *>(std::memchr(start, '\n', static_cast<size_t>(fill - parsePos)));
            if (lf) {
                text.assign(start, static_cast<size_t>(lf - start));
                if (!text.empty() && text.back() == '\r') text.pop_back();
                parsePos = static_cast<int>(lf - in) + 1;
                return true;
            }
            compact();
            if (fill >= HttpBufferSize || !readFormMore()) return false;
        }
    };
    for (;;) {
        std::string sizeLine;
        if (!line(sizeLine)) return refuse();
        size_t digits = 0;
        int64_t size = 0;
        while (digits < sizeLine.size() && std::isxdigit(static_cast<unsigned char>(sizeLine[digits])) &&
               digits < 8) {
            char h = sizeLine[digits++];
            size = size * 16 +
                   (std::isdigit(static_cast<unsigned char>(h)) ? h - '0' : (std::toupper(h) - 'A' + 10));
        }
        if (digits == 0 || (digits < sizeLine.size() && sizeLine[digits] != ';' && sizeLine[digits] != ' '))
            return refuse();
        if (size == 0) {
            // Trailer lines up to the blank line.
            for (int n = 0;; n++) {
                std::string trailer;
                if (n > 64 || !line(trailer)) return refuse();
                if (trailer.empty()) break;
            }
            break;
        }
        if (static_cast<int64_t>(body.size()) + size > HttpBufferSize) return refuse();
        while (fill - parsePos < size + 2) {
            compact();
            if (!readFormMore()) return refuse();
        }
        body.append(in + parsePos, static_cast<size_t>(size));
        if (in[parsePos + size] != '\r' || in[parsePos + size + 1] != '\n') return refuse();
        parsePos += static_cast<int>(size) + 2;
    }
    if (!body.empty() || query.empty()) query = body;
    formParsed = false;
    dispatchPage(*this);
    return true;
}

bool HttpConnection::consumeBody() {
    int64_t available = fill - parsePos;
    int64_t take = std::min(available, contentLength - transferred);
    if (take > 0) {
        if (uploadFd >= 0) {
            const char *p = in + parsePos;
            int64_t done = 0;
            while (done < take) {
                ssize_t n = ::write(uploadFd, p + done, static_cast<size_t>(take - done));
                if (n > 0) {
                    done += n;
                    continue;
                }
                if (n < 0 && errno == EINTR) continue;
                // The upload file cannot take the data: the upload is dropped, the rest
                // of the body is still read, and the handler finds no file.
                std::perror("write body");
                ::close(uploadFd);
                uploadFd = -1;
                break;
            }
        }
        transferred += take;
        bodyConsumed += take;
        parsePos += static_cast<int>(take);
    }
    if (transferred >= contentLength) {
        // The closing boundary after the upload.
        int64_t rest = std::min<int64_t>(fill - parsePos, bodyTotal - bodyConsumed);
        parsePos += static_cast<int>(rest);
        bodyConsumed += rest;
        if (bodyConsumed >= bodyTotal) {
            if (uploadFd >= 0) ::lseek(uploadFd, 0, SEEK_SET);
            query.clear();
            dispatchPage(*this);
            return true;
        }
    }
    state = BODY_READ;
    return true;
}

bool HttpConnection::readBody() {
    if (parsePos > 0) {
        std::memmove(in, in + parsePos, static_cast<size_t>(fill - parsePos));
        fill -= parsePos;
        parsePos = 0;
        headerEnd = 0;
    }
    int64_t wanted = bodyTotal - bodyConsumed - (fill - parsePos);
    int64_t room = HttpBufferSize - fill;
    int amount = static_cast<int>(std::min(wanted, room));
    if (amount <= 0) {
        state = BODY_WRITE;
        return true;
    }
    int n = tcp ? tcp->read(in + fill, amount, BodyIdleTicks) : -3;
    if (n == 0) return true; // a configuration change ended the wait
    if (n < 0) {
        mode = ModeClose;
        writeError(400);
        return false;
    }
    fill += n;
    state = BODY_WRITE;
    return true;
}

// ---------------------------------------------------------------- form data

int formDecode(char *text) {
    char *out = text;
    for (char *p = text; *p; p++) {
        if (*p == '+') {
            *out++ = ' ';
        } else if (*p == '%' && p[1] && p[2]) {
            auto digit = [](char h) {
                if (h >= '0' && h <= '9') return h - '0';
                if (h >= 'A' && h <= 'F') return h - 'A' + 10;
                if (h >= 'a' && h <= 'f') return h - 'a' + 10;
                return 0;
            };
            char v = static_cast<char>(digit(p[1]) * 16 + digit(p[2]));
            p += 2;
            // A decoded zero byte would cut the value: it is left out.
            if (v != '\0') *out++ = v;
        } else {
            *out++ = *p;
        }
    }
    *out = '\0';
    return static_cast<int>(out - text);
}

void HttpConnection::parseForm() {
    formParsed = true;
    fields.clear();
    formStore.assign(query.begin(), query.end());
    formStore.push_back('\0');
    char *p = formStore.data();
    char *end = p + query.size();
    // Field by field: "name=value" separated by '&'; a field without '=' has an empty
    // value. Names and values are decoded separately, each inside its own field.
    while (p < end) {
        char *amp = static_cast<char *>(std::memchr(p, '&', static_cast<size_t>(end - p)));
        char *fieldEnd = amp ? amp : end;
        *fieldEnd = '\0';
        char *eq = std::strchr(p, '=');
        char *value = fieldEnd;
        if (eq) {
            *eq = '\0';
            value = eq + 1;
        }
        formDecode(p);
        formDecode(value);
        if (*p) fields.push_back({p, value});
        p = fieldEnd + 1;
    }
}

const std::vector<FormField> &HttpConnection::formFields() {
    if (!formParsed) parseForm();
    return fields;
}

const char *HttpConnection::formValue(const char *name) {
    if (name == nullptr || *name == '\0') return nullptr;
    for (const FormField &f : formFields())
        if (std::strcmp(f.name, name) == 0) return f.value;
    return nullptr;
}

int HttpConnection::storeFormParams(const char *prefix, uint32_t *mask) {
    size_t prefixLength = 0;
    if (prefix && mask) {
        const char *u = std::strchr(prefix, '_');
        prefixLength = u ? static_cast<size_t>(u - prefix) + 1 : std::strlen(prefix);
        *mask = 0;
    }
    if (method != MethodGet && !boundary.empty()) return 0;
    int accepted = 0;
    for (const FormField &f : formFields()) {
        std::string name = f.name;
        std::string value = f.value;
        while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
            value.pop_back();
        if (prefixLength && name.size() > prefixLength && name[0] >= 'A' && name[0] <= 'Z' &&
            name.compare(0, prefixLength, prefix, prefixLength) == 0) {
            long bit = std::strtol(name.c_str() + prefixLength, nullptr, 10);
            if (bit >= 0 && bit < 32) *mask |= 1u << bit;
        }
        if (name.compare(0, 2, "__") == 0) name.erase(0, 2);
        if (name.empty() || name[0] < 'a' || name[0] > 'z') continue;
        Param *p = ptable().find(name.c_str());
        if (p == nullptr) continue;
        if (p->hasFlags(ParamConcealed | ParamHashed) && !value.empty()) {
            // A secret shown as "****" comes back unchanged: the stored one stays.
            if (value == "****") continue;
            bool high = false;
            for (unsigned char ch : value)
                high = high || ch >= 0x80;
            if (high) continue;
        }
        if (p->setFromText(value.c_str(), static_cast<int>(value.size())) != 0) accepted++;
    }
    return accepted;
}
