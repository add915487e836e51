// Arbitrary bytes as an uploaded key and certificate pair: the check the certificate
// pages run after an upload, and a context built over such a pair, must refuse garbage
// without crashing and fall back to no context.
#include "core/tls.h"
#include "core/tls_internal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

// A plain array: the exit handler that removes the directory runs after the static
// objects are gone.
char dirPath[] = "/tmp/qmr-tlsfuzz.XXXXXX";

void removeDir() {
    unlink((std::string(dirPath) + "/cert_fpkey.pem").c_str());
    unlink((std::string(dirPath) + "/cert_fsrv.pem").c_str());
    rmdir(dirPath);
}

std::string certDir() {
    static const bool made = [] {
        if (mkdtemp(dirPath) == nullptr) std::abort();
        return std::atexit(removeDir) == 0;
    }();
    (void)made;
    return dirPath;
}

void writeFile(const std::string &path, const uint8_t *data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The key runs to the first zero byte, the certificate file is the rest.
    const uint8_t *split = static_cast<const uint8_t *>(std::memchr(data, 0, size));
    size_t keySize = split != nullptr ? static_cast<size_t>(split - data) : size / 2;
    size_t certStart = split != nullptr ? keySize + 1 : keySize;
    writeFile(certDir() + "/cert_fpkey.pem", data, keySize);
    writeFile(certDir() + "/cert_fsrv.pem", data + certStart, size - certStart);
    bool usable = tlsCheckCertPairIn(TlsPairInstalled, certDir());
    // Without pair 0 a context exists only over a usable pair 1.
    SSL *session = tlsNewSessionWith(true, TlsSettings{}, certDir());
    if ((session != nullptr) != usable) __builtin_trap();
    SSL_free(session);
    return 0;
}
