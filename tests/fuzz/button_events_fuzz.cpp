// Bytes from the button devices: any bytes on any device index are counted within
// bounds and act at most once per read, without touching the parameter file outside
// the scratch directory.
#include "core/gpio.h"
#include "core/ptable.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // A device that is not open, on a product with Wi-Fi hardware; the stop task and
    // the Wi-Fi set-up are not reachable (null hooks).
    static GpioDevice device(283, 4);
    static GPio *task = [] {
        ptable().setPaths("/tmp/qmr_button_fuzz/params.dat", "/tmp/qmr_button_fuzz/slot1");
        gpioHooks().startShutDown = nullptr;
        return new GPio(device);
    }();
    if (size == 0) return 0;
    // The first byte picks the device index (-1 .. 4, 4 = unknown descriptor).
    const int index = static_cast<int>(data[0] % 6) - 1;
    int before = 0;
    for (int i = 0; i < 4; i++)
        before += device.releaseCount[i] + device.pressCount[i];
    task->handleButtonBytes(index, reinterpret_cast<const char *>(data + 1), size - 1);
    int after = 0;
    for (int i = 0; i < 4; i++)
        after += device.releaseCount[i] + device.pressCount[i];
    if (after < before || static_cast<size_t>(after - before) > size - 1) std::abort();
    return 0;
}
