// The firmware update: image checks, the update status, the task "Quill Falcon", the
// flash write and the boot confirmation, and the update pages.

#include "web/update.h"

#include "core/crc32.h"
#include "core/master.h"
#include "core/param.h"
#include "core/platform.h"
#include "core/ptable.h"
#include "core/ptable_hooks.h"
#include "core/sysinfo.h"
#include "core/sysroot.h"
#include "core/task.h"
#include "core/utils_file.h"
#include "web/http.h"
#include "web/pages.h"
#include "web/webtext.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t BlockSize = 16 * 1024;
constexpr size_t InfoMax = 255; // the information text holds 256 bytes
constexpr int NotifyParamBackupEvent = 0x40000000;
const char *const FlashDevice = "/dev/mtdblock1";
const char *const BootDevice = "/dev/mtdblock0";

// The one update status. Pages, the task and the mail command read and write it under
// its lock; a new update claims it (Prenatal or Error to Alive) in one step, so two
// updates never run at once.
struct Status {
    std::mutex lock;
    UpdateStatus value;
};
Status &status() {
    static Status s;
    return s;
}

void setState(int state) {
    std::lock_guard<std::mutex> g(status().lock);
    status().value.state = state;
}

void setProgress(int progress) {
    std::lock_guard<std::mutex> g(status().lock);
    status().value.progress = progress;
}

void setInfo(const std::string &info) {
    std::lock_guard<std::mutex> g(status().lock);
    status().value.info = info.substr(0, InfoMax);
}

void fail(int error, int state = UpdateError) {
    std::lock_guard<std::mutex> g(status().lock);
    status().value.error = error;
    status().value.state = state;
}

// Appends a text from outside (a file name) to the information text: HTML-escaped, '|'
// (the separator of the status answer) too, never cutting an entity.
void appendEscaped(std::string &text, const std::string &name) {
    for (char ch : name) {
        std::string piece = ch == '|' ? std::string("&#124;") : htmlEscaped(std::string(1, ch).c_str());
        if (ch == '\r' || ch == '\n') piece = " ";
        if (text.size() + piece.size() > InfoMax) break;
        text += piece;
    }
}

bool readAll(int fd, void *buf, size_t n) {
    auto *p = static_cast<uint8_t *>(buf);
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::read(fd, p + done, n - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

// Writes one big-endian status word at offset 0 of an open flash device.
bool writeWord(int dev, uint32_t word) {
    uint8_t b[4] = {static_cast<uint8_t>(word >> 24), static_cast<uint8_t>(word >> 16),
                    static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)};
    return platform().lseek(dev, 0, SEEK_SET) == 0 && platform().write(dev, b, 4) == 4;
}

// The flash write of an initramfs image: the status word erased, the header and data
// from offset 4, then BS_UPDATE. Returns UpdateRestart, or UpdateError with errno set.
int writeInitramfs(int fd, const ImageHeader &header, std::vector<uint8_t> &buffer) {
    if (::lseek(fd, 0, SEEK_SET) != 0) return UpdateError;
    std::string device = sysPath(FlashDevice);
    int dev = platform().open(device.c_str(), O_WRONLY | O_SYNC | O_CLOEXEC, 0644);
    if (dev < 0) return UpdateError;
    auto failed = [dev](int error) {
        platform().close(dev);
        errno = error;
        return UpdateError;
    };
    const uint64_t total = ImageHeader::Size + static_cast<uint64_t>(header.length());
    // Nothing is written unless the whole image fits behind the status word.
    uint64_t room = 0;
    if (platform().ioctl(dev, BLKGETSIZE64, &room) != 0) return failed(errno);
    if (total + 4 > room) return failed(EFBIG);
    if (!writeWord(dev, BootErased)) return failed(errno ? errno : EIO);
    uint64_t remaining = total;
    while (remaining > 0) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(remaining, buffer.size()));
        if (!readAll(fd, buffer.data(), n)) return failed(errno ? errno : EIO);
        errno = 0;
        ssize_t w = platform().write(dev, buffer.data(), n);
        if (w != static_cast<ssize_t>(n)) return failed(w < 0 && errno ? errno : EIO);
        remaining -= n;
        setProgress(static_cast<int>(100 - remaining * 100 / total));
    }
    std::printf("ZOPT_TYPE_INITRAMFS written to :%s size:%d \n", FlashDevice, static_cast<int>(total));
    errno = 0;
    if (!writeWord(dev, BootUpdate)) return failed(errno ? errno : EIO);
    std::printf("ZOPT_TYPE_INITRAMFS write BootStatus %s = BS_UPDATE \n", FlashDevice);
    std::fflush(stdout);
    if (platform().close(dev) != 0) return UpdateError;
    shutdownType = ShutdownCold;
    return UpdateRestart;
}

