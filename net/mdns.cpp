// The "Bonjour" task: probing, announcing and answering for the appliance's two web
// services and its host name, with known-answer suppression, held browse answers,
// conflicts and legacy unicast replies.

#include "net/mdns.h"

#include "core/buffer.h"
#include "core/connection.h"
#include "core/master.h"
#include "core/param.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/ticks.h"
#include "net/mdns_message.h"
#include "net/netif.h"
#include "param_catalogue.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sched.h>
#include <set>
#include <strings.h>

std::atomic<int> mdnsTaskNumber{-1};

namespace {

constexpr uint16_t TypeA = 1, TypePtr = 12, TypeTxt = 16, TypeAaaa = 28, TypeSrv = 33, TypeAny = 255;
constexpr uint16_t ClassIn = 1, ClassFlush = 0x8001;
constexpr uint32_t PtrTtl = 7200, RecordTtl = 60;
constexpr int64_t ProbeTicks = 25;
constexpr int64_t ConflictTicks = 50;
constexpr size_t MessageLimit = 1200;
constexpr size_t MaxMessages = 32;
constexpr size_t BatchLimit = 8092;
constexpr int MaxEntries = 100;

std::mutex nameLock;
std::string instance;

// The answer delays of browse questions, in ticks, taken in turn.
std::atomic<unsigned> delayIndex{0};
int64_t nextDelay() {
    static const int64_t delays[4] = {3, 6, 9, 12};
    return delays[delayIndex++ % 4];
}

uint16_t read16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t read32(const uint8_t *p) {
    return static_cast<uint32_t>(read16(p)) << 16 | read16(p + 2);
}

} // namespace

void update_bonjour_name() {
    ptable();
    std::string name = p_bonjour_name->getText();
    if (name.empty()) name = productParams().productName;
    // At most 128 characters.
    std::string text = name + "@" + productParams().defaultName;
    if (text.size() > 128) text.resize(128);
    std::lock_guard<std::mutex> guard(nameLock);
    instance = text;
}

std::string mdnsInstanceName() {
    std::lock_guard<std::mutex> guard(nameLock);
    return instance;
}

void startBonjour(NetInterface &iface) {
    auto *task = new Bonjour(iface);
    task->reset(true);
    task->start(0x8000);
}

Bonjour::Bonjour(NetInterface &netif, MdnsNetwork *network)
    : UdpServerTask("Bonjour", Port, InetAddress::fromText("ff02::fb"), InetAddress::fromText("224.0.0.251"),
                    nullptr, nullptr),
      iface(&netif), network_(network ? network : newMdnsNetwork()) {
    services[0] = {"_http", 80, 0, 0};
    services[1] = {"_https", 443, 0, 0};
    hostLabel = productParams().defaultName;
    ownAddress = InetAddress::fromIpv4(0);
}

Bonjour::~Bonjour() {
    int self = taskNumber;
    mdnsTaskNumber.compare_exchange_strong(self, -1);
    closeSockets();
}

uint32_t Bonjour::onMessage(const TaskMsg &msg) {
    return msg.flags;
}

void Bonjour::reset(bool names) {
    probeState = 0;
    answerTime = 0;
    for (Service &s : services)
        s.pending = s.additional = 0;
    if (names) {
        std::lock_guard<std::mutex> guard(nameLock);
        instance.clear();
        hostLabel = productParams().defaultName;
    }
}

std::vector<std::string> Bonjour::hostName() const {
    return {hostLabel, "local"};
}

std::vector<std::string> Bonjour::serviceName(int s) const {
    return {services[s].label, "_tcp", "local"};
}

std::vector<std::string> Bonjour::instanceName(int s) const {
    std::string name = mdnsInstanceName();
    if (serviceConflicts_ > 0) name += " (" + std::to_string(serviceConflicts_ + 1) + ")";
    return {cutLabel(name), services[s].label, "_tcp", "local"};
}

bool Bonjour::haveIpv6(InetAddress &address) {
    if (!p_ipv6->isOn() || iface == nullptr) return false;
    address.reset(true);
    return iface->getIpv6Address(address) && address.isSet();
}

