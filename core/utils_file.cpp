#include "core/utils_file.h"

#include "core/crc32.h"
#include "core/platform.h"
#include "core/sysroot.h"
#include "core/task.h"

#include <fcntl.h>
#include <glob.h>
#include <linux/msdos_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

// Closes the descriptor it owns.
class FdGuard {
public:
    explicit FdGuard(int fd) : fd_(fd) {}
    ~FdGuard() {
        if (fd_ >= 0) ::close(fd_);
    }
    FdGuard(const FdGuard &) = delete;
    FdGuard &operator=(const FdGuard &) = delete;
    int get() const { return fd_; }
    // Closes now and reports the result.
    int close() {
        int rc = ::close(fd_);
        fd_ = -1;
        return rc;
    }

private:
    int fd_;
};

class GlobGuard {
public:
    GlobGuard() { std::memset(&g, 0, sizeof g); }
    ~GlobGuard() { globfree(&g); }
    GlobGuard(const GlobGuard &) = delete;
    GlobGuard &operator=(const GlobGuard &) = delete;
    glob_t g;
};

constexpr size_t CopyBlock = 4096;
constexpr int64_t LockRetryTicks = 50;

// The directory being scanned on this thread, for comparisons that look at the
// entries' files. Scanning through a directory descriptor instead of changing into
// the directory keeps the process's working directory untouched: other threads
// resolve their relative paths against it.
thread_local int scanDirFd = -1;

