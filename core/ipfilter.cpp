// The input packet filter through libiptc: the parameters' source addresses and MAC
// addresses become ACCEPT rules on "INPUT", followed by one DROP rule whose reach the
// protection level sets. The DROP rule goes in only after at least one ACCEPT rule was
// committed, so a filter with no accepted source never locks the appliance out.

#include "core/ipfilter.h"

#include "core/address.h"
#include "core/param.h"
#include "core/ptable.h"
#include "param_catalogue.h"

#include <cstring>
// The IPv6 header of libiptc declares its functions without C linkage.
extern "C" {
#include <libiptc/libip6tc.h>
}
#include <libiptc/libiptc.h>
#include <linux/netfilter/xt_mac.h>
#include <linux/netfilter/xt_multiport.h>
#include <vector>

namespace {

constexpr const char *FilterTable = "filter";
constexpr const char *InputChain = "INPUT";

// One libiptc table snapshot, freed when it goes out of scope.
template <typename Free> class TableHandle {
public:
    TableHandle(xtc_handle *h, Free f) : h_(h), free_(f) {}
    ~TableHandle() { reset(nullptr); }
    TableHandle(const TableHandle &) = delete;
    TableHandle &operator=(const TableHandle &) = delete;
    xtc_handle *get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    void reset(xtc_handle *h) {
        if (h_) free_(h_);
        h_ = h;
    }

private:
    xtc_handle *h_;
    Free free_;
};

using IptcTable = TableHandle<void (*)(xtc_handle *)>;

IptcTable open4() {
    return IptcTable(iptc_init(FilterTable), iptc_free);
}
IptcTable open6() {
    return IptcTable(ip6tc_init(FilterTable), ip6tc_free);
}

// A commit counts only when libiptc answers a positive value.
bool commit4(IptcTable &t) {
    return t && iptc_commit(t.get()) > 0;
}
bool commit6(IptcTable &t) {
    return t && ip6tc_commit(t.get()) > 0;
}

// Builds one rule: the family's entry header, then the matches, then the standard
// target, each part aligned as the kernel's table layout wants it. The bytes live in a
// vector of 64-bit words so that the header is suitably aligned.
class RuleBuilder {
public:
    RuleBuilder(size_t headerSize) : headerSize_(XT_ALIGN(headerSize)) { bytes_.resize(headerSize_); }

    template <typename Info> void addMatch(const char *name, uint8_t revision, const Info &info) {
        size_t size = XT_ALIGN(sizeof(xt_entry_match)) + XT_ALIGN(sizeof(Info));
        size_t at = bytes_.size();
        bytes_.resize(at + size);
        auto *m = reinterpret_cast<xt_entry_match *>(bytes_.data() + at);
        m->u.user.match_size = static_cast<uint16_t>(size);
        strncpy(m->u.user.name, name, sizeof(m->u.user.name) - 1);
        m->u.user.revision = revision;
        memcpy(m->data, &info, sizeof(Info));
    }

    // Appends the target; the offsets of the header are the caller's to set from
    // targetOffset() and totalSize().
    void setTarget(const char *verdict) {
        targetOffset_ = bytes_.size();
        size_t size = XT_ALIGN(sizeof(xt_standard_target));
        bytes_.resize(targetOffset_ + size);
        auto *t = reinterpret_cast<xt_entry_target *>(bytes_.data() + targetOffset_);
        t->u.user.target_size = static_cast<uint16_t>(size);
        strncpy(t->u.user.name, verdict, sizeof(t->u.user.name) - 1);
    }

