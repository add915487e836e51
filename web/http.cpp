// The listener task and the connection tasks with their state machine.

#include "web/http.h"

#include "core/catalogue.h"
#include "core/connection.h"
#include "core/master.h"
#include "core/sysinfo.h"
#include "core/ticks.h"
#include "param_catalogue.h"
#include "web/pages.h"
#include "web/template.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

WebStats webStats;

namespace {

void countConnection(int delta) {
    int now = webStats.connections.fetch_add(delta) + delta;
    int max = webStats.maxConnections.load();
    while (now > max && !webStats.maxConnections.compare_exchange_weak(max, now)) {
    }
}

// Connection tasks that finished their connection wait a while for the next one that
// the listener accepts, instead of ending: a thread is not made and unmade for every
// client. The waiting tasks stand on a stack (the one that waited least is taken first,
// so surplus tasks time out); the listener hands a connection to one of them and wakes
// that one alone through its own event descriptor, else it starts a new task.
std::mutex idleMutex;
std::vector<HttpConnection *> idleStack;
constexpr int64_t IdleTicks = 3000;

// The largest template or template text read for one page.
constexpr int64_t MaxTemplate = 1 << 20;

} // namespace

// ---------------------------------------------------------------- connection life

void HttpConnection::init() {
    store.assign(4080, '\0');
    storeUsed = 0;
}

HttpConnection::HttpConnection(TcpConnection *connection) : Task("HTTP_1"), tcp(connection) {
    init();
    connectionStart = sysTicks();
    requestStart = connectionStart;
    if (tcp) {
        tcp->owner = this;
        // Answers go out as they are written: a header written ahead of its body must not
        // wait for the client's acknowledgement.
        if (tcp->family != Connection::FamilyUnix) tcp->set_nagleon();
    }
    countConnection(1);
}

HttpConnection::~HttpConnection() {
    if (uploadFd >= 0) ::close(uploadFd);
    if (contentFd >= 0) ::close(contentFd);
    uploadFd = contentFd = -1;
    // A task that ends while it waits (an exit message) leaves the stack; a connection
    // handed to it at that moment is closed with it.
    TcpConnection *handed = nullptr;
    {
        std::lock_guard<std::mutex> lock(idleMutex);
        std::erase(idleStack, this);
        handed = std::exchange(handedOver_, nullptr);
    }
    delete handed;
    if (wakeFd_ >= 0) ::close(wakeFd_);
    clearThreadLanguage();
    if (tcp != nullptr) {
        if (method == MethodPost) {
            // The part of a body that was not read is drained, so that closing does not
            // reset the connection before the client has read the answer.
            char scratch[512];
            for (int i = 0; i < 64 && tcp->read(scratch, sizeof scratch, 0) > 0; i++) {
            }
        }
        delete tcp;
    }
    tcp = nullptr;
    countConnection(-1);
}

bool HttpConnection::waitForConnection() {
    // The connection ends here; the task waits for the next one.
    if (uploadFd >= 0) ::close(uploadFd);
    if (contentFd >= 0) ::close(contentFd);
    uploadFd = contentFd = -1;
    if (tcp != nullptr) {
        if (method == MethodPost) {
            char scratch[512];
            for (int i = 0; i < 64 && tcp->read(scratch, sizeof scratch, 0) > 0; i++) {
            }
        }
        delete tcp;
        tcp = nullptr;
    }
    if (shutdownCount.load() != 0) return false;
    if (wakeFd_ < 0) wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) return false;
    {
        std::lock_guard<std::mutex> lock(idleMutex);
        idleStack.push_back(this);
    }
    for (;;) {
        int r = wait(IdleTicks, wakeFd_);
        if (r == 3) {
            // The wake-up is taken back; the connection it announces is there by now.
            uint64_t count = 0;
            if (::read(wakeFd_, &count, sizeof count) < 0) {
            }
        }
        TcpConnection *next = nullptr;
        {
            std::lock_guard<std::mutex> lock(idleMutex);
            next = std::exchange(handedOver_, nullptr);
            // Leaves when the time ran out (or the wait failed) and nothing came.
            if (next == nullptr && (r == 0 || r == 1)) {
                std::erase(idleStack, this);
                return false;
            }
        }
        if (next == nullptr) continue; // a task message
        static_cast<HttpRequest &>(*this) = HttpRequest();
        init();
        url[0] = path[0] = '\0';
        budget = KeepAliveBudget;
        tcp = next;
        tcp->owner = this;
        if (tcp->family != Connection::FamilyUnix) tcp->set_nagleon();
        connectionStart = requestStart = sysTicks();
        rename("HTTP_1");
        return true;
    }
}

