// Connection: sockets, binding, TCP options and the waits that keep a task responsive.
#include "core/connection.h"

#include "core/param.h"
#include "core/ptable.h"
#include "core/sysroot.h"
#include "core/task.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The running number of the unix client paths of this process.
std::atomic<int> unixPathCounter{0};

int64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Descriptors above this are reported by the TCP option calls (a sign of a leak).
constexpr int HighDescriptor = 256;

void warnHighDescriptor(const char *operation, int line, int fd) {
    if (fd > HighDescriptor) std::printf("%s %s %d fd:%d!!\n", "connection", operation, line, fd);
}

// "<name>" or "<name>.<vlan>" into buffer (at most 15 characters kept).
void formatDevice(char *buffer, size_t size, const char *name, int vlan) {
    char device[IFNAMSIZ];
    // A longer name is cut to the 15 characters an interface name has.
    int n = vlan < 0 ? std::snprintf(device, sizeof device, "%s", name)
                     : std::snprintf(device, sizeof device, "%s.%d", name, vlan);
    if (n < 0) device[0] = '\0';
    std::snprintf(buffer, size, "%s", device);
}

int bindDescriptorToDevice(int fd, const char *device) {
    char name[IFNAMSIZ] = {};
    std::snprintf(name, sizeof name, "%s", device);
    return ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name, sizeof name);
}

} // namespace

InterfaceHooks &interfaceHooks() {
    static InterfaceHooks hooks;
    return hooks;
}

const char *interfaceName(const NetInterface *iface) {
    if (iface == nullptr || interfaceHooks().name == nullptr) return nullptr;
    return interfaceHooks().name(iface);
}

Connection::Connection(Task *ownerTask, NetInterface *iface, int vlanId)
    : vlan(vlanId), interface(iface), owner(ownerTask) {
    local.reset(false);
    peer.reset(false);
}

Connection::~Connection() {
    closeSocket();
}

void deleteConnection(Connection *connection) {
    delete connection;
}

bool Connection::open(int fam, int typ, int protocol) {
    closeSocket();
    int fd = ::socket(fam, typ, protocol);
    if (fd < 0 && fam == AF_INET6) {
        fam = AF_INET;
        fd = ::socket(fam, typ, protocol);
    }
    if (fd < 0) return false;
    socket = fd;
    family = static_cast<uint32_t>(fam);
    type = static_cast<uint32_t>(typ & ~(SOCK_NONBLOCK | SOCK_CLOEXEC));
    return true;
}

int Connection::closeSocket() {
    int rc = 0;
    if (socket >= 0) rc = ::close(socket);
    // A unix path nobody can reach any more: every client connection would otherwise
    // leave one more file in /var.
    if (!unixPath_.empty()) ::unlink(unixPath_.c_str());
    unixPath_.clear();
    socket = -1;
    state = StateIdle;
    return rc;
}

bool Connection::close() {
    if (socket < 0) {
        state = StateIdle;
        return false;
    }
    return closeSocket() == 0;
}

bool Connection::bindUnix(const char *path) {
    closeSocket();
    int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    socket = fd;
    family = FamilyUnix;
    type = TypeDatagram;

    int number = ++unixPathCounter;
    std::string own;
    if (path == nullptr) {
        char name[64];
        std::snprintf(name, sizeof name, "/var/unixsock_%d-%d", static_cast<int>(::getpid()), number);
        own = sysPath(name);
        path = own.c_str();
    }
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    if (std::strlen(path) > sizeof sun.sun_path - 1) {
        closeSocket();
        return false;
    }
    std::strcpy(sun.sun_path, path);
    bool bound = ::bind(socket, reinterpret_cast<sockaddr *>(&sun), sizeof sun) == 0;
    if (!bound && errno == EADDRINUSE) {
        // A socket file of an earlier run is in the way.
        ::unlink(path);
        bound = ::bind(socket, reinterpret_cast<sockaddr *>(&sun), sizeof sun) == 0;
    }
    if (bound) {
        unixPath_ = path;
        return true;
    }
    closeSocket();
    return false;
}

bool Connection::connectPath(const char *path) {
    constexpr size_t MaxPath = 105;
    if (socket < 0 || path == nullptr || std::strlen(path) > MaxPath) return false;
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    std::strcpy(sun.sun_path, path);
    if (::connect(socket, reinterpret_cast<sockaddr *>(&sun), sizeof sun) != 0) {
        // Only a refused connection proves that nobody serves the path: a stale file of
        // an ended server. Any other failure (no file yet, a full queue, no permission)
        // leaves the path alone, so a live server never loses its socket.
        if (errno == ECONNREFUSED) ::unlink(path);
        return false;
    }
    state = StateConnected;
    return true;
}

