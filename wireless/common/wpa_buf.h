// Growable byte buffer in which frames, elements and messages of the wireless code are
// built and passed: a header followed by the data in the same allocation, or a header over
// separately allocated data (flags bit 0). A put past the capacity is a caller's error;
// it stops the process with a message instead of writing past the end.
#pragma once

#include <cstddef>
#include <cstdint>

struct wpa_buf {
    uint32_t size; // capacity in bytes
    uint32_t used; // bytes written so far, never more than size
    uint8_t *data; // first data byte
    int32_t flags; // bit 0: data allocated separately
};

constexpr int32_t WPA_BUF_FLAG_EXT_DATA = 0x1;

wpa_buf *wpa_buf_alloc(size_t len);
wpa_buf *wpa_buf_alloc_copy(const void *data, size_t len);
void wpa_buf_free(wpa_buf *buf);
void wpa_buf_clear_free(wpa_buf *buf);
void *wpa_buf_put(wpa_buf *buf, size_t len);
void wpa_buf_put_data(wpa_buf *buf, const void *data, size_t len);
void wpa_buf_put_u8(wpa_buf *buf, uint8_t value);

inline size_t wpa_buf_len(const wpa_buf *buf) {
    return buf->used;
}
inline size_t wpa_buf_tailroom(const wpa_buf *buf) {
    return buf->size - buf->used;
}
inline const uint8_t *wpa_buf_head(const wpa_buf *buf) {
    return buf->data;
}
inline uint8_t *wpa_buf_mhead(wpa_buf *buf) {
    return buf->data;
}
