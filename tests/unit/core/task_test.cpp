#include "core/task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Waits (bounded) until the predicate holds.
bool eventually(const std::function<bool()> &pred, int ms = 5000) {
    for (int i = 0; i < ms / 5; i++) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

// A task whose body is given by the test. It reports its end through a flag that
// outlives the task (the task object is freed by its own thread).
class FnTask : public Task {
public:
    FnTask(const char *name, std::function<void(FnTask &)> body, std::atomic<int> *ended = nullptr)
        : Task(name), body_(std::move(body)), ended_(ended) {}
    ~FnTask() override {
        if (ended_) ++*ended_;
    }
    void run() override { body_(*this); }
    uint32_t onMessage(const TaskMsg &msg) override {
        received.push_back(msg);
        return msg.flags;
    }
    std::vector<TaskMsg> received;

private:
    std::function<void(FnTask &)> body_;
    std::atomic<int> *ended_;
};

// Sets an atomic when destroyed: shows that objects on a task's stack are unwound.
struct StackGuard {
    std::atomic<int> &flag;
    ~StackGuard() { ++flag; }
};

class TaskTest : public ::testing::Test {
protected:
    void SetUp() override { base = countTasks(); }
    void TearDown() override {
        EXPECT_TRUE(eventually([&] { return countTasks() == base; }));
    }
    int base = 0;
};

TEST_F(TaskTest, MessagesArriveWholeFromManyPosters) {
    constexpr int posters = 8, perPoster = 500;
    std::atomic<int> ended{0};
    std::promise<std::vector<TaskMsg>> got;
    auto *t = new FnTask(
        "Sink",
        [&](FnTask &self) {
            // These messages are not of interest to wait: it returns by time-out.
            while (self.received.size() < posters * perPoster)
                if (self.wait(1) == 0) break;
            got.set_value(self.received);
        },
        &ended);
    int number = t->start(0x8000);
    ASSERT_GT(number, 0);

    std::vector<std::thread> threads;
    for (int p = 0; p < posters; p++)
        threads.emplace_back([&, p] {
            for (int i = 0; i < perPoster; i++) {
                TaskMsg m{-7, 0x100, static_cast<uint32_t>(p), static_cast<uint32_t>(i)};
                int rc = (i % 2) ? Task::postTo(number, m) : Task::postByName("Sink", m);
                ASSERT_EQ(rc, (i % 2) ? 0 : 1);
            }
        });
    for (auto &th : threads)
        th.join();

    auto msgs = got.get_future().get();
    ASSERT_EQ(msgs.size(), size_t(posters * perPoster));
    std::vector<int> next(posters, 0);
    for (const auto &m : msgs) {
        EXPECT_EQ(m.task, number); // stamped by the post, whatever the sender wrote
        EXPECT_EQ(m.flags, 0x100u);
        ASSERT_LT(m.arg1, uint32_t(posters));
        EXPECT_EQ(m.arg2, uint32_t(next[m.arg1]++)); // each poster's order is kept
    }
    EXPECT_TRUE(eventually([&] { return ended == 1; }));
}

TEST_F(TaskTest, WaitResults) {
    std::promise<std::vector<int>> results;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::atomic<int> phase{0};
    auto *t = new FnTask("Waiter", [&](FnTask &self) {
        std::vector<int> r;
        r.push_back(self.wait(0)); // nothing pending: time-out at once
        r.push_back(self.wait(5)); // 50 ms time-out
        phase = 1;
        r.push_back(self.wait(-1));         // 0x100 is not of interest; 0x4000 is
        r.push_back(self.wait(-1, fds[0])); // extra descriptor
        r.push_back(self.wait(0, fds[0]));  // polls once: the descriptor is still readable
        results.set_value(r);
    });
    ASSERT_GT(t->start(0x8000), 0);
    ASSERT_TRUE(eventually([&] { return phase == 1; }));
    int number = t->taskNumber;
    ASSERT_EQ(Task::postTo(number, TaskMsg{0, 0x100, 0, 0}), 0);
    ASSERT_EQ(Task::postTo(number, configChangedMsg), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    auto r = results.get_future().get();
    EXPECT_EQ(r, (std::vector<int>{1, 1, 2, 3, 3}));
    close(fds[0]);
    close(fds[1]);
}

TEST_F(TaskTest, WaitContinuesAfterUninterestingMessageForTheRemainingTime) {
    std::promise<std::pair<int, long>> result;
    std::atomic<bool> waiting{false};
    auto *t = new FnTask("Patient", [&](FnTask &self) {
        waiting = true;
        auto begin = std::chrono::steady_clock::now();
        int r = self.wait(30); // 300 ms
        long ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin)
                .count();
        result.set_value({r, ms});
    });
    ASSERT_GT(t->start(0x8000), 0);
    ASSERT_TRUE(eventually([&] { return waiting.load(); }));
    Task::postTo(t->taskNumber, TaskMsg{0, 0x1, 0, 0});
    auto [r, ms] = result.get_future().get();
    EXPECT_EQ(r, 1);
    EXPECT_GE(ms, 290);
}

TEST_F(TaskTest, ExitMessageEndsTheThreadFromEveryWaitAndUnwindsItsStack) {
    enum Where { InWait, InPoll, InEpoll };
    for (Where where : {InWait, InPoll, InEpoll}) {
        std::atomic<int> ended{0}, unwound{0};
        std::atomic<bool> ready{false};
        auto *t = new FnTask(
            "Leaver",
            [&, where](FnTask &self) {
                StackGuard guard{unwound};
                ready = true;
                for (;;) {
                    if (where == InWait)
                        self.wait(-1);
                    else if (where == InPoll)
                        self.pollMessage();
                    else
                        self.epollWait(-1);
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            },
            &ended);
        ASSERT_GT(t->start(0x8000), 0);
        ASSERT_TRUE(eventually([&] { return ready.load(); }));
        ASSERT_EQ(Task::postByName("Leaver", exitMsg), 1);
        EXPECT_TRUE(eventually([&] { return ended == 1; })) << where;
        EXPECT_EQ(unwound, 1) << where;
        EXPECT_EQ(Task::postByName("Leaver", exitMsg), 0);
    }
}

// A task whose destructor holds until the test opens the gate: the moment after the
// task has left the registry and before its thread is done.
class GatedTeardown : public Task {
public:
    GatedTeardown(std::atomic<bool> &gate, std::atomic<int> &entered)
        : Task("Gated"), gate_(gate), entered_(entered) {}
    ~GatedTeardown() override {
        ++entered_;
        while (!gate_)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    void run() override {}

private:
    std::atomic<bool> &gate_;
    std::atomic<int> &entered_;
};

// The stop frees what task threads use once the registry is empty and no task thread
// runs: a thread still destroying its task must count as running.
TEST_F(TaskTest, AThreadRunsUntilItsTaskIsDestroyedAfterLeavingTheRegistry) {
    ASSERT_TRUE(eventually([] { return runningTaskThreads() == 0; }));
    std::atomic<bool> gate{false};
    std::atomic<int> entered{0};
    ASSERT_GT((new GatedTeardown(gate, entered))->start(0x8000), 0);
    ASSERT_TRUE(eventually([&] { return entered == 1; }));
    EXPECT_EQ(countTasks(), base);
    EXPECT_EQ(runningTaskThreads(), 1);
    gate = true;
    EXPECT_TRUE(eventually([] { return runningTaskThreads() == 0; }));
}

TEST_F(TaskTest, ATaskWithoutAThreadDoesNotCountAsRunning) {
    ASSERT_TRUE(eventually([] { return runningTaskThreads() == 0; }));
    task_testing::threadCreate = [](pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) {
        return EAGAIN;
    };
    std::atomic<int> ended{0};
    auto *t = new FnTask(
        "NoThread", [](FnTask &) {}, &ended);
    int number = t->start(0x8000);
    task_testing::threadCreate = pthread_create;
    EXPECT_EQ(number, -1);
    EXPECT_EQ(runningTaskThreads(), 0);
    delete t;
}

TEST_F(TaskTest, PostingToUnknownTasks) {
    EXPECT_EQ(Task::postTo(-1, configChangedMsg), -1);
    EXPECT_EQ(Task::postTo(0x7ffffff0, configChangedMsg), -1);
    EXPECT_EQ(Task::postByName("NoSuchTask", configChangedMsg), 0);
    EXPECT_EQ(Task::postByName(nullptr, configChangedMsg), 0);
}

TEST_F(TaskTest, The65thTaskIsNotAccountedAndAFreedSlotIsReused) {
    std::vector<Task *> tasks;
    int before = Task::overRunCount();
    while (countTasks() < TaskRegistrySize)
        tasks.push_back(new FnTask("Filler", [](FnTask &) {}));
    EXPECT_EQ(countTasks(), TaskRegistrySize);

    testing::internal::CaptureStdout();
    auto *extra = new FnTask("", [](FnTask &) {});
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("*** WARNING: Task \"NoName\"not accounted"), std::string::npos) << out;
    EXPECT_EQ(Task::overRunCount(), before + 1);
    EXPECT_EQ(countTasks(), TaskRegistrySize);
    EXPECT_EQ(extra->slotIndex(), TaskRegistrySize);

    delete tasks.back();
    tasks.pop_back();
    auto *next = new FnTask("Next", [](FnTask &) {});
    EXPECT_LT(next->slotIndex(), TaskRegistrySize);
    EXPECT_EQ(Task::postByName("Next", configChangedMsg), 1);
    delete next;
    delete extra;

    // Tasks that never got a thread are deleted by kill.
    Task::kill("Filler", SIGTERM);
    EXPECT_EQ(countTasks(), base);
}

TEST_F(TaskTest, ThreadIsNamedWithSlotAndName) {
    // The task may be gone once its body returned: it tells its slot itself.
    std::promise<std::pair<std::string, int>> seen;
    auto *t = new FnTask("AVeryLongTaskNameIndeed", [&](FnTask &self) {
        char buf[32] = {};
        prctl(PR_GET_NAME, buf, 0, 0, 0);
        seen.set_value({buf, self.slotIndex()});
    });
    ASSERT_GT(t->start(0x8000), 0);
    auto [name, slot] = seen.get_future().get();
    std::string expected = std::to_string(slot) + ":AVeryLongTaskNameIndeed";
    EXPECT_EQ(name, expected.substr(0, 15));
}

TEST_F(TaskTest, CurrentIsTheCallingThreadsTask) {
    EXPECT_EQ(Task::current(), nullptr);
    EXPECT_EQ(Task::currentNumber(), -1);
    EXPECT_STREQ(Task::currentName(), "NoTask");
    EXPECT_EQ(waitCurrentTask(0), 0);
    std::promise<std::tuple<Task *, int, std::string>> seen;
    auto *t = new FnTask("Me", [&](FnTask &self) {
        seen.set_value(
            {Task::current() == &self ? &self : nullptr, Task::currentNumber(), Task::currentName()});
    });
    int number = t->start(0x8000);
    auto [self, n, nm] = seen.get_future().get();
    EXPECT_NE(self, nullptr);
    EXPECT_EQ(n, number);
    EXPECT_EQ(nm, "Me");
}

TEST_F(TaskTest, TaskNumbersIncrease) {
    int a = (new FnTask("N", [](FnTask &) {}))->start(0x8000);
    int b = (new FnTask("N", [](FnTask &) {}))->start(0x8000);
    EXPECT_GT(a, 0);
    EXPECT_EQ(b, a + 1);
}

// Two descriptors of one owner in one batch: when the first callback fails, the second
// finds its owner cleared and does nothing, and the failing descriptor leaves the set.
TEST_F(TaskTest, EpollWaitClearsOwnerOfLaterEventsAfterAFailure) {
    static std::atomic<int> calls, ignored;
    calls = ignored = 0;
    struct Client {
        EpollRecord rec;
    };
    std::promise<std::vector<int>> out;
    auto *t = new FnTask("Epoll", [&](FnTask &self) {
        int a[2], b[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, a);
        socketpair(AF_UNIX, SOCK_STREAM, 0, b);
        static int owner;
        auto cb = [](EpollRecord *r, uint32_t) -> int {
            if (r->owner == nullptr) {
                ++ignored;
                return 0;
            }
            ++calls;
            return -1;
        };
        Client c1{{&owner, cb, a[0]}}, c2{{&owner, cb, b[0]}};
        self.epollAdd(&c1.rec, EPOLLIN);
        self.epollAdd(&c2.rec, EPOLLIN);
        int changes = self.epollChanges;
        (void)!write(a[1], "x", 1);
        (void)!write(b[1], "x", 1);
        std::vector<int> r;
        r.push_back(self.epollWait(1000));
        r.push_back(self.epollChanges - changes); // one removal: the failing descriptor
        for (int fd : {a[0], a[1], b[0], b[1]})
            close(fd);
        out.set_value(r);
    });
    ASSERT_GT(t->start(0x8000), 0);
    auto r = out.get_future().get();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ignored, 1);
    EXPECT_EQ(r[0], 0); // the last callback's result
    EXPECT_EQ(r[1], 1);
}

// A callback that already took its descriptor out of the set and fails: the removal
// fails too, and the wait answers -1, never the errno value (ENOENT would read as -2,
// which the USB clients take for "go on").
TEST_F(TaskTest, EpollWaitAnswersMinusOneWhenTheRemovalFails) {
    std::promise<int> out;
    auto *t = new FnTask("EpollGone", [&](FnTask &self) {
        int a[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, a);
        static FnTask *owner;
        owner = &self;
        auto cb = [](EpollRecord *r, uint32_t) -> int {
            owner->epollDel(r->descriptor);
            return -5;
        };
        EpollRecord rec{&self, cb, a[0]};
        self.epollAdd(&rec, EPOLLIN);
        (void)!write(a[1], "x", 1);
        int r = self.epollWait(1000);
        close(a[0]);
        close(a[1]);
        out.set_value(r);
    });
    ASSERT_GT(t->start(0x8000), 0);
    EXPECT_EQ(out.get_future().get(), -1);
}

TEST_F(TaskTest, ThePipeArrivesThroughTheEpollSet) {
    std::promise<int> result;
    std::atomic<bool> ready{false};
    auto *t = new FnTask("EpollPipe", [&](FnTask &self) {
        ready = true;
        result.set_value(self.epollWait(5000));
    });
    ASSERT_GT(t->start(0x8000), 0);
    ASSERT_TRUE(eventually([&] { return ready.load(); }));
    Task::postTo(t->taskNumber, TaskMsg{0, 0x4321, 0, 0});
    EXPECT_EQ(result.get_future().get(), 0x4321);
}

TEST_F(TaskTest, PostAllReachesEveryTaskAndShiftMovesStartTimes) {
    std::atomic<int> got{0};
    std::atomic<int> ended{0};
    for (int i = 0; i < 5; i++) {
        auto *t = new FnTask(
            "Many",
            [&](FnTask &self) {
                if (self.wait(500) == 2) ++got;
            },
            &ended);
        t->start(0x8000);
    }
    auto *idle = new FnTask("Idle", [](FnTask &) {});
    int64_t before = idle->startTick;
    Task::shiftStartTimes(1000);
    EXPECT_EQ(idle->startTick, before + 1000);
    delete idle;
    EXPECT_EQ(Task::postAll(configChangedMsg), 0);
    EXPECT_TRUE(eventually([&] { return ended == 5; }));
    EXPECT_EQ(got, 5);
}

// A stop: every task gets the exit message, the other threads a signal, and the
// counter rises once per ShutDown task; only the first one does the stop work.
TEST_F(TaskTest, ShutDownStopsEveryTaskOnceAndCountsEachRequest) {
    static std::atomic<int> signals;
    signals = 0;
    struct sigaction sa {
    }, old{};
    sa.sa_handler = [](int) { ++signals; };
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, &old);

    std::atomic<int> ended{0};
    for (int i = 0; i < 3; i++)
        (new FnTask(
             "Worker",
             [](FnTask &self) {
                 for (;;)
                     self.wait(-1);
             },
             &ended))
            ->start(0x8000);
    int counter = shutdownCounter;
    (new ShutDown(0))->start(0x8000);
    EXPECT_TRUE(eventually([&] { return ended == 3; }));
    EXPECT_TRUE(eventually([&] { return shutdownCounter == counter + 1; }));
    (new ShutDown(0))->start(0x8000);
    EXPECT_TRUE(eventually([&] { return shutdownCounter == counter + 2; }));
    sigaction(SIGTERM, &old, nullptr);
}

