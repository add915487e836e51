// Load generator of the USB-server benchmark (bench/usb_bench.sh): a client of the
// USB-server protocol that keeps bulk transfers in flight or runs control round trips
// as fast as the daemon answers, and a raw TCP peer that measures what the same
// network path carries without the daemon.
//
//   usb_bench serve PORT
//       raw TCP peer: per connection the first byte picks 'S' sink, 'O' source (of
//       zeros) or 'E' echo (36-byte requests, each answered with 26 bytes)
//   usb_bench raw HOST PORT S|O|E SECONDS
//   usb_bench xchg HOST PORT in|out SIZE INFLIGHT SECONDS
//       raw TCP exchanges of a transfer's shape ('X' on the peer): a 28-byte request
//       (with SIZE bytes behind it for out) answered by 24 bytes (with SIZE bytes behind
//       them for in), INFLIGHT of them outstanding: what the path allows a protocol
//       that waits for each answer, whatever the daemon does
//   usb_bench bulk HOST PORT TLS ENTRY USBPORT out|in|loop SIZE INFLIGHT SECONDS
//   usb_bench ctrl HOST PORT TLS ENTRY USBPORT SECONDS
// Each measurement prints one line: "<bytes or round trips per second> <seconds>".
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const char *what) {
    std::perror(what);
    std::exit(1);
}

double since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

