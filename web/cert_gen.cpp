// Key and certificate generation on the task "CertGenerator", the default certificate
// at start, and the S/MIME body of mails.

#include "core/buffer.h"
#include "core/sysroot.h"
#include "core/task.h"
#include "core/ticks.h"
#include "core/tls.h"
#include "core/utils_file.h"
#include "param_catalogue.h"
#include "web/cert.h"
#include "web/cert_internal.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <unistd.h>

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
struct X509Free {
    void operator()(X509 *x) const { X509_free(x); }
};
struct ReqFree {
    void operator()(X509_REQ *x) const { X509_REQ_free(x); }
};
struct ExtFree {
    void operator()(X509_EXTENSION *e) const { X509_EXTENSION_free(e); }
};
struct ExtsFree {
    void operator()(STACK_OF(X509_EXTENSION) * s) const {
        sk_X509_EXTENSION_pop_free(s, X509_EXTENSION_free);
    }
};
struct BioFree {
    void operator()(BIO *b) const { BIO_free(b); }
};
struct Pkcs7Free {
    void operator()(PKCS7 *p) const { PKCS7_free(p); }
};
struct BnFree {
    void operator()(BIGNUM *b) const { BN_free(b); }
};

std::mutex infoMutex;
CertGenInfo lastInfo;

void setFailure(const char *reason) {
    std::lock_guard<std::mutex> guard(infoMutex);
    lastInfo.failure = reason;
}

bool addEntry(X509_NAME *name, const char *field, const std::string &value) {
    if (value.empty()) return true;
    return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char *>(value.c_str()),
                                      static_cast<int>(value.size()), -1, 0) == 1;
}

// The subject of the form: country, state, locality, organisation, unit, common name,
// one domain component per '/'-separated part, e-mail address.
bool fillSubject(X509_NAME *name, const CertView &form) {
    bool ok = addEntry(name, "C", form[cert::Ctry]) && addEntry(name, "ST", form[cert::Sn]) &&
              addEntry(name, "L", form[cert::Ln]) && addEntry(name, "O", form[cert::On]) &&
              addEntry(name, "OU", form[cert::Ou]) && addEntry(name, "CN", form[cert::Cn]);
    const std::string &dc = form[cert::Dc];
    size_t from = 0;
    while (ok && from <= dc.size() && !dc.empty()) {
        size_t slash = dc.find('/', from);
        std::string part = dc.substr(from, slash == std::string::npos ? std::string::npos : slash - from);
        ok = addEntry(name, "DC", part);
        if (slash == std::string::npos) break;
        from = slash + 1;
    }
    return ok && addEntry(name, "emailAddress", form[cert::Mail]);
}

X509_EXTENSION *makeExtension(X509V3_CTX *ctx, int nid, const char *value) {
    return X509V3_EXT_conf_nid(nullptr, ctx, nid, value);
}

// "YYYYMMDD000000Z": the library stores it as UTCTime up to 2049, GeneralizedTime from
// 2050 on.
bool setDate(ASN1_TIME *time, const std::string &year, const std::string &month, const std::string &day) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d000000Z", std::atoi(year.c_str()), std::atoi(month.c_str()),
                  std::atoi(day.c_str()));
    return ASN1_TIME_set_string_X509(time, text) == 1;
}

// A fresh positive serial number of 127 random bits.
bool setRandomSerial(X509 *x) {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
    bytes[0] &= 0x7f;
    bytes[0] |= 0x40; // never zero, always 16 bytes
    std::unique_ptr<BIGNUM, BnFree> bn(BN_bin2bn(bytes, sizeof bytes, nullptr));
    return bn && BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(x)) != nullptr;
}

std::string reqPem(X509_REQ *req) {
    std::unique_ptr<BIO, BioFree> mem(BIO_new(BIO_s_mem()));
    if (!mem || PEM_write_bio_X509_REQ(mem.get(), req) != 1) return "";
    char *p = nullptr;
    long n = BIO_get_mem_data(mem.get(), &p);
    return n > 0 ? std::string(p, static_cast<size_t>(n)) : std::string();
}

class CertGenerator : public Task {
public:
    CertGenerator(CertView form, int kind, int bits)
        : Task("CertGenerator"), form_(std::move(form)), kind_(kind), bits_(bits) {}
    void run() override { generateKeyAndCertificate(form_, kind_, bits_); }

private:
    CertView form_;
    int kind_;
    int bits_;
};

} // namespace

CertGenInfo certGenInfo() {
    std::lock_guard<std::mutex> guard(infoMutex);
    return lastInfo;
}

