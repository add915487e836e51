// The listener task "UsbSrvd": listeners on the main interface and every IP VLAN,
// the accept path with its client cap, and the periodic work of the products with
// the extended sensor board (heat control, power-limit check, hourly statistics).
#include "usbserver/usb_server.h"

#include "core/gpio.h"
#include "core/monilog.h"
#include "core/param.h"
#include "core/ptable.h"
#include "core/sensors.h"
#include "core/sysinfo.h"
#include "core/sysroot.h"
#include "core/ticks.h"
#include "net/netif.h"
#include "notify/services.h"
#include "param_catalogue.h"
#include "usbserver/usb_access.h"
#include "usbserver/usb_device.h"
#include "usbserver/usb_start.h"
#include "usbserver/usb_transfer.h"
#include "usbserver/usb_wire.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

using namespace usbwire;

namespace {

// How long the server waits for the board's start-up before it listens anyway.
constexpr int64_t BoardWaitTicks = 3000;
constexpr int64_t HeatTicks = 100;
constexpr int64_t MinuteTicks = 6000;
constexpr int64_t HourTicks = 360000;

std::mutex cipherMutex;
char lastCipher[140];

int portCount() {
    return static_cast<int>(std::min<unsigned>(productParams().usbPorts, UsbMaxPorts));
}

const char *const sensorFiles[4] = {
    "/sys/class/hwmon/hwmon4/current_c1",
    "/sys/class/hwmon/hwmon4/current_c2",
    "/sys/class/hwmon/hwmon5/current_c1",
    "/sys/class/hwmon/hwmon5/current_c2",
};

// The device table's call when an opened device is unplugged: its owner takes it.
bool takeFromClient(UsbDevice &e) {
    bool locked = e.muxIn("takeFromClient");
    bool held = e.state.load() == UsbEntryOpened && e.owner != nullptr;
    if (held) UsbSrvdPrcs::of(e.owner)->requestTake(static_cast<int>(&e - usbDeviceTable), true);
    if (locked) e.muxOut();
    return held;
}

} // namespace

std::string usbLastCipher() {
    std::lock_guard<std::mutex> guard(cipherMutex);
    return lastCipher;
}

void usbNoteCipher(TcpConnection *connection) {
    char text[140];
    if (connection == nullptr || !connection->cipherDescription(text, sizeof text)) return;
    std::lock_guard<std::mutex> guard(cipherMutex);
    std::memcpy(lastCipher, text, sizeof lastCipher);
    lastCipher[sizeof lastCipher - 1] = '\0';
}

int usbPortSensor(unsigned productId, int port) {
    if (port < 1 || port > UsbMaxPorts) return -1;
    if (productId == 294) {
        static const int map[8] = {0, 0, 1, 1, 0, 0, 1, 1};
        return port <= 8 ? map[port - 1] : -1;
    }
    if (productId == 295) return (port - 1) / 5;
    return -1;
}

void usbSendNotice(int entryNumber, int reason, uint32_t value) {
    UsbDevice *e = usbEntry(entryNumber);
    if (e == nullptr) return;
    uint8_t msg[MessageSize + 8];
    putBe32(msg, 1);
    putBe32(msg + 4, MsgNotice);
    putBe32(msg + 8, 0);
    putBe32(msg + 12, 8);
    msg[16] = static_cast<uint8_t>(entryNumber);
    bool locked = e->muxIn("notice");
    msg[17] = static_cast<uint8_t>(e->port);
    msg[18] = static_cast<uint8_t>(reason);
    msg[19] = MsgNotice;
    putBe32(msg + 20, value);
    // The owner writes it between two requests: its stream is its own.
    if (e->state.load() == UsbEntryOpened && e->owner != nullptr)
        UsbSrvdPrcs::of(e->owner)->queueMessage(msg, sizeof msg);
    if (locked) e->muxOut();
}