int Bonjour::classifyName(const std::vector<std::string> &l) const {
    if (l.size() == 2 && sameLabel(l[0], hostLabel.c_str()) && sameLabel(l[1], "local")) return 2;
    for (int s = 0; s < 2; ++s) {
        if (l.size() == 3 && sameLabel(l[0], services[s].label) && sameLabel(l[1], "_tcp") &&
            sameLabel(l[2], "local"))
            return 3 + s;
        if (l.size() == 4 && sameLabel(l[0], instanceName(s)[0].c_str()) &&
            sameLabel(l[1], services[s].label) && sameLabel(l[2], "_tcp") && sameLabel(l[3], "local"))
            return s;
    }
    return -1;
}

void Bonjour::schedule(int nameClass, uint16_t type, bool known, uint32_t ttl, int64_t now) {
    if (nameClass < 0) return;
    const bool browse = nameClass >= 3;
    Service &svc = services[nameClass == 2 ? 0 : (browse ? nameClass - 3 : nameClass)];
    uint32_t bits = 0;
    bool timed = false;
    if (nameClass == 2) {
        bits = RecHost;
    } else {
        switch (type) {
        case TypeA:
            bits = RecA;
            break;
        case TypePtr:
            bits = RecPtr;
            timed = true;
            break;
        case TypeTxt:
            bits = RecTxt;
            break;
        case TypeAaaa:
            bits = RecAaaa;
            break;
        case TypeSrv:
            bits = RecSrv;
            break;
        case TypeAny:
            bits = RecSrv | RecTxt | (ownAddress.isV6() ? RecAaaa : RecA);
            if (browse) {
                bits |= RecPtr;
                timed = true;
            }
            break;
        default:
            return;
        }
    }
    if (known) {
        // A known answer is left out when the asker still holds it for more than half
        // of its time to live; records of the host name are always given.
        uint32_t own = type == TypePtr ? PtrTtl : RecordTtl;
        if (nameClass == 2 || ttl <= own / 2) return;
        svc.pending &= ~bits;
        if ((svc.pending & ~RecBrowse) == 0) svc.pending = 0;
        if (type == TypePtr) answerTime = 0;
        return;
    }
    if (browse) {
        bits |= RecBrowse;
        for (Service &other : services)
            other.pending |= bits;
    } else {
        svc.pending |= bits;
    }
    // A later question never postpones answers already held: under questions in quick
    // succession the answer time would otherwise move on and the answers never go out.
    if (timed) {
        int64_t due = now + nextDelay();
        if (answerTime == 0 || due < answerTime) answerTime = due;
    }
}

bool Bonjour::handleQuestion(const uint8_t *m, size_t length, size_t &at, int64_t now) {
    std::vector<std::string> labels;
    if (!readDnsName(m, length, at, labels, at) || length - at < 4) return false;
    uint16_t type = read16(m + at);
    at += 4;
    schedule(classifyName(labels), type, false, 0, now);
    return true;
}

bool Bonjour::handleRecord(const uint8_t *m, size_t length, size_t &at, bool answerSection, int64_t now) {
    std::vector<std::string> owner;
    if (!readDnsName(m, length, at, owner, at) || length - at < 10) return false;
    uint16_t type = read16(m + at);
    uint32_t ttl = read32(m + at + 4);
    size_t rdLength = read16(m + at + 8);
    at += 10;
    if (rdLength > length - at) return false;
    const size_t data = at;
    at += rdLength;
    int nameClass = classifyName(owner);
    if (nameClass < 0) return true;

    // Our SRV or A record as somebody else has it: the same data is a known answer,
    // other data a conflict.
    int compare = 0; // > 0: theirs is greater
    int which = -1;  // 0 SRV, 1 A
    if (type == TypeSrv && nameClass <= 1 && rdLength >= 7) {
        which = 0;
        uint16_t priority = read16(m + data), weight = read16(m + data + 2), port = read16(m + data + 4);
        std::vector<std::string> target;
        size_t next;
        if (!readDnsName(m, data + rdLength, data + 6, target, next)) return true;
        std::string theirs, ours;
        for (auto &l : target)
            theirs += l + ".";
        for (auto &l : hostName())
            ours += l + ".";
        if (priority != 0 || weight != 0)
            compare = 1;
        else if (port != services[nameClass].port)
            compare = port > services[nameClass].port ? 1 : -1;
        else if (strcasecmp(theirs.c_str(), ours.c_str()) != 0)
            compare = std::strcmp(theirs.c_str(), ours.c_str()) > 0 ? 1 : -1;
        if (compare == 0) schedule(nameClass, TypeSrv, true, ttl, now);
    } else if (type == TypeA && nameClass == 2 && rdLength == 4) {
        which = 1;
        uint32_t theirs = read32(m + data);
        uint32_t ours = ntohl(p_ip_addr->address().ipv4());
        compare = theirs == ours ? 0 : (theirs > ours ? 1 : -1);
    } else if (type == TypePtr && nameClass >= 3) {
        std::vector<std::string> target;
        size_t next;
        if (readDnsName(m, data + rdLength, data, target, next) && classifyName(target) == nameClass - 3)
            schedule(nameClass, TypePtr, true, ttl, now);
        return true;
    } else if (type == TypeTxt && nameClass <= 1) {
        schedule(nameClass, TypeTxt, true, ttl, now);
        return true;
    }
    if (which < 0 || compare == 0) return true;

    bool report = (probeState <= 3 && answerSection) || compare > 0;
    if (!report) {
        if (now - lastConflict_[which] >= ConflictTicks) {
            lastConflict_[which] = now;
            probeState = -1;
        } else {
            report = true;
        }
    }
    if (report) renameAfterConflict(which == 0);
    return true;
}

