// The random pool: its mix step, readiness before and after the key bytes arrive, the
// event-loop reader and the entropy file.
#include "wireless/crypto/random_pool.h"
#include "wireless/crypto/random_pool_internal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

class RandomPool : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/wpool.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
        fifo = dir + "/key";
        ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
        random_pool_reset();
        random_pool_set_eloop_ops(nullptr);
        random_pool_set_key_device(fifo.c_str());
    }
    void TearDown() override {
        random_pool_reset();
        random_pool_set_eloop_ops(nullptr);
        random_pool_set_key_device(nullptr);
        if (writer >= 0) close(writer);
        std::string cmd = "rm -rf " + dir;
        EXPECT_EQ(0, system(cmd.c_str()));
    }
    // Opens the key device's writing end (the pool holds the reading end open).
    void feedKey(size_t n) {
        if (writer < 0) writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(writer, 0);
        std::vector<uint8_t> bytes(n, 0x5a);
        ASSERT_EQ(static_cast<ssize_t>(n), write(writer, bytes.data(), n));
    }
    std::vector<uint8_t> readFile(const std::string &path) {
        std::vector<uint8_t> out;
        FILE *f = fopen(path.c_str(), "rb");
        if (f == nullptr) return out;
        int c;
        while ((c = fgetc(f)) != EOF)
            out.push_back(static_cast<uint8_t>(c));
        fclose(f);
        return out;
    }
    void writeFile(const std::string &path, const std::vector<uint8_t> &bytes) {
        FILE *f = fopen(path.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
    }

    std::string dir;
    std::string fifo;
    int writer = -1;
};

TEST_F(RandomPool, MixStepFollowsTheTwistTable) {
    const uint8_t first = 0x01;
    random_pool_mix(&first, 1);
    // Position 0 moves to 31; w = 1; pool[31] = (1 >> 3) ^ twist[1]; rotation + 14.
    EXPECT_EQ(31u, random_pool_position());
    EXPECT_EQ(0x3b6e20c8u, random_pool_words()[31]);
    EXPECT_EQ(14u, random_pool_input_rotate());

    const uint8_t second = 0x80;
    random_pool_mix(&second, 1);
    // w = (0x80 rotated left by 14) ^ pool[31]; twist[0]; rotation + 7.
    EXPECT_EQ(30u, random_pool_position());
    EXPECT_EQ((0x00200000u ^ 0x3b6e20c8u) >> 3, random_pool_words()[30]);
    EXPECT_EQ(21u, random_pool_input_rotate());
}

TEST_F(RandomPool, RotationStaysBelowThirtyTwo) {
    const uint8_t zeros[2] = {0, 0};
    random_pool_mix(zeros, 2); // 14, 21
    random_pool_mix(zeros, 2); // 28, 35 -> 3
    EXPECT_EQ(3u, random_pool_input_rotate());
    std::vector<uint8_t> many(1000, 0xa5);
    random_pool_mix(many.data(), many.size());
    EXPECT_LT(random_pool_input_rotate(), 32u);
}

TEST_F(RandomPool, ReadyOnlyWithKeyProofOrEnoughEvents) {
    random_pool_init(nullptr);
    // No key bytes yet, no proof, no events: not ready.
    EXPECT_FALSE(random_pool_is_ready());
    for (int i = 0; i < 1000; i++)
        random_pool_add_entropy(&i, sizeof(i));
    EXPECT_FALSE(random_pool_is_ready());
    random_pool_add_entropy(nullptr, 0);
    EXPECT_TRUE(random_pool_is_ready());
}

TEST_F(RandomPool, KeyBytesArrivingMakeThePoolReady) {
    const std::string file = dir + "/entropy";
    random_pool_init(file.c_str());
    EXPECT_FALSE(random_pool_is_ready());
    feedKey(10);
    EXPECT_FALSE(random_pool_is_ready());
    feedKey(10);
    EXPECT_TRUE(random_pool_is_ready());
    // The completed key counts as two proofs and refreshes the entropy file.
    std::vector<uint8_t> saved = readFile(file);
    ASSERT_EQ(21u, saved.size());
    EXPECT_EQ(2, saved[0]);
    random_pool_mark_ready();
    saved = readFile(file);
    ASSERT_EQ(21u, saved.size());
    EXPECT_EQ(3, saved[0]);
}

struct Registered {
    int sock = -1;
    random_pool_sock_handler handler = nullptr;
    int unregistered = -1;
};
Registered registered;

int fakeRegister(int sock, random_pool_sock_handler handler, void *, void *) {
    registered.sock = sock;
    registered.handler = handler;
    return 0;
}
void fakeUnregister(int sock) {
    registered.unregistered = sock;
}

TEST_F(RandomPool, EventLoopReaderCompletesTheKey) {
    static const random_pool_eloop_ops ops = {fakeRegister, fakeUnregister};
    registered = Registered{};
    random_pool_set_eloop_ops(&ops);
    random_pool_init(nullptr);
    ASSERT_GE(registered.sock, 0);
    ASSERT_NE(nullptr, registered.handler);
    feedKey(20);
    registered.handler(registered.sock, nullptr, nullptr);
    // Complete: the reader is removed from the loop and the pool is ready.
    EXPECT_EQ(registered.sock, registered.unregistered);
    EXPECT_TRUE(random_pool_is_ready());
}

TEST_F(RandomPool, EntropyFileOfExactlyTwentyOneBytesIsUsed) {
    const std::string file = dir + "/entropy";
    struct Case {
        size_t size;
        bool ready;
    };
    for (const Case c : {Case{21, true}, Case{20, false}, Case{22, false}}) {
        SCOPED_TRACE(c.size);
        random_pool_reset();
        std::vector<uint8_t> content(c.size, 0x11);
        content[0] = 5; // pool-ready count of the previous run
        writeFile(file, content);
        random_pool_init(file.c_str());
        EXPECT_EQ(c.ready, random_pool_is_ready());
        // The file is rewritten in its own format either way.
        std::vector<uint8_t> saved = readFile(file);
        ASSERT_EQ(21u, saved.size());
        EXPECT_EQ(c.ready ? 5 : 0, saved[0]);
        random_pool_deinit();
    }
}

TEST_F(RandomPool, GetBytesFillsFromTheSystemAndThePool) {
    random_pool_init(nullptr);
    std::vector<uint8_t> a(37, 0), b(37, 0);
    ASSERT_EQ(0, random_pool_get_bytes(a.data(), a.size()));
    ASSERT_EQ(0, random_pool_get_bytes(b.data(), b.size()));
    EXPECT_NE(a, b);
    EXPECT_NE(std::vector<uint8_t>(37, 0), a);
}

} // namespace
