// Page streamers and the stock information writers.

#include "web/htmlstrm.h"

#include "core/ptable.h"
#include "core/sysinfo.h"
#include "core/sysroot.h"
#include "core/ticks.h"
#include "net/wifi.h"
#include "web/http.h"
#include "web/pages.h"
#include "web/webtext.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

HtmlStreamer::HtmlStreamer(const char *taskName, Buffer *arg) : Task(taskName) {
    if (arg) argument = std::move(*arg);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        std::printf("%s:%d pipe failed: %s\n", "htmlstrm", 41, std::strerror(errno));
        return;
    }
    readEnd = fds[0];
    writeEnd = fds[1];
}

HtmlStreamer::~HtmlStreamer() {
    if (writeEnd >= 0) ::close(writeEnd);
    // The read end belongs to the connection once startFor handed it over.
    if (readEnd >= 0) ::close(readEnd);
}

void HtmlStreamer::run() {
    if (writer) writer(*this);
    if (writeEnd >= 0) ::close(writeEnd);
    writeEnd = -1;
}

bool HtmlStreamer::write(const void *bytes, size_t length) {
    const char *p = static_cast<const char *>(bytes);
    while (length > 0) {
        if (writeEnd < 0) return false;
        pollfd pfd{writeEnd, POLLOUT, 0};
        int rc = ::poll(&pfd, 1, 60000);
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0 || (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) return false;
        ssize_t n = ::write(writeEnd, p, length);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
        written += static_cast<uint32_t>(n);
    }
    return true;
}

int HtmlStreamer::printf(const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text_, sizeof text_, format, args);
    va_end(args);
    if (n < 0) return n;
    write(text_, std::min<size_t>(static_cast<size_t>(n), sizeof text_ - 1));
    return n;
}

bool HtmlStreamer::writeEscaped(const char *text) {
    std::string e = htmlEscaped(text);
    return write(e.data(), e.size());
}

int HtmlStreamer::startFor(HttpConnection &c, Writer w, const char *contentType) {
    if (readEnd < 0) {
        delete this;
        return PageServerError;
    }
    writer = w;
    int fd = readEnd;
    readEnd = -1;
    // A writer whose reader went away must not die of SIGPIPE.
    ::fcntl(writeEnd, F_SETFL, O_NONBLOCK);
    c.typeOverride = contentType;
    if (start(32 * 1024) < 0) {
        ::close(fd);
        delete this;
        return PageServerError;
    }
    return (fd << 8) | PIPE_READ;
}

HtmlTextStreamer::HtmlTextStreamer(const char *taskName, const char *t) : HtmlStreamer(taskName) {
    if (t) {
        text = t;
        hasText = true;
    }
}

// ---------------------------------------------------------------- stock writers

