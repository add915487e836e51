#include "notify/fatcheck.h"

#include "core/platform.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <vector>

namespace {

constexpr int SectorBytes = 512;
constexpr int EntryBytes = 32;
constexpr uint8_t AttrVolume = 0x08;
constexpr uint8_t AttrLongName = 0x0f;
constexpr uint64_t Fat12Limit = 4085;  // FAT12 below this many clusters
constexpr uint64_t Fat16Limit = 65524; // FAT16 at most this many
constexpr uint32_t FsInfoMagic1 = 0x41615252;
constexpr uint32_t FsInfoMagic2 = 0x61417272;

uint16_t le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void put16(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

struct PendingWrite {
    int64_t offset;
    std::vector<uint8_t> data;
};

// The descriptor, the error flag and the writes not yet applied of one check.
class Device {
public:
    explicit Device(int fd) : fd_(fd) {}
    ~Device() {
        if (fd_ >= 0) platform().close(fd_);
    }
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    // Reads n bytes at pos; pending writes that overlap the range show through. A short
    // or failed read sets the error flag and answers false.
    bool read(int64_t pos, void *buf, size_t n) {
        if (pos < 0 || platform().lseek(fd_, pos, SEEK_SET) != pos) return fail();
        auto *out = static_cast<uint8_t *>(buf);
        size_t done = 0;
        while (done < n) {
            ssize_t r = platform().read(fd_, out + done, n - done);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return fail();
            done += static_cast<size_t>(r);
        }
        for (const PendingWrite &w : writes_) {
            int64_t from = std::max(pos, w.offset);
            int64_t to =
                std::min(pos + static_cast<int64_t>(n), w.offset + static_cast<int64_t>(w.data.size()));
            if (from < to)
                std::memcpy(out + (from - pos), w.data.data() + (from - w.offset),
                            static_cast<size_t>(to - from));
        }
        return true;
    }

    void queue(int64_t pos, const void *data, size_t n) {
        const auto *p = static_cast<const uint8_t *>(data);
        writes_.push_back({pos, std::vector<uint8_t>(p, p + n)});
    }

    // Applies the pending writes in order; false when one did not go through whole.
    bool apply() {
        bool ok = true;
        for (const PendingWrite &w : writes_) {
            const int size = static_cast<int>(w.data.size());
            if (platform().lseek(fd_, w.offset, SEEK_SET) != w.offset) {
                std::printf("Seek to %ld failed: %m\n  Did not write %d bytes.\n",
                            static_cast<long>(w.offset), size);
                ok = false;
                continue;
            }
            ssize_t r;
            do
                r = platform().write(fd_, w.data.data(), w.data.size());
            while (r < 0 && errno == EINTR);
            if (r < 0) {
                std::printf("Writing %d bytes at %ld ret:%d failed:%m\n", size, static_cast<long>(w.offset),
                            static_cast<int>(r));
                ok = false;
            } else if (r != size) {
                std::printf("Wrote %d bytes instead of %d bytes at %ld.\n", static_cast<int>(r), size,
                            static_cast<long>(w.offset));
                ok = false;
            }
        }
        writes_.clear();
        return ok;
    }

    bool error() const { return error_; }

private:
    bool fail() {
        error_ = true;
        return false;
    }
    int fd_;
    bool error_ = false;
    std::vector<PendingWrite> writes_;
};

struct Geometry {
    uint32_t sectorSize = 0;
    uint64_t clusterSize = 0;
    uint32_t fats = 0;
    uint64_t fatLength = 0; // sectors
    int64_t fatStart = 0;
    int64_t rootStart = 0;
    uint32_t rootEntries = 0;
    int64_t dataStart = 0;
    uint64_t clusters = 0;
    int fatType = 0;
    int entryBits = 0;
    uint32_t rootCluster = 0;
    int64_t backupOffset = 0; // 0: none
    int64_t fsinfoOffset = 0; // 0: none
    uint32_t freeClusters = 0;
    int labelOffset = 0; // of the label in the boot sector
    int signatureOffset = 0;
};

// The differences between the boot sector and its backup, as items of at most 78
// characters a line.
void printDifferences(const uint8_t *boot, const uint8_t *backup) {
    std::printf("There are differences between boot sector and its backup.\n");
    std::printf("Differences: (offset:original/backup)\n  ");
    int column = 2;
    bool first = true;
    for (unsigned i = 0; i < SectorBytes; i++) {
        if (boot[i] == backup[i]) continue;
        char item[32];
        int n = std::snprintf(item, sizeof item, "%s%u:%02x/%02x", first ? "" : ", ", i, boot[i], backup[i]);
        if (column + n > 78) {
            std::printf("\n  ");
            column = 2;
            n = std::snprintf(item, sizeof item, "%u:%02x/%02x", i, boot[i], backup[i]);
        }
        std::fputs(item, stdout);
        column += n;
        first = false;
    }
    std::printf("\n  Not automatically fixing this.\n");
}

// The FAT32 backup boot sector and FSINFO sector: warnings, and the corrected FSINFO
// sector queued. False when one of them cannot be read.
bool checkFat32Sectors(Device &dev, const uint8_t *boot, Geometry &g, uint16_t reserved) {
    uint16_t backupSector = le16(boot + 50);
    if (backupSector != 0) {
        g.backupOffset = static_cast<int64_t>(backupSector) * g.sectorSize;
        uint8_t backup[SectorBytes];
        if (!dev.read(g.backupOffset, backup, sizeof backup)) return false;
        if (std::memcmp(boot, backup, SectorBytes) != 0) printDifferences(boot, backup);
    } else {
        std::printf("There is no backup boot sector.\n");
        if (reserved < 3)
            std::printf("And there is no space for creating one!\n");
        else
            std::printf("  Auto-creating backup boot block.\n");
    }

    uint16_t infoSector = le16(boot + 48);
    if (infoSector == 0) {
        std::printf("No FSINFO sector\n  Not automatically creating it.\n");
        return true;
    }
    g.fsinfoOffset = static_cast<int64_t>(infoSector) * g.sectorSize;
    uint8_t info[SectorBytes];
    if (!dev.read(g.fsinfoOffset, info, sizeof info)) return false;
    g.freeClusters = le32(info + 488);
    uint32_t magic1 = le32(info), magic2 = le32(info + 484);
    uint16_t magic3 = le16(info + 510);
    if (magic1 == FsInfoMagic1 && magic2 == FsInfoMagic2 && magic3 == 0xaa55) return true;
    std::printf("FSINFO sector has bad magic number(s):\n");
    if (magic1 != FsInfoMagic1)
        std::printf("  Offset %lu: 0x%08x != expected 0x%08x\n", 0UL, magic1, FsInfoMagic1);
    if (magic2 != FsInfoMagic2)
        std::printf("  Offset %lu: 0x%08x != expected 0x%08x\n", 484UL, magic2, FsInfoMagic2);
    if (magic3 != 0xaa55) std::printf("  Offset %lu: 0x%04x != expected 0x%04x\n", 510UL, magic3, 0xaa55u);
    std::printf("  Auto-correcting it.\n");
    put32(info, FsInfoMagic1);
    put32(info + 484, FsInfoMagic2);
    put16(info + 510, 0xaa55);
    put32(info + 488, 0xffffffffu);
    put32(info + 492, 2);
    g.freeClusters = 0xffffffffu;
    dev.queue(g.fsinfoOffset, info, sizeof info);
    return true;
}

// The geometry of the boot sector; false when it is impossible.
bool readGeometry(Device &dev, const uint8_t *boot, Geometry &g) {
    g.sectorSize = le16(boot + 11);
    g.clusterSize = static_cast<uint64_t>(g.sectorSize) * boot[13];
    g.fats = boot[16];
    if (g.sectorSize == 0 || g.sectorSize % SectorBytes != 0 || g.clusterSize == 0 || g.fats < 1 ||
        g.fats > 2)
        return false;
    const uint16_t reserved = le16(boot + 14);
    const uint64_t total = le16(boot + 19) != 0 ? le16(boot + 19) : le32(boot + 32);
    // The last sector of an even count must be there.
    if ((total & ~1ULL) < 1) return false;
    uint8_t last[SectorBytes];
    if (!dev.read(static_cast<int64_t>(((total & ~1ULL) - 1) * g.sectorSize), last, sizeof last))
        return false;

    const uint16_t fat16Length = le16(boot + 22);
    const uint32_t fat32Length = le32(boot + 36);
    g.fatLength = fat16Length != 0 ? fat16Length : fat32Length;
    g.fatStart = static_cast<int64_t>(reserved) * g.sectorSize;
    g.rootStart = g.fatStart + static_cast<int64_t>(g.fats * g.fatLength * g.sectorSize);
    g.rootEntries = le16(boot + 17);
    const uint64_t rootBytes =
        (static_cast<uint64_t>(g.rootEntries) * EntryBytes + g.sectorSize - 1) / g.sectorSize * g.sectorSize;
    g.dataStart = g.rootStart + static_cast<int64_t>(rootBytes);
    const uint64_t deviceBytes = total * g.sectorSize;
    if (static_cast<uint64_t>(g.dataStart) > deviceBytes) return false;
    g.clusters = (deviceBytes - static_cast<uint64_t>(g.dataStart)) / g.clusterSize;

    if (fat16Length != 0 || fat32Length == 0) {
        if (g.clusters > Fat16Limit) return false;
        g.fatType = g.clusters < Fat12Limit ? 12 : 16;
        g.entryBits = g.fatType;
        g.signatureOffset = 38;
        g.labelOffset = 43;
    } else {
        g.fatType = 32;
        g.entryBits = 28;
        g.signatureOffset = 66;
        g.labelOffset = 71;
        g.rootCluster = le32(boot + 44);
        if (g.rootCluster == 0 && g.rootEntries == 0) return false;
        if (g.rootCluster == 0)
            std::printf("Warning: FAT32 root dir not in cluster chain! Compatibility mode...\n");
        else if (g.rootEntries != 0)
            std::printf("Warning: FAT32 root dir is in a cluster chain, but a separate root dir\n"
                        "  area is defined. Cannot fix this easily.\n");
        if (g.clusters <= Fat16Limit)
            std::printf("Warning: Filesystem is FAT32 according to fat_length and fat32_length fields,\n"
                        "  but has only %lu clusters, less than the required minimum of %d.\n"
                        "  This may lead to problems on some systems.\n",
                        static_cast<unsigned long>(g.clusters), 65525);
        if (!checkFat32Sectors(dev, boot, g, reserved)) return false;
    }

    if (g.fatLength * g.sectorSize * 8 / static_cast<uint64_t>(g.entryBits) < g.clusters + 2) return false;
    bool rootThere = g.fatType == 32 ? g.rootCluster != 0 || (g.rootEntries != 0 && g.rootEntries % 16 == 0)
                                     : g.rootEntries % 16 == 0;
    return rootThere;
}

struct RootSearch {
    bool found = false; // a label entry
    int64_t slot = -1;  // the label entry, else the first never-used entry
    uint8_t entry[EntryBytes] = {};
};

// Scans the root directory (FAT32: its first cluster) for the volume-label entry.
RootSearch searchRoot(Device &dev, const Geometry &g) {
    RootSearch result;
    int64_t start;
    uint64_t bytes;
    if (g.fatType == 32 && g.rootCluster != 0) {
        if (g.rootCluster < 2 || g.rootCluster - 2 >= g.clusters) {
            uint8_t probe;
            dev.read(-1, &probe, 1); // an impossible cluster counts as a failed read
            return result;
        }
        start = g.dataStart + static_cast<int64_t>((g.rootCluster - 2) * g.clusterSize);
        bytes = g.clusterSize;
    } else {
        start = g.rootStart;
        bytes = static_cast<uint64_t>(g.rootEntries) * EntryBytes;
    }
    uint8_t chunk[4096];
    for (uint64_t done = 0; done < bytes;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof chunk, bytes - done));
        int64_t at = start + static_cast<int64_t>(done);
        if (!dev.read(at, chunk, n)) return result;
        for (size_t i = 0; i + EntryBytes <= n; i += EntryBytes) {
            const uint8_t *e = chunk + i;
            if (e[0] == 0 && e[11] == 0) {
                result.slot = at + static_cast<int64_t>(i);
                return result;
            }
            if (e[11] == AttrLongName || e[0] < 0x20 || e[0] >= 0x7f) continue;
            if (e[11] & AttrVolume) {
                result.found = true;
                result.slot = at + static_cast<int64_t>(i);
                std::memcpy(result.entry, e, EntryBytes);
                return result;
            }
        }
        done += n;
    }
    return result;
}