// Hands a copy of the parameter file to the notification task as the backup of the
// update's settings, when a receiver asked for parameter backups.
void sendParameterBackup() {
    PtableHooks &hooks = ptableHooks();
    if (hooks.notifyPresent == nullptr || !hooks.notifyPresent()) return;
    Param *first = ptable().find("notibup_1"), *second = ptable().find("notibup_2");
    if (!(first != nullptr && first->isOn()) && !(second != nullptr && second->isOn())) return;
    int copy = tempFile();
    if (copy < 0) return;
    if (copyFd(ptable().filePath().c_str(), copy, nullptr) && ::lseek(copy, 0, SEEK_SET) == 0 &&
        hooks.notifyAddEvent != nullptr && hooks.notifyAddEvent(NotifyParamBackupEvent, copy) > 0) {
        if (hooks.notifyPostEvent != nullptr) hooks.notifyPostEvent(NotifyParamBackupEvent, -1);
        return;
    }
    ::close(copy);
}

// The update's work on a claimed status; the state it ends in. With restart set a
// successful write starts the cold restart.
int updateWork(int fd, bool restart) {
    setInfo("");
    PtableHooks &hooks = ptableHooks();
    if (hooks.displayPresent != nullptr && hooks.displayPresent() && hooks.displayShow != nullptr)
        hooks.displayShow('D', 'L', 0x30);
    std::string name;
    {
        std::lock_guard<std::mutex> g(status().lock);
        if (status().value.state != UpdateAlive) return status().value.state;
        name = status().value.fileName;
    }
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) {
        setInfo(std::strerror(fd < 0 ? EBADF : errno));
        fail(UpdateErrorUnexaminable);
        return UpdateError;
    }
    std::vector<uint8_t> buffer(BlockSize);
    setState(UpdateVerifying);
    ImageHeader header;
    if (!readAll(fd, header.bytes, ImageHeader::Size) || header.magic() != ImageHeader::Magic) {
        fail(UpdateErrorImage);
        return UpdateError;
    }
    uint32_t crc = 0;
    bool complete = true;
    for (uint64_t left = header.length(); left > 0;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
        if (!readAll(fd, buffer.data(), n)) {
            complete = false;
            break;
        }
        crc = crc32Update(crc, buffer.data(), n);
        left -= n;
    }
    if (!complete || crc != header.crc()) {
        fail(UpdateErrorImage);
        return UpdateError;
    }
    char text[InfoMax + 1];
    int verdict = header.check(text, sizeof text);
    std::string info = text;
    if (verdict != 0) {
        setInfo(info);
        fail(verdict);
        return UpdateError;
    }
    if (!name.empty()) {
        appendEscaped(info, name);
    } else {
        char version[40];
        std::snprintf(version, sizeof version, "%d.%d.%d", header.major(), header.minor(), header.third());
        info += version;
    }
    setInfo(info);
    sendParameterBackup();
    setState(UpdateWorking);
    int result = UpdateError;
    errno = 0;
    if (::lseek(fd, ImageHeader::Size, SEEK_SET) == static_cast<off_t>(ImageHeader::Size) &&
        header.type() == ImageHeader::TypeRtfs)
        result = writeInitramfs(fd, header, buffer);
    if (result == UpdateError) {
        // The status keeps the failure: the information text says what the system
        // reported, and the device keeps running the image it has.
        int error = errno ? errno : EIO;
        std::printf("ZOPT_TYPE_INITRAMFS write to %s failed: %s\n", FlashDevice, std::strerror(error));
        std::fflush(stdout);
        std::string reason = info + " &#8212; " + htmlEscaped(std::strerror(error));
        setInfo(reason);
        fail(UpdateErrorFlash);
        return UpdateError;
    }
    if (restart) requestStop(3);
    fail(UpdateErrorNone, UpdateWaitingForRestart);
    return UpdateWaitingForRestart;
}