    size_t targetOffset() const { return targetOffset_; }
    size_t totalSize() const { return bytes_.size(); }
    template <typename Entry> Entry *entry() { return reinterpret_cast<Entry *>(bytes_.data()); }

private:
    struct Storage {
        std::vector<uint64_t> words;
        void resize(size_t n) {
            words.resize((n + 7) / 8, 0);
            size_ = n;
        }
        size_t size() const { return size_; }
        uint8_t *data() { return reinterpret_cast<uint8_t *>(words.data()); }
        size_t size_ = 0;
    } bytes_;
    size_t headerSize_;
    size_t targetOffset_ = 0;
};

// What a rule matches besides its source: the protocol (0 = any), and optionally the
// destination ports of the USB server, or a source MAC address.
struct RuleSpec {
    const char *verdict = "ACCEPT";
    uint8_t protocol = 0;
    bool serverPorts = false;
    const uint8_t *mac = nullptr;
};

void addMatches(RuleBuilder &b, const RuleSpec &spec) {
    if (spec.mac) {
        xt_mac_info info{};
        memcpy(info.srcaddr, spec.mac, sizeof(info.srcaddr));
        info.invert = 0;
        b.addMatch("mac", 0, info);
    }
    if (spec.serverPorts) {
        xt_multiport_v1 info{};
        info.flags = XT_MULTIPORT_DESTINATION;
        info.count = 2;
        info.ports[0] = static_cast<uint16_t>(p_zqn_port->value());
        info.ports[1] = static_cast<uint16_t>(p_zqn_sslport->value());
        b.addMatch("multiport", 1, info);
    }
}

// Appends an IPv4 rule with the given source (network byte order) and mask.
bool append4(IptcTable &t, const RuleSpec &spec, uint32_t source, uint32_t mask) {
    if (!t) return false;
    RuleBuilder b(sizeof(ipt_entry));
    addMatches(b, spec);
    b.setTarget(spec.verdict);
    auto *e = b.entry<ipt_entry>();
    e->ip.src.s_addr = source;
    e->ip.smsk.s_addr = mask;
    e->ip.proto = spec.protocol;
    e->target_offset = static_cast<uint16_t>(b.targetOffset());
    e->next_offset = static_cast<uint16_t>(b.totalSize());
    return iptc_append_entry(InputChain, e, t.get()) != 0;
}

// Appends an IPv6 rule; a null source matches every source.
bool append6(IptcTable &t, const RuleSpec &spec, const uint8_t *source, const uint8_t *mask) {
    if (!t) return false;
    RuleBuilder b(sizeof(ip6t_entry));
    addMatches(b, spec);
    b.setTarget(spec.verdict);
    auto *e = b.entry<ip6t_entry>();
    if (source) memcpy(&e->ipv6.src, source, 16);
    if (mask) memcpy(&e->ipv6.smsk, mask, 16);
    if (spec.protocol) {
        // The IPv6 header match compares the protocol only with this flag.
        e->ipv6.proto = spec.protocol;
        e->ipv6.flags |= IP6T_F_PROTO;
    }
    e->target_offset = static_cast<uint16_t>(b.targetOffset());
    e->next_offset = static_cast<uint16_t>(b.totalSize());
    return ip6tc_append_entry(InputChain, e, t.get()) != 0;
}

bool on(const char *prefix, int index) {
    Param *p = ptable().find(prefix, static_cast<int>(strlen(prefix)), index);
    return p && p->isOn();
}

// Saves the parameter file after the filter changed a parameter, and clears the
// changed marks so that the change is neither reported nor acted on again.
void saveAndClear() {
    ptable().save(ptable().filePath().c_str());
    p_protection->clearChanged();
    p_protection_test->clearChanged();
}

// Step b and c: the ACCEPT rules of the source-address entries; the number of rules
// committed.
int addressRules(bool ipv6) {
    IptcTable t4 = open4();
    IptcTable t6 = open6();
    if (!t4 || !t6) return 0;
    int added4 = 0, added6 = 0;
    int last = ptable().maxIndex("ip_filter_", 10);
    for (int n = 1; n <= last; ++n) {
        if (!on("ip_filter_on_", n)) continue;
        Param *entry = ptable().find("ip_filter_", 10, n);
        if (!entry) continue;
        char text[ParamMaxText + 1];
        entry->toText(text, sizeof(text), true);
        InetAddress address;
        int prefix = 0;
        if (!address.parseWithPrefix(text, prefix)) continue;
        if (address.isV6()) {
            // An IPv6 source has no IPv4 form: while IPv6 is off the entry is left out
            // rather than turned into an IPv4 rule that would accept every source.
            if (!ipv6) continue;
            uint8_t mask[16];
            if (!prefixToMask(mask, prefix, sizeof(mask))) continue;
            uint8_t source[16];
            const uint8_t *a = address.ipv6Bytes();
            for (int i = 0; i < 16; ++i)
                source[i] = a[i] & mask[i];
            if (append6(t6, RuleSpec{}, source, mask)) ++added6;
        } else {
            uint32_t mask = 0;
            if (!prefixToMask(reinterpret_cast<uint8_t *>(&mask), prefix, sizeof(mask))) continue;
            if (append4(t4, RuleSpec{}, address.ipv4() & mask, mask)) ++added4;
        }
    }
    int committed = 0;
    if (added4 && commit4(t4)) committed += added4;
    if (added6 && commit6(t6)) committed += added6;
    return committed;
}

// Step d: the ACCEPT rules of the MAC entries in both tables; the number of rules
// committed.
int macRules(bool ipv6) {
    IptcTable t4 = open4();
    IptcTable t6 = open6();
    int added4 = 0, added6 = 0;
    int last = ptable().maxIndex("hw_filter_on_", 13);
    for (int n = 1; n <= last; ++n) {
        if (!on("hw_filter_on_", n)) continue;
        auto *entry = dynamic_cast<MacParam *>(ptable().find("hw_filter_", 10, n));
        if (!entry || !entry->hasValue()) continue;
        MacAddress mac = entry->address();
        RuleSpec spec;
        spec.mac = mac.bytes;
        if (append4(t4, spec, 0, 0)) ++added4;
        if (append6(t6, spec, nullptr, nullptr)) ++added6;
    }
    int committed = 0;
    if (commit4(t4)) committed += added4;
    if (ipv6 && commit6(t6)) committed += added6;
    return committed;
}

// Steps f and g: the DROP rule by the level; false for a level that has none.
bool dropRules(bool ipv6) {
    RuleSpec spec;
    spec.verdict = "DROP";
    if (p_protection_level->equals("protec_zqn")) {
        spec.protocol = IPPROTO_TCP;
        spec.serverPorts = true;
    } else if (p_protection_level->equals("protec_tcp")) {
        spec.protocol = IPPROTO_TCP;
    } else if (!p_protection_level->equals("protec_all")) {
        return false;
    }
    {
        IptcTable t4 = open4();
        if (append4(t4, spec, 0, 0)) commit4(t4);
    }
    if (ipv6) {
        IptcTable t6 = open6();
        if (append6(t6, spec, nullptr, nullptr)) commit6(t6);
    }
    return true;
}

} // namespace

