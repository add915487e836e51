// The WebDAV client's readers under arbitrary server bytes: one answer fed in arbitrary
// pieces (status line, headers, length, chunked or to-the-end bodies), the Digest
// challenge it may carry answered with an authorisation header, and the running number
// read from a "_moni.log" as GET brought it back.
//
// Input: byte 0 the piece size, byte 1 whether the peer closes at the end; the rest is
// what the server sends.
#include "notify/webdav_http.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const size_t piece = data[0] % 97 + 1;
    const bool closes = data[1] & 1;
    const char *bytes = reinterpret_cast<const char *>(data + 2);
    const size_t n = size - 2;

    char body[4096];
    WebDavAnswer answer;
    answer.reset(body, sizeof body - 1);
    WebDavAnswer::Result result = WebDavAnswer::NeedMore;
    size_t consumed = 0;
    for (size_t i = 0; i < n && result == WebDavAnswer::NeedMore; i += piece) {
        size_t used = 0;
        size_t len = piece < n - i ? piece : n - i;
        result = answer.feed(bytes + i, len, &used);
        if (used > len) __builtin_trap();
        consumed = i + used;
    }
    if (closes && result == WebDavAnswer::NeedMore) result = answer.peerClosed();
    if (consumed > n || answer.bodyKept > sizeof body - 1 || answer.bodyKept > answer.bodySeen)
        __builtin_trap();
    if (answer.challenge.size() > WebDavChallengeMax) __builtin_trap();
    if (result == WebDavAnswer::Complete && (answer.status < 200 || answer.status > 999)) __builtin_trap();

    // The challenge as the next request would answer it.
    DigestChallenge challenge;
    std::string text = answer.haveChallenge ? answer.challenge : std::string(bytes, n);
    if (parseDigestChallenge(text, challenge)) {
        std::string out;
        if (digestAuthorization(challenge, "user", "pw", "PROPFIND", "/dav/x", "0123abcd", 1, out)) {
            // Exactly two header lines.
            size_t first = out.find("\r\n");
            if (first == std::string::npos || out.find("\r\n", first + 2) != out.size() - 2) __builtin_trap();
        }
    }

    // The upload log's running number, from the body and from the raw bytes.
    int number = moniLogNumber(body, answer.bodyKept);
    if (number < -1 || number > 999999) __builtin_trap();
    number = moniLogNumber(bytes, n);
    if (number < -1 || number > 999999) __builtin_trap();
    return 0;
}
