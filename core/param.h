// Parameter objects: every setting of the daemon and every status value the pages, SNMP
// and the mails show is one typed parameter derived from Param. A parameter has a fixed
// name, an optional range or option table, flag bits, its own lock and a changed mark.
// Setting one only stores the value and marks it changed; the parameter table acts on
// the changes later.
#pragma once

#include "core/address.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <pthread.h>
#include <string>

// Flag bits of a parameter.
enum : uint32_t {
    ParamStatus = 0x1,               // status value kept by the program
    ParamInternal = 0x2,             // not reachable over SNMP, left out of listings
    ParamConcealed = 0x4,            // a text value shows as "****"
    ParamNever = 0x8,                // never present on any product
    ParamTranslated = 0x10,          // translated on display (text value, option labels)
    ParamTemporary = 0x20,           // memory only: never saved, never acted on
    ParamHashed = 0x40,              // text kept in its hashed form
    ParamEmptyDefault = 0x80,        // an empty text resets the value to the default
    ParamAddressText = 0x100,        // a non-empty text must be an address with optional prefix
    ParamSlashes = 0x200,            // backslashes of a new text become slashes
    ParamFeatMail = 0x1000,          // product feature: mail, notifications, traps
    ParamFeatAccess = 0x2000,        // product feature: access control
    ParamFeatWlan = 0x4000,          // product feature: Wi-Fi
    ParamFeatPower = 0x8000,         // product feature: port power switching
    ParamFeatUcomp = 0x10000,        // product feature: (no parameter carries it)
    ParamFeatIpVlan = 0x20000,       // product feature: IP VLANs (no parameter carries it)
    ParamFeatDisplay = 0x40000,      // product feature: two-character display and fan
    ParamFeatDisplayCodes = 0x80000, // product feature: display codes for link and power
    ParamFeatBeeper = 0x100000,      // product feature: beeper
    ParamFeatSlot = 0x200000,        // product feature: storage slot
    ParamFeatRelay = 0x400000,       // product feature: relay output
    ParamFeatureMask = 0xfff000,     // all product feature bits
    ParamAbsent = 0x1000000,         // absent on this product
    ParamPerPort = 0x2000000,        // per-port family
    ParamPerDevice = 0x8000000,      // per-device family
    ParamSaved = 0x10000000,         // change class: applied and saved
    ParamSnmpText = 0x20000000,      // P3List: SNMP exchanges the keyword as a text
    ParamAtOnce = 0x40000000,        // change class: applied at once
};

// Change classes answered by Param::setFromText.
enum : int {
    ParamClassSaved = 0x80,
    ParamClassAtOnce = 2,
    ParamClassRestart = 4,
};

// SNMP write phases of the agent, and the error statuses the parameters answer.
enum : int {
    SnmpReserve1 = 0,
    SnmpReserve2 = 1,
    SnmpAction = 2,
    SnmpCommit = 3,
    SnmpFree = 4,
    SnmpUndo = 5,
};
enum : int {
    SnmpNoError = 0,
    SnmpNoAccess = 2,
    SnmpGenErr = 5,
    SnmpNotWritable = 6,
    SnmpWrongType = 7,
    SnmpWrongLength = 8,
    SnmpWrongValue = 10,
};

// The longest text setFromText takes.
constexpr int ParamMaxText = 1024;

// Hooks of the parameter table, set by it at start: the SNMP commit phase saves the
// table when something changed, and the commit of "ip_addr" sets "ip_setby" by name.
// Unset hooks do nothing (and find nothing).
using ParamSaveHook = int (*)();
class Param;
using ParamFindHook = Param *(*)(const char *name);
void setParamTableHooks(ParamSaveHook save, ParamFindHook find);

class Param {
public:
    Param(const char *name, int limitCount, const void *limits, uint32_t flags);
    Param(const Param &) = delete;
    Param &operator=(const Param &) = delete;
    virtual ~Param();

