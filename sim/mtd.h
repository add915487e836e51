// The simulated flash: the partitions of the product description ("mtd0_part<N>_name"
// and "mtd0_part<N>_size" in "/proc/product_params"), listed in "/proc/mtd" under the
// sandbox root and each backed by the file "<root>/sim/mtd<N>.img", which keeps its
// contents from one run of the daemon to the next.
//
// The backing file behaves as NOR flash: an erase sets a whole 64 KiB block to 0xFF,
// programming can only clear bits. "/dev/mtdblock<N>" is the kernel's block emulation
// on top: a fixed size (BLKGETSIZE64), reads and writes at the file position, a write
// past the end fails with ENOSPC and one across the end is cut short; every write reads
// the erase blocks it touches, erases them and programs them again, all before it
// returns.
//
// Tests play the boot loader through the functions below and the "mtd" control
// commands: status words, erase and write counters, an errno on open, read or write
// after a number of bytes, a power cut after a number of written bytes (the block being
// rewritten stays erased and the device answers EIO until power-on) and a pace for
// erasing and programming.
#pragma once

#include <cstdint>
#include <string>

namespace sim::mtd {

constexpr uint32_t EraseBlockSize = 64 * 1024;
// Partitions 0 to MaxPartitions - 1 are looked for.
constexpr int MaxPartitions = 16;

// Reads the partitions, writes "/proc/mtd", opens (or makes, erased) the backing files
// and serves "/dev/mtdblock<N>"; uninstall stops serving them.
void install();
void uninstall();

// Size in bytes of partition n, 0 when there is none.
uint64_t size(int n);
std::string backingPath(int n);

// The big-endian word at offset 0 of partition n; false when there is no such partition.
bool word(int n, uint32_t &value);
// Sets that word as the boot loader does (erase and program of the first block, the
// rest of the block kept); not counted as a write of the daemon.
bool setWord(int n, uint32_t value);

// What the daemon did to partition n since install or the last reset: erased blocks
// and write calls that reached the flash.
struct Counters {
    long erases = 0;
    long writes = 0;
};
Counters counters(int n);
void resetCounters();

// Fault injection on partition n: opens fail with error (0 clears); reads or writes fail
// with error once `after` more bytes went through (a call that crosses the mark is cut
// short at it).
enum class Op { Open, Read, Write };
bool inject(int n, Op op, int error, long long after = 0);
// The power fails once `after` more bytes were written (-1 clears a pending cut).
bool powerCut(int n, long long after);
bool powerOn(int n);
bool powered(int n);

// Time taken by one block erase and by programming one block, in milliseconds.
void pace(uint32_t eraseMs, uint32_t programMs);

// The lines of the "state" dump.
void describe(std::string &out);

} // namespace sim::mtd
