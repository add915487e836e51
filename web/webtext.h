// Small text helpers of the web server.
#pragma once

#include <cstddef>
#include <string>

class Param;
class StringParam;

// The stored text of a text parameter (a secret as it is, not concealed); empty for null.
std::string paramString(StringParam *p);
// The display text of any parameter; empty for null.
std::string paramDisplay(Param *p);

// HTML-escaped copy of a text from outside (header values, parameter values, file
// names): '&', '<', '>', '"' and '\'' become entities.
std::string htmlEscaped(const char *text);
// The same into a buffer of size bytes (always terminated); the length written. Never
// cuts an entity in half.
int htmlEscapeInto(const char *text, char *out, int size);
