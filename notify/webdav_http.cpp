// The WebDAV client's answer reader, Digest challenge parser and Digest computation.
#include "notify/webdav_http.h"

#include <openssl/evp.h>

#include <cctype>
#include <cstring>

namespace {

bool equalNoCase(const char *a, size_t n, const char *b) {
    if (std::strlen(b) != n) return false;
    for (size_t i = 0; i < n; i++)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool startsNoCase(const std::string &s, size_t at, const char *prefix) {
    size_t n = std::strlen(prefix);
    return s.size() - at >= n && equalNoCase(s.data() + at, n, prefix);
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// True when the comma-separated list holds the token (without case).
bool listHas(const std::string &list, const char *token) {
    size_t i = 0;
    while (i < list.size()) {
        while (i < list.size() && (isBlank(list[i]) || list[i] == ','))
            i++;
        size_t start = i;
        while (i < list.size() && list[i] != ',')
            i++;
        size_t end = i;
        while (end > start && isBlank(list[end - 1]))
            end--;
        if (end > start && equalNoCase(list.data() + start, end - start, token)) return true;
    }
    return false;
}

// A decimal value of at most 18 digits; false for anything else.
bool parseLength(const std::string &s, int64_t &out) {
    size_t i = 0, n = s.size();
    while (i < n && isBlank(s[i]))
        i++;
    while (n > i && isBlank(s[n - 1]))
        n--;
    if (i == n || n - i > 18) return false;
    int64_t v = 0;
    for (; i < n; i++) {
        if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
        v = v * 10 + (s[i] - '0');
    }
    out = v;
    return true;
}

} // namespace

void WebDavAnswer::reset(char *bodyStore, size_t bodyCapacity) {
    *this = WebDavAnswer();
    store_ = bodyStore;
    capacity_ = bodyStore ? bodyCapacity : 0;
}

void WebDavAnswer::takeBody(const char *data, size_t n) {
    if (bodyKept < capacity_) {
        size_t k = n < capacity_ - bodyKept ? n : capacity_ - bodyKept;
        std::memcpy(store_ + bodyKept, data, k);
        bodyKept += k;
    }
    bodySeen += n;
}

WebDavAnswer::Result WebDavAnswer::parseHeader() {
    // Status line: "HTTP/<d>.<d> <ddd>" followed by a blank or the line end.
    const std::string &h = header_;
    size_t eol = h.find('\n');
    std::string first = h.substr(0, eol);
    if (!first.empty() && first.back() == '\r') first.pop_back();
    if (first.size() < 12 || first.compare(0, 5, "HTTP/") != 0 || !std::isdigit((unsigned char)first[5]) ||
        first[6] != '.' || !std::isdigit((unsigned char)first[7]) || first[8] != ' ')
        return Bad;
    for (int i = 9; i < 12; i++)
        if (!std::isdigit(static_cast<unsigned char>(first[i]))) return Bad;
    if (first.size() > 12 && first[12] != ' ') return Bad;
    status = (first[9] - '0') * 100 + (first[10] - '0') * 10 + (first[11] - '0');
    if (status < 100) return Bad;

    bool haveLength = false;
    size_t pos = eol == std::string::npos ? h.size() : eol + 1;
    while (pos < h.size()) {
        size_t end = h.find('\n', pos);
        if (end == std::string::npos) end = h.size();
        std::string line = h.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) break;
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        size_t v = colon + 1;
        while (v < line.size() && isBlank(line[v]))
            v++;
        std::string value = line.substr(v);
        while (!value.empty() && isBlank(value.back()))
            value.pop_back();
        const char *name = line.data();
        if (equalNoCase(name, colon, "Connection")) {
            if (listHas(value, "close")) closeConnection = true;
        } else if (equalNoCase(name, colon, "Content-Length")) {
            int64_t n = 0;
            // A length that does not parse, or two that differ, leave the body's end
            // unknown: the answer cannot be taken.
            if (!parseLength(value, n) || (haveLength && n != contentLength)) return Bad;
            haveLength = true;
            contentLength = n;
        } else if (equalNoCase(name, colon, "Transfer-Encoding")) {
            chunked = listHas(value, "chunked");
            if (!chunked && !value.empty() && !equalNoCase(value.data(), value.size(), "identity"))
                return Bad;
        } else if (equalNoCase(name, colon, "WWW-Authenticate")) {
            if (!haveChallenge && startsNoCase(value, 0, "Digest ")) {
                haveChallenge = true;
                challenge = value.substr(7, WebDavChallengeMax);
            }
        }
    }
    header_.clear();
    header_.shrink_to_fit();
    if (status < 200) return NeedMore; // interim answer: the real one follows
    if (status == 204 || status == 304) {
        phase_ = Done;
    } else if (chunked) {
        phase_ = ChunkSize;
    } else if (haveLength) {
        remaining_ = static_cast<uint64_t>(contentLength);
        phase_ = remaining_ == 0 ? Done : Body;
    } else {
        phase_ = UntilClose;
    }
    return phase_ == Done ? Complete : NeedMore;
}

WebDavAnswer::Result WebDavAnswer::feed(const char *data, size_t size, size_t *used) {
    size_t i = 0;
    auto result = [&](Result r) {
        if (used) *used = i;
        return r;
    };
    while (i < size) {
        switch (phase_) {
        case Done:
            return result(Complete);
        case Failed:
            return result(Bad);
        case Header: {
            // Byte by byte up to the empty line, so that the bytes after it stay ours.
            char c = data[i++];
            header_ += c;
            if (header_.size() > WebDavHeaderMax) {
                phase_ = Failed;
                return result(Bad);
            }
            size_t n = header_.size();
            bool end = c == '\n' && ((n >= 2 && header_[n - 2] == '\n') ||
                                     (n >= 3 && header_[n - 2] == '\r' && header_[n - 3] == '\n'));
            if (!end) break;
            // Blank lines before the status line are skipped.
            if (header_.find_first_not_of("\r\n") == std::string::npos) {
                header_.clear();
                break;
            }
            Result r = parseHeader();
            if (r == Bad) {
                phase_ = Failed;
                return result(Bad);
            }
            if (phase_ == Header) {
                // An interim answer: forget it and read the next one.
                status = -1;
                closeConnection = haveChallenge = chunked = false;
                challenge.clear();
                contentLength = -1;
            }
            break;
        }
        case Body: {
            size_t n = size - i;
            if (n > remaining_) n = static_cast<size_t>(remaining_);
            takeBody(data + i, n);
            i += n;
            remaining_ -= n;
            if (remaining_ == 0) phase_ = Done;
            break;
        }
        case UntilClose:
            takeBody(data + i, size - i);
            i = size;
            break;
        case ChunkSize:
        case Trailer:
        case ChunkDataEnd: {
            char c = data[i++];
            if (c != '\n') {
                if (line_.size() >= 1024) {
                    phase_ = Failed;
                    return result(Bad);
                }
                line_ += c;
                break;
            }
            std::string line = line_;
            line_.clear();
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (phase_ == ChunkDataEnd) {
                if (!line.empty()) {
                    phase_ = Failed;
                    return result(Bad);
                }
                phase_ = ChunkSize;
            } else if (phase_ == Trailer) {
                if (line.empty()) phase_ = Done;
            } else {
                // "<hex size>[;extensions]"
                size_t k = 0;
                uint64_t n = 0;
                while (k < line.size() && std::isxdigit(static_cast<unsigned char>(line[k]))) {
                    if (k >= 15) {
                        phase_ = Failed;
                        return result(Bad);
                    }
                    char h = static_cast<char>(std::tolower(static_cast<unsigned char>(line[k])));
                    n = n * 16 + static_cast<uint64_t>(h <= '9' ? h - '0' : h - 'a' + 10);
                    k++;
                }
                while (k < line.size() && isBlank(line[k]))
                    k++;
                if (k == 0 || (k < line.size() && line[k] != ';')) {
                    phase_ = Failed;
                    return result(Bad);
                }
                remaining_ = n;
                phase_ = n == 0 ? Trailer : ChunkData;
            }
            break;
        }
        case ChunkData: {
            size_t n = size - i;
            if (n > remaining_) n = static_cast<size_t>(remaining_);
            takeBody(data + i, n);
            i += n;
            remaining_ -= n;
            if (remaining_ == 0) phase_ = ChunkDataEnd;
            break;
        }
        }
    }
    if (phase_ == Done) return result(Complete);
    if (phase_ == Failed) return result(Bad);
    return result(NeedMore);
}

WebDavAnswer::Result WebDavAnswer::peerClosed() {
    if (phase_ == UntilClose) phase_ = Done;
    if (phase_ == Done) return Complete;
    phase_ = Failed;
    return Bad;
}

bool parseDigestChallenge(const std::string &c, DigestChallenge &out) {
    out = DigestChallenge();
    size_t i = 0;
    while (i < c.size()) {
        while (i < c.size() && (isBlank(c[i]) || c[i] == ','))
            i++;
        size_t nameStart = i;
        while (i < c.size() && c[i] != '=' && c[i] != ',' && !isBlank(c[i]))
            i++;
        size_t nameEnd = i;
        while (i < c.size() && isBlank(c[i]))
            i++;
        if (i >= c.size() || c[i] != '=') {
            // A bare word: skip it.
            while (i < c.size() && c[i] != ',')
                i++;
            continue;
        }
        i++;
        while (i < c.size() && isBlank(c[i]))
            i++;
        std::string value;
        if (i < c.size() && c[i] == '"') {
            i++;
            while (i < c.size() && c[i] != '"') {
                if (c[i] == '\\' && i + 1 < c.size()) i++;
                value += c[i++];
            }
            if (i < c.size()) i++; // the closing quote
        } else {
            size_t start = i;
            while (i < c.size() && c[i] != ',')
                i++;
            size_t end = i;
            while (end > start && isBlank(c[end - 1]))
                end--;
            value = c.substr(start, end - start);
        }
        size_t textEnd = i;
        while (textEnd > nameStart && isBlank(c[textEnd - 1]))
            textEnd--;
        DigestParam *p = nullptr;
        const char *name = c.data() + nameStart;
        size_t n = nameEnd - nameStart;
        if (equalNoCase(name, n, "realm"))
            p = &out.realm;
        else if (equalNoCase(name, n, "nonce"))
            p = &out.nonce;
        else if (equalNoCase(name, n, "qop"))
            p = &out.qop;
        else if (equalNoCase(name, n, "opaque"))
            p = &out.opaque;
        else if (equalNoCase(name, n, "algorithm"))
            p = &out.algorithm;
        if (p != nullptr && !p->present) {
            p->present = true;
            p->text = c.substr(nameStart, textEnd - nameStart);
            p->value = value;
        }
    }
    const std::string &a = out.algorithm.value;
    out.kind = a == "SHA-256"    ? DigestSha256
               : a == "SHA-512"  ? DigestSha512
               : a == "MD5-sess" ? DigestMd5Sess
                                 : DigestMd5;
    return out.realm.present && out.nonce.present;
}

const char *chooseQop(const DigestChallenge &challenge) {
    if (!challenge.qop.present) return "";
    return listHas(challenge.qop.value, "auth") ? "auth" : nullptr;
}

std::string digestHex(DigestKind kind, const std::string &text) {
    const EVP_MD *md = kind == DigestSha256 ? EVP_sha256() : kind == DigestSha512 ? EVP_sha512() : EVP_md5();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &n, md, nullptr) != 1) return "";
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < n; i++) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

