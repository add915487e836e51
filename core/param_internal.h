// Helpers shared by the files of the parameter objects; not for use elsewhere.
#pragma once

#include "core/param.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The buffer of the calling thread that an SNMP read of a text hands out: it holds the
// text until the same thread's next SNMP read of a text (the agent copies the bytes at
// once), and no reader can keep a parameter's text alive.
std::string &snmpTextBuffer();

// The integer an SNMP write carries: the value bytes in native order, 1, 2, 4 or 8 of
// them. False for any other length or no value.
bool snmpInteger(const uint8_t *value, size_t length, int64_t &out);

// Copies the first length characters (length < 0: up to the terminator) of text into
// buffer (size bytes) with a terminator; false when they do not fit.
bool copyText(const char *text, int length, char *buffer, size_t size);

// The atoi rule over at most length characters (length < 0: up to the terminator):
// leading white space, an optional sign, the leading digits; 0 when there are none.
// A number beyond the 32-bit range saturates.
int32_t atoiRule(const char *text, int length);

// A parameter flagged internal or absent is not reachable over SNMP.
constexpr uint32_t ParamNoSnmp = ParamInternal | ParamAbsent;
