// The address kinds: hardware addresses, IPv4 addresses, IPv6 addresses and addresses
// of either family.

#include "core/param.h"

#include "core/param_internal.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstring>

namespace {

// Longest address text a parameter takes (32 hexadecimal digits, or a full IPv6 text).
constexpr size_t AddressTextSize = 64;

// Six hexadecimal fields, all separated by ':' or all by '-', each not above 255.
bool validMacText(const char *text) {
    if (!text) return false;
    char separator = strchr(text, '-') ? '-' : ':';
    const char *p = text;
    for (int field = 0; field < 6; ++field) {
        if (field > 0) {
            if (*p != separator) return false;
            ++p;
        }
        unsigned v = 0;
        int digits = 0;
        while (isxdigit(static_cast<unsigned char>(*p))) {
            v = v * 16 + (isdigit(static_cast<unsigned char>(*p)) ? *p - '0' : (tolower(*p) - 'a' + 10));
            if (v > 255) return false;
            ++p;
            ++digits;
        }
        if (digits == 0) return false;
    }
    return *p == '\0';
}

// Four decimal fields separated by dots, each below 256.
bool validIpv4Text(const char *text) {
    if (!text) return false;
    const char *p = text;
    for (int field = 0; field < 4; ++field) {
        if (field > 0) {
            if (*p != '.') return false;
            ++p;
        }
        unsigned v = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            v = v * 10 + static_cast<unsigned>(*p - '0');
            if (v > 255) return false;
            ++p;
            ++digits;
        }
        if (digits == 0) return false;
    }
    return *p == '\0';
}

bool parseIpv6(const char *text, InetAddress &out) {
    in6_addr a{};
    if (!text || inet_pton(AF_INET6, text, &a) != 1) return false;
    out = InetAddress();
    out.reset(true);
    memcpy(out.ipv6Bytes(), &a, sizeof a);
    return true;
}

// The address text of an SNMP write of an IPv6 or either-family address; false when it
// is too long to be one.
bool snmpAddressText(const uint8_t *value, size_t length, char (&text)[AddressTextSize]) {
    if (length > 40 || (length > 0 && !value)) return false;
    if (length) memcpy(text, value, length);
    text[length] = '\0';
    return strlen(text) == length;
}

} // namespace

// ---- MacParam

MacParam::MacParam(const char *name, int limitCount, const int32_t *limits, uint32_t flags,
                   const char *interfaceName)
    : Param(name, limitCount, limits, flags) {
    if (interfaceName && *interfaceName) mac_ = MacAddress::fromInterface(interfaceName);
}

MacAddress MacParam::address() {
    Guard g(*this);
    return mac_;
}

bool MacParam::validate(const char *text) {
    return validMacText(text);
}

int MacParam::toText(char *buffer, size_t size, bool) {
    if (size < 18) return 0;
    MacAddress a = address();
    return static_cast<int>(a.print(buffer, size));
}

int MacParam::getText(int, char *buffer, size_t size) {
    return toText(buffer, size, true);
}

void MacParam::print(FILE *file) {
    address().printTo(file);
}

bool MacParam::setText(const char *text, int length) {
    char copy[AddressTextSize];
    if (!copyText(text, length, copy, sizeof copy)) return false;
    Guard g(*this);
    MacAddress next = mac_;
    if (!next.parse(copy)) return false;
    mac_ = next;
    markChanged();
    return true;
}

bool MacParam::hasValue() {
    MacAddress a = address();
    for (uint8_t b : a.bytes)
        if (b) return true;
    return false;
}

bool MacParam::getSnmpValue(const void *&pointer, size_t &length) {
    if (flags() & ParamNoSnmp) return false;
    MacAddress a = address();
    memcpy(snmpBytes_, a.bytes, sizeof snmpBytes_);
    pointer = snmpBytes_;
    length = sizeof snmpBytes_;
    return true;
}

