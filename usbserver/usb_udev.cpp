#include "usbserver/usb_udev.h"

#include "core/platform.h"
#include "core/sysinfo.h"
#include "core/ticks.h"
#include "usbserver/usb_device.h"
#include "usbserver/usb_quirks.h"
#include "usbserver/usb_uevent.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

// Longest device descriptor block of sysfs: the device descriptor and 32
// configurations of at most 8192 bytes each.
constexpr size_t MaxDescriptorsFile = 18 + 32 * 8192;

// Up to 3 decimal digits at s; -1 when there are none or more.
int smallNumber(const char *&s) {
    int v = 0, digits = 0;
    while (*s >= '0' && *s <= '9') {
        if (++digits > 3) return -1;
        v = v * 10 + (*s - '0');
        s++;
    }
    return digits == 0 ? -1 : v;
}

// m.o.t of a devpath; missing numbers are 0. False for anything that is not one to
// three small numbers separated by dots.
bool splitDevpath(const char *devpath, int &m, int &o, int &t) {
    m = o = t = 0;
    int *parts[3] = {&m, &o, &t};
    const char *s = devpath;
    for (int i = 0; i < 3; i++) {
        int v = smallNumber(s);
        if (v < 0) return false;
        *parts[i] = v;
        if (*s == '\0') return true;
        if (*s != '.') return false;
        s++;
    }
    // Deeper paths: the first three numbers decide.
    return *s >= '0' && *s <= '9';
}

// The first line of a sysfs attribute, at most size - 1 bytes; empty when unreadable.
void readText(const std::string &dir, const char *name, char *buf, size_t size) {
    buf[0] = '\0';
    if (!readFileLine(buf, size, dir + "/" + name)) buf[0] = '\0';
    size_t n = std::strlen(buf);
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r'))
        buf[--n] = '\0';
}

// The number at the start of a sysfs attribute ("500mA" gives 500); 0 when unreadable.
long readNumber(const std::string &dir, const char *name, int base) {
    char text[64];
    readText(dir, name, text, sizeof text);
    errno = 0;
    char *end = nullptr;
    long v = std::strtol(text, &end, base);
    if (end == text || errno != 0 || v < 0 || v > 0x7FFFFFFF) return 0;
    return v;
}

// The binary "descriptors" attribute: the device descriptor, then every configuration
// with all its descriptors. False on any shortfall or inconsistency.
bool readDescriptors(const std::string &dir, UsbDevice &dev) {
    int f = ::open((dir + "/descriptors").c_str(), O_RDONLY | O_CLOEXEC);
    if (f < 0) return false;
    std::vector<uint8_t> data(MaxDescriptorsFile);
    size_t have = 0;
    while (have < data.size()) {
        ssize_t n = ::read(f, data.data() + have, data.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += static_cast<size_t>(n);
    }
    ::close(f);
    if (have < 18 || data[1] != 1 || data[17] < 1 || data[17] > 32) return false;
    std::memcpy(dev.deviceDescriptor, data.data(), 18);
    size_t off = 18;
    dev.configurations.clear();
    for (int c = 0; c < data[17]; c++) {
        if (off + 9 > have || data[off + 1] != 2) return false;
        size_t total = data[off + 2] | data[off + 3] << 8;
        if (total < 9 || total > 8192 || off + total > have) return false;
        UsbConfiguration config;
        config.descriptor.assign(data.begin() + static_cast<long>(off),
                                 data.begin() + static_cast<long>(off + total));
        dev.configurations.push_back(std::move(config));
        off += total;
    }
    return true;
}

// Creates a directory when absent, with exactly that mode.
bool makeDirectory(const std::string &path, mode_t mode) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (::mkdir(path.c_str(), mode) < 0 && errno != EEXIST) return false;
    return ::chmod(path.c_str(), mode) == 0;
}

// "/dev/bus/usb/BBB" and the node "/dev/bus/usb/BBB/DDD" when absent.
bool makeDeviceNode(int bus, int devnum, int major, int minor) {
    char name[32];
    std::snprintf(name, sizeof name, "/%03d", bus);
    std::string dir = usbPaths().devBusUsb + name;
    if (!makeDirectory(dir, 0755)) return false;
    std::snprintf(name, sizeof name, "/%03d", devnum);
    std::string node = dir + name;
    struct stat st;
    if (::lstat(node.c_str(), &st) == 0) return true;
    if (platform().mknodChar(node.c_str(), 0660,
                             makedev(static_cast<unsigned>(major), static_cast<unsigned>(minor))) == 0)
        return true;
    return errno == EEXIST;
}