void writeThreadInfo(HtmlStreamer &s) {
    s.printf("<head><title> System Information Page </title></head>\n");
    s.printf("<H2> Thread Information Table </H2>\n");
    s.printf(
        "<table border=\"1\" cellpadding=\"1\" width=\"80%%\">\n<tbody valign=\"top\" align=\"left\">\n");
    s.printf("<tr><th colspan=\"6\">Process Info</th>\n");
    s.printf("<tr><th >Name</th><th>Pid</th><th>PPid</th><th>State</th><th>User/Kernel ticks</th><th>Task "
             "(%d/%d)</th><th>Stack Kb</th><th>Alive D:HH/MM/SS</th>\n",
             Task::aliveCount(), TaskRegistrySize);
    char pattern[64];
    std::snprintf(pattern, sizeof pattern, "/proc/%d/task/[1-9]*", static_cast<int>(getpid()));
    glob_t g{};
    if (glob(pattern, 0, nullptr, &g) == 0) {
        for (size_t i = 0; i < g.gl_pathc; i++) {
            std::string statPath = std::string(g.gl_pathv[i]) + "/stat";
            FILE *f = std::fopen(statPath.c_str(), "r");
            if (f == nullptr) continue;
            int tid = 0, ppid = 0;
            char name[64] = "";
            char st = '?';
            unsigned long utime = 0, stime = 0, stack = 0;
            unsigned long long start = 0;
            int n = std::fscanf(
                f,
                "%d %63s %c %d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu %*d %*d %*d %*d %*d %*d "
                "%llu %*d %*d %*d %*d %*d %lu ",
                &tid, name, &st, &ppid, &utime, &stime, &start, &stack);
            std::fclose(f);
            if (n != 8) continue;
            std::string safeName = htmlEscaped(name);
            s.printf("<tr><th><a class=\"orange\" href=\"javascript:void(0)\" "
                     "onclick='filler(\"/info/file?%sus\",\"{lang}\")'> %s </a></th><td><a class=\"orange\" "
                     "href=\"javascript:void(0)\" onclick='filler(\"/info/dir?%s\",\"{lang}\")'> %d "
                     "</a></td><td>%d</td><td>%c</td><td>%lu / %lu</td>\n",
                     statPath.c_str(), safeName.c_str(), g.gl_pathv[i], tid, ppid, st, utime, stime);
            int number = -1;
            if (name[0] == '(' && std::isdigit(static_cast<unsigned char>(name[1]))) {
                number = name[1] - '0';
                if (std::isdigit(static_cast<unsigned char>(name[2]))) number = number * 10 + (name[2] - '0');
            }
            std::string taskName;
            int64_t age = 0;
            uint32_t stackSize = 0;
            bool found = false;
            if (number >= 0 && TLOCK()) {
                Task *t = registrySlot(number);
                if (t) {
                    found = true;
                    taskName = t->name ? t->name : "";
                    age = sysTicks() - t->startTick.load();
                    stackSize = t->stackSize;
                }
                TUNLOCK();
            }
            if (found) {
                int64_t secs = age / 100;
                s.printf("<td>%s</td><td>%d</td><td>% 3d:%02d/%02d/%02d</td>",
                         htmlEscaped(taskName.c_str()).c_str(), static_cast<int>((stackSize + 512) / 1024),
                         static_cast<int>(secs / 86400), static_cast<int>(secs / 3600 % 24),
                         static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60));
            }
        }
        globfree(&g);
    }
    s.printf("</tbody></table>\n");
}

void writeNetCounters(HtmlStreamer &s) {
    s.printf("<H3> Net interface statistics </H3>\n");
    s.printf("<br><table class=\"striped\"><tbody>\n");
    s.printf(
        "<tr><th align=left> Net interface <th align=left> Counter<th align=left> Receive <th align=left> "
        "Transmit </tr>\n");
    FILE *f = std::fopen("/proc/net/dev", "r");
    if (f) {
        static const char *const names[] = {"bytes", "packets", "errors",     "drop",
                                            "fifo",  "frames",  "compressed", "multicast"};
        char line[169];
        while (std::fgets(line, sizeof line, f)) {
            if (!std::strstr(line, "eth") && !std::strstr(line, "wlan")) continue;
            char *colon = std::strchr(line, ':');
            if (colon == nullptr || colon - line > 31) continue;
            *colon = '\0';
            const char *iface = line;
            while (*iface == ' ')
                iface++;
            unsigned long v[16];
            if (std::sscanf(colon + 1, "%lu %lu %lu %lu %lu %lu %lu %lu %lu %lu %lu %lu %lu %lu %lu %lu",
                            &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10],
                            &v[11], &v[12], &v[13], &v[14], &v[15]) != 16)
                continue;
            std::string safe = htmlEscaped(iface);
            for (int i = 0; i < 8; i++)
                s.printf("<tr><th> %s <td> %s <td> %lu <td> %lu </tr>\n", i == 0 ? safe.c_str() : "",
                         names[i], v[i], v[i + 8]);
        }
        std::fclose(f);
    }
    s.printf("</tbody></table>\n");
}

