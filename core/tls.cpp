// TLS contexts and sessions built from the current parameters and certificate files,
// the crypto providers, and the process's TLS start-up and tear-down.

#include "core/tls.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "core/param.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/sysroot.h"
#include "core/task.h"
#include "core/ticks.h"
#include "core/tls_internal.h"
#include "core/utils_file.h"
#include "param_catalogue.h"

#include <openssl/err.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sys/stat.h>

namespace {

struct PairFiles {
    const char *key;
    const char *cert;
};

constexpr PairFiles pairFiles[TlsPairCount] = {
    {"/etc/certs/cert_pkey.pem", "/etc/certs/cert_srv.pem"},
    {"/etc/certs/cert_fpkey.pem", "/etc/certs/cert_fsrv.pem"},
    {"/etc/certs/cert_rpriv.pem", "/etc/certs/cert_rcert.pem"},
};

constexpr const char CertsDir[] = "/etc/certs";

// The file name of a fixed certificate path within the certificate directory.
std::string inDir(const std::string &certDir, const char *fixedPath) {
    return certDir + (fixedPath + sizeof(CertsDir) - 1);
}

// The crypto providers this process loaded; null when not loaded.
std::mutex providerMutex;
OSSL_PROVIDER *legacyProvider = nullptr;
OSSL_PROVIDER *defaultProvider = nullptr;

// Loading any provider explicitly ends the library's automatic use of "default", so
// "default" is loaded as soon as anything else is.
void loadDefaultProviderLocked() {
    if (defaultProvider == nullptr) defaultProvider = OSSL_PROVIDER_load(nullptr, "default");
}

std::once_flag startOnce;

} // namespace

const char *tlsKeyFile(int pair) {
    return pair >= 0 && pair < TlsPairCount ? pairFiles[pair].key : nullptr;
}

const char *tlsCertFile(int pair) {
    return pair >= 0 && pair < TlsPairCount ? pairFiles[pair].cert : nullptr;
}

const char *tlsCipherList(int security) {
    switch (security) {
    case 1:
        return "LOW";
    case 2:
        return "MEDIUM:RSA+AES128+SHA";
    case 3:
        return "HIGH";
    default:
        return "DEFAULT";
    }
}

// "HIGH" on its own also selects the anonymous (unauthenticated) key exchanges. The
// library's default security level refuses them, but a context whose level is lowered
// for TLS 1.0/1.1 would accept them, letting anyone in the path read the strongest
// setting's traffic: they are removed from the list.
const char *tlsContextCipherList(int security) {
    return security == 3 ? "HIGH:!aNULL" : tlsCipherList(security);
}

int tlsMinVersion(const char *sslmethod) {
    if (sslmethod == nullptr) return 0;
    if (!std::strcmp(sslmethod, "tls10")) return TLS1_VERSION;
    if (!std::strcmp(sslmethod, "tls11")) return TLS1_1_VERSION;
    if (!std::strcmp(sslmethod, "tls12")) return TLS1_2_VERSION;
    if (!std::strcmp(sslmethod, "tls13")) return TLS1_3_VERSION;
    return 0;
}

// The library refuses TLS 1.0 and 1.1 at its default security level (their handshake
// signatures use SHA-1). When the administrator has explicitly set the minimum to one
// of them, those versions are meant to work, so the level is lowered to 0 for that
// context; every other setting keeps the library's default.
int tlsSecurityLevel(const TlsSettings &settings) {
    int version = tlsMinVersion(settings.sslmethod.c_str());
    return version == TLS1_VERSION || version == TLS1_1_VERSION ? 0 : -1;
}

void tlsPrintErrors() {
    ERR_print_errors_fp(stdout);
    std::fflush(stdout);
}

std::string tlsCertDir() {
    return sysPath(CertsDir);
}

TlsSettings tlsCurrentSettings() {
    ptable();
    TlsSettings settings;
    if (p_security != nullptr) settings.security = p_security->value();
    if (p_sslmethod != nullptr) {
        int i = p_sslmethod->current();
        if (i >= 0 && i < p_sslmethod->optionCount() && p_sslmethod->options()[i].keyword != nullptr)
            settings.sslmethod = p_sslmethod->options()[i].keyword;
    }
    return settings;
}

bool tlsLoadCertPairFrom(SSL_CTX *context, int pair, const std::string &certDir) {
    if (context == nullptr || pair < 0 || pair >= TlsPairCount) return false;
    std::string key = inDir(certDir, pairFiles[pair].key);
    std::string cert = inDir(certDir, pairFiles[pair].cert);
    if (fileSize(key.c_str()) < 0 || fileSize(cert.c_str()) < 0) return false;
    // The key check matters: the library keeps a certificate whose key does not match
    // and silently drops the key, which would leave a context that fails every
    // handshake instead of falling back to the appliance's own pair.
    if (SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_certificate_chain_file(context, cert.c_str()) != 1 ||
        SSL_CTX_check_private_key(context) != 1) {
        std::printf("TLS: certificate pair %d (%s, %s) not usable\n", pair, key.c_str(), cert.c_str());
        tlsPrintErrors();
        return false;
    }
    return true;
}

