// The "Bootp" task: the nine states of the DHCP/BOOTP client, the messages it sends in
// each, and how a lease and its options are put into the parameters and onto the
// interface.

#include "net/dhcp_client.h"

#include "core/param.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/ticks.h"
#include "net/dhcp_network.h"
#include "net/netif.h"
#include "param_catalogue.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <sched.h>

std::atomic<uint32_t> dhcpOfferedAddress{0};
std::atomic<uint32_t> dhcpServerId{0};
std::atomic<uint32_t> dhcpRelayAddress{0};
std::atomic<uint32_t> dhcpLeaseTime{0};
std::atomic<int64_t> dhcpLeaseStart{0};

namespace {

// "Without limit" of the bound wait when the lease asks for no renewal.
constexpr int64_t ForeverTicks = 0xFFFFFFFFLL;

bool setByDhcp() {
    static const char *const sources[] = {"dhcp", "bootp", nullptr};
    return p_ip_setby->equalsAny(sources);
}

void setAddressText(StringParam *param, uint32_t address) {
    if (address != 0) param->setText(InetAddress::fromIpv4(address).toText(), -1);
}

// Waits of the states, in ticks; the times are seconds of up to 2^25.
int64_t secondsToTicks(uint32_t seconds) {
    return static_cast<int64_t>(seconds) * 100;
}

} // namespace

BootpClient::BootpClient(NetInterface &netif, DhcpNetwork *network)
    : Task("Bootp"), iface(&netif), network_(network ? network : makeDhcpNetwork()) {
    uint8_t mac[6] = {};
    iface->getMacAddress(mac);
    packet.reset(mac);
    router = InetAddress::fromIpv4(0);
    boundAddress = InetAddress::fromIpv4(0);
    startTicks = sysTicks();
    setState(Init);
}

BootpClient::~BootpClient() {
    network_->closeReceive();
}

uint32_t BootpClient::onMessage(const TaskMsg &msg) {
    if (msg.flags & MsgNewDiscovery) setState(Init);
    return msg.flags & ~MsgAddressChanged;
}

bool BootpClient::prepare() {
    if (p_ip_dhcp_addr->hasValue()) setState(InitReboot);
    if (p_ip_addr->hasValue()) {
        boundAddress = p_ip_addr->address();
        if (!network_->openReceive(*this, *iface)) return false;
    }
    static const uint8_t none[6] = {};
    if (std::memcmp(packet.bytes + BootpChaddr, none, 6) == 0) {
        uint8_t mac[6] = {};
        if (iface->getMacAddress(mac)) std::memcpy(packet.bytes + BootpChaddr, mac, 6);
    }
    return true;
}

void BootpClient::run() {
    if (prepare()) {
        while (p_ip_dhcp->isOn()) {
            while (state() != Stopped)
                step();
            setState(Init);
        }
    }
    exit();
}

void BootpClient::newXid() {
    uint32_t xid = htonl(static_cast<uint32_t>(sysTicks()));
    // Two messages within one tick still get their own xid.
    if (xid == packet.xid()) xid = htonl(ntohl(xid) + 1);
    packet.beginMessage(xid);
}

void BootpClient::addIdentity(BootpOptions &options) {
    std::string name = p_sys_name->getText();
    if (name.empty()) name = productParams().defaultName;
    // The length counts the terminating NUL, which is sent.
    options.add(12, name.c_str(), name.size() + 1);
    uint8_t id[7] = {1};
    std::memcpy(id + 1, packet.bytes + BootpChaddr, 6);
    options.add(61, id, sizeof id);
}

void BootpClient::sendDiscover() {
    newXid();
    BootpOptions options(packet);
    options.addByte(53, DhcpDiscover);
    const bool remembered = p_ip_dhcp_addr->hasValue();
    static const uint8_t withAddress[] = {50, 1, 3, 12};
    if (remembered)
        options.add(55, withAddress, sizeof withAddress);
    else
        options.add(55, withAddress + 1, sizeof withAddress - 1);
    addIdentity(options);
    if (remembered) options.addAddress(50, p_ip_dhcp_addr->address().ipv4());
    options.finish();
    sendBroadcast();
}

