#include "usbserver/usb_quirks.h"

#include "usbserver/usb_device.h"

namespace {

const UsbQuirkRow quirkRows[] = {
    {0x028D, 0x094C, 0x00020000, "Konftel 300Wx USB audio"},
    {0x046D, 0x084B, 0x00020000, "Logitech ConferenceCAM"},
    {0x046D, 0x084C, 0x00020000, "Logitech ConferenceCAM"},
    {0x0480, 0x0901, 0x00100000, "Toshiba external USB 3.0 drive"},
    {0x04B4, 0x1235, 0x00608000, "DediProg EM100"},
    {0x04E8, 0x6860, 0x00140000, "Samsung A53 phone"},
    {0x18D1, 0x4EE7, 0x00140000, "Google Pixel 4a, Xiaomi 12 phones"},
    {0x22D9, 0x2765, 0x00140000, "OnePlus phone"},
    {0x0529, 0x0001, 0x04000000, "KSV hardlock device"},
    {0x054C, 0x0CB2, 0x000C0000, "Sony RX100 Mark V"},
    {0x054C, 0x0D10, 0x000C0000, "Sony RX100 Mark V"},
    {0x05AC, 0x0000, 0x00105800, "Apple devices"},
    {0x064F, 0x2AF9, 0x00140000, "WiBu CodeMeter"},
    {0x0720, 0x9002, 0x00100000, "KEYENCE IM-H3E"},
    {0x0819, 0x0101, 0x02810000, "eLicenser dongle"},
    {0x088E, 0x5036, 0x82100000, "iLok dongle"},
    {0x08E2, 0x0004, 0x00000400, "SafeNet UDA V3"},
    {0x08FD, 0x3201, 0x20000000, "Spyrus PocketVault P-3X"},
    {0x0908, 0x0004, 0x00004000, "Siemens SIMATIC PC Adapter USB"},
    {0x0978, 0x9900, 0x00080000, "TwinCAT licence device"},
    {0x0A50, 0x0101, 0x00010000, "Mimaki large-format printer"},
    {0x0C2E, 0x0EC7, 0x00002000, "Honeywell Imaging & Mobility"},
    {0x0D46, 0x0000, 0x08000000, "Kobil Systems"},
    {0x110A, 0x1151, 0x03800000, "Moxa UPort 1150I"},
    {0x1139, 0x8086, 0x10000000, "Intel ITP-XDP developer box"},
    {0x126F, 0x1165, 0x00040000, "Siemens dongle"},
    {0x1278, 0x0507, 0x00100000, "Starlight Xpress Echo2"},
    {0x1B52, 0x2103, 0x40000000, "Carmen dongle"},
    {0x1BC0, 0x0000, 0x00100000, "Senseshield (formerly Senselock)"},
    {0x2457, 0x101E, 0x00020000, "Ocean Optics spectrometer"},
    {0x2BC5, 0x060B, 0x00140000, "Orbbec depth sensor"},
    {0x3E1A, 0x0200, 0x00120000, "Mikroelektronika easyPIC v7"},
    {0x8080, 0xF52B, 0x00000200, "Huebner GmbH device"},
    {0xF266, 0x9A0A, 0x00101000, "SVBONY SV305M PRO camera"},
    {0xF266, 0x9A0A, 0x00101000, "SVBONY SV305M PRO camera (second row, same ids)"},
};

} // namespace

const UsbQuirkRow *usbQuirkRows(size_t &count) {
    count = sizeof quirkRows / sizeof quirkRows[0];
    return quirkRows;
}

bool hasQuirk(uint16_t vendorId, uint16_t productId, uint32_t flag) {
    for (const UsbQuirkRow &row : quirkRows) {
        if ((row.flags & flag) != 0 && row.vendorId == vendorId &&
            (row.productId == 0 || row.productId == productId))
            return true;
    }
    return false;
}

bool hasQuirk(const UsbDevice &device, uint32_t flag) {
    return hasQuirk(device.descriptorVendorId(), device.descriptorProductId(), flag);
}