void put32(uint8_t *p, uint32_t v) {
    p[0] = v >> 24;
    p[1] = v >> 16;
    p[2] = v >> 8;
    p[3] = v;
}
uint32_t get32(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

class Stream {
public:
    Stream(const char *host, int port, bool tls) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (inet_pton(AF_INET, host, &a.sin_addr) != 1) die("address");
        if (::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) die("connect");
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (tls) {
            ctx_ = SSL_CTX_new(TLS_client_method());
            // Each write returns once a record went out: the bulk loop reads between
            // writes, never while one is half done.
            SSL_CTX_set_mode(ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
            ssl_ = SSL_new(ctx_);
            // Records are read ahead, several a system call, as the daemon reads them.
            SSL_set_read_ahead(ssl_, 1);
            SSL_set_default_read_buffer_len(ssl_, 5 * (16384 + 256 + 5));
            SSL_set_fd(ssl_, fd_);
            if (SSL_connect(ssl_) != 1) die("TLS handshake");
        }
    }
    ~Stream() {
        if (ssl_) SSL_free(ssl_);
        if (ctx_) SSL_CTX_free(ctx_);
        ::close(fd_);
    }
    void write(const void *data, size_t n) {
        auto *p = static_cast<const uint8_t *>(data);
        while (n > 0) {
            ssize_t k = ssl_ ? SSL_write(ssl_, p, static_cast<int>(std::min<size_t>(n, 1 << 30)))
                             : ::send(fd_, p, n, MSG_NOSIGNAL);
            if (k <= 0) die("write");
            p += k;
            n -= static_cast<size_t>(k);
        }
    }
    void read(void *data, size_t n) {
        auto *p = static_cast<uint8_t *>(data);
        while (n > 0) {
            ssize_t k = ssl_ ? SSL_read(ssl_, p, static_cast<int>(std::min<size_t>(n, 1 << 30)))
                             : ::recv(fd_, p, n, 0);
            if (k <= 0) die("read");
            p += k;
            n -= static_cast<size_t>(k);
        }
    }
    int fd() const { return fd_; }

    // Non-blocking use (the bulk loop): bytes moved, 0 when the socket would block.
    void setNonBlocking() { fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK); }
    ssize_t tryWrite(const void *data, size_t n) {
        if (ssl_) {
            int k = SSL_write(ssl_, data, static_cast<int>(std::min<size_t>(n, 1 << 30)));
            if (k > 0) return k;
            int e = SSL_get_error(ssl_, k);
            if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return 0;
            std::fprintf(stderr, "TLS write: error %d\n", e);
            ERR_print_errors_fp(stderr);
            die("write");
        }
        ssize_t k = ::send(fd_, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (k >= 0) return k;
        if (errno == EAGAIN) return 0;
        die("write");
    }
    ssize_t tryRead(void *data, size_t n) {
        if (ssl_) {
            int k = SSL_read(ssl_, data, static_cast<int>(std::min<size_t>(n, 1 << 30)));
            if (k > 0) return k;
            int e = SSL_get_error(ssl_, k);
            if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return 0;
            std::fprintf(stderr, "TLS read: error %d\n", e);
            ERR_print_errors_fp(stderr);
            die("read");
        }
        ssize_t k = ::recv(fd_, data, n, MSG_DONTWAIT);
        if (k > 0) return k;
        if (k == 0) die("read (closed)");
        if (errno == EAGAIN) return 0;
        die("read");
    }
    // Decrypted bytes, or records read ahead, that no poll would announce.
    bool pending() const { return ssl_ && SSL_has_pending(ssl_) == 1; }

private:
    int fd_ = -1;
    SSL_CTX *ctx_ = nullptr;
    SSL *ssl_ = nullptr;
};

struct Reply {
    uint32_t word0, code, tag, length, status, error;
};

class Client {
public:
    Client(const char *host, int port, bool tls) : s(host, port, tls) {}

    void request(uint32_t command, uint32_t tag, const void *payload, size_t n, uint32_t word0 = 0) {
        uint8_t h[16];
        put32(h, word0);
        put32(h + 4, command);
        put32(h + 8, tag);
        put32(h + 12, static_cast<uint32_t>(n));
        out.assign(h, h + 16);
        out.insert(out.end(), static_cast<const uint8_t *>(payload),
                   static_cast<const uint8_t *>(payload) + n);
        s.write(out.data(), out.size());
    }
    // A reply header and its payload (into data, which it must fit); server messages skipped.
    Reply reply(std::vector<uint8_t> &data) {
        for (;;) {
            uint8_t h[24];
            s.read(h, 8);
            if (get32(h) == 1 && (get32(h + 4) == 0x11 || get32(h + 4) == 0x13)) {
                s.read(h + 8, 8);
                std::vector<uint8_t> skip(get32(h + 12));
                s.read(skip.data(), skip.size());
                continue;
            }
            s.read(h + 8, 16);
            Reply r{get32(h), get32(h + 4), get32(h + 8), get32(h + 12), get32(h + 16), get32(h + 20)};
            if (data.size() < r.length) data.resize(r.length);
            s.read(data.data(), r.length);
            return r;
        }
    }
    Reply call(uint32_t command, const void *payload, size_t n) {
        request(command, ++tag, payload, n);
        return reply(scratch);
    }
    // The submit header of a transfer; the OUT data follows separately.
    void submit(uint32_t tag, uint8_t entry, uint8_t port, uint8_t ep, uint8_t type, uint32_t in,
                const uint8_t *data, uint32_t outLength) {
        uint8_t h[28];
        put32(h, 0);
        put32(h + 4, 8);
        put32(h + 8, tag);
        put32(h + 12, 12);
        h[16] = entry;
        h[17] = port;
        h[18] = ep;
        h[19] = type;
        put32(h + 20, in);
        put32(h + 24, outLength);
        s.write(h, sizeof h);
        if (outLength > 0) s.write(data, outLength);
    }
    void openDevice(uint8_t entry, uint8_t port) {
        call(1, nullptr, 0);
        uint8_t open[34] = {entry, port};
        if (call(25, open, sizeof open).status != 0) die("open");
        uint8_t config[4] = {entry, port, 1, 0};
        if (call(21, config, sizeof config).status != 0) die("set configuration");
    }

    Stream s;
    uint32_t tag = 0;
    std::vector<uint8_t> out, scratch;
};

int serve(int port) {
    int l = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(l, 16) != 0) die("listen");
    for (;;) {
        int c = ::accept(l, nullptr, nullptr);
        if (c < 0) continue;
        std::thread([c] {
            int on = 1;
            setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            char mode = 0;
            if (::recv(c, &mode, 1, MSG_WAITALL) != 1) mode = 0;
            std::vector<uint8_t> buf(1 << 20);
            if (mode == 'S')
                while (::recv(c, buf.data(), buf.size(), 0) > 0) {
                }
            else if (mode == 'O')
                while (::send(c, buf.data(), buf.size(), MSG_NOSIGNAL) > 0) {
                }
            else if (mode == 'E')
                while (::recv(c, buf.data(), 36, MSG_WAITALL) == 36 &&
                       ::send(c, buf.data(), 26, MSG_NOSIGNAL) == 26) {
                }
            else if (mode == 'X')
                // Request: 28 bytes with the IN length at 20 and the OUT length at 24;
                // the OUT bytes are read and the IN bytes sent a buffer at a time, so
                // transfers larger than the buffer keep the stream in step.
                while (::recv(c, buf.data(), 28, MSG_WAITALL) == 28) {
                    uint64_t in = get32(buf.data() + 20), out = get32(buf.data() + 24);
                    bool ok = true;
                    for (uint64_t k; ok && out > 0; out -= k) {
                        k = std::min<uint64_t>(out, buf.size());
                        ok = ::recv(c, buf.data(), k, MSG_WAITALL) == static_cast<ssize_t>(k);
                    }
                    for (uint64_t k, n = 24 + in; ok && n > 0; n -= k) {
                        k = std::min<uint64_t>(n, buf.size());
                        ok = ::send(c, buf.data(), k, MSG_NOSIGNAL) == static_cast<ssize_t>(k);
                    }
                    if (!ok) break;
                }
            ::close(c);
        }).detach();
    }
}

