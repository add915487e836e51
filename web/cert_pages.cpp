// The certificate pages: the store's overview with the CA list and the EAP choice, the
// pages that show one certificate, the generation of a self-signed certificate or a
// request with its progress, and the uploads (CA, S/MIME, PKCS#12, the signed answer to
// the appliance's request).
//
// A handler loads the certificate it shows and puts a copy of its attributes into the
// page's own variables, so the page never reads the shared object while another request
// or the generator refills it.

#include "core/catalogue.h"
#include "core/sysinfo.h"
#include "core/sysroot.h"
#include "core/ticks.h"
#include "core/tls.h"
#include "core/tls_internal.h"
#include "core/utils_file.h"
#include "web/cert.h"
#include "web/cert_internal.h"
#include "web/http.h"
#include "web/pages.h"
#include "web/webtext.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

CertView certPageView() {
    return cert::view();
}

namespace {

const char *const CouldNotInstall =
    "The certificate could not be installed. The cause is unknown.<br>It may have an "
    "incorrect format. Make sure that it is encoded in Base64.";

// The attributes of the view as the page's variables prefix + name (HTML-escaped).
void setCertVars(HttpConnection &c, const char *prefix, const CertView &v) {
    for (int i = 0; i < cert::SlotCount; i++) {
        std::string name = std::string(prefix) + cert::attributeNames[i];
        c.setVarEscaped(name.c_str(), v[i].c_str());
    }
    c.setVarf((std::string(prefix) + "bits").c_str(), "%d", v.keyBits);
    if (!v.requestText.empty())
        c.setVarEscaped((std::string(prefix) + "text").c_str(), v.requestText.c_str());
}

// Loads the file and copies its attributes into the page; false when it does not load.
bool showLoaded(HttpConnection &c, int selector, const char *prefix) {
    cert::get();
    CertView v;
    if (!cert::load(selector, nullptr, -1, &v)) return false;
    setCertVars(c, prefix, v);
    return true;
}

int messagePage(HttpConnection &c, const char *target, int delay, const std::string &message) {
    c.refreshTarget = target;
    c.refreshDelay = delay;
    return HttpPages::showMessage(c, message.c_str());
}

// ---------------------------------------------------------------- the overview

// The entries of the installed chain: "FChain_K" is the subject, one entry a line.
void setChainVariables(HttpConnection &c) {
    std::vector<X509 *> chain = certReadChain(certPath(CertInstalled), 16);
    int k = 0;
    for (X509 *x : chain) {
        const X509_NAME *name = X509_get_subject_name(x);
        std::string text;
        for (int i = 0; i < X509_NAME_entry_count(name); i++) {
            const X509_NAME_ENTRY *e = X509_NAME_get_entry(name, i);
            int nid = OBJ_obj2nid(X509_NAME_ENTRY_get_object(e));
            const char *key = nid != NID_undef ? OBJ_nid2sn(nid) : "?";
            unsigned char *utf8 = nullptr;
            int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(e));
            std::string value =
                n > 0 ? std::string(reinterpret_cast<char *>(utf8), static_cast<size_t>(n)) : "";
            OPENSSL_free(utf8);
            std::string entry = htmlEscaped((std::string(key) + "=" + value).c_str());
            if (!text.empty()) entry = "&#10;" + entry;
            if (text.size() + entry.size() > 254) break;
            text += entry;
        }
        c.setVarIndexed("FChain_", ++k, text.c_str());
        X509_free(x);
    }
    c.setVarf("FChain#", "%d", k);
}

} // namespace

