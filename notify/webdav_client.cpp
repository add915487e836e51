// The WebDAV client: URL, connection, requests, authorisation and the process-wide
// state words. The bytes of answers and challenges are read in notify/webdav_http.cpp.
#include "notify/webdav_client.h"

#include "core/buffer.h"
#include "core/connection.h"
#include "core/platform.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/tcp.h"
#include "core/ticks.h"
#include "core/utils_text.h"
#include "notify/webdav_http.h"
#include "param_catalogue.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

std::atomic<time_t> webdavLastSuccess{0};
std::atomic<int> webdavHashKind{0};

namespace {

std::atomic<int> stateCode{WebDavInit};
std::atomic<time_t> stateTime{0};
std::atomic<int> errorCode{WebDavInit};
std::atomic<time_t> errorTime{0};

std::mutex cipherLock;
char cipherText[WebDavCipherSize] = "";

const char *const stateTexts[] = {
    "Init",
    "Error odd local file",
    "Parse Url",
    "Error parse Url",
    "Resolve server",
    "Error resolve server",
    "Connect to host",
    "Error connect to host",
    "SSL Connect to host",
    "Error SSL connect to host",
    "Open Url",
    "Error Open Url",
    "Find path",
    "Error find path",
    "Write files",
    "Error write files",
    "Files written",
    "Done",
};
constexpr int StateCount = static_cast<int>(sizeof stateTexts / sizeof stateTexts[0]);

// The body of a PROPFIND: the properties asked for (229 bytes).
constexpr char PropfindBody[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<D:propfind xmlns:D=\"DAV:\">\n<D:prop>\n"
    "<D:creationdate/>\n<D:displayname/>\n<D:getcontentlength/>\n<D:getcontenttype/>\n"
    "<D:getetag/>\n<D:getlastmodified/>\n<D:resourcetype/>\n</D:prop>\n</D:propfind>";
static_assert(sizeof PropfindBody - 1 == 229, "the PROPFIND body is 229 bytes");

// A 409 (a parent collection missing or busy) is tried again after 2 s.
constexpr int64_t ConflictWaitTicks = 200;
constexpr int ConflictTries = 5;

bool putSucceeded(int status) {
    return (status >= 1 && status <= 299) || status == 405;
}

// Waits in the calling task (messages are taken meanwhile) for the whole time.
void pause(int64_t ticks) {
    int64_t end = sysTicks() + ticks;
    for (int64_t left = ticks; left > 0; left = end - sysTicks())
        if (waitCurrentTask(left) == 0) break;
}

} // namespace

void webdavSetState(int state) {
    stateCode = state;
    stateTime = applianceTime();
}

int webdavState() {
    return stateCode.load();
}

int webdavErrorState() {
    return errorCode.load();
}

void webdavRecordError() {
    errorCode = stateCode.load();
    errorTime = applianceTime();
}

const char *webdav_state_text(time_t *when) {
    int s = stateCode.load();
    if (s < 0 || s >= StateCount) {
        if (when) *when = 0;
        return "WebDav state error";
    }
    if (when) *when = stateTime.load();
    return stateTexts[s];
}

const char *webdav_error_text(time_t *when) {
    int s = errorCode.load();
    if (s < 0 || s >= StateCount) {
        if (when) *when = 0;
        return "WebDav error state error";
    }
    if (when) *when = errorTime.load();
    return stateTexts[s];
}

void webdavCipherText(char *out, size_t size) {
    if (out == nullptr || size == 0) return;
    std::lock_guard<std::mutex> hold(cipherLock);
    std::snprintf(out, size, "%s", cipherText);
}

WebDavClient::WebDavClient(const char *taskName) : Task(taskName) {
    ptable();
    port_ = p_wdav_ssl->isOn() ? 443 : 80;
}

WebDavClient::~WebDavClient() = default;

void WebDavClient::closeConnection() {
    conn_.reset();
}

bool WebDavClient::parseUrl(const char *jobDirectory) {
    webdavSetState(WebDavParseUrl);
    ptable();
    std::string url = p_wdav_url->getText();
    size_t hostEnd = url.find_first_of(":/");
    std::string host = url.substr(0, hostEnd);
    if (url.empty() || host.empty() || host.size() >= WebDavHostSize) {
        webdavSetState(WebDavParseUrlFailed);
        return false;
    }
    std::snprintf(host_, sizeof host_, "%s", host.c_str());
    size_t pathStart = url.find('/', hostEnd == std::string::npos ? url.size() : hostEnd);
    port_ = p_wdav_ssl->isOn() ? 443 : 80;
    if (hostEnd != std::string::npos && url[hostEnd] == ':') {
        // A port that is not a plain decimal number of 1..65535 is a faulty URL, not
        // a reason to talk to some other port.
        std::string digits = url.substr(
            hostEnd + 1, pathStart == std::string::npos ? std::string::npos : pathStart - hostEnd - 1);
        long value = 0;
        bool ok = !digits.empty() && digits.size() <= 5;
        for (char c : digits) {
            if (c < '0' || c > '9') ok = false;
            value = value * 10 + (c - '0');
        }
        if (!ok || value < 1 || value > 65535) {
            webdavSetState(WebDavParseUrlFailed);
            return false;
        }
        port_ = static_cast<int>(value);
    }

    // The URL's path (blanks as "%20") ending in "/", then the job directory without
    // its leading slashes. A path that does not fit is refused: a cut one would put
    // the files somewhere else.
    char encoded[WebDavPathSize * 3];
    std::string path = pathStart == std::string::npos ? std::string("/") : url.substr(pathStart);
    size_t n = encodeSpaces(path.c_str(), encoded, sizeof encoded);
    if (n > 246) {
        webdavSetState(WebDavParseUrlFailed);
        return false;
    }
    std::string base(encoded, n);
    if (base.back() != '/') base += '/';
    const char *dir = jobDirectory ? jobDirectory : "";
    while (*dir == '/')
        dir++;
    n = encodeSpaces(dir, encoded, sizeof encoded);
    base.append(encoded, n);
    // Trailing slashes of the directory go: file names are joined with one "/".
    while (base.size() > 1 && base.back() == '/' && n > 0)
        base.pop_back();
    if (base.size() > 245) {
        webdavSetState(WebDavParseUrlFailed);
        return false;
    }
    std::snprintf(basePath_, sizeof basePath_, "%s", base.c_str());

    webdavSetState(WebDavResolve);
    InetAddress address;
    if (!address.resolve(host_)) {
        webdavSetState(WebDavResolveFailed);
        return false;
    }
    address.setPort(static_cast<uint16_t>(port_));
    serverAddr_ = address;
    return true;
}

bool WebDavClient::appendPath(const char *component) {
    size_t have = std::strlen(basePath_);
    std::string add = component ? component : "";
    if (have > 0 && basePath_[have - 1] == '/' && !add.empty() && add[0] == '/') add.erase(0, 1);
    if (have + add.size() >= sizeof basePath_) return false;
    std::memcpy(basePath_ + have, add.c_str(), add.size() + 1);
    return true;
}

bool WebDavClient::setCredentials(const char *user, const char *password) {
    int n =
        std::snprintf(credentials_, sizeof credentials_, "%s:%s", user ? user : "", password ? password : "");
    if (n < 0 || static_cast<size_t>(n) >= sizeof credentials_) {
        credentials_[0] = '\0';
        credentialsLength_ = 0;
        return false;
    }
    credentialsLength_ = n;
    user_ = user ? user : "";
    password_ = password ? password : "";
    return true;
}

std::string WebDavClient::uriOf(const char *name) const {
    std::string uri = basePath_;
    const char *n = name ? name : "";
    if (!uri.empty() && uri.back() == '/' && *n == '/') n++;
    return uri + n;
}

std::string WebDavClient::commonHeaders() const {
    return "Accept-Encoding: gzip, deflate\r\nUser-Agent: WebDAVLib/1.3\r\n"
           "Accept-Language: de-de, de;q=0.9\r\nConnection: Keep-Alive\r\n";
}

bool WebDavClient::sendBytes(const char *data, size_t length) {
    if (conn_ == nullptr) return false;
    int n = conn_->writeAll(data, static_cast<int>(length), WebDavReadTicks, false);
    if (n != static_cast<int>(length)) {
        closeConnection();
        return false;
    }
    return true;
}

bool WebDavClient::open() {
    closeConnection();
    webdavSetState(WebDavConnect);
    InterfaceHooks &hooks = interfaceHooks();
    int vlan = hooks.mgmtVlanId ? hooks.mgmtVlanId() : -1;
    NetInterface *iface = hooks.mainInterface ? hooks.mainInterface() : nullptr;
    auto conn = std::make_unique<TcpConnection>(this, iface, vlan > 0 ? vlan : -1);
    bool v6 = serverAddr_.family() == AF_INET6;
    bool ok = conn->open(v6 ? Connection::FamilyIpv6 : Connection::FamilyIpv4, Connection::TypeStream) &&
              (conn->vlan <= 0 || conn->bindToDevice()) && conn->bind(0, true, 0) && conn->setNonBlocking();
    if (ok) {
        conn->peer = serverAddr_;
        ok = conn->Connection::connect(0);
    }
    if (!ok) {
        webdavSetState(WebDavConnectFailed);
        return false;
    }
    if (p_wdav_ssl->isOn()) {
        webdavSetState(WebDavTlsConnect);
        if (conn->tlsConnect(false) == nullptr) {
            webdavSetState(WebDavTlsFailed);
            return false;
        }
        char text[WebDavCipherSize] = "";
        conn->cipherDescription(text, sizeof text);
        std::lock_guard<std::mutex> hold(cipherLock);
        std::memcpy(cipherText, text, sizeof cipherText);
        cipherText[sizeof cipherText - 1] = '\0';
    }
    conn_ = std::move(conn);
    webdavSetState(WebDavOpenUrl);
    char request[512];
    int n = std::snprintf(request, sizeof request,
                          "OPTIONS / HTTP/1.1\r\nHost: %s:%d\r\nAccept: */*\r\nContent-Length: 0\r\n"
                          "Connection: Keep-Alive\r\nUser-Agent: WebDAVLib/1.3\r\n\r\n",
                          host_, port_);
    int status = sendBytes(request, static_cast<size_t>(n)) ? readAnswer(nullptr, 0, nullptr) : -1;
    if (status != 200 && status != 401) {
        webdavSetState(WebDavOpenUrlFailed);
        closeConnection();
        return false;
    }
    return true;
}

bool WebDavClient::writeAuth(const char *method, const std::string &uri, std::string &out) {
    if (!haveChallenge_) {
        // One line: no line breaks inside the header, however long the credentials.
        unsigned char encoded[4 * ((WebDavCredentialsSize + 2) / 3) + 1];
        int n = EVP_EncodeBlock(encoded, reinterpret_cast<const unsigned char *>(credentials_),
                                credentialsLength_);
        out += "Authorization: Basic ";
        out.append(reinterpret_cast<const char *>(encoded), n > 0 ? static_cast<size_t>(n) : 0);
        out += "\r\n";
        webdavHashKind = DigestMd5;
        return true;
    }
    DigestChallenge challenge;
    if (!parseDigestChallenge(challenge_, challenge)) return false;
    webdavHashKind = challenge.kind;
    if (cnonce_[0] == '\0') {
        // Made once per client from the device name field and the tick clock.
        std::string text(productParams().defaultName);
        text.resize(128, '\0');
        char ticks[24];
        std::snprintf(ticks, sizeof ticks, "%08lx", static_cast<unsigned long>(sysTicks()));
        text += ticks;
        std::string hex = digestHex(DigestMd5, text);
        std::snprintf(cnonce_, sizeof cnonce_, "%s", hex.c_str());
    }
    std::string lines;
    if (!digestAuthorization(challenge, user_, password_, method, uri, cnonce_, nonceCount_, lines))
        return false;
    out += lines;
    return true;
}

bool WebDavClient::sendRequest(const std::string &request) {
    if (conn_ == nullptr && !open()) return false;
    return sendBytes(request.data(), request.size());
}

int WebDavClient::readAnswer(char *body, size_t bodySize, size_t *bodyLength) {
    if (bodyLength) *bodyLength = 0;
    if (conn_ == nullptr) return -1;
    WebDavAnswer answer;
    answer.reset(body, bodySize > 0 ? bodySize - 1 : 0);
    WebDavAnswer::Result result = WebDavAnswer::NeedMore;
    bool extra = false;
    char chunk[4096];
    while (result == WebDavAnswer::NeedMore) {
        // Each read may wait 10 s; a message that ends a wait early does not shorten it.
        int64_t deadline = sysTicks() + WebDavReadTicks;
        int n = 0;
        do {
            Buffer b(chunk, sizeof chunk);
            n = conn_->readBuffer(b, deadline - sysTicks() > 0 ? deadline - sysTicks() : 1);
            if (n > 0) {
                size_t used = 0;
                result = answer.feed(b.cursor, static_cast<size_t>(n), &used);
                extra = used < static_cast<size_t>(n);
            }
        } while (n == 0 && sysTicks() < deadline);
        if (n == TcpPeerClosed) {
            result = answer.peerClosed();
            answer.closeConnection = true;
        } else if (n <= 0) {
            break;
        }
    }
    bool whole = result == WebDavAnswer::Complete;
    int status = answer.headerDone() ? answer.status : -1;
    if (bodyLength) *bodyLength = answer.bodyKept;
    if (body && bodySize > 0) body[answer.bodyKept] = '\0';

    bool newChallenge = false;
    if (status == 401 && answer.haveChallenge) {
        challenge_ = answer.challenge;
        haveChallenge_ = true;
        nonceCount_ = 1;
        newChallenge = true;
    }
    // A connection whose answer was not read whole (or that carried more than the
    // answer) is out of step with the server: the next request opens a new one.
    if (!whole || extra || answer.closeConnection) closeConnection();
    if (haveChallenge_ && !newChallenge && status >= 0) nonceCount_++;
    return whole || status >= 0 ? status : -1;
}

bool WebDavClient::propfind(const char *path, size_t length) {
    webdavSetState(WebDavFindPath);
    // The connection first: its OPTIONS may bring the challenge this request answers.
    if (conn_ == nullptr && !open()) return false;
    std::string uri(path, length);
    char head[1024];
    std::snprintf(head, sizeof head,
                  "PROPFIND %s HTTP/1.1\r\nHost: %s:%d\r\nDepth: 0\r\nContent-Type: application/xml\r\n"
                  "Apply-To-Redirect-Ref: T\r\n",
                  uri.c_str(), host_, port_);
    std::string request = std::string(head) + commonHeaders();
    if (!writeAuth("PROPFIND", uri, request)) return false;
    request += "Content-Length: " + std::to_string(sizeof PropfindBody - 1) + "\r\n\r\n";
    request += PropfindBody;
    if (!sendRequest(request)) return false;
    int status = readAnswer(nullptr, 0, nullptr);
    return status >= 0 && status <= 304;
}

int WebDavClient::mkcol(const char *path, size_t length) {
    webdavSetState(WebDavFindPath);
    if (conn_ == nullptr && !open()) {
        webdavSetState(WebDavFindPathFailed);
        return -1;
    }
    std::string uri(path, length);
    std::string request = "MKCOL " + uri + " HTTP/1.1\r\nHost: " + host_ + ":" + std::to_string(port_) +
                          "\r\n" + commonHeaders();
    if (!writeAuth("MKCOL", uri, request)) return -1;
    request += "Content-Length: 0\r\n\r\n";
    int status = sendRequest(request) ? readAnswer(nullptr, 0, nullptr) : -1;
    if (status < 0) webdavSetState(WebDavFindPathFailed);
    return status;
}

bool WebDavClient::makePath() {
    // Every component, the last one too: "/dav/backup/day_05" makes "/dav",
    // "/dav/backup" and "/dav/backup/day_05".
    std::string base = basePath_;
    bool all = true;
    for (size_t end = 1; end <= base.size(); end++) {
        if (end < base.size() && base[end] != '/') continue;
        if (base[end - 1] == '/') continue; // empty component
        bool done = false;
        for (int attempt = 0; attempt < ConflictTries && !done; attempt++) {
            if (propfind(base.data(), end)) {
                done = true;
                break;
            }
            int status = mkcol(base.data(), end);
            if (putSucceeded(status)) {
                done = true;
            } else if (status == 409) {
                pause(ConflictWaitTicks);
            } else {
                webdavSetState(WebDavFindPathFailed);
                return false;
            }
        }
        if (!done) all = false;
    }
    if (!all) webdavSetState(WebDavFindPathFailed);
    return all;
}

bool WebDavClient::get(const char *name, char *reply, size_t replySize, size_t *replyLength) {
    if (replyLength) *replyLength = 0;
    if (reply && replySize > 0) reply[0] = '\0';
    if (conn_ == nullptr && !open()) return true;
    std::string uri = uriOf(name);
    // The body is read as it is: no compressed coding is asked for.
    std::string request = "GET " + uri + " HTTP/1.1\r\nHost: " + host_ + ":" + std::to_string(port_) +
                          "\r\nAccept-Encoding: identity\r\nUser-Agent: WebDAVLib/1.3\r\n"
                          "Accept-Language: de-de, de;q=0.9\r\nConnection: Keep-Alive\r\n";
    if (!writeAuth("GET", uri, request)) return false;
    request += "\r\n";
    if (!sendBytes(request.data(), request.size())) return false;
    int status = readAnswer(reply, replySize, replyLength);
    return status >= 0 && status <= 304;
}

int WebDavClient::put(const char *localPath) {
    webdavSetState(WebDavWriteFiles);
    int fd = localPath ? ::open(localPath, O_RDONLY | O_CLOEXEC) : -1;
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) {
        if (fd >= 0) ::close(fd);
        webdavSetState(WebDavOddFile);
        return -1;
    }
    const char *slash = std::strrchr(localPath, '/');
    int status = putFrom(fd, slash ? slash : localPath, false);
    ::close(fd);
    return status;
}

