#include "sim/nlsim/util.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace nlsim {

bool number(const std::string &t, long long lo, long long hi, long long &out, int base) {
    if (t.empty() || t.size() > 20) return false;
    char *end = nullptr;
    errno = 0;
    long long v = std::strtoll(t.c_str(), &end, base);
    if (errno || *end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
}

std::string option(const std::vector<std::string> &w, size_t from, const std::string &key, bool &found) {
    found = false;
    std::string v;
    for (size_t k = from; k < w.size(); k++)
        if (w[k].compare(0, key.size() + 1, key + "=") == 0) {
            v = w[k].substr(key.size() + 1);
            found = true;
        }
    return v;
}

bool contains(const std::vector<uint32_t> &v, uint32_t x) {
    return std::find(v.begin(), v.end(), x) != v.end();
}

} // namespace nlsim