void setCaCertVariables(HttpConnection &c) {
    std::string dir = certDir(), eapDir = certEapDir();
    DirList list;
    int count = list.scanDirsFirst(dir.c_str());
    std::vector<std::string> names;
    for (int i = 0; i < count; i++)
        if (const char *n = list.name(i)) names.emplace_back(n);
    list.clear();

    // The EAP choice of the form: "0EAP_I" names a CA (its hash), "1EAP_I" marks it.
    for (int i = 1; i <= static_cast<int>(names.size()); i++) {
        char field[24];
        std::snprintf(field, sizeof field, "0EAP_%d", i);
        const char *hash = c.formValue(field);
        if (!certHashName(hash, false)) continue;
        field[0] = '1';
        std::string file = std::string(hash) + ".0";
        std::string link = eapDir + "/" + file;
        struct stat st {};
        bool linked = ::lstat(link.c_str(), &st) == 0;
        if (c.formValue(field) != nullptr) {
            if (!linked && ::access((dir + "/" + file).c_str(), F_OK) == 0)
                if (::symlink(("../" + file).c_str(), link.c_str()) != 0) std::perror("symlink");
        } else if (linked) {
            ::unlink(link.c_str());
        }
    }

    // The CA certificates; a file that does not load leaves the store.
    int k = 0;
    for (const std::string &name : names) {
        if (!certHashName(name.c_str(), true)) continue;
        std::string path = dir + "/" + name;
        CertView v;
        if (!cert::load(CertCa, path.c_str(), -1, &v)) {
            delete_cert_file(CertCa, name.c_str());
            continue;
        }
        k++;
        struct stat st {};
        bool linked = ::lstat((eapDir + "/" + name).c_str(), &st) == 0;
        if (v.subjectHash == v.issuerHash) {
            if (linked) c.setVarIndexed("CAcertEAP_", k, "1");
            c.setVarIndexed("CAcertRoot_", k, "&radic;");
        }
        c.setVarIndexed("CAcertCN_", k, htmlEscaped(v[cert::Cn].c_str()).c_str());
        c.setVarIndexedf("CAcertOHash_", k, "%08lx", v.subjectHash);
        c.setVarIndexed("CAcertIss_", k, htmlEscaped(v[cert::ICn].c_str()).c_str());
        c.setVarIndexedf("CAcertIHash_", k, "%08lx", v.issuerHash);
        c.setVarIndexed("CAcertExp_", k, htmlEscaped(v[cert::End].c_str()).c_str());
    }
    c.setVarf("CAcerts#", "%d", k);
}

