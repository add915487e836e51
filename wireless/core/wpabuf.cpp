#include "wireless/core/wpabuf.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void overflow(const wpa_buf *buf, size_t len) {
    fprintf(stderr, "wpa_buf %p (size=%u used=%u) overflow len=%zu\n", static_cast<const void *>(buf),
            buf->size, buf->used, len);
    abort();
}

// One hex digit's value, or -1. Kept here so the buffer library needs nothing else.
int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

wpa_buf *wpa_buf_alloc(size_t len) {
    if (len > UINT32_MAX - sizeof(wpa_buf)) return nullptr;
    auto *buf = static_cast<wpa_buf *>(calloc(1, sizeof(wpa_buf) + len));
    if (buf == nullptr) return nullptr;
    buf->size = static_cast<uint32_t>(len);
    buf->buf = reinterpret_cast<uint8_t *>(buf + 1);
    return buf;
}

wpa_buf *wpa_buf_alloc_copy(const void *data, size_t len) {
    wpa_buf *buf = wpa_buf_alloc(len);
    if (buf != nullptr) wpa_buf_put_data(buf, data, len);
    return buf;
}

wpa_buf *wpa_buf_dup(const wpa_buf *src) {
    return wpa_buf_alloc_copy(src->buf, src->used);
}

void wpa_buf_set(wpa_buf *buf, const void *data, size_t len) {
    buf->buf = static_cast<uint8_t *>(const_cast<void *>(data));
    buf->flags = 0;
    buf->size = buf->used = static_cast<uint32_t>(len);
}

int wpa_buf_resize(wpa_buf **bufp, size_t add_len) {
    wpa_buf *buf = *bufp;
    if (buf == nullptr) {
        *bufp = wpa_buf_alloc(add_len);
        return *bufp == nullptr ? -1 : 0;
    }
    if (buf->size - buf->used >= add_len) return 0;
    if (add_len > UINT32_MAX - sizeof(wpa_buf) - buf->used) return -1;
    size_t need = buf->used + add_len;
    if (buf->flags & WPA_BUF_FLAG_EXT_DATA) {
        auto *n = static_cast<uint8_t *>(realloc(buf->buf, need));
        if (n == nullptr) return -1;
        memset(n + buf->used, 0, add_len);
        buf->buf = n;
    } else {
        auto *n = static_cast<wpa_buf *>(realloc(buf, sizeof(wpa_buf) + need));
        if (n == nullptr) return -1;
        n->buf = reinterpret_cast<uint8_t *>(n + 1);
        memset(n->buf + n->used, 0, add_len);
        buf = n;
        *bufp = n;
    }
    buf->size = static_cast<uint32_t>(need);
    return 0;
}

void *wpa_buf_put(wpa_buf *buf, size_t len) {
    if (len > buf->size - buf->used) overflow(buf, len);
    void *p = buf->buf + buf->used;
    buf->used += static_cast<uint32_t>(len);
    return p;
}

void wpa_buf_put_data(wpa_buf *buf, const void *data, size_t len) {
    if (data != nullptr && len > 0) memcpy(wpa_buf_put(buf, len), data, len);
}

void wpa_buf_put_u8(wpa_buf *buf, uint8_t v) {
    *static_cast<uint8_t *>(wpa_buf_put(buf, 1)) = v;
}

void wpa_buf_put_be16(wpa_buf *buf, uint16_t v) {
    auto *p = static_cast<uint8_t *>(wpa_buf_put(buf, 2));
    p[0] = v >> 8;
    p[1] = v & 0xff;
}

void wpa_buf_put_str(wpa_buf *buf, const char *s) {
    wpa_buf_put_data(buf, s, strlen(s));
}

void wpa_buf_put_buf(wpa_buf *dst, const wpa_buf *src) {
    wpa_buf_put_data(dst, src->buf, src->used);
}

void wpa_buf_free(wpa_buf *buf) {
    if (buf == nullptr) return;
    if (buf->flags & WPA_BUF_FLAG_EXT_DATA) free(buf->buf);
    free(buf);
}

void wpa_buf_clear_free(wpa_buf *buf) {
    if (buf == nullptr) return;
    if (buf->flags & WPA_BUF_FLAG_EXT_DATA || buf->buf == reinterpret_cast<uint8_t *>(buf + 1))
        explicit_bzero(buf->buf, buf->used);
    wpa_buf_free(buf);
}

wpa_buf *wpa_buf_concat(wpa_buf *a, wpa_buf *b) {
    if (b == nullptr) return a;
    wpa_buf *n = wpa_buf_alloc((a ? a->used : 0) + b->used);
    if (n != nullptr) {
        if (a != nullptr) wpa_buf_put_buf(n, a);
        wpa_buf_put_buf(n, b);
    }
    wpa_buf_free(a);
    wpa_buf_free(b);
    return n;
}

wpa_buf *wpa_buf_zeropad(wpa_buf *buf, size_t len) {
    if (buf == nullptr) return nullptr;
    if (buf->used >= len) return buf;
    wpa_buf *n = wpa_buf_alloc(len);
    if (n != nullptr) {
        memset(wpa_buf_put(n, len - buf->used), 0, len - buf->used);
        wpa_buf_put_buf(n, buf);
    }
    wpa_buf_free(buf);
    return n;
}

wpa_buf *wpa_buf_parse_hex(const char *text) {
    if (text == nullptr) return nullptr;
    size_t len = strlen(text);
    if (len & 1) return nullptr;
    wpa_buf *buf = wpa_buf_alloc(len / 2);
    if (buf == nullptr) return nullptr;
    auto *out = static_cast<uint8_t *>(wpa_buf_put(buf, len / 2));
    for (size_t i = 0; i < len / 2; i++) {
        int hi = hex_digit(text[2 * i]);
        int lo = hex_digit(text[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            wpa_buf_free(buf);
            return nullptr;
        }
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return buf;
}