    // True when the text is acceptable; never changes the value.
    virtual bool validate(const char *text) = 0;
    // The text form of the value into buffer; the number of characters written.
    virtual int toText(char *buffer, size_t size, bool translated) = 0;
    // A P3List picks entry and column with the selector; other kinds give
    // toText(buffer, size, true).
    virtual int getText(int selector, char *buffer, size_t size) = 0;
    // Writes the file form of the value.
    virtual void print(FILE *file) = 0;
    // Takes the text (length -1: up to the terminator); true when taken, also when the
    // value stays the same. Marks the parameter changed only when the value changed.
    virtual bool setText(const char *text, int length) = 0;
    virtual bool hasValue() = 0;
    // A pointer to the value bytes for an SNMP read and their length; false for
    // internal or absent parameters. Reads come from the agent's thread: the bytes stay
    // in the parameter until its next SNMP read (texts: until the calling thread's next
    // SNMP read of a text).
    virtual bool getSnmpValue(const void *&pointer, size_t &length) = 0;
    // One phase of an SNMP write; the SNMP error status (0 = no error).
    virtual int setBySnmp(int phase, const uint8_t *value, int asnType, size_t length);
    // The common text setter: 0 when refused, else the change class.
    virtual int setFromText(const char *text, int length);
    virtual int optionCount() { return 1; }
    virtual bool isOn() { return false; }
    virtual bool isOff() { return true; }

    const char *name() const { return name_; }
    uint32_t flags() const { return flags_.load(std::memory_order_relaxed); }
    bool hasFlags(uint32_t bits) const { return (flags() & bits) != 0; }
    // Marks the parameter absent on this product (or present again).
    void setAbsent(bool absent);
    bool isAbsent() const { return hasFlags(ParamAbsent); }
    int limitCount() const { return limitCount_; }
    // The range {min, max} of an integer, on/off or text parameter, null when none.
    const int32_t *range() const {
        return limitCount_ == 2 ? static_cast<const int32_t *>(limits_) : nullptr;
    }

    bool isChanged() const { return changed_.load(std::memory_order_relaxed) != 0; }
    void clearChanged() { changed_.store(0, std::memory_order_relaxed); }
    // Clears the mark and tells whether it was set.
    bool takeChanged() { return changed_.exchange(0, std::memory_order_relaxed) != 0; }

protected:
    void lock();
    void unlock();
    void markChanged() { changed_.store(1, std::memory_order_relaxed); }
    void setChanged(bool on) { changed_.store(on ? 1 : 0, std::memory_order_relaxed); }
    void toggleChanged() { changed_.fetch_xor(1, std::memory_order_relaxed); }
    // The change class of setFromText.
    int changeClass() const;
    // Phase 3 of an SNMP write: save the table when something changed.
    static int commitTable();
    // The parameter of that name in the table; null when none (or no table).
    static Param *findParam(const char *name);

    // Holds the parameter's lock for a scope.
    class Guard {
    public:
        explicit Guard(Param &p) : p_(p) { p_.lock(); }
        ~Guard() { p_.unlock(); }
        Guard(const Guard &) = delete;
        Guard &operator=(const Guard &) = delete;

    private:
        Param &p_;
    };

    pthread_mutex_t mutex_;
    const char *name_;
    std::atomic<uint32_t> flags_;
    const void *limits_;
    int limitCount_;
    std::atomic<uint8_t> changed_{0};
};

// A 32-bit signed integer.
class IntParam : public Param {
public:
    IntParam(const char *name, int limitCount, const int32_t *limits, uint32_t flags, int32_t def);

    bool validate(const char *text) override;
    int toText(char *buffer, size_t size, bool translated) override;
    int getText(int selector, char *buffer, size_t size) override;
    void print(FILE *file) override;
    bool setText(const char *text, int length) override;
    bool hasValue() override { return true; }
    bool getSnmpValue(const void *&pointer, size_t &length) override;
    int setBySnmp(int phase, const uint8_t *value, int asnType, size_t length) override;
    bool isOn() override { return value() != 0; }
    bool isOff() override { return value() == 0; }