bool HttpConnection::handOver(TcpConnection *client) {
    std::lock_guard<std::mutex> lock(idleMutex);
    if (idleStack.empty()) return false;
    HttpConnection *task = idleStack.back();
    idleStack.pop_back();
    task->handedOver_ = client;
    uint64_t one = 1;
    // The task is woken under the lock: it cannot end before the write (its destructor
    // takes the lock), and a failed write still leaves the connection with it, which it
    // finds on its next look or closes when it ends.
    if (::write(task->wakeFd_, &one, sizeof one) < 0) {
    }
    return true;
}

void HttpConnection::rename(const char *taskName) {
    if (name != nullptr && std::strcmp(name, taskName) == 0) return;
    name = taskName;
    char threadName[18];
    std::snprintf(threadName, sizeof threadName, "%d:%s", slotIndex(), name);
    ::prctl(PR_SET_NAME, threadName, 0, 0, 0);
}

bool HttpConnection::keepsAlive() const {
    return !exiting && tcp != nullptr && mode == ModeKeepAlive && status < 500 && budget > 0 &&
           shutdownCount.load() == 0;
}

void HttpConnection::nextRequest() {
    // The next request on a kept-alive connection ("HTTP_2") continues on this thread:
    // it starts from a fresh request state with the bytes the client sent after the
    // answered request.
    if (uploadFd >= 0) ::close(uploadFd);
    if (contentFd >= 0) ::close(contentFd);
    int unread = std::clamp(fill - parsePos, 0, HttpBufferSize);
    if (unread > 0) std::memmove(in, in + parsePos, static_cast<size_t>(unread));
    static_cast<HttpRequest &>(*this) = HttpRequest();
    init();
    url[0] = path[0] = '\0';
    fill = unread;
    requestStart = fill > 0 ? sysTicks() : 0;
    budget--;
    rename("HTTP_2");
}

void HttpConnection::exit() {
    exiting = true;
    Task::exit();
}

void HttpConnection::run() {
    // Code on this thread may change its working directory without moving the others'.
    ::unshare(CLONE_FS);
    for (;;) {
        // Waits in the steps take the task's messages; between steps that did not wait
        // a message is looked for now and then.
        for (unsigned n = 1; step(); n++) {
            if (n % 16 == 0 && pollMessage() < 0) return;
        }
        if (keepsAlive()) {
            nextRequest();
            continue;
        }
        if (!waitForConnection()) return;
    }
}

// ---------------------------------------------------------------- output

int HttpConnection::put(const char *text, int length) {
    if (state == DEAD) return outFill;
    if (text == nullptr) return outFill;
    size_t n = length < 0 ? std::strlen(text) : static_cast<size_t>(length);
    if (n == 0) return outFill;
    if (n > static_cast<size_t>(HttpBufferSize - outFill)) {
        state = DEAD;
        return -1;
    }
    std::memcpy(out + outFill, text, n);
    outFill += static_cast<int>(n);
    return outFill;
}

int HttpConnection::putf(const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) return outFill;
    return put(text, std::min(n, static_cast<int>(sizeof text) - 1));
}

int HttpConnection::flush() {
    if (tcp == nullptr || state == DEAD) return -2;
    int pending = outFill - outSent;
    if (pending > 0) {
        int n = tcp->writeAll(out + outSent, pending, 0, false);
        if (n != pending) {
            outFill = outSent = 0;
            state = DEAD;
            return -2;
        }
    }
    outFill = outSent = 0;
    return 0;
}

