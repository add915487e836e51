// The device table and the hot-plug listener above the simulated kernel: uevents from
// the stand-in's socket, its sysfs directories and usbfs files, all through the
// platform layer and the sandbox root. The sandbox root is read once per process, so
// the checks run in a fresh child process that gets the root from its environment.
#include "usbserver/usb_device.h"
#include "usbserver/usb_quirks.h"
#include "usbserver/usb_udev.h"
#include "usbserver/usb_uevent.h"

#include "core/platform.h"
#include "core/sysroot.h"
#include "core/task.h"
#include "sim/sim_platform.h"
#include "sim/usb.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct TempRoot {
    std::string path;
    TempRoot() {
        char tmpl[] = "/tmp/qmr-w8-XXXXXX";
        path = mkdtemp(tmpl);
        fs::create_directories(path + "/proc");
        fs::create_directories(path + "/dev");
        fs::create_directories(path + "/run");
        fs::create_directories(path + "/sys/module/usbcore/parameters");
        std::ofstream(path + "/sys/module/usbcore/parameters/usbfs_memory_mb") << "16\n";
        std::ofstream(path + "/proc/product_params") << "hw_project=294\nhw_major=2\nusb_ports_phy=8\n";
    }
    ~TempRoot() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

std::string failures;
#define CHECK(cond)                                                                                          \
    do {                                                                                                     \
        if (!(cond)) failures += std::string(__FILE__ ":") + std::to_string(__LINE__) + ": " #cond "\n";     \
    } while (0)

// Hands every waiting datagram of the uevent socket to the listener's handling.
int drain(int fd) {
    int handled = 0;
    char buf[4097];
    for (;;) {
        ssize_t n = ::recv(fd, buf, sizeof buf - 1, MSG_DONTWAIT);
        if (n <= 0) return handled;
        if (ueventWanted(buf, static_cast<size_t>(n)) && usbHandleUevent(buf, static_cast<size_t>(n)) >= 0)
            handled++;
    }
}

std::string plug(int bus, const char *devpath, const char *kind, const sim::UsbOptions &options = {}) {
    std::string error;
    std::string name = sim::usbPlug(bus, devpath, kind, options, error);
    if (!error.empty()) failures += "plug: " + error + "\n";
    return name;
}

void runAgainstStandIn() {
    setPlatform(simPlatform());
    if (platform().start() != 0) {
        failures += "sim platform did not start\n";
        return;
    }
    usbDeviceCount = 8;
    mode_t mask = ::umask(022);
    CHECK(prepareUsbfsTree() == 0);
    CHECK(::umask(mask) == 022);
    int fd = platform().ueventOpen();
    CHECK(fd >= 0);

    // Behind the board's hub of bus 3 on product 294: port 6. The hub itself is ignored.
    std::string disk = plug(3, "1.2", "storage");
    CHECK(drain(fd) == 1);
    UsbDevice &e = usbDeviceTable[0];
    CHECK(e.state.load() == UsbEntryPresent);
    CHECK(e.port == 6);
    CHECK(e.level == 2);
    CHECK(e.vendorId == 0x0781 && e.productId == 0x5567);
    CHECK(e.descriptorVendorId() == 0x0781);
    CHECK(e.speed == UsbSpeedHigh);
    CHECK(std::strcmp(e.product, "Simulated Disk") == 0);
    CHECK(std::strcmp(e.manufacturer, "Simulated Devices") == 0);
    CHECK(e.configurationCount == 1 && e.interfaceCount == 1);
    CHECK(e.endpointsIn[UsbEpBulk] == 1 && e.endpointsOut[UsbEpBulk] == 1);
    CHECK(e.fd == -1);
    uint8_t d[255];
    CHECK(e.lookupString(0x0409, 2, d, sizeof d) > 2);
    for (int i = 1; i < 8; i++)
        CHECK(usbDeviceTable[i].state.load() == UsbEntryEmpty);

    // Open, map a pooled buffer, close: all through the stand-in's usbfs file.
    MinMMap = 2048;
    CHECK(e.openFile(O_RDWR) == 1);
    void *buffer = e.allocBuffer(4096);
    CHECK(buffer != nullptr);
    e.freeBuffer(buffer, 4096);
    CHECK(e.poolSize() == 1);
    CHECK(e.closeFile() == 1);

    // A device with characters beyond Latin-1 in its strings.
    std::string cjk = plug(3, "1.3", "loopback", {{"strings", "cjk"}});
    CHECK(drain(fd) == 1);
    UsbDevice &c = usbDeviceTable[1];
    CHECK(c.port == 7);
    CHECK(c.openFile(O_RDWR) == 1);
    char text[64];
    CHECK(c.stringToText(2, text, sizeof text) > 0);
    CHECK(std::strcmp(text, "Loopback ??") == 0);
    c.closeFile();

    // The removal uevent before the file's hang-up: the entry goes, the identity of the
    // old plug no longer matches when the late ENODEV arrives.
    uint32_t identity = c.identity.load();
    sim::usbSetRemoveFirst(true);
    CHECK(sim::usbUnplug(cjk) == 0);
    CHECK(drain(fd) == 1);
    CHECK(c.state.load() == UsbEntryEmpty);
    CHECK(!usbMarkRemovedIfSame(1, identity));
    sim::usbSetRemoveFirst(false);

    // The quirk table sees the dongle by its descriptor.
    std::string dongle = plug(1, "1.1", "dongle");
    CHECK(drain(fd) == 1);
    CHECK(usbDeviceTable[1].port == 1);
    CHECK(hasQuirk(usbDeviceTable[1], QuirkTimeoutReset));

    // The listener task itself: it reads the socket and fills the table.
    platform().close(fd);
    Listen2Udev *task = new Listen2Udev();
    CHECK(task->start(0x8000, true) >= 0);
    std::string loop = plug(1, "1.2", "loopback");
    for (int i = 0; i < 500 && usbDeviceTable[2].state.load() == UsbEntryEmpty; i++)
        ::usleep(10000);
    CHECK(usbDeviceTable[2].state.load() == UsbEntryPresent);
    CHECK(usbDeviceTable[2].port == 2);
    CHECK(sim::usbUnplug(loop) == 0);
    for (int i = 0; i < 500 && usbDeviceTable[2].state.load() != UsbEntryEmpty; i++)
        ::usleep(10000);
    CHECK(usbDeviceTable[2].state.load() == UsbEntryEmpty);
    // The task is freed by its own thread as it ends: keep the handle to join first.
    pthread_t thread = task->thread;
    task->post(exitMsg);
    pthread_join(thread, nullptr);
}

} // namespace

