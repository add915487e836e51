// Feeds arbitrary lines to the USB stand-in's "usb" control command (plug, unplug,
// stall, inject, trace, poke, order): every line gets an answer, nothing reads
// outside its input, and the buses come back empty after an unplug of everything.
#include "sim/control.h"
#include "sim/usb.h"

#include <cstdlib>
#include <filesystem>
#include <string>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // A sandbox root of its own: plugs write sysfs directories and device nodes.
    static char root[] = "/tmp/qmr-usb-fuzz-XXXXXX";
    if (mkdtemp(root) == nullptr) std::abort();
    setenv("QMR_ROOT", root, 1);
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t at = 0;
    for (int lines = 0; lines < 16 && at <= input.size(); lines++) {
        size_t end = input.find('\n', at);
        std::string line = input.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? input.size() + 1 : end + 1;
        // Images are files of the host: not something to open at random.
        if (line.size() > sim::MaxLine || line.find("image") != std::string::npos) continue;
        auto words = sim::splitWords(line);
        words.insert(words.begin(), "usb");
        std::string out;
        sim::usbControl(words, out);
    }
    std::string state;
    sim::usbStateLines(state);
    sim::usbUnplugAll();
    if (!sim::usbDevices().empty()) std::abort();
    return 0;
}
