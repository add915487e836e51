// The binary protocol of the USB-server port: the 16-byte request header, the 24-byte
// reply header and the server's own 16-byte messages, all made of big-endian 32-bit
// words, with the command numbers, status values and error values they carry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace usbwire {

constexpr size_t RequestSize = 16;
constexpr size_t ReplySize = 24;
constexpr size_t MessageSize = 16;

// Commands (word 1 of a request); the reply code is 0x1000 + command.
enum : uint32_t {
    CmdHello = 1,
    CmdListShort = 2,
    CmdClaim = 4,
    CmdRelease = 5,
    CmdClose = 6,
    CmdSubmit = 8,
    CmdDiscard = 9,
    CmdAbort = 11,
    CmdClearHalt = 12,
    CmdReset = 13,
    CmdHeartbeat = 16,
    CmdSetConfig = 21,
    CmdPortTags = 22,
    CmdOpened = 23,
    CmdName = 24,
    CmdOpen = 25,
    CmdStatus = 26,
    CmdInfo = 27,
    CmdList = 29,
    CmdOpenKey = 30,
    CmdInfoName = 31,
};

constexpr uint32_t ReplyBase = 0x1000;
constexpr uint32_t ReplyPartial = 0x101C; // a part of a transfer's data, more follows

// Reply status values.
enum : uint32_t {
    StatusDone = 0,
    StatusAborted = 2,
    StatusFailed = 3,
    StatusRefused = 5,
};

// Reply error values besides the system's error numbers.
enum : uint32_t {
    ErrNone = 0,
    ErrName = 1,        // the name could not be read / no memory for the tag block
    ErrFixed = 3,       // fixed in hello and the short list; refused by a quirk
    ErrMemory = 12,     // no memory; with status 5: the device is not opened by the client
    ErrSecure = 13,     // with status 5: encrypted transport required
    ErrNotAllowed = 14, // with status 5: the device is not allowed on this port
    ErrInvalid = 19,    // invalid entry/port pair, device not opened, key refused
    ErrAborted = 32,    // transfer aborted (status 2)
    ErrNoConfig = 53,   // descriptor, configuration or interface setting not available
    ErrState = 71,      // payload short, or the device file in the wrong state
};

// The server's own messages.
enum : uint32_t {
    MsgDeviceRemoved = 0x11,
    MsgNotice = 0x13,
};

inline uint32_t getBe32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
inline uint16_t getBe16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline void putBe32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
inline void putBe16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline uint32_t getLe32(const uint8_t *p) {
    return p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
inline void putLe32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// A request header as received.
struct Request {
    uint32_t word0 = 0;
    uint32_t command = 0;
    uint32_t tag = 0;
    uint32_t length = 0;

    static Request parse(const uint8_t *h) {
        return Request{getBe32(h), getBe32(h + 4), getBe32(h + 8), getBe32(h + 12)};
    }
    // Bits 31..8: the count field (packet descriptors of a submit, flags of an open).
    uint32_t count() const { return word0 >> 8; }
};

// A reply header in wire form.
struct Reply {
    uint8_t bytes[ReplySize];

    Reply(uint32_t word0, uint32_t code, uint32_t tag, uint32_t length, uint32_t status, uint32_t error) {
        putBe32(bytes, word0);
        putBe32(bytes + 4, code);
        putBe32(bytes + 8, tag);
        putBe32(bytes + 12, length);
        putBe32(bytes + 16, status);
        putBe32(bytes + 20, error);
    }
};

} // namespace usbwire
