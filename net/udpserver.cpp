// UdpServerTask: the socket sets of a UDP service, the wait on all of them together with
// the task's message pipe, and the rebuilding of the sockets on configuration changes.

#include "net/udpserver.h"

#include "core/buffer.h"
#include "core/connection.h"
#include "core/param.h"
#include "core/ptable.h"
#include "core/ticks.h"
#include "net/netif.h"
#include "param_catalogue.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#ifndef IPV6_MULTICAST_ALL
#define IPV6_MULTICAST_ALL 29
#endif

namespace {

Param *indexed(const char *prefix, int index) {
    return ptable().find(prefix, static_cast<int>(strlen(prefix)), index);
}

// A socket bound to the wildcard address would otherwise also get the datagrams of
// every group that any socket of the host joined on that port, so that a datagram to
// the service's group came in twice: once on the group socket, once here.
void onlyOwnGroups(Connection *c) {
    int off = 0;
    if (c->family == Connection::FamilyIpv6)
        setsockopt(c->socket, IPPROTO_IPV6, IPV6_MULTICAST_ALL, &off, sizeof(off));
    else
        setsockopt(c->socket, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof(off));
}

// The interface holds an IPv6 address of global or site scope.
bool hasGlobalOrSiteIpv6(NetInterface *iface) {
    FILE *f = fopen("/proc/net/if_inet6", "r");
    if (!f) return false;
    InetAddress address;
    address.reset(true);
    int prefix = 0, scope = -1;
    bool found = iface->readInet6(f, address, &prefix, nullptr, &scope);
    fclose(f);
    return found && (scope == 0x00 || scope == 0x40);
}

} // namespace

UdpServerTask::UdpServerTask(const char *name, uint16_t port, const InetAddress &g6, const InetAddress &g4,
                             const InetAddress *e1, const InetAddress *e2)
    : Task(name), servicePort(port), group6(g6), group4(g4) {
    extra1 = e1 ? *e1 : InetAddress::fromIpv4(0);
    extra2 = e2 ? *e2 : InetAddress::fromIpv4(0);
    pthread_mutex_init(&lock, nullptr);
}

UdpServerTask::~UdpServerTask() {
    closeSockets();
    pthread_mutex_destroy(&lock);
}

void UdpServerTask::drop(int set, int slot) {
    deleteConnection(sets[set][slot]);
    sets[set][slot] = nullptr;
}

bool UdpServerTask::openSocket(Connection *c, int family, bool bindAny) {
    if (!c->open(family, Connection::TypeDatagram, 0)) return false;
    if (!c->setNonBlocking() || !c->setMulticastLoopOff()) return false;
    if (!c->bind(servicePort, bindAny, 0)) return false;
    if (!c->local.isSet()) onlyOwnGroups(c);
    return c->bindToDevice();
}

bool UdpServerTask::openSockets(NetInterface *iface, bool bindAny) {
    bindAny_ = bindAny;
    setCount = SetCount;
    if (iface && p_ipv6->isOn() && p_ipv6_auto->isOn()) hasGlobalIpv6 = hasGlobalOrSiteIpv6(iface) ? 1 : 0;

    const InetAddress *groups[SocketsPerSet] = {nullptr, &group4, &extra1, &extra2, &group6};
    for (int n = 0; n < SetCount; ++n) {
        int vlanId = -1;
        InetAddress vlanAddress;
        bool vlanOn = true;
        if (n >= 1) {
            auto *on = indexed("ipvlan_on_", n);
            auto *id = dynamic_cast<IntParam *>(indexed("ipvlan_id_", n));
            auto *prefix = dynamic_cast<IntParam *>(indexed("ipvlan_pfxlen_", n));
            auto *address = dynamic_cast<IpParam *>(indexed("ipvlan_addr_", n));
            if (!on || !id || !prefix || !address) break;
            if (prefix->value() < 0) continue;
            vlanOn = on->isOn();
            vlanId = id->value();
            vlanAddress = address->address();
        }
        for (int j = 0; j < SocketsPerSet; ++j) {
            if (sets[n][j]) drop(n, j);
            bool wanted = j == 4 ? p_ipv6->isOn() : j == 2 ? extra1.isSet() : true;
            if (!wanted) continue;
            if (n >= 1) {
                if (!vlanOn || !vlanAddress.isSet() || vlanId < 0) continue;
                // An IPv4 VLAN address gets the sockets 0 to 3, an IPv6 one socket 4.
                if (vlanAddress.isV6() != (j == 4)) continue;
            } else if (p_ipvlan_mgmt->isOn() && !p_ipvlan_mgmt_untag->isOn()) {
                continue;
            }
            auto *c = new Connection(this, iface, vlanId);
            sets[n][j] = c;
            if (j == 0) {
                if (!openSocket(c, AF_INET, bindAny)) {
                    closeSockets();
                    return false;
                }
                continue;
            }
            const InetAddress &group = *groups[j];
            if (!group.isSet()) {
                drop(n, j);
                continue;
            }
            bool ipv6 = j == 4;
            bool ok = c->open(ipv6 ? AF_INET6 : AF_INET, Connection::TypeDatagram, 0) &&
                      c->setNonBlocking() && c->setMulticastLoopOff() &&
                      c->joinMulticast(servicePort, group, false);
            if (ok) {
                if (!c->local.isSet()) onlyOwnGroups(c);
                c->bindToDevice();
                if (!ipv6 && iface)
                    iface->addMulticast(j == 2 ? InetAddress::fromOctets(224, 0, 0, 1) : group, vlanId);
            } else if (ipv6) {
                drop(n, j);
            } else {
                closeSockets();
                return false;
            }
        }
    }
    return true;
}

