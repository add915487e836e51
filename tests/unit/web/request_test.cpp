// Requests through a whole connection: the request line, header lines, bodies, form data
// and the answers the parser gives to garbage.

#include "core/ptable.h"
#include "core/ticks.h"
#include "param_catalogue.h"
#include "tests/unit/core/param_guard.h"
#include "web/http.h"
#include "web_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>

namespace {

// A clock that runs 50 times faster than the real one: the server's 20-second limits
// pass in 0.4 s while a client trickles a byte every 20 ms.
int64_t fastTicks() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (static_cast<int64_t>(ts.tv_sec) * 100 + ts.tv_nsec / 10000000) * 50;
}

// Sends the start at once, then the rest a byte every 20 ms for as long as the server
// takes it; returns what the server answered and how many bytes of the rest it took
// before it ended the connection.
std::pair<std::string, size_t> trickle(const std::string &start, const std::string &rest) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return {"socketpair failed", 0};
    std::atomic<bool> ended{false};
    std::atomic<size_t> sent{0};
    std::thread writer([&] {
        if (::send(sv[1], start.data(), start.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(start.size()))
            return;
        for (char ch : rest) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (ended.load() || ::send(sv[1], &ch, 1, MSG_NOSIGNAL) != 1) return;
            sent++;
        }
    });
    std::string answer;
    std::thread reader([&] {
        char block[4096];
        ssize_t n;
        while ((n = ::recv(sv[1], block, sizeof block, 0)) > 0)
            answer.append(block, static_cast<size_t>(n));
    });
    serveConnection(sv[0]);
    ended = true;
    writer.join();
    reader.join();
    ::close(sv[1]);
    return {answer, sent.load()};
}

class RequestTest : public ::testing::Test {
protected:
    void SetUp() override {
        site.dir.put("contact.html", "host={Host} lang={lang} file={FileName}");
        site.dir.put("device/description.html", "name={sys_name} info={HeadInfo}");
        site.dir.put("static.txt", "plain file");
        site.dir.put("wait4.html", "msg={DisplayMsg}");
        std::string file = site.dir.path() + "/params.dat";
        ptable().setPaths(file, site.dir.path() + "/slot");
    }
    void TearDown() override { ptable().setPaths("", ""); }
    WebSite site;
    ParamGuard params{p_sys_name, p_sys_contact, p_admin_pwd, p_language};
};

