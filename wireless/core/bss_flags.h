// The security flags of a scan listing: one WPA, RSN or OSEN element written as
// "[<proto>-<key managements>-<pairwise ciphers>[-preauth]]", or "[<proto>-?]" when the
// element cannot be decoded. Kept apart so that only this file needs the RSN vocabulary.
#pragma once

#include <cstdint>
#include <string>

void bss_security_flags(std::string &out, const char *proto, const uint8_t *ie);

// The vendor types of the WPA and OSEN elements.
constexpr uint32_t BSS_WPA_VENDOR_TYPE = 0x0050f201;
constexpr uint32_t BSS_OSEN_VENDOR_TYPE = 0x506f9a12;
