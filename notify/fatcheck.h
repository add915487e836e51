// The FAT check of the storage slot: reads the boot sector of a block device, checks
// its geometry (FAT12, FAT16 or FAT32), reports what is odd about the FAT32 backup boot
// sector and FSINFO sector on standard output, and reads or writes the volume label in
// the boot sector and in the root directory. Writes are collected and applied only at
// the end, after every check passed. The device goes through platform().
#pragma once

// Longest volume label.
constexpr int FatLabelLength = 11;

// label: an empty text to read the label (the buffer then receives it, at least
// FatLabelLength + 1 bytes; "NO NAME    " when there is none), or the label to write.
// 1 on success, 0 on failure (nothing written then).
int fat_check_label(const char *device, char *label);