TEST(UsbStandInDeathTest, ListenerFillsTheTableFromTheSimulatedKernel) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const bool child = std::getenv("QMR_ROOT") != nullptr;
    std::optional<TempRoot> root; // made by the parent only
    if (!child) {
        root.emplace();
        setenv("QMR_ROOT", root->path.c_str(), 1);
    }
    EXPECT_EXIT(
        {
            if (sysRoot().empty()) std::_Exit(2);
            runAgainstStandIn();
            std::fputs(failures.c_str(), stderr);
            std::_Exit(failures.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    if (!child) unsetenv("QMR_ROOT");
}

// The stand-in places a device on a port ("usb plug port:N") with its own copy of the
// port table; both copies must agree on every product, bus and topology path, or
// devices land on other ports than the tests asked for.
TEST(UsbStandInPorts, StandInAndListenerDeriveTheSamePort) {
    const unsigned products[] = {267, 271, 278, 282, 283, 287, 288, 294, 295, 296,  297, 298,
                                 302, 303, 304, 305, 306, 307, 314, 315, 317, 1000, 1001};
    std::vector<std::string> paths;
    for (int m = 1; m <= 8; m++) {
        paths.push_back(std::to_string(m));
        for (int o = 1; o <= 8; o++) {
            paths.push_back(std::to_string(m) + "." + std::to_string(o));
            for (int t = 1; t <= 7; t++)
                paths.push_back(std::to_string(m) + "." + std::to_string(o) + "." + std::to_string(t));
        }
    }
    int mismatches = 0;
    for (unsigned product : products)
        for (unsigned hw = 1; hw <= 4; hw++)
            for (int bus = 1; bus <= 5; bus++)
                for (bool pci : {false, true})
                    for (const std::string &path : paths) {
                        const char *dir =
                            pci ? "/devices/pci0000:00/0000:00:13.0/usb3" : "/devices/platform/usb3";
                        int standIn = sim::usbPortOf(product, hw, bus, path, pci);
                        int listener = usbPortOf(product, hw, bus, path.c_str(), dir);
                        // The listener takes no port outside 1..20; the stand-in is never asked for one.
                        if (listener < 1 || listener > UsbMaxPorts) listener = -1;
                        if (standIn < 1 || standIn > UsbMaxPorts) standIn = -1;
                        if (standIn != listener && ++mismatches <= 5)
                            ADD_FAILURE() << "product " << product << " hw " << hw << " bus " << bus << " "
                                          << path << (pci ? " pci" : "") << ": stand-in " << standIn
                                          << ", listener " << listener;
                    }
    EXPECT_EQ(mismatches, 0);
}