// The update task.
class QuillFalcon : public Task {
public:
    QuillFalcon(int fd, bool restart) : Task("Quill Falcon"), fd_(fd), restart_(restart) {}
    ~QuillFalcon() override {
        if (fd_ >= 0) ::close(fd_);
        std::lock_guard<std::mutex> g(status().lock);
        if (status().value.state == UpdateWaitingForRestart) status().value.state = UpdateRestart;
    }
    void run() override { updateWork(fd_, restart_); }
    uint32_t onMessage(const TaskMsg &msg) override { return msg.flags; }
    // A task that never got its thread gives the descriptor back to its creator.
    void release() { fd_ = -1; }

private:
    int fd_;
    bool restart_;
};

std::atomic<bool> bootConfirmed{false};

uint32_t wordOf(const uint8_t b[4]) {
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

// Opens a boot device and reads its status word; -1 on failure.
int openBootDevice(const char *device, uint32_t &word) {
    std::string path = sysPath(device);
    int dev = platform().open(path.c_str(), O_RDWR | O_SYNC | O_CLOEXEC, 0);
    if (dev < 0) return -1;
    uint8_t b[4];
    if (platform().read(dev, b, 4) != 4) {
        platform().close(dev);
        return -1;
    }
    word = wordOf(b);
    return dev;
}

} // namespace

// ---------------------------------------------------------------- image header

uint32_t ImageHeader::compat(int i) const {
    if (i < 0 || i >= CompatWords) return 0;
    size_t at = 68 + static_cast<size_t>(i) * 4;
    return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
           uint32_t(bytes[at + 3]) << 24;
}

bool ImageHeader::supports(uint32_t productId, uint8_t hardware) const {
    uint32_t wanted = (productId & 0xFFFFFF) | uint32_t(hardware) << 24;
    for (int i = 0; i < CompatWords; i++)
        if (compat(i) == wanted) return true;
    return false;
}

uint8_t deviceHardwareByte() {
    const ProductParams &p = productParams();
    return static_cast<uint8_t>(p.hwMajor * 16 + p.hwMinor);
}

int ImageHeader::check(char *text, size_t size) const {
    return check(text, size, productParams().productId, deviceHardwareByte());
}

int ImageHeader::check(char *text, size_t size, uint32_t productId, uint8_t hardware) const {
    auto put = [text, size](const char *s) {
        if (text != nullptr && size > 0) std::snprintf(text, size, "%s", s);
    };
    if (magic() != Magic) {
        put("incompatible");
        return UpdateErrorIncompatible;
    }
    if (text != nullptr && size > 0)
        std::snprintf(text, size, "%s: %s  &#10143; ", getmuText("Version"), SoftwareVersionText);
    if (type() == TypeRtfs) {
        if (supports(productId, hardware)) return 0;
        put("incompatible software");
        return UpdateErrorIncompatible;
    }
    char line[48];
    std::snprintf(line, sizeof line, "incompatible type:%d", static_cast<int>(type()));
    put(line);
    return UpdateErrorIncompatible;
}

// ---------------------------------------------------------------- status

UpdateStatus updateStatus() {
    std::lock_guard<std::mutex> g(status().lock);
    return status().value;
}

static void resetLocked(UpdateStatus &s) {
    s.state = UpdatePrenatal;
    s.info.clear();
    s.progress = 0;
    s.error = UpdateErrorNone;
    s.fileName.clear();
}

int precheck_update_file(int fd) {
    if (fd <= 0) return -9;
    {
        std::lock_guard<std::mutex> g(status().lock);
        if (status().value.state > UpdateError) return -7;
        resetLocked(status().value);
    }
    struct stat st;
    if (::lseek(fd, 0, SEEK_SET) != 0 || ::fstat(fd, &st) != 0) return -10;
    ImageHeader header;
    if (!readAll(fd, header.bytes, ImageHeader::Size)) {
        ::lseek(fd, 0, SEEK_SET);
        return -10;
    }
    ::lseek(fd, 0, SEEK_SET);
    if (static_cast<uint64_t>(st.st_size) < ImageHeader::Size + static_cast<uint64_t>(header.length()))
        return -11;
    if (header.magic() != ImageHeader::Magic) return -12;
    return 0;
}

