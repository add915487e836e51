// The firmware update: the image header and its checks, the update status shared by the
// update pages, the update task "Quill Falcon" and the mail command, the flash write of
// an initramfs image, and the confirmation of a successful boot to the boot loader.
//
// An image is a 128-byte header followed by its data. It is written to "/dev/mtdblock1"
// from offset 4, after the status word at offset 0, which the program sets to BS_UPDATE
// once the image is complete; the boot loader then tries the new image, and the first
// accepted connection of the next run tells it the image is good.
#pragma once

#include "core/ptable.h"

#include <cstddef>
#include <cstdint>
#include <string>

class HttpConnection;

// The hardware version byte of this device: major * 16 + minor, modulo 256.
uint8_t deviceHardwareByte();

// Boot status words (big-endian at offset 0 of an MTD block device); each step only
// clears bits.
enum : uint32_t {
    BootErased = 0xFFFFFFFFu,
    BootUpdate = 0xA0FFFFF0u,
    BootFail = 0xA0FFFF00u,
    BootOk = 0xA0FFF000u,
    BootBackup = 0xA0FF0000u,
};

// The update states.
enum UpdateState : int {
    UpdatePrenatal = 0,
    UpdateError = 1,
    UpdateAlive = 2,
    UpdateVerifying = 3,
    UpdateWorking = 4,
    UpdateWaitingForRestart = 5,
    UpdateRestart = 6,
};

// Error codes of the update status.
enum : int {
    UpdateErrorNone = 0,
    UpdateErrorImage = 7,          // bad header or checksum
    UpdateErrorUnexaminable = 101, // the file could not be examined
    UpdateErrorFlash = 102,        // the flash could not be written
    UpdateErrorIncompatible = 255,
};

// A copy of the update status.
struct UpdateStatus {
    int state = UpdatePrenatal;
    int progress = 0;
    int error = UpdateErrorNone;
    std::string info;     // HTML: the check's text and the new version (or file name)
    std::string fileName; // the uploaded file's name as it came
};
UpdateStatus updateStatus();

// Checks a file for the update: 0 when it may be installed; -9 for a descriptor that is
// not positive, -7 while an update runs, -10 when the 128 header bytes cannot be read,
// -11 when the file is shorter than 128 + the header's length, -12 for a wrong magic.
// Unless it answers -9 or -7 it resets the status first; the file is left rewound.
int precheck_update_file(int fd);

// Claims the update for a new task: only in state Prenatal or Error, which becomes
// Alive with a fresh status and the file name (may be null). False when an update runs.
bool claimUpdate(const char *fileName);

// Starts the update task on a checked file after claiming the update: the task takes
// the descriptor over. False when the update could not be claimed or started (the
// caller keeps the descriptor). The mail command uses it.
bool startUpdate(int fd, const char *fileName = nullptr);

// The state's name for logs into buffer (nothing when it does not fit); its length.
int updateStateName(char *buffer, size_t size);

// The status as text into buffer: without a connection followed by "|M|value|", with one
// as the template variables "FlasherInfo", "DisplayMsg", "Done" and "Idle". The value:
// the progress shown (100 once the device restarts).
int updateStatusText(char *buffer, size_t size, HttpConnection *c);

// Confirms the running image to the boot loader; acts on its first call only (0 on the
// others). 0, or -1 when a status word could not be read or written.
int confirm_boot_status();

// Test seams.
namespace update_testing {
void setStatus(int state, int progress, int error, const char *info);
// Runs the update task's work on the calling thread (no restart is started); the state
// it ended in.
int runUpdate(int fd);
void rearmBootConfirmation();
} // namespace update_testing