int WebDavClient::put(int fd, const char *remoteName) {
    webdavSetState(WebDavWriteFiles);
    return putFrom(fd, remoteName, true);
}

int WebDavClient::putFrom(int fd, const char *remoteName, bool banner) {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        webdavSetState(WebDavOddFile);
        return -1;
    }
    char bannerText[4096];
    Buffer b(bannerText, sizeof bannerText);
    if (banner) b.printBanner("Monitoring");
    const size_t bannerLength = banner ? static_cast<size_t>(b.length) : 0;
    const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
    if (conn_ == nullptr && !open()) {
        webdavSetState(WebDavWriteFailed);
        return -1;
    }
    std::string uri = uriOf(remoteName);
    // The length counts what is sent: the banner and the file.
    std::string request = "PUT " + uri + " HTTP/1.1\r\nHost: " + host_ + ":" + std::to_string(port_) +
                          "\r\nOverwrite: F\r\nContent-Length: " + std::to_string(bannerLength + fileSize) +
                          "\r\n" + commonHeaders();
    if (!writeAuth("PUT", uri, request)) {
        webdavSetState(WebDavWriteFailed);
        return -1;
    }
    request += "\r\n";
    if (!sendRequest(request) || (bannerLength > 0 && !sendBytes(b.base, bannerLength))) {
        webdavSetState(WebDavWriteFailed);
        return -1;
    }
    uint64_t sent = 0;
    char block[4096];
    while (sent < fileSize) {
        size_t want = fileSize - sent < sizeof block ? static_cast<size_t>(fileSize - sent) : sizeof block;
        ssize_t n = ::pread(fd, block, want, static_cast<off_t>(sent));
        if (n <= 0) break;
        if (!sendBytes(block, static_cast<size_t>(n))) break;
        sent += static_cast<uint64_t>(n);
        if (static_cast<size_t>(n) < want) break;
    }
    if (sent < fileSize || conn_ == nullptr) {
        // The server still waits for the rest of the announced body: this connection
        // cannot carry another request.
        closeConnection();
        webdavSetState(WebDavWriteFailed);
        return -1;
    }
    int status = readAnswer(nullptr, 0, nullptr);
    if (status < 0) webdavSetState(WebDavWriteFailed);
    return status;
}

bool WebDavClient::putRetryFrom(int fd, const char *remoteName, bool banner) {
    for (int attempt = 0; attempt < ConflictTries; attempt++) {
        int status = banner ? put(fd, remoteName) : put(remoteName);
        if (putSucceeded(status)) return true;
        if (status != 409) break;
        pause(ConflictWaitTicks);
    }
    webdavSetState(WebDavWriteFailed);
    return false;
}

bool WebDavClient::putRetry(const char *localPath) {
    return putRetryFrom(-1, localPath, false);
}

bool WebDavClient::putRetry(int fd, const char *remoteName) {
    return putRetryFrom(fd, remoteName, true);
}
