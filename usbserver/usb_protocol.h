// The request dispatcher of the USB-server protocol: reads one request from the
// client's stream and runs its command's handler.
#pragma once

class UsbSrvdPrcs;

// Reads and handles one request: 0 when the session goes on, 3 for a command that is
// ignored (no reply), a negative value when the session must end (a reply that could
// not be written, a malformed request, an unknown command).
int usbDispatchRequest(UsbSrvdPrcs &client);
