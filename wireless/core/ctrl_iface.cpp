#include "wireless/core/ctrl_iface.h"

#include "wireless/eap/eapol_supp_sm.h"

#include "core/sysroot.h"
#include "wireless/core/eloop.h"
#include "wireless/core/supplicant.h"
#include "wireless/core/wpa_msg.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <grp.h>
#include <linux/sockios.h>
#include <list>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Lines waiting in one queue; beyond this many the oldest is dropped.
constexpr size_t QueueLimit = 2000;
constexpr int MaxSendFailures = 10;

// One event line as it goes on the wire (level prefix and any IFNAME= prefix included).
using Line = std::string;

struct wpa_ctrl_monitor {
    sockaddr_un addr;
    socklen_t addrlen;
    int debug_level;
    int errors;
    // Lines the monitor's socket could not take yet (its queue was full): sent first, in order.
    std::deque<Line> backlog;
};

struct wpa_ctrl_msg {
    wpa_iface *iface; // producer, for the IFNAME= prefix on the global socket
    int level;
    wpa_msg_type type;
    std::string text;
};

struct Monitors {
    std::list<wpa_ctrl_monitor> list; // newest first
};

} // namespace

struct wpa_ctrl_iface_priv {
    wpa_iface *iface;
    int sock = -1;
    std::string path;
    std::string dir;
    bool created_dir = false;
    Monitors monitors;
    std::deque<wpa_ctrl_msg> queue;
    unsigned int throttle_count = 0;
};

struct wpa_ctrl_iface_global_priv {
    wpa_global *global;
    int sock = -1;
    std::string path;
    Monitors monitors;
    std::deque<wpa_ctrl_msg> queue;
    unsigned int throttle_count = 0;
};

