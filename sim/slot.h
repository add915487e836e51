// The storage-slot stand-in: an SD card made of an image file. Inserting it publishes
// the card as the kernel does (its sysfs "cid" and "name", "/proc/partitions", the
// block devices /dev/mmcblk0 and, when the image has a partition table, /dev/mmcblk0p1,
// and "add" uevents); the daemon's vfat mount becomes a tmpfs on the target, filled from
// the FAT by mtools and written back by sync and umount2. Removing the card undoes it:
// open descriptors of its devices then fail with EIO and nothing reaches the image any
// more.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace sim {

// The slot's commands; an empty text on success, else the reason.
std::string slotInsert(const std::string &image, bool readOnly, const std::string &cid,
                       const std::string &name);
std::string slotRemove();
// "key value" lines: inserted, image, readonly, partitioned, mounted, mode, raw_writes.
void slotDescribe(std::string &out);

// The platform's calls, with errno as the system calls give it.
int slotMount(const char *source, const char *target, unsigned long flags);
int slotUmount2(const char *target, int flags);
void slotSync();

// The uevent stand-in's replay for a socket that has just opened: calls fn, under the
// slot's lock, with the "add" messages of the card in the slot (none without a card),
// so that a card inserted meanwhile is either replayed or announced afterwards.
void slotColdplug(const std::function<void(const std::vector<std::string> &)> &fn);

// Installs the "slot" command (and undoes the card at the end).
void slotInstall();
void slotUninstall();

} // namespace sim
