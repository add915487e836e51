// Scan-plan texts ("SET sched_scan_plans") and background-scan parameters (the network
// field "bgscan") from the control interface: bounded parses that accept or refuse any
// text and never return a plan the driver limits forbid.
#include "wireless/core/bgscan.h"
#include "wireless/core/driver.h"
#include "wireless/core/sched_scan.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    text = text.c_str();
    if (data[0] & 1) {
        bgscan_simple_params p{};
        if (bgscan_simple_parse(text.c_str(), &p) == 0 && (p.short_interval < 1 || p.long_interval < 1))
            abort();
        return 0;
    }
    unsigned int max_plans = data[0] >> 4;
    sched_scan_plan *plans = nullptr;
    size_t num = 0;
    int ret = sched_scan_plans_parse(text.c_str(), max_plans, 3600, 100, &plans, &num);
    if (ret < 0 && (plans || num)) abort();
    if (ret == 0 && num) {
        if (max_plans && num > max_plans) abort();
        for (size_t i = 0; i < num; i++) {
            if (plans[i].interval == 0 || plans[i].interval > 3600 || plans[i].iterations > 100) abort();
            if ((i + 1 == num) != (plans[i].iterations == 0)) abort();
        }
    }
    free(plans);
    return 0;
}
