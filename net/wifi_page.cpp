// The Wi-Fi diagnostic page: hardware, the supplicant's full status and every scanned
// network with its information elements decoded. Every text that comes from outside
// (status, SSIDs, flags, driver name) is HTML-escaped as it is written, piece by piece.
#include "core/sysinfo.h"
#include "core/ticks.h"
#include "net/wifi.h"
#include "param_catalogue.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

class PageOut {
public:
    explicit PageOut(const WlanPageSink &sink) : sink_(sink) {}

    void raw(const char *text, size_t length) {
        if (length) sink_.write(sink_.context, text, length);
    }
    void raw(const char *text) { raw(text, strlen(text)); }
    void printf(const char *format, ...) __attribute__((format(printf, 2, 3))) {
        char buffer[512];
        va_list args;
        va_start(args, format);
        int n = vsnprintf(buffer, sizeof buffer, format, args);
        va_end(args);
        if (n > 0) raw(buffer, static_cast<size_t>(n) < sizeof buffer ? n : sizeof buffer - 1);
    }
    // Escapes markup characters; control bytes show as '.' when dots is set.
    void escaped(const char *text, size_t length, bool dots = false) {
        size_t start = 0;
        for (size_t i = 0; i < length; ++i) {
            const char *entity = nullptr;
            char c = text[i];
            switch (c) {
            case '&':
                entity = "&amp;";
                break;
            case '<':
                entity = "&lt;";
                break;
            case '>':
                entity = "&gt;";
                break;
            case '"':
                entity = "&quot;";
                break;
            case '\'':
                entity = "&#39;";
                break;
            default:
                if (dots && static_cast<unsigned char>(c) < 0x20) entity = ".";
                break;
            }
            if (!entity) continue;
            raw(text + start, i - start);
            raw(entity);
            start = i + 1;
        }
        raw(text + start, length - start);
    }
    void escaped(const std::string &text, bool dots = false) { escaped(text.data(), text.size(), dots); }

private:
    const WlanPageSink &sink_;
};

const char *elementName(int id) {
    switch (id) {
    case 0:
        return "Service Set Identity (SSID)";
    case 1:
        return "Supported Rates";
    case 2:
        return "FH Parameter Set";
    case 3:
        return "DS Parameter Set";
    case 4:
        return "CF Parameter Set";
    case 5:
        return "Traffic Indication Map (TIM)";
    case 6:
        return "IBSS Parameter Set";
    case 7:
        return "(802.11d) Country";
    case 8:
        return "(802.11d)Hopping Pattern Parameters";
    case 9:
        return "(802.11d)Hopping Pattern Table";
    case 10:
        return " (802.11d)Request";
    case 16:
        return "Challenge text";
    case 32:
        return "(802.11h)Power Constraint";
    case 33:
        return "(802.11h)Power Capability";
    case 34:
        return " (802.11h)Transmit Power Control (TPC) Request";
    case 35:
        return "(802.11h)TPC Report";
    case 36:
        return "(802.11h)Supported Channels";
    case 37:
        return "(802.11h)Channel Switch Announcement";
    case 38:
        return "(802.11h) Measurement Request";
    case 39:
        return "(802.11h)Measurement Report";
    case 40:
        return "(802.11h) Quiet";
    case 41:
        return "(802.11h)IBSS DFS";
    case 42:
        return "(802.11g)ERP information";
    case 48:
        return "(802.11i)Robust Security Network";
    case 50:
        return "(802.11g)Extended Supported Rates";
    case 221:
        return "[b]Wi-Fi Protected Access";
    default:
        return "unknown";
    }
}

const char *cipherName(int type) {
    static const char *const names[] = {"Use the group cipher suite (only valid for pairwise ciphers)",
                                        "WEP-40",
                                        "TKIP",
                                        "RESERVED",
                                        "CCMP",
                                        "WEP-104"};
    return type >= 0 && type <= 5 ? names[type] : "Unexpected";
}

const char *keyMgmtName(int type) {
    return type == 1 ? "802.1X or PMK caching" : (type == 2 ? "Pre-shared key" : "Unexpected");
}

const char *const Indent = "\n            ";

// The RSN element e (id, length, body) of n bytes in all; reads only within them.
void writeRsn(PageOut &out, const uint8_t *e, size_t n) {
    if (n < 8) return;
    out.printf("RSN Ver.%d.%d GrpCiphers:%d(%s)", e[2], e[3], e[7], cipherName(e[7]));
    if (n < 10) return;
    int pairs = e[8] | e[9] << 8;
    out.printf(" PairCiphers:%d:", pairs);
    size_t pos = 10;
    for (int i = 0; i < pairs && pos + 4 <= n; ++i, pos += 4)
        out.printf(" %d(%s)", e[pos + 3], cipherName(e[pos + 3]));
    if (pos + 2 > n) return;
    int auths = e[pos] | e[pos + 1] << 8;
    pos += 2;
    out.printf(" AuthSuits:%d:", auths);
    for (int i = 0; i < auths && pos + 4 <= n; ++i, pos += 4)
        out.printf(" %d (%s )", e[pos + 3], keyMgmtName(e[pos + 3]));
    if (pos >= n) return;
    int caps = e[pos];
    out.raw(Indent);
    out.printf("Capabilities:%02x(PreAuth:%d NoPair:%d PTKCnt:%d GTKtCnt:%d)", caps, caps & 1,
               (caps >> 1) & 1, (caps >> 2) & 3, (caps >> 4) & 3);
}

