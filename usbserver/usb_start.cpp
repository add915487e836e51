#include "usbserver/usb_start.h"

#include "core/param.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "param_catalogue.h"
#include "usbserver/usb_device.h"
#include "usbserver/usb_udev.h"

#include <algorithm>
#include <cctype>
#include <cstring>

int usbMaxDevices(unsigned productId, int usbPorts) {
    switch (productId) {
    case 287:
        return 10;
    case 294:
        return 16;
    case 295:
        return 40;
    case 296:
    case 315:
        return 5;
    case 305:
    case 306:
    case 307:
        return std::min(3 * usbPorts, UsbDeviceTableSize);
    case 317:
        return 1;
    default:
        return std::min(usbPorts, UsbDeviceTableSize);
    }
}

// The decimal index at the end of a parameter name, 0 when there is none.
static int trailingIndex(const char *name) {
    size_t n = std::strlen(name);
    size_t i = n;
    while (i > 0 && std::isdigit(static_cast<unsigned char>(name[i - 1])))
        i--;
    return (i < n && i > 0 && name[i - 1] == '_') ? std::atoi(name + i) : 0;
}

int startUsbDeviceLayer() {
    const ProductParams &product = productParams();
    int count = usbMaxDevices(product.productId, static_cast<int>(product.usbPorts));
    usbDeviceCount = count;
    p_usbDevNumber->set(count);
    p_usbDevNumber->clearChanged();

    // Only products 305 and 307 take their transfer buffers from the usbfs mapping.
    if (product.productId != 305 && product.productId != 307) MinMMap = 0;

    int total = 0;
    Param **items = ptable().getItems(total);
    for (int i = 0; i < total; i++) {
        Param *p = items[i];
        if (p && p->hasFlags(ParamPerDevice) && trailingIndex(p->name()) > count) p->setAbsent(true);
    }

    prepareUsbfsTree();
    return (new Listen2Udev())->start(0x8000);
}
