// A kernel for NetInterface's unit tests: it keeps interface flags and addresses,
// records every request as one line of text, answers files from a table, and fails the
// requests a test names. A fake platform beside it takes the VLAN and PHY calls.
#pragma once

#include "core/platform.h"
#include "core/task.h"
#include "net/netif_internal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <net/if.h>
#include <net/route.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace nettest {

inline std::string ip4(uint32_t netOrder) {
    char text[INET_ADDRSTRLEN];
    in_addr a{netOrder};
    return inet_ntop(AF_INET, &a, text, sizeof text);
}

inline std::string ip6(const void *bytes) {
    char text[INET6_ADDRSTRLEN];
    return inet_ntop(AF_INET6, bytes, text, sizeof text);
}

inline uint32_t sin4(const sockaddr &sa) {
    return reinterpret_cast<const sockaddr_in &>(sa).sin_addr.s_addr;
}

class FakeKernel : public NetKernel {
public:
    std::vector<std::string> log;
    std::map<std::string, uint32_t> ipv4;    // interface -> address (network order)
    std::map<std::string, uint16_t> flags;   // interface -> flags
    std::map<std::string, unsigned> indexes; // interface -> index
    std::map<std::string, std::string> files;
    std::set<unsigned long> failing; // ioctl requests that fail with EPERM
    std::set<std::string> failingWrites;
    std::map<unsigned long, int> errnoOf; // errno of a failing request (EPERM when absent)
    uint8_t mac[6] = {0x00, 0xc0, 0xeb, 0x01, 0x02, 0x03};
    ProductParams productRecord;

    int socket(int family, int, int) override {
        int fd = nextFd_++;
        families_[fd] = family;
        return fd;
    }
    int close(int) override { return 0; }
    unsigned ifIndex(const char *name) override {
        auto it = indexes.find(name);
        return it == indexes.end() ? 0 : it->second;
    }
    ssize_t readFile(const char *path, char *buffer, size_t size) override {
        auto it = files.find(path);
        if (it == files.end() || size == 0) return -1;
        size_t n = std::min(size - 1, it->second.size());
        std::memcpy(buffer, it->second.data(), n);
        buffer[n] = '\0';
        return static_cast<ssize_t>(n);
    }
    int writeFile(const char *path, const char *text) override {
        log.push_back(std::string("write ") + path + "=" + text);
        if (failingWrites.count(path)) {
            errno = EACCES;
            return -1;
        }
        return 0;
    }
    FILE *openStream(const char *path) override {
        auto it = files.find(path);
        if (it == files.end()) return nullptr;
        streams_.push_back(it->second);
        return fmemopen(streams_.back().data(), streams_.back().size(), "r");
    }
    const ProductParams &product() override { return productRecord; }

    int ioctl(int fd, unsigned long request, void *arg) override {
        bool v6 = families_[fd] == AF_INET6;
        if (failing.count(request)) {
            log.push_back(describe(request, arg, v6) + " -> fail");
            errno = errnoOf.count(request) ? errnoOf[request] : EPERM;
            return -1;
        }
        std::string line = describe(request, arg, v6);
        if (!line.empty()) log.push_back(line);
        auto *ifr = static_cast<ifreq *>(arg);
        switch (request) {
        case SIOCGIFADDR: {
            auto it = ipv4.find(ifr->ifr_name);
            if (it == ipv4.end()) {
                errno = EADDRNOTAVAIL;
                return -1;
            }
            auto *in = reinterpret_cast<sockaddr_in *>(&ifr->ifr_addr);
            in->sin_family = AF_INET;
            in->sin_addr.s_addr = it->second;
            return 0;
        }
        case SIOCSIFADDR:
            if (!v6) ipv4[ifr->ifr_name] = sin4(ifr->ifr_addr);
            return 0;
        case SIOCGIFFLAGS: {
            // An alias name reads the flags of its device, as the kernel does.
            std::string device(ifr->ifr_name);
            device = device.substr(0, device.find(':'));
            auto it = flags.find(device);
            if (it == flags.end()) {
                errno = ENODEV;
                return -1;
            }
            ifr->ifr_flags = static_cast<short>(it->second);
            return 0;
        }
        case SIOCSIFFLAGS:
            // Taking an alias down removes its address; the device stays as it is.
            if (std::strchr(ifr->ifr_name, ':')) {
                if (!(ifr->ifr_flags & IFF_UP)) ipv4.erase(ifr->ifr_name);
                return 0;
            }
            flags[ifr->ifr_name] = static_cast<uint16_t>(ifr->ifr_flags);
            return 0;
        case SIOCGIFHWADDR:
            std::memcpy(ifr->ifr_hwaddr.sa_data, mac, 6);
            return 0;
        default:
            return 0;
        }
    }

