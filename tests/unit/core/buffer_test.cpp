#include "core/buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string contents(const Buffer &b) {
    return std::string(b.cursor, size_t(b.length));
}

TEST(Buffer, AppendfCutsAtTheEndOfTheStorage) {
    char mem[20];
    Buffer b(mem, 20);
    EXPECT_EQ(b.appendf("%s", "0123456789"), 10);
    EXPECT_EQ(b.length, 10);
    EXPECT_EQ(b.appendf("%s", "abcdefghijklmnopqrst"), 20); // 10 bytes of room
    EXPECT_EQ(b.length, b.size);
    EXPECT_EQ(b.appendf("x"), 1); // full: nothing more is written
    EXPECT_EQ(b.length, b.size);
}

TEST(Buffer, RoomCountsFromTheCursor) {
    char mem[16];
    Buffer b(mem, 16);
    b.appendf("0123456789");
    b.cursor += 8; // a reader consumed 8 bytes
    b.length -= 8;
    EXPECT_EQ(b.room(), 6);
    b.appendf("%s", "abcdefghijklmnop");
    EXPECT_EQ(b.cursor + b.length, mem + 16); // never past the storage
    Buffer other;
    other.createMalloc(32);
    other.appendf("zzzz");
    EXPECT_FALSE(b.append(other));
}

TEST(Buffer, CreateMallocReusesOwnedStorageAndDropsBorrowed) {
    Buffer b;
    ASSERT_TRUE(b.createMalloc(200));
    char *block = b.base;
    b.appendf("hello");
    ASSERT_TRUE(b.createMalloc(100));
    EXPECT_EQ(b.base, block);
    EXPECT_EQ(b.length, 0);
    ASSERT_TRUE(b.createMalloc(300));
    EXPECT_EQ(b.size, 300);

    char mem[8];
    Buffer borrowed(mem, 8);
    ASSERT_TRUE(borrowed.createMalloc(50)); // mem is not freed (ASan would say so)
    EXPECT_NE(borrowed.base, mem);
    EXPECT_EQ(borrowed.owned, 1);
}

TEST(Buffer, CopyAndAppend) {
    Buffer a, b;
    a.createMalloc(10);
    a.appendf("abc");
    ASSERT_TRUE(b.copyFrom(a));
    EXPECT_EQ(contents(b), "abc");
    Buffer c;
    c.createMalloc(5);
    EXPECT_TRUE(c.append(a));
    EXPECT_FALSE(c.append(a)); // 2 of 3 bytes fit
    EXPECT_EQ(contents(c), "abcab");
}

// Replacing a pattern across chunk boundaries.
TEST(Buffer, ReplaceCopyCarriesAPatternStartOverChunks) {
    struct Case {
        std::vector<std::string> chunks;
        std::string expected;
    } cases[] = {
        {{"xxab", "cyy"}, "xxRyy"}, {{"xxab", "zyy"}, "xxabzyy"},
        {{"abcabc"}, "RR"},         {{"a", "b", "c"}, "abc"}, // only one chunk boundary is carried over
        {{"no match"}, "no match"},
    };
    for (const auto &c : cases) {
        int carried = 0;
        std::string out;
        for (const auto &chunk : c.chunks) {
            std::string copy = chunk;
            Buffer src(copy.data(), int32_t(copy.size()));
            src.length = int32_t(copy.size());
            // What the previous call held back stays at the front of the next source.
            Buffer dst;
            dst.replaceCopy(src, carried, "abc", 3, "R", 1);
            out += contents(dst);
        }
        EXPECT_EQ(out, c.expected) << c.chunks[0];
    }

    // Held-back bytes longer than the replacement survive a short next chunk.
    int carried = 0;
    std::string out;
    for (std::string chunk : {"xxabc", "z"}) {
        Buffer src(chunk.data(), int32_t(chunk.size()));
        src.length = int32_t(chunk.size());
        Buffer dst;
        dst.replaceCopy(src, carried, "abcd", 4, "", 0);
        out += contents(dst);
        EXPECT_EQ(src.length, chunk == "z" ? 0 : 3) << chunk; // "abc" is held back
    }
    EXPECT_EQ(out, "xxabcz");
}

TEST(Buffer, MoveHandsOverOwnership) {
    Buffer a;
    a.createMalloc(16);
    a.appendf("moved");
    Buffer b(std::move(a));
    EXPECT_EQ(a.base, nullptr);
    EXPECT_EQ(contents(b), "moved");
}

} // namespace
