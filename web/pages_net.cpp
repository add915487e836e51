// The network, Wi-Fi and device configuration pages: IPv4, IPv6, IP VLANs, Wi-Fi,
// Bonjour, servers, time, e-mail, notifications and relay. Each stores its form through
// the generic form handler and adds the live state the page shows beside the settings.

#include "web/pages_net.h"

#include "core/catalogue.h"
#include "core/gpio.h"
#include "core/param.h"
#include "core/platform.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/sysroot.h"
#include "core/task.h"
#include "core/ticks.h"
#include "core/utils_file.h"
#include "net/dhcp_client.h"
#include "net/ipv6.h"
#include "net/mdns.h"
#include "net/netif.h"
#include "net/wifi.h"
#include "notify/mail_content.h"
#include "notify/services.h"
#include "snmp/snmpd.h"
#include "web/htmlstrm.h"
#include "web/http.h"
#include "web/pages.h"
#include "web/webtext.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/time.h>
#include <vector>

namespace {

Param *param(const char *name) {
    return ptable().find(name);
}

bool paramOn(const char *name) {
    Param *p = param(name);
    return p && p->isOn();
}

std::string paramText(const char *name) {
    Param *p = param(name);
    if (p == nullptr) return std::string();
    auto *s = dynamic_cast<StringParam *>(p);
    if (s) return s->getText();
    char buffer[ParamMaxText + 1] = "";
    p->toText(buffer, sizeof buffer, false);
    return buffer;
}

uint32_t features() {
    auto *p = dynamic_cast<IntParam *>(param("sw_features"));
    return p ? static_cast<uint32_t>(p->value()) : 0;
}

bool isAction(HttpConnection &c, const char *name) {
    const char *action = c.formValue("action");
    return action && std::strcmp(action, name) == 0;
}

// The refresh of a message page answered for an action: back to the page itself.
void refreshToRequest(HttpConnection &c, int delay) {
    c.refreshTarget = c.path;
    c.refreshDelay = delay;
}

// Applies and saves a form pass and acts on the change class as the generic form
// handler does; the restart answer, or PageTemplate.
int applyChangeClass(HttpConnection &c) {
    unsigned summary = ptable().saveIfChanged();
    if (summary & ChangeRestart) {
        HttpPages::setRefreshToCurrent(c);
        return restartAction(c, -1);
    }
    // Status words that moved meanwhile (temporary parameters) are no change of the form.
    if (summary & ChangeSave) c.setVar("HeadInfo", getmuText("Parameters have been changed."));
    if (summary & ChangeNotify) {
        HttpPages::setRefreshToCurrent(c);
        Task::postAll(configChangedMsg);
    }
    return PageTemplate;
}

// A time as the pages show it; false (nothing set) when there is none.
bool setTimeVar(HttpConnection &c, const char *name, time_t t, const char *prefix = "") {
    if (t == 0) return false;
    char text[64];
    if (formatDateTime(t, text, sizeof text) <= 0) return false;
    c.setVarf(name, "%s%s", prefix, text);
    return true;
}

// ---------------------------------------------------------------- IPv4

int ipv4Page(HttpConnection &c, const PageEntry &) {
    if (isAction(c, "set")) {
        // The address as it stood: a change flag left by the address set-up is no
        // change of this form.
        std::string oldAddress = paramText("ip_addr");
        int accepted = c.storeFormParams();
        Param *setBy = param("ip_setby");
        if (paramText("ip_addr") != oldAddress) {
            if (setBy) setBy->setFromText("http", 4);
            // The refresh goes to the new address: the connection's own host text is
            // replaced, the request's header bytes stay as they came.
            if (c.haveHost) c.host = paramText("ip_addr");
        } else if (setBy && paramText("ip_setby") == "dhcp" && !paramOn("ip_dhcp")) {
            setBy->setFromText("http", 4);
        }
        if (accepted > 0) {
            int result = applyChangeClass(c);
            if (result != PageTemplate) return result;
        }
    }
    int64_t start = dhcpLeaseStart.load();
    if (paramOn("ip_dhcp") && start >= 1) {
        char text[64];
        formatUptime(static_cast<int64_t>(dhcpLeaseTime.load()) * 100, text, sizeof text, false);
        c.setVar("DhcpHaveLease", "1");
        c.setVar("DhcpLease", text);
        formatUptime(sysTicks() - start, text, sizeof text, false);
        c.setVar("DhcpGotLease", text);
    }
    return PageTemplate;
}

// ---------------------------------------------------------------- IPv6

const char *scopeName(unsigned scope) {
    switch (scope & 0xf0) {
    case 0x00:
        return "Global";
    case 0x10:
        return "Host";
    case 0x20:
        return "Link";
    case 0x40:
        return "Site";
    case 0x80:
        return "Compatv4";
    default:
        return "Unknown";
    }
}

class ConnectionVariables : public PageVariables {
public:
    explicit ConnectionVariables(HttpConnection &c) : c_(c) {}
    void setVar(const char *name, const char *value) override { c_.setVar(name, value); }

private:
    HttpConnection &c_;
};

int ipv6Page(HttpConnection &c, const PageEntry &) {
    int result = applyFormAction(c);
    if (result != PageTemplate) return result;
    setIpv6Variables(c);
    return PageTemplate;
}

// ---------------------------------------------------------------- IP VLANs

int ipvlanPage(HttpConnection &c, const PageEntry &) {
    int result = applyFormAction(c);
    if (result != PageTemplate) return result;
    // Products with IP VLANs carry feature bit 0x2000.
    if (features() & 0x2000) mainInterface().setupIpVlans();
    if (paramOn("ipv6")) setIpv6Variables(c);
    return PageTemplate;
}

// ---------------------------------------------------------------- Wi-Fi

int wlanPage(HttpConnection &c, const PageEntry &) {
    int result = applyFormAction(c);
    if (result != PageTemplate) return result;
    c.setVar(paramOn("wifi") ? "WifiLink" : "LeftLink", "act");
    // The supplicant's values come from the air (SSID) or from its own reply: all are
    // escaped before they reach the page.
    std::string status = wlan_status_verbose();
    char text[256];
    wlan_get_state(status.data(), status.size(), text, sizeof text);
    c.setVarEscaped("WifiState", text);
    int level = 0, noise = 0;
    bool known = wlan_get_level(status.c_str(), &level, &noise);
    c.setVarf("WifiPng", "%d", known ? wifiSignalClass(level) : 0);
    c.setVarf("WifiLevNo", "%d / %d", level, noise);
    int freq = 0, channel = 0;
    if (wlan_get_freq(status.c_str(), &freq, &channel))
        c.setVarf("WifiBCF", "%s / %d / %d", freq < 4700 ? "2.4GHz" : "5GHz", channel, freq);
    wlan_get_ssid(status.data(), status.size(), text, sizeof text);
    c.setVarEscaped("WifiName", text);
    wlan_get_p2p_address(status.data(), status.size(), text, sizeof text);
    c.setVarEscaped("WifiP2P", text);
    wlan_get_uuid(status.data(), status.size(), text, sizeof text);
    c.setVarEscaped("WifiUUID", text);
    std::string driver;
    if (wlan_get_driver(driver)) c.setVarEscaped("WifiMaPro", driver.c_str());
    setCaCertVariables(c);
    setChoiceVariables(c, "wifi_mode");
    setChoiceVariables(c, "wifi_encrypt");
    return PageTemplate;
}

} // namespace

