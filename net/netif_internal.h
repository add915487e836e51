// The kernel seam of NetInterface: every socket, ioctl and proc/sysfs file access of
// net/netif*.cpp and net/ipv6.cpp goes through one NetKernel, so unit tests can watch
// each request and answer from their own files. The real one uses the system calls.
#pragma once

#include "core/sysinfo.h"

#include <cstddef>
#include <cstdio>
#include <sys/types.h>

class NetKernel {
public:
    virtual ~NetKernel() = default;
    virtual int socket(int family, int type, int protocol);
    virtual int close(int fd);
    virtual int ioctl(int fd, unsigned long request, void *arg);
    // The interface index of a name, 0 when there is none.
    virtual unsigned ifIndex(const char *name);
    // Reads at most size - 1 bytes of a file into buffer, terminated; the count, -1 when
    // the file cannot be opened or read.
    virtual ssize_t readFile(const char *path, char *buffer, size_t size);
    // Writes the text into an existing file: 0 on success, else -1 with errno.
    virtual int writeFile(const char *path, const char *text);
    // A stream over a kernel table file, null when it cannot be opened.
    virtual FILE *openStream(const char *path);
    // The product description.
    virtual const ProductParams &product();
};

// The seam in use; set(null) restores the real one.
NetKernel &netKernel();
void setNetKernel(NetKernel *kernel);

// Fills an ifreq-style name field of IfNameSize bytes, always terminated.
void copyIfName(char *field, const char *name);
