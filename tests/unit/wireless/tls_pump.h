// The `openssl` command-line tool as a real TLS peer of the wrapper: the tool talks TCP
// on the loopback, a pump passes its bytes to a handler (which drives a wrapper
// connection on memory BIOs) and the handler's bytes back, and collects the tool's
// output for the test to read. The tool is the client (serve, the pump listens) or the
// server (connect, the pump dials the port the tool reports).
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// One TCP connection of the tool, as the handler of the test sees it.
struct TlsPumpConn {
    virtual ~TlsPumpConn() = default;
    // Bytes from the tool in, bytes for it out; false closes the connection once out is sent.
    // When the pump dials, the first call has nothing in: the handler speaks first.
    virtual bool feed(const std::vector<uint8_t> &in, std::vector<uint8_t> &out) = 0;
};

struct TlsPeerRun {
    std::string output; // the tool's stdout and stderr
    int status = -1;    // its exit status; -1 when it had to be killed
};

class TlsPump {
public:
    // Far beyond any handshake, even on a loaded machine: only a hung tool meets it.
    static constexpr int LIMIT_SECONDS = 120;

    TlsPump() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (listener_ >= 0 && bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
            listen(listener_, 8) == 0 &&
            getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
            port_ = ntohs(addr.sin_port);
    }
    ~TlsPump() {
        if (listener_ >= 0) close(listener_);
    }
    TlsPump(const TlsPump &) = delete;
    TlsPump &operator=(const TlsPump &) = delete;

    int port() const { return port_; }
    static bool have_openssl() { return std::system("openssl version >/dev/null 2>&1") == 0; }

    // Runs `openssl args...` with input on its stdin and serves every connection it opens
    // to this pump's port with a handler from make_conn, until the tool exits.
    TlsPeerRun serve(const std::vector<std::string> &args, const std::string &input,
                     const std::function<std::unique_ptr<TlsPumpConn>()> &make_conn) {
        TlsPeerRun run;
        Child child;
        if (port_ == 0 || !start(args, child)) return run;
        if (!input.empty()) (void)!write(child.in, input.data(), input.size());
        close(child.in);
        child.in = -1;

        struct Conn {
            int fd;
            std::unique_ptr<TlsPumpConn> handler;
        };
        std::vector<Conn> conns;
        auto drop = [&conns](size_t i) {
            close(conns[i].fd);
            conns.erase(conns.begin() + static_cast<long>(i));
        };
        const time_t end = time(nullptr) + LIMIT_SECONDS;
        bool exited = false;
        while (!exited && time(nullptr) < end) {
            std::vector<pollfd> fds{{child.out, POLLIN, 0}, {listener_, POLLIN, 0}};
            for (const Conn &c : conns)
                fds.push_back({c.fd, POLLIN, 0});
            if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) break;
            if (fds[0].revents != 0 && !read_output(child, run)) exited = true;
            if (fds[1].revents & POLLIN) {
                const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) conns.push_back({fd, make_conn()});
            }
            // Connections in the order polled; a dropped one shifts the rest.
            for (size_t f = 2, i = 0; f < fds.size(); f++) {
                if (fds[f].revents == 0) {
                    i++;
                    continue;
                }
                std::vector<uint8_t> in(65536), out;
                const ssize_t n = recv(conns[i].fd, in.data(), in.size(), 0);
                if (n <= 0) {
                    drop(i);
                    continue;
                }
                in.resize(static_cast<size_t>(n));
                const bool keep = conns[i].handler->feed(in, out);
                if (!out.empty() && !send_all(conns[i].fd, out)) {
                    drop(i);
                    continue;
                }
                if (!keep) {
                    drop(i);
                    continue;
                }
                i++;
            }
        }
        while (!conns.empty())
            drop(0);
        reap(child, exited, run);
        return run;
    }

    // Runs `openssl args...` (a server told to listen on 127.0.0.1:0 and to take one
    // connection), reads the port from its ACCEPT line, dials it and pumps between the
    // tool and the handler until the handler or the tool closes; then waits for the tool
    // to exit. The tool's stdin stays open to the end: at its end of input it would quit.
    static TlsPeerRun connect(const std::vector<std::string> &args, TlsPumpConn &conn) {
        TlsPeerRun run;
        Child child;
        if (!start(args, child)) return run;
        const time_t end = time(nullptr) + LIMIT_SECONDS;
        bool exited = false;
        int port = 0;
        while (port == 0 && !exited && time(nullptr) < end) {
            pollfd fd{child.out, POLLIN, 0};
            if (poll(&fd, 1, 1000) < 0 && errno != EINTR) break;
            if (fd.revents != 0 && !read_output(child, run)) exited = true;
            port = accept_port(run.output);
        }
        int sock = -1;
        if (port != 0) {
            sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = htons(static_cast<uint16_t>(port));
            if (sock >= 0 && ::connect(sock, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
                close(sock);
                sock = -1;
            }
        }
        // Not dialed: the tool waits for its connection in vain and is killed below.
        const bool dialed = sock >= 0;
        if (dialed) {
            std::vector<uint8_t> out;
            const bool keep = conn.feed({}, out);
            if (!send_all(sock, out) || !keep) {
                close(sock);
                sock = -1;
            }
        }
        while (dialed && !exited && time(nullptr) < end) {
            std::vector<pollfd> fds{{child.out, POLLIN, 0}};
            if (sock >= 0) fds.push_back({sock, POLLIN, 0});
            if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) break;
            if (fds[0].revents != 0 && !read_output(child, run)) exited = true;
            if (sock < 0 || fds[1].revents == 0) continue;
            std::vector<uint8_t> in(65536), out;
            const ssize_t n = recv(sock, in.data(), in.size(), 0);
            bool keep = n > 0;
            if (keep) {
                in.resize(static_cast<size_t>(n));
                keep = conn.feed(in, out);
                if (!out.empty() && !send_all(sock, out)) keep = false;
            }
            if (!keep) {
                close(sock);
                sock = -1;
            }
        }
        if (sock >= 0) close(sock);
        reap(child, exited, run);
        return run;
    }

