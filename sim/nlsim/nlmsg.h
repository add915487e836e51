// Netlink messages as nlsim reads and writes them: a bounded attribute parser for what
// clients send and a builder for what nlsim answers. Nothing here trusts a length
// field: every walk stops at the end of the bytes it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nlsim {

// One attribute: its type without the nested/byte-order flag bits, and its payload.
struct Attr {
    uint16_t type = 0;
    const uint8_t *data = nullptr;
    size_t len = 0;

    uint8_t u8() const { return len >= 1 ? data[0] : 0; }
    uint16_t u16() const;
    uint32_t u32() const;
    uint64_t u64() const;
    std::string str() const; // up to the first NUL
};

// The attributes of one level, in order. parse() fails (false) when an attribute's
// length is below its header or runs past the end; padding after the last one is
// accepted as the kernel does.
struct Attrs {
    std::vector<Attr> list;

    bool parse(const uint8_t *p, size_t len);
    const Attr *get(uint16_t type) const; // the last of that type, as the kernel keeps it
    bool has(uint16_t type) const { return get(type) != nullptr; }
};

// A generic-netlink request: the netlink header fields and, for any family, the
// generic header and top-level attributes.
struct Request {
    uint32_t len = 0;
    uint16_t type = 0;
    uint16_t flags = 0;
    uint32_t seq = 0;
    uint32_t pid = 0;
    uint8_t cmd = 0;
    uint8_t version = 0;
    bool attrsOk = false;
    Attrs attrs;
    const uint8_t *raw = nullptr; // the whole message, for error answers
    size_t rawLen = 0;
};

// Splits a datagram into its netlink messages. A message with a bad length ends the
// walk (the rest of the datagram cannot be framed); a message too short for the
// generic header comes back with cmd 0 and attrsOk false.
std::vector<Request> parseDatagram(const uint8_t *p, size_t len);

// Builds one netlink message.
class Builder {
public:
    Builder(uint16_t type, uint16_t flags, uint32_t seq, uint32_t pid);
    // Generic header.
    void genl(uint8_t cmd, uint8_t version = 1);
    void raw(const void *p, size_t n); // bytes straight into the payload
    void put(uint16_t type, const void *p, size_t n);
    void u8(uint16_t type, uint8_t v) { put(type, &v, 1); }
    void u16(uint16_t type, uint16_t v) { put(type, &v, 2); }
    void u32(uint16_t type, uint32_t v) { put(type, &v, 4); }
    void u64(uint16_t type, uint64_t v) { put(type, &v, 8); }
    void s32(uint16_t type, int32_t v) { put(type, &v, 4); }
    void flag(uint16_t type) { put(type, nullptr, 0); }
    void str(uint16_t type, const std::string &s) { put(type, s.c_str(), s.size() + 1); }
    size_t nest(uint16_t type);
    void end(size_t at);
    size_t size() const { return buf_.size(); }
    // The finished message (length filled in).
    const std::vector<uint8_t> &bytes();

private:
    std::vector<uint8_t> buf_;
};

// Parses "aa:bb:cc:dd:ee:ff"; false on anything else.
bool parseMac(const std::string &text, uint8_t out[6]);
std::string macText(const uint8_t mac[6]);
// Hex digits (blanks and colons between bytes allowed) into bytes; false on garbage.
bool parseHex(const std::string &text, std::vector<uint8_t> &out);
std::string hexText(const uint8_t *p, size_t n);

} // namespace nlsim
