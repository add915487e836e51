// Feeds arbitrary datagrams to the uevent parser of the hot-plug listener, and the
// texts and descriptors a device hands over (topology path, string descriptors) to
// their readers: nothing may read outside the input, and an accepted device path must
// stay below sysfs.
#include "usbserver/usb_device.h"
#include "usbserver/usb_udev.h"
#include "usbserver/usb_uevent.h"

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    ueventWanted(text, size);
    Uevent ev;
    if (parseUevent(text, size, ev) && ev.hasDevpath) {
        if (ev.devpath[0] != '/') std::abort();
        // No component may be empty, "." or "..".
        const std::string p(ev.devpath);
        for (size_t at = 0; at != std::string::npos;) {
            size_t next = p.find('/', at + 1);
            std::string part =
                p.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
            if (part.empty() || part == "." || part == "..") std::abort();
            at = next;
        }
        if (std::strlen(ev.devpath) >= sizeof ev.devpath) std::abort();
    }

    // The input as a topology path and as a string descriptor.
    std::string path(text, size < 64 ? size : 64);
    int32_t level;
    uint32_t hash;
    usbTopology(path.c_str(), level, hash);
    for (unsigned product : {278u, 282u, 294u, 295u, 305u})
        usbPortOf(product, 2, 3, path.c_str(), path.c_str());
    char out[64];
    int n = usbStringDescriptorText(data, static_cast<int>(size), out, sizeof out);
    if (n < 0 || n >= static_cast<int>(sizeof out) || std::strlen(out) != static_cast<size_t>(n))
        std::abort();
    return 0;
}
