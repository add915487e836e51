// The minute check of time-limited port keys: the owner of a device opened with such a
// key hears shortly before the key ends, and the port's devices are released when it
// has ended.
#include "usbserver/usb_access.h"

#include "core/param.h"
#include "core/ptable.h"
#include "usbserver/usb_device.h"
#include "usbserver/usb_server.h"

#include <algorithm>
#include <atomic>

namespace {

P3List *pkvalid(int k) {
    Param *p = ptable().find("zqn_pkvalid_", 12, k);
    return p != nullptr && !p->isAbsent() ? dynamic_cast<P3List *>(p) : nullptr;
}

} // namespace

void check_port_key_expiry() {
    static std::atomic<bool> running{false};
    if (running.exchange(true)) return;
    const int count = std::min(usbDeviceCount.load(), UsbDeviceTableSize);
    for (int i = 0; i < count; i++) {
        UsbDevice &e = usbDeviceTable[i];
        // Clients open and close entries meanwhile: an entry's fields are read and
        // written under its lock.
        bool locked = e.muxIn("check_port_key_expiry");
        const bool opened = e.state.load() == UsbEntryOpened;
        const int k = e.keyIndex;
        const int warned = e.keyExpiryState;
        const int port = e.port;
        if (locked) e.muxOut();
        if (!opened || k <= 0 || k == UsbKeyUnlimited) continue;
        auto *valid = pkvalid(k);
        if (valid == nullptr || valid->equals("ever")) continue;
        // A key whose schedule is gone has no time left.
        const int left = usbKeyValidityNow(k, valid->equals("week"));
        if (left > 300 || !((left == 0 && warned != 0) || (left > 0 && warned < 1))) continue;
        for (int j = i; j < count; j++) {
            UsbDevice &other = usbDeviceTable[j];
            bool held = other.muxIn("check_port_key_expiry");
            if (other.port == port) other.keyExpiryState = left;
            if (held) other.muxOut();
        }
        if (left > 0)
            usbSendNotice(i, 132, static_cast<uint32_t>(left));
        else
            release_port_devices(port, 4);
    }
    running.store(false);
}
