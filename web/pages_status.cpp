// The home page with its table of USB ports, the logout page, and the administrator's
// information pages under "/info/": counters, and live dumps of tasks, network,
// devices, files, the IP filter and the USB server.

#include "web/pages_status.h"

#include "core/catalogue.h"
#include "core/gpio.h"
#include "core/master.h"
#include "core/param.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/sysroot.h"
#include "core/tcp.h"
#include "core/ticks.h"
#include "net/netif.h"
#include "notify/slot.h"
#include "param_catalogue.h"
#include "usbserver/usb_access.h"
#include "usbserver/usb_device.h"
#include "usbserver/usb_server.h"
#include "usbserver/usb_start.h"
#include "web/htmlstrm.h"
#include "web/http.h"
#include "web/pages.h"
#include "web/pages_net.h"
#include "web/sessions.h"
#include "web/webtext.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <sys/stat.h>
#include <vector>

namespace {

// The number of USB ports whose parameters and counters exist.
int usbPortCount() {
    return static_cast<int>(std::min<uint32_t>(productParams().usbPorts, UsbMaxPorts));
}

std::string paramKeyword(Param *p) {
    char text[256] = "";
    if (p) p->toText(text, sizeof text, false);
    return text;
}

std::string orUnknown(const char *text) {
    return text[0] ? htmlEscaped(text) : std::string("???");
}

// What the port table and the port pages show of one device entry, copied under the
// entry's lock so that a device leaving meanwhile cannot mix two devices' texts.
struct DeviceSnapshot {
    int state = 0;
    int port = 0;
    int vendorId = 0;
    int productId = 0;
    char manufacturer[64] = "";
    char product[64] = "";
    char serial[64] = "";
    bool ownerTls = false;
};

bool takeSnapshot(int index, DeviceSnapshot &s) {
    UsbDevice &e = usbDeviceTable[index];
    if (e.state.load() <= 1) return false;
    pthread_mutex_lock(&e.mutex);
    s.state = e.state.load();
    s.port = e.port;
    s.vendorId = e.vendorId;
    s.productId = e.productId;
    std::memcpy(s.manufacturer, e.manufacturer, sizeof s.manufacturer);
    std::memcpy(s.product, e.product, sizeof s.product);
    std::memcpy(s.serial, e.serial, sizeof s.serial);
    s.manufacturer[sizeof s.manufacturer - 1] = s.product[sizeof s.product - 1] =
        s.serial[sizeof s.serial - 1] = '\0';
    s.ownerTls = e.owner && e.owner->connection && e.owner->connection->tls;
    pthread_mutex_unlock(&e.mutex);
    return s.state > 1;
}

int tableEntries() {
    return std::clamp(usbDeviceCount.load(), 0, UsbDeviceTableSize);
}

} // namespace

int writeUsbPortTable(HttpConnection &c) {
    return writeUsbPortTable(c, usbPortCount());
}

