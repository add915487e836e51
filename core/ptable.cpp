// The parameter table: look-ups by name and index, the product's feature mask and the
// filtering of the parameters the product lacks, and the information texts of product,
// software and firmware.

#include "core/ptable.h"

#include "core/monilog.h"
#include "core/sysinfo.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

// Feature masks by product id.
struct FeatureRow {
    unsigned productId;
    uint32_t mask;
};
constexpr FeatureRow featureRows[] = {
    {278, 0x3eb000}, {295, 0x3eb000}, {287, 0x6ab000}, {282, 0x2b000},  {288, 0x2b000}, {294, 0x2b000},
    {296, 0x2b000},  {303, 0x2b000},  {305, 0x2b000},  {307, 0x2b000},  {315, 0x2b000}, {317, 0x2b000},
    {1000, 0x2b000}, {304, 0x2f000},  {306, 0x2f000},  {1001, 0x2f000}, {297, 0x27000}, {302, 0x27000},
    {283, 0x4000},   {284, 0x4000},   {298, 0x4000},   {314, 0x4000},
};

// The feature table: name and the feature bit its test needs (0 always holds, ~0 never).
constexpr uint32_t Always = 0;
constexpr uint32_t Never = ~0u;
struct FeatureName {
    const char *name;
    uint32_t bit;
};
constexpr FeatureName featureNames[] = {
    {"IPTABLES", Always}, {"NTP", Always},   {"SNMPD", Always}, {"BONJOUR", Always},  {"WPASUP", Always},
    {"EMAIL", 0x1000},    {"WLAN", 0x4000},  {"QMR", Always},   {"POSWITCH", 0x8000}, {"ACCCTRL", 0x2000},
    {"IPVLAN", 0x20000},  {"TRAPS", 0x1000}, {"UTAGS", Always}, {"UCOMP", 0x10000},   {"SYSLOG", Never},
};

bool startsWith(const char *text, const char *prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The decimal number after the last "_" of a name; -1 when there is none.
long indexAfterLastUnderscore(const char *name) {
    const char *u = std::strrchr(name, '_');
    if (u == nullptr || u[1] == '\0') return -1;
    long n = 0;
    for (const char *c = u + 1; *c; c++) {
        if (!std::isdigit(static_cast<unsigned char>(*c))) return -1;
        if (n < 100000) n = n * 10 + (*c - '0');
    }
    return n;
}

// A port-key keep-alive window: seven day characters, each "_" or the letter at its
// place in "sMtWTFS", then exactly six groups of ":" and one or two digits.
bool validKeepAlive(const char *text) {
    static const char days[] = "sMtWTFS";
    for (int i = 0; i < 7; i++)
        if (text[i] != '_' && text[i] != days[i]) return false;
    const char *c = text + 7;
    for (int group = 0; group < 6; group++) {
        if (*c++ != ':') return false;
        int digits = 0;
        while (std::isdigit(static_cast<unsigned char>(*c)) && digits < 3) {
            c++;
            digits++;
        }
        if (digits < 1 || digits > 2) return false;
    }
    return *c == '\0';
}

} // namespace

uint32_t productFeatureMask(unsigned productId) {
    for (const FeatureRow &row : featureRows)
        if (row.productId == productId) return row.mask;
    return 0;
}

bool productHasExtras(unsigned productId) {
    return productId == 287 || productId == 294 || productId == 295 || productId == 307;
}

