// The TLS sessions of TcpConnection: the server and client handshakes, both bounded in
// time and run on the task that owns the connection, TLS reads and writes that wait for
// the direction the library asks for, and the peer's certificate and cipher texts.
//
// A socket that carries a session stays non-blocking: every TLS read and write waits
// for readiness itself, taking task messages meanwhile, so a peer that stops half-way
// through a record never holds a thread inside the kernel.
#include "core/tcp.h"
#include "core/tcp_internal.h"
#include "core/tls.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstdint>
#include <ctime>

namespace {

std::atomic<TlsSessionMaker> sessionMaker{nullptr};

int64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Ticks left of a limit that started at startMs (0 or less: the time is up).
int64_t ticksLeft(int64_t startMs, int64_t limitTicks) {
    return limitTicks - (monotonicMs() - startMs) / 10;
}

bool wantsMore(int sslError) {
    return sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE;
}

} // namespace

TlsSessionMaker tlsSessionMaker() {
    TlsSessionMaker maker = sessionMaker.load();
    return maker != nullptr ? maker : &tlsNewSession;
}

void setTlsSessionMaker(TlsSessionMaker maker) {
    sessionMaker.store(maker);
}

bool TcpConnection::waitTls(int sslError, int64_t ticks, int *err) {
    if (sslError == SSL_ERROR_WANT_WRITE) return wait4write(ticks, err, true);
    return wait4read(ticks, err, true);
}

void TcpConnection::dropTls(bool notifyPeer) {
    if (tls == nullptr) return;
    if (notifyPeer && !handshakePending_)
        tlsShutdown(tls);
    else
        SSL_free(tls);
    tls = nullptr;
    handshakePending_ = false;
}

bool TcpConnection::runHandshake(SSL *session, int (*step)(SSL *), int32_t *lastResult) {
    const int64_t start = monotonicMs();
    for (;;) {
        ERR_clear_error();
        int rc = step(session);
        if (lastResult) *lastResult = rc;
        if (rc == 1) return true;
        int sslError = SSL_get_error(session, rc);
        if (!wantsMore(sslError)) {
            tlsPrintErrors();
            return false;
        }
        int64_t left = ticksLeft(start, TlsHandshakeTicks);
        if (left <= 0) return false;
        int err = 0;
        if (!waitTls(sslError, left, &err) && err != 0) return false;
    }
}

bool TcpConnection::finishAccept() {
    if (!handshakePending_) return true;
    setFdNonBlocking(socket, true);
    if (runHandshake(tls, SSL_accept, nullptr)) {
        handshakePending_ = false;
        return true;
    }
    // The client never finished: the connection must not carry plain bytes instead,
    // so its socket goes with the session.
    dropTls(false);
    error = ErrorHard;
    closeSocket();
    return false;
}

SSL *tlsAccept(TcpConnection *connection) {
    if (connection == nullptr || connection->tls == nullptr) return nullptr;
    return connection->finishAccept() ? connection->tls : nullptr;
}

SSL *TcpConnection::tlsConnect(bool verify) {
    dropTls(false);
    SSL *session = tlsSessionMaker()(false);
    if (session == nullptr) {
        tlsPrintErrors();
        return nullptr;
    }
    if (SSL_set_fd(session, socket) != 1) {
        tlsPrintErrors();
        SSL_free(session);
        return nullptr;
    }
    setFdNonBlocking(socket, true);
    // A server that never answers is given up after the same limit as a client of
    // ours, so it holds up nobody else for long.
    if (runHandshake(session, SSL_connect, &lastTlsResult)) {
        if (verify) lastTlsResult = static_cast<int32_t>(SSL_get_verify_result(session));
        if (!verify || lastTlsResult == X509_V_OK) {
            tls = session;
            return session;
        }
    }
    SSL_free(session);
    return nullptr;
}

int TcpConnection::tlsRead(void *memory, int size) {
    if (tls == nullptr || size <= 0) return TcpHardError;
    for (;;) {
        ERR_clear_error();
        int rc = SSL_read(tls, memory, size);
        if (rc > 0) return rc;
        int sslError = SSL_get_error(tls, rc);
        // The peer ended the stream, with or without its close notification.
        if (sslError == SSL_ERROR_ZERO_RETURN ||
            (sslError == SSL_ERROR_SSL &&
             ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING))
            return 0;
        if (wantsMore(sslError)) {
            int err = 0;
            // A configuration message half-way through a record changes nothing here:
            // the record still has to be read whole.
            if (waitTls(sslError, -1, &err) || err == 0) continue;
        }
        error = ErrorHard;
        return TcpHardError;
    }
}

int TcpConnection::tlsWrite(const void *memory, int size) {
    if (tls == nullptr) return TcpHardError;
    for (;;) {
        ERR_clear_error();
        int rc = SSL_write(tls, memory, size);
        if (rc > 0) return rc;
        int sslError = SSL_get_error(tls, rc);
        if (!wantsMore(sslError)) return rc;
        int err = 0;
        if (!waitTls(sslError, -1, &err) && err != 0) return rc;
    }
}

int TcpConnection::tlsWriteWithin(const void *memory, int size, int64_t ticks) {
    for (;;) {
        ERR_clear_error();
        int rc = SSL_write(tls, memory, size);
        if (rc > 0) return rc;
        int sslError = SSL_get_error(tls, rc);
        if (!wantsMore(sslError)) return TcpHardError;
        int err = 0;
        if (!waitTls(sslError, ticks, &err) && err != 0)
            return err == WaitTimedOut ? TcpWriteTimedOut : TcpHardError;
    }
}

bool TcpConnection::cipherDescription(char *buffer, int size) {
    if (tls == nullptr || buffer == nullptr || size <= 0) return false;
    const SSL_CIPHER *cipher = SSL_get_current_cipher(tls);
    if (cipher == nullptr) return false;
    char *text = SSL_CIPHER_description(cipher, buffer, size);
    if (text == buffer) return true;
    if (text != nullptr) OPENSSL_free(text);
    return false;
}

const char *TcpConnection::peerSubject(char *buffer, size_t size) {
    if (buffer == nullptr || size == 0) return buffer;
    buffer[0] = '\0';
    if (tls == nullptr) return buffer;
    X509 *cert = SSL_get1_peer_certificate(tls);
    if (cert == nullptr) return buffer;
    X509_NAME_oneline(X509_get_subject_name(cert), buffer,
                      static_cast<int>(size > INT32_MAX ? INT32_MAX : size));
    X509_free(cert);
    return buffer;
}
