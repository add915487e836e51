// Arbitrary bytes as what a client sends on a web connection: the request line, header
// lines, a form, chunked or multipart body, and whatever follows. The connection must
// end without a fault and never write outside its buffers.

#include "core/ptable.h"
#include "core/task.h"
#include "core/tcp.h"
#include "web/http.h"
#include "web/pages.h"
#include "web/sessions.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void setUp() {
    static bool done = false;
    if (done) return;
    done = true;
    char tmpl[] = "/tmp/qmr_httpfuzz_XXXXXX";
    std::string dir = ::mkdtemp(tmpl);
    std::string templates = dir + "/templates";
    ::mkdir(templates.c_str(), 0755);
    ::mkdir((templates + "/device").c_str(), 0755);
    std::ofstream(templates + "/index.html") << "<p>{ErrMsg}{Che}</p>";
    std::ofstream(templates + "/contact.html") << "{Host}{[3]{$_}{~?a|b}}{lang}{MetaAutoRefresh}";
    std::ofstream(templates + "/device/description.html") << "{sys_name}{HeadInfo}";
    std::ofstream(templates + "/wait4.html") << "{DisplayMsg}{HowLong}";
    std::ofstream(templates + "/x.txt") << "static";
    setTemplateRoot(templates);
    setSessionImagePath(dir + "/sessions.raw");
    ptable().setPaths(dir + "/params.dat", dir + "/slot");
    // Actions that stop the process or change settings that need a restart are not for
    // the fuzzer: the form page only reads its fields.
    for (const char *url : {"/maintenance/restart.cgi", "/maintenance/reset.cgi", "/maintenance/purge.cgi",
                            "/maintenance/setparams.cgi"})
        registerPageHandler(url, nullptr);
    // A form that changes a setting needing a restart still starts the stop task. Its
    // stop work would end this process's tasks, the fuzzer's own unstarted connection
    // among them: the task parks before it gets that far.
    shutdownDisplayHook = [] {
        for (;;)
            ::pause();
    };
    registerPageHandler("/device/description.html", [](HttpConnection &c, const PageEntry &) {
        for (const FormField &f : c.formFields())
            if (f.name == nullptr || f.value == nullptr) std::abort();
        c.formValue("action");
        return PageTemplate;
    });
    pageManager = new HttpPages();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 60000) return 0;
    setUp();
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return 0;
    // Room for every answer, so that the connection never waits for a reader.
    int room = 1 << 20;
    for (int fd : sv) {
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    }
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::send(sv[1], data + done, size - done, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::shutdown(sv[1], SHUT_WR);
    auto *tcp = new TcpConnection(nullptr, nullptr, -1);
    tcp->socket = sv[0];
    tcp->family = Connection::FamilyUnix;
    tcp->type = Connection::TypeStream;
    tcp->state = Connection::StateConnected;
    auto *c = new HttpConnection(tcp);
    while (c->step()) {
    }
    c->exiting = true;
    delete c;
    ::close(sv[1]);
    return 0;
}