void BootpClient::sendRequest(bool broadcast, bool afterOffer) {
    newXid();
    BootpOptions options(packet);
    options.addByte(53, DhcpRequest);
    static const uint8_t wanted[] = {1, 3, 6, 15, 7, 51, 54, 58, 59, 12, 69, 70, 42, 2};
    options.add(55, wanted, sizeof wanted);
    if (uint32_t server = dhcpServerId.load()) options.addAddress(54, server);
    uint32_t requested = dhcpOfferedAddress.load();
    if (!afterOffer && p_ip_dhcp_addr->hasValue()) {
        requested = p_ip_dhcp_addr->address().ipv4();
        // Renewing and rebinding name the address in use as the client's own.
        int s = state();
        if (s != InitReboot && s != Init && s != Selecting) packet.putAddress(BootpCiaddr, requested);
    }
    options.addAddress(50, requested);
    // Host name and client identifier follow the requested address.
    addIdentity(options);
    options.finish();
    if (broadcast)
        sendBroadcast();
    else
        sendUnicast();
}

void BootpClient::sendBroadcast() {
    packet.put16(BootpFlags, 0x8000);
    packet.put16(BootpSecs, static_cast<uint16_t>((sysTicks() - startTicks) / 100));
    uint8_t frame[BootpFrameSize];
    buildBootpFrame(packet, frame);
    // A packet socket that cannot be had skips this broadcast; the states go on.
    network_->sendBroadcast(*iface, frame, sizeof frame);
}

void BootpClient::sendUnicast() {
    packet.put16(BootpFlags, 0);
    openReceiveSocket();
    network_->sendUnicast(packet.bytes, BootpSize, dhcpServerId.load());
}

int BootpClient::openReceiveSocket() {
    InetAddress own;
    if (!network_->interfaceAddress(*iface, own) || own.equals(boundAddress)) return 0;
    boundAddress = own;
    return network_->openReceive(*this, *iface) ? 0 : -1;
}

int BootpClient::receive(int64_t ticks) {
    openReceiveSocket();
    if (ticks < 1) ticks = 1;
    const int64_t deadline = sysTicks() + ticks;
    waitState_ = state();
    // A message that changes the state (a new discovery) ends the wait.
    auto stop = [](Task &t) {
        return static_cast<BootpClient &>(t).state() != static_cast<BootpClient &>(t).waitState_;
    };
    for (;;) {
        int64_t left = deadline - sysTicks();
        if (left <= 0) return -1;
        int n = network_->receive(*this, reply_, sizeof reply_, left, stop);
        if (n < 0 || state() != waitState_) return -1;
        if (!bootpReplyMatches(reply_, static_cast<size_t>(n), packet.bytes + BootpChaddr, packet.xid()))
            continue;
        replyLength_ = n;
        replyType = bootpMessageType(reply_, static_cast<size_t>(n));
        return n;
    }
}

void BootpClient::announceChange() {
    // The client itself has nothing to redo for its own change: a message to itself
    // would only end the bound wait at once and renew a lease just obtained.
    if (!TLOCK()) return;
    for (int i = 0; i < TaskRegistrySize; ++i) {
        Task *t = registrySlot(i);
        if (t && t != this) t->post(configChangedMsg);
    }
    TUNLOCK();
}

void BootpClient::parseReply() {
    DhcpReply r;
    parseBootpReply(reply_, static_cast<size_t>(replyLength_), r);
    router = InetAddress::fromIpv4(0);
    dhcpServerId = 0;
    dhcpRelayAddress = 0;
    renewTime = rebindTime = 0;
    prefix = 0;
    domainName[0] = '\0';

    if (r.yiaddr) dhcpOfferedAddress = r.yiaddr;
    if (r.giaddr) dhcpRelayAddress = r.giaddr;
    if (r.siaddr) dhcpServerId = r.siaddr;
    if (r.serverId) dhcpServerId = r.serverId;
    if (r.hasMask) prefix = r.prefix;
    if (r.router) router = InetAddress::fromIpv4(r.router);
    if (r.hasDns) {
        p_dns_primary->set(InetAddress::fromIpv4(r.dns1));
        p_dns_secondary->set(InetAddress::fromIpv4(r.dns2));
    }
    if (r.hasHostName) {
        std::snprintf(hostName, sizeof hostName, "%s", r.hostName);
        p_sys_name->setText(hostName, -1);
    }
    if (r.hasDomain) {
        std::snprintf(domainName, sizeof domainName, "%s", r.domainName);
        p_dns_domain->setText(domainName, -1);
    }
    if (r.hasNtp) p_ntp_server->setText(InetAddress::fromIpv4(r.ntpServer).toText(), -1);
    if (r.hasLease) {
        leaseTime = r.lease;
        dhcpLeaseTime = r.lease;
    }
    renewTime = r.renew;
    rebindTime = r.rebind;
    boundLeaseTimes(leaseTime, renewTime, rebindTime);
    setAddressText(p_smtp_srv, r.smtpServer);
    setAddressText(p_pop3_srv, r.pop3Server);
    replyType = r.messageType;

    // The resolver file follows from the supervisor's refresh on the message.
    if (ptable().saveIfChanged() & ChangeSave) announceChange();
}