namespace {

wpa_global *msg_global = nullptr; // the global context whose monitors get global lines

void flush_timeout(void *eloop_ctx, void *timeout_ctx);

bool same_addr(const wpa_ctrl_monitor &m, const sockaddr_un &from, socklen_t fromlen) {
    return from.sun_family == AF_UNIX && m.addrlen == fromlen && memcmp(&m.addr, &from, fromlen) == 0;
}

int attach(Monitors &mons, const sockaddr_un &from, socklen_t fromlen) {
    wpa_ctrl_monitor m{};
    memcpy(&m.addr, &from, fromlen <= sizeof(m.addr) ? fromlen : sizeof(m.addr));
    m.addrlen = fromlen;
    m.debug_level = MSG_INFO;
    mons.list.push_front(std::move(m));
    return 0;
}

int detach(Monitors &mons, const sockaddr_un &from, socklen_t fromlen) {
    for (auto it = mons.list.begin(); it != mons.list.end(); ++it)
        if (same_addr(*it, from, fromlen)) {
            mons.list.erase(it);
            return 0;
        }
    return -1;
}

int set_level(Monitors &mons, const sockaddr_un &from, socklen_t fromlen, const char *level) {
    for (wpa_ctrl_monitor &m : mons.list)
        if (same_addr(m, from, fromlen)) {
            m.debug_level = atoi(level);
            return 0;
        }
    return -1;
}

// More than half of the socket's send buffer still unread by its peers.
bool throttled(int sock) {
    if (sock < 0) return false;
    int sndbuf = 0;
    socklen_t len = sizeof(sndbuf);
    if (getsockopt(sock, SOL_SOCKET, SO_SNDBUF, &sndbuf, &len) < 0 || sndbuf <= 0) return false;
    int outq = 0;
    if (ioctl(sock, SIOCOUTQ, &outq) < 0 || outq < 0) return false;
    return outq > sndbuf / 2;
}

enum class SendResult { Sent, Busy, Failed };

SendResult send_line(int sock, const wpa_ctrl_monitor &m, const Line &line) {
    ssize_t r = sendto(sock, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr *>(&m.addr), m.addrlen);
    if (r >= 0) return SendResult::Sent;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return SendResult::Busy;
    return SendResult::Failed;
}

// Sends what a monitor has waiting; false while it still has lines waiting.
bool drain_monitor(int sock, wpa_ctrl_monitor &m, bool &remove) {
    while (!m.backlog.empty()) {
        SendResult r = send_line(sock, m, m.backlog.front());
        if (r == SendResult::Busy) return false;
        if (r == SendResult::Failed) {
            int err = errno;
            if (++m.errors > MaxSendFailures || err == EPERM || err == ENOENT || err == ECONNREFUSED) {
                remove = true;
                return true;
            }
            return false;
        }
        m.errors = 0;
        m.backlog.pop_front();
    }
    return true;
}

// Hands one line to every monitor of the list whose level admits it. A monitor whose
// socket is full keeps the line in its own backlog: it gets it later, in order, and the
// control socket itself stays as it is (a connected client must not lose it).
void send_to_monitors(int sock, Monitors &mons, int level, const Line &line) {
    if (sock < 0) return;
    for (auto it = mons.list.begin(); it != mons.list.end();) {
        wpa_ctrl_monitor &m = *it;
        if (level < m.debug_level) {
            ++it;
            continue;
        }
        bool remove = false;
        if (!m.backlog.empty()) {
            if (m.backlog.size() >= QueueLimit) m.backlog.pop_front();
            m.backlog.push_back(line);
            drain_monitor(sock, m, remove);
        } else {
            SendResult r = send_line(sock, m, line);
            if (r == SendResult::Sent) {
                m.errors = 0;
            } else if (r == SendResult::Busy) {
                m.backlog.push_back(line);
            } else {
                int err = errno;
                if (++m.errors > MaxSendFailures || err == EPERM || err == ENOENT || err == ECONNREFUSED)
                    remove = true;
            }
        }
        it = remove ? mons.list.erase(it) : std::next(it);
    }
}

bool monitors_waiting(const Monitors &mons) {
    for (const wpa_ctrl_monitor &m : mons.list)
        if (!m.backlog.empty()) return true;
    return false;
}

void drain_monitors(int sock, Monitors &mons) {
    if (sock < 0) return;
    for (auto it = mons.list.begin(); it != mons.list.end();) {
        bool remove = false;
        drain_monitor(sock, *it, remove);
        it = remove ? mons.list.erase(it) : std::next(it);
    }
}

Line make_line(const char *ifname_prefix, int level, const char *txt, size_t len) {
    char levelstr[10];
    int n = snprintf(levelstr, sizeof(levelstr), "<%d>", level);
    if (n < 0 || n >= static_cast<int>(sizeof(levelstr))) return Line();
    Line line;
    if (ifname_prefix != nullptr) {
        line += "IFNAME=";
        line += ifname_prefix;
        line += ' ';
    }
    line.append(levelstr, static_cast<size_t>(n));
    line.append(txt, len);
    return line;
}

void queue_add(std::deque<wpa_ctrl_msg> &queue, unsigned int &count, wpa_iface *iface, int level,
               wpa_msg_type type, const char *txt, size_t len) {
    count++;
    if (count >= QueueLimit && !queue.empty()) queue.pop_front();
    queue.push_back({iface, level, type, std::string(txt, len)});
    eloop_cancel_timeout(flush_timeout, iface, nullptr);
    eloop_register_timeout(0, 0, flush_timeout, iface, nullptr);
}

void send_global(wpa_ctrl_iface_global_priv *gp, wpa_iface *iface, int level, wpa_msg_type type,
                 const char *txt, size_t len) {
    const char *prefix = type == WPA_MSG_PER_INTERFACE && iface ? iface->ifname : nullptr;
    Line line = make_line(prefix, level, txt, len);
    if (!line.empty()) send_to_monitors(gp->sock, gp->monitors, level, line);
}

void send_iface(wpa_ctrl_iface_priv *p, int level, const char *txt, size_t len) {
    Line line = make_line(nullptr, level, txt, len);
    if (!line.empty()) send_to_monitors(p->sock, p->monitors, level, line);
}

// Event fan-out: every event line of the supplicant comes through here.
void msg_cb(void *ctx, int level, wpa_msg_type type, const char *txt, size_t len) {
    auto *iface = static_cast<wpa_iface *>(ctx);
    wpa_global *global = iface ? iface->global : msg_global;
    if (type != WPA_MSG_ONLY_IFNAME && global && global->ctrl_iface) {
        wpa_ctrl_iface_global_priv *gp = global->ctrl_iface;
        if (!gp->monitors.list.empty()) {
            if (!gp->queue.empty() || throttled(gp->sock)) {
                queue_add(gp->queue, gp->throttle_count, iface, level, type, txt, len);
            } else {
                gp->throttle_count = 0;
                send_global(gp, iface, level, type, txt, len);
            }
        }
    }
    if (iface == nullptr || iface->ctrl_iface == nullptr) return;
    wpa_ctrl_iface_priv *p = iface->ctrl_iface;
    if (!p->queue.empty() || throttled(p->sock)) {
        queue_add(p->queue, p->throttle_count, iface, level, type, txt, len);
    } else {
        p->throttle_count = 0;
        send_iface(p, level, txt, len);
    }
}

void flush_timeout(void *eloop_ctx, void *) {
    auto *iface = static_cast<wpa_iface *>(eloop_ctx);
    wpa_global *global = iface ? iface->global : msg_global;
    bool again = false;
    if (global && global->ctrl_iface) {
        wpa_ctrl_iface_global_priv *gp = global->ctrl_iface;
        drain_monitors(gp->sock, gp->monitors);
        while (!gp->queue.empty() && !throttled(gp->sock)) {
            wpa_ctrl_msg m = std::move(gp->queue.front());
            gp->queue.pop_front();
            send_global(gp, m.iface, m.level, m.type, m.text.data(), m.text.size());
        }
        again = again || (gp->sock >= 0 && (!gp->queue.empty() || monitors_waiting(gp->monitors)));
    }
    if (iface && iface->ctrl_iface) {
        wpa_ctrl_iface_priv *p = iface->ctrl_iface;
        drain_monitors(p->sock, p->monitors);
        while (!p->queue.empty() && !throttled(p->sock)) {
            wpa_ctrl_msg m = std::move(p->queue.front());
            p->queue.pop_front();
            send_iface(p, m.level, m.text.data(), m.text.size());
        }
        again = again || (p->sock >= 0 && (!p->queue.empty() || monitors_waiting(p->monitors)));
    }
    if (again) eloop_register_timeout(0, 20000, flush_timeout, eloop_ctx, nullptr);
}

// A monitor that could not take a line has it in its backlog: make sure a flush runs.
void arm_flush_if_waiting(wpa_iface *iface) {
    bool waiting = false;
    if (iface && iface->ctrl_iface)
        waiting = monitors_waiting(iface->ctrl_iface->monitors) || !iface->ctrl_iface->queue.empty();
    wpa_global *global = iface ? iface->global : msg_global;
    if (global && global->ctrl_iface)
        waiting =
            waiting || monitors_waiting(global->ctrl_iface->monitors) || !global->ctrl_iface->queue.empty();
    if (waiting && !eloop_is_timeout_registered(flush_timeout, iface, nullptr))
        eloop_register_timeout(0, 20000, flush_timeout, iface, nullptr);
}

void reply(int sock, const char *reply, size_t len, const sockaddr_un &from, socklen_t fromlen,
           bool *delivered) {
    ssize_t r = sendto(sock, reply, len, MSG_DONTWAIT | MSG_NOSIGNAL,
                       reinterpret_cast<const sockaddr *>(&from), fromlen);
    if (delivered) *delivered = r >= 0;
}

// Reads one request from a control socket and answers it: ATTACH, DETACH and, where
// monitors keep levels, LEVEL act on the monitors; every other command goes to process.
// Returns false when nothing was read; *attached tells whether a new monitor was
// attached (its OK delivered).
template <typename Process>
bool serve_request(int sock, Monitors &mons, bool levels, Process process, bool *attached = nullptr) {
    char buf[4096];
    sockaddr_un from{};
    socklen_t fromlen = sizeof(from);
    ssize_t res = recvfrom(sock, buf, sizeof(buf) - 1, 0, reinterpret_cast<sockaddr *>(&from), &fromlen);
    if (res < 0) return false;
    buf[res] = '\0';

    char *reply_buf = nullptr;
    size_t reply_len = 0;
    bool new_attached = false;
    if (strcmp(buf, "ATTACH") == 0) {
        new_attached = attach(mons, from, fromlen) == 0;
        reply_len = new_attached ? 2 : 1;
    } else if (strcmp(buf, "DETACH") == 0) {
        reply_len = detach(mons, from, fromlen) == 0 ? 2 : 1;
    } else if (levels && strncmp(buf, "LEVEL ", 6) == 0) {
        reply_len = set_level(mons, from, fromlen, buf + 6) == 0 ? 2 : 1;
    } else {
        reply_buf = process(buf, &reply_len);
        explicit_bzero(buf, sizeof(buf));
    }
    // The answer: the reply text, "FAIL\n" for a reply length of 1, "OK\n" for 2.
    bool delivered = false;
    if (reply_buf != nullptr)
        reply(sock, reply_buf, reply_len, from, fromlen, &delivered);
    else if (reply_len == 1)
        reply(sock, "FAIL\n", 5, from, fromlen, &delivered);
    else if (reply_len == 2)
        reply(sock, "OK\n", 3, from, fromlen, &delivered);
    // A monitor whose OK never arrived does not know it is attached: take it back.
    if (new_attached && !delivered) detach(mons, from, fromlen);
    if (attached) *attached = new_attached && delivered;
    free(reply_buf);
    return true;
}

void iface_receive(int sock, void *eloop_ctx, void *) {
    auto *iface = static_cast<wpa_iface *>(eloop_ctx);
    bool attached = false;
    bool served = serve_request(
        sock, iface->ctrl_iface->monitors, true,
        [iface](char *cmd, size_t *len) { return wpa_ctrl_iface_process(iface, cmd, len); }, &attached);
    // A new monitor hears the credential requests still waiting for an answer.
    if (attached) eapol_supp_monitor_attached(iface->eapol);
    // The command may have produced lines that wait for a busy monitor.
    if (served && iface->ctrl_iface) arm_flush_if_waiting(iface);
}

void global_receive(int sock, void *eloop_ctx, void *) {
    auto *global = static_cast<wpa_global *>(eloop_ctx);
    serve_request(sock, global->ctrl_iface->monitors, false, [global](char *cmd, size_t *len) {
        return wpa_ctrl_iface_global_process(global, cmd, len);
    });
}

// Binds a datagram socket to the path. A path that a live process serves is left
// alone; a stale socket file is replaced. Returns the socket or -1.
int bind_path(const std::string &path, bool *created) {
    *created = false;
    int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        close(sock);
        return -1;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0) {
        int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        bool live = probe >= 0 && connect(probe, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
        if (probe >= 0) close(probe);
        if (live || unlink(path.c_str()) < 0 ||
            bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0) {
            close(sock);
            return -1;
        }
    }
    *created = true;
    return sock;
}

bool lookup_group(const char *text, gid_t *gid) {
    if (group *g = getgrnam(text)) {
        *gid = g->gr_gid;
        return true;
    }
    char *end;
    long v = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || v < 0) return false;
    *gid = static_cast<gid_t>(v);
    return true;
}

} // namespace

