// TcpConnection, the stream connection of the USB server, the web server and the mail,
// syslog and WebDAV clients: byte counters and an optional TLS session over a
// Connection. UsbSrvClient, the epoll registration record through which a task waits on
// a client connection or any other descriptor.
#pragma once

#include "core/connection.h"
#include "core/task.h"

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <sys/uio.h>

// Result codes of the stream layer.
enum : int {
    TcpWriteTimedOut = -1, // a write wait ran out (also: a failed datagram wait)
    TcpReadTimedOut = -2,  // a read wait ran out
    TcpPeerClosed = -3,    // the peer closed the connection
    TcpHardError = -4,     // I/O or TLS error; the connection's error field is 2
};

// Time limit of a TLS handshake, either side (20 s).
constexpr int64_t TlsHandshakeTicks = 2000;
// How long a write with a time-out of 0 ("no limit") waits for a full socket to take
// bytes again before it gives the peer up (60 s without any progress).
constexpr int64_t WriteStallTicks = 6000;
// Decrypted bytes taken per TLS read, and the block size of file transfers.
constexpr int32_t TlsReadChunk = 7300;
constexpr int32_t SendFileBlock = 7300;

class TcpConnection : public Connection {
public:
    TcpConnection(Task *owner, NetInterface *iface, int vlan);
    // Ends the TLS session (close notification) and frees it, then closes the socket.
    ~TcpConnection();

    // A listening socket for a server task on the interface: IPv6 when "ipv6" is on,
    // else IPv4. vlanIndex 1..21 takes the IP VLAN's parameters ("ipvlan_on_N" on,
    // "ipvlan_id_N", "ipvlan_addr_N": its address family decides the socket's); <= 0 the
    // base interface. Bound to the interface's device and the port, non-blocking,
    // "tcp_maxseg" when above 0, backlog 8. Null for port <= 0, no interface, an IP
    // VLAN that is off or incomplete, or any failing step.
    static TcpConnection *listen(Task *owner, int port, NetInterface *iface, int vlanIndex);

    // On a listening connection: waits for a client and accepts it. With tls a server
    // session is attached, but the handshake is left to the task that serves the
    // connection (finishAccept, or the first read or write): a silent client never holds
    // up the listener. Null when the wait or the accept fails, or no TLS session can be
    // made (no certificate).
    TcpConnection *accept(bool tls);
    // accept without the wait, on a non-blocking listening socket: a client that is
    // already waiting, or null (errno EAGAIN when none is).
    TcpConnection *acceptPending(bool tls);
    // Runs the server handshake of a connection accepted with TLS, on the calling task,
    // within 20 s. True when there is no pending handshake or it succeeded; false (the
    // session freed, the connection unusable) otherwise.
    bool finishAccept();
    bool handshakePending() const { return handshakePending_; }

    using Connection::connect;
    // Connection::connect, then with tls the client handshake without verification;
    // true when connected (and the session made).
    bool connect(int timeoutTicks, bool tls);
    // The client handshake (within 20 s, taking task messages meanwhile). With verify
    // the peer's certificate must have verified (the result goes to lastTlsResult). The
    // session, also kept in tls, or null.
    SSL *tlsConnect(bool verify);

    // Reads what arrived (at most what the kernel reports readable, or 7300 decrypted
    // bytes) into the buffer: the count (the buffer's length), 0 when nothing is there
    // without waiting or a configuration-changed message ended the wait, -2 time-out,
    // -3 peer closed, -4 error, -errno of a failed wait. With allocate the buffer is
    // released first and grown to the amount; else the count is limited to its storage.
    // The buffer is released on every failure.
    int readInto(Buffer &buffer, int64_t ticks, bool allocate);
    // readInto through the caller's memory.
    int read(void *memory, int size, int64_t ticks);
    // readInto, allocating when the buffer owns its storage or has none.
    int readBuffer(Buffer &buffer, int64_t ticks);
    // One TLS read, waiting while the session needs more bytes: the count, 0 when the
    // peer ended the stream, -4 on an error.
    int tlsRead(void *memory, int size);

