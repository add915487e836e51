// The library's persistent state file (engine boots, engine ID, the keys it derived for
// its users). The users that "/var/snmpd.conf" creates get their keys from their
// passwords at every read of that file; a key kept from an earlier password must never
// win over it, so their "usmUser" lines are dropped before the library reads the state.

#include "snmp/snmp_internal.h"

#include <cctype>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The library writes lines far shorter; a longer file is left alone.
constexpr size_t MaxStateFile = 1 << 20;

// Moves p past blanks; false at the end.
bool skipBlanks(const std::string &s, size_t &p) {
    while (p < s.size() && (s[p] == ' ' || s[p] == '\t'))
        p++;
    return p < s.size();
}

// Moves p past one blank-delimited word; false when there is none.
bool skipWord(const std::string &s, size_t &p) {
    if (!skipBlanks(s, p)) return false;
    while (p < s.size() && s[p] != ' ' && s[p] != '\t')
        p++;
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

bool persistentUserName(const std::string &line, std::string &name) {
    size_t p = 0;
    if (!skipBlanks(line, p) || line.compare(p, 8, "usmUser ") != 0) return false;
    // usmUser, status, storage type, engine ID; then the user name.
    for (int i = 0; i < 4; i++)
        if (!skipWord(line, p)) return false;
    if (!skipBlanks(line, p)) return false;
    name.clear();
    if (line[p] == '"') {
        size_t end = line.find('"', p + 1);
        if (end == std::string::npos) return false;
        name = line.substr(p + 1, end - p - 1);
        return true;
    }
    if (line.compare(p, 2, "0x") == 0) {
        p += 2;
        while (p + 1 < line.size() && line[p] != ' ' && line[p] != '\t') {
            int hi = hexDigit(line[p]), lo = hexDigit(line[p + 1]);
            if (hi < 0 || lo < 0) return false;
            name += static_cast<char>(hi * 16 + lo);
            p += 2;
        }
        return p >= line.size() || line[p] == ' ' || line[p] == '\t';
    }
    size_t end = p;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t')
        end++;
    name = line.substr(p, end - p);
    return true;
}

bool dropPersistentUsers(const std::string &path, const std::vector<std::string> &names) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() <= MaxStateFile)
        text.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    if (n < 0 || text.size() > MaxStateFile) return false;

    std::string kept;
    bool dropped = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        size_t next = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, next - start);
        std::string body = line;
        while (!body.empty() && (body.back() == '\n' || body.back() == '\r'))
            body.pop_back();
        std::string user;
        bool drop = false;
        if (persistentUserName(body, user)) {
            for (const std::string &name : names)
                if (name == user) drop = true;
        }
        if (drop)
            dropped = true;
        else
            kept += line;
        start = next;
    }
    if (!dropped) return true;

    std::string temp = path + ".new";
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < kept.size()) {
        n = ::write(fd, kept.data() + done, kept.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    bool ok = done == kept.size();
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}