wpa_ctrl_iface_priv *wpa_ctrl_iface_init(wpa_iface *iface) {
    auto *priv = new (std::nothrow) wpa_ctrl_iface_priv();
    if (priv == nullptr) return nullptr;
    priv->iface = iface;
    const char *value = iface->conf ? iface->conf->ctrl_interface : nullptr;
    if (value == nullptr) return priv;

    // "DIR=<dir>[ GROUP=<group>]" or a plain directory with the group option beside it.
    std::string dir, grp;
    if (strncmp(value, "DIR=", 4) == 0) {
        dir = value + 4;
        size_t g = dir.find(" GROUP=");
        if (g != std::string::npos) {
            grp = dir.substr(g + 7);
            dir.resize(g);
        }
    } else {
        dir = value;
        if (iface->conf->ctrl_interface_group) grp = iface->conf->ctrl_interface_group;
    }
    // Only the socket layer maps the appliance's paths into the sandbox root.
    std::string real_dir = sysPath(dir);
    bool have_group = !grp.empty();
    gid_t gid = 0;
    if (have_group && !lookup_group(grp.c_str(), &gid)) {
        delete priv;
        return nullptr;
    }
    if (mkdir(real_dir.c_str(), 0770) == 0) {
        priv->created_dir = true;
        chmod(real_dir.c_str(), 0770);
    } else if (errno != EEXIST) {
        delete priv;
        return nullptr;
    }
    if (have_group &&
        (chown(real_dir.c_str(), static_cast<uid_t>(-1), gid) < 0 || chmod(real_dir.c_str(), 0750) < 0)) {
        delete priv;
        return nullptr;
    }
    if (real_dir.size() + strlen(iface->ifname) + 1 > 107) {
        delete priv;
        return nullptr;
    }
    priv->dir = real_dir;
    priv->path = real_dir + "/" + iface->ifname;
    bool created = false;
    int sock = bind_path(priv->path, &created);
    if (sock < 0) {
        delete priv;
        return nullptr;
    }
    if ((have_group && chown(priv->path.c_str(), static_cast<uid_t>(-1), gid) < 0) ||
        chmod(priv->path.c_str(), 0770) < 0 || fcntl(sock, F_SETFL, O_NONBLOCK) < 0 ||
        eloop_register_read_sock(sock, iface_receive, iface, nullptr) < 0) {
        close(sock);
        if (created) unlink(priv->path.c_str());
        delete priv;
        return nullptr;
    }
    priv->sock = sock;
    wpa_msg_register_cb(msg_cb);
    return priv;
}

