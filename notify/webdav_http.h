// The byte-level side of the WebDAV client, kept apart from its sockets so that unit
// tests and fuzz targets reach it directly: the reader of one HTTP answer (status line,
// the few headers the client acts on, a body delimited by Content-Length, chunked
// coding or the end of the connection), the Digest challenge's parameters, the Digest
// response computation, and the reader of the running number in the server's
// "_moni.log".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Longest header block of one answer; a longer one is refused.
constexpr size_t WebDavHeaderMax = 16384;
// Longest Digest challenge kept (the rest of the "WWW-Authenticate: Digest " line).
constexpr size_t WebDavChallengeMax = 2048;

// Reads one answer from bytes that arrive in any pieces. Interim answers (1xx) are
// skipped. The body is counted in full and its first bytes kept in the caller's store.
class WebDavAnswer {
public:
    enum Result { NeedMore, Complete, Bad };

    // Starts a new answer; up to bodyCapacity body bytes go to bodyStore (may be null).
    void reset(char *bodyStore = nullptr, size_t bodyCapacity = 0);
    // Takes the bytes; *used (when given) tells how many belonged to this answer.
    Result feed(const char *data, size_t size, size_t *used = nullptr);
    // The peer closed the connection: Complete when the body ran to the end of the
    // connection, else Bad (the answer was cut).
    Result peerClosed();

    bool headerDone() const { return phase_ > Header; }
    int status = -1;
    bool closeConnection = false; // "Connection: close"
    bool haveChallenge = false;   // a "WWW-Authenticate: Digest " header came
    std::string challenge;        // its parameters
    int64_t contentLength = -1;   // -1 when none was given
    bool chunked = false;
    size_t bodyKept = 0;   // bytes in the caller's store
    uint64_t bodySeen = 0; // body bytes received in all

private:
    enum Phase { Header, Body, ChunkSize, ChunkData, ChunkDataEnd, Trailer, UntilClose, Done, Failed };
    Result parseHeader();
    void takeBody(const char *data, size_t n);

    Phase phase_ = Header;
    std::string header_;
    std::string line_; // chunk-size and trailer lines
    uint64_t remaining_ = 0;
    char *store_ = nullptr;
    size_t capacity_ = 0;
};

// One parameter of a Digest challenge: the text as received (name, "=", value with its
// quotes) and the value without quotes.
struct DigestParam {
    bool present = false;
    std::string text;
    std::string value;
};

// Hash kinds, also the index the pages show ("Basic/MD5", "Digest/MD5-sess",
// "Digest/SHA256", "Digest/SHA512").
enum DigestKind : int { DigestMd5 = 0, DigestMd5Sess = 1, DigestSha256 = 2, DigestSha512 = 3 };

struct DigestChallenge {
    DigestParam realm, nonce, qop, opaque, algorithm;
    DigestKind kind = DigestMd5;
};

// Splits the challenge's parameters (names compared without case; a quoted value ends
// at its closing quote, an unquoted one at "," or the end). False when realm or nonce
// is missing.
bool parseDigestChallenge(const std::string &challenge, DigestChallenge &out);

// Chooses the quality of protection: "" when the challenge offered none (the old form
// without nc and cnonce), "auth" when its list holds it, null when only other values
// ("auth-int") were offered, which this client cannot answer.
const char *chooseQop(const DigestChallenge &challenge);

// The lower-case hex hash of the text.
std::string digestHex(DigestKind kind, const std::string &text);

// The Digest response for one request; qop "" for the form without qop.
std::string digestResponse(DigestKind kind, const std::string &user, const std::string &realm,
                           const std::string &password, const std::string &nonce, const std::string &cnonce,
                           uint32_t nc, const char *qop, const std::string &method, const std::string &uri);

// The authorisation lines for one request ("Upgrade-Insecure-Requests" and
// "Authorization: Digest ..."), ending in CR LF. False (nothing written) when the
// challenge cannot be answered or the user name holds a control character.
bool digestAuthorization(const DigestChallenge &challenge, const std::string &user,
                         const std::string &password, const std::string &method, const std::string &uri,
                         const std::string &cnonce, uint32_t nc, std::string &out);

// The running number of the last upload named in the server's "_moni.log": the last
// ">>" line with at least 11 bytes after it, the digits after the last "_" that
// follows its first ":". -1 when the log has 128 bytes or less, or no such number.
int moniLogNumber(const char *data, size_t size);
