// Login sessions: slots, eviction, expiry and the session image.

#include "web/sessions.h"

#include "core/ticks.h"
#include "param_catalogue.h"
#include "tests/unit/core/param_guard.h"
#include "web_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>

namespace {

std::atomic<int64_t> fakeNow{1000000};
int64_t fakeTicks() {
    return fakeNow.load();
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        setTickSource(fakeTicks);
        store.clearAll();
        params.set(p_sessKeyTimer, "on");
        params.set(p_sessKeyTimeout, "10");
    }
    void TearDown() override { setTickSource(nullptr); }
    HttpSessionStore store;
    ParamGuard params;
    WebDir dir;
};

TEST_F(SessionTest, AdministratorsEvictTheOldestAndLeaveTwoSlotsToOthers) {
    for (int i = 0; i < 14; i++) {
        fakeNow += 10;
        EXPECT_EQ(store.allocate(4, "Admin", 4), i + 2);
    }
    // The table of administrators is full: the least recently used one goes.
    fakeNow += 10;
    ASSERT_EQ(store.find(store.slot(2).key, true), 2); // slot 2 used just now
    fakeNow += 10;
    EXPECT_EQ(store.allocate(4, "Admin", 4), 3);
    EXPECT_EQ(store.allocate(3, "USB Manager", 3), 0);
    EXPECT_EQ(store.allocate(3, "USB Manager", 3), 1);
    // A user finds no slot of its own level or below.
    EXPECT_EQ(store.allocate(2, "User", 2), -1);
    int admins = 0, users = 0;
    store.countLogged(admins, users);
    EXPECT_EQ(admins, 14);
    EXPECT_EQ(users, 0);
    // Keys are 16 letters and digits, all different.
    for (int i = 0; i < 16; i++)
        for (int j = i + 1; j < 16; j++)
            EXPECT_STRNE(store.slot(i).key, store.slot(j).key);
}

TEST_F(SessionTest, IdleSessionsExpire) {
    int slot = store.allocate(4, "Admin", 4);
    std::string key = store.slot(slot).key;
    fakeNow += 59900;
    EXPECT_EQ(store.find(key.c_str(), true), slot);
    fakeNow += 60100;
    EXPECT_EQ(store.find(key.c_str(), false), -2);
    EXPECT_EQ(store.find(key.c_str(), false), -1);
    // Without the timer sessions stay.
    params.set(p_sessKeyTimer, "off");
    slot = store.allocate(2, "User", 2);
    key = store.slot(slot).key;
    fakeNow += 10000000;
    EXPECT_EQ(store.find((key + "trailing").c_str(), false), slot);
    EXPECT_EQ(store.find(key.substr(0, 15).c_str(), false), -1);
}

TEST_F(SessionTest, ImageKeepsSessionsAcrossAWarmStart) {
    std::string path = dir.path() + "/sessions.raw";
    int slot = store.allocate(4, "Admin", 4);
    std::string key = store.slot(slot).key;
    fakeNow += 30000; // five minutes idle at the stop
    ASSERT_EQ(store.save(path), 1);
    std::ifstream f(path, std::ios::binary);
    std::string image((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    ASSERT_EQ(image.size(), 824u);
    EXPECT_EQ(image.substr(0, 4), std::string("\x30\x00\x01\x00", 4));

    HttpSessionStore next;
    fakeNow = 5000; // the new process's clock
    ASSERT_EQ(next.load(path, 1), 1);
    EXPECT_EQ(next.find(key.c_str(), false), slot);
    EXPECT_STREQ(next.slot(slot).user, "Admin");
    fakeNow += 29900;
    EXPECT_EQ(next.find(key.c_str(), false), slot);
    fakeNow += 200;
    EXPECT_EQ(next.find(key.c_str(), false), -2);

    // A cold start, a short or damaged image: nothing is restored and the file goes.
    HttpSessionStore cold;
    EXPECT_EQ(cold.load(path, 0), 0);
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
    std::ofstream(path, std::ios::binary) << std::string(100, 'x');
    EXPECT_EQ(cold.load(path, 1), 0);
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
    image[8 + 48 * slot] = '\x01'; // a key that is not letters and digits
    std::ofstream(path, std::ios::binary) << image;
    EXPECT_EQ(cold.load(path, 1), 1);
    EXPECT_EQ(cold.find(key.c_str(), false), -1);
}

} // namespace
