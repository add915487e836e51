// A received multicast-DNS message: every name (with compression) is read within the
// datagram, never loops, and the responder takes any message without harm.
#include "net/mdns.h"
#include "net/mdns_message.h"
#include "net/netif.h"

#include <cstdint>
#include <vector>

namespace {

// Records what would be sent instead of sending it.
class NoNetwork : public MdnsNetwork {
public:
    bool send(Task &, NetInterface *, int, const InetAddress &, int,
              const std::vector<DnsMessage> &) override {
        return true;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> message(data, data + size);
    for (size_t at = 0; at < message.size(); at += 7) {
        std::vector<std::string> labels;
        size_t next = 0;
        if (readDnsName(message.data(), message.size(), at, labels, next) && next > message.size())
            __builtin_trap();
    }
    static NetInterface iface;
    static Bonjour *responder = new Bonjour(iface, new NoNetwork());
    InetAddress from = InetAddress::fromText("198.18.0.2");
    from.setPort(size & 1 ? 5353 : 40000);
    responder->handleMessage(message.data(), message.size(), from, -1, 1000);
    responder->sendDue(2000);
    return 0;
}
