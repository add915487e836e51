// The TLS wrapper as a server, against `openssl s_client` over a loopback TCP pump and
// against an OpenSSL client on memory BIOs: sessions resumed from the server's cache
// (and not when the cache is off, the exchange unfinished or the session too old), the
// stapled OCSP response from its file (made with `openssl ocsp`) and files that cannot
// be stapled, DHE with DH and DSA parameter files.
#include "../tls_peer.h"
#include "../tls_pump.h"

#include "wireless/core/wpabuf.h"
#include "wireless/crypto/tls.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace {

struct StapleFailures {
    std::vector<std::string> files, reasons;
    static void cb(void *ctx, tls_event ev, const tls_event_data *data) {
        if (ev != TLS_STAPLE_FAILURE) return;
        auto *self = static_cast<StapleFailures *>(ctx);
        self->files.push_back(data->staple_fail.file);
        self->reasons.push_back(data->staple_fail.reason_txt);
    }
};

// What the server saw of one connection.
struct Outcome {
    bool params_ok = false, established = false, resumed = false;
    std::string line; // the client's line of application data
};

// The wrapper's server role on one connection of the pump: the handshake, then (when
// the exchange is wanted) one line of application data, answered with "pong".
struct ServerConn : TlsPumpConn {
    tls_library_ctx *lib;
    tls_conn *conn;
    Outcome &outcome;
    bool exchange;
    std::string plain;

    ServerConn(tls_library_ctx *l, const tls_conn_params &params, Outcome &o, bool ex)
        : lib(l), conn(tls_conn_new(l)), outcome(o), exchange(ex) {
        outcome = Outcome();
        outcome.params_ok = conn != nullptr && tls_conn_set_params(lib, conn, &params) == 0;
    }
    ~ServerConn() override { tls_conn_free(lib, conn); }

    bool feed(const std::vector<uint8_t> &in, std::vector<uint8_t> &out) override {
        if (!outcome.params_ok) return false;
        wpa_buf inbuf;
        wpa_buf_set(&inbuf, in.data(), in.size());
        if (!tls_conn_established(lib, conn)) {
            wpa_buf *appl = nullptr;
            wpa_buf *o = tls_conn_handshake_step(lib, conn, &inbuf, &appl, 1);
            if (o == nullptr) return false;
            out.assign(wpa_buf_head(o), wpa_buf_head(o) + wpa_buf_len(o));
            wpa_buf_free(o);
            if (appl != nullptr)
                plain.append(reinterpret_cast<const char *>(wpa_buf_head(appl)), wpa_buf_len(appl));
            wpa_buf_free(appl);
            if (tls_conn_failed(lib, conn)) return false;
            if (!tls_conn_established(lib, conn)) return true;
            outcome.established = true;
            outcome.resumed = tls_conn_resumed(lib, conn);
            if (!exchange) return false;
        } else {
            wpa_buf *p = tls_conn_decrypt(lib, conn, &inbuf);
            if (p == nullptr) return false;
            plain.append(reinterpret_cast<const char *>(wpa_buf_head(p)), wpa_buf_len(p));
            wpa_buf_free(p);
        }
        if (plain.find('\n') == std::string::npos) return true;
        outcome.line = plain;
        wpa_buf reply;
        wpa_buf_set(&reply, "pong\n", 5);
        wpa_buf *records = tls_conn_encrypt(lib, conn, &reply);
        if (records != nullptr)
            out.insert(out.end(), wpa_buf_head(records), wpa_buf_head(records) + wpa_buf_len(records));
        wpa_buf_free(records);
        return false;
    }
};

X509 *read_cert(const std::string &path) {
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr) return nullptr;
    X509 *cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
    fclose(f);
    return cert;
}

EVP_PKEY *read_key(const std::string &path) {
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr) return nullptr;
    EVP_PKEY *key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    fclose(f);
    return key;
}

std::string shell(const std::string &command) {
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &data) {
    std::ofstream(path, std::ios::binary) << data;
}

struct ServerRole : ::testing::Test {
    TestPki pki;
    TlsPump pump;
    StapleFailures failures;
    tls_library_ctx *lib = nullptr;
    std::vector<std::string> files;

