// The CPU counter parser over arbitrary text in place of /proc/stat.
#include "core/load.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    std::vector<char> text(data, data + size);
    FILE *in = fmemopen(text.data(), text.size(), "r");
    if (in == nullptr) return 0;
    CpuCounters counters;
    if (parseCpuStat(in, counters) && (counters.total0 < 0 || counters.busy0 < 0)) __builtin_trap();
    std::fclose(in);
    return 0;
}
