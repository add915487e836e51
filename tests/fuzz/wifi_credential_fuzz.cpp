// A credential record of any bytes: nothing is read past its fields, and a take-over
// leaves only values the parameters accept.
#include "net/wifi.h"
#include "wireless/core/wps_credential.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    wps_credential_record record{};
    memcpy(&record, data, size < sizeof record ? size : sizeof record);
    wlan_take_credential(record);
    return 0;
}