    void SetUp() override {
        if (!TlsPump::have_openssl()) GTEST_SKIP() << "openssl command not installed";
        ASSERT_NE(pump.port(), 0);
    }
    void TearDown() override {
        tls_library_deinit(lib);
        for (const std::string &f : files)
            unlink(f.c_str());
    }
    std::string file(const char *name) {
        files.push_back(pki.dir + "/" + name);
        return files.back();
    }
    void init(unsigned int lifetime, const char *ocsp_file) {
        tls_library_deinit(lib);
        tls_library_config conf{};
        conf.event_cb = StapleFailures::cb;
        conf.cb_ctx = &failures;
        conf.tls_session_lifetime = lifetime;
        conf.ocsp_stapling_response = ocsp_file;
        lib = tls_library_init(&conf);
        ASSERT_NE(lib, nullptr);
    }
    // The server's own certificate and key; the test CA checks client certificates, so
    // the server asks for one (none comes).
    tls_conn_params server_params() const {
        tls_conn_params params{};
        params.ca_cert = pki.ca.c_str();
        params.client_cert = pki.server.c_str();
        params.private_key = pki.server_key.c_str();
        return params;
    }
    // One s_client run against the wrapper's server; input goes to the server as
    // application data after the handshake.
    TlsPeerRun s_client(const std::vector<std::string> &extra, const tls_conn_params &params,
                        Outcome &outcome, bool exchange) {
        std::vector<std::string> args{"s_client", "-connect", "127.0.0.1:" + std::to_string(pump.port()),
                                      "-ign_eof"};
        args.insert(args.end(), extra.begin(), extra.end());
        return pump.serve(args, exchange ? "ping\n" : "",
                          [&] { return std::make_unique<ServerConn>(lib, params, outcome, exchange); });
    }
    // An OCSP response for the server certificate from `openssl ocsp` acting as the CA's
    // responder, with the status its index gives ('V' valid, 'R' revoked).
    std::string ocsp_response(char status) {
        std::string serial = shell("openssl x509 -noout -serial -in " + pki.server);
        serial = serial.substr(serial.find('=') + 1);
        serial.erase(serial.find_last_not_of("\r\n") + 1);
        const std::string index = file("index.txt"), req = file("req.der"), rsp = file("rsp.der");
        write_file(index, std::string(1, status) + "\t301231235959Z\t" +
                              (status == 'R' ? "250101000000Z" : "") + "\t" + serial +
                              "\tunknown\t/CN=radius.example.org\n");
        const std::string log = " >/dev/null 2>&1";
        EXPECT_EQ(std::system(("openssl ocsp -no_nonce -issuer " + pki.ca + " -cert " + pki.server +
                               " -reqout " + req + log)
                                  .c_str()),
                  0);
        EXPECT_EQ(
            std::system(("openssl ocsp -index " + index + " -CA " + pki.ca + " -rsigner " + pki.ca +
                         " -rkey " + pki.ca_key + " -reqin " + req + " -respout " + rsp + " -ndays 1" + log)
                            .c_str()),
            0);
        return read_file(rsp);
    }
};

TEST_F(ServerRole, SessionsResumeFromTheServerCache) {
    // Session ids only (no tickets), so that only the server's cache can resume.
    struct Case {
        const char *what;
        unsigned int lifetime;
        bool exchange; // the exchange after the handshake finished
        int wait;      // seconds between the first and the second connection
        bool resumed;
    };
    const Case cases[] = {
        {"cached", 3600, true, 0, true},
        {"no cache", 0, true, 0, false},
        {"unfinished exchange", 3600, false, 0, false},
        {"timed out", 1, true, 3, false},
    };
    const tls_conn_params params = server_params();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        init(c.lifetime, nullptr);
        const std::string sess = file("sess.pem");
        unlink(sess.c_str());
        Outcome first, second;
        TlsPeerRun run = s_client({"-no_ticket", "-sess_out", sess}, params, first, c.exchange);
        EXPECT_NE(run.output.find("New, TLSv1.2"), std::string::npos) << run.output;
        EXPECT_TRUE(first.established);
        EXPECT_FALSE(first.resumed);
        if (c.exchange) {
            EXPECT_EQ(first.line, "ping\n");
            EXPECT_NE(run.output.find("pong"), std::string::npos) << run.output;
        }
        if (c.lifetime == 0) {
            // Without a cache the server names no session: nothing to resume.
            EXPECT_NE(access(sess.c_str(), F_OK), 0);
            continue;
        }
        if (c.wait > 0) sleep(static_cast<unsigned int>(c.wait));
        run = s_client({"-no_ticket", "-sess_in", sess}, params, second, c.exchange);
        EXPECT_NE(run.output.find(c.resumed ? "Reused, TLSv1.2" : "New, TLSv1.2"), std::string::npos)
            << run.output;
        EXPECT_TRUE(second.established);
        EXPECT_EQ(second.resumed, c.resumed);
        if (c.resumed) {
            // The resumed exchange keeps the session for the next one.
            Outcome third;
            run = s_client({"-no_ticket", "-sess_in", sess}, params, third, c.exchange);
            EXPECT_NE(run.output.find("Reused, TLSv1.2"), std::string::npos) << run.output;
            EXPECT_TRUE(third.resumed);
        }
    }
}

