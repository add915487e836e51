// The DHCP/BOOTP client task "Bootp": obtains the appliance's IPv4 address, netmask,
// gateway, name servers and a few service addresses from a DHCP server, keeps the
// lease alive by renewal and rebinding, and falls back to a ZeroConf address when a
// remembered lease cannot be confirmed or a lease cannot be kept.
#pragma once

#include "core/address.h"
#include "core/task.h"
#include "net/dhcp_packet.h"

#include <atomic>
#include <cstdint>
#include <memory>

class DhcpNetwork;
class NetInterface;

// What the client last learnt, for the status page and the time client (addresses in
// network order). dhcpLeaseStart is the tick at which the lease was obtained or last
// acknowledged, 0 before the first; the time client shifts it when the clock jumps.
extern std::atomic<uint32_t> dhcpOfferedAddress;
extern std::atomic<uint32_t> dhcpServerId;
extern std::atomic<uint32_t> dhcpRelayAddress;
extern std::atomic<uint32_t> dhcpLeaseTime;
extern std::atomic<int64_t> dhcpLeaseStart;

class BootpClient : public Task {
public:
    enum State : int {
        InitReboot = 0,
        Rebooting = 1,
        Init = 2,
        Selecting = 3,
        Requesting = 4,
        Bound = 5,
        Renewing = 6,
        Rebinding = 7,
        Stopped = 8,
    };
    // How long a state waits for a reply, in ticks.
    static constexpr int64_t ReplyTicks = 500;

    // The client of the interface; a null network takes the real sockets.
    explicit BootpClient(NetInterface &iface, DhcpNetwork *network = nullptr);
    ~BootpClient() override;

    void run() override;
    // 0x8000 starts a new discovery; the address-changed flag is taken here.
    uint32_t onMessage(const TaskMsg &msg) override;
    // One step of the state machine.
    void step();
    // The run's preparation: the state to start in and the receive socket; false when
    // the socket could not be made.
    bool prepare();

    int state() const { return subclassWord; }
    void setState(int s) { subclassWord = s; }

    // Fields.
    int replyType = 0;
    BootpPacket packet;
    uint32_t leaseTime = 0;
    uint32_t renewTime = 0;
    uint32_t rebindTime = 0;
    int prefix = 0;
    InetAddress router;
    InetAddress boundAddress;
    char hostName[64] = {};
    char domainName[260] = {};
    int64_t startTicks = 0;
    NetInterface *iface;

private:
    void sendDiscover();
    void sendRequest(bool broadcast, bool afterOffer);
    void sendBroadcast();
    void sendUnicast();
    // Waits for a reply that matches the last message sent; its length, or -1.
    int receive(int64_t ticks);
    // 0 when the socket is current or was remade, -1 when remaking it failed.
    int openReceiveSocket();
    void parseReply();
    void applyLease();
    void fallBackToZeroconf();
    void newXid();
    // Host name (option 12) and client identifier (option 61).
    void addIdentity(BootpOptions &options);
    // Posts the configuration-changed message to every other task.
    void announceChange();

    std::unique_ptr<DhcpNetwork> network_;
    uint8_t reply_[1500] = {};
    int replyLength_ = 0;
    int waitState_ = Init;
};