int MacParam::setBySnmp(int phase, const uint8_t *value, int asnType, size_t length) {
    switch (phase) {
    case SnmpReserve1:
        if (flags() & ParamNoSnmp) return SnmpNoAccess;
        if (asnType != 4) return SnmpWrongType;
        if (length != 6 || !value) return SnmpWrongLength;
        return SnmpNoError;
    case SnmpAction: {
        if (length != 6 || !value) return SnmpGenErr;
        Guard g(*this);
        undo_ = mac_;
        undoSet_ = true;
        MacAddress next;
        next.assign(value);
        if (next.differs(mac_)) {
            mac_ = next;
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
        if (!undoSet_) return SnmpNoError;
        undoSet_ = false;
        Guard g(*this);
        mac_ = undo_;
        clearChanged();
        return SnmpNoError;
    }
    default:
        return SnmpNoError;
    }
}

// ---- IpParam

IpParam::IpParam(const char *name, int limitCount, const int32_t *limits, uint32_t flags, const char *defText)
    : Param(name, limitCount, limits, flags) {
    in_addr a{};
    if (defText && inet_pton(AF_INET, defText, &a) == 1) addr_ = InetAddress::fromIpv4(a.s_addr);
}

InetAddress IpParam::address() {
    Guard g(*this);
    return addr_;
}

void IpParam::set(const InetAddress &address) {
    Guard g(*this);
    if (address.differs(addr_)) {
        addr_ = address;
        markChanged();
    }
}

bool IpParam::parseText(const char *text, InetAddress &out) {
    in_addr a{};
    if (!text || inet_pton(AF_INET, text, &a) != 1) return false;
    out = InetAddress::fromIpv4(a.s_addr);
    return true;
}

bool IpParam::validate(const char *text) {
    return validIpv4Text(text);
}

bool IpParam::setText(const char *text, int length) {
    char copy[AddressTextSize];
    InetAddress next;
    if (!copyText(text, length, copy, sizeof copy) || !parseText(copy, next)) return false;
    // An unchanged address reads as refused.
    Guard g(*this);
    if (next.equals(addr_)) return false;
    addr_ = next;
    markChanged();
    return true;
}

int IpParam::toText(char *buffer, size_t size, bool) {
    InetAddress a = address();
    char text[AddressTextSize];
    size_t len = a.print(text, sizeof text);
    if (size != 0 && size < (a.isV6() ? 40u : 20u)) return 0;
    // An IPv6 text can be longer than 39 characters: never write past the buffer.
    if (size != 0 && len >= size) return 0;
    memcpy(buffer, text, len + 1);
    return static_cast<int>(len);
}

int IpParam::getText(int, char *buffer, size_t size) {
    return toText(buffer, size, true);
}

void IpParam::print(FILE *file) {
    address().printTo(file);
}

bool IpParam::hasValue() {
    return address().isSet();
}

bool IpParam::isLinkLocal4() {
    return address().isLinkLocal();
}

bool IpParam::addressBytes(const void *&pointer, size_t &length) {
    InetAddress a = address();
    if (a.family() == AF_INET) {
        uint32_t v = a.ipv4();
        memcpy(snmpBytes_, &v, 4);
        length = 4;
    } else if (a.family() == AF_INET6) {
        memcpy(snmpBytes_, a.ipv6Bytes(), 16);
        length = 16;
    } else {
        return false;
    }
    pointer = snmpBytes_;
    return true;
}

bool IpParam::getSnmpValue(const void *&pointer, size_t &length) {
    if (flags() & ParamNoSnmp) return false;
    return addressBytes(pointer, length);
}

int IpParam::commitAddress() {
    if (strcmp(name_, "ip_addr") == 0) {
        if (Param *setBy = findParam("ip_setby")) setBy->setFromText("snmp", -1);
    }
    commitTable();
    return SnmpNoError;
}

int IpParam::setBySnmp(int phase, const uint8_t *value, int asnType, size_t length) {
    switch (phase) {
    case SnmpReserve1:
        if (flags() & ParamNoSnmp) return SnmpNoAccess;
        if (asnType != 0x40) return SnmpWrongType;
        if (length >= 33 || length < 4 || !value) return SnmpWrongLength;
        return SnmpNoError;
    case SnmpAction: {
        if (length < 4 || !value) return SnmpGenErr;
        undo_ = address();
        undoSet_ = true;
        uint32_t v;
        memcpy(&v, value, 4); // network byte order as it came
        set(InetAddress::fromIpv4(v));
        return SnmpNoError;
    }
    case SnmpCommit:
        undoSet_ = false;
        return commitAddress();
    case SnmpFree:
        undoSet_ = false;
        return SnmpNoError;
    case SnmpUndo:
        if (!undoSet_) return SnmpNoError;
        undoSet_ = false;
        set(undo_);
        clearChanged();
        return SnmpNoError;
    default:
        return SnmpNoError;
    }
}

// ---- Ip6Address

Ip6Address::Ip6Address(const char *name, int limitCount, const int32_t *limits, uint32_t flags,
                       const char *defText)
    : IpParam(name, limitCount, limits, flags, nullptr) {
    if (!parseIpv6(defText, addr_)) {
        printf("ERROR: Ip6Address initialization faild with:[%s]!\n", defText ? defText : "");
        addr_ = InetAddress();
        addr_.reset(true);
    }
}

bool Ip6Address::parseText(const char *text, InetAddress &out) {
    return parseIpv6(text, out);
}

bool Ip6Address::validate(const char *text) {
    InetAddress a;
    return parseIpv6(text, a);
}

int Ip6Address::setBySnmp(int phase, const uint8_t *value, int asnType, size_t length) {
    char text[AddressTextSize];
    InetAddress next;
    switch (phase) {
    case SnmpReserve1:
        if (flags() & ParamNoSnmp) return SnmpNoAccess;
        if (asnType != 4) return SnmpWrongType;
        if (length > 40) return SnmpWrongLength;
        if (!snmpAddressText(value, length, text) || !parseIpv6(text, next)) return SnmpWrongType;
        return SnmpNoError;
    case SnmpAction:
        undo_ = address();
        undoSet_ = true;
        if (snmpAddressText(value, length, text) && parseIpv6(text, next)) set(next);
        return SnmpNoError;
    default:
        return IpParam::setBySnmp(phase, value, 0x40, 4);
    }
}

// ---- InetParam

InetParam::InetParam(const char *name, int limitCount, const int32_t *limits, uint32_t flags,
                     const char *defText)
    : IpParam(name, limitCount, limits, flags, nullptr) {
    InetAddress a;
    if (defText && a.parse(defText)) addr_ = a;
}

bool InetParam::parseText(const char *text, InetAddress &out) {
    InetAddress a;
    if (!text || !a.parse(text)) return false;
    out = a;
    return true;
}

bool InetParam::validate(const char *text) {
    InetAddress a;
    return text && a.parse(text);
}

bool InetParam::getSnmpValue(const void *&pointer, size_t &length) {
    if (flags() & ParamNoSnmp) return false;
    char text[AddressTextSize];
    size_t len;
    {
        Guard g(*this);
        len = addr_.print(text, sizeof text);
    }
    std::string &buffer = snmpTextBuffer();
    buffer.assign(text, len);
    pointer = buffer.data();
    length = buffer.size();
    return true;
}

int InetParam::setBySnmp(int phase, const uint8_t *value, int asnType, size_t length) {
    char text[AddressTextSize];
    InetAddress next;
    switch (phase) {
    case SnmpReserve1:
        if (flags() & ParamNoSnmp) return SnmpNoAccess;
        if (asnType != 4) return SnmpWrongType;
        if (length > 40) return SnmpWrongLength;
        if (!snmpAddressText(value, length, text) || !parseText(text, next)) return SnmpWrongType;
        return SnmpNoError;
    case SnmpAction:
        undo_ = address();
        undoSet_ = true;
        if (snmpAddressText(value, length, text) && parseText(text, next)) set(next);
        return SnmpNoError;
    default:
        return IpParam::setBySnmp(phase, value, 0x40, 4);
    }
}