int HttpConnection::sendPage() {
    if (tcp == nullptr || state == DEAD) return -2;
    if (page.empty()) return -2;
    int pending = pageFill - pageSent;
    if (pending > 0) {
        int n = tcp->writeAll(page.data() + pageSent, pending, 0, false);
        if (n != pending) {
            state = DEAD;
            return -2;
        }
        pageSent = pageFill;
    }
    return 0;
}

// ---------------------------------------------------------------- the state machine

bool HttpConnection::step() {
    if (outFill > outSent) {
        if (state == DEAD) {
            outFill = outSent = 0;
            mode = ModeClose;
            return false;
        }
        int r = flush();
        if (r == -2) {
            state = DEAD;
            return false;
        }
        if (state == DONE) {
            state = DEAD;
            return false;
        }
        return true;
    }
    switch (state) {
    case READ_HEADER:
    case ONE_CR:
    case ONE_LF:
    case TWO_CR:
        return readHeader();
    case BODY_READ:
        return readBody();
    case BODY_WRITE:
        return consumeBody();
    case FILE_READ:
        return stepFile();
    case PIPE_READ:
    case PIPE_READRAW:
        return stepPipe();
    case FILE_WRITE:
    case FILE_DONE:
        return stepWindow();
    case BUFFER_READ:
        return stepRender();
    case BUFFER_WRITE:
        return stepPageWrite();
    case DONE:
        flush();
        state = DEAD;
        return false;
    case DEAD:
    default:
        mode = ModeClose;
        state = DEAD;
        return false;
    }
}

bool HttpConnection::stepFile() {
    if (contentFd < 0 || tcp == nullptr || !tcp->sendFile(contentFd)) {
        state = DEAD;
        return false;
    }
    state = FILE_DONE;
    windowStart = windowEnd = 0;
    return true;
}

bool HttpConnection::stepPipe() {
    if (contentFd < 0) {
        state = DEAD;
        return false;
    }
    if (windowEnd >= HttpBufferSize) {
        state = FILE_WRITE;
        return true;
    }
    ssize_t n = ::read(contentFd, out + windowEnd, static_cast<size_t>(HttpBufferSize - windowEnd));
    if (n > 0) {
        windowEnd += static_cast<int>(n);
        return true;
    }
    if (n == 0) {
        state = FILE_DONE;
        return true;
    }
    if (errno == EAGAIN || errno == EINTR) {
        // A streamer that writes nothing for a minute is given up.
        if (windowEnd > windowStart) {
            state = FILE_WRITE;
            return true;
        }
        if (wait(6000, contentFd) == 1) {
            state = DEAD;
            return false;
        }
        return true;
    }
    std::perror("pipe read");
    state = DEAD;
    return false;
}

bool HttpConnection::stepWindow() {
    if (windowEnd <= windowStart) {
        if (state == FILE_DONE) return false;
        windowStart = windowEnd = 0;
        state = PIPE_READ;
        return true;
    }
    int length = windowEnd - windowStart;
    int n = tcp ? tcp->writeAll(out + windowStart, length, 1000, false) : -4;
    if (n != length) {
        std::printf("Error, unexpected (%d)!!\n", n);
        state = DEAD;
        return false;
    }
    windowStart += n;
    transferred += n;
    if (windowStart >= windowEnd) windowStart = windowEnd = 0;
    if (state == FILE_WRITE) state = PIPE_READ;
    return true;
}

