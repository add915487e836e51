// The simulated flash partitions and their block emulation "/dev/mtdblock<N>".
#include "sim/mtd.h"

#include "core/sysinfo.h"
#include "core/sysroot.h"
#include "sim/control.h"
#include "sim/devfile.h"
#include "sim/standins.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <map>
#include <memory>
#include <mutex>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace sim::mtd {
namespace {

struct Partition {
    std::string name;
    uint64_t size = 0;
    int fd = -1; // the backing file
    Counters counters;
    int openError = 0;
    int readError = 0;
    long long readAfter = -1; // bytes still allowed before readError, -1: no fault
    int writeError = 0;
    long long writeAfter = -1;
    long long cutAfter = -1; // written bytes until the power fails, -1: no cut pending
    bool powered = true;
};

std::mutex lock;
std::map<int, Partition> &parts() {
    static std::map<int, Partition> table;
    return table;
}
uint32_t eraseMs = 0, programMs = 0;

// Called with the lock held.
Partition *find(int n) {
    auto it = parts().find(n);
    return it == parts().end() ? nullptr : &it->second;
}

std::string devicePath(int n) {
    return sysPath("/dev/mtdblock" + std::to_string(n));
}

bool readAt(int fd, void *buf, size_t n, off_t at) {
    return ::pread(fd, buf, n, at) == static_cast<ssize_t>(n);
}
bool writeAt(int fd, const void *buf, size_t n, off_t at) {
    return ::pwrite(fd, buf, n, at) == static_cast<ssize_t>(n);
}

// The erase block holding offset at: its start and length (the last block of a
// partition whose size is no multiple of the block size is shorter).
void blockOf(const Partition &p, uint64_t at, uint64_t &start, uint64_t &length) {
    start = at / EraseBlockSize * EraseBlockSize;
    length = std::min<uint64_t>(EraseBlockSize, p.size - start);
}

// Flash operations on the backing file, with the lock held.
bool erase(Partition &p, uint64_t start, uint64_t length) {
    std::vector<uint8_t> ones(length, 0xFF);
    return writeAt(p.fd, ones.data(), length, static_cast<off_t>(start));
}
bool program(Partition &p, uint64_t start, const uint8_t *data, uint64_t length) {
    // Programming pulls bits to 0 and never back to 1.
    std::vector<uint8_t> cells(length);
    if (!readAt(p.fd, cells.data(), length, static_cast<off_t>(start))) return false;
    for (uint64_t i = 0; i < length; i++)
        cells[i] &= data[i];
    return writeAt(p.fd, cells.data(), length, static_cast<off_t>(start));
}

void sleepMs(uint32_t ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int fail(int error) {
    errno = error;
    return -1;
}

class MtdBlockFile : public DeviceFile {
public:
    MtdBlockFile(int n, int fd, int flags) : n_(n), fd_(fd), accmode_(flags & O_ACCMODE) {}
    ~MtdBlockFile() override { ::close(fd_); }

    int ioctl(unsigned long request, void *arg) override {
        std::lock_guard<std::mutex> guard(lock);
        Partition *p = find(n_);
        if (p == nullptr) return fail(ENODEV);
        if (arg == nullptr) return fail(EFAULT);
        if (request == BLKGETSIZE64) {
            *static_cast<uint64_t *>(arg) = p->size;
            return 0;
        }
        if (request == BLKSSZGET) {
            *static_cast<int *>(arg) = 512;
            return 0;
        }
        return fail(ENOTTY);
    }

    off_t lseek(off_t offset, int whence) override {
        std::lock_guard<std::mutex> guard(lock);
        Partition *p = find(n_);
        if (p == nullptr) return fail(ENODEV);
        off_t base;
        switch (whence) {
        case SEEK_SET:
            base = 0;
            break;
        case SEEK_CUR:
            base = pos_;
            break;
        case SEEK_END:
            base = static_cast<off_t>(p->size);
            break;
        default:
            return fail(EINVAL);
        }
        if ((offset < 0 && base + offset < 0) || (offset > 0 && base > INT64_MAX - offset))
            return fail(EINVAL);
        pos_ = base + offset;
        return pos_;
    }

    ssize_t read(void *buf, size_t n) override {
        if (accmode_ == O_WRONLY) return fail(EBADF);
        std::lock_guard<std::mutex> guard(lock);
        Partition *p = find(n_);
        if (p == nullptr) return fail(ENODEV);
        if (!p->powered) return fail(EIO);
        if (p->readAfter == 0) return fail(p->readError);
        if (static_cast<uint64_t>(pos_) >= p->size || n == 0) return 0;
        uint64_t count = std::min<uint64_t>(n, p->size - static_cast<uint64_t>(pos_));
        if (p->readAfter > 0) count = std::min<uint64_t>(count, static_cast<uint64_t>(p->readAfter));
        if (!readAt(p->fd, buf, count, pos_)) return fail(EIO);
        if (p->readAfter > 0) p->readAfter -= static_cast<long long>(count);
        pos_ += static_cast<off_t>(count);
        return static_cast<ssize_t>(count);
    }

    ssize_t write(const void *buf, size_t n) override {
        if (accmode_ == O_RDONLY) return fail(EBADF);
        uint64_t count;
        {
            std::lock_guard<std::mutex> guard(lock);
            Partition *p = find(n_);
            if (p == nullptr) return fail(ENODEV);
            if (!p->powered) return fail(EIO);
            if (p->writeAfter == 0) return fail(p->writeError);
            if (n == 0) return 0;
            if (static_cast<uint64_t>(pos_) >= p->size) return fail(ENOSPC);
            count = std::min<uint64_t>(n, p->size - static_cast<uint64_t>(pos_));
            if (p->writeAfter > 0) count = std::min<uint64_t>(count, static_cast<uint64_t>(p->writeAfter));
            p->counters.writes++;
        }
        const auto *data = static_cast<const uint8_t *>(buf);
        uint64_t done = 0;
        std::vector<uint8_t> block;
        while (done < count) {
            uint64_t at = static_cast<uint64_t>(pos_) + done, start = 0, length = 0, chunk = 0;
            bool cut = false;
            {
                // Read the block, merge the new bytes, erase it.
                std::lock_guard<std::mutex> guard(lock);
                Partition *p = find(n_);
                if (p == nullptr || !p->powered) return fail(p == nullptr ? ENODEV : EIO);
                blockOf(*p, at, start, length);
                chunk = std::min(count - done, start + length - at);
                block.resize(length);
                if (!readAt(p->fd, block.data(), length, static_cast<off_t>(start))) return fail(EIO);
                std::memcpy(block.data() + (at - start), data + done, chunk);
                if (!erase(*p, start, length)) return fail(EIO);
                p->counters.erases++;
                cut = p->cutAfter >= 0 && static_cast<uint64_t>(p->cutAfter) < chunk;
                if (cut) {
                    // The power fails while the block is erased: it stays so.
                    p->powered = false;
                    p->cutAfter = -1;
                }
            }
            if (cut) return fail(EIO);
            sleepMs(eraseMs);
            {
                std::lock_guard<std::mutex> guard(lock);
                Partition *p = find(n_);
                if (p == nullptr || !p->powered) return fail(p == nullptr ? ENODEV : EIO);
                if (!program(*p, start, block.data(), length)) return fail(EIO);
                if (p->cutAfter >= 0) p->cutAfter -= static_cast<long long>(chunk);
                if (p->writeAfter > 0) p->writeAfter -= static_cast<long long>(chunk);
            }
            sleepMs(programMs);
            done += chunk;
        }
        pos_ += static_cast<off_t>(done);
        return static_cast<ssize_t>(done);
    }

private:
    int n_;
    int fd_;
    int accmode_;
    off_t pos_ = 0;
};

DeviceOpener opener(int n) {
    return [n](const std::string &, int flags, int &fd) -> std::unique_ptr<DeviceFile> {
        {
            std::lock_guard<std::mutex> guard(lock);
            Partition *p = find(n);
            if (p == nullptr) {
                errno = ENXIO;
                return nullptr;
            }
            if (p->openError != 0) {
                errno = p->openError;
                return nullptr;
            }
            if (!p->powered) {
                errno = EIO;
                return nullptr;
            }
        }
        fd = ::eventfd(0, EFD_CLOEXEC);
        if (fd < 0) return nullptr;
        return std::make_unique<MtdBlockFile>(n, fd, flags);
    };
}

// Opens the backing file of a partition and brings it to the partition's size; new
// flash is erased.
int openBacking(int n, uint64_t size) {
    std::string dir = sysPath("/sim");
    ::mkdir(dir.c_str(), 0755);
    std::string path = backingPath(n);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return -1;
    }
    uint64_t have = static_cast<uint64_t>(st.st_size);
    if (have > size && ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        ::close(fd);
        return -1;
    }
    std::vector<uint8_t> ones(EraseBlockSize, 0xFF);
    for (uint64_t at = have; at < size; at += EraseBlockSize) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(EraseBlockSize, size - at));
        if (!writeAt(fd, ones.data(), n, static_cast<off_t>(at))) {
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

void writeProcMtd() {
    std::string text = "dev:    size   erasesize  name\n";
    {
        std::lock_guard<std::mutex> guard(lock);
        for (const auto &[n, p] : parts()) {
            char line[96];
            std::snprintf(line, sizeof line, "mtd%d: %08llx %08x \"%s\"\n", n,
                          static_cast<unsigned long long>(p.size), EraseBlockSize, p.name.c_str());
            text += line;
        }
    }
    std::string path = sysPath("/proc/mtd");
    FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return;
    std::fputs(text.c_str(), f);
    std::fclose(f);
}

// ---- control commands

bool parseNumber(const std::string &text, long long &value) {
    if (text.empty() || text.size() > 24) return false;
    errno = 0;
    char *end = nullptr;
    value = std::strtoll(text.c_str(), &end, 0);
    return errno == 0 && end != nullptr && *end == '\0';
}

bool parsePartition(const std::string &text, int &n) {
    long long v;
    if (!parseNumber(text, v) || v < 0 || v >= MaxPartitions) return false;
    n = static_cast<int>(v);
    return true;
}

int errnoFromText(const std::string &t) {
    static const std::map<std::string, int> names = {
        {"EIO", EIO},       {"ENOSPC", ENOSPC}, {"EROFS", EROFS},   {"ENXIO", ENXIO},   {"ENODEV", ENODEV},
        {"EBUSY", EBUSY},   {"EACCES", EACCES}, {"EPERM", EPERM},   {"ENOMEM", ENOMEM}, {"EINTR", EINTR},
        {"EAGAIN", EAGAIN}, {"EINVAL", EINVAL}, {"ENOENT", ENOENT}, {"EFAULT", EFAULT},
    };
    auto it = names.find(t);
    if (it != names.end()) return it->second;
    long long v;
    return parseNumber(t, v) && v >= 0 && v < 4096 ? static_cast<int>(v) : -1;
}

bool parseWord(const std::string &t, uint32_t &value) {
    static const std::map<std::string, uint32_t> names = {
        {"erased", 0xFFFFFFFFu}, {"BS_UPDATE", 0xA0FFFFF0u}, {"BS_FAIL", 0xA0FFFF00u},
        {"BS_OK", 0xA0FFF000u},  {"BS_BACKUP", 0xA0FF0000u},
    };
    auto it = names.find(t);
    if (it != names.end()) {
        value = it->second;
        return true;
    }
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(t.c_str(), &end, 16);
    if (t.empty() || t.size() > 10 || errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return false;
    value = static_cast<uint32_t>(v);
    return true;
}

const char *const Usage =
    "mtd [list] | mtd word N [WORD] | mtd inject N open|read|write ERRNO [AFTER] | mtd power-cut N AFTER|off "
    "| mtd power-on N | mtd pace ERASE_MS PROGRAM_MS | mtd reset-counters: the simulated flash";

std::string cmdMtd(const std::vector<std::string> &a, std::string &out) {
    int n = 0;
    if (a.size() == 1 || (a.size() == 2 && a[1] == "list")) {
        describe(out);
        return "";
    }
    if (a.size() >= 3 && a[1] == "word" && parsePartition(a[2], n)) {
        if (a.size() == 4) {
            uint32_t value;
            if (!parseWord(a[3], value))
                return "bad word (hex or erased, BS_UPDATE, BS_FAIL, BS_OK, BS_BACKUP)";
            if (!setWord(n, value)) return "no such partition";
        } else if (a.size() != 3) {
            return Usage;
        }
        uint32_t value;
        if (!word(n, value)) return "no such partition";
        char line[48];
        std::snprintf(line, sizeof line, "mtd_word %d %08x\n", n, value);
        out += line;
        return "";
    }
    if ((a.size() == 5 || a.size() == 6) && a[1] == "inject" && parsePartition(a[2], n)) {
        Op op;
        if (a[3] == "open")
            op = Op::Open;
        else if (a[3] == "read")
            op = Op::Read;
        else if (a[3] == "write")
            op = Op::Write;
        else
            return Usage;
        int error = errnoFromText(a[4]);
        long long after = 0;
        if (error < 0) return "bad errno";
        if (a.size() == 6 && (!parseNumber(a[5], after) || after < 0)) return "bad byte count";
        return inject(n, op, error, after) ? "" : "no such partition";
    }
    if (a.size() == 4 && a[1] == "power-cut" && parsePartition(a[2], n)) {
        long long after = -1;
        if (a[3] != "off" && (!parseNumber(a[3], after) || after < 0)) return "bad byte count";
        return powerCut(n, after) ? "" : "no such partition";
    }
    if (a.size() == 3 && a[1] == "power-on" && parsePartition(a[2], n))
        return powerOn(n) ? "" : "no such partition";
    if (a.size() == 4 && a[1] == "pace") {
        long long e, w;
        if (!parseNumber(a[2], e) || !parseNumber(a[3], w) || e < 0 || w < 0 || e > 10000 || w > 10000)
            return "bad pace (0 to 10000 ms)";
        pace(static_cast<uint32_t>(e), static_cast<uint32_t>(w));
        return "";
    }
    if (a.size() == 2 && a[1] == "reset-counters") {
        resetCounters();
        return "";
    }
    return Usage;
}

void addCommands() {
    static std::once_flag once;
    std::call_once(once, [] {
        addCommand("mtd", Usage, cmdMtd);
        addState([](std::string &out) { describe(out); });
    });
}

StandIn mtdStandIn(
    "mtd",
    [] {
        install();
        return 0;
    },
    [] { uninstall(); });

} // namespace

std::string backingPath(int n) {
    return sysPath("/sim/mtd" + std::to_string(n) + ".img");
}

void install() {
    uninstall();
    std::map<int, Partition> fresh;
    for (int n = 0; n < MaxPartitions; n++) {
        uint32_t kib = 0;
        std::string name;
        if (!readMtdPartition(n, kib, name) || kib == 0) continue;
        Partition p;
        p.name = name;
        p.size = static_cast<uint64_t>(kib) * 1024;
        p.fd = openBacking(n, p.size);
        if (p.fd < 0) {
            std::fprintf(stderr, "sim: flash partition %d has no backing file: %s\n", n,
                         std::strerror(errno));
            continue;
        }
        fresh[n] = p;
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        parts() = std::move(fresh);
        eraseMs = programMs = 0;
    }
    writeProcMtd();
    std::vector<int> numbers;
    {
        std::lock_guard<std::mutex> guard(lock);
        for (const auto &[n, p] : parts())
            numbers.push_back(n);
    }
    for (int n : numbers)
        registerDevicePath(devicePath(n), opener(n));
    addCommands();
}

void uninstall() {
    std::lock_guard<std::mutex> guard(lock);
    for (auto &[n, p] : parts()) {
        unregisterDevicePath(devicePath(n));
        if (p.fd >= 0) ::close(p.fd);
    }
    parts().clear();
}

uint64_t size(int n) {
    std::lock_guard<std::mutex> guard(lock);
    Partition *p = find(n);
    return p ? p->size : 0;
}

bool word(int n, uint32_t &value) {
    std::lock_guard<std::mutex> guard(lock);
    Partition *p = find(n);
    uint8_t b[4];
    if (p == nullptr || p->size < 4 || !readAt(p->fd, b, 4, 0)) return false;
    value = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    return true;
}

bool setWord(int n, uint32_t value) {
    std::lock_guard<std::mutex> guard(lock);
    Partition *p = find(n);
    if (p == nullptr || p->size < 4) return false;
    uint64_t start = 0, length = 0;
    blockOf(*p, 0, start, length);
    std::vector<uint8_t> block(length);
    if (!readAt(p->fd, block.data(), length, 0)) return false;
    block[0] = static_cast<uint8_t>(value >> 24);
    block[1] = static_cast<uint8_t>(value >> 16);
    block[2] = static_cast<uint8_t>(value >> 8);
    block[3] = static_cast<uint8_t>(value);
    return erase(*p, start, length) && program(*p, start, block.data(), length);
}

Counters counters(int n) {
    std::lock_guard<std::mutex> guard(lock);
    Partition *p = find(n);
    return p ? p->counters : Counters{};
}

void resetCounters() {
    std::lock_guard<std::mutex> guard(lock);
    for (auto &[n, p] : parts())
        p.counters = Counters{};
}

bool inject(int n, Op op, int error, long long after) {
    std::lock_guard<std::mutex> guard(lock);
    Partition *p = find(n);
    if (p == nullptr || error < 0 || after < 0) return false;
    switch (op) {
    case Op::Open:
        p->openError = error;
        break;
    case Op::Read:
        p->readError = error;
        p->readAfter = error == 0 ? -1 : after;
        break;
    case Op::Write:
        p->writeError = error;
        p->writeAfter = error == 0 ? -1 : after;
        break;
    }
    return true;
}

bool powerCut(int n, long long after) {
    std::lock_guard<std::mutex> guard(lock);
    Partition *p = find(n);
    if (p == nullptr) return false;
    p->cutAfter = after < 0 ? -1 : after;
    return true;
}

bool powerOn(int n) {
    std::lock_guard<std::mutex> guard(lock);
    Partition *p = find(n);
    if (p == nullptr) return false;
    p->powered = true;
    return true;
}

bool powered(int n) {
    std::lock_guard<std::mutex> guard(lock);
    Partition *p = find(n);
    return p != nullptr && p->powered;
}

void pace(uint32_t erase, uint32_t programMsValue) {
    std::lock_guard<std::mutex> guard(lock);
    eraseMs = erase;
    programMs = programMsValue;
}

void describe(std::string &out) {
    std::lock_guard<std::mutex> guard(lock);
    for (const auto &[n, p] : parts()) {
        uint8_t b[4] = {0, 0, 0, 0};
        readAt(p.fd, b, 4, 0);
        char line[160];
        std::snprintf(line, sizeof line,
                      "mtd %d %s size %llu word %02x%02x%02x%02x erases %ld writes %ld%s\n", n,
                      p.name.c_str(), static_cast<unsigned long long>(p.size), b[0], b[1], b[2], b[3],
                      p.counters.erases, p.counters.writes, p.powered ? "" : " unpowered");
        out += line;
    }
}

} // namespace sim::mtd
