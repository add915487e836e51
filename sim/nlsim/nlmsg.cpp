#include "sim/nlsim/nlmsg.h"

#include <cstdio>
#include <cstring>
#include <linux/genetlink.h>
#include <linux/netlink.h>

namespace nlsim {

namespace {
size_t align4(size_t n) {
    return (n + 3) & ~size_t(3);
}
} // namespace

uint16_t Attr::u16() const {
    uint16_t v = 0;
    std::memcpy(&v, data, len < 2 ? len : 2);
    return v;
}
uint32_t Attr::u32() const {
    uint32_t v = 0;
    std::memcpy(&v, data, len < 4 ? len : 4);
    return v;
}
uint64_t Attr::u64() const {
    uint64_t v = 0;
    std::memcpy(&v, data, len < 8 ? len : 8);
    return v;
}
std::string Attr::str() const {
    size_t n = 0;
    while (n < len && data[n] != 0)
        n++;
    return std::string(reinterpret_cast<const char *>(data), n);
}

bool Attrs::parse(const uint8_t *p, size_t len) {
    list.clear();
    size_t off = 0;
    while (len - off >= sizeof(nlattr)) {
        nlattr a;
        std::memcpy(&a, p + off, sizeof a);
        if (a.nla_len < sizeof(nlattr) || a.nla_len > len - off) return false;
        Attr at;
        at.type = a.nla_type & NLA_TYPE_MASK;
        at.data = p + off + sizeof(nlattr);
        at.len = a.nla_len - sizeof(nlattr);
        list.push_back(at);
        size_t step = align4(a.nla_len);
        if (step > len - off) break;
        off += step;
    }
    return true;
}

const Attr *Attrs::get(uint16_t type) const {
    const Attr *found = nullptr;
    for (const auto &a : list)
        if (a.type == type) found = &a;
    return found;
}

std::vector<Request> parseDatagram(const uint8_t *p, size_t len) {
    std::vector<Request> out;
    size_t off = 0;
    while (len - off >= sizeof(nlmsghdr)) {
        nlmsghdr h;
        std::memcpy(&h, p + off, sizeof h);
        if (h.nlmsg_len < sizeof(nlmsghdr) || h.nlmsg_len > len - off) break;
        Request r;
        r.len = h.nlmsg_len;
        r.type = h.nlmsg_type;
        r.flags = h.nlmsg_flags;
        r.seq = h.nlmsg_seq;
        r.pid = h.nlmsg_pid;
        r.raw = p + off;
        r.rawLen = h.nlmsg_len;
        size_t body = h.nlmsg_len - sizeof(nlmsghdr);
        const uint8_t *b = p + off + sizeof(nlmsghdr);
        if (body >= GENL_HDRLEN) {
            r.cmd = b[0];
            r.version = b[1];
            r.attrsOk = r.attrs.parse(b + GENL_HDRLEN, body - GENL_HDRLEN);
        }
        out.push_back(std::move(r));
        size_t step = align4(h.nlmsg_len);
        if (step > len - off) break;
        off += step;
    }
    return out;
}

Builder::Builder(uint16_t type, uint16_t flags, uint32_t seq, uint32_t pid) {
    nlmsghdr h{};
    h.nlmsg_type = type;
    h.nlmsg_flags = flags;
    h.nlmsg_seq = seq;
    h.nlmsg_pid = pid;
    raw(&h, sizeof h);
}

void Builder::genl(uint8_t cmd, uint8_t version) {
    genlmsghdr g{};
    g.cmd = cmd;
    g.version = version;
    raw(&g, sizeof g);
}

void Builder::raw(const void *p, size_t n) {
    const auto *b = static_cast<const uint8_t *>(p);
    if (n) buf_.insert(buf_.end(), b, b + n);
    buf_.resize(align4(buf_.size()), 0);
}

void Builder::put(uint16_t type, const void *p, size_t n) {
    nlattr a{};
    a.nla_len = static_cast<uint16_t>(sizeof a + n);
    a.nla_type = type;
    const auto *h = reinterpret_cast<const uint8_t *>(&a);
    buf_.insert(buf_.end(), h, h + sizeof a);
    const auto *b = static_cast<const uint8_t *>(p);
    if (n) buf_.insert(buf_.end(), b, b + n);
    buf_.resize(align4(buf_.size()), 0);
}

size_t Builder::nest(uint16_t type) {
    size_t at = buf_.size();
    put(type, nullptr, 0); // as the kernel's nl80211 does: no NLA_F_NESTED
    return at;
}

void Builder::end(size_t at) {
    uint16_t n = static_cast<uint16_t>(buf_.size() - at);
    std::memcpy(&buf_[at], &n, 2);
}

const std::vector<uint8_t> &Builder::bytes() {
    uint32_t n = static_cast<uint32_t>(buf_.size());
    std::memcpy(&buf_[0], &n, 4);
    return buf_;
}

bool parseMac(const std::string &text, uint8_t out[6]) {
    unsigned v[6];
    char tail;
    if (text.size() != 17) return false;
    if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                    &tail) != 6)
        return false;
    for (int i = 0; i < 6; i++)
        out[i] = static_cast<uint8_t>(v[i]);
    return true;
}

std::string macText(const uint8_t mac[6]) {
    char t[18];
    std::snprintf(t, sizeof t, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
                  mac[5]);
    return t;
}

bool parseHex(const std::string &text, std::vector<uint8_t> &out) {
    out.clear();
    int hi = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if ((c == ':' || c == ' ') && hi < 0)
            continue;
        else
            return false;
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<uint8_t>(hi << 4 | v));
            hi = -1;
        }
    }
    return hi < 0;
}

std::string hexText(const uint8_t *p, size_t n) {
    std::string s;
    char t[3];
    for (size_t i = 0; i < n; i++) {
        std::snprintf(t, sizeof t, "%02x", p[i]);
        s += t;
    }
    return s;
}

} // namespace nlsim