bool generateKeyAndCertificate(const CertView &form, int kind, int bits) {
    const bool request = kind == CertRequest;
    int64_t ticks = sysTicks();
    unsigned char seed[20];
    for (size_t i = 0; i < sizeof seed; i++)
        seed[i] = static_cast<unsigned char>(ticks >> ((i % 8) * 8));
    RAND_add(seed, sizeof seed, 0.0);

    // The key first, without the lock: pages go on reading the store meanwhile.
    std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_RSA_gen(static_cast<unsigned>(bits)));
    const char *failure = nullptr;
    std::unique_ptr<X509_REQ, ReqFree> req(X509_REQ_new());
    std::unique_ptr<STACK_OF(X509_EXTENSION), ExtsFree> exts(sk_X509_EXTENSION_new_null());
    if (!key) failure = "The key could not be generated.";
    if (!failure && (!req || !exts || X509_REQ_set_version(req.get(), 0) != 1 ||
                     X509_REQ_set_pubkey(req.get(), key.get()) != 1 ||
                     !fillSubject(X509_REQ_get_subject_name(req.get()), form)))
        failure = "The subject could not be set.";
    if (!failure && !form[cert::San].empty()) {
        X509V3_CTX ctx;
        X509V3_set_ctx(&ctx, nullptr, nullptr, req.get(), nullptr, 0);
        const std::pair<int, const char *> wanted[] = {
            {NID_subject_alt_name, form[cert::San].c_str()},
            {NID_basic_constraints, "CA:FALSE"},
            {NID_ext_key_usage, "serverAuth,clientAuth"},
            {NID_key_usage, "digitalSignature, nonRepudiation, keyEncipherment"}};
        for (auto [nid, value] : wanted) {
            X509_EXTENSION *ext = makeExtension(&ctx, nid, value);
            if (ext == nullptr || sk_X509_EXTENSION_push(exts.get(), ext) <= 0) {
                X509_EXTENSION_free(ext);
                failure = "The subject alternative name is not valid.";
                break;
            }
        }
        if (!failure && X509_REQ_add_extensions(req.get(), exts.get()) != 1)
            failure = "The subject alternative name is not valid.";
    }

    std::unique_ptr<X509, X509Free> x;
    if (!failure && request && X509_REQ_sign(req.get(), key.get(), EVP_sha256()) <= 0)
        failure = "The request could not be signed.";
    if (!failure && !request) {
        x.reset(X509_new());
        bool ok =
            x && X509_set_version(x.get(), X509_VERSION_3) == 1 && setRandomSerial(x.get()) &&
            setDate(X509_getm_notBefore(x.get()), form[cert::SYear], form[cert::SMon], form[cert::SDay]) &&
            setDate(X509_getm_notAfter(x.get()), form[cert::EYear], form[cert::EMon], form[cert::EDay]) &&
            X509_set_subject_name(x.get(), X509_REQ_get_subject_name(req.get())) == 1 &&
            X509_set_issuer_name(x.get(), X509_REQ_get_subject_name(req.get())) == 1 &&
            X509_set_pubkey(x.get(), key.get()) == 1;
        for (int i = 0; ok && i < sk_X509_EXTENSION_num(exts.get()); i++)
            ok = X509_add_ext(x.get(), sk_X509_EXTENSION_value(exts.get(), i), -1) == 1;
        X509V3_CTX ctx;
        X509V3_set_ctx(&ctx, x.get(), x.get(), nullptr, nullptr, 0);
        for (auto [nid, value] : {std::pair{NID_subject_key_identifier, "hash"},
                                  std::pair{NID_authority_key_identifier, "keyid:always"}}) {
            if (!ok) break;
            std::unique_ptr<X509_EXTENSION, ExtFree> ext(makeExtension(&ctx, nid, value));
            ok = ext && X509_add_ext(x.get(), ext.get(), -1) == 1;
        }
        if (!ok || X509_sign(x.get(), key.get(), EVP_sha256()) <= 0)
            failure = "The certificate could not be made.";
    }

    if (!failure) {
        cert::lock();
        std::string keyText = keyPem(key.get());
        if (request) {
            std::string reqText = reqPem(req.get());
            if (keyText.empty() || reqText.empty() ||
                !certWriteFile(certPath(CertRequestKey), keyText, 0600) ||
                !certWriteFile(certPath(CertRequest), reqText, 0644)) {
                failure = "The files could not be written.";
            } else {
                copyToSdCard(certPath(CertRequestKey).c_str());
                delete_cert_file(CertSigned);
            }
        } else {
            // The certificate first, the key last: a key file means a complete pair.
            std::string certText = certPem(x.get());
            if (keyText.empty() || certText.empty() || !certWriteFile(certPath(CertOwn), certText, 0644) ||
                !certWriteFile(certPath(CertOwnKey), keyText, 0600))
                failure = "The files could not be written.";
        }
        if (!failure) certAfterWrite(certPath(CertRequest));
        cert::unlock();
    }
    ERR_clear_error();
    if (failure) {
        std::printf("CertGenerator: %s\n", failure);
        setFailure(failure);
    } else {
        cert::load(request ? CertRequest : CertOwn);
    }
    certGenState = GenDone;
    return failure == nullptr;
}

