// Platform helpers of the supplicant: time, randomness, files, memory and strings.
#pragma once

#include <cstddef>
#include <cstdint>

// A point or span of the supplicant's clock: seconds and microseconds (0..999999).
struct os_time {
    int64_t sec;
    int64_t usec;
};
using os_reltime = os_time;

void os_sleep(int64_t sec, int64_t usec);
// Wall-clock time of day.
int os_get_time(os_time *t);
// The clock of every timeout and age: CLOCK_MONOTONIC, so setting the system time moves nothing.
int os_get_reltime(os_reltime *t);

bool os_reltime_before(const os_reltime *a, const os_reltime *b);
void os_reltime_sub(const os_reltime *a, const os_reltime *b, os_reltime *res);
void os_reltime_sub_ms(os_reltime *t, int64_t ms);
// a + (sec, usec), saturating at the largest representable time instead of wrapping.
void os_reltime_add_sat(const os_reltime *a, int64_t sec, int64_t usec, os_reltime *res);

struct os_tm {
    int sec, min, hour, day, month, year;
};
int os_gmtime(int64_t t, os_tm *tm);

int os_get_random(unsigned char *buf, size_t len);
unsigned long os_random();

char *os_rel2abs_path(const char *name);
char *os_readfile(const char *name, size_t *len);
int os_unlink(const char *name);

void *os_zalloc(size_t size);
void *os_calloc(size_t nmemb, size_t size);
char *os_strdup(const char *s);
size_t os_strlcpy(char *dest, const char *src, size_t siz);
int os_memcmp_const(const void *a, const void *b, size_t len);

bool is_zero_ether_addr(const uint8_t *a);
uint32_t wpa_get_be32(const uint8_t *a);
void wpa_put_be32(uint8_t *a, uint32_t v);
uint16_t wpa_get_be16(const uint8_t *a);
void wpa_put_be16(uint8_t *a, uint16_t v);
// Appends val to a zero-terminated array when it is not there yet; -1 on allocation failure.
int int_array_add_unique(int **arr, int val);