int writeUsbPortTable(HttpConnection &c, int ports) {
    int level = p_sessKeys->isOn() ? c.renderLevel() : 4;
    int plugged = 0;
    for (int n = 1; n <= ports; n++) {
        Param *power = ptable().find("zqn_ppwr_", 9, n);
        if (power == nullptr) continue;
        std::string p = paramKeyword(power);
        if (p != "on") {
            c.setVarIndexed("UTAB_dlist_", n,
                            p == "fail" ? getmuText("Port deactivated by power limit violation")
                                        : getmuText("Port deactivated"));
            continue;
        }
        std::string list = "<ul>";
        int entries = 0;
        Param *tag = ptable().find("zqn_tag_", 8, n);
        if (tag && tag->hasValue()) {
            auto text = static_cast<StringParam *>(tag)->getText();
            if (!text.empty()) {
                list += "<li>" + htmlEscaped(text.c_str()) + "</li>";
                entries++;
            }
        }
        std::string access = paramKeyword(ptable().find("zqn_accctrl_", 12, n));
        bool vendorList = access == "ids" || access == "keyids";
        bool hot = false, listed = true;
        for (int i = 0; i < tableEntries(); i++) {
            DeviceSnapshot d;
            if (!takeSnapshot(i, d) || d.port != n) continue;
            char attr[64] = "";
            if (entries > 0) std::snprintf(attr, sizeof attr, "name=\"succ%d\" style=\"display:none;\" ", n);
            std::string manu = orUnknown(d.manufacturer), prod = orUnknown(d.product);
            char item[1024];
            std::snprintf(item, sizeof item, "<li %stitle=\"%s (%04x) %s (%04x) %s\"> %s %s </li>", attr,
                          manu.c_str(), d.vendorId & 0xffff, prod.c_str(), d.productId & 0xffff,
                          orUnknown(d.serial).c_str(), manu.c_str(), prod.c_str());
            list += item;
            entries++;
            bool opened = d.state == 3;
            bool inUse = false;
            Param *owner = ptable().find("usb_owner_", 10, i + 1);
            if (owner) {
                std::string o = owner->hasValue() ? static_cast<StringParam *>(owner)->getText() : "";
                if (o == "Available") {
                    c.setVarIndexed("UTAB_devs_", n,
                                    check_device_assignment(i, n) ? getmuText("Available")
                                                                  : getmuText("No access"));
                } else if (opened) {
                    char text[512];
                    std::snprintf(text, sizeof text, getmuText("Occupied by %s"),
                                  htmlEscaped(o.c_str()).c_str());
                    c.setVarIndexed("UTAB_devs_", n, text);
                    inUse = true;
                } else {
                    c.setVarIndexed("UTAB_devs_", n, htmlEscaped(o.c_str()).c_str());
                }
            } else {
                inUse = opened;
            }
            if (p_zqn_sec->isOn()) c.setVarIndexed("UTAB_sec_", n, "1");
            if (inUse && level >= 3) hot = true;
            if (d.ownerTls) c.setVarIndexed("UTAB_ssl_", n, "1");
            if (vendorList && !match_vendprod_ids(i, n)) listed = false;
            plugged++;
        }
        if (entries > 0) {
            list += "</ul>";
            c.setVarIndexed("UTAB_dlist_", n, list.c_str());
            if (entries >= 2) c.setVarIndexed("UTAB_succs_", n, "1");
        }
        int fast = productParams().productId == 295 ? 5 : 4;
        c.setVarIndexed("UTAB_23_", n, n > fast ? "2.0" : "3.0");
        if (hot) c.setVarIndexed("UTAB_hot_", n, "1");
        if (access == "keyids")
            c.setVarIndexed("UTAB_protect_", n, listed ? "status" : "statusred");
        else if (access == "ids")
            c.setVarIndexed("UTAB_protect_", n, listed ? "chain" : "chainred");
        else if (access == "key")
            c.setVarIndexed("UTAB_protect_", n, "lock");
        Param *vlan = ptable().find("zqn_2vlan_", 10, n);
        if (vlan) {
            int v = static_cast<IntParam *>(vlan)->value();
            if (v <= 0) {
                c.setVarIndexed("UTAB_VLan_", n, "&lowast;");
            } else if (v > ports) {
                c.setVarIndexed("UTAB_VLan_", n, "&mdash;");
            } else {
                Param *id = ptable().find("ipvlan_id_", 10, v);
                c.setVarIndexedf("UTAB_VLan_", n, "%d:%d", v, id ? static_cast<IntParam *>(id)->value() : -1);
            }
        }
    }
    c.setVarf("USB_PLUGGED", "%d", plugged);
    return PageTemplate;
}

