// Transfer forwarding: a client's submit request becomes one transfer record (sUrb),
// cut into usbfs URBs that are submitted on the device's usbfs file and reaped when
// the file becomes writable in the owner task's epoll set; completions go back to the
// client as partial and final replies. Control transfers take a synchronous path that
// answers descriptor requests from the device table's caches.
//
// Every function here runs on the task of the client that owns the device (the entry
// is opened by it), except the control path's cached answers, which any client gets.
#pragma once

#include "usbserver/usb_wire.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <cstddef>
#include <cstdint>

class UsbDevice;
class UsbSrvdPrcs;
struct UsbSrvClient;

// Transfer states (bit set).
enum : uint32_t {
    UrbPrepared = 1,
    UrbBusy = 2,
    UrbDiscarded = 8,
    UrbDone = 16,
    UrbError = 0x10000000,
    UrbAbort = 0x20000000,
};

// Transfer types of the request (usbfs numbering).
enum : uint8_t {
    UrbTypeIso = 0,
    UrbTypeInterrupt = 1,
    UrbTypeControl = 2,
    UrbTypeBulk = 3,
};

// Most isochronous packets of one URB when a transfer is split.
constexpr int IsoSplitPackets = 32;
// Most isochronous packets one request may carry.
constexpr uint32_t MaxIsoPackets = 4096;

struct sUrb {
    int32_t entry = 0;
    uint32_t state = 0;
    uint8_t endpoint = 0;
    uint8_t type = 0;
    int32_t count = 0;     // URBs of the transfer
    int32_t next = 0;      // next URB to submit
    int32_t completed = 0; // URBs whose outcome is known (reaped or failed to submit)
    int32_t inFlight = 0;  // URBs the kernel holds
    int32_t itemSize = 0;  // bytes per URB record (with its packet array)
    uint8_t *items = nullptr;
    uint32_t word0 = 0;
    uint32_t tag = 0;
    int64_t remaining = 0;
    int64_t length = 0; // the transfer's length (IN or OUT)
    uint32_t packets = 0;
    uint32_t *isoLengths = nullptr; // the client's packet lengths (isochronous)

    usbdevfs_urb *item(int i) const { return reinterpret_cast<usbdevfs_urb *>(items + i * itemSize); }
    bool in() const { return (endpoint & 0x80) != 0; }
    // The index of a URB record of this transfer, -1 when it is none of its items.
    int indexOf(const usbdevfs_urb *urb) const;
};

// Command 8: the request's payload is read here. 0 to go on, negative to end the
// session.
int usbSubmit(UsbSrvdPrcs &client, const usbwire::Request &request);
// Command 9 and 11.
int usbDiscard(UsbSrvdPrcs &client, const usbwire::Request &request);
int usbAbort(UsbSrvdPrcs &client, const usbwire::Request &request);

// The epoll callback of an opened device's usbfs file: reaps what completed.
int usbCompletion(UsbSrvClient *record, uint32_t events);

// Ends every transfer of the entry: in-flight URBs are discarded, each transfer not yet
// answered gets its final reply (status 2, error 32) when reply is set; transfers are
// freed once the kernel gave back all their URBs (at once when the file is closed).
void usbEndTransfers(UsbSrvdPrcs &client, UsbDevice &entry, bool reply);
// Frees every transfer of the entry without a word (its file is closed).
void usbFreeTransfers(UsbDevice &entry);

// Control transfer processing (type 2) for any client: fills the IN data (at most
// inCapacity bytes) and returns its length (0 for none) with status and error set.
int usbControl(UsbSrvdPrcs &client, int entryNumber, const uint8_t *out, uint32_t outLength,
               uint32_t inLength, uint8_t *in, uint32_t &status, uint32_t &error);

// The state text of a transfer for the status block.
const char *usbUrbStateText(const sUrb *urb);
// Installs the transfer rows of the status block.
void usbInstallTransferHooks();

// Bulk chunk sizes for the wired link's speed (Mbit/s).
void usbSetChunkSizes(int linkMbps);
