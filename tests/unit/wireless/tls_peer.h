// A TLS server for the EAP tests, on memory BIOs: certificates made per test (a CA, a
// server certificate with a DNS name, a client certificate), and a server connection
// that takes client bytes and returns its own.
#pragma once

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

struct TestPki {
    std::string dir;
    std::string ca, ca_key, server, server_key, client, client_key, other_ca;

    static EVP_PKEY *key() { return EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"); }
    static void write_pem(const std::string &path, X509 *cert, EVP_PKEY *pkey) {
        FILE *f = fopen(path.c_str(), "w");
        if (cert != nullptr) PEM_write_X509(f, cert);
        if (pkey != nullptr) PEM_write_PrivateKey(f, pkey, nullptr, nullptr, 0, nullptr, nullptr);
        fclose(f);
    }
    static X509 *make(const char *cn, EVP_PKEY *pkey, X509 *issuer, EVP_PKEY *issuer_key, bool ca,
                      const char *dns) {
        X509 *x = X509_new();
        X509_set_version(x, 2);
        static long serial = 1;
        ASN1_INTEGER_set(X509_get_serialNumber(x), serial++);
        X509_gmtime_adj(X509_getm_notBefore(x), -3600);
        X509_gmtime_adj(X509_getm_notAfter(x), 3600 * 24);
        X509_set_pubkey(x, pkey);
        X509_NAME *name = X509_get_subject_name(x);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>(cn), -1,
                                   -1, 0);
        X509_set_issuer_name(x, issuer != nullptr ? X509_get_subject_name(issuer) : name);
        X509V3_CTX ctx;
        X509V3_set_ctx(&ctx, issuer != nullptr ? issuer : x, x, nullptr, nullptr, 0);
        X509_EXTENSION *ext =
            X509V3_EXT_conf_nid(nullptr, &ctx, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
        X509_add_ext(x, ext, -1);
        X509_EXTENSION_free(ext);
        if (dns != nullptr) {
            std::string san = std::string("DNS:") + dns;
            ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, san.c_str());
            X509_add_ext(x, ext, -1);
            X509_EXTENSION_free(ext);
        }
        X509_sign(x, issuer_key != nullptr ? issuer_key : pkey, EVP_sha256());
        return x;
    }
    TestPki() {
        char tmpl[] = "/tmp/eappkiXXXXXX";
        dir = mkdtemp(tmpl);
        EVP_PKEY *cak = key(), *sk = key(), *ck = key(), *ok = key();
        X509 *cac = make("Test CA", cak, nullptr, nullptr, true, nullptr);
        X509 *sc = make("radius.example.org", sk, cac, cak, false, "radius.example.org");
        X509 *cc = make("client", ck, cac, cak, false, nullptr);
        X509 *oc = make("Other CA", ok, nullptr, nullptr, true, nullptr);
        ca = dir + "/ca.pem";
        ca_key = dir + "/ca.key";
        server = dir + "/server.pem";
        server_key = dir + "/server.key";
        client = dir + "/client.pem";
        client_key = dir + "/client.key";
        other_ca = dir + "/other.pem";
        write_pem(ca, cac, nullptr);
        write_pem(ca_key, nullptr, cak);
        write_pem(server, sc, nullptr);
        write_pem(server_key, nullptr, sk);
        write_pem(client, cc, nullptr);
        write_pem(client_key, nullptr, ck);
        write_pem(other_ca, oc, nullptr);
        X509_free(cac);
        X509_free(sc);
        X509_free(cc);
        X509_free(oc);
        EVP_PKEY_free(cak);
        EVP_PKEY_free(sk);
        EVP_PKEY_free(ck);
        EVP_PKEY_free(ok);
    }
    ~TestPki() {
        for (const std::string &f : {ca, ca_key, server, server_key, client, client_key, other_ca})
            unlink(f.c_str());
        rmdir(dir.c_str());
    }
};

struct TlsServer {
    SSL_CTX *ctx = nullptr;
    SSL *ssl = nullptr;
    BIO *in = nullptr, *out = nullptr;

    // The OCSP response stapled when the client asks for the status (none when empty).
    std::vector<uint8_t> staple;

    static int status_cb(SSL *s, void *arg) {
        const std::vector<uint8_t> &r = static_cast<TlsServer *>(arg)->staple;
        if (r.empty()) return SSL_TLSEXT_ERR_NOACK;
        auto *copy = static_cast<unsigned char *>(OPENSSL_memdup(r.data(), r.size()));
        SSL_set_tlsext_status_ocsp_resp(s, copy, static_cast<long>(r.size()));
        return SSL_TLSEXT_ERR_OK;
    }

    TlsServer(const TestPki &pki, bool require_client_cert, const char *ciphers = nullptr) {
        ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_file(ctx, pki.server.c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(ctx, pki.server_key.c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_load_verify_locations(ctx, pki.ca.c_str(), nullptr);
        if (ciphers != nullptr) SSL_CTX_set_cipher_list(ctx, ciphers);
        if (require_client_cert)
            SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        // Sessions of a server that verifies its clients are resumed only in a context.
        static const unsigned char sid_ctx[] = "eap";
        SSL_CTX_set_session_id_context(ctx, sid_ctx, 3);
        SSL_CTX_set_tlsext_status_cb(ctx, status_cb);
        SSL_CTX_set_tlsext_status_arg(ctx, this);
        restart();
    }
    TlsServer(const TlsServer &) = delete;
    TlsServer &operator=(const TlsServer &) = delete;
    // A fresh server connection on the same context (its session cache and ticket keys).
    void restart() {
        if (ssl != nullptr) {
            // Ended cleanly, the session stays in the server's cache.
            SSL_set_quiet_shutdown(ssl, 1);
            SSL_shutdown(ssl);
        }
        SSL_free(ssl);
        ssl = SSL_new(ctx);
        in = BIO_new(BIO_s_mem());
        out = BIO_new(BIO_s_mem());
        SSL_set_bio(ssl, in, out);
        SSL_set_accept_state(ssl);
    }
    ~TlsServer() {
        SSL_free(ssl);
        SSL_CTX_free(ctx);
    }
    std::vector<uint8_t> drain() {
        std::vector<uint8_t> v(static_cast<size_t>(BIO_ctrl_pending(out)));
        if (!v.empty()) BIO_read(out, v.data(), static_cast<int>(v.size()));
        return v;
    }
    // Client bytes in, server bytes out (handshake or, once established, records).
    std::vector<uint8_t> feed(const std::vector<uint8_t> &data) {
        if (!data.empty()) BIO_write(in, data.data(), static_cast<int>(data.size()));
        if (!SSL_is_init_finished(ssl)) SSL_do_handshake(ssl);
        ERR_clear_error();
        return drain();
    }
    bool established() const { return SSL_is_init_finished(ssl); }
    std::vector<uint8_t> read_app(const std::vector<uint8_t> &records) {
        BIO_write(in, records.data(), static_cast<int>(records.size()));
        std::vector<uint8_t> buf(70000);
        int n = SSL_read(ssl, buf.data(), static_cast<int>(buf.size()));
        buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return buf;
    }
    std::vector<uint8_t> write_app(const std::vector<uint8_t> &plain) {
        SSL_write(ssl, plain.data(), static_cast<int>(plain.size()));
        return drain();
    }
    std::vector<uint8_t> export_key(const char *label, size_t len) {
        std::vector<uint8_t> k(len);
        SSL_export_keying_material(ssl, k.data(), len, label, strlen(label), nullptr, 0, 0);
        return k;
    }
};
