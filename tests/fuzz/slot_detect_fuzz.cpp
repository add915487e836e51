// Feeds arbitrary texts to the storage slot's detection readers (the SD card's sysfs
// "cid" and "name", "/proc/scsi/scsi", "/proc/partitions"): every field they fill stays
// terminated inside its size, and no more entries come back than asked for.
#include "notify/slot.h"

#include <cstdlib>
#include <cstring>

namespace {

template <size_t N> void terminated(const char (&field)[N]) {
    if (::strnlen(field, N) >= N) std::abort();
}

void checkEntry(const SlotEntry &e) {
    terminated(e.devName);
    terminated(e.partSuffix);
    terminated(e.vendor);
    terminated(e.model);
    terminated(e.cid);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    SlotEntry sd;
    slotSdEntry(text, size, text + size / 2, size - size / 2, sd);
    checkEntry(sd);
    if (sd.kind != SlotSdCard) std::abort();

    SlotEntry entries[2];
    for (int max = 0; max <= 2; max++) {
        int n = slotScsiEntries(text, size, entries, max);
        if (n < 0 || n > max) std::abort();
        for (int i = 0; i < n; i++)
            checkEntry(entries[i]);
    }

    int count = slotPartitionCount(text, size, "mmcblk0");
    if (count < 0 || static_cast<size_t>(count) > size) std::abort();
    return 0;
}
