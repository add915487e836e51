// Arbitrary bytes as a certificate or request file of the store (PEM or DER): loading
// them into the work object either fails or fills attributes that stay within their
// texts; the template values read from the object never overrun their buffer.
#include "web/cert.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the kind (certificate, request, CA) and the N-th certificate.
    static const int selectors[] = {CertOwn, CertInstalled | (2 << 8), CertRequest, CertCa};
    int selector = selectors[data[0] % 4];
    if (cert::loadBytes(selector, data + 1, size - 1)) {
        CertView v = cert::view();
        for (const std::string &text : v.values)
            if (text.size() >= cert::PoolSize) __builtin_trap();
    }
    char buffer[64];
    for (const char *name :
         {"certself_cn", "certself_san", "certrequ_text", "certself_end", "certself_bits"}) {
        int n = certVariable(name, buffer, sizeof buffer);
        if (n >= static_cast<int>(sizeof buffer) || (n > 0 && std::strlen(buffer) != static_cast<size_t>(n)))
            __builtin_trap();
    }
    return 0;
}
