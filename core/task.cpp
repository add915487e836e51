// Task framework.
//
// Ending a thread: Task::exit calls pthread_exit. With GCC and glibc, pthread_exit
// unwinds the thread's stack as a forced unwind, so the destructors of every object
// on the task's stack run on the way out (sockets, buffers and locks held through
// RAII are released). Two rules follow for code that runs on a task thread: no
// function between run and a call that may end the thread (any wait, pollMessage,
// epollWait, readMessage) may be noexcept, and a catch (...) on that path must
// rethrow. After the stack is unwound, the task-context key's destructor deletes the
// task itself through its virtual destructor.
//
// A task leaves the registry before its destructor runs, so an empty registry does not
// mean that no task code runs any more: the thread still destroys its task and the
// crypto library's state of the thread. runningTaskThreads counts a thread until both
// are done; the stop frees what threads may use (the crypto library, the parameters,
// the process's static objects) only once that count is zero.

#include "core/task.h"

#include "core/ticks.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

const TaskMsg exitMsg{0, MsgExit, 0, 0};
const TaskMsg configChangedMsg{0, MsgConfigChanged, 0, 0};
const TaskMsg portsOnMsg{0, MsgPortsOn, 0, 0};
const TaskMsg notifyEventMsg{0, MsgNotifyEvent, 0, 0};

std::atomic<int> shutdownCounter{0};
void (*shutdownDisplayHook)() = nullptr;

namespace {

pthread_mutex_t registryLock = PTHREAD_MUTEX_INITIALIZER;
Task *registry[TaskRegistrySize];
std::atomic<int> alive{0};
std::atomic<int> overRun{0};
// Task threads from their creation to the end of deleteTask.
std::atomic<int> threadsRunning{0};
int taskNumberCounter = 0; // under the registry lock

// Held across Task::kill and across the construction and start of a ShutDown task, so
// that a kill never deletes a stop task its creator is about to start.
pthread_mutex_t stopLaunchLock = PTHREAD_MUTEX_INITIALIZER;

pthread_key_t contextKey;
pthread_once_t contextOnce = PTHREAD_ONCE_INIT;

// The task leaves the registry before its destructors run: a post to all under the
// registry lock must not reach an object whose subclass part is already gone.
void unregisterTask(Task *task) {
    if (pthread_mutex_lock(&registryLock) != 0) return;
    for (auto &slot : registry)
        if (slot == task) slot = nullptr;
    pthread_mutex_unlock(&registryLock);
}

void deleteTask(void *value) {
    auto *task = static_cast<Task *>(value);
    unregisterTask(task);
    delete task;
    // The library would free the thread's error queue and random generators from its
    // own thread-exit hook, possibly after the count below has let the stop run the
    // library's process-wide clean-up: that state is freed here instead.
    OPENSSL_thread_stop();
    // The thread's last touch of the daemon's state.
    --threadsRunning;
}

void createContextKey() {
    int rc = pthread_key_create(&contextKey, deleteTask);
    if (rc != 0) {
        std::printf("could not create task context key !! %s\n", std::strerror(rc));
        std::fflush(stdout);
        std::exit(-1);
    }
}

int pipeCallback(EpollRecord *record, uint32_t) {
    if (record == nullptr || record->owner == nullptr) return 0;
    return static_cast<int>(static_cast<Task *>(record->owner)->readMessage());
}

int64_t monotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

std::atomic<task_testing::ThreadCreate> task_testing::threadCreate{pthread_create};

int TLOCK() {
    if (pthread_mutex_lock(&registryLock) != 0) {
        std::printf("TLOCK[%d] failed!\n", Task::currentNumber());
        return 0;
    }
    return 1;
}

void TUNLOCK() {
    pthread_mutex_unlock(&registryLock);
}

void destroyTaskRegistryLock() {
    pthread_mutex_destroy(&registryLock);
}

Task *registrySlot(int i) {
    return (i >= 0 && i < TaskRegistrySize) ? registry[i] : nullptr;
}

Task::Task(const char *taskName) : name(taskName) {
    startTick = sysTicks();
    pthread_once(&contextOnce, createContextKey);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0) {
        std::printf("%s(%s) alive:%d could not create message pipe:%m\n", "task.cpp", name ? name : "",
                    alive.load());
        std::fflush(stdout);
        std::exit(-1);
    }
    pipeRead = fds[0];
    pipeWrite = fds[1];
    pthread_mutex_init(&pipeMutex, nullptr);

    epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0) {
        std::printf("%s alive:%d epoll error:%m\n", "Task", alive.load());
        std::fflush(stdout);
        std::exit(-1);
    }
    pipeRecord.owner = this;
    pipeRecord.callback = pipeCallback;
    pipeRecord.descriptor = pipeRead;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLHUP;
    ev.data.ptr = &pipeRecord;
    epoll_ctl(epollFd, EPOLL_CTL_ADD, pipeRead, &ev);

    int aliveNow = ++alive;
    bool placed = false;
    if (pthread_mutex_lock(&registryLock) == 0) {
        for (auto &slot : registry) {
            if (slot == nullptr) {
                slot = this;
                placed = true;
                break;
            }
        }
        pthread_mutex_unlock(&registryLock);
    }
    if (!placed) {
        int over = ++overRun;
        std::printf("*** WARNING: Task \"%s\"not accounted (%d), to many %d tasks  !! ***\n",
                    (name && *name) ? name : "NoName", over, aliveNow);
    }
}

Task::~Task() {
    if (pipeRecord.descriptor >= 0 && epollFd >= 0)
        epoll_ctl(epollFd, EPOLL_CTL_DEL, pipeRecord.descriptor, nullptr);
    pipeRecord = EpollRecord{};

    if (pthread_mutex_lock(&registryLock) == 0) {
        for (auto &slot : registry)
            if (slot == this) slot = nullptr;
        pthread_mutex_unlock(&registryLock);
    }
    if (epollFd >= 0) ::close(epollFd);
    if (pipeRead >= 0) ::close(pipeRead);
    if (pipeWrite >= 0) ::close(pipeWrite);
    epollFd = pipeRead = pipeWrite = -1;
    --alive;
    pthread_mutex_destroy(&pipeMutex);
}

int Task::slotIndex() const {
    int locked = TLOCK();
    int slot = slotIndexLocked();
    if (locked) TUNLOCK();
    return slot;
}

int Task::slotIndexLocked() const {
    for (int i = 0; i < TaskRegistrySize; i++)
        if (registry[i] == this) return i;
    return TaskRegistrySize;
}

int Task::start(uint32_t minStackSize, bool joinable) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    size_t defaultSize = 0;
    pthread_attr_getstacksize(&attr, &defaultSize);
    size_t size = std::max<size_t>(defaultSize, minStackSize);
    pthread_attr_setstacksize(&attr, size);
    pthread_attr_setdetachstate(&attr, joinable ? PTHREAD_CREATE_JOINABLE : PTHREAD_CREATE_DETACHED);

    int locked = pthread_mutex_lock(&registryLock) == 0;
    if (taskNumberCounter + 1 < 0) taskNumberCounter = 0;
    taskNumber = ++taskNumberCounter;
    // Counted before the thread exists, so that no moment shows it running uncounted.
    ++threadsRunning;
    int rc = task_testing::threadCreate.load()(&thread, &attr, threadMain, this);
    if (rc != 0) {
        --threadsRunning;
        taskNumber = -1;
        thread = pthread_t{};
    } else {
        threadCreated_ = true;
        stackSize = static_cast<uint32_t>(size);
    }
    int number = taskNumber;
    if (locked) pthread_mutex_unlock(&registryLock);
    pthread_attr_destroy(&attr);
    return rc != 0 ? -1 : number;
}

void *Task::threadMain(void *arg) {
    Task *task = static_cast<Task *>(arg);
    pthread_setspecific(contextKey, task);
    task->pid = getpid();
    task->ppid = getppid();
    task->tid = static_cast<pid_t>(syscall(SYS_gettid));

    // Waits until start has written the task's fields.
    if (pthread_mutex_lock(&registryLock) != 0) {
        std::printf("**** thread start synchronisation failed %p *****\n", static_cast<void *>(task));
        return nullptr;
    }
    int slot = task->slotIndexLocked();
    pthread_mutex_unlock(&registryLock);

    // "slot:name"; the kernel keeps the first 15 characters.
    char threadName[18];
    std::snprintf(threadName, sizeof threadName, "%d:%s", slot, task->name ? task->name : "");
    prctl(PR_SET_NAME, threadName, 0, 0, 0);

    task->run();
    return nullptr;
}

void Task::exit() {
    pthread_exit(nullptr);
}

uint32_t Task::onMessage(const TaskMsg &msg) {
    return msg.flags;
}

