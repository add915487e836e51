// The TLS wrapper and the TLS-based methods against an OpenSSL server on memory BIOs:
// key export equal to the server's, the key block with a SHA-384 suite, certificate
// checks, fragmentation and reassembly, and EAP-TLS, TTLS, PEAP and FAST end to end.
// Key export and key block also against `openssl s_server` over a loopback TCP pump.
#include "eap_harness.h"
#include "tls_peer.h"
#include "tls_pump.h"
#include "wcrypto/hex.h"

#include "wireless/core/wpabuf.h"
#include "wireless/crypto/crypto.h"
#include "wireless/crypto/tls.h"
#include "wireless/eap/eap_fast.h"
#include "wireless/eap/eap_fast_pac.h"
#include "wireless/eap/eap_tls_common.h"
#include "wireless/eap/eap_ttls.h"

#include <openssl/hmac.h>
#include <openssl/ocsp.h>

#include <fstream>
#include <sstream>

namespace {

struct Events {
    std::vector<tls_event> kinds;
    std::vector<int> reasons;
    static void cb(void *ctx, tls_event ev, const tls_event_data *data) {
        auto *self = static_cast<Events *>(ctx);
        self->kinds.push_back(ev);
        if (ev == TLS_CERT_CHAIN_FAILURE) self->reasons.push_back(data->cert_fail.reason);
    }
};

struct Wrapper : ::testing::Test {
    TestPki pki;
    Events events;
    tls_library_ctx *lib = nullptr;
    tls_conn *conn = nullptr;
    void SetUp() override {
        tls_library_config conf{};
        conf.event_cb = Events::cb;
        conf.cb_ctx = &events;
        lib = tls_library_init(&conf);
        ASSERT_NE(lib, nullptr);
        conn = tls_conn_new(lib);
        ASSERT_NE(conn, nullptr);
    }
    void TearDown() override {
        tls_conn_free(lib, conn);
        tls_library_deinit(lib);
    }
    // Runs the handshake to its end; true when both sides finished.
    bool handshake(TlsServer &srv) {
        wpa_buf *in = nullptr;
        for (int i = 0; i < 10; i++) {
            wpa_buf *out = tls_conn_client_handshake(lib, conn, in, nullptr);
            wpa_buf_free(in);
            in = nullptr;
            if (out == nullptr) return false;
            std::vector<uint8_t> c(wpa_buf_head(out), wpa_buf_head(out) + wpa_buf_len(out));
            wpa_buf_free(out);
            if (tls_conn_failed(lib, conn)) return false;
            if (tls_conn_established(lib, conn) && c.empty()) return srv.established();
            std::vector<uint8_t> s = srv.feed(c);
            if (!s.empty()) in = wpa_buf_alloc_copy(s.data(), s.size());
        }
        return false;
    }
};

// P_hash of TLS 1.2 with HMAC from the library's one-shot function.
std::vector<uint8_t> p_hash(const EVP_MD *md, const std::vector<uint8_t> &secret, const std::string &label,
                            const std::vector<uint8_t> &seed, size_t len) {
    std::vector<uint8_t> ls(label.begin(), label.end());
    ls.insert(ls.end(), seed.begin(), seed.end());
    std::vector<uint8_t> a = ls, out;
    unsigned int n;
    uint8_t buf[EVP_MAX_MD_SIZE];
    while (out.size() < len) {
        HMAC(md, secret.data(), static_cast<int>(secret.size()), a.data(), a.size(), buf, &n);
        a.assign(buf, buf + n);
        std::vector<uint8_t> in = a;
        in.insert(in.end(), ls.begin(), ls.end());
        HMAC(md, secret.data(), static_cast<int>(secret.size()), in.data(), in.size(), buf, &n);
        out.insert(out.end(), buf, buf + n);
    }
    out.resize(len);
    return out;
}

TEST_F(Wrapper, ExportAndKeyBlockEqualTheServers) {
    TlsServer srv(pki, false, "ECDHE-ECDSA-AES256-GCM-SHA384");
    tls_conn_params params{};
    params.ca_cert = pki.ca.c_str();
    ASSERT_EQ(tls_conn_set_params(lib, conn, &params), 0);
    ASSERT_TRUE(handshake(srv));
    char version[32];
    tls_conn_version_text(lib, conn, version, sizeof(version));
    EXPECT_STREQ(version, "TLSv1.2");
    struct Export {
        const char *label;
        size_t len;
    };
    for (const Export &e : {Export{"client EAP encryption", 128}, Export{"ttls keying material", 128},
                            Export{"ttls challenge", 17}}) {
        std::vector<uint8_t> mine(e.len);
        ASSERT_EQ(tls_conn_export_key(lib, conn, e.label, mine.data(), e.len), 0);
        EXPECT_EQ(mine, srv.export_key(e.label, e.len)) << e.label;
    }
    // Key block: PRF with the suite's hash (SHA-384) over the server's master secret;
    // AES-256-GCM has no MAC keys, 32-byte keys and 4-byte fixed IVs.
    std::vector<uint8_t> master(48), seed(64);
    SSL_SESSION_get_master_key(SSL_get_session(srv.ssl), master.data(), 48);
    SSL_get_server_random(srv.ssl, seed.data(), 32);
    SSL_get_client_random(srv.ssl, seed.data() + 32, 32);
    const size_t skip = 2 * (32 + 0 + 4);
    std::vector<uint8_t> expect = p_hash(EVP_sha384(), master, "key expansion", seed, skip + 40);
    std::vector<uint8_t> block(40);
    ASSERT_EQ(tls_conn_derive_keyblock(lib, conn, block.data(), block.size()), 0);
    EXPECT_EQ(block, std::vector<uint8_t>(expect.begin() + skip, expect.end()));
    EXPECT_NE(std::find(events.kinds.begin(), events.kinds.end(), TLS_CERT_CHAIN_SUCCESS),
              events.kinds.end());
}

TEST_F(Wrapper, KeyBlockOfACbcSuiteSkipsItsIvsAndUsesSha256) {
    // A suite older than TLS 1.2 names MD5+SHA-1 as its hash: TLS 1.2 runs the PRF with
    // SHA-256 instead, and the block begins after both CBC IVs (16 bytes each).
    TlsServer srv(pki, false, "ECDHE-ECDSA-AES128-SHA");
    tls_conn_params params{};
    ASSERT_EQ(tls_conn_set_params(lib, conn, &params), 0);
    ASSERT_TRUE(handshake(srv));
    std::vector<uint8_t> master(48), seed(64);
    SSL_SESSION_get_master_key(SSL_get_session(srv.ssl), master.data(), 48);
    SSL_get_server_random(srv.ssl, seed.data(), 32);
    SSL_get_client_random(srv.ssl, seed.data() + 32, 32);
    const size_t skip = 2 * (16 + 20 + 16);
    std::vector<uint8_t> expect = p_hash(EVP_sha256(), master, "key expansion", seed, skip + 72);
    std::vector<uint8_t> block(72);
    ASSERT_EQ(tls_conn_derive_keyblock(lib, conn, block.data(), block.size()), 0);
    EXPECT_EQ(block, std::vector<uint8_t>(expect.begin() + skip, expect.end()));
}

// The wrapper's client role on the pump's one connection, handshake only.
struct ClientConn : TlsPumpConn {
    tls_library_ctx *lib;
    tls_conn *conn;
    ClientConn(tls_library_ctx *l, tls_conn *c) : lib(l), conn(c) {}
    bool feed(const std::vector<uint8_t> &in, std::vector<uint8_t> &out) override {
        wpa_buf inbuf;
        wpa_buf_set(&inbuf, in.data(), in.size());
        wpa_buf *o = tls_conn_client_handshake(lib, conn, in.empty() ? nullptr : &inbuf, nullptr);
        if (o == nullptr) return false;
        out.assign(wpa_buf_head(o), wpa_buf_head(o) + wpa_buf_len(o));
        wpa_buf_free(o);
        return !tls_conn_failed(lib, conn) && !tls_conn_established(lib, conn);
    }
};

TEST_F(Wrapper, ExportAndKeyBlockEqualThoseOfOpensslServer) {
    if (!TlsPump::have_openssl()) GTEST_SKIP() << "openssl command not installed";
    struct Export {
        const char *label;
        size_t len;
    };
    const Export exports[] = {
        {"client EAP encryption", 128},
        {"ttls keying material", 128},
        {"ttls keying material", 17},
        {"ttls challenge", 17},
    };
    const std::string keylog = pki.dir + "/keylog.txt";
    tls_conn_params params{};
    params.ca_cert = pki.ca.c_str();
    for (const Export &e : exports) {
        SCOPED_TRACE(std::string(e.label) + "/" + std::to_string(e.len));
        std::unique_ptr<tls_conn, std::function<void(tls_conn *)>> owner(
            tls_conn_new(lib), [this](tls_conn *p) { tls_conn_free(lib, p); });
        tls_conn *c = owner.get();
        ASSERT_NE(c, nullptr);
        ASSERT_EQ(tls_conn_set_params(lib, c, &params), 0);
        ClientConn client(lib, c);
        // The server takes one connection on a port of its choosing and then exits.
        TlsPeerRun run = TlsPump::connect({"s_server", "-accept", "127.0.0.1:0", "-naccept", "1", "-tls1_2",
                                           "-cipher", "ECDHE-ECDSA-AES256-GCM-SHA384", "-cert", pki.server,
                                           "-key", pki.server_key, "-keymatexport", e.label,
                                           "-keymatexportlen", std::to_string(e.len), "-keylogfile", keylog},
                                          client);
        // The client random and master secret the server logged.
        std::ifstream log(keylog);
        std::string line, client_random, master;
        while (std::getline(log, line))
            if (line.rfind("CLIENT_RANDOM ", 0) == 0)
                std::istringstream(line.substr(14)) >> client_random >> master;
        unlink(keylog.c_str());
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_TRUE(tls_conn_established(lib, c)) << run.output;
        char cipher[64];
        tls_conn_cipher_text(lib, c, cipher, sizeof(cipher));
        EXPECT_STREQ(cipher, "ECDHE-ECDSA-AES256-GCM-SHA384");

        const std::string marker = "Keying material: ";
        const size_t at = run.output.find(marker);
        ASSERT_NE(at, std::string::npos) << run.output;
        const size_t from = at + marker.size();
        const std::vector<uint8_t> theirs =
            unhex(run.output.substr(from, run.output.find('\n', from) - from));
        std::vector<uint8_t> mine(e.len);
        ASSERT_EQ(tls_conn_export_key(lib, c, e.label, mine.data(), e.len), 0);
        EXPECT_EQ(mine, theirs);

        // Key block: the PRF with SHA-384 over the logged master secret; AES-256-GCM
        // has no MAC keys, 32-byte keys and 4-byte fixed IVs.
        std::vector<uint8_t> seed(64);
        ASSERT_EQ(tls_conn_get_randoms(lib, c, seed.data() + 32, seed.data()), 0);
        EXPECT_EQ(unhex(client_random), std::vector<uint8_t>(seed.begin() + 32, seed.end()));
        ASSERT_EQ(unhex(master).size(), 48u) << "no CLIENT_RANDOM line in the key log";
        const size_t skip = 2 * (32 + 0 + 4);
        std::vector<uint8_t> expect = p_hash(EVP_sha384(), unhex(master), "key expansion", seed, skip + 40);
        std::vector<uint8_t> block(40);
        ASSERT_EQ(tls_conn_derive_keyblock(lib, c, block.data(), block.size()), 0);
        EXPECT_EQ(block, std::vector<uint8_t>(expect.begin() + skip, expect.end()));
    }
}

TEST_F(Wrapper, TlsOneThreeIsNeverNegotiated) {
    TlsServer srv(pki, false);
    SSL_set_min_proto_version(srv.ssl, TLS1_2_VERSION);
    tls_conn_params params{};
    ASSERT_EQ(tls_conn_set_params(lib, conn, &params), 0);
    ASSERT_TRUE(handshake(srv));
    EXPECT_EQ(SSL_version(srv.ssl), TLS1_2_VERSION);
}

TEST_F(Wrapper, CertificateChecks) {
    struct Case {
        const char *ca;
        const char *suffix, *domain, *subject;
        bool ok;
        int reason;
    };
    const std::string other = pki.other_ca, ca = pki.ca;
    const Case cases[] = {
        {ca.c_str(), nullptr, nullptr, nullptr, true, -1},
        {other.c_str(), nullptr, nullptr, nullptr, false, TLS_FAIL_UNTRUSTED},
        {ca.c_str(), "example.org", nullptr, nullptr, true, -1},
        {ca.c_str(), "ample.org", nullptr, nullptr, false, TLS_FAIL_DOMAIN_SUFFIX_MISMATCH},
        {ca.c_str(), nullptr, "RADIUS.example.org", nullptr, true, -1},
        {ca.c_str(), nullptr, "example.org", nullptr, false, TLS_FAIL_DOMAIN_MISMATCH},
        {ca.c_str(), nullptr, nullptr, "CN=nobody", false, TLS_FAIL_SUBJECT_MISMATCH},
        {"probe://", nullptr, nullptr, nullptr, false, TLS_FAIL_SERVER_CHAIN_PROBE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.ca << " " << (c.suffix ? c.suffix : "") << " " << (c.domain ? c.domain : ""));
        tls_conn_free(lib, conn);
        conn = tls_conn_new(lib);
        events = Events();
        TlsServer srv(pki, false);
        tls_conn_params params{};
        params.ca_cert = c.ca;
        params.suffix_match = c.suffix;
        params.domain_match = c.domain;
        params.subject_match = c.subject;
        ASSERT_EQ(tls_conn_set_params(lib, conn, &params), 0);
        EXPECT_EQ(handshake(srv), c.ok);
        if (c.reason >= 0) {
            EXPECT_EQ(events.reasons, std::vector<int>{c.reason});
        } else {
            EXPECT_TRUE(events.reasons.empty());
        }
    }
}

X509 *read_cert(const std::string &path) {
    FILE *f = fopen(path.c_str(), "r");
    X509 *x = f != nullptr ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr;
    if (f != nullptr) fclose(f);
    return x;
}

EVP_PKEY *read_key(const std::string &path) {
    FILE *f = fopen(path.c_str(), "r");
    EVP_PKEY *k = f != nullptr ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr) : nullptr;
    if (f != nullptr) fclose(f);
    return k;
}

