// TLS contexts: every TLS session of the daemon, server side (HTTPS, the USB server's
// TLS port) and client side (mail, syslog and WebDAV clients), is made here from a
// context built from the parameters "security" and "sslmethod" and the certificate
// files as they are at that moment. The last context of each side is kept for the next
// session while the settings and the bytes of the certificate files stay the same, and
// rebuilt as soon as any of them changes: a new certificate, cipher strength or minimum
// protocol version therefore takes effect with the next connection. Sessions hold their
// own reference to their context; server sessions are never resumed.
//
// Also here: the process's TLS start-up (default self-signed certificate, crypto
// providers, library initialisation) and its tear-down.
//
// The handshakes themselves (accept with its 20 s limit, connect with verification)
// belong to TcpConnection (core/tcp.h), which takes its sessions from tlsNewSession.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

// The three numbered certificate pairs.
enum TlsCertPairIndex : int {
    TlsPairOwn = 0,       // the appliance's own self-signed certificate
    TlsPairInstalled = 1, // an installed certificate with its chain
    TlsPairRequest = 2,   // the key of the certificate request and the certificate signed for it
    TlsPairCount = 3,
};

// The fixed appliance paths of pair N (not mapped through sysPath); null for a pair
// number outside 0..2.
const char *tlsKeyFile(int pair);
const char *tlsCertFile(int pair);

// The cipher list for a "security" value: 1 "LOW", 2 "MEDIUM:RSA+AES128+SHA", 3 "HIGH",
// anything else "DEFAULT".
const char *tlsCipherList(int security);

// The minimum protocol version for an "sslmethod" keyword: "tls10" TLS1_VERSION,
// "tls11" TLS1_1_VERSION, "tls12" TLS1_2_VERSION, "tls13" TLS1_3_VERSION; 0 (no
// minimum, the library's default) for "any" and anything else.
int tlsMinVersion(const char *sslmethod);

// Loads the key and the certificate chain of pair N (files under sysPath) into the
// context. False for a pair number of 3 or more, a missing file, or a file the library
// refuses (its error queue is printed on standard output).
bool tlsLoadCertPair(SSL_CTX *context, int pair);

// A new session on a context made from the current parameters: the version-flexible
// server or client method, the minimum version from "sslmethod", the cipher list from
// "security", certificate pair 1 or else pair 0 (client contexts carry the appliance's
// certificate too), partial writes and moving write buffers allowed. Null (error
// queue printed) when no context can be made or neither pair loads. SSL_free frees the
// session (and its context when no other session or the kept one refers to it).
SSL *tlsNewSession(bool server);

// Owner of a session and, through it, of its context.
struct TlsSessionFree {
    void operator()(SSL *session) const { SSL_free(session); }
};
using TlsSession = std::unique_ptr<SSL, TlsSessionFree>;

// Sends the close notification when the session is attached to a descriptor above 0
// (once more after 33 ticks when the socket was not ready, waiting through the calling
// task), then frees the session and its context. Null does nothing.
void tlsShutdown(SSL *session);

// True when pair N loads into a fresh server context and its key matches its
// certificate (the certificate pages call this after an upload).
bool tlsCheckCertPair(int pair);

// Prints the TLS library's error queue on standard output (and empties it).
void tlsPrintErrors();

// The process's TLS start-up; runs once (later calls return value unchanged). Hands
// the default self-signed certificate's form to tlsDefaultCertHook when
// sysPath("/etc/certs/cert_pkey.pem") does not exist, loads the "legacy" provider when
// "security" is 1 or 4 and the "default" provider, initialises the library and seeds
// its random generator. Returns the result of setting the key file's mode to 0600
// (0, or -1 while the key is still being generated).
int tlsStart(int value);

// Unloads the "legacy" and then the "default" provider when loaded (shutdown, after the
// tasks have stopped).
void tlsUnloadProviders();

// Loads (wanted) or unloads the crypto library's "legacy" provider (MD4, RC4, DES),
// once: "security" 1 and 4 keep it loaded, 2 and 3 unload it. Thread-safe.
void tlsSetLegacyProvider(bool wanted);
// True while the "legacy" provider is loaded (shown beside the encryption level).
bool tlsLegacyLoaded();

// The form of a self-signed certificate: subject texts, validity dates and subject
// alternative names, as the certificate generator takes them.
struct TlsCertForm {
    std::string commonName;
    std::string organisation;
    std::string unit;
    std::string locality;
    std::string state;
    std::string country;
    std::string email;
    std::string altNames; // "DNS:...,IP:..." or empty
    int startYear = 0, startMonth = 0, startDay = 0;
    int endYear = 0, endMonth = 0, endDay = 0;
};

// The key size of the default certificate.
constexpr int TlsDefaultKeyBits = 4096;

// The form of the appliance's default certificate at the given time: common name =
// the product's default name, the maker's fixed subject values, valid for two years
// from today (clock at 2020 or later) or else from day 1 of the manufacturing month,
// "DNS:<ip>,IP:<ip>" with the IPv4 address text.
TlsCertForm tlsDefaultCertForm(time_t now, const std::string &ipText);

// The certificate store's start of the default certificate's generation: fills its
// form, validates it and starts the generator task; false when the form is refused or
// the task cannot start. Installed by the store; null leaves the appliance without a
// default certificate.
extern bool (*tlsDefaultCertHook)(const TlsCertForm &form, int keyBits);
