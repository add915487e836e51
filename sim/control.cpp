#include "sim/control.h"

#include "core/sysroot.h"
#include "core/ticks.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace sim {
namespace {

struct Command {
    std::string usage;
    CommandHandler handler;
};

std::mutex registryLock;
std::map<std::string, Command> &commands() {
    static std::map<std::string, Command> table;
    return table;
}
std::vector<StateProvider> &stateProviders() {
    static std::vector<StateProvider> list;
    return list;
}

std::thread server;
int listenFd = -1;
int wakePipe[2] = {-1, -1};
std::string boundPath;

void addBuiltins() {
    static bool done = false;
    if (done) return;
    done = true;
    commands()["ping"] = {"ping", [](const std::vector<std::string> &, std::string &out) {
                              out += "pong\n";
                              return std::string();
                          }};
    commands()["help"] = {"help", [](const std::vector<std::string> &, std::string &out) {
                              for (const auto &[name, cmd] : commands())
                                  out += cmd.usage + "\n";
                              return std::string();
                          }};
    commands()["state"] = {"state", [](const std::vector<std::string> &, std::string &out) {
                               out += "platform sim\n";
                               out += "root " + (sysRoot().empty() ? std::string("/") : sysRoot()) + "\n";
                               out += "ticks " + std::to_string(sysTicks()) + "\n";
                               for (const auto &provider : stateProviders())
                                   provider(out);
                               return std::string();
                           }};
}

// One connected client and the bytes of its unfinished line.
struct Client {
    int fd;
    std::string pending;
    bool overlong = false;
};

bool sendAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Handles what arrived from one client; false when the client is to be dropped.
bool serveClient(Client &c) {
    char buf[512];
    ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) return false;
    for (ssize_t i = 0; i < n; i++) {
        char ch = buf[i];
        if (ch == '\n') {
            std::string answer;
            if (c.overlong)
                answer = "ERR line too long\n";
            else
                answer = execute(c.pending);
            c.pending.clear();
            c.overlong = false;
            if (!sendAll(c.fd, answer)) return false;
        } else if (!c.overlong) {
            if (c.pending.size() >= MaxLine) {
                c.overlong = true;
                c.pending.clear();
            } else if (ch != '\r') {
                c.pending += ch;
            }
        }
    }
    return true;
}

void serverLoop() {
    std::vector<Client> clients;
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({wakePipe[0], POLLIN, 0});
        fds.push_back({listenFd, POLLIN, 0});
        for (const auto &c : clients)
            fds.push_back({c.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents) break;
        for (size_t i = clients.size(); i-- > 0;) {
            if (fds[i + 2].revents == 0) continue;
            if (!serveClient(clients[i])) {
                ::close(clients[i].fd);
                clients.erase(clients.begin() + static_cast<long>(i));
            }
        }
        if (fds[1].revents & POLLIN) {
            int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                if (static_cast<int>(clients.size()) >= MaxClients) {
                    sendAll(fd, "ERR too many clients\n");
                    ::close(fd);
                } else {
                    clients.push_back({fd, {}, false});
                }
            }
        }
    }
    for (auto &c : clients)
        ::close(c.fd);
}

} // namespace

void addCommand(const std::string &name, const std::string &usage, CommandHandler handler) {
    std::lock_guard<std::mutex> guard(registryLock);
    addBuiltins();
    commands()[name] = {usage, std::move(handler)};
}

void addState(StateProvider provider) {
    std::lock_guard<std::mutex> guard(registryLock);
    stateProviders().push_back(std::move(provider));
}

std::vector<std::string> splitWords(const std::string &line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            i++;
        if (i >= line.size()) break;
        std::string word;
        if (line[i] == '"') {
            i++;
            while (i < line.size() && line[i] != '"')
                word += line[i++];
            if (i < line.size()) i++;
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t')
                word += line[i++];
        }
        words.push_back(word);
    }
    return words;
}

std::string execute(const std::string &line) {
    std::vector<std::string> words = splitWords(line);
    if (words.empty()) return "ERR empty command\n";
    std::lock_guard<std::mutex> guard(registryLock);
    addBuiltins();
    auto it = commands().find(words[0]);
    if (it == commands().end()) return "ERR unknown command (try help)\n";
    std::string out;
    std::string failure = it->second.handler(words, out);
    if (!out.empty() && out.back() != '\n') out += '\n';
    return out + (failure.empty() ? std::string("OK\n") : "ERR " + failure + "\n");
}

int startControl(const std::string &socketPath) {
    sockaddr_un addr{};
    if (socketPath.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "sim: control socket path too long: %s\n", socketPath.c_str());
        return -1;
    }
    if (server.joinable()) {
        std::fprintf(stderr, "sim: control socket already served at %s\n", boundPath.c_str());
        return -1;
    }
    // Every failure below gives back what was opened before it, so a failed start
    // leaves no descriptor behind.
    auto fail = [](const char *what) {
        std::perror(what);
        for (int *fd : {&listenFd, &wakePipe[0], &wakePipe[1]}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
        return -1;
    };
    if (::pipe2(wakePipe, O_CLOEXEC) < 0) return fail("sim: control pipe");
    listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd < 0) return fail("sim: control socket");
    // Bind under a temporary name and rename it into place once it listens: a
    // client that sees the socket file must never be refused.
    const std::string tmpPath = socketPath + ".new";
    if (tmpPath.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "sim: control socket path too long: %s\n", tmpPath.c_str());
        return fail("sim: control socket");
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, tmpPath.c_str(), tmpPath.size() + 1);
    ::unlink(tmpPath.c_str());
    if (::bind(listenFd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 || ::listen(listenFd, 8) < 0 ||
        ::rename(tmpPath.c_str(), socketPath.c_str()) < 0) {
        ::unlink(tmpPath.c_str());
        return fail("sim: control socket");
    }
    boundPath = socketPath;
    server = std::thread(serverLoop);
    return 0;
}

void stopControl() {
    if (!server.joinable()) return;
    char one = 1;
    if (::write(wakePipe[1], &one, 1) < 0) {
        // The thread then stays in poll; nothing else can wake it.
    }
    server.join();
    ::close(listenFd);
    ::close(wakePipe[0]);
    ::close(wakePipe[1]);
    listenFd = wakePipe[0] = wakePipe[1] = -1;
    ::unlink(boundPath.c_str());
}

} // namespace sim