void Bonjour::renameAfterConflict(bool service) {
    // Another responder holds the name: the next probes ask for a new one, so the
    // appliance does not lose to the same holder for ever.
    if (service)
        ++serviceConflicts_;
    else
        hostLabel = std::string(productParams().defaultName) + "-" + std::to_string(++hostConflicts_ + 1);
    conflict = true;
}

void Bonjour::handleMessage(const uint8_t *m, size_t length, const InetAddress &from, int vlan, int64_t now) {
    if (length < DnsHeaderSize) return;
    const uint16_t flags = read16(m + 2);
    const uint16_t qd = read16(m + 4), an = read16(m + 6), ns = read16(m + 8), ar = read16(m + 10);
    if (qd + an + ns + ar > MaxEntries) return;
    conflict = false;
    size_t at = DnsHeaderSize;
    bool ok = true;
    for (int i = 0; ok && i < qd; ++i)
        ok = handleQuestion(m, length, at, now);
    for (int i = 0; ok && i < an; ++i)
        ok = handleRecord(m, length, at, true, now);
    for (int i = 0; ok && i < ns; ++i)
        ok = handleRecord(m, length, at, false, now);

    const bool truncated = (flags & 0x0200) != 0;
    if (conflict) {
        probeState = 0;
        for (Service &s : services)
            s.pending = s.additional = 0;
        answerTime = 0;
        return;
    }
    if (truncated) return;
    if (from.port() != Port && qd > 0 && (flags & 0x8000) == 0) send(LegacyReply, vlan, &from, m, length);

    bool ptrPending = false, otherPending = false, anyPending = false;
    for (const Service &s : services) {
        if (s.port == 0) continue;
        ptrPending = ptrPending || (s.pending & RecPtr);
        otherPending = otherPending || (s.pending & ~(RecPtr | RecBrowse)) != 0;
        anyPending = anyPending || (s.pending & ~RecBrowse) != 0;
    }
    if (ptrPending && answerTime > now) {
        if (otherPending) send(AnswersWithoutPtr, vlan);
    } else if (anyPending) {
        send(Answers, vlan);
    }
}

bool Bonjour::sendDue(int64_t now) {
    if (answerTime == 0 || now < answerTime) return false;
    answerTime = 0;
    for (const Service &s : services)
        if ((s.pending & ~RecBrowse) != 0) return send(Answers);
    return false;
}

