// File and directory helpers shared by the parameter store, the monitoring log, the
// web pages, the certificate store and the firmware update: anonymous temporary
// files, size/time/FAT archive bit of a file, copies with an optional CRC-32, a locked
// directory listing, removal of a directory's files, the walk over the certificate
// files and the read of the unfinished last line of a file.
//
// Paths given to these functions are used as they are: callers map fixed appliance
// paths through sysPath() first.
#pragma once

#include <dirent.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

// An anonymous temporary file ("/tmp/temp.XXXXXX", unlinked at once): it disappears
// with its last descriptor. -1 on failure (perror "mkstemp").
int tempFile();

// The size of the file in bytes, 1 for a directory, -1 when it cannot be stat'ed.
// timeBuf (timeBufSize bytes) receives its status-change time in local time as
// "%Y-%m-%d %H:%M". archive receives the FAT archive attribute (0x20); where the file
// cannot be opened or is not on a FAT file system this prints "fileSize" with the
// system error and leaves *archive as it was.
int64_t fileSize(const char *path, char *timeBuf = nullptr, size_t timeBufSize = 0, bool *archive = nullptr);

// Appends the file at source to the open descriptor dest in blocks of 4096 bytes until
// the end of the source; dest stays open (also on failure). crc (when given) receives
// the CRC-32 of the bytes copied. False when the source cannot be opened or read or
// a write fails.
bool copyFd(const char *source, int dest, uint32_t *crc = nullptr);

// Copies source to dest (created or truncated). The copy is mode 0600 when
// privateCopy is set or the source is not readable by others, else 0644. crc as for
// copyFd. A destination that is the source itself is refused. A failed copy may leave
// a partial destination.
bool copyFile(const char *source, const char *dest, bool privateCopy, uint32_t *crc = nullptr);

// Copies a certificate file (below "/etc/certs") to the storage slot "/var/slot1" when
// the product has the slot, "autoSync" is on and the slot is ready; true when copied.
bool copyToSdCard(const char *path);

// Entry filter: keeps names that are not empty and do not begin with '.'.
int skipDotEntries(const struct dirent *entry);

// A directory listing under its own lock: a scan takes the lock and keeps it until
// clear(), so one listing is never read by two tasks at once. The thread that holds
// the listing may scan again (its old listing is cleared first); a scan on any other
// thread waits, in steps of 50 ticks, until the holder has called clear(). name()
// and the entries belong to the holder.
class DirList {
public:
    using Filter = int (*)(const struct dirent *);
    using Compare = int (*)(const struct dirent **, const struct dirent **);

    DirList();
    ~DirList();
    DirList(const DirList &) = delete;
    DirList &operator=(const DirList &) = delete;

    // Lists the directory sorted by compare; returns the count (0 when the directory
    // cannot be read). Clears a listing this object still holds first. The scan reads
    // the directory through a descriptor: the process's working directory stays.
    int scan(const char *directory, Compare compare);
    // Sorted by status-change time, newest first.
    int scanNewestFirst(const char *directory);
    // Sub-directories first, each group in alphasort order.
    int scanDirsFirst(const char *directory);
    // The name of entry i; null outside 0..count - 1.
    const char *name(int i) const;
    // Frees the listing and releases the lock; does nothing on a thread that does not
    // hold the listing.
    void clear();
    // Unlinks every listed file of the directory (sub-directories stay); with onlyEmpty
    // only those of size 0 or less. False when the directory lists nothing.
    bool removeFiles(const char *directory, bool onlyEmpty);

    struct dirent **entries = nullptr;
    int count = -1;
    Filter filter = skipDotEntries;
    pthread_mutex_t lock;
    std::atomic<bool> locked{false};
    // The thread that holds the lock, while locked.
    std::atomic<pthread_t> owner{};

private:
    bool heldByCaller() const;
};

// Calls fn on every certificate file that exists, in this order: "cert_fpkey.pem",
// "cert_rpriv.pem", "cert_fsrv.pem", "cert_rcert.pem", "cert_req.pem",
// "cert_mime.pem", "cert.tmp" of "/etc/certs", then each "????????.0" hash link in
// "/etc/certs" and in "/etc/certs/802.1x". The appliance's own pair (cert_pkey.pem,
// cert_srv.pem) is not visited. fn gets the path as found on this system. The first
// call that returns false ends the walk with false; else sync() and true.
using CertFileFn = std::function<bool(const char *path)>;
bool forEachCertFile(const CertFileFn &fn);
// The same walk over a given certificate directory.
bool forEachCertFileIn(const char *certsDir, const CertFileFn &fn);

// Copies the certificate files named above that the directory holds into "/etc/certs"
// (the two key files as private copies), and the "????????.0" links of the directory
// and of its "802.1x" subdirectory into "/etc/certs" and "/etc/certs/802.1x". False when
// a link of the "802.1x" subdirectory could not be copied.
bool restore_certs_from_dir(const char *directory);
// The same into another certificate directory (for tests).
bool restoreCertsInto(const char *directory, const char *certsDir);

// Reads the last n bytes of the file into buf (n bytes) and leaves there, zero
// terminated, the text after the last newline: the final line of a file that is still
// being written or ends without a newline. Empty text when the file ends with a
// newline or at most one byte was read. False when the file is shorter than n bytes,
// the bytes hold no newline, or fewer than 2 bytes follow it.
bool readLastLine(int fd, char *buf, size_t n);
