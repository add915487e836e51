#include "wireless/core/wps_credential.h"

#include <cstring>
#include <mutex>

namespace {
std::mutex cred_lock;
wps_credential_record last_cred{};
} // namespace

void supp_wps_store_received_credential(const wps_credential_record *cred) {
    std::lock_guard<std::mutex> lock(cred_lock);
    memcpy(&last_cred, cred, sizeof(last_cred));
}

int supp_wps_copy_received_credential(wps_credential_record *dst) {
    std::lock_guard<std::mutex> lock(cred_lock);
    memcpy(dst, &last_cred, sizeof(last_cred));
    return 0;
}
