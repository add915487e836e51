#include "usbserver/usb_uevent.h"

#include <cstring>

namespace {

bool startsWith(const char *s, size_t n, const char *prefix) {
    size_t p = std::strlen(prefix);
    return n >= p && std::memcmp(s, prefix, p) == 0;
}

// A decimal (at most 9 digits) or hexadecimal (at most 7 digits) number at the start of
// [s, end): always within 32 bits. False when there is none or it is longer. Moves s
// past it.
bool number(const char *&s, const char *end, int base, int32_t &out) {
    int32_t v = 0;
    int digits = 0;
    while (s < end) {
        char c = *s;
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            break;
        if (++digits > (base == 16 ? 7 : 9)) return false;
        v = v * base + d;
        s++;
    }
    if (digits == 0) return false;
    out = v;
    return true;
}

// Up to three numbers separated by '/': "a/b/c". Missing ones stay as they are.
void triple(const char *s, const char *end, int base0, int base1, int base2, int32_t &a, int32_t &b,
            int32_t &c) {
    if (!number(s, end, base0, a) || s >= end || *s != '/') return;
    s++;
    if (!number(s, end, base1, b) || s >= end || *s != '/') return;
    s++;
    number(s, end, base2, c);
}

// A sysfs device path that may be appended to "/sys": absolute, bounded, printable
// ASCII, without empty, "." or ".." components.
bool acceptablePath(const char *s, size_t n) {
    if (n < 2 || n >= sizeof(Uevent::devpath) || s[0] != '/') return false;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x21 || c > 0x7E) return false;
        if (c == '/') {
            size_t j = i + 1;
            while (j < n && s[j] != '/')
                j++;
            size_t len = j - i - 1;
            if (len == 0) return false; // "//" or a trailing "/"
            if ((len == 1 && s[i + 1] == '.') || (len == 2 && s[i + 1] == '.' && s[i + 2] == '.'))
                return false;
        }
    }
    return true;
}

} // namespace

bool ueventWanted(const char *data, size_t length) {
    if (data == nullptr || length <= 16) return false;
    size_t n = 0;
    while (n < length && data[n] != '\0' && data[n] != '\n')
        n++;
    for (size_t i = 0; i + 6 <= n; i++) {
        if (std::memcmp(data + i, "kernel", 6) == 0) return false;
    }
    return true;
}

bool parseUevent(const char *data, size_t length, Uevent &out) {
    out = Uevent();
    if (data == nullptr) return false;
    if (length > UeventMaxLength) length = UeventMaxLength;
    if (startsWith(data, length, "add@"))
        out.action = Uevent::Add;
    else if (startsWith(data, length, "remove@"))
        out.action = Uevent::Remove;
    else
        return false;

    const char *end = data + length;
    const char *s = static_cast<const char *>(std::memchr(data, '\0', length));
    while (s != nullptr && s < end) {
        s++; // past the zero that ends the previous text
        const char *z = static_cast<const char *>(std::memchr(s, '\0', static_cast<size_t>(end - s)));
        const char *e = z ? z : end;
        size_t n = static_cast<size_t>(e - s);
        const char *v;
        if (startsWith(s, n, "MAJOR=")) {
            v = s + 6;
            number(v, e, 10, out.major);
        } else if (startsWith(s, n, "MINOR=")) {
            v = s + 6;
            number(v, e, 10, out.minor);
        } else if (startsWith(s, n, "BUSNUM=")) {
            v = s + 7;
            number(v, e, 10, out.busNumber);
        } else if (startsWith(s, n, "DEVNUM=")) {
            v = s + 7;
            number(v, e, 10, out.deviceNumber);
        } else if (startsWith(s, n, "PRODUCT=")) {
            triple(s + 8, e, 16, 16, 10, out.vendorId, out.productId, out.release);
        } else if (startsWith(s, n, "TYPE=")) {
            triple(s + 5, e, 10, 10, 10, out.deviceClass, out.deviceSubclass, out.deviceProtocol);
        } else if (n == 18 && startsWith(s, n, "DEVTYPE=usb_device")) {
            out.usbDevice = true;
        } else if (startsWith(s, n, "DEVNAME=mmcblk0")) {
            out.storageSlot = true;
        } else if (startsWith(s, n, "DEVPATH=")) {
            if (acceptablePath(s + 8, n - 8)) {
                std::memcpy(out.devpath, s + 8, n - 8);
                out.devpath[n - 8] = '\0';
                out.hasDevpath = true;
            } else {
                out.hasDevpath = false;
                out.devpath[0] = '\0';
            }
        }
        s = z;
    }
    return true;
}