std::vector<DnsMessage> Bonjour::build(Kind kind, const uint8_t *query, size_t queryLength) {
    std::vector<DnsMessage> out;
    const bool legacy = kind == LegacyReply;
    const bool probe = kind == HostProbe || kind == ServiceProbe;
    uint16_t id = legacy && queryLength >= 4 ? read16(query) : 0;
    uint16_t flags = legacy ? static_cast<uint16_t>(read16(query + 2) | 0x8400) : (probe ? 0 : 0x8400);
    const uint16_t unique =
        (kind == Announcement || kind == Answers || kind == AnswersWithoutPtr) ? ClassFlush : ClassIn;
    InetAddress v6;
    const bool withAaaa = haveIpv6(v6);
    const InetAddress v4 = p_ip_addr->address();

    std::vector<DnsWriter> batch;
    batch.emplace_back(id, flags);
    size_t total = 0;
    bool full = false;
    auto current = [&]() -> DnsWriter & {
        if (batch.back().size() > MessageLimit && batch.size() < MaxMessages) {
            total += batch.back().size();
            batch.emplace_back(id, flags);
        }
        if (total + batch.back().size() > BatchLimit) full = true;
        return batch.back();
    };
    auto record = [&](int section, const std::vector<std::string> &name, uint16_t type, uint16_t cls,
                      uint32_t ttl, auto data) {
        DnsWriter &w = current();
        if (full) return;
        w.record(name, type, cls, ttl, data);
        w.counts[section]++;
    };
    auto ptr = [&](int section, int s) {
        record(section, serviceName(s), TypePtr, ClassIn, PtrTtl,
               [&] { batch.back().name(instanceName(s)); });
    };
    auto srv = [&](int section, int s, uint16_t cls) {
        record(section, instanceName(s), TypeSrv, cls, RecordTtl, [&] {
            DnsWriter &w = batch.back();
            w.u16(0);
            w.u16(0);
            w.u16(services[s].port);
            w.name(hostName());
        });
    };
    auto txt = [&](int section, int s, uint16_t cls) {
        record(section, instanceName(s), TypeTxt, cls, RecordTtl, [&] { batch.back().bytes("", 1); });
    };
    auto a = [&](int section, uint16_t cls) {
        uint32_t address = v4.ipv4();
        record(section, hostName(), TypeA, cls, RecordTtl, [&] { batch.back().bytes(&address, 4); });
    };
    auto aaaa = [&](int section, uint16_t cls, const InetAddress &address) {
        record(section, hostName(), TypeAaaa, cls, RecordTtl,
               [&] { batch.back().bytes(address.ipv6Bytes(), 16); });
    };

    switch (kind) {
    case HostProbe:
        current().question(hostName(), TypeAny, ClassIn);
        batch.back().counts[0]++;
        if (ownAddress.isV6())
            aaaa(2, ClassIn, ownAddress);
        else
            a(2, ClassIn);
        break;
    case ServiceProbe:
        for (int s = 0; s < 2; ++s)
            if (services[s].port) {
                current().question(instanceName(s), TypeAny, ClassIn);
                batch.back().counts[0]++;
            }
        for (int s = 0; s < 2; ++s)
            if (services[s].port) srv(2, s, ClassIn);
        break;
    case Announcement:
        for (int s = 0; s < 2; ++s) {
            if (!services[s].port) continue;
            ptr(1, s);
            srv(1, s, ClassFlush);
            txt(1, s, ClassFlush);
        }
        a(1, ClassFlush);
        if (withAaaa) aaaa(1, ClassFlush, v6);
        break;
    case Answers:
    case AnswersWithoutPtr:
    case LegacyReply: {
        const bool withoutPtr = kind == AnswersWithoutPtr;
        // The query's questions come back first in a legacy reply.
        if (legacy) {
            size_t at = DnsHeaderSize;
            for (int i = 0; i < read16(query + 4); ++i) {
                std::vector<std::string> labels;
                if (!readDnsName(query, queryLength, at, labels, at) || queryLength - at < 4) break;
                current().question(labels, read16(query + at), ClassIn);
                batch.back().counts[0]++;
                at += 4;
            }
        }
        std::set<std::pair<int, uint32_t>> written; // (service, bit) of every record given
        uint32_t wanted[2] = {};
        for (int s = 0; s < 2; ++s) {
            Service &svc = services[s];
            if (!svc.port || (withoutPtr && (svc.pending & RecBrowse))) continue;
            uint32_t bits = svc.pending & ~RecBrowse;
            if (withoutPtr) bits &= ~RecPtr;
            uint16_t cls = legacy ? ClassIn : unique;
            if (bits & RecPtr) {
                ptr(1, s);
                wanted[s] |= RecSrv | RecTxt | RecA | (withAaaa ? uint32_t{RecAaaa} : 0u);
            }
            if (bits & RecSrv) {
                srv(1, s, cls);
                wanted[s] |= ownAddress.isV6() ? RecAaaa : RecA;
            }
            if (bits & RecTxt) txt(1, s, cls);
            if ((bits & (RecA | RecHost)) && !written.count({2, RecA})) {
                a(1, cls);
                written.insert({2, RecA});
            }
            if ((bits & (RecAaaa | RecHost)) && withAaaa && !written.count({2, RecAaaa})) {
                aaaa(1, cls, v6);
                written.insert({2, RecAaaa});
            }
            for (uint32_t b : {RecPtr, RecSrv, RecTxt})
                if (bits & b) written.insert({s, b});
            if (!legacy) {
                svc.pending &= ~bits;
                if ((svc.pending & ~RecBrowse) == 0) svc.pending = 0;
            }
        }
        // The records the answers imply, once each.
        for (int s = 0; s < 2; ++s) {
            uint16_t cls = legacy ? ClassIn : unique;
            if ((wanted[s] & RecSrv) && !written.count({s, RecSrv})) {
                srv(3, s, cls);
                written.insert({s, RecSrv});
            }
            if ((wanted[s] & RecTxt) && !written.count({s, RecTxt})) {
                txt(3, s, cls);
                written.insert({s, RecTxt});
            }
            if ((wanted[s] & RecA) && !written.count({2, RecA})) {
                a(3, cls);
                written.insert({2, RecA});
            }
            if ((wanted[s] & RecAaaa) && withAaaa && !written.count({2, RecAaaa})) {
                aaaa(3, cls, v6);
                written.insert({2, RecAaaa});
            }
        }
        break;
    }
    }
    for (size_t i = 0; i < batch.size(); ++i) {
        // Every message of a batch but the last is marked truncated.
        if (i + 1 < batch.size()) batch[i].setFlags(static_cast<uint16_t>(flags | 0x0200));
        bool empty = batch[i].counts[0] + batch[i].counts[1] + batch[i].counts[2] + batch[i].counts[3] == 0;
        if (!empty) out.push_back(batch[i].finish());
    }
    return out;
}