void appendWifiScanRow(std::string &out, int n, const WlanBss &bss, const char *unknown,
                       const char *transfer) {
    char line[256];
    auto add = [&out, &line](int length) {
        if (length > 0) out.append(line, std::min<size_t>(static_cast<size_t>(length), sizeof line - 1));
    };
    add(std::snprintf(line, sizeof line, "<tr><td><span class=\"wfl l%d tab\"></span></td>\n",
                      wifiSignalClass(bss.level)));
    add(std::snprintf(line, sizeof line, "<td id=\"WN%d\">", n));
    out += bss.ssid.empty() ? htmlEscaped(unknown) : htmlEscaped(bss.ssid.c_str());
    add(std::snprintf(line, sizeof line, "</td><td id=\"WE%d\">", n));
    out += htmlEscaped(bss.flags.c_str());
    add(std::snprintf(line, sizeof line, "</td><td id=\"WB%d\"> %s </td>", n,
                      bss.freq < 4700 ? "2.4GHz" : "5GHz"));
    add(std::snprintf(line, sizeof line, "<td id=\"WF%d\">[%3d / %4d]</td>", n, bss.channel, bss.freq));
    bool softAp = bss.flags.find("[P2P]") != std::string::npos;
    bool adHoc = !softAp && bss.flags.find("[IBSS]") != std::string::npos;
    add(std::snprintf(line, sizeof line, "<td id=\"WI%d\">%s</td>\n", n,
                      softAp  ? "SoftAP "
                      : adHoc ? "AdHoc "
                              : "Infrastructure"));
    if (adHoc) {
        out += "<td></td></tr>\n";
        return;
    }
    add(std::snprintf(line, sizeof line,
                      "<td><a class=\"btn tab\" href=\"javascript:trans(%d)\" onfocus=\"this.blur();\"> "
                      "<span class=\"ic fwd\"></span>",
                      n));
    out += htmlEscaped(transfer);
    out += "</a></td></tr>\n";
}

