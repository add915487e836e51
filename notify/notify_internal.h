// Helpers shared by the notification task's files.
#pragma once

#include "core/param.h"

#include <cstdint>
#include <string>

class Buffer;

namespace notify {

// The text of a parameter (a copy; "" for null).
std::string text(Param *p);
// The parameter has a value (a text that is not empty, an address that is set).
bool isSet(Param *p);
// The device's IPv4 address text.
std::string ipText();
// Seconds of the tick clock since start.
int64_t tickSeconds();

// The message after the envelope: MIME headers, the body and the attachment (see
// mail_content.cpp); false when no memory could be had.
bool composeMessage(const Buffer &body, const char *attachName, const Buffer *attach, std::string &out);
// The text of the DATA phase: every line end CR LF, a dot at a line's start doubled.
std::string dataText(const std::string &message);

} // namespace notify
