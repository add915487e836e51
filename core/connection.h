// Connection: the plain socket wrapper shared by every transport of the daemon. It owns
// one descriptor (unix, TCP, UDP or packet socket), knows the interface and VLAN it
// belongs to and the task that owns it, binds it to an address, a port and a network
// device, sets the few TCP options the daemon uses, and waits for readiness in a way
// that lets the owning task still take its task messages. The datagram, multicast and
// packet-socket operations are in core/udp.cpp; the stream class TcpConnection is in
// core/tcp.h.
#pragma once

#include "core/address.h"

#include <cstdint>
#include <string>
#include <sys/types.h>

class Buffer;
class Task;
class NetInterface; // net/netif.h

// What a connection needs of its network interface, installed by the network
// configuration at start (the interface objects live above the core library). Unset
// hooks answer "nothing known": no name, no address, no main interface, no management
// VLAN. Tests install their own.
struct InterfaceHooks {
    // The base name of the interface ("eth0").
    const char *(*name)(const NetInterface *iface) = nullptr;
    // The address of the interface on a VLAN (-1: the base interface); an address
    // preset to family 10 asks for the IPv6 address. True when the address read is set.
    bool (*getAddress)(NetInterface *iface, InetAddress &address, int vlan) = nullptr;
    // The interface every service binds to.
    NetInterface *(*mainInterface)() = nullptr;
    // The VLAN id of the management VLAN, -1 when it is not enabled.
    int (*mgmtVlanId)() = nullptr;
    // Confirms the running firmware once the first client got through (acts on its
    // first call only); called by every TcpConnection::accept.
    void (*confirmBoot)() = nullptr;
};
InterfaceHooks &interfaceHooks();

// The base name of an interface through the hooks; null when unknown.
const char *interfaceName(const NetInterface *iface);

class Connection {
public:
    // Families and types as the kernel numbers them.
    enum : uint32_t { FamilyUnix = 1, FamilyIpv4 = 2, FamilyIpv6 = 10 };
    enum : uint32_t { TypeStream = 1, TypeDatagram = 2 };
    enum : uint32_t { StateIdle = 0, StateListening = 1, StateConnected = 3 };
    enum : uint32_t { ErrorNone = 0, ErrorTimeout = 1, ErrorHard = 2 };
    // Error values of the waits.
    enum : int { WaitNoSocket = -19, WaitTimedOut = -2 };

    Connection(Task *owner, NetInterface *iface, int vlan);
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    // Closes an open socket.
    ~Connection();

    // Opens a socket, closing an open one first; an IPv6 socket that the kernel refuses
    // is tried once more as IPv4. Records family and type on success.
    bool open(int family, int type, int protocol = 0);
    // Closes when open; socket -1, state idle. The close result (0 when nothing was open).
    int closeSocket();
    // False (state idle) when no socket is open; else true when close succeeded.
    bool close();

    // A unix datagram socket bound to the path, or to "/var/unixsock_<pid>-<n>" (in the
    // sandbox root) when none is given. A given path is used as it is (callers map
    // appliance paths with sysPath). A socket file left in the way is replaced; the
    // file goes again when the socket is closed.
    bool bindUnix(const char *path);
    // Connects to a unix socket path (at most 105 characters). A refused connection
    // means a stale socket file, which is removed. Success makes the connection
    // connected, so send writes to it.
    bool connectPath(const char *path);
    // From inside a task: a unix datagram client bound to its own path and connected to
    // the path, trying 15 times 50 ticks apart; null when it never got through.
    static Connection *connectUnix(const char *path);

    // The own address: the one read back after bind or accept when it has the
    // connection's family, else the interface's address on the connection's VLAN.
    bool localAddress(InetAddress &address);

    bool setReuseAddr();
    int get_maxseg();
    bool set_maxseg(int value);
    bool set_nagleon();
    // SO_BINDTODEVICE to the interface ("<name>" or "<name>.<vlan>").
    bool bindToDevice();