void wpa_ctrl_iface_flush(wpa_iface *iface) {
    flush_timeout(iface, nullptr);
}

void wpa_ctrl_iface_deinit(wpa_iface *iface, wpa_ctrl_iface_priv *priv) {
    if (priv == nullptr) return;
    // Hand over what still waits (the terminating line included) as far as it goes now.
    drain_monitors(priv->sock, priv->monitors);
    while (!priv->queue.empty() && priv->sock >= 0) {
        wpa_ctrl_msg m = std::move(priv->queue.front());
        priv->queue.pop_front();
        send_iface(priv, m.level, m.text.data(), m.text.size());
    }
    if (priv->sock >= 0) {
        eloop_unregister_read_sock(priv->sock);
        if (!priv->monitors.list.empty()) {
            // Give the monitors a moment to read their last lines before the socket goes.
            for (int i = 0; i < 10 && monitors_waiting(priv->monitors); i++) {
                os_sleep(0, 10000);
                drain_monitors(priv->sock, priv->monitors);
            }
            os_sleep(0, 100000);
        }
        close(priv->sock);
        priv->sock = -1;
        unlink(priv->path.c_str());
        rmdir(priv->dir.c_str());
    }
    if (iface && iface->global && iface->global->ctrl_iface) {
        auto &gq = iface->global->ctrl_iface->queue;
        for (auto it = gq.begin(); it != gq.end();)
            it = it->iface == iface ? gq.erase(it) : std::next(it);
    }
    eloop_cancel_timeout(flush_timeout, iface, ELOOP_ALL_CTX);
    delete priv;
}

