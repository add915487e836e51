// The certificate store under "/etc/certs": the appliance's own self-signed pair, an
// installed pair with its chain (PKCS#12 import or the signed answer to the appliance's
// request), the pending request, the S/MIME certificate and the CA certificates named by
// their subject hash (linked into "802.1x" for EAP).
//
// One shared work object, `cert`, holds the attribute texts of the certificate loaded
// last and the form of a new certificate or request; "cert::mtx" guards it. Readers
// never look into the object itself: they take a copy (CertView) under the lock.
//
// Every file of the store is written to a temporary name, synced and renamed into
// place, keys with mode 0600 and everything else 0644, so a reader finds the old file
// or the whole new one and an upload that fails changes nothing.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

class Buffer;

// The store's files, by index.
enum CertFile : int {
    CertOwnKey = 0,       // cert_pkey.pem: key of the self-signed certificate
    CertInstalledKey = 1, // cert_fpkey.pem: key of the installed certificate
    CertRequestKey = 2,   // cert_rpriv.pem: key of the certificate request
    CertOwn = 3,          // cert_srv.pem: self-signed certificate
    CertInstalled = 4,    // cert_fsrv.pem: installed certificate, then its chain
    CertSigned = 5,       // cert_rcert.pem: certificate signed for the request
    CertRequest = 6,      // cert_req.pem: certificate request
    CertMime = 7,         // cert_mime.pem: S/MIME certificate
    CertTemp = 8,         // cert.tmp
    CertCa = 9,           // <hash>.0: a CA certificate
    CertFileCount = 10,
};

// The appliance path of a table file (0-8), null otherwise.
const char *certFilePath(int index);
// The file's path under the sandbox root.
std::string certPath(int index);
// sysPath("/etc/certs") and sysPath("/etc/certs/802.1x").
std::string certDir();
std::string certEapDir();

// True for a CA file name: 8 lower-case hex digits and ".0" (withSuffix) or the 8 digits
// alone.
bool certHashName(const char *name, bool withSuffix);

// The attribute texts of one certificate or form, copied out of the shared object.
struct CertView {
    static constexpr int Count = 31;
    std::array<std::string, Count> values;
    int keyBits = 4096;
    unsigned long subjectHash = 0;
    unsigned long issuerHash = 0;
    std::string requestText;
    const std::string &operator[](int slot) const { return values[static_cast<size_t>(slot)]; }
};

// Generation states.
enum CertGenState : int { GenNone = 0, GenReady = 2, GenRunning = 3, GenDone = 4 };

class cert {
public:
    enum Slot : int {
        Cn,
        On,
        Ou,
        Ln,
        Sn,
        Ctry,
        Dc,
        San,
        Ser,
        Kid,
        Mail,
        SYear,
        SMon,
        SDay,
        EYear,
        EMon,
        EDay,
        Start,
        End,
        Ct,
        Sha1,
        Sha2,
        ICn,
        IOn,
        IOu,
        ILn,
        ISn,
        ICtry,
        IDc,
        IKid,
        IMail,
        SlotCount
    };
    static constexpr int PoolSize = 1988;
    static const char *const attributeNames[SlotCount];
    // The slot of an attribute name, -1 for none.
    static int slotOf(const char *name);

    // "cert::mtx": a try-lock loop that waits 20 ticks on a task and 2 ms elsewhere.
    static void lock();
    static void unlock();

    // The object (created on first use) and its release (kept while a generation is
    // validated or running; the state then stays).
    static cert *get();
    static void release();

    // A copy of the object's attributes under the lock; empty texts without object.
    static CertView view();
    // The text of one slot, copied under the lock (the "start" and "end" slots read as
    // year/month/day).
    static std::string attribute(int slot);

    // Copies prefix and text (length -1: all of it) into the pool at slot + offset;
    // append continues the previous value after ',' ('/' for the domain components).
    // 0 when the pool would overflow or the slot is out of range. The caller holds the
    // lock.
    int setAttribut(int slot, const char *text, int length = -1, int offset = 0, const char *prefix = nullptr,
                    bool append = false);
    int setHexAttribut(int slot, bool reverse, const unsigned char *bytes, int count, int offset = 0);
    const char *attributeLocked(int slot) const;
    void clearAttributes();

