#include "core/buffer.h"

#include "core/task.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

Buffer::Buffer(Buffer &&other) noexcept
    : base(other.base), size(other.size), owned(other.owned), cursor(other.cursor), length(other.length) {
    other.clear();
}

Buffer &Buffer::operator=(Buffer &&other) noexcept {
    if (this != &other) {
        release();
        base = other.base;
        size = other.size;
        owned = other.owned;
        cursor = other.cursor;
        length = other.length;
        other.clear();
    }
    return *this;
}

void Buffer::clear() {
    base = cursor = nullptr;
    size = owned = length = 0;
}

void Buffer::rewind() {
    cursor = base;
    length = 0;
}

void Buffer::release() {
    if (owned && base) std::free(base);
    clear();
}

bool Buffer::createMalloc(int32_t n) {
    if (base && owned) {
        if (size >= n) {
            rewind();
            return true;
        }
        std::free(base);
    }
    clear();
    cursor = static_cast<char *>(std::malloc(n > 0 ? static_cast<size_t>(n) : 1));
    if (cursor == nullptr) {
        std::printf("%s FATAL ERROR MEM FAULT size:%d %s !!\n", "createMalloc", n, Task::currentName());
        return false;
    }
    base = cursor;
    size = n;
    owned = 1;
    length = 0;
    return true;
}

int32_t Buffer::room() const {
    if (base == nullptr || cursor == nullptr) return 0;
    // Measured from where the contents end, so a cursor that readers advanced never
    // lets a writer run past the storage.
    ptrdiff_t used = (cursor - base) + length;
    return used >= size ? 0 : static_cast<int32_t>(size - used);
}

int Buffer::appendf(const char *format, ...) {
    int32_t free = room();
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(free > 0 ? cursor + length : nullptr, static_cast<size_t>(free), format, args);
    va_end(args);
    // A text that did not fit fills the storage to its end (its last byte is the
    // terminator vsnprintf wrote).
    if (n > 0) length += (n < free) ? n : free;
    return n;
}

bool Buffer::copyFrom(const Buffer &other) {
    release();
    if (!createMalloc(other.length)) return false;
    if (other.length > 0) std::memcpy(cursor, other.cursor, static_cast<size_t>(other.length));
    length = other.length;
    return true;
}

bool Buffer::append(const Buffer &other) {
    int32_t n = std::min(room(), other.length);
    if (n > 0) std::memcpy(cursor + length, other.cursor, static_cast<size_t>(n));
    length += std::max(n, 0);
    return n == other.length;
}

void Buffer::replaceCopy(Buffer &source, int &carried, const char *pattern, int patternLength,
                         const char *replacement, int replacementLength) {
    // Room for the held-back pattern bytes too: a short next chunk would otherwise cut
    // them when the replacement is shorter than they are.
    int32_t held = carried > 0 && carried < patternLength ? carried : 0;
    int32_t capacity = 2 * source.length + replacementLength + held;
    if (!createMalloc(capacity)) return;
    int32_t out = 0;
    auto emit = [&](const char *bytes, int32_t n) {
        n = std::min(n, capacity - out);
        if (n > 0) {
            std::memcpy(base + out, bytes, static_cast<size_t>(n));
            out += n;
        }
    };
    auto consume = [&](int32_t n) {
        source.cursor += n;
        source.length -= n;
    };

    if (carried > 0 && carried < patternLength) {
        int32_t rest = patternLength - carried;
        if (source.length >= rest &&
            std::memcmp(source.cursor, pattern + carried, static_cast<size_t>(rest)) == 0) {
            consume(rest);
            emit(replacement, replacementLength);
        } else {
            emit(pattern, carried);
        }
    }
    carried = 0;

    while (source.length > 0 && capacity - out > replacementLength) {
        if (source.cursor[0] == pattern[0] && source.length < patternLength &&
            std::memcmp(source.cursor, pattern, static_cast<size_t>(source.length)) == 0) {
            carried = source.length;
            break;
        }
        if (source.length >= patternLength &&
            std::memcmp(source.cursor, pattern, static_cast<size_t>(patternLength)) == 0) {
            consume(patternLength);
            emit(replacement, replacementLength);
        } else {
            emit(source.cursor, 1);
            consume(1);
        }
    }
    length = out;
}
