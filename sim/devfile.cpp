#include "sim/devfile.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace sim {

int DeviceFile::ioctl(unsigned long, void *) {
    errno = ENOTTY;
    return -1;
}

ssize_t DeviceFile::read(void *, size_t) {
    errno = EINVAL;
    return -1;
}

ssize_t DeviceFile::write(const void *, size_t) {
    errno = EINVAL;
    return -1;
}

off_t DeviceFile::lseek(off_t, int) {
    errno = ESPIPE;
    return -1;
}

void *DeviceFile::mmap(size_t, int, int, off_t) {
    errno = ENODEV;
    return MAP_FAILED;
}

int DeviceFile::munmap(void *, size_t) {
    errno = EINVAL;
    return -1;
}

namespace {

std::mutex lock;
std::map<std::string, DeviceOpener> &paths() {
    static std::map<std::string, DeviceOpener> table;
    return table;
}
// Open simulated files by descriptor. shared_ptr: a call in progress keeps its file
// alive even when another thread closes the descriptor meanwhile.
std::map<int, std::shared_ptr<DeviceFile>> &files() {
    static std::map<int, std::shared_ptr<DeviceFile>> table;
    return table;
}
// Mappings made through a simulated file: start address -> (length, file).
std::map<void *, std::pair<size_t, std::shared_ptr<DeviceFile>>> &mappings() {
    static std::map<void *, std::pair<size_t, std::shared_ptr<DeviceFile>>> table;
    return table;
}

DeviceOpener findOpener(const std::string &path) {
    std::lock_guard<std::mutex> guard(lock);
    const DeviceOpener *best = nullptr;
    size_t bestLength = 0;
    for (const auto &[key, opener] : paths()) {
        bool match = key.back() == '/' ? path.compare(0, key.size(), key) == 0 : path == key;
        if (match && key.size() >= bestLength) {
            best = &opener;
            bestLength = key.size();
        }
    }
    return best ? *best : DeviceOpener();
}

std::shared_ptr<DeviceFile> findFile(int fd) {
    std::lock_guard<std::mutex> guard(lock);
    auto it = files().find(fd);
    return it == files().end() ? nullptr : it->second;
}

} // namespace

void registerDevicePath(const std::string &path, DeviceOpener opener) {
    std::lock_guard<std::mutex> guard(lock);
    paths()[path] = std::move(opener);
}

void unregisterDevicePath(const std::string &path) {
    std::lock_guard<std::mutex> guard(lock);
    paths().erase(path);
}

int devOpen(const char *path, int flags, mode_t mode) {
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    DeviceOpener opener = findOpener(path);
    if (!opener) return ::open(path, flags, mode);
    int fd = -1;
    std::unique_ptr<DeviceFile> file = opener(path, flags, fd);
    if (!file) return -1;
    std::lock_guard<std::mutex> guard(lock);
    files()[fd] = std::move(file);
    return fd;
}

int devClose(int fd) {
    std::shared_ptr<DeviceFile> file;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = files().find(fd);
        if (it != files().end()) {
            file = it->second;
            files().erase(it);
        }
    }
    if (!file) return ::close(fd);
    file->closed();
    return 0;
}

int devIoctl(int fd, unsigned long request, void *arg) {
    auto file = findFile(fd);
    return file ? file->ioctl(request, arg) : ::ioctl(fd, request, arg);
}

ssize_t devRead(int fd, void *buf, size_t n) {
    auto file = findFile(fd);
    return file ? file->read(buf, n) : ::read(fd, buf, n);
}

ssize_t devWrite(int fd, const void *buf, size_t n) {
    auto file = findFile(fd);
    return file ? file->write(buf, n) : ::write(fd, buf, n);
}

off_t devLseek(int fd, off_t offset, int whence) {
    auto file = findFile(fd);
    return file ? file->lseek(offset, whence) : ::lseek(fd, offset, whence);
}

void *devMmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
    auto file = findFile(fd);
    if (!file) return ::mmap(addr, length, prot, flags, fd, offset);
    void *p = file->mmap(length, prot, flags, offset);
    if (p != MAP_FAILED) {
        std::lock_guard<std::mutex> guard(lock);
        mappings()[p] = {length, file};
    }
    return p;
}

int devMunmap(void *addr, size_t length) {
    std::shared_ptr<DeviceFile> file;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = mappings().find(addr);
        if (it != mappings().end()) {
            file = it->second.second;
            mappings().erase(it);
        }
    }
    return file ? file->munmap(addr, length) : ::munmap(addr, length);
}

int openDeviceFiles() {
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<int>(files().size());
}

} // namespace sim
