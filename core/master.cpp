// The daemon's entry: start-up in a fixed order, the supervision loop on the main
// thread while any task is registered, and the shutdown that returns the shutdown type
// as the exit status. The main thread is not a task; it only starts tasks and watches
// them.

#include "core/master.h"

#include "core/address.h"
#include "core/connection.h"
#include "core/gpio.h"
#include "core/ipfilter.h"
#include "core/load.h"
#include "core/monilog.h"
#include "core/platform.h"
#include "core/ptable.h"
#include "core/ptable_hooks.h"
#include "core/sensors.h"
#include "core/supervisor.h"
#include "core/sysinfo.h"
#include "core/sysroot.h"
#include "core/task.h"
#include "core/ticks.h"
#include "core/tls.h"
#include "core/utils_file.h"
#include "net/arpping.h"
#include "net/ipsetup.h"
#include "net/netif.h"
#include "net/netsvc.h"
#include "net/supplicant_task.h"
#include "net/wifi.h"
#include "notify/pop3.h"
#include "notify/services.h"
#include "param_catalogue.h"
#include "sim/control.h"
#include "sim/sim_platform.h"
#include "snmp/snmpd.h"
#include "usbserver/usb_access.h"
#include "usbserver/usb_device.h"
#include "usbserver/usb_server.h"
#include "web/cert.h"
#include "web/http.h"
#include "web/update.h"
#include "wireless/core/eapol_glue.h"
#include "wireless/core/wps_credential.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>