    // The log lines that begin with the text.
    std::vector<std::string> lines(const std::string &prefix) const {
        std::vector<std::string> out;
        for (const auto &l : log)
            if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(l);
        return out;
    }

private:
    static std::string describe(unsigned long request, void *arg, bool v6) {
        auto *ifr = static_cast<ifreq *>(arg);
        char text[256];
        switch (request) {
        case SIOCSIFADDR:
        case SIOCDIFADDR:
            if (v6) {
                struct Req {
                    in6_addr a;
                    uint32_t plen;
                    int index;
                } *r = static_cast<Req *>(arg);
                std::snprintf(text, sizeof text, "%s6 %s/%u if%d",
                              request == SIOCSIFADDR ? "addaddr" : "deladdr", ip6(&r->a).c_str(), r->plen,
                              r->index);
                return text;
            }
            std::snprintf(text, sizeof text, "setaddr %s %s", ifr->ifr_name,
                          ip4(sin4(ifr->ifr_addr)).c_str());
            return text;
        case SIOCSIFNETMASK:
            std::snprintf(text, sizeof text, "netmask %s %s", ifr->ifr_name,
                          ip4(sin4(ifr->ifr_netmask)).c_str());
            return text;
        case SIOCSIFFLAGS:
            std::snprintf(text, sizeof text, "flags %s %#x", ifr->ifr_name,
                          static_cast<uint16_t>(ifr->ifr_flags));
            return text;
        case SIOCADDMULTI: {
            const auto *b = reinterpret_cast<const uint8_t *>(ifr->ifr_hwaddr.sa_data);
            std::snprintf(text, sizeof text, "multi %s fam%d %02x:%02x:%02x:%02x:%02x:%02x", ifr->ifr_name,
                          ifr->ifr_hwaddr.sa_family, b[0], b[1], b[2], b[3], b[4], b[5]);
            return text;
        }
        case SIOCADDRT:
        case SIOCDELRT: {
            const char *verb = request == SIOCADDRT ? "addroute" : "delroute";
            if (v6) {
                auto *rt = static_cast<in6_rtmsg *>(arg);
                std::snprintf(text, sizeof text, "%s6 %s/%u via %s metric %u flags %#x if%d", verb,
                              ip6(&rt->rtmsg_dst).c_str(), rt->rtmsg_dst_len, ip6(&rt->rtmsg_gateway).c_str(),
                              rt->rtmsg_metric, rt->rtmsg_flags, rt->rtmsg_ifindex);
                return text;
            }
            auto *rt = static_cast<rtentry *>(arg);
            std::snprintf(text, sizeof text, "%s %s/%s via %s dev %s metric %d flags %#x", verb,
                          ip4(sin4(rt->rt_dst)).c_str(), ip4(sin4(rt->rt_genmask)).c_str(),
                          ip4(sin4(rt->rt_gateway)).c_str(), rt->rt_dev ? rt->rt_dev : "-", rt->rt_metric,
                          rt->rt_flags);
            return text;
        }
        default:
            return "";
        }
    }

    int nextFd_ = 1000;
    std::map<int, int> families_;
    std::list<std::string> streams_;
};

// Takes the VLAN and PHY calls of the platform layer.
class FakePlatform : public Platform {
public:
    FakeKernel *kernel = nullptr;
    std::map<int, std::map<int, int>> phy; // address -> register -> value
    int vlanErrno = 0;
    bool phyFails = false;

    const char *name() const override { return "fake"; }
    int start() override { return 0; }
    void stop() override {}
    int open(const char *, int, mode_t) override { return fail(); }
    int close(int) override { return fail(); }
    int ioctl(int, unsigned long, void *) override { return fail(); }
    ssize_t read(int, void *, size_t) override { return fail(); }
    ssize_t write(int, const void *, size_t) override { return fail(); }
    off_t lseek(int, off_t, int) override { return fail(); }
    void *mmap(void *, size_t, int, int, int, off_t) override { return MAP_FAILED; }
    int munmap(void *, size_t) override { return fail(); }
    int mount(const char *, const char *, const char *, unsigned long, const void *) override {
        return fail();
    }
    int umount2(const char *, int) override { return fail(); }
    int setTimeOfDay(const struct timeval *) override { return fail(); }
    int vlanAdd(const char *ifname, int vlanId) override {
        kernel->log.push_back("vlanadd " + std::string(ifname) + " " + std::to_string(vlanId));
        if (vlanErrno) {
            errno = vlanErrno;
            return -1;
        }
        return 0;
    }
    int vlanDel(const char *name) override {
        kernel->log.push_back("vlandel " + std::string(name));
        // The device's addresses, also those of its aliases, go with it.
        std::string device(name);
        for (auto it = kernel->ipv4.begin(); it != kernel->ipv4.end();)
            it = it->first == device || it->first.rfind(device + ":", 0) == 0 ? kernel->ipv4.erase(it)
                                                                              : std::next(it);
        return 0;
    }
    int phyRead(const char *, int address, int reg, int *value) override {
        if (phyFails) {
            errno = EIO;
            return -1;
        }
        *value = phy[address][reg];
        return 0;
    }

private:
    static int fail() {
        errno = ENOSYS;
        return -1;
    }
};

// Installs both for one test and puts the real ones back afterwards.
struct Fakes {
    FakeKernel kernel;
    FakePlatform board;
    Fakes() {
        board.kernel = &kernel;
        kernel.indexes = {{"eth0", 2}, {"eth0.7", 5}, {"eth0.10", 6}};
        kernel.flags["eth0"] = IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_MULTICAST;
        kernel.productRecord.productId = 287;
        kernel.productRecord.hwMajor = 2;
        kernel.productRecord.usbPorts = 4;
        setNetKernel(&kernel);
        setPlatform(board);
    }
    ~Fakes() {
        setNetKernel(nullptr);
        setPlatform(linuxPlatform());
    }
};

// A registered task that never runs: the messages posted to it stay in its pipe.
class Listener : public Task {
public:
    Listener() : Task("Listener") {}
    void run() override {}
    std::vector<TaskMsg> drain() {
        std::vector<TaskMsg> out;
        pollfd p{pipeRead, POLLIN, 0};
        while (::poll(&p, 1, 0) == 1) {
            TaskMsg m{};
            if (::read(pipeRead, &m, sizeof m) != sizeof m) break;
            out.push_back(m);
        }
        return out;
    }
};

} // namespace nettest
