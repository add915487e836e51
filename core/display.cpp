// The two-character status display of product 295: the list of active codes shown in
// turn, the power-input decimal points and the start-up steps of the LED bar.
#include "core/gpio.h"

#include "core/ptable_hooks.h"
#include "param_catalogue.h"

#include <cstdio>
#include <string>

using namespace gpio_abi;

Display::Display(GpioDevice &device) : device_(device) {}

int Display::activeCount() {
    std::lock_guard<std::recursive_mutex> guard(mutex_);
    int n = 0;
    for (const Entry &e : entries_)
        if (e.first != 0) n++;
    return n;
}

// Writes the active codes into "disp_erVals": "E1, E5".
void Display::publishList() {
    std::string list;
    for (const Entry &e : entries_) {
        if (e.first == 0) continue;
        if (!list.empty()) list += ", ";
        list += e.first;
        list += e.second;
    }
    p_disp_erVals->setText(list.c_str(), static_cast<int>(list.size()));
}

int Display::show(char first, char second, uint32_t flags) {
    if (device_.productId() != 295) return 1;
    std::lock_guard<std::recursive_mutex> guard(mutex_);
    uint32_t state = state_.load();
    if ((state & Lock) != 0 && (flags & Lock) == 0) return 1;

    const uint32_t dots = (flags | state) & 3;
    DisplayRecord record{};
    record.code = static_cast<uint32_t>(static_cast<unsigned char>(first)) << 24 |
                  ((dots & Dot2) ? uint32_t('.') << 16 : 0) |
                  static_cast<uint32_t>(static_cast<unsigned char>(second)) << 8 | ((dots & Dot1) ? '.' : 0);
    if ((flags & FastBlink) != 0) {
        record.pattern = 28;
        record.patternMask = 31;
        record.blink = 1;
        record.stepMs = 50;
    } else if ((flags & SlowBlink) != 0) {
        record.pattern = 11;
        record.patternMask = 15;
        record.blink = 1;
        record.stepMs = 200;
    }
    if ((flags & Remove) == 0) device_.ioctl(SetDisplay, &record);
    if ((flags & Lock) != 0) {
        state_.fetch_or(Lock);
        current_ = -1;
        count_ = 0;
    }

    if ((flags & (Add | Remove)) != 0) {
        const uint32_t kept = flags & ~uint32_t(Add | Remove);
        for (Entry &e : entries_) {
            if (e.first != 0 && e.first == first && e.second == second) {
                if ((flags & Remove) != 0) {
                    // count_ counts additions and stays: the cycle then goes on to the
                    // default text, which replaces a removed code still on the display.
                    e = Entry{};
                } else {
                    e.flags = kept;
                }
                return 1;
            }
        }
        if ((flags & Remove) != 0 || first == 0) return 0;
        Entry *free = nullptr;
        for (Entry &e : entries_) {
            if (e.first == 0) {
                free = &e;
                break;
            }
        }
        if (free == nullptr) return 0;
        free->first = first;
        free->second = second;
        free->flags = kept;
        if (count_ < EntryCount * 1000) count_++; // only "not 0" matters; bounded
    }
    publishList();
    return 1;
}

void Display::refresh() {
    if (device_.productId() != 295) return;
    std::lock_guard<std::recursive_mutex> guard(mutex_);
    uint32_t state = state_.load();
    if ((state & Lock) != 0) return;

    int inputs = device_.readInputs();
    if (inputs >= 0) {
        uint32_t good = ((inputs & InputPower1) ? 0 : 1) | ((inputs & InputPower2) ? 0 : 2);
        uint32_t next = (state & ~3u) | good;
        if (next != state) {
            state_.store(next);
            state = next;
            if (p_disp_pwr->isOn()) {
                if ((inputs & (InputPower1 | InputPower2)) == 0)
                    show('E', '1', Remove);
                else
                    show('E', '1', good | Add | SlowBlink);
            }
            PtableHooks &hooks = ptableHooks();
            if (hooks.notifyAddEvent && hooks.notifyAddEvent(0x200000, static_cast<int>(good)) > 0 &&
                hooks.notifyPostEvent)
                hooks.notifyPostEvent(0x200000, -1);
        }
    }
    if ((static_cast<uint32_t>(p_sw_features->value()) & 0x100000) != 0) {
        auto slotState = ptableHooks().storageSlotState;
        int slot = slotState ? slotState() : -1;
        if (((state & 3) != 3 && p_beepPwr->isOn()) || (slot != 3 && p_beepSDc->isOn())) device_.beep(0);
    }

    if (count_ != 0) {
        for (int i = current_ + 1; i < EntryCount; i++) {
            if (entries_[i].first != 0) {
                current_ = i;
                show(entries_[i].first, entries_[i].second, entries_[i].flags);
                return;
            }
        }
        const std::string def = p_disp_def->getText();
        char a = def.size() > 0 ? def[0] : ' ';
        char b = def.size() > 1 ? def[1] : ' ';
        show(a, b, 0);
        current_ = -1;
    }
}

void Display::startStep(int step) {
    if (device_.productId() != 295) return;
    static const uint32_t bar[4] = {0x1200, 0x0C00, 0x00C0, 0x2100};
    WideLedRecord record{};
    record.mask[2] = 0x7FFF7FFF;
    if (step < 0) {
        record.colour[2] = 0x7FFF7FFF; // every bar LED dark
    } else {
        uint32_t p = bar[step % 4];
        record.colour[2] = ~(p | p << 16);
    }
    device_.ioctl(SetLedsWide, &record);
}
