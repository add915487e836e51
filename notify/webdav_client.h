// The WebDAV client: the task base of the backup and monitoring-upload jobs. It speaks
// HTTP/1.1 over one kept-alive TCP connection (optionally TLS) to the server of
// "wdav_url", authenticates with Basic or Digest (MD5, MD5-sess, SHA-256, SHA-512),
// makes sure the target collection exists (PROPFIND, MKCOL) and uploads with PUT. Its
// progress is one of 18 states that the web interface shows with the last error.
#pragma once

#include "core/address.h"
#include "core/task.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

class TcpConnection;

enum : int {
    WebDavInit = 0,
    WebDavOddFile = 1,
    WebDavParseUrl = 2,
    WebDavParseUrlFailed = 3,
    WebDavResolve = 4,
    WebDavResolveFailed = 5,
    WebDavConnect = 6,
    WebDavConnectFailed = 7,
    WebDavTlsConnect = 8,
    WebDavTlsFailed = 9,
    WebDavOpenUrl = 10,
    WebDavOpenUrlFailed = 11,
    WebDavFindPath = 12,
    WebDavFindPathFailed = 13,
    WebDavWriteFiles = 14,
    WebDavWriteFailed = 15,
    WebDavWritten = 16,
    WebDavDone = 17,
};

// Each read of an answer waits at most this long (1/100 s).
constexpr int64_t WebDavReadTicks = 1000;
// Room of basePath, and of the host and credential texts.
constexpr size_t WebDavPathSize = 256;
constexpr size_t WebDavHostSize = 128;
constexpr size_t WebDavCredentialsSize = 128;

class WebDavClient : public Task {
public:
    explicit WebDavClient(const char *taskName);
    ~WebDavClient() override;

    // Parses "wdav_url" (host[:port][/path]) and appends the job directory; resolves the
    // host. True when the server resolved.
    bool parseUrl(const char *jobDirectory);
    // "%s:%s" of user and password; false when it does not fit in 128 bytes.
    bool setCredentials(const char *user, const char *password);
    // Connects (TLS when "wdav_ssl" is on) and sends OPTIONS; true when it was answered
    // with 200 or 401 (a 401 leaves its Digest challenge for the following requests).
    bool open();
    // True when the answer was 304 or less.
    bool propfind(const char *path, size_t length);
    // The HTTP status, or -1 when no answer came.
    int mkcol(const char *path, size_t length);
    // Creates every component of basePath that is missing; true when all exist.
    bool makePath();
    // GET basePath + name; true when answered with 304 or less (also when no
    // connection could be opened). The body's first bytes go to reply (zero-terminated).
    bool get(const char *name, char *reply, size_t replySize, size_t *replyLength);
    // PUT of a local file (a non-empty regular file, its last path component as the
    // name), or of an open descriptor under remoteName with the "Monitoring" banner
    // before it. The HTTP status or -1.
    int put(const char *localPath);
    int put(int fd, const char *remoteName);
    // Up to 5 PUTs while the server answers 409 (2 s apart); true on 1..299 or 405.
    bool putRetry(const char *localPath);
    bool putRetry(int fd, const char *remoteName);

    // Appends a path component ("/day_05") to basePath; false when it does not fit.
    bool appendPath(const char *component);
    const char *basePath() const { return basePath_; }
    int port() const { return port_; }
    const char *host() const { return host_; }
    // Drops the connection (the next request opens a new one).
    void closeConnection();

protected:
    // The answer of one request: the status, or -1 when none could be read whole; a
    // partly read answer leaves no connection behind.
    int readAnswer(char *body, size_t bodySize, size_t *bodyLength);
    // The authorisation lines for the method and URI.
    bool writeAuth(const char *method, const std::string &uri, std::string &out);
    // Sends the request (opening the connection first when there is none).
    bool sendRequest(const std::string &request);
    bool sendBytes(const char *data, size_t length);
    int putFrom(int fd, const char *remoteName, bool banner);
    bool putRetryFrom(int fd, const char *remoteName, bool banner);
    std::string uriOf(const char *name) const;
    std::string commonHeaders() const;

    char host_[WebDavHostSize] = "";
    char credentials_[WebDavCredentialsSize] = "";
    int credentialsLength_ = 0;
    std::string user_, password_;
    InetAddress serverAddr_;
    int port_ = 80;
    std::string challenge_; // the last Digest challenge's parameters
    bool haveChallenge_ = false;
    uint32_t nonceCount_ = 1;
    char cnonce_[33] = "";
    char basePath_[WebDavPathSize] = "/";
    std::unique_ptr<TcpConnection> conn_;
};

// Process-wide words of the client, read by the web pages.
void webdavSetState(int state);
int webdavState();
// Records the current state as the last error, with the time.
void webdavRecordError();
// Texts of the current and the last error state, with their times.
const char *webdav_state_text(time_t *when);
const char *webdav_error_text(time_t *when);
int webdavErrorState();
// Time of the last successful job.
extern std::atomic<time_t> webdavLastSuccess;
// Hash kind of the last challenge (0 "Basic/MD5" .. 3 "Digest/SHA512").
extern std::atomic<int> webdavHashKind;
// The cipher description of the last TLS connection (140 bytes, "" before any).
constexpr size_t WebDavCipherSize = 140;
void webdavCipherText(char *out, size_t size);