namespace {

void writeWifiScanTable(HtmlStreamer &s) {
    // A requested scan whose results have not come yet: the page asks again later.
    if (wlanLastScan.load() == -1) {
        s.printf("SCANNING|");
        return;
    }
    std::string status = wlan_status_verbose();
    char state[64];
    wlan_get_state(status.data(), status.size(), state, sizeof state);
    s.writeEscaped(state);
    s.write("|", 1);
    const char *unknown = getmuText("unknown");
    const char *transfer = getmuText("transfer");
    // The rows are formatted under the scan-list lock and written after it is released:
    // a client that reads slowly must not hold up the Wi-Fi task's list updates.
    std::string rows;
    if (!wlan_list_lock("wifitab", true)) return;
    {
        std::lock_guard lock(wlanListLock, std::adopt_lock);
        int n = 0;
        for (const WlanBss &bss : wlanBssList)
            appendWifiScanRow(rows, ++n, bss, unknown, transfer);
    }
    s.write(rows.data(), rows.size());
}

int wifisPage(HttpConnection &c, const PageEntry &) {
    auto *s = new HtmlStreamer("Wifis");
    const char *scan = c.formValue("scan");
    if (scan && scan[0] == '1') wlan_scan();
    return s->startFor(c, writeWifiScanTable, "text/html");
}

// ---------------------------------------------------------------- Bonjour, servers

int bonjourPage(HttpConnection &c, const PageEntry &) {
    int result = applyFormAction(c);
    if (result != PageTemplate) return result;
    if (mdnsTaskNumber.load() >= 0) c.setVarEscaped("CurrName", mdnsInstanceName().c_str());
    return PageTemplate;
}

} // namespace

void setSyslogVariables(HttpConnection &c) {
    SysLogNg *client = syslogTarget.load();
    c.setVarf("SysLogNgMsgs", "%u", client ? client->linesSent() : 0u);
    time_t when = 0;
    const char *state = syslogng_state_text(&when);
    c.setVar("SysLogNgState", state ? state : "");
    setTimeVar(c, "SysLogNgSAt", when);
}

void setWebDavVariables(HttpConnection &c, const char *infix, bool spaced) {
    auto name = [infix](const char *tail) { return std::string("WebDav") + infix + tail; };
    const char *gap = spaced ? " &nbsp; " : "";
    time_t when = 0;
    const char *state = webdav_state_text(&when);
    c.setVar(name("State").c_str(), getmuText(state));
    setTimeVar(c, name("SAt").c_str(), when);
    // The last error shows once one was recorded; before that the page shows none.
    time_t failed = 0;
    const char *error = webdav_error_text(&failed);
    if (failed != 0) {
        c.setVar(name("KoStat").c_str(), getmuText(error));
        setTimeVar(c, name("KoAt").c_str(), failed, gap);
    }
    setTimeVar(c, name("OkAt").c_str(), webdavLastSuccess.load());
    // A retry is pending while a job runs that has failed before.
    if (webdavJobWord.load() != 0 && webdavAttempt.load() > 0)
        c.setVarf(name("Retry").c_str(), "%s%s", gap, getmuText("(try again in some minutes)"));
}