    // Checks the form in the object (kind 6 a request, else a certificate): "cn",
    // "on", "ln" and "ctry" set, and for a certificate valid dates from the year 2000
    // with the end not before the start. On success the state becomes "ready". 1 or 0.
    static int validate(int kind);

    // Loads the certificate (index 0-5, 7-9; the byte above the index picks the N-th of
    // the file) or the request (index 6) from the path (null: the table's path) or the
    // descriptor (>= 0; read from its current position, not closed) into the object.
    // PEM or DER. 1 or 0. With copy, the attributes of what was loaded are copied out
    // before the lock is given up, so no other load can come between.
    static int load(int selector, const char *path = nullptr, int fd = -1, CertView *copy = nullptr);
    // The same over bytes in memory.
    static int loadBytes(int selector, const unsigned char *data, size_t size, CertView *copy = nullptr);

    int keyBits = 4096;

private:
    std::array<char, PoolSize> pool_{};
    int next_ = 0;
    std::array<int, 32> slots_{};
};

// Shared words beside the object.
extern std::atomic<int> certGenState;
extern std::atomic<int> certLastKind;
// The kind of the form validated last (6 a request, 0 a certificate): what the generator
// makes, whatever is loaded meanwhile.
extern std::atomic<int> certFormKind;
extern std::atomic<unsigned long> certSubjectHash;
extern std::atomic<unsigned long> certIssuerHash;

// The template value of "cert" variables: type 3 own, 4 installed, 1 installed key, 7
// S/MIME, 9 CA, 6 request, and the name "state", "text", "bits" or an attribute. The
// text is HTML-escaped into the buffer; its length, 0 when it does not fit.
int certGetAttribute(int type, const char *name, char *buffer, int size);
// The whole variable name ("certself_cn" ...); -1 for a name without known type.
int certVariable(const char *name, char *buffer, int size);

// True when the date is valid (year 2000 or later).
bool certValidDate(int year, int month, int day);

// Installs an upload (index 5, 7 or 9) read from the descriptor's start: at most 20480
// bytes, and only when it holds a certificate; the file is rewritten as PEM. For 9 the
// name is the subject hash. hashOut receives the subject hash; copy (not for 9) the
// attributes of the installed certificate as cert::load gives them. 1 or 0.
int certInstall(int index, int fd, unsigned long *hashOut = nullptr, CertView *copy = nullptr);

// Imports a PKCS#12 bundle (read from the descriptor's start, not closed) with the
// password as the installed pair: key 0600, certificate then its issuers in chain
// order. Nothing changes unless the bundle parses and its key matches. 1 or 0.
int importPkcs12(int fd, const char *password);
// The same over bytes in memory (the fuzz target's entry).
int importPkcs12Bytes(const unsigned char *data, size_t size, const char *password);

// The password of a PKCS#12 upload: the text after the last line break within the last
// 64 bytes of the file (empty after a final line break; the last 64 bytes when none).
std::string pkcs12Password(int fd);

// Removes the table file (0-8) or, for 9, the CA file of that name ("%08lx.0") with its
// EAP link; also the copies on the storage slot when it is in use.
void delete_cert_file(int index, const char *name = nullptr);

// Signs (or, with "smtp_encrypt" on, encrypts for the S/MIME certificate) the body read
// from the input file or buffer into the output file or buffer. The signer certificate
// goes in only while "smtp_attpkey" is on. 0 when the message cannot be made or does
// not fit the output buffer's room.
namespace certstore {
int smime_build_body(const char *inputFile, Buffer &input, Buffer &output, const char *outputFile);
}

// The installed pair when both files are present and not empty, else the own pair;
// false when neither is complete. The caller frees both.
bool loadTlsKeyPair(EVP_PKEY **key, X509 **certificate);

// Generation: starts "CertGenerator" with the validated form (state 2); false when
// the state is not 2 or the task cannot start.
bool start_cert_generator(int bits);
// The last generation: key size, start tick, and the reason it failed (empty while it
// runs or after success).
struct CertGenInfo {
    int bits = 0;
    int64_t startTick = 0;
    int kind = 0;
    std::string failure;
};
CertGenInfo certGenInfo();
// The generation itself on the calling thread (the task's body; tests call it).
bool generateKeyAndCertificate(const CertView &form, int kind, int bits);