bool Bonjour::send(Kind kind, int vlan, const InetAddress *to, const uint8_t *query, size_t queryLength) {
    std::vector<DnsMessage> messages = build(kind, query, queryLength);
    if (messages.empty() || mdnsTaskNumber.load() < 0) return false;
    InetAddress destination;
    if (to) {
        destination = *to;
    } else {
        destination = InetAddress::fromText(ownAddress.isV6() ? "ff02::fb" : "224.0.0.251");
        destination.setPort(Port);
    }
    return network_->send(*this, iface, vlan, destination, kind == LegacyReply ? 64 : 255, messages);
}

void Bonjour::run() {
    int none = -1;
    if (!mdnsTaskNumber.compare_exchange_strong(none, taskNumber)) exit();
    reset(false);
    if (httpPort > 0) services[0].port = static_cast<uint16_t>(httpPort);
    if (httpsPort > 0) services[1].port = static_cast<uint16_t>(httpsPort);
    if (iface == nullptr || !openSockets(iface, true)) {
        mdnsTaskNumber = -1;
        exit();
    }
    update_bonjour_name();
    ownAddress = p_ip_addr->address();

    Buffer buffer;
    int64_t lastStep = sysTicks() - ProbeTicks;
    int rounds = 0;
    while (mdnsTaskNumber.load() == taskNumber) {
        int64_t now = sysTicks();
        if (probeState >= 0 && probeState <= 2 && now - lastStep >= ProbeTicks) {
            send(HostProbe);
            send(ServiceProbe);
            probeState++;
            rounds++;
            lastStep = now;
        } else if (probeState == -1) {
            lastStep = now;
            probeState = 0;
        } else if (probeState == 3 && now - lastStep >= ProbeTicks) {
            send(Announcement);
            InetAddress v6;
            if (haveIpv6(v6)) {
                ownAddress = v6;
                send(Announcement);
                ownAddress = p_ip_addr->address();
            }
            probeState = 4;
            rounds = 0;
            lastStep = now;
        }
        int64_t wait;
        if (answerTime) {
            wait = answerTime - now < 1 ? 1 : answerTime - now;
        } else if (probeState > 3 || rounds > 9) {
            wait = 0; // without limit
        } else {
            wait = 10;
        }
        Connection *socket = nullptr, *reply = nullptr;
        int n = receive(buffer, wait, &socket, &reply);
        now = sysTicks();
        if (n <= 0 || socket == nullptr) {
            // Held answers go out at their time.
            if (!sendDue(now) && wait == 0) this->wait(10);
            continue;
        }
        InetAddress from = socket->peer;
        if (!from.isV6() && from.ipv4() == p_ip_addr->address().ipv4()) continue;
        handleMessage(reinterpret_cast<const uint8_t *>(buffer.cursor), static_cast<size_t>(n), from,
                      socket->vlan, now);
        sendDue(now);
        sched_yield();
    }
    exit();
}
