// The commands of the USB-server protocol. Each handler reads its fixed payload,
// acts, and answers with a 24-byte reply header and its payload. Handlers return 0 to
// go on and a negative value to end the session.
#include "usbserver/usb_protocol.h"

#include "core/gpio.h"
#include "core/param.h"
#include "core/platform.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/task.h"
#include "net/netif.h"
#include "param_catalogue.h"
#include "usbserver/usb_access.h"
#include "usbserver/usb_device.h"
#include "usbserver/usb_quirks.h"
#include "usbserver/usb_server.h"
#include "usbserver/usb_transfer.h"
#include "usbserver/usb_wire.h"

#include <linux/usbdevice_fs.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

using namespace usbwire;

namespace {

constexpr unsigned long BoardResetRequest = 0x5520;
// The longest key block the device list takes.
constexpr uint32_t MaxKeyBlock = 444;
// How long an open waits for the device's current holder to let it go (ticks).
constexpr int64_t TakeWaitTicks = 1200;

int portCount() {
    unsigned ports = productParams().usbPorts;
    return static_cast<int>(std::min<unsigned>(ports, UsbMaxPorts));
}

int reply(UsbSrvdPrcs &c, uint32_t word0, uint32_t command, uint32_t tag, uint32_t status, uint32_t error,
          const void *payload = nullptr, size_t length = 0) {
    Reply r(word0, ReplyBase + command, tag, static_cast<uint32_t>(length), status, error);
    iovec iov[2] = {{r.bytes, ReplySize}, {const_cast<void *>(payload), length}};
    int want = static_cast<int>(ReplySize + length);
    return c.sendAll(iov, length > 0 ? 2 : 1) == want ? 0 : -1;
}

int reply(UsbSrvdPrcs &c, const Request &q, uint32_t status, uint32_t error, const void *payload = nullptr,
          size_t length = 0) {
    return reply(c, q.word0, q.command, q.tag, status, error, payload, length);
}

// The entry of a valid {entry, port} pair, else null.
UsbDevice *validPair(int entryNumber, int port) {
    UsbDevice *e = usbEntry(entryNumber);
    if (e == nullptr || e->port != port || e->state.load() < UsbEntryPresent) return nullptr;
    return e;
}

bool ownedBy(const UsbDevice *e, const UsbSrvdPrcs &c) {
    return e != nullptr && e->state.load() == UsbEntryOpened && e->owner == c.record;
}

uint32_t sysError(int fallback = EIO) {
    return static_cast<uint32_t>(errno != 0 ? errno : fallback);
}

int ioctlOn(int fd, unsigned long request, void *arg) {
    errno = 0;
    return platform().ioctl(fd, request, arg);
}

// Releases the first bNumInterfaces interfaces of the current configuration.
void releaseInterfaces(UsbDevice &e) {
    const int index = e.currentConfiguration;
    if (index < 0 || index >= static_cast<int>(e.configurations.size()) || e.fd < 0) return;
    const UsbConfiguration &c = e.configurations[static_cast<size_t>(index)];
    const int n = std::min<int>(c.descriptor.size() > 4 ? c.descriptor[4] : 0, c.interfaceCount);
    for (int i = 0; i < n; i++) {
        unsigned int number = c.interfaces[i];
        platform().ioctl(e.fd, USBDEVFS_RELEASEINTERFACE, &number);
    }
}

// ---- commands -------------------------------------------------------------------

int hello(UsbSrvdPrcs &c, const Request &q) {
    static const uint8_t payload[6] = {0x00, 0x6C, 0x00, 0x0A, 0xFF, 0xF3};
    if (reply(c, q.word0 & 0xFF, q.command, q.tag, StatusFailed, ErrFixed, payload, sizeof payload) != 0) {
        c.record->nonce = 0;
        return -1;
    }
    c.record->nonce = q.tag;
    return 0;
}

int serverInfo(UsbSrvdPrcs &c, const Request &q) {
    uint8_t payload[16] = {};
    putBe16(payload, 0x006C);
    putBe16(payload + 2, 0x000A);
    putBe16(payload + 4, static_cast<uint16_t>(portCount()));
    putBe16(payload + 6, static_cast<uint16_t>(std::min(usbDeviceCount.load(), UsbDeviceTableSize)));
    size_t length = 8;
    if (q.command == CmdInfoName) {
        std::memcpy(payload + 8, productParams().defaultName, 8);
        length = 16;
    }
    if (reply(c, q.word0 & 0xFF, q.command, q.tag, StatusDone, ErrNone, payload, length) != 0) return -1;
    c.record->nonce = q.tag;
    return 0;
}

int claimInterface(UsbSrvdPrcs &c, const Request &q, bool claim) {
    uint8_t p[3];
    if (c.readExact(p, sizeof p) != 3) {
        // A claim is answered first; either way the stream has lost its framing.
        if (claim) reply(c, q, StatusFailed, ErrState);
        return -1;
    }
    UsbDevice *e = validPair(p[0], p[1]);
    if (e == nullptr) return reply(c, q, StatusFailed, ErrInvalid);
    unsigned int number = p[2];
    if (claim) {
        if (e->fd >= 0) return reply(c, q, StatusFailed, ErrState);
        // On a file of its own; the claim goes with it.
        int fd = usbOpenDeviceFile(*e, O_RDWR);
        if (fd < 0) return reply(c, q, StatusFailed, sysError(ENODEV));
        int r = ioctlOn(fd, USBDEVFS_CLAIMINTERFACE, &number);
        uint32_t err = r != 0 ? sysError() : 0;
        platform().close(fd);
        return reply(c, q, r != 0 ? StatusFailed : StatusDone, err);
    }
    // Only the holder's own file: another client's file is not this client's to touch.
    if (!ownedBy(e, c) || e->fd < 0) return reply(c, q, StatusFailed, ErrState);
    if (ioctlOn(e->fd, USBDEVFS_RELEASEINTERFACE, &number) != 0) return reply(c, q, StatusFailed, sysError());
    return reply(c, q, StatusDone, ErrNone);
}

int closeDevice(UsbSrvdPrcs &c, const Request &q) {
    uint8_t p[2];
    if (c.readExact(p, sizeof p) != 2) {
        // Answered, but the rest of the stream has lost its framing: the session ends.
        reply(c, q, StatusFailed, ErrState);
        return -1;
    }
    UsbDevice *e = validPair(p[0], p[1]);
    if (e == nullptr) return reply(c, q, StatusFailed, ErrInvalid);
    if (e->state.load() == UsbEntryOpened && !ownedBy(e, c))
        return reply(c, q, StatusRefused, ErrMemory); // another client's device
    if (!ownedBy(e, c)) return reply(c, q, StatusDone, ErrNone);
    const int n = p[0];
    usbEndTransfers(c, *e, true);
    uint32_t status = StatusDone;
    if (e->fd >= 0) {
        bool release = true;
        if (!e->removed) {
            bool reset = false, justClose = false;
            if (!hasQuirk(*e, QuirkCloseSkipReset)) {
                int r = hasQuirk(*e, QuirkCloseUsbfsReset) ? ioctlOn(e->fd, USBDEVFS_RESET, nullptr)
                                                           : ioctlOn(e->fd, BoardResetRequest, nullptr);
                if (r == 0)
                    reset = true;
                else if (errno == ENODEV && hasQuirk(*e, QuirkCloseNoDevice))
                    justClose = true;
            }
            if (justClose) {
                release = false;
            } else if (!reset) {
                if (hasQuirk(*e, QuirkClosePowerCycle)) {
                    usbPortPowerCycle(e->port, 400);
                    release = false;
                } else if (static_cast<uint32_t>(p_sw_features->value()) & 0x8000) {
                    usbPortPowerCycle(e->port, 100);
                    release = false;
                } else if (ioctlOn(e->fd, USBDEVFS_RESET, nullptr) != 0) {
                    status = StatusFailed;
                    release = false;
                }
            }
        }
        if (release) releaseInterfaces(*e);
        c.closeDeviceFile(*e);
    }
    usbDeviceDeactivated(*e);
    e->currentConfiguration = -1;
    c.giveUp(n, false);
    return reply(c, q, status, ErrNone);
}

int clearHalt(UsbSrvdPrcs &c, const Request &q) {
    uint8_t p[3];
    if (c.readExact(p, sizeof p) != 3) return -1;
    UsbDevice *e = validPair(p[0], p[1]);
    if (e == nullptr) return reply(c, q, StatusFailed, ErrInvalid);
    if (!ownedBy(e, c) || e->fd < 0) return reply(c, q, StatusFailed, ErrState);
    if (hasQuirk(*e, QuirkNoClearHalt)) return reply(c, q, StatusDone, ErrNone);
    unsigned int endpoint = p[2];
    int r =
        ioctlOn(e->fd, hasQuirk(*e, QuirkResetEndpoint) ? USBDEVFS_RESETEP : USBDEVFS_CLEAR_HALT, &endpoint);
    return reply(c, q, r != 0 ? StatusFailed : StatusDone, r != 0 ? ErrInvalid : ErrNone);
}

int resetDevice(UsbSrvdPrcs &c, const Request &q) {
    uint8_t p[2];
    if (c.readExact(p, sizeof p) != 2) return -1;
    UsbDevice *e = validPair(p[0], p[1]);
    if (e == nullptr) return reply(c, q, StatusFailed, ErrInvalid);
    if (e->state.load() == UsbEntryOpened && !ownedBy(e, c)) return reply(c, q, StatusRefused, ErrMemory);
    if (!ownedBy(e, c) || e->fd < 0 || hasQuirk(*e, QuirkNoResetCommand))
        return reply(c, q, StatusDone, ErrNone);
    if (hasQuirk(*e, QuirkResetBoardRequest)) {
        ioctlOn(e->fd, BoardResetRequest, nullptr);
        return reply(c, q, StatusDone, ErrNone);
    }
    if (ioctlOn(e->fd, USBDEVFS_RESET, nullptr) != 0) {
        uint32_t err = sysError();
        if (static_cast<uint32_t>(p_sw_features->value()) & 0x8000) {
            usbPortPowerCycle(e->port, 100);
            return reply(c, q, StatusDone, ErrNone);
        }
        return reply(c, q, StatusFailed, err);
    }
    return reply(c, q, StatusDone, ErrNone);
}

int heartbeat(UsbSrvdPrcs &c, const Request &q) {
    uint8_t p[4];
    if (c.readExact(p, sizeof p) != 4) return -1;
    c.record->heartbeat = getBe32(p);
    return reply(c, q, StatusDone, ErrNone, p, sizeof p);
}

int setConfiguration(UsbSrvdPrcs &c, const Request &q) {
    uint8_t p[4];
    if (c.readExact(p, sizeof p) != 4) return -1;
    const int n = p[0];
    const int value = p[2];
    std::vector<uint8_t> pairs;
    if (value != 0 && p[3] != 0) {
        pairs.resize(static_cast<size_t>(p[3]) * 2);
        if (c.readExact(pairs.data(), pairs.size()) != static_cast<int>(pairs.size())) {
            reply(c, q, StatusFailed, ErrState);
            return -1; // the stream has lost its framing
        }
    }
    UsbDevice *e = validPair(n, p[1]);
    if (e == nullptr || e->state.load() < UsbEntryOpened) return reply(c, q, StatusFailed, ErrInvalid);
    // Only the client that opened the device configures it.
    if (!ownedBy(e, c)) return reply(c, q, StatusRefused, ErrMemory);
    usbEndTransfers(c, *e, true);
    if (e->fd < 0) return reply(c, q, StatusFailed, ErrState);

    const int configs = static_cast<int>(e->configurations.size());
    auto configValue = [&](int index) {
        const std::vector<uint8_t> &d = e->configurations[static_cast<size_t>(index)].descriptor;
        return d.size() > 5 ? d[5] : -1;
    };
    if (value == 1 && configs > 0 && hasQuirk(*e, QuirkConfigOneLocal)) {
        e->currentConfiguration = 0;
        return reply(c, q, StatusDone, ErrNone);
    }
    const int current = e->currentConfiguration;
    if (value != 0 && current >= 0 && current < configs && !hasQuirk(*e, QuirkAlwaysSetConfig) &&
        configValue(current) == value)
        return reply(c, q, StatusDone, ErrNone);

    if (current >= 0 && current < configs && current < e->numConfigurations()) releaseInterfaces(*e);
    e->currentConfiguration = -1;
    uint32_t status = StatusDone, error = ErrNone;
    auto fail = [&](uint32_t err) {
        status = StatusFailed;
        error = err;
    };
    if (value == 0 && hasQuirk(*e, QuirkUnconfigBoardReset)) {
        if (ioctlOn(e->fd, BoardResetRequest, nullptr) != 0) {
            if ((errno == ENOTTY || errno == ENODEV) && ioctlOn(e->fd, USBDEVFS_RESET, nullptr) != 0)
                fail(sysError());
        }
    } else if (value == 0) {
        unsigned int zero = 0;
        if (ioctlOn(e->fd, USBDEVFS_SETCONFIGURATION, &zero) != 0) fail(sysError());
    } else {
        if (hasQuirk(*e, QuirkConfigBoardReset) && value > 1) ioctlOn(e->fd, BoardResetRequest, nullptr);
        if (hasQuirk(*e, QuirkConfigZeroFirst)) {
            unsigned int zero = 0;
            ioctlOn(e->fd, USBDEVFS_SETCONFIGURATION, &zero);
        }
        unsigned int v = static_cast<unsigned int>(value);
        int index = -1;
        if (ioctlOn(e->fd, USBDEVFS_SETCONFIGURATION, &v) != 0) {
            fail(sysError());
        } else {
            for (int i = 0; i < configs; i++)
                if (configValue(i) == value) index = i;
            if (index < 0) fail(ErrNoConfig);
        }
        if (status == StatusDone) {
            e->currentConfiguration = index;
            const UsbConfiguration &cfg = e->configurations[static_cast<size_t>(index)];
            const int count =
                std::min<int>(cfg.descriptor.size() > 4 ? cfg.descriptor[4] : 0, cfg.interfaceCount);
            for (int i = 0; i < count && status == StatusDone; i++) {
                unsigned int number = cfg.interfaces[i];
                if (ioctlOn(e->fd, USBDEVFS_CLAIMINTERFACE, &number) != 0) fail(sysError());
            }
            for (size_t k = 0; k + 1 < pairs.size() && status == StatusDone; k += 2) {
                usbdevfs_setinterface si{pairs[k], pairs[k + 1]};
                if (ioctlOn(e->fd, USBDEVFS_SETINTERFACE, &si) != 0) fail(sysError());
            }
        }
    }
    int r = reply(c, q, status, error);
    if (status != StatusDone) {
        // The device is in no known state: the reset pass resets and closes it.
        bool locked = e->muxIn("setConfiguration");
        e->resetPending = 1;
        if (locked) e->muxOut();
        c.wake();
    }
    return r;
}

int portTags(UsbSrvdPrcs &c, const Request &q) {
    std::vector<uint8_t> block;
    const int ports = portCount();
    for (int port = 1; port <= ports; port++) {
        if (!usbVlanAdmits(port, c.record)) continue;
        auto add = [&](const char *prefix, size_t prefixLength, uint8_t marker, size_t maxLength) {
            auto *p =
                dynamic_cast<StringParam *>(ptable().find(prefix, static_cast<int>(prefixLength), port));
            if (p == nullptr) return;
            const std::string text = p->getText();
            size_t n = strnlen(text.c_str(), maxLength);
            if (n == 0) return;
            block.push_back(marker);
            block.insert(block.end(), text.data(), text.data() + n);
            block.push_back(0);
        };
        add("zqn_tag_", 8, static_cast<uint8_t>(port), 32);
        add("zqn_dscr_", 9, static_cast<uint8_t>(port | 0xC0), 128);
    }
    block.push_back(0);
    return reply(c, q, StatusDone, ErrNone, block.data(), block.size());
}

int openedEntries(UsbSrvdPrcs &c, const Request &q) {
    uint32_t bits = 0;
    const int count = std::min(usbDeviceCount.load(), 32);
    for (int i = 0; i < count; i++)
        if (usbDeviceTable[i].state.load() == UsbEntryOpened) bits |= 1u << i;
    uint8_t payload[4];
    putBe32(payload, bits);
    return reply(c, q, StatusDone, ErrNone, payload, 4);
}

int deviceName(UsbSrvdPrcs &c, const Request &q) {
    if (p_sys_name == nullptr) return reply(c, q, StatusDone, ErrName);
    const std::string text = p_sys_name->getText();
    return reply(c, q, StatusDone, ErrNone, text.c_str(), strnlen(text.c_str(), 64));
}

// The user-name part of "usb_owner_<entry + 1>": what stands before its first "(".
size_t ownerName(int entryNumber, char *out, size_t size) {
    auto *p = dynamic_cast<StringParam *>(ptable().find("usb_owner_", 10, entryNumber + 1));
    if (p == nullptr || size == 0) return 0;
    const std::string text = p->getText();
    size_t n = std::min(std::strlen(text.c_str()), text.find('('));
    n = std::min(n, size);
    std::memcpy(out, text.data(), n);
    return n;
}

int deviceStatus(UsbSrvdPrcs &c, const Request &q) {
    uint8_t p[2];
    if (c.readExact(p, sizeof p) != 2) return -1;
    UsbDevice *e = validPair(p[0], p[1]);
    if (e == nullptr) return reply(c, q, StatusFailed, ErrInvalid);
    uint8_t payload[4 + 128];
    size_t length = 4;
    uint32_t code = 0;
    if (secureTransportOn()) code |= 2;
    if (!check_device_assignment(p[0], p[1])) code |= 5;
    bool locked = e->muxIn("deviceStatus");
    if (e->state.load() == UsbEntryOpened && e->owner != nullptr) {
        code |= 1;
        sockaddr_in6 peer{};
        int n = UsbSrvClient::peerAddress(e->owner, reinterpret_cast<sockaddr *>(&peer), sizeof peer);
        uint8_t *r = payload + 4;
        if (n == static_cast<int>(sizeof(sockaddr_in))) {
            const auto *v4 = reinterpret_cast<const sockaddr_in *>(&peer);
            r[0] = 3;
            r[1] = 4;
            r[2] = r[3] = r[4] = 0;
            std::memcpy(r + 5, &v4->sin_addr, 4);
            length += 9;
        } else if (n == static_cast<int>(sizeof(sockaddr_in6))) {
            r[0] = 4;
            r[1] = 16;
            r[2] = r[3] = r[4] = 0;
            std::memcpy(r + 5, &peer.sin6_addr, 16);
            length += 21;
        }
        length += ownerName(p[0], reinterpret_cast<char *>(payload + length), sizeof payload - length);
    }
    if (locked) e->muxOut();
    putBe32(payload, code);
    return reply(c, q, StatusDone, ErrNone, payload, length);
}

// A key block the device list accepts: "KVX" or "KVx", a count of 1 to 20 and exactly
// that many entries.
bool keyBlockValid(const uint8_t *b, size_t n) {
    if (n < 4 || b[0] != 'K' || b[1] != 'V' || (b[2] != 'X' && b[2] != 'x')) return false;
    const size_t entry = b[2] == 'X' ? 12 : 22;
    return b[3] >= 1 && b[3] <= 20 && n == 4 + entry * b[3];
}

int deviceList(UsbSrvdPrcs &c, const Request &q) {
    uint8_t block[MaxKeyBlock];
    size_t blockLength = 0;
    if (q.length >= 1 && q.length <= MaxKeyBlock) {
        blockLength = q.length;
        if (c.readExact(block, blockLength) != static_cast<int>(blockLength)) return -1;
        if (!keyBlockValid(block, blockLength)) return -1;
    }
    const bool hide = p_zqn_hide != nullptr && p_zqn_hide->isOn();
    std::vector<uint8_t> payload(3);
    int records = 0;
    const int count = std::min(usbDeviceCount.load(), UsbDeviceTableSize);
    for (int i = 0; i < count; i++) {
        UsbDevice &e = usbDeviceTable[i];
        if (e.state.load() < UsbEntryPresent) continue;
        bool locked = e.muxIn("deviceList");
        const int port = e.port;
        if (e.state.load() >= UsbEntryPresent && port >= 1 && port <= UsbMaxPorts &&
            usbVlanAdmits(port, c.record)) {
            int key = usbPortKeyCheck(port, c.record->nonce, blockLength ? block : nullptr, blockLength);
            if (key >= 0 || !hide) {
                uint8_t r[22];
                r[0] = static_cast<uint8_t>(i);
                r[1] = static_cast<uint8_t>(port);
                r[2] = static_cast<uint8_t>(e.speed);
                r[3] = key < 0 ? 1 : key == 0 ? 0 : 2;
                std::memcpy(r + 4, e.deviceDescriptor, 18);
                for (int off : {2, 8, 10, 12}) // bcdUSB, idVendor, idProduct, bcdDevice
                    std::swap(r[4 + off], r[4 + off + 1]);
                payload.insert(payload.end(), r, r + sizeof r);
                records++;
            }
        }
        if (locked) e.muxOut();
    }
    payload[0] = static_cast<uint8_t>(records);
    putBe16(&payload[1], static_cast<uint16_t>(22 * records));
    return reply(c, q, StatusDone, ErrNone, payload.data(), payload.size());
}

// Waits until the entry's holder let it go; false when it did not in time.
bool waitForRelease(UsbSrvdPrcs &c, UsbDevice &e, UsbSrvClient *holder) {
    for (int64_t waited = 0; waited < TakeWaitTicks; waited++) {
        if (e.state.load() != UsbEntryOpened || e.owner != holder) return true;
        // This client's own entries may be asked for meanwhile: answer them, or two
        // clients opening each other's devices would wait for each other.
        c.doWork(false);
        c.wait(1);
    }
    return e.state.load() != UsbEntryOpened || e.owner != holder;
}

int openDevice(UsbSrvdPrcs &c, const Request &q) {
    const bool withKey = q.command == CmdOpenKey;
    uint8_t p[54] = {};
    const size_t n = withKey ? 54 : 34;
    if (c.readExact(p, n) != static_cast<int>(n)) return reply(c, q, StatusFailed, ErrInvalid);
    const int entryNumber = p[0], port = p[1];
    UsbDevice *e = validPair(entryNumber, port);
    if (e == nullptr) return reply(c, q, StatusFailed, ErrInvalid);
    const uint32_t identity = e->identity.load();
    char user[33] = {};
    std::memcpy(user, p + 2, 32);

    // The key proof of the request, as the device list's key block has it.
    uint8_t block[26] = {'K', 'V', 'x', 1};
    if (withKey) {
        putBe16(block + 4, static_cast<uint16_t>(port));
        std::memcpy(block + 6, p + 34, 20);
    }
    const int key = usbPortKeyCheck(port, c.record->nonce, block, sizeof block);
    if (key < 0) return reply(c, q, StatusFailed, ErrInvalid);

    // Every refusal comes before the device is taken from whoever holds it.
    if (!check_device_assignment(entryNumber, port)) return reply(c, q, StatusRefused, ErrNotAllowed);
    auto *prereset = dynamic_cast<IntParam *>(ptable().find("zqn_prereset_", 13, port));
    const bool preReset = prereset != nullptr && prereset->isOn();
    if (!UsbSrvClient::isTls(c.record) && secureTransportOn()) return reply(c, q, StatusRefused, ErrSecure);

    bool fresh = true;
    if (ownedBy(e, c)) {
        // Opened again by its holder: its file is opened anew, no new activation.
        usbEndTransfers(c, *e, true);
        c.closeDeviceFile(*e);
        fresh = false;
    } else if (e->state.load() == UsbEntryOpened) {
        bool locked = e->muxIn("openDevice");
        UsbSrvClient *holder = e->state.load() == UsbEntryOpened ? e->owner : nullptr;
        if (holder != nullptr) UsbSrvdPrcs::of(holder)->requestTake(entryNumber, false);
        if (locked) e->muxOut();
        if (holder != nullptr && !waitForRelease(c, *e, holder)) return reply(c, q, StatusFailed, EBUSY);
    }
    if (e->state.load() != UsbEntryPresent && !ownedBy(e, c)) return reply(c, q, StatusFailed, ErrInvalid);
    if (e->identity.load() != identity) return reply(c, q, StatusFailed, ErrInvalid);
    if (fresh && e->fd >= 0) return reply(c, q, StatusFailed, ErrState);

    int fd = usbOpenDeviceFile(*e, O_RDWR);
    if (fd >= 0 && preReset && fresh) {
        platform().ioctl(fd, USBDEVFS_RESET, nullptr);
        platform().close(fd);
        usleep(1000000);
        fd = usbOpenDeviceFile(*e, O_RDWR);
    }
    if (fd < 0) {
        uint32_t err = sysError(ENODEV);
        if (!ownedBy(e, c)) {
            // A device whose file cannot be opened counts as unplugged.
            bool locked = e->muxIn("openDevice");
            bool gone = e->identity.load() == identity && e->state.load() == UsbEntryPresent;
            if (locked) e->muxOut();
            if (gone) {
                if (usbDeviceHooks().disconnected) usbDeviceHooks().disconnected(*e);
                e->clear();
            }
        } else {
            c.giveUp(entryNumber, false);
        }
        return reply(c, q, StatusFailed, err);
    }
    UsbSrvClient *rec = UsbSrvClient::create(c.epollFd, nullptr, nullptr, fd, entryNumber);
    if (rec == nullptr) {
        platform().close(fd);
        if (ownedBy(e, c)) c.giveUp(entryNumber, false);
        return reply(c, q, StatusFailed, ErrMemory);
    }
    UsbSrvClient::setCallback(rec, &usbCompletion);
    UsbSrvClient::wantWrite(rec);
    bool locked = e->muxIn("openDevice");
    e->fd = fd;
    e->waitRecord = rec;
    e->owner = c.record;
    e->keyIndex = key;
    e->isoSplit = (q.word0 & 0x100) ? 1 : 0;
    e->state.store(UsbEntryOpened);
    if (locked) e->muxOut();
    if (std::find(c.owned.begin(), c.owned.end(), entryNumber) == c.owned.end())
        c.owned.push_back(entryNumber);

    if (reply(c, q, StatusDone, ErrNone) != 0) return -1;
    if (fresh) usbDeviceActivated(*e, user[0] != 0 ? user : nullptr);
    int speed = 1000;
    mainInterface().getLinkSpeed(speed);
    usbSetChunkSizes(speed);
    return 0;
}

} // namespace