    // Writes all: the length, -1 when a wait ran out, -4 on an error. With noWait the
    // bytes written until the socket was full. A time-out of 0 waits for a full socket
    // to drain, up to WriteStallTicks without progress.
    int writeAll(const void *data, int length, int64_t ticks, bool noWait);
    // One TLS write, waiting while the session cannot go on: the SSL_write result.
    int tlsWrite(const void *memory, int size);
    // With TLS every element in pieces (a result <= 0 is returned at once), the sum;
    // without, one writev whose result is returned as it is.
    int writev(const iovec *iov, int count);
    // Copies the descriptor to the end in 7300-byte blocks; false on a read error or a
    // block that could not be written whole.
    bool sendFile(int fd);

    // The library's one-line description of the current cipher; false without TLS.
    bool cipherDescription(char *buffer, int size);
    // The subject of the peer's certificate ("" when there is none); returns buffer.
    const char *peerSubject(char *buffer, size_t size);

    uint64_t bytesSent = 0;
    uint64_t bytesReceived = 0;
    int32_t lastTlsResult = 0;
    SSL *tls = nullptr;

private:
    // One TLS step that wants to go on: waits for the direction the library asks for,
    // within ticks (< 0: no limit). False when the wait failed or ran out.
    bool waitTls(int sslError, int64_t ticks, int *err);
    // Runs SSL_accept or SSL_connect on the non-blocking socket until it completes, fails
    // or the handshake limit passes; true when it completed. lastResult, when given,
    // takes each step's result.
    bool runHandshake(SSL *session, int (*step)(SSL *), int32_t *lastResult);
    // tlsWrite within a time-out: the count, -1 when the wait ran out, -4 on an error.
    int tlsWriteWithin(const void *memory, int size, int64_t ticks);
    // Frees the session (after the close notification when notifyPeer and the
    // handshake was done); tls becomes null.
    void dropTls(bool notifyPeer);

    bool handshakePending_ = false;
};

// The server handshake of a connection accepted with TLS (see finishAccept): the
// session or null.
SSL *tlsAccept(TcpConnection *connection);

// One epoll registration: a client connection, or any descriptor (a usbfs file), in a
// task's epoll set. The first three fields are those of the task framework's record,
// owner pointing at the record itself.
struct UsbSrvClient : EpollRecord {
    using Handler = int (*)(UsbSrvClient *record, uint32_t events);

    int epollFd = -1;
    Handler handler = nullptr;
    uint32_t eventMask = 0;
    uint32_t lastEvents = 0;
    int32_t userValue = 0;
    Task *ownerTask = nullptr;
    TcpConnection *connection = nullptr;
    uint32_t heartbeat = 0;
    uint32_t activityTick = 0;
    uint32_t nonce = 0;

    // Registers the connection's socket (or fd without a connection) in the epoll set,
    // unarmed (only hang-up and error are reported). Null on failure.
    static UsbSrvClient *create(int epollFd, Task *ownerTask, TcpConnection *connection, int fd,
                                int32_t userValue);
    // Removes the registration and frees the record; the pointer becomes null.
    static void destroy(UsbSrvClient **record);
    // Arms for reading (EPOLLIN | EPOLLHUP) or writing (EPOLLOUT | EPOLLHUP).
    static int wantRead(UsbSrvClient *record);
    static int wantWrite(UsbSrvClient *record);
    static UsbSrvClient *setCallback(UsbSrvClient *record, Handler handler);
    // The epoll callback: calls the handler; a result of -2 or less removes the
    // descriptor from the owner task's set. -3 for a voided record.
    static int dispatch(EpollRecord *record, uint32_t events);

    // Reads exactly n bytes (each read waiting ms/10 ticks): n, or the failing read's result.
    static int recv(UsbSrvClient *record, void *memory, int n, int timeoutMs);
    static int send(UsbSrvClient *record, const void *data, int length, int timeoutMs);
    static int sendv(UsbSrvClient *record, const iovec *iov, int count);
    static bool isTls(const UsbSrvClient *record);
    // The peer's socket address (an IPv4-mapped IPv6 peer as IPv4): its length, 0 when
    // it cannot be had or does not fit the capacity.
    static int peerAddress(const UsbSrvClient *record, sockaddr *out, int capacity);
    // "--", or "%03d.%03d.%03d.%03d:%d" for an IPv4 peer; returns buffer.
    static char *peerText(const UsbSrvClient *record, char *buffer, size_t size);
};

// Only TLS clients may use devices ("zqn_sec").
bool secureTransportOn();
