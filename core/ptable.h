// The parameter table: owns every parameter object, finds them by name or by name
// prefix and index, hides those the product lacks, turns the changes that any task made
// into their side effects, and reads and writes the parameter file "/etc/params.dat"
// with its copy on the storage slot.
#pragma once

#include "core/param.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

struct ProductParams;

// Summary bits of Ptable::applyChanges.
enum : unsigned {
    ChangeSave = 0x1,    // the file must be saved
    ChangeNotify = 0x2,  // post the configuration-changed message to every task
    ChangeRestart = 0x4, // a change needs a restart
    ChangeAny = 0x80,    // some parameter changed
};

// Product feature mask of a product id (the value of "sw_features").
uint32_t productFeatureMask(unsigned productId);
// The products with port-key expiry, WebDAV, the monitoring log and remote syslog.
bool productHasExtras(unsigned productId);

class Ptable {
public:
    // The index argument of find that means "no index".
    static constexpr int NoIndex = INT32_MIN;
    // Names longer than this are never found.
    static constexpr int MaxNameLength = 60;
    // Longest line of the parameter file, without its line feed.
    static constexpr int MaxLineLength = 319;

    Ptable() = default;
    // A table over an array of parameters in strictly ascending strcmp order of names.
    Ptable(Param **items, int count) : count_(count), items_(items) {}
    Ptable(const Ptable &) = delete;
    Ptable &operator=(const Ptable &) = delete;

    // The parameter of that name (first length characters), with the index appended in
    // decimal unless it is NoIndex; null for a name over 60 characters, index 0, an
    // unknown name and a parameter absent on this product.
    Param *find(const char *name, int length, int index = NoIndex) const;
    Param *find(const char *name) const;
    // The highest number following the prefix (case-insensitively) in any name of a
    // parameter that is neither absent nor internal; 0 when none.
    int maxIndex(const char *prefix, int length) const;
    // Parameters flagged with none of mask | absent, and the i-th of them.
    int countVisible(uint32_t mask) const;
    Param *visibleAt(int i, uint32_t mask) const;
    Param **getItems(int &count) const {
        count = count_;
        return items_;
    }
    // Lets go of the parameters: the table is empty afterwards (freeParamTable).
    void forgetItems() {
        count_ = 0;
        items_ = nullptr;
    }

    // Marks the parameters the product lacks absent and sets the product counters.
    void applyProductFeatures(const ProductParams &product);
    void applyProductFeatures();

    // Acts on every changed parameter; the summary bits above.
    unsigned applyChanges();
    // applyChanges, then save "/etc/params.dat" when the summary asks for it.
    unsigned saveIfChanged();
    // Writes every saved parameter to the path (atomically: a temporary file in the same
    // directory renamed over it), then the WebDAV backup and the storage-slot copy.
    // 0, or -1 when the file could not be written (the old file is then intact) or the
    // slot copy failed.
    int save(const char *path);
    // Reads the file; 1 when it set at least one parameter, else 0.
    int load(const char *path);
    // Takes over the descriptor of an uploaded parameter file (sets it to -1); as load,
    // or -1 for a negative descriptor or one that cannot be read as a stream (closed).
    int loadFromFd(int &fd);
    // Reads parameter lines from the stream; 1 when at least one line set a parameter.
    int readFile(FILE *stream, bool fromUpload);
    // Removes "/etc/params.dat" (and sets the slot copy aside); 1 when removed.
    int reset();
    // Deletes every parameter (end of run).
    void destroyAll();

    // The text of the parameter file as save writes it.
    bool fileText(std::string &out) const;

    // The parameter file and the storage slot's directory; sysPath("/etc/params.dat")
    // and sysPath("/var/slot1") until set (tests point them elsewhere).
    void setPaths(const std::string &file, const std::string &slotDir);
    std::string filePath() const;
    std::string slotDir() const;

private:
    // The parameter of exactly that name, absent or not.
    Param *lookup(const char *key) const;
    template <class T> T *lookupAs(const char *key) const { return dynamic_cast<T *>(lookup(key)); }
    bool on(const char *key) const;
    int intValue(const char *key) const;
    bool listIs(const char *key, const char *keyword) const;
    bool stringSet(const char *key) const;
    bool moniOn(unsigned bits) const;