    int32_t value() const { return value_.load(std::memory_order_relaxed); }
    // Stores the value when it lies in the range (if any); marks changed when it differs.
    void set(int32_t v);

protected:
    std::atomic<int32_t> value_;
    int32_t snmpValue_ = 0; // the SNMP read copy
    int32_t undo_ = 0;      // the value before an SNMP write's action phase
    bool undoSet_ = false;  // undo_ belongs to the write in progress
};

// The jack states word: behaves exactly as an integer.
class JackStatesParam : public IntParam {
public:
    JackStatesParam(const char *name, int limitCount, const int32_t *limits, uint32_t flags, int32_t def);
};

// On or off (value 0 or 1, range {0, 1}).
class BoolParam : public IntParam {
public:
    BoolParam(const char *name, int limitCount, const int32_t *limits, uint32_t flags, int32_t def);

    bool validate(const char *text) override;
    int toText(char *buffer, size_t size, bool translated) override;
    void print(FILE *file) override;
    bool setText(const char *text, int length) override;
    const char *yesNoText() { return value() != 0 ? "yes" : "no"; }
};

// One entry of an enumeration's option table.
struct P3Option {
    const char *keyword; // the value in the file, in forms and in SNMP text
    const char *label;   // the text for display
    const char *code;    // extra text for particular readers; "" when unused
};

// An enumeration over an option table.
class P3List : public Param {
public:
    // The index of no option.
    static constexpr int32_t None = INT32_MIN;
    // Selector bits of getText.
    static constexpr int LabelColumn = 0x10000;
    static constexpr int CodeColumn = 0x20000;

    P3List(const char *name, int optionCount, P3Option *options, uint32_t flags, const char *defKeyword);

    bool validate(const char *text) override;
    int toText(char *buffer, size_t size, bool translated) override;
    int getText(int selector, char *buffer, size_t size) override;
    void print(FILE *file) override;
    bool setText(const char *text, int length) override;
    bool hasValue() override;
    bool getSnmpValue(const void *&pointer, size_t &length) override;
    int setBySnmp(int phase, const uint8_t *value, int asnType, size_t length) override;
    int optionCount() override { return limitCount_; }

    // The current keyword equals the text, case-insensitively.
    virtual bool equals(const char *text);
    // equals for each text of a null-terminated list; true at the first match.
    virtual bool equalsAny(const char *const *texts);

    // The current index, None when no option is chosen.
    int32_t current() const { return current_.load(std::memory_order_relaxed); }
    P3Option *options() const { return options_; }
    // The label of the current option (translated with flag 0x10); "" when none.
    const char *displayText();
    // The code (third column) of the current option; "" when none is chosen.
    const char *choiceCode();
    // The index of a keyword (case-sensitive), -1 when none.
    int find(const char *keyword, size_t length) const;

private:
    // The option an SNMP number selects, the one that reads as that number; -1 when none.
    int32_t snmpOption(int64_t number) const;

    P3Option *options_;
    std::atomic<int32_t> current_;
    int32_t snmpValue_ = 0;
    uint8_t snmpByte_ = 0;
    int32_t undo_ = None;
    bool undoSet_ = false;
};

// A text: name, password, host name, path...
class StringParam : public Param {
public:
    // The placeholder a form shows for a hashed secret.
    static constexpr const char *HashPlaceholder = "qzH7tRw2LmYc0";

    StringParam(const char *name, int limitCount, const int32_t *limits, uint32_t flags, const char *def);
    ~StringParam() override;

    bool validate(const char *text) override;
    int toText(char *buffer, size_t size, bool translated) override;
    int getText(int selector, char *buffer, size_t size) override;
    void print(FILE *file) override;
    bool setText(const char *text, int length) override;
    bool hasValue() override;
    bool getSnmpValue(const void *&pointer, size_t &length) override;
    int setBySnmp(int phase, const uint8_t *value, int asnType, size_t length) override;