Param *Ptable::lookup(const char *key) const {
    int lo = 0, hi = count_ - 1;
    while (lo <= hi) {
        int mid = lo + (hi - lo) / 2;
        Param *p = items_[mid];
        if (p == nullptr) return nullptr;
        int c = std::strcmp(p->name(), key);
        if (c == 0) return p;
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    return nullptr;
}

Param *Ptable::find(const char *name, int length, int index) const {
    if (name == nullptr || length < 0 || length > MaxNameLength || index == 0) return nullptr;
    char key[64];
    size_t n = strnlen(name, static_cast<size_t>(length));
    std::memcpy(key, name, n);
    key[n] = '\0';
    if (index != NoIndex)
        std::snprintf(key + n, sizeof key - n, "%u", static_cast<unsigned>(index) & 0xffffu);
    Param *p = lookup(key);
    return p != nullptr && !p->isAbsent() ? p : nullptr;
}

Param *Ptable::find(const char *name) const {
    if (name == nullptr) return nullptr;
    size_t n = strnlen(name, MaxNameLength + 1);
    return find(name, static_cast<int>(n), NoIndex);
}

int Ptable::maxIndex(const char *prefix, int length) const {
    if (prefix == nullptr || length < 0) return 0;
    int best = 0;
    for (int i = 0; i < count_; i++) {
        Param *p = items_[i];
        if (p == nullptr || p->hasFlags(ParamAbsent | ParamInternal)) continue;
        const char *name = p->name();
        if (strnlen(name, static_cast<size_t>(length)) < static_cast<size_t>(length) ||
            strncasecmp(name, prefix, static_cast<size_t>(length)) != 0)
            continue;
        const char *c = name + length;
        if (!std::isdigit(static_cast<unsigned char>(*c))) continue;
        long n = 0;
        while (std::isdigit(static_cast<unsigned char>(*c)) && n < 1000000)
            n = n * 10 + (*c++ - '0');
        if (n > best) best = static_cast<int>(n);
    }
    return best;
}

int Ptable::countVisible(uint32_t mask) const {
    int n = 0;
    for (int i = 0; i < count_; i++)
        if (items_[i] != nullptr && !items_[i]->hasFlags(mask | ParamAbsent)) n++;
    return n;
}

Param *Ptable::visibleAt(int index, uint32_t mask) const {
    if (index < 0) return nullptr;
    for (int i = 0; i < count_; i++) {
        if (items_[i] == nullptr || items_[i]->hasFlags(mask | ParamAbsent)) continue;
        if (index-- == 0) return items_[i];
    }
    return nullptr;
}

bool Ptable::on(const char *key) const {
    Param *p = lookup(key);
    return p != nullptr && p->isOn();
}

int Ptable::intValue(const char *key) const {
    auto *p = lookupAs<IntParam>(key);
    return p != nullptr ? p->value() : 0;
}

bool Ptable::listIs(const char *key, const char *keyword) const {
    auto *p = lookupAs<P3List>(key);
    return p != nullptr && p->equals(keyword);
}

bool Ptable::stringSet(const char *key) const {
    Param *p = lookup(key);
    return p != nullptr && p->hasValue();
}

bool Ptable::moniOn(unsigned bits) const {
    return on("monitoring") && (static_cast<unsigned>(intValue("moniflags")) & bits) != 0;
}

void Ptable::applyProductFeatures(const ProductParams &product) {
    const unsigned id = product.productId;
    const unsigned ports = product.usbPorts;
    usbPorts_ = ports;

    uint32_t mask = productFeatureMask(id);
    if (id == 283)
        if (Param *wifi = lookup("wifi")) wifi->setAbsent(true);
    if (auto *features = lookupAs<IntParam>("sw_features")) features->set(static_cast<int32_t>(mask));

    const bool extras = productHasExtras(id);
    const long filterLimit = ports < 8 ? 8 : ports / 2 + 2L * ports;
    bool filterMet = false;

    for (int i = 0; i < count_; i++) {
        Param *p = items_[i];
        if (p == nullptr) continue;
        const char *name = p->name();
        const uint32_t features = p->flags() & ParamFeatureMask;
        bool absent = false;
        if ((features & mask) != features) {
            absent = true;
        } else if (p->hasFlags(ParamNever)) {
            absent = true;
        } else if (!extras &&
                   (startsWith(name, "zqn_pkvalid_") || startsWith(name, "zqn_pkalive_") ||
                    startsWith(name, "wdav_") || startsWith(name, "moni") || startsWith(name, "syslogng"))) {
            absent = true;
        } else if (p->hasFlags(ParamPerPort)) {
            long limit = ports;
            if (std::strstr(name, "vlan") != nullptr) {
                limit = ports + 1L;
            } else if (startsWith(name, "ip_filter_")) {
                limit = filterLimit;
                filterMet = true;
            } else if (startsWith(name, "zqn_pk")) {
                limit = 2L * ports;
                if (startsWith(name, "zqn_pkalive_"))
                    if (auto *s = dynamic_cast<StringParam *>(p)) {
                        if (!validKeepAlive(s->getText().c_str())) {
                            // Back to the default without a change mark of its own.
                            bool wasChanged = s->isChanged();
                            s->setText(s->defaultText(), -1);
                            if (!wasChanged) s->clearChanged();
                        }
                    }
            }
            long index = indexAfterLastUnderscore(name);
            absent = index < 0 || index > limit;
        }
        if (absent) p->setAbsent(true);
    }

    auto setInt = [this](const char *key, long value) {
        if (auto *p = lookupAs<IntParam>(key)) p->set(static_cast<int32_t>(value));
    };
    setInt("usbPortNumber", ports);
    setInt("zqnPortKeyNumber", 2L * ports);
    setInt("vlanNumber", ports + 1L);
    setInt("ip_filterNumber", filterMet ? filterLimit : 0);
    setInt("macFilterNumber", 8);
}

void Ptable::applyProductFeatures() {
    applyProductFeatures(productParams());
}

void Ptable::destroyAll() {
    for (int i = 0; i < count_; i++) {
        delete items_[i];
        items_[i] = nullptr;
    }
}

bool hasFeature(const char *name, uint32_t featureMask) {
    if (name == nullptr) return false;
    for (const FeatureName &row : featureNames) {
        if (strcasecmp(row.name, name) != 0) continue;
        if (row.bit == Never) return false;
        return row.bit == Always || (featureMask & row.bit) != 0;
    }
    return false;
}

bool hasFeature(const char *name) {
    auto *features = dynamic_cast<IntParam *>(ptable().find("sw_features"));
    return hasFeature(name, features != nullptr ? static_cast<uint32_t>(features->value()) : 0);
}

int productInfo(const ProductParams &product, const char *key, char *buffer, size_t size) {
    if (key == nullptr) return std::snprintf(buffer, size, " -- 2Do --");
    if (!std::strcmp(key, "product_id") || !std::strcmp(key, "compat_id") || !std::strcmp(key, "oem_id"))
        return std::snprintf(buffer, size, "0");
    if (!std::strcmp(key, "product_name")) return std::snprintf(buffer, size, "%s", product.productName);
    if (!std::strcmp(key, "product_icon")) return std::snprintf(buffer, size, "MKZ-125");
    if (!std::strcmp(key, "default_name")) return std::snprintf(buffer, size, "%s", product.defaultName);
    struct Number {
        const char *key;
        uint32_t value;
    };
    const Number numbers[] = {
        {"year", product.year},
        {"month", product.month},
        {"serial_no", product.serialNo},
        {"creation_time", product.creationTime},
        {"hw_project", product.productId},
        {"usb_ports_phy", product.usbPorts},
        {"hw_major", product.hwMajor},
        {"hw_minor", product.hwMinor},
    };
    for (const Number &n : numbers)
        if (!std::strcmp(key, n.key)) return std::snprintf(buffer, size, "%d", static_cast<int>(n.value));
    if (!std::strcmp(key, "hw_address")) {
        const uint8_t *m = product.factoryMac;
        return std::snprintf(buffer, size, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4],
                             m[5]);
    }
    return std::snprintf(buffer, size, " -- 2Do --");
}