bool tlsLoadCertPair(SSL_CTX *context, int pair) {
    return tlsLoadCertPairFrom(context, pair, tlsCertDir());
}

namespace {

// A context for the settings, without certificates.
SSL_CTX *bareContext(bool server, const TlsSettings &settings) {
    SSL_CTX *context = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (context == nullptr) {
        tlsPrintErrors();
        return nullptr;
    }
    int level = tlsSecurityLevel(settings);
    if (level >= 0) SSL_CTX_set_security_level(context, level);
    int version = tlsMinVersion(settings.sslmethod.c_str());
    if (version != 0) SSL_CTX_set_min_proto_version(context, version);
    // A list that names no cipher this library has (e.g. "LOW") would leave the context
    // with no cipher below TLS 1.3: the default list is put back instead.
    if (SSL_CTX_set_cipher_list(context, tlsContextCipherList(settings.security)) != 1) {
        ERR_clear_error();
        SSL_CTX_set_cipher_list(context, "DEFAULT");
    }
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Every connection makes a full handshake with the certificate and settings of the
    // moment: a server context that serves many sessions keeps no session to resume and
    // hands out no ticket.
    if (server) {
        SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
        SSL_CTX_set_options(context, SSL_OP_NO_TICKET);
        SSL_CTX_set_num_tickets(context, 0);
    }
    return context;
}

} // namespace

SSL_CTX *tlsNewContext(bool server, const TlsSettings &settings, const std::string &certDir) {
    // Pair 1 when it loads, else pair 0; each attempt on a context of its own, so that
    // nothing of a refused pair stays behind.
    for (int pair : {TlsPairInstalled, TlsPairOwn}) {
        SSL_CTX *context = bareContext(server, settings);
        if (context == nullptr) return nullptr;
        if (tlsLoadCertPairFrom(context, pair, certDir)) return context;
        SSL_CTX_free(context);
    }
    std::printf("TLS: no usable certificate in %s\n", certDir.c_str());
    std::fflush(stdout);
    return nullptr;
}

