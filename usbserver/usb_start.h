// Bringing up the USB device layer: what the USB server does at construction before it
// listens for clients.
#pragma once

// The product's maximum number of USB devices.
int usbMaxDevices(unsigned productId, int usbPorts);

// Sets the device count (and "usbDevNumber"), hides the per-device parameters above
// it, prepares the usbfs tree and starts the hot-plug listener "Listen2Udev".
// The task number of the listener, or -1.
int startUsbDeviceLayer();
