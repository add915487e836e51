#include "notify/slot.h"

#include "core/platform.h"
#include "core/ptable.h"
#include "core/ptable_hooks.h"
#include "core/sysinfo.h"
#include "core/sysroot.h"
#include "core/utils_file.h"
#include "notify/fatcheck.h"
#include "notify/notify.h"
#include "notify/relay.h"
#include "param_catalogue.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

std::atomic<StorageSlot *> storageSlot{nullptr};

namespace {

constexpr int64_t IdleTicks = 3000; // 30 s between scans without a hot-plug message
constexpr int64_t SettleTicks = 50; // 0.5 s after a scan
constexpr uint32_t FeatureSlot = 0x200000;
constexpr size_t MaxFileRead = 16384; // of the small kernel files read here

// A running slot task; a second one leaves at once.
std::atomic<bool> slotTaskRunning{false};

// Copies text into a fixed field, always terminated.
template <size_t N> void setField(char (&field)[N], const char *text, size_t length) {
    size_t n = std::min(length, N - 1);
    std::memcpy(field, text, n);
    field[n] = '\0';
}

// Reads at most max bytes of a small file; false when it cannot be read.
bool readSmallFile(const std::string &path, std::string &out, size_t max) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.assign(max, '\0');
    size_t done = 0;
    while (done < max) {
        ssize_t r = ::read(fd, &out[done], max - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += static_cast<size_t>(r);
    }
    ::close(fd);
    out.resize(done);
    return true;
}

std::string slotDir() {
    return sysPath("/var/slot1");
}

void show(char digit, uint32_t flags) {
    PtableHooks &hooks = ptableHooks();
    if (hooks.displayShow) hooks.displayShow('E', digit, flags);
}

} // namespace

void slotSdEntry(const char *cid, size_t cidLength, const char *name, size_t nameLength, SlotEntry &out) {
    out = SlotEntry{};
    out.kind = SlotSdCard;
    setField(out.devName, "mmcblk0", 7);
    setField(out.partSuffix, "p1", 2);
    setField(out.vendor, "mvsdio", 6);
    // The kernel ends both files with a line feed: the texts stop at the first control
    // character.
    auto textLength = [](const char *t, size_t n) {
        size_t i = 0;
        while (i < n && static_cast<unsigned char>(t[i]) >= 0x20)
            i++;
        return i;
    };
    std::string model = "SD " + std::string(name, textLength(name, std::min<size_t>(nameLength, 28)));
    setField(out.model, model.data(), model.size());
    setField(out.cid, cid, textLength(cid, std::min<size_t>(cidLength, 32)));
}

int slotScsiEntries(const char *text, size_t length, SlotEntry *entries, int max) {
    int count = 0;
    SlotEntry *open = nullptr; // the entry whose vendor line is awaited
    const char *end = text + length;
    for (const char *line = text; line < end && count <= max;) {
        const char *nl = static_cast<const char *>(std::memchr(line, '\n', static_cast<size_t>(end - line)));
        const char *lineEnd = nl ? nl : end;
        const std::string_view l(line, static_cast<size_t>(lineEnd - line));
        line = nl ? nl + 1 : end;

        if (l.substr(0, 5) == "Host:") {
            size_t usbId = l.find("UsbId:");
            if (usbId == std::string_view::npos) continue;
            if (count == max) break;
            SlotEntry &e = entries[count];
            e = SlotEntry{};
            std::string number(l.substr(usbId + 6, std::min<size_t>(8, l.size() - usbId - 6)));
            e.kind = std::atoi(number.c_str());
            size_t colon = l.find(':', usbId + 6);
            if (colon != std::string_view::npos && colon + 2 < l.size())
                setField(e.devName, l.data() + colon + 2, std::min<size_t>(3, l.size() - colon - 2));
            setField(e.partSuffix, "1", 1);
            open = &e;
            count++;
        } else if (open != nullptr && l.substr(0, 9) == "  Vendor:") {
            open->kind = SlotUsbDisk;
            size_t at = 9;
            while (at < l.size() && l[at] == ' ')
                at++;
            size_t wordEnd = at;
            while (wordEnd < l.size() && l[wordEnd] != ' ' && wordEnd - at < 30)
                wordEnd++;
            setField(open->vendor, l.data() + at, wordEnd - at);
            size_t colon = l.find(':', wordEnd);
            if (colon != std::string_view::npos && colon + 2 <= l.size()) {
                std::string_view model = l.substr(colon + 2, 16);
                while (!model.empty() && model.back() == ' ')
                    model.remove_suffix(1);
                setField(open->model, model.data(), model.size());
            }
            open = nullptr;
        }
    }
    return count;
}