namespace {

int certificatePage(HttpConnection &c, const PageEntry &) {
    cert::get();
    int result = PageTemplate;
    if (c.formValue("delCer")) {
        delete_cert_file(CertOwn);
        delete_cert_file(CertOwnKey);
        // The page cannot be answered over the connection whose certificate is gone.
        result = c.isTls() ? PageServerError : PageTemplate;
    } else if (c.formValue("delFor")) {
        delete_cert_file(CertInstalled);
        delete_cert_file(CertInstalledKey);
    } else if (c.formValue("delMim")) {
        delete_cert_file(CertMime);
    } else if (const char *ca = c.formValue("delete_ca")) {
        // Only a CA file name: 8 lower-case hex digits and ".0".
        if (certHashName(ca, true)) delete_cert_file(CertCa, ca);
    } else if (c.formValue("delReq")) {
        delete_cert_file(CertRequest);
        if (fileSize(certPath(CertInstalled).c_str()) <= 0) delete_cert_file(CertInstalledKey);
    }
    setChainVariables(c);
    cert::release();
    setCaCertVariables(c);
    return result;
}

int showCaPage(HttpConnection &c, const PageEntry &) {
    const char *name = c.formValue("name");
    const char *no = c.formValue("no");
    bool eap = c.formValue("eap") != nullptr;
    int number = 0;
    if (no != nullptr) {
        char *end = nullptr;
        long n = std::strtol(no, &end, 10);
        if (end != no && *end == '\0' && n > 0 && n < 10000) number = static_cast<int>(n);
    }
    if (!certHashName(name, false) || number <= 0)
        return messagePage(c, "/security/certificate.html", 4, getmuText("Unable to open certificate"));
    std::string path = certDir() + "/" + name + ".0";
    cert::get();
    CertView v;
    if (fileSize(path.c_str()) < 100 || !cert::load(CertCa, path.c_str(), -1, &v))
        return messagePage(c, "/security/certificate.html", 4, getmuText("Unable to open certificate"));
    setCertVars(c, "certca_", v);
    c.setVar("CAcertOHash", name);
    char text[160];
    if (v.subjectHash == v.issuerHash) {
        c.setVar("CaCertRoot", "1");
        std::snprintf(text, sizeof text,
                      getmuText(eap ? "EAP 802.1x certificate %d" : "CA certificate %d (root certificate)"),
                      number);
    } else {
        std::snprintf(text, sizeof text, getmuText("CA certificate %d"), number);
    }
    c.setVarEscaped("CaCertiNo", text);
    if (eap) c.setVar("EAP", "1");
    return PageTemplate;
}

int showOwnPage(HttpConnection &c, const PageEntry &) {
    return showLoaded(c, CertOwn, "certself_") ? PageTemplate : -1;
}

int showInstalledPage(HttpConnection &c, const PageEntry &) {
    int n = c.pageN > 0 && c.pageN < 16 ? c.pageN : 1;
    c.setVarf("CIdx", "%d", n);
    return showLoaded(c, CertInstalled | (n << 8), "certClPub_") ? PageTemplate : -1;
}

int showMimePage(HttpConnection &c, const PageEntry &) {
    return showLoaded(c, CertMime, "certmime_") ? PageTemplate : -1;
}

int showRequestPage(HttpConnection &c, const PageEntry &) {
    return showLoaded(c, CertRequest, "certrequ_") ? PageTemplate : -1;
}

// ---------------------------------------------------------------- generation

// The form of a new self-signed certificate, with the default validity of two years.
int selfSignedFormPage(HttpConnection &c, const PageEntry &) {
    time_t now = std::time(nullptr);
    struct tm t {};
    localtime_r(&now, &t);
    TlsCertForm form;
    tlsDefaultValidity(t, t.tm_year + 1900, t.tm_mon + 1, form);
    c.setVarf("DefSYear", "%04d", form.startYear);
    c.setVarf("DefSMon", "%02d", form.startMonth);
    c.setVarf("DefSDay", "%02d", form.startDay);
    c.setVarf("DefEYear", "%04d", form.endYear);
    c.setVarf("DefEMon", "%02d", form.endMonth);
    c.setVarf("DefEDay", "%02d", form.endDay);
    return PageTemplate;
}

int progressPage(HttpConnection &c) {
    CertGenInfo info = certGenInfo();
    int64_t seconds = (sysTicks() - info.startTick) / 100;
    char detail[160];
    std::snprintf(detail, sizeof detail, getmuText("Key size: %d bits. Time elapsed: %d seconds."), info.bits,
                  static_cast<int>(seconds < 0 ? 0 : seconds));
    HttpPages::setRefreshToCurrent(c);
    c.refreshDelay = 2;
    std::string message = std::string(getmuText("The certificate is being generated.")) + "<br>" + detail;
    return HttpPages::showMessage(c, message.c_str());
}

int generatePage(HttpConnection &c, const PageEntry &entry) {
    cert::get();
    bool requestPage = std::strstr(entry.url, "certreq") != nullptr;
    int state = certGenState.load();
    if (state == GenReady || state == GenRunning) return progressPage(c);

    bool submit = c.formValue("sub_cert") != nullptr || (c.formValue("sub_req") != nullptr);
    if (!submit) {
        // The end of a generation: its certificate or request, or why it failed.
        CertGenInfo info = certGenInfo();
        if (state == GenDone && !info.failure.empty()) {
            std::string message = std::string(getmuText("The certificate could not be generated.")) + "<br>" +
                                  htmlEscaped(getmuText(info.failure.c_str()));
            return messagePage(c, requestPage ? "/security/rqcert.html" : "/security/sscert.html", 10,
                               message);
        }
        const char *page = requestPage ? "/security/showrequ.html" : "/security/showcert.html";
        if (!showLoaded(c, requestPage ? CertRequest : CertOwn, requestPage ? "certrequ_" : "certself_"))
            return -1;
        return show_page(c, page);
    }

    int kind = c.formValue("sub_cert") != nullptr ? 0 : CertRequest;
    const char *formPage = kind == 0 ? "/security/sscert.html" : "/security/rqcert.html";
    const char *bitsText = c.formValue("RSAbits");
    int bits = 2048;
    bool bitsOk = true;
    if (bitsText != nullptr) {
        bitsOk = std::strcmp(bitsText, "2048") == 0 || std::strcmp(bitsText, "3072") == 0 ||
                 std::strcmp(bitsText, "4096") == 0;
        if (bitsOk) bits = std::atoi(bitsText);
    }
    // The form replaces whatever the object held: a field left empty stays empty.
    cert::lock();
    cert *object = cert::get();
    object->clearAttributes();
    bool stored = true;
    for (int i = 0; i < cert::SlotCount; i++) {
        std::string field = std::string("self_") + cert::attributeNames[i];
        const char *value = c.formValue(field.c_str());
        if (value != nullptr && *value != '\0') stored = object->setAttribut(i, value) && stored;
    }
    cert::unlock();
    if (bitsOk && stored && cert::validate(kind)) {
        cert::lock();
        cert::get()->keyBits = bits;
        cert::unlock();
        if (start_cert_generator(bits)) {
            c.refreshTarget = requestPage ? "/security/certreq.cgi" : "/security/certgen.cgi";
            c.refreshDelay = 2;
            char detail[160];
            std::snprintf(detail, sizeof detail, getmuText("Key size: %d bits. Time elapsed: %d seconds."),
                          bits, 0);
            std::string message =
                std::string(getmuText("Starting to generate a new certificate.")) + "<br>" + detail;
            return HttpPages::showMessage(c, message.c_str());
        }
    }
    return messagePage(
        c, formPage, 2,
        getmuText("One ore more required fields have not been completed or have been completed "
                  "incorrectly."));
}

// ---------------------------------------------------------------- uploads

// The signed answer to the request: installed only when it matches the request's key.
bool installSigned(HttpConnection &c) {
    std::string keyText, upload;
    if (!certReadFile(certPath(CertRequestKey), keyText)) return false;
    BIO *kb = BIO_new_mem_buf(keyText.data(), static_cast<int>(keyText.size()));
    EVP_PKEY *key = kb ? PEM_read_bio_PrivateKey(kb, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(kb);
    bool match = false;
    if (key != nullptr && ::lseek(c.uploadFd, 0, SEEK_SET) == 0) {
        // The upload's first certificate against the key, before anything is written.
        char path[64];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", c.uploadFd);
        std::vector<X509 *> certs = certReadChain(path, 1);
        match = !certs.empty() && X509_check_private_key(certs[0], key) == 1;
        for (X509 *x : certs)
            X509_free(x);
    }
    EVP_PKEY_free(key);
    ERR_clear_error();
    if (!match) return false;
    if (!certInstall(CertSigned, c.uploadFd)) return false;
    if (!tlsCheckCertPair(TlsPairRequest) || !cert::load(CertSigned)) {
        delete_cert_file(CertSigned);
        return false;
    }
    // The request's key becomes the installed key, the signed certificate the installed
    // certificate.
    std::string signedPath = certPath(CertSigned), installedPath = certPath(CertInstalled);
    if (!certWriteFile(certPath(CertInstalledKey), keyText, 0600)) return false;
    if (::rename(signedPath.c_str(), installedPath.c_str()) != 0) return false;
    copyToSdCard(certPath(CertInstalledKey).c_str());
    copyToSdCard(installedPath.c_str());
    return true;
}

int uploadPage(HttpConnection &c, const PageEntry &entry) {
    const char *url = entry.url;
    bool ok = false;
    if (c.uploadFd >= 0 && cert::get() != nullptr && ::lseek(c.uploadFd, 0, SEEK_SET) == 0) {
        if (std::strstr(url, "certpstore")) {
            std::string password = pkcs12Password(c.uploadFd);
            CertView v;
            if (importPkcs12(c.uploadFd, password.c_str()) && tlsCheckCertPair(TlsPairInstalled) &&
                cert::load(CertInstalled | (1 << 8), nullptr, -1, &v)) {
                setCertVars(c, "certClPub_", v);
                c.setVar("CIdx", "1");
                return show_page(c, "/security/showforgN.html");
            }
            ::close(c.uploadFd);
            c.uploadFd = -1;
        } else if (std::strstr(url, "certdstore")) {
            CertView v;
            if (installSigned(c) && cert::load(CertInstalled | (1 << 8), nullptr, -1, &v)) {
                setCertVars(c, "certClPub_", v);
                c.setVar("CIdx", "1");
                return show_page(c, "/security/showforgN.html");
            }
        } else if (std::strstr(url, "certmstore")) {
            CertView v;
            if (certInstall(CertMime, c.uploadFd, nullptr, &v)) {
                setCertVars(c, "certmime_", v);
                return show_page(c, "/security/showmime.html");
            }
        } else if (std::strstr(url, "certcastore")) {
            unsigned long hash = 0;
            ok = certInstall(CertCa, c.uploadFd, &hash) == 1;
            if (ok) {
                ::close(c.uploadFd);
                c.uploadFd = -1;
                char name[16];
                std::snprintf(name, sizeof name, "%08lx", hash);
                CertView v;
                if (cert::load(CertCa, (certDir() + "/" + name + ".0").c_str(), -1, &v))
                    setCertVars(c, "certca_", v);
                c.setVar("CaCertiNo", getmuText("CA certificate"));
                c.setVar("CAcertOHash", name);
                return show_page(c, "/security/showca.html");
            }
        }
    }
    return messagePage(c, "/security/certificate.html", 4, getmuText(CouldNotInstall));
}

int cleanCertsPage(HttpConnection &c, const PageEntry &) {
    for (int i = 0; i <= CertTemp; i++)
        delete_cert_file(i);
    return show_page(c, "/info/index.html");
}

[[maybe_unused]] const bool hookInstalled = [] {
    certVariableHook = certVariable;
    return true;
}();

} // namespace

WEB_PAGE("/security/certificate.html", certificatePage);
WEB_PAGE("/security/showca.html", showCaPage);
WEB_PAGE("/security/showcert.html", showOwnPage);
WEB_PAGE("/security/showforgN.html", showInstalledPage);
WEB_PAGE("/security/showmime.html", showMimePage);
WEB_PAGE("/security/showrequ.html", showRequestPage);
WEB_PAGE("/security/sscert.html", selfSignedFormPage);
WEB_PAGE("/security/certgen.cgi", generatePage);
WEB_PAGE("/security/certreq.cgi", generatePage);
WEB_PAGE("/security/certcastore.cgi", uploadPage);
WEB_PAGE("/security/certmstore.cgi", uploadPage);
WEB_PAGE("/security/certdstore.cgi", uploadPage);
WEB_PAGE("/security/certpstore.cgi", uploadPage);
WEB_PAGE("/info/cleancerts", cleanCertsPage);
