// Small text helpers of the web server.

#include "web/webtext.h"

#include "core/param.h"

#include <cstring>

std::string paramString(StringParam *p) {
    if (p == nullptr) return std::string();
    return p->getText();
}

std::string paramDisplay(Param *p) {
    if (p == nullptr) return std::string();
    char buffer[ParamMaxText + 1];
    buffer[0] = '\0';
    p->toText(buffer, sizeof buffer, true);
    return buffer;
}

namespace {
const char *entityOf(char c) {
    switch (c) {
    case '&':
        return "&amp;";
    case '<':
        return "&lt;";
    case '>':
        return "&gt;";
    case '"':
        return "&quot;";
    case '\'':
        return "&#39;";
    default:
        return nullptr;
    }
}
} // namespace

std::string htmlEscaped(const char *text) {
    std::string out;
    if (text == nullptr) return out;
    for (const char *p = text; *p; p++) {
        const char *e = entityOf(*p);
        if (e)
            out += e;
        else
            out += *p;
    }
    return out;
}

int htmlEscapeInto(const char *text, char *out, int size) {
    if (out == nullptr || size <= 0) return 0;
    int n = 0;
    for (const char *p = text ? text : ""; *p; p++) {
        const char *e = entityOf(*p);
        int len = e ? static_cast<int>(std::strlen(e)) : 1;
        if (n + len >= size) break;
        if (e)
            std::memcpy(out + n, e, static_cast<size_t>(len));
        else
            out[n] = *p;
        n += len;
    }
    out[n] = '\0';
    return n;
}
