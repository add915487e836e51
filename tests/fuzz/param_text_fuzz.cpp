// Parameter values come from forms, the parameter file, mail commands and SNMP: every
// kind must take or refuse any bytes without harm, and its text forms stay bounded.
#include "core/param.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

const int32_t intRange[] = {-5, 1000};
const int32_t boolRange[] = {0, 1};
const int32_t textRange[] = {0, 64};
P3Option options[] = {{"any", "Any", ""}, {"tls12", "TLS 1.2", "idx3"}, {"x", "X", "idx"}};

void exercise(Param &p, const uint8_t *data, size_t size, int asnType) {
    std::string text(reinterpret_cast<const char *>(data), size);
    p.validate(text.c_str());
    p.setFromText(text.c_str(), static_cast<int>(text.size()));
    p.setText(text.c_str(), -1);
    char buf[80];
    for (size_t n : {0ul, 1ul, 5ul, 18ul, 20ul, 40ul, sizeof buf}) {
        if (n == 0) continue; // size 0 is unbounded: the callers that use it know the form
        int w = p.toText(buf, n, true);
        if (w < 0 || static_cast<size_t>(w) > n) __builtin_trap();
        p.getText(size ? data[0] : -1, buf, n);
    }
    const void *ptr;
    size_t len;
    if (p.getSnmpValue(ptr, len) && len > 0) {
        volatile uint8_t sink = static_cast<const uint8_t *>(ptr)[len - 1];
        (void)sink;
    }
    for (int phase = 0; phase <= 5; ++phase)
        p.setBySnmp(phase, data, asnType, size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    uint8_t select = data[0];
    ++data;
    --size;
    int asnType = (select & 0x10) ? 4 : (select & 0x20) ? 0x40 : 2;
    uint32_t flags = (select & 0x80) ? (ParamConcealed | ParamSlashes | ParamEmptyDefault) : ParamAddressText;
    switch (select % 9) {
    case 0: {
        IntParam p("n", 2, intRange, 0, 1);
        exercise(p, data, size, asnType);
        break;
    }
    case 1: {
        BoolParam p("b", 2, boolRange, 0, 0);
        exercise(p, data, size, asnType);
        break;
    }
    case 2: {
        P3List p("l", 3, options, (select & 0x40) ? ParamSnmpText : 0, "any");
        exercise(p, data, size, asnType);
        break;
    }
    case 3: {
        StringParam p("s", 2, textRange, flags, "dflt");
        exercise(p, data, size, asnType);
        break;
    }
    case 4: {
        StringParam p("disp_def", 2, textRange, 0, "");
        exercise(p, data, size, asnType);
        break;
    }
    case 5: {
        MacParam p("m", 0, nullptr, 0, "");
        exercise(p, data, size, asnType);
        break;
    }
    case 6: {
        IpParam p("ip_addr", 0, nullptr, 0, "0.0.0.0");
        exercise(p, data, size, asnType);
        break;
    }
    case 7: {
        Ip6Address p("i6", 0, nullptr, 0, "::");
        exercise(p, data, size, asnType);
        break;
    }
    default: {
        InetParam p("i", 0, nullptr, 0, "0.0.0.0");
        exercise(p, data, size, asnType);
        break;
    }
    }
    return 0;
}
