// The seam through which TcpConnection takes its TLS sessions: tlsNewSession of
// core/tls.h, unless a test installs a maker that builds them from its own
// certificate directory.
#pragma once

#include <openssl/ssl.h>

using TlsSessionMaker = SSL *(*)(bool server);

// The maker in use (tlsNewSession by default).
TlsSessionMaker tlsSessionMaker();
// Installs a maker; null restores tlsNewSession.
void setTlsSessionMaker(TlsSessionMaker maker);