namespace {

int serversPage(HttpConnection &c, const PageEntry &) {
    int result = applyFormAction(c);
    setWebDavVariables(c, "", true);
    static const char *const schemes[] = {"Basic/MD5", "Digest/MD5-sess", "Digest/SHA256", "Digest/SHA512"};
    int kind = webdavHashKind.load();
    c.setVar("WebDavAlgo", schemes[kind >= 0 && kind < 4 ? kind : 0]);
    setSyslogVariables(c);
    return result;
}

// ---------------------------------------------------------------- time

int timePage(HttpConnection &c, const PageEntry &) {
    int result = applyFormAction(c);
    if (result != PageTemplate) return result;
    const char *now = c.formValue("now");
    struct tm local {};
    if (now && parseNowText(now, std::strlen(now), local)) {
        // Read as standard time; an hour less where daylight saving time applies.
        local.tm_isdst = 0;
        struct tm copy = local;
        time_t t = std::mktime(&copy);
        if (t != static_cast<time_t>(-1)) {
            struct tm check {};
            if (localtime_r(&t, &check) && check.tm_isdst > 0) t -= 3600;
            struct timeval tv {};
            tv.tv_sec = t;
            if (platform().setTimeOfDay(&tv) == 0) {
                auto *done = dynamic_cast<IntParam *>(param("ntp_done"));
                if (done) done->set(0);
                unsigned summary = ptable().applyChanges();
                if (summary & ChangeSave) ptable().save(ptable().filePath().c_str());
                struct tm utc {};
                if (gmtime_r(&t, &utc)) writeRtc(utc);
            }
        }
    }
    // The appliance's clock, which the line above may just have set.
    time_t nowTime = applianceTime();
    struct tm shown {};
    if (nowTime != static_cast<time_t>(-1) && localtime_r(&nowTime, &shown))
        c.setVarf("Now", "%04d-%02d-%02d %02d:%02d:%02d", shown.tm_year + 1900, shown.tm_mon + 1,
                  shown.tm_mday, shown.tm_hour, shown.tm_min, shown.tm_sec);
    if (paramOn("ntp_done"))
        c.setVar("TimeSetBy", getmuText("via time server"));
    else if (fileSize(sysPath("/dev/rtc0").c_str()) > 1)
        c.setVar("TimeSetBy", getmuText("via device clock"));
    else
        c.setVar("TimeSetBy", "---");
    setChoiceVariables(c, "ntp_tzone");
    return PageTemplate;
}

// ---------------------------------------------------------------- mail, notifications

int emailPage(HttpConnection &c, const PageEntry &) {
    if (!(features() & 0x1000)) return -1;
    if (c.formValue("checknow")) {
        notify_post_event(NotifyPop3Poll, -1);
        refreshToRequest(c, 5);
        return HttpPages::showMessage(c, getmuText("Check email now..."));
    }
    int result = applyFormAction(c);
    if (result != PageTemplate) return result;
    c.setVarf("emails_in", "%lu", static_cast<unsigned long>(mailsFetchedCount.load()));
    c.setVarf("emails_spam", "%lu", static_cast<unsigned long>(mailsRefusedCount.load()));
    c.setVarf("emails_out", "%lu", static_cast<unsigned long>(mailsSentCount.load()));
    c.setVar("emails_instat", mail_status_text(pop3Progress.load()));
    c.setVar("emails_inerr", mail_status_text(pop3Error.load()));
    c.setVar("emails_outstat", mail_status_text(smtpProgress.load()));
    c.setVar("emails_outerr", mail_status_text(smtpError.load()));
    int64_t next = pop3NextPoll.load() - (sysTicks() + 50) / 100;
    c.setVarf("emails_next", "%lld", static_cast<long long>(next < 0 ? 0 : next));
    setChoiceVariables(c, "smtp_secure");
    return PageTemplate;
}

// A subject template escaped for the page, and its expansion for an event text.
void setSubjectVariables(HttpConnection &c, const char *templateName, const char *eventText) {
    std::string subject = paramText(templateName);
    char escaped[256];
    htmlEscapeInto(subject.c_str(), escaped, sizeof escaped);
    c.setVar("MailSub", escaped);
    char expanded[256] = "";
    format_mail_subject(eventText, subject.c_str(), expanded, sizeof expanded, 0);
    // The expansion writes symbols as character references already; the rest is
    // escaped here.
    char shown[128];
    htmlEscapeInto(expanded, shown, sizeof shown);
    c.setVar("MailSubExt", shown);
}

int notifyPage(HttpConnection &c, const PageEntry &) {
    if (!(features() & 0x1000)) return -1;
    int result = applyFormAction(c);
    if (result != PageTemplate) return result;
    for (int r = 1; r <= 2; r++) {
        c.setVarIndexedf("NotieSOk_", r, "%u", mailOkCount[r - 1].load());
        c.setVarIndexedf("NotieSKo_", r, "%u", mailFailCount[r - 1].load());
        int32_t traps = trapsOut[r - 1].load();
        if (traps < 0)
            c.setVarIndexed("TrapsOut_", r, "---");
        else
            c.setVarIndexedf("TrapsOut_", r, "%d", traps);
    }
    setSubjectVariables(c, "mailsub", "<event>");
    std::string engine = snmpEngineIdHex();
    if (!engine.empty()) c.setVar("EngineID", engine.c_str());
    setChoiceVariables(c, "trapversion_1");
    setChoiceVariables(c, "trapversion_2");
    setChoiceVariables(c, "notistat_d");
    return PageTemplate;
}

// ---------------------------------------------------------------- relay

int relayPage(HttpConnection &c, const PageEntry &) {
    if (!(features() & 0x400000)) return -1;
    if (c.formValue("clear")) {
        auto *eves = dynamic_cast<IntParam *>(param("relay_eves"));
        if (eves) eves->set(0);
        gpioDevice().setRelay(false);
    } else {
        int result = applyFormAction(c);
        if (result != PageTemplate) return result;
    }
    auto *eves = dynamic_cast<IntParam *>(param("relay_eves"));
    uint32_t bits = eves ? static_cast<uint32_t>(eves->value()) : 0;
    const DeviceEventEntry *found[32];
    int n = collectRelayEvents(bits, deviceEventTable(), found, 32);
    for (int j = 0; j < n; j++) {
        c.setVarIndexed("Eves_", j, getmuText(found[j]->name));
        char text[64];
        if (found[j]->last != 0 && formatDateTime(found[j]->last, text, sizeof text) > 0)
            c.setVarIndexed("EveT_", j, text);
    }
    c.setVarf("Eves#", "%d", n);
    std::string ctrl = paramText("relay_ctrl");
    if (ctrl == "fix")
        c.setVar("RelayState", paramOn("relay_on") ? getmuText("Closed (fixed)") : getmuText("Open (fixed)"));
    else
        c.setVar("RelayState", n > 0 ? getmuText("Closed") : getmuText("open"));
    c.setVar("RelayStatOrEve", ctrl == "stat" ? getmuText("Status") : getmuText("Event"));
    for (const char *name :
         {"relay_ctrl", "relay_eve_start", "relay_eve_net", "relay_eve_1pwr", "relay_eve_2pwr",
          "relay_eve_sd", "relay_eve_ucon", "relay_eve_udis", "relay_eve_uact", "relay_eve_udea",
          "relay_stat_net", "relay_stat_ucon", "relay_stat_udis", "relay_stat_uact", "relay_stat_udea"})
        setChoiceVariables(c, name);
    return PageTemplate;
}

} // namespace