std::string digestResponse(DigestKind kind, const std::string &user, const std::string &realm,
                           const std::string &password, const std::string &nonce, const std::string &cnonce,
                           uint32_t nc, const char *qop, const std::string &method, const std::string &uri) {
    std::string ha1 = digestHex(kind, user + ":" + realm + ":" + password);
    if (kind == DigestMd5Sess) ha1 = digestHex(kind, ha1 + ":" + nonce + ":" + cnonce);
    std::string ha2 = digestHex(kind, method + ":" + uri);
    if (qop == nullptr || *qop == '\0') return digestHex(kind, ha1 + ":" + nonce + ":" + ha2);
    char count[16];
    std::snprintf(count, sizeof count, "%08x", nc);
    return digestHex(kind, ha1 + ":" + nonce + ":" + count + ":" + cnonce + ":" + qop + ":" + ha2);
}

bool digestAuthorization(const DigestChallenge &c, const std::string &user, const std::string &password,
                         const std::string &method, const std::string &uri, const std::string &cnonce,
                         uint32_t nc, std::string &out) {
    const char *qop = chooseQop(c);
    if (qop == nullptr || !c.realm.present || !c.nonce.present) return false;
    // Texts echoed into the header carry no control character: a stray CR from the
    // server would end the header line early.
    for (const std::string *text : {&c.realm.text, &c.nonce.text, &c.opaque.text, &c.algorithm.text, &uri})
        for (char ch : *text)
            if ((static_cast<unsigned char>(ch) < 0x20 && ch != '\t') || ch == 0x7f) return false;
    std::string quotedUser;
    for (char ch : user) {
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) return false;
        if (ch == '"' || ch == '\\') quotedUser += '\\';
        quotedUser += ch;
    }
    std::string response =
        digestResponse(c.kind, user, c.realm.value, password, c.nonce.value, cnonce, nc, qop, method, uri);
    out = "Upgrade-Insecure-Requests: 1\r\nAuthorization: Digest username=\"" + quotedUser + "\", " +
          c.realm.text + ", " + c.nonce.text + ", uri=\"" + uri + "\", response=\"" + response + "\"";
    if (*qop != '\0') {
        char count[16];
        std::snprintf(count, sizeof count, "%08x", nc);
        out += std::string(", qop=") + qop + ", nc=" + count + ", cnonce=\"" + cnonce + "\"";
    }
    if (c.opaque.present) out += ", " + c.opaque.text;
    if (c.algorithm.present) out += ", " + c.algorithm.text;
    out += "\r\n";
    return true;
}

int moniLogNumber(const char *data, size_t size) {
    if (data == nullptr || size <= 128) return -1;
    // The last ">>" with at least 11 bytes after it.
    size_t at = size;
    for (size_t i = size - 12; i-- > 0;) {
        if (data[i] == '>' && data[i + 1] == '>') {
            at = i;
            break;
        }
    }
    if (at == size) return -1;
    size_t end = at + 2;
    while (end < size && data[end] != '\r' && data[end] != '\n')
        end++;
    const char *colon = static_cast<const char *>(std::memchr(data + at + 2, ':', end - at - 2));
    if (colon == nullptr) return -1;
    // The number stands after the last "_" of the name: a device name may hold "_"
    // itself.
    const char *underscore = nullptr;
    for (const char *p = colon + 1; p < data + end; p++)
        if (*p == '_') underscore = p;
    if (underscore == nullptr) return -1;
    int value = 0, digits = 0;
    for (const char *p = underscore + 1; p < data + end && std::isdigit(static_cast<unsigned char>(*p));
         p++) {
        if (++digits > 6) return -1;
        value = value * 10 + (*p - '0');
    }
    return digits > 0 ? value : -1;
}
