#include "wireless/common/wpa_buf.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

wpa_buf *wpa_buf_alloc(size_t len) {
    if (len > UINT32_MAX - sizeof(wpa_buf)) return nullptr;
    auto *buf = static_cast<wpa_buf *>(calloc(1, sizeof(wpa_buf) + len));
    if (buf == nullptr) return nullptr;
    buf->size = static_cast<uint32_t>(len);
    buf->data = reinterpret_cast<uint8_t *>(buf + 1);
    return buf;
}

wpa_buf *wpa_buf_alloc_copy(const void *data, size_t len) {
    wpa_buf *buf = wpa_buf_alloc(len);
    if (buf != nullptr && len > 0) wpa_buf_put_data(buf, data, len);
    return buf;
}

void wpa_buf_free(wpa_buf *buf) {
    if (buf == nullptr) return;
    if (buf->flags & WPA_BUF_FLAG_EXT_DATA) free(buf->data);
    free(buf);
}

void wpa_buf_clear_free(wpa_buf *buf) {
    if (buf == nullptr) return;
    OPENSSL_cleanse(buf->data, buf->used);
    wpa_buf_free(buf);
}

void *wpa_buf_put(wpa_buf *buf, size_t len) {
    if (len > buf->size - buf->used) {
        // Every writer sizes its buffer before it writes; going past the end would
        // corrupt memory, so stop here where the fault is visible.
        fprintf(stdout, "wpa_buf %p put %zu past capacity (used %u, size %u)\n", static_cast<void *>(buf),
                len, buf->used, buf->size);
        fflush(stdout);
        abort();
    }
    uint8_t *tail = buf->data + buf->used;
    buf->used += static_cast<uint32_t>(len);
    return tail;
}

void wpa_buf_put_data(wpa_buf *buf, const void *data, size_t len) {
    if (data == nullptr || len == 0) return;
    memcpy(wpa_buf_put(buf, len), data, len);
}

void wpa_buf_put_u8(wpa_buf *buf, uint8_t value) {
    *static_cast<uint8_t *>(wpa_buf_put(buf, 1)) = value;
}
