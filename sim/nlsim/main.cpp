// nlsim: the stand-in for the kernel's nl80211 family and for the air, for a machine
// without Wi-Fi. It owns one generic-netlink socket whose port the daemon's nl80211
// back end (or iw through tests/tools/nlpeer.c) sends to, answers as the kernel does,
// multicasts the family's events on group ids no kernel family uses, creates the
// radios' interfaces as TAPs, carries Ethernet frames to scripted access points'
// TAPs, takes commands on <root>/run/nlsim.sock and records all netlink traffic in
// <root>/run/nlsim.pcap.
//
// Usage: nlsim [--root DIR] [--conf FILE] [--ready-fd N]
// Prints (to the ready descriptor, else standard output) "ready <port>" once it serves.
#include "sim/nlsim/sim.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <linux/genetlink.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_tun.h>
#include <linux/netlink.h>
#include <linux/netlink_diag.h>
#include <linux/nl80211.h>
#include <linux/sock_diag.h>
#include <map>
#include <poll.h>
#include <sched.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace nlsim;

namespace {

volatile sig_atomic_t stopping = 0;
void onSignal(int) {
    stopping = 1;
}

uint64_t nowMs() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000 + static_cast<uint64_t>(t.tv_nsec) / 1000000;
}

std::string root;
int nlFd = -1;
uint32_t ownPort = 0;
FILE *pcap = nullptr;

// ---- capture ----

void pcapOpen(const std::string &path) {
    pcap = std::fopen(path.c_str(), "wb");
    if (!pcap) return;
    struct {
        uint32_t magic = 0xa1b2c3d4;
        uint16_t major = 2, minor = 4;
        int32_t zone = 0;
        uint32_t sigfigs = 0, snaplen = 262144, linktype = 253; // LINKTYPE_NETLINK
    } h;
    std::fwrite(&h, sizeof h, 1, pcap);
    std::fflush(pcap);
}

// Each message with the cooked header of a netlink capture: packet type (0 to us,
// 4 from us), ARPHRD_NETLINK, no address, the netlink protocol.
void pcapWrite(const uint8_t *p, size_t len, bool outgoing) {
    if (!pcap) return;
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    uint8_t cooked[16] = {};
    cooked[1] = outgoing ? 4 : 0;
    cooked[2] = ARPHRD_NETLINK >> 8;
    cooked[3] = ARPHRD_NETLINK & 0xff;
    cooked[15] = NETLINK_GENERIC;
    uint32_t rec[4] = {static_cast<uint32_t>(t.tv_sec), static_cast<uint32_t>(t.tv_nsec / 1000),
                       static_cast<uint32_t>(len + 16), static_cast<uint32_t>(len + 16)};
    std::fwrite(rec, sizeof rec, 1, pcap);
    std::fwrite(cooked, sizeof cooked, 1, pcap);
    std::fwrite(p, 1, len, pcap);
    std::fflush(pcap);
}

// ---- netlink ----

void sendNl(uint32_t port, uint32_t groupBit, const std::vector<uint8_t> &m) {
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_pid = port;
    to.nl_groups = groupBit;
    pcapWrite(m.data(), m.size(), true);
    // An answer waits (up to 2 s) for a reader whose queue is full, as the kernel's dump
    // waits for it to read; a multicast is dropped for such a reader, as the kernel's is.
    for (int attempt = 0; attempt < 200; attempt++) {
        ssize_t n = ::sendto(nlFd, m.data(), m.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        if (n >= 0) break;
        if (errno == EINTR) continue;
        if (errno != EAGAIN || port == 0) break;
        ::usleep(10000);
    }
}

// The multicast group ids that kernel families announce, and the family ids in use,
// so that nlsim's family and groups stand clear of them.
void kernelFamilies(std::set<uint32_t> &groups, std::set<uint16_t> &families) {
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_GENERIC);
    if (fd < 0) return;
    timeval tv{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    Builder req(GENL_ID_CTRL, NLM_F_REQUEST | NLM_F_DUMP, 1, 0);
    req.genl(CTRL_CMD_GETFAMILY, 1);
    sockaddr_nl k{};
    k.nl_family = AF_NETLINK;
    const auto &bytes = req.bytes();
    if (::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&k), sizeof k) < 0) {
        ::close(fd);
        return;
    }
    std::vector<uint8_t> buf(65536);
    for (bool done = false; !done;) {
        ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) break;
        for (const auto &m : parseDatagram(buf.data(), static_cast<size_t>(n))) {
            if (m.type == NLMSG_DONE || m.type == NLMSG_ERROR) {
                done = true;
                break;
            }
            if (const Attr *id = m.attrs.get(CTRL_ATTR_FAMILY_ID)) families.insert(id->u16());
            const Attr *g = m.attrs.get(CTRL_ATTR_MCAST_GROUPS);
            Attrs list;
            if (!g || !list.parse(g->data, g->len)) continue;
            for (const auto &e : list.list) {
                Attrs grp;
                if (!grp.parse(e.data, e.len)) continue;
                if (const Attr *gid = grp.get(CTRL_ATTR_MCAST_GRP_ID)) groups.insert(gid->u32());
            }
        }
    }
    ::close(fd);
}

