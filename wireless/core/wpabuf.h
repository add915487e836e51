// The supplicant's byte buffer: a header and, normally, its data in one allocation.
// Capacity changes only through wpa_buf_resize; every writer sizes the buffer first.
#pragma once

#include <cstddef>
#include <cstdint>

struct wpa_buf {
    uint32_t size; // capacity in bytes
    uint32_t used; // bytes written, never above size
    uint8_t *buf;  // first data byte
    uint32_t flags;
};

constexpr uint32_t WPA_BUF_FLAG_EXT_DATA = 0x1; // data allocated separately, freed with the buffer

wpa_buf *wpa_buf_alloc(size_t len);
wpa_buf *wpa_buf_alloc_copy(const void *data, size_t len);
wpa_buf *wpa_buf_dup(const wpa_buf *src);
int wpa_buf_resize(wpa_buf **buf, size_t add_len);
// Reserves len bytes at the end. A put past the capacity is a caller's fault: the process
// stops with a message instead of writing beyond the allocation.
void *wpa_buf_put(wpa_buf *buf, size_t len);
void wpa_buf_put_data(wpa_buf *buf, const void *data, size_t len);
void wpa_buf_put_u8(wpa_buf *buf, uint8_t v);
void wpa_buf_put_be16(wpa_buf *buf, uint16_t v);
void wpa_buf_put_str(wpa_buf *buf, const char *s);
void wpa_buf_put_buf(wpa_buf *dst, const wpa_buf *src);
void wpa_buf_free(wpa_buf *buf);
void wpa_buf_clear_free(wpa_buf *buf);
wpa_buf *wpa_buf_concat(wpa_buf *a, wpa_buf *b);
wpa_buf *wpa_buf_zeropad(wpa_buf *buf, size_t len);
wpa_buf *wpa_buf_parse_hex(const char *text);
// A read-only view of bytes owned elsewhere; freed like any buffer, never grown.
void wpa_buf_set(wpa_buf *buf, const void *data, size_t len);

inline size_t wpa_buf_len(const wpa_buf *b) {
    return b->used;
}
inline size_t wpa_buf_tailroom(const wpa_buf *b) {
    return b->size - b->used;
}
inline const uint8_t *wpa_buf_head(const wpa_buf *b) {
    return b->buf;
}
inline uint8_t *wpa_buf_mhead(wpa_buf *b) {
    return b->buf;
}
