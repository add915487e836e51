// Arbitrary bytes as a parameter file (the daemon's own and an uploaded one): the
// reader must survive them, and the file written afterwards must still be one line per
// saved parameter.

#include "core/ptable.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Ptable &table = ptable();
    if (size == 0) return 0;
    FILE *stream = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (stream == nullptr) return 0;
    table.readFile(stream, (data[0] & 1) != 0);
    std::fclose(stream);

    std::string text;
    if (!table.fileText(text)) std::abort();
    int saved = 0;
    int count = 0;
    Param **items = table.getItems(count);
    for (int i = 0; i < count; i++)
        if (!items[i]->hasFlags(ParamAbsent | ParamTemporary)) saved++;
    int lines = 0;
    for (char c : text)
        lines += c == '\n';
    if (lines != saved) std::abort();
    return 0;
}
