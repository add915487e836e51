// The certificate store: the shared work object, loading certificates and requests into
// it, the form check, uploads, PKCS#12 import, deletion and the restore from the
// storage slot.

#include "web/cert.h"

#include "core/ptable_hooks.h"
#include "core/sysroot.h"
#include "core/task.h"
#include "core/tls_internal.h"
#include "core/utils_file.h"
#include "param_catalogue.h"
#include "web/cert_internal.h"
#include "web/webtext.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <glob.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

std::atomic<int> certGenState{GenNone};
std::atomic<int> certLastKind{0};
std::atomic<int> certFormKind{0};

namespace {
std::mutex formMutex;
CertView validatedForm;
} // namespace

CertView certValidatedForm() {
    std::lock_guard<std::mutex> guard(formMutex);
    return validatedForm;
}
std::atomic<unsigned long> certSubjectHash{0};
std::atomic<unsigned long> certIssuerHash{0};

const char *const cert::attributeNames[SlotCount] = {
    "cn",    "on",   "ou",   "ln",    "sn",   "ctry",   "dc",    "san",   "ser",   "kid",  "mail",
    "syear", "smon", "sday", "eyear", "emon", "eday",   "start", "end",   "ct",    "sha1", "sha2",
    "i_cn",  "i_on", "i_ou", "i_ln",  "i_sn", "i_ctry", "i_dc",  "i_kid", "i_mail"};

namespace {

const char *const tableFiles[9] = {
    "/etc/certs/cert_pkey.pem", "/etc/certs/cert_fpkey.pem", "/etc/certs/cert_rpriv.pem",
    "/etc/certs/cert_srv.pem",  "/etc/certs/cert_fsrv.pem",  "/etc/certs/cert_rcert.pem",
    "/etc/certs/cert_req.pem",  "/etc/certs/cert_mime.pem",  "/etc/certs/cert.tmp"};

// The largest file the store reads or takes from an upload.
constexpr size_t MaxCertFile = 20480;
// A file of the store may hold a chain; more than this many certificates are not read.
constexpr int MaxChain = 16;

std::mutex objectMutex; // guards the pointer below (the object's contents: cert::mtx)
cert *object = nullptr;
std::mutex mtx;

} // namespace

// ---------------------------------------------------------------- paths and names

const char *certFilePath(int index) {
    return index >= 0 && index < 9 ? tableFiles[index] : nullptr;
}

std::string certPath(int index) {
    const char *p = certFilePath(index);
    return p ? sysPath(p) : std::string();
}

std::string certDir() {
    return sysPath("/etc/certs");
}

std::string certEapDir() {
    return sysPath("/etc/certs/802.1x");
}

bool certHashName(const char *name, bool withSuffix) {
    if (name == nullptr) return false;
    for (int i = 0; i < 8; i++)
        if (!((name[i] >= '0' && name[i] <= '9') || (name[i] >= 'a' && name[i] <= 'f'))) return false;
    return withSuffix ? std::strcmp(name + 8, ".0") == 0 : name[8] == '\0';
}

// ---------------------------------------------------------------- the object

void cert::lock() {
    while (!mtx.try_lock()) {
        Task *t = Task::current();
        if (t != nullptr)
            t->wait(20);
        else
            usleep(2000);
    }
}

void cert::unlock() {
    mtx.unlock();
}

cert *cert::get() {
    std::lock_guard<std::mutex> guard(objectMutex);
    if (object == nullptr) {
        object = new cert();
        object->clearAttributes();
    }
    return object;
}

void cert::release() {
    int state = certGenState.load();
    if (state == GenReady || state == GenRunning) return;
    cert::lock();
    {
        std::lock_guard<std::mutex> guard(objectMutex);
        delete object;
        object = nullptr;
    }
    certGenState.compare_exchange_strong(state, GenNone);
    cert::unlock();
}

void cert::clearAttributes() {
    next_ = 0;
    slots_.fill(-1);
}

int cert::slotOf(const char *name) {
    for (int i = 0; i < SlotCount; i++)
        if (std::strcmp(name, attributeNames[i]) == 0) return i;
    return -1;
}

