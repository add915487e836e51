// The appliance's default self-signed certificate: its form (subject, dates, names),
// the check of the form, and a self-signed pair made on the calling thread. The
// certificate store generates the appliance's certificates (tlsDefaultCertHook).

#include "core/sysinfo.h"
#include "core/tls.h"
#include "core/tls_internal.h"
#include "core/utils_file.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

// The maker's fixed subject values of the default certificate.
constexpr const char MakerOrganisation[] = "qmr";
constexpr const char MakerLocality[] = "Default City";
constexpr const char MakerState[] = "Default State";
constexpr const char MakerCountry[] = "XX";
constexpr const char MakerEmail[] = "admin@qmr.invalid";

struct PkeyFree {
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
};
struct X509Free {
    void operator()(X509 *p) const { X509_free(p); }
};
struct X509ExtFree {
    void operator()(X509_EXTENSION *p) const { X509_EXTENSION_free(p); }
};
struct FileClose {
    void operator()(FILE *f) const { std::fclose(f); }
};

bool leapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return month == 2 && leapYear(year) ? 29 : days[month - 1];
}

bool validDate(int year, int month, int day) {
    return year >= 2000 && month >= 1 && month <= 12 && day >= 1 && day <= daysInMonth(year, month);
}

// "YYYYMMDD000000Z"; the library stores it as UTC time up to 2049, generalized after.
bool setTime(ASN1_TIME *time, int year, int month, int day) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d000000Z", year, month, day);
    return ASN1_TIME_set_string_X509(time, text) == 1;
}

bool addEntry(X509_NAME *name, const char *field, const std::string &value) {
    if (value.empty()) return true;
    return X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC,
                                      reinterpret_cast<const unsigned char *>(value.c_str()), -1, -1, 0) == 1;
}

bool addExtension(X509 *cert, int nid, const char *value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    std::unique_ptr<X509_EXTENSION, X509ExtFree> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    return ext != nullptr && X509_add_ext(cert, ext.get(), -1) == 1;
}

// Writes the PEM text to a temporary file beside path and renames it into place, so
// a reader finds the old file or the whole new one.
template <typename Writer> bool writePemFile(const std::string &path, mode_t mode, Writer write) {
    std::string temp = path + ".new";
    unlink(temp.c_str());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        std::printf("TLS: cannot create %s: %s\n", temp.c_str(), std::strerror(errno));
        return false;
    }
    std::unique_ptr<FILE, FileClose> file(fdopen(fd, "w"));
    if (file == nullptr) {
        close(fd);
        unlink(temp.c_str());
        return false;
    }
    bool ok = write(file.get()) && std::fflush(file.get()) == 0 && fsync(fd) == 0;
    ok = std::fclose(file.release()) == 0 && ok;
    if (ok && rename(temp.c_str(), path.c_str()) == 0) return true;
    std::printf("TLS: cannot write %s\n", path.c_str());
    unlink(temp.c_str());
    return false;
}

} // namespace

bool (*tlsDefaultCertHook)(const TlsCertForm &form, int keyBits) = nullptr;

void tlsDefaultValidity(const struct tm &now, int makeYear, int makeMonth, TlsCertForm &form) {
    if (now.tm_year + 1900 >= 2020) {
        form.startYear = now.tm_year + 1900;
        form.startMonth = now.tm_mon + 1;
        form.startDay = now.tm_mday;
    } else {
        form.startYear = makeYear;
        form.startMonth = makeMonth;
        form.startDay = 1;
    }
    // Two years later on the same day; a start on 29 February ends on the 28th, since
    // the same day does not exist two years on.
    form.endYear = form.startYear + 2;
    form.endMonth = form.startMonth;
    int last = daysInMonth(form.endYear, form.endMonth);
    form.endDay = form.startDay > last && last > 0 ? last : form.startDay;
}