// An OCSP response on a certificate, signed by the given responder, with thisUpdate
// `age` seconds ago and nextUpdate an hour after that.
std::vector<uint8_t> ocsp_response(const std::string &subject, const std::string &issuer_cert, int status,
                                   const std::string &signer, const std::string &signer_key, long age = 0) {
    X509 *cert = read_cert(subject), *issuer = read_cert(issuer_cert), *sc = read_cert(signer);
    EVP_PKEY *sk = read_key(signer_key);
    OCSP_BASICRESP *basic = OCSP_BASICRESP_new();
    ASN1_TIME *now = X509_gmtime_adj(nullptr, -age), *next = X509_gmtime_adj(nullptr, 3600 - age);
    OCSP_CERTID *id = OCSP_cert_to_id(nullptr, cert, issuer);
    OCSP_basic_add1_status(basic, id, status,
                           status == V_OCSP_CERTSTATUS_REVOKED ? OCSP_REVOKED_STATUS_KEYCOMPROMISE : -1,
                           status == V_OCSP_CERTSTATUS_REVOKED ? now : nullptr, now, next);
    OCSP_basic_sign(basic, sc, sk, EVP_sha256(), nullptr, 0);
    OCSP_RESPONSE *rsp = OCSP_response_create(OCSP_RESPONSE_STATUS_SUCCESSFUL, basic);
    unsigned char *der = nullptr;
    const int len = i2d_OCSP_RESPONSE(rsp, &der);
    std::vector<uint8_t> v(der, der + (len > 0 ? len : 0));
    OPENSSL_free(der);
    OCSP_RESPONSE_free(rsp);
    OCSP_CERTID_free(id);
    OCSP_BASICRESP_free(basic);
    ASN1_TIME_free(now);
    ASN1_TIME_free(next);
    EVP_PKEY_free(sk);
    X509_free(cert);
    X509_free(issuer);
    X509_free(sc);
    return v;
}

