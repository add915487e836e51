// Arbitrary bytes as the form data of a page: the field reader splits and decodes them,
// the port pages' filter keeps only a port's parameters, the parameters' text setters
// take what remains, and the information pages read the text as an appliance path.
// Nothing may fault or read outside the form's bytes.

#include "core/ptable.h"
#include "web/http.h"
#include "web/pages_status.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

void setUp() {
    static bool done = false;
    if (done) return;
    done = true;
    char tmpl[] = "/tmp/qmr_formfuzz_XXXXXX";
    std::string dir = ::mkdtemp(tmpl);
    ptable().setPaths(dir + "/params.dat", dir + "/slot");
}

bool portOne(const char *name, int port) {
    return std::strncmp(name, "zqn_", 4) == 0 && port == 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    setUp();
    HttpConnection c(nullptr);
    c.exiting = true;
    c.method = size > 0 && (data[0] & 1) ? MethodPost : MethodGet;
    c.query.assign(reinterpret_cast<const char *>(data), size);
    for (const FormField &f : c.formFields())
        if (f.name == nullptr || f.value == nullptr) std::abort();
    c.formValue("disconnect");
    c.formValue("action");
    keepOnlyFields(c, portOne, 1);
    // What stays and names a parameter is one that the filter allowed.
    for (const FormField &f : c.formFields()) {
        const char *name = std::strncmp(f.name, "__", 2) == 0 ? f.name + 2 : f.name;
        if (*name >= 'a' && *name <= 'z' && ptable().find(name) && std::strncmp(name, "zqn_", 4) != 0)
            std::abort();
    }
    c.storeFormParams("MoniFlag_", nullptr);
    std::string path;
    if (resolveAppliancePath(c.query, path) &&
        (path.empty() || path[0] != '/' || path.find("/../") != std::string::npos))
        std::abort();
    return 0;
}
