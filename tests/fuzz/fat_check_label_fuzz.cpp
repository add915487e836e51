// Runs the FAT check over arbitrary card images, once reading the label and once
// writing one: whatever the boot sector, FSINFO and root directory claim, every read
// and write stays bounded and a label read back is a terminated text of 11 characters.
#include "notify/fatcheck.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// The image as a file of its own, named through /proc/self/fd.
int imageFile(const uint8_t *data, size_t size) {
    int fd = ::memfd_create("card", MFD_CLOEXEC);
    if (fd < 0) return -1;
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    int fd = imageFile(data, size);
    if (fd < 0) return 0;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    char label[FatLabelLength + 1] = {};
    if (fat_check_label(path.c_str(), label) == 1 && std::strlen(label) > FatLabelLength) std::abort();
    char name[FatLabelLength + 1] = "CARD_SD";
    fat_check_label(path.c_str(), name);
    if (std::strcmp(name, "CARD_SD") != 0) std::abort(); // a label to write is not touched
    ::close(fd);
    return 0;
}
