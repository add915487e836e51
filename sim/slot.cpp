#include "sim/slot.h"

#include "core/sysroot.h"
#include "sim/control.h"
#include "sim/devfile.h"
#include "sim/standins.h"
#include "sim/usb_internal.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace sim {
namespace {

namespace fs = std::filesystem;

constexpr off_t SectorBytes = 512;
constexpr size_t MaxCid = 32;
constexpr size_t MaxName = 28;

// One inserted card. Its devices keep it alive; once removed it answers EIO.
struct Card {
    std::string image;
    int fd = -1;
    bool readOnly = false;
    off_t size = 0;      // whole card, whole sectors
    off_t partStart = 0; // first partition (0 when there is no partition table)
    off_t partSize = 0;
    std::atomic<bool> present{true};
    ~Card() {
        if (fd >= 0) ::close(fd);
    }
};

// A file of the mounted tree as it was last taken from or written to the card.
struct Seen {
    bool directory = false;
    off_t size = 0;
    int64_t ctimeNs = 0;
};

struct Mount {
    std::string target;
    std::shared_ptr<Card> card; // null once the card is gone: nothing is written back
    off_t offset = 0;
    bool readWrite = false;
    std::map<std::string, Seen> seen; // relative path -> state
};

std::mutex lock;
std::shared_ptr<Card> card;
std::unique_ptr<Mount> mounted;
std::atomic<int> rawWrites{0};

std::string wholePath() {
    return sysPath("/dev/mmcblk0");
}
std::string partPath() {
    return sysPath("/dev/mmcblk0p1");
}

uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The first partition of an MBR: a sector that ends in 55 AA, does not begin like a FAT
// boot sector (jump instruction) and whose first entry lies inside the card.
bool firstPartition(const uint8_t *mbr, off_t cardSize, off_t &start, off_t &size) {
    if (mbr[510] != 0x55 || mbr[511] != 0xaa || mbr[0] == 0xeb || mbr[0] == 0xe9) return false;
    const uint8_t *e = mbr + 446;
    if ((e[0] != 0 && e[0] != 0x80) || e[4] == 0) return false;
    off_t first = static_cast<off_t>(le32(e + 8)) * SectorBytes;
    off_t count = static_cast<off_t>(le32(e + 12)) * SectorBytes;
    if (first <= 0 || count <= 0 || first + count > cardSize) return false;
    start = first;
    size = count;
    return true;
}

bool writeText(const std::string &path, const std::string &text) {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    bool ok = std::fputs(text.c_str(), f) >= 0;
    return std::fclose(f) == 0 && ok;
}

void writePartitions(const Card *c) {
    std::string text = "major minor  #blocks  name\n\n";
    if (c != nullptr) {
        char line[96];
        std::snprintf(line, sizeof line, " 179        0 %11lld mmcblk0\n",
                      static_cast<long long>(c->size / 1024));
        text += line;
        if (c->partSize > 0) {
            std::snprintf(line, sizeof line, " 179        1 %11lld mmcblk0p1\n",
                          static_cast<long long>(c->partSize / 1024));
            text += line;
        }
    }
    writeText(sysPath("/proc/partitions"), text);
}

std::string blockUevent(const char *action, const char *name, int minor, const char *type) {
    std::string devpath = "/devices/platform/mvsdio/mmc_host/mmc0/mmc0:0001/block/mmcblk0";
    if (std::strcmp(name, "mmcblk0") != 0) devpath += std::string("/") + name;
    std::vector<std::string> vars = {std::string("ACTION=") + action,
                                     "DEVPATH=" + devpath,
                                     "SUBSYSTEM=block",
                                     "MAJOR=179",
                                     "MINOR=" + std::to_string(minor),
                                     std::string("DEVNAME=") + name,
                                     std::string("DEVTYPE=") + type};
    std::string msg = std::string(action) + "@" + devpath;
    msg.push_back('\0');
    for (const auto &v : vars) {
        msg += v;
        msg.push_back('\0');
    }
    return msg;
}

void sendBlockUevent(const char *action, const char *name, int minor, const char *type) {
    usb::sendUevent(blockUevent(action, name, minor, type));
}

// One block device of the card: the whole card or its partition.
class CardFile : public DeviceFile {
public:
    CardFile(std::shared_ptr<Card> c, off_t base, off_t size, bool writable, int fd)
        : card_(std::move(c)), base_(base), size_(size), writable_(writable), fd_(fd) {}