Connection *Connection::connectUnix(const char *path) {
    Task *task = Task::current();
    if (task == nullptr) return nullptr;
    auto *c = new Connection(task, nullptr, -1);
    if (!c->bindUnix(nullptr)) {
        delete c;
        return nullptr;
    }
    constexpr int Attempts = 15;
    for (int i = 0; i < Attempts; i++) {
        if (c->connectPath(path)) return c;
        if (i + 1 < Attempts) task->wait(50);
    }
    delete c;
    return nullptr;
}

bool Connection::localAddress(InetAddress &address) {
    if (local.family() == family && local.isSet()) {
        address = local;
        return true;
    }
    address.reset(family == FamilyIpv6);
    if (interface == nullptr || interfaceHooks().getAddress == nullptr) return false;
    return interfaceHooks().getAddress(interface, address, vlan);
}

bool Connection::setReuseAddr() {
    int on = 1;
    return ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

int Connection::get_maxseg() {
    warnHighDescriptor("get_maxseg", __LINE__, socket);
    int value = 0;
    socklen_t len = sizeof value;
    if (::getsockopt(socket, IPPROTO_TCP, TCP_MAXSEG, &value, &len) != 0) return -1;
    return value;
}

bool Connection::set_maxseg(int value) {
    warnHighDescriptor("set_maxseg", __LINE__, socket);
    return ::setsockopt(socket, IPPROTO_TCP, TCP_MAXSEG, &value, sizeof value) == 0;
}

bool Connection::set_nagleon() {
    warnHighDescriptor("set_nagleon", __LINE__, socket);
    int on = 1;
    return ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

void Connection::deviceName(char *buffer, size_t size) const {
    const char *name = interfaceName(interface);
    formatDevice(buffer, size, interface != nullptr && name != nullptr ? name : "NoIFace", vlan);
}

bool Connection::bindToDevice() {
    if (socket <= 0) return false;
    char device[IFNAMSIZ];
    deviceName(device, sizeof device);
    return bindDescriptorToDevice(socket, device) == 0;
}

int bindToMgmtInterface(int fd) {
    if (fd <= 0) return 0;
    InterfaceHooks &hooks = interfaceHooks();
    NetInterface *main = hooks.mainInterface ? hooks.mainInterface() : nullptr;
    const char *name = interfaceName(main);
    if (name == nullptr || *name == '\0') {
        errno = ENODEV;
        return -1;
    }
    int vlan = hooks.mgmtVlanId ? hooks.mgmtVlanId() : -1;
    char device[IFNAMSIZ];
    formatDevice(device, sizeof device, name, vlan);
    return bindDescriptorToDevice(fd, device);
}

bool Connection::bind(int bindPort, bool clear, int vlanIndex) {
    port = static_cast<uint32_t>(bindPort);
    if (clear) local = InetAddress();
    if (family == FamilyIpv6) {
        InetAddress address;
        address.reset(true);
        if (!clear && local.family() == AF_INET6) address = local;
        local = address;
    } else {
        InetAddress address;
        address.reset(false);
        if (vlanIndex > 0) {
            auto *p = dynamic_cast<IpParam *>(ptable().find("ipvlan_addr_", 12, vlanIndex));
            if (p != nullptr) address = InetAddress::fromIpv4(p->address().ipv4());
        } else if (!clear && interface != nullptr && interfaceHooks().getAddress != nullptr) {
            InetAddress own;
            own.reset(false);
            interfaceHooks().getAddress(interface, own, vlan);
            if (own.family() == AF_INET) address = own;
        }
        local = address;
    }
    local.setPort(static_cast<uint16_t>(bindPort));
    setReuseAddr();
    if (::bind(socket, local.sockAddr(), local.sockLen()) != 0) return false;
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getsockname(socket, reinterpret_cast<sockaddr *>(&ss), &len) == 0)
        local.setSockAddr(reinterpret_cast<sockaddr *>(&ss), len);
    return true;
}

bool Connection::startListening(int backlog) {
    if ((family != FamilyIpv4 && family != FamilyIpv6) || type != TypeStream) return false;
    if (::listen(socket, backlog) != 0) return false;
    state = StateListening;
    return true;
}

bool Connection::acceptFrom(int listenFd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    int fd = ::accept(listenFd, reinterpret_cast<sockaddr *>(&ss), &len);
    if (fd < 0) {
        socket = -1;
        return false;
    }
    socket = fd;
    // accept has told the peer's address already.
    if (len > 0 && len <= sizeof ss) peer.setSockAddr(reinterpret_cast<sockaddr *>(&ss), len);
    sockaddr_storage own{};
    socklen_t ownLen = sizeof own;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&own), &ownLen) == 0)
        local.setSockAddr(reinterpret_cast<sockaddr *>(&own), ownLen);
    if (peer.family() != 0) family = peer.family();
    return true;
}

