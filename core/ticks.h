// The tick clock: 10-millisecond ticks, signed 64 bits.
#pragma once

#include <cstdint>

// Ticks from the board's counter once the board device is open, until then from the
// system's monotonic clock. Never goes backwards within one source.
int64_t sysTicks();

// The board I/O installs its counter here once the device is open (null: back to the
// monotonic clock).
using TickSource = int64_t (*)();
void setTickSource(TickSource source);
