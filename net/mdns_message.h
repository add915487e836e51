// DNS messages of the multicast-DNS responder: the bounded reading of names (with
// compression, no loops, no read past the datagram) and the building of messages with
// compressed names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

constexpr size_t DnsHeaderSize = 12;

// Reads the name at offset of a message of length bytes into its labels. A pointer
// must lead backwards (so no loop), labels are at most 63 bytes and the whole name at
// most 255; at most 256 bytes of the message are looked at. next is the offset after
// the name where it started. False for a malformed name.
bool readDnsName(const uint8_t *message, size_t length, size_t offset, std::vector<std::string> &labels,
                 size_t &next);

// Labels compare without regard to ASCII case.
bool sameLabel(const std::string &a, const char *b);

// Cuts a label to at most 63 bytes without splitting a UTF-8 character.
std::string cutLabel(const std::string &label);

// One message under construction: header counts and a body with compressed names.
class DnsWriter {
public:
    DnsWriter(uint16_t id, uint16_t flags);
    // Writes the labels, pointing to a suffix written before when there is one.
    void name(const std::vector<std::string> &labels);
    void u16(uint16_t v);
    void u32(uint32_t v);
    void bytes(const void *data, size_t n);
    // A record: name, type, class, TTL, then the data written by data().
    template <class Data>
    void record(const std::vector<std::string> &owner, uint16_t type, uint16_t cls, uint32_t ttl, Data data) {
        name(owner);
        u16(type);
        u16(cls);
        u32(ttl);
        size_t at = buf_.size();
        u16(0);
        data();
        size_t n = buf_.size() - at - 2;
        buf_[at] = static_cast<uint8_t>(n >> 8);
        buf_[at + 1] = static_cast<uint8_t>(n);
    }
    void question(const std::vector<std::string> &owner, uint16_t type, uint16_t cls);
    // Counts of the four sections.
    uint16_t counts[4] = {};
    size_t size() const { return buf_.size(); }
    void setFlags(uint16_t flags);
    // The message with the counts in its header.
    std::vector<uint8_t> finish() const;

private:
    std::vector<uint8_t> buf_;
    std::map<std::string, size_t> suffixes_;
};
