// Key pairs for the TLS tests: an RSA key and a self-signed server certificate made on
// the test's thread and written as PEM (the key with mode 0600). The daemon makes its
// own certificates through the certificate store; the core tests only need pairs to
// serve and to refuse.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <string>
#include <sys/stat.h>

namespace testkeys {

struct PkeyFree {
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
};
struct X509Free {
    void operator()(X509 *p) const { X509_free(p); }
};
struct ExtFree {
    void operator()(X509_EXTENSION *p) const { X509_EXTENSION_free(p); }
};

inline bool addExtension(X509 *cert, int nid, const char *value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    std::unique_ptr<X509_EXTENSION, ExtFree> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    return ext != nullptr && X509_add_ext(cert, ext.get(), -1) == 1;
}

inline bool writePem(const std::string &path, mode_t mode, bool (*write)(FILE *, void *), void *what) {
    FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    bool ok = write(f, what);
    ok = std::fclose(f) == 0 && ok;
    return ok && ::chmod(path.c_str(), mode) == 0;
}

} // namespace testkeys

// A self-signed pair named commonName, valid from a day ago for ten years, for the
// names in altNames ("DNS:...,IP:..."). False when anything fails.
inline bool makeTestKeyPair(const std::string &commonName, int bits, const std::string &keyPath,
                            const std::string &certPath,
                            const std::string &altNames = "DNS:127.0.0.1,IP:127.0.0.1") {
    using namespace testkeys;
    std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_RSA_gen(static_cast<unsigned>(bits)));
    std::unique_ptr<X509, X509Free> cert(X509_new());
    if (!key || !cert) return false;
    X509_NAME *name = X509_get_subject_name(cert.get());
    bool ok = X509_set_version(cert.get(), X509_VERSION_3) == 1 &&
              ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1) == 1 &&
              X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24 * 3600) != nullptr &&
              X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600) != nullptr &&
              X509_set_pubkey(cert.get(), key.get()) == 1 &&
              X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                         reinterpret_cast<const unsigned char *>(commonName.c_str()), -1, -1,
                                         0) == 1 &&
              X509_set_issuer_name(cert.get(), name) == 1 &&
              (altNames.empty() || addExtension(cert.get(), NID_subject_alt_name, altNames.c_str())) &&
              addExtension(cert.get(), NID_basic_constraints, "CA:FALSE") &&
              addExtension(cert.get(), NID_ext_key_usage, "serverAuth,clientAuth") &&
              addExtension(cert.get(), NID_subject_key_identifier, "hash") &&
              X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
    return ok &&
           writePem(
               certPath, 0644,
               [](FILE *f, void *x) { return PEM_write_X509(f, static_cast<X509 *>(x)) == 1; }, cert.get()) &&
           writePem(
               keyPath, 0600,
               [](FILE *f, void *k) {
                   return PEM_write_PrivateKey(f, static_cast<EVP_PKEY *>(k), nullptr, nullptr, 0, nullptr,
                                               nullptr) == 1;
               },
               key.get());
}