    ssize_t read(void *buf, size_t n) override {
        if (!card_->present) return fail(EIO);
        if (pos_ >= size_) return 0;
        size_t take = static_cast<size_t>(std::min<off_t>(static_cast<off_t>(n), size_ - pos_));
        ssize_t r = ::pread(card_->fd, buf, take, base_ + pos_);
        if (r > 0) pos_ += r;
        return r;
    }

    ssize_t write(const void *buf, size_t n) override {
        if (!writable_) return fail(EBADF);
        if (!card_->present) return fail(EIO);
        if (n == 0) return 0;
        if (pos_ >= size_) return fail(ENOSPC);
        {
            std::lock_guard<std::mutex> guard(lock);
            if (mounted && mounted->readWrite && mounted->card == card_) rawWrites++;
        }
        size_t take = static_cast<size_t>(std::min<off_t>(static_cast<off_t>(n), size_ - pos_));
        ssize_t r = ::pwrite(card_->fd, buf, take, base_ + pos_);
        if (r > 0) pos_ += r;
        return r;
    }

    off_t lseek(off_t offset, int whence) override {
        if (!card_->present) return fail(EIO);
        off_t from = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? pos_ : whence == SEEK_END ? size_ : -1;
        if (from < 0) return fail(EINVAL);
        if ((offset > 0 && from > size_ - offset) || from + offset < 0 || from + offset > size_)
            return fail(EINVAL);
        pos_ = from + offset;
        return pos_;
    }