void raw(const char *host, int port, char mode, double seconds) {
    Stream s(host, port, false);
    s.write(&mode, 1);
    std::vector<uint8_t> buf(1 << 20);
    uint64_t count = 0;
    auto t0 = Clock::now();
    while (since(t0) < seconds) {
        if (mode == 'S') {
            s.write(buf.data(), buf.size());
            count += buf.size();
        } else if (mode == 'O') {
            ssize_t k = ::recv(s.fd(), buf.data(), buf.size(), 0);
            if (k <= 0) die("recv");
            count += static_cast<uint64_t>(k);
        } else {
            s.write(buf.data(), 36);
            s.read(buf.data(), 26);
            count++;
        }
    }
    std::printf("%.0f %.2f\n", count / since(t0), since(t0));
}

// Bulk transfers of SIZE bytes kept INFLIGHT deep: "out" sends, "in" receives, "loop"
// sends and reads the same bytes back from a loopback device (reads that end short are
// asked again for the rest). Prints the rate of the measured direction (loop: both).
// The stream is driven without blocking in one thread: replies are read whenever the
// socket would not take more, as a client must (the daemon's replies would otherwise
// fill the socket while a large OUT request is still being written).
void bulk(Client &c, uint8_t entry, uint8_t port, const std::string &dir, uint32_t size, int inflight,
          double seconds) {
    std::vector<uint8_t> data(size);
    for (uint32_t k = 0; k < size; k++)
        data[k] = static_cast<uint8_t>(k * 7);
    const bool out = dir != "in", reading = dir != "out";
    uint64_t outBytes = 0, inBytes = 0;
    int outPending = 0, inPending = 0;
    std::deque<std::pair<uint32_t, uint32_t>> ins;  // IN tags and the bytes each still expects
    std::deque<std::pair<uint32_t, uint32_t>> todo; // submissions to send: {tag, IN length or 0 for OUT}
    bool stop = false;
    auto t0 = Clock::now();
    c.s.setNonBlocking();

    // The reply parser: a header (8, then 16 more bytes, or a 16-byte message), then
    // the payload, which is skipped.
    uint8_t head[24];
    size_t have = 0, need = 8, skip = 0;
    std::vector<uint8_t> sink(1 << 20);
    auto frame = [&](const Reply &r) {
        if (r.status != 0) {
            std::fprintf(stderr, "transfer failed: status %u error %d\n", r.status,
                         static_cast<int>(r.error));
            std::exit(1);
        }
        stop = stop || since(t0) >= seconds;
        if (!(r.tag & 0x80000000u)) {
            outPending--;
            outBytes += size;
            if (!stop) todo.emplace_back(++c.tag, 0);
            return;
        }
        inBytes += r.length;
        if (ins.empty() || ins.front().first != r.tag) return;
        ins.front().second -= std::min(ins.front().second, r.length);
        if (r.code == 0x101C) return;
        uint32_t rest = ins.front().second;
        ins.pop_front();
        inPending--;
        if (dir == "loop" && rest > 0)
            todo.emplace_back(++c.tag | 0x80000000u, rest);
        else if (!stop)
            todo.emplace_back(++c.tag | 0x80000000u, size);
    };
    auto readSome = [&]() {
        bool any = false;
        for (;;) {
            if (skip > 0) {
                ssize_t k = c.s.tryRead(sink.data(), std::min<size_t>(skip, sink.size()));
                if (k == 0) return any;
                skip -= static_cast<size_t>(k);
                any = true;
                continue;
            }
            ssize_t k = c.s.tryRead(head + have, need - have);
            if (k == 0) return any;
            any = true;
            have += static_cast<size_t>(k);
            if (have < need) continue;
            if (need == 8) {
                bool message = get32(head) == 1 && (get32(head + 4) == 0x11 || get32(head + 4) == 0x13);
                need = message ? 16 : 24;
                continue;
            }
            Reply r{get32(head), get32(head + 4), get32(head + 8), get32(head + 12), 0, 0};
            if (need == 24) {
                r.status = get32(head + 16);
                r.error = get32(head + 20);
            }
            skip = r.length;
            have = 0;
            bool message = need == 16;
            need = 8;
            if (!message) frame(r);
        }
    };
    auto wait = [&](short events) {
        if (c.s.pending()) return;
        pollfd p{c.s.fd(), events, 0};
        ::poll(&p, 1, 1000);
    };
    auto writeAll = [&](const uint8_t *p, size_t n) {
        while (n > 0) {
            ssize_t k = c.s.tryWrite(p, n);
            if (k > 0) {
                p += k;
                n -= static_cast<size_t>(k);
                continue;
            }
            if (!readSome()) wait(POLLIN | POLLOUT);
        }
    };
    // An OUT request goes in one write, its header in front of its data, as a client
    // would send it and as the raw exchanges do: only the tag changes between them.
    std::vector<uint8_t> outRequest(28 + static_cast<size_t>(size));
    std::memcpy(outRequest.data() + 28, data.data(), size);
    auto send = [&](uint32_t tag, uint32_t inLength) {
        uint8_t in[28];
        uint8_t *h = inLength ? in : outRequest.data();
        put32(h, 0);
        put32(h + 4, 8);
        put32(h + 8, tag);
        put32(h + 12, 12);
        h[16] = entry;
        h[17] = port;
        h[18] = inLength ? 0x81 : 0x01;
        h[19] = 3;
        put32(h + 20, inLength);
        put32(h + 24, inLength ? 0 : size);
        if (inLength) {
            writeAll(h, 28);
            ins.emplace_back(tag, inLength);
            inPending++;
        } else {
            outPending++;
            writeAll(outRequest.data(), outRequest.size());
        }
    };
    for (int k = 0; k < inflight; k++) {
        if (out) todo.emplace_back(++c.tag, 0);
        if (reading) todo.emplace_back(++c.tag | 0x80000000u, size);
    }
    for (;;) {
        while (!todo.empty()) {
            auto [tag, inLength] = todo.front();
            todo.pop_front();
            send(tag, inLength);
        }
        if (outPending == 0 && (inPending == 0 || (dir == "loop" && stop && inBytes >= outBytes))) break;
        if (!readSome()) wait(POLLIN);
    }
    double t = since(t0);
    if (dir == "out")
        std::printf("%.0f %.2f\n", outBytes / t, t);
    else if (dir == "in")
        std::printf("%.0f %.2f\n", inBytes / t, t);
    else
        std::printf("%.0f %.2f %.0f\n", outBytes / t, t, inBytes / t);
}