void writeDeviceInfo(HtmlStreamer &s) {
    s.printf("<H3 class=\"mt-1\"> Tasks: alive:%d overRun:%d</H3>\n", Task::aliveCount(),
             Task::overRunCount());
    s.printf("<H3> General version information </H3>\n");
    s.printf("<table class=\"striped\"><tbody>\n");
    char created[64] = "";
    time_t t = SoftwareCreationTime;
    struct tm tm;
    if (localtime_r(&t, &tm)) std::strftime(created, sizeof created, "%Y-%m-%d %T%z", &tm);
    s.printf("<tr><th align=left> Sys            </th><td> %s </td><td> 0x%08x </td></tr>\n",
             SoftwareVersionText, SoftwareVersionWord);
    struct utsname uts;
    if (::uname(&uts) == 0) {
        std::string release = htmlEscaped(uts.release);
        s.printf("<tr><th align=left> Linux          </th><td> %s </td><td> 0x%08x </td></tr>\n",
                 release.c_str(), 0u);
    }
    s.printf("<tr><th align=left> OpenSSL        </th><td> %s </td><td> 0x%08lx </td></tr>\n",
             OPENSSL_VERSION_TEXT, static_cast<unsigned long>(OPENSSL_VERSION_NUMBER));
    s.printf("<tr><th align=left> Creation       </th><td colspan=\"2\"> %s    </td></tr>\n", created);
    s.printf("</tbody></table>\n");
    s.printf("<H3 class=\"mt-1\"> Device statistics </H3>\n<table class=\"striped\"><tbody>\n");
    s.printf("<tr><th align=left> Web pages<th align=left> Size<th align=left> Limit<th align=left> Left<th "
             "align=left> URL</tr>\n");
    auto urlOf = [](int index) {
        const PageEntry *e = pageManager ? pageManager->entry(index) : nullptr;
        return e ? e->url : "illegal index?!";
    };
    s.printf("<tr><td> Max PageSize <td> %d <td> %d <td> %d <td> %s</tr>\n", webStats.maxPage.load(),
             webStats.maxPageBuffer.load(), webStats.maxPageLeft.load(), urlOf(webStats.maxPageIndex));
    s.printf("<tr><td> Min PageLeft <td> %d <td> %d <td> %d <td> %s</tr>\n", webStats.minLeftPage.load(),
             webStats.minLeftBuffer.load(),
             webStats.minLeft.load() == 0x7fffffff ? 0 : webStats.minLeft.load(),
             urlOf(webStats.minLeftIndex));
    s.printf("<tr><td> Max VBuffer <td> %d <td> %d <td> %d <td> %s</tr>\n", webStats.maxStoreUse.load(),
             webStats.maxStoreCapacity.load(), webStats.maxStoreCapacity.load() - webStats.maxStoreUse.load(),
             urlOf(webStats.maxStoreIndex));
    s.printf("</tbody></table>\n");

    // The partitions: four of the flash, then the read-only file tree and the log.
    s.printf("<br><table  class=\"striped\"><tbody>\n");
    s.printf(
        "<tr align=left><th colspan=\"2\"> Partition  </th><th>               Mount </th><th colspan=\"3\"> "
        "Filesystem </th></tr>\n");
    s.printf("<tr align=left><th> Name<th> Size Kb<th> point<th> Total Kb<th> Used Kb<th> Free Kb</tr>\n");
    const char *mounts[6] = {"/flash", "/etc", nullptr, nullptr, "/romfs", "/var/moni"};
    for (int i = 0; i < 6; i++) {
        uint32_t size = 0;
        std::string name = i == 4 ? "RomFS" : i == 5 ? "Monitor" : "";
        if (i < 4) readMtdPartition(i, size, name);
        std::string safe = htmlEscaped(name.c_str());
        const char *row =
            "<tr><td > %s </td><td > %d </td><td > %s </td><td > %d </td><td > %d </td><td > %d "
            "</td></tr>\n";
        if (mounts[i] == nullptr) {
            s.printf(row, safe.c_str(), static_cast<int>(size), "", 0, 0, 0);
            continue;
        }
        uint64_t total = 0, free = 0;
        if (!diskSpace(sysPath(mounts[i]), total, free)) {
            s.printf("<tr><td > %s </td><td colspan=\"4\"> %s </td></tr>\n", mounts[i], std::strerror(errno));
            continue;
        }
        s.printf(row, safe.c_str(), static_cast<int>(size), mounts[i], static_cast<int>(total),
                 static_cast<int>(total - free), static_cast<int>(free));
    }
    s.printf("</tbody></table>\n");
}

