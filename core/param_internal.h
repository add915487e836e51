// Helpers shared by the files of the parameter objects; not for use elsewhere.
#pragma once

#include "core/param.h"

#include <cstddef>
#include <cstdint>

// A text copy owned by a parameter. Copies are chained and all of them live until the
// parameter is destroyed, so a text pointer handed to a reader stays valid while
// another thread replaces the value (values change rarely, so the chain stays short).
struct ParamText {
    ParamText *next;
    char *text() { return reinterpret_cast<char *>(this + 1); }
};

// A terminated copy of length characters, backslashes turned into slashes when asked:
// the copy of the chain that holds this text already, else a new one at its head. So
// the chain grows only with the number of distinct values a parameter has held. Null
// when no memory is left.
ParamText *keepText(ParamText *&chain, const char *text, size_t length, bool slashes = false);
// Frees the whole chain.
void freeTexts(ParamText *&chain);

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
