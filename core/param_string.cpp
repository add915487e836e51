// The text kind: names, passwords, host names, paths, address filters.

#include "core/param.h"

#include "core/param_internal.h"
#include "core/sysinfo.h"
#include "core/utils_text.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *Concealed = "****";

// Control characters would let a value add a line to the parameter file or to a
// generated configuration file: no text value may hold one.
bool hasControl(const char *text, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (static_cast<unsigned char>(text[i]) < 0x20) return true;
    return false;
}

// The code of the two-character display: two upper-case letters or digits, but not
// "E" and a digit (those belong to the error display).
bool validDisplayCode(const char *text) {
    auto codeChar = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); };
    if (strlen(text) != 2 || !codeChar(text[0]) || !codeChar(text[1])) return false;
    return !(text[0] == 'E' && text[1] >= '0' && text[1] <= '9');
}

// The text equals the current one once backslashes are turned into slashes (if asked).
bool sameText(const char *current, const char *text, size_t length, bool slashes) {
    if (strlen(current) != length) return false;
    for (size_t i = 0; i < length; ++i) {
        char c = (slashes && text[i] == '\\') ? '/' : text[i];
        if (current[i] != c) return false;
    }
    return true;
}

} // namespace

StringParam::StringParam(const char *name, int limitCount, const int32_t *limits, uint32_t flags,
                         const char *def)
    : Param(name, limitCount, limits, flags), default_(def ? def : ""), value_(default_) {}

StringParam::~StringParam() {
    free(undo_);
}

bool StringParam::validate(const char *text) {
    if (!text) return false;
    size_t len = strlen(text);
    if (hasControl(text, len)) return false;
    if (strcmp(name_, "disp_def") == 0) return validDisplayCode(text);
    uint32_t f = flags();
    if (const int32_t *r = range()) {
        if (len == 0 && (f & (ParamConcealed | ParamHashed))) return true;
        // A hashed secret is bounded by the length of its hashed form.
        size_t checked = ((f & ParamHashed) && len > 0) ? 13 + 11 * ((len - 1) / 8) : len;
        if (static_cast<int64_t>(checked) < r[0] || static_cast<int64_t>(checked) > r[1]) return false;
    }
    if (f & ParamAddressText) {
        InetAddress address;
        int prefix = 0;
        return address.parseWithPrefix(text, prefix);
    }
    return true;
}

bool StringParam::hasValue() {
    Guard g(*this);
    return !value_.empty();
}

std::string StringParam::getText() {
    std::string text;
    {
        Guard g(*this);
        text = value_;
    }
    if ((flags() & ParamTranslated) && !text.empty()) return getmuText(text.c_str());
    return text;
}

int StringParam::toText(char *buffer, size_t size, bool) {
    Guard g(*this);
    const char *cur = value_.c_str();
    const char *text = cur;
    if (*cur && (flags() & (ParamConcealed | ParamHashed)))
        text = Concealed;
    else if (*cur && (flags() & ParamTranslated))
        text = getmuText(cur);
    size_t len = strlen(text);
    if (size >= 1 && len > size - 1) len = size - 1;
    memcpy(buffer, text, len);
    buffer[len] = '\0';
    return static_cast<int>(len);
}

int StringParam::getText(int, char *buffer, size_t size) {
    return toText(buffer, size, true);
}

void StringParam::print(FILE *file) {
    Guard g(*this);
    fputs(value_.c_str(), file);
}

void StringParam::replace(const char *text, size_t length, bool slashes) {
    value_.assign(text, length);
    if (slashes)
        for (char &c : value_)
            if (c == '\\') c = '/';
}

bool StringParam::setText(const char *text, int length) {
    if (!text) return false;
    size_t len = length < 0 ? strlen(text) : static_cast<size_t>(length);
    while (len > 0 && (text[len - 1] == ' ' || text[len - 1] == '\t'))
        --len;
    if (hasControl(text, len)) return false;
    uint32_t f = flags();
    if ((f & (ParamConcealed | ParamHashed)) && len == 4 && memcmp(text, Concealed, 4) == 0) return true;
    if ((f & ParamHashed) && len == 13 && memcmp(text, HashPlaceholder, 13) == 0) return true;
    if ((f & ParamEmptyDefault) && len == 0) {
        Guard g(*this);
        if (value_ != default_) {
            value_ = default_;
            markChanged();
        }
        return true;
    }
    Guard g(*this);
    const char *cur = value_.c_str();
    if (!(f & ParamHashed)) {
        if (!sameText(cur, text, len, f & ParamSlashes)) {
            replace(text, len, f & ParamSlashes);
            markChanged();
        }
        return true;
    }
    if (!passwordMatches(text, static_cast<int>(len), cur)) {
        char *hashed = passwordHash(text, static_cast<int>(len));
        if (hashed) {
            replace(hashed, strlen(hashed), false);
            free(hashed);
        } else {
            value_ = default_;
        }
        markChanged();
    }
    return true;
}

bool StringParam::getSnmpValue(const void *&pointer, size_t &length) {
    if (flags() & ParamNoSnmp) return false;
    std::string &buffer = snmpTextBuffer();
    {
        Guard g(*this);
        if (!value_.empty() && (flags() & (ParamConcealed | ParamHashed)))
            buffer = Concealed;
        else
            buffer = value_;
    }
    pointer = buffer.data();
    length = buffer.size();
    return true;
}

int StringParam::setBySnmp(int phase, const uint8_t *value, int asnType, size_t length) {
    const char *text = reinterpret_cast<const char *>(value);
    auto forgetUndo = [this] {
        free(undo_);
        undo_ = nullptr;
        undoSet_ = false;
    };
    switch (phase) {
    case SnmpReserve1: {
        if (flags() & ParamNoSnmp) return SnmpNoAccess;
        if (asnType != 4) return SnmpWrongType;
        if (length > ParamMaxText || (length > 0 && !text)) return SnmpWrongLength;
        if (const int32_t *r = range()) {
            if (static_cast<int64_t>(length) < r[0] || static_cast<int64_t>(length) > r[1])
                return SnmpWrongLength;
        }
        // The rules a form value meets hold for an SNMP value too.
        char *copy = static_cast<char *>(malloc(length + 1));
        if (!copy) return SnmpGenErr;
        if (length) memcpy(copy, text, length);
        copy[length] = '\0';
        bool ok = strlen(copy) == length && validate(copy);
        free(copy);
        return ok ? SnmpNoError : SnmpWrongValue;
    }
    case SnmpAction: {
        if (length > ParamMaxText || (length > 0 && !text)) return SnmpGenErr;
        forgetUndo();
        {
            Guard g(*this);
            undo_ = strdup(value_.c_str());
        }
        if (!undo_) return SnmpGenErr;
        undoSet_ = true;
        if (!setText(length ? text : "", static_cast<int>(length))) return SnmpGenErr;
        return SnmpNoError;
    }
    case SnmpCommit:
        commitTable();
        forgetUndo();
        return SnmpNoError;
    case SnmpFree:
        forgetUndo();
        return SnmpNoError;
    case SnmpUndo:
        if (undoSet_) {
            // Put back exactly the text that was there before the action phase.
            Guard g(*this);
            if (value_ != undo_) value_ = undo_;
            clearChanged();
        }
        forgetUndo();
        return SnmpNoError;
    default:
        return SnmpNoError;
    }
}
