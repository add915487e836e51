// Network stand-ins. This kernel has no 802.1Q: a VLAN sub-interface "<if>.<id>" is a
// macvlan device over the interface, made and removed over rtnetlink, with the errors
// the VLAN ioctl gives. A veth has no PHY: the MII registers are made up from the
// interface's carrier, speed and duplex in sysfs, so the link state of the peer drives
// them.
#include "sim/standins.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// The kernel refuses VLAN ids from this value on.
constexpr int VlanIdLimit = 4095;

// A netlink request under construction: header, body and attributes in one buffer.
class NlRequest {
public:
    NlRequest(uint16_t type, uint16_t flags) {
        std::memset(buf_, 0, sizeof buf_);
        hdr()->nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
        hdr()->nlmsg_type = type;
        hdr()->nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | NLM_F_ACK | flags);
        hdr()->nlmsg_seq = 1;
        info()->ifi_family = AF_UNSPEC;
    }
    nlmsghdr *hdr() { return reinterpret_cast<nlmsghdr *>(buf_); }
    ifinfomsg *info() { return static_cast<ifinfomsg *>(NLMSG_DATA(hdr())); }

    // Appends an attribute; returns its offset (for nesting), -1 when full.
    int put(uint16_t type, const void *data, size_t len) {
        size_t at = NLMSG_ALIGN(hdr()->nlmsg_len);
        size_t total = RTA_LENGTH(len);
        if (at + RTA_ALIGN(total) > sizeof buf_) return -1;
        auto *rta = reinterpret_cast<rtattr *>(buf_ + at);
        rta->rta_type = type;
        rta->rta_len = static_cast<uint16_t>(total);
        if (len) std::memcpy(RTA_DATA(rta), data, len);
        hdr()->nlmsg_len = static_cast<uint32_t>(at + RTA_ALIGN(total));
        return static_cast<int>(at);
    }
    int begin(uint16_t type) { return put(type, nullptr, 0); }
    void end(int at) {
        if (at >= 0)
            reinterpret_cast<rtattr *>(buf_ + at)->rta_len = static_cast<uint16_t>(hdr()->nlmsg_len - at);
    }

    // Sends the request; 0 on acknowledgement, else -1 with the kernel's errno. With
    // reply, the first answer that is not an acknowledgement is copied there.
    int send(char *reply = nullptr, size_t replySize = 0) {
        int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (fd < 0) return -1;
        // The kernel answers at once; a bound keeps a lost answer from hanging the caller.
        timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        int rc = -1;
        int err = EIO;
        if (::sendto(fd, buf_, hdr()->nlmsg_len, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) >=
            0) {
            alignas(nlmsghdr) char answer[8192];
            bool done = false;
            while (!done) {
                ssize_t n = ::recv(fd, answer, sizeof answer, 0);
                if (n < 0) {
                    if (errno == EINTR) continue;
                    err = errno;
                    break;
                }
                // Each message is checked against what arrived before it is read.
                size_t at = 0;
                while (at + sizeof(nlmsghdr) <= static_cast<size_t>(n)) {
                    auto *h = reinterpret_cast<nlmsghdr *>(answer + at);
                    if (h->nlmsg_len < sizeof(nlmsghdr) || h->nlmsg_len > static_cast<size_t>(n) - at) break;
                    if (h->nlmsg_type == NLMSG_ERROR && h->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr))) {
                        auto *e = static_cast<nlmsgerr *>(NLMSG_DATA(h));
                        err = -e->error;
                        rc = e->error == 0 ? 0 : -1;
                        done = true;
                        break;
                    }
                    if (reply && h->nlmsg_len <= replySize) {
                        std::memcpy(reply, h, h->nlmsg_len);
                        reply = nullptr;
                    }
                    at += NLMSG_ALIGN(h->nlmsg_len);
                }
                if (n == 0) break;
            }
        } else {
            err = errno;
        }
        ::close(fd);
        if (rc != 0) errno = err;
        return rc;
    }

private:
    alignas(nlmsghdr) char buf_[1024];
};

// The link kind ("macvlan", "veth", ...) of an interface; "" when it has none.
std::string linkKind(unsigned index) {
    NlRequest req(RTM_GETLINK, 0);
    req.info()->ifi_index = static_cast<int>(index);
    alignas(nlmsghdr) char reply[8192];
    std::memset(reply, 0, sizeof reply);
    if (req.send(reply, sizeof reply) != 0) return "";
    auto *h = reinterpret_cast<nlmsghdr *>(reply);
    if (h->nlmsg_type != RTM_NEWLINK) return "";
    int len = static_cast<int>(IFLA_PAYLOAD(h));
    for (auto *a = IFLA_RTA(NLMSG_DATA(h)); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
        if (a->rta_type != IFLA_LINKINFO) continue;
        int inner = static_cast<int>(RTA_PAYLOAD(a));
        for (auto *b = static_cast<rtattr *>(RTA_DATA(a)); RTA_OK(b, inner); b = RTA_NEXT(b, inner))
            if (b->rta_type == IFLA_INFO_KIND)
                return std::string(static_cast<const char *>(RTA_DATA(b)),
                                   strnlen(static_cast<const char *>(RTA_DATA(b)), RTA_PAYLOAD(b)));
    }
    return "";
}

