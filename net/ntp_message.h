// The SNTP client's message and the time zone it sets: the 48-byte client request, the
// bounded reading of a reply's transmit time, and the TZ text built from a time-zone
// choice with its daylight-saving rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/time.h>

constexpr size_t NtpMessageSize = 48;
// Seconds from 1900 (the SNTP era) to 1970.
constexpr uint32_t NtpUnixOffset = 2208988800u;

// Leap indicator 0, version 1, client mode; poll 4; everything else zero.
void buildNtpRequest(uint8_t (&request)[NtpMessageSize]);

// The transmit time of a reply of exactly 48 bytes (microseconds 0). A reply of any
// other length, or without a transmit time, is refused. Times below the 1970 offset
// belong to the era after 2036.
bool parseNtpReply(const uint8_t *reply, size_t length, timeval &time);

// The POSIX daylight-saving rule of a region ("EU": "M3.5.0,M10.5.0"), compared without
// regard to case; null for a region without one.
const char *daylightRule(const char *region);

// The TZ text of a time-zone choice: value such as "CET/CEST (EU)", description such
// as "UTC+1:00 EU". "CET-1CEST,M3.5.0,M10.5.0"; without a rule only the standard name
// and the offset ("GMT0"). Names the C library would not take as they stand are quoted
// ("<C3T>"); one shorter than three characters, which it takes in no form, becomes the
// quoted offset ("CT" at UTC+8:00: "<+08>-8").
// At most size - 1 characters (127 for the daemon's buffer); the length written.
int buildTimeZone(const char *value, const char *description, char *out, size_t size);