TEST_F(RequestTest, RequestLineAndHeaderTable) {
    struct Case {
        std::string request;
        const char *start; // the answer begins with this
    } cases[] = {
        {"GET /contact.html HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK\r\n"},
        {"GET /contact.html HTTP/1.0\n\n", "HTTP/1.1 200 OK\r\n"},
        {"GET   /contact.html   HTTP/1.1  \r\n\r\n", "HTTP/1.1 200 OK\r\n"},
        {"GET /static.txt\r\n", "plain file"},
        {"GET /none.txt\r\n", "<HTML><HEAD><TITLE>404 Not Found"},
        {"PUT /contact.html HTTP/1.1\r\n\r\n", "HTTP/1.1 501 Not Implemented\r\n"},
        {"get /contact.html HTTP/1.1\r\n\r\n", "HTTP/1.1 501 Not Implemented\r\n"},
        {"BREW /pot\r\n", "<HTML><HEAD><TITLE>501 Not Implemented"},
        {"\r\n\r\n", "<HTML><HEAD><TITLE>501 Not Implemented"},
        {"GET /contact.html HTTP/1.2\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"GET /contact.html HTTP/2.0\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"GET /contact.html HTTP/1.x\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"GET /contact.html HTTP/1.1 extra\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"HEAD /contact.html\r\n", "<HTML><HEAD><TITLE>400 Bad Request"},
        {"HEAD /none.html HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found\r\n"},
        {"GET /contact.html HTTP/1.1\r\nno colon\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"GET /%zz.html HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"GET /a%00.html HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"GET relative.html HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"GET /" + std::string(2047, 'a') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found\r\n"},
        {"GET /" + std::string(2048, 'a') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"POST /contact.html HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"POST /contact.html HTTP/1.1\r\nContent-Length: -1\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"POST /contact.html HTTP/1.1\r\nContent-Length: 12x\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"POST /contact.html HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n",
         "HTTP/1.1 400 Bad Request\r\n"},
        {"POST /contact.html HTTP/1.1\r\nContent-Length: 9000\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"POST /contact.html HTTP/1.1\r\nContent-Length: 5\r\n\r\nab", "HTTP/1.1 400 Bad Request\r\n"},
        {"POST /contact.html HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
         "HTTP/1.1 400 Bad Request\r\n"},
        {"POST /contact.html HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nabc",
         "HTTP/1.1 400 Bad Request\r\n"},
        {"POST /contact.html HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=" +
             std::string(300, 'b') + "\r\n\r\n",
         "HTTP/1.1 400 Bad Request\r\n"},
        // No answer: an empty request, a header cut off, a header beyond the buffer.
        {"", ""},
        {"GET /contact.html HTTP/1.1\r\nHost: x", ""},
        {"GET /contact.html HTTP/1.1\r\nX: " + std::string(9000, 'y') + "\r\n\r\n", ""},
    };
    for (const Case &k : cases) {
        std::string answer = exchange(k.request);
        if (*k.start == '\0')
            EXPECT_EQ(answer, "") << k.request.substr(0, 80);
        else
            EXPECT_EQ(answer.substr(0, std::strlen(k.start)), k.start) << k.request.substr(0, 80);
    }
}

TEST_F(RequestTest, HeaderValues) {
    struct Case {
        const char *header;
        const char *body;
    } cases[] = {
        {"Host: [fe80::1]:8080", "host=[fe80::1] lang= file=contact.html"},
        {"Host: device:80", "host=device lang= file=contact.html"},
        {"host:   spaced  ", "host=spaced lang= file=contact.html"},
        {"HOST: a\r\nHost: b", "host=a lang= file=contact.html"},
        {"Host: <x>", "host=&lt;x&gt; lang= file=contact.html"},
    };
    p_language->setText("en", -1);
    for (const Case &k : cases) {
        std::string answer =
            exchange(std::string("GET /contact_xy.html HTTP/1.1\r\n") + k.header + "\r\n\r\n");
        std::string expected = k.body;
        expected.replace(expected.find("lang="), 5, "lang=xy");
        EXPECT_EQ(bodyOf(answer), expected) << k.header;
    }
}

TEST_F(RequestTest, KeepAliveAndConnectionHeaders) {
    std::string answer = exchange("GET /contact.html HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_NE(answer.find("Connection: Keep-Alive\r\nKeep-Alive: timeout=5, max=15\r\n"), std::string::npos);
    answer = exchange("GET /contact.html HTTP/1.1\r\nConnection: KEEP-ALIVE, Upgrade\r\n\r\n");
    EXPECT_NE(answer.find("max=15"), std::string::npos);
    answer = exchange("GET /contact.html HTTP/1.1\r\n\r\n");
    EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos);
    answer = exchange("GET /nothere.html HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos);
}

TEST_F(RequestTest, FormsStoreParameters) {
    std::string file = site.dir.path() + "/params.dat";
    std::string body = "action=set&sys_name=Lab+%C3%9Cbung&xaction=x&Upper=1&__sys_contact=ops&bogus=1";
    std::string answer =
        exchange("POST /device/description.html HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                 "\r\n\r\n" + body);
    EXPECT_EQ(bodyOf(answer), "name=Lab Übung info=Parameters have been changed.");
    std::string text;
    ptable().fileText(text);
    EXPECT_NE(text.find("sys_name = Lab Übung"), std::string::npos);
    EXPECT_NE(text.find("sys_contact = ops"), std::string::npos);

    // Only the field named action counts, not one whose name ends in it.
    answer = exchange("GET /device/description.html?xaction=set&sys_name=Other HTTP/1.1\r\n\r\n");
    EXPECT_EQ(bodyOf(answer), "name=Lab Übung info=");
    // The same values again: no change, no notice.
    answer = exchange("GET /device/description.html?action=set&sys_name=Lab+%C3%9Cbung HTTP/1.1\r\n\r\n");
    EXPECT_EQ(bodyOf(answer), "name=Lab Übung info=");
}

TEST_F(RequestTest, SecretsShownAsStarsKeepTheirValue) {
    p_admin_pwd->setText("stored-secret", -1);
    exchange("GET /device/description.html?action=set&admin_pwd=****&sys_name=n1 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(p_admin_pwd->getText(), "stored-secret");
    exchange("GET /device/description.html?action=set&admin_pwd=&sys_name=n2 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(p_admin_pwd->getText(), "");
}

TEST_F(RequestTest, BodiesLeaveOnlyTheNextRequest) {
    // A form body and then a second request on the same connection: both are answered,
    // the body is never taken for a request.
    std::string body = "action=set&sys_name=first";
    std::string two = "POST /device/description.html HTTP/1.1\r\nConnection: keep-alive\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\n\r\n" + body + "GET /contact.html HTTP/1.1\r\n\r\n";
    // The successor is a task of its own: here only the first answer is read, and the
    // unread bytes must be exactly the second request.
    auto *tcp = new TcpConnection(nullptr, nullptr, -1);
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    tcp->socket = sv[0];
    ASSERT_EQ(::send(sv[1], two.data(), two.size(), 0), static_cast<ssize_t>(two.size()));
    ::shutdown(sv[1], SHUT_WR);
    auto *c = new HttpConnection(tcp);
    while (c->step()) {
    }
    EXPECT_EQ(std::string(c->in + c->parsePos, static_cast<size_t>(c->fill - c->parsePos)),
              "GET /contact.html HTTP/1.1\r\n\r\n");
    c->exiting = true;
    delete c;
    ::close(sv[1]);

    std::string chunked = "POST /device/description.html HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                          "a\r\naction=set\r\n10;ext=1\r\n&sys_name=chunky\r\n0\r\nTrailer: x\r\n\r\n";
    EXPECT_EQ(bodyOf(exchange(chunked)), "name=chunky info=Parameters have been changed.");
}

TEST_F(RequestTest, TricklingClientsAreCutOff) {
    // Each byte comes well within the idle limit, but the header, a form body or a
    // chunked body that would take longer than their limit is cut off at the limit:
    // the header without an answer, a body with "400 Bad Request" and nothing stored.
    p_sys_name->setText("before", -1);
    std::string form = "action=set&sys_name=" + std::string(200, 'x');
    struct Case {
        std::string start, rest;
        const char *answer;
    } cases[] = {
        {"GET /contact.html HTTP/1.1\r\nX: ", std::string(200, 'y') + "\r\n\r\n", ""},
        {"POST /device/description.html HTTP/1.1\r\nContent-Length: " + std::to_string(form.size()) +
             "\r\n\r\n",
         form, "HTTP/1.1 400 Bad Request\r\n"},
        {"POST /device/description.html HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
         "dc\r\n" + form + "\r\n0\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
    };
    setTickSource(fastTicks);
    for (const Case &k : cases) {
        auto [answer, taken] = trickle(k.start, k.rest);
        EXPECT_EQ(answer.substr(0, std::strlen(k.answer)), k.answer) << k.start;
        if (!*k.answer) {
            EXPECT_EQ(answer, "") << k.start;
        }
        EXPECT_LT(taken, k.rest.size()) << k.start;
    }
    setTickSource(nullptr);
    EXPECT_EQ(p_sys_name->getText(), "before");
}

TEST_F(RequestTest, MultipartUploads) {
    site.dir.put("maintenance/x.html", "");
    auto upload = [](const std::string &content) {
        std::string part = "--XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"p.dat\"\r\n"
                           "Content-Type: text/plain\r\n\r\n" +
                           content + "\r\n--XyZ--\r\n";
        return "POST /maintenance/setparams.cgi HTTP/1.1\r\nContent-Type: multipart/form-data; "
               "boundary=XyZ\r\n"
               "Content-Length: " +
               std::to_string(part.size()) + "\r\n\r\n" + part;
    };
    std::string answer = exchange(upload(" sys_contact = uploaded\n"));
    EXPECT_EQ(bodyOf(answer), "msg=Parameters are changed. Please wait.\n");
    EXPECT_EQ(p_sys_contact->getText(), "uploaded");
    answer = exchange(upload("no parameters here\n"));
    EXPECT_EQ(bodyOf(answer),
              "msg=Invalid parameter file. No parameters have been changed. The device is restarting.\n");
    // Over the limit: the whole body is read, and the handler finds no file.
    answer = exchange(upload(" sys_contact = big\n" + std::string(UploadLimit, '#')));
    EXPECT_EQ(bodyOf(answer),
              "msg=Invalid parameter file. No parameters have been changed. The device is restarting.\n");
    EXPECT_EQ(p_sys_contact->getText(), "uploaded");
}

} // namespace
