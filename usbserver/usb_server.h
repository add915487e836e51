// The USB server's tasks: "UsbSrvd" listens on the USB-server ports of the main
// interface and every IP VLAN (plain TCP and TLS), starts one "UsbSrvdPrcs" task per
// client, and runs the periodic heat control, power-limit check and statistics record.
// A "UsbSrvdPrcs" task serves one connection: it reads the requests, runs their
// handlers, reaps the URBs of the devices its client opened, and when the client goes
// releases every device it still holds.
//
// Ownership: an opened device (entry state 3) belongs to the client task that opened
// it. Only that task touches the entry's usbfs file, its transfers and its epoll
// record, and only it writes to its connection. Other tasks that need an owned device
// (another client opening it, the hot-plug listener when it goes, a port release) ask
// the owner through requestTake/requestReset and a wake-up message; the owner acts at
// the next point between two requests. While an entry is opened its owner's task is
// alive: the task gives up its entries under their locks before it ends, so whoever
// holds an entry's lock may reach the owner through it.
#pragma once

#include "core/task.h"
#include "core/tcp.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <sys/uio.h>
#include <vector>

class UsbDevice;

// The message flag by which other tasks wake a client task for work they queued.
constexpr uint32_t MsgUsbWork = 0x100;

// Time-out of every payload read and reply write.
constexpr int UsbIoTimeoutMs = 10000;

class UsbSrvdPrcs : public Task {
public:
    explicit UsbSrvdPrcs(TcpConnection *connection);
    ~UsbSrvdPrcs() override;
    void run() override;
    uint32_t onMessage(const TaskMsg &msg) override;

    // ---- the stream -------------------------------------------------------------
    // Reads exactly n bytes, each wait up to timeoutMs: n, or TcpReadTimedOut,
    // TcpPeerClosed, TcpHardError.
    int readExact(void *memory, size_t n, int timeoutMs = UsbIoTimeoutMs);
    // Reads and drops n bytes (the rest of a request that is not used): 0 or an error.
    int skip(uint64_t n, int timeoutMs = UsbIoTimeoutMs);
    // Bytes of the stream already read (or decrypted) and not yet taken.
    bool inputWaiting() const;
    // Writes all of the vector: the total, or TcpWriteTimedOut / TcpHardError.
    int sendAll(const iovec *iov, int count, int timeoutMs = UsbIoTimeoutMs);
    int sendAll(const void *data, size_t n, int timeoutMs = UsbIoTimeoutMs);

    // ---- work asked for by other tasks (call under the entry's lock) -------------
    // Queues one server message (0x11, 0x13) for the client; sent between requests.
    void queueMessage(const uint8_t *bytes, size_t n);
    // Asks the owner to take the entry's device from its client (another client
    // opens it, or it was unplugged: removed). Called under the entry lock.
    void requestTake(int entryNumber, bool removed);
    // Wakes the task so it looks at the entry's reset-pending flag now.
    void wake();

    // The entries this client holds (state 3, owner = record), in the order opened.
    std::vector<int> owned;

    TcpConnection *connection;
    UsbSrvClient *record = nullptr;
    // The session must end (a handler failed, the peer went).
    bool ending = false;
    // Tick of the current loop pass.
    int64_t now = 0;

    // The session of an opened entry's owner record (valid under the entry's lock).
    static UsbSrvdPrcs *of(UsbSrvClient *owner) { return static_cast<UsbSrvdPrcs *>(owner->ownerTask); }

    // Runs the work queued by other tasks: server messages, take and reset requests,
    // and (at most once a second, or when asked) the reset pass.
    void doWork(bool resetPass);
    // Gives up every device the client holds (end of the session).
    void releaseAll();