const char *cert::attributeLocked(int slot) const {
    if (slot < 0 || slot >= 32 || slots_[static_cast<size_t>(slot)] < 0) return "";
    return pool_.data() + slots_[static_cast<size_t>(slot)];
}

int cert::setAttribut(int slot, const char *text, int length, int offset, const char *prefix, bool append) {
    int target = slot + offset;
    if (slot < 0 || slot >= 32 || target < 0 || target >= 32) {
        std::printf("ERROR: illegal idx:%d\n", slot);
        return 0;
    }
    size_t textLength = text == nullptr ? 0 : length < 0 ? std::strlen(text) : static_cast<size_t>(length);
    size_t prefixLength = prefix ? std::strlen(prefix) : 0;
    bool continues = append && slots_[static_cast<size_t>(target)] >= 0 && next_ > 0;
    // Appending reuses the previous terminating zero as the separator.
    size_t need = prefixLength + textLength + 1;
    size_t start = continues ? static_cast<size_t>(next_ - 1) : static_cast<size_t>(next_);
    if (continues) need += 1;
    if (start + need > PoolSize) return 0;
    char *p = pool_.data() + start;
    if (continues) *p++ = target == Dc || target == IDc ? '/' : ',';
    if (prefixLength) std::memcpy(p, prefix, prefixLength);
    p += prefixLength;
    if (textLength) std::memcpy(p, text, textLength);
    p[textLength] = '\0';
    if (!continues) slots_[static_cast<size_t>(target)] = static_cast<int>(start);
    next_ = static_cast<int>(start + need);
    return 1;
}

int cert::setHexAttribut(int slot, bool reverse, const unsigned char *bytes, int count, int offset) {
    if (slot < 0 || slot + offset >= 32 || count < 0 || count > 256 || (count > 0 && bytes == nullptr)) {
        std::printf("%s ERROR: illegal idx:%d valen:%d or no object:%p\n", "setHexAttribut", slot, count,
                    static_cast<void *>(this));
        return 0;
    }
    std::string text;
    for (int i = 0; i < count; i++) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02x:", bytes[reverse ? count - 1 - i : i]);
        text += pair;
    }
    if (!text.empty()) text.pop_back();
    return setAttribut(slot, text.c_str(), -1, offset);
}

namespace {

// The copy of the object; the caller holds cert::mtx.
CertView viewLocked() {
    CertView v;
    {
        std::lock_guard<std::mutex> guard(objectMutex);
        if (object != nullptr) {
            for (int i = 0; i < CertView::Count; i++)
                v.values[static_cast<size_t>(i)] = object->attributeLocked(i);
            v.keyBits = object->keyBits;
            v.requestText = certRequestText();
        }
    }
    v.subjectHash = certSubjectHash.load();
    v.issuerHash = certIssuerHash.load();
    v.values[cert::Start] = v[cert::SYear] + "/" + v[cert::SMon] + "/" + v[cert::SDay];
    v.values[cert::End] = v[cert::EYear] + "/" + v[cert::EMon] + "/" + v[cert::EDay];
    return v;
}

} // namespace

CertView cert::view() {
    cert::lock();
    CertView v = viewLocked();
    cert::unlock();
    return v;
}

std::string cert::attribute(int slot) {
    if (slot < 0 || slot >= SlotCount) return "";
    return cert::view()[slot];
}

// ---------------------------------------------------------------- dates and the form

bool certValidDate(int year, int month, int day) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 2000 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    int last = month == 2 && leap ? 29 : days[month - 1];
    return day <= last;
}

namespace {

// A decimal number of at most 4 digits and nothing else; -1 otherwise.
int smallNumber(const std::string &text) {
    if (text.empty() || text.size() > 4) return -1;
    int n = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') return -1;
        n = n * 10 + (ch - '0');
    }
    return n;
}

} // namespace