void BootpClient::applyLease() {
    InetAddress address = InetAddress::fromIpv4(dhcpOfferedAddress.load());
    p_ip_dhcp_addr->set(address);
    address.setAsIfAddress(*iface, "dhcp", true);
    if (prefix > 0 && iface->setNetmask(prefix)) p_ip_pfxlen->set(prefix);
    InetAddress gateway = router.isSet() ? router : p_ip_router->address();
    gateway.setAsGateway(*iface, true);
    if (ptable().saveIfChanged() & ChangeSave) announceChange();
}

void BootpClient::fallBackToZeroconf() {
    if (!setByDhcp()) return;
    p_ip_dhcp_addr->set(InetAddress::fromIpv4(0));
    InetAddress pick;
    pick.makeZeroconf(*iface);
    pick.setAsIfAddress(*iface, "zconf", true);
    iface->setLinkLocalRoute();
    std::printf("### DHCP RESET ZeroConf IP:%s and linklocal configuration ###\n", pick.toText());
    std::fflush(stdout);
    ptable().saveIfChanged();
}

void BootpClient::step() {
    const int s = state();
    auto leased = [this] {
        parseReply();
        applyLease();
        dhcpLeaseStart = sysTicks();
        setState(Bound);
    };
    auto changedMeanwhile = [this, s] { return state() != s; };
    switch (s) {
    case InitReboot:
        sendRequest(true, false);
        setState(Rebooting);
        break;
    case Rebooting:
        if (receive(ReplyTicks) < 0) {
            if (changedMeanwhile()) break;
            fallBackToZeroconf();
            setState(Init);
        } else if (replyType == DhcpAck) {
            leased();
        } else if (replyType == DhcpNak) {
            fallBackToZeroconf();
            setState(Init);
        }
        break;
    case Init:
        sendDiscover();
        setState(Selecting);
        break;
    case Selecting:
        if (receive(ReplyTicks) < 0) {
            if (!changedMeanwhile()) setState(Stopped);
        } else if (replyType == DhcpOffer) {
            parseReply();
            sendRequest(true, true);
            setState(Requesting);
        }
        break;
    case Requesting:
        if (receive(ReplyTicks) < 0) {
            setState(Init);
        } else if (replyType == DhcpAck) {
            leased();
        } else if (replyType == DhcpNak) {
            setState(Init);
        }
        break;
    case Bound:
        // Only an infinite lease waits without limit; a finite one too short to give
        // a renewal time in whole seconds (one second) renews at once.
        network_->waitTask(*this, renewTime || leaseTime ? secondsToTicks(renewTime) : ForeverTicks);
        if (state() == Init) break;
        startTicks = sysTicks();
        sendRequest(false, false);
        setState(Renewing);
        break;
    case Renewing: {
        // An infinite lease renews only on request (a message ended the bound wait):
        // the server gets the usual time to answer.
        int64_t ticks = secondsToTicks(rebindTime > renewTime ? rebindTime - renewTime : 0);
        if (leaseTime == 0 && ticks < ReplyTicks) ticks = ReplyTicks;
        if (receive(ticks) < 0) {
            if (changedMeanwhile()) break;
            sendRequest(true, false);
            setState(Rebinding);
        } else if (dhcpOfferedAddress.load() != p_ip_addr->address().ipv4()) {
            setState(Stopped);
        } else if (replyType == DhcpAck) {
            leased();
        } else if (replyType == DhcpNak) {
            fallBackToZeroconf();
            setState(Init);
        }
        break;
    }
    case Rebinding: {
        // An infinite lease never runs out: without an answer it stays bound.
        const bool infinite = leaseTime == 0;
        int64_t ticks =
            infinite ? ReplyTicks : secondsToTicks(leaseTime > rebindTime ? leaseTime - rebindTime : 0);
        if (receive(ticks) < 0) {
            if (changedMeanwhile()) break;
            if (infinite) {
                setState(Bound);
            } else {
                fallBackToZeroconf();
                setState(Init);
            }
        } else if (replyType == DhcpAck) {
            dhcpLeaseStart = sysTicks();
            setState(Bound);
        } else if (replyType == DhcpNak) {
            fallBackToZeroconf();
            setState(Init);
        } else {
            fallBackToZeroconf();
            setState(Stopped);
        }
        break;
    }
    default:
        break;
    }
    sched_yield();
}