    // Takes the opened entry from this client: its transfers end with their final
    // replies, its file closes, the client gets the device-removed message.
    void takeDevice(int entryNumber, bool removed);
    // Resets the entry's device and closes it (reset pass).
    void resetDevice(int entryNumber);
    // Closes the entry's usbfs file: its epoll record goes (after the current batch),
    // the kernel kills its URBs, its transfers are freed.
    void closeDeviceFile(UsbDevice &entry);
    // The entry is no longer this client's: state 2, no owner (under its lock).
    void giveUp(int entryNumber, bool removed);
    // Removes a usbfs record from the epoll set; it is freed after the current batch.
    void retire(UsbSrvClient *&record);

private:
    // Dispatches requests while input is waiting, at most a batch; false when the
    // session must end.
    bool dispatchSome();
    static int onClientEvent(UsbSrvClient *record, uint32_t events);
    // Waits for the socket (POLLIN or POLLOUT) or the task's pipe; the pipe's
    // messages are handled. 1 ready, 0 message only, TcpReadTimedOut/TcpWriteTimedOut
    // on time-out, TcpHardError.
    int waitSocket(short events, int timeoutMs);
    // One read of at most n bytes (TLS or plain): the count, or an error.
    int rawRead(void *memory, size_t n, int timeoutMs);
    int writePlain(const iovec *iov, int count, int timeoutMs);
    int writeTls(const void *data, size_t n, int timeoutMs);
    // Sends the TLS records gathered in the session's write buffer.
    int flushTls(int timeoutMs);
    // Before the handshake: records are read ahead, several a system call.
    void readTlsAhead();
    // After it: records are gathered in a write buffer, several a system call.
    void gatherTlsWrites();

    static constexpr size_t InputSize = 16384;
    uint8_t *input_;
    size_t inStart_ = 0;
    size_t inEnd_ = 0;
    static constexpr size_t StageSize = 16384;
    uint8_t *stage_ = nullptr; // TLS: small pieces gathered into one record
    // TLS: the write buffer has room for a 64 KiB reply's records (at most 16 KiB of
    // data a record, and its header, tag and padding); the read-ahead buffer for 16
    // records, so that a stream of large OUT transfers is read about 256 KiB a system
    // call (the library reads only the rest of a record that a read cut, so a small
    // buffer costs a second, short read for every fill).
    static constexpr int TlsRecordRoom = 16384 + 256 + 5;
    static constexpr int TlsBatchSize = 5 * TlsRecordRoom;
    static constexpr int TlsReadAheadSize = 16 * TlsRecordRoom;
    bool tlsGathered_ = false;

    std::mutex workMutex_;
    std::vector<std::vector<uint8_t>> messages_;
    std::atomic<bool> workWaiting_{false};
    int64_t lastResetPass_ = 0;
    bool resetPassDone_ = false;
    bool looping_ = false;
    std::vector<UsbSrvClient *> retired_;
    void freeRetired();
};

class UsbSrvd : public Task {
public:
    // Sizes the device table for the product, prepares the usbfs tree and starts the
    // hot-plug listener.
    UsbSrvd();
    ~UsbSrvd() override;
    void run() override;
    uint32_t onMessage(const TaskMsg &msg) override;

    void openListeners();
    void closeListeners();

    // Interface slots: 0 the main interface, 1.. the IP VLANs.
    static constexpr int MaxSlots = 22;
    int slotCount = 0;
    TcpConnection *plain[MaxSlots] = {};
    TcpConnection *secure[MaxSlots] = {};
    EpollRecord records[MaxSlots][2];
    std::atomic<bool> relisten{false};

private:
    static int onAccept(EpollRecord *record, uint32_t events);
    void accept(TcpConnection *listener, bool tls);
    // The minute's power-limit check (products 294 and 295).
    void powerLimitCheck(int *converted, int *powered);

    bool belowLimit_[4] = {};
};

// Counts shared with the status pages.
extern std::atomic<int> usbRunningLoops;
// The negotiated cipher of the last TLS client, for the web pages.
std::string usbLastCipher();
void usbNoteCipher(TcpConnection *connection);

// The port of each power sensor's ports (product 294 and 295), 0-based sensor index
// for ports 1 to 20; -1 when the port has no sensor.
int usbPortSensor(unsigned productId, int port);

// Releases every opened device of the port (deactivation, reset at the owner's next reset
// pass) and sends the owner of the first one the notice of that reason. Returns 1.
int release_port_devices(int port, int reason);
// Sends the owner of the entry the notice message (reason, value); nothing when the
// entry is not opened.
void usbSendNotice(int entryNumber, int reason, uint32_t value);
