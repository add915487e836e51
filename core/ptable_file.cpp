// The parameter file "/etc/params.dat": one line " %*s = value" per saved parameter
// (the name right-aligned to the longest name), written atomically, with its copy on
// the storage slot; reading accepts leading blanks, blanks around "=", carriage
// returns, unknown names and two older name forms.

#include "core/ptable.h"

#include "core/monilog.h"
#include "core/platform.h"
#include "core/ptable_hooks.h"
#include "core/sysroot.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

// Serialises every write of the parameter file and of its slot copy, and the reset:
// two tasks saving at the same moment write one after the other.
std::mutex saveMutex;

bool writeAll(int fd, const char *data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Replaces the file at path by text: a temporary file in the same directory is written,
// synced, closed and renamed over it, so readers and a power cut see either the old or
// the new file, never a part. False (errno set, the old file untouched) on any failure.
bool writeFileAtomic(const std::string &path, const std::string &text) {
    std::vector<char> temp(path.begin(), path.end());
    static const char suffix[] = ".XXXXXX";
    temp.insert(temp.end(), suffix, suffix + sizeof suffix);
    int fd = mkstemp(temp.data());
    if (fd < 0) return false;
    bool ok = writeAll(fd, text.data(), text.size()) && fsync(fd) == 0;
    int error = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(temp.data(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(temp.data());
        errno = error;
        return false;
    }
    // The rename itself reaches the disk with the directory.
    std::string dir = path.substr(0, path.find_last_of('/') + 1);
    int dirFd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return true;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

} // namespace

void Ptable::setPaths(const std::string &file, const std::string &slotDir) {
    std::lock_guard<std::mutex> lock(pathMutex_);
    file_ = file;
    slotDir_ = slotDir;
}

std::string Ptable::filePath() const {
    std::lock_guard<std::mutex> lock(pathMutex_);
    return file_.empty() ? sysPath("/etc/params.dat") : file_;
}

std::string Ptable::slotDir() const {
    std::lock_guard<std::mutex> lock(pathMutex_);
    return slotDir_.empty() ? sysPath("/var/slot1") : slotDir_;
}

bool Ptable::fileText(std::string &out) const {
    int width = 0;
    for (int i = 0; i < count_; i++) {
        Param *p = items_[i];
        if (p != nullptr && !p->hasFlags(ParamAbsent | ParamTemporary))
            width = std::max(width, static_cast<int>(std::strlen(p->name())));
    }
    char *buffer = nullptr;
    size_t length = 0;
    FILE *stream = open_memstream(&buffer, &length);
    if (stream == nullptr) return false;
    for (int i = 0; i < count_; i++) {
        Param *p = items_[i];
        if (p == nullptr || p->hasFlags(ParamAbsent | ParamTemporary)) continue;
        std::fprintf(stream, " %*s = ", width, p->name());
        p->print(stream);
        std::fputc('\n', stream);
    }
    bool ok = !std::ferror(stream);
    if (std::fclose(stream) != 0) ok = false;
    if (ok) out.assign(buffer, length);
    std::free(buffer);
    return ok;
}

int Ptable::writeSlotCopy(const std::string &text) {
    PtableHooks &hooks = ptableHooks();
    const std::string dir = slotDir();
    const std::string dest = dir + "/params.dat";
    int state = hooks.storageSlotState != nullptr ? hooks.storageSlotState() : -1;
    if (state != 3) {
        if (moniOn(MoniErr | MoniPar))
            mprintf(MoniErr | MoniPar, __FILE__, __LINE__, " Parameter: backup to SD card to %s failed (%m).",
                    dest.c_str());
        return 0;
    }
    if (!writeFileAtomic(dest, text)) {
        if (moniOn(MoniErr | MoniPar))
            mprintf(MoniErr | MoniPar, __FILE__, __LINE__,
                    "Parameter: backup to SD card failed. Cannot open %s (%m).", dest.c_str());
        return -1;
    }
    if (hooks.writeDeviceInfoThrottled != nullptr) hooks.writeDeviceInfoThrottled(dir.c_str());
    platform().sync();
    if (moniOn(MoniPar))
        mprintf(MoniPar, __FILE__, __LINE__, "Parameter: backup to SD card successful (%s).", dest.c_str());
    return 0;
}

int Ptable::save(const char *path) {
    if (path == nullptr) return -1;
    std::lock_guard<std::mutex> lock(saveMutex);
    std::string text;
    if (!fileText(text) || !writeFileAtomic(path, text)) return -1;
    PtableHooks &hooks = ptableHooks();
    if (on("wdav_bupauto") && hooks.startWebdavBackup != nullptr) hooks.startWebdavBackup();
    if ((static_cast<uint32_t>(intValue("sw_features")) & ParamFeatSlot) && on("autoSync"))
        return writeSlotCopy(text);
    return 0;
}

int Ptable::load(const char *path) {
    int result = 0;
    if (path != nullptr) {
        if (FILE *stream = std::fopen(path, "re")) {
            result = readFile(stream, false);
            std::fclose(stream);
        }
    }
    // An old way to switch session keys on from the file.
    auto *sessKeys = lookupAs<BoolParam>("sessKeys");
    auto *anyName = lookupAs<StringParam>("any_name");
    if (sessKeys != nullptr && anyName != nullptr && sessKeys->isOff()) {
        if (anyName->getText() == "switchon") {
            sessKeys->set(1);
            anyName->setFromText("User", -1);
        }
    }
    return result;
}

int Ptable::loadFromFd(int &fd) {
    if (fd < 0) return -1;
    FILE *stream = fdopen(fd, "r");
    if (stream == nullptr) {
        close(fd);
        fd = -1;
        return -1;
    }
    fd = -1;
    int result = readFile(stream, true);
    std::fclose(stream);
    return result;
}

int Ptable::readFile(FILE *stream, bool fromUpload) {
    // Secrets in the daemon's own file are stored hashed already; an uploaded file
    // brings them in plain. No parameter of the catalogue is kept hashed, and a
    // parameter's hashed flag cannot be lifted from here, so both read alike.
    (void)fromUpload;
    if (stream == nullptr) return 0;
    int result = 0;
    char line[MaxLineLength + 1];
    for (;;) {
        // One line, bounded: a longer one is skipped whole, and so is one holding a
        // zero byte (no parameter text has one).
        size_t n = 0;
        bool overlong = false;
        bool zero = false;
        int c;
        while ((c = std::getc(stream)) != EOF && c != '\n') {
            if (n < static_cast<size_t>(MaxLineLength))
                line[n++] = static_cast<char>(c);
            else
                overlong = true;
            if (c == 0) zero = true;
        }
        if (c == EOF && n == 0 && !overlong) break;
        if (!overlong && !zero) {
            while (n > 0 && (line[n - 1] == '\r' || line[n - 1] == '\n'))
                n--;
            line[n] = '\0';
            if (n >= 4) result |= readLine(line, n);
        }
        if (c == EOF) break;
    }
    return result != 0 ? 1 : 0;
}

int Ptable::readLine(const char *line, size_t length) {
    const char *end = line + length;
    const char *name = line;
    while (name < end && isBlank(*name))
        name++;
    const char *c = name;
    while (c < end && *c != '=' && !isBlank(*c))
        c++;
    const int nameLength = static_cast<int>(c - name);
    if (nameLength == 0) return 0;
    Param *p = find(name, nameLength);
    if (p == nullptr && nameLength >= 7 && nameLength <= 32) {
        // Older names: "ip4vlan..." for the IP VLANs, "..._gate" for the routers.
        char key[64] = "";
        if (std::strncmp(name, "ip4vlan", 7) == 0)
            std::snprintf(key, sizeof key, "ipvlan%.*s", nameLength - 7, name + 7);
        else if (std::strncmp(c - 5, "_gate", 5) == 0)
            std::snprintf(key, sizeof key, "%.*s_router", nameLength - 5, name);
        if (key[0] != '\0') p = find(key, static_cast<int>(std::strlen(key)));
    }
    if (p == nullptr) return 0;
    const char *equals = static_cast<const char *>(std::memchr(c, '=', static_cast<size_t>(end - c)));
    if (equals == nullptr) return 0;
    const char *value = equals + 1;
    while (value < end && isBlank(*value))
        value++;
    const char *valueEnd = end;
    while (valueEnd > value && isBlank(valueEnd[-1]))
        valueEnd--;
    return p->setFromText(value, static_cast<int>(valueEnd - value));
}

int Ptable::reset() {
    std::lock_guard<std::mutex> lock(saveMutex);
    int removed = unlink(filePath().c_str()) == 0 ? 1 : 0;
    if (moniOn(MoniPar))
        mprintf(MoniPar, __FILE__, __LINE__, "Parameter: reset to default values successful.");
    if (on("autoSync")) {
        const std::string dir = slotDir();
        rename((dir + "/params.dat").c_str(), (dir + "/params.bup").c_str());
        platform().sync();
    }
    return removed;
}
