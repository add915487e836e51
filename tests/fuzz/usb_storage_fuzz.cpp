// Drives the simulated mass-storage stick with arbitrary bulk transfers through its
// usbfs file, as a client of the USB server could: command blocks, data and status
// reads in any order and length. The Bulk-Only and SCSI parsing must stay inside the
// transfers and the image, and the device must keep answering.
#include "core/sysroot.h"
#include "sim/devfile.h"
#include "sim/usb.h"
#include "sim/usb_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <vector>

namespace {

int file = -1;

void reapAll() {
    void *p = nullptr;
    while (sim::devIoctl(file, USBDEVFS_REAPURBNDELAY, &p) == 0) {
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    static char root[] = "/tmp/qmr-usb-fuzz-XXXXXX";
    if (mkdtemp(root) == nullptr) std::abort();
    setenv("QMR_ROOT", root, 1);
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    });
    sim::registerDevicePath(sysPath("/dev/bus/usb/"), sim::usb::openUsbFile);
    std::string error;
    std::string name = sim::usbPlug(1, "1", "storage", {{"size", "65536"}}, error);
    if (name.empty()) std::abort();
    file = sim::devOpen(sim::usbNodePath(name).c_str(), O_RDWR, 0);
    if (file < 0) std::abort();
    return 0;
}

// Each step: one byte of kind (bit 0: IN, bit 1: a clear halt first), one byte of
// length; an OUT takes that many bytes of the input (a length of 31 with the rest a
// command block is what reaches the SCSI parser).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static uint8_t buffer[4096];
    size_t at = 0;
    while (at + 2 <= size) {
        uint8_t kind = data[at];
        int length = data[at + 1] * 16 + (kind >> 4);
        at += 2;
        uint8_t ep = (kind & 1) ? 0x81 : 0x02;
        if (kind & 2) {
            unsigned e = ep;
            sim::devIoctl(file, USBDEVFS_CLEAR_HALT, &e);
        }
        if (!(kind & 1)) {
            length = static_cast<int>(std::min<size_t>(static_cast<size_t>(length & 0xFF), size - at));
            std::memcpy(buffer, data + at, static_cast<size_t>(length));
            at += static_cast<size_t>(length);
        }
        usbdevfs_urb u{};
        u.type = USBDEVFS_URB_TYPE_BULK;
        u.endpoint = ep;
        u.buffer = buffer;
        u.buffer_length = length;
        if (sim::devIoctl(file, USBDEVFS_SUBMITURB, &u) == 0) {
            sim::devIoctl(file, USBDEVFS_DISCARDURB, &u); // a NAK'ed one would wait forever
            reapAll();
        }
    }
    sim::devIoctl(file, USBDEVFS_RESET, nullptr);
    reapAll();
    return 0;
}