uint64_t tlsCertSerial(uint32_t productId, uint32_t year, uint32_t month, uint32_t serialNo) {
    // Decimal digits read as hex digits: 317, 2019, 12, 123 give 0x03172019120123.
    auto digits = [](uint64_t acc, uint32_t value, int count) {
        for (int i = count - 1; i >= 0; i--) {
            uint32_t divisor = 1;
            for (int k = 0; k < i; k++)
                divisor *= 10;
            acc = (acc << 4) | ((value / divisor) % 10);
        }
        return acc;
    };
    uint64_t serial = digits(0, productId, 4);
    serial = digits(serial, year, 4);
    serial = digits(serial, month, 2);
    // Serial numbers above 9999 get six digits, which still fit 64 bits, instead of
    // being cut into a number another appliance may already carry.
    return digits(serial, serialNo, serialNo > 9999 ? 6 : 4);
}

TlsCertForm tlsDefaultCertForm(time_t now, const std::string &ipText) {
    const ProductParams &product = productParams();
    TlsCertForm form;
    form.commonName = product.defaultName;
    form.organisation = MakerOrganisation;
    form.locality = MakerLocality;
    form.state = MakerState;
    form.country = MakerCountry;
    form.email = MakerEmail;
    form.altNames = "DNS:" + ipText + ",IP:" + ipText;
    struct tm local {};
    localtime_r(&now, &local);
    tlsDefaultValidity(local, static_cast<int>(product.year), static_cast<int>(product.month), form);
    form.serial = tlsCertSerial(product.productId, product.year, product.month, product.serialNo);
    return form;
}

bool tlsValidateCertForm(const TlsCertForm &form) {
    if (form.commonName.empty() || form.organisation.empty() || form.locality.empty() || form.country.empty())
        return false;
    if (!validDate(form.startYear, form.startMonth, form.startDay) ||
        !validDate(form.endYear, form.endMonth, form.endDay))
        return false;
    return form.endYear * 372 + form.endMonth * 31 + form.endDay >=
           form.startYear * 372 + form.startMonth * 31 + form.startDay;
}

bool tlsGenerateSelfSigned(const TlsCertForm &form, int keyBits, const std::string &keyPath,
                           const std::string &certPath) {
    std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_RSA_gen(static_cast<unsigned>(keyBits)));
    std::unique_ptr<X509, X509Free> cert(X509_new());
    bool ok = key != nullptr && cert != nullptr && X509_set_version(cert.get(), X509_VERSION_3) == 1 &&
              ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), form.serial) == 1 &&
              setTime(X509_getm_notBefore(cert.get()), form.startYear, form.startMonth, form.startDay) &&
              setTime(X509_getm_notAfter(cert.get()), form.endYear, form.endMonth, form.endDay) &&
              X509_set_pubkey(cert.get(), key.get()) == 1;

    // Subject and issuer, in the order country, state, locality, organisation, unit,
    // common name, e-mail address.
    X509_NAME *name = ok ? X509_get_subject_name(cert.get()) : nullptr;
    ok = ok && addEntry(name, "C", form.country) && addEntry(name, "ST", form.state) &&
         addEntry(name, "L", form.locality) && addEntry(name, "O", form.organisation) &&
         addEntry(name, "OU", form.unit) && addEntry(name, "CN", form.commonName) &&
         addEntry(name, "emailAddress", form.email) && X509_set_issuer_name(cert.get(), name) == 1;

    if (ok && !form.altNames.empty())
        ok = addExtension(cert.get(), NID_subject_alt_name, form.altNames.c_str()) &&
             addExtension(cert.get(), NID_basic_constraints, "CA:FALSE") &&
             addExtension(cert.get(), NID_ext_key_usage, "serverAuth,clientAuth") &&
             addExtension(cert.get(), NID_key_usage, "digitalSignature, nonRepudiation, keyEncipherment");
    ok = ok && addExtension(cert.get(), NID_subject_key_identifier, "hash") &&
         addExtension(cert.get(), NID_authority_key_identifier, "keyid:always") &&
         X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;

    // The certificate first and the key last: the key file's existence means a
    // complete pair, both at start (no second generation) and for every handshake.
    ok = ok && writePemFile(certPath, 0644, [&](FILE *f) { return PEM_write_X509(f, cert.get()) == 1; }) &&
         writePemFile(keyPath, 0600, [&](FILE *f) {
             return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
         });
    if (!ok) {
        std::printf("TLS: generating the certificate %s failed\n", certPath.c_str());
        tlsPrintErrors();
    }
    return ok;
}
