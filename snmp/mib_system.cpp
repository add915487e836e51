// The device's system group under the enterprise arc (description, name, MAC address,
// serial-number parts, hardware, firmware and software versions) with the action
// object that resets the parameters and stops the daemon, and prtGeneralReset of the
// Printer MIB for managers that expect a printer. The values come from the product
// description and the version words, not from parameters.

#include "core/master.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "snmp/snmp_internal.h"
#include "snmp/snmp_lib.h"

#include <cstdio>
#include <cstring>

namespace {

// The action values of ENT.2.8.1.
constexpr long ActionFactoryReset = 9;
constexpr long ActionStop = 10;

enum : u_char {
    IdName = 2,
    IdMac = 3,
    IdSerialNo = 4,
    IdProductId = 5,
    IdZero6 = 6,
    IdZero7 = 7,
    IdZero8 = 8,
    IdFirmware = 9,
    IdYear = 10,
    IdMonth = 11,
    IdHwMajor = 13,
    IdHwMinor = 14,
    IdSwVersion = 15,
    IdSwRelease = 16,
    IdSwSubrelease = 17,
    IdZero18 = 18,
    IdAction = 19,
    IdDescription = 20,
};

int write_deviceAction(int action, u_char *value, u_char type, size_t length, u_char *, oid *, size_t);
int write_prtGeneralReset(int, u_char *, u_char, size_t, u_char *, oid *, size_t) {
    // Accepted and ignored: the object keeps reading notResetting.
    return SNMP_ERR_NOERROR;
}

long integerHolder = 0;
long prtResetHolder = 0;
char description[128 + 64];

u_char *var_deviceSystem(struct variable *vp, oid *name, size_t *length, int exact, size_t *varLength,
                         WriteMethod **writeMethod) {
    if (header_generic(vp, name, length, exact, varLength, writeMethod) != MATCH_SUCCEEDED) {
        // A SET addressed to any instance below the action object still reaches it.
        if (vp->magic == IdAction) *writeMethod = write_deviceAction;
        return nullptr;
    }
    const ProductParams &product = productParams();
    *varLength = sizeof integerHolder;
    switch (vp->magic) {
    case IdName:
        *varLength = std::strlen(product.defaultName);
        return reinterpret_cast<u_char *>(const_cast<char *>(product.defaultName));
    case IdMac:
        *varLength = 6;
        return const_cast<u_char *>(product.factoryMac);
    case IdDescription:
        if (description[0] == '\0')
            std::snprintf(description, sizeof description, "KVX %s; version %d.%d.%d", product.productName,
                          static_cast<int>(SoftwareVersionWord >> 24),
                          static_cast<int>((SoftwareVersionWord >> 16) & 0xff),
                          static_cast<int>(SoftwareVersionWord & 0xffff));
        *varLength = std::strlen(description);
        return reinterpret_cast<u_char *>(description);
    case IdSerialNo:
        integerHolder = product.serialNo;
        break;
    case IdProductId:
        integerHolder = product.productId;
        break;
    case IdFirmware:
        integerHolder = firmwareVersionNumber();
        break;
    case IdYear:
        integerHolder = product.year;
        break;
    case IdMonth:
        integerHolder = product.month;
        break;
    case IdHwMajor:
        integerHolder = product.hwMajor;
        break;
    case IdHwMinor:
        integerHolder = product.hwMinor;
        break;
    case IdSwVersion:
        integerHolder = SoftwareVersionWord >> 24;
        break;
    case IdSwRelease:
        integerHolder = (SoftwareVersionWord >> 16) & 0xff;
        break;
    case IdSwSubrelease:
        integerHolder = SoftwareVersionWord & 0xffff;
        break;
    case IdAction:
        *writeMethod = write_deviceAction;
        integerHolder = 0;
        break;
    case IdZero6:
    case IdZero7:
    case IdZero8:
    case IdZero18:
        integerHolder = 0;
        break;
    default:
        return nullptr;
    }
    return reinterpret_cast<u_char *>(&integerHolder);
}

int write_deviceAction(int action, u_char *value, u_char type, size_t length, u_char *, oid *, size_t) {
    // Only an INTEGER is an action: any other type is refused before anything happens.
    if (action == MODE_SET_RESERVE1) {
        if (type != ASN_INTEGER) return SNMP_ERR_WRONGTYPE;
        if (value == nullptr || length != sizeof(long)) return SNMP_ERR_WRONGLENGTH;
        return SNMP_ERR_NOERROR;
    }
    if (action != MODE_SET_ACTION || value == nullptr || length != sizeof(long)) return SNMP_ERR_NOERROR;
    long v;
    std::memcpy(&v, value, sizeof v);
    if (v == ActionFactoryReset) {
        ptable().reset();
        requestShutDown();
    } else if (v == ActionStop) {
        requestShutDown();
    }
    return SNMP_ERR_NOERROR;
}

u_char *var_prtCompat(struct variable *vp, oid *name, size_t *length, int exact, size_t *varLength,
                      WriteMethod **writeMethod) {
    if (header_simple_table(vp, name, length, exact, varLength, writeMethod, 1) != MATCH_SUCCEEDED) {
        *writeMethod = write_prtGeneralReset;
        return nullptr;
    }
    *writeMethod = write_prtGeneralReset;
    prtResetHolder = 3; // notResetting
    *varLength = sizeof prtResetHolder;
    return reinterpret_cast<u_char *>(&prtResetHolder);
}

} // namespace

