// The four port events of a device (connected, disconnected, activated, deactivated):
// monitoring lines, notification events, relay bits, the per-device parameters, the
// port LEDs with the per-port device counters, and the timed power cycles that
// deactivation starts and the main loop completes.
#include "usbserver/usb_access.h"

#include "core/gpio.h"
#include "core/monilog.h"
#include "core/param.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/ticks.h"
#include "notify/services.h"
#include "param_catalogue.h"
#include "usbserver/usb_device.h"
#include "usbserver/usb_quirks.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

std::atomic<int> usbPortCounter[20];

namespace {

// Timed power cycles by port index: the tick at which the port goes on again, 0 none.
std::atomic<int64_t> powerCycleDeadline[UsbMaxPorts];
// Activated devices on products without per-port LEDs.
std::atomic<int> sharedInUse{0};
// Whether the entry's activation is counted: a deactivation undoes it once.
std::atomic<bool> activationCounted[UsbDeviceTableSize];

int portCount() {
    return static_cast<int>(std::min<unsigned>(productParams().usbPorts, UsbMaxPorts));
}

bool perPortLeds() {
    switch (productParams().productId) {
    case 278:
    case 282:
    case 287:
    case 288:
    case 294:
    case 295:
    case 296:
    case 305:
    case 306:
    case 307:
    case 315:
    case 317:
        return true;
    default:
        return false;
    }
}

int entryNumberOf(const UsbDevice &e) {
    return static_cast<int>(&e - usbDeviceTable);
}

// The entry's number when the event applies to it (valid entry, port 1 to the number
// of ports), else -1.
int eventEntry(const UsbDevice &e) {
    const int n = entryNumberOf(e);
    if (n < 0 || n >= UsbDeviceTableSize || e.port < 1 || e.port > portCount()) return -1;
    return n;
}

StringParam *deviceParam(const char *prefix, int entryNumber) {
    Param *p = ptable().find(prefix, static_cast<int>(std::strlen(prefix)), entryNumber + 1);
    return p != nullptr && !p->isAbsent() ? dynamic_cast<StringParam *>(p) : nullptr;
}

void setDeviceParam(const char *prefix, int entryNumber, const char *text) {
    if (StringParam *p = deviceParam(prefix, entryNumber)) p->setText(text, -1);
}

// The owner text of the entry, "- ? -" when the parameter is missing.
std::string ownerText(int entryNumber) {
    StringParam *p = deviceParam("usb_owner_", entryNumber);
    return p != nullptr ? p->getText() : std::string("- ? -");
}

// True when the port's power setting is on (no setting: the port is always powered).
bool portPowerOn(int port) {
    Param *p = ptable().find("zqn_ppwr_", 9, port);
    auto *list = p != nullptr && !p->isAbsent() ? dynamic_cast<P3List *>(p) : nullptr;
    return list == nullptr || list->equals("on");
}

void setLed(int index, int colour) {
    GpioDevice &board = gpioDevice();
    if (board.isOpen()) board.setPortLed(index, colour, 0);
}

void record(uint32_t event, int port, const char *t1, const char *t2, const char *t3, const char *t4) {
    if (notifyAddEvent(event, port, t1, t2, t3, t4) != 0) notify_post_event(event, -1);
}

int relay(int port, uint32_t portOne, uint32_t other) {
    return handle_relay_event(port == 1 ? portOne : other);
}

} // namespace

int usbDeviceConnected(UsbDevice &e) {
    const int n = eventEntry(e);
    if (n < 0) return 0;
    const int port = e.port;
    activationCounted[n].store(false);
    if (moniEnabled(MoniUpo))
        mprintf(MoniUpo, __FILE__, __LINE__,
                "USB port: USB device (%s / %s / %s) has been connected to USB port %d.", e.manufacturer,
                e.product, e.serial, port);
    record(NotifyUsbAttached, port, e.manufacturer, e.product, e.serial, nullptr);
    if (perPortLeds()) {
        if (usbPortCounter[port - 1].load() == 0) setLed(port - 1, 1);
        usbPortCounter[port - 1] += 100;
        if (static_cast<uint32_t>(p_sw_features->value()) & 0x100000) gpioDevice().beep(0);
    }
    setDeviceParam("usb_manu_", n, e.manufacturer[0] ? e.manufacturer : "?");
    setDeviceParam("usb_prod_", n, e.product[0] ? e.product : "?");
    setDeviceParam("usb_sern_", n, e.serial[0] ? e.serial : "?");
    char text[16];
    std::snprintf(text, sizeof text, "%d", port);
    if (Param *slot = ptable().find("usb_slot_", 9, n + 1); slot != nullptr && !slot->isAbsent())
        slot->setText(text, -1);
    std::snprintf(text, sizeof text, "%04x", e.descriptorVendorId());
    setDeviceParam("usb_vendid_", n, text);
    std::snprintf(text, sizeof text, "%04x", e.descriptorProductId());
    setDeviceParam("usb_prodid_", n, text);
    setDeviceParam("usb_owner_", n, "Available");
    return relay(port, 0x1000, 0x10000);
}