wpa_ctrl_iface_global_priv *wpa_ctrl_iface_global_init(wpa_global *global) {
    auto *priv = new (std::nothrow) wpa_ctrl_iface_global_priv();
    if (priv == nullptr) return nullptr;
    priv->global = global;
    msg_global = global;
    const char *value = global->params.ctrl_interface;
    if (value == nullptr) return priv;
    int sock = -1;
    if (strncmp(value, "@abstract:", 10) == 0) {
        const char *name = value + 10;
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (strlen(name) > 106) {
            delete priv;
            return nullptr;
        }
        memcpy(addr.sun_path + 1, name, strlen(name));
        sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (sock < 0 || bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0) {
            if (sock >= 0) close(sock);
            delete priv;
            return nullptr;
        }
    } else {
        priv->path = sysPath(value);
        if (priv->path.size() > 107) {
            delete priv;
            return nullptr;
        }
        bool created = false;
        sock = bind_path(priv->path, &created);
        if (sock < 0) {
            delete priv;
            return nullptr;
        }
        gid_t gid = 0;
        bool ok;
        if (global->params.ctrl_interface_group) {
            ok = lookup_group(global->params.ctrl_interface_group, &gid) &&
                 chown(priv->path.c_str(), static_cast<uid_t>(-1), gid) == 0 &&
                 chmod(priv->path.c_str(), 0770) == 0;
        } else {
            ok = chmod(priv->path.c_str(), 0700) == 0;
        }
        if (!ok) {
            close(sock);
            unlink(priv->path.c_str());
            delete priv;
            return nullptr;
        }
    }
    if (fcntl(sock, F_SETFL, O_NONBLOCK) < 0 ||
        eloop_register_read_sock(sock, global_receive, global, nullptr) < 0) {
        close(sock);
        if (!priv->path.empty()) unlink(priv->path.c_str());
        delete priv;
        return nullptr;
    }
    priv->sock = sock;
    wpa_msg_register_cb(msg_cb);
    return priv;
}

void wpa_ctrl_iface_global_deinit(wpa_ctrl_iface_global_priv *priv) {
    if (priv == nullptr) return;
    drain_monitors(priv->sock, priv->monitors);
    if (priv->sock >= 0) {
        eloop_unregister_read_sock(priv->sock);
        close(priv->sock);
        if (!priv->path.empty()) unlink(priv->path.c_str());
    }
    eloop_cancel_timeout(flush_timeout, nullptr, ELOOP_ALL_CTX);
    if (msg_global == priv->global) msg_global = nullptr;
    delete priv;
}

int wpa_ctrl_iface_sock(const wpa_ctrl_iface_priv *priv) {
    return priv ? priv->sock : -1;
}

size_t wpa_ctrl_iface_monitor_count(const wpa_ctrl_iface_priv *priv) {
    return priv ? priv->monitors.list.size() : 0;
}

char *wpa_ctrl_iface_global_process(wpa_global *global, char *buf, size_t *resp_len) {
    (void)global;
    (void)buf;
    // The global commands are not part of this build: every word is unknown.
    static const char unknown[] = "UNKNOWN COMMAND\n";
    char *reply = static_cast<char *>(malloc(sizeof(unknown)));
    if (reply == nullptr) {
        *resp_len = 1;
        return nullptr;
    }
    memcpy(reply, unknown, sizeof(unknown));
    *resp_len = sizeof(unknown) - 1;
    return reply;
}
