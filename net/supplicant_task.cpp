#include "net/supplicant_task.h"

#include "core/sysinfo.h"
#include "net/netif.h"
#include "param_catalogue.h"
#include "wireless/core/supplicant.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {
std::atomic<bool> supplicantStarted{false};
}

SupplicantTask::SupplicantTask(uint8_t driverByte, const char *ifname) : Task("Supplicant") {
    memset(startText, 0, sizeof(startText));
    startText[0] = static_cast<char>(driverByte);
    size_t len = strnlen(ifname, sizeof(startText) - 2);
    memcpy(startText + 1, ifname, len);
}

// The task's pipe is served by the supplicant's event loop: an exit request becomes a
// terminate request, so the supplicant tears down in order before the thread ends.
void SupplicantTask::pipeReadable(int fd, wpa_global *global, void *ctx) {
    auto *self = static_cast<SupplicantTask *>(ctx);
    TaskMsg msg{};
    ssize_t n;
    do {
        n = ::read(fd, &msg, sizeof(msg));
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EAGAIN) return;
    if (n != static_cast<ssize_t>(sizeof(msg)) || (msg.flags & MsgExit)) {
        supplicant_request_terminate(global);
        return;
    }
    self->onMessage(msg);
}

void SupplicantTask::run() {
    NetInterface &wired = wiredInterface();
    if (isWifiProduct(productParams().productId)) {
        if (!p_wifi->isOn())
            wired.restart();
        else
            wait(50);
    } else {
        wired.restart();
    }
    supplicant_set_external_sock(pipeRead, pipeReadable, this);
    supplicant_start(startText);
    supplicant_set_external_sock(-1, nullptr, nullptr);
}

bool start_supplicant(uint8_t driverByte, const char *ifname) {
    bool expected = false;
    if (!supplicantStarted.compare_exchange_strong(expected, true)) return false;
    auto *task = new SupplicantTask(driverByte, ifname);
    if (task->start(SupplicantTask::StackSize) < 0) return false;
    return true;
}