int cert::validate(int kind) {
    certLastKind = kind;
    CertView v = cert::view();
    for (int slot : {Cn, On, Ln, Ctry})
        if (v[slot].empty()) return 0;
    if (kind != CertRequest) {
        int sy = smallNumber(v[SYear]), sm = smallNumber(v[SMon]), sd = smallNumber(v[SDay]);
        int ey = smallNumber(v[EYear]), em = smallNumber(v[EMon]), ed = smallNumber(v[EDay]);
        if (!certValidDate(sy, sm, sd) || !certValidDate(ey, em, ed)) return 0;
        if (ey * 372 + em * 31 + ed < sy * 372 + sm * 31 + sd) return 0;
    }
    // Only a form without a generation in progress becomes the next one.
    int state = certGenState.load();
    if (state == GenReady || state == GenRunning) return 0;
    if (!certGenState.compare_exchange_strong(state, GenReady)) return 0;
    // The form as checked is what the generator makes, whatever is loaded meanwhile.
    std::lock_guard<std::mutex> guard(formMutex);
    validatedForm = v;
    certFormKind = kind == CertRequest ? CertRequest : 0;
    return 1;
}

// ---------------------------------------------------------------- loading

namespace {

struct BioFree {
    void operator()(BIO *b) const { BIO_free(b); }
};
struct X509Free {
    void operator()(X509 *x) const { X509_free(x); }
};
struct ReqFree {
    void operator()(X509_REQ *x) const { X509_REQ_free(x); }
};
struct PkeyFree {
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

// The UTF-8 text of a name entry's value.
std::string entryText(const X509_NAME_ENTRY *entry) {
    unsigned char *utf8 = nullptr;
    int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
    if (n < 0) return "";
    std::string text(reinterpret_cast<char *>(utf8), static_cast<size_t>(n));
    OPENSSL_free(utf8);
    // A value carries no zero bytes into the texts built from it.
    text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
    return text;
}

// The name's entries into the slots from base (subject 0, issuer 22): each entry on
// its own, so a '/' inside a value stays part of it.
void fillName(cert &c, const X509_NAME *name, int base, int mailSlot) {
    struct Key {
        int nid;
        int slot;
    } keys[] = {{NID_commonName, cert::Cn},
                {NID_organizationName, cert::On},
                {NID_organizationalUnitName, cert::Ou},
                {NID_localityName, cert::Ln},
                {NID_stateOrProvinceName, cert::Sn},
                {NID_countryName, cert::Ctry}};
    for (const Key &k : keys) {
        int at = X509_NAME_get_index_by_NID(name, k.nid, -1);
        if (at >= 0) c.setAttribut(k.slot + base, entryText(X509_NAME_get_entry(name, at)).c_str());
    }
    bool first = true;
    for (int at = -1; (at = X509_NAME_get_index_by_NID(name, NID_domainComponent, at)) >= 0;) {
        c.setAttribut(cert::Dc + base, entryText(X509_NAME_get_entry(name, at)).c_str(), -1, 0, nullptr,
                      !first);
        first = false;
    }
    int at = X509_NAME_get_index_by_NID(name, NID_pkcs9_emailAddress, -1);
    if (at >= 0) c.setAttribut(mailSlot, entryText(X509_NAME_get_entry(name, at)).c_str());
}

void fillAltNames(cert &c, const GENERAL_NAMES *names) {
    if (names == nullptr) return;
    std::string text;
    for (int i = 0; i < sk_GENERAL_NAME_num(names); i++) {
        const GENERAL_NAME *g = sk_GENERAL_NAME_value(names, i);
        std::string entry;
        if (g->type == GEN_DNS) {
            const ASN1_IA5STRING *s = g->d.dNSName;
            const char *data = reinterpret_cast<const char *>(ASN1_STRING_get0_data(s));
            int n = ASN1_STRING_length(s);
            if (n <= 0 || std::memchr(data, '\0', static_cast<size_t>(n)) != nullptr) continue;
            entry = "DNS:" + std::string(data, static_cast<size_t>(n));
        } else if (g->type == GEN_IPADD) {
            const ASN1_OCTET_STRING *s = g->d.iPAddress;
            char ip[INET6_ADDRSTRLEN] = "";
            int n = ASN1_STRING_length(s);
            if (n == 4)
                inet_ntop(AF_INET, ASN1_STRING_get0_data(s), ip, sizeof ip);
            else if (n == 16)
                inet_ntop(AF_INET6, ASN1_STRING_get0_data(s), ip, sizeof ip);
            else
                continue;
            entry = std::string("IP:") + ip;
        } else {
            continue;
        }
        if (!text.empty()) text += ", ";
        text += entry;
    }
    c.setAttribut(cert::San, text.c_str());
}

// Year, month and day of a time; the library reads a UTCTime year 50-99 as 19xx.
void fillDate(cert &c, const ASN1_TIME *time, int yearSlot) {
    struct tm t {};
    if (time == nullptr || ASN1_TIME_to_tm(time, &t) != 1) return;
    char text[16];
    std::snprintf(text, sizeof text, "%04d", t.tm_year + 1900);
    c.setAttribut(yearSlot, text);
    std::snprintf(text, sizeof text, "%02d", t.tm_mon + 1);
    c.setAttribut(yearSlot + 1, text);
    std::snprintf(text, sizeof text, "%02d", t.tm_mday);
    c.setAttribut(yearSlot + 2, text);
}

void fillDigest(cert &c, X509 *x, const EVP_MD *md, int slot) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (X509_digest(x, md, digest, &n) != 1) return;
    std::string text;
    for (unsigned i = 0; i < n; i++) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X:", digest[i]);
        text += pair;
    }
    if (!text.empty()) text.pop_back();
    c.setAttribut(slot, text.c_str());
}

