#include "usbserver/usb_device.h"

#include "core/param.h"
#include "core/platform.h"
#include "core/ptable.h"
#include "core/sysroot.h"
#include "core/tcp.h"
#include "usbserver/usb_quirks.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>

UsbDevice usbDeviceTable[UsbDeviceTableSize];
std::atomic<int> usbDeviceCount{0};

std::atomic<int> MinMMap{2048};
std::atomic<int> MaxUrbIn{65536};
std::atomic<int> MaxUrbOut{65536};
std::atomic<int> usbUrbsInFlight{0};
std::atomic<int> usbLiveClients{0};

namespace {

// Every fill of an entry takes the next value, so an identity never repeats within a run.
std::atomic<uint32_t> identityCounter{0};

} // namespace

UsbPaths &usbPaths() {
    static UsbPaths paths{sysPath("/dev/bus/usb"), sysPath("/sys"), sysPath("/romfs/usb.ids"),
                          sysPath("/proc/mounts")};
    return paths;
}

UsbDeviceHooks &usbDeviceHooks() {
    static UsbDeviceHooks hooks;
    return hooks;
}

UsbDevice::UsbDevice() {
    // Error-checking: a thread that already holds the entry lock gets an error instead
    // of a deadlock, which muxIn reports.
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(&mutex, &attr);
    pthread_mutex_init(&poolMutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

UsbDevice::~UsbDevice() {
    dropPool();
    pthread_mutex_destroy(&poolMutex);
    pthread_mutex_destroy(&mutex);
}

bool UsbDevice::muxIn(const char *caller) {
    int rc = pthread_mutex_lock(&mutex);
    if (rc != 0) {
        std::printf("%s(%s) error:0x%x\n", "muxIn", caller ? caller : "", static_cast<unsigned>(rc));
        return false;
    }
    return true;
}

void UsbDevice::muxOut() {
    pthread_mutex_unlock(&mutex);
}

void UsbDevice::init(int32_t newState) {
    speed = busNumber = level = 0;
    topologyHash = 0;
    deviceNumber = versionMajor = versionMinor = 0;
    deviceClass = deviceSubclass = vendorId = productId = releaseHigh = releaseLow = 0;
    keyIndex = 0;
    keyExpiryState = -1;
    manufacturer[0] = product[0] = serial[0] = devpath[0] = '\0';
    maxPower = major = minor = 0;
    fd = -1;
    resetPending = 0;
    connectTick = 0;
    port = 0;
    languageRead = 0;
    language = 0;
    std::memset(deviceDescriptor, 0, sizeof deviceDescriptor);
    currentConfiguration = -1;
    configurations.clear();
    strings.clear();
    std::memset(endpointsIn, 0, sizeof endpointsIn);
    std::memset(endpointsOut, 0, sizeof endpointsOut);
    endpointsIn[UsbEpControl] = 1; // endpoint 0
    configurationCount = interfaceCount = 0;
    waitRecord = nullptr;
    owner = nullptr;
    uasInterface = uasAlternate = -1;
    video = isoSplit = removed = 0;
    state.store(newState, std::memory_order_release);
}

void UsbDevice::clear() {
    bool locked = muxIn("clear");
    strings.clear();
    configurations.clear();
    std::memset(deviceDescriptor, 0, sizeof deviceDescriptor);
    dropPool();
    init(UsbEntryEmpty);
    if (locked) muxOut();
}

void UsbDevice::fillFrom(const UsbDevice &s) {
    bool locked = muxIn("fillFrom");
    speed = s.speed;
    busNumber = s.busNumber;
    level = s.level;
    topologyHash = s.topologyHash;
    deviceNumber = s.deviceNumber;
    versionMajor = s.versionMajor;
    versionMinor = s.versionMinor;
    deviceClass = s.deviceClass;
    deviceSubclass = s.deviceSubclass;
    vendorId = s.vendorId;
    productId = s.productId;
    releaseHigh = s.releaseHigh;
    releaseLow = s.releaseLow;
    keyIndex = s.keyIndex;
    keyExpiryState = s.keyExpiryState;
    std::memcpy(manufacturer, s.manufacturer, sizeof manufacturer);
    std::memcpy(product, s.product, sizeof product);
    std::memcpy(serial, s.serial, sizeof serial);
    std::memcpy(devpath, s.devpath, sizeof devpath);
    maxPower = s.maxPower;
    major = s.major;
    minor = s.minor;
    fd = -1;
    resetPending = 0;
    connectTick = s.connectTick;
    port = s.port;
    languageRead = s.languageRead;
    language = s.language;
    std::memcpy(deviceDescriptor, s.deviceDescriptor, sizeof deviceDescriptor);
    currentConfiguration = s.currentConfiguration;
    configurations = s.configurations;
    strings = s.strings;
    std::memcpy(endpointsIn, s.endpointsIn, sizeof endpointsIn);
    std::memcpy(endpointsOut, s.endpointsOut, sizeof endpointsOut);
    configurationCount = s.configurationCount;
    interfaceCount = s.interfaceCount;
    waitRecord = nullptr;
    owner = nullptr;
    uasInterface = s.uasInterface;
    uasAlternate = s.uasAlternate;
    video = s.video;
    isoSplit = 0;
    removed = 0;
    identity.store(++identityCounter, std::memory_order_relaxed);
    state.store(UsbEntryPresent, std::memory_order_release);
    if (locked) muxOut();
}

int usbOpenDeviceFile(const UsbDevice &entry, int flags) {
    char name[32];
    std::snprintf(name, sizeof name, "/%03d/%03d", entry.busNumber, entry.deviceNumber);
    std::string path = usbPaths().devBusUsb + name;
    return platform().open(path.c_str(), flags | O_CLOEXEC);
}

int UsbDevice::openFile(int flags) {
    if (fd >= 0) return 0;
    int f = usbOpenDeviceFile(*this, flags);
    if (f >= 0) {
        fd = f;
        return 1;
    }
    int err = errno;
    // A device whose file cannot be opened any more counts as unplugged.
    int st = state.load();
    if ((st == UsbEntryPresent || st == UsbEntryOpened) && usbDeviceHooks().disconnected)
        usbDeviceHooks().disconnected(*this);
    clear();
    errno = err;
    return -1;
}

void UsbDevice::dropPool() {
    pthread_mutex_lock(&poolMutex);
    for (uint8_t *base : pool) {
        uint32_t region;
        std::memcpy(&region, base, sizeof region);
        platform().munmap(base, region);
    }
    pool.clear();
    for (auto &[buffer, size] : kept)
        std::free(buffer);
    kept.clear();
    keptSize = 0;
    pthread_mutex_unlock(&poolMutex);
}

int UsbDevice::closeFile() {
    dropPool();
    if (fd < 0) return 0;
    platform().close(fd);
    fd = -1;
    return 1;
}

int UsbDevice::poolSize() {
    pthread_mutex_lock(&poolMutex);
    int n = static_cast<int>(pool.size());
    pthread_mutex_unlock(&poolMutex);
    return n;
}

size_t UsbDevice::keptBytes() {
    pthread_mutex_lock(&poolMutex);
    size_t n = keptSize;
    pthread_mutex_unlock(&poolMutex);
    return n;
}

// Keeps a freed heap buffer for the next URB of its size, the oldest going when the
// bytes kept would pass their cap. False when it is not kept (the caller frees it).
bool UsbDevice::keep(void *buffer, int size) {
    if (size < KeptBufferMin || static_cast<size_t>(size) > KeptBufferBytes) return false;
    pthread_mutex_lock(&poolMutex);
    // A buffer of a file that was closed meanwhile is not kept past the close.
    if (fd < 0) {
        pthread_mutex_unlock(&poolMutex);
        return false;
    }
    size_t drop = 0;
    while (drop < kept.size() && keptSize + static_cast<size_t>(size) > KeptBufferBytes) {
        std::free(kept[drop].first);
        keptSize -= static_cast<size_t>(kept[drop].second);
        drop++;
    }
    kept.erase(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(drop));
    kept.emplace_back(buffer, size);
    keptSize += static_cast<size_t>(size);
    pthread_mutex_unlock(&poolMutex);
    return true;
}

void *UsbDevice::allocBuffer(int size) {
    if (fd < 0 || size <= 0 || size > INT_MAX - static_cast<int>(MappedBufferHeader)) return nullptr;
    int min = MinMMap.load();
    if (min == 0 || size < min) {
        pthread_mutex_lock(&poolMutex);
        // The most recently kept buffer of that size: its pages are the likeliest warm.
        for (size_t i = kept.size(); i-- > 0;) {
            if (kept[i].second != size) continue;
            void *buffer = kept[i].first;
            kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(i));
            keptSize -= static_cast<size_t>(size);
            pthread_mutex_unlock(&poolMutex);
            return buffer;
        }
        pthread_mutex_unlock(&poolMutex);
        return std::malloc(static_cast<size_t>(size));
    }
    const uint32_t region = static_cast<uint32_t>(size) + MappedBufferHeader;
    pthread_mutex_lock(&poolMutex);
    for (auto it = pool.begin(); it != pool.end(); ++it) {
        uint32_t words[2];
        std::memcpy(words, *it, sizeof words);
        if (words[0] == region) {
            uint8_t *base = *it;
            pool.erase(it);
            words[1]++;
            std::memcpy(base, words, sizeof words);
            pthread_mutex_unlock(&poolMutex);
            return base + MappedBufferHeader;
        }
    }
    pthread_mutex_unlock(&poolMutex);
    void *m = platform().mmap(nullptr, region, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED || m == nullptr) return nullptr;
    uint32_t words[2] = {region, 1};
    std::memcpy(m, words, sizeof words);
    return static_cast<uint8_t *>(m) + MappedBufferHeader;
}

void UsbDevice::freeBuffer(void *buffer, int size) {
    if (buffer == nullptr || size < 1) return;
    int min = MinMMap.load();
    if (min == 0 || size < min) {
        if (!keep(buffer, size)) std::free(buffer);
        return;
    }
    uint8_t *base = static_cast<uint8_t *>(buffer) - MappedBufferHeader;
    uint32_t region;
    std::memcpy(&region, base, sizeof region);
    pthread_mutex_lock(&poolMutex);
    // A mapping of a file that was closed meanwhile is never handed to the next open.
    if (fd < 0 || pool.size() > static_cast<size_t>(MaxMaps) ||
        region != static_cast<uint32_t>(size) + MappedBufferHeader) {
        pthread_mutex_unlock(&poolMutex);
        platform().munmap(base, region);
        return;
    }
    pool.push_front(base);
    if (pool.size() == static_cast<size_t>(MaxMaps)) {
        pool.pop_front();
        pthread_mutex_unlock(&poolMutex);
        platform().munmap(base, region);
        return;
    }
    pthread_mutex_unlock(&poolMutex);
}

void UsbDevice::cacheString(uint16_t lang, int index, const uint8_t *bytes, int length) {
    for (const UsbStringDescriptor &node : strings) {
        if (node.index == index && (node.language == lang || lang == 0)) return;
    }
    UsbStringDescriptor node;
    node.index = index;
    node.language = lang;
    if (bytes != nullptr && length > 0) node.bytes.assign(bytes, bytes + length);
    strings.push_front(std::move(node));
}

int UsbDevice::lookupString(uint16_t lang, int index, uint8_t *buf, size_t size) {
    for (const UsbStringDescriptor &node : strings) {
        // Language 0 on either side matches: the language list is cached under 0, and
        // a request for language 0 takes whatever language was cached.
        if (node.index == index && (node.language == lang || node.language == 0 || lang == 0)) {
            size_t n = std::min(node.bytes.size(), size);
            if (n > 0 && buf != nullptr) std::memcpy(buf, node.bytes.data(), n);
            return static_cast<int>(buf != nullptr ? n : 0);
        }
    }
    return -1;
}

int UsbDevice::fetchString(int file, uint16_t lang, int index, uint8_t *buf, int length) {
    if (index == 0xEE && hasQuirk(*this, QuirkNoString238)) return -1;
    if (buf == nullptr || length < 0 || index < 0 || index > 255) return -1;
    length = std::min(length, 255);
    usbdevfs_ctrltransfer ctrl{};
    ctrl.bRequestType = 0x80;
    ctrl.bRequest = 6; // GET_DESCRIPTOR
    ctrl.wValue = static_cast<uint16_t>(0x300 + index);
    ctrl.wIndex = lang;
    ctrl.wLength = static_cast<uint16_t>(length);
    ctrl.timeout = 1000;
    ctrl.data = buf;
    errno = 0;
    int r = platform().ioctl(file, USBDEVFS_CONTROL, &ctrl);
    if (r < 0 || r >= 255 || r > length) {
        int err = (r < 0 && errno != 0) ? -errno : -1;
        cacheString(lang, index, nullptr, 0);
        return err;
    }
    int n = r;
    if (lang != 0) {
        // Cut at bLength and at the first 16-bit unit that is zero.
        if (n >= 1) n = std::min<int>(n, buf[0]);
        for (int off = 0; off + 1 < n; off += 2) {
            if (buf[off] == 0 && buf[off + 1] == 0) {
                n = off;
                break;
            }
        }
        if (n >= 1) buf[0] = static_cast<uint8_t>(n);
    }
    cacheString(lang, index, buf, n);
    return n;
}

int usbStringDescriptorText(const uint8_t *d, int length, char *buf, size_t size) {
    if (buf == nullptr || size == 0) return -1;
    int n = 0;
    if (d != nullptr && length >= 2) {
        int end = std::min<int>(length, d[0]);
        for (int off = 2; off + 1 < end && static_cast<size_t>(n) + 1 < size; off += 2) {
            uint8_t low = d[off], high = d[off + 1];
            // Latin-1 only; control characters would break the one-line texts (log,
            // parameters, mail headers) that these names end up in.
            bool printable = high == 0 && low >= 0x20 && low != 0x7F && !(low >= 0x80 && low < 0xA0);
            buf[n++] = printable ? static_cast<char>(low) : '?';
        }
    }
    buf[n] = '\0';
    return n;
}

int UsbDevice::stringToText(int index, char *buf, size_t size) {
    if (index == 0 || buf == nullptr || size == 0) return -1;
    buf[0] = '\0';
    if (!languageRead) {
        uint8_t d0[4] = {};
        int r = fetchString(fd, 0, 0, d0, 4);
        if (r < 4 || d0[0] < 4) return -1;
        language = static_cast<uint16_t>(d0[2] | d0[3] << 8);
        languageRead = 1;
    }
    uint8_t d[256] = {};
    int r = fetchString(fd, language, index, d, 255);
    if (r < 0) return -1;
    return usbStringDescriptorText(d, r, buf, size);
}

bool usbHidAllowed(int port) {
    Param *p = ptable().find("zqn_hid_", 8, port);
    return !(p != nullptr && p->isOff());
}

bool UsbDevice::parseConfigurations(int entryNumber) {
    if (entryNumber < 0 || entryNumber >= UsbDeviceTableSize) return false;
    int nc = numConfigurations();
    if (nc < 1 || nc > 32 || configurations.empty()) return false;
    uint32_t seen = 0; // endpoint addresses met: bit (number + 16 for IN)
    char text[64];
    for (UsbConfiguration &c : configurations) {
        const std::vector<uint8_t> &d = c.descriptor;
        size_t off = 0;
        while (off + 2 <= d.size()) {
            size_t bl = d[off];
            if (bl < 3 || off + bl > d.size()) break;
            switch (d[off + 1]) {
            case 2: // configuration
                configurationCount++;
                if (bl >= 7 && d[off + 6] != 0) stringToText(d[off + 6], text, sizeof text);
                c.interfaceCount = 0;
                break;
            case 4: // interface
                if (bl < 9) break;
                interfaceCount++;
                if (d[off + 8] != 0) stringToText(d[off + 8], text, sizeof text);
                if (d[off + 5] == 14) video = 1;
                if (d[off + 5] == 8 && d[off + 6] == 6 && d[off + 7] == 0x62) {
                    uasInterface = d[off + 2];
                    uasAlternate = d[off + 3];
                }
                if (d[off + 5] == 3 && !usbHidAllowed(port)) return false;
                if (c.interfaceCount < 64) c.interfaces[c.interfaceCount++] = d[off + 2];
                break;
            case 5: // endpoint
                if (bl == 7 || bl == 9) {
                    uint8_t address = d[off + 2];
                    uint32_t bit = 1u << ((address & 0x0F) + ((address & 0x80) ? 16 : 0));
                    if (!(seen & bit)) {
                        seen |= bit;
                        uint8_t *counts = (address & 0x80) ? endpointsIn : endpointsOut;
                        counts[d[off + 3] & 3]++;
                    }
                }
                break;
            default:
                break;
            }
            off += bl;
        }
    }
    return true;
}

UsbDevice *usbEntry(int entryNumber) {
    int count = std::min(usbDeviceCount.load(), UsbDeviceTableSize);
    if (entryNumber < 0 || entryNumber >= count) return nullptr;
    return &usbDeviceTable[entryNumber];
}

bool usbEntryIsSame(int entryNumber, uint32_t identity) {
    UsbDevice *e = usbEntry(entryNumber);
    return e != nullptr && e->state.load() != UsbEntryEmpty && e->identity.load() == identity;
}

bool usbMarkRemovedIfSame(int entryNumber, uint32_t identity) {
    UsbDevice *e = usbEntry(entryNumber);
    if (e == nullptr) return false;
    bool locked = e->muxIn("markRemoved");
    bool same = e->state.load() != UsbEntryEmpty && e->identity.load() == identity;
    if (same) e->removed = 1;
    if (locked) e->muxOut();
    return same;
}

int query_usb_device_info(int entryNumber, int kind, char *buffer, size_t size) {
    UsbDevice *e = usbEntry(entryNumber);
    if (e == nullptr || e->state.load() == UsbEntryEmpty || buffer == nullptr || size == 0) return -1;
    bool locked = e->muxIn("query_usb_device_info");
    buffer[0] = '\0';
    auto copyIfFits = [&](const char *text) {
        size_t n = strnlen(text, 64);
        if (n < size && n < 64) {
            std::memcpy(buffer, text, n);
            buffer[n] = '\0';
        }
    };
    switch (kind) {
    case 1:
        copyIfFits(e->manufacturer);
        break;
    case 2:
        copyIfFits(e->product);
        break;
    case 3:
        copyIfFits(e->serial);
        break;
    case 4: {
        sockaddr_storage peer{};
        socklen_t len = 0;
        if (e->state.load() == UsbEntryOpened && e->owner != nullptr)
            len = static_cast<socklen_t>(
                UsbSrvClient::peerAddress(e->owner, reinterpret_cast<sockaddr *>(&peer), sizeof peer));
        if (len >= sizeof(sockaddr_in) && peer.ss_family == AF_INET) {
            const uint8_t *a =
                reinterpret_cast<const uint8_t *>(&reinterpret_cast<sockaddr_in &>(peer).sin_addr);
            std::snprintf(buffer, size, "%03d.%03d.%03d.%03d", a[0], a[1], a[2], a[3]);
        } else if (len >= sizeof(sockaddr_in6) && peer.ss_family == AF_INET6) {
            char text[INET6_ADDRSTRLEN];
            if (inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 &>(peer).sin6_addr, text, sizeof text))
                std::snprintf(buffer, size, "%s", text);
            else
                std::snprintf(buffer, size, "----");
        } else {
            std::snprintf(buffer, size, "----");
        }
        break;
    }
    case 5:
        if (e->state.load() == UsbEntryOpened) std::snprintf(buffer, size, "1");
        break;
    case 6:
        std::snprintf(buffer, size, "0x%04X", e->descriptorProductId());
        break;
    case 7:
        std::snprintf(buffer, size, "0x%04X", e->descriptorVendorId());
        break;
    default:
        std::snprintf(buffer, size, "id err !!");
        break;
    }
    if (locked) e->muxOut();
    return static_cast<int>(std::strlen(buffer));
}
