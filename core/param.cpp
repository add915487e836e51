// The parameter base (lock, changed mark, the common text setter) and the integer,
// on/off and enumeration kinds.

#include "core/param.h"

#include "core/param_internal.h"
#include "core/sysinfo.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

ParamSaveHook saveHook = nullptr;
ParamFindHook findHook = nullptr;

// Copies a text into buffer as P3List::getText does: all of it when size is 0 or it is
// shorter than size, else size characters; terminated only when room is left.
int copyOut(const char *text, char *buffer, size_t size) {
    size_t len = strlen(text);
    size_t n = (size == 0 || len < size) ? len : size;
    memcpy(buffer, text, n);
    if (size != 0 && n < size) buffer[n] = '\0';
    return static_cast<int>(n);
}

// The number 1 to 9 that an option code "idx" and a digit gives as the SNMP value;
// 0 for any other code.
int snmpCodeNumber(const char *code) {
    if (code && strncmp(code, "idx", 3) == 0 && code[3] >= '1' && code[3] <= '9' && !code[4])
        return code[3] - '0';
    return 0;
}

} // namespace

void setParamTableHooks(ParamSaveHook save, ParamFindHook find) {
    saveHook = save;
    findHook = find;
}

// ---- helpers shared by the kinds

std::string &snmpTextBuffer() {
    thread_local std::string buffer;
    return buffer;
}

bool snmpInteger(const uint8_t *value, size_t length, int64_t &out) {
    if (!value) return false;
    switch (length) {
    case 1: {
        int8_t v;
        memcpy(&v, value, 1);
        out = v;
        return true;
    }
    case 2: {
        int16_t v;
        memcpy(&v, value, 2);
        out = v;
        return true;
    }
    case 4: {
        int32_t v;
        memcpy(&v, value, 4);
        out = v;
        return true;
    }
    case 8: {
        int64_t v;
        memcpy(&v, value, 8);
        out = v;
        return true;
    }
    default:
        return false;
    }
}

bool copyText(const char *text, int length, char *buffer, size_t size) {
    if (!text || size == 0) return false;
    size_t len = length < 0 ? strnlen(text, size) : static_cast<size_t>(length);
    if (len >= size) return false;
    memcpy(buffer, text, len);
    buffer[len] = '\0';
    return true;
}

