// Arbitrary bytes as an uploaded firmware image: the pre-check and the compatibility
// check must survive them and agree with what the bytes say.

#include "web/update.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int fd = memfd_create("image", MFD_CLOEXEC);
    if (fd < 0) return 0;
    if (size > 0 && ::write(fd, data, size) != static_cast<ssize_t>(size)) {
        ::close(fd);
        return 0;
    }
    int code = precheck_update_file(fd);
    int expected = 0;
    if (size < ImageHeader::Size) {
        expected = -10;
    } else {
        ImageHeader header;
        std::memcpy(header.bytes, data, ImageHeader::Size);
        if (size < ImageHeader::Size + static_cast<uint64_t>(header.length()))
            expected = -11;
        else if (header.magic() != ImageHeader::Magic)
            expected = -12;
        char text[256];
        std::memset(text, 'x', sizeof text);
        uint32_t product = size > 130 ? data[128] | data[129] << 8 : 287;
        int verdict = header.check(text, sizeof text, product, size > 131 ? data[130] : 0x21);
        if ((verdict != 0 && verdict != 255) || std::memchr(text, '\0', sizeof text) == nullptr) std::abort();
        uint8_t hardware = size > 131 ? data[130] : 0x21;
        if (verdict == 0 && (header.type() != ImageHeader::TypeRtfs || !header.supports(product, hardware)))
            std::abort();
    }
    if (code != expected || ::lseek(fd, 0, SEEK_CUR) != 0) std::abort();
    char answer[512];
    updateStatusText(answer, sizeof answer, nullptr);
    if (std::strcmp(answer, "Idle (ready for update)|1|0|") != 0) std::abort();
    ::close(fd);
    return 0;
}