    // Binds to the port: IPv6 to :: (clear) or the held local address; IPv4 to the
    // address of "ipvlan_addr_<vlanIndex>" for vlanIndex > 0, else to 0.0.0.0 (clear) or
    // the interface's address. Address reuse on; the bound address is read back.
    bool bind(int port, bool clear, int vlanIndex);
    // listen() for IPv4 and IPv6 stream sockets; state listening.
    bool startListening(int backlog);
    // Accepts from the listening descriptor into this connection; peer and local are
    // read back.
    bool acceptFrom(int listenFd);
    // Connects to peer. For IPv4/IPv6 stream sockets and a time-out >= 0 (ticks; 0 = no
    // limit other than the kernel's) the socket waits for the connection without
    // spinning, taking task messages meanwhile; else one connect call.
    bool connect(int timeoutTicks);

    // Waits until the socket is readable (writable), also taking the calling task's
    // messages when the connection has an owner. ticks < 0: no limit; 0: one look.
    // A configuration-changed message ends the wait with whether the socket was ready
    // in that round (error 0). Errors: -19 no socket, -2 time-out (error field 1),
    // -errno. wait4write answers true on a time-out of 0 (the caller may try its write).
    bool wait4read(int64_t ticks, int *error, bool retry);
    bool wait4write(int64_t ticks, int *error, bool retry);

    bool setNonBlocking();
    bool setBlocking();

    // Datagrams (core/udp.cpp). recv fills an owned 4000-byte buffer with one datagram
    // (the sender becomes peer): the count, or -1 on a failed wait or a datagram that
    // filled the whole room (it may have been cut; the buffer is released), or the
    // recvfrom result when that is <= 0.
    int recv(Buffer &buffer, int64_t ticks);
    // Sends all (write when connected, else sendto peer): the count or -errno.
    int send(const void *data, int length, bool singleShot);
    bool setMulticastLoopOff();
    bool setDontRoute(int value);
    bool setMulticastTtl(int value);
    // Binds to the port and joins the group on the interface (waiting up to about 10 s
    // for the interface to get an address). 255.255.255.255 only binds (broadcast).
    bool joinMulticast(int port, const InetAddress &group, bool dontRoute);
    bool bindUdp(int port, bool broadcast, bool dontRoute, bool clear);
    // Packet sockets: bind to the interface index and link-layer address (IPv4
    // protocol); send to that address; receive up to 2048 bytes.
    bool bindPacket(int ifIndex, const uint8_t mac[6]);
    int sendPacket(const void *data, int length, bool singleShot);
    int recvPacket(Buffer &buffer, int64_t ticks);
    // The index of the interface's base name, 0 when unknown.
    int ifIndex();

    // The device name of the connection: "<name>" or "<name>.<vlan>" (at most 15
    // characters), "NoIFace" without an interface.
    void deviceName(char *buffer, size_t size) const;

    // Fields, in the order the status pages know them.
    uint32_t port = 0;
    uint32_t family = 0;
    uint32_t type = 0;
    int socket = -1;
    int vlan = -1;
    NetInterface *interface = nullptr;
    uint32_t state = StateIdle;
    InetAddress local;
    InetAddress peer;
    Task *owner = nullptr;
    uint32_t error = ErrorNone;

protected:
    // The wait of wait4read and wait4write: events POLLIN or POLLOUT.
    bool waitReady(short events, int64_t ticks, int *error, bool retry);

private:
    // The path bindUnix bound the socket to; removed with the socket.
    std::string unixPath_;
};

// Closes and frees a connection; null is accepted.
void deleteConnection(Connection *connection);

// SO_BINDTODEVICE of a bare descriptor to the main interface or its management VLAN
// sub-interface: 0 for a descriptor <= 0, else the setsockopt result.
int bindToMgmtInterface(int fd);

// O_NONBLOCK on or off; false for a negative or bad descriptor.
bool setFdNonBlocking(int fd, bool on);
// The descriptor is valid and blocking.
bool isFdBlocking(int fd);