int Task::post(TaskMsg msg) {
    msg.task = taskNumber;
    pthread_mutex_lock(&pipeMutex);
    ssize_t n;
    do {
        n = pipeWrite >= 0 ? ::write(pipeWrite, &msg, sizeof msg) : -1;
    } while (n < 0 && errno == EINTR);
    pthread_mutex_unlock(&pipeMutex);
    return n == static_cast<ssize_t>(sizeof msg) ? 0 : -1;
}

uint32_t Task::readMessage() {
    TaskMsg msg{};
    ssize_t n;
    do {
        n = ::read(pipeRead, &msg, sizeof msg);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(sizeof msg)) exit();
    if (msg.flags & MsgExit) exit();
    return onMessage(msg);
}

int Task::pollMessage() {
    int pending = 0;
    if (::ioctl(pipeRead, FIONREAD, &pending) == 0 && pending > 0) {
        readMessage();
        return 1;
    }
    return 0;
}

int Task::postTo(int number, TaskMsg msg) {
    if (number < 0 || !TLOCK()) return -1;
    int result = -1;
    for (Task *t : registry) {
        if (t && t->taskNumber == number) {
            result = t->post(msg);
            break;
        }
    }
    TUNLOCK();
    return result;
}

int Task::postByName(const char *taskName, TaskMsg msg) {
    if (taskName == nullptr || !TLOCK()) return 0;
    int count = 0;
    for (Task *t : registry) {
        if (t && t->name && std::strcmp(t->name, taskName) == 0) {
            t->post(msg);
            count++;
        }
    }
    TUNLOCK();
    return count;
}

int Task::postAll(TaskMsg msg) {
    if (!TLOCK()) return 0;
    int result = 0;
    for (Task *t : registry)
        if (t) result |= t->post(msg);
    TUNLOCK();
    return result;
}

int Task::wait(int64_t ticks, int extraFd) {
    // Only a task's own thread reads its pipe: wait on the caller's task. Outside any
    // task there is no pipe; the wait then watches only the time and extraFd.
    Task *self = current();
    const int64_t deadline = ticks > 0 ? monotonicMs() + ticks * 10 : 0;
    for (;;) {
        int timeoutMs;
        if (ticks < 0)
            timeoutMs = -1;
        else if (ticks == 0)
            timeoutMs = 0;
        else
            timeoutMs = static_cast<int>(std::clamp<int64_t>(deadline - monotonicMs(), 0, INT32_MAX));

        pollfd fds[2];
        nfds_t n = 0;
        int pipeIndex = -1, extraIndex = -1;
        if (self) {
            pipeIndex = static_cast<int>(n);
            fds[n++] = {self->pipeRead, POLLIN, 0};
        }
        if (extraFd > 0) {
            extraIndex = static_cast<int>(n);
            fds[n++] = {extraFd, POLLIN, 0};
        }
        int rc = ::poll(fds, n, timeoutMs);
        if (rc < 0) return 0;
        // One poll waits at most about 24.8 days: a longer wait (an infinite DHCP lease
        // is near that) goes on until its own deadline.
        if (rc == 0 && !(ticks > 0 && monotonicMs() < deadline)) return 1;
        if (rc == 0) continue;
        if (pipeIndex >= 0 && (fds[pipeIndex].revents & (POLLIN | POLLHUP))) {
            uint32_t flags = self->readMessage();
            if (flags & (MsgNotifyEvent | MsgConfigChanged | MsgNewDiscovery)) return 2;
        }
        if (extraIndex >= 0 && (fds[extraIndex].revents & (POLLIN | POLLHUP | POLLERR))) return 3;
        if (ticks == 0) return 1;
        if (ticks > 0 && monotonicMs() >= deadline) return 1;
    }
}

int waitCurrentTask(int64_t ticks, int extraFd) {
    Task *self = Task::current();
    return self ? self->wait(ticks, extraFd) : 0;
}

int currentTaskNumber() {
    return Task::currentNumber();
}

int Task::epollAdd(EpollRecord *record, uint32_t events) {
    epollChanges++;
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = record;
    return epoll_ctl(epollFd, EPOLL_CTL_ADD, record->descriptor, &ev);
}

int Task::epollDel(int descriptor) {
    epollChanges++;
    return epoll_ctl(epollFd, EPOLL_CTL_DEL, descriptor, nullptr);
}

int Task::epollMod(EpollRecord *record, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = record;
    return epoll_ctl(epollFd, EPOLL_CTL_MOD, record->descriptor, &ev);
}