    int readLine(const char *line, size_t length);
    void backupNotification();
    void sideEffects(Param *p);
    int writeSlotCopy(const std::string &text);

    int count_ = 0;
    Param **items_ = nullptr;
    unsigned usbPorts_ = 0;
    std::recursive_mutex applyMutex_;
    mutable std::mutex pathMutex_;
    std::string file_;
    std::string slotDir_;
};

// The one parameter table of the daemon, with the whole catalogue, built on first use
// (and before main).
Ptable &ptable();
// Frees every parameter of the daemon's table; the table is empty afterwards. The last
// step of a stop, once no thread is left that could read a parameter.
void freeParamTable();

// Whether the name equals a row of the feature table whose test holds for the
// product's feature mask ("sw_features").
bool hasFeature(const char *name);
bool hasFeature(const char *name, uint32_t featureMask);

// Template texts of the product, software and firmware information; snprintf lengths.
int productInfo(const char *key, char *buffer, size_t size);
int productInfo(const ProductParams &product, const char *key, char *buffer, size_t size);
int softwareInfo(const char *key, char *buffer, size_t size);
int firmwareInfo(const char *key, char *buffer, size_t size);

// The software version word: version, release and subrelease.
constexpr uint32_t SoftwareVersionWord = 0x14010016;
// The build time shown as creation time (seconds since 1970).
constexpr int SoftwareCreationTime = 1686751221;

// Reads a dotted IPv4 address or a pattern with "*" (the packet-filter status page);
// with a description buffer writes " IpAddr:%s IpMask:%s" into it. True for four
// numbers or a wildcard.
bool parseAddressPattern(const char *text, uint32_t &address, uint32_t &mask, char *description,
                         size_t descriptionSize);

// The 128-byte header at the start of a firmware image. Multi-byte fields are
// big-endian except the fifteen compatibility words from offset 68, which are
// little-endian. The checks are the firmware update's (web/update.cpp).
struct ImageHeader {
    static constexpr size_t Size = 128;
    static constexpr uint32_t Magic = 0x5A4F484B;    // "ZOHK"
    static constexpr uint32_t TypeRtfs = 0x52544653; // "RTFS": the initramfs image
    static constexpr int CompatWords = 15;

    uint8_t bytes[128];
    // Zeroes the header; a given magic goes big-endian into bytes 0 to 3, a given type
    // into bytes 4 to 7.
    static void reset(ImageHeader *header, const uint32_t *magic = nullptr, const uint32_t *type = nullptr);

    uint32_t magic() const { return be32(0); }
    uint32_t type() const { return be32(4); }
    uint32_t crc() const { return be32(8); }
    uint32_t length() const { return be32(12); }
    int major() const { return bytes[32]; }
    int minor() const { return bytes[33]; }
    int third() const { return bytes[34] << 8 | bytes[35]; }
    // Compatibility word i (0 to 14): product id in the low 24 bits, hardware version
    // byte in the top 8.
    uint32_t compat(int i) const;
    // One compatibility word names the product id and the hardware version byte.
    bool supports(uint32_t productId, uint8_t hardware) const;
    // The compatibility check for this device (or the given product and hardware
    // byte): 0 when the image may be installed, else 255; the text says why, or (on
    // success) which version runs now.
    int check(char *text, size_t size) const;
    int check(char *text, size_t size, uint32_t productId, uint8_t hardware) const;

private:
    uint32_t be32(size_t at) const {
        return uint32_t(bytes[at]) << 24 | uint32_t(bytes[at + 1]) << 16 | uint32_t(bytes[at + 2]) << 8 |
               bytes[at + 3];
    }
};
