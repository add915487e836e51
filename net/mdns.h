// The multicast-DNS responder task "Bonjour": advertises the web interface as
// _http._tcp and _https._tcp in the domain "local" under an instance name built from
// "bonjour_name" and the product's default name, answers for its host name, probes
// for its records, announces them, answers questions after their delays and leaves
// out what the asker already knows.
#pragma once

#include "net/udpserver.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class NetInterface;

using DnsMessage = std::vector<uint8_t>;

// The sending socket of the responder, behind one small interface.
class MdnsNetwork {
public:
    virtual ~MdnsNetwork() = default;
    // Sends the messages in order from port 5353 of a socket of the destination's
    // family on the interface (VLAN vlan, -1 for the base), with the IP TTL given;
    // stops at the first failed send. False when nothing could be sent.
    virtual bool send(Task &owner, NetInterface *iface, int vlan, const InetAddress &destination, int ttl,
                      const std::vector<DnsMessage> &messages) = 0;
};
MdnsNetwork *newMdnsNetwork();

// The task number of the running responder, -1 when none runs.
extern std::atomic<int> mdnsTaskNumber;

// Rebuilds the instance name from "bonjour_name" (the parameter store calls it when
// the name changed).
void update_bonjour_name();
// The instance name as it stands.
std::string mdnsInstanceName();

// Starts a responder on the interface as start-up does.
void startBonjour(NetInterface &iface);

class Bonjour : public UdpServerTask {
public:
    static constexpr uint16_t Port = 5353;
    // Record bits of the pending and additional sets.
    enum : uint32_t {
        RecSrv = 0x01,
        RecPtr = 0x02,
        RecTxt = 0x04,
        RecA = 0x08,
        RecAaaa = 0x10,
        RecAny = 0x20,
        RecHost = 0x40,
        RecBrowse = 0x80,
    };
    // Kinds of send.
    enum Kind { HostProbe, ServiceProbe, Announcement, Answers, AnswersWithoutPtr, LegacyReply };

    struct Service {
        const char *label;
        uint16_t port;
        uint32_t pending;
        uint32_t additional;
    };

    // A null network takes the real sockets.
    explicit Bonjour(NetInterface &iface, MdnsNetwork *network = nullptr);
    ~Bonjour() override;

    void run() override;
    // Every message is passed over: a configuration change does not rebuild the sets.
    uint32_t onMessage(const TaskMsg &msg) override;
    // Clears probing and the message bookkeeping; with names, also the instance name
    // and the host label.
    void reset(bool names);

    // Takes one received message (from the address and port, on the set's VLAN) at
    // tick now; sends what it asks for at once.
    void handleMessage(const uint8_t *message, size_t length, const InetAddress &from, int vlan, int64_t now);
    // Sends the held answers once their time has come; true when it sent.
    bool sendDue(int64_t now);
    // Builds the messages of a kind (for a legacy reply: to the query given).
    std::vector<DnsMessage> build(Kind kind, const uint8_t *query = nullptr, size_t queryLength = 0);
    // Builds and sends a kind (multicast, or to the asker for a legacy reply).
    bool send(Kind kind, int vlan = -1, const InetAddress *to = nullptr, const uint8_t *query = nullptr,
              size_t queryLength = 0);

    // Fields.
    std::string hostLabel;
    int probeState = 0;
    int64_t answerTime = 0;
    Service services[2];
    NetInterface *iface;
    InetAddress ownAddress;
    bool conflict = false;

private:
    // A question or record of a received message; false when it cannot be read.
    bool handleQuestion(const uint8_t *m, size_t length, size_t &at, int64_t now);
    bool handleRecord(const uint8_t *m, size_t length, size_t &at, bool answerSection, int64_t now);
    // -1 foreign, 0/1 an instance of that service (direct), 2 the host, 3/4 the
    // service 0/1 itself (browse).
    int classifyName(const std::vector<std::string> &labels) const;
    void schedule(int nameClass, uint16_t type, bool known, uint32_t ttl, int64_t now);
    // A conflicting record of ours: pick a new name and probe again.
    void renameAfterConflict(bool service);
    std::vector<std::string> hostName() const;
    std::vector<std::string> instanceName(int service) const;
    std::vector<std::string> serviceName(int service) const;
    bool haveIpv6(InetAddress &address);

    std::unique_ptr<MdnsNetwork> network_;
    int64_t lastConflict_[2] = {-100000, -100000}; // SRV, A
    int serviceConflicts_ = 0;
    int hostConflicts_ = 0;
};
