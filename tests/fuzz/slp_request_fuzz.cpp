// A received SLP service request: the header, the previous-responder list and the
// predicate with its attributes are read within the datagram.
#include "net/slp_message.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> message(data, data + size);
    SlpRequest request;
    if (parseSlpRequest(message.data(), message.size(), request) && request.predicateLength > SlpMaxPredicate)
        __builtin_trap();
    return 0;
}