// All certificates of a PEM text, or the one certificate of a DER file.
std::vector<X509Ptr> readCertificates(const unsigned char *data, size_t size, int limit) {
    std::vector<X509Ptr> certs;
    if (size == 0 || size > MaxCertFile) return certs;
    BioPtr bio(BIO_new_mem_buf(data, static_cast<int>(size)));
    while (bio && static_cast<int>(certs.size()) < limit) {
        X509 *x = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
        if (x == nullptr) break;
        certs.emplace_back(x);
    }
    if (certs.empty()) {
        const unsigned char *p = data;
        X509 *x = d2i_X509(nullptr, &p, static_cast<long>(size));
        if (x != nullptr) certs.emplace_back(x);
    }
    ERR_clear_error();
    return certs;
}

X509_REQ *readRequest(const unsigned char *data, size_t size) {
    if (size == 0 || size > MaxCertFile) return nullptr;
    BioPtr bio(BIO_new_mem_buf(data, static_cast<int>(size)));
    X509_REQ *req = bio ? PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr) : nullptr;
    if (req == nullptr) {
        const unsigned char *p = data;
        req = d2i_X509_REQ(nullptr, &p, static_cast<long>(size));
    }
    ERR_clear_error();
    return req;
}

// Reads a whole file (at most MaxCertFile bytes) from the descriptor's current position.
bool readAll(int fd, std::string &out) {
    out.clear();
    char block[4096];
    for (;;) {
        ssize_t n = ::read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(block, static_cast<size_t>(n));
        if (out.size() > MaxCertFile) return false;
    }
}

std::string requestTextStore;

} // namespace

const std::string &certRequestText() {
    return requestTextStore;
}

bool certReadFile(const std::string &path, std::string &out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = readAll(fd, out);
    ::close(fd);
    return ok;
}

std::vector<X509 *> certReadChain(const std::string &path, int limit) {
    std::vector<X509 *> out;
    std::string bytes;
    if (!certReadFile(path, bytes)) return out;
    for (X509Ptr &x :
         readCertificates(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), limit))
        out.push_back(x.release());
    return out;
}

