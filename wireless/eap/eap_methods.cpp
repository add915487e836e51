#include "wireless/eap/eap_methods.h"

#include <cstring>
#include <vector>

namespace {
std::vector<eap_method> methods;
}

int eap_peer_method_register(const eap_method *method) {
    if (method == nullptr || method->name == nullptr) return -1;
    for (const eap_method &m : methods)
        if (strcmp(m.name, method->name) == 0 || (m.vendor == method->vendor && m.method == method->method))
            return -1;
    methods.push_back(*method);
    return 0;
}

unsigned int eap_peer_get_type(const char *name, int *vendor) {
    for (const eap_method &m : methods)
        if (strcmp(m.name, name) == 0) {
            *vendor = m.vendor;
            return m.method;
        }
    *vendor = EAP_VENDOR_IETF;
    return EAP_TYPE_NONE;
}

const char *eap_get_name(int vendor, unsigned int type) {
    for (const eap_method &m : methods)
        if (m.vendor == vendor && m.method == type) return m.name;
    return nullptr;
}

size_t eap_peer_method_count() {
    return methods.size();
}

void eap_peer_unregister_methods() {
    methods.clear();
}
