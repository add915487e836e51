// Arbitrary bytes as a compiled message catalogue: the reader takes it or refuses it,
// and look-ups stay inside the data.

#include "core/catalogue.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    MessageCatalogue catalogue;
    catalogue.parse(data, size);
    for (const char *message : {"Access denied", "", "a", "zzz"}) {
        const char *t = catalogue.translate(message);
        if (t == nullptr) std::abort();
        (void)std::strlen(t);
    }
    return 0;
}