// Opens the usbfs file of the scratch entry, parses its configurations, fills the
// string cache and closes the file again.
bool probe(UsbDevice &dev, int entryNumber) {
    char name[32];
    std::snprintf(name, sizeof name, "/%03d/%03d", dev.busNumber, dev.deviceNumber);
    std::string path = usbPaths().devBusUsb + name;
    int f = platform().open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (f < 0) return false;
    dev.fd = f;
    bool ok = dev.parseConfigurations(entryNumber);
    if (ok) {
        char text[64];
        const uint8_t *d = dev.deviceDescriptor;
        dev.stringToText(d[14], text, sizeof text);
        dev.stringToText(d[15], text, sizeof text);
        dev.stringToText(d[16], text, sizeof text);
        if (dev.versionMajor >= 2 && !hasQuirk(dev, QuirkNoString238))
            dev.stringToText(0xEE, text, sizeof text);
    }
    dev.closeFile();
    return ok;
}

// The first non-empty entry that holds the device of the uevent, -1 when none.
int findEntry(const Uevent &ev) {
    int count = std::min(usbDeviceCount.load(), UsbDeviceTableSize);
    for (int i = 0; i < count; i++) {
        UsbDevice &e = usbDeviceTable[i];
        if (e.state.load() == UsbEntryEmpty) continue;
        if (e.major == ev.major && e.minor == ev.minor && e.busNumber == ev.busNumber &&
            e.deviceNumber == ev.deviceNumber && e.productId == ev.productId && e.vendorId == ev.vendorId)
            return i;
    }
    return -1;
}

int handleRemove(const Uevent &ev) {
    int i = findEntry(ev);
    if (i >= 0) {
        UsbDevice &e = usbDeviceTable[i];
        e.removed = 1;
        // A client still holds it (the uevent came before its task saw the file hang
        // up): that task takes it from the client and then finishes the removal, so
        // that no descriptor or record outlives the entry.
        if (e.state.load() == UsbEntryOpened && usbDeviceHooks().takeFromClient &&
            usbDeviceHooks().takeFromClient(e))
            return i;
        if (usbDeviceHooks().disconnected) usbDeviceHooks().disconnected(e);
        e.clear();
        return i;
    }
    return -1;
}

int handleAdd(const Uevent &ev, unsigned productId, unsigned hwMajor) {
    // An "add" repeated for a device that is in the table already (a replay of the
    // kernel's events) must not give it a second entry.
    if (findEntry(ev) >= 0) return -1;
    // The scratch entry lives on the heap: its buffers are large for a task's stack.
    auto scratch = std::make_unique<UsbDevice>();
    UsbDevice &dev = *scratch;
    std::string dir = usbPaths().sys + ev.devpath;

    dev.major = ev.major;
    dev.minor = ev.minor;
    dev.busNumber = ev.busNumber;
    dev.deviceNumber = ev.deviceNumber;
    dev.vendorId = ev.vendorId;
    dev.productId = ev.productId;
    dev.deviceClass = ev.deviceClass;
    dev.deviceSubclass = ev.deviceSubclass;
    if (dev.busNumber < 1 || dev.busNumber > 999 || dev.deviceNumber < 1 || dev.deviceNumber > 999) return -1;

    dev.maxPower = static_cast<int32_t>(readNumber(dir, "bMaxPower", 10));
    long release = readNumber(dir, "bcdDevice", 16);
    if (dev.vendorId == 0x0424 && dev.productId == 0x2740) return -1;

    char devText[64], speedText[64], versionText[64];
    readText(dir, "dev", devText, sizeof devText);
    readText(dir, "product", dev.product, sizeof dev.product);
    readText(dir, "serial", dev.serial, sizeof dev.serial);
    readText(dir, "speed", speedText, sizeof speedText);
    readText(dir, "version", versionText, sizeof versionText);
    readText(dir, "devpath", dev.devpath, sizeof dev.devpath);
    readText(dir, "manufacturer", dev.manufacturer, sizeof dev.manufacturer);
    int devMajor, devMinor;
    if (std::sscanf(devText, "%d:%d", &devMajor, &devMinor) != 2) return -1;

    if (!readDescriptors(dir, dev)) return -1;

    dev.speed = usbSpeedCode(speedText);
    dev.port = usbPortOf(productId, hwMajor, dev.busNumber, dev.devpath, ev.devpath);
    // Ports are 1-based and at most 20 on every product; anything else is no port.
    if (dev.port < 1 || dev.port > UsbMaxPorts) return -1;

    usbTopology(dev.devpath, dev.level, dev.topologyHash);
    if (std::sscanf(versionText, "%d.%02d", &dev.versionMajor, &dev.versionMinor) != 2)
        dev.versionMajor = dev.versionMinor = 0;
    dev.releaseHigh = static_cast<int32_t>((release >> 8) & 0xFF);
    dev.releaseLow = static_cast<int32_t>(release & 0xFF);

    if (!makeDeviceNode(dev.busNumber, dev.deviceNumber, dev.major, dev.minor)) return -1;

    if (dev.deviceClass == 3 && !usbHidAllowed(dev.port)) return -1;

    int count = std::min(usbDeviceCount.load(), UsbDeviceTableSize);
    int entryNumber = -1;
    for (int i = 0; i < count; i++) {
        if (usbDeviceTable[i].state.load() == UsbEntryEmpty) {
            entryNumber = i;
            break;
        }
    }
    if (entryNumber < 0) return -1;

    // The probe runs on the scratch entry, so that no client sees the device before it
    // is complete; only this task fills entries, so the empty one stays empty.
    if (!probe(dev, entryNumber)) return -1;

    if (dev.manufacturer[0] == '\0' || dev.product[0] == '\0') {
        char manufacturer[64] = {}, product[64] = {};
        usbIdsLookup(usbPaths().usbIds, dev.vendorId, dev.productId, manufacturer, sizeof manufacturer,
                     product, sizeof product);
        if (dev.manufacturer[0] == '\0') std::memcpy(dev.manufacturer, manufacturer, sizeof manufacturer);
        if (dev.product[0] == '\0') std::memcpy(dev.product, product, sizeof product);
    }
    if (hasQuirk(dev, QuirkFirstConfig) && !dev.configurations.empty()) dev.currentConfiguration = 0;

    dev.connectTick = static_cast<uint32_t>(sysTicks());
    UsbDevice &entry = usbDeviceTable[entryNumber];
    entry.fillFrom(dev);
    if (usbDeviceHooks().connected) usbDeviceHooks().connected(entry);
    return entryNumber;
}