// The directory entry of a volume label, stamped with the local time.
void makeLabelEntry(uint8_t *e, const char *label) {
    std::memset(e, 0, EntryBytes);
    std::memcpy(e, label, FatLabelLength);
    e[11] = AttrVolume;
    time_t now = applianceTime();
    struct tm local {};
    if (now < 0 || localtime_r(&now, &local) == nullptr) return;
    int year = std::clamp(local.tm_year + 1900, 1980, 2107);
    put16(e + 22, static_cast<uint32_t>(local.tm_hour * 2048 + local.tm_min * 32 + local.tm_sec / 2));
    put16(e + 24, static_cast<uint32_t>((year - 1980) * 512 + (local.tm_mon + 1) * 32 + local.tm_mday));
}

} // namespace

int fat_check_label(const char *device, char *label) {
    if (device == nullptr || label == nullptr) return 0;
    const bool writing = label[0] != '\0';
    if (writing && std::strlen(label) > FatLabelLength) {
        std::printf("makelabel: labels can be no longer than 11 characters\n");
        return 0;
    }
    int fd = platform().open(device, (writing ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) return 0;
    Device dev(fd);

    uint8_t boot[SectorBytes];
    Geometry g;
    if (!dev.read(0, boot, sizeof boot) || !readGeometry(dev, boot, g)) return 0;

    if (writing) {
        char padded[FatLabelLength];
        std::memset(padded, ' ', sizeof padded);
        std::memcpy(padded, label, std::strlen(label));
        if (!dev.read(0, boot, sizeof boot)) return 0;
        if (boot[g.signatureOffset] != 0x29) {
            boot[g.signatureOffset] = 0x29;
            put32(boot + g.signatureOffset + 1, 0);
            const char *type = g.fatType == 12 ? "FAT12   " : g.fatType == 16 ? "FAT16   " : "FAT32   ";
            std::memcpy(boot + g.labelOffset + FatLabelLength, type, 8);
        }
        std::memcpy(boot + g.labelOffset, padded, sizeof padded);
        dev.queue(0, boot, sizeof boot);
        if (g.fatType == 32 && g.backupOffset != 0) dev.queue(g.backupOffset, boot, sizeof boot);
        RootSearch root = searchRoot(dev, g);
        if (dev.error()) return 0;
        if (root.slot >= 0) {
            uint8_t entry[EntryBytes];
            makeLabelEntry(entry, padded);
            dev.queue(root.slot, entry, sizeof entry);
        }
        return dev.apply() ? 1 : 0;
    }

    char found[FatLabelLength + 1] = {};
    if (boot[g.signatureOffset] == 0x29) std::memcpy(found, boot + g.labelOffset, FatLabelLength);
    RootSearch root = searchRoot(dev, g);
    if (dev.error()) return 0;
    if (root.found) std::memcpy(found, root.entry, FatLabelLength);
    bool blank = true;
    for (int i = 0; i < FatLabelLength; i++)
        if (found[i] != ' ' && found[i] != '\0') blank = false;
    if (blank)
        std::memcpy(label, "NO NAME    ", FatLabelLength + 1);
    else
        std::memcpy(label, found, FatLabelLength + 1);
    return 1;
}
