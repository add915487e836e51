// Small helpers the model's files share: numbers and options in control words, and a
// lookup in a list of numbers (commands, ciphers, frequencies, interface types).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nlsim {

// A whole word as an integer within [lo, hi]; base 0 takes decimal, 0x hex and 0 octal
// as strtoll does. False on anything else, out untouched.
bool number(const std::string &t, long long lo, long long hi, long long &out, int base = 0);

// The value of the last "key=value" word from index from on; found says whether there
// was one.
std::string option(const std::vector<std::string> &w, size_t from, const std::string &key, bool &found);

bool contains(const std::vector<uint32_t> &v, uint32_t x);

} // namespace nlsim