std::vector<uint8_t> ocsp_response(const TestPki &pki, int status, const std::string &signer,
                                   const std::string &signer_key, long age = 0) {
    return ocsp_response(pki.server, pki.ca, status, signer, signer_key, age);
}

TEST_F(Wrapper, StapledOcspStatus) {
    enum Staple { NONE, GOOD, REVOKED, UNKNOWN, SELF_SIGNED, STALE };
    struct Case {
        unsigned int flags; // the network's ocsp 0, 1, 2 or 3
        Staple staple;
        bool ok;
        int reason;
    };
    const unsigned int off = 0, optional = TLS_CONN_REQUEST_OCSP,
                       required = TLS_CONN_REQUEST_OCSP | TLS_CONN_REQUIRE_OCSP,
                       all = required | TLS_CONN_REQUIRE_OCSP_ALL;
    const Case cases[] = {
        {off, REVOKED, true, -1}, // not asked for: not checked
        {optional, GOOD, true, -1},
        {optional, REVOKED, false, TLS_FAIL_REVOKED},
        {required, REVOKED, false, TLS_FAIL_REVOKED},
        {optional, NONE, true, -1},
        {required, NONE, false, TLS_FAIL_UNSPECIFIED},
        {required, GOOD, true, -1},
        {optional, UNKNOWN, true, -1},
        {required, UNKNOWN, false, TLS_FAIL_UNSPECIFIED},
        {optional, SELF_SIGNED, false, TLS_FAIL_UNSPECIFIED}, // the server vouching for itself
        {optional, STALE, false, TLS_FAIL_UNSPECIFIED},
        {all, GOOD, true, -1}, // the chain has no intermediate CA
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << "flags " << c.flags << " staple " << c.staple);
        tls_conn_free(lib, conn);
        conn = tls_conn_new(lib);
        events = Events();
        TlsServer srv(pki, false);
        switch (c.staple) {
        case NONE:
            break;
        case GOOD:
            srv.staple = ocsp_response(pki, V_OCSP_CERTSTATUS_GOOD, pki.ca, pki.ca_key);
            break;
        case REVOKED:
            srv.staple = ocsp_response(pki, V_OCSP_CERTSTATUS_REVOKED, pki.ca, pki.ca_key);
            break;
        case UNKNOWN:
            srv.staple = ocsp_response(pki, V_OCSP_CERTSTATUS_UNKNOWN, pki.ca, pki.ca_key);
            break;
        case SELF_SIGNED:
            srv.staple = ocsp_response(pki, V_OCSP_CERTSTATUS_GOOD, pki.server, pki.server_key);
            break;
        case STALE:
            srv.staple = ocsp_response(pki, V_OCSP_CERTSTATUS_GOOD, pki.ca, pki.ca_key, 2 * 3600);
            break;
        }
        tls_conn_params params{};
        params.ca_cert = pki.ca.c_str();
        params.flags = c.flags;
        ASSERT_EQ(tls_conn_set_params(lib, conn, &params), 0);
        EXPECT_EQ(handshake(srv), c.ok);
        if (c.reason >= 0) {
            EXPECT_EQ(events.reasons, std::vector<int>{c.reason});
        } else {
            EXPECT_TRUE(events.reasons.empty());
        }
    }
}

TEST_F(Wrapper, OcspOfEveryCertificateFailsBelowAnIntermediateCa) {
    // The server's certificate comes from an intermediate CA whose status no staple carries.
    X509 *ca = read_cert(pki.ca);
    EVP_PKEY *ca_key = read_key(pki.ca_key), *ik = TestPki::key(), *sk = TestPki::key();
    X509 *ic = TestPki::make("Intermediate CA", ik, ca, ca_key, true, nullptr);
    X509 *sc = TestPki::make("radius.example.org", sk, ic, ik, false, "radius.example.org");
    const std::string inter = pki.dir + "/inter.pem", inter_key = pki.dir + "/inter.key",
                      server = pki.dir + "/server2.pem";
    TestPki::write_pem(inter, ic, nullptr);
    TestPki::write_pem(inter_key, nullptr, ik);
    TestPki::write_pem(server, sc, nullptr);
    const std::vector<uint8_t> good = ocsp_response(server, inter, V_OCSP_CERTSTATUS_GOOD, inter, inter_key);
    for (unsigned int all : {0u, static_cast<unsigned int>(TLS_CONN_REQUIRE_OCSP_ALL)}) {
        SCOPED_TRACE(all);
        tls_conn_free(lib, conn);
        conn = tls_conn_new(lib);
        events = Events();
        TlsServer srv(pki, false);
        SSL_CTX_use_certificate(srv.ctx, sc);
        SSL_CTX_use_PrivateKey(srv.ctx, sk);
        SSL_CTX_add1_chain_cert(srv.ctx, ic);
        srv.restart();
        srv.staple = good;
        tls_conn_params params{};
        params.ca_cert = pki.ca.c_str();
        params.flags = TLS_CONN_REQUEST_OCSP | TLS_CONN_REQUIRE_OCSP | all;
        ASSERT_EQ(tls_conn_set_params(lib, conn, &params), 0);
        EXPECT_EQ(handshake(srv), all == 0);
        EXPECT_EQ(events.reasons, all == 0 ? std::vector<int>{} : std::vector<int>{TLS_FAIL_UNSPECIFIED});
    }
    for (const std::string &f : {inter, inter_key, server})
        unlink(f.c_str());
    X509_free(ca);
    X509_free(ic);
    X509_free(sc);
    EVP_PKEY_free(ca_key);
    EVP_PKEY_free(ik);
    EVP_PKEY_free(sk);
}

