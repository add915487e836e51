// The simulated USB buses: topology and device numbers, plug and unplug, the sysfs
// directories and uevents the kernel writes for them, the ports of the product and
// their power, and the control commands.
#include "sim/usb.h"
#include "sim/usb_internal.h"

#include "core/sysinfo.h"
#include "core/sysroot.h"
#include "sim/control.h"
#include "sim/standins.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

// ---- descriptions -------------------------------------------------------------

void UsbDescription::setDevice(uint16_t bcdUsb, uint8_t cls, uint8_t subClass, uint8_t protocol,
                               uint8_t maxPacket0, uint16_t vendor, uint16_t product, uint16_t bcdDevice,
                               uint8_t iManufacturer, uint8_t iProduct, uint8_t iSerial) {
    device = {18,
              USB_DT_DEVICE,
              static_cast<uint8_t>(bcdUsb),
              static_cast<uint8_t>(bcdUsb >> 8),
              cls,
              subClass,
              protocol,
              maxPacket0,
              static_cast<uint8_t>(vendor),
              static_cast<uint8_t>(vendor >> 8),
              static_cast<uint8_t>(product),
              static_cast<uint8_t>(product >> 8),
              static_cast<uint8_t>(bcdDevice),
              static_cast<uint8_t>(bcdDevice >> 8),
              iManufacturer,
              iProduct,
              iSerial,
              static_cast<uint8_t>(configs.size())};
}

void UsbDescription::addConfig(uint8_t value, uint8_t attributes, uint8_t maxPower, uint8_t iConfiguration) {
    configs.push_back({9, USB_DT_CONFIG, 9, 0, 0, value, iConfiguration, attributes, maxPower});
    if (device.size() == 18) device[17] = static_cast<uint8_t>(configs.size());
}

void UsbDescription::addRaw(const std::vector<uint8_t> &bytes) {
    if (configs.empty()) return;
    auto &c = configs.back();
    c.insert(c.end(), bytes.begin(), bytes.end());
    c[2] = static_cast<uint8_t>(c.size());
    c[3] = static_cast<uint8_t>(c.size() >> 8);
}

void UsbDescription::addInterface(uint8_t number, uint8_t alternate, uint8_t cls, uint8_t subClass,
                                  uint8_t protocol, uint8_t iInterface) {
    if (configs.empty()) return;
    if (alternate == 0) configs.back()[4]++;
    addRaw({9, USB_DT_INTERFACE, number, alternate, 0, cls, subClass, protocol, iInterface});
}

void UsbDescription::addEndpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval) {
    if (configs.empty()) return;
    // Count the endpoint in the interface descriptor it follows.
    auto &c = configs.back();
    size_t at = 0, lastInterface = 0;
    while (at + 2 <= c.size() && c[at] >= 2) {
        if (c[at + 1] == USB_DT_INTERFACE) lastInterface = at;
        at += c[at];
    }
    if (lastInterface) c[lastInterface + 4]++;
    addRaw({7, USB_DT_ENDPOINT, address, attributes, static_cast<uint8_t>(maxPacket),
            static_cast<uint8_t>(maxPacket >> 8), interval});
}

void UsbDescription::setLanguages(const std::vector<uint16_t> &languages) {
    std::vector<uint8_t> d{static_cast<uint8_t>(2 + 2 * languages.size()), USB_DT_STRING};
    for (uint16_t l : languages) {
        d.push_back(static_cast<uint8_t>(l));
        d.push_back(static_cast<uint8_t>(l >> 8));
    }
    strings[0] = d;
}

void UsbDescription::setString(uint16_t language, uint8_t index, const std::string &utf8) {
    std::vector<uint8_t> d{0, USB_DT_STRING};
    for (size_t i = 0; i < utf8.size() && d.size() < 254;) {
        uint32_t c = static_cast<uint8_t>(utf8[i]);
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        c &= extra == 3 ? 0x07 : extra == 2 ? 0x0F : extra == 1 ? 0x1F : 0x7F;
        i++;
        for (int k = 0; k < extra && i < utf8.size(); k++, i++)
            c = (c << 6) | (static_cast<uint8_t>(utf8[i]) & 0x3F);
        if (c > 0xFFFF) c = 0xFFFD; // outside the basic plane: the replacement character
        d.push_back(static_cast<uint8_t>(c));
        d.push_back(static_cast<uint8_t>(c >> 8));
    }
    d[0] = static_cast<uint8_t>(d.size());
    strings[static_cast<uint32_t>(language) << 8 | index] = d;
}

void UsbDescription::setRawString(uint16_t language, uint8_t index, const std::vector<uint8_t> &bytes) {
    strings[static_cast<uint32_t>(language) << 8 | index] = bytes;
}

uint16_t UsbDescription::vendor() const {
    return device.size() >= 18 ? device[8] | device[9] << 8 : 0;
}
uint16_t UsbDescription::product() const {
    return device.size() >= 18 ? device[10] | device[11] << 8 : 0;
}