// Closes the uevent descriptor when the listener ends, also through the thread's exit.
struct DescriptorGuard {
    int fd;
    ~DescriptorGuard() {
        if (fd >= 0) platform().close(fd);
    }
};

} // namespace

int usbSpeedCode(const char *text) {
    if (text == nullptr) return UsbSpeedFull;
    if (std::strncmp(text, "1.5", 3) == 0) return UsbSpeedLow;
    switch (text[0]) {
    case '1':
        return UsbSpeedFull;
    case '4':
        return UsbSpeedHigh;
    case '5':
        return UsbSpeedSuper;
    default:
        return UsbSpeedFull;
    }
}

void usbTopology(const char *devpath, int32_t &level, uint32_t &hash) {
    level = 1;
    hash = 0;
    if (devpath == nullptr) return;
    size_t n = strnlen(devpath, 64);
    for (size_t i = 0; i < n; i++) {
        if (devpath[i] == '.') {
            level++;
            hash <<= 4;
            continue;
        }
        uint32_t v = 0;
        for (size_t j = i; j < n && devpath[j] >= '0' && devpath[j] <= '9'; j++)
            v = v * 10 + static_cast<uint32_t>(devpath[j] - '0');
        hash ^= v;
    }
}

int usbPortOf(unsigned productId, unsigned hw, int b, const char *devpath, const char *sysDir) {
    int m, o, t;
    if (devpath == nullptr || !splitDevpath(devpath, m, o, t)) return -1;
    auto as287 = [&] { return b == 1 || b == 2 ? 1 : b == 3 || b == 4 ? 2 : -1; };
    const bool bus12 = b == 1 || b == 2;
    switch (productId) {
    case 271:
    case 283:
        return o <= 2 ? o : -1;
    case 278:
        return 5 * (m - 1) + o;
    case 282:
        return o <= 6 ? o : t + 6;
    case 287:
    case 315:
        return as287();
    case 288:
        return bus12 && o <= 3 ? o : -1;
    case 294:
        if (o > 4) return -1;
        return bus12 ? o : b == 3 ? o + 4 : -1;
    case 295:
        if (bus12) return o <= 7 ? o : -1;
        if (b == 3) return o <= 5 ? o + 5 : o <= 7 ? 5 * (o - 5) + t + 5 : -1;
        return -1;
    case 296:
        return bus12 ? m : -1;
    case 297:
    case 298:
    case 302:
    case 314:
    case 317:
        return m;
    case 303:
    case 304:
        if (hw == 4) return bus12 ? 1 : -1;
        return b == 2 || b == 3 ? 1 : -1;
    case 305:
    case 306:
    case 1000:
    case 1001:
        if (hw == 3) return as287();
        if (sysDir != nullptr && std::strstr(sysDir, "pci") != nullptr) return hw <= 3 || m == 1 ? 2 : 1;
        return b == 1 ? -1 : 1;
    case 307:
        return bus12 ? o : -1;
    default:
        return -1;
    }
}

