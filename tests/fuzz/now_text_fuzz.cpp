// Feeds arbitrary bytes to the time page's "now" parser: it must stay inside the given
// length and only accept times whose fields are in range.

#include "web/pages_net.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // A copy of exactly the input: no terminating zero to lean on.
    std::vector<char> text(data, data + size);
    struct tm t {};
    if (parseNowText(text.data(), text.size(), t)) {
        if (t.tm_year < 70 || t.tm_year > 199 || t.tm_mon < 0 || t.tm_mon > 11 || t.tm_mday < 1 ||
            t.tm_mday > 31 || t.tm_hour < 0 || t.tm_hour > 23 || t.tm_min < 0 || t.tm_min > 59 ||
            t.tm_sec < 0 || t.tm_sec > 59)
            std::abort();
    }
    return 0;
}
