// The EAP peer method registry: methods register by vendor and type with their name;
// the configuration resolves the names of a network's "eap" field through it.
#pragma once

#include <cstddef>

enum { EAP_VENDOR_IETF = 0 };
enum { EAP_TYPE_NONE = 0 };

struct eap_method_type {
    int vendor;
    unsigned int method;
};

struct eap_method {
    int vendor;
    unsigned int method;
    const char *name;
};

// Adds a method; -1 when the name or the vendor and type are already taken.
int eap_peer_method_register(const eap_method *method);
// The type of a method name (vendor stored in *vendor); EAP_TYPE_NONE when unknown.
unsigned int eap_peer_get_type(const char *name, int *vendor);
// The name of a registered method, null when unknown.
const char *eap_get_name(int vendor, unsigned int type);
size_t eap_peer_method_count();
void eap_peer_unregister_methods();