int slotPartitionCount(const char *text, size_t length, const char *devName) {
    if (devName == nullptr || devName[0] == '\0') return 0;
    const size_t nameLength = std::strlen(devName);
    int count = 0;
    const char *end = text + length;
    for (const char *line = text; line < end;) {
        const char *nl = static_cast<const char *>(std::memchr(line, '\n', static_cast<size_t>(end - line)));
        const char *lineEnd = nl ? nl : end;
        // The device name is the last word of the line.
        const char *w = lineEnd;
        while (w > line && (w[-1] == ' ' || w[-1] == '\t' || w[-1] == '\r'))
            w--;
        const char *wordEnd = w;
        while (w > line && w[-1] != ' ' && w[-1] != '\t')
            w--;
        if (static_cast<size_t>(wordEnd - w) >= nameLength && std::memcmp(w, devName, nameLength) == 0)
            count++;
        line = nl ? nl + 1 : end;
    }
    return count;
}

bool slotSameMedium(const SlotEntry &a, const SlotEntry &b) {
    return a.kind == b.kind && std::strcmp(a.devName, b.devName) == 0 &&
           std::strcmp(a.partSuffix, b.partSuffix) == 0 && std::strcmp(a.vendor, b.vendor) == 0 &&
           std::strcmp(a.cid, b.cid) == 0;
}

StorageSlot::StorageSlot(int warmStarts) : Task("SND"), warmStarts_(warmStarts) {
    slot_.mountPoint = "/var/slot1";
}

StorageSlot::~StorageSlot() {
    if (slot_.mounted) platform().umount2(slotDir().c_str(), MNT_FORCE);
    StorageSlot *self = this;
    storageSlot.compare_exchange_strong(self, nullptr);
}

uint32_t StorageSlot::onMessage(const TaskMsg &msg) {
    if (msg.flags & MsgConfigChanged) rescan = 1;
    return msg.flags;
}

void StorageSlot::exit() {
    // The daemon stops: the card is unmounted (its data written back) without events.
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (slot_.mounted && platform().umount2(slotDir().c_str(), MNT_FORCE) == 0) slot_.mounted = 0;
        slot_.state = 0;
    }
    slotTaskRunning = false;
    Task::exit();
}

SlotReport slotStateReport(int previous, int state) {
    switch (state) {
    case 0:
        return {previous == 0 ? NotifyCardMissing : NotifyCardOut, 0x200, "rrs"};
    case 1:
        if (previous == 1) return {}; // unusable is reported once
        return {NotifyCardUnusable, 0x400, "srr"};
    case 2:
        return {NotifyCardProtected, 0x400, "rsr"};
    case 3:
        return {NotifyCardReady, 0x100, "rrr"};
    default:
        return {};
    }
}

int StorageSlot::setState(int state) {
    if (state < 0 || state > 3) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    int previous = slot_.state.load();
    slot_.state = state;
    report(previous, state);
    return state;
}

void StorageSlot::report(int previous, int state) {
    SlotReport report = slotStateReport(previous, state);
    if (report.event == 0) return;
    if (notifyAddEvent(report.event, 0, slot_.vendor, slot_.model, slot_.label) > 0)
        notify_post_event(report.event, -1);
    handle_relay_event(report.relay);
    PtableHooks &hooks = ptableHooks();
    if (p_disp_sdc->isOn() && hooks.displayPresent && hooks.displayPresent())
        for (int i = 0; i < 3; i++)
            show(static_cast<char>('2' + i), report.display[i] == 's' ? 0x24 : 8);
}

void StorageSlot::announce() {
    // Read and reported in one hold of the lock: a mount finishing meanwhile reports
    // its own state after this, and the state is never set back.
    std::lock_guard<std::mutex> lock(mutex_);
    report(0, slot_.state.load());
}

bool StorageSlot::unmount() {
    setState(0);
    std::lock_guard<std::mutex> lock(mutex_);
    if (slot_.mounted && platform().umount2(slotDir().c_str(), MNT_FORCE) != 0) return false;
    static_cast<SlotEntry &>(slot_) = SlotEntry{};
    slot_.mounted = 0;
    slot_.wasMounted = 0;
    slot_.state = 0;
    slot_.label[0] = '\0';
    return true;
}

int StorageSlot::detect(SlotEntry *entries, int max) {
    int count = 0;
    std::string cid, name;
    const std::string device = sysPath("/sys/block/mmcblk0/device/");
    if (max > 0 && ::access(device.c_str(), F_OK) == 0 && readSmallFile(device + "cid", cid, 32) &&
        readSmallFile(device + "name", name, 28))
        slotSdEntry(cid.data(), cid.size(), name.data(), name.size(), entries[count++]);
    std::string scsi;
    if (count < max && readSmallFile(sysPath("/proc/scsi/scsi"), scsi, MaxFileRead))
        count += slotScsiEntries(scsi.data(), scsi.size(), entries + count, max - count);
    return count;
}

void StorageSlot::checkVolume() {
    std::string partitions;
    readSmallFile(sysPath("/proc/partitions"), partitions, MaxFileRead);
    int listed = slotPartitionCount(partitions.data(), partitions.size(), slot_.devName);
    std::string device = sysPath("/dev/") + slot_.devName + (listed > 1 ? slot_.partSuffix : "");
    char label[sizeof productParams().defaultName + 4];
    std::snprintf(label, sizeof label, "%s_SD", productParams().defaultName);
    if (fat_check_label(device.c_str(), label) == 0) {
        slot_.label[0] = '\0';
    } else {
        size_t n = std::min<size_t>(std::strlen(label), FatLabelLength);
        while (n > 0 && label[n - 1] == ' ')
            n--;
        setField(slot_.label, label, n);
    }
    platform().sync();
}

