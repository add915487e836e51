// Shared pieces of the connection tests: a stand-in network interface served through
// the interface hooks, a temporary directory, and a task whose body the test gives.
#pragma once

#include "core/connection.h"
#include "core/task.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>

namespace conntest {

// What the hooks answer for an interface: its name, its IPv4 and IPv6 addresses, and
// how many address queries fail before the address is there.
struct FakeInterface {
    const char *name = "lo";
    const char *ipv4 = "127.0.0.1";
    const char *ipv6 = "::1";
    std::atomic<int> addressFailures{0};
    std::atomic<int> addressQueries{0};
    std::atomic<int> lastVlan{-100};
};

inline NetInterface *asInterface(FakeInterface &f) {
    return reinterpret_cast<NetInterface *>(&f);
}
inline FakeInterface *fromInterface(const NetInterface *i) {
    return reinterpret_cast<FakeInterface *>(const_cast<NetInterface *>(i));
}

// Installs hooks that serve FakeInterface objects, and restores the previous hooks.
class InterfaceHooksGuard {
public:
    explicit InterfaceHooksGuard(FakeInterface *mainIface = nullptr, int mgmtVlan = -1) {
        saved_ = interfaceHooks();
        mainIface_ = mainIface;
        mgmtVlan_ = mgmtVlan;
        InterfaceHooks &h = interfaceHooks();
        h.name = [](const NetInterface *i) -> const char * { return fromInterface(i)->name; };
        h.getAddress = [](NetInterface *i, InetAddress &address, int vlan) {
            FakeInterface *f = fromInterface(i);
            f->addressQueries++;
            f->lastVlan = vlan;
            if (f->addressFailures > 0) {
                f->addressFailures--;
                return false;
            }
            InetAddress found = InetAddress::fromText(address.family() == AF_INET6 ? f->ipv6 : f->ipv4);
            if (!found.isSet()) return false;
            address = found;
            return true;
        };
        h.mainInterface = []() { return mainIface_ ? asInterface(*mainIface_) : nullptr; };
        h.mgmtVlanId = []() { return mgmtVlan_; };
    }
    ~InterfaceHooksGuard() { interfaceHooks() = saved_; }
    InterfaceHooksGuard(const InterfaceHooksGuard &) = delete;
    InterfaceHooksGuard &operator=(const InterfaceHooksGuard &) = delete;

private:
    InterfaceHooks saved_;
    static inline FakeInterface *mainIface_ = nullptr;
    static inline int mgmtVlan_ = -1;
};

// A directory under /tmp, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/qmr_conn_XXXXXX";
        char *p = ::mkdtemp(tmpl);
        path_ = p ? p : "";
    }
    ~TempDir() {
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Waits (bounded) until the predicate holds.
inline bool eventually(const std::function<bool()> &pred, int ms = 5000) {
    for (int i = 0; i < ms / 5; i++) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

// A task running the test's body; it counts its end in a flag that outlives it (the
// task object is freed by its own thread).
class FnTask : public Task {
public:
    FnTask(const char *taskName, std::function<void(FnTask &)> body, std::atomic<int> *ended = nullptr)
        : Task(taskName), body_(std::move(body)), ended_(ended) {}
    ~FnTask() override {
        if (ended_) ++*ended_;
    }
    void run() override { body_(*this); }

private:
    std::function<void(FnTask &)> body_;
    std::atomic<int> *ended_;
};

// Runs body on a fresh task and waits (bounded) until the task has ended.
inline bool runInTask(const std::function<void(FnTask &)> &body, int ms = 30000) {
    std::atomic<int> ended{0};
    auto *t = new FnTask("ConnTest", body, &ended);
    if (t->start(0x10000) < 0) return false;
    return eventually([&] { return ended.load() == 1; }, ms);
}

} // namespace conntest
