// NetInterface: the link state: MII registers of the PHY, the link flags per product,
// the bond's active member, the link speed, and the link text of the status pages.
#include "net/netif.h"

#include "core/platform.h"
#include "core/sysinfo.h"
#include "core/sysroot.h"
#include "core/task.h"
#include "net/netif_internal.h"
#include "param_catalogue.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sched.h>

namespace {

// Guards the PHY register reads of the whole process. Taken by a try-lock loop: a
// task thread gives up the processor between tries, any other caller retries at once.
std::mutex phyMutex;

class PhyLock {
public:
    PhyLock() {
        while (!phyMutex.try_lock())
            if (Task::current()) sched_yield();
    }
    ~PhyLock() { phyMutex.unlock(); }
    PhyLock(const PhyLock &) = delete;
    PhyLock &operator=(const PhyLock &) = delete;
};

constexpr const char *MdioDir = "/sys/devices/platform/soc/soc:internal-regs/f1072004.mdio/mdio_bus/"
                                "f1072004.mdio-mii/";

// Appends to buffer at len within size; the new length, never beyond size - 1.
int appendf(char *buffer, size_t size, int len, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
int appendf(char *buffer, size_t size, int len, const char *format, ...) {
    if (len < 0 || static_cast<size_t>(len) >= size) return len;
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(buffer + len, size - len, format, ap);
    va_end(ap);
    if (n < 0) return len;
    return std::min(len + n, static_cast<int>(size) - 1);
}

// Reads a small file through the kernel seam, one trailing line end dropped.
bool readText(const std::string &path, char *buffer, size_t size) {
    ssize_t n = netKernel().readFile(path.c_str(), buffer, size);
    if (n <= 0) return false;
    buffer[strcspn(buffer, "\r\n")] = '\0';
    return true;
}

bool readNumber(const std::string &path, long &value) {
    char text[32];
    if (!readText(path, text, sizeof text)) return false;
    char *end = nullptr;
    value = std::strtol(text, &end, 10);
    return end != text;
}

std::string classNetFile(const char *ifname, const char *file) {
    char path[96];
    std::snprintf(path, sizeof path, "/sys/class/net/%s/%s", ifname, file);
    return sysPath(path);
}

} // namespace

bool NetInterface::getMiiLink(int phy, int &speed, bool &fullDuplex) {
    int bmcr = 0, ctrl1000 = 0, stat1000 = 0;
    {
        PhyLock guard;
        if (platform().phyRead(name_, phy, 0, &bmcr) < 0 ||
            platform().phyRead(name_, phy, 9, &ctrl1000) < 0 ||
            platform().phyRead(name_, phy, 10, &stat1000) < 0)
            return false;
    }
    // Gigabit when both ends advertise it: the partner's bits sit two places higher.
    if (ctrl1000 & (stat1000 >> 2) & 0x300) {
        speed = 1000;
        fullDuplex = (ctrl1000 & 0x200) != 0;
    } else {
        speed = (bmcr & 0x2000) ? 100 : 10;
        fullDuplex = (bmcr & 0x100) != 0;
    }
    return true;
}

bool NetInterface::readCarrierFile(const char *path) {
    char text[16];
    return readText(sysPath(path), text, sizeof text) && std::strcmp(text, "1") == 0;
}

bool NetInterface::getCarrier(int *flagsOut) {
    const ProductParams &product = netKernel().product();
    int flags = 0;
    bool result;
    if (product.productId == 283) {
        if (flagsOut) *flagsOut = 0;
        return true;
    }
    if ((product.productId == 287 || product.productId == 294 || product.productId == 295) &&
        product.hwMajor == 2) {
        if (product.productId == 295) {
            // Two bonded switch ports: the active member has the link, the other one
            // with carrier is the standby.
            int active = bondingActiveSlave();
            if (active == 0) {
                flags = LinkRightActive;
            } else {
                if (readCarrierFile("/sys/class/net/s_eth0/carrier")) flags = LinkRightStandby;
                if (active == 1) flags |= LinkLeftActive;
            }
            if (active != 1 && readCarrierFile("/sys/class/net/s_eth1/carrier")) flags |= LinkLeftStandby;
        } else if (readCarrierFile("/sys/class/net/eth0/carrier")) {
            flags = LinkRightActive;
        }
        result = flags != 0;
    } else {
        int value = 0;
        PhyLock guard;
        if (platform().phyRead(name_, static_cast<int>(product.phy0Address), 17, &value) < 0) {
            if (flagsOut) *flagsOut = 0;
            return false;
        }
        if (value & 0x400) flags = LinkLeftActive;
        if (product.productId == 295) {
            if (platform().phyRead(name_, 0, 17, &value) < 0) {
                if (flagsOut) *flagsOut = 0;
                return false;
            }
            if (value & 0x400) flags |= LinkRightActive;
        }
        result = flags != 0;
    }
    if (flagsOut) *flagsOut = flags;
    return result;
}

bool NetInterface::getLinkSpeed(int &speed) {
    speed = 1000;
    if (netKernel().product().productId != 307) return false;
    long value = 0;
    if (!readNumber(classNetFile(name_, "speed"), value) || value <= 1000) return false;
    speed = static_cast<int>(value);
    return true;
}

int NetInterface::bondingActiveSlave() {
    char line[64];
    if (!readText(sysPath("/sys/devices/virtual/net/eth0/bonding/active_slave"), line, sizeof line))
        return -1;
    size_t len = std::strlen(line);
    if (len == 0 || !std::isdigit(static_cast<unsigned char>(line[len - 1]))) return -1;
    return line[len - 1] - '0';
}

int NetInterface::describeLink(int mode, char *buffer, size_t size) {
    if (buffer == nullptr || size == 0) return 0;
    buffer[0] = '\0';
    const ProductParams &product = netKernel().product();

    // Wi-Fi: the network's name, band, channel and frequency.
    if (isWifiProduct(product.productId) && p_wifi->isOn()) {
        char ssid[64] = {};
        int freq = 0, channel = 0;
        if (netifHooks().wifiLink == nullptr || !netifHooks().wifiLink(ssid, sizeof ssid, &freq, &channel))
            return 0;
        ssid[sizeof ssid - 1] = '\0';
        size_t len = std::strlen(ssid);
        if (len >= size) return 0;
        std::memcpy(buffer, ssid, len + 1);
        return appendf(buffer, size, static_cast<int>(len), " %s [%d/%d]", freq <= 4699 ? "2.4GHz" : "5GHz",
                       channel, freq);
    }

    bool tryMii = product.productId == 278;
    if (product.productId == 295 && product.hwMajor == 1) {
        // The switch driver publishes speed and duplex of the port in use.
        char text[33];
        if (!readText(sysPath(std::string(MdioDir) + "f1072004.mdio-mii:00/kvx_phy_isolate"), text,
                      sizeof text))
            return 0;
        const char *port = std::strcmp(text, "0") == 0 ? "f1072004.mdio-mii:00" : "f1072004.mdio-mii:04";
        int speed = 0, duplex = 0;
        if (readText(sysPath(std::string(MdioDir) + port + "/kvx_phy_speed_duplex"), text, sizeof text) &&
            std::sscanf(text, "%d/%d", &speed, &duplex) == 2)
            return appendf(buffer, size, 0, "%dMbit%s", speed, duplex ? " full duplex" : " half duplex");
        tryMii = true;
    }
    if (tryMii && (mode & 1)) {
        int speed = 0;
        bool full = false;
        if (!getMiiLink(0, speed, full)) return 0;
        return appendf(buffer, size, 0, "%dMbit %s duplex", speed, full ? "full" : "half");
    }

    char state[32];
    if (!readText(classNetFile(name_, "operstate"), state, sizeof state)) return 0;
    int len = appendf(buffer, size, 0, "%s", getmuText(state));
    if (std::strcmp(state, "up") != 0) return len;
    long speed = 0;
    char duplex[32];
    if (!readNumber(classNetFile(name_, "speed"), speed)) return 0;
    len = appendf(buffer, size, 0, "%ldMbit", speed);
    if (!readText(classNetFile(name_, "duplex"), duplex, sizeof duplex)) return 0;
    return appendf(buffer, size, len, " %s duplex", duplex);
}
