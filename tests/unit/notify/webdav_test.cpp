// The WebDAV client's byte-level parts: Digest responses against the published RFC 2617
// and RFC 7616 vectors, the authorisation header built from a challenge, the answer
// reader under split, chunked and broken answers, and the running number of the
// server's upload log.
#include "notify/webdav_http.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// RFC 7616, section 3.9.1.
const std::string Nonce7616 = "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v";
const std::string Cnonce7616 = "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ";

TEST(WebDavDigest, PublishedAndIndependentVectors) {
    struct Case {
        DigestKind kind;
        const char *user, *realm, *password, *nonce, *cnonce, *qop;
        const char *expected;
    } cases[] = {
        // RFC 2617, section 3.5.
        {DigestMd5, "Mufasa", "testrealm@host.com", "Circle Of Life", "dcd98b7102dd2f0e8b11d0f600bfb0c093",
         "0a4f113b", "auth", "6629fae49393a05397450978507c4ef1"},
        // RFC 7616, section 3.9.1, MD5 and SHA-256.
        {DigestMd5, "Mufasa", "http-auth@example.org", "Circle of Life", Nonce7616.c_str(),
         Cnonce7616.c_str(), "auth", "8ca523f5e9506fed4657c9700eebdbec"},
        {DigestSha256, "Mufasa", "http-auth@example.org", "Circle of Life", Nonce7616.c_str(),
         Cnonce7616.c_str(), "auth", "753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1"},
        // The same inputs through Python's hashlib: MD5-sess, SHA-512, and MD5 without qop.
        {DigestMd5Sess, "Mufasa", "http-auth@example.org", "Circle of Life", Nonce7616.c_str(),
         Cnonce7616.c_str(), "auth", "e783283f46242139c486a698fec7211d"},
        {DigestSha512, "Mufasa", "http-auth@example.org", "Circle of Life", Nonce7616.c_str(),
         Cnonce7616.c_str(), "auth",
         "27d9ebedb4e86595d8b99152ce456620c8e47c48afbd771dbc4468bb758ca66e7312383d49ad044219d4a2c5c218e66c584"
         "fa00b"
         "2728798bcff9435825eed0ad"},
        {DigestMd5, "Mufasa", "testrealm@host.com", "Circle Of Life", "dcd98b7102dd2f0e8b11d0f600bfb0c093",
         "0a4f113b", "", "670fd8c2df070c60b045671b8b24ff02"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(digestResponse(c.kind, c.user, c.realm, c.password, c.nonce, c.cnonce, 1, c.qop, "GET",
                                 "/dir/index.html"),
                  c.expected)
            << c.kind << " " << c.realm << " qop '" << c.qop << "'";
}

TEST(WebDavDigest, AuthorizationAnswersTheOfferedChallenge) {
    struct Case {
        const char *challenge;
        bool answerable;
        DigestKind kind;
        const char *mustHave;    // in the header
        const char *mustNotHave; // not in the header
    } cases[] = {
        // A list with auth-int first: "auth" is chosen and written as a bare token.
        {"realm=\"r\", nonce=\"n,1\", qop=\"auth-int, auth\", algorithm=SHA-256, opaque=\"o\"", true,
         DigestSha256, ", qop=auth, nc=00000003, cnonce=\"c0\", opaque=\"o\", algorithm=SHA-256\r\n",
         "auth-int"},
        // Only auth-int: this client cannot answer it.
        {"realm=\"r\", nonce=\"n\", qop=\"auth-int\"", false, DigestMd5, nullptr, nullptr},
        // No qop: the old form, without nc and cnonce; no algorithm given, none written.
        {"realm=\"r\", nonce=\"n\"", true, DigestMd5, "response=\"", "nc="},
        // Names are found whole and without case: "cnonce" is not "nonce".
        {"CNONCE=\"x\", Realm=\"r\", NONCE=abc , Algorithm=\"MD5-sess\", qop=auth", true, DigestMd5Sess,
         "Realm=\"r\", NONCE=abc, uri=", "cnonce=\"x\""},
        // An algorithm this client does not know falls back to MD5.
        {"realm=\"r\", nonce=\"n\", algorithm=SHA-512-256", true, DigestMd5, "algorithm=SHA-512-256",
         nullptr},
        // A CR inside a quoted value would end the header line early.
        {"realm=\"r\rX: 1\", nonce=\"n\"", false, DigestMd5, nullptr, nullptr},
        // A challenge without a nonce is no challenge.
        {"realm=\"r\", qop=auth", false, DigestMd5, nullptr, nullptr},
    };
    for (const auto &c : cases) {
        DigestChallenge ch;
        bool parsed = parseDigestChallenge(c.challenge, ch);
        std::string out;
        bool ok = parsed && digestAuthorization(ch, "u\"ser", "pw", "PUT", "/a/b c", "c0", 3, out);
        ASSERT_EQ(ok, c.answerable) << c.challenge;
        if (!ok) {
            EXPECT_TRUE(out.empty());
            continue;
        }
        EXPECT_EQ(ch.kind, c.kind) << c.challenge;
        EXPECT_EQ(
            out.rfind("Upgrade-Insecure-Requests: 1\r\nAuthorization: Digest username=\"u\\\"ser\", ", 0), 0u)
            << out;
        EXPECT_NE(out.find("uri=\"/a/b c\""), std::string::npos) << out;
        if (c.mustHave) {
            EXPECT_NE(out.find(c.mustHave), std::string::npos) << out;
        }
        if (c.mustNotHave) {
            EXPECT_EQ(out.find(c.mustNotHave), std::string::npos) << out;
        }
        // Two header lines, each ended once.
        EXPECT_EQ(out.find("\r\n", out.find("\r\n") + 2), out.size() - 2) << out;
    }
    // A user name with a line break would end the header early.
    DigestChallenge ch;
    ASSERT_TRUE(parseDigestChallenge("realm=\"r\", nonce=\"n\"", ch));
    std::string out;
    EXPECT_FALSE(digestAuthorization(ch, "a\r\nX-Evil: 1", "pw", "GET", "/", "c", 1, out));
}

struct Fed {
    WebDavAnswer::Result result;
    WebDavAnswer answer;
    std::string body;
    size_t used;
};

// Feeds the bytes in pieces of the given size; closed tells the reader the peer closed.
Fed feed(const std::string &bytes, size_t piece, bool closed = false) {
    Fed f;
    static char store[64];
    f.answer.reset(store, sizeof store);
    f.result = WebDavAnswer::NeedMore;
    f.used = 0;
    for (size_t i = 0; i < bytes.size() && f.result == WebDavAnswer::NeedMore; i += piece) {
        size_t used = 0;
        f.result = f.answer.feed(bytes.data() + i, std::min(piece, bytes.size() - i), &used);
        f.used = i + used;
    }
    if (closed && f.result == WebDavAnswer::NeedMore) f.result = f.answer.peerClosed();
    f.body.assign(store, f.answer.bodyKept);
    return f;
}

TEST(WebDavAnswer, ReadsWholeAnswersInAnyPieces) {
    struct Case {
        const char *name;
        std::string bytes;
        bool closed;
        WebDavAnswer::Result result;
        int status;
        const char *body;
        bool closeConnection;
    } cases[] = {
        {"length", "HTTP/1.1 201 Created\r\nContent-Length: 5\r\n\r\nhello", false, WebDavAnswer::Complete,
         201, "hello", false},
        {"401 body read too", "HTTP/1.1 401 Unauthorized\r\nContent-Length: 4\r\n\r\nnope", false,
         WebDavAnswer::Complete, 401, "nope", false},
        {"chunked with extension and trailer",
         "HTTP/1.1 207 Multi-Status\r\nTransfer-Encoding: chunked\r\n\r\n3;a=b\r\nabc\r\nA\r\n0123456789\r\n"
         "0\r\nX-T: 1\r\n\r\n",
         false, WebDavAnswer::Complete, 207, "abc0123456789", false},
        {"interim answer skipped", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 204 No Content\r\n\r\n", false,
         WebDavAnswer::Complete, 204, "", false},
        {"no length: to the end", "HTTP/1.0 200 OK\r\nConnection: close\r\n\r\nall of it", true,
         WebDavAnswer::Complete, 200, "all of it", true},
        {"connection list", "HTTP/1.1 200 OK\r\nconnection: Keep-Alive, CLOSE\r\ncontent-length: 0\r\n\r\n",
         false, WebDavAnswer::Complete, 200, "", true},
        {"bare line feeds", "HTTP/1.1 301 Moved\nContent-Length: 2\n\nok", false, WebDavAnswer::Complete, 301,
         "ok", false},
        {"cut body", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort", true, WebDavAnswer::Bad, 200,
         "short", false},
        {"cut chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab", true, WebDavAnswer::Bad,
         200, "ab", false},
        {"two lengths", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", false,
         WebDavAnswer::Bad, 200, "", false},
        {"signed length", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", false, WebDavAnswer::Bad, 200, "",
         false},
        {"not HTTP", "SSH-2.0-OpenSSH\r\n\r\n", false, WebDavAnswer::Bad, -1, "", false},
        {"status without blank", "HTTP/1.1 2000\r\n\r\n", false, WebDavAnswer::Bad, -1, "", false},
        {"bad chunk size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", false,
         WebDavAnswer::Bad, 200, "", false},
        {"chunk without its line end", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nab\r\n",
         false, WebDavAnswer::Bad, 200, "a", false},
    };
    for (const auto &c : cases) {
        for (size_t piece : {size_t{1}, size_t{7}, c.bytes.size()}) {
            Fed f = feed(c.bytes, piece, c.closed);
            EXPECT_EQ(f.result, c.result) << c.name << " piece " << piece;
            EXPECT_EQ(f.answer.status, c.status) << c.name;
            EXPECT_EQ(f.body, c.body) << c.name << " piece " << piece;
            if (c.result == WebDavAnswer::Complete) {
                EXPECT_EQ(f.answer.closeConnection, c.closeConnection) << c.name;
            }
        }
    }
}

TEST(WebDavAnswer, KeepsTheDigestChallengeAndStopsAtTheAnswersEnd) {
    std::string bytes = "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"b\"\r\n"
                        "WWW-Authenticate: Digest realm=\"r\", nonce=\"n\", qop=\"auth\"\r\n"
                        "Content-Length: 3\r\n\r\nabcHTTP/1.1 200 OK\r\n";
    Fed f = feed(bytes, bytes.size());
    ASSERT_EQ(f.result, WebDavAnswer::Complete);
    EXPECT_TRUE(f.answer.haveChallenge);
    EXPECT_EQ(f.answer.challenge, "realm=\"r\", nonce=\"n\", qop=\"auth\"");
    // The bytes after the answer are not taken: the caller sees them as surplus.
    EXPECT_EQ(f.used, bytes.find("abc") + 3);

    // A body larger than the store is counted whole, its start kept.
    std::string big = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(100, 'x');
    Fed g = feed(big, 13);
    EXPECT_EQ(g.result, WebDavAnswer::Complete);
    EXPECT_EQ(g.answer.bodySeen, 100u);
    EXPECT_EQ(g.answer.bodyKept, 64u);

    // An endless header is refused at its bound.
    std::string endless = "HTTP/1.1 200 OK\r\n" + std::string(WebDavHeaderMax, 'h');
    EXPECT_EQ(feed(endless, 4096).result, WebDavAnswer::Bad);
}

TEST(WebDavMoniLog, NumberOfTheLastUpload) {
    const std::string info = "\r\n  Device: qmr\r\n" + std::string(140, ' ') + "\r\n";
    struct Case {
        std::string log;
        int number;
    } cases[] = {
        {info + ">> finally written:QMR-0287A1_041.txt\r\n", 41},
        {info + ">> finally written:QMR-0287A1_007.txt\r\n" + info +
             ">> finally written:QMR-0287A1_099.txt\r\n",
         99},
        // A device name with "_" of its own: the number is after the last one.
        {info + ">> finally written:my_box_2_012.txt\r\n", 12},
        // Too short a log, no ">>" line, a ">>" too near the end, no number.
        {"\r\n>> finally written:QMR_041.txt\r\n", -1},
        {info + info, -1},
        {info + ">>a_1", -1},
        {info + ">> finally written:QMR.txt\r\n", -1},
        {info + ">> finally written QMR_041.txt\r\n", -1},
        {info + ">> finally written:QMR_1234567890.txt\r\n", -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(moniLogNumber(c.log.data(), c.log.size()), c.number) << c.log.substr(info.size());
    EXPECT_EQ(moniLogNumber(nullptr, 500), -1);
}

} // namespace