int32_t atoiRule(const char *text, int length) {
    if (!text) return 0;
    size_t end = length < 0 ? SIZE_MAX : static_cast<size_t>(length);
    size_t i = 0;
    while (i < end && text[i] && isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < end && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    int64_t v = 0;
    while (i < end && text[i] >= '0' && text[i] <= '9') {
        v = v * 10 + (text[i++] - '0');
        if (v > static_cast<int64_t>(INT32_MAX) + 1) v = static_cast<int64_t>(INT32_MAX) + 1;
    }
    if (negative) v = -v;
    if (v > INT32_MAX) v = INT32_MAX;
    return static_cast<int32_t>(v);
}

// ---- Param

Param::Param(const char *name, int limitCount, const void *limits, uint32_t flags)
    : name_(name ? name : ""), flags_(flags), limits_(limits), limitCount_(limitCount) {
    pthread_mutex_init(&mutex_, nullptr);
}

Param::~Param() {
    pthread_mutex_destroy(&mutex_);
}

void Param::lock() {
    int rc = pthread_mutex_lock(&mutex_);
    if (rc != 0) fprintf(stderr, "Param lock Mutex: %s\n", strerror(rc));
}

void Param::unlock() {
    int rc = pthread_mutex_unlock(&mutex_);
    if (rc != 0) fprintf(stderr, "Param unlock Mutex: %s\n", strerror(rc));
}

void Param::setAbsent(bool absent) {
    if (absent)
        flags_.fetch_or(ParamAbsent, std::memory_order_relaxed);
    else
        flags_.fetch_and(~static_cast<uint32_t>(ParamAbsent), std::memory_order_relaxed);
}

int Param::changeClass() const {
    uint32_t f = flags();
    if (f & (ParamAbsent | ParamTemporary)) return 0;
    if (f & ParamSaved) return ParamClassSaved;
    if (f & ParamAtOnce) return ParamClassAtOnce;
    return ParamClassRestart;
}

int Param::commitTable() {
    return saveHook ? saveHook() : 0;
}

Param *Param::findParam(const char *name) {
    return findHook ? findHook(name) : nullptr;
}

int Param::setBySnmp(int, const uint8_t *, int, size_t) {
    printf("ERROR: Call base Param class setBySnmp function ?!\n");
    return SnmpNotWritable;
}

int Param::setFromText(const char *text, int length) {
    if (!text) return 0;
    size_t len = length < 0 ? strnlen(text, ParamMaxText + 1) : static_cast<size_t>(length);
    if (len > static_cast<size_t>(ParamMaxText)) {
        fprintf(stderr, "!PARAMS SET ILLEGAL VALUES!: %s\n", strerror(EMSGSIZE));
        return 0;
    }
    // A byte 0 inside the given length would cut the value short unnoticed.
    if (memchr(text, 0, len)) return 0;
    // A terminated copy: the text may be a part of a longer line.
    char local[65];
    char *copy = local;
    char *heap = nullptr;
    if (len >= sizeof local) {
        heap = static_cast<char *>(malloc(len + 1));
        if (!heap) {
            fprintf(stderr, "Out Of Mem in SET: %s\n", strerror(ENOMEM));
            return 0;
        }
        copy = heap;
    }
    memcpy(copy, text, len);
    copy[len] = '\0';
    int result = 0;
    if (validate(copy) && setText(copy, -1)) result = changeClass();
    free(heap);
    return result;
}

// ---- IntParam

IntParam::IntParam(const char *name, int limitCount, const int32_t *limits, uint32_t flags, int32_t def)
    : Param(name, limitCount, limits, flags), value_(def) {}

bool IntParam::validate(const char *text) {
    if (limitCount_ == 0) return true;
    if (limitCount_ != 2 || !limits_) return false;
    // An empty text counts as missing: it would silently read as 0.
    if (!text || !*text) return false;
    const char *p = text;
    if (*p == '-') ++p;
    for (; *p; ++p)
        if (!isalnum(static_cast<unsigned char>(*p))) return false;
    int32_t v = atoiRule(text, -1);
    const int32_t *r = range();
    return v >= r[0] && v <= r[1];
}

int IntParam::toText(char *buffer, size_t size, bool) {
    char text[16];
    snprintf(text, sizeof text, "%d", value());
    size_t len = strlen(text);
    // Size 0 writes it all; otherwise as snprintf, answering what was written.
    if (size != 0 && len >= size) len = size - 1;
    memcpy(buffer, text, len);
    buffer[len] = '\0';
    return static_cast<int>(len);
}

int IntParam::getText(int, char *buffer, size_t size) {
    return toText(buffer, size, true);
}

void IntParam::print(FILE *file) {
    fprintf(file, "%d", value());
}

bool IntParam::setText(const char *text, int length) {
    if (!text) return false;
    if (length > 30) return false;
    int32_t v = atoiRule(text, length);
    Guard g(*this);
    if (value_.load(std::memory_order_relaxed) != v) {
        value_.store(v, std::memory_order_relaxed);
        markChanged();
    }
    return true;
}

void IntParam::set(int32_t v) {
    const int32_t *r = range();
    if (r && (v < r[0] || v > r[1])) return;
    Guard g(*this);
    if (value_.load(std::memory_order_relaxed) != v) {
        value_.store(v, std::memory_order_relaxed);
        markChanged();
    }
}

bool IntParam::getSnmpValue(const void *&pointer, size_t &length) {
    if (flags() & ParamNoSnmp) return false;
    snmpValue_ = value();
    pointer = &snmpValue_;
    length = sizeof snmpValue_;
    return true;
}

int IntParam::setBySnmp(int phase, const uint8_t *value, int asnType, size_t length) {
    int64_t v = 0;
    switch (phase) {
    case SnmpReserve1: {
        if (flags() & ParamNoSnmp) return SnmpNoAccess;
        if ((asnType & 0xbf) != 2) return SnmpWrongType;
        if (length > 32 || !snmpInteger(value, length, v)) return SnmpWrongLength;
        const int32_t *r = range();
        if (r && (v < r[0] || v > r[1])) return SnmpWrongValue;
        if (v < INT32_MIN || v > INT32_MAX) return SnmpWrongValue;
        return SnmpNoError;
    }
    case SnmpAction: {
        if (!snmpInteger(value, length, v) || v < INT32_MIN || v > INT32_MAX) return SnmpGenErr;
        Guard g(*this);
        undo_ = value_.load(std::memory_order_relaxed);
        undoSet_ = true;
        if (undo_ != v) {
            value_.store(static_cast<int32_t>(v), std::memory_order_relaxed);
            markChanged();
        }
        return SnmpNoError;
    }
    case SnmpCommit:
        undoSet_ = false;
        commitTable();
        return SnmpNoError;
    case SnmpFree:
        undoSet_ = false;
        return SnmpNoError;
    case SnmpUndo: {
        // Only a value this write's action phase remembered comes back: a varbind
        // whose action never ran keeps its value.
        if (!undoSet_) return SnmpNoError;
        undoSet_ = false;
        Guard g(*this);
        value_.store(undo_, std::memory_order_relaxed);
        clearChanged();
        return SnmpNoError;
    }
    default:
        return SnmpNoError;
    }
}

JackStatesParam::JackStatesParam(const char *name, int limitCount, const int32_t *limits, uint32_t flags,
                                 int32_t def)
    : IntParam(name, limitCount, limits, flags, def) {}

// ---- BoolParam

BoolParam::BoolParam(const char *name, int limitCount, const int32_t *limits, uint32_t flags, int32_t def)
    : IntParam(name, limitCount, limits, flags, def) {}

bool BoolParam::validate(const char *text) {
    return text && (strcasecmp(text, "on") == 0 || strcasecmp(text, "off") == 0);
}

int BoolParam::toText(char *buffer, size_t size, bool translated) {
    const char *text = value() != 0 ? "on" : "off";
    if (translated) text = getmuText(value() != 0 ? "On" : "Off");
    size_t len = strlen(text);
    if (size != 0 && len + 1 > size) return 0;
    memcpy(buffer, text, len + 1);
    return static_cast<int>(len);
}

void BoolParam::print(FILE *file) {
    fputs(value() != 0 ? "on" : "off", file);
}

bool BoolParam::setText(const char *text, int length) {
    if (!text) return false;
    int32_t v;
    if ((length == -1 && strcmp(text, "on") == 0) || (length == 2 && memcmp(text, "on", 2) == 0))
        v = 1;
    else if ((length == -1 && strcmp(text, "off") == 0) || (length == 3 && memcmp(text, "off", 3) == 0))
        v = 0;
    else
        return false;
    // Two opposite sets before an apply leave the parameter unchanged.
    Guard g(*this);
    if (value_.load(std::memory_order_relaxed) != v) {
        value_.store(v, std::memory_order_relaxed);
        toggleChanged();
    }
    return true;
}

// ---- P3List

P3List::P3List(const char *name, int optionCount, P3Option *options, uint32_t flags, const char *defKeyword)
    : Param(name, options ? optionCount : 0, options, flags), options_(options), current_(None) {
    if (defKeyword) {
        int i = find(defKeyword, strlen(defKeyword));
        if (i >= 0) current_.store(i, std::memory_order_relaxed);
    }
}

int P3List::find(const char *keyword, size_t length) const {
    for (int i = 0; i < limitCount_; ++i) {
        const char *k = options_[i].keyword;
        if (k && strlen(k) == length && memcmp(k, keyword, length) == 0) return i;
    }
    return -1;
}

bool P3List::hasValue() {
    int32_t c = current();
    return c >= 0 && c < limitCount_;
}

bool P3List::validate(const char *text) {
    return text && find(text, strlen(text)) >= 0;
}

int P3List::getText(int selector, char *buffer, size_t size) {
    int column = 0;
    int32_t option = selector;
    if (selector < 0) {
        option = current();
    } else if (selector & (LabelColumn | CodeColumn)) {
        column = (selector & LabelColumn) ? 1 : 2;
        option = selector & 0xffff;
    }
    if (static_cast<uint32_t>(option) >= static_cast<uint32_t>(limitCount_)) {
        printf("ERROR P3List:%s nix:%d ill base idx:x%08x > %#x\n", name_, selector < 0 ? 1 : 0,
               static_cast<unsigned>(option), static_cast<unsigned>(limitCount_));
        return 0;
    }
    Guard g(*this);
    const P3Option &o = options_[option];
    const char *text = column == 0 ? o.keyword : column == 1 ? o.label : o.code;
    if (!text) text = "";
    if (column == 1 && (flags() & ParamTranslated)) text = getmuText(text);
    return copyOut(text, buffer, size);
}

int P3List::toText(char *buffer, size_t size, bool) {
    return getText(-1, buffer, size);
}

void P3List::print(FILE *file) {
    Guard g(*this);
    int32_t c = current();
    if (c >= 0 && c < limitCount_ && options_[c].keyword) fputs(options_[c].keyword, file);
}

bool P3List::setText(const char *text, int length) {
    if (!text) return false;
    size_t len = length < 0 ? strlen(text) : static_cast<size_t>(length);
    int i = find(text, len);
    if (i < 0) return false;
    Guard g(*this);
    // A set to the current keyword keeps a mark that an earlier set of the same batch
    // made: that change has not been acted on yet.
    if (current_.exchange(i, std::memory_order_relaxed) != i) markChanged();
    return true;
}

bool P3List::equals(const char *text) {
    int32_t c = current();
    if (!text || c < 0 || c >= limitCount_ || !options_[c].keyword) return false;
    return strcasecmp(options_[c].keyword, text) == 0;
}

bool P3List::equalsAny(const char *const *texts) {
    if (!texts) return false;
    for (; *texts; ++texts)
        if (equals(*texts)) return true;
    return false;
}

const char *P3List::displayText() {
    int32_t c = current();
    if (c < 0 || c >= limitCount_ || !options_[c].label) return "";
    const char *label = options_[c].label;
    return (flags() & ParamTranslated) ? getmuText(label) : label;
}

const char *P3List::choiceCode() {
    int32_t c = current();
    if (c < 0 || c >= limitCount_ || !options_[c].code) return "";
    return options_[c].code;
}

bool P3List::getSnmpValue(const void *&pointer, size_t &length) {
    int32_t c = current();
    if ((flags() & ParamNoSnmp) || c < 0 || c >= limitCount_) return false;
    const P3Option &o = options_[c];
    if (flags() & ParamSnmpText) {
        // Option tables are constant after start, so the keyword stays valid.
        pointer = o.keyword ? o.keyword : "";
        length = strlen(static_cast<const char *>(pointer));
        return true;
    }
    if (int n = snmpCodeNumber(o.code)) {
        snmpByte_ = static_cast<uint8_t>(n);
        pointer = &snmpByte_;
        length = 1;
        return true;
    }
    snmpValue_ = c;
    pointer = &snmpValue_;
    length = sizeof snmpValue_;
    return true;
}

int32_t P3List::snmpOption(int64_t number) const {
    // The inverse of the SNMP read: an option reads as the number of its "idx" code, or
    // as its index when it has none.
    for (int i = 0; i < limitCount_; ++i) {
        int n = snmpCodeNumber(options_[i].code);
        if ((n != 0 ? n : i) == number) return i;
    }
    return -1;
}

int P3List::setBySnmp(int phase, const uint8_t *value, int asnType, size_t length) {
    bool asText = flags() & ParamSnmpText;
    int64_t v = 0;
    switch (phase) {
    case SnmpReserve1:
        if (flags() & ParamNoSnmp) return SnmpNoAccess;
        if (asText) {
            if (asnType != 4) return SnmpWrongType;
            if (length > ParamMaxText) return SnmpWrongLength;
            if (!value || find(reinterpret_cast<const char *>(value), length) < 0) return SnmpWrongValue;
            return SnmpNoError;
        }
        if ((asnType & 0xbf) != 2) return SnmpWrongType;
        if (length > 32 || !snmpInteger(value, length, v)) return SnmpWrongLength;
        if (snmpOption(v) < 0) return SnmpWrongValue;
        return SnmpNoError;
    case SnmpAction:
        undo_ = current();
        undoSet_ = true;
        if (asText) {
            if (!value || length > ParamMaxText ||
                !setText(reinterpret_cast<const char *>(value), static_cast<int>(length)))
                return SnmpGenErr;
            return SnmpNoError;
        }
        if (!snmpInteger(value, length, v)) return SnmpGenErr;
        if (int32_t option = snmpOption(v); option < 0) {
            return SnmpGenErr;
        } else {
            Guard g(*this);
            if (current_.exchange(option, std::memory_order_relaxed) != option) markChanged();
        }
        return SnmpNoError;
    case SnmpCommit:
        undoSet_ = false;
        commitTable();
        return SnmpNoError;
    case SnmpFree:
        undoSet_ = false;
        return SnmpNoError;
    case SnmpUndo: {
        if (!undoSet_) return SnmpNoError;
        undoSet_ = false;
        Guard g(*this);
        // No option chosen before the write is a value of its own and comes back too.
        bool valid = undo_ == None || (undo_ >= 0 && undo_ < limitCount_);
        if (valid && undo_ != current()) {
            current_.store(undo_, std::memory_order_relaxed);
            clearChanged();
        }
        return SnmpNoError;
    }
    default:
        return SnmpNoError;
    }
}