int StorageSlot::mountPart(const char *device) {
    const std::string target = slotDir();
    if (platform().umount2(target.c_str(), MNT_FORCE) == 0) slot_.wasMounted = 1;
    int state = 1;
    if (platform().mount(device, target.c_str(), "vfat", 0, "utf8=1") == 0)
        state = 3;
    else if (platform().mount(device, target.c_str(), "vfat", MS_RDONLY, "utf8=1") == 0)
        state = 2;
    if (state > 1) {
        slot_.mounted = 1;
        std::string certs = target + "/802.1x";
        struct stat st;
        if (::stat(certs.c_str(), &st) != 0 && ::mkdir(certs.c_str(), 0755) == 0)
            ::chmod(certs.c_str(), 0755);
    }
    return state;
}

bool StorageSlot::mount(const SlotEntry &entry) {
    int state = 1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (slot_.kind != 0) return false;
        static_cast<SlotEntry &>(slot_) = entry;
        // The file system is checked and labelled while nothing has it mounted: the
        // boot sector, FSINFO and the root directory are never written under a mount.
        if (platform().umount2(slotDir().c_str(), MNT_FORCE) == 0) slot_.wasMounted = 1;
        checkVolume();
        const std::string base = sysPath("/dev/") + entry.devName;
        state = mountPart((base + entry.partSuffix).c_str());
        if (state < 2) state = mountPart(base.c_str());
        if (state < 2) slot_.label[0] = '\0';
    }
    setState(state);
    return state >= 2;
}

void StorageSlot::restoreFromCard() {
    const std::string dir = slotDir();
    Ptable &table = ptable();
    // The loaded parameters are saved before "/etc/params.dat" goes to the card, else
    // the old file would overwrite the card's configuration.
    if (table.load((dir + "/params.dat").c_str())) table.saveIfChanged();
    restore_certs_from_dir(dir.c_str());
}

void StorageSlot::copyToCard() {
    const std::string dir = slotDir();
    copyFile(ptable().filePath().c_str(), (dir + "/params.dat").c_str(), false, nullptr);
    forEachCertFile([](const char *path) { return copyToSdCard(path); });
}

void StorageSlot::describe(char *out, size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::snprintf(out, size, "slot %d %d %s \"%s\" \"%s\" \"%s\"\n", slot_.state.load(), slot_.kind,
                  slot_.devName[0] ? slot_.devName : "-", slot_.vendor, slot_.model, slot_.label);
}

void StorageSlot::name(char *out, size_t size) {
    if (out == nullptr || size == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    std::snprintf(out, size, "%s", slot_.label);
}

void storageSlotName(char *out, size_t size) {
    if (out == nullptr || size == 0) return;
    out[0] = '\0';
    if (StorageSlot *slot = storageSlot.load()) slot->name(out, size);
}

void StorageSlot::run() {
    bool expected = false;
    if (!slotTaskRunning.compare_exchange_strong(expected, true)) Task::exit();
    const std::string dir = slotDir();
    if (::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST) ::chmod(dir.c_str(), 0755);
    bool restore = warmStarts_ == 0 && (p_sw_features->value() & FeatureSlot) != 0 && p_autoSync->isOn();
    for (;;) {
        if (!rescan.exchange(0)) {
            wait(IdleTicks);
            continue;
        }
        SlotEntry entries[2];
        int count = detect(entries, 2);
        SlotEntry entry = count > 0 ? entries[0] : SlotEntry{};
        if (slot_.kind != 0) {
            if (entry.kind == 0 || !slotSameMedium(entry, slot_))
                unmount();
            else
                entry.kind = 0;
        }
        // USB disks (kind 3) are parsed into their record but never mounted.
        for (int i = 0; i < count; i++)
            if (entries[i].kind > SlotSdCard) {
                std::lock_guard<std::mutex> lock(mutex_);
                static_cast<SlotEntry &>(usbDisk_) = entries[i];
            }
        if (entry.kind == SlotSdCard && mount(entry)) {
            int state = slot_.state.load();
            if (restore && (state == 2 || state == 3)) restoreFromCard();
            if (state == 3) copyToCard();
        }
        wait(SettleTicks);
        restore = false;
    }
}

int storageSlotState() {
    StorageSlot *slot = storageSlot.load();
    return slot != nullptr ? slot->slotState() : -1;
}

void startStorageSlot(int warmStarts) {
    if ((p_sw_features->value() & FeatureSlot) == 0 || !p_autoSync->isOn()) return;
    auto *task = new StorageSlot(warmStarts);
    task->rescan = 1;
    storageSlot = task;
    if (warmStarts == 0) usleep(500000);
    if (task->start(0x10000) < 0) {
        storageSlot = nullptr;
        delete task;
        return;
    }
    if (warmStarts == 0) usleep(500000);
}