TEST_F(ServerRole, StaplesTheOcspResponseFromItsFile) {
    const std::string good = ocsp_response('V');
    ASSERT_FALSE(good.empty());
    const std::string revoked = ocsp_response('R');
    const std::string response = file("ocsp.der"), missing = pki.dir + "/missing.der";
    struct Case {
        const char *what;
        const char *file; // the configured file, if any
        std::string content;
        bool ask; // the client asks for the status
        const char *shown;
        const char *failure; // the reason reported, if any
    };
    std::string oversized = good;
    oversized.resize(TLS_OCSP_RESPONSE_MAX + 1, '\0');
    const Case cases[] = {
        {"good", response.c_str(), good, true, "Cert Status: good", nullptr},
        // Stapled as the file has it: the client judges the status.
        {"revoked", response.c_str(), revoked, true, "Cert Status: revoked", nullptr},
        {"not asked for", response.c_str(), good, false, nullptr, nullptr},
        {"no file configured", nullptr, "", true, "OCSP response: no response sent", nullptr},
        {"missing", missing.c_str(), "", true, "OCSP response: no response sent",
         "No such file or directory"},
        {"a directory", pki.dir.c_str(), "", true, "OCSP response: no response sent", "not a regular file"},
        {"empty", response.c_str(), "", true, "OCSP response: no response sent", "no DER OCSP response"},
        {"garbage", response.c_str(), std::string(2000, '\x30'), true, "OCSP response: no response sent",
         "no DER OCSP response"},
        {"truncated", response.c_str(), good.substr(0, good.size() - 1), true,
         "OCSP response: no response sent", "no DER OCSP response"},
        {"trailing bytes", response.c_str(), good + "x", true, "OCSP response: no response sent",
         "no DER OCSP response"},
        {"too large", response.c_str(), oversized, true, "OCSP response: no response sent",
         "file larger than 65536 bytes"},
    };
    const tls_conn_params params = server_params();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.file == response.c_str()) write_file(response, c.content);
        init(0, c.file);
        failures = StapleFailures();
        Outcome outcome;
        std::vector<std::string> extra;
        if (c.ask) extra.push_back("-status");
        TlsPeerRun run = s_client(extra, params, outcome, true);
        // No staple, or a bad file, never stops the handshake.
        EXPECT_TRUE(outcome.established);
        EXPECT_EQ(outcome.line, "ping\n");
        EXPECT_NE(run.output.find("New, TLSv1.2"), std::string::npos) << run.output;
        if (c.shown != nullptr) {
            EXPECT_NE(run.output.find(c.shown), std::string::npos) << run.output;
        } else {
            EXPECT_EQ(run.output.find("OCSP response"), std::string::npos) << run.output;
        }
        if (c.shown != nullptr && strncmp(c.shown, "Cert Status", 11) == 0) {
            EXPECT_NE(run.output.find("OCSP Response Status: successful"), std::string::npos) << run.output;
        }
        if (c.failure != nullptr) {
            EXPECT_EQ(failures.reasons, std::vector<std::string>{c.failure});
            EXPECT_EQ(failures.files, std::vector<std::string>{c.file});
        } else {
            EXPECT_TRUE(failures.reasons.empty());
        }
    }
}

