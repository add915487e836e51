// The calls of the parameter table into subsystems that own the board outputs, the
// notification and syslog tasks, the WebDAV backup and the storage slot. Each is one
// function pointer, null until the subsystem that owns it installs its function at
// start; a null hook does nothing and reads as "absent" (no display, no notification
// task, no storage slot). Tests install their own to watch the calls.
#pragma once

#include <cstdint>

struct PtableHooks {
    // Board outputs.
    void (*setPortPower)(int port, bool on) = nullptr;
    void (*setPortLed)(int port, int colour, int blinkHz) = nullptr;
    void (*setRelay)(bool on) = nullptr;
    void (*fanControl)(int mode) = nullptr;
    void (*updateStatusLed)() = nullptr;

    // The two-character display: present only where its object exists.
    bool (*displayPresent)() = nullptr;
    int (*displayShow)(char first, char second, uint32_t flags) = nullptr;
    // The display's power-fault state (0 when both inputs are good).
    uint32_t (*displayPowerFaultState)() = nullptr;
    // The wired interface's carrier state, -1 when that interface does not exist.
    int (*wiredCarrierState)() = nullptr;

    // The storage-slot task's state (0 no card, 1 formatting required, 2 write
    // protected, 3 ready), -1 when no such task exists.
    int (*storageSlotState)() = nullptr;
    // Writes the device information file into the slot directory (at most once a minute).
    void (*writeDeviceInfoThrottled)(const char *directory) = nullptr;

    // The notification task: whether it exists and accepts events, recording an event
    // (the descriptor belongs to the task once the call answers 1), posting one.
    bool (*notifyPresent)() = nullptr;
    int (*notifyAddEvent)(uint32_t eventBits, int value) = nullptr;
    int (*notifyPostEvent)(uint32_t eventBits, int value) = nullptr;

    // Remote syslog, WebDAV backup, multicast DNS name.
    int (*startSyslogng)(int force) = nullptr;
    int (*startWebdavBackup)() = nullptr;
    void (*updateBonjourName)() = nullptr;
};

// The one set of hooks of the process.
PtableHooks &ptableHooks();