TEST_F(Wrapper, SessionResumedAfterShutdownButNotOnAFreshConnection) {
    // By ticket, and by session id from the server's cache when tickets are off.
    for (unsigned int flags : {0u, static_cast<unsigned int>(TLS_CONN_DISABLE_SESSION_TICKET)}) {
        SCOPED_TRACE(flags);
        tls_conn_free(lib, conn);
        conn = tls_conn_new(lib);
        TlsServer srv(pki, false);
        tls_conn_params params{};
        params.ca_cert = pki.ca.c_str();
        params.flags = flags;
        ASSERT_EQ(tls_conn_set_params(lib, conn, &params), 0);
        ASSERT_TRUE(handshake(srv));
        EXPECT_FALSE(tls_conn_resumed(lib, conn));
        // Re-authentication: the connection is shut down for reuse and keeps its session.
        ASSERT_EQ(tls_conn_shutdown(lib, conn), 0);
        srv.restart();
        ASSERT_TRUE(handshake(srv));
        EXPECT_TRUE(tls_conn_resumed(lib, conn));
        EXPECT_TRUE(SSL_session_reused(srv.ssl));
        // A flushed session goes with its connection.
        tls_conn_free(lib, conn);
        conn = tls_conn_new(lib);
        ASSERT_EQ(tls_conn_set_params(lib, conn, &params), 0);
        srv.restart();
        ASSERT_TRUE(handshake(srv));
        EXPECT_FALSE(tls_conn_resumed(lib, conn));
    }
}

// The ClientHello carries the SessionTicket extension data as set.
int hello_cb(SSL *ssl, int *, void *arg) {
    const unsigned char *data = nullptr;
    size_t len = 0;
    if (SSL_client_hello_get0_ext(ssl, 35, &data, &len) == 1)
        static_cast<std::vector<uint8_t> *>(arg)->assign(data, data + len);
    return SSL_CLIENT_HELLO_SUCCESS;
}

TEST_F(Wrapper, ClientHelloSessionTicketExtension) {
    TlsServer srv(pki, false);
    std::vector<uint8_t> seen;
    SSL_CTX_set_client_hello_cb(srv.ctx, hello_cb, &seen);
    const uint8_t ext[] = {0x00, 0x02, 0x00, 0x03, 'p', 'a', 'c'};
    EXPECT_EQ(tls_conn_set_client_hello_ext(lib, conn, 34, ext, sizeof(ext)), -1);
    ASSERT_EQ(tls_conn_set_client_hello_ext(lib, conn, 35, ext, sizeof(ext)), 0);
    tls_conn_params params{};
    ASSERT_EQ(tls_conn_set_params(lib, conn, &params), 0);
    wpa_buf *hello = tls_conn_client_handshake(lib, conn, nullptr, nullptr);
    ASSERT_NE(hello, nullptr);
    srv.feed(std::vector<uint8_t>(wpa_buf_head(hello), wpa_buf_head(hello) + wpa_buf_len(hello)));
    wpa_buf_free(hello);
    EXPECT_EQ(seen, std::vector<uint8_t>(ext, ext + sizeof(ext)));
}