int release_port_devices(int port, int reason) {
    bool noticed = false;
    const int count = std::min(usbDeviceCount.load(), UsbDeviceTableSize);
    for (int i = 0; i < count; i++) {
        UsbDevice &e = usbDeviceTable[i];
        // Only devices a client holds are released: a present one has nothing to undo.
        if (e.state.load() != UsbEntryOpened || e.port != port) continue;
        // The deactivation counts once: the client's later close or end of session
        // finds it undone already.
        usbDeviceDeactivated(e);
        if (!noticed) {
            usbSendNotice(i, reason, 0);
            noticed = true;
        }
        bool locked = e.muxIn("release_port_devices");
        if (e.state.load() == UsbEntryOpened && e.owner != nullptr) {
            e.resetPending = 1;
            UsbSrvdPrcs::of(e.owner)->wake();
        }
        if (locked) e.muxOut();
    }
    return 1;
}

// ---- UsbSrvd ------------------------------------------------------------------------

UsbSrvd::UsbSrvd() : Task("UsbSrvd") {
    for (auto &pair : records)
        for (EpollRecord &r : pair)
            r = EpollRecord{};
    usbDeviceHooks().takeFromClient = &takeFromClient;
    usbInstallEventHooks();
    usbInstallTransferHooks();
    startUsbDeviceLayer();
}

UsbSrvd::~UsbSrvd() {
    closeListeners();
    // Entries a client still holds are its own to give up.
    const int count = std::min(usbDeviceCount.load(), UsbDeviceTableSize);
    for (int i = 0; i < count; i++)
        if (usbDeviceTable[i].state.load() != UsbEntryOpened) usbDeviceTable[i].clear();
}

uint32_t UsbSrvd::onMessage(const TaskMsg &msg) {
    if (msg.flags & MsgConfigChanged) relisten = true;
    return msg.flags & ~MsgConfigChanged;
}

void UsbSrvd::openListeners() {
    ptable();
    const bool secureOnly = p_zqn_sec->isOn();
    const int plainPort = secureOnly ? 0 : p_zqn_port->value();
    const int tlsPort = p_zqn_sslport->value();
    NetInterface *iface = &mainInterface();
    slotCount = std::min(portCount() + 2, MaxSlots);
    for (int slot = 0; slot < slotCount; slot++) {
        plain[slot] = plainPort > 0 ? TcpConnection::listen(this, plainPort, iface, slot) : nullptr;
        secure[slot] = tlsPort > 0 ? TcpConnection::listen(this, tlsPort, iface, slot) : nullptr;
        TcpConnection *both[2] = {plain[slot], secure[slot]};
        for (int k = 0; k < 2; k++) {
            if (both[k] == nullptr) continue;
            records[slot][k] = EpollRecord{this, &UsbSrvd::onAccept, both[k]->socket};
            if (epollAdd(&records[slot][k], EPOLLIN) != 0) {
                delete both[k];
                (k == 0 ? plain : secure)[slot] = nullptr;
                records[slot][k] = EpollRecord{};
            }
        }
    }
}

void UsbSrvd::closeListeners() {
    for (int slot = 0; slot < MaxSlots; slot++) {
        TcpConnection **both[2] = {&plain[slot], &secure[slot]};
        for (int k = 0; k < 2; k++) {
            if (*both[k] == nullptr) continue;
            epollDel((*both[k])->socket);
            delete *both[k];
            *both[k] = nullptr;
            records[slot][k] = EpollRecord{};
        }
    }
}

int UsbSrvd::onAccept(EpollRecord *record, uint32_t) {
    if (record == nullptr || record->owner == nullptr) return 0;
    auto *self = static_cast<UsbSrvd *>(record->owner);
    for (int slot = 0; slot < self->slotCount; slot++) {
        if (self->plain[slot] && self->plain[slot]->socket == record->descriptor)
            self->accept(self->plain[slot], false);
        if (self->secure[slot] && self->secure[slot]->socket == record->descriptor)
            self->accept(self->secure[slot], true);
    }
    return 0;
}

void UsbSrvd::accept(TcpConnection *listener, bool tls) {
    TcpConnection *c = listener->accept(tls);
    if (c == nullptr) return;
    if (usbLiveClients.load() > 2 * portCount()) {
        delete c;
        return;
    }
    c->set_nagleon();
    if (p_tcp_maxseg->value() > 0) c->set_maxseg(p_tcp_maxseg->value());
    auto *client = new UsbSrvdPrcs(c);
    if (client->start(0x8000) < 0) delete client;
}