bool setupPacketFilter() {
    if (!p_protection->isOn()) {
        if (p_protection_test->equals("test")) {
            p_protection_test->setText("on", -1);
            saveAndClear();
        }
        return false;
    }
    if (p_protection_test->equals("test")) {
        // The previous start installed the filter as a test: this start runs without.
        p_protection->set(0);
        p_protection_test->setText("on", -1);
        saveAndClear();
        return false;
    }
    if (p_ip_addr->isLinkLocal4() && p_protection_level->equals("protec_all")) {
        // On a ZeroConf address a full filter would leave the appliance unreachable.
        p_protection->set(0);
        saveAndClear();
        return false;
    }
    if (p_protection_test->equals("on")) {
        p_protection_test->setText("test", -1);
        saveAndClear();
    }

    bool ipv6 = p_ipv6->isOn();
    int installed = addressRules(ipv6);
    installed += macRules(ipv6);
    if (installed == 0) return false;
    dropRules(ipv6);
    return true;
}

bool clearPacketFilter() {
    IptcTable t4 = open4();
    if (!t4 || !iptc_flush_entries(InputChain, t4.get()) || !commit4(t4)) return false;
    IptcTable t6 = open6();
    return t6 && ip6tc_flush_entries(InputChain, t6.get()) && commit6(t6);
}