int productInfo(const char *key, char *buffer, size_t size) {
    return productInfo(productParams(), key, buffer, size);
}

int softwareInfo(const char *key, char *buffer, size_t size) {
    if (key != nullptr) {
        if (!std::strcmp(key, "compat_id") || !std::strcmp(key, "compat_level"))
            return std::snprintf(buffer, size, "0");
        if (!std::strcmp(key, "version"))
            return std::snprintf(buffer, size, "%d", static_cast<int>(SoftwareVersionWord >> 24));
        if (!std::strcmp(key, "release"))
            return std::snprintf(buffer, size, "%d", static_cast<int>((SoftwareVersionWord >> 16) & 0xff));
        if (!std::strcmp(key, "subrelease"))
            return std::snprintf(buffer, size, "%d", static_cast<int>(SoftwareVersionWord & 0xffff));
        if (!std::strcmp(key, "creation_time"))
            return std::snprintf(buffer, size, "%d", SoftwareCreationTime);
    }
    return std::snprintf(buffer, size, " -- 2Do --");
}

int firmwareInfo(const char *key, char *buffer, size_t size) {
    if (key != nullptr) {
        if (!std::strcmp(key, "firmware_version")) {
            auto version = moniLogHooks().firmwareVersion;
            return std::snprintf(buffer, size, "%d", version != nullptr ? version() : 0);
        }
        if (!std::strcmp(key, "compat_id") || !std::strcmp(key, "compat_level"))
            return std::snprintf(buffer, size, "0");
        if (!std::strcmp(key, "creation_time"))
            return std::snprintf(buffer, size, "%d", SoftwareCreationTime);
    }
    return std::snprintf(buffer, size, " -- 2Do --");
}

