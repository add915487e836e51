// The "SLP" task: the receive loop over the socket sets, the answer to a service
// request and the remote IP configuration it may carry.

#include "net/slp.h"

#include "core/buffer.h"
#include "core/connection.h"
#include "core/master.h"
#include "core/param.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "net/netif.h"
#include "param_catalogue.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sched.h>
#include <strings.h>

namespace {

InetAddress group(const char *text) {
    return InetAddress::fromText(text);
}

} // namespace

SlpOutcome slpConfigure(const SlpRequest &r, NetInterface &iface) {
    SlpOutcome out;
    if (!r.hasName) return out;
    if (strcasecmp(r.name, productParams().defaultName) != 0) {
        out.answer = false;
        return out;
    }
    bool v4 = false;
    if (r.lastFamily == 4 && r.hasIpv4 && p_ip_addr->address().differs(r.ipv4)) {
        if (p_ip_addr->isLinkLocal4()) {
            r.ipv4.setAsIfAddress(iface, "slp", true);
            out.changed = v4 = true;
        } else {
            out.limited = true;
        }
    } else if (r.lastFamily == 6 && r.hasIpv6 && p_ipv6_addr->address().differs(r.ipv6)) {
        if (!p_ipv6_addr->address().isSet()) {
            p_ipv6_addr->set(r.ipv6);
            if (r.ipv6Prefix >= 0) p_ipv6_pfxlen->set(r.ipv6Prefix);
            p_ipv6_auto->set(0);
            out.changed = true;
        } else {
            out.limited = true;
        }
    }
    if (!out.changed) return out;
    // A given netmask is stored; without one the prefix in use stays.
    if (int prefix = slpPrefix(r); v4 && prefix > 0 && iface.setNetmask(prefix)) p_ip_pfxlen->set(prefix);
    if (r.gateway6.isSet())
        p_ipv6_router->set(r.gateway6);
    else if (r.gateway4.isSet())
        r.gateway4.setAsGateway(iface, true);
    return out;
}

SlpServer::SlpServer(NetInterface &netif)
    : UdpServerTask("SLP", Port, group("ff05::116"), group("224.0.1.22"), nullptr, nullptr), iface(&netif) {
    // The base's slot order: IPv6 group, then the three IPv4 groups.
    extra1 = group("224.0.0.1");
    extra2 = group("224.0.2.3");
}

SlpServer::~SlpServer() {
    closeSockets();
}

bool SlpServer::handleRequest(const uint8_t *message, size_t length, Connection &reply,
                              const InetAddress &local) {
    SlpRequest request;
    if (!parseSlpRequest(message, length, request)) return false;
    char url[1024];
    // The URL names the address before any change.
    InetAddress shown = local;
    SlpOutcome outcome = slpConfigure(request, *iface);
    if (!outcome.answer) return false;
    buildSlpUrl(shown, outcome.limited, url, sizeof url);
    if (outcome.changed) {
        unsigned summary = ptable().applyChanges();
        if (summary & ChangeSave) ptable().save(ptable().filePath().c_str());
        if (summary & ChangeRestart) requestStop(1);
    }
    uint8_t out[1100];
    size_t n = buildSlpReply(message, url, out, sizeof out);
    if (n == 0) return false;
    reply.send(out, static_cast<int>(n), true);
    return true;
}

void SlpServer::run() {
    if (!openSockets(iface, true)) exit();
    Buffer buffer;
    for (;;) {
        Connection *socket = nullptr, *reply = nullptr;
        int n = receive(buffer, WaitTicks, &socket, &reply);
        if (n < 0 && socket != nullptr && errno != 0 && errno != EAGAIN) perror("SlpIN");
        if (n <= 0 || socket == nullptr || reply == nullptr) {
            // Sockets are rebuilt while a global IPv6 address is still to come, so the
            // IPv6 group is joined once the address is there.
            if (p_ipv6->isOn() && p_ipv6_auto->isOn() && !hasGlobalIpv6) post(configChangedMsg);
            sched_yield();
            continue;
        }
        InetAddress local;
        reply->localAddress(local);
        const auto *m = reinterpret_cast<const uint8_t *>(buffer.cursor);
        if (socket != reply || socket->family == Connection::FamilyIpv6) {
            // A group request is answered from the unicast socket, straight on the link.
            reply->peer = socket->peer;
            reply->setDontRoute(1);
            if (m[0] == 1) handleRequest(m, static_cast<size_t>(n), *reply, local);
            reply->setDontRoute(0);
        } else if (n >= 2 && m[0] == 1 && m[1] == 1) {
            handleRequest(m, static_cast<size_t>(n), *reply, local);
        }
        sched_yield();
    }
}
