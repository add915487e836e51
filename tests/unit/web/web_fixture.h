// Test helpers of the web server: a template root and session image in a temporary
// directory with the page manager, and one request/answer exchange through a
// connection task run on the test's thread over a socket pair.
#pragma once

#include "core/tcp.h"
#include "web/http.h"
#include "web/pages.h"
#include "web/sessions.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

class WebDir {
public:
    WebDir() {
        char tmpl[] = "/tmp/qmr_web_XXXXXX";
        char *p = ::mkdtemp(tmpl);
        path_ = p ? p : "";
        ::mkdir((path_ + "/templates").c_str(), 0755);
    }
    ~WebDir() {
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    const std::string &path() const { return path_; }
    std::string templates() const { return path_ + "/templates"; }
    // Writes a template (creating its directory).
    void put(const std::string &name, const std::string &text) const {
        std::string full = templates() + "/" + name;
        std::string dir = full.substr(0, full.rfind('/'));
        std::system(("mkdir -p '" + dir + "'").c_str());
        std::ofstream(full, std::ios::binary) << text;
    }

private:
    std::string path_;
};

// The page manager over a temporary template tree, for the life of a test.
class WebSite {
public:
    WebSite() {
        setTemplateRoot(dir.templates());
        setSessionImagePath(dir.path() + "/sessions.raw");
        sessionStore().clearAll();
        pageManager = new HttpPages();
    }
    ~WebSite() {
        delete pageManager;
        pageManager = nullptr;
        sessionStore().clearAll();
        setTemplateRoot("");
        setSessionImagePath("");
    }
    WebSite(const WebSite &) = delete;
    WebSite &operator=(const WebSite &) = delete;
    WebDir dir;
};

// Serves one HTTP connection on the socket until it ends; the socket closes with it.
inline void serveConnection(int fd) {
    auto *tcp = new TcpConnection(nullptr, nullptr, -1);
    tcp->socket = fd;
    tcp->family = Connection::FamilyUnix;
    tcp->type = Connection::TypeStream;
    tcp->state = Connection::StateConnected;
    auto *c = new HttpConnection(tcp);
    while (c->step()) {
    }
    c->exiting = true; // no successor task: the socket closes here
    delete c;
}

// Sends the request (then ends the client's sending side unless keepOpen), runs the
// connection until it ends, and returns everything it answered.
inline std::string exchange(const std::string &request, bool keepOpen = false) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return "socketpair failed";
    std::thread writer([&] {
        size_t done = 0;
        while (done < request.size()) {
            ssize_t n = ::send(sv[1], request.data() + done, request.size() - done, MSG_NOSIGNAL);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        if (!keepOpen) ::shutdown(sv[1], SHUT_WR);
    });
    std::string answer;
    std::thread reader([&] {
        char block[4096];
        ssize_t n;
        while ((n = ::recv(sv[1], block, sizeof block, 0)) > 0)
            answer.append(block, static_cast<size_t>(n));
    });
    serveConnection(sv[0]);
    writer.join();
    reader.join();
    ::close(sv[1]);
    return answer;
}

// The body of an answer (after the blank line).
inline std::string bodyOf(const std::string &answer) {
    size_t at = answer.find("\r\n\r\n");
    return at == std::string::npos ? answer : answer.substr(at + 4);
}