void ctrl(Client &c, uint8_t entry, uint8_t port, double seconds) {
    uint64_t count = 0;
    const uint8_t setup[8] = {0x80, 0, 0, 0, 0, 0, 0, 2}; // GET_STATUS of the device
    std::vector<uint8_t> in;
    auto t0 = Clock::now();
    while (since(t0) < seconds) {
        c.submit(++c.tag, entry, port, 0, 2, 2, setup, sizeof setup);
        Reply r = c.reply(in);
        if (r.status != 0) die("control transfer");
        count++;
    }
    std::printf("%.0f %.2f\n", count / since(t0), since(t0));
}

void xchg(const char *host, int port, bool in, uint32_t size, int depth, double seconds) {
    Stream s(host, port, false);
    s.write("X", 1);
    std::vector<uint8_t> request(28 + (in ? 0 : size)), answer(24 + (in ? size : 0));
    put32(request.data() + 20, in ? size : 0);
    put32(request.data() + 24, in ? 0 : size);
    for (int i = 0; i < depth; i++)
        s.write(request.data(), request.size());
    uint64_t count = 0;
    auto t0 = Clock::now();
    while (since(t0) < seconds) {
        s.read(answer.data(), answer.size());
        count += size;
        s.write(request.data(), request.size());
    }
    std::printf("%.0f %.2f\n", count / since(t0), since(t0));
}

} // namespace

