// Applying parameter changes: every changed parameter is logged, sorted into its change
// class and its side effects on the board, the display, the crypto library and the
// services are carried out; before that the file as it stood is handed to the
// notification task when parameter-backup mails are on.

#include "core/ptable.h"

#include "core/monilog.h"
#include "core/ptable_hooks.h"
#include "core/task.h"
#include "core/tls.h"
#include "core/utils_file.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unistd.h>

PtableHooks &ptableHooks() {
    static PtableHooks hooks;
    return hooks;
}

namespace {

constexpr uint32_t NotifyParamBackup = 0x40000000u;

bool startsWith(const char *text, const char *prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

void show(char first, char second, uint32_t flags) {
    if (auto f = ptableHooks().displayShow) f(first, second, flags);
}

} // namespace

void Ptable::backupNotification() {
    PtableHooks &hooks = ptableHooks();
    if (hooks.notifyPresent == nullptr || !hooks.notifyPresent()) return;
    if (!on("notibup_1") && !on("notibup_2")) return;
    bool saved = false;
    for (int i = 0; i < count_ && !saved; i++) {
        Param *p = items_[i];
        saved = p != nullptr && p->isChanged() && !p->hasFlags(ParamAbsent | ParamTemporary);
    }
    if (!saved) return;
    int fd = tempFile();
    if (fd < 0) return;
    // The copy holds the file as it stood before this batch of changes; a save running
    // at the same moment replaces the file by rename, so the copy is never torn.
    if (copyFd(filePath().c_str(), fd, nullptr) && lseek(fd, 0, SEEK_SET) == 0 &&
        hooks.notifyAddEvent != nullptr && hooks.notifyAddEvent(NotifyParamBackup, fd) > 0) {
        if (hooks.notifyPostEvent != nullptr) hooks.notifyPostEvent(NotifyParamBackup, -1);
        return;
    }
    close(fd);
}

unsigned Ptable::applyChanges() {
    // One batch at a time: two tasks applying at once would both see a mark before
    // either clears it and run the side effects twice.
    std::lock_guard<std::recursive_mutex> lock(applyMutex_);
    backupNotification();

    unsigned summary = 0;
    const bool logChanges = moniOn(MoniPar);
    for (int i = 0; i < count_; i++) {
        Param *p = items_[i];
        if (p == nullptr || !p->takeChanged()) continue;
        if (p->hasFlags(ParamAbsent | ParamTemporary)) {
            summary |= ChangeAny;
            continue;
        }
        if (logChanges) {
            if (p->hasFlags(ParamConcealed)) {
                mprintf(MoniPar, __FILE__, __LINE__, "Parameter: hidden parameter %s was changed.",
                        p->name());
            } else {
                char text[128] = "";
                int n = p->toText(text, sizeof text, true);
                int shown = static_cast<int>(strnlen(text, sizeof text));
                if (n >= 0 && n < shown) shown = n;
                mprintf(MoniPar, __FILE__, __LINE__, "Parameter: %s was changed:\"%.*s\".", p->name(), shown,
                        text);
            }
        }
        if (p->hasFlags(ParamAtOnce))
            summary |= ChangeAny | ChangeSave | ChangeNotify;
        else if (p->hasFlags(ParamSaved))
            summary |= ChangeAny | ChangeSave;
        else
            summary |= ChangeAny | ChangeSave | ChangeRestart;
        sideEffects(p);
    }
    return summary;
}

void Ptable::sideEffects(Param *p) {
    PtableHooks &hooks = ptableHooks();
    const char *name = p->name();

    if (p->hasFlags(ParamFeatPower) && startsWith(name, "zqn_ppwr_")) {
        long n = std::strtol(name + 9, nullptr, 10);
        if (n >= 1 && n <= static_cast<long>(usbPorts_)) {
            auto *list = dynamic_cast<P3List *>(p);
            bool onValue = list != nullptr && list->equals("on");
            bool fail = list != nullptr && list->equals("fail");
            if (hooks.setPortPower) hooks.setPortPower(static_cast<int>(n - 1), onValue);
            if (!fail && hooks.setPortLed) hooks.setPortLed(static_cast<int>(n - 1), 0, 0);
        }
    }

    if (!std::strcmp(name, "relay_ctrl")) {
        if (hooks.setRelay) hooks.setRelay(listIs("relay_ctrl", "fix") && on("relay_on"));
        if (auto *events = lookupAs<IntParam>("relay_eves")) events->set(0);
    } else if (!std::strcmp(name, "relay_on")) {
        if (listIs("relay_ctrl", "fix") && hooks.setRelay) hooks.setRelay(p->isOn());
    } else if ((startsWith(name, "relay_stat_") && listIs("relay_ctrl", "stat")) ||
               (startsWith(name, "relay_eve_") && !listIs("relay_ctrl", "fix") &&
                !listIs("relay_ctrl", "stat"))) {
        if (hooks.setRelay) hooks.setRelay(false);
    }

    if (!std::strcmp(name, "fan_on") && hooks.fanControl) hooks.fanControl(p->isOn() ? 1 : 0);

    const bool display = hooks.displayPresent != nullptr && hooks.displayPresent();
    if (display) {
        if (!std::strcmp(name, "disp_def")) {
            auto *s = dynamic_cast<StringParam *>(p);
            const std::string code = s != nullptr ? s->getText() : std::string();
            if (!code.empty()) show(code[0], code[1], 0);
        } else if (!std::strcmp(name, "disp_pwr")) {
            if (!p->isOn()) {
                show('E', '1', 8);
            } else if (hooks.displayPowerFaultState) {
                uint32_t state = hooks.displayPowerFaultState();
                if (state != 0) show('E', '1', state | 0x24);
            }
        } else if (!std::strcmp(name, "disp_lnk")) {
            if (!p->isOn()) {
                show('E', '5', 8);
            } else if (hooks.wiredCarrierState) {
                int carrier = hooks.wiredCarrierState();
                if (carrier >= 0 && carrier != 0x11) show('E', '5', 0x24);
            }
        } else if (!std::strcmp(name, "disp_sdc")) {
            if (!p->isOn()) {
                show('E', '2', 8);
                show('E', '3', 8);
                show('E', '4', 8);
            } else {
                int state = hooks.storageSlotState ? hooks.storageSlotState() : -1;
                if (state == 1)
                    show('E', '2', 0x24);
                else if (state == 2)
                    show('E', '3', 0x24);
                else if (state == 0)
                    show('E', '4', 0x24);
            }
        }
    }

    if (!std::strcmp(name, "security")) {
        auto *security = dynamic_cast<IntParam *>(p);
        int value = security != nullptr ? security->value() : 0;
        tlsSetLegacyProvider(value == 4 || value == 1);
    }

    if (startsWith(name, "syslogng") || startsWith(name, "monitoring")) {
        if (Task::postByName("SysLogNg", configChangedMsg) == 0 && on("monitoring") &&
            (on("syslogng") || on("syslogngdbg")) && stringSet("syslogng_srv") && hooks.startSyslogng)
            hooks.startSyslogng(0);
    }

    if (startsWith(name, "bonjour_name") && hooks.updateBonjourName) hooks.updateBonjourName();

    if ((!std::strcmp(name, "sessKeys") || !std::strcmp(name, "http_allowed") ||
         !std::strcmp(name, "snmpv1") || !std::strcmp(name, "zqn_sec")) &&
        hooks.updateStatusLed)
        hooks.updateStatusLed();
}

unsigned Ptable::saveIfChanged() {
    unsigned summary = applyChanges();
    if (summary & ChangeSave) save(filePath().c_str());
    return summary;
}