const std::vector<uint8_t> *UsbDescription::config(int value) const {
    for (const auto &c : configs)
        if (c.size() >= 9 && c[5] == value) return &c;
    return nullptr;
}

int UsbModel::control(UsbDevice &, const usb_ctrlrequest &, uint8_t *) {
    return -EPIPE;
}

bool UsbModel::transfer(UsbDevice &, UsbTransfer &t) {
    t.status = -EPIPE;
    return true;
}

namespace usb {

World &world() {
    // Never destroyed: the pacer thread and late closes may still use it at exit.
    static World *w = new World;
    return *w;
}

int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

namespace {

namespace fs = std::filesystem;

bool writeText(const std::string &path, const std::string &text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

const char *speedText(UsbSpeed s) {
    switch (s) {
    case UsbSpeed::Low:
        return "1.5";
    case UsbSpeed::Full:
        return "12";
    case UsbSpeed::High:
        return "480";
    case UsbSpeed::Super:
        return "5000";
    }
    return "12";
}

bool busIsPci(int bus) {
    const ProductParams &p = productParams();
    bool pciProduct = p.productId == 305 || p.productId == 306 || p.productId == 1000 || p.productId == 1001;
    return pciProduct && p.hwMajor != 3 && bus >= 3;
}

std::string controllerPath(int bus) {
    if (busIsPci(bus)) return format("/devices/pci0000:00/0000:00:%02x.0/usb%d", 0x10 + bus, bus);
    return format("/devices/platform/soc/usbhost.%d/usb%d", bus, bus);
}

// The text of the UTF-16 string descriptor as UTF-8 (what the kernel shows in sysfs).
std::string stringText(const UsbDescription &d, uint8_t index) {
    if (index == 0) return "";
    auto langs = d.strings.find(0);
    if (langs == d.strings.end() || langs->second.size() < 4) return "";
    uint32_t lang = langs->second[2] | langs->second[3] << 8;
    auto it = d.strings.find(lang << 8 | index);
    if (it == d.strings.end()) return "";
    const auto &s = it->second;
    size_t n = std::min<size_t>(s.size(), s.empty() ? 0 : s[0]);
    std::string out;
    for (size_t i = 2; i + 1 < n; i += 2) {
        uint32_t c = s[i] | s[i + 1] << 8;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

int deviceMinor(const SimDevice &d) {
    return (d.bus - 1) * 128 + d.devnum - 1;
}

// The interfaces of the active configuration, alternate setting 0: (number, class, sub, protocol).
std::vector<std::array<int, 4>> activeInterfaces(const SimDevice &d) {
    std::vector<std::array<int, 4>> out;
    const auto *c = d.desc.config(d.config);
    if (!c || d.config == 0) return out;
    for (size_t at = 9; at + 2 <= c->size() && (*c)[at] >= 2; at += (*c)[at])
        if ((*c)[at + 1] == USB_DT_INTERFACE && at + 9 <= c->size() && (*c)[at + 3] == 0)
            out.push_back({(*c)[at + 2], (*c)[at + 5], (*c)[at + 6], (*c)[at + 7]});
    return out;
}

std::string productVar(const SimDevice &d) {
    const auto &v = d.desc.device;
    return format("%x/%x/%x", d.desc.vendor(), d.desc.product(), v[12] | v[13] << 8);
}

// The uevent datagram of the device: "<action>@<devpath>" then the variables, each
// ended by a zero byte.
std::string deviceUevent(World &w, const SimDevice &d, const char *action) {
    const auto &v = d.desc.device;
    std::vector<std::string> vars = {
        format("ACTION=%s", action),
        "DEVPATH=" + d.kobject,
        "SUBSYSTEM=usb",
        "MAJOR=189",
        format("MINOR=%d", deviceMinor(d)),
        format("DEVNAME=bus/usb/%03d/%03d", d.bus, d.devnum),
        "DEVTYPE=usb_device",
        "DRIVER=usb",
        "PRODUCT=" + productVar(d),
        format("TYPE=%d/%d/%d", v[4], v[5], v[6]),
        format("BUSNUM=%03d", d.bus),
        format("DEVNUM=%03d", d.devnum),
        format("SEQNUM=%llu", static_cast<unsigned long long>(++w.seqnum)),
    };
    std::string msg = std::string(action) + "@" + d.kobject;
    msg.push_back('\0');
    for (const auto &s : vars) {
        msg += s;
        msg.push_back('\0');
    }
    return msg;
}

std::string interfaceName(const SimDevice &d, int number) {
    return format("%s:%d.%d", d.name_.c_str(), d.config, number);
}

std::string interfaceUevent(World &w, const SimDevice &d, const std::array<int, 4> &i, const char *action) {
    const auto &v = d.desc.device;
    std::string path = d.kobject + "/" + interfaceName(d, i[0]);
    std::vector<std::string> vars = {
        format("ACTION=%s", action),
        "DEVPATH=" + path,
        "SUBSYSTEM=usb",
        "DEVTYPE=usb_interface",
        "PRODUCT=" + productVar(d),
        format("TYPE=%d/%d/%d", v[4], v[5], v[6]),
        format("INTERFACE=%d/%d/%d", i[1], i[2], i[3]),
        format("MODALIAS=usb:v%04Xp%04Xd%04Xdc%02Xdsc%02Xdp%02Xic%02Xisc%02Xip%02Xin%02X", d.desc.vendor(),
               d.desc.product(), v[12] | v[13] << 8, v[4], v[5], v[6], i[1], i[2], i[3], i[0]),
        format("SEQNUM=%llu", static_cast<unsigned long long>(++w.seqnum)),
    };
    std::string msg = std::string(action) + "@" + path;
    msg.push_back('\0');
    for (const auto &s : vars) {
        msg += s;
        msg.push_back('\0');
    }
    return msg;
}

// Writes the device's sysfs directory in the kernel's formats, its link in
// /sys/bus/usb/devices and its usbfs node (a plain file: the stand-in serves opens of it).
bool writeSysfs(const SimDevice &d) {
    std::error_code ec;
    std::string dir = sysPath("/sys" + d.kobject);
    fs::create_directories(dir, ec);
    if (ec) return false;
    const auto &v = d.desc.device;
    uint16_t bcdUsb = v[2] | v[3] << 8;
    int maxPower = 0;
    if (const auto *c =
            d.desc.config(d.config ? d.config : (d.desc.configs.empty() ? 0 : d.desc.configs[0][5])))
        maxPower = (*c)[8] * (d.desc.speed == UsbSpeed::Super ? 8 : 2);
    std::vector<std::pair<std::string, std::string>> attrs = {
        {"speed", std::string(speedText(d.desc.speed)) + "\n"},
        {"version", format("%2x.%02x\n", bcdUsb >> 8, bcdUsb & 0xFF)},
        {"bMaxPower", format("%dmA\n", maxPower)},
        {"bcdDevice", format("%04x\n", v[12] | v[13] << 8)},
        {"idVendor", format("%04x\n", d.desc.vendor())},
        {"idProduct", format("%04x\n", d.desc.product())},
        {"bDeviceClass", format("%02x\n", v[4])},
        {"bDeviceSubClass", format("%02x\n", v[5])},
        {"bDeviceProtocol", format("%02x\n", v[6])},
        {"bNumConfigurations", format("%d\n", v[17])},
        {"bConfigurationValue", d.config ? format("%d\n", d.config) : std::string("\n")},
        {"dev", format("189:%d\n", deviceMinor(d))},
        {"devpath", d.devpath + "\n"},
        {"busnum", format("%d\n", d.bus)},
        {"devnum", format("%d\n", d.devnum)},
        {"uevent",
         format("MAJOR=189\nMINOR=%d\nDEVNAME=bus/usb/%03d/%03d\nDEVTYPE=usb_device\nDRIVER=usb\n"
                "PRODUCT=%s\nTYPE=%d/%d/%d\nBUSNUM=%03d\nDEVNUM=%03d\n",
                deviceMinor(d), d.bus, d.devnum, productVar(d).c_str(), v[4], v[5], v[6], d.bus, d.devnum)},
    };
    const char *stringFiles[3] = {"manufacturer", "product", "serial"};
    for (int i = 0; i < 3; i++)
        if (v[14 + i] != 0) attrs.push_back({stringFiles[i], stringText(d.desc, v[14 + i]) + "\n"});
    for (const auto &[file, text] : attrs)
        if (!writeText(dir + "/" + file, text)) return false;
    // "descriptors": the device descriptor followed by every configuration, raw.
    std::string raw(d.desc.device.begin(), d.desc.device.end());
    for (const auto &c : d.desc.configs)
        raw.append(c.begin(), c.end());
    if (!writeText(dir + "/descriptors", raw)) return false;
    for (const auto &i : activeInterfaces(d)) {
        std::string idir = dir + "/" + interfaceName(d, i[0]);
        fs::create_directories(idir, ec);
        writeText(idir + "/bInterfaceNumber", format("%02x\n", i[0]));
        writeText(idir + "/bAlternateSetting", " 0\n");
        writeText(idir + "/bInterfaceClass", format("%02x\n", i[1]));
        writeText(idir + "/bInterfaceSubClass", format("%02x\n", i[2]));
        writeText(idir + "/bInterfaceProtocol", format("%02x\n", i[3]));
    }
    std::string links = sysPath("/sys/bus/usb/devices");
    fs::create_directories(links, ec);
    fs::remove(links + "/" + d.name_, ec);
    fs::create_symlink("../../.." + d.kobject, links + "/" + d.name_, ec);
    std::string busDir = sysPath(format("/dev/bus/usb/%03d", d.bus));
    fs::create_directories(busDir, ec);
    writeText(busDir + format("/%03d", d.devnum), "");
    return true;
}

// The device node stays, as the nodes the daemon makes itself do: opening it after
// the device went gives ENODEV.
void removeSysfs(const SimDevice &d) {
    std::error_code ec;
    fs::remove_all(sysPath("/sys" + d.kobject), ec);
    fs::remove(sysPath("/sys/bus/usb/devices/" + d.name_), ec);
}

std::vector<std::string> addUevents(World &w, const SimDevice &d) {
    std::vector<std::string> out{deviceUevent(w, d, "add")};
    for (const auto &i : activeInterfaces(d))
        out.push_back(interfaceUevent(w, d, i, "add"));
    return out;
}

void sendRemoveUevents(World &w, SimDevice &d) {
    d.trace.push_back("UEVENT remove");
    for (const auto &i : activeInterfaces(d))
        sendUevent(interfaceUevent(w, d, i, "remove"));
    sendUevent(deviceUevent(w, d, "remove"));
}

// The kernel hands out device numbers round robin from 2 to 127 (1 is the root hub).
int allocateDevnum(World &w, int bus) {
    auto &used = w.devnums[bus];
    int last = w.lastDevnum.count(bus) ? w.lastDevnum[bus] : 1;
    for (int k = 1; k <= 126; k++) {
        int n = (last - 2 + k) % 126 + 2;
        if (!used.count(n)) {
            used.insert(n);
            w.lastDevnum[bus] = n;
            return n;
        }
    }
    return -1;
}

// A decimal number within [low, high].
bool parseNumber(const std::string &text, uint64_t low, uint64_t high, uint64_t &out) {
    if (text.empty() || text.size() > 20 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (errno == ERANGE || v < low || v > high) return false;
    out = v;
    return true;
}

bool validDevpath(const std::string &p) {
    if (p.empty() || p.size() > 20) return false;
    int levels = 0;
    size_t at = 0;
    while (at <= p.size()) {
        size_t dot = p.find('.', at);
        std::string part = p.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
        if (part.empty() || part.size() > 2 || !std::all_of(part.begin(), part.end(), ::isdigit))
            return false;
        int n = std::stoi(part);
        if (n < 1 || n > 15) return false;
        levels++;
        if (dot == std::string::npos) break;
        at = dot + 1;
    }
    return levels <= 5;
}

int portOfDevice(int bus, const std::string &devpath) {
    const ProductParams &p = productParams();
    return usbPortOf(p.productId, p.hwMajor, bus, devpath, busIsPci(bus));
}

bool isHub(const SimDevice &d) {
    return d.desc.device.size() >= 18 && d.desc.device[4] == USB_CLASS_HUB;
}

} // namespace

std::string plugLocked(World &w, int bus, const std::string &devpath, const std::string &kind,
                       const UsbOptions &options, bool boardHub, std::string &error) {
    if (bus < 1 || bus > 16 || !validDevpath(devpath)) {
        error = "bad bus or topology path";
        return "";
    }
    std::string name = format("%d-%s", bus, devpath.c_str());
    if (w.devices.count(name)) {
        error = "occupied";
        return "";
    }
    std::string parentPath;
    size_t dot = devpath.rfind('.');
    if (dot != std::string::npos) {
        parentPath = devpath.substr(0, dot);
        std::string parentName = format("%d-%s", bus, parentPath.c_str());
        auto it = w.devices.find(parentName);
        if (it == w.devices.end()) {
            if (plugLocked(w, bus, parentPath, "hub", {}, true, error).empty()) return "";
        } else if (!isHub(*it->second)) {
            error = "not behind a hub";
            return "";
        }
    }
    int port = portOfDevice(bus, devpath);
    if (!boardHub && port > 0 && w.poweredOff.count(port)) {
        w.held[port].push_back({bus, devpath, kind, options});
        return name; // comes when the port's power returns
    }
    auto d = std::make_shared<SimDevice>();
    d->model = makeUsbModel(kind, options, d->desc, error);
    if (!d->model) return "";
    d->name_ = name;
    d->bus = bus;
    d->devpath = devpath;
    d->kind = kind;
    d->options = options;
    d->boardHub = boardHub;
    d->kobject = controllerPath(bus);
    std::string chain = format("%d-", bus);
    for (size_t at = 0;;) {
        size_t next = devpath.find('.', at);
        chain = next == std::string::npos ? format("%d-%s", bus, devpath.c_str())
                                          : format("%d-%s", bus, devpath.substr(0, next).c_str());
        d->kobject += "/" + chain;
        if (next == std::string::npos) break;
        at = next + 1;
    }
    if (auto it = options.find("pace"); it != options.end()) {
        // "usb2": the bus's own timing; a number: and at most that many bytes a second.
        d->paced = true;
        if (it->second != "usb2" && !parseNumber(it->second, 1, 10000000000ull, d->bytesPerSecond)) {
            error = "bad pace";
            return "";
        }
    }
    uint64_t number = 0;
    if (auto it = options.find("bytes"); it != options.end()) {
        if (!parseNumber(it->second, 0, UINT64_MAX, d->vanishAfter)) {
            error = "bad bytes";
            return "";
        }
    } else if (kind == "vanish") {
        d->vanishAfter = 4096;
    }
    if (auto it = options.find("latency"); it != options.end()) {
        if (!parseNumber(it->second, 0, 60000000, number)) {
            error = "bad latency";
            return "";
        }
        d->latencyNs = static_cast<int64_t>(number) * 1000;
    }
    d->devnum = allocateDevnum(w, bus);
    if (d->devnum < 0) {
        error = "bus full";
        return "";
    }
    // The kernel's generic driver picks the first configuration.
    if (!d->desc.configs.empty()) d->config = d->desc.configs[0][5];
    if (!writeSysfs(*d)) {
        w.devnums[bus].erase(d->devnum);
        removeSysfs(*d);
        error = "cannot write sysfs";
        return "";
    }
    w.devices[name] = d;
    w.order.push_back(name);
    w.goneTraces.erase(name);
    for (const auto &m : addUevents(w, *d))
        sendUevent(m);
    if (d->paced) startPacer();
    return name;
}

void unplugLocked(World &w, const std::string &name) {
    auto it = w.devices.find(name);
    if (it == w.devices.end()) return;
    std::shared_ptr<SimDevice> d = it->second;
    // Devices behind a hub go first, the deepest first.
    std::vector<std::string> children;
    for (const auto &[n, c] : w.devices)
        if (c->bus == d->bus && c->devpath.compare(0, d->devpath.size() + 1, d->devpath + ".") == 0)
            children.push_back(n);
    std::sort(children.begin(), children.end(),
              [](const std::string &a, const std::string &b) { return a.size() > b.size(); });
    for (const auto &c : children)
        unplugLocked(w, c);
    d->connected = false;
    if (w.removeFirst) {
        sendRemoveUevents(w, *d);
        hangUpFiles(*d);
    } else {
        hangUpFiles(*d);
        sendRemoveUevents(w, *d);
    }
    removeSysfs(*d);
    w.devnums[d->bus].erase(d->devnum);
    if (w.goneTraces.size() >= 64) w.goneTraces.erase(w.goneTraces.begin());
    w.goneTraces[name].assign(d->trace.begin(), d->trace.end());
    w.devices.erase(name);
    w.order.erase(std::remove(w.order.begin(), w.order.end(), name), w.order.end());
    w.changed.notify_all();
}

std::vector<std::string> coldplugUevents() {
    World &w = world();
    std::vector<std::string> out;
    for (const auto &name : w.order) {
        auto more = addUevents(w, *w.devices[name]);
        out.insert(out.end(), more.begin(), more.end());
    }
    return out;
}

int interfaceOfEndpoint(const SimDevice &dev, uint8_t endpoint) {
    const auto *c = dev.desc.config(dev.config);
    if (!c || dev.config == 0) return -1;
    int current = -1;
    bool active = false;
    for (size_t at = 9; at + 2 <= c->size() && (*c)[at] >= 2; at += (*c)[at]) {
        if ((*c)[at + 1] == USB_DT_INTERFACE && at + 9 <= c->size()) {
            current = (*c)[at + 2];
            auto alt = dev.altsetting.find(current);
            active = (*c)[at + 3] == (alt == dev.altsetting.end() ? 0 : alt->second);
        } else if ((*c)[at + 1] == USB_DT_ENDPOINT && at + 7 <= c->size() && active &&
                   (*c)[at + 2] == endpoint) {
            return current;
        }
    }
    return -1;
}

const usb_endpoint_descriptor *endpointDescriptor(const SimDevice &dev, uint8_t endpoint) {
    const auto *c = dev.desc.config(dev.config);
    if (!c || dev.config == 0) return nullptr;
    bool active = false;
    for (size_t at = 9; at + 2 <= c->size() && (*c)[at] >= 2; at += (*c)[at]) {
        if ((*c)[at + 1] == USB_DT_INTERFACE && at + 9 <= c->size()) {
            auto alt = dev.altsetting.find((*c)[at + 2]);
            active = (*c)[at + 3] == (alt == dev.altsetting.end() ? 0 : alt->second);
        } else if ((*c)[at + 1] == USB_DT_ENDPOINT && at + 7 <= c->size() && active &&
                   (*c)[at + 2] == endpoint) {
            return reinterpret_cast<const usb_endpoint_descriptor *>(c->data() + at);
        }
    }
    return nullptr;
}

} // namespace usb

using namespace usb;

std::string usbPlug(int bus, const std::string &devpath, const std::string &kind, const UsbOptions &options,
                    std::string &error) {
    World &w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    return plugLocked(w, bus, devpath, kind, options, false, error);
}

int usbUnplug(const std::string &name) {
    World &w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    if (!w.devices.count(name)) return -1;
    unplugLocked(w, name);
    return 0;
}

void usbUnplugAll() {
    World &w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    while (!w.order.empty())
        unplugLocked(w, w.order.front());
    w.held.clear();
    w.poweredOff.clear();
    w.goneTraces.clear();
    w.lastDevnum.clear();
}

std::vector<std::string> usbDevices() {
    World &w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    return w.order;
}

std::string usbNodePath(const std::string &name) {
    World &w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    auto it = w.devices.find(name);
    if (it == w.devices.end()) return "";
    return sysPath(format("/dev/bus/usb/%03d/%03d", it->second->bus, it->second->devnum));
}

void usbPortPower(int port, bool on) {
    World &w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    if (!on) {
        if (!w.poweredOff.insert(port).second) return;
        // The board's hubs stay; what hangs on the port goes, hubs with their children.
        std::vector<std::shared_ptr<SimDevice>> gone;
        for (const auto &name : w.order) {
            auto &d = w.devices[name];
            if (!d->boardHub && portOfDevice(d->bus, d->devpath) == port) gone.push_back(d);
        }
        std::sort(gone.begin(), gone.end(),
                  [](const auto &a, const auto &b) { return a->devpath.size() < b->devpath.size(); });
        for (const auto &d : gone) {
            w.held[port].push_back({d->bus, d->devpath, d->kind, d->options});
            unplugLocked(w, d->name_);
        }
        return;
    }
    if (!w.poweredOff.erase(port)) return;
    auto held = std::move(w.held[port]);
    w.held.erase(port);
    for (const auto &h : held) {
        std::string error;
        plugLocked(w, h.bus, h.devpath, h.kind, h.options, false, error);
    }
}

int usbPortOf(uint32_t product, uint32_t hw, int b, const std::string &devpath, bool pciPath) {
    int m = 0, o = 0, t = 0;
    std::sscanf(devpath.c_str(), "%d.%d.%d", &m, &o, &t);
    auto as287 = [&] { return b == 1 || b == 2 ? 1 : b == 3 || b == 4 ? 2 : -1; };
    switch (product) {
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
        return (b == 1 || b == 2) && o <= 3 ? o : -1;
    case 294:
        if (o > 4) return -1;
        return b == 1 || b == 2 ? o : b == 3 ? o + 4 : -1;
    case 295:
        if (b == 1 || b == 2) return o <= 7 ? o : -1;
        if (b == 3) return o <= 5 ? o + 5 : o <= 7 ? 5 * (o - 5) + t + 5 : -1;
        return -1;
    case 296:
        return b == 1 || b == 2 ? m : -1;
    case 297:
    case 298:
    case 302:
    case 314:
    case 317:
        return m;
    case 303:
    case 304:
        if (hw == 4) return b == 1 || b == 2 ? 1 : -1;
        return b == 2 || b == 3 ? 1 : -1;
    case 305:
    case 306:
    case 1000:
    case 1001:
        if (hw == 3) return as287();
        if (pciPath) return hw <= 3 || m == 1 ? 2 : 1;
        return b == 1 ? -1 : 1;
    case 307:
        return b == 1 || b == 2 ? o : -1;
    default:
        return -1;
    }
}

bool usbPortLocation(int port, int &bus, std::string &devpath) {
    if (port < 1) return false;
    const ProductParams &p = productParams();
    for (int b = 1; b <= 4; b++) {
        std::vector<std::string> paths;
        for (int m = 1; m <= 8; m++)
            paths.push_back(std::to_string(m));
        for (int m = 1; m <= 4; m++)
            for (int o = 1; o <= 8; o++)
                paths.push_back(format("%d.%d", m, o));
        for (int m = 1; m <= 2; m++)
            for (int o = 1; o <= 7; o++)
                for (int t = 1; t <= 7; t++)
                    paths.push_back(format("%d.%d.%d", m, o, t));
        for (const auto &path : paths)
            if (usbPortOf(p.productId, p.hwMajor, b, path, busIsPci(b)) == port) {
                bus = b;
                devpath = path;
                return true;
            }
    }
    return false;
}

void usbSetRemoveFirst(bool removeFirst) {
    World &w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    w.removeFirst = removeFirst;
}

namespace {

// Runs f on the device of that name under the lock; -1 when there is none.
template <class F> int onDevice(const std::string &name, F f) {
    World &w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    auto it = w.devices.find(name);
    if (it == w.devices.end()) return -1;
    f(*it->second);
    return 0;
}

} // namespace

int usbInject(const std::string &name, const std::string &ioctl, int err, int count) {
    return onDevice(name, [&](SimDevice &d) {
        if (err == 0)
            d.injections.erase(ioctl);
        else
            d.injections[ioctl] = {err, count};
    });
}

int usbEndpointStatus(const std::string &name, uint8_t endpoint, int err, int count) {
    return onDevice(name, [&](SimDevice &d) {
        if (err == 0 || count == 0)
            d.endpointFaults.erase(endpoint);
        else
            d.endpointFaults[endpoint] = {err, count};
    });
}

int usbIsoPacketStatus(const std::string &name, uint8_t endpoint, int packet, int err, int count) {
    return onDevice(name, [&](SimDevice &d) {
        auto &list = d.isoFaults[endpoint];
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](const SimDevice::IsoFault &f) { return f.packet == packet; }),
                   list.end());
        if (err != 0 && count != 0) list.push_back({packet, err, count});
        if (list.empty()) d.isoFaults.erase(endpoint);
    });
}

int usbControlDelay(const std::string &name, int64_t microseconds) {
    return onDevice(name, [&](SimDevice &d) {
        d.controlDelayNs = microseconds < 0 ? -1 : microseconds * 1000;
        if (microseconds != 0) startPacer();
    });
}

int usbResetReenumerates(const std::string &name, bool on) {
    return onDevice(name, [&](SimDevice &d) { d.reenumerateOnReset = on; });
}

std::vector<std::string> usbTrace(const std::string &name) {
    World &w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    auto it = w.devices.find(name);
    if (it != w.devices.end()) return {it->second->trace.begin(), it->second->trace.end()};
    auto gone = w.goneTraces.find(name);
    return gone == w.goneTraces.end() ? std::vector<std::string>() : gone->second;
}

void usbClearTrace(const std::string &name) {
    World &w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    if (auto it = w.devices.find(name); it != w.devices.end()) it->second->trace.clear();
}

int usbStall(const std::string &name, uint8_t endpoint) {
    return onDevice(name, [&](SimDevice &d) { d.halted.insert(endpoint); });
}

std::string usbPoke(const std::string &name, const std::vector<std::string> &words) {
    World &w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    auto it = w.devices.find(name);
    if (it == w.devices.end()) return "no such device";
    auto d = it->second;
    std::string error = d->model->command(*d, words);
    if (error.empty()) pumpDevice(*d);
    if (d->vanishing && d->connected) unplugLocked(w, d->name_);
    return error;
}

uint64_t usbMemoryInUse() {
    World &w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    return w.memoryInUse;
}

// ---- control commands ---------------------------------------------------------

namespace {

int errnoFromText(const std::string &t) {
    static const std::map<std::string, int> names = {
        {"EPIPE", EPIPE},         {"ENODEV", ENODEV},       {"EIO", EIO},
        {"ETIMEDOUT", ETIMEDOUT}, {"EBUSY", EBUSY},         {"ENOMEM", ENOMEM},
        {"EPROTO", EPROTO},       {"EINVAL", EINVAL},       {"ENOENT", ENOENT},
        {"ESHUTDOWN", ESHUTDOWN}, {"EOVERFLOW", EOVERFLOW}, {"EILSEQ", EILSEQ},
        {"ENOTTY", ENOTTY},       {"EAGAIN", EAGAIN},       {"EINTR", EINTR},
        {"EACCES", EACCES},       {"EPERM", EPERM},         {"ETIME", ETIME},
        {"EXDEV", EXDEV},         {"EREMOTEIO", EREMOTEIO}, {"ECONNRESET", ECONNRESET},
        {"EMSGSIZE", EMSGSIZE},
    };
    auto it = names.find(t);
    if (it != names.end()) return it->second;
    char *end = nullptr;
    long v = std::strtol(t.c_str(), &end, 10);
    return end && *end == 0 && !t.empty() && v >= 0 && v < 4096 ? static_cast<int>(v) : -1;
}

// An endpoint address in hex ("81", "0x81"); -1 when it is not one.
int endpointFromText(const std::string &t) {
    std::string digits = t.compare(0, 2, "0x") == 0 ? t.substr(2) : t;
    if (digits.empty() || digits.size() > 2 || !std::all_of(digits.begin(), digits.end(), ::isxdigit))
        return -1;
    return static_cast<int>(std::strtoul(digits.c_str(), nullptr, 16));
}

// A use count: -1 (until cleared) or 0 to a million; INT_MIN when it is not one.
int countFromText(const std::string &t) {
    if (t == "-1") return -1;
    uint64_t v = 0;
    return parseNumber(t, 0, 1000000, v) ? static_cast<int>(v) : INT32_MIN;
}

} // namespace

std::string usbControl(const std::vector<std::string> &a, std::string &out) {
    if (a.size() < 2)
        return "usage: usb "
               "plug|unplug|stall|status|iso-status|control-delay|reset-fault|inject|trace|poke|order "
               "...";
    const std::string &sub = a[1];
    if (sub == "plug") {
        if (a.size() < 4) return "usage: usb plug <bus>-<path>|port:<n> <kind> [key=value...]";
        int bus = 0;
        std::string path;
        if (a[2].compare(0, 5, "port:") == 0) {
            if (!usbPortLocation(std::atoi(a[2].c_str() + 5), bus, path)) return "no such port";
        } else {
            size_t dash = a[2].find('-');
            if (dash == std::string::npos || dash == 0 || dash > 2) return "bad location";
            bus = std::atoi(a[2].substr(0, dash).c_str());
            path = a[2].substr(dash + 1);
        }
        UsbOptions options;
        for (size_t i = 4; i < a.size(); i++) {
            size_t eq = a[i].find('=');
            if (eq == std::string::npos || eq == 0) return "bad option " + a[i];
            options[a[i].substr(0, eq)] = a[i].substr(eq + 1);
        }
        std::string error;
        std::string name = usbPlug(bus, path, a[3], options, error);
        if (name.empty()) return error;
        out += name + "\n";
        return "";
    }
    if (sub == "unplug" && a.size() == 3) return usbUnplug(a[2]) == 0 ? "" : "no such device";
    if (sub == "stall" && a.size() == 4) {
        int ep = endpointFromText(a[3]);
        if (ep < 0) return "bad endpoint";
        return usbStall(a[2], static_cast<uint8_t>(ep)) == 0 ? "" : "no such device";
    }
    if (sub == "status" && (a.size() == 5 || a.size() == 6)) {
        int ep = endpointFromText(a[3]), err = errnoFromText(a[4]);
        int count = a.size() == 6 ? countFromText(a[5]) : -1;
        if (ep < 0) return "bad endpoint";
        if (err < 0) return "bad errno";
        if (count == INT32_MIN) return "bad count";
        return usbEndpointStatus(a[2], static_cast<uint8_t>(ep), err, count) == 0 ? "" : "no such device";
    }
    if (sub == "iso-status" && (a.size() == 6 || a.size() == 7)) {
        int ep = endpointFromText(a[3]), err = errnoFromText(a[5]);
        int count = a.size() == 7 ? countFromText(a[6]) : -1;
        uint64_t packet = 0;
        if (ep < 0) return "bad endpoint";
        if (!parseNumber(a[4], 0, 127, packet)) return "bad packet";
        if (err < 0) return "bad errno";
        if (count == INT32_MIN) return "bad count";
        return usbIsoPacketStatus(a[2], static_cast<uint8_t>(ep), static_cast<int>(packet), err, count) == 0
                   ? ""
                   : "no such device";
    }
    if (sub == "control-delay" && a.size() == 4) {
        uint64_t us = 0;
        if (a[3] != "never" && !parseNumber(a[3], 0, 60000000, us)) return "bad delay";
        return usbControlDelay(a[2], a[3] == "never" ? -1 : static_cast<int64_t>(us)) == 0 ? ""
                                                                                           : "no such device";
    }
    if (sub == "reset-fault" && a.size() == 4 && (a[3] == "reenumerate" || a[3] == "none"))
        return usbResetReenumerates(a[2], a[3] == "reenumerate") == 0 ? "" : "no such device";
    if (sub == "inject" && (a.size() == 5 || a.size() == 6)) {
        int err = errnoFromText(a[4]);
        if (err < 0) return "bad errno";
        int count = a.size() == 6 ? std::atoi(a[5].c_str()) : -1;
        return usbInject(a[2], a[3], err, count) == 0 ? "" : "no such device";
    }
    if (sub == "trace" && (a.size() == 3 || (a.size() == 4 && a[3] == "clear"))) {
        if (a.size() == 4) {
            usbClearTrace(a[2]);
            return "";
        }
        for (const auto &line : usbTrace(a[2]))
            out += line + "\n";
        return "";
    }
    if (sub == "poke" && a.size() >= 3)
        return usbPoke(a[2], std::vector<std::string>(a.begin() + 3, a.end()));
    if (sub == "order" && a.size() == 3 && (a[2] == "remove-first" || a[2] == "remove-last")) {
        usbSetRemoveFirst(a[2] == "remove-first");
        return "";
    }
    return "bad usb command";
}

void usbStateLines(std::string &out) {
    World &w = world();
    std::lock_guard<std::mutex> guard(w.lock);
    for (const auto &name : w.order) {
        const auto &d = *w.devices[name];
        out += format("usb %s bus %d dev %d port %d kind %s id %04x:%04x config %d files %zu%s%s\n",
                      name.c_str(), d.bus, d.devnum, portOfDevice(d.bus, d.devpath), d.kind.c_str(),
                      d.desc.vendor(), d.desc.product(), d.config, d.files.size(), d.boardHub ? " board" : "",
                      d.paced ? " paced" : "");
        d.model->state(out);
    }
    for (const auto &[port, list] : w.held)
        out += format("usb_held port %d devices %zu\n", port, list.size());
    out += format("usb_memory %llu\n", static_cast<unsigned long long>(w.memoryInUse));
}

namespace {

int startUsb() {
    registerDevicePath(sysPath("/dev/bus/usb/"), openUsbFile);
    addCommand("usb",
               std::string("usb plug <bus>-<path>|port:<n> <kind> [key=value...]   (kinds: ") +
                   usbModelKinds() +
                   "; options: vid pid bcd speed strings serial pace=usb2|<bytes/s> latency=<us> bytes "
                   "image size lengths)\n"
                   "usb unplug <name>\n"
                   "usb stall <name> <ep>\n"
                   "usb status <name> <ep> <errno> [count]   (completion status of the next URBs)\n"
                   "usb iso-status <name> <ep> <packet> <errno> [count]\n"
                   "usb control-delay <name> <microseconds>|never\n"
                   "usb reset-fault <name> reenumerate|none\n"
                   "usb inject <name> <IOCTL> <errno> [count]\n"
                   "usb trace <name> [clear]\n"
                   "usb poke <name> <words>\n"
                   "usb order remove-first|remove-last",
               usbControl);
    addState(usbStateLines);
    return 0;
}

void stopUsb() {
    usbUnplugAll();
    stopPacer();
    unregisterDevicePath(sysPath("/dev/bus/usb/"));
}

StandIn usbStandIn("usb", startUsb, stopUsb);

} // namespace

} // namespace sim
