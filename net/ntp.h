// The time client task "NTP": sets the appliance's clock from a time server with one
// SNTP request and reply, sets the process's time zone from "ntp_tzone", writes the
// time into the battery-backed clock, and corrects the task bookkeeping when the clock
// jumps.
#pragma once

#include "core/address.h"
#include "core/task.h"
#include "net/ntp_message.h"

#include <atomic>
#include <memory>
#include <sys/time.h>

class NetInterface;
class NtpNetwork;

// The server address used last (port 123).
InetAddress ntpServerAddress();

// Sets TZ from the current "ntp_tzone" choice (removed when it has none) and calls
// tzset.
void applyTimeZone();

class NtpClient : public Task {
public:
    // Waits: after a success "ntp_update" seconds, else 15 s; a reply within 10 s.
    static constexpr int64_t RetryTicks = 1500;
    static constexpr int64_t ReplyTicks = 1000;

    // A null network takes the real sockets.
    explicit NtpClient(NetInterface &iface, NtpNetwork *network = nullptr);
    ~NtpClient() override;

    void run() override;
    // A configuration change asks for the time zone and a synchronisation again.
    uint32_t onMessage(const TaskMsg &msg) override;
    // One synchronisation; true when the clock was set.
    bool sync();
    // Sets the clock to time; 0, or -1 when the platform refused it (nothing else
    // changed then).
    int setClock();

    std::atomic<bool> reconfigure{true};
    uint8_t request[NtpMessageSize] = {};
    timeval time{};
    int64_t receiveTimeout = 0;
    NetInterface *iface;

private:
    std::unique_ptr<NtpNetwork> network_;
};
