// The USB server's HTML status block (the "/info/usb" page): the server-wide counters,
// then one table section per device in the table.
#include "core/sysinfo.h"
#include "core/tcp.h"
#include "core/ticks.h"
#include "core/utils_text.h"
#include "usbserver/usb_device.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

class StatusWriter {
public:
    explicit StatusWriter(const UsbStatusWrite &write) : write_(write) {}

    void printf(const char *format, ...) __attribute__((format(printf, 2, 3))) {
        char text[4096];
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        if (n < 0) return;
        if (static_cast<size_t>(n) >= sizeof text) n = sizeof text - 1;
        write_(text, static_cast<size_t>(n));
    }

private:
    const UsbStatusWrite &write_;
};

// Device texts come from the device itself: escaped before they go into the page.
struct Escaped {
    explicit Escaped(const char *text) { htmlEscape(text, buf, sizeof buf); }
    char buf[64 * 6 + 16];
};

int portCount() {
    unsigned ports = productParams().usbPorts;
    return static_cast<int>(ports > UsbMaxPorts ? UsbMaxPorts : ports);
}

} // namespace

const char *usbSpeedName(int speed) {
    switch (speed) {
    case 0:
    case 1:
        return "1.5MBit/s (low)";
    case 2:
        return "12MBit/s (full)";
    case 3:
        return "480MBit/s (high)";
    case 5:
        return "5000MBit/s (super)";
    default:
        return "unexspected";
    }
}

void usb_srv_status(const UsbStatusWrite &write) {
    StatusWriter out(write);
    out.printf("<span> Population Urbs:%d SrvPrcs:%d/%d IsoFrags:%d<br> MMap:\"%s\" MaxMaps:%d MinMMap:%d"
               "MaxUrbIn/Out %d/%d</span><br><hr>\n",
               usbUrbsInFlight.load(), usbLiveClients.load(), 2 * portCount(), 32, "MMapPool", MaxMaps,
               MinMMap.load(), MaxUrbIn.load(), MaxUrbOut.load());
    out.printf("<TABLE BORDER=\"0\" WIDTH=\"100%%\" CELLPADDING=\"2\">\n");
    out.printf("<tbody valign=\"top\" align=\"left\">\n");

    const int count = std::min(usbDeviceCount.load(), UsbDeviceTableSize);
    for (int i = 0; i < count; i++) {
        UsbDevice &e = usbDeviceTable[i];
        if (e.state.load() == UsbEntryEmpty) continue;
        bool locked = e.muxIn("usb_srv_status");
        if (e.state.load() == UsbEntryEmpty) {
            if (locked) e.muxOut();
            continue;
        }
        Escaped path(e.devpath);
        out.printf("<tr><th colspan=\"2\">USB[%2d] slot:%02d addr:%02d:%03d lev:%d [%s] %d %s %s</th></tr>\n",
                   i, e.port, e.busNumber, e.deviceNumber, e.level, path.buf,
                   static_cast<int>(e.topologyHash), e.video ? " **Video stream device**" : "",
                   e.isoSplit ? "isoFrags &check;" : "");
        out.printf("<TR><TD>Manufacturer</TD><TD> [%04x] %s</TD></TR>\n", e.vendorId,
                   Escaped(e.manufacturer).buf);
        out.printf("<TR><TD>Product</TD><TD> [%04x] %s</TD></TR>\n", e.productId, Escaped(e.product).buf);
        out.printf("<TR><TD>Serial number</TD><TD>%s</TD></TR>\n", Escaped(e.serial).buf);
        out.printf("<TR><TD>Version / Revision</TD><TD>%02d%02d / %02X%02X</TD></TR>\n", e.versionMajor,
                   e.versionMinor, e.releaseHigh, e.releaseLow);
        out.printf("<TR><TD>Speed / MaxPower</TD><TD>%s / %dmA</TD></TR>\n", usbSpeedName(e.speed),
                   e.maxPower);
        out.printf("<TR><TD>Configs, Interfaces</TD><TD>%d, %d ", e.configurationCount, e.interfaceCount);
        if (e.uasInterface >= 0) out.printf(" (UAS:%d,%d)", e.uasInterface, e.uasAlternate);
        out.printf("</TD></TR>\n");
        out.printf("<TR><TD>Endpoints I:O</TD><TD>Ctrl:%d:%d Isoc:%d:%d Bulk:%d:%d Int:%d:%d</TD></TR>\n",
                   e.endpointsIn[0], e.endpointsOut[0], e.endpointsIn[1], e.endpointsOut[1], e.endpointsIn[2],
                   e.endpointsOut[2], e.endpointsIn[3], e.endpointsOut[3]);

        out.printf("<TR><TD>Owner</TD>");
        if (e.state.load() == UsbEntryOpened && e.owner != nullptr) {
            sockaddr_storage peer{};
            socklen_t len = static_cast<socklen_t>(
                UsbSrvClient::peerAddress(e.owner, reinterpret_cast<sockaddr *>(&peer), sizeof peer));
            if (len >= sizeof(sockaddr_in) && peer.ss_family == AF_INET) {
                const uint8_t *a =
                    reinterpret_cast<const uint8_t *>(&reinterpret_cast<sockaddr_in &>(peer).sin_addr);
                out.printf("<TD>%03d.%03d.%03d.%03d</TD></TR>\n", a[0], a[1], a[2], a[3]);
            } else if (len >= sizeof(sockaddr_in6) && peer.ss_family == AF_INET6) {
                char text[INET6_ADDRSTRLEN] = "";
                inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 &>(peer).sin6_addr, text, sizeof text);
                out.printf("<TD>[%s]</TD></TR>\n", text);
            } else {
                out.printf("<TD> ??? </TD></TR>\n");
            }
        } else {
            out.printf("<TD>unused</TD></TR>");
        }

        // The age from the low word of the tick clock, so that it stays right when the
        // 64-bit clock has passed 2^32 ticks.
        char age[32];
        uint32_t ticks = static_cast<uint32_t>(sysTicks()) - e.connectTick;
        formatUptime(static_cast<int64_t>(ticks), age, sizeof age, true);
        out.printf("<TR><TD>Connected since</TD><TD>%s (dd/hh/mm.ss)</TD></TR>\n", age);

        if (!e.urbs.empty() && usbDeviceHooks().writeUrbList) {
            out.printf("<TR><TD colspan=\"2\">--- urb list ---</TD></TR>\n");
            usbDeviceHooks().writeUrbList(e, write);
        }
        pthread_mutex_lock(&e.poolMutex);
        if (!e.pool.empty()) {
            out.printf("<TR><TD colspan=\"2\">--- mmap list (%d/%d entries)---</TD></TR>\n",
                       static_cast<int>(e.pool.size()), MaxMaps);
            for (uint8_t *base : e.pool) {
                uint32_t words[2];
                std::memcpy(words, base, sizeof words);
                out.printf("<TR><TD> mmap %p used:%d</TD><TD>size:%d (%d) </TD></TR>\n",
                           static_cast<void *>(base), static_cast<int>(words[1]), static_cast<int>(words[0]),
                           static_cast<int>(words[0]) - static_cast<int>(MappedBufferHeader));
            }
        }
        pthread_mutex_unlock(&e.poolMutex);
        out.printf("<TR><TD colspan=\"2\" bgcolor=\"#C0C0C0\"></TD></TR>\n");
        if (locked) e.muxOut();
    }
    out.printf("</tbody></TABLE>\n");
}