namespace {

// One "%d" conversion as sscanf does it (blanks, sign, digits), clamped to int range
// instead of overflowing; false when no digit follows.
bool scanNumber(const char *&c, long &out) {
    const char *p = c;
    while (std::isspace(static_cast<unsigned char>(*p)))
        p++;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    long n = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        if (n < 100000000000L) n = n * 10 + (*p - '0');
        p++;
    }
    if (n > 2147483647L) n = 2147483647L;
    out = negative ? -n : n;
    c = p;
    return true;
}

} // namespace

bool parseAddressPattern(const char *text, uint32_t &address, uint32_t &mask, char *description,
                         size_t descriptionSize) {
    long numbers[4] = {0, 0, 0, 0};
    int scanned = 0;
    const char *c = text != nullptr ? text : "";
    while (scanned < 4) {
        if (scanned > 0) {
            if (*c != '.') break;
            c++;
        }
        if (!scanNumber(c, numbers[scanned])) break;
        scanned++;
    }
    const bool wildcard = text != nullptr && std::strchr(text, '*') != nullptr;
    address = 0;
    mask = 0;
    char addressText[64] = "";
    char maskText[32] = "";
    if (scanned == 0) {
        if (wildcard) {
            mask = 0xffffffffu;
            std::snprintf(maskText, sizeof maskText, "255.255.255.255");
        } else {
            std::snprintf(maskText, sizeof maskText, "0.0.0.0");
        }
        std::snprintf(addressText, sizeof addressText, "0.0.0.0");
    } else if (scanned == 4 || wildcard) {
        for (int i = 0; i < 4; i++) {
            address <<= 8;
            mask <<= 8;
            if (i < scanned) {
                // Only the low eight bits: a number above 255 must not spill into the
                // neighbouring byte.
                address |= static_cast<uint32_t>(numbers[i]) & 0xffu;
                mask |= 0xffu;
            }
        }
        std::snprintf(addressText, sizeof addressText, "%ld.%ld.%ld.%ld", numbers[0], numbers[1], numbers[2],
                      numbers[3]);
        std::snprintf(maskText, sizeof maskText, "%s.%s.%s.%s", scanned > 0 ? "255" : "0",
                      scanned > 1 ? "255" : "0", scanned > 2 ? "255" : "0", scanned > 3 ? "255" : "0");
    }
    if (description != nullptr && descriptionSize > 0)
        std::snprintf(description, descriptionSize, " IpAddr:%s IpMask:%s", addressText, maskText);
    return scanned == 4 || wildcard;
}

void ImageHeader::reset(ImageHeader *header, const uint32_t *magic, const uint32_t *type) {
    if (header == nullptr) return;
    std::memset(header->bytes, 0, sizeof header->bytes);
    auto store = [](uint8_t *at, uint32_t v) {
        at[0] = static_cast<uint8_t>(v >> 24);
        at[1] = static_cast<uint8_t>(v >> 16);
        at[2] = static_cast<uint8_t>(v >> 8);
        at[3] = static_cast<uint8_t>(v);
    };
    if (magic != nullptr) store(header->bytes, *magic);
    if (type != nullptr) store(header->bytes + 4, *type);
}
