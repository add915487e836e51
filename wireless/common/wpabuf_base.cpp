// The byte-buffer functions the shared 802.11, EAP and crypto helpers use, so that these
// helpers link on their own (unit tests, fuzz targets). They are weak: where the
// supplicant core with its complete buffer module is linked, its definitions are used.
#include "wireless/core/wpabuf.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#define QMR_WEAK __attribute__((weak))

QMR_WEAK wpa_buf *wpa_buf_alloc(size_t len) {
    if (len > UINT32_MAX - sizeof(wpa_buf)) return nullptr;
    auto *buf = static_cast<wpa_buf *>(calloc(1, sizeof(wpa_buf) + len));
    if (buf == nullptr) return nullptr;
    buf->size = static_cast<uint32_t>(len);
    buf->buf = reinterpret_cast<uint8_t *>(buf + 1);
    return buf;
}

QMR_WEAK wpa_buf *wpa_buf_alloc_copy(const void *data, size_t len) {
    wpa_buf *buf = wpa_buf_alloc(len);
    if (buf != nullptr) wpa_buf_put_data(buf, data, len);
    return buf;
}

QMR_WEAK void wpa_buf_free(wpa_buf *buf) {
    if (buf == nullptr) return;
    if (buf->flags & WPA_BUF_FLAG_EXT_DATA) free(buf->buf);
    free(buf);
}

QMR_WEAK void wpa_buf_clear_free(wpa_buf *buf) {
    if (buf == nullptr) return;
    OPENSSL_cleanse(buf->buf, buf->used);
    wpa_buf_free(buf);
}

QMR_WEAK void *wpa_buf_put(wpa_buf *buf, size_t len) {
    if (len > buf->size - buf->used) {
        // Every writer sizes its buffer before it writes; going past the end would
        // corrupt memory, so stop here where the fault is visible.
        fprintf(stderr, "wpa_buf %p (size=%u used=%u) overflow len=%zu\n", static_cast<const void *>(buf),
                buf->size, buf->used, len);
        abort();
    }
    uint8_t *tail = buf->buf + buf->used;
    buf->used += static_cast<uint32_t>(len);
    return tail;
}

QMR_WEAK void wpa_buf_put_data(wpa_buf *buf, const void *data, size_t len) {
    if (data == nullptr || len == 0) return;
    memcpy(wpa_buf_put(buf, len), data, len);
}

QMR_WEAK void wpa_buf_put_u8(wpa_buf *buf, uint8_t v) {
    *static_cast<uint8_t *>(wpa_buf_put(buf, 1)) = v;
}