int cert::loadBytes(int selector, const unsigned char *data, size_t size, CertView *copy) {
    int index = selector & 0xff;
    int nth = (selector >> 8) & 0xff;
    if (nth > 0) nth--;
    if (index > CertCa) return 0;

    cert::lock();
    // Taken under the lock: a release elsewhere frees the object only while holding it.
    cert *c = cert::get();
    int result = 0;
    if (index == CertRequest) {
        std::unique_ptr<X509_REQ, ReqFree> req(readRequest(data, size));
        if (req) {
            c->clearAttributes();
            fillName(*c, X509_REQ_get_subject_name(req.get()), 0, Mail);
            std::unique_ptr<EVP_PKEY, PkeyFree> key(X509_REQ_get_pubkey(req.get()));
            c->keyBits = key ? EVP_PKEY_get_bits(key.get()) : 8;
            STACK_OF(X509_EXTENSION) *exts = X509_REQ_get_extensions(req.get());
            if (exts != nullptr) {
                auto *names = static_cast<GENERAL_NAMES *>(
                    X509V3_get_d2i(exts, NID_subject_alt_name, nullptr, nullptr));
                fillAltNames(*c, names);
                GENERAL_NAMES_free(names);
                sk_X509_EXTENSION_pop_free(exts, X509_EXTENSION_free);
            }
            BioPtr mem(BIO_new(BIO_s_mem()));
            requestTextStore.clear();
            if (mem && PEM_write_bio_X509_REQ(mem.get(), req.get()) == 1) {
                char *p = nullptr;
                long n = BIO_get_mem_data(mem.get(), &p);
                if (n > 0) requestTextStore.assign(p, static_cast<size_t>(n));
            }
            certSubjectHash = 0;
            certIssuerHash = 0;
            result = 1;
        }
    } else {
        std::vector<X509Ptr> certs = readCertificates(data, size, nth + 1);
        if (static_cast<int>(certs.size()) > nth) {
            X509 *x = certs[static_cast<size_t>(nth)].get();
            c->clearAttributes();
            fillName(*c, X509_get_subject_name(x), 0, Mail);
            fillName(*c, X509_get_issuer_name(x), ICn, IMail);
            auto *names =
                static_cast<GENERAL_NAMES *>(X509_get_ext_d2i(x, NID_subject_alt_name, nullptr, nullptr));
            fillAltNames(*c, names);
            GENERAL_NAMES_free(names);
            const ASN1_INTEGER *serial = X509_get0_serialNumber(x);
            c->setHexAttribut(Ser, false, ASN1_STRING_get0_data(serial), ASN1_STRING_length(serial));
            if (const ASN1_OCTET_STRING *kid = X509_get0_subject_key_id(x))
                c->setHexAttribut(Kid, false, ASN1_STRING_get0_data(kid), ASN1_STRING_length(kid));
            if (const ASN1_OCTET_STRING *aid = X509_get0_authority_key_id(x))
                c->setHexAttribut(IKid, false, ASN1_STRING_get0_data(aid), ASN1_STRING_length(aid));
            fillDate(*c, X509_get0_notBefore(x), SYear);
            fillDate(*c, X509_get0_notAfter(x), EYear);
            fillDigest(*c, x, EVP_sha1(), Sha1);
            fillDigest(*c, x, EVP_sha256(), Sha2);
            EVP_PKEY *key = X509_get0_pubkey(x);
            c->keyBits = key ? EVP_PKEY_get_bits(key) : 8;
            certSubjectHash = X509_subject_name_hash(x);
            certIssuerHash = X509_issuer_name_hash(x);
            result = 1;
        }
    }
    ERR_clear_error();
    if (result) certLastKind = index;
    // The copy comes from the same hold of the lock: another load cannot slip between.
    if (result && copy != nullptr) *copy = viewLocked();
    cert::unlock();
    return result;
}

int cert::load(int selector, const char *path, int fd, CertView *copy) {
    std::string bytes;
    bool ok;
    if (fd >= 0) {
        ok = readAll(fd, bytes);
    } else {
        std::string p = path ? std::string(path) : certPath(selector & 0xff);
        if (p.empty()) return 0;
        ok = certReadFile(p, bytes);
    }
    if (!ok) return 0;
    return loadBytes(selector, reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), copy);
}

// ---------------------------------------------------------------- template values

