// Hex text to bytes and back for the wireless unit tests' vectors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline std::vector<uint8_t> unhex(const std::string &text) {
    std::vector<uint8_t> out;
    int hi = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            continue; // blanks between groups
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<uint8_t>(hi << 4 | v));
            hi = -1;
        }
    }
    return out;
}

inline std::string hex(const uint8_t *p, size_t len) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < len; i++) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

inline std::string hex(const std::vector<uint8_t> &v) {
    return hex(v.data(), v.size());
}

inline std::vector<uint8_t> bytes(const std::string &s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}
