// What the commands by mail need of the firmware update, installed by it; null until
// then (an update by mail is then answered "validation failed").
#pragma once

// Checks an update file: 0 when it can be handed to the update.
using UpdatePrecheck = int (*)(int fd);
extern UpdatePrecheck updatePrecheck;
// Starts the firmware-update task on the checked file, which takes the descriptor over;
// false when it could not be started (the caller keeps the descriptor).
using UpdateStarter = bool (*)(int fd);
extern UpdateStarter startUpdateTask;