namespace {

constexpr int64_t BlockTicks = 100; // one supervision block, about 1 s
constexpr int64_t StatusReportTicks = 3000;
constexpr int64_t StopGraceTicks = 500;      // the loop leaves this long after the last stop signal
constexpr int64_t PowerOffLinkTicks = 78000; // product 294 powers off after this long without link
constexpr int64_t WifiFallbackTicks = 800;

// State of the supervision loop.
int lastLinkState = 0x10;
int lastDisplayState = 0;
int lastPowerInputs = 0;
int loadStatsValue = -1;
int loadStatsCountdown = 0;
int displayBlockCount = 0;
int64_t linkLostTick = 0;
// Set by the SNMP configuration writer when a trap target is configured.
uint8_t trapsConfigured = 0;

unsigned productId() {
    return productParams().productId;
}

// Signal handlers only do what is safe there: counters, a tick, and write(2).

void writeText(const char *text) {
    (void)!::write(STDOUT_FILENO, text, std::strlen(text));
}

// Formats a signed decimal into buf (at least 12 bytes); async-signal-safe.
const char *decimal(long value, char *buf) {
    char tmp[24];
    int n = 0;
    bool negative = value < 0;
    unsigned long v = negative ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        tmp[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v && n < 22);
    int i = 0;
    if (negative) buf[i++] = '-';
    while (n > 0)
        buf[i++] = tmp[--n];
    buf[i] = '\0';
    return buf;
}

// Formats value as at least eight lower-case hex digits into buf (at least 17 bytes);
// async-signal-safe.
const char *hex8(unsigned long value, char *buf) {
    char tmp[17];
    int n = 0;
    do {
        tmp[n++] = "0123456789abcdef"[value & 0xf];
        value >>= 4;
    } while (value && n < 16);
    while (n < 8)
        tmp[n++] = '0';
    int i = 0;
    while (n > 0)
        buf[i++] = tmp[--n];
    buf[i] = '\0';
    return buf;
}

[[noreturn]] void endOnFault(int sig) {
    // A crash ends the process with 128 + the signal number, never as a plain stop;
    // "/var/alive" stays behind, so the next start counts it.
    _exit(128 + sig);
}

// SIGINT and SIGTERM received. The handler only counts them: reading the tick clock
// takes the board's locks, which the interrupted thread may hold (the main loop reads
// the clock all the time), so the main thread stamps shutdownRequestTick instead when
// it sees a new count (noteStopSignals).
std::atomic<int> stopSignals{0};
int stopSignalsSeen = 0;

void noteStopSignals() {
    int n = stopSignals.load();
    if (n != stopSignalsSeen) {
        stopSignalsSeen = n;
        shutdownRequestTick = sysTicks();
    }
}

void onSignal(int sig) {
    int savedErrno = errno;
    if (sig == SIGINT) ++sigIntCount;
    if (sig == SIGINT || sig == SIGTERM) {
        ++stopSignals;
        ++shutdownCount;
    }
    char a[24], b[24], c[24];
    writeText("sigXXX(");
    writeText(decimal(sig, a));
    writeText(") <");
    writeText(Task::currentName());
    writeText("> shutdowns:");
    writeText(decimal(shutdownCount.load(), b));
    writeText(" sigInts:");
    writeText(decimal(sigIntCount.load(), c));
    writeText("\n");
    if (sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE) endOnFault(sig);
    errno = savedErrno;
}

void onFatalSignal(int sig, siginfo_t *info, void *) {
    char a[24], b[24], c[24], d[24];
    writeText("Signal ");
    writeText(decimal(sig, a));
    writeText(", errno ");
    writeText(decimal(info ? info->si_errno : 0, b));
    writeText(", code ");
    writeText(decimal(info ? info->si_code : 0, c));
    writeText(", addr ");
    writeText(hex8(info ? static_cast<unsigned long>(reinterpret_cast<uintptr_t>(info->si_addr)) : 0, d));
    writeText("\n");
    endOnFault(sig);
}

void installFatalHandlers() {
    struct Entry {
        int sig;
        const char *failure;
    } entries[] = {
        {SIGSEGV, "SIGSEGV fail to install"}, {SIGILL, "SIGILL fail to install"},
        {SIGABRT, "SIGABRT fail to install"}, {SIGFPE, "SIGFPE fail to install"},
        {SIGSEGV, "SIGSEGV fail to install"}, {SIGBUS, "SIGBUS fail to install"},
        {SIGSYS, "SIGSYS fail to install"},   {SIGXCPU, "SIGXCPU fail to install"},
        {SIGIOT, "SIGIOT fail to install"},   {SIGXFSZ, "SIGXFSZ fail to install"},
    };
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    sa.sa_sigaction = onFatalSignal;
    for (const auto &e : entries) {
        if (sigaction(e.sig, &sa, nullptr) < 0) {
            std::perror(e.failure);
            return;
        }
    }
    struct sigaction term {};
    sigemptyset(&term.sa_mask);
    term.sa_flags = SA_RESTART;
    term.sa_handler = onSignal;
    if (sigaction(SIGTERM, &term, nullptr) < 0) std::perror("SIGTERM fail to install");
}

// The plain handler installation of step 14 (no SA_RESTART: a signal interrupts the
// waits of the task threads, which is how a stop reaches them).
bool installSignal(int sig) {
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = onSignal;
    return sigaction(sig, &sa, nullptr) == 0;
}

std::string paramText(Param *p) {
    char buf[128] = "";
    if (p) p->toText(buf, sizeof buf, false);
    return buf;
}

bool readDecimalFile(const std::string &path, long &value) {
    return readIntFile(value, path, false);
}

bool writeDecimalFile(const std::string &path, long value) {
    char text[24];
    std::snprintf(text, sizeof text, "%ld", value);
    return writeFile(path, text);
}

// Sets an integer parameter as start-up does: a value outside its range is ignored.
void setIntParam(IntParam *param, int value) {
    if (param) param->set(value);
}

void composeJackStates(int displayState, int linkState) {
    const ProductParams &product = productParams();
    int shift = (product.productId == 295 && product.hwMajor > 1) ? 1 : 2;
    int value = (displayState & 1) | ((displayState & 2) << 3) | (linkState << shift);
    setIntParam(p_jack_states, value);
}

bool directoryExists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

long fileSizeOf(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// Step 5: the root certificate becomes a link in the 802.1X directory.
void linkRootCertificate() {
    std::string link = sysPath("/etc/certs/cert_root.pem");
    // Only a link is replaced: a plain file of that name is the certificate itself and
    // would be lost by the removal below.
    struct stat st;
    if (::lstat(link.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return;
    char real[PATH_MAX];
    if (::realpath(link.c_str(), real) == nullptr) return;
    ::unlink(link.c_str());
    if (fileSizeOf(real) > 512) {
        const char *base = std::strrchr(real, '/');
        std::string target = sysPath("/etc/certs/802.1x") + (base ? base : "/cert_root.pem");
        if (::symlink(real, target.c_str()) < 0 && errno != EEXIST) std::perror(target.c_str());
    }
}

void raiseDeviceEvent(uint32_t bit) {
    handle_relay_event(bit);
}

// Step 20: certificate directories, a half-installed server key, the default certificate.
void prepareCertificates() {
    std::string certs = sysPath("/etc/certs");
    if (!directoryExists(certs) && ::mkdir(certs.c_str(), 0755) < 0 && moniEnabled(MoniErr))
        mprintf(MoniErr, __FILE__, __LINE__, "Error: certificate not found (at %s).", certs.c_str());
    std::string dot1x = sysPath("/etc/certs/802.1x");
    if (!directoryExists(dot1x) && ::mkdir(dot1x.c_str(), 0755) < 0 && moniEnabled(MoniErr))
        mprintf(MoniErr, __FILE__, __LINE__, "Error: 802.1 certificates not found (at %s).", dot1x.c_str());
    if (fileSizeOf(sysPath("/etc/certs/cert_fpkey.pem")) > 1 &&
        fileSizeOf(sysPath("/etc/certs/cert_fsrv.pem")) <= 0)
        ::unlink(sysPath("/etc/certs/cert_fpkey.pem").c_str());
    tlsStart(0);
}

// Step 22: the IP bring-up of the main interface.
void setupIp(NetInterface &iface) {
    iface.up();
    writeResolvConf();
    if (!p_ip_addr->hasValue()) {
        InetAddress pick;
        pick.makeZeroconf(iface);
        p_ip_addr->set(pick);
        p_ip_setby->setFromText("zconf", -1);
    }
    InetAddress address = p_ip_addr->address();
    address.setAsIfAddress(iface, nullptr, false);
    if (p_ip_addr->isLinkLocal4()) {
        iface.setLinkLocalRoute();
        std::printf("### ZeroConf IP:%s setup linklocal configuration ###\n", address.toText());
        if (p_ip_auto->isOn()) (new ArpPing(iface))->start(0x8000);
    } else if (p_ip_router->hasValue()) {
        InetAddress router = p_ip_router->address();
        router.setAsGateway(iface, true);
        std::printf("### Non Zeronf IP:%s setup default Gate:%s ###\n", address.toText(), router.toText());
    }
    iface.enableIpv6(p_ipv6->isOn());
    setupPacketFilter();
    if (p_sw_features->value() & 0x20000) iface.setupIpVlans();
}

// Step 26: the usbfs memory budget follows the free memory.
void setUsbfsMemory() {
    struct sysinfo info;
    if (::sysinfo(&info) != 0) return;
    unsigned long long freeBytes = static_cast<unsigned long long>(info.freeram) * info.mem_unit;
    writeFile(sysPath("/sys/module/usbcore/parameters/usbfs_memory_mb"),
              freeBytes > 134217728ULL ? "512" : "16");
}

// Connects the subsystems that reach each other through hooks.
void installHooks() {
    installServiceHooks();
    smime_build_body = certstore::smime_build_body;
    moniLogHooks().warmStarts = [] { return warmStarts.load(); };
    moniLogHooks().crashCount = [] { return crashCount.load(); };
    ptableHooks().writeDeviceInfoThrottled = [](const char *dir) { writeDeviceInfoThrottled(dir); };
    sensorHooks().fanControl = [](int mode) {
        GpioDevice &board = gpioDevice();
        return board.isOpen() ? board.fanControl(mode) : 0;
    };
    sensorHooks().notifyAddEvent = [](uint32_t event, int aux, const char *text) {
        return notifyAddEvent(event, aux, text);
    };
    gpioHooks().notifyAddText = [](uint32_t event, const char *text) {
        return notifyAddEvent(event, 0, text);
    };
    gpioHooks().wiredRunning = [] { return wiredInterface().isUp(nullptr, true); };
    gpioHooks().setShutdownType = [](int type) { shutdownType = type; };
    supervisorHooks().webdavDailyBackup = webdav_daily_backup;
    supervisorHooks().checkPortKeyExpiry = check_port_key_expiry;
    moniLogHooks().mainInterfaceUp = [] { return mainInterface().isUp(); };
    moniLogHooks().mainLinkFlags = []() -> uint32_t {
        int flags = 0;
        wiredInterface().getCarrier(&flags);
        return static_cast<uint32_t>(flags);
    };
    ptableHooks().wiredCarrierState = [] {
        int flags = 0;
        wiredInterface().getCarrier(&flags);
        return flags;
    };
    InterfaceHooks &net = interfaceHooks();
    net.name = [](const NetInterface *iface) -> const char * { return iface ? iface->name() : nullptr; };
    net.getAddress = [](NetInterface *iface, InetAddress &address, int vlan) {
        return iface != nullptr && iface->getAddress(address, vlan);
    };
    net.mainInterface = [] { return &mainInterface(); };
    net.mgmtVlanId = getMgmtVlanId;
    net.confirmBoot = [] { confirm_boot_status(); };
    // The update by mail: the same check and task as the update page.
    updatePrecheck = precheck_update_file;
    startUpdateTask = [](int fd) { return startUpdate(fd, nullptr); };
}

void startUp() {
    // 1.
    const char *kick = std::getenv("KickOff");
    warmStarts = kick ? std::atoi(kick) : -1;
    msSinceStart(true);
    ::umask(077);
    installFatalHandlers();

    // 2. Crash bookkeeping.
    long crashes = 0;
    crashCount = readDecimalFile(sysPath("/var/crashes"), crashes) ? static_cast<int>(crashes) : 0;
    std::string alive = sysPath("/var/alive");
    if (::access(alive.c_str(), F_OK) != 0) {
        crashedLastRun = false;
        writeFile(alive, "1");
    } else {
        crashedLastRun = true;
        ++crashCount;
        writeDecimalFile(sysPath("/var/crashes"), crashCount.load());
    }

    // 3. Parameters and the product's feature filter.
    Ptable &table = ptable();
    table.load(table.filePath().c_str());
    table.applyProductFeatures();
    installHooks();

    // 4.
    if (!moniLog.open()) std::printf("*** ERROR can not open/create monitoring file?! ***\n");

    // 5., 6.
    linkRootCertificate();
    writeFile(sysPath("/proc/sys/vm/dirty_expire_centisecs"), "100");
    writeFile(sysPath("/proc/sys/vm/dirty_writeback_centisecs"), "100");

    // 7. The storage slot.
    startStorageSlot(warmStarts.load());

    // 8. Counters.
    if (crashCount != 0) setIntParam(p_crashes, p_crashes->value() + 1);
    if (p_ip_mask->hasValue() && p_ip_pfxlen->value() == 24)
        setIntParam(p_ip_pfxlen, maskToPrefix(p_ip_mask->address()));
    setIntParam(p_life, p_life->value() + 1);
    if (table.applyChanges() & ChangeSave) table.save(table.filePath().c_str());

    // 9. Board I/O.
    GpioDevice &board = gpioDevice();
    if (board.open()) {
        (new GPio(board))->start(0x8000);
    }

    // 10. The wired interface.
    NetInterface &wired = wiredInterface();
    wired.setName("eth0");
    wired.openSocket();
    wired.up();

    // 11.
    if (moniLog.ready()) sysStatLog(StatUp);

    // 12.
    if (isWifiProduct(productId())) {
        usleep(1500000);
        wifiAdapterFound = wirelessPresent();
    }

    // 13. Wait for the wired link; a stop request ends the wait too, so a daemon
    // without link can still be stopped.
    int64_t t0 = sysTicks();
    while (!wired.isUp(nullptr, true) && stopSignals.load() == 0) {
        raiseDeviceEvent(DevEventLinkDown);
        if (wifiAdapterFound && sysTicks() - t0 > WifiFallbackTicks) {
            p_wifi->setFromText("on", -1);
            break;
        }
        if (productId() == 294 && sysTicks() - t0 > PowerOffLinkTicks) {
            std::printf("\n+++ GlobalReturnPOff +++\n");
            std::fflush(stdout);
            board.powerOff();
            std::printf("\n+++ GlobalReturnPOff never reached!+++\n");
        }
        usleep(500000);
    }
    raiseDeviceEvent(DevEventLinkUp);

    // 14.
    if (!installSignal(SIGFPE)) std::printf("####### install SIGFPE handler failed!\n########");
    for (int sig : {SIGTERM, SIGBUS, SIGINT, SIGUSR1, SIGUSR2, SIGPIPE, SIGSEGV})
        installSignal(sig);

    // 15.
    setMainInterface(wired);

    // 16. Wi-Fi: with an adapter, or for 802.1X on the wired port. While "wifi" is on the
    // wireless interface is the main one. The supplicant runs on the wireless interface
    // when an adapter was found, else on the wired port; the manager drives it.
    if (wifiAdapterFound || !p_auth_typ->equals("---")) {
        if (p_wifi->isOn()) {
            NetInterface &wireless = wirelessInterface();
            wireless.setName("wlan0");
            wireless.openSocket();
            setMainInterface(wireless);
        }
        start_supplicant(wifiAdapterFound ? 1 : 0, wifiAdapterFound ? "wlan0" : "eth0");
        wlan_install_hooks();
        (new WiFi(wifiAdapterFound))->start(0x8000);
    }
    NetInterface &main = mainInterface();

    // 17.
    if (httpPort == -1) httpPort = 80;
    if (httpsPort == -1) httpsPort = 443;
    if (ippPort == -1) ippPort = 631;
    if (snmpPort == -1) snmpPort = 161;

    // 18., 19.
    const char *deviceName = productParams().defaultName;
    std::string ip = paramText(p_ip_addr);
    std::printf("\r\n#\r\n##\r\n#### %s %s alive on %s ip:%s/%d  wifi:%d HTTP:%d HTTPS:%d IPP:%d alive:%d:%d "
                "crash(es):%d(%d) pid:%d ####\r\n##\r\n#\r\n",
                deviceName, "qmr", main.name(), ip.c_str(), p_ip_pfxlen->value(), p_wifi->isOn() ? 1 : 0,
                httpPort, httpsPort, ippPort, p_life->value(), warmStarts.load(), crashedLastRun ? 1 : 0,
                crashCount.load(), static_cast<int>(getpid()));
    std::fflush(stdout);
    if (moniEnabled(MoniSta))
        mprintf(
            MoniSta, __FILE__, __LINE__,
            "System status: device %s (IP address %s/%d, SW:%d,%d) wifi:%d is up and running. Restarts: %d "
            "(warm = %d, crashed/s:%d/%d).",
            deviceName, ip.c_str(), p_ip_pfxlen->value(), static_cast<int>(SoftwareVersionWord & 0xffff), 0,
            p_wifi->isOn() ? 1 : 0, p_life->value(), warmStarts.load(), crashedLastRun ? 1 : 0,
            crashCount.load());

    // 20., 21.
    prepareCertificates();
    bindMessageCatalogue(sysPath("/romfs/locale"));

    // 22.
    setupIp(main);

    // 23.
    start_syslogng(1);

    // 24. The web server, the network services, the USB server (which starts the
    // hot-plug listener), SNMP, the notification task and the supervisor.
    (new Httpd(httpPort, httpsPort, ippPort, &main))->start(0x8000);
    startNetServices(main, [] { return stopSignals.load() != 0; });
    (new UsbSrvd())->start(0x8000);
    if (p_snmpv1->isOn() || p_snmpv3->isOn()) {
        auto *snmpd = new SnmpdTask();
        write_snmpd_conf(snmpd, trapsConfigured);
        snmpd->start(SnmpdTask::StackSize);
    }
    startNotify(trapsConfigured);
    (new LazyHubWatcher())->start(0x8000);

    // 25.
    raiseDeviceEvent(DevEventStart);
    if (p_ip_addr->hasValue()) main.sendGratuitousArp(p_ip_addr->address());
    webdavJobWord = 0;
    if (p_wdav_bupauto->isOn()) start_webdav_backup();

    // 26.
    setUsbfsMemory();
}

// Block work of the supervision loop, about once a second.
void superviseBlock(bool &linkWatched, int &linkFlags) {
    // Load statistics every v + 1 blocks, v from the code text of "deltaload".
    int v = std::atoi(p_deltaload->choiceCode());
    if (v != loadStatsValue) {
        resetLoadStats();
        loadStatsValue = v;
        loadStatsCountdown = 0;
    }
    if (v != 0 && --loadStatsCountdown < 0) {
        sampleLoad();
        loadStatsCountdown = v;
    }

    GpioDevice &board = gpioDevice();
    Display *display = board.isOpen() ? board.display() : nullptr;
    if (display && ++displayBlockCount >= 2) {
        display->refresh();
        displayBlockCount = 0;
    }

    const ProductParams &product = productParams();
    bool newBoard295 = product.productId == 295 && product.hwMajor > 1;
    int normal = newBoard295 ? 0x12 : 0x11;
    auto isNormal = [&](int flags) { return flags == normal || (newBoard295 && flags == 0x21); };
    linkWatched = false;
    linkFlags = 0;
    if (!p_wifi->isOn()) {
        linkWatched = true;
        wiredInterface().getCarrier(&linkFlags);
        if (linkFlags != lastLinkState) {
            if (notifyAddEvent(0x8000000, linkFlags)) notify_post_event(0x8000000, -1);
            if (display && p_disp_lnk->isOn()) {
                display->show('E', '5',
                              isNormal(linkFlags) ? Display::Remove : (Display::Add | Display::SlowBlink));
            }
            raiseDeviceEvent(linkFlags ? DevEventLinkUp : DevEventLinkDown);
            if (moniEnabled(MoniSta))
                mprintf(MoniSta, __FILE__, __LINE__, "System status: network link is %s.",
                        linkFlags ? "up" : "down");
            if (product.productId == 294) linkLostTick = linkFlags ? 0 : sysTicks();
            lastLinkState = linkFlags;
            composeJackStates(lastDisplayState, lastLinkState);
        }
        if (display) {
            int state = static_cast<int>(display->stateWord());
            if (state != lastDisplayState) {
                lastDisplayState = state;
                composeJackStates(lastDisplayState, lastLinkState);
            }
        }
    }

    if (product.productId == 295 && p_beepLnk->isOn() && !isNormal(linkFlags)) board.beep(0);

    if ((p_sw_features->value() & 0x400000) && p_relay_ctrl->equals("eve")) {
        // A failed read says nothing about the inputs: no event from it.
        int read = board.readInputs();
        int inputs = read < 0 ? lastPowerInputs : (read & 3);
        int changed = inputs ^ lastPowerInputs;
        if (changed & 1) raiseDeviceEvent((inputs & 1) ? DevEventPower1Failed : DevEventPower1Good);
        if (changed & 2) raiseDeviceEvent((inputs & 2) ? DevEventPower2Failed : DevEventPower2Good);
        lastPowerInputs = inputs;
    }

    if (linkLostTick && sysTicks() - linkLostTick > PowerOffLinkTicks) {
        shutdownType = ShutdownPowerOff;
        ++shutdownCount;
        linkLostTick = 0;
    }
}

void supervise() {
    // The link flags the first block compares with: 0x11 on products 278 and 295,
    // else 0x10; a first reading that differs is logged as a link change.
    lastLinkState = (productId() == 278 || productId() == 295) ? 0x11 : 0x10;
    int64_t blockStart = sysTicks();
    int64_t lastReport = blockStart;
    bool stopStarted = false;
    // A task that has left the registry may still be tearing down on its thread: the
    // loop also waits for that, within the same grace time.
    while (countTasks() > 0 || runningTaskThreads() > 0) {
        noteStopSignals();
        int64_t now = sysTicks();
        int64_t stopTick = shutdownRequestTick.load();
        if (stopTick != 0 && now - stopTick >= StopGraceTicks) break;
        if (now - lastReport > StatusReportTicks) {
            if (moniEnabled(MoniSta))
                mprintf(MoniSta, __FILE__, __LINE__,
                        "System status: %d threads are alive. Loop: %d. Shutdowns: %d (%d,%d,%d) %d.",
                        countTasks(), loopCount.load(), shutdownCount.load(), static_cast<int>(lastReport),
                        static_cast<int>(now - lastReport), 100, static_cast<int>(now));
            lastReport = now;
        }
        ++loopCount;
        if (now - blockStart > BlockTicks) {
            bool linkWatched = false;
            int linkFlags = 0;
            superviseBlock(linkWatched, linkFlags);
            blockStart = sysTicks();
        }
        if (shutdownCount > 0 && !stopStarted) {
            stopStarted = true;
            requestStop(1);
        }
        usbCheckPowerCycles();
        usleep(100);
    }
}

// tasksEnded: no task thread runs any more, so what they use may be freed.
int shutDown(bool tasksEnded) {
    const char *deviceName = productParams().defaultName;
    if (moniLog.ready()) {
        sysStatLog(StatDown);
        if (moniEnabled(MoniSta))
            mprintf(MoniSta, __FILE__, __LINE__, "System status: %s has shut down (type of shutdown = %d).",
                    deviceName, shutdownType.load());
        moniLog.close();
        moniLog.markClosed();
    }
    NetInterface &main = mainInterface();
    if (!(productId() == 294 && shutdownType == ShutdownPowerOff)) {
        InetAddress none = InetAddress::fromText("0.0.0.0");
        main.setAddress(none);
        main.down();
        main.enableIpv6(false);
    }
    clearPacketFilter();
    if (p_sw_features->value() & 0x2000) main.removeAllVlans();
    // A task still running may be inside the crypto library: the certificate generator
    // makes the appliance's key pair on the first start and reads no message meanwhile.
    // Its certificate object and the providers then stay; the process ends without
    // freeing them.
    if (tasksEnded) {
        cert::release();
        tlsUnloadProviders();
    }
    int type = shutdownType.load();
    if (type == ShutdownPowerOff) {
        std::printf("\n+++ GlobalReturnPOff +++\n");
        std::fflush(stdout);
        gpioDevice().powerOff();
        std::printf("\n+++ GlobalReturnPOff never reached!+++\n");
    }
    gpioDevice().close();
    ::unlink(sysPath("/var/alive").c_str());
    std::fflush(stdout);
    return type;
}

// The WebDAV client's lines of "services": "webdav STATE TEXT", "webdav_error STATE
// TEXT", "webdav_jobs N" and "webdav_tls CIPHER" (the last TLS connection's cipher).
void appendWebdavServices(std::string &out) {
    out += "webdav " + std::to_string(webdavState()) + " " + webdav_state_text(nullptr) + "\n";
    out += "webdav_error " + std::to_string(webdavErrorState()) + " " + webdav_error_text(nullptr) + "\n";
    out += "webdav_jobs " + std::to_string(webdavJobWord.load()) + "\n";
    char cipher[WebDavCipherSize];
    webdavCipherText(cipher, sizeof cipher);
    std::string text = cipher;
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    out += "webdav_tls " + text + "\n";
}

// What the daemon shows of itself on the simulated platform's control socket, so tests
// can read its state from outside: "devices" lists the USB device table, "services"
// the state of the remote syslog client and of the storage slot.
void addSimTestHooks() {
    sim::addCommand("services",
                    "services: the remote syslog client (syslog STATE TEXT) and the storage slot "
                    "(slot STATE KIND DEV VENDOR MODEL LABEL)",
                    [](const std::vector<std::string> &, std::string &out) {
                        out += "syslog " + std::to_string(syslogngState()) + " " +
                               syslogng_state_text(nullptr) + "\n";
                        appendWebdavServices(out);
                        if (StorageSlot *slot = storageSlot.load()) {
                            char line[256];
                            slot->describe(line, sizeof line);
                            out += line;
                        }
                        return std::string();
                    });
    sim::addCommand(
        "devices",
        "devices: the daemon's USB device table (entry vid pid manufacturer product serial opened)",
        [](const std::vector<std::string> &, std::string &out) {
            for (int i = 0; i < usbDeviceCount.load(); i++) {
                char vid[16], pid[16], manu[128], prod[128], serial[128], opened[8];
                if (query_usb_device_info(i, 7, vid, sizeof vid) < 0) continue;
                query_usb_device_info(i, 6, pid, sizeof pid);
                query_usb_device_info(i, 1, manu, sizeof manu);
                query_usb_device_info(i, 2, prod, sizeof prod);
                query_usb_device_info(i, 3, serial, sizeof serial);
                query_usb_device_info(i, 5, opened, sizeof opened);
                out += std::to_string(i) + " " + vid + " " + pid + " \"" + manu + "\" \"" + prod + "\" \"" +
                       serial + "\" " + opened + "\n";
            }
            return std::string();
        });
    sim::addCommand(
        "post", "post NAME FLAGS: posts the task message {0, FLAGS, 0, 0} to the tasks of that name",
        [](const std::vector<std::string> &args, std::string &out) {
            if (args.size() != 3) return std::string("usage: post NAME FLAGS");
            char *end = nullptr;
            unsigned long flags = std::strtoul(args[2].c_str(), &end, 0);
            if (end == args[2].c_str() || *end != '\0' || flags > 0xffffffffUL)
                return std::string("bad flags");
            int count = Task::postByName(args[1].c_str(), TaskMsg{0, static_cast<uint32_t>(flags), 0, 0});
            out += std::to_string(count) + "\n";
            return std::string();
        });
    sim::addCommand("notify", "notify EVENT VALUE: posts a notification event to the notification task",
                    [](const std::vector<std::string> &args, std::string &) {
                        if (args.size() != 3) return std::string("usage: notify EVENT VALUE");
                        char *end = nullptr;
                        unsigned long event = std::strtoul(args[1].c_str(), &end, 0);
                        if (end == args[1].c_str() || *end != '\0' || event > 0xffffffffUL)
                            return std::string("bad event");
                        long value = std::strtol(args[2].c_str(), &end, 0);
                        if (end == args[2].c_str() || *end != '\0') return std::string("bad value");
                        return notify_post_event(static_cast<uint32_t>(event), static_cast<int>(value))
                                   ? std::string()
                                   : std::string("no notification task");
                    });
    sim::addCommand("wifi",
                    "wifi cred HEX: stores a received WPS credential record (at most 128 bytes), as a WPS "
                    "run would | wifi eapkeys IFNAME: MSK, EMSK and session id of the last EAP success",
                    [](const std::vector<std::string> &args, std::string &out) {
                        if (args.size() == 3 && args[1] == "eapkeys") {
                            std::string msk, emsk, sid;
                            if (!supplicant_last_eap_keys(args[2].c_str(), &msk, &emsk, &sid))
                                return std::string("no EAP success on " + args[2]);
                            out += "msk=" + msk + "\nemsk=" + emsk + "\nsession_id=" + sid + "\n";
                            return std::string();
                        }
                        if (args.size() != 3 || args[1] != "cred")
                            return std::string("usage: wifi cred HEX | wifi eapkeys IFNAME");
                        const std::string &hex = args[2];
                        if (hex.size() % 2 != 0 || hex.size() > 2 * sizeof(wps_credential_record))
                            return std::string("bad record");
                        uint8_t bytes[sizeof(wps_credential_record)] = {};
                        for (size_t i = 0; i < hex.size(); i += 2) {
                            char pair[3] = {hex[i], hex[i + 1], 0};
                            char *end = nullptr;
                            unsigned long v = std::strtoul(pair, &end, 16);
                            if (*end != '\0' || !std::isxdigit(static_cast<unsigned char>(pair[0])))
                                return std::string("bad record");
                            bytes[i / 2] = static_cast<uint8_t>(v);
                        }
                        wps_credential_record record;
                        std::memcpy(&record, bytes, sizeof record);
                        supp_wps_store_received_credential(&record);
                        return std::string();
                    });
    sim::addCommand("trap",
                    "trap GENERIC SPECIFIC: has the SNMP agent send an SNMPv1 trap to its SNMPv1 targets",
                    [](const std::vector<std::string> &args, std::string &) {
                        if (args.size() != 3) return std::string("usage: trap GENERIC SPECIFIC");
                        SnmpTrapRequest request;
                        request.kind = SnmpTrapRequest::V1Vars;
                        request.generic = std::atoi(args[1].c_str());
                        request.specific = std::atoi(args[2].c_str());
                        return snmpPostTrap(request) ? std::string() : std::string("no agent takes traps");
                    });
    // "moni lines" writes monitoring lines as fast as the log takes them, through the
    // call every subsystem uses (the remote syslog included): what the syslog
    // benchmark measures. It answers when the last line is written.
    sim::addCommand(
        "moni",
        "moni newfile | moni lines N TEXT: the monitoring log leaves its file for the next one, or "
        "writes N lines \"TEXT <number>\" (answers how many were written)",
        [](const std::vector<std::string> &a, std::string &out) {
            if (a.size() == 2 && a[1] == "newfile") {
                out += std::to_string(moniLog.newFile()) + "\n";
                return std::string();
            }
            if (a.size() < 4 || a[1] != "lines")
                return std::string("usage: moni newfile | moni lines N TEXT");
            char *end = nullptr;
            errno = 0;
            unsigned long count = std::strtoul(a[2].c_str(), &end, 10);
            if (end == a[2].c_str() || *end != '\0' || errno != 0 || a[2][0] == '-' || count == 0 ||
                count > 10000000UL)
                return std::string("bad count (1..10000000)");
            std::string text = a[3];
            for (size_t i = 4; i < a.size(); i++)
                text += " " + a[i];
            unsigned long written = 0;
            for (unsigned long i = 0; i < count; i++)
                if (mprintf(MoniSta, __FILE__, __LINE__, "%s %lu", text.c_str(), i) > 0) written++;
            out += std::to_string(written) + "\n";
            return std::string();
        });
    sim::addCommand("load", "load: the USB traffic (KiB) the load statistics have not taken yet",
                    [](const std::vector<std::string> &, std::string &out) {
                        out += "usb_in_kib " + std::to_string(loadHistory().usbInKiB()) + "\n";
                        out += "usb_out_kib " + std::to_string(loadHistory().usbOutKiB()) + "\n";
                        return std::string();
                    });
    // Changes a parameter as a configuration page would: applies it and tells every
    // task when its change class asks for that.
    // Without a value it shows the parameter's text (what a status page shows).
    sim::addCommand("param", "param <name> [<value>]: shows, or sets and applies, a parameter",
                    [](const std::vector<std::string> &a, std::string &out) {
                        if (a.size() == 2) {
                            Param *p = ptable().find(a[1].c_str());
                            if (p == nullptr) return std::string("no such parameter");
                            char text[512];
                            int n = p->toText(text, sizeof text, false);
                            out += std::string(text, static_cast<size_t>(std::clamp(n, 0, 511))) + "\n";
                            return std::string();
                        }
                        if (a.size() != 3) return std::string("usage: param <name> [<value>]");
                        Param *p = ptable().find(a[1].c_str());
                        if (p == nullptr || p->setFromText(a[2].c_str(), -1) == 0)
                            return std::string("refused");
                        if (ptable().saveIfChanged() & ChangeNotify) Task::postAll(configChangedMsg);
                        return std::string();
                    });
}

} // namespace

int main() {
    prepareEnvironment();
    Platform &board = simPlatformWanted() ? simPlatform() : linuxPlatform();
    setPlatform(board);
    if (board.start() != 0) {
        std::printf("*** ERROR platform \"%s\" could not start ***\n", board.name());
        return 1;
    }
    if (simPlatformWanted()) {
        std::printf("qmr: simulated board and devices on %s\n", sysPath("/run/sim.sock").c_str());
        addSimTestHooks();
    }
    std::fflush(stdout);

    startUp();
    supervise();
    bool tasksEnded = countTasks() == 0 && runningTaskThreads() == 0;
    int status = shutDown(tasksEnded);
    board.stop();
    // Tasks that did not end within the grace time still run: leave without the
    // process's static destructors and the libraries' exit handlers (the crypto
    // library's clean-up among them), which would pull objects from under them.
    if (!tasksEnded) {
        std::fflush(nullptr);
        _exit(status);
    }
    // No task is left: free the parameter table, release the registry lock and clear
    // the environment. Done after the board is closed, the last reader of parameters.
    freeParamTable();
    destroyTaskRegistryLock();
    clearenv();
    return status;
}