bool claimUpdate(const char *fileName) {
    std::lock_guard<std::mutex> g(status().lock);
    UpdateStatus &s = status().value;
    if (s.state != UpdatePrenatal && s.state != UpdateError) return false;
    resetLocked(s);
    s.state = UpdateAlive;
    if (fileName != nullptr) s.fileName = std::string(fileName).substr(0, 255);
    return true;
}

bool startUpdate(int fd, const char *fileName) {
    if (fd < 0 || !claimUpdate(fileName)) return false;
    auto *task = new QuillFalcon(fd, true);
    if (task->start(32 * 1024) < 0) {
        task->release();
        delete task;
        setInfo(std::strerror(EAGAIN));
        fail(UpdateErrorUnexaminable);
        return false;
    }
    return true;
}

// The name of the state of s for logs (see updateStateName).
static int stateName(const UpdateStatus &s, char *buffer, size_t size) {
    if (buffer == nullptr || size == 0) return 0;
    char name[48];
    switch (s.state) {
    case UpdatePrenatal:
        std::snprintf(name, sizeof name, "Prenatal");
        break;
    case UpdateAlive:
        std::snprintf(name, sizeof name, "Alive");
        break;
    case UpdateVerifying:
        std::snprintf(name, sizeof name, "Verifying");
        break;
    case UpdateWorking:
        std::snprintf(name, sizeof name, "Working");
        break;
    case UpdateWaitingForRestart:
        std::snprintf(name, sizeof name, "Waiting for Restart");
        break;
    case UpdateRestart:
        std::snprintf(name, sizeof name, "Restart");
        break;
    case UpdateError:
        if (size <= 32) return 0;
        std::snprintf(name, sizeof name, "Error:%d Done:%d", s.error, s.progress);
        break;
    default:
        std::snprintf(name, sizeof name, "Unexpected!?");
        break;
    }
    size_t len = std::strlen(name);
    if (len >= size) return 0;
    std::memcpy(buffer, name, len + 1);
    return static_cast<int>(len);
}

int updateStateName(char *buffer, size_t size) {
    return stateName(updateStatus(), buffer, size);
}

int updateStatusText(char *buffer, size_t size, HttpConnection *c) {
    if (buffer == nullptr || size == 0) return 0;
    UpdateStatus s = updateStatus();
    int value = s.progress;
    std::string text;
    char line[512];
    const char *progressFormat = getmuText("Update in progress: %d&#37; done. Please wait...");
    switch (s.state) {
    case UpdatePrenatal:
        text = getmuText("Idle (ready for update)");
        break;
    case UpdateError: {
        std::snprintf(line, sizeof line, getmuText("Update %s:"), s.info.c_str());
        char name[64];
        if (stateName(s, name, sizeof name) > 0) {
            text = line;
            text += " ";
            text += name;
        } else {
            text = line;
        }
        break;
    }
    case UpdateAlive:
        text = getmuText("Update is starting. Please wait...");
        break;
    case UpdateVerifying:
        std::snprintf(line, sizeof line, progressFormat, s.progress);
        text = line;
        break;
    case UpdateWorking:
        value = std::min(s.progress, 98);
        std::snprintf(line, sizeof line, progressFormat, value);
        text = line;
        break;
    case UpdateWaitingForRestart:
        value = 99;
        std::snprintf(line, sizeof line, progressFormat, value);
        text = line;
        break;
    case UpdateRestart:
        value = 100;
        text = getmuText("The device is restarting.");
        break;
    default:
        text = "Unexpected!?";
        break;
    }
    int m = s.state == UpdateRestart ? 18 : 1;
    if (c == nullptr) {
        std::snprintf(buffer, size, "%s|%d|%d|", text.c_str(), m, value);
    } else {
        std::snprintf(buffer, size, "%s", text.c_str());
        c->typeOverride = "text/html";
        if (!s.info.empty()) c->setVar("FlasherInfo", s.info.c_str());
        c->setVar("DisplayMsg", buffer);
        c->setVarf("Done", "%d", value);
        c->setVarf("Idle", "%d", m);
    }
    return value;
}