TEST(TlsNames, DomainMatchTable) {
    struct Case {
        const char *name, *match;
        bool full, result;
    };
    const Case cases[] = {
        {"radius.example.org", "example.org", false, true},
        {"radius.example.org", "ample.org", false, false},
        {"example.org", "example.org", false, true},
        {"radius.example.org", "example.org", true, false},
        {"RADIUS.Example.ORG", "radius.example.org", true, true},
        {"org", "example.org", false, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(tls_name_domain_match(c.name, strlen(c.name), c.match, c.full), c.result)
            << c.name << " " << c.match;
    // A name with an embedded zero byte never matches.
    const char zero[] = "evil.org\0.example.org";
    EXPECT_FALSE(tls_name_domain_match(zero, sizeof(zero) - 1, "example.org", false));
}

TEST_F(Wrapper, ParameterReferences) {
    tls_conn_params params{};
    std::string hash63 = "hash://server/sha256/" + std::string(63, 'a');
    params.ca_cert = hash63.c_str();
    EXPECT_EQ(tls_conn_set_params(lib, conn, &params), -1);
    std::string hash64 = "hash://server/sha256/" + std::string(64, 'a');
    params.ca_cert = hash64.c_str();
    EXPECT_EQ(tls_conn_set_params(lib, conn, &params), 0);
    params.ca_cert = nullptr;
    params.key_id = "1";
    EXPECT_EQ(tls_conn_set_params(lib, conn, &params), -3);
    const uint8_t ids[] = {4, 2, 0};
    EXPECT_EQ(tls_conn_set_cipher_list(lib, conn, ids), 0);
    // Authenticated provisioning also offers the ECDHE suites a server with an EC key needs.
    const uint8_t ecdhe[] = {7, 8, 9, 10, 0};
    EXPECT_EQ(tls_conn_set_cipher_list(lib, conn, ecdhe), 0);
    const uint8_t bad[] = {11, 0};
    EXPECT_EQ(tls_conn_set_cipher_list(lib, conn, bad), -1);
}

TEST(EapTlsFraming, FragmentsOfAThreeThousandByteMessage) {
    eap_tls_data data{};
    data.tls_out_limit = 1398;
    std::vector<uint8_t> msg(3000);
    for (size_t i = 0; i < msg.size(); i++)
        msg[i] = static_cast<uint8_t>(i);
    data.tls_out = wpa_buf_alloc_copy(msg.data(), msg.size());
    struct Expect {
        uint8_t flags;
        size_t data_len;
    };
    const Expect frags[] = {{0xc0, 1398}, {0x40, 1398}, {0x00, 204}};
    std::vector<uint8_t> joined;
    for (const Expect &e : frags) {
        wpa_buf *out = nullptr;
        ASSERT_EQ(eap_tls_encrypt_app(nullptr, &data, EAP_TYPE_TLS, 0, 5, nullptr, &out), 0);
        const uint8_t *p = wpa_buf_head(out);
        EXPECT_EQ(p[5], e.flags);
        const size_t hdr = 6 + ((e.flags & 0x80) ? 4 : 0);
        if (e.flags & 0x80) {
            EXPECT_EQ(wpa_get_be32(p + 6), 3000u);
        }
        EXPECT_EQ(wpa_buf_len(out) - hdr, e.data_len);
        joined.insert(joined.end(), p + hdr, p + wpa_buf_len(out));
        wpa_buf_free(out);
    }
    EXPECT_EQ(joined, msg);
    EXPECT_EQ(data.tls_out, nullptr);
}

TEST(EapTlsFraming, ReassemblyStopsAtTheCap) {
    eap_tls_data data{};
    eap_method_ret ret{};
    // 70000 bytes announced, sent in 1400-byte fragments: refused past 65536 bytes.
    std::vector<uint8_t> frag(1400, 0x16);
    int res = 0;
    size_t total = 0;
    for (int i = 0; i < 60 && res >= 0; i++) {
        std::vector<uint8_t> payload = {static_cast<uint8_t>(i == 0 ? 0xc0 : 0x40)};
        if (i == 0) payload.insert(payload.end(), {0x00, 0x01, 0x11, 0x70});
        payload.insert(payload.end(), frag.begin(), frag.end());
        std::vector<uint8_t> req = EapHarness::request(static_cast<uint8_t>(i), EAP_TYPE_TLS, payload);
        wpa_buf in;
        wpa_buf_set(&in, req.data(), req.size());
        size_t left;
        uint8_t flags;
        const uint8_t *pos = eap_tls_parse_request(nullptr, &data, EAP_TYPE_TLS, &ret, &in, &left, &flags);
        ASSERT_NE(pos, nullptr);
        wpa_buf msg;
        wpa_buf_set(&msg, pos, left);
        wpa_buf *out = nullptr;
        res = eap_tls_process_handshake(nullptr, &data, EAP_TYPE_TLS, 0, static_cast<uint8_t>(i), &msg, &out);
        if (res == 0) {
            // An acknowledgement: a bare flags byte.
            EXPECT_EQ(wpa_buf_len(out), 6u);
            total += left;
        }
        wpa_buf_free(out);
    }
    EXPECT_EQ(res, -1);
    EXPECT_LE(total, EAP_TLS_MAX_MESSAGE);
    EXPECT_GT(total + 1400, EAP_TLS_MAX_MESSAGE);
    EXPECT_EQ(data.tls_in, nullptr);
}

TEST(EapTlsFraming, PhaseFlagsZeroWinsOverOne) {
    tls_conn_params p{};
    eap_tls_parse_phase_flags(&p, "tls_disable_tlsv1_0=1 tls_disable_tlsv1_0=0 tls_disable_tlsv1_1=1");
    EXPECT_EQ(p.flags, unsigned(TLS_CONN_DISABLE_TLSv1_1));
}

TEST(TtlsAvps, ParseTable) {
    struct Case {
        std::vector<uint8_t> avps;
        int result;
    };
    const Case cases[] = {
        {{0, 0, 0, 79, 0x40, 0, 0, 12, 1, 2, 0, 4}, 0},         // EAP-Message
        {{0, 0, 0, 18, 0x40, 0, 0, 9, 'x', 0, 0, 0}, 0},        // Reply-Message, mandatory: skipped
        {{0, 0, 0, 99, 0x40, 0, 0, 8}, -1},                     // unknown mandatory
        {{0, 0, 0, 99, 0x00, 0, 0, 8}, 0},                      // unknown optional
        {{0, 0, 0, 79, 0x40, 0, 0, 40, 1, 2}, -1},              // longer than the data
        {{0, 0, 0, 79, 0x40, 0, 0, 4}, -1},                     // shorter than a header
        {{0, 0, 0, 26, 0xc0, 0, 0, 14, 0, 0, 1, 55, 0, 0}, -1}, // MS-CHAP2-Success of bad length
    };
    for (const Case &c : cases) {
        eap_ttls_avps parse;
        EXPECT_EQ(eap_ttls_parse_avps(c.avps.data(), c.avps.size(), &parse), c.result);
        eap_ttls_avps_free(&parse);
    }
}

// An EAP server for the TLS-based methods, driving the port of the harness.
struct EapTlsServer {
    EapHarness &h;
    TlsServer &srv;
    uint8_t type;
    uint8_t version;
    uint8_t id = 20;
    size_t frag = 1000;
    bool length_on_every_fragment = false;

    // The TLS data of the last response (its flags in *flags).
    std::vector<uint8_t> response_tls(uint8_t *flags) {
        std::vector<uint8_t> r = h.last_response();
        EXPECT_GE(r.size(), 6u);
        EXPECT_EQ(r[4], type);
        if (r.size() < 6) return {};
        *flags = r[5];
        size_t off = 6 + ((r[5] & 0x80) ? 4 : 0);
        return std::vector<uint8_t>(r.begin() + static_cast<long>(off), r.end());
    }
    void send(uint8_t flags, const std::vector<uint8_t> &data, size_t total = 0) {
        std::vector<uint8_t> payload = {static_cast<uint8_t>(flags | version)};
        if (flags & 0x80) {
            payload.insert(payload.end(),
                           {static_cast<uint8_t>(total >> 24), static_cast<uint8_t>(total >> 16),
                            static_cast<uint8_t>(total >> 8), static_cast<uint8_t>(total)});
        }
        payload.insert(payload.end(), data.begin(), data.end());
        h.eap(EapHarness::request(++id, type, payload));
    }
    void send_tls(const std::vector<uint8_t> &data) {
        for (size_t pos = 0; pos < data.size() || pos == 0;) {
            const size_t n = std::min(frag, data.size() - pos);
            uint8_t flags = 0;
            if ((pos == 0 && data.size() > frag) || length_on_every_fragment) flags |= 0x80;
            if (pos + n < data.size()) flags |= 0x40;
            send(flags,
                 std::vector<uint8_t>(data.begin() + static_cast<long>(pos),
                                      data.begin() + static_cast<long>(pos + n)),
                 data.size());
            pos += n;
            if (pos >= data.size()) break;
            uint8_t f;
            EXPECT_TRUE(response_tls(&f).empty()); // acknowledged
        }
    }
    std::vector<uint8_t> recv_tls() {
        std::vector<uint8_t> all;
        for (;;) {
            uint8_t flags = 0;
            std::vector<uint8_t> part = response_tls(&flags);
            all.insert(all.end(), part.begin(), part.end());
            if (!(flags & 0x40)) break;
            send(0, {});
        }
        return all;
    }
    // Continues a handshake whose client flight is in the last response.
    std::vector<uint8_t> handshake_rest() {
        for (int i = 0; i < 20; i++) {
            std::vector<uint8_t> data = recv_tls();
            if (srv.established()) return data;
            send_tls(srv.feed(data));
        }
        ADD_FAILURE() << "handshake did not end";
        return {};
    }
    // Start, handshake; returns what the client sent after its handshake ended.
    std::vector<uint8_t> handshake() {
        send(0x20, {});
        for (int i = 0; i < 20; i++) {
            std::vector<uint8_t> data = recv_tls();
            if (srv.established()) return data;
            send_tls(srv.feed(data));
        }
        ADD_FAILURE() << "handshake did not end";
        return {};
    }
};

using Methods = EapHarness;

void tls_network(EapHarness *h, const TestPki &pki) {
    h->set("ca_cert", ("\"" + pki.ca + "\"").c_str());
    h->set("domain_suffix_match", "\"example.org\"");
}

TEST_F(Methods, EapTlsKeysEqualTheServers) {
    TestPki pki;
    TlsServer srv(pki, true);
    set("identity", "\"client\"");
    set("eap", "TLS");
    tls_network(this, pki);
    set("client_cert", ("\"" + pki.client + "\"").c_str());
    set("private_key", ("\"" + pki.client_key + "\"").c_str());
    start();
    eap(request(1, EAP_TYPE_IDENTITY));
    EapTlsServer server{*this, srv, EAP_TYPE_TLS, 0};
    std::vector<uint8_t> after = server.handshake();
    EXPECT_TRUE(after.empty()); // acknowledgement
    eap(success(server.id));
    ASSERT_TRUE(has_event("CTRL-EVENT-EAP-SUCCESS"));
    std::vector<uint8_t> keys = srv.export_key("client EAP encryption", 128);
    uint8_t msk[64];
    ASSERT_EQ(eapol_supp_get_key(sm, msk, 64), 0);
    EXPECT_EQ(std::vector<uint8_t>(msk, msk + 64), std::vector<uint8_t>(keys.begin(), keys.begin() + 64));
    size_t emsk_len;
    const uint8_t *emsk = eapol_supp_get_emsk(sm, &emsk_len);
    ASSERT_EQ(emsk_len, 64u);
    EXPECT_EQ(std::vector<uint8_t>(emsk, emsk + 64), std::vector<uint8_t>(keys.begin() + 64, keys.end()));
    size_t sid_len;
    const uint8_t *sid = eapol_supp_get_session_id(sm, &sid_len);
    ASSERT_EQ(sid_len, 65u);
    EXPECT_EQ(sid[0], EAP_TYPE_TLS);
    std::vector<uint8_t> cr(32);
    SSL_get_client_random(srv.ssl, cr.data(), 32);
    EXPECT_EQ(std::vector<uint8_t>(sid + 1, sid + 33), cr);
    EXPECT_NE(status().find("eap_tls_version=TLSv1.2\n"), std::string::npos);
}

TEST_F(Methods, EapTlsReauthenticationResumesUntilTheCachedSessionIsDropped) {
    TestPki pki;
    TlsServer srv(pki, true);
    set("identity", "\"client\"");
    set("eap", "TLS");
    tls_network(this, pki);
    set("client_cert", ("\"" + pki.client + "\"").c_str());
    set("private_key", ("\"" + pki.client_key + "\"").c_str());
    eapol_supp_config ec{};
    ec.accept_802_1x_keys = 1;
    ec.fast_reauth = 1;
    eapol_supp_apply_config(sm, net, &ec);
    start();
    struct Round {
        bool drop; // the cached session is dropped first (as a changed network setting does)
        bool resumed;
    };
    uint8_t base = 0;
    for (const Round r : {Round{false, false}, Round{false, true}, Round{true, false}}) {
        SCOPED_TRACE(::testing::Message() << "round " << base / 50);
        if (r.drop) eapol_supp_invalidate_cached_session(sm);
        srv.restart();
        eap(request(static_cast<uint8_t>(base + 1), EAP_TYPE_IDENTITY));
        EapTlsServer server{*this, srv, EAP_TYPE_TLS, 0};
        server.id = static_cast<uint8_t>(base + 20);
        server.send(0x20, {});
        for (int i = 0; i < 20 && !srv.established(); i++) {
            std::vector<uint8_t> out = srv.feed(server.recv_tls());
            // A full handshake ends with the server's flight, a resumed one with the client's.
            if (!out.empty()) server.send_tls(out);
        }
        ASSERT_TRUE(srv.established());
        eap(success(server.id));
        EXPECT_EQ(SSL_session_reused(srv.ssl) == 1, r.resumed);
        EXPECT_NE(status().find(r.resumed ? "tls_session_reused=1\n" : "tls_session_reused=0\n"),
                  std::string::npos);
        EXPECT_NE(status().find("suppPortStatus=Authorized"), std::string::npos);
        uint8_t msk[64];
        ASSERT_EQ(eapol_supp_get_key(sm, msk, 64), 0);
        std::vector<uint8_t> keys = srv.export_key("client EAP encryption", 64);
        EXPECT_EQ(std::vector<uint8_t>(msk, msk + 64), keys);
        base = static_cast<uint8_t>(base + 50);
    }
}

TEST_F(Methods, UnknownServerCaFailsAndAForgedSuccessDoesNotOpenThePort) {
    TestPki pki;
    TlsServer srv(pki, false);
    set("identity", "\"client\"");
    set("ca_cert", ("\"" + pki.other_ca + "\"").c_str());
    set("password", "\"pw\"");
    start();
    eap(request(1, EAP_TYPE_IDENTITY));
    EapTlsServer server{*this, srv, EAP_TYPE_TTLS, 0};
    server.send(0x20, {});
    server.send_tls(srv.feed(server.recv_tls()));
    EXPECT_TRUE(has_event("CTRL-EVENT-EAP-TLS-CERT-ERROR reason=1 depth="));
    eap(success(server.id));
    EXPECT_FALSE(has_event("CTRL-EVENT-EAP-SUCCESS"));
    EXPECT_NE(status().find("suppPortStatus=Unauthorized"), std::string::npos);
}

TEST_F(Methods, NetworkOcspLevelDecidesOnTheStapledStatus) {
    struct Case {
        const char *ocsp;
        int staple;        // -1 none, else the certificate status
        const char *event; // the failure event, or null when the handshake goes on
    };
    const Case cases[] = {
        {"0", V_OCSP_CERTSTATUS_REVOKED, nullptr},
        {"1", V_OCSP_CERTSTATUS_REVOKED, "CTRL-EVENT-EAP-TLS-CERT-ERROR reason=2 depth=0"},
        {"1", -1, nullptr},
        {"2", -1, "CTRL-EVENT-EAP-TLS-CERT-ERROR reason=0 depth=0"},
        {"3", V_OCSP_CERTSTATUS_GOOD, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << "ocsp=" << c.ocsp << " staple " << c.staple);
        TearDown();
        events.clear();
        sent.clear();
        SetUp();
        TestPki pki;
        TlsServer srv(pki, false);
        if (c.staple >= 0) srv.staple = ocsp_response(pki, c.staple, pki.ca, pki.ca_key);
        set("identity", "\"client\"");
        set("eap", "TTLS");
        set("password", "\"pw\"");
        set("ocsp", c.ocsp);
        tls_network(this, pki);
        start();
        eap(request(1, EAP_TYPE_IDENTITY));
        EapTlsServer server{*this, srv, EAP_TYPE_TTLS, 0};
        server.send(0x20, {});
        server.send_tls(srv.feed(server.recv_tls()));
        if (c.event != nullptr) {
            EXPECT_TRUE(has_event(c.event));
        } else {
            EXPECT_FALSE(has_event("CTRL-EVENT-EAP-TLS-CERT-ERROR"));
            // The client's flight follows.
            EXPECT_FALSE(srv.feed(server.recv_tls()).empty());
        }
    }
}

TEST_F(Methods, TtlsPapSendsPaddedPasswordAndTakesTheTunnelKeys) {
    TestPki pki;
    TlsServer srv(pki, false);
    set("identity", "\"alice\"");
    set("anonymous_identity", "\"anon\"");
    set("password", "\"0123456789abcdefX\""); // 17 bytes: 15 zero bytes of padding
    set("phase2", "\"auth=PAP\"");
    tls_network(this, pki);
    start();
    eap(request(1, EAP_TYPE_IDENTITY));
    EXPECT_EQ(last_response(), (std::vector<uint8_t>{2, 1, 0, 9, 1, 'a', 'n', 'o', 'n'}));
    EapTlsServer server{*this, srv, EAP_TYPE_TTLS, 0};
    std::vector<uint8_t> avps = srv.read_app(server.handshake());
    std::vector<uint8_t> expect = {0,   0, 0, 1, 0x40, 0, 0, 13, 'a',  'l', 'i', 'c',
                                   'e', 0, 0, 0, 0,    0, 0, 2,  0x40, 0,   0,   40};
    const std::string pw = "0123456789abcdefX";
    expect.insert(expect.end(), pw.begin(), pw.end());
    expect.resize(expect.size() + 15, 0);
    EXPECT_EQ(avps, expect);
    eap(success(server.id));
    ASSERT_TRUE(has_event("CTRL-EVENT-EAP-SUCCESS"));
    std::vector<uint8_t> keys = srv.export_key("ttls keying material", 64);
    uint8_t msk[64];
    ASSERT_EQ(eapol_supp_get_key(sm, msk, 64), 0);
    EXPECT_EQ(std::vector<uint8_t>(msk, msk + 64), keys);
}

TEST_F(Methods, TtlsPapFailsWhenTheServerSendsMoreThroughTheTunnel) {
    TestPki pki;
    TlsServer srv(pki, false);
    set("identity", "\"alice\"");
    set("password", "\"pw\"");
    set("phase2", "\"auth=PAP\"");
    start();
    eap(request(1, EAP_TYPE_IDENTITY));
    EapTlsServer server{*this, srv, EAP_TYPE_TTLS, 0};
    srv.read_app(server.handshake());
    server.send_tls(srv.write_app({0, 0, 0, 18, 0, 0, 0, 10, 'h', 'i', 0, 0}));
    eap(success(server.id));
    EXPECT_FALSE(has_event("CTRL-EVENT-EAP-SUCCESS"));
}

TEST_F(Methods, TtlsRefusesAuthAndAutheapTogether) {
    set("identity", "\"alice\"");
    set("password", "\"pw\"");
    set("phase2", "\"auth=PAP autheap=MD5\"");
    start();
    eap(request(1, EAP_TYPE_IDENTITY));
    eap(request(2, EAP_TYPE_TTLS, {0x20}));
    EXPECT_TRUE(has_event("EAP: Failed to initialize EAP method: vendor 0 method 21 (TTLS)"));
    EXPECT_EQ(last_response()[4], EAP_TYPE_NAK);
}

TEST_F(Methods, PeapV0InnerGtcWithTlvResult) {
    TestPki pki;
    TlsServer srv(pki, false);
    set("identity", "\"alice\"");
    set("password", "\"secret\"");
    tls_network(this, pki);
    start();
    eap(request(1, EAP_TYPE_IDENTITY));
    EapTlsServer server{*this, srv, EAP_TYPE_PEAP, 0};
    EXPECT_TRUE(server.handshake().empty());
    // Inner Identity request keeps its header in version 0; the answer has none.
    server.send_tls(srv.write_app({1, static_cast<uint8_t>(server.id + 1), 0, 5, 1}));
    EXPECT_EQ(srv.read_app(server.recv_tls()), (std::vector<uint8_t>{1, 'a', 'l', 'i', 'c', 'e'}));
    // Inner GTC request without header.
    server.send_tls(srv.write_app({6, 'P', 'w', '?'}));
    EXPECT_EQ(srv.read_app(server.recv_tls()), (std::vector<uint8_t>{6, 's', 'e', 'c', 'r', 'e', 't'}));
    // Result TLV: answered with its EAP header.
    const uint8_t tid = static_cast<uint8_t>(server.id + 1);
    server.send_tls(srv.write_app({1, tid, 0, 11, 33, 0x80, 0x03, 0, 2, 0, 1}));
    EXPECT_EQ(srv.read_app(server.recv_tls()),
              (std::vector<uint8_t>{2, tid, 0, 11, 33, 0x80, 0x03, 0, 2, 0, 1}));
    eap(success(server.id));
    ASSERT_TRUE(has_event("CTRL-EVENT-EAP-SUCCESS"));
    std::vector<uint8_t> keys = srv.export_key("client EAP encryption", 64);
    uint8_t msk[64];
    ASSERT_EQ(eapol_supp_get_key(sm, msk, 64), 0);
    EXPECT_EQ(std::vector<uint8_t>(msk, msk + 64), keys);
}

TEST_F(Methods, PeapForcedVersionMismatchFailsWithoutAnswer) {
    set("identity", "\"alice\"");
    set("password", "\"pw\"");
    set("phase1", "\"peapver=1\"");
    start();
    eap(request(1, EAP_TYPE_IDENTITY));
    eap(request(2, EAP_TYPE_PEAP, {0x20})); // the server offers version 0
    EXPECT_EQ(responses(), 1u);
    EXPECT_TRUE(has_event("CTRL-EVENT-EAP-FAILURE"));
}

} // namespace

namespace {

TEST_F(Methods, ExternalCertificateCheckHoldsTheResponseUntilAnswered) {
    TestPki pki;
    TlsServer srv(pki, false);
    set("identity", "\"alice\"");
    set("password", "\"pw\"");
    set("phase1", "\"tls_ext_cert_check=1\"");
    set("phase2", "\"auth=PAP\"");
    tls_network(this, pki);
    start();
    eap(request(1, EAP_TYPE_IDENTITY));
    // A server that repeats the length in every fragment: the repeated request must not
    // start a new reassembly.
    EapTlsServer server{*this, srv, EAP_TYPE_TTLS, 0};
    server.frag = 300;
    server.length_on_every_fragment = true;
    server.send(0x20, {});
    server.send_tls(srv.feed(server.recv_tls()));
    ASSERT_EQ(asked, std::vector<int>{WPA_CTRL_REQ_EXT_CERT_CHECK});
    const size_t before = responses();
    eapol_supp_ctrl_response_ready(sm); // no answer yet: still held
    EXPECT_EQ(responses(), before);
    net->pending_ext_cert_check = 2;
    eapol_supp_ctrl_response_ready(sm);
    EXPECT_EQ(responses(), before + 1);
    std::vector<uint8_t> avps = srv.read_app(server.handshake_rest());
    EXPECT_FALSE(avps.empty());
}

} // namespace

namespace {

using Bytes = std::vector<uint8_t>;

Bytes fast_tlv(uint16_t type, const Bytes &value) {
    Bytes t = {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type),
               static_cast<uint8_t>(value.size() >> 8), static_cast<uint8_t>(value.size())};
    t.insert(t.end(), value.begin(), value.end());
    return t;
}

Bytes fast_cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// The EAP-FAST server side of the key chain, over the server's TLS session.
struct FastServerKeys {
    uint8_t simck[40];
    uint8_t cmk[20];

    // S-IMCK[0]: 40 bytes of the key expansion after the keys, MAC keys and IVs of
    // AES128-SHA or ECDHE-*-AES128-SHA (2 x (16 + 20 + 16) bytes).
    void start(SSL *ssl) {
        Bytes master(48), seed(64);
        SSL_SESSION_get_master_key(SSL_get_session(ssl), master.data(), 48);
        SSL_get_server_random(ssl, seed.data(), 32);
        SSL_get_client_random(ssl, seed.data() + 32, 32);
        Bytes block = p_hash(EVP_sha256(), master, "key expansion", seed, 104 + 40);
        memcpy(simck, block.data() + 104, 40);
    }
    // A Crypto-Binding request after an inner method without keys (ISK zero).
    Bytes binding(uint8_t nonce_byte) {
        uint8_t isk[32] = {};
        EXPECT_EQ(eap_fast_imck_step(simck, isk, cmk), 0);
        Bytes v(56, 0);
        v[1] = 1; // version
        v[2] = 1; // received version
        memset(v.data() + 4, nonce_byte, 32);
        v[35] &= 0xfe; // a request's nonce ends in a zero bit
        Bytes t = fast_tlv(0x800c, v);
        EXPECT_EQ(eap_fast_compound_mac(cmk, t.data(), t.data() + 40), 0);
        return t;
    }
    // The peer's Crypto-Binding answer to binding(nonce_byte): true when it is right.
    bool check_answer(const Bytes &t, uint8_t nonce_byte) {
        if (t.size() != 60 || t[0] != 0x80 || t[1] != 0x0c || t[7] != 1) return false;
        Bytes nonce(32, nonce_byte);
        nonce[31] = static_cast<uint8_t>((nonce_byte & 0xfe) + 1);
        if (!std::equal(nonce.begin(), nonce.end(), t.begin() + 8)) return false;
        Bytes zeroed = t;
        std::fill(zeroed.begin() + 40, zeroed.end(), 0);
        uint8_t mac[20];
        EXPECT_EQ(eap_fast_compound_mac(cmk, zeroed.data(), mac), 0);
        return std::equal(mac, mac + 20, t.begin() + 40);
    }
    Bytes msk() {
        Bytes k(64);
        EXPECT_EQ(sha1_t_prf(simck, 40, "Session Key Generating Function", nullptr, 0, k.data(), 64), 0);
        return k;
    }
};

// Resumption by PAC: the master secret from the PAC-Key, the suite picked here (a server
// must choose it itself at this point of the handshake).
struct PacResumption {
    Bytes pac_key, ticket;
    static int ticket_cb(SSL *, const unsigned char *data, int len, void *arg) {
        static_cast<PacResumption *>(arg)->ticket.assign(data, data + len);
        return 1;
    }
    static int secret_cb(SSL *s, void *secret, int *secret_len, STACK_OF(SSL_CIPHER) * peer,
                         const SSL_CIPHER **cipher, void *arg) {
        auto *self = static_cast<PacResumption *>(arg);
        uint8_t sr[32], cr[32];
        SSL_get_server_random(s, sr, 32);
        SSL_get_client_random(s, cr, 32);
        if (eap_fast_pac_master_secret(self->pac_key.data(), sr, cr, static_cast<uint8_t *>(secret)) != 0)
            return 0;
        *secret_len = 48;
        for (int i = 0; i < sk_SSL_CIPHER_num(peer); i++)
            if (strcmp(SSL_CIPHER_get_name(sk_SSL_CIPHER_value(peer, i)), "AES128-SHA") == 0)
                *cipher = sk_SSL_CIPHER_value(peer, i);
        return 1;
    }
};

// Authenticated provisioning, then a new authentication resumed from the stored PAC: the
// PAC as a server sends it (attributes marked mandatory) is stored and acknowledged, the
// inner method is the configured EAP-MD5, and both runs end with the server's MSK.
TEST_F(Methods, FastProvisionsAPacAndResumesFromIt) {
    TestPki pki;
    TlsServer srv(pki, false, "ECDHE-ECDSA-AES128-SHA:ECDHE-RSA-AES128-SHA:AES128-SHA");
    struct TempDir {
        std::string path;
        TempDir() {
            char tmpl[] = "/tmp/eapfastXXXXXX";
            path = mkdtemp(tmpl);
        }
        ~TempDir() {
            unlink((path + "/cert_pac").c_str());
            rmdir(path.c_str());
        }
    } dir;
    const std::string pac_file = dir.path + "/cert_pac";
    set("identity", "\"alice\"");
    set("password", "\"secret\"");
    set("eap", "FAST");
    set("phase1", "\"fast_provisioning=2\"");
    set("phase2", "\"auth=MD5\"");
    set("pac_file", ("\"" + pac_file + "\"").c_str());
    start();
    const Bytes a_id = {'A', 'I', 'D', '1'}, start_aid = fast_tlv(4, a_id);
    const Bytes md5_challenge = {1, 7, 0, 22, 4, 16, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const Bytes ok = {0, 1};

    // Provisioning: full handshake.
    eap(request(1, EAP_TYPE_IDENTITY));
    EapTlsServer server{*this, srv, EAP_TYPE_FAST, 1};
    server.send(0x20, start_aid);
    EXPECT_TRUE(server.handshake_rest().empty());
    ASSERT_TRUE(srv.established());
    FastServerKeys keys;
    keys.start(srv.ssl);
    auto tunnel = [&](const Bytes &tlvs) {
        server.send_tls(srv.write_app(tlvs));
        return srv.read_app(server.recv_tls());
    };
    // The server proposes MSCHAPv2; the peer asks for MD5.
    EXPECT_EQ(tunnel(fast_tlv(0x8009, {1, 6, 0, 6, EAP_TYPE_MSCHAPV2, 0})),
              fast_tlv(0x8009, {2, 6, 0, 6, EAP_TYPE_NAK, EAP_TYPE_MD5}));
    Bytes md5 = tunnel(fast_tlv(0x8009, md5_challenge));
    ASSERT_EQ(md5.size(), 4u + 22u);
    EXPECT_EQ(md5[8], EAP_TYPE_MD5);
    // Crypto binding; the answer asks for a tunnel PAC.
    Bytes answer = tunnel(fast_cat({fast_tlv(0x800a, ok), keys.binding(0x10)}));
    ASSERT_EQ(answer.size(), 6u + 60u + 16u);
    EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 6), fast_tlv(0x800a, ok));
    EXPECT_TRUE(keys.check_answer(Bytes(answer.begin() + 6, answer.begin() + 66), 0x10));
    EXPECT_EQ(Bytes(answer.begin() + 66, answer.end()),
              fast_cat({fast_tlv(0x0013, {0, 1}), fast_tlv(0x000b, fast_tlv(0x000a, {0, 1}))}));
    // The PAC, each attribute marked mandatory; acknowledged after a successful Result.
    PacResumption pac{Bytes(32, 0x5a), {}};
    const Bytes opaque(48, 0x0a);
    const Bytes info = fast_cat({fast_tlv(3, {0, 1, 0, 0}), fast_tlv(0x8004, a_id),
                                 fast_tlv(7, {'T', 'e', 's', 't'}), fast_tlv(0x800a, {0, 1})});
    const Bytes pac_tlv = fast_tlv(
        0x800b, fast_cat({fast_tlv(0x8001, pac.pac_key), fast_tlv(0x8009, info), fast_tlv(0x8002, opaque)}));
    EXPECT_EQ(tunnel(fast_cat({fast_tlv(0x8003, ok), pac_tlv})),
              fast_cat({fast_tlv(0x8003, ok), fast_tlv(0x800b, fast_tlv(0x0008, {0, 1}))}));
    eap(success(server.id));
    ASSERT_TRUE(has_event("CTRL-EVENT-EAP-SUCCESS"));
    uint8_t msk[64];
    ASSERT_EQ(eapol_supp_get_key(sm, msk, 64), 0);
    EXPECT_EQ(Bytes(msk, msk + 64), keys.msk());
    eap_fast_pac *stored = nullptr;
    ASSERT_EQ(eap_fast_load_pac_text(nullptr, &stored, pac_file.c_str()), 0);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(Bytes(stored->pac_key, stored->pac_key + 32), pac.pac_key);
    EXPECT_EQ(Bytes(stored->a_id, stored->a_id + stored->a_id_len), a_id);
    eap_fast_free_pac_list(stored);

    // A new authentication resumes the tunnel from the stored PAC.
    events.clear();
    srv.restart();
    SSL_set_session_ticket_ext_cb(srv.ssl, PacResumption::ticket_cb, &pac);
    SSL_set_session_secret_cb(srv.ssl, PacResumption::secret_cb, &pac);
    eap(request(51, EAP_TYPE_IDENTITY));
    server.id = 70;
    server.send(0x20, start_aid);
    for (int i = 0; i < 20 && !srv.established(); i++) {
        Bytes out = srv.feed(server.recv_tls());
        if (!out.empty()) server.send_tls(out);
    }
    ASSERT_TRUE(srv.established());
    EXPECT_EQ(SSL_session_reused(srv.ssl), 1);
    EXPECT_EQ(pac.ticket, fast_cat({fast_tlv(2, opaque)}));
    keys.start(srv.ssl);
    md5 = tunnel(fast_tlv(0x8009, md5_challenge));
    ASSERT_EQ(md5.size(), 4u + 22u);
    answer = tunnel(fast_cat({fast_tlv(0x8003, ok), fast_tlv(0x800a, ok), keys.binding(0x20)}));
    ASSERT_EQ(answer.size(), 6u + 6u + 60u);
    EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 12),
              fast_cat({fast_tlv(0x8003, ok), fast_tlv(0x800a, ok)}));
    EXPECT_TRUE(keys.check_answer(Bytes(answer.begin() + 12, answer.end()), 0x20));
    eap(success(server.id));
    ASSERT_TRUE(has_event("CTRL-EVENT-EAP-SUCCESS"));
    EXPECT_NE(status().find("tls_session_reused=1\n"), std::string::npos);
    ASSERT_EQ(eapol_supp_get_key(sm, msk, 64), 0);
    EXPECT_EQ(Bytes(msk, msk + 64), keys.msk());
}

} // namespace