// Every open generic-netlink socket of this namespace: port -> sock_diag cookie (the
// inode from /proc/net/netlink where netlink_diag is missing).
bool diagWorks = true;
std::map<uint32_t, uint64_t> liveSockets() {
    std::map<uint32_t, uint64_t> live;
    if (diagWorks) {
        int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        bool ok = false;
        if (fd >= 0) {
            timeval tv{2, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            struct {
                nlmsghdr h;
                netlink_diag_req r;
            } q{};
            q.h.nlmsg_len = sizeof q;
            q.h.nlmsg_type = SOCK_DIAG_BY_FAMILY;
            q.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
            q.h.nlmsg_seq = 1;
            q.r.sdiag_family = AF_NETLINK;
            q.r.sdiag_protocol = NETLINK_GENERIC;
            q.r.ndiag_cookie[0] = q.r.ndiag_cookie[1] = ~0u;
            sockaddr_nl k{};
            k.nl_family = AF_NETLINK;
            if (::sendto(fd, &q, sizeof q, 0, reinterpret_cast<sockaddr *>(&k), sizeof k) == sizeof q) {
                std::vector<uint8_t> buf(65536);
                for (bool done = false; !done;) {
                    ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
                    if (n <= 0) break;
                    size_t off = 0;
                    while (static_cast<size_t>(n) - off >= sizeof(nlmsghdr)) {
                        nlmsghdr h;
                        std::memcpy(&h, &buf[off], sizeof h);
                        if (h.nlmsg_len < sizeof h || h.nlmsg_len > static_cast<size_t>(n) - off) break;
                        if (h.nlmsg_type == NLMSG_DONE) {
                            done = ok = true;
                            break;
                        }
                        if (h.nlmsg_type == NLMSG_ERROR) {
                            done = true;
                            break;
                        }
                        if (h.nlmsg_len >= sizeof h + sizeof(netlink_diag_msg)) {
                            netlink_diag_msg d;
                            std::memcpy(&d, &buf[off + sizeof h], sizeof d);
                            live[d.ndiag_portid] =
                                (static_cast<uint64_t>(d.ndiag_cookie[1]) << 32) | d.ndiag_cookie[0];
                        }
                        off += NLMSG_ALIGN(h.nlmsg_len);
                    }
                }
            }
            ::close(fd);
        }
        if (ok) return live;
        diagWorks = false;
        live.clear();
    }
    std::ifstream in("/proc/net/netlink");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream s(line);
        std::string sk;
        int proto = 0;
        unsigned long pid = 0, inode = 0;
        std::string groups, rmem, wmem, dump, locks, drops;
        if (!(s >> sk >> proto >> pid >> groups >> rmem >> wmem >> dump >> locks >> drops >> inode)) continue;
        if (proto == NETLINK_GENERIC) live[static_cast<uint32_t>(pid)] = inode;
    }
    return live;
}

// ---- network interfaces ----

int ioctlSock() {
    static int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return fd;
}

