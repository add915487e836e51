// The TLS context builders with their inputs spelled out: the settings that the public
// functions read from the parameters, and the directory of the certificate files that
// they take from sysPath("/etc/certs"). Unit tests drive these directly.
#pragma once

#include "core/tls.h"

#include <string>

struct TlsSettings {
    int security = 4;              // "security": cipher strength 1 to 4
    std::string sslmethod = "any"; // "sslmethod": minimum protocol version keyword
};

// The settings from the parameters "security" and "sslmethod" as they stand.
TlsSettings tlsCurrentSettings();

// The directory of the certificate files: sysPath("/etc/certs").
std::string tlsCertDir();

// The library's security level a context gets for the settings, or -1 to keep the
// library's default.
int tlsSecurityLevel(const TlsSettings &settings);

// The cipher list a context gets for a "security" value.
const char *tlsContextCipherList(int security);

// tlsLoadCertPair with the files taken from the given directory.
bool tlsLoadCertPairFrom(SSL_CTX *context, int pair, const std::string &certDir);

// A context for the settings with pair 1 or else pair 0 of the directory loaded; null
// (error queue printed) when neither loads. The caller owns the context.
SSL_CTX *tlsNewContext(bool server, const TlsSettings &settings, const std::string &certDir);

// tlsNewSession for the given settings and directory. The context is kept for the next
// session of the same kind while the settings, the directory and the bytes of the
// certificate files stay the same; a change to any of them builds a new one.
SSL *tlsNewSessionWith(bool server, const TlsSettings &settings, const std::string &certDir);

// Drops the kept contexts (sessions still using one keep it until they end).
void tlsForgetContexts();

// tlsCheckCertPair for the given directory.
bool tlsCheckCertPairIn(int pair, const std::string &certDir);

// The start date of the default certificate for a broken-down local time and the
// product's manufacturing year and month; the end date two years later.
void tlsDefaultValidity(const struct tm &now, int makeYear, int makeMonth, TlsCertForm &form);
