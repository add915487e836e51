// The last credential a WPS run received, as the 128-byte record the Wi-Fi manager copies
// from another thread.
#pragma once

#include <cstddef>
#include <cstdint>

struct wps_credential_record {
    uint8_t ssid[32];
    uint32_t ssid_len;
    uint16_t auth_type;
    uint16_t encr_type;
    uint8_t key_idx;
    uint8_t key[64];
    uint8_t unused1[3];
    uint32_t key_len;
    uint8_t mac_addr[6];
    uint8_t unused2[2];
    uint32_t cred_attr;     // only meaningful during the credential hook
    uint32_t cred_attr_len; // only meaningful during the credential hook
};
static_assert(sizeof(wps_credential_record) == 128, "the credential record is 128 bytes");
static_assert(offsetof(wps_credential_record, ssid_len) == 32);
static_assert(offsetof(wps_credential_record, auth_type) == 36);
static_assert(offsetof(wps_credential_record, encr_type) == 38);
static_assert(offsetof(wps_credential_record, key_idx) == 40);
static_assert(offsetof(wps_credential_record, key) == 41);
static_assert(offsetof(wps_credential_record, key_len) == 108);
static_assert(offsetof(wps_credential_record, mac_addr) == 112);

// Stores a received credential (the supplicant's thread) and copies it out (any thread);
// both take the record's lock, so a reader never sees half of a new credential.
void supp_wps_store_received_credential(const wps_credential_record *cred);
int supp_wps_copy_received_credential(wps_credential_record *dst);
