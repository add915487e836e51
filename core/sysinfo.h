// What the daemon knows about the appliance it runs on: the product description the
// kernel publishes, the flash partition names, time and uptime texts, a millisecond
// clock, the real-time clock, small readers and writers of system files, memory and
// CPU figures, and the one way to a translated user-interface text (getmuText).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <pthread.h>
#include <string>

// The product description, read once from "/proc/product_params". Text fields hold at
// most 128 characters and are always terminated.
struct ProductParams {
    uint32_t productId = 0;         // "hw_project": selects features, port counts and behaviours
    uint32_t hwMajor = 0;           // "hw_major"
    uint32_t hwMinor = 0;           // "hw_minor"
    char productName[128 + 1] = {}; // "product_name": the name shown to users
    char defaultName[128 + 1] = {}; // "default_name": the appliance's default name
    uint8_t factoryMac[8] = {};     // "ethaddr0": the first 6 bytes are the factory MAC address
    uint32_t networkType = 0;       // "network_type"
    uint32_t phy0Address = 0;       // "phy0_addr"
    uint32_t phy1Address = 0;       // "phy1_addr"
    int32_t printerPorts = 0;       // "printer_ports", overwritten by the length of "device_types"
    int32_t usbTypeCount = 0;       // number of 'U' characters in "device_types"
    uint32_t usbPorts = 0;          // "usb_ports_phy": physical USB ports (not bounded here)
    char deviceTypes[128 + 1] = {}; // "device_types": one letter per port, 'U' for USB
    uint32_t year = 0;              // "year" of manufacture
    uint32_t month = 0;             // "month" of manufacture
    uint32_t serialNo = 0;          // "serial_no" within year and month
    uint32_t creationTime = 0;      // "creation_time"
};

// The process-wide product description: read from sysPath("/proc/product_params") on
// first use (thread-safe, once) and read-only afterwards. A missing file gives a zero
// record.
const ProductParams &productParams();

// Fills the record from sysPath("/proc/product_params"); false (zero record) when the
// file cannot be opened.
bool readProductParams(ProductParams &record);
// The same from a given file, and from an open stream (the caller closes it).
bool readProductParamsFile(ProductParams &record, const std::string &path);
void readProductParamsStream(ProductParams &record, FILE *in);

// The serial number text "%03d%04d%02d%05d" of product id, year, month and serial number.
std::string serialNumberText(const ProductParams &record);

// Name and size (KiB) of flash partition N from sysPath("/proc/product_params"): false
// when the file cannot be opened, else true with whatever lines were found (size 0 and
// an empty name when none).
bool readMtdPartition(int partition, uint32_t &sizeKiB, std::string &name);
bool readMtdPartitionStream(FILE *in, int partition, uint32_t &sizeKiB, std::string &name);

// "%3d/%02d/%02d" of days, hours and minutes of a count of 10-ms ticks, with
// ".%02d" seconds appended when asked. Returns the length written.
int formatUptime(int64_t ticks, char *buf, size_t size, bool withSeconds);

// "%04d-%02d-%02d %02d:%02d:%02d" of the local time. While the clock has never been set
// (local year 2015 or earlier) the time is shown as elapsed time since 1970. Returns the
// length, 0 (nothing written) when the time cannot be converted.
int formatDateTime(time_t t, char *buf, size_t size);

// Milliseconds since the reference second; with reset the current second becomes the
// reference. Computed in 32 bits and sign-extended: it wraps after about 24.8 days.
int64_t msSinceStart(bool reset);

// Writes the given broken-down time into sysPath("/dev/rtc0") through the platform
// layer; false when the device cannot be opened or refuses the time.
bool writeRtc(const struct tm &time);

// Reads an integer from a small file (at most 128 bytes; one trailing newline dropped),
// base 16 with hex else base 10. False when nothing was read or the text is not a
// number. The path is used as given: callers map appliance paths through sysPath.
bool readIntFile(long &value, const std::string &path, bool hex);
// The same, for sysfs attributes.
bool readSysfsInt(long &value, const std::string &path, bool hex);

// Truncates the file and writes the text; on failure prints the path with the system
// error text and returns false.
bool writeFile(const std::string &path, const char *text);

// Reads the first line of a file (non-blocking, at most size - 1 characters, cut at the
// first newline) into buf; false when nothing was read.
bool readFileLine(char *buf, size_t size, const std::string &path);

// The CPU frequency in MHz from cpufreq, else the BogoMIPS figure of "/proc/cpuinfo",
// else 0.
int cpuMhz();
int cpuMhzFrom(const std::string &curFreqPath, const std::string &cpuinfoPath);

// Memory figures in KiB from "/proc/meminfo": free = MemFree, available = MemFree +
// Cached, total = MemTotal. True when MemTotal, MemFree, MemAvailable, Buffers and
// Cached were all found.
bool readMemInfo(unsigned long &free, unsigned long &available, unsigned long &total);
bool readMemInfoFile(const std::string &path, unsigned long &free, unsigned long &available,
                     unsigned long &total);

// True when sysPath("/proc/net/wireless") lists the interface wlan0.
bool wirelessPresent();
bool wirelessPresentFile(const std::string &path);

// Total and free space in KiB of the file system holding path; false (both 0) on failure.
bool diskSpace(const std::string &path, uint64_t &totalKiB, uint64_t &freeKiB);

// The message catalogue's text domain.
constexpr const char *MessageDomain = "qmr";

// Binds the text domain "qmr" to the catalogue directory (start-up passes
// sysPath("/romfs/locale")) with codeset UTF-8 and makes it the default domain.
bool bindMessageCatalogue(const std::string &localeDir);

// The translation of a user-interface text in the domain "qmr"; the text itself when
// the catalogue has none. All look-ups are serialised by one mutex; when it cannot be
// taken the text is returned untranslated with a note on standard output.
const char *getmuText(const char *message);

// The catalogue mutex (error-checking: a look-up from a thread that already holds it
// fails instead of deadlocking).
pthread_mutex_t &messageCatalogueMutex();

// The software version as text (its word is SoftwareVersionWord of core/ptable.h).
constexpr const char *SoftwareVersionText = "20.1.22";

// Writes "/etc/resolv.conf" from the DNS parameters (or the given file).
bool writeResolvConf();
bool writeResolvConfTo(const std::string &path);

// Writes the device information file; the number of characters written, or -1.
int writeDeviceInfo(const char *path, const char *finalText);
// writeDeviceInfo("<directory>/<default name>.log") at most once a minute; true when
// nothing was due or the write succeeded.
bool writeDeviceInfoThrottled(const char *directory);

// The products with Wi-Fi hardware: 283, 284, 297, 298, 302, 304, 306, 314 and 1001.
bool isWifiProduct(unsigned productId);
