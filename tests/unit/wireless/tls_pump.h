// The `openssl` command-line tool as a real TLS peer of the wrapper: the tool talks TCP
// on the loopback, a pump passes its bytes to a handler (which drives a wrapper
// connection on memory BIOs) and the handler's bytes back, and collects the tool's
// output for the test to read.
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
        int in_pipe[2], out_pipe[2];
        if (port_ == 0 || pipe2(in_pipe, O_CLOEXEC) != 0) return run;
        if (pipe2(out_pipe, O_CLOEXEC) != 0) {
            close(in_pipe[0]);
            close(in_pipe[1]);
            return run;
        }
        // A tool gone early must not end the test with SIGPIPE.
        struct sigaction ignore {
        }, old{};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, &old);
        const pid_t pid = fork();
        if (pid == 0) {
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
        if (pid > 0 && !input.empty()) (void)!write(in_pipe[1], input.data(), input.size());
        close(in_pipe[1]);

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
        bool exited = pid < 0;
        while (!exited && time(nullptr) < end) {
            std::vector<pollfd> fds{{out_pipe[0], POLLIN, 0}, {listener_, POLLIN, 0}};
            for (const Conn &c : conns)
                fds.push_back({c.fd, POLLIN, 0});
            if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) break;
            if (fds[0].revents != 0) {
                char buf[4096];
                const ssize_t n = read(out_pipe[0], buf, sizeof(buf));
                if (n > 0)
                    run.output.append(buf, static_cast<size_t>(n));
                else
                    exited = true;
            }
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
        if (pid > 0) {
            if (!exited) kill(pid, SIGKILL);
            int status = 0;
            if (waitpid(pid, &status, 0) == pid && exited && WIFEXITED(status))
                run.status = WEXITSTATUS(status);
        }
        close(out_pipe[0]);
        sigaction(SIGPIPE, &old, nullptr);
        return run;
    }

private:
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