int certGetAttribute(int type, const char *name, char *buffer, int size) {
    if (buffer == nullptr || size < 32) return 0;
    if (std::strcmp(name, "state") == 0) {
        int index = type == 3 ? 0 : type == 4 ? 1 : type;
        bool issued;
        if (index == CertOwnKey || index == CertInstalledKey) {
            issued = fileSize(certPath(index).c_str()) > 0;
        } else {
            // Checked on a copy of the file: the shared object stays as the page loaded it.
            std::string bytes;
            issued = certReadFile(certPath(index), bytes);
            if (issued) {
                const auto *data = reinterpret_cast<const unsigned char *>(bytes.data());
                if (index == CertRequest) {
                    std::unique_ptr<X509_REQ, ReqFree> req(readRequest(data, bytes.size()));
                    issued = req != nullptr;
                } else {
                    issued = !readCertificates(data, bytes.size(), 1).empty();
                }
            }
        }
        return htmlEscapeInto(issued ? "ISSUED" : "MISSING", buffer, size);
    }
    if (std::strcmp(name, "text") == 0) {
        std::string text;
        if (type != CertRequest || !certReadFile(certPath(CertRequest), text)) text.clear();
        return htmlEscapeInto(text.c_str(), buffer, size);
    }
    CertView v = certPageView();
    if (std::strcmp(name, "bits") == 0) {
        char text[16];
        std::snprintf(text, sizeof text, "%d", v.keyBits);
        return htmlEscapeInto(text, buffer, size);
    }
    int slot = cert::slotOf(name);
    if (slot < 0) return htmlEscapeInto("-- internal error --", buffer, size);
    std::string escaped = htmlEscaped(v[slot].c_str());
    if (static_cast<int>(escaped.size()) >= size) return 0;
    std::memcpy(buffer, escaped.c_str(), escaped.size() + 1);
    return static_cast<int>(escaped.size());
}

int certVariable(const char *name, char *buffer, int size) {
    static const struct {
        const char *prefix;
        int type;
    } types[] = {{"certself_", 3}, {"certClPub_", 4}, {"certClPrv_", 1},
                 {"certmime_", 7}, {"certca_", 9},    {"certrequ_", 6}};
    for (const auto &t : types) {
        size_t n = std::strlen(t.prefix);
        if (std::strncmp(name, t.prefix, n) == 0) return certGetAttribute(t.type, name + n, buffer, size);
    }
    return -1;
}

// ---------------------------------------------------------------- writing the store

bool certWriteFile(const std::string &path, const std::string &data, mode_t mode) {
    std::string temp = path + ".tmp~";
    ::unlink(temp.c_str());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        std::printf("Error opening file %s\n", temp.c_str());
        return false;
    }
    // The mask of the process plays no part: keys 0600, the rest 0644.
    bool ok = ::fchmod(fd, mode) == 0;
    size_t done = 0;
    while (ok && done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::perror("CertRdWrite");
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temp.c_str(), path.c_str()) == 0) return true;
    ::unlink(temp.c_str());
    return false;
}

std::string certPem(X509 *x) {
    BioPtr mem(BIO_new(BIO_s_mem()));
    if (!mem || PEM_write_bio_X509(mem.get(), x) != 1) return "";
    char *p = nullptr;
    long n = BIO_get_mem_data(mem.get(), &p);
    return n > 0 ? std::string(p, static_cast<size_t>(n)) : std::string();
}