void UdpServerTask::closeSockets() {
    for (int n = 0; n < setCount && n < SetCount; ++n)
        for (int j = 0; j < SocketsPerSet; ++j)
            if (sets[n][j]) drop(n, j);
}

int UdpServerTask::receive(Buffer &buffer, int64_t ticks, Connection **socket, Connection **reply) {
    *socket = nullptr;
    *reply = nullptr;
    buffer.release();
    bool forever = ticks == 0 || (ticks >> 32) < 0;
    int64_t deadline = sysTicks() + ticks;

    Connection *chosen = nullptr;
    Connection *answer = nullptr;
    for (;;) {
        // No socket of the sets is in use here.
        applyPending();
        pollfd fds[1 + SetCount * SocketsPerSet];
        Connection *owners[1 + SetCount * SocketsPerSet];
        int count = 0;
        fds[count] = {pipeRead, POLLIN, 0};
        owners[count++] = nullptr;
        for (int n = 0; n < setCount && n < SetCount; ++n)
            for (int j = 0; j < SocketsPerSet; ++j)
                if (sets[n][j] && sets[n][j]->socket >= 0) {
                    fds[count] = {sets[n][j]->socket, POLLIN, 0};
                    owners[count++] = sets[n][j];
                }
        int timeoutMs = -1;
        if (!forever) {
            int64_t left = deadline - sysTicks();
            if (left < 0) left = 0;
            timeoutMs = left > INT32_MAX / 10 ? INT32_MAX : static_cast<int>(left * 10);
        }
        int ready = poll(fds, static_cast<nfds_t>(count), timeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return -1;

        auto readable = [&](Connection *c) {
            for (int i = 1; i < count; ++i)
                if (owners[i] == c) return (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
            return false;
        };
        // A group socket wins over a unicast one; its answer goes out through the set's
        // unicast socket (IPv4) or through itself (IPv6).
        for (int n = 0; n < setCount && n < SetCount && !chosen; ++n)
            for (int j = 1; j < SocketsPerSet && !chosen; ++j)
                if (sets[n][j] && readable(sets[n][j])) {
                    chosen = sets[n][j];
                    answer = j == 4 ? chosen : sets[n][0];
                }
        for (int n = 0; n < setCount && n < SetCount && !chosen; ++n)
            if (sets[n][0] && readable(sets[n][0])) chosen = answer = sets[n][0];

        if (fds[0].revents & POLLIN) {
            readMessage();
            chosen = answer = nullptr;
            continue;
        }
        break;
    }
    if (!chosen) return -1;
    *socket = chosen;
    *reply = answer;
    return chosen->recv(buffer, 0);
}

uint32_t UdpServerTask::onMessage(const TaskMsg &msg) {
    // Rebuilding waits for addresses with Task::wait, which dispatches messages: a
    // message that arrives meanwhile finds the lock taken and is dropped.
    if (pthread_mutex_trylock(&lock) != 0) return 0;
    uint32_t flags = msg.flags;
    if (flags & MsgConfigChanged) {
        pending_ |= MsgConfigChanged;
        flags &= ~MsgConfigChanged;
    } else if (flags & MsgAddressChanged) {
        pending_ |= MsgAddressChanged;
        flags &= ~MsgAddressChanged;
    }
    pthread_mutex_unlock(&lock);
    return flags;
}

void UdpServerTask::applyPending() {
    if (pending_ == 0 || pthread_mutex_trylock(&lock) != 0) return;
    uint32_t work = pending_;
    pending_ = 0;
    if (work & MsgConfigChanged) {
        NetInterface *iface = sets[0][0] ? sets[0][0]->interface : &mainInterface();
        closeSockets();
        openSockets(iface, bindAny_);
        reopened = 1;
    } else if (work & MsgAddressChanged) {
        for (int n = 0; n < setCount && n < SetCount; ++n) {
            Connection *c = sets[n][0];
            if (!c) continue;
            c->close();
            openSocket(c, AF_INET, bindAny_);
        }
    }
    pthread_mutex_unlock(&lock);
}