int usbDeviceDisconnected(UsbDevice &e) {
    const int n = eventEntry(e);
    if (n < 0) return 0;
    const int port = e.port;
    std::atomic<int> &counter = usbPortCounter[port - 1];
    if (moniEnabled(MoniUpo))
        mprintf(MoniUpo, __FILE__, __LINE__,
                "USB port: USB device (%s / %s / %s) has been disconnected from USB port %d (stat:%04x).",
                e.manufacturer, e.product, e.serial, port, counter.load());
    record(NotifyUsbDetached, port, e.manufacturer, e.product, e.serial, nullptr);
    if (perPortLeds()) {
        const int old = counter.fetch_sub(100);
        const int now = old - 100;
        bool ledOff;
        if (now % 100 > now / 100) {
            // More activations than devices: a device went without its deactivation.
            ledOff = now / 100 <= 0;
            if (ledOff) counter.store(0);
        } else {
            ledOff = old == 100;
        }
        if (ledOff && portPowerOn(port)) setLed(port - 1, 0);
    }
    for (const char *prefix :
         {"usb_manu_", "usb_prod_", "usb_vendid_", "usb_prodid_", "usb_sern_", "usb_owner_"})
        setDeviceParam(prefix, n, "-");
    if (Param *slot = ptable().find("usb_slot_", 9, n + 1); slot != nullptr && !slot->isAbsent())
        slot->setText("0", -1);
    return relay(port, 0x2000, 0x20000);
}

void usbDeviceActivated(UsbDevice &e, const char *user) {
    const int n = eventEntry(e);
    if (n < 0) return;
    const int port = e.port;
    if (activationCounted[n].exchange(true)) return;
    bool locked = e.muxIn("usbDeviceActivated");
    e.keyExpiryState = -1;
    if (locked) e.muxOut();
    if (perPortLeds()) {
        if (usbPortCounter[port - 1].load() % 100 == 0) setLed(port - 1, 2);
        usbPortCounter[port - 1]++;
    } else {
        setLed(0, 1);
        sharedInUse++;
    }
    char opened[8] = {}, address[64] = {};
    if (query_usb_device_info(n, 5, opened, sizeof opened) > 0 && opened[0] == '1' &&
        query_usb_device_info(n, 4, address, sizeof address) > 0) {
        char owner[160];
        if (user != nullptr)
            std::snprintf(owner, sizeof owner, "%s (%s)", user, address);
        else
            std::snprintf(owner, sizeof owner, "%s", address);
        setDeviceParam("usb_owner_", n, owner);
    }
    if (moniEnabled(MoniUpo))
        mprintf(MoniUpo, __FILE__, __LINE__,
                "USB port: USB device (%s / %s / %s) at USB port %d has been connected to user %s.",
                e.manufacturer, e.product, e.serial, port, ownerText(n).c_str());
    record(NotifyUsbConnected, port, e.manufacturer, e.product, e.serial, ownerText(n).c_str());
    relay(port, 0x4000, 0x40000);
}

void usbDeviceDeactivated(UsbDevice &e) {
    const int n = eventEntry(e);
    if (n < 0) return;
    const int port = e.port;
    // Only a counted activation is undone, and only once.
    if (!activationCounted[n].exchange(false)) return;
    if (perPortLeds()) {
        std::atomic<int> &counter = usbPortCounter[port - 1];
        int value = counter.load();
        if (value % 100 != 0) value = --counter;
        if (value % 100 == 0 && portPowerOn(port)) {
            setLed(port - 1, value != 0 ? 1 : 0);
            if (!e.removed) {
                int ticks = 0;
                Param *p = ptable().find("zqn_poffdura_", 13, port);
                auto *duration = p != nullptr && !p->isAbsent() ? dynamic_cast<IntParam *>(p) : nullptr;
                if (duration != nullptr && duration->value() != 0)
                    ticks = duration->value() * 10;
                else if (hasQuirk(e, QuirkPowerCycle3s))
                    ticks = 300;
                else if (hasQuirk(e, QuirkPowerCycle2s))
                    ticks = 200;
                else if (hasQuirk(e, QuirkPowerCycle1s))
                    ticks = 100;
                if (ticks > 0) usbPortPowerCycle(port, ticks);
            }
        }
    } else if (--sharedInUse <= 0) {
        sharedInUse.store(0);
        GpioDevice &board = gpioDevice();
        if (board.isOpen()) board.updateStatusLed();
    }
    if (moniEnabled(MoniUpo))
        mprintf(MoniUpo, __FILE__, __LINE__,
                "USB port: USB device (%s / %s / %s) at USB port %d has been disconnected for user %s.",
                e.manufacturer, e.product, e.serial, port, ownerText(n).c_str());
    record(NotifyUsbDisconnected, port, e.manufacturer, e.product, e.serial, ownerText(n).c_str());
    setDeviceParam("usb_owner_", n, "Available");
    relay(port, 0x8000, 0x80000);
}

void usbInstallEventHooks() {
    usbDeviceHooks().connected = &usbDeviceConnected;
    usbDeviceHooks().disconnected = &usbDeviceDisconnected;
}

void usbPortPowerCycle(int port, int ticks) {
    const int index = port - 1;
    if (index < 0 || index >= UsbMaxPorts || ticks <= 0) return;
    // A deadline of 0 means none: the tick clock never gives 0 for a future time.
    powerCycleDeadline[index].store(std::max<int64_t>(sysTicks() + ticks, 1));
    GpioDevice &board = gpioDevice();
    if (board.isOpen()) board.setPortPower(index, false);
}

void usbCheckPowerCycles() {
    const int64_t now = sysTicks();
    for (int index = 0; index < UsbMaxPorts; index++) {
        int64_t deadline = powerCycleDeadline[index].load();
        if (deadline == 0 || deadline > now) continue;
        if (!powerCycleDeadline[index].compare_exchange_strong(deadline, 0)) continue;
        // A port that protection or the administrator switched off meanwhile stays off.
        if (!portPowerOn(index + 1)) continue;
        GpioDevice &board = gpioDevice();
        if (board.isOpen()) board.setPortPower(index, true);
    }
}