int main(int argc, char **argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "serve" && argc == 3) return serve(std::atoi(argv[2]));
    if (mode == "raw" && argc == 6) {
        raw(argv[2], std::atoi(argv[3]), argv[4][0], std::atof(argv[5]));
        return 0;
    }
    if (mode == "xchg" && argc == 8) {
        xchg(argv[2], std::atoi(argv[3]), std::string(argv[4]) == "in",
             static_cast<uint32_t>(std::strtoul(argv[5], nullptr, 10)), std::atoi(argv[6]),
             std::atof(argv[7]));
        return 0;
    }
    if (mode == "bulk" && argc == 11) {
        Client c(argv[2], std::atoi(argv[3]), std::atoi(argv[4]) != 0);
        c.openDevice(static_cast<uint8_t>(std::atoi(argv[5])), static_cast<uint8_t>(std::atoi(argv[6])));
        bulk(c, static_cast<uint8_t>(std::atoi(argv[5])), static_cast<uint8_t>(std::atoi(argv[6])), argv[7],
             static_cast<uint32_t>(std::strtoul(argv[8], nullptr, 10)), std::atoi(argv[9]),
             std::atof(argv[10]));
        return 0;
    }
    if (mode == "ctrl" && argc == 8) {
        Client c(argv[2], std::atoi(argv[3]), std::atoi(argv[4]) != 0);
        c.openDevice(static_cast<uint8_t>(std::atoi(argv[5])), static_cast<uint8_t>(std::atoi(argv[6])));
        ctrl(c, static_cast<uint8_t>(std::atoi(argv[5])), static_cast<uint8_t>(std::atoi(argv[6])),
             std::atof(argv[7]));
        return 0;
    }
    std::fprintf(stderr, "usage: see the head of bench/usb_bench.cpp\n");
    return 2;
}
