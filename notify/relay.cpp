// The relay output: device events switch it by the event or status rules of the relay
// parameters, the latched events are kept in "relay_eves", and every event that concerns
// the relay is time-stamped in the device-event table the relay page shows.

#include "notify/relay.h"

#include "core/platform.h"
#include "core/ptable.h"
#include "core/ptable_hooks.h"
#include "core/ticks.h"
#include "param_catalogue.h"

#include <atomic>
#include <ctime>
#include <mutex>

namespace {

// One lock spans reading "relay_eves", the decision, the switch and the write, so two
// tasks reporting events at once never lose a latched bit or leave the relay and the
// bits disagreeing.
std::mutex relayMutex;

std::atomic<time_t> stamps[18];

DeviceEventEntry eventTable[] = {
    {0x1, 0, "Restart"},
    {0x2, 0, "Network connection interrupted"},
    {0x4, 0, "Network connection established"},
    {0x10, 0, "Power supply 1 established"},
    {0x20, 0, "Power supply 2 established"},
    {0x40, 0, "Power supply 1 interrupted"},
    {0x80, 0, "Power supply 2 interrupted"},
    {0x100, 0, "SD card connected"},
    {0x200, 0, "SD card disconnected"},
    {0x400, 0, "SD card cannot be used"},
    {0x1000, 0, "USB device connected (port 1)"},
    {0x2000, 0, "USB device disconnected (port 1)"},
    {0x4000, 0, "USB device activated (port 1)"},
    {0x8000, 0, "USB device deactivated (port 1)"},
    {0x10000, 0, "USB device connected (port 2)"},
    {0x20000, 0, "USB device disconnected (port 2)"},
    {0x40000, 0, "USB device activated (port 2)"},
    {0x80000, 0, "USB device deactivated (port 2)"},
    {0, 0, nullptr},
};

// A USB event: its kind 0..3 (connect, disconnect, activate, deactivate) and port 1 or 2.
bool usbEvent(uint32_t bit, int &kind, int &port) {
    for (int k = 0; k < 4; k++) {
        if (bit == (0x1000u << k)) {
            kind = k;
            port = 1;
            return true;
        }
        if (bit == (0x10000u << k)) {
            kind = k;
            port = 2;
            return true;
        }
    }
    return false;
}

// The setting names this port: "any" or its number.
bool namesPort(P3List *setting, int port) {
    return setting->equals("any") || setting->equals(port == 1 ? "1" : "2");
}

void stamp(uint32_t bit) {
    time_t now = applianceTime();
    struct tm local;
    bool clockSet =
        now != static_cast<time_t>(-1) && localtime_r(&now, &local) && local.tm_year + 1900 > 2015;
    time_t value = clockSet ? now : static_cast<time_t>(sysTicks() / 100);
    for (int i = 0; eventTable[i].bit; i++)
        if (eventTable[i].bit == bit) stamps[i] = value;
}

void switchRelay(bool on) {
    if (auto f = ptableHooks().setRelay) f(on);
}

} // namespace

const DeviceEventEntry *deviceEventTable() {
    for (int i = 0; eventTable[i].bit; i++)
        eventTable[i].last = stamps[i].load();
    return eventTable;
}

int handle_relay_event(uint32_t bit) {
    ptable();
    if ((p_sw_features->value() & 0x400000) == 0) return 0;
    std::lock_guard<std::mutex> lock(relayMutex);
    uint32_t state = static_cast<uint32_t>(p_relay_eves->value());
    if (p_relay_ctrl->equals("fix")) return 0;

    bool on = false;
    int kind = 0, port = 0;
    if (p_relay_ctrl->equals("stat")) {
        // Each event has an opposite; the setting names the one that switches on.
        bool match = false, opposite = false;
        uint32_t opposed = 0;
        if (bit == 0x2 || bit == 0x4) {
            match = p_relay_stat_net->equals(bit == 0x2 ? "netoff" : "neton");
            opposite = p_relay_stat_net->equals(bit == 0x2 ? "neton" : "netoff");
            opposed = bit == 0x2 ? 0x4 : 0x2;
        } else if (usbEvent(bit, kind, port)) {
            P3List *settings[4] = {p_relay_stat_ucon, p_relay_stat_udis, p_relay_stat_uact,
                                   p_relay_stat_udea};
            int other = kind ^ 1; // connect <-> disconnect, activate <-> deactivate
            match = namesPort(settings[kind], port);
            opposite = namesPort(settings[other], port);
            opposed = (port == 1 ? 0x1000u : 0x10000u) << other;
        }
        if (!match && !opposite) return static_cast<int>(state);
        state &= ~opposed;
        on = match;
    } else {
        bool match = false;
        switch (bit) {
        case 0x1:
            match = p_relay_eve_start->equals("warm");
            break;
        case 0x2:
            match = p_relay_eve_net->equals("netoff");
            break;
        case 0x4:
            match = p_relay_eve_net->equals("neton");
            break;
        case 0x10:
            match = p_relay_eve_1pwr->equals("pwron");
            break;
        case 0x40:
            match = p_relay_eve_1pwr->equals("pwroff");
            break;
        case 0x20:
            match = p_relay_eve_2pwr->equals("pwron");
            break;
        case 0x80:
            match = p_relay_eve_2pwr->equals("pwroff");
            break;
        case 0x100:
            match = p_relay_eve_sd->equals("sdin");
            break;
        case 0x200:
            match = p_relay_eve_sd->equals("sdout");
            break;
        case 0x400:
            match = p_relay_eve_sd->equals("sderr");
            break;
        default:
            if (usbEvent(bit, kind, port)) {
                P3List *settings[4] = {p_relay_eve_ucon, p_relay_eve_udis, p_relay_eve_uact,
                                       p_relay_eve_udea};
                match = namesPort(settings[kind], port);
            }
        }
        if (!match) return static_cast<int>(state);
        on = true;
    }
    if (!(state & bit)) {
        switchRelay(on);
        state |= bit;
        p_relay_eves->set(static_cast<int32_t>(state));
    }
    stamp(bit);
    return static_cast<int>(state);
}