bool start_cert_generator(int bits) {
    if (certGenState.load() != GenReady) return false;
    CertView form = certValidatedForm();
    int kind = certFormKind.load();
    if (bits != 2048 && bits != 3072 && bits != 4096) bits = 2048;
    {
        std::lock_guard<std::mutex> guard(infoMutex);
        lastInfo = CertGenInfo{bits, sysTicks(), kind, ""};
    }
    int expected = GenReady;
    if (!certGenState.compare_exchange_strong(expected, GenRunning)) return false;
    auto *task = new CertGenerator(std::move(form), kind, bits);
    if (task->start(256 * 1024) < 0) {
        delete task;
        setFailure("The generator could not be started.");
        certGenState = GenDone;
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- the default certificate

namespace {

// Fills the work object with the default form and starts the generation.
bool defaultCertificate(const TlsCertForm &form, int keyBits) {
    cert::lock();
    cert *c = cert::get();
    c->clearAttributes();
    auto number = [](int n, int width) {
        char text[16];
        std::snprintf(text, sizeof text, "%0*d", width, n);
        return std::string(text);
    };
    const std::pair<int, std::string> values[] = {{cert::Cn, form.commonName},
                                                  {cert::On, form.organisation},
                                                  {cert::Ou, form.unit},
                                                  {cert::Ln, form.locality},
                                                  {cert::Sn, form.state},
                                                  {cert::Ctry, form.country},
                                                  {cert::Mail, form.email},
                                                  {cert::San, form.altNames},
                                                  {cert::SYear, number(form.startYear, 4)},
                                                  {cert::SMon, number(form.startMonth, 2)},
                                                  {cert::SDay, number(form.startDay, 2)},
                                                  {cert::EYear, number(form.endYear, 4)},
                                                  {cert::EMon, number(form.endMonth, 2)},
                                                  {cert::EDay, number(form.endDay, 2)}};
    for (const auto &[slot, text] : values)
        if (!text.empty()) c->setAttribut(slot, text.c_str());
    c->keyBits = keyBits;
    cert::unlock();
    if (!cert::validate(0)) {
        std::printf("TLS: the default certificate's form is not valid (%s, %04d-%02d-%02d)\n",
                    form.commonName.c_str(), form.startYear, form.startMonth, form.startDay);
        return false;
    }
    return start_cert_generator(keyBits);
}

[[maybe_unused]] const bool hookInstalled = [] {
    tlsDefaultCertHook = defaultCertificate;
    return true;
}();

} // namespace

// ---------------------------------------------------------------- S/MIME

namespace certstore {

int smime_build_body(const char *inputFile, Buffer &input, Buffer &output, const char *outputFile) {
    std::unique_ptr<BIO, BioFree> in(inputFile
                                         ? BIO_new_file(inputFile, "rb")
                                         : BIO_new_mem_buf(input.cursor, input.cursor ? input.length : 0));
    if (!in) return 0;
    if (outputFile == nullptr && output.base == nullptr) return 0;
    std::unique_ptr<BIO, BioFree> out(outputFile ? BIO_new_file(outputFile, "wb") : BIO_new(BIO_s_mem()));
    if (!out) return 0;

    std::unique_ptr<PKCS7, Pkcs7Free> p7;
    int writeFlags = PKCS7_TEXT | PKCS7_STREAM | PKCS7_CRLFEOL;
    if (p_smtp_encrypt->isOn()) {
        std::vector<X509 *> certs = certReadChain(certPath(CertMime), 1);
        if (certs.empty()) return 0;
        STACK_OF(X509) *recipients = sk_X509_new_null();
        if (recipients != nullptr && sk_X509_push(recipients, certs[0]) > 0) {
            p7.reset(PKCS7_encrypt(recipients, in.get(), EVP_des_ede3_cbc(), PKCS7_TEXT | PKCS7_STREAM));
            sk_X509_pop_free(recipients, X509_free);
        } else {
            sk_X509_free(recipients);
            X509_free(certs[0]);
        }
    } else {
        EVP_PKEY *key = nullptr;
        X509 *signer = nullptr;
        if (!loadTlsKeyPair(&key, &signer)) return 0;
        int flags = PKCS7_DETACHED | PKCS7_TEXT | PKCS7_STREAM;
        // The signer certificate goes in only when the mails are to carry it.
        if (!p_smtp_attpkey->isOn()) flags |= PKCS7_NOCERTS;
        p7.reset(PKCS7_sign(signer, key, nullptr, in.get(), flags));
        writeFlags |= PKCS7_DETACHED;
        EVP_PKEY_free(key);
        X509_free(signer);
    }
    bool ok = p7 && SMIME_write_PKCS7(out.get(), p7.get(), in.get(), writeFlags) == 1;
    if (ok && outputFile == nullptr) {
        char *p = nullptr;
        long n = BIO_get_mem_data(out.get(), &p);
        // A message that does not fit whole is no message.
        if (n <= 0 || n > 1024 * 1024 - 1 || n > output.room()) {
            ok = false;
        } else {
            if (output.cursor == nullptr) output.cursor = output.base;
            std::memcpy(output.cursor + output.length, p, static_cast<size_t>(n));
            output.length += static_cast<int32_t>(n);
        }
    }
    if (ok && outputFile != nullptr) ok = BIO_flush(out.get()) == 1;
    if (!ok) ERR_print_errors_fp(stdout);
    ERR_clear_error();
    return ok ? 1 : 0;
}

} // namespace certstore