bool writeAll(int fd, const char *data, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, data, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        data += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool isDirectory(const struct dirent *e) {
    if (e->d_type != DT_UNKNOWN) return e->d_type == DT_DIR;
    struct stat st;
    return scanDirFd >= 0 && fstatat(scanDirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISDIR(st.st_mode);
}

int compareDirsFirst(const struct dirent **a, const struct dirent **b) {
    const bool da = isDirectory(*a), db = isDirectory(*b);
    if (da != db) return da ? -1 : 1;
    return alphasort(a, b);
}

int compareNewestFirst(const struct dirent **a, const struct dirent **b) {
    struct stat sa, sb;
    if (scanDirFd < 0 || fstatat(scanDirFd, (*a)->d_name, &sa, 0) != 0 ||
        fstatat(scanDirFd, (*b)->d_name, &sb, 0) != 0)
        return 0;
    const double d = std::difftime(sb.st_ctime, sa.st_ctime);
    return d > 0 ? 1 : d < 0 ? -1 : 0;
}

// Lets the calling task wait; outside a task thread, sleeps for the time.
void waitTicks(int64_t ticks) {
    if (Task *self = Task::current()) {
        self->wait(ticks);
        return;
    }
    struct timespec ts {
        static_cast<time_t>(ticks / 100), static_cast<long>(ticks % 100) * 10000000L
    };
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// The directory as a glob pattern that matches only itself.
std::string globEscape(const std::string &dir) {
    std::string out;
    for (char c : dir) {
        if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

int reportGlobError(const char *path, int error) {
    std::printf("%s: %s\n", path, std::strerror(error));
    return 0; // go on with the other directories
}

} // namespace

int tempFile() {
    std::string name = sysPath("/tmp/temp.XXXXXX");
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        std::perror("mkstemp");
        return -1;
    }
    if (unlink(name.c_str()) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int64_t fileSize(const char *path, char *timeBuf, size_t timeBufSize, bool *archive) {
    struct stat st;
    if (path == nullptr || stat(path, &st) != 0) return -1;
    if (timeBuf != nullptr && timeBufSize > 0) {
        struct tm tm;
        if (localtime_r(&st.st_ctime, &tm) == nullptr ||
            std::strftime(timeBuf, timeBufSize, "%Y-%m-%d %H:%M", &tm) == 0)
            timeBuf[0] = '\0';
    }
    if (archive != nullptr) {
        FdGuard fd(::open(path, O_RDONLY | O_CLOEXEC));
        uint32_t attributes = 0;
        if (fd.get() < 0 || ioctl(fd.get(), FAT_IOCTL_GET_ATTRIBUTES, &attributes) != 0)
            std::perror("fileSize");
        else
            *archive = (attributes & ATTR_ARCH) != 0;
    }
    return S_ISDIR(st.st_mode) ? 1 : static_cast<int64_t>(st.st_size);
}

bool copyFd(const char *source, int dest, uint32_t *crc) {
    if (crc != nullptr) *crc = 0;
    if (source == nullptr) return false;
    FdGuard src(::open(source, O_RDONLY | O_CLOEXEC));
    if (src.get() < 0) return false;
    char block[CopyBlock];
    uint32_t sum = 0;
    // Read until the end of the file: a short read (a signal, a file of the kernel's
    // views) is not yet the end.
    for (;;) {
        ssize_t r = ::read(src.get(), block, sizeof block);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return false;
        if (r == 0) break;
        if (!writeAll(dest, block, static_cast<size_t>(r))) return false;
        sum = crc32Update(sum, block, static_cast<size_t>(r));
        if (crc != nullptr) *crc = sum;
    }
    return true;
}

bool copyFile(const char *source, const char *dest, bool privateCopy, uint32_t *crc) {
    struct stat st;
    if (source == nullptr || dest == nullptr || stat(source, &st) != 0) return false;
    // A file that others may not read stays private in its copy.
    const mode_t mode = (privateCopy || (st.st_mode & S_IROTH) == 0) ? 0600 : 0644;
    // Copying a file onto itself would truncate it before the first byte is read.
    struct stat existing;
    if (stat(dest, &existing) == 0 && existing.st_dev == st.st_dev && existing.st_ino == st.st_ino)
        return false;
    // The mode is given at creation and set on the open descriptor, never through the
    // process-wide creation mask, which other threads use at the same time.
    FdGuard fd(::open(dest, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (fd.get() < 0) return false;
    // An existing destination keeps its old mode through open: set it before any byte
    // is written. FAT file systems have no per-file modes and refuse; that is no error.
    struct stat dst;
    if (fstat(fd.get(), &dst) == 0 && (dst.st_mode & 07777) != mode) (void)fchmod(fd.get(), mode);
    bool ok = copyFd(source, fd.get(), crc);
    if (fd.close() != 0) ok = false;
    return ok;
}

int skipDotEntries(const struct dirent *entry) {
    return entry->d_name[0] != '\0' && entry->d_name[0] != '.';
}

DirList::DirList() {
    pthread_mutex_init(&lock, nullptr);
}

DirList::~DirList() {
    // Nobody uses the listing any more: free it whoever held it.
    if (entries != nullptr) {
        for (int i = 0; i < count; ++i)
            std::free(entries[i]);
        std::free(entries);
    }
    if (locked) pthread_mutex_unlock(&lock);
    pthread_mutex_destroy(&lock);
}

bool DirList::heldByCaller() const {
    return locked.load() && pthread_equal(owner.load(), pthread_self());
}

int DirList::scan(const char *directory, Compare compare) {
    // Only the holder may drop its own listing; any other thread waits for the lock
    // below and finds the listing cleared by its holder.
    if (heldByCaller()) clear();
    int rc;
    while ((rc = pthread_mutex_trylock(&lock)) != 0) {
        std::fprintf(stderr, "Param lock Mutex: %s\n", std::strerror(rc));
        waitTicks(LockRetryTicks);
    }
    owner = pthread_self();
    locked = true;
    entries = nullptr;
    count = 0;
    if (directory == nullptr) return 0;
    FdGuard dir(::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return 0;
    const int saved = scanDirFd;
    scanDirFd = dir.get();
    struct dirent **list = nullptr;
    int n = scandirat(dir.get(), ".", &list, filter, compare);
    scanDirFd = saved;
    if (n > 0) {
        entries = list;
        count = n;
    } else if (n == 0) {
        std::free(list);
    }
    return count;
}

int DirList::scanNewestFirst(const char *directory) {
    return scan(directory, compareNewestFirst);
}

int DirList::scanDirsFirst(const char *directory) {
    return scan(directory, compareDirsFirst);
}

const char *DirList::name(int i) const {
    if (entries == nullptr || i < 0 || i >= count) return nullptr;
    return entries[i]->d_name;
}

void DirList::clear() {
    if (!heldByCaller()) return;
    if (entries != nullptr) {
        for (int i = 0; i < count; ++i)
            std::free(entries[i]);
        std::free(entries);
        entries = nullptr;
    }
    count = -1;
    locked = false;
    owner = pthread_t{};
    int rc = pthread_mutex_unlock(&lock);
    if (rc != 0) std::fprintf(stderr, "Param unlock Mutex: %s\n", std::strerror(rc));
}

bool DirList::removeFiles(const char *directory, bool onlyEmpty) {
    // The listing is released on every path, so the lock never outlives the call.
    if (scanDirsFirst(directory) <= 0) {
        clear();
        return false;
    }
    for (int i = 0; i < count; ++i) {
        // The full name, never cut: a shortened name could be another file.
        std::string path = std::string(directory) + "/" + entries[i]->d_name;
        if (onlyEmpty && fileSize(path.c_str()) > 0) continue;
        unlink(path.c_str()); // directories refuse and stay
    }
    clear();
    return true;
}

namespace {
const char *const certFiles[] = {"cert_fpkey.pem", "cert_rpriv.pem", "cert_fsrv.pem", "cert_rcert.pem",
                                 "cert_req.pem",   "cert_mime.pem",  "cert.tmp"};
} // namespace

bool forEachCertFileIn(const char *certsDir, const CertFileFn &fn) {
    const auto &files = certFiles;
    if (certsDir == nullptr) return false;
    const std::string base = certsDir;
    for (const char *file : files) {
        std::string path = base + "/" + file;
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && !fn(path.c_str())) return false;
    }
    for (const std::string &dir : {base, base + "/802.1x"}) {
        GlobGuard links;
        std::string pattern = globEscape(dir) + "/????????.0";
        if (glob(pattern.c_str(), 0, reportGlobError, &links.g) != 0) continue;
        for (size_t i = 0; i < links.g.gl_pathc; ++i)
            if (!fn(links.g.gl_pathv[i])) return false;
    }
    platform().sync();
    return true;
}

bool restore_certs_from_dir(const char *directory) {
    return restoreCertsInto(directory, sysPath("/etc/certs").c_str());
}

bool restoreCertsInto(const char *directory, const char *certsDir) {
    if (directory == nullptr || certsDir == nullptr) return false;
    const std::string from = directory;
    const std::string certs = certsDir;
    for (const char *file : certFiles) {
        std::string source = from + "/" + file;
        struct stat st;
        if (stat(source.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        bool key = std::strcmp(file, "cert_fpkey.pem") == 0 || std::strcmp(file, "cert_rpriv.pem") == 0;
        // A copy that failed halfway would leave a cut file in the store: remove it.
        std::string dest = certs + "/" + file;
        if (!copyFile(source.c_str(), dest.c_str(), key, nullptr)) ::unlink(dest.c_str());
    }
    bool ok = true;
    for (const char *sub : {"", "/802.1x"}) {
        GlobGuard links;
        std::string pattern = globEscape(from + sub) + "/????????.0";
        if (glob(pattern.c_str(), 0, reportGlobError, &links.g) != 0) continue;
        for (size_t i = 0; i < links.g.gl_pathc; ++i) {
            const char *path = links.g.gl_pathv[i];
            const char *name = std::strrchr(path, '/');
            std::string dest = certs + sub + (name ? name : "/");
            if (!copyFile(path, dest.c_str(), false, nullptr)) {
                ::unlink(dest.c_str());
                if (*sub != '\0') ok = false;
            }
        }
    }
    return ok;
}

bool forEachCertFile(const CertFileFn &fn) {
    return forEachCertFileIn(sysPath("/etc/certs").c_str(), fn);
}

bool readLastLine(int fd, char *buf, size_t n) {
    if (fd < 0 || buf == nullptr || n == 0 || n > static_cast<size_t>(INT32_MAX)) return false;
    if (lseek(fd, -static_cast<off_t>(n), SEEK_END) < 0) return false;
    ssize_t r;
    do
        r = ::read(fd, buf, n);
    while (r < 0 && errno == EINTR);
    if (r <= 1 || buf[r - 1] == '\n') {
        buf[0] = '\0';
        return true;
    }
    const auto *nl = static_cast<const char *>(memrchr(buf, '\n', static_cast<size_t>(r)));
    if (nl == nullptr) return false;
    const size_t follow = static_cast<size_t>(r) - static_cast<size_t>(nl + 1 - buf);
    if (follow < 2) return false;
    std::memmove(buf, nl + 1, follow);
    buf[follow] = '\0';
    return true;
}