void UsbSrvd::powerLimitCheck(int *converted, int *powered) {
    const unsigned product = productParams().productId;
    const int sensors = product == 294 ? 2 : 4;
    const int ports = portCount();
    const uint32_t now = static_cast<uint32_t>(sysTicks());
    bool switchedOff = false;
    for (int s = 0; s < sensors; s++) {
        long reading = 0;
        if (!readIntFile(reading, sysPath(sensorFiles[s]), false)) continue;
        const long value = (reading + 500) / 1000;
        converted[s] = static_cast<int>((value * 12 + 50) / 100);
        powered[s] = 0;
        for (int port = 1; port <= ports; port++)
            if (usbPortSensor(product, port) == s && usbPortCounter[port - 1] != 0) powered[s]++;
        const long limit = product == 294 ? 600 : s == 0 ? 2000 : s == 1 ? 970 : 800;
        if (value < limit) {
            belowLimit_[s] = true;
            continue;
        }
        if (belowLimit_[s]) {
            belowLimit_[s] = false; // one reading of grace
            continue;
        }
        const int count = std::min(usbDeviceCount.load(), UsbDeviceTableSize);
        for (int i = 0; i < count; i++) {
            UsbDevice &e = usbDeviceTable[i];
            if (e.state.load() == UsbEntryEmpty || e.port < 1 || e.port > ports) continue;
            if (usbPortSensor(product, e.port) != s) continue;
            const uint32_t age = (now - e.connectTick) / 100;
            if (age < 61 || age >= 120) continue;
            const int port = e.port;
            if (e.state.load() == UsbEntryOpened) release_port_devices(port, 2);
            if (moniEnabled(MoniErr | MoniUpo))
                mprintf(
                    MoniErr | MoniUpo, __FILE__, __LINE__,
                    "USB port: USB device (%s / %s / %s) at USB port %d consumes too much power. USB port "
                    "has been switched off for protection.",
                    e.manufacturer, e.product, e.serial, port);
            char text[256];
            std::snprintf(text, sizeof text,
                          getmuText("USB port:%d with Device %s %s is switched off due to power limits."),
                          port, e.manufacturer, e.product);
            if (notifyAddEvent(4096, port, text) != 0) notify_post_event(4096, -1);
            if (Param *power = ptable().find("zqn_ppwr_", 9, port)) {
                power->setFromText("fail", -1);
                ptable().saveIfChanged();
            }
            gpioDevice().setPortLed(port - 1, 0, 0);
            gpioDevice().setPortLed(port - 1, 2, 4);
            switchedOff = true;
        }
    }
    if (switchedOff && (static_cast<uint32_t>(p_sw_features->value()) & 0x100000)) gpioDevice().beep(1);
}

void UsbSrvd::run() {
    GpioDevice &board = gpioDevice();
    if (board.isOpen()) {
        // The ports go on once the board has started, but the server comes up anyway.
        for (int64_t waited = 0; !board.initialised.load() && waited < BoardWaitTicks; waited += 25)
            wait(25);
    }
    TaskMsg on{0, MsgPortsOn, 0, 0};
    postByName("GPio", on);
    openListeners();

    const unsigned product = productParams().productId;
    const bool sensorBoard = product == 287 || product == 294 || product == 295 || product == 307;
    int64_t lastHeat = 0, lastMinute = 0, lastHour = 0;
    bool heatDone = false, minuteDone = false, hourDone = false;
    int values[3][4] = {};
    for (;;) {
        epollWait(1000);
        const int64_t now = sysTicks();
        if (sensorBoard && (!heatDone || now - lastHeat > HeatTicks)) {
            heatDone = true;
            lastHeat = now;
            heatControl(values[0]);
            if (!minuteDone || now - lastMinute > MinuteTicks) {
                minuteDone = true;
                lastMinute = now;
                if (product == 294 || product == 295) powerLimitCheck(values[1], values[2]);
                if (!hourDone || now - lastHour > HourTicks) {
                    hourDone = true;
                    lastHour = now;
                    sysStatLog(StatSys, values[0], values[1], values[2]);
                }
            }
        }
        if (relisten.exchange(false)) {
            closeListeners();
            openListeners();
        }
    }
}
