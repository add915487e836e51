// Names and messages of the multicast-DNS responder.

#include "net/mdns_message.h"

#include <cctype>
#include <cstring>

bool readDnsName(const uint8_t *m, size_t length, size_t offset, std::vector<std::string> &labels,
                 size_t &next) {
    labels.clear();
    size_t at = offset;
    size_t total = 0, looked = 0;
    bool jumped = false;
    for (;;) {
        if (at >= length || ++looked > 256) return false;
        uint8_t n = m[at];
        if (n == 0) {
            if (!jumped) next = at + 1;
            return true;
        }
        if ((n & 0xC0) == 0xC0) {
            if (at + 1 >= length) return false;
            size_t target = static_cast<size_t>(n & 0x3F) << 8 | m[at + 1];
            // Only backwards: a pointer can never lead into a loop.
            if (target >= at) return false;
            if (!jumped) next = at + 2;
            jumped = true;
            at = target;
            continue;
        }
        if (n > 63 || n > length - at - 1) return false;
        total += n + 1;
        if (total > 255) return false;
        labels.emplace_back(reinterpret_cast<const char *>(m + at + 1), n);
        looked += n;
        at += n + 1;
    }
}

bool sameLabel(const std::string &a, const char *b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string cutLabel(const std::string &label) {
    if (label.size() <= 63) return label;
    size_t n = 63;
    // Step back over continuation bytes (10xxxxxx) to the start of a character.
    while (n > 0 && (static_cast<uint8_t>(label[n]) & 0xC0) == 0x80)
        --n;
    return label.substr(0, n);
}

DnsWriter::DnsWriter(uint16_t id, uint16_t flags) : buf_(DnsHeaderSize, 0) {
    buf_[0] = static_cast<uint8_t>(id >> 8);
    buf_[1] = static_cast<uint8_t>(id);
    setFlags(flags);
}

void DnsWriter::setFlags(uint16_t flags) {
    buf_[2] = static_cast<uint8_t>(flags >> 8);
    buf_[3] = static_cast<uint8_t>(flags);
}

void DnsWriter::u16(uint16_t v) {
    buf_.push_back(static_cast<uint8_t>(v >> 8));
    buf_.push_back(static_cast<uint8_t>(v));
}

void DnsWriter::u32(uint32_t v) {
    u16(static_cast<uint16_t>(v >> 16));
    u16(static_cast<uint16_t>(v));
}

void DnsWriter::bytes(const void *data, size_t n) {
    const auto *p = static_cast<const uint8_t *>(data);
    buf_.insert(buf_.end(), p, p + n);
}

void DnsWriter::name(const std::vector<std::string> &labels) {
    for (size_t i = 0; i < labels.size(); ++i) {
        std::string key;
        for (size_t j = i; j < labels.size(); ++j) {
            for (char c : labels[j])
                key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            key += '.';
        }
        auto it = suffixes_.find(key);
        if (it != suffixes_.end()) {
            u16(static_cast<uint16_t>(0xC000 | it->second));
            return;
        }
        if (buf_.size() < 0x3FFF) suffixes_[key] = buf_.size();
        std::string label = cutLabel(labels[i]);
        buf_.push_back(static_cast<uint8_t>(label.size()));
        bytes(label.data(), label.size());
    }
    buf_.push_back(0);
}

void DnsWriter::question(const std::vector<std::string> &owner, uint16_t type, uint16_t cls) {
    name(owner);
    u16(type);
    u16(cls);
}

std::vector<uint8_t> DnsWriter::finish() const {
    std::vector<uint8_t> out = buf_;
    for (int i = 0; i < 4; ++i) {
        out[4 + 2 * i] = static_cast<uint8_t>(counts[i] >> 8);
        out[5 + 2 * i] = static_cast<uint8_t>(counts[i]);
    }
    return out;
}
