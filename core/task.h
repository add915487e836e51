// The task framework: every long-lived activity and every short job of the daemon is a
// Task with its own thread, a message pipe that other tasks post 16-byte TaskMsg
// records into, an epoll set its thread waits on, and a slot in a registry of 64.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <sys/types.h>

// The 16-byte message: word 0 is stamped with the receiver's task number by the post.
struct TaskMsg {
    int32_t task;
    uint32_t flags;
    uint32_t arg1;
    uint32_t arg2;
};
static_assert(sizeof(TaskMsg) == 16, "task messages are 16 bytes on the pipe");

// Message flags.
enum : uint32_t {
    MsgExit = 0x2,              // the receiving thread ends when it reads the message
    MsgNotifyEvent = 0x10,      // notification event (event bits, value)
    MsgAddressChanged = 0x1000, // an interface address changed: reopen sockets
    MsgConfigChanged = 0x4000,  // configuration or network changed
    MsgNewDiscovery = 0x8000,   // start a new address discovery
    MsgPortsOn = 0x10000,       // switch the USB ports on
};

// The four messages every caller may post as they stand.
extern const TaskMsg exitMsg;
extern const TaskMsg configChangedMsg;
extern const TaskMsg portsOnMsg;
extern const TaskMsg notifyEventMsg;

struct EpollRecord;
// Called as callback(record, epoll event bits); a negative result removes the
// record's descriptor from the set.
using EpollCallback = int (*)(EpollRecord *record, uint32_t events);

// The registration of one descriptor in a task's epoll set; the epoll data word of the
// registration points to it. A callback does nothing when it finds owner null.
struct EpollRecord {
    void *owner = nullptr;
    EpollCallback callback = nullptr;
    int descriptor = -1;
};

constexpr int TaskRegistrySize = 64;

class Task {
public:
    explicit Task(const char *name);
    Task(const Task &) = delete;
    Task &operator=(const Task &) = delete;
    virtual ~Task();

    // The body of the thread.
    virtual void run() = 0;
    // Ends the calling thread; never returns. Objects on the thread's stack are
    // destroyed on the way out (see task.cpp).
    [[noreturn]] virtual void exit();
    // Receives every message read from the pipe; returns the flags that remain for
    // the waiter (the base returns them unchanged).
    virtual uint32_t onMessage(const TaskMsg &msg);
    // Writes the message into this task's pipe, word 0 stamped with its number.
    virtual int post(TaskMsg msg);

    // Creates the thread; returns the task number or -1.
    int start(uint32_t minStackSize, bool joinable = false);

    // Reads and handles one message from the pipe; returns onMessage's result.
    uint32_t readMessage();
    // Handles one message when one is waiting; 1 when it did, else 0.
    int pollMessage();

    static int postTo(int taskNumber, TaskMsg msg);
    static int postByName(const char *name, TaskMsg msg);
    static int postAll(TaskMsg msg);

    // Waits on the calling thread's own task: ticks < 0 without limit, 0 polls once.
    // 0 error, 1 time-out, 2 message of interest, 3 extraFd readable.
    int wait(int64_t ticks, int extraFd = -1);

    int epollAdd(EpollRecord *record, uint32_t events);
    int epollDel(int descriptor);
    int epollMod(EpollRecord *record, uint32_t events);
    int epollWait(int timeoutMs);

    static Task *current();
    static int currentNumber();
    static const char *currentName();

    // Signals every registered task of that name (all tasks for null) but the
    // caller's own; a registered task that never got a thread is deleted instead.
    static void kill(const char *name, int signal);
    static void shiftStartTimes(int64_t delta);

    // Registry-wide counters, shown on the thread information page.
    static int aliveCount();
    static int overRunCount();

    // Fields, in the order the status pages know them.
    uint32_t stackSize = 0;
    std::atomic<int64_t> startTick{0};
    pid_t tid = 0;
    pid_t pid = 0;
    pid_t ppid = 0;
    int pipeRead = -1;
    int pipeWrite = -1;
    int taskNumber = 0;
    pthread_t thread{};
    const char *name;
    int epollFd = -1;
    int epollChanges = 0;
    pthread_mutex_t pipeMutex;
    EpollRecord pipeRecord;
    int subclassWord = 0;

    // The registry slot index (0-63) of this task, TaskRegistrySize when none; takes the
    // registry lock.
    int slotIndex() const;

private:
    // slotIndex under the caller's registry lock.
    int slotIndexLocked() const;
    static void *threadMain(void *arg);
    bool threadCreated_ = false;
};

// The stop task: does the stop work once per process, then raises the shutdown counter.
// Start one with startShutDown, not by hand.
class ShutDown : public Task {
public:
    explicit ShutDown(int delaySeconds) : Task("ShutDown"), delay(delaySeconds) {}
    void run() override;
    int delay;
};

// Constructs and starts a ShutDown task with the delay in seconds; Task::kill cannot
// delete it between the two. When its thread cannot be created, the task is removed
// again and the calling thread does the stop work itself and raises the shutdown
// counter, so the daemon still stops. The task number, or -1 when the work ran inline.
int startShutDown(int delaySeconds);

// Seams for the unit tests of the framework.
namespace task_testing {
using ThreadCreate = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
// The thread creation of Task::start (pthread_create unless a test replaces it).
extern std::atomic<ThreadCreate> threadCreate;
// Lets the next ShutDown do the once-per-process stop work again.
void rearmStopWork();
} // namespace task_testing

// Raised by every ShutDown task; the supervision loop starts one while it is above 0
// and ends the run after the stop work.
extern std::atomic<int> shutdownCounter;

// Shows the restart code on the status display, when the board has one; installed by
// the board I/O.
extern void (*shutdownDisplayHook)();

// Task::wait on the calling thread's task; 0 outside a task.
int waitCurrentTask(int64_t ticks, int extraFd = -1);
int currentTaskNumber();

// Number of occupied registry slots.
int countTasks();

// Number of task threads that have not finished: a thread counts from its creation
// until its task is destroyed and the crypto library's state of the thread is freed.
// A task leaves the registry before that, so countTasks can be zero while this is not.
int runningTaskThreads();

// The registry lock: TLOCK returns 1 when taken, else prints the failure and returns 0.
int TLOCK();
void TUNLOCK();

// Destroys the registry lock: the last step of a stop, once no task is left.
void destroyTaskRegistryLock();

// Reads registry slot i under the caller's TLOCK; null when empty.
Task *registrySlot(int i);