namespace {

// A certificate file larger than this is not remembered: a context that needs one is
// built afresh for every session.
constexpr off_t MaxRememberedFile = 256 * 1024;

// Appends what a context build reads of the file: "-" when it cannot be opened, else its
// size and bytes. False when the file is too large to remember or cannot be read whole.
bool appendFileImage(std::string &image, const std::string &path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        image += '-';
        return true;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= MaxRememberedFile;
    if (ok) {
        size_t start = image.size();
        image += std::to_string(st.st_size);
        image += ':';
        size_t bytes = image.size();
        image.resize(bytes + static_cast<size_t>(st.st_size) + 1);
        size_t got = 0;
        for (;;) {
            // One byte more than the size asks for: a file that grew meanwhile shows.
            ssize_t n = ::read(fd, &image[bytes + got], image.size() - bytes - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<size_t>(n);
            if (got == image.size() - bytes) break;
        }
        ok = got == static_cast<size_t>(st.st_size);
        image.resize(ok ? bytes + got : start);
    }
    ::close(fd);
    return ok;
}

// The contents of the files a context for the directory is built from (pair 1, then
// pair 0), read just before it is built; false when they cannot be remembered.
bool certImage(const std::string &certDir, std::string &image) {
    image.clear();
    for (int pair : {TlsPairInstalled, TlsPairOwn})
        if (!appendFileImage(image, inDir(certDir, pairFiles[pair].key)) ||
            !appendFileImage(image, inDir(certDir, pairFiles[pair].cert)))
            return false;
    return true;
}

// The last context built for server and for client sessions, with what it was built
// from. A session takes it while the settings, the directory and the bytes of the
// certificate files are still those; any change builds a new one, so a new certificate
// or setting still takes effect with the next connection.
struct RememberedContext {
    SSL_CTX *context = nullptr;
    TlsSettings settings;
    std::string certDir;
    std::string image;
};
std::mutex contextMutex;
RememberedContext remembered[2]; // [0] client, [1] server

bool sameSettings(const TlsSettings &a, const TlsSettings &b) {
    return a.security == b.security && a.sslmethod == b.sslmethod;
}

// A reference to the context for the settings and directory: the remembered one when
// nothing changed, else a new one (remembered when its files could be). Null when no
// context can be made.
SSL_CTX *contextFor(bool server, const TlsSettings &settings, const std::string &certDir) {
    std::string image;
    bool rememberable = certImage(certDir, image);
    RememberedContext &r = remembered[server ? 1 : 0];
    {
        std::lock_guard<std::mutex> lock(contextMutex);
        if (rememberable && r.context != nullptr && sameSettings(r.settings, settings) &&
            r.certDir == certDir && r.image == image) {
            SSL_CTX_up_ref(r.context);
            return r.context;
        }
    }
    SSL_CTX *context = tlsNewContext(server, settings, certDir);
    if (context == nullptr || !rememberable) return context;
    std::lock_guard<std::mutex> lock(contextMutex);
    // The remembered one keeps a reference of its own; sessions made from the one it
    // replaces keep theirs and free it with the last of them.
    SSL_CTX_up_ref(context);
    if (r.context != nullptr) SSL_CTX_free(r.context);
    r.context = context;
    r.settings = settings;
    r.certDir = certDir;
    r.image = std::move(image);
    return context;
}

} // namespace

SSL *tlsNewSessionWith(bool server, const TlsSettings &settings, const std::string &certDir) {
    SSL_CTX *context = contextFor(server, settings, certDir);
    if (context == nullptr) return nullptr;
    SSL *session = SSL_new(context);
    // The session holds its own reference: the context goes with the last session made
    // from it (or when a changed setting or file replaces it).
    SSL_CTX_free(context);
    if (session == nullptr) tlsPrintErrors();
    return session;
}

void tlsForgetContexts() {
    std::lock_guard<std::mutex> lock(contextMutex);
    for (RememberedContext &r : remembered) {
        if (r.context != nullptr) SSL_CTX_free(r.context);
        r = RememberedContext();
    }
}

SSL *tlsNewSession(bool server) {
    return tlsNewSessionWith(server, tlsCurrentSettings(), tlsCertDir());
}

void tlsShutdown(SSL *session) {
    if (session == nullptr) return;
    if (SSL_get_fd(session) > 0) {
        for (int attempt = 0; attempt < 2; attempt++) {
            int rc = SSL_shutdown(session);
            if (rc == 0 || rc == 1) break;
            int error = SSL_get_error(session, rc);
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) break;
            // Wait for the socket itself, not on the task's messages: this runs from
            // destructors, where an exit message must not end the thread.
            if (attempt == 0) {
                pollfd pfd{SSL_get_fd(session),
                           static_cast<short>(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
                ::poll(&pfd, 1, 330);
            }
        }
    }
    ERR_clear_error();
    SSL_free(session);
}

bool tlsCheckCertPairIn(int pair, const std::string &certDir) {
    SSL_CTX *context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) {
        tlsPrintErrors();
        return false;
    }
    bool usable = tlsLoadCertPairFrom(context, pair, certDir);
    SSL_CTX_free(context);
    return usable;
}

bool tlsCheckCertPair(int pair) {
    return tlsCheckCertPairIn(pair, tlsCertDir());
}

void tlsSetLegacyProvider(bool wanted) {
    std::lock_guard<std::mutex> lock(providerMutex);
    if (wanted && legacyProvider == nullptr) {
        loadDefaultProviderLocked();
        legacyProvider = OSSL_PROVIDER_load(nullptr, "legacy");
        if (legacyProvider == nullptr) tlsPrintErrors();
    } else if (!wanted && legacyProvider != nullptr) {
        OSSL_PROVIDER_unload(legacyProvider);
        legacyProvider = nullptr;
    }
}

bool tlsLegacyLoaded() {
    std::lock_guard<std::mutex> lock(providerMutex);
    return legacyProvider != nullptr;
}

void tlsUnloadProviders() {
    // The remembered contexts hold on to the providers' algorithms.
    tlsForgetContexts();
    std::lock_guard<std::mutex> lock(providerMutex);
    if (legacyProvider != nullptr) OSSL_PROVIDER_unload(legacyProvider);
    if (defaultProvider != nullptr) OSSL_PROVIDER_unload(defaultProvider);
    legacyProvider = nullptr;
    defaultProvider = nullptr;
}

int tlsStart(int value) {
    std::call_once(startOnce, [&value] {
        std::string certDir = tlsCertDir();
        std::string keyPath = inDir(certDir, pairFiles[TlsPairOwn].key);
        TlsSettings settings = tlsCurrentSettings();

        // Providers first: the default certificate's key is made with them.
        if (settings.security == 4 || settings.security == 1) tlsSetLegacyProvider(true);
        {
            std::lock_guard<std::mutex> lock(providerMutex);
            loadDefaultProviderLocked();
        }
        OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
        OPENSSL_init_ssl(0, nullptr);
        RAND_poll();
        int64_t ticks = sysTicks();
        RAND_seed(&ticks, sizeof ticks);

        if (fileSize(keyPath.c_str()) < 0) {
            char ip[64] = "0.0.0.0";
            if (p_ip_addr != nullptr) p_ip_addr->address().print(ip, sizeof ip);
            TlsCertForm form = tlsDefaultCertForm(time(nullptr), ip);
            if (tlsDefaultCertHook != nullptr) tlsDefaultCertHook(form, TlsDefaultKeyBits);
        }
        value = chmod(keyPath.c_str(), 0600);
    });
    return value;
}
