// Arbitrary bytes as a PKCS#12 upload with its password line: the password is taken
// from the end of the upload and the bundle from its start, as the upload page does.
// Whatever the bytes, the installed pair is either left alone or replaced by a key and a
// certificate that match. The store lives in a sandbox root.
#include "core/ptable.h"
#include "core/tls.h"
#include "core/tls_internal.h"
#include "web/cert.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A plain array: the exit handler that removes the directory runs after the static
// objects are gone.
char rootPath[] = "/tmp/qmr-p12fuzz.XXXXXX";

void removeRoot() {
    std::system((std::string("rm -rf '") + rootPath + "'").c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (mkdtemp(rootPath) == nullptr) std::abort();
    std::atexit(removeRoot);
    setenv("QMR_ROOT", rootPath, 1);
    ptable();
    mkdir((std::string(rootPath) + "/etc").c_str(), 0755);
    mkdir((std::string(rootPath) + "/etc/certs").c_str(), 0755);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int fd = memfd_create("upload", 0);
    if (fd < 0) return 0;
    if (write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return 0;
    }
    std::string password = pkcs12Password(fd);
    if (password.size() > 64) __builtin_trap();
    if (importPkcs12(fd, password.c_str()) == 1 && !tlsCheckCertPair(TlsPairInstalled)) __builtin_trap();
    close(fd);
    return 0;
}
