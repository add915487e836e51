// The remote syslog client: the task "SysLogNg" that keeps the connection, the line
// format in its BSD and RFC 5424 forms, and the sender that the monitoring log calls on
// its own thread.
#include "notify/syslog.h"

#include "core/address.h"
#include "core/connection.h"
#include "core/master.h"
#include "core/monilog.h"
#include "core/platform.h"
#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/tcp.h"
#include "core/ticks.h"
#include "param_catalogue.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

std::atomic<SysLogNg *> syslogTarget{nullptr};

namespace {

// The send lock: serialises every sender and the task's close of the connection. It is
// error-checking, so a line logged by the sending thread while it sends (from inside
// the socket or TLS layer) is refused instead of deadlocking. It is one lock for the
// process rather than one per client object: a sender finds the target under it, so a
// client that ends and frees itself never leaves a sender holding a dead object.
pthread_mutex_t sendMutex;
pthread_once_t sendMutexOnce = PTHREAD_ONCE_INIT;

void makeSendMutex() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(&sendMutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

// 0 when taken; EDEADLK when the calling thread holds it already.
int lockSend() {
    pthread_once(&sendMutexOnce, makeSendMutex);
    return pthread_mutex_lock(&sendMutex);
}

void unlockSend() {
    int rc = pthread_mutex_unlock(&sendMutex);
    if (rc != 0) std::printf("SyslogNg unlock: %s\n", std::strerror(rc));
}

std::atomic<int> stateCode{SyslogPreInit};
std::atomic<time_t> stateTime{0};

void setState(int state) {
    stateCode = state;
    stateTime = applianceTime();
}

const char *const stateTexts[] = {
    "PreInit",
    "Init",
    "Resolve server",
    "Error resolve server",
    "Connect to host",
    "Error connect to host",
    "SSL Connect to host",
    "Error SSL connect to host",
    "working",
    "Error connection lost",
    "Done",
};
constexpr int StateCount = static_cast<int>(sizeof stateTexts / sizeof stateTexts[0]);

// The retry period of the task (20 s).
constexpr int64_t RetryTicks = 2000;

int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Writes all bytes within limitMs in total: the length, -1 when the time ran out, -4 on
// an error. The waits watch the socket alone, never the calling thread's task pipe:
// senders are any task's threads, whose messages are not ours to take.
int writeWithin(TcpConnection &conn, const char *data, int length, int limitMs) {
    const int64_t deadline = nowMs() + limitMs;
    int done = 0;
    while (done < length) {
        short want = POLLOUT;
        if (conn.tls != nullptr) {
            ERR_clear_error();
            int rc = SSL_write(conn.tls, data + done, length - done);
            if (rc > 0) {
                done += rc;
                conn.bytesSent += static_cast<uint64_t>(rc);
                continue;
            }
            int error = SSL_get_error(conn.tls, rc);
            if (error == SSL_ERROR_WANT_READ)
                want = POLLIN;
            else if (error != SSL_ERROR_WANT_WRITE)
                return TcpHardError;
        } else {
            ssize_t n = ::send(conn.socket, data + done, static_cast<size_t>(length - done),
                               MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<int>(n);
                conn.bytesSent += static_cast<uint64_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return TcpHardError;
        }
        int64_t left = deadline - nowMs();
        if (left <= 0) return TcpWriteTimedOut;
        pollfd pfd{conn.socket, want, 0};
        int rc = ::poll(&pfd, 1, static_cast<int>(left));
        if (rc < 0 && errno != EINTR) return TcpHardError;
        if (rc == 0) return TcpWriteTimedOut;
        if (rc > 0 && (pfd.revents & POLLNVAL)) return TcpHardError;
    }
    return done;
}

std::string paramText(Param *p) {
    char buf[256] = "";
    if (p != nullptr) p->toText(buf, sizeof buf, false);
    return buf;
}

bool configured() {
    ptable();
    return (p_syslogng->isOn() || p_syslogngdbg->isOn()) && p_syslogng_srv->hasValue();
}

int firmwareVersion() {
    auto hook = moniLogHooks().firmwareVersion;
    return hook ? hook() : 0;
}

} // namespace

int formatSyslogLine(char *out, size_t size, const SyslogLineFields &f) {
    if (out == nullptr || size == 0) return 0;
    int cap = static_cast<int>(size) - 1;
    int n = 0;
    auto put = [&](const char *format, auto... args) {
        if (n >= cap) return;
        int w = std::snprintf(out + n, static_cast<size_t>(cap - n + 1), format, args...);
        if (w > 0) n += w < cap - n ? w : cap - n;
    };
    const int64_t ticks = f.ticks < 0 ? 0 : f.ticks;
    const unsigned seconds = static_cast<unsigned>(ticks / 100);
    const unsigned hundredths = static_cast<unsigned>(ticks % 100);
    if (!f.ietf) {
        put("<%d>", f.priority);
        struct tm t = f.time;
        if (!f.haveTime) {
            time_t zero = 0;
            gmtime_r(&zero, &t);
        }
        char stamp[64];
        size_t w = strftime(stamp, sizeof stamp, "%h %e %T ", &t);
        stamp[w] = '\0';
        put("%s", stamp);
        put("%s %s:% 3d:%7u.%02u| ", f.deviceName, f.source, f.taskNumber < 0 ? 0 : f.taskNumber, seconds,
            hundredths);
    } else {
        put("<%d>1", f.priority);
        if (f.haveTime)
            put(" %04d-%02d-%02dT%02d:%02d:%02dZ", f.time.tm_year + 1900, f.time.tm_mon + 1, f.time.tm_mday,
                f.time.tm_hour, f.time.tm_min, f.time.tm_sec);
        else
            put("%s", " -");
        put(" %s %s", f.address, f.source);
        if (f.taskNumber >= 0)
            put(" %d", f.taskNumber);
        else
            put("%s", " -");
        put(" ID%u - ", f.linesSent);
    }
    put("%02d % 4d: %s", static_cast<int>(hundredths), f.sourceLine, f.text ? f.text : "");
    out[n] = '\0';
    // A cut line still ends its record.
    if (n == cap && f.text != nullptr) {
        size_t t = std::strlen(f.text);
        if (t >= 2 && f.text[t - 2] == '\r' && f.text[t - 1] == '\n' && cap >= 2) {
            out[cap - 2] = '\r';
            out[cap - 1] = '\n';
        }
    }
    return n;
}

SysLogNg::SysLogNg() : Task("SysLogNg") {
    pthread_once(&sendMutexOnce, makeSendMutex);
}

SysLogNg::~SysLogNg() {
    delete conn_;
}

uint32_t SysLogNg::onMessage(const TaskMsg &msg) {
    if (msg.flags & MsgConfigChanged) reconnect_ = 1;
    return msg.flags;
}

void SysLogNg::dropLocked(bool quiet) {
    SysLogNg *self = this;
    syslogTarget.compare_exchange_strong(self, nullptr);
    if (conn_ == nullptr) return;
    // After a failed write the peer takes nothing: no close notification is waited for.
    if (quiet && conn_->tls != nullptr) SSL_set_quiet_shutdown(conn_->tls, 1);
    delete conn_;
    conn_ = nullptr;
}

void SysLogNg::closeConnection() {
    if (lockSend() != 0) return;
    dropLocked(false);
    unlockSend();
}

int SysLogNg::sendLocked(int priority, const char *source, int sourceLine, const char *text) {
    if (conn_ == nullptr) return 0;
    ptable();
    SyslogLineFields f;
    f.ietf = p_syslogng_ietf->isOn();
    f.priority = priority;
    time_t now = applianceTime();
    if (now != static_cast<time_t>(-1))
        f.haveTime = (f.ietf ? gmtime_r(&now, &f.time) : localtime_r(&now, &f.time)) != nullptr;
    f.deviceName = productParams().defaultName;
    std::string address = paramText(p_ip_addr);
    f.address = address.c_str();
    f.source = source ? source : "";
    f.taskNumber = Task::current() ? Task::currentNumber() : -1;
    f.ticks = sysTicks();
    f.linesSent = linesSent_;
    f.sourceLine = sourceLine;
    f.text = text;
    setState(SyslogWorking);
    int length = formatSyslogLine(lineBuffer_, sizeof lineBuffer_, f);
    int written = writeWithin(*conn_, lineBuffer_, length, SyslogWriteLimitMs);
    if (written == length) {
        linesSent_++;
        return written;
    }
    // A peer that is gone or stopped reading: the lines go on into the local log only
    // until the task has a new connection.
    setState(SyslogConnectionLost);
    reconnect_ = 1;
    dropLocked(true);
    return 0;
}

int SysLogNg::send(int priority, const char *source, int sourceLine, const char *text) {
    int rc = lockSend();
    if (rc == EDEADLK) {
        std::printf("SyslogNg %s recurcive STOP\n", "goIn");
        return 0;
    }
    if (rc != 0) return 0;
    int n = sendLocked(priority, source, sourceLine, text);
    unlockSend();
    return n;
}

int syslogSend(int priority, const char *source, int sourceLine, const char *text) {
    if (syslogTarget.load() == nullptr) return 0;
    int rc = lockSend();
    if (rc == EDEADLK) {
        std::printf("SyslogNg %s recurcive STOP\n", "goIn");
        return 0;
    }
    if (rc != 0) return 0;
    SysLogNg *target = syslogTarget.load();
    int n = target ? target->sendLocked(priority, source, sourceLine, text) : 0;
    unlockSend();
    return n;
}

bool SysLogNg::connect() {
    ptable();
    setState(SyslogConnecting);
    closeConnection();

    std::string server = paramText(p_syslogng_srv);
    InetAddress address;
    if (!address.resolve(server.c_str())) {
        setState(SyslogResolveFailed);
        return false;
    }
    address.setPort(static_cast<uint16_t>(p_syslogng_port->value()));

    InterfaceHooks &hooks = interfaceHooks();
    int vlan = hooks.mgmtVlanId ? hooks.mgmtVlanId() : -1;
    NetInterface *iface = hooks.mainInterface ? hooks.mainInterface() : nullptr;
    auto *conn = new TcpConnection(this, iface, vlan > 0 ? vlan : -1);
    bool v6 = address.family() == AF_INET6;
    bool ok = conn->open(v6 ? Connection::FamilyIpv6 : Connection::FamilyIpv4, Connection::TypeStream) &&
              (conn->vlan <= 0 || conn->bindToDevice()) && conn->bind(0, true, 0) && conn->setNonBlocking();
    if (ok) {
        conn->peer = address;
        ok = conn->Connection::connect(0);
    }
    if (!ok) {
        delete conn;
        setState(SyslogConnectFailed);
        return false;
    }
    if (p_syslogng_ssl->isOn()) {
        setState(SyslogTlsConnecting);
        if (conn->tlsConnect(false) == nullptr) {
            delete conn;
            setState(SyslogTlsFailed);
            return false;
        }
    }
    // From here on other threads write through the connection: its waits must not take
    // their task messages.
    conn->owner = nullptr;
    if (lockSend() != 0) {
        delete conn;
        return false;
    }
    conn_ = conn;
    unlockSend();

    const ProductParams &product = productParams();
    std::string ip = paramText(p_ip_addr);
    char uptime[32] = "";
    formatUptime(sysTicks(), uptime, sizeof uptime, false);
    char line[512];
    std::snprintf(line, sizeof line, "### SysLogNg %s %s alive:%s restarts:%d/%d (%d)\r\n",
                  product.defaultName, ip.c_str(), uptime, p_life->value(), p_crashes->value(),
                  warmStarts.load());
    bool sent = send(SyslogBannerPriority, product.defaultName, 0, line) > 0;
    if (sent) {
        std::snprintf(
            line, sizeof line, "### %s SN:%03d%04d%02d%05d dbg:%08x HW:%d.%d Kern:%d Sys:%d.%d.%d SW:%s\r\n",
            product.productName, static_cast<int>(product.productId), static_cast<int>(product.year),
            static_cast<int>(product.month), static_cast<int>(product.serialNo),
            static_cast<unsigned>(p_debugflags->value()), static_cast<int>(product.hwMajor),
            static_cast<int>(product.hwMinor), firmwareVersion(), static_cast<int>(SoftwareVersionWord >> 24),
            static_cast<int>((SoftwareVersionWord >> 16) & 0xff),
            static_cast<int>(SoftwareVersionWord & 0xffff), SoftwareVersionText);
        sent = send(SyslogBannerPriority, product.defaultName, 0, line) > 0;
    }
    if (lockSend() != 0) return false;
    bool kept = sent && conn_ != nullptr;
    if (kept)
        syslogTarget = this;
    else
        dropLocked(true);
    unlockSend();
    return kept;
}

void SysLogNg::finish() {
    if (lockSend() == 0) {
        SysLogNg *self = this;
        syslogTarget.compare_exchange_strong(self, nullptr);
        if (conn_ != nullptr) {
            ptable();
            char line[512];
            std::snprintf(line, sizeof line, "### %s %s time to go\r\n", productParams().productName,
                          paramText(p_ip_addr).c_str());
            sendLocked(SyslogBannerPriority, productParams().defaultName, 0, line);
            dropLocked(false);
        }
        unlockSend();
    }
    setState(SyslogDone);
}

void SysLogNg::run() {
    reconnect_ = 1;
    for (;;) {
        if (reconnect_) {
            closeConnection();
            if (!configured()) break;
            reconnect_ = connect() ? 0 : 1;
        }
        wait(RetryTicks);
    }
    finish();
    // The task ends by itself: it leaves the registry, so that a later configuration
    // can start a new client. No sender can hold it any more (the target was cleared
    // under the send lock).
    delete this;
    pthread_exit(nullptr);
}

void SysLogNg::exit() {
    finish();
    Task::exit();
}

int start_syslogng(int force) {
    if (!force && stateCode.load() == SyslogPreInit) return 0;
    if (!configured()) return 0;
    auto *task = new SysLogNg();
    std::printf("SysLog %s is born...\n", Task::currentName());
    setState(SyslogInit);
    if (task->start(0x8000) < 0) {
        delete task;
        return 0;
    }
    return 1;
}

const char *syslogng_state_text(time_t *when) {
    int state = stateCode.load();
    if (state < 0 || state >= StateCount) {
        if (when) *when = 0;
        return "sysLogNg state error";
    }
    if (when) *when = stateTime.load();
    return stateTexts[state];
}

int syslogngState() {
    return stateCode.load();
}