// Opens a TAP named name in the calling thread's namespace, its address set, down.
int openTap(const std::string &name, const uint8_t mac[6], bool monitor, int &fd, uint32_t &ifindex) {
    fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -errno;
    ifreq ifr{};
    ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
    std::strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    auto fail = [&](int err) {
        if (s >= 0) ::close(s);
        ::close(fd);
        fd = -1;
        return -err;
    };
    if (s < 0) return fail(errno);
    // A name already in use is taken by no new interface.
    ifreq probe{};
    std::strncpy(probe.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (::ioctl(s, SIOCGIFINDEX, &probe) == 0) return fail(EEXIST);
    if (::ioctl(fd, TUNSETIFF, &ifr) < 0) return fail(errno);
    if (monitor) {
        if (::ioctl(fd, TUNSETLINK, static_cast<unsigned long>(ARPHRD_IEEE80211_RADIOTAP)) < 0)
            return fail(errno);
    } else {
        ifreq hw{};
        std::strncpy(hw.ifr_name, name.c_str(), IFNAMSIZ - 1);
        hw.ifr_hwaddr.sa_family = ARPHRD_ETHER;
        std::memcpy(hw.ifr_hwaddr.sa_data, mac, 6);
        if (::ioctl(s, SIOCSIFHWADDR, &hw) < 0) return fail(errno);
        int off = 0;
        ::ioctl(fd, TUNSETCARRIER, &off);
    }
    ifreq ix{};
    std::strncpy(ix.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (::ioctl(s, SIOCGIFINDEX, &ix) < 0) return fail(errno);
    ifindex = static_cast<uint32_t>(ix.ifr_ifindex);
    ::close(s);
    return 0;
}

bool isUp(const std::string &name) {
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (::ioctl(ioctlSock(), SIOCGIFFLAGS, &ifr) < 0) return false;
    return (ifr.ifr_flags & IFF_UP) != 0;
}

// An AP's TAP lives in a test namespace: it is opened from a thread that entered it.
int apTap(const Ap &ap) {
    int result = -EINVAL;
    int fd = -1;
    std::thread t([&] {
        std::string path = "/run/netns/" + ap.netns;
        int ns = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0) {
            result = -errno;
            return;
        }
        if (::unshare(CLONE_FS) < 0 || ::setns(ns, CLONE_NEWNET) < 0) {
            result = -errno;
            ::close(ns);
            return;
        }
        ::close(ns);
        uint32_t ifindex = 0;
        result = openTap(ap.tap, ap.bssid, false, fd, ifindex);
        if (result == 0) {
            int on = 1;
            ::ioctl(fd, TUNSETCARRIER, &on);
        }
    });
    t.join();
    return result < 0 ? result : fd;
}

// <root>/proc/net/wireless as the kernel writes it.
void writeWireless(Sim &sim) {
    std::string dir = root + "/proc/net";
    std::string cmd;
    ::mkdir((root + "/proc").c_str(), 0755);
    ::mkdir(dir.c_str(), 0755);
    std::string text = "Inter-| sta-|   Quality        |   Discarded packets               | Missed | WE\n"
                       " face | tus | link level noise |  nwid  crypt   frag  retry   misc | beacon | 22\n";
    for (auto &i : sim.ifaces) {
        if (i.type == NL80211_IFTYPE_MONITOR) continue;
        int level = 0, link = 0;
        if (i.link == Link::Associated) {
            for (auto &a : sim.aps)
                if (std::memcmp(a.bssid, i.bssid, 6) == 0) level = a.signal / 100;
            link = level < -110 ? 0 : level > -40 ? 70 : level + 110;
        }
        char line[160];
        std::snprintf(line, sizeof line, "%6s: %04x  %3d%c  %3d%c  %3d%c  %6d %6d %6d %6d %6d   %6d\n",
                      i.name.c_str(), 0, link, '.', level, '.', -256, ' ', 0, 0, 0, 0, 0, 0);
        text += line;
    }
    std::string tmp = dir + "/wireless.new";
    FILE *f = std::fopen(tmp.c_str(), "w");
    if (!f) return;
    std::fputs(text.c_str(), f);
    std::fclose(f);
    ::rename(tmp.c_str(), (dir + "/wireless").c_str());
}

// ---- control socket ----

struct Client {
    int fd;
    std::string pending;
};

int listenControl(const std::string &path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) return -1;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 || ::listen(fd, 8) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int main(int argc, char **argv) {
    std::string confPath;
    int readyFd = -1;
    const char *envRoot = std::getenv("QMR_ROOT");
    root = envRoot ? envRoot : "";
    for (int k = 1; k < argc; k++) {
        std::string a = argv[k];
        if (a == "--root" && k + 1 < argc)
            root = argv[++k];
        else if (a == "--conf" && k + 1 < argc)
            confPath = argv[++k];
        else if (a == "--ready-fd" && k + 1 < argc)
            readyFd = std::atoi(argv[++k]);
        else {
            std::fprintf(stderr, "usage: nlsim [--root DIR] [--conf FILE] [--ready-fd N]\n");
            return 2;
        }
    }
    if (root == "/") root.clear();
    if (confPath.empty()) confPath = root + "/run/nlsim.conf";
    std::ifstream confFile(confPath);
    std::stringstream conf;
    if (confFile) conf << confFile.rdbuf();
    if (conf.str().size() > 1 << 20) {
        std::fprintf(stderr, "nlsim: %s is too large\n", confPath.c_str());
        return 1;
    }

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    nlFd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_GENERIC);
    sockaddr_nl me{};
    me.nl_family = AF_NETLINK;
    socklen_t meLen = sizeof me;
    if (nlFd < 0 || ::bind(nlFd, reinterpret_cast<sockaddr *>(&me), sizeof me) < 0 ||
        ::getsockname(nlFd, reinterpret_cast<sockaddr *>(&me), &meLen) < 0) {
        std::perror("nlsim: netlink socket");
        return 1;
    }
    ownPort = me.nl_pid;
    int big = 1 << 20;
    ::setsockopt(nlFd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    ::setsockopt(nlFd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);

    Links links;
    links.unicast = [](uint32_t port, const std::vector<uint8_t> &m) { sendNl(port, 0, m); };
    links.multicast = [](uint32_t group, const std::vector<uint8_t> &m) {
        if (group >= 1 && group <= 32) sendNl(0, 1u << (group - 1), m);
    };
    links.create = openTap;
    links.destroy = [](int fd) { ::close(fd); };
    links.isUp = isUp;
    links.hwAddr = [](const std::string &name, uint8_t mac[6]) {
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
        if (::ioctl(ioctlSock(), SIOCGIFHWADDR, &ifr) < 0) return false;
        std::memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
        return true;
    };
    links.carrier = [](int fd, bool on) {
        int v = on ? 1 : 0;
        ::ioctl(fd, TUNSETCARRIER, &v);
    };
    links.apTap = apTap;
    links.liveSockets = liveSockets;
    links.identity = [](uint32_t port) {
        auto live = liveSockets();
        auto it = live.find(port);
        return it == live.end() ? uint64_t(0) : it->second;
    };
    links.nowMs = nowMs;
    bool tracing = std::getenv("NLSIM_TRACE") != nullptr;
    links.trace = [tracing](const std::string &line) {
        if (tracing) std::fprintf(stderr, "nlsim: %s\n", line.c_str());
    };
    Sim *simPtr = nullptr;
    links.linkChanged = [&simPtr](Iface &) {
        if (simPtr) writeWireless(*simPtr);
    };
    Sim sim(links);
    simPtr = &sim;
    sim.port = ownPort;
    sim.writeFrame = [](int fd, const uint8_t *p, size_t len) {
        if (::write(fd, p, len) < 0) {
            // A full TAP queue drops the frame, as the air would.
        }
    };

    std::set<uint32_t> usedGroups;
    std::set<uint16_t> usedFamilies;
    kernelFamilies(usedGroups, usedFamilies);
    // Group ids the kernel keeps for itself or gives to families stay untouched; ours are
    // the highest free ones up to 32, the last one a group bitmask can name.
    for (uint32_t reserved : {0u, 1u, 16u, 17u, 18u})
        usedGroups.insert(reserved);
    uint32_t candidate = 32;
    for (int g = 0; g < GroupCount; g++) {
        while (candidate > 1 && usedGroups.count(candidate))
            candidate--;
        if (candidate <= 1) {
            std::fprintf(stderr, "nlsim: no free multicast group ids\n");
            return 1;
        }
        sim.groupIds[g] = candidate--;
    }
    uint16_t family = 0x30;
    while (usedFamilies.count(family))
        family++;
    sim.familyId = family;

    std::string why = sim.configure(conf.str());
    if (!why.empty()) {
        std::fprintf(stderr, "nlsim: %s: %s\n", confPath.c_str(), why.c_str());
        return 1;
    }
    why = sim.start();
    if (!why.empty()) {
        std::fprintf(stderr, "nlsim: %s\n", why.c_str());
        return 1;
    }
    ::mkdir((root + "/run").c_str(), 0755);
    pcapOpen(root + "/run/nlsim.pcap");
    int ctl = listenControl(root + "/run/nlsim.sock");
    if (ctl < 0) {
        std::perror("nlsim: control socket");
        return 1;
    }
    writeWireless(sim);

    std::string ready = "ready " + std::to_string(ownPort) + "\n";
    if (readyFd >= 0) {
        if (::write(readyFd, ready.data(), ready.size()) < 0) return 1;
        ::close(readyFd);
    } else {
        std::fputs(ready.c_str(), stdout);
        std::fflush(stdout);
    }

    std::vector<Client> clients;
    std::vector<uint8_t> buf(65536);
    while (!stopping) {
        uint64_t next = sim.tick();
        int timeout = 1000;
        if (next) {
            uint64_t now = nowMs();
            timeout = next <= now ? 0 : static_cast<int>(std::min<uint64_t>(next - now, 1000));
        }
        std::vector<pollfd> fds;
        fds.push_back({nlFd, POLLIN, 0});
        fds.push_back({ctl, POLLIN, 0});
        for (auto &c : clients)
            fds.push_back({c.fd, POLLIN, 0});
        size_t tapStart = fds.size();
        std::vector<std::pair<int, bool>> taps; // descriptor, belongs to an AP
        for (auto &i : sim.ifaces)
            if (i.tapFd >= 0) taps.emplace_back(i.tapFd, false);
        for (auto &a : sim.aps)
            if (a.tapFd >= 0) taps.emplace_back(a.tapFd, true);
        for (auto &t : taps)
            fds.push_back({t.first, POLLIN, 0});
        int rc = ::poll(fds.data(), fds.size(), timeout);
        if (rc < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents & POLLIN) {
            for (int k = 0; k < 64; k++) {
                sockaddr_nl from{};
                socklen_t fl = sizeof from;
                ssize_t n =
                    ::recvfrom(nlFd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr *>(&from), &fl);
                if (n <= 0) break;
                if (from.nl_pid == 0) continue; // the kernel's own messages are not requests to us
                pcapWrite(buf.data(), static_cast<size_t>(n), false);
                sim.receive(from.nl_pid, buf.data(), static_cast<size_t>(n));
            }
        }
        for (size_t k = 0; k < taps.size(); k++) {
            if (!(fds[tapStart + k].revents & POLLIN)) continue;
            for (int m = 0; m < 64; m++) {
                ssize_t n = ::read(taps[k].first, buf.data(), buf.size());
                if (n <= 0) break;
                if (taps[k].second)
                    sim.fromAp(taps[k].first, buf.data(), static_cast<size_t>(n));
                else
                    sim.fromIface(taps[k].first, buf.data(), static_cast<size_t>(n));
            }
        }
        for (size_t k = clients.size(); k-- > 0;) {
            short ev = fds[2 + k].revents;
            if (!ev) continue;
            char cb[4096];
            ssize_t n = ::recv(clients[k].fd, cb, sizeof cb, MSG_DONTWAIT);
            bool drop = n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
            if (n > 0) {
                clients[k].pending.append(cb, static_cast<size_t>(n));
                size_t nl;
                while ((nl = clients[k].pending.find('\n')) != std::string::npos) {
                    std::string line = clients[k].pending.substr(0, nl);
                    clients[k].pending.erase(0, nl + 1);
                    if (!line.empty() && line.back() == '\r') line.pop_back();
                    std::string answer = sim.control(line);
                    if (::send(clients[k].fd, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) drop = true;
                }
                if (clients[k].pending.size() > 65536) {
                    const char err[] = "ERR line too long\n";
                    ::send(clients[k].fd, err, sizeof err - 1, MSG_NOSIGNAL);
                    drop = true;
                }
            }
            if (drop) {
                ::close(clients[k].fd);
                clients.erase(clients.begin() + static_cast<long>(k));
            }
        }
        if (fds[1].revents & POLLIN) {
            int fd = ::accept4(ctl, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                if (clients.size() >= 16)
                    ::close(fd);
                else
                    clients.push_back({fd, {}});
            }
        }
    }
    for (auto &c : clients)
        ::close(c.fd);
    sim.stop();
    ::close(ctl);
    ::unlink((root + "/run/nlsim.sock").c_str());
    if (pcap) std::fclose(pcap);
    return 0;
}
