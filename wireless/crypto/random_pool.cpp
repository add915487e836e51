#include "wireless/crypto/random_pool.h"

#include "wireless/crypto/crypto.h"
#include "wireless/crypto/random_pool_internal.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr unsigned kPoolWords = 32;
constexpr unsigned kPoolMask = kPoolWords - 1;
constexpr size_t kKeyLen = 20;
constexpr size_t kEntropyFileLen = 1 + kKeyLen;
constexpr unsigned kMinReadyMark = 2;
constexpr unsigned kMaxEvents = 1000;
constexpr unsigned kAddEntropySkip = 1024;

// Twist table of the mix step: the combinations of 0xedb88320 shifted by 0, 1 and 2 bits.
constexpr uint32_t kTwist[8] = {0x00000000, 0x3b6e20c8, 0x76dc4190, 0x4db26158,
                                0xedb88320, 0xd6d6a3e8, 0x9b64c2b0, 0xa00ae278};

struct Pool {
    uint32_t words[kPoolWords] = {};
    unsigned inputRotate = 0;
    unsigned pos = 0;
    unsigned entropy = 0;        // estimate of collected entropy events
    unsigned totalCollected = 0; // events mixed in
    unsigned addCalls = 0;       // calls of random_pool_add_entropy
    uint8_t key[kKeyLen] = {};
    size_t keyAvail = 0;
    int fd = -1;
    bool fdRegistered = false;
    unsigned readyMark = 0;
    std::string entropyFile;
    bool haveEntropyFile = false;
};

Pool pool;
const random_pool_eloop_ops *eloopOps = nullptr;
std::string keyDevice = "/dev/urandom";

uint32_t rol32(uint32_t w, unsigned bits) {
    bits &= 31;
    return bits == 0 ? w : (w << bits) | (w >> (32 - bits));
}

int osGetRandom(uint8_t *buf, size_t len) {
    FILE *f = fopen("/dev/urandom", "rb");
    if (f == nullptr) {
        printf("Could not open /dev/urandom.\n");
        return -1;
    }
    const size_t got = fread(buf, 1, len, f);
    fclose(f);
    return got == len ? 0 : -1;
}

void writeEntropyFile() {
    if (!pool.haveEntropyFile) return;
    uint8_t buf[kEntropyFileLen];
    buf[0] = static_cast<uint8_t>(pool.readyMark > 255 ? 255 : pool.readyMark);
    if (random_pool_get_bytes(buf + 1, kKeyLen) != 0) {
        OPENSSL_cleanse(buf, sizeof(buf));
        return;
    }
    FILE *f = fopen(pool.entropyFile.c_str(), "wb");
    if (f != nullptr) {
        fwrite(buf, 1, sizeof(buf), f);
        fclose(f);
    }
    OPENSSL_cleanse(buf, sizeof(buf));
}

void readEntropyFile() {
    if (!pool.haveEntropyFile) return;
    FILE *f = fopen(pool.entropyFile.c_str(), "rb");
    if (f == nullptr) return;
    // Read one byte more than the file's size so that a longer file is told apart.
    uint8_t buf[kEntropyFileLen + 1];
    const size_t got = fread(buf, 1, sizeof(buf), f);
    fclose(f);
    if (got == kEntropyFileLen) {
        pool.readyMark = buf[0];
        random_pool_add_entropy(buf + 1, kKeyLen);
    }
    OPENSSL_cleanse(buf, sizeof(buf));
}

void stopReader() {
    if (pool.fd < 0) return;
    if (pool.fdRegistered && eloopOps != nullptr) eloopOps->unregister_read_sock(pool.fd);
    pool.fdRegistered = false;
    close(pool.fd);
    pool.fd = -1;
}

// Reads what the device has now into the key; once the key is complete the reader stops,
// the pool counts as proven good at least twice and the entropy file is refreshed.
void readKeyBytes() {
    if (pool.fd < 0 || pool.keyAvail >= kKeyLen) return;
    const ssize_t n = read(pool.fd, pool.key + pool.keyAvail, kKeyLen - pool.keyAvail);
    if (n <= 0) return;
    pool.keyAvail += static_cast<size_t>(n);
    if (pool.keyAvail < kKeyLen) return;
    stopReader();
    if (pool.readyMark < kMinReadyMark) pool.readyMark = kMinReadyMark;
    writeEntropyFile();
}

void keyReader(int, void *, void *) {
    readKeyBytes();
}

} // namespace

