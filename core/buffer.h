// Byte buffer filled by the network readers and text builders: storage that the buffer
// may or may not own, a cursor where the contents start, and the content length.
#pragma once

#include <cstddef>
#include <cstdint>

class Buffer {
public:
    Buffer() = default;
    // Wraps memory of the caller (not owned, never freed by the buffer).
    Buffer(char *storage, int32_t capacity) : base(storage), size(capacity), cursor(storage) {}
    // Frees owned storage, so a buffer that goes out of scope never leaks it.
    ~Buffer() { release(); }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    Buffer(Buffer &&other) noexcept;
    Buffer &operator=(Buffer &&other) noexcept;

    // All fields zero: the storage is forgotten, not freed.
    void clear();
    void forget() { clear(); }
    // Cursor back to the start, no contents.
    void rewind();
    // Frees owned storage, then clears.
    void release();
    // Makes the buffer own at least n bytes (reusing owned storage that is large
    // enough); the length becomes 0. False, after a message, when memory is short.
    bool createMalloc(int32_t n);
    // printf at the end of the contents, cut at the end of the storage; returns what
    // vsnprintf returns.
    int appendf(const char *format, ...) __attribute__((format(printf, 2, 3)));
    // An owned copy of the other buffer's contents.
    bool copyFrom(const Buffer &other);
    // Appends as much of the other buffer's contents as fits; true when all did.
    bool append(const Buffer &other);
    // Builds this buffer as an owned copy of the source with every occurrence of the
    // pattern replaced; the source is consumed. carried holds how many leading bytes
    // of the pattern the previous chunk ended with (held back in the source).
    void replaceCopy(Buffer &source, int &carried, const char *pattern, int patternLength,
                     const char *replacement, int replacementLength);

    // Appends the identification banner of mailed and uploaded logs; returns 1.
    int printBanner(const char *name);

    // Free bytes after the contents.
    int32_t room() const;

    char *base = nullptr;
    int32_t size = 0;
    int32_t owned = 0;
    char *cursor = nullptr;
    int32_t length = 0;
};