void setChoiceVariables(HttpConnection &c, const char *name) {
    auto *list = dynamic_cast<P3List *>(param(name));
    if (list == nullptr) return;
    std::string opt = std::string("Opt_") + name;
    std::string sel = std::string("Sel_") + name;
    std::string grp = std::string("Grp_") + name;
    int count = list->optionCount();
    int current = list->current();
    for (int i = 0; i < count; i++) {
        const char *keyword = list->options()[i].keyword;
        if (keyword == nullptr) keyword = "";
        c.setVarIndexed(opt.c_str(), i, htmlEscaped(keyword).c_str());
        // Rows named "optgroup" head a group of choices; they are not choices.
        if (std::strcmp(keyword, "optgroup") == 0) c.setVarIndexed(grp.c_str(), i, "1");
        if (i == current) c.setVarIndexed(sel.c_str(), i, "1");
    }
    c.setVarf((opt + "#").c_str(), "%d", count);
}

void setIpv6Variables(HttpConnection &c) {
    const char *ifname = mainInterface().name();
    FILE *in = std::fopen("/proc/net/if_inet6", "re");
    int k = 0;
    int own = 0;
    struct Line {
        Inet6Line line;
        int vlan;
    };
    std::vector<Line> lines;
    if (in) {
        char text[256];
        size_t nameLength = std::strlen(ifname);
        while (std::fgets(text, sizeof text, in) && lines.size() < 256) {
            Inet6Line l;
            if (!parseInet6Line(text, l)) continue;
            if (std::strcmp(l.ifName, ifname) == 0) {
                lines.push_back({l, -1});
            } else if (std::strncmp(l.ifName, ifname, nameLength) == 0 && l.ifName[nameLength] == '.') {
                // An IP VLAN interface "<name>.<id>".
                char *end = nullptr;
                long id = std::strtol(l.ifName + nameLength + 1, &end, 10);
                if (end && *end == '\0' && id > 0 && id < 4095) lines.push_back({l, static_cast<int>(id)});
            }
        }
        std::fclose(in);
    }
    // The main interface's addresses first, then those of its VLANs.
    for (int pass = 0; pass < 2; pass++) {
        for (const Line &l : lines) {
            if ((pass == 0) != (l.vlan < 0)) continue;
            char address[INET6_ADDRSTRLEN] = "";
            inet_ntop(AF_INET6, l.line.address, address, sizeof address);
            c.setVarIndexed("A6lstA_", k, address);
            c.setVarIndexedf("A6lstP_", k, "%u", l.line.prefixLength);
            c.setVarIndexed("A6lstS_", k, scopeName(l.line.scope));
            if (l.vlan < 0)
                c.setVarIndexed("A6lstV_", k, "");
            else
                c.setVarIndexedf("A6lstV_", k, "%d", l.vlan);
            k++;
        }
        if (pass == 0) own = k;
    }
    c.setVarf("A6lsta_#", "%d", own);
    c.setVarf("A6lstA_#", "%d", k);
    if (k > 0) {
        ConnectionVariables vars(c);
        list_ipv6_routes(ifname, vars);
    }
}