std::string keyPem(EVP_PKEY *key) {
    BioPtr mem(BIO_new(BIO_s_mem()));
    if (!mem || PEM_write_bio_PrivateKey(mem.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return "";
    char *p = nullptr;
    long n = BIO_get_mem_data(mem.get(), &p);
    return n > 0 ? std::string(p, static_cast<size_t>(n)) : std::string();
}

void certAfterWrite(const std::string &path) {
    copyToSdCard(path.c_str());
    if (p_wdav_bupauto->isOn() && ptableHooks().startWebdavBackup) ptableHooks().startWebdavBackup();
}

int certInstall(int index, int fd, unsigned long *hashOut, CertView *copy) {
    if (fd < 0 || (index != CertSigned && index != CertMime && index != CertCa)) return 0;
    if (::lseek(fd, 0, SEEK_SET) != 0) return 0;
    std::string bytes;
    if (!readAll(fd, bytes) || bytes.empty()) return 0;
    std::vector<X509Ptr> certs =
        readCertificates(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), MaxChain);
    if (certs.empty()) return 0;
    std::string pem;
    for (X509Ptr &x : certs)
        pem += certPem(x.get());
    unsigned long hash = X509_subject_name_hash(certs[0].get());
    if (hashOut) *hashOut = hash;
    std::string target;
    if (index == CertCa) {
        char name[32];
        std::snprintf(name, sizeof name, "/%08lx.0", hash);
        target = certDir() + name;
        // A CA file holds the one certificate it is named after.
        pem = certPem(certs[0].get());
    } else {
        target = certPath(index);
    }
    if (pem.empty() || !certWriteFile(target, pem, 0644)) return 0;
    certAfterWrite(target);
    if (index == CertCa) return 1;
    return cert::load(index, target.c_str(), -1, copy);
}

// ---------------------------------------------------------------- PKCS#12

namespace {

// The certificate, then its issuers from the list in chain order; certificates of the
// list that are not in the chain follow in their order.
std::vector<X509 *> chainOrder(X509 *leaf, STACK_OF(X509) * cas) {
    std::vector<X509 *> rest;
    for (int i = 0; cas && i < sk_X509_num(cas); i++)
        rest.push_back(sk_X509_value(cas, i));
    std::vector<X509 *> chain{leaf};
    for (;;) {
        X509 *last = chain.back();
        if (X509_check_issued(last, last) == X509_V_OK) break; // self-signed: the root
        auto it = std::find_if(rest.begin(), rest.end(),
                               [last](X509 *ca) { return X509_check_issued(ca, last) == X509_V_OK; });
        if (it == rest.end()) break;
        chain.push_back(*it);
        rest.erase(it);
    }
    chain.insert(chain.end(), rest.begin(), rest.end());
    return chain;
}

} // namespace

int importPkcs12Bytes(const unsigned char *data, size_t size, const char *password) {
    if (size == 0 || size > MaxCertFile) return 0;
    const unsigned char *p = data;
    PKCS12 *bundle = d2i_PKCS12(nullptr, &p, static_cast<long>(size));
    if (bundle == nullptr) {
        std::printf("Error reading PKCS#12 file\n");
        ERR_clear_error();
        return 0;
    }
    EVP_PKEY *key = nullptr;
    X509 *leaf = nullptr;
    STACK_OF(X509) *cas = nullptr;
    int parsed = PKCS12_parse(bundle, password ? password : "", &key, &leaf, &cas);
    PKCS12_free(bundle);
    int result = 0;
    if (parsed != 1 || key == nullptr || leaf == nullptr) {
        std::printf("Error parsing PKCS#12 file\n");
    } else if (X509_check_private_key(leaf, key) != 1) {
        std::printf("Error: the key of the PKCS#12 file does not match its certificate\n");
    } else {
        std::string chain;
        for (X509 *x : chainOrder(leaf, cas))
            chain += certPem(x);
        std::string keyText = keyPem(key);
        // The pair is staged in a directory of its own and checked the way TLS will use
        // it (a key the library refuses, say one too short, never replaces a working
        // pair); then both files are renamed into place.
        std::string stage = certDir() + "/.import";
        std::string stagedKey = stage + "/cert_fpkey.pem", stagedCert = stage + "/cert_fsrv.pem";
        std::string keyPath = certPath(CertInstalledKey), certFile = certPath(CertInstalled);
        ::unlink(stagedKey.c_str());
        ::unlink(stagedCert.c_str());
        ::mkdir(stage.c_str(), 0700);
        if (keyText.empty() || chain.empty() || !certWriteFile(stagedCert, chain, 0644) ||
            !certWriteFile(stagedKey, keyText, 0600)) {
            std::printf("Error opening file %s\n", stage.c_str());
        } else if (!tlsCheckCertPairIn(TlsPairInstalled, stage)) {
            std::printf("Error: the PKCS#12 file's pair is not usable for TLS\n");
        } else if (::rename(stagedCert.c_str(), certFile.c_str()) == 0 &&
                   ::rename(stagedKey.c_str(), keyPath.c_str()) == 0) {
            certAfterWrite(keyPath);
            certAfterWrite(certFile);
            result = 1;
        }
        ::unlink(stagedKey.c_str());
        ::unlink(stagedCert.c_str());
        ::rmdir(stage.c_str());
    }
    EVP_PKEY_free(key);
    X509_free(leaf);
    sk_X509_pop_free(cas, X509_free);
    ERR_clear_error();
    return result;
}

int importPkcs12(int fd, const char *password) {
    if (::lseek(fd, 0, SEEK_SET) != 0) {
        std::printf("Error illegal file:%d\n", fd);
        return 0;
    }
    // The bundle is followed by the rest of the form in the upload; its own length
    // (DER) ends it.
    std::string bytes;
    char block[4096];
    for (;;) {
        ssize_t n = ::read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        bytes.append(block, static_cast<size_t>(n));
        if (bytes.size() > MaxCertFile + 512) return 0;
    }
    if (bytes.size() > MaxCertFile + 512) return 0;
    return importPkcs12Bytes(reinterpret_cast<const unsigned char *>(bytes.data()),
                             std::min(bytes.size(), MaxCertFile), password);
}

std::string pkcs12Password(int fd) {
    off_t end = ::lseek(fd, 0, SEEK_END);
    if (end <= 0) return "";
    off_t from = end > 64 ? end - 64 : 0;
    char buf[65];
    ssize_t n = ::pread(fd, buf, static_cast<size_t>(end - from), from);
    if (n <= 0) return "";
    std::string tail(buf, static_cast<size_t>(n));
    size_t nl = tail.find_last_of('\n');
    return nl == std::string::npos ? tail : tail.substr(nl + 1);
}

// ---------------------------------------------------------------- deletion and restore

void delete_cert_file(int index, const char *name) {
    std::string fileName;
    if (index == CertCa) {
        if (!certHashName(name, true)) return;
        fileName = name;
        ::unlink((certDir() + "/" + fileName).c_str());
        ::unlink((certEapDir() + "/" + fileName).c_str());
    } else if (index >= 0 && index < CertCa) {
        fileName = std::strrchr(tableFiles[index], '/') + 1;
        ::unlink(certPath(index).c_str());
    } else {
        return;
    }
    int (*slotState)() = ptableHooks().storageSlotState;
    if ((static_cast<uint32_t>(p_sw_features->value()) & 0x200000) != 0 && p_autoSync->isOn() && slotState &&
        slotState() == 3) {
        ::unlink((sysPath("/var/slot1") + "/" + fileName).c_str());
        if (index == CertCa) ::unlink((sysPath("/var/slot1") + "/802.1x/" + fileName).c_str());
    }
}

// ---------------------------------------------------------------- the TLS pair

bool loadTlsKeyPair(EVP_PKEY **key, X509 **certificate) {
    *key = nullptr;
    *certificate = nullptr;
    for (auto [keyIndex, certIndex] :
         {std::pair{CertInstalledKey, CertInstalled}, std::pair{CertOwnKey, CertOwn}}) {
        std::string keyText, certText;
        if (!certReadFile(certPath(keyIndex), keyText) || keyText.empty() ||
            !certReadFile(certPath(certIndex), certText) || certText.empty())
            continue;
        BioPtr kb(BIO_new_mem_buf(keyText.data(), static_cast<int>(keyText.size())));
        BioPtr cb(BIO_new_mem_buf(certText.data(), static_cast<int>(certText.size())));
        EVP_PKEY *k = kb ? PEM_read_bio_PrivateKey(kb.get(), nullptr, nullptr, nullptr) : nullptr;
        X509 *x = cb ? PEM_read_bio_X509(cb.get(), nullptr, nullptr, nullptr) : nullptr;
        if (k != nullptr && x != nullptr) {
            *key = k;
            *certificate = x;
            ERR_clear_error();
            return true;
        }
        EVP_PKEY_free(k);
        X509_free(x);
    }
    ERR_clear_error();
    return false;
}