void random_pool_mix(const uint8_t *buf, size_t len) {
    for (size_t i = 0; i < len; i++) {
        const unsigned oldPos = pool.pos;
        const unsigned p = (oldPos - 1) & kPoolMask;
        uint32_t w = rol32(buf[i], pool.inputRotate);
        w ^= pool.words[p] ^ pool.words[(p + 1) & kPoolMask] ^ pool.words[(p + 7) & kPoolMask] ^
             pool.words[(p + 14) & kPoolMask] ^ pool.words[(p + 20) & kPoolMask] ^
             pool.words[(p + 26) & kPoolMask];
        pool.words[p] = (w >> 3) ^ kTwist[w & 7];
        // The rotation is a shift count of a 32-bit word: keep it below 32.
        pool.inputRotate = (pool.inputRotate + (oldPos == 0 ? 14 : 7)) & 31;
        pool.pos = p;
    }
}

void random_pool_set_eloop_ops(const random_pool_eloop_ops *ops) {
    eloopOps = ops;
}

void random_pool_add_entropy(const void *buf, size_t len) {
    pool.addCalls++;
    if (pool.entropy > kMaxEvents && pool.addCalls % kAddEntropySkip != 0) return;
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    uint8_t when[8];
    const uint32_t sec = static_cast<uint32_t>(tv.tv_sec);
    const uint32_t usec = static_cast<uint32_t>(tv.tv_usec);
    memcpy(when, &sec, 4);
    memcpy(when + 4, &usec, 4);
    random_pool_mix(when, sizeof(when));
    if (buf != nullptr) random_pool_mix(static_cast<const uint8_t *>(buf), len);
    pool.entropy++;
    pool.totalCollected++;
}

int random_pool_get_bytes(uint8_t *buf, size_t len) {
    const int ret = osGetRandom(buf, len);
    uint8_t hash[20];
    size_t left = len;
    uint8_t *out = buf;
    while (left > 0) {
        // Hash the pool and mix the hash back, then hash 16 words next to the position
        // and fold the result into the output.
        if (crypto_hmac_sha1(pool.key, kKeyLen, reinterpret_cast<const uint8_t *>(pool.words),
                             sizeof(pool.words), hash) != 0)
            break;
        random_pool_mix(hash, sizeof(hash));
        uint32_t tmp[16];
        for (unsigned i = 0; i < 16; i++)
            tmp[i] = pool.words[(pool.pos - i) & kPoolMask];
        const int hr =
            crypto_hmac_sha1(pool.key, kKeyLen, reinterpret_cast<const uint8_t *>(tmp), sizeof(tmp), hash);
        OPENSSL_cleanse(tmp, sizeof(tmp));
        if (hr != 0) break;
        for (unsigned i = 0; i < 4; i++)
            hash[i] ^= hash[16 + i];
        const size_t n = left < 16 ? left : 16;
        for (size_t i = 0; i < n; i++)
            out[i] ^= hash[i];
        out += n;
        left -= n;
    }
    OPENSSL_cleanse(hash, sizeof(hash));
    pool.entropy = pool.entropy > len ? pool.entropy - static_cast<unsigned>(len) : 0;
    return ret;
}

bool random_pool_is_ready() {
    if (pool.keyAvail >= kKeyLen) return true;
    readKeyBytes();
    if (pool.keyAvail >= kKeyLen) return true;
    return pool.readyMark >= kMinReadyMark || pool.totalCollected + 10 * pool.readyMark > kMaxEvents;
}

void random_pool_mark_ready() {
    pool.readyMark++;
    writeEntropyFile();
}

void random_pool_init(const char *entropy_file) {
    pool.haveEntropyFile = entropy_file != nullptr;
    pool.entropyFile = entropy_file != nullptr ? entropy_file : "";
    readEntropyFile();
    if (pool.fd < 0 && pool.keyAvail < kKeyLen) {
        pool.fd = open(keyDevice.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (pool.fd >= 0) {
            // Take what the device has at once; the event loop delivers the rest.
            readKeyBytes();
            if (pool.fd >= 0 && eloopOps != nullptr)
                pool.fdRegistered = eloopOps->register_read_sock(pool.fd, keyReader, nullptr, nullptr) == 0;
        }
    }
    writeEntropyFile();
}

void random_pool_deinit() {
    stopReader();
    writeEntropyFile();
    pool.haveEntropyFile = false;
    pool.entropyFile.clear();
}

void random_pool_set_key_device(const char *path) {
    keyDevice = path != nullptr ? path : "/dev/urandom";
}

void random_pool_reset() {
    stopReader();
    OPENSSL_cleanse(&pool.key, sizeof(pool.key));
    pool = Pool{};
}

const uint32_t *random_pool_words() {
    return pool.words;
}
unsigned random_pool_input_rotate() {
    return pool.inputRotate;
}
unsigned random_pool_position() {
    return pool.pos;
}
