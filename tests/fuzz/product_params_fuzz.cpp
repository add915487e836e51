// Arbitrary bytes as the product description: the record and the flash partition
// readers must stay within their buffers and keep their texts terminated.
#include "core/sysinfo.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    std::vector<uint8_t> copy(data, data + size);
    FILE *f = fmemopen(copy.data(), copy.size(), "r");
    if (f == nullptr) return 0;

    ProductParams p;
    readProductParamsStream(p, f);
    if (strnlen(p.productName, sizeof p.productName) == sizeof p.productName ||
        strnlen(p.defaultName, sizeof p.defaultName) == sizeof p.defaultName ||
        strnlen(p.deviceTypes, sizeof p.deviceTypes) == sizeof p.deviceTypes || p.usbTypeCount < 0)
        __builtin_trap();
    std::string serial = serialNumberText(p);

    for (int partition = 0; partition < 4; partition++) {
        std::rewind(f);
        uint32_t sizeKiB;
        std::string name;
        readMtdPartitionStream(f, partition, sizeKiB, name);
        if (name.size() > 31) __builtin_trap();
    }
    std::fclose(f);
    return 0;
}
