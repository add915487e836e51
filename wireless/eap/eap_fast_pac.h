// The EAP-FAST PAC store: Protected Access Credentials in a list (newest first), read
// from and written to a PAC file in text form or, on request, in binary form. A path
// beginning "blob://" names a configuration blob instead of a file.
#pragma once

#include <cstddef>
#include <cstdint>

struct eap_peer_sm;

enum { PAC_TYPE_TUNNEL_PAC = 1, PAC_TYPE_MACHINE_AUTHENTICATION = 2, PAC_TYPE_USER_AUTHORIZATION = 3 };
constexpr size_t EAP_FAST_PAC_KEY_LEN = 32;
// PAC attribute types are 14 bits; servers set the top bit (mandatory) as on TLVs, so the
// two flag bits are masked off before the type is compared.
constexpr uint16_t EAP_FAST_PAC_ATTR_TYPE_MASK = 0x3fff;

struct eap_fast_pac {
    eap_fast_pac *next;
    uint16_t pac_type;
    uint8_t pac_key[EAP_FAST_PAC_KEY_LEN];
    uint8_t *pac_opaque;
    size_t pac_opaque_len;
    uint8_t *pac_info;
    size_t pac_info_len;
    uint8_t *a_id;
    size_t a_id_len;
    uint8_t *i_id;
    size_t i_id_len;
    uint8_t *a_id_info;
    size_t a_id_info_len;
};

eap_fast_pac *eap_fast_find_pac(eap_fast_pac *root, const uint8_t *a_id, size_t a_id_len, uint16_t pac_type);
// Replaces the entry of the same type and A-ID (forgetting it as current PAC) with a
// copy of entry at the head. 0 or -1.
int eap_fast_add_pac(eap_fast_pac **root, eap_fast_pac **current, const eap_fast_pac *entry);
// Drops every entry after the max-th; the number dropped.
size_t eap_fast_trim_pac_list(eap_fast_pac *root, size_t max);
void eap_fast_free_pac_list(eap_fast_pac *root);

// Loading appends to *root; a missing file or blob is an empty store (0); -1 on any
// error (the PACs read before it stay in the list). sm may be null (no blobs).
int eap_fast_load_pac_text(eap_peer_sm *sm, eap_fast_pac **root, const char *path);
int eap_fast_save_pac_text(eap_peer_sm *sm, eap_fast_pac *root, const char *path);
int eap_fast_load_pac_binary(eap_peer_sm *sm, eap_fast_pac **root, const char *path);
int eap_fast_save_pac_binary(eap_peer_sm *sm, eap_fast_pac *root, const char *path);
// The parsers behind the loaders, on bytes in memory.
int eap_fast_parse_pac_text(eap_fast_pac **root, const uint8_t *buf, size_t len);
int eap_fast_parse_pac_binary(eap_fast_pac **root, const uint8_t *buf, size_t len);