bool Connection::connect(int timeoutTicks) {
    if ((family != FamilyIpv4 && family != FamilyIpv6) || type != TypeStream || timeoutTicks < 0) {
        if (::connect(socket, peer.sockAddr(), peer.sockLen()) != 0) return false;
        state = StateConnected;
        return true;
    }
    // A blocking socket would sit in the kernel beyond the time-out without taking any
    // task message: connect without blocking and wait for the result in poll.
    bool wasBlocking = isFdBlocking(socket);
    if (wasBlocking) setFdNonBlocking(socket, true);
    const int64_t start = monotonicMs();
    bool connected = false;
    for (;;) {
        if (::connect(socket, peer.sockAddr(), peer.sockLen()) == 0 || errno == EISCONN) {
            connected = true;
            break;
        }
        if (errno != EINPROGRESS && errno != EALREADY && errno != EINTR) break;
        int64_t ticks = -1;
        if (timeoutTicks > 0) {
            ticks = timeoutTicks - (monotonicMs() - start) / 10;
            if (ticks <= 0) break;
        }
        int err = 0;
        // Writable means the attempt ended (made or refused): the next connect tells
        // which. A configuration message just lets the loop look again.
        if (!wait4write(ticks, &err, true) && err != 0) break;
    }
    if (wasBlocking) setFdNonBlocking(socket, false);
    if (!connected) return false;
    state = StateConnected;
    return true;
}

bool Connection::waitReady(short events, int64_t ticks, int *errorOut, bool retry) {
    int scratch = 0;
    int &err = errorOut ? *errorOut : scratch;
    if (socket < 0) {
        err = WaitNoSocket;
        return false;
    }
    const bool forReading = events == POLLIN;
    // Only the calling thread's own task may read its pipe.
    Task *task = owner != nullptr ? Task::current() : nullptr;
    const int64_t deadline = ticks > 0 ? monotonicMs() + ticks * 10 : 0;
    for (;;) {
        int timeoutMs = -1;
        if (ticks == 0) {
            timeoutMs = 0;
        } else if (ticks > 0) {
            int64_t left = deadline - monotonicMs();
            timeoutMs = left <= 0 ? 0 : (left > INT32_MAX ? INT32_MAX : static_cast<int>(left));
        }
        pollfd fds[2] = {{socket, events, 0}, {task ? task->pipeRead : -1, POLLIN, 0}};
        int rc = ::poll(fds, task ? 2 : 1, timeoutMs);
        if (rc < 0) {
            int e = errno;
            if (forReading) std::perror("wait4read");
            if (retry && e == EINTR) continue;
            err = -e;
            return false;
        }
        if (rc == 0) {
            err = WaitTimedOut;
            error = ErrorTimeout;
            // A zero time-out on a write wait means: do not wait, let the caller try.
            return !forReading && ticks == 0;
        }
        if (fds[0].revents & POLLNVAL) {
            err = -EBADF;
            return false;
        }
        const bool ready = (fds[0].revents & (events | POLLHUP | POLLERR)) != 0;
        if (task != nullptr && (fds[1].revents & (POLLIN | POLLHUP))) {
            uint32_t flags = task->readMessage();
            if (flags & MsgConfigChanged) {
                err = 0;
                return ready;
            }
            if (forReading && ready) return true;
            // A write wait looks again after any other message.
            continue;
        }
        if (ready) return true;
    }
}

bool Connection::wait4read(int64_t ticks, int *err, bool retry) {
    return waitReady(POLLIN, ticks, err, retry);
}

bool Connection::wait4write(int64_t ticks, int *err, bool retry) {
    return waitReady(POLLOUT, ticks, err, retry);
}

bool Connection::setNonBlocking() {
    return setFdNonBlocking(socket, true);
}

bool Connection::setBlocking() {
    return setFdNonBlocking(socket, false);
}

bool setFdNonBlocking(int fd, bool on) {
    if (fd < 0) return false;
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    if (((flags & O_NONBLOCK) != 0) == on) return true;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(fd, F_SETFL, flags) == 0;
}

bool isFdBlocking(int fd) {
    if (fd < 0) return false;
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK) == 0;
}