// ---------------------------------------------------------------- boot confirmation

int confirm_boot_status() {
    if (bootConfirmed.exchange(true)) return 0;
    std::printf("SYSTEM_BOOT_OK\n");
    std::fflush(stdout);
    uint32_t word0 = 0;
    int dev = openBootDevice(BootDevice, word0);
    if (dev < 0) return -1;
    if (word0 == BootFail) {
        if (!writeWord(dev, BootOk)) {
            platform().close(dev);
            return -1;
        }
        std::printf("%s BS_FAIL->BS_OK\n", BootDevice);
    } else if (word0 == BootErased || word0 == BootUpdate) {
        std::printf("ERROR: BOOT STATUS OF %s = %x not as EXPECTED\n", BootDevice, word0);
    }
    std::fflush(stdout);
    platform().close(dev);
    uint32_t word1 = 0;
    dev = openBootDevice(FlashDevice, word1);
    if (dev < 0) return -1;
    if (word1 == BootOk && word0 != BootBackup) {
        if (writeWord(dev, BootBackup)) {
            std::printf("%s BS_OK->BS_BACKUP\n", FlashDevice);
            std::fflush(stdout);
        }
    }
    platform().close(dev);
    return 0;
}

// ---------------------------------------------------------------- pages

namespace {

// "/maintenance/updatecheck.html", the target of the upload.
int updateCheckPage(HttpConnection &c, const PageEntry &) {
    int fd = c.uploadFd;
    bool started = false;
    if (fd > 0 && precheck_update_file(fd) == 0) {
        // The task owns the file from its start on (it may be done with it before
        // startUpdate returns); a task that did not start gives it back.
        c.uploadFd = -1;
        started = startUpdate(fd, c.uploadName.c_str());
        if (!started) c.uploadFd = fd;
    }
    if (started) {
        c.refreshTarget = "/maintenance/updater.html";
        c.refreshDelay = 2;
        c.setVar("DisplayMsg", getmuText("Update file is verified. Please wait..."));
        return show_page(c, "/maintenance/updater.html");
    }
    c.refreshTarget = "/maintenance/update.html";
    c.refreshDelay = 2;
    return HttpPages::showMessage(c,
                                  getmuText("Unrecognizable update file: the file is wrong or corrupted."));
}

// "/maintenance/update.html" and "/maintenance/updater.html".
int updatePage(HttpConnection &c, const PageEntry &) {
    char text[512];
    if (updateStatusText(text, sizeof text, &c) != 0) return show_page(c, "/maintenance/updater.html");
    return PageTemplate;
}

// "/maintenance/updatestate.html", polled by the updater page: "text|M|value|".
int updateStatePage(HttpConnection &c, const PageEntry &) {
    char text[512];
    updateStatusText(text, sizeof text, nullptr);
    c.typeOverride = "text/html";
    c.extraHeader = "Cache-Control: no-cache";
    c.answerLength = static_cast<int64_t>(std::strlen(text));
    c.writeOkHeader();
    if (c.method != MethodHead) c.put(text);
    c.flush();
    return PageAnswered;
}

} // namespace

WEB_PAGE("/maintenance/updatecheck.html", updateCheckPage);
WEB_PAGE("/maintenance/update.html", updatePage);
WEB_PAGE("/maintenance/updater.html", updatePage);
WEB_PAGE("/maintenance/updatestate.html", updateStatePage);

// ---------------------------------------------------------------- test seams

namespace update_testing {

void setStatus(int state, int progress, int error, const char *info) {
    std::lock_guard<std::mutex> g(status().lock);
    status().value.state = state;
    status().value.progress = progress;
    status().value.error = error;
    status().value.info = info ? info : "";
}

int runUpdate(int fd) {
    return updateWork(fd, false);
}

void rearmBootConfirmation() {
    bootConfirmed = false;
}

} // namespace update_testing