int usbDispatchRequest(UsbSrvdPrcs &c) {
    uint8_t h[RequestSize];
    if (c.readExact(h, sizeof h) != static_cast<int>(sizeof h)) return -1;
    const Request q = Request::parse(h);
    c.record->activityTick = static_cast<uint32_t>(c.now);
    int result;
    switch (q.command) {
    case CmdHello:
        result = hello(c, q);
        break;
    case CmdListShort:
        result = reply(c, q, StatusFailed, ErrFixed);
        break;
    case 3:
    case 7:
    case 18:
    case 20:
        result = 3;
        break;
    case CmdClaim:
        result = claimInterface(c, q, true);
        break;
    case CmdRelease:
        result = claimInterface(c, q, false);
        break;
    case CmdClose:
        result = closeDevice(c, q);
        break;
    case CmdSubmit:
        result = usbSubmit(c, q);
        break;
    case CmdDiscard:
        result = usbDiscard(c, q);
        break;
    case CmdAbort:
        result = usbAbort(c, q);
        break;
    case CmdClearHalt:
        result = clearHalt(c, q);
        break;
    case CmdReset:
        result = resetDevice(c, q);
        break;
    case CmdHeartbeat:
        result = heartbeat(c, q);
        break;
    case CmdSetConfig:
        result = setConfiguration(c, q);
        break;
    case CmdPortTags:
        result = portTags(c, q);
        break;
    case CmdOpened:
        result = openedEntries(c, q);
        break;
    case CmdName:
        result = deviceName(c, q);
        break;
    case CmdOpen:
    case CmdOpenKey:
        result = openDevice(c, q);
        break;
    case CmdStatus:
        result = deviceStatus(c, q);
        break;
    case CmdInfo:
    case CmdInfoName:
        result = serverInfo(c, q);
        break;
    case CmdList:
        result = deviceList(c, q);
        break;
    default:
        result = -1;
        break;
    }
    const unsigned product = productParams().productId;
    if (product == 295 || product == 307) gpioDevice().pulseActivity();
    return result;
}
