// The real kernel behind NetInterface.
#include "net/netif.h"
#include "net/netif_internal.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

int NetKernel::socket(int family, int type, int protocol) {
    return ::socket(family, type | SOCK_CLOEXEC, protocol);
}

int NetKernel::close(int fd) {
    return ::close(fd);
}

int NetKernel::ioctl(int fd, unsigned long request, void *arg) {
    return ::ioctl(fd, request, arg);
}

unsigned NetKernel::ifIndex(const char *name) {
    return name ? if_nametoindex(name) : 0;
}

ssize_t NetKernel::readFile(const char *path, char *buffer, size_t size) {
    if (size == 0) return -1;
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    ssize_t n;
    do
        n = ::read(fd, buffer, size - 1);
    while (n < 0 && errno == EINTR);
    int saved = errno;
    ::close(fd);
    errno = saved;
    buffer[n > 0 ? n : 0] = '\0';
    return n;
}

int NetKernel::writeFile(const char *path, const char *text) {
    int fd = ::open(path, O_WRONLY | O_CLOEXEC | O_TRUNC);
    if (fd < 0) return -1;
    size_t len = std::strlen(text);
    ssize_t n = ::write(fd, text, len);
    int saved = errno;
    int rc = ::close(fd);
    if (n != static_cast<ssize_t>(len)) {
        errno = n < 0 ? saved : EIO;
        return -1;
    }
    return rc;
}

FILE *NetKernel::openStream(const char *path) {
    return std::fopen(path, "re");
}

const ProductParams &NetKernel::product() {
    return productParams();
}

namespace {
std::atomic<NetKernel *> installed{nullptr};
}

NetKernel &netKernel() {
    // Never destroyed: the interface objects close their sockets through it at exit.
    static NetKernel &real = *new NetKernel;
    NetKernel *k = installed.load(std::memory_order_acquire);
    return k ? *k : real;
}

void setNetKernel(NetKernel *kernel) {
    installed.store(kernel, std::memory_order_release);
}

void copyIfName(char *field, const char *name) {
    std::memset(field, 0, IfNameSize);
    if (name) std::strncpy(field, name, IfNameSize - 1);
}