    void closed() override { ::close(fd_); }

private:
    static int fail(int error) {
        errno = error;
        return -1;
    }
    std::shared_ptr<Card> card_;
    off_t base_, size_, pos_ = 0;
    bool writable_;
    int fd_;
};

DeviceOpener opener(bool partition) {
    return [partition](const std::string &, int flags, int &fd) -> std::unique_ptr<DeviceFile> {
        std::shared_ptr<Card> c;
        {
            std::lock_guard<std::mutex> guard(lock);
            c = card;
        }
        if (!c || (partition && c->partSize == 0)) {
            errno = ENXIO;
            return nullptr;
        }
        bool writable = (flags & O_ACCMODE) != O_RDONLY;
        if (writable && c->readOnly) {
            errno = EROFS;
            return nullptr;
        }
        fd = ::eventfd(0, EFD_CLOEXEC);
        if (fd < 0) return nullptr;
        off_t base = partition ? c->partStart : 0;
        off_t size = partition ? c->partSize : c->size;
        return std::make_unique<CardFile>(c, base, size, writable, fd);
    };
}

// Runs an mtools command on the card's FAT at offset; its exit status (-1 when it could
// not run). Its output goes nowhere.
int mtools(const std::vector<std::string> &words, const Card &c, off_t offset) {
    std::vector<std::string> args = {words[0], "-i", c.image + "@@" + std::to_string(offset)};
    args.insert(args.end(), words.begin() + 1, words.end());
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = {"MTOOLS_SKIP_CHECK=1", "MTOOLSRC=/dev/null", "LC_ALL=C.UTF-8"};
    {
        // The daemon's time zone, which its NTP task may be changing.
        std::lock_guard<std::mutex> lock(environmentLock());
        if (const char *path = std::getenv("PATH")) env.push_back(std::string("PATH=") + path);
        if (const char *tz = std::getenv("TZ")) env.push_back(std::string("TZ=") + tz);
    }
    std::vector<char *> envp;
    for (auto &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd < 3; fd++)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int64_t ctimeNs(const struct stat &st) {
    return static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

// The tree below the mount target: relative path -> state.
std::map<std::string, Seen> scanTree(const std::string &target) {
    std::map<std::string, Seen> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(target, ec), end; !ec && it != end; it.increment(ec)) {
        struct stat st;
        if (::lstat(it->path().c_str(), &st) != 0) continue;
        Seen s;
        s.directory = S_ISDIR(st.st_mode);
        if (!s.directory && !S_ISREG(st.st_mode)) continue; // FAT holds nothing else
        s.size = st.st_size;
        s.ctimeNs = ctimeNs(st);
        out[fs::relative(it->path(), target, ec).string()] = s;
    }
    return out;
}

// Writes what changed in the tree since it was last taken back to the card.
void writeBackLocked(Mount &m) {
    if (!m.readWrite || !m.card || !m.card->present) return;
    const Card &c = *m.card;
    std::map<std::string, Seen> now = scanTree(m.target);
    // New directories (parents sort before their children), new or changed files.
    for (const auto &[path, s] : now) {
        auto old = m.seen.find(path);
        if (s.directory) {
            if (old == m.seen.end() || !old->second.directory) mtools({"mmd", "::/" + path}, c, m.offset);
        } else if (old == m.seen.end() || old->second.size != s.size || old->second.ctimeNs != s.ctimeNs) {
            mtools({"mcopy", "-o", "-m", m.target + "/" + path, "::/" + path}, c, m.offset);
        }
    }
    // Removed files, then removed directories deepest first.
    for (auto it = m.seen.rbegin(); it != m.seen.rend(); ++it) {
        if (now.count(it->first) != 0) continue;
        mtools({it->second.directory ? "mrd" : "mdel", "::/" + it->first}, c, m.offset);
    }
    m.seen = std::move(now);
}

std::string cmdSlot(const std::vector<std::string> &args, std::string &out) {
    const char *usage = "usage: slot insert IMAGE [ro] [cid=CID] [name=NAME] | remove | state";
    if (args.size() < 2) return usage;
    if (args[1] == "insert") {
        if (args.size() < 3) return usage;
        bool readOnly = false;
        std::string cid = "035344534431364780a1b2c3d40137e1", name = "SD16G";
        for (size_t i = 3; i < args.size(); i++) {
            if (args[i] == "ro")
                readOnly = true;
            else if (args[i].compare(0, 4, "cid=") == 0)
                cid = args[i].substr(4);
            else if (args[i].compare(0, 5, "name=") == 0)
                name = args[i].substr(5);
            else
                return usage;
        }
        return slotInsert(args[2], readOnly, cid, name);
    }
    if (args.size() != 2) return usage;
    if (args[1] == "remove") return slotRemove();
    if (args[1] == "state") {
        slotDescribe(out);
        return "";
    }
    return usage;
}

bool printable(const std::string &text) {
    for (unsigned char ch : text)
        if (ch < 0x20 || ch >= 0x7f) return false;
    return true;
}

} // namespace

std::string slotInsert(const std::string &image, bool readOnly, const std::string &cid,
                       const std::string &name) {
    if (cid.size() > MaxCid || !printable(cid)) return "bad cid (at most 32 printable characters)";
    if (name.size() > MaxName || !printable(name)) return "bad name (at most 28 printable characters)";
    auto c = std::make_shared<Card>();
    c->image = image;
    c->readOnly = readOnly;
    c->fd = ::open(image.c_str(), (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    if (c->fd < 0) return "cannot open " + image + ": " + std::strerror(errno);
    struct stat st;
    if (::fstat(c->fd, &st) != 0 || !S_ISREG(st.st_mode)) return "not a regular file: " + image;
    c->size = st.st_size / SectorBytes * SectorBytes;
    if (c->size == 0) return "image smaller than one sector: " + image;
    uint8_t mbr[SectorBytes];
    if (::pread(c->fd, mbr, sizeof mbr, 0) == SectorBytes)
        firstPartition(mbr, c->size, c->partStart, c->partSize);

    std::lock_guard<std::mutex> guard(lock);
    if (card) return "a card is inserted already";
    card = c;
    // The block devices and the partition list first, the card's sysfs directory (what
    // the daemon looks for) last and whole, as the kernel has it when it announces the
    // card: a scan never finds half a card.
    registerDevicePath(wholePath(), opener(false));
    if (c->partSize > 0) registerDevicePath(partPath(), opener(true));
    writePartitions(c.get());
    const std::string block = sysPath("/sys/block/mmcblk0"), staged = sysPath("/sys/block/.mmcblk0");
    std::error_code ec;
    fs::remove_all(staged, ec);
    fs::remove_all(block, ec);
    writeText(staged + "/device/cid", cid + "\n");
    writeText(staged + "/device/name", name + "\n");
    fs::rename(staged, block, ec);
    sendBlockUevent("add", "mmcblk0", 0, "disk");
    if (c->partSize > 0) sendBlockUevent("add", "mmcblk0p1", 1, "partition");
    return "";
}

std::string slotRemove() {
    std::lock_guard<std::mutex> guard(lock);
    if (!card) return "no card inserted";
    card->present = false;
    bool partitioned = card->partSize > 0;
    card.reset();
    // A mount of the card stays until the daemon unmounts it, but nothing of it reaches
    // the image any more.
    if (mounted) mounted->card.reset();
    std::error_code ec;
    fs::remove_all(sysPath("/sys/block/mmcblk0"), ec);
    unregisterDevicePath(wholePath());
    unregisterDevicePath(partPath());
    writePartitions(nullptr);
    if (partitioned) sendBlockUevent("remove", "mmcblk0p1", 1, "partition");
    sendBlockUevent("remove", "mmcblk0", 0, "disk");
    return "";
}

void slotDescribe(std::string &out) {
    std::lock_guard<std::mutex> guard(lock);
    out += "inserted " + std::string(card ? "1" : "0") + "\n";
    if (card) {
        out += "image " + card->image + "\n";
        out += "readonly " + std::string(card->readOnly ? "1" : "0") + "\n";
        out += "partitioned " + std::string(card->partSize > 0 ? "1" : "0") + "\n";
    }
    out += "mounted " + std::string(mounted ? "1" : "0") + "\n";
    if (mounted) out += "mode " + std::string(mounted->readWrite ? "rw" : "ro") + "\n";
    out += "raw_writes " + std::to_string(rawWrites.load()) + "\n";
}

int slotMount(const char *source, const char *target, unsigned long flags) {
    if (source == nullptr || target == nullptr) {
        errno = EFAULT;
        return -1;
    }
    std::lock_guard<std::mutex> guard(lock);
    const bool partition = card && card->partSize > 0 && partPath() == source;
    if (!card || (!partition && wholePath() != source)) {
        errno = ENOENT;
        return -1;
    }
    if (mounted) {
        errno = EBUSY;
        return -1;
    }
    const bool readWrite = (flags & MS_RDONLY) == 0;
    if (readWrite && card->readOnly) {
        errno = EROFS;
        return -1;
    }
    const off_t offset = partition ? card->partStart : 0;
    if (mtools({"minfo", "::"}, *card, offset) != 0) {
        errno = EINVAL;
        return -1;
    }
    // The tmpfs lives in the daemon's own mount namespace (the test harness runs it in
    // one); never in the namespace of the machine's first process.
    struct stat own, first;
    if (::stat("/proc/self/ns/mnt", &own) == 0 && ::stat("/proc/1/ns/mnt", &first) == 0 &&
        own.st_ino == first.st_ino) {
        errno = EPERM;
        return -1;
    }
    std::string options = "mode=0755,size=" + std::to_string(partition ? card->partSize : card->size);
    if (::mount("slot", target, "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) return -1;
    auto m = std::make_unique<Mount>();
    m->target = target;
    m->card = card;
    m->offset = offset;
    m->readWrite = readWrite;
    mtools({"mcopy", "-s", "-m", "-n", "::*", m->target + "/"}, *card, offset);
    m->seen = scanTree(m->target);
    if (!readWrite &&
        ::mount("slot", target, "tmpfs", MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr) != 0) {
        int saved = errno;
        ::umount2(target, MNT_DETACH);
        errno = saved;
        return -1;
    }
    mounted = std::move(m);
    return 0;
}

int slotUmount2(const char *target, int) {
    std::lock_guard<std::mutex> guard(lock);
    if (target == nullptr || !mounted || mounted->target != target) {
        errno = EINVAL;
        return -1;
    }
    writeBackLocked(*mounted);
    if (::umount2(target, MNT_DETACH) != 0) return -1;
    mounted.reset();
    return 0;
}

void slotSync() {
    std::lock_guard<std::mutex> guard(lock);
    if (mounted) writeBackLocked(*mounted);
}

void slotColdplug(const std::function<void(const std::vector<std::string> &)> &fn) {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::string> events;
    if (card) {
        events.push_back(blockUevent("add", "mmcblk0", 0, "disk"));
        if (card->partSize > 0) events.push_back(blockUevent("add", "mmcblk0p1", 1, "partition"));
    }
    fn(events);
}

void slotInstall() {
    addCommand("slot", "slot insert IMAGE [ro] [cid=CID] [name=NAME] | remove | state: the SD card", cmdSlot);
}

void slotUninstall() {
    bool inserted;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (mounted) {
            writeBackLocked(*mounted);
            ::umount2(mounted->target.c_str(), MNT_DETACH);
            mounted.reset();
        }
        inserted = card != nullptr;
    }
    if (inserted) slotRemove();
}

namespace {
StandIn slotStandIn(
    "slot",
    [] {
        slotInstall();
        return 0;
    },
    [] { slotUninstall(); });
} // namespace

} // namespace sim