bool HttpConnection::stepRender() {
    if (contentFd < 0 || !page.empty()) {
        state = DONE;
        return true;
    }
    // The template (a file, or the text of a pipe) is read whole; it is bounded.
    std::string text;
    struct stat st;
    if (::fstat(contentFd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > MaxTemplate) {
        ::close(contentFd);
        contentFd = -1;
        writeError(500);
        state = DONE;
        return true;
    }
    char block[8192];
    for (;;) {
        ssize_t n = ::read(contentFd, block, sizeof block);
        if (n > 0) {
            text.append(block, static_cast<size_t>(n));
            if (static_cast<int64_t>(text.size()) > MaxTemplate) break;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            if (wait(500, contentFd) == 1) break;
            continue;
        }
        break;
    }
    ::close(contentFd);
    contentFd = -1;
    int ports = static_cast<int>(productParams().usbPorts);
    size_t size = text.size() + 57344 + (ports > 6 ? static_cast<size_t>(ports - 6) * 10240 : 0);
    page.assign(size, '\0');
    TemplateReader reader(*this, text.data(), text.size());
    pageFill =
        reader.renderPage(page.data(), page.size(), pageManager && pageManager->isScriptPage(pageIndex));
    pageSent = 0;
    int left = static_cast<int>(page.size()) - pageFill;
    if (pageFill > webStats.maxPage.load()) {
        webStats.maxPage = pageFill;
        webStats.maxPageBuffer = static_cast<int>(page.size());
        webStats.maxPageLeft = left;
        webStats.maxPageIndex = pageIndex;
    }
    if (left < webStats.minLeft.load()) {
        webStats.minLeft = left;
        webStats.minLeftBuffer = static_cast<int>(page.size());
        webStats.minLeftPage = pageFill;
        webStats.minLeftIndex = pageIndex;
    }
    state = BUFFER_WRITE;
    return true;
}

bool HttpConnection::stepPageWrite() {
    status = 200;
    contentLength = pageFill;
    writePageHeader();
    if (flush() != 0) return false;
    if (method != MethodHead) sendPage();
    return false;
}

// ---------------------------------------------------------------- after the handler

void continueAfterHandler(HttpConnection &c, int result) {
    if (result <= 0) {
        c.writeError(500);
        c.state = DONE;
        return;
    }
    if (result == PageTemplate) {
        int fd = c.templatePath.empty() ? -1 : ::open(c.templatePath.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (fd <= 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            if (fd > 0) ::close(fd);
            c.writeError(404);
            c.state = DONE;
            return;
        }
        if (c.contentFd >= 0) ::close(c.contentFd);
        c.contentFd = fd;
        c.contentLength = st.st_size;
        c.modified = st.st_mtime;
        bool isStatic = pageManager && pageManager->isStaticFile(c.pageIndex);
        if (c.method == MethodHead || st.st_size == 0) {
            c.writeOkHeader();
            ::close(c.contentFd);
            c.contentFd = -1;
            c.state = DONE;
            return;
        }
        if (isStatic) {
            c.writeOkHeader();
            // A file that fits beside the header goes out with it in one write.
            int room = HttpBufferSize - c.outFill;
            if (c.state != DEAD && st.st_size <= room) {
                ssize_t n = ::pread(c.contentFd, c.out + c.outFill, static_cast<size_t>(st.st_size), 0);
                if (n == st.st_size) {
                    c.outFill += static_cast<int>(n);
                    c.flush();
                    ::close(c.contentFd);
                    c.contentFd = -1;
                    if (c.state != DEAD) c.state = DONE;
                    return;
                }
            }
            c.flush();
            c.windowStart = c.windowEnd = 0;
            if (c.state != DEAD) c.state = FILE_READ;
            return;
        }
        c.state = BUFFER_READ;
        return;
    }
    int next = result & 0xff;
    int fd = result >> 8;
    if (next == DONE || next == DEAD) {
        // The handler wrote the whole answer.
        if (c.state != DEAD) c.state = DONE;
        return;
    }
    if (c.contentFd >= 0) ::close(c.contentFd);
    c.contentFd = -1;
    c.state = next;
    if (fd != 0) {
        c.contentFd = fd;
        struct stat st;
        if (::fstat(fd, &st) == 0) {
            c.contentLength = S_ISREG(st.st_mode) ? st.st_size : 0;
            c.modified = st.st_mtime;
        }
        setFdNonBlocking(fd, true);
    }
    if (next == BUFFER_READ) return;
    if (c.contentLength == 0) c.mode = ModeClose;
    if (next != PIPE_READRAW) {
        c.writeOkHeader();
        c.flush();
    }
    c.windowStart = c.windowEnd = 0;
    if (c.method == MethodHead && c.state != DEAD) c.state = DONE;
}

// ---------------------------------------------------------------- the listener

Httpd::Httpd(int http, int https, int third, NetInterface *netIface)
    : Task("HTTPD"), httpPort(http), httpsPort(https), thirdPort(third), iface(netIface) {
    if (httpPort < 0 && httpsPort < 0) {
        std::perror("HTTPD stopps, no ports are specified?!");
        return;
    }
    pageManager = new HttpPages();
}

Httpd::~Httpd() {
    closeListeners();
    delete pageManager;
    pageManager = nullptr;
}

uint32_t Httpd::onMessage(const TaskMsg &msg) {
    if (msg.flags & MsgConfigChanged) reopen_ = true;
    return msg.flags & ~static_cast<uint32_t>(MsgConfigChanged);
}

void Httpd::closeListeners() {
    for (auto &set : listeners_)
        for (auto &slot : set) {
            delete slot;
            slot = nullptr;
        }
}

void Httpd::openListeners() {
    setCount_ = 1;
    bool mgmt = p_ipvlan_mgmt->isOn();
    bool main = !mgmt || p_ipvlan_mgmt_untag->isOn();
    if (mgmt) {
        setCount_ += 21;
        int only = p_ipvlan_mgmt_idx->value();
        for (int i = 1; i <= 21; i++) {
            if (only != 0 && only != i) continue;
            listeners_[i][0] = TcpConnection::listen(this, httpPort, iface, i);
            listeners_[i][1] = TcpConnection::listen(this, httpsPort, iface, i);
        }
    }
    if (main) {
        listeners_[0][0] = TcpConnection::listen(this, httpPort, iface, 0);
        listeners_[0][1] = TcpConnection::listen(this, httpsPort, iface, 0);
    }
}

void Httpd::run() {
    if (pageManager == nullptr) return;
    openListeners();
    if (p_ipvlan_mgmt->isOn() && static_cast<int>(productParams().usbPorts) + 1 >= setCount_) return;
    for (;;) {
        reopen_ = false;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(pipeRead, &readable);
        int highest = pipeRead;
        for (auto &set : listeners_)
            for (TcpConnection *l : set)
                if (l && l->socket >= 0 && l->socket < FD_SETSIZE) {
                    FD_SET(l->socket, &readable);
                    highest = std::max(highest, l->socket);
                }
        int rc = ::select(highest + 1, &readable, nullptr, nullptr, nullptr);
        if (rc < 0) {
            if (errno == EINTR) continue;
            reopen_ = true;
        } else if (FD_ISSET(pipeRead, &readable)) {
            readMessage();
        }
        if (reopen_) {
            closeListeners();
            openListeners();
            continue;
        }
        if (rc <= 0) continue;
        for (auto &set : listeners_) {
            for (int slot = 0; slot < 3; slot++) {
                TcpConnection *l = set[slot];
                if (l == nullptr || l->socket < 0 || !FD_ISSET(l->socket, &readable)) continue;
                // Every client that waits is taken in one go: a burst of new connections
                // costs one wake-up of the listener, not one each.
                for (int n = 0; n < AcceptBurst; n++) {
                    TcpConnection *client = l->acceptPending(slot == 1);
                    if (client == nullptr) break;
                    if (HttpConnection::handOver(client)) continue;
                    // Connections beyond the limit are closed at once: each one is a thread.
                    if (webStats.connections.load() >= MaxConnections) {
                        delete client;
                        continue;
                    }
                    auto *connection = new HttpConnection(client);
                    if (connection->start(64 * 1024) < 0) {
                        connection->exiting = true;
                        delete connection;
                    }
                }
            }
        }
    }
}
