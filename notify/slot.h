// The storage slot (SD card): the task "SND" detects the card, checks and labels its FAT
// file system, mounts it at "/var/slot1", restores parameters and certificates from it
// after a cold start, copies the current ones onto it, and reports every change of the
// slot's state as a notification event, a relay event and a status-display code.
#pragma once

#include "core/task.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

// A detected medium, and (with the mount state) the record of a slot.
struct SlotEntry {
    int kind = 0; // 0 none, 2 SD card, 3 USB disk
    char devName[16] = {};
    char partSuffix[16] = {};
    char vendor[32] = {};
    char model[32] = {};
    char cid[33] = {};
};

struct SlotRecord : SlotEntry {
    const char *mountPoint = nullptr;
    uint8_t mounted = 0;
    uint8_t wasMounted = 0;
    std::atomic<int> state{0}; // 0 no card, 1 unusable, 2 write protected, 3 ready
    char label[12] = {};
};

enum SlotKind { SlotNone = 0, SlotSdCard = 2, SlotUsbDisk = 3 };

// The detection readers, bounded over whatever the files hold.
// The SD card from the texts of its "cid" and "name" files.
void slotSdEntry(const char *cid, size_t cidLength, const char *name, size_t nameLength, SlotEntry &out);
// The USB disks of a "/proc/scsi/scsi" text; the number of entries filled (at most max).
int slotScsiEntries(const char *text, size_t length, SlotEntry *entries, int max);
// How many lines of a "/proc/partitions" text name a block device that begins with devName.
int slotPartitionCount(const char *text, size_t length, const char *devName);

// Whether a detected medium is the one in the record: kind, names and vendor, and the
// card's CID, which tells a card swapped between two scans from the one before.
bool slotSameMedium(const SlotEntry &a, const SlotEntry &b);

// What a change of the slot's state reports: the notification event, the relay event
// and, for the display codes E2, E3 and E4, 's' show (blinking) or 'r' remove. Nothing
// at all (event 0) when the state does not exist or stays unusable.
struct SlotReport {
    uint32_t event = 0;
    uint32_t relay = 0;
    const char *display = nullptr;
};
SlotReport slotStateReport(int previous, int state);

class StorageSlot : public Task {
public:
    explicit StorageSlot(int warmStarts);
    ~StorageSlot() override;

    void run() override;
    [[noreturn]] void exit() override;
    uint32_t onMessage(const TaskMsg &msg) override;

    // Sets the slot's state and reports it; the state, or 0 for an unknown value.
    int setState(int state);
    // Sets the state 0 and unmounts; false when the forced unmount fails.
    bool unmount();
    // Reports the current state once more, as if it had just been reached.
    void announce();

    // Up to two detected media: the SD card first, then USB disks.
    static int detect(SlotEntry *entries, int max);

    // What the services hook shows: "slot STATE KIND DEV VENDOR MODEL LABEL".
    void describe(char *out, size_t size);

    int slotState() const { return slot_.state.load(); }
    // The name the pages show: the volume label of the mounted card ("" when none).
    void name(char *out, size_t size);

    std::atomic<int> rescan{1};

private:
    bool mount(const SlotEntry &entry);
    // One mount try: read-write (3), else read-only (2), else 1.
    int mountPart(const char *device);
    // Checks the FAT of the device and writes the label; the label kept, else empty.
    void checkVolume();
    void copyToCard();
    void restoreFromCard();
    // The event, relay and display codes of a change; the caller holds mutex_.
    void report(int previous, int state);

    int warmStarts_;
    std::mutex mutex_;
    SlotRecord slot_;
    SlotRecord usbDisk_; // parsed only: USB disks are never mounted
};

// The running slot task (null when none) and its state (-1 when there is none).
extern std::atomic<StorageSlot *> storageSlot;
int storageSlotState();
// The running slot's name into out ("" when there is no slot task).
void storageSlotName(char *out, size_t size);

// Start-up: creates and starts the task when the product has the slot and "autoSync"
// is on (pausing 0.5 s before and after on a cold start).
void startStorageSlot(int warmStarts);