namespace {

std::string modeText(mode_t m) {
    char t = S_ISLNK(m)    ? 'l'
             : S_ISDIR(m)  ? 'd'
             : S_ISCHR(m)  ? 'c'
             : S_ISBLK(m)  ? 'b'
             : S_ISFIFO(m) ? 'p'
             : S_ISSOCK(m) ? 's'
                           : '-';
    std::string r(1, t);
    const char rwx[] = "rwxrwxrwx";
    for (int i = 0; i < 9; i++)
        r += (m & (0400 >> i)) ? rwx[i] : '-';
    if (m & S_ISUID) r[3] = (m & S_IXUSR) ? 's' : 'S';
    if (m & S_ISGID) r[6] = (m & S_IXGRP) ? 's' : 'S';
    if (m & S_ISVTX) r[9] = (m & S_IXOTH) ? 't' : 'T';
    return r;
}

// A path as the query of an information link: everything but letters, digits and
// "/._-" percent-encoded, so that a file name can close neither the attribute nor the
// script string it stands in.
std::string queryEscaped(const std::string &path) {
    std::string out;
    for (unsigned char ch : path) {
        if (std::isalnum(ch) || ch == '/' || ch == '.' || ch == '_' || ch == '-') {
            out += static_cast<char>(ch);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", ch);
            out += hex;
        }
    }
    return out;
}

// The appliance path of a real path below the sandbox root.
std::string appliancePath(const std::string &real) {
    const std::string &root = sysRoot();
    if (root.empty() || root == "/") return real;
    std::string base = root.back() == '/' ? root.substr(0, root.size() - 1) : root;
    char resolved[4096];
    if (::realpath(base.c_str(), resolved)) base = resolved;
    if (real == base) return "/";
    if (real.compare(0, base.size() + 1, base + "/") == 0) return real.substr(base.size());
    return real;
}

} // namespace

