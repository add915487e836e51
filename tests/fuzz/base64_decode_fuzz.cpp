// Base64 text from outside (HTTP Basic credentials, mail attachments): the decoder
// must stay inside its output for any text and any output size, keep the output
// terminated, and decode what the encoder wrote back to the same bytes.
#include "core/utils_text.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the output size; the rest is the text.
    const size_t outSize = data[0];
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    std::vector<uint8_t> out(outSize);
    size_t n = base64Decode(text.c_str(), out.data(), outSize);
    if (outSize > 0 && (n >= outSize || out[n] != 0)) std::abort();
    if (outSize == 0 && n != 0) std::abort();

    // Round trip through the encoder with no line breaks inside the first line.
    std::vector<char> enc(4 * ((size - 1) / 3 + 1) + 3 * ((size - 1) / 57 + 2) + 1);
    base64Encode(data + 1, size - 1, enc.data(), enc.size(), -4 * static_cast<int>(size));
    std::vector<uint8_t> back(size + 1);
    size_t m = base64Decode(enc.data(), back.data(), back.size());
    if (m != size - 1 || std::memcmp(back.data(), data + 1, m) != 0) std::abort();
    return 0;
}