// Catches SIGTERM for a test's lifetime (the stop work aims it at every task thread).
class SigtermCatcher {
public:
    SigtermCatcher() {
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sigemptyset(&sa.sa_mask);
        sigaction(SIGTERM, &sa, &old_);
    }
    ~SigtermCatcher() { sigaction(SIGTERM, &old_, nullptr); }

private:
    struct sigaction old_ {};
};

bool shutDownRegistered() {
    int locked = TLOCK();
    bool found = false;
    for (int i = 0; i < TaskRegistrySize; i++) {
        Task *t = registrySlot(i);
        if (t && t->name && std::strcmp(t->name, "ShutDown") == 0) found = true;
    }
    if (locked) TUNLOCK();
    return found;
}

// A stop in progress deletes the registered tasks that have no thread yet; a stop task
// being started meanwhile must be neither deleted before its start nor while it runs.
TEST_F(TaskTest, ShutDownStartedWhileAStopKillsIsNeverDeletedUnderIt) {
    SigtermCatcher catcher;
    std::atomic<bool> done{false};
    std::thread killer([&] {
        while (!done)
            Task::kill("ShutDown", 0);
    });
    const int counter = shutdownCounter;
    int started = 0;
    for (int i = 0; i < 1000; i++) {
        if (startShutDown(0) > 0) started++;
        // Each one ends quickly; keep the registry from filling up.
        if (i % 32 == 31) eventually([&] { return shutdownCounter == counter + started; });
    }
    done = true;
    killer.join();
    EXPECT_EQ(started, 1000);
    EXPECT_TRUE(eventually([&] { return shutdownCounter == counter + started; }));
    EXPECT_TRUE(eventually([] { return !shutDownRegistered(); }));
}

// Without a thread for the stop task the caller does the stop work itself: the tasks
// get the exit message, the counter rises and no stop task stays registered.
TEST_F(TaskTest, ShutDownWithoutAThreadStopsInlineAndLeavesNoTaskBehind) {
    SigtermCatcher catcher;
    std::atomic<int> ended{0};
    (new FnTask(
         "Worker",
         [](FnTask &self) {
             for (;;)
                 self.wait(-1);
         },
         &ended))
        ->start(0x8000);
    task_testing::rearmStopWork();
    task_testing::threadCreate = [](pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) {
        return EAGAIN;
    };
    const int counter = shutdownCounter;
    EXPECT_EQ(startShutDown(0), -1);
    task_testing::threadCreate = pthread_create;
    EXPECT_EQ(shutdownCounter, counter + 1);
    EXPECT_FALSE(shutDownRegistered());
    EXPECT_TRUE(eventually([&] { return ended == 1; })) << "the worker got the exit message";
}

} // namespace