bool resolveAppliancePath(const std::string &query, std::string &path) {
    if (query.size() > 1024) return false;
    std::string decoded;
    for (size_t i = 0; i < query.size(); i++) {
        char ch = query[i];
        if (ch == '%') {
            if (i + 2 >= query.size() + 0 || !std::isxdigit(static_cast<unsigned char>(query[i + 1])) ||
                !std::isxdigit(static_cast<unsigned char>(query[i + 2])))
                return false;
            ch = static_cast<char>(std::stoi(query.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else if (ch == '+') {
            ch = ' ';
        }
        if (ch == '\0') return false;
        decoded += ch;
    }
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= decoded.size()) {
        size_t slash = decoded.find('/', at);
        if (slash == std::string::npos) slash = decoded.size();
        std::string part = decoded.substr(at, slash - at);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = slash + 1;
    }
    path.clear();
    for (const std::string &part : parts)
        path += "/" + part;
    if (path.empty()) path = "/";
    return true;
}

void keepOnlyFields(HttpConnection &c, bool (*allowed)(const char *name, int port), int port) {
    c.formFields();
    auto &fields = c.fields;
    fields.erase(std::remove_if(fields.begin(), fields.end(),
                                [&](const FormField &f) {
                                    const char *name = f.name;
                                    if (std::strncmp(name, "__", 2) == 0) name += 2;
                                    // Fields that name no parameter ("action") are the
                                    // page's own and stay.
                                    if (*name < 'a' || *name > 'z' || ptable().find(name) == nullptr)
                                        return false;
                                    return !allowed(name, port);
                                }),
                 fields.end());
}

namespace {

int startPage(HttpConnection &c, const PageEntry &) {
    int ports = usbPortCount();
    // A disconnection changes state: honoured from a form post, or from a link followed
    // with the session cookie, which the browser sends only from the appliance's own
    // pages (SameSite=Strict). The refresh goes to the page without the action.
    if (const char *d = c.formValue("disconnect")) {
        char *end = nullptr;
        long port = std::strtol(d, &end, 10);
        bool sameSite = c.method == MethodPost || (p_sessKeys->isOn() && c.sessionSlot >= 0);
        bool allowed = !p_sessKeys->isOn() || c.userLevel > 2;
        if (end != d && *end == '\0' && port >= 1 && port <= ports && allowed && sameSite) {
            c.refreshTarget = c.path;
            c.refreshDelay = 3;
            release_port_devices(static_cast<int>(port), 1);
        }
    }
    const ProductParams &pp = productParams();
    c.setVar("SerialNo", serialNumberText(pp).c_str());
    c.setNowVariable();
    const uint8_t *m = pp.factoryMac;
    c.setVarf("MacAddr", "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    uint32_t features = productFeatureMask(pp.productId);
    if (features & 0x400000) {
        int inputs = gpioDevice().readInputs();
        if (inputs >= 0) {
            if (!(inputs & 1)) c.setVar("LeftPow", "act");
            if (!(inputs & 2)) c.setVar("RightPow", "act");
        }
    } else {
        int flags = 0;
        mainInterface().getCarrier(&flags);
        c.setVar("LeftLink", flags & LinkLeftActive ? "act" : flags & LinkLeftStandby ? "car" : "");
        c.setVar("RightLink", flags & LinkRightActive ? "act" : flags & LinkRightStandby ? "car" : "");
        if (Display *display = gpioDevice().display()) {
            uint32_t state = display->stateWord();
            if (state & 1) c.setVar("LeftPow", "act");
            if (state & 2) c.setVar("RightPow", "act");
        }
    }
    c.setVar("SysType", "d-sys-qmr");
    switch (pp.productId) {
    case 283:
    case 284:
    case 297:
    case 298:
    case 302:
    case 304:
    case 306:
    case 314:
    case 1001:
        c.setVar(p_wifi->isOn() ? "WifiLink" : "LeftLink", "act");
        break;
    default:
        break;
    }
    if (features & 0x200000) {
        char name[16];
        storageSlotName(name, sizeof name);
        c.setVarEscaped("SDNam", name);
        if (p_autoSync->isOn() && storageSlotState() != 3)
            c.setVar("HeadInfo", getmuText("Writing to SD card not possible"));
    }
    c.setVarf("MaxDevs", "%d", usbMaxDevices(pp.productId, ports));
    // The IPv6 page's address variables, without its form pass, once that page exists.
    if (p_ipv6->isOn()) setIpv6Variables(c);
    char link[128];
    int n = mainInterface().describeLink(0, link, sizeof link);
    if (n > 0) c.setVarEscaped("LinkString", link);
    return writeUsbPortTable(c);
}

int exitPage(HttpConnection &c, const PageEntry &) {
    if (c.haveCookie) {
        const std::string &text = c.cookie;
        for (size_t at = text.find("SessKey="); at != std::string::npos; at = text.find("SessKey=", at + 1)) {
            size_t before = at;
            while (before > 0 && (text[before - 1] == ' ' || text[before - 1] == '\t'))
                before--;
            if (before != 0 && text[before - 1] != ';') continue;
            std::string key = text.substr(at + 8, 16);
            int slot = key.size() == 16 ? sessionStore().find(key.c_str(), false) : -1;
            if (slot >= 0 && slot <= HttpSessionStore::Special) sessionStore().release(slot);
            break;
        }
    }
    std::fill(c.store.begin(), c.store.end(), '\0');
    c.storeUsed = 0;
    return show_page(c, "/index.html");
}

} // namespace

std::string crashesText(int crashes, bool unclean, bool slotMarker) {
    if (crashes <= 0 && !unclean) return "";
    char text[48];
    std::snprintf(text, sizeof text, " [%d%s]%s", crashes, unclean ? "!" : "", slotMarker ? "!" : "");
    return text;
}

namespace {

void setInfoVariables(HttpConnection &c) {
    char text[64];
    formatUptime(sysTicks(), text, sizeof text, false);
    c.setVar("Alivetime", text);
    c.setVarf("Kickoffs", "%d", warmStarts.load());
    int crashes = crashCount.load();
    bool unclean = crashedLastRun.load();
    // The slot keeps no marker byte of its own: the second "!" stays off.
    std::string crashText = crashesText(crashes, unclean, false);
    if (!crashText.empty()) c.setVar("Crashes", crashText.c_str());
    struct stat st;
    c.setVar("UsbDeviceInfoPath", ::stat(sysPath("/proc/bus/usb/devices").c_str(), &st) == 0
                                      ? "/info/file?/proc/bus/usb/devices"
                                      : "/info/dir?/sys/bus/usb/devices");
}

int infoIndexPage(HttpConnection &c, const PageEntry &) {
    setInfoVariables(c);
    return PageTemplate;
}

int streamPage(HttpConnection &c, const char *name, HtmlStreamer::Writer writer,
               const char *type = "text/html") {
    return (new HtmlStreamer(name))->startFor(c, writer, type);
}

int threadsPage(HttpConnection &c, const PageEntry &) {
    return streamPage(c, "ThreadsInfo", writeThreadInfo);
}

int netPage(HttpConnection &c, const PageEntry &) {
    return streamPage(c, "NetInfo", writeNetCounters);
}

int devPage(HttpConnection &c, const PageEntry &) {
    return streamPage(c, "DevInfo", writeDeviceInfo);
}

// "/info/dir" and "/info/file" take an appliance path: resolved, then through the
// sandbox root.
int pathStreamPage(HttpConnection &c, const char *name, HtmlStreamer::Writer writer, const char *type) {
    std::string path;
    if (!resolveAppliancePath(c.query, path)) return PageServerError;
    return (new HtmlTextStreamer(name, sysPath(path).c_str()))->startFor(c, writer, type);
}

int dirPage(HttpConnection &c, const PageEntry &) {
    return pathStreamPage(c, "DirStream", writeDirListing, "text/html");
}

int filePage(HttpConnection &c, const PageEntry &) {
    return pathStreamPage(c, "FileStream", writeFileCopy, "text/plain");
}

void writeIpFilterInfo(HtmlStreamer &s) {
    s.printf("<H1> IP Filter </H1>\n<table class=\"striped\">\n<tr><th>No</th><th>On</th><th>String</th>"
             "<th>Filter</th></tr>\n");
    int highest = ptable().maxIndex("ip_filter_on_", 13);
    for (int i = 1; i <= highest; i++) {
        Param *on = ptable().find("ip_filter_on_", 13, i);
        Param *filter = ptable().find("ip_filter_", 10, i);
        if (on == nullptr || filter == nullptr) continue;
        std::string text = filter->hasValue() ? static_cast<StringParam *>(filter)->getText() : "";
        uint32_t address = 0, mask = 0;
        char description[128] = "";
        if (!parseAddressPattern(text.c_str(), address, mask, description, sizeof description))
            std::snprintf(description, sizeof description, "mismatch");
        s.printf("<tr><td> %d <td> %s <td> %s <td> %s </tr>\n", i, on->isOn() ? "&radic;" : "&nbsp",
                 text.empty() ? "&nbsp" : htmlEscaped(text.c_str()).c_str(),
                 htmlEscaped(description).c_str());
    }
    s.printf("</table>\n");
    s.printf("HTTP Port:%d is %s blocked.<p>\n", 80, p_http_allowed->isOn() ? "not" : "");
    s.printf("Protection level is \"%s\"<p>\n", htmlEscaped(p_protection_level->displayText()).c_str());
}

int filterPage(HttpConnection &c, const PageEntry &) {
    return streamPage(c, "Filter Info", writeIpFilterInfo);
}

void writeUsbInfo(HtmlStreamer &s) {
    int ports = usbPortCount();
    s.printf("<table class=\"striped\" width=\"80%%\">\n<tr><td> Devs/Slot </td>");
    for (int n = 1; n <= ports; n++)
        s.printf("<td>%d</td>", n);
    s.printf("</tr>\n<tr><td> pwr group </td>");
    for (int n = 1; n <= ports; n++)
        s.printf("<td>%c</td>", 'A');
    s.printf("</tr>\n<tr><td> attached </td>");
    for (int n = 1; n <= ports; n++)
        s.printf("<td>%d</td>", usbPortCounter[n - 1].load() / 100);
    s.printf("</tr>\n<tr><td> connected </td>");
    for (int n = 1; n <= ports; n++)
        s.printf("<td>%d</td>", usbPortCounter[n - 1].load() % 100);
    s.printf("</tr>\n</table>\n");
    usb_srv_status([&s](const char *data, size_t length) { return s.write(data, length); });
}

int usbInfoPage(HttpConnection &c, const PageEntry &) {
    return streamPage(c, "Usb Info", writeUsbInfo);
}

// The Wi-Fi status of the Wi-Fi manager.
void writeWifiInfo(HtmlStreamer &s) {
    writeWlanInfo(s);
}

int wlanInfoPage(HttpConnection &c, const PageEntry &) {
    return streamPage(c, "Wifi Info", writeWifiInfo);
}

} // namespace

WEB_PAGE("/start.html", startPage);
WEB_PAGE("/exit.html", exitPage);
WEB_PAGE("/info/index.html", infoIndexPage);
WEB_PAGE("/info/threads", threadsPage);
WEB_PAGE("/info/net", netPage);
WEB_PAGE("/info/dev", devPage);
WEB_PAGE("/info/dir", dirPage);
WEB_PAGE("/info/file", filePage);
WEB_PAGE("/info/filter", filterPage);
WEB_PAGE("/info/usb", usbInfoPage);
WEB_PAGE("/info/wlan", wlanInfoPage);