void writeDirListing(HtmlStreamer &s) {
    auto &ts = static_cast<HtmlTextStreamer &>(s);
    std::string dir = ts.hasText && !ts.text.empty() ? ts.text : "/";
    s.printf("<hr><h3 class=\"info\">File System Info</h3>\n");
    // The directory is read through its descriptor: no thread's working directory moves.
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct dirent **entries = nullptr;
    int count = dfd >= 0 ? ::scandirat(dfd, ".", &entries, nullptr, alphasort) : -1;
    if (count < 0) {
        std::string e = htmlEscaped(dir.c_str());
        s.printf("<pre>scandir(\"%s\"): %s</pre>", e.c_str(), std::strerror(errno));
        if (dfd >= 0) ::close(dfd);
        return;
    }
    char resolved[4096];
    if (::realpath(dir.c_str(), resolved) == nullptr)
        std::snprintf(resolved, sizeof resolved, "%s", dir.c_str());
    std::string real = resolved;
    std::string shown = appliancePath(real);
    s.printf("<h3 class=\"info\">%s</h3>\n", htmlEscaped(shown.c_str()).c_str());
    if (shown != "/") {
        std::string parent = shown.substr(0, shown.rfind('/'));
        if (parent.empty()) parent = "/";
        s.printf("<tr><td colspan=\"4\"><div class=\"btn-group\"><a class=\"btn\" href=\"#\" "
                 "onclick='filler(\"/info/%s?%s\",\"en\")'><span class=\"ic up\"></span>parent "
                 "directory</a></div></td></tr>\n",
                 "dir", queryEscaped(parent).c_str());
    }
    s.printf("<table><font face=\"courier\"><tbody>\n");
    s.printf(
        "<tr><td width=\"100\"></td><td width=\"40\"></td><td width=\"40\"></td><td width=\"80\"></td><td "
        "width=\"200\"></td><td> </td></tr>\n");
    std::string base = shown == "/" ? "" : shown;
    for (int i = 0; i < count; i++) {
        const char *name = entries[i]->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        struct stat st;
        std::string safe = htmlEscaped(name);
        if (::fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            s.printf("<pre>stat(\"%s\"): %s</pre>", safe.c_str(), std::strerror(errno));
            continue;
        }
        char when[40] = "";
        struct tm tm;
        if (localtime_r(&st.st_mtime, &tm)) std::strftime(when, sizeof when, "%Y-%m-%d %T%z", &tm);
        s.printf("<tr><td>%s</td><td>%d</td><td>%d</td><td>%lld</td><td>%s</td>",
                 modeText(st.st_mode).c_str(), static_cast<int>(st.st_uid), static_cast<int>(st.st_gid),
                 static_cast<long long>(st.st_size), when);
        if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ||
            !(st.st_mode & S_IROTH)) {
            s.printf("<td style=\"color:brown;\">%s</td>", safe.c_str());
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096];
            ssize_t n = ::readlinkat(dfd, name, target, sizeof target - 1);
            struct stat ts2;
            if (n > 0 && ::fstatat(dfd, name, &ts2, 0) == 0) {
                target[n] = '\0';
                std::string t = target[0] == '/' ? target : base + "/" + target;
                std::string safeTarget = htmlEscaped(t.c_str());
                std::string linkTarget = queryEscaped(t);
                bool isDir = S_ISDIR(ts2.st_mode);
                s.printf("<td><a href=\"#\" onclick=\"filler('/info/%s?%s','en')\" style=\"color:%s;\"> %s "
                         "</a> -> "
                         "%s</td>",
                         isDir ? "dir" : "file", linkTarget.c_str(), isDir ? "darkblue" : "darkgreen",
                         safe.c_str(), safeTarget.c_str());
            } else {
                s.printf("<td style=\"color:brown;\">%s</td>", safe.c_str());
            }
        } else {
            bool isDir = S_ISDIR(st.st_mode);
            s.printf(
                "<td><a href=\"#\" onclick=\"filler('/info/%s?%s','en')\" style=\"color:%s;\">%s</a></td>",
                isDir ? "dir" : "file", queryEscaped(base + "/" + name).c_str(),
                isDir ? "darkblue" : "darkgreen", safe.c_str());
        }
        s.printf("</tr>\n");
    }
    s.printf("\n</tbody></font></table>\n");
    for (int i = 0; i < count; i++)
        std::free(entries[i]);
    std::free(entries);
    ::close(dfd);
}

void writeFileCopy(HtmlStreamer &s) {
    auto &ts = static_cast<HtmlTextStreamer &>(s);
    int fd = ts.hasText ? ::open(ts.text.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
    if (fd < 0) {
        s.printf("%s", getmuText("Access denied"));
        return;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !(st.st_mode & S_IROTH)) {
        s.printf("%s", getmuText("Access denied"));
        ::close(fd);
        return;
    }
    char block[512];
    for (;;) {
        ssize_t n = ::read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || !s.write(block, static_cast<size_t>(n))) break;
    }
    ::close(fd);
}

void writeWlanInfo(HtmlStreamer &s) {
    WlanPageSink sink{&s, [](void *context, const char *bytes, size_t length) {
                          static_cast<HtmlStreamer *>(context)->write(bytes, length);
                      }};
    WlanPageHooks hooks;
    hooks.scan = [] {
        wlan_scan();
        waitCurrentTask(50);
    };
    hooks.driver = wlan_get_driver;
    hooks.productId = productParams().productId;
    wifi_info_page(sink, wlan_status_verbose(), hooks);
}
