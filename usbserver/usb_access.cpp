#include "usbserver/usb_access.h"

#include "usbserver/usb_device.h"

std::atomic<int> usbPortCounter[20];

int usbPortKeyCheck(int port, uint32_t challenge, const uint8_t *block, size_t length) {
    (void)port;
    (void)challenge;
    (void)block;
    (void)length;
    return UsbKeyNotNeeded;
}

bool check_device_assignment(int entryNumber, int port) {
    return entryNumber >= 0 && entryNumber < UsbDeviceTableSize && port >= 1 && port <= UsbMaxPorts;
}

bool usbVlanAdmits(int port, const UsbSrvClient *client) {
    (void)port;
    return client != nullptr;
}

void usbDeviceActivated(UsbDevice &entry, const char *user) {
    (void)entry;
    (void)user;
}

void usbDeviceDeactivated(UsbDevice &entry) {
    (void)entry;
}

void usbPortPowerCycle(int port, int ticks) {
    (void)port;
    (void)ticks;
}