int wifiSignalClass(int level) {
    if (level >= -44) return 1;
    if (level >= -64) return 8;
    if (level >= -74) return 6;
    if (level >= -84) return 4;
    if (level >= -89) return 2;
    return 0;
}

bool parseNowText(const char *text, size_t length, struct tm &out) {
    // Fixed layout: 4-2-2 2:2:2 digits, then only blanks.
    static const char layout[] = "dddd-dd-dd dd:dd:dd";
    constexpr size_t n = sizeof layout - 1;
    if (text == nullptr || length < n || length > 64) return false;
    for (size_t i = 0; i < n; i++) {
        unsigned char ch = static_cast<unsigned char>(text[i]);
        if (layout[i] == 'd' ? !std::isdigit(ch) : ch != static_cast<unsigned char>(layout[i])) return false;
    }
    for (size_t i = n; i < length; i++)
        if (text[i] != ' ' && text[i] != '\t') return false;
    auto number = [text](size_t at, size_t digits) {
        int v = 0;
        for (size_t i = 0; i < digits; i++)
            v = v * 10 + (text[at + i] - '0');
        return v;
    };
    int year = number(0, 4), month = number(5, 2), day = number(8, 2);
    int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    static const int days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1970 || year > 2099 || month < 1 || month > 12 || day < 1 || day > days[month - 1] ||
        hour > 23 || minute > 59 || second > 59)
        return false;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (month == 2 && day == 29 && !leap) return false;
    out = {};
    out.tm_year = year - 1900;
    out.tm_mon = month - 1;
    out.tm_mday = day;
    out.tm_hour = hour;
    out.tm_min = minute;
    out.tm_sec = second;
    out.tm_isdst = -1;
    return true;
}

int collectRelayEvents(uint32_t eves, const DeviceEventEntry *table, const DeviceEventEntry **out, int max) {
    int n = 0;
    for (int bit = 0; bit < 32 && n < max; bit++) {
        uint32_t mask = 1u << bit;
        if (!(eves & mask) || table == nullptr) continue;
        for (const DeviceEventEntry *e = table; e->bit != 0; e++) {
            if (e->bit & mask) {
                out[n++] = e;
                break;
            }
        }
    }
    // Oldest first; a bubble sort that swaps only on a strictly later time keeps the
    // bit order among equal times.
    for (int pass = 0; pass < n; pass++)
        for (int i = 0; i + 1 < n - pass; i++)
            if (out[i]->last > out[i + 1]->last) std::swap(out[i], out[i + 1]);
    return n;
}

WEB_PAGE("/network/ipv4.html", ipv4Page);
WEB_PAGE("/network/ipv6.html", ipv6Page);
WEB_PAGE("/network/ipvlan.html", ipvlanPage);
WEB_PAGE("/network/wlan.html", wlanPage);
WEB_PAGE("/network/wifis.html", wifisPage);
WEB_PAGE("/network/bonjour.html", bonjourPage);
WEB_PAGE("/network/servers.html", serversPage);
WEB_PAGE("/device/time.html", timePage);
WEB_PAGE("/network/email.html", emailPage);
WEB_PAGE("/device/notify.html", notifyPage);
WEB_PAGE("/device/relay.html", relayPage);