int Task::epollWait(int timeoutMs) {
    epoll_event events[4];
    int n = epoll_wait(epollFd, events, 4, timeoutMs < 0 ? -1 : timeoutMs);
    if (n <= 0) return n;
    int result = 0;
    for (int i = 0; i < n; i++) {
        auto *record = static_cast<EpollRecord *>(events[i].data.ptr);
        if (record == nullptr || record->callback == nullptr) continue;
        // The callback may free its record: take what is needed afterwards first.
        void *owner = record->owner;
        int descriptor = record->descriptor;
        result = record->callback(record, events[i].events);
        if (result < 0) {
            // Later events of the same owner in this batch are stale: their records
            // lose the owner so their callbacks ignore them.
            for (int j = i + 1; j < n; j++) {
                auto *later = static_cast<EpollRecord *>(events[j].data.ptr);
                if (later && owner && later->owner == owner) later->owner = nullptr;
            }
            // A failed removal gives epoll_ctl's -1, never an errno value: -2 is a
            // callback's own "go on" code for some owners, and ENOENT would read as it.
            if (descriptor >= 0 && epollDel(descriptor) < 0) result = -1;
        }
    }
    return result;
}

Task *Task::current() {
    pthread_once(&contextOnce, createContextKey);
    return static_cast<Task *>(pthread_getspecific(contextKey));
}

int Task::currentNumber() {
    Task *t = current();
    return t ? t->taskNumber : -1;
}

const char *Task::currentName() {
    Task *t = current();
    return t ? t->name : "NoTask";
}

void Task::kill(const char *taskName, int signal) {
    pthread_mutex_lock(&stopLaunchLock);
    if (!TLOCK()) {
        pthread_mutex_unlock(&stopLaunchLock);
        return;
    }
    Task *self = current();
    std::vector<Task *> unstarted;
    for (Task *&slot : registry) {
        Task *t = slot;
        if (t == nullptr || t == self) continue;
        if (taskName && (t->name == nullptr || std::strcmp(t->name, taskName) != 0)) continue;
        if (t->threadCreated_) {
            pthread_kill(t->thread, signal);
        } else {
            // Out of the registry before it is destroyed (see unregisterTask).
            slot = nullptr;
            unstarted.push_back(t);
        }
    }
    TUNLOCK();
    for (Task *t : unstarted)
        delete t;
    pthread_mutex_unlock(&stopLaunchLock);
}

void Task::shiftStartTimes(int64_t delta) {
    if (!TLOCK()) return;
    for (Task *t : registry)
        if (t) t->startTick += delta;
    TUNLOCK();
}

int Task::aliveCount() {
    return alive.load();
}
int Task::overRunCount() {
    return overRun.load();
}

int runningTaskThreads() {
    return threadsRunning.load();
}

int countTasks() {
    int locked = TLOCK();
    int count = 0;
    for (Task *t : registry)
        if (t) count++;
    if (locked) TUNLOCK();
    return count;
}

namespace {

std::atomic<bool> firstStop{true};

// The stop work, once per process: the display shows the restart code, the delay
// passes (waitOnTask: on the calling task's own pipe, else asleep), every task gets
// the exit message, and a second later every other task thread a SIGTERM.
void stopWork(int delay, bool waitOnTask) {
    if (!firstStop.exchange(false)) return;
    if (shutdownDisplayHook) shutdownDisplayHook();
    if (delay > 0) {
        if (waitOnTask)
            waitCurrentTask(static_cast<int64_t>(delay) * 100);
        else
            sleep(static_cast<unsigned>(delay));
    }
    Task::postAll(exitMsg);
    sleep(1);
    Task::kill(nullptr, SIGTERM);
}

} // namespace

void ShutDown::run() {
    stopWork(delay, true);
    ++shutdownCounter;
    exit();
}

int startShutDown(int delaySeconds) {
    pthread_mutex_lock(&stopLaunchLock);
    auto *stop = new ShutDown(delaySeconds);
    int number = stop->start(0x8000);
    // Without a thread the task would stay registered for good: remove it again.
    if (number < 0) delete stop;
    pthread_mutex_unlock(&stopLaunchLock);
    if (number >= 0) return number;

    std::printf("ShutDown: no thread for the stop task, stopping on %s\n", Task::currentName());
    std::fflush(stdout);
    // The caller's own pipe is not waited on here: an exit message in it would end the
    // caller's thread halfway through the stop work.
    stopWork(delaySeconds, false);
    ++shutdownCounter;
    return -1;
}

void task_testing::rearmStopWork() {
    firstStop = true;
}
