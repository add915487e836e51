#include "wireless/eap/eap_methods.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

eap_peer_method *registry;

void method_free(eap_peer_method *m) {
    if (m->free != nullptr)
        m->free(m);
    else
        free(m);
}

} // namespace

eap_peer_method *eap_peer_method_new(int version, int vendor, unsigned int method, const char *name) {
    auto *m = static_cast<eap_peer_method *>(calloc(1, sizeof(eap_peer_method)));
    if (m == nullptr) return nullptr;
    m->version = version;
    m->vendor = vendor;
    m->method = method;
    m->name = name;
    return m;
}

int eap_peer_method_add(eap_peer_method *method) {
    if (method == nullptr) return -1;
    if (method->name == nullptr || method->version != EAP_PEER_METHOD_INTERFACE_VERSION) {
        method_free(method);
        return -1;
    }
    eap_peer_method **tail = &registry;
    for (eap_peer_method *m = registry; m != nullptr; m = m->next) {
        if ((m->vendor == method->vendor && m->method == method->method) ||
            strcmp(m->name, method->name) == 0) {
            method_free(method);
            return -2;
        }
        tail = &m->next;
    }
    method->next = nullptr;
    *tail = method;
    return 0;
}

const eap_peer_method *eap_peer_method_find(int vendor, unsigned int method) {
    for (const eap_peer_method *m = registry; m != nullptr; m = m->next)
        if (m->vendor == vendor && m->method == method) return m;
    return nullptr;
}

unsigned int eap_peer_method_type_by_name(const char *name, int *vendor) {
    for (const eap_peer_method *m = registry; m != nullptr; m = m->next)
        if (strcmp(m->name, name) == 0) {
            *vendor = m->vendor;
            return m->method;
        }
    *vendor = EAP_VENDOR_IETF;
    return EAP_TYPE_NONE;
}

const char *eap_peer_method_name_by_type(int vendor, unsigned int type) {
    if (vendor == EAP_VENDOR_IETF && type == EAP_TYPE_EXPANDED) return "expanded";
    const eap_peer_method *m = eap_peer_method_find(vendor, type);
    return m != nullptr ? m->name : nullptr;
}

size_t eap_peer_method_list_text(char *buf, size_t size) {
    if (size == 0) return 0;
    buf[0] = '\0';
    size_t pos = 0;
    for (const eap_peer_method *m = registry; m != nullptr; m = m->next) {
        int n = snprintf(buf + pos, size - pos, "%s%s", pos == 0 ? "" : " ", m->name);
        if (n < 0 || static_cast<size_t>(n) >= size - pos) {
            buf[pos] = '\0';
            break;
        }
        pos += static_cast<size_t>(n);
    }
    return pos;
}

const eap_peer_method *eap_peer_method_list(size_t *count) {
    *count = eap_peer_method_count();
    return registry;
}

size_t eap_peer_method_count() {
    size_t n = 0;
    for (const eap_peer_method *m = registry; m != nullptr; m = m->next)
        n++;
    return n;
}

void eap_peer_methods_unregister_all() {
    while (registry != nullptr) {
        eap_peer_method *m = registry;
        registry = m->next;
        method_free(m);
    }
}

int eap_peer_register_methods() {
    int (*const regs[])() = {eap_peer_md5_register,  eap_peer_tls_register,  eap_peer_mschapv2_register,
                             eap_peer_peap_register, eap_peer_ttls_register, eap_peer_gtc_register,
                             eap_peer_otp_register,  eap_peer_leap_register, eap_peer_fast_register};
    for (auto reg : regs) {
        int ret = reg();
        if (ret != 0) return ret;
    }
    return 0;
}