TEST_F(ServerRole, DheWithDhOrDsaParameterFiles) {
    // DHE-RSA needs an RSA server certificate.
    EVP_PKEY *cak = read_key(pki.ca_key), *rk = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048});
    X509 *cac = read_cert(pki.ca);
    X509 *rc = TestPki::make("radius.example.org", rk, cac, cak, false, "radius.example.org");
    const std::string cert = file("rsa.pem"), key = file("rsa.key");
    TestPki::write_pem(cert, rc, nullptr);
    TestPki::write_pem(key, nullptr, rk);
    X509_free(rc);
    X509_free(cac);
    EVP_PKEY_free(rk);
    EVP_PKEY_free(cak);

    const std::string dh = file("dh.pem"), dsa = file("dsa.pem"), ec = file("ec.pem"),
                      junk = file("junk.pem");
    ASSERT_EQ(
        std::system(("openssl genpkey -genparam -algorithm DH -pkeyopt group:ffdhe2048 -out " + dh).c_str()),
        0);
    ASSERT_EQ(std::system(("openssl dsaparam -out " + dsa + " 2048 2>/dev/null").c_str()), 0);
    ASSERT_EQ(std::system(("openssl ecparam -name prime256v1 -out " + ec).c_str()), 0);
    write_file(junk, "-----BEGIN DH PARAMETERS-----\nnot base64\n-----END DH PARAMETERS-----\n");
    struct Case {
        const std::string &file;
        bool loads;
    };
    const Case cases[] = {{dh, true}, {dsa, true}, {ec, false}, {junk, false}};
    init(0, nullptr);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        tls_conn_params params{};
        params.client_cert = cert.c_str();
        params.private_key = key.c_str();
        params.dh_file = c.file.c_str();
        Outcome outcome;
        TlsPeerRun run = s_client({"-cipher", "DHE-RSA-AES128-GCM-SHA256"}, params, outcome, true);
        EXPECT_EQ(outcome.params_ok, c.loads);
        if (!c.loads) continue;
        EXPECT_TRUE(outcome.established);
        EXPECT_NE(run.output.find("Cipher is DHE-RSA-AES128-GCM-SHA256"), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("Server Temp Key: DH, 2048 bits"), std::string::npos) << run.output;
    }
}

// Client bytes through memory BIOs to the wrapper's server connection until both ends
// are done; the client's first data, when given, goes along with its Finished.
bool memory_handshake(tls_library_ctx *lib, tls_conn *server, SSL *client, const std::string &data,
                      std::string &received) {
    BIO *cin = BIO_new(BIO_s_mem()), *cout = BIO_new(BIO_s_mem());
    SSL_set_bio(client, cin, cout);
    SSL_set_connect_state(client);
    bool sent = false;
    for (int i = 0; i < 10; i++) {
        const bool client_done = SSL_do_handshake(client) == 1;
        if (client_done && !sent && !data.empty()) {
            SSL_write(client, data.data(), static_cast<int>(data.size()));
            sent = true;
        }
        std::vector<uint8_t> c(static_cast<size_t>(BIO_ctrl_pending(cout)));
        if (!c.empty()) BIO_read(cout, c.data(), static_cast<int>(c.size()));
        if (c.empty() && client_done && tls_conn_established(lib, server)) return true;
        wpa_buf in, *appl = nullptr;
        wpa_buf_set(&in, c.data(), c.size());
        wpa_buf *out = tls_conn_handshake_step(lib, server, &in, &appl, 1);
        if (out == nullptr || tls_conn_failed(lib, server)) {
            wpa_buf_free(out);
            return false;
        }
        if (appl != nullptr)
            received.append(reinterpret_cast<const char *>(wpa_buf_head(appl)), wpa_buf_len(appl));
        wpa_buf_free(appl);
        if (wpa_buf_len(out) > 0) BIO_write(cin, wpa_buf_head(out), static_cast<int>(wpa_buf_len(out)));
        wpa_buf_free(out);
    }
    return false;
}

TEST(ServerRoleMemory, DataWithTheResumingFinishedKeepsTheSession) {
    // Data that reaches the server through the handshake step: after the full handshake,
    // and on resumption, where the client finishes last and its first data (a TTLS
    // client's attributes, say) comes with its Finished. Either exchange succeeded, so the
    // session stays cached for the next.
    TestPki pki;
    tls_library_config conf{};
    conf.tls_session_lifetime = 3600;
    tls_library_ctx *lib = tls_library_init(&conf);
    ASSERT_NE(lib, nullptr);
    SSL_CTX *cctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_options(cctx, SSL_OP_NO_TICKET);
    tls_conn_params params{};
    params.client_cert = pki.server.c_str();
    params.private_key = pki.server_key.c_str();
    SSL_SESSION *session = nullptr;
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        tls_conn *server = tls_conn_new(lib);
        ASSERT_EQ(tls_conn_set_params(lib, server, &params), 0);
        SSL *client = SSL_new(cctx);
        if (session != nullptr) SSL_set_session(client, session);
        std::string received;
        ASSERT_TRUE(memory_handshake(lib, server, client, "ping", received));
        EXPECT_EQ(tls_conn_resumed(lib, server), round > 0);
        EXPECT_EQ(received, "ping");
        if (round == 0) session = SSL_get1_session(client);
        tls_conn_free(lib, server);
        // A client freed without a shutdown gives up its session.
        SSL_set_quiet_shutdown(client, 1);
        SSL_shutdown(client);
        SSL_free(client);
    }
    SSL_SESSION_free(session);
    SSL_CTX_free(cctx);
    tls_library_deinit(lib);
}

} // namespace
