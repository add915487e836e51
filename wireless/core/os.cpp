#include "wireless/core/os.h"

#include "core/sysroot.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/time.h>
#include <unistd.h>

void os_sleep(int64_t sec, int64_t usec) {
    if (sec > 0) sleep(sec > UINT_MAX ? UINT_MAX : static_cast<unsigned>(sec));
    if (usec > 0) usleep(static_cast<useconds_t>(usec));
}

int os_get_time(os_time *t) {
    timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) return -1;
    t->sec = tv.tv_sec;
    t->usec = tv.tv_usec;
    return 0;
}

int os_get_reltime(os_reltime *t) {
    timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return -1;
    t->sec = ts.tv_sec;
    t->usec = ts.tv_nsec / 1000;
    return 0;
}

bool os_reltime_before(const os_reltime *a, const os_reltime *b) {
    return a->sec < b->sec || (a->sec == b->sec && a->usec < b->usec);
}

void os_reltime_sub(const os_reltime *a, const os_reltime *b, os_reltime *res) {
    res->sec = a->sec - b->sec;
    res->usec = a->usec - b->usec;
    if (res->usec < 0) {
        res->sec--;
        res->usec += 1000000;
    }
}

void os_reltime_sub_ms(os_reltime *t, int64_t ms) {
    t->sec -= ms / 1000;
    t->usec -= (ms % 1000) * 1000;
    if (t->usec < 0) {
        t->sec--;
        t->usec += 1000000;
    }
}

void os_reltime_add_sat(const os_reltime *a, int64_t sec, int64_t usec, os_reltime *res) {
    if (sec < 0) sec = 0;
    if (usec < 0) usec = 0;
    // Fold whole seconds out of the microseconds first, so neither sum can overflow unseen.
    int64_t carry = usec / 1000000;
    usec %= 1000000;
    if (sec > INT64_MAX - carry)
        sec = INT64_MAX;
    else
        sec += carry;
    int64_t u = a->usec + usec;
    int64_t s = a->sec;
    if (u >= 1000000) {
        u -= 1000000;
        if (s < INT64_MAX) s++;
    }
    if (s > INT64_MAX - sec) {
        res->sec = INT64_MAX;
        res->usec = 999999;
        return;
    }
    res->sec = s + sec;
    res->usec = u;
}

int os_gmtime(int64_t t, os_tm *tm) {
    time_t tt = static_cast<time_t>(t);
    struct tm r;
    if (gmtime_r(&tt, &r) == nullptr) return -1;
    tm->sec = r.tm_sec;
    tm->min = r.tm_min;
    tm->hour = r.tm_hour;
    tm->day = r.tm_mday;
    tm->month = r.tm_mon + 1;
    tm->year = r.tm_year + 1900;
    return 0;
}

int os_get_random(unsigned char *buf, size_t len) {
    FILE *f = fopen(sysPath("/dev/urandom").c_str(), "rb");
    if (f == nullptr) {
        printf("Could not open /dev/urandom.\n");
        return -1;
    }
    size_t rc = fread(buf, 1, len, f);
    fclose(f);
    return rc != len ? -1 : 0;
}

unsigned long os_random() {
    return static_cast<unsigned long>(random());
}

char *os_rel2abs_path(const char *name) {
    if (name == nullptr) return nullptr;
    if (name[0] == '/') return strdup(name);
    size_t size = 128;
    char *cwd = nullptr;
    for (int attempt = 0; attempt < 4; attempt++) {
        char *b = static_cast<char *>(realloc(cwd, size));
        if (b == nullptr) break;
        cwd = b;
        if (getcwd(cwd, size) != nullptr) {
            size_t cl = strlen(cwd), nl = strlen(name);
            char *ret = static_cast<char *>(malloc(cl + 1 + nl + 1));
            if (ret != nullptr) {
                memcpy(ret, cwd, cl);
                ret[cl] = '/';
                memcpy(ret + cl + 1, name, nl + 1);
            }
            free(cwd);
            return ret;
        }
        if (errno != ERANGE) break;
        size *= 2;
    }
    free(cwd);
    return nullptr;
}

char *os_readfile(const char *name, size_t *len) {
    FILE *f = fopen(name, "rb");
    if (f == nullptr) return nullptr;
    char *buf = nullptr;
    long pos;
    if (fseek(f, 0, SEEK_END) == 0 && (pos = ftell(f)) >= 0 && fseek(f, 0, SEEK_SET) == 0) {
        buf = static_cast<char *>(malloc(pos > 0 ? pos : 1));
        if (buf != nullptr && fread(buf, 1, pos, f) != static_cast<size_t>(pos)) {
            free(buf);
            buf = nullptr;
        }
        if (buf != nullptr) *len = static_cast<size_t>(pos);
    }
    fclose(f);
    return buf;
}

int os_unlink(const char *name) {
    if (name == nullptr) return 0;
    return unlink(name);
}

void *os_zalloc(size_t size) {
    return calloc(1, size);
}

void *os_calloc(size_t nmemb, size_t size) {
    if (size != 0 && nmemb > UINT32_MAX / size) return nullptr;
    return calloc(nmemb, size);
}

char *os_strdup(const char *s) {
    return s ? strdup(s) : nullptr;
}

size_t os_strlcpy(char *dest, const char *src, size_t siz) {
    size_t len = strlen(src);
    if (siz != 0) {
        size_t n = len < siz - 1 ? len : siz - 1;
        memcpy(dest, src, n);
        dest[n] = '\0';
    }
    return len;
}

int os_memcmp_const(const void *a, const void *b, size_t len) {
    const uint8_t *x = static_cast<const uint8_t *>(a), *y = static_cast<const uint8_t *>(b);
    uint8_t res = 0;
    for (size_t i = 0; i < len; i++)
        res |= x[i] ^ y[i];
    return res;
}

bool is_zero_ether_addr(const uint8_t *a) {
    return !(a[0] | a[1] | a[2] | a[3] | a[4] | a[5]);
}

uint32_t wpa_get_be32(const uint8_t *a) {
    return (uint32_t(a[0]) << 24) | (uint32_t(a[1]) << 16) | (uint32_t(a[2]) << 8) | a[3];
}

void wpa_put_be32(uint8_t *a, uint32_t v) {
    a[0] = v >> 24;
    a[1] = v >> 16;
    a[2] = v >> 8;
    a[3] = v;
}

uint16_t wpa_get_be16(const uint8_t *a) {
    return static_cast<uint16_t>((a[0] << 8) | a[1]);
}

void wpa_put_be16(uint8_t *a, uint16_t v) {
    a[0] = v >> 8;
    a[1] = v & 0xff;
}

int int_array_add_unique(int **arr, int val) {
    size_t len = 0;
    if (*arr != nullptr) {
        while ((*arr)[len] != 0) {
            if ((*arr)[len] == val) return 0;
            len++;
        }
    }
    int *n = static_cast<int *>(realloc(*arr, (len + 2) * sizeof(int)));
    if (n == nullptr) return -1;
    n[len] = val;
    n[len + 1] = 0;
    *arr = n;
    return 0;
}