bool usbIdsLookup(const std::string &path, int vendorId, int productId, char *manufacturer,
                  size_t manufacturerSize, char *product, size_t productSize) {
    FILE *f = std::fopen(path.c_str(), "re");
    if (f == nullptr) return false;
    auto hex4 = [](const char *s, int &v) {
        v = 0;
        for (int i = 0; i < 4; i++) {
            char c = s[i];
            int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            if (d < 0) return false;
            v = v * 16 + d;
        }
        return true;
    };
    // The text from offset 6 to the line end, at most 63 characters.
    auto take = [](const char *line, char *out, size_t size) {
        if (out == nullptr || size == 0) return;
        size_t n = std::strlen(line);
        std::snprintf(out, size, "%.63s", n > 6 ? line + 6 : "");
    };
    char line[512];
    bool inVendor = false;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        size_t n = std::strlen(line);
        bool whole = n > 0 && line[n - 1] == '\n';
        while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r'))
            line[--n] = '\0';
        if (!whole && !std::feof(f)) {
            // The rest of an over-long line is not a line of its own.
            int c;
            while ((c = std::fgetc(f)) != EOF && c != '\n') {
            }
        }
        int v;
        if (!inVendor) {
            if (line[0] != '\t' && hex4(line, v) && v == vendorId) {
                take(line, manufacturer, manufacturerSize);
                inVendor = true;
            }
            continue;
        }
        if (line[0] == '\t') {
            if (line[1] != '\t' && hex4(line + 1, v) && v == productId) {
                take(line, product, productSize);
                break;
            }
            continue;
        }
        if (line[0] != '\0') break; // the next vendor
    }
    std::fclose(f);
    return true;
}

int prepareUsbfsTree() {
    const UsbPaths &paths = usbPaths();
    bool mounted = false;
    if (FILE *f = std::fopen(paths.procMounts.c_str(), "re")) {
        char line[512];
        while (std::fgets(line, sizeof line, f) != nullptr) {
            if (std::strstr(line, "/sys") != nullptr) {
                mounted = true;
                break;
            }
        }
        std::fclose(f);
    }
    if (!mounted && platform().mount("none", paths.sys.c_str(), "sysfs", 0, nullptr) != 0) return -1;
    std::string bus = paths.devBusUsb;
    size_t slash = bus.rfind('/');
    if (slash != std::string::npos && slash > 0 && !makeDirectory(bus.substr(0, slash), 0755)) return -1;
    return makeDirectory(bus, 0755) ? 0 : -1;
}

int usbHandleUevent(const char *data, size_t length, unsigned productId, unsigned hwMajor) {
    Uevent ev;
    if (!parseUevent(data, length, ev)) return -1;
    if (ev.deviceClass == 9 && ev.deviceSubclass == 0) return -1; // a hub
    if (ev.storageSlot) {
        TaskMsg msg{0, MsgConfigChanged, 0, 0};
        Task::postByName("SND", msg);
        return -1;
    }
    if (!ev.usbDevice || !ev.hasDevpath) return -1;
    if (ev.action == Uevent::Remove) return handleRemove(ev);
    return handleAdd(ev, productId, hwMajor);
}

int usbHandleUevent(const char *data, size_t length) {
    const ProductParams &p = productParams();
    return usbHandleUevent(data, length, p.productId, p.hwMajor);
}

void Listen2Udev::run() {
    DescriptorGuard socket{platform().ueventOpen()};
    if (socket.fd < 0) {
        std::printf("%s: no uevent socket: %s\n", name, std::strerror(errno));
        return;
    }
    std::vector<char> buffer(UeventMaxLength + 1);
    for (;;) {
        // Wakes for a datagram, a message (the exit message ends the thread inside the
        // wait) or after 60 s.
        int w = wait(6000, socket.fd);
        if (w != 3) continue;
        ssize_t n = platform().read(socket.fd, buffer.data(), UeventMaxLength);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == ENOBUFS)
                continue; // ENOBUFS: the kernel dropped events; the next ones come as usual
            std::printf("%s: uevent read failed: %s\n", name, std::strerror(errno));
            break;
        }
        if (n == 0) {
            std::printf("%s: uevent socket closed\n", name);
            break;
        }
        buffer[static_cast<size_t>(n)] = '\0';
        if (ueventWanted(buffer.data(), static_cast<size_t>(n)))
            usbHandleUevent(buffer.data(), static_cast<size_t>(n));
    }
}