void writeElements(PageOut &out, const WlanBss &bss) {
    const size_t decoded = bss.ieLength >= 2 ? static_cast<size_t>(bss.ieLength) - 2 : 0;
    const uint8_t *ie = bss.ie.data();
    const size_t limit = decoded <= bss.ie.size() ? decoded : bss.ie.size();
    size_t pos = 0;
    int previous = -1;
    size_t previousStart = 0, previousEnd = 0;
    auto closePrevious = [&] {
        if (previous < 0) return;
        out.printf("   (%s)", elementName(previous));
        if (previous == 48) {
            out.raw(Indent);
            writeRsn(out, ie + previousStart, previousEnd - previousStart);
        }
    };
    while (pos + 2 <= limit) {
        closePrevious();
        int id = ie[pos];
        size_t length = ie[pos + 1];
        size_t end = pos + 2 + length;
        if (end > limit) end = limit;
        out.printf("\nIE:[%02X|%3d] ", id, static_cast<int>(length));
        int onLine = 0;
        for (size_t i = pos + 2; i < end; ++i) {
            if (id == 0) {
                char c = static_cast<char>(ie[i]);
                out.escaped(&c, 1, true);
            } else {
                out.printf("%02X ", ie[i]);
            }
            if (++onLine == 32 && i + 1 < end) {
                out.raw(Indent);
                onLine = 0;
            }
        }
        previous = id;
        previousStart = pos;
        previousEnd = end;
        pos = end;
    }
    // The last element's name (and RSN decoding) closes the list as well.
    closePrevious();
}

bool readDriver(std::string &name) {
    char target[256];
    ssize_t n = readlink("/sys/class/net/wlan0/device/driver", target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = '\0';
    const char *slash = strrchr(target, '/');
    name = slash ? slash + 1 : target;
    return true;
}

bool readSmall(const char *path, std::string &value) {
    FILE *f = fopen(path, "r");
    if (!f) return false;
    char buffer[17] = {};
    size_t n = fread(buffer, 1, 16, f);
    fclose(f);
    if (n == 0) return false;
    value.assign(buffer, strcspn(buffer, "\n"));
    return true;
}

int secondsSince(int64_t tick) {
    if (tick < 0) return 0;
    return static_cast<int>((sysTicks() - tick + 50) / 100);
}

} // namespace

bool wlan_get_driver(std::string &name) {
    return readDriver(name);
}

void wifi_info_page(const WlanPageSink &sink, const std::string &status, const WlanPageHooks &hooks) {
    PageOut out(sink);
    out.raw("<TABLE BORDER=\"0\" WIDTH=\"100%\" CELLPADDING=\"2\">\n");
    out.raw("<tbody valign=\"top\" align=\"left\">\n");

    int count = wlanBssCount.load();
    int64_t last = wlanLastScan.load();
    if ((count == 0 || (count <= 1 && p_wifi->isOn())) && last != -1 && sysTicks() - last > 400 &&
        hooks.scan) {
        hooks.scan();
    }

    char state[64];
    wlan_get_state(status.data(), status.size(), state, sizeof state);
    if (strcmp(state, "SCANNING") == 0) {
        out.printf("<H2> waitint to finish the wifi scan... (started %ds ago)</h2>\n",
                   secondsSince(wlanLastScan));
        out.raw("</tbody></TABLE>\n");
        return;
    }

    out.raw("<tr><tr><th colspan=\"2\">----- Hardware -----</th></tr>\n");
    std::string driver;
    if (hooks.driver && hooks.driver(driver)) {
        out.raw("<tr><th width=\"18%\"> Manufacturer:</th><td>");
        out.escaped(driver);
        out.raw("</td></tr>\n");
    }
    if (hooks.productId == 306) {
        std::string vendor, product;
        const char *base = "/sys/devices/platform/soc/soc:internal-regs@d0000000/d005e000.usb/usb1/1-1/";
        if (readSmall((std::string(base) + "idVendor").c_str(), vendor) &&
            readSmall((std::string(base) + "idProduct").c_str(), product)) {
            out.raw("<tr><th>Vendor/Product IDs:</th><td> ");
            out.escaped(vendor);
            out.raw(" / ");
            out.escaped(product);
            out.raw("</td></tr>\n");
        }
    }

    out.raw("<tr><tr><th colspan=\"2\">----- STATUS -----<th>\n");
    out.raw("<tr><td colspan=\"2\"><pre>");
    out.escaped(status);
    out.raw("</pre></td></tr>\n");

    std::lock_guard lock(wlanListLock);
    out.printf("<tr><th colspan=\"2\">----- Site Survey scan done before %lds, cnt:%d -----</th></tr>",
               static_cast<long>(secondsSince(wlanLastScan)), static_cast<int>(wlanBssList.size()));
    out.raw("<TR></tr>");
    int n = 0;
    for (const WlanBss &bss : wlanBssList) {
        ++n;
        out.printf("<tr><th colspan=\"2\">-- No.:%2d Id.:%3d --------------</th><tr><td colspan=\"2\"><pre "
                   "style=\"font-size:80%%;\">\n",
                   n, bss.id);
        out.raw("BSSID/SSID:  ");
        out.escaped(bss.bssid, true);
        out.raw("/");
        out.escaped(bss.ssid, true);
        out.printf("\nChan/Freq:   %d/%d\n", bss.channel, bss.freq);
        out.printf("Capabilities:%#x\n", bss.capabilities);
        out.printf("Level/Noise: %d/%d\n", bss.level, bss.noise);
        out.raw("Flags:       ");
        out.escaped(bss.flags, true);
        writeElements(out, bss);
        out.raw(Indent);
        out.raw(Indent);
        out.raw("</PRE></td></tr>\n");
    }
    out.raw("</tbody></TABLE>\n");
}