int requestShutDown() {
    requestStop(1);
    return 0;
}

void init_kvx_mib() {
    static struct variable3 systemGroup[] = {
        {IdDescription, ASN_OCTET_STR, RONLY, var_deviceSystem, 2, {1, 1}},
        {IdName, ASN_OCTET_STR, RONLY, var_deviceSystem, 3, {2, 1, 2}},
        {IdMac, ASN_OCTET_STR, RONLY, var_deviceSystem, 3, {2, 1, 3}},
        {IdProductId, ASN_INTEGER, RONLY, var_deviceSystem, 3, {2, 1, 4}},
        {IdZero8, ASN_INTEGER, RONLY, var_deviceSystem, 3, {2, 1, 5}},
        {IdFirmware, ASN_INTEGER, RONLY, var_deviceSystem, 3, {2, 1, 6}},
        {IdZero6, ASN_INTEGER, RONLY, var_deviceSystem, 3, {2, 1, 7}},
        {IdZero7, ASN_INTEGER, RONLY, var_deviceSystem, 3, {2, 1, 8}},
        {IdSerialNo, ASN_INTEGER, RONLY, var_deviceSystem, 3, {2, 1, 9}},
        {IdYear, ASN_INTEGER, RONLY, var_deviceSystem, 3, {2, 1, 10}},
        {IdMonth, ASN_INTEGER, RONLY, var_deviceSystem, 3, {2, 1, 11}},
        {IdSwVersion, ASN_INTEGER, RONLY, var_deviceSystem, 3, {2, 1, 12}},
        {IdSwRelease, ASN_INTEGER, RONLY, var_deviceSystem, 3, {2, 1, 13}},
        {IdSwSubrelease, ASN_INTEGER, RONLY, var_deviceSystem, 3, {2, 1, 14}},
        {IdHwMajor, ASN_INTEGER, RONLY, var_deviceSystem, 3, {2, 1, 16}},
        {IdHwMinor, ASN_INTEGER, RONLY, var_deviceSystem, 3, {2, 1, 17}},
        {IdZero18, ASN_INTEGER, RONLY, var_deviceSystem, 3, {2, 1, 33}},
        {IdAction, ASN_INTEGER, RWRITE, var_deviceSystem, 3, {2, 8, 1}},
    };
    register_mib("KVX-System", reinterpret_cast<struct variable *>(systemGroup), sizeof(struct variable3),
                 sizeof systemGroup / sizeof systemGroup[0], EnterpriseArc, EnterpriseArcLength);

    static oid printerMib[] = {1, 3, 6, 1, 2, 1, 43};
    static struct variable4 prtCompat[] = {
        {1, ASN_INTEGER, RWRITE, var_prtCompat, 4, {5, 1, 1, 3}},
    };
    register_mib("KVX-PrtCompat", reinterpret_cast<struct variable *>(prtCompat), sizeof(struct variable4), 1,
                 printerMib, sizeof printerMib / sizeof printerMib[0]);
    std::fprintf(stderr, "%s not RQ9...\n", "init_kvx_mib");
}