// A small sysfs attribute of the interface, "" when it cannot be read (a carrier or
// speed of an interface that is down reads as an error).
std::string classNet(const char *ifname, const char *file) {
    std::string path = std::string("/sys/class/net/") + ifname + "/" + file;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    char text[64];
    ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) return "";
    text[n] = '\0';
    text[strcspn(text, "\n")] = '\0';
    return text;
}

} // namespace

namespace sim {

int netVlanAdd(const char *ifname, int vlanId) {
    if (ifname == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (vlanId < 0 || vlanId >= VlanIdLimit) {
        errno = ERANGE;
        return -1;
    }
    unsigned base = if_nametoindex(ifname);
    if (base == 0) {
        errno = ENODEV;
        return -1;
    }
    // The kernel's own naming: "<if>.<id>", cut to the name field.
    char name[IF_NAMESIZE];
    std::snprintf(name, sizeof name, "%s.%d", ifname, vlanId);
    if (if_nametoindex(name) != 0) {
        errno = EEXIST;
        return -1;
    }
    NlRequest req(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL);
    req.put(IFLA_IFNAME, name, std::strlen(name) + 1);
    uint32_t link = base;
    req.put(IFLA_LINK, &link, sizeof link);
    int info = req.begin(IFLA_LINKINFO);
    req.put(IFLA_INFO_KIND, "macvlan", std::strlen("macvlan"));
    int data = req.begin(IFLA_INFO_DATA);
    uint32_t mode = MACVLAN_MODE_BRIDGE;
    req.put(IFLA_MACVLAN_MODE, &mode, sizeof mode);
    req.end(data);
    req.end(info);
    return req.send();
}

int netVlanDel(const char *vlanIfname) {
    if (vlanIfname == nullptr) {
        errno = EFAULT;
        return -1;
    }
    unsigned index = if_nametoindex(vlanIfname);
    if (index == 0) {
        errno = ENODEV;
        return -1;
    }
    // Only VLAN devices are removed by the VLAN call.
    if (linkKind(index) != "macvlan") {
        errno = EPERM;
        return -1;
    }
    NlRequest req(RTM_DELLINK, 0);
    req.info()->ifi_index = static_cast<int>(index);
    return req.send();
}

int netPhyRead(const char *ifname, int phyAddress, int reg, int *value) {
    if (ifname == nullptr || value == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (if_nametoindex(ifname) == 0) {
        errno = ENODEV;
        return -1;
    }
    if (phyAddress < 0 || phyAddress > 31 || reg < 0 || reg > 31) {
        errno = EINVAL;
        return -1;
    }
    bool link = classNet(ifname, "carrier") == "1";
    int speed = link ? std::atoi(classNet(ifname, "speed").c_str()) : 0;
    bool full = link && classNet(ifname, "duplex") == "full";
    // A link faster than gigabit shows as gigabit: the registers know no more.
    bool giga = speed >= 1000;
    bool fast = speed >= 100 && !giga;

    int v = 0;
    switch (reg) {
    case 0: // basic control: autonegotiation, speed selection, duplex
        v = 0x1000 | (fast ? 0x2000 : 0) | (giga ? 0x0040 : 0) | (full ? 0x0100 : 0);
        break;
    case 1: // basic status: abilities, link, autonegotiation complete
        v = 0x7909 | (link ? 0x0024 : 0);
        break;
    case 4: // own advertisement: 10/100 half and full
        v = 0x01e1;
        break;
    case 5: // link partner's advertisement
        if (link) v = 0x4001 | (speed >= 100 ? (full ? 0x0100 : 0x0080) : (full ? 0x0040 : 0x0020));
        break;
    case 9: // 1000BASE-T control: advertise 1000 half and full
        v = 0x0300;
        break;
    case 10: // 1000BASE-T status: partner's gigabit abilities
        if (link && giga) v = full ? 0x0800 : 0x0400;
        break;
    case 17: // specific status: speed, duplex, resolved, real-time link
        if (link) v = 0x0c00 | (giga ? 0x8000 : fast ? 0x4000 : 0) | (full ? 0x2000 : 0);
        break;
    default:
        v = 0;
    }
    *value = v;
    return 0;
}

} // namespace sim