    // A copy of the current text (translated with flag 0x10 when it has a value), taken
    // under the lock: other threads may replace the value meanwhile.
    std::string getText();
    const char *defaultText() const { return default_; }

private:
    // Replaces the current text by length characters of text (backslashes turned into
    // slashes when asked). Called under the lock.
    void replace(const char *text, size_t length, bool slashes);

    const char *default_;
    // The one copy of the current text, under the lock: readers get copies of it, so
    // no text outlives its value.
    std::string value_;
    char *undo_ = nullptr; // the text before an SNMP write's action phase
    bool undoSet_ = false;
};

// A hardware address.
class MacParam : public Param {
public:
    MacParam(const char *name, int limitCount, const int32_t *limits, uint32_t flags,
             const char *interfaceName);

    bool validate(const char *text) override;
    int toText(char *buffer, size_t size, bool translated) override;
    int getText(int selector, char *buffer, size_t size) override;
    void print(FILE *file) override;
    bool setText(const char *text, int length) override;
    bool hasValue() override;
    bool getSnmpValue(const void *&pointer, size_t &length) override;
    int setBySnmp(int phase, const uint8_t *value, int asnType, size_t length) override;

    // A copy of the address, taken under the lock.
    MacAddress address();

private:
    MacAddress mac_;
    uint8_t snmpBytes_[6] = {};
    MacAddress undo_;
    bool undoSet_ = false;
};

// An IPv4 address (dotted text only); the base of the other address kinds.
class IpParam : public Param {
public:
    IpParam(const char *name, int limitCount, const int32_t *limits, uint32_t flags, const char *defText);

    bool validate(const char *text) override;
    int toText(char *buffer, size_t size, bool translated) override;
    int getText(int selector, char *buffer, size_t size) override;
    void print(FILE *file) override;
    bool setText(const char *text, int length) override;
    bool hasValue() override;
    bool getSnmpValue(const void *&pointer, size_t &length) override;
    int setBySnmp(int phase, const uint8_t *value, int asnType, size_t length) override;
    // The value is an IPv4 address in 169.254.0.0/16.
    virtual bool isLinkLocal4();

    // A copy of the address, taken under the lock.
    InetAddress address();
    // Stores the address; marks changed when it differs.
    void set(const InetAddress &address);

protected:
    // Parses the text of this kind; false when it does not parse.
    virtual bool parseText(const char *text, InetAddress &out);
    // Phase 3 of an SNMP write of an address.
    int commitAddress();
    // The bytes of the address for an SNMP read (IPv4: 4, IPv6: 16).
    bool addressBytes(const void *&pointer, size_t &length);

    InetAddress addr_;
    uint8_t snmpBytes_[16] = {};
    InetAddress undo_;
    // undo_ belongs to the write in progress: only its action phase remembers a value,
    // and an undo without one (or after the commit) changes nothing.
    bool undoSet_ = false;
};

// An IPv6 address.
class Ip6Address : public IpParam {
public:
    Ip6Address(const char *name, int limitCount, const int32_t *limits, uint32_t flags, const char *defText);

    bool validate(const char *text) override;
    int setBySnmp(int phase, const uint8_t *value, int asnType, size_t length) override;

protected:
    bool parseText(const char *text, InetAddress &out) override;
};

// An IPv4 or IPv6 address (also 32 hexadecimal digits); SNMP exchanges it as text.
class InetParam : public IpParam {
public:
    InetParam(const char *name, int limitCount, const int32_t *limits, uint32_t flags, const char *defText);

    bool validate(const char *text) override;
    bool getSnmpValue(const void *&pointer, size_t &length) override;
    int setBySnmp(int phase, const uint8_t *value, int asnType, size_t length) override;

protected:
    bool parseText(const char *text, InetAddress &out) override;
};