private:
    struct Child {
        pid_t pid = -1;
        int in = -1, out = -1; // the tool's stdin and its stdout and stderr
        struct sigaction old_sigpipe {};
    };

    static bool start(const std::vector<std::string> &args, Child &child) {
        int in_pipe[2], out_pipe[2];
        if (pipe2(in_pipe, O_CLOEXEC) != 0) return false;
        if (pipe2(out_pipe, O_CLOEXEC) != 0) {
            close(in_pipe[0]);
            close(in_pipe[1]);
            return false;
        }
        // A tool gone early must not end the test with SIGPIPE.
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, &child.old_sigpipe);
        child.pid = fork();
        if (child.pid == 0) {
            dup2(in_pipe[0], 0);
            dup2(out_pipe[1], 1);
            dup2(out_pipe[1], 2);
            std::vector<char *> argv;
            argv.push_back(const_cast<char *>("openssl"));
            for (const std::string &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execvp("openssl", argv.data());
            _exit(127);
        }
        close(in_pipe[0]);
        close(out_pipe[1]);
        child.in = in_pipe[1];
        child.out = out_pipe[0];
        if (child.pid < 0) {
            TlsPeerRun none;
            reap(child, true, none);
            return false;
        }
        return true;
    }

    // Appends what the tool wrote; false at its end of output.
    static bool read_output(const Child &child, TlsPeerRun &run) {
        char buf[4096];
        const ssize_t n = read(child.out, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) return true;
        if (n <= 0) return false;
        run.output.append(buf, static_cast<size_t>(n));
        return true;
    }

    // Kills the tool unless its output ended, and collects its exit status.
    static void reap(Child &child, bool exited, TlsPeerRun &run) {
        if (child.in >= 0) close(child.in);
        if (child.pid > 0) {
            if (!exited) kill(child.pid, SIGKILL);
            int status = 0;
            if (waitpid(child.pid, &status, 0) == child.pid && exited && WIFEXITED(status))
                run.status = WEXITSTATUS(status);
        }
        close(child.out);
        sigaction(SIGPIPE, &child.old_sigpipe, nullptr);
    }

    // The port of a complete "ACCEPT host:port" line, or 0.
    static int accept_port(const std::string &output) {
        const size_t at = output.find("ACCEPT ");
        if (at == std::string::npos) return 0;
        const size_t eol = output.find('\n', at);
        if (eol == std::string::npos) return 0;
        const size_t colon = output.rfind(':', eol);
        if (colon == std::string::npos || colon < at) return 0;
        return std::atoi(output.c_str() + colon + 1);
    }

    static bool send_all(int fd, const std::vector<uint8_t> &data) {
        size_t pos = 0;
        while (pos < data.size()) {
            const ssize_t n = send(fd, data.data() + pos, data.size() - pos, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            pos += static_cast<size_t>(n);
        }
        return true;
    }

    int listener_ = -1;
    int port_ = 0;
};
